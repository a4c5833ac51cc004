// The audio server's IO for one running device: a real-time thread whose cycles are timed by the
// device's zero time stamps. Each cycle, due once the device's clock has passed the cycle's input
// buffer and the input safety offset, reads the input buffer ('read') and writes the output
// ('rite') through WillDoIOOperation, BeginIOOperation, DoIOOperation and EndIOOperation, with an
// input time one buffer behind the cycle's sample time less the input safety offset and an output
// time one buffer ahead of it plus the output safety offset. A cycle that starts later than a
// buffer after it was due is an overload: counted, and the cycles go on from the one due now.
//
// The host's cycle runs under the real-time mark (no lock, no allocation, no wait); the driver's
// operations inside it are the driver's own and run with the mark lifted. The wait for the next
// cycle and the pause for a configuration change are outside the mark.
//
// A configuration change the host performs pauses the cycles before the device's IO stops and
// resumes them after it started again, with the device's new formats and a new time line.
//
// Thread safety: start, stop, pause and resume from one controlling thread (pause and resume also
// from the host's work queue); the counters from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "CoreAudio/AudioServerPlugIn.h"

namespace audiod {

class AudioServerHost;

// What the engine knows of the device while it runs.
struct IOFormat
{
    Float64 rate = 0;
    uint32_t bufferFrames = 0;
    uint32_t zeroTimeStampPeriod = 0;
    uint32_t inputChannels = 0;
    uint32_t outputChannels = 0;
    uint32_t inputBits = 0;  // the physical formats' resolution
    uint32_t outputBits = 0;
    uint32_t inputLatency = 0;
    uint32_t outputLatency = 0;
    uint32_t inputSafetyOffset = 0;
    uint32_t outputSafetyOffset = 0;
    bool bufferFromDevice = false; // the device named the buffer frame size
};

// The IO client of the engine: the audio the cycles move. The buffers are the device's IO layout:
// interleaved 32-bit integers, one per channel, the sample at the top (the physical format's
// packing is the device's business; its bits are the resolution that comes through).
class IOClient
{
public:
    virtual ~IOClient() = default;
    // Before the first cycle and after each configuration change, on the controlling thread.
    virtual void prepare(const IOFormat& format, uint32_t run) = 0;
    // real-time: the input buffer of a cycle, read at `inputTime`.
    virtual void readInput(Float64 inputTime, uint32_t frames, const int32_t* samples) = 0;
    // real-time: fills the output buffer of a cycle, played at `outputTime`.
    virtual void writeMix(Float64 outputTime, uint32_t frames, int32_t* samples) = 0;
};

class IOEngine
{
public:
    // The audio server's IO buffer size when the device names none.
    static constexpr uint32_t kDefaultBufferFrames = 512;

    IOEngine(AudioServerHost& host, AudioObjectID device, uint32_t clientID = 1);
    ~IOEngine();
    IOEngine(const IOEngine&) = delete;
    IOEngine& operator=(const IOEngine&) = delete;

    // Reads the device's formats, StartIO, then runs the cycles for `client`; an error status
    // with the reason in `error` when the device cannot run.
    OSStatus start(IOClient& client, std::string& error);
    // Ends the cycles and StopIO; the status of StopIO.
    OSStatus stop();

    // For a configuration change: the cycles wait (pause returns once no cycle runs), then go on
    // with the formats read again (resume).
    void pause();
    void resume();

    AudioObjectID device() const { return mDevice; }
    uint32_t clientID() const { return mClientID; }
    IOFormat format() const { return mFormat; }

    struct Counters
    {
        uint64_t cycles = 0;
        uint64_t overloads = 0;     // cycles that started more than a buffer late
        uint64_t ioErrors = 0;      // operations the device refused
        uint64_t stampWaits = 0;    // waits for a zero time stamp (none yet, or IO stopped)
        uint64_t runs = 0;          // time lines: 1 plus one per configuration change
        uint64_t maxLateNanoseconds = 0;
    };
    Counters counters() const;

private:
    bool readFormat(IOFormat& format, std::string& error) const;
    void threadMain();
    // real-time: one cycle of the time line; false when the device refused it.
    bool cycle(Float64 sampleTime, uint64_t hostTime, Float64 ticksPerFrame, uint64_t now);

    AudioServerHost& mHost;
    const AudioObjectID mDevice;
    const uint32_t mClientID;
    AudioObjectID mInputStream = 0;
    AudioObjectID mOutputStream = 0;
    IOFormat mFormat;
    IOClient* mClient = nullptr;
    std::vector<int32_t> mInput;
    std::vector<int32_t> mOutput;
    std::thread mThread;
    bool mStarted = false;

    // Controlling thread -> IO thread.
    std::atomic<bool> mStop{false};
    std::atomic<bool> mPause{false};
    std::atomic<uint32_t> mGeneration{0}; // a new time line starts when it changes
    // IO thread -> controlling thread.
    std::atomic<bool> mPaused{false};

    std::atomic<uint64_t> mCycles{0};
    std::atomic<uint64_t> mOverloads{0};
    std::atomic<uint64_t> mIOErrors{0};
    std::atomic<uint64_t> mStampWaits{0};
    std::atomic<uint64_t> mRuns{0};
    std::atomic<uint64_t> mMaxLate{0};
    uint64_t mCycleCounter = 0; // IO thread only
};

} // namespace audiod
