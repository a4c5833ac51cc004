// The IO thread's time stamps: turns the kernel's input positions and their host times into the
// current, input and output times of each cycle, smoothing the period between cycles with a
// 15-tap filter, and works out how long the IO thread sleeps until the next buffer is due.
//
// Threads: the device's IO thread writes it; onDeviceGetCurrentTime reads the current time from
// host threads without a lock (a torn read is one cycle off at worst).
#pragma once

#include <cstdint>

#include "CoreAudio/AudioHardwarePlugIn.h"

class Filter
{
public:
    void init(int64_t period, uint64_t start);
    // The filtered host time of the buffer measured at `measured`.
    uint64_t get(uint64_t measured);
    int64_t period() const { return m_period; }
    uint64_t lastFiltered() const { return m_lastFiltered; }

private:
    int64_t m_taps[15] = {};
    uint64_t m_lastFiltered = 0;
    int64_t m_period = 0;
};

class TimestampFilter
{
public:
    static constexpr uint32_t kTimeStampFlags =
        kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid | kAudioTimeStampRateScalarValid;

    void init(uint32_t rate, uint32_t bufferSize, uint32_t inputOffsetBase, uint32_t outputOffsetBase);
    void initTiming(uint32_t rate, uint32_t bufferSize);
    void prepare(uint32_t rate, uint32_t bufferSize, uint32_t inputLatency, uint32_t outputLatency);
    // One cycle's buffer, read at `position` with host time `host`, while the kernel's frame
    // position is `framePosition`. Answers the host time now.
    uint64_t updateTimestamps(uint64_t host, uint64_t position, uint64_t framePosition);
    // Nanoseconds the IO thread sleeps with `available` frames waiting.
    uint32_t calcSleepNanos(int32_t available, bool wasBufferSwitch);

    const AudioTimeStamp& currentTime() const { return m_current; }
    const AudioTimeStamp& inputTime() const { return m_input; }
    const AudioTimeStamp& outputTime() const { return m_output; }
    uint64_t lastUpdate() const { return m_lastUpdate; }
    uint64_t ticksPerSample() const { return m_ticksPerSample; }
    uint64_t ticksPerBuffer() const { return m_ticksPerBuffer; }
    uint64_t bufferSize() const { return m_bufferSize; }
    bool started() const { return m_zeroHostTime != 0; }
    // The kernel ring position of input sample time 0.
    uint64_t zeroSamplePosition() const { return m_zeroSamplePosition; }
    const Filter& filter() const { return m_filter; }

private:
    AudioTimeStamp m_current{};
    AudioTimeStamp m_input{};
    AudioTimeStamp m_output{};
    uint64_t m_lastUpdate = 0;
    Filter m_filter;
    double m_ticksPerSecond = 1e9;
    uint64_t m_zeroHostTime = 0;
    uint64_t m_zeroSamplePosition = 0;
    uint64_t m_nextWakeUp = 0;
    uint64_t m_ticksPerBuffer = 0;
    uint64_t m_ticksPerSample = 0;
    uint64_t m_sleepTicks = 0;
    uint64_t m_nanosPerBuffer = 0;
    uint64_t m_sampleRate = 44'100;
    uint64_t m_inputOffset = 0;
    uint64_t m_outputOffset = 0;
    uint64_t m_bufferSize = 0;
    uint64_t m_lastOverloadLog = 0;
    uint64_t m_overloads = 0; // overload lines not logged since the last one that was
};
