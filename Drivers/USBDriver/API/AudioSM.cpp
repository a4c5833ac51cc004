#include "AudioSM.h"

#include <algorithm>
#include <cstring>

#include "VKIOTrace.h"
#include "mach/mach_time.h"
#include "platform/Log.h"

namespace {

constexpr uint32_t kMaxRingFrames = AudioSM::kSampleAreaBytes / sizeof(int32_t);

bool isPowerOfTwo(uint64_t v)
{
    return v != 0 && (v & (v - 1)) == 0;
}

uint8_t* extraArea(AudioSM& ring)
{
    return reinterpret_cast<uint8_t*>(ring.mSamples);
}

// Calls fn(ringFrame, callerFrame, frames) for each contiguous piece of `frames` frames that
// start at `position`: one piece when the request fits before the ring's end, else the rest
// continues at ring frame 0. `callerFrame` counts from `firstCallerFrame`.
template <class Piece>
void forEachPiece(const AudioSM::Geometry& g, uint64_t position, uint32_t frames, uint32_t firstCallerFrame,
                  Piece fn)
{
    auto start = static_cast<uint32_t>(position & (g.maxFrames - 1));
    uint32_t done = 0;
    while (done < frames) {
        const uint32_t piece = std::min(g.maxFrames - start, frames - done);
        fn(start, firstCallerFrame + done, piece);
        done += piece;
        start = 0;
    }
}

// A write longer than the ring leaves only its last mMaxFrames frames in it: skip the others.
uint32_t framesOverwritten(const AudioSM::Geometry& g, uint32_t frames)
{
    return frames > g.maxFrames ? frames - g.maxFrames : 0;
}

int32_t sampleCount(const AudioSM::Geometry& g, uint32_t frames)
{
    // At most kMaxRingFrames * 32 samples: fits.
    return static_cast<int32_t>(frames * g.channels);
}

uint32_t effectiveChannels(uint32_t channels)
{
    return channels == 0 || channels > AudioSM::kMaxChannels ? 2 : channels;
}

// The largest power of two not above the frames of that size the area holds, rounded down to a
// multiple of 256 first; 1 when not even 256 fit.
uint64_t ringFrames(uint64_t bytesPerFrame)
{
    const uint64_t limit = (AudioSM::kSampleAreaBytes / bytesPerFrame) & ~uint64_t{0xFF};
    uint64_t maxFrames = 1;
    while (maxFrames * 2 <= limit) {
        maxFrames *= 2;
    }
    return maxFrames;
}

uint32_t extraOffsetAfter(uint32_t audioBytes)
{
    return (audioBytes + 15u) & ~15u;
}

} // namespace

AudioSM::Geometry AudioSM::geometry() const
{
    const uint32_t channels = shared::load(mChannels);
    const uint64_t maxFrames = shared::load(mMaxFrames);
    const uint32_t extraPerFrame = shared::load(mExtraBytesPerFrame);
    const uint32_t extraOffset = shared::load(mExtraOffset);

    if (channels == 0 || channels > kMaxChannels || !isPowerOfTwo(maxFrames) || maxFrames > kMaxRingFrames) {
        return {};
    }
    const uint64_t audioBytes = maxFrames * channels * sizeof(int32_t);
    if (audioBytes > kSampleAreaBytes) {
        return {};
    }
    if (extraPerFrame != 0) {
        const uint64_t extraEnd = uint64_t{extraOffset} + maxFrames * extraPerFrame;
        if (extraOffset < audioBytes || extraEnd > kSampleAreaBytes) {
            return {};
        }
    }
    return {channels, static_cast<uint32_t>(maxFrames), extraPerFrame, extraOffset};
}

AudioSM::Geometry AudioSM::layout(uint32_t channels, uint32_t extraBytesPerFrame)
{
    channels = effectiveChannels(channels);
    const uint32_t audioBytesPerFrame = channels * sizeof(int32_t);
    const uint64_t maxFrames = ringFrames(uint64_t{audioBytesPerFrame} + extraBytesPerFrame);
    const auto audioBytes = static_cast<uint32_t>(maxFrames * audioBytesPerFrame);
    const uint32_t extraOffset = extraOffsetAfter(audioBytes);
    if (uint64_t{extraOffset} + maxFrames * extraBytesPerFrame > kSampleAreaBytes) {
        return {};
    }
    return {channels, static_cast<uint32_t>(maxFrames), extraBytesPerFrame, extraOffset};
}

void AudioSM::init(uint32_t channels, uint32_t frequency, uint32_t extraBytesPerFrame)
{
    VKIOTrace trace("AudioSM::init", this);
    trace.trace("nChannels, nFrequency", static_cast<int>(channels), static_cast<int>(frequency));

    shared::store(mFrequency, frequency);
    if (channels == 0) {
        platform::printOut("AudioSM::init nChannels is 0\n");
    }
    if (channels > kMaxChannels) {
        platform::printOut("AudioSM::init nChannels is %d\n", static_cast<int>(channels));
    }
    channels = effectiveChannels(channels);
    shared::store(mChannels, channels);

    const uint32_t audioBytesPerFrame = channels * sizeof(int32_t);
    const uint64_t bytesPerFrame = uint64_t{audioBytesPerFrame} + extraBytesPerFrame;
    shared::store(mAudioBytesPerFrame, audioBytesPerFrame);
    shared::store(mExtraBytesPerFrame, extraBytesPerFrame);
    shared::store(mBytesPerFrame, static_cast<uint32_t>(bytesPerFrame));

    const uint64_t maxFrames = ringFrames(bytesPerFrame);
    const auto audioBytes = static_cast<uint32_t>(maxFrames * audioBytesPerFrame);
    shared::store(mAudioBytes, audioBytes);
    shared::store(mExtraBytes, static_cast<uint32_t>(maxFrames * extraBytesPerFrame));
    shared::store(mExtraOffset, extraOffsetAfter(audioBytes));
    if (!layout(channels, extraBytesPerFrame).usable()) {
        // Readers and writers then leave the ring alone rather than run past its end.
        platform::printOut("AudioSM::init nExtraBytesPerFrame %u does not fit\n", extraBytesPerFrame);
    }

    shared::store(mAnchorSpan, uint64_t{frequency} / 4);
    mAnchorA.init();
    mAnchorB.init();
    mAnchorCurrent.init();
    shared::store(mAnchorSelect, 1);

    shared::store(mFramesWritten, 0);
    shared::store(mWriteOffset, 0);
    shared::store(mNotification, 0);
    shared::store(mState, kStateInitialised);
    shared::store(mClientFramePos, 0);
    mTimeStamps.Init();

    mach_timebase_info_data_t timebase{};
    mach_timebase_info(&timebase);
    shared::store(mTimebaseNumerator, timebase.numer);
    shared::store(mTimebaseDenominator, timebase.denom);

    if (frequency == 0 || timebase.numer == 0) {
        // No rate, no duration: leave the buffer period at 0 instead of dividing by zero.
        platform::printOut("AudioSM::init nFrequency is %u\n", frequency);
        shared::store(mHostTicksPerBuffer, 0);
    } else {
        shared::store(mHostTicksPerBuffer,
                      maxFrames * 1'000'000'000ULL / frequency * timebase.denom / timebase.numer);
    }

    shared::store(mZeroSampleTime, 0);
    shared::store(mZeroCount, 0);
    shared::store(mZeroHostTime, 0);
    shared::store(mFirstInputHostTime, 0);
    shared::store(mStartHostTime, 0);

    shared::publish();
    shared::store(mMaxFrames, maxFrames);
    platform::printOut("AudioSM::init mMaxFrames:%llu\n", static_cast<unsigned long long>(maxFrames));
    zeroTotalBuffer();
}

void AudioSM::zeroTotalBuffer()
{
    std::memset(mSamples, 0, sizeof mSamples);
}

void AudioSM::writeFrames(const int32_t* source, uint32_t frames, uint64_t offset, AudioConverter converter,
                          const uint8_t* extra)
{
    writeFrames(geometry(), source, frames, offset, converter, extra);
}

void AudioSM::writeFrames(const Geometry& g, const int32_t* source, uint32_t frames, uint64_t offset,
                          AudioConverter converter, const uint8_t* extra)
{
    VKIOTrace trace(nullptr, 0);
    if (shared::load(mZeroHostTime) == 0) {
        shared::store(mZeroSampleTime, 0);
        shared::store(mZeroCount, 0);
        shared::store(mWriteCount, 0);
    }
    shared::store(mWriteCount, shared::load(mWriteCount) + 1);
    if (converter == nullptr) {
        converter = audioInt32CopySet;
    }
    shared::store(mWriteOffset, offset);
    const uint64_t written = shared::load(mFramesWritten);

    if (g.usable()) {
        const uint32_t skip = framesOverwritten(g, frames);
        const uint64_t start = written + offset + skip;
        if (source != nullptr) {
            forEachPiece(g, start, frames - skip, skip, [&](uint32_t ring, uint32_t caller, uint32_t n) {
                converter(mSamples + size_t{ring} * g.channels, source + size_t{caller} * g.channels,
                          sampleCount(g, n));
            });
        }
        if (extra != nullptr && g.extraBytesPerFrame != 0) {
            const size_t perFrame = g.extraBytesPerFrame;
            forEachPiece(g, start, frames - skip, skip, [&](uint32_t ring, uint32_t caller, uint32_t n) {
                std::memcpy(extraArea(*this) + g.extraOffset + ring * perFrame, extra + caller * perFrame,
                            n * perFrame);
            });
        }
    }
    shared::publish();
    shared::store(mFramesWritten, written + frames);
}

void AudioSM::writeFramesToKernelAtPos(const int32_t* source, uint32_t frames, uint64_t position,
                                       uint64_t offset, uint32_t sourceChannels, AudioConverter converter,
                                       int32_t bytesPerSample)
{
    writeFramesToKernelAtPos(geometry(), source, frames, position, offset, sourceChannels, converter,
                             bytesPerSample);
}

void AudioSM::writeFramesToKernelAtPos(const Geometry& g, const int32_t* source, uint32_t frames,
                                       uint64_t position, uint64_t offset, uint32_t sourceChannels,
                                       AudioConverter converter, int32_t bytesPerSample)
{
    VKIOTrace trace(nullptr, 0);
    if (converter == nullptr) {
        converter = audioInt32CopySet;
    }
    shared::store(mWriteOffset, offset);
    shared::store(mFramesWritten, position);

    if (g.usable() && source != nullptr && bytesPerSample > 0) {
        const uint64_t callerFrameBytes = uint64_t{sourceChannels} * static_cast<uint32_t>(bytesPerSample);
        const auto* sourceBytes = reinterpret_cast<const uint8_t*>(source);
        const uint32_t skip = framesOverwritten(g, frames);
        forEachPiece(g, position + offset + skip, frames - skip, skip,
                     [&](uint32_t ring, uint32_t caller, uint32_t n) {
                         const auto* from =
                             reinterpret_cast<const int32_t*>(sourceBytes + caller * callerFrameBytes);
                         converter(mSamples + size_t{ring} * g.channels, from, sampleCount(g, n));
                     });
    }
    shared::publish();
    shared::store(mFramesWritten, position + frames);
}

void AudioSM::read(uint64_t& position, int32_t* destination, uint32_t frames, uint64_t& hostTime,
                   AudioConverter converter, uint8_t* extra)
{
    read(geometry(), position, destination, frames, hostTime, converter, extra);
}

void AudioSM::read(const Geometry& g, uint64_t& position, int32_t* destination, uint32_t frames,
                   uint64_t& hostTime, AudioConverter converter, uint8_t* extra)
{
    if (g.usable()) {
        if (destination != nullptr && converter != nullptr) {
            forEachPiece(g, position, frames, 0, [&](uint32_t ring, uint32_t caller, uint32_t n) {
                converter(destination + size_t{caller} * g.channels, mSamples + size_t{ring} * g.channels,
                          sampleCount(g, n));
            });
        }
        if (extra != nullptr && g.extraBytesPerFrame != 0) {
            const size_t perFrame = g.extraBytesPerFrame;
            forEachPiece(g, position, frames, 0, [&](uint32_t ring, uint32_t caller, uint32_t n) {
                uint8_t* inRing = extraArea(*this) + g.extraOffset + ring * perFrame;
                std::memcpy(extra + caller * perFrame, inRing, n * perFrame);
                std::memset(inRing, 0, n * perFrame); // each extra byte is delivered once
            });
        }
    }
    const uint32_t select = shared::load(mAnchorSelect);
    shared::consume();
    (select != 0 ? mAnchorA : mAnchorB).getTS(position, hostTime);
    if (hostTime == 0) {
        hostTime = mTimeStamps.GetTimeStamp(position);
    }
    position += frames;
}

void AudioSM::readFromKernel(uint64_t& position, int32_t* destination, uint32_t frames,
                             AudioConverter converter, int32_t bytesPerSample)
{
    readFromKernel(geometry(), position, destination, frames, converter, bytesPerSample);
}

void AudioSM::readFromKernel(const Geometry& g, uint64_t& position, int32_t* destination, uint32_t frames,
                             AudioConverter converter, int32_t bytesPerSample)
{
    if (g.usable() && destination != nullptr && converter != nullptr && bytesPerSample > 0) {
        const uint64_t callerFrameBytes = uint64_t{g.channels} * static_cast<uint32_t>(bytesPerSample);
        auto* destinationBytes = reinterpret_cast<uint8_t*>(destination);
        forEachPiece(g, position, frames, 0, [&](uint32_t ring, uint32_t caller, uint32_t n) {
            auto* to = reinterpret_cast<int32_t*>(destinationBytes + caller * callerFrameBytes);
            converter(to, mSamples + size_t{ring} * g.channels, sampleCount(g, n));
        });
    }
    position += frames;
}

void AudioSM::writeTimestamp(uint64_t hostTime)
{
    const uint64_t written = shared::load(mFramesWritten);
    AudioTSData& current = mAnchorCurrent;
    if (shared::load(current.mHost0) == 0) {
        shared::store(current.mSample0, written);
        shared::store(current.mHost0, hostTime);
    }
    shared::store(current.mHost1, hostTime);
    shared::store(current.mSample1, written);
    const uint64_t sample0 = shared::load(current.mSample0);
    if (written - sample0 < shared::load(mAnchorSpan)) {
        return;
    }

    // Publish into the anchor readers are not using, then point them at it.
    const uint32_t select = shared::load(mAnchorSelect);
    AudioTSData& target = select != 0 ? mAnchorB : mAnchorA;
    shared::store(target.mSample0, sample0);
    shared::store(target.mSample1, written);
    shared::store(target.mHost0, shared::load(current.mHost0));
    shared::store(target.mHost1, hostTime);
    target.validate();
    shared::publish();
    shared::store(mAnchorSelect, select != 0 ? 0 : 1);

    // The next anchor starts where this one ended.
    shared::store(current.mHost0, hostTime);
    shared::store(current.mSample0, written);
}

uint32_t AudioSM::AddTimeStamp(uint64_t hostTime, uint64_t samples, bool accumulate,
                               TimeStampsBuffer::PairWriter* writer)
{
    return AddTimeStamp(geometry(), hostTime, samples, accumulate, writer);
}

uint32_t AudioSM::AddTimeStamp(const Geometry& g, uint64_t hostTime, uint64_t samples, bool accumulate,
                               TimeStampsBuffer::PairWriter* writer)
{
    if (shared::load(mStartHostTime) == 0) {
        const uint64_t ticksPerBuffer = shared::load(mHostTicksPerBuffer);
        platform::printOut("AddTimeStamp %llu mHostTicksPerBuffer %llu mFrequency %llu\n",
                           static_cast<unsigned long long>(mach_absolute_time()),
                           static_cast<unsigned long long>(ticksPerBuffer),
                           static_cast<unsigned long long>(shared::load(mFrequency)));
        const uint64_t lead = g.usable() ? ticksPerBuffer * samples / g.maxFrames : 0;
        // Back-dated no earlier than the clock's first tick (0 means none), never wrapped.
        const uint64_t start = hostTime > lead ? hostTime - lead : std::min<uint64_t>(hostTime, 1);
        shared::store(mStartHostTime, start);
        mTimeStamps.AddTimeStamp(start, 0, accumulate, writer);
    }
    return mTimeStamps.AddTimeStamp(hostTime, samples, accumulate, writer);
}

uint64_t AudioSM::setZeroSampleTime(uint64_t sampleTime)
{
    shared::store(mZeroSampleTime, sampleTime);
    const uint64_t zeroHostTime = mTimeStamps.GetTimeStamp(sampleTime);
    shared::store(mZeroHostTime, zeroHostTime);
    shared::store(mZeroCount, 0);
    return zeroHostTime;
}
