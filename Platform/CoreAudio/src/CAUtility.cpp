// The audio-server plug-in's utility classes: mutex, dispatch queue, volume curve, host time.
#include <algorithm>
#include <cmath>
#include <utility>

#include "CADispatchQueue.h"
#include "CAHostTimeBase.h"
#include "CAMutex.h"
#include "CAVolumeCurve.h"
#include "platform/DispatchQueues.h"

// --- CAMutex

CAMutex::CAMutex(const char* name) : mName(name == nullptr ? "" : name) {}

CAMutex::~CAMutex() = default;

bool CAMutex::IsOwnedByCurrentThread() const
{
    return mOwned.load(std::memory_order_acquire) &&
           pthread_equal(mOwner.load(std::memory_order_relaxed), pthread_self()) != 0;
}

bool CAMutex::IsFree() const
{
    return !mOwned.load(std::memory_order_acquire);
}

bool CAMutex::Lock()
{
    if (IsOwnedByCurrentThread()) {
        return false;
    }
    mMutex.lock();
    mOwner.store(pthread_self(), std::memory_order_relaxed);
    mOwned.store(true, std::memory_order_release);
    return true;
}

void CAMutex::Unlock()
{
    if (!IsOwnedByCurrentThread()) {
        return;
    }
    mOwned.store(false, std::memory_order_release);
    mMutex.unlock();
}

bool CAMutex::Try(bool& acquired)
{
    acquired = false;
    if (IsOwnedByCurrentThread()) {
        return true;
    }
    if (!mMutex.try_lock()) {
        return false;
    }
    mOwner.store(pthread_self(), std::memory_order_relaxed);
    mOwned.store(true, std::memory_order_release);
    acquired = true;
    return true;
}

CAMutex::Unlocker::Unlocker(CAMutex& mutex) : mMutex(mutex), mNeedsLock(mutex.IsOwnedByCurrentThread())
{
    if (mNeedsLock) {
        mMutex.Unlock();
    }
}

CAMutex::Unlocker::~Unlocker()
{
    if (mNeedsLock) {
        mMutex.Lock();
    }
}

// --- CADispatchQueue

CADispatchQueue::CADispatchQueue(const char* name)
    : mQueue(dispatch_queue_create(name, DISPATCH_QUEUE_SERIAL)), mOwned(true)
{
}

CADispatchQueue::CADispatchQueue(Global, dispatch_queue_t queue) : mQueue(queue), mOwned(false) {}

CADispatchQueue::~CADispatchQueue()
{
    if (mOwned) {
        dispatch_release(mQueue);
    }
}

void CADispatchQueue::Dispatch(bool sync, dispatch_block_t block) const
{
    if (sync) {
        dispatch_sync(mQueue, std::move(block));
    } else {
        dispatch_async(mQueue, std::move(block));
    }
}

void CADispatchQueue::DispatchAfter(uint64_t nanoseconds, dispatch_block_t block) const
{
    dispatch_after(dispatch_time(DISPATCH_TIME_NOW, static_cast<int64_t>(nanoseconds)), mQueue, std::move(block));
}

CADispatchQueue& CADispatchQueue::GetGlobalSerialQueue()
{
    static CADispatchQueue* const global = new CADispatchQueue(Global{}, platform::dispatch::globalSerialQueue());
    return *global;
}

// --- CAVolumeCurve

void CAVolumeCurve::AddRange(SInt32 minRaw, SInt32 maxRaw, Float32 minDB, Float32 maxDB)
{
    if (maxRaw < minRaw || maxDB < minDB) {
        return;
    }
    for (const Range& range : mRanges) {
        if (minRaw < range.maxRaw && maxRaw > range.minRaw) {
            return;
        }
    }
    mRanges.push_back(Range{minRaw, maxRaw, minDB, maxDB});
    std::sort(mRanges.begin(), mRanges.end(), [](const Range& a, const Range& b) { return a.minRaw < b.minRaw; });
}

void CAVolumeCurve::ResetRange()
{
    mRanges.clear();
}

void CAVolumeCurve::SetTransferPower(Float32 power)
{
    if (power > 0.0F && std::isfinite(power)) {
        mTransferPower = power;
    }
}

SInt32 CAVolumeCurve::GetMinimumRaw() const
{
    return mRanges.empty() ? 0 : mRanges.front().minRaw;
}

SInt32 CAVolumeCurve::GetMaximumRaw() const
{
    return mRanges.empty() ? 0 : mRanges.back().maxRaw;
}

Float32 CAVolumeCurve::GetMinimumDB() const
{
    return mRanges.empty() ? 0.0F : mRanges.front().minDB;
}

Float32 CAVolumeCurve::GetMaximumDB() const
{
    return mRanges.empty() ? 0.0F : mRanges.back().maxDB;
}

double CAVolumeCurve::dBOfRaw(double raw) const
{
    if (mRanges.empty()) {
        return 0.0;
    }
    raw = std::clamp(raw, static_cast<double>(GetMinimumRaw()), static_cast<double>(GetMaximumRaw()));
    const Range* range = &mRanges.front();
    for (const Range& candidate : mRanges) {
        if (raw >= candidate.minRaw) {
            range = &candidate;
        }
    }
    if (raw >= range->maxRaw || range->maxRaw == range->minRaw) {
        return raw >= range->maxRaw ? range->maxDB : range->minDB;
    }
    return range->minDB + (raw - range->minRaw) * (range->maxDB - range->minDB) / (range->maxRaw - range->minRaw);
}

double CAVolumeCurve::rawOfDB(double dB) const
{
    if (mRanges.empty()) {
        return 0.0;
    }
    dB = std::clamp(dB, static_cast<double>(GetMinimumDB()), static_cast<double>(GetMaximumDB()));
    const Range* range = &mRanges.front();
    for (const Range& candidate : mRanges) {
        if (dB >= candidate.minDB) {
            range = &candidate;
        }
    }
    if (dB >= range->maxDB || range->maxDB == range->minDB) {
        return dB >= range->maxDB ? range->maxRaw : range->minRaw;
    }
    return range->minRaw + (dB - range->minDB) * (range->maxRaw - range->minRaw) / (range->maxDB - range->minDB);
}

double CAVolumeCurve::rawFraction(double raw) const
{
    const double span = static_cast<double>(GetMaximumRaw()) - GetMinimumRaw();
    if (span <= 0.0) {
        return 0.0;
    }
    const double fraction = std::clamp((raw - GetMinimumRaw()) / span, 0.0, 1.0);
    return std::pow(fraction, static_cast<double>(mTransferPower));
}

double CAVolumeCurve::rawFromFraction(double fraction) const
{
    fraction = std::isfinite(fraction) ? std::clamp(fraction, 0.0, 1.0) : 0.0;
    const double linear = std::pow(fraction, 1.0 / static_cast<double>(mTransferPower));
    return GetMinimumRaw() + linear * (static_cast<double>(GetMaximumRaw()) - GetMinimumRaw());
}

Float32 CAVolumeCurve::ConvertRawToDB(SInt32 raw) const
{
    return static_cast<Float32>(dBOfRaw(raw));
}

SInt32 CAVolumeCurve::ConvertDBToRaw(Float32 dB) const
{
    return static_cast<SInt32>(std::lround(rawOfDB(std::isfinite(dB) ? dB : GetMinimumDB())));
}

Float32 CAVolumeCurve::ConvertRawToScalar(SInt32 raw) const
{
    return static_cast<Float32>(rawFraction(raw));
}

SInt32 CAVolumeCurve::ConvertScalarToRaw(Float32 scalar) const
{
    return static_cast<SInt32>(std::lround(rawFromFraction(scalar)));
}

// Scalar and decibels convert through the continuous raw value, so that a round trip is exact.
Float32 CAVolumeCurve::ConvertScalarToDB(Float32 scalar) const
{
    return static_cast<Float32>(dBOfRaw(rawFromFraction(scalar)));
}

Float32 CAVolumeCurve::ConvertDBToScalar(Float32 dB) const
{
    return static_cast<Float32>(rawFraction(rawOfDB(std::isfinite(dB) ? dB : GetMinimumDB())));
}

// --- CAHostTimeBase

uint64_t CAHostTimeBase::GetTheCurrentTime()
{
    return platform::host_clock::now();
}
