#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <sys/mman.h>
#include <thread>

#include "IOKit/IOBufferMemoryDescriptor.h"
#include "IOKit/IOLib.h"
#include "kern/clock.h"
#include "kern/thread.h"
#include "libkern/OSAtomic.h"
#include "libkern/version.h"
#include "mach/semaphore.h"
#include "platform/HostClock.h"
#include "platform/KernelTasks.h"
#include "platform/ProcessEnvironment.h"

namespace {

namespace clock = platform::host_clock;

TEST(IOSleep, FollowsTheVirtualClock)
{
    clock::virtual_clock::Scope scope(5'000'000'000);
    std::atomic<bool> woke{false};
    std::thread sleeper = clock::startParticipant("sleeper", [&] {
        IOSleep(20);
        woke = true;
    });
    clock::virtual_clock::runFor(19'999'999, 1'000'000);
    EXPECT_FALSE(woke);
    clock::virtual_clock::runFor(1, 1);
    EXPECT_TRUE(woke);
    sleeper.join();

    clock_sec_t seconds = 0;
    clock_usec_t microseconds = 0;
    clock::virtual_clock::advanceTo(7'123'456'789);
    clock_get_system_microtime(&seconds, &microseconds);
    EXPECT_EQ(seconds, 7u);
    EXPECT_EQ(microseconds, 123'456u);
}

TEST(IOLock, TryLockNeverWaits)
{
    IOLock* lock = IOLockAlloc();
    ASSERT_NE(lock, nullptr);
    IOLockLock(lock);
    bool taken = true;
    std::thread([&] { taken = IOLockTryLock(lock); }).join();
    EXPECT_FALSE(taken);
    IOLockUnlock(lock);
    EXPECT_TRUE(IOLockTryLock(lock));
    IOLockUnlock(lock);
    IOLockFree(lock);
}

// Kernel code may sleep holding a lock. A kernel thread waiting for that lock counts as blocked,
// so simulated time moves on, and it takes the lock the moment the sleeper lets it go.
struct LockedSleep
{
    IOLock* lock = IOLockAlloc();
    std::atomic<uint64_t> acquiredAt{0};
    std::atomic<bool> done{false};
};

void holdLockWhileSleeping(void* argument)
{
    auto* shared = static_cast<LockedSleep*>(argument);
    IOLockLock(shared->lock);
    IOSleep(5);
    IOLockUnlock(shared->lock);
}

void takeLock(void* argument)
{
    auto* shared = static_cast<LockedSleep*>(argument);
    IOLockLock(shared->lock);
    shared->acquiredAt = clock::now();
    IOLockUnlock(shared->lock);
    shared->done = true;
}

TEST(IOLock, AWaiterForALockHeldAcrossASleepLetsSimulatedTimeMove)
{
    clock::virtual_clock::Scope scope(0);
    LockedSleep shared;
    ASSERT_NE(IOCreateThread(holdLockWhileSleeping, &shared), nullptr);
    clock::virtual_clock::settle();
    EXPECT_FALSE(IOLockTryLock(shared.lock)); // held by the sleeper
    ASSERT_NE(IOCreateThread(takeLock, &shared), nullptr);
    clock::virtual_clock::runFor(4'000'000, 1'000'000);
    EXPECT_EQ(shared.acquiredAt.load(), 0u);
    clock::virtual_clock::runFor(1'000'000, 1'000'000);
    EXPECT_EQ(shared.acquiredAt.load(), 5'000'000u);
    EXPECT_TRUE(shared.done.load());
    IOLockFree(shared.lock);
}

TEST(OSAtomic, ArithmeticAnswersThePreviousValueAndSwapChecksIt)
{
    SInt32 value = 5;
    EXPECT_EQ(OSIncrementAtomic(&value), 5);
    EXPECT_EQ(OSDecrementAtomic(&value), 6);
    EXPECT_EQ(OSAddAtomic(10, &value), 5);
    EXPECT_EQ(value, 15);
    UInt32 word = 0;
    EXPECT_TRUE(OSCompareAndSwap(0, 1, &word));
    EXPECT_FALSE(OSCompareAndSwap(0, 1, &word));
    EXPECT_EQ(word, 1u);
    UInt64 wide = 1ULL << 40;
    EXPECT_TRUE(OSCompareAndSwap64(1ULL << 40, 2, &wide));
    EXPECT_EQ(wide, 2u);
}

TEST(KernelVersion, ComesFromTheProcessEnvironment)
{
    platform::process::ScopedOverride release({.kernelRelease = "15.6.2"});
    EXPECT_EQ(version_major, 15);
    EXPECT_EQ(version_minor, 6);
    EXPECT_EQ(version_revision, 2);
    platform::process::ScopedOverride shortRelease({.kernelRelease = "12"});
    EXPECT_EQ(version_major, 12);
    EXPECT_EQ(version_minor, 0);
}

struct ThreadProbe
{
    std::atomic<bool> ran{false};
    thread_t self = nullptr;
    kern_return_t policyResult = KERN_FAILURE;
};

void threadBody(void* argument)
{
    auto* probe = static_cast<ThreadProbe*>(argument);
    probe->self = current_thread();
    thread_time_constraint_policy policy{};
    policy.period = 1'000'000;
    policy.computation = 300'000;
    policy.constraint = 900'000;
    policy.preemptible = 1;
    probe->policyResult =
        thread_policy_set(probe->self, THREAD_TIME_CONSTRAINT_POLICY,
                          reinterpret_cast<thread_policy_t>(&policy), THREAD_TIME_CONSTRAINT_POLICY_COUNT);
    const auto recorded = platform::iokit::timeConstraintOf(probe->self);
    EXPECT_TRUE(recorded.has_value());
    if (recorded) {
        EXPECT_EQ(recorded->policy.computation, 300'000u);
        EXPECT_EQ(recorded->policy.constraint, 900'000u);
    }
    probe->ran = true;
    IOExitThread();
}

TEST(KernelThread, RunsTheFunctionAndRecordsTheTimeConstraintPolicy)
{
    clock::virtual_clock::Scope scope; // kernel threads take part in simulated time: settle waits for its end
    const int before = platform::iokit::runningKernelThreads();
    ThreadProbe probe;
    ASSERT_NE(IOCreateThread(threadBody, &probe), nullptr);
    clock::virtual_clock::settle();
    EXPECT_TRUE(probe.ran);
    EXPECT_NE(probe.self, nullptr);
    EXPECT_EQ(probe.policyResult, KERN_SUCCESS);
    EXPECT_EQ(platform::iokit::runningKernelThreads(), before);
    EXPECT_EQ(current_thread(), nullptr);
    EXPECT_EQ(IOCreateThread(nullptr, nullptr), nullptr);
}

void signalFromKernelThread(void* argument)
{
    semaphore_signal(*static_cast<semaphore_t*>(argument));
}

// The start hand-shake of a kernel thread: a semaphore of the kernel's own task.
TEST(KernelThread, SignalsASemaphoreOfTheKernelTask)
{
    EXPECT_EQ(current_task(), kernel_task);
    semaphore_t semaphore = MACH_PORT_NULL;
    ASSERT_EQ(semaphore_create(current_task(), &semaphore, SYNC_POLICY_FIFO, 0), KERN_SUCCESS);
    ASSERT_NE(IOCreateThread(signalFromKernelThread, &semaphore), nullptr);
    EXPECT_EQ(semaphore_wait(semaphore), KERN_SUCCESS);
    EXPECT_EQ(semaphore_destroy(current_task(), semaphore), KERN_SUCCESS);
}

TEST(IOMallocAligned, BlockIsSharedMemoryThatOutlivesItsFreeWhileADescriptorHoldsIt)
{
    constexpr size_t kSize = 30'488;
    const auto before = platform::iokit::allocationCounts();
    auto* block = static_cast<unsigned char*>(IOMallocAligned(kSize, 4096));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 4096, 0u);
    IOMemoryDescriptor* descriptor = IOMemoryDescriptor::withAddress(block, kSize, kIODirectionInOut);
    ASSERT_NE(descriptor, nullptr);
    ASSERT_GE(descriptor->fileDescriptor(), 0);

    // Another process would map the file; a second mapping here stands for it.
    void* other = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_SHARED, descriptor->fileDescriptor(), 0);
    ASSERT_NE(other, MAP_FAILED);
    block[kSize - 1] = 0x5A;
    EXPECT_EQ(static_cast<unsigned char*>(other)[kSize - 1], 0x5A);

    IOFreeAligned(block, kSize);
    EXPECT_EQ(descriptor->getLength(), kSize);
    unsigned char last = 0;
    EXPECT_EQ(descriptor->readBytes(kSize - 1, &last, 1), 1u); // still readable after the free
    EXPECT_EQ(last, 0x5A);
    descriptor->release();
    static_cast<unsigned char*>(other)[0] = 1; // the other mapping keeps its pages
    munmap(other, kSize);

    const auto after = platform::iokit::allocationCounts();
    EXPECT_EQ(after.bytesAllocated - before.bytesAllocated, after.bytesFreed - before.bytesFreed);
    EXPECT_EQ(IOMallocAligned(64, 8192), nullptr); // alignment above the page
}

TEST(IOBufferMemoryDescriptor, MappingsAliasTheSameBytesWithTheExactLength)
{
    IOBufferMemoryDescriptor* buffer = IOBufferMemoryDescriptor::inTaskWithPhysicalMask(
        kernel_task, kIODirectionInOut | kIOMemoryPhysicallyContiguous, 540'656, 0xFFFFFFFF);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer->getCapacity(), 540'656u);
    auto* bytes = static_cast<unsigned char*>(buffer->getBytesNoCopy());
    EXPECT_EQ(bytes[540'655], 0); // zeroed

    IOMemoryMap* map = buffer->createMappingInTask(kernel_task, 0, kIOMapAnywhere);
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(map->getLength(), 540'656u);
    EXPECT_NE(map->getAddress(), reinterpret_cast<uintptr_t>(bytes));
    reinterpret_cast<unsigned char*>(map->getAddress())[100] = 0x42;
    EXPECT_EQ(bytes[100], 0x42);

    IOMemoryMap* window = buffer->createMappingInTask(kernel_task, 0, kIOMapAnywhere, 5000, 10);
    ASSERT_NE(window, nullptr);
    bytes[5003] = 0x77;
    EXPECT_EQ(reinterpret_cast<unsigned char*>(window->getAddress())[3], 0x77);
    EXPECT_EQ(buffer->createMappingInTask(kernel_task, 0, kIOMapAnywhere, 540'650, 10), nullptr);

    buffer->release(); // the maps keep the memory
    EXPECT_EQ(reinterpret_cast<unsigned char*>(map->getAddress())[100], 0x42);
    window->release();
    map->release();

    EXPECT_EQ(IOBufferMemoryDescriptor::withOptions(kIODirectionIn, 0, 4096), nullptr);
    EXPECT_EQ(IOBufferMemoryDescriptor::withOptions(kIODirectionIn, 16, 1 << 20), nullptr);
}

TEST(IOMemoryDescriptor, PlainMemoryMapsOnlyIntoTheKernelTask)
{
    unsigned char local[16] = {};
    IOMemoryDescriptor* descriptor = IOMemoryDescriptor::withAddress(local, sizeof(local), kIODirectionOut);
    ASSERT_NE(descriptor, nullptr);
    EXPECT_EQ(descriptor->fileDescriptor(), -1);
    IOMemoryMap* map = descriptor->map();
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(map->getAddress(), reinterpret_cast<uintptr_t>(local));
    map->release();
    const task_t user = platform::iokit::createTask(77, 501, "user");
    EXPECT_EQ(platform::iokit::taskRecord(user)->pid, 77);
    EXPECT_EQ(descriptor->createMappingInTask(user, 0, kIOMapAnywhere), nullptr);
    platform::iokit::destroyTask(user);
    EXPECT_FALSE(platform::iokit::taskRecord(user).has_value());
    descriptor->release();
}

} // namespace
