#include "TimeStampsBuffer.h"

#include <algorithm>
#include <cstring>

#include "VKIOTrace.h"
#include "platform/Log.h"
#include "platform/RealTime.h"

uint64_t interpolateHostTime(uint64_t sample0, uint64_t host0, uint64_t sampleSpan, uint64_t hostSpan,
                             uint64_t sampleTime)
{
    if (sampleSpan == 0) {
        return 0;
    }
    const auto numerator = static_cast<int64_t>((sampleTime - sample0) * hostSpan);
    const auto divisor = static_cast<int64_t>(sampleSpan);
    // INT64_MIN / -1 does not fit; negate in unsigned arithmetic instead.
    const int64_t offset =
        divisor == -1 ? static_cast<int64_t>(0 - static_cast<uint64_t>(numerator)) : numerator / divisor;
    return static_cast<uint64_t>(offset) + host0;
}

void AudioTSData::init()
{
    shared::store(mSample0, 0);
    shared::store(mSample1, 0);
    shared::store(mHost0, 0);
    shared::store(mHost1, 0);
    shared::store(mHostSpan, 0);
    shared::store(mSampleSpan, 0);
}

void AudioTSData::validate()
{
    shared::store(mHostSpan, shared::load(mHost1) - shared::load(mHost0));
    shared::store(mSampleSpan, shared::load(mSample1) - shared::load(mSample0));
}

void AudioTSData::getTS(uint64_t sampleTime, uint64_t& hostTime) const
{
    hostTime = interpolateHostTime(shared::load(mSample0), shared::load(mHost0), shared::load(mSampleSpan),
                                   shared::load(mHostSpan), sampleTime);
}

void TimeStampsBuffer::Init()
{
    VKIOTrace trace("TimeStampsBuffer::Init", this);
    // The pair arrays and the bookkeeping words; the reserved lock bytes stay as they are.
    std::memset(static_cast<void*>(this), 0, offsetof(TimeStampsBuffer, mLock));
    std::memset(static_cast<void*>(&mRunningSamples), 0, sizeof mRunningSamples + sizeof mCopiedCount);
    std::memset(static_cast<void*>(&mFirstHostTime), 0, sizeof mFirstHostTime + sizeof mFirstSampleTime);
}

uint32_t TimeStampsBuffer::AddTimeStamp(uint64_t hostTime, uint64_t samples, bool accumulate,
                                        PairWriter* writer)
{
    const bool first = shared::load(mFirstHostTime) == 0;
    // Real-time code (the kernel's input decode) prints nothing.
    if (samples == 0 && first && !platform::realtime::marked()) {
        platform::printOut("AddTimeStamp %llu %llu \n", static_cast<unsigned long long>(hostTime),
                           static_cast<unsigned long long>(samples));
    }
    if (first) {
        shared::store(mFirstHostTime, hostTime);
        shared::store(mFirstSampleTime, samples);
    }
    const uint64_t running = accumulate ? samples + shared::load(mRunningSamples) : samples;
    shared::store(mRunningSamples, running);
    if (writer != nullptr) {
        writer->store(*this, hostTime, running);
    }
    return shared::load(mCount);
}

void TimeStampsBuffer::storePair(uint64_t hostTime, uint64_t sampleTime)
{
    const uint32_t count = shared::load(mCount);
    const uint32_t index = count % kCapacity;
    shared::publish(); // the previous pair's count before this pair's slot
    shared::store(mSampleTimes[index], sampleTime);
    shared::store(mHostTimes[index], hostTime);
    shared::publish();
    shared::store(mCount, count + 1);
}

uint32_t TimeStampsBuffer::GetLastTimeStamp(uint64_t& hostTime, uint64_t& sampleTime) const
{
    const uint32_t count = shared::load(mCount);
    shared::consume();
    const uint32_t newest = count == 0 ? 0 : count - 1;
    hostTime = shared::load(mHostTimes[newest % kCapacity]);
    sampleTime = shared::load(mSampleTimes[newest % kCapacity]);
    return newest / kCapacity;
}

namespace {

// The stored pairs as one ordered view, oldest first, as a reader sees them at one `stored`
// count.
//
// The writer fills slot `stored` mod 1000 next, then the ones after it; once the ring has
// wrapped those are the oldest pairs, and a reader using one of them could see a new sample
// position beside an old host time. The view leaves out the `guard` slots the writer may reach
// while the reader looks; GetTimeStamp re-reads mCount afterwards and widens the guard when
// the writer moved.
struct PairView
{
    const TimeStampsBuffer& buffer;
    uint32_t base;      // ring index of the oldest pair in the view
    uint32_t count;     // pairs in the view
    bool fromFirstPair; // the view starts at the first pair stored since Init

    PairView(const TimeStampsBuffer& b, uint32_t stored, uint32_t guard) : buffer(b)
    {
        constexpr uint32_t capacity = TimeStampsBuffer::kCapacity;
        count = std::min(stored, capacity - guard);
        base = (stored - count) % capacity;
        fromFirstPair = count == stored;
    }
    uint32_t index(uint32_t m) const { return (base + m) % TimeStampsBuffer::kCapacity; }
    uint64_t sample(uint32_t m) const { return shared::load(buffer.mSampleTimes[index(m)]); }
    uint64_t host(uint32_t m) const { return shared::load(buffer.mHostTimes[index(m)]); }
};

uint64_t lookUp(const PairView& view, uint64_t sampleTime)
{
    if (view.count < 2) {
        return 0;
    }
    uint32_t q = 0;
    while (q < view.count && view.sample(q) <= sampleTime) {
        ++q;
    }
    uint32_t p;
    if (q == view.count) {
        // At or beyond the newest pair: extrapolate from the last two.
        q = view.count - 1;
        p = q - 1;
    } else if (q > 0) {
        p = q - 1;
    } else if (!view.fromFirstPair) {
        // Older than every pair the ring still holds: back along the line from the newest pair
        // through the oldest.
        p = view.count - 1;
    } else {
        // Older than the first pair (its store was dropped): back along the first two pairs.
        p = 0;
        q = 1;
    }
    return interpolateHostTime(view.sample(p), view.host(p), view.sample(q) - view.sample(p),
                               view.host(q) - view.host(p), sampleTime);
}

} // namespace

uint64_t TimeStampsBuffer::GetTimeStamp(uint64_t sampleTime) const
{
    // A writer that stores pairs while we read makes us read again, keeping clear of as many
    // more slots as it stored meanwhile (twice over). The kernel stores about one pair per
    // millisecond, so a second try is already rare; a reader outrun every time gets no answer
    // rather than a torn one.
    constexpr int kAttempts = 8;
    uint32_t guard = 1;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const uint32_t stored = shared::load(mCount);
        shared::consume();
        const uint64_t result = lookUp(PairView(*this, stored, guard), sampleTime);
        shared::consume();
        const uint32_t moved = shared::load(mCount) - stored;
        if (moved == 0) {
            return result;
        }
        guard = std::min(kCapacity / 2, guard + 2 * std::min(moved, kCapacity));
    }
    return 0;
}

void TimeStampsBuffer::CopyData(QZ_TimeStampsBufferData&) const {}
