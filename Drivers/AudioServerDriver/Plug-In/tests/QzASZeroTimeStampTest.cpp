// The drift-tracking clock as a unit: the windowed average, the fit and its outlier rule, the
// stability judgement, the kernel time stamps taken oldest first, and zero time stamps that
// follow a device clock off by 100 ppm period after period; then the two threads on the real
// clock.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "QzASZeroTimeStamp.h"
#include "platform/HostClock.h"

namespace {

namespace hc = platform::host_clock;

TEST(QzAverageEngine, InitAddAverageAndDeviation)
{
    QzAverageEngine e;
    e.init(0.0, 50);
    EXPECT_EQ(e.count(), 0);
    EXPECT_EQ(e.getAverage(), 0.0);
    EXPECT_EQ(e.getStdDeviation(), 0.0);
    e.init(3.0, 50);
    EXPECT_EQ(e.count(), 50);
    EXPECT_DOUBLE_EQ(e.getAverage(), 3.0);
    EXPECT_EQ(e.getStdDeviation(), 0.0);

    e.init(0.0, 4);
    for (double v : {1.0, 2.0, 3.0, 4.0, 5.0, 6.0}) {
        e.add(v);
    }
    // The window keeps the last four: 5, 6, 3, 4.
    EXPECT_EQ(e.count(), 4);
    EXPECT_DOUBLE_EQ(e.getAverage(), 4.5);
    EXPECT_NEAR(e.getStdDeviation(), std::sqrt(1.25), 1e-12);

    // A window above 1,000 is capped, and so is the count of values taken as filled.
    e.init(2.0, 5'000);
    EXPECT_EQ(e.mWindow, 1'000);
    EXPECT_EQ(e.count(), 1'000);
    EXPECT_DOUBLE_EQ(e.getAverage(), 2.0);
}

class Fit : public testing::Test
{
protected:
    void line(double slope, double intercept, uint32_t n, double x0 = 1'000.0)
    {
        x.resize(n);
        y.resize(n);
        for (uint32_t i = 0; i < n; ++i) {
            x[i] = x0 + 512.0 * i;
            y[i] = intercept + slope * x[i];
        }
    }
    void fit()
    {
        lr.setPoints(x.data(), y.data(), static_cast<uint32_t>(x.size()));
        lr.CalcParams();
    }

    QzLinearRegression lr;
    std::vector<double> x;
    std::vector<double> y;
};

TEST_F(Fit, StraightLineAndDegenerateInputs)
{
    line(20'833.3, 5e9, 100);
    fit();
    EXPECT_NEAR(lr.fittedSlope(), 20'833.3, 1e-6);
    EXPECT_NEAR(lr.fittedIntercept(), 5e9, 1.0);
    EXPECT_NEAR(lr.fittedCorrelation(), 1.0, 1e-12);

    // All x equal: slope 0, intercept the mean y, the correlation kept from the last fit.
    x.assign(10, 7.0);
    y = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    fit();
    EXPECT_EQ(lr.fittedSlope(), 0.0);
    EXPECT_DOUBLE_EQ(lr.fittedIntercept(), 5.5);
    EXPECT_NEAR(lr.fittedCorrelation(), 1.0, 1e-12);

    // No points: nothing changes.
    lr.setPoints(nullptr, nullptr, 0);
    lr.CalcParams();
    EXPECT_DOUBLE_EQ(lr.fittedIntercept(), 5.5);
}

TEST_F(Fit, OutliersBelowTheLineAndFarAboveAreMovedOntoIt)
{
    struct Case
    {
        uint32_t index;
        double offset;
        bool moved;
    };
    // Below the line: always moved. Far above (|y| / residual under 2e7): moved. Barely above
    // a line at 1e11: kept.
    for (const Case c : {Case{10, -5'000.0, true}, Case{20, 500'000.0, true}, Case{30, 1'000.0, false}}) {
        SCOPED_TRACE(c.index);
        line(20'000.0, 1e11, 60);
        y[c.index] += c.offset;
        fit();
        const double onLine = lr.fittedSlope() * x[c.index] + lr.fittedIntercept();
        lr.RemoveOutliers();
        EXPECT_DOUBLE_EQ(lr.pointsY()[c.index], c.moved ? onLine : y[c.index]);
    }
}

// Kernel time stamps of a device whose clock runs `ppm` off its nominal rate, one per 512
// frames, the newest at sample `end`.
struct DeviceClock : QzASTimeStampSource
{
    double nominalTicksPerFrame = 1e9 / 48'000;
    double ppm = 0;
    uint64_t hostAtZero = 3'000'000'000;
    uint32_t count = 0;

    double ticksPerFrame() const { return nominalTicksPerFrame * (1 + ppm * 1e-6); }
    uint64_t hostOf(uint64_t sample) const
    {
        return hostAtZero + static_cast<uint64_t>(std::llround(ticksPerFrame() * static_cast<double>(sample)));
    }
    bool _HW_GetTimeStamps(QZ_TimeStampsBufferData& stamps) override
    {
        stamps.mCount = count;
        // Entry i holds the stamp with number i + k * 1000: the latest ones overwrite.
        for (uint32_t n = count > 1'000 ? count - 1'000 : 0; n < count; ++n) {
            stamps.mSampleTimes[n % 1'000] = uint64_t{512} * n;
            stamps.mHostTimes[n % 1'000] = hostOf(uint64_t{512} * n);
        }
        return true;
    }
};

TEST(lrDataProvider, TakesTheStoredPairsOldestFirst)
{
    DeviceClock clock;
    std::vector<double> x(1'000);
    std::vector<double> y(1'000);
    uint32_t count = 0;

    clock.count = 300;
    lrDataProvider(&clock, &count, x.data(), y.data());
    EXPECT_EQ(count, 300u);
    EXPECT_EQ(x[0], 0.0);
    EXPECT_EQ(x[299], 512.0 * 299);

    clock.count = 2'500;
    lrDataProvider(&clock, &count, x.data(), y.data());
    EXPECT_EQ(count, 1'000u);
    EXPECT_EQ(x[0], 512.0 * 1'500); // entry 500 holds stamp 1,500, the oldest kept
    EXPECT_EQ(x[999], 512.0 * 2'499);
    EXPECT_EQ(y[999], static_cast<double>(clock.hostOf(512 * 2'499)));

    count = 7;
    lrDataProvider(nullptr, &count, x.data(), y.data());
    EXPECT_EQ(count, 7u);
}

TEST(QzLinearRegression, StableOnlyNearTheInitialSlopeWithEnoughPoints)
{
    struct Case
    {
        double ppm;
        uint32_t points;
        bool stable;
    };
    for (const Case c : {Case{100, 1'000, true}, Case{-100, 1'000, true}, Case{0, 51, true}, Case{0, 50, false},
                         Case{1'000, 1'000, false}, Case{2'000, 1'000, false}}) {
        SCOPED_TRACE(testing::Message() << c.ppm << " ppm, " << c.points << " points");
        DeviceClock clock;
        clock.ppm = c.ppm;
        clock.count = c.points;
        QzLinearRegression lr;
        lr.init(clock.nominalTicksPerFrame, 0.0);
        lr.setDataFetcher(&clock, lrDataProvider);
        lr.regressionCycle();
        double slope = 0;
        double intercept = 0;
        double correlation = 0;
        lr.getLRParameters(slope, intercept, correlation);
        EXPECT_EQ(lr.isStable(), c.stable);
        if (c.stable) {
            EXPECT_NEAR(slope, clock.ticksPerFrame(), 1e-6);
            EXPECT_NEAR(intercept, static_cast<double>(clock.hostAtZero), 2.0);
        } else {
            EXPECT_EQ(slope, clock.nominalTicksPerFrame);
        }
    }
}

TEST(QzASZeroTimeStamp, ZeroTimeStampsFollowADeviceClockOffBy100ppm)
{
    for (double ppm : {100.0, -100.0, 0.0}) {
        SCOPED_TRACE(testing::Message() << ppm << " ppm");
        DeviceClock clock;
        clock.ppm = ppm;
        clock.count = 1'000;
        QzASZeroTimeStamp zts;
        QzLinearRegression& lr = zts.regression();
        lr.init(clock.nominalTicksPerFrame, 0.0);
        lr.setDataFetcher(&clock, lrDataProvider);
        zts.reset(0, clock.hostOf(0));

        // Ten simulated minutes at 48 kHz: about 1,760 periods, a fresh fit every 16 periods.
        for (uint32_t period = 0; period < 1'760; ++period) {
            if (period % 16 == 0) {
                lr.regressionCycle();
                clock.count += 32;
            }
            const uint64_t next = zts.planNextZeroTime(0);
            zts.publishZeroTime(next);
        }
        double sample = 0;
        uint64_t host = 0;
        uint64_t seed = 1;
        zts.GetZeroTimeStamp(sample, host, seed);
        EXPECT_EQ(seed, 0u);
        EXPECT_EQ(sample, 1'760.0 * QzASZeroTimeStamp::kPeriod);
        const double error = static_cast<double>(host) - static_cast<double>(clock.hostOf(static_cast<uint64_t>(sample)));
        // Well inside one frame: the period time is truncated to whole ticks, one tick a period.
        EXPECT_LT(std::fabs(error), 1'760.0 + 1.0);
        EXPECT_LT(std::fabs(error), clock.ticksPerFrame());
        EXPECT_LE(std::llabs(zts.accumulatedDrift()), 1'760);
    }
}

TEST(QzASZeroTimeStamp, CorrectionsAdvanceAndRetardOnePeriod)
{
    DeviceClock clock;
    clock.count = 1'000;
    QzASZeroTimeStamp zts;
    zts.regression().init(clock.nominalTicksPerFrame, 0.0);
    zts.regression().setDataFetcher(&clock, lrDataProvider);
    zts.regression().regressionCycle();
    zts.reset(0, clock.hostOf(0));
    const uint64_t plain = zts.planNextZeroTime(0);
    const uint64_t perBuffer = zts.hostTicksPerBuffer();
    zts.reset(0, clock.hostOf(0));
    zts.requestCorrection(1);
    EXPECT_EQ(zts.planNextZeroTime(0), plain + static_cast<uint64_t>(static_cast<double>(perBuffer) * 0.0002));
    zts.reset(0, clock.hostOf(0));
    zts.requestCorrection(2);
    EXPECT_EQ(zts.planNextZeroTime(0),
              plain - static_cast<uint64_t>(static_cast<double>(perBuffer) * 0.0004));
    // A request is used once.
    zts.reset(0, clock.hostOf(0));
    EXPECT_EQ(zts.planNextZeroTime(0), plain);
}

// A fetcher on the real host clock: the device started 10 s ago at 48 kHz.
struct LiveClock : QzASTimeStampSource
{
    uint64_t start = hc::now();
    bool _HW_GetTimeStamps(QZ_TimeStampsBufferData& stamps) override
    {
        const uint64_t now = hc::now();
        const uint64_t frames = (now - start) * 48'000 / 1'000'000'000;
        const uint32_t n = static_cast<uint32_t>(frames / 512);
        stamps.mCount = n;
        for (uint32_t k = n > 1'000 ? n - 1'000 : 0; k < n; ++k) {
            stamps.mSampleTimes[k % 1'000] = uint64_t{512} * k;
            stamps.mHostTimes[k % 1'000] = start + uint64_t{512} * k * 1'000'000'000 / 48'000;
        }
        return true;
    }
};

TEST(QzASZeroTimeStamp, ThreadsPublishAPeriodAndStop)
{
    LiveClock live;
    live.start -= 10'000'000'000;
    QzASZeroTimeStamp zts;
    ASSERT_TRUE(zts.Init(0.0, nullptr, &live, lrDataProvider)); // rate 0 runs as 44.1 kHz
    EXPECT_NEAR(zts.hostTicksPerFrame(), 1e9 / 44'100, 1e-6);
    ASSERT_TRUE(zts.Init(48'000.0, nullptr, &live, lrDataProvider));
    ASSERT_TRUE(zts.Start(0, hc::now()));

    // One period of 16,384 frames is 341 ms; wait for the first zero time stamp.
    const uint64_t deadline = hc::now() + 5'000'000'000;
    double sample = 0;
    uint64_t host = 0;
    uint64_t seed = 0;
    do {
        hc::sleepFor(10'000'000);
        zts.GetZeroTimeStamp(sample, host, seed);
    } while (sample == 0 && hc::now() < deadline);
    EXPECT_EQ(sample, static_cast<double>(QzASZeroTimeStamp::kPeriod));
    zts.Stop();

    double kernelSample = 1;
    uint64_t kernelHost = 0;
    EXPECT_FALSE(zts.GetFromKernel(kernelSample, kernelHost));
    EXPECT_EQ(kernelSample, 0.0);
}

} // namespace
