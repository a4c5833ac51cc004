// The isochronous streaming service: resume, the real-time cycle that fills queued output
// packets from the clients' mix, the read and write completions that decode input into the input
// ring (without input, advance it with the output) and requeue, and stop, suspend and recovery
// after a broken stream.
//
// Threads: resume, stop, suspend and the stream-broken stages run on request threads (dispatch
// lock held); the cycle on the device's real-time thread; the completions on the bus's completion
// threads. The cycle and the completions run under the real-time mark (platform/RealTime.h): they
// take no lock (only the input ring's try-lock and the thread's service word), allocate nothing,
// wait on nothing and log nothing (what they meet is counted in mRealTimeRecord, which request
// threads report); blocks pass between them through their atomic use count and done/completed
// flags. A completion that must end the stream marks it
// stopped and aborts the transfers without waiting (rtsStopStreamingNoWait); the waiting part of
// that stop runs on the next request thread that stops or resumes.
//
// Bus frame numbers are 64-bit throughout; block start frames are compared through signed
// differences, so a counter that passes 2^32 changes nothing.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "DriverData.h"
#include "DriverSM.h"
#include "IOKit/IOBufferMemoryDescriptor.h"
#include "IOKit/IOLib.h"
#include "IOKit/usb/IOUSBPipe.h"
#include "KeThread.h"
#include "PCMCoder.h"
#include "VKDevice.h"
#include "VKDeviceOwner.h"
#include "VKFramePatternObserver.h"
#include "VKIsocRB.h"
#include "platform/RealTime.h"

namespace {

// Frames between the current frame and the first block of a stream.
constexpr uint64_t kStartLead = 50;
// A late output stream (and a refused read, re-synchronised) starts again this far ahead.
constexpr uint64_t kResyncLead = 5;
constexpr uint32_t kTransfersInFlight = 3;
// More input frame errors than this break the stream on the devices that ask for it.
constexpr uint32_t kMaxInputErrors = 40;

bool unreadable(uint64_t frame)
{
    return frame == VKDeviceOwner::kUnreadableFrame;
}

// a - b for frame numbers, wrap-safe.
int64_t frameDistance(uint64_t a, uint64_t b)
{
    return static_cast<int64_t>(a - b);
}

} // namespace

// --- Resume and start of the isochronous streams ---

void VKDevice::initFramePattern()
{
    const QzChannelSettings s = *getCurrentSettings();
    const uint32_t rate = s.iFrequency > 0 ? static_cast<uint32_t>(s.iFrequency) : 0;
    auto bytesOf = [](int32_t resolution) { return resolution > 0 ? static_cast<uint32_t>(resolution) / 8 : 0; };
    auto channelsOf = [](int32_t channels) { return static_cast<uint32_t>(std::clamp(channels, 0, kMaxChannels)); };
    mFramePatternObserver.init(rate, bytesOf(s.iInResolution), channelsOf(s.iInChannels), bytesOf(s.iOutResolution),
                               channelsOf(s.iOutChannels), isUSB2 != 0, vidpid());
}

void VKDevice::resumeStreaming()
{
    IOLog("VKDevice::resumeStreaming %d\n", m_bStreamingSuspended);
    reportRealTimeRecord();
    // A stop that a completion began finishes here, before anything starts again.
    if (stopUnfinished() != 0 && !stopStreaming(true)) {
        IOLog("VKDevice::resumeStreaming: the previous stop did not finish; not started\n");
        return;
    }
    initFramePattern();
    // Model rules the cycle and the completions follow, resolved once here.
    mIsoc.elektron = isElektron() ? 1 : 0;
    mIsoc.breaksOnInputErrors =
        isCorlanthCompatible() || hasTrait(vkdevice::kTraitBreaksOnInputErrors) ? 1 : 0;
    if (mIsoc.elektron != 0 && releaseID() != 3) {
        IOLog("VKDevice::resumeStreaming mDeviceDescriptor.m_uBcdDevice != 3\n");
        return;
    }
    m_bStreamingSuspended = 0;
    if (mcAudioSM_In.address() == nullptr) {
        IOLog("mDMAAudioInBuffer is NULL\n");
        return;
    }
    auto* ring = static_cast<AudioSM*>(mcAudioSM_In.lock());
    if (ring == nullptr) {
        IOLog("pAudioSM_In is NULL\n");
        return;
    }
    mStreamBrokenCount = 0;
    const QzChannelSettings s = *getCurrentSettings();
    const int32_t inChannels = s.iInChannels != 0 ? s.iInChannels : s.iOutChannels;
    const int32_t outChannels = s.iOutChannels != 0 ? s.iOutChannels : s.iInChannels;
    IOLog("channels in=%d, out=%d\n", inChannels, outChannels);
    mIsoc.lastServicedFrame = 0;
    mIsoc.currentFrame = 0;
    mIsoc.outputSamplePos = 0;
    mIsoc.outputSampleTotal = 0;
    const int32_t rate = std::max(s.iFrequency, 0);
    mBulkIOGuard.reset(static_cast<uint32_t>(rate));
    mInterruptIOGuard.reset(static_cast<uint32_t>(rate));
    mBulkInterrupt.resetRequest.store(0);
    IOLog("mBulkIOGuard_CiticalPoint:%d mBulkIOGuard_CiticalPointLow:%d\n", mBulkIOGuard.criticalPoint,
          mBulkIOGuard.lowMark);
    mOwner.setChannelSettingsProperty();
    mOwner.setAqExtDataProperty();
    if (mpDriverData != nullptr) {
        mpDriverData->inputRing().init(ring, static_cast<uint32_t>(std::clamp(inChannels, 0, kMaxChannels)),
                                       static_cast<uint32_t>(rate), 0);
    }

    if (mIsoc.elektron != 0) {
        IOLog("Analog4: config:%d freq:%d in:%d/%d out:%d/%d\n", s.uConfiguration, s.iFrequency, s.iInChannels,
              s.iInResolution, s.iOutChannels, s.iOutResolution);
        const VKInterfaceDescriptor* streaming[2] = {mChosen.inInterface, mChosen.outInterface};
        const int32_t resolution[2] = {s.iInResolution, s.iOutResolution};
        for (int i = 0; i < 2; ++i) {
            if (streaming[i] != nullptr) {
                UInt32 length = 0;
                mOwner.deviceRequest(kVKDirectionOut, kVKTypeVendor, kVKRecipientInterface, 0,
                                     static_cast<UInt16>(resolution[i]), streaming[i]->getInterfaceNumber(), nullptr,
                                     length, 5);
            }
        }
        if (mpDriverSM != nullptr) {
            const QZ_Elektron_ChannelMap map = mpDriverSM->mElektronMap;
            setElektronChannelMap(map, true);
        }
    }
    if (isCorlanthCompatible() && !isTessalyCompatible()) {
        const uint32_t hz = static_cast<uint32_t>(rate);
        mOwner.setFrequency(mChosen.inPipeIsoc, mChosen.bulkInPipe, hz);
        mOwner.setFrequency(mChosen.outPipeIsoc, mChosen.bulkOutPipe, hz);
    }

    const bool bulkIn = mChosen.bulkInPipe != nullptr;
    const bool bulkOut = mChosen.bulkOutPipe != nullptr;
    const bool isocIn = mChosen.inPipeIsoc != nullptr;
    const bool isocOut = mChosen.outPipeIsoc != nullptr;
    // The mode by the pipes: what starts, and the service the real-time thread runs.
    const char* mode = nullptr;
    bool started = false;
    KeThreadService service = nullptr;
    if (isocIn && bulkOut) {
        // Isochronous input, bulk output: the bulk service runs the output (its input part finds
        // no bulk input), so that pending clients start and output blocks are filled and freed.
        mode = "MIXED PROCESSING";
        started = bulkAudioRun() && rtsIsocAudioRun();
        service = &VKDevice::rtsBulkOutBulkIn;
    } else if (isocOut && bulkIn) {
        mode = "MIXED PROCESSING ISOC OUT and BULK IN";
        started = bulkAudioRun() && rtsIsocAudioRun();
        service = &VKDevice::rtsIsocOutBulkIn;
    } else if (isocIn || isocOut) {
        mode = "PROCESSING ISOC IN AND OUT";
        started = rtsIsocAudioRun();
        service = &VKDevice::rtsIsocOutIsocIn;
    } else if (!bulkIn && !bulkOut) {
        if (mChosen.interruptInPipe == nullptr || mChosen.interruptOutPipe == nullptr) {
            mcAudioSM_In.unlock();
            return;
        }
        mode = "PROCESSING INTERRUPT IN AND OUT";
        started = interruptAudioRun();
        service = &VKDevice::rtsInterruptOutInterruptIn;
    } else {
        mode = "PROCESSING BULK IN AND OUT";
        started = bulkAudioRun();
        const bool bulkPipes = (bulkIn && !mChosen.bulkInPipe->isInterruptPipe()) ||
                               (bulkOut && !mChosen.bulkOutPipe->isInterruptPipe());
        if (started && bulkPipes && mChosen.outPipeIsocKeepAlive != nullptr) {
            rtsIsocAudioRunKeepAlive();
        }
        service = &VKDevice::rtsBulkOutBulkIn;
    }
    IOLog("USB: %s\n", mode);
    mcAudioSM_In.unlock();
    if (!started) {
        // Nothing of a stream that could not start stays queued or marked started.
        if (streamingStarted() != 0 || bulkIn || bulkOut || mChosen.interruptInPipe != nullptr) {
            rtsStopStreamingNoWait();
        }
        IOLog("VKDevice::resumeStreaming: the stream did not start\n");
        return;
    }
    if (mThread != nullptr) {
        mThread->setService(service);
    }
    onStreamingStarted();
}

bool VKDevice::rtsIsocAudioRun()
{
    const uint64_t current = mOwner.getCurrentFrame();
    if (unreadable(current)) {
        IOLog("void VKDevice::rtsIsocAudioRun() failed - uCurrentFrame = 0xFFFFFFFF\n");
        return false;
    }
    const uint64_t first = current + kStartLead;
    IOLog("USB: %s %llu\n", "uNextFrame=", static_cast<unsigned long long>(first));
    for (IsocData* stream : {&mIsoc.in, &mIsoc.feedback, &mIsoc.out}) {
        stream->initForStream(first);
    }
    if (mChosen.inPipeIsoc == nullptr && mChosen.outPipeIsoc == nullptr) {
        IOLog("VKDevice::rtsIsocAudioRun() - NO PIPES \n");
        return false;
    }
    setStreamingStarted(1);
    mIsoc.syncToOutput.store(0);
    mIsoc.inputOnly.store(0);
    if (mChosen.inPipeFeedback != nullptr) {
        requestIOFeedback();
        requestIOFeedback();
    }
    if (mChosen.inPipeIsoc != nullptr) {
        mIsoc.inputOnly.store(mChosen.outPipeIsoc == nullptr ? 1 : 0);
        for (uint32_t i = 0; i < kTransfersInFlight; ++i) {
            rtsRequestIn();
        }
    }
    if (mChosen.outPipeIsoc != nullptr) {
        if (mChosen.bulkInPipe == nullptr && mChosen.inPipeIsoc == nullptr) {
            IOLog("USB: %s\n", "SYNC_TO_OUTPUT");
            mIsoc.syncToOutput.store(1);
        }
        for (uint32_t i = 0; i < kTransfersInFlight; ++i) {
            rtsRequestOut();
        }
    }
    // A read the bus refused twice has already ended the stream.
    return streamingStarted() != 0;
}

bool VKDevice::rtsIsocAudioRunKeepAlive()
{
    IOLog("USB: %s\n", "starting keep alive stream...");
    if (mChosen.outPipeIsocKeepAlive == nullptr) {
        IOLog("VKDevice::rtsIsocAudioRunKeepAlive() - NO PIPES \n");
        return false;
    }
    const uint64_t current = mOwner.getCurrentFrame();
    if (unreadable(current)) {
        return false;
    }
    mIsoc.keepAlive.initForStream(current + kStartLead);
    setStreamingStarted(1);
    for (uint32_t i = 0; i < kTransfersInFlight; ++i) {
        rtsRequestOutKeepAlive();
    }
    return true;
}

// --- Queueing ---

namespace {

// Queues a prepared block on its pipe. The block is held twice before the bus sees it (the
// completion gives back one use, the decode or the last fill the other), so a completion that
// comes at once cannot free it under the caller. A refused block is left with the one use `next`
// gave it.
IOReturn submitBlock(VKDevice& device, VKIsocRB& block, bool read, IOUSBLowLatencyIsocCompletionAction action,
                     uint32_t updateFrequency)
{
    IOUSBPipe* pipe = block.mPipe != nullptr ? block.mPipe->getPipe() : nullptr;
    if (pipe == nullptr) {
        return kIOReturnNotOpen;
    }
    IOUSBLowLatencyIsocCompletion completion{&device, action, &block};
    block.markQueued();
    const IOReturn status =
        read ? pipe->Read(block.mpBuffer, block.mStartFrame, block.mNumFrames, block.mFrames, &completion,
                          updateFrequency)
             : pipe->Write(block.mpBuffer, block.mStartFrame, block.mNumFrames, block.mFrames, &completion,
                           updateFrequency);
    if (status != kIOReturnSuccess) {
        block.mbDone.store(true, std::memory_order_release);
        block.unuse(nullptr);
    }
    return status;
}

} // namespace

bool VKDevice::rtsRequestIn()
{
    // Real-time (from a read completion) or request thread (the start of the stream).
    if (streamingStarted() == 0) {
        VKLogOutsideRealTime("VKDevice::rtsRequestIn - !m_bStreamingStarted\n");
        return false;
    }
    if (mChosen.inPipeIsoc == nullptr) {
        VKLogOutsideRealTime("VKDevice::rtsRequestIn - !m_pcInPipeIsoc\n");
        return false;
    }
    VKIsocRB* block = mIsoc.in.next();
    if (block == nullptr) {
        // The read chain is one block shorter: input frames will be missing.
        mRealTimeRecord.count(VKRealTimeRecord::kNoFreeBlock);
        VKLogOutsideRealTime("VKDevice::rtsRequestIn - NO FREE IsocRB found\n");
        return false;
    }
    if (!block->mbInit) {
        mRealTimeRecord.count(VKRealTimeRecord::kNoFreeBlock);
        VKLogOutsideRealTime("VKDevice::rtsRequestIn - IsocRB not inititalized\n");
        block->unuse(nullptr);
        return false;
    }
    block->initRead();
    const uint32_t update = isUSB2 != 0 ? 4 : 1;
    IOReturn status = submitBlock(*this, *block, true, &VKDevice::rtsIsoReadCompleteStatic, update);
    if (status != kIOReturnSuccess) {
        VKLogOutsideRealTime("VKDevice::rtsRequestIn isoc read failed with status %08X\n", status);
        mRealTimeRecord.count(VKRealTimeRecord::kRefusedReads);
        // The read chain must not shrink silently: once more, from a start frame just ahead of the
        // bus (the input stream skips the frames in between).
        const uint64_t current = mOwner.getCurrentFrame();
        if (unreadable(current)) {
            mRealTimeRecord.count(VKRealTimeRecord::kUnreadableFrames);
        } else {
            block->mStartFrame = current + kResyncLead;
            mIsoc.in.mNextStartFrame = block->mStartFrame + VKIsocRB::kFramesPerBlock;
            status = submitBlock(*this, *block, true, &VKDevice::rtsIsoReadCompleteStatic, update);
        }
    }
    if (status != kIOReturnSuccess) {
        block->unuse(nullptr);
        VKLogOutsideRealTime("VKDevice::rtsRequestIn: STC_STREAM_BROKEN\n");
        rtsBreakStream();
        return false;
    }
    return true;
}

bool VKDevice::rtsRequestOut()
{
    if (streamingStarted() == 0 || mChosen.outPipeIsoc == nullptr || mpDriverData == nullptr) {
        return false;
    }
    VKIsocRB* block = mIsoc.out.next();
    if (block == nullptr || !block->mbInit) {
        // The write chain is one block shorter: output frames will be missing.
        mRealTimeRecord.count(VKRealTimeRecord::kNoFreeBlock);
        VKLogOutsideRealTime("USB: %s\n", "OUTPUT: NO FREE IsocRB found !!!!!!!!!!");
        if (block != nullptr) {
            block->unuse(nullptr);
        }
        return false;
    }
    if (mIsoc.elektron != 0) {
        block->initWrite_Elektron(mFramePatternObserver, mIsoc.outputSampleTotal, mFramePatternObserver.mOutChannels);
    } else {
        block->initWrite_Std(mFramePatternObserver, mIsoc.outputSampleTotal);
    }
    const uint32_t update = isUSB2 != 0 ? 4 : 1;
    IOReturn status = submitBlock(*this, *block, false, &VKDevice::rtsIsoWriteCompleteStatic, update);
    if (status != kIOReturnSuccess) {
        VKLogOutsideRealTime("VKDevice::rtsRequestOut isoc write failed with status %08X\n", status);
        mRealTimeRecord.count(VKRealTimeRecord::kRefusedWrites);
        // As for reads: once more just ahead of the bus, so that an output-only stream cannot end
        // silently when the bus refuses its writes.
        const uint64_t current = mOwner.getCurrentFrame();
        if (unreadable(current)) {
            mRealTimeRecord.count(VKRealTimeRecord::kUnreadableFrames);
        } else {
            block->mStartFrame = current + kResyncLead;
            mIsoc.out.mNextStartFrame = block->mStartFrame + VKIsocRB::kFramesPerBlock;
            status = submitBlock(*this, *block, false, &VKDevice::rtsIsoWriteCompleteStatic, update);
        }
    }
    if (status != kIOReturnSuccess) {
        block->unuse(nullptr);
        VKLogOutsideRealTime("VKDevice::rtsRequestOut: STC_STREAM_BROKEN\n");
        rtsBreakStream();
        return false;
    }
    return true;
}

bool VKDevice::rtsRequestOutKeepAlive()
{
    if (streamingStarted() == 0 || mChosen.outPipeIsocKeepAlive == nullptr) {
        return false;
    }
    VKIsocRB* block = mIsoc.keepAlive.next();
    if (block == nullptr || !block->mbInit) {
        mRealTimeRecord.count(VKRealTimeRecord::kNoFreeBlock);
        VKLogOutsideRealTime("rtsRequestOutKeepAlive: NO FREE IsocRB found\n");
        if (block != nullptr) {
            block->unuse(nullptr);
        }
        return false;
    }
    block->initWriteKeepAlive();
    const IOReturn status =
        submitBlock(*this, *block, false, &VKDevice::rtsIsoWriteKeepAliveCompleteStatic, isUSB2 != 0 ? 4 : 1);
    if (status != kIOReturnSuccess) {
        mRealTimeRecord.count(VKRealTimeRecord::kRefusedWrites);
        VKLogOutsideRealTime("USB: %s 0x%X\n",
                             "VKDevice::rtsRequestOutKeepAlive isoc write failed with status", status);
        block->unuse(nullptr);
        return false;
    }
    // Nothing fills a keep-alive block: the use a fill would give back is given back now, so the
    // completion frees the block for the next write.
    block->mbDone.store(true, std::memory_order_release);
    block->unuse(nullptr);
    return true;
}

// --- The real-time cycle ---

void VKDevice::rtsIsocOutIsocIn(void* argument)
{
    // real-time: no lock, no allocation, no wait, no log
    platform::realtime::Section realTime;
    auto* device = static_cast<VKDevice*>(argument);
    AudioSM* ring = nullptr;
    if (!device->rtsPrepareService(&ring)) {
        return;
    }
    if (device->mIsoc.elektron != 0) {
        device->rtsProcessIsocOut_Elektron(ring);
    } else {
        device->rtsProcessIsocOut_Std(ring);
    }
    device->mcAudioSM_In.unlock();
}

bool VKDevice::rtsPrepareService(AudioSM** ring)
{
    // real-time: no lock, no allocation, no wait
    if (streamingStarted() == 0 || ring == nullptr) {
        return false;
    }
    const uint64_t current = mOwner.getCurrentFrame();
    if (unreadable(current)) {
        mRealTimeRecord.count(VKRealTimeRecord::kUnreadableFrames);
        return false;
    }
    if (current == mIsoc.lastServicedFrame) {
        return false;
    }
    mIsoc.lastServicedFrame = current;
    mIsoc.currentFrame = current;
    *ring = static_cast<AudioSM*>(mcAudioSM_In.lock());
    if (*ring == nullptr) {
        return false;
    }
    if (mpDriverData != nullptr) {
        uint64_t hostTime = 0;
        uint64_t samplePosition = 0;
        mpDriverData->inputRing().GetLastTimeStamp(hostTime, samplePosition);
        mpDriverData->rtsCheckAttachClients(samplePosition, mIsoc.outputSamplePos, hostTime);
    }
    return true;
}

namespace {

// Records of one fill unit: a whole millisecond (8 microframe records in microframe mode).
uint32_t recordsPerUnit(const VKIsocRB& block)
{
    return block.mbMicroFrames ? VKIsocRB::kMicroframesPerFrame : 1;
}

// A record of `block` at unit index `unitIndex` is urgent when it goes out within 2 frames.
bool urgentRecord(uint64_t currentFrame, const VKIsocRB& block, uint32_t unitIndex)
{
    return frameDistance(currentFrame + 3, block.mStartFrame) - static_cast<int64_t>(unitIndex) >= 1;
}

} // namespace

// The output fill shared by both packet layouts. `fillUnit(block, record, frames)` fills one unit
// (answering its sample frames); `unitFrames(block, record)` answers what the unit needs.
template <typename UnitFrames, typename FillUnit>
static void fillOutput(VKDevice& device, UnitFrames unitFrames, FillUnit fillUnit)
{
    // real-time: no lock, no allocation, no wait
    uint32_t filledThisCycle = 0;
    for (;;) {
        VKIsocRB* block = device.mIsoc.out.getEarliestUnprocessed();
        if (block == nullptr) {
            return;
        }
        int32_t available = 0;
        uint32_t clients = 0;
        device.mpDriverData->rtsGetMinAvailableFrames(device.mpDriverSM, &available, &clients,
                                                      device.mIsoc.outputSamplePos);
        const uint32_t unit = recordsPerUnit(*block);
        const uint32_t records = std::min(block->mNumFrames, VKIsocRB::kMaxFrames);
        bool finished = false;
        for (uint32_t record = block->mProcessedFrames; record + unit <= records; record += unit) {
            const bool urgent = urgentRecord(device.mIsoc.currentFrame, *block, record / unit);
            if (filledThisCycle >= 5 && !urgent) {
                break;
            }
            const uint32_t frames = unitFrames(*block, record, unit);
            if (!urgent && static_cast<int64_t>(available) < static_cast<int64_t>(frames)) {
                break;
            }
            fillUnit(*block, record, unit, frames, clients);
            // A unit whose frame had begun by the end of its fill may have gone out before it.
            const uint64_t now = device.mOwner.getCurrentFrame();
            if (!unreadable(now) && frameDistance(now, block->mStartFrame + record / unit) >= 0) {
                device.mRealTimeRecord.count(VKRealTimeRecord::kUnfilledOutputFrames, unit);
            }
            if (clients > 0) {
                available -= static_cast<int32_t>(frames);
            }
            device.mIsoc.outputSamplePos += frames;
            ++filledThisCycle;
            block->mProcessedFrames = record + unit;
            if (record + unit >= records) {
                block->mbDone.store(true, std::memory_order_release);
                block->unuse(nullptr);
                finished = true;
            }
        }
        if (!finished || filledThisCycle == 0 || filledThisCycle > 4) {
            return;
        }
    }
}

void VKDevice::rtsProcessIsocOut_Std(AudioSM*)
{
    // real-time: no lock, no allocation, no wait
    if (mpDriverData == nullptr) {
        return;
    }
    auto unitBytes = [](const VKIsocRB& block, uint32_t record, uint32_t unit) {
        uint32_t bytes = 0;
        for (uint32_t k = record; k < record + unit; ++k) {
            bytes += block.mFrames[k].frReqCount;
        }
        return bytes;
    };
    auto unitFrames = [&](const VKIsocRB& block, uint32_t record, uint32_t unit) {
        const uint32_t bytesPerFrame = block.mOutBytesPerSampleFrame;
        return bytesPerFrame != 0 ? unitBytes(block, record, unit) / bytesPerFrame : 0;
    };
    auto fillUnit = [&](VKIsocRB& block, uint32_t record, uint32_t unit, uint32_t frames, uint32_t clients) {
        if (clients == 0 || frames == 0) {
            return; // the packet keeps the zeros of its last completion
        }
        // The unit's packets lie one after another in the block's buffer.
        mpDriverData->rtsIsocOutput(block.frameData(record), unitBytes(block, record, unit), mIsoc.outputSamplePos,
                                    frames, nullptr);
    };
    fillOutput(*this, unitFrames, fillUnit);
}

void VKDevice::rtsProcessIsocOut_Elektron(AudioSM*)
{
    // real-time: no lock, no allocation, no wait
    if (mpDriverData == nullptr) {
        return;
    }
    constexpr uint32_t kHeader = VKIsocRB::kElektronHeaderSize;
    // Sample frames of one packet: after its header, or the pattern's count without output channels.
    auto packetFrames = [](const VKIsocRB& block, uint32_t k) -> uint32_t {
        const uint32_t bytes = block.mFrames[k].frReqCount;
        if (block.mOutChannels == 0) {
            return block.mFrameSamples[k];
        }
        return bytes > kHeader && block.mOutBytesPerSampleFrame != 0 ? (bytes - kHeader) / block.mOutBytesPerSampleFrame
                                                                     : 0;
    };
    auto unitFrames = [&](const VKIsocRB& block, uint32_t record, uint32_t unit) {
        uint32_t frames = 0;
        for (uint32_t k = record; k < record + unit; ++k) {
            frames += packetFrames(block, k);
        }
        return frames;
    };
    auto fillUnit = [&](VKIsocRB& block, uint32_t record, uint32_t unit, uint32_t, uint32_t clients) {
        uint64_t position = mIsoc.outputSamplePos;
        for (uint32_t k = record; k < record + unit; ++k) {
            const uint32_t bytes = block.mFrames[k].frReqCount;
            if (bytes < kHeader) {
                continue;
            }
            uint8_t* packet = block.frameData(k);
            const uint32_t frames = std::min(packetFrames(block, k), VKIsocRB::kElektronMaxSamples);
            std::memset(packet + VKIsocRB::kElektronTrailerOffset, 0, 4);
            uint8_t* extra = packet + VKIsocRB::kElektronExtrasOffset;
            if (clients > 0 && frames > 0) {
                mpDriverData->rtsIsocOutput(packet + kHeader, bytes - kHeader, position, frames, extra);
            }
            for (uint32_t i = 0; i < frames * 2; ++i) {
                if (extra[i] != 0) {
                    packet[1] = static_cast<uint8_t>(i);
                    break;
                }
            }
            position += packetFrames(block, k);
        }
    };
    fillOutput(*this, unitFrames, fillUnit);
}

// --- Input ---

void VKDevice::rtsProcessIsocIn_Std(AudioSM* ring, VKIsocRB* block)
{
    // real-time: no lock, no allocation, no wait
    if (ring == nullptr || block == nullptr || mpDriverData == nullptr) {
        return;
    }
    const PCMDecoder decoder = mIsoc.in.mDecoder;
    auto* samples = reinterpret_cast<int32_t*>(mIsoc.in.mpUSBFrameInData);
    if (decoder == nullptr || samples == nullptr) {
        return;
    }
    KernelInputRing& input = mpDriverData->inputRing();
    const uint32_t channels = input.geometry().channels != 0 ? input.geometry().channels : 2;
    constexpr uint32_t capacity = IsocData::kSharedBufferSize / sizeof(int32_t);
    const uint32_t records = std::min(block->mNumFrames, VKIsocRB::kMaxFrames);
    // A unit is one millisecond: 8 microframe records, or one record of a high-speed pipe serviced
    // once a millisecond, whose count the pattern takes as a whole millisecond too.
    const bool microframes = block->mbMicroFrames;
    const bool wholeMilliseconds = microframes || block->mbUSB2;
    const uint32_t unit = microframes ? VKIsocRB::kMicroframesPerFrame : 1;
    uint64_t total = 0;
    for (uint32_t record = 0; record + unit <= records; record += unit) {
        uint32_t decoded = 0;
        for (uint32_t k = record; k < record + unit; ++k) {
            const IOUSBLowLatencyIsocFrame& f = block->mFrames[k];
            const uint32_t offset = block->mFrameOffsets[k];
            if (offset >= block->mAllocatedSize) {
                continue;
            }
            // Never more than was asked for, than the block holds, or than the decode buffer takes
            // (a decoder writes at most one sample per byte).
            uint32_t bytes = std::min<uint32_t>(f.frActCount, f.frReqCount);
            bytes = std::min(bytes, block->mAllocatedSize - offset);
            bytes = std::min(bytes, capacity - decoded);
            const _USB_DEC_DATA call{samples + decoded, block->mpBufferAddress + offset, bytes};
            decoded += std::min(decoder(&call), capacity - decoded);
        }
        uint32_t frames = decoded / channels;
        frames = wholeMilliseconds ? mFramePatternObserver.onRtsFrameMicroFrames(frames, mIsoc.in.mErrorCounter)
                                   : mFramePatternObserver.onRtsFrame(frames, mIsoc.in.mErrorCounter);
        // A repaired count longer than what arrived is made up with silence.
        frames = std::min(frames, capacity / channels);
        const uint32_t count = frames * channels;
        if (count > decoded) {
            std::memset(samples + decoded, 0, (count - decoded) * sizeof(int32_t));
        }
        runInputPostProcessor(mInputPostProcessor, samples, count, channels);
        const uint32_t peakChannels = std::min<uint32_t>(channels, kMaxChannels);
        // The level meters walk no more channels than a frame of the ring has.
        const LevelProcessor levels =
            mpAQ != nullptr && mInLevelChannels != 0 && mInLevelChannels <= channels ? mInLevelProcessor : nullptr;
        for (uint32_t frame = 0; frame < frames; ++frame) {
            const int32_t* sample = samples + frame * channels;
            for (uint32_t c = 0; c < peakChannels; ++c) {
                mInputMaxima[c] = std::max(mInputMaxima[c], sample[c]);
            }
            if (levels != nullptr) {
                levels(mpAQ->inputLevels(), reinterpret_cast<const uint8_t*>(sample));
            }
        }
        input.writeFrames(samples, frames, 0, nullptr, nullptr);
        total += frames;
    }
    const IOUSBLowLatencyIsocFrame& last = block->mFrames[records > 0 ? records - 1 : 0];
    // The anchors come from the kernel's own record: the ring's header is the processes' to scribble.
    input.writeTimestamp(last.frTimeStamp);
    input.AddTimeStamp(last.frTimeStamp, total, true);
}

void VKDevice::rtsAdvanceInputWithOutput(const VKIsocRB& block)
{
    // real-time: no lock, no allocation, no wait
    if (mpDriverData == nullptr) {
        return;
    }
    // Without input, the device's clock is the pace at which the bus takes the output: the ring
    // advances by the frames of each block sent, stamped when its last record went out, so that
    // the time stamps follow the output's clock with or without a client.
    const uint32_t records = std::min(block.mNumFrames, VKIsocRB::kMaxFrames);
    if (records == 0) {
        return;
    }
    uint32_t frames = 0;
    for (uint32_t k = 0; k < records; ++k) {
        frames += block.mFrameSamples[k];
    }
    KernelInputRing& input = mpDriverData->inputRing();
    const uint64_t sent = block.mFrames[records - 1].frTimeStamp;
    input.writeFrames(nullptr, frames, 0, nullptr, nullptr);
    input.writeTimestamp(sent);
    input.AddTimeStamp(sent, frames, true);
}

// --- Completions ---

namespace {

enum class Stream
{
    read,
    write,
    keepAlive,
};

void completeStatic(void* target, void* parameter, IOReturn, Stream stream)
{
    // real-time: no lock, no allocation, no wait, no log. A transfer's status shows in its
    // records (the frame pattern repairs what did not arrive and counts it).
    platform::realtime::Section realTime;
    auto* device = static_cast<VKDevice*>(target);
    auto* block = static_cast<VKIsocRB*>(parameter);
    if (device == nullptr || block == nullptr) {
        return;
    }
    if (block->mbCancel.load()) {
        // Reconfiguration or stop: the block only goes back.
    } else if (stream == Stream::read) {
        device->rtsIsoReadComplete(block);
    } else if (stream == Stream::write) {
        device->rtsIsoWriteComplete(block);
    } else {
        device->rtsIsoWriteKeepAliveComplete(block);
    }
    if (stream == Stream::write && !block->mbDone.load(std::memory_order_acquire) &&
        device->streamingStarted() != 0) {
        // The bus sent records the cycle had not filled yet: those frames went out wrong.
        const uint32_t records = std::min(block->mNumFrames, VKIsocRB::kMaxFrames);
        const uint32_t filled = std::min(block->mProcessedFrames, records);
        device->mRealTimeRecord.count(VKRealTimeRecord::kUnfilledOutputFrames, records - filled);
    }
    if (stream != Stream::read) {
        block->clearBuffer();
    }
    // A stopped stream neither decodes nor fills this block any more: the use its decode or last
    // fill would give back goes back now, so the block ends idle (and a block set to auto-delete at
    // termination is freed) instead of staying held.
    if (device->streamingStarted() == 0 && !block->mbDone.load(std::memory_order_acquire)) {
        block->mbDone.store(true, std::memory_order_release);
        block->unuse(nullptr);
    }
    block->setCallbackDone(nullptr);
}

} // namespace

void VKDevice::rtsIsoReadCompleteStatic(void* target, void* parameter, IOReturn status,
                                        IOUSBLowLatencyIsocFrame*)
{
    completeStatic(target, parameter, status, Stream::read);
}

void VKDevice::rtsIsoWriteCompleteStatic(void* target, void* parameter, IOReturn status,
                                         IOUSBLowLatencyIsocFrame*)
{
    completeStatic(target, parameter, status, Stream::write);
}

void VKDevice::rtsIsoWriteKeepAliveCompleteStatic(void* target, void* parameter, IOReturn status,
                                                  IOUSBLowLatencyIsocFrame*)
{
    completeStatic(target, parameter, status, Stream::keepAlive);
}

void VKDevice::rtsIsoReadComplete(VKIsocRB* block)
{
    // real-time: no lock, no allocation, no wait
    if (streamingStarted() == 0 || mChosen.inPipeIsoc == nullptr || mpDriverData == nullptr) {
        return;
    }
    auto* ring = static_cast<AudioSM*>(mcAudioSM_In.address());
    rtsProcessIsocIn_Std(ring, block);
    block->mbDone.store(true, std::memory_order_release);
    block->unuse(nullptr);
    if (mIsoc.breaksOnInputErrors != 0 && mIsoc.in.mErrorCounter > kMaxInputErrors) {
        mRealTimeRecord.count(VKRealTimeRecord::kInputErrorBreaks);
        rtsStopStreamingNoWait();
        stcNotifyStreaming(2, 0);
        return;
    }
    if (takeChannelsChanged() != 0) {
        mRealTimeRecord.count(VKRealTimeRecord::kChannelChangeBreaks);
        rtsStopStreamingNoWait();
        stcNotifyStreaming(2, 0);
        return;
    }
    rtsRequestIn();
}

namespace {

// The late check of an output stream's completion: true when the next block would start at or
// before the current frame; its start then moves to current + 5.
bool outputLate(uint64_t current, IsocData& stream, int64_t& lostFrames, int64_t& distance)
{
    distance = frameDistance(current, stream.mNextStartFrame);
    if (distance < 0) {
        return false;
    }
    lostFrames = distance + static_cast<int64_t>(kResyncLead) - 1;
    return true;
}

} // namespace

void VKDevice::rtsIsoWriteComplete(VKIsocRB* block)
{
    // real-time: no lock, no allocation, no wait
    if (block->isAutoDelete() || streamingStarted() == 0 || hardwareFailure() != 0) {
        return; // reconfiguration or stop
    }
    const uint64_t current = mOwner.getCurrentFrame();
    if (unreadable(current)) {
        mRealTimeRecord.count(VKRealTimeRecord::kUnreadableFrames);
        return;
    }
    if (mChosen.outPipeIsoc == nullptr) {
        return;
    }
    int64_t lost = 0;
    int64_t distance = 0;
    if (outputLate(current, mIsoc.out, lost, distance)) {
        mIsoc.out.mNextStartFrame = current + kResyncLead;
        // The stream as the kernel configured it: the shared block's settings are anyone's to write,
        // and their product could overflow.
        const uint64_t rate = mpDriverData != nullptr ? mpDriverData->frequency() : 0;
        const uint64_t channels = mpDriverData != nullptr ? mpDriverData->inputChannels() : 0;
        const auto frames = static_cast<uint64_t>(std::max<int64_t>(lost, 0));
        mRealTimeRecord.count(VKRealTimeRecord::kLateWrites);
        mRealTimeRecord.count(VKRealTimeRecord::kLateWriteFrames, frames);
        mRealTimeRecord.count(VKRealTimeRecord::kLateWriteSamples, frames * rate * channels / 1000);
        rtsStopStreamingNoWait();
        stcNotifyStreaming(2, 0);
        return;
    }
    if (mIsoc.syncToOutput.load(std::memory_order_relaxed) != 0) {
        rtsAdvanceInputWithOutput(*block);
    }
    rtsRequestOut();
}

void VKDevice::rtsIsoWriteKeepAliveComplete(VKIsocRB* block)
{
    // real-time: no lock, no allocation, no wait
    if (block->isAutoDelete() || streamingStarted() == 0 || hardwareFailure() != 0) {
        return; // reconfiguration or stop
    }
    const uint64_t current = mOwner.getCurrentFrame();
    if (unreadable(current)) {
        mRealTimeRecord.count(VKRealTimeRecord::kUnreadableFrames);
        return;
    }
    if (mChosen.outPipeIsocKeepAlive == nullptr) {
        return;
    }
    int64_t lost = 0;
    int64_t distance = 0;
    if (outputLate(current, mIsoc.keepAlive, lost, distance)) {
        mRealTimeRecord.count(VKRealTimeRecord::kLateWrites);
        mIsoc.keepAlive.mNextStartFrame = current + kResyncLead;
    }
    rtsRequestOutKeepAlive();
}

// --- Stop, suspend, recovery ---

void VKDevice::rtsStopStreamingNoWait()
{
    // No wait: also runs in completions. The service is cleared (a cycle running now ends by
    // itself: it sees streaming stopped at its next turn); every transfer in flight completes
    // with kIOReturnAborted.
    setStreamingStarted(0);
    setStopUnfinished(1);
    if (mThread != nullptr) {
        mThread->setService(nullptr);
    }
    // Blocks are marked cancelled only while no cycle runs: the fill and the cancel would both
    // give back a use. When the cycle holds the word now, the aborts alone end the streams; the
    // next resume sets every block idle.
    if (mThread == nullptr || mThread->tryLockService()) {
        for (IsocData* stream : {&mIsoc.in, &mIsoc.out, &mIsoc.keepAlive}) {
            stream->cancel(true);
        }
        if (mThread != nullptr) {
            mThread->unlockService();
        }
    }
    for (VKPipeDescriptor* pipe :
         {mChosen.inPipeFeedback, mChosen.outPipeIsocKeepAlive, mChosen.bulkInPipe, mChosen.bulkOutPipe, mChosen.interruptInPipe,
          mChosen.interruptOutPipe, mChosen.inPipeIsoc, mChosen.outPipeIsoc}) {
        IOUSBPipe* usbPipe = pipe != nullptr ? pipe->getPipe() : nullptr;
        if (usbPipe != nullptr) {
            usbPipe->Abort();
        }
    }
}

void VKDevice::reportRealTimeRecord()
{
    char who[32];
    std::snprintf(who, sizeof who, "VKDevice %04X:%04X", vendorID(), productID());
    mRealTimeRecord.report(who);
    if (mpDriverData != nullptr) {
        mpDriverData->reportClientsLate();
    }
}

void VKDevice::releaseUnfinishedBlocks()
{
    // No cycle runs and the streams are stopped: a block the bus gave back before its decode or
    // last fill came will get neither, so the use they held goes back here.
    for (IsocData* stream : {&mIsoc.in, &mIsoc.out, &mIsoc.keepAlive}) {
        for (VKIsocRB* block : stream->mRBs) {
            if (block != nullptr && block->isInUse() && block->mbCompleted.load(std::memory_order_acquire) &&
                !block->mbDone.load(std::memory_order_acquire)) {
                block->mbDone.store(true, std::memory_order_release);
                block->unuse(nullptr);
            }
        }
    }
}

void VKDevice::rtsBreakStream()
{
    rtsStopStreamingNoWait();
    stcNotifyStreaming(2, 0);
}

bool VKDevice::stopStreaming(bool wait)
{
    const bool begunElsewhere = stopUnfinished() != 0;
    setStreamingStarted(0);
    if (mThread != nullptr) {
        mThread->setService(nullptr);
        for (uint32_t waited = 0; !mThread->tryLockService(); waited += kServiceWaitStepMs) {
            if (waited >= kServiceWaitLimitMs) {
                // A cycle that does not end: the streams are aborted without waiting and the stop
                // stays unfinished (the next stop or start finishes it); no block is touched.
                IOLog(
                    "VKDevice::stopStreaming: the service cycle did not end within %u ms; stop unfinished\n",
                    kServiceWaitLimitMs);
                if (!begunElsewhere) {
                    rtsStopStreamingNoWait();
                }
                setStopUnfinished(1);
                reportRealTimeRecord();
                return false;
            }
            IOLog("mRTThread.serviceLock() failed\n");
            IOSleep(kServiceWaitStepMs);
        }
        mThread->unlockService();
    }
    if (!begunElsewhere) {
        rtsStopStreamingNoWait();
    }
    if (wait) {
        for (IsocData* stream : {&mIsoc.in, &mIsoc.out, &mIsoc.keepAlive}) {
            stream->cancel(false);
        }
        bulkAudioStop(true);
    }
    if (mChosen.interruptInPipe != nullptr || mChosen.interruptOutPipe != nullptr) {
        interruptAudioStop(wait);
    }
    releaseUnfinishedBlocks();
    setStopUnfinished(0);
    if (wait) {
        IOSleep(100);
    }
    onStreamingStopped();
    VKIsocRB::reclaimRetired();
    reportRealTimeRecord();
    IOLog("USB: %s\n", "END VKDevice::stopStreaming()");
    return true;
}

bool VKDevice::suspendStreaming()
{
    if (streamingStarted() == 0) {
        IOLog("USB: %s\n", "suspendStreaming: Streaming not started");
        return false;
    }
    if (m_bStreamingSuspended != 0) {
        IOLog("USB: %s\n", "suspendStreaming: Streaming already suspended");
        return false;
    }
    m_bStreamingSuspended = 1;
    if (!stopStreaming(true)) {
        return false;
    }
    if (mpDriverData != nullptr) {
        mpDriverData->reinitClientsForStreaming(*getCurrentSettings());
    }
    return true;
}

bool VKDevice::handleStreamBroken(int stage)
{
    if (stage == 1) {
        std::atomic_ref<uint32_t> counter(mStreamBrokenCount);
        const uint32_t before = counter.fetch_sub(1);
        if (before != 1) {
            counter.fetch_add(1);
            return false; // done by someone else
        }
        if ((streamingStarted() != 0 || stopUnfinished() != 0) && !stopStreaming(false)) {
            counter.fetch_add(1); // armed again: the next request retries
            return false;
        }
        if (mbWasPowerDownMode != 0 && isCorlanthCompatible() && !isMorvaneCompatible() && !isTessalyCompatible()) {
            IOLog("VKDevice::handleStreamBroken stage mbWasPowerDownMode && isCorlanthCompatible()\n");
            IOSleep(50);
            for (UInt16 alternate : {UInt16{0}, UInt16{1}}) {
                UInt32 length = 0;
                mOwner.deviceRequest(kVKDirectionOut, kVKTypeStandard, kVKRecipientInterface, 11, alternate, 1,
                                     nullptr, length, 3);
            }
        }
        mOwner.unconfigureDevice(true, "VKDevice::handleStreamBroken");
        return true;
    }
    IOLog("VKDevice::handleStreamBroken stage 2\n");
    if (mpDriverData != nullptr) {
        IOLog("handleStreamBroken: mDigitalLock=%d\n", static_cast<int>(getAqExtData()->DigitalLock));
        IOSleep(100);
        // The current settings prepared again as a new configuration: clients hear of it (state
        // change 14) before the stream starts again.
        const QzChannelSettings settings = *getCurrentSettings();
        if (onPrepareNewConfig(settings, nullptr, true)) {
            startStreamAfterConfig();
            stcNotifyStreaming(3, 0);
        } else {
            IOLog("USB: %s\n", "configureDevice failed");
        }
        if (mbWasPowerDownMode != 0) {
            mbWasPowerDownMode = 0;
            stcNotifyStreaming(0x10000, 0);
        }
    }
    return true;
}

void VKDevice::terminateIsocRqBs()
{
    IOLog("USB: %s\n", "xxxxxxxxx\nVKDevice::terminateIsocRBs()\nxxxxxxxxxxxxxx");
    for (IsocData* stream : {&mIsoc.in, &mIsoc.out, &mIsoc.keepAlive}) {
        stream->term();
    }
}
