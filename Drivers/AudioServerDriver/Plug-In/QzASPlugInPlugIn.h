// The plug-in object (identifier 1, class 'aplg'): the device list the audio server asks for, kept
// up to date from the kernel's device services (publish, termination, kernel state changes and
// system power, all delivered on the plug-in's serial queue), and the class-wide access to the
// host interface the audio server handed over at Initialize.
//
// Thread safety: property operations on the audio server's threads; notifications on the
// plug-in's queue (the first matching pass on the thread that called Initialize). mMutex guards
// the device list; lock order: mMutex before the object map's mutex. The host operations take no
// lock and work before and without the device list.
#pragma once

#include <atomic>
#include <vector>

#include "CADispatchQueue.h"
#include "CAMutex.h"
#include "IOKit/IOKitLib.h"
#include "QzASPlugInObject.h"

class QzASPlugInDeviceBase;

class QzASPlugInPlugIn : public QzASPlugInObject
{
public:
    // The plug-in object, made, mapped as 1 and activated on the first call; null when it could
    // not be made.
    static QzASPlugInPlugIn* GetInstance();

    void Activate() override;
    void Deactivate() override;

    bool HasProperty(AudioObjectID objectID, pid_t clientProcessID,
                     const AudioObjectPropertyAddress& address) const override;
    bool IsPropertySettable(AudioObjectID objectID, pid_t clientProcessID,
                            const AudioObjectPropertyAddress& address) const override;
    UInt32 GetPropertyDataSize(AudioObjectID objectID, pid_t clientProcessID,
                               const AudioObjectPropertyAddress& address, UInt32 qualifierDataSize,
                               const void* qualifierData) const override;
    void GetPropertyData(AudioObjectID objectID, pid_t clientProcessID, const AudioObjectPropertyAddress& address,
                         UInt32 qualifierDataSize, const void* qualifierData, UInt32 dataSize, UInt32& outDataSize,
                         void* outData) const override;
    void SetPropertyData(AudioObjectID objectID, pid_t clientProcessID, const AudioObjectPropertyAddress& address,
                         UInt32 qualifierDataSize, const void* qualifierData, UInt32 dataSize,
                         const void* data) override;

    // Device discovery; throws (and leaves nothing behind) when it cannot start. Starting twice
    // does nothing.
    void _StartDeviceListNotifications();
    void _StopDeviceListNotifications();

    void AddDevice(QzASPlugInDeviceBase* device);
    void RemoveDevice(QzASPlugInDeviceBase* device);
    // The listed device of a service with one more reference (release it), or null.
    QzASPlugInDeviceBase* CopyDeviceByIOObject(io_object_t service);
    // The listed devices' identifiers, in list order.
    std::vector<AudioObjectID> CopyDeviceList() const;

    static void IOServiceMatchingHandler(void* refcon, io_iterator_t iterator);
    static void IOServiceInterestHandler(void* refcon, io_service_t service, natural_t messageType, void* argument);

    // --- The host interface.
    static void SetHost(AudioServerPlugInHostRef host);
    static AudioServerPlugInHostRef GetHost();
    // The host's status; -1 (logged) without a host. The caller owns the returned list.
    static OSStatus CopyFromStorage(CFStringRef key, CFPropertyListRef* outData);
    // The host's status; -1 without a host or without data.
    static OSStatus WriteToStorage(CFStringRef key, CFPropertyListRef data);
    static void Host_PropertiesChanged(AudioObjectID objectID, UInt32 numberAddresses,
                                       const AudioObjectPropertyAddress* addresses);
    static void Host_RequestDeviceConfigurationChange(AudioObjectID deviceObjectID, UInt64 changeAction,
                                                      void* changeInfo);

    ~QzASPlugInPlugIn() override;

private:
    struct DeviceInfo
    {
        explicit DeviceInfo(AudioObjectID deviceObjectID) : mDeviceObjectID(deviceObjectID) {}
        AudioObjectID mDeviceObjectID;
        io_object_t mService = 0;              // the device's service, retained
        io_object_t mInterestNotification = 0; // general interest
        io_object_t mPowerStateNotification = 0;
        io_object_t mSystemPowerNotifier = 0;
        io_connect_t mRootPowerConnection = 0;
        IONotificationPortRef mPowerPort = nullptr; // made by the system-power registration
    };

    QzASPlugInPlugIn();
    void _AddDevice(QzASPlugInDeviceBase* device);
    void _RemoveDevice(QzASPlugInDeviceBase* device);
    QzASPlugInDeviceBase* _CopyDeviceByIOObject(io_object_t service);
    void _RemoveAllDevices();
    static void ReleaseDeviceInfo(DeviceInfo& info);

    static inline std::atomic<QzASPlugInPlugIn*> sInstance{nullptr};
    static inline std::atomic<AudioServerPlugInHostRef> sHost{nullptr};

    std::vector<DeviceInfo> mDeviceInfoList;            // guarded by mMutex
    IONotificationPortRef mNotificationPort = nullptr;  // matching; guarded by mMutex
    io_iterator_t mMatchingIterator = 0;                // guarded by mMutex
    CADispatchQueue mDispatchQueue{"QzASPlugInPlugIn"};
    mutable CAMutex mMutex{"QzASPlugInPlugIn"};
};
