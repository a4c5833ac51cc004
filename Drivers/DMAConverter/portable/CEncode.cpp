// Portable encoders: the plain plane encoders, the 964-byte interrupt packet and the Varnok
// layout.
#include "DMAConverterDef.h"
#include "PortablePass.h"

using namespace dmaconv;

uint32_t dmaEncode02_C(DMAConvertArgs* a)
{
    return encodeBlock<PlainOut<2>, PortablePass>(a);
}
uint32_t dmaEncode04_C(DMAConvertArgs* a)
{
    return encodeBlock<PlainOut<4>, PortablePass>(a);
}
uint32_t dmaEncode06_C(DMAConvertArgs* a)
{
    return encodeBlock<PlainOut<6>, PortablePass>(a);
}
uint32_t dmaEncode08_C(DMAConvertArgs* a)
{
    return encodeBlock<PlainOut<8>, PortablePass>(a);
}
uint32_t dmaEncode12_C(DMAConvertArgs* a)
{
    return encodeBlock<PlainOut<12>, PortablePass>(a);
}
uint32_t dmaEncode14_C(DMAConvertArgs* a)
{
    return encodeBlock<PlainOut<14>, PortablePass>(a);
}
uint32_t dmaEncode16_C(DMAConvertArgs* a)
{
    return encodeBlock<PlainOut<16>, PortablePass>(a);
}
uint32_t dmaEncode08_Int964_C(DMAConvertArgs* a)
{
    return encodeBlock<Int964Out, PortablePass>(a);
}

namespace {

// Varnok output: 5 groups of 96 bytes, each 32 three-byte samples grouped by channel (the F
// frames of channel 0, then of channel 1, ...), host bits 8-31 least significant byte first.
template <unsigned N> uint32_t encodeVarnok(DMAConvertArgs* args)
{
    constexpr unsigned framesPerGroup = 32 / N;
    constexpr uint32_t count = 640;
    if (args == nullptr || args->src == nullptr || args->dst == nullptr) {
        return count;
    }
    const auto* in = static_cast<const uint8_t*>(args->src);
    auto* out = static_cast<uint8_t*>(args->dst);
    for (unsigned g = 0; g < 5; ++g) {
        for (unsigned c = 0; c < N; ++c) {
            for (unsigned f = 0; f < framesPerGroup; ++f) {
                const uint32_t h = loadWord(in + 4 * ((g * framesPerGroup + f) * N + c));
                out[0] = static_cast<uint8_t>(h >> 8);
                out[1] = static_cast<uint8_t>(h >> 16);
                out[2] = static_cast<uint8_t>(h >> 24);
                out += 3;
            }
        }
    }
    return count;
}

} // namespace

uint32_t dmaEncode08_VARNOK_C(DMAConvertArgs* a)
{
    return encodeVarnok<8>(a);
}
uint32_t dmaEncode16_VARNOK_C(DMAConvertArgs* a)
{
    return encodeVarnok<16>(a);
}
uint32_t dmaEncode32_VARNOK_C(DMAConvertArgs* a)
{
    return encodeVarnok<32>(a);
}
