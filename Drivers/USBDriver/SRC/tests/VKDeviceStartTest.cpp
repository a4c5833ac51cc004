// The device side of start and the per-model start-up requests, through the kernel host and the
// simulated bus: what the device is asked, in which order, and what of its replies is used.
#include "VKDevice.h"

#include "DriverFixture.h"
#include "DriverSM.h"
#include "VKKernelDevice.h"

#include <libkern/c++/OSContainers.h>
#include <usbsim/Catalogue.h>
#include <usbsim/models/ClassAudioDevice.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace {

using driver_test::DriverFixture;
using usbsim::ControlReply;
using usbsim::RequestMatch;
using usbsim::ScriptedStep;

constexpr uint16_t kVendor = 0x2912;
constexpr uint16_t kProduct = 0x3F01;
constexpr uint8_t kVendorIn = 0xC0;
constexpr uint8_t kVendorOut = 0x40;
constexpr uint8_t kFirmwareRequest = 0x56;

std::shared_ptr<usbsim::models::ClassAudioDevice> testDevice(uint16_t vendor = kVendor,
                                                             uint16_t product = kProduct)
{
    usbsim::models::ClassAudioDevice::Options options;
    options.vendorID = vendor;
    options.productID = product;
    return std::make_shared<usbsim::models::ClassAudioDevice>(options);
}

// A "QzSpecific" dictionary with this feature record and, when given, a custom name.
OSDictionary* qzSpecific(const APISpecificFeatures& features, const char* customName = nullptr)
{
    OSDictionary* specific = OSDictionary::withCapacity(2);
    OSData* data = OSData::withBytes(&features, sizeof(features));
    specific->setObject("kConfigurationData", data);
    data->release();
    if (customName != nullptr) {
        OSString* name = OSString::withCString(customName);
        specific->setObject("kCustomName", name);
        name->release();
    }
    return specific;
}

std::vector<usbsim::SetupPacket> vendorRequests(const std::vector<usbsim::LoggedRequest>& log)
{
    std::vector<usbsim::SetupPacket> requests;
    for (const usbsim::LoggedRequest& entry : log) {
        if (entry.setup.type() == 0x40) {
            requests.push_back(entry.setup);
        }
    }
    return requests;
}

class VKDeviceStartTest : public ::testing::Test
{
protected:
    VKKernelDevice* plugListed(std::initializer_list<APISpecificFeatures::Flag> flags, const char* customName,
                               std::shared_ptr<usbsim::models::ClassAudioDevice> model)
    {
        APISpecificFeatures features{};
        for (APISpecificFeatures::Flag flag : flags) {
            features.mFlags[flag] = 1;
        }
        return plugListed(features, customName, std::move(model));
    }
    VKKernelDevice* plugListed(const APISpecificFeatures& features, const char* customName,
                               std::shared_ptr<usbsim::models::ClassAudioDevice> model)
    {
        OSDictionary* specific = qzSpecific(features, customName);
        driver.addPersonality(kVendor, kProduct, specific);
        specific->release();
        return driver.plug(std::move(model));
    }

    DriverFixture driver;
};

TEST_F(VKDeviceStartTest, TheSharedBlockHoldsTheIdentityAndThePerModelDefaultSettings)
{
    struct Case
    {
        const char* model;
        bool highSpeed;
        QzChannelSettings expected;
    };
    const Case cases[] = {
        {"class-audio-24", false, {44100, 2, 24, 2, 24, 0}},
        {"03EB:4308", true, {96000, 8, 24, 8, 24, 0}},
        {"0A4E:4040", true, {44100, 2, 16, 2, 16, 0}},
        // The scan's first-scan defaults stay: no per-model row replaces them.
        {"0763:2003", false, {44100, 2, 16, 2, 16, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.model);
        const usbsim::CatalogueEntry* entry = usbsim::findModel(c.model);
        ASSERT_NE(entry, nullptr);
        driver.addPersonality(entry->vendor, entry->product);
        ASSERT_NE(driver.plug(usbsim::makeModel(c.model)), nullptr);
        const VKDevice& device = *driver.vkDevice();
        const DriverSM& sm = *device.mpDriverSM;
        EXPECT_EQ(sm.mVersion, 0x03030B00u);
        EXPECT_EQ(sm.devDesc.idVendor, entry->vendor);
        EXPECT_EQ(sm.devDesc.idProduct, entry->product);
        EXPECT_EQ(sm.devDesc.bcdDevice, entry->bcdDevice);
        EXPECT_EQ(sm.mIsHighSpeed, c.highSpeed ? 1u : 0u);
        EXPECT_EQ(device.isUSB2, c.highSpeed ? 1 : 0);
        EXPECT_NE(sm.mUniqueLocationID, 0u);
        char uid[kDriverSMNameSize];
        std::snprintf(uid, sizeof(uid), "VID_%04X_PID_%04X_BUS_%08X", entry->vendor, entry->product,
                      sm.mUniqueLocationID);
        EXPECT_STREQ(sm.szDeviceUID, uid);
        EXPECT_STREQ(sm.szDisplayName, sm.szProduct);
        EXPECT_NE(sm.szProduct[0], '\0');
        EXPECT_EQ(std::memcmp(sm.mDescriptors, driver.model()->deviceDescriptorBytes().data(), 18), 0);
        const QzChannelSettings& settings = sm.mChannelSettings;
        EXPECT_EQ(settings.iFrequency, c.expected.iFrequency);
        EXPECT_EQ(settings.iInChannels, c.expected.iInChannels);
        EXPECT_EQ(settings.iInResolution, c.expected.iInResolution);
        EXPECT_EQ(settings.iOutChannels, c.expected.iOutChannels);
        EXPECT_EQ(settings.iOutResolution, c.expected.iOutResolution);
        EXPECT_EQ(settings.uConfiguration, 0u);
        driver.unplug();
    }
}

TEST_F(VKDeviceStartTest, TheDeviceDescriptorIsReadAgainAfterFailedAttempts)
{
    struct Case
    {
        uint32_t failures; // requests that fail before the device answers
        usbsim::ControlReply failure;
        bool starts;
        int requests; // device-descriptor requests of the start
    };
    const Case cases[] = {
        {0, ControlReply::stall(), true, 1},
        {18, ControlReply::stall(), true, 19},      // three attempts of six tries, then the fourth attempt
        {30, ControlReply::stall(), false, 30},     // five attempts of six tries
        {5, ControlReply::deviceError(), false, 5}, // a device error ends each attempt at once
    };
    driver.addPersonality(kVendor, kProduct);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failures);
        auto model = testDevice();
        VKKernelDevice* service = driver.plug(model, {}, [&](usbsim::Device&) {
            model->clearRequestLog();
            model->script(RequestMatch{0x80, 6, 0x0100, 0},
                          std::vector<ScriptedStep>(c.failures, ScriptedStep::answer(c.failure)));
        });
        // A service whose start failed has let its device object go.
        EXPECT_EQ(service != nullptr && driver.vkDevice() != nullptr, c.starts);
        int requests = 0;
        for (const usbsim::LoggedRequest& entry : driver.requestLog()) {
            if (entry.setup.bmRequestType == 0x80 && entry.setup.bRequest == 6 &&
                entry.setup.wValue == 0x0100) {
                ++requests;
                if (requests == c.requests) {
                    break; // later reads are the service's own (the hub count)
                }
            }
        }
        EXPECT_EQ(requests, c.requests);
        driver.unplug();
        EXPECT_EQ(driver.liveInstances(), driver_test::LiveInstances{});
    }
}

TEST_F(VKDeviceStartTest, AFeatureRecordWithFormatsGivesTheDefaultSettingsOfItsSpeed)
{
    struct Case
    {
        const char* what;
        uint32_t lowerFrequency;
        std::vector<uint32_t> rates;
        int32_t expectedFrequency;
    };
    const Case cases[] = {
        {"a continuous range gives its lower rate", 32000, {}, 32000},
        {"a discrete list gives its first rate", 0, {48000, 96000}, 48000},
        {"no rate keeps the table's", 0, {}, 44100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        APISpecificFeatures features{};
        APIStreamingInfo& in =
            features.mFormats[APISpecificFeatures::kFullSpeed][APISpecificFeatures::kInput];
        APIStreamingInfo& out =
            features.mFormats[APISpecificFeatures::kFullSpeed][APISpecificFeatures::kOutput];
        in.bBitResolution = 16;
        in.bNrChannels = 4;
        in.mLowerFrequency = c.lowerFrequency;
        in.mNumFrequencies = static_cast<uint8_t>(c.rates.size());
        for (size_t i = 0; i < c.rates.size(); ++i) {
            in.mFrequencies[i] = c.rates[i];
        }
        out.bBitResolution = 24; // the input half's resolution serves both
        out.bNrChannels = 6;
        // High-speed formats that a full-speed device does not take.
        features.mFormats[APISpecificFeatures::kHighSpeed][APISpecificFeatures::kInput].bNrChannels = 8;
        // One product per case: a personality stays with the fixture.
        const uint16_t product = static_cast<uint16_t>(kProduct + 1 + (&c - cases));
        OSDictionary* specific = qzSpecific(features);
        driver.addPersonality(kVendor, product, specific);
        specific->release();
        ASSERT_NE(driver.plug(testDevice(kVendor, product)), nullptr);
        const QzChannelSettings& settings = driver.vkDevice()->mpDriverSM->mChannelSettings;
        EXPECT_EQ(settings.iFrequency, c.expectedFrequency);
        EXPECT_EQ(settings.iInChannels, 4);
        EXPECT_EQ(settings.iInResolution, 16);
        EXPECT_EQ(settings.iOutChannels, 6);
        EXPECT_EQ(settings.iOutResolution, 16);
        driver.unplug();
    }
}

TEST_F(VKDeviceStartTest, AFullSpeedDeviceThatMustNotRunAtUSB1IsMarkedFailing)
{
    ASSERT_NE(plugListed({APISpecificFeatures::kPreventUSB1Mode}, nullptr, testDevice()), nullptr);
    EXPECT_EQ(driver.vkDevice()->mDeviceSpecific.mPreventUSB1, 1);
    EXPECT_EQ(driver.vkDevice()->hardwareFailure(), 1);
}

TEST_F(VKDeviceStartTest, TheCustomNameReplacesTheProductNameWithAtMost64Characters)
{
    const std::string longName(100, 'n');
    VKKernelDevice* service = plugListed({}, longName.c_str(), testDevice());
    ASSERT_NE(service, nullptr);
    const DriverSM* sm = driver.vkDevice()->mpDriverSM;
    ASSERT_NE(sm, nullptr);
    EXPECT_EQ(std::string(sm->szProduct), std::string(64, 'n'));
    EXPECT_EQ(std::string(sm->szDisplayName), std::string(64, 'n'));
}

TEST_F(VKDeviceStartTest, TheFirmwareIsAskedForVersionChannelsAndTextInThatOrder)
{
    auto model = testDevice();
    model->script(
        RequestMatch{kVendorIn, kFirmwareRequest, std::nullopt, std::nullopt},
        {ScriptedStep::answer(ControlReply::ok({0x12, 0x01, 0x2B, 0, 0, 0, 0, 0})),
         ScriptedStep::answer(ControlReply::ok({0, 0, 0, 0x88, 0x90})),
         ScriptedStep::answer(ControlReply::ok({0x12, 0x01, 0x2B, 0x00, 'V', '1', '.', '2', '3'}))});
    VKKernelDevice* service =
        plugListed({APISpecificFeatures::kCorlanthCompatible, APISpecificFeatures::kReadFirmwareVersionString,
                    APISpecificFeatures::kReadExtendedFirmwareData},
                   nullptr, model);
    ASSERT_NE(service, nullptr);
    VKDevice& device = *driver.vkDevice();

    std::vector<uint16_t> lengths;
    for (const usbsim::SetupPacket& setup : vendorRequests(driver.requestLog())) {
        if (setup.bRequest == kFirmwareRequest) {
            EXPECT_EQ(setup.bmRequestType, kVendorIn);
            EXPECT_EQ(setup.wValue, 0);
            EXPECT_EQ(setup.wIndex, 0);
            lengths.push_back(setup.wLength);
        }
    }
    EXPECT_EQ(lengths, (std::vector<uint16_t>{8, 5, 15}));
    EXPECT_EQ(device.mFirmwareVersion, 0x01040312u);
    // The counts go into the record's high-speed bytes (the per-model counts are capped at 2 again
    // by the substitute descriptors of a full-speed device).
    const auto* record = reinterpret_cast<const uint8_t*>(&device.mInitSettings);
    EXPECT_EQ(record[153], 32);
    EXPECT_EQ(record[229], 16);
    // The text is what follows the four bytes of binary version.
    EXPECT_STREQ(device.firmwareVersionText(), "V1.23");
}

TEST_F(VKDeviceStartTest, TheFamilyModelsReportTheirFirmwareVersionAtStart)
{
    struct Case
    {
        const char* model;
        uint32_t version; // b1, b2 / 10, b2 % 10, b0 of the model's reply
    };
    const Case cases[] = {
        {"Kelvra-UC3", 0x01050102},      // Corlanth-compatible at release 2.00
        {"Kelvra-UC3@0100", 0x01040300}, // not of the family, asked by its ids
        {"0A4A:F1A0", 0x01020000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.model);
        ASSERT_NE(driver.plug(usbsim::makeModel(c.model)), nullptr);
        ASSERT_NE(driver.vkDevice(), nullptr);
        EXPECT_EQ(driver.vkDevice()->mFirmwareVersion, c.version);
        int firmwareRequests = 0;
        for (const usbsim::SetupPacket& setup : vendorRequests(driver.requestLog())) {
            if (setup.bRequest == kFirmwareRequest) {
                EXPECT_EQ(setup.wLength, 8);
                ++firmwareRequests;
            }
        }
        EXPECT_EQ(firmwareRequests, 1);
        driver.unplug();
    }
}

TEST_F(VKDeviceStartTest, ShortFirmwareRepliesAreUsedOnlyAsFarAsTheyGo)
{
    auto model = testDevice();
    model->script(RequestMatch{kVendorIn, kFirmwareRequest, std::nullopt, std::nullopt},
                  {ScriptedStep::answer(ControlReply::ok({0x12, 0x01})),
                   ScriptedStep::answer(ControlReply::ok({0, 0, 0, 0x88})),
                   ScriptedStep::answer(ControlReply::ok({1, 2, 3, 4, 'A', 'B'}))});
    VKKernelDevice* service =
        plugListed({APISpecificFeatures::kCorlanthCompatible, APISpecificFeatures::kReadFirmwareVersionString,
                    APISpecificFeatures::kReadExtendedFirmwareData},
                   nullptr, model);
    ASSERT_NE(service, nullptr);
    VKDevice& device = *driver.vkDevice();
    EXPECT_EQ(device.mFirmwareVersion, 0u);
    const auto* record = reinterpret_cast<const uint8_t*>(&device.mInitSettings);
    EXPECT_EQ(record[153], 0); // the channel counts need the whole reply
    EXPECT_EQ(record[229], 0);
    EXPECT_STREQ(device.firmwareVersionText(), "AB");
    EXPECT_EQ(device.mFirmwareVersionString[15], '\0');
}

TEST_F(VKDeviceStartTest, AnUnlistedDeviceOutsideTheFamilyIsNotAskedForItsFirmware)
{
    OSDictionary* none = nullptr;
    driver.addPersonality(kVendor, kProduct, none);
    ASSERT_NE(driver.plug(testDevice()), nullptr);
    EXPECT_TRUE(vendorRequests(driver.requestLog()).empty());
    EXPECT_EQ(driver.vkDevice()->mFirmwareVersion, 0u);
}

TEST_F(VKDeviceStartTest, ModelCommandsSendNothingToOtherModels)
{
    driver.addPersonality(kVendor, kProduct);
    ASSERT_NE(driver.plug(testDevice()), nullptr);
    VKDevice& device = *driver.vkDevice();
    driver.clearRequestLog();
    bool anyTrue = false;
    ASSERT_TRUE(driver.runInKernel([&] {
        anyTrue = device.sendSetPicCommand(129) || device.sendGetPicCommand(130) ||
                  device.sendPicCommand(129) || device.sendDeepSleep();
        device.setEsuCpldByte(0x10);
        device.startupDigiDesignMbox2();
        device.initDigiDesignMbox();
        device.initDigiDesignMbox2();
        device.scanFirmwareVersion();
    }));
    EXPECT_FALSE(anyTrue);
    EXPECT_TRUE(driver.requestLog().empty());
    EXPECT_EQ(device.mEsuCpldByte, 0);
    EXPECT_EQ(device.mFirmwareVersion, 0u);
}

TEST_F(VKDeviceStartTest, PicCommandsOfTheUSBPreAreASetThenAGetRequest)
{
    auto model = testDevice(0x0926, 0x0100);
    ASSERT_NE(driver.plug(model), nullptr);
    VKDevice& device = *driver.vkDevice();
    model->script(RequestMatch{kVendorOut, 0x01, 0x00F0, 0x01F0}, {ScriptedStep::answer(ControlReply::ok())});
    model->script(RequestMatch{kVendorIn, 0x81, 0x00F0, 0}, {ScriptedStep::answer(ControlReply::ok({0x42}))});
    driver.clearRequestLog();
    bool sent = false;
    ASSERT_TRUE(driver.runInKernel([&] { sent = device.sendPicCommand(129); }));
    EXPECT_TRUE(sent);
    const std::vector<usbsim::LoggedRequest> log = driver.requestLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].setup.bmRequestType, kVendorOut);
    EXPECT_EQ(log[0].setup.bRequest, 0x01);
    EXPECT_EQ(log[0].setup.wValue, 0x00F0);
    EXPECT_EQ(log[0].setup.wIndex, 0x01F0);
    EXPECT_EQ(log[0].outData, (std::vector<uint8_t>{129}));
    EXPECT_EQ(log[1].setup.bmRequestType, kVendorIn);
    EXPECT_EQ(log[1].setup.bRequest, 0x81);
    EXPECT_EQ(log[1].setup.wValue, 0x00F0);
    EXPECT_EQ(log[1].setup.wIndex, 0);
    EXPECT_EQ(log[1].setup.wLength, 1);
}

TEST_F(VKDeviceStartTest, APicCommandWhoseSetRequestAlwaysFailsGivesUpAfterFiveAttempts)
{
    auto model = testDevice(0x0926, 0x0100);
    ASSERT_NE(driver.plug(model), nullptr);
    VKDevice& device = *driver.vkDevice();
    model->script(RequestMatch{kVendorOut, 0x01, std::nullopt, std::nullopt},
                  std::vector<ScriptedStep>(100, ScriptedStep::answer(ControlReply::stall())));
    driver.clearRequestLog();
    bool sent = true;
    ASSERT_TRUE(driver.runInKernel([&] { sent = device.sendPicCommand(129); }));
    EXPECT_FALSE(sent);
    int sets = 0;
    for (const usbsim::SetupPacket& setup : vendorRequests(driver.requestLog())) {
        EXPECT_EQ(setup.bRequest, 0x01) << "no get request after a failed set";
        ++sets;
    }
    EXPECT_EQ(sets, 5 * 6); // five attempts, each request tried six times
}

TEST_F(VKDeviceStartTest, TheEsuCpldByteIsSentOnlyWhenItChanges)
{
    ASSERT_NE(driver.plug(testDevice(0x0A92, 0x0111)), nullptr);
    VKDevice& device = *driver.vkDevice();
    struct Step
    {
        uint8_t value;
        int expectedWValue; // -1: nothing sent
    };
    const Step steps[] = {{0x10, 0xF7}, {0x00, 0xE7}, {0x07, -1}, {0x18, 0xFF}};
    for (const Step& step : steps) {
        driver.clearRequestLog();
        ASSERT_TRUE(driver.runInKernel([&] { device.setEsuCpldByte(step.value); }));
        const std::vector<usbsim::SetupPacket> sent = vendorRequests(driver.requestLog());
        if (step.expectedWValue < 0) {
            EXPECT_TRUE(sent.empty()) << int(step.value);
            continue;
        }
        ASSERT_FALSE(sent.empty()) << int(step.value);
        EXPECT_EQ(sent.front().bRequest, 0x49);
        EXPECT_EQ(sent.front().wValue, step.expectedWValue);
        EXPECT_EQ(sent.front().wIndex, 1);
        EXPECT_EQ(sent.front().wLength, 0);
    }
}

TEST_F(VKDeviceStartTest, TheMBox2IsPolledUntilItReportsReady)
{
    auto model = testDevice(0x0DBA, 0x3000);
    model->script(RequestMatch{kVendorIn, 0x85, 1, 1},
                  {ScriptedStep::answer(ControlReply::ok({0})), ScriptedStep::answer(ControlReply::ok({1})),
                   ScriptedStep::answer(ControlReply::ok({2}))});
    ASSERT_NE(driver.plug(model), nullptr);
    int polls = 0;
    for (const usbsim::SetupPacket& setup : vendorRequests(driver.requestLog())) {
        if (setup.bRequest == 0x85) {
            EXPECT_EQ(setup.bmRequestType, kVendorIn);
            EXPECT_EQ(setup.wLength, 1);
            ++polls;
        }
    }
    EXPECT_EQ(polls, 3);
}

TEST_F(VKDeviceStartTest, TheMBox2SelectsItsAlternatesByClockSource)
{
    ASSERT_NE(driver.plug(usbsim::makeModel("MBox2")), nullptr);
    VKDevice& device = *driver.vkDevice();
    for (uint32_t clockSource : {0u, 1u}) {
        device.getAqExtData()->ClockSource = clockSource;
        driver.clearRequestLog();
        ASSERT_TRUE(driver.runInKernel([&] { device.initDigiDesignMbox2(); }));
        std::vector<std::pair<uint16_t, uint16_t>> setInterfaces; // interface, alternate
        std::vector<uint16_t> rateEndpoints;
        for (const usbsim::LoggedRequest& entry : driver.requestLog()) {
            if (entry.setup.bmRequestType == 0x01 && entry.setup.bRequest == 0x0B) {
                setInterfaces.emplace_back(entry.setup.wIndex, entry.setup.wValue);
            } else if (entry.setup.bmRequestType == 0x22 && entry.setup.bRequest == 0x01) {
                EXPECT_EQ(entry.setup.wValue, 0x0100);
                EXPECT_EQ(entry.outData.size(), 3u);
                rateEndpoints.push_back(entry.setup.wIndex);
            }
        }
        const uint16_t a = clockSource == 0 ? 3 : 2;
        EXPECT_EQ(setInterfaces, (std::vector<std::pair<uint16_t, uint16_t>>{
                                     {2, 0}, {3, 0}, {5, 0}, {4, 0}, {2, a}, {3, 0}, {5, a}, {4, a}}));
        EXPECT_EQ(rateEndpoints, (std::vector<uint16_t>{0x03, 0x85, 0x86}));
    }
}

} // namespace
