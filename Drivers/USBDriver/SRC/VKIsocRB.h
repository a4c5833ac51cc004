// Isochronous transfer blocks. Every isochronous stream of a device (input, output, feedback,
// keep-alive) owns an IsocData: a ring of four VKIsocRB blocks handed out strictly in turn, each
// covering four USB frames (32 microframe records on a high-speed pipe serviced every microframe,
// bInterval 1), plus one large buffer the input side decodes into. A block owns its packet buffer
// and the frame list of the USB family's low-latency isochronous transfers; the streaming service
// prepares it (initRead, initWrite_Std, initWrite_Elektron, initWriteKeepAlive), queues it on the
// pipe and gives it back in the completion.
//
// Block life: idle (use 0, done, completed) -> handed out by next (use 1, completed clear) ->
// queued (markQueued: use 2, done clear, processed 0) -> the completion sets completed and gives
// one use back; the input decode or the last output fill sets done and gives the other back ->
// idle. A cancelled block's completion is ignored but still gives the block back. A block set to
// auto-delete destroys itself when its use count reaches 0.
//
// Sizes: a block's buffer always holds its records at the packet size (4 x 1,024 bytes in frame
// mode, 32 x 1,024 in microframe mode; reinit grows it when a new pipe needs more), and every
// request is bounded by the packet size and the buffer: a pattern value that would not fit is
// clamped to the samples that do (logged once per block).
//
// Frame numbers are 64-bit (the bus's frame counter), so they never wrap in practice.
//
// Threads: construction, reinit, IsocData::init/alloc/term run on a request thread with the stream
// stopped. next, the output fill and the completions run on different threads (real-time thread,
// USB completion context); they meet only through the atomic use count and the done, completed and
// cancel flags, which each side sets (release) after finishing with the block. initRead, initWrite_*,
// initWriteKeepAlive, unuse, next and getEarliestUnprocessed are real-time: no lock, no allocation,
// no wait. The last unuse of an auto-delete block frees it, except under the real-time mark (a
// completion giving back a block of an ended stream): there the block is retired, and the next
// request thread that calls reclaimRetired (IsocData's init, alloc and term, the end of a stop or
// of a device) runs its destructor.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "IOKit/usb/USB.h"
#include "PCMCoder.h"

class IOBufferMemoryDescriptor;
class VKPipeDescriptor;
class VKFramePatternObserver;

class VKIsocRB
{
public:
    static constexpr uint32_t kMaxFrames = 32;
    static constexpr uint32_t kFramesPerBlock = 4; // USB frames (ms) a block covers in either mode
    static constexpr uint32_t kMicroframesPerFrame = 8;
    static constexpr uint32_t kDefaultMaxPacket = 1024;
    static constexpr uint32_t kHighSpeedReadPacketLimit = 1024;
    static constexpr uint32_t kFullSpeedReadPacketLimit = 1023;
    static constexpr uint32_t kFrameBufferSize = 4096;        // 4 records x 1,024
    static constexpr uint32_t kMicroframeBufferSize = 32768;  // 32 records x 1,024
    static constexpr uint32_t kElektronHeaderSize = 104;      // per packet, before its audio
    static constexpr uint32_t kElektronExtrasOffset = 6;      // 2 extra bytes per sample from here
    static constexpr uint32_t kElektronTrailerOffset = 100;   // a u32 the fill clears
    // Samples whose extra bytes fit between byte 6 and the trailer: a packet takes no more.
    static constexpr uint32_t kElektronMaxSamples = (kElektronTrailerOffset - kElektronExtrasOffset) / 2;
    static constexpr uint8_t kReadFill = 0xAA;
    static constexpr uint32_t kAutoDeleteBit = 0x80000000;
    static constexpr uint32_t kUseMask = ~kAutoDeleteBit;

    // A block for `pipe` (may be null): microframe mode on a high-speed device whose pipe has
    // bInterval 1; allocates the buffer (request thread).
    VKIsocRB(bool highSpeed, VKPipeDescriptor* pipe);
    ~VKIsocRB();
    VKIsocRB(const VKIsocRB&) = delete;
    VKIsocRB& operator=(const VKIsocRB&) = delete;

    // The block for a new pipe: forced idle, defaults and the microframe rule again; the buffer
    // grows when the new mode needs more than it holds. True when initialised (request thread).
    bool reinit(VKPipeDescriptor* pipe);
    // Recomputes the initialised flag: a buffer and a pipe with an open USB pipe.
    bool checkInit();
    void clearBuffer();
    // With the flag set the block destroys itself at its last unuse; an idle block at once.
    void setAutoDeleteOnCompletion(bool flag);
    // Gives back one use (never below 0). At 0 the block is idle, and with auto-delete destroyed
    // (retired under the real-time mark): the caller must not touch it afterwards. `caller` (may be
    // null) is logged at 0, outside the real-time mark.
    void unuse(const char* caller);
    // Destroys the blocks retired under the real-time mark (request thread); how many.
    static uint32_t reclaimRetired();
    // Blocks retired and not reclaimed yet.
    static uint32_t retiredCount();
    // The completion's give-back: marks the block completed and gives back one use.
    void setCallbackDone(const char* caller);
    // The transfer was accepted by the bus: use count 2, processed count 0, done clear.
    void markQueued();
    bool isInUse() const { return (mUseCounter.load(std::memory_order_acquire) & kUseMask) != 0; }
    bool isAutoDelete() const { return (mUseCounter.load(std::memory_order_acquire) & kAutoDeleteBit) != 0; }

    // Blocks come from the counting allocator; new yields null when it has no memory.
    static void* operator new(size_t size) noexcept;
    static void operator delete(void* pointer, size_t size) noexcept;

    // Transfer set-up (real-time: no lock, no allocation, no wait).
    // Each record reads one packet (the pipe's packet size) at index x packet; the area is 0xAA.
    void initRead();
    // Each record takes the next sample count of the pattern (8 entries per record on a
    // high-speed device in frame mode); answers the bytes requested in total.
    uint32_t initWrite_Std(VKFramePatternObserver& pattern, uint32_t& runningSamples);
    // As initWrite_Std with the Elektron 104-byte header before each packet's audio.
    uint32_t initWrite_Elektron(VKFramePatternObserver& pattern, uint32_t& runningSamples,
                                uint32_t outChannels);
    // One byte per record at the record's index.
    void initWriteKeepAlive();

    // Bytes a record may request: the packet size, and no more than its share of the buffer.
    uint32_t packetCapacity() const;
    uint8_t* frameData(uint32_t frame) const { return mpBufferAddress + mFrameOffsets[frame % kMaxFrames]; }

    // Fields in this order.
    IOUSBLowLatencyIsocFrame mFrames[kMaxFrames]{};
    uint32_t mFrameSamples[kMaxFrames]{};
    uint32_t mFrameOffsets[kMaxFrames]{};
    uint32_t mOutChannels = 0;
    uint32_t mOutBytesPerSample = 0;
    uint32_t mOutBytesPerSampleFrame = 0;
    IOBufferMemoryDescriptor* mpBuffer = nullptr; // owned
    uint64_t mStartFrame = 0;
    uint32_t mNumFrames = kFramesPerBlock; // records: 4, or 32 in microframe mode
    std::atomic<bool> mbCancel{false};     // completions of a cancelled block are ignored
    bool mbMicroFrames = false;
    uint32_t mProcessedFrames = 0; // records the output service has filled
    bool mbUSB2 = false;           // high-speed device
    uint32_t mMaxPacketSize = kDefaultMaxPacket;
    uint32_t mBufferSize = kFrameBufferSize; // what the mode needs
    uint32_t mAllocatedSize = 0;             // what the buffer holds
    VKPipeDescriptor* mPipe = nullptr;
    uint8_t* mpBufferAddress = nullptr;
    bool mbInit = false; // buffer present and the pipe has an open USB pipe
    // Uses in the low bits; kAutoDeleteBit is the auto-delete flag, kept in the same word so that
    // the last give-back and the switch to auto-delete decide the block's end in one atomic step.
    std::atomic<uint32_t> mUseCounter{0};
    std::atomic<bool> mbDone{true};      // no output records left to fill (also when idle)
    std::atomic<bool> mbCompleted{true}; // the bus gave the block back

private:
    VKIsocRB* mRetiredNext = nullptr; // the retired list's link (see unuse)
    friend class IsocData;

    // Defaults and the microframe rule for `pipe`.
    void applyMode(VKPipeDescriptor* pipe, bool fromReinit);
    // A buffer of at least `bytes` (request thread); false when both allocations failed.
    bool allocateBuffer(uint32_t bytes);
    void releaseBuffer();
    void setIdle();
    // Samples the next record takes from the pattern.
    uint32_t takeRecordSamples(VKFramePatternObserver& pattern) const;
    // The common part of the two write set-ups; `header` bytes before each packet's audio.
    uint32_t initWrite(VKFramePatternObserver& pattern, uint32_t& runningSamples, uint32_t header,
                       bool elektron, uint32_t outChannels);
};

// One isochronous stream's four blocks and its input decode buffer.
class IsocData
{
public:
    static constexpr uint32_t kNumRBs = 4;
    static constexpr uint32_t kSharedBufferSize = 262144;
    static constexpr uint32_t kCancelWaitMs = 50;

    IsocData();  // init
    ~IsocData(); // term
    IsocData(const IsocData&) = delete;
    IsocData& operator=(const IsocData&) = delete;

    // No blocks, indexes and error count 0, the shared buffer allocated (request thread).
    bool init();
    // Blocks for `pipe` (re-initialised or created) and a new shared buffer; true when all four
    // blocks are initialised (request thread).
    bool alloc(bool highSpeed, VKPipeDescriptor* pipe, PCMDecoder decoder);
    // Next index and error count 0, every block idle with its buffer zeroed, the next start frame.
    void initForStream(uint64_t firstStartFrame);
    // The block at the next index when it exists, is free and initialised (use 1, completed clear,
    // the next start frame, which then advances by 4); else null. Real-time.
    VKIsocRB* next();
    // The initialised block with done clear and the smallest start frame (first on a tie). Real-time.
    VKIsocRB* getEarliestUnprocessed();
    // Marks every queued block cancelled; without noWait waits 50 ms for them (request thread).
    void cancel(bool noWait);
    // Destroys idle blocks, sets queued ones to auto-delete, releases the shared buffer.
    void term();

    // Fields in this order.
    VKIsocRB* mRBs[kNumRBs]{};                               // owned
    IOBufferMemoryDescriptor* mpUSBFrameInDataBuffer = nullptr; // 262,144 bytes, page aligned
    uint8_t* mpUSBFrameInData = nullptr;
    uint32_t mNext = 0;
    uint64_t mNextStartFrame = 0;
    uint32_t mErrorCounter = 0; // input: frame-pattern errors; feedback: bad feedback frames
    PCMDecoder mDecoder = nullptr;

private:
    // A page-aligned, physically contiguous shared buffer (null on failure).
    static IOBufferMemoryDescriptor* allocateSharedBuffer();
    void releaseSharedBuffer();
};
