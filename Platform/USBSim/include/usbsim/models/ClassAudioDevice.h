// A class-compliant USB audio device (audio class 1, full speed): stereo isochronous output and
// input in 16 or 24 bits at 44.1 or 48 kHz, optionally with an explicit feedback endpoint for its
// asynchronous output.
//
// Interfaces: 0 audio control (feature unit 2 on the output path: master mute and volume);
// 1 output streaming (alternate 1: 16 bits, 2: 24 bits; data endpoint 0x01, feedback 0x83);
// 2 input streaming (alternate 1: 16 bits, 2: 24 bits; data endpoint 0x82).
// The sample rate is set per data endpoint with SET_CUR (wValue 0x0100, 3 bytes).
// Input packets carry the frames the device's clock produced in that frame (44 or 45 at 44.1 kHz);
// a feedback packet is 3 bytes whose first byte is the frames the device played in that frame.
#pragma once

#include <vector>

#include "usbsim/models/AudioLoop.h"
#include "usbsim/models/AudioModel.h"

namespace usbsim::models {

class ClassAudioDevice : public AudioModel
{
public:
    static constexpr uint8_t kOutEndpoint = 0x01;
    static constexpr uint8_t kInEndpoint = 0x82;
    static constexpr uint8_t kFeedbackEndpoint = 0x83;
    static constexpr uint8_t kFeatureUnit = 2;
    static constexpr uint32_t kChannels = 2;

    struct Options
    {
        uint16_t vendorID = 0x2912;
        uint16_t productID = 0x3001;
        bool feedback = false;
        int32_t clockPpm = 0; // the device clock's error against the bus, at first
    };

    ClassAudioDevice() : ClassAudioDevice(Options{}) {}
    explicit ClassAudioDevice(const Options& options);

    // Test side (any thread).
    uint32_t sampleRate(uint8_t endpointAddress) const;
    int16_t volume() const;
    bool muted() const;

protected:
    ControlReply answerLocked(const SetupPacket& setup, std::span<const uint8_t> outData) override;
    PacketResult isocInLocked(const EndpointLayout& ep, const FrameTime& time,
                              std::span<uint8_t> packet) override;
    void isocOutLocked(const EndpointLayout& ep, const FrameTime& time,
                       std::span<const uint8_t> packet) override;
    void onAlternateLocked(uint8_t interfaceNumber, uint8_t alternate) override;
    void clockChangedLocked() override;

private:
    uint32_t bytesPerSampleLocked(uint8_t interfaceNumber) const;

    const Options m_options;
    uint32_t m_outRate = 48000;
    uint32_t m_inRate = 48000;
    SampleClock m_inClock;
    SampleClock m_playClock;
    std::vector<int32_t> m_scratch;
    int16_t m_volume = 0;
    bool m_mute = false;
};

} // namespace usbsim::models
