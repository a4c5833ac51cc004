// The request blocks of bulk and interrupt audio: one transfer of a fixed number of packets of the
// pipe's maximum packet size. A block is free (no claim, number 0), claimed and queued (one claim,
// number n), completed (the bus gave it back: completed flag, no claim, number still n), and free
// again once the streaming service has handled all its packets (number 0).
//
// Input blocks carry a marker pair at the end of every packet until the device's data replaces it,
// so the service can decode the packets of a transfer still in flight.
//
// Threads: init, allocData, prepare and term run on request threads with the stream stopped. The
// claim (useIn, useOut), unuse and the service's fields run on the real-time thread and the USB
// completions; they meet only through the atomic claim counter, the use number and the completed
// flag, each written after the work it publishes (release) and read before the work it allows
// (acquire).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

class IOBufferMemoryDescriptor;
class VKPipeDescriptor;

class AudioIRP
{
public:
    static constexpr uint32_t kMarkerA = 0xDEADBEEF; // at packet end - 8, little-endian
    static constexpr uint32_t kMarkerB = 0xBAADF00D; // at packet end - 4
    static constexpr uint32_t kMarkerBytes = 8;

    AudioIRP() = default;
    ~AudioIRP();
    AudioIRP(const AudioIRP&) = delete;
    AudioIRP& operator=(const AudioIRP&) = delete;

    // Clears every field and keeps `packets` as the packets of one transfer.
    void init(uint32_t packets);
    // A buffer of packets x the pipe's maximum packet size. Refuses a null pipe ("allocData no
    // pipe") and a second allocation ("already allocated"); true when a buffer and a pipe exist.
    bool allocData(VKPipeDescriptor* pipe, const char* who);
    // Claims a free block with a buffer for transfer `number` and writes the markers at the end of
    // every packet (`stride` apart); false, nothing changed, when the block is not free.
    bool useIn(uint32_t number, uint32_t stride);
    // Claims a free block with a buffer for transfer `number`, its bytes zeroed (no markers).
    bool useOut(uint32_t number);
    // Gives the claim back; false, nothing changed, without one.
    bool unuse();
    // Idle blocks get number 0; false for a claimed block (left as it is).
    bool prepare();
    // Releases the buffer (only once no transfer of it is outstanding) and forgets the pipe.
    void term();

    // Packets whose markers are gone, counted back from the last one down to `done` (exclusive):
    // the packets the device has written so far. real-time.
    uint32_t writtenPackets(uint32_t done, uint32_t stride) const;

    bool isClaimed() const { return mUseCounter.load(std::memory_order_acquire) > 0; }
    bool hasBuffer() const { return mpData != nullptr; }
    uint8_t* data() const { return mpData; }
    uint32_t packets() const { return mPackets; }
    uint32_t maxPacket() const { return mMaxPacket; }
    uint32_t bufferSize() const { return mSize; }
    VKPipeDescriptor* pipe() const { return mPipe; }
    IOBufferMemoryDescriptor* descriptor() const { return mpBuffer; }

    // The transfer's number (0: not queued or handled); the service frees a block by storing 0.
    std::atomic<uint32_t> mUseNumber{0};
    // Packets the service has handled (written by the real-time thread; completions read it).
    std::atomic<uint32_t> mPacketsDone{0};
    // Set by the completion after mTransferred and mStatus.
    std::atomic<uint8_t> mCompleted{0};
    uint32_t mTransferred = 0;
    uint32_t mStatus = 0;

protected:
    // Takes a free block with a buffer and clears its status (number not yet published).
    bool claim();
    void publish(uint32_t number);

private:

    VKPipeDescriptor* mPipe = nullptr;
    std::atomic<int32_t> mUseCounter{0};
    IOBufferMemoryDescriptor* mpBuffer = nullptr;
    uint8_t* mpData = nullptr;
    uint32_t mSize = 0;
    uint32_t mMaxPacket = 0;
    uint32_t mPackets = 0;
};

// One bulk transfer of audio: 20 packets; output packets carry the MIDI slots of the bulk layout.
class AudioBulkIRP : public AudioIRP
{
public:
    static constexpr uint32_t kPackets = 20;
    static constexpr uint32_t kSmallPacket = 512;     // up to this: one MIDI and one control slot
    static constexpr uint32_t kMidiSlotSmall = 480;   // MIDI byte (0xFD none)
    static constexpr uint32_t kControlSlotSmall = 481; // control byte (0xFF none)
    static constexpr uint32_t kMidiSlotLarge1 = 432;  // larger packets: two 2-byte MIDI slots
    static constexpr uint32_t kMidiSlotLarge2 = 914;
    static constexpr uint8_t kNoMidi = 0xFD;
    static constexpr uint8_t kNoControl = 0xFF;

    void init() { AudioIRP::init(kPackets); }
    bool useIn(uint32_t number) { return AudioIRP::useIn(number, maxPacket()); }
    // Claims and fills the MIDI slots of every packet with their fillers; logs a failed claim when
    // `log` (outside the real-time mark).
    bool useOut(uint32_t number, bool log);
};

// One interrupt transfer of audio: 128 packets in, 64 out; markers every maximum packet size
// rounded down to 4.
class AudioInterruptIRP : public AudioIRP
{
public:
    static constexpr uint32_t kInPackets = 128;
    static constexpr uint32_t kOutPackets = 64;

    void init(bool in) { AudioIRP::init(in ? kInPackets : kOutPackets); }
    uint32_t markerStride() const { return maxPacket() & ~3u; }
    bool useIn(uint32_t number) { return AudioIRP::useIn(number, markerStride()); }
};

// The oldest block of a chain: the smallest non-zero number (null: none). real-time.
template <typename Block, size_t N> Block* oldestBlock(Block (&blocks)[N])
{
    Block* found = nullptr;
    uint32_t lowest = 0;
    for (Block& block : blocks) {
        const uint32_t number = block.mUseNumber.load(std::memory_order_acquire);
        if (number != 0 && (found == nullptr || number < lowest)) {
            found = &block;
            lowest = number;
        }
    }
    return found;
}

// Request thread: waits in 1 ms steps until no block of the chain is claimed, `waited` counting the
// milliseconds against kBlockWaitLimitMs; false when some block still is.
constexpr uint32_t kBlockWaitLimitMs = 1000;
bool waitUnclaimed(AudioIRP* const* blocks, size_t count, uint32_t& waited);
template <typename Block, size_t N> bool waitUnclaimed(Block (&blocks)[N], uint32_t& waited)
{
    AudioIRP* all[N];
    for (size_t i = 0; i < N; ++i) {
        all[i] = &blocks[i];
    }
    return waitUnclaimed(all, N, waited);
}
