// What the plug-in object and the driver interface need of a device: the operations they forward
// to it by identifier. QzASPlugInDevice implements them; the plug-in object makes devices through
// Create, which the device's own source defines.
//
// Every operation may raise CAException with the status for the host. The IO operations run on
// the audio server's IO thread, the others on its work threads and the plug-in's notification
// queue.
#pragma once

#include "IOKit/IOKitLib.h"
#include "QzASPlugInObject.h"

class QzASPlugInDeviceBase : public QzASPlugInObject
{
public:
    explicit QzASPlugInDeviceBase(AudioObjectID objectID)
        : QzASPlugInObject(objectID, kAudioDeviceClassID, kAudioObjectClassID, kAudioObjectPlugInObject)
    {
    }

    // A new device for a kernel device service, not yet mapped or active.
    static QzASPlugInDeviceBase* Create(AudioObjectID objectID, io_object_t service);
    // The service's "deviceUID" registry property (a new string), or null.
    static CFStringRef HW_CopyDeviceUID(io_object_t service);
    // Frees the record of a configuration change a device asked the host for, when the host
    // performs or aborts it after the device has gone (null: nothing).
    static void DiscardConfigChange(void* changeInfo);

    // The device's IOKit service.
    virtual io_object_t GetIOKitObject() const = 0;
    // A new copy of the device's UID, or null.
    virtual CFStringRef CopyDeviceUID() const = 0;
    // 2 while the device's kernel client is attached.
    virtual UInt32 getDeviceState() const = 0;
    // An interest message of the device's service: a kernel state change with its record, or a
    // system power message with a null argument.
    virtual void PropertyNotificationHandler(UInt32 messageType, void* argument) = 0;

    virtual void PerformConfigChange(UInt64 changeAction, void* changeInfo) = 0;
    virtual void AbortConfigChange(UInt64 changeAction, void* changeInfo) = 0;

    virtual void StartIO() = 0;
    virtual void StopIO() = 0;
    virtual void GetZeroTimeStamp(Float64& outSampleTime, UInt64& outHostTime, UInt64& outSeed) = 0;
    virtual void WillDoIOOperation(UInt32 operationID, bool& outWillDo, bool& outWillDoInPlace) const = 0;
    virtual void BeginIOOperation(UInt32 operationID, UInt32 ioBufferFrameSize,
                                  const AudioServerPlugInIOCycleInfo& ioCycleInfo) = 0;
    virtual OSStatus DoIOOperation(AudioObjectID streamObjectID, UInt32 operationID, UInt32 ioBufferFrameSize,
                                   const AudioServerPlugInIOCycleInfo& ioCycleInfo, void* ioMainBuffer,
                                   void* ioSecondaryBuffer) = 0;
    virtual void EndIOOperation(UInt32 operationID, UInt32 ioBufferFrameSize,
                                const AudioServerPlugInIOCycleInfo& ioCycleInfo) = 0;
};
