#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "CoreFoundation/CoreFoundation.h"
#include "IOKit/IOCatalogue.h"
#include "TestDriver.h"
#include "kernel_host/KernelHost.h"
#include "platform/Log.h"
#include "platform/ProcessEnvironment.h"

namespace {

namespace fs = std::filesystem;
using kernel_host::KernelHost;

constexpr const char* kInfo = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
  <key>CFBundleIdentifier</key><string>test.kext.driver</string>
  <key>CFBundleExecutable</key><string>TestKextDriver.so</string>
  <key>IOKitPersonalities</key>
  <dict>
    <key>Device</key>
    <dict>
      <key>IOClass</key><string>TestKextDriver</string>
      <key>IOProviderClass</key><string>TestProvider</string>
      <key>idVendor</key><integer>6453</integer>
      <key>idProduct</key><integer>4</integer>
      <key>QzSpecific</key><dict><key>kMsWait</key><integer>250</integer></dict>
    </dict>
  </dict>
</dict>
</plist>
)";

class KextTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kext-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        rooted =
            std::make_unique<platform::process::ScopedOverride>(platform::process::Overrides{.root = root});
    }
    void TearDown() override
    {
        host.reset();
        rooted.reset();
        fs::remove_all(root);
    }

    // A bundle at the system path "/Library/Extensions/<name>" with `info` as its Info.plist
    // and, when asked, the test kext library.
    std::string bundle(const std::string& name, const std::string& info, bool withLibrary,
                       bool contents = false)
    {
        const std::string path = "/Library/Extensions/" + name;
        const fs::path top = fs::path(root + path);
        const fs::path folder = contents ? top / "Contents" : top;
        const fs::path library = contents ? folder / "MacOS" : folder;
        fs::create_directories(library);
        std::ofstream(folder / "Info.plist") << info;
        if (withLibrary) {
            fs::copy_file(TEST_KEXT_LIBRARY, library / "TestKextDriver.so");
        }
        return path;
    }

    std::string root;
    std::unique_ptr<platform::process::ScopedOverride> rooted;
    std::unique_ptr<KernelHost> host = std::make_unique<KernelHost>();
};

TEST_F(KextTest, LoadsTheLibraryMatchesItsPersonalityAndUnloads)
{
    EXPECT_EQ(OSMetaClass::getMetaClassWithName("TestKextDriver"), nullptr);
    std::string identifier;
    ASSERT_EQ(host->loadKext(bundle("Test.kext", kInfo, true, true), &identifier), kIOReturnSuccess);
    EXPECT_EQ(identifier, "test.kext.driver");
    EXPECT_NE(OSMetaClass::getMetaClassWithName("TestKextDriver"), nullptr);

    test_driver::TestProvider* provider = test_driver::TestProvider::withIDs(0x1935, 4, 0x0100);
    host->publishProvider(provider);
    provider->release();
    ASSERT_EQ(host->waitQuiet(), kIOReturnSuccess);
    IOService* driver = host->copyServiceNamed("TestKextDriver");
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(OSDynamicCast(OSNumber, driver->getProperty("SeenMsWait"))->unsigned32BitValue(), 250u);
    EXPECT_TRUE(
        OSDynamicCast(OSString, driver->getProperty(kCFBundleIdentifierKey))->isEqualTo("test.kext.driver"));
    driver->release();

    EXPECT_EQ(host->loadKext(bundle("Again.kext", kInfo, true)), kIOReturnExclusiveAccess);

    EXPECT_EQ(host->unloadKext("test.kext.driver"), kIOReturnSuccess);
    EXPECT_EQ(host->copyServiceNamed("TestKextDriver"), nullptr);
    EXPECT_EQ(OSMetaClass::getMetaClassWithName("TestKextDriver"), nullptr); // the library is closed
    EXPECT_EQ(host->unloadKext("test.kext.driver"), kIOReturnNotFound);
    host->removeProvider(provider);
}

// An object whose free() waits for the test: its last release stays in progress meanwhile.
class SlowToFree : public OSObject
{
public:
    std::atomic<bool> freeing{false};
    std::atomic<bool> letGo{false};

protected:
    void free() override
    {
        freeing = true;
        while (!letGo.load()) {
            std::this_thread::yield();
        }
        OSObject::free();
    }
};

// A library is closed only once no last release runs: the thread that freed the last object of
// its classes may still be returning through its code after the count dropped.
TEST_F(KextTest, TheLibraryStaysWhileALastReleaseRuns)
{
    ASSERT_EQ(host->loadKext(bundle("Test.kext", kInfo, true)), kIOReturnSuccess);
    auto* slow = new SlowToFree;
    std::thread releasing([slow] { slow->release(); });
    while (!slow->freeing.load()) {
        std::this_thread::yield();
    }
    platform::log::Capture kernelLog(platform::log::Channel::kernel);
    EXPECT_EQ(host->unloadKext("test.kext.driver"), kIOReturnBusy);
    EXPECT_TRUE(kernelLog.contains("objects are still being freed"));
    EXPECT_NE(OSMetaClass::getMetaClassWithName("TestKextDriver"), nullptr); // still loaded
    slow->letGo = true;
    releasing.join();
    EXPECT_EQ(host->unloadKext("test.kext.driver"), kIOReturnSuccess); // it can be unloaded later
    EXPECT_EQ(OSMetaClass::getMetaClassWithName("TestKextDriver"), nullptr);
}

TEST_F(KextTest, RefusesBundlesThatAreNotKexts)
{
    auto replace = [](std::string text, const std::string& from, const std::string& to) {
        return text.replace(text.find(from), from.size(), to);
    };
    struct Case
    {
        const char* name;
        std::string info;
        bool library;
        IOReturn status;
    };
    const Case cases[] = {
        {"not a property list", "<plist><dict><key>", true, kIOReturnBadArgument},
        {"an array", "<plist version=\"1.0\"><array/></plist>", true, kIOReturnBadArgument},
        {"no identifier", replace(kInfo, "CFBundleIdentifier", "Name"), true, kIOReturnBadArgument},
        {"personalities as an array",
         replace(replace(kInfo, "<key>IOKitPersonalities</key>\n  <dict>",
                         "<key>IOKitPersonalities</key>\n  <array>"),
                 "  </dict>\n</dict>\n</plist>", "  </array>\n</dict>\n</plist>"),
         true, kIOReturnBadArgument},
        {"a personality that is a string",
         replace(kInfo, "<key>Device</key>\n    <dict>",
                 "<key>Odd</key><string>x</string><key>Device</key>\n    <dict>"),
         true, kIOReturnBadArgument},
        {"no library", kInfo, false, kIOReturnError},
    };
    platform::log::Capture log(platform::log::Channel::kernel);
    int n = 0;
    for (const Case& c : cases) {
        EXPECT_EQ(host->loadKext(bundle("case" + std::to_string(n++), c.info, c.library)), c.status)
            << c.name;
    }
    EXPECT_EQ(host->loadKext("/Library/Extensions/missing.kext"), kIOReturnNotFound);
    EXPECT_TRUE(log.contains("missing.kext"));
    OSArray* drivers = gIOCatalogue->copyDrivers();
    for (unsigned int i = 0; i < drivers->getCount(); ++i) {
        auto* personality = OSDynamicCast(OSDictionary, drivers->getObject(i));
        EXPECT_EQ(personality->getObject(kCFBundleIdentifierKey), nullptr)
            << "a refused kext left a personality";
    }
    drivers->release();
    EXPECT_EQ(OSMetaClass::getMetaClassWithName("TestKextDriver"), nullptr);
}

TEST(PropertyListConversion, KeepsValuesAndIntegerWidths)
{
    const char* xml = R"(<plist version="1.0"><dict>
        <key>n</key><integer>-2</integer><key>t</key><true/><key>d</key><data>AQID</data>
        <key>a</key><array><string>x</string></array></dict></plist>)";
    CFDataRef data = CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(xml),
                                  static_cast<CFIndex>(strlen(xml)));
    CFPropertyListRef plist = CFPropertyListCreateWithData(kCFAllocatorDefault, data, 0, nullptr, nullptr);
    ASSERT_NE(plist, nullptr);
    auto* converted = OSDynamicCast(OSDictionary, kernel_host::kernelObjectFromPropertyList(plist));
    ASSERT_NE(converted, nullptr);
    auto* number = OSDynamicCast(OSNumber, converted->getObject("n"));
    ASSERT_NE(number, nullptr);
    EXPECT_EQ(number->numberOfBits(), 64u); // property-list integers are 64-bit
    EXPECT_EQ(static_cast<int64_t>(number->unsigned64BitValue()), -2);
    EXPECT_EQ(converted->getObject("t"), kOSBooleanTrue);
    EXPECT_EQ(OSDynamicCast(OSData, converted->getObject("d"))->getLength(), 3u);
    auto* element = OSDynamicCast(OSString, OSDynamicCast(OSArray, converted->getObject("a"))->getObject(0));
    ASSERT_NE(element, nullptr);
    EXPECT_TRUE(element->isEqualTo("x"));
    converted->release();
    CFRelease(plist);
    CFRelease(data);

    double real = 1.5;
    CFNumberRef floating = CFNumberCreate(kCFAllocatorDefault, kCFNumberFloat64Type, &real);
    EXPECT_EQ(kernel_host::kernelObjectFromPropertyList(floating), nullptr);
    CFRelease(floating);
}

} // namespace
