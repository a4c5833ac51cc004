// What the audio device models share: the audio loop, the device's clock error, and the test
// side's control of both. An audio model is a table model (descriptors, replies, the sampling
// frequency of its data endpoints) with the behaviour of its streams added in code.
#pragma once

#include <vector>

#include "usbsim/models/AudioLoop.h"
#include "usbsim/models/TableDevice.h"

namespace usbsim::models {

class AudioModel : public TableDevice
{
public:
    // Test side (any thread).
    // Input from this signal (interleaved, the device's input channels per frame: of the input
    // stream selected now, where the model has several) instead of the loop.
    void feedInput(std::vector<int32_t> samples);
    void loopBack();
    // What the host played, interleaved with the device's output channels per frame (the first
    // 16 Mi samples; setCapture(false) keeps nothing).
    std::vector<int32_t> capturedOutput() const;
    void setCapture(bool on);
    // The device's sample clock runs `ppm` parts per million fast (negative: slow) from now on;
    // the samples it produces and consumes, and the feedback it reports, follow it.
    void setClockPpm(int32_t ppm);
    int32_t clockPpm() const;

protected:
    // `data` may be empty for a model that writes its descriptors itself.
    AudioModel(const ModelData& data, uint32_t loopWidth, uint32_t primeFrames, uint32_t inputChannels,
               int32_t clockPpm);

    // The clock error changed (model lock held): the model re-rates its clocks.
    virtual void clockChangedLocked() = 0;
    // Channels per frame of the input (model lock held).
    virtual uint32_t inputChannelsLocked() const { return m_inputChannels; }

    AudioLoop m_loop;       // guarded by m_mutex
    int32_t m_clockPpm = 0; // guarded by m_mutex

private:
    const uint32_t m_inputChannels;
};

} // namespace usbsim::models
