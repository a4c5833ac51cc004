#include "DriverModelsTable.h"

#include <array>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <utility>

namespace driver_models {
namespace {

// Every start: the manufacturer and product strings, the device descriptor, the model's identity
// or firmware requests, the first configuration (header, then whole), the model's start-up
// requests, the first configuration set, and the device descriptor once more when the hubs above
// the device are counted.
Lines startRequests(unsigned totalLength, const Lines& afterDeviceDescriptor = {},
                    const Lines& beforeSetConfiguration = {})
{
    Lines lines = {"80 06 0301 0409 255", "80 06 0302 0409 255", "80 06 0100 0000 18"};
    lines.insert(lines.end(), afterDeviceDescriptor.begin(), afterDeviceDescriptor.end());
    lines.push_back("80 06 0200 0000 9");
    lines.push_back("80 06 0200 0000 " + std::to_string(totalLength));
    lines.insert(lines.end(), beforeSetConfiguration.begin(), beforeSetConfiguration.end());
    lines.push_back("00 09 0001 0000 0");
    lines.push_back("80 06 0100 0000 18");
    return lines;
}

const Lines kFirmwareVersion = {"C0 56 0000 0000 8"};

// The usual layout: control interface 0, output streaming interface 1, input streaming interface 2.
Lines classDescription(const Lines& out, const Lines& in, const char* interfaces = "3")
{
    Lines lines = {std::string("config 1 ifs ") + interfaces, " if 0 sub 1", " if 1 sub 2"};
    lines.insert(lines.end(), out.begin(), out.end());
    lines.push_back(" if 2 sub 2");
    lines.insert(lines.end(), in.begin(), in.end());
    return lines;
}

// The configuration of a device not of the family that already runs configuration 1: asked and
// not set again; output then input interface opened at their alternates; the isochronous in pipe's
// halt cleared, then the out pipe's.
Lines classConfigure(int outAlternate, int inAlternate)
{
    return {"80 08 0000 0000 1", "01 0B 000" + std::to_string(outAlternate) + " 0001 0",
            "01 0B 000" + std::to_string(inAlternate) + " 0002 0", "02 01 0000 0082 0", "02 01 0000 0001 0"};
}

// Device controls at configuration completion (the models of the controls table): an endpoint's
// volumes read (current, minimum, maximum of each channel, wValue 0x0200 for one master volume),
// then its mute; once the record is applied, every volume is sent again.
constexpr int kMaster = -1;

std::string hex4(unsigned value)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text(4, '0');
    for (int i = 3; i >= 0; --i, value >>= 4) {
        text[static_cast<size_t>(i)] = digits[value & 0xF];
    }
    return text;
}

Lines volumeReads(unsigned unit, int channels)
{
    Lines lines;
    const int first = channels == kMaster ? 0 : 1;
    const int last = channels == kMaster ? 0 : channels;
    for (int channel = first; channel <= last; ++channel) {
        for (const char* request : {"81", "82", "83"}) {
            lines.push_back(std::string("A1 ") + request + " " + hex4(0x0200 + channel) + " " + hex4(unit) + " 2");
        }
    }
    return lines;
}

std::string muteRead(unsigned unit)
{
    return "A1 81 0100 " + hex4(unit) + " 1";
}

Lines volumeWrites(unsigned unit, int channels)
{
    Lines lines;
    const int first = channels == kMaster ? 0 : 1;
    const int last = channels == kMaster ? 0 : channels;
    for (int channel = first; channel <= last; ++channel) {
        lines.push_back("21 01 " + hex4(0x0200 + channel) + " " + hex4(unit) + " 2");
    }
    return lines;
}

// An endpoint with volume and mute in one unit: its reads.
Lines endpointReads(unsigned unit, int channels)
{
    Lines lines = volumeReads(unit, channels);
    lines.push_back(muteRead(unit));
    return lines;
}

Lines joined(std::initializer_list<Lines> parts)
{
    Lines lines;
    for (const Lines& part : parts) {
        lines.insert(lines.end(), part.begin(), part.end());
    }
    return lines;
}

// Configuration completion asks the family status register (vendor request 0x49): read, the
// internal-clock bit written, the rate, read back, the rate twice; after the converter choice
// read again (the settings now as the register reported them) and the rate.
Lines withStatusDialogue(Lines lines)
{
    for (const char* line : {"C0 49 0000 0000 1", "40 49 0002 0000 0", "A2 81 0100 0082 3", "C0 49 0000 0000 1",
                             "A2 81 0100 0082 3", "A2 81 0100 0082 3", "C0 49 0000 0000 1", "A2 81 0100 0082 3"}) {
        lines.push_back(line);
    }
    return lines;
}
// A device of the family is always sent its configuration; the 0A4A:6A02/F1A0 devices also get
// SET_INTERFACE (value 0, index 2) addressed to the device.
const Lines kFamilyConfigure = withStatusDialogue({"00 09 0001 0000 0", "00 0B 0000 0002 0", "01 0B 0002 0001 0",
                                                   "01 0B 0002 0002 0", "02 01 0000 0082 0", "02 01 0000 0001 0"});
const Lines kF1A0Configure = withStatusDialogue({"80 08 0000 0000 1", "00 0B 0000 0002 0", "01 0B 0002 0001 0",
                                                 "01 0B 0002 0002 0", "02 01 0000 0082 0", "02 01 0000 0001 0"});

// The MIDI engine opens its pipes last, each with its stall cleared: OUT, then IN.
Lines withMidiPipes(Lines lines, uint8_t out, uint8_t in)
{
    char line[32];
    for (const uint8_t endpoint : {out, in}) {
        std::snprintf(line, sizeof line, "02 01 0000 00%02X 0", static_cast<unsigned>(endpoint));
        lines.push_back(line);
    }
    return lines;
}

const char* const kRates96 = "44100 48000 88200 96000";
const char* const kRates192 = "44100 48000 88200 96000 176400 192000";

std::string alt(const std::string& number, const std::string& format, const std::string& rates,
                const std::string& endpoints)
{
    return "  alt " + number + " " + format + " " + rates + " " + endpoints;
}

// The TEAC models: vendor interfaces 1 and 2 relabelled as streaming and 3 as MIDI; no
// substitute is built for them (not of the list that gets one), so their own 16- and 24-bit
// stereo alternates stand.
Lines teacDescription(const char* inEndpoint)
{
    return {"config 1 ifs 4",
            " if 0 sub 0",
            " if 1 sub 2",
            alt("1", "2x16", "44100 48000", "ep 01/104"),
            alt("2", "2x24", "44100 48000", "ep 01/156"),
            " if 2 sub 2",
            alt("1", "2x16", "44100 48000", "ep 82/104"),
            alt("2", "2x24", "44100 48000", inEndpoint),
            " if 3 sub 3"};
}

// Plain class stereo: 2 x 24 at 44.1/48 kHz on alternate 1 each way, chosen as it stands.
ModelCase plainStereo(const char* name, Lines configure = classConfigure(1, 1))
{
    return {.name = name,
            .start = startRequests(190),
            .description = classDescription({alt("1", "2x24", "44100 48000", "ep 01/294")},
                                            {alt("1", "2x24", "44100 48000", "ep 82/294")}),
            .settings = "44100 in 2x24 out 2x24",
            .chosen = "ctl 0 midi - in 2/1 out 1/1 isoIn 82 isoOut 01",
            .configure = std::move(configure)};
}

// TEAC: not of the family, so no firmware request; interfaces searched as class 0xFF; the
// model's default 2 x 2 channels at 24 bits.
ModelCase teac(const char* name, const char* inEndpoint)
{
    return {.name = name,
            .start = startRequests(243),
            .description = teacDescription(inEndpoint),
            .settings = "44100 in 2x24 out 2x24",
            .chosen = "ctl - midi 3/0 in 2/2 out 1/2 isoIn 82 isoOut 01",
            .configure = withMidiPipes(classConfigure(2, 2), 0x04, 0x84)};
}

// The maker's bulk interface, not listed: no streaming interface, so the search ends at once
// with no channels and the configuration fails before any request.
ModelCase unlistedBulk(const char* name, unsigned totalLength)
{
    return {.name = name,
            .start = startRequests(totalLength),
            .description = {"config 1 ifs 2", " if 0 sub 0", " if 1 sub 0"},
            .configures = false,
            .settings = "44100 in 0x0 out 0x0",
            .chosen = "ctl - midi 0/0 in - out -"};
}

// Bulk in, isochronous out: output 0, input 1 whose isochronous IN endpoint becomes the
// feedback pipe and whose bulk endpoint carries the samples.
ModelCase bulkInFeedback(const char* name)
{
    return {.name = name,
            .start = startRequests(138),
            .description = {"config 1 ifs 2", " if 0 sub 2", alt("1", "2x24", kRates96, "ep 02/78"),
                            " if 1 sub 2", alt("1", "2x24", kRates96, "ep 81/64 ep 86/512")},
            .settings = "44100 in 2x24 out 2x24",
            .chosen = "ctl - midi - in 1/1 out 0/1 bulkIn 86 feedback 81 isoOut 02",
            .configure = {"80 08 0000 0000 1", "01 0B 0001 0000 0", "01 0B 0001 0001 0", "02 01 0000 0081 0",
                          "02 01 0000 0086 0", "02 01 0000 0002 0"}};
}

// Elektron: vendor interfaces 0 (in) and 1 (out) made streaming with the fixed 48 kHz alternates,
// one per (channels, bits); alternate 5 carries a second record. Control 2, MIDI 3, vendor port 4.
// The output endpoints have room for a 104-byte header and 7 frames per microframe.
Lines elektronAlternates(const std::string& endpoint, const std::array<int, 7>& sizes)
{
    const std::string ep = "ep " + endpoint + "/";
    const auto at = [&](size_t alternate) { return ep + std::to_string(sizes[alternate - 1]); };
    return {alt("1", "0x16", "48000", at(1)), alt("2", "2x16", "48000", at(2)),
            alt("3", "2x24", "48000", at(3)), alt("4", "4x16", "48000", at(4)),
            alt("5", "4x24", "48000", at(5)), alt("5", "6x16", "48000", at(5)),
            alt("6", "8x16", "48000", at(6)), alt("7", "6x24", "48000", at(7))};
}

Lines elektronDescription()
{
    Lines lines = {"config 1 ifs 5", " if 0 sub 2"};
    for (const auto& line : elektronAlternates("81", {14, 42, 56, 70, 98, 126, 140})) {
        lines.push_back(line);
    }
    lines.push_back(" if 1 sub 2");
    for (const auto& line : elektronAlternates("02", {104, 132, 146, 160, 188, 216, 230})) {
        lines.push_back(line);
    }
    lines.insert(lines.end(), {" if 2 sub 1", " if 3 sub 3", " if 4 sub 0"});
    return lines;
}

// The identity requests (8-byte UID, name of up to 32 bytes), then the default of an
// uninitialised channel map (48 kHz, 2 inputs at 16 bits, no outputs) met by the fixed alternates
// 2 (in) and 1 (out); the out alternate's endpoint carries the packet headers alone. Configuration
// completion sends the channel map to both streaming interfaces.
ModelCase elektron(const char* name)
{
    return {.name = name,
            .start = startRequests(341, {"C0 00 0000 0000 8", "C0 01 0000 0000 32"}),
            .description = elektronDescription(),
            .settings = "48000 in 2x16 out 0x16",
            .chosen = "ctl 2 midi 3/0 in 0/2 out 1/1 isoIn 81 isoOut 02",
            .configure = joined({withMidiPipes({"80 08 0000 0000 1", "01 0B 0001 0001 0", "01 0B 0002 0000 0",
                                                 "02 01 0000 0081 0", "02 01 0000 0002 0"},
                                                0x03, 0x83),
                                  {"41 01 0000 0000 8", "41 01 0000 0001 8"}})};
}

const std::vector<ModelCase>& build()
{
    static const std::vector<ModelCase> cases = {
        // Test devices of the bus: 16- and 24-bit stereo alternates, the 24-bit ones chosen.
        {.name = "class-audio",
         .start = startRequests(282),
         .description = classDescription(
             {alt("1", "2x16", "44100 48000", "ep 01/196"), alt("2", "2x24", "44100 48000", "ep 01/294")},
             {alt("1", "2x16", "44100 48000", "ep 82/196"), alt("2", "2x24", "44100 48000", "ep 82/294")}),
         .settings = "44100 in 2x24 out 2x24",
         .chosen = "ctl 0 midi - in 2/2 out 1/2 isoIn 82 isoOut 01",
         .configure = classConfigure(2, 2)},
        // Its feedback endpoint goes with the output alternates; only the family's bulk-in devices
        // take a feedback pipe.
        {.name = "class-audio-feedback",
         .start = startRequests(300),
         .description = classDescription(
             {alt("1", "2x16", "44100 48000", "ep 01/196 ep 83/3"),
              alt("2", "2x24", "44100 48000", "ep 01/294 ep 83/3")},
             {alt("1", "2x16", "44100 48000", "ep 82/196"), alt("2", "2x24", "44100 48000", "ep 82/294")}),
         .settings = "44100 in 2x24 out 2x24",
         .chosen = "ctl 0 midi - in 2/2 out 1/2 isoIn 82 isoOut 01",
         .configure = classConfigure(2, 2)},
        unlistedBulk("0A4A:FFDD", 41),
        unlistedBulk("0A4A:FFDD@0200", 41),
        plainStereo("class-audio-24"),
        // The same with a MIDI streaming interface, which the MIDI engine claims and opens.
        {.name = "class-audio-midi",
         .start = startRequests(213),
         .description = [] {
             Lines lines = classDescription({alt("1", "2x24", "44100 48000", "ep 01/294")},
                                            {alt("1", "2x24", "44100 48000", "ep 82/294")}, "4");
             lines.push_back(" if 3 sub 3");
             return lines;
         }(),
         .settings = "44100 in 2x24 out 2x24",
         .chosen = "ctl 0 midi 3/0 in 2/1 out 1/1 isoIn 82 isoOut 01",
         .configure = withMidiPipes(classConfigure(1, 1), 0x03, 0x83)},
        // Its output volume (2 channels) and mute in unit 2.
        plainStereo("077D:0420", joined({classConfigure(1, 1), endpointReads(0x0200, 2), volumeWrites(0x0200, 2)})),
        // Of the family at bcd 0200: firmware read at start; alternate 1 of both streaming
        // interfaces cleared; alternate 2's first class record (its AS general) rewritten as a
        // 192 kHz format, the device's own format record behind it.
        {.name = "Kelvra-UC3",
         .start = startRequests(282, kFirmwareVersion),
         .description = classDescription(
             {alt("2", "2x24", kRates192, "ep 01/156"), alt("2", "2x24", "44100 48000", "ep 01/156")},
             {alt("2", "2x24", kRates192, "ep 82/156"), alt("2", "2x24", "44100 48000", "ep 82/156")}),
         .settings = "44100 in 2x24 out 2x24",
         .chosen = "ctl 0 midi - in 2/2 out 1/2 isoIn 82 isoOut 01",
         .configure = kFamilyConfigure},
        // bcd 0100 at high speed: 192 kHz on the output interface only (the device's own record
        // behind it), alternate 1 of both cleared; not of the family, so the configuration is asked
        // for first.
        {.name = "Kelvra-UC3@0100",
         .start = startRequests(282, kFirmwareVersion),
         .description = classDescription(
             {alt("2", "2x24", kRates192, "ep 01/156"), alt("2", "2x24", "44100 48000", "ep 01/156")},
             {alt("2", "2x24", "44100 48000", "ep 82/156")}),
         .settings = "44100 in 2x24 out 2x24",
         .chosen = "ctl 0 midi - in 2/2 out 1/2 isoIn 82 isoOut 01",
         .configure = kF1A0Configure},
        {.name = "0A4A:F1A0",
         .start = startRequests(282, kFirmwareVersion),
         .description = classDescription(
             {alt("2", "2x24", kRates192, "ep 01/156"), alt("2", "2x24", "44100 48000", "ep 01/156")},
             {alt("2", "2x24", "44100 48000", "ep 82/156")}),
         .settings = "44100 in 2x24 out 2x24",
         .chosen = "ctl 0 midi - in 2/2 out 1/2 isoIn 82 isoOut 01",
         .configure = kF1A0Configure},
        // Listed as of the family, with the substitute flag: firmware read at start; its model's
        // substitute clears alternate 1 of both streaming interfaces and rewrites alternate 2's
        // first records (the AS general as the 6-channel format, the device's own 6-channel record
        // as the 4-channel one of 176.4/192 kHz; the device's own records behind). The record's
        // high-speed defaults (6 x 24 each way; no rate word, so its first rate) and interfaces; the
        // record names no MIDI interface, and the device has none. Always sent its configuration,
        // then the status register dialogue.
        {.name = "Crimson-SPL",
         .start = startRequests(332, kFirmwareVersion),
         .description = classDescription({alt("2", "6x24", kRates96, "ep 01/468 ep 83/3"),
                                          alt("2", "4x24", "176400 192000", "ep 01/468 ep 83/3"),
                                          alt("2", "4x24", "176400 192000", "ep 01/468 ep 83/3")},
                                         {alt("2", "6x24", kRates192, "ep 82/468"),
                                          alt("2", "6x24", kRates192, "ep 82/468")}),
         .started = "44100 in 6x24 out 6x24",
         .settings = "44100 in 6x24 out 6x24",
         .chosen = "ctl 0 midi - in 2/2 out 1/2 isoIn 82 isoOut 01",
         .configure = withStatusDialogue({"00 09 0001 0000 0", "01 0B 0002 0001 0", "01 0B 0002 0002 0",
                                          "02 01 0000 0082 0", "02 01 0000 0001 0"})},
        // Unlisted and not of the substitute list: its own descriptors; 16 out / 24 in channels asked
        // for by model.
        {.name = "Pellirun",
         .start = startRequests(282),
         .description = classDescription(
             {alt("1", "2x16", "44100 48000", "ep 01/28"), alt("2", "16x24", "44100 48000", "ep 01/336")},
             {alt("1", "2x16", "44100 48000", "ep 82/28"), alt("2", "24x24", "44100 48000", "ep 82/504")}),
         .settings = "44100 in 24x24 out 16x24",
         .chosen = "ctl 0 midi - in 2/2 out 1/2 isoIn 82 isoOut 01",
         .configure = classConfigure(2, 2)},
        // Listed with the substitute flag: vendor interfaces 1 and 2 made streaming with alternates
        // 3-8 at one rate each (2 x 32), asked for by model; searched as class 0xFF, streamed over
        // interrupt pipes.
        {.name = "Tessaly",
         .start = startRequests(265),
         .description = {"config 1 ifs 4", " if 0 sub 1", " if 1 sub 2",
                         alt("3", "2x32", "44100", "ep 01/208"), alt("4", "2x32", "48000", "ep 01/208"),
                         alt("5", "2x32", "88200", "ep 01/208"), alt("6", "2x32", "96000", "ep 01/208"),
                         alt("7", "2x32", "176400", "ep 01/208"), alt("8", "2x32", "192000", "ep 01/208"),
                         " if 2 sub 2", alt("3", "2x32", "44100", "ep 82/208"),
                         alt("4", "2x32", "48000", "ep 82/208"), alt("5", "2x32", "88200", "ep 82/208"),
                         alt("6", "2x32", "96000", "ep 82/208"), alt("7", "2x32", "176400", "ep 82/208"),
                         alt("8", "2x32", "192000", "ep 82/208"), " if 3 sub 3"},
         .started = "44100 in 2x32 out 2x32",
         .settings = "44100 in 2x32 out 2x32",
         .chosen = "ctl - midi 3/0 in 2/3 out 1/3 intIn 82 intOut 01",
         .configure = withMidiPipes({"80 08 0000 0000 1", "01 0B 0003 0001 0", "01 0B 0003 0002 0",
                                     "02 01 0000 0082 0", "02 01 0000 0001 0"},
                                    0x04, 0x84)},
        teac("US-322", "ep 82/156"),
        teac("US-366", "ep 82/468"),
        teac("UH-7000", "ep 82/468"),
        teac("US-1200", "ep 82/156"),
        // Patched into control 0 and streaming 1, whose alternate 1 (both directions) gets the fixed
        // 2 x 24 format; opened once, searched as class 0xFF.
        {.name = "MBox",
         .start = startRequests(50),
         .description = {"config 1 ifs 2", " if 0 sub 1", " if 1 sub 2",
                         alt("1", "2x24", "44100 48000", "ep 02/294 ep 81/294")},
         .settings = "44100 in 2x24 out 2x24",
         .chosen = "ctl 0 midi - in 1/1 out 1/1 isoIn 81 isoOut 02",
         .configure = {"80 08 0000 0000 1", "01 0B 0001 0001 0", "02 01 0000 0081 0", "02 01 0000 0002 0"}},
        // Start-up poll until the device answers 2 (fourth answer); the format-less alternates get
        // the fixed format, every list reads 44.1/48 kHz; out 2, analog in 4.
        {.name = "MBox2",
         .start = startRequests(
             517, {}, {"C0 85 0001 0001 1", "C0 85 0001 0001 1", "C0 85 0001 0001 1", "C0 85 0001 0001 1"}),
         .description = {"config 1 ifs 6",
                         " if 0 sub 3",
                         " if 1 sub 1",
                         " if 2 sub 2",
                         alt("1", "2x16", "44100 48000", "ep 03/196"),
                         alt("2", "2x24", "44100 48000", "ep 03/294"),
                         alt("3", "2x24", "44100 48000", "ep 03/294"),
                         " if 3 sub 2",
                         alt("1", "2x16", "44100 48000", "ep 04/196"),
                         alt("2", "2x24", "44100 48000", "ep 04/294"),
                         alt("3", "2x24", "44100 48000", "ep 04/294"),
                         alt("6", "2x24", "44100 48000", "ep 04/294"),
                         " if 4 sub 2",
                         alt("1", "2x16", "44100 48000", "ep 85/196"),
                         alt("2", "2x24", "44100 48000", "ep 85/294"),
                         alt("3", "2x24", "44100 48000", "ep 85/294"),
                         " if 5 sub 2",
                         alt("1", "2x16", "44100 48000", "ep 86/196"),
                         alt("2", "2x24", "44100 48000", "ep 86/294"),
                         alt("3", "2x24", "44100 48000", "ep 86/294")},
         .settings = "44100 in 2x24 out 2x24",
         .chosen = "ctl 1 midi 0/0 in 4/2 out 2/2 isoIn 85 isoOut 03",
         .configure = withMidiPipes({"80 08 0000 0000 1", "01 0B 0002 0002 0", "01 0B 0002 0004 0",
                                     "02 01 0000 0085 0", "02 01 0000 0003 0"},
                                    0x07, 0x87)},
        // PIC commands at start (set 129, get 130, after the configuration is set for them) and after
        // each configuration; bit resolutions patched to 24, every list read as 32/44.1/48 kHz.
        {.name = "USBPre",
         .start = startRequests(635, {}, {"00 09 0001 0000 0", "40 01 00F0 01F0 1", "C0 81 00F0 0000 1"}),
         .description = classDescription({alt("1", "2x16", "32000 44100 48000", "ep 01/196"),
                                          alt("2", "1x16", "32000 44100 48000", "ep 01/98"),
                                          alt("3", "1x24", "32000 44100 48000", "ep 01/147"),
                                          alt("4", "2x24", "32000 44100 48000", "ep 01/294"),
                                          alt("5", "2x24", "32000 44100 48000", "ep 01/294")},
                                         {alt("1", "2x16", "32000 44100 48000", "ep 82/132"),
                                          alt("2", "2x16", "32000 44100 48000", "ep 82/184"),
                                          alt("3", "2x16", "32000 44100 48000", "ep 82/196"),
                                          alt("4", "1x16", "32000 44100 48000", "ep 82/98"),
                                          alt("5", "2x24", "32000 44100 48000", "ep 82/276"),
                                          alt("6", "2x24", "32000 44100 48000", "ep 82/294")}),
         .settings = "44100 in 2x24 out 2x24",
         .chosen = "ctl 0 midi - in 2/5 out 1/4 isoIn 82 isoOut 01",
         .configure = {"80 08 0000 0000 1", "01 0B 0004 0001 0", "01 0B 0005 0002 0", "02 01 0000 0082 0",
                       "02 01 0000 0001 0", "40 01 00F0 01F0 1"}},
        // Byte 164 patched: the output endpoint's bInterval 0 becomes 1, so the endpoint stays.
        {.name = "1ACC:0049",
         .start = startRequests(232),
         .description = classDescription({alt("1", "2x24",
                                              "8000 11025 12000 16000 22050 24000 32000 37800 44056 44100 "
                                              "47250 48000 64000 88200 96000",
                                              "ep 01/582")},
             {alt("1", "2x24", "44100 48000 96000", "ep 82/582")}),
         .settings = "44100 in 2x24 out 2x24",
         .chosen = "ctl 0 midi - in 2/1 out 1/1 isoIn 82 isoOut 01",
         .configure = classConfigure(1, 1)},
        // Interface 0 patched to streaming, alternate 1 cleared, alternate 2 given the fixed format;
        // output only, so the input is given up.
        {.name = "1604:8006",
         .start = startRequests(89),
         .description = {"config 1 ifs 2", " if 0 sub 2", alt("2", "2x24", "44100 48000", "ep 01/294"),
                         " if 1 sub 1"},
         .settings = "44100 in 0x0 out 2x24",
         .chosen = "ctl 1 midi - in - out 0/2 isoOut 01",
         .configure = {"80 08 0000 0000 1", "01 0B 0002 0000 0", "02 01 0000 0001 0"}},
        // Both searches of the scan find 24 bits: the 16-bit records are cleared.
        {.name = "0CCD:0014",
         .start = startRequests(294),
         .description = classDescription({alt("2", "2x24", "44100 48000 96000", "ep 01/582")},
                                         {alt("2", "2x24", "44100 48000 96000", "ep 82/582")}),
         .settings = "44100 in 2x24 out 2x24",
         .chosen = "ctl 0 midi - in 2/2 out 1/2 isoIn 82 isoOut 01",
         .configure = classConfigure(2, 2)},
        // The second record of alternate 1 says 2 channels and is set to 8; model defaults 96 kHz
        // 8 x 24.
        {.name = "03EB:4308",
         .start = startRequests(202),
         .description = classDescription({alt("1", "8x24", kRates96, "ep 01/312")},
                                         {alt("1", "8x24", kRates96, "ep 82/312")}),
         .started = "96000 in 8x24 out 8x24",
         .settings = "96000 in 8x24 out 8x24",
         .chosen = "ctl 0 midi - in 2/1 out 1/1 isoIn 82 isoOut 01",
         .configure = classConfigure(1, 1)},
        // 88.2 and 96 kHz removed; the model's 2 x 16 default matches nothing, and the channel ladder
        // first meets 4 in / 2 out at 24 bits.
        {.name = "0A4E:4040",
         .start = startRequests(358),
         .description = classDescription(
             {alt("1", "2x24", "44100 48000", "ep 01/78"), alt("2", "1x24", "44100 48000", "ep 01/39")},
             {alt("1", "4x16", "44100 48000", "ep 82/104"), alt("2", "4x24", "44100 48000", "ep 82/156"),
              alt("3", "1x24", "44100 48000", "ep 82/39")}),
         .started = "44100 in 2x16 out 2x16",
         .settings = "44100 in 4x24 out 2x24",
         .chosen = "ctl 0 midi - in 2/2 out 1/1 isoIn 82 isoOut 01",
         // Its monitor mode read.
         .configure = joined({classConfigure(1, 2), {"C1 81 0000 0030 1"}})},
        // The 6-channel record cleared, the MIDI interface neutralised; only 48 kHz 16 bits, met
        // on the rate ladder.
        {.name = "Extigy",
         .start = startRequests(257),
         .description = {"config 1 ifs 4", " if 0 sub 1", " if 1 sub 2",
                         alt("1", "2x16", "48000", "ep 01/196"), " if 2 sub 2",
                         alt("1", "2x16", "48000", "ep 82/196"), " if 3 sub 0"},
         .settings = "48000 in 2x16 out 2x16",
         .chosen = "ctl 0 midi - in 2/1 out 1/1 isoIn 82 isoOut 01",
         // Its controls: monitor mic, line and digital; the inputs line, mic and monitor in one unit
         // and their selector; wave and master out. Applied: every volume sent again.
         .configure = joined({classConfigure(1, 1), endpointReads(0x0A00, kMaster), endpointReads(0x0800, 2),
                              endpointReads(0x0600, kMaster), endpointReads(0x0C00, kMaster),
                              endpointReads(0x0C00, kMaster), endpointReads(0x0C00, kMaster),
                              {"A1 81 0000 0B00 1"}, endpointReads(0x0200, kMaster), endpointReads(0x1200, 2),
                              volumeWrites(0x0A00, kMaster), volumeWrites(0x0800, 2), volumeWrites(0x0600, kMaster),
                              volumeWrites(0x0200, kMaster), volumeWrites(0x1200, 2)})},
        // First-scan defaults 2 x 16 at 44.1 kHz; the 24-bit records cleared (their layout has no
        // converter).
        {.name = "0763:2003",
         .start = startRequests(294),
         .description = classDescription({alt("1", "2x16", "44100 48000 96000", "ep 01/388")},
                                         {alt("1", "2x16", "44100 48000 96000", "ep 82/388")}),
         .started = "44100 in 2x16 out 2x16",
         .settings = "44100 in 2x16 out 2x16",
         .chosen = "ctl 0 midi - in 2/1 out 1/1 isoIn 82 isoOut 01",
         .configure = classConfigure(1, 1)},
        // Its second configuration cannot be read: it starts with the first alone. Its class 2
        // format records (6 bytes) are too short to read as type I formats; the substitute's
        // 2 x 32 to 192 kHz is the only record.
        {.name = "XMOS",
         // Looking for configuration value 2, the USB family reads the first header again.
         .start = {"80 06 0301 0409 255", "80 06 0302 0409 255", "80 06 0100 0000 18", "80 06 0200 0000 9",
                   "80 06 0200 0000 218", "80 06 0200 0000 9", "80 06 0201 0000 9", "00 09 0001 0000 0",
                   "80 06 0100 0000 18"},
         .description = classDescription({alt("1", "2x32", kRates192, "ep 01/208 ep 81/4")},
                                         {alt("1", "2x32", kRates192, "ep 82/208")}),
         .settings = "44100 in 2x32 out 2x32",
         .chosen = "ctl 0 midi - in 2/1 out 1/1 isoIn 82 isoOut 01",
         .configure = classConfigure(1, 1)},
        elektron("1935:0006"),
        elektron("1935:0006@0002"),
        elektron("1935:0006@0001"),
        elektron("1935:0004"),
        elektron("1935:0008"),
        // High speed class devices: 16- and 24-bit stereo at 44.1/48/96 kHz, data pipes every
        // microframe (packets of 13 frames at most) or every millisecond (97 frames).
        {.name = "class-audio-hs",
         .start = startRequests(294),
         .description = classDescription({alt("1", "2x16", "44100 48000 96000", "ep 01/52"),
                                          alt("2", "2x24", "44100 48000 96000", "ep 01/78")},
                                         {alt("1", "2x16", "44100 48000 96000", "ep 82/52"),
                                          alt("2", "2x24", "44100 48000 96000", "ep 82/78")}),
         .settings = "44100 in 2x24 out 2x24",
         .chosen = "ctl 0 midi - in 2/2 out 1/2 isoIn 82 isoOut 01",
         .configure = classConfigure(2, 2)},
        {.name = "class-audio-hs-interval4",
         .start = startRequests(294),
         .description = classDescription({alt("1", "2x16", "44100 48000 96000", "ep 01/388"),
                                          alt("2", "2x24", "44100 48000 96000", "ep 01/582")},
                                         {alt("1", "2x16", "44100 48000 96000", "ep 82/388"),
                                          alt("2", "2x24", "44100 48000 96000", "ep 82/582")}),
         .settings = "44100 in 2x24 out 2x24",
         .chosen = "ctl 0 midi - in 2/2 out 1/2 isoIn 82 isoOut 01",
         .configure = classConfigure(2, 2)},
        // Only 32-channel alternates: the default search (stereo, then the channel ladder) finds none.
        {.name = "class-audio-hs-32ch",
         .start = startRequests(294),
         .description = classDescription(
             {alt("1", "32x16", kRates96, "ep 01/832"), alt("2", "32x24", "44100 48000", "ep 01/672")},
             {alt("1", "32x16", kRates96, "ep 82/832"), alt("2", "32x24", "44100 48000", "ep 82/672")}),
         .configures = false,
         .settings = "96000 in 0x16 out 2x16",
         .chosen = "ctl 0 midi - in - out -"},
        // Output only: no input interface, no input channels; only the out pipe's halt is cleared.
        {.name = "class-audio-out-only",
         .start = startRequests(149),
         .description = {"config 1 ifs 2", " if 0 sub 1", " if 1 sub 2",
                         alt("1", "2x16", "44100 48000", "ep 01/196"),
                         alt("2", "2x24", "44100 48000", "ep 01/294")},
         .settings = "44100 in 0x0 out 2x24",
         .chosen = "ctl 0 midi - in - out 1/2 isoOut 01",
         .configure = {"80 08 0000 0000 1", "01 0B 0002 0001 0", "02 01 0000 0001 0"}},
        // As the US-144 MKII, its feedback endpoint at bInterval 4.
        bulkInFeedback("0644:8030"),
        // Stereo 16 and 24 bits and mono 24 bits at 44.1/48/96 kHz; it starts with a 16-bit stream.
        {.name = "Mindprint",
         .start = startRequests(392),
         .description = classDescription({alt("1", "2x16", "44100 48000 96000", "ep 01/388"),
                                          alt("2", "2x24", "44100 48000 96000", "ep 01/582"),
                                          alt("3", "1x24", "44100 48000 96000", "ep 01/291")},
                                         {alt("1", "2x16", "44100 48000 96000", "ep 82/388"),
                                          alt("2", "2x24", "44100 48000 96000", "ep 82/582"),
                                          alt("3", "1x24", "44100 48000 96000", "ep 82/291")}),
         .started = "44100 in 2x16 out 2x16",
         .settings = "44100 in 2x16 out 2x16",
         .chosen = "ctl 0 midi - in 2/1 out 1/1 isoIn 82 isoOut 01",
         // Its monitor switch read.
         .configure = joined({classConfigure(1, 1), {"C1 81 0000 0001 1"}})},
        // Unlisted, as the 0A4A:FFDD: its keep-alive endpoint is not looked at.
        unlistedBulk("0A4A:FFDD@0300", 48),
        bulkInFeedback("US-144-MKII"),
        // Alternates 1 cleared, output alternate 2 given 32-192 kHz (its own record behind); no
        // stereo left, the channel ladder meets 4 x 4 at 24 bits.
        {.name = "0926:0201",
         .start = startRequests(282),
         .description =
             classDescription({alt("2", "4x24", "32000 44100 48000 88200 96000 176400 192000", "ep 01/300"),
                               alt("2", "4x24", "44100 48000", "ep 01/300")},
                              {alt("2", "4x24", "44100 48000", "ep 82/84")}),
         .settings = "44100 in 4x24 out 4x24",
         .chosen = "ctl 0 midi - in 2/2 out 1/2 isoIn 82 isoOut 01",
         .configure = classConfigure(2, 2)},
        // Two output interfaces rebuilt to 96 kHz (their own records behind); output on interface 1,
        // no input.
        {.name = "Play-16/24",
         .start = startRequests(282),
         .description =
             {"config 1 ifs 3", " if 0 sub 1", " if 1 sub 2", alt("1", "2x16", kRates96, "ep 01/388"),
              alt("1", "2x16", "44100 48000", "ep 01/388"), alt("2", "2x24", kRates96, "ep 01/582"),
              alt("2", "2x24", "44100 48000", "ep 01/582"), " if 2 sub 2",
              alt("1", "2x16", kRates96, "ep 02/388"), alt("1", "2x16", "44100 48000", "ep 02/388"),
              alt("2", "2x24", kRates96, "ep 02/582"), alt("2", "2x24", "44100 48000", "ep 02/582")},
         .settings = "44100 in 0x0 out 2x24",
         .chosen = "ctl 0 midi - in - out 1/2 isoOut 01",
         // Configuration completion sets the output interface to alternate 0 (three tries), then
         // reads and sends the headphone and speaker volumes.
         .configure = joined({{"80 08 0000 0000 1", "01 0B 0002 0001 0", "02 01 0000 0001 0", "01 0B 0000 0001 0"},
                              endpointReads(0x0C00, 2), endpointReads(0x0B00, 2), volumeWrites(0x0C00, 2),
                              volumeWrites(0x0B00, 2)})},
        // Standard requests only at this stage, so its 2 ms pause shows in no request.
        plainStereo("1235:0002"),
        {.name = "0499:100B",
         .start = startRequests(236),
         .description = classDescription(
             {alt("1", "2x24", "44100 48000", "ep 01/294"), alt("2", "2x16", "44100 48000", "ep 01/196")},
             {alt("1", "2x24", "44100 48000", "ep 82/294")}),
         .settings = "44100 in 2x24 out 2x24",
         .chosen = "ctl 0 midi - in 2/1 out 1/1 isoIn 82 isoOut 01",
         // Its wave output's volume and mute.
         .configure = joined({classConfigure(1, 1), endpointReads(0x0900, 2), volumeWrites(0x0900, 2)})},
        // Plain stereo; configuration completion sets the monitor mix control of unit 0x12, then
        // reads its controls: the 8-channel mix, the line and monitor inputs' master volumes, the
        // three outputs' mutes; applied, the mix's volumes are sent again.
        plainStereo("041E:3020", joined({classConfigure(1, 1), {"21 01 0100 1200 1"}, endpointReads(0x1200, 8),
                                         volumeReads(0x0C00, kMaster), volumeReads(0x0B00, kMaster),
                                         {muteRead(0x1E00), muteRead(0x1C00), muteRead(0x1600)},
                                         volumeWrites(0x1200, 8)})),
        // Plain stereo; their own requests come at the start of streaming. 0746:7701's output mute is
        // read at configuration.
        plainStereo("0746:7701", joined({classConfigure(1, 1), {muteRead(0x0200)}})),
        plainStereo("0010:1101"),
        plainStereo("0582:000F"),
        // The maker's class device, not of the family; the channel ladder takes its 6 inputs.
        {.name = "Veskaro",
         .start = startRequests(190),
         .description = classDescription({alt("1", "2x24", "44100 48000", "ep 01/42")},
                                         {alt("1", "6x24", "44100 48000", "ep 82/126")}),
         .settings = "44100 in 6x24 out 2x24",
         .chosen = "ctl 0 midi - in 2/1 out 1/1 isoIn 82 isoOut 01",
         .configure = classConfigure(1, 1)},
    };
    return cases;
}

} // namespace

std::span<const ModelCase> modelCases()
{
    return build();
}

void PrintTo(const ModelCase& model, std::ostream* out)
{
    *out << model.name;
}

} // namespace driver_models
