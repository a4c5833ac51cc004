// Host storage of the device's settings over an in-memory storage: round trips, the getters'
// readings of missing values and of values of the wrong type at every level, bounded data copies,
// one Elektron record per identifier, and a storage without a host.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "QzStoragePrefs.h"
#include "platform/Log.h"

namespace {

std::string text(CFStringRef s)
{
    char buffer[256] = {};
    CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8);
    return buffer;
}

class MemoryStorage : public QzASHostStorage
{
public:
    ~MemoryStorage() override
    {
        for (auto& [key, value] : m_values) {
            CFRelease(value);
        }
    }
    OSStatus CopyFromStorage(CFStringRef key, CFPropertyListRef* value) override
    {
        auto it = m_values.find(text(key));
        *value = it != m_values.end() ? CFRetain(it->second) : nullptr;
        return 0;
    }
    OSStatus WriteToStorage(CFStringRef key, CFPropertyListRef value) override
    {
        put(text(key), value);
        return 0;
    }
    void put(const std::string& key, CFPropertyListRef value)
    {
        CFRetain(value);
        auto [it, added] = m_values.emplace(key, value);
        if (!added) {
            CFRelease(it->second);
            it->second = value;
        }
    }

private:
    std::map<std::string, CFPropertyListRef> m_values;
};

// A dictionary built from key-value pairs, released when it goes.
class Dict
{
public:
    Dict()
        : m_dict(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                           &kCFTypeDictionaryValueCallBacks))
    {
    }
    ~Dict() { CFRelease(m_dict); }
    Dict(const Dict&) = delete;
    Dict& operator=(const Dict&) = delete;
    Dict& set(const char* key, CFTypeRef value)
    {
        CFStringRef k = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
        CFDictionarySetValue(m_dict, k, value);
        CFRelease(k);
        return *this;
    }
    Dict& number(const char* key, int32_t v)
    {
        CFNumberRef n = CFNumberCreate(nullptr, kCFNumberSInt32Type, &v);
        set(key, n);
        CFRelease(n);
        return *this;
    }
    Dict& data(const char* key, size_t size, uint8_t fill)
    {
        std::string bytes(size, static_cast<char>(fill));
        CFDataRef d = CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()), static_cast<CFIndex>(size));
        set(key, d);
        CFRelease(d);
        return *this;
    }
    CFMutableDictionaryRef get() const { return m_dict; }

private:
    CFMutableDictionaryRef m_dict;
};

TEST(QzStoragePrefs, SettingsRoundTripThroughTheStorage)
{
    MemoryStorage storage;
    QzStoragePrefs prefs(&storage);
    Dict channels;
    channels.number("Frequency", 96'000).number("InChannels", 6).number("OutChannels", 4);
    Dict ext;
    ext.number("ClockSource", 1);
    Dict settings;
    settings.set("ChannelSettings", channels.get()).set("AqExtData", ext.get()).number("MixerMode", 2);
    settings.number("MixerKnob", 5).number("MixerValues", 12).data("RoutingMatrix", 32, 0xAB);
    EXPECT_FALSE(prefs.settingsFound());
    ASSERT_TRUE(prefs.writeStorageProperties(settings.get()));
    EXPECT_TRUE(prefs.settingsFound());

    QzStoragePrefs reader(&storage);
    int32_t v = 0;
    EXPECT_TRUE(reader.getStoredFrequency(v));
    EXPECT_EQ(v, 96'000);
    EXPECT_TRUE(reader.getStoredInChannels(v));
    EXPECT_EQ(v, 6);
    EXPECT_TRUE(reader.getStoredOutChannels(v));
    EXPECT_EQ(v, 4);
    EXPECT_FALSE(reader.getStoredInResolution(v));
    EXPECT_TRUE(reader.getStoredMixerMode(v));
    EXPECT_EQ(v, 2);
    EXPECT_TRUE(reader.getStoredMixerKnob(v));
    EXPECT_EQ(v, 5);
    EXPECT_TRUE(reader.getStoredMixerValues(v));
    EXPECT_EQ(v, 12);
    EXPECT_TRUE(reader.settingsFound());

    // Only the clock source stored: the defaults and that one value.
    QzAqExtData record{};
    record.RoutingOut1 = 77;
    record.ClockSource = 9;
    EXPECT_TRUE(reader.getStoredAqExt(record));
    QzAqExtData defaults{};
    defaults.setDefaults();
    defaults.ClockSource = 1;
    EXPECT_EQ(std::memcmp(&record, &defaults, sizeof record), 0);

    // Data blocks: at most the buffer, and a short block zero-filled behind.
    uint8_t matrix[40];
    std::memset(matrix, 0x11, sizeof matrix);
    EXPECT_TRUE(reader.getStoredRoutingMatrix(matrix, 16));
    EXPECT_EQ(matrix[15], 0xAB);
    EXPECT_EQ(matrix[16], 0x11) << "beyond the buffer's size";
    EXPECT_TRUE(reader.getStoredRoutingMatrix(matrix, sizeof matrix));
    EXPECT_EQ(matrix[31], 0xAB);
    EXPECT_EQ(matrix[32], 0);
    EXPECT_FALSE(reader.getStoredMixerBuffer(matrix, sizeof matrix));
}

TEST(QzStoragePrefs, MissingValuesAndWrongTypesReadAsMissing)
{
    MemoryStorage storage;
    QzStoragePrefs prefs(&storage);
    {
        platform::log::Capture syslog(platform::log::Channel::system);
        int32_t v = 0;
        EXPECT_FALSE(prefs.getStoredFrequency(v));
        platform::log::flush();
        EXPECT_TRUE(syslog.contains("Get Frequency setting from prefs: Could not read channel settings"));
    }

    struct Case
    {
        const char* name;
        void (*build)(Dict&);
    };
    const Case cases[] = {
        {"channel settings as text", [](Dict& d) { d.set("ChannelSettings", CFSTR("48000")); }},
        {"frequency as text",
         [](Dict& d) {
             Dict channels;
             channels.set("Frequency", CFSTR("48000"));
             d.set("ChannelSettings", channels.get());
         }},
        {"extension data as a number", [](Dict& d) { d.number("AqExtData", 1); }},
        {"mixer numbers as data", [](Dict& d) { d.data("MixerMode", 4, 1).data("MixerKnob", 4, 1); }},
        {"routing matrix as text", [](Dict& d) { d.set("RoutingMatrix", CFSTR("abc")); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Dict settings;
        c.build(settings);
        ASSERT_TRUE(prefs.writeStorageProperties(settings.get()));
        int32_t v = 7;
        EXPECT_FALSE(prefs.getStoredFrequency(v));
        EXPECT_FALSE(prefs.getStoredMixerMode(v));
        EXPECT_FALSE(prefs.getStoredMixerKnob(v));
        QzAqExtData record{};
        record.ClockSource = 5;
        EXPECT_FALSE(prefs.getStoredAqExt(record));
        EXPECT_EQ(record.ClockSource, 5U) << "unchanged";
        uint8_t matrix[32] = {};
        EXPECT_FALSE(prefs.getStoredRoutingMatrix(matrix, sizeof matrix));
    }

    // A value that is no dictionary at all under the main key: an empty, usable dictionary.
    storage.put("com.quenzar.sonvexa", CFSTR("garbage"));
    int32_t v = 0;
    EXPECT_FALSE(prefs.getStoredMixerMode(v));
    ASSERT_NE(prefs.properties(), nullptr);
    EXPECT_EQ(CFDictionaryGetCount(prefs.properties()), 0);
}

TEST(QzStoragePrefs, ElektronRecordsByIdentifier)
{
    MemoryStorage storage;
    QzStoragePrefs prefs(&storage);
    const uint64_t first = 0x0123456789ABCDEF;
    const uint64_t second = 0x42;
    QZ_Elektron_ConfigAndMap a{};
    a.mConfiguration.mSampleRate = 48'000;
    a.mMap.mInputMap[3] = 7;
    QZ_Elektron_ConfigAndMap b{};
    b.mConfiguration.mSampleRate = 96'000;
    ASSERT_TRUE(prefs.setStoredElektronConfigAndMapping(a, reinterpret_cast<const char*>(&first), false));
    ASSERT_TRUE(prefs.setStoredElektronConfigAndMapping(b, reinterpret_cast<const char*>(&second), true));

    const std::string padded = "ELEKTRON_" + std::string(14, ' ') + "42";
    CFStringRef key = CFStringCreateWithCString(nullptr, padded.c_str(), kCFStringEncodingUTF8);
    CFPropertyListRef stored = prefs.readStoredProperties(key);
    CFRelease(key);
    ASSERT_NE(stored, nullptr) << "the identifier in hexadecimal, padded with blanks to 16 places";
    CFRelease(stored);

    QZ_Elektron_ConfigAndMap read{};
    EXPECT_TRUE(prefs.getStoredElektronConfigAndMapping(read, reinterpret_cast<const char*>(&first)));
    EXPECT_EQ(read.mConfiguration.mSampleRate, 48'000U);
    EXPECT_EQ(read.mMap.mInputMap[3], 7U);
    EXPECT_TRUE(prefs.getStoredElektronConfigAndMapping(read, reinterpret_cast<const char*>(&second)));
    EXPECT_EQ(read.mConfiguration.mSampleRate, 96'000U);

    // A short block is not taken.
    Dict holder;
    holder.data("short", 10, 0xFF);
    storage.put("ELEKTRON_" + std::string(14, ' ') + "43",
                CFDictionaryGetValue(holder.get(), CFSTR("short")));
    const uint64_t third = 0x43;
    EXPECT_FALSE(prefs.getStoredElektronConfigAndMapping(read, reinterpret_cast<const char*>(&third)));
    EXPECT_EQ(read.mConfiguration.mSampleRate, 96'000U);
}

TEST(QzStoragePrefs, WithoutAHostEverythingFailsAndNothingBreaks)
{
    QzStoragePrefs prefs;
    Dict settings;
    settings.number("MixerMode", 1);
    EXPECT_FALSE(prefs.writeStorageProperties(settings.get()));
    EXPECT_FALSE(prefs.settingsFound());
    EXPECT_FALSE(prefs.readStorageProperties());
    ASSERT_NE(prefs.properties(), nullptr);
    int32_t v = 0;
    EXPECT_FALSE(prefs.getStoredMixerMode(v));
    QZ_Elektron_ConfigAndMap record{};
    EXPECT_FALSE(prefs.setStoredElektronConfigAndMapping(record, nullptr, false));
    EXPECT_FALSE(prefs.getStoredElektronConfigAndMapping(record, nullptr));
    EXPECT_EQ(prefs.readStoredProperties(CFSTR("x")), nullptr);
}

} // namespace
