// The device command set through the whole driver on the simulated bus: every command through
// request 35 of the AudioServer client (which passes the command's status on) or the control
// client's entry (no caller), with its status, its reply, the control requests it sends and the
// state changes it announces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "DriverData.h"
#include "DriverFixture.h"
#include "DriverSM.h"
#include "IOKit/IOUserClient.h"
#include "OSXDispatch.h"
#include "StateChange.h"
#include "VKDevice.h"
#include "VKDeviceCommands.h"
#include "VKKernelDevice.h"
#include "usbsim/DeviceModel.h"

using driver_test::DriverFixture;
using driver_test::kMillisecond;

namespace {

struct Listener
{
    std::mutex mutex;
    std::vector<QZ_StateChange> records;

    static IOReturn handler(void* target, void*, UInt32 type, IOService*, void* argument, vm_size_t size)
    {
        auto* self = static_cast<Listener*>(target);
        if (type != kQzStateChangeMessage || argument == nullptr || size != sizeof(QZ_StateChange)) {
            return kIOReturnSuccess;
        }
        std::lock_guard lock(self->mutex);
        QZ_StateChange record{};
        std::memcpy(&record, argument, sizeof record);
        self->records.push_back(record);
        return kIOReturnSuccess;
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

IOUserClient* madeClient()
{
    auto* client = new IOUserClient;
    client->initWithTask(0, nullptr, 0);
    return client;
}

QZ_Dispatch makeCommand(uint32_t code, std::initializer_list<uint32_t> words = {})
{
    QZ_Dispatch cmd{};
    cmd.uCommand = code;
    uint32_t n = 1;
    for (uint32_t w : words) {
        cmd.setWord(n++, w);
    }
    return cmd;
}

// A client slot of the shared block (only 4-byte aligned there).
uint64_t loadSlot(const void* slot)
{
    uint64_t value = 0;
    std::memcpy(&value, slot, sizeof value);
    return value;
}

constexpr uint8_t kVendorOutDevice = 0x40;
constexpr uint8_t kVendorOutInterface = 0x41;

class CommandSetTest : public testing::Test
{
public:
    void TearDown() override
    {
        if (notifier != nullptr) {
            notifier->remove();
        }
        client->release();
        other->release();
        driver.unplug();
    }

    void plug(const std::string& model)
    {
        service = driver.plug(model);
        ASSERT_NE(service, nullptr) << model;
        device = service->device();
        ASSERT_NE(device, nullptr);
        ASSERT_NE(device->mpDriverSM, nullptr);
        notifier = service->registerInterest(gIOGeneralInterest, &Listener::handler, &listener);
        ASSERT_NE(notifier, nullptr);
        driver.waitQuiet();
        listener.take();
        driver.clearRequestLog();
    }

    // Through request 35 of the AudioServer client, which answers the command's status; `who`
    // null: through the control client's entry, without a caller.
    IOReturn run(QZ_Dispatch& cmd, IOUserClient* who)
    {
        IOReturn status = kIOReturnError;
        driver.runInKernel([&] {
            VKDispatchLock lock(*service);
            if (who == nullptr) {
                status = device->onDispatch(&cmd);
                return;
            }
            OSXDispatch record{};
            record.iReq = Req_DispatchStreaming;
            std::memcpy(record.payload, &cmd, sizeof cmd);
            OSXDispatchCaller caller;
            caller.dispatcher = OSXDispatcher::AudioServer;
            caller.client = who;
            caller.clientID = VKClientIdentifier(who);
            status = OSXDispatchRequest(service, caller, record);
            std::memcpy(&cmd, record.payload, sizeof cmd);
        });
        driver.waitQuiet();
        return status;
    }
    IOReturn run(QZ_Dispatch& cmd) { return run(cmd, client); }

    // Configures the device for `settings` through request 6 (regular).
    IOReturn configure(const QzChannelSettings& settings)
    {
        IOReturn status = kIOReturnError;
        driver.runInKernel([&] {
            VKDispatchLock lock(*service);
            OSXDispatch record{};
            record.iReq = Req_PrepareNewConfigRegular;
            std::memcpy(record.payload, &settings, sizeof settings);
            OSXDispatchCaller caller;
            caller.client = client;
            caller.clientID = VKClientIdentifier(client);
            status = OSXDispatchRequest(service, caller, record);
        });
        driver.waitQuiet();
        return status;
    }

    std::vector<uint8_t> publishedBytes(const char* key)
    {
        OSData* data = OSDynamicCast(OSData, service->getProperty(key));
        if (data == nullptr) {
            return {};
        }
        const auto* bytes = static_cast<const uint8_t*>(data->getBytesNoCopy());
        return {bytes, bytes + data->getLength()};
    }

    uint32_t aqProperty(const char* key)
    {
        auto* dict = OSDynamicCast(OSDictionary, service->getProperty("AqExtData"));
        auto* number = dict != nullptr ? OSDynamicCast(OSNumber, dict->getObject(key)) : nullptr;
        return number != nullptr ? number->unsigned32BitValue() : 0xDEADBEEF;
    }

    // The control requests of one kind the device saw.
    std::vector<usbsim::LoggedRequest> requests(uint8_t bmRequestType, uint8_t bRequest)
    {
        std::vector<usbsim::LoggedRequest> out;
        for (const usbsim::LoggedRequest& r : driver.requestLog()) {
            if (r.setup.bmRequestType == bmRequestType && r.setup.bRequest == bRequest) {
                out.push_back(r);
            }
        }
        return out;
    }

    DriverFixture driver;
    VKKernelDevice* service = nullptr;
    VKDevice* device = nullptr;
    Listener listener;
    IONotifier* notifier = nullptr;
    IOUserClient* client = madeClient();
    IOUserClient* other = madeClient();
};

// --- One row a command: what it answers on a plain class device that does not stream.
struct CommandCase
{
    std::string name;
    QZ_Dispatch cmd;
    IOReturn status;
    std::function<void(const QZ_Dispatch& sent, const QZ_Dispatch& reply, VKDevice&)> check = {};
    std::vector<uint32_t> stateChanges = {};
    bool caller = true;
};

void unchanged(const QZ_Dispatch& sent, const QZ_Dispatch& reply, VKDevice&)
{
    EXPECT_EQ(std::memcmp(&sent, &reply, sizeof sent), 0) << "the record as sent";
}

std::function<void(const QZ_Dispatch&, const QZ_Dispatch&, VKDevice&)> word1Is(uint32_t value)
{
    return [value](const QZ_Dispatch&, const QZ_Dispatch& reply, VKDevice&) { EXPECT_EQ(reply.word(1), value); };
}

std::vector<CommandCase> commandCases()
{
    std::vector<CommandCase> cases = {
        {"Nothing0", makeCommand(0, {9}), kIOReturnSuccess, unchanged},
        {"Nothing1", makeCommand(1, {9}), kIOReturnSuccess, unchanged},
        {"Three", makeCommand(10), kIOReturnSuccess, word1Is(3)},
        {"FourTimes", makeCommand(11, {5}), kIOReturnSuccess, word1Is(20)},
        {"Eight", makeCommand(12), kIOReturnSuccess, word1Is(8)},
        {"Twelve", makeCommand(13), kIOReturnSuccess, word1Is(12)},
        {"DeviceFlagC", makeCommand(EQZ_GetDeviceFlag, {2}), kIOReturnSuccess, word1Is(0)},
        {"DeviceFlagOutOfRange", makeCommand(EQZ_GetDeviceFlag, {3}), kIOReturnBadArgument, unchanged},
        {"DriverVersion", makeCommand(EQZ_GetDriverVersion), kIOReturnSuccess, word1Is(0x03030B00)},
        {"DriverVersionString", makeCommand(EQZ_GetDriverVersionString, {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}),
         kIOReturnSuccess,
         [](const QZ_Dispatch&, const QZ_Dispatch& reply, VKDevice&) {
             const char expected[16] = "v3.3.11";
             EXPECT_EQ(std::memcmp(reply.body, expected, 16), 0);
         }},
        {"IsUSB2", makeCommand(EQZ_GetIsUSB2Device, {7}), kIOReturnSuccess, word1Is(0)},
        {"DeviceDescriptor", makeCommand(EQZ_GetDeviceDescriptor), kIOReturnSuccess,
         [](const QZ_Dispatch&, const QZ_Dispatch& reply, VKDevice&) {
             uint16_t ids[3] = {};
             std::memcpy(ids, reply.body + 6, sizeof ids);
             EXPECT_EQ(ids[0], 0x2912);
             EXPECT_EQ(ids[1], 0x3001);
         }},
        {"RequestStatus", makeCommand(EQZ_GetRequestStatus), kIOReturnSuccess, word1Is(kVKConfigurationNotYet)},
        {"Registers", makeCommand(EQZ_Get_Registers), kIOReturnSuccess,
         [](const QZ_Dispatch&, const QZ_Dispatch& reply, VKDevice&) {
             const uint8_t expected[4] = {3, 0xFF, 0xFF, 0xFF};
             EXPECT_EQ(std::memcmp(reply.body, expected, 4), 0);
         }},
        {"DigitalStatusUnlocked", makeCommand(EQZ_GetDigitalStatus), kIOReturnSuccess,
         [](const QZ_Dispatch&, const QZ_Dispatch& reply, VKDevice& d) {
             EXPECT_EQ(reply.word(1), 1u);
             EXPECT_EQ(reply.word(2), static_cast<uint32_t>(d.getCurrentSettings()->iFrequency));
         }},
        {"ProductName", makeCommand(EQZ_GetProductName, {0x41414141}), kIOReturnSuccess,
         [](const QZ_Dispatch&, const QZ_Dispatch& reply, VKDevice& d) {
             EXPECT_EQ(std::string(reinterpret_cast<const char*>(reply.body)), std::string(d.mpDriverSM->szProduct));
             EXPECT_EQ(reply.body[255], 0);
         }},
        {"InputsExclusiveWithoutCaller", makeCommand(EQZ_GetInputsExclusive, {5}), kIOReturnNotOpen, unchanged, {},
         false},
        {"SetOutputsExclusiveWithoutCaller", makeCommand(EQZ_SetOutputsExclusive, {1}), kIOReturnNotOpen, unchanged,
         {}, false},
        {"PrivateDataWithoutCaller", makeCommand(EQZ_SetPrivateDataClient, {1}), kIOReturnNotOpen, unchanged, {},
         false},
        {"HogID", makeCommand(EQZ_SetHogID, {42}), kIOReturnSuccess,
         [](const QZ_Dispatch&, const QZ_Dispatch&, VKDevice& d) { EXPECT_EQ(d.mHogID, 42); }, {STC_HOGMODECHANGED}},
        {"ClockSourceValidated", makeCommand(EQZ_SetClockSource, {5}), kIOReturnSuccess,
         [](const QZ_Dispatch&, const QZ_Dispatch& reply, VKDevice& d) {
             // 5 is stored, then validated to 0: 0 is the answer.
             EXPECT_EQ(reply.word(1), 0u);
             EXPECT_EQ(d.getAqExtData()->ClockSource, 0u);
         },
         {STC_SampleCkSrcChanged}},
        {"ClockSourceOne", makeCommand(EQZ_SetClockSource, {1}), kIOReturnSuccess, word1Is(1),
         {STC_SampleCkSrcChanged}},
        {"USB1ModeNotValidated", makeCommand(EQZ_SetUSB1Mode, {5}), kIOReturnSuccess, word1Is(5)},
        {"DigitalOutModeValidated", makeCommand(EQZ_SetDigitalOutMode, {2}), kIOReturnSuccess, word1Is(0),
         {STC_DigiOutModeChanged}},
        {"WolfsonCodecOutOfRange", makeCommand(EQZ_SetWMCodecValues, {4 | (1u << 16), 0x10}), kIOReturnBadArgument,
         unchanged},
        {"WolfsonRegisterOutOfRange", makeCommand(EQZ_GetWMCodecValues, {1 | (22u << 16)}), kIOReturnBadArgument,
         unchanged},
        {"WolfsonValueWiderThanNineBits", makeCommand(EQZ_SetWMCodecValues, {1 | (5u << 16), 0x200}),
         kIOReturnBadArgument, unchanged},
        {"DeviceRequestDataStageTooLong", [] {
             QZ_Dispatch c = makeCommand(EQZ_DeviceRequest);
             QZ_DeviceRequestBody b{};
             b.length = 129;
             b.direction = 128;
             b.bRequest = 6;
             b.valueIndex = 0x0100;
             std::memcpy(c.body, &b, sizeof b);
             return c;
         }(),
         kIOReturnBadArgument, unchanged},
        {"DeviceRequestBadType", [] {
             QZ_Dispatch c = makeCommand(EQZ_DeviceRequest);
             QZ_DeviceRequestBody b{};
             b.length = 18;
             b.direction = 128;
             b.type = 96;
             std::memcpy(c.body, &b, sizeof b);
             return c;
         }(),
         kIOReturnBadArgument, unchanged},
        {"DeviceRequestGetDescriptor", [] {
             QZ_Dispatch c = makeCommand(EQZ_DeviceRequest);
             QZ_DeviceRequestBody b{};
             b.length = 18;
             b.direction = 128;
             b.bRequest = 6;
             b.valueIndex = 0x0100;
             std::memcpy(c.body, &b, sizeof b);
             return c;
         }(),
         kIOReturnSuccess,
         [](const QZ_Dispatch&, const QZ_Dispatch& reply, VKDevice&) {
             EXPECT_EQ(reply.body[0], 18);
             EXPECT_EQ(reply.body[1], 1) << "a device descriptor";
             EXPECT_EQ(reply.word(33), 18u) << "the bytes received";
         }},
        {"LevelInfoWithoutEngine", makeCommand(EQZ_ReadLevelInfo), kIOReturnUnsupported, unchanged},
        {"CPortWithoutEngine", makeCommand(EQZ_SendCPortData, {0x0301}), kIOReturnBadArgument, unchanged},
        {"SuspendNotStreaming", makeCommand(EQZ_SuspendStreaming, {7}), kIOReturnSuccess, word1Is(0)},
        {"ElektronUIDOfOtherDevice", makeCommand(EQZ_Get_ElektronDeviceUID, {0x11111111, 0x11111111}),
         kIOReturnSuccess,
         [](const QZ_Dispatch&, const QZ_Dispatch& reply, VKDevice&) {
             EXPECT_EQ(reply.word(1), 0u);
             EXPECT_EQ(reply.word(2), 0u);
         }},
        {"ElektronMapOnlyForElektron", makeCommand(EQZ_Set_ElektronChannelMap, {1, 2, 3}), kIOReturnBadArgument,
         unchanged},
        {"ElektronConfigOnlyForElektron", makeCommand(EQZ_Set_Elektron_ConfigAndChannelMap, {48000, 2, 16, 2, 16}),
         kIOReturnBadArgument, unchanged},
        {"SystemAudioDevice", makeCommand(EQZ_Set_ElektronSystemAudioDevice), kIOReturnSuccess, {},
         {STC_ElektronCommand}},
        {"CodeAboveTheTable", makeCommand(79, {1, 2}), kIOReturnBadArgument, unchanged},
        {"LargestCode", makeCommand(0xFFFFFFFF, {1, 2}), kIOReturnBadArgument, unchanged},
    };
    // Codes without an entry.
    for (uint32_t code : {6u, 7u, 46u, 47u, 50u, 51u, 52u, 53u, 54u, 55u, 56u, 57u, 58u, 59u, 60u, 61u, 62u, 64u,
                          74u, 75u}) {
        cases.push_back({"NoEntry" + std::to_string(code), makeCommand(code, {0xA5A5A5A5, code}), kIOReturnBadArgument,
                         unchanged});
    }
    return cases;
}

class CommandTableTest : public CommandSetTest, public testing::WithParamInterface<CommandCase>
{
};

TEST_P(CommandTableTest, AnswersWithItsStatusReplyAndStateChanges)
{
    const CommandCase& c = GetParam();
    plug("class-audio");
    QZ_Dispatch cmd = c.cmd;
    EXPECT_EQ(run(cmd, c.caller ? client : nullptr), c.status);
    if (c.check) {
        c.check(c.cmd, cmd, *device);
    }
    EXPECT_EQ(listener.codes(), c.stateChanges);
}

INSTANTIATE_TEST_SUITE_P(Commands, CommandTableTest, testing::ValuesIn(commandCases()),
                         [](const testing::TestParamInfo<CommandCase>& p) { return p.param.name; });

TEST_F(CommandSetTest, ExclusiveSlotsFollowTheCaller)
{
    plug("class-audio");
    QZ_Dispatch take = makeCommand(EQZ_SetInputsExclusive, {1});
    ASSERT_EQ(run(take, client), kIOReturnSuccess);
    EXPECT_EQ(take.word(1), 1u);
    QZ_Dispatch ask = makeCommand(EQZ_GetInputsExclusive);
    ASSERT_EQ(run(ask, other), kIOReturnSuccess);
    EXPECT_EQ(ask.word(1), 0u) << "another client does not hold it";
    // Any client takes the slot from any other, and any client frees it.
    QZ_Dispatch steal = makeCommand(EQZ_SetInputsExclusive, {1});
    ASSERT_EQ(run(steal, other), kIOReturnSuccess);
    EXPECT_EQ(steal.word(1), 1u);
    ask = makeCommand(EQZ_GetInputsExclusive);
    ASSERT_EQ(run(ask, client), kIOReturnSuccess);
    EXPECT_EQ(ask.word(1), 0u);
    QZ_Dispatch release = makeCommand(EQZ_SetInputsExclusive, {0});
    ASSERT_EQ(run(release, client), kIOReturnSuccess);
    EXPECT_EQ(loadSlot(&device->mpDriverSM->mInputsExclusiveClient), 0u);

    // The private-data slot is taken only while empty, and its holder keeps it until it closes.
    QZ_Dispatch claim = makeCommand(EQZ_SetPrivateDataClient, {1});
    ASSERT_EQ(run(claim, client), kIOReturnSuccess);
    EXPECT_EQ(claim.word(1), 1u);
    QZ_Dispatch second = makeCommand(EQZ_SetPrivateDataClient, {1});
    ASSERT_EQ(run(second, other), kIOReturnSuccess);
    EXPECT_EQ(second.word(1), 0u);
    QZ_Dispatch giveUp = makeCommand(EQZ_SetPrivateDataClient, {0});
    ASSERT_EQ(run(giveUp, client), kIOReturnSuccess);
    EXPECT_EQ(giveUp.word(1), 0u);
    EXPECT_EQ(loadSlot(&device->mpDriverSM->mPrivateDataClient), VKClientIdentifier(client));
    driver.runInKernel([&] { device->onClientClosed(client); });
    EXPECT_EQ(loadSlot(&device->mpDriverSM->mPrivateDataClient), 0u);
}

TEST_F(CommandSetTest, RoutingIsStoredByIndexAndPublished)
{
    plug("class-audio");
    QZ_Dispatch set = makeCommand(EQZ_SetRouting, {1, 2, 7});
    ASSERT_EQ(run(set), kIOReturnSuccess);
    EXPECT_EQ(device->getAqExtData()->RoutingIn2, 7u);
    EXPECT_EQ(aqProperty("RoutingIn2"), 7u);
    QZ_Dispatch get = makeCommand(EQZ_GetRouting, {1, 2, 0});
    ASSERT_EQ(run(get), kIOReturnSuccess);
    EXPECT_EQ(get.word(3), 7u);
    set = makeCommand(EQZ_SetRouting, {0, 1, 9});
    ASSERT_EQ(run(set), kIOReturnSuccess);
    EXPECT_EQ(device->getAqExtData()->RoutingOut1, 9u);
    // An index past the words stores nothing and reads back as the index.
    const QzAqExtData before = *device->getAqExtData();
    set = makeCommand(EQZ_SetRouting, {0, 0xFFFFFFFF, 4});
    ASSERT_EQ(run(set), kIOReturnSuccess);
    EXPECT_EQ(std::memcmp(&before, device->getAqExtData(), sizeof before), 0);
    get = makeCommand(EQZ_GetRouting, {1, 3});
    ASSERT_EQ(run(get), kIOReturnSuccess);
    EXPECT_EQ(get.word(3), 3u);
}

TEST_F(CommandSetTest, WolfsonWriteSendsTheSerialRegisterRequestAndStoresWhateverItsOutcome)
{
    plug("class-audio");
    // Codec 1, register 5, value 0x1FF.
    QZ_Dispatch set = makeCommand(EQZ_SetWMCodecValues, {1 | (5u << 16), 0x1FF});
    ASSERT_EQ(run(set), kIOReturnSuccess);
    const auto sent = requests(kVendorOutDevice, 0x41);
    ASSERT_EQ(sent.size(), 3u) << "the class device stalls it: tried three times";
    EXPECT_EQ(sent[0].setup.wValue, 0x0BFF);
    EXPECT_EQ(sent[0].setup.wIndex, 0x0106);
    const std::vector<QZ_StateChange> changes = listener.take();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].code, STC_ChangeWolfson);
    EXPECT_EQ(changes[0].parameter1, 1u);
    EXPECT_EQ(changes[0].parameter2, 0x501FFu);
    QZ_Dispatch get = makeCommand(EQZ_GetWMCodecValues, {1 | (5u << 16)});
    ASSERT_EQ(run(get), kIOReturnSuccess);
    EXPECT_EQ(get.half(8), 0x1FF);
    const std::vector<uint8_t> table = publishedBytes("WolfsonRegisters");
    ASSERT_EQ(table.size(), 176u);
    EXPECT_EQ(table[(22 + 5) * 2], 0xFF);
    EXPECT_EQ(table[(22 + 5) * 2 + 1], 0x01);
}

TEST_F(CommandSetTest, FirmwareUpdateModeStopsTheStreamAndRefusesWhatNeedsTheDevice)
{
    plug("class-audio");
    ASSERT_EQ(configure(QzChannelSettings{48000, 2, 16, 2, 16, 0}), kIOReturnSuccess);
    ASSERT_EQ(device->streamingStarted(), 1);
    listener.take();
    QZ_Dispatch enter = makeCommand(EQZ_EnterFirmwareUpdateMode);
    ASSERT_EQ(run(enter, nullptr), kIOReturnSuccess);
    EXPECT_EQ(device->mFirmwareUpdateMode, 1);
    EXPECT_EQ(device->streamingStarted(), 0);
    EXPECT_EQ(listener.codes(), std::vector<uint32_t>{STC_FirmwareUpdateMode});
    ASSERT_EQ(run(enter, nullptr), kIOReturnSuccess);
    EXPECT_TRUE(listener.codes().empty()) << "announced once";

    driver.clearRequestLog();
    struct Case
    {
        QZ_Dispatch cmd;
        IOReturn status;
    };
    const Case cases[] = {
        {makeCommand(EQZ_SetDigitalOutSelector, {1}), kIOReturnSuccess},
        {makeCommand(EQZ_SetEsuCpldByte, {1}), kIOReturnSuccess},
        {makeCommand(EQZ_SetClockSource, {1}), kIOReturnBadArgument},
        {makeCommand(EQZ_SetDigitalOutMode, {1}), kIOReturnBadArgument},
        {makeCommand(EQZ_SetCurrentConfig, {44100, 2, 24, 2, 24}), kIOReturnSuccess},
    };
    for (const Case& c : cases) {
        QZ_Dispatch cmd = c.cmd;
        EXPECT_EQ(run(cmd, nullptr), c.status) << c.cmd.uCommand;
    }
    EXPECT_TRUE(driver.requestLog().empty());
    EXPECT_EQ(device->getCurrentSettings()->iFrequency, 48000) << "9 does not configure";
    EXPECT_EQ(device->getAqExtData()->ClockSource, 0u);
    QZ_Dispatch usb1 = makeCommand(EQZ_SetUSB1Mode, {1});
    ASSERT_EQ(run(usb1, nullptr), kIOReturnSuccess);
    EXPECT_EQ(device->getAqExtData()->USB1Mode, 1u) << "26 still acts";
}

TEST_F(CommandSetTest, SetCurrentConfigConfiguresAndStreamsOrRefusesWhatNoStreamCarries)
{
    plug("class-audio");
    QZ_Dispatch bad = makeCommand(EQZ_SetCurrentConfig, {48000, 40, 16, 2, 16});
    EXPECT_EQ(run(bad), kIOReturnBadArgument);
    EXPECT_TRUE(driver.requestLog().empty());
    QZ_Dispatch good = makeCommand(EQZ_SetCurrentConfig, {44100, 2, 24, 2, 24});
    ASSERT_EQ(run(good), kIOReturnSuccess);
    EXPECT_EQ(device->streamingStarted(), 1);
    QZ_Dispatch get = makeCommand(EQZ_GetCurrentConfig);
    ASSERT_EQ(run(get), kIOReturnSuccess);
    const uint32_t expected[] = {44100, 2, 24, 2, 24};
    for (uint32_t i = 0; i < 5; ++i) {
        EXPECT_EQ(get.word(i + 1), expected[i]);
    }
    QZ_Dispatch status = makeCommand(EQZ_GetRequestStatus);
    ASSERT_EQ(run(status), kIOReturnSuccess);
    EXPECT_EQ(status.word(1), 0u);
    // Suspended and resumed by command.
    QZ_Dispatch suspend = makeCommand(EQZ_SuspendStreaming);
    ASSERT_EQ(run(suspend), kIOReturnSuccess);
    EXPECT_EQ(suspend.word(1), 1u);
    EXPECT_EQ(device->streamingStarted(), 0);
    QZ_Dispatch resume = makeCommand(EQZ_ResumeStreaming);
    ASSERT_EQ(run(resume), kIOReturnSuccess);
    EXPECT_EQ(device->streamingStarted(), 1);
    ASSERT_EQ(run(resume), kIOReturnSuccess) << "a running stream is not started twice";
    EXPECT_EQ(device->streamingStarted(), 1);
}

TEST_F(CommandSetTest, ReadAndResetCommandsAnswerZerosTheSecondTime)
{
    plug("class-audio");
    device->mInputMaxima[0] = 1234;
    device->mInputMaxima[31] = 99;
    QZ_Dispatch read = makeCommand(EQZ_ReadInputMaxima);
    ASSERT_EQ(run(read), kIOReturnSuccess);
    EXPECT_EQ(read.word(1), 1234u);
    EXPECT_EQ(read.word(32), 99u);
    read = makeCommand(EQZ_ReadInputMaxima, {5});
    ASSERT_EQ(run(read), kIOReturnSuccess);
    EXPECT_EQ(read.word(1), 0u);
    EXPECT_EQ(read.word(32), 0u);
    QZ_Dispatch events = makeCommand(EQZ_ReadControlEvents, {5});
    ASSERT_EQ(run(events), kIOReturnSuccess);
    EXPECT_EQ(events.word(1), 0u);
}

// --- Digital output on the models with an AKM transmitter.

struct AkmCase
{
    const char* name;
    uint32_t mode;
    int32_t rate;
    std::vector<uint8_t> old;                 // registers 0x0D to 0x11 as read
    std::vector<uint16_t> written;            // wValue of each write, in order
};

class AkmTest : public CommandSetTest, public testing::WithParamInterface<AkmCase>
{
};

TEST_P(AkmTest, WritesOnlyTheRegistersThatChange)
{
    const AkmCase& c = GetParam();
    plug("US-366");
    device->getCurrentSettings()->iFrequency = c.rate;
    driver.model()->scriptAlways({0xC0, 0x41, 0x0D00, 0x0101},
                                 usbsim::ScriptedStep::answer(usbsim::ControlReply::ok(c.old)));
    driver.runInKernel([&] {
        VKDispatchLock lock(*service);
        device->getAqExtData()->DigitalOutMode = c.mode;
        device->writeDigitalOutMode();
    });
    std::vector<uint16_t> written;
    for (const usbsim::LoggedRequest& r : requests(kVendorOutDevice, 0x41)) {
        EXPECT_EQ(r.setup.wIndex, 0x0101);
        written.push_back(r.setup.wValue);
    }
    EXPECT_EQ(written, c.written);
}

const AkmCase kAkmCases[] = {
    {"SpdifAt96k", 0, 96000, {0x04, 0x00, 0x00, 0x35, 0x0B}, {0x103A}},
    {"SpdifFromAes", 0, 44100, {0x81, 0x00, 0x2C, 0x00, 0x00}, {0x0D04, 0x0F00, 0x110B}},
    {"AesAt48k", 1, 48000, {0x04, 0x07, 0x00, 0x35, 0x0B}, {0x0D81, 0x0E00, 0x0F2C, 0x1000, 0x1100}},
    {"AesAt96k", 1, 96000, {0x01, 0x00, 0x2C, 0x00, 0x00}, {0x1110}},
    {"AesUnknownRateKeeps0D", 1, 22050, {0x55, 0x00, 0x00, 0x00, 0x00}, {0x0F2C}},
    {"UnknownModeWritesNothing", 2, 48000, {0x04, 0x00, 0x00, 0x00, 0x0B}, {}},
};

INSTANTIATE_TEST_SUITE_P(Modes, AkmTest, testing::ValuesIn(kAkmCases),
                         [](const testing::TestParamInfo<AkmCase>& p) { return std::string(p.param.name); });

TEST_F(CommandSetTest, NoSerialRegisterRequestWhileAStreamThatMayNotBeDisturbedRuns)
{
    plug("US-366");
    ASSERT_EQ(configure(QzChannelSettings{48000, 2, 24, 2, 24, 0}), kIOReturnSuccess);
    ASSERT_EQ(device->streamingStarted(), 1);
    ASSERT_FALSE(device->canHandleRequestsWhileStreaming());
    driver.clearRequestLog();
    listener.take();
    // The register is stored and published, but nothing reaches the device and nobody is told.
    QZ_Dispatch set = makeCommand(EQZ_SetWMCodecValues, {0 | (3u << 16), 0x12});
    ASSERT_EQ(run(set), kIOReturnSuccess);
    EXPECT_TRUE(requests(kVendorOutDevice, 0x41).empty());
    EXPECT_TRUE(listener.codes().empty());
    EXPECT_EQ(device->registers().wolfson[0][3], 0x12);
    uint32_t refused = 0;
    driver.runInKernel([&] {
        VKDispatchLock lock(*service);
        refused = device->writeWolfsonRegister(0, 3, 0x12);
        device->writeDigitalOutMode();
    });
    EXPECT_EQ(refused, kVKRequestRefused);
    EXPECT_TRUE(driver.requestLog().empty());
}

// --- Elektron.

TEST_F(CommandSetTest, ElektronMapIsSentAsLowBytesToBothStreamingInterfaces)
{
    plug("1935:0006");
    ASSERT_EQ(configure(QzChannelSettings{48000, 4, 16, 4, 16, 0}), kIOReturnSuccess);
    // The map in force goes to both interfaces at configuration completion, at stream start and at
    // resume.
    EXPECT_EQ(requests(kVendorOutInterface, 0x01).size(), 6u);
    driver.clearRequestLog();
    listener.take();
    QZ_Elektron_ChannelMap map{};
    for (uint32_t i = 0; i < 8; ++i) {
        map.mInputMap[i] = 0x1A0 + i;
        map.mOutputMap[i] = 0x300 + 7 - i;
    }
    QZ_Dispatch set = makeCommand(EQZ_Set_ElektronChannelMap);
    std::memcpy(set.body, &map, sizeof map);
    ASSERT_EQ(run(set), kIOReturnSuccess);
    EXPECT_EQ(std::memcmp(set.body, &map, sizeof map), 0) << "the map now in force";
    const auto sent = requests(kVendorOutInterface, 0x01);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].setup.wIndex, 0) << "input interface first";
    EXPECT_EQ(sent[0].outData, (std::vector<uint8_t>{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7}));
    EXPECT_EQ(sent[1].setup.wIndex, 1);
    EXPECT_EQ(sent[1].outData, (std::vector<uint8_t>{7, 6, 5, 4, 3, 2, 1, 0}));
    EXPECT_EQ(listener.codes(), std::vector<uint32_t>{STC_ElektronChannelMap});
    QZ_Dispatch get = makeCommand(EQZ_Get_ElektronChannelMap);
    ASSERT_EQ(run(get), kIOReturnSuccess);
    EXPECT_EQ(std::memcmp(get.body, &map, sizeof map), 0);
}

TEST_F(CommandSetTest, ElektronNameIsSetOnlyWhenItFitsAndTheDeviceTakesIt)
{
    plug("1935:0006");
    const std::string longest(31, 'N');
    QZ_Dispatch name = makeCommand(EQZ_Set_ElektronDeviceName);
    std::memcpy(name.body, longest.data(), longest.size());
    ASSERT_EQ(run(name), kIOReturnSuccess);
    auto sent = requests(kVendorOutDevice, 0x01);
    ASSERT_EQ(sent.size(), 1u);
    std::vector<uint8_t> expected(longest.begin(), longest.end());
    expected.push_back(0);
    EXPECT_EQ(sent[0].outData, expected);
    EXPECT_EQ(listener.codes(), std::vector<uint32_t>{STC_ElektronDeviceName});
    EXPECT_EQ(publishedBytes("ElektronDeviceName"), expected);
    QZ_Dispatch get = makeCommand(EQZ_Get_ElektronDeviceName);
    std::memset(get.body, 0x77, sizeof get.body);
    ASSERT_EQ(run(get), kIOReturnSuccess);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(get.body)), longest);
    EXPECT_EQ(get.body[32], 0);

    // 32 characters, and an empty name, are refused without a request.
    driver.clearRequestLog();
    for (size_t length : {size_t{32}, size_t{0}}) {
        QZ_Dispatch refused = makeCommand(EQZ_Set_ElektronDeviceName);
        std::memset(refused.body, 'X', length);
        EXPECT_EQ(run(refused), kIOReturnBadArgument) << length;
    }
    // A body with no terminator is cut at its last byte: too long.
    QZ_Dispatch unterminated = makeCommand(EQZ_Set_ElektronDeviceName);
    std::memset(unterminated.body, 'Y', sizeof unterminated.body);
    EXPECT_EQ(run(unterminated), kIOReturnBadArgument);
    EXPECT_TRUE(driver.requestLog().empty());

    // A device that refuses the name: its status comes back, the stored name stays.
    driver.model()->scriptAlways({0x40, 0x01, 0, 0},
                                 usbsim::ScriptedStep::answer(usbsim::ControlReply::deviceError()));
    QZ_Dispatch failing = makeCommand(EQZ_Set_ElektronDeviceName);
    std::memcpy(failing.body, "Other", 5);
    EXPECT_NE(run(failing), kIOReturnSuccess);
    EXPECT_EQ(std::string(device->ElektronDeviceName), longest);
    EXPECT_TRUE(listener.codes().empty());
}

struct BandwidthCase
{
    uint16_t bcd;
    QZ_DeviceConfiguration cfg;
    uint32_t in;
    uint32_t out;
    bool fits;
};

TEST(ElektronBandwidthTest, BothRevisionsTables)
{
    const BandwidthCase cases[] = {
        {2, {48000, 8, 16, 0, 16}, 806, 22, true},
        {2, {48000, 8, 16, 0, 0}, 806, 86, true},
        {2, {48000, 8, 24, 0, 16}, 65535, 22, false},
        {2, {48000, 6, 24, 6, 24}, 968, 968, false},
        {3, {48000, 4, 16, 4, 16}, 414, 414, true},
        {1, {48000, 5, 16, 5, 16}, 642, 642, true},  // 1284, 20 segments
        {1, {48000, 4, 24, 4, 24}, 642, 642, true},  // 1284, 24 segments: too many
        {2, {48000, 4, 24, 4, 24}, 674, 674, false}, // 1348
        {1, {48000, 7, 24, 0, 16}, 65535, 54, false},
        {2, {48000, 9, 16, 0, 16}, 0, 0, false},
        {2, {48000, 2, 0xFFFFFFFF, 2, 0xFFFFFFFF}, 380, 380, false},
    };
    for (const BandwidthCase& c : cases) {
        const VKDevice::ElektronBandwidth b = VKDevice::elektronBandwidth(c.bcd, c.cfg);
        EXPECT_EQ(b.in, c.in) << c.cfg.mInChannels << " in at " << c.cfg.mInResolution << ", bcd " << c.bcd;
        EXPECT_EQ(b.out, c.out) << c.cfg.mOutChannels << " out at " << c.cfg.mOutResolution;
        const bool fits = c.fits && b.segments <= 20;
        EXPECT_EQ(b.fits, fits) << c.cfg.mInChannels << "/" << c.cfg.mOutChannels << " bcd " << c.bcd;
    }
    EXPECT_EQ(VKDevice::elektronBandwidth(2, {48000, 8, 16, 0, 16}).segments, 16u);
    EXPECT_FALSE(VKDevice::elektronBandwidth(1, {48000, 4, 24, 4, 24}).fits) << "24 segments";
}

TEST_F(CommandSetTest, ElektronConfigAndMapIsAppliedOrTheOldOneComesBack)
{
    plug("1935:0006");
    ASSERT_EQ(configure(QzChannelSettings{48000, 2, 16, 2, 16, 0}), kIOReturnSuccess);
    listener.take();
    QZ_Elektron_ConfigAndMap cfg{};
    cfg.mConfiguration = {48000, 4, 16, 4, 16};
    // A first input entry of 0 marks a map never set (the defaults replace it).
    for (uint32_t i = 0; i < 8; ++i) {
        cfg.mMap.mInputMap[i] = i + 1;
        cfg.mMap.mOutputMap[i] = i + 1;
    }
    QZ_Dispatch set = makeCommand(EQZ_Set_Elektron_ConfigAndChannelMap);
    std::memcpy(set.body, &cfg, sizeof cfg);
    ASSERT_EQ(run(set), kIOReturnSuccess);
    EXPECT_EQ(std::memcmp(set.body, &cfg, sizeof cfg), 0) << "the configuration now in force";
    EXPECT_EQ(device->getCurrentSettings()->iInChannels, 4);
    EXPECT_EQ(device->mpDriverSM->mConfigured, 1u);
    QZ_Dispatch get = makeCommand(EQZ_Get_Elektron_ConfigAndChannelMap);
    ASSERT_EQ(run(get), kIOReturnSuccess);
    EXPECT_EQ(std::memcmp(get.body, &cfg, sizeof cfg), 0);

    // Too much bandwidth: refused, the configuration in force answered, nothing sent.
    driver.clearRequestLog();
    QZ_Elektron_ConfigAndMap large = cfg;
    large.mConfiguration = {48000, 6, 24, 6, 24};
    set = makeCommand(EQZ_Set_Elektron_ConfigAndChannelMap);
    std::memcpy(set.body, &large, sizeof large);
    EXPECT_EQ(run(set), kIOReturnBadArgument);
    EXPECT_EQ(std::memcmp(set.body, &cfg, sizeof cfg), 0);
    EXPECT_TRUE(driver.requestLog().empty());

    // Within the bandwidth but no alternate carries it: the old configuration comes back.
    QZ_Elektron_ConfigAndMap odd = cfg;
    odd.mConfiguration = {48000, 1, 24, 4, 16};
    set = makeCommand(EQZ_Set_Elektron_ConfigAndChannelMap);
    std::memcpy(set.body, &odd, sizeof odd);
    EXPECT_EQ(run(set), kIOReturnBadArgument);
    EXPECT_EQ(std::memcmp(set.body, &cfg, sizeof cfg), 0);
    EXPECT_EQ(device->getCurrentSettings()->iInChannels, 4);
    EXPECT_EQ(device->getCurrentSettings()->iInResolution, 16);
}

} // namespace

namespace {

// --- Settings beside the stream on a device of the family (Corlanth-compatible, high speed).

TEST_F(CommandSetTest, ClockSourceSuspendsSendsTheSelectionAndResumes)
{
    plug("Kelvra-UC3");
    ASSERT_TRUE(device->isCorlanthCompatible());
    ASSERT_EQ(configure(QzChannelSettings{44100, 2, 24, 2, 24, 0}), kIOReturnSuccess);
    ASSERT_EQ(device->streamingStarted(), 1);
    driver.clearRequestLog();
    listener.take();
    // The other source than the one the device reported at configuration.
    const uint32_t source = device->getAqExtData()->ClockSource == 0 ? 1 : 0;
    QZ_Dispatch set = makeCommand(EQZ_SetClockSource, {source});
    ASSERT_EQ(run(set), kIOReturnSuccess);
    // The selection is written to the status register; the answer is what is stored after the
    // dialogue (this device reports its clock as it was).
    EXPECT_FALSE(requests(0x40, 0x49).empty()) << "the status register written";
    EXPECT_EQ(set.word(1), device->getAqExtData()->ClockSource);
    EXPECT_EQ(aqProperty("ClockSource"), set.word(1));
    EXPECT_EQ(device->streamingStarted(), 1) << "resumed";
    EXPECT_EQ(device->m_bStreamingSuspended, 0);
    EXPECT_EQ(listener.codes(), std::vector<uint32_t>{STC_SampleCkSrcChanged});

    // The value it has: nothing sent.
    driver.clearRequestLog();
    set = makeCommand(EQZ_SetClockSource, {device->getAqExtData()->ClockSource});
    ASSERT_EQ(run(set), kIOReturnSuccess);
    EXPECT_TRUE(driver.requestLog().empty());

    // USB 1 mode on a device attached at high speed: stored, nothing sent.
    QZ_Dispatch usb1 = makeCommand(EQZ_SetUSB1Mode, {1});
    ASSERT_EQ(run(usb1), kIOReturnSuccess);
    EXPECT_EQ(usb1.word(1), 1u);
    EXPECT_EQ(aqProperty("USB1Mode"), 1u);
    EXPECT_TRUE(driver.requestLog().empty());
}

TEST_F(CommandSetTest, StreamStartProgramsTheDigitalTransmitterBeforeTheStream)
{
    plug("US-366");
    ASSERT_EQ(configure(QzChannelSettings{48000, 2, 24, 2, 24, 0}), kIOReturnSuccess);
    ASSERT_EQ(device->streamingStarted(), 1);
    // The AKM registers are read once the stream is configured, before it runs, and only the rate
    // code of S/PDIF at 48 kHz is written (the model powers up at 44.1 kHz).
    const auto read = requests(0xC0, 0x41);
    ASSERT_FALSE(read.empty());
    EXPECT_EQ(read[0].setup.wValue, 0x0D00);
    EXPECT_EQ(read[0].setup.wIndex, 0x0101);
    const auto written = requests(0x40, 0x41);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0].setup.wValue, 0x1002);
}

} // namespace
