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

bool MidiQueue::load(Cursor& cursor, uint32_t capacity) const
{
    cursor = {shared::load(mWriteIndex), shared::load(mReadIndex), shared::load(mFill), shared::load(mSize)};
    const uint32_t limit = std::min(capacity, kMaxSize);
    return cursor.size >= kMinSize && cursor.size <= limit && cursor.write < cursor.size &&
           cursor.read < cursor.size && cursor.fill <= cursor.size &&
           (cursor.read + cursor.fill) % cursor.size == cursor.write;
}

void MidiQueue::store(const Cursor& cursor)
{
    shared::store(mWriteIndex, cursor.write);
    shared::store(mReadIndex, cursor.read);
    shared::store(mFill, cursor.fill);
}

int32_t MidiQueue::put(const uint8_t* source, int32_t count, uint32_t capacity)
{
    Cursor cursor;
    if (count <= 0 || !load(cursor, capacity)) {
        return 0;
    }
    const auto size = static_cast<int32_t>(cursor.size);
    if (count > size) {
        // Only the newest mSize bytes can survive; the ones before them are lost outright.
        if (source != nullptr) {
            source += count - size;
        }
        count = size;
    }
    int32_t room = size - static_cast<int32_t>(cursor.write);
    int32_t accepted;
    if (room > count) {
        accepted = enqueuePrivate(cursor, source, count, room);
    } else {
        const int32_t toEnd = room;
        accepted = enqueuePrivate(cursor, source, toEnd, room);
        cursor.write = 0;
        if (cursor.read == cursor.size) {
            cursor.read = 0;
        }
        accepted += enqueuePrivate(cursor, source != nullptr ? source + toEnd : nullptr, count - toEnd, room);
    }
    store(cursor);
    return accepted;
}

int32_t MidiQueue::enqueuePrivate(Cursor& cursor, const uint8_t* source, int32_t count, int32_t& room)
{
    if (source != nullptr) {
        std::memcpy(data() + cursor.write, source, static_cast<size_t>(count));
    }
    const uint32_t oldWrite = cursor.write;
    room -= count;
    cursor.write += static_cast<uint32_t>(count);
    const int32_t accepted = std::min(static_cast<int32_t>(cursor.size - cursor.fill), count);
    if (cursor.fill != 0 && cursor.read > oldWrite && cursor.read < cursor.write) {
        // The new bytes ran over unread ones: reading resumes at the oldest survivor.
        cursor.read = cursor.write;
        cursor.fill = cursor.size;
    } else {
        cursor.fill += static_cast<uint32_t>(count);
        if (cursor.fill > cursor.size) {
            cursor.read = cursor.write;
            cursor.fill = cursor.size;
        }
    }
    return accepted;
}

int32_t MidiQueue::get(uint8_t* destination, int32_t count, uint32_t capacity)
{
    Cursor cursor;
    if (count <= 0 || !load(cursor, capacity)) {
        return 0;
    }
    const int32_t taken = take(cursor, destination, count);
    store(cursor);
    return taken;
}

int32_t MidiQueue::take(Cursor& cursor, uint8_t* destination, int32_t count)
{
    if (cursor.read > cursor.write || cursor.fill >= cursor.size) {
        // The unread bytes run to the end of the data area first.
        const auto tail = static_cast<int32_t>(cursor.size - cursor.read);
        if (tail < count) {
            if (destination != nullptr) {
                std::memcpy(destination, data() + cursor.read, static_cast<size_t>(tail));
            }
            cursor.read = 0;
            cursor.fill -= static_cast<uint32_t>(tail);
            return tail + take(cursor, destination != nullptr ? destination + tail : nullptr, count - tail);
        }
    } else {
        const auto available = static_cast<int32_t>(cursor.write - cursor.read);
        if (available < count) {
            if (destination != nullptr) {
                std::memcpy(destination, data() + cursor.read, static_cast<size_t>(available));
            }
            cursor.read = cursor.write;
            cursor.fill -= static_cast<uint32_t>(available);
            return available;
        }
    }
    if (destination != nullptr) {
        std::memcpy(destination, data() + cursor.read, static_cast<size_t>(count));
    }
    cursor.read += static_cast<uint32_t>(count);
    cursor.fill -= static_cast<uint32_t>(count);
    if (cursor.read >= cursor.size) {
        cursor.read = 0;
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
