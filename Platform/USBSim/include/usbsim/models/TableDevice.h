// A device model that is only data: its descriptor bytes, its strings and its reply table, plus
// the one piece of state a table cannot hold, the sampling frequency of each data endpoint (a
// class SET_CUR to the endpoint stores it, GET_CUR reads it back).
//
// The catalogue's models (usbsim/Catalogue.h) are written as ModelData; a model whose streams say
// what they carry (StreamingData) is a StreamingDevice; a model that needs more than this derives
// from DeviceModel itself.
#pragma once

#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "usbsim/DeviceModel.h"

namespace usbsim::models {

// How the samples of a stream lie in its packets.
enum class PcmLayout : uint8_t
{
    littleEndian,  // interleaved frames, each sample least significant byte first
    highLowMiddle, // interleaved frames of 3-byte samples in the byte order high, low, middle
};

// What the data endpoint of one streaming alternate carries, in the device's channel order.
struct StreamFormat
{
    uint8_t interfaceNumber = 0;
    uint8_t alternate = 0;
    uint8_t channels = 0;
    uint8_t bytesPerSample = 2;
    uint8_t bits = 0; // the resolution the host announced for the interface; 0: any (first row wins)
    PcmLayout layout = PcmLayout::littleEndian;
};

// The streams of a model that streams (StreamingDevice); empty formats: it does not stream.
struct StreamingData
{
    std::vector<StreamFormat> formats;
    std::vector<uint8_t> feedbackEndpoints;  // isochronous IN: 3 bytes, byte 0 = frames per service interval
    std::vector<uint8_t> keepAliveEndpoints; // isochronous OUT: packets only counted
    // Bulk IN: the input of the interface's format as 16-wide bit-plane frames, 8 per 512 bytes,
    // sent once the device clock has made them.
    std::vector<uint8_t> bitPlaneBulkInEndpoints;
    // Interrupt IN and OUT: whole packets of the format's PCM (packet size / frame bytes frames);
    // IN sent once the device clock has made them, OUT taken while the device's buffer (two
    // packets) has room.
    std::vector<uint8_t> pcmInterruptEndpoints;
    uint32_t fixedRate = 0; // the device clock's rate; 0: the rate last set on a frequency endpoint
    // Output packets begin with a 104-byte header: byte 0 the frame count, byte 1 the index of the
    // first non-zero extra byte (0xFF: none), bytes 2-5 the running frame total after the packet
    // (big-endian), 2 extra bytes per frame from byte 6, bytes 100-103 zero.
    bool headedOutput = false;
    // A vendor OUT request 0 to an interface announces the resolution (wValue, bits) of its stream.
    bool announcedResolution = false;
};

struct ModelData
{
    Speed speed = Speed::full;
    std::vector<uint8_t> device;                      // the 18-byte device descriptor
    std::vector<std::vector<uint8_t>> configurations; // by configuration index
    std::vector<std::pair<uint8_t, std::string>> strings;
    std::vector<ReplyRow> replies; // class and vendor requests; the first matching row answers
    // Configuration indexes whose descriptor read always fails, and how.
    std::vector<std::pair<uint8_t, Status>> unreadableConfigurations;
    // Endpoints whose sampling frequency the device keeps (class requests, wValue 0x0100).
    std::vector<uint8_t> frequencyEndpoints;
    uint32_t initialFrequency = 44100;
    uint32_t busPower = 250;     // what the port offers, in 2 mA units
    uint32_t requestGapMs = 0;   // class and vendor requests closer than this stall
    StreamingData streaming;
    // The bulk or interrupt endpoints the device carries MIDI packets on (0: none). What the host
    // writes to the OUT endpoint is recorded packet by packet with its bus time; the IN endpoint
    // sends the packets a test queued, and NAKs while none waits.
    uint8_t midiInEndpoint = 0;
    uint8_t midiOutEndpoint = 0;
};

// One MIDI packet the host wrote, and when it went over the bus.
struct MidiPacket
{
    FrameTime time;
    std::vector<uint8_t> bytes;
};

class TableDevice : public DeviceModel
{
public:
    explicit TableDevice(const ModelData& data);

    // Test side (any thread): the sampling frequency an endpoint was last set to.
    uint32_t sampleRate(uint8_t endpointAddress) const;
    // A sampling-frequency SET_CUR to an endpoint (the value in `hz`).
    static bool isFrequencySet(const SetupPacket& setup, std::span<const uint8_t> outData, uint32_t* hz);

    // Test side (any thread): a packet for the MIDI IN endpoint, sent as it is (cut to the
    // endpoint's packet size); the packets the host wrote to the MIDI OUT endpoint, in order.
    void queueMidiIn(std::vector<uint8_t> packet);
    size_t midiInWaiting() const;
    std::vector<MidiPacket> midiOut() const;

protected:
    ControlReply answerLocked(const SetupPacket& setup, std::span<const uint8_t> outData) override;
    PacketResult packetInLocked(const EndpointLayout& ep, const FrameTime& time, std::span<uint8_t> packet) override;
    PacketResult packetOutLocked(const EndpointLayout& ep, const FrameTime& time,
                                 std::span<const uint8_t> packet) override;

private:
    std::map<uint8_t, uint32_t> m_rates; // guarded by m_mutex
    uint8_t m_midiIn = 0;
    uint8_t m_midiOut = 0;
    std::deque<std::vector<uint8_t>> m_midiInQueue; // guarded by m_mutex
    std::vector<MidiPacket> m_midiOutLog;           // guarded by m_mutex
};

} // namespace usbsim::models
