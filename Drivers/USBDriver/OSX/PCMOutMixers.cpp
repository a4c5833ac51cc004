// Output mixers: one stereo mix of all host channels through per-channel gains, and a routing
// matrix that puts the mix, a host pair or silence on every output pair.
//
// The arithmetic is the device's fixed-point rule, wrap-around included; it is done in unsigned
// words where it may overflow, so no step is undefined.
#include "PCMCoder.h"

#include <array>
#include <cstddef>

namespace {

// The gains and routing bytes belong to the engine's tables, which a request thread may rewrite
// while a mixer runs: each value is read once, as one whole word.
template <class T> T readShared(const T& value)
{
    return __atomic_load_n(&value, __ATOMIC_RELAXED);
}

// (c / denominator) * numerator, a zero denominator counting as 1; the product wraps.
int32_t weigh(int32_t c, const QZ_Fraction& gain)
{
    const int32_t numerator = readShared(gain.numerator);
    int32_t denominator = readShared(gain.denominator);
    if (denominator == 0) {
        denominator = 1;
    }
    // c holds 24 bits, so the quotient cannot overflow even for a denominator of -1.
    return static_cast<int32_t>(static_cast<uint32_t>(c / denominator) * static_cast<uint32_t>(numerator));
}

constexpr int kSilence = -1;
constexpr int kMix = 0;

template <uint32_t kChannels>
uint32_t mix(uint32_t* samples, uint32_t frames, const QZ_Fraction* left, const QZ_Fraction* right,
             const std::array<int, kChannels / 2>& source)
{
    for (size_t f = 0; f < frames; ++f) {
        uint32_t* frame = samples + f * kChannels;
        std::array<int32_t, kChannels> c;
        uint32_t sumLeft = 0;
        uint32_t sumRight = 0;
        for (uint32_t k = 0; k < kChannels; ++k) {
            c[k] = static_cast<int32_t>(frame[k]) >> 8;
            sumLeft += static_cast<uint32_t>(weigh(c[k], left[k]) / 2);
            sumRight += static_cast<uint32_t>(weigh(c[k], right[k]) / 2);
        }
        const uint32_t mixLeft = sumLeft << 1;
        const uint32_t mixRight = sumRight << 1;
        for (uint32_t p = 0; p < kChannels / 2; ++p) {
            uint32_t outLeft = 0;
            uint32_t outRight = 0;
            if (source[p] == kMix) {
                outLeft = mixLeft;
                outRight = mixRight;
            } else if (source[p] != kSilence) {
                outLeft = static_cast<uint32_t>(c[2 * source[p] - 2]);
                outRight = static_cast<uint32_t>(c[2 * source[p] - 1]);
            }
            frame[2 * p] = outLeft << 8;
            frame[2 * p + 1] = outRight << 8;
        }
    }
    return kOutMixerResult;
}

bool usable(const uint32_t* samples, const QZ_Fraction* left, const QZ_Fraction* right,
            const uint8_t* routing)
{
    return samples != nullptr && left != nullptr && right != nullptr && routing != nullptr;
}

// Routing byte p: 0 = the mix, k in 1..N/2 = host pair k, anything else = silence.
template <uint32_t kChannels>
uint32_t mixRouted(uint32_t* samples, uint32_t frames, const QZ_Fraction* left, const QZ_Fraction* right,
                   const uint8_t* routing)
{
    if (frames == 0 || !usable(samples, left, right, routing)) {
        return kOutMixerResult;
    }
    std::array<int, kChannels / 2> source;
    for (uint32_t p = 0; p < kChannels / 2; ++p) {
        const uint8_t value = readShared(routing[p]);
        source[p] = value <= kChannels / 2 ? value : kSilence;
    }
    return mix<kChannels>(samples, frames, left, right, source);
}

} // namespace

uint32_t outMixer2CH(uint32_t* samples, uint32_t frames, const QZ_Fraction* left, const QZ_Fraction* right,
                     const uint8_t* routing)
{
    if (frames == 0 || !usable(samples, left, right, routing)) {
        return kOutMixerResult;
    }
    const std::array<int, 1> source{readShared(routing[0]) == 0 ? kMix : 1};
    return mix<2>(samples, frames, left, right, source);
}

uint32_t outMixer4CH(uint32_t* samples, uint32_t frames, const QZ_Fraction* left, const QZ_Fraction* right,
                     const uint8_t* routing)
{
    return mixRouted<4>(samples, frames, left, right, routing);
}

uint32_t outMixer6CH(uint32_t* samples, uint32_t frames, const QZ_Fraction* left, const QZ_Fraction* right,
                     const uint8_t* routing)
{
    return mixRouted<6>(samples, frames, left, right, routing);
}
