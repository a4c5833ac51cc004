#include "AudioIRP.h"

#include <algorithm>
#include <cstring>

#include "IOKit/IOBufferMemoryDescriptor.h"
#include "IOKit/IOLib.h"
#include "VKRealTimeRecord.h"
#include "VKUSBDescriptors.h"

namespace {

constexpr mach_vm_address_t kBelow4GiBMask = 0x00000000FFFFF000ULL;
constexpr IOOptionBits kContiguousInOut = kIODirectionInOut | kIOMemoryPhysicallyContiguous;
constexpr vm_size_t kPageAlignment = 4096;

void putLE32(uint8_t* at, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

uint32_t getLE32(const uint8_t* at)
{
    return uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16 | uint32_t{at[3]} << 24;
}

} // namespace

AudioIRP::~AudioIRP()
{
    term();
}

void AudioIRP::init(uint32_t packets)
{
    term();
    mUseCounter.store(0);
    mUseNumber.store(0);
    mPacketsDone.store(0);
    mCompleted.store(0);
    mTransferred = 0;
    mStatus = 0;
    mPackets = packets;
}

bool AudioIRP::allocData(VKPipeDescriptor* pipe, const char* who)
{
    if (pipe == nullptr) {
        IOLog("%s::allocData no pipe\n", who);
        return false;
    }
    if (mpBuffer != nullptr) {
        IOLog("%s::allocData already allocated\n", who);
        return mPipe != nullptr;
    }
    mPipe = pipe;
    mMaxPacket = pipe->getMaxPacketSize();
    const uint32_t bytes = mPackets * mMaxPacket;
    if (bytes == 0) {
        return false;
    }
    mpBuffer = IOBufferMemoryDescriptor::inTaskWithPhysicalMask(kernel_task, kContiguousInOut, bytes, kBelow4GiBMask);
    if (mpBuffer == nullptr) {
        IOLog("%s::allocData buffer allocation inTaskWithPhysicalMask failed, try withOptions.\n", who);
        mpBuffer = IOBufferMemoryDescriptor::withOptions(kContiguousInOut, bytes, kPageAlignment);
    }
    if (mpBuffer == nullptr) {
        return false;
    }
    mpData = static_cast<uint8_t*>(mpBuffer->getBytesNoCopy());
    mSize = bytes;
    std::memset(mpData, 0, bytes);
    IOLog("%s::allocData mDataDescriptor:%p size:%d\n", who, static_cast<void*>(mpBuffer), bytes);
    return mpData != nullptr;
}

bool AudioIRP::claim()
{
    if (mUseCounter.fetch_add(1, std::memory_order_acq_rel) != 0 || mpData == nullptr ||
        mUseNumber.load(std::memory_order_acquire) != 0) {
        mUseCounter.fetch_sub(1, std::memory_order_acq_rel);
        return false;
    }
    mTransferred = 0;
    mStatus = 0;
    mPacketsDone.store(0, std::memory_order_relaxed);
    mCompleted.store(0, std::memory_order_relaxed);
    return true;
}

void AudioIRP::publish(uint32_t number)
{
    // The service takes a block by its number: everything before is ready by then.
    mUseNumber.store(number, std::memory_order_release);
}

bool AudioIRP::useIn(uint32_t number, uint32_t stride)
{
    if (!claim()) {
        return false;
    }
    if (stride >= kMarkerBytes) {
        for (uint32_t p = 0; p < mPackets && (p + 1) * stride <= mSize; ++p) {
            uint8_t* end = mpData + (p + 1) * stride;
            putLE32(end - 8, kMarkerA);
            putLE32(end - 4, kMarkerB);
        }
    }
    publish(number);
    return true;
}

bool AudioIRP::useOut(uint32_t number)
{
    if (!claim()) {
        return false;
    }
    // A packet the service does not fill in time goes out as silence, not as an older block's audio.
    std::memset(mpData, 0, mSize);
    publish(number);
    return true;
}

bool AudioIRP::unuse()
{
    int32_t count = mUseCounter.load(std::memory_order_acquire);
    while (count > 0) {
        if (mUseCounter.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel)) {
            return true;
        }
    }
    VKLogOutsideRealTime("USB: %s\n", "AudioIRP::unuse() - mUseCounter <= 0");
    return false;
}

bool AudioIRP::prepare()
{
    if (isClaimed()) {
        IOLog("FATAL AudioIRP::prepare - IRP is used !!\n");
        return false;
    }
    mUseNumber.store(0, std::memory_order_release);
    mPacketsDone.store(0, std::memory_order_relaxed);
    mCompleted.store(0, std::memory_order_release);
    return true;
}

void AudioIRP::term()
{
    if (mpBuffer != nullptr) {
        mpBuffer->release();
        mpBuffer = nullptr;
    }
    mpData = nullptr;
    mSize = 0;
    mMaxPacket = 0;
    mPipe = nullptr;
}

uint32_t AudioIRP::writtenPackets(uint32_t done, uint32_t stride) const
{
    const uint32_t packets = stride != 0 ? std::min(mPackets, mSize / stride) : 0;
    uint32_t written = packets;
    while (written > done) {
        const uint8_t* end = mpData + written * stride;
        if (getLE32(end - 8) != kMarkerA || getLE32(end - 4) != kMarkerB) {
            break;
        }
        --written;
    }
    return written;
}

bool AudioBulkIRP::useOut(uint32_t number, bool log)
{
    if (!claim()) {
        if (log) {
            VKLogOutsideRealTime("AudioBulkIRP::useOut error nUC:%d pData:%p number:%d\n", isClaimed() ? 1 : 0,
                                 static_cast<void*>(data()), number);
        }
        return false;
    }
    std::memset(data(), 0, bufferSize());
    const uint32_t packet = maxPacket();
    for (uint32_t p = 0; p < kPackets && (p + 1) * packet <= bufferSize(); ++p) {
        uint8_t* at = data() + p * packet;
        // Slots only inside the packet (streams refuse packets too small for their layout).
        if (packet <= kSmallPacket && packet > kControlSlotSmall) {
            at[kMidiSlotSmall] = kNoMidi;
            at[kControlSlotSmall] = kNoControl;
        } else if (packet > kMidiSlotLarge2 + 1) {
            for (uint32_t slot : {kMidiSlotLarge1, kMidiSlotLarge1 + 1, kMidiSlotLarge2, kMidiSlotLarge2 + 1}) {
                at[slot] = kNoMidi;
            }
        }
    }
    publish(number);
    return true;
}

bool waitUnclaimed(AudioIRP* const* blocks, size_t count, uint32_t& waited)
{
    for (;;) {
        bool claimed = false;
        for (size_t i = 0; i < count; ++i) {
            claimed = claimed || blocks[i]->isClaimed();
        }
        if (!claimed) {
            return true;
        }
        if (waited >= kBlockWaitLimitMs) {
            return false;
        }
        IOSleep(1);
        ++waited;
    }
}
