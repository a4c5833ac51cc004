// The user clients of sonvexa-kerneld from other processes, through the user-side IOKit only:
// their edge rules, a process streaming through the device's loopback bit-exact, clients killed
// with SIGKILL mid-stream giving back their slot and everything the kernel host holds for them,
// and a process scribbling over every block it can map while the kernel goes on.
//
// VK_KILL_LOOPS sets how many clients the kill test starts and kills (20 unless set; the soak
// script in the README runs hundreds).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <unistd.h>

#include "CoreFoundation/CFRunLoop.h"
#include "IOKit/IOKitLib.h"
#include "KernelProcess.h"
#include "MidiRings.h"
#include "ProgramRunner.h"
#include "usbsim/Bus.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr uint32_t kAudio = 0;
constexpr uint32_t kMidi = 1;
constexpr uint32_t kControl = 2;
constexpr uint32_t kAudioServer = 3;
constexpr uint32_t kGetUserClassID = 7;
constexpr IOReturn kNotPrivileged = static_cast<IOReturn>(0xE00002C1);
constexpr uint32_t kStreamBroken = 2; // state change

// Waits in real time (another process: only polling tells) until `done` holds or the deadline.
template <class Done> bool waitUntil(Done done, std::chrono::seconds limit = 30s)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// What the kernel host holds: open files, threads, resident pages.
struct Usage
{
    long files = 0;
    long threads = 0;
    long residentKiB = 0;
};

Usage usageOf(pid_t pid)
{
    Usage usage;
    const std::string proc = "/proc/" + std::to_string(pid);
    std::error_code error;
    for (auto it = fs::directory_iterator(proc + "/fd", error); !error && it != fs::directory_iterator(); ++it) {
        ++usage.files;
    }
    // The bus's completion threads are a pool of the bus, not of a device or a client.
    for (auto it = fs::directory_iterator(proc + "/task", error); !error && it != fs::directory_iterator(); ++it) {
        std::ifstream comm(it->path() / "comm");
        std::string name;
        std::getline(comm, name);
        usage.threads += name == usbsim::kCompletionThreadName ? 0 : 1;
    }
    std::ifstream status(proc + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            usage.residentKiB = std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return usage;
}

// Waits until the host's open files and threads are back within `limit` (called `label` in the
// message); `now` is the last reading.
testing::AssertionResult settlesWithin(pid_t daemon, const Usage& limit, const char* label, Usage& now)
{
    if (waitUntil([&] {
            now = usageOf(daemon);
            return now.files <= limit.files && now.threads <= limit.threads;
        })) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << "files " << now.files << " (" << label << " " << limit.files
                                       << "), threads " << now.threads << " (" << label << " " << limit.threads
                                       << ")";
}

// State changes of the device as a listener's run loop receives them: (code, parameter 1); and
// whether the device's termination was announced.
struct Listener
{
    std::vector<std::pair<uint32_t, uint32_t>> changes;
    std::vector<uint64_t> clients; // the client each change names
    bool terminated = false;
    IONotificationPortRef port = nullptr;
    io_object_t notification = 0;

    bool listen(io_service_t service)
    {
        port = IONotificationPortCreate(kIOMasterPortDefault);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port), kCFRunLoopDefaultMode);
        auto callback = [](void* refcon, io_service_t, natural_t type, void* argument) {
            auto* self = static_cast<Listener*>(refcon);
            if (type == 0xE0000130 && argument != nullptr) {
                uint32_t words[3];
                std::memcpy(words, argument, sizeof words);
                self->changes.emplace_back(words[1], words[2]);
                uint64_t client = 0;
                std::memcpy(&client, static_cast<const uint8_t*>(argument) + 12, sizeof client);
                self->clients.push_back(client);
            }
            self->terminated = self->terminated || type == kIOMessageServiceIsTerminated;
        };
        return IOServiceAddInterestNotification(port, service, kIOGeneralInterest, callback, this, &notification) ==
               kIOReturnSuccess;
    }
    size_t seen(uint32_t code) const
    {
        return static_cast<size_t>(
            std::count_if(changes.begin(), changes.end(), [&](const auto& c) { return c.first == code; }));
    }
    // Runs the run loop until `count` changes of `code` came or `limit` passed.
    size_t await(uint32_t code, size_t count, std::chrono::seconds limit = 20s)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (seen(code) < count && std::chrono::steady_clock::now() < deadline) {
            CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.02, true);
        }
        return seen(code);
    }
    // Runs the run loop until a change of `code` naming `client` came, from the `since`th change
    // on, or 20 s passed.
    bool awaitFrom(uint32_t code, uint64_t client, size_t since)
    {
        auto heard = [&] {
            for (size_t i = since; i < changes.size(); ++i) {
                if (changes[i].first == code && clients[i] == client) {
                    return true;
                }
            }
            return false;
        };
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!heard() && std::chrono::steady_clock::now() < deadline) {
            CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.02, true);
        }
        return heard();
    }
    ~Listener()
    {
        if (notification != 0) {
            IOObjectRelease(notification);
        }
        if (port != nullptr) {
            IONotificationPortDestroy(port);
        }
    }
};

class UserClientProcessTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(kernel.start({"Kelvra-UC3"})) << "the driver started on the device";
        socket = kernel.socket();
        daemon = kernel.pid();
        service = kernel.service();
    }

    void TearDown() override { EXPECT_EQ(kernel.stop(), 0) << "the kernel host ended cleanly"; }

    io_connect_t open(uint32_t type)
    {
        io_connect_t connection = 0;
        EXPECT_EQ(IOServiceOpen(service, mach_task_self(), type, &connection), kIOReturnSuccess) << "type " << type;
        return connection;
    }

    // Starts UserClientProcess and waits for its line starting with `word`; -1 when it did not
    // get there (then its output tells why).
    pid_t startClient(const std::vector<std::string>& arguments, const std::string& name,
                      const std::string& word = "ready")
    {
        const pid_t pid = programs.start(CLIENT_PROCESS, arguments, name);
        if (pid <= 0) {
            return -1;
        }
        std::string out;
        waitUntil([&] {
            out = programs.read(name + ".out");
            return out.find(word) != std::string::npos || out.find("failed") != std::string::npos;
        });
        if (out.find(word) == std::string::npos) {
            programs.stop(pid, SIGKILL, name);
            return -1;
        }
        return pid;
    }

    // A process that configures the device, attaches and streams a known signal through its
    // loopback, from the moment the signal comes back.
    pid_t startStreamer()
    {
        streamerPid = startClient({"stream", socket, "7"}, "streamer", "streaming");
        return streamerPid;
    }
    // Ends the stream: the streamer checks what came back and detaches. Empty when all of it came
    // back bit-exact, else what the streamer said.
    std::string finishStream(pid_t streamer)
    {
        const test_support::ProgramResult result = programs.stop(streamer, SIGTERM, "streamer");
        if (result.status == 0 && result.out.find("bit-exact") != std::string::npos) {
            return "";
        }
        return "status " + std::to_string(result.status) + ": " + result.out + result.err;
    }

    // The host runs on the real clock. Where the machine does not run it in time (a virtual
    // machine's processor held back for tens of milliseconds), the kernel misses deadlines and
    // keeps its own record of it: a completion later than the frames the driver queued ahead
    // breaks the stream (state change 2); the real-time side counts what it met and a request
    // thread reports it ("real-time record of ..."): reads the bus refused as too old (the stream
    // goes on from the current frame), service periods that came late (the service thread has a
    // real-time deadline policy: a delay of 4 ms is the machine's), output records the bus sent
    // before the cycle filled them, blocks still in flight when due, and frames mixed before the
    // streaming client had written them (a client process held back). A stream that missed
    // deadlines proves nothing about the audio; one that came back wrong without any of these
    // records is the kernel's fault.
    struct Deadlines
    {
        size_t breaks = 0;
        size_t refusedReads = 0;
        size_t lateServices = 0; // reports of service periods with one 4 ms or more late
        long latestService = 0;  // microseconds
        size_t lostFrames = 0;   // frames the kernel recorded as sent wrong or not at all
    };
    Deadlines missedDeadlines(const Listener& listener) const
    {
        Deadlines missed{listener.seen(kStreamBroken), 0, 0, 0, 0};
        const std::string log = kernel.log();
        // "+N" after `name` on each report line that has it.
        auto added = [&](std::string_view name, const std::function<void(size_t at, long n)>& each) {
            for (size_t at = log.find(name); at != std::string::npos; at = log.find(name, at + 1)) {
                const size_t plus = log.find('+', at + name.size());
                if (plus != std::string::npos && plus == at + name.size() + 1) {
                    each(plus, std::atol(log.c_str() + plus + 1));
                }
            }
        };
        added(": refused reads", [&](size_t, long n) { missed.refusedReads += static_cast<size_t>(n); });
        added(": late service periods", [&](size_t at, long) {
            constexpr std::string_view kLatest = "latest ";
            const size_t latest = log.find(kLatest, at);
            const long delay =
                latest != std::string::npos ? std::atol(log.c_str() + latest + kLatest.size()) : 0;
            missed.lateServices += delay >= 4000 ? 1 : 0;
            missed.latestService = std::max(missed.latestService, delay);
        });
        for (const char* lost : {": output records sent unfilled", ": blocks still in use when due",
                                 ": frames lost to late writes", ": unreadable frame numbers"}) {
            added(lost, [&](size_t, long n) { missed.lostFrames += static_cast<size_t>(n); });
        }
        if (streamerPid > 0) {
            const std::string late =
                "client of process " + std::to_string(streamerPid) + ": frames mixed before it wrote them";
            added(late, [&](size_t, long n) { missed.lostFrames += static_cast<size_t>(n); });
        }
        return missed;
    }
    static std::string describe(const Deadlines& d)
    {
        return "kernel's record: " + std::to_string(d.breaks) + " breaks, " + std::to_string(d.refusedReads) +
               " refused reads, " + std::to_string(d.lateServices) + " late service periods (latest " +
               std::to_string(d.latestService) + " us), " + std::to_string(d.lostFrames) + " frames lost";
    }
    // True when `verdict` (of finishStream or startStreamer) tells of a stream that missed its
    // deadlines, by the kernel's record, since `before`.
    bool brokenByTheMachine(Listener& listener, const Deadlines& before, const std::string& verdict)
    {
        if (verdict.empty()) {
            return false;
        }
        listener.await(kStreamBroken, before.breaks + 1, 2s);
        const Deadlines now = missedDeadlines(listener);
        return now.breaks > before.breaks || now.refusedReads > before.refusedReads ||
               now.lateServices > before.lateServices || now.lostFrames > before.lostFrames;
    }

    // Starts a streamer, again when the machine broke the stream before it came back; -1 when it
    // did not start eight times.
    pid_t startStream(Listener& listener)
    {
        for (int run = 0; run < 8; ++run) {
            const Deadlines before = missedDeadlines(listener);
            const pid_t streamer = startStreamer();
            if (streamer > 0 || !brokenByTheMachine(listener, before, programs.read("streamer.out"))) {
                return streamer;
            }
        }
        return -1;
    }

    // Streams while `during` runs, until a stream comes back whole: "" then, else what went wrong.
    // A stream the machine broke is streamed again, eight times at most; when every one was
    // broken, kMachineMissedDeadlines.
    static constexpr const char* kMachineMissedDeadlines = "every stream missed its deadlines";
    std::string streamWhile(Listener& listener, const std::function<void()>& during)
    {
        for (int run = 0; run < 8; ++run) {
            const Deadlines before = missedDeadlines(listener);
            const pid_t streamer = startStreamer();
            std::string verdict = "the stream did not start: " + programs.read("streamer.out");
            if (streamer > 0) {
                during();
                verdict = finishStream(streamer);
            }
            if (!brokenByTheMachine(listener, before, verdict)) {
                return verdict.empty() ? verdict : verdict + "; " + describe(missedDeadlines(listener));
            }
        }
        return kMachineMissedDeadlines;
    }

    test_support::ProgramRunner programs;
    test_support::KernelProcess kernel{programs, KERNELD};
    std::string socket;
    pid_t daemon = -1;
    pid_t streamerPid = -1;   // the latest streamer
    io_service_t service = 0; // the kernel's
};

TEST_F(UserClientProcessTest, ConnectionAndMemoryRulesHoldForAnotherProcess)
{
    io_connect_t midi = 0;
    EXPECT_EQ(IOServiceOpen(service, mach_task_self(), 9, &midi), kIOReturnBadArgument);
    const io_connect_t audio = open(kAudio);
    const io_connect_t control = open(kControl);
    const io_connect_t audioServer = open(kAudioServer);

    // An AudioServer client has no asynchronous blocks.
    for (uint32_t type : {6u, 7u, 2u, 3u, 0u}) {
        mach_vm_address_t address = 0;
        mach_vm_size_t size = 0;
        EXPECT_EQ(IOConnectMapMemory64(audioServer, type, mach_task_self(), &address, &size, kIOMapAnywhere),
                  kIOReturnNoMemory)
            << "type " << type;
    }
    // The audio client's transport block is one block, however often it is asked for.
    mach_vm_address_t first = 0;
    mach_vm_address_t second = 0;
    mach_vm_size_t size = 0;
    ASSERT_EQ(IOConnectMapMemory64(audio, 7, mach_task_self(), &first, &size, kIOMapAnywhere), kIOReturnSuccess);
    EXPECT_EQ(size, 33'556u);
    reinterpret_cast<volatile uint8_t*>(first)[33'555] = 0x77;
    ASSERT_EQ(IOConnectMapMemory64(audio, 7, mach_task_self(), &second, &size, kIOMapAnywhere), kIOReturnSuccess);
    EXPECT_EQ(reinterpret_cast<volatile uint8_t*>(second)[33'555], 0x77);

    // The control client's record is 260 bytes; anything else is refused as not privileged.
    uint8_t record[268] = {};
    size_t outSize = 268;
    EXPECT_EQ(IOConnectCallStructMethod(control, 0, record, 268, record, &outSize), kNotPrivileged);
    outSize = 260;
    EXPECT_EQ(IOConnectCallStructMethod(control, 0, record, 259, record, &outSize), kNotPrivileged);

    uint64_t in = 0;
    uint64_t id = 0;
    uint32_t count = 1;
    EXPECT_EQ(IOConnectCallScalarMethod(audioServer, kGetUserClassID, &in, 1, &id, &count), kIOReturnSuccess);
    EXPECT_NE(id, 0u);
    IOServiceClose(audio);
    IOServiceClose(control);
    IOServiceClose(audioServer);
}

// Another process configures the device (requests 6, 7, 1), attaches with its output ring mapped,
// plays a known signal through the device's loopback and reads it back from the input ring
// bit-exact; the listener's run loop hears each step in order.
TEST_F(UserClientProcessTest, AProcessStreamsThroughTheLoopbackBitExactAndEveryStepIsAnnounced)
{
    Listener listener;
    ASSERT_TRUE(listener.listen(service));
    // A second of audio, the listener's run loop running meanwhile.
    const std::string verdict =
        streamWhile(listener, [] { CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1.0, false); });
    ASSERT_GE(listener.await(12, 1), 1u);
    // The first stream's changes (a stream the machine broke announced that on the way).
    std::vector<std::pair<uint32_t, uint32_t>> changes;
    for (const auto& change : listener.changes) {
        if (change.first != kStreamBroken) {
            changes.push_back(change);
        }
        if (change.first == 12) {
            break;
        }
    }
    std::vector<uint32_t> codes;
    for (const auto& change : changes) {
        codes.push_back(change.first);
    }
    // Request 6: configured (14) and the new configuration (3); 7 changes nothing; 1: configured
    // and initialisation complete (52); attached (11) and detached (12).
    EXPECT_EQ(codes, (std::vector<uint32_t>{14, 3, 14, 52, 11, 12}));
    ASSERT_EQ(changes.size(), 6u);
    EXPECT_EQ(changes[4].second, 1u) << "one client attached";
    EXPECT_EQ(changes[5].second, 0u) << "none after the detach";
    if (verdict == kMachineMissedDeadlines) {
        GTEST_SKIP() << "the audio: " << verdict << " on this machine, by the kernel's record";
    }
    EXPECT_EQ(verdict, "");
}

// Host time in milliseconds, as the kernel's "@ms" log lines give it (one clock for every process).
long long hostMilliseconds()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// What the kernel logged of each client's death: when its detach began ("@ms onStopHardware") and
// how often the detach found the slot in use by a mixing pass (each time it waits one millisecond).
struct Detach
{
    long long at = 0;
    int waits = 0;
};

std::vector<Detach> detachesIn(const std::string& log)
{
    std::vector<Detach> detaches;
    size_t at = 0;
    while (at < log.size()) {
        const size_t end = std::min(log.find('\n', at), log.size());
        const std::string line = log.substr(at, end - at);
        at = end + 1;
        if (line.size() > 1 && line[0] == '@' && line.ends_with(" onStopHardware")) {
            detaches.push_back({std::atoll(line.c_str() + 1), 0});
        } else if (line.starts_with("ClientData__detach OSAtomicAdd32 returned") && !detaches.empty()) {
            ++detaches.back().waits;
        }
    }
    return detaches;
}

// Processes streaming through an attached client are killed one after another while another
// process streams: each death is announced, its slot goes to the next one, the other stream loses
// no frame, and the kernel host's files, threads and memory come back to where they were.
TEST_F(UserClientProcessTest, ClientsKilledWithSigkillMidStreamGiveBackTheirSlotAndWhatTheKernelHostHeld)
{
    const char* loopsText = std::getenv("VK_KILL_LOOPS");
    const int loops = loopsText != nullptr ? std::max(1, std::atoi(loopsText)) : 20;
    Listener listener;
    ASSERT_TRUE(listener.listen(service));
    int wholeStreams = 0;
    int brokenStreams = 0;
    Deadlines missed = missedDeadlines(listener);
    pid_t streamer = startStream(listener); // slot 0
    ASSERT_GT(streamer, 0) << programs.read("streamer.out") << programs.read("streamer.err");
    // A stream the machine broke (see brokenByTheMachine) is ended and started again; every other
    // one must come back whole.
    auto endStream = [&] {
        const std::string verdict = finishStream(streamer);
        streamer = -1;
        if (brokenByTheMachine(listener, missed, verdict)) {
            ++brokenStreams;
        } else {
            EXPECT_EQ(verdict, "") << "the stream beside the deaths; " << describe(missedDeadlines(listener));
            wholeStreams += verdict.empty() ? 1 : 0;
        }
        missed = missedDeadlines(listener);
    };
    // Kills a holder ("ready SLOT ID" in its output) and waits for its detach to be announced.
    auto kill = [&](pid_t pid, const std::string& name) {
        const std::string out = programs.read(name + ".out");
        const uint64_t id = std::strtoull(out.c_str() + out.find(' ', out.find("ready ") + 6), nullptr, 10);
        const size_t since = listener.changes.size();
        programs.stop(pid, SIGKILL, name);
        if (!listener.awaitFrom(12, id, since)) {
            return false;
        }
        if (listener.seen(kStreamBroken) > missed.breaks) {
            endStream();
            streamer = startStream(listener);
        }
        return streamer > 0;
    };

    // One client first, so that what the host makes once (threads, pools) is in the baseline.
    const pid_t warm = startClient({"hold", socket}, "warm");
    ASSERT_GT(warm, 0);
    ASSERT_TRUE(kill(warm, "warm")) << "the death announced";
    Usage baseline;
    ASSERT_TRUE(waitUntil([&] {
        baseline = usageOf(daemon);
        return baseline.files > 0;
    }));
    // The host's worker threads may still be winding down from the warm-up.
    waitUntil([&] { return usageOf(daemon).threads <= baseline.threads; }, 5s);
    baseline = usageOf(daemon);

    std::vector<long long> killedAt;
    auto killOne = [&] {
        const size_t i = killedAt.size();
        const pid_t pid = startClient({"hold", socket}, "client");
        ASSERT_GT(pid, 0) << "death " << i << ": " << programs.read("client.err");
        EXPECT_NE(programs.read("client.out").find("ready 1"), std::string::npos)
            << "death " << i << ": the slot the last one had, given back: " << programs.read("client.out");
        killedAt.push_back(hostMilliseconds());
        ASSERT_TRUE(kill(pid, "client")) << "death " << i << ": announced, the stream going on";
    };
    for (int i = 0; i < loops; ++i) {
        ASSERT_NO_FATAL_FAILURE(killOne());
    }
    Usage now;
    EXPECT_TRUE(settlesWithin(daemon, baseline, "baseline", now));
    // Each client mapped about 1.7 MB; a leak of a few of them would show. (Under the address
    // sanitizer freed memory stays resident in its quarantine; its leak check at the host's exit,
    // which TearDown sees in the exit status, stands in.)
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_LT(now.residentKiB, baseline.residentKiB + 4096)
        << "resident " << now.residentKiB << " KiB, baseline " << baseline.residentKiB << " KiB";
#endif
    endStream();
    // When the machine broke the last stream, one more beside one more death, until one is whole.
    for (int more = 0; wholeStreams == 0 && more < 8; ++more) {
        streamer = startStream(listener);
        ASSERT_GT(streamer, 0) << programs.read("streamer.out");
        ASSERT_NO_FATAL_FAILURE(killOne());
        endStream();
    }

    // Each slot was free within two service periods of the kernel hearing of the death: the
    // detach waited for at most one mixing pass.
    const std::vector<Detach> detached = detachesIn(kernel.log());
    ASSERT_EQ(detached.size(), killedAt.size() + 1);
    std::vector<long long> heardAfter;
    for (size_t i = 0; i < detached.size(); ++i) {
        EXPECT_LE(detached[i].waits, 1) << "death " << i;
        if (i > 0) {
            heardAfter.push_back(detached[i].at - killedAt[i - 1]);
        }
    }
    std::sort(heardAfter.begin(), heardAfter.end());
    std::printf(
        "deaths heard by the kernel after SIGKILL: median %lld ms, most %lld ms; streams broken by the "
        "machine: %d (%s)\n",
        heardAfter[heardAfter.size() / 2], heardAfter.back(), brokenStreams,
        describe(missedDeadlines(listener)).c_str());

    // The device still serves.
    const io_connect_t audioServer = open(kAudioServer);
    uint64_t in = 0;
    uint64_t id = 0;
    uint32_t count = 1;
    EXPECT_EQ(IOConnectCallScalarMethod(audioServer, kGetUserClassID, &in, 1, &id, &count), kIOReturnSuccess);
    IOServiceClose(audioServer);
    if (wholeStreams == 0) {
        GTEST_SKIP() << "the stream beside the deaths: " << kMachineMissedDeadlines << " on this machine ("
                     << brokenStreams << "), by the kernel's record";
    }
}

// A process scribbles over every block it can map beside a stream (the device shared block, its
// own rings and transport block) and calls every method with random arguments: the kernel goes on
// and the other process's audio stays bit-exact. (The input ring, which every client reads, is
// left alone there: see UserClientProcess.)
TEST_F(UserClientProcessTest, AScribblerBesideAStreamLeavesItsAudioBitExact)
{
    Listener listener;
    ASSERT_TRUE(listener.listen(service));
    unsigned seed = 4242;
    const std::string verdict = streamWhile(listener, [&] {
        const pid_t scribbler = startClient({"scribble", socket, "1", std::to_string(seed++), "beside-stream"},
                                            "scribbler");
        ASSERT_GT(scribbler, 0) << programs.read("scribbler.err");
        const test_support::ProgramResult result = programs.finish(scribbler, "scribbler");
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_NE(result.out.find("scribbled"), std::string::npos);
    });
    EXPECT_EQ(::kill(daemon, 0), 0) << "the kernel host is alive";
    if (verdict == kMachineMissedDeadlines) {
        GTEST_SKIP() << "the audio: " << verdict << " on this machine, by the kernel's record";
    }
    EXPECT_EQ(verdict, "");
}

// The input ring is every client's and only the kernel's to write: a process that writes over it
// beside a stream faults in its own process, and the stream's input stays bit-exact.
TEST_F(UserClientProcessTest, AProcessWritingTheInputRingFaultsAndAnotherStreamStaysBitExact)
{
    Listener listener;
    ASSERT_TRUE(listener.listen(service));
    const std::string verdict = streamWhile(listener, [&] {
        const pid_t writer = startClient({"write-input", socket}, "writer", "mapped");
        ASSERT_GT(writer, 0) << programs.read("writer.err");
        const test_support::ProgramResult result = programs.finish(writer, "writer");
        EXPECT_TRUE(result.signal == SIGSEGV || result.signal == SIGBUS)
            << "status " << result.status << ", signal " << result.signal << ": " << result.out << result.err;
        EXPECT_EQ(result.out.find("wrote"), std::string::npos);
    });
    EXPECT_EQ(::kill(daemon, 0), 0) << "the kernel host is alive";
    if (verdict == kMachineMissedDeadlines) {
        GTEST_SKIP() << "the audio: " << verdict << " on this machine, by the kernel's record";
    }
    EXPECT_EQ(verdict, "");
}

TEST_F(UserClientProcessTest, AScribblerNeverBringsTheKernelDown)
{
    const io_connect_t audio = open(kAudio);
    mach_vm_address_t ring = 0;
    mach_vm_size_t size = 0;
    ASSERT_EQ(IOConnectMapMemory64(audio, 5, mach_task_self(), &ring, &size, kIOMapAnywhere), kIOReturnSuccess);
    std::memset(reinterpret_cast<void*>(ring), 0x3C, size);

    const pid_t scribbler = startClient({"scribble", socket, "2", "12345"}, "scribbler");
    ASSERT_GT(scribbler, 0) << programs.read("scribbler.err");
    const test_support::ProgramResult result = programs.finish(scribbler, "scribbler");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("scribbled"), std::string::npos);
    EXPECT_EQ(::kill(daemon, 0), 0) << "the kernel host is alive";

    // This process's own ring is its own: nobody else's bytes landed in it.
    const auto* bytes = reinterpret_cast<const uint8_t*>(ring);
    size_t foreign = 0;
    for (size_t i = 0; i < size; ++i) {
        foreign += bytes[i] != 0x3C ? 1 : 0;
    }
    EXPECT_EQ(foreign, 0u);
    // And the device still serves it.
    const io_connect_t audioServer = open(kAudioServer);
    uint64_t in = 0;
    uint64_t id = 0;
    uint32_t count = 1;
    EXPECT_EQ(IOConnectCallScalarMethod(audioServer, kGetUserClassID, &in, 1, &id, &count), kIOReturnSuccess);
    IOServiceClose(audioServer);
    IOServiceClose(audio);
}

// Another process writes the shared block's channel settings over and over, in turn a stream the
// device carries and one it does not, while this one asks again and again for the device to be
// configured from them (request 1): each request is refused or configures the device with the
// settings the kernel checked, never with what the block held a moment later.
TEST_F(UserClientProcessTest, SettingsWrittenDuringAConfigurationNeverReachTheDevice)
{
    const pid_t writer = startClient({"settings", socket, "60"}, "settings");
    ASSERT_GT(writer, 0) << programs.read("settings.err");
    const io_connect_t audio = open(kAudio);
    const size_t logFrom = kernel.log().size();
    int configured = 0;
    int refused = 0;
    for (int i = 0; i < 40 && configured < 4; ++i) {
        uint8_t record[268] = {};
        record[0] = 1; // Req_ConfigureDevice
        size_t size = sizeof record;
        const IOReturn status = IOConnectCallStructMethod(audio, 0, record, sizeof record, record, &size);
        EXPECT_TRUE(status == kIOReturnSuccess || status == kIOReturnBadArgument) << std::hex << status;
        (status == kIOReturnSuccess ? configured : refused) += 1;
    }
    programs.stop(writer, SIGKILL, "settings");
    ASSERT_GT(configured, 0) << refused << " refused";
    // Every configuration the kernel made from then on, as it logged it.
    std::vector<std::string> lines;
    waitUntil([&] {
        lines.clear();
        const std::string log = kernel.log().substr(logFrom);
        for (size_t at = log.find("configured fr:"); at != std::string::npos;
             at = log.find("configured fr:", at + 1)) {
            lines.push_back(log.substr(at, log.find('\n', at) - at));
        }
        return lines.size() >= static_cast<size_t>(configured);
    });
    EXPECT_EQ(lines.size(), static_cast<size_t>(configured));
    for (const std::string& line : lines) {
        EXPECT_EQ(line, "configured fr:48000 in:2/24 out 2/24");
    }
    // What user space reads of the kernel's settings shows the stream it configured.
    CFTypeRef property = IORegistryEntryCreateCFProperty(service, CFSTR("ChannelSettings"), nullptr, 0);
    ASSERT_NE(property, nullptr);
    ASSERT_EQ(CFGetTypeID(property), CFDictionaryGetTypeID());
    for (auto [key, expected] : {std::pair{CFSTR("Frequency"), 48'000}, std::pair{CFSTR("InChannels"), 2},
                                 std::pair{CFSTR("OutChannels"), 2}}) {
        const auto number =
            static_cast<CFNumberRef>(CFDictionaryGetValue(static_cast<CFDictionaryRef>(property), key));
        int value = -1;
        ASSERT_NE(number, nullptr);
        CFNumberGetValue(number, kCFNumberIntType, &value);
        EXPECT_EQ(value, expected);
    }
    CFRelease(property);
    IOServiceClose(audio);
}

// Eight processes attach their AudioServer clients, a ninth finds no slot; one killed with SIGKILL
// gives its slot back and everyone listening is told, in order.
TEST_F(UserClientProcessTest, EightProcessesAttachANinthIsRefusedAndAKilledOneGivesItsSlotBack)
{
    Listener listener;
    ASSERT_TRUE(listener.listen(service));
    // Configure the device's current settings (request 1) through an AudioServer client.
    const io_connect_t configurer = open(kAudioServer);
    uint8_t record[268] = {};
    record[0] = 1;
    size_t size = sizeof record;
    ASSERT_EQ(IOConnectCallStructMethod(configurer, 6, record, sizeof record, record, &size), kIOReturnSuccess);

    std::vector<pid_t> clients;
    for (int i = 0; i < 9; ++i) {
        const std::string name = "client" + std::to_string(i);
        const pid_t pid = startClient({"hold", socket}, name);
        ASSERT_GT(pid, 0) << programs.read(name + ".err");
        clients.push_back(pid);
        const std::string expected = "ready " + std::to_string(i < 8 ? i : -1);
        EXPECT_NE(programs.read(name + ".out").find(expected), std::string::npos)
            << programs.read(name + ".out") << " instead of " << expected;
    }
    EXPECT_EQ(listener.await(11, 8), 8u);
    programs.stop(clients[2], SIGKILL, "client2");
    EXPECT_EQ(listener.await(12, 1), 1u) << "the killed client's detach announced";
    // Its slot goes to the next one to ask.
    const pid_t next = startClient({"hold", socket}, "next");
    ASSERT_GT(next, 0);
    EXPECT_NE(programs.read("next.out").find("ready 2"), std::string::npos) << programs.read("next.out");
    // Attached counts in order: 1 to 8, 7 after the kill, 8 again.
    std::vector<uint32_t> counts;
    listener.await(11, 9);
    for (const auto& [code, count] : listener.changes) {
        if (code == 11 || code == 12) {
            counts.push_back(count);
        }
    }
    EXPECT_EQ(counts, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8, 7, 8}));
    for (size_t i = 0; i < clients.size(); ++i) {
        if (i != 2) {
            programs.stop(clients[i], SIGKILL, "client" + std::to_string(i));
        }
    }
    programs.stop(next, SIGKILL, "next");
    IOServiceClose(configurer);
}

// The device leaves while processes hold attached clients: every listener is told, every block a
// process mapped stays usable until it lets go, and the kernel host ends up holding nothing.
TEST_F(UserClientProcessTest, UnplugWhileClientsAreAttachedTellsEveryoneAndKeepsTheirMappings)
{
    Listener listener;
    ASSERT_TRUE(listener.listen(service));
    const io_connect_t audioServer = open(kAudioServer);
    // What the host holds for this process's listener and connection is in the baseline.
    const Usage before = usageOf(daemon);
    uint8_t record[268] = {};
    record[0] = 1; // configure
    size_t size = sizeof record;
    ASSERT_EQ(IOConnectCallStructMethod(audioServer, 6, record, sizeof record, record, &size), kIOReturnSuccess);
    std::vector<std::pair<uint32_t, size_t>> types = {{1, 30'488}, {4, 540'656}, {5, 540'656}};
    std::vector<uint8_t*> blocks;
    for (auto [type, expectedSize] : types) {
        mach_vm_address_t address = 0;
        mach_vm_size_t length = 0;
        ASSERT_EQ(IOConnectMapMemory64(audioServer, type, mach_task_self(), &address, &length, kIOMapAnywhere),
                  kIOReturnSuccess);
        EXPECT_EQ(length, expectedSize);
        blocks.push_back(reinterpret_cast<uint8_t*>(address));
    }
    uint64_t frames = 512;
    uint64_t slot = 99;
    uint32_t count = 1;
    ASSERT_EQ(IOConnectCallScalarMethod(audioServer, 2, &frames, 1, &slot, &count), kIOReturnSuccess);
    const pid_t holder = startClient({"hold", socket}, "holder");
    ASSERT_GT(holder, 0);
    EXPECT_NE(programs.read("holder.out").find("ready 1"), std::string::npos) << programs.read("holder.out");

    const test_support::ProgramResult detached = programs.run(KERNELCTL, {"--socket", socket, "detach", "1"});
    EXPECT_EQ(detached.status, 0) << detached.err;
    // The termination reaches the listener's run loop.
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!listener.terminated && std::chrono::steady_clock::now() < deadline) {
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.02, true);
    }
    EXPECT_TRUE(listener.terminated);
    // The service is gone from the registry.
    EXPECT_TRUE(waitUntil([&] {
        io_service_t again = IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching("VKKernelDevice"));
        if (again != 0) {
            IOObjectRelease(again);
        }
        return again == 0;
    }));
    // Every mapping is still there to read, and to write where it is writable (all but the input
    // ring).
    for (size_t i = 0; i < blocks.size(); ++i) {
        if (types[i].first == 4) {
            [[maybe_unused]] const uint8_t last = static_cast<volatile uint8_t*>(blocks[i])[types[i].second - 1];
            continue;
        }
        blocks[i][types[i].second - 1] = 0x42;
        EXPECT_EQ(blocks[i][types[i].second - 1], 0x42);
    }
    // Requests find no device any more.
    EXPECT_NE(IOConnectCallScalarMethod(audioServer, 2, &frames, 1, &slot, &count), kIOReturnSuccess);
    for (size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_EQ(IOConnectUnmapMemory64(audioServer, types[i].first, mach_task_self(),
                                         reinterpret_cast<mach_vm_address_t>(blocks[i])),
                  kIOReturnSuccess);
    }
    IOServiceClose(audioServer);
    programs.stop(holder, SIGKILL, "holder");
    kernel.releaseService();
    service = 0;
    Usage after;
    EXPECT_TRUE(settlesWithin(daemon, before, "before", after));
    // The host writes its log from its own thread: the line comes when it comes.
    EXPECT_TRUE(waitUntil(
        [&] { return kernel.log().find("EXIT terminate VKKernelDevice") != std::string::npos; }));
}

// A process that keeps a handle of every device it has re-enumerated keeps only the service
// objects: each terminated service gives back its threads, files and shared memory when it stops,
// so the host's files and threads stay where they were while the process goes on, and once it is
// gone the device has its driver. (VK_REENUMERATIONS sets how many; 40 unless set.)
TEST_F(UserClientProcessTest, HeldHandlesOfReEnumeratedDevicesKeepNoThreadsOrFiles)
{
    const char* loopsText = std::getenv("VK_REENUMERATIONS");
    const int loops = loopsText != nullptr ? std::atoi(loopsText) : 40;
    kernel.releaseService();
    service = 0;
    const Usage baseline = usageOf(daemon);
    const pid_t client = programs.start(CLIENT_PROCESS, {"reenumerate", socket, std::to_string(loops)}, "reenumerator");
    ASSERT_GT(client, 0);
    std::string out;
    ASSERT_TRUE(waitUntil(
        [&] {
            out = programs.read("reenumerator.out");
            return out.find("reenumerated") != std::string::npos;
        },
        120s))
        << programs.read("reenumerator.err");
    EXPECT_EQ(out, "reenumerated " + std::to_string(loops) + "\n");
    // The live device's driver is in the baseline; a dead one held would add its shared blocks'
    // files and its threads. The reenumerator's session channel is one more file.
    Usage held;
    EXPECT_TRUE(waitUntil(
        [&] {
            held = usageOf(daemon);
            return held.files <= baseline.files + 2 && held.threads <= baseline.threads + 1;
        },
        10s))
        << "while " << loops << " dead devices are held: files " << held.files << " (baseline " << baseline.files
        << "), threads " << held.threads << " (baseline " << baseline.threads << ")";
    programs.stop(client, SIGKILL, "reenumerator");

    // The device has its driver, and it serves.
    io_service_t driven = 0;
    EXPECT_TRUE(waitUntil([&] {
        driven = IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching("VKKernelDevice"));
        return driven != 0;
    })) << "no driver on the device after the process went";
    Usage after;
    EXPECT_TRUE(settlesWithin(daemon, baseline, "baseline", after));
    if (driven != 0) {
        io_connect_t audio = 0;
        EXPECT_EQ(IOServiceOpen(driven, mach_task_self(), kAudio, &audio), kIOReturnSuccess);
        IOServiceClose(audio);
        IOObjectRelease(driven);
    }
}

} // namespace

namespace {

// One request of the MIDI client: code, payload word 0; the status and the reply.
IOReturn midiRequest(io_connect_t connection, uint32_t code, uint32_t word0, uint8_t (&reply)[268],
                     size_t inSize = 268)
{
    uint8_t record[268] = {};
    std::memcpy(record, &code, 4);
    std::memcpy(record + 8, &word0, 4);
    size_t size = sizeof reply;
    return IOConnectCallStructMethod(connection, 0, record, inSize, reply, &size);
}

} // namespace

// Through the kernel host: the MIDI area at its size with the device's identity, one attached
// MIDI client per device, a client scribbling over the area's indices and counts, and the
// terminate flag the area keeps for its mappings once the device is gone.
TEST_F(UserClientProcessTest, MidiClientsAttachOneAtATimeAndSeeTheDeviceGo)
{
    const io_connect_t first = open(kMidi);
    const io_connect_t second = open(kMidi);
    uint8_t reply[268] = {};
    EXPECT_EQ(midiRequest(first, 22, 0, reply, 267), kIOReturnBadArgument) << "a 267-byte request";
    EXPECT_EQ(midiRequest(first, 22, 0, reply), kIOReturnSuccess) << "the area exists";
    EXPECT_EQ(midiRequest(first, 24, 0, reply), kIOReturnBadArgument) << "an unhandled request";
    ASSERT_EQ(midiRequest(first, 27, 0, reply), kIOReturnSuccess);
    uint64_t id = 0;
    std::memcpy(&id, reply + 8, 8);
    EXPECT_NE(id, 0u);
    ASSERT_EQ(midiRequest(second, 27, 0, reply), kIOReturnSuccess);
    uint64_t secondID = 0;
    std::memcpy(&secondID, reply + 8, 8);
    EXPECT_NE(secondID, id);

    mach_vm_address_t address = 0;
    mach_vm_size_t size = 0;
    EXPECT_EQ(IOConnectMapMemory64(first, 1, mach_task_self(), &address, &size, kIOMapAnywhere), kIOReturnNoMemory);
    ASSERT_EQ(IOConnectMapMemory64(first, 3, mach_task_self(), &address, &size, kIOMapAnywhere), kIOReturnSuccess);
    ASSERT_EQ(size, sizeof(MidiSM));
    auto* area = reinterpret_cast<MidiSM*>(address);
    EXPECT_NE(area->mVendorID, 0);
    EXPECT_NE(area->mProductName[0], '\0');
    EXPECT_EQ(area->mTerminate, 0u);

    // One client at a time; another's detach changes nothing.
    EXPECT_EQ(midiRequest(first, 23, 1, reply), kIOReturnSuccess);
    EXPECT_EQ(midiRequest(second, 23, 1, reply), kIOReturnBadArgument);
    EXPECT_EQ(midiRequest(second, 23, 0, reply), kIOReturnSuccess);
    EXPECT_EQ(midiRequest(second, 23, 1, reply), kIOReturnBadArgument);

    // A client writes edge values over every index and count the kernel could read, and asks
    // for output: the kernel goes on serving.
    for (uint32_t value : {0xFFFF'FFFFu, 0x8000'0000u, 8192u, 65'536u}) {
        for (uint32_t port = 0; port < 2; ++port) {
            area->mOut[port].mFill = value;
            area->mOut[port].mWriteIndex = uint16_t(value);
            area->mOut[port].mReadIndex = uint16_t(value - 1);
            area->mIn[port].mReadIndex = value;
            area->mIn[port].mWriteIndex = value;
            area->mIn[port].mElements[0].mLength = value;
        }
        area->mOutputInProgress = int32_t(value);
        EXPECT_EQ(midiRequest(first, 21, 0, reply), kIOReturnSuccess);
        EXPECT_EQ(midiRequest(first, 22, 0, reply), kIOReturnSuccess);
    }

    // The attached client closes: the other one attaches.
    EXPECT_EQ(IOServiceClose(first), kIOReturnSuccess);
    EXPECT_EQ(midiRequest(second, 23, 1, reply), kIOReturnSuccess);
    ASSERT_EQ(IOConnectMapMemory64(second, 3, mach_task_self(), &address, &size, kIOMapAnywhere), kIOReturnSuccess);
    area = reinterpret_cast<MidiSM*>(address);

    // The device goes: the mapping stays and shows the end.
    const test_support::ProgramResult detached = programs.run(KERNELCTL, {"--socket", socket, "detach", "1"});
    EXPECT_EQ(detached.status, 0) << detached.err;
    EXPECT_TRUE(waitUntil([&] { return shared::loadAcquire(area->mTerminate) == 1; }));
    EXPECT_NE(midiRequest(second, 22, 0, reply), kIOReturnSuccess);
    EXPECT_EQ(IOServiceClose(second), kIOReturnSuccess);
}
