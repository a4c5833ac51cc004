#include "Semaphore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/HostClock.h"
#include "platform/MachThreads.h"

namespace hc = platform::host_clock;

TEST(Semaphore, NothingHappensWithoutASemaphore)
{
    Semaphore s;
    EXPECT_FALSE(s.isValid());
    EXPECT_FALSE(s.wait());
    EXPECT_FALSE(s.waitTimeout(0));
    s.signal();
    s.close();
    EXPECT_FALSE(s.isValid());
}

TEST(Semaphore, CountsSignalsAndCreatesOnce)
{
    const int baseline = platform::mach_threads::liveSemaphores();
    {
        Semaphore s;
        ASSERT_TRUE(s.create());
        EXPECT_FALSE(s.create()); // keeps the first
        EXPECT_TRUE(s.isValid());
        EXPECT_FALSE(s.waitTimeout(0));
        EXPECT_FALSE(s.waitTimeout(-4));
        s.signal();
        s.signal();
        EXPECT_TRUE(s.waitTimeout(0));
        EXPECT_TRUE(s.wait());
        EXPECT_FALSE(s.waitTimeout(0));
        s.close();
        EXPECT_FALSE(s.isValid());
        EXPECT_TRUE(s.create());
        EXPECT_EQ(platform::mach_threads::liveSemaphores(), baseline + 1);
    }
    EXPECT_EQ(platform::mach_threads::liveSemaphores(), baseline);
}

TEST(Semaphore, TimedWaitIsWholeSecondsOnTheHostClock)
{
    hc::virtual_clock::Scope clock;
    Semaphore s;
    ASSERT_TRUE(s.create());
    std::atomic<int> result{-1};
    std::thread waiter = hc::startParticipant("waiter", [&] { result = s.waitTimeout(3) ? 1 : 0; });
    hc::virtual_clock::runFor(2'900'000'000, 100'000'000);
    EXPECT_EQ(result.load(), -1);
    hc::virtual_clock::runFor(100'000'000, 100'000'000);
    EXPECT_EQ(result.load(), 0);
    waiter.join();

    std::thread signalled = hc::startParticipant("waiter", [&] { result = s.waitTimeout(3) ? 1 : 0; });
    hc::virtual_clock::settle();
    EXPECT_EQ(result.load(), 0);
    s.signal();
    hc::virtual_clock::settle();
    signalled.join();
    EXPECT_EQ(result.load(), 1);
}
