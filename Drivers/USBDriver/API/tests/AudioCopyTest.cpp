#include "AudioCopy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Asked while the program's globals are set up, possibly before the copies' own.
const bool kPermutesAtStart = audioCopyPermutesSupported();

std::vector<int32_t> widen(AudioConverter converter, std::vector<uint8_t> packed, size_t samples)
{
    std::vector<int32_t> out(samples, 0x5A5A5A5A);
    converter(out.data(), reinterpret_cast<const int32_t*>(packed.data()), static_cast<int32_t>(samples));
    return out;
}

std::vector<uint8_t> narrow(AudioConverter converter, std::vector<int32_t> in, size_t bytes)
{
    std::vector<uint8_t> out(bytes + 1, 0xEE); // one guard byte
    converter(reinterpret_cast<int32_t*>(out.data()), in.data(), static_cast<int32_t>(in.size()));
    EXPECT_EQ(out.back(), 0xEE) << "wrote past the packed samples";
    out.pop_back();
    return out;
}

} // namespace

TEST(AudioCopy, WideningReadsLittleEndianPackedSamples)
{
    struct Case
    {
        const char* name;
        AudioConverter converter;
        std::vector<uint8_t> packed;
        std::vector<int32_t> expected;
    };
    const Case cases[] = {
        {"16 left",
         audioInt16to32Copy,
         {0x00, 0x80, 0x34, 0x12, 0xFF, 0xFF},
         {INT32_MIN, 0x12340000, -65536}},
        {"16 shift",
         audioInt16to32CopyShift,
         {0x00, 0x80, 0x34, 0x12, 0xFF, 0xFF},
         {-8'388'608, 0x00123400, -256}},
        {"24 left", audioInt24to32Copy, {0x56, 0x34, 0x12, 0x00, 0x00, 0x80}, {0x12345600, INT32_MIN}},
        {"24 shift",
         audioInt24to32CopyShift,
         {0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80, 0xFF, 0xFF, 0xFF},
         {8'388'607, -8'388'608, -1}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(widen(c.converter, c.packed, c.expected.size()), c.expected) << c.name;
    }
}

TEST(AudioCopy, NarrowingKeepsTheUpperBytes)
{
    EXPECT_EQ(narrow(audioInt32to24Copy, {0x12345678, INT32_MIN}, 6),
              (std::vector<uint8_t>{0x56, 0x34, 0x12, 0x00, 0x00, 0x80}));
    EXPECT_EQ(narrow(audioInt32to16Copy, {0x12345678, -1}, 4),
              (std::vector<uint8_t>{0x34, 0x12, 0xFF, 0xFF}));
}

// Every length up to a few vector steps, the packed bytes at every start alignment: each sample
// where its bytes say, nothing read or written past the samples (guard bytes after both buffers).
TEST(AudioCopy, PackedTwentyFourBitCopiesAtEveryLengthAndAlignment)
{
    for (size_t offset = 0; offset < 4; ++offset) {
        for (size_t n = 0; n <= 41; ++n) {
            SCOPED_TRACE("samples " + std::to_string(n) + ", offset " + std::to_string(offset));
            std::vector<uint8_t> packed(offset + 3 * n + 8, 0xEE);
            for (size_t i = 0; i < 3 * n; ++i) {
                packed[offset + i] = static_cast<uint8_t>(i * 37 + 11);
            }
            std::vector<uint8_t> wideBytes(4 * n + 8, 0xEE);
            audioInt24to32Copy(reinterpret_cast<int32_t*>(wideBytes.data()),
                               reinterpret_cast<const int32_t*>(packed.data() + offset),
                               static_cast<int32_t>(n));
            for (size_t i = 0; i < n; ++i) {
                int32_t got;
                std::memcpy(&got, wideBytes.data() + 4 * i, 4);
                const uint32_t want = uint32_t(packed[offset + 3 * i]) << 8 |
                                      uint32_t(packed[offset + 3 * i + 1]) << 16 |
                                      uint32_t(packed[offset + 3 * i + 2]) << 24;
                ASSERT_EQ(static_cast<uint32_t>(got), want) << "sample " << i;
            }
            for (size_t i = 4 * n; i < wideBytes.size(); ++i) {
                ASSERT_EQ(wideBytes[i], 0xEE) << "wrote past the words";
            }
            std::vector<int32_t> shifted(n + 2, 0x5A5A5A5A);
            audioInt24to32CopyShift(shifted.data(), reinterpret_cast<const int32_t*>(packed.data() + offset),
                                    static_cast<int32_t>(n));
            for (size_t i = 0; i < n; ++i) {
                int32_t left;
                std::memcpy(&left, wideBytes.data() + 4 * i, 4);
                ASSERT_EQ(shifted[i], left >> 8) << "sample " << i;
            }
            ASSERT_EQ(shifted[n], 0x5A5A5A5A) << "wrote past the words";

            std::vector<uint8_t> back(offset + 3 * n + 8, 0xEE);
            audioInt32to24Copy(reinterpret_cast<int32_t*>(back.data() + offset),
                               reinterpret_cast<const int32_t*>(wideBytes.data()), static_cast<int32_t>(n));
            EXPECT_EQ(back, packed);
        }
    }
}

TEST(AudioCopy, WideningThenNarrowingRoundTripsEveryValue)
{
    std::vector<uint8_t> packed(3 * 4096);
    for (size_t i = 0; i < packed.size(); ++i) {
        packed[i] = static_cast<uint8_t>(i * 7919u >> 3);
    }
    std::vector<int32_t> wide(4096);
    audioInt24to32Copy(wide.data(), reinterpret_cast<const int32_t*>(packed.data()), 4096);
    std::vector<uint8_t> back(packed.size());
    audioInt32to24Copy(reinterpret_cast<int32_t*>(back.data()), wide.data(), 4096);
    EXPECT_EQ(back, packed);
}

TEST(AudioCopy, ShiftsAndSumsAtTheirEdges)
{
    // Division toward zero versus the subset copies' arithmetic shift.
    std::vector<int32_t> in = {-1, -257, 256, 0x7FFFFFFF};
    std::vector<int32_t> out(4);
    audioInt32CopyShift(out.data(), in.data(), 4);
    EXPECT_EQ(out, (std::vector<int32_t>{0, -1, 1, 0x007FFFFF}));

    std::vector<int32_t> frame = {-1, -257, 0, 0, 0, 0};
    std::vector<int32_t> subset(2);
    audioInt32CopyShift6To2(subset.data(), frame.data(), 2);
    EXPECT_EQ(subset, (std::vector<int32_t>{-1, -2}));

    std::vector<int32_t> sum = {0x7FFFFFFF, -1};
    const std::vector<int32_t> add = {1, 1};
    audioInt32CopyAdd(sum.data(), add.data(), 2);
    EXPECT_EQ(sum, (std::vector<int32_t>{INT32_MIN, 0}));

    std::vector<int32_t> mix = {8'388'607, 8'388'608, -8'388'608, -8'388'609, -1, 0};
    audioInt32Saturate(mix.data(), static_cast<int32_t>(mix.size()));
    EXPECT_EQ(mix, (std::vector<int32_t>{0x7FFFFF00, 0x7FFFFF00, INT32_MIN, INT32_MIN, -256, 0}));
}

TEST(AudioCopy, MixPairsClearOnlyForTheFirstClient)
{
    std::vector<int32_t> bus(4, 99);
    const std::vector<int32_t> a = {1, 2, 3, 4};
    const std::vector<int32_t> b = {10, 20, 30, 40};
    audioInt32Clear(bus.data(), 4);
    audioInt32CopySet(bus.data(), a.data(), 4);
    audioInt32ClearNot(bus.data(), 4);
    audioInt32CopyAdd(bus.data(), b.data(), 4);
    EXPECT_EQ(bus, (std::vector<int32_t>{11, 22, 33, 44}));
}

TEST(AudioCopy, SubsetsTakeTheFrontOfEachFrameAndClearTheRest)
{
    struct Case
    {
        const char* name;
        AudioConverter converter;
        int sourceChannels;
        int taken;
        int count; // destination samples
    };
    const Case cases[] = {
        {"6To0", audioInt32CopyShift6To0, 6, 0, 5},     {"6To1", audioInt32CopyShift6To1, 6, 1, 3},
        {"6To2", audioInt32CopyShift6To2, 6, 2, 5},     {"6To3", audioInt32CopyShift6To3, 6, 3, 7},
        {"6To4", audioInt32CopyShift6To4, 6, 4, 10},    {"6To5", audioInt32CopyShift6To5, 6, 5, 10},
        {"12To0", audioInt32CopyShift12To0, 12, 0, 3},  {"12To2", audioInt32CopyShift12To2, 12, 2, 1},
        {"12To4", audioInt32CopyShift12To4, 12, 4, 9},  {"12To6", audioInt32CopyShift12To6, 12, 6, 12},
        {"12To8", audioInt32CopyShift12To8, 12, 8, 17}, {"12To10", audioInt32CopyShift12To10, 12, 10, 20},
    };
    for (const auto& c : cases) {
        const int frames = c.taken == 0 ? 0 : c.count / c.taken;
        std::vector<int32_t> source(static_cast<size_t>(c.sourceChannels * (frames + 1)));
        for (size_t i = 0; i < source.size(); ++i) {
            source[i] = static_cast<int32_t>((i + 1) * 256);
        }
        std::vector<int32_t> out(static_cast<size_t>(c.count) + 1, 77);
        c.converter(out.data(), source.data(), c.count);
        for (int i = 0; i < c.count; ++i) {
            const int f = c.taken == 0 ? 0 : i / c.taken;
            const int channel = c.taken == 0 ? 0 : i % c.taken;
            const int32_t expected =
                f < frames ? static_cast<int32_t>(f * c.sourceChannels + channel + 1) : 0;
            EXPECT_EQ(out[static_cast<size_t>(i)], expected) << c.name << " sample " << i;
        }
        EXPECT_EQ(out.back(), 77) << c.name << " wrote past its count";
    }
}

TEST(AudioCopy, Packed24SubsetSignExtends)
{
    // Two frames of six packed 24-bit samples; the first four of each are taken.
    std::vector<uint8_t> packed(36, 0);
    const uint8_t firstFrame[] = {0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80, 0x01, 0x00, 0x00, 0xFF, 0xFF, 0xFF};
    std::memcpy(packed.data(), firstFrame, sizeof firstFrame);
    packed[18] = 0x02;
    std::vector<int32_t> out(9, 5);
    audioInt24to32CopyShift6To4(out.data(), reinterpret_cast<const int32_t*>(packed.data()), 9);
    EXPECT_EQ(out, (std::vector<int32_t>{8'388'607, -8'388'608, 1, -1, 2, 0, 0, 0, 0}));
}

// The packed 24-bit routines with and without the byte-permute steps, against the sample formula, on
// random bytes: every count up to several steps and some long ones, packed data at every offset in
// a word, buffers that end where the data ends (the sanitizer build catches a step past them).
TEST(AudioCopy, Packed24RoutinesMatchTheFormulaWithAndWithoutPermutes)
{
    uint32_t x = 0x13579BDF;
    auto random = [&x] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    std::vector<size_t> counts;
    for (size_t n = 0; n <= 100; ++n) {
        counts.push_back(n);
    }
    for (size_t n : {1023u, 1024u, 4099u}) {
        counts.push_back(n);
    }
    auto packedAt = [](const uint8_t* p) {
        return static_cast<int32_t>(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24);
    };
    const bool supported = audioCopyPermutesSupported();
    EXPECT_EQ(kPermutesAtStart, supported);
    for (bool permutes : {false, true}) {
        if (permutes && !supported) {
            continue;
        }
        setAudioCopyPermutes(permutes);
        for (size_t n : counts) {
            const size_t offset = n % 4;
            SCOPED_TRACE("permutes " + std::to_string(permutes) + ", samples " + std::to_string(n));
            std::vector<uint8_t> packed(offset + 3 * n);
            for (auto& b : packed) {
                b = static_cast<uint8_t>(random());
            }
            const uint8_t* in = packed.data() + offset;
            const auto* source = reinterpret_cast<const int32_t*>(in);
            std::vector<int32_t> want(n);
            for (size_t i = 0; i < n; ++i) {
                want[i] = packedAt(in + 3 * i);
            }
            std::vector<int32_t> wide(n);
            audioInt24to32Copy(wide.data(), source, static_cast<int32_t>(n));
            ASSERT_EQ(wide, want);
            std::vector<int32_t> shifted(n);
            audioInt24to32CopyShift(shifted.data(), source, static_cast<int32_t>(n));
            for (auto& w : want) {
                w >>= 8;
            }
            ASSERT_EQ(shifted, want);

            std::vector<uint8_t> back = packed;
            std::fill(back.begin() + static_cast<std::ptrdiff_t>(offset), back.end(), 0xEE);
            std::vector<int32_t> noisy = wide;
            for (auto& w : noisy) {
                w |= static_cast<int32_t>(random() & 0xFF); // the bits below the packed sample
            }
            audioInt32to24Copy(reinterpret_cast<int32_t*>(back.data() + offset), noisy.data(),
                               static_cast<int32_t>(n));
            ASSERT_EQ(back, packed);

            // Frames of six samples, the first four taken: n / 4 frames from their 18 bytes each.
            const size_t frames = n / 4;
            std::vector<uint8_t> framed(offset + 18 * frames);
            for (auto& b : framed) {
                b = static_cast<uint8_t>(random());
            }
            std::vector<int32_t> subset(n, 0x5A5A5A5A);
            audioInt24to32CopyShift6To4(subset.data(),
                                        reinterpret_cast<const int32_t*>(framed.data() + offset),
                                        static_cast<int32_t>(n));
            std::vector<int32_t> wantSubset(n, 0);
            for (size_t i = 0; i < frames * 4; ++i) {
                wantSubset[i] = packedAt(framed.data() + offset + i / 4 * 18 + i % 4 * 3) >> 8;
            }
            ASSERT_EQ(subset, wantSubset);
        }
    }
    setAudioCopyPermutes(supported);
}

TEST(AudioCopy, NonPositiveCountsDoNothing)
{
    std::vector<int32_t> buffer = {1, 2};
    const std::vector<int32_t> source = {9, 9};
    for (int32_t count : {0, -1, INT32_MIN}) {
        audioInt32CopySet(buffer.data(), source.data(), count);
        audioInt32Clear(buffer.data(), count);
        audioInt32CopyShift6To4(buffer.data(), source.data(), count);
        audioInt32Saturate(buffer.data(), count);
    }
    EXPECT_EQ(buffer, (std::vector<int32_t>{1, 2}));
}
