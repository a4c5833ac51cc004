// The known signal of the loopback tests and how it comes back: a client writes ring samples into
// its output ring, a device model loops its output back to its input, and the signal arrives in
// the input ring after the device's delay. Used in one process on the virtual clock and by the
// streaming client process against sonvexa-kerneld.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "AudioSM.h"

namespace loopback {

// A signal of 24-bit ring values, first frame non-zero on every channel, only the top 16 bits used
// for a 16-bit stream.
inline std::vector<int32_t> signal(uint32_t frames, uint32_t channels, int32_t bits, uint32_t seed)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<int32_t> value(-(1 << 23), (1 << 23) - 1);
    const int32_t mask = bits == 16 ? ~0xFF : ~0;
    std::vector<int32_t> samples(size_t{frames} * channels);
    for (auto& s : samples) {
        s = value(random) & mask;
    }
    for (uint32_t c = 0; c < channels; ++c) {
        samples[c] = (0x123456 + static_cast<int32_t>(c) * 0x100) & mask;
    }
    return samples;
}

// Ring samples as the input ring holds them after the device: left-justified 24-bit values.
inline std::vector<int32_t> asInput(const std::vector<int32_t>& samples)
{
    std::vector<int32_t> input(samples.size());
    std::transform(samples.begin(), samples.end(), input.begin(),
                   [](int32_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v) << 8); });
    return input;
}

// Of `frames` frames of `samples`, those from the first non-zero one at or after `from` on, at most
// `count` samples: the device's loopback delay cut off.
inline std::vector<int32_t> arrivedSignal(const int32_t* samples, uint64_t frames, uint64_t from, uint32_t channels,
                                          size_t count)
{
    for (uint64_t f = from; f < frames; ++f) {
        bool nonZero = false;
        for (uint32_t c = 0; c < channels; ++c) {
            nonZero = nonZero || samples[f * channels + c] != 0;
        }
        if (nonZero) {
            const size_t available = static_cast<size_t>((frames - f) * channels);
            const int32_t* first = samples + f * channels;
            return std::vector<int32_t>(first, first + std::min(count, available));
        }
    }
    return {};
}

// The same over an input ring that `written` frames were written to, read from its start.
inline std::vector<int32_t> arrivedSignal(const AudioSM& ring, uint64_t from, uint64_t written, uint32_t channels,
                                          size_t count)
{
    return arrivedSignal(ring.mSamples, std::min<uint64_t>(written, ring.mMaxFrames), from, channels, count);
}

} // namespace loopback
