// What the property answers ask of the device beyond its fields: names, identity, controls and
// data sources, and the custom writes. Volumes, mutes, data-source names and most custom
// features need the device layer's control and command access; where the layer does not offer
// them a control has no value property and a custom feature answers 'unop' with a line.
#include <cstring>
#include <string>

#include "CAException.h"
#include "QzASPlugInDevice.h"
#include "platform/Log.h"

namespace {

#define notice(...) platform::syslog(platform::log::kPriorityNotice, __VA_ARGS__)

constexpr OSStatus kIOReturnInternalErrorStatus = static_cast<OSStatus>(0xE00002C9);

struct CustomWrite
{
    AudioObjectPropertySelector selector;
    const char* name;
    CFTypeID (*type)();
    bool available; // the device layer carries it out
};

const CustomWrite kCustomWrites[] = {
    {audioFourCC("QzMM"), "kQzAudioCustomPropertyMixerMode", CFNumberGetTypeID, false},
    {audioFourCC("QzMF"), "kQzAudioCustomPropertyMixerFractions", CFDictionaryGetTypeID, false},
    {audioFourCC("QzSV"), "kQzAudioCustomPropertySettingsValues", CFDictionaryGetTypeID, false},
    {audioFourCC("QzSt"), "kQzAudioCustomPropertyStreamingStatus", CFNumberGetTypeID, false},
    {audioFourCC("QzDM"), "kQzAudioCustomPropertyDigitalOutMode", CFNumberGetTypeID, false},
    {audioFourCC("QzRo"), "kQzAudioCustomPropertyRouting", CFDataGetTypeID, false},
    {audioFourCC("QzFM"), "kQzAudioCustomPropertyFootSwitchMode", CFNumberGetTypeID, false},
    {audioFourCC("QzFP"), "kQzAudioCustomPropertyFootSwitchProtocol", CFNumberGetTypeID, false},
    // The device has no mixer or reverb buffers to send: the write is taken and changes nothing.
    {audioFourCC("QzMB"), "kQzAudioCustomPropertyMixerBuffer", CFDataGetTypeID, true},
    {audioFourCC("QzRB"), "kQzAudioCustomPropertyReverbBuffers", CFDataGetTypeID, true},
    {audioFourCC("QzRM"), "kQzAudioCustomPropertyRoutingMatrix", CFDataGetTypeID, false},
    {audioFourCC("QzU1"), "kQzAudioCustomPropertyUSB1Mode", CFNumberGetTypeID, false},
    {audioFourCC("QzOS"), "kQzAudioCustomPropertyDigitalOutSelector", CFNumberGetTypeID, false},
};

const CustomWrite* findWrite(AudioObjectPropertySelector selector)
{
    for (const CustomWrite& write : kCustomWrites) {
        if (write.selector == selector) {
            return &write;
        }
    }
    return nullptr;
}

} // namespace

const std::string& QzASPlugInDevice::ProductName() const
{
    return mNames[0];
}

const std::string& QzASPlugInDevice::ManufacturerName() const
{
    return mNames[1];
}

UInt16 QzASPlugInDevice::VendorID() const
{
    UInt16 vendor = 0;
    if (mDevice != nullptr) {
        std::memcpy(&vendor, &mDevice->getDeviceInfo(), sizeof vendor);
    }
    return vendor;
}

UInt16 QzASPlugInDevice::ProductID() const
{
    UInt16 product = 0;
    if (mDevice != nullptr) {
        std::memcpy(&product, reinterpret_cast<const UInt8*>(&mDevice->getDeviceInfo()) + 2, sizeof product);
    }
    return product;
}

bool QzASPlugInDevice::NoInput() const
{
    return mReported.iInChannels <= 0;
}

CFStringRef QzASPlugInDevice::ChannelName(bool isInput, UInt32 element) const
{
    char name[32];
    if (element == 0) {
        std::snprintf(name, sizeof name, "%s", isInput ? "Master IN" : "Master OUT");
    } else {
        std::snprintf(name, sizeof name, "%s %u", isInput ? "IN" : "OUT", element);
    }
    return CFStringCreateWithCString(nullptr, name, kCFStringEncodingASCII);
}

bool QzASPlugInDevice::CanVolume(bool) const
{
    return false;
}

bool QzASPlugInDevice::CanMute(bool) const
{
    return false;
}

bool QzASPlugInDevice::ReadVolume(bool, bool, Float32&) const
{
    return false;
}

bool QzASPlugInDevice::ReadMute(bool, UInt32&) const
{
    return false;
}

void QzASPlugInDevice::WriteVolume(bool, Float32)
{
    notice("QzASPlugInDevice::Control_SetPropertyData: the device layer offers no volume control");
    throw CAException(kAudioHardwareUnsupportedOperationError);
}

void QzASPlugInDevice::WriteMute(bool, bool)
{
    notice("QzASPlugInDevice::Control_SetPropertyData: the device layer offers no mute control");
    throw CAException(kAudioHardwareUnsupportedOperationError);
}

UInt32 QzASPlugInDevice::DataSourceCount(bool isInput) const
{
    return mDataSourceItemCount[isInput ? 0 : 1];
}

std::string QzASPlugInDevice::DataSourceName(bool, UInt32) const
{
    return ProductName();
}

bool QzASPlugInDevice::Device_IsCustomWrite(AudioObjectPropertySelector selector) const
{
    return findWrite(selector) != nullptr;
}

void QzASPlugInDevice::Device_SetCustomPropertyData(AudioObjectPropertySelector selector, UInt32 dataSize,
                                                    const void* data)
{
    const CustomWrite* write = findWrite(selector);
    if (write == nullptr) {
        throw CAException(kAudioHardwareUnknownPropertyError);
    }
    if (dataSize < sizeof(CFTypeRef)) {
        notice("SA_Device::Device_SetPropertyData: not enough space for the return value of %s for the device",
               write->name);
        throw CAException(kAudioHardwareBadPropertySizeError);
    }
    if (data == nullptr) {
        notice("QzASPlugInDevice::Device_SetPropertyData: data null for %s for the device", write->name);
        throw CAException(kIOReturnInternalErrorStatus);
    }
    CFTypeRef value = nullptr;
    std::memcpy(&value, data, sizeof value);
    if (value == nullptr || CFGetTypeID(value) != write->type()) {
        notice("QzASPlugInDevice::Device_SetPropertyData: wrong kind of value for %s for the device", write->name);
        throw CAException(kAudioDeviceUnsupportedFormatError);
    }
    if (!write->available) {
        notice("QzASPlugInDevice::Device_SetPropertyData: %s is not available from the device layer", write->name);
        throw CAException(kAudioHardwareUnsupportedOperationError);
    }
}

CAVolumeCurve QzASPlugInDevice::MakeVolumeCurve()
{
    CAVolumeCurve curve;
    curve.AddRange(0, 96, -96.0F, 0.0F);
    return curve;
}
