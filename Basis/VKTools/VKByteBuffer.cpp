#include "VKByteBuffer.h"

#include <cstring>
#include <limits>
#include <new>

#include "VKString.h"

namespace {

uint8_t* allocateZeroed(uint32_t n)
{
    return n == 0 ? nullptr : new (std::nothrow) uint8_t[n]();
}

constexpr char kUUAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ@abcdefghijklmnopqrstuvwxyz#";
static_assert(sizeof kUUAlphabet == 65);

} // namespace

VKByteBuffer::VKByteBuffer(uint32_t size) : m_data(allocateZeroed(size)), m_size(m_data != nullptr ? size : 0)
{
}

VKByteBuffer::VKByteBuffer(uint8_t* data, uint32_t size) : m_data(data), m_size(size), m_external(true) {}

VKByteBuffer::~VKByteBuffer()
{
    freeOwned();
}

void VKByteBuffer::freeOwned()
{
    if (!m_external) {
        delete[] m_data;
    }
    m_data = nullptr;
}

void VKByteBuffer::copyTo(VKByteBuffer& copy, uint32_t length) const
{
    copy.resize(length);
    const uint32_t n = length < copy.m_size ? length : copy.m_size;
    if (n != 0) {
        std::memcpy(copy.m_data, m_data, n);
    }
    copy.m_writePos = n;
}

void VKByteBuffer::setBuffer(uint8_t* data, uint32_t size)
{
    freeOwned();
    m_data = data;
    m_size = size;
    m_readPos = m_writePos = 0;
    m_external = true;
}

uint8_t* VKByteBuffer::releaseBuffer()
{
    uint8_t* data = m_data;
    m_data = nullptr;
    m_size = m_readPos = m_writePos = 0;
    m_external = false;
    return data;
}

void VKByteBuffer::rewind()
{
    m_readPos = m_writePos = 0;
}

void VKByteBuffer::forward()
{
    m_readPos = m_writePos = m_size;
}

void VKByteBuffer::rewind(uint32_t n)
{
    m_readPos = m_readPos < n ? 0 : m_readPos - n;
    m_writePos = m_writePos < n ? 0 : m_writePos - n;
}

void VKByteBuffer::forward(uint32_t n)
{
    if (n > getRemaining()) {
        forward();
        return;
    }
    m_readPos += n;
    m_writePos = m_writePos > std::numeric_limits<uint32_t>::max() - n ? std::numeric_limits<uint32_t>::max()
                                                                       : m_writePos + n;
}

uint8_t VKByteBuffer::peek(uint32_t offset) const
{
    return offset < getRemaining() ? m_data[m_readPos + offset] : 0;
}

void VKByteBuffer::resize(uint32_t n)
{
    if (m_external) {
        return;
    }
    delete[] m_data;
    m_data = allocateZeroed(n);
    m_size = m_data != nullptr ? n : 0;
    m_readPos = m_writePos = 0;
}

void VKByteBuffer::resizeAndKeep(uint32_t n)
{
    if (m_external) {
        return;
    }
    uint8_t* data = allocateZeroed(n);
    if (data == nullptr && n != 0) {
        return;
    }
    if (m_data != nullptr && data != nullptr) {
        std::memcpy(data, m_data, m_size < n ? m_size : n);
    }
    delete[] m_data;
    m_data = data;
    m_size = n;
    m_readPos = m_readPos < n ? m_readPos : n;
    m_writePos = m_writePos < n ? m_writePos : n;
}

VKByteBuffer& VKByteBuffer::read(void* destination, uint32_t n)
{
    if (destination == nullptr || m_data == nullptr) {
        return *this;
    }
    const uint32_t count = n < getRemaining() ? n : getRemaining();
    std::memcpy(destination, m_data + m_readPos, count);
    m_readPos += count;
    return *this;
}

VKByteBuffer& VKByteBuffer::readAndAlloc(void*& destination, uint32_t n)
{
    destination = new (std::nothrow) uint8_t[n]();
    return read(destination, n);
}

VKByteBuffer& VKByteBuffer::doWrite(const void* source, uint32_t n)
{
    if (source == nullptr) {
        return *this;
    }
    const uint64_t end = uint64_t{m_writePos} + n;
    if (end > m_size && !m_external) {
        const uint64_t grown = 2 * (uint64_t{m_size} + n);
        constexpr uint64_t kLargest = std::numeric_limits<uint32_t>::max();
        resizeAndKeep(static_cast<uint32_t>(grown < kLargest ? grown : kLargest));
    }
    if (m_writePos < m_size) {
        const uint32_t room = m_size - m_writePos;
        const uint32_t count = n < room ? n : room;
        std::memmove(m_data + m_writePos, source, count);
        m_writePos += count;
    }
    return *this;
}

template <class Integer> VKByteBuffer& VKByteBuffer::readInteger(Integer& value)
{
    uint32_t v;
    if (readLittleEndian(v, sizeof(Integer))) {
        value = static_cast<Integer>(v);
    }
    return *this;
}

bool VKByteBuffer::readLittleEndian(uint32_t& value, uint32_t n)
{
    uint8_t bytes[4] = {};
    const uint32_t before = m_readPos;
    read(bytes, n);
    if (m_readPos - before != n) {
        return false;
    }
    value = 0;
    for (uint32_t i = n; i > 0; --i) {
        value = value * 256 + bytes[i - 1];
    }
    return true;
}

VKByteBuffer& VKByteBuffer::writeLittleEndian(uint32_t value, uint32_t n)
{
    uint8_t bytes[4];
    for (uint32_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return write(bytes, n);
}

VKByteBuffer& VKByteBuffer::operator<<(signed char value)
{
    return writeLittleEndian(static_cast<uint8_t>(value), 1);
}

VKByteBuffer& VKByteBuffer::operator<<(unsigned char value)
{
    return writeLittleEndian(value, 1);
}

VKByteBuffer& VKByteBuffer::operator<<(bool value)
{
    return writeLittleEndian(value ? 1 : 0, 1);
}

VKByteBuffer& VKByteBuffer::operator<<(short value)
{
    return writeLittleEndian(static_cast<uint16_t>(value), 2);
}

VKByteBuffer& VKByteBuffer::operator<<(unsigned short value)
{
    return writeLittleEndian(value, 2);
}

VKByteBuffer& VKByteBuffer::operator<<(int value)
{
    return writeLittleEndian(static_cast<uint32_t>(value), 4);
}

VKByteBuffer& VKByteBuffer::operator<<(unsigned int value)
{
    return writeLittleEndian(value, 4);
}

VKByteBuffer& VKByteBuffer::operator<<(const VKString& value)
{
    const auto count = static_cast<uint32_t>(value.getLength()) + 1;
    *this << count;
    return write(static_cast<const char*>(value), count);
}

VKByteBuffer& VKByteBuffer::operator<<(const VKByteBuffer& value)
{
    // A write position moved past the block by forward(n) counts only up to the block's end.
    const uint32_t length = value.m_writePos < value.m_size ? value.m_writePos : value.m_size;
    if (&value == this) {
        // Growing would free the block being copied: copy it aside first.
        VKByteBuffer copy;
        copyTo(copy, length);
        return *this << copy;
    }
    *this << length;
    return write(value.m_data, length);
}

VKByteBuffer& VKByteBuffer::operator>>(signed char& value)
{
    return readInteger(value);
}

VKByteBuffer& VKByteBuffer::operator>>(unsigned char& value)
{
    return readInteger(value);
}

VKByteBuffer& VKByteBuffer::operator>>(bool& value)
{
    uint32_t v;
    if (readLittleEndian(v, 1)) {
        value = v == 1;
    }
    return *this;
}

VKByteBuffer& VKByteBuffer::operator>>(short& value)
{
    return readInteger(value);
}

VKByteBuffer& VKByteBuffer::operator>>(unsigned short& value)
{
    return readInteger(value);
}

VKByteBuffer& VKByteBuffer::operator>>(int& value)
{
    return readInteger(value);
}

VKByteBuffer& VKByteBuffer::operator>>(unsigned int& value)
{
    return readInteger(value);
}

VKByteBuffer& VKByteBuffer::operator>>(VKString& value)
{
    uint32_t count = 0;
    if (!readLittleEndian(count, 4) || count > getRemaining() ||
        count >= static_cast<uint32_t>(std::numeric_limits<int>::max() - 64)) {
        value.assign("");
        return *this;
    }
    value.setLength(static_cast<int>(count));
    read(value.getBuffer(), count);
    value.countLength();
    return *this;
}

VKByteBuffer& VKByteBuffer::operator>>(VKByteBuffer& value)
{
    if (&value == this) {
        // Reading a record into its own stream: take it aside, then become it.
        VKByteBuffer record;
        *this >> record;
        resize(record.m_writePos);
        m_readPos = m_writePos = 0;
        write(record.m_data, record.m_writePos);
        return *this;
    }
    uint32_t length = 0;
    if (!readLittleEndian(length, 4) || length > getRemaining()) {
        value.resize(0);
        return *this;
    }
    value.resize(length);
    const uint32_t stored = length < value.m_size ? length : value.m_size;
    read(value.m_data, stored);
    m_readPos += length - stored;
    value.m_readPos = 0;
    value.m_writePos = stored;
    return *this;
}

uint8_t VKByteBuffer::getUUCode(uint8_t value)
{
    return value < 64 ? static_cast<uint8_t>(kUUAlphabet[value]) : 0;
}

uint8_t VKByteBuffer::getUUDecode(uint8_t character)
{
    if (character >= '0' && character <= '9') {
        return static_cast<uint8_t>(character - '0');
    }
    if (character >= 'A' && character <= 'Z') {
        return static_cast<uint8_t>(character - 'A' + 10);
    }
    if (character == '@') {
        return 36;
    }
    if (character >= 'a' && character <= 'z') {
        return static_cast<uint8_t>(character - 'a' + 37);
    }
    return character == '#' ? 63 : 255;
}

void VKByteBuffer::uuEncode(VKByteBuffer& source)
{
    if (&source == this) {
        VKByteBuffer copy;
        copyTo(copy, m_size);
        uuEncode(copy);
        return;
    }
    resize(0);
    source.rewind();
    while (!source.eos()) {
        uint8_t bytes[3] = {};
        const uint32_t before = source.m_readPos;
        source.read(bytes, 3);
        const uint32_t taken = source.m_readPos - before;
        const uint32_t group = uint32_t{bytes[0]} << 16 | uint32_t{bytes[1]} << 8 | bytes[2];
        for (uint32_t i = 0; i <= taken; ++i) {
            *this << getUUCode(static_cast<uint8_t>((group >> (18 - 6 * i)) & 0x3F));
        }
    }
}

void VKByteBuffer::uuDecode(VKByteBuffer& source)
{
    if (&source == this) {
        VKByteBuffer copy;
        copyTo(copy, m_size);
        uuDecode(copy);
        return;
    }
    resize(0);
    source.rewind();
    while (!source.eos()) {
        uint8_t c[4];
        int bytes = 3;
        source >> c[0];
        for (int i = 1; i < 4; ++i) {
            if (source.eos()) {
                c[i] = 255;
                --bytes;
            } else {
                source >> c[i];
            }
        }
        uint32_t group = 0;
        for (const uint8_t character : c) {
            group = group * 64 + getUUDecode(character);
        }
        for (int i = 0; i < bytes; ++i) {
            *this << static_cast<uint8_t>(group >> (16 - 8 * i));
        }
    }
}
