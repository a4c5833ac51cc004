#include "SampleConversion.h"

#include <cmath>
#include <cstring>

namespace {

// The largest single-precision value below 2^31: int32 full scale maps to just under 1.0.
constexpr float kIntToFloat = 1.0F / 2147483520.0F;

// Truncates toward zero, clamped to the 32-bit range; NaN gives 0.
inline int32_t clampedInt(double scaled)
{
    if (!(scaled == scaled)) {
        return 0;
    }
    if (scaled >= 2147483647.0) {
        return INT32_MAX;
    }
    if (scaled <= -2147483648.0) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(scaled);
}

template <class Op>
void mapChannels(const int32_t* src, uint32_t srcChannels, int32_t* dst, uint32_t dstChannels, uint32_t frames,
                 Op op)
{
    if (src == nullptr || dst == nullptr || srcChannels == 0 || dstChannels == 0 || frames == 0) {
        return;
    }
    const uint32_t n = srcChannels < dstChannels ? srcChannels : dstChannels;
    for (uint32_t f = 0; f < frames; ++f) {
        const int32_t* s = src + size_t{f} * srcChannels;
        int32_t* d = dst + size_t{f} * dstChannels;
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

float asFloat(uint32_t word)
{
    float value = 0;
    std::memcpy(&value, &word, 4);
    return value;
}

} // namespace

void convertIntToFloat(const int32_t* src, uint32_t srcChannels, float* dst, uint32_t dstChannels, uint32_t frames)
{
    if (src == nullptr || dst == nullptr || srcChannels == 0 || dstChannels == 0 || frames == 0) {
        return;
    }
    const uint32_t n = srcChannels < dstChannels ? srcChannels : dstChannels;
    for (uint32_t f = 0; f < frames; ++f) {
        const int32_t* s = src + size_t{f} * srcChannels;
        float* d = dst + size_t{f} * dstChannels;
        for (uint32_t c = 0; c < n; ++c) {
            d[c] = static_cast<float>(s[c]) * kIntToFloat;
        }
    }
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

void audioConvertFloatToSInt32LowAligned(void* buffer, uint32_t channels, uint32_t frames)
{
    inPlace(buffer, channels, frames, [](uint32_t word) {
        return static_cast<uint32_t>(clampedInt(static_cast<double>(asFloat(word)) * 8388608.0));
    });
}

void audioConvertFloatToSInt32(void* buffer, uint32_t channels, uint32_t frames)
{
    inPlace(buffer, channels, frames, [](uint32_t word) {
        return static_cast<uint32_t>(clampedInt(static_cast<double>(asFloat(word)) * 2147483648.0));
    });
}

void audioConvertSint32ToSInt32LowAligned(void* buffer, uint32_t channels, uint32_t frames)
{
    inPlace(buffer, channels, frames,
            [](uint32_t word) { return static_cast<uint32_t>(static_cast<int32_t>(word) / 256); });
}
