// One kernel device service as an audio server device: its kernel connection (the audio server
// client, type 3) and the user-mode device layer's feature methods through one VKOSXDevice, the
// cross-process configuration claim, the IO cycle between the host's buffers and the kernel's
// rings with zero time stamps anchored in the input ring, configuration changes carried out
// inside the host's change call, latencies and safety offsets, and the kernel's state-change and
// power messages.
//
// Threads and locks: Activate and the notification handlers run on the plug-in's queue; StartIO,
// StopIO and PerformConfigChange on the host's threads under "Device State"; the IO operations on
// the host's IO thread under "Device IO", which every map and unmap of the rings also takes, so a
// cycle never sees a ring go away under it. Configuration-change requests are never made on the
// thread that noticed the change: they are queued on the global serial queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "AudioSM.h"
#include "CAMutex.h"
#include "CAVolumeCurve.h"
#include "CoreAudio/AudioServerPlugIn.h"
#include "ElektronChannelMap.h"
#include "PropertyItem.h"
#include "QzASHostKind.h"
#include "QzASLatencies.h"
#include "QzASModelRules.h"
#include "QzASPlugInIOKit.h"
#include "QzASPlugInDeviceBase.h"
#include "QzASZeroTimeStamp.h"
#include "QzStoragePrefs.h"
#include "StateChange.h"
#include "VKOSXDevice.h"

class OSXAsioRegistry;
class QzIORegistryPrefs;
class QzASPlugInDevice;

// What the device asks of the plug-in object and, through it, the audio server.
class QzASDeviceHost
{
public:
    virtual ~QzASDeviceHost() = default;
    virtual void PropertiesChanged(AudioObjectID objectID, UInt32 count, const AudioObjectPropertyAddress* addresses) = 0;
    virtual void RequestDeviceConfigurationChange(AudioObjectID deviceID, UInt64 action, void* changeInfo) = 0;
    // The host's storage; null without a host.
    virtual QzASHostStorage* Storage() = 0;
    // Takes the device out of the plug-in's list (the kernel withdrew it); false when the plug-in
    // is gone.
    virtual bool WithdrawDevice(QzASPlugInDevice* device) = 0;
};

// Configuration-change action codes.
enum : UInt64
{
    kQzConfigWakeUp = 0,
    kQzConfigChangeSampleRate = 1,
    kQzConfigChangePhysicalFormat = 2,
    kQzConfigChangePhysicalFormatOut = 3,
    kQzConfigChangeNewConfig = 4,
    kQzConfigChangeMixerMode = 5,
    kQzConfigChangeInputDataSource = 6,
    kQzConfigChangeOutputDataSource = 7,
    kQzConfigChangeDigitalOutMode = 8,
    kQzConfigChangeClockSource = 9,
    kQzConfigChangeElektron = 10,
    kQzConfigChangeElektronMap = 11,
};

// What one configuration-change request carries; each request has its own, freed when the host
// performs or aborts it.
struct QzASConfigChange
{
    bool isInput = false;
    UInt64 sampleRate = 0;
    AudioStreamBasicDescription format{};
    UInt32 value = 0;
    // A client's write, to be sent to the device; without it the device has already changed
    // (the kernel told) and `value` is what it now has.
    bool fromClient = false;
};

class QzASPlugInDevice : public QzASPlugInDeviceBase, public PropertyItemHost, public QzStoragePrefs,
                         public QzASTimeStampSource
{
public:
    static constexpr uint32_t kDeviceSMSize = 30'488;
    static constexpr uint32_t kRingSize = 540'656;
    // Hardware states.
    static constexpr uint32_t kClosed = 0;
    static constexpr uint32_t kRingsMapped = 1;
    static constexpr uint32_t kAttached = 2;
    // The largest host IO buffer a cycle takes.
    static constexpr uint32_t kMaxIOFrames = 4'096;

    // Takes eight identifiers from the object map for its two streams and six controls (first
    // stream, second stream, volumes, selectors, mutes). The device takes over the reference on
    // `service`. Without a host nothing is announced, requested or stored.
    QzASPlugInDevice(AudioObjectID objectID, io_object_t service, QzASDeviceHost* host);
    ~QzASPlugInDevice() override;

    io_object_t GetIOKitObject() const override { return mKernelObject.GetObject(); }
    CFStringRef CopyDeviceUID() const override;
    UInt32 getDeviceState() const override { return mHardwareState.load(); }
    void PropertyNotificationHandler(UInt32 messageType, void* argument) override;

    void Activate() override;
    void Deactivate() override;

    // Property answers for the device, its two streams and six controls (by identifier); an
    // identifier that is none of them is '!obj'.
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

    // Where each owned object's identifier sits in objectIDs().
    enum ObjectIndex : int
    {
        kInputStream,
        kOutputStream,
        kInputVolume,
        kOutputVolume,
        kInputDataSource,
        kOutputDataSource,
        kInputMute,
        kOutputMute,
    };
    void InitComplete();

    // IO.
    void StartIO() override;
    void StopIO() override;
    void GetZeroTimeStamp(Float64& sampleTime, UInt64& hostTime, UInt64& seed) override;
    void WillDoIOOperation(UInt32 operation, bool& willDo, bool& inPlace) const override;
    void BeginIOOperation(UInt32 operation, UInt32 frames, const AudioServerPlugInIOCycleInfo& cycle) override;
    void EndIOOperation(UInt32 operation, UInt32 frames, const AudioServerPlugInIOCycleInfo& cycle) override;
    OSStatus DoIOOperation(AudioObjectID stream, UInt32 operation, UInt32 frames,
                           const AudioServerPlugInIOCycleInfo& cycle, void* mainBuffer, void* secondaryBuffer) override;

    // Configuration changes.
    void PerformConfigChange(UInt64 action, void* changeInfo) override;
    void AbortConfigChange(UInt64 action, void* changeInfo) override;
    // Queues a request for `action` to the host on the global serial queue.
    void RequestConfigChange(UInt64 action, const QzASConfigChange& change = {});
    void updateLatencies();
    void updateSafetyOffsets();
    UInt32 getLatency(bool isInput);
    UInt32 getSafetyOffset(bool isInput);
    UInt32 outputWriteAhead() const { return mLatencies.outputWriteAhead; }
    QzASDebugOverrides& debugOverrides() { return mOverrides; }

    // Kernel notifications and power.
    // A record of `size` bytes from outside the process: taken only whole.
    void PropertyNotificationHandler(UInt32 messageType, const void* argument, size_t size);
    void KernelDriverNotificationHandler(const QZ_StateChange* change);

    void onPropertyChanged(PropertyItem* item) override;
    bool _HW_GetTimeStamps(QZ_TimeStampsBufferData& stamps) override;

    // The layer's device: formats, rates, channel settings and the request channel.
    VKOSXDevice* features() const { return mDevice; }
    bool callDriver(uint32_t request, OSXDispatch& record);
    DriverSM* driverSM() const { return mDevice != nullptr ? mDevice->driverSM() : nullptr; }
    CFStringRef deviceUID() const { return mDeviceUID; }
    const AudioObjectID* objectIDs() const { return mObjectIDs; }
    bool isInitialized() const { return mInitialized; }
    bool configuredHere() const { return mConfiguredHere; }
    uint32_t hardwareState() const { return mHardwareState.load(); }
    uint32_t ioReferenceCount() const { return mIOReferenceCount; }
    int32_t clientSlot() const { return mClientSlot; }
    uint32_t zeroTimeStampPeriod() const { return mZeroTimeStampPeriod; }
    uint64_t clientID() const { return mDevice != nullptr ? mDevice->clientID() : 0; }
    bool streamingSuspended() const { return mInStreamingSuspended.load(); }
    uint32_t clockSource() const { return mClockSource; }
    const QzChannelSettings& currentSettings() const { return mCurrent; }
    const std::string& name(int which) const { return mNames[which]; }

    struct IOStatistics
    {
        uint32_t outputUnderruns = 0;
        uint32_t outputOverloads = 0;
        uint32_t inputUnderruns = 0;
        uint32_t inputOverloads = 0;
        uint64_t inputCycles = 0;
        uint64_t outputCycles = 0;
    };
    IOStatistics statistics() const;

    void checkRunningSomewhere();
    void checkRunningStream();

private:
    enum class ObjectKind
    {
        device,
        stream,
        control,
    };
    struct ControlInfo
    {
        AudioClassID classID;
        AudioClassID baseClassID;
        bool isInput;
    };
    ObjectKind KindOf(AudioObjectID objectID) const;
    ControlInfo ControlOf(AudioObjectID objectID) const;
    bool Device_HasProperty(AudioObjectID objectID, pid_t clientProcessID,
                            const AudioObjectPropertyAddress& address) const;
    bool Device_IsPropertySettable(AudioObjectID objectID, pid_t clientProcessID,
                                   const AudioObjectPropertyAddress& address) const;
    UInt32 Device_GetPropertyDataSize(AudioObjectID objectID, pid_t clientProcessID,
                                      const AudioObjectPropertyAddress& address, UInt32 qualifierDataSize,
                                      const void* qualifierData) const;
    void Device_GetPropertyData(AudioObjectID objectID, pid_t clientProcessID,
                                const AudioObjectPropertyAddress& address, UInt32 qualifierDataSize,
                                const void* qualifierData, UInt32 dataSize, UInt32& outDataSize, void* outData) const;
    void Device_GetCustomPropertyData(AudioObjectPropertySelector selector, const char* name, bool writeOnly,
                                      UInt32 dataSize, UInt32& outDataSize, void* outData) const;
    void Device_SetPropertyData(AudioObjectID objectID, pid_t clientProcessID,
                                const AudioObjectPropertyAddress& address, UInt32 qualifierDataSize,
                                const void* qualifierData, UInt32 dataSize, const void* data);
    bool Device_IsCustomWrite(AudioObjectPropertySelector selector) const;
    void requestClockSource(QzASConfigChange& change);
    void Device_SetCustomPropertyData(AudioObjectPropertySelector selector, UInt32 dataSize, const void* data);
    bool Stream_HasProperty(AudioObjectID objectID, pid_t clientProcessID,
                            const AudioObjectPropertyAddress& address) const;
    bool Stream_IsPropertySettable(AudioObjectID objectID, pid_t clientProcessID,
                                   const AudioObjectPropertyAddress& address) const;
    UInt32 Stream_GetPropertyDataSize(AudioObjectID objectID, pid_t clientProcessID,
                                      const AudioObjectPropertyAddress& address, UInt32 qualifierDataSize,
                                      const void* qualifierData) const;
    void Stream_GetPropertyData(AudioObjectID objectID, pid_t clientProcessID,
                                const AudioObjectPropertyAddress& address, UInt32 qualifierDataSize,
                                const void* qualifierData, UInt32 dataSize, UInt32& outDataSize, void* outData) const;
    void Stream_SetPropertyData(AudioObjectID objectID, pid_t clientProcessID,
                                const AudioObjectPropertyAddress& address, UInt32 qualifierDataSize,
                                const void* qualifierData, UInt32 dataSize, const void* data);
    bool Control_HasProperty(AudioObjectID objectID, pid_t clientProcessID,
                             const AudioObjectPropertyAddress& address) const;
    bool Control_IsPropertySettable(AudioObjectID objectID, pid_t clientProcessID,
                                    const AudioObjectPropertyAddress& address) const;
    UInt32 Control_GetPropertyDataSize(AudioObjectID objectID, pid_t clientProcessID,
                                       const AudioObjectPropertyAddress& address, UInt32 qualifierDataSize,
                                       const void* qualifierData) const;
    void Control_GetPropertyData(AudioObjectID objectID, pid_t clientProcessID,
                                 const AudioObjectPropertyAddress& address, UInt32 qualifierDataSize,
                                 const void* qualifierData, UInt32 dataSize, UInt32& outDataSize, void* outData) const;
    void Control_SetPropertyData(AudioObjectID objectID, pid_t clientProcessID,
                                 const AudioObjectPropertyAddress& address, UInt32 qualifierDataSize,
                                 const void* qualifierData, UInt32 dataSize, const void* data);
    static void WriteObjectList(const AudioObjectID* ids, UInt32 count, UInt32 dataSize, UInt32& outDataSize,
                                void* outData);
    UInt32 ClockSourceCount() const;
    // What this model gets of its own (an empty row without a device).
    QzASModelRow ModelRow() const;
    const std::string& ProductName() const;
    const std::string& ManufacturerName() const;
    UInt16 VendorID() const;
    UInt16 ProductID() const;
    bool NoInput() const;
    CFStringRef ChannelName(bool isInput, UInt32 element) const;
    bool CanVolume(bool isInput) const;
    bool CanMute(bool isInput) const;
    bool ReadVolume(bool isInput, bool scalar, Float32& value) const;
    bool ReadMute(bool isInput, UInt32& muted) const;
    void WriteVolume(bool isInput, Float32 scalar);
    void WriteMute(bool isInput, bool muted);
    UInt32 DataSourceCount(bool isInput) const;
    std::string DataSourceName(bool isInput, UInt32 item) const;
    static CAVolumeCurve MakeVolumeCurve();

    bool _HW_Open();
    void _HW_Close();
    bool readDescription();
    void configurationHandshake();
    void configureAsClaimed();
    void usbConfigureDevice();
    void copyCurrentSettings();
    bool prepareHardware();
    OSStatus _HW_StartIO();
    void _HW_StopIO();
    void mapRings();
    void unmapRings();
    OSStatus ReadInputData(UInt32 frames, Float64 sampleTime, void* buffer);
    OSStatus WriteOutputData(UInt32 frames, Float64 sampleTime, void* buffer);
    void handleNewConfig();
    void currentFormats(AudioStreamBasicDescription (&formats)[4]);
    void checkReportFormatChange(const AudioStreamBasicDescription (&before)[4], bool digitalLockChanged);
    void notify(AudioObjectID object, std::initializer_list<AudioObjectPropertySelector> selectors);
    int32_t currentClockSource();
    // Sends `source` to the device and reads back the source the device uses (-1: unreadable).
    int32_t applyClockSource(uint32_t source);
    bool digitalLock() const;
    void storeSettings();
    void streamRepair();
    void selectOutputCopy();

    QzASDeviceHost* mHost;
    mutable CAMutex mStateMutex{"Device State"};
    CAMutex mIOMutex{"Device IO"};
    CAMutex mAttachMutex{"Device Attach Detach"};
    QzASPlugInIOKitObject mKernelObject;
    CFStringRef mDeviceUID = nullptr;
    VKOSXDevice* mDevice = nullptr;
    std::unique_ptr<QzIORegistryPrefs> mRegistryPrefs;
    OSXAsioRegistry* mRegistry = nullptr;
    std::atomic<AudioSM*> mInputRing{nullptr};
    std::atomic<AudioSM*> mOutputRing{nullptr};

    uint64_t mCachedSampleRate = 44'100;
    uint32_t mIOReferenceCount = 0;
    uint64_t mStartOffset = 0;
    uint64_t mAnchorTime = 0;   // host time of mAnchorSample; 0 = no anchor
    uint64_t mAnchorSample = 0; // kernel frame position of the current zero time stamp
    uint32_t mZeroTimeStampPeriod = 0;
    bool mInitialized = false;
    bool mConfiguredHere = false;
    std::atomic<bool> mPerformConfigChange{false};
    std::atomic<bool> mInStreamingSuspended{false};
    // A broken stream this device did not repair itself: the next new configuration ends it.
    std::atomic<bool> mAwaitingRepair{false};
    std::string mNames[3];
    QzChannelSettings mCurrent{};
    QzChannelSettings mReported{};
    QzChannelSettings mSaved[3]{};
    uint32_t mMixerMode = 0;
    bool mOutputUsage[QZ_Elektron_ChannelMap::kUsageListSize] = {};
    bool mInputUsage[QZ_Elektron_ChannelMap::kUsageListSize] = {};
    uint64_t mElektronConfiguration = 0;
    QZ_Elektron_ConfigAndMap mElektronConfigAndMap{};
    bool mRunningSomewhere = false;
    bool mRunningStream = false;
    bool mLowBufferFW = false;
    QzASDebugOverrides mOverrides;
    QzASLatencies mLatencies;
    uint32_t mExtraMargin = 0;
    PropertyItem mInputLatency{this, kPropTypeUInt32};
    PropertyItem mOutputLatency{this, kPropTypeUInt32};
    int32_t mClientSlot = -1;
    std::atomic<uint32_t> mHardwareState{kClosed};
    AudioConverter mInputCopy = nullptr;
    AudioConverter mOutputCopy = nullptr;
    int32_t mInputBytesPerSample = 4;
    int32_t mOutputBytesPerSample = 4;
    bool mDigitalLock = false;
    uint32_t mClockSource = 0xFFFFFFFF;
    AudioObjectID mObjectIDs[8];
    // Property state of the streams and controls; guarded by mStateMutex.
    bool mStreamIsActive[2] = {true, true};            // input, output
    UInt32 mDataSourceItemCount[2] = {1, 1};           // input, output
    UInt32 mDataSourceCurrentItem[2] = {1, 1};         // input, output (items count from 1)
    const CAVolumeCurve mVolumeCurve = MakeVolumeCurve();
    // IO statistics (the IO thread's; read under "Device IO").
    Float64 mLastInputSampleTime = 0;
    Float64 mLastOutputSampleTime = 0;
    Float64 mLastInputFrames = 0;
    Float64 mLastOutputFrames = 0;
    IOStatistics mStats;
    std::vector<int32_t> mInputScratch;
    // Zero time stamp handed to the host last (for the first cycle's diagnostic line).
    uint64_t mLastZeroHostTime = 0;
    Float64 mLastZeroSampleTime = 0;
};
