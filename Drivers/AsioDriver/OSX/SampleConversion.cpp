#include "SampleConversion.h"

#include <cmath>
#include <cstring>

namespace {

// The largest single-precision value below 2^31: int32 full scale maps to just under 1.0.
constexpr float kIntToFloat = 1.0F / 2147483520.0F;

// Each frame's first min(srcChannels, dstChannels) samples: d = op(d, s).
template <class Dst, class Op>
void mapChannels(const int32_t* src, uint32_t srcChannels, Dst* dst, uint32_t dstChannels, uint32_t frames, Op op)
{
    if (src == nullptr || dst == nullptr || srcChannels == 0 || dstChannels == 0 || frames == 0) {
        return;
    }
    const uint32_t n = srcChannels < dstChannels ? srcChannels : dstChannels;
    for (uint32_t f = 0; f < frames; ++f) {
        const int32_t* s = src + size_t{f} * srcChannels;
        Dst* d = dst + size_t{f} * dstChannels;
        for (uint32_t c = 0; c < n; ++c) {
            d[c] = op(d[c], s[c]);
        }
    }
}

template <class Convert> void inPlace(void* buffer, uint32_t channels, uint32_t frames, Convert convert)
{
    if (buffer == nullptr || channels == 0 || frames == 0) {
        return;
    }
    const size_t samples = size_t{channels} * frames;
    auto* bytes = static_cast<uint8_t*>(buffer);
    for (size_t i = 0; i < samples; ++i) {
        uint32_t word = 0;
        std::memcpy(&word, bytes + i * 4, 4);
        word = convert(word);
        std::memcpy(bytes + i * 4, &word, 4);
    }
}


} // namespace

void convertIntToFloat(const int32_t* src, uint32_t srcChannels, float* dst, uint32_t dstChannels, uint32_t frames)
{
    mapChannels(src, srcChannels, dst, dstChannels, frames,
                [](float, int32_t s) { return static_cast<float>(s) * kIntToFloat; });
}

void audioMapChannelsSet(const int32_t* src, uint32_t srcChannels, int32_t* dst, uint32_t dstChannels,
                         uint32_t frames)
{
    mapChannels(src, srcChannels, dst, dstChannels, frames, [](int32_t, int32_t s) { return s; });
}

void audioMapChannelsAdd(const int32_t* src, uint32_t srcChannels, int32_t* dst, uint32_t dstChannels,
                         uint32_t frames)
{
    mapChannels(src, srcChannels, dst, dstChannels, frames, [](int32_t d, int32_t s) {
        return static_cast<int32_t>(static_cast<uint32_t>(d) + static_cast<uint32_t>(s));
    });
}

namespace {

// In place, float x to the integer trunc(x * scale) clamped to the 32-bit range, NaN to 0. The
// scale is a power of two, so the product is exact in single precision (or beyond the range and
// clamped). Blocks of 16 go through local arrays, which the compiler turns into vector code.
template <int Shift> void floatToInt(void* buffer, uint32_t channels, uint32_t frames)
{
    if (buffer == nullptr || channels == 0 || frames == 0) {
        return;
    }
    constexpr float kScale = static_cast<float>(1ULL << Shift);
    constexpr float kTop = 2147483648.0F;
    const size_t samples = size_t{channels} * frames;
    auto* bytes = static_cast<uint8_t*>(buffer);
    constexpr size_t kBlock = 16;
    size_t i = 0;
    auto convert = [](float x) {
        const float scaled = x * kScale;
        const float low = scaled < -kTop ? -kTop : scaled;
        const float clamped = low >= kTop ? 2147483520.0F : low;
        int32_t value = static_cast<int32_t>(clamped);
        value = low >= kTop ? INT32_MAX : value;
        return scaled == scaled ? value : 0;
    };
    for (; i + kBlock <= samples; i += kBlock) {
        float in[kBlock];
        int32_t out[kBlock];
        std::memcpy(in, bytes + i * 4, sizeof in);
        for (size_t k = 0; k < kBlock; ++k) {
            out[k] = convert(in[k]);
        }
        std::memcpy(bytes + i * 4, out, sizeof out);
    }
    for (; i < samples; ++i) {
        float in = 0;
        std::memcpy(&in, bytes + i * 4, 4);
        const int32_t out = convert(in);
        std::memcpy(bytes + i * 4, &out, 4);
    }
}

} // namespace

void audioConvertFloatToSInt32LowAligned(void* buffer, uint32_t channels, uint32_t frames)
{
    floatToInt<23>(buffer, channels, frames);
}

void audioConvertFloatToSInt32(void* buffer, uint32_t channels, uint32_t frames)
{
    floatToInt<31>(buffer, channels, frames);
}

void audioConvertSint32ToSInt32LowAligned(void* buffer, uint32_t channels, uint32_t frames)
{
    inPlace(buffer, channels, frames,
            [](uint32_t word) { return static_cast<uint32_t>(static_cast<int32_t>(word) / 256); });
}
