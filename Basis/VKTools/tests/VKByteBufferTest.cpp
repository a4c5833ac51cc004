#include "VKByteBuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "VKString.h"

namespace {

std::vector<uint8_t> written(const VKByteBuffer& b)
{
    return {b.getBuffer(), b.getBuffer() + b.getWritePosition()};
}

std::string text(const VKByteBuffer& b)
{
    return {reinterpret_cast<const char*>(b.getBuffer()), b.getWritePosition()};
}

} // namespace

TEST(VKByteBuffer, IntegersAreLittleEndianAndRoundTrip)
{
    VKByteBuffer b;
    b << 0x12345678 << 0x89ABCDEFu << static_cast<short>(-2) << static_cast<unsigned short>(0xBEEF)
      << static_cast<signed char>(-3) << static_cast<unsigned char>(0xFE) << true << false;
    EXPECT_EQ(written(b), (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12, 0xEF, 0xCD, 0xAB, 0x89, 0xFE, 0xFF,
                                                0xEF, 0xBE, 0xFD, 0xFE, 0x01, 0x00}));
    int i = 0;
    unsigned u = 0;
    short s = 0;
    unsigned short us = 0;
    signed char sc = 0;
    unsigned char uc = 0;
    bool t = false, f = true;
    b >> i >> u >> s >> us >> sc >> uc >> t >> f;
    EXPECT_EQ(i, 0x12345678);
    EXPECT_EQ(u, 0x89ABCDEFu);
    EXPECT_EQ(s, -2);
    EXPECT_EQ(us, 0xBEEF);
    EXPECT_EQ(sc, -3);
    EXPECT_EQ(uc, 0xFE);
    EXPECT_TRUE(t);
    EXPECT_FALSE(f);
}

TEST(VKByteBuffer, BoolReadsTrueOnlyForOne)
{
    for (const auto& [byte, expected] :
         std::vector<std::pair<uint8_t, bool>>{{1, true}, {0, false}, {2, false}}) {
        uint8_t data[1] = {byte};
        VKByteBuffer b(data, 1);
        bool value = !expected;
        b >> value;
        EXPECT_EQ(value, expected) << int(byte);
    }
}

TEST(VKByteBuffer, ShortReadsLeaveTheTargetAndStopAtTheEnd)
{
    uint8_t data[3] = {1, 2, 3};
    VKByteBuffer b(data, 3);
    int value = 77;
    b >> value;
    EXPECT_EQ(value, 77);
    EXPECT_TRUE(b.eos());
    unsigned char c = 9;
    b >> c;
    EXPECT_EQ(c, 9);

    uint8_t target[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    b.rewind();
    b.read(target, 4);
    EXPECT_EQ(target[2], 3);
    EXPECT_EQ(target[3], 0xAA);
    b.read(nullptr, 4);
}

TEST(VKByteBuffer, StringsRoundTripAndBadCountsEmptyTheTarget)
{
    VKByteBuffer b;
    b << VKString("abc");
    EXPECT_EQ(written(b), (std::vector<uint8_t>{4, 0, 0, 0, 'a', 'b', 'c', 0}));
    VKString s("old");
    b >> s;
    EXPECT_STREQ(s, "abc");
    EXPECT_EQ(b.getReadPosition(), 8u);

    // A count that claims more than remains: empty string, next read right after the count.
    uint8_t bad[] = {200, 0, 0, 0, 'x', 'y'};
    VKByteBuffer in(bad, sizeof bad);
    in >> s;
    EXPECT_STREQ(s, "");
    EXPECT_EQ(in.getReadPosition(), 4u);

    // Stored without a terminating zero: all characters kept.
    uint8_t raw[] = {2, 0, 0, 0, 'x', 'y'};
    VKByteBuffer in2(raw, sizeof raw);
    in2 >> s;
    EXPECT_STREQ(s, "xy");
    // Strings of every length around the first capacity come back whole.
    for (int length : {31, 32, 33, 34, 65}) {
        VKByteBuffer stream;
        stream << VKString(std::string(static_cast<size_t>(length), 'q').c_str());
        VKString back;
        stream >> back;
        EXPECT_EQ(back.getLength(), length);
    }
    // A count cut short is an empty string.
    uint8_t cut[] = {2, 0};
    VKByteBuffer in3(cut, sizeof cut);
    s = "x";
    in3 >> s;
    EXPECT_STREQ(s, "");
}

TEST(VKByteBuffer, NestedBuffersRoundTripAndStayInsideTheirTarget)
{
    VKByteBuffer inner;
    inner << 1 << 2;
    VKByteBuffer outer;
    outer << inner << 0x55;
    EXPECT_EQ(outer.getWritePosition(), 4u + 8u + 4u);

    VKByteBuffer back;
    outer >> back;
    EXPECT_EQ(back.getSize(), 8u);
    EXPECT_EQ(back.getWritePosition(), 8u);
    EXPECT_EQ(back.getReadPosition(), 0u);
    int a = 0, b2 = 0, tail = 0;
    back >> a >> b2;
    outer >> tail;
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b2, 2);
    EXPECT_EQ(tail, 0x55);

    // A wrapped target smaller than the record takes what fits; the stream stays in step.
    outer.rewind();
    uint8_t small[3] = {};
    VKByteBuffer external(small, sizeof small);
    outer >> external;
    EXPECT_EQ(external.getWritePosition(), 3u);
    EXPECT_EQ(small[0], 1);
    outer >> tail;
    EXPECT_EQ(tail, 0x55);

    // A length beyond what remains empties an owned target and consumes only the length.
    uint8_t bad[] = {9, 0, 0, 0, 1};
    VKByteBuffer in(bad, sizeof bad);
    back.resize(16);
    in >> back;
    EXPECT_EQ(back.getSize(), 0u);
    EXPECT_EQ(in.getReadPosition(), 4u);

    // Streaming a buffer into itself copies what it held.
    VKByteBuffer self;
    self << 7;
    self << self;
    EXPECT_EQ(written(self), (std::vector<uint8_t>{7, 0, 0, 0, 4, 0, 0, 0, 7, 0, 0, 0}));
}

TEST(VKByteBuffer, GrowthCursorsAndExternalLimits)
{
    VKByteBuffer b;
    b << static_cast<unsigned char>(1);
    EXPECT_EQ(b.getSize(), 2u);
    EXPECT_EQ(b.getWritePosition(), 1u);
    b << static_cast<unsigned char>(2);
    EXPECT_EQ(b.getSize(), 2u);
    b << static_cast<unsigned char>(3);
    EXPECT_EQ(b.getSize(), 6u);

    uint8_t block[4] = {};
    VKByteBuffer external(block, 4);
    external.write("0123456789", 10);
    EXPECT_EQ(external.getWritePosition(), 4u);
    EXPECT_EQ(std::memcmp(block, "0123", 4), 0);
    external.resize(100);
    EXPECT_EQ(external.getSize(), 4u);

    VKByteBuffer c(10);
    c.forward(8);
    EXPECT_EQ(c.peek(0), 0);
    EXPECT_EQ(c.peek(2), 0);
    c.forward();
    EXPECT_EQ(c.peek(0), 0);
    c.rewind();
    c.forward(3);
    c.write("12345", 5); // write position 8
    c.rewind(5);
    EXPECT_EQ(c.getReadPosition(), 0u);
    EXPECT_EQ(c.getWritePosition(), 3u);
    c.forward(11);
    EXPECT_EQ(c.getReadPosition(), 10u);
    EXPECT_EQ(c.getWritePosition(), 10u);
    c.rewind();
    c.forward(2);
    EXPECT_EQ(c.peek(1), '1');

    c.resizeAndKeep(4);
    EXPECT_EQ(c.getSize(), 4u);
    EXPECT_LE(c.getReadPosition(), 4u);
    EXPECT_EQ(c.getBuffer()[3], '1');

    uint8_t* released = c.releaseBuffer();
    EXPECT_EQ(c.getSize(), 0u);
    EXPECT_EQ(c.getBuffer(), nullptr);
    delete[] released;

    void* allocated = nullptr;
    uint8_t data[] = {5, 6, 7};
    VKByteBuffer in(data, 3);
    in.readAndAlloc(allocated, 2);
    EXPECT_EQ(static_cast<uint8_t*>(allocated)[1], 6);
    delete[] static_cast<uint8_t*>(allocated);
}

TEST(VKByteBuffer, UUCodingTable)
{
    struct Case
    {
        std::vector<uint8_t> bytes;
        std::string chars;
    };
    const Case cases[] = {
        {{0, 0, 0}, "0000"},
        {{0xFF, 0xFF, 0xFF}, "####"},
        {{0x41, 0x42, 0x43}, "GK93"},
        {{0x41, 0x42}, "GK8"},
        {{0x41}, "GG"},
        {{}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.chars);
        VKByteBuffer src(static_cast<uint32_t>(c.bytes.size()));
        src.write(c.bytes.data(), static_cast<uint32_t>(c.bytes.size()));
        VKByteBuffer encoded;
        encoded.uuEncode(src);
        EXPECT_EQ(text(encoded), c.chars);
        // Decoding reads up to the block's size: trim the grown block to the characters first.
        encoded.resizeAndKeep(encoded.getWritePosition());
        VKByteBuffer decoded;
        decoded.uuDecode(encoded);
        EXPECT_EQ(written(decoded), c.bytes);
    }
    for (int v = 0; v < 64; ++v) {
        EXPECT_EQ(VKByteBuffer::getUUDecode(VKByteBuffer::getUUCode(static_cast<uint8_t>(v))), v);
    }
    EXPECT_EQ(VKByteBuffer::getUUCode(64), 0);
    EXPECT_EQ(VKByteBuffer::getUUDecode('!'), 255);

    // A lone final character decodes to nothing; a grown buffer encodes its zero tail.
    uint8_t one[] = {'G'};
    VKByteBuffer single(one, 1);
    VKByteBuffer out;
    out.uuDecode(single);
    EXPECT_EQ(out.getWritePosition(), 0u);
    VKByteBuffer grown;
    grown << static_cast<unsigned char>(0x41);
    out.uuEncode(grown);
    EXPECT_EQ(text(out), "GG0");
}

TEST(VKByteBuffer, UUCodingRoundTripsRandomBlocks)
{
    std::mt19937 rng(7);
    for (uint32_t size : {1u, 2u, 3u, 4u, 100u, 1001u}) {
        VKByteBuffer src(size);
        for (uint32_t i = 0; i < size; ++i) {
            src.getBuffer()[i] = static_cast<uint8_t>(rng());
        }
        VKByteBuffer encoded, decoded;
        encoded.uuEncode(src);
        EXPECT_EQ(encoded.getWritePosition(), 4 * (size / 3) + (size % 3 == 0 ? 0 : size % 3 + 1));
        encoded.resizeAndKeep(encoded.getWritePosition());
        decoded.uuDecode(encoded);
        ASSERT_EQ(decoded.getWritePosition(), size);
        EXPECT_EQ(std::memcmp(decoded.getBuffer(), src.getBuffer(), size), 0);
    }
}
