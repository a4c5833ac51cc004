#include "QzASZeroTimeStamp.h"

#include <algorithm>
#include <cmath>

#include "platform/HostClock.h"
#include "platform/Log.h"

namespace {

namespace hc = platform::host_clock;
constexpr int kWarning = platform::log::kPriorityWarning;
constexpr int kError = platform::log::kPriorityError;
constexpr uint64_t kTicksPerMs = 1'000'000;

long long nowMs()
{
    return static_cast<long long>(hc::now() / kTicksPerMs);
}

void warning(const char* text)
{
    platform::syslog(kWarning, "AudioServer: %s\n", text);
}

// A double truncated to a signed 64-bit value, saturating where it does not fit (the
// conversion of an out-of-range double is undefined).
int64_t truncated(double value)
{
    if (!(value == value)) {
        return 0;
    }
    if (value >= 9.2e18) {
        return INT64_MAX;
    }
    if (value <= -9.2e18) {
        return INT64_MIN;
    }
    return static_cast<int64_t>(value);
}

} // namespace

// ---- QzAverageEngine ----

void QzAverageEngine::init(double value, int32_t window)
{
    mWindow = std::clamp(window, 0, kMaxWindow);
    mCount = value == 0.0 ? 0 : mWindow;
    std::fill(mValues, mValues + kMaxWindow, value);
    mNextIndex = 0;
}

void QzAverageEngine::add(double value)
{
    if (mWindow <= 0) {
        return;
    }
    mValues[mNextIndex % static_cast<uint64_t>(mWindow)] = value;
    if (mCount < mWindow) {
        ++mCount;
    }
    ++mNextIndex;
}

double QzAverageEngine::getAverage() const
{
    if (mCount == 0) {
        return 0.0;
    }
    double sum = 0;
    for (int32_t i = 0; i < mCount; ++i) {
        sum += mValues[i];
    }
    return sum / mCount;
}

double QzAverageEngine::getStdDeviation() const
{
    if (mCount == 0) {
        return 0.0;
    }
    double squares = 0;
    for (int32_t i = 0; i < mCount; ++i) {
        squares += mValues[i] * mValues[i];
    }
    const double mean = getAverage();
    const double variance = squares / mCount - mean * mean;
    return variance > 0 ? std::sqrt(variance) : 0.0;
}

// ---- QzLinearRegression ----

QzLinearRegression::QzLinearRegression() : OSXUserThread(63)
{
    mShortEngine.init(0.0, 50);
    mLongEngine.init(0.0, 1'000);
}

QzLinearRegression::~QzLinearRegression()
{
    stopLRthread();
    threadStopAndWait();
}

void QzLinearRegression::setDataFetcher(void* context, QzLRDataFetcher fetcher)
{
    std::lock_guard lock(mLRThreadMutex);
    mFetcherContext = context;
    mFetcher = fetcher;
}

void QzLinearRegression::init(double initialSlope, double initialIntercept)
{
    platform::syslog(kWarning, "QzLR::init %.4f\n", initialSlope);
    std::lock_guard lock(mLRThreadMutex);
    mInitialSlope = initialSlope;
    mInitialIntercept = initialIntercept;
    mPublishedSlope = initialSlope;
    mPublishedIntercept = initialIntercept;
    mStable = false;
    mShortEngine.init(0.0, 50);
    mLongEngine.init(0.0, 1'000);
}

bool QzLinearRegression::startLRThread()
{
    if (mRunning) {
        platform::syslog(kError, "QzLR::startLRThread: already running!");
        return false;
    }
    {
        std::lock_guard lock(mLRThreadMutex);
        mStable = false;
        mShortEngine.init(0.0, 50);
        mLongEngine.init(0.0, 1'000);
    }
    SetPriority(30);
    if (!mSemaphore.create()) {
        platform::syslog(kError, "QzLR::startLRThread: Could not create semaphore");
        return false;
    }
    if (!threadStart()) {
        platform::syslog(kError, "QzLR::startLRThread: Could not start thread");
        mSemaphore.close();
        return false;
    }
    mRunning = true;
    mSemaphore.wait();
    return true;
}

void QzLinearRegression::stopLRthread()
{
    if (!mRunning) {
        return;
    }
    threadStop();
    mSemaphore.wait();
    threadStopAndWait();
    mSemaphore.close();
    mRunning = false;
}

void QzLinearRegression::getLRParameters(double& slope, double& intercept, double& correlation)
{
    std::lock_guard lock(mLRThreadMutex);
    slope = mPublishedSlope;
    intercept = mPublishedIntercept;
    correlation = mCorrelation;
}

bool QzLinearRegression::isStable()
{
    std::lock_guard lock(mLRThreadMutex);
    return mStable;
}

void QzLinearRegression::update()
{
    std::lock_guard lock(mLRThreadMutex);
    CalcParams();
}

void QzLinearRegression::setPoints(const double* x, const double* y, uint32_t count)
{
    mCount = std::min(count, kMaxPoints);
    std::copy(x, x + mCount, mX);
    std::copy(y, y + mCount, mY);
}

void QzLinearRegression::CalcParams()
{
    const uint32_t n = mCount;
    if (n == 0) {
        return;
    }
    double meanX = 0;
    double meanY = 0;
    for (uint32_t i = 0; i < n; ++i) {
        meanX += mX[i];
        meanY += mY[i];
    }
    meanX /= n;
    meanY /= n;
    mSxx = mSyy = mSxy = 0;
    for (uint32_t i = 0; i < n; ++i) {
        mDX[i] = mX[i] - meanX;
        mDY[i] = mY[i] - meanY;
        mSxy += mDX[i] * mDY[i];
        mSxx += mDX[i] * mDX[i];
        mSyy += mDY[i] * mDY[i];
    }
    mSlope = mSxx != 0 ? mSxy / mSxx : 0.0;
    mIntercept = meanY - mSlope * meanX;
    if (mSxx != 0 && mSyy != 0) {
        // Rounding can carry a perfect fit a hair beyond 1, where log10(1 - r) has no value.
        mCorrelation = std::clamp(mSxy / std::sqrt(mSxx * mSyy), -1.0, 1.0);
    }
}

void QzLinearRegression::RemoveOutliers()
{
    for (uint32_t i = 0; i < mCount; ++i) {
        const double line = mSlope * mX[i] + mIntercept;
        const double residual = mY[i] - line;
        if (residual != 0 && std::fabs(mY[i]) / residual < 2e7) {
            mY[i] = line;
        }
    }
}

void QzLinearRegression::regressionCycle()
{
    std::unique_lock lock(mLRThreadMutex);
    if (mFetcher != nullptr) {
        uint32_t count = 0;
        mFetcher(mFetcherContext, &count, mX, mY);
        mCount = std::min(count, kMaxPoints);
        CalcParams();
        if (mCount > 50) {
            RemoveOutliers();
            CalcParams();
        }
        const double c = std::log10(1 - mCorrelation);
        const double s = mShortEngine.getStdDeviation();
        const bool slopeNearInitial =
            mInitialSlope != 0 && std::fabs(mSlope - mInitialSlope) / mInitialSlope < 0.001;
        mStable = c < -7.5 && slopeNearInitial && mCount > 50;
        if (mStable) {
            mShortEngine.add(mSlope);
            mLongEngine.add(mIntercept);
        }
        double slope = mInitialSlope;
        double intercept = mIntercept;
        if (s < 1.0 && mStable) {
            slope = mShortEngine.getAverage();
            intercept = mLongEngine.getAverage();
        }
        if (std::fabs(mShortEngine.getAverage() - mSlope) > 2.0) {
            platform::syslog(kWarning, "%lld QzLR::threadRun Sl %.2f smS %.2f Corr %.2f elts %d stdDev %.2f in %p\n",
                             nowMs(), mSlope, mShortEngine.getAverage(), c, mShortEngine.count(), s,
                             static_cast<void*>(&mShortEngine));
        }
        mPublishedSlope = slope;
        mPublishedIntercept = intercept;
    }
    const bool zero = mPublishedSlope == 0;
    lock.unlock();
    if (zero) {
        warning("ALERT QzLR::threadRun slope=0");
    }
}

void* QzLinearRegression::threadRun()
{
    mSemaphore.signal();
    for (;;) {
        if (stopRequested()) {
            break;
        }
        regressionCycle();
        for (int slice = 0; slice < 50; ++slice) {
            hc::sleepFor(kTicksPerMs);
            if (stopRequested()) {
                platform::syslog(kWarning, "@%lld QzLR::threadRun exit at slice %d\n", nowMs(), slice);
                break;
            }
        }
    }
    warning("EXIT QzLR::threadRun");
    mSemaphore.signal();
    return nullptr;
}

// ---- QzASZeroTimeStamp ----

QzASZeroTimeStamp::QzASZeroTimeStamp() : OSXUserThread(63) {}

QzASZeroTimeStamp::~QzASZeroTimeStamp()
{
    Stop();
    threadStopAndWait();
}

bool QzASZeroTimeStamp::Init(double sampleRate, AudioSM* inputRing, void* fetcherContext, QzLRDataFetcher fetcher)
{
    mInputRing = inputRing;
    if (!(sampleRate > 0)) {
        platform::syslog(kError, "QzASZeroTimeStamp::Init: Samplerate null, forcing to 44100");
        sampleRate = 44'100;
    }
    mSampleRate = sampleRate;
    mNominalTicksPerFrame = mHostClockRate / sampleRate;
    mTicksPerBuffer = static_cast<uint64_t>(std::floor(mNominalTicksPerFrame)) * kPeriod;
    mHostTicksPerFrame = mNominalTicksPerFrame;

    mRegression.stopLRthread();
    hc::sleepFor(100 * kTicksPerMs);
    mRegression.setDataFetcher(fetcherContext, fetcher);
    mRegression.init(mNominalTicksPerFrame, 0.0);
    mRegression.startLRThread();

    {
        std::lock_guard lock(mMutex);
        mHostTicksPerBuffer = mTicksPerBuffer;
        mCurZeroSampleTime = 0;
        mCurZeroHostTime = nzhtCumul = mInitialHostTime;
        mSeed = 0;
    }
    platform::syslog(kWarning,
                     "QzASZeroTimeStamp::Init: mHostTicksPerFrame %.2f theHostClockFrequency %.0f mHostTicksPerBuffer "
                     "%lld theTicksPerBuffer %.0llu \n",
                     mHostTicksPerFrame, mNominalTicksPerFrame, static_cast<long long>(mHostTicksPerBuffer),
                     static_cast<unsigned long long>(mTicksPerBuffer));
    return true;
}

void QzASZeroTimeStamp::reset(uint32_t initialFramePos, uint64_t initialHostTime)
{
    std::lock_guard lock(mMutex);
    mInitialFramePos = initialFramePos;
    mInitialHostTime = initialHostTime;
    mCurZeroHostTime = nzhtCumul = initialHostTime;
    mCurZeroSampleTime = 0;
    mWrapAroundCounter = 0;
    mHaveDifference = false;
    mAccumulatedDrift = 0;
}

bool QzASZeroTimeStamp::Start(uint32_t initialFramePos, uint64_t initialHostTime)
{
    reset(initialFramePos, initialHostTime);
    if (!mSemaphore.create()) {
        platform::syslog(kError, "QzASZeroTimeStamp::Start: Could not create semaphore");
        return false;
    }
    platform::syslog(kWarning,
                     "tASZeroTimeStamp::Start: mInitialFramePos %d mHostTicksPerFrame %.2f mCurZeroHostTime %llu "
                     "mInitialHostTime %llu \n",
                     static_cast<int>(mInitialFramePos), mHostTicksPerFrame,
                     static_cast<unsigned long long>(mCurZeroHostTime),
                     static_cast<unsigned long long>(mInitialHostTime));
    if (!threadStart()) {
        platform::syslog(kError, "QzASZeroTimeStamp::Start: Could not start thread");
        mSemaphore.close();
        return false;
    }
    mSemaphore.wait();
    return true;
}

void QzASZeroTimeStamp::Stop()
{
    if (!mSemaphore.isValid()) {
        mRegression.stopLRthread();
        return;
    }
    threadStop();
    mSemaphore.wait();
    threadStopAndWait();
    mSemaphore.close();
    mRegression.stopLRthread();
}

void QzASZeroTimeStamp::GetZeroTimeStamp(double& sampleTime, uint64_t& hostTime, uint64_t& seed)
{
    std::lock_guard lock(mMutex);
    sampleTime = mCurZeroSampleTime;
    hostTime = mCurZeroHostTime;
    seed = mSeed;
}

bool QzASZeroTimeStamp::GetFromKernel(double& sampleTime, uint64_t& hostTime)
{
    if (mInputRing == nullptr) {
        platform::syslog(kError, "QzASZeroTimeStamp: No shared memory\n");
        sampleTime = 0;
        hostTime = hc::now();
        return false;
    }
    uint64_t h1 = 0;
    uint64_t s1 = 0;
    for (;;) {
        h1 = shared::load(mInputRing->mZeroHostTime);
        s1 = shared::load(mInputRing->mZeroSampleTime);
        const uint64_t h2 = shared::load(mInputRing->mZeroHostTime);
        const uint64_t s2 = shared::load(mInputRing->mZeroSampleTime);
        if (h1 == h2 && s1 == s2) {
            break;
        }
    }
    sampleTime = static_cast<double>(s1);
    hostTime = h1;
    return true;
}

uint64_t QzASZeroTimeStamp::planNextZeroTime(uint64_t now)
{
    double slope = 0;
    double intercept = 0;
    double correlation = 0;
    mRegression.getLRParameters(slope, intercept, correlation);
    mHostTicksPerFrame = slope;
    mHostTicksPerBuffer = static_cast<uint64_t>(truncated(slope * kPeriod));
    nzhtEval = static_cast<uint64_t>(
        truncated(intercept + slope * static_cast<double>((mWrapAroundCounter + 1) * kPeriod + mInitialFramePos)));
    nzhtCumul += mHostTicksPerBuffer;
    uint64_t next = nzhtCumul;

    if (mRegression.isStable()) {
        mDifference = static_cast<int64_t>(nzhtCumul - nzhtEval);
        if (!mHaveDifference) {
            mPreviousDifference = mDifference;
            mHaveDifference = true;
        }
        mAccumulatedDrift += mDifference - mPreviousDifference;
        mPreviousDifference = mDifference;
    } else {
        platform::syslog(kWarning,
                         "%lld QzASZeroTimeStamp::threadRun stabilizing (%.1f) Measured SR %.2f Hz Measured HTPF  %.2f "
                         "Cycle %llu\n",
                         static_cast<long long>(now / kTicksPerMs), std::log10(1 - correlation),
                         slope != 0 ? 1e9 / slope : 0.0, slope, static_cast<unsigned long long>(mWrapAroundCounter));
    }
    const uint32_t request = mCorrectionRequest.exchange(0);
    if (request != 0) {
        const double factor = request == 1 ? 0.0002 : -0.0004;
        const int64_t correction = truncated(static_cast<double>(mHostTicksPerBuffer) * factor);
        next += static_cast<uint64_t>(correction);
        mAccumulatedDrift -= correction;
    }
    return next;
}

void QzASZeroTimeStamp::publishZeroTime(uint64_t next)
{
    std::lock_guard lock(mMutex);
    mWrapAroundCounter += 1;
    mCurZeroSampleTime = static_cast<double>(mWrapAroundCounter * kPeriod);
    mCurZeroHostTime = next;
}

void* QzASZeroTimeStamp::threadRun()
{
    warning("ENTER QzASZeroTimeStamp::threadRun");
    platform::syslog(kWarning,
                     "@%lld QzASZeroTimeStamp::threadRun Initial values mCurZeroSampleTime %.0f mWrapAroundCounter "
                     "%llu mCurZeroHostTime %llu\n",
                     nowMs(), mCurZeroSampleTime, static_cast<unsigned long long>(mWrapAroundCounter),
                     static_cast<unsigned long long>(mCurZeroHostTime));
    mSemaphore.signal();
    while (!stopRequested()) {
        const uint64_t now = hc::now();
        const uint64_t next = planNextZeroTime(now);
        const int64_t slices = (static_cast<int64_t>(next) - static_cast<int64_t>(now)) / static_cast<int64_t>(kTicksPerMs);
        if (slices > 100'000) {
            platform::syslog(kError, "@%lld QzASZeroTimeStamp::threadRun exit num slices too high, PANIC!!! (%lld) \n",
                             nowMs(), static_cast<long long>(slices));
            break;
        }
        bool stopped = false;
        if (slices >= 0) {
            int64_t slice = 0;
            do {
                hc::sleepFor(kTicksPerMs);
                ++slice;
                if (stopRequested()) {
                    platform::syslog(kWarning, "@%lld QzASZeroTimeStamp::threadRun exit at slice %lld\n", nowMs(),
                                     static_cast<long long>(slice));
                    stopped = true;
                    break;
                }
            } while (hc::now() + kTicksPerMs < next);
        } else {
            platform::syslog(kWarning, "@%lld QzASZeroTimeStamp::threadRun num slices negative!!! (%lld)\n", nowMs(),
                             static_cast<long long>(slices));
            platform::syslog(kWarning,
                             "QzASZeroTimeStamp::threadRun nzhtCumul %llu nzhtEval %llu \u2206 %lld now %llu wac %lld\n",
                             static_cast<unsigned long long>(nzhtCumul), static_cast<unsigned long long>(nzhtEval),
                             static_cast<long long>(nzhtCumul - nzhtEval), static_cast<unsigned long long>(now),
                             static_cast<long long>(mWrapAroundCounter));
        }
        if (stopped || stopRequested()) {
            break;
        }
        hc::sleepUntil(next);
        publishZeroTime(next);
    }
    warning("EXIT QzASZeroTimeStamp::threadRun");
    mSemaphore.signal();
    return nullptr;
}

void lrDataProvider(void* source, uint32_t* count, double* x, double* y)
{
    if (source == nullptr || count == nullptr) {
        return;
    }
    static thread_local QZ_TimeStampsBufferData stamps;
    if (!static_cast<QzASTimeStampSource*>(source)->_HW_GetTimeStamps(stamps)) {
        *count = 0;
        return;
    }
    const uint32_t capacity = QZ_TimeStampsBufferData::kCapacity;
    const uint32_t n = stamps.mCount;
    const uint32_t taken = std::min(n, capacity);
    const uint32_t start = n >= capacity ? n % capacity : 0;
    for (uint32_t i = 0; i < taken; ++i) {
        const uint32_t entry = (start + i) % capacity;
        x[i] = static_cast<double>(shared::load(stamps.mSampleTimes[entry]));
        y[i] = static_cast<double>(shared::load(stamps.mHostTimes[entry]));
    }
    *count = taken;
}
