// The isochronous streaming engine through the whole driver on the simulated bus, on the virtual
// clock: a client's output comes back through the device model's loopback into the input ring
// bit-exact, with time stamps on the device's sample clock; a late write, a refused read, a changed
// channel layout and a frame counter that jumps break the stream; suspend, resume and stop with a
// client attached.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "AudioSM.h"
#include "DriverData.h"
#include "DriverFixture.h"
#include "DriverSM.h"
#include "IOKit/IOUserClient.h"
#include "KeThread.h"
#include "LoopbackSignal.h"
#include "StreamingFixture.h"
#include "VKDevice.h"
#include "VKKernelDevice.h"
#include "platform/Log.h"
#include "usbsim/Catalogue.h"
#include "usbsim/models/AudioModel.h"
#include "usbsim/models/StreamingDevice.h"

using driver_test::DriverFixture;
using driver_test::kMillisecond;
using loopback::arrivedSignal;
using loopback::asInput;
using loopback::signal;

namespace {

using streaming_test::Client;
using streaming_test::StreamingTest;

struct Format
{
    const char* model;
    uint32_t rate;
    int32_t bits;
};

std::string formatName(const testing::TestParamInfo<Format>& info)
{
    std::string name = std::string(info.param.model) + "_" + std::to_string(info.param.rate) + "_" +
                       std::to_string(info.param.bits);
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}


class LoopbackTest : public StreamingTest, public testing::WithParamInterface<Format>
{
};

TEST_P(LoopbackTest, ClientOutputComesBackBitExactWithTimeStampsOnTheDeviceClock)
{
    const Format format = GetParam();
    ASSERT_NE(configure(format.model, format.rate, format.bits), nullptr);
    startStreaming();
    ASSERT_EQ(device->streamingStarted(), 1);
    Client client;
    ASSERT_TRUE(attach(client));

    constexpr uint32_t kChannels = 2;
    const uint32_t frames = format.rate / 10; // 100 ms
    const std::vector<int32_t> samples = signal(frames, kChannels, format.bits, format.rate + format.bits);
    // Silence first: the kernel may already have taken the first few positions.
    std::vector<int32_t> played(size_t{format.rate / 20} * kChannels, 0);
    played.insert(played.end(), samples.begin(), samples.end());
    play(client, played, kChannels);
    driver.runFor(300 * kMillisecond);

    // Ring samples are 24-bit values; the input ring holds the device's samples left-justified.
    const std::vector<int32_t> expected = asInput(samples);
    const AudioSM& input = inputRing();
    const std::vector<int32_t> arrived =
        arrivedSignal(input, 0, device->mpDriverData->inputRing().framePos(), kChannels, expected.size());
    ASSERT_EQ(arrived.size(), expected.size());
    EXPECT_EQ(arrived, expected);
    EXPECT_EQ(device->streamStateChanges(), 0u);

    // Every pair (host time, sample position) lies on the device clock's line within one sample.
    const TimeStampsBuffer& stamps = input.mTimeStamps;
    const uint32_t count = std::min<uint32_t>(stamps.mCount, TimeStampsBuffer::kCapacity);
    ASSERT_GE(count, 20u);
    const double period = 1e9 / format.rate;
    const uint64_t host0 = stamps.mHostTimes[1];
    const uint64_t sample0 = stamps.mSampleTimes[1];
    for (uint32_t k = 2; k < count; ++k) {
        const double hostSpan = static_cast<double>(stamps.mHostTimes[k] - host0);
        const double sampleSpan = static_cast<double>(stamps.mSampleTimes[k] - sample0) * period;
        EXPECT_LT(std::abs(hostSpan - sampleSpan), period) << "pair " << k;
    }
    detach(client);
}

INSTANTIATE_TEST_SUITE_P(FullSpeed, LoopbackTest,
                         testing::Values(Format{"class-audio", 44100, 16}, Format{"class-audio", 44100, 24},
                                         Format{"class-audio", 48000, 16}, Format{"class-audio", 48000, 24},
                                         // A feedback endpoint beside the output: the driver follows
                                         // the input's counts (it reads feedback on bulk-in devices).
                                         Format{"class-audio-feedback", 44100, 24}),
                         formatName);
INSTANTIATE_TEST_SUITE_P(HighSpeed, LoopbackTest,
                         testing::Values(Format{"class-audio-hs", 44100, 16}, Format{"class-audio-hs", 44100, 24},
                                         Format{"class-audio-hs", 48000, 16}, Format{"class-audio-hs", 48000, 24},
                                         Format{"class-audio-hs", 96000, 16}, Format{"class-audio-hs", 96000, 24},
                                         // Data pipes serviced once a millisecond on a high-speed bus.
                                         Format{"class-audio-hs-interval4", 48000, 24},
                                         Format{"class-audio-hs-interval4", 96000, 16}),
                         formatName);
// A device whose converters swap the channels on the wire and whose clock allows no deviation.
INSTANTIATE_TEST_SUITE_P(ExactClock, LoopbackTest,
                         testing::Values(Format{"Mindprint", 48000, 24}, Format{"Mindprint", 96000, 16},
                                         Format{"Mindprint", 44100, 24}),
                         formatName);

class StreamTest : public StreamingTest
{
protected:
    // A class-compliant stereo device streaming 48 kHz, 24 bits, with one client running.
    void SetUp() override
    {
        ASSERT_NE(configure("class-audio", 48000, 24), nullptr);
        startStreaming();
        ASSERT_EQ(device->streamingStarted(), 1);
        ASSERT_TRUE(attach(client));
    }

    void TearDown() override
    {
        if (device != nullptr && device->mpDriverData != nullptr) {
            detach(client);
        }
    }

    bool anyBlockInUse()
    {
        for (IsocData* stream : {&device->mIsoc.in, &device->mIsoc.out}) {
            for (VKIsocRB* block : stream->mRBs) {
                if (block != nullptr && block->isInUse()) {
                    return true;
                }
            }
        }
        return false;
    }

    Client client;
};

TEST_F(StreamTest, LateOutputCompletionBreaksTheStreamAndRequest31UnconfiguresOnce)
{
    usbsim::EndpointFaults late;
    late.delayCompletions = 1;
    late.delayMilliseconds = 20;
    driver.model()->setEndpointFaults(0x01, late);
    driver.runFor(100 * kMillisecond);
    EXPECT_EQ(device->mRealTimeRecord.total(VKRealTimeRecord::kLateWrites), 1u);
    EXPECT_EQ(device->streamingStarted(), 0);
    EXPECT_EQ(device->streamStateChange(), 2u) << "stream broken";
    EXPECT_EQ(device->streamStateChanges(), 1u);
    EXPECT_EQ(device->stopUnfinished(), 1) << "the completion did not wait";
    const uint64_t stopped = inputFrames();
    driver.runFor(50 * kMillisecond);
    EXPECT_EQ(inputFrames(), stopped) << "nothing streams any more";

    // The announcement arms the stream-broken counter: stage 1 runs once per break.
    device->mStreamBrokenCount = 1;
    bool first = false;
    bool second = true;
    request([&] {
        first = device->handleStreamBroken(1);
        second = device->handleStreamBroken(1);
    });
    EXPECT_TRUE(first);
    EXPECT_FALSE(second) << "done by someone else";
    EXPECT_EQ(device->stopUnfinished(), 0);
    EXPECT_FALSE(anyBlockInUse());
    EXPECT_EQ(device->mpDriverSM->mConfigured, 0u) << "unconfigured, with a reset";
}

// The lost samples a late output completion reports come from the stream the kernel configured:
// settings another process wrote into the shared block neither count nor overflow.
// A stop waits for the service cycle to end; one that never ends (its word held here) is given up at
// the deadline: the failure is logged and answered, the streams are aborted (the completion the
// device held back comes home), no block is touched, and the stop stays unfinished until the next
// one finishes it.
TEST_F(StreamTest, AStopWhoseCycleNeverEndsGivesUpAtItsDeadlineAndTheNextStopFinishesIt)
{
    usbsim::EndpointFaults held;
    held.holdCompletions = 1;
    driver.model()->setEndpointFaults(0x01, held);
    driver.runFor(20 * kMillisecond);
    platform::log::Capture log(platform::log::Channel::kernel);
    ASSERT_TRUE(device->mThread->tryLockService()) << "the cycle sleeps between frames";
    bool stopped = true;
    const uint64_t before = platform::host_clock::now();
    uint64_t took = 0;
    request([&] {
        stopped = device->stopStreaming(true);
        took = platform::host_clock::now() - before;
    });
    EXPECT_FALSE(stopped);
    EXPECT_GE(took, uint64_t{VKDevice::kServiceWaitLimitMs} * kMillisecond);
    EXPECT_LT(took, uint64_t{VKDevice::kServiceWaitLimitMs + 100} * kMillisecond);
    platform::log::flush();
    EXPECT_TRUE(log.contains("VKDevice::stopStreaming: the service cycle did not end within 1000 ms"));
    EXPECT_EQ(device->streamingStarted(), 0);
    EXPECT_EQ(device->stopUnfinished(), 1);
    // Nothing starts while the stop is unfinished.
    request([&] { device->resumeStreaming(); });
    EXPECT_EQ(device->streamingStarted(), 0);

    device->mThread->unlockService();
    request([&] { stopped = device->stopStreaming(true); });
    EXPECT_TRUE(stopped);
    EXPECT_EQ(device->stopUnfinished(), 0);
    EXPECT_FALSE(anyBlockInUse()) << "the held-back completion came home with the abort";
    startStreaming();
    EXPECT_EQ(device->streamingStarted(), 1);
    expectLoopback(client, 48000, 24, 31, inputFrames());
}

// A detach waits for the mixer to let go of the slot; a slot it never lets go of (held here) is
// given up at the deadline: the detach answers kIOReturnTimeout and the client stays attached, whole.
TEST_F(StreamTest, ADetachWhileTheMixerKeepsTheSlotGivesUpAtItsDeadlineAndLeavesTheClientAttached)
{
    ClientData& slot = device->mpDriverData->slot(client.slot);
    slot.mUseCount.fetch_add(1);
    platform::log::Capture log(platform::log::Channel::kernel);
    IOReturn status = kIOReturnSuccess;
    const uint64_t before = platform::host_clock::now();
    uint64_t took = 0;
    request([&] {
        status = device->mpDriverData->detachClient(client.userClient);
        took = platform::host_clock::now() - before;
    });
    EXPECT_EQ(status, kIOReturnTimeout);
    EXPECT_GE(took, uint64_t{kSlotWaitLimitMs} * kMillisecond);
    EXPECT_LT(took, uint64_t{kSlotWaitLimitMs + 100} * kMillisecond);
    platform::log::flush();
    EXPECT_TRUE(log.contains("ClientData__detach: the mixer held the slot for 1000 ms; given up"));
    EXPECT_TRUE(device->mpDriverData->isClientAttached(client.userClient));
    EXPECT_EQ(device->mpDriverData->countClients(), 1u);
    EXPECT_EQ(slot.mState.load(), ClientData::kRunning);

    slot.mUseCount.fetch_sub(1);
    request([&] { status = device->mpDriverData->detachClient(client.userClient); });
    EXPECT_EQ(status, kIOReturnSuccess);
    EXPECT_EQ(device->mpDriverData->countClients(), 0u);
}

TEST_F(StreamTest, LateOutputCountsLostSamplesOfTheConfiguredStreamNotTheSharedBlocksSettings)
{
    device->mpDriverSM->mChannelSettings.iFrequency = INT32_MAX;
    device->mpDriverSM->mChannelSettings.iInChannels = INT32_MAX;
    platform::log::Capture log(platform::log::Channel::kernel);
    usbsim::EndpointFaults late;
    late.delayCompletions = 1;
    late.delayMilliseconds = 20;
    driver.model()->setEndpointFaults(0x01, late);
    driver.runFor(100 * kMillisecond);
    platform::log::flush();
    ASSERT_EQ(device->mRealTimeRecord.total(VKRealTimeRecord::kLateWrites), 1u);
    const uint64_t lost = device->mRealTimeRecord.total(VKRealTimeRecord::kLateWriteFrames);
    EXPECT_GT(lost, 0u);
    EXPECT_EQ(device->mRealTimeRecord.total(VKRealTimeRecord::kLateWriteSamples), lost * 48 * 2)
        << "lost frames (ms) x 48 kHz x 2 inputs";
    EXPECT_FALSE(log.contains("rtsIsoWriteComplete to late")) << "the completion logs nothing";
    // A request thread tells it.
    driver.runInKernel([&] { device->reportRealTimeRecord(); });
    platform::log::flush();
    EXPECT_TRUE(log.contains("real-time record of VKDevice"));
    EXPECT_TRUE(log.contains(": late writes +1 (1)"));
}

TEST_F(StreamTest, ScribbledInputRingNeitherCrashesTheKernelNorTouchesTheOutput)
{
    driver.runFor(100 * kMillisecond);
    // A process that maps the input ring writes random bytes over all of it, header included.
    std::atomic<bool> stop{false};
    auto* block = static_cast<uint8_t*>(device->mcAudioSM_In.address());
    const size_t size = device->mcAudioSM_In.size();
    std::thread scribbler([&] {
        std::mt19937 random(17);
        while (!stop.load()) {
            const size_t at = random() % (size - 64);
            for (size_t i = 0; i < 64; ++i) {
                reinterpret_cast<std::atomic<uint8_t>*>(block + at)[i].store(static_cast<uint8_t>(random()),
                                                                              std::memory_order_relaxed);
            }
            std::this_thread::yield();
        }
    });
    auto* model = static_cast<usbsim::models::AudioModel*>(driver.model());
    const size_t playedBefore = model->capturedOutput().size();
    const std::vector<int32_t> samples = signal(4800, 2, 24, 18);
    play(client, samples, 2);
    const uint64_t before = inputFrames();
    driver.runFor(200 * kMillisecond);
    stop.store(true);
    scribbler.join();
    EXPECT_NEAR(static_cast<double>(inputFrames() - before), 200.0 * 48, 8 * 48) << "the kernel's own position";
    EXPECT_EQ(device->streamStateChanges(), 0u);
    const std::vector<int32_t> captured = model->capturedOutput();
    const std::vector<int32_t> expected = asInput(samples);
    auto first = std::find_if(captured.begin() + static_cast<std::ptrdiff_t>(playedBefore), captured.end(),
                              [](int32_t v) { return v != 0; });
    ASSERT_GE(captured.end() - first, static_cast<std::ptrdiff_t>(expected.size()));
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), first));
}

// Two clients: the one named outputs-exclusive plays a signal while a process scribbles over the
// other client's output ring, the input ring and the whole device shared block (its copies of the
// client identifiers included). The mixer goes by the kernel's own records: the signal reaches the
// device bit-exact, and nothing crashes or reads outside a block.
TEST_F(StreamTest, ScribbledBlocksLeaveTheExclusiveClientsOutputBitExact)
{
    Client other;
    ASSERT_TRUE(attach(other));
    const uint64_t exclusive = VKClientIdentifier(client.userClient);
    request([&] { device->mpDriverData->setOutputsExclusiveClient(exclusive); });
    driver.runFor(100 * kMillisecond);

    struct Block
    {
        uint8_t* bytes;
        size_t size;
    };
    const Block blocks[] = {
        {reinterpret_cast<uint8_t*>(other.ring.get()), sizeof(AudioSM)},
        {static_cast<uint8_t*>(device->mcAudioSM_In.address()), device->mcAudioSM_In.size()},
        {reinterpret_cast<uint8_t*>(device->mpDriverSM), sizeof(DriverSM)},
    };
    std::atomic<bool> stop{false};
    std::thread scribbler([&] {
        std::mt19937 random(19);
        while (!stop.load()) {
            const Block& block = blocks[random() % 3];
            const size_t length = std::min<size_t>(64, block.size);
            const size_t at = random() % (block.size - length + 1);
            for (size_t i = 0; i < length; ++i) {
                reinterpret_cast<std::atomic<uint8_t>*>(block.bytes + at)[i].store(static_cast<uint8_t>(random()),
                                                                                    std::memory_order_relaxed);
            }
            std::this_thread::yield();
        }
    });
    auto* model = static_cast<usbsim::models::AudioModel*>(driver.model());
    const size_t playedBefore = model->capturedOutput().size();
    const std::vector<int32_t> samples = signal(4800, 2, 24, 20);
    play(client, samples, 2);
    const uint64_t before = inputFrames();
    driver.runFor(200 * kMillisecond);
    stop.store(true);
    scribbler.join();

    EXPECT_NEAR(static_cast<double>(inputFrames() - before), 200.0 * 48, 8 * 48);
    EXPECT_EQ(device->streamStateChanges(), 0u);
    EXPECT_EQ(device->mpDriverData->outputsExclusiveClient(), exclusive);
    const std::vector<int32_t> captured = model->capturedOutput();
    const std::vector<int32_t> expected = asInput(samples);
    auto first = std::find_if(captured.begin() + static_cast<std::ptrdiff_t>(playedBefore), captured.end(),
                              [](int32_t v) { return v != 0; });
    ASSERT_GE(captured.end() - first, static_cast<std::ptrdiff_t>(expected.size()));
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), first));
    detach(other);
}

TEST_F(StreamTest, LateReadCompletionIsQueuedAgainFromTheCurrentFrame)
{
    usbsim::EndpointFaults late;
    late.delayCompletions = 1;
    late.delayMilliseconds = 30;
    driver.model()->setEndpointFaults(0x82, late);
    driver.runFor(100 * kMillisecond);
    EXPECT_GE(device->mRealTimeRecord.total(VKRealTimeRecord::kRefusedReads), 1u);
    EXPECT_EQ(device->streamStateChanges(), 0u);
    EXPECT_EQ(device->streamingStarted(), 1);
    const uint64_t before = inputFrames();
    driver.runFor(100 * kMillisecond);
    EXPECT_GT(inputFrames(), before + 4000) << "all three reads still in flight";
    expectLoopback(client, 48000, 24, 8, before);
}

TEST_F(StreamTest, ReadRefusedTwiceBreaksTheStream)
{
    // The input interface switched off under the driver: its pipe refuses every read.
    usbsim::SetupPacket setInterface{0x01, 0x0B, 0, 2, 0};
    uint32_t done = 0;
    driver.runInKernel([&] { driver.device()->deviceRequest(setInterface, nullptr, &done); });
    driver.runFor(50 * kMillisecond);
    EXPECT_GE(device->mRealTimeRecord.total(VKRealTimeRecord::kRefusedReads), 1u);
    EXPECT_EQ(device->streamingStarted(), 0);
    EXPECT_EQ(device->streamStateChange(), 2u);
    EXPECT_EQ(device->streamStateChanges(), 1u);
}

TEST_F(StreamTest, ChangedChannelLayoutBreaksTheStream)
{
    device->setChannelsChanged(1);
    driver.runFor(100 * kMillisecond); // the first read completes 54 frames after the start
    EXPECT_EQ(device->channelsChanged(), 0);
    EXPECT_EQ(device->streamingStarted(), 0);
    EXPECT_EQ(device->streamStateChange(), 2u);
}

TEST_F(StreamTest, SuspendStopsAndPutsClientsBackToPendingResumeStreamsAgain)
{
    bool suspended = false;
    bool again = true;
    request([&] {
        suspended = device->suspendStreaming();
        again = device->suspendStreaming();
    });
    EXPECT_TRUE(suspended);
    EXPECT_FALSE(again) << "not streaming";
    EXPECT_EQ(device->m_bStreamingSuspended, 1);
    EXPECT_EQ(device->streamingStarted(), 0);
    EXPECT_FALSE(anyBlockInUse());
    EXPECT_EQ(client.ring->mState, AudioSM::kStateAttachPending);

    request([&] { device->resumeStreaming(); });
    EXPECT_EQ(device->m_bStreamingSuspended, 0);
    EXPECT_EQ(device->streamingStarted(), 1);
    driver.runFor(5 * kMillisecond);
    EXPECT_EQ(client.ring->mState, AudioSM::kStateRunning);
    expectLoopback(client, 48000, 24, 9);
    EXPECT_EQ(device->streamStateChanges(), 0u);
}

TEST_F(StreamTest, StopWithAClientAttachedLeavesNoTransferAndStartsAgain)
{
    request([&] { device->stopStreaming(true); });
    EXPECT_EQ(device->streamingStarted(), 0);
    EXPECT_FALSE(anyBlockInUse());
    EXPECT_TRUE(device->mpDriverData->isClientAttached(client.userClient));
    const uint64_t stopped = inputFrames();
    driver.runFor(20 * kMillisecond);
    EXPECT_EQ(inputFrames(), stopped);

    request([&] {
        device->mpDriverData->reinitClientsForStreaming(*device->getCurrentSettings());
        device->startStreaming();
    });
    EXPECT_EQ(device->streamingStarted(), 1);
    driver.runFor(5 * kMillisecond);
    expectLoopback(client, 48000, 24, 10);
}

TEST_F(StreamTest, UnreadableFrameCounterEndsTheOutputWhileInputGoesOn)
{
    driver.bus().injectUnreadableFrameNumber(1);
    driver.runFor(100 * kMillisecond); // the writes queued before it have gone out
    EXPECT_EQ(device->hardwareFailure(), 1);
    auto* model = static_cast<usbsim::models::AudioModel*>(driver.model());
    const uint64_t before = inputFrames();
    const auto played = model->capturedOutput().size();
    driver.runFor(50 * kMillisecond);
    EXPECT_GT(inputFrames(), before) << "reads go on";
    EXPECT_EQ(model->capturedOutput().size(), played) << "no write queued after the failure";
}

class FrameCounterWrapTest : public StreamingTest
{
protected:
    FrameCounterWrapTest() : StreamingTest(driver_test::FixtureOptions{0xFFFFFFFFull - 150}) {}
};

TEST_F(FrameCounterWrapTest, StreamCarriesOnAcrossTheFrameCounterPassing2To32)
{
    ASSERT_NE(configure("class-audio", 48000, 24), nullptr);
    startStreaming();
    Client client;
    ASSERT_TRUE(attach(client));
    expectLoopback(client, 48000, 24, 11);
    EXPECT_GT(service->getCurrentFrame(), 0xFFFFFFFFull);
    EXPECT_EQ(device->hardwareFailure(), 0);
    EXPECT_EQ(device->streamStateChanges(), 0u);
    EXPECT_EQ(device->streamingStarted(), 1);
    detach(client);
}

TEST_F(StreamTest, EmptyInputPacketsAreRepairedWithSilenceAndOnlyTheFamilyBreaksOnThem)
{
    driver.runFor(100 * kMillisecond); // the reads complete
    usbsim::EndpointFaults empty;
    empty.dropPackets = 60;
    driver.model()->setEndpointFaults(0x82, empty);
    const uint64_t before = inputFrames();
    driver.runFor(200 * kMillisecond);
    // 60 empty frames: each counted and made up with the pattern's count, so the ring keeps time
    // (without the repair it would lack 60 x 48 frames).
    EXPECT_NEAR(static_cast<double>(inputFrames() - before), 200.0 * 48, 4 * 48);
    EXPECT_EQ(device->streamStateChanges(), 0u) << "more than 40 errors break only family streams";
    EXPECT_EQ(device->streamingStarted(), 1);
    expectLoopback(client, 48000, 24, 12, inputFrames());
}

TEST_F(StreamingTest, OutputOnlyDeviceAdvancesAndStampsTheInputRingWithTheOutput)
{
    ASSERT_NE(configure("class-audio-out-only", 48000, 24, 0, 2), nullptr);
    startStreaming();
    ASSERT_EQ(device->streamingStarted(), 1);
    EXPECT_EQ(device->mIsoc.syncToOutput.load(), 1);
    EXPECT_EQ(device->mIsoc.inputOnly.load(), 0);
    // Each millisecond the output took is a millisecond of the input ring, with or without a
    // client: the ring keeps the device's time.
    driver.runFor(60 * kMillisecond);
    const uint64_t started = inputFrames();
    driver.runFor(100 * kMillisecond);
    EXPECT_NEAR(static_cast<double>(inputFrames() - started), 100.0 * 48, 4 * 48);
    Client client;
    ASSERT_TRUE(attach(client));
    auto* model = static_cast<usbsim::models::AudioModel*>(driver.model());
    const size_t playedBefore = model->capturedOutput().size();
    const std::vector<int32_t> samples = signal(4800, 2, 24, 13);
    play(client, samples, 2);
    const uint64_t before = inputFrames();
    driver.runFor(200 * kMillisecond);
    EXPECT_NEAR(static_cast<double>(inputFrames() - before), 200.0 * 48, 4 * 48);

    // The output's blocks stamp the ring: every pair (host time, sample position) lies on the
    // 48 kHz line within a sample, and the newest is no older than a block.
    const TimeStampsBuffer& stamps = inputRing().mTimeStamps;
    const uint32_t count = std::min<uint32_t>(stamps.mCount, TimeStampsBuffer::kCapacity);
    ASSERT_GE(count, 20u) << "the output stamps the input ring";
    const double period = 1e9 / 48000;
    for (uint32_t k = 2; k < count; ++k) {
        const double hostSpan = static_cast<double>(stamps.mHostTimes[k] - stamps.mHostTimes[1]);
        const double sampleSpan = static_cast<double>(stamps.mSampleTimes[k] - stamps.mSampleTimes[1]) * period;
        EXPECT_LT(std::abs(hostSpan - sampleSpan), period) << "pair " << k;
    }
    EXPECT_LE(inputFrames() - stamps.mSampleTimes[count - 1], 4u * 48) << "the ring advances with the stamps";
    const std::vector<int32_t> captured = model->capturedOutput();
    const std::vector<int32_t> expected = asInput(samples);
    auto first = std::find_if(captured.begin() + static_cast<std::ptrdiff_t>(playedBefore), captured.end(),
                              [](int32_t v) { return v != 0; });
    ASSERT_GE(captured.end() - first, static_cast<std::ptrdiff_t>(expected.size()));
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), first));
    detach(client);
}

TEST_F(StreamingTest, WriteRefusedTwiceBreaksAnOutputOnlyStream)
{
    ASSERT_NE(configure("class-audio-out-only", 48000, 24, 0, 2), nullptr);
    startStreaming();
    driver.runFor(100 * kMillisecond);
    // The output interface switched off under the driver: its pipe refuses every write.
    usbsim::SetupPacket setInterface{0x01, 0x0B, 0, 1, 0};
    uint32_t done = 0;
    driver.runInKernel([&] { driver.device()->deviceRequest(setInterface, nullptr, &done); });
    driver.runFor(50 * kMillisecond);
    EXPECT_EQ(device->streamingStarted(), 0);
    EXPECT_EQ(device->streamStateChange(), 2u);
    request([&] { device->stopStreaming(true); });
    for (VKIsocRB* block : device->mIsoc.out.mRBs) {
        EXPECT_FALSE(block != nullptr && block->isInUse()) << "every block given back";
    }
}

TEST_F(StreamTest, FrameCounterThatJumpsBreaksTheStreamAndAStartStreamsAgain)
{
    driver.runFor(100 * kMillisecond);
    ASSERT_TRUE(driver.bus().setFrameNumber(service->getCurrentFrame() + 100));
    driver.runFor(20 * kMillisecond);
    EXPECT_EQ(device->streamingStarted(), 0);
    EXPECT_EQ(device->streamStateChange(), 2u);
    EXPECT_EQ(device->mRealTimeRecord.total(VKRealTimeRecord::kLateWrites), 1u);
    request([&] {
        device->stopStreaming(true);
        device->mpDriverData->reinitClientsForStreaming(*device->getCurrentSettings());
        device->startStreaming();
    });
    EXPECT_FALSE(device->stopUnfinished() != 0);
    driver.runFor(5 * kMillisecond);
    expectLoopback(client, 48000, 24, 15, inputFrames());
}

TEST_F(StreamTest, WritesTheDeviceNeverCompletesEndAtStopAndAStartStreamsAgain)
{
    usbsim::EndpointFaults held;
    held.holdCompletions = 3;
    driver.model()->setEndpointFaults(0x01, held);
    driver.runFor(100 * kMillisecond);
    EXPECT_EQ(device->streamStateChanges(), 0u) << "nothing says a missing completion breaks the stream";
    request([&] { device->stopStreaming(true); });
    EXPECT_FALSE(anyBlockInUse()) << "the held writes ended with the abort";
    request([&] {
        device->mpDriverData->reinitClientsForStreaming(*device->getCurrentSettings());
        device->startStreaming();
    });
    driver.runFor(5 * kMillisecond);
    expectLoopback(client, 48000, 24, 16, inputFrames());
}

// The output fill's choices, one cycle at a time: the streams are stopped, blocks are prepared and
// marked queued by hand (the bus never sees them), and the cycle runs on the test thread.
class FillTest : public StreamTest
{
protected:
    void SetUp() override
    {
        StreamTest::SetUp();
        request([&] { device->stopStreaming(true); });
        device->setStreamingStarted(1); // the cycle runs; the service is not installed
        current = service->getCurrentFrame();
    }

    void TearDown() override
    {
        device->setStreamingStarted(0);
        // The bus never had the blocks: give back its use as its completion would.
        for (VKIsocRB* block : device->mIsoc.out.mRBs) {
            if (block->isInUse() && !block->mbCompleted.load()) {
                block->setCallbackDone(nullptr);
            }
        }
        request([&] { device->stopStreaming(true); });
        EXPECT_FALSE(anyBlockInUse());
        StreamTest::TearDown();
    }

    // Blocks of 4 records (48 frames each) from `start` on, as rtsRequestOut prepares them.
    std::vector<VKIsocRB*> prepare(uint64_t start, int blocks)
    {
        device->mIsoc.out.initForStream(start);
        std::vector<VKIsocRB*> prepared;
        for (int i = 0; i < blocks; ++i) {
            VKIsocRB* block = device->mIsoc.out.next();
            block->initWrite_Std(device->mFramePatternObserver, device->mIsoc.outputSampleTotal);
            block->markQueued();
            prepared.push_back(block);
        }
        return prepared;
    }

    // The client has written `frames` frames beyond the kernel's output position.
    void clientAhead(uint32_t frames)
    {
        std::vector<int32_t> samples(size_t{frames} * 2, 0x1000);
        AudioSM& ring = *client.ring;
        ring.writeFrames(samples.data(), frames, device->mIsoc.outputSamplePos - ring.getFramePos(), nullptr, nullptr);
    }

    void cycle()
    {
        device->mIsoc.lastServicedFrame = 0;
        VKDevice::rtsIsocOutIsocIn(device);
    }

    uint64_t current = 0;
};

TEST_F(FillTest, RecordsThatTheClientHasNotWrittenWaitUntilTheyAreTwoFramesAhead)
{
    const std::vector<VKIsocRB*> blocks = prepare(current + 1, 1);
    const uint64_t position = device->mIsoc.outputSamplePos;
    cycle();
    // Records for frames current+1 and current+2 are due: filled with what the ring holds.
    EXPECT_EQ(blocks[0]->mProcessedFrames, 2u);
    EXPECT_EQ(device->mIsoc.outputSamplePos, position + 2 * 48);
    cycle(); // the same bus frame: nothing more
    EXPECT_EQ(blocks[0]->mProcessedFrames, 2u);
    clientAhead(2 * 48);
    cycle();
    EXPECT_EQ(blocks[0]->mProcessedFrames, 4u) << "written: filled ahead of time";
    EXPECT_TRUE(blocks[0]->mbDone.load());
}

TEST_F(FillTest, AfterFiveRecordsInACycleOnlyDueRecordsAreFilled)
{
    clientAhead(20 * 48);
    const std::vector<VKIsocRB*> blocks = prepare(current + 10, 3);
    cycle();
    EXPECT_EQ(blocks[0]->mProcessedFrames, 4u);
    EXPECT_TRUE(blocks[0]->mbDone.load());
    EXPECT_EQ(blocks[1]->mProcessedFrames, 1u) << "the sixth record waits for the next cycle";
    EXPECT_EQ(blocks[2]->mProcessedFrames, 0u);
}

TEST_F(FillTest, AFillThatFinishesABlockWithFiveOrMoreRecordsEndsTheCycle)
{
    clientAhead(20 * 48);
    const std::vector<VKIsocRB*> blocks = prepare(current - 6, 3); // two blocks overdue, the third due
    cycle();
    EXPECT_EQ(blocks[0]->mProcessedFrames, 4u);
    EXPECT_EQ(blocks[1]->mProcessedFrames, 4u) << "due records are filled past five";
    EXPECT_EQ(blocks[2]->mProcessedFrames, 0u) << "eight records filled in this cycle: no further block";
}

class InputErrorLimitTest : public StreamingTest, public testing::WithParamInterface<const char*>
{
};

TEST_P(InputErrorLimitTest, MoreThanFortyRepairedInputFramesBreakTheStreamOfTheFamily)
{
    ASSERT_NE(configureDefault(GetParam()), nullptr);
    startStreaming();
    ASSERT_EQ(device->streamingStarted(), 1);
    driver.runFor(100 * kMillisecond);
    ASSERT_NE(device->mChosen.inPipeIsoc, nullptr);
    // 50 ms of empty packets: a repaired millisecond each, with no lock in between.
    usbsim::EndpointFaults empty;
    empty.dropPackets = 400;
    driver.model()->setEndpointFaults(device->mChosen.inPipeIsoc->getAddressByte(), empty);
    driver.runFor(100 * kMillisecond);
    EXPECT_EQ(device->streamingStarted(), 0);
    EXPECT_EQ(device->streamStateChange(), 2u);
    EXPECT_EQ(device->streamStateChanges(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Family, InputErrorLimitTest, testing::Values("Kelvra-UC3", "0A4A:F1A0"));

class ClockOffsetTest : public StreamingTest, public testing::WithParamInterface<int32_t>
{
};

TEST_P(ClockOffsetTest, OutputFollowsADeviceClockOffByPpmAndLoopbackStaysBitExact)
{
    ASSERT_NE(configure("class-audio-hs", 48000, 24), nullptr);
    auto* model = static_cast<usbsim::models::StreamingDevice*>(driver.model());
    model->setClockPpm(GetParam());
    startStreaming();
    Client client;
    ASSERT_TRUE(attach(client));
    driver.runFor(1000 * kMillisecond);
    EXPECT_TRUE(device->mFramePatternObserver.isLocked());
    EXPECT_LE(std::abs(model->outputBalance()), 16) << "the host sends what the device plays";
    expectLoopback(client, 48000, 24, 14, inputFrames());
    EXPECT_LE(std::abs(model->outputBalance()), 16);
    EXPECT_EQ(device->streamStateChanges(), 0u);
    detach(client);
}

INSTANTIATE_TEST_SUITE_P(Ppm, ClockOffsetTest, testing::Values(-1000, -200, 200, 1000));

TEST_F(StreamingTest, ElektronStreamsHeadedPacketsAtRelease3Only)
{
    ASSERT_NE(configureDefault("1935:0006"), nullptr);
    startStreaming();
    ASSERT_EQ(device->streamingStarted(), 1);
    driver.runFor(200 * kMillisecond);
    auto* model = static_cast<usbsim::models::StreamingDevice*>(driver.model());
    const auto headers = model->headers();
    EXPECT_GT(headers.packets, 1000u) << "a packet every microframe";
    EXPECT_EQ(headers.errors, 0u) << "length, running total, extra-byte index and reserved bytes as the device wants";
    const QzChannelSettings s = device->mpDriverSM->mChannelSettings;
    EXPECT_EQ(model->announcedResolution(0), s.iInResolution);
    EXPECT_EQ(model->announcedResolution(1), s.iOutResolution);
    EXPECT_EQ(device->streamStateChanges(), 0u);
}

TEST_F(StreamingTest, ElektronOfAnotherReleaseNeverStreams)
{
    ASSERT_NE(configureDefault("1935:0006@0002"), nullptr);
    startStreaming();
    EXPECT_EQ(device->streamingStarted(), 0);
    driver.runFor(100 * kMillisecond);
    auto* model = static_cast<usbsim::models::StreamingDevice*>(driver.model());
    EXPECT_EQ(model->headers().packets, 0u);
}

// A client's sample at an absolute output position: never 0, small enough that eight of them add
// up without saturating.
int32_t clientSample(uint32_t client, uint64_t position, uint32_t channel)
{
    const uint64_t hash = (position * 2654435761u + client * 40503u + channel * 7919u) >> 7;
    const int32_t magnitude = static_cast<int32_t>(hash & 0x7FF) + 1;
    return (hash & 0x800) != 0 ? -magnitude : magnitude;
}

// Seconds the eight-client run streams: 20, or VK_STREAMING_SOAK_SECONDS (a simulated hour is 3600).
int soakSeconds()
{
    const char* text = std::getenv("VK_STREAMING_SOAK_SECONDS");
    const int seconds = text != nullptr ? std::atoi(text) : 0;
    return seconds > 0 ? seconds : 20;
}

TEST_F(StreamingTest, EightClientsMixedForTwentySecondsWithNoFrameDroppedOrRepeated)
{
    constexpr uint32_t kClients = 8;
    constexpr uint32_t kChannels = 2;
    constexpr uint32_t kChunk = 4800; // 100 ms at 48 kHz
    ASSERT_NE(configure("class-audio-hs", 48000, 24), nullptr);
    startStreaming();
    std::vector<std::unique_ptr<Client>> clients;
    for (uint32_t c = 0; c < kClients; ++c) {
        clients.push_back(std::make_unique<Client>());
        ASSERT_TRUE(attach(*clients.back())) << c;
    }
    // Every client writes from the same absolute output position on, a chunk ahead of the kernel.
    const uint64_t first = device->mIsoc.outputSamplePos + kChunk;
    std::vector<uint64_t> offsets;
    for (auto& client : clients) {
        offsets.push_back(first - client->ring->getFramePos());
    }
    uint64_t written = first;
    auto writeChunk = [&] {
        std::vector<int32_t> samples(size_t{kChunk} * kChannels);
        for (uint32_t c = 0; c < kClients; ++c) {
            for (uint32_t f = 0; f < kChunk; ++f) {
                for (uint32_t ch = 0; ch < kChannels; ++ch) {
                    samples[size_t{f} * kChannels + ch] = clientSample(c, written + f, ch);
                }
            }
            clients[c]->ring->writeFrames(samples.data(), kChunk, offsets[c], nullptr, nullptr);
        }
        written += kChunk;
    };
    writeChunk();
    writeChunk();

    const AudioSM& input = inputRing();
    const uint64_t ringFrames = input.mMaxFrames;
    uint64_t readPos = 0;         // next input frame to look at
    uint64_t expectedPos = first; // output position the next signal frame carries
    bool aligned = false;
    uint64_t checked = 0;
    uint64_t mismatches = 0;
    const int chunks = soakSeconds() * 10;
    for (int chunk = 0; chunk < chunks; ++chunk) {
        driver.runFor(100 * kMillisecond);
        writeChunk();
        const uint64_t available = inputFrames();
        ASSERT_LT(available - readPos, ringFrames) << "the test reads the input ring in time";
        for (; readPos < available; ++readPos) {
            const int32_t* frame = input.mSamples + (readPos % ringFrames) * kChannels;
            if (!aligned) {
                aligned = frame[0] != 0 || frame[1] != 0;
                if (!aligned) {
                    continue;
                }
            }
            for (uint32_t ch = 0; ch < kChannels; ++ch) {
                int32_t sum = 0;
                for (uint32_t c = 0; c < kClients; ++c) {
                    sum += clientSample(c, expectedPos, ch);
                }
                mismatches += frame[ch] != static_cast<int32_t>(static_cast<uint32_t>(sum) << 8) ? 1 : 0;
            }
            ++expectedPos;
            ++checked;
        }
    }
    EXPECT_TRUE(aligned);
    EXPECT_GT(checked, static_cast<uint64_t>(chunks - 10) * kChunk);
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(device->streamStateChanges(), 0u);
    for (auto& client : clients) {
        detach(*client);
    }
}

} // namespace
