// The converter slots and the set-up that fills them.
#include "DMAConverterDef.h"
#include "VectorMembers.h"

#include <algorithm>

DMAConverterSlot dmaDecode16To08At32Bit_VARNOK{nullptr}, dmaDecode16To16At32Bit_VARNOK{nullptr},
    dmaDecode16To32At32Bit_VARNOK{nullptr}, dmaEncode08_VARNOK{nullptr}, dmaEncode16_VARNOK{nullptr},
    dmaEncode32_VARNOK{nullptr};
DMAConverterSlot dmaDecode16To02At32Bit{nullptr}, dmaDecode16To04At32Bit{nullptr},
    dmaDecode16To06At32Bit{nullptr}, dmaDecode16To08At32Bit{nullptr}, dmaDecode16To10At32Bit{nullptr},
    dmaDecode16To12At32Bit{nullptr}, dmaDecode16To14At32Bit{nullptr}, dmaDecode16To16At32Bit{nullptr},
    dmaDecode32To18At32Bit{nullptr}, dmaDecode32To20At32Bit{nullptr}, dmaDecode32To22At32Bit{nullptr},
    dmaDecode32To24At32Bit{nullptr}, dmaDecode32To26At32Bit{nullptr}, dmaDecode32To28At32Bit{nullptr},
    dmaDecode32To30At32Bit{nullptr}, dmaDecode32To32At32Bit{nullptr};
DMAConverterSlot dmaEncode02{nullptr}, dmaEncode04{nullptr}, dmaEncode06{nullptr}, dmaEncode08{nullptr},
    dmaEncode08_Int964{nullptr}, dmaEncode10{nullptr}, dmaEncode12{nullptr}, dmaEncode14{nullptr},
    dmaEncode16{nullptr}, dmaEncode10_12{nullptr}, dmaEncode10_34{nullptr}, dmaEncode10_56{nullptr},
    dmaEncode10_78{nullptr}, dmaEncode10_AH{nullptr};

std::atomic<CPUFXHook*> cpuSaveFX{nullptr}, cpuLoadFX{nullptr};

// Four distinct operations that do nothing; which pair is installed records which family the
// slots were last filled with.
void cpuSaveFX_NULL() {}
void cpuLoadFX_NULL() {}
void cpuSaveFX_ASM() {}
void cpuLoadFX_ASM() {}

std::atomic<const dmaconv::VectorMemberTable*> dmaconv::activeVectorMembers{&dmaconv::kVectorMembersSSE2};

namespace {

std::atomic<DMAVectorLevel> vectorLevel{DMAVectorLevel::SSE2};

// A reader may load a slot at any moment; it sees the old or the new member, never a torn one.
void install(DMAConverterSlot& slot, DMAConvertFunc* member)
{
    slot.store(member, std::memory_order_relaxed);
}

void installHooks(CPUFXHook* save, CPUFXHook* load)
{
    cpuSaveFX.store(save, std::memory_order_relaxed);
    cpuLoadFX.store(load, std::memory_order_relaxed);
}

// The Varnok slots' portable members (the vector set-up installs their vector members).
void installVarnok()
{
    install(dmaDecode16To08At32Bit_VARNOK, dmaDecode16To08At32Bit_VARNOK_C);
    install(dmaDecode16To16At32Bit_VARNOK, dmaDecode16To16At32Bit_VARNOK_C);
    install(dmaDecode16To32At32Bit_VARNOK, dmaDecode16To32At32Bit_VARNOK_C);
    install(dmaEncode08_VARNOK, dmaEncode08_VARNOK_C);
    install(dmaEncode16_VARNOK, dmaEncode16_VARNOK_C);
    install(dmaEncode32_VARNOK, dmaEncode32_VARNOK_C);
}

} // namespace

void dmaConvertInit_C()
{
    installVarnok();
    install(dmaDecode16To02At32Bit, dmaDecode16To02At32Bit_C);
    install(dmaDecode16To04At32Bit, dmaDecode16To04At32Bit_C);
    install(dmaDecode16To06At32Bit, dmaDecode16To06At32Bit_C);
    install(dmaDecode16To08At32Bit, dmaDecode16To08At32Bit_C);
    install(dmaDecode16To10At32Bit, dmaDecode16To10At32Bit_C);
    install(dmaDecode16To12At32Bit, dmaDecode16To12At32Bit_C);
    install(dmaDecode16To14At32Bit, dmaDecode16To14At32Bit_C);
    install(dmaDecode16To16At32Bit, dmaDecode16To16At32Bit_C);
    install(dmaDecode32To18At32Bit, dmaDecode32To18At32Bit_C);
    install(dmaDecode32To20At32Bit, dmaDecode32To20At32Bit_C);
    install(dmaDecode32To22At32Bit, dmaDecode32To22At32Bit_C);
    install(dmaDecode32To24At32Bit, dmaDecode32To24At32Bit_C);
    install(dmaDecode32To26At32Bit, dmaDecode32To26At32Bit_C);
    install(dmaDecode32To28At32Bit, dmaDecode32To28At32Bit_C);
    install(dmaDecode32To30At32Bit, dmaDecode32To30At32Bit_C);
    install(dmaDecode32To32At32Bit, dmaDecode32To32At32Bit_C);
    install(dmaEncode02, dmaEncode02_C);
    install(dmaEncode04, dmaEncode04_C);
    install(dmaEncode06, dmaEncode06_C);
    install(dmaEncode08, dmaEncode08_C);
    install(dmaEncode08_Int964, dmaEncode08_Int964_C);
    install(dmaEncode10, dmaEncode10_C);
    install(dmaEncode12, dmaEncode12_C);
    install(dmaEncode14, dmaEncode14_C);
    install(dmaEncode16, dmaEncode16_C);
    install(dmaEncode10_12, dmaEncode10_12_C);
    install(dmaEncode10_34, dmaEncode10_34_C);
    install(dmaEncode10_56, dmaEncode10_56_C);
    install(dmaEncode10_78, dmaEncode10_78_C);
    install(dmaEncode10_AH, dmaEncode10_AH_C);
}

// The 10-, 12-, 14- and 16-channel plain encoders have no integer-unrolled member and keep what
// they hold.
void dmaConvertInit_ASM()
{
    installVarnok();
    install(dmaDecode16To02At32Bit, dmaDecode16To02At32Bit_ASM);
    install(dmaDecode16To04At32Bit, dmaDecode16To04At32Bit_ASM);
    install(dmaDecode16To06At32Bit, dmaDecode16To06At32Bit_ASM);
    install(dmaDecode16To08At32Bit, dmaDecode16To08At32Bit_ASM);
    install(dmaDecode16To10At32Bit, dmaDecode16To10At32Bit_ASM);
    install(dmaDecode16To12At32Bit, dmaDecode16To12At32Bit_ASM);
    install(dmaDecode16To14At32Bit, dmaDecode16To14At32Bit_ASM);
    install(dmaDecode16To16At32Bit, dmaDecode16To16At32Bit_ASM);
    install(dmaDecode32To18At32Bit, dmaDecode32To18At32Bit_ASM);
    install(dmaDecode32To20At32Bit, dmaDecode32To20At32Bit_ASM);
    install(dmaDecode32To22At32Bit, dmaDecode32To22At32Bit_ASM);
    install(dmaDecode32To24At32Bit, dmaDecode32To24At32Bit_ASM);
    install(dmaDecode32To26At32Bit, dmaDecode32To26At32Bit_ASM);
    install(dmaDecode32To28At32Bit, dmaDecode32To28At32Bit_ASM);
    install(dmaDecode32To30At32Bit, dmaDecode32To30At32Bit_ASM);
    install(dmaDecode32To32At32Bit, dmaDecode32To32At32Bit_ASM);
    install(dmaEncode02, dmaEncode02_ASM);
    install(dmaEncode04, dmaEncode04_ASM);
    install(dmaEncode06, dmaEncode06_ASM);
    install(dmaEncode08, dmaEncode08_ASM);
    install(dmaEncode08_Int964, dmaEncode08_Int964_ASM);
    install(dmaEncode10_12, dmaEncode10_12_ASM);
    install(dmaEncode10_34, dmaEncode10_34_ASM);
    install(dmaEncode10_56, dmaEncode10_56_ASM);
    install(dmaEncode10_78, dmaEncode10_78_ASM);
    install(dmaEncode10_AH, dmaEncode10_AH_ASM);
}

DMAVectorLevel dmaVectorLevel()
{
    return vectorLevel.load(std::memory_order_relaxed);
}

// A vector member already running finishes at the level it started with; every level gives the
// same bytes, so callers see no change.
void dmaSetVectorLevel(DMAVectorLevel level)
{
    level = std::min(level, dmaWidestVectorLevel());
    const dmaconv::VectorMemberTable* table = &dmaconv::kVectorMembersSSE2;
    if (level == DMAVectorLevel::AVX512) {
        table = &dmaconv::kVectorMembersAVX512;
    } else if (level == DMAVectorLevel::GFNI) {
        table = &dmaconv::kVectorMembersGFNI;
    } else if (level == DMAVectorLevel::AVX2) {
        table = &dmaconv::kVectorMembersAVX2;
    }
    dmaconv::activeVectorMembers.store(table, std::memory_order_relaxed);
    vectorLevel.store(level, std::memory_order_relaxed);
}

// The vector members run at the widest level the processor has, chosen here once.
void dmaConvertInit_SSE64()
{
    dmaSetVectorLevel(dmaWidestVectorLevel());
    install(dmaDecode16To08At32Bit_VARNOK, dmaDecode16To08At32Bit_VARNOK_SSE);
    install(dmaDecode16To16At32Bit_VARNOK, dmaDecode16To16At32Bit_VARNOK_SSE);
    install(dmaDecode16To32At32Bit_VARNOK, dmaDecode16To32At32Bit_VARNOK_SSE);
    install(dmaEncode08_VARNOK, dmaEncode08_VARNOK_SSE);
    install(dmaEncode16_VARNOK, dmaEncode16_VARNOK_SSE);
    install(dmaEncode32_VARNOK, dmaEncode32_VARNOK_SSE);
    install(dmaDecode16To02At32Bit, dmaDecode16To02At32Bit_SSE);
    install(dmaDecode16To04At32Bit, dmaDecode16To04At32Bit_SSE);
    install(dmaDecode16To06At32Bit, dmaDecode16To06At32Bit_SSE);
    install(dmaDecode16To08At32Bit, dmaDecode16To08At32Bit_SSE);
    install(dmaDecode16To10At32Bit, dmaDecode16To10At32Bit_SSE);
    install(dmaDecode16To12At32Bit, dmaDecode16To12At32Bit_SSE);
    install(dmaDecode16To14At32Bit, dmaDecode16To14At32Bit_SSE);
    install(dmaDecode16To16At32Bit, dmaDecode16To16At32Bit_SSE);
    install(dmaDecode32To18At32Bit, dmaDecode32To18At32Bit_SSE);
    install(dmaDecode32To20At32Bit, dmaDecode32To20At32Bit_SSE);
    install(dmaDecode32To22At32Bit, dmaDecode32To22At32Bit_SSE);
    install(dmaDecode32To24At32Bit, dmaDecode32To24At32Bit_SSE);
    install(dmaDecode32To26At32Bit, dmaDecode32To26At32Bit_SSE);
    install(dmaDecode32To28At32Bit, dmaDecode32To28At32Bit_SSE);
    install(dmaDecode32To30At32Bit, dmaDecode32To30At32Bit_SSE);
    install(dmaDecode32To32At32Bit, dmaDecode32To32At32Bit_SSE);
    install(dmaEncode02, dmaEncode02_SSE);
    install(dmaEncode04, dmaEncode04_SSE);
    install(dmaEncode06, dmaEncode06_SSE);
    install(dmaEncode08, dmaEncode08_SSE);
    install(dmaEncode08_Int964, dmaEncode08_Int964_SSE);
    install(dmaEncode10, dmaEncode10_SSE);
    install(dmaEncode12, dmaEncode12_SSE);
    install(dmaEncode14, dmaEncode14_SSE);
    install(dmaEncode16, dmaEncode16_SSE);
    install(dmaEncode10_12, dmaEncode10_12_SSE);
    install(dmaEncode10_34, dmaEncode10_34_SSE);
    install(dmaEncode10_56, dmaEncode10_56_SSE);
    install(dmaEncode10_78, dmaEncode10_78_SSE);
    install(dmaEncode10_AH, dmaEncode10_AH_SSE);
}

// Every run passes through the portable and integer-unrolled members before it settles, so a
// device choosing its converter meanwhile may pick up any member of a family; they all agree.
void DMAConverterInit(int mode)
{
    installHooks(cpuSaveFX_NULL, cpuLoadFX_NULL);
    dmaConvertInit_C();
    dmaConvertInit_ASM();
    if (mode != 3) {
        if (mode == 2) {
            dmaConvertInit_ASM();
            return;
        }
        if (mode == 1) {
            dmaConvertInit_C();
            return;
        }
        dmaConvertInit_ASM();
    }
    if (cpuCheckFeature(2) == 0) {
        return;
    }
    installHooks(cpuSaveFX_ASM, cpuLoadFX_ASM);
    dmaConvertInit_SSE64();
}
