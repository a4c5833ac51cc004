#include "XCodecLZW.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "VKByteBuffer.h"

namespace {

// A buffer whose block is exactly `bytes`.
void fill(VKByteBuffer& b, const std::vector<uint8_t>& bytes)
{
    b.resize(static_cast<uint32_t>(bytes.size()));
    b.write(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

std::vector<uint8_t> written(const VKByteBuffer& b)
{
    return {b.getBuffer(), b.getBuffer() + b.getWritePosition()};
}

std::vector<uint8_t> encode(XCodecLZW& codec, const std::vector<uint8_t>& bytes)
{
    VKByteBuffer src, dst;
    fill(src, bytes);
    EXPECT_TRUE(codec.encode(src, dst));
    return written(dst);
}

std::vector<uint8_t> decode(XCodecLZW& codec, const std::vector<uint8_t>& bytes)
{
    VKByteBuffer src, dst;
    fill(src, bytes);
    codec.decode(src, dst);
    return written(dst);
}

// Packs codes most significant bit first with the given widths.
std::vector<uint8_t> pack(const std::vector<std::pair<uint32_t, int>>& codes)
{
    std::vector<uint8_t> out;
    uint64_t bits = 0;
    int count = 0;
    for (const auto& [code, width] : codes) {
        bits = (bits << width) | code;
        count += width;
        while (count >= 8) {
            count -= 8;
            out.push_back(static_cast<uint8_t>(bits >> count));
        }
    }
    if (count > 0) {
        out.push_back(static_cast<uint8_t>(bits << (8 - count)));
    }
    return out;
}

// An independent reader of the format: widths by code index within the segment, a reset after
// 3,840 codes, strings kept whole.
std::vector<uint8_t> referenceDecode(const std::vector<uint8_t>& stream)
{
    std::vector<uint8_t> out;
    size_t bit = 0;
    auto read = [&](int width, uint32_t& code) {
        if (bit + static_cast<size_t>(width) > stream.size() * 8) {
            return false;
        }
        code = 0;
        for (int i = 0; i < width; ++i, ++bit) {
            code = code << 1 | ((stream[bit / 8] >> (7 - bit % 8)) & 1);
        }
        return true;
    };
    for (;;) {
        std::vector<std::vector<uint8_t>> table;
        for (int i = 0; i < 256; ++i) {
            table.push_back({static_cast<uint8_t>(i)});
        }
        std::vector<uint8_t> previous;
        for (int k = 0; k < 3840; ++k) {
            const int width = k < 256 ? 9 : (k < 768 ? 10 : (k < 1792 ? 11 : 12));
            uint32_t code = 0;
            if (!read(width, code)) {
                return out;
            }
            std::vector<uint8_t> entry;
            if (code < table.size()) {
                entry = table[code];
            } else {
                entry = previous;
                entry.push_back(previous[0]);
            }
            if (k > 0) {
                auto added = previous;
                added.push_back(entry[0]);
                table.push_back(added);
            }
            out.insert(out.end(), entry.begin(), entry.end());
            previous = entry;
        }
    }
}

} // namespace

TEST(XCodecLZW, KnownStreams)
{
    XCodecLZW codec;
    struct Case
    {
        std::vector<uint8_t> plain;
        std::vector<uint8_t> packed;
    };
    const Case cases[] = {
        {{0x61, 0x62, 0x63}, {0x30, 0x98, 0x8C, 0x60}},
        {{0x61, 0x61, 0x61, 0x61}, {0x30, 0xC0, 0x0C, 0x20}}, // code 256 arrives before it is added
        {{}, {}},
        {{0x00}, {0x00, 0x00}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(encode(codec, c.plain), c.packed);
        EXPECT_EQ(decode(codec, c.packed), c.plain);
    }
}

TEST(XCodecLZW, RoundTripsTextRandomAndRepetitiveData)
{
    std::mt19937 rng(11);
    std::vector<std::vector<uint8_t>> inputs;
    std::vector<uint8_t> random(100'000);
    for (auto& b : random) {
        b = static_cast<uint8_t>(rng());
    }
    inputs.push_back(random);
    inputs.emplace_back(200'000, 0x5A);
    std::string text;
    while (text.size() < 150'000) {
        text += "<Settings><Device name=\"Corlanth\" volume=\"" + std::to_string(rng() % 100) +
                "\"/></Settings>\n";
    }
    inputs.emplace_back(text.begin(), text.end());
    std::vector<uint8_t> ramp(70'000);
    for (size_t i = 0; i < ramp.size(); ++i) {
        ramp[i] = static_cast<uint8_t>((i * i) >> 7);
    }
    inputs.push_back(ramp);

    XCodecLZW codec; // one codec for every run: its dictionaries are reused
    for (const auto& input : inputs) {
        const auto packed = encode(codec, input);
        EXPECT_EQ(decode(codec, packed), input);
    }
    EXPECT_LT(encode(codec, inputs[1]).size(), 2'000u);
}

TEST(XCodecLZW, WidthsFollowTheSegmentScheduleAcrossResets)
{
    // Random bytes add a string at nearly every byte, so 20,000 of them fill five segments; a
    // small alphabet builds long strings instead.
    for (const uint32_t alphabet : {256u, 7u}) {
        std::vector<uint8_t> input(20'000);
        std::mt19937 rng(3);
        for (auto& b : input) {
            b = static_cast<uint8_t>(rng() % alphabet);
        }
        XCodecLZW codec;
        const auto packed = encode(codec, input);
        EXPECT_EQ(referenceDecode(packed), input) << alphabet;
        EXPECT_EQ(decode(codec, packed), input) << alphabet;
    }
}

TEST(XCodecLZW, MalformedStreamsStopCleanly)
{
    XCodecLZW codec;
    // The second code is above the next code: only the first byte comes out.
    EXPECT_EQ(decode(codec, pack({{0x41, 9}, {300, 9}, {0x42, 9}})), (std::vector<uint8_t>{0x41}));
    // A first code that is no single byte: nothing comes out.
    EXPECT_EQ(decode(codec, pack({{256, 9}, {0x41, 9}})), std::vector<uint8_t>{});
    EXPECT_EQ(decode(codec, pack({{511, 9}})), std::vector<uint8_t>{});
    // A stream cut inside a code keeps the codes before it.
    auto cut = pack({{0x41, 9}, {0x42, 9}});
    cut.pop_back();
    EXPECT_EQ(decode(codec, cut), (std::vector<uint8_t>{0x41}));
    EXPECT_EQ(decode(codec, {0xFF}), std::vector<uint8_t>{});
    // A zero tail decodes as zero bytes: callers hand over the written length only.
    EXPECT_EQ(decode(codec, {0x30, 0x98, 0x8C, 0x60, 0x00, 0x00}),
              (std::vector<uint8_t>{0x61, 0x62, 0x63, 0, 0}));
}
