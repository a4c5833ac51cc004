// The device's property answers: the dispatch by object (the device, its two streams and six
// controls) and the device's own standard and custom selectors.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "CAException.h"
#include "QzASPlugInDevice.h"
#include "QzIORegistryPrefs.h"
#include "VKIOTrace.h"
#include "platform/Log.h"
#include "platform/ProcessEnvironment.h"

namespace {

#define notice(...) platform::syslog(platform::log::kPriorityNotice, __VA_ARGS__)
#define warning(...) platform::syslog(platform::log::kPriorityWarning, __VA_ARGS__)

#define kIconPath "/Applications/Utilities/Audio MIDI Setup.app/Contents/Resources/USB.png"

struct CustomProperty
{
    AudioObjectPropertySelector selector;
    const char* name;
    bool settable;
    bool writeOnly;
};

// The custom selectors, in the order of the info list.
constexpr CustomProperty kCustomProperties[] = {
    {audioFourCC("QzMM"), "kQzAudioCustomPropertyMixerMode", true, false},
    {audioFourCC("QzMF"), "kQzAudioCustomPropertyMixerFractions", true, true},
    {audioFourCC("QzSV"), "kQzAudioCustomPropertySettingsValues", true, false},
    {audioFourCC("QzIL"), "kQzAudioCustomPropertyInputLevels", false, false},
    {audioFourCC("QzOL"), "kQzAudioCustomPropertyOutputLevels", false, false},
    {audioFourCC("QzPD"), "kQzAudioCustomPropertyProductID", false, false},
    {audioFourCC("QzVD"), "kQzAudioCustomPropertyVendorID", false, false},
    {audioFourCC("QzSt"), "kQzAudioCustomPropertyStreamingStatus", true, true},
    {audioFourCC("QzDM"), "kQzAudioCustomPropertyDigitalOutMode", true, false},
    {audioFourCC("QzDV"), "kQzAudioCustomPropertyDriverVersion", false, false},
    {audioFourCC("QzFV"), "kQzAudioCustomPropertyFirmwareVersion", false, false},
    {audioFourCC("QzRo"), "kQzAudioCustomPropertyRouting", true, false},
    {audioFourCC("QzSW"), "kQzAudioCustomPropertySampleWidth", false, false},
    {audioFourCC("QzDS"), "kQzAudioCustomPropertyDigitalStatus", false, false},
    {audioFourCC("QzFM"), "kQzAudioCustomPropertyFootSwitchMode", true, true},
    {audioFourCC("QzFP"), "kQzAudioCustomPropertyFootSwitchProtocol", true, true},
    {audioFourCC("QzMB"), "kQzAudioCustomPropertyMixerBuffer", true, true},
    {audioFourCC("QzRB"), "kQzAudioCustomPropertyReverbBuffers", true, true},
    {audioFourCC("QzRM"), "kQzAudioCustomPropertyRoutingMatrix", true, false},
    {audioFourCC("QzPC"), "kQzAudioCustomPropertyPortConfig", false, false},
    {audioFourCC("QzCS"), "kQzAudioCustomPropertyClockSource", true, false},
    {audioFourCC("QzTy"), "kQzAudioCustomPropertyDriverType", false, false},
    {audioFourCC("QzU1"), "kQzAudioCustomPropertyUSB1Mode", true, false},
    {audioFourCC("QzOS"), "kQzAudioCustomPropertyDigitalOutSelector", true, false},
    {audioFourCC("QzSN"), "kQzAudioCustomPropertySerialNumber", false, false},
    {audioFourCC("QzIO"), "kQzAudioCustomPropertyIORegistryProperties", false, false},
    {audioFourCC("DbSI"), "kQzAudioCustomPropertyForceSafetyIn", true, false},
    {audioFourCC("DbSO"), "kQzAudioCustomPropertyForceSafetyOut", true, false},
    {audioFourCC("DbLI"), "kQzAudioCustomPropertyForceLatencyIn", true, false},
    {audioFourCC("DbLO"), "kQzAudioCustomPropertyForceLatencyOut", true, false},
    {audioFourCC("DbWA"), "kQzAudioCustomPropertyForceOutWriteAhead", true, false},
};
constexpr UInt32 kCustomCount = sizeof kCustomProperties / sizeof kCustomProperties[0];
static_assert(kCustomCount == 31);

const CustomProperty* findCustom(AudioObjectPropertySelector selector)
{
    for (const CustomProperty& property : kCustomProperties) {
        if (property.selector == selector) {
            return &property;
        }
    }
    return nullptr;
}

bool isDebugOverride(AudioObjectPropertySelector selector)
{
    return (selector >> 16) == ((static_cast<UInt32>('D') << 8) | 'b');
}

bool isInOut(const AudioObjectPropertyAddress& address)
{
    return (address.mScope == kAudioObjectPropertyScopeInput || address.mScope == kAudioObjectPropertyScopeOutput) &&
           address.mElement == kAudioObjectPropertyElementMaster;
}

bool isInOutScope(const AudioObjectPropertyAddress& address)
{
    return address.mScope == kAudioObjectPropertyScopeInput || address.mScope == kAudioObjectPropertyScopeOutput;
}

void needs(UInt32 dataSize, UInt32 minimum, const char* line)
{
    if (dataSize < minimum) {
        notice("%s", line);
        throw CAException(kAudioHardwareBadPropertySizeError);
    }
}

#define DEVICE_SIZE_LINE(name)                                                                               \
    "QzASPlugInDevice::Device_GetPropertyData: not enough space for the return value of " name " for the device"

template <class T> void put(void* outData, UInt32& outDataSize, T value)
{
    std::memcpy(outData, &value, sizeof value);
    outDataSize = sizeof value;
}

CFStringRef asciiString(const std::string& text)
{
    return CFStringCreateWithCString(nullptr, text.c_str(), kCFStringEncodingASCII);
}

CFNumberRef number16(SInt16 value)
{
    return CFNumberCreate(nullptr, kCFNumberSInt16Type, &value);
}

CFNumberRef number32(SInt32 value)
{
    return CFNumberCreate(nullptr, kCFNumberSInt32Type, &value);
}

} // namespace

// --- Who asks

QzASHostKind QzASClassifyHost(pid_t clientProcessID)
{
    struct Row
    {
        const char* pattern;
        QzASHostKind kind;
        const char* line;
    };
    static constexpr Row kRows[] = {
        {"AUDIO MIDI SETUP", QzASHostKind::audioMIDISetup, nullptr},
        {"DIGITAL PERFORME", QzASHostKind::digitalPerformer, nullptr},
        {"ITUNES", QzASHostKind::iTunes, "ITUNES DETECTED"},
        {"COREAUDIOD", QzASHostKind::coreaudiod, "COREAUDIOD DETECTED"},
        {"ICHAT", QzASHostKind::iChat, "ICHAT DETECTED"},
        {"TASCAM US-366 CO", QzASHostKind::us366ControlPanel, "US-366 CONTROL PANEL DETECTED"},
        {"AUDACITY", QzASHostKind::audacity, "AUDACITY DETECTED"},
        {"SYSTEMUISERVER", QzASHostKind::systemUIServer, "SystemUIServer DETECTED"},
        {"SERATO DJ", QzASHostKind::seratoDJ, "Serato DJ DETECTED"},
        {"ITCH", QzASHostKind::itch, "Serato ITCH DETECTED"},
        {"PRO TOOLS EXPRES", QzASHostKind::proToolsExpress, "Avid Pro Tools Express DETECTED"},
        {"TRAKTOR", QzASHostKind::traktor, "Traktor DETECTED"},
    };
    VKIOTrace trace(nullptr, static_cast<int>(clientProcessID));
    QzASHostKind kind = QzASHostKind::other;
    const std::optional<std::string> name = QzASProcessName(clientProcessID);
    if (!name) {
        return kind;
    }
    std::string upper = *name;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    for (const Row& row : kRows) {
        if (upper.find(row.pattern) != std::string::npos) {
            kind = row.kind;
            if (row.line != nullptr) {
                trace.trace(row.line);
            }
        }
    }
    return kind;
}

// The name the process table keeps (16 characters at most); one read, never a retry loop.
std::optional<std::string> QzASProcessName(pid_t clientProcessID)
{
    if (clientProcessID == platform::process::pid()) {
        return platform::process::name();
    }
    std::optional<std::string> name = platform::process::nameOf(clientProcessID);
    if (name && name->size() > platform::process::kMaxProcessName) {
        name->resize(platform::process::kMaxProcessName);
    }
    return name;
}

// --- Dispatch by object

QzASPlugInDevice::ObjectKind QzASPlugInDevice::KindOf(AudioObjectID objectID) const
{
    if (objectID == GetObjectID()) {
        return ObjectKind::device;
    }
    if (objectID == mObjectIDs[kInputStream] || objectID == mObjectIDs[kOutputStream]) {
        return ObjectKind::stream;
    }
    for (int index = kInputVolume; index <= kOutputMute; ++index) {
        if (objectID == mObjectIDs[index]) {
            return ObjectKind::control;
        }
    }
    throw CAException(kAudioHardwareBadObjectError);
}

bool QzASPlugInDevice::HasProperty(AudioObjectID objectID, pid_t clientProcessID,
                                   const AudioObjectPropertyAddress& address) const
{
    VKIOTrace trace(nullptr, static_cast<int>(objectID));
    bool answer = false;
    switch (KindOf(objectID)) {
    case ObjectKind::device:
        answer = Device_HasProperty(objectID, clientProcessID, address);
        break;
    case ObjectKind::stream:
        answer = Stream_HasProperty(objectID, clientProcessID, address);
        break;
    case ObjectKind::control:
        answer = Control_HasProperty(objectID, clientProcessID, address);
        break;
    }
    if (answer) {
        trace.trace("Property available");
    }
    return answer;
}

bool QzASPlugInDevice::IsPropertySettable(AudioObjectID objectID, pid_t clientProcessID,
                                          const AudioObjectPropertyAddress& address) const
{
    switch (KindOf(objectID)) {
    case ObjectKind::device:
        return Device_IsPropertySettable(objectID, clientProcessID, address);
    case ObjectKind::stream:
        return Stream_IsPropertySettable(objectID, clientProcessID, address);
    case ObjectKind::control:
        break;
    }
    return Control_IsPropertySettable(objectID, clientProcessID, address);
}

UInt32 QzASPlugInDevice::GetPropertyDataSize(AudioObjectID objectID, pid_t clientProcessID,
                                             const AudioObjectPropertyAddress& address, UInt32 qualifierDataSize,
                                             const void* qualifierData) const
{
    switch (KindOf(objectID)) {
    case ObjectKind::device:
        return Device_GetPropertyDataSize(objectID, clientProcessID, address, qualifierDataSize, qualifierData);
    case ObjectKind::stream:
        return Stream_GetPropertyDataSize(objectID, clientProcessID, address, qualifierDataSize, qualifierData);
    case ObjectKind::control:
        break;
    }
    return Control_GetPropertyDataSize(objectID, clientProcessID, address, qualifierDataSize, qualifierData);
}

void QzASPlugInDevice::GetPropertyData(AudioObjectID objectID, pid_t clientProcessID,
                                       const AudioObjectPropertyAddress& address, UInt32 qualifierDataSize,
                                       const void* qualifierData, UInt32 dataSize, UInt32& outDataSize,
                                       void* outData) const
{
    const ObjectKind kind = KindOf(objectID);
    if (!IsActive()) {
        platform::syslog(platform::log::kPriorityError, "Device inactive, returning\n");
        throw CAException(kAudioHardwareNotRunningError);
    }
    switch (kind) {
    case ObjectKind::device:
        Device_GetPropertyData(objectID, clientProcessID, address, qualifierDataSize, qualifierData, dataSize,
                               outDataSize, outData);
        break;
    case ObjectKind::stream:
        Stream_GetPropertyData(objectID, clientProcessID, address, qualifierDataSize, qualifierData, dataSize,
                               outDataSize, outData);
        break;
    case ObjectKind::control:
        Control_GetPropertyData(objectID, clientProcessID, address, qualifierDataSize, qualifierData, dataSize,
                                outDataSize, outData);
        break;
    }
}

// --- The device's own selectors

bool QzASPlugInDevice::Device_HasProperty(AudioObjectID objectID, pid_t clientProcessID,
                                          const AudioObjectPropertyAddress& address) const
{
    switch (address.mSelector) {
    case kAudioObjectPropertyName:
    case kAudioObjectPropertyManufacturer:
    case kAudioDevicePropertyDeviceUID:
    case kAudioDevicePropertyModelUID:
    case kAudioDevicePropertyConfigurationApplication:
    case kAudioDevicePropertyTransportType:
    case kAudioDevicePropertyRelatedDevices:
    case kAudioDevicePropertyClockDomain:
    case kAudioDevicePropertyDeviceIsAlive:
    case kAudioDevicePropertyDeviceIsRunning:
    case kAudioDevicePropertyZeroTimeStampPeriod:
    case kAudioDevicePropertyNominalSampleRate:
    case kAudioDevicePropertyAvailableNominalSampleRates:
    case kAudioDevicePropertyClockSource:
    case kAudioDevicePropertyClockSources:
    case kAudioDevicePropertyClockSourceNameForID:
    case kAudioDevicePropertyIcon:
    case kAudioDevicePropertyIsHidden:
    case kAudioDevicePropertyStreams:
    case kAudioObjectPropertyOwnedObjects:
    case kAudioObjectPropertyControlList:
    case kAudioObjectPropertyCustomPropertyInfoList:
        return true;
    case kAudioDevicePropertyLatency:
    case kAudioDevicePropertySafetyOffset:
        // Also in the global scope (the output side's value), where the device announces them.
        return address.mElement == kAudioObjectPropertyElementMaster &&
               (isInOutScope(address) || address.mScope == kAudioObjectPropertyScopeGlobal);
    case kAudioDevicePropertyDeviceCanBeDefaultDevice:
    case kAudioDevicePropertyDeviceCanBeDefaultSystemDevice:
    case kAudioDevicePropertyPreferredChannelsForStereo:
        return isInOut(address);
    case kAudioDevicePropertyPreferredChannelLayout:
    case kAudioObjectPropertyElementName:
        return isInOutScope(address);
    default:
        if (findCustom(address.mSelector) != nullptr) {
            return true;
        }
        return QzASPlugInObject::HasProperty(objectID, clientProcessID, address);
    }
}

bool QzASPlugInDevice::Device_IsPropertySettable(AudioObjectID objectID, pid_t clientProcessID,
                                                 const AudioObjectPropertyAddress& address) const
{
    if (const CustomProperty* custom = findCustom(address.mSelector)) {
        return custom->settable;
    }
    if (address.mSelector == kAudioDevicePropertyNominalSampleRate ||
        address.mSelector == kAudioDevicePropertyClockSource) {
        return true;
    }
    if (Device_HasProperty(objectID, clientProcessID, address) &&
        address.mSelector != kAudioObjectPropertyBaseClass && address.mSelector != kAudioObjectPropertyClass &&
        address.mSelector != kAudioObjectPropertyOwner) {
        return false;
    }
    return QzASPlugInObject::IsPropertySettable(objectID, clientProcessID, address);
}

UInt32 QzASPlugInDevice::ClockSourceCount() const
{
    return (ModelRow().traits & kQzASTwoClockSources) != 0 ? 2 : 1;
}

QzASModelRow QzASPlugInDevice::ModelRow() const
{
    return mDevice != nullptr ? qzASModelRow(mDevice->vendorID(), mDevice->productID()) : qzASModelRow(0, 0);
}

UInt32 QzASPlugInDevice::Device_GetPropertyDataSize(AudioObjectID objectID, pid_t clientProcessID,
                                                    const AudioObjectPropertyAddress& address,
                                                    UInt32 qualifierDataSize, const void* qualifierData) const
{
    const bool noInput = NoInput();
    switch (address.mSelector) {
    case kAudioObjectPropertyName:
    case kAudioObjectPropertyManufacturer:
    case kAudioDevicePropertyDeviceUID:
    case kAudioDevicePropertyModelUID:
    case kAudioDevicePropertyConfigurationApplication:
    case kAudioDevicePropertyIcon:
    case kAudioObjectPropertyElementName:
    case kAudioDevicePropertyNominalSampleRate:
    case kAudioDevicePropertyPreferredChannelsForStereo:
        return 8;
    case kAudioDevicePropertyTransportType:
    case kAudioDevicePropertyRelatedDevices:
    case kAudioDevicePropertyClockDomain:
    case kAudioDevicePropertyDeviceIsAlive:
    case kAudioDevicePropertyDeviceIsRunning:
    case kAudioDevicePropertyDeviceCanBeDefaultDevice:
    case kAudioDevicePropertyDeviceCanBeDefaultSystemDevice:
    case kAudioDevicePropertyLatency:
    case kAudioDevicePropertySafetyOffset:
    case kAudioDevicePropertyZeroTimeStampPeriod:
    case kAudioDevicePropertyClockSource:
    case kAudioDevicePropertyIsHidden:
        return 4;
    case kAudioDevicePropertyAvailableNominalSampleRates:
        return 16 * (mDevice != nullptr ? mDevice->getSampleRates(nullptr, 0) : 0);
    case kAudioDevicePropertyClockSources:
        return 4 * ClockSourceCount();
    case kAudioDevicePropertyClockSourceNameForID:
        return sizeof(AudioValueTranslation);
    case kAudioDevicePropertyPreferredChannelLayout:
        return kAudioChannelLayoutStereoSize;
    case kAudioDevicePropertyStreams:
        switch (address.mScope) {
        case kAudioObjectPropertyScopeGlobal:
            return 8;
        case kAudioObjectPropertyScopeInput:
            return noInput ? 0 : 4;
        case kAudioObjectPropertyScopeOutput:
            return 4;
        default:
            return 0;
        }
    case kAudioObjectPropertyOwnedObjects:
        switch (address.mScope) {
        case kAudioObjectPropertyScopeGlobal:
            return 32;
        case kAudioObjectPropertyScopeInput:
            return noInput ? 0 : 16;
        case kAudioObjectPropertyScopeOutput:
            return 16;
        default:
            return 0;
        }
    case kAudioObjectPropertyControlList:
        return 24;
    case kAudioObjectPropertyCustomPropertyInfoList:
        warning("Num custom properties %d \n", static_cast<int>(kCustomCount));
        return kCustomCount * sizeof(AudioServerPlugInCustomPropertyInfo);
    default:
        if (findCustom(address.mSelector) != nullptr) {
            return 8;
        }
        return QzASPlugInObject::GetPropertyDataSize(objectID, clientProcessID, address, qualifierDataSize,
                                                     qualifierData);
    }
}

void QzASPlugInDevice::WriteObjectList(const AudioObjectID* ids, UInt32 count, UInt32 dataSize, UInt32& outDataSize,
                                       void* outData)
{
    const UInt32 written = std::min(dataSize / 4, count);
    std::memcpy(outData, ids, written * sizeof(AudioObjectID));
    outDataSize = written * 4;
}

void QzASPlugInDevice::Device_GetPropertyData(AudioObjectID objectID, pid_t clientProcessID,
                                              const AudioObjectPropertyAddress& address, UInt32 qualifierDataSize,
                                              const void* qualifierData, UInt32 dataSize, UInt32& outDataSize,
                                              void* outData) const
{
    VKIOTrace trace(nullptr, static_cast<int>(objectID));
    const QzASHostKind kind = QzASClassifyHost(clientProcessID);
    if (kind == QzASHostKind::itch) {
        throw CAException(kAudioHardwareNotRunningError);
    }
    const bool noInput = NoInput();
    const bool isInput = address.mScope == kAudioObjectPropertyScopeInput;
    switch (address.mSelector) {
    case kAudioObjectPropertyName: {
        needs(dataSize, 8, DEVICE_SIZE_LINE("kAudioObjectPropertyName"));
        const std::string& product = ProductName();
        if (product.empty()) {
            put(outData, outDataSize, CFSTR("Malfunction"));
            break;
        }
        const bool coreAudioSuffix = (kind >= QzASHostKind::itch && kind <= QzASHostKind::traktor) ||
                                     (ModelRow().traits & kQzASNamedCoreAudio) != 0;
        CFStringRef name = asciiString(product + (coreAudioSuffix ? "_CoreAudio" : " (Core Audio)"));
        CFShowStr(name);
        put(outData, outDataSize, name);
        break;
    }
    case kAudioObjectPropertyManufacturer: {
        needs(dataSize, 8, DEVICE_SIZE_LINE("kAudioObjectPropertyManufacturer"));
        const std::string& manufacturer = ManufacturerName();
        put(outData, outDataSize, manufacturer.empty() ? CFSTR("Unknown") : asciiString(manufacturer));
        break;
    }
    case kAudioDevicePropertyDeviceUID:
    case kAudioDevicePropertyModelUID: {
        needs(dataSize, 8, DEVICE_SIZE_LINE("kAudioDevicePropertyDeviceUID"));
        CFStringRef uid = CopyDeviceUID();
        put(outData, outDataSize, uid != nullptr ? uid : CFSTR("Unknown"));
        break;
    }
    case kAudioDevicePropertyConfigurationApplication:
        needs(dataSize, 8, DEVICE_SIZE_LINE("kAudioDevicePropertyConfigurationApplication"));
        put(outData, outDataSize, asciiString("com.sonvexa.app"));
        break;
    case kAudioDevicePropertyTransportType: {
        needs(dataSize, 4, DEVICE_SIZE_LINE("kAudioDevicePropertyTransportType"));
        UInt32 transport = kAudioDeviceTransportTypeUSB;
        const std::optional<std::string> name = QzASProcessName(clientProcessID);
        if (name && name->compare(0, 6, "Cubase") == 0) {
            transport = kAudioDeviceTransportTypeOther;
        }
        put(outData, outDataSize, transport);
        break;
    }
    case kAudioDevicePropertyRelatedDevices: {
        const AudioObjectID self = GetObjectID();
        WriteObjectList(&self, 1, dataSize, outDataSize, outData);
        break;
    }
    case kAudioDevicePropertyClockDomain:
        needs(dataSize, 4, DEVICE_SIZE_LINE("kAudioDevicePropertyClockDomain"));
        put(outData, outDataSize, UInt32{0});
        break;
    case kAudioDevicePropertyDeviceIsAlive:
        needs(dataSize, 4, DEVICE_SIZE_LINE("kAudioDevicePropertyDeviceIsAlive"));
        put(outData, outDataSize, UInt32{IsActive() ? 1U : 0U});
        break;
    case kAudioDevicePropertyDeviceIsRunning: {
        needs(dataSize, 4, DEVICE_SIZE_LINE("kAudioDevicePropertyDeviceIsRunning"));
        CAMutex::Locker locker(mStateMutex);
        put(outData, outDataSize, UInt32{mDevice != nullptr && mDevice->isRunningSomewhere() ? 1U : 0U});
        break;
    }
    case kAudioDevicePropertyDeviceCanBeDefaultDevice:
    case kAudioDevicePropertyDeviceCanBeDefaultSystemDevice:
        needs(dataSize, 4, address.mSelector == kAudioDevicePropertyDeviceCanBeDefaultDevice
                               ? DEVICE_SIZE_LINE("kAudioDevicePropertyDeviceCanBeDefaultDevice")
                               : DEVICE_SIZE_LINE("kAudioDevicePropertyDeviceCanBeDefaultSystemDevice"));
        put(outData, outDataSize, UInt32{isInput && noInput ? 0U : 1U});
        break;
    case kAudioDevicePropertyLatency:
        needs(dataSize, 4, DEVICE_SIZE_LINE("kAudioDevicePropertyLatency"));
        put(outData, outDataSize, const_cast<QzASPlugInDevice*>(this)->getLatency(isInput));
        break;
    case kAudioDevicePropertySafetyOffset:
        needs(dataSize, 4, DEVICE_SIZE_LINE("kAudioDevicePropertySafetyOffset"));
        put(outData, outDataSize, const_cast<QzASPlugInDevice*>(this)->getSafetyOffset(isInput));
        break;
    case kAudioDevicePropertyZeroTimeStampPeriod:
        needs(dataSize, 4, DEVICE_SIZE_LINE("kAudioDevicePropertyZeroTimeStampPeriod"));
        warning("AudioServer: %s %d\n", "mZeroTimeStampPeriod", static_cast<int>(mZeroTimeStampPeriod));
        put(outData, outDataSize, UInt32{mZeroTimeStampPeriod});
        break;
    case kAudioDevicePropertyNominalSampleRate: {
        needs(dataSize, 8, DEVICE_SIZE_LINE("kAudioDevicePropertyNominalSampleRate"));
        trace.trace("Get kAudioDevicePropertyNominalSampleRate");
        CAMutex::Locker locker(mStateMutex);
        const Float64 rate = mDevice != nullptr ? mDevice->getFrequency() : 0.0;
        trace.tracef("Fequency found", rate);
        put(outData, outDataSize, rate);
        break;
    }
    case kAudioDevicePropertyAvailableNominalSampleRates: {
        const UInt32 available = mDevice != nullptr ? mDevice->getSampleRates(nullptr, 0) : 0;
        const UInt32 count = std::min(dataSize / 16, available);
        trace.trace("Get kAudioDevicePropertyNominalSampleRates", static_cast<int>(count));
        trace.trace("kAudioDevicePropertyAvailableNominalSampleRates", static_cast<int>(objectID));
        const UInt32 written =
            count != 0 ? mDevice->getSampleRates(static_cast<AudioValueRange*>(outData), count) : 0;
        outDataSize = std::min(written, count) * 16;
        break;
    }
    case kAudioDevicePropertyClockSource:
        needs(dataSize, 4, DEVICE_SIZE_LINE("kAudioDevicePropertyClockSource"));
        warning("AudioServer: %s\n", "kAudioDevicePropertyClockSource");
        put(outData, outDataSize, UInt32{mClockSource});
        break;
    case kAudioDevicePropertyClockSources: {
        warning("AudioServer: %s\n", "kAudioDevicePropertyClockSources");
        const UInt32 count = ClockSourceCount();
        needs(dataSize, count * 4, DEVICE_SIZE_LINE("kAudioDevicePropertyClockSources"));
        auto* slots = static_cast<UInt8*>(outData);
        std::memset(slots, 0xFF, dataSize / 4 * 4);
        for (UInt32 source = 0; source < count; ++source) {
            std::memcpy(slots + source * 4, &source, 4);
        }
        outDataSize = count * 4;
        break;
    }
    case kAudioDevicePropertyClockSourceNameForID: {
        warning("AudioServer: %s\n", "kAudioDevicePropertyClockSourceNameForID");
        needs(dataSize, sizeof(AudioValueTranslation), DEVICE_SIZE_LINE("kAudioDevicePropertyClockSourceNameForID"));
        AudioValueTranslation translation{};
        std::memcpy(&translation, outData, sizeof translation);
        if (translation.mInputData == nullptr || translation.mInputDataSize < sizeof(UInt32)) {
            notice("QzASPlugInDevice::Device_GetPropertyData: no source identifier for "
                   "kAudioDevicePropertyClockSourceNameForID");
            throw CAException(kAudioHardwareBadPropertySizeError);
        }
        if (translation.mOutputData != nullptr && translation.mOutputDataSize != 0) {
            UInt32 source = 0;
            std::memcpy(&source, translation.mInputData, sizeof source);
            const bool twoSources = ClockSourceCount() == 2;
            const char* name = source == 0 ? (twoSources ? "Internal" : "Hardware")
                               : source == 1 ? (twoSources ? "S/PDIF" : "internal")
                                             : "";
            auto* text = static_cast<char*>(translation.mOutputData);
            std::strncpy(text, name, translation.mOutputDataSize);
            text[translation.mOutputDataSize - 1] = '\0';
        }
        outDataSize = sizeof(AudioValueTranslation);
        break;
    }
    case kAudioDevicePropertyIcon: {
        needs(dataSize, 8, DEVICE_SIZE_LINE("kAudioDevicePropertyIcon"));
        CFURLRef icon = CFURLCreateWithFileSystemPath(nullptr, CFSTR(kIconPath), kCFURLPOSIXPathStyle, false);
        CFShow(icon);
        put(outData, outDataSize, icon);
        break;
    }
    case kAudioDevicePropertyIsHidden:
        needs(dataSize, 4, DEVICE_SIZE_LINE("kAudioDevicePropertyIsHidden"));
        put(outData, outDataSize, UInt32{0});
        break;
    case kAudioDevicePropertyPreferredChannelsForStereo: {
        needs(dataSize, 8, DEVICE_SIZE_LINE("kAudioDevicePropertyPreferredChannelsForStereo"));
        const UInt32 channels[2] = {1, 2};
        std::memcpy(outData, channels, sizeof channels);
        outDataSize = sizeof channels;
        break;
    }
    case kAudioDevicePropertyPreferredChannelLayout: {
        needs(dataSize, kAudioChannelLayoutStereoSize, DEVICE_SIZE_LINE("kAudioDevicePropertyPreferredChannelLayout"));
        UInt8 layout[kAudioChannelLayoutStereoSize] = {};
        const UInt32 header[3] = {kAudioChannelLayoutTag_UseChannelDescriptions, 0, 2};
        std::memcpy(layout, header, sizeof header);
        for (UInt32 channel = 0; channel < 2; ++channel) {
            const AudioChannelDescription description{channel + 1, 0, {0, 0, 0}};
            std::memcpy(layout + 12 + channel * sizeof description, &description, sizeof description);
        }
        std::memcpy(outData, layout, sizeof layout);
        outDataSize = sizeof layout;
        break;
    }
    case kAudioObjectPropertyElementName: {
        needs(dataSize, 8, DEVICE_SIZE_LINE("kAudioObjectPropertyElementName"));
        trace.trace("kAudioDevicePropertyChannelNameCFString Device, - isInput", static_cast<int>(objectID),
                    isInput ? 1 : 0);
        put(outData, outDataSize, ChannelName(isInput, address.mElement));
        break;
    }
    case kAudioDevicePropertyStreams: {
        const AudioObjectID* ids = mObjectIDs;
        UInt32 count = 0;
        if (address.mScope == kAudioObjectPropertyScopeGlobal) {
            count = 2;
        } else if (address.mScope == kAudioObjectPropertyScopeInput) {
            count = noInput ? 0 : 1;
        } else if (address.mScope == kAudioObjectPropertyScopeOutput) {
            ids = &mObjectIDs[kOutputStream];
            count = 1;
        }
        WriteObjectList(ids, count, dataSize, outDataSize, outData);
        break;
    }
    case kAudioObjectPropertyOwnedObjects: {
        AudioObjectID ids[8];
        UInt32 count = 0;
        if (address.mScope == kAudioObjectPropertyScopeGlobal) {
            for (int index : {kInputStream, kOutputStream, kInputVolume, kOutputVolume, kInputMute, kOutputMute,
                              kInputDataSource, kOutputDataSource}) {
                ids[count++] = mObjectIDs[index];
            }
        } else if (address.mScope == kAudioObjectPropertyScopeInput && !noInput) {
            for (int index : {kInputStream, kInputVolume, kInputMute, kInputDataSource}) {
                ids[count++] = mObjectIDs[index];
            }
        } else if (address.mScope == kAudioObjectPropertyScopeOutput) {
            for (int index : {kOutputStream, kOutputVolume, kOutputMute, kOutputDataSource}) {
                ids[count++] = mObjectIDs[index];
            }
        }
        WriteObjectList(ids, count, dataSize, outDataSize, outData);
        break;
    }
    case kAudioObjectPropertyControlList: {
        AudioObjectID ids[6];
        UInt32 count = 0;
        for (int index : {kInputVolume, kOutputVolume, kInputMute, kOutputMute, kInputDataSource, kOutputDataSource}) {
            ids[count++] = mObjectIDs[index];
        }
        WriteObjectList(ids, count, dataSize, outDataSize, outData);
        break;
    }
    case kAudioObjectPropertyCustomPropertyInfoList: {
        outDataSize = 0;
        if (dataSize / sizeof(AudioServerPlugInCustomPropertyInfo) >= kCustomCount) {
            auto* entries = static_cast<AudioServerPlugInCustomPropertyInfo*>(outData);
            for (UInt32 index = 0; index < kCustomCount; ++index) {
                entries[index] = {kCustomProperties[index].selector,
                                  kAudioServerPlugInCustomPropertyDataTypeCFPropertyList,
                                  kAudioServerPlugInCustomPropertyDataTypeNone};
            }
            outDataSize = kCustomCount * sizeof(AudioServerPlugInCustomPropertyInfo);
        }
        break;
    }
    default:
        if (const CustomProperty* custom = findCustom(address.mSelector); custom != nullptr && !isDebugOverride(address.mSelector)) {
            Device_GetCustomPropertyData(address.mSelector, custom->name, custom->writeOnly,
                                         dataSize, outDataSize, outData);
            break;
        }
        QzASPlugInObject::GetPropertyData(objectID, clientProcessID, address, qualifierDataSize, qualifierData,
                                          dataSize, outDataSize, outData);
        break;
    }
}

// --- Custom selectors

void QzASPlugInDevice::Device_GetCustomPropertyData(AudioObjectPropertySelector selector, const char* name,
                                                    bool writeOnly, UInt32 dataSize, UInt32& outDataSize,
                                                    void* outData) const
{
    if (selector == audioFourCC("QzRo")) {
        outDataSize = 0;
        return;
    }
    if (dataSize < 8) {
        if (writeOnly) {
            notice("SA_Device::Device_GetPropertyData: not enough space for the return value of "
                   "kQzAudioCustomProperty for the device (write only property)");
        } else if (selector == audioFourCC("QzCS")) {
            notice(DEVICE_SIZE_LINE("kAudioDevicePropertyClockSource"));
        } else if (selector == audioFourCC("QzTy")) {
            notice(DEVICE_SIZE_LINE("kQzAudioCustomPropertyDriverType"));
        } else {
            notice("SA_Device::Device_GetPropertyData: not enough space for the return value of %s for the device",
                   name);
        }
        throw CAException(kAudioHardwareBadPropertySizeError);
    }
    CFTypeRef value = nullptr;
    switch (selector) {
    case audioFourCC("QzMM"):
        notice("MixerMode %d\n", static_cast<int>(mMixerMode));
        value = number32(static_cast<SInt32>(mMixerMode));
        break;
    case audioFourCC("QzPD"): {
        const UInt16 product = ProductID();
        notice("ProductID %d\n", static_cast<int>(product));
        value = number16(static_cast<SInt16>(product));
        break;
    }
    case audioFourCC("QzVD"): {
        const UInt16 vendor = VendorID();
        notice("VendorID %d\n", static_cast<int>(vendor));
        value = number16(static_cast<SInt16>(vendor));
        break;
    }
    case audioFourCC("QzSW"): {
        const QzChannelSettings& reported = mReported;
        value = number16(static_cast<SInt16>(std::max(reported.iInResolution, reported.iOutResolution)));
        break;
    }
    case audioFourCC("QzCS"):
        warning("AudioServer: %s\n", "kAudioDevicePropertyClockSource");
        value = number16(static_cast<SInt16>(mClockSource));
        break;
    case audioFourCC("QzTy"):
        warning("AudioServer: %s\n", "kQzAudioCustomPropertyDriverType");
        value = CFSTR("QuenzarAudioServerPluginType");
        break;
    case audioFourCC("QzIO"):
        if (mRegistryPrefs != nullptr) {
            // The snapshot with one reference, the caller's.
            value = mRegistryPrefs->getProperties();
        }
        break;
    default:
        if (!writeOnly) {
            // A value only the device's command set can give, which the device layer does not
            // reach yet: no value is made up.
            notice("QzASPlugInDevice::Device_GetPropertyData: %s is not available from the device layer", name);
            throw CAException(kAudioHardwareUnsupportedOperationError);
        }
        break;
    }
    put(outData, outDataSize, value);
}
