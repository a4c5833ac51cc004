// A device model read from files instead of compiled in: a descriptors file as Linux shows every
// attached device (/sys/bus/usb/devices/<bus>-<port>/descriptors: the 18-byte device descriptor,
// then each configuration descriptor as long as its wTotalLength), and an optional side file with
// what the descriptors do not say (speed, strings, the reply table).
//
// The files become the same ModelData a catalogue model is: a table model answers the standard
// requests from the descriptors, the sampling frequency of its streaming endpoints, and its reply
// table; where the descriptors declare Type I formats it streams them with the models' own codec
// and loops its output back to its input (models::StreamingDevice).
//
// A file that is not a descriptor set is refused with what is wrong and at which byte offset; one
// that is a descriptor set but makes no sense inside its configurations is a device (a hostile
// one) and is the driver's to survive.
//
// The side file is text, one setting per line; '#' at the start of a line begins a comment:
//   speed full|high
//   string INDEX TEXT                 string descriptor INDEX (1-255), at most 126 characters
//   unreadable CONFIGINDEX STATUS     GET_DESCRIPTOR of that configuration index always fails
//   reply TYPE REQUEST VALUE INDEX [data HEX...] [sequence HEX... | HEX... ...] [status STATUS]
//         [delay MS] [fail COUNT STATUS]
// A reply row is a ReplyRow of the catalogue (usbsim/DeviceModel.h), matched in file order: TYPE
// (bmRequestType), VALUE and INDEX are hex or '*' for any, REQUEST is hex; "data" the IN data,
// "sequence" the IN data of the successive answers separated by '|' (the last repeats), "status"
// the answer when not success, "fail" the first COUNT matches answering STATUS. STATUS is stall,
// device-error, no-answer, success or an IOKit code (0xE00002BC).
//
// Thread safety: plain functions; any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "usbsim/models/TableDevice.h"

namespace usbsim::models {

// Splits a descriptors file into the device descriptor and its configuration descriptors (into
// `data`), or answers false with `error` saying what is wrong and at which byte offset.
bool parseDescriptorFile(std::span<const uint8_t> bytes, ModelData& data, std::string* error);

// Reads a side file's settings into `data`; false with "NAME:LINE: what" in `error`.
bool parseSideFile(std::string_view text, std::string_view name, ModelData& data, std::string* error);

// The streams a model's descriptors declare: a Type I format (audio class 1 or 2) on an audio
// streaming alternate makes a stream of its channels and subframe size; isochronous feedback
// endpoints report the device clock; every other isochronous endpoint of such an alternate keeps a
// sampling frequency. The rate starts at the first format's first rate.
void deriveStreams(ModelData& data);

// The speed a descriptor set suggests when nothing says: high from USB 2.0 on, full before.
Speed guessSpeed(const ModelData& data);

struct DeviceFiles
{
    std::string descriptors;     // path of the descriptors file
    std::string side;            // path of the side file; empty: none
    std::optional<Speed> speed;  // wins over the side file's
};

// A model's data from its files, streams derived; nullopt with `error` ("FILE: offset N: what").
std::optional<ModelData> readDeviceFiles(const DeviceFiles& files, std::string* error);
// The same from bytes and text already read; `name` and `sideName` name them in messages.
std::optional<ModelData> modelFromFiles(std::span<const uint8_t> descriptors, std::string_view name,
                                        std::string_view side, std::string_view sideName,
                                        std::optional<Speed> speed, std::string* error);

// What a model is as data: the descriptors file (device descriptor, then each configuration as
// long as its wTotalLength, as Linux writes it) and the side file (speed, strings, unreadable
// configurations, reply table). Behaviour a model has in code is not data and is not written.
std::vector<uint8_t> descriptorFile(const DeviceModel& model);
std::string sideFile(const DeviceModel& model);

} // namespace usbsim::models
