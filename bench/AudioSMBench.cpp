// The shared ring's hot paths beside memcpy of the same bytes: the sample copy routines, and one
// buffer written into a ring and read back out. Each benchmark reports bytes per second; the
// "ratio" counter is the routine's time over memcpy's for the same bytes (1.0 = as fast).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "AudioSM.h"
#include "platform/Log.h"

namespace {

constexpr int kFrames = 512;

// Time of memcpy of `bytes` bytes, measured once per size.
double memcpyNanoseconds(size_t bytes)
{
    std::vector<uint8_t> from(bytes, 1);
    std::vector<uint8_t> to(bytes);
    constexpr int kRounds = 20'000;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kRounds; ++i) {
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    return std::chrono::duration<double, std::nano>(elapsed).count() / kRounds;
}

void reportRatio(benchmark::State& state, size_t bytesPerIteration, double referenceNs)
{
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytesPerIteration));
    // Rate of "reference seconds" inverted: elapsed time over memcpy's time.
    state.counters["ratio"] = benchmark::Counter(static_cast<double>(state.iterations()) * referenceNs * 1e-9,
                                                 benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

template <AudioConverter Converter> void BM_Copy(benchmark::State& state)
{
    const int samples = static_cast<int>(state.range(0)) * kFrames;
    // Big enough for either side of every routine.
    std::vector<int32_t> source(static_cast<size_t>(samples) * 3, 0x01020304);
    std::vector<int32_t> destination(static_cast<size_t>(samples) * 3);
    const double reference = memcpyNanoseconds(static_cast<size_t>(samples) * sizeof(int32_t));
    for (auto _ : state) {
        Converter(destination.data(), source.data(), samples);
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    reportRatio(state, static_cast<size_t>(samples) * sizeof(int32_t), reference);
}

void BM_Saturate(benchmark::State& state)
{
    const int samples = static_cast<int>(state.range(0)) * kFrames;
    std::vector<int32_t> buffer(static_cast<size_t>(samples), 0x00012345);
    const double reference = memcpyNanoseconds(static_cast<size_t>(samples) * sizeof(int32_t));
    for (auto _ : state) {
        audioInt32Saturate(buffer.data(), samples);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    reportRatio(state, static_cast<size_t>(samples) * sizeof(int32_t), reference);
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
    const double reference = 2 * memcpyNanoseconds(bytes);
    uint64_t readPosition = 0;
    for (auto _ : state) {
        ring->writeFrames(in.data(), kFrames, 0, audioInt32CopySet, nullptr);
        uint64_t host = 0;
        ring->read(readPosition, out.data(), kFrames, host, audioInt32CopySet, nullptr);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    reportRatio(state, 2 * bytes, reference);
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
COPY_BENCHMARK(audioInt32CopyShift6To4);
COPY_BENCHMARK(audioInt32CopyShift12To8);
COPY_BENCHMARK(audioInt24to32CopyShift6To4);
BENCHMARK(BM_Saturate)->Arg(2)->Arg(32);
BENCHMARK(BM_RingWriteRead)->Arg(2)->Arg(32);

BENCHMARK_MAIN();
