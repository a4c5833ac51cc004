// The PCM coders, input post-processors and output mixers on two workloads: 1 ms of 32 channels at
// 96 kHz, and a 512-frame stereo buffer. Each coder runs side by side with memcpy of its host words
// (SideBySide.h); at the end a table gives every coder's time as a multiple of that memcpy.
#include "PCMCoder.h"
#include "PCMCoderShuffles.h"
#include "SideBySide.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

struct Workload
{
    const char* name;
    uint32_t samples;
};
constexpr Workload kWorkloads[] = {{"1ms_32ch_96kHz", 96 * 32}, {"512frames_2ch", 512 * 2}};

struct Coder
{
    const char* name;
    PCMDecoder decoder;
    PCMEncoder encoder;
    uint32_t bytesPerSample;
    uint32_t group; // samples converted together
};

const Coder kCoders[] = {
    {"pcmFrom16LSB", pcmFrom16LSB, nullptr, 2, 1},
    {"pcmFrom16MSB", pcmFrom16MSB, nullptr, 2, 1},
    {"pcmFrom16LSBChannelSwap", pcmFrom16LSBChannelSwap, nullptr, 2, 2},
    {"pcmFrom16LSBChannelSwapMI_4", pcmFrom16LSBChannelSwapMI_4, nullptr, 2, 4},
    {"pcmFrom24LSB", pcmFrom24LSB, nullptr, 3, 1},
    {"pcmFrom24LSBChannelSwap", pcmFrom24LSBChannelSwap, nullptr, 3, 2},
    {"pcmFrom24LSBChannelSwapMI_4", pcmFrom24LSBChannelSwapMI_4, nullptr, 3, 4},
    {"pcmFrom24Access", pcmFrom24Access, nullptr, 3, 1},
    {"pcmFrom24TUSB", pcmFrom24TUSB, nullptr, 3, 1},
    {"pcmFrom24TUSB2ch", pcmFrom24TUSB2ch, nullptr, 3, 2},
    {"pcmFrom32LSB", pcmFrom32LSB, nullptr, 4, 1},
    {"pcmTo16LSB", nullptr, pcmTo16LSB, 2, 1},
    {"pcmTo16MSB", nullptr, pcmTo16MSB, 2, 1},
    {"pcmTo16LSBChannelSwap", nullptr, pcmTo16LSBChannelSwap, 2, 2},
    {"pcmTo24LSB", nullptr, pcmTo24LSB, 3, 1},
    {"pcmTo24LSBChannelSwap", nullptr, pcmTo24LSBChannelSwap, 3, 2},
    {"pcmTo24Access", nullptr, pcmTo24Access, 3, 1},
    {"pcmTo24TUSB", nullptr, pcmTo24TUSB, 3, 1},
    {"pcmTo24TUSB2ch", nullptr, pcmTo24TUSB2ch, 3, 2},
    {"pcmTo24Corlanth4CH", nullptr, pcmTo24Corlanth4CH, 3, 4},
    {"pcmTo24Corlanth6CH", nullptr, pcmTo24Corlanth6CH, 3, 6},
    {"pcmTo24LSB_US144_10", nullptr, pcmTo24LSB_US144_10, 3, 4},
    {"pcmTo32LSB", nullptr, pcmTo32LSB, 4, 1},
};

std::vector<int32_t> hostSamples(size_t count)
{
    std::vector<int32_t> host(count);
    uint32_t x = 0x12345678;
    for (auto& h : host) {
        x = x * 1664525u + 1013904223u;
        h = static_cast<int32_t>(x);
    }
    return host;
}

bench::ResultTable results;
constexpr double kAimOverCopy = 1.5;

// The shuffle level of the members under test: the processor's, or a lower one named by
// --pcm_level=none|ssse3|avx2|avx512 to see how processors without the wider instructions fare.
PCMShuffleLevel gLevel = PCMShuffleLevel::none; // set in main, once the coders' globals are set up
const char* const kLevelNames[] = {"none", "ssse3", "avx2", "avx512"};

// Side by side with memcpy of the host words: the larger side, the bytes a widening decoder
// writes and a narrowing encoder reads.
void runCoder(benchmark::State& state, const Coder& coder, uint32_t samples, std::string name)
{
    samples = samples / coder.group * coder.group;
    const uint32_t bytes = samples * coder.bytesPerSample;
    const size_t hostBytes = size_t(samples) * 4;
    bench::BufferPair buffers(hostBytes);
    // The member the coder choice hands the streaming engine.
    const PCMDecoder decoder = coder.decoder != nullptr ? pcmDecoderAt(coder.decoder, gLevel) : nullptr;
    const PCMEncoder encoder = coder.encoder != nullptr ? pcmEncoderAt(coder.encoder, gLevel) : nullptr;
    const std::vector<int32_t> samplesIn = hostSamples(samples);
    std::memcpy(buffers.source(), samplesIn.data(), hostBytes);
    auto* host = reinterpret_cast<int32_t*>(decoder != nullptr ? buffers.destination() : buffers.source());
    uint8_t* device = decoder != nullptr ? buffers.source() : buffers.destination();
    auto code = [&] {
        if (decoder != nullptr) {
            _USB_DEC_DATA record{host, device, bytes};
            benchmark::DoNotOptimize(decoder(&record));
        } else {
            benchmark::DoNotOptimize(encoder(reinterpret_cast<char*>(device), host, bytes));
        }
    };
    auto copy = [&] { std::memcpy(buffers.destination(), buffers.source(), hostBytes); };
    results.keep(name, bench::timeSideBySide(state, bench::repeatForBytes(hostBytes), code, copy));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes);
}

void runMixer(benchmark::State& state, OutMixer mixer, uint32_t channels, uint32_t samples)
{
    const uint32_t frames = samples / channels;
    std::vector<int32_t> initial = hostSamples(frames * channels);
    std::vector<uint32_t> buffer(initial.size());
    QZ_Fraction left[32];
    QZ_Fraction right[32];
    uint8_t routing[32];
    for (int i = 0; i < 32; ++i) {
        left[i] = {i % 2 == 0 ? 1 : 0, 1};
        right[i] = {i % 2 == 0 ? 0 : 1, 1};
        routing[i] = static_cast<uint8_t>(i);
    }
    for (auto _ : state) {
        std::memcpy(buffer.data(), initial.data(), buffer.size() * 4);
        benchmark::DoNotOptimize(mixer(buffer.data(), frames, left, right, routing));
        benchmark::ClobberMemory();
    }
    state.counters["frames"] = frames;
}

void runPostProcessor(benchmark::State& state, PostProcessorFunction function, uint32_t samples)
{
    std::vector<int32_t> buffer = hostSamples(samples);
    for (auto _ : state) {
        function(buffer.data(), samples);
        benchmark::ClobberMemory();
    }
}

void printRatios()
{
    std::printf("\nCoder time over memcpy of the host words, measured side by side (median batches); "
                "aim <= %.1fx. Shuffle level %s; core clock about %.2f GHz.\n",
                kAimOverCopy, kLevelNames[static_cast<int>(gLevel)], bench::coreClockGHz());
    std::printf("%-30s %-16s %10s %10s %7s %6s\n", "coder", "workload", "coder ns", "memcpy ns", "ratio",
                "aim");
    for (const auto& workload : kWorkloads) {
        for (const auto& coder : kCoders) {
            const auto* r = results.find(std::string(coder.name) + "/" + workload.name);
            if (r == nullptr) {
                continue;
            }
            std::printf("%-30s %-16s %10.1f %10.1f %6.2fx %6s\n", coder.name, workload.name, r->nanoseconds,
                        r->referenceNanoseconds, r->ratio(), r->ratio() <= kAimOverCopy ? "met" : "MISSED");
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    gLevel = supportedPCMShuffleLevel();
    const std::string levelFlag = "--pcm_level=";
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], levelFlag.c_str(), levelFlag.size()) != 0) {
            continue;
        }
        const std::string wanted = argv[i] + levelFlag.size();
        const auto* found = std::find(std::begin(kLevelNames), std::end(kLevelNames), wanted);
        if (found == std::end(kLevelNames)) {
            std::fprintf(stderr, "unknown shuffle level %s (none, ssse3, avx2, avx512)\n", wanted.c_str());
            return 2;
        }
        gLevel = std::min(static_cast<PCMShuffleLevel>(found - std::begin(kLevelNames)),
                          supportedPCMShuffleLevel());
        std::copy(argv + i + 1, argv + argc + 1, argv + i); // leave the rest to the benchmark library
        --argc;
        break;
    }
    for (const auto& workload : kWorkloads) {
        for (const auto& coder : kCoders) {
            const std::string name = std::string(coder.name) + "/" + workload.name;
            benchmark::RegisterBenchmark(name.c_str(), runCoder, coder, workload.samples, name);
        }
        const struct
        {
            const char* name;
            OutMixer mixer;
            uint32_t channels;
        } mixers[] = {{"outMixer2CH", outMixer2CH, 2},
                      {"outMixer4CH", outMixer4CH, 4},
                      {"outMixer6CH", outMixer6CH, 6}};
        for (const auto& m : mixers) {
            const std::string name = std::string(m.name) + "/" + workload.name;
            benchmark::RegisterBenchmark(name.c_str(), runMixer, m.mixer, m.channels, workload.samples);
        }
        const struct
        {
            const char* name;
            PostProcessorFunction function;
        } postProcessors[] = {{"postprocessACV0BugFix", postprocessACV0BugFix},
                              {"postprocessUS144_10", postprocessUS144_10},
                              {"postprocessUS600_210", postprocessUS600_210}};
        for (const auto& p : postProcessors) {
            const std::string name = std::string(p.name) + "/" + workload.name;
            benchmark::RegisterBenchmark(name.c_str(), runPostProcessor, p.function, workload.samples);
        }
    }

    benchmark::Initialize(&argc, argv);
    bench::recordCoreClock();
    benchmark::RunSpecifiedBenchmarks();
    printRatios();
    benchmark::Shutdown();
    return 0;
}
