// The round trip of one audio request (the 268-byte request record of the AudioServer client's
// request method, asking for the host-driver version) from this process through sonvexa-kerneld's
// socket to the driver and back, beside a raw Unix-socket round trip of the same 268 bytes to an
// echoing process, measured in the same run, one after the other in each iteration.
// Counters: the medians (microseconds) and ratio = request median / raw median (aim: <= 1.3).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "IOKit/IOKitLib.h"
#include "platform/IOKitUser.h"

extern char** environ;

namespace {

constexpr size_t kRecordSize = 268;
constexpr uint32_t kAudioServer = 3;
constexpr uint32_t kCallDriver = 6;
constexpr uint32_t kGetHALVersion = 25;

bool fullWrite(int fd, const uint8_t* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool fullRead(int fd, uint8_t* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::read(fd, data, size);
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

double median(std::vector<double>& times)
{
    std::sort(times.begin(), times.end());
    return times.empty() ? 0 : times[times.size() / 2];
}

void BM_AudioRequestRoundTrip(benchmark::State& state)
{
    char pattern[] = "/tmp/userclient-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string root = pattern;
    const std::string socket = root + "/kernel.socket";
    const std::string log = root + "/kernel.log";
    std::vector<std::string> arguments = {KERNELD, "--socket", socket, "--log", log, "--device", "Kelvra-UC3"};
    std::vector<char*> argv;
    for (auto& a : arguments) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t daemon = -1;
    if (posix_spawn(&daemon, KERNELD, nullptr, nullptr, argv.data(), environ) != 0) {
        state.SkipWithError("sonvexa-kerneld did not start");
        return;
    }
    // The echoing process of the raw round trip.
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) {
        state.SkipWithError("no socket pair");
        return;
    }
    const pid_t echo = ::fork();
    if (echo == 0) {
        ::close(pair[0]);
        uint8_t buffer[kRecordSize];
        while (fullRead(pair[1], buffer, sizeof buffer) && fullWrite(pair[1], buffer, sizeof buffer)) {
        }
        ::_exit(0);
    }
    ::close(pair[1]);

    platform::iokit::user::setKernelSocketPath(socket);
    io_service_t service = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (service == 0 && std::chrono::steady_clock::now() < deadline) {
        service = IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching("VKKernelDevice"));
        if (service == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20)); // another process: polled
        }
    }
    io_connect_t connection = 0;
    if (service == 0 || IOServiceOpen(service, mach_task_self(), kAudioServer, &connection) != kIOReturnSuccess) {
        state.SkipWithError("the driver's AudioServer client did not open");
    } else {
        uint8_t record[kRecordSize] = {};
        record[0] = kGetHALVersion;
        uint8_t reply[kRecordSize] = {};
        std::vector<double> requestTimes;
        std::vector<double> rawTimes;
        IOReturn status = kIOReturnSuccess;
        for (auto _ : state) {
            auto start = std::chrono::steady_clock::now();
            size_t size = sizeof reply;
            status = IOConnectCallStructMethod(connection, kCallDriver, record, sizeof record, reply, &size);
            auto middle = std::chrono::steady_clock::now();
            if (!fullWrite(pair[0], record, sizeof record) || !fullRead(pair[0], reply, sizeof reply)) {
                state.SkipWithError("the echo stopped");
                break;
            }
            auto end = std::chrono::steady_clock::now();
            requestTimes.push_back(std::chrono::duration<double, std::micro>(middle - start).count());
            rawTimes.push_back(std::chrono::duration<double, std::micro>(end - middle).count());
        }
        const double request = median(requestTimes);
        const double raw = median(rawTimes);
        state.counters["request_us"] = request;
        state.counters["raw_socket_us"] = raw;
        state.counters["ratio"] = raw > 0 ? request / raw : 0;
        state.counters["status"] = static_cast<double>(static_cast<uint32_t>(status));
        std::printf("audio request round trip %.2f us, raw socket %.2f us, ratio %.2f (aim <= 1.3)\n", request, raw,
                    raw > 0 ? request / raw : 0);
        IOServiceClose(connection);
    }
    if (service != 0) {
        IOObjectRelease(service);
    }
    platform::iokit::user::setKernelSocketPath("");
    ::close(pair[0]);
    ::waitpid(echo, nullptr, 0);
    ::kill(daemon, SIGTERM);
    ::waitpid(daemon, nullptr, 0);
    std::filesystem::remove_all(root);
}
BENCHMARK(BM_AudioRequestRoundTrip)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
