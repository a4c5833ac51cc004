// A zero-time-stamp clock of its own: one (sample time, host time) pair per period of 16,384
// frames, paced by a straight line fitted through the kernel's recent time stamps and smoothed
// over many fits, with the drift between the accumulated and the fitted period times tracked.
//
// The device's IO path does not use it (its zero time stamps come from the kernel's input ring);
// nothing in the system creates one. A user supplies the time stamps through a data fetcher,
// for instance lrDataProvider over a QzASTimeStampSource.
//
// Threads: the regression thread and the zero-time-stamp thread run the cycles; Init, Start,
// Stop, init, startLRThread and stopLRthread are called by the owner's thread; the getters from
// any thread (each under the object's mutex).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "AudioSM.h"
#include "OSXUserThread.h"
#include "Semaphore.h"
#include "TimeStampsBuffer.h"

// A windowed mean and standard deviation over the last `window` values.
struct QzAverageEngine
{
    static constexpr int32_t kMaxWindow = 1'000;
    static constexpr int32_t kValues = 4'000;

    // Window and count capped at 1,000; every value `value`; an initial 0.0 counts nothing.
    void init(double value, int32_t window);
    void add(double value);
    double getAverage() const;
    double getStdDeviation() const;
    int32_t count() const { return mCount; }

    int32_t mWindow = 0;
    int32_t mCount = 0;
    double mValues[kValues] = {};
    uint64_t mNextIndex = 0;
};

// Fills x (sample times) and y (host times) with at most 1,000 points, oldest first.
using QzLRDataFetcher = void (*)(void* context, uint32_t* count, double* x, double* y);

class QzLinearRegression : public OSXUserThread
{
public:
    static constexpr uint32_t kMaxPoints = 1'000;

    QzLinearRegression();
    ~QzLinearRegression() override;

    void setDataFetcher(void* context, QzLRDataFetcher fetcher);
    void init(double initialSlope, double initialIntercept);
    bool startLRThread();
    void stopLRthread();
    void getLRParameters(double& slope, double& intercept, double& correlation);
    bool isStable();
    // One fit over the points held.
    void update();

    // One cycle of the thread: fetch, fit, judge stability, publish (the thread runs it every
    // 50 ms; tests run it directly).
    void regressionCycle();

    // The fit over the points held (no lock: the thread's and the tests' view).
    void setPoints(const double* x, const double* y, uint32_t count);
    void CalcParams();
    void RemoveOutliers();
    double fittedSlope() const { return mSlope; }
    double fittedIntercept() const { return mIntercept; }
    double fittedCorrelation() const { return mCorrelation; }
    const double* pointsY() const { return mY; }

protected:
    void* threadRun() override;

private:
    std::mutex mLRThreadMutex;
    Semaphore mSemaphore;
    double mInitialSlope = 0;
    double mInitialIntercept = 0;
    bool mRunning = false;
    QzAverageEngine mShortEngine; // slopes
    QzAverageEngine mLongEngine;  // intercepts
    QzLRDataFetcher mFetcher = nullptr;
    void* mFetcherContext = nullptr;
    uint32_t mCount = 0;
    double mSlope = 0;
    double mIntercept = 0;
    double mCorrelation = 0;
    double mPublishedSlope = 0;
    double mPublishedIntercept = 0;
    bool mStable = false;
    double mX[kMaxPoints] = {};
    double mY[kMaxPoints] = {};
    double mDX[kMaxPoints] = {};
    double mDY[kMaxPoints] = {};
    double mSxx = 0;
    double mSyy = 0;
    double mSxy = 0;
};

class QzASZeroTimeStamp : public OSXUserThread
{
public:
    static constexpr uint64_t kPeriod = 16'384;

    QzASZeroTimeStamp();
    ~QzASZeroTimeStamp() override;

    // Rate 0 counts as 44,100. Restarts the regression with the nominal slope.
    bool Init(double sampleRate, AudioSM* inputRing, void* fetcherContext, QzLRDataFetcher fetcher);
    bool Start(uint32_t initialFramePos, uint64_t initialHostTime);
    void Stop();
    void GetZeroTimeStamp(double& sampleTime, uint64_t& hostTime, uint64_t& seed);
    // The input ring's zero time stamp, read until two reads agree.
    bool GetFromKernel(double& sampleTime, uint64_t& hostTime);
    // 1 advances the next period by 0.02 %, any other non-zero value retards it by 0.04 %.
    void requestCorrection(uint32_t request) { mCorrectionRequest = request; }

    // Start's first step without the thread: the time line begins at that position and time.
    void reset(uint32_t initialFramePos, uint64_t initialHostTime);
    // The thread's two halves, for tests: the host time the next zero time stamp is due at, and
    // taking it over once it is due.
    uint64_t planNextZeroTime(uint64_t now);
    void publishZeroTime(uint64_t next);

    QzLinearRegression& regression() { return mRegression; }
    uint64_t hostTicksPerBuffer() const { return mHostTicksPerBuffer; }
    double hostTicksPerFrame() const { return mHostTicksPerFrame; }
    int64_t accumulatedDrift() const { return mAccumulatedDrift; }
    uint64_t wrapAroundCounter() const { return mWrapAroundCounter; }

protected:
    void* threadRun() override;

private:
    uint64_t mHostTicksPerBuffer = 0;
    double mHostTicksPerFrame = 0;
    double mCurZeroSampleTime = 0;
    uint64_t mCurZeroHostTime = 0;
    uint64_t nzhtCumul = 0;
    uint64_t nzhtEval = 0;
    int64_t mDifference = 0;
    int64_t mPreviousDifference = 0;
    bool mHaveDifference = false;
    int64_t mAccumulatedDrift = 0;
    uint64_t mWrapAroundCounter = 0;
    uint64_t mInitialHostTime = 0;
    uint32_t mInitialFramePos = 0;
    uint64_t mTicksPerBuffer = 0;
    double mHostClockRate = 1e9;
    double mNominalTicksPerFrame = 0;
    QzLinearRegression mRegression;
    Semaphore mSemaphore;
    std::mutex mMutex; // the current zero time stamp
    AudioSM* mInputRing = nullptr;
    double mSampleRate = 44'100;
    uint64_t mSeed = 0;
    std::atomic<uint32_t> mCorrectionRequest{0};
};

// Where lrDataProvider takes the kernel's time stamps from (the device: request 41, then the
// copy in its shared block). False when none could be had.
class QzASTimeStampSource
{
public:
    virtual ~QzASTimeStampSource() = default;
    virtual bool _HW_GetTimeStamps(QZ_TimeStampsBufferData& stamps) = 0;
};

// A QzLRDataFetcher over a QzASTimeStampSource* context: the stored pairs oldest first.
void lrDataProvider(void* source, uint32_t* count, double* x, double* y);
