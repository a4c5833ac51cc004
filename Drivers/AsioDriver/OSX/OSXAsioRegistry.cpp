#include "OSXAsioRegistry.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/Log.h"

namespace {

// A CFString key for the lifetime of one call.
class Key
{
public:
    explicit Key(const char* text) : m_key(CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8)) {}
    ~Key() { CFRelease(m_key); }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    operator CFStringRef() const { return m_key; }

private:
    CFStringRef m_key;
};

std::string text(CFStringRef string)
{
    if (string == nullptr) {
        return {};
    }
    const CFIndex size = CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8) + 1;
    std::string buffer(static_cast<size_t>(size), '\0');
    if (!CFStringGetCString(string, buffer.data(), size, kCFStringEncodingUTF8)) {
        return {};
    }
    buffer.resize(std::strlen(buffer.c_str()));
    return buffer;
}

// "<prefix>_<a>_<b>", or "<prefix>_<a>" for the one-index keys.
std::string keyOf(const char* prefix, uint32_t a, uint32_t b, bool two = true)
{
    std::string key = std::string(prefix) + "_" + std::to_string(static_cast<int32_t>(a));
    return two ? key + "_" + std::to_string(static_cast<int32_t>(b)) : key;
}

constexpr uint32_t kElektronDefaults[] = {48'000, 2, 16, 2, 16};
const char* const kElektronKeys[] = {"Elektron_SampleRate", "Elektron_NumInputs", "Elektron_InputBits",
                                     "Elektron_NumOutputs", "Elektron_OutputBits"};

uint32_t* elektronField(QZ_Elektron_ConfigAndMap& config, int i)
{
    QZ_DeviceConfiguration& c = config.mConfiguration;
    uint32_t* fields[] = {&c.mSampleRate, &c.mInChannels, &c.mInResolution, &c.mOutChannels, &c.mOutResolution};
    return fields[i];
}

std::string elektronKey(const char* id)
{
    uint64_t value = 0;
    if (id != nullptr) {
        std::memcpy(&value, id, sizeof value);
    }
    char key[32];
    std::snprintf(key, sizeof key, "ELEKTRON_%16llX", static_cast<unsigned long long>(value));
    return key;
}

} // namespace

OSXAsioRegistry::OSXAsioRegistry(CFStringRef root)
{
    const std::string id = root != nullptr ? text(root) + ".hal" : "com.quezar.hal";
    m_applicationID = CFStringCreateWithCString(nullptr, id.c_str(), kCFStringEncodingUTF8);
    readVersion();
}

OSXAsioRegistry::OSXAsioRegistry(const VKString& folder)
{
    platform::syslog(platform::log::kPriorityWarning, "AudioServer: %s %s\n",
                     "AsioRegistry::AsioRegistry(const VKString  &sFolder)", static_cast<const char*>(folder) != nullptr ? static_cast<const char*>(folder) : "");
    m_applicationID = CFStringCreateWithCString(nullptr, kDomain, kCFStringEncodingUTF8);
    readVersion();
}

void OSXAsioRegistry::readVersion()
{
    CFPropertyListRef version = copy("Version");
    m_currentVersion = version != nullptr && CFGetTypeID(version) == CFStringGetTypeID() &&
                       text(static_cast<CFStringRef>(version)) == "1.0";
    if (version != nullptr) {
        CFRelease(version);
    }
}

OSXAsioRegistry::~OSXAsioRegistry()
{
    if (m_applicationID != nullptr) {
        CFPreferencesSetAppValue(Key("Version"), CFSTR("1.0"), domain());
        CFPreferencesAppSynchronize(domain());
        CFRelease(m_applicationID);
    }
}

CFPropertyListRef OSXAsioRegistry::copy(const char* key)
{
    return CFPreferencesCopyAppValue(Key(key), domain());
}

bool OSXAsioRegistry::store()
{
    return CFPreferencesAppSynchronize(domain()) != 0;
}

bool OSXAsioRegistry::setStringValue(CFStringRef key, CFStringRef value)
{
    CFPreferencesSetAppValue(key, value, domain());
    return store();
}

bool OSXAsioRegistry::getStringValue(CFStringRef key, CFStringRef* value)
{
    CFPropertyListRef stored = CFPreferencesCopyAppValue(key, domain());
    if (stored != nullptr && CFGetTypeID(stored) != CFStringGetTypeID()) {
        CFRelease(stored);
        stored = nullptr;
    }
    if (value != nullptr) {
        *value = static_cast<CFStringRef>(stored);
    } else if (stored != nullptr) {
        CFRelease(stored);
    }
    return true;
}

bool OSXAsioRegistry::setText(const char* key, int32_t value)
{
    char digits[16];
    std::snprintf(digits, sizeof digits, "%d", value);
    CFStringRef string = CFStringCreateWithCString(nullptr, digits, kCFStringEncodingUTF8);
    CFPreferencesSetAppValue(Key(key), string, domain());
    CFRelease(string);
    return store();
}

bool OSXAsioRegistry::getNumber(const char* key, int32_t* value)
{
    CFPropertyListRef stored = copy(key);
    if (stored == nullptr) {
        return false;
    }
    const bool isText = CFGetTypeID(stored) == CFStringGetTypeID();
    const bool isNumber = CFGetTypeID(stored) == CFNumberGetTypeID();
    int32_t number = 0;
    if (isText) {
        number = CFStringGetIntValue(static_cast<CFStringRef>(stored));
    } else if (isNumber && !CFNumberGetValue(static_cast<CFNumberRef>(stored), kCFNumberSInt32Type, &number)) {
        number = 0;
    }
    if ((isText || isNumber) && value != nullptr) {
        *value = number;
    }
    CFRelease(stored);
    return isText || isNumber;
}

template <typename T> bool OSXAsioRegistry::getNumberAs(const char* key, T* value)
{
    int32_t v = 0;
    const bool found = getNumber(key, &v);
    if (value != nullptr) {
        *value = found ? static_cast<T>(v) : T{};
    }
    return found;
}

uint32_t OSXAsioRegistry::number(const char* key)
{
    int32_t value = 0;
    return getNumber(key, &value) ? static_cast<uint32_t>(value) : 0;
}

bool OSXAsioRegistry::setData(const char* key, const void* data, uint32_t size)
{
    if (data == nullptr) {
        return false;
    }
    CFDataRef blob = CFDataCreate(nullptr, static_cast<const UInt8*>(data), size);
    if (blob == nullptr) {
        return false;
    }
    CFPreferencesSetAppValue(Key(key), blob, domain());
    CFRelease(blob);
    return store();
}

bool OSXAsioRegistry::getData(const char* key, void* data, uint32_t size)
{
    CFPropertyListRef stored = copy(key);
    if (stored == nullptr) {
        return false;
    }
    const bool isData = CFGetTypeID(stored) == CFDataGetTypeID();
    if (isData && data != nullptr) {
        auto blob = static_cast<CFDataRef>(stored);
        const CFIndex length = CFDataGetLength(blob);
        std::memcpy(data, CFDataGetBytePtr(blob), static_cast<size_t>(length < size ? length : size));
    }
    CFRelease(stored);
    return isData;
}

bool OSXAsioRegistry::setBoolValue(CFStringRef key, bool value)
{
    return setText(text(key).c_str(), value ? 1 : 0);
}

bool OSXAsioRegistry::getBoolValue(CFStringRef key, bool* value)
{
    return getNumberAs(text(key).c_str(), value);
}

bool OSXAsioRegistry::setUInt8Value(CFStringRef key, uint8_t value)
{
    return setText(text(key).c_str(), value & 0xFF);
}

bool OSXAsioRegistry::getUInt8Value(CFStringRef key, uint8_t* value)
{
    return getNumberAs(text(key).c_str(), value);
}

bool OSXAsioRegistry::setUInt16Value(CFStringRef key, uint16_t value)
{
    return setText(text(key).c_str(), value & 0xFFFF);
}

bool OSXAsioRegistry::getUInt16Value(CFStringRef key, uint16_t* value)
{
    return getNumberAs(text(key).c_str(), value);
}

bool OSXAsioRegistry::setUInt32Value(CFStringRef key, uint32_t value)
{
    return setText(text(key).c_str(), static_cast<int32_t>(value));
}

bool OSXAsioRegistry::getUInt32Value(CFStringRef key, uint32_t* value)
{
    return getNumberAs(text(key).c_str(), value);
}

bool OSXAsioRegistry::setUInt64Value(CFStringRef key, uint64_t value)
{
    return setData(text(key).c_str(), &value, sizeof value);
}

bool OSXAsioRegistry::getUInt64Value(CFStringRef key, uint64_t* value)
{
    CFPropertyListRef stored = CFPreferencesCopyAppValue(key, domain());
    if (stored == nullptr) {
        return false;
    }
    const bool whole = CFGetTypeID(stored) == CFDataGetTypeID() &&
                       CFDataGetLength(static_cast<CFDataRef>(stored)) >= static_cast<CFIndex>(sizeof(uint64_t));
    if (whole && value != nullptr) {
        std::memcpy(value, CFDataGetBytePtr(static_cast<CFDataRef>(stored)), sizeof(uint64_t));
    }
    CFRelease(stored);
    return whole;
}

bool OSXAsioRegistry::setClockSource(uint32_t v) { return setText("ClockSource", static_cast<int32_t>(v)); }
uint32_t OSXAsioRegistry::getClockSource() { return number("ClockSource"); }
bool OSXAsioRegistry::setUSB1Mode(uint32_t v) { return setText("USB1Mode", static_cast<int32_t>(v)); }
uint32_t OSXAsioRegistry::getUSB1Mode() { return number("USB1Mode"); }
bool OSXAsioRegistry::setDigitalOutMode(uint32_t v) { return setText("DigitalOutMode", static_cast<int32_t>(v)); }
uint32_t OSXAsioRegistry::getDigitalOutMode() { return number("DigitalOutMode"); }
bool OSXAsioRegistry::setDigitalOutSelector(uint32_t v) { return setText("DigitalOutSel", static_cast<int32_t>(v)); }
uint32_t OSXAsioRegistry::getDigitalOutSelector() { return number("DigitalOutSel"); }
bool OSXAsioRegistry::setForceInternal(uint32_t v) { return setText("ForceInternal", static_cast<int32_t>(v)); }
uint32_t OSXAsioRegistry::getForceInternal() { return number("ForceInternal"); }
bool OSXAsioRegistry::setFootSwitchMode(uint32_t v) { return setText("FootSwitchMode", static_cast<int32_t>(v)); }
uint32_t OSXAsioRegistry::getFootSwitchMode() { return number("FootSwitchMode"); }
bool OSXAsioRegistry::setFootSwitchProtocol(uint32_t v)
{
    return setText("FootSwitchProtocol", static_cast<int32_t>(v));
}
uint32_t OSXAsioRegistry::getFootSwitchProtocol() { return number("FootSwitchProtocol"); }
bool OSXAsioRegistry::setMixerMode(int v) { return setText("MixerMode", v); }
int OSXAsioRegistry::getMixerMode() { return static_cast<int>(number("MixerMode")); }
bool OSXAsioRegistry::setSampleRate(uint32_t v) { return setText("SampleRate", static_cast<int32_t>(v)); }
uint32_t OSXAsioRegistry::getSampleRate() { return number("SampleRate"); }

bool OSXAsioRegistry::setWolfsonRegister(uint32_t codec, uint32_t reg, uint32_t v)
{
    return setText(keyOf("WolfsonRegister", codec, reg).c_str(), static_cast<int32_t>(v));
}

uint32_t OSXAsioRegistry::getWolfsonRegister(uint32_t codec, uint32_t reg)
{
    return number(keyOf("WolfsonRegister", codec, reg).c_str());
}

bool OSXAsioRegistry::setRouting(uint32_t a, uint32_t b, uint32_t v)
{
    return setText(keyOf("Routing", a, b).c_str(), static_cast<int32_t>(v));
}

bool OSXAsioRegistry::getRouting(uint32_t a, uint32_t b, uint32_t* v)
{
    return getNumberAs(keyOf("Routing", a, b).c_str(), v);
}

bool OSXAsioRegistry::setReverbBuffers(const void* d) { return setData("ReverbBuffers", d, kReverbBuffersSize); }
bool OSXAsioRegistry::getReverbBuffers(void* d) { return getData("ReverbBuffers", d, kReverbBuffersSize); }
bool OSXAsioRegistry::setMixerBuffer(const void* d) { return setData("MixerBuffer", d, kMixerBufferSize); }
bool OSXAsioRegistry::getMixerBuffer(void* d) { return getData("MixerBuffer", d, kMixerBufferSize); }
bool OSXAsioRegistry::setMixerFractions(const void* d) { return setData("MixerFractions", d, kMixerFractionsSize); }
bool OSXAsioRegistry::getMixerFractions(void* d) { return getData("MixerFractions", d, kMixerFractionsSize); }
bool OSXAsioRegistry::setRoutingMatrix(const void* d) { return setData("RoutingMatrix", d, kRoutingMatrixSize); }
bool OSXAsioRegistry::getRoutingMatrix(void* d) { return getData("RoutingMatrix", d, kRoutingMatrixSize); }

bool OSXAsioRegistry::setElektronConfigAndMapping(const QZ_Elektron_ConfigAndMap& config)
{
    auto put = [&](const std::string& key, uint32_t v) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "%d", static_cast<int32_t>(v));
        CFStringRef string = CFStringCreateWithCString(nullptr, digits, kCFStringEncodingUTF8);
        CFPreferencesSetAppValue(Key(key.c_str()), string, domain());
        CFRelease(string);
    };
    for (uint32_t i = 0; i < QZ_Elektron_ChannelMap::kNumEntries; ++i) {
        put(keyOf("Elektron_InputMap", i, 0, false), config.mMap.mInputMap[i]);
        put(keyOf("Elektron_OutputMap", i, 0, false), config.mMap.mOutputMap[i]);
    }
    auto copy = config;
    for (int i = 0; i < 5; ++i) {
        put(kElektronKeys[i], *elektronField(copy, i));
    }
    return store();
}

bool OSXAsioRegistry::getElektronConfigAndMapping(QZ_Elektron_ConfigAndMap& config)
{
    bool all = true;
    auto get = [&](const std::string& key, uint32_t fallback) {
        int32_t v = 0;
        if (getNumber(key.c_str(), &v)) {
            return static_cast<uint32_t>(v);
        }
        all = false;
        return fallback;
    };
    for (uint32_t i = 0; i < QZ_Elektron_ChannelMap::kNumEntries; ++i) {
        config.mMap.mInputMap[i] = get(keyOf("Elektron_InputMap", i, 0, false), QZ_Elektron_ChannelMap::kUnused);
        config.mMap.mOutputMap[i] = get(keyOf("Elektron_OutputMap", i, 0, false), QZ_Elektron_ChannelMap::kUnused);
    }
    for (int i = 0; i < 5; ++i) {
        *elektronField(config, i) = get(kElektronKeys[i], kElektronDefaults[i]);
    }
    return all;
}

bool OSXAsioRegistry::setElektronConfigAndMapping(const QZ_Elektron_ConfigAndMap& config, const char* id)
{
    if (!setData(elektronKey(id).c_str(), &config, sizeof config)) {
        platform::syslog(platform::log::kPriorityError, "%s Could not create data ref\n",
                         "bool OSXAsioRegistry::setElektronConfigAndMapping(QZ_Elektron_ConfigAndMap &, char *)");
        return false;
    }
    return true;
}

bool OSXAsioRegistry::getElektronConfigAndMapping(QZ_Elektron_ConfigAndMap& config, const char* id)
{
    static const char* const kName =
        "bool OSXAsioRegistry::getElektronConfigAndMapping(QZ_Elektron_ConfigAndMap &, char *)";
    platform::syslog(platform::log::kPriorityNotice, "%s\n", kName);
    if (!getData(elektronKey(id).c_str(), &config, sizeof config)) {
        uint64_t value = 0;
        if (id != nullptr) {
            std::memcpy(&value, id, sizeof value);
        }
        platform::syslog(platform::log::kPriorityError, "%s No prefs for device %16llX", kName,
                         static_cast<unsigned long long>(value));
        return false;
    }
    return true;
}

bool OSXAsioRegistry::getElektronMapping(QZ_Elektron_ChannelMap& map)
{
    std::memset(&map, 0xFF, sizeof map);
    bool all = true;
    for (uint32_t i = 0; i < QZ_Elektron_ChannelMap::kNumEntries; ++i) {
        int32_t v = 0;
        const bool in = getNumber(keyOf("InputMap", i, 0, false).c_str(), &v);
        map.mInputMap[i] = in ? static_cast<uint32_t>(v) : QZ_Elektron_ChannelMap::kUnused;
        const bool out = getNumber(keyOf("OutputMap", i, 0, false).c_str(), &v);
        map.mOutputMap[i] = out ? static_cast<uint32_t>(v) : QZ_Elektron_ChannelMap::kUnused;
        all = all && in && out;
    }
    return all;
}

bool OSXAsioRegistry::convertToCFPrefs()
{
    if (XML::Node* settings = getNode("Settings"); settings != nullptr) {
        for (int n = 0; n < settings->getCountNodes(); ++n) {
            const XML::Node* child = settings->getNode(n);
            for (int a = 0; child != nullptr && a < child->getCountAttributes(); ++a) {
                const XML::Attribute* attribute = child->getAttribute(a);
                if (attribute == nullptr || attribute->getName() == nullptr) {
                    continue;
                }
                CFStringRef value = CFStringCreateWithCString(
                    nullptr, attribute->getValue() != nullptr ? attribute->getValue() : "", kCFStringEncodingUTF8);
                CFPreferencesSetAppValue(Key(attribute->getName()), value, domain());
                if (value != nullptr) {
                    CFRelease(value);
                }
                store();
            }
        }
    }
    CFPreferencesSetAppValue(Key("Version"), CFSTR("1.0"), domain());
    return store();
}

void OSXAsioRegistry::loadAqExt(QzAqExtData& data)
{
    data.setDefaults();
    data.ClockSource = getClockSource();
    data.USB1Mode = getUSB1Mode();
    data.DigitalOutMode = getDigitalOutMode();
    data.DigitalOutSelector = getDigitalOutSelector();
    platform::syslog(platform::log::kPriorityWarning, "Reading clock source: %d\n", static_cast<int>(data.ClockSource));
    platform::syslog(platform::log::kPriorityWarning, "Reading mUSB1Mode: %d\n", static_cast<int>(data.USB1Mode));
    platform::syslog(platform::log::kPriorityWarning, "Reading mDigitalOutMode: %d\n",
                     static_cast<int>(data.DigitalOutMode));
    platform::syslog(platform::log::kPriorityWarning, "Reading mDigitalOutSelector: %d\n",
                     static_cast<int>(data.DigitalOutSelector));
}

void OSXAsioRegistry::showCFObj(CFStringRef format, ...)
{
    va_list args;
    va_start(args, format);
    CFStringRef line = CFStringCreateWithFormatAndArguments(nullptr, nullptr, format, args);
    va_end(args);
    const std::string converted = text(line);
    if (line != nullptr) {
        CFRelease(line);
    }
    platform::syslog(platform::log::kPriorityWarning, "%.*s\n\n", static_cast<int>(converted.size()),
                     converted.c_str());
}
