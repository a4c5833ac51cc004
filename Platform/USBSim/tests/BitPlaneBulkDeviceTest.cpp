#include "usbsim/models/BitPlaneBulkDevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "platform/HostClock.h"
#include "usbsim/Bus.h"
#include "usbsim/models/Codec.h"

namespace usbsim::test {
namespace {

namespace vc = platform::host_clock::virtual_clock;
using models::BitPlaneBulkDevice;

// Host side of a bulk stream: three 20-packet reads and writes in flight, as the driver keeps them.
class BulkStream
{
public:
    BulkStream(Bus& bus, std::shared_ptr<Pipe> out, std::shared_ptr<Pipe> in, uint32_t packetSize)
        : m_bus(bus), m_out(std::move(out)), m_in(std::move(in)), m_packetSize(packetSize)
    {
        for (auto& b : m_outBlocks) {
            b.resize(20 * packetSize);
        }
        for (auto& b : m_inBlocks) {
            b.resize(20 * packetSize);
        }
    }
    ~BulkStream() { stop(); }

    // 16-channel output frames; MIDI byte for the first packet.
    void setOutput(std::vector<int32_t> samples, uint8_t midi)
    {
        m_output = std::move(samples);
        m_midi = midi;
    }
    void start()
    {
        for (int i = 0; i < 3; ++i) {
            queueIn(i);
            queueOut(i);
        }
    }
    void stop()
    {
        m_stopping = true;
        m_out->abort();
        m_in->abort();
        m_bus.settle();
    }
    std::vector<std::vector<uint8_t>> inputPackets()
    {
        std::lock_guard lock(m_mutex);
        return m_inputPackets;
    }
    int failures() const { return m_failures.load(); }

private:
    struct Tag
    {
        BulkStream* self;
        int index;
    };

    void queueOut(int i)
    {
        auto& buffer = m_outBlocks[i];
        const uint32_t frames = m_packetSize > 512 ? 20 : 10;
        for (uint32_t p = 0; p < 20; ++p) {
            uint8_t* packet = buffer.data() + p * m_packetSize;
            std::fill(packet, packet + m_packetSize, 0);
            for (uint32_t f = 0; f < frames; ++f) {
                int32_t samples[16] = {};
                for (int c = 0; c < 16 && m_position < m_output.size(); ++c) {
                    samples[c] = m_output[m_position++];
                }
                const size_t offset =
                    f * 48 + (m_packetSize > 512 ? (f >= 9 ? 2 : 0) + (f >= 19 ? 2 : 0) : 0);
                codec::encodeOutputFrame(samples, 16, packet + offset);
            }
            const bool first = m_packetsSent++ == 0;
            if (m_packetSize > 512) {
                packet[432] = first ? m_midi : 0xFD;
                packet[914] = 0xFD;
            } else {
                packet[480] = first ? m_midi : 0xFD;
                packet[481] = 0xFF;
            }
        }
        m_outTags[i] = {this, i};
        if (m_out->write(buffer.data(), static_cast<uint32_t>(buffer.size()), 50, 50,
                         {this, &BulkStream::outDone, &m_outTags[i]}) != kSuccess) {
            ++m_failures;
        }
    }
    void queueIn(int i)
    {
        m_inTags[i] = {this, i};
        if (m_in->read(m_inBlocks[i].data(), static_cast<uint32_t>(m_inBlocks[i].size()), 50, 50,
                       {this, &BulkStream::inDone, &m_inTags[i]}) != kSuccess) {
            ++m_failures;
        }
    }
    static void outDone(void*, void* parameter, Status status, uint32_t remaining)
    {
        auto* tag = static_cast<Tag*>(parameter);
        if (status != kSuccess || remaining != 0) {
            tag->self->m_failures += status != kAborted;
            return;
        }
        if (!tag->self->m_stopping) {
            tag->self->queueOut(tag->index);
        }
    }
    static void inDone(void*, void* parameter, Status status, uint32_t remaining)
    {
        auto* tag = static_cast<Tag*>(parameter);
        auto* self = tag->self;
        if (status != kSuccess || remaining != 0) {
            self->m_failures += status != kAborted;
            return;
        }
        {
            std::lock_guard lock(self->m_mutex);
            const auto& buffer = self->m_inBlocks[tag->index];
            for (uint32_t p = 0; p < 20; ++p) {
                self->m_inputPackets.emplace_back(buffer.begin() + p * self->m_packetSize,
                                                  buffer.begin() + (p + 1) * self->m_packetSize);
            }
        }
        if (!self->m_stopping) {
            self->queueIn(tag->index);
        }
    }

    Bus& m_bus;
    std::shared_ptr<Pipe> m_out;
    std::shared_ptr<Pipe> m_in;
    const uint32_t m_packetSize;
    std::vector<uint8_t> m_outBlocks[3];
    std::vector<uint8_t> m_inBlocks[3];
    Tag m_outTags[3] = {};
    Tag m_inTags[3] = {};
    std::vector<int32_t> m_output; // output completions only
    size_t m_position = 0;
    uint8_t m_midi = 0xFD;
    uint32_t m_packetsSent = 0;
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_failures{0};
    std::mutex m_mutex;
    std::vector<std::vector<uint8_t>> m_inputPackets;
};

class BitPlaneBulkDeviceTest : public ::testing::Test
{
protected:
    void plugIn(const BitPlaneBulkDevice::Options& options)
    {
        model = std::make_shared<BitPlaneBulkDevice>(options);
        device = bus.attach(model);
        ASSERT_EQ(device->setConfiguration(1), kSuccess);
    }
    Status writeSelect(uint8_t value)
    {
        return device->deviceRequest({0x40, 0x49, value, 0, 0}, nullptr, nullptr);
    }

    static std::vector<int32_t> ramp(size_t frames, uint32_t channels)
    {
        std::vector<int32_t> samples(frames * channels);
        for (size_t i = 0; i < samples.size(); ++i) {
            samples[i] = static_cast<int32_t>(((i + 1) * 0x00F00F01u) << 8); // 24 significant bits
        }
        return samples;
    }

    vc::Scope clock{1'000'000'000};
    Bus bus;
    std::shared_ptr<BitPlaneBulkDevice> model;
    std::shared_ptr<Device> device;
};

TEST_F(BitPlaneBulkDeviceTest, VendorRequestsSelectTheInputWidth)
{
    plugIn({});
    uint8_t value = 0;
    uint32_t done = 0;
    ASSERT_EQ(device->deviceRequest({0xC0, 0x49, 0, 0, 1}, &value, &done), kSuccess);
    EXPECT_EQ(value, 0x30);
    EXPECT_EQ(writeSelect(0x10), kSuccess);
    EXPECT_EQ(model->inputSelect(), 0x10);
    uint8_t firmware[8] = {};
    ASSERT_EQ(device->deviceRequest({0xC0, 0x56, 0, 0, 8}, firmware, &done), kSuccess);
    EXPECT_EQ(done, 8u);
    uint8_t rate[3] = {0x00, 0x77, 0x01}; // 96000
    EXPECT_EQ(device->deviceRequest({0x22, 0x01, 0x0100, BitPlaneBulkDevice::kInEndpoint, 3}, rate, nullptr),
              kSuccess);
    EXPECT_EQ(model->sampleRate(), 96000u);
    uint8_t odd[3] = {0x10, 0x27, 0x00}; // 10000
    EXPECT_EQ(device->deviceRequest({0x22, 0x01, 0x0100, BitPlaneBulkDevice::kInEndpoint, 3}, odd, nullptr),
              kPipeStalled);
}

struct BulkCase
{
    uint16_t packetSize;
    uint32_t inputChannels;
    uint8_t select; // input-select register
};

class BitPlaneLoopTest : public BitPlaneBulkDeviceTest, public ::testing::WithParamInterface<BulkCase>
{
};

TEST_P(BitPlaneLoopTest, OutputComesBackThroughTheDevicesCodec)
{
    const auto param = GetParam();
    plugIn({0x0A4A, 0xFFDD, param.packetSize, param.inputChannels, 0});
    ASSERT_EQ(writeSelect(param.select), kSuccess);
    const uint32_t width = (param.select & 0x20) != 0 ? 16 : 32;
    const uint32_t framesPerHalf = width == 16 ? 8 : 4;
    const size_t frameBytes = width == 16 ? 64 : 128;

    BulkStream stream(bus, device->pipe(BitPlaneBulkDevice::kOutEndpoint),
                      device->pipe(BitPlaneBulkDevice::kInEndpoint), param.packetSize);
    const auto signal = ramp(4800, 16);
    stream.setOutput(signal, 0x90);
    stream.start();
    bus.runFor(200 * kFrameNanoseconds, kFrameNanoseconds);
    stream.stop();
    EXPECT_EQ(stream.failures(), 0);
    EXPECT_EQ(model->inputOverflows(), 0u);
    ASSERT_EQ(model->midiReceived(), std::vector<uint8_t>{0x90});

    // Input: 48 frames per millisecond.
    std::vector<int32_t> input; // 16 channels per frame, as looped
    const uint32_t framesPerPacket = param.packetSize > 512 ? 2 * framesPerHalf : framesPerHalf;
    for (const auto& packet : stream.inputPackets()) {
        for (uint32_t f = 0; f < framesPerPacket; ++f) {
            int32_t samples[32] = {};
            codec::decodeInputFrame(packet.data() + f * frameBytes, param.inputChannels, width, samples);
            input.insert(input.end(), samples, samples + 16);
        }
    }
    EXPECT_NEAR(static_cast<double>(input.size() / 16), 48 * 200, 48 * 20);
    const auto first = std::find_if(input.begin(), input.end(), [](int32_t s) { return s != 0; });
    ASSERT_NE(first, input.end());
    const size_t available = static_cast<size_t>(input.end() - first);
    const size_t compared = std::min(available, signal.size());
    ASSERT_GE(compared, 16u * 4000);
    const auto channelsBack = std::min<uint32_t>(param.inputChannels, 16);
    for (size_t i = 0; i < compared; ++i) {
        const int32_t expected = i % 16 < channelsBack ? signal[i] : 0;
        ASSERT_EQ(first[static_cast<std::ptrdiff_t>(i)], expected) << "sample " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Geometries, BitPlaneLoopTest,
                         ::testing::Values(BulkCase{512, 16, 0x30}, BulkCase{1024, 16, 0x30},
                                           BulkCase{512, 24, 0x10}, BulkCase{512, 8, 0x30}));

TEST_F(BitPlaneBulkDeviceTest, UnreadInputIsLostAndCounted)
{
    plugIn({});
    auto in = device->pipe(BitPlaneBulkDevice::kInEndpoint);
    std::vector<uint8_t> buffer(512);
    std::atomic<int> done{0};
    const Completion completion{
        &done, [](void* target, void*, Status, uint32_t) { ++*static_cast<std::atomic<int>*>(target); },
        nullptr};
    ASSERT_EQ(in->read(buffer.data(), 512, 0, 0, completion), kSuccess);
    bus.runFrames(2);
    ASSERT_EQ(done.load(), 1);
    // Nobody reads for a second: the device keeps its last 64 packets.
    bus.runFor(1000 * kFrameNanoseconds, 100 * kFrameNanoseconds);
    ASSERT_EQ(in->read(buffer.data(), 512, 0, 0, completion), kSuccess);
    bus.runFrames(1);
    EXPECT_EQ(done.load(), 2);
    EXPECT_GT(model->inputOverflows(), 48'000u - 64 * 8 - 100);
}

} // namespace
} // namespace usbsim::test
