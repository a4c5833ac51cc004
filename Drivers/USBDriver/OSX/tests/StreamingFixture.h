// The streaming tests' fixture: the whole driver on the simulated bus on the virtual clock, a
// device configured and streaming, clients that attach rings and play into them, and the input ring
// the device's loopback comes back into.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "AudioSM.h"
#include "DriverData.h"
#include "DriverFixture.h"
#include "DriverSM.h"
#include "IOKit/IOUserClient.h"
#include "LoopbackSignal.h"
#include "VKDevice.h"
#include "VKKernelDevice.h"

namespace streaming_test {

using driver_test::DriverFixture;
using driver_test::kMillisecond;
using loopback::arrivedSignal;
using loopback::asInput;
using loopback::signal;

// A user client as the kernel makes one: initialised, so that it has its identifier.
inline IOUserClient* madeClient()
{
    auto* client = new IOUserClient;
    client->initWithTask(0, nullptr, 0);
    return client;
}

// A client of the device: its output ring, as a user process maps and fills it.
struct Client
{
    std::unique_ptr<AudioSM> ring = std::make_unique<AudioSM>();
    IOUserClient* userClient = madeClient();
    uint32_t slot = 0;

    ~Client() { userClient->release(); }
};

class StreamingTest : public testing::Test
{
protected:
    StreamingTest() = default;
    explicit StreamingTest(const driver_test::FixtureOptions& options) : driver(options) {}

    // Plugs the model and configures it with the settings it starts with.
    VKDevice* configureDefault(const std::string& model)
    {
        service = driver.plug(model);
        device = service != nullptr ? service->device() : nullptr;
        if (device == nullptr || device->mpDriverSM == nullptr) {
            return nullptr;
        }
        IOReturn status = kIOReturnError;
        request([&] { status = service->reqConfigureDevice("test"); });
        return status == kIOReturnSuccess ? device : nullptr;
    }

    // Plugs the model, writes the stream format into the shared block and configures it.
    VKDevice* configure(const std::string& model, uint32_t rate, int32_t bits, int32_t inChannels = 2,
                        int32_t outChannels = 2)
    {
        service = driver.plug(model);
        if (service == nullptr) {
            return nullptr;
        }
        device = service->device();
        DriverSM* sm = device->mpDriverSM;
        if (sm == nullptr) {
            return nullptr;
        }
        QzChannelSettings& settings = *device->getCurrentSettings();
        settings.iFrequency = static_cast<int32_t>(rate);
        settings.iInChannels = inChannels;
        settings.iOutChannels = outChannels;
        settings.iInResolution = bits;
        settings.iOutResolution = bits;
        IOReturn status = kIOReturnError;
        driver.runInKernel([&] {
            VKDispatchLock lock(*service);
            status = service->reqConfigureDevice("test");
        });
        return status == kIOReturnSuccess ? device : nullptr;
    }

    void startStreaming()
    {
        driver.runInKernel([&] {
            VKDispatchLock lock(*service);
            device->startStreaming();
        });
    }

    // Attaches a client whose ring is laid out for the current stream, and waits until it runs.
    bool attach(Client& client)
    {
        const QzChannelSettings s = device->mpDriverSM->mChannelSettings;
        const int32_t channels = s.iOutChannels != 0 ? s.iOutChannels : s.iInChannels;
        client.ring->init(static_cast<uint32_t>(channels), static_cast<uint32_t>(s.iFrequency),
                          device->mpDriverData->extraBytesPerFrame());
        bool attached = false;
        driver.runInKernel([&] {
            VKDispatchLock lock(*service);
            attached = device->mpDriverData->attachClient(client.userClient, client.ring.get(), 1000, &client.slot,
                                                          512);
        });
        driver.runFor(5 * kMillisecond);
        return attached && client.ring->mState == AudioSM::kStateRunning;
    }

    void detach(Client& client)
    {
        driver.runInKernel([&] {
            VKDispatchLock lock(*service);
            device->mpDriverData->detachClient(client.userClient);
        });
    }

    // Writes frames into the client's ring at the kernel's absolute output positions, from the
    // position the kernel mixes next (not before the client's attach output position) on.
    void play(Client& client, const std::vector<int32_t>& samples, uint32_t channels)
    {
        AudioSM& ring = *client.ring;
        const uint64_t target = std::max<uint64_t>(ring.mAttachOutputPos, device->mIsoc.outputSamplePos);
        ring.writeFrames(samples.data(), static_cast<uint32_t>(samples.size() / channels), target - ring.getFramePos(),
                         nullptr, nullptr);
    }

    AudioSM& inputRing() { return *static_cast<AudioSM*>(device->mcAudioSM_In.address()); }

    // Plays a signal through a running client and checks that it comes back unchanged; the input
    // ring is read from `inputFrom` on.
    void expectLoopback(Client& client, uint32_t rate, int32_t bits, uint32_t seed, uint64_t inputFrom = 0)
    {
        constexpr uint32_t kChannels = 2;
        const std::vector<int32_t> samples = signal(rate / 20, kChannels, bits, seed);
        std::vector<int32_t> played(size_t{rate / 20} * kChannels, 0);
        played.insert(played.end(), samples.begin(), samples.end());
        play(client, played, kChannels);
        driver.runFor(200 * kMillisecond);
        const std::vector<int32_t> expected = asInput(samples);
        EXPECT_EQ(arrivedSignal(inputRing(), inputFrom, device->mpDriverData->inputRing().framePos(), kChannels,
                                expected.size()),
                  expected);
    }

    uint64_t inputFrames() { return device->mpDriverData->inputRing().framePos(); }

    // A request-thread call on the device, under the dispatch lock.
    template <typename Work>
    void request(Work work)
    {
        driver.runInKernel([&] {
            VKDispatchLock lock(*service);
            work();
        });
    }

    DriverFixture driver;
    VKKernelDevice* service = nullptr;
    VKDevice* device = nullptr;
};

} // namespace streaming_test
