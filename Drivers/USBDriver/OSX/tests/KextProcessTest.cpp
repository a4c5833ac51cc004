// sonvexa-kerneld as its own process: with nothing but --device it loads the driver this build
// made and starts it on that simulated device; user space finds the service.
#include <gtest/gtest.h>

#include <string>

#include "IOKit/IOKitLib.h"
#include "KernelProcess.h"
#include "ProgramRunner.h"

namespace {

TEST(KextProcessTest, KerneldStartsTheBuiltDriverOnTheDeviceItIsGiven)
{
    test_support::ProgramRunner programs;
    test_support::KernelProcess kernel(programs, KERNELD);
    ASSERT_TRUE(kernel.start({"Kelvra-UC3"})) << "the driver started on the device";
    CFTypeRef uid = IORegistryEntryCreateCFProperty(kernel.service(), CFSTR("deviceUID"), kCFAllocatorDefault, 0);
    ASSERT_NE(uid, nullptr);
    char text[64] = {};
    ASSERT_TRUE(CFStringGetCString(static_cast<CFStringRef>(uid), text, sizeof text, kCFStringEncodingUTF8));
    EXPECT_EQ(std::string(text).rfind("USB-", 0), 0u);
    CFRelease(uid);

    EXPECT_EQ(kernel.stop(), 0);
    const std::string logText = kernel.log();
    EXPECT_NE(logText.find("start VKKernelDevice v3.3.11 Oct  4 2016 success"), std::string::npos);
    EXPECT_NE(logText.find("EXIT terminate VKKernelDevice v3.3.11"), std::string::npos) << "ended at shutdown";
}

} // namespace
