// The device's IO cycle: attaching to the kernel's stream, the zero time stamps anchored in the
// input ring, and the copies between the host's buffers and the rings.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "AudioCopy.h"
#include "CAException.h"
#include "DeviceModels.h"
#include "QzASPlugInDevice.h"
#include "VKIOTrace.h"
#include "platform/HostClock.h"
#include "platform/Log.h"

namespace {

namespace hc = platform::host_clock;
constexpr int kAlert = platform::log::kPriorityAlert;
constexpr int kError = platform::log::kPriorityError;
constexpr int kWarning = platform::log::kPriorityWarning;
constexpr int kNotice = platform::log::kPriorityNotice;
constexpr uint32_t kMethodStartHardware = 2;
constexpr uint32_t kMethodStopHardware = 3;
constexpr int kAttachWaits = 101;
constexpr OSStatus kStop = 0x73746F70; // 'stop'
constexpr OSStatus kNope = 0x6E6F7065; // 'nope'
constexpr UInt32 kRead = audioFourCC("read");
constexpr UInt32 kWrite = audioFourCC("rite");

long long nowMs()
{
    return static_cast<long long>(hc::now() / 1'000'000);
}

// A sample time as a signed frame count: negative and non-finite times do not wrap.
int64_t frameOf(Float64 sampleTime)
{
    if (!std::isfinite(sampleTime) || std::fabs(sampleTime) > 9e18) {
        return 0;
    }
    return std::llround(sampleTime);
}

// Output copies of the Elektron devices by the number of output channels in use.
struct ElektronCopyRow
{
    uint32_t upTo;
    AudioConverter twelve; // the ten-input model, whose frames hold 12 samples
    AudioConverter six;
};
constexpr ElektronCopyRow kElektronCopies[] = {
    {0, audioInt32CopyShift12To0, audioInt32CopyShift6To0},
    {2, audioInt32CopyShift12To2, audioInt32CopyShift6To2},
    {4, audioInt32CopyShift12To4, audioInt32CopyShift6To4},
    {6, audioInt32CopyShift12To6, audioInt32CopyShift},
    {8, audioInt32CopyShift12To8, audioInt32CopyShift},
    {10, audioInt32CopyShift12To10, audioInt32CopyShift},
};

} // namespace

void QzASPlugInDevice::selectOutputCopy()
{
    mOutputCopy = audioInt32CopyShift;
    const QzASModelRow model = ModelRow();
    if ((model.traits & kQzASFourOutputsAboveNinetySix) != 0) {
        mOutputCopy = mCurrent.iFrequency <= 96'000 ? audioInt32CopyShift : audioInt32CopyShift6To4;
        return;
    }
    if (!mDevice->isElektronOverbridge()) {
        return;
    }
    uint32_t used = 0;
    const uint32_t reported = std::min<uint32_t>(static_cast<uint32_t>(std::max(mReported.iOutChannels, 0)),
                                                 QZ_Elektron_ChannelMap::kUsageListSize);
    for (uint32_t c = 0; c < reported; ++c) {
        used += mOutputUsage[c] ? 1 : 0;
    }
    const bool twelve = (model.traits & kQzASElektronTwelveOutputs) != 0;
    for (const ElektronCopyRow& row : kElektronCopies) {
        if (used <= row.upTo) {
            mOutputCopy = twelve ? row.twelve : row.six;
            return;
        }
    }
}

bool QzASPlugInDevice::prepareHardware()
{
    copyCurrentSettings();
    mDevice->createIOBuffers();
    updateLatencies();
    updateSafetyOffsets();
    mapRings();
    if (mInputRing.load() == nullptr || mOutputRing.load() == nullptr) {
        return false;
    }
    mHardwareState.store(kRingsMapped);
    return true;
}

void QzASPlugInDevice::StartIO()
{
    VKIOTrace trace("QzASPlugInDevice::StartIO", 0);
    const long long t0 = nowMs();
    if (mPerformConfigChange.load()) {
        platform::syslog(kWarning, "QzASPlugInDevice::StartIO mPerformConfigChange true!\n");
    }
    CAMutex::Locker state(mStateMutex);
    platform::syslog(kWarning, "AudioServer: %s %lld %d\n", "QzASPlugInDevice::StartIO _HW_ in", t0,
                     static_cast<int>(mIOReferenceCount));
    if (mIOReferenceCount == 0xFFFFFFFF) {
        platform::syslog(kNotice, "QzASPlugInDevice::StartIO: _HW_ failed to start because the ref count was maxxed "
                                  "out already");
        throw CAException(kNope);
    }
    if (mIOReferenceCount == 0) {
        if (mDevice == nullptr) {
            throw CAException(kStop);
        }
        {
            CAMutex::Locker io(mIOMutex);
            mLastInputSampleTime = mLastOutputSampleTime = mLastInputFrames = mLastOutputFrames = 0;
            mStats = {};
        }
        if (mHardwareState.load() == kClosed && !prepareHardware()) {
            throw CAException(kStop);
        }
        AudioSM* in = mInputRing.load();
        AudioSM* out = mOutputRing.load();
        out->zeroTotalBuffer();
        const OSStatus status = _HW_StartIO();
        if (status != 0) {
            platform::syslog(kNotice,
                             "QzASPlugInDevice::StartIO: failed to start because _HW_StartIO returned an error, "
                             "Error: 0x%X",
                             static_cast<unsigned>(status));
            throw CAException(status);
        }
        // The rings are the kernel's, laid out once the client is attached: refuse to run on one
        // whose layout does not hold what the host's buffers are sized for.
        const AudioSM::Geometry inGeometry = in->geometry();
        const AudioSM::Geometry outGeometry = out->geometry();
        if (!inGeometry.usable() || !outGeometry.usable() ||
            (mReported.iInChannels > 0 && inGeometry.channels != static_cast<uint32_t>(mReported.iInChannels) &&
             !mDevice->isElektronOverbridge())) {
            platform::syslog(kNotice, "QzASPlugInDevice::StartIO: the kernel's rings do not fit the device's "
                                      "channels (input ring %u channels, %u frames; %d reported)\n",
                             inGeometry.channels, inGeometry.maxFrames, static_cast<int>(mReported.iInChannels));
            _HW_StopIO();
            throw CAException(kIOReturnBadArgument);
        }
        mExtraMargin = mDevice->isElektronOverbridge() ? 3 : ModelRow().extraMarginMs;
        CAMutex::Locker io(mIOMutex);
        // Positions stay 64-bit: a 32-bit start offset would fall 2^32 frames behind the
        // kernel's position after a day of streaming.
        const uint64_t start = in->getFramePos();
        shared::store(out->mClientFramePos, start);
        mStartOffset = start;
        out->setFramePos(start);
        // The input ring is the kernel's and mapped read-only: the device keeps its own anchor, on
        // the host times the kernel's time stamps give for it. An anchor needs two stamps: wait a
        // little for them rather than keep an anchor that never moves.
        mZeroTimeStampPeriod = inGeometry.maxFrames;
        mAnchorSample = mStartOffset;
        mAnchorTime = in->mTimeStamps.GetTimeStamp(mAnchorSample);
        for (int i = 0; i < 100 && mAnchorTime == 0; ++i) {
            CAMutex::Unlocker free(mIOMutex);
            hc::sleepFor(5'000'000);
            mAnchorTime = in->mTimeStamps.GetTimeStamp(mAnchorSample);
        }
        platform::syslog(kWarning,
                         "QzASPlugInDevice::StartIO AnchorTimeStamp %llu initInFP %d initial_margin %d "
                         "mZeroTimeStampPeriod %d\n",
                         static_cast<unsigned long long>(mAnchorTime), static_cast<int>(mStartOffset),
                         static_cast<int>(in->getFramePos() - shared::load(out->mClientFramePos)),
                         static_cast<int>(mZeroTimeStampPeriod));
        mInStreamingSuspended.store(false);
        mInputBytesPerSample = mOutputBytesPerSample = 4;
        mInputCopy = audioInt32CopySet;
        selectOutputCopy();
    }
    ++mIOReferenceCount;
    AudioSM* in = mInputRing.load();
    const long long now = nowMs();
    platform::syslog(kWarning, "QzASPlugInDevice::StartIO OUT @%llu (%llu) initialInFramePos %d inFramePos %d avail %d\n",
                     static_cast<unsigned long long>(now), static_cast<unsigned long long>(now - t0),
                     static_cast<int>(mStartOffset), in != nullptr ? static_cast<int>(in->getFramePos()) : 0,
                     in != nullptr ? in->getAvailableFrames(mStartOffset) : 0);
}

OSStatus QzASPlugInDevice::_HW_StartIO()
{
    platform::syslog(kWarning, "AudioServer: %s %lld\n", "_HW_StartIO In\n", nowMs());
    const uint64_t frames = mDevice->getFrameSize();
    hc::sleepFor(2'000'000);
    uint64_t slot = 0;
    uint32_t outputs = 1;
    const kern_return_t status = IOConnectCallMethod(mDevice->connection(), kMethodStartHardware, &frames, 1, nullptr,
                                                     0, &slot, &outputs, nullptr, nullptr);
    if (status != kIOReturnSuccess) {
        platform::syslog(kWarning, "AudioServer: %s\n", "...attach failed");
        mHardwareState.store(kClosed);
        mClientSlot = -1;
        return status;
    }
    mClientSlot = static_cast<int32_t>(slot);
    mHardwareState.store(kAttached);
    AudioSM* out = mOutputRing.load();
    for (int waits = 0;; ++waits) {
        if (waits == kAttachWaits) {
            platform::syslog(kError, "Start: client not attached yet, PANIC\n");
            unmapRings();
            IOConnectCallMethod(mDevice->connection(), kMethodStopHardware, nullptr, 0, nullptr, 0, nullptr, nullptr,
                                nullptr, nullptr);
            mHardwareState.store(kClosed);
            mClientSlot = -1;
            return -1;
        }
        platform::syslog(kWarning, "Start: client not attached yet, waiting 5ms (state %d)\n",
                         static_cast<int>(shared::load(out->mState)));
        hc::sleepFor(5'000'000);
        if (shared::load(out->mState) == AudioSM::kStateRunning) {
            break;
        }
    }
    platform::syslog(kWarning, "AudioServer: %s %lld\n", "_HW_StartIO Out\n", nowMs());
    return 0;
}

void QzASPlugInDevice::StopIO()
{
    CAMutex::Locker state(mStateMutex);
    platform::syslog(kWarning, "AudioServer: %s %lld %d\n", "QzASPlugInDevice::StopIO initialInFramePos in", nowMs(),
                     static_cast<int>(mIOReferenceCount));
    if (mIOReferenceCount == 1) {
        _HW_StopIO();
        mIOReferenceCount = 0;
    } else if (mIOReferenceCount > 1) {
        --mIOReferenceCount;
    }
    platform::syslog(kWarning, "AudioServer: %s %d\n", "QzASPlugInDevice::StopIO _HW_ Out",
                     static_cast<int>(mIOReferenceCount));
}

void QzASPlugInDevice::_HW_StopIO()
{
    platform::syslog(kWarning, "AudioServer: %s %lld\n", "_HW_StopIO In\n", nowMs());
    if (mDevice != nullptr && mDevice->ioIsOpen()) {
        IOConnectCallMethod(mDevice->connection(), kMethodStopHardware, nullptr, 0, nullptr, 0, nullptr, nullptr,
                            nullptr, nullptr);
    }
    {
        CAMutex::Locker io(mIOMutex);
        mAnchorTime = 0;
        unmapRings();
    }
    mClientSlot = -1;
    mHardwareState.store(kClosed);
    platform::syslog(kWarning, "AudioServer: %s %lld\n", "_HW_StopIO Out\n", nowMs());
}

void QzASPlugInDevice::GetZeroTimeStamp(Float64& sampleTime, UInt64& hostTime, UInt64& seed)
{
    CAMutex::Locker io(mIOMutex);
    seed = 0;
    AudioSM* in = mInputRing.load();
    if (in == nullptr) {
        platform::syslog(kWarning, "GetZeroTimeStamp No shared memory, returning");
        hostTime = 0;
        sampleTime = 0;
        return;
    }
    // One zero time stamp per ring period: the anchor moves on by a period once the kernel has
    // written a period past it, to the host time the kernel's time stamps give for it.
    const uint64_t period = mZeroTimeStampPeriod != 0 ? mZeroTimeStampPeriod : 16'384;
    if (mAnchorTime == 0) {
        mAnchorTime = in->mTimeStamps.GetTimeStamp(mAnchorSample);
    }
    const uint64_t position = in->getFramePos();
    while (mAnchorTime != 0 && position - mAnchorSample >= period && position > mAnchorSample) {
        const uint64_t hostOfNext = in->mTimeStamps.GetTimeStamp(mAnchorSample + period);
        if (hostOfNext == 0) {
            break;
        }
        mAnchorSample += period;
        mAnchorTime = hostOfNext;
    }
    if (mAnchorTime == 0) {
        hostTime = 0;
        sampleTime = 0;
    } else {
        // Signed: an anchor before the start offset is a negative sample time, not one 2^64
        // frames away.
        sampleTime = static_cast<Float64>(static_cast<int64_t>(mAnchorSample - mStartOffset));
        hostTime = mAnchorTime;
    }
    mLastZeroHostTime = hostTime;
    mLastZeroSampleTime = sampleTime;
}

void QzASPlugInDevice::WillDoIOOperation(UInt32 operation, bool& willDo, bool& inPlace) const
{
    willDo = operation == kRead || operation == kWrite;
    inPlace = true;
}

void QzASPlugInDevice::BeginIOOperation(UInt32 operation, UInt32 frames, const AudioServerPlugInIOCycleInfo&)
{
    VKIOTrace trace(nullptr, 0);
    trace.trace(operation == kRead ? "Input" : "Output", static_cast<int>(frames));
}

void QzASPlugInDevice::EndIOOperation(UInt32 operation, UInt32, const AudioServerPlugInIOCycleInfo&)
{
    VKIOTrace trace(nullptr, 0);
    trace.trace(operation == kRead ? "QzASPlugInDevice::EndIOOperation Input" : "QzASPlugInDevice::EndIOOperation Output");
}

OSStatus QzASPlugInDevice::DoIOOperation(AudioObjectID, UInt32 operation, UInt32 frames,
                                         const AudioServerPlugInIOCycleInfo& cycle, void* mainBuffer, void*)
{
    if (operation != kRead && operation != kWrite) {
        return 0;
    }
    CAMutex::Locker io(mIOMutex);
    AudioSM* out = mOutputRing.load();
    if (driverSM() == nullptr || mInputRing.load() == nullptr || out == nullptr) {
        // No input to give: what the host reads is silence, whatever it makes of the status.
        if (operation == kRead && mainBuffer != nullptr && frames <= kMaxIOFrames) {
            std::memset(mainBuffer, 0,
                        size_t{frames} * static_cast<uint32_t>(std::max(mReported.iInChannels, 0)) * 4);
        }
        return kStop;
    }
    if (mainBuffer == nullptr || frames > kMaxIOFrames || frames > out->geometry().maxFrames / 2) {
        // More than a ring call may move, or than the input scratch holds.
        return kIOReturnBadArgument;
    }
    if (shared::load(out->mNotification) != 0) {
        shared::store(out->mNotification, 0);
    }
    OSStatus status = 0;
    if (operation == kRead) {
        const Float64 s = cycle.mInputTime.mSampleTime;
        const Float64 expected = mLastInputSampleTime + mLastInputFrames;
        const uint64_t t1 = hc::now();
        mLastInputSampleTime = s;
        mLastInputFrames = frames;
        status = ReadInputData(frames, s, mainBuffer);
        const uint64_t t2 = hc::now();
        if (s != expected && mStats.inputCycles != 0) {
            ++mStats.inputOverloads;
            platform::syslog(kError,
                             "%llu IO Operation Input overload: request %u at %.0f cycle %llu,drop %.0f frames, "
                             "elapsed %.2f us (%d)\n",
                             static_cast<unsigned long long>(nowMs()), frames, s,
                             static_cast<unsigned long long>(mStats.inputCycles), s - expected - frames,
                             static_cast<double>(t2 - t1) / 1000.0, static_cast<int>(mStats.inputOverloads));
        }
        ++mStats.inputCycles;
    } else {
        const Float64 s = cycle.mOutputTime.mSampleTime;
        const Float64 expected = mLastOutputSampleTime + mLastOutputFrames;
        const uint64_t t1 = hc::now();
        status = WriteOutputData(frames, s, mainBuffer);
        const uint64_t t2 = hc::now();
        mLastOutputSampleTime = s;
        mLastOutputFrames = frames;
        if (s != expected && mStats.outputCycles != 0) {
            ++mStats.outputOverloads;
            platform::syslog(kError,
                             "%llu IO Operation Output overload: %d at %.0f cycle %llu, drop %.0f frames, elapsed "
                             "%.2f us (%d)\n",
                             static_cast<unsigned long long>(nowMs()), static_cast<int>(frames), s,
                             static_cast<unsigned long long>(mStats.outputCycles), s - expected - frames,
                             static_cast<double>(t2 - t1) / 1000.0, static_cast<int>(mStats.outputOverloads));
        }
        ++mStats.outputCycles;
    }
    return status;
}

// Under "Device IO", rings mapped.
OSStatus QzASPlugInDevice::ReadInputData(UInt32 frames, Float64 sampleTime, void* buffer)
{
    AudioSM* in = mInputRing.load();
    const uint32_t reported = static_cast<uint32_t>(std::max(mReported.iInChannels, 0));
    const uint32_t frameSamples = reported * static_cast<uint32_t>(mInputBytesPerSample) / 4;
    auto* main = static_cast<int32_t*>(buffer);
    if (reported == 0) {
        return 0;
    }
    const bool elektron = mDevice->isElektronOverbridge();
    const AudioSM::Geometry g = in->geometry();
    // The ring's channel count is the kernel's to change: a ring that no longer matches the
    // host's buffer gives silence rather than a copy of the wrong size.
    const uint32_t deviceChannels = elektron ? static_cast<uint32_t>(std::max(mCurrent.iInChannels, 0)) : reported;
    if (!g.usable() || g.channels != deviceChannels) {
        std::memset(main, 0, size_t{frames} * frameSamples * 4);
        ++mStats.inputUnderruns;
        return 0;
    }
    int64_t position = static_cast<int64_t>(mStartOffset) + frameOf(sampleTime);
    uint64_t r = static_cast<uint64_t>(position);
    if (mStats.inputCycles == 0) {
        const int32_t have = static_cast<int32_t>(in->getFramePos() - r);
        const long long since = static_cast<long long>((hc::now() - mLastZeroHostTime) / 1'000'000);
        const int32_t should = static_cast<int32_t>(since * mCurrent.iFrequency / 1000);
        const int64_t end = static_cast<int64_t>(frames) + frameOf(sampleTime);
        platform::syslog(kAlert,
                         "In: @%lld sampleTime %0.f dTime=%lld shouldHave %d have %d diff %d  request %d diff %d "
                         "safety %d margin %d [%lld %0.f]\n",
                         nowMs(), sampleTime, since, should, have, should - have, static_cast<int>(end),
                         static_cast<int>(should - end), static_cast<int>(mLatencies.inputSafetyOffset),
                         static_cast<int>(have - end), static_cast<long long>(mLastZeroHostTime / 1'000'000),
                         mLastZeroSampleTime);
    }
    int32_t* destination = elektron ? mInputScratch.data() : main;
    uint32_t remaining = frames;
    int tries = 0;
    while (remaining > 0 && tries < 2) {
        const int32_t available = static_cast<int32_t>(in->getFramePos() - r);
        const uint32_t n = available >= static_cast<int32_t>(remaining) ? remaining
                                                                        : static_cast<uint32_t>(std::max(available, 0));
        if (n > 0) {
            in->readFromKernel(g, r, destination, n, mInputCopy, mInputBytesPerSample);
            destination += size_t{n} * g.channels;
            remaining -= n;
        }
        if (remaining > 0) {
            ++tries;
            if (n == 0) {
                hc::sleepFor(250'000);
            }
        }
    }
    if (remaining > 0) {
        ++mStats.inputUnderruns;
        platform::syslog(kError, "DoIO In @%lld: UNDERRUN Attempt to read %u frames at %u missed %u BS %d (%d)\n",
                         nowMs(), frames, static_cast<unsigned>(static_cast<uint64_t>(position)), remaining,
                         static_cast<int>(frames), static_cast<int>(mStats.inputUnderruns));
        std::memset(destination, 0, size_t{remaining} * g.channels * 4);
        r += remaining;
    }
    if (elektron) {
        const int32_t* from = mInputScratch.data();
        for (uint32_t f = 0; f < frames; ++f) {
            uint32_t next = 0;
            for (uint32_t c = 0; c < reported; ++c) {
                const bool used = c < QZ_Elektron_ChannelMap::kUsageListSize && mInputUsage[c] && next < g.channels;
                main[size_t{f} * reported + c] = used ? from[next++] : 0;
            }
            from += g.channels;
        }
    }
    shared::store(mOutputRing.load()->mClientFramePos, r);
    return 0;
}

// Under "Device IO", rings mapped.
OSStatus QzASPlugInDevice::WriteOutputData(UInt32 frames, Float64 sampleTime, void* buffer)
{
    AudioSM* out = mOutputRing.load();
    const uint32_t reported = static_cast<uint32_t>(std::max(mReported.iOutChannels, 0));
    auto* samples = static_cast<int32_t*>(buffer);
    if (mInStreamingSuspended.load()) {
        std::memset(samples, 0, size_t{frames} * reported * 4);
        platform::syslog(kWarning, "@%lld WriteOutputData streaming suspended!\n", nowMs());
    }
    const AudioSM::Geometry g = out->geometry();
    const uint64_t consumed = shared::load(out->mOutputPos);
    const int64_t position = static_cast<int64_t>(mStartOffset) + frameOf(sampleTime);
    const uint64_t w = static_cast<uint64_t>(position);
    const int32_t margin = static_cast<int32_t>(out->getFramePos() + mLatencies.outputWriteAhead - consumed);
    if (margin < 0 && mStats.outputCycles != 0) {
        ++mStats.outputUnderruns;
        platform::syslog(kError,
                         "DoIO Out %lld: UNDERRUN serving %d frames, the system needs %lu frames pos %d writePos %d "
                         "rtsFramePosOut %d cycle %llu (%d)\n",
                         static_cast<long long>(hc::now()), static_cast<int>(frames),
                         static_cast<unsigned long>(static_cast<int64_t>(frames) - margin),
                         static_cast<int>(frameOf(sampleTime)), static_cast<int>(w), static_cast<int>(consumed),
                         static_cast<unsigned long long>(mStats.outputCycles), static_cast<int>(mStats.outputUnderruns));
    }
    if (mDevice->isElektronOverbridge()) {
        for (uint32_t f = 0; f < frames; ++f) {
            int32_t* frame = samples + size_t{f} * reported;
            uint32_t next = 0;
            for (uint32_t c = 0; c < reported; ++c) {
                if (c < QZ_Elektron_ChannelMap::kUsageListSize && mOutputUsage[c]) {
                    frame[next++] = frame[c];
                }
            }
            std::fill(frame + next, frame + reported, 0);
        }
    }
    if (!g.usable() || (g.channels != reported && !mDevice->isElektronOverbridge())) {
        // The ring no longer matches what the host writes: advance without copying.
        out->writeFramesToKernelAtPos(g, nullptr, frames, w, mLatencies.outputWriteAhead, reported, mOutputCopy,
                                      mOutputBytesPerSample);
        return 0;
    }
    out->writeFramesToKernelAtPos(g, samples, frames, w, mLatencies.outputWriteAhead, reported, mOutputCopy,
                                  mOutputBytesPerSample);
    return 0;
}
