// The samples-per-frame pattern: nominal patterns by rate, the band check and the lock.
#include "VKFramePatternObserver.h"

#include <algorithm>

#include "DeviceModels.h"
#include "VKRealTimeRecord.h"
#include "platform/Log.h"

namespace {

// The model whose clock needs no slack at these two rates.
bool hasExactClock(const VIDPID& vidpid, uint32_t rate)
{
    return kModelMindprint.is(vidpid.mVendor, vidpid.mProduct) && (rate == 48000 || rate == 96000);
}

} // namespace

VKFramePatternObserver::VKFramePatternObserver()
{
    init(44100, 2, 2, 2, 2, false, VIDPID(0, 0, 0, nullptr));
}

void VKFramePatternObserver::fpoInitPattern(uint32_t count, uint32_t* pattern, uint32_t base, int64_t total)
{
    if (pattern == nullptr) {
        return;
    }
    const int64_t target = std::max<int64_t>(total, 0);
    for (uint32_t i = 0; i < count; ++i) {
        pattern[i] = base;
    }
    // Each pass brings the sum strictly closer; the bound only guards against entries at 0.
    for (uint32_t pass = 0; pass < 2 * kMaxPatternLength; ++pass) {
        int64_t sum = 0;
        for (uint32_t i = 0; i < count; ++i) {
            sum += pattern[i];
        }
        if (sum == target) {
            return;
        }
        const int64_t difference = sum > target ? sum - target : target - sum;
        const int64_t step = int64_t{count} / difference;
        if (step == 0) {
            return;
        }
        for (int64_t i = 0; i < int64_t{count}; i += step) {
            if (sum < target) {
                ++pattern[i];
            } else if (pattern[i] > 0) {
                --pattern[i];
            }
        }
    }
}

void VKFramePatternObserver::init(uint32_t sampleRate, uint32_t inBytesPerSample, uint32_t inChannels,
                                  uint32_t outBytesPerSample, uint32_t outChannels, bool highSpeed,
                                  const VIDPID& vidpid)
{
    IOLog("USB: %s %d %d %d %d %d %d\n", "InitFramePattern...", sampleRate, inBytesPerSample, inChannels,
          outBytesPerSample, outChannels, highSpeed ? 1 : 0);
    if (highSpeed) {
        IOLog("USB: %s\n", "...USB 2 Pattern");
    }
    mbHighSpeed = highSpeed;
    mPatternLength = highSpeed ? kHighSpeedPatternLength : kFullSpeedPatternLength;
    mLockStartIndex = 0;
    mWriteIndex = 0;
    mbLocked.store(false, std::memory_order_relaxed);
    mTolerance = hasExactClock(vidpid, sampleRate) ? 0 : (highSpeed ? kHighSpeedTolerance : kFullSpeedTolerance);
    mSamplesPerMs = sampleRate / 1000;
    mNominal = highSpeed ? mSamplesPerMs / kMicroframesPerFrame : mSamplesPerMs;
    const uint64_t inFrame = uint64_t{inChannels} * inBytesPerSample;
    mInBytesPerSampleFrame = inFrame == 0 || inFrame > UINT32_MAX ? 1 : uint32_t(inFrame);
    mOutChannels = outChannels;
    mOutBytesPerSample = outBytesPerSample;
    const uint64_t outFrame = uint64_t{outChannels} * outBytesPerSample;
    mOutBytesPerSampleFrame = outFrame == 0 || outFrame > UINT32_MAX ? 1 : uint32_t(outFrame);

    // The nominal pattern: the rate spread evenly, then the rates with a known device order.
    const uint32_t perSecond = highSpeed ? 8000 : 1000;
    fpoInitPattern(mPatternLength, mNominalPattern, mNominal, int64_t(uint64_t{mPatternLength} * sampleRate / perSecond));
    for (uint32_t i = 0; i < mPatternLength; ++i) {
        uint32_t& entry = mNominalPattern[i];
        switch (sampleRate) {
        case 32000:
        case 48000:
        case 64000:
        case 96000:
        case 128000:
        case 192000:
            entry = mNominal;
            break;
        case 44100:
            mNominal = highSpeed ? 5 : 44;
            entry = highSpeed ? 5 + (i % 2 == 1 ? 1 : 0) + (i % 80 == 0 ? 1 : 0) : (i % 10 == 0 ? 45 : 44);
            break;
        case 88200:
            mNominal = highSpeed ? 11 : 88;
            entry = highSpeed ? (i % 40 == 0 ? 12 : 11) : (i % 5 == 0 ? 89 : 88);
            break;
        case 176400:
            mNominal = highSpeed ? 22 : 176;
            entry = highSpeed ? (i % 20 == 0 ? 23 : 22) : (i % 5 == 0 || i % 5 == 2 ? 177 : 176);
            break;
        default:
            break;
        }
    }
    // The active pattern starts as the nominal one.
    for (uint32_t i = 0; i < kMaxPatternLength; ++i) {
        mActivePattern[i].store(i < mPatternLength ? mNominalPattern[i] : 0, std::memory_order_relaxed);
    }
    mReadIndex = 0;
    // The band (never below 0).
    mLowerBound = mNominal > mTolerance ? mNominal - mTolerance : 0;
    mUpperBound = mNominal + mTolerance;
    // One millisecond in microframes for samples per ms - 2 .. + 2.
    for (uint32_t d = 0; d < kNumMicroPatterns; ++d) {
        fpoInitPattern(kMicroframesPerFrame, mMicroPatterns[d], mNominal,
                       int64_t{mSamplesPerMs} + int64_t(d) - kMicroPatternSpread);
    }
}

void VKFramePatternObserver::storeEntries(const uint32_t* source, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        mActivePattern[(mWriteIndex + i) % mPatternLength].store(source[i], std::memory_order_relaxed);
    }
}

void VKFramePatternObserver::advanceWriteIndex(uint32_t count)
{
    mWriteIndex = (mWriteIndex + count) % mPatternLength;
}

uint32_t VKFramePatternObserver::takeOutputSamples(uint32_t entries)
{
    uint32_t samples = 0;
    for (uint32_t i = 0; i < entries; ++i) {
        mReadIndex %= mPatternLength;
        samples += mActivePattern[mReadIndex].load(std::memory_order_relaxed);
        mReadIndex = (mReadIndex + 1) % mPatternLength;
    }
    return samples;
}

bool VKFramePatternObserver::unlock()
{
    return mbLocked.exchange(false, std::memory_order_relaxed);
}

bool VKFramePatternObserver::lockWhenBack()
{
    if (mbLocked.load(std::memory_order_relaxed) || mWriteIndex != mLockStartIndex) {
        return false;
    }
    mbLocked.store(true, std::memory_order_relaxed);
    return true;
}

uint32_t VKFramePatternObserver::repairEntry()
{
    mLockStartIndex = mWriteIndex;
    return mNominalPattern[mWriteIndex];
}

bool VKFramePatternObserver::storeMillisecond(uint32_t observed)
{
    const int64_t d = int64_t{observed} - int64_t{mSamplesPerMs};
    if (d < -kMicroPatternSpread || d > kMicroPatternSpread) {
        return false;
    }
    storeEntries(mMicroPatterns[d + kMicroPatternSpread], kMicroframesPerFrame);
    return true;
}

uint32_t VKFramePatternObserver::repairMillisecond()
{
    mLockStartIndex = mWriteIndex;
    uint32_t nominal[kMicroframesPerFrame];
    uint32_t sum = 0;
    for (uint32_t i = 0; i < kMicroframesPerFrame; ++i) {
        nominal[i] = mNominalPattern[(mWriteIndex + i) % mPatternLength];
        sum += nominal[i];
    }
    storeEntries(nominal, kMicroframesPerFrame);
    return sum;
}

uint32_t VKFramePatternObserver::onRtsFrame(uint32_t observed, uint32_t& errors)
{
    mWriteIndex %= mPatternLength;
    uint32_t value = observed;
    if (!inBand(value)) {
        ++errors;
        if (unlock()) {
            VKLogOutsideRealTime("USB: %s %d %d %d\n", "Lost Sync...Len/Expected/MaxDelta/Frame", value,
                                 mNominal, mTolerance);
            VKLogOutsideRealTime("Lost Sync...Len:%d Expected:%d MaxDelta:%d\n", value, mNominal, mTolerance);
        }
        value = repairEntry();
    }
    storeEntries(&value, 1);
    advanceWriteIndex(1);
    if (lockWhenBack()) {
        VKLogOutsideRealTime("USB: %s\n", "FramePattern Locked - reset nErrorCounter");
        errors = 0;
    }
    return value;
}

uint32_t VKFramePatternObserver::onRtsFrameMicroFrames(uint32_t observed, uint32_t& errors)
{
    mWriteIndex %= mPatternLength;
    uint32_t result = observed;
    if (!storeMillisecond(observed)) {
        ++errors;
        VKLogOutsideRealTime("FEEDBACK Fullframe(hs) out of range frames:%d expected:%d errcount:%d\n",
                             observed, mSamplesPerMs, errors);
        if (unlock()) {
            VKLogOutsideRealTime("USB: %s %d %d\n", "FEEDBACK Lost Sync...Len/Expected", observed,
                                 mSamplesPerMs);
        }
        result = repairMillisecond();
    }
    advanceWriteIndex(kMicroframesPerFrame);
    if (lockWhenBack()) {
        VKLogOutsideRealTime("USB: %s\n", "FEEDBACK FramePattern Locked");
        VKLogOutsideRealTime("FEEDBACK FramePattern Locked\n");
        errors = 0;
    }
    return result;
}

bool VKFramePatternObserver::isocFeedbackReadCompleteFullFrame(FeedbackStreamingStruct& values)
{
    bool lockedNow = false;
    const uint32_t count = std::min(values.mCount, FeedbackStreamingStruct::kMaxValues);
    for (uint32_t n = 0; n < count; ++n) {
        mWriteIndex %= mPatternLength;
        const uint32_t observed = values.mValues[n];
        if (!storeMillisecond(observed)) {
            if (unlock()) {
                VKLogOutsideRealTime("USB: %s %d %d %d %d\n",
                                     "FEEDBACK Lost Sync...Len/Expected/MaxDelta/Frame", observed,
                                     mSamplesPerMs, kMicroPatternSpread, mWriteIndex);
            }
            repairMillisecond();
        }
        advanceWriteIndex(kMicroframesPerFrame);
        if (lockWhenBack()) {
            VKLogOutsideRealTime("USB: %s\n", "FEEDBACK FramePattern Locked");
            lockedNow = true;
        }
    }
    return lockedNow;
}

bool VKFramePatternObserver::isocFeedbackReadComplete(FeedbackStreamingStruct& values)
{
    bool lockedNow = false;
    const uint32_t count = std::min(values.mCount, FeedbackStreamingStruct::kMaxValues);
    for (uint32_t n = 0; n < count; ++n) {
        mWriteIndex %= mPatternLength;
        uint32_t value = values.mValues[n];
        if (!inBand(value)) {
            if (unlock()) {
                VKLogOutsideRealTime("USB: %s %d %d %d %d\n",
                                     "FEEDBACK Lost Sync...Len/Expected/MaxDelta/Frame", value, mNominal,
                                     mTolerance, mWriteIndex);
            }
            value = repairEntry();
            values.mValues[n] = value;
        }
        storeEntries(&value, 1);
        advanceWriteIndex(1);
        if (lockWhenBack()) {
            VKLogOutsideRealTime("USB: %s\n", "FEEDBACK FramePattern Locked");
            lockedNow = true;
        }
    }
    return lockedNow;
}
