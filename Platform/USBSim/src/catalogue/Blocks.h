// Descriptor blocks that recur in the catalogue's models, written once as annotated bytes; the
// models write everything else line by line.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <vector>

#include "usbsim/Descriptors.h"
#include "usbsim/models/TableDevice.h"

namespace usbsim::model_data {

using namespace descriptor_bytes;

inline constexpr uint8_t kAudio = 0x01;
inline constexpr uint8_t kAudioControl = 0x01;
inline constexpr uint8_t kAudioStreaming = 0x02;
inline constexpr uint8_t kMidiStreaming = 0x03;
inline constexpr uint8_t kVendorSpecific = 0xFF;
// Isochronous endpoint attributes: transfer type and synchronisation.
inline constexpr uint8_t kIsocAsync = 0x05;
inline constexpr uint8_t kIsocAdaptive = 0x09;
inline constexpr uint8_t kIsocSync = 0x0D;
inline constexpr uint8_t kIsocFeedback = 0x11;

// Request types: direction | type | recipient.
inline constexpr uint8_t kVendorIn = 0xC0;
inline constexpr uint8_t kVendorOut = 0x40;
inline constexpr uint8_t kVendorInInterface = 0xC1;
inline constexpr uint8_t kVendorOutInterface = 0x41;
inline constexpr uint8_t kClassOutInterface = 0x21;
inline constexpr uint8_t kClassInInterface = 0xA1;
inline constexpr uint8_t kClassOutEndpoint = 0x22;
inline constexpr uint8_t kClassInEndpoint = 0xA2;
inline constexpr uint8_t kSetCur = 0x01;
inline constexpr uint8_t kGetCur = 0x81;
inline constexpr uint16_t kSamplingFrequencyControl = 0x0100;

inline void append(std::vector<uint8_t>& to, std::initializer_list<uint8_t> bytes)
{
    to.insert(to.end(), bytes.begin(), bytes.end());
}

// One streaming alternate setting of an audio class 1 interface.
struct Alternate
{
    uint8_t interfaceNumber = 0;
    uint8_t alternate = 0;
    uint8_t interfaceClass = kAudio;
    uint8_t interfaceSubClass = kAudioStreaming;
    uint8_t terminal = 0;       // bTerminalLink of the AS general descriptor
    bool classDescriptors = true; // AS general, format type I and AS endpoint present
    uint8_t channels = 2;
    uint8_t subframe = 3;
    uint8_t bits = 24;
    std::vector<uint32_t> rates = {}; // discrete; empty with classDescriptors: a continuous range
    uint32_t lowest = 0;         // the continuous range
    uint32_t highest = 0;
    // A second format type I record on the same alternate (none when secondRates is empty).
    uint8_t secondChannels = 0;
    uint8_t secondBits = 0;
    std::vector<uint32_t> secondRates = {};
    uint8_t endpoint = 0;
    uint8_t attributes = kIsocAsync;
    uint16_t packetSize = 0;
    uint8_t interval = 1;
    uint8_t feedbackEndpoint = 0; // an explicit feedback endpoint after the data endpoint
};

// Appends the interface descriptor, the class descriptors and the endpoint(s) of `alt`.
void appendAlternate(std::vector<uint8_t>& d, const Alternate& alt);

// Appends an alternate setting without endpoints (alternate 0 of a streaming interface).
void appendZeroBandwidth(std::vector<uint8_t>& d, uint8_t interfaceNumber, uint8_t interfaceClass = kAudio,
                         uint8_t interfaceSubClass = kAudioStreaming);

// The stereo audio control block: header (naming the two streaming interfaces), USB streaming
// input terminal 1 -> feature unit 2 -> speaker 3, line input 4 -> USB streaming output
// terminal 5. `interfaceNumber` is the control interface.
void appendStereoControl(std::vector<uint8_t>& d, uint8_t interfaceNumber, uint8_t outInterface,
                         uint8_t inInterface);

// A reply-table row answering an IN request with `data` (or accepting an OUT request).
ReplyRow reply(uint8_t bmRequestType, uint8_t bRequest, std::optional<uint16_t> wValue,
               std::optional<uint16_t> wIndex, std::vector<uint8_t> data = {});

// Feature and selector units at these wIndex values answering class GET_CUR (0xF000, -16 dB; a
// selector reads position 0), GET_MIN (0xC400, -60 dB) and GET_MAX (0) of any control, and taking
// any SET_CUR.
void addFeatureUnits(models::ModelData& m, std::initializer_list<uint16_t> units);

// An 18-byte device descriptor (USB 2.0 at high speed, 1.1 otherwise; strings 1 and 2).
std::vector<uint8_t> deviceDescriptor(uint16_t vendor, uint16_t product, uint16_t bcdDevice, Speed speed,
                                      uint8_t configurations = 1);

// A configuration header for `interfaces` interfaces, configuration value 1.
std::vector<uint8_t> configurationHeader(uint8_t interfaces);

// A streaming interface: its zero-bandwidth alternate 0, then `alternates` with this interface
// number, terminal link and data endpoint.
void appendStreamingInterface(std::vector<uint8_t>& d, uint8_t interfaceNumber, uint8_t terminal, uint8_t endpoint,
                              const std::vector<Alternate>& alternates);

// The usual layout: control interface 0, output interface 1 (endpoint 0x01), input interface 2
// (endpoint 0x82), each streaming interface with a zero-bandwidth alternate 0 first.
std::vector<uint8_t> classConfiguration(const std::vector<Alternate>& out, const std::vector<Alternate>& in);

// An alternate of `channels` at `bits` with these rates; the packet holds one more frame than the
// highest rate gives per (micro)frame.
Alternate stream(uint8_t alternate, uint8_t channels, uint8_t bits, std::vector<uint32_t> rates, Speed speed,
                 uint8_t attributes = kIsocAsync);

// A class model of one configuration whose data endpoints 0x01 and 0x82 keep a sampling frequency.
models::ModelData classModel(uint16_t vendor, uint16_t product, uint16_t bcdDevice, Speed speed,
                             std::vector<uint8_t> configuration, const char* productName);

} // namespace usbsim::model_data
