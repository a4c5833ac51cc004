// The maker's own devices (vendor 0x0A4A).
#include "Blocks.h"
#include "Models.h"

namespace usbsim::model_data {
namespace {

constexpr uint16_t kVendor = 0x0A4A;

// The family's vendor requests that every model here answers.
constexpr uint8_t kRequestSerialRegister = 0x41; // codec registers (Wolfson/AKM)
constexpr uint8_t kRequestDeepSleep = 0x44;
constexpr uint8_t kRequestStatusRegister = 0x49;
constexpr uint8_t kRequestFirmware = 0x56;

// Firmware reply: b0 build, b1 major, b2 minor * 10 + patch, b3 outputs / 2, b4 inputs / 2 (the
// first five bytes are also the extended-data reply), b5-b7 zero.
std::vector<ReplyRow> familyReplies(std::vector<uint8_t> firmware)
{
    return {
        // Firmware version (8 bytes) and extended data (its first 5 bytes).
        reply(kVendorIn, kRequestFirmware, 0, 0, std::move(firmware)),
        // Status register, read (bit 2: digital input locked; clear) and written, at wIndex 0 and 2.
        reply(kVendorIn, kRequestStatusRegister, std::nullopt, std::nullopt, {0x00}),
        reply(kVendorOut, kRequestStatusRegister, std::nullopt, std::nullopt),
        // Codec registers, read and written.
        reply(kVendorIn, kRequestSerialRegister, std::nullopt, std::nullopt, {0x00, 0x00}),
        reply(kVendorOut, kRequestSerialRegister, std::nullopt, std::nullopt),
        // Deep sleep before the computer sleeps.
        reply(kVendorOut, kRequestDeepSleep, 0, 0),
    };
}

// The family's high-speed device descriptor.
std::vector<uint8_t> familyDevice(uint16_t product, uint16_t bcdDevice)
{
    // clang-format off
    return {
        // Device: bLength, bDescriptorType, bcdUSB 2.00, bDeviceClass/SubClass/Protocol per interface, bMaxPacketSize0 64,
        //         idVendor, idProduct, bcdDevice, iManufacturer, iProduct, iSerialNumber, bNumConfigurations
        18, kDescriptorDevice, lo(0x0200), hi(0x0200), 0x00, 0x00, 0x00, 64, lo(kVendor), hi(kVendor), lo(product), hi(product), lo(bcdDevice), hi(bcdDevice), 1, 2, 3, 1,
    };
    // clang-format on
}

// Control interface 0, output streaming interface 1 and input streaming interface 2, each with
// alternate 1 (2 ch, 16 bits) and alternate 2 (2 ch, 24 bits) at 44.1 and 48 kHz, high speed.
// Packets per 125 us microframe: 26 frames of 4 or 6 bytes (room for 192 kHz).
std::vector<uint8_t> stereoStreaming()
{
    // clang-format off
    std::vector<uint8_t> d = {
        // Configuration: bLength, bDescriptorType, wTotalLength (set when finished), bNumInterfaces 3, bConfigurationValue 1,
        //                iConfiguration, bmAttributes self powered, bMaxPower 100 mA
        9, kDescriptorConfiguration, 0, 0, 3, 1, 0, 0xC0, 50,
    };
    // clang-format on
    appendStereoControl(d, 0, 1, 2);
    appendZeroBandwidth(d, 1);
    appendAlternate(d, {.interfaceNumber = 1, .alternate = 1, .terminal = 1, .subframe = 2, .bits = 16,
                        .rates = {44100, 48000}, .endpoint = 0x01, .attributes = kIsocAdaptive, .packetSize = 104});
    appendAlternate(d, {.interfaceNumber = 1, .alternate = 2, .terminal = 1, .rates = {44100, 48000},
                        .endpoint = 0x01, .attributes = kIsocAdaptive, .packetSize = 156});
    appendZeroBandwidth(d, 2);
    appendAlternate(d, {.interfaceNumber = 2, .alternate = 1, .terminal = 5, .subframe = 2, .bits = 16,
                        .rates = {44100, 48000}, .endpoint = 0x82, .packetSize = 104});
    appendAlternate(d, {.interfaceNumber = 2, .alternate = 2, .terminal = 5, .rates = {44100, 48000},
                        .endpoint = 0x82, .packetSize = 156});
    finishConfiguration(d);
    return d;
}

// What the alternates of stereoStreaming carry.
std::vector<models::StreamFormat> stereoFormats()
{
    return {{1, 1, 2, 2}, {1, 2, 2, 3}, {2, 1, 2, 2}, {2, 2, 2, 3}};
}

} // namespace

// Kelvra UC3: stereo streaming as above. The driver replaces alternate 1 and widens alternate 2's
// rates (to 192 kHz at high speed) by model and revision; at bcd 0200 the device is also treated
// as its own family. Firmware 1.5.1 (build 2) at bcd 0200, new enough that unconfiguring never
// resets it; 1.4.3 at bcd 0100.
models::ModelData kelvraUC3(uint16_t bcdDevice)
{
    models::ModelData m;
    m.speed = Speed::high;
    m.device = familyDevice(0x6A02, bcdDevice);
    m.configurations = {stereoStreaming()};
    m.strings = {{1, "Quenzar"}, {2, "Kelvra UC3"}, {3, "UC3-000117"}};
    m.replies = bcdDevice >= 0x0200 ? familyReplies({0x02, 0x01, 51, 0x01, 0x01, 0x00, 0x00, 0x00})
                                    : familyReplies({0x00, 0x01, 43, 0x01, 0x01, 0x00, 0x00, 0x00});
    m.frequencyEndpoints = {0x01, 0x82};
    m.streaming.formats = stereoFormats();
    return m;
}

// 0A4A:F1A0: the same streaming as the Kelvra UC3 at bcd 0100 (the high-speed substitute, the
// firmware scan), firmware 1.2.0.
models::ModelData familyF1A0()
{
    models::ModelData m;
    m.speed = Speed::high;
    m.device = familyDevice(0xF1A0, 0x0100);
    m.configurations = {stereoStreaming()};
    m.strings = {{1, "Quenzar"}, {2, "F1A0"}, {3, "F1A0-000004"}};
    m.replies = familyReplies({0x00, 0x01, 20, 0x01, 0x01, 0x00, 0x00, 0x00});
    m.frequencyEndpoints = {0x01, 0x82};
    m.streaming.formats = stereoFormats();
    return m;
}

// Crimson SPL: 6 channels of 24 bits each way at high speed; the output alternate carries a second
// format record of 4 channels for 176.4 and 192 kHz, the input runs 6 channels up to 192 kHz.
// Packets: 26 frames of 18 bytes per microframe.
models::ModelData crimsonSPL()
{
    models::ModelData m;
    m.speed = Speed::high;
    m.device = familyDevice(0xC150, 0x0100);
    // clang-format off
    std::vector<uint8_t> d = {
        // Configuration: bLength, bDescriptorType, wTotalLength (set when finished), bNumInterfaces 3, bConfigurationValue 1,
        //                iConfiguration, bmAttributes self powered, bMaxPower 100 mA
        9, kDescriptorConfiguration, 0, 0, 3, 1, 0, 0xC0, 50,
    };
    // clang-format on
    appendStereoControl(d, 0, 1, 2);
    appendZeroBandwidth(d, 1);
    appendAlternate(d, {.interfaceNumber = 1, .alternate = 1, .terminal = 1, .subframe = 2, .bits = 16,
                        .rates = {44100, 48000}, .endpoint = 0x01, .packetSize = 104, .feedbackEndpoint = 0x83});
    appendAlternate(d, {.interfaceNumber = 1, .alternate = 2, .terminal = 1, .channels = 6,
                        .rates = {44100, 48000, 88200, 96000}, .secondChannels = 4, .secondBits = 24,
                        .secondRates = {176400, 192000}, .endpoint = 0x01, .packetSize = 468, .feedbackEndpoint = 0x83});
    appendZeroBandwidth(d, 2);
    appendAlternate(d, {.interfaceNumber = 2, .alternate = 1, .terminal = 5, .subframe = 2, .bits = 16,
                        .rates = {44100, 48000}, .endpoint = 0x82, .packetSize = 104});
    appendAlternate(d, {.interfaceNumber = 2, .alternate = 2, .terminal = 5, .channels = 6,
                        .rates = {44100, 48000, 88200, 96000, 176400, 192000}, .endpoint = 0x82, .packetSize = 468});
    finishConfiguration(d);
    m.configurations = {d};
    m.strings = {{1, "Quenzar"}, {2, "Crimson SPL"}, {3, "SPL-000321"}};
    m.replies = familyReplies({0x05, 0x02, 10, 0x03, 0x03, 0x00, 0x00, 0x00});
    m.frequencyEndpoints = {0x01, 0x82};
    // The 4-channel record of 176.4 and 192 kHz is not streamed: the output runs 6 channels.
    m.streaming.formats = {{1, 1, 2, 2}, {1, 2, 6, 3}, {2, 1, 2, 2}, {2, 2, 6, 3}};
    m.streaming.feedbackEndpoints = {0x83};
    return m;
}

// Pellirun: 16 channels out and 24 channels in, 24 bits at 44.1 and 48 kHz, high speed (alternate
// 1 of each direction is stereo 16-bit). Packets: 7 frames per microframe.
models::ModelData pellirun()
{
    models::ModelData m;
    m.speed = Speed::high;
    m.device = familyDevice(0x2416, 0x0100);
    // clang-format off
    std::vector<uint8_t> d = {
        // Configuration: bLength, bDescriptorType, wTotalLength (set when finished), bNumInterfaces 3, bConfigurationValue 1,
        //                iConfiguration, bmAttributes self powered, bMaxPower 100 mA
        9, kDescriptorConfiguration, 0, 0, 3, 1, 0, 0xC0, 50,
    };
    // clang-format on
    appendStereoControl(d, 0, 1, 2);
    appendZeroBandwidth(d, 1);
    appendAlternate(d, {.interfaceNumber = 1, .alternate = 1, .terminal = 1, .subframe = 2, .bits = 16,
                        .rates = {44100, 48000}, .endpoint = 0x01, .attributes = kIsocAdaptive, .packetSize = 28});
    appendAlternate(d, {.interfaceNumber = 1, .alternate = 2, .terminal = 1, .channels = 16, .rates = {44100, 48000},
                        .endpoint = 0x01, .attributes = kIsocAdaptive, .packetSize = 336});
    appendZeroBandwidth(d, 2);
    appendAlternate(d, {.interfaceNumber = 2, .alternate = 1, .terminal = 5, .subframe = 2, .bits = 16,
                        .rates = {44100, 48000}, .endpoint = 0x82, .packetSize = 28});
    appendAlternate(d, {.interfaceNumber = 2, .alternate = 2, .terminal = 5, .channels = 24, .rates = {44100, 48000},
                        .endpoint = 0x82, .packetSize = 504});
    finishConfiguration(d);
    m.configurations = {d};
    m.strings = {{1, "Quenzar"}, {2, "Pellirun"}, {3, "PR-000042"}};
    m.replies = familyReplies({0x01, 0x01, 10, 0x08, 0x0C, 0x00, 0x00, 0x00});
    m.frequencyEndpoints = {0x01, 0x82};
    m.streaming.formats = {{1, 1, 2, 2}, {1, 2, 16, 3}, {2, 1, 2, 2}, {2, 2, 24, 3}};
    return m;
}

// Tessaly: vendor-specific interfaces the driver searches as such (control 0: class 0xFF subclass
// 1; output 1 and input 2: class 0xFF subclass 2; MIDI 3: audio class MIDI streaming). The
// streaming interfaces have alternates 3 to 8, one per rate (44.1 to 192 kHz), with interrupt
// endpoints of 26 frames of 2 ch 32 bits (raw little-endian PCM, output looped back to input);
// they carry no format descriptors of their own.
models::ModelData tessaly()
{
    models::ModelData m;
    m.speed = Speed::high;
    m.device = familyDevice(0xA300, 0x0100);
    // clang-format off
    std::vector<uint8_t> d = {
        // Configuration: bLength, bDescriptorType, wTotalLength (set when finished), bNumInterfaces 4, bConfigurationValue 1,
        //                iConfiguration, bmAttributes self powered, bMaxPower 100 mA
        9, kDescriptorConfiguration, 0, 0, 4, 1, 0, 0xC0, 50,
        // Interface 0 (control): bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting, bNumEndpoints 2,
        //                        bInterfaceClass vendor, bInterfaceSubClass 1, bInterfaceProtocol, iInterface
        9, kDescriptorInterface, 0, 0, 2, kVendorSpecific, 1, 0, 0,
        // Endpoint: bLength, bDescriptorType, bEndpointAddress, bmAttributes interrupt, wMaxPacketSize 64, bInterval 4
        7, kDescriptorEndpoint, 0x05, 0x03, 64, 0, 4,
        7, kDescriptorEndpoint, 0x85, 0x03, 64, 0, 4,
    };
    // clang-format on
    for (const uint8_t number : {uint8_t{1}, uint8_t{2}}) {
        const uint8_t endpoint = number == 1 ? 0x01 : 0x82;
        appendZeroBandwidth(d, number, kVendorSpecific, 2);
        for (uint8_t alternate = 3; alternate <= 8; ++alternate) {
            // clang-format off
            append(d, {
                // Interface (one rate, given by the alternate): bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting,
                //           bNumEndpoints 1, bInterfaceClass vendor, bInterfaceSubClass 2, bInterfaceProtocol, iInterface
                9, kDescriptorInterface, number, alternate, 1, kVendorSpecific, 2, 0, 0,
                // Endpoint: bLength, bDescriptorType, bEndpointAddress, bmAttributes interrupt, wMaxPacketSize 208, bInterval 1
                7, kDescriptorEndpoint, endpoint, 0x03, lo(208), hi(208), 1,
            });
            // clang-format on
        }
    }
    // clang-format off
    append(d, {
        // Interface 3 (MIDI): bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting, bNumEndpoints 2,
        //                     bInterfaceClass audio, bInterfaceSubClass MIDI streaming, bInterfaceProtocol, iInterface
        9, kDescriptorInterface, 3, 0, 2, kAudio, kMidiStreaming, 0, 0,
        // Endpoint: bLength, bDescriptorType, bEndpointAddress, bmAttributes bulk, wMaxPacketSize 512, bInterval
        7, kDescriptorEndpoint, 0x04, 0x02, lo(512), hi(512), 0,
        7, kDescriptorEndpoint, 0x84, 0x02, lo(512), hi(512), 0,
    });
    // clang-format on
    finishConfiguration(d);
    m.configurations = {d};
    m.strings = {{1, "Quenzar"}, {2, "Tessaly"}, {3, "TS-000008"}};
    m.replies = familyReplies({0x03, 0x01, 0, 0x01, 0x01, 0x00, 0x00, 0x00});
    // Both directions 2 channels of 32-bit PCM in whole packets of 26 frames.
    for (const uint8_t number : {uint8_t{1}, uint8_t{2}}) {
        for (uint8_t alternate = 3; alternate <= 8; ++alternate) {
            m.streaming.formats.push_back({number, alternate, 2, 4});
        }
    }
    m.streaming.pcmInterruptEndpoints = {0x01, 0x82};
    m.frequencyEndpoints = {0x01, 0x82};
    return m;
}

} // namespace usbsim::model_data

namespace usbsim::model_data {

// Veskaro: high speed, stereo output and 6 input channels of 24 bits at 44.1 and 48 kHz (its fifth
// and sixth inputs are the digital pair); answers the family's vendor requests.
models::ModelData veskaro()
{
    models::ModelData m;
    m.speed = Speed::high;
    m.device = familyDevice(0xAFFE, 0x0100);
    std::vector<uint8_t> d = configurationHeader(3);
    appendStereoControl(d, 0, 1, 2);
    appendZeroBandwidth(d, 1);
    appendAlternate(d, {.interfaceNumber = 1, .alternate = 1, .terminal = 1, .rates = {44100, 48000},
                        .endpoint = 0x01, .attributes = kIsocAdaptive, .packetSize = 42});
    appendZeroBandwidth(d, 2);
    appendAlternate(d, {.interfaceNumber = 2, .alternate = 1, .terminal = 5, .channels = 6, .rates = {44100, 48000},
                        .endpoint = 0x82, .packetSize = 126});
    finishConfiguration(d);
    m.configurations = {d};
    m.strings = {{1, "Quenzar"}, {2, "Veskaro"}, {3, "VK-000007"}};
    m.replies = familyReplies({0x01, 0x01, 10, 0x01, 0x03, 0x00, 0x00, 0x00});
    m.frequencyEndpoints = {0x01, 0x82};
    m.streaming.formats = {{1, 1, 2, 3}, {2, 1, 6, 3}};
    return m;
}

} // namespace usbsim::model_data
