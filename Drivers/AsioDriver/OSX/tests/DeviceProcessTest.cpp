// The user-mode device layer against sonvexa-kerneld with a simulated device, the kernel host in
// its own process: the manager finds the device, brings it up and configures it, and IO
// procedures move float samples through the kernel's rings and the device model's loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <vector>

#include "CoreFoundation/CFRunLoop.h"
#include "DeviceManagerClient.h"
#include "KernelProcess.h"
#include "OSXDeviceManager.h"
#include "ProgramRunner.h"
#include "SampleConversion.h"
#include "VKOSXDevice.h"
#include "platform/CoreAudioHost.h"
#include "platform/ProcessEnvironment.h"

namespace {

using namespace std::chrono_literals;

struct Client : DeviceManagerClient
{
    std::vector<VKOSXDevice*> added;
    std::vector<VKOSXDevice*> removed;
    int latencyChanges = 0;
    void deviceAdded(VKOSXDevice* device) override { added.push_back(device); }
    void deviceRemoved(VKOSXDevice* device) override { removed.push_back(device); }
    void onLatencyChanged(VKOSXDevice*) override { ++latencyChanges; }
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
    void SetUp() override
    {
        ASSERT_TRUE(kernel.start({"Kelvra-UC3"})) << kernel.log();
        kernel.releaseService();
    }
    void TearDown() override { EXPECT_EQ(kernel.stop(), 0); }

    test_support::ProgramRunner programs;
    test_support::KernelProcess kernel{programs, KERNELD};
    // A user's process (configuration candidate), rooted in the runner's folder.
    platform::process::ScopedOverride user{{.name = "TestHost", .uid = 501, .root = programs.root()}};
    platform::coreaudio::NotificationRecorder host;
};

// The tone: 16-bit values (the device is configured for 16 bits), different per channel and frame.
int32_t toneValue(uint64_t frame, uint32_t channel)
{
    const auto v = static_cast<int32_t>((frame * 7'919 + channel * 4'099 + 1'234) % 65'536) - 32'768;
    return v == 0 ? 1 : v;
}

struct ToneIO
{
    static constexpr size_t kCapture = 48'000 * 2 * 4;
    std::atomic<uint64_t> played{0};
    std::vector<float> captured = std::vector<float>(kCapture);
    std::atomic<size_t> capturedCount{0};
    std::atomic<uint32_t> calls{0};
    std::atomic<uint32_t> lastInputChannels{0};

    static OSStatus proc(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList* in, const AudioTimeStamp*,
                         AudioBufferList* out, const AudioTimeStamp*, void* data)
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
        if (out != nullptr && out->mNumberBuffers >= 1 && out->mBuffers[0].mData != nullptr) {
            const uint32_t channels = out->mBuffers[0].mNumberChannels;
            const uint32_t frames = channels != 0 ? out->mBuffers[0].mDataByteSize / 4 / channels : 0;
            auto* samples = static_cast<float*>(out->mBuffers[0].mData);
            const uint64_t first = self->played.load();
            for (uint32_t f = 0; f < frames; ++f) {
                for (uint32_t c = 0; c < channels; ++c) {
                    samples[size_t{f} * channels + c] = static_cast<float>(toneValue(first + f, c)) / 32'768.0F;
                }
            }
            self->played.store(first + frames);
        }
        return 0;
    }
};

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
    Client client;
    OSXDeviceManager manager(nullptr, &client, false);
    ASSERT_EQ(manager.getCountDevices(), 1);
    VKOSXDevice* device = manager.getDevice(0);
    device->setAudioIDs(10, 11, 12);
    ToneIO io;
    IOProcEntry* id = device->addIOProcID(&ToneIO::proc, &io);
    ASSERT_NE(id, nullptr);
    ASSERT_TRUE(device->onDeviceStartProcOrID(id));
    ASSERT_TRUE(runUntil([&] { return io.capturedCount.load() >= ToneIO::kCapture; }))
        << "captured " << io.capturedCount.load() << " samples in " << io.calls.load() << " calls";
    EXPECT_TRUE(device->onDeviceStopProcOrID(id));
    EXPECT_EQ(device->attachState(), VKOSXDevice::kDetached);
    EXPECT_GE(host.count(kAudioDevicePropertyDeviceIsRunning), 2U) << "'goin' on start and on stop";
    ASSERT_EQ(io.lastInputChannels.load(), 2U);

    // What the input proc must see of the tone: the device's 16-bit value in the top bits of the
    // ring sample, converted to float.
    auto expected = [](uint64_t frame, uint32_t channel) {
        const auto ring = static_cast<int32_t>(static_cast<uint32_t>(toneValue(frame, channel)) << 16);
        float f = 0;
        convertIntToFloat(&ring, 1, &f, 1, 1);
        return f;
    };
    const size_t frames = io.capturedCount.load() / 2;
    size_t arrival = frames;
    for (size_t f = 0; f < frames && arrival == frames; ++f) {
        if (io.captured[f * 2] == expected(0, 0) && io.captured[f * 2 + 1] == expected(0, 1)) {
            arrival = f;
        }
    }
    ASSERT_LT(arrival, frames / 2) << "the tone came back";
    size_t differing = 0;
    for (size_t f = arrival; f < frames; ++f) {
        for (uint32_t c = 0; c < 2; ++c) {
            differing += io.captured[f * 2 + c] != expected(f - arrival, c) ? 1 : 0;
        }
    }
    EXPECT_EQ(differing, 0U) << "of " << (frames - arrival) << " frames from frame " << arrival;
    EXPECT_TRUE(device->removeIOProcID(id));
}

} // namespace
