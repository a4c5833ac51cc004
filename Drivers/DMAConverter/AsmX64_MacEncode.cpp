// Accelerated bit-plane encoders. The integer-unrolled members spread each sample byte over the 8
// output bytes it feeds with one multiplication. The vector members (VectorEncodePass.h) run at
// the instruction-set level set-up chose.
#include "BitPlaneLayout.h"
#include "DMAConverterDef.h"
#include "VectorMembers.h"

using namespace dmaconv;

namespace {

// The 8 bits of `byte` spread over the 8 bytes of a word, bit 7 - j in byte j, moved to bit `bit`
// of its byte. The multiplication puts bit i of `byte` at bits i + 9j only, so nothing carries.
inline uint64_t spreadBits(uint32_t byte, unsigned bit)
{
    return ((uint64_t(byte) * 0x8040201008040201ull) & 0x8080808080808080ull) >> (7 - bit);
}

struct UnrolledPass
{
    template <class Layout>
    static void encodeFrame(const uint8_t* hostFrame, uint32_t carried, uint8_t* deviceFrame)
    {
        constexpr unsigned planeSamples = Layout::kDeviceChannels / 2;
        uint32_t s[Layout::kDeviceChannels];
#pragma GCC unroll 16
        for (unsigned d = 0; d < Layout::kDeviceChannels; ++d) {
            s[d] = deviceSample<Layout>(hostFrame, carried, d);
        }
#pragma GCC unroll 2
        for (unsigned plane = 0; plane < 2; ++plane) {
#pragma GCC unroll 3
            for (unsigned slice = 0; slice < 3; ++slice) {
                // Output bytes 8 * slice .. + 7 of the plane: bits 31 - 8 * slice down to 24 - 8 * slice.
                uint64_t bytes = 0;
#pragma GCC unroll 8
                for (unsigned k = 0; k < planeSamples; ++k) {
                    bytes |= spreadBits((s[2 * k + plane] >> (24 - 8 * slice)) & 0xFFu, k);
                }
                storeQuad(deviceFrame + plane * kPlaneUnits + 8 * slice, bytes);
            }
        }
    }
};

} // namespace

uint32_t dmaEncode02_ASM(DMAConvertArgs* a)
{
    return encodeBlock<PlainOut<2>, UnrolledPass>(a);
}
uint32_t dmaEncode04_ASM(DMAConvertArgs* a)
{
    return encodeBlock<PlainOut<4>, UnrolledPass>(a);
}
uint32_t dmaEncode06_ASM(DMAConvertArgs* a)
{
    return encodeBlock<PlainOut<6>, UnrolledPass>(a);
}
uint32_t dmaEncode08_ASM(DMAConvertArgs* a)
{
    return encodeBlock<PlainOut<8>, UnrolledPass>(a);
}
uint32_t dmaEncode08_Int964_ASM(DMAConvertArgs* a)
{
    return encodeBlock<Int964Out, UnrolledPass>(a);
}
uint32_t dmaEncode10_12_ASM(DMAConvertArgs* a)
{
    return encodeBlock<PairOut<8, 0>, UnrolledPass>(a);
}
uint32_t dmaEncode10_34_ASM(DMAConvertArgs* a)
{
    return encodeBlock<PairOut<8, 2>, UnrolledPass>(a);
}
uint32_t dmaEncode10_56_ASM(DMAConvertArgs* a)
{
    return encodeBlock<PairOut<8, 4>, UnrolledPass>(a);
}
uint32_t dmaEncode10_78_ASM(DMAConvertArgs* a)
{
    return encodeBlock<PairOut<8, 6>, UnrolledPass>(a);
}
uint32_t dmaEncode10_AH_ASM(DMAConvertArgs* a)
{
    return encodeBlock<PairOut<10, 8>, UnrolledPass>(a);
}

uint32_t dmaEncode02_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Encode02)(a);
}
uint32_t dmaEncode04_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Encode04)(a);
}
uint32_t dmaEncode06_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Encode06)(a);
}
uint32_t dmaEncode08_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Encode08)(a);
}
uint32_t dmaEncode10_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Encode10)(a);
}
uint32_t dmaEncode12_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Encode12)(a);
}
uint32_t dmaEncode14_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Encode14)(a);
}
uint32_t dmaEncode16_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Encode16)(a);
}
uint32_t dmaEncode08_Int964_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Encode08_Int964)(a);
}
uint32_t dmaEncode10_12_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Encode10_12)(a);
}
uint32_t dmaEncode10_34_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Encode10_34)(a);
}
uint32_t dmaEncode10_56_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Encode10_56)(a);
}
uint32_t dmaEncode10_78_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Encode10_78)(a);
}
uint32_t dmaEncode10_AH_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Encode10_AH)(a);
}
uint32_t dmaEncode08_VARNOK_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Encode08_VARNOK)(a);
}
uint32_t dmaEncode16_VARNOK_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Encode16_VARNOK)(a);
}
uint32_t dmaEncode32_VARNOK_SSE(DMAConvertArgs* a)
{
    return vectorMember(VectorSlot::Encode32_VARNOK)(a);
}
