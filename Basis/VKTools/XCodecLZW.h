// Lempel-Ziv-Welch coding of a VKByteBuffer into another and back.
//
// Stream format: codes packed most significant bit first, the last byte filled with zero bits;
// codes 0-255 are the single bytes, later codes are assigned in the order strings are added. In
// every segment codes #0-255 are 9 bits wide, #256-767 10, #768-1791 11 and #1792-3839 12; after
// 3,840 codes both sides reset the dictionary. No header, clear code or end code.
//
// Both runs read their source from its start to its size (a grown buffer's zero tail included)
// and write the result with <<, so the result's length is its write position.
//
// Thread safety: none; one codec serves one run at a time.
#pragma once

#include <cstdint>

class VKByteBuffer;

// One string of the encoder's dictionary: its last byte, its code, and the first of the strings
// one byte longer with the next of its parent's extensions.
struct XEncodeDictionaryValue
{
    uint32_t value = 0;
    uint32_t code = 0;
    XEncodeDictionaryValue* firstChild = nullptr;
    XEncodeDictionaryValue* nextSibling = nullptr;
};

// One string of the decoder's dictionary: its last byte and the string without it.
struct XDecodeDictionaryValue
{
    uint32_t value = 0;
    XDecodeDictionaryValue* prefix = nullptr;
};

class XCodecLZW
{
public:
    static constexpr uint32_t kDictionarySize = 4096;

    XCodecLZW() = default;
    virtual ~XCodecLZW();
    XCodecLZW(const XCodecLZW&) = delete;
    XCodecLZW& operator=(const XCodecLZW&) = delete;

    // Compresses all of `src` into `dst`; false only when memory runs out.
    bool encode(VKByteBuffer& src, VKByteBuffer& dst);
    // Expands `src` into `dst`. A malformed stream (a code beyond the dictionary, a segment that
    // does not start with a single byte, a code cut off by the end) ends the run; `dst` keeps what
    // was decoded before it.
    void decode(VKByteBuffer& src, VKByteBuffer& dst);

private:
    static constexpr uint32_t kInitialWidth = 9;
    static constexpr uint32_t kRootCount = 1u << (kInitialWidth - 1);
    static constexpr uint32_t kHighestRoot = kRootCount - 1;
    static constexpr uint32_t kDecoderLastCode = kDictionarySize - 2;

    void initDictionary_1_Encode();
    void initDictionary_2_Encode();
    XEncodeDictionaryValue* findNode(XEncodeDictionaryValue* current, uint32_t value) const;
    void addNode(XEncodeDictionaryValue* current, uint32_t value);
    bool idDictionaryFull() const { return m_encoderNextCode == kDictionarySize; }
    void writeCodeLR(VKByteBuffer& dst, uint32_t code);
    void completeEncodingLR(VKByteBuffer& dst);

    void initDictionary_1_Decode();
    void initDictionary_2_Decode();
    // False when the source ends before a whole code.
    bool readCodeLR(VKByteBuffer& src, uint32_t& code);
    // Writes the string of `code` and returns its first byte.
    uint32_t writeString(VKByteBuffer& dst, uint32_t code);
    void addString(uint32_t first, uint32_t previous);

    uint32_t m_encoderNextCode = 0;
    uint32_t m_encoderOutputBits = 0;
    uint8_t m_encoderOutputBitCount = 0;
    uint8_t m_encoderCodeWidth = 0;
    XEncodeDictionaryValue* m_encoderDictionary = nullptr;

    uint32_t m_decoderNextCode = 0;
    uint32_t m_decoderInputBits = 0;
    uint8_t m_decoderInputBitCount = 0;
    uint8_t m_decoderCodeWidth = 0;
    XDecodeDictionaryValue* m_decoderDictionary = nullptr;
    // Bytes of one string, gathered from its last byte back to its first.
    uint8_t* m_decoderStack = nullptr;
};
