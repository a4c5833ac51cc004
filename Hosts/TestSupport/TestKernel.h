// A kernel host for the user-side IOKit's tests, with the test driver bundle loaded and its
// nubs published, served on a private socket. Kept apart from the user-side headers: a test
// file includes either the kernel's or the user's IOKit, never both.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/ProcessEnvironment.h"

namespace user_test {

// Writes the test bundle at "/Library/Extensions/UserTest.kext" under `root`, its driver of
// class `deviceClass` ("UserTestDevice", or "VKKernelDevice" for the same driver under the name
// the user side looks for); answers its system path.
std::string writeTestBundle(const std::string& root, const char* deviceClass = "UserTestDevice");

// A private folder, the process's root folder while this lives, with the test bundle in it;
// removed at the end.
class TestRoot
{
public:
    TestRoot();
    ~TestRoot();
    TestRoot(const TestRoot&) = delete;
    TestRoot& operator=(const TestRoot&) = delete;

    const std::string& path() const { return m_path; }
    std::string socket() const { return m_path + "/kernel.socket"; }

private:
    std::string m_path;
    std::unique_ptr<platform::process::ScopedOverride> m_rooted;
};

// The server's limits, where a test wants its own.
struct ServerLimits
{
    size_t channelsPerUser = 256;
    int helloTimeoutMilliseconds = 5000;
    size_t notificationsPerUser = 512;
    size_t entriesPerUser = 1024;
};

class TestKernel
{
public:
    // Loads the bundle (written under the process's root folder), publishes `nubs` nubs and
    // listens at `socket`. Null (with `error`) on failure.
    static std::unique_ptr<TestKernel> start(const std::string& socket, int nubs, std::string* error,
                                             const ServerLimits& limits = {});
    ~TestKernel();

    // Publishes one more nub and waits until its driver has started.
    void publishNub();
    // Terminates the most recent nub (and its driver and clients) and waits.
    void removeNub();
    // The system goes to sleep and wakes again.
    void sleepAndWake();
    // Stops serving, waiting at most `milliseconds` for requests still in the kernel: false
    // when some still run (the rest is waited for when this goes).
    bool stopWithin(int milliseconds);
    size_t processCount() const;
    size_t channelCount() const;
    uint64_t droppedMessages() const;

private:
    TestKernel();
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace user_test
