// Worked examples of the layouts with hand-computed results, run on every member of the family.
// They pin the reference model too: it must agree with them.
#include "ConverterHarness.h"

#include <algorithm>
#include <cstring>

using namespace dmaconv::testing;

namespace {

const ConverterFamily& family(const char* name)
{
    for (const auto& f : converterFamilies()) {
        if (std::string(f.name) == name) {
            return f;
        }
    }
    throw std::invalid_argument(name);
}

std::vector<uint8_t> words(const std::vector<uint32_t>& values)
{
    std::vector<uint8_t> bytes(values.size() * 4);
    std::memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
}

uint32_t wordAt(const std::vector<uint8_t>& bytes, size_t index)
{
    uint32_t v;
    std::memcpy(&v, bytes.data() + 4 * index, 4);
    return v;
}

// Runs every member (and the reference model) and hands each output to `check`.
template <class Check>
void forEveryMember(const char* name, const std::vector<uint8_t>& input, uint32_t carry, Check check)
{
    const ConverterFamily& f = family(name);
    ASSERT_EQ(input.size(), f.inBytes);
    for (const Member& m : kMembers) {
        if (DMAConvertFunc* member = m.of(f)) {
            SCOPED_TRACE(std::string(name) + m.suffix);
            const auto got = runMember(f, member, input, carry);
            EXPECT_EQ(got.result, f.count);
            check(got.out, got.carry);
        }
    }
    SCOPED_TRACE(std::string(name) + " reference");
    const auto want = referenceConvert(f, input.data(), carry);
    std::vector<uint8_t> out;
    out.reserve(want.bytes.size());
    for (size_t i = 0; i < want.bytes.size(); ++i) {
        out.push_back(static_cast<uint8_t>(want.bytes[i] < 0 ? sentinel(kGuardBytes + i) : want.bytes[i]));
    }
    check(out, want.carry);
}

TEST(EncoderExamples, TopBitOfHostChannelTwoIsBitOneOfTheFirstByte)
{
    std::vector<uint32_t> host(160, 0);
    host[2] = 0x80000000u;
    forEveryMember("dmaEncode16", words(host), 0, [](const std::vector<uint8_t>& out, uint32_t) {
        EXPECT_EQ(out[0], 0x02);
        EXPECT_TRUE(std::all_of(out.begin() + 1, out.end(), [](uint8_t b) { return b == 0; }));
    });
}

TEST(EncoderExamples, LowByteOfAHostSampleNeverReachesTheDevice)
{
    forEveryMember("dmaEncode16", words(std::vector<uint32_t>(160, 0x000000FFu)), 0,
                   [](const std::vector<uint8_t>& out, uint32_t) {
                       EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0; }));
                   });
}

TEST(EncoderExamples, FullScaleFillsOnlyTheChannelBitsOfEachByte)
{
    const std::pair<const char*, uint8_t> cases[] = {
        {"dmaEncode02", 0x01}, {"dmaEncode04", 0x03}, {"dmaEncode06", 0x07}, {"dmaEncode08", 0x0F},
        {"dmaEncode10", 0x1F}, {"dmaEncode12", 0x3F}, {"dmaEncode14", 0x7F}, {"dmaEncode16", 0xFF},
    };
    for (const auto& [name, expected] : cases) {
        const auto& f = family(name);
        forEveryMember(name, std::vector<uint8_t>(f.inBytes, 0xFF), 0,
                       [expected = expected](const std::vector<uint8_t>& out, uint32_t) {
                           EXPECT_TRUE(
                               std::all_of(out.begin(), out.end(), [&](uint8_t b) { return b == expected; }));
                       });
    }
}

TEST(EncoderExamples, PairEncoderDelaysTheSecondPairChannelByOneFrame)
{
    forEveryMember("dmaEncode10_12", std::vector<uint8_t>(320, 0xFF), 0,
                   [](const std::vector<uint8_t>& out, uint32_t carry) {
                       for (size_t i = 0; i < 480; ++i) {
                           EXPECT_EQ(out[i], i < 24 ? 0x0F : 0x1F) << "byte " << i;
                       }
                       EXPECT_EQ(carry, 0xFFFFFFFFu);
                   });
}

TEST(EncoderExamples, TenChannelPairTakesHostChannelsEightAndNine)
{
    std::vector<uint32_t> host(100, 0);
    host[3 * 10 + 8] = 0x80000000u; // host channel 8 of frame 3 -> device channel 9 of frame 3
    host[5 * 10 + 9] = 0x00000100u; // host channel 9 of frame 5 -> device channel 8 of frame 6
    forEveryMember("dmaEncode10_AH", words(host), 0, [](const std::vector<uint8_t>& out, uint32_t carry) {
        for (size_t i = 0; i < 480; ++i) {
            const uint8_t expected = (i == 3 * 48 + 24 || i == 6 * 48 + 23) ? 0x10 : 0x00;
            EXPECT_EQ(out[i], expected) << "byte " << i;
        }
        EXPECT_EQ(carry, 0u);
    });
}

TEST(EncoderExamples, VarnokGroupsSamplesByChannel)
{
    std::vector<uint32_t> host(160);
    for (uint32_t i = 0; i < host.size(); ++i) {
        host[i] = (i << 8) | 0x5A; // low byte never leaves
    }
    host[0] = 0xFFFFFF00u;
    forEveryMember("dmaEncode08_VARNOK", words(host), 0, [](const std::vector<uint8_t>& out, uint32_t) {
        const uint8_t first12[] = {0xFF, 0xFF, 0xFF, 8, 0, 0, 16, 0, 0, 24, 0, 0};
        EXPECT_TRUE(std::equal(std::begin(first12), std::end(first12), out.begin()));
        // Then channel 1 of frames 0 to 3: host words 1, 9, 17, 25.
        EXPECT_EQ(out[12], 1);
        EXPECT_EQ(out[15], 9);
    });
}

TEST(DecoderExamples, EvenPlaneBitZeroIsChannelZero)
{
    std::vector<uint8_t> block(512, 0);
    for (size_t f = 0; f < 8; ++f) {
        std::fill_n(block.begin() + 64 * f, 24, 0x01);
        std::fill_n(block.begin() + 64 * f + 24, 8, 0xFF); // not audio
        std::fill_n(block.begin() + 64 * f + 56, 8, 0xFF); // not audio
    }
    forEveryMember("dmaDecode16To16At32Bit", block, 0, [](const std::vector<uint8_t>& out, uint32_t) {
        for (size_t w = 0; w < 128; ++w) {
            EXPECT_EQ(wordAt(out, w), w % 16 == 0 ? 0xFFFFFF00u : 0u) << "word " << w;
        }
    });
}

TEST(DecoderExamples, HighByteBitZeroOfAWordUnitIsChannelSixteen)
{
    std::vector<uint8_t> block(512, 0);
    for (size_t f = 0; f < 4; ++f) {
        for (size_t u = 0; u < 24; ++u) {
            block[128 * f + 2 * u + 1] = 0x01;
        }
    }
    forEveryMember("dmaDecode32To18At32Bit", block, 0, [](const std::vector<uint8_t>& out, uint32_t) {
        for (size_t w = 0; w < 72; ++w) {
            EXPECT_EQ(wordAt(out, w), w % 18 == 16 ? 0xFFFFFF00u : 0u) << "word " << w;
        }
    });
}

TEST(DecoderExamples, VarnokBlocksHoldTheFramesOfOneChannelTogether)
{
    std::vector<uint32_t> in(128);
    for (uint32_t i = 0; i < in.size(); ++i) {
        in[i] = 0xA0000000u | i;
    }
    forEveryMember("dmaDecode16To08At32Bit_VARNOK", words(in), 0,
                   [](const std::vector<uint8_t>& out, uint32_t) {
                       EXPECT_EQ(wordAt(out, 1 * 8 + 0), 0xA0000001u); // frame 1, channel 0
                       EXPECT_EQ(wordAt(out, 0 * 8 + 1), 0xA0000004u); // frame 0, channel 1
                       EXPECT_EQ(wordAt(out, 4 * 8 + 0), 0xA0000020u); // frame 4 opens block 1
                   });
}

} // namespace
