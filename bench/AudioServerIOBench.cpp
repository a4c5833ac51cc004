// The ring copies of one IO cycle of the audio server's device at 32 channels each way, 512
// frames: the read operation's copy out of the input ring into the host's buffer and the write
// operation's copy (with its shift to the ring's sample alignment) into the output ring, each
// beside memcpy of the same bytes. The host's buffers hold the device's 32-bit samples; the
// audio server converts to and from float on its side.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "AudioCopy.h"
#include "AudioSM.h"
#include "SideBySide.h"

namespace {

constexpr uint32_t kChannels = 32;
constexpr uint32_t kRate = 96'000;
constexpr uint32_t kFrames = 512;
constexpr size_t kBufferBytes = size_t{kChannels} * kFrames * sizeof(int32_t);
constexpr int kSteps = 2; // ring read, ring write

void BM_AudioServerIOCycle(benchmark::State& state)
{
    auto inRing = std::make_unique<AudioSM>();
    auto outRing = std::make_unique<AudioSM>();
    inRing->init(kChannels, kRate, 0);
    outRing->init(kChannels, kRate, 0);
    const AudioSM::Geometry inGeometry = inRing->geometry();
    const AudioSM::Geometry outGeometry = outRing->geometry();
    bench::BufferPair host(kBufferBytes);
    host.fillSource();
    for (int i = 0; i < 8; ++i) {
        inRing->writeFrames(inGeometry, reinterpret_cast<const int32_t*>(host.source()), kFrames, 0,
                            audioInt32CopySet, nullptr);
    }
    bench::BufferPair reference(kBufferBytes);
    reference.fillSource();
    uint64_t position = 0;
    uint64_t writePosition = 0;
    const bench::SideBySideResult r = bench::timeSideBySide(
        state, bench::repeatForBytes(kSteps * kBufferBytes),
        [&] {
            if (position + kFrames > 4 * kFrames) {
                position = 0;
            }
            inRing->readFromKernel(inGeometry, position, reinterpret_cast<int32_t*>(host.destination()), kFrames,
                                   audioInt32CopySet, 4);
            outRing->writeFramesToKernelAtPos(outGeometry, reinterpret_cast<const int32_t*>(host.source()), kFrames,
                                              writePosition, 500, kChannels, audioInt32CopyShift, 4);
            writePosition += kFrames;
            benchmark::DoNotOptimize(host.destination());
        },
        [&] {
            std::memcpy(reference.destination(), reference.source(), kBufferBytes);
            std::memcpy(reference.source(), reference.destination(), kBufferBytes);
        });
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSteps * kBufferBytes));
    std::printf("audio server IO cycle, %u channels each way, %u frames: %.1f us (memcpy of the same bytes %.1f us), "
                "ratio %.2f; %.2f %% of the %.0f us the cycle has at %u Hz\n",
                kChannels, kFrames, r.nanoseconds / 1'000, r.referenceNanoseconds / 1'000, r.ratio(),
                100.0 * r.nanoseconds / (1e9 * kFrames / kRate), 1e6 * kFrames / kRate, kRate);
}

BENCHMARK(BM_AudioServerIOCycle)->MinTime(0.5)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    bench::recordCoreClock();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
