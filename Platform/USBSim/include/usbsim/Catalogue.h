// The catalogue of simulated device models: every model the kernel host, the tests and the fuzz
// targets can attach, by a name that is one command-line word. Models the driver treats by
// model carry the name of the driver's model registry (spaces written as '-'), or their ids
// ("0763:2003") when the registry names them so; a second revision of the same ids carries
// "@bcd" ("Kelvra-UC3@0100").
//
// Streaming models (the audio models run on their own sample clock, which a test may put off by a
// number of ppm with AudioModel::setClockPpm; input packet sizes and feedback values follow it;
// each model packs its samples with its own codec, never the driver's converters):
//   class-audio, class-audio-feedback  full speed stereo 16/24 bits, 44.1/48 kHz, output looped back
//                                      to input bit-exact; the second with a 3-byte feedback endpoint
//   class-audio-hs            2912:3101  high speed stereo 16/24 bits at 44.1/48/96 kHz, data pipes at
//                                        bInterval 1 (microframe packets: 5-7 frames each at 48 kHz),
//                                        implicit feedback, output looped back to input bit-exact
//   class-audio-hs-interval4  2912:3104  the same with both data pipes at bInterval 4 (one packet per
//                                        millisecond, about 48 frames at 48 kHz)
//   class-audio-hs-32ch       2912:3132  high speed, 32 channels each way in microframe packets: 16
//                                        bits at 44.1-96 kHz (alternate 1), 24 bits at 44.1/48 kHz
//                                        (alternate 2)
//   class-audio-out-only      2912:3110  full speed, an output streaming interface only (sync to
//                                        output); what it played is captured
//   0644:8030                            high speed bulk-in/isochronous-out device: isochronous output
//                                        (interface 0) and a feedback endpoint at bInterval 4 on
//                                        interface 1 (3-byte packets, byte 0 = frames per millisecond)
//   US-144-MKII                          the same layout with its feedback endpoint at bInterval 1
//                                        (byte 0 = frames per microframe)
//   1935:0006 (bcd 3), 1935:0006@0002, 1935:0006@0001, 1935:0004, 1935:0008
//                                        Elektron: 48 kHz only, microframe packets; output packets
//                                        carry a 104-byte header (count, first non-zero extra byte,
//                                        big-endian running total, 2 extra bytes per frame from byte
//                                        6), which the model checks; input is plain PCM. Every
//                                        revision streams when asked (the driver streams bcd 3 only)
//   Mindprint                 133E:6000  full speed, 44.1/48/96 kHz at an exact clock; stereo 16/24
//                                        bits with the channels swapped, mono 24 bits in the
//                                        high-low-middle byte order
//   Kelvra-UC3 (both), 0A4A:F1A0, Crimson-SPL, Pellirun
//                                        the maker's class devices stream their alternates at high
//                                        speed in microframe packets (Crimson-SPL's output at 6
//                                        channels only; its feedback endpoint 0x83 reports per
//                                        microframe)
//   0CCD:0014, 0763:2003, 1235:0002      full speed class devices: stereo 16/24 bits to 96 kHz,
//                                        16 bits only on 0763:2003 (its 24-bit layout is not known),
//                                        24 bits at 44.1/48 kHz on 1235:0002
//   0A4A:FFDD@0300                       the maker's bulk interface (bcd 0300) with a keep-alive
//                                        isochronous OUT endpoint of 4 bytes on interface 0, whose
//                                        packets it counts (the driver takes the keep-alive pipe of
//                                        a listed bulk device only)
// Test side of a streaming model (models::StreamingDevice): outputBalance (frames received against
// frames its clock played), inputOverflows, headers and extraBytes (Elektron), keepAlivePackets,
// capturedOutput and feedInput (AudioModel), setClockPpm.
// Hostile-device knobs: DeviceModel::setEndpointFaults (EndpointFaults: packets of an exact length,
// shortened, empty, without handshake; completions late or held back) and the bus's frame counter
// (Bus::setFrameNumber jumps it, Bus::Options::firstFrame starts it near a wrap,
// Bus::injectUnreadableFrameNumber); DeviceModel::setPacketSource puts a fuzz target's bytes into
// an endpoint's isochronous IN packets.
//
// Thread safety: the catalogue is built once and then only read; any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "usbsim/DeviceModel.h"

namespace usbsim {

struct CatalogueEntry
{
    const char* name;
    const char* description; // what the model is and which driver paths it exercises
    std::shared_ptr<DeviceModel> (*make)();
    // From the model's device descriptor.
    uint16_t vendor = 0;
    uint16_t product = 0;
    uint16_t bcdDevice = 0;
};

// Every model, in catalogue order.
const std::vector<CatalogueEntry>& catalogue();
// The model called `name`, or null.
const CatalogueEntry* findModel(std::string_view name);
// A new device of the model called `name`, or null for an unknown name.
std::shared_ptr<DeviceModel> makeModel(std::string_view name);

} // namespace usbsim
