// Digidesign devices (vendor 0x0DBA): vendor-labelled or format-less interfaces the driver
// patches, and their start-up requests.
#include "Blocks.h"
#include "Models.h"

namespace usbsim::model_data {
namespace {

constexpr uint16_t kVendor = 0x0DBA;

std::vector<uint8_t> fullSpeedDevice(uint16_t product)
{
    // clang-format off
    return {
        // Device: bLength, bDescriptorType, bcdUSB 1.10, bDeviceClass/SubClass/Protocol per interface, bMaxPacketSize0 8,
        //         idVendor, idProduct, bcdDevice 1.00, iManufacturer, iProduct, iSerialNumber none, bNumConfigurations
        18, kDescriptorDevice, lo(0x0110), hi(0x0110), 0x00, 0x00, 0x00, 8, lo(kVendor), hi(kVendor), lo(product), hi(product), lo(0x0100), hi(0x0100), 1, 2, 0, 1,
    };
    // clang-format on
}

} // namespace

// MBox: three vendor-labelled interface descriptors back to back at offsets 9, 18 and 27 (the
// driver patches their class and subclass bytes, 14-15, 23-24 and 32-33, into a control interface
// and a streaming interface's alternates 0 and 1): interface 0, then interface 1 alternate 0 (no
// endpoints) and alternate 1, which streams both ways (isochronous OUT 0x02 and IN 0x81, 2 ch 24
// bits at 48 kHz) without a format descriptor. The driver's start of streaming sends a class
// SET_CUR to interface 0 (wIndex 0x0500, the input selection) and sets the rate on the pipes.
models::ModelData mbox()
{
    models::ModelData m;
    m.speed = Speed::full;
    m.device = fullSpeedDevice(0x1000);
    // clang-format off
    std::vector<uint8_t> d = {
        // Configuration: bLength, bDescriptorType, wTotalLength (set when finished), bNumInterfaces 2, bConfigurationValue 1,
        //                iConfiguration, bmAttributes bus powered, bMaxPower 500 mA
        9, kDescriptorConfiguration, 0, 0, 2, 1, 0, 0x80, 250,
        // Offset 9, interface 0: bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting, bNumEndpoints,
        //                        bInterfaceClass vendor, bInterfaceSubClass, bInterfaceProtocol, iInterface
        9, kDescriptorInterface, 0, 0, 0, kVendorSpecific, 0, 0, 0,
        // Offset 18, interface 1 alternate 0: the same fields
        9, kDescriptorInterface, 1, 0, 0, kVendorSpecific, 0, 0, 0,
        // Offset 27, interface 1 alternate 1 (streaming): the same fields, bNumEndpoints 2
        9, kDescriptorInterface, 1, 1, 2, kVendorSpecific, 0, 0, 0,
        // Endpoint: bLength, bDescriptorType, bEndpointAddress, bmAttributes isochronous adaptive, wMaxPacketSize 294, bInterval 1
        7, kDescriptorEndpoint, 0x02, kIsocAdaptive, lo(294), hi(294), 1,
        // Endpoint: bLength, bDescriptorType, bEndpointAddress, bmAttributes isochronous asynchronous, wMaxPacketSize 294, bInterval 1
        7, kDescriptorEndpoint, 0x81, kIsocAsync, lo(294), hi(294), 1,
    };
    // clang-format on
    finishConfiguration(d);
    m.configurations = {d};
    m.strings = {{1, "Digidesign"}, {2, "Mbox"}};
    m.replies = {
        // Input selection (analog / digital), class SET_CUR to interface 0, entity 5.
        reply(kClassOutInterface, kSetCur, 0, 0x0500),
    };
    m.frequencyEndpoints = {0x02, 0x81};
    return m;
}

// MBox 2: MIDI interface 0, control interface 1, streaming interfaces 2 (out, endpoint 0x03), 3
// (out, 0x04), 4 (analog in, 0x85) and 5 (digital in, 0x86). Alternate 1 of each is 16-bit with
// 32, 44.1 and 48 kHz (the driver drops 32 kHz); alternates 2 and 3 (and 6 on interface 3) carry
// 24-bit packets with no format descriptor (the driver adds one). At start the driver polls vendor
// request 0x85 until it answers 2 (here the fourth answer), 300 ms apart.
models::ModelData mbox2()
{
    models::ModelData m;
    m.speed = Speed::full;
    m.device = fullSpeedDevice(0x3000);
    // clang-format off
    std::vector<uint8_t> d = {
        // Configuration: bLength, bDescriptorType, wTotalLength (set when finished), bNumInterfaces 6, bConfigurationValue 1,
        //                iConfiguration, bmAttributes self powered, bMaxPower 100 mA
        9, kDescriptorConfiguration, 0, 0, 6, 1, 0, 0xC0, 50,
        // Interface 0 (MIDI): bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting, bNumEndpoints 2,
        //                     bInterfaceClass audio, bInterfaceSubClass MIDI streaming, bInterfaceProtocol, iInterface
        9, kDescriptorInterface, 0, 0, 2, kAudio, kMidiStreaming, 0, 0,
        // MS header: bLength, bDescriptorType, bDescriptorSubtype MS_HEADER, bcdMSC 1.00, wTotalLength 7
        7, kDescriptorClassInterface, 0x01, lo(0x0100), hi(0x0100), 7, 0,
        // Endpoint: bLength, bDescriptorType, bEndpointAddress, bmAttributes bulk, wMaxPacketSize 64, bInterval
        7, kDescriptorEndpoint, 0x07, 0x02, 64, 0, 0,
        7, kDescriptorEndpoint, 0x87, 0x02, 64, 0, 0,
        // Interface 1 (control): bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting, bNumEndpoints,
        //                        bInterfaceClass audio, bInterfaceSubClass control, bInterfaceProtocol, iInterface
        9, kDescriptorInterface, 1, 0, 0, kAudio, kAudioControl, 0, 0,
        // AC header: bLength, bDescriptorType, bDescriptorSubtype HEADER, bcdADC 1.00, wTotalLength 12, bInCollection 4,
        //            baInterfaceNr 2, 3, 4, 5
        12, kDescriptorClassInterface, 0x01, lo(0x0100), hi(0x0100), 12, 0, 4, 2, 3, 4, 5,
    };
    // clang-format on
    struct Stream
    {
        uint8_t number;
        uint8_t endpoint;
        std::vector<uint8_t> formatless; // 24-bit alternates without a format descriptor
    };
    const Stream streams[] = {{2, 0x03, {2, 3}}, {3, 0x04, {2, 3, 6}}, {4, 0x85, {2, 3}}, {5, 0x86, {2, 3}}};
    for (const auto& s : streams) {
        const bool out = (s.endpoint & 0x80) == 0;
        const uint8_t attributes = out ? kIsocAdaptive : kIsocAsync;
        appendZeroBandwidth(d, s.number);
        appendAlternate(d, {.interfaceNumber = s.number, .alternate = 1, .subframe = 2, .bits = 16,
                            .rates = {32000, 44100, 48000}, .endpoint = s.endpoint, .attributes = attributes,
                            .packetSize = 196});
        for (const uint8_t alternate : s.formatless) {
            // clang-format off
            append(d, {
                // Interface: bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting, bNumEndpoints 1,
                //            bInterfaceClass audio, bInterfaceSubClass streaming, bInterfaceProtocol, iInterface
                9, kDescriptorInterface, s.number, alternate, 1, kAudio, kAudioStreaming, 0, 0,
                // AS general: bLength, bDescriptorType, bDescriptorSubtype AS_GENERAL, bTerminalLink, bDelay, wFormatTag PCM
                7, kDescriptorClassInterface, 0x01, 0, 1, lo(0x0001), hi(0x0001),
                // Endpoint: bLength, bDescriptorType, bEndpointAddress, bmAttributes, wMaxPacketSize 294, bInterval 1,
                //           bRefresh, bSynchAddress
                9, kDescriptorEndpoint, s.endpoint, attributes, lo(294), hi(294), 1, 0, 0,
            });
            // clang-format on
        }
    }
    finishConfiguration(d);
    m.configurations = {d};
    m.strings = {{1, "Digidesign"}, {2, "Mbox 2"}};
    ReplyRow poll = reply(kVendorIn, 0x85, 1, 1);
    poll.sequence = {{0}, {1}, {1}, {2}};
    m.replies = {poll};
    m.frequencyEndpoints = {0x03, 0x04, 0x85, 0x86};
    return m;
}

} // namespace usbsim::model_data
