// The client of the device manager: the legacy plug-in's driver object or the control
// application. Every call comes on the main run loop; no result is used.
#pragma once

#include <cstdint>

class VKOSXDevice;
struct QZ_StateChange;

class DeviceManagerClient
{
public:
    virtual ~DeviceManagerClient() = default;
    virtual void deviceRemoved(VKOSXDevice* device) = 0;
    virtual void deviceAdded(VKOSXDevice* device) = 0;
    virtual void onFramesizeChanged(VKOSXDevice*) {}
    virtual void onLatencyChanged(VKOSXDevice*) {}
    virtual void onFormatChanged(VKOSXDevice*) {}
    virtual void onFrequencyChanged(VKOSXDevice*) {}
    virtual void onVolumeChanged(VKOSXDevice*) {}
    virtual void onMuteChanged(VKOSXDevice*) {}
    virtual void onMonitorChanged(VKOSXDevice*) {}
    virtual void onDataSourceChanged(VKOSXDevice*) {}
    virtual void onDeviceStopped(VKOSXDevice*) {}
    virtual void onOtherClientAttached(VKOSXDevice*, uint32_t, uint32_t) {}
    virtual void onOtherClientDetached(VKOSXDevice*, uint32_t) {}
    virtual void onQZ_StateChange(VKOSXDevice*, const QZ_StateChange*) {}
};
