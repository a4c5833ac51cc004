// The kext's Info.plist as the build wrote it from the personalities table.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <tuple>

#include "CoreFoundation/CoreFoundation.h"
#include "Personalities.h"

namespace {

CFPropertyListRef readInfoPlist()
{
    std::ifstream file(VK_KEXT_INFO_PLIST, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    CFDataRef data = CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
                                  static_cast<CFIndex>(text.size()));
    CFPropertyListRef plist = CFPropertyListCreateWithData(kCFAllocatorDefault, data, 0, nullptr, nullptr);
    CFRelease(data);
    return plist;
}

CFTypeRef value(CFDictionaryRef dictionary, const char* key)
{
    CFStringRef name = CFStringCreateWithCString(kCFAllocatorDefault, key, kCFStringEncodingUTF8);
    CFTypeRef found = CFDictionaryGetValue(dictionary, name);
    CFRelease(name);
    return found;
}

std::string text(CFTypeRef value)
{
    char buffer[256] = {};
    if (value == nullptr || CFGetTypeID(value) != CFStringGetTypeID() ||
        !CFStringGetCString(static_cast<CFStringRef>(value), buffer, sizeof buffer, kCFStringEncodingUTF8)) {
        return {};
    }
    return buffer;
}

long long number(CFTypeRef value)
{
    long long n = -1;
    if (value == nullptr || CFGetTypeID(value) != CFNumberGetTypeID() ||
        !CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberLongLongType, &n)) {
        return -1;
    }
    return n;
}

TEST(PersonalitiesTest, InfoPlistHasOnePersonalityPerDeviceWithFullSizeRecords)
{
    CFPropertyListRef plist = readInfoPlist();
    ASSERT_NE(plist, nullptr) << VK_KEXT_INFO_PLIST;
    ASSERT_EQ(CFGetTypeID(plist), CFDictionaryGetTypeID());
    const auto info = static_cast<CFDictionaryRef>(plist);
    EXPECT_EQ(text(value(info, "CFBundleIdentifier")), kKextBundleIdentifier);
    EXPECT_EQ(text(value(info, "CFBundleExecutable")), "VKSonvexa");
    const auto personalities = static_cast<CFDictionaryRef>(value(info, "IOKitPersonalities"));
    ASSERT_NE(personalities, nullptr);
    ASSERT_EQ(static_cast<size_t>(CFDictionaryGetCount(personalities)), kextPersonalities().size());

    std::set<std::tuple<long long, long long, long long>> keys;
    int listed = 0;
    const CFIndex count = CFDictionaryGetCount(personalities);
    std::vector<const void*> names(static_cast<size_t>(count));
    std::vector<const void*> entries(static_cast<size_t>(count));
    CFDictionaryGetKeysAndValues(personalities, names.data(), entries.data());
    for (CFIndex i = 0; i < count; ++i) {
        const auto p = static_cast<CFDictionaryRef>(entries[static_cast<size_t>(i)]);
        const std::string name = text(names[static_cast<size_t>(i)]);
        SCOPED_TRACE(name);
        EXPECT_EQ(text(value(p, "IOClass")), kKextServiceClass);
        EXPECT_EQ(text(value(p, "IOProviderClass")), "IOUSBDevice");
        EXPECT_EQ(text(value(p, "CFBundleIdentifier")), kKextBundleIdentifier);
        const long long vendor = number(value(p, "idVendor"));
        const long long product = number(value(p, "idProduct"));
        const long long release = number(value(p, "bcdDevice"));
        ASSERT_GE(vendor, 0);
        ASSERT_GE(product, 0);
        EXPECT_TRUE(keys.insert({vendor, product, release}).second) << "the same device twice";
        const auto specific = static_cast<CFDictionaryRef>(value(p, "QzSpecific"));
        ASSERT_NE(specific, nullptr);
        if (CFTypeRef record = value(specific, "kConfigurationData")) {
            ++listed;
            ASSERT_EQ(CFGetTypeID(record), CFDataGetTypeID());
            EXPECT_EQ(CFDataGetLength(static_cast<CFDataRef>(record)), 380);
            EXPECT_NE(CFDataGetBytePtr(static_cast<CFDataRef>(record))[375], 0) << "marked as listed";
        }
        if (CFTypeRef clock = value(specific, "kClockSourceSettings")) {
            ASSERT_EQ(CFGetTypeID(clock), CFDataGetTypeID());
            EXPECT_EQ(CFDataGetLength(static_cast<CFDataRef>(clock)), 20);
        }
        if (CFTypeRef custom = value(specific, "kCustomName")) {
            EXPECT_LE(text(custom).size(), 64u);
        }
    }
    // A device listed without its release is not listed again for one release.
    for (const auto& [vendor, product, release] : keys) {
        if (release >= 0) {
            EXPECT_EQ(keys.count({vendor, product, -1}), 0u) << std::hex << vendor << ":" << product;
        }
    }
    EXPECT_GT(listed, 0) << "some family devices carry feature records";
    CFRelease(plist);
}

TEST(PersonalitiesTest, EveryDeviceTheDriverTreatsByModelIsListed)
{
    // A few models the driver has rules for, each with a personality.
    for (const DeviceModel& model : {kModelKelvraUC3, kModelMBox, kModelMBox2, kModelUSBPre, kModel1ACC_0049,
                                     kModel1604_8006, kModelXMOS, kModel0499_100B, kModel1235_0002,
                                     kModelTessaly, kModel1935_0006}) {
        bool found = false;
        for (const KextPersonality& p : kextPersonalities()) {
            found = found || p.model.key() == model.key();
        }
        EXPECT_TRUE(found) << model.name;
    }
}

} // namespace
