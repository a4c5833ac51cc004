// Devices that follow the audio class and get no per-model handling.
#include <utility>

#include "Blocks.h"
#include "Models.h"

namespace usbsim::model_data {

// Stereo out and in, 24 bits only, 44.1 and 48 kHz, full speed: the driver's default request
// (2 channels at 24 bits) finds its alternates at once.
models::ModelData plainAudio24()
{
    models::ModelData m;
    m.speed = Speed::full;
    // clang-format off
    m.device = {
        // Device: bLength, bDescriptorType, bcdUSB 1.10, bDeviceClass/SubClass/Protocol per interface, bMaxPacketSize0 64,
        //         idVendor, idProduct, bcdDevice 1.00, iManufacturer, iProduct, iSerialNumber, bNumConfigurations
        18, kDescriptorDevice, lo(0x0110), hi(0x0110), 0x00, 0x00, 0x00, 64, lo(0x2912), hi(0x2912), lo(0x3024), hi(0x3024), lo(0x0100), hi(0x0100), 1, 2, 3, 1,
    };
    std::vector<uint8_t> d = {
        // Configuration: bLength, bDescriptorType, wTotalLength (set when finished), bNumInterfaces 3, bConfigurationValue 1,
        //                iConfiguration, bmAttributes bus powered, bMaxPower 100 mA
        9, kDescriptorConfiguration, 0, 0, 3, 1, 0, 0x80, 50,
    };
    // clang-format on
    appendStereoControl(d, 0, 1, 2);
    appendZeroBandwidth(d, 1);
    // Output: 2 ch, 3-byte subframes, 24 bits; 49 frames of 6 bytes per 1 ms frame.
    appendAlternate(d, {.interfaceNumber = 1, .alternate = 1, .terminal = 1, .rates = {44100, 48000},
                        .endpoint = 0x01, .attributes = kIsocAdaptive, .packetSize = 294});
    appendZeroBandwidth(d, 2);
    appendAlternate(d, {.interfaceNumber = 2, .alternate = 1, .terminal = 5, .rates = {44100, 48000},
                        .endpoint = 0x82, .attributes = kIsocAsync, .packetSize = 294});
    finishConfiguration(d);
    m.configurations = {d};
    m.strings = {{1, "Sonvexa Test Audio"}, {2, "USB Audio 24"}, {3, "0024"}};
    m.frequencyEndpoints = {0x01, 0x82};
    return m;
}

// The same stereo device (2912:3025) with a MIDI streaming interface 3 of two bulk endpoints of 64
// bytes; what the host writes there is recorded with its bus time, and the packets a test queues
// come back on the IN endpoint.
models::ModelData audioWithMidi()
{
    models::ModelData m = plainAudio24();
    m.device[10] = lo(0x3025);
    m.device[11] = hi(0x3025);
    std::vector<uint8_t>& d = m.configurations[0];
    d[4] = 4; // bNumInterfaces
    // clang-format off
    append(d, {
        // Interface 3 (MIDI): bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting, bNumEndpoints 2,
        //                     bInterfaceClass audio, bInterfaceSubClass MIDI streaming, bInterfaceProtocol, iInterface
        9, kDescriptorInterface, 3, 0, 2, kAudio, kMidiStreaming, 0, 0,
        // Endpoint: bLength, bDescriptorType, bEndpointAddress, bmAttributes bulk, wMaxPacketSize 64, bInterval
        7, kDescriptorEndpoint, 0x03, 0x02, 64, 0, 0,
        7, kDescriptorEndpoint, 0x83, 0x02, 64, 0, 0,
    });
    // clang-format on
    finishConfiguration(d);
    m.strings = {{1, "Sonvexa Test Audio"}, {2, "USB Audio MIDI"}, {3, "0025"}};
    m.midiInEndpoint = 0x83;
    m.midiOutEndpoint = 0x03;
    return m;
}

// The plain device under the ids of a model that hosts see by its product name.
models::ModelData productNamed()
{
    models::ModelData m = plainAudio24();
    m.device[8] = lo(0x077D);
    m.device[9] = hi(0x077D);
    m.device[10] = lo(0x0420);
    m.device[11] = hi(0x0420);
    m.strings = {{1, "Sonvexa Test Audio"}, {2, "Mixer Deck"}, {3, "0420"}};
    addFeatureUnits(m, {0x0200}); // the output's volume and mute
    return m;
}

// High speed stereo, 16 bits (alternate 1) and 24 bits (alternate 2) each way at 44.1, 48 and
// 96 kHz, both data pipes serviced every `interval` (1: every microframe, 4: every millisecond);
// asynchronous input, adaptive output (the host follows the input's packet sizes).
models::ModelData highSpeedAudio(uint16_t product, uint8_t interval)
{
    const Speed hs = Speed::high;
    // Frames per packet: the most the highest rate gives per service interval, and one more.
    const uint32_t frames = interval == 1 ? 96000 / 8000 + 1 : 96000 / 1000 + 1;
    std::vector<Alternate> out;
    std::vector<Alternate> in;
    for (const auto& [alternate, bits] : {std::pair<uint8_t, uint8_t>{1, 16}, std::pair<uint8_t, uint8_t>{2, 24}}) {
        for (const bool output : {true, false}) {
            Alternate alt = stream(alternate, 2, bits, {44100, 48000, 96000}, hs, output ? kIsocAdaptive : kIsocAsync);
            alt.interval = interval;
            alt.packetSize = static_cast<uint16_t>(frames * 2 * alt.subframe);
            (output ? out : in).push_back(alt);
        }
    }
    auto m = classModel(0x2912, product, 0x0100, hs, classConfiguration(out, in),
                        interval == 1 ? "High Speed Audio" : "High Speed Audio 4");
    m.initialFrequency = 48000;
    m.streaming.formats = {{1, 1, 2, 2}, {1, 2, 2, 3}, {2, 1, 2, 2}, {2, 2, 2, 3}};
    return m;
}

// High speed, 32 channels each way in microframe packets: 16 bits at 44.1 to 96 kHz (alternate
// 1, 13 frames of 64 bytes) and 24 bits at 44.1 and 48 kHz (alternate 2, 7 frames of 96 bytes);
// asynchronous input, adaptive output.
models::ModelData wideAudio()
{
    const Speed hs = Speed::high;
    std::vector<Alternate> out;
    std::vector<Alternate> in;
    for (const bool output : {true, false}) {
        const uint8_t sync = output ? kIsocAdaptive : kIsocAsync;
        (output ? out : in).push_back(stream(1, 32, 16, {44100, 48000, 88200, 96000}, hs, sync));
        (output ? out : in).push_back(stream(2, 32, 24, {44100, 48000}, hs, sync));
    }
    auto m = classModel(0x2912, 0x3132, 0x0100, hs, classConfiguration(out, in), "Wide Audio");
    m.initialFrequency = 48000;
    m.streaming.formats = {{1, 1, 32, 2}, {1, 2, 32, 3}, {2, 1, 32, 2}, {2, 2, 32, 3}};
    return m;
}

// Full speed, an output streaming interface only: stereo 16 bits (alternate 1) and 24 bits
// (alternate 2) at 44.1 and 48 kHz, adaptive. The host has no input to follow (sync to output).
models::ModelData outputOnlyAudio()
{
    const Speed fs = Speed::full;
    std::vector<uint8_t> d = configurationHeader(2);
    // clang-format off
    append(d, {
        // Interface 0: bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting, bNumEndpoints,
        //              bInterfaceClass audio, bInterfaceSubClass control, bInterfaceProtocol, iInterface
        9, kDescriptorInterface, 0, 0, 0, kAudio, kAudioControl, 0, 0,
        // AC header: bLength, bDescriptorType, bDescriptorSubtype HEADER, bcdADC 1.00, wTotalLength 30, bInCollection 1,
        //            baInterfaceNr 1
        9, kDescriptorClassInterface, 0x01, lo(0x0100), hi(0x0100), lo(30), hi(30), 1, 1,
        // Input terminal: bLength, bDescriptorType, bDescriptorSubtype INPUT_TERMINAL, bTerminalID 1, wTerminalType USB
        //                 streaming, bAssocTerminal, bNrChannels 2, wChannelConfig L R, iChannelNames, iTerminal
        12, kDescriptorClassInterface, 0x02, 1, lo(0x0101), hi(0x0101), 0, 2, lo(0x0003), hi(0x0003), 0, 0,
        // Output terminal: bLength, bDescriptorType, bDescriptorSubtype OUTPUT_TERMINAL, bTerminalID 3, wTerminalType
        //                  speaker, bAssocTerminal, bSourceID 1, iTerminal
        9, kDescriptorClassInterface, 0x03, 3, lo(0x0301), hi(0x0301), 0, 1, 0,
    });
    // clang-format on
    appendStreamingInterface(d, 1, 1, 0x01,
                             {stream(1, 2, 16, {44100, 48000}, fs, kIsocAdaptive),
                              stream(2, 2, 24, {44100, 48000}, fs, kIsocAdaptive)});
    finishConfiguration(d);
    auto m = classModel(0x2912, 0x3110, 0x0100, fs, d, "Output Only Audio");
    m.frequencyEndpoints = {0x01};
    m.streaming.formats = {{1, 1, 2, 2}, {1, 2, 2, 3}};
    return m;
}

} // namespace usbsim::model_data
