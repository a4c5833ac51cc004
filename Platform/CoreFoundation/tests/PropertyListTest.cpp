#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

#include "platform/ProcessEnvironment.h"

#include "Owned.h"

namespace {

CFDataRef bytesOf(const std::string& s)
{
    return CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(s.data()), static_cast<CFIndex>(s.size()));
}

std::string stringOf(CFDataRef data)
{
    return std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                       static_cast<size_t>(CFDataGetLength(data)));
}

CFNumberRef number(SInt64 v)
{
    return CFNumberCreate(nullptr, kCFNumberSInt64Type, &v);
}

// Every kind of value, nested: what the registry snapshot and the settings store hold.
CFDictionaryRef sampleTree()
{
    CFMutableDictionaryRef root = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                            &kCFTypeDictionaryValueCallBacks);
    std::vector<UInt8> blob(380);
    for (size_t i = 0; i < blob.size(); ++i) {
        blob[i] = static_cast<UInt8>(i * 7);
    }
    Owned<CFDataRef> data = CFDataCreate(nullptr, blob.data(), static_cast<CFIndex>(blob.size()));
    Owned<CFDataRef> empty = CFDataCreate(nullptr, nullptr, 0);
    const Float64 real = 0.1;
    Owned<CFNumberRef> r = CFNumberCreate(nullptr, kCFNumberFloat64Type, &real);
    Owned<CFNumberRef> negative = number(-294967296);
    Owned<CFNumberRef> large = number(0x7FFFFFFFFFFFFFFFLL);
    Owned<CFNumberRef> smallest = number(INT64_MIN);
    Owned<CFStringRef> unicode =
        CFStringCreateWithCString(nullptr, "caf\xC3\xA9 <&> \xF0\x9F\x8E\xB5", kCFStringEncodingUTF8);
    const void* names[] = {CFSTR("In 1"), CFSTR("In 2")};
    Owned<CFArrayRef> array = CFArrayCreate(nullptr, names, 2, &kCFTypeArrayCallBacks);
    Owned<CFArrayRef> emptyArray = CFArrayCreate(nullptr, nullptr, 0, &kCFTypeArrayCallBacks);
    Owned<CFMutableDictionaryRef> inner = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(inner, CFSTR("kConfigurationData"), data);
    CFDictionarySetValue(inner, CFSTR("kInChannelNames"), array);
    CFDictionarySetValue(root, CFSTR("QzSpecific"), inner);
    CFDictionarySetValue(root, CFSTR("empty data"), empty);
    CFDictionarySetValue(root, CFSTR("empty array"), emptyArray);
    CFDictionarySetValue(root, CFSTR("real"), r);
    CFDictionarySetValue(root, CFSTR("negative"), negative);
    CFDictionarySetValue(root, CFSTR("large"), large);
    CFDictionarySetValue(root, CFSTR("smallest"), smallest);
    CFDictionarySetValue(root, CFSTR("flag"), kCFBooleanTrue);
    CFDictionarySetValue(root, CFSTR("off"), kCFBooleanFalse);
    CFDictionarySetValue(root, CFSTR("text"), unicode);
    CFDictionarySetValue(root, CFSTR("Version"), CFSTR("1.0"));
    return root;
}

TEST(PropertyList, EveryValueKindRoundTrips)
{
    Owned<CFDictionaryRef> tree = sampleTree();
    {
        const auto format = kCFPropertyListXMLFormat_v1_0;
        Owned<CFErrorRef> error;
        Owned<CFDataRef> data = CFPropertyListCreateData(nullptr, tree, format, 0, error.out());
        ASSERT_NE(data.get(), nullptr);
        EXPECT_EQ(error.get(), nullptr);
        CFPropertyListFormat found = kCFPropertyListOpenStepFormat;
        Owned<CFPropertyListRef> back = CFPropertyListCreateWithData(nullptr, data, 0, &found, error.out());
        ASSERT_NE(back.get(), nullptr) << format;
        EXPECT_EQ(found, format);
        EXPECT_TRUE(CFEqual(back, tree)) << text(Owned<CFStringRef>(CFCopyDescription(back)));
        // Immutable unless asked otherwise.
        CFDictionarySetValue(const_cast<CFMutableDictionaryRef>(static_cast<CFDictionaryRef>(back.get())),
                             CFSTR("added"), kCFBooleanTrue);
        EXPECT_FALSE(CFDictionaryContainsKey(static_cast<CFDictionaryRef>(back.get()), CFSTR("added")));
    }
}

TEST(PropertyList, XmlIsTheFileFormatWithSortedKeys)
{
    const void* keys[] = {CFSTR("b"), CFSTR("a")};
    Owned<CFNumberRef> minusOne = number(-1);
    const void* values[] = {minusOne.get(), CFSTR("x")};
    Owned<CFDictionaryRef> d = CFDictionaryCreate(nullptr, keys, values, 2, &kCFTypeDictionaryKeyCallBacks,
                                                  &kCFTypeDictionaryValueCallBacks);
    Owned<CFDataRef> xml = CFPropertyListCreateXMLData(nullptr, d);
    const std::string s = stringOf(xml);
    EXPECT_NE(s.find("<plist version=\"1.0\">"), std::string::npos);
    EXPECT_LT(s.find("<key>a</key>"), s.find("<key>b</key>"));
    EXPECT_NE(s.find("<integer>-1</integer>"), std::string::npos);
    Owned<CFDataRef> dummy = CFPropertyListCreateXMLData(nullptr, CFSTR("DUMMY"));
    EXPECT_NE(stringOf(dummy).find("<string>DUMMY</string>"), std::string::npos);
}

TEST(PropertyList, MutableReadGivesContainersToChange)
{
    Owned<CFDictionaryRef> tree = sampleTree();
    Owned<CFDataRef> data = CFPropertyListCreateXMLData(nullptr, tree);
    Owned<CFPropertyListRef> back =
        CFPropertyListCreateWithData(nullptr, data, kCFPropertyListMutableContainers, nullptr, nullptr);
    auto* d = const_cast<CFMutableDictionaryRef>(static_cast<CFDictionaryRef>(back.get()));
    CFDictionarySetValue(d, CFSTR("added"), kCFBooleanTrue);
    EXPECT_TRUE(CFDictionaryContainsKey(d, CFSTR("added")));

    Owned<CFPropertyListRef> copy =
        CFPropertyListCreateDeepCopy(nullptr, tree, kCFPropertyListMutableContainers);
    EXPECT_TRUE(CFEqual(copy, tree));
    auto* inner = const_cast<CFMutableDictionaryRef>(static_cast<CFDictionaryRef>(
        CFDictionaryGetValue(static_cast<CFDictionaryRef>(copy.get()), CFSTR("QzSpecific"))));
    CFDictionaryRemoveValue(inner, CFSTR("kInChannelNames"));
    EXPECT_FALSE(CFEqual(copy, tree));
}

TEST(PropertyList, ValuesThatAreNotPropertyListsAreRefusedOnWrite)
{
    Owned<CFURLRef> url = CFURLCreateWithFileSystemPath(nullptr, CFSTR("/x"), kCFURLPOSIXPathStyle, false);
    Owned<CFNumberRef> one = number(1);
    const void* keys[] = {one.get()};
    const void* values[] = {CFSTR("v")};
    Owned<CFDictionaryRef> numberKey = CFDictionaryCreate(
        nullptr, keys, values, 1, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    const void* urls[] = {url.get()};
    Owned<CFArrayRef> withUrl = CFArrayCreate(nullptr, urls, 1, &kCFTypeArrayCallBacks);
    for (CFTypeRef bad : {static_cast<CFTypeRef>(url.get()), static_cast<CFTypeRef>(numberKey.get()),
                          static_cast<CFTypeRef>(withUrl.get()), static_cast<CFTypeRef>(nullptr)}) {
        Owned<CFErrorRef> error;
        EXPECT_EQ(CFPropertyListCreateData(nullptr, bad, kCFPropertyListXMLFormat_v1_0, 0, error.out()),
                  nullptr);
        EXPECT_NE(error.get(), nullptr);
        EXPECT_FALSE(CFPropertyListIsValid(bad, kCFPropertyListXMLFormat_v1_0));
    }
    EXPECT_EQ(CFPropertyListCreateData(nullptr, CFSTR("x"), kCFPropertyListOpenStepFormat, 0, nullptr),
              nullptr);
    EXPECT_EQ(CFPropertyListCreateData(nullptr, CFSTR("x"), kCFPropertyListBinaryFormat_v1_0, 0, nullptr),
              nullptr);
}

TEST(PropertyList, MalformedInputGivesNullAndAnError)
{
    const std::string deep = std::string(100000, '\0');
    std::string nested = "<plist version=\"1.0\">";
    for (int i = 0; i < 5000; ++i) {
        nested += "<array>";
    }
    const std::string cases[] = {
        "",
        "not a plist",
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key>",
        "<plist version=\"1.0\"><integer>12</plist>",
        "bplist00\xff\xff\xff",
        std::string("bplist00") + std::string(40, '\xff'),
        nested,
        deep,
    };
    for (const auto& c : cases) {
        Owned<CFDataRef> data = bytesOf(c);
        Owned<CFErrorRef> error;
        Owned<CFPropertyListRef> result =
            CFPropertyListCreateWithData(nullptr, data, 0, nullptr, error.out());
        EXPECT_EQ(result.get(), nullptr) << c.substr(0, 60);
        EXPECT_NE(error.get(), nullptr) << c.substr(0, 60);
    }
}

TEST(PropertyList, KindsTheTreeCannotHoldAreLeftOut)
{
    const std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                            "<key>when</key><date>2024-01-01T00:00:00Z</date>"
                            "<key>kept</key><integer>7</integer>"
                            "<key>list</key><array><date>2024-01-01T00:00:00Z</date><true/></array>"
                            "</dict></plist>";
    Owned<CFDataRef> data = bytesOf(xml);
    Owned<CFPropertyListRef> result = CFPropertyListCreateWithData(nullptr, data, 0, nullptr, nullptr);
    ASSERT_EQ(CFGetTypeID(result), CFDictionaryGetTypeID());
    auto d = static_cast<CFDictionaryRef>(result.get());
    EXPECT_EQ(CFDictionaryGetCount(d), 2);
    EXPECT_FALSE(CFDictionaryContainsKey(d, CFSTR("when")));
    auto list = static_cast<CFArrayRef>(CFDictionaryGetValue(d, CFSTR("list")));
    ASSERT_EQ(CFArrayGetCount(list), 1);
    EXPECT_EQ(CFArrayGetValueAtIndex(list, 0), kCFBooleanTrue);
}

TEST(PropertyList, ResourcesAreWrittenUnderTheRootFolder)
{
    char pattern[] = "/tmp/cf-root-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string root = pattern;
    platform::process::ScopedOverride scoped({.root = root});

    Owned<CFURLRef> folder =
        CFURLCreateWithFileSystemPath(nullptr, CFSTR("/Users/Shared/Quenzar/"), kCFURLPOSIXPathStyle, true);
    Owned<CFURLRef> file =
        CFURLCreateCopyAppendingPathComponent(nullptr, folder, CFSTR("com.quenzar.sonvexa.plist"), false);
    const SInt32 mode = 0755;
    Owned<CFNumberRef> modeNumber = CFNumberCreate(nullptr, kCFNumberSInt32Type, &mode);
    const void* keys[] = {kCFURLFilePOSIXMode};
    const void* values[] = {modeNumber.get()};
    Owned<CFDictionaryRef> attributes = CFDictionaryCreate(
        nullptr, keys, values, 1, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    SInt32 error = -1;
    Owned<CFDataRef> dummy = CFPropertyListCreateXMLData(nullptr, CFSTR("DUMMY"));
    EXPECT_TRUE(CFURLWriteDataAndPropertiesToResource(folder, dummy, attributes, &error));
    EXPECT_EQ(error, 0);
    struct stat info
    {
    };
    ASSERT_EQ(stat((root + "/Users/Shared/Quenzar").c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0755U);

    Owned<CFDictionaryRef> tree = sampleTree();
    Owned<CFDataRef> xml = CFPropertyListCreateXMLData(nullptr, tree);
    EXPECT_TRUE(CFURLWriteDataAndPropertiesToResource(file, xml, attributes, &error));
    Owned<CFDataRef> read;
    EXPECT_TRUE(
        CFURLCreateDataAndPropertiesFromResource(nullptr, file, read.out(), nullptr, nullptr, &error));
    EXPECT_TRUE(CFEqual(read, xml));
    ASSERT_EQ(stat((root + "/Users/Shared/Quenzar/com.quenzar.sonvexa.plist").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755U);

    // ".." never climbs out of the root folder.
    Owned<CFURLRef> climbing = CFURLCreateWithFileSystemPath(nullptr, CFSTR("/Users/../../../escaped.plist"),
                                                             kCFURLPOSIXPathStyle, false);
    EXPECT_TRUE(CFURLWriteDataAndPropertiesToResource(climbing, xml, nullptr, &error));
    EXPECT_TRUE(std::filesystem::exists(root + "/escaped.plist"));

    // A file where a folder must go: the write fails with the system's error code.
    Owned<CFURLRef> blocked = CFURLCreateCopyAppendingPathComponent(nullptr, file, CFSTR("inner"), false);
    EXPECT_FALSE(CFURLWriteDataAndPropertiesToResource(blocked, xml, nullptr, &error));
    EXPECT_NE(error, 0);
    std::filesystem::remove_all(root);
}

} // namespace
