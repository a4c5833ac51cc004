// The audio request layer through the whole driver on the simulated bus: configuration and attach
// with the state changes they announce, every rejection path with the device left as it was, the
// description pages, control requests on the client's behalf, the mixer requests, and the
// configuration change's rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "APIDeviceInfo.h"
#include "AudioSM.h"
#include "DriverData.h"
#include "DriverFixture.h"
#include "DriverSM.h"
#include "IOKit/IOUserClient.h"
#include "OSXDispatch.h"
#include "StateChange.h"
#include "VKDevice.h"
#include "VKKernelDevice.h"
#include "usbsim/models/ClassAudioDevice.h"

using driver_test::DriverFixture;
using driver_test::kMillisecond;

namespace {

constexpr uint16_t kVendor = 0x2912;
constexpr uint16_t kProduct = 0x3001;

// State changes as a general-interest listener of the service receives them.
struct Listener
{
    std::mutex mutex;
    std::vector<QZ_StateChange> records;
    std::vector<uint32_t> badSizes;

    static IOReturn handler(void* target, void*, UInt32 type, IOService*, void* argument, vm_size_t size)
    {
        auto* self = static_cast<Listener*>(target);
        if (type != kQzStateChangeMessage) {
            return kIOReturnSuccess;
        }
        std::lock_guard lock(self->mutex);
        if (argument == nullptr || size != sizeof(QZ_StateChange)) {
            self->badSizes.push_back(static_cast<uint32_t>(size));
            return kIOReturnSuccess;
        }
        QZ_StateChange record{};
        std::memcpy(&record, argument, sizeof record);
        self->records.push_back(record);
        return kIOReturnSuccess;
    }
    bool seen(uint32_t code)
    {
        std::lock_guard lock(mutex);
        return std::any_of(records.begin(), records.end(), [&](const QZ_StateChange& r) { return r.code == code; });
    }
    std::vector<QZ_StateChange> take()
    {
        std::lock_guard lock(mutex);
        return std::exchange(records, {});
    }
    std::vector<uint32_t> codes()
    {
        std::vector<uint32_t> out;
        for (const QZ_StateChange& r : take()) {
            out.push_back(r.code);
        }
        return out;
    }
};

// The client identifier of a record (only 4-byte aligned in it).
uint64_t idOf(const QZ_StateChange& record)
{
    uint64_t id = 0;
    std::memcpy(&id, reinterpret_cast<const uint8_t*>(&record) + offsetof(QZ_StateChange, clientID), sizeof id);
    return id;
}

// A user client as the kernel makes one: initialised, so that it has its identifier.
IOUserClient* madeClient()
{
    auto* client = new IOUserClient;
    client->initWithTask(0, nullptr, 0);
    return client;
}

OSXDispatch makeRequest(uint32_t code, std::initializer_list<uint32_t> words = {})
{
    OSXDispatch record{};
    record.iReq = code;
    uint32_t n = 0;
    for (uint32_t w : words) {
        record.setWord(n++, w);
    }
    return record;
}

OSXDispatch settingsRequest(uint32_t code, const QzChannelSettings& settings)
{
    OSXDispatch record = makeRequest(code);
    std::memcpy(record.payload, &settings, sizeof settings);
    return record;
}

OSXDispatch controlRequest(uint8_t direction, uint8_t type, uint8_t recipient, uint8_t bRequest, uint16_t wValue,
                           uint16_t wIndex, uint32_t length)
{
    OSXDispatch record = makeRequest(Req_stdOrVendorRequest);
    OSXVendorRequest request{};
    request.length = length;
    request.valueIndex = wValue | (uint32_t{wIndex} << 16);
    request.direction = direction;
    request.type = type;
    request.recipient = recipient;
    request.bRequest = bRequest;
    std::memcpy(record.payload, &request, sizeof request);
    return record;
}

constexpr QzChannelSettings kStereo48{48000, 2, 16, 2, 16, 0};

// What a refused request must leave as it was.
struct DeviceState
{
    QzChannelSettings settings{};
    uint32_t configured = 0;
    uint32_t attached = 0;
    uint8_t streaming = 0;
    uint32_t configurationStatus = 0;
    size_t busRequests = 0;

    bool operator==(const DeviceState& o) const
    {
        return std::memcmp(&settings, &o.settings, sizeof settings) == 0 && configured == o.configured &&
               attached == o.attached && streaming == o.streaming && configurationStatus == o.configurationStatus &&
               busRequests == o.busRequests;
    }
    friend std::ostream& operator<<(std::ostream& out, const DeviceState& s)
    {
        return out << s.settings.iFrequency << " Hz in " << s.settings.iInChannels << "x" << s.settings.iInResolution
                   << " out " << s.settings.iOutChannels << "x" << s.settings.iOutResolution << ", configured "
                   << s.configured << ", attached " << s.attached << ", streaming " << int{s.streaming}
                   << ", status 0x" << std::hex << s.configurationStatus << std::dec << ", bus requests "
                   << s.busRequests;
    }
};

class DispatchTest : public testing::Test
{
public:
    void SetUp() override
    {
        driver.addPersonality(kVendor, kProduct);
        model = std::make_shared<usbsim::models::ClassAudioDevice>();
        service = driver.plug(model);
        ASSERT_NE(service, nullptr);
        device = service->device();
        ASSERT_NE(device, nullptr);
        ASSERT_NE(device->mpDriverSM, nullptr);
        table = device->getAndRetainDriverData();
        ASSERT_NE(table, nullptr);
        notifier = service->registerInterest(gIOGeneralInterest, &Listener::handler, &listener);
        ASSERT_NE(notifier, nullptr);
    }

    void TearDown() override
    {
        if (table != nullptr) {
            if (service != nullptr) {
                driver.runInKernel([&] {
                    VKDispatchLock lock(*service);
                    table->detachAllClients();
                });
            }
            table->release();
        }
        if (notifier != nullptr) {
            notifier->remove();
        }
        client->release();
        other->release();
        driver.unplug();
    }

    OSXDispatchCaller caller(OSXDispatcher dispatcher = OSXDispatcher::Audio, IOUserClient* who = nullptr)
    {
        OSXDispatchCaller c;
        c.dispatcher = dispatcher;
        c.client = who != nullptr ? who : client;
        c.clientID = VKClientIdentifier(c.client);
        c.driverData = table;
        c.outputRing = who == other ? otherRing.get() : ring.get();
        c.outputRingSize = sizeof(AudioSM);
        c.processID = &processID;
        return c;
    }

    IOReturn send(OSXDispatch& record, const OSXDispatchCaller& c)
    {
        IOReturn status = kIOReturnError;
        driver.runInKernel([&] {
            VKDispatchLock lock(*service);
            status = OSXDispatchRequest(service, c, record);
        });
        driver.waitQuiet();
        return status;
    }
    IOReturn send(OSXDispatch& record, OSXDispatcher dispatcher = OSXDispatcher::Audio)
    {
        return send(record, caller(dispatcher));
    }

    IOReturn configure(const QzChannelSettings& settings = kStereo48)
    {
        OSXDispatch record = settingsRequest(Req_PrepareNewConfigRegular, settings);
        return send(record);
    }

    DeviceState state()
    {
        DeviceState s;
        s.settings = device->mpDriverSM->mChannelSettings;
        s.configured = device->mpDriverSM->mConfigured;
        s.attached = table->countClients();
        s.streaming = device->streamingStarted();
        s.configurationStatus = service->configurationStatus();
        s.busRequests = driver.requestLog().size();
        return s;
    }

    // Settings in the shared block, as any process may write them; put back by restoreScribbled.
    void scribbleRate(int32_t rate)
    {
        scribbled = device->mpDriverSM->mChannelSettings;
        hasScribbled = true;
        device->mpDriverSM->mChannelSettings.iFrequency = rate;
    }
    void restoreScribbled()
    {
        if (hasScribbled) {
            device->mpDriverSM->mChannelSettings = scribbled;
            hasScribbled = false;
        }
    }

    uint32_t numberProperty(const char* key)
    {
        auto* number = OSDynamicCast(OSNumber, service->getProperty(key));
        return number != nullptr ? number->unsigned32BitValue() : 0xDEADBEEF;
    }

    DriverFixture driver;
    std::shared_ptr<usbsim::models::ClassAudioDevice> model;
    VKKernelDevice* service = nullptr;
    VKDevice* device = nullptr;
    DriverData* table = nullptr;
    Listener listener;
    IONotifier* notifier = nullptr;
    IOUserClient* client = madeClient();
    IOUserClient* other = madeClient();
    std::unique_ptr<AudioSM> ring = std::make_unique<AudioSM>();
    std::unique_ptr<AudioSM> otherRing = std::make_unique<AudioSM>();
    int32_t processID = 0;
    QzChannelSettings scribbled{};
    bool hasScribbled = false;
};

TEST_F(DispatchTest, ConfigureAttachAndDetachAnnounceTheirStateChangesInOrder)
{
    const uint64_t id = VKClientIdentifier(client);
    ASSERT_EQ(configure(), kIOReturnSuccess);
    EXPECT_EQ(device->mpDriverSM->mConfigured, 1u);
    EXPECT_EQ(device->streamingStarted(), 1) << "the stream starts after the configuration";
    std::vector<QZ_StateChange> changes = listener.take();
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].code, STC_Configured);
    EXPECT_EQ(changes[1].code, STC_NewConfig);
    EXPECT_EQ(idOf(changes[1]), id) << "the requesting client";

    // The same stream again: nothing to do, nothing announced, nothing on the bus.
    driver.clearRequestLog();
    OSXDispatch again = settingsRequest(Req_PrepareNewConfigAnonymous, kStereo48);
    EXPECT_EQ(send(again), kIOReturnSuccess);
    EXPECT_TRUE(listener.take().empty());
    EXPECT_TRUE(driver.requestLog().empty());

    // Another stream without a client: announced for all clients.
    OSXDispatch anonymous = settingsRequest(Req_PrepareNewConfigAnonymous, QzChannelSettings{44100, 2, 24, 2, 24, 0});
    EXPECT_EQ(send(anonymous), kIOReturnSuccess);
    changes = listener.take();
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].code, STC_Configured);
    EXPECT_EQ(changes[1].code, STC_NewConfig);
    EXPECT_EQ(idOf(changes[1]), 0u);
    EXPECT_EQ(numberProperty("ChannelSettings"), 0xDEADBEEF) << "a dictionary, not a number";
    auto* published = OSDynamicCast(OSDictionary, service->getProperty("ChannelSettings"));
    ASSERT_NE(published, nullptr);
    EXPECT_EQ(OSDynamicCast(OSNumber, published->getObject("Frequency"))->unsigned32BitValue(), 44100u);

    // Request 1 configures the current settings and tells every client the set-up is complete.
    OSXDispatch configureRequest = makeRequest(Req_ConfigureDevice);
    EXPECT_EQ(send(configureRequest), kIOReturnSuccess);
    EXPECT_EQ(listener.codes(), (std::vector<uint32_t>{STC_Configured, STC_INITCOMPLETE}));
    EXPECT_EQ(device->streamingStarted(), 1);

    OSXDispatch attach = makeRequest(Req_AttachClient, {4242});
    attach.argument = 512;
    EXPECT_EQ(send(attach), kIOReturnSuccess);
    EXPECT_EQ(attach.word(0), 0u) << "the first slot";
    changes = listener.take();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].code, STC_ClientAttached);
    EXPECT_EQ(idOf(changes[0]), id);
    EXPECT_EQ(changes[0].parameter1, 1u) << "attached clients after the change";
    EXPECT_EQ(ring->mChannels, 2u) << "laid out for the stream";
    EXPECT_EQ(table->slot(0).mProcessID, 4242);
    EXPECT_EQ(table->slot(0).mBufferFrames, 512u);
    driver.runFor(5 * kMillisecond);
    EXPECT_EQ(ring->mState, AudioSM::kStateRunning);

    OSXDispatch detach = makeRequest(Req_DetachClient);
    EXPECT_EQ(send(detach), kIOReturnSuccess);
    changes = listener.take();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].code, STC_ClientDetached);
    EXPECT_EQ(idOf(changes[0]), id);
    EXPECT_EQ(changes[0].parameter1, 0u);
    EXPECT_EQ(table->countClients(), 0u);
}

TEST_F(DispatchTest, EveryStateChangeIsThirtySixBytesWithTheClientIdentifierAtTwelve)
{
    service->messageToClients(9, 0x0102030405060708ull, 3, (5u << 16) | 0x1FF);
    driver.waitQuiet();
    std::vector<QZ_StateChange> changes = listener.take();
    ASSERT_EQ(changes.size(), 1u);
    uint8_t bytes[36];
    std::memcpy(bytes, &changes[0], sizeof bytes);
    const uint8_t expected[36] = {36, 0, 0, 0, 9, 0, 0, 0, 3, 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1, 0xFF, 0x01, 5, 0};
    EXPECT_EQ(std::memcmp(bytes, expected, sizeof bytes), 0);
    EXPECT_TRUE(listener.badSizes.empty());
}

TEST_F(DispatchTest, AStreamFailureArmsTheBrokenStreamHandlingOnlyWhenUnarmed)
{
    device->mStreamBrokenCount = 0;
    device->stcNotifyStreaming(STC_STREAM_BROKEN, 0);
    EXPECT_EQ(device->mStreamBrokenCount, 1u);
    device->mStreamBrokenCount = 3;
    device->stcNotifyStreaming(STC_STREAM_BROKEN, 0);
    EXPECT_EQ(device->mStreamBrokenCount, 3u);
    device->mStreamBrokenCount = 0;
    device->stcNotifyStreaming(STC_NewConfig, 0);
    EXPECT_EQ(device->mStreamBrokenCount, 0u) << "only a failure arms it";
    driver.waitQuiet();
    EXPECT_EQ(listener.codes(), (std::vector<uint32_t>{STC_STREAM_BROKEN, STC_STREAM_BROKEN, STC_NewConfig}));
}

// One malformed request per rejection path: the status the request layer gives, the reply fields it
// promises, and the device as it was.
struct Rejection
{
    const char* name;
    std::function<OSXDispatch()> record;
    OSXDispatcher dispatcher;
    IOReturn status;
    // After the snapshot of the device's state, before the request.
    std::function<void(DispatchTest&, OSXDispatchCaller&)> arrange = {};
    std::function<void(const OSXDispatch&)> checkReply = {};
    bool configured = true; // the device configured and streaming first
};

QzChannelSettings with(std::function<void(QzChannelSettings&)> change)
{
    QzChannelSettings s{44100, 2, 24, 2, 24, 0};
    change(s);
    return s;
}

class RejectionTest : public DispatchTest, public testing::WithParamInterface<Rejection>
{
};

void replySlotIsMinusOne(const OSXDispatch& r)
{
    EXPECT_EQ(r.word(0), 0xFFFFFFFFu);
}

void countIsZero(const OSXDispatch& r)
{
    EXPECT_EQ(r.iReq, 0u);
}

const Rejection kRejections[] = {
    {"UnknownRequestAudio", [] { return makeRequest(5); }, OSXDispatcher::Audio, kIOReturnBadArgument},
    {"RequestZero", [] { return makeRequest(0); }, OSXDispatcher::Audio, kIOReturnBadArgument},
    {"RequestPastTheTable", [] { return makeRequest(50); }, OSXDispatcher::Audio, kIOReturnBadArgument},
    {"HugeRequestCode", [] { return makeRequest(0xFFFFFFFF); }, OSXDispatcher::Audio, kIOReturnBadArgument},
    {"UnknownRequestServerAnswersZero", [] { return makeRequest(5); }, OSXDispatcher::AudioServer,
     kIOReturnSuccess},
    {"VendorPortNotOfferedToServer", [] { return makeRequest(Req_OpenAsyncVendorInterface); },
     OSXDispatcher::AudioServer, kIOReturnSuccess, {}, [](const OSXDispatch& r) { EXPECT_EQ(r.word(0), 0u); }},
    {"RoutingNotOfferedToServer", [] { return makeRequest(Req_SetRouting, {7}); }, OSXDispatcher::AudioServer,
     kIOReturnSuccess},
    {"TimeStampsNotOfferedToAudio", [] { return makeRequest(Req_GetTimeStamps); }, OSXDispatcher::Audio,
     kIOReturnBadArgument},
    {"SleepNotOfferedToAudio", [] { return makeRequest(Req_SystemSleep); }, OSXDispatcher::Audio,
     kIOReturnBadArgument},
    {"PagePastTheEnd", [] { return makeRequest(Req_GetDeviceInfoBlock, {387}); }, OSXDispatcher::Audio,
     kIOReturnBadArgument, {}, countIsZero},
    {"PageThatWrapsWhenMultiplied", [] { return makeRequest(Req_GetDeviceInfoBlock, {1u << 24}); },
     OSXDispatcher::Audio, kIOReturnBadArgument, {}, countIsZero},
    {"LargestPage", [] { return makeRequest(Req_GetDeviceInfoBlock, {0xFFFFFFFF}); }, OSXDispatcher::AudioServer,
     kIOReturnBadArgument, {}, countIsZero},
    {"ControlOutLongerThanItsField", [] { return controlRequest(kVKDirectionOut, kVKTypeVendor, 0, 1, 0, 0, 129); },
     OSXDispatcher::Audio, kIOReturnBadArgument},
    {"ControlInLongerThanAnyTransfer",
     [] { return controlRequest(kVKDirectionIn, kVKTypeStandard, 0, 6, 0x0100, 0, 0x10000); },
     OSXDispatcher::Audio, kIOReturnBadArgument},
    {"ControlDirectionNotOfItsField", [] { return controlRequest(0x81, kVKTypeStandard, 0, 6, 0x0100, 0, 18); },
     OSXDispatcher::Audio, kIOReturnBadArgument},
    {"ControlTypeNotOfItsField", [] { return controlRequest(kVKDirectionIn, 0x60, 0, 6, 0x0100, 0, 18); },
     OSXDispatcher::Audio, kIOReturnBadArgument},
    {"ControlRecipientNotOfItsField", [] { return controlRequest(kVKDirectionIn, kVKTypeStandard, 3, 6, 0x100, 0, 18); },
     OSXDispatcher::AudioServer, kIOReturnBadArgument},
    {"SettingsRateZero",
     [] { return settingsRequest(Req_PrepareNewConfigRegular, with([](auto& s) { s.iFrequency = 0; })); },
     OSXDispatcher::Audio, kIOReturnBadArgument},
    {"SettingsRateNegative",
     [] { return settingsRequest(Req_PrepareNewConfigAnonymous, with([](auto& s) { s.iFrequency = -48000; })); },
     OSXDispatcher::AudioServer, kIOReturnBadArgument},
    {"SettingsRateTooHigh",
     [] { return settingsRequest(Req_PrepareNewConfigRegular, with([](auto& s) { s.iFrequency = 768000; })); },
     OSXDispatcher::Audio, kIOReturnBadArgument},
    {"SettingsTooManyChannels",
     [] { return settingsRequest(Req_PrepareNewConfigRegular, with([](auto& s) { s.iOutChannels = 33; })); },
     OSXDispatcher::Audio, kIOReturnBadArgument},
    {"SettingsNegativeChannels",
     [] { return settingsRequest(Req_PrepareNewConfigRegular, with([](auto& s) { s.iInChannels = -1; })); },
     OSXDispatcher::Audio, kIOReturnBadArgument},
    {"SettingsNoChannels",
     [] {
         return settingsRequest(Req_PrepareNewConfigRegular, with([](auto& s) { s.iInChannels = s.iOutChannels = 0; }));
     },
     OSXDispatcher::Audio, kIOReturnBadArgument},
    {"SettingsOddResolution",
     [] { return settingsRequest(Req_PrepareNewConfigRegular, with([](auto& s) { s.iInResolution = 17; })); },
     OSXDispatcher::Audio, kIOReturnBadArgument},
    {"SettingsConfigurationTheDeviceLacks",
     [] { return settingsRequest(Req_PrepareNewConfigRegular, with([](auto& s) { s.uConfiguration = 1; })); },
     OSXDispatcher::Audio, kIOReturnBadArgument},
    {"ConfigureScribbledSettings", [] { return makeRequest(Req_ConfigureDevice); }, OSXDispatcher::Audio,
     kIOReturnBadArgument,
     [](DispatchTest& t, OSXDispatchCaller&) { t.scribbleRate(0); }},
    {"AttachWithoutMappedRing", [] { return makeRequest(Req_AttachClient, {1}); }, OSXDispatcher::Audio,
     kIOReturnNoMemory, [](DispatchTest&, OSXDispatchCaller& c) { c.outputRing = nullptr; }, replySlotIsMinusOne},
    {"AttachWithShortRing", [] { return makeRequest(Req_AttachClient, {1}); }, OSXDispatcher::Audio,
     kIOReturnNoMemory, [](DispatchTest&, OSXDispatchCaller& c) { c.outputRingSize = sizeof(AudioSM) - 1; },
     replySlotIsMinusOne},
    {"AttachWithoutClientTable", [] { return makeRequest(Req_AttachClient, {1}); }, OSXDispatcher::Audio,
     kIOReturnNoDevice, [](DispatchTest&, OSXDispatchCaller& c) { c.driverData = nullptr; }, replySlotIsMinusOne},
    {"AttachUnconfigured", [] { return makeRequest(Req_AttachClient, {1}); }, OSXDispatcher::Audio,
     kIOReturnNotReady, {}, replySlotIsMinusOne, false},
    {"DetachNotAttached", [] { return makeRequest(Req_DetachClient); }, OSXDispatcher::Audio, kIOReturnNotAttached},
    {"DetachWithoutClientTable", [] { return makeRequest(Req_DetachClient); }, OSXDispatcher::AudioServer,
     kIOReturnNoDevice, [](DispatchTest&, OSXDispatchCaller& c) { c.driverData = nullptr; }},
};

TEST_P(RejectionTest, RefusedWithTheStatusAndNothingChanged)
{
    const Rejection& rejection = GetParam();
    if (rejection.configured) {
        ASSERT_EQ(configure(QzChannelSettings{48000, 2, 16, 2, 16, 0}), kIOReturnSuccess);
        // Interest messages reach listeners on their own delivery thread: the configuration's last
        // announcement is awaited so that it is not taken for the rejected request's.
        for (int ms = 0; ms < 1000 && !listener.seen(STC_NewConfig); ++ms) {
            driver.runFor(kMillisecond);
        }
        ASSERT_TRUE(listener.seen(STC_NewConfig));
    }
    driver.waitQuiet();
    listener.take();
    OSXDispatchCaller c = caller(rejection.dispatcher);
    const DeviceState before = state();
    if (rejection.arrange) {
        rejection.arrange(*this, c);
    }
    OSXDispatch record = rejection.record();
    const OSXDispatch sent = record;
    EXPECT_EQ(send(record, c), rejection.status);
    if (rejection.checkReply) {
        rejection.checkReply(record);
    } else {
        EXPECT_EQ(std::memcmp(record.payload, sent.payload, sizeof record.payload), 0) << "reply untouched";
    }
    restoreScribbled();
    const DeviceState after = state();
    EXPECT_TRUE(after == before) << "before: " << before << "\nafter:  " << after;
    EXPECT_EQ(listener.codes(), std::vector<uint32_t>{}) << "nothing announced";
}

INSTANTIATE_TEST_SUITE_P(Requests, RejectionTest, testing::ValuesIn(kRejections),
                         [](const testing::TestParamInfo<Rejection>& p) { return std::string(p.param.name); });

TEST_F(DispatchTest, ASecondAttachIsBusyAndANinthClientFindsNoSlot)
{
    ASSERT_EQ(configure(), kIOReturnSuccess);
    OSXDispatch attach = makeRequest(Req_AttachClient, {1});
    ASSERT_EQ(send(attach), kIOReturnSuccess);
    listener.take();
    // A mark the ring's layout would overwrite (its state moves on with the stream, so it cannot tell).
    constexpr uint32_t kMark = 0x5EC0;
    ring->mFrequency = kMark;
    OSXDispatch again = makeRequest(Req_AttachClient, {1});
    EXPECT_EQ(send(again), kIOReturnBusy);
    EXPECT_EQ(again.word(0), 0xFFFFFFFFu);
    EXPECT_EQ(table->countClients(), 1u);
    EXPECT_EQ(ring->mFrequency, kMark) << "the attached ring is not laid out again";

    // Seven more clients fill the table; the next one is refused.
    std::vector<IOUserClient*> clients;
    std::vector<std::unique_ptr<AudioSM>> rings;
    for (int i = 0; i < 8; ++i) {
        clients.push_back(madeClient());
        rings.push_back(std::make_unique<AudioSM>());
        OSXDispatchCaller c = caller();
        c.client = clients.back();
        c.clientID = VKClientIdentifier(c.client);
        c.outputRing = rings.back().get();
        OSXDispatch r = makeRequest(Req_AttachClient, {static_cast<uint32_t>(100 + i)});
        EXPECT_EQ(send(r, c), i < 7 ? kIOReturnSuccess : kIOReturnNotAttached) << i;
        EXPECT_EQ(r.word(0), i < 7 ? static_cast<uint32_t>(i + 1) : 0xFFFFFFFFu);
    }
    EXPECT_EQ(table->countClients(), 8u);
    std::vector<QZ_StateChange> changes = listener.take();
    ASSERT_EQ(changes.size(), 7u) << "the refused attach announces nothing";
    EXPECT_EQ(changes.back().parameter1, 8u);
    driver.runInKernel([&] {
        VKDispatchLock lock(*service);
        table->detachAllClients();
    });
    for (IOUserClient* c : clients) {
        c->release();
    }
}

TEST_F(DispatchTest, DescriptionPagesCoverTheRecordAndTheLastIsShort)
{
    const auto* info = reinterpret_cast<const uint8_t*>(service->getAPIDeviceInfoPtr());
    ASSERT_NE(info, nullptr);
    for (uint32_t page : {0u, 1u, 200u, 385u, 386u}) {
        OSXDispatch r = makeRequest(Req_GetDeviceInfoBlock, {page});
        ASSERT_EQ(send(r, OSXDispatcher::AudioServer), kIOReturnSuccess);
        const uint32_t expected = page == 386 ? 148 : 256;
        EXPECT_EQ(r.iReq, expected) << page;
        EXPECT_EQ(std::memcmp(r.payload, info + 256 * page, expected), 0) << page;
    }
}

TEST_F(DispatchTest, ControlRequestsReturnAtMostTheirFieldAndSendOutDataFromIt)
{
    // IN within the field: the device descriptor comes back with its length.
    OSXDispatch descriptor = controlRequest(kVKDirectionIn, kVKTypeStandard, kVKRecipientDevice, 6, 0x0100, 0, 18);
    ASSERT_EQ(send(descriptor), kIOReturnSuccess);
    OSXVendorRequest reply{};
    std::memcpy(&reply, descriptor.payload, sizeof reply);
    EXPECT_EQ(reply.length, 18u);
    EXPECT_EQ(reply.data[0], 18);
    EXPECT_EQ(reply.data[1], 1) << "device descriptor";

    // IN beyond the field: done on the bus, nothing copied back.
    driver.clearRequestLog();
    OSXDispatch configuration = controlRequest(kVKDirectionIn, kVKTypeStandard, kVKRecipientDevice, 6, 0x0200, 0, 200);
    const OSXDispatch sent = configuration;
    ASSERT_EQ(send(configuration), kIOReturnSuccess);
    EXPECT_EQ(std::memcmp(&configuration, &sent, sizeof sent), 0);
    const auto log = driver.requestLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].setup.wLength, 200);
    EXPECT_GT(log[0].length, 18u);

    // OUT from the field: a class volume setting reaches the feature unit.
    OSXDispatch volume = controlRequest(kVKDirectionOut, kVKTypeClass, kVKRecipientInterface, 0x01, 0x0200,
                                        usbsim::models::ClassAudioDevice::kFeatureUnit << 8, 2);
    const int16_t value = -0x0A00;
    std::memcpy(volume.payload, &value, sizeof value);
    ASSERT_EQ(send(volume), kIOReturnSuccess);
    EXPECT_EQ(model->volume(), value);

    // A request the device refuses answers a failure.
    OSXDispatch refused = controlRequest(kVKDirectionIn, kVKTypeVendor, kVKRecipientDevice, 0x77, 0, 0, 4);
    EXPECT_EQ(send(refused), kIOReturnBadArgument);
}

// An IN request without a data stage: done on the bus, nothing copied back, a length of 0.
TEST_F(DispatchTest, AControlRequestInWithoutADataStageReturnsNoBytes)
{
    OSXDispatch empty = controlRequest(kVKDirectionIn, kVKTypeStandard, kVKRecipientDevice, 6, 0x0100, 0, 0);
    std::memset(empty.payload + offsetof(OSXVendorRequest, data), 0xA5, kVendorRequestDataSize);
    driver.clearRequestLog();
    ASSERT_EQ(send(empty), kIOReturnSuccess);
    OSXVendorRequest reply{};
    std::memcpy(&reply, empty.payload, sizeof reply);
    EXPECT_EQ(reply.length, 0u);
    EXPECT_EQ(std::count(reply.data, reply.data + kVendorRequestDataSize, 0xA5), kVendorRequestDataSize);
    const auto log = driver.requestLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].setup.wLength, 0);
}

TEST_F(DispatchTest, MixerModeAndValues)
{
    // Mode 0 sets bit 0x10 of the register the device reported (none: 0) and reads two channels.
    OSXDispatch mode = makeRequest(Req_SetMixerMode);
    mode.payload[0] = 1;
    mode.payload[1] = 0;
    ASSERT_EQ(send(mode), kIOReturnSuccess);
    EXPECT_EQ(device->registers().us366[2], 0x10);
    EXPECT_EQ(service->mixerRegister(), 0x10);
    EXPECT_EQ(numberProperty("MixerMode"), 0u);
    EXPECT_TRUE(listener.take().empty()) << "only the mixer devices announce their mode";

    mode.payload[1] = 3;
    const uint32_t readChannels = device->mDeviceSpecific.mInputs;
    ASSERT_EQ(send(mode), kIOReturnSuccess);
    EXPECT_EQ(device->registers().us366[2], 0x00);
    EXPECT_EQ(device->mDeviceSpecific.mInputs, readChannels);
    EXPECT_EQ(numberProperty("MixerMode"), 3u);

    OSXDispatch flags = makeRequest(Req_GetChangeFlags);
    ASSERT_EQ(send(flags), kIOReturnSuccess);
    EXPECT_EQ(flags.payload[0], 0);
    EXPECT_EQ(flags.payload[1], 0x00);

    driver.clearRequestLog();
    OSXDispatch values = makeRequest(Req_SetMixerValues);
    const int16_t set[2] = {0x0055, 0x0033};
    std::memcpy(values.payload, set, sizeof set);
    ASSERT_EQ(send(values), kIOReturnSuccess);
    // The class device refuses it (retried; the status is not the request's).
    const auto log = driver.requestLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0].setup.bmRequestType, 0x40);
    EXPECT_EQ(log[0].setup.bRequest, 0x54);
    EXPECT_EQ(log[0].setup.wValue, 0x33) << "the knob";
    EXPECT_EQ(log[0].setup.wIndex, 0x55) << "the bitmap";
    EXPECT_EQ(log[0].setup.wLength, 0);
    EXPECT_EQ(numberProperty("MixerValues"), 0x55u);
    EXPECT_EQ(numberProperty("MixerKnob"), 0x33u);
    EXPECT_EQ(listener.codes(), (std::vector<uint32_t>{STC_MixerValuesChanged}));
    OSXDispatch get = makeRequest(Req_GetMixerValues);
    ASSERT_EQ(send(get), kIOReturnSuccess);
    EXPECT_EQ(std::memcmp(get.payload, set, sizeof set), 0);
}

TEST_F(DispatchTest, SmallRequests)
{
    OSXDispatch hal = makeRequest(Req_SetHALVersion, {5});
    ASSERT_EQ(send(hal), kIOReturnSuccess);
    hal = makeRequest(Req_SetHALVersion, {7});
    ASSERT_EQ(send(hal, OSXDispatcher::AudioServer), kIOReturnSuccess);
    OSXDispatch get = makeRequest(Req_GetHALVersion);
    ASSERT_EQ(send(get), kIOReturnSuccess);
    EXPECT_EQ(get.word(0), 5u) << "the first writer wins";
    OSXDispatch usb = makeRequest(Req_GetUSBVersion);
    ASSERT_EQ(send(usb), kIOReturnSuccess);
    EXPECT_EQ(usb.word(0), 0x03030B00u);

    OSXDispatch id = makeRequest(Req_getDriverClientID);
    ASSERT_EQ(send(id), kIOReturnSuccess);
    uint64_t value = 0;
    std::memcpy(&value, id.payload, sizeof value);
    EXPECT_EQ(value, VKClientIdentifier(client));
    EXPECT_NE(value, 0u);

    OSXDispatch connect = makeRequest(Req_ConnectClient, {777});
    ASSERT_EQ(send(connect), kIOReturnSuccess);
    EXPECT_EQ(processID, 777);

    OSXDispatch status = makeRequest(Req_getConfigStatus);
    ASSERT_EQ(send(status), kIOReturnSuccess);
    EXPECT_EQ(status.word(0), kVKConfigurationNotYet);
    ASSERT_EQ(configure(), kIOReturnSuccess);
    ASSERT_EQ(send(status), kIOReturnSuccess);
    EXPECT_EQ(status.word(0), 0u);

    OSXDispatch started = makeRequest(Req_GetStreamingStarted);
    ASSERT_EQ(send(started, OSXDispatcher::AudioServer), kIOReturnSuccess);
    EXPECT_EQ(started.word(0), 1u);

    // Without the vendor port the device has no port pipe.
    OSXDispatch open = makeRequest(Req_OpenAsyncVendorInterface);
    ASSERT_EQ(send(open), kIOReturnSuccess);
    EXPECT_EQ(open.word(0), 2u);
    // Request 35 runs a device command: the AudioServer client passes on its status, the audio
    // client answers 0 whatever the command did; the reply is in the record either way.
    OSXDispatch command = makeRequest(Req_DispatchStreaming, {7, 0x55});
    EXPECT_EQ(send(command, OSXDispatcher::AudioServer), kIOReturnBadArgument);
    EXPECT_EQ(send(command), kIOReturnSuccess) << "the audio client answers 0 whatever the command did";
    EXPECT_EQ(command.word(1), 0x55u) << "a command without an entry leaves the record as sent";
    OSXDispatch version = makeRequest(Req_DispatchStreaming, {22});
    EXPECT_EQ(send(version, OSXDispatcher::AudioServer), kIOReturnSuccess);
    EXPECT_EQ(version.word(1), 0x03030B00u);
}

TEST_F(DispatchTest, ControlsUpdatesApplyTheLiveBlockAndAnnounce)
{
    DriverSM* sm = device->mpDriverSM;
    const uint64_t id = VKClientIdentifier(client);
    std::memset(sm->mDeviceControls, 0x11, sizeof sm->mDeviceControls);
    std::memset(sm->mDeviceControlsNext, 0x22, sizeof sm->mDeviceControlsNext);
    driver.clearRequestLog();
    OSXDispatch mute = makeRequest(Req_UpdateMuteStatus);
    ASSERT_EQ(send(mute), kIOReturnSuccess);
    EXPECT_EQ(device->mWorkingControls[100], 0x11) << "the live block is what is applied";
    // Against the kernel's own record: this device has no controls, so nothing reaches it, and the
    // block's structure (counts, units, ranges) is the kernel's again; the user's selection stays.
    EXPECT_TRUE(driver.requestLog().empty());
    XsDeviceControls shared{};
    std::memcpy(&shared, sm->mDeviceControls, sizeof shared);
    EXPECT_EQ(shared.cOut.iCount, 0u);
    EXPECT_EQ(shared.cOut.cEndpoints[0].iVolumeUnit, 0u);
    EXPECT_EQ(shared.cOut.iSelector, 0x11);
    EXPECT_EQ(std::memcmp(sm->mDeviceControlsNext, sm->mDeviceControls, sizeof shared), 0)
        << "the copy as last applied follows";
    std::vector<QZ_StateChange> changes = listener.take();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].code, STC_ChangeMute);
    EXPECT_EQ(idOf(changes[0]), id);

    OSXDispatch volume = makeRequest(Req_UpdateVolumeStatus, {1});
    ASSERT_EQ(send(volume, OSXDispatcher::AudioServer), kIOReturnSuccess);
    changes = listener.take();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].code, STC_ChangeVolume);
    EXPECT_EQ(idOf(changes[0]), 0u) << "the AudioServer client names no client";

    // Monitoring: only a device with a monitor switch, only a changed value.
    std::memset(sm->mDeviceControls, 0, sizeof sm->mDeviceControls);
    OSXDispatch monitor = makeRequest(Req_UpdateMonitorStatus, {1});
    ASSERT_EQ(send(monitor), kIOReturnSuccess);
    EXPECT_TRUE(listener.take().empty()) << "no monitor switch";
    const uint32_t hasSwitch = 1;
    std::memcpy(sm->mDeviceControls + 3820, &hasSwitch, sizeof hasSwitch);
    OSXDispatch can = makeRequest(Req_GetCanMonitor);
    ASSERT_EQ(send(can), kIOReturnSuccess);
    EXPECT_EQ(can.word(0), 1u);
    ASSERT_EQ(send(monitor), kIOReturnSuccess);
    EXPECT_EQ(device->mWorkingControls[3828], 1);
    EXPECT_EQ(listener.codes(), (std::vector<uint32_t>{STC_ChangeMonitor}));
    monitor = makeRequest(Req_UpdateMonitorStatus, {0});
    ASSERT_EQ(send(monitor), kIOReturnSuccess);
    EXPECT_TRUE(listener.take().empty()) << "the value it has already";
}

TEST_F(DispatchTest, AClosingClientLeavesOnlyItsOwnRecords)
{
    DriverSM* sm = device->mpDriverSM;
    const uint64_t mine = VKClientIdentifier(client);
    const uint64_t theirs = VKClientIdentifier(other);
    std::memcpy(&sm->mInputsExclusiveClient, &mine, 8);
    std::memcpy(&sm->mOutputsExclusiveClient, &theirs, 8);
    std::memcpy(&sm->mPrivateDataClient, &mine, 8);
    driver.runInKernel([&] {
        VKDispatchLock lock(*service);
        device->mpDriverData->setOutputsExclusiveClient(theirs);
        device->mpDriverData->setPrivateDataClient(mine);
        device->onClientClosed(client);
        device->onClientClosed(nullptr);
    });
    EXPECT_EQ(device->mpDriverData->outputsExclusiveClient(), theirs) << "the mixer's own records";
    EXPECT_EQ(device->mpDriverData->privateDataClient(), 0u);
    uint64_t values[3];
    std::memcpy(&values[0], &sm->mInputsExclusiveClient, 8);
    std::memcpy(&values[1], &sm->mOutputsExclusiveClient, 8);
    std::memcpy(&values[2], &sm->mPrivateDataClient, 8);
    EXPECT_EQ(values[0], 0u);
    EXPECT_EQ(values[1], theirs);
    EXPECT_EQ(values[2], 0u);
}

TEST_F(DispatchTest, WithoutTheDeviceNothingIsDone)
{
    OSXDispatch record = makeRequest(Req_GetHALVersion);
    EXPECT_EQ(OSXDispatchRequest(nullptr, caller(), record), kIOReturnNotAttached);
    OSXDispatchCaller c = caller();
    EXPECT_EQ(OSXStopUSBStream(nullptr, c), kIOReturnNoDevice);
}

} // namespace

namespace {

TEST_F(DispatchTest, AFailedChangeFallsBackToThePreviousConfiguration)
{
    ASSERT_EQ(configure(), kIOReturnSuccess);
    listener.take();
    const uint32_t statusBefore = service->configurationStatus();
    // The device refuses the first interface selection of the new stream.
    model->failNext({0x01, 0x0B, std::nullopt, std::nullopt}, 1, usbsim::kDeviceError);
    OSXDispatch change = settingsRequest(Req_PrepareNewConfigRegular, QzChannelSettings{44100, 2, 24, 2, 24, 0});
    EXPECT_EQ(send(change), kIOReturnSuccess) << "the request itself answers 0";
    const QzChannelSettings now = device->mpDriverSM->mChannelSettings;
    EXPECT_EQ(now.iFrequency, kStereo48.iFrequency);
    EXPECT_EQ(now.iOutChannels, kStereo48.iOutChannels);
    EXPECT_EQ(now.iOutResolution, kStereo48.iOutResolution);
    EXPECT_EQ(device->mpDriverSM->mConfigured, 1u);
    EXPECT_EQ(device->streamingStarted(), 1) << "streaming again";
    EXPECT_EQ(service->configurationStatus(), statusBefore);
    const std::vector<uint32_t> codes = listener.codes();
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ(codes.back(), STC_NewConfig) << "announced also when it failed";
}

} // namespace

namespace {

// A late write breaks the stream; request 31 tears it down once, request 32 prepares the same
// settings again as a new configuration, and the attached client streams on.
TEST_F(DispatchTest, ABrokenStreamIsTornDownOnceAndPreparedAgainAsANewConfiguration)
{
    ASSERT_EQ(configure(), kIOReturnSuccess);
    OSXDispatch attach = makeRequest(Req_AttachClient, {4242});
    attach.argument = 512;
    ASSERT_EQ(send(attach), kIOReturnSuccess);
    driver.runFor(5 * kMillisecond);
    listener.take();

    usbsim::EndpointFaults late;
    late.delayCompletions = 1;
    late.delayMilliseconds = 20;
    model->setEndpointFaults(usbsim::models::ClassAudioDevice::kOutEndpoint, late);
    driver.runFor(100 * kMillisecond);
    EXPECT_EQ(device->streamingStarted(), 0);
    EXPECT_EQ(listener.codes(), std::vector<uint32_t>{STC_STREAM_BROKEN});
    model->setEndpointFaults(usbsim::models::ClassAudioDevice::kOutEndpoint, {});

    OSXDispatch stage1 = makeRequest(Req_HandleStreamBroken1);
    EXPECT_EQ(send(stage1), kIOReturnSuccess);
    EXPECT_EQ(device->mpDriverSM->mConfigured, 0u);
    OSXDispatch again = makeRequest(Req_HandleStreamBroken1);
    EXPECT_EQ(send(again), kIOReturnNotPrivileged) << "done by someone else";

    // Settings a process wrote into the shared block are checked before they are prepared.
    const QzChannelSettings settings = device->mpDriverSM->mChannelSettings;
    OSXDispatch stage2 = makeRequest(Req_HandleStreamBroken2);
    EXPECT_EQ(send(stage2), kIOReturnSuccess);
    EXPECT_EQ(device->mpDriverSM->mConfigured, 1u);
    EXPECT_EQ(device->streamingStarted(), 1);
    EXPECT_EQ(listener.codes(), (std::vector<uint32_t>{STC_Configured, STC_NewConfig, STC_NewConfig}));
    const uint64_t before = table->inputRing().framePos();
    driver.runFor(100 * kMillisecond); // the first transfers start 50 frames ahead
    EXPECT_GT(table->inputRing().framePos(), before) << "streaming again";
    EXPECT_EQ(ring->mState, AudioSM::kStateRunning) << "the attached client plays on";
    EXPECT_EQ(table->countClients(), 1u);
    EXPECT_EQ(device->mpDriverSM->mChannelSettings.iFrequency, settings.iFrequency);
}

// A request for the settings in force changes nothing on the device but shows them in the shared
// block again, so that request 1 configures from them whatever was written there meanwhile.
TEST_F(DispatchTest, RequestingTheSettingsInForceShowsThemInTheSharedBlockAgain)
{
    ASSERT_EQ(configure(), kIOReturnSuccess);
    scribbleRate(0);
    OSXDispatch same = settingsRequest(Req_PrepareNewConfigAnonymous, kStereo48);
    driver.clearRequestLog();
    ASSERT_EQ(send(same), kIOReturnSuccess);
    EXPECT_TRUE(driver.requestLog().empty()) << "nothing sent to the device";
    EXPECT_EQ(device->mpDriverSM->mChannelSettings.iFrequency, kStereo48.iFrequency);
    OSXDispatch configureRecord = makeRequest(Req_ConfigureDevice);
    EXPECT_EQ(send(configureRecord), kIOReturnSuccess);
}

// Settings a process writes into the shared block between the two stages are not the kernel's:
// the stream is configured again with the settings it had, which the block then shows again.
TEST_F(DispatchTest, ABrokenStreamIsConfiguredAgainWithTheKernelsSettingsNotTheSharedBlocks)
{
    ASSERT_EQ(configure(), kIOReturnSuccess);
    device->mStreamBrokenCount = 1;
    OSXDispatch stage1 = makeRequest(Req_HandleStreamBroken1);
    ASSERT_EQ(send(stage1), kIOReturnSuccess);
    listener.take();
    scribbleRate(0);
    OSXDispatch stage2 = makeRequest(Req_HandleStreamBroken2);
    EXPECT_EQ(send(stage2), kIOReturnSuccess);
    EXPECT_EQ(device->mpDriverSM->mConfigured, 1u);
    EXPECT_EQ(device->streamingStarted(), 1);
    EXPECT_EQ(device->getCurrentSettings()->iFrequency, kStereo48.iFrequency);
    EXPECT_EQ(device->mpDriverSM->mChannelSettings.iFrequency, kStereo48.iFrequency);
    EXPECT_EQ(listener.codes(), (std::vector<uint32_t>{STC_Configured, STC_NewConfig, STC_NewConfig}));
}

} // namespace
