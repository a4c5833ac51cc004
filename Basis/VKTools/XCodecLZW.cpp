#include "XCodecLZW.h"

#include <new>

#include "VKByteBuffer.h"

XCodecLZW::~XCodecLZW()
{
    delete[] m_encoderDictionary;
    delete[] m_decoderDictionary;
    delete[] m_decoderStack;
}

void XCodecLZW::initDictionary_1_Encode()
{
    for (uint32_t i = 0; i < kDictionarySize; ++i) {
        m_encoderDictionary[i] = XEncodeDictionaryValue{i < kRootCount ? i : 0, i, nullptr, nullptr};
    }
    m_encoderNextCode = kRootCount;
    m_encoderCodeWidth = kInitialWidth;
}

void XCodecLZW::initDictionary_2_Encode()
{
    for (uint32_t i = 0; i < kDictionarySize; ++i) {
        m_encoderDictionary[i].firstChild = nullptr;
        m_encoderDictionary[i].nextSibling = nullptr;
    }
    m_encoderNextCode = kRootCount;
    m_encoderCodeWidth = kInitialWidth;
}

XEncodeDictionaryValue* XCodecLZW::findNode(XEncodeDictionaryValue* current, uint32_t value) const
{
    for (XEncodeDictionaryValue* child = current->firstChild; child != nullptr; child = child->nextSibling) {
        if (child->value == value) {
            return child;
        }
    }
    return nullptr;
}

void XCodecLZW::addNode(XEncodeDictionaryValue* current, uint32_t value)
{
    // Each (string, byte) pair is added once, so the place among the siblings does not matter:
    // linking at the front saves the walk to the last child.
    XEncodeDictionaryValue& node = m_encoderDictionary[m_encoderNextCode];
    node.value = value;
    node.code = m_encoderNextCode;
    node.firstChild = nullptr;
    node.nextSibling = current->firstChild;
    current->firstChild = &node;
    ++m_encoderNextCode;
    if (m_encoderNextCode == (1u << m_encoderCodeWidth)) {
        ++m_encoderCodeWidth;
    }
}

void XCodecLZW::writeCodeLR(VKByteBuffer& dst, uint32_t code)
{
    m_encoderOutputBits = (m_encoderOutputBits << m_encoderCodeWidth) | code;
    m_encoderOutputBitCount = static_cast<uint8_t>(m_encoderOutputBitCount + m_encoderCodeWidth);
    while (m_encoderOutputBitCount >= 8) {
        m_encoderOutputBitCount = static_cast<uint8_t>(m_encoderOutputBitCount - 8);
        dst << static_cast<uint8_t>(m_encoderOutputBits >> m_encoderOutputBitCount);
        m_encoderOutputBits &= (1u << m_encoderOutputBitCount) - 1;
    }
}

void XCodecLZW::completeEncodingLR(VKByteBuffer& dst)
{
    if (m_encoderOutputBitCount > 0) {
        dst << static_cast<uint8_t>(m_encoderOutputBits << (8 - m_encoderOutputBitCount));
    }
    m_encoderOutputBits = 0;
    m_encoderOutputBitCount = 0;
}

bool XCodecLZW::encode(VKByteBuffer& src, VKByteBuffer& dst)
{
    src.rewind();
    dst.resize(0);
    m_encoderOutputBits = 0;
    m_encoderOutputBitCount = 0;
    if (m_encoderDictionary == nullptr) {
        m_encoderDictionary = new (std::nothrow) XEncodeDictionaryValue[kDictionarySize];
        if (m_encoderDictionary == nullptr) {
            return false;
        }
    }
    if (src.eos()) {
        return true;
    }
    initDictionary_1_Encode();

    uint8_t chunk[4096];
    unsigned char first = 0;
    src >> first;
    XEncodeDictionaryValue* current = &m_encoderDictionary[first];
    while (!src.eos()) {
        const uint32_t before = src.getReadPosition();
        src.read(chunk, sizeof chunk);
        const uint32_t n = src.getReadPosition() - before;
        for (uint32_t i = 0; i < n; ++i) {
            const uint32_t c = chunk[i];
            if (XEncodeDictionaryValue* next = findNode(current, c)) {
                current = next;
                continue;
            }
            writeCodeLR(dst, current->code);
            addNode(current, c);
            if (idDictionaryFull()) {
                initDictionary_2_Encode();
            }
            current = &m_encoderDictionary[c];
        }
    }
    writeCodeLR(dst, current->code);
    completeEncodingLR(dst);
    return true;
}

void XCodecLZW::initDictionary_1_Decode()
{
    for (uint32_t i = 0; i < kDictionarySize; ++i) {
        m_decoderDictionary[i] = XDecodeDictionaryValue{i < kRootCount ? i : 0, nullptr};
    }
    m_decoderNextCode = kRootCount;
    m_decoderCodeWidth = kInitialWidth;
}

void XCodecLZW::initDictionary_2_Decode()
{
    for (uint32_t i = kRootCount; i < kDictionarySize; ++i) {
        m_decoderDictionary[i].prefix = nullptr;
    }
    m_decoderNextCode = kRootCount;
    m_decoderCodeWidth = kInitialWidth;
}

bool XCodecLZW::readCodeLR(VKByteBuffer& src, uint32_t& code)
{
    while (m_decoderInputBitCount < m_decoderCodeWidth) {
        if (src.eos()) {
            return false;
        }
        unsigned char byte = 0;
        src >> byte;
        m_decoderInputBits = (m_decoderInputBits << 8) | byte;
        m_decoderInputBitCount = static_cast<uint8_t>(m_decoderInputBitCount + 8);
    }
    m_decoderInputBitCount = static_cast<uint8_t>(m_decoderInputBitCount - m_decoderCodeWidth);
    code = m_decoderInputBits >> m_decoderInputBitCount;
    m_decoderInputBits &= (1u << m_decoderInputBitCount) - 1;
    return true;
}

uint32_t XCodecLZW::writeString(VKByteBuffer& dst, uint32_t code)
{
    // Prefix links always point to lower codes, so a chain is at most one dictionary long.
    uint32_t depth = 0;
    for (const XDecodeDictionaryValue* entry = &m_decoderDictionary[code];
         entry != nullptr && depth < kDictionarySize; entry = entry->prefix) {
        m_decoderStack[depth++] = static_cast<uint8_t>(entry->value);
    }
    for (uint32_t i = depth; i > 0; --i) {
        dst << m_decoderStack[i - 1];
    }
    return m_decoderStack[depth - 1];
}

void XCodecLZW::addString(uint32_t first, uint32_t previous)
{
    XDecodeDictionaryValue& entry = m_decoderDictionary[m_decoderNextCode];
    entry.value = first;
    entry.prefix = &m_decoderDictionary[previous];
    ++m_decoderNextCode;
    if (m_decoderNextCode + 1 == (1u << m_decoderCodeWidth)) {
        ++m_decoderCodeWidth;
    }
}

void XCodecLZW::decode(VKByteBuffer& src, VKByteBuffer& dst)
{
    src.rewind();
    dst.resize(0);
    m_decoderInputBits = 0;
    m_decoderInputBitCount = 0;
    if (m_decoderDictionary == nullptr) {
        m_decoderDictionary = new (std::nothrow) XDecodeDictionaryValue[kDictionarySize];
        m_decoderStack = new (std::nothrow) uint8_t[kDictionarySize];
        if (m_decoderDictionary == nullptr || m_decoderStack == nullptr) {
            delete[] m_decoderDictionary;
            delete[] m_decoderStack;
            m_decoderDictionary = nullptr;
            m_decoderStack = nullptr;
            return;
        }
    }
    if (src.eos()) {
        return;
    }
    initDictionary_1_Decode();

    // Every segment starts with a single byte; anything else is not a stream of this codec.
    uint32_t previous = 0;
    if (!readCodeLR(src, previous) || previous > kHighestRoot) {
        return;
    }
    uint32_t first = writeString(dst, previous);
    while (!src.eos() || m_decoderInputBitCount >= m_decoderCodeWidth) {
        uint32_t code = 0;
        if (!readCodeLR(src, code) || code > m_decoderNextCode) {
            return;
        }
        if (code < m_decoderNextCode) {
            first = writeString(dst, code);
        } else {
            // The string the encoder added just before using it: previous + its own first byte.
            writeString(dst, previous);
            dst << static_cast<uint8_t>(first);
        }
        if (m_decoderNextCode != kDecoderLastCode) {
            addString(first, previous);
            previous = code;
            continue;
        }
        initDictionary_2_Decode();
        if (src.eos() && m_decoderInputBitCount < m_decoderCodeWidth) {
            return;
        }
        if (!readCodeLR(src, previous) || previous > kHighestRoot) {
            return;
        }
        first = writeString(dst, previous);
    }
}
