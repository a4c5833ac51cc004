#include "Blocks.h"

#include <algorithm>

namespace usbsim::model_data {

void appendAlternate(std::vector<uint8_t>& d, const Alternate& alt)
{
    const uint8_t endpoints = alt.feedbackEndpoint != 0 ? 2 : 1;
    const bool continuous = alt.rates.empty();
    const uint8_t formatLength = static_cast<uint8_t>(continuous ? 14 : 8 + 3 * alt.rates.size());
    // clang-format off
    append(d, {
        // Interface: bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting, bNumEndpoints,
        //            bInterfaceClass, bInterfaceSubClass, bInterfaceProtocol, iInterface
        9, kDescriptorInterface, alt.interfaceNumber, alt.alternate, endpoints, alt.interfaceClass, alt.interfaceSubClass, 0, 0,
    });
    if (alt.classDescriptors) {
        append(d, {
            // AS general: bLength, bDescriptorType, bDescriptorSubtype AS_GENERAL, bTerminalLink, bDelay 1 frame, wFormatTag PCM
            7, kDescriptorClassInterface, 0x01, alt.terminal, 1, lo(0x0001), hi(0x0001),
            // Format type I: bLength, bDescriptorType, bDescriptorSubtype FORMAT_TYPE, bFormatType I, bNrChannels,
            //                bSubframeSize, bBitResolution, bSamFreqType (0: continuous), then the rates below
            formatLength, kDescriptorClassInterface, 0x02, 0x01, alt.channels, alt.subframe, alt.bits, static_cast<uint8_t>(alt.rates.size()),
        });
        if (continuous) {
            // tLowerSamFreq, tUpperSamFreq
            append(d, {lo(alt.lowest), hi(alt.lowest), b3(alt.lowest), lo(alt.highest), hi(alt.highest), b3(alt.highest)});
        }
        for (const uint32_t rate : alt.rates) {
            // tSamFreq[i]
            append(d, {lo(rate), hi(rate), b3(rate)});
        }
        if (!alt.secondRates.empty()) {
            append(d, {
                // Second format type I: bLength, bDescriptorType, bDescriptorSubtype FORMAT_TYPE, bFormatType I, bNrChannels,
                //                       bSubframeSize, bBitResolution, bSamFreqType, then the rates below
                static_cast<uint8_t>(8 + 3 * alt.secondRates.size()), kDescriptorClassInterface, 0x02, 0x01, alt.secondChannels, alt.subframe, alt.secondBits, static_cast<uint8_t>(alt.secondRates.size()),
            });
            for (const uint32_t rate : alt.secondRates) {
                // tSamFreq[i]
                append(d, {lo(rate), hi(rate), b3(rate)});
            }
        }
    }
    append(d, {
        // Endpoint (audio 9-byte form): bLength, bDescriptorType, bEndpointAddress, bmAttributes, wMaxPacketSize,
        //                               bInterval, bRefresh, bSynchAddress
        9, kDescriptorEndpoint, alt.endpoint, alt.attributes, lo(alt.packetSize), hi(alt.packetSize), alt.interval, 0, alt.feedbackEndpoint,
    });
    if (alt.classDescriptors) {
        append(d, {
            // AS endpoint: bLength, bDescriptorType, bDescriptorSubtype EP_GENERAL, bmAttributes sampling-frequency control,
            //              bLockDelayUnits, wLockDelay
            7, kDescriptorClassEndpoint, 0x01, 0x01, 0, 0, 0,
        });
    }
    if (alt.feedbackEndpoint != 0) {
        append(d, {
            // Endpoint: bLength, bDescriptorType, bEndpointAddress, bmAttributes isochronous feedback, wMaxPacketSize 3,
            //           bInterval, bRefresh 2^1 frames, bSynchAddress
            9, kDescriptorEndpoint, alt.feedbackEndpoint, kIsocFeedback, 3, 0, alt.interval, 1, 0,
        });
    }
    // clang-format on
}

void appendZeroBandwidth(std::vector<uint8_t>& d, uint8_t interfaceNumber, uint8_t interfaceClass,
                         uint8_t interfaceSubClass)
{
    // clang-format off
    append(d, {
        // Interface: bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting 0, bNumEndpoints 0,
        //            bInterfaceClass, bInterfaceSubClass, bInterfaceProtocol, iInterface
        9, kDescriptorInterface, interfaceNumber, 0, 0, interfaceClass, interfaceSubClass, 0, 0,
    });
    // clang-format on
}

void appendStereoControl(std::vector<uint8_t>& d, uint8_t interfaceNumber, uint8_t outInterface,
                         uint8_t inInterface)
{
    // clang-format off
    append(d, {
        // Interface: bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting, bNumEndpoints,
        //            bInterfaceClass audio, bInterfaceSubClass control, bInterfaceProtocol, iInterface
        9, kDescriptorInterface, interfaceNumber, 0, 0, kAudio, kAudioControl, 0, 0,
        // AC header: bLength, bDescriptorType, bDescriptorSubtype HEADER, bcdADC 1.00, wTotalLength 62, bInCollection 2,
        //            baInterfaceNr out, in
        10, kDescriptorClassInterface, 0x01, lo(0x0100), hi(0x0100), lo(62), hi(62), 2, outInterface, inInterface,
        // Input terminal: bLength, bDescriptorType, bDescriptorSubtype INPUT_TERMINAL, bTerminalID 1, wTerminalType USB
        //                 streaming, bAssocTerminal, bNrChannels 2, wChannelConfig L R, iChannelNames, iTerminal
        12, kDescriptorClassInterface, 0x02, 1, lo(0x0101), hi(0x0101), 0, 2, lo(0x0003), hi(0x0003), 0, 0,
        // Feature unit: bLength, bDescriptorType, bDescriptorSubtype FEATURE_UNIT, bUnitID 2, bSourceID 1, bControlSize 1,
        //               bmaControls master mute + volume, channel 1, channel 2, iFeature
        10, kDescriptorClassInterface, 0x06, 2, 1, 1, 0x03, 0x00, 0x00, 0,
        // Output terminal: bLength, bDescriptorType, bDescriptorSubtype OUTPUT_TERMINAL, bTerminalID 3, wTerminalType
        //                  speaker, bAssocTerminal, bSourceID 2, iTerminal
        9, kDescriptorClassInterface, 0x03, 3, lo(0x0301), hi(0x0301), 0, 2, 0,
        // Input terminal: bLength, bDescriptorType, bDescriptorSubtype INPUT_TERMINAL, bTerminalID 4, wTerminalType line
        //                 connector, bAssocTerminal, bNrChannels 2, wChannelConfig L R, iChannelNames, iTerminal
        12, kDescriptorClassInterface, 0x02, 4, lo(0x0603), hi(0x0603), 0, 2, lo(0x0003), hi(0x0003), 0, 0,
        // Output terminal: bLength, bDescriptorType, bDescriptorSubtype OUTPUT_TERMINAL, bTerminalID 5, wTerminalType USB
        //                  streaming, bAssocTerminal, bSourceID 4, iTerminal
        9, kDescriptorClassInterface, 0x03, 5, lo(0x0101), hi(0x0101), 0, 4, 0,
    });
    // clang-format on
}

ReplyRow reply(uint8_t bmRequestType, uint8_t bRequest, std::optional<uint16_t> wValue,
               std::optional<uint16_t> wIndex, std::vector<uint8_t> data)
{
    ReplyRow row;
    row.match = RequestMatch{bmRequestType, bRequest, wValue, wIndex};
    row.data = std::move(data);
    return row;
}

void addFeatureUnits(models::ModelData& m, std::initializer_list<uint16_t> units)
{
    for (const uint16_t unit : units) {
        m.replies.push_back(reply(kClassInInterface, kGetCur, std::nullopt, unit, {0x00, 0xF0}));
        m.replies.push_back(reply(kClassInInterface, 0x82, std::nullopt, unit, {0x00, 0xC4}));
        m.replies.push_back(reply(kClassInInterface, 0x83, std::nullopt, unit, {0x00, 0x00}));
        m.replies.push_back(reply(kClassOutInterface, kSetCur, std::nullopt, unit));
    }
}

std::vector<uint8_t> deviceDescriptor(uint16_t vendor, uint16_t product, uint16_t bcdDevice, Speed speed,
                                      uint8_t configurations)
{
    const uint16_t usb = speed == Speed::high ? 0x0200 : 0x0110;
    // clang-format off
    return {
        // Device: bLength, bDescriptorType, bcdUSB, bDeviceClass/SubClass/Protocol per interface, bMaxPacketSize0 64,
        //         idVendor, idProduct, bcdDevice, iManufacturer, iProduct, iSerialNumber none, bNumConfigurations
        18, kDescriptorDevice, lo(usb), hi(usb), 0x00, 0x00, 0x00, 64, lo(vendor), hi(vendor), lo(product), hi(product), lo(bcdDevice), hi(bcdDevice), 1, 2, 0, configurations,
    };
    // clang-format on
}

std::vector<uint8_t> configurationHeader(uint8_t interfaces)
{
    // clang-format off
    return {
        // Configuration: bLength, bDescriptorType, wTotalLength (set when finished), bNumInterfaces, bConfigurationValue 1,
        //                iConfiguration, bmAttributes bus powered, bMaxPower 100 mA
        9, kDescriptorConfiguration, 0, 0, interfaces, 1, 0, 0x80, 50,
    };
    // clang-format on
}

// The usual layout: control interface 0, output interface 1 (endpoint 0x01), input interface 2
// (endpoint 0x82), each streaming interface with a zero-bandwidth alternate 0 first.
std::vector<uint8_t> classConfiguration(const std::vector<Alternate>& out, const std::vector<Alternate>& in)
{
    std::vector<uint8_t> d = configurationHeader(3);
    appendStereoControl(d, 0, 1, 2);
    appendStreamingInterface(d, 1, 1, 0x01, out);
    appendStreamingInterface(d, 2, 5, 0x82, in);
    finishConfiguration(d);
    return d;
}

void appendStreamingInterface(std::vector<uint8_t>& d, uint8_t interfaceNumber, uint8_t terminal, uint8_t endpoint,
                              const std::vector<Alternate>& alternates)
{
    appendZeroBandwidth(d, interfaceNumber);
    for (auto alt : alternates) {
        alt.interfaceNumber = interfaceNumber;
        alt.terminal = terminal;
        alt.endpoint = endpoint;
        appendAlternate(d, alt);
    }
}

// An alternate of `channels` at `bits` with these rates; the packet holds one more frame than the
// highest rate gives per (micro)frame.
Alternate stream(uint8_t alternate, uint8_t channels, uint8_t bits, std::vector<uint32_t> rates, Speed speed,
                 uint8_t attributes)
{
    const uint8_t subframe = bits == 16 ? 2 : bits == 32 ? 4 : 3;
    uint32_t highest = 0;
    for (const uint32_t rate : rates) {
        highest = std::max(highest, rate);
    }
    const uint32_t perPacket = speed == Speed::high ? 8000 : 1000;
    const uint32_t frames = (highest + perPacket - 1) / perPacket + 1;
    Alternate alt;
    alt.alternate = alternate;
    alt.channels = channels;
    alt.subframe = subframe;
    alt.bits = bits;
    alt.rates = std::move(rates);
    alt.attributes = attributes;
    alt.packetSize = static_cast<uint16_t>(frames * channels * subframe);
    return alt;
}

models::ModelData classModel(uint16_t vendor, uint16_t product, uint16_t bcdDevice, Speed speed,
                             std::vector<uint8_t> configuration, const char* productName)
{
    models::ModelData m;
    m.speed = speed;
    m.device = deviceDescriptor(vendor, product, bcdDevice, speed);
    m.configurations = {std::move(configuration)};
    m.strings = {{1, "Test Maker"}, {2, productName}};
    m.frequencyEndpoints = {0x01, 0x82};
    return m;
}

} // namespace usbsim::model_data
