// The round trip measured end to end on the real clock: a tone played through the AudioServer
// plug-in's IO cycles (sonvexa.driver loaded into this process by the audio-server host) to
// sonvexa-kerneld with a looping Kelvra-UC3, recorded back and aligned. Counters: the measured
// round trip in frames beside the latencies and safety offsets the device reports, and their sum
// with one buffer (the bound the round trip keeps); frames lost and cycles late by more than a
// buffer on this machine.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "AudioServerHost.h"
#include "IOEngine.h"
#include "KernelProcess.h"
#include "PlayRecord.h"
#include "ProgramRunner.h"
#include "platform/ProcessEnvironment.h"

namespace {

void BM_AudioServerRoundTrip(benchmark::State& state)
{
    test_support::ProgramRunner programs;
    test_support::KernelProcess kernel(programs, KERNELD);
    const std::filesystem::path installed = programs.root() + audiod::AudioServerHost::kDefaultDriverPath;
    std::filesystem::create_directories(installed.parent_path());
    std::filesystem::create_symlink(DRIVER, installed);
    if (!kernel.start({"Kelvra-UC3"})) {
        state.SkipWithError("sonvexa-kerneld did not start");
        return;
    }
    kernel.releaseService();
    platform::process::ScopedOverride user{{.name = "coreaudiod", .uid = 0, .root = programs.root()}};
    audiod::AudioServerHost host;
    std::string error;
    if (!host.load(audiod::AudioServerHost::kDefaultDriverPath, error) || host.initialize() != 0 ||
        !host.waitFor([&](const auto&, const auto&) { return !host.devices().empty(); }, 30.0)) {
        state.SkipWithError("the plug-in found no device");
        return;
    }
    host.settle();
    audiod::PlayReport report;
    for (auto _ : state) {
        audiod::IOEngine engine(host, host.devices().at(0));
        audiod::PlayRecord client(1.0, nullptr);
        if (engine.start(client, error) != 0) {
            state.SkipWithError(error.c_str());
            return;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (!client.done() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        engine.stop();
        report = client.report(engine.counters());
    }
    const audiod::IOFormat& f = report.format;
    state.counters["round_trip_frames"] = static_cast<double>(report.delay);
    state.counters["latency_in"] = f.inputLatency;
    state.counters["latency_out"] = f.outputLatency;
    state.counters["safety_in"] = f.inputSafetyOffset;
    state.counters["safety_out"] = f.outputSafetyOffset;
    state.counters["reported_with_buffer"] = static_cast<double>(report.delayBound());
    state.counters["frames_lost"] = static_cast<double>(report.framesLost + report.framesLostAtStart);
    state.counters["overloads"] = static_cast<double>(report.counters.overloads);
    std::printf("round trip %lld frames (%.2f ms at %.0f Hz); reported latency %u + %u, safety offset %u + %u, "
                "with one buffer of %u: %llu frames\n",
                static_cast<long long>(report.delay), static_cast<double>(report.delay) * 1000.0 / f.rate, f.rate,
                f.inputLatency, f.outputLatency, f.inputSafetyOffset, f.outputSafetyOffset, f.bufferFrames,
                static_cast<unsigned long long>(report.delayBound()));
    kernel.stop();
}
BENCHMARK(BM_AudioServerRoundTrip)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
