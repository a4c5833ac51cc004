// The client table and the output mix of one device, with the kernel's own record of every shared
// sample ring it touches.
//
// Up to eight audio clients play through a device at once, each through its own output ring (an
// AudioSM it fills at absolute sample positions). Once per USB frame the real-time service asks
// DriverData to read every running client's ring at the kernel's output position, add them,
// saturate, route and weigh the channels, and encode the result into the USB packet.
//
// Trust: every shared block (the device shared block DriverSM, the input ring, each client's
// output ring) is mapped read-write into user processes. Nothing the kernel reads back from them
// decides what memory it touches or whether it waits: the client pointers, ring pointers, use
// counters, client states, ring geometry (length, channels, extra bytes per frame), write
// positions and the time-stamp lock live here, in kernel memory. The client slots of DriverSM and
// the ring headers are mirrors the kernel writes for user space to look at; numbers user space
// writes there (a zero time stamp, a client's write position) are only ever used as numbers,
// clamped where they size anything.
//
// Threads: attach, detach, reinit and the setters run on request threads under the device's
// dispatch lock. The rts* operations run on the real-time service thread, the input ring's writer
// calls on the USB completion thread. They meet only through each slot's use counter and state
// (atomics; the real-time side never waits, detach waits in 1 ms steps) and the time-stamp
// try-lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "AudioSM.h"
#include "IOKit/IOReturn.h"
#include "PCMCoder.h"
#include "TimeStampsBuffer.h"
#include "VKKernelSync.h"

class IOUserClient;
struct DriverSM;
struct QzChannelSettings;

// What user space sees of a user client: its identifier (request 27), in the client slots and the
// device shared block's client records, and in the state changes it causes. A 64-bit number given
// to the client when it is made and never given to another (not its address); 0 for none.
uint64_t VKClientIdentifier(const IOUserClient* client);

// One channel's pair of gains, as a user request sets it.
struct QZ_MixerFraction
{
    uint32_t channel; // 0 to 31
    QZ_Fraction first;
    QZ_Fraction second;
};
static_assert(sizeof(QZ_MixerFraction) == 20);

// Both gain tables at once.
struct QZ_MixerFractions
{
    QZ_Fraction first[32];
    QZ_Fraction second[32];
};
static_assert(sizeof(QZ_MixerFractions) == 512);

// The kernel's record of one shared ring: the ring's address and the geometry the kernel laid it
// out with. Every copy into or out of the ring uses this geometry, never the ring's header.
class KernelRing
{
public:
    // Lays the ring out (AudioSM::init) and keeps its address and geometry. Request thread, while
    // the ring is not in use by the real-time side.
    void init(AudioSM* ring, uint32_t channels, uint32_t frequency, uint32_t extraBytesPerFrame);
    // Keeps the address and the geometry init would lay out, without touching the ring (a ring
    // laid out by its owner for the current stream).
    void adopt(AudioSM* ring, uint32_t channels, uint32_t frequency, uint32_t extraBytesPerFrame);
    // Forgets the ring.
    void clear();

    AudioSM* ring() const { return mRing; }
    const AudioSM::Geometry& geometry() const { return mGeometry; }
    uint32_t frequency() const { return mFrequency; }

private:
    AudioSM* mRing = nullptr;
    AudioSM::Geometry mGeometry{};
    uint32_t mFrequency = 0;
};

// The kernel's record of the device's input ring, of which the kernel is the one writer: besides
// the geometry, the write position, the time stamps (authoritative copy) and their lock. Every
// value is mirrored into the shared ring after it changes.
class KernelInputRing : public KernelRing
{
public:
    KernelInputRing() = default;
    KernelInputRing(const KernelInputRing&) = delete;
    KernelInputRing& operator=(const KernelInputRing&) = delete;

    // Lays the ring out and starts its time stamps and write position afresh. Request thread,
    // with the real-time service kept out.
    void init(AudioSM* ring, uint32_t channels, uint32_t frequency, uint32_t extraBytesPerFrame);

    // TimeStampsBuffer::Init: no pairs, no running position (request thread; waits for the lock).
    void initTimeStamps();
    // TimeStampsBuffer::AddTimeStamp with AudioSM's start pair: the first call of a stream also
    // records the back-dated start pair (start host time, 0). The running position advances by
    // `frames` (on top of the previous one when `accumulate`); the pair (hostTime, position) is
    // stored only when the lock is free at once, else dropped. Returns the pair count.
    // real-time: no lock, no allocation, no wait.
    uint32_t AddTimeStamp(uint64_t hostTime, uint64_t frames, bool accumulate);
    // TimeStampsBuffer::CopyData: the pairs added since the previous copy (at most 1000) at their
    // ring positions, and the count. Request thread; waits for the lock.
    void CopyData(QZ_TimeStampsBufferData& out);
    // The newest pair; false with none. real-time: no lock, no allocation, no wait.
    bool GetLastTimeStamp(uint64_t& hostTime, uint64_t& sampleTime) const;
    // Host time of a sample position from the stored pairs (0 with fewer than two).
    uint64_t GetTimeStamp(uint64_t sampleTime) const;

    // AudioSM::updateZeroTimeStamp: once the write position has passed a ring length beyond the
    // zero time stamp, the stamp moves one ring length on. real-time: no lock, no allocation, no wait.
    void updateZeroTimeStamp(uint32_t frames);
    // AudioSM::writeFrames (kernel variant): `frames` frames (samples and, with extra bytes, the
    // extra area) at ring frame (writeOffset + write position), through `copy` (plain copy when
    // null), then the write position advances by `frames`, also with no samples.
    // real-time: no lock, no allocation, no wait.
    void writeFrames(const int32_t* samples, uint32_t frames, uint64_t writeOffset, AudioConverter copy,
                     const uint8_t* extra);

    // AudioSM::writeTimestamp from the kernel's own record: feeds the anchor being built with the
    // write position and `hostTime`, and publishes it once a quarter second of frames lies between
    // its ends. The shared anchor fields are written, never read back.
    // real-time: no lock, no allocation, no wait.
    void writeTimestamp(uint64_t hostTime);

    // The lock CopyData holds while it copies (for tests that hold it themselves).
    Mutex& timeStampLock() { return mTimeStampLock; }

    // The kernel's write position (frames written since init).
    uint64_t framePos() const { return mFramesWritten.load(std::memory_order_acquire); }

private:
    // Stores a pair into the kernel's copy and its mirror when the lock is free at once.
    struct PairStore final : TimeStampsBuffer::PairWriter
    {
        explicit PairStore(KernelInputRing& owner) : ring(owner) {}
        void store(TimeStampsBuffer& buffer, uint64_t hostTime, uint64_t sampleTime) override;
        KernelInputRing& ring;
    };
    void mirrorTimeStampFields();

    Mutex mTimeStampLock;
    PairStore mPairStore{*this};
    TimeStampsBuffer mTimeStamps{}; // authoritative; the ring's copy is a mirror
    bool mStarted = false;          // the start pair of the stream was recorded
    uint64_t mHostTicksPerBuffer = 0;
    std::atomic<uint64_t> mFramesWritten{0};
    uint64_t mWriteCount = 0;
    // The anchor being built and which published anchor readers use (1: A, 0: B).
    uint64_t mAnchorSample0 = 0;
    uint64_t mAnchorHost0 = 0;
    uint64_t mAnchorSpan = 0;
    uint32_t mAnchorSelect = 1;
};

// One client slot, kernel-private. The slot of the same index in DriverSM mirrors it.
struct ClientData
{
    // Slot states; the ring's state word mirrors them.
    static constexpr uint32_t kFree = 0; // no client (or a ring laid out afresh, not attached)
    static constexpr uint32_t kRunning = AudioSM::kStateRunning;
    static constexpr uint32_t kAttachPending = AudioSM::kStateAttachPending;

    std::atomic<int32_t> mUseCount{0}; // the mixer and detach hold 1 while they use the slot
    std::atomic<uint32_t> mState{kFree};
    IOUserClient* mClient = nullptr; // retained while attached
    int32_t mProcessID = 0;
    uint32_t mBufferFrames = 0;
    KernelRing mRing;
    uint8_t* mMirror = nullptr; // this slot's 180 bytes in DriverSM; null without the block
    // Frames the mixer read before the client had written them, once it had begun writing: its
    // output went out wrong. Counted by the real-time side, reported by request threads.
    std::atomic<uint64_t> mLateFrames{0};
    // The real-time side's own (reset at attach and reinit): the client's write position as the
    // mixer last saw it (kNotSeen before the first pass), and whether it has moved since.
    static constexpr uint64_t kNotSeen = ~uint64_t{0};
    uint64_t mSeenWritten = kNotSeen;
    bool mWriting = false;
};

// Refuses a null client or an occupied slot; sets the ring's state to attach pending.
bool ClientData__attach(ClientData* slot, IOUserClient* client, AudioSM* ring, int32_t processID,
                        uint32_t bufferFrames, uint32_t channels, uint32_t frequency,
                        uint32_t extraBytesPerFrame);
// How long a request thread waits for the mixer to let go of a slot.
constexpr uint32_t kSlotWaitLimitMs = 1000;
// Waits (1 ms steps, at most kSlotWaitLimitMs) until the mixer lets go of the slot, then frees it
// and releases the client; false, with the slot left as it was, when the mixer kept it.
bool ClientData__detach(ClientData* slot);
// Client and ring set and running.
bool ClientData__isAttached(const ClientData* slot);
// As isAttached, and takes the slot's use counter (never waits: a busy slot answers false). A true
// answer obliges the caller to call ClientData__unlock after use. real-time.
bool ClientData__isAttachedLocked(ClientData* slot);
void ClientData__unlock(ClientData* slot);
// Lays an attached slot's ring out afresh for the stream and puts it back to attach pending (a slot
// the mixer keeps past kSlotWaitLimitMs is left as it was).
void ClientData__reinitForStream(ClientData* slot, const QzChannelSettings& settings, uint32_t extraBytesPerFrame);
// Stores a change notice in the client's ring.
void ClientData__notifyChange(ClientData* slot, uint32_t notification);
// Logs the frames mixed before the slot's client wrote them since the last report, naming the
// client's process (request thread).
void ClientData__reportLate(ClientData* slot);

class DriverData
{
public:
    static constexpr uint32_t kClientSlots = 8;
    static constexpr uint32_t kMaxChannels = 32;
    static constexpr uint32_t kMixSamples = 8192;    // ISOC_TEMP_SAMPLES
    static constexpr uint32_t kMixBytes = 3 * 8192;  // USB bytes one pass encodes at most
    static constexpr uint32_t kElektronExtraBytesPerFrame = 2;

    // A record with reference count 1 over `driverSM` (may be null), for the device with these
    // ids (Elektron devices give their rings 2 extra bytes per frame); null when the allocation
    // failed. Request thread.
    static DriverData* create(DriverSM* driverSM, uint16_t vendorID, uint16_t productID);
    void retain();
    void release();
    // The device shared block goes: nothing is mirrored into it any more.
    void sharedMemoryDestroyed();

    // --- Client table (request threads, under the device's dispatch lock)
    // Attached clients, by the kernel's own count (the shared block's count is its mirror).
    uint32_t countClients() const;
    // The first free slot; false ("no free slot found") when all eight are taken or the client is
    // null. The client's ring must be laid out for the current stream (see reinitClientsForStreaming):
    // the kernel reads it with that layout, whatever its header says.
    bool attachClient(IOUserClient* client, AudioSM* ring, int32_t processID, uint32_t* slotIndex,
                      uint32_t bufferFrames);
    // kIOReturnNotAttached when the client has no slot; kIOReturnTimeout, the client left attached,
    // when the mixer kept its slot past kSlotWaitLimitMs.
    IOReturn detachClient(IOUserClient* client);
    bool isClientAttached(IOUserClient* client) const;
    void detachAllClients();
    // Before every (re)start of streaming and at suspend: every attached client's ring laid out for
    // these settings and put back to attach pending.
    void reinitClientsForStreaming(const QzChannelSettings& settings);
    void dumpClientList() const;
    // The client whose output alone is heard (0: every client's) and the client whose extra bytes
    // reach the device (0: none), by VKClientIdentifier. Kept here and mirrored into DriverSM for
    // display only: the mixer never reads them from the shared block. Cleared when the named
    // client detaches or closes.
    void setOutputsExclusiveClient(uint64_t id);
    void setPrivateDataClient(uint64_t id);
    uint64_t outputsExclusiveClient() const { return mOutputsExclusiveClient.load(std::memory_order_acquire); }
    uint64_t privateDataClient() const { return mPrivateDataClient.load(std::memory_order_acquire); }
    // Clears whichever of the two names this client.
    void clearClientIdentifiers(uint64_t id);

    // --- Converters and mixer settings (request threads)
    // The host-to-USB encoder; the channel counts and the rate new clients' rings are laid out for
    // come from `settings`.
    void setConverters(PCMEncoder encoder, const QzChannelSettings& settings);
    void setOutMixer(OutMixer mixer);
    // kIOReturnBadArgument for a channel index of 32 or more; a denominator of 0 is stored as 1.
    IOReturn setMixerFraction(const QZ_MixerFraction& fraction);
    IOReturn setMixerFractions(const QZ_MixerFractions& fractions);
    // 32 bytes, output channel -> source; kIOReturnBadArgument (table kept) when an entry is 32 or
    // more. A null table keeps the current one.
    IOReturn setRoutingMatrix(const uint8_t* routing);

    // --- Real-time operations. real-time: no lock, no allocation, no wait.
    // At a new USB frame: pending clients start running at `framePos` / `hostTime` (the newest
    // input time stamp) and `outputPos`; every ring gets the output position.
    void rtsCheckAttachClients(uint64_t framePos, uint64_t outputPos, uint64_t hostTime);
    // Mixes frameCount frames of every running client at `position` and encodes them into
    // byteCount bytes of usbBuffer (zeroed when no client is attached; that is logged once per run
    // of such frames). extraBytes, when given, receives frameCount x the stream's extra bytes per
    // frame of the private-data client. No frames, or frames of more than 32 samples, mix nothing.
    void rtsIsocOutput(uint8_t* usbBuffer, uint32_t byteCount, uint64_t position, uint32_t frameCount,
                       uint8_t* extraBytes);
    // Mix and saturate only, into sampleCount 32-bit samples (zeroed without clients).
    void rtsBulkOutput(int32_t* samples, uint32_t sampleCount, uint64_t position, uint32_t frameCount);
    void rtsInterruptOutput(int32_t* samples, uint32_t sampleCount, uint64_t position, uint32_t frameCount);
    // The smallest number of frames the attached clients have written beyond `position` (each
    // clamped to +/- its ring length), and how many clients were asked; 0 and 0 without them.
    void rtsGetMinAvailableFrames(const DriverSM* driverSM, int32_t* minFrames, uint32_t* clients,
                                  uint64_t position);

    // The device's input ring.
    KernelInputRing& inputRing() { return mInputRing; }
    // ClientData__reportLate for every slot (request thread).
    void reportClientsLate();

    // --- For inspection (device commands, tests).
    // The largest sample seen on an output channel since the peaks were last cleared.
    int32_t outputPeak(uint32_t channel) const;
    void clearOutputPeaks();
    const QZ_Fraction* firstFractions() const { return mFirstFractions; }
    const QZ_Fraction* secondFractions() const { return mSecondFractions; }
    const uint8_t* routing() const { return mRouting; }
    PCMEncoder hostToUSB() const { return mHostToUSB.load(std::memory_order_acquire); }
    OutMixer outMixer() const { return mOutMixer.load(std::memory_order_acquire); }
    uint32_t inputChannels() const { return mInputChannels; }
    uint32_t outputChannels() const { return mOutputChannels; }
    uint32_t extraBytesPerFrame() const { return mExtraBytesPerFrame; }
    // The rate new clients' rings are laid out for; 0 before the first configuration.
    uint32_t frequency() const { return mFrequency; }
    ClientData& slot(uint32_t index) { return mClients[index % kClientSlots]; }

    // The control-event area: 32 values the device's status words set (USB completions) and
    // device command 49 takes, clearing them (request threads). Indices beyond 31 change nothing.
    static constexpr uint32_t kControlEvents = 32;
    void setControlEvent(uint32_t index, int32_t value)
    {
        if (index < kControlEvents) {
            mControlEvents[index].store(value, std::memory_order_relaxed);
        }
    }
    void addControlEvent(uint32_t index, int32_t delta)
    {
        if (index < kControlEvents) {
            mControlEvents[index].fetch_add(delta, std::memory_order_relaxed);
        }
    }
    void takeControlEvents(int32_t (&out)[kControlEvents])
    {
        for (uint32_t i = 0; i < kControlEvents; ++i) {
            out[i] = mControlEvents[i].exchange(0, std::memory_order_relaxed);
        }
    }

private:
    DriverData(DriverSM* driverSM, uint16_t vendorID, uint16_t productID);
    ~DriverData();
    DriverData(const DriverData&) = delete;
    DriverData& operator=(const DriverData&) = delete;

    // Reads frameCount frames of `channels` samples of every running client into mix, which holds
    // `capacity` samples (the first client sets, the others add); true when some client was read.
    bool mixClients(int32_t* mix, uint32_t capacity, uint32_t channels, uint64_t position, uint32_t frameCount,
                    uint8_t* extraBytes);
    void mirrorCount();

    std::atomic<uint32_t> mRefCount{1};
    uint32_t mInputChannels = 1;
    uint32_t mOutputChannels = 0;
    std::atomic<DriverSM*> mDriverSM{nullptr};
    int32_t mMix[kMixSamples]{};
    std::atomic<PCMEncoder> mHostToUSB{nullptr};
    std::atomic<OutMixer> mOutMixer{nullptr};
    std::atomic<int32_t> mOutputPeaks[kMaxChannels]{};
    QZ_Fraction mFirstFractions[kMaxChannels]{};
    QZ_Fraction mSecondFractions[kMaxChannels]{};
    uint8_t mRouting[kMaxChannels]{};
    // Kernel-private beside the fields above.
    std::atomic<uint32_t> mAttachedCount{0}; // DriverSM's count mirrors it
    std::atomic<uint64_t> mOutputsExclusiveClient{0}; // DriverSM's mirrors them
    std::atomic<uint64_t> mPrivateDataClient{0};
    bool mToldNoClients = false;             // real-time side: a run of empty mixes was logged
    bool mToldNoEncoder = false;
    uint32_t mFrequency = 0;
    uint32_t mExtraBytesPerFrame = 0;
    ClientData mClients[kClientSlots];
    KernelInputRing mInputRing;
    std::atomic<int32_t> mControlEvents[kControlEvents]{};
};
