// Bit-plane converters: every family's members on one block and on the blocks that carry 1 ms of
// 32 channels at 96 kHz (12,288 host bytes), each beside memcpy of the same bytes (the larger of
// the blocks a call reads and writes). After the runs a table gives, per family and workload,
// portable/vector (how much the vector member gains) and vector/memcpy (how far it stays from a
// plain copy).
#include "ConverterCatalog.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

using namespace dmaconv::testing;

namespace {

constexpr uint32_t kHostBytesPerMillisecond = 96 * 32 * 4;

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

std::vector<uint8_t> randomBytes(size_t n)
{
    std::mt19937 rng(1234);
    std::vector<uint8_t> v(n);
    for (auto& b : v) {
        b = static_cast<uint8_t>(rng());
    }
    return v;
}

void convert(benchmark::State& state, const ConverterFamily* family, DMAConvertFunc* member, unsigned calls)
{
    const auto in = randomBytes(size_t(family->inBytes) * calls);
    std::vector<uint8_t> out(size_t(family->outBytes) * calls);
    uint32_t carry = 0;
    for (auto _ : state) {
        for (unsigned i = 0; i < calls; ++i) {
            DMAConvertArgs args{};
            args.src = in.data() + size_t(i) * family->inBytes;
            args.dst = out.data() + size_t(i) * family->outBytes;
            args.carry = &carry;
            benchmark::DoNotOptimize(member(&args));
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * calls * hostBytesPerCall(*family));
}

void copy(benchmark::State& state, size_t bytes, unsigned calls)
{
    const auto in = randomBytes(bytes * calls);
    std::vector<uint8_t> out(bytes * calls);
    for (auto _ : state) {
        for (unsigned i = 0; i < calls; ++i) {
            std::memcpy(out.data() + i * bytes, in.data() + i * bytes, bytes);
        }
        benchmark::ClobberMemory();
    }
}

std::string runName(const ConverterFamily& f, const char* column, const Workload& w)
{
    return std::string(f.name) + "/" + column + "/" + w.name;
}

// Prints as usual and keeps the time of every run for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run>& reports) override
    {
        ConsoleReporter::ReportRuns(reports);
        for (const auto& run : reports) {
            if (!run.error_occurred && run.run_type == Run::RT_Iteration) {
                m_nanoseconds[run.benchmark_name()] = run.GetAdjustedRealTime();
            }
        }
    }

    double time(const std::string& name) const
    {
        const auto it = m_nanoseconds.find(name);
        return it == m_nanoseconds.end() ? 0.0 : it->second;
    }

private:
    std::map<std::string, double> m_nanoseconds;
};

void printRatios(const RatioReporter& reporter)
{
    std::printf("\n%-32s %-13s %10s %10s %10s %10s %9s %9s\n", "family", "workload", "_C ns", "_ASM ns",
                "_SSE ns", "memcpy ns", "C/SSE", "SSE/copy");
    for (const auto& f : converterFamilies()) {
        for (const auto& w : kWorkloads) {
            const double c = reporter.time(runName(f, "_C", w));
            const double a = reporter.time(runName(f, "_ASM", w));
            const double s = reporter.time(runName(f, "_SSE", w));
            const double m = reporter.time(runName(f, "memcpy", w));
            if (c == 0.0 || m == 0.0) {
                continue; // filtered out
            }
            if (s > 0.0) {
                const std::string unrolled =
                    a > 0.0 ? std::to_string(a).substr(0, std::to_string(a).find('.') + 2) : "-";
                std::printf("%-32s %-13s %10.1f %10s %10.1f %10.1f %8.1fx %8.1fx\n", f.name, w.name, c,
                            unrolled.c_str(), s, m, c / s, s / m);
            } else {
                std::printf("%-32s %-13s %10.1f %10s %10s %10.1f %9s %9s (portable only; C/copy %.1fx)\n",
                            f.name, w.name, c, "-", "-", m, "-", "-", c / m);
            }
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    for (const auto& family : converterFamilies()) {
        for (const auto& w : kWorkloads) {
            const unsigned calls = w.calls(family);
            for (const Member& m : kMembers) {
                if (DMAConvertFunc* member = m.of(family)) {
                    benchmark::RegisterBenchmark(runName(family, m.suffix, w).c_str(), convert, &family,
                                                 member, calls);
                }
            }
            benchmark::RegisterBenchmark(runName(family, "memcpy", w).c_str(), copy,
                                         std::max(family.inBytes, family.outBytes), calls);
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printRatios(reporter);
    benchmark::Shutdown();
    return 0;
}
