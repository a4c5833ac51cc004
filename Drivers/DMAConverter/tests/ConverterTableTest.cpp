// The slots after each set-up mode, the hooks beside them and the processor check.
#include "ConverterCatalog.h"

#include <gtest/gtest.h>
#include <set>
#include <string>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

using namespace dmaconv::testing;

namespace {

enum class Expect
{
    Portable,
    Unrolled,
    Vector
};

// What a family's slot holds when the set-up aimed for `wanted`: the nearest member the family has.
DMAConvertFunc* expectedMember(const ConverterFamily& family, Expect wanted)
{
    if (wanted == Expect::Vector && family.vector != nullptr) {
        return family.vector;
    }
    if (wanted == Expect::Unrolled && family.unrolled != nullptr) {
        return family.unrolled;
    }
    return family.portable;
}

void expectSlots(Expect wanted, CPUFXHook* save, CPUFXHook* load)
{
    size_t slots = 0;
    for (const auto& family : converterFamilies()) {
        if (family.slot == nullptr) {
            continue;
        }
        ++slots;
        EXPECT_EQ(family.slot->load(), expectedMember(family, wanted)) << family.name;
    }
    EXPECT_EQ(slots, 36u);
    EXPECT_EQ(cpuSaveFX.load(), save);
    EXPECT_EQ(cpuLoadFX.load(), load);
}

struct ModeCase
{
    int mode;
    Expect members;
    bool vectorHooks;
};

TEST(DMAConverterInit, FillsEverySlotForEachMode)
{
    const ModeCase cases[] = {
        {1, Expect::Portable, false}, {2, Expect::Unrolled, false}, {0, Expect::Vector, true},
        {3, Expect::Vector, true},    {7, Expect::Vector, true},    {-1, Expect::Vector, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("mode " + std::to_string(c.mode));
        DMAConverterInit(c.mode);
        if (c.vectorHooks) {
            expectSlots(c.members, cpuSaveFX_ASM, cpuLoadFX_ASM);
        } else {
            expectSlots(c.members, cpuSaveFX_NULL, cpuLoadFX_NULL);
        }
    }
}

TEST(DMAConverterInit, PortableModeAfterVectorModeReplacesEverything)
{
    DMAConverterInit(0);
    DMAConverterInit(1);
    expectSlots(Expect::Portable, cpuSaveFX_NULL, cpuLoadFX_NULL);
}

TEST(DMAConverterInit, FillingRoutinesLeaveTheirUnchangedSlotsAlone)
{
    dmaConvertInit_C();
    dmaConvertInit_SSE64();
    EXPECT_EQ(dmaEncode16_VARNOK.load(), dmaEncode16_VARNOK_SSE);
    EXPECT_EQ(dmaDecode16To32At32Bit_VARNOK.load(), dmaDecode16To32At32Bit_VARNOK_SSE);
    dmaConvertInit_ASM();
    // The plain encoders from 10 channels up have no integer-unrolled member; the Varnok slots
    // get their portable members back.
    EXPECT_EQ(dmaEncode10.load(), dmaEncode10_SSE);
    EXPECT_EQ(dmaEncode16.load(), dmaEncode16_SSE);
    EXPECT_EQ(dmaEncode08.load(), dmaEncode08_ASM);
    EXPECT_EQ(dmaEncode16_VARNOK.load(), dmaEncode16_VARNOK_C);
}

#if defined(__x86_64__)
// The floating-point and vector control state a converter call runs under.
struct ControlState
{
    uint32_t mxcsr;
    uint16_t x87;
    bool operator==(const ControlState&) const = default;
};

ControlState controlState()
{
    ControlState state{_mm_getcsr(), 0};
    asm volatile("fnstcw %0" : "=m"(state.x87));
    return state;
}

void setControlState(const ControlState& state)
{
    _mm_setcsr(state.mxcsr);
    asm volatile("fldcw %0" : : "m"(state.x87));
}

// The hooks installed beside each set of members are operations a caller may run around a
// conversion: they are there, and they change neither the rounding and flush modes nor the
// slots.
TEST(DMAConverterInit, HooksOfEveryModeRunWithoutChangingControlStateOrSlots)
{
    const ControlState saved = controlState();
    // Round toward zero, flush to zero and denormals as zero; x87 round toward zero, 53-bit.
    const ControlState unusual{(saved.mxcsr & ~0x6000u) | 0x6000u | 0x8040u,
                               static_cast<uint16_t>((saved.x87 & ~0x0F00u) | 0x0E00u)};
    for (int mode : {1, 2, 0}) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        DMAConverterInit(mode);
        CPUFXHook* save = cpuSaveFX.load();
        CPUFXHook* load = cpuLoadFX.load();
        ASSERT_NE(save, nullptr);
        ASSERT_NE(load, nullptr);
        const DMAConvertFunc* encoder = dmaEncode16.load();
        setControlState(unusual);
        save();
        load();
        const ControlState after = controlState();
        setControlState(saved);
        EXPECT_EQ(after, unusual);
        EXPECT_EQ(dmaEncode16.load(), encoder);
        EXPECT_EQ(cpuSaveFX.load(), save);
        EXPECT_EQ(cpuLoadFX.load(), load);
    }
    EXPECT_EQ(controlState(), saved);
}
#endif

// The vector mode runs its members at the widest level the processor has; the portable mode
// leaves the level alone, and no level above the processor's is ever taken.
TEST(DMAConverterInit, VectorModeChoosesTheWidestLevel)
{
    dmaSetVectorLevel(DMAVectorLevel::SSE2);
    DMAConverterInit(1);
    EXPECT_EQ(dmaVectorLevel(), DMAVectorLevel::SSE2);
    DMAConverterInit(0);
    EXPECT_EQ(dmaVectorLevel(), dmaWidestVectorLevel());
    dmaSetVectorLevel(DMAVectorLevel::AVX512);
    EXPECT_EQ(dmaVectorLevel(), dmaWidestVectorLevel());
    dmaSetVectorLevel(DMAVectorLevel::SSE2);
    EXPECT_EQ(dmaVectorLevel(), DMAVectorLevel::SSE2);
}

TEST(CPUCheckFeature, AnswersOneForFeaturesOneToFour)
{
    for (int feature : {-100, -1, 0, 5, 6, 1000}) {
        EXPECT_EQ(cpuCheckFeature(feature), 0) << feature;
    }
    for (int feature = 1; feature <= 4; ++feature) {
        EXPECT_EQ(cpuCheckFeature(feature), 1) << feature;
    }
}

// Every member of every family is its own function, so slot contents name one member.
TEST(ConverterCatalog, MembersAreDistinctAndCountsMatchTheGeometry)
{
    std::set<DMAConvertFunc*> seen;
    for (const auto& family : converterFamilies()) {
        for (const Member& m : kMembers) {
            if (DMAConvertFunc* member = m.of(family)) {
                EXPECT_TRUE(seen.insert(member).second) << family.name << m.suffix;
            }
        }
        if (family.isEncoder()) {
            EXPECT_EQ(family.count, family.inBytes) << family.name;
        } else {
            EXPECT_EQ(family.count * 4, family.outBytes) << family.name;
        }
    }
    EXPECT_EQ(seen.size(), 37u + 10u + 16u + 17u + 19u);
}

} // namespace
