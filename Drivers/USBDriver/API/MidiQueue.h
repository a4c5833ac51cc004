// Records for memory shared across the kernel boundary: the MIDI byte queue and the vendor
// asynchronous transport area. Fixed layouts, no pointers, little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

#include "SharedAccess.h"

// Shared records are packed on 4-byte boundaries, the same in every process.
#pragma pack(push, 4)

// A byte ring of 16 to 32,768 bytes for one producer and one consumer, which may run at the same
// time on two threads or in two processes (a USB completion putting, a user process getting).
// The record is the 16-byte header; the data area of mSize bytes follows it directly, so the
// caller provides 16 + size bytes.
//
// Each side owns one index: the producer alone stores mWriteIndex, the consumer alone stores
// mReadIndex. mFill hands bytes over: the producer adds to it after the bytes are in the data
// area (release), the consumer takes from it with a compare-and-swap after copying them out
// (acquire-release), so neither side ever reads bytes the other is still writing.
//
// When the producer writes faster than the consumer reads, the newest bytes always go in and
// the oldest unread ones are given up. The producer does not touch mReadIndex for that: it
// marks the queue overrun (kOverrun in mFill) and flags mWriteIndex (kWriting) while it writes
// over unread bytes. The consumer then resumes at the oldest byte that survived (mWriteIndex)
// and drops a copy the producer overwrote while it was being taken. A producer that stops inside
// such a put (its process ended) leaves the flag up: which bytes it wrote is not known, so both
// sides refuse the queue until its owner runs init again.
//
// Each operation reads the shared words it needs once and checks them. A header that does not
// describe a queue (size out of range or beyond the data area the caller has, an index outside
// the data area, a fill above the size that is no overrun) is refused: the operation returns 0
// and changes nothing. Where another process can write the header, pass the data area's size as
// `capacity`; without it the header's own size is taken for the data area.
struct MidiQueue
{
    static constexpr uint32_t kMinSize = 16;
    static constexpr uint32_t kMaxSize = 32'768;
    // mFill with this bit set: the producer overran unread bytes; the rest is a counter that
    // changes with every overrunning put, so a consumer can tell one happened during its copy.
    static constexpr uint32_t kOverrun = 0x8000'0000;
    // mWriteIndex with this bit set: the producer is writing over unread bytes.
    static constexpr uint32_t kWriting = 0x8000'0000;

    uint32_t mWriteIndex; // where the next byte is written; stored by the producer only
    uint32_t mReadIndex;  // where the next byte is read; stored by the consumer only
    uint32_t mFill;       // unread bytes, 0 to mSize, or kOverrun and a counter
    uint32_t mSize;       // size of the data area

    // Owner, before either side runs: false, with nothing changed, for a size outside
    // 16..32,768; else an empty queue with a cleared data area.
    bool init(uint32_t size);

    // Producer thread only. Appends `count` bytes (a null source reserves them: counted, old
    // content kept). Returns how many of them went into free space; the rest overwrote the
    // oldest unread bytes. Of more than mSize bytes only the last mSize are kept.
    int32_t put(const uint8_t* source, int32_t count) { return put(source, count, kMaxSize); }
    int32_t put(const uint8_t* source, int32_t count, uint32_t capacity);

    // Consumer thread only. Takes up to `count` unread bytes, oldest first; a null destination
    // discards them. Returns the number taken; 0 also while the producer is writing over unread
    // bytes (ask again).
    int32_t get(uint8_t* destination, int32_t count) { return get(destination, count, kMaxSize); }
    int32_t get(uint8_t* destination, int32_t count, uint32_t capacity);

    // Any thread: used = unread bytes, free = room left; returns free. A snapshot: either side
    // may change it at once.
    int32_t getLength(int32_t& used, int32_t& free) const;

    uint8_t* data() { return reinterpret_cast<uint8_t*>(this + 1); }

private:
    // The size, when it describes a data area the caller has; else 0.
    uint32_t checkedSize(uint32_t capacity) const;
    void copyIn(uint32_t at, const uint8_t* source, uint32_t count, uint32_t size);
    void copyOut(uint32_t at, uint8_t* destination, uint32_t count, uint32_t size);
};

static_assert(sizeof(MidiQueue) == 16);
static_assert(offsetof(MidiQueue, mReadIndex) == 4);
static_assert(offsetof(MidiQueue, mFill) == 8);
static_assert(offsetof(MidiQueue, mSize) == 12);

// One block of the vendor asynchronous transport area. 1,048 bytes.
struct AsyncTransportBlock
{
    static constexpr uint32_t kDataBytes = 1024;

    // Block states (mState). The user side fills a free block and queues it; the kernel takes
    // it, and completes it or fails it in one of three ways.
    static constexpr uint32_t kStateFree = 0;
    static constexpr uint32_t kStateQueued = 1;
    static constexpr uint32_t kStateInFlight = 2;
    static constexpr uint32_t kStateCompleted = 3;
    static constexpr uint32_t kStateFailedFirst = 4;
    static constexpr uint32_t kStateFailedLast = 6;

    uint8_t mData[kDataBytes]; // the bytes to send, or the bytes received
    uint32_t mLength;          // data bytes: 1..1,024 when queued; bytes received after completion
    uint32_t mState;           // see the states above
    QzU64 mTag;                // the user side's value for this request
    QzU64 mUserBuffer;         // receive: address in the user process for the received bytes

    // Clears the control words; the data bytes are left as they are.
    void init();
};

// 32 blocks and a tail of indices. 33,556 bytes.
struct AsyncTransportData
{
    static constexpr uint32_t kBlocks = 32;

    AsyncTransportBlock mBlocks[kBlocks];
    uint32_t mSendIndex;        // next block the user side fills with data to send
    uint32_t mReceiveIndex;     // next block the user side queues for receiving
    uint32_t mSendDoneIndex;    // next send block whose completion the user side collects
    uint32_t mReceiveDoneIndex; // next receive block whose completion the user side collects
    uint32_t mPending;          // queued blocks not yet taken by the kernel (atomic add only)

    void init();

    // The next index after `index`, wrapping to 0 at 32 (and for anything out of range).
    static uint32_t inc(uint32_t index) { return index + 1 < kBlocks ? index + 1 : 0; }
};

#pragma pack(pop)

static_assert(sizeof(AsyncTransportBlock) == 1'048);
static_assert(offsetof(AsyncTransportBlock, mLength) == 1'024);
static_assert(offsetof(AsyncTransportBlock, mState) == 1'028);
static_assert(offsetof(AsyncTransportBlock, mTag) == 1'032);
static_assert(offsetof(AsyncTransportBlock, mUserBuffer) == 1'040);

static_assert(sizeof(AsyncTransportData) == 33'556);
static_assert(offsetof(AsyncTransportData, mSendIndex) == 33'536);
static_assert(offsetof(AsyncTransportData, mReceiveIndex) == 33'540);
static_assert(offsetof(AsyncTransportData, mSendDoneIndex) == 33'544);
static_assert(offsetof(AsyncTransportData, mReceiveDoneIndex) == 33'548);
static_assert(offsetof(AsyncTransportData, mPending) == 33'552);
