#include "usbsim/Bus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <thread>

#include "Recorder.h"
#include "TestDevice.h"
#include "mach/mach_init.h"
#include "mach/semaphore.h"
#include "platform/HostClock.h"

namespace usbsim::test {
namespace {

namespace vc = platform::host_clock::virtual_clock;

constexpr uint64_t kStart = 1'000'000'000;

// A bus on the virtual clock with one configured test device.
class BusTest : public ::testing::Test
{
protected:
    explicit BusTest(TestDevice::Options options = {}, Bus::Options busOptions = {})
        : model(std::make_shared<TestDevice>(options)), bus(busOptions)
    {
        device = bus.attach(model);
        EXPECT_EQ(device->setConfiguration(1), kSuccess);
        EXPECT_EQ(device->setAlternate(0, 1), kSuccess);
        model->clearRequestLog();
        bus.settle();
    }

    uint64_t frame() { return bus.frameNumber(); }

    vc::Scope clock{kStart};
    std::shared_ptr<TestDevice> model;
    Recorder recorder; // outlives the bus, which completes what is left when it goes
    Bus bus;
    std::shared_ptr<Device> device;
};

TEST_F(BusTest, FrameNumberFollowsTheClockAndCanBeMadeUnreadable)
{
    const uint64_t first = frame();
    bus.runFrames(5);
    EXPECT_EQ(frame(), first + 5);
    vc::advanceBy(kFrameNanoseconds / 2); // mid-frame: same number
    EXPECT_EQ(frame(), first + 5);

    bus.injectUnreadableFrameNumber(2);
    EXPECT_EQ(frame(), ~uint64_t{0});
    EXPECT_EQ(frame(), ~uint64_t{0});
    EXPECT_EQ(frame(), first + 5);
}

TEST_F(BusTest, IsocWriteTakesItsBytesWhenTheFrameGoesOut)
{
    auto pipe = device->pipe(kIsocOut);
    ASSERT_TRUE(pipe);
    uint8_t buffer[3 * 8] = {};
    IsocFrame frames[3] = {};
    for (auto& f : frames) {
        f.frReqCount = 8;
    }
    const uint64_t start = frame() + 2;
    ASSERT_EQ(pipe->writeIsoc(buffer, start, 3, frames, recorder.isoc(1)), kSuccess);
    // The caller fills record 0 after queueing, before its frame.
    bus.runFrames(1);
    std::memset(buffer, 0x11, 8);
    bus.runFrames(1); // frame `start` goes out
    // Record 1 is filled a frame before it goes, record 2 too late.
    std::memset(buffer + 8, 0x22, 8);
    bus.runFrames(2);
    std::memset(buffer + 16, 0x33, 8);
    bus.runFrames(2);

    const auto packets = model->isocReceived();
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[0].frame, start);
    EXPECT_EQ(packets[0].bytes, std::vector<uint8_t>(8, 0x11));
    EXPECT_EQ(packets[1].bytes, std::vector<uint8_t>(8, 0x22));
    EXPECT_EQ(packets[2].bytes, std::vector<uint8_t>(8, 0x00)) << "a late fill must not reach the device";
    ASSERT_EQ(recorder.count(), 1u);
    EXPECT_EQ(recorder.all()[0].status, kSuccess);
    for (const auto& f : frames) {
        EXPECT_EQ(f.frStatus, kSuccess);
        EXPECT_EQ(f.frActCount, 8);
    }
}

TEST_F(BusTest, IsocReadFillsRecordsWithCountsAndTimeStamps)
{
    auto pipe = device->pipe(kIsocIn);
    ASSERT_TRUE(pipe);
    std::vector<uint8_t> buffer(4 * 200, 0xAA);
    IsocFrame frames[4] = {};
    for (auto& f : frames) {
        f.frReqCount = 200;
    }
    const uint64_t start = frame() + 3;
    const uint64_t startTime = kStart + 3 * kFrameNanoseconds;
    model->setIsocInLength(100);
    ASSERT_EQ(pipe->readIsoc(buffer.data(), start, 4, frames, recorder.isoc(7), 1), kSuccess);
    EXPECT_EQ(recorder.count(), 0u);
    bus.runFrames(3 + 3); // the frame of the last record has started
    EXPECT_EQ(recorder.count(), 0u) << "given back only after the frame of its last record";
    bus.runFrames(1);
    ASSERT_EQ(recorder.count(), 1u);
    const auto done = recorder.all()[0];
    EXPECT_EQ(done.tag, 7);
    EXPECT_EQ(done.frames, frames);
    EXPECT_EQ(done.status, kUnderrun) << "short packets are reported as underrun";
    EXPECT_NE(done.thread, std::this_thread::get_id());
    for (uint32_t k = 0; k < 4; ++k) {
        EXPECT_EQ(frames[k].frStatus, kUnderrun);
        EXPECT_EQ(frames[k].frActCount, 100);
        EXPECT_EQ(frames[k].frTimeStamp, startTime + (k + 1) * kFrameNanoseconds);
        // Record k's bytes sit at k * 200, the rest of its area untouched.
        EXPECT_EQ(buffer[k * 200], static_cast<uint8_t>((start + k) * 8));
        EXPECT_EQ(buffer[k * 200 + 100], 0xAA);
    }
}

TEST_F(BusTest, IsocSubmissionOutsideTheWindowIsRefused)
{
    auto pipe = device->pipe(kIsocOut);
    uint8_t buffer[8] = {};
    IsocFrame f{0, 8, 0, 0};
    bus.runFrames(10);
    const uint64_t now = frame();
    struct Case
    {
        uint64_t start;
        Status expected;
    } cases[] = {
        {now - 1, kIsoTooOld},  {now, kIsoTooOld},        {now + 1, kSuccess},
        {now + 1000, kSuccess}, {now + 1001, kIsoTooNew},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pipe->writeIsoc(buffer, c.start, 1, &f, recorder.isoc(0)), c.expected) << c.start - now;
    }
    IsocFrame tooBig{0, 201, 0, 0};
    EXPECT_EQ(pipe->writeIsoc(buffer, now + 2, 1, &tooBig, recorder.isoc(0)), kBadArgument);
    EXPECT_EQ(device->pipe(kBulkOut)->writeIsoc(buffer, now + 2, 1, &f, recorder.isoc(0)), kBadArgument);
}

TEST_F(BusTest, BulkReadShowsPacketsBeforeItCompletes)
{
    auto pipe = device->pipe(kBulkIn);
    ASSERT_TRUE(pipe);
    model->setBulkPacketsPerFrame(1);
    for (uint8_t p = 1; p <= 3; ++p) {
        model->queueBulkIn(std::vector<uint8_t>(64, p));
    }
    model->queueBulkIn(std::vector<uint8_t>(10, 4)); // short packet ends the read
    std::vector<uint8_t> buffer(512, 0);
    ASSERT_EQ(pipe->read(buffer.data(), 512, 0, 0, recorder.completion(1)), kSuccess);

    bus.runFrames(2);
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(buffer[64], 2);
    EXPECT_EQ(buffer[128], 0);
    EXPECT_EQ(recorder.count(), 0u);
    bus.runFrames(3);
    ASSERT_EQ(recorder.count(), 1u);
    EXPECT_EQ(recorder.all()[0].status, kSuccess);
    EXPECT_EQ(recorder.all()[0].remaining, 512u - 3 * 64 - 10);
    EXPECT_EQ(buffer[192], 4);
}

TEST_F(BusTest, BulkTransfersQueueAndCompleteInOrder)
{
    auto out = device->pipe(kBulkOut);
    std::vector<uint8_t> data(100);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i);
    }
    for (int tag = 1; tag <= 3; ++tag) {
        ASSERT_EQ(out->write(data.data(), 100, 0, 0, recorder.completion(tag)), kSuccess);
    }
    bus.runFrames(2);
    const auto done = recorder.all();
    ASSERT_EQ(done.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(done[i].tag, i + 1);
        EXPECT_EQ(done[i].status, kSuccess);
        EXPECT_EQ(done[i].remaining, 0u);
    }
    auto received = model->bulkReceived();
    ASSERT_EQ(received.size(), 300u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), received.begin() + 200));
}

TEST_F(BusTest, InterruptReportsComeOncePerInterval)
{
    auto pipe = device->pipe(kInterruptIn);
    ASSERT_TRUE(pipe);
    for (uint8_t r = 1; r <= 3; ++r) {
        model->queueInterruptIn({r, r, r});
    }
    uint8_t reports[3][8] = {};
    for (int t = 0; t < 3; ++t) {
        ASSERT_EQ(pipe->read(reports[t], 8, 0, 0, recorder.completion(t)), kSuccess);
    }
    bus.runFrames(8);
    ASSERT_EQ(recorder.count(), 3u);
    for (int t = 0; t < 3; ++t) {
        EXPECT_EQ(recorder.all()[t].remaining, 5u) << "a 3-byte report is a short packet";
        EXPECT_EQ(reports[t][0], t + 1);
    }
    const auto frames = model->interruptFrames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[1] - frames[0], 2u) << "bInterval 2 on a full-speed device: every second frame";
    EXPECT_EQ(frames[2] - frames[1], 2u);
}

TEST_F(BusTest, TimeOutsCompleteWithTheBytesSoFar)
{
    // No data at all: the no-data time-out.
    auto in = device->pipe(kBulkIn);
    std::vector<uint8_t> buffer(256);
    ASSERT_EQ(in->read(buffer.data(), 256, 50, 0, recorder.completion(1)), kSuccess);
    bus.runFrames(49);
    EXPECT_EQ(recorder.count(), 0u);
    bus.runFrames(2);
    ASSERT_EQ(recorder.count(), 1u);
    EXPECT_EQ(recorder.all()[0].status, kTransactionTimeout);
    EXPECT_EQ(recorder.all()[0].remaining, 256u);

    // Data trickles in, but not all of it within the completion time-out.
    model->setBulkPacketsPerFrame(1);
    for (int p = 0; p < 10; ++p) {
        model->queueBulkIn(std::vector<uint8_t>(64, 9));
    }
    ASSERT_EQ(in->read(buffer.data(), 256, 0, 2, recorder.completion(2)), kSuccess);
    bus.runFrames(4);
    ASSERT_EQ(recorder.count(), 2u);
    EXPECT_EQ(recorder.all()[1].status, kTransactionTimeout);
    EXPECT_EQ(recorder.all()[1].remaining, 256u - 2 * 64);
}

TEST_F(BusTest, StallHaltsThePipeUntilCleared)
{
    auto out = device->pipe(kBulkOut);
    EndpointFaults faults;
    faults.stallPackets = 1;
    model->setEndpointFaults(kBulkOut, faults);
    uint8_t data[16] = {};
    ASSERT_EQ(out->write(data, 16, 0, 0, recorder.completion(1)), kSuccess);
    ASSERT_EQ(out->write(data, 16, 0, 0, recorder.completion(2)), kSuccess);
    bus.runFrames(1);
    ASSERT_EQ(recorder.count(), 2u);
    EXPECT_EQ(recorder.all()[0].status, kPipeStalled);
    EXPECT_EQ(recorder.all()[1].status, kPipeStalled);
    EXPECT_TRUE(out->isHalted());

    // Clearing only the host side leaves the device halted: the next packet stalls again.
    ASSERT_EQ(out->clearStall(false), kSuccess);
    ASSERT_EQ(out->write(data, 16, 0, 0, recorder.completion(3)), kSuccess);
    bus.runFrames(1);
    EXPECT_EQ(recorder.all()[2].status, kPipeStalled);

    model->clearRequestLog();
    ASSERT_EQ(out->clearStall(true), kSuccess);
    const auto log = model->requestLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].setup.bmRequestType, 0x02);
    EXPECT_EQ(log[0].setup.bRequest, kClearFeature);
    EXPECT_EQ(log[0].setup.wIndex, kBulkOut);
    ASSERT_EQ(out->write(data, 16, 0, 0, recorder.completion(4)), kSuccess);
    bus.runFrames(1);
    EXPECT_EQ(recorder.all()[3].status, kSuccess);
}

TEST_F(BusTest, AbortCompletesEverythingOutstandingAfterItReturns)
{
    auto in = device->pipe(kBulkIn);
    auto iso = device->pipe(kIsocIn);
    std::vector<uint8_t> buffer(1024);
    IsocFrame frames[4] = {};
    for (auto& f : frames) {
        f.frReqCount = 200;
    }
    // A completion run inside abort() would run on this thread while it is in the call.
    std::atomic<bool> insideAbort{false};
    std::atomic<bool> ranInside{false};
    const auto caller = std::this_thread::get_id();
    recorder.hook = [&](const Completed& c) { ranInside = ranInside || (insideAbort && c.thread == caller); };
    ASSERT_EQ(in->read(buffer.data(), 64, 0, 0, recorder.completion(1)), kSuccess);
    ASSERT_EQ(in->read(buffer.data(), 64, 0, 0, recorder.completion(2)), kSuccess);
    ASSERT_EQ(iso->readIsoc(buffer.data(), frame() + 5, 4, frames, recorder.isoc(3)), kSuccess);
    insideAbort = true;
    EXPECT_EQ(in->abort(), kSuccess);
    EXPECT_EQ(iso->abort(), kSuccess);
    insideAbort = false;
    bus.settle();
    EXPECT_FALSE(ranInside.load());
    const auto done = recorder.all();
    ASSERT_EQ(done.size(), 3u);
    std::vector<int> bulkOrder;
    for (const auto& c : done) {
        EXPECT_EQ(c.status, kAborted);
        if (c.tag != 3) {
            bulkOrder.push_back(c.tag);
        }
    }
    EXPECT_EQ(bulkOrder, (std::vector<int>{1, 2})) << "one pipe's completions keep their order";
}

TEST_F(BusTest, CompletionsMayResubmitSleepAndAbortOtherPipes)
{
    auto out = device->pipe(kBulkOut);
    auto in = device->pipe(kBulkIn);
    auto iso = device->pipe(kIsocOut);
    uint8_t data[8] = {};
    std::vector<uint8_t> buffer(64);
    IsocFrame frames[1] = {{0, 8, 0, 0}};
    std::atomic<int> resubmitted{0};
    std::atomic<bool> sleeperDone{false};

    recorder.hook = [&](const Completed& c) {
        if (c.tag == 1 && resubmitted < 3) {
            ++resubmitted;
            EXPECT_EQ(out->write(data, 8, 0, 0, recorder.completion(1)), kSuccess);
        }
        if (c.tag == 2) {
            // Sleeps 20 ms on the clock and then aborts the bulk IN pipe.
            platform::host_clock::sleepFor(20 * kFrameNanoseconds);
            in->abort();
            sleeperDone = true;
        }
    };
    ASSERT_EQ(in->read(buffer.data(), 64, 0, 0, recorder.completion(9)), kSuccess);
    ASSERT_EQ(iso->writeIsoc(data, frame() + 1, 1, frames, recorder.isoc(2)), kSuccess);
    ASSERT_EQ(out->write(data, 8, 0, 0, recorder.completion(1)), kSuccess);
    bus.runFrames(5);
    EXPECT_EQ(resubmitted.load(), 3) << "another pipe's completions run while one sleeps";
    EXPECT_FALSE(sleeperDone.load());
    bus.runFrames(20);
    EXPECT_TRUE(sleeperDone.load());
    bool aborted = false;
    for (const auto& c : recorder.all()) {
        aborted = aborted || (c.tag == 9 && c.status == kAborted);
    }
    EXPECT_TRUE(aborted);
}

TEST_F(BusTest, ControlRequestsFollowTheScriptPerAttempt)
{
    const RequestMatch vendorRead{0xC0, 0x49, std::nullopt, std::nullopt};
    model->script(vendorRead,
                  {ScriptedStep::answer(ControlReply::stall()),
                   ScriptedStep::answer(ControlReply::deviceError()), ScriptedStep::shortened(0)});
    uint8_t byte = 0;
    uint32_t done = 99;
    const SetupPacket setup{0xC0, 0x49, 0, 0, 1};
    EXPECT_EQ(device->deviceRequest(setup, &byte, &done), kPipeStalled);
    EXPECT_TRUE(device->pipeZeroHalted());
    EXPECT_EQ(device->clearPipeZeroStall(true), kSuccess);
    EXPECT_FALSE(device->pipeZeroHalted());
    EXPECT_EQ(device->deviceRequest(setup, &byte, &done), kDeviceError);
    EXPECT_EQ(device->deviceRequest(setup, &byte, &done), kSuccess);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(device->deviceRequest(setup, &byte, &done), kSuccess);
    EXPECT_EQ(done, 1u);
    EXPECT_EQ(byte, 0x5A);

    // The log holds every request with its OUT data and result.
    const uint8_t value = 0x20;
    EXPECT_EQ(device->deviceRequest({0x40, 0x49, 0x20, 0, 1}, const_cast<uint8_t*>(&value), &done), kSuccess);
    EXPECT_EQ(device->deviceRequest({0xC0, 0x77, 0, 0, 4}, &byte, &done), kPipeStalled) << "unknown request";
    const auto log = model->requestLog();
    ASSERT_GE(log.size(), 7u);
    EXPECT_EQ(log[0].status, kPipeStalled);
    EXPECT_EQ(log[1].setup.bRequest, kClearFeature);
    EXPECT_EQ(log[5].outData, std::vector<uint8_t>{0x20});
}

TEST_F(BusTest, ControlTimeOutAndLateAnswerFollowTheClock)
{
    const RequestMatch vendorRead{0xC0, 0x49, std::nullopt, std::nullopt};
    model->script(vendorRead, {ScriptedStep::answer(ControlReply::noAnswer()), ScriptedStep::late(300)});
    std::atomic<int> stage{0};
    Status first = kSuccess;
    Status second = kError;
    std::thread requester = platform::host_clock::startParticipant("requester", [&] {
        uint8_t byte = 0;
        uint32_t done = 0;
        first = device->deviceRequest({0xC0, 0x49, 0, 0, 1}, &byte, &done, 1000, 5000);
        stage = 1;
        second = device->deviceRequest({0xC0, 0x49, 0, 0, 1}, &byte, &done, 1000, 5000);
        stage = 2;
    });
    bus.runFor(999 * kFrameNanoseconds);
    EXPECT_EQ(stage.load(), 0);
    bus.runFor(1 * kFrameNanoseconds);
    EXPECT_EQ(stage.load(), 1); // timed out; the late answer is on its way
    bus.runFor(299 * kFrameNanoseconds);
    EXPECT_EQ(stage.load(), 1);
    bus.runFor(1 * kFrameNanoseconds);
    EXPECT_EQ(stage.load(), 2);
    requester.join();
    EXPECT_EQ(first, kTransactionTimeout);
    EXPECT_EQ(second, kSuccess);
}

TEST_F(BusTest, ConfigurationDescriptorReadsCanFailOrComeShort)
{
    std::vector<uint8_t> buffer(4096);
    uint32_t length = 4096;
    ASSERT_EQ(device->readConfigurationDescriptor(1, buffer.data(), &length), kSuccess);
    EXPECT_EQ(length, static_cast<uint32_t>(buffer[2] | buffer[3] << 8));
    length = 4096;
    EXPECT_EQ(device->readConfigurationDescriptor(2, buffer.data(), &length), kBadArgument);

    const RequestMatch config{0x80, kGetDescriptor, uint16_t{0x0200}, std::nullopt};
    model->script(config, {ScriptedStep::answer(ControlReply::stall()), ScriptedStep::normal(),
                           ScriptedStep::shortened(20)});
    length = 4096;
    EXPECT_EQ(device->readConfigurationDescriptor(1, buffer.data(), &length), kPipeStalled);
    length = 4096;
    EXPECT_EQ(device->readConfigurationDescriptor(1, buffer.data(), &length), kSuccess);
    EXPECT_EQ(length, 20u) << "a short read reports the bytes that came";

    // Malformed answers: a header of another type, a header cut short.
    model->script(config,
                  {ScriptedStep::answer(ControlReply::ok({9, kDescriptorInterface, 0, 0, 0, 1, 0, 0, 0})),
                   ScriptedStep::shortened(5)});
    length = 4096;
    EXPECT_EQ(device->readConfigurationDescriptor(1, buffer.data(), &length), kDeviceError);
    length = 4096;
    EXPECT_EQ(device->readConfigurationDescriptor(1, buffer.data(), &length), kDeviceError);
    EXPECT_EQ(length, 0u);
}

TEST_F(BusTest, AlternateChangeClosesOldPipesAndChecksBandwidth)
{
    auto old = device->pipe(kIsocOut);
    uint8_t data[8] = {};
    IsocFrame f{0, 8, 0, 0};
    ASSERT_EQ(old->writeIsoc(data, frame() + 3, 1, &f, recorder.isoc(1)), kSuccess);
    const uint32_t before = bus.bandwidthAvailable(Speed::full);
    ASSERT_EQ(device->setAlternate(0, 0), kSuccess);
    EXPECT_EQ(bus.bandwidthAvailable(Speed::full), before + 400);
    EXPECT_FALSE(old->isOpen());
    EXPECT_EQ(old->writeIsoc(data, frame() + 3, 1, &f, recorder.isoc(2)), kNotOpen);
    EXPECT_EQ(device->pipe(kIsocOut), nullptr);
    bus.settle();
    ASSERT_EQ(recorder.count(), 1u);
    EXPECT_EQ(recorder.all()[0].status, kAborted);

    // Two more devices fit in the full-speed budget (1350 bytes), a fourth does not.
    auto second = bus.attach(std::make_shared<TestDevice>());
    auto third = bus.attach(std::make_shared<TestDevice>());
    auto fourth = bus.attach(std::make_shared<TestDevice>());
    for (auto& d : {second, third, fourth}) {
        ASSERT_EQ(d->setConfiguration(1), kSuccess);
    }
    EXPECT_EQ(device->setAlternate(0, 1), kSuccess);
    EXPECT_EQ(second->setAlternate(0, 1), kSuccess);
    EXPECT_EQ(third->setAlternate(0, 1), kSuccess);
    EXPECT_EQ(fourth->setAlternate(0, 1), kNoBandwidth);
    EXPECT_EQ(fourth->model().alternateSetting(0), 0) << "the device was never asked";

    auto pipe = device->pipe(kIsocOut);
    EXPECT_EQ(pipe->setPolicy(100), kSuccess);
    EXPECT_EQ(pipe->maxPacketSize(), 100);
    EXPECT_EQ(fourth->setAlternate(0, 1), kNoBandwidth);
    EXPECT_EQ(pipe->setPolicy(201), kBadArgument);
}

class RecordingObserver : public BusObserver
{
public:
    void deviceAttached(const std::shared_ptr<Device>& d) override
    {
        std::lock_guard lock(mutex);
        events.emplace_back(true, d);
    }
    void deviceDetached(const std::shared_ptr<Device>& d) override
    {
        std::lock_guard lock(mutex);
        events.emplace_back(false, d);
    }
    size_t size()
    {
        std::lock_guard lock(mutex);
        return events.size();
    }
    std::mutex mutex;
    std::vector<std::pair<bool, std::shared_ptr<Device>>> events;
};

TEST_F(BusTest, UnplugEndsTransfersAndLaterCallsAnswerNoDevice)
{
    RecordingObserver observer;
    bus.addObserver(&observer);
    auto in = device->pipe(kBulkIn);
    std::vector<uint8_t> buffer(64);
    ASSERT_EQ(in->read(buffer.data(), 64, 0, 0, recorder.completion(1)), kSuccess);
    bus.detach(device);
    bus.settle();
    ASSERT_EQ(recorder.count(), 1u);
    EXPECT_EQ(recorder.all()[0].status, kNotResponding);
    EXPECT_EQ(in->read(buffer.data(), 64, 0, 0, recorder.completion(2)), kNoDevice);
    uint8_t byte = 0;
    EXPECT_EQ(device->deviceRequest({0xC0, 0x49, 0, 0, 1}, &byte, nullptr), kNoDevice);
    EXPECT_EQ(device->setConfiguration(1), kNoDevice);
    ASSERT_EQ(observer.size(), 1u);
    EXPECT_FALSE(observer.events[0].first);
    EXPECT_TRUE(bus.devices().empty());

    // Plugged again, the same model is a new device.
    auto again = bus.attach(model);
    ASSERT_EQ(observer.size(), 2u);
    EXPECT_TRUE(observer.events[1].first);
    EXPECT_NE(again, device);
    EXPECT_EQ(again->configuration(), 0);

    // Re-enumeration: the device leaves and comes back, outside the caller.
    ASSERT_EQ(again->reEnumerate(), kSuccess);
    bus.settle();
    ASSERT_EQ(observer.size(), 4u);
    EXPECT_FALSE(observer.events[2].first);
    EXPECT_EQ(observer.events[2].second, again);
    EXPECT_TRUE(observer.events[3].first);
    EXPECT_EQ(observer.events[3].second->locationID(), again->locationID());
    bus.removeObserver(&observer);
}

TEST_F(BusTest, ResetDropsTheConfiguration)
{
    auto in = device->pipe(kBulkIn);
    std::vector<uint8_t> buffer(64);
    ASSERT_EQ(in->read(buffer.data(), 64, 0, 0, recorder.completion(1)), kSuccess);
    ASSERT_EQ(device->reset(), kSuccess);
    EXPECT_EQ(device->configuration(), 0);
    EXPECT_EQ(model->configurationValue(), 0);
    EXPECT_EQ(device->pipe(kBulkIn), nullptr);
    bus.settle();
    ASSERT_EQ(recorder.count(), 1u);
    EXPECT_EQ(recorder.all()[0].status, kAborted);
}

TEST_F(BusTest, CompletionFaultsDelayOrWithholdCompletions)
{
    auto out = device->pipe(kBulkOut);
    EndpointFaults faults;
    faults.delayCompletions = 1;
    faults.delayMilliseconds = 10;
    faults.holdCompletions = 0;
    model->setEndpointFaults(kBulkOut, faults);
    uint8_t data[8] = {};
    ASSERT_EQ(out->write(data, 8, 0, 0, recorder.completion(1)), kSuccess);
    ASSERT_EQ(out->write(data, 8, 0, 0, recorder.completion(2)), kSuccess);
    bus.runFrames(5);
    EXPECT_EQ(recorder.count(), 0u) << "the late completion holds back the ones after it";
    bus.runFrames(6);
    ASSERT_EQ(recorder.count(), 2u);
    EXPECT_EQ(recorder.all()[0].tag, 1);

    faults = {};
    faults.holdCompletions = 1;
    model->setEndpointFaults(kBulkOut, faults);
    ASSERT_EQ(out->write(data, 8, 0, 0, recorder.completion(3)), kSuccess);
    bus.runFrames(100);
    EXPECT_EQ(recorder.count(), 2u) << "a missing completion never comes";
    out->abort();
    bus.settle();
    ASSERT_EQ(recorder.count(), 3u);
    EXPECT_EQ(recorder.all()[2].status, kAborted);
}

TEST_F(BusTest, IsocPacketFaultsShortenDropAndFailFrames)
{
    auto pipe = device->pipe(kIsocIn);
    EndpointFaults faults;
    faults.dropPackets = 1;
    faults.shortenPackets = 1;
    faults.shortenBy = 30;
    faults.errorPackets = 1;
    model->setEndpointFaults(kIsocIn, faults);
    model->setIsocInLength(200);
    std::vector<uint8_t> buffer(4 * 200);
    IsocFrame frames[4] = {};
    for (auto& f : frames) {
        f.frReqCount = 200;
    }
    ASSERT_EQ(pipe->readIsoc(buffer.data(), frame() + 1, 4, frames, recorder.isoc(1)), kSuccess);
    bus.runFrames(6);
    ASSERT_EQ(recorder.count(), 1u);
    EXPECT_EQ(recorder.all()[0].status, kNotResponding);
    EXPECT_EQ(frames[0].frStatus, kNotResponding); // error first
    EXPECT_EQ(frames[0].frActCount, 0);
    EXPECT_EQ(frames[1].frStatus, kUnderrun); // then the dropped packet
    EXPECT_EQ(frames[1].frActCount, 0);
    EXPECT_EQ(frames[2].frStatus, kUnderrun);
    EXPECT_EQ(frames[2].frActCount, 170);
    EXPECT_EQ(frames[3].frStatus, kSuccess);
    EXPECT_EQ(frames[3].frActCount, 200);
}

TEST_F(BusTest, TenSecondsOfStreamingMissNoFrame)
{
    // A client that keeps three 4-frame writes and reads queued, as a streaming driver does.
    auto out = device->pipe(kIsocOut);
    auto in = device->pipe(kIsocIn);
    struct Block
    {
        IsocFrame frames[4];
        uint8_t data[4 * 200];
    };
    Block outBlocks[3] = {};
    Block inBlocks[3] = {};
    std::atomic<uint64_t> nextOut{frame() + 2};
    std::atomic<uint64_t> nextIn{frame() + 2};
    std::atomic<int> failures{0};
    auto queue = [&](bool isIn, int index) {
        Block& b = isIn ? inBlocks[index] : outBlocks[index];
        for (auto& f : b.frames) {
            f.frReqCount = isIn ? 200 : 8;
        }
        auto& next = isIn ? nextIn : nextOut;
        const uint64_t start = next.fetch_add(4);
        const Status s = isIn ? in->readIsoc(b.data, start, 4, b.frames, recorder.isoc(100 + index))
                              : out->writeIsoc(b.data, start, 4, b.frames, recorder.isoc(index));
        failures += s != kSuccess;
    };
    recorder.hook = [&](const Completed& c) {
        if (c.status != kSuccess && c.status != kUnderrun) {
            ++failures;
        }
        queue(c.tag >= 100, c.tag % 100);
    };
    for (int i = 0; i < 3; ++i) {
        queue(false, i);
        queue(true, i);
    }
    bus.runFor(10'000 * kFrameNanoseconds, 4 * kFrameNanoseconds);
    EXPECT_EQ(failures.load(), 0);
    const auto packets = model->isocReceived();
    ASSERT_GE(packets.size(), 9'990u);
    for (size_t i = 1; i < packets.size(); ++i) {
        ASSERT_EQ(packets[i].frame, packets[i - 1].frame + 1) << "at packet " << i;
    }
    EXPECT_GE(recorder.count(), 2 * 2'490u);
    recorder.hook = nullptr;
    out->abort();
    in->abort();
    bus.settle();
}

// A driver's completion often only hands its transfer to a thread of its own (through a
// semaphore) which does the work and queues the next transfer. That work is done before the
// clock moves, every frame, for thousands of frames.
TEST_F(BusTest, WorkHandedFromACompletionIsDoneBeforeTheClockMoves)
{
    constexpr int kFrames = 4000;
    auto pipe = device->pipe(kIsocIn);
    semaphore_t handed = 0;
    ASSERT_EQ(semaphore_create(mach_task_self(), &handed, SYNC_POLICY_FIFO, 0), KERN_SUCCESS);
    struct Transfer
    {
        IsocFrame record{};
        uint8_t data[200] = {};
    };
    Transfer transfers[2];
    std::mutex mutex;
    std::vector<int> done;      // guarded by mutex: transfers completed, not yet handled
    int completed = 0;          // guarded by mutex
    std::atomic<int> handled{0};
    std::atomic<uint64_t> handledInFrame{0};
    std::atomic<bool> stop{false};
    uint64_t next = frame() + 1; // the worker's
    auto submit = [&](int index) {
        transfers[index].record.frReqCount = 200;
        next = std::max(next, frame() + 1);
        EXPECT_EQ(pipe->readIsoc(transfers[index].data, next++, 1, &transfers[index].record, recorder.isoc(index)),
                  kSuccess);
    };
    recorder.hook = [&](const Completed& c) {
        {
            std::lock_guard lock(mutex);
            done.push_back(c.tag);
            ++completed;
        }
        semaphore_signal(handed);
    };
    submit(0);
    submit(1);
    std::thread worker = platform::host_clock::startParticipant("transfer worker", [&] {
        while (semaphore_wait(handed) == KERN_SUCCESS && !stop) {
            int index = 0;
            {
                std::lock_guard lock(mutex);
                index = done.front();
                done.erase(done.begin());
            }
            handledInFrame = frame();
            ++handled;
            submit(index);
        }
    });
    for (int i = 0; i < kFrames; ++i) {
        bus.runFrames(1);
        std::lock_guard lock(mutex);
        if (handled.load() != completed || (i > 0 && handledInFrame.load() != frame())) {
            ADD_FAILURE() << "step " << i << ": " << completed << " completed, " << handled.load()
                          << " handled, the last in frame " << handledInFrame.load() << " of " << frame();
            break;
        }
    }
    EXPECT_GE(handled.load(), kFrames - 1);
    stop = true;
    semaphore_signal(handed);
    worker.join();
    recorder.hook = nullptr;
    pipe->abort();
    bus.settle();
    semaphore_destroy(mach_task_self(), handed);
}

// A completion that never blocks (or blocks where the clock cannot see it) stops the clock: runFor
// fails loudly, naming the thread, and time does not move.
TEST_F(BusTest, RunForFailsLoudlyWhenACompletionNeverBlocks)
{
    const auto previous = vc::setSettleLimit(std::chrono::milliseconds(100));
    std::atomic<bool> release{false};
    recorder.hook = [&](const Completed&) {
        while (!release.load()) {
        }
    };
    auto in = device->pipe(kBulkOut);
    uint8_t data[8] = {};
    ASSERT_EQ(in->write(data, 8, 0, 0, recorder.completion(1)), kSuccess);
    const uint64_t before = platform::host_clock::now();
    try {
        bus.runFrames(3);
        ADD_FAILURE() << "runFor returned with a completion still running";
    } catch (const vc::SettleError& error) {
        EXPECT_NE(std::string(error.what()).find("usb completion thread"), std::string::npos) << error.what();
    }
    EXPECT_LT(platform::host_clock::now(), before + 3 * kFrameNanoseconds);
    EXPECT_THROW(bus.settle(), vc::SettleError);
    release = true;
    bus.settle();
    EXPECT_EQ(recorder.count(), 1u);
    vc::setSettleLimit(previous);
}

// High speed: records per microframe on bInterval 1, per frame on bInterval 4.
class HighSpeedBusTest : public BusTest, public ::testing::WithParamInterface<uint8_t>
{
protected:
    HighSpeedBusTest() : BusTest(TestDevice::Options{Speed::high, GetParam(), 200}) {}
};

TEST_P(HighSpeedBusTest, IsocRecordsFollowTheServiceInterval)
{
    const uint8_t interval = GetParam();
    const uint32_t records = interval == 1 ? 32 : 4;
    const uint64_t step = interval == 1 ? kMicroframeNanoseconds : kFrameNanoseconds;
    auto pipe = device->pipe(kIsocIn);
    std::vector<uint8_t> buffer(records * 200);
    std::vector<IsocFrame> frames(records);
    for (auto& f : frames) {
        f.frReqCount = 200;
    }
    const uint64_t start = frame() + 2;
    ASSERT_EQ(pipe->readIsoc(buffer.data(), start, records, frames.data(), recorder.isoc(1), 4), kSuccess);
    EXPECT_EQ(pipe->lastUpdateFrequency(), 4u);
    bus.runFrames(2 + 4 + 1);
    ASSERT_EQ(recorder.count(), 1u);
    const uint64_t startTime = kStart + 2 * kFrameNanoseconds;
    for (uint32_t k = 0; k < records; ++k) {
        EXPECT_EQ(frames[k].frTimeStamp, startTime + (k + 1) * step) << k;
        EXPECT_EQ(frames[k].frActCount, 100);
    }
}

INSTANTIATE_TEST_SUITE_P(Intervals, HighSpeedBusTest, ::testing::Values(uint8_t{1}, uint8_t{4}));

TEST(BusFrameWrap, FrameNumbersPassTheThirtyTwoBitBoundary)
{
    vc::Scope clock{kStart};
    Recorder recorder;
    Bus bus(Bus::Options{0xFFFFFFFEull, 1000});
    auto model = std::make_shared<TestDevice>();
    auto device = bus.attach(model);
    ASSERT_EQ(device->setConfiguration(1), kSuccess);
    ASSERT_EQ(device->setAlternate(0, 1), kSuccess);
    uint8_t data[4 * 8] = {};
    IsocFrame frames[4] = {};
    for (auto& f : frames) {
        f.frReqCount = 8;
    }
    ASSERT_EQ(device->pipe(kIsocOut)->writeIsoc(data, bus.frameNumber() + 1, 4, frames, recorder.isoc(1)),
              kSuccess);
    bus.runFrames(6);
    const auto packets = model->isocReceived();
    ASSERT_EQ(packets.size(), 4u);
    EXPECT_EQ(packets[0].frame, 0xFFFFFFFFull);
    EXPECT_EQ(packets[1].frame, 0x100000000ull);
}

} // namespace
} // namespace usbsim::test

namespace usbsim::test {
namespace {

// The programs run the bus on the real clock: frames pass by themselves.
TEST(BusRealClock, TransfersCompleteAsFramesPass)
{
    Recorder recorder;
    Bus bus;
    auto model = std::make_shared<TestDevice>();
    auto device = bus.attach(model);
    ASSERT_EQ(device->setConfiguration(1), kSuccess);
    ASSERT_EQ(device->setAlternate(0, 1), kSuccess);
    std::vector<uint8_t> buffer(2 * 200);
    IsocFrame frames[2] = {{0, 200, 0, 0}, {0, 200, 0, 0}};
    // Far enough ahead that a preempted test thread does not find the frame gone.
    ASSERT_EQ(
        device->pipe(kIsocIn)->readIsoc(buffer.data(), bus.frameNumber() + 20, 2, frames, recorder.isoc(1)),
        kSuccess);
    ASSERT_TRUE(recorder.waitFor(1));
    EXPECT_EQ(frames[1].frActCount, 100);
    EXPECT_EQ(frames[1].frTimeStamp - frames[0].frTimeStamp, kFrameNanoseconds);
}

// A kernel host makes its bus on a real-time thread and serves requests on user-priority ones. A
// completion thread started for a transfer that a request aborted runs at the bus's priority all
// the same: at user priority a busy machine would hold the stream's completions back while the
// driver's threads ran on.
TEST(BusRealClock, CompletionThreadsRunAtTheSchedulingOfTheBussMaker)
{
    Recorder recorder;
    std::unique_ptr<Bus> bus;
    bool realTime = false;
    std::thread maker([&] {
        sched_param parameter{};
        parameter.sched_priority = sched_get_priority_min(SCHED_RR);
        realTime = pthread_setschedparam(pthread_self(), SCHED_RR, &parameter) == 0;
        bus = std::make_unique<Bus>();
    });
    maker.join();
    if (!realTime) {
        GTEST_SKIP() << "this process may not use real-time scheduling";
    }
    auto model = std::make_shared<TestDevice>();
    auto device = bus->attach(model);
    ASSERT_EQ(device->setConfiguration(1), kSuccess);
    ASSERT_EQ(device->setAlternate(0, 1), kSuccess);
    std::atomic<int> policy{-1};
    recorder.hook = [&](const Completed&) { policy = sched_getscheduler(0); };
    std::vector<uint8_t> buffer(64);
    // Nothing has completed yet: the abort, on this user-priority thread, starts the pool's first thread.
    ASSERT_EQ(sched_getscheduler(0), SCHED_OTHER);
    ASSERT_EQ(device->pipe(kBulkIn)->read(buffer.data(), 64, 0, 0, recorder.completion(1)), kSuccess);
    ASSERT_EQ(device->pipe(kBulkIn)->abort(), kSuccess);
    ASSERT_TRUE(recorder.waitFor(1));
    EXPECT_EQ(policy.load(), SCHED_RR);
    bus.reset();
}

} // namespace
} // namespace usbsim::test
