// sonvexa-kerneld as its own process: with nothing but --device it loads the driver this build
// made and starts it on that simulated device; user space finds the service.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "IOKit/IOKitLib.h"
#include "platform/IOKitUser.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(KextProcessTest, KerneldStartsTheBuiltDriverOnTheDeviceItIsGiven)
{
    char pattern[] = "/tmp/kext-process-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string root = pattern;
    const std::string socket = root + "/kernel.socket";
    const std::string log = root + "/kernel.log";
    std::vector<std::string> arguments = {KERNELD, "--socket", socket, "--log", log, "--device", "Kelvra-UC3"};
    std::vector<char*> argv;
    for (auto& a : arguments) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::string rootVariable = "SONVEXA_ROOT=" + root;
    char* envp[] = {rootVariable.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (root + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t daemon = -1;
    ASSERT_EQ(posix_spawn(&daemon, argv[0], &actions, nullptr, argv.data(), envp), 0);
    posix_spawn_file_actions_destroy(&actions);

    platform::iokit::user::setKernelSocketPath(socket);
    // The host listens once its command-line devices are matched; until then the look-up fails.
    io_service_t service = 0;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (service == 0 && std::chrono::steady_clock::now() < deadline) {
        service = IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching("VKKernelDevice"));
        if (service == 0) {
            std::this_thread::sleep_for(20ms); // another process: only its socket tells us it is up
        }
    }
    ASSERT_NE(service, 0u) << "the driver started on the device";
    CFTypeRef uid = IORegistryEntryCreateCFProperty(service, CFSTR("deviceUID"), kCFAllocatorDefault, 0);
    ASSERT_NE(uid, nullptr);
    char text[64] = {};
    ASSERT_TRUE(CFStringGetCString(static_cast<CFStringRef>(uid), text, sizeof text, kCFStringEncodingUTF8));
    EXPECT_EQ(std::string(text).rfind("USB-", 0), 0u);
    CFRelease(uid);
    IOObjectRelease(service);
    platform::iokit::user::setKernelSocketPath("");

    ::kill(daemon, SIGTERM);
    int status = 0;
    ::waitpid(daemon, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::ifstream in(log);
    const std::string logText((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(logText.find("start VKKernelDevice v3.3.11 Oct  4 2016 success"), std::string::npos);
    EXPECT_NE(logText.find("EXIT terminate VKKernelDevice v3.3.11"), std::string::npos) << "ended at shutdown";
    fs::remove_all(root);
}

} // namespace
