// Isochronous transfer blocks and the four-block ring of a stream.
#include "VKIsocRB.h"

#include <algorithm>
#include <cstring>

#include "IOKit/IOBufferMemoryDescriptor.h"
#include "IOKit/IOLib.h"
#include "VKFramePatternObserver.h"
#include "VKKernelMemory.h"
#include "VKRealTimeRecord.h"
#include "VKUSBDescriptors.h"
#include "platform/Log.h"
#include "platform/RealTime.h"

namespace {

// Physically contiguous below 4 GiB, as the controller's DMA wants it.
constexpr mach_vm_address_t kBelow4GiBMask = 0x00000000FFFFF000ULL;
constexpr IOOptionBits kContiguousInOut = kIODirectionInOut | kIOMemoryPhysicallyContiguous;
constexpr vm_size_t kPageAlignment = 4096;

// Blocks whose last use was given back under the real-time mark, newest first.
std::atomic<VKIsocRB*> gRetired{nullptr};
std::atomic<uint32_t> gRetiredCount{0};

} // namespace

// VKIsocRB

void* VKIsocRB::operator new(size_t size) noexcept
{
    return memAlloc(size);
}

void VKIsocRB::operator delete(void* pointer, size_t size) noexcept
{
    memFree(pointer, size);
}

VKIsocRB::VKIsocRB(bool highSpeed, VKPipeDescriptor* pipe) : mbUSB2(highSpeed)
{
    applyMode(pipe, false);
    allocateBuffer(mBufferSize);
    setIdle();
    checkInit();
}

VKIsocRB::~VKIsocRB()
{
    releaseBuffer();
}

void VKIsocRB::applyMode(VKPipeDescriptor* pipe, bool fromReinit)
{
    mPipe = pipe;
    mNumFrames = kFramesPerBlock;
    mBufferSize = kFrameBufferSize;
    mMaxPacketSize = kDefaultMaxPacket;
    mbMicroFrames = false;
    if (pipe == nullptr) {
        return;
    }
    mMaxPacketSize = pipe->getMaxPacketSize();
    if (mbUSB2 && pipe->getInterval() == 1) {
        if (fromReinit) {
            IOLog("drelk VKIsocRB::reinit set microframes\n");
        } else {
            const VKInterfaceDescriptor* owner = pipe->getOwner();
            IOLog("drelk VKIsocRB::VKIsocRB set microframes mbUSB2:%d mPipe->m_uInterval:%d addr:%d intf:%d alt:%d\n",
                  mbUSB2 ? 1 : 0, pipe->getInterval(), pipe->getAddressByte(),
                  owner != nullptr ? owner->getInterfaceNumber() : 0,
                  owner != nullptr ? owner->getAlternateSettingNumber() : 0);
        }
        mbMicroFrames = true;
        mBufferSize *= kMicroframesPerFrame;
        mNumFrames *= kMicroframesPerFrame;
    }
}

bool VKIsocRB::allocateBuffer(uint32_t bytes)
{
    releaseBuffer();
    mpBuffer = IOBufferMemoryDescriptor::inTaskWithPhysicalMask(kernel_task, kContiguousInOut, bytes, kBelow4GiBMask);
    if (mpBuffer == nullptr) {
        IOLog("VKIsocRB::VKIsocRB buffer allocation inTaskWithPhysicalMask failed, try withOptions.\n");
        mpBuffer = IOBufferMemoryDescriptor::withOptions(kContiguousInOut, bytes, kPageAlignment);
    }
    if (mpBuffer == nullptr) {
        IOLog("VKIsocRB::VKIsocRB buffer allocation failed. requested bytes:%d\n", bytes);
        return false;
    }
    mpBufferAddress = static_cast<uint8_t*>(mpBuffer->getBytesNoCopy());
    mAllocatedSize = bytes;
    return true;
}

void VKIsocRB::releaseBuffer()
{
    if (mpBuffer != nullptr) {
        mpBuffer->release();
        mpBuffer = nullptr;
    }
    mpBufferAddress = nullptr;
    mAllocatedSize = 0;
}

void VKIsocRB::setIdle()
{
    mbDone.store(true, std::memory_order_relaxed);
    mbCompleted.store(true, std::memory_order_relaxed);
    mStartFrame = 0;
    mbCancel.store(false, std::memory_order_relaxed);
    mUseCounter.store(0, std::memory_order_release);
}

bool VKIsocRB::checkInit()
{
    mbInit = mpBuffer != nullptr && mPipe != nullptr && mPipe->getPipe() != nullptr;
    return mbInit;
}

bool VKIsocRB::reinit(VKPipeDescriptor* pipe)
{
    const bool wasInUse = isInUse();
    if (wasInUse) {
        IOLog("VKIsocRB::reinit while in use\n");
    }
    setIdle();
    applyMode(pipe, true);
    if (mAllocatedSize < mBufferSize) {
        // The bus may still hold the old buffer of a block that was in use: never free it under
        // the bus; the block stays uninitialised until a later reinit finds it idle.
        if (wasInUse || !allocateBuffer(mBufferSize)) {
            IOLog("VKIsocRB::reinit buffer of %d bytes too small for %d\n", mAllocatedSize, mBufferSize);
            mbInit = false;
            return false;
        }
    }
    return checkInit();
}

void VKIsocRB::clearBuffer()
{
    if (mpBufferAddress != nullptr) {
        std::memset(mpBufferAddress, 0, mAllocatedSize);
    }
}

void VKIsocRB::setAutoDeleteOnCompletion(bool flag)
{
    if (!flag) {
        mUseCounter.fetch_and(kUseMask, std::memory_order_acq_rel);
        return;
    }
    // Set the flag and take one use in one step, so a give-back racing with this one cannot end
    // the block first; then give the use back (an idle block ends here).
    uint32_t current = mUseCounter.load(std::memory_order_acquire);
    while (!mUseCounter.compare_exchange_weak(current, (current | kAutoDeleteBit) + 1, std::memory_order_acq_rel)) {
    }
    unuse(nullptr);
}

void VKIsocRB::unuse(const char* caller)
{
    uint32_t current = mUseCounter.load(std::memory_order_acquire);
    for (;;) {
        if ((current & kUseMask) == 0) {
            return; // nothing to give back
        }
        if ((current & kUseMask) == 1) {
            // The last holder: the block is idle from the moment the count reaches 0.
            mbDone.store(true, std::memory_order_relaxed);
            mbCompleted.store(true, std::memory_order_relaxed);
            mStartFrame = 0;
            mbCancel.store(false, std::memory_order_relaxed);
        }
        if (mUseCounter.compare_exchange_weak(current, current - 1, std::memory_order_acq_rel)) {
            break;
        }
    }
    if ((current & kUseMask) != 1) {
        return;
    }
    if (caller != nullptr) {
        VKLogOutsideRealTime("VKIsocRB::unuse(from:%s) mUseCounter = 0\n", caller);
    }
    if ((current & kAutoDeleteBit) == 0) {
        return;
    }
    if (platform::realtime::marked()) {
        // No destructor on a real-time thread: a request thread runs it later.
        VKIsocRB* head = gRetired.load(std::memory_order_relaxed);
        do {
            mRetiredNext = head;
        } while (!gRetired.compare_exchange_weak(head, this, std::memory_order_release,
                                                 std::memory_order_relaxed));
        gRetiredCount.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    IOLog("AUTODELETE VKIsocRB %p\n", static_cast<void*>(this));
    delete this;
}

uint32_t VKIsocRB::reclaimRetired()
{
    uint32_t reclaimed = 0;
    for (VKIsocRB* block = gRetired.exchange(nullptr, std::memory_order_acquire); block != nullptr;) {
        VKIsocRB* next = block->mRetiredNext;
        IOLog("AUTODELETE VKIsocRB %p (retired by a real-time thread)\n", static_cast<void*>(block));
        delete block;
        gRetiredCount.fetch_sub(1, std::memory_order_relaxed);
        block = next;
        ++reclaimed;
    }
    return reclaimed;
}

uint32_t VKIsocRB::retiredCount()
{
    return gRetiredCount.load(std::memory_order_relaxed);
}

void VKIsocRB::setCallbackDone(const char* caller)
{
    mbCompleted.store(true, std::memory_order_release);
    unuse(caller);
}

void VKIsocRB::markQueued()
{
    mProcessedFrames = 0;
    mbDone.store(false, std::memory_order_relaxed);
    mUseCounter.fetch_add(1, std::memory_order_acq_rel);
}

uint32_t VKIsocRB::packetCapacity() const
{
    if (mpBufferAddress == nullptr || mNumFrames == 0) {
        return 0;
    }
    return std::min({mMaxPacketSize, kDefaultMaxPacket, mAllocatedSize / mNumFrames});
}

void VKIsocRB::initRead()
{
    uint32_t packet = kFullSpeedReadPacketLimit;
    if (mPipe != nullptr) {
        if (mbUSB2) {
            packet = mPipe->getMaxPacketSize();
            if (packet > kHighSpeedReadPacketLimit) {
                VKLogOutsideRealTime("USB: %s\n", "VKIsocRB::initRead iMaxPacket > 1024");
                packet = kHighSpeedReadPacketLimit;
            }
        } else {
            packet = mPipe->getCurrentMaxPacketSize();
            if (packet > kFullSpeedReadPacketLimit) {
                VKLogOutsideRealTime("USB: %s\n", "VKIsocRB::initRead iMaxPacket > 1023");
                packet = kFullSpeedReadPacketLimit;
            }
        }
    }
    // Every record's packet lies inside the buffer, whatever the pipe says.
    const uint32_t share = mpBufferAddress != nullptr && mNumFrames != 0 ? mAllocatedSize / mNumFrames : 0;
    packet = std::min(packet, share);
    for (uint32_t i = 0; i < mNumFrames; ++i) {
        mFrames[i] = IOUSBLowLatencyIsocFrame{0, static_cast<uint16_t>(packet), 0, 0};
        mFrameSamples[i] = 0;
        mFrameOffsets[i] = i * packet;
        if (packet != 0) {
            std::memset(mpBufferAddress + i * packet, kReadFill, packet);
        }
    }
}

uint32_t VKIsocRB::takeRecordSamples(VKFramePatternObserver& pattern) const
{
    // On a high-speed device the pattern holds microframes: a 1-ms record takes eight of them.
    const uint32_t entries = pattern.mbHighSpeed && !mbMicroFrames ? kMicroframesPerFrame : 1;
    return pattern.takeOutputSamples(entries);
}

uint32_t VKIsocRB::initWrite(VKFramePatternObserver& pattern, uint32_t& runningSamples, uint32_t header,
                             bool elektron, uint32_t outChannels)
{
    mOutChannels = pattern.mOutChannels;
    mOutBytesPerSample = pattern.mOutBytesPerSample;
    mOutBytesPerSampleFrame = std::max<uint32_t>(pattern.mOutBytesPerSampleFrame, 1);
    const uint32_t capacity = packetCapacity();
    const bool audio = !elektron || outChannels != 0;
    uint32_t maxSamples = capacity > header ? (capacity - header) / mOutBytesPerSampleFrame : 0;
    if (elektron) {
        maxSamples = std::min(maxSamples, kElektronMaxSamples);
    }
    if (header > capacity) {
        maxSamples = 0;
    }
    uint32_t offset = 0;
    uint32_t total = 0;
    bool clamped = false;
    for (uint32_t i = 0; i < mNumFrames; ++i) {
        uint32_t samples = takeRecordSamples(pattern);
        if (samples > maxSamples) {
            samples = maxSamples;
            clamped = true;
        }
        uint32_t bytes = header + (audio ? samples * mOutBytesPerSampleFrame : 0);
        if (capacity == 0 || bytes > capacity) {
            bytes = 0;
            samples = 0;
        }
        runningSamples += samples;
        if (elektron && bytes != 0) {
            uint8_t* packet = mpBufferAddress + offset;
            packet[0] = static_cast<uint8_t>(samples);
            packet[1] = 0xFF;
            packet[2] = static_cast<uint8_t>(runningSamples >> 24);
            packet[3] = static_cast<uint8_t>(runningSamples >> 16);
            packet[4] = static_cast<uint8_t>(runningSamples >> 8);
            packet[5] = static_cast<uint8_t>(runningSamples);
            packet[6] = 0;
        }
        mFrames[i] = IOUSBLowLatencyIsocFrame{0, static_cast<uint16_t>(bytes), 0, 0};
        mFrameSamples[i] = samples;
        mFrameOffsets[i] = offset;
        offset += bytes;
        total += bytes;
    }
    if (clamped) {
        VKLogOutsideRealTime("VKIsocRB::initWrite pattern value clamped to %d samples (packet %d bytes)\n",
                             maxSamples, capacity);
    }
    return total;
}

uint32_t VKIsocRB::initWrite_Std(VKFramePatternObserver& pattern, uint32_t& runningSamples)
{
    return initWrite(pattern, runningSamples, 0, false, 0);
}

uint32_t VKIsocRB::initWrite_Elektron(VKFramePatternObserver& pattern, uint32_t& runningSamples,
                                      uint32_t outChannels)
{
    return initWrite(pattern, runningSamples, kElektronHeaderSize, true, outChannels);
}

void VKIsocRB::initWriteKeepAlive()
{
    const bool fits = mpBufferAddress != nullptr && mAllocatedSize >= mNumFrames;
    for (uint32_t i = 0; i < mNumFrames; ++i) {
        mFrames[i] = IOUSBLowLatencyIsocFrame{0, static_cast<uint16_t>(fits ? 1 : 0), 0, 0};
        mFrameSamples[i] = 1;
        mFrameOffsets[i] = i;
    }
}

// IsocData

IsocData::IsocData()
{
    init();
}

IsocData::~IsocData()
{
    term();
}

IOBufferMemoryDescriptor* IsocData::allocateSharedBuffer()
{
    return IOBufferMemoryDescriptor::inTaskWithPhysicalMask(kernel_task, kContiguousInOut, kSharedBufferSize,
                                                            kBelow4GiBMask);
}

void IsocData::releaseSharedBuffer()
{
    if (mpUSBFrameInDataBuffer != nullptr) {
        mpUSBFrameInDataBuffer->release();
        mpUSBFrameInDataBuffer = nullptr;
    }
    mpUSBFrameInData = nullptr;
}

bool IsocData::init()
{
    VKIsocRB::reclaimRetired();
    term();
    mNext = 0;
    mNextStartFrame = 0;
    mErrorCounter = 0;
    mpUSBFrameInDataBuffer = allocateSharedBuffer();
    if (mpUSBFrameInDataBuffer == nullptr) {
        IOLog("IsocData::init buffer allocation failed. requested bytes:%d\n", kSharedBufferSize);
        return false;
    }
    mpUSBFrameInData = static_cast<uint8_t*>(mpUSBFrameInDataBuffer->getBytesNoCopy());
    return true;
}

bool IsocData::alloc(bool highSpeed, VKPipeDescriptor* pipe, PCMDecoder decoder)
{
    VKIsocRB::reclaimRetired();
    mDecoder = decoder;
    bool allInit = true;
    for (VKIsocRB*& block : mRBs) {
        if (block != nullptr) {
            block->mbUSB2 = highSpeed;
            block->reinit(pipe);
        } else {
            block = new VKIsocRB(highSpeed, pipe);
        }
        allInit = allInit && block != nullptr && block->mbInit;
    }
    releaseSharedBuffer();
    mpUSBFrameInDataBuffer = allocateSharedBuffer();
    if (mpUSBFrameInDataBuffer == nullptr) {
        IOLog("IsocData::alloc buffer allocation failed.\n");
    } else {
        mpUSBFrameInData = static_cast<uint8_t*>(mpUSBFrameInDataBuffer->getBytesNoCopy());
    }
    return allInit;
}

void IsocData::initForStream(uint64_t firstStartFrame)
{
    mNext = 0;
    mErrorCounter = 0;
    for (VKIsocRB* block : mRBs) {
        if (block != nullptr) {
            block->setIdle();
            block->clearBuffer();
        }
    }
    mNextStartFrame = firstStartFrame;
}

VKIsocRB* IsocData::next()
{
    mNext %= kNumRBs;
    VKIsocRB* block = mRBs[mNext];
    if (block == nullptr) {
        VKLogOutsideRealTime("IsocData::next() - mRBs[mNext] is NULL\n");
        return nullptr;
    }
    if (block->isInUse()) {
        VKLogOutsideRealTime("IsocData::next() - mRBs[mNext]->isInUse()\n");
        return nullptr;
    }
    if (!block->mbInit) {
        VKLogOutsideRealTime("IsocData::next() - !mRBs[mNext]->mbInit\n");
        return nullptr;
    }
    uint32_t idle = 0;
    if (!block->mUseCounter.compare_exchange_strong(idle, 1, std::memory_order_acq_rel)) {
        VKLogOutsideRealTime("IsocData::next() - unknown error\n");
        return nullptr;
    }
    block->mbCompleted.store(false, std::memory_order_release);
    block->mStartFrame = mNextStartFrame;
    mNextStartFrame += VKIsocRB::kFramesPerBlock;
    mNext = (mNext + 1) % kNumRBs;
    return block;
}

VKIsocRB* IsocData::getEarliestUnprocessed()
{
    VKIsocRB* earliest = nullptr;
    for (VKIsocRB* block : mRBs) {
        if (block == nullptr || !block->mbInit || block->mbDone.load(std::memory_order_acquire)) {
            continue;
        }
        if (earliest == nullptr || block->mStartFrame < earliest->mStartFrame) {
            earliest = block;
        }
    }
    return earliest;
}

void IsocData::cancel(bool noWait)
{
    for (VKIsocRB* block : mRBs) {
        if (block == nullptr || !block->isInUse() || !block->mbInit ||
            block->mbCompleted.load(std::memory_order_acquire)) {
            continue;
        }
        block->mbCancel.store(true, std::memory_order_release);
        if (!block->mbDone.exchange(true, std::memory_order_acq_rel)) {
            block->unuse(nullptr);
        }
    }
    if (noWait) {
        return;
    }
    IOSleep(kCancelWaitMs);
    for (VKIsocRB* block : mRBs) {
        if (block == nullptr) {
            continue;
        }
        if (block->isInUse()) {
            IOLog("IsocData::cancel() isocRB is still used !\n");
        } else {
            block->mbCancel.store(false, std::memory_order_release);
        }
    }
}

void IsocData::term()
{
    VKIsocRB::reclaimRetired();
    for (VKIsocRB*& block : mRBs) {
        if (block != nullptr) {
            // An idle block ends now; one the bus still holds ends at its completion.
            block->setAutoDeleteOnCompletion(true);
            block = nullptr;
        }
    }
    releaseSharedBuffer();
}
