#include "platform/HostClock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <thread>
#include <vector>

#include "mach/mach_time.h"

namespace hc = platform::host_clock;
namespace vc = platform::host_clock::virtual_clock;

TEST(HostClock, TimebaseIsNanoseconds)
{
    mach_timebase_info_data_t info{};
    ASSERT_EQ(mach_timebase_info(&info), KERN_SUCCESS);
    EXPECT_EQ(info.numer, 1u);
    EXPECT_EQ(info.denom, 1u);
    EXPECT_EQ(mach_timebase_info(nullptr), KERN_INVALID_ARGUMENT);
}

TEST(HostClock, RealClockIsMonotonicAndMatchesSteadyClock)
{
    const uint64_t a = mach_absolute_time();
    const auto steady = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                  std::chrono::steady_clock::now().time_since_epoch())
                                                  .count());
    const uint64_t b = mach_absolute_time();
    EXPECT_LE(a, steady);
    EXPECT_LE(steady, b);
}

TEST(HostClock, VirtualClockOnlyMovesWhenAdvanced)
{
    hc::virtual_clock::Scope clock(5'000);
    EXPECT_EQ(mach_absolute_time(), 5'000u);
    hc::virtual_clock::advanceBy(250);
    EXPECT_EQ(hc::now(), 5'250u);
    hc::virtual_clock::advanceTo(100); // never backward
    EXPECT_EQ(hc::now(), 5'250u);
}

// Participant threads a test starts; joined at the end of the test.
class Participants
{
public:
    template <class F> void start(const char* name, F&& f)
    {
        m_threads.push_back(hc::startParticipant(name, std::forward<F>(f)));
    }
    void joinAll()
    {
        for (auto& t : m_threads) {
            t.join();
        }
        m_threads.clear();
    }
    ~Participants() { joinAll(); }

private:
    std::vector<std::thread> m_threads;
};

TEST(HostClock, VirtualSleepWakesAtItsDeadline)
{
    hc::virtual_clock::Scope clock(0);
    std::atomic<uint64_t> wokeAt{0};
    Participants threads;
    threads.start("sleeper", [&] {
        hc::sleepUntil(1'000'000);
        wokeAt = hc::now();
    });
    vc::settle();
    vc::advanceTo(999'999);
    vc::settle();
    EXPECT_EQ(wokeAt.load(), 0u);
    vc::advanceTo(1'000'000);
    vc::settle();
    EXPECT_EQ(wokeAt.load(), 1'000'000u);
    threads.joinAll();
    EXPECT_EQ(vc::busy(), 0);
}

TEST(HostClock, WaitersWakeInDeadlineOrderAtTheirDeadlines)
{
    hc::virtual_clock::Scope clock(0);
    std::mutex mutex;
    std::vector<std::pair<int, uint64_t>> woke; // which, when
    Participants threads;
    const uint64_t deadlines[] = {3'000'000, 1'000'000, 2'000'000, 1'000'000};
    for (int i = 0; i < 4; ++i) {
        threads.start("sleeper", [&, i] {
            hc::sleepUntil(deadlines[i]);
            std::lock_guard lock(mutex);
            woke.emplace_back(i, hc::now());
        });
    }
    vc::runFor(1'000'000, 1'000'000);
    {
        std::lock_guard lock(mutex);
        ASSERT_EQ(woke.size(), 2u);
        EXPECT_EQ(woke[0].first + woke[1].first, 1 + 3);
        EXPECT_EQ(woke[0].second, 1'000'000u);
    }
    vc::runFor(2'000'000, 1'000'000);
    threads.joinAll();
    ASSERT_EQ(woke.size(), 4u);
    EXPECT_EQ(woke[2], (std::pair<int, uint64_t>{2, 2'000'000}));
    EXPECT_EQ(woke[3], (std::pair<int, uint64_t>{0, 3'000'000}));
}

TEST(HostClock, TimedWaitFollowsTheVirtualClock)
{
    hc::virtual_clock::Scope clock(0);
    std::mutex m;
    hc::Condition cv;
    bool signalled = false;
    std::atomic<int> result{-1};
    Participants threads;

    // Times out when the clock passes the deadline, however long that takes in real time.
    threads.start("waiter", [&] {
        std::unique_lock lock(m);
        result = cv.waitUntil(lock, 3'000'000'000ULL, [&] { return signalled; }) ? 1 : 0;
    });
    vc::runFor(2'999'999'999ULL, 1'000'000'000ULL);
    EXPECT_EQ(result.load(), -1);
    vc::runFor(1, 1);
    EXPECT_EQ(result.load(), 0);
    threads.joinAll();

    // A notify ends it before its deadline, without any clock movement.
    threads.start("waiter", [&] {
        std::unique_lock lock(m);
        result = cv.waitUntil(lock, hc::now() + 1'000'000'000ULL, [&] { return signalled; }) ? 1 : 0;
    });
    vc::settle();
    {
        std::lock_guard lock(m);
        signalled = true;
    }
    cv.notifyAll();
    vc::settle();
    EXPECT_EQ(result.load(), 1);
    EXPECT_EQ(hc::now(), 3'000'000'000ULL);
}

TEST(HostClock, RealTimedWaitTimesOut)
{
    std::mutex m;
    hc::Condition cv;
    std::unique_lock lock(m);
    const uint64_t start = hc::now();
    EXPECT_FALSE(cv.waitUntil(lock, start + 2'000'000, [] { return false; }));
    EXPECT_GE(hc::now(), start + 2'000'000);
}

// Work handed from one participant to another through the clock's primitives is done before
// the clock moves: each step a timer thread wakes, hands a token through a condition to a
// worker, which passes it on through a clock mutex to a third thread; after every settled step
// all three have seen it, at the time it was sent.
TEST(HostClock, HandedOffWorkIsDoneBeforeTheClockMoves)
{
    hc::virtual_clock::Scope clock(0);
    constexpr int kSteps = 3000;
    std::mutex m;
    hc::Condition handed;
    hc::Mutex relay;
    hc::Condition relayed;
    std::mutex relayState;
    int sent = 0, worked = 0, finished = 0;
    uint64_t workedAt = 0;
    bool stop = false;
    Participants threads;
    threads.start("timer", [&] {
        for (int i = 1; i <= kSteps; ++i) {
            hc::sleepUntil(uint64_t(i) * 1'000'000);
            std::lock_guard lock(m);
            ++sent;
            handed.notifyOne();
        }
    });
    int toFinish = 0; // guarded by relayState
    threads.start("worker", [&] {
        std::unique_lock lock(m);
        for (int seen = 0; seen < kSteps;) {
            handed.wait(lock, [&] { return sent > seen; });
            seen = sent;
            lock.unlock();
            std::lock_guard hold(relay); // a clock mutex the finisher waits for
            lock.lock();
            worked = seen;
            workedAt = hc::now();
            std::lock_guard r(relayState);
            toFinish = seen;
            relayed.notifyAll();
        }
    });
    threads.start("finisher", [&] {
        std::unique_lock lock(relayState);
        for (;;) {
            relayed.wait(lock, [&] { return toFinish > finished || stop; });
            if (stop) {
                return;
            }
            const int value = toFinish;
            lock.unlock();
            relay.lock(); // waits while the worker holds it
            relay.unlock();
            lock.lock();
            finished = value;
        }
    });
    for (int i = 1; i <= kSteps; ++i) {
        vc::runFor(1'000'000, 1'000'000);
        std::lock_guard lock(m);
        ASSERT_EQ(sent, i);
        ASSERT_EQ(worked, i);
        ASSERT_EQ(workedAt, uint64_t(i) * 1'000'000);
        std::lock_guard r(relayState);
        ASSERT_EQ(finished, i);
    }
    {
        std::lock_guard r(relayState);
        stop = true;
    }
    relayed.notifyAll();
    threads.joinAll();
}

TEST(HostClock, AWaiterForAClockMutexHeldAcrossASleepCountsAsBlocked)
{
    hc::virtual_clock::Scope clock(0);
    hc::Mutex lock;
    std::atomic<uint64_t> acquiredAt{0};
    std::atomic<bool> holding{false};
    Participants threads;
    threads.start("holder", [&] {
        std::lock_guard hold(lock);
        holding = true;
        hc::sleepFor(5'000'000);
    });
    vc::settle();
    ASSERT_TRUE(holding.load());
    threads.start("waiter", [&] {
        std::lock_guard hold(lock);
        acquiredAt = hc::now();
    });
    vc::runFor(4'000'000, 1'000'000);
    EXPECT_EQ(acquiredAt.load(), 0u);
    vc::runFor(1'000'000, 1'000'000);
    EXPECT_EQ(acquiredAt.load(), 5'000'000u);
}

TEST(HostClock, SettleFailsLoudlyNamingWhatNeverBlocks)
{
    hc::virtual_clock::Scope clock(0);
    const auto previous = vc::setSettleLimit(std::chrono::milliseconds(50));
    std::atomic<bool> release{false};
    std::mutex m;
    std::condition_variable foreign; // not a primitive of the clock
    Participants threads;
    threads.start("spinner", [&] {
        while (!release.load()) {
        }
    });
    try {
        vc::runFor(1'000'000, 1'000'000);
        ADD_FAILURE() << "runFor settled with a spinning participant";
    } catch (const vc::SettleError& e) {
        EXPECT_NE(std::string(e.what()).find("spinner"), std::string::npos) << e.what();
    }
    EXPECT_EQ(hc::now(), 0u); // never advanced
    release = true;
    threads.joinAll();

    release = false;
    threads.start("foreign waiter", [&] {
        std::unique_lock lock(m);
        foreign.wait(lock, [&] { return release.load(); });
    });
    EXPECT_THROW(vc::settle(), vc::SettleError);
    {
        std::lock_guard lock(m);
        release = true;
    }
    foreign.notify_all();
    threads.joinAll();
    vc::settle();
    vc::setSettleLimit(previous);
}

TEST(HostClock, SettleOnAParticipantIsRefused)
{
    hc::virtual_clock::Scope clock(0);
    std::atomic<bool> refused{false};
    std::thread([&] {
        try {
            vc::settle();
        } catch (const vc::SettleError&) {
            refused = true;
        }
    }).join();
    EXPECT_FALSE(refused.load()); // an ordinary thread may settle
    hc::startParticipant("participant", [&] {
        try {
            vc::settle();
        } catch (const vc::SettleError&) {
            refused = true;
        }
    }).join();
    EXPECT_TRUE(refused.load());
}

TEST(HostClock, DisablingTheVirtualClockWakesItsSleepers)
{
    std::atomic<bool> woke{false};
    std::thread sleeper;
    {
        hc::virtual_clock::Scope clock(0);
        sleeper = hc::startParticipant("sleeper", [&] {
            hc::sleepUntil(60'000'000'000ULL);
            woke = true;
        });
        vc::settle();
        EXPECT_FALSE(woke.load());
    }
    sleeper.join(); // a virtual deadline is long past on the real clock
    EXPECT_TRUE(woke.load());
}

TEST(HostClock, AlarmFiresOnTheAdvancingThreadAtItsDeadline)
{
    hc::virtual_clock::Scope clock(0);
    struct Seen
    {
        std::thread::id thread;
        uint64_t at = 0;
    } seen;
    hc::Alarm alarm(2'000, [](void* p) { *static_cast<Seen*>(p) = {std::this_thread::get_id(), hc::now()}; },
                    &seen);
    ASSERT_TRUE(alarm.armed());
    vc::advanceTo(1'999);
    EXPECT_EQ(seen.at, 0u);
    vc::advanceTo(5'000);
    EXPECT_EQ(seen.at, 5'000u);
    EXPECT_EQ(seen.thread, std::this_thread::get_id());
    EXPECT_FALSE(alarm.cancel());

    hc::Alarm cancelled(6'000, [](void* p) { static_cast<Seen*>(p)->at = 1; }, &seen);
    EXPECT_TRUE(cancelled.cancel());
    vc::advanceTo(7'000);
    EXPECT_EQ(seen.at, 5'000u);
    EXPECT_FALSE(hc::Alarm(7'000, [](void*) {}, nullptr).armed()); // already due
}
