// Plays a test tone or a WAV file through a device and records the device's input at the same
// time (an IO client of IOEngine), then compares the recording with what was played.
//
// The tone is 997 Hz (a prime: at 44.1, 48 and 96 kHz its samples repeat only after a second),
// each channel at its own phase, in 24 bits. The comparison aligns the recording to the played
// signal on the device's sample times: the delay is the smallest one under a second at which 32
// recorded frames equal played ones, and every recorded frame is then checked against the frame
// played that long before, cut to the resolution of the device's formats (what the converters
// keep). When frames stop matching, the run is aligned again from there: a round trip that moves
// (the kernel puts the output elsewhere after a late cycle) is counted, not taken for wrong frames.
// Frames that come back as silence are lost, not wrong; those before the first frame that
// came back were written before the device's output ran. A configuration change that keeps the
// formats starts a new time line: playing and recording go on, and each time line is aligned on
// its own; one that changes them ends playing and recording.
//
// Thread safety: readInput and writeMix on the engine's thread (real-time); the rest on the
// controlling thread, report and recording once the engine stopped.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "IOEngine.h"
#include "Wav.h"

namespace audiod {

struct PlayReport
{
    IOFormat format;
    IOEngine::Counters counters;
    std::string source;           // what was played
    uint64_t framesPlayed = 0;    // frames of the signal written
    uint64_t framesRecorded = 0;
    bool interrupted = false;     // a configuration change ended playing and recording
    uint32_t runs = 1;            // time lines: 1 plus one per configuration change

    enum class Comparison
    {
        bitExact,         // every frame that came back equals what was played
        lostFrames,       // equal where it came back; some frames came back as silence
        differs,          // frames came back that were not played
        notAligned,       // the recording has a signal that aligns with nothing played
        notCompared,      // nothing came back: the model does not loop its output back
    };
    Comparison comparison = Comparison::notCompared;
    uint32_t comparedChannels = 0;
    uint32_t comparedBits = 0;
    uint64_t framesCompared = 0;
    uint64_t framesEqual = 0;
    uint64_t framesLostAtStart = 0; // written before the device's output ran
    uint64_t framesLost = 0;        // silence where played frames were due later on
    uint64_t framesWrong = 0;
    uint64_t firstWrong = 0;        // recorded frame index of the first wrong frame
    int64_t delay = -1;             // round trip in frames (the first time line's); -1 when not measured
    uint64_t delayChanges = 0;      // times the round trip moved during the run (frames realigned)
    int64_t lastDelay = -1;         // the round trip after the last move

    // The bound a round trip keeps: both latencies and safety offsets and one buffer.
    uint64_t delayBound() const;
    bool equal() const { return comparison == Comparison::bitExact; }
    // The report as lines of text.
    std::string text() const;
};

class PlayRecord : public IOClient
{
public:
    static constexpr double kToneHz = 997.0;

    // Plays `seconds` of the tone, or of `file` when given (its channels on the device's first
    // ones, silence after its end; it must outlive this), and records as long and a tail for the
    // round trip.
    PlayRecord(double seconds, const wav::Audio* file);

    void prepare(const IOFormat& format, uint32_t run) override;
    void readInput(Float64 inputTime, uint32_t frames, const int32_t* samples) override;
    void writeMix(Float64 outputTime, uint32_t frames, int32_t* samples) override;

    // True once everything is recorded (or a configuration change ended it).
    bool done() const { return mDone.load(std::memory_order_acquire); }
    // Seconds of real time the whole run takes.
    double plannedSeconds() const;

    PlayReport report(const IOEngine::Counters& counters) const;
    // What was recorded, in the input's resolution (16, 24 or 32 bits).
    wav::Audio recording() const;

    // The sample the signal holds at `frame` on `channel` (0 beyond its end).
    int32_t played(uint64_t frame, uint32_t channel) const;

private:
    struct CycleRecord
    {
        Float64 time; // on the time line of its run, moved by the run's spacing
        uint64_t index;
        uint32_t run;
    };
    // Time lines apart by far more than any delay, so that a time of one run finds nothing
    // played in another.
    static constexpr Float64 kRunSpacing = 1e12;
    // The played frame index at output sample time `time`; -1 where nothing was written.
    int64_t playedAt(Float64 time) const;

    const double mSeconds;
    const wav::Audio* const mFile;
    IOFormat mFormat;
    uint64_t mPlayFrames = 0;
    uint64_t mRecordFrames = 0;

    // Sized in prepare; written by the engine's thread only.
    std::vector<int32_t> mRecorded;
    std::vector<CycleRecord> mInputCycles;
    std::vector<CycleRecord> mOutputCycles;
    size_t mInputCycleCount = 0;
    size_t mOutputCycleCount = 0;
    uint64_t mRecordedFrames = 0;
    uint64_t mWrittenFrames = 0;
    bool mInterrupted = false;
    uint32_t mRun = 0;
    std::atomic<bool> mDone{false};
};

} // namespace audiod
