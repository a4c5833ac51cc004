#include "TimestampFilter.h"

#include "mach/mach_time.h"
#include "platform/Log.h"

namespace {

// Overload lines come from the IO thread at most this often; the count of the rest goes with the next.
constexpr uint64_t kOverloadLogInterval = 1'000'000'000;

uint64_t lo32(uint64_t v)
{
    return v & 0xFFFFFFFFU;
}

void stamp(AudioTimeStamp& t, double sample, uint64_t host)
{
    t.mSampleTime = sample;
    t.mHostTime = host;
    t.mRateScalar = 1.0;
    t.mFlags = TimestampFilter::kTimeStampFlags;
}

} // namespace

void Filter::init(int64_t period, uint64_t start)
{
    m_period = period;
    m_lastFiltered = start;
    m_taps[0] = period >> 2;
    for (int i = 1; i <= 2; ++i) {
        m_taps[i] = period >> 3;
    }
    for (int i = 3; i <= 6; ++i) {
        m_taps[i] = period >> 4;
    }
    for (int i = 7; i <= 14; ++i) {
        m_taps[i] = period >> 5;
    }
}

uint64_t Filter::get(uint64_t measured)
{
    const int64_t d = static_cast<int64_t>(measured - m_lastFiltered);
    m_lastFiltered += static_cast<uint64_t>(m_period);
    for (int i = 14; i >= 8; --i) {
        m_taps[i] = m_taps[i - 1];
    }
    m_taps[7] = m_taps[6] >> 1;
    for (int i = 6; i >= 4; --i) {
        m_taps[i] = m_taps[i - 1];
    }
    m_taps[3] = m_taps[2] >> 1;
    m_taps[2] = m_taps[1];
    m_taps[1] = m_taps[0] >> 1;
    m_taps[0] = d >> 2;
    int64_t sum = 0;
    for (int64_t tap : m_taps) {
        sum += tap;
    }
    m_period = sum < 0 ? 0 : sum;
    return m_lastFiltered;
}

void TimestampFilter::init(uint32_t rate, uint32_t bufferSize, uint32_t inputOffsetBase, uint32_t outputOffsetBase)
{
    mach_timebase_info_data_t timebase{};
    mach_timebase_info(&timebase);
    m_ticksPerSecond = timebase.numer != 0 ? 1e9 * timebase.denom / timebase.numer : 1e9;
    m_zeroHostTime = 0;
    m_inputOffset = uint64_t{inputOffsetBase} + bufferSize;
    m_outputOffset = uint64_t{outputOffsetBase} + bufferSize;
    initTiming(rate, bufferSize);
    m_nextWakeUp = 0;
}

void TimestampFilter::initTiming(uint32_t rate, uint32_t bufferSize)
{
    m_bufferSize = bufferSize;
    m_sampleRate = rate != 0 ? rate : 44'100;
    m_ticksPerSample = static_cast<uint64_t>(m_ticksPerSecond / static_cast<double>(m_sampleRate));
    m_ticksPerBuffer = static_cast<uint64_t>(m_ticksPerSecond * static_cast<double>(bufferSize) /
                                             static_cast<double>(m_sampleRate));
    m_sleepTicks = static_cast<uint64_t>(0.8 * static_cast<double>(m_ticksPerBuffer));
    m_nanosPerBuffer = static_cast<uint64_t>(static_cast<double>(m_ticksPerBuffer) * 1e9 / m_ticksPerSecond);
}

void TimestampFilter::prepare(uint32_t rate, uint32_t bufferSize, uint32_t inputLatency, uint32_t outputLatency)
{
    const uint64_t effectiveRate = rate != 0 ? rate : 44'100;
    // Latency changes alone are not taken while the time line runs (its times would jump), but
    // the first cycle takes them: the offsets of construction are no device's latencies.
    if (effectiveRate == m_sampleRate && bufferSize == m_bufferSize && started()) {
        return;
    }
    initTiming(rate, bufferSize);
    const uint64_t a = uint64_t{inputLatency} + bufferSize;
    const uint64_t b = uint64_t{outputLatency} + bufferSize;
    const double da = static_cast<double>(static_cast<int64_t>(a - m_inputOffset));
    const double db = static_cast<double>(static_cast<int64_t>(b - m_outputOffset));
    m_input.mSampleTime -= da;
    m_output.mSampleTime += db + da;
    m_inputOffset = a;
    m_outputOffset = b;
    m_filter.init(static_cast<int64_t>(m_ticksPerBuffer), m_filter.lastFiltered());
}

uint64_t TimestampFilter::updateTimestamps(uint64_t host, uint64_t position, uint64_t framePosition)
{
    const uint64_t a = lo32(m_inputOffset);
    const uint64_t b = lo32(m_outputOffset);
    const uint64_t t = m_ticksPerSample;
    if (m_zeroHostTime == 0) {
        m_zeroHostTime = host != 0 ? host : 1;
        m_zeroSamplePosition = position;
        stamp(m_current, static_cast<double>(a), m_zeroHostTime + a * t);
        stamp(m_input, 0.0, m_zeroHostTime);
        stamp(m_output, static_cast<double>(a + b), m_current.mHostTime + b * t);
        m_filter.init(static_cast<int64_t>(m_ticksPerBuffer), m_zeroHostTime);
    } else {
        const uint64_t f = m_filter.get(host);
        m_input.mHostTime = f;
        m_input.mSampleTime += static_cast<double>(m_bufferSize);
        m_output.mHostTime = f + (a + b) * t;
        m_output.mSampleTime += static_cast<double>(m_bufferSize);
        m_current.mHostTime = f + (framePosition - position) * t;
        m_current.mSampleTime = static_cast<double>(framePosition - m_zeroSamplePosition);
    }
    m_lastUpdate = AudioGetCurrentHostTime();
    m_nextWakeUp = m_lastUpdate + m_sleepTicks;
    return m_lastUpdate;
}

uint32_t TimestampFilter::calcSleepNanos(int32_t available, bool wasBufferSwitch)
{
    if (m_nextWakeUp == 0) {
        return 500'000;
    }
    const uint64_t now = AudioGetCurrentHostTime();
    auto overload = [&](const char* line) -> uint32_t {
        if (now - m_lastOverloadLog >= kOverloadLogInterval) {
            platform::syslog(platform::log::kPriorityAlert, "%s", line);
            if (m_overloads != 0) {
                platform::syslog(platform::log::kPriorityAlert, "HAL: %llu overloads not logged\n",
                                 static_cast<unsigned long long>(m_overloads));
            }
            m_lastOverloadLog = now;
            m_overloads = 0;
        } else {
            ++m_overloads;
        }
        return 100'000;
    };
    auto nanos = [&](uint64_t ticks) {
        const double ns = static_cast<double>(ticks) * 1e9 / m_ticksPerSecond;
        return ns >= 4e9 ? UINT32_MAX : static_cast<uint32_t>(ns);
    };
    if (available < 0 || static_cast<uint64_t>(available) < m_bufferSize) {
        const uint64_t missing = m_bufferSize - static_cast<uint64_t>(available < 0 ? 0 : available);
        uint64_t due = now + missing * m_ticksPerSample;
        if (due < m_nextWakeUp) {
            due = m_nextWakeUp;
        }
        if (now >= due) {
            return overload("TimestampFilter::calcSleepNanos -> detected application caused overload (2)\n");
        }
        return nanos(due - now);
    }
    if (wasBufferSwitch) {
        if (now >= m_nextWakeUp) {
            return overload("TimestampFilter::calcSleepNanos -> detected application caused overload (1)\n");
        }
        return nanos(m_nextWakeUp - now);
    }
    platform::syslog(platform::log::kPriorityWarning,
                     "ALERT TimestampFilter::calcSleepNanos nAvailableFrames(%d) >= mBufferSize(%d) while !bWasBufferswitch\n",
                     available, static_cast<int>(m_bufferSize));
    return 0;
}
