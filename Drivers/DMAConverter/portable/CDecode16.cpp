// Portable decoders of the 16-wide input stream and of the Varnok layout.
#include "DMAConverterDef.h"
#include "PortablePass.h"

using namespace dmaconv;

uint32_t dmaDecode16To02At32Bit_C(DMAConvertArgs* a)
{
    return decodeBlock<PlaneIn<2>, PortablePass>(a);
}
uint32_t dmaDecode16To04At32Bit_C(DMAConvertArgs* a)
{
    return decodeBlock<PlaneIn<4>, PortablePass>(a);
}
uint32_t dmaDecode16To06At32Bit_C(DMAConvertArgs* a)
{
    return decodeBlock<PlaneIn<6>, PortablePass>(a);
}
uint32_t dmaDecode16To08At32Bit_C(DMAConvertArgs* a)
{
    return decodeBlock<PlaneIn<8>, PortablePass>(a);
}
uint32_t dmaDecode16To10At32Bit_C(DMAConvertArgs* a)
{
    return decodeBlock<PlaneIn<10>, PortablePass>(a);
}
uint32_t dmaDecode16To12At32Bit_C(DMAConvertArgs* a)
{
    return decodeBlock<PlaneIn<12>, PortablePass>(a);
}
uint32_t dmaDecode16To14At32Bit_C(DMAConvertArgs* a)
{
    return decodeBlock<PlaneIn<14>, PortablePass>(a);
}
uint32_t dmaDecode16To16At32Bit_C(DMAConvertArgs* a)
{
    return decodeBlock<PlaneIn<16>, PortablePass>(a);
}

namespace {

// Varnok input: 4 blocks of 32 little-endian words, grouped by channel (the F frames of channel
// 0, then of channel 1, ...); each word is taken over whole.
template <unsigned N> uint32_t decodeVarnok(DMAConvertArgs* args)
{
    constexpr unsigned framesPerBlock = 32 / N;
    constexpr uint32_t count = 128;
    if (args == nullptr || args->src == nullptr || args->dst == nullptr) {
        return count;
    }
    const auto* in = static_cast<const uint8_t*>(args->src);
    auto* out = static_cast<uint8_t*>(args->dst);
    for (unsigned b = 0; b < 4; ++b) {
        for (unsigned f = 0; f < framesPerBlock; ++f) {
            for (unsigned c = 0; c < N; ++c) {
                std::memcpy(out + 4 * ((b * framesPerBlock + f) * N + c),
                            in + 4 * (32 * b + c * framesPerBlock + f), 4);
            }
        }
    }
    return count;
}

} // namespace

uint32_t dmaDecode16To08At32Bit_VARNOK_C(DMAConvertArgs* a)
{
    return decodeVarnok<8>(a);
}
uint32_t dmaDecode16To16At32Bit_VARNOK_C(DMAConvertArgs* a)
{
    return decodeVarnok<16>(a);
}
uint32_t dmaDecode16To32At32Bit_VARNOK_C(DMAConvertArgs* a)
{
    return decodeVarnok<32>(a);
}
