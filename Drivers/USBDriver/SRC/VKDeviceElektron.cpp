// Elektron devices: the channel map sent to the two streaming interfaces, the map with a stream
// configuration, and the device's name.
#include "VKDevice.h"

#include <IOKit/IOLib.h>

#include <cstring>

#include "StateChange.h"
#include "VKDeviceOwner.h"
#include "VKUSBDescriptors.h"

namespace {

constexpr uint8_t kElektronMapRequest = 0x01;
constexpr uint8_t kElektronNameRequest = 0x01;
constexpr int kElektronMapRetries = 2;
constexpr int kElektronNameRetries = 5;

} // namespace

void VKDevice::setElektronChannelMap(const QZ_Elektron_ChannelMap& map, bool send)
{
    if (mpDriverSM == nullptr) {
        return;
    }
    std::memcpy(&mpDriverSM->mElektronMap, &map, sizeof(QZ_Elektron_ChannelMap));
    if (send) {
        sendElektronChannelMap();
    }
    const QzChannelSettings& settings = mSettings;
    QZ_Elektron_ConfigAndMap published{};
    published.mConfiguration.mSampleRate = 48000;
    published.mConfiguration.mInChannels = static_cast<uint32_t>(settings.iInChannels);
    published.mConfiguration.mInResolution = static_cast<uint32_t>(settings.iInResolution);
    published.mConfiguration.mOutChannels = static_cast<uint32_t>(settings.iOutChannels);
    published.mConfiguration.mOutResolution = static_cast<uint32_t>(settings.iOutResolution);
    published.mMap = map;
    mOwner.setProperty("ElektronMapping", &published, sizeof(published));
    stcNotify(STC_ElektronChannelMap, 0);
}

void VKDevice::sendElektronChannelMap()
{
    if (mpDriverSM == nullptr) {
        return;
    }
    // The shared block is anyone's: one copy is read, and only each entry's low byte is sent.
    QZ_Elektron_ChannelMap map{};
    std::memcpy(&map, &mpDriverSM->mElektronMap, sizeof map);
    const VKInterfaceDescriptor* interfaces[2] = {mChosen.inInterface, mChosen.outInterface};
    const uint32_t* entries[2] = {map.mInputMap, map.mOutputMap};
    for (int i = 0; i < 2; ++i) {
        if (interfaces[i] == nullptr) {
            continue;
        }
        uint8_t bytes[QZ_Elektron_ChannelMap::kNumEntries];
        for (unsigned k = 0; k < QZ_Elektron_ChannelMap::kNumEntries; ++k) {
            bytes[k] = static_cast<uint8_t>(entries[i][k] & 0xFF);
        }
        UInt32 length = sizeof bytes;
        mOwner.deviceRequest(kVKDirectionOut, kVKTypeVendor, kVKRecipientInterface, kElektronMapRequest, 0,
                             interfaces[i]->getInterfaceNumber(), bytes, length, kElektronMapRetries);
    }
}

void VKDevice::getElektronChannelMap(QZ_Elektron_ChannelMap& map) const
{
    if (mpDriverSM == nullptr) {
        map = QZ_Elektron_ChannelMap{};
        return;
    }
    std::memcpy(&map, &mpDriverSM->mElektronMap, sizeof map);
}

void VKDevice::getElektronConfigAndChannelMap(QZ_Elektron_ConfigAndMap& cfg)
{
    const QzChannelSettings& s = mSettings;
    cfg.mConfiguration.mSampleRate = static_cast<uint32_t>(s.iFrequency);
    cfg.mConfiguration.mInChannels = static_cast<uint32_t>(s.iInChannels);
    cfg.mConfiguration.mInResolution = static_cast<uint32_t>(s.iInResolution);
    cfg.mConfiguration.mOutChannels = static_cast<uint32_t>(s.iOutChannels);
    cfg.mConfiguration.mOutResolution = static_cast<uint32_t>(s.iOutResolution);
    getElektronChannelMap(cfg.mMap);
}

void VKDevice::setElektronConfigAndChannelMap(const QZ_Elektron_ConfigAndMap& cfg)
{
    setElektronChannelMap(cfg.mMap, false);
    mSettings.iFrequency = static_cast<int32_t>(cfg.mConfiguration.mSampleRate);
    mSettings.iInChannels = static_cast<int32_t>(cfg.mConfiguration.mInChannels);
    mSettings.iInResolution = static_cast<int32_t>(cfg.mConfiguration.mInResolution);
    mSettings.iOutChannels = static_cast<int32_t>(cfg.mConfiguration.mOutChannels);
    mSettings.iOutResolution = static_cast<int32_t>(cfg.mConfiguration.mOutResolution);
    mirrorSettings();
    IOLog("USB: %s %d\n", "In Channels", mSettings.iInChannels);
    IOLog("USB: %s %d\n", "In Resolution", mSettings.iInResolution);
    handleStreamBroken(2);
}

IOReturn VKDevice::setElektronDeviceName(const char* name)
{
    constexpr size_t kNameSize = sizeof(ElektronDeviceName);
    if (name == nullptr) {
        return kIOReturnBadArgument;
    }
    const size_t length = strnlen(name, kNameSize);
    if (length == 0 || length >= kNameSize) {
        return kIOReturnBadArgument;
    }
    char bytes[kNameSize] = {};
    std::memcpy(bytes, name, length);
    UInt32 size = kNameSize;
    const IOReturn status = mOwner.deviceRequest(kVKDirectionOut, kVKTypeVendor, kVKRecipientDevice,
                                                 kElektronNameRequest, 0, 0, bytes, size, kElektronNameRetries);
    if (status != kIOReturnSuccess) {
        // The stored name stays; the caller is told the device refused it.
        IOLog("USB: %s 0x%X\n", "setElektronDeviceName failed with status", static_cast<unsigned>(status));
        return status;
    }
    std::memcpy(ElektronDeviceName, bytes, kNameSize);
    mOwner.setProperty("ElektronDeviceName", ElektronDeviceName, kNameSize);
    stcNotify(STC_ElektronDeviceName, 0);
    return kIOReturnSuccess;
}
