// One USB audio device as a user process sees it: the kernel connection, the copy of the device
// description, the settings store, the IO thread that moves the rings' samples to and from the
// clients' IO procedures, the latencies and the frame size.
//
// Threads: construction, init, removal and destruction on the main run loop (the device
// manager's notifications); IO procedure registration, start and stop and the feature calls on
// the host's threads; the IO thread runs the cycles. The IO thread takes no lock and waits on
// nothing: host paths that change what a cycle uses (the procedure list, the IO buffers, the
// rings) hold the cycle off and wait until no cycle runs (holdIO), then change it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "APIDeviceInfo.h"
#include "AudioSM.h"
#include "CoreAudio/AudioHardwarePlugIn.h"
#include "DriverConnection.h"
#include "OSXUserThread.h"
#include "Semaphore.h"
#include "PropertyItem.h"
#include "StateChange.h"
#include "TimestampFilter.h"
#include "VKOSXModelRules.h"
#include "VKObject.h"

class DeviceManagerClient;
class OSXDeviceManager;
class OSXAsioRegistry;
class QzIORegistryPrefs;
class VKOSXDevice;
struct APISpecificFeatures;

// A scoped lock on an int word, by atomic increment: held when the old value was 0.
class IntSpinLock
{
public:
    IntSpinLock() = default;
    explicit IntSpinLock(std::atomic<int>* word) { lock(word, true); }
    ~IntSpinLock() { unlock(); }
    IntSpinLock(const IntSpinLock&) = delete;
    IntSpinLock& operator=(const IntSpinLock&) = delete;

    bool lock(std::atomic<int>* word, bool wait);
    void unlock();

private:
    std::atomic<int>* m_word = nullptr;
};

// One direction's buffers between the rings and the IO procedures: the clients' float buffer
// (client channels) and the device's integer buffer (device channels), 1,024 frames each.
class AudioIOBuffer
{
public:
    static constexpr uint32_t kMaxFrames = 1'024;
    static constexpr uint32_t kMaxChannels = AudioSM::kMaxChannels;

    AudioIOBuffer() { init(); }
    ~AudioIOBuffer() { term(); }
    AudioIOBuffer(const AudioIOBuffer&) = delete;
    AudioIOBuffer& operator=(const AudioIOBuffer&) = delete;

    void init();
    void term();
    // False (and nothing allocated) for counts outside 0..32 or frames above 1,024.
    bool create(uint32_t deviceChannels, uint32_t clientChannels, uint32_t frames);

    AudioBufferList mList{};
    int32_t* mIntBuffer = nullptr;
    uint32_t mIntSamples = 0;
    uint32_t mBufferChannels = 0;

private:
    std::unique_ptr<float[]> m_float;
    std::unique_ptr<int32_t[]> m_int;
};

class IOProcEntry : public VKObject
{
public:
    IOProcEntry(VKOSXDevice* device, AudioDeviceIOProc proc, void* clientData)
        : m_pDevice(device), m_pIOProc(proc), m_clientData(clientData)
    {
    }

    bool hasIOProc(AudioDeviceIOProc proc) const;
    bool hasIOProcWithClientData(AudioDeviceIOProc proc, void* data) const;
    bool hasIOProcIn() const { return m_pIOProc != nullptr && m_bInput.load(); }
    bool hasIOProcOut() const { return m_pIOProc != nullptr && m_bOutput.load(); }
    void start();
    void stop();
    bool started() const { return m_started.load(std::memory_order_acquire); }
    bool callIOProc(AudioDeviceID device, const AudioTimeStamp* now, const AudioBufferList* input,
                    const AudioTimeStamp* inputTime, AudioBufferList* output, const AudioTimeStamp* outputTime,
                    uint32_t outputChannels);

    VKOSXDevice* m_pDevice;
    AudioDeviceIOProc m_pIOProc;
    void* m_clientData;
    std::atomic<bool> m_bInput{true};
    std::atomic<bool> m_bOutput{true};

private:
    std::atomic<bool> m_started{false};
};

// What the device description offers, per configuration (at most 4): a support flag per rate of
// the rate table, resolution (16/20/24/32 bits) and channel count (1-32), each direction, and the
// score tables the rate search works in.
struct XsDeviceCapabilitiesEx
{
    static constexpr uint32_t kRates = 7;
    static constexpr uint32_t kResolutions = 4;
    static constexpr uint32_t kChannels = 32;
    static constexpr uint32_t kConfigurations = 4;
    template <class T> using Table = T[kRates][kResolutions][kChannels];
    struct Configuration
    {
        Table<uint8_t> out;
        Table<uint8_t> in;
        Table<uint32_t> outScore;
        Table<uint32_t> inScore;
        Table<uint32_t> outBonus;
        Table<uint32_t> inBonus;
    };
    uint32_t iConfigurations;
    Configuration configs[kConfigurations];
};
static_assert(sizeof(XsDeviceCapabilitiesEx) == 64'516);

class VKOSXDevice : public VKObject, public DriverConnection, private OSXUserThread, public PropertyItemHost
{
public:
    // Attach states.
    static constexpr uint32_t kDetached = 0;
    static constexpr uint32_t kPrepared = 1;
    static constexpr uint32_t kAttached = 2;
    // Thread states.
    static constexpr int kThreadNotRunning = 0;
    static constexpr int kThreadRemovalRequested = 1;
    static constexpr int kThreadRunning = 2;
    static constexpr uint32_t kMinFrameSize = 64;
    static constexpr uint32_t kMaxFrameSize = 1'024;

    VKOSXDevice(AudioHardwarePlugInRef plugIn, DeviceManagerClient* client, io_service_t service,
                OSXDeviceManager* manager, uint32_t connectionType = kAudioClientType);
    ~VKOSXDevice() override;

    // Devices are told apart by identity (the manager's collection searches by it).
    bool isEqual(const VKObject& other) const override { return this == &other; }

    bool init();
    bool openDevice();
    // The kernel's device description, page by page, into the device's copy.
    bool readDeviceDescription();
    bool isDeviceOpen() const { return ioIsOpen() && m_deviceOpen; }
    void usbConfigureDevice();
    void closeDevice(bool stopThread);
    void setAudioIDs(AudioDeviceID device, AudioStreamID input, AudioStreamID output);
    AudioDeviceID getAudioDeviceID() const { return m_deviceID; }
    AudioStreamID getInAudioStreamID() const { return m_inStreamID; }
    AudioStreamID getOutAudioStreamID() const { return m_outStreamID; }
    AudioSM* mapSharedMemory(uint32_t type, uint64_t expectedSize);
    void unmapSharedMemory();
    void onRemoveEvent();
    static void ServiceInterestCallback(void* refcon, io_service_t service, natural_t messageType, void* argument);
    void onServiceInterestCallback(natural_t messageType, void* argument);
    bool isSystemOverload() const { return false; }
    io_object_t& interestNotification() { return m_interest; }
    int threadState() const { return m_threadState.load(); }
    uint32_t attachState() const { return m_attachState.load(); }
    const char* getDeviceName() const { return m_deviceName.c_str(); }
    const char* getDisplayName() const { return m_displayName.c_str(); }
    const char* getUID() const { return m_uid.c_str(); }
    const APIDeviceInfo& getDeviceInfo() const { return *m_deviceInfo; }

    // IO thread and time stamps.
    uint32_t onUSBProc(bool callProcs);
    OSStatus onDeviceGetCurrentTime(AudioTimeStamp* out);
    OSStatus doTranslateTime(const AudioTimeStamp* in, AudioTimeStamp* out);
    // The filter's time stamps of the last cycle (IO thread's values; for tests and the host).
    const TimestampFilter& timestampFilter() const { return m_filter; }
    // The kernel's input ring while mapped (its time stamps, for tests and the host), else null.
    const AudioSM* inputRing() const { return mpAudioSM_In.load(std::memory_order_acquire); }
    // Cycles run since the device was made.
    uint64_t cycles() const { return m_cycles.load(std::memory_order_acquire); }

    // IO procedures.
    bool addIOProc(AudioDeviceIOProc proc, void* clientData);
    IOProcEntry* addIOProcID(AudioDeviceIOProc proc, void* clientData);
    bool removeIOProc(AudioDeviceIOProc proc);
    bool removeIOProcID(IOProcEntry* id);
    bool onDeviceStartProcOrID(void* procOrID);
    bool onDeviceStopProcOrID(void* procOrID);
    bool attachIOProc(bool start);
    bool ioprocHasAttachedIn() const;
    bool ioprocHasAttachedOut() const;
    OSStatus getStreamUsage(AudioHardwareIOProcStreamUsage* usage, bool isInput);
    OSStatus setStreamUsage(const AudioHardwareIOProcStreamUsage* usage, bool isInput);
    OSStatus getStreamConfiguration(bool isInput, AudioBufferList* list);
    void callIOProcs(uint64_t hostTime, uint32_t frames);

    // Property items, latencies, write-ahead and host notifications.
    void onPropertyChanged(PropertyItem* item) override;
    void updateLatencies();
    uint32_t getLatency(bool isInput) const { return (isInput ? m_inputLatency : m_outputLatency).getUInt32(); }
    void setOutWriteAheadBase(uint64_t base);
    void setOutWriteAheadOffs(uint64_t offset);
    uint64_t getOutWriteAhead() const { return m_writeAhead.load(std::memory_order_acquire); }
    uint64_t getOutWriteAheadBase() const { return m_writeAheadBase; }
    void updateOutWriteAhead();
    OSStatus devicePropertyChanged(AudioObjectPropertySelector selector);
    OSStatus QzLibPropertyNotify(AudioObjectPropertySelector selector) { return devicePropertyChanged(selector); }
    void checkRunningSomewhere();
    void checkRunningStream();

    // Buffer sizes.
    void getFrameSizeRange(uint32_t rate, uint32_t& min, uint32_t& max) const;
    void getFrameSizeRangeInt(uint32_t& min, uint32_t& max) const;
    OSStatus getFrameSizeRange(double& min, double& max) const;
    uint32_t validateMinMaxFrameSize(uint32_t size) const;
    OSStatus setFrameSize(uint32_t size, bool flag, bool force);
    uint32_t getFrameSize() const;
    bool createIOBuffers();
    OSStatus getFrameSizeRangeBytes(bool isInput, double& min, double& max) const;
    uint32_t getFrameSizeBytes(bool isInput) const;

    // Sample rates and channel settings (the parts the device's bring-up and IO use).
    bool isUSB2Device() const;
    bool isRunningStream() const;
    bool isRunningSomewhere() const;
    uint32_t getFrequency() const;
    bool usbFindConfiguration(bool isInput, APIDeviceInfoScanResult& inputScan, APIDeviceInfoScanResult& outputScan,
                              QzChannelSettings& settings);
    void updateChannelsToReport(QzChannelSettings& reported, const QzChannelSettings& current) const;
    const QzChannelSettings& trueChannels() const { return m_cTrueChannels; }
    const QzChannelSettings& reportedChannels() const { return m_reported; }
    const QzChannelSettings& pendingChannels() const { return m_pending; }
    uint32_t pendingDirection() const { return m_pendingDirection; }
    bool canSampleRate(uint32_t rate);
    // Rates on offer into `ranges` (null: count only), at most `maxCount` of them; the count.
    uint32_t getSampleRates(AudioValueRange* ranges, uint32_t maxCount);
    bool setSampleRate(bool isInput, uint32_t rate, bool& changed, QzChannelSettings& settings);
    bool setFrequency(bool isInput, uint32_t rate);
    OSStatus setSettings(QzChannelSettings settings, bool isInput, bool running, bool force);

    // Stream formats.
    OSStatus getStreamFormat(bool isInput, AudioStreamBasicDescription* format, bool physical, uint32_t maxChannels);
    uint32_t getStreamFormatNum(bool isInput, bool physical);
    OSStatus getStreamFormats(bool isInput, AudioStreamBasicDescription* formats, uint32_t count, bool physical,
                              uint32_t maxChannels);
    OSStatus getAvailableFormats(bool isInput, AudioStreamRangedDescription* formats, uint32_t count, bool physical,
                                 uint32_t maxChannels);
    void preprocessSetStreamFormat(AudioStreamBasicDescription* format, bool isInput, bool flag) const;
    OSStatus setStreamFormat(bool isInput, const AudioStreamBasicDescription* format, bool physical);
    // Announces what changed between the formats before (client input, client output, then the
    // physical ones) and now.
    void checkReportFormatChange(const AudioStreamBasicDescription& oldIn, const AudioStreamBasicDescription& oldOut,
                                 const AudioStreamBasicDescription& oldInPhysical,
                                 const AudioStreamBasicDescription& oldOutPhysical);

    // Capabilities and model features.
    void getCaps(XsDeviceCapabilitiesEx& caps) const;
    // The chosen endpoint (136 bytes) of the direction's controls group in the shared block; null
    // when the group has none or the block is unmapped.
    uint8_t* getControlsEndpoint(bool isInput) const;
    uint32_t getVersionUSB();
    uint32_t getVersionHAL();
    bool isMorvaneCompatible() const;
    bool isAC3compatible() const;
    void setupSpecificFeatures();
    bool isQuenzarBulkDevice() const;
    bool isQuenzarBulkInIsocOutDevice() const;
    bool isCorlanthCompatible() const;
    bool isTessalyCompatible() const;
    bool isElektronOverbridge() const;
    bool hasLowBufferFW();
    // Routing value `index` of a direction (non-zero: input), device commands 39 and 40.
    bool getRouting(uint32_t direction, uint32_t index, uint32_t& value);
    bool setRouting(uint32_t direction, uint32_t index, uint32_t value);
    bool hardwareReady() const;
    bool prepareHardware();
    static const char* getIDRoot() { return "com.quenzar.sonvexa"; }

    // Kernel notifications.
    void KernelDriverNotificationHandler(const QZ_StateChange* change);

    OSXAsioRegistry* registry() const { return mpRegistry; }
    int localProcessClass() const { return m_localClass; }
    bool isConfigurationCandidate() const { return m_candidate; }
    // Whether this process configured the device when it opened it.
    bool configuredHere() const { return m_configuredHere; }

    // The device description's USB ids (0 before one is read).
    uint16_t vendorID() const;
    uint16_t productID() const;
    uint16_t releaseID() const;

protected:
    void* threadRun() override;

private:
    friend class IOProcEntry;
    struct ProcList;

    // The routing values a device with output routing keeps in the settings store.
    struct RoutingPair
    {
        uint32_t direction;
        uint32_t index;
    };
    static constexpr RoutingPair kRoutingPairs[] = {{1, 0}, {1, 1}, {1, 2}, {0, 0}, {0, 1}};

    void sendMixerStateAtConfigure();
    void takeChannelsOfMixerMode();
    const APISpecificFeatures* features() const;
    bool featureFlag(unsigned flag) const;
    bool inputHidden() const;
    void classifyProcess();
    void configurationHandshake();
    void copyTrueChannels();
    // From the kernel's settings, or (false) from the device's current ones as they stand.
    bool createIOBuffersInCycle(bool fromKernel = true);
    void announce(AudioDevicePropertyID property, bool outputFirst);
    void announceRunning();
    // One of the client's handlers, when there is a client.
    void tellClient(void (DeviceManagerClient::*handler)(VKOSXDevice*));
    void detach();
    uint32_t* slotWord(uint32_t offset) const;
    void removeAllIOProcs();
    // The entry that is procOrID or runs it; null when there is none.
    IOProcEntry* findProcOrID(void* procOrID);
    // A new entry published behind the others, with m_procLock held; null when out of memory.
    IOProcEntry* appendProc(AudioDeviceIOProc proc, void* clientData);
    void publishProcs(std::vector<IOProcEntry*> procs, std::vector<IOProcEntry*> retired);
    void currentFormats(AudioStreamBasicDescription formats[4]);
    bool digitalLock() const;
    // The rate a digital lock holds the device at; none when it is not locked.
    std::optional<int32_t> lockedRate() const;
    uint32_t formatsAtRate(bool isInput, bool physical, uint32_t rate, AudioStreamBasicDescription* formats,
                           uint32_t room, uint32_t maxChannels);

    // Holds the IO thread's cycles off while it lives, once no cycle runs.
    class IOHold
    {
    public:
        explicit IOHold(VKOSXDevice& device);
        ~IOHold();
        IOHold(const IOHold&) = delete;
        IOHold& operator=(const IOHold&) = delete;

    private:
        VKOSXDevice& m_device;
    };
    bool enterCycle();
    void leaveCycle();

    OSXAsioRegistry* mpRegistry = nullptr;
    std::string m_deviceName;
    std::string m_displayName;
    std::string m_uid;
    bool m_runningSomewhere = false;
    bool m_runningStream = false;
    bool m_lowBufferFW = false;
    osxdevice::ModelProfile m_model; // resolved when the description is read
    uint32_t m_lowBufferVersion = 0; // firmware from which the device runs with low buffers; 0 = none
    std::atomic<AudioSM*> mpAudioSM_In{nullptr};
    std::atomic<AudioSM*> mpAudioSM_Out{nullptr};
    std::unique_ptr<APIDeviceInfo> m_deviceInfo;
    QzChannelSettings m_cTrueChannels{};
    QzChannelSettings m_reported{};
    QzChannelSettings m_pending{};
    QzChannelSettings m_inputSettings{};
    QzChannelSettings m_outputSettings{};
    uint32_t m_pendingDirection = 0;
    // The client formats' flags, input then output: 1 float, 4 integer (the IO thread reads them).
    std::atomic<uint32_t> m_sampleKind[2] = {1, 1};
    // Stream formats, input then output: physical and client format IDs and the flags word.
    AudioFormatID m_physicalFormat[2] = {kAudioFormatLinearPCM, kAudioFormatLinearPCM};
    AudioFormatID m_virtualFormat[2] = {kAudioFormatLinearPCM, kAudioFormatLinearPCM};
    std::atomic<int> m_setFormatDepth{0};
    std::atomic<bool> m_codecFlags[2] = {false, false};
    int m_mixerMode = 0;
    uint64_t m_elektronID = 0;
    io_object_t m_interest = 0;
    std::unique_ptr<QzIORegistryPrefs> m_prefs;
    bool m_deviceOpen = false;
    uint32_t m_defaultFrameSize;
    std::atomic<uint32_t> m_pendingFrameSize{0};
    std::atomic<int> m_attachedProcs{0};
    int mNullIOProcStartStopCount = 0;
    std::atomic<uint32_t> m_attachState{kDetached};
    std::atomic<int> m_attachLock{0};
    AudioDeviceID m_deviceID = 0;
    AudioStreamID m_inStreamID = 0;
    AudioStreamID m_outStreamID = 0;
    Semaphore m_cTreadStartStopSemaphore;
    std::atomic<int> m_threadState{kThreadNotRunning};
    bool m_buffersRebuild = false;
    bool m_start = false;
    AudioHardwarePlugInRef m_plugIn;
    AudioIOBuffer mAudioBufferIn;
    AudioIOBuffer mAudioBufferOut;
    DeviceManagerClient* m_client;
    OSXDeviceManager* m_manager;
    TimestampFilter m_filter;
    uint64_t m_writeAheadBase = 880;
    uint64_t m_writeAheadOffset = 0;
    std::atomic<uint64_t> m_writeAhead{880};
    PropertyItem m_inputLatency{this, kPropTypeUInt32};
    PropertyItem m_outputLatency{this, kPropTypeUInt32};
    PropertyItem m_frameSize{this, kPropTypeUInt32};
    uint32_t m_formatChanges = 0;
    int m_localClass = 17;
    bool m_candidate = false;
    bool m_configuredHere = false;
    bool m_writePrefs = false;

    // The procedure list the IO thread walks: published whole, retired entries released only
    // once no cycle runs (holdIO).
    std::mutex m_procLock; // host threads changing the list
    std::atomic<std::vector<IOProcEntry*>*> m_procs;
    std::atomic<uint64_t> m_cycleEpoch{0}; // odd while a cycle runs
    std::atomic<int> m_ioHolds{0};
    std::atomic<uint64_t> m_cycles{0};
};
