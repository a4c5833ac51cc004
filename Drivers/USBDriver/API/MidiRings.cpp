#include "MidiRings.h"

#include <algorithm>
#include <cstring>

namespace {

uint32_t nextElement(uint32_t index)
{
    return index + 1 < MidiIO::kElements ? index + 1 : 0;
}

} // namespace

void MidiIO::init()
{
    std::memset(static_cast<void*>(this), 0, sizeof(*this));
}

uint32_t MidiIO::putFrame(const uint8_t* bytes, uint32_t count, uint32_t& writeIndex, uint64_t time)
{
    if (bytes == nullptr) {
        return 0;
    }
    uint32_t stored = 0;
    uint32_t at = 0;
    while (at < count) {
        uint8_t data[MidiIOElement::kMaxBytes];
        uint32_t length = 0;
        for (; at < count && length < MidiIOElement::kMaxBytes; ++at) {
            if (bytes[at] != kFiller) {
                data[length++] = bytes[at];
            }
        }
        if (length == 0) {
            continue;
        }
        if (writeIndex >= kElements) {
            writeIndex = 0;
        }
        MidiIOElement& element = mElements[writeIndex];
        shared::store(element.mTime, time);
        std::memcpy(element.mData, data, length);
        shared::storeRelease(element.mLength, length);
        writeIndex = nextElement(writeIndex);
        shared::storeRelease(mWriteIndex, writeIndex);
        stored += length;
    }
    return stored;
}

// The write index is read before the element: an index past `read` was stored after the element
// it covers, so that element is read whole.
bool MidiIO::readyForRead() const
{
    const uint32_t read = shared::load(mReadIndex) % kElements;
    const uint32_t write = shared::loadAcquire(mWriteIndex);
    return read != write || shared::loadAcquire(mElements[read].mLength) != 0;
}

bool MidiIO::get(MidiIOElement* out)
{
    const uint32_t read = shared::load(mReadIndex) % kElements;
    const uint32_t write = shared::loadAcquire(mWriteIndex);
    const uint32_t length = shared::loadAcquire(mElements[read].mLength);
    if (out == nullptr || (read == write && length == 0)) {
        return false;
    }
    MidiIOElement& element = mElements[read];
    out->mTime = shared::load(element.mTime);
    out->mLength = std::min(length, MidiIOElement::kMaxBytes);
    std::memcpy(out->mData, element.mData, MidiIOElement::kMaxBytes);
    shared::storeRelease(element.mLength, 0);
    shared::store(mReadIndex, nextElement(read));
    return true;
}

template <uint32_t Size, class Index>
void MidiByteQueue<Size, Index>::init()
{
    std::memset(static_cast<void*>(this), 0, sizeof(*this));
}

template <uint32_t Size, class Index>
void MidiByteQueue<Size, Index>::initNoMemSet()
{
    shared::storeRelease(mFill, 0);
    mWriteIndex = 0;
    mReadIndex = 0;
    if constexpr (Size <= 256) {
        std::memset(mData, 0, Size);
    }
}

template <uint32_t Size, class Index>
uint32_t MidiByteQueue<Size, Index>::fill() const
{
    return std::min(shared::loadAcquire(mFill), Size);
}

template <uint32_t Size, class Index>
int32_t MidiByteQueue<Size, Index>::put(const uint8_t* bytes, int32_t count)
{
    if (bytes == nullptr || count <= 0) {
        return 0;
    }
    uint32_t left = std::min(static_cast<uint32_t>(count), Size - fill());
    const int32_t queued = static_cast<int32_t>(left);
    // The index is this side's own, but it lies where the other side could write: read it once.
    uint32_t at = *static_cast<volatile Index*>(&mWriteIndex);
    while (left > 0) {
        const uint32_t piece = std::min(left, Size - at);
        std::memcpy(mData + at, bytes, piece);
        bytes += piece;
        left -= piece;
        at = (at + piece) % Size;
        *static_cast<volatile Index*>(&mWriteIndex) = static_cast<Index>(at);
        shared::atomicAdd(mFill, static_cast<int32_t>(piece));
    }
    return queued;
}

template <uint32_t Size, class Index>
int32_t MidiByteQueue<Size, Index>::get(uint8_t* destination, int32_t count)
{
    if (count <= 0) {
        return 0;
    }
    uint32_t left = std::min(static_cast<uint32_t>(count), fill());
    const int32_t taken = static_cast<int32_t>(left);
    uint32_t at = *static_cast<volatile Index*>(&mReadIndex);
    while (left > 0) {
        const uint32_t piece = std::min(left, Size - at);
        if (destination != nullptr) {
            std::memcpy(destination, mData + at, piece);
            destination += piece;
        }
        left -= piece;
        at = (at + piece) % Size;
        *static_cast<volatile Index*>(&mReadIndex) = static_cast<Index>(at);
        shared::atomicAdd(mFill, -static_cast<int32_t>(piece));
    }
    return taken;
}

template struct MidiByteQueue<65'536, uint16_t>;
template struct MidiByteQueue<256, uint8_t>;
