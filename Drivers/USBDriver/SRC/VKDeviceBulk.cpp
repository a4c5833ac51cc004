// Bulk audio streaming: the start (input select, packet geometry, converter choice), the chains of
// three transfers per direction with their completions and the drift guard, the stop, and the
// bulk stream service that the real-time cycle runs: input packets decoded into the input ring as
// soon as the device has written them, output packets mixed and encoded ahead of the bus.
//
// Threads: the start, the block set-up and the waiting stop run on request threads; the
// completions on the bus's completion threads and the service on the real-time thread, both under
// the real-time mark (no lock, no allocation, no wait, no log: what they meet is counted in
// mRealTimeRecord). They meet at the blocks (AudioIRP.h), the drift guard and the reset request.
#include <algorithm>
#include <cstring>

#include "AudioSM.h"
#include "DriverData.h"
#include "IOKit/IOBufferMemoryDescriptor.h"
#include "IOKit/IOLib.h"
#include "IOKit/usb/IOUSBPipe.h"
#include "KeThread.h"
#include "PCMCoder.h"
#include "SharedAccess.h"
#include "VKDevice.h"
#include "VKDeviceOwner.h"
#include "mach/mach_time.h"
#include "platform/ProcessEnvironment.h"
#include "platform/RealTime.h"

namespace {

constexpr uint32_t kTransfersInFlight = 3;
constexpr uint32_t kBulkTimeoutMs = 50;
constexpr uint32_t kHalfPacket = 512;        // what one decoder call reads
constexpr uint32_t kEncodedBlock = 480;      // what one plane or Varnok encoder call writes
constexpr uint32_t kLargePacket = 1024;      // two halves in, two encoder blocks out
constexpr uint32_t kInterruptPacket964 = 964; // the 8-channel interrupt encoder's own layout
constexpr uint32_t kPacketsPerWrite = 8;     // decoded packets written to the ring together
constexpr uint32_t kUnderrunReset = 5001;    // underruns, and bus frames between reset marks
constexpr uint8_t kInputSelectRequest = 0x49;
constexpr uint8_t kInputSelectAlways = 0x10;
constexpr uint8_t kInputSelect16Wide = 0x20;
constexpr int kRequestRetries = 2;
// The Darwin release from which a bulk-in / isochronous-out device's input goes on after an error.
constexpr int kRequeueOnErrorRelease = 15;

struct DecoderChoice
{
    uint32_t channels;
    DMAConverterSlot* slot;
    uint32_t dmaChannels; // the input width it needs (0: any)
};

constexpr DecoderChoice kVarnokDecoders[] = {
    {32, &dmaDecode16To32At32Bit_VARNOK, 0},
    {16, &dmaDecode16To16At32Bit_VARNOK, 0},
    {8, &dmaDecode16To08At32Bit_VARNOK, 0},
};
constexpr DecoderChoice kPlaneDecoders[] = {
    {2, &dmaDecode16To02At32Bit, 16},  {4, &dmaDecode16To04At32Bit, 16},  {6, &dmaDecode16To06At32Bit, 16},
    {8, &dmaDecode16To08At32Bit, 16},  {10, &dmaDecode16To10At32Bit, 16}, {12, &dmaDecode16To12At32Bit, 16},
    {14, &dmaDecode16To14At32Bit, 16}, {16, &dmaDecode16To16At32Bit, 16}, {18, &dmaDecode32To18At32Bit, 32},
    {20, &dmaDecode32To20At32Bit, 32}, {22, &dmaDecode32To22At32Bit, 32}, {24, &dmaDecode32To24At32Bit, 32},
    {26, &dmaDecode32To26At32Bit, 32}, {28, &dmaDecode32To28At32Bit, 32}, {30, &dmaDecode32To30At32Bit, 32},
    {32, &dmaDecode32To32At32Bit, 32},
};

struct EncoderChoice
{
    uint32_t channels;
    DMAConverterSlot* slot;
};

constexpr EncoderChoice kVarnokEncoders[] = {
    {32, &dmaEncode32_VARNOK},
    {16, &dmaEncode16_VARNOK},
    {8, &dmaEncode08_VARNOK},
};
constexpr EncoderChoice kPlaneEncoders[] = {
    {2, &dmaEncode02}, {4, &dmaEncode04}, {6, &dmaEncode06}, {8, &dmaEncode08}, {10, &dmaEncode10}, {16, &dmaEncode16},
};
// By the digital-out selector (0 to 3).
DMAConverterSlot* const kSelectorPairEncoders[] = {&dmaEncode10_12, &dmaEncode10_34, &dmaEncode10_56,
                                                   &dmaEncode10_78};

template <typename Row, size_t N> const Row* rowFor(const Row (&rows)[N], uint32_t channels)
{
    for (const Row& row : rows) {
        if (row.channels == channels) {
            return &row;
        }
    }
    return nullptr;
}

uint64_t hostNow()
{
    return mach_absolute_time();
}

} // namespace

// --- Drift guard ---

void VKDriftGuard::reset(uint32_t rate)
{
    framesSent = 0;
    sentSum = 0;
    receivedSum = 0;
    windowCount = 0;
    criticalPoint = static_cast<int32_t>(rate / 700);
    lowMark = static_cast<int32_t>(rate / 1370);
    criticalPointDiff.store(0);
    windows.store(0);
    lastDiff.store(0);
    requested.store(0);
    inserted.store(0);
}

void VKDriftGuard::onOutputCompleted(uint32_t frames, uint64_t received)
{
    framesSent += frames;
    receivedSum += received;
    sentSum += framesSent;
    if (++windowCount < kWindow) {
        return;
    }
    const auto diff = static_cast<int32_t>(static_cast<int64_t>(sentSum / kWindow) -
                                           static_cast<int64_t>(receivedSum / kWindow));
    lastDiff.store(diff, std::memory_order_relaxed);
    if (diff >= criticalPoint) {
        const int32_t left = criticalPointDiff.exchange(diff - lowMark, std::memory_order_acq_rel);
        requested.fetch_add(static_cast<uint64_t>(diff - lowMark) - static_cast<uint64_t>(std::max(left, 0)),
                            std::memory_order_relaxed);
    }
    windows.fetch_add(1, std::memory_order_release);
    sentSum = 0;
    receivedSum = 0;
    windowCount = 0;
}

bool VKDriftGuard::takeInsertion()
{
    int32_t pending = criticalPointDiff.load(std::memory_order_acquire);
    while (pending > 0) {
        if (criticalPointDiff.compare_exchange_weak(pending, pending - 1, std::memory_order_acq_rel)) {
            inserted.fetch_add(1, std::memory_order_relaxed);
            return true;
        }
    }
    return false;
}

// --- Set-up ---

void VKDevice::bulkAudioInitIRPS(char)
{
    bool ok = true;
    for (AudioBulkIRP& block : mBulkInterrupt.bulkIn) {
        block.init();
        if (mChosen.bulkInPipe != nullptr) {
            ok = block.allocData(mChosen.bulkInPipe, "AudioBulkIRP") && ok;
        }
    }
    for (AudioBulkIRP& block : mBulkInterrupt.bulkOut) {
        block.init();
        if (mChosen.bulkOutPipe != nullptr) {
            ok = block.allocData(mChosen.bulkOutPipe, "AudioBulkIRP") && ok;
        }
    }
    if (!ok) {
        IOLog("FATAL: VKKernelDevice::bulkAudioInitIRPS failed\n");
    }
}

uint32_t VKDevice::setAJDMAInputChannels(uint32_t inputChannels)
{
    uint8_t select = 0;
    UInt32 length = 1;
    const IOReturn readStatus = mOwner.deviceRequest(kVKDirectionIn, kVKTypeVendor, kVKRecipientDevice,
                                                     kInputSelectRequest, 0, 0, &select, length, kRequestRetries);
    IOLog("USB: %s 0x%X 0x%X\n", "READ INPUT SELECT returned", readStatus, select);
    const bool narrow = inputChannels <= 16;
    uint8_t wanted = static_cast<uint8_t>(select | kInputSelectAlways);
    if (narrow || hasTrait(vkdevice::kTraitVarnokBulk)) {
        wanted = static_cast<uint8_t>(wanted | kInputSelect16Wide);
    } else {
        wanted = static_cast<uint8_t>(wanted & ~kInputSelect16Wide);
    }
    IOLog("USB: %s 0x%X\n", "NEW INPUT SELECT is", wanted);
    length = 0;
    const auto value = static_cast<UInt16>(static_cast<int16_t>(static_cast<int8_t>(wanted)));
    const IOReturn writeStatus = mOwner.deviceRequest(kVKDirectionOut, kVKTypeVendor, kVKRecipientDevice,
                                                      kInputSelectRequest, value, 0, nullptr, length, kRequestRetries);
    IOLog("USB: %s 0x%X\n", "WRITE INPUT SELECT returned", writeStatus);
    return narrow ? 16 : 32;
}

bool VKDevice::chooseDMADecoder()
{
    mBulkInterrupt.bulkDecoder = nullptr;
    VKPipeDescriptor* pipe = mChosen.bulkInPipe;
    if (pipe == nullptr) {
        return true;
    }
    const int32_t configured = getCurrentSettings()->iInChannels;
    const uint32_t channels = configured > 0 ? static_cast<uint32_t>(configured) : 0;
    const DecoderChoice* row = nullptr;
    if (hasTrait(vkdevice::kTraitVarnokBulk)) {
        IOLog("chooseDMADecoder for PROD_QUENZAR_VARNOK_ZELTA chan:%d\n", channels);
        row = rowFor(kVarnokDecoders, channels);
        if (row == nullptr) {
            IOLog("chooseDMADecoder for PROD_QUENZAR_VARNOK_ZELTA chan:%d not supported\n", channels);
            return false;
        }
    } else {
        row = rowFor(kPlaneDecoders, channels);
        if (row == nullptr) {
            IOLog("USB: %s %d\n", "DMA INPUT invalid channel number", channels);
            return false;
        }
        if (row->dmaChannels != mInputDmaChannels) {
            IOLog("USB: %s %d %d\n", "DMA INPUT invalid channel number/mSelectedDMAInputChannels", channels,
                  mInputDmaChannels);
            return false;
        }
    }
    DMAConvertFunc* decoder = row->slot->load();
    if (decoder == nullptr) {
        IOLog("chooseDMADecoder: the converters are not set up\n");
        return false;
    }
    // One call reads one 512-byte half; the packet must hold whole halves, and the halves the
    // frames the stream runs at (a refusal instead of decoding into the wrong frames).
    const uint32_t samples = decoder(nullptr);
    const uint32_t framesPerCall = samples / channels;
    const uint32_t packet = pipe->getMaxPacketSize();
    const uint32_t calls = packet / kHalfPacket;
    if ((packet != kHalfPacket && packet != kLargePacket) ||
        framesPerCall * calls != mBulkInterrupt.rtsBulkInFramesPerBlock) {
        IOLog("VKDevice::chooseDMADecoder: input packets of %u bytes at %u frames do not fit %u channels; "
              "not started\n",
              packet, mBulkInterrupt.rtsBulkInFramesPerBlock, channels);
        return false;
    }
    mBulkInterrupt.bulkDecoder = decoder;
    mBulkInterrupt.decoderSamplesPerCall = samples;
    mBulkInterrupt.decoderCallsPerPacket = calls;
    return true;
}

bool VKDevice::chooseDMAEncoder()
{
    mBulkInterrupt.bulkEncoder = nullptr;
    VKPipeDescriptor* pipe = mChosen.bulkOutPipe;
    if (pipe == nullptr) {
        return true;
    }
    QzAqExtData& aq = *getAqExtData();
    IOLog("USB: %s %d\n", "VKDevice::chooseDMAEncoder mDigitalOutSelector is", aq.DigitalOutSelector);
    const int32_t configured = getCurrentSettings()->iOutChannels;
    const uint32_t channels = configured > 0 ? static_cast<uint32_t>(configured) : 0;
    const uint32_t packet = pipe->getMaxPacketSize();
    DMAConverterSlot* slot = nullptr;
    if (hasTrait(vkdevice::kTraitVarnokBulk)) {
        IOLog("chooseDMAEncoder for PROD_QUENZAR_VARNOK_ZELTA chan:%d\n", channels);
        const EncoderChoice* row = rowFor(kVarnokEncoders, channels);
        if (row == nullptr) {
            IOLog("chooseDMAEncoder for PROD_QUENZAR_VARNOK_ZELTA chan:%d not supported\n", channels);
            return false;
        }
        slot = row->slot;
    } else if (channels == 8 && pipe->isInterruptPipe() && packet == kInterruptPacket964) {
        IOLog("Using dmaEncode08_Int964 for interrupt transfer\n");
        slot = &dmaEncode08_Int964;
    } else if (channels == 8 && hasTrait(vkdevice::kTraitPairEncoderBySelector)) {
        // Read once: the record lies in the shared block, which any process may write.
        uint32_t selector = aq.DigitalOutSelector;
        if (selector > 3) {
            selector = 0;
            aq.DigitalOutSelector = 0;
        }
        slot = kSelectorPairEncoders[selector];
    } else if (channels == 10 && hasTrait(vkdevice::kTraitPairEncoderAH)) {
        slot = &dmaEncode10_AH;
    } else if (const EncoderChoice* row = rowFor(kPlaneEncoders, channels); row != nullptr) {
        slot = row->slot;
    }
    if (slot == nullptr) {
        IOLog("USB: %s %d\n", "DMA OUTPUT invalid channel number", channels);
        return false;
    }
    DMAConvertFunc* encoder = slot->load();
    if (encoder == nullptr) {
        IOLog("chooseDMAEncoder: the converters are not set up\n");
        return false;
    }
    // The packet layouts: one encoder block in a 512-byte packet (slots at 480/481), two around
    // the slots at 432 and 914 of a 1,024-byte packet, or the 964-byte interrupt encoder's own.
    const uint32_t bytes = encoder(nullptr);
    const uint32_t framesPerCall = bytes / (channels * 4);
    const uint32_t frames = mBulkInterrupt.rtsBulkOutFramesPerBlock;
    const uint32_t calls = framesPerCall != 0 ? frames / framesPerCall : 0;
    const bool own964 = slot == &dmaEncode08_Int964;
    const bool fits = framesPerCall * calls == frames &&
                      ((own964 && packet == kInterruptPacket964 && calls == 1) ||
                       (!own964 && packet == kHalfPacket && calls == 1) ||
                       (!own964 && packet == kLargePacket && calls == 2));
    if (!fits || AudioBulkIRP::kPackets * bytes * calls > kDmaOutBufferSize) {
        IOLog("VKDevice::chooseDMAEncoder: output packets of %u bytes at %u frames do not fit %u channels; "
              "not started\n",
              packet, frames, channels);
        return false;
    }
    mBulkInterrupt.bulkEncoder = encoder;
    mBulkInterrupt.encoderBytesPerCall = bytes;
    mBulkInterrupt.encoderCallsPerPacket = calls;
    mBulkInterrupt.bytesPerBulkFromClient = bytes * calls;
    return true;
}

bool VKDevice::bulkAudioRun()
{
    VKBulkInterruptStreams& b = mBulkInterrupt;
    VKPipeDescriptor* in = mChosen.bulkInPipe;
    VKPipeDescriptor* out = mChosen.bulkOutPipe;
    const QzChannelSettings s = *getCurrentSettings();
    const uint32_t rate = s.iFrequency > 0 ? static_cast<uint32_t>(s.iFrequency) : 0;
    if (in != nullptr) {
        mOwner.setFrequency(in, nullptr, rate);
        IOLog("USB: %s %d\n", "getFrequency returned ", rate);
    }
    if (in == nullptr && out == nullptr) {
        IOLog("VKDevice::bulkAudioRun() - NO PIPES \n");
        return false;
    }
    IOSleep(50);
    IOLog("USB: %s %d\n", "NUM INPUTS is ", s.iInChannels);
    mInputDmaChannels = setAJDMAInputChannels(s.iInChannels > 0 ? static_cast<uint32_t>(s.iInChannels) : 0);

    // Packet geometry.
    uint32_t inFrames = mInputDmaChannels == 16 ? 8 : 4;
    uint32_t outFrames = 10;
    if (hasTrait(vkdevice::kTraitVarnokBulk)) {
        inFrames = rate >= 176400 ? 16 : rate < 88200 ? 4 : 8;
        outFrames = rate >= 176400 ? 20 : rate < 88200 ? 5 : 10;
    }
    if (out != nullptr && out->getMaxPacketSize() >= 513) {
        outFrames *= 2;
    }
    if (in != nullptr && in->getMaxPacketSize() >= 513) {
        inFrames *= 2;
    }
    b.rtsBulkInFramesPerBlock = inFrames;
    b.rtsBulkOutFramesPerBlock = outFrames;
    b.bulkFramesIn3ms = rate * 3 / 1000;
    b.bulkOutPacketLimit = (rate * 8 / 1000) / outFrames;
    b.encoderCarry = 0;
    b.underruns = 0;
    b.lastUnderrunResetFrame = 0;
    b.resetRequest.store(0);
    b.resetOnUnderruns = isQuenzarBulkDevice() ? 1 : 0;
    b.requeueInputOnError =
        platform::process::darwinMajorRelease() >= kRequeueOnErrorRelease && isQuenzarBulkInIsocOutDevice() ? 1 : 0;

    // Converters; a stream they cannot carry is refused before anything is queued.
    if (!chooseDMADecoder() || !chooseDMAEncoder()) {
        IOLog("VKDevice::bulkAudioRun: no converter for this configuration; not started\n");
        return false;
    }
    IOLog("VKDevice::bulkAudioRun mRtsBulkInFramesPerBlock:%d mRtsBulkOutFramesPerBlock:%d "
          "mBytesPerBulkFromClient:%d\n",
          inFrames, outFrames, b.bytesPerBulkFromClient);
    if (mDmaOutBufer == nullptr || mInputScratch == nullptr) {
        IOLog("mDmaOutBufer is NULL\n");
        return false;
    }
    // Blocks of an earlier stream whose transfers are still being given back.
    uint32_t waited = 0;
    if (!waitUnclaimed(b.bulkIn, waited) || !waitUnclaimed(b.bulkOut, waited)) {
        IOLog("VKDevice::bulkAudioRun: blocks of the previous stream are still in use; not started\n");
        return false;
    }
    for (AudioBulkIRP* chain : {b.bulkIn, b.bulkOut}) {
        for (int i = 0; i < VKBulkInterruptStreams::kNumBulkIRPs; ++i) {
            chain[i].prepare();
            if ((chain == b.bulkIn ? in : out) != nullptr && !chain[i].hasBuffer()) {
                IOLog("VKDevice::bulkAudioRun: a request block has no buffer; not started\n");
                return false;
            }
        }
    }
    b.nextBulkIn.store(1);
    b.nextBulkOut.store(1);
    if (in != nullptr && mcAudioSM_In.address() != nullptr) {
        auto* ring = static_cast<AudioSM*>(mcAudioSM_In.address());
        shared::store(ring->mFirstInputHostTime, hostNow());
    }
    setStreamingStarted(1);
    bulkAudioGo();
    return streamingStarted() != 0;
}

void VKDevice::bulkAudioGo()
{
    if (hasTrait(vkdevice::kTraitClearStallAtBulkStart)) {
        for (VKPipeDescriptor* pipe : {mChosen.bulkInPipe, mChosen.bulkOutPipe}) {
            if (pipe != nullptr && pipe->getPipe() != nullptr) {
                pipe->getPipe()->ClearPipeStall(true);
            }
        }
    }
    for (uint32_t i = 0; i < kTransfersInFlight && mChosen.bulkInPipe != nullptr; ++i) {
        bulkAudioIn();
    }
    for (uint32_t i = 0; i < kTransfersInFlight && mChosen.bulkOutPipe != nullptr; ++i) {
        bulkAudioOut();
    }
}

// --- Queueing and completions ---

bool VKDevice::bulkAudioIn()
{
    VKPipeDescriptor* pipe = mChosen.bulkInPipe;
    IOUSBPipe* usbPipe = pipe != nullptr ? pipe->getPipe() : nullptr;
    if (streamingStarted() == 0 || usbPipe == nullptr) {
        return false;
    }
    const uint32_t number = mBulkInterrupt.nextBulkIn.fetch_add(1);
    AudioBulkIRP* block = nullptr;
    for (AudioBulkIRP& candidate : mBulkInterrupt.bulkIn) {
        if (candidate.useIn(number)) {
            block = &candidate;
            break;
        }
    }
    if (block == nullptr) {
        mRealTimeRecord.count(VKRealTimeRecord::kNoFreeBlock);
        VKLogOutsideRealTime("VKDevice::bulkAudioIn() no free irp found %d\n", VKBulkInterruptStreams::kNumBulkIRPs);
        return false;
    }
    const uint32_t timeout = pipe->isInterruptPipe() ? 0 : kBulkTimeoutMs;
    IOUSBCompletion completion{this, &VKDevice::bulkAudioInCompletion, block};
    const IOReturn status = usbPipe->Read(block->descriptor(), timeout, timeout, block->bufferSize(), &completion);
    if (status != kIOReturnSuccess) {
        mRealTimeRecord.count(VKRealTimeRecord::kRefusedReads);
        VKLogOutsideRealTime("USB: %s 0x%X\n", "VKDevice::bulkAudioIn Read returned", status);
        block->unuse();
        block->mUseNumber.store(0, std::memory_order_release);
        return false;
    }
    return true;
}

bool VKDevice::bulkAudioOut()
{
    VKPipeDescriptor* pipe = mChosen.bulkOutPipe;
    IOUSBPipe* usbPipe = pipe != nullptr ? pipe->getPipe() : nullptr;
    if (streamingStarted() == 0 || usbPipe == nullptr) {
        return false;
    }
    const uint32_t number = mBulkInterrupt.nextBulkOut.fetch_add(1);
    AudioBulkIRP* block = nullptr;
    for (AudioBulkIRP& candidate : mBulkInterrupt.bulkOut) {
        if (candidate.useOut(number, false)) {
            block = &candidate;
            break;
        }
    }
    if (block == nullptr) {
        mRealTimeRecord.count(VKRealTimeRecord::kNoFreeBlock);
        VKLogOutsideRealTime("VKDevice::bulkAudioOut() no free irp found %d\n", VKBulkInterruptStreams::kNumBulkIRPs);
        return false;
    }
    const uint32_t timeout = pipe->isInterruptPipe() ? 0 : kBulkTimeoutMs;
    IOUSBCompletion completion{this, &VKDevice::bulkAudioOutCompletion, block};
    const IOReturn status = usbPipe->Write(block->descriptor(), timeout, timeout, block->bufferSize(), &completion);
    if (status != kIOReturnSuccess) {
        mRealTimeRecord.count(VKRealTimeRecord::kRefusedWrites);
        VKLogOutsideRealTime("VKDevice::bulkAudioOut Write returned :%08X size:%d\n", status, block->bufferSize());
        block->unuse();
        block->mUseNumber.store(0, std::memory_order_release);
        return false;
    }
    return true;
}

void VKDevice::bulkAudioInCompletion(void* target, void* parameter, IOReturn status, UInt32 remaining)
{
    // real-time: no lock, no allocation, no wait, no log
    platform::realtime::Section realTime;
    auto* device = static_cast<VKDevice*>(target);
    auto* block = static_cast<AudioBulkIRP*>(parameter);
    if (device == nullptr || block == nullptr) {
        return;
    }
    block->mTransferred = remaining < block->bufferSize() ? block->bufferSize() - remaining : 0;
    block->mStatus = static_cast<uint32_t>(status);
    if (status != kIOReturnAborted) {
        if (status != kIOReturnSuccess) {
            device->mRealTimeRecord.count(VKRealTimeRecord::kTransferErrors);
        }
        if (device->mpDriverData != nullptr && device->streamingStarted() != 0) {
            device->mpDriverData->inputRing().AddTimeStamp(
                hostNow(), uint64_t{AudioBulkIRP::kPackets} * device->mBulkInterrupt.rtsBulkInFramesPerBlock, true);
        }
        device->bulkInpEvent(*block);
    }
    block->mCompleted.store(1, std::memory_order_release);
    block->unuse();
}

void VKDevice::bulkInpEvent(AudioBulkIRP& block)
{
    if (block.mStatus == kIOReturnSuccess || mBulkInterrupt.requeueInputOnError != 0) {
        bulkAudioIn();
        return;
    }
    if (streamingStarted() != 0) {
        mRealTimeRecord.count(VKRealTimeRecord::kTransferBreaks);
        rtsStopStreamingNoWait();
        stcNotifyStreaming(2, 0);
    }
}

void VKDevice::bulkAudioOutCompletion(void* target, void* parameter, IOReturn status, UInt32 remaining)
{
    // real-time: no lock, no allocation, no wait, no log
    platform::realtime::Section realTime;
    auto* device = static_cast<VKDevice*>(target);
    auto* block = static_cast<AudioBulkIRP*>(parameter);
    if (device == nullptr || block == nullptr) {
        return;
    }
    block->mTransferred = remaining < block->bufferSize() ? block->bufferSize() - remaining : 0;
    block->mStatus = static_cast<uint32_t>(status);
    if (status == kIOReturnSuccess && device->streamingStarted() != 0) {
        // Packets the bus sent before the service had filled them went out as silence.
        const uint32_t done = std::min(block->mPacketsDone.load(std::memory_order_acquire), AudioBulkIRP::kPackets);
        if (done < AudioBulkIRP::kPackets) {
            device->mRealTimeRecord.count(VKRealTimeRecord::kUnfilledOutputFrames, AudioBulkIRP::kPackets - done);
        }
    } else if (status != kIOReturnSuccess && status != kIOReturnAborted) {
        device->mRealTimeRecord.count(VKRealTimeRecord::kTransferErrors);
    }
    device->bulkOutEvent(*block);
    block->mCompleted.store(1, std::memory_order_release);
    block->unuse();
}

void VKDevice::bulkOutEvent(AudioBulkIRP& block)
{
    const bool reset = mBulkInterrupt.resetRequest.load(std::memory_order_acquire) != 0;
    if (block.mStatus != kIOReturnSuccess || reset) {
        if (streamingStarted() != 0) {
            mRealTimeRecord.count(reset ? VKRealTimeRecord::kResetRequests : VKRealTimeRecord::kTransferBreaks);
            rtsStopStreamingNoWait();
            stcNotifyStreaming(2, 0);
        }
        return;
    }
    bulkAudioOut();
    if (mpDriverData != nullptr && mChosen.bulkInPipe != nullptr) {
        mBulkIOGuard.onOutputCompleted(AudioBulkIRP::kPackets * mBulkInterrupt.rtsBulkOutFramesPerBlock,
                                       mpDriverData->inputRing().framePos());
    }
}

void VKDevice::bulkAudioStop(bool wait)
{
    for (VKPipeDescriptor* pipe : {mChosen.bulkInPipe, mChosen.bulkOutPipe}) {
        if (pipe != nullptr && pipe->getPipe() != nullptr) {
            pipe->getPipe()->Abort();
        }
    }
    if (wait) {
        uint32_t waited = 0;
        if (!waitUnclaimed(mBulkInterrupt.bulkIn, waited) || !waitUnclaimed(mBulkInterrupt.bulkOut, waited)) {
            IOLog("VKDevice::bulkAudioStop: blocks still in use after %u ms\n", waited);
        }
    }
}

// --- The bulk stream service ---

void VKDevice::rtsBulkOutBulkIn(void* argument)
{
    // real-time: no lock, no allocation, no wait, no log
    platform::realtime::Section realTime;
    auto* device = static_cast<VKDevice*>(argument);
    AudioSM* ring = nullptr;
    if (!device->rtsPrepareService(&ring)) {
        return;
    }
    device->rtsProcessBulkIn(ring);
    device->rtsProcessBulkOut(ring);
    device->mcAudioSM_In.unlock();
}

void VKDevice::rtsIsocOutBulkIn(void* argument)
{
    // real-time: no lock, no allocation, no wait, no log
    platform::realtime::Section realTime;
    auto* device = static_cast<VKDevice*>(argument);
    AudioSM* ring = nullptr;
    if (!device->rtsPrepareService(&ring)) {
        return;
    }
    device->rtsProcessIsocOut_Std(ring);
    device->rtsProcessBulkIn(ring);
    device->mcAudioSM_In.unlock();
}

void VKDevice::rtsProcessBulkIn(AudioSM*)
{
    // real-time: no lock, no allocation, no wait
    VKBulkInterruptStreams& b = mBulkInterrupt;
    DMAConvertFunc* decoder = b.bulkDecoder;
    if (mChosen.bulkInPipe == nullptr || decoder == nullptr || mpDriverData == nullptr || mInputScratch == nullptr) {
        return;
    }
    KernelInputRing& input = mpDriverData->inputRing();
    const uint32_t frames = b.rtsBulkInFramesPerBlock;
    const uint32_t calls = b.decoderCallsPerPacket;
    const uint32_t packetSamples = b.decoderSamplesPerCall * calls;
    const uint32_t channels = frames != 0 ? packetSamples / frames : 0;
    const uint32_t packetBytes = calls * kHalfPacket;
    // Eight packets and the frame inserted before them fit the scratch: checked, not assumed.
    if (channels == 0 || (kPacketsPerWrite * packetSamples) * sizeof(int32_t) > kInputScratchSize ||
        channels != input.geometry().channels) {
        return;
    }
    auto* samples = reinterpret_cast<int32_t*>(mInputScratch);
    const uint32_t peakChannels = std::min<uint32_t>(channels, kMaxChannels);

    for (;;) {
        AudioBulkIRP* block = oldestBlock(b.bulkIn);
        if (block == nullptr || block->bufferSize() < AudioBulkIRP::kPackets * packetBytes) {
            return;
        }
        const uint32_t done = block->mPacketsDone.load(std::memory_order_relaxed);
        uint32_t available = 0;
        uint32_t arrived = 0;
        if (block->mCompleted.load(std::memory_order_acquire) != 0) {
            // The whole packets a short or timed-out transfer brought; the rest is silence.
            available = AudioBulkIRP::kPackets;
            arrived = std::min(AudioBulkIRP::kPackets, block->mTransferred / packetBytes);
        } else {
            available = block->writtenPackets(done, packetBytes);
            arrived = available;
        }
        if (available <= done) {
            return;
        }
        uint32_t grouped = 0;
        for (uint32_t p = done; p < available; ++p) {
            int32_t* at = samples + grouped * packetSamples;
            if (p < arrived) {
                for (uint32_t h = 0; h < calls; ++h) {
                    DMAConvertArgs args{};
                    args.src = block->data() + p * packetBytes + h * kHalfPacket;
                    args.dst = at + h * b.decoderSamplesPerCall;
                    decoder(&args);
                }
            } else {
                std::memset(at, 0, packetSamples * sizeof(int32_t));
                mRealTimeRecord.count(VKRealTimeRecord::kMissingInputPackets);
            }
            runInputPostProcessor(mInputPostProcessor, at, packetSamples, channels);
            for (uint32_t f = 0; f < frames; ++f) {
                for (uint32_t c = 0; c < peakChannels; ++c) {
                    mInputMaxima[c] = std::max(mInputMaxima[c], at[f * channels + c]);
                }
            }
            ++grouped;
            if (grouped == kPacketsPerWrite || p + 1 == available) {
                if (mBulkIOGuard.takeInsertion()) {
                    mRealTimeRecord.count(VKRealTimeRecord::kInsertedFrames);
                    input.writeFrames(samples, 1, 0, nullptr, nullptr);
                }
                input.writeFrames(samples, grouped * frames, 0, nullptr, nullptr);
                grouped = 0;
            }
        }
        block->mPacketsDone.store(available, std::memory_order_release);
        input.writeTimestamp(hostNow());
        if (available < AudioBulkIRP::kPackets) {
            return; // the rest is still on its way
        }
        block->mUseNumber.store(0, std::memory_order_release);
    }
}

void VKDevice::rtsProcessBulkOut(AudioSM*)
{
    // real-time: no lock, no allocation, no wait
    VKBulkInterruptStreams& b = mBulkInterrupt;
    DMAConvertFunc* encoder = b.bulkEncoder;
    VKPipeDescriptor* pipe = mChosen.bulkOutPipe;
    if (pipe == nullptr || encoder == nullptr || mpDriverData == nullptr || mDmaOutBufer == nullptr) {
        return;
    }
    const uint32_t frames = b.rtsBulkOutFramesPerBlock;
    const uint32_t packetBytes = pipe->getMaxPacketSize();
    const uint32_t clientBytes = b.bytesPerBulkFromClient;
    if (frames == 0 || clientBytes == 0) {
        return;
    }
    auto* mix = reinterpret_cast<int32_t*>(mDmaOutBufer);
    const uint32_t mixPackets = kDmaOutBufferSize / clientBytes;
    KernelInputRing& input = mpDriverData->inputRing();
    uint32_t sent = 0;
    for (;;) {
        AudioBulkIRP* block = oldestBlock(b.bulkOut);
        if (block == nullptr || block->bufferSize() < AudioBulkIRP::kPackets * packetBytes) {
            return;
        }
        const uint32_t done = block->mPacketsDone.load(std::memory_order_relaxed);
        if (done >= AudioBulkIRP::kPackets) {
            block->mUseNumber.store(0, std::memory_order_release);
            continue;
        }
        const int64_t ahead = static_cast<int64_t>(input.framePos()) + b.bulkFramesIn3ms -
                              static_cast<int64_t>(mIsoc.outputSamplePos);
        if (ahead <= 0) {
            return;
        }
        const auto needed = static_cast<uint32_t>((ahead + frames - 1) / frames);
        if (sent >= needed) {
            return;
        }
        int32_t availableFrames = 0;
        uint32_t clients = 0;
        mpDriverData->rtsGetMinAvailableFrames(mpDriverSM, &availableFrames, &clients, mIsoc.outputSamplePos);
        uint32_t packets = needed - sent;
        if (clients > 0) {
            const uint32_t fromClients = static_cast<uint32_t>(std::max(availableFrames, 0)) / frames;
            if (packets > fromClients) {
                noteUnderrun();
            } else {
                packets = fromClients;
            }
        }
        packets = std::min({packets, b.bulkOutPacketLimit, AudioBulkIRP::kPackets - done, mixPackets});
        if (packets == 0) {
            return;
        }
        mpDriverData->rtsBulkOutput(mix, clientBytes * packets / 4, mIsoc.outputSamplePos, frames * packets);
        const auto* source = reinterpret_cast<const uint8_t*>(mix);
        for (uint32_t k = 0; k < packets; ++k) {
            encodeBulkPacket(block->data() + (done + k) * packetBytes, source + k * clientBytes);
        }
        block->mPacketsDone.store(done + packets, std::memory_order_release);
        mIsoc.outputSamplePos += uint64_t{frames} * packets;
        sent += packets;
        if (done + packets >= AudioBulkIRP::kPackets) {
            block->mUseNumber.store(0, std::memory_order_release);
        }
    }
}

void VKDevice::encodeBulkPacket(uint8_t* packet, const uint8_t* source)
{
    // real-time: no lock, no allocation, no wait
    VKBulkInterruptStreams& b = mBulkInterrupt;
    DMAConvertArgs args{};
    args.carry = &b.encoderCarry;
    if (b.encoderCallsPerPacket == 1) {
        args.src = source;
        args.dst = packet;
        b.bulkEncoder(&args);
        return;
    }
    // Two blocks around the MIDI slots at 432 and 914: bytes 0-431, 432-911 at 434, 912-959 at 916.
    uint8_t staging[2 * kEncodedBlock];
    for (uint32_t h = 0; h < 2; ++h) {
        args.src = source + h * b.encoderBytesPerCall;
        args.dst = staging + h * kEncodedBlock;
        b.bulkEncoder(&args);
    }
    constexpr uint32_t slot1 = AudioBulkIRP::kMidiSlotLarge1;
    constexpr uint32_t slot2 = AudioBulkIRP::kMidiSlotLarge2;
    std::memcpy(packet, staging, slot1);
    std::memcpy(packet + slot1 + 2, staging + slot1, slot2 - slot1 - 2);
    std::memcpy(packet + slot2 + 2, staging + slot2 - 2, 2 * kEncodedBlock - (slot2 - 2));
}

void VKDevice::noteUnderrun()
{
    // real-time: no lock, no allocation, no wait
    VKBulkInterruptStreams& b = mBulkInterrupt;
    ++b.underruns;
    mRealTimeRecord.count(VKRealTimeRecord::kUnderruns);
    const uint64_t frame = mIsoc.currentFrame;
    if (b.resetOnUnderruns == 0 || frame - b.lastUnderrunResetFrame < kUnderrunReset) {
        return;
    }
    b.lastUnderrunResetFrame = frame;
    if (b.underruns >= kUnderrunReset) {
        b.resetRequest.store(1, std::memory_order_release);
    }
    b.underruns = 0;
}
