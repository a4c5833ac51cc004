// Property writes to the device, its streams and its controls: validated, then applied at once,
// or handed to the audio server as a configuration-change request, or followed by a new
// computation of latencies and safety offsets.
#include <cmath>
#include <cstring>

#include "CADispatchQueue.h"
#include "CAException.h"
#include "QzASPlugInDevice.h"
#include "QzASPlugInPlugIn.h"
#include "VKIOTrace.h"
#include "platform/Log.h"

namespace {

#define notice(...) platform::syslog(platform::log::kPriorityNotice, __VA_ARGS__)
#define warning(...) platform::syslog(platform::log::kPriorityWarning, __VA_ARGS__)

constexpr OSStatus kIOReturnInternalErrorStatus = static_cast<OSStatus>(0xE00002C9);

void refuse(OSStatus status, const char* line)
{
    notice("%s", line);
    throw CAException(status);
}

// The CoreFoundation value a custom write hands over: `typeID` or refused ('!dat') before any
// device command is sent.
CFTypeRef customValue(UInt32 dataSize, const void* data, const char* name, CFTypeID typeID)
{
    if (dataSize < sizeof(CFTypeRef)) {
        notice("SA_Device::Device_SetPropertyData: not enough space for the return value of %s for the device", name);
        throw CAException(kAudioHardwareBadPropertySizeError);
    }
    if (data == nullptr) {
        notice("QzASPlugInDevice::Device_SetPropertyData: data null for %s for the device", name);
        throw CAException(kIOReturnInternalErrorStatus);
    }
    CFTypeRef value = nullptr;
    std::memcpy(&value, data, sizeof value);
    if (value == nullptr || CFGetTypeID(value) != typeID) {
        notice("QzASPlugInDevice::Device_SetPropertyData: wrong kind of value for %s for the device", name);
        throw CAException(kAudioDeviceUnsupportedFormatError);
    }
    return value;
}

SInt32 numberValue(CFTypeRef value, SInt32 fallback)
{
    SInt32 result = fallback;
    CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt32Type, &result);
    return result;
}

} // namespace

void QzASPlugInDevice::SetPropertyData(AudioObjectID objectID, pid_t clientProcessID,
                                       const AudioObjectPropertyAddress& address, UInt32 qualifierDataSize,
                                       const void* qualifierData, UInt32 dataSize, const void* data)
{
    VKIOTrace trace(nullptr, static_cast<int>(objectID));
    switch (KindOf(objectID)) {
    case ObjectKind::device:
        Device_SetPropertyData(objectID, clientProcessID, address, qualifierDataSize, qualifierData, dataSize, data);
        break;
    case ObjectKind::stream:
        Stream_SetPropertyData(objectID, clientProcessID, address, qualifierDataSize, qualifierData, dataSize, data);
        break;
    case ObjectKind::control:
        Control_SetPropertyData(objectID, clientProcessID, address, qualifierDataSize, qualifierData, dataSize, data);
        break;
    }
}

// A client's clock source: one of the device's sources, sent to the device when the host
// performs the change.
void QzASPlugInDevice::requestClockSource(QzASConfigChange& change)
{
    if (change.value >= ClockSourceCount()) {
        refuse(kAudioHardwareIllegalOperationError, "QzASPlugInDevice::Device_SetPropertyData: no such clock "
                                                    "source for kAudioDevicePropertyClockSource");
    }
    change.fromClient = true;
    RequestConfigChange(kQzConfigChangeClockSource, change);
}

void QzASPlugInDevice::Device_SetPropertyData(AudioObjectID objectID, pid_t clientProcessID,
                                              const AudioObjectPropertyAddress& address, UInt32 qualifierDataSize,
                                              const void* qualifierData, UInt32 dataSize, const void* data)
{
    if (!IsActive()) {
        return;
    }
    switch (address.mSelector) {
    case kAudioDevicePropertyNominalSampleRate: {
        if (dataSize != sizeof(Float64) || data == nullptr) {
            refuse(kAudioHardwareBadPropertySizeError, "QzASPlugInDevice::Device_SetPropertyData: wrong size for the "
                                                       "data for kAudioDevicePropertyNominalSampleRate");
        }
        Float64 rate = 0;
        std::memcpy(&rate, data, sizeof rate);
        const UInt32 count = mDevice != nullptr ? mDevice->getSampleRates(nullptr, 0) : 0;
        std::vector<AudioValueRange> ranges(count);
        const UInt32 listed = count != 0 ? mDevice->getSampleRates(ranges.data(), count) : 0;
        bool supported = false;
        for (UInt32 index = 0; index < std::min(listed, count); ++index) {
            supported = supported || (ranges[index].mMinimum <= rate && rate <= ranges[index].mMaximum);
        }
        if (!supported) {
            refuse(kAudioHardwareIllegalOperationError, "QzASPlugInDevice::Device_SetPropertyData: unsupported value "
                                                        "for kAudioDevicePropertyNominalSampleRate");
        }
        UInt64 current = 0;
        {
            CAMutex::Locker locker(mStateMutex);
            current = mDevice->getFrequency();
        }
        const auto requested = static_cast<UInt64>(rate);
        if (requested != current) {
            QzASConfigChange change;
            change.sampleRate = requested;
            RequestConfigChange(kQzConfigChangeSampleRate, change);
        }
        break;
    }
    case kAudioDevicePropertyClockSource: {
        if (dataSize < sizeof(UInt32)) {
            refuse(kAudioHardwareBadPropertySizeError, "QzASPlugInDevice::Device_SetPropertyData: not enough space for "
                                                       "the value of kAudioDevicePropertyClockSource for the device");
        }
        if (data == nullptr) {
            refuse(kIOReturnInternalErrorStatus, "QzASPlugInDevice::Device_SetPropertyData: data null for "
                                                 "kAudioDevicePropertyClockSource for the device");
        }
        QzASConfigChange change;
        std::memcpy(&change.value, data, sizeof change.value);
        requestClockSource(change);
        break;
    }
    case audioFourCC("QzCS"): {
        if (dataSize < sizeof(CFTypeRef)) {
            refuse(kAudioHardwareBadPropertySizeError, "SA_Device::Device_SetPropertyData: not enough space for the "
                                                       "return value of kAudioDevicePropertyClockSource for the device");
        }
        if (data == nullptr) {
            refuse(kIOReturnInternalErrorStatus, "QzASPlugInDevice::Device_SetPropertyData: data null for "
                                                 "kAudioDevicePropertyClockSource for the device");
        }
        CFTypeRef value = customValue(dataSize, data, "kQzAudioCustomPropertyClockSource", CFNumberGetTypeID());
        QzASConfigChange change;
        change.value = static_cast<UInt32>(numberValue(value, 0));
        requestClockSource(change);
        break;
    }
    case audioFourCC("DbSI"):
    case audioFourCC("DbSO"):
    case audioFourCC("DbLI"):
    case audioFourCC("DbLO"):
    case audioFourCC("DbWA"): {
        struct Override
        {
            AudioObjectPropertySelector selector;
            const char* name;
            const char* line;
            uint32_t QzASDebugOverrides::*field;
            bool safety;
        };
        static constexpr Override kOverrides[] = {
            {audioFourCC("DbSI"), "kQzAudioCustomPropertyForceSafetyIn", "Force safety in",
             &QzASDebugOverrides::forceSafetyIn, true},
            {audioFourCC("DbSO"), "kQzAudioCustomPropertyForceSafetyOut", "Force safety out",
             &QzASDebugOverrides::forceSafetyOut, true},
            {audioFourCC("DbLI"), "kQzAudioCustomPropertyForceLatencyIn", "Force Latency in",
             &QzASDebugOverrides::forceLatencyIn, false},
            {audioFourCC("DbLO"), "kQzAudioCustomPropertyForceLatencyOut", "Force Latency out",
             &QzASDebugOverrides::forceLatencyOut, false},
            {audioFourCC("DbWA"), "kQzAudioCustomPropertyForceOutWriteAhead", "Force Write ahead",
             &QzASDebugOverrides::forceOutWriteAhead, false},
        };
        for (const Override& entry : kOverrides) {
            if (entry.selector != address.mSelector) {
                continue;
            }
            CFTypeRef value = customValue(dataSize, data, entry.name, CFNumberGetTypeID());
            const auto forced = static_cast<uint32_t>(numberValue(value, -1));
            debugOverrides().*entry.field = forced;
            warning("AudioServer: %s %d\n", entry.line, static_cast<int>(forced));
            if (entry.safety) {
                updateSafetyOffsets();
            } else {
                updateLatencies();
            }
        }
        break;
    }
    default:
        if (Device_IsCustomWrite(address.mSelector)) {
            Device_SetCustomPropertyData(address.mSelector, dataSize, data);
            break;
        }
        QzASPlugInObject::SetPropertyData(objectID, clientProcessID, address, qualifierDataSize, qualifierData,
                                          dataSize, data);
        break;
    }
}

void QzASPlugInDevice::Stream_SetPropertyData(AudioObjectID objectID, pid_t clientProcessID,
                                              const AudioObjectPropertyAddress& address, UInt32 qualifierDataSize,
                                              const void* qualifierData, UInt32 dataSize, const void* data)
{
    if (!IsActive()) {
        return;
    }
    VKIOTrace trace("QzASPlugInDevice::Stream_SetPropertyData", static_cast<int>(objectID));
    const bool isInput = objectID == mObjectIDs[kInputStream];
    switch (address.mSelector) {
    case kAudioStreamPropertyIsActive: {
        if (dataSize != sizeof(UInt32) || data == nullptr) {
            refuse(kAudioHardwareBadPropertySizeError, "QzASPlugInDevice::Stream_SetPropertyData: wrong size for the "
                                                       "data for kAudioStreamPropertyIsActive");
        }
        UInt32 value = 0;
        std::memcpy(&value, data, sizeof value);
        CAMutex::Locker locker(mStateMutex);
        mStreamIsActive[isInput ? 0 : 1] = value != 0;
        break;
    }
    case kAudioStreamPropertyPhysicalFormat:
    case kAudioStreamPropertyVirtualFormat: {
        if (dataSize != sizeof(AudioStreamBasicDescription) || data == nullptr) {
            refuse(kAudioHardwareBadPropertySizeError, "QzASPlugInDevice::Stream_SetPropertyData: wrong size for the "
                                                       "data for kAudioStreamPropertyPhysicalFormat");
        }
        QzASConfigChange change;
        std::memcpy(&change.format, data, sizeof change.format);
        if (change.format.mFormatID != kAudioFormatLinearPCM) {
            refuse(kAudioDeviceUnsupportedFormatError, "QzASPlugInDevice::Stream_SetPropertyData: unsupported format "
                                                       "ID for kAudioStreamPropertyPhysicalFormat");
        }
        if (mDevice == nullptr || (ModelRow().traits & kQzASKeepsPhysicalFormat) != 0 || !IsActive()) {
            break;
        }
        change.isInput = isInput;
        const std::optional<std::string> caller = QzASProcessName(clientProcessID);
        if (caller) {
            warning("AudioServer: %s %s\n", "req_prep kQzConfigChangePhysicalFormat caller", caller->c_str());
        } else {
            warning("AudioServer: %s %d\n", "req_prep kQzConfigChangePhysicalFormat caller",
                    static_cast<int>(clientProcessID));
        }
        warning("AudioServer: %s %d\n", "req_prep kQzConfigChangePhysicalFormat isInput", isInput ? 1 : 0);
        warning("AudioServer: %s %d\n", "req_prep kQzConfigChangePhysicalFormat freq",
                static_cast<int>(change.format.mSampleRate));
        warning("AudioServer: %s %d\n", "req_prep kQzConfigChangePhysicalFormat channels",
                static_cast<int>(change.format.mChannelsPerFrame));
        RequestConfigChange(kQzConfigChangePhysicalFormatOut, change);
        break;
    }
    default:
        QzASPlugInObject::SetPropertyData(objectID, clientProcessID, address, qualifierDataSize, qualifierData,
                                          dataSize, data);
        break;
    }
}

void QzASPlugInDevice::Control_SetPropertyData(AudioObjectID objectID, pid_t clientProcessID,
                                               const AudioObjectPropertyAddress& address, UInt32 qualifierDataSize,
                                               const void* qualifierData, UInt32 dataSize, const void* data)
{
    const ControlInfo control = ControlOf(objectID);
    switch (address.mSelector) {
    case kAudioLevelControlPropertyScalarValue:
    case kAudioLevelControlPropertyDecibelValue: {
        const bool scalar = address.mSelector == kAudioLevelControlPropertyScalarValue;
        if (dataSize != sizeof(Float32) || data == nullptr) {
            refuse(kAudioHardwareBadPropertySizeError,
                   scalar ? "NullAudio_SetControlPropertyData: wrong size for the data for "
                            "kAudioLevelControlPropertyScalarValue"
                          : "NullAudio_SetControlPropertyData: wrong size for the data for "
                            "kAudioLevelControlPropertyDecibelValue");
        }
        Float32 value = 0;
        std::memcpy(&value, data, sizeof value);
        // A decibel value goes through the volume curve; a value that is no number sets nothing.
        if (std::isfinite(value)) {
            Float32 level = scalar ? std::clamp(value, 0.0F, 1.0F) : mVolumeCurve.ConvertDBToScalar(value);
            CAMutex::Locker locker(mStateMutex);
            WriteVolume(control.isInput, level);
        }
        const AudioObjectID controlID = objectID;
        CADispatchQueue::GetGlobalSerialQueue().Dispatch([controlID] {
            const AudioObjectPropertyAddress changed[] = {
                {kAudioLevelControlPropertyScalarValue, kAudioObjectPropertyScopeGlobal, 0},
                {kAudioLevelControlPropertyDecibelValue, kAudioObjectPropertyScopeGlobal, 0}};
            QzASPlugInPlugIn::Host_PropertiesChanged(controlID, 2, changed);
        });
        break;
    }
    case kAudioBooleanControlPropertyValue: {
        if (dataSize != sizeof(UInt32) || data == nullptr) {
            refuse(kAudioHardwareBadPropertySizeError, "NullAudio_SetControlPropertyData: wrong size for the data for "
                                                       "kAudioBooleanControlPropertyValue");
        }
        UInt32 value = 0;
        std::memcpy(&value, data, sizeof value);
        {
            CAMutex::Locker locker(mStateMutex);
            WriteMute(control.isInput, value != 0);
        }
        const AudioObjectID controlID = objectID;
        CADispatchQueue::GetGlobalSerialQueue().Dispatch([controlID] {
            const AudioObjectPropertyAddress changed{kAudioBooleanControlPropertyValue, kAudioObjectPropertyScopeGlobal,
                                                     0};
            QzASPlugInPlugIn::Host_PropertiesChanged(controlID, 1, &changed);
        });
        break;
    }
    case kAudioSelectorControlPropertyCurrentItem: {
        if (dataSize != sizeof(UInt32) || data == nullptr) {
            refuse(kAudioHardwareBadPropertySizeError, "QzASPlugInDevice::Control_SetPropertyData: wrong size for the "
                                                       "data for kAudioSelectorControlPropertyCurrentItem");
        }
        UInt32 item = 0;
        std::memcpy(&item, data, sizeof item);
        // Items are numbered from 1 to the count.
        if (item < 1 || item > DataSourceCount(control.isInput)) {
            refuse(kAudioHardwareBadPropertySizeError,
                   "QzASPlugInDevice::Control_SetPropertyData: requested item not in available items list for "
                   "kAudioSelectorControlPropertyCurrentItem");
        }
        UInt32 current = 0;
        {
            CAMutex::Locker locker(mStateMutex);
            current = mDataSourceCurrentItem[control.isInput ? 0 : 1];
        }
        if (item != current) {
            QzASConfigChange change;
            change.isInput = control.isInput;
            change.value = item;
            RequestConfigChange(control.isInput ? kQzConfigChangeInputDataSource : kQzConfigChangeOutputDataSource,
                                change);
        }
        break;
    }
    default:
        QzASPlugInObject::SetPropertyData(objectID, clientProcessID, address, qualifierDataSize, qualifierData,
                                          dataSize, data);
        break;
    }
}
