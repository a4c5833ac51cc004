#include "usbsim/models/ClassAudioDevice.h"

#include <algorithm>

#include "usbsim/models/Codec.h"

namespace usbsim::models {
namespace {

using namespace descriptor_bytes;

constexpr uint8_t kSetCur = 0x01;
constexpr uint8_t kGetCur = 0x81;
constexpr uint8_t kGetMin = 0x82;
constexpr uint8_t kGetMax = 0x83;
constexpr uint8_t kGetRes = 0x84;
constexpr uint16_t kSamplingFrequencyControl = 0x0100;
constexpr uint8_t kMuteControl = 1;
constexpr uint8_t kVolumeControl = 2;
constexpr int16_t kVolumeMin = -0x6000; // -96 dB in 1/256 dB
constexpr int16_t kVolumeMax = 0;
constexpr int16_t kVolumeResolution = 0x0100;

constexpr uint16_t packetSize(uint32_t bytesPerSample)
{
    return static_cast<uint16_t>(49 * ClassAudioDevice::kChannels * bytesPerSample); // 48 kHz + one frame
}

// One streaming alternate: class-specific general and format type I descriptors, the data endpoint
// and, for the output with feedback, the feedback endpoint.
void appendStreamingAlternate(std::vector<uint8_t>& d, uint8_t interfaceNumber, uint8_t alternate,
                              uint8_t terminal, uint32_t bytesPerSample, uint8_t endpoint, bool feedback)
{
    const uint16_t size = packetSize(bytesPerSample);
    const bool output = (endpoint & 0x80) == 0;
    const uint8_t sync = output ? (feedback ? 0x05 : 0x09) : 0x05; // asynchronous, or adaptive output
    const uint8_t feedbackAddress = feedback ? ClassAudioDevice::kFeedbackEndpoint : 0;
    // clang-format off
    const std::vector<uint8_t> bytes = {
        // Interface: bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting, bNumEndpoints (data, and feedback),
        //            bInterfaceClass audio, bInterfaceSubClass streaming, bInterfaceProtocol, iInterface
        9, kDescriptorInterface, interfaceNumber, alternate, static_cast<uint8_t>(feedback ? 2 : 1), 0x01, 0x02, 0, 0,
        // AS general: bLength, bDescriptorType, bDescriptorSubtype AS_GENERAL, bTerminalLink, bDelay 1 frame, wFormatTag PCM
        7, kDescriptorClassInterface, 0x01, terminal, 1, lo(0x0001), hi(0x0001),
        // Format type I: bLength, bDescriptorType, bDescriptorSubtype FORMAT_TYPE, bFormatType I, bNrChannels, bSubframeSize,
        //                bBitResolution, bSamFreqType 2 discrete, tSamFreq[0] 44.1 kHz, tSamFreq[1] 48 kHz
        14, kDescriptorClassInterface, 0x02, 0x01, ClassAudioDevice::kChannels, static_cast<uint8_t>(bytesPerSample), static_cast<uint8_t>(bytesPerSample * 8), 2, lo(44100), hi(44100), b3(44100), lo(48000), hi(48000), b3(48000),
        // Endpoint (audio 9-byte form): bLength, bDescriptorType, bEndpointAddress, bmAttributes isochronous + sync type,
        //                               wMaxPacketSize, bInterval 1, bRefresh, bSynchAddress
        9, kDescriptorEndpoint, endpoint, sync, lo(size), hi(size), 1, 0, feedbackAddress,
        // AS endpoint: bLength, bDescriptorType, bDescriptorSubtype EP_GENERAL, bmAttributes sampling-frequency control,
        //              bLockDelayUnits, wLockDelay
        7, kDescriptorClassEndpoint, 0x01, 0x01, 0, 0, 0,
    };
    // clang-format on
    d.insert(d.end(), bytes.begin(), bytes.end());
    if (feedback) {
        // Feedback endpoint: isochronous IN, 3-byte packets, every frame.
        // clang-format off
        const std::vector<uint8_t> fb = {
            // Endpoint: bLength, bDescriptorType, bEndpointAddress, bmAttributes isochronous feedback, wMaxPacketSize 3,
            //           bInterval 1, bRefresh 2^1 frames, bSynchAddress
            9, kDescriptorEndpoint, ClassAudioDevice::kFeedbackEndpoint, 0x11, 3, 0, 1, 1, 0,
        };
        // clang-format on
        d.insert(d.end(), fb.begin(), fb.end());
    }
}

} // namespace

ClassAudioDevice::ClassAudioDevice(const Options& options)
    // The loop is primed with two frames at 48 kHz.
    : AudioModel({}, kChannels, 2 * 49, kChannels, options.clockPpm), m_options(options)
{
    setSpeed(Speed::full);
    // clang-format off
    setDeviceDescriptor({
        // Device: bLength, bDescriptorType, bcdUSB 1.1, bDeviceClass/SubClass/Protocol per interface, bMaxPacketSize0 64,
        //         idVendor, idProduct, bcdDevice 1.00, iManufacturer, iProduct, iSerialNumber, bNumConfigurations
        18, kDescriptorDevice, lo(0x0110), hi(0x0110), 0x00, 0x00, 0x00, 64, lo(options.vendorID), hi(options.vendorID), lo(options.productID), hi(options.productID), lo(0x0100), hi(0x0100), 1, 2, 3, 1,
    });
    std::vector<uint8_t> d = {
        // Configuration: bLength, bDescriptorType, wTotalLength (set when finished), bNumInterfaces 3, bConfigurationValue 1,
        //                iConfiguration, bmAttributes bus powered, bMaxPower 100 mA
        9, kDescriptorConfiguration, 0, 0, 3, 1, 0, 0x80, 50,
        // Interface 0: bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting, bNumEndpoints,
        //              bInterfaceClass audio, bInterfaceSubClass control, bInterfaceProtocol, iInterface
        9, kDescriptorInterface, 0, 0, 0, 0x01, 0x01, 0, 0,
        // AC header: bLength, bDescriptorType, bDescriptorSubtype HEADER, bcdADC 1.00, wTotalLength 62, bInCollection 2,
        //            baInterfaceNr 1, 2
        10, kDescriptorClassInterface, 0x01, lo(0x0100), hi(0x0100), lo(62), hi(62), 2, 1, 2,
        // Input terminal: bLength, bDescriptorType, bDescriptorSubtype INPUT_TERMINAL, bTerminalID 1, wTerminalType USB
        //                 streaming, bAssocTerminal, bNrChannels 2, wChannelConfig L R, iChannelNames, iTerminal
        12, kDescriptorClassInterface, 0x02, 1, lo(0x0101), hi(0x0101), 0, 2, lo(0x0003), hi(0x0003), 0, 0,
        // Feature unit: bLength, bDescriptorType, bDescriptorSubtype FEATURE_UNIT, bUnitID, bSourceID 1, bControlSize 1,
        //               bmaControls master mute + volume, channel 1, channel 2, iFeature
        10, kDescriptorClassInterface, 0x06, kFeatureUnit, 1, 1, 0x03, 0x00, 0x00, 0,
        // Output terminal: bLength, bDescriptorType, bDescriptorSubtype OUTPUT_TERMINAL, bTerminalID 3, wTerminalType
        //                  speaker, bAssocTerminal, bSourceID (feature unit), iTerminal
        9, kDescriptorClassInterface, 0x03, 3, lo(0x0301), hi(0x0301), 0, kFeatureUnit, 0,
        // Input terminal: bLength, bDescriptorType, bDescriptorSubtype INPUT_TERMINAL, bTerminalID 4, wTerminalType line
        //                 connector, bAssocTerminal, bNrChannels 2, wChannelConfig L R, iChannelNames, iTerminal
        12, kDescriptorClassInterface, 0x02, 4, lo(0x0603), hi(0x0603), 0, 2, lo(0x0003), hi(0x0003), 0, 0,
        // Output terminal: bLength, bDescriptorType, bDescriptorSubtype OUTPUT_TERMINAL, bTerminalID 5, wTerminalType USB
        //                  streaming, bAssocTerminal, bSourceID 4, iTerminal
        9, kDescriptorClassInterface, 0x03, 5, lo(0x0101), hi(0x0101), 0, 4, 0,
        // Interface 1 (output), no bandwidth: bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting 0,
        //                                     bNumEndpoints, bInterfaceClass audio, bInterfaceSubClass streaming, bInterfaceProtocol, iInterface
        9, kDescriptorInterface, 1, 0, 0, 0x01, 0x02, 0, 0,
    };
    // clang-format on
    appendStreamingAlternate(d, 1, 1, 1, 2, kOutEndpoint, options.feedback);
    appendStreamingAlternate(d, 1, 2, 1, 3, kOutEndpoint, options.feedback);
    // clang-format off
    const std::vector<uint8_t> inputZero = {
        // Interface 2 (input), no bandwidth: bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting 0,
        //                                    bNumEndpoints, bInterfaceClass audio, bInterfaceSubClass streaming, bInterfaceProtocol, iInterface
        9, kDescriptorInterface, 2, 0, 0, 0x01, 0x02, 0, 0,
    };
    // clang-format on
    d.insert(d.end(), inputZero.begin(), inputZero.end());
    appendStreamingAlternate(d, 2, 1, 5, 2, kInEndpoint, false);
    appendStreamingAlternate(d, 2, 2, 5, 3, kInEndpoint, false);
    finishConfiguration(d);
    addConfiguration(std::move(d));
    setString(1, "Sonvexa Test Audio");
    setString(2, "USB Audio Device");
    setString(3, "0001");
    m_inClock.setRate(m_inRate, m_clockPpm);
    m_playClock.setRate(m_outRate, m_clockPpm);
    m_scratch.resize(64 * kChannels);
}

ControlReply ClassAudioDevice::answerLocked(const SetupPacket& setup, std::span<const uint8_t> outData)
{
    const auto le24 = [](uint32_t v) { return std::vector<uint8_t>{lo(v), hi(v), b3(v)}; };
    const auto le16 = [](int16_t v) {
        return std::vector<uint8_t>{lo(static_cast<uint16_t>(v)), hi(static_cast<uint16_t>(v))};
    };
    if (setup.type() != kRequestTypeClass) {
        return ControlReply::stall();
    }
    if (setup.recipient() == 2 && setup.wValue == kSamplingFrequencyControl &&
        (setup.wIndex == kOutEndpoint || setup.wIndex == kInEndpoint)) {
        uint32_t& rate = setup.wIndex == kOutEndpoint ? m_outRate : m_inRate;
        if (setup.bRequest == kGetCur && setup.isIn()) {
            return ControlReply::ok(le24(rate));
        }
        if (setup.bRequest == kSetCur && !setup.isIn() && outData.size() >= 3) {
            const uint32_t wanted = outData[0] | outData[1] << 8 | outData[2] << 16;
            if (wanted != 44100 && wanted != 48000) {
                return ControlReply::stall();
            }
            rate = wanted;
            (setup.wIndex == kOutEndpoint ? m_playClock : m_inClock).setRate(wanted, m_clockPpm);
            return ControlReply::ok();
        }
        return ControlReply::stall();
    }
    // Feature unit 2 on interface 0: master channel only.
    const uint8_t control = static_cast<uint8_t>(setup.wValue >> 8);
    const uint8_t channel = static_cast<uint8_t>(setup.wValue & 0xFF);
    if (setup.recipient() != 1 || setup.wIndex != (kFeatureUnit << 8 | 0) || channel != 0) {
        return ControlReply::stall();
    }
    if (control == kMuteControl) {
        if (setup.bRequest == kGetCur && setup.isIn()) {
            return ControlReply::ok({static_cast<uint8_t>(m_mute ? 1 : 0)});
        }
        if (setup.bRequest == kSetCur && !setup.isIn() && !outData.empty()) {
            m_mute = outData[0] != 0;
            return ControlReply::ok();
        }
    } else if (control == kVolumeControl) {
        switch (setup.isIn() ? setup.bRequest : 0) {
        case kGetCur:
            return ControlReply::ok(le16(m_volume));
        case kGetMin:
            return ControlReply::ok(le16(kVolumeMin));
        case kGetMax:
            return ControlReply::ok(le16(kVolumeMax));
        case kGetRes:
            return ControlReply::ok(le16(kVolumeResolution));
        default:
            break;
        }
        if (setup.bRequest == kSetCur && !setup.isIn() && outData.size() >= 2) {
            const auto value = static_cast<int16_t>(outData[0] | outData[1] << 8);
            m_volume = std::clamp(value, kVolumeMin, kVolumeMax);
            return ControlReply::ok();
        }
    }
    return ControlReply::stall();
}

uint32_t ClassAudioDevice::bytesPerSampleLocked(uint8_t interfaceNumber) const
{
    const uint8_t alternate = alternateLocked(interfaceNumber);
    return alternate == 1 ? 2 : alternate == 2 ? 3 : 0;
}

PacketResult ClassAudioDevice::isocInLocked(const EndpointLayout& ep, const FrameTime&,
                                            std::span<uint8_t> packet)
{
    if (ep.bEndpointAddress == kFeedbackEndpoint) {
        if (packet.size() < 3) {
            return PacketResult::data(0);
        }
        // Frames the device plays in this frame, at its own clock.
        const uint32_t frames = m_playClock.advance(8);
        packet[0] = static_cast<uint8_t>(frames);
        packet[1] = 0;
        packet[2] = 0;
        return PacketResult::data(3);
    }
    const uint32_t bytesPerSample = bytesPerSampleLocked(2);
    const uint32_t frames = m_inClock.advance(8);
    if (bytesPerSample == 0) {
        return PacketResult::data(0);
    }
    const uint32_t fit = static_cast<uint32_t>(packet.size() / (kChannels * bytesPerSample));
    const uint32_t n = std::min(frames, fit);
    m_scratch.resize(size_t{n} * kChannels);
    m_loop.record(m_scratch.data(), n, kChannels);
    codec::encodePcm(m_scratch.data(), m_scratch.size(), bytesPerSample, packet.data());
    return PacketResult::data(n * kChannels * bytesPerSample);
}

void ClassAudioDevice::isocOutLocked(const EndpointLayout& ep, const FrameTime&,
                                     std::span<const uint8_t> packet)
{
    const uint32_t bytesPerSample = bytesPerSampleLocked(1);
    if (ep.bEndpointAddress != kOutEndpoint || bytesPerSample == 0) {
        return;
    }
    const size_t frames = packet.size() / (kChannels * bytesPerSample);
    m_scratch.resize(frames * kChannels);
    codec::decodePcm(packet.first(frames * kChannels * bytesPerSample), bytesPerSample, m_scratch.data());
    m_loop.play(m_scratch.data(), frames, kChannels);
}

void ClassAudioDevice::clockChangedLocked()
{
    m_inClock.setPpm(m_clockPpm);
    m_playClock.setPpm(m_clockPpm);
}

void ClassAudioDevice::onAlternateLocked(uint8_t interfaceNumber, uint8_t alternate)
{
    if (alternate != 0 && (interfaceNumber == 1 || interfaceNumber == 2)) {
        (interfaceNumber == 1 ? m_playClock : m_inClock).reset();
    }
}

uint32_t ClassAudioDevice::sampleRate(uint8_t endpointAddress) const
{
    std::lock_guard lock(m_mutex);
    return endpointAddress == kOutEndpoint ? m_outRate : m_inRate;
}

int16_t ClassAudioDevice::volume() const
{
    return lockedCopy(m_volume);
}

bool ClassAudioDevice::muted() const
{
    return lockedCopy(m_mute);
}

} // namespace usbsim::models
