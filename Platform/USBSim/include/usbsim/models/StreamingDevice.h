// A table model that streams as its StreamingData says: on every isochronous endpoint of the
// alternates the host selected it produces or consumes samples at its own clock.
//
// - Input data endpoints send, per service interval, the frames the device clock produced in it
//   (at high speed with bInterval 1: per microframe, 5-7 frames at 48 kHz), read from the audio
//   loop; what does not fit the packet is lost and counted.
// - Output data endpoints take what the host sends into the loop, and count it against the
//   frames the device clock played over the same packets (the output balance).
// - Feedback endpoints report, per service interval, the frames the device clock played in it.
// - Keep-alive endpoints only count their packets.
// The device clock runs at the fixed rate or at the rate last set on a frequency endpoint, off by
// the model's ppm. Samples are packed with the model's own codec (usbsim/models/Codec.h).
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "usbsim/models/AudioLoop.h"
#include "usbsim/models/AudioModel.h"

namespace usbsim::models {

class StreamingDevice : public AudioModel
{
public:
    explicit StreamingDevice(const ModelData& data);

    // Test side (any thread).
    uint32_t deviceRate() const;
    // Frames the host sent minus frames the device clock played over the same packets, since the
    // output alternate was selected: stays within a few frames while the host follows the device.
    int64_t outputBalance() const;
    // Frames the device clock produced that did not fit their input packet.
    uint64_t inputOverflows() const;
    // Output packet headers (headed output): received, and those found wrong (length, running
    // total, extra-byte index, reserved bytes).
    struct Headers
    {
        uint64_t packets = 0;
        uint64_t errors = 0;
        uint32_t lastTotal = 0;
    };
    Headers headers() const;
    // The headers' extra bytes (2 per frame) in arrival order; the first MiB is kept.
    std::vector<uint8_t> extraBytes() const;
    uint64_t keepAlivePackets() const;
    // The resolution the host announced for an interface (0: none).
    uint8_t announcedResolution(uint8_t interfaceNumber) const;

protected:
    ControlReply answerLocked(const SetupPacket& setup, std::span<const uint8_t> outData) override;
    PacketResult isocInLocked(const EndpointLayout& ep, const FrameTime& time,
                              std::span<uint8_t> packet) override;
    void isocOutLocked(const EndpointLayout& ep, const FrameTime& time,
                       std::span<const uint8_t> packet) override;
    void onConfigurationLocked(uint8_t value) override;
    void onAlternateLocked(uint8_t interfaceNumber, uint8_t alternate) override;
    void onResetLocked() override;
    void clockChangedLocked() override;
    uint32_t inputChannelsLocked() const override;
    PacketResult packetInLocked(const EndpointLayout& ep, const FrameTime& time,
                                std::span<uint8_t> packet) override;
    PacketResult packetOutLocked(const EndpointLayout& ep, const FrameTime& time,
                                 std::span<const uint8_t> packet) override;

private:
    enum class Role : uint8_t
    {
        input,
        output,
        feedback,
        keepAlive,
        bulkInput,      // bit-plane frames over a bulk IN endpoint
        interruptInput, // PCM over an interrupt IN endpoint
        interruptOutput,
    };
    struct Stream
    {
        Role role = Role::input;
        uint8_t interfaceNumber = 0;
        const StreamFormat* format = nullptr; // data endpoints
        uint32_t period = 1;                  // microframes between two packets
        SampleClock clock;
        // Bulk and interrupt streams: frames made and not yet sent (input) or taken and not yet
        // played (output), and the microframe the clock last followed.
        uint64_t pending = 0;
        uint64_t lastMicroframe = 0;
        bool started = false;
    };

    // The streams of one interface's selected alternate, on fresh clocks.
    void bindLocked(uint8_t interfaceNumber);
    const StreamFormat* formatLocked(uint8_t interfaceNumber, uint8_t alternate) const;
    void takeHeaderLocked(Stream& stream, std::span<const uint8_t> packet);
    // Frames of the device clock since the stream's last packet.
    uint64_t followLocked(Stream& stream, const FrameTime& time);
    void playLocked(const StreamFormat& format, std::span<const uint8_t> audio, uint32_t frames);

    const StreamingData m_streaming;
    // Guarded by m_mutex.
    uint8_t m_configuration = 0;
    uint32_t m_rate = 0;
    std::map<uint8_t, Stream> m_streams; // by endpoint address
    std::map<uint8_t, uint8_t> m_resolutions;
    std::vector<int32_t> m_samples;
    int64_t m_outputBalance = 0;
    uint64_t m_inputOverflows = 0;
    Headers m_headers;
    bool m_haveTotal = false;
    std::vector<uint8_t> m_extra;
    uint64_t m_keepAlivePackets = 0;
};

// A model made from its data: a StreamingDevice when the data says what its streams carry, a
// TableDevice otherwise.
std::shared_ptr<DeviceModel> makeTableModel(const ModelData& data);

} // namespace usbsim::models
