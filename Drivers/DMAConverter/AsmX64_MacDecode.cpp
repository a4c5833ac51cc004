// Accelerated plane decoders. Eight units of a plane (one slice) hold 8 bits of up to 8 channels.
// The integer-unrolled members gather one channel's 8 bits of a slice with one multiplication (the
// eight bits land in the top byte without carries, the first unit on top). The vector members
// (VectorDecodePass.h) run at the instruction-set level set-up chose.
#include "BitPlaneLayout.h"
#include "DMAConverterDef.h"
#include "VectorMembers.h"

using namespace dmaconv;

namespace {

// The low bytes of four little-endian 16-bit units, packed into the low 32 bits.
inline uint64_t lowBytesOfUnits(uint64_t x)
{
    x &= 0x00FF00FF00FF00FFull;
    x = (x | (x >> 8)) & 0x0000FFFF0000FFFFull;
    return (x | (x >> 16)) & 0x00000000FFFFFFFFull;
}

// Bit `bit` of each byte of `slice`, byte 0 in bit 7 of the result.
inline uint32_t gatherBit(uint64_t slice, unsigned bit)
{
    return uint32_t((((slice >> bit) & 0x0101010101010101ull) * 0x8040201008040201ull) >> 56);
}

struct UnrolledPass
{
    template <class Layout> static void decodeFrame(const uint8_t* deviceFrame, uint8_t* hostFrame)
    {
        constexpr unsigned groups = Layout::kWordUnits ? 2 : 1; // low and high byte of a word unit
        // slices[plane][group][slice]: the slice's 8 units (their low or high bytes); bit k serves
        // channel 16 * group + 2k + plane.
        uint64_t slices[2][groups][3];
#pragma GCC unroll 2
        for (unsigned plane = 0; plane < 2; ++plane) {
#pragma GCC unroll 3
            for (unsigned slice = 0; slice < 3; ++slice) {
                const uint8_t* units =
                    deviceFrame + plane * Layout::kOddPlaneOffset + slice * 8 * Layout::kUnitBytes;
                if constexpr (Layout::kWordUnits) {
                    const uint64_t first = loadQuad(units), second = loadQuad(units + 8);
                    slices[plane][0][slice] = lowBytesOfUnits(first) | lowBytesOfUnits(second) << 32;
                    slices[plane][groups - 1][slice] =
                        lowBytesOfUnits(first >> 8) | lowBytesOfUnits(second >> 8) << 32;
                } else {
                    slices[plane][0][slice] = loadQuad(units);
                }
            }
        }
#pragma GCC unroll 32
        for (unsigned c = 0; c < Layout::kChannels; ++c) {
            const uint64_t* units = slices[c % 2][c / 16];
            const unsigned bit = (c % 16) / 2;
            const uint32_t word = gatherBit(units[0], bit) << 24 | gatherBit(units[1], bit) << 16 |
                                  gatherBit(units[2], bit) << 8;
            storeWord(hostFrame + 4 * c, word);
        }
    }
};

} // namespace

uint32_t dmaDecode16To02At32Bit_ASM(DMAConvertArgs* a)
{
    return decodeBlock<PlaneIn<2>, UnrolledPass>(a);
}
uint32_t dmaDecode16To04At32Bit_ASM(DMAConvertArgs* a)
{
    return decodeBlock<PlaneIn<4>, UnrolledPass>(a);
}
uint32_t dmaDecode16To06At32Bit_ASM(DMAConvertArgs* a)
{
    return decodeBlock<PlaneIn<6>, UnrolledPass>(a);
}
uint32_t dmaDecode16To08At32Bit_ASM(DMAConvertArgs* a)
{
    return decodeBlock<PlaneIn<8>, UnrolledPass>(a);
}
uint32_t dmaDecode16To10At32Bit_ASM(DMAConvertArgs* a)
{
    return decodeBlock<PlaneIn<10>, UnrolledPass>(a);
}
uint32_t dmaDecode16To12At32Bit_ASM(DMAConvertArgs* a)
{
    return decodeBlock<PlaneIn<12>, UnrolledPass>(a);
}
uint32_t dmaDecode16To14At32Bit_ASM(DMAConvertArgs* a)
{
    return decodeBlock<PlaneIn<14>, UnrolledPass>(a);
}
uint32_t dmaDecode16To16At32Bit_ASM(DMAConvertArgs* a)
{
    return decodeBlock<PlaneIn<16>, UnrolledPass>(a);
}
uint32_t dmaDecode32To18At32Bit_ASM(DMAConvertArgs* a)
{
    return decodeBlock<PlaneIn<18>, UnrolledPass>(a);
}
uint32_t dmaDecode32To20At32Bit_ASM(DMAConvertArgs* a)
{
    return decodeBlock<PlaneIn<20>, UnrolledPass>(a);
}
uint32_t dmaDecode32To22At32Bit_ASM(DMAConvertArgs* a)
{
    return decodeBlock<PlaneIn<22>, UnrolledPass>(a);
}
uint32_t dmaDecode32To24At32Bit_ASM(DMAConvertArgs* a)
{
    return decodeBlock<PlaneIn<24>, UnrolledPass>(a);
}
uint32_t dmaDecode32To26At32Bit_ASM(DMAConvertArgs* a)
{
    return decodeBlock<PlaneIn<26>, UnrolledPass>(a);
}
uint32_t dmaDecode32To28At32Bit_ASM(DMAConvertArgs* a)
{
    return decodeBlock<PlaneIn<28>, UnrolledPass>(a);
}
uint32_t dmaDecode32To30At32Bit_ASM(DMAConvertArgs* a)
{
    return decodeBlock<PlaneIn<30>, UnrolledPass>(a);
}
uint32_t dmaDecode32To32At32Bit_ASM(DMAConvertArgs* a)
{
    return decodeBlock<PlaneIn<32>, UnrolledPass>(a);
}

uint32_t dmaDecode16To02At32Bit_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Decode16To02At32Bit)(a);
}
uint32_t dmaDecode16To04At32Bit_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Decode16To04At32Bit)(a);
}
uint32_t dmaDecode16To06At32Bit_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Decode16To06At32Bit)(a);
}
uint32_t dmaDecode16To08At32Bit_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Decode16To08At32Bit)(a);
}
uint32_t dmaDecode16To10At32Bit_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Decode16To10At32Bit)(a);
}
uint32_t dmaDecode16To12At32Bit_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Decode16To12At32Bit)(a);
}
uint32_t dmaDecode16To14At32Bit_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Decode16To14At32Bit)(a);
}
uint32_t dmaDecode16To16At32Bit_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Decode16To16At32Bit)(a);
}
uint32_t dmaDecode32To18At32Bit_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Decode32To18At32Bit)(a);
}
uint32_t dmaDecode32To20At32Bit_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Decode32To20At32Bit)(a);
}
uint32_t dmaDecode32To22At32Bit_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Decode32To22At32Bit)(a);
}
uint32_t dmaDecode32To24At32Bit_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Decode32To24At32Bit)(a);
}
uint32_t dmaDecode32To26At32Bit_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Decode32To26At32Bit)(a);
}
uint32_t dmaDecode32To28At32Bit_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Decode32To28At32Bit)(a);
}
uint32_t dmaDecode32To30At32Bit_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Decode32To30At32Bit)(a);
}
uint32_t dmaDecode32To32At32Bit_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Decode32To32At32Bit)(a);
}
uint32_t dmaDecode16To08At32Bit_VARNOK_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Decode16To08At32Bit_VARNOK)(a);
}
uint32_t dmaDecode16To16At32Bit_VARNOK_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Decode16To16At32Bit_VARNOK)(a);
}
uint32_t dmaDecode16To32At32Bit_VARNOK_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Decode16To32At32Bit_VARNOK)(a);
}
