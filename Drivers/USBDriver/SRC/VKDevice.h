// The kernel's per-device object: one for every attached USB audio device, created by the kernel
// device service (VKKernelDevice), which passes itself as the owner. It holds the parsed
// descriptors, the device's identity and per-model data, the interfaces and pipes chosen for the
// current configuration, the shared memories and the real-time thread. Every USB request goes
// through the owner.
//
// Members are kept in one fixed order (constructed in this order, destroyed in reverse). What
// belongs together is a record (the chosen endpoints, the isochronous streams, the drift guards,
// the model's registers); state several threads touch and what the request layer changes are
// private, reached through operations; the rest is still read and written directly. Members for
// what this build does not have (the vendor port) are held as null pointers or zeroed fields;
// nothing here computes what they would.
//
// Threads: the object is reached from the user-client request threads (serialised by the owner's
// dispatch lock), from USB completions and from the real-time thread. The capability predicates
// are constant and may run anywhere; the USB commands block and never run on the real-time thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "AQ.h"
#include "APISpecificFeatures.h"
#include "AudioIRP.h"
#include "DMAConverterDef.h"
#include "DeviceIdentification.h"
#include "DriverSM.h"
#include "ElektronChannelMap.h"
#include "IOKit/usb/USB.h"
#include "PCMCoderChoice.h"
#include "QzAqExtData.h"
#include "SharedMemory.h"
#include "VKDeviceModelRules.h"
#include "VKDeviceCommands.h"
#include "VKDeviceControls.h"
#include "VKFramePatternObserver.h"
#include "VKIsocRB.h"
#include "VKKernelTools.h"
#include "VKRealTimeRecord.h"
#include "VKUSBDescriptors.h"

class IOUSBDevice;
class VKDeviceOwner;
class IOUserClient;
struct APIDeviceInfo;
class KeThread;
struct AudioSM;
class VKIsocRB;

// Objects this build does not have; the device holds them through null pointers.
class DriverData;
class VendorAsyncPort;
class USBMidiDevice;
class USBMidiPattern;

// Per-model bytes beside the feature record. Also handed to the substitute-descriptor builder.
struct DeviceSpecificData
{
    uint8_t mFlagA; // returned to user space by device command 14
    uint8_t mFlagB;
    uint8_t mFlagC;
    uint8_t mPreventUSB1; // a full-speed device with this set is marked as a hardware failure at start
    uint32_t mInputs;     // channel counts the substitute descriptors cap and the output mixer follows
    uint32_t mOutputs;
    uint32_t mExtraDelay; // ms configuration completion waits for the device to settle
    uint32_t mReserved;   // the record is 20 bytes (the size of "kClockSourceSettings"); unused
};
static_assert(sizeof(DeviceSpecificData) == 20);
static_assert(offsetof(DeviceSpecificData, mPreventUSB1) == 3);
static_assert(offsetof(DeviceSpecificData, mInputs) == 4);
static_assert(offsetof(DeviceSpecificData, mOutputs) == 8);
static_assert(offsetof(DeviceSpecificData, mExtraDelay) == 12);

// The configuration, interfaces and pipes chosen for the current configuration: the interfaces
// by the interface choice, the pipes opened by the service's configuration, all cleared by
// onUnconfigure. Request threads, dispatch lock held; the streaming service reads the pipes.
struct VKChosenEndpoints
{
    VKConfigurationDescriptor* configuration = nullptr;
    VKInterfaceDescriptor* controlInterface = nullptr;
    VKInterfaceDescriptor* inInterface = nullptr;
    VKInterfaceDescriptor* outInterface = nullptr;
    VKInterfaceDescriptor* hidInterface = nullptr;
    VKInterfaceDescriptor* midiInterface = nullptr;
    VKPipeDescriptor* bulkInPipe = nullptr;
    VKPipeDescriptor* bulkOutPipe = nullptr;
    VKPipeDescriptor* interruptInPipe = nullptr;
    VKPipeDescriptor* interruptOutPipe = nullptr;
    VKPipeDescriptor* inPipeIsoc = nullptr;
    VKPipeDescriptor* inPipeFeedback = nullptr;
    VKPipeDescriptor* outPipeIsoc = nullptr;
    VKPipeDescriptor* outPipeIsocKeepAlive = nullptr;
    VKPipeDescriptor* hidInPipe = nullptr;
};

// The drift guard of a bulk or an interrupt stream: over windows of 750 output completions it
// compares the average frames sent with the average frames the input ring received, and when the
// output runs ahead by the critical point or more, asks the input side to insert frames down to
// the low mark. Reset at resume. The output completions (one at a time) keep the window; the
// input service consumes the frames to insert.
struct VKDriftGuard
{
    static constexpr uint32_t kWindow = 750;

    uint64_t framesSent = 0;
    uint64_t sentSum = 0;
    uint64_t receivedSum = 0;
    uint32_t windowCount = 0;
    int32_t criticalPoint = 0;
    int32_t lowMark = 0;
    std::atomic<int32_t> criticalPointDiff{0}; // frames still to insert
    // For inspection: windows closed, the latest difference, frames asked for and inserted in all
    // (a window's request replaces what was still pending).
    std::atomic<uint32_t> windows{0};
    std::atomic<int32_t> lastDiff{0};
    std::atomic<uint64_t> requested{0};
    std::atomic<uint64_t> inserted{0};

    // Request thread, no stream running: a new stream at `rate`.
    void reset(uint32_t rate);
    // Output completion: `frames` more were sent, the input ring has received `received`.
    void onOutputCompleted(uint32_t frames, uint64_t received);
    // Input service: true when one frame is to be inserted now (and counts it).
    bool takeInsertion();
};

// The model's registers as the driver last knew them, and the mixer the mixer requests set.
struct VKModelRegisters
{
    uint16_t wolfson[4][22]{};
    uint16_t us366[16];              // all 0xFFFF until the device reports them
    uint16_t footSwitchPressed[3]{}; // written by the family engine's foot-switch words
    // Foot-switch settings; nothing in the kernel writes them.
    uint32_t footSwitchMode = 0;
    uint32_t footSwitchProtocol = 0;
    // Mixer mode and values, and the mark that the mode changed since it was last read.
    uint32_t mixerMode = 0;
    int16_t mixerBitmap = 0;
    int16_t mixerKnob = 0;
    uint8_t mixerChanged = 0;
};

// The isochronous streams (audio in, audio out, feedback in, keep-alive out) and where the
// streaming service stands in them.
struct VKIsocStreams
{
    IsocData in;
    IsocData out;
    IsocData feedback;
    IsocData keepAlive;
    // Set by rtsIsocAudioRun: isochronous output without an input stream (the input ring is
    // advanced by the output), and input without output.
    std::atomic<uint8_t> syncToOutput{0};
    std::atomic<uint8_t> inputOnly{0};
    // Real-time thread (cleared at resume while no service runs): the last serviced bus frame and
    // the current one; the absolute sample position of the next output frame to fill.
    uint64_t lastServicedFrame = 0;
    uint64_t currentFrame = 0;
    uint64_t outputSamplePos = 0;
    // Completion and request threads: running sample total of the queued output blocks.
    uint32_t outputSampleTotal = 0;
    // Set at resume: an Elektron stream (headed output packets), and a device whose stream breaks
    // after more than 40 repaired input frames.
    uint8_t elektron = 0;
    uint8_t breaksOnInputErrors = 0;
};

// The state of bulk and interrupt audio streaming: the request blocks and their numbering, the
// converters and packet geometry chosen at stream start, and the bulk service's output accounting.
// Set on request threads with the stream stopped; the real-time service and the completions read
// the geometry and meet at the blocks (see AudioIRP.h) and the atomics.
struct VKBulkInterruptStreams
{
    static constexpr int kNumBulkIRPs = 4;
    static constexpr int kNumInterruptInIRPs = 4;
    static constexpr int kNumInterruptOutIRPs = 8;

    VKSimpleArray bulkInRqBs;
    VKSimpleArray bulkOutRqBs;
    VKSimpleArray interruptInRqBs;
    VKSimpleArray interruptOutRqBs;
    AudioBulkIRP bulkIn[kNumBulkIRPs];
    AudioBulkIRP bulkOut[kNumBulkIRPs];
    std::atomic<uint32_t> nextBulkIn{0};
    std::atomic<uint32_t> nextBulkOut{0};
    DMAConvertFunc* bulkDecoder = nullptr;
    DMAConvertFunc* bulkEncoder = nullptr;
    uint32_t encoderCarry = 0; // the carried sample of the pair encoders (real-time thread)
    AudioInterruptIRP interruptIn[kNumInterruptInIRPs];
    AudioInterruptIRP interruptOut[kNumInterruptOutIRPs];
    std::atomic<uint32_t> nextInterruptIn{0};
    std::atomic<uint32_t> nextInterruptOut{0};
    uint32_t bytesPerInterruptFromClient = 0;
    // Bulk packet geometry: frames per packet, converter calls per packet (a 1,024-byte packet is
    // two 512-byte halves in, two encoder blocks out), client bytes per packet.
    uint32_t rtsBulkInFramesPerBlock = 0;
    uint32_t rtsBulkOutFramesPerBlock = 0;
    uint32_t decoderCallsPerPacket = 0;
    uint32_t decoderSamplesPerCall = 0;
    uint32_t encoderCallsPerPacket = 0;
    uint32_t encoderBytesPerCall = 0;
    uint32_t bytesPerBulkFromClient = 0; // per packet; 0 while the first transfers are queued
    uint32_t bulkFramesIn3ms = 0;
    uint32_t bulkOutPacketLimit = 0;
    uint32_t interruptFramesPerOutPacket = 0;
    uint32_t interruptFramesIn5ms = 0;
    uint32_t interruptOutPacketLimit = 0;
    // A bulk-in device on a release that requeues its input after a transfer error; a device
    // whose underruns turn into a reset request (the maker's bulk devices).
    uint8_t requeueInputOnError = 0;
    uint8_t resetOnUnderruns = 0;
    // Output underruns since the last reset mark, the frame of that mark, and the reset request
    // the output completions act on (cleared at every resume).
    uint32_t underruns = 0;
    uint64_t lastUnderrunResetFrame = 0;
    std::atomic<uint8_t> resetRequest{0};
};

// One byte of a PIC microcontroller command.
using XeUSBPrePicCommand = uint8_t;

class VKDevice
{
public:
    static constexpr size_t kCustomNameSize = 64;
    static constexpr size_t kFirmwareVersionStringSize = 16;
    static constexpr size_t kStoredControlsSize = 3844;
    static constexpr size_t kInputScratchSize = 8192;
    static constexpr size_t kDmaOutBufferSize = 25600;
    static constexpr uint32_t kInputSMSize = 540656;
    static constexpr int kMaxChannels = 32; // per direction, in the shared ring and the converters

    explicit VKDevice(VKDeviceOwner& owner);
    virtual ~VKDevice();
    VKDevice(const VKDevice&) = delete;
    VKDevice& operator=(const VKDevice&) = delete;

    // --- Settings. The channel settings are the kernel's own copy, which every reader uses; the
    // device shared block only mirrors them (mirrorSettings), since any process may write there.
    QzChannelSettings* getCurrentSettings() { return &mSettings; }
    // Writes the kernel's settings into the shared block (nothing without it).
    void mirrorSettings();
    // Request 1: the settings user space left in the shared block, copied once and checked; the
    // copy becomes the kernel's settings. False, with nothing changed, when it is no stream this
    // device carries.
    bool adoptSharedSettings();
    // The extension data kept in the device shared block (never null: a static dummy without it).
    QzAqExtData* getAqExtData();
    // Copies the shared block's device controls into mStoredControls.
    void storeSettings();

    void setIsUSB2Device() { isUSB2 = 1; }
    void setIsUSB3Device() { isUSB3 = 1; }

    // --- Capability predicates: the feature flag for a listed device, a fixed VID:PID test else.
    bool isListed() const { return mInitSettings.isValid(); }
    bool hasFeature(APISpecificFeatures::Flag flag) const { return mInitSettings.hasFlag(flag); }
    bool isCorlanthCompatible() const;
    bool isMorvaneCompatible() const;
    bool isTessalyCompatible() const;
    bool isQuenzarBulkDevice() const;
    bool isQuenzarBulkInIsocOutDevice() const;
    bool isPureBulkDevice() const;
    bool can192() const;
    bool canHandleRequestsWhileStreaming() const;
    bool preventUSB1Mode() const;
    bool isCorlanthCompatibleWithRawMidi() const;
    bool isCorlanthCompatibleWithRegularMidi() const;
    bool aqHasNoDigital() const;

    // Per-model bytes; called at the end of scanDeviceDescriptor.
    void initDeviceSpecificData();

    // --- Vendor commands of two models (request thread; each blocks on USB).
    bool sendSetPicCommand(XeUSBPrePicCommand cmd);
    bool sendGetPicCommand(XeUSBPrePicCommand cmd);
    bool sendPicCommand(XeUSBPrePicCommand cmd);
    void setEsuCpldByte(uint8_t value);
    void setElektronChannelMap(const QZ_Elektron_ChannelMap& map, bool send);

    // --- Device command set (request thread, dispatch lock held). Answers the command's status and
    // writes its results into `cmd`; `client` is the calling user client or null.
    IOReturn dispatchFunction(IOUserClient* client, QZ_Dispatch* cmd);
    // The same inside a silent trace scope: request 35 of the audio clients (onDispatchStreaming)
    // and the control client, which has no caller (onDispatch).
    IOReturn onDispatchStreaming(IOUserClient* client, QZ_Dispatch* cmd);
    IOReturn onDispatch(QZ_Dispatch* cmd);

    // --- Digital output, clock source, USB 1 mode and codec registers (request thread). The setters
    // store the value (validated where stated) before any request and answer the value now stored.
    uint32_t setClockSource(uint32_t source);
    uint32_t setUSB1Mode(uint32_t mode);
    uint32_t setDigitalOutMode(uint32_t mode);
    void setDigitalOutSelector(uint32_t selector);
    // Programs the AKM transmitter from the stored mode and the current rate.
    void writeDigitalOutMode();
    // The request's status, kVKRequestRefused while the device streams and may not be disturbed;
    // codec below kVKWolfsonCodecs, register below kVKWolfsonRegisters, value within 9 bits.
    uint32_t writeWolfsonRegister(uint16_t codec, uint16_t reg, uint16_t value);
    // Whether a control request must wait because the device streams and may not be disturbed.
    bool requestsBlockedByStreaming() const;
    // The Wolfson register table as commands 41 and 42 keep it.
    uint16_t wolfsonRegister(uint32_t codec, uint32_t reg) const { return mRegisters.wolfson[codec][reg]; }
    void storeWolfsonRegister(uint32_t codec, uint32_t reg, uint16_t value) { mRegisters.wolfson[codec][reg] = value; }

    // --- Elektron channel maps and names (request thread; the shared block must exist).
    void sendElektronChannelMap();
    void getElektronChannelMap(QZ_Elektron_ChannelMap& map) const;
    void getElektronConfigAndChannelMap(QZ_Elektron_ConfigAndMap& cfg);
    void setElektronConfigAndChannelMap(const QZ_Elektron_ConfigAndMap& cfg);
    IOReturn setElektronDeviceName(const char* name);
    // Command 68's bandwidth check of a stream configuration for a device revision (bcdDevice): the
    // bandwidth each direction takes, their total and the segments; `fits` when all are in bounds.
    // Channel counts above 8 never fit.
    struct ElektronBandwidth
    {
        uint32_t in = 0;
        uint32_t out = 0;
        uint32_t total = 0;
        uint32_t segments = 0;
        bool fits = false;
    };
    static ElektronBandwidth elektronBandwidth(uint16_t bcdDevice, const QZ_DeviceConfiguration& cfg);

    // --- Device controls (request thread, dispatch lock held; the shared block must exist).
    // The shared record copied to `controls`.
    void getSelectors(XsDeviceControls& controls) const;
    // Applies `controls` against the record as last applied; a change is stored in the shared block.
    void setSelectors(XsDeviceControls& controls);
    // Configuration completion: the record filled for the model, the stored user values applied.
    void initDeviceControls();
    // The record as the kernel last applied it: the structure every change is bounded by.
    const XsDeviceControls& appliedControls() const { return mAppliedControls; }
    // The unit whose clock source follows the output selection (200C:1030); 0 for none.
    uint16_t mClockSourceUnit = 0;

    // --- Descriptor scan and interface choice
    bool scanDeviceDescriptor(USBByteBuffer& buffer);
    bool scanConfigurationDescriptors(USBByteBuffer& buffer);
    void disableAllByFrequency(uint32_t frequency);
    void disableAllByResolution(int bits);
    void disableAllByChannels(uint8_t channels);
    VKConfigurationDescriptor* getConfigurationDescriptor(int i);
    int getCountConfigurationDescriptors() const;
    void getAPIDeviceInfo(APIDeviceInfo& info);
    bool buildInternalAPIDeviceInfo();
    APIDeviceInfo* getAPIDeviceInfoPtr() { return mAPIDeviceInfo; }
    bool findInterfacesInConfig();
    bool tryFindInterfaces(VKInterfaceDescriptor*& inAlternate, VKInterfaceDescriptor*& outAlternate,
                           uint32_t& frequency, int32_t& inChannels, int32_t& outChannels, int32_t& inBits,
                           int32_t& outBits);
    bool checkBandwidthForPipe(VKPipeDescriptor* pipe, uint32_t frequency);
    bool setFreqOnOutPipe() const;
    void onUnconfigure();
    // Helpers of the scan and the choice.
    bool isElektron() const;
    void readElektronIdentity();
    void correctConfiguration();
    void correct0CCD_0014();
    void correctExtigy();
    VKInterfaceDescriptor* findMidiInterfaceIn(VKConfigurationDescriptor* configuration);
    void assignStreamingInterfaces(VKConfigurationDescriptor* configuration, const QzChannelSettings& settings);
    void initElektronChannelMap(QzChannelSettings& settings);
    void applyRequestDefaults(QzChannelSettings& settings);
    // The alternate of `interface` with this format; null for no interface, no channels, or more
    // channels than a stream carries (kMaxChannels).
    VKInterfaceDescriptor* findStreamingAlternate(VKInterfaceDescriptor* interface, uint32_t frequency,
                                                  int32_t channels, int32_t bits);
    bool tryFindElektronInterfaces(VKInterfaceDescriptor*& inAlternate, VKInterfaceDescriptor*& outAlternate,
                                   uint32_t frequency, int32_t inChannels, int32_t outChannels, int32_t inBits,
                                   int32_t outBits);
    // The fixed Elektron alternate for (channels, bits); 0 when there is none.
    static uint8_t elektronAlternateFor(int32_t channels, int32_t bits);
    // The rate the search ladder tries after `frequency`; 0 when the ladder ends there.
    static uint32_t nextLadderFrequency(uint32_t frequency, bool can192);
    // Samples per 1-ms frame a bandwidth request allows for (0 for an unknown rate).
    static uint32_t bandwidthAllowance(uint32_t frequency);
    // --- End of descriptor scan and interface choice

    // --- Per-model start-up and power commands (request thread or the service's start).
    void initDigiDesignMbox();
    void initDigiDesignMbox2();
    void startupDigiDesignMbox2();
    void scanFirmwareVersion();
    bool sendDeepSleep();
    void setReadChannels(int inputs, int outputs);
    void initialSettings(const APISpecificFeatures* features);
    void setCustomName(const char* name);
    void terminateBulkRqBs(VKSimpleArray& list);
    void terminateInterruptRqBs(VKSimpleArray& list);
    // The firmware text: it begins at byte 4 of mFirmwareVersionString (bytes 0 to 3 are the binary
    // version) and always ends inside it. Device command 24 returns this text.
    const char* firmwareVersionText() const { return mFirmwareVersionString + 4; }
    // Characters of the custom name (0 to 64; the name is not terminated at 64).
    size_t customNameLength() const;

    // --- Start and end of the device's resources.
    void init();
    bool onServiceStart(IOUSBDevice* usbDevice);
    uint32_t getLocationID(IOUSBDevice* usbDevice);
    void terminate();

    // --- Feedback endpoint (USB completion context; requestIOFeedback also on the thread that
    // starts streaming). One feedback read in flight while streaming; each completion is judged by
    // the frame pattern, counted, and the next read queued; more than 40 errors break the stream.
    void requestIOFeedback();
    // `values`: for each frame of `block`, the reported sample count (the completion counted
    // frames of a length other than 3 into mIsoc.feedback.mErrorCounter).
    void isocReadCompleteFeedback(VKIsocRB* block, FeedbackStreamingStruct& values);
    void initNextTransactionFeedback();
    static constexpr uint32_t kFeedbackErrorLimit = 40; // more breaks the stream
    static constexpr uint8_t kFullFrameFeedbackInterval = 4;
    // --- End of feedback endpoint

    // Per-model and feature-record defaults of the stream configuration at start.
    void applyDefaultSettings(bool highSpeed);
    // A selection byte of the shared block's device controls (0 without the block).
    uint8_t controlsSelector(size_t offset) const;

    // --- Streaming service: start, the isochronous service loop, stop and recovery.
    // Request thread (dispatch lock held), unless a line says otherwise.
    void startStreaming();
    void onStreamingStarted();
    void onStreamingStopped();
    void initFramePattern();
    void resumeStreaming();
    // Start the isochronous streams (and the keep-alive stream) at the current frame + 50.
    bool rtsIsocAudioRun();
    bool rtsIsocAudioRunKeepAlive();
    // Real-time thread (the KeThread service): one cycle per new bus frame.
    static void rtsIsocOutIsocIn(void* device);
    bool rtsPrepareService(AudioSM** ring);
    void rtsProcessIsocOut_Std(AudioSM* ring);
    void rtsProcessIsocOut_Elektron(AudioSM* ring);
    // USB completion thread: decodes one completed read into the input ring.
    void rtsProcessIsocIn_Std(AudioSM* ring, VKIsocRB* block);
    // USB completion thread, synchronised to the output: a write the bus sent advances the input
    // ring by its frames and stamps it, as a read would.
    void rtsAdvanceInputWithOutput(const VKIsocRB& block);
    // Request or completion thread: queue the next block of a stream.
    bool rtsRequestIn();
    bool rtsRequestOut();
    bool rtsRequestOutKeepAlive();
    // USB completion thread (the family's low-latency isochronous completions).
    static void rtsIsoReadCompleteStatic(void* target, void* parameter, IOReturn status,
                                         IOUSBLowLatencyIsocFrame* frames);
    static void rtsIsoWriteCompleteStatic(void* target, void* parameter, IOReturn status,
                                          IOUSBLowLatencyIsocFrame* frames);
    static void rtsIsoWriteKeepAliveCompleteStatic(void* target, void* parameter, IOReturn status,
                                                   IOUSBLowLatencyIsocFrame* frames);
    void rtsIsoReadComplete(VKIsocRB* block);
    void rtsIsoWriteComplete(VKIsocRB* block);
    void rtsIsoWriteKeepAliveComplete(VKIsocRB* block);
    // Request thread: stops the streams; with `wait`, until no block is in flight. Also finishes a
    // stop that a completion began (rtsBreakStream). False, logged, when the service cycle did not
    // end within kServiceWaitLimitMs: the streams are then aborted and the stop stays unfinished
    // (mStopUnfinished) for the next stop or start to finish; no block is touched.
    static constexpr uint32_t kServiceWaitLimitMs = 1000;
    static constexpr uint32_t kServiceWaitStepMs = 10;
    bool stopStreaming(bool wait);
    bool suspendStreaming();
    // Requests 31 (stage 1) and 32 (stage 2) after a broken stream.
    bool handleStreamBroken(int stage);
    void terminateIsocRqBs();
    // --- Bulk audio (request threads unless named). The request blocks on the configured pipes.
    void bulkAudioInitIRPS(char flag);
    // Starts the bulk stream: rate, input select, geometry, converters, blocks, first transfers.
    // False, logged, when the device cannot stream this configuration (nothing is queued then and
    // the stream is not marked started).
    bool bulkAudioRun();
    // Input DMA channels after the input-select dialogue (16 or 32).
    uint32_t setAJDMAInputChannels(uint32_t inputChannels);
    bool chooseDMADecoder();
    bool chooseDMAEncoder();
    void bulkAudioGo();
    // Request thread or completion: queue the next transfer.
    bool bulkAudioIn();
    bool bulkAudioOut();
    // USB completion.
    static void bulkAudioInCompletion(void* target, void* parameter, IOReturn status, UInt32 remaining);
    static void bulkAudioOutCompletion(void* target, void* parameter, IOReturn status, UInt32 remaining);
    void bulkInpEvent(AudioBulkIRP& block);
    void bulkOutEvent(AudioBulkIRP& block);
    // Aborts both pipes; with `wait`, until no block is claimed (request thread only).
    void bulkAudioStop(bool wait);
    // Real-time thread: the service functions of the bulk modes and their steps.
    static void rtsBulkOutBulkIn(void* device);
    static void rtsIsocOutBulkIn(void* device);
    void rtsProcessBulkIn(AudioSM* ring);
    void rtsProcessBulkOut(AudioSM* ring);
    // One output packet from one packet's client bytes; an underrun of the output (real-time).
    void encodeBulkPacket(uint8_t* packet, const uint8_t* source);
    void noteUnderrun();
    const VKDriftGuard& bulkGuard() const { return mBulkIOGuard; }
    const VKDriftGuard& interruptGuard() const { return mInterruptIOGuard; }
    // --- Interrupt audio (as bulk audio: request threads, completions, real-time service).
    // The blocks on the configured pipes; blocks with a transfer in flight are left as they are.
    void interruptAudioInitIRPS(char flag);
    // Starts the interrupt stream; false, logged, when it cannot (nothing queued then).
    bool interruptAudioRun();
    void interruptAudioGo();
    bool interruptAudioIn();
    bool interruptAudioOut();
    static void interruptAudioInCompletion(void* target, void* parameter, IOReturn status, UInt32 remaining);
    static void interruptAudioOutCompletion(void* target, void* parameter, IOReturn status, UInt32 remaining);
    // Aborts both pipes (with `wait`, until no block is claimed) and gives back the buffers of the
    // blocks no transfer holds.
    void interruptAudioStop(bool wait);
    static void rtsInterruptOutInterruptIn(void* device);
    void rtsProcessInterruptIn(AudioSM* ring);
    void rtsProcessInterruptOut(AudioSM* ring);
    // Any thread, completions included: marks the stream stopped and aborts its transfers without
    // waiting; the waiting part of the stop runs at the next stopStreaming on a request thread.
    void rtsStopStreamingNoWait();
    // The same, then the state change 2 (stream broken) is recorded for announcement.
    void rtsBreakStream();
    // Request thread, no cycle running: blocks the bus gave back before their decode or last fill
    // are given back (they would stay held).
    void releaseUnfinishedBlocks();
    // --- End of streaming service

    // --- State changes to user space (any thread, the real-time and completion ones included:
    // the message is posted, never waited for).
    // State change `code` with `parameter` to every client, for no client in particular.
    void stcNotify(uint32_t code, uint32_t parameter);
    // The same for the streaming service; a broken stream (2) and a stream at power-on (13) first
    // arm the stream-broken handling when it is not armed. Also recorded in mStreamStateChange /
    // mStreamStateChanges.
    void stcNotifyStreaming(uint32_t code, uint32_t parameter);

    // --- Configuration change (request threads, dispatch lock held).
    // Stops, unconfigures, stores `settings` as current, configures, publishes and announces (3).
    // A configured device asked for its current settings again does nothing (unless `force`); a
    // failed change on a configured device falls back to the previous settings. `client` is the
    // requesting user client (null for none). True when the device ends configured. Settings that
    // no stream can carry (VKValidChannelSettings) are refused before anything is touched.
    bool onPrepareNewConfig(const QzChannelSettings& settings, IOUserClient* client, bool force);
    // Every attached client's ring laid out for the current settings, then streaming starts.
    void startStreamAfterConfig();
    // The client table with one more reference, or null.
    DriverData* getAndRetainDriverData();
    void detachAllClients();
    // The controls record of the shared block applied after user space changed it; each announces
    // its state change with the requesting client's identifier (0 for a null client).
    void UpdateMuteStatus(IOUserClient* client);
    void UpdateDataSourceSelector(IOUserClient* client);
    void UpdateVolumeStatus(bool flag, IOUserClient* client);
    void UpdateMonitorStatus(uint32_t value, IOUserClient* client);
    void UpdateMindprintRouting(uint32_t value, IOUserClient* client);
    bool getCanMonitor() const;
    uint32_t getMonitorValue() const;
    uint32_t getMindprintRoutingValue() const;
    // The first version stored wins.
    void setHALVersion(uint32_t version);
    uint32_t getHALVersion() const { return mHALVersion; }
    static constexpr uint32_t kUSBVersion = 0x03030B00;
    uint32_t getUSBVersion() const { return kUSBVersion; }
    // The stored controls (when any were stored) copied into `controls` (kStoredControlsSize bytes).
    void deviceSettingsLoadControls(uint8_t* controls) const;
    // A user client closes or dies: its identifier leaves the shared block's three client records.
    void onClientClosed(IOUserClient* client);
    // Settings a stream can carry: a rate of 1 to kMaxFrequency Hz, 0 to kMaxChannels channels per
    // direction and some channels in all, a resolution of 8, 16, 20, 24 or 32 bits (or 0 for a
    // direction without channels), a configuration the device has.
    static constexpr int32_t kMaxFrequency = 384000;
    bool validChannelSettings(const QzChannelSettings& settings) const;
    // Controls handling A (see the update family).
    void applyControlsA();
    // The working copy applied with setSelectors.
    void applyWorkingControls();

    uint16_t vendorID() const { return mDeviceDescriptor.idVendor; }
    uint16_t productID() const { return mDeviceDescriptor.idProduct; }
    uint16_t releaseID() const { return mDeviceDescriptor.bcdDevice; }
    VIDPID vidpid() const { return VIDPID(vendorID(), productID(), releaseID(), &mInitSettings); }
    // What the driver asks of this model: the rows of the model-rules tables that name it,
    // resolved when the device descriptor is scanned (and again by whoever changes the ids).
    bool hasTrait(vkdevice::ModelTrait trait) const { return mModelProfile.has(trait); }
    const vkdevice::ModelProfile& modelProfile() const { return mModelProfile; }
    void resolveModelProfile();

    // Client table and configuration completion
    // After the interfaces are open and the pipes bound (request thread, dispatch lock held):
    // the family register, the converters, the isochronous streams; `flag` goes to the bulk and
    // interrupt set-up, `decoder` to the isochronous input stream.
    void configurationDone(char flag, PCMDecoder decoder);
    // The converter choice; also run by the routing and channel-count commands.
    void chooseInputPostprocessor();
    void choose6InputPostprocessor();
    void chooseISOOutEncoder();
    void chooseOutMixer();
    // The family status register dialogue (vendor request 0x49); `status` (may be null) receives
    // the register byte. True when the last request succeeded.
    bool updateAqInputSelector(uint32_t* status);
    void writeDigitalOutSelector();
    // Up to 20 readings of the rate a locked digital input runs at (first setting the configured
    // rate on the input pipes when asked).
    void measureDigitalLockFrequency(bool setRateFirst);
    // The device facts the PCM coder choice takes.
    PCMDeviceFacts pcmDeviceFacts() const;
    // --- End of client table and configuration completion

    // --- State several threads share (request, completion and real-time threads): each read or
    // change is one atomic step.
    // The stream runs (set by the start, cleared by any stop).
    uint8_t streamingStarted() const { return m_bStreamingStarted.load(); }
    void setStreamingStarted(uint8_t started) { m_bStreamingStarted.store(started); }
    // A stop begun from a completion whose waiting part has not run yet.
    uint8_t stopUnfinished() const { return mStopUnfinished.load(); }
    void setStopUnfinished(uint8_t unfinished) { mStopUnfinished.store(unfinished); }
    // Set while streaming when the channel counts change; the streaming service takes it.
    uint8_t channelsChanged() const { return mChannelsChanged.load(); }
    void setChannelsChanged(uint8_t changed) { mChannelsChanged.store(changed); }
    uint8_t takeChannelsChanged() { return mChannelsChanged.exchange(0); }
    // The device is marked as failing (a full-speed start of a model that refuses full speed, a bus
    // frame number that cannot be read); its blocks are then not queued again.
    uint8_t hardwareFailure() const { return m_bDeviceHardwareFailure.load(); }
    void setHardwareFailure(uint8_t failed) { m_bDeviceHardwareFailure.store(failed); }
    // The last streaming state change recorded for announcement, and how many were recorded.
    uint32_t streamStateChange() const { return mStreamStateChange.load(); }
    uint32_t streamStateChanges() const { return mStreamStateChanges.load(); }

    // --- The model's registers and mixer (request threads, dispatch lock held).
    const VKModelRegisters& registers() const { return mRegisters; }
    void setUS366Register(size_t index, uint16_t value) { mRegisters.us366[index] = value; }
    // The mixer requests: a new mode marks the change for the next read of the change flags.
    void setMixerMode(uint32_t mode)
    {
        mRegisters.mixerMode = mode;
        mRegisters.mixerChanged = 1;
    }
    void setMixerValues(int16_t bitmap, int16_t knob)
    {
        mRegisters.mixerBitmap = bitmap;
        mRegisters.mixerKnob = knob;
    }
    // A dead process's hog mode goes with it: cleared when `processID` holds it (true then).
    bool releaseHogOf(int32_t processID)
    {
        if (mHogID == -1 || mHogID != processID) {
            return false;
        }
        mHogID = -1;
        return true;
    }
    // The configuration switch marks the mixer changed, whether or not the mode changes.
    void markMixerChanged() { mRegisters.mixerChanged = 1; }
    // The foot switch's contact 0..2, 1 while held (a contact beyond 2 changes nothing).
    void setFootSwitchPressed(size_t contact, uint16_t down)
    {
        if (contact < 3) {
            mRegisters.footSwitchPressed[contact] = down;
        }
    }
    // Whether the mixer mode changed since the last call.
    bool takeMixerChanged()
    {
        const bool changed = mRegisters.mixerChanged != 0;
        mRegisters.mixerChanged = 0;
        return changed;
    }

    // Per-model data.
    DeviceSpecificData mDeviceSpecific{};
    // Largest input sample per channel, kept by the input decoding.
    int32_t mInputMaxima[32]{};
    // Feature record from the personality; byte 375 is the listed mark.
    APISpecificFeatures mInitSettings{};
    // Read from Elektron devices by the descriptor scan.
    uint8_t ElektronUID[8]{};
    char ElektronDeviceName[32]{};
    // The personality's input selector and custom name.
    uint32_t mInACR = 255;               // input-parser selector from the personality ("kInACR")
    char mCustomName[kCustomNameSize]{}; // not terminated when all 64 characters are used
    // MIDI, hub and hog state, level meters and the power-down and underrun marks.
    USBMidiDevice* mpMidiDevice = nullptr; // raw-MIDI family devices only
    int32_t mHubCount = 0;
    int32_t mHogID = -1;
    LevelProcessor mOutLevelProcessor = nullptr; // chosen at stream start; null: no meters
    LevelProcessor mInLevelProcessor = nullptr;
    uint32_t mInLevelChannels = 0; // the channels mInLevelProcessor walks
    uint8_t mbWasPowerDownMode = 0; // set at wake-up, read and cleared by stream-broken handling
    // The isochronous streams and the service's position in them.
    VKIsocStreams mIsoc;
    // The device descriptor as scanned.
    QZ_DeviceDescriptor mDeviceDescriptor{};
    vkdevice::ModelProfile mModelProfile{};
    // Vendor asynchronous port; null: this build has none.
    VendorAsyncPort* mpVendorAsyncPort = nullptr;
    // Streaming state.
    uint32_t mStreamingState = 0; // nothing sets it
    uint8_t m_bStreamingSuspended = 0;
    // The chosen configuration, its interfaces and pipes.
    VKChosenEndpoints mChosen;
    // Cleared by the one-time defaults of the descriptor scan.
    uint8_t mFirstScan = 1;
    // Configurations in the order of the device's configuration indices; owned.
    VKSimpleArray mConfigurations;
    // Frame pattern the isochronous output follows.
    VKFramePatternObserver mFramePatternObserver;
    // The service that made the device; every USB request goes through it.
    VKDeviceOwner& mOwner;
    // Bus speed and firmware.
    uint8_t isUSB2 = 0;
    uint8_t isUSB3 = 0;
    uint8_t mFirmwareUpdateMode = 0; // set by device command 33; never cleared
    uint32_t mFirmwareVersion = 0;
    char mFirmwareVersionString[kFirmwareVersionStringSize]{};
    // The device controls as last stored from the shared block.
    uint8_t mControlsStored = 0;
    uint8_t mStoredControls[kStoredControlsSize]{}; // copy of the shared block's XsDeviceControls
    // Host-driver version: 0 until the first setHALVersion.
    uint32_t mHALVersion = 0;
    // Bulk and interrupt streaming state.
    VKBulkInterruptStreams mBulkInterrupt;
    // The device shared block and the client table over it.
    SharedMemory mcDriverSharedMemory;
    DriverSM* mpDriverSM = nullptr;
    DriverData* mpDriverData = nullptr;
    // Device description, allocated zeroed by init.
    APIDeviceInfo* mAPIDeviceInfo = nullptr;
    // The family MIDI and level-meter engine; made at construction (null only when that failed).
    AQ* mpAQ = nullptr;
    // A locked counter nothing in the kernel uses.
    KeLockedCounter mLockedCounter;
    // The input DMA channels, the output staging buffer, the ESU CPLD byte and the recovery mark.
    uint32_t mInputDmaChannels = 16;
    uint8_t* mDmaOutBufer = nullptr; // 25,600-byte staging buffer; freed at destruction
    uint8_t mEsuCpldByte = 0;        // last value written to the ESU CPLD
    std::atomic<uint8_t> mEsuCpldBusy{0}; // taken by exchange, so two writers never interleave
    uint8_t mRecovery = 0;
    // Stream-broken mark, the real-time thread and its semaphore.
    uint32_t mStreamBrokenCount = 0;
    KeThread* mThread = nullptr; // made at construction, null only when that allocation failed
    KeSemaphore mSemaphore;
    // Input processing scratch: 8,192 bytes aligned to 4,096; null when the allocation failed.
    uint8_t* mInputScratch = nullptr;
    uintptr_t mInputScratchAddress = 0;
    // The input ring's shared memory.
    SharedMemory mcAudioSM_In;
    // Client table and configuration completion: the input post-processor chosen for the
    // configuration (empty for none), run on decoded input.
    InputPostProcessor mInputPostProcessor{};

    // --- Streaming service state.
    // What the cycle and the completions met (they log nothing), reported by request threads.
    VKRealTimeRecord mRealTimeRecord;
    // Request thread: logs what the real-time side recorded since the last report.
    void reportRealTimeRecord();
    // --- End of streaming service state

    // Configuration change: the working copy of the device controls the updates apply.
    uint8_t mWorkingControls[kStoredControlsSize]{};

private:
    // The current channel settings (request threads; see getCurrentSettings).
    QzChannelSettings mSettings{};
    std::atomic<uint8_t> m_bStreamingStarted{0};
    std::atomic<uint8_t> mStopUnfinished{0};
    std::atomic<uint8_t> mChannelsChanged{0};
    std::atomic<uint8_t> m_bDeviceHardwareFailure{0};
    std::atomic<uint32_t> mStreamStateChange{0};
    std::atomic<uint32_t> mStreamStateChanges{0};
    VKModelRegisters mRegisters;
    XsDeviceControls mAppliedControls{};
    VKDriftGuard mBulkIOGuard;
    VKDriftGuard mInterruptIOGuard;
};
