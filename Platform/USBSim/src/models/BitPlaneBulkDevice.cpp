#include "usbsim/models/BitPlaneBulkDevice.h"

#include <algorithm>
#include <initializer_list>

#include "usbsim/models/Codec.h"

namespace usbsim::models {
namespace {

using namespace descriptor_bytes;

constexpr uint8_t kSetCur = 0x01;
constexpr uint8_t kGetCur = 0x81;
constexpr uint16_t kSamplingFrequencyControl = 0x0100;
constexpr uint8_t kNoMidi = 0xFD;
constexpr uint8_t kNoControl = 0xFF;
// Output buffering of the device in frames (4 packets of 512 bytes, 2 of 1,024), input buffering in
// packets.
constexpr uint64_t kPlaybackFrames = 40;
constexpr uint64_t kCapturePackets = 64;
constexpr uint32_t kLoopWidth = 32;

void append(std::vector<uint8_t>& to, std::initializer_list<uint8_t> bytes)
{
    to.insert(to.end(), bytes.begin(), bytes.end());
}

BitPlaneBulkDevice::Options checked(BitPlaneBulkDevice::Options options)
{
    options.inputChannels = std::clamp<uint32_t>(options.inputChannels, 1, kLoopWidth);
    // Other sizes only describe a device whose streams the host must refuse: it sends nothing.
    options.packetSize = std::clamp<uint16_t>(options.packetSize, 64, 1024);
    options.keepAlivePacket = std::min<uint8_t>(options.keepAlivePacket, 4);
    if (options.varnokChannels != 8 && options.varnokChannels != 16 && options.varnokChannels != 32) {
        options.varnokChannels = 0;
    }
    return options;
}

bool supportedRate(uint32_t rate)
{
    constexpr uint32_t rates[] = {44100, 48000, 88200, 96000, 176400, 192000};
    return std::find(std::begin(rates), std::end(rates), rate) != std::end(rates);
}

} // namespace

BitPlaneBulkDevice::BitPlaneBulkDevice(const Options& options)
    // Two output packets prime the loop.
    : AudioModel({}, kLoopWidth, 2 * 20, checked(options).inputChannels, options.clockPpm),
      m_options(checked(options))
{
    setSpeed(Speed::high);
    const uint16_t size = m_options.packetSize;
    const uint16_t outSize = static_cast<uint16_t>(outputPacketSize());
    const uint8_t outAttributes = m_options.interruptOut964 ? 0x03 : 0x02;
    const uint8_t outInterval = m_options.interruptOut964 ? 1 : 0;
    const uint8_t keepAlive = m_options.keepAlivePacket;
    // clang-format off
    setDeviceDescriptor({
        // Device: bLength, bDescriptorType, bcdUSB 2.0, bDeviceClass vendor-specific, bDeviceSubClass, bDeviceProtocol,
        //         bMaxPacketSize0 64, idVendor, idProduct, bcdDevice, iManufacturer, iProduct, iSerialNumber none,
        //         bNumConfigurations
        18, kDescriptorDevice, lo(0x0200), hi(0x0200), 0xFF, 0x00, 0x00, 64, lo(options.vendorID), hi(options.vendorID), lo(options.productID), hi(options.productID), lo(options.bcdDevice), hi(options.bcdDevice), 1, 2, 0, 1,
    });
    std::vector<uint8_t> d = {
        // Configuration: bLength, bDescriptorType, wTotalLength (set when finished), bNumInterfaces 2, bConfigurationValue 1,
        //                iConfiguration, bmAttributes bus powered, bMaxPower 500 mA
        9, kDescriptorConfiguration, 0, 0, 2, 1, 0, 0x80, 250,
        // Interface 0 (output): bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting, bNumEndpoints,
        //                       bInterfaceClass vendor-specific, bInterfaceSubClass, bInterfaceProtocol, iInterface
        9, kDescriptorInterface, 0, 0, static_cast<uint8_t>(keepAlive != 0 ? 2 : 1), 0xFF, 0x00, 0x00, 0,
        // Endpoint: bLength, bDescriptorType, bEndpointAddress OUT, bmAttributes bulk (or interrupt), wMaxPacketSize,
        //           bInterval (an interrupt endpoint every microframe)
        7, kDescriptorEndpoint, kOutEndpoint, outAttributes, lo(outSize), hi(outSize), outInterval,
    };
    d.reserve(64); // room for what follows (GCC 12 at -O3 misreports the growth as out of bounds)
    if (keepAlive != 0) {
        append(d, {
            // Endpoint: bLength, bDescriptorType, bEndpointAddress OUT, bmAttributes isochronous asynchronous,
            //           wMaxPacketSize (1-4), bInterval 1
            7, kDescriptorEndpoint, kKeepAliveEndpoint, 0x05, keepAlive, 0, 1,
        });
    }
    append(d, {
        // Interface 1 (input): bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting, bNumEndpoints,
        //                      bInterfaceClass vendor-specific, bInterfaceSubClass, bInterfaceProtocol, iInterface
        9, kDescriptorInterface, 1, 0, 1, 0xFF, 0x00, 0x00, 0,
        // Endpoint: bLength, bDescriptorType, bEndpointAddress IN, bmAttributes bulk, wMaxPacketSize, bInterval
        7, kDescriptorEndpoint, kInEndpoint, 0x02, lo(size), hi(size), 0,
    });
    // clang-format on
    finishConfiguration(d);
    addConfiguration(std::move(d));
    setString(1, "Quenzar");
    setString(2, "Bulk Audio Interface");
    // Firmware version 1.5.1.0 and build word.
    addReply({0xC0, kFirmwareRequest, std::nullopt, std::nullopt},
             {0x01, 0x05, 0x01, 0x00, 0x10, 0x20, 0x00, 0x00});
    addReply({0x40, kDeepSleepRequest, std::nullopt, std::nullopt}, {});
    m_clock.setRate(m_rate, m_clockPpm);
    m_frame.resize(kLoopWidth);
}

void BitPlaneBulkDevice::clockChangedLocked()
{
    m_clock.setPpm(m_clockPpm);
}

void BitPlaneBulkDevice::isocOutLocked(const EndpointLayout& ep, const FrameTime&,
                                       std::span<const uint8_t> packet)
{
    if (ep.bEndpointAddress == kKeepAliveEndpoint) {
        ++m_keepAlive.packets;
        m_keepAlive.bytes += packet.size();
    }
}

BitPlaneBulkDevice::KeepAlive BitPlaneBulkDevice::keepAlive() const
{
    return lockedCopy(m_keepAlive);
}

ControlReply BitPlaneBulkDevice::answerLocked(const SetupPacket& setup, std::span<const uint8_t> outData)
{
    if (setup.type() == kRequestTypeVendor && setup.bRequest == kInputSelectRequest &&
        setup.recipient() == 0) {
        if (setup.isIn()) {
            return ControlReply::ok({m_inputSelect});
        }
        m_inputSelect = static_cast<uint8_t>(setup.wValue & 0xFF);
        return ControlReply::ok();
    }
    if (setup.type() == kRequestTypeClass && setup.recipient() == 2 &&
        setup.wValue == kSamplingFrequencyControl &&
        (setup.wIndex == kInEndpoint || setup.wIndex == kOutEndpoint)) {
        if (setup.bRequest == kGetCur && setup.isIn()) {
            return ControlReply::ok({lo(m_rate), hi(m_rate), b3(m_rate)});
        }
        if (setup.bRequest == kSetCur && !setup.isIn() && outData.size() >= 3) {
            const uint32_t wanted = outData[0] | outData[1] << 8 | outData[2] << 16;
            if (!supportedRate(wanted)) {
                return ControlReply::stall();
            }
            m_rate = wanted;
            m_clock.setRate(wanted, m_clockPpm);
            return ControlReply::ok();
        }
        return ControlReply::stall();
    }
    return DeviceModel::answerLocked(setup, outData);
}

uint32_t BitPlaneBulkDevice::inputWidthLocked() const
{
    return (m_inputSelect & kWideInputBit) != 0 ? 16 : 32;
}

uint32_t BitPlaneBulkDevice::inputFramesPerPacketLocked() const
{
    if (m_options.varnokChannels != 0) {
        return (128 / m_options.varnokChannels) * (m_options.packetSize > 512 ? 2 : 1);
    }
    const uint32_t perHalf = inputWidthLocked() == 16 ? 8 : 4;
    return m_options.packetSize > 512 ? 2 * perHalf : perHalf;
}

void BitPlaneBulkDevice::followClockLocked(const FrameTime& time)
{
    const uint64_t now = time.frameNumber * 8 + time.microframe;
    if (!m_started) {
        m_started = true;
        m_lastMicroframe = now;
        return;
    }
    if (now <= m_lastMicroframe) {
        return;
    }
    const auto elapsed = static_cast<uint32_t>(std::min<uint64_t>(now - m_lastMicroframe, 8'000'000));
    m_lastMicroframe = now;
    const uint64_t frames = m_clock.advance(elapsed);
    // Playback drains its buffer; capture fills one, and what the host does not fetch is lost.
    m_outputFrames -= std::min(m_outputFrames, frames);
    m_inputFrames += frames;
    const uint64_t capacity = kCapturePackets * inputFramesPerPacketLocked();
    if (m_inputFrames > capacity) {
        const uint64_t lost = m_inputFrames - capacity;
        m_overflows += static_cast<uint32_t>(lost);
        m_inputFrames = capacity;
        std::vector<int32_t> discard(lost * kLoopWidth);
        m_loop.record(discard.data(), lost, kLoopWidth);
    }
}

PacketResult BitPlaneBulkDevice::packetInLocked(const EndpointLayout& ep, const FrameTime& time,
                                                std::span<uint8_t> packet)
{
    if (ep.bEndpointAddress != kInEndpoint || packet.size() < m_options.packetSize || !layoutPacket()) {
        return PacketResult::nak();
    }
    followClockLocked(time);
    const uint32_t frames = inputFramesPerPacketLocked();
    if (m_inputFrames < frames) {
        return PacketResult::nak();
    }
    m_inputFrames -= frames;
    m_inputFramesSent += frames;
    if (m_options.varnokChannels != 0) {
        // Each 512-byte half: 128 / N frames of N channels.
        const uint32_t channels = m_options.varnokChannels;
        const uint32_t perHalf = 128 / channels;
        std::vector<int32_t> half(size_t{perHalf} * channels);
        for (uint32_t h = 0; h * perHalf < frames; ++h) {
            for (uint32_t f = 0; f < perHalf; ++f) {
                std::fill(m_frame.begin(), m_frame.end(), 0);
                m_loop.record(m_frame.data(), 1, m_options.inputChannels);
                std::copy_n(m_frame.begin(), channels, half.begin() + f * channels);
            }
            codec::encodeVarnokInput(half.data(), channels, packet.data() + h * codec::kVarnokInputBytes);
        }
        return PacketResult::data(m_options.packetSize);
    }
    const uint32_t width = inputWidthLocked();
    const uint32_t channels = std::min(m_options.inputChannels, width);
    const size_t frameBytes = width == 16 ? codec::kInputFrameBytes16 : codec::kInputFrameBytes32;
    for (uint32_t f = 0; f < frames; ++f) {
        std::fill(m_frame.begin(), m_frame.end(), 0);
        m_loop.record(m_frame.data(), 1, m_options.inputChannels);
        codec::encodeInputFrame(m_frame.data(), channels, width, packet.data() + f * frameBytes);
    }
    return PacketResult::data(m_options.packetSize);
}

PacketResult BitPlaneBulkDevice::packetOutLocked(const EndpointLayout& ep, const FrameTime& time,
                                                 std::span<const uint8_t> packet)
{
    if (ep.bEndpointAddress != kOutEndpoint) {
        return PacketResult::stall();
    }
    if (!layoutPacket()) {
        return PacketResult::nak();
    }
    followClockLocked(time);
    const uint32_t frames = outputFramesPerPacket();
    if (m_outputFrames + frames > kPlaybackFrames) {
        return PacketResult::nak(); // playback buffer full
    }
    const uint32_t size = outputPacketSize();
    if (packet.size() < size) {
        return PacketResult::data(static_cast<uint32_t>(packet.size())); // not a whole packet: ignored
    }
    m_outputFrames += frames;
    // The audio blocks of 480 bytes; larger packets carry two of them around the 2-byte MIDI slots
    // at 432 and 914 (bytes 0-431, 434-913, 916-963).
    uint8_t blocks[2 * 480];
    size_t audioBytes = 480;
    if (size > 512) {
        std::copy_n(packet.data(), 432, blocks);
        std::copy_n(packet.data() + 434, 480, blocks + 432);
        std::copy_n(packet.data() + 916, 48, blocks + 912);
        audioBytes = 960;
    } else {
        std::copy_n(packet.data(), 480, blocks);
    }
    if (m_options.varnokChannels != 0) {
        const uint32_t channels = m_options.varnokChannels;
        std::vector<int32_t> samples(size_t{160 / channels} * channels);
        for (size_t at = 0; at < audioBytes; at += codec::kVarnokOutputBytes) {
            codec::decodeVarnokOutput(blocks + at, channels, samples.data());
            m_loop.play(samples.data(), 160 / channels, channels);
        }
    } else {
        int32_t samples[kOutputChannels];
        for (size_t at = 0; at < audioBytes; at += codec::kOutputFrameBytes) {
            codec::decodeOutputFrame(blocks + at, kOutputChannels, samples);
            m_loop.play(samples, 1, kOutputChannels);
        }
    }
    if (size > 512) {
        for (const size_t slot : {size_t{432}, size_t{914}}) {
            if (packet[slot] != kNoMidi) {
                m_midi.push_back(packet[slot]);
            }
        }
    } else {
        if (packet[480] != kNoMidi) {
            m_midi.push_back(packet[480]);
        }
        if (packet[481] != kNoControl) {
            m_control.push_back(packet[481]);
        }
    }
    return PacketResult::data(size);
}

void BitPlaneBulkDevice::onConfigurationLocked(uint8_t)
{
    m_started = false;
    m_inputFrames = 0;
    m_outputFrames = 0;
    m_clock.reset();
}

std::vector<uint8_t> BitPlaneBulkDevice::midiReceived() const
{
    return lockedCopy(m_midi);
}

std::vector<uint8_t> BitPlaneBulkDevice::controlReceived() const
{
    return lockedCopy(m_control);
}

uint8_t BitPlaneBulkDevice::inputSelect() const
{
    return lockedCopy(m_inputSelect);
}

uint32_t BitPlaneBulkDevice::sampleRate() const
{
    return lockedCopy(m_rate);
}

uint32_t BitPlaneBulkDevice::inputOverflows() const
{
    return lockedCopy(m_overflows);
}

uint64_t BitPlaneBulkDevice::inputFramesSent() const
{
    return lockedCopy(m_inputFramesSent);
}

} // namespace usbsim::models
