// Devices of other makers that the driver fixes up or treats by model.
#include <algorithm>
#include <initializer_list>
#include <utility>

#include "Blocks.h"
#include "Models.h"

namespace usbsim::model_data {

// USBPre: full speed; the driver writes 24 into bytes 298, 344, 571 and 614 of its configuration,
// the bit resolution of four format descriptors that say 20 bits for 3-byte subframes (output
// alternates 4 and 5, input alternates 5 and 6). The layout below puts them there: a 75-byte
// control block, then output alternates 1-3 with six rates each, the two patched ones with two
// rates, input alternates 1-4 with one rate each, the two patched ones with one rate. PIC
// commands: vendor OUT 0x01 (wValue 0x00F0, wIndex 0x01F0, 1 byte) and vendor IN 0x81.
models::ModelData usbPre()
{
    const Speed fs = Speed::full;
    std::vector<uint8_t> d = configurationHeader(3);
    // clang-format off
    append(d, {
        // Offset 9, interface 0: bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting, bNumEndpoints,
        //                        bInterfaceClass audio, bInterfaceSubClass control, bInterfaceProtocol, iInterface
        9, kDescriptorInterface, 0, 0, 0, kAudio, kAudioControl, 0, 0,
        // AC header: bLength, bDescriptorType, bDescriptorSubtype HEADER, bcdADC 1.00, wTotalLength 75, bInCollection 2,
        //            baInterfaceNr 1, 2
        10, kDescriptorClassInterface, 0x01, lo(0x0100), hi(0x0100), 75, 0, 2, 1, 2,
        // Input terminal: bLength, bDescriptorType, bDescriptorSubtype INPUT_TERMINAL, bTerminalID 1, wTerminalType USB
        //                 streaming, bAssocTerminal, bNrChannels 2, wChannelConfig L R, iChannelNames, iTerminal
        12, kDescriptorClassInterface, 0x02, 1, lo(0x0101), hi(0x0101), 0, 2, lo(0x0003), hi(0x0003), 0, 0,
        // Feature unit: bLength, bDescriptorType, bDescriptorSubtype FEATURE_UNIT, bUnitID 2, bSourceID 1, bControlSize 2,
        //               bmaControls master mute + volume, channel 1, channel 2, iFeature
        13, kDescriptorClassInterface, 0x06, 2, 1, 2, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0,
        // Output terminal: bLength, bDescriptorType, bDescriptorSubtype OUTPUT_TERMINAL, bTerminalID 3, wTerminalType
        //                  headphones, bAssocTerminal, bSourceID 2, iTerminal
        9, kDescriptorClassInterface, 0x03, 3, lo(0x0302), hi(0x0302), 0, 2, 0,
        // Input terminal: bLength, bDescriptorType, bDescriptorSubtype INPUT_TERMINAL, bTerminalID 4, wTerminalType
        //                 microphone, bAssocTerminal, bNrChannels 2, wChannelConfig L R, iChannelNames, iTerminal
        12, kDescriptorClassInterface, 0x02, 4, lo(0x0201), hi(0x0201), 0, 2, lo(0x0003), hi(0x0003), 0, 0,
        // Feature unit: bLength, bDescriptorType, bDescriptorSubtype FEATURE_UNIT, bUnitID 6, bSourceID 4, bControlSize 1,
        //               bmaControls master mute, channel 1, channel 2, iFeature
        10, kDescriptorClassInterface, 0x06, 6, 4, 1, 0x01, 0x00, 0x00, 0,
        // Output terminal: bLength, bDescriptorType, bDescriptorSubtype OUTPUT_TERMINAL, bTerminalID 5, wTerminalType USB
        //                  streaming, bAssocTerminal, bSourceID 6, iTerminal
        9, kDescriptorClassInterface, 0x03, 5, lo(0x0101), hi(0x0101), 0, 6, 0,
    });
    // clang-format on
    const std::vector<uint32_t> six = {11025, 16000, 22050, 32000, 44100, 48000};
    // Offset 93: output interface 1.
    appendZeroBandwidth(d, 1);
    for (auto alt : {stream(1, 2, 16, six, fs, kIsocAdaptive), stream(2, 1, 16, six, fs, kIsocAdaptive),
                     stream(3, 1, 24, six, fs, kIsocAdaptive),
                     // Format descriptors at offsets 292 and 338: bit resolution 20, patched to 24.
                     stream(4, 2, 20, {44100, 48000}, fs, kIsocAdaptive),
                     stream(5, 2, 20, {32000, 48000}, fs, kIsocAdaptive)}) {
        alt.interfaceNumber = 1;
        alt.terminal = 1;
        alt.endpoint = 0x01;
        appendAlternate(d, alt);
    }
    // Offset 368: input interface 2.
    appendZeroBandwidth(d, 2);
    for (auto alt : {stream(1, 2, 16, {32000}, fs), stream(2, 2, 16, {44100}, fs), stream(3, 2, 16, {48000}, fs),
                     stream(4, 1, 16, {48000}, fs),
                     // Format descriptors at offsets 565 and 608.
                     stream(5, 2, 20, {44100}, fs), stream(6, 2, 20, {48000}, fs)}) {
        alt.interfaceNumber = 2;
        alt.terminal = 5;
        alt.endpoint = 0x82;
        appendAlternate(d, alt);
    }
    finishConfiguration(d);
    auto m = classModel(0x0926, 0x0100, 0x0100, fs, d, "USBPre");
    m.replies = {
        // PIC set command (1 byte) and get command (1 byte back).
        reply(kVendorOut, 0x01, 0x00F0, 0x01F0),
        reply(kVendorIn, 0x81, 0x00F0, 0, {0x00}),
    };
    return m;
}

// 1ACC:0049: full speed; its output endpoint says bInterval 0, which no isochronous pipe may have;
// the driver writes 1 into byte 164 of its configuration, that bInterval. Output alternate 1 has
// fifteen rates so that its endpoint starts at 158.
models::ModelData acc0049()
{
    const Speed fs = Speed::full;
    std::vector<uint8_t> d = configurationHeader(3);
    appendStereoControl(d, 0, 1, 2);
    appendZeroBandwidth(d, 1);
    auto out = stream(1, 2, 24,
                      {8000, 11025, 12000, 16000, 22050, 24000, 32000, 37800, 44056, 44100, 47250, 48000, 64000,
                       88200, 96000},
                      fs, kIsocAdaptive);
    out.interfaceNumber = 1;
    out.terminal = 1;
    out.endpoint = 0x01;
    // Offset 158: byte 164 is bInterval.
    out.interval = 0;
    appendAlternate(d, out);
    appendZeroBandwidth(d, 2);
    auto in = stream(1, 2, 24, {44100, 48000, 96000}, fs);
    in.interfaceNumber = 2;
    in.terminal = 5;
    in.endpoint = 0x82;
    appendAlternate(d, in);
    finishConfiguration(d);
    return classModel(0x1ACC, 0x0049, 0x0100, fs, d, "1ACC:0049");
}

// 1604:8006: full speed; the first interface (offset 9, bytes 14-15 its class and subclass) says
// vendor-specific at alternate 0 and 1 and audio streaming at alternate 2, which streams out
// without a format descriptor; the driver patches it to audio streaming, clears alternate 1 and
// gives alternate 2 its fixed 2 ch 24-bit format. Interface 1 is the control interface.
models::ModelData dev1604_8006()
{
    std::vector<uint8_t> d = configurationHeader(2);
    // clang-format off
    append(d, {
        // Offset 9, interface 0: bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting, bNumEndpoints,
        //                        bInterfaceClass vendor, bInterfaceSubClass, bInterfaceProtocol, iInterface
        9, kDescriptorInterface, 0, 0, 0, kVendorSpecific, 0, 0, 0,
        // Interface 0 alternate 1 (16 bits): the same fields, one endpoint
        9, kDescriptorInterface, 0, 1, 1, kVendorSpecific, 0, 0, 0,
        // Endpoint: bLength, bDescriptorType, bEndpointAddress, bmAttributes isochronous adaptive, wMaxPacketSize 196, bInterval 1
        7, kDescriptorEndpoint, 0x01, kIsocAdaptive, lo(196), hi(196), 1,
        // Interface 0 alternate 2 (24 bits): bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting, bNumEndpoints,
        //                                    bInterfaceClass audio, bInterfaceSubClass streaming, bInterfaceProtocol, iInterface
        9, kDescriptorInterface, 0, 2, 1, kAudio, kAudioStreaming, 0, 0,
        // Endpoint: bLength, bDescriptorType, bEndpointAddress, bmAttributes isochronous adaptive, wMaxPacketSize 294, bInterval 1
        7, kDescriptorEndpoint, 0x01, kIsocAdaptive, lo(294), hi(294), 1,
        // Interface 1 (control): bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting, bNumEndpoints,
        //                        bInterfaceClass audio, bInterfaceSubClass control, bInterfaceProtocol, iInterface
        9, kDescriptorInterface, 1, 0, 0, kAudio, kAudioControl, 0, 0,
        // AC header: bLength, bDescriptorType, bDescriptorSubtype HEADER, bcdADC 1.00, wTotalLength 30, bInCollection 1,
        //            baInterfaceNr 0
        9, kDescriptorClassInterface, 0x01, lo(0x0100), hi(0x0100), 30, 0, 1, 0,
        // Input terminal: bLength, bDescriptorType, bDescriptorSubtype INPUT_TERMINAL, bTerminalID 1, wTerminalType USB
        //                 streaming, bAssocTerminal, bNrChannels 2, wChannelConfig L R, iChannelNames, iTerminal
        12, kDescriptorClassInterface, 0x02, 1, lo(0x0101), hi(0x0101), 0, 2, lo(0x0003), hi(0x0003), 0, 0,
        // Output terminal: bLength, bDescriptorType, bDescriptorSubtype OUTPUT_TERMINAL, bTerminalID 2, wTerminalType
        //                  speaker, bAssocTerminal, bSourceID 1, iTerminal
        9, kDescriptorClassInterface, 0x03, 2, lo(0x0301), hi(0x0301), 0, 1, 0,
    });
    // clang-format on
    finishConfiguration(d);
    auto m = classModel(0x1604, 0x8006, 0x0100, Speed::full, d, "1604:8006");
    m.frequencyEndpoints = {0x01};
    return m;
}

// 0CCD:0014: full speed, 16- and 24-bit stereo each way at 44.1, 48 and 96 kHz; both of the
// driver's searches (96 kHz 24-bit input, 44.1 kHz 24-bit output) find a format, so it drops the
// 16-bit alternates. Monitor switch: vendor OUT 0x01.
models::ModelData ccd0014()
{
    const Speed fs = Speed::full;
    const std::vector<uint32_t> rates = {44100, 48000, 96000};
    auto m = classModel(
        0x0CCD, 0x0014, 0x0100, fs,
        classConfiguration({stream(1, 2, 16, rates, fs, kIsocAdaptive), stream(2, 2, 24, rates, fs, kIsocAdaptive)},
                           {stream(1, 2, 16, rates, fs), stream(2, 2, 24, rates, fs)}),
        "0CCD:0014");
    m.replies = {reply(kVendorOut, 0x01, std::nullopt, std::nullopt)};
    m.streaming.formats = {{1, 1, 2, 2}, {1, 2, 2, 3}, {2, 1, 2, 2}, {2, 2, 2, 3}};
    return m;
}

// 03EB:4308: high speed, 8 channels each way at 24 bits up to 96 kHz, but the format descriptors
// (the second class-specific record of alternate 1, after AS general) say 2 channels; the driver
// writes 8. It cannot report its sample rate: GET_CUR stalls.
models::ModelData atmel4308()
{
    const Speed hs = Speed::high;
    const std::vector<uint32_t> rates = {44100, 48000, 88200, 96000};
    auto out = stream(1, 8, 24, rates, hs);
    auto in = stream(1, 8, 24, rates, hs);
    out.channels = 2; // what the descriptor says; the packet size is for 8
    in.channels = 2;
    auto m = classModel(0x03EB, 0x4308, 0x0100, hs, classConfiguration({out}, {in}), "03EB:4308");
    ReplyRow noGetCur = reply(kClassInEndpoint, kGetCur, std::nullopt, std::nullopt);
    noGetCur.status = kPipeStalled;
    m.replies = {noGetCur};
    return m;
}

// 0A4E:4040: high speed, output stereo and mono, input 4 channels at 16 and 24 bits and mono, all
// at 44.1 to 96 kHz (the driver drops 88.2 and 96 kHz). Monitor: vendor IN 0x81 to interface
// 0x30, vendor OUT 0x01 to 0x20.
models::ModelData dev0A4E_4040()
{
    const Speed hs = Speed::high;
    const std::vector<uint32_t> rates = {44100, 48000, 88200, 96000};
    auto m = classModel(0x0A4E, 0x4040, 0x0100, hs,
                        classConfiguration({stream(1, 2, 24, rates, hs), stream(2, 1, 24, rates, hs)},
                                           {stream(1, 4, 16, rates, hs), stream(2, 4, 24, rates, hs),
                                            stream(3, 1, 24, rates, hs)}),
                        "0A4E:4040");
    m.replies = {
        reply(kVendorInInterface, 0x81, std::nullopt, 0x30, {0x00}),
        reply(kVendorOutInterface, 0x01, std::nullopt, 0x20),
        reply(kVendorIn, 0x81, std::nullopt, std::nullopt, {0x00}),
        reply(kVendorOut, 0x01, std::nullopt, std::nullopt),
    };
    return m;
}

// Extigy: full speed, output stereo and 6-channel 16-bit at 48 kHz (the driver clears records of
// more than 2 channels), input stereo, and a MIDI interface 3 the driver neutralises.
models::ModelData extigy()
{
    const Speed fs = Speed::full;
    std::vector<uint8_t> d = configurationHeader(4);
    appendStereoControl(d, 0, 1, 2);
    appendZeroBandwidth(d, 1);
    for (auto alt : {stream(1, 2, 16, {48000}, fs, kIsocAdaptive), stream(2, 6, 16, {48000}, fs, kIsocAdaptive)}) {
        alt.interfaceNumber = 1;
        alt.terminal = 1;
        alt.endpoint = 0x01;
        appendAlternate(d, alt);
    }
    appendZeroBandwidth(d, 2);
    auto in = stream(1, 2, 16, {48000}, fs);
    in.interfaceNumber = 2;
    in.terminal = 5;
    in.endpoint = 0x82;
    appendAlternate(d, in);
    // clang-format off
    append(d, {
        // Interface 3 (MIDI): bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting, bNumEndpoints 2,
        //                     bInterfaceClass audio, bInterfaceSubClass MIDI streaming, bInterfaceProtocol, iInterface
        9, kDescriptorInterface, 3, 0, 2, kAudio, kMidiStreaming, 0, 0,
        // MS header: bLength, bDescriptorType, bDescriptorSubtype MS_HEADER, bcdMSC 1.00, wTotalLength 7
        7, kDescriptorClassInterface, 0x01, lo(0x0100), hi(0x0100), 7, 0,
        // Endpoint: bLength, bDescriptorType, bEndpointAddress, bmAttributes bulk, wMaxPacketSize 64, bInterval
        7, kDescriptorEndpoint, 0x03, 0x02, 64, 0, 0,
        7, kDescriptorEndpoint, 0x83, 0x02, 64, 0, 0,
    });
    // clang-format on
    finishConfiguration(d);
    auto m = classModel(0x041E, 0x3000, 0x0100, fs, d, "Extigy");
    // Monitor mic, line and digital, the input selector and its unit, wave and master out.
    addFeatureUnits(m, {0x0A00, 0x0800, 0x0600, 0x0B00, 0x0C00, 0x0200, 0x1200});
    return m;
}

// 0763:2003: full speed, 16- and 24-bit stereo each way at 44.1, 48 and 96 kHz; its first scan
// sets 2/2 channels at 16 bits and at most 48 kHz. Its 24-bit samples are not plain little-endian
// and their layout is not known: only the 16-bit alternates stream.
models::ModelData dev0763_2003()
{
    const Speed fs = Speed::full;
    const std::vector<uint32_t> rates = {44100, 48000, 96000};
    auto m = classModel(
        0x0763, 0x2003, 0x0100, fs,
        classConfiguration({stream(1, 2, 16, rates, fs, kIsocAdaptive), stream(2, 2, 24, rates, fs, kIsocAdaptive)},
                           {stream(1, 2, 16, rates, fs), stream(2, 2, 24, rates, fs)}),
        "0763:2003");
    m.streaming.formats = {{1, 1, 2, 2}, {2, 1, 2, 2}};
    return m;
}

// XMOS (20B1:0002): an audio class 2 device at high speed (interface protocol 0x20, class 2
// descriptors the class 1 parser misreads; the driver builds 2 ch 32-bit formats for alternate 1
// of interfaces 1 and 2). It reports two configurations; reading the second always fails.
models::ModelData xmos()
{
    models::ModelData m;
    m.speed = Speed::high;
    m.device = deviceDescriptor(0x20B1, 0x0002, 0x0100, Speed::high, 2);
    m.device[4] = 0xEF; // miscellaneous class, interface association
    m.device[5] = 0x02;
    m.device[6] = 0x01;
    constexpr uint8_t kProtocol2 = 0x20;
    std::vector<uint8_t> d = configurationHeader(3);
    // clang-format off
    append(d, {
        // Interface association: bLength, bDescriptorType, bFirstInterface 0, bInterfaceCount 3, bFunctionClass audio,
        //                        bFunctionSubClass, bFunctionProtocol 2.0, iFunction
        8, 0x0B, 0, 3, kAudio, 0, kProtocol2, 0,
        // Interface 0 (control): bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting, bNumEndpoints,
        //                        bInterfaceClass audio, bInterfaceSubClass control, bInterfaceProtocol 2.0, iInterface
        9, kDescriptorInterface, 0, 0, 0, kAudio, kAudioControl, kProtocol2, 0,
        // AC header 2.0: bLength, bDescriptorType, bDescriptorSubtype HEADER, bcdADC 2.00, bCategory, wTotalLength 71,
        //                bmControls
        9, kDescriptorClassInterface, 0x01, lo(0x0200), hi(0x0200), 0x0A, 71, 0, 0,
        // Clock source: bLength, bDescriptorType, bDescriptorSubtype CLOCK_SOURCE, bClockID 41, bmAttributes internal
        //               programmable, bmControls frequency read/write, bAssocTerminal, iClockSource
        8, kDescriptorClassInterface, 0x0A, 41, 0x03, 0x07, 0, 0,
        // Input terminal 2.0: bLength, bDescriptorType, bDescriptorSubtype INPUT_TERMINAL, bTerminalID 1, wTerminalType
        //                     USB streaming, bAssocTerminal, bCSourceID 41, bNrChannels 2, bmChannelConfig, iChannelNames,
        //                     bmControls, iTerminal
        17, kDescriptorClassInterface, 0x02, 1, lo(0x0101), hi(0x0101), 0, 41, 2, 0x03, 0, 0, 0, 0, 0, 0, 0,
        // Output terminal 2.0: bLength, bDescriptorType, bDescriptorSubtype OUTPUT_TERMINAL, bTerminalID 2, wTerminalType
        //                      speaker, bAssocTerminal, bSourceID 1, bCSourceID 41, bmControls, iTerminal
        12, kDescriptorClassInterface, 0x03, 2, lo(0x0301), hi(0x0301), 0, 1, 41, 0, 0, 0,
        // Input terminal 2.0: the same fields; bTerminalID 3, wTerminalType line connector
        17, kDescriptorClassInterface, 0x02, 3, lo(0x0603), hi(0x0603), 0, 41, 2, 0x03, 0, 0, 0, 0, 0, 0, 0,
        // Output terminal 2.0: the same fields; bTerminalID 4, wTerminalType USB streaming, bSourceID 3
        12, kDescriptorClassInterface, 0x03, 4, lo(0x0101), hi(0x0101), 0, 3, 41, 0, 0, 0,
    });
    for (const uint8_t number : {uint8_t{1}, uint8_t{2}}) {
        const bool out = number == 1;
        const uint8_t endpoint = out ? 0x01 : 0x82;
        append(d, {
            // Interface, zero bandwidth: bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting 0, bNumEndpoints 0,
            //                            bInterfaceClass audio, bInterfaceSubClass streaming, bInterfaceProtocol 2.0, iInterface
            9, kDescriptorInterface, number, 0, 0, kAudio, kAudioStreaming, kProtocol2, 0,
            // Interface, streaming: bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting 1, bNumEndpoints,
            //                       bInterfaceClass audio, bInterfaceSubClass streaming, bInterfaceProtocol 2.0, iInterface
            9, kDescriptorInterface, number, 1, static_cast<uint8_t>(out ? 2 : 1), kAudio, kAudioStreaming, kProtocol2, 0,
            // AS general 2.0: bLength, bDescriptorType, bDescriptorSubtype AS_GENERAL, bTerminalLink, bmControls, bFormatType I,
            //                 bmFormats PCM, bNrChannels 2, bmChannelConfig, iChannelNames
            16, kDescriptorClassInterface, 0x01, static_cast<uint8_t>(out ? 1 : 4), 0, 0x01, 0x01, 0, 0, 0, 2, 0x03, 0, 0, 0, 0,
            // Format type I 2.0: bLength, bDescriptorType, bDescriptorSubtype FORMAT_TYPE, bFormatType I, bSubslotSize 4,
            //                    bBitResolution 32
            6, kDescriptorClassInterface, 0x02, 0x01, 4, 32,
            // Endpoint: bLength, bDescriptorType, bEndpointAddress, bmAttributes isochronous asynchronous,
            //           wMaxPacketSize 208 (26 frames of 8 bytes), bInterval 1
            7, kDescriptorEndpoint, endpoint, kIsocAsync, lo(208), hi(208), 1,
            // AS endpoint 2.0: bLength, bDescriptorType, bDescriptorSubtype EP_GENERAL, bmAttributes, bmControls,
            //                  bLockDelayUnits, wLockDelay
            8, kDescriptorClassEndpoint, 0x01, 0, 0, 0, 0, 0,
        });
        if (out) {
            append(d, {
                // Endpoint: bLength, bDescriptorType, bEndpointAddress, bmAttributes isochronous feedback, wMaxPacketSize 4,
                //           bInterval 4
                7, kDescriptorEndpoint, 0x81, kIsocFeedback, 4, 0, 4,
            });
        }
    }
    // clang-format on
    finishConfiguration(d);
    // The second configuration: a class 1 fallback with one output stream.
    std::vector<uint8_t> second = configurationHeader(2);
    second[5] = 2; // bConfigurationValue
    appendStereoControl(second, 0, 1, 1);
    appendZeroBandwidth(second, 1);
    appendAlternate(second, {.interfaceNumber = 1, .alternate = 1, .terminal = 1, .rates = {44100, 48000},
                             .endpoint = 0x01, .packetSize = 294});
    finishConfiguration(second);
    m.configurations = {d, second};
    m.unreadableConfigurations = {{1, kPipeStalled}};
    m.strings = {{1, "XMOS"}, {2, "xCORE USB Audio 2.0"}};
    m.frequencyEndpoints = {0x01, 0x82};
    return m;
}

// Elektron 1935:0004, 0006, 0008: high speed; streaming interfaces 0 (in, 0x81) and 1 (out, 0x02) vendor-
// labelled with alternates 1 to 7 and no format descriptors (the driver builds the 48 kHz formats
// per (channels, bits)); control interface 2 (vendor, subclass 1), MIDI interface 3, vendor
// interface 4 with bulk endpoints. Identity: vendor IN 0x00 (8-byte UID), vendor IN 0x01 (name:
// 5 bytes at revision 1, 32 bytes from revision 2); vendor OUT 0x01 sets the name (to the device)
// or the channel map (to an interface); vendor OUT 0x00 to an interface announces the resolution
// of its stream (wValue, bits). Every revision streams at 48 kHz when asked, in microframe packets:
// input plain PCM, output behind a 104-byte header with 2 extra bytes per frame.
models::ModelData elektron(uint16_t product, uint16_t bcdDevice)
{
    models::ModelData m;
    m.speed = Speed::high;
    m.device = deviceDescriptor(0x1935, product, bcdDevice, Speed::high);
    std::vector<uint8_t> d = configurationHeader(5);
    // Frames of each alternate 1-7 (channels, bytes per sample, the resolution that selects it).
    const models::StreamFormat formats[] = {{0, 1, 0, 2, 16}, {0, 2, 2, 2, 16}, {0, 3, 2, 3, 24}, {0, 4, 4, 2, 16},
                                    {0, 5, 4, 3, 24}, {0, 5, 6, 2, 16}, {0, 6, 8, 2, 16}, {0, 7, 6, 3, 24}};
    // Bytes per microframe of each alternate: input 7 frames with 2 spare bytes each; output the
    // 104-byte header and 7 frames.
    const uint16_t inPackets[] = {14, 42, 56, 70, 98, 126, 140};
    const uint16_t outPackets[] = {104, 132, 146, 160, 188, 216, 230};
    for (const uint8_t number : {uint8_t{0}, uint8_t{1}}) {
        const uint8_t endpoint = number == 0 ? 0x81 : 0x02;
        appendZeroBandwidth(d, number, kVendorSpecific, 0);
        for (uint8_t alternate = 1; alternate <= 7; ++alternate) {
            appendAlternate(d, {.interfaceNumber = number, .alternate = alternate, .interfaceClass = kVendorSpecific,
                                .interfaceSubClass = 0, .classDescriptors = false, .endpoint = endpoint,
                                .packetSize = (number == 0 ? inPackets : outPackets)[alternate - 1]});
        }
        for (models::StreamFormat format : formats) {
            format.interfaceNumber = number;
            m.streaming.formats.push_back(format);
        }
    }
    m.streaming.fixedRate = 48000;
    m.streaming.headedOutput = true;
    m.streaming.announcedResolution = true;
    // clang-format off
    append(d, {
        // Interface 2 (control): bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting, bNumEndpoints,
        //                        bInterfaceClass vendor, bInterfaceSubClass 1, bInterfaceProtocol, iInterface
        9, kDescriptorInterface, 2, 0, 0, kVendorSpecific, 1, 0, 0,
        // Interface 3 (MIDI): bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting, bNumEndpoints 2,
        //                     bInterfaceClass audio, bInterfaceSubClass MIDI streaming, bInterfaceProtocol, iInterface
        9, kDescriptorInterface, 3, 0, 2, kAudio, kMidiStreaming, 0, 0,
        // MS header: bLength, bDescriptorType, bDescriptorSubtype MS_HEADER, bcdMSC 1.00, wTotalLength 7
        7, kDescriptorClassInterface, 0x01, lo(0x0100), hi(0x0100), 7, 0,
        // Endpoint: bLength, bDescriptorType, bEndpointAddress, bmAttributes bulk, wMaxPacketSize 512, bInterval
        7, kDescriptorEndpoint, 0x03, 0x02, lo(512), hi(512), 0,
        7, kDescriptorEndpoint, 0x83, 0x02, lo(512), hi(512), 0,
        // Interface 4 (vendor port): bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting, bNumEndpoints 2,
        //                            bInterfaceClass vendor, bInterfaceSubClass, bInterfaceProtocol, iInterface
        9, kDescriptorInterface, 4, 0, 2, kVendorSpecific, 0, 0, 0,
        // Endpoint: bLength, bDescriptorType, bEndpointAddress, bmAttributes bulk, wMaxPacketSize 512, bInterval
        7, kDescriptorEndpoint, 0x04, 0x02, lo(512), hi(512), 0,
        7, kDescriptorEndpoint, 0x84, 0x02, lo(512), hi(512), 0,
    });
    // clang-format on
    finishConfiguration(d);
    m.configurations = {d};
    m.strings = {{1, "Elektron"}, {2, product == 0x0004 ? "1935:0004" : product == 0x0006 ? "1935:0006" : "1935:0008"}};
    const bool early = bcdDevice < 2;
    std::vector<uint8_t> name;
    if (early) {
        name = {'D', 'T', '-', '0', '1'};
    } else {
        const char text[] = "Elektron test unit 0006 rev 3 ok";
        name.assign(text, text + 32);
    }
    m.replies = {
        reply(kVendorIn, 0x00, 0, 0,
              early ? std::vector<uint8_t>{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}
                    : std::vector<uint8_t>{0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE}),
        reply(kVendorIn, 0x01, 0, 0, name),
        reply(kVendorOut, 0x01, std::nullopt, std::nullopt),
        reply(kVendorOutInterface, 0x01, std::nullopt, std::nullopt),
        reply(kVendorOutInterface, 0x00, std::nullopt, std::nullopt),
    };
    // MIDI on interface 3, in 64-byte packets of plain MIDI bytes.
    m.midiInEndpoint = 0x83;
    m.midiOutEndpoint = 0x03;
    return m;
}

// 1235:0002: full speed stereo 24-bit at 44.1 and 48 kHz; a class or vendor request that comes
// less than 2 ms after the previous request ended stalls.
models::ModelData dev1235_0002()
{
    const Speed fs = Speed::full;
    auto m = classModel(0x1235, 0x0002, 0x0100, fs,
                        classConfiguration({stream(1, 2, 24, {44100, 48000}, fs, kIsocAdaptive)},
                                           {stream(1, 2, 24, {44100, 48000}, fs)}),
                        "1235:0002");
    m.requestGapMs = 2;
    m.streaming.formats = {{1, 1, 2, 3}, {2, 1, 2, 3}};
    return m;
}

// 0499:100B: full speed stereo at 16 and 24 bits, 44.1 and 48 kHz; the sampling frequency SET_CUR
// stalls its first 40 times (the driver repeats it up to 200 more times).
models::ModelData dev0499_100B()
{
    const Speed fs = Speed::full;
    auto m = classModel(0x0499, 0x100B, 0x0100, fs,
                        classConfiguration({stream(1, 2, 24, {44100, 48000}, fs, kIsocAdaptive),
                                            stream(2, 2, 16, {44100, 48000}, fs, kIsocAdaptive)},
                                           {stream(1, 2, 24, {44100, 48000}, fs)}),
                        "0499:100B");
    ReplyRow frequency = reply(kClassOutEndpoint, kSetCur, kSamplingFrequencyControl, std::nullopt);
    frequency.failures = 40;
    frequency.failureStatus = kPipeStalled;
    m.replies = {frequency};
    addFeatureUnits(m, {0x0900}); // the wave output
    return m;
}

// US-144 MKII (0644:8020) and 0644:8030: high speed, bulk in and isochronous out. Output interface
// 0 (isochronous OUT 0x02, every microframe), input interface 1 whose alternate 1 has an
// isochronous IN endpoint (0x81, the rate feedback the driver takes for it: byte 0 the frames the
// device played in its service interval, a microframe at `feedbackInterval` 1, a millisecond at 4)
// and a bulk IN endpoint (0x86, the samples in 16-wide bit-plane packets); stereo 24-bit at 44.1 to
// 96 kHz.
models::ModelData bulkInIsocOut(uint16_t product, uint8_t feedbackInterval, const char* name)
{
    const Speed hs = Speed::high;
    std::vector<uint8_t> d = configurationHeader(2);
    d[8] = 250; // bMaxPower 500 mA
    appendZeroBandwidth(d, 0);
    appendAlternate(d, {.interfaceNumber = 0, .alternate = 1, .terminal = 1, .rates = {44100, 48000, 88200, 96000},
                        .endpoint = 0x02, .packetSize = 78});
    appendZeroBandwidth(d, 1);
    // clang-format off
    append(d, {
        // Interface 1 streaming: bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting 1, bNumEndpoints 2,
        //                        bInterfaceClass audio, bInterfaceSubClass streaming, bInterfaceProtocol, iInterface
        9, kDescriptorInterface, 1, 1, 2, kAudio, kAudioStreaming, 0, 0,
        // AS general: bLength, bDescriptorType, bDescriptorSubtype AS_GENERAL, bTerminalLink, bDelay, wFormatTag PCM
        7, kDescriptorClassInterface, 0x01, 5, 1, lo(0x0001), hi(0x0001),
        // Format type I: bLength, bDescriptorType, bDescriptorSubtype FORMAT_TYPE, bFormatType I, bNrChannels 2,
        //                bSubframeSize 3, bBitResolution 24, bSamFreqType 4, tSamFreq 44.1, 48, 88.2, 96 kHz
        20, kDescriptorClassInterface, 0x02, 0x01, 2, 3, 24, 4, lo(44100), hi(44100), b3(44100), lo(48000), hi(48000), b3(48000), lo(88200), hi(88200), b3(88200), lo(96000), hi(96000), b3(96000),
        // Endpoint: bLength, bDescriptorType, bEndpointAddress, bmAttributes isochronous asynchronous, wMaxPacketSize 64,
        //           bInterval, bRefresh, bSynchAddress
        9, kDescriptorEndpoint, 0x81, kIsocAsync, 64, 0, feedbackInterval, 0, 0,
        // AS endpoint: bLength, bDescriptorType, bDescriptorSubtype EP_GENERAL, bmAttributes, bLockDelayUnits, wLockDelay
        7, kDescriptorClassEndpoint, 0x01, 0x01, 0, 0, 0,
        // Endpoint: bLength, bDescriptorType, bEndpointAddress, bmAttributes bulk, wMaxPacketSize 512, bInterval
        7, kDescriptorEndpoint, 0x86, 0x02, lo(512), hi(512), 0,
    });
    // clang-format on
    finishConfiguration(d);
    auto m = classModel(0x0644, product, 0x0100, hs, d, name);
    m.strings = {{1, "TEAC"}, {2, name}};
    m.frequencyEndpoints = {0x02, 0x81};
    m.streaming.formats = {{0, 1, 2, 3}, {1, 1, 2, 3}};
    m.streaming.feedbackEndpoints = {0x81};
    m.streaming.bitPlaneBulkInEndpoints = {0x86};
    return m;
}

// Mindprint (133E:6000): full speed, output interface 1 and input interface 2 with stereo 16 bits
// (alternate 1), stereo 24 bits (alternate 2) and mono 24 bits (alternate 3) at 44.1, 48 and
// 96 kHz. Its clock is exact (48 or 96 frames in every millisecond). Stereo frames carry the
// channels in the device's order, which the host swaps; mono 24-bit samples come high, low, middle.
models::ModelData mindprint()
{
    const Speed fs = Speed::full;
    const std::vector<uint32_t> rates = {44100, 48000, 96000};
    auto m = classModel(0x133E, 0x6000, 0x0100, fs,
                        classConfiguration({stream(1, 2, 16, rates, fs, kIsocAdaptive), stream(2, 2, 24, rates, fs, kIsocAdaptive),
                                            stream(3, 1, 24, rates, fs, kIsocAdaptive)},
                                           {stream(1, 2, 16, rates, fs), stream(2, 2, 24, rates, fs), stream(3, 1, 24, rates, fs)}),
                        "Mindprint");
    m.initialFrequency = 48000;
    for (const uint8_t number : {uint8_t{1}, uint8_t{2}}) {
        m.streaming.formats.push_back({number, 1, 2, 2});
        m.streaming.formats.push_back({number, 2, 2, 3});
        m.streaming.formats.push_back({number, 3, 1, 3, 0, models::PcmLayout::highLowMiddle});
    }
    // The monitor switch (vendor IN 0x81 to index 1: on) and its and the digital routing's
    // settings (vendor OUT 0x01 to indices 1 to 4).
    m.replies.push_back(reply(kVendorInInterface, 0x81, 0, 1, {0x01}));
    m.replies.push_back(reply(kVendorOutInterface, 0x01, 0, std::nullopt));
    return m;
}

models::ModelData us144mk2()
{
    return bulkInIsocOut(0x8020, 1, "US-144 MKII");
}

models::ModelData dev0644_8030()
{
    return bulkInIsocOut(0x8030, 4, "0644:8030");
}

// 0926:0201: high speed, 16-bit stereo (alternate 1) and 24-bit 4-channel (alternate 2) each way
// at 44.1 and 48 kHz; at high speed the driver clears both alternates 1 and gives output alternate
// 2 the rates from 32 to 192 kHz.
models::ModelData dev0926_0201()
{
    const Speed hs = Speed::high;
    auto out2 = stream(2, 4, 24, {44100, 48000}, hs);
    out2.packetSize = 300; // room for 192 kHz
    auto in2 = stream(2, 4, 24, {44100, 48000}, hs);
    auto m = classModel(0x0926, 0x0201, 0x0100, hs,
                        classConfiguration({stream(1, 2, 16, {44100, 48000}, hs), out2},
                                           {stream(1, 2, 16, {44100, 48000}, hs), in2}),
                        "0926:0201");
    return m;
}

// Play 16/24 (200C:1030): full speed, two output interfaces (1 headphones, endpoint 0x01; 2
// speakers, endpoint 0x02), alternate 1 stereo 16-bit and alternate 2 stereo 24-bit at 44.1 and
// 48 kHz; the driver rebuilds both with 44.1 to 96 kHz and takes interface 1 for output.
models::ModelData play1624()
{
    const Speed fs = Speed::full;
    std::vector<uint8_t> d = configurationHeader(3);
    appendStereoControl(d, 0, 1, 2);
    for (const uint8_t number : {uint8_t{1}, uint8_t{2}}) {
        appendZeroBandwidth(d, number);
        for (auto alt : {stream(1, 2, 16, {44100, 48000, 96000}, fs, kIsocAdaptive),
                         stream(2, 2, 24, {44100, 48000, 96000}, fs, kIsocAdaptive)}) {
            alt.interfaceNumber = number;
            alt.terminal = 1;
            alt.endpoint = number;
            alt.rates = {44100, 48000};
            appendAlternate(d, alt);
        }
    }
    finishConfiguration(d);
    auto m = classModel(0x200C, 0x1030, 0x0100, fs, d, "Play 16/24");
    m.frequencyEndpoints = {0x01, 0x02};
    addFeatureUnits(m, {0x0C00, 0x0B00}); // headphone and speaker
    return m;
}

} // namespace usbsim::model_data

namespace usbsim::model_data {
namespace {

// Full speed stereo 24 bits at 44.1 and 48 kHz each way, answering the class SET_CUR requests to
// its interfaces in `setCur` (wValue, wIndex).
models::ModelData stereoWithInterfaceRequests(uint16_t vendor, uint16_t product, const char* name,
                                              std::initializer_list<std::pair<uint16_t, uint16_t>> setCur)
{
    const Speed fs = Speed::full;
    auto m = classModel(vendor, product, 0x0100, fs,
                        classConfiguration({stream(1, 2, 24, {44100, 48000}, fs, kIsocAdaptive)},
                                           {stream(1, 2, 24, {44100, 48000}, fs)}),
                        name);
    for (const auto& [value, index] : setCur) {
        m.replies.push_back(reply(kClassOutInterface, kSetCur, value, index));
    }
    return m;
}

} // namespace

// 041E:3020: the monitor mix control (0x0100 of unit 0x12) after each configuration and the output
// mode (unit 0x1F) once streaming has started.
models::ModelData dev041E_3020()
{
    auto m = stereoWithInterfaceRequests(0x041E, 0x3020, "041E:3020", {{0x0100, 0x1200}, {0x0000, 0x1F00}});
    // The monitor mix, the input selector and its sources, phones, speaker and digital out.
    addFeatureUnits(m, {0x1200, 0x0E00, 0x0C00, 0x0B00, 0x1E00, 0x1C00, 0x1600});
    return m;
}

// 0746:7701 and 0010:1101: a control of unit 2 set before streaming.
models::ModelData dev0746_7701()
{
    auto m = stereoWithInterfaceRequests(0x0746, 0x7701, "0746:7701", {{0x02FF, 0x0200}});
    addFeatureUnits(m, {0x0200}); // the output's mute
    return m;
}
models::ModelData dev0010_1101()
{
    return stereoWithInterfaceRequests(0x0010, 0x1101, "0010:1101", {{0x02FF, 0x0200}});
}

// 0582:000F: two controls of unit 9 set before streaming.
models::ModelData dev0582_000F()
{
    return stereoWithInterfaceRequests(0x0582, 0x000F, "0582:000F", {{0x0201, 0x0900}, {0x0202, 0x0900}});
}

} // namespace usbsim::model_data
