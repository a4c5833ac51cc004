// Side-by-side timing: the code under test and its reference (memcpy of the larger side) run in
// alternating batches within one benchmark run, on the same buffers, so that a change of clock
// frequency, a neighbour's load or buffer placement hits both alike. The figure kept is the
// median batch of each; the "ratio" counter is code over reference.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace bench {

// A source and a destination area of `bytes` each, both starting on a cache line. The
// destination sits half a page past a page boundary from the source: when their distance is a
// multiple of 4 KiB the processor mistakes a load for depending on an earlier store to the other
// buffer (4K aliasing), and a copy's time doubles from one process run to the next with where
// the allocator happened to put them.
class BufferPair
{
public:
    explicit BufferPair(size_t bytes)
        : m_bytes(bytes), m_span((bytes + kPage - 1) / kPage * kPage + kPage),
          m_memory(static_cast<uint8_t*>(std::aligned_alloc(kPage, 2 * m_span)))
    {
        std::memset(m_memory.get(), 0, 2 * m_span);
    }

    uint8_t* source() const { return m_memory.get(); }
    uint8_t* destination() const { return m_memory.get() + m_span + kPage / 2; }
    size_t bytes() const { return m_bytes; }

    // Fills the source with a fixed pseudo-random pattern.
    void fillSource()
    {
        uint32_t x = 0x12345678u;
        for (size_t i = 0; i < m_bytes; ++i) {
            x = x * 1664525u + 1013904223u;
            source()[i] = static_cast<uint8_t>(x >> 24);
        }
    }

private:
    static constexpr size_t kPage = 4096;
    struct Free
    {
        void operator()(uint8_t* p) const { std::free(p); }
    };
    size_t m_bytes;
    size_t m_span;
    std::unique_ptr<uint8_t, Free> m_memory;
};

struct SideBySideResult
{
    double nanoseconds = 0;          // one call of the code under test, median batch
    double referenceNanoseconds = 0; // one call of the reference, median batch
    double ratio() const { return referenceNanoseconds > 0 ? nanoseconds / referenceNanoseconds : 0; }
};

// Runs `code` and `reference` alternately, each `repeat` times per batch, one batch of each per
// benchmark iteration, and reports per-call medians. `repeat` makes a batch long enough
// that the clock's own cost does not count.
template <class Code, class Reference>
SideBySideResult timeSideBySide(benchmark::State& state, unsigned repeat, Code code, Reference reference)
{
    using Clock = std::chrono::steady_clock;
    std::vector<double> codeTimes, referenceTimes;
    codeTimes.reserve(1 << 16);
    referenceTimes.reserve(1 << 16);
    bool referenceFirst = false;
    for (auto _ : state) {
        auto batch = [&](auto& f) {
            const auto start = Clock::now();
            for (unsigned i = 0; i < repeat; ++i) {
                f();
                benchmark::ClobberMemory();
            }
            return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / repeat;
        };
        // Alternate which goes first, so neither always runs with the other's data in cache.
        if (referenceFirst) {
            referenceTimes.push_back(batch(reference));
            codeTimes.push_back(batch(code));
        } else {
            codeTimes.push_back(batch(code));
            referenceTimes.push_back(batch(reference));
        }
        referenceFirst = !referenceFirst;
    }
    auto median = [](std::vector<double>& v) {
        if (v.empty()) {
            return 0.0;
        }
        std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
        return v[v.size() / 2];
    };
    SideBySideResult r{median(codeTimes), median(referenceTimes)};
    state.counters["ns"] = r.nanoseconds;
    state.counters["memcpy_ns"] = r.referenceNanoseconds;
    state.counters["ratio"] = r.ratio();
    return r;
}

// The core clock in GHz, estimated from a chain of dependent additions (one a cycle); the best of
// a few tries. On a shared or virtual machine it can differ from one process run to the next. A
// routine bound by the core slows with it while memcpy, bound by memory, barely does, so a ratio
// to memcpy is comparable between runs only at like clocks.
inline double coreClockGHz()
{
    using Clock = std::chrono::steady_clock;
    constexpr int kAdds = 1 << 20;
    double best = 0;
    for (int attempt = 0; attempt < 10; ++attempt) {
        uint64_t v = 0;
        const auto start = Clock::now();
        for (int i = 0; i < kAdds; ++i) {
            v += 1;
            asm volatile("" : "+r"(v)); // keeps each addition, in order
        }
        const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
        best = std::max(best, kAdds / ns);
    }
    return best;
}

// Records the core clock in the benchmark output's context, as "core_clock_GHz".
inline void recordCoreClock()
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", coreClockGHz());
    benchmark::AddCustomContext("core_clock_GHz", text);
}

// Batch size for calls that touch `bytes` bytes: at least 1, several microseconds of memcpy, so
// that the clock's own cost and resolution do not count.
inline unsigned repeatForBytes(size_t bytes)
{
    return static_cast<unsigned>(std::clamp<size_t>((256 * 1024) / std::max<size_t>(bytes, 1), 1, 4096));
}

// Collects each benchmark's side-by-side result by name, for the summary tables.
class ResultTable
{
public:
    void keep(const std::string& name, SideBySideResult r) { m_results[name] = r; }
    const SideBySideResult* find(const std::string& name) const
    {
        const auto it = m_results.find(name);
        return it == m_results.end() ? nullptr : &it->second;
    }

private:
    std::map<std::string, SideBySideResult> m_results;
};

} // namespace bench
