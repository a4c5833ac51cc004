// The shared ring's hot paths beside memcpy of the same bytes: the sample copy routines, and one
// buffer written into a ring and read back out. Each routine runs side by side with its memcpy
// (SideBySide.h); the "ratio" counter is the routine's time over memcpy's (1.0 = as fast).
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "AudioSM.h"
#include "SideBySide.h"
#include "platform/Log.h"

namespace {

constexpr int kFrames = 512;

// Every routine reads or writes at most one host word per sample, so memcpy of the host words is
// the larger side; it runs side by side with the routine on the same buffers. The channel-subset
// routines read whole source frames, more bytes than they write (6 per sample from 6- or 12-word
// frames, 4.5 from packed 18-byte frames): their buffers are made that large, so that they never
// read into their own destination.
template <AudioConverter Converter, size_t sourceBytesPerFourSamples = 16>
void BM_Copy(benchmark::State& state)
{
    const int samples = static_cast<int>(state.range(0)) * kFrames;
    const size_t bytes = static_cast<size_t>(samples) * sizeof(int32_t);
    bench::BufferPair buffers(static_cast<size_t>(samples) / 4 * sourceBytesPerFourSamples);
    buffers.fillSource();
    auto* source = reinterpret_cast<const int32_t*>(buffers.source());
    auto* destination = reinterpret_cast<int32_t*>(buffers.destination());
    bench::timeSideBySide(
        state, bench::repeatForBytes(bytes), [&] { Converter(destination, source, samples); },
        [&] { std::memcpy(destination, source, bytes); });
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void BM_Saturate(benchmark::State& state)
{
    const int samples = static_cast<int>(state.range(0)) * kFrames;
    const size_t bytes = static_cast<size_t>(samples) * sizeof(int32_t);
    bench::BufferPair buffers(bytes);
    buffers.fillSource();
    auto* buffer = reinterpret_cast<int32_t*>(buffers.destination());
    bench::timeSideBySide(
        state, bench::repeatForBytes(bytes), [&] { audioInt32Saturate(buffer, samples); },
        [&] { std::memcpy(buffers.destination(), buffers.source(), bytes); });
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

// One 512-frame buffer written at the writer's position and read back by a reader: what a
// client's output ring or the device's input ring carries per cycle. Reference: memcpy of the
// buffer twice.
void BM_RingWriteRead(benchmark::State& state)
{
    const auto channels = static_cast<uint32_t>(state.range(0));
    platform::log::setDestination(platform::log::Channel::standardOutput, nullptr);
    platform::log::setDestination(platform::log::Channel::system, nullptr);
    auto ring = std::make_unique<AudioSM>();
    ring->init(channels, 48'000, 0);
    std::vector<int32_t> in(channels * kFrames, 7);
    std::vector<int32_t> out(channels * kFrames);
    const size_t bytes = in.size() * sizeof(int32_t);
    bench::BufferPair buffers(bytes);
    buffers.fillSource();
    uint64_t readPosition = 0;
    bench::timeSideBySide(
        state, bench::repeatForBytes(2 * bytes),
        [&] {
            ring->writeFrames(in.data(), kFrames, 0, audioInt32CopySet, nullptr);
            uint64_t host = 0;
            ring->read(readPosition, out.data(), kFrames, host, audioInt32CopySet, nullptr);
            benchmark::DoNotOptimize(out.data());
        },
        [&] {
            std::memcpy(buffers.destination(), buffers.source(), bytes);
            std::memcpy(buffers.source(), buffers.destination(), bytes);
        });
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 2 * bytes));
}

} // namespace

#define COPY_BENCHMARK(fn) BENCHMARK(BM_Copy<fn>)->Name(#fn)->Arg(2)->Arg(32)
COPY_BENCHMARK(audioInt32CopySet);
COPY_BENCHMARK(audioInt32CopyAdd);
COPY_BENCHMARK(audioInt32CopyShift);
COPY_BENCHMARK(audioInt16to32Copy);
COPY_BENCHMARK(audioInt24to32Copy);
COPY_BENCHMARK(audioInt24to32CopyShift);
COPY_BENCHMARK(audioInt32to16Copy);
COPY_BENCHMARK(audioInt32to24Copy);
BENCHMARK(BM_Copy<audioInt32CopyShift6To4, 24>)->Name("audioInt32CopyShift6To4")->Arg(2)->Arg(32);
BENCHMARK(BM_Copy<audioInt32CopyShift12To8, 24>)->Name("audioInt32CopyShift12To8")->Arg(2)->Arg(32);
BENCHMARK(BM_Copy<audioInt24to32CopyShift6To4, 18>)->Name("audioInt24to32CopyShift6To4")->Arg(2)->Arg(32);
BENCHMARK(BM_Saturate)->Arg(2)->Arg(32);
BENCHMARK(BM_RingWriteRead)->Arg(2)->Arg(32);

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    bench::recordCoreClock();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
