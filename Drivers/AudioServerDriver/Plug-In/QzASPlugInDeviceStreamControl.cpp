// The property answers of the device's two streams and six controls.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "CAException.h"
#include "QzASPlugInDevice.h"
#include "VKIOTrace.h"
#include "platform/Log.h"

namespace {

#define notice(...) platform::syslog(platform::log::kPriorityNotice, __VA_ARGS__)

#define STREAM_SIZE_LINE(name)                                                                               \
    "QzASPlugInDevice::Stream_GetPropertyData: not enough space for the return value of " name " for the stream"
#define CONTROL_SIZE_LINE(name)                                                                              \
    "QzASPlugInDevice::Control_GetPropertyData: not enough space for the return value of " name              \
    " for the volume control"

bool isGlobalMain(const AudioObjectPropertyAddress& address)
{
    return address.mScope == kAudioObjectPropertyScopeGlobal && address.mElement == kAudioObjectPropertyElementMaster;
}

void needs(UInt32 dataSize, UInt32 minimum, const char* line)
{
    if (dataSize < minimum) {
        notice("%s", line);
        throw CAException(kAudioHardwareBadPropertySizeError);
    }
}

template <class T> void put(void* outData, UInt32& outDataSize, T value)
{
    std::memcpy(outData, &value, sizeof value);
    outDataSize = sizeof value;
}

bool isLevelSelector(AudioObjectPropertySelector selector)
{
    switch (selector) {
    case kAudioLevelControlPropertyScalarValue:
    case kAudioLevelControlPropertyDecibelValue:
    case kAudioLevelControlPropertyDecibelRange:
    case kAudioLevelControlPropertyConvertScalarToDecibels:
    case kAudioLevelControlPropertyConvertDecibelsToScalar:
        return true;
    default:
        return false;
    }
}

bool isSelectorProperty(AudioObjectPropertySelector selector)
{
    return selector == kAudioSelectorControlPropertyAvailableItems ||
           selector == kAudioSelectorControlPropertyCurrentItem || selector == kAudioSelectorControlPropertyItemName;
}

} // namespace

// --- Streams

bool QzASPlugInDevice::Stream_HasProperty(AudioObjectID objectID, pid_t clientProcessID,
                                          const AudioObjectPropertyAddress& address) const
{
    switch (address.mSelector) {
    case kAudioStreamPropertyLatency:
    case kAudioStreamPropertyIsActive:
    case kAudioStreamPropertyStartingChannel:
    case kAudioStreamPropertyDirection:
    case kAudioStreamPropertyTerminalType:
    case kAudioStreamPropertyPhysicalFormat:
    case kAudioStreamPropertyAvailablePhysicalFormats:
    case kAudioStreamPropertyVirtualFormat:
    case kAudioStreamPropertyAvailableVirtualFormats:
        return isGlobalMain(address);
    default:
        return QzASPlugInObject::HasProperty(objectID, clientProcessID, address);
    }
}

bool QzASPlugInDevice::Stream_IsPropertySettable(AudioObjectID objectID, pid_t clientProcessID,
                                                 const AudioObjectPropertyAddress& address) const
{
    switch (address.mSelector) {
    case kAudioStreamPropertyIsActive:
    case kAudioStreamPropertyVirtualFormat:
        return true;
    case kAudioStreamPropertyPhysicalFormat:
        return mDevice == nullptr || !mDevice->isElektronOverbridge();
    case kAudioStreamPropertyLatency:
    case kAudioStreamPropertyStartingChannel:
    case kAudioStreamPropertyDirection:
    case kAudioStreamPropertyTerminalType:
    case kAudioStreamPropertyAvailablePhysicalFormats:
    case kAudioStreamPropertyAvailableVirtualFormats:
        return false;
    default:
        return QzASPlugInObject::IsPropertySettable(objectID, clientProcessID, address);
    }
}

UInt32 QzASPlugInDevice::Stream_GetPropertyDataSize(AudioObjectID objectID, pid_t clientProcessID,
                                                    const AudioObjectPropertyAddress& address,
                                                    UInt32 qualifierDataSize, const void* qualifierData) const
{
    const bool isInput = objectID == mObjectIDs[kInputStream];
    switch (address.mSelector) {
    case kAudioStreamPropertyLatency:
    case kAudioStreamPropertyIsActive:
    case kAudioStreamPropertyStartingChannel:
    case kAudioStreamPropertyDirection:
    case kAudioStreamPropertyTerminalType:
        return 4;
    case kAudioStreamPropertyPhysicalFormat:
    case kAudioStreamPropertyVirtualFormat:
        return sizeof(AudioStreamBasicDescription);
    case kAudioStreamPropertyAvailablePhysicalFormats:
    case kAudioStreamPropertyAvailableVirtualFormats: {
        VKIOTrace trace(nullptr, static_cast<int>(objectID));
        trace.trace("kAudioStreamPropertyAvailablePhysicalFormats Device, - isInput", static_cast<int>(objectID),
                    isInput ? 1 : 0);
        const UInt32 count = mDevice != nullptr ? mDevice->getStreamFormatNum(isInput, true) : 0;
        return count * static_cast<UInt32>(sizeof(AudioStreamRangedDescription));
    }
    default:
        return QzASPlugInObject::GetPropertyDataSize(objectID, clientProcessID, address, qualifierDataSize,
                                                     qualifierData);
    }
}

void QzASPlugInDevice::Stream_GetPropertyData(AudioObjectID objectID, pid_t clientProcessID,
                                              const AudioObjectPropertyAddress& address, UInt32 qualifierDataSize,
                                              const void* qualifierData, UInt32 dataSize, UInt32& outDataSize,
                                              void* outData) const
{
    VKIOTrace trace(nullptr, static_cast<int>(objectID));
    trace.trace4c("property", address.mSelector);
    const bool isInput = objectID == mObjectIDs[kInputStream];
    switch (address.mSelector) {
    case kAudioObjectPropertyBaseClass:
        needs(dataSize, 4, STREAM_SIZE_LINE("kAudioObjectPropertyBaseClass"));
        put(outData, outDataSize, kAudioObjectClassID);
        break;
    case kAudioObjectPropertyClass:
        needs(dataSize, 4, STREAM_SIZE_LINE("kAudioObjectPropertyClass"));
        put(outData, outDataSize, kAudioStreamClassID);
        break;
    case kAudioObjectPropertyOwner:
        needs(dataSize, 4, STREAM_SIZE_LINE("kAudioObjectPropertyOwner"));
        put(outData, outDataSize, GetObjectID());
        break;
    case kAudioStreamPropertyLatency:
        needs(dataSize, 4, STREAM_SIZE_LINE("kAudioStreamPropertyLatency"));
        put(outData, outDataSize, const_cast<QzASPlugInDevice*>(this)->getLatency(isInput));
        break;
    case kAudioStreamPropertyIsActive: {
        needs(dataSize, 4, STREAM_SIZE_LINE("kAudioStreamPropertyIsActive"));
        CAMutex::Locker locker(mStateMutex);
        put(outData, outDataSize, UInt32{mStreamIsActive[isInput ? 0 : 1] ? 1U : 0U});
        break;
    }
    case kAudioStreamPropertyStartingChannel:
        needs(dataSize, 4, STREAM_SIZE_LINE("kAudioStreamPropertyStartingChannel"));
        put(outData, outDataSize, UInt32{1});
        break;
    case kAudioStreamPropertyDirection:
        needs(dataSize, 4, STREAM_SIZE_LINE("kAudioStreamPropertyDirection"));
        put(outData, outDataSize, UInt32{isInput ? 1U : 0U});
        break;
    case kAudioStreamPropertyTerminalType:
        needs(dataSize, 4, STREAM_SIZE_LINE("kAudioStreamPropertyTerminalType"));
        put(outData, outDataSize, kAudioStreamTerminalTypeDigitalAudioInterface);
        break;
    case kAudioStreamPropertyPhysicalFormat: {
        needs(dataSize, sizeof(AudioStreamBasicDescription), STREAM_SIZE_LINE("kAudioStreamPropertyPhysicalFormat"));
        trace.trace("kAudioStreamPropertyPhysicalFormat Device, - isInput", static_cast<int>(objectID),
                    isInput ? 1 : 0);
        CAMutex::Locker locker(mStateMutex);
        AudioStreamBasicDescription format{};
        if (mDevice != nullptr) {
            mDevice->getStreamFormat(isInput, &format, true, isInput && NoInput() ? 0 : 0xFFFFFFFF);
        }
        put(outData, outDataSize, format);
        break;
    }
    case kAudioStreamPropertyAvailablePhysicalFormats: {
        trace.trace("kAudioStreamPropertyAvailablePhysicalFormats Device, - isInput", static_cast<int>(objectID),
                    isInput ? 1 : 0);
        // As many whole entries as both the buffer and the device's list hold.
        const UInt32 offered = mDevice != nullptr ? mDevice->getStreamFormatNum(isInput, true) : 0;
        const UInt32 wanted = std::min<UInt32>(dataSize / sizeof(AudioStreamRangedDescription), offered);
        outDataSize = 0;
        if (wanted != 0) {
            std::vector<AudioStreamRangedDescription> formats(offered);
            if (mDevice->getAvailableFormats(isInput, formats.data(), offered, true, 0xFFFFFFFF) == 0) {
                std::memcpy(outData, formats.data(), wanted * sizeof(AudioStreamRangedDescription));
                outDataSize = wanted * static_cast<UInt32>(sizeof(AudioStreamRangedDescription));
            }
        }
        break;
    }
    case kAudioStreamPropertyVirtualFormat:
        trace.trace("kAudioStreamPropertyVirtualFormat /! DISCARDED Device, - isInput", static_cast<int>(objectID),
                    isInput ? 1 : 0);
        outDataSize = 0;
        break;
    case kAudioStreamPropertyAvailableVirtualFormats:
        trace.trace("kAudioStreamPropertyAvailableVirtualFormats Device /! DISCARD, - isInput",
                    static_cast<int>(objectID), isInput ? 1 : 0);
        outDataSize = 0;
        break;
    default:
        QzASPlugInObject::GetPropertyData(objectID, clientProcessID, address, qualifierDataSize, qualifierData,
                                          dataSize, outDataSize, outData);
        break;
    }
}

// --- Controls

QzASPlugInDevice::ControlInfo QzASPlugInDevice::ControlOf(AudioObjectID objectID) const
{
    if (objectID == mObjectIDs[kInputVolume] || objectID == mObjectIDs[kOutputVolume]) {
        return {kAudioVolumeControlClassID, kAudioLevelControlClassID, objectID == mObjectIDs[kInputVolume]};
    }
    if (objectID == mObjectIDs[kInputMute] || objectID == mObjectIDs[kOutputMute]) {
        return {kAudioMuteControlClassID, kAudioBooleanControlClassID, objectID == mObjectIDs[kInputMute]};
    }
    return {kAudioDataSourceControlClassID, kAudioSelectorControlClassID, objectID == mObjectIDs[kInputDataSource]};
}

bool QzASPlugInDevice::Control_HasProperty(AudioObjectID objectID, pid_t clientProcessID,
                                           const AudioObjectPropertyAddress& address) const
{
    const ControlInfo control = ControlOf(objectID);
    if (address.mSelector == kAudioControlPropertyScope || address.mSelector == kAudioControlPropertyElement) {
        return isGlobalMain(address);
    }
    if (isLevelSelector(address.mSelector)) {
        return isGlobalMain(address) && CanVolume(control.isInput);
    }
    if (address.mSelector == kAudioBooleanControlPropertyValue) {
        return isGlobalMain(address) && control.classID == kAudioMuteControlClassID && CanMute(control.isInput);
    }
    if (isSelectorProperty(address.mSelector)) {
        return isGlobalMain(address) && control.classID == kAudioDataSourceControlClassID;
    }
    return QzASPlugInObject::HasProperty(objectID, clientProcessID, address);
}

bool QzASPlugInDevice::Control_IsPropertySettable(AudioObjectID objectID, pid_t clientProcessID,
                                                  const AudioObjectPropertyAddress& address) const
{
    const ControlInfo control = ControlOf(objectID);
    if (address.mSelector == kAudioControlPropertyScope || address.mSelector == kAudioControlPropertyElement) {
        return false;
    }
    if (isLevelSelector(address.mSelector)) {
        return CanVolume(control.isInput);
    }
    if (address.mSelector == kAudioBooleanControlPropertyValue) {
        return control.classID == kAudioMuteControlClassID && CanMute(control.isInput);
    }
    if (isSelectorProperty(address.mSelector)) {
        return true;
    }
    return QzASPlugInObject::IsPropertySettable(objectID, clientProcessID, address);
}

UInt32 QzASPlugInDevice::Control_GetPropertyDataSize(AudioObjectID objectID, pid_t clientProcessID,
                                                     const AudioObjectPropertyAddress& address,
                                                     UInt32 qualifierDataSize, const void* qualifierData) const
{
    const ControlInfo control = ControlOf(objectID);
    switch (address.mSelector) {
    case kAudioControlPropertyScope:
    case kAudioControlPropertyElement:
    case kAudioLevelControlPropertyScalarValue:
    case kAudioLevelControlPropertyDecibelValue:
    case kAudioLevelControlPropertyConvertScalarToDecibels:
    case kAudioLevelControlPropertyConvertDecibelsToScalar:
    case kAudioBooleanControlPropertyValue:
    case kAudioSelectorControlPropertyCurrentItem:
        return 4;
    case kAudioLevelControlPropertyDecibelRange:
        return sizeof(AudioValueRange);
    case kAudioSelectorControlPropertyAvailableItems:
        return 4 * DataSourceCount(control.isInput);
    case kAudioSelectorControlPropertyItemName:
        return sizeof(CFStringRef);
    default:
        return QzASPlugInObject::GetPropertyDataSize(objectID, clientProcessID, address, qualifierDataSize,
                                                     qualifierData);
    }
}

void QzASPlugInDevice::Control_GetPropertyData(AudioObjectID objectID, pid_t clientProcessID,
                                               const AudioObjectPropertyAddress& address, UInt32 qualifierDataSize,
                                               const void* qualifierData, UInt32 dataSize, UInt32& outDataSize,
                                               void* outData) const
{
    VKIOTrace trace(nullptr, static_cast<int>(objectID));
    trace.trace4c("selector", address.mSelector);
    const ControlInfo control = ControlOf(objectID);
    switch (address.mSelector) {
    case kAudioObjectPropertyBaseClass:
        needs(dataSize, 4, CONTROL_SIZE_LINE("kAudioObjectPropertyBaseClass"));
        put(outData, outDataSize, control.baseClassID);
        break;
    case kAudioObjectPropertyClass:
        needs(dataSize, 4, CONTROL_SIZE_LINE("kAudioObjectPropertyClass"));
        put(outData, outDataSize, control.classID);
        break;
    case kAudioObjectPropertyOwner:
        needs(dataSize, 4, CONTROL_SIZE_LINE("kAudioObjectPropertyOwner"));
        put(outData, outDataSize, GetObjectID());
        break;
    case kAudioControlPropertyScope:
        needs(dataSize, 4, CONTROL_SIZE_LINE("kAudioControlPropertyScope"));
        put(outData, outDataSize, control.isInput ? kAudioObjectPropertyScopeInput : kAudioObjectPropertyScopeOutput);
        break;
    case kAudioControlPropertyElement:
        needs(dataSize, 4, CONTROL_SIZE_LINE("kAudioControlPropertyElement"));
        put(outData, outDataSize, UInt32{0});
        break;
    case kAudioLevelControlPropertyScalarValue:
    case kAudioLevelControlPropertyDecibelValue: {
        const bool scalar = address.mSelector == kAudioLevelControlPropertyScalarValue;
        needs(dataSize, 4, scalar ? CONTROL_SIZE_LINE("kAudioLevelControlPropertyScalarValue")
                                  : CONTROL_SIZE_LINE("kAudioLevelControlPropertyDecibelValue"));
        CAMutex::Locker locker(mStateMutex);
        Float32 value = 0;
        if (!ReadVolume(control.isInput, scalar, value)) {
            // No value to give: a read reports nothing rather than what the buffer held.
            throw CAException(kAudioHardwareUnspecifiedError);
        }
        put(outData, outDataSize, value);
        break;
    }
    case kAudioLevelControlPropertyDecibelRange:
        needs(dataSize, sizeof(AudioValueRange), CONTROL_SIZE_LINE("kAudioLevelControlPropertyDecibelRange"));
        put(outData, outDataSize,
            AudioValueRange{mVolumeCurve.GetMinimumDB(), mVolumeCurve.GetMaximumDB()});
        break;
    case kAudioLevelControlPropertyConvertScalarToDecibels: {
        needs(dataSize, 4, CONTROL_SIZE_LINE("kAudioLevelControlPropertyConvertScalarToDecibels"));
        Float32 value = 0;
        std::memcpy(&value, outData, sizeof value);
        value = std::isfinite(value) ? std::clamp(value, 0.0F, 1.0F) : 0.0F;
        put(outData, outDataSize, mVolumeCurve.ConvertScalarToDB(value));
        break;
    }
    case kAudioLevelControlPropertyConvertDecibelsToScalar: {
        needs(dataSize, 4, CONTROL_SIZE_LINE("kAudioLevelControlPropertyConvertDecibelsToScalar"));
        Float32 value = 0;
        std::memcpy(&value, outData, sizeof value);
        value = std::isfinite(value) ? std::clamp(value, -96.0F, 0.0F) : -96.0F;
        put(outData, outDataSize, mVolumeCurve.ConvertDBToScalar(value));
        break;
    }
    case kAudioBooleanControlPropertyValue: {
        needs(dataSize, 4, CONTROL_SIZE_LINE("kAudioBooleanControlPropertyValue"));
        CAMutex::Locker locker(mStateMutex);
        UInt32 muted = 0;
        if (!ReadMute(control.isInput, muted)) {
            throw CAException(kAudioHardwareUnspecifiedError);
        }
        put(outData, outDataSize, muted);
        break;
    }
    case kAudioSelectorControlPropertyAvailableItems: {
        trace.trace("kAudioSelectorControlPropertyAvailableItems control", static_cast<int>(objectID));
        const UInt32 count = std::min(dataSize / 4, DataSourceCount(control.isInput));
        for (UInt32 item = 1; item <= count; ++item) {
            std::memcpy(static_cast<UInt8*>(outData) + (item - 1) * 4, &item, 4);
        }
        outDataSize = count * 4;
        break;
    }
    case kAudioSelectorControlPropertyCurrentItem: {
        needs(dataSize, 4, CONTROL_SIZE_LINE("kAudioSelectorControlPropertyCurrentItem"));
        trace.trace("kAudioSelectorControlPropertyCurrentItem control", static_cast<int>(objectID));
        CAMutex::Locker locker(mStateMutex);
        put(outData, outDataSize, mDataSourceCurrentItem[control.isInput ? 0 : 1]);
        break;
    }
    case kAudioSelectorControlPropertyItemName: {
        needs(dataSize, 8, CONTROL_SIZE_LINE("kAudioSelectorControlPropertyItemName"));
        if (qualifierDataSize != 4 || qualifierData == nullptr) {
            notice("QzASPlugInDevice::Control_GetPropertyData: wrong size for the qualifier of "
                   "kAudioSelectorControlPropertyItemName for the data source control");
            throw CAException(kAudioHardwareBadPropertySizeError);
        }
        UInt32 item = 0;
        std::memcpy(&item, qualifierData, sizeof item);
        item = std::min(item, DataSourceCount(control.isInput));
        const bool productName = item == 0 || QzASClassifyHost(clientProcessID) == QzASHostKind::systemUIServer;
        const std::string name = productName ? ProductName() : DataSourceName(control.isInput, item);
        put(outData, outDataSize, CFStringCreateWithCString(nullptr, name.c_str(), kCFStringEncodingASCII));
        break;
    }
    default:
        QzASPlugInObject::GetPropertyData(objectID, clientProcessID, address, qualifierDataSize, qualifierData,
                                          dataSize, outDataSize, outData);
        break;
    }
}
