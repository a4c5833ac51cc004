// Every family, every member: the same bytes as the reference model of the layouts, the same
// bytes left alone, the same count and carried sample, and no access outside the blocks.
#include "ConverterHarness.h"

#include <cstdint>
#include <random>

using namespace dmaconv::testing;

namespace {

std::string familyName(const ::testing::TestParamInfo<ConverterFamily>& info)
{
    return info.param.name;
}

std::vector<uint8_t> filled(const ConverterFamily& family, uint8_t value)
{
    return std::vector<uint8_t>(family.inBytes, value);
}

std::vector<uint8_t> randomBlock(const ConverterFamily& family, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> block(family.inBytes);
    for (auto& b : block) {
        b = static_cast<uint8_t>(rng());
    }
    return block;
}

// Full scale on one host channel of every frame, silence elsewhere (encoders); one channel bit set
// in every unit (decoders).
std::vector<uint8_t> singleChannel(const ConverterFamily& family, unsigned channel)
{
    std::vector<uint8_t> block(family.inBytes, 0);
    if (family.isEncoder()) {
        for (size_t w = channel; w < family.inBytes / 4; w += family.hostChannels) {
            block[4 * w + 1] = block[4 * w + 2] = block[4 * w + 3] = 0xFF;
            block[4 * w] = 0x00;
        }
    } else if (family.hostChannels > 16) {
        for (size_t u = 0; u < 256; ++u) {
            block[2 * u + (channel / 2 >= 8 ? 1 : 0)] = static_cast<uint8_t>(1u << (channel / 2 % 8));
        }
    } else {
        for (auto& b : block) {
            b = static_cast<uint8_t>(1u << (channel / 2));
        }
    }
    return block;
}

struct Pattern
{
    std::string name;
    std::vector<uint8_t> block;
};

std::vector<Pattern> patterns(const ConverterFamily& family)
{
    std::vector<Pattern> list{
        {"all zero", filled(family, 0x00)},
        {"all one", filled(family, 0xFF)},
        {"alternating 0xAA", filled(family, 0xAA)},
        {"alternating 0x55", filled(family, 0x55)},
    };
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        list.push_back({"random seed " + std::to_string(seed), randomBlock(family, seed)});
    }
    for (unsigned c = 0; c < family.hostChannels; ++c) {
        list.push_back({"single channel " + std::to_string(c), singleChannel(family, c)});
    }
    return list;
}

const uint32_t kCarries[] = {0x00000000u, 0xFFFFFFFFu, 0x12345678u, 0x80000000u};

class ConverterFamilyTest : public ::testing::TestWithParam<ConverterFamily>
{
};

// Two consecutive blocks per case, so the carried sample is also checked across calls.
TEST_P(ConverterFamilyTest, EveryMemberMatchesTheLayoutRules)
{
    const ConverterFamily& family = GetParam();
    const auto list = patterns(family);
    forEachMember(family, [&](const std::string& name, DMAConvertFunc* member) {
        for (Placement placement : {Placement::AgainstGuard, Placement::Misaligned}) {
            for (uint32_t carry : kCarries) {
                for (size_t p = 0; p < list.size(); ++p) {
                    const auto& first = list[p];
                    const auto& second = list[(p + 1) % list.size()];
                    SCOPED_TRACE(name + ", " + first.name + " then " +
                                 second.name + ", carry " + std::to_string(carry) +
                                 (placement == Placement::Misaligned ? ", misaligned" : ""));
                    const auto want1 = referenceConvert(family, first.block.data(), carry);
                    const auto got1 = runMember(family, member, first.block, carry, {placement});
                    ASSERT_TRUE(matchesReference(got1, want1, family));
                    const auto want2 = referenceConvert(family, second.block.data(), want1.carry);
                    const auto got2 = runMember(family, member, second.block, got1.carry, {placement});
                    ASSERT_TRUE(matchesReference(got2, want2, family));
                }
            }
        }
    });
}

// A single set bit walking through the whole input block reaches exactly the output bit the
// layout says, in every member.
TEST_P(ConverterFamilyTest, WalkingBitLandsWhereTheLayoutSays)
{
    const ConverterFamily& family = GetParam();
    std::vector<uint8_t> block(family.inBytes, 0);
    for (size_t bit = 0; bit < family.inBytes * 8; ++bit) {
        block[bit / 8] = static_cast<uint8_t>(1u << (bit % 8));
        const auto want = referenceConvert(family, block.data(), 0x5A5A5A5Au);
        forEachMember(family, [&](const std::string& name, DMAConvertFunc* member) {
            SCOPED_TRACE(name + ", input bit " + std::to_string(bit));
            ASSERT_TRUE(matchesReference(runMember(family, member, block, 0x5A5A5A5Au), want, family));
        });
        if (HasFatalFailure()) {
            return;
        }
        block[bit / 8] = 0;
    }
}

// Null record and null output: the count and nothing else. Null input: silence where the family
// gives it, otherwise nothing written; the carried sample is kept.
TEST_P(ConverterFamilyTest, MissingBuffersGiveTheCountAndTouchOnlyWhatTheLayoutSays)
{
    const ConverterFamily& family = GetParam();
    const auto block = randomBlock(family, 99);
    forEachMember(family, [&](const std::string& name, DMAConvertFunc* member) {
        SCOPED_TRACE(name);
        EXPECT_EQ(member(nullptr), family.count);

        uint32_t carry = 0x13572468u;
        DMAConvertArgs noOutput{};
        noOutput.src = block.data();
        noOutput.carry = &carry;
        EXPECT_EQ(member(&noOutput), family.count);
        EXPECT_EQ(carry, 0x13572468u);

        const auto got = runMember(family, member, block, 0x13572468u, {.missingSource = true});
        EXPECT_TRUE(matchesReference(got, referenceConvert(family, nullptr, 0x13572468u), family));
    });
}

// A pair encoder called without a carry word starts from silence and stores nothing.
TEST(PairEncoders, WithoutCarryWordStartFromSilence)
{
    for (const auto& family : converterFamilies()) {
        if (family.kind != FamilyKind::PairEncoder) {
            continue;
        }
        const auto block = randomBlock(family, 7);
        auto want = referenceConvert(family, block.data(), 0);
        want.carry = 0x2468ACE0u; // the test's word, which the call never sees
        forEachMember(family, [&](const std::string& name, DMAConvertFunc* member) {
            SCOPED_TRACE(name);
            const auto got = runMember(family, member, block, 0x2468ACE0u, {.missingCarry = true});
            EXPECT_TRUE(matchesReference(got, want, family));
        });
    }
}

// The x87 tag word after a call: 0xFFFF when every register is empty. A member that used MMX
// registers without EMMS leaves them tagged valid, and later long double arithmetic reads NaNs.
uint16_t x87TagWord()
{
    struct
    {
        uint16_t control, r0, status, r1, tags, r2;
        uint32_t rest[4];
    } env;
    asm volatile("fnstenv %0" : "=m"(env));
    asm volatile("fldenv %0" : : "m"(env));
    return env.tags;
}

TEST(VectorMembers, LeaveFloatingPointStateClean)
{
    for (const auto& family : converterFamilies()) {
        if (family.vector == nullptr) {
            continue;
        }
        SCOPED_TRACE(family.name);
        const auto got = runMember(family, family.vector, randomBlock(family, 5), 0);
        EXPECT_EQ(got.result, family.count);
        EXPECT_EQ(x87TagWord(), 0xFFFF);
        volatile long double third = 1.0L / 3.0L;
        EXPECT_EQ(static_cast<double>(third * 3.0L), 1.0);
    }
}

INSTANTIATE_TEST_SUITE_P(AllFamilies, ConverterFamilyTest, ::testing::ValuesIn(converterFamilies()),
                         familyName);

} // namespace
