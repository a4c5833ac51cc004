#include "IOEngine.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "AudioServerHost.h"
#include "mach/thread_act.h"
#include "platform/HostClock.h"
#include "platform/RealTime.h"

namespace audiod {
namespace {

namespace hc = platform::host_clock;
namespace rt = platform::realtime;

constexpr uint32_t kRead = kAudioServerPlugInIOOperationReadInput;
constexpr uint32_t kWrite = kAudioServerPlugInIOOperationWriteMix;
constexpr uint64_t kMillisecond = 1'000'000;
constexpr uint64_t kPauseWait = 5'000 * kMillisecond;

AudioObjectPropertyAddress address(AudioObjectPropertySelector selector,
                                   AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal)
{
    return {selector, scope, kAudioObjectPropertyElementMaster};
}

template <class T> bool read(const PropertyValue& value, T& result)
{
    if (value.status != 0 || value.bytes.size() < sizeof(T)) {
        return false;
    }
    std::memcpy(&result, value.bytes.data(), sizeof(T));
    return true;
}

void raise(std::atomic<uint64_t>& maximum, uint64_t value)
{
    uint64_t seen = maximum.load(std::memory_order_relaxed);
    while (value > seen && !maximum.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}

} // namespace

IOEngine::IOEngine(AudioServerHost& host, AudioObjectID device, uint32_t clientID)
    : mHost(host), mDevice(device), mClientID(clientID)
{
}

IOEngine::~IOEngine()
{
    stop();
}

bool IOEngine::readFormat(IOFormat& format, std::string& error) const
{
    format = IOFormat{};
    if (!read(mHost.get(mDevice, address(kAudioDevicePropertyNominalSampleRate)), format.rate) || !(format.rate > 0)) {
        error = "the device names no sample rate";
        return false;
    }
    read(mHost.get(mDevice, address(kAudioDevicePropertyZeroTimeStampPeriod)), format.zeroTimeStampPeriod);
    struct Side
    {
        AudioObjectPropertyScope scope;
        uint32_t& channels;
        uint32_t& bits;
        uint32_t& latency;
        uint32_t& safety;
        const char* name;
    };
    for (const Side& side :
         {Side{kAudioObjectPropertyScopeInput, format.inputChannels, format.inputBits, format.inputLatency,
               format.inputSafetyOffset, "input"},
          Side{kAudioObjectPropertyScopeOutput, format.outputChannels, format.outputBits, format.outputLatency,
               format.outputSafetyOffset, "output"}}) {
        read(mHost.get(mDevice, address(kAudioDevicePropertyLatency, side.scope)), side.latency);
        read(mHost.get(mDevice, address(kAudioDevicePropertySafetyOffset, side.scope)), side.safety);
        AudioObjectID stream = 0;
        if (!read(mHost.get(mDevice, address(kAudioDevicePropertyStreams, side.scope)), stream)) {
            continue; // no stream on this side
        }
        AudioStreamBasicDescription physical{};
        if (!read(mHost.get(stream, address(kAudioStreamPropertyPhysicalFormat)), physical)) {
            error = std::string("the device's ") + side.name + " stream names no format";
            return false;
        }
        // The IO buffers hold one 32-bit integer per channel, whatever the packing of the physical
        // format: the device's ring copies read and write them so. The format gives the resolution.
        if (physical.mFormatID != kAudioFormatLinearPCM || physical.mChannelsPerFrame == 0 ||
            physical.mChannelsPerFrame > 256 || physical.mBitsPerChannel == 0 || physical.mBitsPerChannel > 32) {
            error = std::string("the device's ") + side.name + " format (" + fourCC(physical.mFormatID) + ", " +
                    std::to_string(physical.mChannelsPerFrame) + " channels, " +
                    std::to_string(physical.mBitsPerChannel) + " bits) is not linear PCM of up to 32 bits";
            return false;
        }
        side.channels = physical.mChannelsPerFrame;
        side.bits = physical.mBitsPerChannel;
    }
    if (format.inputChannels == 0 && format.outputChannels == 0) {
        error = "the device has no streams";
        return false;
    }
    // The buffer size is the client's to choose within what the device takes: its own when it
    // names one, else the audio server's default; a cycle moves at most half a ring period.
    uint32_t frames = 0;
    if (mHost.has(mDevice, address(kAudioDevicePropertyBufferFrameSize)) &&
        read(mHost.get(mDevice, address(kAudioDevicePropertyBufferFrameSize)), frames) && frames != 0) {
        format.bufferFromDevice = true;
    } else {
        frames = kDefaultBufferFrames;
    }
    if (format.zeroTimeStampPeriod >= 32) {
        frames = std::min(frames, format.zeroTimeStampPeriod / 2);
    }
    format.bufferFrames = std::clamp<uint32_t>(frames, 16, 8192);
    return true;
}

OSStatus IOEngine::start(IOClient& client, std::string& error)
{
    if (mStarted) {
        error = "already running";
        return kAudioHardwareIllegalOperationError;
    }
    // The device's latencies and safety offsets are its own once IO runs: read after StartIO.
    const OSStatus status = mHost.startIO(mDevice, mClientID);
    if (status != 0) {
        error = "StartIO failed with " + fourCC(static_cast<uint32_t>(status));
        return status;
    }
    if (!readFormat(mFormat, error)) {
        mHost.stopIO(mDevice, mClientID);
        return kAudioHardwareUnsupportedOperationError;
    }
    mClient = &client;
    mInput.assign(size_t{mFormat.bufferFrames} * std::max(mFormat.inputChannels, 1U), 0);
    mOutput.assign(size_t{mFormat.bufferFrames} * std::max(mFormat.outputChannels, 1U), 0);
    mClient->prepare(mFormat, 0);
    mStop.store(false);
    mPause.store(false);
    mPaused.store(false);
    mRuns.store(1);
    mGeneration.fetch_add(1, std::memory_order_release);
    const PropertyValue input = mHost.get(mDevice, address(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput));
    const PropertyValue output =
        mHost.get(mDevice, address(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeOutput));
    read(input, mInputStream);
    read(output, mOutputStream);
    mStarted = true;
    // Attached before the first cycle: a configuration change from now on pauses the cycles.
    mHost.attach(*this);
    mThread = std::thread([this] { threadMain(); });
    return 0;
}

OSStatus IOEngine::stop()
{
    if (!mStarted) {
        return 0;
    }
    // Detached first: a configuration change in progress finishes before the thread ends.
    mHost.detach(*this);
    mStop.store(true, std::memory_order_release);
    mThread.join();
    mStarted = false;
    return mHost.stopIO(mDevice, mClientID);
}

void IOEngine::pause()
{
    mPause.store(true, std::memory_order_release);
    const uint64_t deadline = hc::now() + kPauseWait;
    while (mStarted && !mPaused.load(std::memory_order_acquire) && hc::now() < deadline) {
        hc::sleepFor(kMillisecond);
    }
}

void IOEngine::resume()
{
    std::string error;
    IOFormat format;
    if (readFormat(format, error)) {
        mFormat = format;
        mInput.assign(size_t{mFormat.bufferFrames} * std::max(mFormat.inputChannels, 1U), 0);
        mOutput.assign(size_t{mFormat.bufferFrames} * std::max(mFormat.outputChannels, 1U), 0);
        mClient->prepare(mFormat, static_cast<uint32_t>(mRuns.load()));
    }
    // A device that lost its formats stays paused until stopped.
    if (!error.empty()) {
        return;
    }
    mRuns.fetch_add(1);
    mGeneration.fetch_add(1, std::memory_order_release);
    mPaused.store(false, std::memory_order_release);
    mPause.store(false, std::memory_order_release);
}

IOEngine::Counters IOEngine::counters() const
{
    Counters c;
    c.cycles = mCycles.load();
    c.overloads = mOverloads.load();
    c.ioErrors = mIOErrors.load();
    c.stampWaits = mStampWaits.load();
    c.runs = mRuns.load();
    c.maxLateNanoseconds = mMaxLate.load();
    return c;
}

void IOEngine::threadMain()
{
    // The audio server's IO threads run at the top of the user range (where the system permits).
    thread_precedence_policy precedence{32};
    thread_policy_set(pthread_mach_thread_np(pthread_self()), THREAD_PRECEDENCE_POLICY,
                      reinterpret_cast<thread_policy_t>(&precedence), THREAD_PRECEDENCE_POLICY_COUNT);
    AudioServerPlugInDriverRef driver = mHost.driver();
    uint32_t generation = 0;
    bool anchored = false;
    Float64 nominalTicks = 0;
    Float64 ticksPerFrame = 0;
    Float64 next = 0; // the sample time of the next cycle
    Float64 lastSample = 0;
    uint64_t lastHost = 0;
    uint32_t frames = 0;
    uint32_t inputSafety = 0;
    while (!mStop.load(std::memory_order_acquire)) {
        if (mPause.load(std::memory_order_acquire)) {
            mPaused.store(true, std::memory_order_release);
            hc::sleepFor(kMillisecond);
            continue;
        }
        const uint32_t now = mGeneration.load(std::memory_order_acquire);
        if (now != generation) {
            generation = now;
            anchored = false;
            frames = mFormat.bufferFrames;
            inputSafety = mFormat.inputSafetyOffset;
            nominalTicks = 1e9 / mFormat.rate;
            ticksPerFrame = nominalTicks;
        }
        Float64 zeroSample = 0;
        uint64_t zeroHost = 0;
        uint64_t seed = 0;
        OSStatus status = 0;
        {
            rt::Section realTime;
            rt::Lifted driverWork;
            status = (*driver)->GetZeroTimeStamp(driver, mDevice, mClientID, &zeroSample, &zeroHost, &seed);
        }
        if (status != 0 || zeroHost == 0) {
            // No time line yet, or the device's IO stopped under the cycles.
            mStampWaits.fetch_add(1, std::memory_order_relaxed);
            anchored = false;
            hc::sleepFor(kMillisecond);
            continue;
        }
        if (anchored && zeroSample < lastSample) {
            anchored = false; // the device started a new time line
        }
        if (anchored && zeroHost > lastHost && zeroSample > lastSample) {
            const Float64 measured = static_cast<Float64>(zeroHost - lastHost) / (zeroSample - lastSample);
            // A stamp far off the nominal rate is a glitch, not the device's clock.
            if (std::fabs(measured / nominalTicks - 1.0) < 0.01) {
                ticksPerFrame = measured;
            }
        }
        if (!anchored) {
            // The first cycle reads the buffer that starts at the anchor.
            next = zeroSample + frames + inputSafety;
            anchored = true;
        }
        lastSample = zeroSample;
        lastHost = zeroHost;
        const auto dueAt = [&](Float64 sample) {
            return static_cast<double>(zeroHost) + (sample - zeroSample) * ticksPerFrame;
        };
        double due = dueAt(next);
        const uint64_t clock = hc::now();
        if (static_cast<double>(clock) < due) {
            // Waits in short steps, so that a pause or stop is seen soon.
            hc::sleepUntil(std::min(static_cast<uint64_t>(due), clock + 2 * kMillisecond));
            continue;
        }
        const double bufferTicks = frames * ticksPerFrame;
        double late = static_cast<double>(clock) - due;
        if (late > bufferTicks) {
            mOverloads.fetch_add(1, std::memory_order_relaxed);
            next += std::floor(late / bufferTicks) * frames;
            due = dueAt(next);
            late = static_cast<double>(clock) - due;
        }
        raise(mMaxLate, static_cast<uint64_t>(std::max(late, 0.0)));
        if (!cycle(next, static_cast<uint64_t>(due), ticksPerFrame, clock)) {
            mIOErrors.fetch_add(1, std::memory_order_relaxed);
            anchored = false;
            hc::sleepFor(kMillisecond);
            continue;
        }
        next += frames;
        mCycles.fetch_add(1, std::memory_order_relaxed);
    }
}

bool IOEngine::cycle(Float64 sampleTime, uint64_t hostTime, Float64 ticksPerFrame, uint64_t now)
{
    // real-time: no lock, no allocation, no wait
    rt::Section realTime;
    AudioServerPlugInDriverRef driver = mHost.driver();
    const IOFormat& f = mFormat;
    const uint32_t frames = f.bufferFrames;
    const auto stamp = [&](Float64 sample) {
        AudioTimeStamp t{};
        t.mSampleTime = sample;
        t.mHostTime = static_cast<uint64_t>(std::max(0.0, static_cast<double>(hostTime) +
                                                              (sample - sampleTime) * ticksPerFrame));
        t.mRateScalar = 1e9 / (ticksPerFrame * f.rate);
        t.mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid | kAudioTimeStampRateScalarValid;
        return t;
    };
    AudioServerPlugInIOCycleInfo info{};
    info.mIOCycleCounter = mCycleCounter++;
    info.mNominalIOBufferFrameSize = frames;
    info.mInputTime = stamp(sampleTime - frames - f.inputSafetyOffset);
    info.mOutputTime = stamp(sampleTime + frames + f.outputSafetyOffset);
    info.mCurrentTime = stamp(sampleTime + static_cast<double>(now - std::min(now, hostTime)) / ticksPerFrame);
    info.mMasterHostTicksPerFrame = ticksPerFrame;
    info.mDeviceHostTicksPerFrame = ticksPerFrame;

    const auto operation = [&](uint32_t id, AudioObjectID stream, int32_t* buffer) {
        rt::Lifted driverWork; // the driver's own operations
        Boolean willDo = 0;
        Boolean inPlace = 1;
        if ((*driver)->WillDoIOOperation(driver, mDevice, mClientID, id, &willDo, &inPlace) != 0 || willDo == 0) {
            return true;
        }
        (*driver)->BeginIOOperation(driver, mDevice, mClientID, id, frames, &info);
        const OSStatus status =
            (*driver)->DoIOOperation(driver, mDevice, stream, mClientID, id, frames, &info, buffer, nullptr);
        (*driver)->EndIOOperation(driver, mDevice, mClientID, id, frames, &info);
        return status == 0;
    };
    if (f.inputChannels != 0) {
        if (!operation(kRead, mInputStream, mInput.data())) {
            return false;
        }
        mClient->readInput(info.mInputTime.mSampleTime, frames, mInput.data());
    }
    if (f.outputChannels != 0) {
        mClient->writeMix(info.mOutputTime.mSampleTime, frames, mOutput.data());
        if (!operation(kWrite, mOutputStream, mOutput.data())) {
            return false;
        }
    }
    return true;
}

} // namespace audiod
