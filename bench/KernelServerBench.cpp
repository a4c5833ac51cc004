// The round trip of one 268-byte structure method from a user process through the kernel host's
// socket to a user client and back. Each iteration is timed on its own; the median and the 99th
// percentile of those times are reported as counters (microseconds).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "IOKit/IOKitLib.h"
#include "TestKernel.h"
#include "platform/IOKitUser.h"
#include "platform/ProcessEnvironment.h"

namespace {

void BM_StructureMethodRoundTrip(benchmark::State& state)
{
    char pattern[] = "/tmp/kernel-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string root = pattern;
    {
        platform::process::ScopedOverride rooted(platform::process::Overrides{.root = root});
        user_test::writeTestBundle(root);
        std::string error;
        auto kernel = user_test::TestKernel::start(root + "/kernel.socket", 1, &error);
        if (!kernel) {
            state.SkipWithError(error.c_str());
            return;
        }
        platform::iokit::user::setKernelSocketPath(root + "/kernel.socket");
        io_service_t service =
            IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching("UserTestDevice"));
        io_connect_t connection = 0;
        IOServiceOpen(service, mach_task_self(), 0, &connection);

        uint8_t record[268] = {};
        std::vector<double> times;
        times.reserve(1 << 20);
        for (auto _ : state) {
            const auto start = std::chrono::steady_clock::now();
            size_t size = sizeof record;
            if (IOConnectCallStructMethod(connection, 0, record, sizeof record, record, &size) !=
                kIOReturnSuccess) {
                state.SkipWithError("the call failed");
                break;
            }
            times.push_back(
                std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
        }
        if (!times.empty()) {
            std::sort(times.begin(), times.end());
            state.counters["median_us"] = times[times.size() / 2];
            state.counters["p99_us"] = times[std::min(times.size() - 1, times.size() * 99 / 100)];
        }
        IOServiceClose(connection);
        IOObjectRelease(service);
        platform::iokit::user::setKernelSocketPath("");
    }
    std::filesystem::remove_all(root);
}
BENCHMARK(BM_StructureMethodRoundTrip)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
