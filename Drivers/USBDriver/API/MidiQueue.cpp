#include "MidiQueue.h"

#include <algorithm>
#include <cstring>

bool MidiQueue::init(uint32_t size)
{
    if (size < kMinSize || size > kMaxSize) {
        return false;
    }
    mSize = size;
    mWriteIndex = 0;
    mReadIndex = 0;
    mFill = 0;
    std::memset(data(), 0, size);
    return true;
}

bool MidiQueue::headerValid() const
{
    return mSize >= kMinSize && mSize <= kMaxSize && mWriteIndex < mSize && mReadIndex < mSize &&
           mFill <= mSize && (mReadIndex + mFill) % mSize == mWriteIndex;
}

int32_t MidiQueue::put(const uint8_t* source, int32_t count)
{
    if (count <= 0 || !headerValid()) {
        return 0;
    }
    const auto size = static_cast<int32_t>(mSize);
    if (count > size) {
        // Only the newest mSize bytes can survive; the ones before them are lost outright.
        if (source != nullptr) {
            source += count - size;
        }
        count = size;
    }
    int32_t room = size - static_cast<int32_t>(mWriteIndex);
    if (room > count) {
        return enqueuePrivate(source, count, room);
    }
    const int32_t toEnd = room;
    const int32_t first = enqueuePrivate(source, toEnd, room);
    mWriteIndex = 0;
    if (mReadIndex == mSize) {
        mReadIndex = 0;
    }
    const int32_t second = enqueuePrivate(source != nullptr ? source + toEnd : nullptr, count - toEnd, room);
    return first + second;
}

int32_t MidiQueue::enqueuePrivate(const uint8_t* source, int32_t count, int32_t& room)
{
    if (source != nullptr) {
        std::memcpy(data() + mWriteIndex, source, static_cast<size_t>(count));
    }
    const uint32_t oldWrite = mWriteIndex;
    room -= count;
    mWriteIndex += static_cast<uint32_t>(count);
    const int32_t accepted = std::min(static_cast<int32_t>(mSize - mFill), count);
    if (mFill != 0 && mReadIndex > oldWrite && mReadIndex < mWriteIndex) {
        // The new bytes ran over unread ones: reading resumes at the oldest survivor.
        mReadIndex = mWriteIndex;
        mFill = mSize;
    } else {
        mFill += static_cast<uint32_t>(count);
        if (mFill > mSize) {
            mReadIndex = mWriteIndex;
            mFill = mSize;
        }
    }
    return accepted;
}

int32_t MidiQueue::get(uint8_t* destination, int32_t count)
{
    if (count <= 0 || !headerValid()) {
        return 0;
    }
    if (mReadIndex > mWriteIndex || mFill >= mSize) {
        // The unread bytes run to the end of the data area first.
        const auto tail = static_cast<int32_t>(mSize - mReadIndex);
        if (tail < count) {
            if (destination != nullptr) {
                std::memcpy(destination, data() + mReadIndex, static_cast<size_t>(tail));
            }
            mReadIndex = 0;
            mFill -= static_cast<uint32_t>(tail);
            return tail + get(destination != nullptr ? destination + tail : nullptr, count - tail);
        }
    } else {
        const auto available = static_cast<int32_t>(mWriteIndex - mReadIndex);
        if (available < count) {
            if (destination != nullptr) {
                std::memcpy(destination, data() + mReadIndex, static_cast<size_t>(available));
            }
            mReadIndex = mWriteIndex;
            mFill -= static_cast<uint32_t>(available);
            return available;
        }
    }
    if (destination != nullptr) {
        std::memcpy(destination, data() + mReadIndex, static_cast<size_t>(count));
    }
    mReadIndex += static_cast<uint32_t>(count);
    mFill -= static_cast<uint32_t>(count);
    if (mReadIndex >= mSize) {
        mReadIndex = 0;
    }
    return count;
}

int32_t MidiQueue::getLength(int32_t& used, int32_t& free) const
{
    used = static_cast<int32_t>(mFill);
    free = static_cast<int32_t>(mSize - mFill);
    return free;
}

void AsyncTransportBlock::init()
{
    mLength = 0;
    mState = kStateFree;
    mTag = 0;
    mUserBuffer = 0;
}

void AsyncTransportData::init()
{
    for (auto& block : mBlocks) {
        block.init();
    }
    mSendIndex = 0;
    mReceiveIndex = 0;
    mSendDoneIndex = 0;
    mReceiveDoneIndex = 0;
    mPending = 0;
}
