// The readable listing of every object of the plug-in: class, name and every property value the
// object has, scope by scope.
#include <algorithm>
#include <cstring>
#include <optional>
#include <sstream>

#include "AudioServerHost.h"
#include "CoreFoundation/CoreFoundation.h"

namespace audiod {
namespace {

enum class Kind
{
    u32,
    code,
    objects,
    u32s,
    f32,
    f64,
    cf,
    range,
    ranges,
    format,
    formats,
    customInfo,
    layout,
    clockSourceNames,
    itemNames,
};

struct Selector
{
    AudioObjectPropertySelector selector;
    Kind kind;
};

// Every selector the listing asks about, in the order it prints them.
constexpr Selector kSelectors[] = {
    {kAudioObjectPropertyBaseClass, Kind::code},
    {kAudioObjectPropertyClass, Kind::code},
    {kAudioObjectPropertyOwner, Kind::u32},
    {kAudioObjectPropertyName, Kind::cf},
    {kAudioObjectPropertyManufacturer, Kind::cf},
    {kAudioObjectPropertyOwnedObjects, Kind::objects},
    {kAudioPlugInPropertyDeviceList, Kind::objects},
    {kAudioPlugInPropertyResourceBundle, Kind::cf},
    {kAudioDevicePropertyDeviceUID, Kind::cf},
    {kAudioDevicePropertyModelUID, Kind::cf},
    {kAudioDevicePropertyConfigurationApplication, Kind::cf},
    {kAudioDevicePropertyTransportType, Kind::code},
    {kAudioDevicePropertyRelatedDevices, Kind::objects},
    {kAudioDevicePropertyClockDomain, Kind::u32},
    {kAudioDevicePropertyDeviceIsAlive, Kind::u32},
    {kAudioDevicePropertyDeviceIsRunning, Kind::u32},
    {kAudioDevicePropertyDeviceCanBeDefaultDevice, Kind::u32},
    {kAudioDevicePropertyDeviceCanBeDefaultSystemDevice, Kind::u32},
    {kAudioDevicePropertyLatency, Kind::u32},
    {kAudioDevicePropertySafetyOffset, Kind::u32},
    {kAudioDevicePropertyZeroTimeStampPeriod, Kind::u32},
    {kAudioDevicePropertyNominalSampleRate, Kind::f64},
    {kAudioDevicePropertyAvailableNominalSampleRates, Kind::ranges},
    {kAudioDevicePropertyClockSource, Kind::u32},
    {kAudioDevicePropertyClockSources, Kind::u32s},
    {kAudioDevicePropertyClockSourceNameForID, Kind::clockSourceNames},
    {kAudioDevicePropertyIcon, Kind::cf},
    {kAudioDevicePropertyIsHidden, Kind::u32},
    {kAudioDevicePropertyPreferredChannelsForStereo, Kind::u32s},
    {kAudioDevicePropertyPreferredChannelLayout, Kind::layout},
    {kAudioObjectPropertyElementName, Kind::cf},
    {kAudioDevicePropertyStreams, Kind::objects},
    {kAudioObjectPropertyControlList, Kind::objects},
    {kAudioObjectPropertyCustomPropertyInfoList, Kind::customInfo},
    {kAudioStreamPropertyIsActive, Kind::u32},
    {kAudioStreamPropertyDirection, Kind::u32},
    {kAudioStreamPropertyTerminalType, Kind::code},
    {kAudioStreamPropertyStartingChannel, Kind::u32},
    {kAudioStreamPropertyPhysicalFormat, Kind::format},
    {kAudioStreamPropertyAvailablePhysicalFormats, Kind::formats},
    {kAudioStreamPropertyVirtualFormat, Kind::format},
    {kAudioStreamPropertyAvailableVirtualFormats, Kind::formats},
    {kAudioControlPropertyScope, Kind::code},
    {kAudioControlPropertyElement, Kind::u32},
    {kAudioLevelControlPropertyScalarValue, Kind::f32},
    {kAudioLevelControlPropertyDecibelValue, Kind::f32},
    {kAudioLevelControlPropertyDecibelRange, Kind::range},
    {kAudioBooleanControlPropertyValue, Kind::u32},
    {kAudioSelectorControlPropertyAvailableItems, Kind::u32s},
    {kAudioSelectorControlPropertyCurrentItem, Kind::u32},
    {kAudioSelectorControlPropertyItemName, Kind::itemNames},
};

constexpr AudioObjectPropertyScope kScopes[] = {kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyScopeInput,
                                                kAudioObjectPropertyScopeOutput};

template <class T> T at(const std::vector<uint8_t>& bytes, size_t offset)
{
    T value{};
    if (offset + sizeof(T) <= bytes.size()) {
        std::memcpy(&value, bytes.data() + offset, sizeof(T));
    }
    return value;
}

std::string number(double value)
{
    std::ostringstream out;
    out << value;
    return out.str();
}

std::string describeFormat(const AudioStreamBasicDescription& format)
{
    std::ostringstream out;
    out << number(format.mSampleRate) << " Hz " << fourCC(format.mFormatID) << " flags 0x" << std::hex
        << format.mFormatFlags << std::dec << " " << format.mChannelsPerFrame << " ch " << format.mBitsPerChannel
        << " bit, " << format.mBytesPerFrame << " bytes/frame";
    return out.str();
}

std::string describeCF(const std::vector<uint8_t>& bytes)
{
    if (bytes.size() < sizeof(CFTypeRef)) {
        return "(no value)";
    }
    const auto value = at<CFTypeRef>(bytes, 0);
    if (value == nullptr) {
        return "(null)";
    }
    std::string result;
    if (CFGetTypeID(value) == CFStringGetTypeID()) {
        char buffer[1024] = {};
        CFStringGetCString(static_cast<CFStringRef>(value), buffer, sizeof buffer, kCFStringEncodingUTF8);
        result.append(1, '"').append(buffer).append(1, '"');
    } else if (CFGetTypeID(value) == CFURLGetTypeID()) {
        CFStringRef path = CFURLCopyFileSystemPath(static_cast<CFURLRef>(value), kCFURLPOSIXPathStyle);
        char buffer[1024] = {};
        if (path != nullptr) {
            CFStringGetCString(path, buffer, sizeof buffer, kCFStringEncodingUTF8);
            CFRelease(path);
        }
        result.append(1, '<').append(buffer).append(1, '>');
    } else {
        CFStringRef description = CFCopyDescription(value);
        char buffer[4096] = {};
        if (description != nullptr) {
            CFStringGetCString(description, buffer, sizeof buffer, kCFStringEncodingUTF8);
            CFRelease(description);
        }
        result = buffer;
        for (char& c : result) {
            c = c == '\n' ? ' ' : c;
        }
    }
    CFRelease(value); // what a read hands out belongs to the reader
    return result;
}

std::string scopeName(AudioObjectPropertyScope scope)
{
    return fourCC(scope).substr(1, 4);
}

} // namespace

std::string AudioServerHost::list() const
{
    std::ostringstream out;
    std::vector<AudioObjectID> pending{kAudioObjectPlugInObject};
    std::vector<AudioObjectID> listed;
    while (!pending.empty()) {
        const AudioObjectID object = pending.front();
        pending.erase(pending.begin());
        if (std::find(listed.begin(), listed.end(), object) != listed.end()) {
            continue;
        }
        listed.push_back(object);
        const PropertyValue classID = get(object, {kAudioObjectPropertyClass, kAudioObjectPropertyScopeGlobal, 0});
        out << "object " << object << " class " << fourCC(at<uint32_t>(classID.bytes, 0));
        if (has(object, {kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal, 0})) {
            out << " name " << describeCF(get(object, {kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal, 0}).bytes);
        }
        out << "\n";

        std::vector<AudioServerPlugInCustomPropertyInfo> custom;
        for (const Selector& entry : kSelectors) {
            std::optional<PropertyValue> global;
            bool hasGlobal = false;
            for (AudioObjectPropertyScope scope : kScopes) {
                const AudioObjectPropertyAddress address{entry.selector, scope, 0};
                if (!has(object, address)) {
                    continue;
                }
                // A scope is shown when its value differs from the global one (values handed
                // out as references are taken to be the same).
                const bool reference = entry.kind == Kind::cf || entry.kind == Kind::clockSourceNames ||
                                       entry.kind == Kind::itemNames;
                if (scope == kAudioObjectPropertyScopeGlobal) {
                    hasGlobal = true;
                    if (!reference) {
                        global = get(object, address);
                    }
                } else if (hasGlobal) {
                    if (reference) {
                        continue;
                    }
                    const PropertyValue scoped = get(object, address);
                    if (global && scoped.status == global->status && scoped.bytes == global->bytes) {
                        continue;
                    }
                }
                bool isSettable = false;
                settable(object, address, isSettable);
                out << "  " << fourCC(entry.selector) << " " << scopeName(scope) << (isSettable ? " (settable)" : "")
                    << ": ";
                if (entry.kind == Kind::clockSourceNames) {
                    const PropertyValue sources =
                        get(object, {kAudioDevicePropertyClockSources, kAudioObjectPropertyScopeGlobal, 0});
                    for (size_t index = 0; index < sources.bytes.size() / 4; ++index) {
                        UInt32 source = at<uint32_t>(sources.bytes, index * 4);
                        char name[64] = {};
                        AudioValueTranslation translation{&source, sizeof source, name, sizeof name};
                        uint32_t written = 0;
                        const OSStatus status = (*mDriver)->GetPropertyData(
                            mDriver, object, mClientPID, &address, 0, nullptr, sizeof translation, &written, &translation);
                        out << (index == 0 ? "" : ", ") << source << " = ";
                        if (status == 0) {
                            out << '"' << name << '"';
                        } else {
                            out << "error " << fourCC(static_cast<uint32_t>(status));
                        }
                    }
                    out << "\n";
                    continue;
                }
                if (entry.kind == Kind::itemNames) {
                    const PropertyValue items =
                        get(object, {kAudioSelectorControlPropertyAvailableItems, kAudioObjectPropertyScopeGlobal, 0});
                    for (size_t index = 0; index < items.bytes.size() / 4; ++index) {
                        const UInt32 item = at<uint32_t>(items.bytes, index * 4);
                        const PropertyValue name = get(object, address, &item, sizeof item);
                        out << (index == 0 ? "" : ", ") << item << " = ";
                        if (name.status == 0) {
                            out << describeCF(name.bytes);
                        } else {
                            out << "error " << fourCC(static_cast<uint32_t>(name.status));
                        }
                    }
                    out << "\n";
                    continue;
                }
                const PropertyValue value = get(object, address);
                if (value.status != 0) {
                    out << "error " << fourCC(static_cast<uint32_t>(value.status)) << "\n";
                    continue;
                }
                const std::vector<uint8_t>& bytes = value.bytes;
                switch (entry.kind) {
                case Kind::u32:
                    out << at<uint32_t>(bytes, 0);
                    break;
                case Kind::code:
                    out << fourCC(at<uint32_t>(bytes, 0));
                    break;
                case Kind::objects:
                case Kind::u32s:
                    for (size_t index = 0; index < bytes.size() / 4; ++index) {
                        const auto id = at<uint32_t>(bytes, index * 4);
                        out << (index == 0 ? "" : " ") << id;
                        if (entry.kind == Kind::objects && id != object) {
                            pending.push_back(id);
                        }
                    }
                    if (bytes.empty()) {
                        out << "(none)";
                    }
                    break;
                case Kind::f32:
                    out << number(at<Float32>(bytes, 0));
                    break;
                case Kind::f64:
                    out << number(at<Float64>(bytes, 0));
                    break;
                case Kind::cf:
                    out << describeCF(bytes);
                    break;
                case Kind::range:
                    out << number(at<Float64>(bytes, 0)) << " .. " << number(at<Float64>(bytes, 8));
                    break;
                case Kind::ranges:
                    for (size_t index = 0; index < bytes.size() / 16; ++index) {
                        const double low = at<Float64>(bytes, index * 16);
                        const double high = at<Float64>(bytes, index * 16 + 8);
                        out << (index == 0 ? "" : ", ") << number(low);
                        if (high != low) {
                            out << ".." << number(high);
                        }
                    }
                    break;
                case Kind::format:
                    if (bytes.size() < sizeof(AudioStreamBasicDescription)) {
                        out << "(no value, " << bytes.size() << " bytes)";
                    } else {
                        out << describeFormat(at<AudioStreamBasicDescription>(bytes, 0));
                    }
                    break;
                case Kind::formats:
                    if (bytes.empty()) {
                        out << "(no value)";
                    }
                    for (size_t index = 0; index < bytes.size() / sizeof(AudioStreamRangedDescription); ++index) {
                        out << "\n    " << describeFormat(at<AudioStreamBasicDescription>(
                                               bytes, index * sizeof(AudioStreamRangedDescription)));
                    }
                    break;
                case Kind::customInfo:
                    custom.clear();
                    for (size_t index = 0; index < bytes.size() / sizeof(AudioServerPlugInCustomPropertyInfo);
                         ++index) {
                        const auto info = at<AudioServerPlugInCustomPropertyInfo>(
                            bytes, index * sizeof(AudioServerPlugInCustomPropertyInfo));
                        custom.push_back(info);
                        out << (index == 0 ? "" : " ") << fourCC(info.mSelector);
                    }
                    break;
                case Kind::layout: {
                    const auto count = at<uint32_t>(bytes, 8);
                    out << "tag " << at<uint32_t>(bytes, 0) << " bitmap " << at<uint32_t>(bytes, 4) << " labels";
                    for (uint32_t index = 0; index < count && 12 + (index + 1) * 20 <= bytes.size(); ++index) {
                        out << " " << at<uint32_t>(bytes, 12 + index * 20);
                    }
                    break;
                }
                case Kind::clockSourceNames:
                case Kind::itemNames:
                    break;
                }
                out << "\n";
            }
        }
        for (const AudioServerPlugInCustomPropertyInfo& info : custom) {
            const AudioObjectPropertyAddress address{info.mSelector, kAudioObjectPropertyScopeGlobal, 0};
            bool isSettable = false;
            settable(object, address, isSettable);
            out << "  " << fourCC(info.mSelector) << " glob" << (isSettable ? " (settable)" : "") << ": ";
            const PropertyValue value = get(object, address);
            if (value.status != 0) {
                out << "error " << fourCC(static_cast<uint32_t>(value.status)) << "\n";
            } else if (value.bytes.empty()) {
                out << "(no data)\n";
            } else {
                out << describeCF(value.bytes) << "\n";
            }
        }
    }
    return out.str();
}

} // namespace audiod
