// Configuration completion through the whole driver: the converter each model gets in the client
// table, the family status register dialogue as the device sees it, the digital-output selector,
// the settle delay, and the choice rules for models the catalogue does not carry.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "DriverData.h"
#include "DriverFixture.h"
#include "DriverSM.h"
#include "OSXDispatch.h"
#include "PCMCoderShuffles.h"
#include "VKDevice.h"
#include "VKKernelDevice.h"
#include "platform/HostClock.h"
#include "platform/Log.h"
#include "usbsim/Catalogue.h"

using driver_test::DriverFixture;
using Lines = std::vector<std::string>;

namespace {

Lines requests(const std::vector<usbsim::LoggedRequest>& log)
{
    Lines lines;
    for (const auto& r : log) {
        char line[40];
        std::snprintf(line, sizeof line, "%02X %02X %04X %04X %u", r.setup.bmRequestType, r.setup.bRequest,
                      r.setup.wValue, r.setup.wIndex, r.setup.wLength);
        lines.push_back(line);
    }
    return lines;
}

// The lines of the family status register (request 0x49) and of the rate requests, in order.
Lines registerDialogue(const std::vector<usbsim::LoggedRequest>& log)
{
    Lines lines;
    for (const std::string& line : requests(log)) {
        if (line.substr(3, 2) == "49" || line.substr(0, 5) == "A2 81" || line.substr(0, 5) == "22 01") {
            lines.push_back(line);
        }
    }
    return lines;
}

PCMEncoder at(PCMEncoder encoder)
{
    return pcmEncoderAt(encoder, pcmShuffleLevel());
}

const usbsim::RequestMatch kReadRegister{0xC0, 0x49, std::nullopt, std::nullopt};
const usbsim::RequestMatch kGetRate{0xA2, 0x81, std::nullopt, std::nullopt};

class ConfigurationDoneTest : public ::testing::Test
{
protected:
    VKKernelDevice* plug(const char* model)
    {
        service = driver.plug(model);
        EXPECT_NE(service, nullptr) << model;
        device = service != nullptr ? service->device() : nullptr;
        return service;
    }

    IOReturn configure()
    {
        IOReturn status = kIOReturnError;
        EXPECT_TRUE(driver.runInKernel([&] {
            VKDispatchLock lock(*service);
            status = service->reqConfigureDevice("test");
        }));
        return status;
    }

    template <class Fn> void inKernel(Fn fn)
    {
        EXPECT_TRUE(driver.runInKernel([&] {
            VKDispatchLock lock(*service);
            fn();
        }));
    }

    QzChannelSettings& settings() { return *device->getCurrentSettings(); }
    QzAqExtData& aq() { return device->mpDriverSM->mAqExtData; }

    DriverFixture driver;
    VKKernelDevice* service = nullptr;
    VKDevice* device = nullptr;
};

TEST_F(ConfigurationDoneTest, EachModelsOutputEncoderReachesTheClientTable)
{
    const struct
    {
        const char* model;
        PCMEncoder encoder;
        int32_t outChannels;
        int32_t bits; // the stream asked for (channels both ways), 0: the one the device starts with
    } cases[] = {
        {"class-audio", pcmTo24LSB, 2, 0},                  // 24 bits, any other device
        {"MBox", pcmTo24TUSB2ch, 2, 0},                     // 0DBA:1000
        {"MBox2", pcmTo24TUSB2ch, 2, 0},                    // 0DBA:3000
        {"Extigy", pcmTo16LSB, 2, 0},                       // 16 bits
        {"XMOS", pcmTo32LSB, 2, 0},                         // 32 bits
        {"Crimson-SPL", pcmTo24LSB, 6, 0},                  // listed, not a bulk device: the plain layout
        {"1935:0006", pcmTo16LSB, 0, 0},                    // Elektron: input only at 16 bits
        {"Mindprint", pcmTo16LSBChannelSwap, 2, 0},         // 133E:6000: the pair swapped
        {"Mindprint", pcmTo24LSBChannelSwap, 2, 24},
        {"Mindprint", pcmTo24Access, 1, 24},                // mono in the high-low-middle order
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.model) + " " + std::to_string(c.bits));
        if (plug(c.model) == nullptr) {
            continue;
        }
        if (c.bits != 0) {
            inKernel([&] {
                settings().iInResolution = settings().iOutResolution = c.bits;
                settings().iInChannels = settings().iOutChannels = c.outChannels;
            });
        }
        EXPECT_EQ(configure(), kIOReturnSuccess);
        ASSERT_NE(device->mpDriverData, nullptr);
        EXPECT_EQ(device->mpDriverData->hostToUSB(), at(c.encoder));
        EXPECT_EQ(device->mpDriverData->outputChannels(), static_cast<uint32_t>(c.outChannels));
        EXPECT_EQ(device->mpDriverData->outMixer(), nullptr) << "no mixer mode, no mixer";
        driver.unplug();
    }
}

void expectStream(const IsocData& stream, VKPipeDescriptor* pipe, bool decodes, bool highSpeed)
{
    ASSERT_NE(pipe, nullptr);
    for (const VKIsocRB* block : stream.mRBs) {
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(block->mPipe, pipe);
        EXPECT_TRUE(block->mbInit);
        EXPECT_EQ(block->mbUSB2, highSpeed);
    }
    EXPECT_EQ(stream.mDecoder != nullptr, decodes);
}

TEST_F(ConfigurationDoneTest, EveryIsochronousPipeGetsItsStream)
{
    ASSERT_NE(plug("class-audio"), nullptr);
    EXPECT_EQ(configure(), kIOReturnSuccess);
    expectStream(device->mIsoc.in, device->mChosen.inPipeIsoc, true, false);
    expectStream(device->mIsoc.out, device->mChosen.outPipeIsoc, true, false);
    EXPECT_EQ(device->mIsoc.feedback.mRBs[0], nullptr) << "no feedback pipe";
    EXPECT_EQ(device->mIsoc.keepAlive.mRBs[0], nullptr) << "no keep-alive pipe";
    EXPECT_EQ(device->mDmaOutBufer, nullptr) << "no bulk pipe";
    driver.unplug();

    // Bulk in, isochronous out, feedback at bInterval 1: the feedback stream is high speed and
    // decodes nothing; the bulk pipe gets the staging buffer.
    ASSERT_NE(plug("US-144-MKII"), nullptr);
    EXPECT_EQ(configure(), kIOReturnSuccess);
    ASSERT_NE(device->mChosen.inPipeFeedback, nullptr);
    ASSERT_EQ(device->mChosen.inPipeFeedback->getInterval(), 1);
    expectStream(device->mIsoc.feedback, device->mChosen.inPipeFeedback, false, true);
    expectStream(device->mIsoc.out, device->mChosen.outPipeIsoc, true, true);
    EXPECT_NE(device->mDmaOutBufer, nullptr);
}

TEST_F(ConfigurationDoneTest, AMixerModeGivesTheMixerOfTheModelsOutputs)
{
    ASSERT_NE(plug("US-322"), nullptr);
    ASSERT_EQ(device->mDeviceSpecific.mOutputs, 2u);
    inKernel([&] { device->setMixerMode(1); });
    platform::log::Capture log(platform::log::Channel::kernel);
    EXPECT_EQ(configure(), kIOReturnSuccess);
    EXPECT_EQ(device->mpDriverData->outMixer(), &outMixer2CH);
    const struct
    {
        uint32_t outputs;
        OutMixer mixer;
    } cases[] = {{4, outMixer4CH}, {6, outMixer6CH}, {3, nullptr}, {2, outMixer2CH}};
    for (const auto& c : cases) {
        inKernel([&] {
            device->mDeviceSpecific.mOutputs = c.outputs;
            device->chooseOutMixer();
        });
        EXPECT_EQ(device->mpDriverData->outMixer(), c.mixer) << c.outputs;
    }
    platform::log::flush();
    EXPECT_TRUE(log.contains("Set outMixer 2CH from VKDevice::chooseOutMixer"));
    EXPECT_TRUE(log.contains("Set outMixer6CH"));
}

// The frame width an output mixer works on.
uint32_t mixerWidth(OutMixer mixer)
{
    return mixer == outMixer2CH ? 2 : mixer == outMixer4CH ? 4 : mixer == outMixer6CH ? 6 : 0;
}

// Each mixer mode (request 38) sets the channels the TEAC mixer models read, and the output mixer
// follows them: the one the stream runs is as wide as the frames it is given.
TEST_F(ConfigurationDoneTest, AMixerModeChangeChoosesTheMixerOfTheChannelsItSets)
{
    const struct
    {
        const char* model;
        uint8_t mode;
        int32_t in;
        int32_t out;
        OutMixer mixer;
    } steps[] = {
        {"UH-7000", 1, 4, 4, outMixer4CH}, {"UH-7000", 0, 2, 2, outMixer2CH}, {"UH-7000", 2, 4, 4, outMixer4CH},
        {"UH-7000", 0, 2, 2, outMixer2CH}, {"US-1200", 1, 6, 2, outMixer2CH}, {"US-1200", 0, 2, 2, outMixer2CH},
        {"US-1200", 2, 6, 2, outMixer2CH},
    };
    std::string plugged;
    for (const auto& step : steps) {
        SCOPED_TRACE(std::string(step.model) + " mode " + std::to_string(step.mode));
        if (plugged != step.model) {
            driver.unplug();
            ASSERT_NE(plug(step.model), nullptr);
            ASSERT_EQ(configure(), kIOReturnSuccess);
            plugged = step.model;
        }
        IOReturn status = kIOReturnError;
        inKernel([&] {
            OSXDispatch record{};
            record.iReq = Req_SetMixerMode;
            record.payload[0] = 0;
            record.payload[1] = step.mode;
            OSXDispatchCaller caller;
            caller.driverData = device->mpDriverData;
            status = OSXDispatchRequest(service, caller, record);
        });
        EXPECT_EQ(status, kIOReturnSuccess);
        EXPECT_EQ(settings().iInChannels, step.in);
        EXPECT_EQ(settings().iOutChannels, step.out);
        const OutMixer mixer = device->mpDriverData->outMixer();
        EXPECT_EQ(mixer, step.mixer);
        EXPECT_EQ(mixerWidth(mixer), static_cast<uint32_t>(settings().iOutChannels))
            << "the stream's frames are as wide as the mixer";
    }
}

// A locked digital input: the register is read twice, the configured rate set on the input first
// (this model), the input's rate measured, and the stream follows it.
TEST_F(ConfigurationDoneTest, ALockedDigitalInputIsMeasuredAndTheStreamFollowsItsRate)
{
    ASSERT_NE(plug("Kelvra-UC3"), nullptr);
    driver.model()->scriptAlways(kReadRegister, {usbsim::ControlReply::ok({0x04}), std::nullopt, 0});
    driver.model()->scriptAlways(kGetRate, {usbsim::ControlReply::ok({0x88, 0x58, 0x01}), std::nullopt, 0});
    driver.clearRequestLog();
    EXPECT_EQ(configure(), kIOReturnSuccess);
    const Lines once = {
        "C0 49 0000 0000 1", "C0 49 0000 0000 1", // locked: read again after 20 ms
        "40 49 0006 0000 0",                       // internal clock wanted
        "A2 81 0100 0082 3", "C0 49 0000 0000 1", "A2 81 0100 0082 3",
        "22 01 0100 0082 3",                       // the configured rate on the input first
        "A2 81 0100 0082 3",                       // 88,200 Hz measured
        "A2 81 0100 0082 3",
    };
    Lines expected = once;
    // The second dialogue, after the converter choice: the settings now match the register.
    for (const char* line : {"C0 49 0000 0000 1", "C0 49 0000 0000 1", "22 01 0100 0082 3", "A2 81 0100 0082 3",
                             "A2 81 0100 0082 3"}) {
        expected.push_back(line);
    }
    EXPECT_EQ(registerDialogue(driver.requestLog()), expected);
    EXPECT_EQ(aq().DigitalLock, 1);
    EXPECT_EQ(aq().DigitalLockFrequency, 88'200u);
    EXPECT_EQ(aq().ClockSource, 1u) << "as the register reports it";
    EXPECT_EQ(settings().iFrequency, 88'200);
}

// A measured rate no stream is sized for is no measurement: the configured rate stays, and the
// lock rate reads as the configured one.
TEST_F(ConfigurationDoneTest, AnUnsupportedMeasuredRateLeavesTheConfiguredRate)
{
    const std::vector<uint8_t> answers[] = {{0, 0, 0}, {0x39, 0x30, 0x00} /* 12,345 */, {0x01}};
    for (const auto& answer : answers) {
        SCOPED_TRACE(answer.size());
        ASSERT_NE(plug("Kelvra-UC3"), nullptr);
        const int32_t configured = settings().iFrequency;
        driver.model()->scriptAlways(kReadRegister, {usbsim::ControlReply::ok({0x04}), std::nullopt, 0});
        driver.model()->scriptAlways(kGetRate, {usbsim::ControlReply::ok(answer), std::nullopt, 0});
        EXPECT_EQ(configure(), kIOReturnSuccess);
        EXPECT_EQ(settings().iFrequency, configured);
        EXPECT_EQ(aq().DigitalLockFrequency, static_cast<uint32_t>(configured));
        driver.unplug();
    }
}

// The two models whose channel counts follow the rate a locked digital input runs at, on a
// family device given their ids.
TEST_F(ConfigurationDoneTest, TheLockedRateSetsTheChannelsOfTheVarnokAndTheCrimson)
{
    const struct
    {
        uint16_t product;
        uint32_t rate;
        int32_t in; // -1: left as it was
        int32_t out;
    } cases[] = {
        {0xD064, 48'000, 32, 32}, {0xD064, 88'200, 16, 16}, {0xD064, 96'000, 16, 16}, {0xD064, 176'400, 8, 8},
        {0xC150, 88'200, -1, 6},  {0xC150, 96'000, -1, 6},  {0xC150, 176'400, -1, 4},
    };
    ASSERT_NE(plug("Kelvra-UC3"), nullptr);
    ASSERT_EQ(configure(), kIOReturnSuccess); // the pipes the rate is asked of
    const QZ_DeviceDescriptor real = device->mDeviceDescriptor;
    const APISpecificFeatures record = device->mInitSettings;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.product) + " at " + std::to_string(c.rate));
        driver.model()->clearScripts();
        driver.model()->scriptAlways(kReadRegister, {usbsim::ControlReply::ok({0x04}), std::nullopt, 0});
        driver.model()->scriptAlways(kGetRate, {usbsim::ControlReply::ok({uint8_t(c.rate), uint8_t(c.rate >> 8),
                                                                          uint8_t(c.rate >> 16)}),
                                                std::nullopt, 0});
        bool answered = false;
        inKernel([&] {
            device->mDeviceDescriptor.idProduct = c.product;
            device->resolveModelProfile();
            device->mInitSettings.mValid = 1;
            device->mInitSettings.mFlags[APISpecificFeatures::kCorlanthCompatible] = 1;
            device->mInitSettings.mFlags[APISpecificFeatures::kCan192] = 1;
            settings().iInChannels = settings().iOutChannels = 2;
            answered = device->updateAqInputSelector(nullptr);
            device->mDeviceDescriptor = real;
            device->resolveModelProfile();
            device->mInitSettings = record;
        });
        EXPECT_TRUE(answered);
        EXPECT_EQ(aq().DigitalLockFrequency, c.rate);
        EXPECT_EQ(settings().iFrequency, static_cast<int32_t>(c.rate));
        EXPECT_EQ(settings().iInChannels, c.in < 0 ? 2 : c.in);
        EXPECT_EQ(settings().iOutChannels, c.out);
    }
}

TEST_F(ConfigurationDoneTest, TheInputSelectionOfThe0644ModelsIsWrittenAndTheirChannelsTaken)
{
    ASSERT_NE(plug("US-366"), nullptr);
    inKernel([&] {
        // The family's feature record marks it; the register is only asked of the family.
        device->mInitSettings.mValid = 1;
        device->mInitSettings.mFlags[APISpecificFeatures::kCorlanthCompatible] = 1;
    });
    driver.clearRequestLog();
    EXPECT_EQ(configure(), kIOReturnSuccess);
    const Lines dialogue = registerDialogue(driver.requestLog());
    ASSERT_GE(dialogue.size(), 3u);
    // Register slot 2 is unknown (0xFFFF) until the device reports it: both selection bits set.
    EXPECT_EQ(dialogue[0], "C0 49 0000 0000 1");
    EXPECT_EQ(dialogue[1], "40 49 0018 0000 0");
    EXPECT_EQ(dialogue[2], "C0 49 0000 0000 1");
    EXPECT_EQ(settings().iInChannels, static_cast<int32_t>(device->mDeviceSpecific.mInputs));
    EXPECT_EQ(settings().iOutChannels, static_cast<int32_t>(device->mDeviceSpecific.mOutputs));
}

TEST_F(ConfigurationDoneTest, AnUnreadableRegisterEndsTheDialogueButNotTheConfiguration)
{
    ASSERT_NE(plug("Kelvra-UC3"), nullptr);
    driver.model()->scriptAlways(kReadRegister, {usbsim::ControlReply::stall(), std::nullopt, 0});
    driver.clearRequestLog();
    EXPECT_EQ(configure(), kIOReturnSuccess);
    uint32_t status = 0x55;
    bool answered = true;
    inKernel([&] { answered = device->updateAqInputSelector(&status); });
    EXPECT_EQ(status, 0u);
    EXPECT_TRUE(answered) << "the last request, the rate, was answered";
    for (const std::string& line : registerDialogue(driver.requestLog())) {
        EXPECT_NE(line.substr(0, 5), "40 49") << "nothing written after a failed read";
    }
}

TEST_F(ConfigurationDoneTest, OtherDevicesAreNotAskedForTheRegister)
{
    ASSERT_NE(plug("class-audio"), nullptr);
    driver.clearRequestLog();
    EXPECT_EQ(configure(), kIOReturnSuccess);
    EXPECT_EQ(registerDialogue(driver.requestLog()), Lines{});
    uint32_t status = 0;
    bool answered = true;
    inKernel([&] { answered = device->updateAqInputSelector(&status); });
    EXPECT_FALSE(answered);
    EXPECT_EQ(status, 0x12u);
}

TEST_F(ConfigurationDoneTest, TheDigitalOutSelectorIsWrittenUnlessTheStreamForbidsRequests)
{
    ASSERT_NE(plug("Kelvra-UC3"), nullptr);
    inKernel([&] {
        device->mInitSettings.mFlags[APISpecificFeatures::kDigitalOutSelector] = 1;
        aq().DigitalOutSelector = 0x51234;
    });
    driver.clearRequestLog();
    EXPECT_EQ(configure(), kIOReturnSuccess);
    const Lines log = requests(driver.requestLog());
    EXPECT_NE(std::find(log.begin(), log.end(), "40 49 1234 0002 0"), log.end());

    driver.clearRequestLog();
    inKernel([&] {
        // Listed without the mark that it takes requests while streaming.
        device->mInitSettings.mValid = 1;
        device->mInitSettings.mFlags[APISpecificFeatures::kCanHandleRequestsWhileStreaming] = 0;
        device->setStreamingStarted(1);
        device->writeDigitalOutSelector();
        device->setStreamingStarted(0);
    });
    EXPECT_EQ(requests(driver.requestLog()), Lines{});
}

TEST_F(ConfigurationDoneTest, AStreamSuspendedForTheConfigurationStartsAgainAfterIt)
{
    ASSERT_NE(plug("class-audio"), nullptr);
    EXPECT_EQ(configure(), kIOReturnSuccess);
    bool suspended = false;
    inKernel([&] {
        device->startStreaming();
        suspended = device->suspendStreaming();
    });
    ASSERT_TRUE(suspended);
    EXPECT_EQ(device->streamingStarted(), 0);
    EXPECT_EQ(configure(), kIOReturnSuccess);
    EXPECT_EQ(device->m_bStreamingSuspended, 0);
    EXPECT_EQ(device->streamingStarted(), 1);

    // Without a suspension the configuration leaves streaming alone.
    inKernel([&] { device->stopStreaming(true); });
    EXPECT_EQ(configure(), kIOReturnSuccess);
    EXPECT_EQ(device->streamingStarted(), 0);
}

TEST_F(ConfigurationDoneTest, TheSettleDelayIsCappedAtOneSecond)
{
    ASSERT_NE(plug("class-audio"), nullptr);
    const uint64_t plain0 = platform::host_clock::now();
    EXPECT_EQ(configure(), kIOReturnSuccess);
    const uint64_t plain = platform::host_clock::now() - plain0;

    inKernel([&] { device->mDeviceSpecific.mExtraDelay = 2500; });
    const uint64_t delayed0 = platform::host_clock::now();
    EXPECT_EQ(configure(), kIOReturnSuccess);
    const uint64_t delayed = platform::host_clock::now() - delayed0;
    EXPECT_EQ(device->mDeviceSpecific.mExtraDelay, 1000u);
    EXPECT_GE(delayed, plain + 1'000'000'000ull);
    EXPECT_LT(delayed, plain + 1'500'000'000ull);
}

// Rules for models the catalogue does not carry, on a plugged device given their ids.
TEST_F(ConfigurationDoneTest, TheSixInputRoutingOfThe0644_8035AndTheBulkEncoders)
{
    ASSERT_NE(plug("class-audio"), nullptr);
    const QZ_DeviceDescriptor real = device->mDeviceDescriptor;
    platform::log::Capture log(platform::log::Channel::kernel);
    InputPostProcessor routed;
    InputPostProcessor none;
    inKernel([&] {
        device->mDeviceDescriptor.idVendor = 0x0644;
        device->mDeviceDescriptor.idProduct = 0x8035;
        device->resolveModelProfile();
        device->isUSB2 = 1;
        aq() = {};
        aq().RoutingIn0 = 1;
        aq().RoutingIn1 = 2;
        aq().RoutingIn2 = 0;
        device->choose6InputPostprocessor();
        routed = device->mInputPostProcessor;
        aq().RoutingIn0 = 3;
        aq().RoutingIn1 = 0;
        device->choose6InputPostprocessor();
        none = device->mInputPostProcessor;
        device->isUSB2 = 0;
        device->mDeviceDescriptor = real;
        device->resolveModelProfile();
    });
    EXPECT_EQ(routed.function, &postprocessUS600_120);
    EXPECT_FALSE(none);
    platform::log::flush();
    EXPECT_TRUE(log.contains("choose6InputPostprocessor: mInputPostProcessor = 0 Bitmap=044"));
}

TEST_F(ConfigurationDoneTest, AListedHighSpeedBulkDeviceEncodesByItsOutputChannels)
{
    ASSERT_NE(plug("class-audio"), nullptr);
    const struct
    {
        int32_t channels;
        PCMEncoder encoder;
    } cases[] = {{8, nullptr}, {16, nullptr}, {4, pcmTo24Corlanth4CH}, {6, pcmTo24Corlanth6CH}, {2, pcmTo24LSB}};
    for (const auto& c : cases) {
        PCMEncoder chosen = pcmTo32LSB;
        inKernel([&] {
            const APISpecificFeatures saved = device->mInitSettings;
            device->mInitSettings.mValid = 1;
            device->mInitSettings.mFlags[APISpecificFeatures::kBulkDevice] = 1;
            device->isUSB2 = 1;
            settings().iOutResolution = 24;
            settings().iOutChannels = c.channels;
            device->chooseISOOutEncoder();
            chosen = device->mpDriverData->hostToUSB();
            device->mInitSettings = saved;
            device->isUSB2 = 0;
        });
        EXPECT_EQ(chosen, c.encoder == nullptr ? nullptr : at(c.encoder)) << c.channels;
    }
}

} // namespace

// A device whose input runs over a bulk pipe and whose output is isochronous starts both streams in
// the mixed mode.
TEST_F(ConfigurationDoneTest, ABulkInIsocOutDeviceStartsInTheMixedMode)
{
    ASSERT_NE(plug("US-144-MKII"), nullptr);
    ASSERT_EQ(configure(), kIOReturnSuccess);
    platform::log::Capture log(platform::log::Channel::kernel);
    inKernel([&] { device->startStreaming(); });
    EXPECT_TRUE(log.contains("MIXED PROCESSING ISOC OUT and BULK IN"));
    EXPECT_EQ(device->streamingStarted(), 1);
}
