#include "usbsim/models/AudioModel.h"

namespace usbsim::models {

AudioModel::AudioModel(uint32_t loopWidth, uint32_t primeFrames, uint32_t inputChannels)
    : m_loop(loopWidth, primeFrames), m_inputChannels(inputChannels)
{
}

void AudioModel::feedInput(std::vector<int32_t> samples)
{
    std::lock_guard lock(m_mutex);
    m_loop.feed(std::move(samples), m_inputChannels);
}

void AudioModel::loopBack()
{
    std::lock_guard lock(m_mutex);
    m_loop.loopBack();
}

std::vector<int32_t> AudioModel::capturedOutput() const
{
    std::lock_guard lock(m_mutex);
    return m_loop.captured();
}

void AudioModel::setCapture(bool on)
{
    std::lock_guard lock(m_mutex);
    m_loop.setCapture(on);
}

} // namespace usbsim::models
