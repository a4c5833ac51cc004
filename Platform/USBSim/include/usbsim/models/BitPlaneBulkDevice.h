// One of the maker's bulk-streaming interfaces (high speed): audio in bit-plane packets (or the
// Varnok model's grouped samples) over a bulk OUT endpoint (0x05, interface 0; or an interrupt
// endpoint of 964 bytes) and a bulk IN endpoint (0x86, interface 1).
//
// Output packets of 512 bytes hold 10 frames of 48 bytes, the MIDI byte at 480 (0xFD = none) and a
// control byte at 481 (0xFF = none); 1024-byte packets hold 20 frames with MIDI bytes at 432 and
// 914 in between. Input packets hold 8 frames 16 wide or 4 frames 32 wide per 512 bytes.
// The input width follows bit 5 of the input-select register (vendor request 0x49: IN reads it,
// OUT writes wValue's low byte): set = 16 wide.
// With a keep-alive packet size (1-4) interface 0 also has an isochronous OUT endpoint (0x07) of
// that size, whose packets the device only counts.
// The device runs on its own clock: it offers an input packet once its clock has produced the
// packet's frames, and takes an output packet while its playback buffer has room.
#pragma once

#include <vector>

#include "usbsim/models/AudioLoop.h"
#include "usbsim/models/AudioModel.h"

namespace usbsim::models {

class BitPlaneBulkDevice : public AudioModel
{
public:
    static constexpr uint8_t kOutEndpoint = 0x05;
    static constexpr uint8_t kInEndpoint = 0x86;
    static constexpr uint8_t kKeepAliveEndpoint = 0x07;
    static constexpr uint8_t kInputSelectRequest = 0x49;
    static constexpr uint8_t kFirmwareRequest = 0x56;
    static constexpr uint8_t kDeepSleepRequest = 0x44;
    static constexpr uint8_t kWideInputBit = 0x20; // set: 16 wide, clear: 32 wide
    static constexpr uint32_t kOutputChannels = 16;

    struct Options
    {
        uint16_t vendorID = 0x0A4A;
        uint16_t productID = 0xFFDD;
        uint16_t packetSize = 512;   // 512 or 1024 (64-1023 otherwise: a device that streams nothing)
        uint32_t inputChannels = 16; // up to 32
        int32_t clockPpm = 0;
        uint16_t bcdDevice = 0x0100;
        uint8_t keepAlivePacket = 0; // 0: no keep-alive endpoint
        // 8, 16 or 32: the Varnok layout both ways with that many channels (0: bit planes).
        uint8_t varnokChannels = 0;
        // The OUT endpoint is an interrupt endpoint of 964 bytes: 20 frames of 8 channels around the
        // MIDI slots (bit planes), every microframe.
        bool interruptOut964 = false;
    };

    BitPlaneBulkDevice() : BitPlaneBulkDevice(Options{}) {}
    explicit BitPlaneBulkDevice(const Options& options);

    // Test side (any thread). Captured output has 16 channels per frame.
    std::vector<uint8_t> midiReceived() const;
    std::vector<uint8_t> controlReceived() const;
    uint8_t inputSelect() const;
    uint32_t sampleRate() const;
    const Options& options() const { return m_options; }
    uint32_t inputOverflows() const; // input frames lost because the host did not read them
    uint64_t inputFramesSent() const; // input frames the host has received
    struct KeepAlive
    {
        uint64_t packets = 0;
        uint64_t bytes = 0;
    };
    KeepAlive keepAlive() const; // what came on the keep-alive endpoint

protected:
    ControlReply answerLocked(const SetupPacket& setup, std::span<const uint8_t> outData) override;
    PacketResult packetInLocked(const EndpointLayout& ep, const FrameTime& time,
                                std::span<uint8_t> packet) override;
    PacketResult packetOutLocked(const EndpointLayout& ep, const FrameTime& time,
                                 std::span<const uint8_t> packet) override;
    void onConfigurationLocked(uint8_t value) override;
    void isocOutLocked(const EndpointLayout& ep, const FrameTime& time,
                       std::span<const uint8_t> packet) override;
    void clockChangedLocked() override;

private:
    void followClockLocked(const FrameTime& time);
    uint32_t inputWidthLocked() const;
    uint32_t inputFramesPerPacketLocked() const;
    uint32_t outputPacketSize() const { return m_options.interruptOut964 ? 964u : m_options.packetSize; }
    uint32_t outputFramesPerPacket() const
    {
        const uint32_t blocks = outputPacketSize() > 512 ? 2 : 1;
        return m_options.varnokChannels != 0 ? blocks * 160 / m_options.varnokChannels : blocks * 10;
    }
    bool layoutPacket() const { return m_options.packetSize == 512 || m_options.packetSize == 1024; }


    const Options m_options; // inputChannels clamped to 1..32
    uint32_t m_rate = 48000;
    uint8_t m_inputSelect = 0x30;
    SampleClock m_clock;
    bool m_started = false;
    uint64_t m_lastMicroframe = 0;
    uint64_t m_inputFrames = 0;  // produced, not yet sent
    uint64_t m_outputFrames = 0; // received, not yet played
    uint32_t m_overflows = 0;
    uint64_t m_inputFramesSent = 0;
    std::vector<int32_t> m_frame;
    std::vector<uint8_t> m_midi;
    std::vector<uint8_t> m_control;
    KeepAlive m_keepAlive;
};

} // namespace usbsim::models
