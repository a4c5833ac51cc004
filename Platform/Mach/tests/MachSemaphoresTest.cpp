#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "mach/mach.h"
#include "platform/HostClock.h"
#include "platform/MachThreads.h"

namespace hc = platform::host_clock;
namespace mt = platform::mach_threads;

namespace {

semaphore_t makeSemaphore(int value = 0)
{
    semaphore_t s = MACH_PORT_NULL;
    EXPECT_EQ(semaphore_create(mach_task_self(), &s, SYNC_POLICY_FIFO, value), KERN_SUCCESS);
    EXPECT_NE(s, MACH_PORT_NULL);
    return s;
}

} // namespace

TEST(MachSemaphores, CountsSignalsGivenBeforeTheWait)
{
    const int baseline = mt::liveSemaphores();
    const semaphore_t s = makeSemaphore(1);
    EXPECT_EQ(mt::liveSemaphores(), baseline + 1);
    EXPECT_EQ(semaphore_wait(s), KERN_SUCCESS); // the initial count
    EXPECT_EQ(semaphore_signal(s), KERN_SUCCESS);
    EXPECT_EQ(semaphore_signal(s), KERN_SUCCESS);
    EXPECT_EQ(semaphore_timedwait(s, {0, 0}), KERN_SUCCESS);
    EXPECT_EQ(semaphore_wait(s), KERN_SUCCESS);
    EXPECT_EQ(semaphore_timedwait(s, {0, 0}), KERN_OPERATION_TIMED_OUT);
    EXPECT_EQ(semaphore_destroy(mach_task_self(), s), KERN_SUCCESS);
    EXPECT_EQ(mt::liveSemaphores(), baseline);
}

TEST(MachSemaphores, RefusesBadArgumentsAndUnknownPorts)
{
    semaphore_t s = MACH_PORT_NULL;
    EXPECT_EQ(semaphore_create(mach_task_self(), nullptr, SYNC_POLICY_FIFO, 0), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(semaphore_create(mach_task_self() + 1, &s, SYNC_POLICY_FIFO, 0), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(semaphore_create(mach_task_self(), &s, SYNC_POLICY_FIFO, -1), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(semaphore_create(mach_task_self(), &s, 9, 0), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(s, MACH_PORT_NULL);
    EXPECT_EQ(semaphore_wait(0x7777), KERN_INVALID_NAME);
    EXPECT_EQ(semaphore_signal(0x7777), KERN_INVALID_NAME);
    EXPECT_EQ(semaphore_timedwait(0x7777, {1, 0}), KERN_INVALID_NAME);
    EXPECT_EQ(semaphore_destroy(mach_task_self(), 0x7777), KERN_INVALID_NAME);

    s = makeSemaphore();
    EXPECT_EQ(semaphore_timedwait(s, {0, 1'000'000'000}), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(semaphore_destroy(mach_task_self() + 1, s), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(semaphore_destroy(mach_task_self(), s), KERN_SUCCESS);
    EXPECT_EQ(semaphore_signal(s), KERN_INVALID_NAME);
}

TEST(MachSemaphores, TimedWaitFollowsTheVirtualClock)
{
    hc::virtual_clock::Scope clock;
    const semaphore_t s = makeSemaphore();
    std::atomic<kern_return_t> result{-1};
    std::thread waiter = hc::startParticipant("waiter", [&] { result = semaphore_timedwait(s, {3, 0}); });
    hc::virtual_clock::runFor(2'999'999'999, 1'000'000'000);
    EXPECT_EQ(result.load(), -1);
    hc::virtual_clock::runFor(1, 1);
    EXPECT_EQ(result.load(), KERN_OPERATION_TIMED_OUT);
    waiter.join();

    // A signal ends a timed wait before its deadline.
    std::thread signalled = hc::startParticipant("waiter", [&] { result = semaphore_timedwait(s, {3, 0}); });
    hc::virtual_clock::settle();
    EXPECT_EQ(semaphore_signal(s), KERN_SUCCESS);
    hc::virtual_clock::settle();
    EXPECT_EQ(result.load(), KERN_SUCCESS);
    signalled.join();
    semaphore_destroy(mach_task_self(), s);
}

TEST(MachSemaphores, DestroyWakesEveryWaiter)
{
    hc::virtual_clock::Scope clock; // lets the test see both waiters asleep
    const semaphore_t s = makeSemaphore();
    std::atomic<int> terminated{0};
    std::thread a = hc::startParticipant("a", [&] { terminated += semaphore_timedwait(s, {60, 0}) == KERN_TERMINATED; });
    std::thread b = hc::startParticipant("b", [&] { terminated += semaphore_wait(s) == KERN_TERMINATED; });
    hc::virtual_clock::settle();
    EXPECT_EQ(terminated.load(), 0);
    EXPECT_EQ(semaphore_destroy(mach_task_self(), s), KERN_SUCCESS);
    hc::virtual_clock::settle();
    EXPECT_EQ(terminated.load(), 2);
    a.join();
    b.join();
}

TEST(MachSemaphores, SignalFromAnotherThreadEndsAnUntimedWait)
{
    const semaphore_t s = makeSemaphore();
    std::thread signaller([&] { semaphore_signal(s); });
    EXPECT_EQ(semaphore_wait(s), KERN_SUCCESS);
    signaller.join();
    semaphore_destroy(mach_task_self(), s);
}
