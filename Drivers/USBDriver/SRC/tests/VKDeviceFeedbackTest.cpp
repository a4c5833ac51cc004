// The feedback endpoint, device side, through the whole driver on the simulated bus: the loop of
// feedback reads follows the device's clock and locks the frame pattern; frames of a wrong length
// are counted, and more than 40 without a locked report break the stream (state change 2) and end
// the loop; out-of-band values are repaired; a late completion re-schedules; a stopped stream, a
// failed device, an auto-delete block, a refused read and an unreadable frame number end the loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <memory>
#include <numeric>
#include <string>

#include "DriverFixture.h"
#include "DriverSM.h"
#include "IOKit/usb/IOUSBPipe.h"
#include "VKDevice.h"
#include "VKKernelDevice.h"
#include "platform/Log.h"
#include "usbsim/Bus.h"
#include "usbsim/models/ClassAudioDevice.h"

using driver_test::DriverFixture;
using driver_test::kMillisecond;
using platform::log::Capture;
using platform::log::Channel;
using usbsim::models::ClassAudioDevice;

namespace {

constexpr uint16_t kVendor = 0x2912;
constexpr uint16_t kProduct = 0x3001;

class FeedbackLoopTest : public testing::Test
{
protected:
    // Plugs a feedback device (its clock `ppm` off), configures 48 kHz 16 bits and takes its
    // feedback pipe as the device's feedback pipe with its four blocks.
    void plug(int32_t ppm = 0)
    {
        model = std::make_shared<ClassAudioDevice>(ClassAudioDevice::Options{kVendor, kProduct, true, ppm});
        driver.addPersonality(kVendor, kProduct);
        service = driver.plug(model);
        ASSERT_NE(service, nullptr);
        device = service->device();
        ASSERT_NE(device->mpDriverSM, nullptr);
        QzChannelSettings& settings = *device->getCurrentSettings();
        settings.iFrequency = 48000;
        settings.iInChannels = 2;
        settings.iOutChannels = 2;
        settings.iInResolution = 16;
        settings.iOutResolution = 16;
        IOReturn status = kIOReturnError;
        driver.runInKernel([&] {
            VKDispatchLock lock(*service);
            status = service->reqConfigureDevice("test");
        });
        ASSERT_EQ(status, kIOReturnSuccess);
        ASSERT_NE(device->mChosen.outInterface, nullptr);
        pipe = device->mChosen.outInterface->getPipeByAddress(ClassAudioDevice::kFeedbackEndpoint);
        ASSERT_NE(pipe, nullptr);
        bool ready = false;
        driver.runInKernel([&] {
            ready = pipe->initPipe("test") && device->mIsoc.feedback.alloc(false, pipe, nullptr);
            device->mFramePatternObserver.init(48000, 2, 2, 2, 2, false, device->vidpid());
            device->mChosen.inPipeFeedback = pipe;
        });
        ASSERT_TRUE(ready);
    }

    // The loop as the streaming service starts it: two reads 50 frames ahead.
    void startLoop()
    {
        driver.runInKernel([&] {
            device->mIsoc.feedback.initForStream(service->getCurrentFrame() + 50);
            device->setStreamingStarted(1);
            device->requestIOFeedback();
            device->requestIOFeedback();
        });
    }

    void TearDown() override
    {
        if (device == nullptr) {
            return;
        }
        driver.runInKernel([&] {
            device->setStreamingStarted(0);
            if (pipe != nullptr && pipe->getPipe() != nullptr) {
                pipe->getPipe()->Abort();
            }
        });
        driver.runFor(10 * kMillisecond);
        device->mChosen.inPipeFeedback = nullptr;
    }

    uint32_t blocksInUse() const
    {
        uint32_t n = 0;
        for (VKIsocRB* block : device->mIsoc.feedback.mRBs) {
            n += block != nullptr && block->isInUse() ? 1 : 0;
        }
        return n;
    }

    uint32_t patternSum() const
    {
        const VKFramePatternObserver& fpo = device->mFramePatternObserver;
        uint32_t sum = 0;
        for (uint32_t i = 0; i < fpo.mPatternLength; ++i) {
            sum += fpo.activeEntry(i);
        }
        return sum;
    }

    DriverFixture driver;
    std::shared_ptr<ClassAudioDevice> model;
    VKKernelDevice* service = nullptr;
    VKDevice* device = nullptr;
    VKPipeDescriptor* pipe = nullptr;
};

struct ClockCase
{
    const char* name;
    int32_t ppm;
    uint32_t sixteenFrames; // samples the device plays in 16 frames, as the pattern holds them
};

class FeedbackClockTest : public FeedbackLoopTest, public testing::WithParamInterface<ClockCase>
{
};

TEST_P(FeedbackClockTest, TheLoopFollowsTheDeviceClockAndLocks)
{
    ASSERT_NO_FATAL_FAILURE(plug(GetParam().ppm));
    Capture log(Channel::kernel);
    startLoop();
    const uint64_t firstDue = device->mIsoc.feedback.mNextStartFrame;
    driver.runFor(200 * kMillisecond);
    platform::log::flush();
    EXPECT_FALSE(log.contains("USB: reset feedback error counter")) << "completions log nothing";
    EXPECT_TRUE(device->mFramePatternObserver.isLocked());
    EXPECT_EQ(device->mIsoc.feedback.mErrorCounter, 0u);
    EXPECT_NEAR(patternSum(), GetParam().sixteenFrames, 1);
    EXPECT_EQ(device->streamingStarted(), 1);
    // The reads follow the bus: about 150 frames of it since the first was due.
    EXPECT_GE(device->mIsoc.feedback.mNextStartFrame, firstDue + 140) << "reads kept coming, 4 frames each";
    EXPECT_GE(blocksInUse(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Clocks, FeedbackClockTest,
                         testing::Values(ClockCase{"Exact", 0, 768},
                                         // 48.96 samples per ms: 49s with a 48 now and then.
                                         ClockCase{"Fast2Percent", 20000, 783}),
                         [](const testing::TestParamInfo<ClockCase>& param) { return std::string(param.param.name); });

struct HostileCase
{
    const char* name;
    usbsim::EndpointFaults faults;
    bool broken;
    uint32_t errorsLeft; // when not broken
};

class FeedbackHostileTest : public FeedbackLoopTest, public testing::WithParamInterface<HostileCase>
{
};

// Frames of a length other than 3 are counted; the stream breaks once more than 40 of them come
// without a locked report between, and then no read follows.
TEST_P(FeedbackHostileTest, BadFramesAreCountedAndMoreThanFortyBreakTheStream)
{
    const HostileCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(plug());
    model->setEndpointFaults(ClassAudioDevice::kFeedbackEndpoint, c.faults);
    Capture log(Channel::kernel);
    startLoop();
    driver.runFor(300 * kMillisecond);
    platform::log::flush();
    EXPECT_EQ(device->mRealTimeRecord.total(VKRealTimeRecord::kFeedbackErrorBreaks), c.broken ? 1u : 0u);
    EXPECT_FALSE(log.contains("mIsocInFeedback.mErrorCounter > 40")) << "completions log nothing";
    EXPECT_EQ(device->streamingStarted(), c.broken ? 0 : 1);
    if (c.broken) {
        const uint64_t due = device->mIsoc.feedback.mNextStartFrame;
        driver.runFor(50 * kMillisecond);
        EXPECT_EQ(device->mIsoc.feedback.mNextStartFrame, due) << "the loop ended";
        EXPECT_EQ(blocksInUse(), 0u);
    } else {
        EXPECT_TRUE(device->mFramePatternObserver.isLocked());
        EXPECT_EQ(device->mIsoc.feedback.mErrorCounter, c.errorsLeft);
    }
    // Every value the pattern holds lies in the band, whatever arrived.
    const VKFramePatternObserver& fpo = device->mFramePatternObserver;
    for (uint32_t i = 0; i < fpo.mPatternLength; ++i) {
        EXPECT_GE(fpo.activeEntry(i), fpo.mLowerBound);
        EXPECT_LE(fpo.activeEntry(i), fpo.mUpperBound);
    }
}

usbsim::EndpointFaults dropped(uint32_t packets)
{
    usbsim::EndpointFaults f;
    f.dropPackets = packets;
    return f;
}

usbsim::EndpointFaults shortened(uint32_t packets, uint32_t by)
{
    usbsim::EndpointFaults f;
    f.shortenPackets = packets;
    f.shortenBy = by;
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FeedbackHostileTest,
    testing::Values(
        // Empty frames (value 0, repaired): 40 leave the loop running and it relocks; 41 break it.
        HostileCase{"FortyEmptyFrames", dropped(40), false, 0}, HostileCase{"FortyOneEmptyFrames", dropped(41), true, 0},
        // 2-byte frames with good values: the first lock (after 16) clears the count once; what
        // comes after it stays counted.
        HostileCase{"TwoByteFrames", shortened(1000, 1), true, 0},
        HostileCase{"FewTwoByteFrames", shortened(20, 1), false, 4}),
    [](const testing::TestParamInfo<HostileCase>& param) { return std::string(param.param.name); });

TEST_F(FeedbackLoopTest, OutOfBandValuesAreRepairedAndNeverLock)
{
    // 52.8 samples per ms: outside 46 to 50.
    ASSERT_NO_FATAL_FAILURE(plug(100000));
    startLoop();
    driver.runFor(200 * kMillisecond);
    EXPECT_FALSE(device->mFramePatternObserver.isLocked());
    EXPECT_EQ(patternSum(), 768u) << "the nominal pattern";
    EXPECT_EQ(device->streamingStarted(), 1) << "good lengths are no errors";
}

TEST_F(FeedbackLoopTest, ALateCompletionReschedulesTheNextRead)
{
    ASSERT_NO_FATAL_FAILURE(plug());
    usbsim::EndpointFaults late;
    late.delayCompletions = 1;
    late.delayMilliseconds = 80;
    model->setEndpointFaults(ClassAudioDevice::kFeedbackEndpoint, late);
    Capture log(Channel::kernel);
    startLoop();
    driver.runFor(250 * kMillisecond);
    platform::log::flush();
    EXPECT_GE(device->mRealTimeRecord.total(VKRealTimeRecord::kLateFeedback), 1u);
    EXPECT_FALSE(log.contains("ISOC FEEDBACK CALLBACK to late")) << "completions log nothing";
    EXPECT_EQ(device->streamingStarted(), 1);
    const uint64_t due = device->mIsoc.feedback.mNextStartFrame;
    driver.runFor(40 * kMillisecond);
    EXPECT_GT(device->mIsoc.feedback.mNextStartFrame, due) << "the loop goes on";
}

// One completion judged directly, in the completion's own terms.
TEST_F(FeedbackLoopTest, CompletionsThatEndTheLoopOrReschedule)
{
    ASSERT_NO_FATAL_FAILURE(plug());
    FeedbackStreamingStruct values;
    values.mCount = 4;
    std::fill(values.mValues, values.mValues + 4, 48u);
    IsocData& stream = device->mIsoc.feedback;

    driver.runInKernel([&] {
        stream.initForStream(service->getCurrentFrame() + 50);
        const uint64_t due = stream.mNextStartFrame;

        // Stopped, failed, or an auto-delete block: the ignore line, nothing queued.
        Capture log(Channel::kernel);
        device->setStreamingStarted(0);
        device->isocReadCompleteFeedback(nullptr, values);
        device->setStreamingStarted(1);
        device->setHardwareFailure(1);
        device->isocReadCompleteFeedback(nullptr, values);
        device->setHardwareFailure(0);
        VKIsocRB* ending = new VKIsocRB(false, nullptr);
        ending->mUseCounter = 1;
        ending->setAutoDeleteOnCompletion(true);
        device->isocReadCompleteFeedback(ending, values);
        ending->unuse(nullptr);
        platform::log::flush();
        size_t ignored = 0;
        for (const std::string& line : log.texts()) {
            ignored += line.find("isocReadCompleteFeedback - ignore ISOC-RB - reconfiguration or stop streaming") !=
                               std::string::npos
                           ? 1
                           : 0;
        }
        EXPECT_EQ(ignored, 3u);
        EXPECT_EQ(stream.mNextStartFrame, due);
        EXPECT_EQ(blocksInUse(), 0u);

        // 40 errors: the loop goes on; the completion at the due frame counts as late.
        stream.mErrorCounter = 40;
        const uint64_t current = service->getCurrentFrame();
        stream.mNextStartFrame = current;
        log.clear();
        device->isocReadCompleteFeedback(nullptr, values);
        platform::log::flush();
        EXPECT_TRUE(log.contains("USB: ISOC FEEDBACK CALLBACK to late current/diff/NTF/lostFrames"));
        EXPECT_EQ(blocksInUse(), 1u);
        EXPECT_EQ(stream.mRBs[0]->mStartFrame, current + 4);
        EXPECT_EQ(stream.mNextStartFrame, current + 8);
        EXPECT_EQ(device->streamingStarted(), 1);

        // 41: broken, no read.
        stream.mErrorCounter = 41;
        device->isocReadCompleteFeedback(nullptr, values);
        EXPECT_EQ(device->streamingStarted(), 0);
        EXPECT_EQ(stream.mNextStartFrame, current + 8);
    });
    driver.runFor(5 * kMillisecond);
    EXPECT_EQ(blocksInUse(), 0u) << "the read in flight was aborted";
}

TEST_F(FeedbackLoopTest, ARefusedReadGivesItsBlockBackAtOnce)
{
    ASSERT_NO_FATAL_FAILURE(plug());
    driver.runInKernel([&] {
        device->mIsoc.feedback.initForStream(1); // long past: the bus refuses
        device->setStreamingStarted(1);
        Capture log(Channel::kernel);
        device->requestIOFeedback();
        platform::log::flush();
        EXPECT_TRUE(log.contains("VKIsocRB::unuse(from:!m_cKernelDevice.isocReadFeedback()) mUseCounter = 0"));
        EXPECT_EQ(blocksInUse(), 0u);
    });
}

TEST_F(FeedbackLoopTest, NoFeedbackPipeNoRead)
{
    ASSERT_NO_FATAL_FAILURE(plug());
    driver.runInKernel([&] {
        device->mChosen.inPipeFeedback = nullptr;
        device->mIsoc.feedback.initForStream(service->getCurrentFrame() + 50);
        device->setStreamingStarted(1);
        device->requestIOFeedback();
        EXPECT_EQ(blocksInUse(), 0u);
        device->m_bStreamingSuspended = 1;
        device->mChosen.inPipeFeedback = pipe;
        Capture log(Channel::kernel);
        device->requestIOFeedback();
        platform::log::flush();
        EXPECT_TRUE(log.contains("USB: VKDevice::requestIOFeedback - m_bStreamingSuspended || !m_bStreamingStarted"));
        EXPECT_EQ(blocksInUse(), 0u);
        device->m_bStreamingSuspended = 0;
    });
}

TEST_F(FeedbackLoopTest, AnUnreadableFrameNumberEndsTheLoop)
{
    ASSERT_NO_FATAL_FAILURE(plug());
    driver.runInKernel([&] {
        device->mIsoc.feedback.initForStream(service->getCurrentFrame() + 50);
        device->setStreamingStarted(1);
        driver.bus().injectUnreadableFrameNumber(1);
        Capture log(Channel::kernel);
        device->initNextTransactionFeedback();
        platform::log::flush();
        EXPECT_TRUE(log.contains(
            "USB: VKDevice::initNextTransactionFeedback() failed - uCurrentFrame = 0xFFFFFFFF 0xFFFFFFFF"));
        EXPECT_EQ(blocksInUse(), 0u);
    });
}

// Frame numbers are 64-bit: a frame whose low word is all ones is an ordinary frame.
TEST_F(FeedbackLoopTest, AFrameNumberWithAllOnesInItsLowWordIsReadable)
{
    ASSERT_NO_FATAL_FAILURE(plug());
    ASSERT_TRUE(driver.bus().setFrameNumber(0x1'FFFF'FFFFULL));
    driver.runInKernel([&] {
        const uint64_t current = service->getCurrentFrame();
        ASSERT_EQ(current & 0xFFFF'FFFFULL, 0xFFFF'FFFFULL) << "the virtual clock stands while the kernel runs";
        device->mIsoc.feedback.initForStream(current + 50);
        device->setStreamingStarted(1);
        Capture log(Channel::kernel);
        device->initNextTransactionFeedback();
        platform::log::flush();
        EXPECT_FALSE(log.contains("uCurrentFrame = 0xFFFFFFFF"));
        EXPECT_EQ(blocksInUse(), 1u) << "the next read was queued";
    });
}

struct ModelCase
{
    const char* model;
    uint8_t interval;       // of the feedback pipe
    bool microFrames;       // the blocks' mode
    const char* lockedLine; // what the device side says when the pattern locks
};

class FeedbackModelTest : public testing::TestWithParam<ModelCase>
{
};

// The bulk-in/isochronous-out family devices report their rate on an isochronous IN endpoint:
// per microframe at bInterval 1, per millisecond at bInterval 4 (the full-frame check).
TEST_P(FeedbackModelTest, TheConfiguredFeedbackPipeLocksThePattern)
{
    const ModelCase& c = GetParam();
    DriverFixture driver;
    VKKernelDevice* service = driver.plug(c.model);
    ASSERT_NE(service, nullptr);
    VKDevice* device = service->device();
    ASSERT_NE(device->mpDriverSM, nullptr);
    // The rate reaches the device only when streaming starts, which this test does not do: the
    // pattern is set up for the rate the device runs at from power-on.
    device->getCurrentSettings()->iFrequency = 44100;
    IOReturn status = kIOReturnError;
    driver.runInKernel([&] {
        VKDispatchLock lock(*service);
        status = service->reqConfigureDevice("test");
    });
    ASSERT_EQ(status, kIOReturnSuccess);
    VKPipeDescriptor* pipe = device->mChosen.inPipeFeedback;
    ASSERT_NE(pipe, nullptr);
    EXPECT_EQ(pipe->getInterval(), c.interval);
    ASSERT_NE(device->mIsoc.feedback.mRBs[0], nullptr);
    EXPECT_EQ(device->mIsoc.feedback.mRBs[0]->mbMicroFrames, c.microFrames);

    Capture log(Channel::kernel);
    driver.runInKernel([&] {
        device->initFramePattern(); // the configured rate, high speed
        device->mIsoc.feedback.initForStream(service->getCurrentFrame() + 50);
        device->setStreamingStarted(1);
        device->requestIOFeedback();
        device->requestIOFeedback();
    });
    driver.runFor(200 * kMillisecond);
    platform::log::flush();
    // The completions that locked the pattern said nothing: a request thread reports for them.
    EXPECT_FALSE(log.contains(c.lockedLine));
    const VKFramePatternObserver& fpo = device->mFramePatternObserver;
    EXPECT_TRUE(fpo.isLocked());
    uint32_t sum = 0;
    for (uint32_t i = 0; i < fpo.mPatternLength; ++i) {
        sum += fpo.activeEntry(i);
    }
    const double rate = device->getCurrentSettings()->iFrequency;
    EXPECT_NEAR(sum, 16 * rate / 1000, 1) << "16 ms of the device's rate in microframes";
    EXPECT_EQ(device->mIsoc.feedback.mErrorCounter, 0u);
    driver.runInKernel([&] {
        device->setStreamingStarted(0);
        pipe->getPipe()->Abort();
    });
    driver.runFor(10 * kMillisecond);
}

INSTANTIATE_TEST_SUITE_P(Models, FeedbackModelTest,
                         testing::Values(ModelCase{"US-144-MKII", 1, true, "reset feedback error counter"},
                                         ModelCase{"0644:8030", 4, false, "reset feedback error counter (full frame)"}),
                         [](const testing::TestParamInfo<ModelCase>& param) {
                             std::string name = param.param.model;
                             std::replace_if(name.begin(), name.end(), [](char ch) { return !std::isalnum(ch); }, '_');
                             return name;
                         });

// Without noWait, cancel waits 50 ms for the bus to give back what it holds and reports a block
// it still holds.
TEST_F(FeedbackLoopTest, CancelWaitsAndReportsABlockStillHeld)
{
    ASSERT_NO_FATAL_FAILURE(plug());
    IsocData& stream = device->mIsoc.feedback;
    VKIsocRB* held = nullptr;
    driver.runInKernel([&] {
        stream.initForStream(service->getCurrentFrame() + 50);
        held = stream.next();
        held->markQueued();
        Capture log(Channel::kernel);
        const uint64_t before = service->getCurrentFrame();
        stream.cancel(false);
        EXPECT_GE(service->getCurrentFrame(), before + 50);
        platform::log::flush();
        EXPECT_TRUE(log.contains("IsocData::cancel() isocRB is still used !"));
        EXPECT_TRUE(held->mbCancel);
        EXPECT_EQ(held->mUseCounter, 1u);
        held->setCallbackDone(nullptr);
        EXPECT_FALSE(held->isInUse());
    });
}

} // namespace
