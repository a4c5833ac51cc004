// Bit-plane converters: every family's members, the vector member at every instruction-set level
// this processor has, on one block and on the blocks that carry 1 ms of 32 channels at 96 kHz
// (12,288 host bytes). Each runs side by side with memcpy of the larger of the blocks a call
// reads and writes, on the same buffers. After the runs a table gives, per family and workload,
// each member's time over memcpy's, the portable member over the fastest level, and the aims.
// A level is forced by running the vector member with dmaSetVectorLevel (one column per level
// up to the processor's widest); --benchmark_filter='/_C/|_SSE@AVX2' runs one level beside the portable member.
#include "ConverterCatalog.h"
#include "SideBySide.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace dmaconv::testing;

namespace {

constexpr uint32_t kHostBytesPerMillisecond = 96 * 32 * 4;
// The vector member's aims: at most this multiple of memcpy at each level from AVX2 up, and at
// least this gain over the portable member at the fastest level.
double aimOverCopy(DMAVectorLevel level)
{
    return level == DMAVectorLevel::AVX2 ? 6.0 : level == DMAVectorLevel::SSE2 ? 0.0 : 4.0;
}
constexpr double kAimGain = 8.0;

struct Workload
{
    const char* name;
    unsigned (*calls)(const ConverterFamily&);
};

uint32_t hostBytesPerCall(const ConverterFamily& f)
{
    return f.isEncoder() ? f.count : f.count * 4;
}

const Workload kWorkloads[] = {
    {"block", [](const ConverterFamily&) { return 1u; }},
    {"1ms-32ch-96k",
     [](const ConverterFamily& f) {
         return (kHostBytesPerMillisecond + hostBytesPerCall(f) - 1) / hostBytesPerCall(f);
     }},
};

struct Column
{
    std::string name;
    DMAConvertFunc* (*of)(const ConverterFamily&);
    DMAVectorLevel level;
};

std::vector<Column> columns()
{
    std::vector<Column> list{{"_C", kMembers[0].of, DMAVectorLevel::SSE2},
                             {"_ASM", kMembers[1].of, DMAVectorLevel::SSE2}};
    for (int l = 0; l <= static_cast<int>(dmaWidestVectorLevel()); ++l) {
        const auto level = static_cast<DMAVectorLevel>(l);
        list.push_back({std::string("_SSE@") + levelName(level), kMembers[2].of, level});
    }
    return list;
}

bench::ResultTable results;

std::string runName(const ConverterFamily& f, const std::string& column, const Workload& w)
{
    return std::string(f.name) + "/" + column + "/" + w.name;
}

void convert(benchmark::State& state, const ConverterFamily* family, DMAConvertFunc* member,
             DMAVectorLevel level, unsigned calls, std::string name)
{
    dmaSetVectorLevel(level);
    const size_t largest = std::max(family->inBytes, family->outBytes);
    bench::BufferPair buffers(largest * calls);
    buffers.fillSource();
    uint32_t carry = 0;
    auto code = [&] {
        for (unsigned i = 0; i < calls; ++i) {
            DMAConvertArgs args{};
            args.src = buffers.source() + size_t(i) * family->inBytes;
            args.dst = buffers.destination() + size_t(i) * family->outBytes;
            args.carry = &carry;
            benchmark::DoNotOptimize(member(&args));
        }
    };
    auto copy = [&] {
        std::memcpy(buffers.destination(), buffers.source(), largest * calls);
    };
    results.keep(name, bench::timeSideBySide(state, bench::repeatForBytes(largest * calls), code, copy));
    state.SetBytesProcessed(int64_t(state.iterations()) * calls * hostBytesPerCall(*family));
}

void printRatios(const std::vector<Column>& cols)
{
    std::printf("\nTime over memcpy of the larger side, measured side by side (median batches); widest level "
                "%s, core clock about %.2f GHz.\ngain = portable over the fastest vector level. Aims: vector "
                "<= 6x memcpy at AVX2, <= 4x at GFNI and AVX512, gain >= %.0fx; misses are named.\n",
                levelName(dmaWidestVectorLevel()), bench::coreClockGHz(), kAimGain);
    std::printf("%-32s %-13s", "family", "workload");
    for (const auto& c : cols) {
        std::printf(" %10s", c.name.c_str());
    }
    std::printf(" %9s %8s  %s\n", "memcpy ns", "gain", "aims");
    for (const auto& f : converterFamilies()) {
        for (const auto& w : kWorkloads) {
            const bench::SideBySideResult* portable = results.find(runName(f, "_C", w));
            if (portable == nullptr) {
                continue; // filtered out
            }
            std::printf("%-32s %-13s", f.name, w.name);
            double best = 0;
            std::string missed;
            for (const auto& c : cols) {
                const bench::SideBySideResult* r = results.find(runName(f, c.name, w));
                if (r == nullptr) {
                    std::printf(" %10s", "-");
                    continue;
                }
                std::printf(" %9.2fx", r->ratio());
                if (c.name.rfind("_SSE", 0) != 0) {
                    continue;
                }
                if (best == 0 || r->ratio() < best) {
                    best = r->ratio();
                }
                const double aim = aimOverCopy(c.level);
                if (aim > 0 && r->ratio() > aim) {
                    missed += std::string(" ") + levelName(c.level) + ">" + std::to_string(int(aim)) + "x";
                }
            }
            std::printf(" %9.1f", portable->referenceNanoseconds);
            if (best > 0) {
                const double gain = portable->ratio() / best;
                if (gain < kAimGain) {
                    missed += " gain<8x";
                }
                std::printf(" %7.1fx  %s\n", gain, missed.empty() ? "met" : ("MISSED" + missed).c_str());
            } else {
                std::printf(" %8s  %s\n", "-", "-");
            }
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    const auto cols = columns();
    for (const auto& family : converterFamilies()) {
        for (const auto& w : kWorkloads) {
            const unsigned calls = w.calls(family);
            for (const auto& c : cols) {
                if (DMAConvertFunc* member = c.of(family)) {
                    const std::string name = runName(family, c.name, w);
                    benchmark::RegisterBenchmark(name.c_str(), convert, &family, member, c.level, calls, name);
                }
            }
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    bench::recordCoreClock();
    benchmark::AddCustomContext("widest_vector_level", levelName(dmaWidestVectorLevel()));
    benchmark::RunSpecifiedBenchmarks();
    printRatios(cols);
    benchmark::Shutdown();
    return 0;
}
