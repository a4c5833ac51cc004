#include "platform/ProcessEnvironment.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

namespace proc = platform::process;

TEST(ProcessEnvironment, NameIsTheExecutableCutTo16)
{
    // The test binary's name is longer than the kernel's 15-character command.
    EXPECT_EQ(proc::name(), std::string("PlatformMachTests").substr(0, 16));
    EXPECT_EQ(proc::name().size(), 16u);
}

TEST(ProcessEnvironment, ScopedOverridesWinAndNest)
{
    {
        proc::ScopedOverride outer({.name = "coreaudiod", .uid = 501, .kernelRelease = "12"});
        EXPECT_EQ(proc::name(), "coreaudiod");
        EXPECT_EQ(proc::uid(), 501u);
        EXPECT_EQ(proc::kernelRelease(), "12.0.0");
        EXPECT_EQ(proc::darwinMajorRelease(), 12);
        {
            proc::ScopedOverride inner({.name = "A Name Longer Than Sixteen", .pid = 4242});
            EXPECT_EQ(proc::name(), "A Name Longer Th");
            EXPECT_EQ(proc::pid(), 4242);
            EXPECT_EQ(proc::uid(), 501u);
            EXPECT_EQ(proc::nameOf(4242), "A Name Longer Th");
        }
        EXPECT_EQ(proc::name(), "coreaudiod");
        EXPECT_EQ(proc::pid(), getpid());
    }
    EXPECT_EQ(proc::uid(), getuid());
}

TEST(ProcessEnvironment, DefaultReleaseIsThirteen)
{
    if (std::getenv("SONVEXA_DARWIN_RELEASE") != nullptr) {
        GTEST_SKIP() << "release set by the environment";
    }
    EXPECT_EQ(proc::kernelRelease(), "13.0.0");
    EXPECT_EQ(proc::darwinMajorRelease(), 13);
    proc::ScopedOverride release({.kernelRelease = "20.6.0"});
    EXPECT_EQ(proc::darwinMajorRelease(), 20);
}

TEST(ProcessEnvironment, AnotherProcessIsSeenWithItsOwnName)
{
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(ready[0]);
        // Re-executing makes the environment visible to other processes.
        execl("/bin/sh", "sh", "-c", "SONVEXA_PROCESS_NAME='Traktor Pro Three Beta' exec sleep 5", nullptr);
        _exit(127);
    }
    close(ready[1]);
    close(ready[0]);
    // Wait until the child has exec'd sleep with its environment.
    std::optional<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        seen = proc::nameOf(child);
        if (seen == "Traktor Pro Thre") {
            break;
        }
        usleep(10'000);
    }
    EXPECT_EQ(seen, "Traktor Pro Thre");
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(proc::nameOf(child), std::nullopt);
    EXPECT_EQ(proc::nameOf(0), std::nullopt);
}

TEST(ProcessEnvironment, PathsLandUnderTheRoot)
{
    proc::ScopedOverride root({.root = "/tmp/vk-root/"});
    EXPECT_EQ(proc::rootedPath("/Users/Shared/Quenzar/com.quenzar.sonvexa.plist"),
              "/tmp/vk-root/Users/Shared/Quenzar/com.quenzar.sonvexa.plist");
    EXPECT_EQ(proc::rootedPath("relative"), "/tmp/vk-root/relative");
}
