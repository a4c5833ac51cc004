// A block of bytes with a read and a write position: the little-endian serialisation stream of
// the user side and the input and output of the LZW codec. An owned block grows on writes past
// its end (to 2 x (size + n), zero-filled); a wrapped caller block never changes size and drops
// what does not fit. Every read stops at the block's size, not at the write position.
//
// Thread safety: none; a buffer belongs to one thread at a time.
#pragma once

#include <cstdint>

class VKString;

class VKByteBuffer
{
public:
    VKByteBuffer() = default;
    explicit VKByteBuffer(uint32_t size);
    // Wraps the caller's block, which stays the caller's.
    VKByteBuffer(uint8_t* data, uint32_t size);
    ~VKByteBuffer();
    VKByteBuffer(const VKByteBuffer&) = delete;
    VKByteBuffer& operator=(const VKByteBuffer&) = delete;

    void setBuffer(uint8_t* data, uint32_t size);
    // Hands an owned block to the caller (free it with delete[]) and leaves the buffer empty.
    uint8_t* releaseBuffer();
    uint8_t* getBuffer() const { return m_data; }
    bool isExternal() const { return m_external; }

    uint32_t getSize() const { return m_size; }
    uint32_t getRemaining() const { return m_size - m_readPos; }
    bool eos() const { return getRemaining() == 0; }
    uint32_t getReadPosition() const { return m_readPos; }
    uint32_t getWritePosition() const { return m_writePos; }
    void rewind();
    void forward();
    void rewind(uint32_t n);
    void forward(uint32_t n);
    // The byte `offset` past the read position, 0 beyond the block.
    uint8_t peek(uint32_t offset) const;
    // Owned blocks only: a new zeroed block of n bytes, positions 0, contents lost.
    void resize(uint32_t n);
    // Owned blocks only: a new zeroed block of n bytes keeping the first min(size, n) bytes.
    void resizeAndKeep(uint32_t n);

    VKByteBuffer& read(void* destination, uint32_t n);
    // A new zeroed array of n bytes (free it with delete[]) filled from the stream.
    VKByteBuffer& readAndAlloc(void*& destination, uint32_t n);
    VKByteBuffer& write(const char* source, uint32_t n) { return doWrite(source, n); }
    VKByteBuffer& write(const void* source, uint32_t n) { return doWrite(source, n); }
    VKByteBuffer& doWrite(const void* source, uint32_t n);

    // Integers least significant byte first. A read that finds fewer bytes than the value needs
    // consumes what is left and leaves the target unchanged.
    VKByteBuffer& operator<<(signed char value);
    VKByteBuffer& operator<<(unsigned char value);
    VKByteBuffer& operator<<(bool value);
    VKByteBuffer& operator<<(short value);
    VKByteBuffer& operator<<(unsigned short value);
    VKByteBuffer& operator<<(int value);
    VKByteBuffer& operator<<(unsigned int value);
    // u32 count (characters + 1), the characters, a zero byte.
    VKByteBuffer& operator<<(const VKString& value);
    // u32 length (the source's write position), then that many bytes.
    VKByteBuffer& operator<<(const VKByteBuffer& value);
    // A plain char would otherwise be promoted and streamed as four bytes.
    VKByteBuffer& operator<<(char) = delete;

    VKByteBuffer& operator>>(signed char& value);
    VKByteBuffer& operator>>(unsigned char& value);
    VKByteBuffer& operator>>(bool& value);
    VKByteBuffer& operator>>(short& value);
    VKByteBuffer& operator>>(unsigned short& value);
    VKByteBuffer& operator>>(int& value);
    VKByteBuffer& operator>>(unsigned int& value);
    // A stored count larger than what remains gives the empty string; only the count is consumed.
    VKByteBuffer& operator>>(VKString& value);
    // A stored length larger than what remains empties the target; only the length is consumed.
    // A wrapped target takes what fits; the rest of the record is skipped.
    VKByteBuffer& operator>>(VKByteBuffer& value);
    VKByteBuffer& operator>>(char&) = delete;

    // 6-bit text coding of all of `source` (up to its size) into this buffer, and back.
    void uuEncode(VKByteBuffer& source);
    void uuDecode(VKByteBuffer& source);
    static uint8_t getUUCode(uint8_t value);
    static uint8_t getUUDecode(uint8_t character);

private:
    // Reads `n` bytes little-endian; false (nothing assembled) when fewer remain.
    bool readLittleEndian(uint32_t& value, uint32_t n);
    template <class Integer> VKByteBuffer& readInteger(Integer& value);
    VKByteBuffer& writeLittleEndian(uint32_t value, uint32_t n);
    void freeOwned();
    // Makes `copy` an owned buffer holding the first `length` bytes of the block, written.
    void copyTo(VKByteBuffer& copy, uint32_t length) const;

    uint8_t* m_data = nullptr;
    uint32_t m_size = 0;
    uint32_t m_readPos = 0;
    uint32_t m_writePos = 0;
    bool m_external = false;
};
