// Portable decoders of the 32-wide input stream, and the plain copy of a stream that already
// carries interleaved samples.
#include "DMAConverterDef.h"
#include "PortablePass.h"

using namespace dmaconv;

uint32_t dmaDecode32To18At32Bit_C(DMAConvertArgs* a)
{
    return decodeBlock<PlaneIn<18>, PortablePass>(a);
}
uint32_t dmaDecode32To20At32Bit_C(DMAConvertArgs* a)
{
    return decodeBlock<PlaneIn<20>, PortablePass>(a);
}
uint32_t dmaDecode32To22At32Bit_C(DMAConvertArgs* a)
{
    return decodeBlock<PlaneIn<22>, PortablePass>(a);
}
uint32_t dmaDecode32To24At32Bit_C(DMAConvertArgs* a)
{
    return decodeBlock<PlaneIn<24>, PortablePass>(a);
}
uint32_t dmaDecode32To26At32Bit_C(DMAConvertArgs* a)
{
    return decodeBlock<PlaneIn<26>, PortablePass>(a);
}
uint32_t dmaDecode32To28At32Bit_C(DMAConvertArgs* a)
{
    return decodeBlock<PlaneIn<28>, PortablePass>(a);
}
uint32_t dmaDecode32To30At32Bit_C(DMAConvertArgs* a)
{
    return decodeBlock<PlaneIn<30>, PortablePass>(a);
}
uint32_t dmaDecode32To32At32Bit_C(DMAConvertArgs* a)
{
    return decodeBlock<PlaneIn<32>, PortablePass>(a);
}

// 4 frames of 32 samples, copied unchanged (the low bytes too).
uint32_t dmaDecode32To32At32Bit_NoPuzzle_C(DMAConvertArgs* args)
{
    constexpr uint32_t count = 128;
    if (args == nullptr || args->src == nullptr || args->dst == nullptr) {
        return count;
    }
    std::memcpy(args->dst, args->src, count * 4);
    return count;
}
