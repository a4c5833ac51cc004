#include "usbsim/models/ClassAudioDevice.h"

#include <gtest/gtest.h>

#include <numeric>

#include "Recorder.h"
#include "StreamHarness.h"
#include "platform/HostClock.h"
#include "usbsim/Bus.h"

namespace usbsim::test {
namespace {

namespace vc = platform::host_clock::virtual_clock;
using models::ClassAudioDevice;

class ClassAudioDeviceTest : public ::testing::Test
{
protected:
    void plugIn(const ClassAudioDevice::Options& options = {})
    {
        model = std::make_shared<ClassAudioDevice>(options);
        device = bus.attach(model);
        ASSERT_EQ(device->setConfiguration(1), kSuccess);
    }
    Status setRate(uint8_t endpoint, uint32_t rate)
    {
        uint8_t bytes[3] = {static_cast<uint8_t>(rate), static_cast<uint8_t>(rate >> 8),
                            static_cast<uint8_t>(rate >> 16)};
        return device->deviceRequest({0x22, 0x01, 0x0100, endpoint, 3}, bytes, nullptr);
    }
    std::vector<int32_t> ramp(size_t frames, uint32_t shift)
    {
        std::vector<int32_t> samples(frames * 2);
        for (size_t i = 0; i < samples.size(); ++i) {
            samples[i] = static_cast<int32_t>(((i + 1) * 0x010203u) << shift);
        }
        return samples;
    }

    vc::Scope clock{1'000'000'000};
    Recorder recorder;
    Bus bus;
    std::shared_ptr<ClassAudioDevice> model;
    std::shared_ptr<Device> device;
};

TEST_F(ClassAudioDeviceTest, DescriptorsDescribeTwoStreamingInterfaces)
{
    plugIn({0x2912, 0x3001, true, 0});
    uint8_t bytes[18] = {};
    uint32_t done = 0;
    ASSERT_EQ(device->deviceRequest({0x80, kGetDescriptor, 0x0100, 0, 18}, bytes, &done), kSuccess);
    ASSERT_EQ(done, 18u);
    const auto descriptor = DeviceDescriptor::parse(bytes);
    ASSERT_TRUE(descriptor);
    EXPECT_EQ(descriptor->idVendor, 0x2912);
    EXPECT_EQ(descriptor->bcdUSB, 0x0110);

    std::vector<uint8_t> config(4096);
    uint32_t length = 4096;
    ASSERT_EQ(device->readConfigurationDescriptor(1, config.data(), &length), kSuccess);
    config.resize(length);
    const auto layout = ConfigurationLayout::parse(config);
    ASSERT_TRUE(layout);
    ASSERT_EQ(layout->interfaces.size(), 3u);
    EXPECT_EQ(layout->interfaces[0].alternates[0].bInterfaceSubClass, 1); // audio control
    for (uint8_t intf : {1, 2}) {
        const auto* streaming = layout->interface(intf);
        ASSERT_NE(streaming, nullptr);
        ASSERT_EQ(streaming->alternates.size(), 3u);
        EXPECT_TRUE(streaming->alternates[0].endpoints.empty());
        EXPECT_EQ(streaming->alternates[1].endpoints[0].packetSize(), 196);
        EXPECT_EQ(streaming->alternates[2].endpoints[0].packetSize(), 294);
    }
    EXPECT_EQ(layout->interface(1)->alternates[1].endpoints.size(), 2u) << "data and feedback endpoints";
    // The class-specific AC header's total length covers exactly its descriptors.
    EXPECT_EQ(config[18 + 2], 0x01);
    EXPECT_EQ(config[18 + 5] | config[18 + 6] << 8, 62);

    uint8_t text[64] = {};
    ASSERT_EQ(device->deviceRequest({0x80, kGetDescriptor, 0x0302, 0x0409, 64}, text, &done), kSuccess);
    EXPECT_EQ(done, 2u + 2 * 16);
    EXPECT_EQ(text[2], 'U');
}

TEST_F(ClassAudioDeviceTest, SampleRateAndVolumeRequests)
{
    plugIn();
    EXPECT_EQ(setRate(ClassAudioDevice::kOutEndpoint, 44100), kSuccess);
    EXPECT_EQ(setRate(ClassAudioDevice::kInEndpoint, 32000), kPipeStalled) << "unsupported rate";
    EXPECT_EQ(model->sampleRate(ClassAudioDevice::kOutEndpoint), 44100u);
    EXPECT_EQ(model->sampleRate(ClassAudioDevice::kInEndpoint), 48000u);
    uint8_t rate[3] = {};
    uint32_t done = 0;
    ASSERT_EQ(device->deviceRequest({0xA2, 0x81, 0x0100, ClassAudioDevice::kOutEndpoint, 3}, rate, &done),
              kSuccess);
    EXPECT_EQ(rate[0] | rate[1] << 8 | rate[2] << 16, 44100);

    struct Case
    {
        uint8_t request;
        int16_t expected;
    } reads[] = {{0x82, -0x6000}, {0x83, 0}, {0x84, 0x0100}, {0x81, 0}};
    for (const auto& c : reads) {
        uint8_t value[2] = {};
        ASSERT_EQ(device->deviceRequest({0xA1, c.request, 0x0200, 0x0200, 2}, value, &done), kSuccess);
        EXPECT_EQ(static_cast<int16_t>(value[0] | value[1] << 8), c.expected) << int{c.request};
    }
    uint8_t loud[2] = {0x00, 0x10}; // +16 dB: clamped to the maximum
    EXPECT_EQ(device->deviceRequest({0x21, 0x01, 0x0200, 0x0200, 2}, loud, nullptr), kSuccess);
    EXPECT_EQ(model->volume(), 0);
    uint8_t quiet[2] = {0x00, 0xF6}; // -10 dB
    EXPECT_EQ(device->deviceRequest({0x21, 0x01, 0x0200, 0x0200, 2}, quiet, nullptr), kSuccess);
    EXPECT_EQ(model->volume(), -0x0A00);
    uint8_t mute = 1;
    EXPECT_EQ(device->deviceRequest({0x21, 0x01, 0x0100, 0x0200, 1}, &mute, nullptr), kSuccess);
    EXPECT_TRUE(model->muted());
    EXPECT_EQ(device->deviceRequest({0xA1, 0x81, 0x0201, 0x0200, 2}, loud, &done), kPipeStalled)
        << "no channel 1 control";
}

// Its loopback, bit-exact at every format and off clocks: StreamingModelsTest (LoopbackTest).

TEST_F(ClassAudioDeviceTest, FeedbackReportsTheFramesTheDevicePlays)
{
    struct Case
    {
        uint32_t rate;
        int32_t ppm;
        uint32_t perSecond;
    } cases[] = {{44100, 0, 44100}, {48000, 0, 48000}, {48000, 1000, 48048}, {44100, -2000, 44011}};
    for (const auto& c : cases) {
        plugIn({0x2912, 0x3001, true, c.ppm});
        ASSERT_EQ(setRate(ClassAudioDevice::kOutEndpoint, c.rate), kSuccess);
        ASSERT_EQ(device->setAlternate(1, 1), kSuccess);
        auto pipe = device->pipe(ClassAudioDevice::kFeedbackEndpoint);
        ASSERT_TRUE(pipe);
        std::vector<uint8_t> data(1000 * 3);
        std::vector<IsocFrame> frames(1000, IsocFrame{0, 3, 0, 0});
        ASSERT_EQ(pipe->readIsoc(data.data(), bus.frameNumber() + 1, 1000, frames.data(), recorder.isoc(0)),
                  kSuccess);
        bus.runFor(1002 * kFrameNanoseconds, 50 * kFrameNanoseconds);
        uint32_t total = 0;
        for (uint32_t k = 0; k < 1000; ++k) {
            ASSERT_EQ(frames[k].frActCount, 3);
            total += data[k * 3];
            EXPECT_LE(std::abs(static_cast<int>(data[k * 3]) - static_cast<int>(c.rate / 1000)), 1);
        }
        EXPECT_NEAR(total, c.perSecond, 1) << c.rate << " " << c.ppm;
        bus.detach(device);
    }
}

TEST_F(ClassAudioDeviceTest, FedInputAndCapturedOutput)
{
    plugIn();
    ASSERT_EQ(device->setAlternate(1, 2), kSuccess);
    ASSERT_EQ(device->setAlternate(2, 2), kSuccess);
    const auto signal = ramp(480, 8);
    model->feedInput(signal);
    StreamHarness stream(bus, device->pipe(ClassAudioDevice::kOutEndpoint),
                         device->pipe(ClassAudioDevice::kInEndpoint), 2, 3);
    const auto output = ramp(300, 12);
    stream.setOutput(output);
    stream.start();
    bus.runFor(40 * kFrameNanoseconds, 4 * kFrameNanoseconds);
    stream.stop();
    const auto input = stream.input();
    ASSERT_GE(input.size(), signal.size());
    EXPECT_TRUE(std::equal(signal.begin(), signal.end(), input.begin()))
        << "fed input comes first, unchanged";
    const auto captured = model->capturedOutput();
    ASSERT_GE(captured.size(), output.size());
    // 24-bit keeps bits 31..8 only.
    for (size_t i = 0; i < output.size(); ++i) {
        ASSERT_EQ(captured[i], output[i] & static_cast<int32_t>(0xFFFFFF00)) << i;
    }
}

} // namespace
} // namespace usbsim::test
