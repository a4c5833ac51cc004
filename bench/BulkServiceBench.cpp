// The bulk service's per-cycle work at 32 channels each way and 96 kHz in the Varnok layout
// (1,024-byte packets, two 512-byte halves of 4 frames in, two 480-byte blocks of 5 frames out),
// for one 1 ms cycle: 96 input frames decoded (24 decoder calls into the decode buffer), 96 output
// frames saturated from the mix and encoded (19.2 encoder calls: 20 per cycle here, two per packet,
// placed around the MIDI slots). Beside it, memcpy of the bytes the cycle reads and writes.
// Prints the figure and the ratio.
#include <benchmark/benchmark.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "DMAConverterDef.h"
#include "SideBySide.h"

namespace {

constexpr uint32_t kChannels = 32;
constexpr uint32_t kFramesPerMs = 96;
constexpr uint32_t kHalves = kFramesPerMs / 4;    // decoder calls: 4 frames of 32 channels each
constexpr uint32_t kBlocks = 20;                  // encoder calls: 5 frames each (100 frames)
constexpr size_t kInBytes = size_t{kHalves} * 512; // 12,288
constexpr size_t kOutBytes = size_t{kBlocks / 2} * 1024;
constexpr size_t kMixBytes = size_t{kBlocks} * 640;

void BM_BulkServiceCycle32x32At96k(benchmark::State& state)
{
    DMAConverterInit(0);
    DMAConvertFunc* decoder = dmaDecode16To32At32Bit_VARNOK.load();
    DMAConvertFunc* encoder = dmaEncode32_VARNOK.load();
    bench::BufferPair in(kInBytes + kMixBytes);
    in.fillSource();
    std::vector<int32_t> decoded(kHalves * 128);
    std::vector<int32_t> mix(kMixBytes / 4);
    std::vector<uint8_t> packets(kOutBytes);
    auto cycle = [&] {
        const uint8_t* usb = in.source();
        for (uint32_t h = 0; h < kHalves; ++h) {
            DMAConvertArgs args{};
            args.src = usb + h * 512;
            args.dst = decoded.data() + h * 128;
            decoder(&args);
        }
        // The mix of one client: its 24-bit samples saturated into the 32-bit mix buffer.
        const auto* client = reinterpret_cast<const int32_t*>(in.source() + kInBytes);
        for (size_t i = 0; i < mix.size(); ++i) {
            const int32_t v = client[i] >> 8;
            mix[i] = v < -(1 << 23) ? INT32_MIN : v >= (1 << 23) ? 0x7FFFFF00 : v * 256;
        }
        uint8_t staging[960];
        for (uint32_t p = 0; p < kBlocks / 2; ++p) {
            for (uint32_t h = 0; h < 2; ++h) {
                DMAConvertArgs args{};
                args.src = reinterpret_cast<const uint8_t*>(mix.data()) + (2 * p + h) * 640;
                args.dst = staging + h * 480;
                encoder(&args);
            }
            uint8_t* packet = packets.data() + p * 1024;
            std::memcpy(packet, staging, 432);
            std::memcpy(packet + 434, staging + 432, 480);
            std::memcpy(packet + 916, staging + 912, 48);
        }
        benchmark::DoNotOptimize(decoded.data());
        benchmark::DoNotOptimize(packets.data());
    };
    auto reference = [&] { std::memcpy(in.destination(), in.source(), in.bytes()); };
    const auto result = bench::timeSideBySide(state, bench::repeatForBytes(in.bytes()), cycle, reference);
    std::printf("bulk service cycle, 32 x 32 channels at 96 kHz (1 ms): %.0f ns, memcpy of %zu bytes %.0f ns, "
                "ratio %.2f\n",
                result.nanoseconds, in.bytes(), result.referenceNanoseconds, result.ratio());
}
BENCHMARK(BM_BulkServiceCycle32x32At96k)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    bench::recordCoreClock();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
