#include "PCMCoder.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace {

using Words = std::vector<uint32_t>;

// The engine's tables as it creates them: odd host channels (1, 3, ...) to the left, even ones to
// the right, routing byte p = p.
struct Tables
{
    std::array<QZ_Fraction, 32> left;
    std::array<QZ_Fraction, 32> right;
    std::array<uint8_t, 32> routing;

    Tables()
    {
        for (int i = 0; i < 32; ++i) {
            left[i] = {i % 2 == 0 ? 1 : 0, 1};
            right[i] = {i % 2 == 0 ? 0 : 1, 1};
            routing[i] = static_cast<uint8_t>(i);
        }
    }

    Words run(OutMixer mixer, Words samples, uint32_t frames) const
    {
        EXPECT_EQ(mixer(samples.data(), frames, left.data(), right.data(), routing.data()), 0xFFFFFFFFu);
        return samples;
    }
};

TEST(OutMixer, WorkedExampleWithDefaultGains)
{
    Tables t;
    t.routing[0] = 0;
    // c = 123456 and -1: the half of -1 truncates to 0.
    EXPECT_EQ(t.run(outMixer2CH, {0x12345678, 0xFFFFFF00}, 1), (Words{0x12345600, 0x00000000}));
}

TEST(OutMixer, NoFramesLeavesTheBufferAlone)
{
    const Tables t;
    const Words samples = {0x12345678, 0x9ABCDEF0, 1, 2, 3, 4};
    for (OutMixer mixer : {outMixer2CH, outMixer4CH, outMixer6CH}) {
        EXPECT_EQ(t.run(mixer, samples, 0), samples);
    }
}

TEST(OutMixer, RoutingPutsTheMixAHostPairOrSilenceOnEachOutputPair)
{
    Tables t;
    // Channels 1..4 carry 24-bit values 0x10, 0x20, 0x30, 0x40 with low bytes that must be cleared.
    const Words frame4 = {0x10AB, 0x20CD, 0x30EF, 0x4011};
    // Default gains: L = 0x10 + 0x30 = 0x40, R = 0x20 + 0x40 = 0x60.
    t.routing[0] = 0;
    t.routing[1] = 2;
    EXPECT_EQ(t.run(outMixer4CH, frame4, 1), (Words{0x4000, 0x6000, 0x3000, 0x4000}));
    t.routing[1] = 1;
    EXPECT_EQ(t.run(outMixer4CH, frame4, 1), (Words{0x4000, 0x6000, 0x1000, 0x2000}));
    t.routing[0] = 3; // beyond N / 2: silence
    EXPECT_EQ(t.run(outMixer4CH, frame4, 1), (Words{0, 0, 0x1000, 0x2000}));
    t.routing[0] = 255;
    EXPECT_EQ(t.run(outMixer4CH, frame4, 1), (Words{0, 0, 0x1000, 0x2000}));

    // The two-channel mixer reads byte 0 only: anything but 0 passes host pair 1 through.
    t.routing[0] = 3;
    EXPECT_EQ(t.run(outMixer2CH, {0x10AB, 0x20CD}, 1), (Words{0x1000, 0x2000}));

    // Six channels: L = 2 + 6 + 10, R = 4 + 8 + 12 (in units of 0x100).
    const Words frame6 = {0x200, 0x400, 0x600, 0x800, 0xA00, 0xC00};
    t.routing[0] = t.routing[1] = t.routing[2] = 0;
    EXPECT_EQ(t.run(outMixer6CH, frame6, 1), (Words{0x1200, 0x1800, 0x1200, 0x1800, 0x1200, 0x1800}));
    t.routing[0] = 3;
    t.routing[1] = 4;
    t.routing[2] = 1;
    EXPECT_EQ(t.run(outMixer6CH, frame6, 1), (Words{0xA00, 0xC00, 0, 0, 0x200, 0x400}));
}

TEST(OutMixer, GainsWeighEachChannelDividingFirstAndHalvingEveryTerm)
{
    Tables t;
    t.routing[0] = 0;
    // A gain of 1/2 on 7 gives 3, which contributes 2 (half of 3 truncated, doubled).
    t.left[0] = {1, 2};
    t.right[1] = {0, 1};
    EXPECT_EQ(t.run(outMixer2CH, {0x700, 0x100}, 1), (Words{0x200, 0}));

    // Division comes first: (6 / 4) * 3 = 3 contributes 2, where 6 * 3 / 4 = 4 would contribute 4.
    t.left[0] = {3, 4};
    EXPECT_EQ(t.run(outMixer2CH, {0x600, 0}, 1), (Words{0x200, 0}));

    // Gain 0 silences a channel; a zero denominator counts as 1; negative gains invert.
    t.left[0] = {0, 1};
    t.left[1] = {2, 0};
    t.right[0] = {-1, 1};
    t.right[1] = {5, -1};
    // c = 0x64 (100) and 0x0A (10): L = 0 + 20 = 0x14; R = -100 + -50 = -150 = 0xFFFF6A.
    EXPECT_EQ(t.run(outMixer2CH, {0x6400, 0x0A00}, 1), (Words{0x1400, 0xFFFF6A00}));
}

TEST(OutMixer, OverflowWrapsInsteadOfSaturating)
{
    Tables t;
    t.routing[0] = 0;
    // Two full-scale positive channels into the left side at 1/1: 2 * 0x3FFFFF * 2 = 0xFFFFFC, whose
    // low 24 bits make a negative word.
    t.left[1] = {1, 1};
    t.right[1] = {0, 1};
    EXPECT_EQ(t.run(outMixer2CH, {0x7FFFFF00, 0x7FFFFF00}, 1), (Words{0xFFFFFC00, 0}));

    // The product wraps: 0x7FFFFF * 0x7FFFFFFF = 0x7F800001 (mod 2^32); half 0x3FC00000, doubled
    // 0x7F800000, of which the store keeps the low 24 bits.
    t.left[0] = {0x7FFFFFFF, 1};
    t.left[1] = {0, 1};
    EXPECT_EQ(t.run(outMixer2CH, {0x7FFFFF00, 0}, 1), (Words{0x80000000, 0}));

    // The most negative numerator and denominator: -0x800000 / INT32_MIN = 0; 1 * INT32_MIN halves
    // to 0xC0000000 and doubles back to 0x80000000, stored as 0.
    t.left[0] = {1, INT32_MIN};
    t.left[1] = {INT32_MIN, 1};
    EXPECT_EQ(t.run(outMixer2CH, {0x80000000, 0x100}, 1), (Words{0, 0}));
}

TEST(OutMixer, EveryFrameIsMixedWithItsOwnSamples)
{
    Tables t;
    t.routing[0] = 0;
    t.routing[1] = 0;
    // Three 4-channel frames; a fourth one past the count stays as it was.
    const Words samples = {0x200,      0x400,      0x600, 0x800, 0x1000, 0,    0,    0x2000,
                           0xFFFFFF00, 0xFFFFFF00, 0,     0,     0x77,   0x88, 0x99, 0xAA};
    EXPECT_EQ(t.run(outMixer4CH, samples, 3), (Words{0x800, 0xC00, 0x800, 0xC00, 0x1000, 0x2000, 0x1000,
                                                     0x2000, 0, 0, 0, 0, 0x77, 0x88, 0x99, 0xAA}));
}

} // namespace
