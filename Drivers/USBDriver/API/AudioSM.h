// The shared sample ring: the block through which audio crosses between the kernel and user
// space. A plain record of 540,656 bytes, the same in every process and on both sides of the
// kernel boundary; nothing in it is a pointer.
//
// The kernel writes the device's input ring and reads each client's output ring; a client
// reads the input ring and writes its own output ring. Each ring has one writer; the readers
// are on the other side of the kernel boundary. No lock is taken: the writer stores samples
// before it advances the frame position, and completes an anchor before it flips the selector.
//
// Every operation reads the ring's geometry once, checks it, and copies nothing when it does
// not describe a ring inside the sample area (a header being re-laid out, or scribbled on by
// another process). A request longer than the ring is served piece by piece, never past its end.
//
// Threads: the kernel writes the input ring and stamps it on its USB completion thread, and
// reads each client's output ring on its real-time service thread; a client writes its output
// ring and reads the input ring on its IO thread. Each entry point below names its caller.
// All operations may run on real-time threads: no allocation, no lock, no wait.
#pragma once

#include <cstddef>
#include <cstdint>

#include "AudioCopy.h"
#include "SharedAccess.h"
#include "TimeStampsBuffer.h"

// Shared records are packed on 4-byte boundaries, the same in every process.
#pragma pack(push, 4)

struct AudioSM
{
    static constexpr uint32_t kSampleAreaBytes = 524'288;
    static constexpr uint32_t kMaxChannels = 32;

    // Client states (mState).
    static constexpr uint32_t kStateInitialised = 0;
    static constexpr uint32_t kStateRunning = 1;
    static constexpr uint32_t kStateAttachPending = 2;

    // The ring's geometry as one operation sees it. maxFrames is 0 when the header does not
    // describe a usable ring.
    struct Geometry
    {
        uint32_t channels = 0;
        uint32_t maxFrames = 0;
        uint32_t extraBytesPerFrame = 0;
        uint32_t extraOffset = 0;

        bool usable() const { return maxFrames != 0; }
    };

    // Audio region: frame i at sample i * mChannels. Extra region: the extra bytes of frame i at
    // byte mExtraOffset + i * mExtraBytesPerFrame.
    int32_t mSamples[kSampleAreaBytes / sizeof(int32_t)];

    uint32_t mBytesPerFrame;      // mAudioBytesPerFrame + mExtraBytesPerFrame
    uint32_t mChannels;           // channels per frame, 1 to 32
    uint32_t mAudioBytesPerFrame; // mChannels * 4
    uint32_t mAudioBytes;         // mMaxFrames * mAudioBytesPerFrame
    uint32_t mExtraBytesPerFrame; // side data carried with each frame; 0 = none
    uint32_t mExtraBytes;         // mMaxFrames * mExtraBytesPerFrame
    uint32_t mExtraOffset;        // mAudioBytes raised to a multiple of 16
    QzU64 mMaxFrames;             // ring length in frames; a power of two
    uint32_t mState;              // client state: 0 initialised, 2 attach pending, 1 running
    uint32_t mNotification;       // last notice from the kernel; the client takes it and writes 0
    QzU64 mClientFramePos;        // the client's frame position
    QzU64 mAttachHostTime;        // host time of the newest input time stamp when the client started
    QzU64 mAttachFramePos;        // its sample position, kept unchanged
    QzU64 mAttachOutputPos;       // the kernel's output frame count at that moment
    uint32_t mTimebaseNumerator;  // host clock: nanoseconds = ticks * numerator / denominator
    uint32_t mTimebaseDenominator;
    QzU64 mFirstInputHostTime;    // host time of the first bulk or interrupt input transfer
    QzU64 mStartHostTime;         // host time of sample position 0
    QzU64 mZeroHostTime;          // host time of mZeroSampleTime; 0 = no zero time stamp yet
    QzU64 mZeroSampleTime;        // sample position of the zero time stamp
    QzU64 mZeroCount;             // ring periods the zero time stamp advanced since it was set
    QzU64 mFrequency;             // sample rate in Hz
    QzU64 mOutputPos;             // the kernel's output frame count, refreshed every cycle
    TimeStampsBuffer mTimeStamps; // the last 1000 (host time, sample position) pairs
    QzU64 mFramesWritten;         // the writer's frame position
    QzU64 mWriteOffset;           // position offset given with the last write
    AudioTSData mAnchorA;         // completed anchors: readers use the one mAnchorSelect names
    AudioTSData mAnchorB;
    AudioTSData mAnchorCurrent; // the anchor being built
    QzU64 mAnchorSpan;          // frames after which the anchor being built is published
    uint32_t mAnchorSelect;     // newest completed anchor: 1 = mAnchorA, 0 = mAnchorB
    QzU64 mHostTicksPerBuffer;  // host ticks that mMaxFrames frames last
    QzU64 mWriteCount;          // writeFrames calls since the zero time stamp was last absent

    // Kernel request thread, before the ring is shared or while no one streams: lays the ring
    // out for a channel count, sample rate and extra bytes per frame.
    void init(uint32_t channels, uint32_t frequency, uint32_t extraBytesPerFrame);

    // Any thread. The geometry init lays out for these arguments, computed without touching any block. The
    // kernel keeps it privately and hands it to the operations it runs on a ring, instead of
    // trusting the header, which user space can write.
    static Geometry layout(uint32_t channels, uint32_t extraBytesPerFrame);

    // Client, when it starts or stops its IO (no writer running); the kernel from init.
    void zeroTotalBuffer();
    void zeroAudioBuffer() {}
    void zeroExtraBuffer() {}

    // The ring's one writer (kernel USB completion thread for the input ring, the client's IO
    // thread for its output ring): `frames` frames at ring position (frame position + offset),
    // then the frame position advances by `frames`, also with a null source. A null converter
    // copies.
    void writeFrames(const int32_t* source, uint32_t frames, uint64_t offset, AudioConverter converter,
                     const uint8_t* extra);
    void writeFrames(const Geometry& g, const int32_t* source, uint32_t frames, uint64_t offset,
                     AudioConverter converter, const uint8_t* extra);

    // Client IO thread, the writer of its output ring, at an explicit sample time. The caller's buffer holds
    // `sourceChannels` samples of `bytesPerSample` bytes per frame, which the converter turns into ring
    // samples.
    void writeFramesToKernelAtPos(const int32_t* source, uint32_t frames, uint64_t position, uint64_t offset,
                                  uint32_t sourceChannels, AudioConverter converter, int32_t bytesPerSample);
    // With the geometry the caller sized its buffers for (taken once from geometry()), so that a
    // ring re-laid out during the call cannot make it read or write more than those buffers hold.
    void writeFramesToKernelAtPos(const Geometry& g, const int32_t* source, uint32_t frames,
                                  uint64_t position, uint64_t offset, uint32_t sourceChannels,
                                  AudioConverter converter, int32_t bytesPerSample);

    // A reader (client IO thread on the input ring; kernel real-time service thread on a
    // client's output ring): copies `frames` frames from `position`, hands out their extra bytes once (they
    // are cleared in the ring), gives the host time of `position`, then advances `position`. A null converter
    // copies no samples. Until the kernel published its first anchor (a quarter second into the
    // stream) the host time comes from its time-stamp pairs, never 0 while pairs exist.
    void read(uint64_t& position, int32_t* destination, uint32_t frames, uint64_t& hostTime,
              AudioConverter converter, uint8_t* extra);
    void read(const Geometry& g, uint64_t& position, int32_t* destination, uint32_t frames,
              uint64_t& hostTime, AudioConverter converter, uint8_t* extra);

    // Client IO thread, reading the input ring without extra bytes or host time; the destination holds
    // samples of `bytesPerSample` bytes, written by the converter.
    void readFromKernel(uint64_t& position, int32_t* destination, uint32_t frames, AudioConverter converter,
                        int32_t bytesPerSample);
    void readFromKernel(const Geometry& g, uint64_t& position, int32_t* destination, uint32_t frames,
                        AudioConverter converter, int32_t bytesPerSample);

    // Kernel USB completion thread, after each input transfer: feeds the time anchors with the
    // current frame position and `hostTime`.
    void writeTimestamp(uint64_t hostTime);

    // Kernel USB completion thread, after each completed input transfer: records a (host time, sample
    // position) pair through `writer` (see TimeStampsBuffer::PairWriter). Returns the time-stamp count.
    uint32_t AddTimeStamp(uint64_t hostTime, uint64_t samples, bool accumulate,
                          TimeStampsBuffer::PairWriter* writer = nullptr);
    uint32_t AddTimeStamp(const Geometry& g, uint64_t hostTime, uint64_t samples, bool accumulate,
                          TimeStampsBuffer::PairWriter* writer);

    // Client IO thread, when it starts its IO: sets the zero time stamp; returns its host time (0 without two
    // time stamps).
    uint64_t setZeroSampleTime(uint64_t sampleTime);

    // Any reader's thread: the frames below the position returned are in the ring.
    uint64_t getFramePos() const
    {
        const uint64_t position = shared::load(mFramesWritten);
        shared::consume();
        return position;
    }
    // The ring's writer only.
    void setFramePos(uint64_t position) { shared::store(mFramesWritten, position); }
    // Any reader's thread: frames a reader at `position` may take.
    int32_t getAvailableFrames(uint64_t position) const
    {
        const uint64_t written = shared::load(mFramesWritten) + shared::load(mWriteOffset);
        shared::consume();
        return static_cast<int32_t>(written - position);
    }

    // Any thread: the header's geometry, read once and checked.
    Geometry geometry() const;
};

#pragma pack(pop)

static_assert(sizeof(AudioSM) == 540'656);
static_assert(offsetof(AudioSM, mBytesPerFrame) == 524'288);
static_assert(offsetof(AudioSM, mChannels) == 524'292);
static_assert(offsetof(AudioSM, mAudioBytesPerFrame) == 524'296);
static_assert(offsetof(AudioSM, mAudioBytes) == 524'300);
static_assert(offsetof(AudioSM, mExtraBytesPerFrame) == 524'304);
static_assert(offsetof(AudioSM, mExtraBytes) == 524'308);
static_assert(offsetof(AudioSM, mExtraOffset) == 524'312);
static_assert(offsetof(AudioSM, mMaxFrames) == 524'316);
static_assert(offsetof(AudioSM, mState) == 524'324);
static_assert(offsetof(AudioSM, mNotification) == 524'328);
static_assert(offsetof(AudioSM, mClientFramePos) == 524'332);
static_assert(offsetof(AudioSM, mAttachHostTime) == 524'340);
static_assert(offsetof(AudioSM, mAttachFramePos) == 524'348);
static_assert(offsetof(AudioSM, mAttachOutputPos) == 524'356);
static_assert(offsetof(AudioSM, mTimebaseNumerator) == 524'364);
static_assert(offsetof(AudioSM, mTimebaseDenominator) == 524'368);
static_assert(offsetof(AudioSM, mFirstInputHostTime) == 524'372);
static_assert(offsetof(AudioSM, mStartHostTime) == 524'380);
static_assert(offsetof(AudioSM, mZeroHostTime) == 524'388);
static_assert(offsetof(AudioSM, mZeroSampleTime) == 524'396);
static_assert(offsetof(AudioSM, mZeroCount) == 524'404);
static_assert(offsetof(AudioSM, mFrequency) == 524'412);
static_assert(offsetof(AudioSM, mOutputPos) == 524'420);
static_assert(offsetof(AudioSM, mTimeStamps) == 524'428);
static_assert(offsetof(AudioSM, mFramesWritten) == 540'468);
static_assert(offsetof(AudioSM, mWriteOffset) == 540'476);
static_assert(offsetof(AudioSM, mAnchorA) == 540'484);
static_assert(offsetof(AudioSM, mAnchorB) == 540'532);
static_assert(offsetof(AudioSM, mAnchorCurrent) == 540'580);
static_assert(offsetof(AudioSM, mAnchorSpan) == 540'628);
static_assert(offsetof(AudioSM, mAnchorSelect) == 540'636);
static_assert(offsetof(AudioSM, mHostTicksPerBuffer) == 540'640);
static_assert(offsetof(AudioSM, mWriteCount) == 540'648);
