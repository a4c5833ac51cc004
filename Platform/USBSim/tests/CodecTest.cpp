#include "usbsim/models/Codec.h"

#include <gtest/gtest.h>

#include <vector>

namespace usbsim::codec {
namespace {

TEST(Codec, PcmKeepsTheTopBytesLittleEndian)
{
    struct Case
    {
        uint32_t bytesPerSample;
        int32_t sample;
        std::vector<uint8_t> bytes;
        int32_t decoded;
    } cases[] = {
        {2, 0x12345678, {0x34, 0x12}, 0x12340000},
        {2, static_cast<int32_t>(0x80000000), {0x00, 0x80}, static_cast<int32_t>(0x80000000)},
        {3, 0x12345678, {0x56, 0x34, 0x12}, 0x12345600},
        {3, -256, {0xFF, 0xFF, 0xFF}, -256},
        {4, 0x12345678, {0x78, 0x56, 0x34, 0x12}, 0x12345678},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> bytes(c.bytesPerSample);
        encodePcm(&c.sample, 1, c.bytesPerSample, bytes.data());
        EXPECT_EQ(bytes, c.bytes) << c.bytesPerSample;
        int32_t back = 0;
        decodePcm(bytes, c.bytesPerSample, &back);
        EXPECT_EQ(back, c.decoded) << c.bytesPerSample;
    }
}

TEST(Codec, HighLowMiddleKeepsTheTopThreeBytes)
{
    struct Case
    {
        int32_t sample;
        std::vector<uint8_t> bytes;
        int32_t decoded;
    } cases[] = {
        {0x123456FF, {0x12, 0x56, 0x34}, 0x12345600},
        {static_cast<int32_t>(0x80FF0000), {0x80, 0x00, 0xFF}, static_cast<int32_t>(0x80FF0000)},
        {-256, {0xFF, 0xFF, 0xFF}, -256},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> bytes(3);
        encodeHighLowMiddle24(&c.sample, 1, bytes.data());
        EXPECT_EQ(bytes, c.bytes) << c.sample;
        int32_t back = 0;
        decodeHighLowMiddle24(bytes, &back);
        EXPECT_EQ(back, c.decoded) << c.sample;
    }
}

TEST(Codec, OutputPlanesGiveEachChannelItsBit)
{
    uint8_t frame[kOutputFrameBytes] = {};
    frame[0] = 0x02; // even plane, most significant unit, bit 1: channel 2's top bit
    int32_t samples[16] = {};
    decodeOutputFrame(frame, 16, samples);
    for (int c = 0; c < 16; ++c) {
        EXPECT_EQ(static_cast<uint32_t>(samples[c]), c == 2 ? 0x80000000u : 0u) << c;
    }
    // Every unit of the odd plane set in bit 0: channel 1 is all ones in its 24 bits.
    std::fill(frame, frame + kOutputFrameBytes, 0);
    std::fill(frame + 24, frame + 48, 0x01);
    decodeOutputFrame(frame, 16, samples);
    EXPECT_EQ(static_cast<uint32_t>(samples[1]), 0xFFFFFF00u);
    EXPECT_EQ(samples[0], 0);
    EXPECT_EQ(samples[3], 0);
}

TEST(Codec, InputFramesFollowTheStreamWidth)
{
    int32_t samples[32] = {};
    samples[0] = static_cast<int32_t>(0xFFFFFF00);
    uint8_t narrow[kInputFrameBytes16];
    encodeInputFrame(samples, 16, 16, narrow);
    for (size_t i = 0; i < sizeof narrow; ++i) {
        EXPECT_EQ(narrow[i], i < 24 ? 0x01 : 0x00) << i;
    }
    // 32 wide: channel 16 sits in the high byte of the even plane's words.
    samples[0] = 0;
    samples[16] = static_cast<int32_t>(0xFFFFFF00);
    samples[17] = static_cast<int32_t>(0x80000000); // odd plane, top unit only
    uint8_t wide[kInputFrameBytes32];
    encodeInputFrame(samples, 32, 32, wide);
    for (size_t i = 0; i < sizeof wide; ++i) {
        const uint8_t expected = (i < 48 && i % 2 == 1) ? 0x01 : (i == 65 ? 0x01 : 0x00);
        EXPECT_EQ(wide[i], expected) << i;
    }
}

} // namespace
} // namespace usbsim::codec

namespace usbsim::codec {
namespace {

TEST(Codec, PlanesRoundTripTheTopTwentyFourBits)
{
    struct Case
    {
        bool output;
        uint32_t width;
        uint32_t channels;
    } cases[] = {{true, 16, 16}, {true, 16, 2}, {false, 16, 16}, {false, 32, 32}, {false, 32, 18}};
    for (const auto& c : cases) {
        int32_t samples[32];
        for (uint32_t ch = 0; ch < 32; ++ch) {
            samples[ch] = static_cast<int32_t>(0x9E3779B9u * (ch + 1));
        }
        uint8_t frame[kInputFrameBytes32] = {};
        int32_t back[32] = {};
        if (c.output) {
            encodeOutputFrame(samples, c.channels, frame);
            decodeOutputFrame(frame, c.channels, back);
        } else {
            encodeInputFrame(samples, c.channels, c.width, frame);
            decodeInputFrame(frame, c.channels, c.width, back);
        }
        for (uint32_t ch = 0; ch < c.channels; ++ch) {
            EXPECT_EQ(back[ch], samples[ch] & static_cast<int32_t>(0xFFFFFF00)) << c.width << " ch " << ch;
        }
    }
}

} // namespace
} // namespace usbsim::codec
