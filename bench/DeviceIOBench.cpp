// One IO cycle of the user-side device at 32 channels each way, 96 kHz, 512 frames, with one IO
// procedure, beside memcpy of the same bytes: the input ring into the device's integer buffer,
// integer to float for the procedure, the procedure's float output to integer, mapped into the
// device's output buffer and written into the output ring. Every step (the procedure's own copy
// included) moves one buffer of 32 x 512 samples of 4 bytes, so the reference is memcpy of that
// buffer once per step.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "AudioSM.h"
#include "SampleConversion.h"
#include "SideBySide.h"
#include "VKOSXDevice.h"
#include "platform/Log.h"

namespace {

constexpr uint32_t kChannels = 32;
constexpr uint32_t kRate = 96'000;
constexpr uint32_t kFrames = 512;
constexpr size_t kBufferBytes = size_t{kChannels} * kFrames * sizeof(int32_t);
// Ring read, integer to float, output zeroed, the procedure's copy, float to integer, channel
// map, ring write.
constexpr int kSteps = 7;

// The procedure: plays its input back (a copy is what any procedure costs at least).
OSStatus playThrough(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList* in, const AudioTimeStamp*,
                     AudioBufferList* out, const AudioTimeStamp*, void*)
{
    std::memcpy(out->mBuffers[0].mData, in->mBuffers[0].mData,
                std::min(in->mBuffers[0].mDataByteSize, out->mBuffers[0].mDataByteSize));
    return 0;
}

void BM_DeviceIOCycle(benchmark::State& state)
{
    platform::log::setDestination(platform::log::Channel::standardOutput, nullptr);
    platform::log::setDestination(platform::log::Channel::system, nullptr);
    auto inRing = std::make_unique<AudioSM>();
    auto outRing = std::make_unique<AudioSM>();
    inRing->init(kChannels, kRate, 0);
    outRing->init(kChannels, kRate, 0);
    const AudioSM::Geometry inGeometry = inRing->geometry();
    const AudioSM::Geometry outGeometry = outRing->geometry();
    {
        // The kernel's side: a ring full of samples.
        bench::BufferPair fill(kBufferBytes);
        fill.fillSource();
        for (int i = 0; i < 8; ++i) {
            inRing->writeFrames(inGeometry, reinterpret_cast<const int32_t*>(fill.source()), kFrames, 0,
                                audioInt32CopySet, nullptr);
        }
    }
    AudioIOBuffer in;
    AudioIOBuffer out;
    if (!in.create(kChannels, kChannels, kFrames) || !out.create(kChannels, kChannels, kFrames)) {
        state.SkipWithError("IO buffers");
        return;
    }
    bench::BufferPair reference(kBufferBytes);
    reference.fillSource();
    uint64_t readPosition = 0;
    const AudioTimeStamp now{};
    const bench::SideBySideResult r = bench::timeSideBySide(
        state, bench::repeatForBytes(kSteps * kBufferBytes),
        [&] {
            uint64_t hostTime = 0;
            if (readPosition + kFrames > 4 * kFrames) {
                readPosition = 0;
            }
            inRing->read(inGeometry, readPosition, in.mIntBuffer, kFrames, hostTime, audioInt32CopySet,
                         nullptr);
            auto* inFloat = static_cast<float*>(in.mList.mBuffers[0].mData);
            convertIntToFloat(in.mIntBuffer, kChannels, inFloat, kChannels, kFrames);
            void* outFloat = out.mList.mBuffers[0].mData;
            std::memset(outFloat, 0, out.mList.mBuffers[0].mDataByteSize);
            playThrough(0, &now, &in.mList, &now, &out.mList, &now, nullptr);
            audioConvertFloatToSInt32LowAligned(outFloat, kChannels, kFrames);
            audioMapChannelsSet(static_cast<int32_t*>(outFloat), kChannels, out.mIntBuffer, kChannels,
                                kFrames);
            outRing->writeFrames(outGeometry, out.mIntBuffer, kFrames, 0, nullptr, nullptr);
            benchmark::DoNotOptimize(out.mIntBuffer);
        },
        [&] {
            for (int step = 0; step < kSteps; ++step) {
                if (step % 2 == 0) {
                    std::memcpy(reference.destination(), reference.source(), kBufferBytes);
                } else {
                    std::memcpy(reference.source(), reference.destination(), kBufferBytes);
                }
            }
        });
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSteps * kBufferBytes));
    std::printf(
        "IO cycle, %u channels each way, %u Hz, %u frames: %.1f us (memcpy of the same bytes %.1f us), "
        "ratio %.2f; %.2f %% of the %.0f us the cycle has\n",
        kChannels, kRate, kFrames, r.nanoseconds / 1'000, r.referenceNanoseconds / 1'000, r.ratio(),
        100.0 * r.nanoseconds / (1e9 * kFrames / kRate), 1e6 * kFrames / kRate);
}

BENCHMARK(BM_DeviceIOCycle)->MinTime(0.5)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    bench::recordCoreClock();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
