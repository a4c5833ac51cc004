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
#include "IOKit/usb/IOUSBPipe.h"
#include "StreamingFixture.h"
#include "VKKernelDevice.h"
#include "platform/Log.h"
#include "platform/ProcessEnvironment.h"
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
    // The model is listed as a bulk device with these channels, then configured.
    VKDevice* configureListed(const char* model, uint16_t product, uint32_t rate, int32_t inChannels,
                              int32_t outChannels)
    {
        list(0x0A4A, product, inChannels, outChannels);
        return configure(model, rate, 24, inChannels, outChannels);
    }

    // A bit-plane device made with `options` (its ids included), listed and configured.
    VKDevice* configureListed(const usbsim::models::BitPlaneBulkDevice::Options& options, uint32_t rate,
                              int32_t inChannels, int32_t outChannels)
    {
        list(options.vendorID, options.productID, inChannels, outChannels);
        service = driver.plug(std::make_shared<usbsim::models::BitPlaneBulkDevice>(options));
        if (service == nullptr) {
            return nullptr;
        }
        device = service->device();
        QzChannelSettings& settings = *device->getCurrentSettings();
        settings.iFrequency = static_cast<int32_t>(rate);
        settings.iInChannels = inChannels;
        settings.iOutChannels = outChannels;
        settings.iInResolution = settings.iOutResolution = 24;
        IOReturn status = kIOReturnError;
        request([&] { status = service->reqConfigureDevice("test"); });
        return status == kIOReturnSuccess ? device : nullptr;
    }

    void list(uint16_t vendor, uint16_t product, int32_t inChannels, int32_t outChannels)
    {
        const APISpecificFeatures features =
            bulkFeatures(static_cast<uint8_t>(inChannels), static_cast<uint8_t>(outChannels));
        OSDictionary* specific = OSDictionary::withCapacity(1);
        OSData* record = OSData::withBytes(&features, sizeof features);
        specific->setObject("kConfigurationData", record);
        record->release();
        driver.addPersonality(vendor, product, specific);
        specific->release();
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

    // Plays a signal on `channels` channels (after silence) and checks what the loopback brings into
    // the input ring on the first `looped` channels; `expectedAt(samples, frame, channel)` is what
    // an input channel carries (the host channel of that frame unless a pair encoder moves it).
    template <typename ExpectedAt>
    void expectBulkLoopback(Client& client, uint32_t rate, uint32_t channels, uint32_t looped, ExpectedAt expectedAt)
    {
        // What fits the client's ring after the silence.
        const uint32_t silence = rate / 50;
        const auto capacity = static_cast<uint32_t>(client.ring->mMaxFrames);
        const uint32_t frames = std::min<uint32_t>(4096, capacity - silence - 512);
        const std::vector<int32_t> samples = signal(frames, channels, 24, rate + channels);
        std::vector<int32_t> played(size_t{silence} * channels, 0);
        played.insert(played.end(), samples.begin(), samples.end());
        play(client, played, channels);
        runCollecting(100 + 1000 * (silence + frames) / rate);
        std::vector<int32_t> expected;
        for (uint32_t f = 0; f < frames; ++f) {
            for (uint32_t c = 0; c < looped; ++c) {
                expected.push_back(expectedAt(samples, f, c));
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

    void expectBulkLoopback(Client& client, uint32_t rate, uint32_t channels, uint32_t looped)
    {
        expectBulkLoopback(client, rate, channels, looped,
                           [channels](const std::vector<int32_t>& samples, uint32_t f, uint32_t c) {
                               return samples[size_t{f} * channels + c];
                           });
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
    expectBulkLoopback(client, format.rate, outChannels, looped);
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
    // 20 s: six windows of 750 output completions (3.125 s each at 200 frames per block), each
    // window's difference read as it closes.
    const VKDriftGuard& guard = device->bulkGuard();
    EXPECT_EQ(guard.criticalPoint, 68);
    EXPECT_EQ(guard.lowMark, 35);
    uint32_t windows = 0;
    uint64_t asked = 0;
    for (int step = 0; step < 40; ++step) {
        driver.runFor(500 * kMillisecond);
        if (guard.windows.load() != windows) {
            ASSERT_EQ(guard.windows.load(), windows + 1) << "one window per 3.125 s";
            windows = guard.windows.load();
            const int32_t diff = guard.lastDiff.load();
            EXPECT_GE(diff, 0);
            EXPECT_LT(diff, 2 * guard.criticalPoint) << "the output runs ahead by the device's buffer and the lead";
            if (diff >= guard.criticalPoint) {
                asked += static_cast<uint64_t>(diff - guard.lowMark);
            }
        }
    }
    EXPECT_EQ(windows, 6u);
    // Every frame the guard asked for, and only those, was inserted (or is still pending: the last
    // window may have reached the critical point itself).
    EXPECT_EQ(guard.inserted.load() + static_cast<uint64_t>(guard.criticalPointDiff.load()), asked);
    EXPECT_EQ(guard.requested.load(), asked);
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

namespace {

// The channel-count families of the converters, each through a device model of its layout: how
// the device is made, the stream, and which host channels the device's channels 8 and 9 carry when
// a pair encoder feeds them (the second of the pair one frame late).
struct Family
{
    const char* name;
    uint16_t vendor;
    uint16_t product;
    uint16_t packetSize;
    uint8_t varnok;
    bool interrupt964;
    uint32_t rate;
    int32_t inChannels;
    int32_t outChannels;
    int32_t pairA; // -1: no pair encoder
    int32_t pairB;
    DMAConverterSlot* encoder = nullptr; // the encoder the model's row chooses (null: not checked)
};

class BulkFamilyTest : public BulkStreamingTest, public testing::WithParamInterface<Family>
{
};

TEST_P(BulkFamilyTest, LoopbackIsBitExact)
{
    const Family family = GetParam();
    usbsim::models::BitPlaneBulkDevice::Options options;
    options.vendorID = family.vendor;
    options.productID = family.product;
    options.packetSize = family.packetSize;
    options.inputChannels = static_cast<uint32_t>(family.inChannels);
    options.varnokChannels = family.varnok;
    options.interruptOut964 = family.interrupt964;
    ASSERT_NE(configureListed(options, family.rate, family.inChannels, family.outChannels), nullptr);
    Client client;
    ASSERT_TRUE(startWithClient(client));
    if (family.encoder != nullptr) {
        EXPECT_EQ(device->mBulkInterrupt.bulkEncoder, family.encoder->load());
    }
    const auto out = static_cast<uint32_t>(family.outChannels);
    // A pair encoder gives the device 10 channels of an 8-channel host frame (or 10 of 10).
    const uint32_t deviceChannels = family.pairA >= 0 ? 10 : out;
    const uint32_t looped = std::min(deviceChannels, static_cast<uint32_t>(family.inChannels));
    expectBulkLoopback(client, family.rate, out, looped,
                       [&](const std::vector<int32_t>& samples, uint32_t f, uint32_t c) -> int32_t {
                           if (family.pairA >= 0 && c == 9) {
                               return samples[size_t{f} * out + static_cast<uint32_t>(family.pairA)];
                           }
                           if (family.pairA >= 0 && c == 8) {
                               return f == 0 ? 0 : samples[size_t{f - 1} * out + static_cast<uint32_t>(family.pairB)];
                           }
                           return samples[size_t{f} * out + c];
                       });
    EXPECT_EQ(device->streamStateChanges(), 0u);
    detach(client);
}

INSTANTIATE_TEST_SUITE_P(
    Converters, BulkFamilyTest,
    testing::Values(
        // Plane decoders 16 wide (2 to 16) and 32 wide (18 to 32), plane encoders 2 to 16.
        Family{"In2Out2", 0x0A4A, 0xFFDD, 512, 0, false, 48000, 2, 2, -1, -1, &dmaEncode02},
        Family{"In4Out4", 0x0A4A, 0xFFDD, 512, 0, false, 48000, 4, 4, -1, -1},
        Family{"In6Out6", 0x0A4A, 0xFFDD, 512, 0, false, 48000, 6, 6, -1, -1},
        Family{"In8Out8", 0x0A4A, 0xFFDD, 512, 0, false, 48000, 8, 8, -1, -1},
        Family{"In10Out10", 0x0A4A, 0xFFDD, 512, 0, false, 48000, 10, 10, -1, -1},
        Family{"In12Out16", 0x0A4A, 0xFFDD, 512, 0, false, 48000, 12, 16, -1, -1},
        Family{"In14Out16", 0x0A4A, 0xFFDD, 512, 0, false, 44100, 14, 16, -1, -1},
        Family{"In18Out16", 0x0A4A, 0xFFDD, 512, 0, false, 48000, 18, 16, -1, -1},
        Family{"In20Out16", 0x0A4A, 0xFFDD, 512, 0, false, 48000, 20, 16, -1, -1},
        Family{"In22Out16", 0x0A4A, 0xFFDD, 512, 0, false, 48000, 22, 16, -1, -1},
        Family{"In24Out16", 0x0A4A, 0xFFDD, 1024, 0, false, 96000, 24, 16, -1, -1},
        Family{"In26Out16", 0x0A4A, 0xFFDD, 512, 0, false, 48000, 26, 16, -1, -1},
        Family{"In28Out16", 0x0A4A, 0xFFDD, 512, 0, false, 48000, 28, 16, -1, -1},
        Family{"In30Out16", 0x0A4A, 0xFFDD, 512, 0, false, 48000, 30, 16, -1, -1},
        Family{"In32Out16", 0x0A4A, 0xFFDD, 1024, 0, false, 48000, 32, 16, -1, -1},
        // Varnok: 32 channels below 88.2 kHz, 16 to 96 kHz, 8 above, both packet sizes.
        Family{"Varnok32At48k", 0x0A4A, 0xD064, 512, 32, false, 48000, 32, 32, -1, -1, &dmaEncode32_VARNOK},
        Family{"Varnok16At96k", 0x0A4A, 0xD064, 512, 16, false, 96000, 16, 16, -1, -1},
        Family{"Varnok8At192k", 0x0A4A, 0xD064, 512, 8, false, 192000, 8, 8, -1, -1, &dmaEncode08_VARNOK},
        Family{"Varnok32At44k1Packets1024", 0x0A4A, 0xD064, 1024, 32, false, 44100, 32, 32, -1, -1},
        // 8 channels into 10 by the digital-out selector (0: host pair 1/2), and over the 964-byte
        // interrupt packet; 10 channels with the pair from host channels 9/10.
        Family{"SelectorPair", 0x0A92, 0x0111, 512, 0, false, 48000, 10, 8, 0, 1, &dmaEncode10_12},
        Family{"Interrupt964", 0x0A92, 0x0111, 512, 0, true, 48000, 8, 8, -1, -1, &dmaEncode08_Int964},
        Family{"PairAH", 0x0A4A, 0xFF4D, 512, 0, false, 48000, 10, 10, 8, 9, &dmaEncode10_AH}),
    [](const testing::TestParamInfo<Family>& param) { return std::string(param.param.name); });

} // namespace

namespace {

// Bulk input with isochronous output (the US-144 MKII: stereo 24 bits, feedback on its isochronous
// IN endpoint): the client's output goes out isochronously and comes back over bulk, bit-exact.
TEST_F(BulkStreamingTest, BulkInIsocOutLoopbackIsBitExact)
{
    ASSERT_NE(configure("US-144-MKII", 48000, 24, 2, 2), nullptr);
    ASSERT_NE(device->mChosen.bulkInPipe, nullptr);
    ASSERT_NE(device->mChosen.outPipeIsoc, nullptr);
    Client client;
    ASSERT_TRUE(startWithClient(client));
    expectBulkLoopback(client, 48000, 2, 2);
    EXPECT_EQ(device->streamStateChanges(), 0u);
    EXPECT_EQ(device->mRealTimeRecord.total(VKRealTimeRecord::kTransferErrors), 0u);
    detach(client);
}

struct ReleaseRule
{
    const char* release;
    bool goesOn;
};

class BulkInErrorTest : public BulkStreamingTest, public testing::WithParamInterface<ReleaseRule>
{
};

// A bulk input transfer that fails: from Darwin release 15 on, a bulk-in / isochronous-out device
// queues its input again; below, and on the maker's bulk devices, the stream is broken (state
// change 2).
TEST_P(BulkInErrorTest, AnInputErrorRequeuesFromRelease15OnAndBreaksBelow)
{
    const ReleaseRule rule = GetParam();
    platform::process::ScopedOverride release({.kernelRelease = std::string(rule.release)});
    ASSERT_NE(configure("US-144-MKII", 48000, 24, 2, 2), nullptr);
    startStreaming();
    ASSERT_EQ(device->streamingStarted(), 1);
    driver.runFor(20 * kMillisecond);
    usbsim::EndpointFaults error;
    error.errorPackets = 1;
    driver.model()->setEndpointFaults(0x86, error);
    driver.runFor(30 * kMillisecond);
    EXPECT_EQ(device->mRealTimeRecord.total(VKRealTimeRecord::kTransferErrors), 1u);
    const uint64_t before = device->mpDriverData->inputRing().framePos();
    driver.runFor(20 * kMillisecond);
    if (rule.goesOn) {
        EXPECT_EQ(device->streamingStarted(), 1);
        EXPECT_EQ(device->streamStateChanges(), 0u);
        EXPECT_GT(device->mpDriverData->inputRing().framePos(), before);
    } else {
        EXPECT_EQ(device->streamingStarted(), 0);
        EXPECT_EQ(device->streamStateChange(), 2u);
        EXPECT_EQ(device->mRealTimeRecord.total(VKRealTimeRecord::kTransferBreaks), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Darwin, BulkInErrorTest,
                         testing::Values(ReleaseRule{"13.0.0", false}, ReleaseRule{"14.5.0", false},
                                         ReleaseRule{"15.0.0", true}, ReleaseRule{"19.2.0", true}),
                         [](const testing::TestParamInfo<ReleaseRule>& param) {
                             return "Release" + std::to_string(param.index);
                         });

} // namespace

namespace {

// Interrupt audio (the Tessaly: 2 channels of 32-bit PCM in packets of 26 frames): bit-exact
// loopback at each of its rates.
class InterruptLoopbackTest : public BulkStreamingTest, public testing::WithParamInterface<uint32_t>
{
};

TEST_P(InterruptLoopbackTest, ClientOutputComesBackBitExact)
{
    const uint32_t rate = GetParam();
    ASSERT_NE(configure("Tessaly", rate, 32, 2, 2), nullptr);
    ASSERT_NE(device->mChosen.interruptInPipe, nullptr);
    ASSERT_NE(device->mChosen.interruptOutPipe, nullptr);
    Client client;
    ASSERT_TRUE(startWithClient(client));
    EXPECT_EQ(device->mBulkInterrupt.interruptFramesPerOutPacket, 26u);
    EXPECT_EQ(device->mBulkInterrupt.interruptFramesIn5ms, rate * 5 / 1000);
    expectBulkLoopback(client, rate, 2, 2);
    EXPECT_EQ(device->streamStateChanges(), 0u);
    EXPECT_EQ(device->mRealTimeRecord.total(VKRealTimeRecord::kTransferErrors), 0u);
    detach(client);
}

INSTANTIATE_TEST_SUITE_P(Tessaly, InterruptLoopbackTest, testing::Values(44100u, 48000u, 96000u, 192000u),
                         [](const testing::TestParamInfo<uint32_t>& param) {
                             return "At" + std::to_string(param.param);
                         });

// A suspended and resumed interrupt stream runs again: the stop gave back the blocks' buffers and
// the start makes them again (before, the resumed stream found no block and moved nothing).
TEST_F(BulkStreamingTest, AnInterruptStreamRunsAgainAfterSuspendAndResume)
{
    ASSERT_NE(configure("Tessaly", 48000, 32, 2, 2), nullptr);
    Client client;
    ASSERT_TRUE(startWithClient(client));
    driver.runFor(20 * kMillisecond);
    bool suspended = false;
    request([&] { suspended = device->suspendStreaming(); });
    ASSERT_TRUE(suspended);
    EXPECT_FALSE(device->mBulkInterrupt.interruptIn[0].hasBuffer()) << "the stop gave the buffers back";
    request([&] { device->resumeStreaming(); });
    ASSERT_EQ(device->streamingStarted(), 1);
    EXPECT_TRUE(device->mBulkInterrupt.interruptIn[0].hasBuffer());
    const uint64_t resumedAt = device->mpDriverData->inputRing().framePos();
    driver.runFor(100 * kMillisecond);
    EXPECT_GE(device->mpDriverData->inputRing().framePos(), resumedAt + 4000) << "input moves again";
    EXPECT_EQ(device->mRealTimeRecord.total(VKRealTimeRecord::kNoFreeBlock), 0u);
    EXPECT_EQ(device->streamStateChanges(), 0u);
    detach(client);
}

// Output completions that end with "aborted" break an interrupt stream that runs; input ones do not.
TEST_F(BulkStreamingTest, AnAbortedInterruptOutputBreaksTheStreamAnAbortedInputDoesNot)
{
    ASSERT_NE(configure("Tessaly", 48000, 32, 2, 2), nullptr);
    startStreaming();
    ASSERT_EQ(device->streamingStarted(), 1);
    driver.runFor(10 * kMillisecond);
    driver.runInKernel([&] { device->mChosen.interruptInPipe->getPipe()->Abort(); });
    driver.runFor(5 * kMillisecond);
    EXPECT_EQ(device->streamStateChanges(), 0u) << "an aborted input is only not queued again";
    driver.runInKernel([&] { device->mChosen.interruptOutPipe->getPipe()->Abort(); });
    driver.runFor(5 * kMillisecond);
    EXPECT_EQ(device->streamingStarted(), 0);
    EXPECT_EQ(device->streamStateChange(), 2u);
}

} // namespace

namespace {

// A client that stays attached but writes nothing: every service pass is an underrun. On the
// maker's bulk devices 5,001 underruns within a reset interval of at least 5,001 frames set the
// reset request, and the next output completion ends the stream with state change 2.
TEST_F(BulkStreamingTest, UnderrunsCountToTheResetRequest)
{
    ASSERT_NE(configureListed("0A4A:FFDD", 0xFFDD, 48000, 16, 16), nullptr);
    Client client;
    ASSERT_TRUE(startWithClient(client));
    driver.runFor(3'000 * kMillisecond);
    EXPECT_EQ(device->streamingStarted(), 1) << "underruns alone never stop the stream";
    EXPECT_GT(device->mRealTimeRecord.total(VKRealTimeRecord::kUnderruns), 2'000u);
    EXPECT_EQ(device->mBulkInterrupt.resetRequest.load(), 0);
    driver.runFor(8'000 * kMillisecond);
    EXPECT_GE(device->mRealTimeRecord.total(VKRealTimeRecord::kUnderruns), 5'001u);
    EXPECT_EQ(device->mBulkInterrupt.resetRequest.load(), 1);
    EXPECT_EQ(device->mRealTimeRecord.total(VKRealTimeRecord::kResetRequests), 1u);
    EXPECT_EQ(device->streamingStarted(), 0);
    EXPECT_EQ(device->streamStateChange(), 2u);
    detach(client);
}

} // namespace

namespace {

// The ESU CPLD byte of the 0A92:0111 is written with its bulk audio stopped, and a stream that ran
// is announced broken (state change 2) for the stream-broken recovery; with the digital-out
// selector out of range its 8 channels take the first pair encoder and the selector becomes 0.
TEST_F(BulkStreamingTest, TheEsuCpldByteStopsTheBulkStreamAndTheSelectorFallsBackToZero)
{
    usbsim::models::BitPlaneBulkDevice::Options options;
    options.vendorID = 0x0A92;
    options.productID = 0x0111;
    options.inputChannels = 8;
    list(options.vendorID, options.productID, 8, 8);
    service = driver.plug(std::make_shared<usbsim::models::BitPlaneBulkDevice>(options));
    ASSERT_NE(service, nullptr);
    device = service->device();
    QzChannelSettings& settings = *device->getCurrentSettings();
    settings = QzChannelSettings{48000, 8, 24, 8, 24, settings.uConfiguration};
    IOReturn status = kIOReturnError;
    request([&] { status = service->reqConfigureDevice("test"); });
    ASSERT_EQ(status, kIOReturnSuccess);
    device->getAqExtData()->DigitalOutSelector = 7;
    startStreaming();
    ASSERT_EQ(device->streamingStarted(), 1);
    EXPECT_EQ(device->getAqExtData()->DigitalOutSelector, 0u);
    EXPECT_EQ(device->mBulkInterrupt.bulkEncoder, dmaEncode10_12.load());
    driver.runFor(10 * kMillisecond);
    request([&] { device->setEsuCpldByte(0x10); });
    driver.runFor(5 * kMillisecond);
    EXPECT_EQ(device->streamStateChange(), 2u);
    EXPECT_EQ(device->streamingStarted(), 0);
    for (const AudioBulkIRP& block : device->mBulkInterrupt.bulkOut) {
        EXPECT_FALSE(block.isClaimed());
    }
}

} // namespace
