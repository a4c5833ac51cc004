// The frame pattern: nominal patterns by rate and speed, the band, repairs, lock and relock, the
// millisecond (8-entry) updates and explicit feedback records, including hostile values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

#include "DeviceModels.h"
#include "VKFramePatternObserver.h"
#include "platform/Log.h"

using platform::log::Capture;
using platform::log::Channel;

namespace {

const VIDPID kAnyDevice(0x2912, 0x3001, 0x0100, nullptr);
const VIDPID kExactClockDevice(kModelMindprint.vendor, kModelMindprint.product, 0x0100, nullptr);

std::vector<uint32_t> activePattern(const VKFramePatternObserver& fpo)
{
    std::vector<uint32_t> out;
    for (uint32_t i = 0; i < fpo.mPatternLength; ++i) {
        out.push_back(fpo.activeEntry(i));
    }
    return out;
}

std::vector<uint32_t> repeat(uint32_t value, uint32_t count)
{
    return std::vector<uint32_t>(count, value);
}

std::vector<uint32_t> concat(std::initializer_list<std::vector<uint32_t>> parts)
{
    std::vector<uint32_t> out;
    for (const auto& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

struct InitCase
{
    const char* name;
    uint32_t rate;
    bool highSpeed;
    const VIDPID* device;
    uint32_t length;
    uint32_t nominal;
    uint32_t lower;
    uint32_t upper;
    std::vector<uint32_t> firstEntries; // the pattern's first entries
    uint64_t patternSum;                // samples in the whole pattern
};

class FramePatternInitTest : public ::testing::TestWithParam<InitCase>
{
};

TEST_P(FramePatternInitTest, NominalPatternBandAndLength)
{
    const InitCase& c = GetParam();
    VKFramePatternObserver fpo;
    fpo.init(c.rate, 3, 2, 3, 2, c.highSpeed, *c.device);
    EXPECT_EQ(fpo.mPatternLength, c.length);
    EXPECT_EQ(fpo.mNominal, c.nominal);
    EXPECT_EQ(fpo.mLowerBound, c.lower);
    EXPECT_EQ(fpo.mUpperBound, c.upper);
    EXPECT_FALSE(fpo.isLocked());
    const std::vector<uint32_t> pattern = activePattern(fpo);
    ASSERT_GE(pattern.size(), c.firstEntries.size());
    EXPECT_EQ(std::vector<uint32_t>(pattern.begin(), pattern.begin() + c.firstEntries.size()), c.firstEntries);
    EXPECT_EQ(std::accumulate(pattern.begin(), pattern.end(), uint64_t{0}), c.patternSum);
    EXPECT_EQ(fpo.mOutBytesPerSampleFrame, 6u);
    EXPECT_EQ(fpo.mInBytesPerSampleFrame, 6u);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, FramePatternInitTest,
    ::testing::Values(
        InitCase{"FullSpeed44k1", 44100, false, &kAnyDevice, 16, 44, 42, 46,
                 concat({{45}, repeat(44, 9), {45}, repeat(44, 5)}), 706},
        InitCase{"FullSpeed48k", 48000, false, &kAnyDevice, 16, 48, 46, 50, repeat(48, 16), 768},
        InitCase{"HighSpeed48k", 48000, true, &kAnyDevice, 128, 6, 5, 7, repeat(6, 128), 768},
        // 5 + (odd) + (multiple of 80): 6,6,5,6,5,6,5,6 ...
        InitCase{"HighSpeed44k1", 44100, true, &kAnyDevice, 128, 5, 4, 6, {6, 6, 5, 6, 5, 6, 5, 6}, 706},
        InitCase{"FullSpeed88k2", 88200, false, &kAnyDevice, 16, 88, 86, 90, {89, 88, 88, 88, 88, 89}, 1412},
        InitCase{"HighSpeed88k2", 88200, true, &kAnyDevice, 128, 11, 10, 12, {12, 11, 11}, 1412},
        InitCase{"FullSpeed176k4", 176400, false, &kAnyDevice, 16, 176, 174, 178, {177, 176, 177, 176, 176, 177},
                 2823},
        InitCase{"HighSpeed176k4", 176400, true, &kAnyDevice, 128, 22, 21, 23, {23, 22, 22}, 2823},
        InitCase{"ExactClock48k", 48000, false, &kExactClockDevice, 16, 48, 48, 48, repeat(48, 16), 768},
        InitCase{"ExactClock96kHighSpeed", 96000, true, &kExactClockDevice, 128, 12, 12, 12, {12}, 1536},
        InitCase{"ExactClockModelAt44k1KeepsSlack", 44100, false, &kExactClockDevice, 16, 44, 42, 46, {45, 44},
                 706},
        // A rate outside the table keeps the evenly spread pattern (2.75625 samples per microframe).
        InitCase{"SpreadRate22k05", 22050, true, &kAnyDevice, 128, 2, 1, 3, {2, 3, 3, 3, 2, 3, 3, 3}, 352},
        // No rate: nothing divides by it, the band does not wrap below 0.
        InitCase{"RateZero", 0, false, &kAnyDevice, 16, 0, 0, 2, repeat(0, 16), 0}),
    [](const ::testing::TestParamInfo<InitCase>& param) { return param.param.name; });

TEST(FramePatternTest, SpreadingReachesTheTotalOrStopsForNothingToSpread)
{
    uint32_t pattern[16];
    VKFramePatternObserver::fpoInitPattern(16, pattern, 22, 16 * 22050 / 1000);
    EXPECT_EQ(std::accumulate(pattern, pattern + 16, 0u), 352u);
    VKFramePatternObserver::fpoInitPattern(8, pattern, 6, 47);
    EXPECT_EQ(std::vector<uint32_t>(pattern, pattern + 8), (std::vector<uint32_t>{5, 6, 6, 6, 6, 6, 6, 6}));
    VKFramePatternObserver::fpoInitPattern(8, pattern, 1, -5); // a negative total counts as 0
    EXPECT_EQ(std::accumulate(pattern, pattern + 8, 0u), 0u);
    VKFramePatternObserver::fpoInitPattern(0, pattern, 1, 100); // no entries: nothing to do
    VKFramePatternObserver::fpoInitPattern(4, nullptr, 1, 4);
}

TEST(FramePatternTest, MicroframePatternsHoldOneMillisecondEach)
{
    VKFramePatternObserver fpo;
    fpo.init(48000, 2, 2, 2, 2, true, kAnyDevice);
    for (uint32_t d = 0; d < VKFramePatternObserver::kNumMicroPatterns; ++d) {
        const uint32_t* micro = fpo.mMicroPatterns[d];
        EXPECT_EQ(std::accumulate(micro, micro + 8, 0u), 46 + d) << "pattern " << d;
    }
    // 47 samples in a millisecond: seven 6s and one 5.
    const uint32_t* p47 = fpo.mMicroPatterns[1];
    EXPECT_EQ(std::count(p47, p47 + 8, 6u), 7);
    EXPECT_EQ(std::count(p47, p47 + 8, 5u), 1);
}

struct ObservationCase
{
    const char* name;
    uint32_t rate;
    bool highSpeed;
    const VIDPID* device;
    uint32_t observed;
    uint32_t expected;   // the count to use
    uint32_t errorsRise; // 0 or 1
};

class FramePatternObservationTest : public ::testing::TestWithParam<ObservationCase>
{
};

TEST_P(FramePatternObservationTest, InBandIsKeptOutOfBandIsRepairedAndCounted)
{
    const ObservationCase& c = GetParam();
    VKFramePatternObserver fpo;
    fpo.init(c.rate, 2, 2, 2, 2, c.highSpeed, *c.device);
    uint32_t errors = 3;
    EXPECT_EQ(fpo.onRtsFrame(c.observed, errors), c.expected);
    EXPECT_EQ(errors, 3 + c.errorsRise);
    EXPECT_EQ(fpo.activeEntry(0), c.expected);
    EXPECT_EQ(fpo.mWriteIndex, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Values, FramePatternObservationTest,
    ::testing::Values(ObservationCase{"FullSpeed48kAccepts50", 48000, false, &kAnyDevice, 50, 50, 0},
                      ObservationCase{"FullSpeed48kRepairs51", 48000, false, &kAnyDevice, 51, 48, 1},
                      ObservationCase{"FullSpeed48kAccepts46", 48000, false, &kAnyDevice, 46, 46, 0},
                      ObservationCase{"FullSpeed48kRepairsZero", 48000, false, &kAnyDevice, 0, 48, 1},
                      ObservationCase{"FullSpeed44k1RepairsWithTheEntry", 44100, false, &kAnyDevice, 47, 45, 1},
                      ObservationCase{"HighSpeed48kAccepts7", 48000, true, &kAnyDevice, 7, 7, 0},
                      ObservationCase{"HighSpeed48kRepairs8", 48000, true, &kAnyDevice, 8, 6, 1},
                      ObservationCase{"HighSpeed48kRepairs4", 48000, true, &kAnyDevice, 4, 6, 1},
                      ObservationCase{"ExactClockAcceptsNominal", 48000, false, &kExactClockDevice, 48, 48, 0},
                      ObservationCase{"ExactClockRepairs49", 48000, false, &kExactClockDevice, 49, 48, 1},
                      ObservationCase{"ExactClockRepairs47", 48000, false, &kExactClockDevice, 47, 48, 1},
                      ObservationCase{"HostileHugeValue", 48000, false, &kAnyDevice, 0xFFFFFFFF, 48, 1}),
    [](const ::testing::TestParamInfo<ObservationCase>& param) { return param.param.name; });

TEST(FramePatternTest, SixteenInBandValuesLockResetErrorsAndARepairUnlocks)
{
    VKFramePatternObserver fpo;
    fpo.init(44100, 2, 2, 2, 2, false, kAnyDevice);
    uint32_t errors = 7;
    Capture log(Channel::kernel);
    for (int i = 0; i < 15; ++i) {
        fpo.onRtsFrame(i % 2 == 0 ? 44 : 45, errors);
    }
    EXPECT_FALSE(fpo.isLocked());
    EXPECT_EQ(errors, 7u);
    fpo.onRtsFrame(44, errors);
    EXPECT_TRUE(fpo.isLocked());
    EXPECT_EQ(errors, 0u);
    platform::log::flush();
    EXPECT_TRUE(log.contains("USB: FramePattern Locked - reset nErrorCounter"));
    // The device's own order replaced the nominal one.
    EXPECT_EQ(fpo.activeEntry(1), 45u);

    fpo.onRtsFrame(60, errors); // entry 0 again: repaired with the nominal 45
    EXPECT_FALSE(fpo.isLocked());
    EXPECT_EQ(errors, 1u);
    EXPECT_EQ(fpo.activeEntry(0), 45u);
    platform::log::flush();
    EXPECT_TRUE(log.contains("USB: Lost Sync...Len/Expected/MaxDelta/Frame 60 44 2"));
    EXPECT_TRUE(log.contains("Lost Sync...Len:60 Expected:44 MaxDelta:2"));
    for (int i = 0; i < 14; ++i) {
        fpo.onRtsFrame(44, errors);
    }
    EXPECT_FALSE(fpo.isLocked()) << "one whole length from the repaired entry";
    fpo.onRtsFrame(44, errors);
    EXPECT_TRUE(fpo.isLocked());
    EXPECT_EQ(errors, 0u);
}

TEST(FramePatternTest, MillisecondUpdatesWriteEightEntriesAndRepairWithTheNominalOnes)
{
    VKFramePatternObserver fpo;
    fpo.init(48000, 2, 2, 2, 2, true, kAnyDevice);
    uint32_t errors = 2;
    EXPECT_EQ(fpo.onRtsFrameMicroFrames(47, errors), 47u);
    EXPECT_EQ(fpo.mWriteIndex, 8u);
    uint32_t sum = 0;
    for (uint32_t i = 0; i < 8; ++i) {
        sum += fpo.activeEntry(i);
    }
    EXPECT_EQ(sum, 47u);
    EXPECT_EQ(errors, 2u);

    Capture log(Channel::kernel);
    EXPECT_EQ(fpo.onRtsFrameMicroFrames(51, errors), 48u) << "out of range: the nominal millisecond";
    EXPECT_EQ(errors, 3u);
    EXPECT_EQ(fpo.mLockStartIndex, 8u);
    platform::log::flush();
    EXPECT_TRUE(log.contains("FEEDBACK Fullframe(hs) out of range frames:51 expected:48 errcount:3"));
    // 128 entries from the repaired ones lock the pattern.
    for (int i = 0; i < 14; ++i) {
        fpo.onRtsFrameMicroFrames(48, errors);
    }
    EXPECT_FALSE(fpo.isLocked());
    fpo.onRtsFrameMicroFrames(49, errors);
    EXPECT_TRUE(fpo.isLocked());
    EXPECT_EQ(errors, 0u);
    platform::log::flush();
    EXPECT_TRUE(log.contains("USB: FEEDBACK FramePattern Locked"));
}

// Per-value updates move the write index by one, millisecond updates by eight: mixed, an 8-entry
// copy starts anywhere and wraps at the pattern length instead of running past it.
TEST(FramePatternTest, EightEntryCopiesWrapAtThePatternLength)
{
    VKFramePatternObserver fpo;
    fpo.init(48000, 2, 2, 2, 2, true, kAnyDevice);
    uint32_t errors = 0;
    for (int i = 0; i < 125; ++i) {
        fpo.onRtsFrame(6, errors);
    }
    ASSERT_EQ(fpo.mWriteIndex, 125u);
    const std::vector<uint32_t> nominalBefore(fpo.mNominalPattern, fpo.mNominalPattern + 128);
    fpo.onRtsFrameMicroFrames(50, errors); // 50: two 7s in six 6s
    EXPECT_EQ(fpo.mWriteIndex, 5u);
    uint32_t sum = 0;
    for (uint32_t i = 125; i < 133; ++i) {
        sum += fpo.activeEntry(i % 128);
    }
    EXPECT_EQ(sum, 50u);
    EXPECT_EQ(std::vector<uint32_t>(fpo.mNominalPattern, fpo.mNominalPattern + 128), nominalBefore)
        << "nothing written past the active pattern";

    FeedbackStreamingStruct fullFrame;
    fullFrame.mCount = 1;
    fullFrame.mValues[0] = 46;
    for (int i = 0; i < 2; ++i) {
        fpo.onRtsFrame(6, errors);
    }
    ASSERT_EQ(fpo.mWriteIndex, 7u);
    fpo.isocFeedbackReadCompleteFullFrame(fullFrame);
    EXPECT_EQ(fpo.mWriteIndex, 15u);
    EXPECT_EQ(std::vector<uint32_t>(fpo.mNominalPattern, fpo.mNominalPattern + 128), nominalBefore);
}

TEST(FramePatternTest, FeedbackRecordsAreRepairedInPlaceAndLockOnlyInTheCallThatLocks)
{
    VKFramePatternObserver fpo;
    fpo.init(48000, 2, 2, 2, 2, false, kAnyDevice);
    FeedbackStreamingStruct values;
    values.mCount = 4;
    const uint32_t hostile[] = {48, 0, 255, 49};
    std::copy(hostile, hostile + 4, values.mValues);
    EXPECT_FALSE(fpo.isocFeedbackReadComplete(values));
    EXPECT_EQ(std::vector<uint32_t>(values.mValues, values.mValues + 4), (std::vector<uint32_t>{48, 48, 48, 49}));
    EXPECT_EQ(fpo.mLockStartIndex, 2u);

    // A count beyond the record is taken as the record's 32 values; 16 good ones lock.
    values.mCount = 1000;
    std::fill(values.mValues, values.mValues + 32, 47u);
    EXPECT_TRUE(fpo.isocFeedbackReadComplete(values));
    EXPECT_TRUE(fpo.isLocked());
    EXPECT_EQ(fpo.mWriteIndex, (4u + 32u) % 16u);
    EXPECT_FALSE(fpo.isocFeedbackReadComplete(values)) << "already locked";

    Capture log(Channel::kernel);
    values.mCount = 1;
    values.mValues[0] = 3;
    EXPECT_FALSE(fpo.isocFeedbackReadComplete(values));
    EXPECT_FALSE(fpo.isLocked());
    platform::log::flush();
    EXPECT_TRUE(log.contains("USB: FEEDBACK Lost Sync...Len/Expected/MaxDelta/Frame 3 48 2 4"));
}

TEST(FramePatternTest, FullFrameFeedbackTakesMillisecondsWithinTwoSamples)
{
    VKFramePatternObserver fpo;
    fpo.init(44100, 2, 2, 2, 2, true, kAnyDevice);
    FeedbackStreamingStruct values;
    values.mCount = 16;
    for (uint32_t i = 0; i < 16; ++i) {
        values.mValues[i] = i % 2 == 0 ? 44 : 45;
    }
    values.mValues[3] = 200; // out of range: the nominal 8 entries
    EXPECT_FALSE(fpo.isocFeedbackReadCompleteFullFrame(values));
    EXPECT_EQ(fpo.mLockStartIndex, 24u);
    uint32_t sum = 0;
    for (uint32_t i = 24; i < 32; ++i) {
        sum += fpo.activeEntry(i);
    }
    EXPECT_EQ(sum, 44u) << "entries 24 to 31 of the nominal 44.1 kHz pattern";
    values.mCount = 4;
    for (uint32_t i = 0; i < 4; ++i) {
        values.mValues[i] = 46;
    }
    EXPECT_TRUE(fpo.isocFeedbackReadCompleteFullFrame(values)) << "16 ms after the repair";
}

TEST(FramePatternTest, OutputTakesEntriesInTurnAndWraps)
{
    VKFramePatternObserver fpo;
    fpo.init(44100, 2, 2, 2, 2, false, kAnyDevice);
    EXPECT_EQ(fpo.takeOutputSamples(1), 45u);
    EXPECT_EQ(fpo.takeOutputSamples(9), 9u * 44u);
    EXPECT_EQ(fpo.takeOutputSamples(6), 45u + 5u * 44u);
    EXPECT_EQ(fpo.mReadIndex, 0u);
    EXPECT_EQ(fpo.takeOutputSamples(17), 706u + 45u);
}

} // namespace
