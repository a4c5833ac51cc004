// The bus features the driver's tests script faults with: the request log, scripted failures,
// reply-table rows, the unplug hook, the frame counter and unreadable configurations.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "TestDevice.h"
#include "platform/HostClock.h"
#include "usbsim/Bus.h"
#include "usbsim/models/TableDevice.h"

namespace usbsim::test {
namespace {

namespace vc = platform::host_clock::virtual_clock;

constexpr uint64_t kStart = 1'000'000'000;
const RequestMatch kVendorRead{0xC0, 0x49, std::nullopt, std::nullopt};

class FaultInjectionTest : public ::testing::Test
{
protected:
    FaultInjectionTest() : model(std::make_shared<TestDevice>()) { device = bus.attach(model); }

    Status vendorRead(uint8_t* byte, uint32_t* done, uint16_t length = 1)
    {
        return device->deviceRequest({0xC0, 0x49, 0, 0, length}, byte, done);
    }

    vc::Scope clock{kStart};
    std::shared_ptr<TestDevice> model;
    Bus bus;
    std::shared_ptr<Device> device;
};

TEST_F(FaultInjectionTest, LogHoldsWhatTheHostGotInOrder)
{
    uint8_t buffer[8] = {};
    uint32_t done = 0;
    ASSERT_EQ(vendorRead(buffer, &done, 8), kSuccess);
    const uint8_t value = 7;
    ASSERT_EQ(device->deviceRequest({0x40, 0x49, 1, 2, 1}, const_cast<uint8_t*>(&value), &done), kSuccess);
    model->script(kVendorRead, {ScriptedStep::late(2000)});
    Status late = kSuccess;
    std::thread requester = platform::host_clock::startParticipant("requester", [&] {
        uint8_t byte = 0;
        uint32_t n = 0;
        late = vendorRead(&byte, &n); // the answer would come after the time-out
    });
    bus.runFor(1000 * kFrameNanoseconds);
    requester.join();
    ASSERT_EQ(late, kTransactionTimeout);

    const auto log = model->requestLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].setup.wLength, 8);
    EXPECT_EQ(log[0].length, 1u) << "the device sent one byte of the eight asked for";
    EXPECT_EQ(log[0].status, kSuccess);
    EXPECT_EQ(log[1].setup.wValue, 1);
    EXPECT_EQ(log[1].setup.wIndex, 2);
    EXPECT_EQ(log[1].outData, std::vector<uint8_t>{7});
    EXPECT_EQ(log[1].length, 1u);
    EXPECT_EQ(log[2].status, kTransactionTimeout) << "the log holds the host's result, not the device's";
    EXPECT_EQ(log[2].length, 0u);
}

TEST_F(FaultInjectionTest, ScriptedFailuresComeOnceEachThenTheModelAnswers)
{
    model->failNext(kVendorRead, 2, kPipeStalled);
    model->failNext({0xC0, 0x49, uint16_t{5}, std::nullopt}, 1, kDeviceError);
    uint8_t byte = 0;
    uint32_t done = 0;
    EXPECT_EQ(vendorRead(&byte, &done), kPipeStalled);
    EXPECT_EQ(vendorRead(&byte, &done), kPipeStalled);
    EXPECT_EQ(vendorRead(&byte, &done), kSuccess);
    EXPECT_EQ(byte, 0x5A);
    EXPECT_EQ(device->deviceRequest({0xC0, 0x49, 5, 0, 1}, &byte, &done), kDeviceError);
    EXPECT_EQ(device->deviceRequest({0xC0, 0x49, 5, 0, 1}, &byte, &done), kSuccess);

    // A lasting fault: every configuration read comes short until the scripts are cleared.
    model->scriptAlways({0x80, kGetDescriptor, uint16_t{0x0200}, std::nullopt}, ScriptedStep::shortened(12));
    std::vector<uint8_t> config(256);
    for (int i = 0; i < 3; ++i) {
        uint32_t length = 256;
        ASSERT_EQ(device->readConfigurationDescriptor(1, config.data(), &length), kSuccess);
        EXPECT_EQ(length, 12u);
    }
    model->clearScripts();
    uint32_t length = 256;
    ASSERT_EQ(device->readConfigurationDescriptor(1, config.data(), &length), kSuccess);
    EXPECT_EQ(length, 71u);
}

TEST_F(FaultInjectionTest, UnreadableConfigurationFailsEveryTime)
{
    model->makeConfigurationUnreadable(0, kNotResponding);
    std::vector<uint8_t> config(256);
    for (int i = 0; i < 3; ++i) {
        uint32_t length = 256;
        EXPECT_EQ(device->readConfigurationDescriptor(1, config.data(), &length), kNotResponding);
        EXPECT_EQ(length, 0u);
    }
    uint8_t descriptor[18] = {};
    uint32_t done = 0;
    EXPECT_EQ(device->deviceRequest({0x80, kGetDescriptor, 0x0100, 0, 18}, descriptor, &done), kSuccess)
        << "only the configuration is unreadable";
}

TEST_F(FaultInjectionTest, DeviceLeavesAtTheChosenRequestAndObserversHearOfItElsewhere)
{
    struct Observer : BusObserver
    {
        void deviceAttached(const std::shared_ptr<Device>&) override {}
        void deviceDetached(const std::shared_ptr<Device>&) override
        {
            std::lock_guard lock(mutex);
            thread = std::this_thread::get_id();
            ++detached;
        }
        std::mutex mutex;
        std::thread::id thread;
        int detached = 0;
    } observer;
    bus.addObserver(&observer);

    std::vector<std::pair<uint32_t, uint8_t>> seen;
    device->setControlHook([&](uint32_t number, const SetupPacket& setup) {
        seen.emplace_back(number, setup.bRequest);
        return number == 3 ? RequestAction::unplug : RequestAction::proceed;
    });
    uint8_t byte = 0;
    uint32_t done = 0;
    EXPECT_EQ(vendorRead(&byte, &done), kSuccess);
    EXPECT_EQ(device->setConfiguration(1), kSuccess);
    EXPECT_EQ(vendorRead(&byte, &done), kNotResponding);
    EXPECT_FALSE(device->isAttached());
    EXPECT_EQ(vendorRead(&byte, &done), kNoDevice);
    EXPECT_EQ(device->controlRequestCount(), 3u) << "a gone device counts no more requests";
    EXPECT_EQ(seen, (std::vector<std::pair<uint32_t, uint8_t>>{{1, 0x49}, {2, kSetConfiguration}, {3, 0x49}}));

    bus.settle();
    {
        std::lock_guard lock(observer.mutex);
        EXPECT_EQ(observer.detached, 1);
        EXPECT_NE(observer.thread, std::this_thread::get_id());
    }
    const auto log = model->requestLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[2].status, kNotResponding) << "the request in flight is logged with its end";
    bus.removeObserver(&observer);
}

TEST_F(FaultInjectionTest, UnplugAtControlRequestCountsFromAttach)
{
    uint8_t byte = 0;
    uint32_t done = 0;
    EXPECT_EQ(vendorRead(&byte, &done), kSuccess);
    device->unplugAtControlRequest(2);
    EXPECT_EQ(vendorRead(&byte, &done), kNotResponding);
    EXPECT_TRUE(bus.devices().empty());
    bus.settle();
}

TEST_F(FaultInjectionTest, FrameNumberCanBeSetForwardIncludingAllOnes)
{
    bus.runFrames(3);
    EXPECT_FALSE(bus.setFrameNumber(bus.frameNumber() - 1)) << "the counter never goes back";
    ASSERT_TRUE(bus.setFrameNumber(0xFFFF'FFFF));
    EXPECT_EQ(bus.frameNumber(), 0xFFFF'FFFFu);
    bus.runFrames(1);
    EXPECT_EQ(bus.frameNumber(), 0x1'0000'0000u);

    bus.injectUnreadableFrameNumber(Bus::kAlways);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(bus.frameNumber(), ~uint64_t{0});
    }
    bus.injectUnreadableFrameNumber(0);
    EXPECT_EQ(bus.frameNumber(), 0x1'0000'0000u);
}

// A table-only model for the reply-row features.
std::shared_ptr<models::TableDevice> tableDevice(std::vector<ReplyRow> rows, uint32_t gap = 0)
{
    models::ModelData data;
    data.device = TestDevice().deviceDescriptorBytes();
    data.replies = std::move(rows);
    data.requestGapMs = gap;
    return std::make_shared<models::TableDevice>(data);
}

TEST_F(FaultInjectionTest, ReplyRowsFailCountSequenceAndStall)
{
    ReplyRow flaky;
    flaky.match = {0xC0, 0x10, std::nullopt, std::nullopt};
    flaky.data = {0xAA};
    flaky.failures = 2;
    flaky.failureStatus = kNotResponding;
    ReplyRow poll;
    poll.match = {0xC0, 0x85, uint16_t{1}, uint16_t{1}};
    poll.sequence = {{0}, {1}, {2}};
    ReplyRow stalls;
    stalls.match = {0x40, 0x20, std::nullopt, std::nullopt};
    stalls.status = kPipeStalled;
    auto table = bus.attach(tableDevice({flaky, poll, stalls}));

    uint8_t byte = 0;
    uint32_t done = 0;
    EXPECT_EQ(table->deviceRequest({0xC0, 0x10, 0, 0, 1}, &byte, &done), kNotResponding);
    EXPECT_EQ(table->deviceRequest({0xC0, 0x10, 0, 0, 1}, &byte, &done), kNotResponding);
    EXPECT_EQ(table->deviceRequest({0xC0, 0x10, 0, 0, 1}, &byte, &done), kSuccess);
    EXPECT_EQ(byte, 0xAA);

    std::vector<uint8_t> answers;
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(table->deviceRequest({0xC0, 0x85, 1, 1, 1}, &byte, &done), kSuccess);
        answers.push_back(byte);
    }
    EXPECT_EQ(answers, (std::vector<uint8_t>{0, 1, 2, 2, 2})) << "the last answer repeats";
    EXPECT_EQ(table->deviceRequest({0xC0, 0x85, 1, 0, 1}, &byte, &done), kPipeStalled) << "no row matches";
    EXPECT_EQ(table->deviceRequest({0x40, 0x20, 0, 0, 0}, nullptr, &done), kPipeStalled);
}

TEST_F(FaultInjectionTest, DelayedRowAnswersOnTheVirtualClock)
{
    ReplyRow slow;
    slow.match = {0x40, 0x30, std::nullopt, std::nullopt};
    slow.delayMilliseconds = 300;
    auto table = bus.attach(tableDevice({slow}));
    std::atomic<bool> answered{false};
    Status status = kError;
    std::thread requester = platform::host_clock::startParticipant("requester", [&] {
        uint32_t done = 0;
        status = table->deviceRequest({0x40, 0x30, 0, 0, 0}, nullptr, &done);
        answered = true;
    });
    bus.runFor(299 * kFrameNanoseconds);
    EXPECT_FALSE(answered.load());
    bus.runFor(1 * kFrameNanoseconds);
    EXPECT_TRUE(answered.load());
    requester.join();
    EXPECT_EQ(status, kSuccess);
}

TEST_F(FaultInjectionTest, RequestsTooCloseTogetherStallOnADeviceThatNeedsAPause)
{
    ReplyRow read;
    read.match = {0xC0, 0x10, std::nullopt, std::nullopt};
    read.data = {1};
    auto table = bus.attach(tableDevice({read}, 2));
    uint8_t byte = 0;
    uint32_t done = 0;
    EXPECT_EQ(table->deviceRequest({0xC0, 0x10, 0, 0, 1}, &byte, &done), kSuccess);
    EXPECT_EQ(table->deviceRequest({0xC0, 0x10, 0, 0, 1}, &byte, &done), kPipeStalled);
    EXPECT_EQ(table->clearPipeZeroStall(true), kSuccess) << "standard requests need no pause";
    bus.runFrames(1);
    EXPECT_EQ(table->deviceRequest({0xC0, 0x10, 0, 0, 1}, &byte, &done), kPipeStalled);
    bus.runFrames(2);
    EXPECT_EQ(table->deviceRequest({0xC0, 0x10, 0, 0, 1}, &byte, &done), kSuccess);
}

} // namespace
} // namespace usbsim::test
