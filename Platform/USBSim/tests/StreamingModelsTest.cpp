// The streaming models at the bus: packet sizes that follow the device clock (rate and ppm),
// feedback values, the output balance, loopback, Elektron output headers, the keep-alive
// endpoint and the hostile-device knobs. Everything on the virtual clock.
#include "usbsim/models/StreamingDevice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "Recorder.h"
#include "StreamHarness.h"
#include "platform/HostClock.h"
#include "usbsim/Bus.h"
#include "usbsim/Catalogue.h"
#include "usbsim/models/BitPlaneBulkDevice.h"
#include "usbsim/models/Codec.h"
#include "usbsim/models/FileModel.h"

namespace usbsim::test {
namespace {

namespace vc = platform::host_clock::virtual_clock;
using models::AudioModel;
using models::StreamingDevice;

class StreamingModelsTest : public ::testing::Test
{
protected:
    // "file:NAME": the model NAME written to its files and read back (usbsim/models/FileModel.h).
    void plug(const char* name)
    {
        const std::string_view file = "file:";
        if (std::string_view(name).starts_with(file)) {
            const auto compiled = makeModel(name + file.size());
            ASSERT_TRUE(compiled) << name;
            std::string error;
            const auto data = models::modelFromFiles(models::descriptorFile(*compiled), name,
                                                     models::sideFile(*compiled), "side", std::nullopt, &error);
            ASSERT_TRUE(data) << error;
            model = models::makeTableModel(*data);
        } else {
            model = makeModel(name);
        }
        ASSERT_TRUE(model) << name;
        device = bus.attach(model);
        ASSERT_EQ(device->setConfiguration(1), kSuccess);
    }
    AudioModel& audio() { return dynamic_cast<AudioModel&>(*model); }
    StreamingDevice& streaming() { return dynamic_cast<StreamingDevice&>(*model); }

    Status setRate(uint8_t endpoint, uint32_t rate)
    {
        uint8_t bytes[3] = {static_cast<uint8_t>(rate), static_cast<uint8_t>(rate >> 8),
                            static_cast<uint8_t>(rate >> 16)};
        return device->deviceRequest({0x22, 0x01, 0x0100, endpoint, 3}, bytes, nullptr);
    }
    // The Elektron announcement of an interface's resolution.
    Status announce(uint8_t interfaceNumber, uint8_t bits)
    {
        return device->deviceRequest({0x41, 0x00, bits, interfaceNumber, 0}, nullptr, nullptr);
    }

    // Reads `records` packets of an IN endpoint in one transfer: their lengths, the bytes in `data`.
    std::vector<uint16_t> readPackets(uint8_t endpoint, uint32_t records,
                                      std::vector<uint8_t>* data = nullptr)
    {
        auto pipe = device->pipe(endpoint);
        EXPECT_TRUE(pipe);
        if (!pipe) {
            return {};
        }
        const uint16_t size = pipe->maxPacketSize();
        std::vector<uint8_t> buffer(size_t{records} * size);
        std::vector<IsocFrame> frames(records, IsocFrame{0, size, 0, 0});
        const size_t before = recorder.count();
        EXPECT_EQ(
            pipe->readIsoc(buffer.data(), bus.frameNumber() + 1, records, frames.data(), recorder.isoc(0)),
            kSuccess);
        const uint64_t microframes = uint64_t{records} * pipe->endpoint().servicePeriod(device->speed());
        bus.runFor((microframes / kMicroframesPerFrame + 3) * kFrameNanoseconds, 10 * kFrameNanoseconds);
        EXPECT_EQ(recorder.count(), before + 1);
        std::vector<uint16_t> lengths;
        for (uint32_t k = 0; k < records; ++k) {
            lengths.push_back(frames[k].frActCount);
            if (data != nullptr) {
                data->insert(data->end(), buffer.begin() + k * size,
                             buffer.begin() + k * size + frames[k].frActCount);
            }
        }
        return lengths;
    }

    // Writes one transfer of these packets to an OUT endpoint and lets it go out.
    void writePackets(uint8_t endpoint, const std::vector<std::vector<uint8_t>>& packets)
    {
        auto pipe = device->pipe(endpoint);
        ASSERT_TRUE(pipe);
        std::vector<uint8_t> buffer;
        std::vector<IsocFrame> frames;
        for (const auto& packet : packets) {
            buffer.insert(buffer.end(), packet.begin(), packet.end());
            frames.push_back(IsocFrame{0, static_cast<uint16_t>(packet.size()), 0, 0});
        }
        const auto records = static_cast<uint32_t>(packets.size());
        ASSERT_EQ(
            pipe->writeIsoc(buffer.data(), bus.frameNumber() + 1, records, frames.data(), recorder.isoc(0)),
            kSuccess);
        const uint64_t microframes = uint64_t{records} * pipe->endpoint().servicePeriod(device->speed());
        bus.runFor((microframes / kMicroframesPerFrame + 3) * kFrameNanoseconds, 10 * kFrameNanoseconds);
    }

    vc::Scope clock{1'000'000'000};
    Recorder recorder;
    Bus bus;
    std::shared_ptr<DeviceModel> model;
    std::shared_ptr<Device> device;
};

// --- Input packets follow the device clock --------------------------------------------------

struct InputCase
{
    const char* model;
    uint8_t interfaceNumber;
    uint8_t alternate;
    uint8_t endpoint;
    uint32_t rate; // 0: the model's fixed rate (nothing set)
    int32_t ppm;
    uint32_t frameBytes;
    uint32_t records;      // one second
    uint32_t fewest, most; // frames in one packet
    uint32_t total;        // frames in the second
};

class InputPacketsTest : public StreamingModelsTest, public ::testing::WithParamInterface<InputCase>
{
};

TEST_P(InputPacketsTest, CarryTheFramesTheDeviceClockProduced)
{
    const auto c = GetParam();
    plug(c.model);
    if (c.rate != 0) {
        ASSERT_EQ(setRate(c.endpoint, c.rate), kSuccess);
    }
    ASSERT_EQ(device->setAlternate(c.interfaceNumber, c.alternate), kSuccess);
    audio().setClockPpm(c.ppm);
    const auto lengths = readPackets(c.endpoint, c.records);
    ASSERT_EQ(lengths.size(), c.records);
    uint32_t total = 0;
    for (const uint16_t length : lengths) {
        ASSERT_EQ(length % c.frameBytes, 0u) << "whole frames only";
        const uint32_t frames = length / c.frameBytes;
        ASSERT_GE(frames, c.fewest);
        ASSERT_LE(frames, c.most);
        total += frames;
    }
    EXPECT_EQ(total, c.total);
    EXPECT_EQ(streaming().inputOverflows(), 0u);
}

// Totals: floor(rate x (1 + ppm / 10^6)) over the second.
INSTANTIATE_TEST_SUITE_P(
    Models, InputPacketsTest,
    ::testing::Values(InputCase{"class-audio-hs", 2, 1, 0x82, 48000, 0, 4, 8000, 6, 6, 48000},
                      InputCase{"class-audio-hs", 2, 2, 0x82, 44100, 0, 6, 8000, 5, 6, 44100},
                      InputCase{"class-audio-hs", 2, 1, 0x82, 48000, 100, 4, 8000, 6, 7, 48004},
                      InputCase{"class-audio-hs", 2, 1, 0x82, 48000, -300, 4, 8000, 5, 6, 47985},
                      InputCase{"class-audio-hs", 2, 2, 0x82, 96000, 0, 6, 8000, 12, 12, 96000},
                      InputCase{"class-audio-hs-interval4", 2, 1, 0x82, 48000, 0, 4, 1000, 48, 48, 48000},
                      InputCase{"class-audio-hs-interval4", 2, 2, 0x82, 44100, 50, 6, 1000, 44, 45, 44102},
                      InputCase{"Mindprint", 2, 2, 0x82, 48000, 0, 6, 1000, 48, 48, 48000},
                      InputCase{"Mindprint", 2, 1, 0x82, 96000, 0, 4, 1000, 96, 96, 96000},
                      InputCase{"Mindprint", 2, 3, 0x82, 44100, 0, 3, 1000, 44, 45, 44100},
                      InputCase{"1935:0006", 0, 2, 0x81, 0, 0, 4, 8000, 6, 6, 48000},
                      InputCase{"0A4A:F1A0", 2, 2, 0x82, 48000, 0, 6, 8000, 6, 6, 48000},
                      InputCase{"Kelvra-UC3", 2, 1, 0x82, 44100, 150, 4, 8000, 5, 6, 44106},
                      InputCase{"Pellirun", 2, 2, 0x82, 48000, 0, 72, 8000, 6, 6, 48000},
                      InputCase{"Crimson-SPL", 2, 2, 0x82, 96000, 0, 18, 8000, 12, 12, 96000},
                      InputCase{"1935:0006", 0, 7, 0x81, 0, 200, 18, 8000, 6, 7, 48009}));

// --- Feedback ---------------------------------------------------------------------------------

struct FeedbackCase
{
    const char* model;
    uint32_t rate;
    int32_t ppm;
    uint32_t records; // one second
    uint32_t fewest, most;
    uint32_t total;
};

class FeedbackTest : public StreamingModelsTest, public ::testing::WithParamInterface<FeedbackCase>
{
};

TEST_P(FeedbackTest, ReportsTheFramesTheDevicePlayedPerServiceInterval)
{
    const auto c = GetParam();
    plug(c.model);
    ASSERT_EQ(setRate(0x02, c.rate), kSuccess);
    ASSERT_EQ(device->setAlternate(0, 1), kSuccess);
    ASSERT_EQ(device->setAlternate(1, 1), kSuccess);
    audio().setClockPpm(c.ppm);
    std::vector<uint8_t> data;
    const auto lengths = readPackets(0x81, c.records, &data);
    ASSERT_EQ(data.size(), size_t{c.records} * 3);
    uint32_t total = 0;
    for (uint32_t k = 0; k < c.records; ++k) {
        ASSERT_EQ(lengths[k], 3);
        ASSERT_GE(data[k * 3], c.fewest);
        ASSERT_LE(data[k * 3], c.most);
        ASSERT_EQ(data[k * 3 + 1] | data[k * 3 + 2], 0);
        total += data[k * 3];
    }
    EXPECT_EQ(total, c.total);
}

INSTANTIATE_TEST_SUITE_P(Models, FeedbackTest,
                         ::testing::Values(FeedbackCase{"US-144-MKII", 48000, 0, 8000, 6, 6, 48000},
                                           FeedbackCase{"US-144-MKII", 44100, -100, 8000, 5, 6, 44095},
                                           FeedbackCase{"0644:8030", 48000, 0, 1000, 48, 48, 48000},
                                           FeedbackCase{"0644:8030", 48000, 1000, 1000, 48, 49, 48048},
                                           FeedbackCase{"0644:8030", 44100, 0, 1000, 44, 45, 44100}));

// A host that sends in each frame what the feedback reported keeps the device's output balanced,
// however far off its clock runs.
TEST_F(StreamingModelsTest, OutputSizedByTheFeedbackStaysBalanced)
{
    for (const int32_t ppm : {0, 700, -1300}) {
        plug("0644:8030");
        ASSERT_EQ(setRate(0x02, 44100), kSuccess);
        ASSERT_EQ(device->setAlternate(0, 1), kSuccess);
        ASSERT_EQ(device->setAlternate(1, 1), kSuccess);
        audio().setClockPpm(ppm);
        std::vector<uint8_t> feedback;
        readPackets(0x81, 2000, &feedback);
        std::vector<std::vector<uint8_t>> packets;
        uint32_t sent = 0;
        for (size_t ms = 0; ms < 2000; ++ms) {
            // Eight microframe packets carry the millisecond's frames (6 bytes each).
            const uint32_t frames = feedback[ms * 3];
            for (uint32_t k = 0; k < 8; ++k) {
                packets.emplace_back(size_t{frames / 8 + (k < frames % 8 ? 1 : 0)} * 6);
            }
            sent += frames;
        }
        writePackets(0x02, packets);
        EXPECT_EQ(streaming().outputBalance(), 0) << ppm;
        EXPECT_NEAR(sent, 88200.0 * (1 + ppm / 1e6), 1) << ppm;
        bus.detach(device);
    }
}

// The clock may be put off while the device streams: the rate it reports changes from then on.
TEST_F(StreamingModelsTest, ClockErrorChangesWhileStreaming)
{
    plug("0644:8030");
    ASSERT_EQ(setRate(0x02, 48000), kSuccess);
    ASSERT_EQ(device->setAlternate(1, 1), kSuccess);
    std::vector<uint8_t> data;
    readPackets(0x81, 500, &data);
    audio().setClockPpm(-2000);
    EXPECT_EQ(audio().clockPpm(), -2000);
    readPackets(0x81, 500, &data);
    uint32_t first = 0;
    uint32_t second = 0;
    for (uint32_t k = 0; k < 1000; ++k) {
        (k < 500 ? first : second) += data[k * 3];
    }
    EXPECT_EQ(first, 24000u);
    EXPECT_EQ(second, 23952u);
}

// --- Output balance ------------------------------------------------------------------------------

struct BalanceCase
{
    const char* model;
    uint8_t interfaceNumber;
    uint8_t alternate;
    uint8_t endpoint;
    uint32_t rate;
    int32_t ppm;
    uint32_t frameBytes;
    uint32_t framesPerRecord; // what the host sends
    uint32_t records;
    int64_t balance;
};

class OutputBalanceTest : public StreamingModelsTest, public ::testing::WithParamInterface<BalanceCase>
{
};

TEST_P(OutputBalanceTest, CountsWhatTheHostSentAgainstWhatTheClockPlayed)
{
    const auto c = GetParam();
    plug(c.model);
    ASSERT_EQ(setRate(c.endpoint, c.rate), kSuccess);
    ASSERT_EQ(device->setAlternate(c.interfaceNumber, c.alternate), kSuccess);
    audio().setClockPpm(c.ppm);
    std::vector<std::vector<uint8_t>> packets(c.records,
                                              std::vector<uint8_t>(size_t{c.framesPerRecord} * c.frameBytes));
    writePackets(c.endpoint, packets);
    EXPECT_EQ(streaming().outputBalance(), c.balance);
}

INSTANTIATE_TEST_SUITE_P(
    Models, OutputBalanceTest,
    ::testing::Values(BalanceCase{"class-audio-hs", 1, 1, 0x01, 48000, 0, 4, 6, 8000, 0},
                      BalanceCase{"class-audio-hs", 1, 1, 0x01, 48000, 1000, 4, 6, 8000, -48},
                      BalanceCase{"class-audio-hs-interval4", 1, 2, 0x01, 48000, -500, 6, 48, 1000, 24},
                      BalanceCase{"class-audio-out-only", 1, 2, 0x01, 44100, 0, 6, 44, 1000, -100},
                      BalanceCase{"Mindprint", 1, 1, 0x01, 96000, 0, 4, 96, 1000, 0}));

// --- Loopback -----------------------------------------------------------------------------------

struct LoopCase
{
    const char* model;
    uint8_t alternate;
    uint32_t rate;
    int32_t ppm;
    uint32_t channels;
    uint32_t bytesPerSample;
    uint32_t recordsPerFrame;
};

class LoopbackTest : public StreamingModelsTest, public ::testing::WithParamInterface<LoopCase>
{
};

TEST_P(LoopbackTest, OutputComesBackBitExact)
{
    const auto c = GetParam();
    plug(c.model);
    const uint8_t out = 0x01;
    const uint8_t in = 0x82;
    ASSERT_EQ(setRate(out, c.rate), kSuccess);
    ASSERT_EQ(setRate(in, c.rate), kSuccess);
    ASSERT_EQ(device->setAlternate(1, c.alternate), kSuccess);
    ASSERT_EQ(device->setAlternate(2, c.alternate), kSuccess);
    audio().setClockPpm(c.ppm);
    const uint32_t perRecord = c.rate / (1000 * c.recordsPerFrame);
    StreamHarness stream(bus, device->pipe(out), device->pipe(in), c.channels, c.bytesPerSample,
                         c.recordsPerFrame, perRecord);
    std::vector<int32_t> signal(size_t{c.rate / 10} * c.channels);
    const uint32_t shift = c.bytesPerSample == 2 ? 16 : 8;
    for (size_t i = 0; i < signal.size(); ++i) {
        signal[i] = static_cast<int32_t>(((i + 1) * 0x010203u) << shift);
    }
    stream.setOutput(signal);
    stream.start();
    bus.runFor(300 * kFrameNanoseconds, 4 * kFrameNanoseconds);
    stream.stop();
    EXPECT_EQ(stream.failures(), 0);
    const auto input = stream.input();
    const auto first = std::find_if(input.begin(), input.end(), [](int32_t s) { return s != 0; });
    ASSERT_NE(first, input.end());
    ASSERT_GE(static_cast<size_t>(input.end() - first), signal.size());
    EXPECT_TRUE(std::equal(signal.begin(), signal.end(), first));
    EXPECT_EQ((first - input.begin()) % c.channels, 0) << "frames stay aligned";
}

INSTANTIATE_TEST_SUITE_P(Models, LoopbackTest,
                         ::testing::Values(LoopCase{"class-audio", 1, 44100, 0, 2, 2, 1},
                                           LoopCase{"class-audio", 1, 48000, 300, 2, 2, 1},
                                           LoopCase{"class-audio", 2, 44100, -300, 2, 3, 1},
                                           LoopCase{"class-audio", 2, 48000, 0, 2, 3, 1},
                                           LoopCase{"class-audio-hs", 1, 48000, 0, 2, 2, 8},
                                           LoopCase{"class-audio-hs", 2, 44100, 0, 2, 3, 8},
                                           LoopCase{"class-audio-hs", 2, 96000, 200, 2, 3, 8},
                                           LoopCase{"class-audio-hs-interval4", 2, 48000, -100, 2, 3, 1},
                                           LoopCase{"class-audio-hs-32ch", 1, 96000, 100, 32, 2, 8},
                                           LoopCase{"class-audio-hs-32ch", 2, 48000, 0, 32, 3, 8},
                                           LoopCase{"Mindprint", 1, 48000, 0, 2, 2, 1},
                                           LoopCase{"Mindprint", 2, 96000, 0, 2, 3, 1},
                                           LoopCase{"Mindprint", 3, 44100, 0, 1, 3, 1},
                                           // Read from files: streams from the descriptors alone.
                                           LoopCase{"file:class-audio", 2, 48000, 0, 2, 3, 1},
                                           LoopCase{"file:class-audio-hs", 1, 96000, 100, 2, 2, 8},
                                           LoopCase{"file:class-audio-hs-32ch", 2, 44100, 0, 32, 3, 8}));

// Mono 24 bits high, low, middle: the model's own packing, both ways.
TEST_F(StreamingModelsTest, MindprintMonoComesHighLowMiddle)
{
    plug("Mindprint");
    ASSERT_EQ(setRate(0x01, 48000), kSuccess);
    ASSERT_EQ(device->setAlternate(1, 3), kSuccess);
    std::vector<uint8_t> packet = {0x12, 0x56, 0x34, 0xFF, 0x00, 0x80};
    writePackets(0x01, {packet});
    EXPECT_EQ(audio().capturedOutput(), (std::vector<int32_t>{0x12345600, static_cast<int32_t>(0xFF800000)}));
}

// --- Elektron output headers ------------------------------------------------------------------

// A packet as the host builds it: the 104-byte header, then `frames` frames of audio.
std::vector<uint8_t> headed(uint32_t frames, uint32_t total, const std::vector<uint8_t>& extra,
                            const std::vector<uint8_t>& audio)
{
    std::vector<uint8_t> packet(104 + audio.size(), 0);
    packet[0] = static_cast<uint8_t>(frames);
    packet[1] = 0xFF;
    packet[2] = static_cast<uint8_t>(total >> 24);
    packet[3] = static_cast<uint8_t>(total >> 16);
    packet[4] = static_cast<uint8_t>(total >> 8);
    packet[5] = static_cast<uint8_t>(total);
    std::copy(extra.begin(), extra.end(), packet.begin() + 6);
    const auto nonZero = std::find_if(extra.begin(), extra.end(), [](uint8_t b) { return b != 0; });
    if (nonZero != extra.end()) {
        packet[1] = static_cast<uint8_t>(nonZero - extra.begin());
    }
    std::copy(audio.begin(), audio.end(), packet.begin() + 104);
    return packet;
}

struct HeaderCase
{
    const char* what;
    void (*spoil)(std::vector<uint8_t>& packet); // applied to the last of four packets
    uint64_t errors;
};

class ElektronHeaderTest : public StreamingModelsTest, public ::testing::WithParamInterface<HeaderCase>
{
};

TEST_P(ElektronHeaderTest, EachWrongHeaderIsCounted)
{
    const auto c = GetParam();
    plug("1935:0006");
    ASSERT_EQ(device->setAlternate(1, 2), kSuccess); // 2 channels, 16 bits
    ASSERT_EQ(announce(1, 16), kSuccess);
    std::vector<std::vector<uint8_t>> packets;
    uint32_t total = 1000;
    std::vector<uint8_t> extras;
    for (uint8_t k = 0; k < 4; ++k) {
        std::vector<uint8_t> extra(12, 0);
        extra[5 + k] = static_cast<uint8_t>(0x40 + k);
        extras.insert(extras.end(), extra.begin(), extra.end());
        total += 6;
        packets.push_back(headed(6, total, extra, std::vector<uint8_t>(6 * 4, k)));
    }
    c.spoil(packets.back());
    writePackets(0x02, packets);
    const auto headers = streaming().headers();
    EXPECT_EQ(headers.packets, 4u);
    EXPECT_EQ(headers.errors, c.errors) << c.what;
    if (c.errors == 0) {
        EXPECT_EQ(headers.lastTotal, 1024u);
        EXPECT_EQ(streaming().extraBytes(), extras);
        EXPECT_EQ(audio().capturedOutput().size(), 4u * 6 * 2);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Spoilt, ElektronHeaderTest,
    ::testing::Values(HeaderCase{"good", [](std::vector<uint8_t>&) {}, 0},
                      HeaderCase{"one frame short", [](std::vector<uint8_t>& p) { p.resize(p.size() - 4); },
                                 1},
                      HeaderCase{"count says 7", [](std::vector<uint8_t>& p) { p[0] = 7; }, 1},
                      HeaderCase{"running total jumps", [](std::vector<uint8_t>& p) { p[5] += 1; }, 1},
                      HeaderCase{"wrong first extra index", [](std::vector<uint8_t>& p) { p[1] = 0; }, 1},
                      HeaderCase{"reserved word set", [](std::vector<uint8_t>& p) { p[102] = 1; }, 1},
                      HeaderCase{"header cut", [](std::vector<uint8_t>& p) { p.resize(50); }, 1}));

// Alternate 5 carries 12 bytes per frame: 4 channels of 24 bits or 6 of 16, as the host announced.
TEST_F(StreamingModelsTest, ElektronAlternateFiveFollowsTheAnnouncedResolution)
{
    plug("1935:0006");
    ASSERT_EQ(device->setAlternate(1, 5), kSuccess);
    std::vector<uint8_t> audioBytes(12);
    std::iota(audioBytes.begin(), audioBytes.end(), uint8_t{1});
    for (const auto& [bits, samples] : {std::pair{24, 4u}, std::pair{16, 6u}}) {
        ASSERT_EQ(announce(1, static_cast<uint8_t>(bits)), kSuccess);
        EXPECT_EQ(streaming().announcedResolution(1), bits);
        const auto before = audio().capturedOutput().size();
        writePackets(0x02, {headed(1, 1, {0, 0}, audioBytes)});
        const auto captured = audio().capturedOutput();
        ASSERT_EQ(captured.size() - before, samples) << bits;
        EXPECT_EQ(captured[before], bits == 24 ? 0x03020100 : 0x02010000) << bits;
    }
    EXPECT_EQ(streaming().headers().errors, 0u);
}

// No output channels: the header alone, its count taken as frames played.
TEST_F(StreamingModelsTest, ElektronHeaderOnlyPacketsCarryTheirCount)
{
    plug("1935:0006");
    ASSERT_EQ(device->setAlternate(1, 1), kSuccess);
    std::vector<std::vector<uint8_t>> packets;
    for (uint32_t k = 1; k <= 16; ++k) {
        packets.push_back(headed(6, 6 * k, std::vector<uint8_t>(12, 0), {}));
    }
    writePackets(0x02, packets);
    EXPECT_EQ(streaming().headers().errors, 0u);
    EXPECT_EQ(streaming().outputBalance(), 0) << "6 frames per microframe at 48 kHz";
}

// --- Keep-alive -----------------------------------------------------------------------------------

TEST_F(StreamingModelsTest, KeepAlivePacketsAreCounted)
{
    plug("0A4A:FFDD@0300");
    auto pipe = device->pipe(models::BitPlaneBulkDevice::kKeepAliveEndpoint);
    ASSERT_TRUE(pipe);
    EXPECT_EQ(pipe->maxPacketSize(), 4);
    EXPECT_EQ(pipe->type(), TransferType::isochronous);
    writePackets(models::BitPlaneBulkDevice::kKeepAliveEndpoint, std::vector<std::vector<uint8_t>>(8, {0}));
    const auto keepAlive = dynamic_cast<models::BitPlaneBulkDevice&>(*model).keepAlive();
    EXPECT_EQ(keepAlive.packets, 8u) << "one packet per microframe record";
    EXPECT_EQ(keepAlive.bytes, 8u);
}

// --- Hostile device ------------------------------------------------------------------------------

TEST_F(StreamingModelsTest, PacketsOfAnExactWrongLength)
{
    plug("0644:8030");
    ASSERT_EQ(setRate(0x02, 48000), kSuccess);
    ASSERT_EQ(device->setAlternate(1, 1), kSuccess);
    EndpointFaults faults;
    faults.resizePackets = 2;
    faults.packetBytes = 2;
    model->setEndpointFaults(0x81, faults);
    std::vector<uint8_t> data;
    auto lengths = readPackets(0x81, 4, &data);
    EXPECT_EQ(lengths, (std::vector<uint16_t>{2, 2, 3, 3})) << "feedback of 2 bytes, then the device's own";
    EXPECT_EQ(data[0], 48);

    faults.resizePackets = 1;
    faults.packetBytes = 4;
    model->setEndpointFaults(0x81, faults);
    data.clear();
    lengths = readPackets(0x81, 2, &data);
    EXPECT_EQ(lengths, (std::vector<uint16_t>{4, 3}));
    EXPECT_EQ(data[3], 0x5A) << "the byte the device added";

    // Input with a wrong frame count, a length of no whole frames, and an empty packet.
    plug("class-audio-hs");
    ASSERT_EQ(setRate(0x82, 48000), kSuccess);
    ASSERT_EQ(device->setAlternate(2, 1), kSuccess);
    faults = {};
    faults.resizePackets = 1;
    faults.packetBytes = 7 * 4;
    model->setEndpointFaults(0x82, faults);
    lengths = readPackets(0x82, 3);
    faults.packetBytes = 9;
    model->setEndpointFaults(0x82, faults);
    const auto odd = readPackets(0x82, 1);
    faults = {};
    faults.dropPackets = 1;
    model->setEndpointFaults(0x82, faults);
    const auto empty = readPackets(0x82, 2);
    EXPECT_EQ(lengths, (std::vector<uint16_t>{28, 24, 24}));
    EXPECT_EQ(odd, std::vector<uint16_t>{9});
    EXPECT_EQ(empty, (std::vector<uint16_t>{0, 24}));
}

// A fuzz target's bytes in place of the device's packets, where the source says so.
TEST_F(StreamingModelsTest, PacketSourceWritesThePacketsItTakes)
{
    plug("class-audio-hs");
    ASSERT_EQ(device->setAlternate(2, 1), kSuccess);
    int calls = 0;
    model->setPacketSource(0x82, [&calls](std::span<uint8_t> packet) -> std::optional<uint32_t> {
        if (++calls % 2 == 0) {
            return std::nullopt;
        }
        std::fill(packet.begin(), packet.begin() + 5, uint8_t{0xEE});
        return calls == 3 ? 100000u : 5u; // the third asks for more than fits
    });
    std::vector<uint8_t> data;
    const auto lengths = readPackets(0x82, 4, &data);
    const uint16_t size = device->pipe(0x82)->maxPacketSize();
    EXPECT_EQ(lengths, (std::vector<uint16_t>{5, 24, size, 24}));
    EXPECT_EQ(data[0], 0xEE);
    model->setPacketSource(0x82, {});
    EXPECT_EQ(readPackets(0x82, 2), (std::vector<uint16_t>{24, 24}));
    EXPECT_EQ(calls, 4);
}

TEST_F(StreamingModelsTest, CompletionsLateOrMissing)
{
    plug("class-audio-hs");
    ASSERT_EQ(setRate(0x82, 48000), kSuccess);
    ASSERT_EQ(device->setAlternate(2, 1), kSuccess);
    auto pipe = device->pipe(0x82);
    const uint16_t size = pipe->maxPacketSize();
    EndpointFaults faults;
    faults.delayCompletions = 1;
    faults.delayMilliseconds = 7;
    faults.holdCompletions = 0;
    model->setEndpointFaults(0x82, faults);
    std::vector<uint8_t> buffer(32 * size);
    std::vector<IsocFrame> first(32, IsocFrame{0, size, 0, 0});
    std::vector<IsocFrame> second(32, IsocFrame{0, size, 0, 0});
    const uint64_t start = bus.frameNumber() + 1;
    ASSERT_EQ(pipe->readIsoc(buffer.data(), start, 32, first.data(), recorder.isoc(1)), kSuccess);
    ASSERT_EQ(pipe->readIsoc(buffer.data(), start + 4, 32, second.data(), recorder.isoc(2)), kSuccess);
    bus.runFrames(1 + 4 + 6);
    EXPECT_EQ(recorder.count(), 0u) << "the late completion holds back the next";
    bus.runFrames(4);
    ASSERT_EQ(recorder.count(), 2u);
    EXPECT_EQ(recorder.all()[0].tag, 1);

    faults = {};
    faults.holdCompletions = 1;
    model->setEndpointFaults(0x82, faults);
    ASSERT_EQ(pipe->readIsoc(buffer.data(), bus.frameNumber() + 1, 32, first.data(), recorder.isoc(3)),
              kSuccess);
    bus.runFrames(50);
    EXPECT_EQ(recorder.count(), 2u) << "a missing completion never comes";
    pipe->abort();
    bus.settle();
    ASSERT_EQ(recorder.count(), 3u);
    EXPECT_EQ(recorder.all()[2].status, kAborted);
}

// The frame counter jumps ahead: a stream that goes on from its own schedule finds its next start
// frame in the past.
TEST_F(StreamingModelsTest, FrameNumberJumpLeavesTheScheduleBehind)
{
    plug("class-audio-hs");
    ASSERT_EQ(device->setAlternate(2, 1), kSuccess);
    auto pipe = device->pipe(0x82);
    const uint16_t size = pipe->maxPacketSize();
    std::vector<uint8_t> buffer(32 * size);
    std::vector<IsocFrame> frames(32, IsocFrame{0, size, 0, 0});
    const uint64_t next = bus.frameNumber() + 10;
    ASSERT_TRUE(bus.setFrameNumber(bus.frameNumber() + 1000));
    EXPECT_EQ(pipe->readIsoc(buffer.data(), next, 32, frames.data(), recorder.isoc(1)), kIsoTooOld);
    EXPECT_EQ(pipe->readIsoc(buffer.data(), bus.frameNumber() + 1, 32, frames.data(), recorder.isoc(2)),
              kSuccess);
    bus.runFrames(6);
    ASSERT_EQ(recorder.count(), 1u);
    EXPECT_EQ(frames[0].frActCount, 24);
}

} // namespace
} // namespace usbsim::test
