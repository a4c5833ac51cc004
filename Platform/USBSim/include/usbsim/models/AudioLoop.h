// Building blocks of the audio device models: the device's own sample clock, and what happens
// to the audio: output looped back to input (the default), or a test signal played into the input
// while the output is recorded.
//
// Not thread-safe on their own: a model calls them with its lock held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace usbsim {

// Whole sample frames the device's clock produces per bus interval, at its nominal rate off by
// `ppm` parts per million.
class SampleClock
{
public:
    void setRate(uint32_t hz, int32_t ppm = 0);
    // A new error, keeping the fraction of a frame the clock has run since its last whole frame.
    void setPpm(int32_t ppm) { m_ppm = ppm; }
    uint32_t rate() const { return m_rate; }
    // Frames that fall into the next `microframes` 125 µs intervals.
    uint32_t advance(uint32_t microframes);
    void reset() { m_accumulator = 0; }

private:
    uint32_t m_rate = 48000;
    int32_t m_ppm = 0;
    uint64_t m_accumulator = 0;
};

class AudioLoop
{
public:
    // `width`: the most channels either direction carries. The loop starts sending once it holds
    // `primeFrames` frames (a device's small buffer against packet-size jitter), and starts over
    // after it runs dry.
    AudioLoop(uint32_t width, uint32_t primeFrames);

    // Frames the device received from the host, `channels` per frame.
    void play(const int32_t* samples, size_t frames, uint32_t channels);
    // Frames the device sends to the host.
    void record(int32_t* samples, size_t frames, uint32_t channels);

    // Input from a test signal (interleaved, `channels` per frame) instead of the loop; silence after.
    void feed(std::vector<int32_t> samples, uint32_t channels);
    // Back to looping output to input.
    void loopBack();
    // What was played so far (the first 16 Mi samples), as (channels, samples) in arrival order.
    const std::vector<int32_t>& captured() const { return m_captured; }
    void setCapture(bool on) { m_capture = on; }
    void clear();

private:
    const uint32_t m_width;
    const uint32_t m_primeFrames;
    std::deque<int32_t> m_loop; // frames of m_width channels
    bool m_primed = false;
    bool m_feeding = false;
    std::vector<int32_t> m_feed;
    uint32_t m_feedChannels = 0;
    size_t m_feedPosition = 0;
    bool m_capture = true;
    std::vector<int32_t> m_captured;
};

} // namespace usbsim
