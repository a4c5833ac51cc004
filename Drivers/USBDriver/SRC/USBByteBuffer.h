// A cursor over bytes it does not own (descriptor bytes read from a device), with separate read
// and write positions. Every read, write, peek and poke stops at the size: nothing is read or
// written outside the bytes, whatever the caller asks. Multi-byte values are little-endian.
//
// Thread safety: none; the owner serialises access.
#pragma once

#include <cstdint>

class USBByteBuffer
{
public:
    USBByteBuffer() = default;
    USBByteBuffer(uint8_t* data, uint32_t size) : m_pData(data), m_uSize(size) {}
    // Read-only bytes; writes through such a buffer are the caller's error (poke and write
    // are not used on device bytes).
    USBByteBuffer(const uint8_t* data, uint32_t size) : m_pData(const_cast<uint8_t*>(data)), m_uSize(size) {}
    ~USBByteBuffer() = default;

    void setBuffer(uint8_t* data, uint32_t size);

    uint32_t getSize() const { return m_uSize; }
    // Bytes from the read position to the end.
    uint32_t getRemaining() const { return m_uReadPos < m_uSize ? m_uSize - m_uReadPos : 0; }
    uint32_t getReadPos() const { return m_uReadPos; }
    uint32_t getWritePos() const { return m_uWritePos; }
    const uint8_t* getData() const { return m_pData; }

    // Read position to 0.
    void rewind();
    // Both positions back by n, each stopping at 0.
    void rewind(uint32_t n);
    // Both positions to the end.
    void forward();
    // Both positions forward by n when n bytes remain, else to the end.
    void forward(uint32_t n);

    // The byte i places after the read position, or 0 when i is not below getRemaining().
    uint8_t peek(uint32_t i) const;
    void poke(uint32_t i, uint8_t value);

    // Up to n bytes from the read position; stops at the end. Nothing for a null destination,
    // a missing buffer or n = 0.
    USBByteBuffer& read(void* destination, uint32_t n);
    // Up to n bytes to the write position; stops at the end. Same guards.
    USBByteBuffer& write(const void* source, uint32_t n);

    USBByteBuffer& operator<<(bool value);
    USBByteBuffer& operator<<(char value);
    USBByteBuffer& operator<<(signed char value);
    USBByteBuffer& operator<<(unsigned char value);
    USBByteBuffer& operator<<(short value);
    USBByteBuffer& operator<<(unsigned short value);
    USBByteBuffer& operator<<(int value);
    USBByteBuffer& operator<<(unsigned int value);

    // A value read past the end keeps its missing bytes zero.
    USBByteBuffer& operator>>(bool& value);
    USBByteBuffer& operator>>(char& value);
    USBByteBuffer& operator>>(signed char& value);
    USBByteBuffer& operator>>(unsigned char& value);
    USBByteBuffer& operator>>(short& value);
    USBByteBuffer& operator>>(unsigned short& value);
    USBByteBuffer& operator>>(int& value);
    USBByteBuffer& operator>>(unsigned int& value);

private:
    uint8_t* m_pData = nullptr;
    uint32_t m_uSize = 0;
    uint32_t m_uReadPos = 0;
    uint32_t m_uWritePos = 0;
};
