// Interrupt audio: interleaved 32-bit PCM over an interrupt IN and an interrupt OUT pipe (no
// converters). The start, the chains of three transfers each way (four input and eight output
// blocks), their completions with the drift guard, the stop, and the real-time service that copies
// written input packets into the input ring and mixes client output straight into output packets.
//
// Threads: as for bulk audio (VKDeviceBulk.cpp): start and stop on request threads, completions
// and the service under the real-time mark.
#include <algorithm>
#include <cstring>

#include "AudioSM.h"
#include "DriverData.h"
#include "IOKit/IOBufferMemoryDescriptor.h"
#include "IOKit/IOLib.h"
#include "IOKit/usb/IOUSBPipe.h"
#include "KeThread.h"
#include "SharedAccess.h"
#include "VKDevice.h"
#include "VKDeviceOwner.h"
#include "mach/mach_time.h"
#include "platform/RealTime.h"

namespace {

constexpr uint32_t kTransfersInFlight = 3;
constexpr uint32_t kChunkPackets = 4;
constexpr uint32_t kChunkBytes = 8192;

uint32_t channelsOr2(int32_t channels)
{
    return channels > 0 ? static_cast<uint32_t>(channels) : 2;
}

// A packet of this pipe holds whole frames of `channels` 32-bit samples (and room for the markers).
bool packetFits(const VKPipeDescriptor* pipe, uint32_t channels)
{
    const uint32_t packet = pipe->getMaxPacketSize();
    return packet >= AudioIRP::kMarkerBytes && packet >= 4 * channels && packet % (4 * channels) == 0;
}

} // namespace

void VKDevice::interruptAudioInitIRPS(char)
{
    bool ok = true;
    for (AudioInterruptIRP& block : mBulkInterrupt.interruptIn) {
        if (!block.isClaimed()) {
            block.init(true);
        }
        if (mChosen.interruptInPipe != nullptr) {
            ok = block.allocData(mChosen.interruptInPipe, "AudioInterruptIRP") && ok;
        }
    }
    for (AudioInterruptIRP& block : mBulkInterrupt.interruptOut) {
        if (!block.isClaimed()) {
            block.init(false);
        }
        if (mChosen.interruptOutPipe != nullptr) {
            ok = block.allocData(mChosen.interruptOutPipe, "AudioInterruptIRP") && ok;
        }
    }
    if (!ok) {
        IOLog("FATAL: VKKernelDevice::interruptAudioInitIRPS failed\n");
    }
}

bool VKDevice::interruptAudioRun()
{
    VKBulkInterruptStreams& b = mBulkInterrupt;
    VKPipeDescriptor* in = mChosen.interruptInPipe;
    VKPipeDescriptor* out = mChosen.interruptOutPipe;
    const QzChannelSettings s = *getCurrentSettings();
    const uint32_t rate = s.iFrequency > 0 ? static_cast<uint32_t>(s.iFrequency) : 0;
    mOwner.setFrequency(in, nullptr, rate);
    mOwner.setFrequency(nullptr, out, rate);
    IOLog("USB: %s %d\n", "getFrequency returned ", rate);
    if (in == nullptr || out == nullptr) {
        IOLog("VKDevice::interruptAudioRun() - NO PIPES \n");
        return false;
    }
    IOSleep(100);
    IOLog("USB: %s %d\n", "NUM INPUTS is ", s.iInChannels);
    mInputDmaChannels = 2;
    const uint32_t outChannels = channelsOr2(s.iOutChannels);
    const uint32_t inChannels = channelsOr2(s.iInChannels != 0 ? s.iInChannels : s.iOutChannels);
    // Packets that hold no whole frame (or not the markers) cannot stream: refused, not divided by.
    if (!packetFits(out, outChannels) || !packetFits(in, inChannels)) {
        IOLog("VKDevice::interruptAudioRun: packets of %u/%u bytes do not hold frames of %u/%u channels; not "
              "started\n",
              in->getMaxPacketSize(), out->getMaxPacketSize(), inChannels, outChannels);
        return false;
    }
    b.bytesPerInterruptFromClient = out->getMaxPacketSize();
    b.interruptFramesPerOutPacket = b.bytesPerInterruptFromClient / outChannels / 4;
    b.interruptFramesIn5ms = rate * 5 / 1000;
    b.interruptOutPacketLimit = (rate * 8 / 1000) / b.interruptFramesPerOutPacket;
    b.underruns = 0;
    b.resetRequest.store(0);
    IOLog("USB: %s %d\n", "mBytesPerInterruptFromClient is ", b.bytesPerInterruptFromClient);
    if (mDmaOutBufer == nullptr || mInputScratch == nullptr) {
        IOLog("mDmaOutBufer is NULL\n");
        return false;
    }
    // Blocks of an earlier stream; a stop gave their buffers back, so they are made again here.
    uint32_t waited = 0;
    if (!waitUnclaimed(b.interruptIn, waited) || !waitUnclaimed(b.interruptOut, waited)) {
        IOLog("VKDevice::interruptAudioRun: blocks of the previous stream are still in use; not started\n");
        return false;
    }
    interruptAudioInitIRPS(0);
    for (AudioInterruptIRP* chain : {b.interruptIn, b.interruptOut}) {
        const int count = chain == b.interruptIn ? VKBulkInterruptStreams::kNumInterruptInIRPs
                                                 : VKBulkInterruptStreams::kNumInterruptOutIRPs;
        for (int i = 0; i < count; ++i) {
            chain[i].prepare();
            if (!chain[i].hasBuffer()) {
                IOLog("VKDevice::interruptAudioRun: a request block has no buffer; not started\n");
                return false;
            }
        }
    }
    b.nextInterruptIn.store(1);
    b.nextInterruptOut.store(1);
    if (mcAudioSM_In.address() != nullptr) {
        shared::store(static_cast<AudioSM*>(mcAudioSM_In.address())->mFirstInputHostTime, mach_absolute_time());
    }
    setStreamingStarted(1);
    interruptAudioGo();
    return streamingStarted() != 0;
}

void VKDevice::interruptAudioGo()
{
    if (IOUSBPipe* pipe = mChosen.interruptOutPipe->getPipe()) {
        pipe->ClearPipeStall(true);
    }
    for (uint32_t i = 0; i < kTransfersInFlight; ++i) {
        interruptAudioIn();
    }
    for (uint32_t i = 0; i < kTransfersInFlight; ++i) {
        interruptAudioOut();
    }
}

namespace {

template <typename Block, size_t N>
Block* claim(Block (&blocks)[N], uint32_t number, bool in)
{
    for (Block& block : blocks) {
        if (in ? block.useIn(number) : block.useOut(number)) {
            return &block;
        }
    }
    return nullptr;
}

} // namespace

bool VKDevice::interruptAudioIn()
{
    VKPipeDescriptor* pipe = mChosen.interruptInPipe;
    IOUSBPipe* usbPipe = pipe != nullptr ? pipe->getPipe() : nullptr;
    if (streamingStarted() == 0 || usbPipe == nullptr) {
        return false;
    }
    AudioInterruptIRP* block = claim(mBulkInterrupt.interruptIn, mBulkInterrupt.nextInterruptIn.fetch_add(1), true);
    if (block == nullptr) {
        mRealTimeRecord.count(VKRealTimeRecord::kNoFreeBlock);
        VKLogOutsideRealTime("VKDevice::interruptAudioIn() no free irp found %d\n",
                             VKBulkInterruptStreams::kNumInterruptInIRPs);
        return false;
    }
    IOUSBCompletion completion{this, &VKDevice::interruptAudioInCompletion, block};
    const IOReturn status = usbPipe->Read(block->descriptor(), 0, 0, block->bufferSize(), &completion);
    if (status != kIOReturnSuccess) {
        mRealTimeRecord.count(VKRealTimeRecord::kRefusedReads);
        VKLogOutsideRealTime("USB: %s 0x%X\n", "VKDevice::interruptAudioIn Read returned", status);
        block->unuse();
        block->mUseNumber.store(0, std::memory_order_release);
        return false;
    }
    return true;
}

bool VKDevice::interruptAudioOut()
{
    VKPipeDescriptor* pipe = mChosen.interruptOutPipe;
    IOUSBPipe* usbPipe = pipe != nullptr ? pipe->getPipe() : nullptr;
    if (streamingStarted() == 0 || usbPipe == nullptr) {
        return false;
    }
    AudioInterruptIRP* block =
        claim(mBulkInterrupt.interruptOut, mBulkInterrupt.nextInterruptOut.fetch_add(1), false);
    if (block == nullptr) {
        mRealTimeRecord.count(VKRealTimeRecord::kNoFreeBlock);
        VKLogOutsideRealTime("VKDevice::interruptAudioOut() no free irp found %d\n",
                             VKBulkInterruptStreams::kNumInterruptOutIRPs);
        return false;
    }
    IOUSBCompletion completion{this, &VKDevice::interruptAudioOutCompletion, block};
    const IOReturn status = usbPipe->Write(block->descriptor(), 0, 0, block->bufferSize(), &completion);
    if (status != kIOReturnSuccess) {
        mRealTimeRecord.count(VKRealTimeRecord::kRefusedWrites);
        VKLogOutsideRealTime("USB: %s 0x%X\n", "VKDevice::interruptAudioOut Write returned", status);
        block->unuse();
        block->mUseNumber.store(0, std::memory_order_release);
        return false;
    }
    return true;
}

void VKDevice::interruptAudioInCompletion(void* target, void* parameter, IOReturn status, UInt32 remaining)
{
    // real-time: no lock, no allocation, no wait, no log
    platform::realtime::Section realTime;
    auto* device = static_cast<VKDevice*>(target);
    auto* block = static_cast<AudioInterruptIRP*>(parameter);
    if (device == nullptr || block == nullptr) {
        return;
    }
    block->mTransferred = remaining < block->bufferSize() ? block->bufferSize() - remaining : 0;
    block->mStatus = static_cast<uint32_t>(status);
    if (status != kIOReturnAborted) {
        if (device->mpDriverData != nullptr && device->streamingStarted() != 0 && block->mTransferred > 0) {
            const uint32_t channels = std::max(device->mpDriverData->inputRing().geometry().channels, 1u);
            device->mpDriverData->inputRing().AddTimeStamp(mach_absolute_time(), block->mTransferred / channels / 4,
                                                           true);
        }
        if (status == kIOReturnSuccess) {
            device->interruptAudioIn();
        } else {
            device->mRealTimeRecord.count(VKRealTimeRecord::kTransferErrors);
            if (device->streamingStarted() != 0) {
                device->mRealTimeRecord.count(VKRealTimeRecord::kTransferBreaks);
                device->rtsStopStreamingNoWait();
                device->stcNotifyStreaming(2, 0);
            }
        }
    }
    block->mCompleted.store(1, std::memory_order_release);
    block->unuse();
}

void VKDevice::interruptAudioOutCompletion(void* target, void* parameter, IOReturn status, UInt32 remaining)
{
    // real-time: no lock, no allocation, no wait, no log
    platform::realtime::Section realTime;
    auto* device = static_cast<VKDevice*>(target);
    auto* block = static_cast<AudioInterruptIRP*>(parameter);
    if (device == nullptr || block == nullptr) {
        return;
    }
    block->mTransferred = remaining < block->bufferSize() ? block->bufferSize() - remaining : 0;
    block->mStatus = static_cast<uint32_t>(status);
    VKBulkInterruptStreams& b = device->mBulkInterrupt;
    const bool reset = b.resetRequest.load(std::memory_order_acquire) != 0;
    if (status != kIOReturnSuccess || reset) {
        // An aborted output breaks the stream too, while it runs.
        if (device->streamingStarted() != 0) {
            device->mRealTimeRecord.count(reset ? VKRealTimeRecord::kResetRequests : VKRealTimeRecord::kTransferBreaks);
            device->rtsStopStreamingNoWait();
            device->stcNotifyStreaming(2, 0);
        }
    } else if (device->streamingStarted() != 0) {
        const uint32_t done = std::min(block->mPacketsDone.load(std::memory_order_acquire), block->packets());
        if (done < block->packets()) {
            device->mRealTimeRecord.count(VKRealTimeRecord::kUnfilledOutputFrames, block->packets() - done);
        }
        device->interruptAudioOut();
        if (device->mpDriverData != nullptr) {
            device->mInterruptIOGuard.onOutputCompleted(block->packets() * b.interruptFramesPerOutPacket,
                                                        device->mpDriverData->inputRing().framePos());
        }
    }
    block->mCompleted.store(1, std::memory_order_release);
    block->unuse();
}

void VKDevice::interruptAudioStop(bool wait)
{
    for (VKPipeDescriptor* pipe : {mChosen.interruptInPipe, mChosen.interruptOutPipe}) {
        if (pipe != nullptr && pipe->getPipe() != nullptr) {
            pipe->getPipe()->Abort();
        }
    }
    uint32_t waited = 0;
    if (wait && (!waitUnclaimed(mBulkInterrupt.interruptIn, waited) ||
                 !waitUnclaimed(mBulkInterrupt.interruptOut, waited))) {
        IOLog("VKDevice::interruptAudioStop: blocks still in use after %u ms\n", waited);
    }
    // A buffer goes only once no transfer of it is outstanding; the next start makes it again.
    for (AudioInterruptIRP* chain : {mBulkInterrupt.interruptIn, mBulkInterrupt.interruptOut}) {
        const int count = chain == mBulkInterrupt.interruptIn ? VKBulkInterruptStreams::kNumInterruptInIRPs
                                                              : VKBulkInterruptStreams::kNumInterruptOutIRPs;
        for (int i = 0; i < count; ++i) {
            if (!chain[i].isClaimed()) {
                chain[i].term();
            }
        }
    }
}

// --- The interrupt stream service ---

void VKDevice::rtsInterruptOutInterruptIn(void* argument)
{
    // real-time: no lock, no allocation, no wait, no log
    platform::realtime::Section realTime;
    auto* device = static_cast<VKDevice*>(argument);
    AudioSM* ring = nullptr;
    if (!device->rtsPrepareService(&ring)) {
        return;
    }
    device->rtsProcessInterruptIn(ring);
    device->rtsProcessInterruptOut(ring);
    device->mcAudioSM_In.unlock();
}

void VKDevice::rtsProcessInterruptIn(AudioSM*)
{
    // real-time: no lock, no allocation, no wait
    VKPipeDescriptor* pipe = mChosen.interruptInPipe;
    if (pipe == nullptr || mpDriverData == nullptr || mInputScratch == nullptr) {
        return;
    }
    KernelInputRing& input = mpDriverData->inputRing();
    const uint32_t channels = input.geometry().channels != 0 ? input.geometry().channels : 2;
    const uint32_t packetBytes = pipe->getMaxPacketSize();
    const uint32_t framesPerPacket = packetBytes / channels / 4;
    if (framesPerPacket == 0 || packetBytes > kChunkBytes) {
        return;
    }
    const uint32_t chunkPackets = std::min(kChunkPackets, kChunkBytes / packetBytes);
    auto* silence = reinterpret_cast<int32_t*>(mInputScratch);
    for (;;) {
        AudioInterruptIRP* block = oldestBlock(mBulkInterrupt.interruptIn);
        if (block == nullptr || block->maxPacket() != packetBytes) {
            return;
        }
        const uint32_t packets = block->packets();
        const uint32_t done = block->mPacketsDone.load(std::memory_order_relaxed);
        uint32_t available = 0;
        uint32_t arrived = 0;
        if (block->mCompleted.load(std::memory_order_acquire) != 0) {
            available = packets;
            arrived = std::min(packets, block->mTransferred / packetBytes);
        } else {
            available = block->writtenPackets(done, block->markerStride());
            arrived = available;
        }
        if (available <= done) {
            return;
        }
        for (uint32_t p = done; p < available;) {
            const bool real = p < arrived;
            const uint32_t end = std::min(available, real ? std::min(arrived, p + chunkPackets) : p + chunkPackets);
            const uint32_t frames = (end - p) * framesPerPacket;
            const auto* samples = real ? reinterpret_cast<const int32_t*>(block->data() + p * packetBytes) : silence;
            if (!real) {
                std::memset(silence, 0, size_t{frames} * channels * sizeof(int32_t));
                mRealTimeRecord.count(VKRealTimeRecord::kMissingInputPackets, end - p);
            }
            if (mInterruptIOGuard.takeInsertion()) {
                mRealTimeRecord.count(VKRealTimeRecord::kInsertedFrames);
                input.writeFrames(samples, 1, 0, nullptr, nullptr);
            }
            input.writeFrames(samples, frames, 0, nullptr, nullptr);
            p = end;
        }
        block->mPacketsDone.store(available, std::memory_order_release);
        input.writeTimestamp(mach_absolute_time());
        if (available < packets) {
            return;
        }
        block->mUseNumber.store(0, std::memory_order_release);
    }
}

void VKDevice::rtsProcessInterruptOut(AudioSM*)
{
    // real-time: no lock, no allocation, no wait
    VKBulkInterruptStreams& b = mBulkInterrupt;
    VKPipeDescriptor* pipe = mChosen.interruptOutPipe;
    const uint32_t frames = b.interruptFramesPerOutPacket;
    if (pipe == nullptr || mpDriverData == nullptr || frames == 0) {
        return;
    }
    const uint32_t packetBytes = b.bytesPerInterruptFromClient;
    KernelInputRing& input = mpDriverData->inputRing();
    uint32_t sent = 0;
    for (;;) {
        AudioInterruptIRP* block = oldestBlock(b.interruptOut);
        if (block == nullptr || block->maxPacket() != packetBytes) {
            return;
        }
        const uint32_t total = block->packets();
        const uint32_t done = block->mPacketsDone.load(std::memory_order_relaxed);
        if (done >= total) {
            block->mUseNumber.store(0, std::memory_order_release);
            continue;
        }
        const int64_t ahead = static_cast<int64_t>(input.framePos()) + b.interruptFramesIn5ms -
                              static_cast<int64_t>(mIsoc.outputSamplePos);
        if (ahead <= 0) {
            return;
        }
        const auto wanted = static_cast<uint32_t>((ahead + frames - 1) / frames);
        if (sent >= wanted) {
            return;
        }
        int32_t availableFrames = 0;
        uint32_t clients = 0;
        mpDriverData->rtsGetMinAvailableFrames(mpDriverSM, &availableFrames, &clients, mIsoc.outputSamplePos);
        uint32_t packets = wanted - sent;
        if (clients > 0) {
            const uint32_t fromClients = static_cast<uint32_t>(std::max(availableFrames, 0)) / frames;
            if (fromClients < packets) {
                ++b.underruns;
                mRealTimeRecord.count(VKRealTimeRecord::kUnderruns);
            }
            packets = std::max(packets, fromClients);
        }
        packets = std::min({packets, b.interruptOutPacketLimit, total - done});
        if (packets == 0) {
            return;
        }
        auto* samples = reinterpret_cast<int32_t*>(block->data() + done * packetBytes);
        mpDriverData->rtsInterruptOutput(samples, packets * packetBytes / 4, mIsoc.outputSamplePos, packets * frames);
        block->mPacketsDone.store(done + packets, std::memory_order_release);
        mIsoc.outputSamplePos += uint64_t{frames} * packets;
        sent += packets;
        if (done + packets >= total) {
            block->mUseNumber.store(0, std::memory_order_release);
        }
    }
}
