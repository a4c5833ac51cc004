// What the whole driver must do with each model of the simulated catalogue, written by hand from
// the model's descriptor bytes and reply table: the control requests of its start, the key fields
// of its device description, the stream settings and the interfaces and pipes the default
// configuration ends with, and the control requests of that configuration.
#pragma once

#include <ostream>
#include <span>
#include <string>
#include <vector>

namespace driver_models {

using Lines = std::vector<std::string>;

// Request lines: "bmRequestType bRequest wValue wIndex wLength" in hexadecimal (wLength decimal).
// Description lines:
//   "config V ifs N"                 configuration value and interface slot count
//   " if N sub S"                    slot N: the interface's number and subclass (" if -" when empty)
//   "  alt A CxB r1 r2 ep XX/size"   one per format record: channels x bits, discrete rates (or
//                                    "cont lo-hi"), each endpoint's address and wMaxPacketSize
// Settings: "rate in CxB out CxB", the defaults the start set and what the configuration wrote
// back.
// Chosen: "ctl I midi I/A in I/A out I/A" (control, MIDI or vendor, streaming interfaces:
// interface/alternate, "-" for none), then each pipe set, by member.
struct ModelCase
{
    const char* name = nullptr;
    Lines start = {};
    Lines description = {};
    std::string started = "44100 in 2x24 out 2x24";
    bool configures = true;
    std::string settings = {};
    std::string chosen = {};
    Lines configure = {};
    const char* pending = nullptr; // why the row is skipped until the driver follows it
};

std::span<const ModelCase> modelCases();

// The row's name, for test parameters.
void PrintTo(const ModelCase& model, std::ostream* out);

} // namespace driver_models
