// The smallest real device for the plug-in object's and the driver interface's tests: one per
// kernel device service, answering its UID from the service's registry and the object base's
// properties; it has no IO (every IO operation and configuration change says 'unop').
#include <atomic>

#include "CAException.h"
#include "QzASPlugInDeviceBase.h"
#include "QzASPlugInObjectMap.h"

namespace {

class TestDevice final : public QzASPlugInDeviceBase
{
public:
    TestDevice(AudioObjectID objectID, io_object_t service) : QzASPlugInDeviceBase(objectID), mService(service)
    {
        IOObjectRetain(mService);
        mStreamID = QzASPlugInObjectMap::GetNextObjectID();
    }
    ~TestDevice() override { IOObjectRelease(mService); }

    void Activate() override
    {
        QzASPlugInObjectMap::MapObject(mStreamID, this);
        QzASPlugInDeviceBase::Activate();
    }
    void Deactivate() override
    {
        QzASPlugInDeviceBase::Deactivate();
        QzASPlugInObjectMap::UnmapObject(mStreamID, this);
    }

    bool HasProperty(AudioObjectID objectID, pid_t pid, const AudioObjectPropertyAddress& address) const override
    {
        if (objectID == mObjectID && address.mSelector == kAudioDevicePropertyDeviceUID) {
            return true;
        }
        return QzASPlugInDeviceBase::HasProperty(objectID, pid, address);
    }
    UInt32 GetPropertyDataSize(AudioObjectID objectID, pid_t pid, const AudioObjectPropertyAddress& address,
                               UInt32 qualifierSize, const void* qualifier) const override
    {
        if (address.mSelector == kAudioDevicePropertyDeviceUID) {
            return sizeof(CFStringRef);
        }
        return QzASPlugInDeviceBase::GetPropertyDataSize(objectID, pid, address, qualifierSize, qualifier);
    }
    void GetPropertyData(AudioObjectID objectID, pid_t pid, const AudioObjectPropertyAddress& address,
                         UInt32 qualifierSize, const void* qualifier, UInt32 dataSize, UInt32& outDataSize,
                         void* outData) const override
    {
        ThrowIf(!IsActive(), kAudioHardwareNotRunningError);
        if (address.mSelector == kAudioDevicePropertyDeviceUID) {
            ThrowIf(dataSize < sizeof(CFStringRef), kAudioHardwareBadPropertySizeError);
            *static_cast<CFStringRef*>(outData) = CopyDeviceUID();
            outDataSize = sizeof(CFStringRef);
            return;
        }
        QzASPlugInDeviceBase::GetPropertyData(objectID, pid, address, qualifierSize, qualifier, dataSize,
                                              outDataSize, outData);
    }

    io_object_t GetIOKitObject() const override { return mService; }
    CFStringRef CopyDeviceUID() const override { return HW_CopyDeviceUID(mService); }
    UInt32 getDeviceState() const override { return 0; }
    void PropertyNotificationHandler(UInt32 messageType, void*) override
    {
        gNotifications.fetch_add(1);
        gLastMessage.store(messageType);
    }
    void PerformConfigChange(UInt64, void*) override { throw CAException(kAudioHardwareUnsupportedOperationError); }
    void AbortConfigChange(UInt64, void*) override { throw CAException(kAudioHardwareUnsupportedOperationError); }
    void StartIO() override { throw CAException(kAudioHardwareUnsupportedOperationError); }
    void StopIO() override { throw CAException(kAudioHardwareUnsupportedOperationError); }
    void GetZeroTimeStamp(Float64&, UInt64&, UInt64&) override
    {
        throw CAException(kAudioHardwareUnsupportedOperationError);
    }
    void WillDoIOOperation(UInt32, bool& willDo, bool& inPlace) const override
    {
        willDo = false;
        inPlace = true;
    }
    void BeginIOOperation(UInt32, UInt32, const AudioServerPlugInIOCycleInfo&) override {}
    OSStatus DoIOOperation(AudioObjectID, UInt32, UInt32, const AudioServerPlugInIOCycleInfo&, void*, void*) override
    {
        return kAudioHardwareUnsupportedOperationError;
    }
    void EndIOOperation(UInt32, UInt32, const AudioServerPlugInIOCycleInfo&) override {}

    static inline std::atomic<int> gNotifications{0};
    static inline std::atomic<int> gDiscarded{0};
    static inline std::atomic<UInt32> gLastMessage{0};

private:
    io_object_t mService;
    AudioObjectID mStreamID;
};

} // namespace

QzASPlugInDeviceBase* QzASPlugInDeviceBase::Create(AudioObjectID objectID, io_object_t service)
{
    return new TestDevice(objectID, service);
}

// The test device asks for no changes: a discarded record is counted, not freed.
void QzASPlugInDeviceBase::DiscardConfigChange(void* changeInfo)
{
    if (changeInfo != nullptr) {
        TestDevice::gDiscarded.fetch_add(1);
    }
}

int TestDeviceDiscardedChanges()
{
    return TestDevice::gDiscarded.load();
}

int TestDeviceNotifications()
{
    return TestDevice::gNotifications.load();
}

UInt32 TestDeviceLastMessage()
{
    return TestDevice::gLastMessage.load();
}
