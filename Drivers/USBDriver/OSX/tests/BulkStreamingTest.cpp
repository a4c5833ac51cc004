// Bulk audio streaming through the whole driver on the simulated bus, on the virtual clock: a
// client's output goes out in bit-plane packets, comes back through the device model's own codec
// and loopback, and arrives in the input ring bit-exact; configurations the packets cannot carry
// are refused with a log line; a short input transfer leaves silence for what it lacked.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "APISpecificFeatures.h"
#include "AudioIRP.h"
#include "StreamingFixture.h"
#include "VKKernelDevice.h"
#include "platform/Log.h"
#include "usbsim/models/BitPlaneBulkDevice.h"

namespace {

using streaming_test::Client;
using streaming_test::StreamingTest;
using driver_test::kMillisecond;
using loopback::arrivedSignal;
using loopback::asInput;
using loopback::signal;

struct BulkFormat
{
    const char* model;
    uint16_t product;
    uint32_t rate;
    int32_t inChannels;
    int32_t outChannels;
};

std::string bulkFormatName(const testing::TestParamInfo<BulkFormat>& info)
{
    std::string name = std::string(info.param.model) + "_" + std::to_string(info.param.rate) + "_" +
                       std::to_string(info.param.inChannels) + "x" + std::to_string(info.param.outChannels);
    for (char& c : name) {
        if (c == ':' || c == '@' || c == '-') {
            c = '_';
        }
    }
    return name;
}

// The feature record of a listed bulk device of the family (its interfaces are found by their
// vendor class) with the bit-plane model's interfaces (output 0,
// input 1, alternate 0 each): its descriptors are built from the record, `channels` each way at 24
// bits up to 192 kHz at high speed.
APISpecificFeatures bulkFeatures(uint8_t inChannels, uint8_t outChannels)
{
    APISpecificFeatures features{};
    const uint32_t rates[] = {44100, 48000, 88200, 96000, 176400, 192000};
    for (const auto direction : {APISpecificFeatures::kInput, APISpecificFeatures::kOutput}) {
        for (const auto speed : {APISpecificFeatures::kFullSpeed, APISpecificFeatures::kHighSpeed}) {
            APIStreamingInfo& info = features.mFormats[speed][direction];
            info.bBitResolution = 24;
            info.bNrChannels = direction == APISpecificFeatures::kInput ? inChannels : outChannels;
            info.mNumFrequencies = 6;
            for (size_t i = 0; i < 6; ++i) {
                info.mFrequencies[i] = rates[i];
            }
        }
    }
    features.mInInterface = 1;
    features.mInAlternate = 0;
    features.mOutInterface = 0;
    features.mOutAlternate = 0;
    features.mMidiInterface = 0xFF;
    features.mFlags[APISpecificFeatures::kCorlanthCompatible] = 1;
    features.mFlags[APISpecificFeatures::kBulkDevice] = 1;
    features.mFlags[APISpecificFeatures::kBuildDummyDescriptor] = 1;
    features.mValid = 1;
    return features;
}

class BulkStreamingTest : public StreamingTest
{
protected:
    // The model is listed as a bulk device with `channels` each way, then configured.
    VKDevice* configureListed(const char* model, uint16_t product, uint32_t rate, int32_t inChannels,
                              int32_t outChannels)
    {
        const APISpecificFeatures features =
            bulkFeatures(static_cast<uint8_t>(inChannels), static_cast<uint8_t>(outChannels));
        OSDictionary* specific = OSDictionary::withCapacity(1);
        OSData* record = OSData::withBytes(&features, sizeof features);
        specific->setObject("kConfigurationData", record);
        record->release();
        driver.addPersonality(0x0A4A, product, specific);
        specific->release();
        return configure(model, rate, 24, inChannels, outChannels);
    }

    // Starts the stream and attaches a client: true when it runs.
    bool startWithClient(Client& client)
    {
        startStreaming();
        return device->streamingStarted() == 1 && attach(client);
    }

    // Runs the clock for `ms` in 2 ms steps, collecting every frame the kernel writes to the input
    // ring (the ring wraps well within a second at high rates).
    void runCollecting(uint32_t ms)
    {
        KernelInputRing& kernel = device->mpDriverData->inputRing();
        const uint32_t channels = kernel.geometry().channels;
        const uint64_t length = kernel.geometry().maxFrames;
        for (uint32_t t = 0; t < ms; t += 2) {
            driver.runFor(2 * kMillisecond);
            const uint64_t written = kernel.framePos();
            ASSERT_LE(written - mCollectedUpTo, length) << "the collector fell behind the ring";
            for (; mCollectedUpTo < written; ++mCollectedUpTo) {
                const int32_t* frame = inputRing().mSamples + (mCollectedUpTo % length) * channels;
                mCollected.insert(mCollected.end(), frame, frame + channels);
            }
        }
    }

    // Plays `frames` frames of a signal on `channels` channels (after silence) and checks what the
    // loopback brings into the input ring on the first `looped` channels.
    void expectBulkLoopback(Client& client, uint32_t rate, uint32_t channels, uint32_t looped, uint32_t frames)
    {
        const std::vector<int32_t> samples = signal(frames, channels, 24, rate + channels);
        std::vector<int32_t> played(size_t{rate / 50} * channels, 0);
        played.insert(played.end(), samples.begin(), samples.end());
        play(client, played, channels);
        runCollecting(100 + 1000 * frames / rate);
        std::vector<int32_t> expected;
        for (uint32_t f = 0; f < frames; ++f) {
            for (uint32_t c = 0; c < looped; ++c) {
                expected.push_back(samples[size_t{f} * channels + c]);
            }
        }
        expected = asInput(expected);
        const uint32_t inChannels = device->mpDriverData->inputRing().geometry().channels;
        const std::vector<int32_t> arrived = arrivedSignal(mCollected.data(), mCollected.size() / inChannels, 0,
                                                           inChannels, size_t{frames} * inChannels);
        std::vector<int32_t> arrivedLooped;
        for (size_t f = 0; f * inChannels < arrived.size(); ++f) {
            for (uint32_t c = 0; c < looped; ++c) {
                arrivedLooped.push_back(arrived[f * inChannels + c]);
            }
        }
        ASSERT_EQ(arrivedLooped.size(), expected.size());
        EXPECT_EQ(arrivedLooped, expected);
    }

    std::vector<int32_t> mCollected;
    uint64_t mCollectedUpTo = 0;
};

class BulkLoopbackTest : public BulkStreamingTest, public testing::WithParamInterface<BulkFormat>
{
};

TEST_P(BulkLoopbackTest, ClientOutputComesBackBitExact)
{
    const BulkFormat format = GetParam();
    ASSERT_NE(configureListed(format.model, format.product, format.rate, format.inChannels, format.outChannels),
              nullptr);
    Client client;
    ASSERT_TRUE(startWithClient(client));
    const auto outChannels = static_cast<uint32_t>(format.outChannels);
    const auto looped = std::min(outChannels, static_cast<uint32_t>(format.inChannels));
    // What fits the client's ring after the silence, which holds 8,192 frames of 16 channels.
    expectBulkLoopback(client, format.rate, outChannels, looped, 4096);
    EXPECT_EQ(device->streamStateChanges(), 0u);
    EXPECT_EQ(device->mRealTimeRecord.total(VKRealTimeRecord::kTransferErrors), 0u);
    EXPECT_EQ(device->mRealTimeRecord.total(VKRealTimeRecord::kMissingInputPackets), 0u);
    detach(client);
}

INSTANTIATE_TEST_SUITE_P(BitPlane, BulkLoopbackTest,
                         testing::Values(BulkFormat{"0A4A:FFDD", 0xFFDD, 48000, 16, 16},
                                         BulkFormat{"0A4A:FFDD", 0xFFDD, 96000, 16, 16},
                                         BulkFormat{"0A4A:FFDD", 0xFFDD, 44100, 16, 16},
                                         BulkFormat{"0A4A:FFDD@0200", 0xFFDD, 48000, 16, 16},
                                         BulkFormat{"0A4A:FFDD@0200", 0xFFDD, 192000, 16, 16}),
                         bulkFormatName);

} // namespace

namespace {

struct Refusal
{
    const char* name;
    uint16_t packetSize;
    int32_t inChannels;
    int32_t outChannels;
    const char* line;
};

class BulkRefusalTest : public BulkStreamingTest, public testing::WithParamInterface<Refusal>
{
};

// A listed bulk device whose packets or channels the bulk layouts cannot carry is configured, but
// its stream is refused before anything is queued: not started, a log line, no transfer on the bus.
TEST_P(BulkRefusalTest, AStreamThePacketsCannotCarryIsRefusedAndSaysSo)
{
    const Refusal c = GetParam();
    usbsim::models::BitPlaneBulkDevice::Options options;
    options.packetSize = c.packetSize;
    options.inputChannels = static_cast<uint32_t>(c.inChannels);
    const APISpecificFeatures features =
        bulkFeatures(static_cast<uint8_t>(c.inChannels), static_cast<uint8_t>(c.outChannels));
    OSDictionary* specific = OSDictionary::withCapacity(1);
    OSData* record = OSData::withBytes(&features, sizeof features);
    specific->setObject("kConfigurationData", record);
    record->release();
    driver.addPersonality(0x0A4A, 0xFFDD, specific);
    specific->release();
    service = driver.plug(std::make_shared<usbsim::models::BitPlaneBulkDevice>(options));
    ASSERT_NE(service, nullptr);
    device = service->device();
    QzChannelSettings& settings = *device->getCurrentSettings();
    settings.iFrequency = 48000;
    settings.iInChannels = c.inChannels;
    settings.iOutChannels = c.outChannels;
    settings.iInResolution = settings.iOutResolution = 24;
    IOReturn status = kIOReturnError;
    request([&] { status = service->reqConfigureDevice("test"); });
    ASSERT_EQ(status, kIOReturnSuccess);
    platform::log::Capture log(platform::log::Channel::kernel);
    startStreaming();
    driver.runFor(20 * kMillisecond);
    EXPECT_EQ(device->streamingStarted(), 0);
    EXPECT_TRUE(log.contains(c.line));
    EXPECT_TRUE(log.contains("VKDevice::resumeStreaming: the stream did not start"));
    for (const AudioBulkIRP* chain : {device->mBulkInterrupt.bulkIn, device->mBulkInterrupt.bulkOut}) {
        for (int i = 0; i < VKBulkInterruptStreams::kNumBulkIRPs; ++i) {
            EXPECT_FALSE(chain[i].isClaimed()) << "nothing queued";
        }
    }
    EXPECT_EQ(device->mpDriverData->inputRing().framePos(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, BulkRefusalTest,
    testing::Values(Refusal{"Packets600", 600, 16, 16, "input packets of 600 bytes"},
                    Refusal{"TwelveOutputs", 512, 16, 12, "DMA OUTPUT invalid channel number"},
                    Refusal{"ThreeInputs", 512, 3, 16, "DMA INPUT invalid channel number"},
                    Refusal{"Packets1000", 1000, 16, 16, "input packets of 1000 bytes"}),
    [](const testing::TestParamInfo<Refusal>& param) { return std::string(param.param.name); });

// An input transfer that ends short decodes only the whole packets it brought; the packets it
// lacks come as silence, so the ring keeps the frames its time stamps count, and the stream goes on.
TEST_F(BulkStreamingTest, AShortInputTransferDecodesWhatArrivedAndTheRestIsSilence)
{
    ASSERT_NE(configureListed("0A4A:FFDD", 0xFFDD, 48000, 16, 16), nullptr);
    Client client;
    ASSERT_TRUE(startWithClient(client));
    driver.runFor(20 * kMillisecond);
    usbsim::EndpointFaults shorter;
    shorter.shortenPackets = 1;
    shorter.shortenBy = 100;
    driver.model()->setEndpointFaults(usbsim::models::BitPlaneBulkDevice::kInEndpoint, shorter);
    driver.runFor(50 * kMillisecond);
    const uint64_t missing = device->mRealTimeRecord.total(VKRealTimeRecord::kMissingInputPackets);
    EXPECT_GE(missing, 1u) << "the shortened packet itself and those after it";
    EXPECT_LE(missing, AudioBulkIRP::kPackets);
    EXPECT_EQ(device->streamingStarted(), 1);
    EXPECT_EQ(device->streamStateChanges(), 0u);
    // Every transfer's frames reached the ring: 160 per transfer, whole or not.
    const uint64_t written = device->mpDriverData->inputRing().framePos();
    EXPECT_EQ(written % 8, 0u);
    const uint64_t before = written;
    driver.runFor(20 * kMillisecond);
    EXPECT_GT(device->mpDriverData->inputRing().framePos(), before) << "the stream goes on";
    detach(client);
}

} // namespace

namespace {

class BulkDriftTest : public BulkStreamingTest, public testing::WithParamInterface<int32_t>
{
};

// The device's clock runs fast or slow against the host's: the drift guard compares, window by
// window, the frames sent with the frames the input received and inserts input frames when the
// output runs ahead by the critical point; every inserted frame is one more frame in the ring
// than the device delivered, and no ring overruns.
TEST_P(BulkDriftTest, TheGuardInsertsFramesAsComputedAndNoRingOverruns)
{
    const int32_t ppm = GetParam();
    ASSERT_NE(configureListed("0A4A:FFDD", 0xFFDD, 48000, 16, 16), nullptr);
    auto* model = static_cast<usbsim::models::BitPlaneBulkDevice*>(driver.model());
    model->setClockPpm(ppm);
    startStreaming();
    ASSERT_EQ(device->streamingStarted(), 1);
    // 20 s: six windows of 750 output completions (3.125 s each at 200 frames per block).
    driver.runFor(20'000 * kMillisecond);
    const VKDriftGuard& guard = device->bulkGuard();
    EXPECT_EQ(guard.criticalPoint, 68);
    EXPECT_EQ(guard.lowMark, 35);
    EXPECT_GE(guard.windows.load(), 6u);
    // The output runs ahead of the input by the device's buffer and the service's lead: the first
    // window asks for frames down to the low mark, and the guard holds there from then on.
    EXPECT_GT(guard.inserted.load(), 0u);
    EXPECT_EQ(guard.inserted.load() + static_cast<uint64_t>(guard.criticalPointDiff.load()), guard.requested.load())
        << "every frame the guard asked for, and only those, inserted (or still pending)";
    EXPECT_LT(guard.lastDiff.load(), guard.criticalPoint);
    EXPECT_GE(guard.lastDiff.load(), 0);
    // Every frame in the ring is one the device delivered or one the guard inserted (the frames of
    // the packets the service has not reached yet at most missing).
    const uint64_t ring = device->mpDriverData->inputRing().framePos();
    const uint64_t delivered = model->inputFramesSent() + guard.inserted.load();
    EXPECT_LE(ring, delivered);
    EXPECT_LE(delivered - ring, 8u * AudioBulkIRP::kPackets);
    EXPECT_EQ(device->mRealTimeRecord.total(VKRealTimeRecord::kInsertedFrames), guard.inserted.load());
    // No ring overran: the device lost no input, and no output packet went out unfilled.
    EXPECT_EQ(model->inputOverflows(), 0u);
    EXPECT_EQ(device->mRealTimeRecord.total(VKRealTimeRecord::kUnfilledOutputFrames), 0u);
    EXPECT_EQ(device->streamStateChanges(), 0u);
}

// The guard's arithmetic over one window: the averages of frames sent and received, and the frames
// to insert down to the low mark once the difference reaches the critical point.
TEST(VKDriftGuardTest, AWindowAsksForTheDifferenceDownToTheLowMark)
{
    const struct
    {
        uint32_t rate;
        int32_t lead; // frames sent ahead of those received at every completion
        int32_t pending;
    } cases[] = {{48000, 100, 100 - 35}, {48000, 68, 68 - 35}, {48000, 67, 0}, {96000, 200, 200 - 70},
                 {44100, 63, 63 - 32}, {44100, 62, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.rate) + " lead " + std::to_string(c.lead));
        VKDriftGuard guard;
        guard.reset(c.rate);
        uint64_t sent = 0;
        for (uint32_t i = 0; i < VKDriftGuard::kWindow; ++i) {
            sent += 200;
            guard.onOutputCompleted(200, sent - static_cast<uint64_t>(c.lead));
            EXPECT_EQ(guard.windows.load(), i + 1 == VKDriftGuard::kWindow ? 1u : 0u);
        }
        EXPECT_EQ(guard.lastDiff.load(), c.lead);
        EXPECT_EQ(guard.criticalPointDiff.load(), c.pending);
        int32_t taken = 0;
        while (guard.takeInsertion()) {
            ++taken;
        }
        EXPECT_EQ(taken, c.pending);
    }
}

INSTANTIATE_TEST_SUITE_P(Clock, BulkDriftTest, testing::Values(-100, 0, 100),
                         [](const testing::TestParamInfo<int32_t>& param) {
                             return param.param < 0 ? "Slow" : param.param > 0 ? "Fast" : "Exact";
                         });

} // namespace
