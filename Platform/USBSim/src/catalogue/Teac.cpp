// TEAC devices (vendor 0x0644) whose vendor-specific interfaces the driver relabels as audio
// streaming and MIDI, and searches by class 0xFF.
#include <string_view>

#include "Blocks.h"
#include "Models.h"

namespace usbsim::model_data {
namespace {

constexpr uint16_t kVendor = 0x0644;
constexpr uint8_t kRequestCodecRegister = 0x41; // AKM codec registers (US-366, UH-7000)
constexpr uint8_t kRequestStatusRegister = 0x49;
constexpr uint8_t kRequestFirmware = 0x56;

// The firmware string reply: 4 bytes of header, then the text (15 bytes in all, no terminator).
std::vector<uint8_t> firmwareString(std::string_view text)
{
    std::vector<uint8_t> bytes(15, 0);
    bytes[0] = 0x0F;
    bytes[1] = 0x03;
    for (size_t i = 0; i < text.size() && 4 + i < bytes.size(); ++i) {
        bytes[4 + i] = static_cast<uint8_t>(text[i]);
    }
    return bytes;
}

} // namespace

// US-322 (8040), US-366 (8041), US-1200 (8046), UH-7000 (8048), high speed: interface 0 vendor-specific without
// endpoints; interfaces 1 (output) and 2 (input) vendor-specific with subclass 2 and audio class
// descriptors, alternate 1 stereo 16-bit and alternate 2 stereo 24-bit at 44.1 and 48 kHz (where
// the driver builds its own formats it clears alternate 1 and widens the rates of alternate 2);
// interface 3 vendor-specific with subclass 3 (MIDI), two bulk endpoints. The US-366 and the
// UH-7000 carry up to 6 input channels in their input packets and have the codec registers.
models::ModelData teac(uint16_t product)
{
    const bool akm = product == 0x8041 || product == 0x8048;
    const uint16_t inPacket = akm ? 468 : 156; // 26 frames of 6 or 2 ch, 24 bits
    models::ModelData m;
    m.speed = Speed::high;
    // clang-format off
    m.device = {
        // Device: bLength, bDescriptorType, bcdUSB 2.00, bDeviceClass/SubClass/Protocol per interface, bMaxPacketSize0 64,
        //         idVendor, idProduct, bcdDevice 1.00, iManufacturer, iProduct, iSerialNumber, bNumConfigurations
        18, kDescriptorDevice, lo(0x0200), hi(0x0200), 0x00, 0x00, 0x00, 64, lo(kVendor), hi(kVendor), lo(product), hi(product), lo(0x0100), hi(0x0100), 1, 2, 3, 1,
    };
    std::vector<uint8_t> d = {
        // Configuration: bLength, bDescriptorType, wTotalLength (set when finished), bNumInterfaces 4, bConfigurationValue 1,
        //                iConfiguration, bmAttributes bus powered, bMaxPower 500 mA
        9, kDescriptorConfiguration, 0, 0, 4, 1, 0, 0x80, 250,
        // Interface 0: bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting, bNumEndpoints,
        //              bInterfaceClass vendor, bInterfaceSubClass, bInterfaceProtocol, iInterface
        9, kDescriptorInterface, 0, 0, 0, kVendorSpecific, 0, 0, 0,
    };
    // clang-format on
    appendZeroBandwidth(d, 1, kVendorSpecific, kAudioStreaming);
    appendAlternate(d, {.interfaceNumber = 1, .alternate = 1, .interfaceClass = kVendorSpecific, .terminal = 1,
                        .subframe = 2, .bits = 16, .rates = {44100, 48000}, .endpoint = 0x01, .packetSize = 104});
    appendAlternate(d, {.interfaceNumber = 1, .alternate = 2, .interfaceClass = kVendorSpecific, .terminal = 1,
                        .rates = {44100, 48000}, .endpoint = 0x01, .packetSize = 156});
    appendZeroBandwidth(d, 2, kVendorSpecific, kAudioStreaming);
    appendAlternate(d, {.interfaceNumber = 2, .alternate = 1, .interfaceClass = kVendorSpecific, .terminal = 5,
                        .subframe = 2, .bits = 16, .rates = {44100, 48000}, .endpoint = 0x82, .packetSize = 104});
    appendAlternate(d, {.interfaceNumber = 2, .alternate = 2, .interfaceClass = kVendorSpecific, .terminal = 5,
                        .rates = {44100, 48000}, .endpoint = 0x82, .packetSize = inPacket});
    // clang-format off
    append(d, {
        // Interface 3 (MIDI): bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting, bNumEndpoints 2,
        //                     bInterfaceClass vendor, bInterfaceSubClass 3, bInterfaceProtocol, iInterface
        9, kDescriptorInterface, 3, 0, 2, kVendorSpecific, kMidiStreaming, 0, 0,
        // Endpoint: bLength, bDescriptorType, bEndpointAddress, bmAttributes bulk, wMaxPacketSize 512, bInterval
        7, kDescriptorEndpoint, 0x04, 0x02, lo(512), hi(512), 0,
        7, kDescriptorEndpoint, 0x84, 0x02, lo(512), hi(512), 0,
    });
    // clang-format on
    finishConfiguration(d);
    m.configurations = {d};
    const char* name = product == 0x8040   ? "US-322"
                       : product == 0x8041 ? "US-366"
                       : product == 0x8046 ? "US-1200"
                                           : "UH-7000";
    const char* version = product == 0x8040   ? "1.03-US322"
                          : product == 0x8041 ? "1.05-US366"
                          : product == 0x8046 ? "1.01-US1200"
                                              : "1.02-UH7000";
    m.strings = {{1, "TEAC"}, {2, name}, {3, "0000517"}};
    m.replies = {
        // Firmware string, text from byte 4.
        reply(kVendorIn, kRequestFirmware, 0, 0, firmwareString(version)),
        // Status register (read and written; bit 2 clear: no digital lock).
        reply(kVendorIn, kRequestStatusRegister, std::nullopt, std::nullopt, {0x00}),
        reply(kVendorOut, kRequestStatusRegister, std::nullopt, std::nullopt),
    };
    if (akm) {
        // The AKM transmitter's registers 0x0D to 0x11 as it powers up (S/PDIF at 44.1 kHz).
        m.replies.push_back(reply(kVendorIn, kRequestCodecRegister, 0x0D00, 0x0101, {0x04, 0x00, 0x00, 0x00, 0x0B}));
        m.replies.push_back(reply(kVendorIn, kRequestCodecRegister, std::nullopt, std::nullopt, {0x00, 0x00}));
        m.replies.push_back(reply(kVendorOut, kRequestCodecRegister, std::nullopt, std::nullopt));
    }
    m.frequencyEndpoints = {0x01, 0x82};
    // MIDI and status words on interface 3.
    m.midiInEndpoint = 0x84;
    m.midiOutEndpoint = 0x04;
    return m;
}

} // namespace usbsim::model_data
