#include "QzASPlugInDriverInterface.h"

#include <cstring>

#include "CAException.h"
#include "QzASPlugInDeviceBase.h"
#include "QzASPlugInObjectMap.h"
#include "QzASPlugInPlugIn.h"
#include "VKIOTrace.h"
#include "platform/Log.h"
#include "platform/ProcessEnvironment.h"

namespace {

#define notice(...) platform::syslog(platform::log::kPriorityNotice, __VA_ARGS__)

// A failure inside becomes its status; anything that is not a CAException becomes 'what'.
template <class Body> OSStatus guarded(Body body)
{
    try {
        body();
        return kAudioHardwareNoError;
    } catch (const CAException& error) {
        return error.GetError();
    } catch (...) {
        return kAudioHardwareUnspecifiedError;
    }
}

void check(bool ok, OSStatus status, const char* line)
{
    if (!ok) {
        notice("%s", line);
        throw CAException(status);
    }
}

OSStatus ioResult(const char* operation, OSStatus status)
{
    if (status != kAudioHardwareNoError) {
        platform::syslog(platform::log::kPriorityError, "%s returns %X\n", operation, static_cast<unsigned>(status));
    }
    return status;
}

using DeviceReleaser = QzASPlugInObjectReleaser<QzASPlugInDeviceBase>;
using ObjectReleaser = QzASPlugInObjectReleaser<QzASPlugInObject>;

QzASPlugInDeviceBase* copyDevice(AudioObjectID deviceObjectID)
{
    return QzASPlugInObjectMap::CopyObjectOfClassByObjectID<QzASPlugInDeviceBase>(deviceObjectID);
}

HRESULT QzASPlugInQueryInterface(void* driver, REFIID uuid, LPVOID* outInterface);
ULONG QzASPlugInAddRef(void* driver);
ULONG QzASPlugInRelease(void* driver);
OSStatus QzASPlugInInitialize(AudioServerPlugInDriverRef driver, AudioServerPlugInHostRef host);
OSStatus QzASPlugInCreateDevice(AudioServerPlugInDriverRef driver, CFDictionaryRef description,
                                const AudioServerPlugInClientInfo* clientInfo, AudioObjectID* outDeviceObjectID);
OSStatus QzASPlugInDestroyDevice(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID);
OSStatus QzASPlugInAddDeviceClient(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID,
                                   const AudioServerPlugInClientInfo* clientInfo);
OSStatus QzASPlugInRemoveDeviceClient(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID,
                                      const AudioServerPlugInClientInfo* clientInfo);
OSStatus QzASPlugInPerformDeviceConfigurationChange(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID,
                                                    UInt64 changeAction, void* changeInfo);
OSStatus QzASPlugInAbortDeviceConfigurationChange(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID,
                                                  UInt64 changeAction, void* changeInfo);
Boolean QzASPlugInHasProperty(AudioServerPlugInDriverRef driver, AudioObjectID objectID, pid_t clientProcessID,
                              const AudioObjectPropertyAddress* address);
OSStatus QzASPlugInIsPropertySettable(AudioServerPlugInDriverRef driver, AudioObjectID objectID,
                                      pid_t clientProcessID, const AudioObjectPropertyAddress* address,
                                      Boolean* outIsSettable);
OSStatus QzASPlugInGetPropertyDataSize(AudioServerPlugInDriverRef driver, AudioObjectID objectID,
                                       pid_t clientProcessID, const AudioObjectPropertyAddress* address,
                                       UInt32 qualifierDataSize, const void* qualifierData, UInt32* outDataSize);
OSStatus QzASPlugInGetPropertyData(AudioServerPlugInDriverRef driver, AudioObjectID objectID, pid_t clientProcessID,
                                   const AudioObjectPropertyAddress* address, UInt32 qualifierDataSize,
                                   const void* qualifierData, UInt32 dataSize, UInt32* outDataSize, void* outData);
OSStatus QzASPlugInSetPropertyData(AudioServerPlugInDriverRef driver, AudioObjectID objectID, pid_t clientProcessID,
                                   const AudioObjectPropertyAddress* address, UInt32 qualifierDataSize,
                                   const void* qualifierData, UInt32 dataSize, const void* data);
OSStatus QzASPlugInStartIO(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID, UInt32 clientID);
OSStatus QzASPlugInStopIO(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID, UInt32 clientID);
OSStatus QzASPlugInGetZeroTimeStamp(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID, UInt32 clientID,
                                    Float64* outSampleTime, UInt64* outHostTime, UInt64* outSeed);
OSStatus QzASPlugInWillDoIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID,
                                     UInt32 clientID, UInt32 operationID, Boolean* outWillDo,
                                     Boolean* outWillDoInPlace);
OSStatus QzASPlugInBeginIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID,
                                    UInt32 clientID, UInt32 operationID, UInt32 ioBufferFrameSize,
                                    const AudioServerPlugInIOCycleInfo* ioCycleInfo);
OSStatus QzASPlugInDoIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID,
                                 AudioObjectID streamObjectID, UInt32 clientID, UInt32 operationID,
                                 UInt32 ioBufferFrameSize, const AudioServerPlugInIOCycleInfo* ioCycleInfo,
                                 void* ioMainBuffer, void* ioSecondaryBuffer);
OSStatus QzASPlugInEndIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID, UInt32 clientID,
                                  UInt32 operationID, UInt32 ioBufferFrameSize,
                                  const AudioServerPlugInIOCycleInfo* ioCycleInfo);

AudioServerPlugInDriverInterface gAudioServerPlugInDriverInterface = {
    nullptr,
    QzASPlugInQueryInterface,
    QzASPlugInAddRef,
    QzASPlugInRelease,
    QzASPlugInInitialize,
    QzASPlugInCreateDevice,
    QzASPlugInDestroyDevice,
    QzASPlugInAddDeviceClient,
    QzASPlugInRemoveDeviceClient,
    QzASPlugInPerformDeviceConfigurationChange,
    QzASPlugInAbortDeviceConfigurationChange,
    QzASPlugInHasProperty,
    QzASPlugInIsPropertySettable,
    QzASPlugInGetPropertyDataSize,
    QzASPlugInGetPropertyData,
    QzASPlugInSetPropertyData,
    QzASPlugInStartIO,
    QzASPlugInStopIO,
    QzASPlugInGetZeroTimeStamp,
    QzASPlugInWillDoIOOperation,
    QzASPlugInBeginIOOperation,
    QzASPlugInDoIOOperation,
    QzASPlugInEndIOOperation,
};
AudioServerPlugInDriverInterface* gAudioServerPlugInDriverInterfacePtr = &gAudioServerPlugInDriverInterface;
AudioServerPlugInDriverRef gAudioServerPlugInDriverRef = &gAudioServerPlugInDriverInterfacePtr;
UInt32 gAudioServerPlugInDriverRefCount = 1;

bool isDriver(const void* driver)
{
    return driver == gAudioServerPlugInDriverRef;
}

HRESULT QzASPlugInQueryInterface(void* driver, REFIID uuid, LPVOID* outInterface)
{
    VKIOTrace trace("QzASPlugInQueryInterface", driver);
    platform::printOut("QzASPlugInQueryInterface\n");
    if (!isDriver(driver)) {
        notice("QzASPlugInQueryInterface: bad driver reference");
        return kAudioHardwareBadObjectError;
    }
    if (outInterface == nullptr) {
        notice("QzASPlugInQueryInterface: no place to store the returned interface");
        return kAudioHardwareIllegalOperationError;
    }
    CFUUIDRef requested = CFUUIDCreateFromUUIDBytes(nullptr, uuid);
    if (requested == nullptr) {
        notice("QzASPlugInQueryInterface: failed to create the CFUUIDRef");
        return kAudioHardwareIllegalOperationError;
    }
    const bool supported =
        CFEqual(requested, IUnknownUUID) || CFEqual(requested, kAudioServerPlugInDriverInterfaceUUID);
    CFRelease(requested);
    if (!supported) {
        notice("QzASPlugInQueryInterface: requested interface is unsupported");
        return E_NOINTERFACE;
    }
    if (gAudioServerPlugInDriverRefCount == 0xFFFFFFFFU) {
        notice("QzASPlugInQueryInterface: the ref count is maxxed out");
        return E_NOINTERFACE;
    }
    ++gAudioServerPlugInDriverRefCount;
    *outInterface = gAudioServerPlugInDriverRef;
    return S_OK;
}

ULONG QzASPlugInAddRef(void* driver)
{
    VKIOTrace trace("QzASPlugInAddRef", driver);
    if (!isDriver(driver)) {
        notice("QzASPlugInAddRef: bad driver reference");
        return 0;
    }
    if (gAudioServerPlugInDriverRefCount == 0xFFFFFFFFU) {
        notice("QzASPlugInAddRef: out of references");
        return 0;
    }
    return ++gAudioServerPlugInDriverRefCount;
}

ULONG QzASPlugInRelease(void* driver)
{
    VKIOTrace trace("QzASPlugInRelease", driver);
    if (!isDriver(driver)) {
        notice("QzASPlugInRelease: bad driver reference");
        return 0;
    }
    if (gAudioServerPlugInDriverRefCount == 0) {
        notice("QzASPlugInRelease: out of references");
        return 0;
    }
    return --gAudioServerPlugInDriverRefCount;
}

OSStatus QzASPlugInInitialize(AudioServerPlugInDriverRef driver, AudioServerPlugInHostRef host)
{
    VKIOTrace trace("QzASPlugInInitialize", driver);
    return guarded([&] {
        check(isDriver(driver), kAudioHardwareBadObjectError, "QzASPlugInInitialize: bad driver reference");
        QzASPlugInPlugIn::SetHost(host);
        QzASPlugInPlugIn* plugIn = QzASPlugInPlugIn::GetInstance();
        ThrowIf(plugIn == nullptr, kAudioHardwareUnspecifiedError);
        plugIn->_StartDeviceListNotifications();
    });
}

OSStatus QzASPlugInCreateDevice(AudioServerPlugInDriverRef driver, CFDictionaryRef, const AudioServerPlugInClientInfo*,
                                AudioObjectID*)
{
    VKIOTrace trace("QzASPlugInCreateDevice", driver);
    return kAudioHardwareUnsupportedOperationError;
}

OSStatus QzASPlugInDestroyDevice(AudioServerPlugInDriverRef driver, AudioObjectID)
{
    VKIOTrace trace("QzASPlugInDestroyDevice", driver);
    return kAudioHardwareUnsupportedOperationError;
}

OSStatus QzASPlugInAddDeviceClient(AudioServerPlugInDriverRef driver, AudioObjectID,
                                   const AudioServerPlugInClientInfo* clientInfo)
{
    VKIOTrace trace(nullptr, driver);
    if (clientInfo == nullptr) {
        notice("QzASPlugInAddDeviceClient: no client info");
        return kAudioHardwareIllegalOperationError;
    }
    trace.trace("Client pid", static_cast<int>(clientInfo->mProcessID));
    trace.trace("Client ref", static_cast<int>(clientInfo->mClientID));
    const CFStringRef bundleID =
        clientInfo->mBundleID != nullptr && CFGetTypeID(clientInfo->mBundleID) == CFStringGetTypeID()
            ? clientInfo->mBundleID
            : nullptr;
    char bundleText[256] = "(null)";
    if (bundleID != nullptr && !CFStringGetCString(bundleID, bundleText, sizeof bundleText, kCFStringEncodingUTF8)) {
        std::strcpy(bundleText, "(not readable)");
    }
    platform::syslog(platform::log::kPriorityWarning, "QzASPlugInAddDeviceClient Bundle Ref: %s\n", bundleText);
    if (bundleID != nullptr && CFStringCompare(bundleID, CFSTR(kQzASPlugInRefusedClientBundleID),
                                               kCFCompareCaseInsensitive) == kCFCompareEqualTo) {
        platform::syslog(platform::log::kPriorityWarning, "QzASPlugInAddDeviceClient ITCH detected, returning an error\n");
        return kAudioHardwareNotRunningError;
    }
    return kAudioHardwareNoError;
}

OSStatus QzASPlugInRemoveDeviceClient(AudioServerPlugInDriverRef driver, AudioObjectID,
                                      const AudioServerPlugInClientInfo*)
{
    VKIOTrace trace(nullptr, driver);
    return kAudioHardwareNoError;
}

OSStatus QzASPlugInPerformDeviceConfigurationChange(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID,
                                                    UInt64 changeAction, void* changeInfo)
{
    VKIOTrace trace("QzASPlugInPerformDeviceConfigurationChange", driver);
    return guarded([&] {
        check(isDriver(driver), kAudioHardwareBadObjectError,
              "QzASPlugInPerformDeviceConfigurationChange: bad driver reference");
        DeviceReleaser device(copyDevice(deviceObjectID));
        if (!device.IsValid()) {
            // The record was the device's to free; the device is gone.
            QzASPlugInDeviceBase::DiscardConfigChange(changeInfo);
        }
        check(device.IsValid(), kAudioHardwareBadObjectError,
              "QzASPlugInPerformDeviceConfigurationChange: unknown device");
        device->PerformConfigChange(changeAction, changeInfo);
    });
}

OSStatus QzASPlugInAbortDeviceConfigurationChange(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID,
                                                  UInt64 changeAction, void* changeInfo)
{
    VKIOTrace trace("QzASPlugInAbortDeviceConfigurationChange", driver);
    return guarded([&] {
        check(isDriver(driver), kAudioHardwareBadObjectError,
              "QzASPlugInAbortDeviceConfigurationChange: bad driver reference");
        DeviceReleaser device(copyDevice(deviceObjectID));
        if (!device.IsValid()) {
            // The record was the device's to free; the device is gone.
            QzASPlugInDeviceBase::DiscardConfigChange(changeInfo);
        }
        check(device.IsValid(), kAudioHardwareBadObjectError,
              "QzASPlugInAbortDeviceConfigurationChange: unknown device");
        device->AbortConfigChange(changeAction, changeInfo);
    });
}

Boolean QzASPlugInHasProperty(AudioServerPlugInDriverRef driver, AudioObjectID objectID, pid_t clientProcessID,
                              const AudioObjectPropertyAddress* address)
{
    VKIOTrace trace(nullptr, driver);
    bool answer = false;
    guarded([&] {
        check(isDriver(driver), kAudioHardwareBadObjectError, "QzASPlugInHasProperty: bad driver reference");
        check(address != nullptr, kAudioHardwareIllegalOperationError, "QzASPlugInHasProperty: no address");
        ObjectReleaser object(QzASPlugInObjectMap::CopyObjectByObjectID(objectID));
        check(object.IsValid(), kAudioHardwareBadObjectError, "QzASPlugInHasProperty: unknown object");
        answer = object->HasProperty(objectID, clientProcessID, *address);
    });
    return answer ? 1 : 0;
}

OSStatus QzASPlugInIsPropertySettable(AudioServerPlugInDriverRef driver, AudioObjectID objectID,
                                      pid_t clientProcessID, const AudioObjectPropertyAddress* address,
                                      Boolean* outIsSettable)
{
    VKIOTrace trace(nullptr, driver);
    return guarded([&] {
        check(isDriver(driver), kAudioHardwareBadObjectError, "QzASPlugInIsPropertySettable: bad driver reference");
        check(address != nullptr, kAudioHardwareIllegalOperationError, "QzASPlugInIsPropertySettable: no address");
        check(outIsSettable != nullptr, kAudioHardwareIllegalOperationError,
              "QzASPlugInIsPropertySettable: no place to put the return value");
        ObjectReleaser object(QzASPlugInObjectMap::CopyObjectByObjectID(objectID));
        check(object.IsValid(), kAudioHardwareBadObjectError, "QzASPlugInIsPropertySettable: unknown object");
        ThrowIf(!object->HasProperty(objectID, clientProcessID, *address), kAudioHardwareUnknownPropertyError);
        *outIsSettable = object->IsPropertySettable(objectID, clientProcessID, *address) ? 1 : 0;
    });
}

OSStatus QzASPlugInGetPropertyDataSize(AudioServerPlugInDriverRef driver, AudioObjectID objectID,
                                       pid_t clientProcessID, const AudioObjectPropertyAddress* address,
                                       UInt32 qualifierDataSize, const void* qualifierData, UInt32* outDataSize)
{
    VKIOTrace trace(nullptr, driver);
    return guarded([&] {
        check(isDriver(driver), kAudioHardwareBadObjectError, "QzASPlugInGetPropertyDataSize: bad driver reference");
        check(address != nullptr, kAudioHardwareIllegalOperationError, "QzASPlugInGetPropertyDataSize: no address");
        check(outDataSize != nullptr, kAudioHardwareIllegalOperationError,
              "QzASPlugInGetPropertyDataSize: no place to put the return value");
        ObjectReleaser object(QzASPlugInObjectMap::CopyObjectByObjectID(objectID));
        check(object.IsValid(), kAudioHardwareBadObjectError, "QzASPlugInGetPropertyDataSize: unknown object");
        ThrowIf(!object->HasProperty(objectID, clientProcessID, *address), kAudioHardwareUnknownPropertyError);
        *outDataSize =
            object->GetPropertyDataSize(objectID, clientProcessID, *address, qualifierDataSize, qualifierData);
    });
}

OSStatus QzASPlugInGetPropertyData(AudioServerPlugInDriverRef driver, AudioObjectID objectID, pid_t clientProcessID,
                                   const AudioObjectPropertyAddress* address, UInt32 qualifierDataSize,
                                   const void* qualifierData, UInt32 dataSize, UInt32* outDataSize, void* outData)
{
    VKIOTrace trace(nullptr, driver);
    return guarded([&] {
        check(isDriver(driver), kAudioHardwareBadObjectError, "QzASPlugInGetPropertyData: bad driver reference");
        check(address != nullptr, kAudioHardwareIllegalOperationError, "QzASPlugInGetPropertyData: no address");
        trace.trace4c("property", address->mSelector);
        check(outDataSize != nullptr, kAudioHardwareIllegalOperationError,
              "QzASPlugInGetPropertyData: no place to put the return value size");
        check(outData != nullptr, kAudioHardwareIllegalOperationError,
              "QzASPlugInGetPropertyData: no place to put the return value");
        ObjectReleaser object(QzASPlugInObjectMap::CopyObjectByObjectID(objectID));
        check(object.IsValid(), kAudioHardwareBadObjectError, "QzASPlugInGetPropertyData: unknown object");
        ThrowIf(!object->HasProperty(objectID, clientProcessID, *address), kAudioHardwareUnknownPropertyError);
        UInt32 written = 0;
        object->GetPropertyData(objectID, clientProcessID, *address, qualifierDataSize, qualifierData, dataSize,
                                written, outData);
        *outDataSize = written;
    });
}

OSStatus QzASPlugInSetPropertyData(AudioServerPlugInDriverRef driver, AudioObjectID objectID, pid_t clientProcessID,
                                   const AudioObjectPropertyAddress* address, UInt32 qualifierDataSize,
                                   const void* qualifierData, UInt32 dataSize, const void* data)
{
    VKIOTrace trace(nullptr, driver);
    return guarded([&] {
        check(isDriver(driver), kAudioHardwareBadObjectError, "QzASPlugInSetPropertyData: bad driver reference");
        check(address != nullptr, kAudioHardwareIllegalOperationError, "QzASPlugInSetPropertyData: no address");
        trace.trace4c("property", address->mSelector);
        ObjectReleaser object(QzASPlugInObjectMap::CopyObjectByObjectID(objectID));
        check(object.IsValid(), kAudioHardwareBadObjectError, "QzASPlugInSetPropertyData: unknown object");
        check(object->IsActive(), kAudioHardwareNotRunningError, "QzASPlugInSetPropertyData: unknown object");
        ThrowIf(!object->HasProperty(objectID, clientProcessID, *address), kAudioHardwareUnknownPropertyError);
        ThrowIf(!object->IsPropertySettable(objectID, clientProcessID, *address),
                kAudioHardwareUnsupportedOperationError);
        object->SetPropertyData(objectID, clientProcessID, *address, qualifierDataSize, qualifierData, dataSize, data);
    });
}

OSStatus QzASPlugInStartIO(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID, UInt32 clientID)
{
    VKIOTrace trace("QzASPlugInStartIO", driver);
    trace.trace("StartIOrequested by", static_cast<int>(clientID));
    const OSStatus status = guarded([&] {
        check(isDriver(driver), kAudioHardwareBadObjectError, "QzASPlugInStartIO: bad driver reference");
        DeviceReleaser device(copyDevice(deviceObjectID));
        check(device.IsValid(), kAudioHardwareBadObjectError, "QzASPlugInStartIO: unknown device");
        device->StartIO();
    });
    trace.trace("returns", static_cast<int>(status));
    return status;
}

OSStatus QzASPlugInStopIO(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID, UInt32)
{
    VKIOTrace trace("QzASPlugInStopIO", driver);
    const OSStatus status = guarded([&] {
        check(isDriver(driver), kAudioHardwareBadObjectError, "QzASPlugInStopIO: bad driver reference");
        DeviceReleaser device(copyDevice(deviceObjectID));
        check(device.IsValid(), kAudioHardwareBadObjectError, "QzASPlugInStopIO: unknown device");
        device->StopIO();
    });
    trace.trace("returns", static_cast<int>(status));
    return status;
}

OSStatus QzASPlugInGetZeroTimeStamp(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID, UInt32,
                                    Float64* outSampleTime, UInt64* outHostTime, UInt64* outSeed)
{
    VKIOTrace trace(nullptr, driver);
    const OSStatus status = guarded([&] {
        check(isDriver(driver), kAudioHardwareBadObjectError, "QzASPlugInGetZeroTimeStamp: bad driver reference");
        check(outSampleTime != nullptr, kAudioHardwareIllegalOperationError,
              "QzASPlugInGetZeroTimeStamp: no place to put the sample time");
        check(outHostTime != nullptr, kAudioHardwareIllegalOperationError,
              "QzASPlugInGetZeroTimeStamp: no place to put the host time");
        check(outSeed != nullptr, kAudioHardwareIllegalOperationError,
              "QzASPlugInGetZeroTimeStamp: no place to put the seed");
        DeviceReleaser device(copyDevice(deviceObjectID));
        check(device.IsValid(), kAudioHardwareBadObjectError, "QzASPlugInGetZeroTimeStamp: unknown device");
        device->GetZeroTimeStamp(*outSampleTime, *outHostTime, *outSeed);
    });
    return ioResult("QzASPlugInGetZeroTimeStamp", status);
}

OSStatus QzASPlugInWillDoIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID, UInt32,
                                     UInt32 operationID, Boolean* outWillDo, Boolean* outWillDoInPlace)
{
    VKIOTrace trace(nullptr, driver);
    const OSStatus status = guarded([&] {
        check(isDriver(driver), kAudioHardwareBadObjectError, "QzASPlugInWillDoIOOperation: bad driver reference");
        check(outWillDo != nullptr, kAudioHardwareIllegalOperationError,
              "QzASPlugInWillDoIOOperation: no place to put the will-do return value");
        check(outWillDoInPlace != nullptr, kAudioHardwareIllegalOperationError,
              "QzASPlugInWillDoIOOperation: no place to put the in-place return value");
        DeviceReleaser device(copyDevice(deviceObjectID));
        check(device.IsValid(), kAudioHardwareBadObjectError, "QzASPlugInWillDoIOOperation: unknown device");
        bool willDo = false;
        bool inPlace = true;
        device->WillDoIOOperation(operationID, willDo, inPlace);
        *outWillDo = willDo ? 1 : 0;
        *outWillDoInPlace = inPlace ? 1 : 0;
    });
    return ioResult("QzASPlugInWillDoIOOperation", status);
}

OSStatus QzASPlugInBeginIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID, UInt32,
                                    UInt32 operationID, UInt32 ioBufferFrameSize,
                                    const AudioServerPlugInIOCycleInfo* ioCycleInfo)
{
    VKIOTrace trace(nullptr, driver);
    const OSStatus status = guarded([&] {
        check(isDriver(driver), kAudioHardwareBadObjectError, "QzASPlugInBeginIOOperation: bad driver reference");
        check(ioCycleInfo != nullptr, kAudioHardwareIllegalOperationError, "QzASPlugInBeginIOOperation: no cycle info");
        DeviceReleaser device(copyDevice(deviceObjectID));
        check(device.IsValid(), kAudioHardwareBadObjectError, "QzASPlugInBeginIOOperation: unknown device");
        check(device->getDeviceState() == 2, kAudioHardwareNotRunningError,
              "QzASPlugInBeginIOOperation: device not attached");
        device->BeginIOOperation(operationID, ioBufferFrameSize, *ioCycleInfo);
    });
    return ioResult("QzASPlugInBeginIOOperation", status);
}

// The device's own status is handed on: a read it could not do leaves the buffer unfilled, which
// the audio server must not take for input.
OSStatus QzASPlugInDoIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID,
                                 AudioObjectID streamObjectID, UInt32, UInt32 operationID, UInt32 ioBufferFrameSize,
                                 const AudioServerPlugInIOCycleInfo* ioCycleInfo, void* ioMainBuffer,
                                 void* ioSecondaryBuffer)
{
    VKIOTrace trace(nullptr, driver);
    const OSStatus status = guarded([&] {
        check(isDriver(driver), kAudioHardwareBadObjectError, "QzASPlugInDoIOOperation: bad driver reference");
        check(ioCycleInfo != nullptr, kAudioHardwareIllegalOperationError, "QzASPlugInDoIOOperation: no cycle info");
        DeviceReleaser device(copyDevice(deviceObjectID));
        check(device.IsValid(), kAudioHardwareBadObjectError, "QzASPlugInDoIOOperation: unknown device");
        check(device->getDeviceState() == 2, kAudioHardwareNotRunningError,
              "QzASPlugInDoIOOperation: device not attached");
        const OSStatus result = device->DoIOOperation(streamObjectID, operationID, ioBufferFrameSize, *ioCycleInfo,
                                                      ioMainBuffer, ioSecondaryBuffer);
        ThrowIf(result != kAudioHardwareNoError, result);
    });
    return ioResult("QzASPlugInDoIOOperation", status);
}

OSStatus QzASPlugInEndIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID, UInt32,
                                  UInt32 operationID, UInt32 ioBufferFrameSize,
                                  const AudioServerPlugInIOCycleInfo* ioCycleInfo)
{
    VKIOTrace trace(nullptr, driver);
    const OSStatus status = guarded([&] {
        check(isDriver(driver), kAudioHardwareBadObjectError, "QzASPlugInEndIOOperation: bad driver reference");
        check(ioCycleInfo != nullptr, kAudioHardwareIllegalOperationError, "QzASPlugInEndIOOperation: no cycle info");
        DeviceReleaser device(copyDevice(deviceObjectID));
        check(device.IsValid(), kAudioHardwareBadObjectError, "QzASPlugInEndIOOperation: unknown device");
        device->EndIOOperation(operationID, ioBufferFrameSize, *ioCycleInfo);
    });
    return ioResult("QzASPlugInEndIOOperation", status);
}

} // namespace

extern "C" void* QzASPlugInCreate(CFAllocatorRef, CFUUIDRef requestedTypeUUID)
{
    platform::syslog(platform::log::kPriorityWarning, "QzASPlugInCreate\n");
    if (requestedTypeUUID == nullptr || !CFEqual(requestedTypeUUID, kAudioServerPlugInTypeUUID)) {
        return nullptr;
    }
    // Before release 13 the legacy plug-in serves the devices.
    if (platform::process::darwinMajorRelease() < 13) {
        return nullptr;
    }
    if (QzASPlugInPlugIn::GetInstance() == nullptr) {
        return nullptr;
    }
    return gAudioServerPlugInDriverRef;
}

AudioServerPlugInDriverRef QzASPlugInDriverRef()
{
    return gAudioServerPlugInDriverRef;
}

UInt32 QzASPlugInDriverRefCount()
{
    return gAudioServerPlugInDriverRefCount;
}
