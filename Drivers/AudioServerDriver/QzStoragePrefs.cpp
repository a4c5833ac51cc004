#include "QzStoragePrefs.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/Log.h"

namespace {

constexpr int kWarning = platform::log::kPriorityWarning;
constexpr int kError = platform::log::kPriorityError;
constexpr OSStatus kNoHost = 0x73746F70; // 'stop'

// A CFString for the lifetime of one call; null when the text cannot be made into one.
class Text
{
public:
    explicit Text(const char* text)
        : m_string(text != nullptr ? CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8) : nullptr)
    {
    }
    ~Text()
    {
        if (m_string != nullptr) {
            CFRelease(m_string);
        }
    }
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    operator CFStringRef() const { return m_string; }

private:
    CFStringRef m_string;
};

CFMutableDictionaryRef emptyDictionary()
{
    return CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
}

bool number32(CFTypeRef value, int32_t& out)
{
    if (value == nullptr || CFGetTypeID(value) != CFNumberGetTypeID()) {
        return false;
    }
    int32_t v = 0;
    CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt32Type, &v);
    out = v;
    return true;
}

void elektronKey(const char* id, char (&key)[32])
{
    uint64_t value = 0;
    if (id != nullptr) {
        std::memcpy(&value, id, sizeof value);
    }
    std::snprintf(key, sizeof key, "ELEKTRON_%16llX", static_cast<unsigned long long>(value));
}

} // namespace

QzStoragePrefs::QzStoragePrefs(QzASHostStorage* storage) : m_properties(emptyDictionary()), m_storage(storage) {}

QzStoragePrefs::~QzStoragePrefs()
{
    if (m_properties != nullptr) {
        CFRelease(m_properties);
    }
}

CFPropertyListRef QzStoragePrefs::readStoredProperties(CFStringRef key)
{
    if (key == nullptr || m_storage == nullptr) {
        return nullptr;
    }
    CFPropertyListRef value = nullptr;
    if (m_storage->CopyFromStorage(key, &value) != 0) {
        if (value != nullptr) {
            CFRelease(value);
        }
        return nullptr;
    }
    return value;
}

bool QzStoragePrefs::storeProperties(CFStringRef key, CFPropertyListRef value)
{
    if (key == nullptr || m_storage == nullptr) {
        return false;
    }
    return m_storage->WriteToStorage(key, value) == 0;
}

bool QzStoragePrefs::writeStorageProperties(CFDictionaryRef dictionary)
{
    if (dictionary == nullptr) {
        return false;
    }
    const bool written = storeProperties(Text(kStorageKey), dictionary);
    if (written) {
        m_settingsFound = true;
    }
    return written;
}

bool QzStoragePrefs::readStorageProperties(const char* key)
{
    Text name(key != nullptr ? key : kStorageKey);
    CFPropertyListRef value = nullptr;
    OSStatus status = kNoHost;
    if (m_storage != nullptr && static_cast<CFStringRef>(name) != nullptr) {
        status = m_storage->CopyFromStorage(name, &value);
    }
    CFMutableDictionaryRef previous = m_properties;
    if (status == 0 && value != nullptr && CFGetTypeID(value) == CFDictionaryGetTypeID()) {
        CFShow(value);
        m_settingsFound = true;
        m_properties = CFDictionaryCreateMutableCopy(nullptr, 0, static_cast<CFDictionaryRef>(value));
    } else {
        m_properties = emptyDictionary();
        platform::syslog(kError, "CopyFromStorage %s returned 0x%08x Properties %p\n", kStorageKey,
                         static_cast<unsigned>(status), static_cast<void*>(m_properties));
    }
    if (value != nullptr) {
        CFRelease(value);
    }
    if (previous != nullptr) {
        CFRelease(previous);
    }
    platform::syslog(kError, "CopyFromStorage returned 0x%X Properties %p (%p) %d\n", static_cast<unsigned>(status),
                     static_cast<void*>(m_properties), static_cast<void*>(previous),
                     static_cast<int>(CFGetRetainCount(m_properties)));
    return status == 0;
}

CFTypeRef QzStoragePrefs::member(CFDictionaryRef dictionary, const char* key, CFTypeID typeID) const
{
    if (dictionary == nullptr) {
        return nullptr;
    }
    Text name(key);
    CFTypeRef value = CFDictionaryGetValue(dictionary, static_cast<CFStringRef>(name));
    return value != nullptr && CFGetTypeID(value) == typeID ? value : nullptr;
}

bool QzStoragePrefs::getStoredChannelValue(const char* name, int32_t& value)
{
    readStorageProperties();
    Text key(name);
    if (static_cast<CFStringRef>(key) == nullptr) {
        platform::syslog(kError, "Get %s setting from prefs: Could not create CFString\n", name);
        return false;
    }
    if (m_properties == nullptr) {
        platform::syslog(kError, "Get %s setting from prefs: Could not read device stored settings\n", name);
        return false;
    }
    auto settings = static_cast<CFDictionaryRef>(member(m_properties, "ChannelSettings", CFDictionaryGetTypeID()));
    if (settings == nullptr) {
        platform::syslog(kError, "Get %s setting from prefs: Could not read channel settings\n", name);
        return false;
    }
    if (!number32(CFDictionaryGetValue(settings, static_cast<CFStringRef>(key)), value)) {
        platform::syslog(kError, "Get %s setting from prefs: Could not read value\n", name);
        return false;
    }
    platform::syslog(kWarning, "AudioServer: %s %d\n", "Read value from prefs:", static_cast<int>(value));
    return true;
}

bool QzStoragePrefs::getStoredAqExt(QzAqExtData& record)
{
    readStorageProperties();
    auto ext = static_cast<CFDictionaryRef>(member(m_properties, "AqExtData", CFDictionaryGetTypeID()));
    if (ext == nullptr) {
        platform::syslog(kWarning, "Could not find prefs for ext data");
        return false;
    }
    CFShow(ext);
    record.setDefaults();
    struct Field
    {
        const char* key;
        uint32_t QzAqExtData::*field;
        const char* name; // as the log lines call it
    };
    static const Field kFields[] = {
        {"ClockSource", &QzAqExtData::ClockSource, "clock source"},
        {"DigitalOutMode", &QzAqExtData::DigitalOutMode, "mDigitalOutMode"},
        {"DigitalOutSelector", &QzAqExtData::DigitalOutSelector, "mDigitalOutSelector"},
        {"USB1Mode", &QzAqExtData::USB1Mode, "mUSB1Mode"},
    };
    for (const Field& f : kFields) {
        int32_t v = 0;
        if (number32(member(ext, f.key, CFNumberGetTypeID()), v)) {
            record.*f.field = static_cast<uint32_t>(v);
            platform::syslog(kWarning, "Reading %s: %d\n", f.name, static_cast<int>(v));
        } else {
            platform::syslog(kWarning, "Reading %s: no saved pref\n", f.name);
        }
    }
    return true;
}

bool QzStoragePrefs::getStoredNumber(const char* key, const char* logName, int32_t& value)
{
    readStorageProperties();
    if (number32(member(m_properties, key, CFNumberGetTypeID()), value)) {
        platform::syslog(kWarning, "Reading %s: %d\n", logName, static_cast<int>(value));
        return true;
    }
    platform::syslog(kWarning, "Reading %s: no saved pref\n", logName);
    return false;
}

bool QzStoragePrefs::getStoredMixerMode(int32_t& value) { return getStoredNumber("MixerMode", "mixerMode", value); }
bool QzStoragePrefs::getStoredMixerKnob(int32_t& value) { return getStoredNumber("MixerKnob", "mixerKnob", value); }
bool QzStoragePrefs::getStoredMixerValues(int32_t& value)
{
    return getStoredNumber("MixerValues", "mixerValues", value);
}

bool QzStoragePrefs::getStoredData(const char* key, const char* logName, void* buffer, size_t size)
{
    readStorageProperties();
    auto block = static_cast<CFDataRef>(member(m_properties, key, CFDataGetTypeID()));
    if (block == nullptr) {
        platform::syslog(kWarning, "Reading %s: no saved pref\n", logName);
        return false;
    }
    const size_t length = static_cast<size_t>(CFDataGetLength(block));
    platform::syslog(kWarning, "AudioServer: %s %d\n", logName, static_cast<int>(length));
    if (buffer != nullptr) {
        const size_t copied = std::min(length, size);
        std::memcpy(buffer, CFDataGetBytePtr(block), copied);
        std::memset(static_cast<uint8_t*>(buffer) + copied, 0, size - copied);
    }
    return true;
}

bool QzStoragePrefs::getStoredReverbBuffers(void* buffer, size_t size)
{
    return getStoredData("ReverbBuffers", "reverbBuffers", buffer, size);
}
bool QzStoragePrefs::getStoredMixerBuffer(void* buffer, size_t size)
{
    return getStoredData("MixerBuffer", "mixerBuffer", buffer, size);
}
bool QzStoragePrefs::getStoredMixerFractions(void* buffer, size_t size)
{
    return getStoredData("MixerFractions", "mixerFractions", buffer, size);
}
bool QzStoragePrefs::getStoredRoutingMatrix(void* buffer, size_t size)
{
    return getStoredData("RoutingMatrix", "routingMatrix", buffer, size);
}

bool QzStoragePrefs::getStoredElektronConfigAndMapping(QZ_Elektron_ConfigAndMap& record, const char* id)
{
    char key[32];
    elektronKey(id, key);
    Text name(key);
    if (static_cast<CFStringRef>(name) == nullptr) {
        platform::syslog(kError, "%s Could not create key ref\n",
                         "bool QzStoragePrefs::getStoredElektronConfigAndMapping(QZ_Elektron_ConfigAndMap &, char *)");
        return false;
    }
    CFPropertyListRef value = readStoredProperties(name);
    const bool whole = value != nullptr && CFGetTypeID(value) == CFDataGetTypeID() &&
                       static_cast<size_t>(CFDataGetLength(static_cast<CFDataRef>(value))) >= sizeof record;
    if (whole) {
        std::memcpy(&record, CFDataGetBytePtr(static_cast<CFDataRef>(value)), sizeof record);
        platform::syslog(kWarning, "AudioServer: %s %d 0X%08X\n", "Read Read Elektron Channel Map, size buffer",
                         static_cast<int>(CFDataGetLength(static_cast<CFDataRef>(value))),
                         static_cast<unsigned>(reinterpret_cast<uintptr_t>(&record)));
    } else {
        platform::syslog(kWarning, "Reading key_elektron_mapping: no saved pref\n");
    }
    if (value != nullptr) {
        CFRelease(value);
    }
    return whole;
}

bool QzStoragePrefs::setStoredElektronConfigAndMapping(const QZ_Elektron_ConfigAndMap& record, const char* id, bool)
{
    static const char* const kName =
        "bool QzStoragePrefs::setStoredElektronConfigAndMapping(QZ_Elektron_ConfigAndMap &, char *, bool)";
    char key[32];
    elektronKey(id, key);
    Text name(key);
    if (static_cast<CFStringRef>(name) == nullptr) {
        platform::syslog(kError, "%s Could not create key ref\n", kName);
        return false;
    }
    CFDataRef block = CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(&record), sizeof record);
    if (block == nullptr) {
        platform::syslog(kError, "%s Could not create data ref\n", kName);
        return false;
    }
    const bool stored = storeProperties(name, block);
    CFRelease(block);
    return stored;
}
