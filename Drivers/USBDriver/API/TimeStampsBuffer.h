// Time stamps of a stream: the pairs of (host time, sample position) that the kernel records as
// input transfers complete, and the straight-line anchors the shared ring publishes. Both live
// inside the shared sample ring, so their layouts are fixed to the byte.
#pragma once

#include <cstddef>
#include <cstdint>

#include "SharedAccess.h"

// Host time on the line through (sample0, host0) with slopes hostSpan / sampleSpan at
// `sampleTime`, formed as the kernel does: the product modulo 2^64 taken as signed, divided
// (signed, toward zero) by the sample span. 0 for an empty span.
uint64_t interpolateHostTime(uint64_t sample0, uint64_t host0, uint64_t sampleSpan, uint64_t hostSpan,
                             uint64_t sampleTime);

// Shared records are packed on 4-byte boundaries, the same in every process.
#pragma pack(push, 4)

// One straight-line anchor between two (sample position, host time) points. 48 bytes.
struct AudioTSData
{
    QzU64 mSample0;    // sample position at the anchor's start
    QzU64 mSample1;    // sample position at its end
    QzU64 mHost0;      // host time at its start
    QzU64 mHost1;      // host time at its end
    QzU64 mHostSpan;   // mHost1 - mHost0, set by validate
    QzU64 mSampleSpan; // mSample1 - mSample0, set by validate; 0 = empty anchor

    void init();
    void validate();
    // Host time of `sampleTime` on the anchor's line; 0 while the anchor is empty.
    void getTS(uint64_t sampleTime, uint64_t& hostTime) const;
};

// The kernel's copy of the pairs, handed out on request. 16,004 bytes.
struct QZ_TimeStampsBufferData
{
    static constexpr uint32_t kCapacity = 1000;
    uint32_t mCount;
    QzU64 mHostTimes[kCapacity];
    QzU64 mSampleTimes[kCapacity];
};

// The last 1000 (host time, sample position) pairs, oldest overwritten first. 16,040 bytes.
//
// Only the kernel stores pairs (through a PairWriter, under a lock it keeps privately); readers
// on either side of the kernel boundary convert sample positions without a lock.
struct TimeStampsBuffer
{
    static constexpr uint32_t kCapacity = 1000;

    // Stores one pair into the ring: how the kernel does it, and whether it does, is its own
    // business (it guards the store with a try-lock and drops the pair when the lock is busy).
    class PairWriter
    {
    public:
        virtual void store(TimeStampsBuffer& buffer, uint64_t hostTime, uint64_t sampleTime) = 0;

    protected:
        ~PairWriter() = default;
    };

    uint32_t mCount;               // pairs stored since Init; keeps counting past 1000
    QzU64 mHostTimes[kCapacity];   // pair k at index k mod 1000
    QzU64 mSampleTimes[kCapacity]; //
    uint8_t mLock[8];              // reserved: the kernel's lock is never kept in shared memory
    QzU64 mRunningSamples;         // sample position the next stored pair receives
    uint32_t mCopiedCount;         // mCount at the kernel's last copy
    QzU64 mFirstHostTime;          // host time of the first pair since Init; 0 = none
    QzU64 mFirstSampleTime;        // sample value given with that first pair

    void Init();

    // Kernel USB completion thread (or a user-side caller keeping its own count). Advances the
    // running sample position and, with a writer, stores the pair (hostTime, running position).
    // Returns mCount. Without a writer (every user-side caller) no pair is stored. A stamp with
    // no samples is printed only when it is the first since Init (the start pair of a stream):
    // later ones come with every transfer that carried no frames.
    uint32_t AddTimeStamp(uint64_t hostTime, uint64_t samples, bool accumulate, PairWriter* writer = nullptr);

    // The ring rule: pair mCount goes to index mCount mod 1000, sample first, then host time, and
    // mCount counts it only after both are in place. For a PairWriter.
    void storePair(uint64_t hostTime, uint64_t sampleTime);

    // The newest pair, and how many complete passes over the 1000 entries came before it.
    uint32_t GetLastTimeStamp(uint64_t& hostTime, uint64_t& sampleTime) const;

    // Host time of `sampleTime` by interpolation between the stored pairs around it (or
    // extrapolation beyond them); 0 with fewer than two pairs.
    uint64_t GetTimeStamp(uint64_t sampleTime) const;

    // The kernel fills the record; user-side code has no pairs of its own to copy.
    void CopyData(QZ_TimeStampsBufferData& record) const;
};

#pragma pack(pop)

static_assert(sizeof(AudioTSData) == 48);
static_assert(offsetof(AudioTSData, mSample1) == 8);
static_assert(offsetof(AudioTSData, mHost0) == 16);
static_assert(offsetof(AudioTSData, mHost1) == 24);
static_assert(offsetof(AudioTSData, mHostSpan) == 32);
static_assert(offsetof(AudioTSData, mSampleSpan) == 40);

static_assert(sizeof(QZ_TimeStampsBufferData) == 16'004);
static_assert(offsetof(QZ_TimeStampsBufferData, mHostTimes) == 4);
static_assert(offsetof(QZ_TimeStampsBufferData, mSampleTimes) == 8'004);

static_assert(sizeof(TimeStampsBuffer) == 16'040);
static_assert(offsetof(TimeStampsBuffer, mHostTimes) == 4);
static_assert(offsetof(TimeStampsBuffer, mSampleTimes) == 8'004);
static_assert(offsetof(TimeStampsBuffer, mLock) == 16'004);
static_assert(offsetof(TimeStampsBuffer, mRunningSamples) == 16'012);
static_assert(offsetof(TimeStampsBuffer, mCopiedCount) == 16'020);
static_assert(offsetof(TimeStampsBuffer, mFirstHostTime) == 16'024);
static_assert(offsetof(TimeStampsBuffer, mFirstSampleTime) == 16'032);
