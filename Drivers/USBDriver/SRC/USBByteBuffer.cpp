#include "USBByteBuffer.h"

#include <cstring>

void USBByteBuffer::setBuffer(uint8_t* data, uint32_t size)
{
    m_pData = data;
    m_uSize = size;
    m_uReadPos = 0;
    m_uWritePos = 0;
}

void USBByteBuffer::rewind()
{
    m_uReadPos = 0;
}

void USBByteBuffer::rewind(uint32_t n)
{
    m_uReadPos = m_uReadPos > n ? m_uReadPos - n : 0;
    m_uWritePos = m_uWritePos > n ? m_uWritePos - n : 0;
}

void USBByteBuffer::forward()
{
    m_uReadPos = m_uSize;
    m_uWritePos = m_uSize;
}

void USBByteBuffer::forward(uint32_t n)
{
    if (n <= getRemaining()) {
        m_uReadPos += n;
        m_uWritePos = m_uWritePos <= m_uSize - n ? m_uWritePos + n : m_uSize;
    } else {
        forward();
    }
}

uint8_t USBByteBuffer::peek(uint32_t i) const
{
    if (m_pData == nullptr || i >= getRemaining()) {
        return 0;
    }
    return m_pData[m_uReadPos + i];
}

void USBByteBuffer::poke(uint32_t i, uint8_t value)
{
    if (m_pData != nullptr && i < getRemaining()) {
        m_pData[m_uReadPos + i] = value;
    }
}

USBByteBuffer& USBByteBuffer::read(void* destination, uint32_t n)
{
    if (destination == nullptr || m_pData == nullptr || n == 0) {
        return *this;
    }
    const uint32_t count = n < getRemaining() ? n : getRemaining();
    if (count > 0) {
        std::memcpy(destination, m_pData + m_uReadPos, count);
        m_uReadPos += count;
    }
    return *this;
}

USBByteBuffer& USBByteBuffer::write(const void* source, uint32_t n)
{
    if (source == nullptr || m_pData == nullptr || n == 0 || m_uWritePos >= m_uSize) {
        return *this;
    }
    const uint32_t room = m_uSize - m_uWritePos;
    const uint32_t count = n < room ? n : room;
    std::memcpy(m_pData + m_uWritePos, source, count);
    m_uWritePos += count;
    return *this;
}

namespace {

// Little-endian, one byte at a time, so a value cut by the end keeps what fitted.
template <class T> void putValue(USBByteBuffer& buffer, T value)
{
    auto bits = static_cast<uint32_t>(value);
    for (size_t i = 0; i < sizeof(T); ++i) {
        const auto byte = static_cast<uint8_t>(bits >> (8 * i));
        buffer.write(&byte, 1);
    }
}

template <class T> void getValue(USBByteBuffer& buffer, T& value)
{
    uint32_t bits = 0;
    for (size_t i = 0; i < sizeof(T); ++i) {
        uint8_t byte = 0;
        buffer.read(&byte, 1);
        bits |= static_cast<uint32_t>(byte) << (8 * i);
    }
    value = static_cast<T>(bits);
}

} // namespace

USBByteBuffer& USBByteBuffer::operator<<(bool value)
{
    putValue<uint8_t>(*this, value ? 1 : 0);
    return *this;
}
USBByteBuffer& USBByteBuffer::operator<<(char value)
{
    putValue(*this, value);
    return *this;
}
USBByteBuffer& USBByteBuffer::operator<<(signed char value)
{
    putValue(*this, value);
    return *this;
}
USBByteBuffer& USBByteBuffer::operator<<(unsigned char value)
{
    putValue(*this, value);
    return *this;
}
USBByteBuffer& USBByteBuffer::operator<<(short value)
{
    putValue(*this, value);
    return *this;
}
USBByteBuffer& USBByteBuffer::operator<<(unsigned short value)
{
    putValue(*this, value);
    return *this;
}
USBByteBuffer& USBByteBuffer::operator<<(int value)
{
    putValue(*this, value);
    return *this;
}
USBByteBuffer& USBByteBuffer::operator<<(unsigned int value)
{
    putValue(*this, value);
    return *this;
}

USBByteBuffer& USBByteBuffer::operator>>(bool& value)
{
    uint8_t byte = 0;
    getValue(*this, byte);
    value = byte != 0;
    return *this;
}
USBByteBuffer& USBByteBuffer::operator>>(char& value)
{
    getValue(*this, value);
    return *this;
}
USBByteBuffer& USBByteBuffer::operator>>(signed char& value)
{
    getValue(*this, value);
    return *this;
}
USBByteBuffer& USBByteBuffer::operator>>(unsigned char& value)
{
    getValue(*this, value);
    return *this;
}
USBByteBuffer& USBByteBuffer::operator>>(short& value)
{
    getValue(*this, value);
    return *this;
}
USBByteBuffer& USBByteBuffer::operator>>(unsigned short& value)
{
    getValue(*this, value);
    return *this;
}
USBByteBuffer& USBByteBuffer::operator>>(int& value)
{
    getValue(*this, value);
    return *this;
}
USBByteBuffer& USBByteBuffer::operator>>(unsigned int& value)
{
    getValue(*this, value);
    return *this;
}
