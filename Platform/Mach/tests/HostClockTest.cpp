#include "platform/HostClock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "mach/mach_time.h"

namespace hc = platform::host_clock;

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

TEST(HostClock, VirtualSleepWakesAtItsDeadline)
{
    hc::virtual_clock::Scope clock(0);
    std::atomic<bool> woke{false};
    std::thread sleeper([&] {
        hc::sleepUntil(1'000'000);
        woke = true;
    });
    ASSERT_TRUE(hc::virtual_clock::waitForSleepers(1));
    hc::virtual_clock::advanceTo(999'999);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(woke.load());
    hc::virtual_clock::advanceTo(1'000'000);
    sleeper.join();
    EXPECT_TRUE(woke.load());
    EXPECT_EQ(hc::virtual_clock::sleepers(), 0);
}

TEST(HostClock, TimedWaitFollowsTheVirtualClock)
{
    hc::virtual_clock::Scope clock(0);
    std::mutex m;
    std::condition_variable cv;
    bool signalled = false;

    // Times out when the clock passes the deadline, however long that takes in real time.
    std::atomic<int> result{-1};
    std::thread waiter([&] {
        std::unique_lock lock(m);
        result = hc::waitUntil(lock, cv, 3'000'000'000ULL, [&] { return signalled; }) ? 1 : 0;
    });
    ASSERT_TRUE(hc::virtual_clock::waitForSleepers(1));
    hc::virtual_clock::advanceBy(3'000'000'000ULL);
    waiter.join();
    EXPECT_EQ(result.load(), 0);

    // Returns true as soon as the predicate holds, without any clock movement.
    std::thread waiter2([&] {
        std::unique_lock lock(m);
        result = hc::waitUntil(lock, cv, hc::now() + 1'000'000'000ULL, [&] { return signalled; }) ? 1 : 0;
    });
    ASSERT_TRUE(hc::virtual_clock::waitForSleepers(1));
    {
        std::lock_guard lock(m);
        signalled = true;
    }
    cv.notify_all();
    waiter2.join();
    EXPECT_EQ(result.load(), 1);
}

TEST(HostClock, RealTimedWaitTimesOut)
{
    std::mutex m;
    std::condition_variable cv;
    std::unique_lock lock(m);
    const uint64_t start = hc::now();
    EXPECT_FALSE(hc::waitUntil(lock, cv, start + 2'000'000, [] { return false; }));
    EXPECT_GE(hc::now(), start + 2'000'000);
}
