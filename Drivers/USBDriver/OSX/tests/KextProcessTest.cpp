// sonvexa-kerneld as its own process: with nothing but --device it loads the driver this build
// made and starts it on that simulated device; user space finds the service.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include "IOKit/IOKitLib.h"
#include "ProgramRunner.h"
#include "platform/IOKitUser.h"

namespace {

using namespace std::chrono_literals;

TEST(KextProcessTest, KerneldStartsTheBuiltDriverOnTheDeviceItIsGiven)
{
    test_support::ProgramRunner programs;
    ASSERT_FALSE(programs.root().empty());
    const std::string socket = programs.root() + "/kernel.socket";
    const pid_t daemon = programs.start(KERNELD, {"--socket", socket, "--log", programs.root() + "/kernel.log",
                                                  "--device", "Kelvra-UC3"},
                                        "daemon");
    ASSERT_GT(daemon, 0);

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

    EXPECT_EQ(programs.stop(daemon, SIGTERM, "daemon").status, 0);
    const std::string logText = programs.read("kernel.log");
    EXPECT_NE(logText.find("start VKKernelDevice v3.3.11 Oct  4 2016 success"), std::string::npos);
    EXPECT_NE(logText.find("EXIT terminate VKKernelDevice v3.3.11"), std::string::npos) << "ended at shutdown";
}

} // namespace
