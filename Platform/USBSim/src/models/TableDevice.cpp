#include "usbsim/models/TableDevice.h"

#include <algorithm>

namespace usbsim::models {
namespace {

constexpr uint8_t kSetCur = 0x01;
constexpr uint8_t kGetCur = 0x81;
constexpr uint16_t kSamplingFrequencyControl = 0x0100;
constexpr uint8_t kRecipientEndpoint = 2;

} // namespace

TableDevice::TableDevice(const ModelData& data)
{
    setSpeed(data.speed);
    setDeviceDescriptor(data.device);
    for (const auto& configuration : data.configurations) {
        addConfiguration(configuration);
    }
    for (const auto& [index, text] : data.strings) {
        setString(index, text);
    }
    for (const auto& row : data.replies) {
        addReply(row);
    }
    for (const auto& [index, status] : data.unreadableConfigurations) {
        makeConfigurationUnreadable(index, status);
    }
    for (const uint8_t endpoint : data.frequencyEndpoints) {
        m_rates[endpoint] = data.initialFrequency;
    }
    setBusPowerAvailable(data.busPower);
    setRequestGap(data.requestGapMs);
    m_midiIn = data.midiInEndpoint;
    m_midiOut = data.midiOutEndpoint;
}

void TableDevice::queueMidiIn(std::vector<uint8_t> packet)
{
    std::lock_guard lock(m_mutex);
    m_midiInQueue.push_back(std::move(packet));
}

size_t TableDevice::midiInWaiting() const
{
    std::lock_guard lock(m_mutex);
    return m_midiInQueue.size();
}

std::vector<MidiPacket> TableDevice::midiOut() const
{
    return lockedCopy(m_midiOutLog);
}

PacketResult TableDevice::packetInLocked(const EndpointLayout& ep, const FrameTime& time, std::span<uint8_t> packet)
{
    if (m_midiIn == 0 || ep.bEndpointAddress != m_midiIn) {
        return DeviceModel::packetInLocked(ep, time, packet);
    }
    if (m_midiInQueue.empty()) {
        return PacketResult::nak();
    }
    const std::vector<uint8_t> next = std::move(m_midiInQueue.front());
    m_midiInQueue.pop_front();
    const size_t length = std::min(next.size(), packet.size());
    std::copy_n(next.begin(), length, packet.begin());
    return PacketResult::data(static_cast<uint32_t>(length));
}

PacketResult TableDevice::packetOutLocked(const EndpointLayout& ep, const FrameTime& time,
                                          std::span<const uint8_t> packet)
{
    if (m_midiOut != 0 && ep.bEndpointAddress == m_midiOut) {
        m_midiOutLog.push_back({time, std::vector<uint8_t>(packet.begin(), packet.end())});
    }
    return DeviceModel::packetOutLocked(ep, time, packet);
}

uint32_t TableDevice::sampleRate(uint8_t endpointAddress) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_rates.find(endpointAddress);
    return it == m_rates.end() ? 0 : it->second;
}

bool TableDevice::isFrequencySet(const SetupPacket& setup, std::span<const uint8_t> outData, uint32_t* hz)
{
    if (setup.type() != kRequestTypeClass || setup.recipient() != kRecipientEndpoint ||
        setup.wValue != kSamplingFrequencyControl || setup.bRequest != kSetCur || setup.isIn() ||
        outData.size() < 3) {
        return false;
    }
    *hz = outData[0] | outData[1] << 8 | outData[2] << 16;
    return true;
}

ControlReply TableDevice::answerLocked(const SetupPacket& setup, std::span<const uint8_t> outData)
{
    auto row = replyLocked(setup);
    if (row && row->status != kSuccess) {
        return *row;
    }
    const auto rate = m_rates.find(static_cast<uint8_t>(setup.wIndex));
    const bool frequency = setup.type() == kRequestTypeClass && setup.recipient() == kRecipientEndpoint &&
                           setup.wValue == kSamplingFrequencyControl && rate != m_rates.end();
    if (!frequency) {
        return row.value_or(ControlReply::stall());
    }
    const uint32_t delay = row ? row->delayMilliseconds : 0;
    if (setup.bRequest == kSetCur && !setup.isIn() && outData.size() >= 3) {
        rate->second = outData[0] | outData[1] << 8 | outData[2] << 16;
        return ControlReply{kSuccess, {}, delay};
    }
    if (setup.bRequest == kGetCur && setup.isIn()) {
        if (row && !row->data.empty()) {
            return *row; // a device that reports something else than it was set to
        }
        const uint32_t hz = rate->second;
        return ControlReply{kSuccess,
                            {static_cast<uint8_t>(hz), static_cast<uint8_t>(hz >> 8), static_cast<uint8_t>(hz >> 16)},
                            delay};
    }
    return row.value_or(ControlReply::stall());
}

} // namespace usbsim::models
