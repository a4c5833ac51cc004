// Finds the kernel's device services, makes one device per service, removes it when the service
// goes, and tells its client of both. It also classifies the process it runs in by name.
//
// Threads: everything runs on the main run loop, where IOKit's publish and terminate
// notifications for "VKKernelDevice" arrive. A device's IO thread hands its removal over with
// postRemoveDevice, which runs it there too.
#pragma once

#include <cstdint>
#include <string>

#include "CoreAudio/AudioHardwarePlugIn.h"
#include "CoreFoundation/CFRunLoop.h"
#include "IOKit/IOKitLib.h"
#include "VKCollection.h"

class DeviceManagerClient;
class VKOSXDevice;

class OSXDeviceManager
{
public:
    OSXDeviceManager(AudioHardwarePlugInRef plugIn, DeviceManagerClient* client, bool deferCallbacks);
    virtual ~OSXDeviceManager();
    OSXDeviceManager(const OSXDeviceManager&) = delete;
    OSXDeviceManager& operator=(const OSXDeviceManager&) = delete;

    int getCountDevices() const;
    VKOSXDevice* getDevice(int index) const;
    int getDeviceIndex(VKOSXDevice* device) const;
    VKOSXDevice* getDeviceFromService(io_service_t service) const;
    void enableCallbacks();
    void removeDevice(VKOSXDevice* device);
    void doRemoveDevice(VKOSXDevice* device);
    // From any thread: the device's removal, on the manager's run loop.
    void postRemoveDevice(VKOSXDevice* device);

    bool IsControlPanelOrAudioSetup() const { return m_appClass == 1 || m_appClass == 2; }
    bool allowCurrentSROnly() const { return m_appClass == 4; }
    uint32_t getClientAppType() const { return m_appClass; }
    // The host class of a process name (upper-cased inside).
    static uint32_t classify(const std::string& processName);
    static bool GetProcessNameFromPID(pid_t pid, char* buffer);

private:
    static void publishCallback(void* refcon, io_iterator_t iterator);
    static void terminateCallback(void* refcon, io_iterator_t iterator);
    void walkPublished(io_iterator_t iterator);
    void walkTerminated(io_iterator_t iterator);
    void notifyNewDevice(io_service_t service);

    bool m_deferred;
    AudioHardwarePlugInRef m_plugIn;
    VKCollection m_devices;
    DeviceManagerClient* m_client;
    CFRunLoopRef m_runLoop = nullptr;
    CFRunLoopSourceRef mRunLoopSource = nullptr; // the port's; not ours to release
    mach_port_t mMasterDevicePort = 0;
    IONotificationPortRef m_notifyPort = nullptr;
    io_iterator_t mServicePublishIterator = 0;
    io_iterator_t mServiceTerminateIterator = 0;
    bool m_firstScan = false;
    CFMutableDictionaryRef mMatchingDict = nullptr;
    uint32_t m_appClass = 17;
};
