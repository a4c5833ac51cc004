#include "usbsim/models/AudioModel.h"

namespace usbsim::models {

AudioModel::AudioModel(const ModelData& data, uint32_t loopWidth, uint32_t primeFrames,
                       uint32_t inputChannels, int32_t clockPpm)
    : TableDevice(data), m_loop(loopWidth, primeFrames), m_clockPpm(clockPpm), m_inputChannels(inputChannels)
{
}

void AudioModel::feedInput(std::vector<int32_t> samples)
{
    std::lock_guard lock(m_mutex);
    m_loop.feed(std::move(samples), inputChannelsLocked());
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

void AudioModel::setClockPpm(int32_t ppm)
{
    std::lock_guard lock(m_mutex);
    m_clockPpm = ppm;
    clockChangedLocked();
}

int32_t AudioModel::clockPpm() const
{
    return lockedCopy(m_clockPpm);
}

} // namespace usbsim::models
