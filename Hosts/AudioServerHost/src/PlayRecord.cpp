#include "PlayRecord.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <numbers>

namespace audiod {
namespace {

constexpr uint32_t kAlignFrames = 32;
constexpr uint32_t kAlignStarts = 8;
constexpr double kToneAmplitude = 0.5 * 8'388'607.0; // half of 24-bit full scale

uint32_t maskOf(uint32_t bits)
{
    return bits == 0 || bits >= 32 ? 0xFFFFFFFFU : ~((1U << (32 - bits)) - 1);
}

std::string line(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string line(const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return std::string(text) + "\n";
}

} // namespace

PlayRecord::PlayRecord(double seconds, const wav::Audio* file) : mSeconds(std::max(seconds, 0.0)), mFile(file) {}

void PlayRecord::prepare(const IOFormat& format, uint32_t run)
{
    if (run != 0) {
        // A new time line: the same formats go on, others end playing and recording there.
        if (format.rate != mFormat.rate || format.inputChannels != mFormat.inputChannels ||
            format.outputChannels != mFormat.outputChannels || format.bufferFrames != mFormat.bufferFrames ||
            format.inputBits != mFormat.inputBits || format.outputBits != mFormat.outputBits) {
            mInterrupted = true;
            mDone.store(true, std::memory_order_release);
        }
        mRun = run;
        return;
    }
    mFormat = format;
    mPlayFrames = static_cast<uint64_t>(std::llround(mSeconds * format.rate));
    // The tail brings back what was played last: both latencies, safety offsets, a few buffers and
    // a tenth of a second.
    const uint64_t tail = uint64_t{format.inputLatency} + format.outputLatency + format.inputSafetyOffset +
                          format.outputSafetyOffset + 4ULL * format.bufferFrames +
                          static_cast<uint64_t>(format.rate / 10);
    mRecordFrames = mPlayFrames + tail;
    const size_t cycles = static_cast<size_t>(mRecordFrames / std::max(format.bufferFrames, 1U) + 4);
    mRecorded.assign(static_cast<size_t>(mRecordFrames + format.bufferFrames) * format.inputChannels, 0);
    mInputCycles.assign(cycles, CycleRecord{});
    mOutputCycles.assign(cycles, CycleRecord{});
    mInputCycleCount = mOutputCycleCount = 0;
    mRecordedFrames = mWrittenFrames = 0;
    mInterrupted = false;
    mRun = 0;
    mDone.store(format.inputChannels == 0 && format.outputChannels == 0, std::memory_order_release);
}

double PlayRecord::plannedSeconds() const
{
    return mFormat.rate > 0 ? static_cast<double>(mRecordFrames) / mFormat.rate : mSeconds;
}

int32_t PlayRecord::played(uint64_t frame, uint32_t channel) const
{
    if (frame >= mPlayFrames) {
        return 0;
    }
    if (mFile != nullptr) {
        if (channel >= mFile->channels || frame >= mFile->frames()) {
            return 0;
        }
        return mFile->samples[static_cast<size_t>(frame) * mFile->channels + channel];
    }
    const double phase = 2.0 * std::numbers::pi * kToneHz * static_cast<double>(frame) / mFormat.rate + 0.7 * channel;
    return static_cast<int32_t>(std::lround(kToneAmplitude * std::sin(phase))) * 256;
}

void PlayRecord::readInput(Float64 inputTime, uint32_t frames, const int32_t* samples)
{
    // real-time: no lock, no allocation, no wait
    if (mInterrupted || mDone.load(std::memory_order_relaxed)) {
        return;
    }
    if (mInputCycleCount < mInputCycles.size()) {
        mInputCycles[mInputCycleCount++] = CycleRecord{inputTime + mRun * kRunSpacing, mRecordedFrames, mRun};
        const size_t count = size_t{frames} * mFormat.inputChannels;
        std::copy(samples, samples + count, mRecorded.begin() + static_cast<ptrdiff_t>(mRecordedFrames * mFormat.inputChannels));
        mRecordedFrames += frames;
    }
    if (mRecordedFrames >= mRecordFrames || mInputCycleCount == mInputCycles.size()) {
        mDone.store(true, std::memory_order_release);
    }
}

void PlayRecord::writeMix(Float64 outputTime, uint32_t frames, int32_t* samples)
{
    // real-time: no lock, no allocation, no wait
    const uint32_t channels = mFormat.outputChannels;
    if (mInterrupted || mOutputCycleCount == mOutputCycles.size()) {
        std::fill(samples, samples + size_t{frames} * channels, 0);
        return;
    }
    mOutputCycles[mOutputCycleCount++] = CycleRecord{outputTime + mRun * kRunSpacing, mWrittenFrames, mRun};
    for (uint32_t f = 0; f < frames; ++f) {
        for (uint32_t c = 0; c < channels; ++c) {
            samples[size_t{f} * channels + c] = played(mWrittenFrames + f, c);
        }
    }
    mWrittenFrames += frames;
    if (mFormat.inputChannels == 0 && mWrittenFrames >= mPlayFrames) {
        mDone.store(true, std::memory_order_release);
    }
}

int64_t PlayRecord::playedAt(Float64 time) const
{
    const auto begin = mOutputCycles.begin();
    const auto end = begin + static_cast<ptrdiff_t>(mOutputCycleCount);
    auto after = std::upper_bound(begin, end, time, [](Float64 t, const CycleRecord& c) { return t < c.time; });
    if (after == begin) {
        return -1;
    }
    const CycleRecord& cycle = *(after - 1);
    const Float64 offset = time - cycle.time;
    if (offset >= mFormat.bufferFrames) {
        return -1;
    }
    return static_cast<int64_t>(cycle.index + static_cast<uint64_t>(offset));
}

wav::Audio PlayRecord::recording() const
{
    wav::Audio audio;
    audio.rate = static_cast<uint32_t>(std::lround(mFormat.rate));
    audio.channels = static_cast<uint16_t>(mFormat.inputChannels);
    audio.bits = static_cast<uint16_t>(mFormat.inputBits <= 16 ? 16 : mFormat.inputBits <= 24 ? 24 : 32);
    audio.samples.assign(mRecorded.begin(),
                         mRecorded.begin() + static_cast<ptrdiff_t>(mRecordedFrames * mFormat.inputChannels));
    return audio;
}

PlayReport PlayRecord::report(const IOEngine::Counters& counters) const
{
    PlayReport r;
    r.format = mFormat;
    r.counters = counters;
    r.source = mFile != nullptr ? "the WAV file" : "a 997 Hz tone";
    r.framesPlayed = std::min(mWrittenFrames, mPlayFrames);
    r.framesRecorded = mRecordedFrames;
    r.interrupted = mInterrupted;
    r.runs = mRun + 1;
    const uint32_t inCh = mFormat.inputChannels;
    r.comparedChannels = std::min(inCh, mFormat.outputChannels);
    r.comparedBits = std::min(mFormat.inputBits, mFormat.outputBits);
    if (r.comparedChannels == 0) {
        return r;
    }
    const uint32_t mask = maskOf(r.comparedBits);
    // Recorded frames in order, with their input sample times.
    struct Frame
    {
        Float64 time;
        const int32_t* samples;
        uint32_t run;
    };
    std::vector<Frame> recorded;
    recorded.reserve(static_cast<size_t>(mRecordedFrames));
    for (size_t k = 0; k < mInputCycleCount; ++k) {
        const CycleRecord& cycle = mInputCycles[k];
        const uint64_t next = k + 1 < mInputCycleCount ? mInputCycles[k + 1].index : mRecordedFrames;
        for (uint64_t i = cycle.index; i < next; ++i) {
            recorded.push_back(
                {cycle.time + static_cast<Float64>(i - cycle.index), mRecorded.data() + i * inCh, cycle.run});
        }
    }
    const auto silent = [&](const Frame& frame) {
        for (uint32_t c = 0; c < r.comparedChannels; ++c) {
            if (frame.samples[c] != 0) {
                return false;
            }
        }
        return true;
    };
    const auto matches = [&](const Frame& frame, int64_t index) {
        for (uint32_t c = 0; c < r.comparedChannels; ++c) {
            const uint32_t expected = static_cast<uint32_t>(played(static_cast<uint64_t>(index), c)) & mask;
            if (static_cast<uint32_t>(frame.samples[c]) != expected) {
                return false;
            }
        }
        return true;
    };
    bool anySignal = false;
    bool anyAligned = false;
    bool anyUnaligned = false;
    // Each time line on its own: [begin, end) of the recorded frames.
    for (size_t begin = 0; begin < recorded.size();) {
        size_t end = begin;
        while (end < recorded.size() && recorded[end].run == recorded[begin].run) {
            ++end;
        }
        size_t first = begin;
        while (first < end && silent(recorded[first])) {
            ++first;
        }
        if (first == end) {
            begin = end;
            continue;
        }
        anySignal = true;
        // The delay: the smallest under a second at which a run of recorded frames from `at` was
        // played.
        const auto maxDelay = static_cast<int64_t>(mFormat.rate);
        const auto alignAt = [&](size_t at) -> int64_t {
            if (at + kAlignFrames > end) {
                return -1;
            }
            for (int64_t d = 0; d < maxDelay; ++d) {
                bool all = true;
                for (uint32_t k = 0; k < kAlignFrames && all; ++k) {
                    const Frame& frame = recorded[at + k];
                    const int64_t index = playedAt(frame.time - static_cast<Float64>(d));
                    all = index >= 0 && static_cast<uint64_t>(index) < mPlayFrames && matches(frame, index);
                }
                if (all) {
                    return d;
                }
            }
            return -1;
        };
        int64_t delay = -1;
        bool tried = false; // a time line with too little signal to align is not compared
        for (uint32_t attempt = 0; attempt < kAlignStarts && delay < 0; ++attempt) {
            const size_t at = first + size_t{attempt} * mFormat.bufferFrames;
            tried = tried || at + kAlignFrames <= end;
            delay = alignAt(at);
        }
        if (delay < 0) {
            anyUnaligned = anyUnaligned || tried;
            begin = end;
            continue;
        }
        anyAligned = true;
        if (r.delay < 0) {
            r.delay = delay;
        }
        bool cameBack = false;
        size_t realignFrom = begin; // no new alignment is looked for before this frame
        for (size_t i = begin; i < end; ++i) {
            const Frame& frame = recorded[i];
            int64_t index = playedAt(frame.time - static_cast<Float64>(delay));
            if (index < 0) {
                continue; // nothing was written for that time
            }
            if (!matches(frame, index) && !silent(frame) && i >= realignFrom) {
                // The round trip moved (the kernel put the output elsewhere after a late cycle):
                // the frames go on at another delay.
                const int64_t moved = alignAt(i);
                if (moved >= 0 && moved != delay) {
                    delay = moved;
                    ++r.delayChanges;
                    r.lastDelay = delay;
                    index = playedAt(frame.time - static_cast<Float64>(delay));
                } else {
                    realignFrom = i + kAlignFrames;
                }
            }
            ++r.framesCompared;
            if (index >= 0 && matches(frame, index)) {
                ++r.framesEqual;
                bool signal = false;
                for (uint32_t c = 0; c < r.comparedChannels && !signal; ++c) {
                    signal = played(static_cast<uint64_t>(index), c) != 0;
                }
                cameBack = cameBack || signal;
            } else if (silent(frame)) {
                ++(cameBack ? r.framesLost : r.framesLostAtStart);
            } else {
                if (r.framesWrong == 0) {
                    r.firstWrong = i;
                }
                ++r.framesWrong;
            }
        }
        begin = end;
    }
    if (anyUnaligned) {
        r.comparison = PlayReport::Comparison::notAligned;
        return r;
    }
    if (!anySignal || !anyAligned) {
        r.comparison = PlayReport::Comparison::notCompared;
        return r;
    }
    r.comparison = r.framesWrong != 0 ? PlayReport::Comparison::differs
                   : r.framesLost != 0 ? PlayReport::Comparison::lostFrames
                                       : PlayReport::Comparison::bitExact;
    return r;
}

uint64_t PlayReport::delayBound() const
{
    return uint64_t{format.inputLatency} + format.outputLatency + format.inputSafetyOffset +
           format.outputSafetyOffset + format.bufferFrames;
}

std::string PlayReport::text() const
{
    std::string out;
    const double rate = format.rate > 0 ? format.rate : 1.0;
    out += line("  format:      %.0f Hz, IO buffer %u frames (%s)", format.rate, format.bufferFrames,
                format.bufferFromDevice ? "the device's" : "the audio server's default: the device names none");
    out += line("  channels:    %u out at %u bits, %u in at %u bits", format.outputChannels, format.outputBits,
                format.inputChannels, format.inputBits);
    out += line("  played:      %llu frames (%.2f s) of %s", static_cast<unsigned long long>(framesPlayed),
                static_cast<double>(framesPlayed) / rate, source.c_str());
    out += line("  recorded:    %llu frames (%.2f s)", static_cast<unsigned long long>(framesRecorded),
                static_cast<double>(framesRecorded) / rate);
    out += line("  IO cycles:   %llu, overloads %llu (late by more than a buffer; latest %.2f ms late), "
                "operations refused %llu",
                static_cast<unsigned long long>(counters.cycles), static_cast<unsigned long long>(counters.overloads),
                static_cast<double>(counters.maxLateNanoseconds) / 1e6,
                static_cast<unsigned long long>(counters.ioErrors));
    if (runs > 1) {
        out += line("  restarts:    %u configuration changes restarted the device's IO (each time line aligned on "
                    "its own)",
                    runs - 1);
    }
    if (interrupted) {
        out += line("  interrupted: a configuration change changed the device's formats; playing and recording "
                    "ended there");
    }
    const auto counts = [&] {
        return line("               %llu frames compared on %u channels at %u bits: %llu equal, %llu lost at "
                    "the start (before the output ran), %llu lost later, %llu wrong",
                    static_cast<unsigned long long>(framesCompared), comparedChannels, comparedBits,
                    static_cast<unsigned long long>(framesEqual),
                    static_cast<unsigned long long>(framesLostAtStart), static_cast<unsigned long long>(framesLost),
                    static_cast<unsigned long long>(framesWrong));
    };
    switch (comparison) {
    case Comparison::bitExact:
        out += line("  recording:   bit-exact: what came back equals what was played");
        out += counts();
        break;
    case Comparison::lostFrames:
        out += line("  recording:   equal where it came back, but %llu frames came back as silence",
                    static_cast<unsigned long long>(framesLost));
        out += counts();
        break;
    case Comparison::differs:
        out += line("  recording:   DIFFERS from what was played (first wrong frame: %llu of the recording)",
                    static_cast<unsigned long long>(firstWrong));
        out += counts();
        break;
    case Comparison::notAligned:
        out += line("  recording:   DIFFERS: a signal came back that aligns with nothing played within a second");
        break;
    case Comparison::notCompared:
        out += line("  recording:   not compared: nothing came back (the model does not loop its output back)");
        break;
    }
    if (delay >= 0) {
        out += line("  round trip:  %lld frames (%.2f ms) measured; the device reports latency %u in + %u out, "
                    "safety offset %u in + %u out (%llu frames with one buffer)",
                    static_cast<long long>(delay), static_cast<double>(delay) * 1000.0 / rate, format.inputLatency,
                    format.outputLatency, format.inputSafetyOffset, format.outputSafetyOffset,
                    static_cast<unsigned long long>(delayBound()));
        if (delayChanges != 0) {
            out += line("               it moved %llu times during the run, to %lld frames at last",
                        static_cast<unsigned long long>(delayChanges), static_cast<long long>(lastDelay));
        }
    } else {
        out += line("  round trip:  not measured; the device reports latency %u in + %u out, safety offset %u "
                    "in + %u out",
                    format.inputLatency, format.outputLatency, format.inputSafetyOffset, format.outputSafetyOffset);
    }
    return out;
}

} // namespace audiod
