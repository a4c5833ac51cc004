#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

#include "IOKit/IOKitLib.h"
#include "QzIORegistryPrefs.h"
#include "TestKernel.h"
#include "platform/IOKitUser.h"
#include "platform/Log.h"
#include "platform/ProcessEnvironment.h"

namespace {

namespace fs = std::filesystem;
constexpr uint32_t kStateChange = 4; // the test device's method that publishes "ChannelSettings"

class QzIORegistryPrefsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/registry-prefs-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root = pattern;
        folder = root + "/Users/Shared/Quenzar";
        file = folder + "/com.quenzar.sonvexa.plist";
        rooted =
            std::make_unique<platform::process::ScopedOverride>(platform::process::Overrides{.root = root});
        platform::iokit::user::setKernelSocketPath(root + "/kernel.socket");
    }

    void startKernel(const char* deviceClass)
    {
        user_test::writeTestBundle(root, deviceClass);
        std::string error;
        kernel = user_test::TestKernel::start(root + "/kernel.socket", 1, &error);
        ASSERT_TRUE(kernel) << error;
    }

    void TearDown() override
    {
        kernel.reset();
        platform::iokit::user::setKernelSocketPath("");
        rooted.reset();
        fs::remove_all(root);
    }

    static mode_t modeOf(const std::string& path)
    {
        struct stat st
        {
        };
        EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
        return st.st_mode & 07777;
    }

    // Publishes "ChannelSettings" with `rate`, as the kernel does when it configures the device.
    void publishChannelSettings(io_service_t service, uint64_t rate)
    {
        io_connect_t connection = 0;
        ASSERT_EQ(IOServiceOpen(service, mach_task_self(), 0, &connection), kIOReturnSuccess);
        ASSERT_EQ(IOConnectCallScalarMethod(connection, kStateChange, &rate, 1, nullptr, nullptr),
                  kIOReturnSuccess);
        IOServiceClose(connection);
    }

    std::string root;
    std::string folder;
    std::string file;
    std::unique_ptr<platform::process::ScopedOverride> rooted;
    std::unique_ptr<user_test::TestKernel> kernel;
};

TEST_F(QzIORegistryPrefsTest, FindsTheKernelDeviceAndRefreshesItsProperties)
{
    startKernel("VKKernelDevice");
    platform::log::Capture syslog(platform::log::Channel::system);
    QzIORegistryPrefs prefs(false);
    // The line ends with "\n\n": an empty line follows it.
    ASSERT_EQ(syslog.texts().size(), 2u);
    EXPECT_EQ(syslog.texts()[1], "");
    EXPECT_EQ(syslog.lines()[0].priority, 4);
    EXPECT_EQ(syslog.lines()[0].text,
              "Found a device of class VKKernelDevice (won't write), result 00000000.");
    EXPECT_FALSE(fs::exists(folder));

    EXPECT_FALSE(prefs.hasProperties());
    io_service_t service =
        IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching("VKKernelDevice"));
    publishChannelSettings(service, 48000);
    EXPECT_TRUE(prefs.hasProperties());

    CFDictionaryRef first = prefs.getProperties();
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(CFDictionaryContainsKey(first, CFSTR("deviceUID")));
    EXPECT_TRUE(CFDictionaryContainsKey(first, CFSTR("QzSpecific")));
    // The caller's reference outlives a refresh that replaces the cache.
    EXPECT_EQ(prefs.update(), kIOReturnSuccess);
    EXPECT_TRUE(CFDictionaryContainsKey(first, CFSTR("ChannelSettings")));
    CFRelease(first);

    EXPECT_FALSE(prefs.createDirectory());
    EXPECT_FALSE(prefs.writePropertiesToStorage());
    EXPECT_FALSE(fs::exists(folder));

    // The device goes: the copy fails and the cache is empty until a refresh succeeds.
    kernel->removeNub();
    EXPECT_NE(prefs.update(), kIOReturnSuccess);
    EXPECT_EQ(prefs.getProperties(), nullptr);
    EXPECT_FALSE(prefs.hasProperties());
    IOObjectRelease(service);
}

TEST_F(QzIORegistryPrefsTest, WithoutADeviceOrAKernelNothingIsRead)
{
    {
        platform::log::Capture syslog(platform::log::Channel::system);
        QzIORegistryPrefs prefs(true); // no kernel host at all
        ASSERT_EQ(syslog.texts().size(), 2u);
        EXPECT_EQ(syslog.lines()[0].priority, 3);
        EXPECT_EQ(syslog.lines()[0].text, "IOServiceGetMatchingServices returned 0xe00002ed");
        EXPECT_EQ(prefs.update(), static_cast<int32_t>(kIOReturnError));
        EXPECT_FALSE(prefs.writePropertiesToStorage());
        EXPECT_FALSE(fs::exists(folder)); // the storage was not prepared
    }
    startKernel("UserTestDevice"); // a kernel, but no device of the class
    QzIORegistryPrefs prefs(true);
    EXPECT_EQ(prefs.update(), static_cast<int32_t>(kIOReturnError));
    EXPECT_EQ(prefs.getProperties(), nullptr);
    EXPECT_FALSE(prefs.hasProperties());
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_FALSE(prefs.writePropertiesToStorage());
    EXPECT_FALSE(fs::exists(file));
}

TEST_F(QzIORegistryPrefsTest, WritesTheSnapshotIntoASharedFolderWithSafeModes)
{
    startKernel("VKKernelDevice");
    io_service_t service =
        IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching("VKKernelDevice"));
    QzIORegistryPrefs prefs(true, service);
    ASSERT_TRUE(fs::is_directory(folder));
    // Sticky and shared, never setuid or setgid; the file never executable.
    EXPECT_EQ(modeOf(folder), 01777u);
    EXPECT_FALSE(fs::exists(file));

    publishChannelSettings(service, 44100);
    ASSERT_EQ(prefs.update(), kIOReturnSuccess);
    ASSERT_TRUE(prefs.writePropertiesToStorage());
    EXPECT_EQ(modeOf(file), 0644u);
    auto readBack = [&] {
        std::ifstream in(file, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        CFDataRef data =
            CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(text.data()), CFIndex(text.size()));
        CFPropertyListRef plist = CFPropertyListCreateWithData(nullptr, data, 0, nullptr, nullptr);
        CFRelease(data);
        return plist;
    };
    CFDictionaryRef properties = prefs.getProperties();
    CFPropertyListRef written = readBack();
    ASSERT_NE(written, nullptr);
    EXPECT_TRUE(CFEqual(written, properties));
    CFRelease(written);
    CFRelease(properties);

    // Writing again replaces the file with the properties of the last refresh.
    publishChannelSettings(service, 96000);
    prefs.update();
    ASSERT_TRUE(prefs.writePropertiesToStorage());
    properties = prefs.getProperties();
    written = readBack();
    EXPECT_TRUE(CFEqual(written, properties));
    CFRelease(written);
    CFRelease(properties);
}

TEST_F(QzIORegistryPrefsTest, NeverWritesThroughALinkPlantedAtItsPaths)
{
    startKernel("VKKernelDevice");
    io_service_t service =
        IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching("VKKernelDevice"));
    const std::string elsewhere = root + "/elsewhere";
    fs::create_directories(elsewhere);
    ::chmod(elsewhere.c_str(), 0700);
    fs::create_directories(root + "/Users/Shared");

    {
        // A link in place of the folder: the folder's target keeps its mode and gets no file.
        fs::create_directory_symlink(elsewhere, folder);
        platform::log::Capture syslog(platform::log::Channel::system);
        QzIORegistryPrefs prefs(true, service);
        EXPECT_FALSE(prefs.writePropertiesToStorage());
        EXPECT_EQ(modeOf(elsewhere), 0700u);
        EXPECT_TRUE(fs::is_empty(elsewhere));
        EXPECT_TRUE(syslog.contains("is not a folder; nothing is written there"));
        fs::remove(folder);
    }
    {
        // A link in place of the file is replaced, not followed.
        const std::string target = elsewhere + "/victim";
        std::ofstream(target) << "keep";
        fs::create_directories(folder);
        fs::create_symlink(target, file);
        QzIORegistryPrefs prefs(true, service);
        ASSERT_TRUE(prefs.writePropertiesToStorage());
        EXPECT_FALSE(fs::is_symlink(file));
        std::ifstream in(target);
        std::string kept;
        in >> kept;
        EXPECT_EQ(kept, "keep");
    }
    IOObjectRelease(service);
}

} // namespace
