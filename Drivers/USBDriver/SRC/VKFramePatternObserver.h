// The samples-per-frame pattern the isochronous output follows. A device decides how many samples
// it takes in each USB (micro)frame (44 or 45 per millisecond at 44.1 kHz, in its own order); the
// observer starts from the nominal pattern of the sample rate and adopts what the device really
// does: the sample counts of incoming input packets (onRtsFrame, onRtsFrameMicroFrames) or the
// values of an explicit feedback endpoint (isocFeedbackReadComplete[FullFrame]). A value outside a
// narrow band around the nominal rate is repaired with the nominal value and unlocks the pattern;
// one whole pattern length of good values since the last repair locks it again. Output transfer
// blocks (VKIsocRB::initWrite_*) take their per-record sample counts from the active pattern
// through takeOutputSamples.
//
// The pattern holds one entry per frame on full-speed devices (16 entries) and one per microframe
// on high-speed devices (128 entries). Every entry index wraps at the pattern length, so per-value
// updates (index + 1) and millisecond updates (8 entries) may feed the same observer.
//
// Threads: init runs on a request thread before streaming starts. The observations run in one USB
// completion context (input decode or feedback), takeOutputSamples on the thread that prepares
// output blocks; they meet only through the active pattern's atomic entries. Both are real-time:
// no lock, no allocation, no wait (logging goes through the lock-free kernel log).
#pragma once

#include <atomic>
#include <cstdint>

#include "DeviceIdentification.h"

// The values of one completed feedback read: for each frame record of the block, the sample count
// it reported (the first byte of the frame's feedback data). Filled by the feedback completion;
// mCount is at most kMaxValues.
struct FeedbackStreamingStruct
{
    static constexpr uint32_t kMaxValues = 32;
    uint32_t mCount = 0;
    uint32_t mValues[kMaxValues]{};
};

class VKFramePatternObserver
{
public:
    static constexpr uint32_t kMaxPatternLength = 128;
    static constexpr uint32_t kHighSpeedPatternLength = 128; // microframes
    static constexpr uint32_t kFullSpeedPatternLength = 16;  // frames
    static constexpr uint32_t kMicroframesPerFrame = 8;
    static constexpr int kMicroPatternSpread = 2; // patterns for samples per ms -2 .. +2
    static constexpr uint32_t kNumMicroPatterns = 2 * kMicroPatternSpread + 1;
    static constexpr uint32_t kHighSpeedTolerance = 1;
    static constexpr uint32_t kFullSpeedTolerance = 2;

    // init(44100, 2, 2, 2, 2, full speed, no device).
    VKFramePatternObserver();
    virtual ~VKFramePatternObserver() = default;
    VKFramePatternObserver(const VKFramePatternObserver&) = delete;
    VKFramePatternObserver& operator=(const VKFramePatternObserver&) = delete;

    // Nominal and active patterns, band and geometry for a stream (request thread, not while an
    // observation or an output preparation runs).
    void init(uint32_t sampleRate, uint32_t inBytesPerSample, uint32_t inChannels, uint32_t outBytesPerSample,
              uint32_t outChannels, bool highSpeed, const VIDPID& vidpid);

    // One observed sample count per (micro)frame: the count to use (repaired when out of band).
    // `errors` is raised for each repair and reset to 0 when the pattern locks.
    // Real-time: no lock, no allocation, no wait.
    uint32_t onRtsFrame(uint32_t observed, uint32_t& errors);
    // The samples of one millisecond on a high-speed device: writes 8 microframe entries and
    // answers the samples to use for the millisecond. Real-time: no lock, no allocation, no wait.
    uint32_t onRtsFrameMicroFrames(uint32_t observed, uint32_t& errors);

    // Explicit feedback, one value per entry (repaired values are written back into `values`);
    // true when this call locked the pattern. Real-time: no lock, no allocation, no wait.
    bool isocFeedbackReadComplete(FeedbackStreamingStruct& values);
    // Explicit feedback of whole milliseconds on a high-speed device (8 entries per value).
    bool isocFeedbackReadCompleteFullFrame(FeedbackStreamingStruct& values);

    // Sets count entries to `base`, then spreads +-1 steps evenly until they sum to `total` (a
    // negative total counts as 0).
    static void fpoInitPattern(uint32_t count, uint32_t* pattern, uint32_t base, int64_t total);

    // The sum of the next `entries` active-pattern entries from the read index, which advances and
    // wraps. Output preparation only. Real-time: no lock, no allocation, no wait.
    uint32_t takeOutputSamples(uint32_t entries);

    uint32_t activeEntry(uint32_t index) const
    {
        return mActivePattern[index % kMaxPatternLength].load(std::memory_order_relaxed);
    }
    bool isLocked() const { return mbLocked.load(std::memory_order_relaxed); }

    // Fields in this order.
    uint32_t mReadIndex = 0;      // next entry an output block takes
    uint32_t mWriteIndex = 0;     // next entry an observation overwrites
    uint32_t mLockStartIndex = 0; // where the last repair happened
    std::atomic<bool> mbLocked{false};
    bool mbHighSpeed = false;
    uint32_t mNominal = 0;    // samples per (micro)frame
    uint32_t mLowerBound = 0; // nominal - tolerance (not below 0)
    uint32_t mUpperBound = 0; // nominal + tolerance
    uint32_t mSamplesPerMs = 0;
    uint32_t mTolerance = 0;
    uint32_t mInBytesPerSampleFrame = 1;
    uint32_t mOutChannels = 0;
    uint32_t mOutBytesPerSample = 0;
    uint32_t mOutBytesPerSampleFrame = 1;
    uint32_t mPatternLength = kFullSpeedPatternLength;
    std::atomic<uint32_t> mActivePattern[kMaxPatternLength]{};
    uint32_t mNominalPattern[kMaxPatternLength]{};
    // Index 0 holds the pattern for samples per ms - 2, index 4 for + 2.
    uint32_t mMicroPatterns[kNumMicroPatterns][kMicroframesPerFrame]{};

private:
    // Writes `count` entries of `source` at the write index (each index wrapped).
    void storeEntries(const uint32_t* source, uint32_t count);
    // Advances the write index by `count`, wrapping at the pattern length.
    void advanceWriteIndex(uint32_t count);
    bool inBand(uint32_t value) const { return value >= mLowerBound && value <= mUpperBound; }
    // Clears the lock; true when it was set.
    bool unlock();
    // Locks when the write index came back to the last repair; true when this call locked.
    bool lockWhenBack();
    // A repair at the write index: the nominal entry there, and the lock starts over from it.
    uint32_t repairEntry();
    // The microframe pattern of a millisecond of `observed` samples at the write index; false
    // (nothing written) when `observed` is more than 2 samples from samples per ms.
    bool storeMillisecond(uint32_t observed);
    // A repair of a millisecond: the 8 nominal entries at the write index; answers their sum.
    uint32_t repairMillisecond();
};
