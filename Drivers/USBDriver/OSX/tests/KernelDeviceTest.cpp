// The kernel device service on the simulated bus, through the kernel host on the virtual clock:
// control requests and their retries, the configurations, the personality keys, the frame
// number, system sleep and wake.
#include <gtest/gtest.h>

#include <functional>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "APIDeviceInfo.h"
#include "DriverFixture.h"
#include "DriverSM.h"
#include "IOKit/IOLib.h"
#include "IOKit/pwr_mgt/RootDomain.h"
#include "VKDevice.h"
#include "VKKernelDevice.h"
#include "VKUSBDescriptors.h"
#include "platform/HostClock.h"
#include "platform/Log.h"
#include "usbsim/models/ClassAudioDevice.h"

using driver_test::DriverFixture;
using driver_test::kMillisecond;
using driver_test::LiveInstances;
using usbsim::ControlReply;
using usbsim::ScriptedStep;

namespace {

constexpr uint16_t kVendor = 0x2912;
constexpr uint16_t kProduct = 0x3001;

std::string describe(const usbsim::LoggedRequest& r)
{
    char line[64];
    std::snprintf(line, sizeof line, "%02X %02X %04X %04X %u", r.setup.bmRequestType, r.setup.bRequest,
                  r.setup.wValue, r.setup.wIndex, r.setup.wLength);
    return line;
}

size_t count(const std::vector<usbsim::LoggedRequest>& log, const std::string& request)
{
    return static_cast<size_t>(
        std::count_if(log.begin(), log.end(), [&](const auto& r) { return describe(r) == request; }));
}

// A class-compliant stereo device that counts its port resets.
class ResetCountingDevice : public usbsim::models::ClassAudioDevice
{
public:
    std::atomic<int> resets{0};

protected:
    void onResetLocked() override
    {
        ++resets;
        ClassAudioDevice::onResetLocked();
    }
};

// State changes the service sends to its clients, as a general-interest listener sees them.
struct StateChanges
{
    std::mutex mutex;
    std::vector<uint32_t> codes;

    static IOReturn handler(void* target, void*, UInt32 type, IOService*, void* argument, vm_size_t size)
    {
        auto* self = static_cast<StateChanges*>(target);
        if (type == kVKStateChangeMessage && argument != nullptr && size == kVKStateChangeSize) {
            uint32_t code = 0;
            std::memcpy(&code, static_cast<const uint8_t*>(argument) + 4, 4);
            std::lock_guard lock(self->mutex);
            self->codes.push_back(code);
        }
        return kIOReturnSuccess;
    }
    std::vector<uint32_t> take()
    {
        std::lock_guard lock(mutex);
        return std::exchange(codes, {});
    }
};

class KernelDeviceTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        driver.unplug();
        EXPECT_EQ(driver.liveInstances(), baseline);
    }

    // Plugs a class-compliant stereo device (a test device, given a personality of the driver).
    VKKernelDevice* plugClassDevice(std::shared_ptr<usbsim::models::ClassAudioDevice> model = nullptr,
                                    OSDictionary* specific = nullptr)
    {
        driver.addPersonality(kVendor, kProduct, specific);
        if (!model) {
            model = std::make_shared<usbsim::models::ClassAudioDevice>();
        }
        return driver.plug(model);
    }

    IOReturn configure(VKKernelDevice* service)
    {
        IOReturn status = kIOReturnError;
        driver.runInKernel([&] {
            VKDispatchLock lock(*service);
            status = service->reqConfigureDevice("test");
        });
        return status;
    }

    DriverFixture driver;
    LiveInstances baseline = driver.liveInstances();
};

TEST_F(KernelDeviceTest, StartsLoadsTheConfigurationAndConfiguresTheDefaultStream)
{
    VKKernelDevice* service = plugClassDevice();
    ASSERT_NE(service, nullptr);
    VKDevice* device = service->device();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(driver.model()->configurationValue(), 1) << "the first configuration is set at start";
    EXPECT_EQ(service->configurationStatus(), kVKConfigurationNotYet);
    const DriverSM* sm = device->mpDriverSM;
    ASSERT_NE(sm, nullptr);
    EXPECT_EQ(sm->mVersion, kDriverSMVersion);
    EXPECT_EQ(sm->devDesc.idVendor, kVendor);
    EXPECT_EQ(sm->devDesc.bNumConfigurations, 1);
    // The area keeps the device descriptor and, after it, the configuration last read.
    EXPECT_EQ(sm->mDescriptors[0], 18);
    EXPECT_EQ(sm->mDescriptors[18 + 1], 2) << "a configuration descriptor";
    APIDeviceInfo* info = service->getAPIDeviceInfoPtr();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->mNumConfigurations, 1);
    EXPECT_EQ(device->mHubCount, 0) << "the root hub alone is not counted";
    auto* uid = OSDynamicCast(OSString, service->getProperty("deviceUID"));
    ASSERT_NE(uid, nullptr);
    EXPECT_EQ(std::string(uid->getCStringNoCopy()).rfind("USB-", 0), 0u);

    driver.clearRequestLog();
    EXPECT_EQ(configure(service), kIOReturnSuccess);
    EXPECT_EQ(service->configurationStatus(), 0u);
    EXPECT_EQ(sm->mConfigured, 1u);
    ASSERT_NE(device->mChosen.outPipeIsoc, nullptr);
    ASSERT_NE(device->mChosen.inPipeIsoc, nullptr);
    EXPECT_NE(device->mChosen.outPipeIsoc->getPipe(), nullptr) << "opened";
    EXPECT_NE(device->mChosen.inPipeIsoc->getPipe(), nullptr) << "opened";
    // 24-bit stereo: alternate 2 of both streaming interfaces.
    EXPECT_EQ(driver.model()->alternateSetting(1), 2);
    EXPECT_EQ(driver.model()->alternateSetting(2), 2);
    std::vector<std::string> log;
    for (const auto& r : driver.requestLog()) {
        log.push_back(describe(r));
    }
    EXPECT_EQ(log, (std::vector<std::string>{
                       "80 08 0000 0000 1", // the configuration is already the one wanted
                       "01 0B 0002 0001 0", // output interface, alternate 2
                       "01 0B 0002 0002 0", // input interface, alternate 2
                       "02 01 0000 0082 0", // input pipe's halt cleared
                       "02 01 0000 0001 0", // output pipe's halt cleared
                   }));

    // Configured again: unconfigured first (pipes and interfaces closed), then the same again.
    EXPECT_EQ(configure(service), kIOReturnSuccess);
    EXPECT_EQ(sm->mConfigured, 1u);
}

// What a configuration opened is closed at the end whatever the shared block's configured flag
// says (user space can rewrite it) and however the configuration was reached (a restart after a
// broken stream configures without the request's bookkeeping). TearDown checks nothing is left.
TEST_F(KernelDeviceTest, WhatAConfigurationOpenedIsClosedWhateverTheSharedFlagSays)
{
    struct Case
    {
        const char* name;
        std::function<void(VKKernelDevice&, DriverSM&)> after;
    };
    const Case cases[] = {
        {"flag scribbled to 0", [](VKKernelDevice&, DriverSM& sm) { sm.mConfigured = 0; }},
        {"configured again directly",
         [](VKKernelDevice& service, DriverSM&) {
             service.unconfigureDevice(true, "test");
             EXPECT_TRUE(service.configureDevice());
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VKKernelDevice* service = plugClassDevice();
        ASSERT_NE(service, nullptr);
        ASSERT_EQ(configure(service), kIOReturnSuccess);
        driver.runInKernel([&] {
            VKDispatchLock lock(*service);
            c.after(*service, *service->device()->mpDriverSM);
        });
        driver.unplug();
        EXPECT_EQ(driver.liveInstances(), baseline);
    }

    // Flag scribbled to 1 on a device never configured: unconfiguring closes nothing.
    VKKernelDevice* service = plugClassDevice();
    ASSERT_NE(service, nullptr);
    driver.clearRequestLog();
    driver.runInKernel([&] {
        VKDispatchLock lock(*service);
        service->device()->mpDriverSM->mConfigured = 1;
        service->unconfigureDevice(true, "test");
    });
    EXPECT_TRUE(driver.requestLog().empty()) << "no interface reset, no pipe touched";
}

TEST_F(KernelDeviceTest, DeviceRequestTriesRetriesPlusOneTimesAndStopsAtADeviceError)
{
    VKKernelDevice* service = plugClassDevice();
    ASSERT_NE(service, nullptr);
    struct Case
    {
        ControlReply reply;
        int retries;
        size_t attempts;
        IOReturn status;
    };
    const Case cases[] = {
        {ControlReply::stall(), 3, 4, kIOUSBPipeStalled},
        {ControlReply::stall(), 0, 2, kIOUSBPipeStalled},  // at least one retry
        {ControlReply::stall(), 9, 6, kIOUSBPipeStalled},  // at most five
        {ControlReply::deviceError(), 5, 1, kIOReturnDeviceError},
        {ControlReply::noAnswer(), 1, 2, kIOUSBTransactionTimeout},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.retries);
        driver.model()->clearScripts();
        driver.model()->script({0xC0, 0x30, std::nullopt, std::nullopt},
                               std::vector<ScriptedStep>(10, ScriptedStep::answer(c.reply)));
        driver.clearRequestLog();
        IOReturn status = kIOReturnSuccess;
        uint8_t byte = 0xAA;
        UInt32 length = 1;
        driver.runInKernel([&] {
            status = service->deviceRequest(kVKDirectionIn, kVKTypeVendor, kVKRecipientDevice, 0x30, 0, 0, &byte,
                                            length, c.retries);
        });
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(count(driver.requestLog(), "C0 30 0000 0000 1"), c.attempts);
        EXPECT_EQ(byte, 0) << "IN data is zeroed before each attempt";
        // A stalled default pipe is cleared (on the device too) before the next attempt.
        EXPECT_EQ(count(driver.requestLog(), "02 01 0000 0000 0"),
                  c.reply.status == usbsim::kPipeStalled ? c.attempts : 0u);
    }
    // A success after two stalls: the bytes and their count come back.
    driver.model()->clearScripts();
    driver.model()->script({0xC0, 0x30, std::nullopt, std::nullopt},
                           {ScriptedStep::answer(ControlReply::stall()), ScriptedStep::answer(ControlReply::stall()),
                            ScriptedStep::answer(ControlReply::ok({1, 2}))});
    uint8_t bytes[4] = {9, 9, 9, 9};
    UInt32 length = sizeof bytes;
    IOReturn status = kIOReturnError;
    driver.runInKernel([&] {
        status = service->deviceRequest(kVKDirectionIn, kVKTypeVendor, kVKRecipientDevice, 0x30, 0, 0, bytes, length,
                                        5);
    });
    EXPECT_EQ(status, kIOReturnSuccess);
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(bytes[0], 1);
    EXPECT_EQ(bytes[2], 0);
}

TEST_F(KernelDeviceTest, DeviceDescriptorThatFailsSeveralTimesIsReadAgainAfterWaiting)
{
    auto model = std::make_shared<usbsim::models::ClassAudioDevice>();
    // Eight stalls: the first request gives up after six attempts, the second one succeeds.
    model->script({0x80, 6, uint16_t{0x0100}, std::nullopt},
                  std::vector<ScriptedStep>(8, ScriptedStep::answer(ControlReply::stall())));
    const uint64_t before = platform::host_clock::now();
    VKKernelDevice* service = plugClassDevice(model);
    ASSERT_NE(service, nullptr);
    EXPECT_GE(platform::host_clock::now() - before, 50 * kMillisecond) << "a wait before reading again";
    EXPECT_EQ(count(driver.requestLog(), "80 06 0100 0000 18"), 8u + 2u) << "8 stalls, the read, the hub walk";
}

TEST_F(KernelDeviceTest, ShortConfigurationReadIsScannedOverTheBytesReceivedOnly)
{
    auto model = std::make_shared<usbsim::models::ClassAudioDevice>();
    // The whole-descriptor read brings the header and the control interface only.
    model->script({0x80, 6, uint16_t{0x0200}, std::nullopt},
                  {ScriptedStep::normal(), ScriptedStep::shortened(18)});
    VKKernelDevice* service = plugClassDevice(model);
    ASSERT_NE(service, nullptr);
    APIDeviceInfo* info = service->getAPIDeviceInfoPtr();
    ASSERT_NE(info, nullptr);
    ASSERT_EQ(info->mNumConfigurations, 1);
    VKConfigurationDescriptor* configuration = service->device()->getConfigurationDescriptor(0);
    ASSERT_NE(configuration, nullptr);
    EXPECT_EQ(configuration->getCountInterfaces(), 1) << "nothing past the 18 bytes received";
    EXPECT_EQ(configure(service), kIOReturnError) << "no streaming interface";
    EXPECT_EQ(service->configurationStatus(), static_cast<uint32_t>(kVKConfigurationNotYet));
}

TEST_F(KernelDeviceTest, SetConfigurationThatFailsIsRetriedAfterResets)
{
    for (const int failures : {2, 20}) {
        SCOPED_TRACE(failures);
        auto model = std::make_shared<ResetCountingDevice>();
        // The first attempt at start fails too (start goes on), so configuring must set it.
        model->script({0x00, 9, std::nullopt, std::nullopt},
                      std::vector<ScriptedStep>(static_cast<size_t>(failures) + 1,
                                                ScriptedStep::answer(ControlReply::stall())));
        VKKernelDevice* service = plugClassDevice(model);
        ASSERT_NE(service, nullptr);
        EXPECT_EQ(model->configurationValue(), 0);
        const IOReturn status = configure(service);
        if (failures < 5) {
            EXPECT_EQ(status, kIOReturnSuccess);
            EXPECT_EQ(model->resets.load(), failures);
            EXPECT_EQ(model->configurationValue(), 1);
        } else {
            EXPECT_EQ(status, kIOReturnError);
            EXPECT_EQ(model->resets.load(), 5) << "five resets, then it gives up";
            EXPECT_EQ(service->configurationStatus(), static_cast<uint32_t>(kVKConfigurationNotYet));
        }
        driver.unplug();
    }
}

TEST_F(KernelDeviceTest, FrameNumberIsKeptWholeAndAllOnesMarksTheDeviceFailing)
{
    VKKernelDevice* service = plugClassDevice();
    ASSERT_NE(service, nullptr);
    const UInt64 frame = service->getCurrentFrame();
    EXPECT_NE(frame, VKKernelDevice::kUnreadableFrame);
    EXPECT_EQ(service->device()->hardwareFailure(), 0);
    driver.bus().injectUnreadableFrameNumber(1);
    EXPECT_EQ(service->getCurrentFrame(), VKKernelDevice::kUnreadableFrame);
    EXPECT_EQ(service->device()->hardwareFailure(), 1);
    EXPECT_GE(service->getCurrentFrame(), frame) << "readable again";
}

TEST(KernelDeviceFrameTest, FrameNumbersBeyond32BitsComeBackWhole)
{
    DriverFixture driver(driver_test::FixtureOptions{.firstFrame = 0x1'0000'0000ULL - 3});
    driver.addPersonality(kVendor, kProduct);
    VKKernelDevice* service = driver.plug(std::make_shared<usbsim::models::ClassAudioDevice>());
    ASSERT_NE(service, nullptr);
    driver.runFor(10 * kMillisecond);
    const UInt64 frame = service->getCurrentFrame();
    EXPECT_GT(frame, 0xFFFFFFFFu) << "past the 32-bit wrap, not cut";
    driver.runFor(5 * kMillisecond);
    EXPECT_EQ(service->getCurrentFrame(), frame + 5);
    driver.unplug();
}

TEST_F(KernelDeviceTest, SampleRateRequestsAndTheCorrectedAnswers)
{
    VKKernelDevice* service = plugClassDevice();
    ASSERT_NE(service, nullptr);
    ASSERT_EQ(configure(service), kIOReturnSuccess);
    VKDevice* device = service->device();
    driver.clearRequestLog();
    bool set = false;
    driver.runInKernel([&] { set = service->setFrequency(device->mChosen.inPipeIsoc, device->mChosen.outPipeIsoc, 48000); });
    EXPECT_TRUE(set);
    auto log = driver.requestLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(describe(log[0]), "22 01 0100 0082 3") << "SET_CUR to the in pipe's endpoint";
    EXPECT_EQ(log[0].outData, (std::vector<uint8_t>{0x80, 0xBB, 0x00}));

    struct Case
    {
        std::vector<uint8_t> answer;
        UInt32 rate;
    };
    const Case cases[] = {
        {{0x88, 0x58, 0x00}, 88200}, // 22,664 Hz: 88.2 kHz
        {{0x00, 0x77, 0x00}, 96000},                         // 30,464 Hz: 96 kHz
        {{0x44, 0xAC, 0x00}, 44100},
        {{0x44}, 0x44}, // a short answer counts for what came
    };
    for (const Case& c : cases) {
        driver.model()->clearScripts();
        driver.model()->script({0xA2, 0x81, uint16_t{0x0100}, uint16_t{0x0082}},
                               {ScriptedStep::answer(ControlReply::ok(c.answer))});
        UInt32 rate = 0;
        driver.runInKernel([&] { rate = service->getFrequency(device->mChosen.inPipeIsoc, nullptr); });
        EXPECT_EQ(rate, c.rate);
    }
    EXPECT_FALSE(service->setFrequency(nullptr, nullptr, 48000)) << "no pipe";
    EXPECT_EQ(service->getFrequency(nullptr, nullptr), 0u);
}

TEST_F(KernelDeviceTest, PersonalityKeysTakeEffectAfterTheDeviceDataIsSetUp)
{
    OSDictionary* specific = OSDictionary::withCapacity(5);
    OSNumber* wait = OSNumber::withNumber(75, 32);
    OSNumber* acr = OSNumber::withNumber(3, 16);
    const uint8_t clock[20] = {7, 8, 9};
    OSData* clockData = OSData::withBytes(clock, sizeof clock);
    const std::string longName(100, 'N');
    OSString* name = OSString::withCString(longName.c_str());
    specific->setObject("kMsWait", wait);
    specific->setObject("kInACR", acr);
    specific->setObject("kClockSourceSettings", clockData);
    specific->setObject("kCustomName", name);
    for (OSObject* o : std::initializer_list<OSObject*>{wait, acr, clockData, name}) {
        o->release();
    }
    VKKernelDevice* service = plugClassDevice(nullptr, specific);
    specific->release();
    ASSERT_NE(service, nullptr);
    const VKDevice* device = service->device();
    // The start's descriptor scan resets the per-model data; the personality's values survive it.
    EXPECT_EQ(device->mDeviceSpecific.mExtraDelay, 75u);
    EXPECT_EQ(device->mDeviceSpecific.mFlagA, 7);
    EXPECT_EQ(device->mDeviceSpecific.mFlagB, 8);
    EXPECT_EQ(device->mDeviceSpecific.mFlagC, 9);
    EXPECT_EQ(device->mInACR, 3u);
    EXPECT_EQ(device->customNameLength(), 64u) << "the name is kept to its 64 characters";
    EXPECT_FALSE(device->isListed());
}

TEST_F(KernelDeviceTest, ValuesShorterThanExpectedAreRefused)
{
    OSDictionary* specific = OSDictionary::withCapacity(2);
    const uint8_t shortClock[2] = {7, 8};
    OSData* clock = OSData::withBytes(shortClock, sizeof shortClock);
    APISpecificFeatures features{};
    features.mValid = 1;
    features.mFlags[APISpecificFeatures::kCan192] = 1;
    OSData* record = OSData::withBytes(&features, sizeof features - 1);
    specific->setObject("kClockSourceSettings", clock);
    specific->setObject("kConfigurationData", record);
    clock->release();
    record->release();
    platform::log::Capture log(platform::log::Channel::kernel);
    VKKernelDevice* service = plugClassDevice(nullptr, specific);
    specific->release();
    ASSERT_NE(service, nullptr);
    const VKDevice* device = service->device();
    EXPECT_EQ(device->mDeviceSpecific.mFlagA, 0);
    EXPECT_FALSE(device->isListed());
    EXPECT_TRUE(log.contains("Found kClockSourceSettings length=2 (20)"));
    EXPECT_TRUE(log.contains("Found kConfiguration length=379 (380)"));
}

// The three flag bytes are all the driver reads of the clock-source value: a value that holds
// them is taken however much shorter than the usual 20 bytes it is.
TEST_F(KernelDeviceTest, ClockSourceSettingsOfThreeBytesAreTaken)
{
    OSDictionary* specific = OSDictionary::withCapacity(1);
    const uint8_t clock[3] = {4, 5, 6};
    OSData* clockData = OSData::withBytes(clock, sizeof clock);
    specific->setObject("kClockSourceSettings", clockData);
    clockData->release();
    VKKernelDevice* service = plugClassDevice(nullptr, specific);
    specific->release();
    ASSERT_NE(service, nullptr);
    const VKDevice* device = service->device();
    EXPECT_EQ(device->mDeviceSpecific.mFlagA, 4);
    EXPECT_EQ(device->mDeviceSpecific.mFlagB, 5);
    EXPECT_EQ(device->mDeviceSpecific.mFlagC, 6);
}

TEST_F(KernelDeviceTest, ListedDeviceTakesItsRecord)
{
    OSDictionary* specific = OSDictionary::withCapacity(1);
    APISpecificFeatures features{};
    features.mValid = 1;
    features.mFlags[APISpecificFeatures::kCan192] = 1;
    OSData* record = OSData::withBytes(&features, sizeof features);
    specific->setObject("kConfigurationData", record);
    record->release();
    VKKernelDevice* service = plugClassDevice(nullptr, specific);
    specific->release();
    ASSERT_NE(service, nullptr);
    EXPECT_TRUE(service->device()->isListed());
    EXPECT_TRUE(service->device()->can192());
}

TEST_F(KernelDeviceTest, SystemSleepUnconfiguresOnceAndWakeAnnouncesThePowerOn)
{
    VKKernelDevice* service = plugClassDevice();
    ASSERT_NE(service, nullptr);
    ASSERT_EQ(configure(service), kIOReturnSuccess);
    StateChanges changes;
    IONotifier* notifier = service->registerInterest(gIOGeneralInterest, &StateChanges::handler, &changes);
    IOPMrootDomain* root = IOService::getPMRootDomain();

    // A wake without a sleep does nothing.
    driver.runInKernel([&] { root->systemWake(); });
    driver.waitQuiet();
    EXPECT_TRUE(changes.take().empty());
    EXPECT_EQ(service->device()->mbWasPowerDownMode, 0);

    const uint64_t before = platform::host_clock::now();
    driver.runInKernel([&] { root->systemSleep(); });
    EXPECT_GE(platform::host_clock::now() - before, 300 * kMillisecond) << "three 100 ms waits";
    EXPECT_TRUE(service->isSystemSuspended());
    EXPECT_EQ(service->device()->mpDriverSM->mConfigured, 0u);
    EXPECT_EQ(service->device()->mChosen.outPipeIsoc, nullptr) << "pipes and interfaces let go";
    driver.clearRequestLog();
    const uint64_t second = platform::host_clock::now();
    driver.runInKernel([&] { root->systemSleep(); });
    EXPECT_LT(platform::host_clock::now() - second, 100 * kMillisecond) << "a second sleep does nothing";
    driver.waitQuiet();
    EXPECT_EQ(changes.take(), (std::vector<uint32_t>{54}));

    driver.runInKernel([&] { root->systemWake(); });
    driver.waitQuiet();
    EXPECT_FALSE(service->isSystemSuspended());
    EXPECT_EQ(service->device()->mbWasPowerDownMode, 1);
    EXPECT_EQ(changes.take(), (std::vector<uint32_t>{13}));
    EXPECT_EQ(service->device()->mpDriverSM->mConfigured, 0u) << "configured again only on request";
    EXPECT_TRUE(driver.requestLog().empty());
    EXPECT_EQ(configure(service), kIOReturnSuccess);
    notifier->remove();
}

TEST_F(KernelDeviceTest, TerminationRefusesConfigurationAndRequests)
{
    VKKernelDevice* service = plugClassDevice();
    ASSERT_NE(service, nullptr);
    ASSERT_EQ(configure(service), kIOReturnSuccess);
    service->retain();
    driver.unplug();
    EXPECT_TRUE(service->isTerminateRequested());
    EXPECT_EQ(configure(service), kIOReturnError);
    IOReturn status = kIOReturnSuccess;
    UInt32 length = 0;
    driver.runInKernel([&] {
        status = service->deviceRequest(kVKDirectionOut, kVKTypeVendor, kVKRecipientDevice, 0x30, 0, 0, nullptr,
                                        length, 5);
    });
    EXPECT_NE(status, kIOReturnSuccess);
    service->release();
    driver.waitQuiet();
}

TEST_F(KernelDeviceTest, RateRequestOfTheStubbornModelIsRepeatedUntilItIsTaken)
{
    VKKernelDevice* service = driver.plug("0499:100B");
    ASSERT_NE(service, nullptr);
    ASSERT_EQ(configure(service), kIOReturnSuccess);
    VKDevice* device = service->device();
    driver.clearRequestLog();
    bool set = false;
    driver.runInKernel([&] { set = service->setFrequency(nullptr, device->mChosen.outPipeIsoc, 48000); });
    EXPECT_TRUE(set) << "taken at the 41st attempt, within 6 + 200 x 6";
    EXPECT_EQ(count(driver.requestLog(), "22 01 0100 0001 3"), 41u);
}

TEST_F(KernelDeviceTest, ModelThatNeedsAPauseGetsTwoMillisecondsBeforeEveryRequest)
{
    VKKernelDevice* service = driver.plug("1235:0002");
    ASSERT_NE(service, nullptr);
    ASSERT_EQ(configure(service), kIOReturnSuccess);
    VKDevice* device = service->device();
    driver.clearRequestLog();
    const uint64_t before = platform::host_clock::now();
    bool set = false;
    driver.runInKernel([&] {
        set = service->setFrequency(device->mChosen.inPipeIsoc, nullptr, 48000) &&
              service->setFrequency(device->mChosen.inPipeIsoc, nullptr, 44100);
    });
    EXPECT_TRUE(set) << "no request came too soon";
    EXPECT_EQ(driver.requestLog().size(), 2u);
    EXPECT_GE(platform::host_clock::now() - before, 4 * kMillisecond);
}

TEST_F(KernelDeviceTest, SleepDuringAConfigurationWaitsForItAndThenUndoesIt)
{
    VKKernelDevice* service = plugClassDevice();
    ASSERT_NE(service, nullptr);
    // The configuration takes a while: its first SET_INTERFACE is answered 500 ms late, past the point where the sleep unconfigures.
    driver.model()->script({0x01, 0x0B, std::nullopt, std::nullopt}, {ScriptedStep::late(500)});
    IOReturn status = kIOReturnError;
    driver.runInKernel([&] {
        std::atomic<bool> configured{false};
        std::thread configuring = platform::host_clock::startParticipant("request", [&] {
            VKDispatchLock lock(*service);
            status = service->reqConfigureDevice("test");
            configured = true;
        });
        IOSleep(10); // the configuration is under way
        IOService::getPMRootDomain()->systemSleep();
        EXPECT_TRUE(configured.load()) << "the sleep waited for the configuration";
        while (!configured) {
            IOSleep(1);
        }
        configuring.join();
    });
    EXPECT_EQ(status, kIOReturnSuccess);
    EXPECT_TRUE(service->isSystemSuspended());
    EXPECT_EQ(service->device()->mpDriverSM->mConfigured, 0u) << "undone by the sleep, not skipped";
    EXPECT_EQ(service->device()->mChosen.outPipeIsoc, nullptr);
    driver.runInKernel([&] { IOService::getPMRootDomain()->systemWake(); });
}

} // namespace
