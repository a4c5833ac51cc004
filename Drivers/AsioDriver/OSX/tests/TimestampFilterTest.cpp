// The time-stamp filter: the taps' start, how the period follows the measured buffers, and the
// time stamps of the first and later cycles.
#include <gtest/gtest.h>

#include "TimestampFilter.h"

namespace {

TEST(TimestampFilterTest, TheTapsSumToThePeriodAndFollowASteadyClock)
{
    Filter filter;
    const int64_t period = 10'666'666; // 512 frames at 48 kHz, in ns
    filter.init(period, 1'000'000);
    EXPECT_NEAR(static_cast<double>(filter.period()), static_cast<double>(period), 32.0);
    uint64_t t = 1'000'000;
    uint64_t filtered = 0;
    for (int i = 0; i < 200; ++i) {
        t += static_cast<uint64_t>(period);
        filtered = filter.get(t);
    }
    EXPECT_NEAR(static_cast<double>(filter.period()), static_cast<double>(period), 64.0);
    EXPECT_NEAR(static_cast<double>(filtered), static_cast<double>(t), static_cast<double>(period) / 48.0);
}

TEST(TimestampFilterTest, ANegativeIntervalGivesAPeriodOfZero)
{
    Filter filter;
    filter.init(0, 1'000'000);
    filter.get(0);
    EXPECT_EQ(filter.period(), 0);
}

TEST(TimestampFilterTest, FirstAndLaterCyclesStampSampleAndHostTimes)
{
    TimestampFilter filter;
    filter.init(48'000, 512, 100, 200); // offsets 612 and 712
    ASSERT_FALSE(filter.started());
    EXPECT_EQ(filter.calcSleepNanos(0, false), 500'000U);
    filter.updateTimestamps(5'000'000'000, 1'000, 1'512);
    const uint64_t t = filter.ticksPerSample();
    EXPECT_EQ(t, 20'833U);
    EXPECT_EQ(filter.inputTime().mSampleTime, 0.0);
    EXPECT_EQ(filter.inputTime().mHostTime, 5'000'000'000U);
    EXPECT_EQ(filter.currentTime().mSampleTime, 612.0);
    EXPECT_EQ(filter.outputTime().mSampleTime, 612.0 + 712.0);
    EXPECT_EQ(filter.inputTime().mFlags, TimestampFilter::kTimeStampFlags);
    filter.updateTimestamps(5'000'000'000 + filter.ticksPerBuffer(), 1'512, 2'100);
    EXPECT_EQ(filter.inputTime().mSampleTime, 512.0);
    EXPECT_EQ(filter.outputTime().mSampleTime, 612.0 + 712.0 + 512.0);
    EXPECT_EQ(filter.currentTime().mSampleTime, 1'100.0);
    EXPECT_EQ(filter.outputTime().mHostTime, filter.inputTime().mHostTime + (612 + 712) * t);
}

TEST(TimestampFilterTest, TheFirstCycleTakesTheLatenciesAndLaterOnlyANewRateOrSize)
{
    TimestampFilter filter;
    filter.init(44'100, 256, 256, 512); // the construction's offsets: 512 and 768
    filter.prepare(44'100, 256, 150, 321);
    filter.updateTimestamps(1'000'000, 0, 256);
    EXPECT_EQ(filter.outputTime().mSampleTime, 150.0 + 256 + 321 + 256);

    filter.prepare(44'100, 256, 100, 100);
    filter.updateTimestamps(1'000'000 + filter.ticksPerBuffer(), 256, 512);
    EXPECT_EQ(filter.outputTime().mSampleTime, 150.0 + 256 + 321 + 256 + 256) << "a latency alone is not taken";

    filter.prepare(44'100, 128, 150, 321);
    EXPECT_EQ(filter.outputTime().mSampleTime, 150.0 + 128 + 321 + 128 + 256) << "a new size moves the offsets";
}

TEST(TimestampFilterTest, EnoughFramesWithoutABufferSwitchWakesAtOnce)
{
    TimestampFilter filter;
    filter.init(48'000, 256, 0, 0);
    filter.updateTimestamps(1'000, 0, 256);
    EXPECT_EQ(filter.calcSleepNanos(300, false), 0U);
    EXPECT_GT(filter.calcSleepNanos(0, true), 0U);
}

} // namespace
