// The user-mode device layer against sonvexa-kerneld with a simulated device, the kernel host in
// its own process: the manager finds the device, brings it up and configures it, and IO
// procedures move float samples through the kernel's rings and the device model's loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "CoreFoundation/CFRunLoop.h"
#include "DeviceManagerClient.h"
#include "KernelProcess.h"
#include "OSXAsioRegistry.h"
#include "OSXDeviceManager.h"
#include "ProgramRunner.h"
#include "SampleConversion.h"
#include "VKOSXDevice.h"
#include "platform/CoreAudioHost.h"
#include "platform/Log.h"
#include "platform/ProcessEnvironment.h"

namespace {

using namespace std::chrono_literals;

struct Client : DeviceManagerClient
{
    std::vector<VKOSXDevice*> added;
    std::vector<VKOSXDevice*> removed;
    int latencyChanges = 0;
    // Client callbacks of kernel notifications, by name, in arrival order.
    std::vector<std::string> heard;
    void deviceAdded(VKOSXDevice* device) override { added.push_back(device); }
    void onVolumeChanged(VKOSXDevice*) override { heard.push_back("volume"); }
    void onMuteChanged(VKOSXDevice*) override { heard.push_back("mute"); }
    void onMonitorChanged(VKOSXDevice*) override { heard.push_back("monitor"); }
    void onDataSourceChanged(VKOSXDevice*) override { heard.push_back("data source"); }
    void onFormatChanged(VKOSXDevice*) override { heard.push_back("format"); }
    void onOtherClientAttached(VKOSXDevice*, uint32_t p1, uint32_t p2) override
    {
        heard.push_back("attached " + std::to_string(p1) + " " + std::to_string(p2));
    }
    void onOtherClientDetached(VKOSXDevice*, uint32_t p1) override
    {
        heard.push_back("detached " + std::to_string(p1));
    }
    void onQZ_StateChange(VKOSXDevice*, const QZ_StateChange* change) override
    {
        heard.push_back("state " + std::to_string(change->code));
    }
    void deviceRemoved(VKOSXDevice* device) override { removed.push_back(device); }
    void onLatencyChanged(VKOSXDevice*) override { ++latencyChanges; }
};

// The manager as a loaded plug-in and its one device, given the host's audio IDs; the test's
// own, so it is gone before the kernel host stops.
struct LoadedDevice
{
    Client client;
    OSXDeviceManager manager{&plugIn, &client, false};
    VKOSXDevice* device = nullptr;

    void open()
    {
        ASSERT_EQ(manager.getCountDevices(), 1);
        device = manager.getDevice(0);
        device->setAudioIDs(10, 11, 12);
    }

private:
    // The plug-in's reference only travels to the host; any non-null value stands for a loaded plug-in.
    static inline AudioHardwarePlugInInterface* plugIn = nullptr;
};

// Runs the run loop until `done` holds or `limit` passed (the kernel host is another process).
template <class Done> bool runUntil(Done done, std::chrono::seconds limit = 20s)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.01, true);
    }
    return true;
}

class DeviceProcessTest : public testing::Test
{
protected:
    // The simulated device the kernel host serves.
    virtual const char* model() const { return "Kelvra-UC3"; }
    void SetUp() override
    {
        ASSERT_TRUE(kernel.start({model()})) << kernel.log();
        kernel.releaseService();
    }
    void TearDown() override
    {
        if (HasFailure()) {
            // The kernel's account of the stream, for a failure's message.
            const std::string log = kernel.log();
            size_t shown = 0;
            for (size_t at = 0, end = 0; at < log.size() && shown < 40; at = end + 1) {
                end = log.find('\n', at);
                end = end == std::string::npos ? log.size() : end;
                const std::string line = log.substr(at, end - at);
                if (line.find("BROKEN") != std::string::npos || line.find("attach") != std::string::npos) {
                    std::printf("kernel: %s\n", line.c_str());
                    ++shown;
                }
            }
        }
        EXPECT_EQ(kernel.stop(), 0);
    }

    test_support::ProgramRunner programs;
    test_support::KernelProcess kernel{programs, KERNELD};
    // A user's process (configuration candidate), rooted in the runner's folder.
    platform::process::ScopedOverride user{{.name = "TestHost", .uid = 501, .root = programs.root()}};
    platform::coreaudio::NotificationRecorder host;
};

// The tone: 16-bit values (the device is configured for 16 bits), different per channel and frame.
int32_t toneValue(uint64_t frame, uint32_t channel)
{
    return static_cast<int32_t>((frame * 7'919 + channel * 4'099 + 1'234) % 65'536) - 32'768;
}

// The tone's next frames into the output buffer, `played` counting them.
void playTone(AudioBufferList* out, std::atomic<uint64_t>& played)
{
    if (out != nullptr && out->mNumberBuffers >= 1 && out->mBuffers[0].mData != nullptr) {
        const uint32_t channels = out->mBuffers[0].mNumberChannels;
        const uint32_t frames = channels != 0 ? out->mBuffers[0].mDataByteSize / 4 / channels : 0;
        auto* samples = static_cast<float*>(out->mBuffers[0].mData);
        const uint64_t first = played.load();
        for (uint32_t f = 0; f < frames; ++f) {
            for (uint32_t c = 0; c < channels; ++c) {
                samples[size_t{f} * channels + c] = static_cast<float>(toneValue(first + f, c)) / 32'768.0F;
            }
        }
        played.store(first + frames);
    }
}

struct ToneIO
{
    static constexpr size_t kCapture = 48'000 * 2 * 4;
    std::atomic<uint64_t> played{0};
    std::vector<float> captured = std::vector<float>(kCapture);
    std::atomic<size_t> capturedCount{0};
    std::atomic<uint32_t> calls{0};
    std::atomic<uint32_t> lastInputChannels{0};

    static OSStatus proc(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList* in,
                         const AudioTimeStamp*, AudioBufferList* out, const AudioTimeStamp*, void* data)
    {
        auto* self = static_cast<ToneIO*>(data);
        self->calls.fetch_add(1);
        if (in != nullptr && in->mNumberBuffers >= 1 && in->mBuffers[0].mData != nullptr) {
            const size_t samples = in->mBuffers[0].mDataByteSize / 4;
            self->lastInputChannels = in->mBuffers[0].mNumberChannels;
            const size_t at = self->capturedCount.load();
            const size_t n = std::min(samples, kCapture - at);
            std::memcpy(self->captured.data() + at, in->mBuffers[0].mData, n * 4);
            self->capturedCount.store(at + n);
        }
        playTone(out, self->played);
        return 0;
    }
};

// What came back of the tone: every captured frame is silence or exactly one tone frame (the
// device's 16-bit value in the top bits of the ring sample, converted to float), and tone frames
// follow each other except where the kernel recorded a missed deadline (a broken stream, a late
// service period, output sent unfilled, frames mixed before this process wrote them: a loaded
// machine), which loses the frames in between.
struct ToneCheck
{
    size_t frames = 0;
    size_t toneFrames = 0;
    size_t wrong = 0;
    size_t jumps = 0;
};

ToneCheck checkTone(const std::vector<float>& captured, size_t samples)
{
    auto expected = [](uint64_t frame, uint32_t channel) {
        const auto ring = static_cast<int32_t>(static_cast<uint32_t>(toneValue(frame, channel)) << 16);
        float f = 0;
        convertIntToFloat(&ring, 1, &f, 1, 1);
        return f;
    };
    // The tone frame (modulo 65,536) a captured left sample belongs to: 53,263 is 7,919's inverse.
    auto frameOf = [](float left) {
        const auto ring = static_cast<int64_t>(std::llround(static_cast<double>(left) * 2147483520.0));
        const auto value = static_cast<uint64_t>(((ring + 32'768) >> 16) + 32'768 - 1'234) & 0xFFFF;
        return (value * 53'263) & 0xFFFF;
    };
    ToneCheck check;
    check.frames = samples / 2;
    uint64_t previous = UINT64_MAX;
    for (size_t f = 0; f < check.frames; ++f) {
        const float left = captured[f * 2];
        const float right = captured[f * 2 + 1];
        if (left == 0.0F && right == 0.0F) {
            previous = UINT64_MAX;
            continue;
        }
        const uint64_t n = frameOf(left);
        if (left != expected(n, 0) || right != expected(n, 1)) {
            if (check.wrong < 5) {
                std::printf("frame %zu: %.9g %.9g, tone frame %llu would be %.9g %.9g\n", f, left, right,
                            static_cast<unsigned long long>(n), expected(n, 0), expected(n, 1));
            }
            ++check.wrong;
            continue;
        }
        if (previous != UINT64_MAX && n != ((previous + 1) & 0xFFFF)) {
            if (check.jumps < 5) {
                std::printf("frame %zu: tone frame %llu after %llu\n", f, static_cast<unsigned long long>(n),
                            static_cast<unsigned long long>(previous));
            }
            ++check.jumps;
        }
        previous = n;
        ++check.toneFrames;
    }
    return check;
}

TEST_F(DeviceProcessTest, TheManagerFindsConfiguresAndReportsTheDevice)
{
    Client client;
    OSXDeviceManager manager(nullptr, &client, true);
    EXPECT_EQ(manager.getCountDevices(), 0) << "callbacks deferred";
    EXPECT_TRUE(client.added.empty());
    manager.enableCallbacks();
    ASSERT_EQ(manager.getCountDevices(), 1);
    ASSERT_EQ(client.added.size(), 1U);
    manager.enableCallbacks();
    EXPECT_EQ(client.added.size(), 1U) << "a second enable reports nothing again";
    VKOSXDevice* device = manager.getDevice(0);
    EXPECT_EQ(device->trueChannels().iFrequency, 44'100);
    EXPECT_EQ(device->trueChannels().iInChannels, 2);
    EXPECT_EQ(device->getFrameSize(), 256U);
    EXPECT_GT(device->getLatency(true), 0U);
    EXPECT_NE(device->clientID(), 0U);
    EXPECT_EQ(manager.getDeviceFromService(device->ioGetService()), device);
}

TEST_F(DeviceProcessTest, AToneFromTheOutputProcComesBackIntoTheInputProcSampleExact)
{
    LoadedDevice loaded;
    ASSERT_NO_FATAL_FAILURE(loaded.open());
    auto& [client, manager, device] = loaded;
    ToneIO io;
    IOProcEntry* id = device->addIOProcID(&ToneIO::proc, &io);
    ASSERT_NE(id, nullptr);
    ASSERT_TRUE(device->onDeviceStartProcOrID(id));
    ASSERT_TRUE(runUntil([&] { return io.capturedCount.load() >= ToneIO::kCapture; }, 60s))
        << "captured " << io.capturedCount.load() << " samples in " << io.calls.load() << " calls";
    EXPECT_TRUE(device->onDeviceStopProcOrID(id));
    EXPECT_EQ(device->attachState(), VKOSXDevice::kDetached);
    EXPECT_GE(host.count(kAudioDevicePropertyDeviceIsRunning), 2U) << "'goin' on start and on stop";
    ASSERT_EQ(io.lastInputChannels.load(), 2U);

    const ToneCheck check = checkTone(io.captured, io.capturedCount.load());
    EXPECT_EQ(check.wrong, 0U) << "frames that are neither silence nor a tone frame";
    EXPECT_GT(check.toneFrames, check.frames / 2) << "the tone came back";
    const size_t missed = kernel.missedDeadlines();
    EXPECT_LE(check.jumps, missed) << check.jumps << " jumps, " << missed
                                   << " missed deadlines recorded: tone frames are lost only where one was";
    EXPECT_TRUE(device->removeIOProcID(id));
}

// The tone proc that also keeps the cycle's time stamps: the first input and output sample times,
// and how far the input host time strays from the kernel's time line at the same ring frame while
// the kernel's stream runs on (a broken stream starts its ring and its stamps again; a loaded
// machine breaks it).
struct TimedToneIO
{
    ToneIO tone;
    VKOSXDevice* device = nullptr;
    // Cycles before the filter counts as settled.
    static constexpr uint32_t kSettling = 100;
    std::atomic<double> firstInputSample{-1};
    std::atomic<double> firstOutputSample{-1};
    std::atomic<int64_t> worstHostError{0};
    std::atomic<int64_t> totalHostError{0};
    std::atomic<uint32_t> compared{0};
    uint32_t stamps = 0; // the kernel's time-stamp count at the last cycle
    std::atomic<bool> restarted{false};

    static OSStatus proc(AudioDeviceID id, const AudioTimeStamp* now, const AudioBufferList* in,
                         const AudioTimeStamp* inTime, AudioBufferList* out, const AudioTimeStamp* outTime, void* data)
    {
        auto* self = static_cast<TimedToneIO*>(data);
        const AudioSM* ring = self->device->inputRing();
        const uint32_t stamps = ring != nullptr ? shared::load(ring->mTimeStamps.mCount) : 0;
        if (stamps < self->stamps) {
            self->restarted = true;
        }
        self->stamps = stamps;
        if (self->tone.calls.load() == 0) {
            self->firstInputSample = inTime->mSampleTime;
            self->firstOutputSample = outTime->mSampleTime;
        } else if (self->tone.calls.load() >= kSettling && !self->restarted.load()) {
            const uint64_t frame = self->device->timestampFilter().zeroSamplePosition() +
                                   static_cast<uint64_t>(inTime->mSampleTime);
            // The kernel's time line: the straight-line anchor it published last.
            uint64_t kernel = 0;
            if (ring != nullptr) {
                (shared::load(ring->mAnchorSelect) != 0 ? ring->mAnchorA : ring->mAnchorB).getTS(frame, kernel);
            }
            const int64_t error = std::abs(static_cast<int64_t>(inTime->mHostTime - kernel));
            if (error > self->worstHostError.load()) {
                self->worstHostError = error;
            }
            self->totalHostError.fetch_add(error);
            self->compared.fetch_add(1);
        }
        return ToneIO::proc(id, now, in, inTime, out, outTime, &self->tone);
    }
};

TEST_F(DeviceProcessTest, TimeStampsFollowTheKernelsAndTheLoopbackDelayIsTheReportedLatency)
{
    LoadedDevice loaded;
    ASSERT_NO_FATAL_FAILURE(loaded.open());
    auto& [client, manager, device] = loaded;
    TimedToneIO io;
    io.device = device;
    IOProcEntry* id = device->addIOProcID(&TimedToneIO::proc, &io);
    ASSERT_NE(id, nullptr);
    ASSERT_TRUE(device->onDeviceStartProcOrID(id));
    ASSERT_TRUE(runUntil([&] { return io.tone.capturedCount.load() >= ToneIO::kCapture; }, 60s));
    EXPECT_TRUE(device->onDeviceStopProcOrID(id));
    EXPECT_TRUE(device->removeIOProcID(id));

    const uint32_t rate = 44'100;
    const uint32_t buffer = device->getFrameSize();
    const uint32_t inLatency = device->getLatency(true);
    const uint32_t outLatency = device->getLatency(false);
    ASSERT_EQ(device->trueChannels().iFrequency, static_cast<int32_t>(rate));

    // Host times: on average within one sample period of the kernel's time line once the filter
    // settled. The kernel stamps a frame's samples with the frame's end, so its line is itself
    // known to a sample; no cycle strays by more than two.
    // A missed deadline in the kernel moves its time line under the filter, which then follows
    // it over some cycles: a loaded machine's run shows that, not the filter.
    const int64_t period = int64_t{1'000'000'000} / rate;
    const size_t missed = kernel.missedDeadlines();
    if (missed == 0 && !io.restarted.load()) {
        ASSERT_GE(io.compared.load(), 100U);
        EXPECT_LE(io.totalHostError.load() / io.compared.load(), period) << "mean distance, ns";
        EXPECT_LE(io.worstHostError.load(), 2 * period) << "worst distance, ns";
    } else {
        std::printf("host times not checked: %zu missed deadlines in the kernel's record%s\n", missed,
                    io.restarted.load() ? ", the stream broken" : "");
    }

    // Sample times: output runs the input latency, the output latency and two buffers ahead of input.
    EXPECT_EQ(io.firstInputSample.load(), 0.0);
    EXPECT_EQ(io.firstOutputSample.load(), static_cast<double>(inLatency + outLatency + 2 * buffer));

    // A tone frame presented at output sample time S comes back at input sample time S, within a
    // buffer: the frame's input time less its output time, for every frame that came back.
    const auto& captured = io.tone.captured;
    const size_t frames = io.tone.capturedCount.load() / 2;
    std::vector<int64_t> offsets;
    for (size_t f = 0; f < frames; ++f) {
        const float left = captured[f * 2];
        if (left == 0.0F && captured[f * 2 + 1] == 0.0F) {
            continue;
        }
        const auto ring = static_cast<int64_t>(std::llround(static_cast<double>(left) * 2147483520.0));
        const auto value = static_cast<uint64_t>(((ring + 32'768) >> 16) + 32'768 - 1'234) & 0xFFFF;
        const uint64_t toneFrame = (value * 53'263) & 0xFFFF; // modulo 65,536, as played
        const auto inputTime = static_cast<int64_t>(io.firstInputSample.load()) + static_cast<int64_t>(f);
        const auto outputTime = static_cast<int64_t>(io.firstOutputSample.load()) + static_cast<int64_t>(toneFrame);
        // Both within 32,768 frames of each other, so the difference modulo 65,536 is the real one.
        offsets.push_back(static_cast<int16_t>(static_cast<uint16_t>(inputTime - outputTime)));
    }
    ASSERT_GT(offsets.size(), frames / 2) << "the tone came back";
    std::sort(offsets.begin(), offsets.end());
    const int64_t median = offsets[offsets.size() / 2];
    std::printf("loopback: input time less output time %lld frames (latencies in %u, out %u, buffer %u)\n",
                static_cast<long long>(median), inLatency, outLatency, buffer);
    EXPECT_LE(std::abs(median), static_cast<int64_t>(buffer));
}

TEST_F(DeviceProcessTest, RatesAndFormatsOnOfferAndANewRateReachesTheKernelAndTheHost)
{
    LoadedDevice loaded;
    ASSERT_NO_FATAL_FAILURE(loaded.open());
    auto& [client, manager, device] = loaded;

    const uint32_t count = device->getSampleRates(nullptr, 0);
    std::vector<AudioValueRange> rates(count);
    ASSERT_EQ(device->getSampleRates(rates.data(), count), count);
    AudioValueRange one{};
    EXPECT_EQ(device->getSampleRates(&one, 0), 0U) << "an array with no room";
    std::vector<double> offered;
    for (const AudioValueRange& r : rates) {
        EXPECT_EQ(r.mMinimum, r.mMaximum);
        offered.push_back(r.mMinimum);
    }
    std::printf("rates:");
    for (double r : offered) {
        std::printf(" %.0f", r);
    }
    std::printf("\n");
    EXPECT_NE(std::find(offered.begin(), offered.end(), 44'100.0), offered.end());
    EXPECT_NE(std::find(offered.begin(), offered.end(), 48'000.0), offered.end());
    EXPECT_EQ(std::find(offered.begin(), offered.end(), 64'000.0), offered.end()) << "never offered";
    EXPECT_FALSE(device->canSampleRate(64'000));
    EXPECT_FALSE(device->setFrequency(false, 12'345));

    // Every list agrees with its count; a wrong count is refused.
    for (bool physical : {false, true}) {
        for (bool input : {false, true}) {
            const uint32_t n = device->getStreamFormatNum(input, physical);
            ASSERT_GT(n, 0U);
            std::vector<AudioStreamRangedDescription> list(n);
            ASSERT_EQ(device->getAvailableFormats(input, list.data(), n, physical, 32), 0);
            for (const AudioStreamRangedDescription& f : list) {
                EXPECT_EQ(f.mSampleRateRange.mMinimum, f.mFormat.mSampleRate);
                EXPECT_NE(std::find(offered.begin(), offered.end(), f.mFormat.mSampleRate), offered.end());
                EXPECT_EQ(f.mFormat.mFormatID, kAudioFormatLinearPCM);
                EXPECT_GE(f.mFormat.mChannelsPerFrame, 1U);
                if (!physical) {
                    EXPECT_EQ(f.mFormat.mBitsPerChannel, 32U);
                    EXPECT_EQ(f.mFormat.mBytesPerFrame, 4 * f.mFormat.mChannelsPerFrame);
                }
            }
            std::vector<AudioStreamBasicDescription> wrong(n + 1);
            EXPECT_EQ(device->getStreamFormats(input, wrong.data(), n + 1, physical, 32),
                      static_cast<OSStatus>(kIOReturnBadArgument));
        }
    }
    AudioStreamBasicDescription client0{};
    ASSERT_EQ(device->getStreamFormat(false, &client0, false, 32), 0);
    EXPECT_EQ(client0.mSampleRate, 44'100.0);
    EXPECT_EQ(client0.mFormatFlags, kAudioFormatFlagIsFloat);
    EXPECT_EQ(client0.mChannelsPerFrame, 2U);
    AudioStreamBasicDescription physical0{};
    ASSERT_EQ(device->getStreamFormat(true, &physical0, true, 32), 0);
    EXPECT_EQ(static_cast<int32_t>(physical0.mBitsPerChannel),
              device->driverSM()->mChannelSettings.iInResolution);
    EXPECT_EQ(physical0.mBytesPerFrame, physical0.mBitsPerChannel == 16 ? 4U : 6U);

    host.clear();
    EXPECT_TRUE(device->setFrequency(false, 44'100)) << "the current rate";
    EXPECT_TRUE(host.notifications().empty()) << "the current rate changes nothing";
    ASSERT_TRUE(device->setFrequency(false, 48'000));
    EXPECT_EQ(device->trueChannels().iFrequency, 48'000);
    EXPECT_EQ(device->driverSM()->mChannelSettings.iFrequency, 48'000) << "the kernel's settings";
    EXPECT_EQ(device->pendingDirection(), 0U);
    EXPECT_GE(host.count(kAudioDevicePropertyNominalSampleRate), 1U);
    EXPECT_GE(host.count(kAudioStreamPropertyPhysicalFormat), 1U);
    AudioStreamBasicDescription now{};
    ASSERT_EQ(device->getStreamFormat(true, &now, true, 32), 0);
    EXPECT_EQ(now.mSampleRate, 48'000.0);

    // The client format: integer samples are taken (the device's stays as it is), unknown flags
    // and a channel count the device has not are refused.
    AudioStreamBasicDescription wish = physical0;
    wish.mSampleRate = 0;
    wish.mFormatFlags = kAudioFormatFlagIsSignedInteger;
    ASSERT_EQ(device->setStreamFormat(true, &wish, false), 0);
    AudioStreamBasicDescription after{};
    ASSERT_EQ(device->getStreamFormat(true, &after, false, 32), 0);
    EXPECT_EQ(after.mFormatFlags, kAudioFormatFlagIsSignedInteger);
    EXPECT_EQ(after.mSampleRate, 48'000.0) << "rate 0 keeps the rate the description holds";
    wish.mFormatFlags = kAudioFormatFlagIsBigEndian;
    EXPECT_EQ(device->setStreamFormat(true, &wish, false), kAudioDeviceUnsupportedFormatError);
    wish.mFormatFlags = kAudioFormatFlagIsFloat;
    wish.mChannelsPerFrame = 5;
    EXPECT_EQ(device->setStreamFormat(true, &wish, false), kAudioDeviceUnsupportedFormatError);
    EXPECT_EQ(device->driverSM()->mChannelSettings.iInChannels, 2) << "nothing stored";
}

// What one "open" process of the helper printed: who configured and the settings it saw.
struct Opened
{
    int here = -1;
    std::array<int, 5> settings{};
};

Opened parseOpened(const std::string& out)
{
    Opened o;
    const size_t at = out.find("device ");
    if (at != std::string::npos) {
        std::sscanf(out.c_str() + at, "device %d %d %d %d %d %d", &o.here, &o.settings[0], &o.settings[1],
                    &o.settings[2], &o.settings[3], &o.settings[4]);
    }
    return o;
}

// `count` processes open the unconfigured device at once: exactly one configures it, the others
// wait for it and see the settings it chose.
void openAtOnce(test_support::ProgramRunner& programs, const std::string& socket, int count)
{
    std::vector<pid_t> pids;
    for (int i = 0; i < count; ++i) {
        pids.push_back(programs.start(LAYER_PROCESS, {"open", socket, "Host" + std::to_string(i), "501"},
                                      "open" + std::to_string(i)));
        ASSERT_GT(pids.back(), 0);
    }
    int configured = 0;
    std::vector<Opened> seen;
    for (int i = 0; i < count; ++i) {
        const test_support::ProgramResult result =
            programs.finish(pids[static_cast<size_t>(i)], "open" + std::to_string(i));
        ASSERT_EQ(result.status, 0) << result.out
                                    << result.err.substr(result.err.size() > 2'000 ? result.err.size() - 2'000
                                                                                   : 0);
        seen.push_back(parseOpened(result.out));
        ASSERT_GE(seen.back().here, 0) << result.out;
        configured += seen.back().here;
    }
    EXPECT_EQ(configured, 1) << "exactly one process configures";
    for (const Opened& o : seen) {
        EXPECT_EQ(o.settings, seen[0].settings) << "every process sees the same settings";
        EXPECT_GT(o.settings[0], 0);
    }
}

TEST_F(DeviceProcessTest, TwoProcessesOpeningAtOnceOneConfiguresTheOtherWaitsForIt)
{
    openAtOnce(programs, kernel.socket(), 2);
}

TEST_F(DeviceProcessTest, ThreeProcessesOpeningAtOnceOneConfiguresTheOthersWaitForIt)
{
    openAtOnce(programs, kernel.socket(), 3);
}

TEST_F(DeviceProcessTest, AProcessKilledWhileConfiguringDoesNotKeepTheDeviceUnconfigured)
{
    const pid_t staller = programs.start(LAYER_PROCESS, {"stall", kernel.socket()}, "stall");
    ASSERT_GT(staller, 0);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (programs.read("stall.out").find("stalled") == std::string::npos) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << programs.read("stall.err");
        std::this_thread::sleep_for(10ms);
    }
    programs.stop(staller, SIGKILL, "stall");
    // The next process waits its bounded while for the dead one, then configures in its place.
    const test_support::ProgramResult next =
        programs.run(LAYER_PROCESS, {"open", kernel.socket(), "Host", "501"});
    ASSERT_EQ(next.status, 0) << next.out;
    const Opened opened = parseOpened(next.out);
    EXPECT_EQ(opened.here, 1);
    EXPECT_GT(opened.settings[0], 0);
    // And the one after it finds the device configured at once.
    const Opened after =
        parseOpened(programs.run(LAYER_PROCESS, {"open", kernel.socket(), "Host", "501"}).out);
    EXPECT_EQ(after.here, 0);
    EXPECT_EQ(after.settings, opened.settings);
}

TEST_F(DeviceProcessTest, TheHostClassFollowsTheProcessName)
{
    struct Case
    {
        const char* name;
        uint32_t hostClass;
    };
    static const Case kCases[] = {
        {"Audio MIDI Setup", 2},
        {"Digital Performer", 4},
        {"iTunes", 3},
        {"coreaudiod", 5},
        {"iChat", 6},
        {"TASCAM US-366 Control", 7},
        {"TASCAM UH-7000 Mixer", 8},
        {"TASCAM US-1200 Mixer", 9},
        {"SystemUIServer", 10},
        {"Audacity", 11},
        {"loginwindow", 12},
        {"Serato ITCH", 13},
        {"Serato DJ", 14},
        {"My Audio MIDI Setup", 17},
        {"TestHost", 17},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        platform::process::ScopedOverride name{{.name = c.name}};
        Client client;
        OSXDeviceManager manager(nullptr, &client, false);
        EXPECT_EQ(manager.getClientAppType(), c.hostClass);
        ASSERT_EQ(manager.getCountDevices(), 1);
        VKOSXDevice* device = manager.getDevice(0);
        // A host that may only see the current rate sees one rate and one format.
        const uint32_t rates = device->getSampleRates(nullptr, 0);
        if (c.hostClass == 4) {
            EXPECT_EQ(rates, 1U);
            EXPECT_EQ(device->getStreamFormatNum(false, true), 1U);
            AudioStreamBasicDescription only{};
            EXPECT_EQ(device->getStreamFormats(false, &only, 1, true, 32), 0);
            EXPECT_EQ(only.mSampleRate, device->trueChannels().iFrequency);
            EXPECT_FALSE(device->canSampleRate(48'000));
        } else if (c.hostClass == 17) {
            EXPECT_GT(rates, 1U);
        }
        EXPECT_EQ(device->getFrameSize(), c.hostClass == 3 ? 1'024U : 256U);
    }
}

// An output-only procedure: plays the tone, never looks at its input.
struct PlayIO
{
    std::atomic<uint64_t> played{0};
    std::atomic<uint32_t> calls{0};
    static OSStatus proc(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                         AudioBufferList* out, const AudioTimeStamp*, void* data)
    {
        auto* self = static_cast<PlayIO*>(data);
        self->calls.fetch_add(1);
        playTone(out, self->played);
        return 0;
    }
};

// An input-only procedure: keeps what comes in, writes nothing.
struct CaptureIO
{
    static constexpr size_t kCapture = 48'000 * 2 * 3;
    std::vector<float> captured = std::vector<float>(kCapture);
    std::atomic<size_t> count{0};
    std::atomic<uint32_t> calls{0};
    std::atomic<uint32_t> lastFrames{0};
    static OSStatus proc(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList* in,
                         const AudioTimeStamp*, AudioBufferList*, const AudioTimeStamp*, void* data)
    {
        auto* self = static_cast<CaptureIO*>(data);
        self->calls.fetch_add(1);
        if (in != nullptr && in->mNumberBuffers >= 1 && in->mBuffers[0].mData != nullptr &&
            in->mBuffers[0].mNumberChannels != 0) {
            const size_t samples = in->mBuffers[0].mDataByteSize / 4;
            self->lastFrames = static_cast<uint32_t>(samples / in->mBuffers[0].mNumberChannels);
            const size_t at = self->count.load();
            const size_t n = std::min(samples, kCapture - at);
            std::memcpy(self->captured.data() + at, in->mBuffers[0].mData, n * 4);
            self->count.store(at + n);
        }
        return 0;
    }
};

// A procedure that neither reads nor writes: its silence adds nothing to the others' output.
OSStatus idleProc(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                  AudioBufferList*, const AudioTimeStamp*, void* data)
{
    static_cast<std::atomic<uint32_t>*>(data)->fetch_add(1);
    return 0;
}

TEST_F(DeviceProcessTest, SeveralProcsAtOnceStartAndStopAndAFrameSizeChangeWhileRunning)
{
    LoadedDevice loaded;
    ASSERT_NO_FATAL_FAILURE(loaded.open());
    auto& [client, manager, device] = loaded;
    PlayIO play;
    CaptureIO capture;
    std::atomic<uint32_t> idleCalls{0};
    IOProcEntry* playID = device->addIOProcID(&PlayIO::proc, &play);
    IOProcEntry* captureID = device->addIOProcID(&CaptureIO::proc, &capture);
    IOProcEntry* idleID = device->addIOProcID(&idleProc, &idleCalls);
    ASSERT_TRUE(playID != nullptr && captureID != nullptr && idleID != nullptr);
    for (IOProcEntry* id : {playID, captureID, idleID}) {
        ASSERT_TRUE(device->onDeviceStartProcOrID(id));
    }
    ASSERT_TRUE(runUntil([&] { return capture.count.load() >= CaptureIO::kCapture / 3; }, 60s));
    EXPECT_GT(idleCalls.load(), 0U);
    EXPECT_EQ(capture.lastFrames.load(), 256U);

    // The player stops; the others go on, the device stays attached.
    ASSERT_TRUE(device->onDeviceStopProcOrID(playID));
    const uint32_t playCalls = play.calls.load();
    const uint32_t captureCalls = capture.calls.load();
    ASSERT_TRUE(runUntil([&] { return capture.calls.load() >= captureCalls + 20; }));
    EXPECT_EQ(play.calls.load(), playCalls) << "a stopped procedure is not called";
    EXPECT_EQ(device->attachState(), VKOSXDevice::kAttached);

    // A new frame size while running: the IO thread takes it at its next cycle.
    ASSERT_EQ(device->setFrameSize(128, false, false), 0);
    ASSERT_TRUE(runUntil([&] { return capture.lastFrames.load() == 128; }));
    EXPECT_EQ(device->getFrameSize(), 128U);
    ASSERT_TRUE(device->onDeviceStartProcOrID(playID));
    ASSERT_TRUE(runUntil([&] { return capture.count.load() >= CaptureIO::kCapture; }, 60s));
    for (IOProcEntry* id : {playID, captureID, idleID}) {
        EXPECT_TRUE(device->onDeviceStopProcOrID(id));
    }
    EXPECT_EQ(device->attachState(), VKOSXDevice::kDetached);

    // Three procedures' output mixed is the tone alone, before and after the change.
    const ToneCheck check = checkTone(capture.captured, capture.count.load());
    EXPECT_EQ(check.wrong, 0U) << "frames that are neither silence nor a tone frame";
    EXPECT_GT(check.toneFrames, check.frames / 3) << "the tone came back";
    for (IOProcEntry* id : {playID, captureID, idleID}) {
        EXPECT_TRUE(device->removeIOProcID(id));
    }
}

TEST_F(DeviceProcessTest, ADeviceUnpluggedUnderItsRunningIOThreadGoesAway)
{
    LoadedDevice loaded;
    ASSERT_NO_FATAL_FAILURE(loaded.open());
    auto& [client, manager, device] = loaded;
    PlayIO play;
    CaptureIO capture;
    ASSERT_TRUE(device->onDeviceStartProcOrID(device->addIOProcID(&PlayIO::proc, &play)));
    ASSERT_TRUE(device->onDeviceStartProcOrID(device->addIOProcID(&CaptureIO::proc, &capture)));
    ASSERT_TRUE(runUntil([&] { return capture.count.load() >= 48'000; }, 60s));

    const test_support::ProgramResult detached =
        programs.run(KERNELCTL, {"--socket", kernel.socket(), "detach", "1"});
    ASSERT_EQ(detached.status, 0) << detached.err;
    ASSERT_TRUE(runUntil([&] { return client.removed.size() == 1; }))
        << "the device's removal reaches the client";
    EXPECT_EQ(client.removed[0], device);
    EXPECT_EQ(manager.getCountDevices(), 0);
    // Nothing calls the procedures any more.
    const uint32_t calls = capture.calls.load();
    const auto until = std::chrono::steady_clock::now() + 200ms;
    runUntil([&] { return std::chrono::steady_clock::now() > until; });
    EXPECT_EQ(capture.calls.load(), calls);
}

TEST_F(DeviceProcessTest, EveryKernelNotificationCodeGivesItsHostNotificationsAndClientCalls)
{
    LoadedDevice loaded;
    ASSERT_NO_FATAL_FAILURE(loaded.open());
    auto& [client, manager, device] = loaded;
    const uint64_t self = device->clientID();
    const uint64_t other = self + 1;
    struct Case
    {
        uint32_t code;
        uint64_t client;
        std::vector<std::string> notifications;
        std::vector<std::string> heard;
    };
    const std::vector<Case> cases = {
        {STC_STREAM_BROKEN, other, {}, {}},
        {STC_NewConfig, other, {"object 10 glob QuNC"}, {}}, // the settings as they were: nothing else
        {STC_ChangeVolume, other, {}, {"volume"}},
        {STC_ChangeMute, other, {}, {"mute"}},
        {STC_ChangeMonitor, other, {}, {"monitor"}},
        {STC_ChangeDataSource, other, {}, {"data source"}},
        {STC_ClientAttached, other, {}, {"attached 5 6"}},
        {STC_ClientAttached, self, {}, {}},
        {STC_ClientDetached, other, {}, {"detached 5"}},
        {STC_ClientDetached, self, {}, {}},
        {STC_HOGMODECHANGED, other, {"object 10 glob oink"}, {}},
        {STC_WokenUp, other, {}, {"state 65536"}},
        {STC_Configured, other, {}, {}},
        {STC_FirmwareUpdateMode, other, {}, {}},
        {34, other, {}, {}},
        {35, other, {}, {}},
        {36, other, {}, {}},
        {STC_MixerValuesChanged, other, {}, {}},
        {STC_MixerModeChanged, other, {}, {}},
        {STC_INITCOMPLETE, other, {}, {}},
        {STC_SystemWillSleep, other, {}, {}},
        {STC_ElektronDeviceName, other, {}, {}},
        {0x20002, other, {}, {}}, // only the AudioServer device keeps its system-device store
        {0x12345, other, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "code " << c.code << (c.client == self ? " (own)" : ""));
        host.clear();
        client.heard.clear();
        QZ_StateChange change{};
        change.size = sizeof change;
        change.code = c.code;
        change.parameter1 = 5;
        change.clientID = c.client;
        change.parameter2 = 6;
        device->onServiceInterestCallback(kQzStateChangeMessage, &change);
        EXPECT_EQ(host.described(), c.notifications);
        EXPECT_EQ(client.heard, c.heard);
    }
    // A record of the wrong size is not read.
    QZ_StateChange wrong{};
    wrong.size = 35;
    wrong.code = STC_ChangeVolume;
    client.heard.clear();
    device->onServiceInterestCallback(kQzStateChangeMessage, &wrong);
    EXPECT_TRUE(client.heard.empty());
}

TEST_F(DeviceProcessTest, ARateChangedByAnotherProcessReachesThisOnesHostAndStore)
{
    LoadedDevice loaded;
    ASSERT_NO_FATAL_FAILURE(loaded.open());
    auto& [client, manager, device] = loaded;
    ASSERT_EQ(device->trueChannels().iFrequency, 44'100);
    host.clear();
    const test_support::ProgramResult other =
        programs.run(LAYER_PROCESS, {"rate", kernel.socket(), "Other", "501", "96000"});
    ASSERT_EQ(other.status, 0) << other.out;
    // The kernel's new-configuration notification arrives on this process's run loop.
    ASSERT_TRUE(runUntil([&] { return device->trueChannels().iFrequency == 96'000; }));
    ASSERT_TRUE(runUntil([&] { return host.count(kAudioDevicePropertyNominalSampleRate) >= 1; }));
    EXPECT_GE(host.count(kAudioStreamPropertyPhysicalFormat), 1U);
    EXPECT_NE(std::find(client.heard.begin(), client.heard.end(), "format"), client.heard.end());
    EXPECT_EQ(device->registry()->getSampleRate(), 96'000U) << "the new rate is stored";
    AudioStreamBasicDescription format{};
    ASSERT_EQ(device->getStreamFormat(false, &format, true, 32), 0);
    EXPECT_EQ(format.mSampleRate, 96'000.0);
}

TEST_F(DeviceProcessTest, ARateChosenWhileAnotherProcessStreamsWaitsUntilAnIOProcOfThisOneStarts)
{
    const pid_t streamer =
        programs.start(LAYER_PROCESS, {"stream", kernel.socket(), "Other", "501"}, "stream");
    ASSERT_GT(streamer, 0);
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (programs.read("stream.out").find("streaming") == std::string::npos) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << programs.read("stream.out");
        std::this_thread::sleep_for(10ms);
    }
    LoadedDevice loaded;
    ASSERT_NO_FATAL_FAILURE(loaded.open());
    auto& [client, manager, device] = loaded;
    ASSERT_TRUE(device->isRunningSomewhere());
    ASSERT_TRUE(device->setFrequency(false, 48'000));
    EXPECT_EQ(device->pendingDirection(), 2U);
    EXPECT_EQ(device->pendingChannels().iFrequency, 48'000);
    EXPECT_EQ(device->driverSM()->mChannelSettings.iFrequency, 44'100)
        << "nothing sent while the other streams";
    AudioStreamBasicDescription pending{};
    ASSERT_EQ(device->getStreamFormat(false, &pending, true, 32), 0);
    EXPECT_EQ(pending.mChannelsPerFrame, 2U);

    // Its IO procedure starts: the settings go to the kernel then.
    PlayIO play;
    IOProcEntry* id = device->addIOProcID(&PlayIO::proc, &play);
    ASSERT_TRUE(device->onDeviceStartProcOrID(id));
    EXPECT_EQ(device->pendingDirection(), 0U);
    EXPECT_EQ(device->driverSM()->mChannelSettings.iFrequency, 48'000);
    EXPECT_EQ(device->trueChannels().iFrequency, 48'000);
    ASSERT_TRUE(runUntil([&] { return play.calls.load() >= 10; }, 60s)) << "it streams at the new rate";
    EXPECT_TRUE(device->onDeviceStopProcOrID(id));
    EXPECT_TRUE(device->removeIOProcID(id));
    programs.stop(streamer, SIGTERM, "stream");
}

TEST_F(DeviceProcessTest, VersionsAndTheChosenControlsEndpoint)
{
    Client client;
    OSXDeviceManager manager(nullptr, &client, false);
    ASSERT_EQ(manager.getCountDevices(), 1);
    VKOSXDevice* device = manager.getDevice(0);
    EXPECT_EQ(device->getVersionHAL(), 0x03030B00U) << "the version this layer announced";
    EXPECT_EQ(device->getVersionUSB(), 0x03030B00U);

    // The input group's fields, written as any process may write them, then put back.
    uint8_t* group = device->driverSM()->mDeviceControls + 1'100;
    uint8_t saved[12];
    std::memcpy(saved, group, sizeof saved);
    struct Case
    {
        int32_t count;
        uint32_t independent;
        uint8_t selector;
        int entry; // -1: none
    };
    const Case cases[] = {
        {0, 1, 1, -1},  {-3, 0, 1, -1}, {4, 1, 8, 0}, {4, 0, 1, 0},  {4, 0, 2, 1},
        {8, 0, 128, 7}, {4, 0, 3, 0},   {4, 0, 0, 0}, {4, 2, 16, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.count << " " << c.independent << " " << int{c.selector});
        std::memcpy(group, &c.count, 4);
        std::memcpy(group + 4, &c.independent, 4);
        group[10] = c.selector;
        uint8_t* endpoint = device->getControlsEndpoint(true);
        if (c.entry < 0) {
            EXPECT_EQ(endpoint, nullptr);
        } else {
            EXPECT_EQ(endpoint, group + 12 + 136 * c.entry);
        }
    }
    std::memcpy(group, saved, sizeof saved);
}

// A full-speed device with 24-bit stereo each way at 44.1, 48 and 96 kHz.
class FullSpeedDeviceTest : public DeviceProcessTest
{
protected:
    const char* model() const override { return "0CCD:0014"; }
};

TEST_F(FullSpeedDeviceTest, At96kHzTheBusCarriesOnlyOneDirection)
{
    LoadedDevice loaded;
    ASSERT_NO_FATAL_FAILURE(loaded.open());
    auto& [client, manager, device] = loaded;
    ASSERT_FALSE(device->isUSB2Device());
    const QzChannelSettings& kernelSettings = device->driverSM()->mChannelSettings;
    ASSERT_EQ(kernelSettings.iInChannels, 2);
    ASSERT_EQ(kernelSettings.iOutChannels, 2);

    // Stereo both ways needs 1,152 bytes a millisecond of the 800 a full-speed device has, and
    // the device has no mono: the search keeps one direction, the first it meets (the output).
    ASSERT_TRUE(device->setFrequency(true, 96'000));
    EXPECT_EQ(kernelSettings.iFrequency, 96'000);
    EXPECT_EQ(kernelSettings.iInChannels, 0);
    EXPECT_EQ(kernelSettings.iOutChannels, 2);
    EXPECT_EQ(device->trueChannels().iInChannels, 0);

    // A stereo input asked for at 96 kHz switches the output off.
    AudioStreamBasicDescription stereo{};
    ASSERT_EQ(device->getStreamFormat(true, &stereo, false, 32), 0);
    stereo.mChannelsPerFrame = 2;
    stereo.mBytesPerFrame = stereo.mBytesPerPacket = 8;
    ASSERT_EQ(device->setStreamFormat(true, &stereo, false), 0);
    EXPECT_EQ(kernelSettings.iInChannels, 2);
    EXPECT_EQ(kernelSettings.iOutChannels, 0);
    AudioBufferList list{};
    ASSERT_EQ(device->getStreamConfiguration(true, &list), 0);
    EXPECT_EQ(list.mBuffers[0].mNumberChannels, 2U) << "the buffers follow at once";

    // Back at 48 kHz both directions are stereo again.
    ASSERT_TRUE(device->setFrequency(true, 48'000));
    EXPECT_EQ(kernelSettings.iFrequency, 48'000);
    EXPECT_EQ(kernelSettings.iInChannels, 2);
    EXPECT_EQ(kernelSettings.iOutChannels, 2);
}

} // namespace

namespace {

// What a model's own rules give once the manager has brought it up: the channels it reports and
// the formats on offer show, its latencies and its output write-ahead.
struct ModelCase
{
    const char* model;
    int32_t reportedIn;
    int32_t reportedOut;
    uint32_t shownIn; // channels of every output format on offer, and of every input one
    uint32_t shownOut;
    uint32_t inLatency;
    uint32_t outLatency;
    uint64_t writeAhead;
    // What its own steps of bring-up leave: the name hosts see, a line of this process's log and
    // one of the kernel's (null: nothing to look for).
    const char* displayName = nullptr;
    const char* line = nullptr;
    const char* kernelLine = nullptr;
};

class ModelRulesTest : public DeviceProcessTest, public testing::WithParamInterface<ModelCase>
{
protected:
    const char* model() const override { return GetParam().model; }
};

TEST_P(ModelRulesTest, ChannelsLatenciesAndWriteAheadFollowTheModelsRow)
{
    const ModelCase& c = GetParam();
    platform::log::Capture log{platform::log::Channel::system};
    LoadedDevice loaded;
    ASSERT_NO_FATAL_FAILURE(loaded.open());
    VKOSXDevice* device = loaded.device;
    if (c.displayName != nullptr) {
        EXPECT_STREQ(device->getDisplayName(), c.displayName);
    }
    if (c.line != nullptr) {
        EXPECT_TRUE(log.contains(c.line)) << c.line;
    }
    if (c.kernelLine != nullptr) {
        // The kernel host writes its log from its own process.
        EXPECT_TRUE(runUntil([&] { return kernel.log().find(c.kernelLine) != std::string::npos; }, 10s))
            << c.kernelLine;
    }
    EXPECT_EQ(device->reportedChannels().iInChannels, c.reportedIn);
    EXPECT_EQ(device->reportedChannels().iOutChannels, c.reportedOut);
    EXPECT_EQ(device->getLatency(true), c.inLatency);
    EXPECT_EQ(device->getLatency(false), c.outLatency);
    EXPECT_EQ(device->getOutWriteAhead(), c.writeAhead);
    for (bool isInput : {true, false}) {
        const uint32_t count = device->getStreamFormatNum(isInput, true);
        ASSERT_GT(count, 0U);
        std::vector<AudioStreamBasicDescription> formats(count);
        ASSERT_EQ(device->getStreamFormats(isInput, formats.data(), count, true, 32), 0);
        for (const AudioStreamBasicDescription& format : formats) {
            EXPECT_EQ(format.mChannelsPerFrame, isInput ? c.shownIn : c.shownOut) << (isInput ? "input" : "output");
        }
    }
}

// Latencies worked by hand: R rate, F = 256 frames. Input 150, or 119 + R / 4,000 for the family at
// high speed; output (4 + F / 64) x R / 1,000, less (60,000 - R) / 500 outside the family; write-ahead
// that output before the correction + 2 F; then the model's extras. The Elektron has its own.
INSTANTIATE_TEST_SUITE_P(Models, ModelRulesTest,
                         testing::Values(
                             // no row: 150; 352 - 31; 352 + 512
                             ModelCase{"Kelvra-UC3", 2, 2, 2, 2, 150, 321, 864},
                             // 6 outputs and 6 on every format; family; 44 more output and write-ahead
                             ModelCase{"Crimson-SPL", 6, 6, 6, 6, 130, 352 + 44, 864 + 44},
                             // the TEAC codec's 150 shared between the latencies; mixer mode 0: 2 x 2
                             ModelCase{"US-366", 2, 2, 2, 2, 150 + 75, 321 + 75, 864, nullptr,
                                       "Req_UserConfigChanged in channel count set to: 2"},
                             // and a millisecond more output and write-ahead; configured with the
                             // analog-in state 12 and monitor bit 0x40, mix position 14,199
                             ModelCase{"UH-7000", 2, 2, 2, 2, 150 + 75, 321 + 44 + 75, 864 + 44, nullptr, nullptr,
                                       "Req_SetMixerValues bitmap 4C knob 3777"},
                             // shown by its product name
                             ModelCase{"077D:0420", 2, 2, 2, 2, 150, 321, 864, "Mixer Deck_Bit_Accurate"},
                             // 48 kHz, 8 in and 6 out; 498 and 2.76 F + 98; (384 + 512) + 48
                             ModelCase{"1935:0006", 8, 6, 8, 6, 498, 804, 944}),
                         [](const testing::TestParamInfo<ModelCase>& param) {
                             std::string name = param.param.model;
                             std::replace_if(name.begin(), name.end(), [](char ch) { return !std::isalnum(ch); }, '_');
                             return name;
                         });

} // namespace
