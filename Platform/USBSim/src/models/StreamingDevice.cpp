#include "usbsim/models/StreamingDevice.h"

#include <algorithm>

#include "usbsim/models/Codec.h"

namespace usbsim::models {
namespace {

// The loop holds 2 ms at 96 kHz before input carries it: room for the packet-size jitter.
constexpr uint32_t kPrimeFrames = 192;
constexpr size_t kHeaderBytes = 104;
constexpr size_t kExtraOffset = 6;
constexpr size_t kReservedOffset = 100;
constexpr size_t kExtraCapture = size_t{1} << 20;
constexpr uint8_t kNoExtra = 0xFF;
constexpr uint8_t kResolutionRequest = 0x00;

uint32_t loopWidth(const StreamingData& streaming)
{
    uint32_t width = 1;
    for (const auto& format : streaming.formats) {
        width = std::max<uint32_t>(width, format.channels);
    }
    return width;
}

bool contains(const std::vector<uint8_t>& list, uint8_t value)
{
    return std::find(list.begin(), list.end(), value) != list.end();
}

uint32_t frameBytes(const StreamFormat& format)
{
    return uint32_t{format.channels} * format.bytesPerSample;
}

} // namespace

StreamingDevice::StreamingDevice(const ModelData& data)
    : AudioModel(data, loopWidth(data.streaming), kPrimeFrames, loopWidth(data.streaming), 0),
      m_streaming(data.streaming),
      m_rate(data.streaming.fixedRate != 0 ? data.streaming.fixedRate : data.initialFrequency)
{
}

ControlReply StreamingDevice::answerLocked(const SetupPacket& setup, std::span<const uint8_t> outData)
{
    ControlReply reply = TableDevice::answerLocked(setup, outData);
    if (reply.status != kSuccess) {
        return reply;
    }
    uint32_t hz = 0;
    if (m_streaming.fixedRate == 0 && isFrequencySet(setup, outData, &hz)) {
        // One clock for the whole device, at the rate last set on any of its endpoints.
        m_rate = hz;
        for (auto& [address, stream] : m_streams) {
            stream.clock.setRate(m_rate, m_clockPpm);
        }
    }
    if (m_streaming.announcedResolution && setup.type() == kRequestTypeVendor && setup.recipient() == 1 &&
        !setup.isIn() && setup.bRequest == kResolutionRequest) {
        const auto interfaceNumber = static_cast<uint8_t>(setup.wIndex);
        m_resolutions[interfaceNumber] = static_cast<uint8_t>(setup.wValue);
        bindLocked(interfaceNumber);
    }
    return reply;
}

const StreamFormat* StreamingDevice::formatLocked(uint8_t interfaceNumber, uint8_t alternate) const
{
    const auto announced = m_resolutions.find(interfaceNumber);
    const StreamFormat* first = nullptr;
    for (const auto& format : m_streaming.formats) {
        if (format.interfaceNumber != interfaceNumber || format.alternate != alternate) {
            continue;
        }
        if (announced != m_resolutions.end() && format.bits == announced->second) {
            return &format;
        }
        first = first != nullptr ? first : &format;
    }
    return first;
}

void StreamingDevice::bindLocked(uint8_t interfaceNumber)
{
    std::erase_if(m_streams,
                  [&](const auto& entry) { return entry.second.interfaceNumber == interfaceNumber; });
    const auto layout = configurationLayout(m_configuration);
    const auto* intf = layout ? layout->interface(interfaceNumber) : nullptr;
    const auto* alt = intf ? intf->alternate(alternateLocked(interfaceNumber)) : nullptr;
    if (alt == nullptr) {
        return;
    }
    const StreamFormat* format = formatLocked(interfaceNumber, alt->bAlternateSetting);
    for (const auto& ep : alt->endpoints) {
        if (ep.type() == TransferType::bulk && format != nullptr &&
            contains(m_streaming.bitPlaneBulkInEndpoints, ep.bEndpointAddress)) {
            Stream stream;
            stream.interfaceNumber = interfaceNumber;
            stream.role = Role::bulkInput;
            stream.format = format;
            stream.clock.setRate(m_rate, m_clockPpm);
            m_streams[ep.bEndpointAddress] = stream;
            continue;
        }
        if (ep.type() == TransferType::interrupt && format != nullptr &&
            contains(m_streaming.pcmInterruptEndpoints, ep.bEndpointAddress)) {
            Stream stream;
            stream.interfaceNumber = interfaceNumber;
            stream.role = ep.direction() == Direction::in ? Role::interruptInput : Role::interruptOutput;
            stream.format = format;
            stream.clock.setRate(m_rate, m_clockPpm);
            m_streams[ep.bEndpointAddress] = stream;
            continue;
        }
        if (ep.type() != TransferType::isochronous) {
            continue;
        }
        Stream stream;
        stream.interfaceNumber = interfaceNumber;
        stream.period = ep.servicePeriod(speed());
        const uint8_t address = ep.bEndpointAddress;
        if (contains(m_streaming.feedbackEndpoints, address)) {
            stream.role = Role::feedback;
        } else if (contains(m_streaming.keepAliveEndpoints, address)) {
            stream.role = Role::keepAlive;
        } else if (format != nullptr) {
            stream.role = ep.direction() == Direction::in ? Role::input : Role::output;
            stream.format = format;
        } else {
            continue;
        }
        stream.clock.setRate(m_rate, m_clockPpm);
        if (stream.role == Role::output) {
            m_outputBalance = 0;
            m_haveTotal = false;
        }
        m_streams[address] = stream;
    }
}

PacketResult StreamingDevice::isocInLocked(const EndpointLayout& ep, const FrameTime&,
                                           std::span<uint8_t> packet)
{
    const auto found = m_streams.find(ep.bEndpointAddress);
    if (found == m_streams.end()) {
        return PacketResult::data(0);
    }
    Stream& stream = found->second;
    const uint32_t frames = stream.clock.advance(stream.period);
    if (stream.role == Role::feedback) {
        if (packet.size() < 3) {
            return PacketResult::data(0);
        }
        packet[0] = static_cast<uint8_t>(std::min<uint32_t>(frames, 0xFF));
        packet[1] = 0;
        packet[2] = 0;
        return PacketResult::data(3);
    }
    if (stream.role != Role::input) {
        return PacketResult::data(0);
    }
    const StreamFormat& format = *stream.format;
    const uint32_t bytes = frameBytes(format);
    if (bytes == 0) {
        return PacketResult::data(0);
    }
    const auto sent = std::min<uint32_t>(frames, static_cast<uint32_t>(packet.size() / bytes));
    m_inputOverflows += frames - sent;
    m_samples.resize(size_t{sent} * format.channels);
    m_loop.record(m_samples.data(), sent, format.channels);
    if (format.layout == PcmLayout::highLowMiddle) {
        codec::encodeHighLowMiddle24(m_samples.data(), m_samples.size(), packet.data());
    } else {
        codec::encodePcm(m_samples.data(), m_samples.size(), format.bytesPerSample, packet.data());
    }
    return PacketResult::data(sent * bytes);
}

void StreamingDevice::isocOutLocked(const EndpointLayout& ep, const FrameTime&,
                                    std::span<const uint8_t> packet)
{
    const auto found = m_streams.find(ep.bEndpointAddress);
    if (found == m_streams.end()) {
        return;
    }
    Stream& stream = found->second;
    if (stream.role == Role::keepAlive) {
        ++m_keepAlivePackets;
        return;
    }
    if (stream.role != Role::output) {
        return;
    }
    if (m_streaming.headedOutput) {
        takeHeaderLocked(stream, packet);
        return;
    }
    const uint32_t bytes = frameBytes(*stream.format);
    const auto frames = bytes == 0 ? 0u : static_cast<uint32_t>(packet.size() / bytes);
    playLocked(*stream.format, packet.first(size_t{frames} * bytes), frames);
    m_outputBalance += frames;
    m_outputBalance -= stream.clock.advance(stream.period);
}

void StreamingDevice::takeHeaderLocked(Stream& stream, std::span<const uint8_t> packet)
{
    ++m_headers.packets;
    const uint32_t played = stream.clock.advance(stream.period);
    if (packet.size() < kHeaderBytes) {
        ++m_headers.errors;
        m_outputBalance -= played;
        return;
    }
    const uint32_t count = packet[0];
    const uint32_t bytes = frameBytes(*stream.format);
    const auto audio = packet.subspan(kHeaderBytes);
    bool wrong = audio.size() != size_t{count} * bytes;
    const uint32_t total =
        uint32_t{packet[2]} << 24 | uint32_t{packet[3]} << 16 | uint32_t{packet[4]} << 8 | packet[5];
    wrong = wrong || (m_haveTotal && total != m_headers.lastTotal + count);
    m_headers.lastTotal = total;
    m_haveTotal = true;
    // The extra bytes end where the reserved word begins; a count that would pass it is wrong.
    const size_t extra = std::min<size_t>(size_t{count} * 2, kReservedOffset - kExtraOffset);
    wrong = wrong || extra < size_t{count} * 2;
    const auto extras = packet.subspan(kExtraOffset, extra);
    const auto nonZero = std::find_if(extras.begin(), extras.end(), [](uint8_t b) { return b != 0; });
    const uint8_t firstExtra =
        nonZero == extras.end() ? kNoExtra : static_cast<uint8_t>(nonZero - extras.begin());
    wrong = wrong || packet[1] != firstExtra;
    wrong = wrong || std::any_of(packet.begin() + kReservedOffset, packet.begin() + kHeaderBytes,
                                 [](uint8_t b) { return b != 0; });
    m_headers.errors += wrong ? 1 : 0;
    const size_t room = kExtraCapture - std::min(kExtraCapture, m_extra.size());
    m_extra.insert(m_extra.end(), extras.begin(),
                   extras.begin() + static_cast<std::ptrdiff_t>(std::min(room, extra)));
    const auto frames =
        bytes == 0 ? count : std::min<uint32_t>(count, static_cast<uint32_t>(audio.size() / bytes));
    playLocked(*stream.format, audio.first(size_t{frames} * bytes), frames);
    m_outputBalance += frames;
    m_outputBalance -= played;
}

void StreamingDevice::playLocked(const StreamFormat& format, std::span<const uint8_t> audio, uint32_t frames)
{
    if (format.channels == 0) {
        return;
    }
    m_samples.resize(size_t{frames} * format.channels);
    if (format.layout == PcmLayout::highLowMiddle) {
        codec::decodeHighLowMiddle24(audio, m_samples.data());
    } else {
        codec::decodePcm(audio, format.bytesPerSample, m_samples.data());
    }
    m_loop.play(m_samples.data(), frames, format.channels);
}

void StreamingDevice::onConfigurationLocked(uint8_t value)
{
    m_configuration = value;
    m_streams.clear();
    const auto layout = configurationLayout(value);
    if (layout) {
        for (const auto& intf : layout->interfaces) {
            bindLocked(intf.number);
        }
    }
}

void StreamingDevice::onAlternateLocked(uint8_t interfaceNumber, uint8_t)
{
    bindLocked(interfaceNumber);
}

void StreamingDevice::onResetLocked()
{
    m_configuration = 0;
    m_streams.clear();
    m_resolutions.clear();
}

void StreamingDevice::clockChangedLocked()
{
    for (auto& [address, stream] : m_streams) {
        stream.clock.setPpm(m_clockPpm);
    }
}

PacketResult StreamingDevice::packetInLocked(const EndpointLayout& ep, const FrameTime& time,
                                             std::span<uint8_t> packet)
{
    constexpr uint32_t kFramesPerPacket = 8;
    constexpr size_t kPacketBytes = kFramesPerPacket * codec::kInputFrameBytes16;
    const auto found = m_streams.find(ep.bEndpointAddress);
    if (found != m_streams.end() && found->second.role == Role::interruptInput) {
        Stream& stream = found->second;
        const uint32_t bytes = frameBytes(*stream.format);
        const auto frames = bytes == 0 ? 0u : static_cast<uint32_t>(packet.size() / bytes);
        stream.pending += followLocked(stream, time);
        if (frames == 0 || stream.pending < frames) {
            return PacketResult::nak();
        }
        stream.pending -= frames;
        m_samples.resize(size_t{frames} * stream.format->channels);
        m_loop.record(m_samples.data(), frames, stream.format->channels);
        codec::encodePcm(m_samples.data(), m_samples.size(), stream.format->bytesPerSample, packet.data());
        return PacketResult::data(frames * bytes);
    }
    if (found == m_streams.end() || found->second.role != Role::bulkInput || packet.size() < kPacketBytes) {
        return TableDevice::packetInLocked(ep, time, packet);
    }
    Stream& stream = found->second;
    stream.pending += followLocked(stream, time);
    if (stream.pending < kFramesPerPacket) {
        return PacketResult::nak();
    }
    stream.pending -= kFramesPerPacket;
    const uint32_t channels = std::min<uint32_t>(stream.format->channels, 16);
    m_samples.resize(size_t{kFramesPerPacket} * stream.format->channels);
    m_loop.record(m_samples.data(), kFramesPerPacket, stream.format->channels);
    for (uint32_t f = 0; f < kFramesPerPacket; ++f) {
        codec::encodeInputFrame(m_samples.data() + size_t{f} * stream.format->channels, channels, 16,
                                packet.data() + f * codec::kInputFrameBytes16);
    }
    return PacketResult::data(static_cast<uint32_t>(kPacketBytes));
}

PacketResult StreamingDevice::packetOutLocked(const EndpointLayout& ep, const FrameTime& time,
                                              std::span<const uint8_t> packet)
{
    const auto found = m_streams.find(ep.bEndpointAddress);
    if (found == m_streams.end() || found->second.role != Role::interruptOutput) {
        return TableDevice::packetOutLocked(ep, time, packet);
    }
    Stream& stream = found->second;
    const uint32_t bytes = frameBytes(*stream.format);
    const auto frames = bytes == 0 ? 0u : static_cast<uint32_t>(packet.size() / bytes);
    stream.pending -= std::min(stream.pending, followLocked(stream, time));
    const uint64_t room = 2 * uint64_t{ep.wMaxPacketSize & 0x7FFu} / std::max(bytes, 1u);
    if (stream.pending + frames > room) {
        return PacketResult::nak(); // the device's buffer is full
    }
    stream.pending += frames;
    playLocked(*stream.format, packet.first(size_t{frames} * bytes), frames);
    return PacketResult::data(static_cast<uint32_t>(packet.size()));
}

uint64_t StreamingDevice::followLocked(Stream& stream, const FrameTime& time)
{
    const uint64_t now = time.frameNumber * 8 + time.microframe;
    if (!stream.started) {
        stream.started = true;
        stream.lastMicroframe = now;
        return 0;
    }
    if (now <= stream.lastMicroframe) {
        return 0;
    }
    const auto elapsed = static_cast<uint32_t>(std::min<uint64_t>(now - stream.lastMicroframe, 8'000'000));
    stream.lastMicroframe = now;
    return stream.clock.advance(elapsed);
}

uint32_t StreamingDevice::inputChannelsLocked() const
{
    for (const auto& [address, stream] : m_streams) {
        if (stream.role == Role::input || stream.role == Role::bulkInput || stream.role == Role::interruptInput) {
            return stream.format->channels;
        }
    }
    return loopWidth(m_streaming);
}

uint32_t StreamingDevice::deviceRate() const
{
    return lockedCopy(m_rate);
}

int64_t StreamingDevice::outputBalance() const
{
    return lockedCopy(m_outputBalance);
}

uint64_t StreamingDevice::inputOverflows() const
{
    return lockedCopy(m_inputOverflows);
}

StreamingDevice::Headers StreamingDevice::headers() const
{
    return lockedCopy(m_headers);
}

std::vector<uint8_t> StreamingDevice::extraBytes() const
{
    return lockedCopy(m_extra);
}

uint64_t StreamingDevice::keepAlivePackets() const
{
    return lockedCopy(m_keepAlivePackets);
}

std::shared_ptr<DeviceModel> makeTableModel(const ModelData& data)
{
    if (!data.streaming.formats.empty()) {
        return std::make_shared<StreamingDevice>(data);
    }
    return std::make_shared<TableDevice>(data);
}

uint8_t StreamingDevice::announcedResolution(uint8_t interfaceNumber) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_resolutions.find(interfaceNumber);
    return it == m_resolutions.end() ? 0 : it->second;
}

} // namespace usbsim::models
