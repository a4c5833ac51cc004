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

namespace {

uint32_t loadAcquire(const uint32_t& field)
{
    return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}

void storeRelease(uint32_t& field, uint32_t value)
{
    __atomic_store_n(&field, value, __ATOMIC_RELEASE);
}

bool swapFill(uint32_t& fill, uint32_t& expected, uint32_t desired)
{
    return __atomic_compare_exchange_n(&fill, &expected, desired, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
}

// Bytes from `from` forward to `to` in a ring of `size`.
uint32_t distance(uint32_t from, uint32_t to, uint32_t size)
{
    return to >= from ? to - from : size - from + to;
}

// A consumer that keeps losing its copy to overrunning puts gives up and asks again later.
constexpr int kGetAttempts = 4;

} // namespace

uint32_t MidiQueue::checkedSize(uint32_t capacity) const
{
    const uint32_t size = shared::load(mSize);
    return size >= kMinSize && size <= std::min(capacity, kMaxSize) ? size : 0;
}

void MidiQueue::copyIn(uint32_t at, const uint8_t* source, uint32_t count, uint32_t size)
{
    if (source == nullptr) {
        return;
    }
    const uint32_t first = std::min(count, size - at);
    std::memcpy(data() + at, source, first);
    std::memcpy(data(), source + first, count - first);
}

void MidiQueue::copyOut(uint32_t at, uint8_t* destination, uint32_t count, uint32_t size)
{
    if (destination == nullptr) {
        return;
    }
    const uint32_t first = std::min(count, size - at);
    std::memcpy(destination, data() + at, first);
    std::memcpy(destination + first, data(), count - first);
}

int32_t MidiQueue::put(const uint8_t* source, int32_t count, uint32_t capacity)
{
    const uint32_t size = checkedSize(capacity);
    if (count <= 0 || size == 0) {
        return 0;
    }
    // The producer's own index; the fill before the consumer's index, so that the index seen is
    // at least as new as the fill (the consumer stores its index before it lowers the fill).
    const uint32_t write = shared::load(mWriteIndex);
    uint32_t fill = loadAcquire(mFill);
    const uint32_t read = loadAcquire(mReadIndex);
    const bool overrun = (fill & kOverrun) != 0;
    if (write >= size || read >= size || (!overrun && (fill > size || distance(read, write, size) > fill))) {
        return 0;
    }
    auto n = static_cast<uint32_t>(count);
    if (n > size) {
        // Only the newest mSize bytes can survive; the ones before them are lost outright.
        if (source != nullptr) {
            source += n - size;
        }
        n = size;
    }
    const uint32_t next = (write + n) % size;

    if (!overrun && fill + n <= size) {
        // Only free space is written: the consumer reads none of it until the fill says so.
        copyIn(write, source, n, size);
        storeRelease(mWriteIndex, next);
        __atomic_add_fetch(&mFill, n, __ATOMIC_RELEASE);
        return static_cast<int32_t>(n);
    }

    // Unread bytes are overwritten. Flag the index, then mark the fill, before any byte changes:
    // a consumer that sees the mark sees the flag and waits; one that copied before the mark
    // fails its compare-and-swap on the fill and drops the copy.
    shared::store(mWriteIndex, write | kWriting);
    uint32_t accepted;
    for (;;) {
        uint32_t marked;
        if ((fill & kOverrun) == 0 && fill + n <= size) {
            marked = fill + n; // the consumer made room meanwhile
        } else {
            marked = kOverrun | (((fill & ~kOverrun) + n) & ~kOverrun);
        }
        accepted = (fill & kOverrun) != 0 || fill >= size ? 0 : std::min(n, size - fill);
        if (swapFill(mFill, fill, marked)) {
            break;
        }
        if ((fill & kOverrun) == 0 && fill > size) {
            storeRelease(mWriteIndex, write); // scribbled on meanwhile
            return 0;
        }
    }
    copyIn(write, source, n, size);
    storeRelease(mWriteIndex, next);
    return static_cast<int32_t>(accepted);
}

int32_t MidiQueue::get(uint8_t* destination, int32_t count, uint32_t capacity)
{
    const uint32_t size = checkedSize(capacity);
    const uint32_t read = shared::load(mReadIndex);
    if (count <= 0 || size == 0 || read >= size) {
        return 0;
    }
    for (int attempt = 0; attempt < kGetAttempts; ++attempt) {
        uint32_t fill = loadAcquire(mFill);
        const uint32_t write = loadAcquire(mWriteIndex);
        if ((write & kWriting) != 0) {
            return 0; // unread bytes are being overwritten; they are there once the flag clears
        }
        const bool overrun = (fill & kOverrun) != 0;
        if (write >= size || (!overrun && fill > size)) {
            return 0;
        }
        if (fill == 0) {
            return 0;
        }
        // After an overrun the oldest byte that survived is the one the producer writes next.
        const uint32_t start = overrun ? write : read;
        const uint32_t available = overrun ? size : fill;
        const uint32_t taken = std::min(static_cast<uint32_t>(count), available);
        copyOut(start, destination, taken, size);
        // The index first, so a producer that sees the lower fill sees where reading resumes.
        storeRelease(mReadIndex, (start + taken) % size);
        for (;;) {
            if (swapFill(mFill, fill, overrun ? available - taken : fill - taken)) {
                return static_cast<int32_t>(taken);
            }
            if (overrun || (fill & kOverrun) != 0) {
                break; // overrun during the copy: what was copied may be newer bytes; again
            }
            if (fill > size) {
                return 0;
            }
            // Only new bytes came in: the copy stands.
        }
    }
    return 0;
}

int32_t MidiQueue::getLength(int32_t& used, int32_t& free) const
{
    const uint32_t size = shared::load(mSize);
    const uint32_t fill = loadAcquire(mFill);
    const uint32_t unread = (fill & kOverrun) != 0 || fill > size ? size : fill;
    used = static_cast<int32_t>(unread);
    free = static_cast<int32_t>(size - unread);
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
