#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

#include "Owned.h"
#include "platform/CoreFoundationSupport.h"
#include "platform/Log.h"
#include "platform/ProcessEnvironment.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kFactory = "D1E7A4C2-1111-4B7A-9C55-0123456789AB";
constexpr const char* kType = "443ABAB8-E7B3-491A-B985-BEB9187030DB";

struct Instance
{
    const void* typeSeen;
    int created;
};

class BundleTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/cf-bundle-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_root = pattern;
        m_scope.emplace(platform::process::Overrides{.root = m_root});
    }
    void TearDown() override
    {
        m_scope.reset();
        fs::remove_all(m_root);
    }

    // Writes a bundle under the root at the system path `folder`, with an information list
    // made from `info` and, when asked, the test plug-in library as its executable.
    void makeBundle(const std::string& folder, CFDictionaryRef info, bool withExecutable)
    {
        const std::string host = m_root + folder;
        fs::create_directories(host + "/Contents/MacOS");
        Owned<CFDataRef> xml = CFPropertyListCreateXMLData(nullptr, info);
        std::ofstream(host + "/Contents/Info.plist", std::ios::binary)
            .write(reinterpret_cast<const char*>(CFDataGetBytePtr(xml)), CFDataGetLength(xml));
        if (withExecutable) {
            fs::copy_file(TEST_PLUGIN_PATH, host + "/Contents/MacOS/TestPlugIn");
        }
    }

    static CFURLRef url(const char* path)
    {
        Owned<CFStringRef> s = CFStringCreateWithCString(nullptr, path, kCFStringEncodingUTF8);
        return CFURLCreateWithFileSystemPath(nullptr, s, kCFURLPOSIXPathStyle, true);
    }

    static CFDictionaryRef plugInInfo(const char* function)
    {
        Owned<CFStringRef> factory = CFStringCreateWithCString(nullptr, kFactory, kCFStringEncodingASCII);
        Owned<CFStringRef> type = CFStringCreateWithCString(nullptr, kType, kCFStringEncodingASCII);
        Owned<CFStringRef> name = CFStringCreateWithCString(nullptr, function, kCFStringEncodingASCII);
        Owned<CFMutableDictionaryRef> factories = CFDictionaryCreateMutable(
            nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
        CFDictionarySetValue(factories, factory, name);
        const void* list[] = {factory.get()};
        Owned<CFArrayRef> factoryList = CFArrayCreate(nullptr, list, 1, &kCFTypeArrayCallBacks);
        Owned<CFMutableDictionaryRef> types = CFDictionaryCreateMutable(
            nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
        CFDictionarySetValue(types, type, factoryList);
        CFMutableDictionaryRef info = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                                &kCFTypeDictionaryValueCallBacks);
        CFDictionarySetValue(info, CFSTR("CFBundleIdentifier"), CFSTR("com.example.testplugin"));
        CFDictionarySetValue(info, CFSTR("CFBundleExecutable"), CFSTR("TestPlugIn"));
        CFDictionarySetValue(info, kCFPlugInFactoriesKey, factories);
        CFDictionarySetValue(info, kCFPlugInTypesKey, types);
        return info;
    }

    std::string m_root;
    std::optional<platform::process::ScopedOverride> m_scope;
};

TEST_F(BundleTest, PlugInFactoryIsFoundLoadedAndCalledWithTheType)
{
    Owned<CFDictionaryRef> info = plugInInfo("TestPlugInCreate");
    makeBundle("/Library/Audio/Plug-Ins/HAL/test.plugin", info, true);
    Owned<CFURLRef> location = url("/Library/Audio/Plug-Ins/HAL/test.plugin");

    Owned<CFUUIDRef> type = CFUUIDCreateFromString(
        nullptr, Owned<CFStringRef>(CFStringCreateWithCString(nullptr, kType, kCFStringEncodingASCII)));
    Owned<CFUUIDRef> factory = CFUUIDCreateFromString(
        nullptr, Owned<CFStringRef>(CFStringCreateWithCString(nullptr, kFactory, kCFStringEncodingASCII)));
    Owned<CFArrayRef> none = CFPlugInFindFactoriesForPlugInType(type);
    EXPECT_EQ(CFArrayGetCount(none), 0); // not registered before the plug-in exists

    Owned<CFPlugInRef> plugIn = CFPlugInCreate(nullptr, location);
    ASSERT_NE(plugIn.get(), nullptr);
    Owned<CFBundleRef> same = CFBundleCreate(nullptr, location);
    EXPECT_EQ(same.get(), plugIn.get());
    EXPECT_EQ(text(CFBundleGetIdentifier(plugIn)), "com.example.testplugin");
    EXPECT_FALSE(CFBundleIsExecutableLoaded(plugIn));

    Owned<CFArrayRef> factories = CFPlugInFindFactoriesForPlugInType(type);
    ASSERT_EQ(CFArrayGetCount(factories), 1);
    EXPECT_TRUE(CFEqual(CFArrayGetValueAtIndex(factories, 0), factory));

    auto* instance = static_cast<Instance*>(CFPlugInInstanceCreate(nullptr, factory, type));
    ASSERT_NE(instance, nullptr);
    EXPECT_EQ(instance->typeSeen, type.get());
    EXPECT_EQ(instance->created, 1);
    EXPECT_TRUE(CFBundleIsExecutableLoaded(plugIn));

    Owned<CFStringRef> answerName =
        CFStringCreateWithCString(nullptr, "TestPlugInAnswer", kCFStringEncodingASCII);
    auto answer = reinterpret_cast<int (*)()>(CFBundleGetFunctionPointerForName(plugIn, answerName));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    Owned<CFStringRef> missing = CFStringCreateWithCString(nullptr, "NoSuchSymbol", kCFStringEncodingASCII);
    EXPECT_EQ(CFBundleGetFunctionPointerForName(plugIn, missing), nullptr);

    // A registered instance keeps the library loaded.
    CFPlugInAddInstanceForFactory(factory);
    CFBundleUnloadExecutable(plugIn);
    EXPECT_TRUE(CFBundleIsExecutableLoaded(plugIn));
    CFPlugInRemoveInstanceForFactory(factory);
    CFBundleUnloadExecutable(plugIn);
    EXPECT_FALSE(CFBundleIsExecutableLoaded(plugIn));

    // A type the factory does not serve makes nothing.
    Owned<CFUUIDRef> other = CFUUIDCreate(nullptr);
    EXPECT_EQ(CFPlugInInstanceCreate(nullptr, factory, other), nullptr);
}

TEST_F(BundleTest, BrokenBundlesFailCleanly)
{
    platform::log::Capture log(platform::log::Channel::system);
    Owned<CFURLRef> absent = url("/Library/Absent.plugin");
    EXPECT_EQ(CFBundleCreate(nullptr, absent), nullptr);

    // Factory named, function missing from the library.
    Owned<CFDictionaryRef> wrongName = plugInInfo("NotExported");
    makeBundle("/Plugins/wrong.plugin", wrongName, true);
    // Executable named, file missing.
    Owned<CFDictionaryRef> info = plugInInfo("TestPlugInCreate");
    makeBundle("/Plugins/empty.plugin", info, false);
    // Damaged information list.
    fs::create_directories(m_root + "/Plugins/damaged.plugin/Contents");
    std::ofstream(m_root + "/Plugins/damaged.plugin/Contents/Info.plist") << "<plist><dict><key>x";

    Owned<CFBundleRef> wrong = CFBundleCreate(nullptr, Owned<CFURLRef>(url("/Plugins/wrong.plugin")));
    Owned<CFBundleRef> empty = CFBundleCreate(nullptr, Owned<CFURLRef>(url("/Plugins/empty.plugin")));
    Owned<CFBundleRef> damaged = CFBundleCreate(nullptr, Owned<CFURLRef>(url("/Plugins/damaged.plugin")));
    ASSERT_NE(damaged.get(), nullptr);
    EXPECT_EQ(CFDictionaryGetCount(CFBundleGetInfoDictionary(damaged)), 0);
    EXPECT_FALSE(CFBundleLoadExecutable(damaged));
    EXPECT_FALSE(CFBundleLoadExecutable(empty));

    Owned<CFUUIDRef> type = CFUUIDCreateFromString(
        nullptr, Owned<CFStringRef>(CFStringCreateWithCString(nullptr, kType, kCFStringEncodingASCII)));
    Owned<CFUUIDRef> factory = CFUUIDCreateFromString(
        nullptr, Owned<CFStringRef>(CFStringCreateWithCString(nullptr, kFactory, kCFStringEncodingASCII)));
    EXPECT_EQ(CFPlugInInstanceCreate(nullptr, factory, type), nullptr);
    EXPECT_TRUE(log.contains("damaged information list"));
    EXPECT_TRUE(log.contains("not found"));
    EXPECT_TRUE(log.contains("cannot be found"));
}

TEST_F(BundleTest, MainBundleInformationComesFromTheProgramsBundle)
{
    const std::string app = m_root + "/ControlApp.app";
    fs::create_directories(app + "/Contents");
    std::ofstream(app + "/Contents/Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>BackImgAlpha</key><integer>128</integer></dict></plist>";
    platform::cf::setMainBundleFolder(app);
    CFBundleRef main = CFBundleGetMainBundle();
    EXPECT_EQ(main, CFBundleGetMainBundle());
    auto alpha = static_cast<CFNumberRef>(CFBundleGetValueForInfoDictionaryKey(main, CFSTR("BackImgAlpha")));
    ASSERT_EQ(CFGetTypeID(alpha), CFNumberGetTypeID());
    SInt32 value = 0;
    EXPECT_TRUE(CFNumberGetValue(alpha, kCFNumberSInt32Type, &value));
    EXPECT_EQ(value, 128);
    EXPECT_EQ(CFBundleGetValueForInfoDictionaryKey(main, CFSTR("Missing")), nullptr);

    platform::cf::setMainBundleFolder(std::nullopt);
    EXPECT_EQ(CFBundleGetValueForInfoDictionaryKey(CFBundleGetMainBundle(), CFSTR("BackImgAlpha")), nullptr);
}

} // namespace
