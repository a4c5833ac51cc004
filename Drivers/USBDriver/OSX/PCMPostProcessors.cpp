// Input post-processors: silencing of digital-input channels and input routing of channel pairs.
#include "PCMCoder.h"

#include <array>
#include <cstddef>

namespace {

// Zeroes channels `first` and `first + 1` (0-based) of every whole frame the count covers.
template <uint32_t kChannels, uint32_t first, PostProcessorUnit unit>
void silence(int32_t* samples, uint32_t count)
{
    static_assert(first + 1 < kChannels);
    if (samples == nullptr) {
        return;
    }
    const size_t frames = unit == PostProcessorUnit::frames ? count : count / kChannels;
    for (size_t f = 0; f < frames; ++f) {
        int32_t* frame = samples + f * kChannels;
        frame[first] = 0;
        frame[first + 1] = 0;
    }
}

// Host pair p of every whole frame takes what device pair source[p] held; each frame is read
// whole before it is written. The count is in samples.
template <uint32_t kChannels, uint8_t... pairs> void route(int32_t* samples, uint32_t count)
{
    static_assert(sizeof...(pairs) == kChannels / 2);
    constexpr std::array<uint8_t, kChannels / 2> source{pairs...};
    if (samples == nullptr) {
        return;
    }
    const size_t frames = count / kChannels;
    for (size_t f = 0; f < frames; ++f) {
        int32_t* frame = samples + f * kChannels;
        std::array<int32_t, kChannels> device;
        for (uint32_t k = 0; k < kChannels; ++k) {
            device[k] = frame[k];
        }
        for (uint32_t p = 0; p < kChannels / 2; ++p) {
            frame[2 * p] = device[2 * source[p]];
            frame[2 * p + 1] = device[2 * source[p] + 1];
        }
    }
}

} // namespace

void postprocessUS366_4_BugFix(int32_t* s, uint32_t frames)
{
    silence<4, 2, PostProcessorUnit::frames>(s, frames);
}
void postprocessUS366_6_BugFix(int32_t* s, uint32_t frames)
{
    silence<6, 2, PostProcessorUnit::frames>(s, frames);
}
void postprocessACV0BugFix(int32_t* s, uint32_t count)
{
    silence<4, 2, PostProcessorUnit::samples>(s, count);
}
void postprocessVeskaroBugFix(int32_t* s, uint32_t frames)
{
    silence<6, 4, PostProcessorUnit::frames>(s, frames);
}

void postprocessUS144_00(int32_t* s, uint32_t count)
{
    route<4, 0, 0>(s, count);
}
void postprocessUS144_10(int32_t* s, uint32_t count)
{
    route<4, 1, 0>(s, count);
}
void postprocessUS144_11(int32_t* s, uint32_t count)
{
    route<4, 1, 1>(s, count);
}

void postprocessUS600_000(int32_t* s, uint32_t count)
{
    route<6, 0, 0, 0>(s, count);
}
void postprocessUS600_001(int32_t* s, uint32_t count)
{
    route<6, 0, 0, 1>(s, count);
}
void postprocessUS600_002(int32_t* s, uint32_t count)
{
    route<6, 0, 0, 2>(s, count);
}
void postprocessUS600_010(int32_t* s, uint32_t count)
{
    route<6, 0, 1, 0>(s, count);
}
void postprocessUS600_011(int32_t* s, uint32_t count)
{
    route<6, 0, 1, 1>(s, count);
}
void postprocessUS600_012(int32_t*, uint32_t) {} // identity
void postprocessUS600_020(int32_t* s, uint32_t count)
{
    route<6, 0, 2, 0>(s, count);
}
void postprocessUS600_021(int32_t* s, uint32_t count)
{
    route<6, 0, 2, 1>(s, count);
}
void postprocessUS600_022(int32_t* s, uint32_t count)
{
    route<6, 0, 2, 2>(s, count);
}
void postprocessUS600_100(int32_t* s, uint32_t count)
{
    route<6, 1, 0, 0>(s, count);
}
void postprocessUS600_101(int32_t* s, uint32_t count)
{
    route<6, 1, 0, 1>(s, count);
}
void postprocessUS600_102(int32_t* s, uint32_t count)
{
    route<6, 1, 0, 2>(s, count);
}
void postprocessUS600_110(int32_t* s, uint32_t count)
{
    route<6, 1, 1, 0>(s, count);
}
void postprocessUS600_111(int32_t* s, uint32_t count)
{
    route<6, 1, 1, 1>(s, count);
}
void postprocessUS600_112(int32_t* s, uint32_t count)
{
    route<6, 1, 1, 2>(s, count);
}
void postprocessUS600_120(int32_t* s, uint32_t count)
{
    route<6, 1, 2, 0>(s, count);
}
void postprocessUS600_121(int32_t* s, uint32_t count)
{
    route<6, 1, 2, 1>(s, count);
}
void postprocessUS600_122(int32_t* s, uint32_t count)
{
    route<6, 1, 2, 2>(s, count);
}
void postprocessUS600_200(int32_t* s, uint32_t count)
{
    route<6, 2, 0, 0>(s, count);
}
void postprocessUS600_201(int32_t* s, uint32_t count)
{
    route<6, 2, 0, 1>(s, count);
}
void postprocessUS600_202(int32_t* s, uint32_t count)
{
    route<6, 2, 0, 2>(s, count);
}
void postprocessUS600_210(int32_t* s, uint32_t count)
{
    route<6, 2, 1, 0>(s, count);
}
void postprocessUS600_211(int32_t* s, uint32_t count)
{
    route<6, 2, 1, 1>(s, count);
}
void postprocessUS600_212(int32_t* s, uint32_t count)
{
    route<6, 2, 1, 2>(s, count);
}
void postprocessUS600_220(int32_t* s, uint32_t count)
{
    route<6, 2, 2, 0>(s, count);
}
void postprocessUS600_221(int32_t* s, uint32_t count)
{
    route<6, 2, 2, 1>(s, count);
}
void postprocessUS600_222(int32_t* s, uint32_t count)
{
    route<6, 2, 2, 2>(s, count);
}

void runInputPostProcessor(const InputPostProcessor& postProcessor, int32_t* samples, uint32_t decodedSamples,
                           uint32_t streamChannels)
{
    if (!postProcessor || postProcessor.channels == 0 || postProcessor.channels != streamChannels) {
        return;
    }
    const uint32_t count = postProcessor.unit == PostProcessorUnit::frames
                               ? decodedSamples / postProcessor.channels
                               : decodedSamples;
    postProcessor.function(samples, count);
}
