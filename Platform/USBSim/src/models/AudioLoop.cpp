#include "usbsim/models/AudioLoop.h"

#include <algorithm>

namespace usbsim {
namespace {

// One second at the highest rate the models run: older looped audio is dropped beyond it.
constexpr size_t kLoopFrames = 192000;
// Captured output kept: about three minutes of stereo at 48 kHz, so a long run stays bounded.
constexpr size_t kCaptureSamples = size_t{1} << 24;

} // namespace

void SampleClock::setRate(uint32_t hz, int32_t ppm)
{
    m_rate = hz;
    m_ppm = ppm;
    m_accumulator = 0;
}

uint32_t SampleClock::advance(uint32_t microframes)
{
    // Frames per microframe = rate * (1 + ppm / 10^6) / 8000; kept exact in units of 1 / (8 * 10^9).
    constexpr uint64_t kUnit = 8'000'000'000ull;
    const auto perMicroframe = static_cast<uint64_t>(static_cast<int64_t>(m_rate) * (1'000'000 + m_ppm));
    m_accumulator += perMicroframe * microframes;
    const uint64_t frames = m_accumulator / kUnit;
    m_accumulator -= frames * kUnit;
    return static_cast<uint32_t>(frames);
}

AudioLoop::AudioLoop(uint32_t width, uint32_t primeFrames) : m_width(width), m_primeFrames(primeFrames) {}

void AudioLoop::play(const int32_t* samples, size_t frames, uint32_t channels)
{
    if (m_capture) {
        const size_t room = kCaptureSamples - std::min(kCaptureSamples, m_captured.size());
        m_captured.insert(m_captured.end(), samples, samples + std::min(room, frames * channels));
    }
    if (m_feeding) {
        return;
    }
    for (size_t f = 0; f < frames; ++f) {
        for (uint32_t c = 0; c < m_width; ++c) {
            m_loop.push_back(c < channels ? samples[f * channels + c] : 0);
        }
    }
    const size_t limit = kLoopFrames * m_width;
    if (m_loop.size() > limit) {
        m_loop.erase(m_loop.begin(), m_loop.begin() + static_cast<std::ptrdiff_t>(m_loop.size() - limit));
    }
}

void AudioLoop::record(int32_t* samples, size_t frames, uint32_t channels)
{
    std::fill(samples, samples + frames * channels, 0);
    if (m_feeding) {
        for (size_t f = 0; f < frames && m_feedPosition < m_feed.size(); ++f) {
            for (uint32_t c = 0; c < channels && c < m_feedChannels && m_feedPosition + c < m_feed.size();
                 ++c) {
                samples[f * channels + c] = m_feed[m_feedPosition + c];
            }
            m_feedPosition += m_feedChannels;
        }
        return;
    }
    // Until the host's output arrives the device sends silence; then the loop runs at a fixed
    // latency, since both sides follow the same clock.
    if (!m_primed && m_loop.size() < size_t{m_primeFrames} * m_width) {
        return;
    }
    m_primed = true;
    for (size_t f = 0; f < frames; ++f) {
        if (m_loop.size() < m_width) {
            m_primed = false; // ran dry: a gap, then the loop starts over
            return;
        }
        for (uint32_t c = 0; c < m_width; ++c) {
            if (c < channels) {
                samples[f * channels + c] = m_loop.front();
            }
            m_loop.pop_front();
        }
    }
}

void AudioLoop::feed(std::vector<int32_t> samples, uint32_t channels)
{
    m_feeding = true;
    m_feed = std::move(samples);
    m_feedChannels = std::max<uint32_t>(channels, 1);
    m_feedPosition = 0;
    m_loop.clear();
    m_primed = false;
}

void AudioLoop::loopBack()
{
    m_feeding = false;
    m_feed.clear();
    m_feedPosition = 0;
}

void AudioLoop::clear()
{
    m_loop.clear();
    m_primed = false;
    m_captured.clear();
}

} // namespace usbsim
