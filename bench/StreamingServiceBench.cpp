// The isochronous streaming service's work for one 1 ms cycle at the heaviest load it is built
// for: 32 channels in and out at 96 kHz, 24 bits, eight clients attached. One iteration is what the
// real-time thread does at a new bus frame (clients checked, the minimum available asked, eight
// output rings mixed, saturated and encoded into a millisecond of microframe packets) plus what the
// read completion does with a millisecond of input (eight packets decoded, the frame pattern fed,
// peaks kept, the frames and a time stamp written into the input ring).
//
// The device is a high-speed class-compliant model configured through the whole driver on the
// virtual clock; its client table, frame pattern, input ring and one block per direction are then
// laid out for 32 channels. Beside it, memcpy of the bytes the cycle reads (the eight clients'
// frames and the input packets) is the physical reference. Aim: at most 30 us per cycle.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "AudioSM.h"
#include "DriverData.h"
#include "DriverFixture.h"
#include "DriverSM.h"
#include "IOKit/IOUserClient.h"
#include "PCMCoder.h"
#include "VKDevice.h"
#include "VKKernelDevice.h"
#include "platform/Log.h"

namespace {

constexpr uint32_t kRate = 96000;
constexpr uint32_t kChannels = 32;
constexpr uint32_t kBytesPerSample = 3;
constexpr uint32_t kClients = 8;
constexpr uint32_t kFramesPerMs = kRate / 1000;
constexpr uint32_t kMicroframes = 8;
constexpr uint32_t kPacketBytes = kFramesPerMs / kMicroframes * kChannels * kBytesPerSample; // 1,152
// What the cycle reads: every client's frames of the millisecond, and the input packets.
constexpr size_t kBytesRead = size_t{kClients} * kFramesPerMs * kChannels * sizeof(int32_t) +
                              size_t{kMicroframes} * kPacketBytes;

class Cycle
{
public:
    Cycle()
    {
        service = driver.plug("class-audio-hs");
        device = service != nullptr ? service->device() : nullptr;
        if (device == nullptr || device->mpDriverSM == nullptr) {
            return;
        }
        QzChannelSettings& s = *device->getCurrentSettings();
        s = QzChannelSettings{static_cast<int32_t>(kRate), 2, 24, 2, 24, s.uConfiguration};
        driver.runInKernel([&] {
            VKDispatchLock lock(*service);
            if (service->reqConfigureDevice("bench") == kIOReturnSuccess) {
                device->startStreaming();
            }
        });
        driver.runFor(60 * driver_test::kMillisecond);
        driver.runInKernel([&] {
            VKDispatchLock lock(*service);
            device->stopStreaming(true);
        });
        if (device->mpDriverData == nullptr || device->mIsoc.out.mRBs[0] == nullptr ||
            device->mIsoc.in.mRBs[0] == nullptr) {
            return;
        }
        layOutFor32Channels();
        run();
        ready = mixesEveryClient();
    }

    ~Cycle()
    {
        if (device != nullptr && device->mpDriverData != nullptr) {
            device->setStreamingStarted(0);
            driver.runInKernel([&] {
                VKDispatchLock lock(*service);
                device->mpDriverData->detachAllClients();
            });
        }
        for (IOUserClient* client : clients) {
            client->release();
        }
    }

    // One millisecond: the real-time cycle, then the read completion's decode.
    void run()
    {
        VKIsocRB& block = *out;
        block.mStartFrame = service->getCurrentFrame(); // due now: filled whatever the clients hold
        block.mProcessedFrames = 0;
        block.markQueued();
        device->mIsoc.lastServicedFrame = 0;
        VKDevice::rtsIsocOutIsocIn(device);
        device->rtsProcessIsocIn_Std(inputRing, in);
    }

    bool ready = false;
    uint64_t outputFilled() const { return out->mbDone.load() ? 1 : 0; }

    // Every client runs and the output packets carry the mix.
    bool mixesEveryClient() const
    {
        for (const auto& ring : rings) {
            if (ring->mState != AudioSM::kStateRunning) {
                return false;
            }
        }
        for (uint32_t i = 0; i < kMicroframes * kPacketBytes; ++i) {
            if (out->mpBufferAddress[i] != 0) {
                return true;
            }
        }
        return false;
    }

private:
    void layOutFor32Channels()
    {
        const QzChannelSettings s{static_cast<int32_t>(kRate), kChannels, 24, kChannels, 24,
                                  device->getCurrentSettings()->uConfiguration};
        *device->getCurrentSettings() = s;
        DriverData& table = *device->mpDriverData;
        table.setConverters(&pcmTo24LSB, s);
        device->mFramePatternObserver.init(kRate, kBytesPerSample, kChannels, kBytesPerSample, kChannels, true,
                                           device->vidpid());
        inputRing = static_cast<AudioSM*>(device->mcAudioSM_In.address());
        table.inputRing().init(inputRing, kChannels, kRate, 0);
        device->mIsoc.in.mDecoder = &pcmFrom24LSB;

        // Eight clients whose rings hold a whole ring of frames.
        std::vector<int32_t> frames(size_t{4096} * kChannels);
        for (size_t i = 0; i < frames.size(); ++i) {
            frames[i] = static_cast<int32_t>((i * 2654435761u) & 0x7FFFFF) - 0x400000;
        }
        for (uint32_t c = 0; c < kClients; ++c) {
            auto ring = std::make_unique<AudioSM>();
            ring->init(kChannels, kRate, 0);
            clients.push_back(new IOUserClient);
            clients.back()->initWithTask(0, nullptr, 0);
            uint32_t slot = 0;
            driver.runInKernel([&] {
                VKDispatchLock lock(*service);
                table.attachClient(clients.back(), ring.get(), 2000 + static_cast<int32_t>(c), &slot, 512);
            });
            rings.push_back(std::move(ring));
        }
        device->setStreamingStarted(1); // the cycle runs; no transfer is queued
        device->mIsoc.lastServicedFrame = 0;
        AudioSM* ring = nullptr;
        if (device->rtsPrepareService(&ring)) { // the clients start running here
            device->mcAudioSM_In.unlock();
        }
        for (auto& r : rings) {
            r->writeFrames(frames.data(), static_cast<uint32_t>(frames.size() / kChannels), 0, nullptr, nullptr);
        }

        // One block per direction holding one millisecond of microframe packets.
        for (IsocData* stream : {&device->mIsoc.out, &device->mIsoc.in}) {
            for (VKIsocRB* block : stream->mRBs) {
                block->mbDone.store(true);
            }
        }
        out = device->mIsoc.out.mRBs[0];
        in = device->mIsoc.in.mRBs[0];
        for (VKIsocRB* block : {out, in}) {
            block->mbMicroFrames = true;
            block->mNumFrames = kMicroframes;
            block->mOutChannels = kChannels;
            block->mOutBytesPerSample = kBytesPerSample;
            block->mOutBytesPerSampleFrame = kChannels * kBytesPerSample;
            for (uint32_t k = 0; k < kMicroframes; ++k) {
                block->mFrames[k].frReqCount = static_cast<uint16_t>(kPacketBytes);
                block->mFrames[k].frActCount = static_cast<uint16_t>(kPacketBytes);
                block->mFrameOffsets[k] = k * kPacketBytes;
            }
        }
        for (uint32_t i = 0; i < kMicroframes * kPacketBytes; ++i) {
            in->mpBufferAddress[i] = static_cast<uint8_t>(i * 31);
        }
    }

    driver_test::DriverFixture driver;
    VKKernelDevice* service = nullptr;
    VKDevice* device = nullptr;
    AudioSM* inputRing = nullptr;
    VKIsocRB* out = nullptr;
    VKIsocRB* in = nullptr;
    std::vector<std::unique_ptr<AudioSM>> rings;
    std::vector<IOUserClient*> clients;
};

// Microseconds one memcpy of the cycle's bytes takes, measured over many copies.
double memcpyMicroseconds()
{
    std::vector<uint8_t> source(kBytesRead, 1);
    std::vector<uint8_t> destination(kBytesRead);
    constexpr int kCopies = 2000;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kCopies; ++i) {
        std::memcpy(destination.data(), source.data(), kBytesRead);
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    const std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
    return spent.count() / kCopies;
}

// The figures the last run measured, printed after the benchmark table.
double gCycleMicroseconds = 0;
double gMemcpyMicroseconds = 0;

double threadCpuMicroseconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

void BM_ServiceCycle32x32At96kHz24BitEightClients(benchmark::State& state)
{
    platform::log::Capture quiet(platform::log::Channel::kernel);
    platform::log::Capture quietOut(platform::log::Channel::standardOutput);
    Cycle cycle;
    if (!cycle.ready) {
        state.SkipWithError("the device did not configure, or its clients were not mixed");
        return;
    }
    const double start = threadCpuMicroseconds();
    for (auto _ : state) {
        cycle.run();
    }
    const double spent = threadCpuMicroseconds() - start;
    if (cycle.outputFilled() == 0) {
        state.SkipWithError("the output block was not filled");
        return;
    }
    gCycleMicroseconds = spent / static_cast<double>(state.iterations());
    gMemcpyMicroseconds = memcpyMicroseconds();
    state.counters["cycle_cpu_us"] = gCycleMicroseconds;
    state.counters["memcpy_us"] = gMemcpyMicroseconds;
    state.counters["ratio"] = gCycleMicroseconds / gMemcpyMicroseconds;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytesRead));
}
BENCHMARK(BM_ServiceCycle32x32At96kHz24BitEightClients)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (gCycleMicroseconds > 0) {
        std::printf("service cycle, 32 channels in and out at 96 kHz, 24 bits, 8 clients: %.2f us CPU per 1 ms "
                    "cycle (aim: 30 us); memcpy of the same %zu bytes: %.2f us; ratio %.1f\n",
                    gCycleMicroseconds, kBytesRead, gMemcpyMicroseconds, gCycleMicroseconds / gMemcpyMicroseconds);
    }
    return 0;
}
