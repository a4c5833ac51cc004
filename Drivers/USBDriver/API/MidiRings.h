// The MIDI rings: `MidiIO`, time-stamped MIDI elements from the device to an outside client, and
// the byte queues `Queue64K` (client to device, shared) and `Queue256` (control-port bytes inside
// the kernel). Fixed layouts, no pointers, little-endian; each has one producer and one consumer,
// which may run on two threads or in two processes. No operation locks, sleeps or allocates.
//
// Nothing the other side writes is trusted: every index and count read from a ring is read once
// and bounded before use. The kernel's own position in a `MidiIO` ring (it is the producer) never
// comes from the ring: the kernel keeps it privately and only mirrors it into mWriteIndex.
#pragma once

#include <cstddef>
#include <cstdint>

#include "SharedAccess.h"

#pragma pack(push, 4)

// One MIDI element: arrival time, 0 to 8 bytes. Length 0: empty or already read.
struct MidiIOElement
{
    static constexpr uint32_t kMaxBytes = 8;

    QzU64 mTime;      // host time of arrival
    uint32_t mLength; // 0..8; stored last, after the time and the bytes
    uint8_t mData[kMaxBytes];
};

struct MidiIO
{
    static constexpr uint32_t kElements = 8192;
    static constexpr uint8_t kFiller = 0xFD; // a device's "no byte here"; never stored

    MidiIOElement mElements[kElements];
    uint32_t mReadIndex;  // stored by the consumer only
    uint32_t mWriteIndex; // the producer's position, mirrored out after every element

    // Owner, before either side runs: every element empty, both indices 0.
    void init();

    // Producer. Splits `bytes` into elements of up to 8, skipping every filler byte; each element
    // gets `time`, goes in at `writeIndex` (the producer's private position, advanced and
    // mirrored) and overwrites the oldest element when the ring is full. Returns the MIDI bytes
    // stored; 0 for a null input or fillers only.
    uint32_t putFrame(const uint8_t* bytes, uint32_t count, uint32_t& writeIndex, uint64_t time);

    // Consumer: whether an element waits at the read index.
    bool readyForRead() const;
    // Consumer: copies the element at the read index to `out`, marks it read and advances;
    // false, with nothing changed, when none waits or `out` is null.
    bool get(MidiIOElement* out);
    void close() {}
};

// A byte queue of `Size` bytes whose indices wrap by their width. The fill count is the only
// field both sides change (atomically): the producer publishes bytes by raising it after they are
// in, the consumer releases them by lowering it after they are out.
template <uint32_t Size, class Index>
struct MidiByteQueue
{
    static_assert(Size == (uint64_t{1} << (8 * sizeof(Index))), "the indices wrap at the size");
    static constexpr uint32_t kSize = Size;

    uint32_t mFill;      // bytes queued, 0..Size
    uint8_t mData[Size];
    Index mWriteIndex;   // stored by the producer only
    Index mReadIndex;    // stored by the consumer only

    // Owner: everything 0 (initNoMemSet leaves the data bytes).
    void init();
    void initNoMemSet();

    // Producer: queues as many of `count` bytes as fit, in at most two pieces. Returns the
    // number queued; 0 for a full queue, a null input or a count of 0 or less.
    int32_t put(const uint8_t* bytes, int32_t count);
    // Consumer: takes up to `count` bytes (a null destination discards them), in at most two
    // pieces. Returns the number taken.
    int32_t get(uint8_t* destination, int32_t count);
    // Either side: the bytes queued now, bounded by the size (a snapshot).
    uint32_t fill() const;
};

using Queue64K = MidiByteQueue<65'536, uint16_t>;
using Queue256 = MidiByteQueue<256, uint8_t>;

extern template struct MidiByteQueue<65'536, uint16_t>;
extern template struct MidiByteQueue<256, uint8_t>;

// The MIDI area an outside MIDI client maps (memory type 3): the device's identity, the
// terminate flag, the output-in-progress count, two output queues (client to device, ports 1 and
// 2) and two input rings (device to client). 459,564 bytes.
struct MidiSM
{
    static constexpr uint32_t kNameSize = 256;
    static constexpr uint32_t kPorts = 2;

    uint16_t mVendorID;
    uint16_t mProductID;
    char mProductName[kNameSize];
    char mVendorName[kNameSize];
    char mUID[kNameSize];
    uint32_t mTerminate;        // 1 once the device's engine shuts down
    int32_t mOutputInProgress;  // a mirror of the kernel's output-chain guard
    Queue64K mOut[kPorts];
    MidiIO mIn[kPorts];
};

#pragma pack(pop)

static_assert(sizeof(MidiSM) == 459'564);
static_assert(offsetof(MidiSM, mProductName) == 4);
static_assert(offsetof(MidiSM, mVendorName) == 260);
static_assert(offsetof(MidiSM, mUID) == 516);
static_assert(offsetof(MidiSM, mTerminate) == 772);
static_assert(offsetof(MidiSM, mOutputInProgress) == 776);
static_assert(offsetof(MidiSM, mOut) == 780);
static_assert(offsetof(MidiSM, mOut) + sizeof(Queue64K) == 66'324);
static_assert(offsetof(MidiSM, mIn) == 131'868);
static_assert(offsetof(MidiSM, mIn) + sizeof(MidiIO) == 295'716);

static_assert(sizeof(MidiIOElement) == 20);
static_assert(offsetof(MidiIOElement, mLength) == 8);
static_assert(offsetof(MidiIOElement, mData) == 12);
static_assert(sizeof(MidiIO) == 163'848);
static_assert(offsetof(MidiIO, mReadIndex) == 163'840);
static_assert(offsetof(MidiIO, mWriteIndex) == 163'844);
static_assert(sizeof(Queue64K) == 65'544);
static_assert(offsetof(Queue64K, mData) == 4);
static_assert(offsetof(Queue64K, mWriteIndex) == 65'540);
static_assert(offsetof(Queue64K, mReadIndex) == 65'542);
