// The settings store through the preferences stand-in, in a private root: every key round-trips,
// and values of the wrong type or data too short read as missing.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <unistd.h>

#include "OSXAsioRegistry.h"
#include "platform/ProcessEnvironment.h"

namespace {

class OSXAsioRegistryTest : public testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/asio-registry-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        rooted = std::make_unique<platform::process::ScopedOverride>(
            platform::process::Overrides{.root = root});
    }
    void TearDown() override
    {
        rooted.reset();
        std::filesystem::remove_all(root);
    }

    std::unique_ptr<OSXAsioRegistry> open() { return std::make_unique<OSXAsioRegistry>(CFSTR("com.quenzar.sonvexa")); }
    void put(const char* key, CFTypeRef value)
    {
        CFStringRef k = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
        CFPreferencesSetAppValue(k, value, CFSTR("com.quenzar.sonvexa.hal"));
        CFPreferencesAppSynchronize(CFSTR("com.quenzar.sonvexa.hal"));
        CFRelease(k);
    }

    std::string root;
    std::unique_ptr<platform::process::ScopedOverride> rooted;
};

TEST_F(OSXAsioRegistryTest, EveryNamedSettingRoundTrips)
{
    {
        auto store = open();
        EXPECT_STREQ(CFStringGetCStringPtr(store->applicationID(), kCFStringEncodingUTF8) != nullptr
                         ? CFStringGetCStringPtr(store->applicationID(), kCFStringEncodingUTF8)
                         : "com.quenzar.sonvexa.hal",
                     "com.quenzar.sonvexa.hal");
        EXPECT_FALSE(store->isCurrentVersion());
        store->setClockSource(1);
        store->setUSB1Mode(1);
        store->setDigitalOutMode(2);
        store->setDigitalOutSelector(3);
        store->setForceInternal(1);
        store->setWolfsonRegister(1, 21, 0x1FF);
        store->setRouting(1, 2, 7);
        store->setFootSwitchMode(4);
        store->setFootSwitchProtocol(5);
        store->setMixerMode(-3);
        store->setSampleRate(4'000'000'000U);
        uint8_t fractions[OSXAsioRegistry::kMixerFractionsSize];
        for (size_t i = 0; i < sizeof fractions; ++i) {
            fractions[i] = static_cast<uint8_t>(i);
        }
        store->setMixerFractions(fractions);
        store->setUInt64Value(CFSTR("SystemAudioDevice"), 0x1122334455667788ULL);
        store->setUInt16Value(CFSTR("MonMixPos"), 14'199);
        store->setBoolValue(CFSTR("Flag"), true);
    }
    auto store = open();
    EXPECT_TRUE(store->isCurrentVersion());
    EXPECT_EQ(store->getClockSource(), 1U);
    EXPECT_EQ(store->getUSB1Mode(), 1U);
    EXPECT_EQ(store->getDigitalOutMode(), 2U);
    EXPECT_EQ(store->getDigitalOutSelector(), 3U);
    EXPECT_EQ(store->getForceInternal(), 1U);
    EXPECT_EQ(store->getWolfsonRegister(1, 21), 0x1FFU);
    uint32_t routing = 0;
    EXPECT_TRUE(store->getRouting(1, 2, &routing));
    EXPECT_EQ(routing, 7U);
    EXPECT_FALSE(store->getRouting(0, 0, &routing));
    EXPECT_EQ(store->getFootSwitchMode(), 4U);
    EXPECT_EQ(store->getFootSwitchProtocol(), 5U);
    EXPECT_EQ(store->getMixerMode(), -3);
    EXPECT_EQ(store->getSampleRate(), 4'000'000'000U) << "stored as its signed form, read back as the same bits";
    uint8_t fractions[OSXAsioRegistry::kMixerFractionsSize] = {};
    EXPECT_TRUE(store->getMixerFractions(fractions));
    EXPECT_EQ(fractions[511], 0xFF);
    uint64_t id = 0;
    EXPECT_TRUE(store->getUInt64Value(CFSTR("SystemAudioDevice"), &id));
    EXPECT_EQ(id, 0x1122334455667788ULL);
    uint16_t position = 0;
    EXPECT_TRUE(store->getUInt16Value(CFSTR("MonMixPos"), &position));
    EXPECT_EQ(position, 14'199);
    bool flag = false;
    EXPECT_TRUE(store->getBoolValue(CFSTR("Flag"), &flag));
    EXPECT_TRUE(flag);
}

TEST_F(OSXAsioRegistryTest, WrongTypesAndShortDataReadAsMissing)
{
    auto store = open();
    put("ClockSource", CFSTR("1"));
    CFDataRef data = CFDataCreate(nullptr, reinterpret_cast<const UInt8*>("abc"), 3);
    put("SampleRate", data);   // data where text belongs
    put("SystemAudioDevice", data); // 3 bytes where 8 belong
    put("MixerBuffer", CFSTR("not data"));
    CFRelease(data);
    auto fresh = open();
    EXPECT_EQ(fresh->getClockSource(), 1U);
    EXPECT_EQ(fresh->getSampleRate(), 0U);
    uint64_t id = 7;
    EXPECT_FALSE(fresh->getUInt64Value(CFSTR("SystemAudioDevice"), &id));
    uint8_t buffer[OSXAsioRegistry::kMixerBufferSize] = {};
    EXPECT_FALSE(fresh->getMixerBuffer(buffer));
}

TEST_F(OSXAsioRegistryTest, ElektronRecordsTakeTheirDefaultsAndTheirIdentifiersKey)
{
    auto store = open();
    QZ_Elektron_ConfigAndMap config{};
    EXPECT_FALSE(store->getElektronConfigAndMapping(config));
    EXPECT_EQ(config.mConfiguration.mSampleRate, 48'000U);
    EXPECT_EQ(config.mConfiguration.mInChannels, 2U);
    EXPECT_EQ(config.mConfiguration.mOutResolution, 16U);
    EXPECT_EQ(config.mMap.mInputMap[0], 255U);
    put("Elektron_NumInputs", CFSTR("4"));
    EXPECT_FALSE(store->getElektronConfigAndMapping(config));
    EXPECT_EQ(config.mConfiguration.mInChannels, 4U);
    config.mMap.mOutputMap[3] = 9;
    EXPECT_TRUE(store->setElektronConfigAndMapping(config));
    QZ_Elektron_ConfigAndMap back{};
    EXPECT_TRUE(store->getElektronConfigAndMapping(back));
    EXPECT_EQ(back.mMap.mOutputMap[3], 9U);

    const uint64_t device = 0x1234;
    EXPECT_TRUE(store->setElektronConfigAndMapping(config, reinterpret_cast<const char*>(&device)));
    CFPropertyListRef whole = CFPreferencesCopyAppValue(CFSTR("ELEKTRON_            1234"), store->applicationID());
    ASSERT_NE(whole, nullptr) << "twelve spaces, then the hexadecimal id";
    EXPECT_EQ(CFDataGetLength(static_cast<CFDataRef>(whole)), 84);
    CFRelease(whole);
    QZ_Elektron_ConfigAndMap byID{};
    EXPECT_TRUE(store->getElektronConfigAndMapping(byID, reinterpret_cast<const char*>(&device)));
    EXPECT_EQ(byID.mConfiguration.mInChannels, 4U);
    const uint64_t other = 0x99;
    EXPECT_FALSE(store->getElektronConfigAndMapping(byID, reinterpret_cast<const char*>(&other)));
}

TEST_F(OSXAsioRegistryTest, ExtensionSettingsStartFromTheirDefaults)
{
    auto store = open();
    store->setClockSource(1);
    QzAqExtData data{};
    data.RoutingOut1 = 77;
    store->loadAqExt(data);
    EXPECT_EQ(data.ClockSource, 1U);
    EXPECT_EQ(data.RoutingIn1, 1U);
    EXPECT_EQ(data.RoutingIn2, 2U);
    EXPECT_EQ(data.RoutingOut1, 1U);
}

TEST_F(OSXAsioRegistryTest, NumbersReadFromTextOrNumberAndNonNumbersAsZero)
{
    auto store = open();
    const int32_t three = 3;
    CFNumberRef number = CFNumberCreate(nullptr, kCFNumberSInt32Type, &three);
    put("FootSwitchMode", number);
    CFRelease(number);
    put("FootSwitchProtocol", CFSTR("abc"));
    store->setBoolValue(CFSTR("Flag"), true);
    CFStringRef flagText = nullptr;
    EXPECT_TRUE(store->getStringValue(CFSTR("Flag"), &flagText));
    ASSERT_NE(flagText, nullptr);
    EXPECT_EQ(CFStringCompare(flagText, CFSTR("1"), 0), kCFCompareEqualTo);
    CFRelease(flagText);
    put("Flag", CFSTR("12"));
    bool flag = false;
    EXPECT_TRUE(store->getBoolValue(CFSTR("Flag"), &flag));
    EXPECT_TRUE(flag);
    EXPECT_EQ(store->getFootSwitchMode(), 3U);
    uint32_t text = 9;
    EXPECT_TRUE(store->getUInt32Value(CFSTR("FootSwitchProtocol"), &text));
    EXPECT_EQ(text, 0U);
}

TEST_F(OSXAsioRegistryTest, ChannelMapNeedsAllSixteenKeys)
{
    auto store = open();
    QZ_Elektron_ChannelMap map{};
    EXPECT_FALSE(store->getElektronMapping(map));
    for (uint32_t i = 0; i < QZ_Elektron_ChannelMap::kNumEntries; ++i) {
        EXPECT_EQ(map.mInputMap[i], 255U);
        EXPECT_EQ(map.mOutputMap[i], 255U);
    }
    for (uint32_t i = 0; i < 8; ++i) {
        CFStringRef key = CFStringCreateWithCString(nullptr, ("InputMap_" + std::to_string(i)).c_str(),
                                                    kCFStringEncodingUTF8);
        store->setUInt32Value(key, i + 10);
        CFRelease(key);
    }
    store->setUInt32Value(CFSTR("OutputMap_3"), 4);
    EXPECT_FALSE(store->getElektronMapping(map));
    EXPECT_EQ(map.mInputMap[7], 17U);
    EXPECT_EQ(map.mOutputMap[3], 4U);
    EXPECT_EQ(map.mOutputMap[2], 255U);
    for (uint32_t i = 0; i < 8; ++i) {
        CFStringRef key = CFStringCreateWithCString(nullptr, ("OutputMap_" + std::to_string(i)).c_str(),
                                                    kCFStringEncodingUTF8);
        store->setUInt32Value(key, i);
        CFRelease(key);
    }
    EXPECT_TRUE(store->getElektronMapping(map));
}

TEST_F(OSXAsioRegistryTest, AudioServerStoresGoToTheOneDomainAndMigrateSettings)
{
    // No root and a folder: different application ids, the same domain.
    auto unrooted = std::make_unique<OSXAsioRegistry>(nullptr);
    EXPECT_EQ(CFStringCompare(unrooted->applicationID(), CFSTR("com.quezar.hal"), 0), kCFCompareEqualTo);
    unrooted->setClockSource(2);
    auto folder = std::make_unique<OSXAsioRegistry>(VKString("Settings Folder"));
    EXPECT_EQ(folder->getClockSource(), 2U);
    EXPECT_EQ(open()->getClockSource(), 2U);

    // Attributes of every child of "Settings" become keys; a later child's value wins.
    folder->load(VKString("<Settings><Device A=\"1\" Name=\"first\"/><Device B=\"7\" Name=\"second\"/></Settings>"));
    EXPECT_TRUE(folder->convertToCFPrefs());
    auto fresh = open();
    uint32_t a = 0;
    EXPECT_TRUE(fresh->getUInt32Value(CFSTR("A"), &a));
    EXPECT_EQ(a, 1U);
    CFStringRef name = nullptr;
    fresh->getStringValue(CFSTR("Name"), &name);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(CFStringCompare(name, CFSTR("second"), 0), kCFCompareEqualTo);
    CFRelease(name);
    EXPECT_TRUE(fresh->isCurrentVersion());

    // A document without "Settings" still marks the version.
    OSXAsioRegistry empty(VKString(""));
    EXPECT_TRUE(empty.convertToCFPrefs());
}

} // namespace
