// What the audio device models share: the audio loop, and the test side's control of it.
#pragma once

#include <vector>

#include "usbsim/DeviceModel.h"
#include "usbsim/models/AudioLoop.h"

namespace usbsim::models {

class AudioModel : public DeviceModel
{
public:
    // Test side (any thread).
    // Input from this signal (interleaved, the device's input channels per frame) instead of the loop.
    void feedInput(std::vector<int32_t> samples);
    void loopBack();
    // What the host played, interleaved with the device's output channels per frame.
    std::vector<int32_t> capturedOutput() const;
    void setCapture(bool on);

protected:
    AudioModel(uint32_t loopWidth, uint32_t primeFrames, uint32_t inputChannels);

    AudioLoop m_loop; // guarded by m_mutex

private:
    const uint32_t m_inputChannels;
};

} // namespace usbsim::models
