// Bit-plane converters of the maker's bulk-streaming devices: the call record, every member
// (portable `_C`, integer-unrolled `_ASM`, vector `_SSE`), the global converter slots and the
// set-up that fills them.
//
// A converter turns one fixed-size block per call and returns a count fixed for the member:
// decoders the host samples they write, encoders the host bytes they consume. The count comes
// back on every path, also for a null record, so a caller can size its work with a null call.
// Members are called on a device's real-time thread: they allocate nothing, lock nothing and log
// nothing. All members of one slot give identical output for every input.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// One call record per concurrent call; the caller provides the whole record for every call.
struct DMAConvertArgs
{
    const void* src; // input block: host samples for an encoder, device bytes for a decoder
    void* dst;       // output block: device bytes for an encoder, host samples for a decoder
    uint32_t* carry; // carried sample of the pair encoders; decoders leave it null
    uint64_t scratch[6];
    uint32_t countdown;
};

static_assert(offsetof(DMAConvertArgs, src) == 0 && offsetof(DMAConvertArgs, dst) == 8 &&
              offsetof(DMAConvertArgs, carry) == 16 && offsetof(DMAConvertArgs, scratch) == 24 &&
              offsetof(DMAConvertArgs, countdown) == 72 && sizeof(DMAConvertArgs) == 80);

using DMAConvertFunc = uint32_t(DMAConvertArgs* args);
using CPUFXHook = void();

// Portable members.
DMAConvertFunc dmaEncode02_C, dmaEncode04_C, dmaEncode06_C, dmaEncode08_C, dmaEncode10_C, dmaEncode12_C,
    dmaEncode14_C, dmaEncode16_C, dmaEncode08_Int964_C, dmaEncode10_12_C, dmaEncode10_34_C, dmaEncode10_56_C,
    dmaEncode10_78_C, dmaEncode10_AH_C, dmaEncode08_VARNOK_C, dmaEncode16_VARNOK_C, dmaEncode32_VARNOK_C;
DMAConvertFunc dmaDecode16To02At32Bit_C, dmaDecode16To04At32Bit_C, dmaDecode16To06At32Bit_C,
    dmaDecode16To08At32Bit_C, dmaDecode16To10At32Bit_C, dmaDecode16To12At32Bit_C, dmaDecode16To14At32Bit_C,
    dmaDecode16To16At32Bit_C, dmaDecode32To18At32Bit_C, dmaDecode32To20At32Bit_C, dmaDecode32To22At32Bit_C,
    dmaDecode32To24At32Bit_C, dmaDecode32To26At32Bit_C, dmaDecode32To28At32Bit_C, dmaDecode32To30At32Bit_C,
    dmaDecode32To32At32Bit_C, dmaDecode32To32At32Bit_NoPuzzle_C, dmaDecode16To08At32Bit_VARNOK_C,
    dmaDecode16To16At32Bit_VARNOK_C, dmaDecode16To32At32Bit_VARNOK_C;

// Integer-unrolled members.
DMAConvertFunc dmaEncode02_ASM, dmaEncode04_ASM, dmaEncode06_ASM, dmaEncode08_ASM, dmaEncode08_Int964_ASM,
    dmaEncode10_12_ASM, dmaEncode10_34_ASM, dmaEncode10_56_ASM, dmaEncode10_78_ASM, dmaEncode10_AH_ASM;
DMAConvertFunc dmaDecode16To02At32Bit_ASM, dmaDecode16To04At32Bit_ASM, dmaDecode16To06At32Bit_ASM,
    dmaDecode16To08At32Bit_ASM, dmaDecode16To10At32Bit_ASM, dmaDecode16To12At32Bit_ASM,
    dmaDecode16To14At32Bit_ASM, dmaDecode16To16At32Bit_ASM, dmaDecode32To18At32Bit_ASM,
    dmaDecode32To20At32Bit_ASM, dmaDecode32To22At32Bit_ASM, dmaDecode32To24At32Bit_ASM,
    dmaDecode32To26At32Bit_ASM, dmaDecode32To28At32Bit_ASM, dmaDecode32To30At32Bit_ASM,
    dmaDecode32To32At32Bit_ASM;

// Vector members.
DMAConvertFunc dmaEncode02_SSE, dmaEncode04_SSE, dmaEncode06_SSE, dmaEncode08_SSE, dmaEncode10_SSE,
    dmaEncode12_SSE, dmaEncode14_SSE, dmaEncode16_SSE, dmaEncode08_Int964_SSE, dmaEncode10_12_SSE,
    dmaEncode10_34_SSE, dmaEncode10_56_SSE, dmaEncode10_78_SSE, dmaEncode10_AH_SSE, dmaEncode08_VARNOK_SSE,
    dmaEncode16_VARNOK_SSE, dmaEncode32_VARNOK_SSE;
DMAConvertFunc dmaDecode16To02At32Bit_SSE, dmaDecode16To04At32Bit_SSE, dmaDecode16To06At32Bit_SSE,
    dmaDecode16To08At32Bit_SSE, dmaDecode16To10At32Bit_SSE, dmaDecode16To12At32Bit_SSE,
    dmaDecode16To14At32Bit_SSE, dmaDecode16To16At32Bit_SSE, dmaDecode32To18At32Bit_SSE,
    dmaDecode32To20At32Bit_SSE, dmaDecode32To22At32Bit_SSE, dmaDecode32To24At32Bit_SSE,
    dmaDecode32To26At32Bit_SSE, dmaDecode32To28At32Bit_SSE, dmaDecode32To30At32Bit_SSE,
    dmaDecode32To32At32Bit_SSE, dmaDecode16To08At32Bit_VARNOK_SSE, dmaDecode16To16At32Bit_VARNOK_SSE,
    dmaDecode16To32At32Bit_VARNOK_SSE;

// Converter slots, one per family, null until DMAConverterInit runs. A device reads the slot it
// needs once, when it starts a stream, and keeps the pointer; DMAConverterInit may rewrite the
// slots while other devices stream, so every access is one whole atomic load or store.
using DMAConverterSlot = std::atomic<DMAConvertFunc*>;

extern DMAConverterSlot dmaDecode16To08At32Bit_VARNOK, dmaDecode16To16At32Bit_VARNOK,
    dmaDecode16To32At32Bit_VARNOK, dmaEncode08_VARNOK, dmaEncode16_VARNOK, dmaEncode32_VARNOK;
extern DMAConverterSlot dmaDecode16To02At32Bit, dmaDecode16To04At32Bit, dmaDecode16To06At32Bit,
    dmaDecode16To08At32Bit, dmaDecode16To10At32Bit, dmaDecode16To12At32Bit, dmaDecode16To14At32Bit,
    dmaDecode16To16At32Bit, dmaDecode32To18At32Bit, dmaDecode32To20At32Bit, dmaDecode32To22At32Bit,
    dmaDecode32To24At32Bit, dmaDecode32To26At32Bit, dmaDecode32To28At32Bit, dmaDecode32To30At32Bit,
    dmaDecode32To32At32Bit;
extern DMAConverterSlot dmaEncode02, dmaEncode04, dmaEncode06, dmaEncode08, dmaEncode08_Int964, dmaEncode10,
    dmaEncode12, dmaEncode14, dmaEncode16, dmaEncode10_12, dmaEncode10_34, dmaEncode10_56, dmaEncode10_78,
    dmaEncode10_AH;

// Hooks installed beside the vector members. The vector members use no x87/MMX state (they work
// in SSE2 registers, which every thread's context saves), so the hooks have nothing to do and
// nobody calls them.
extern std::atomic<CPUFXHook*> cpuSaveFX, cpuLoadFX;
void cpuSaveFX_NULL();
void cpuLoadFX_NULL();
void cpuSaveFX_ASM();
void cpuLoadFX_ASM();

// Fills every slot: mode 1 portable members, 2 integer-unrolled members where a family has them,
// anything else vector members where the processor allows them. Runs on the thread that
// initialises a device object; takes no lock.
void DMAConverterInit(int mode);
void dmaConvertInit_C();
void dmaConvertInit_ASM();
void dmaConvertInit_SSE64();

// Instruction-set level of the vector members. The vector mode's set-up installs the widest the
// processor has; every level gives the same bytes.
enum class DMAVectorLevel : int
{
    SSE2 = 0, // every x86-64 processor
    AVX2 = 1,
    GFNI = 2,   // AVX2 and the Galois-field affine instructions
    AVX512 = 3, // 512-bit registers with byte permutes (AVX-512 VBMI), and GFNI
};
DMAVectorLevel dmaWidestVectorLevel();
DMAVectorLevel dmaVectorLevel();
// Makes the vector members use `level`, or the widest level the processor has if that is lower.
// Set-up calls it; tests use it to hold every level to the portable members.
void dmaSetVectorLevel(DMAVectorLevel level);

// 1 for features 1 to 4 (the vector members' needs, met by every x86-64 processor), else 0.
int cpuCheckFeature(int feature);
