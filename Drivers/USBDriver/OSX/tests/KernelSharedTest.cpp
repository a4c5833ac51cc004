// The kernel shared memory and the real-time thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "IOKit/IOLib.h"
#include "KeThread.h"
#include "SharedMemory.h"
#include "kern/thread.h"
#include "platform/HostClock.h"
#include "platform/Log.h"

namespace vc = platform::host_clock::virtual_clock;

namespace {

constexpr uint64_t kMs = 1'000'000;

TEST(SharedMemoryTest, InitKeepsAnExistingBlockOfTheSameSizeOnly)
{
    SharedMemory memory;
    ASSERT_TRUE(memory.init(30'488));
    auto* bytes = static_cast<uint8_t*>(memory.address());
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(bytes) % 4096, 0u);
    EXPECT_EQ(bytes[30'487], 0);
    bytes[7] = 0x5A;
    EXPECT_TRUE(memory.init(30'488));
    EXPECT_EQ(memory.address(), bytes);
    EXPECT_EQ(bytes[7], 0x5A) << "the contents stay";
    EXPECT_FALSE(memory.init(4096));
    EXPECT_EQ(memory.size(), 30'488u);
    memory.term(false);
    EXPECT_EQ(memory.address(), nullptr);
    EXPECT_EQ(memory.lock(), nullptr);
    IOMemoryDescriptor* descriptor = nullptr;
    EXPECT_EQ(memory.getMemory(&descriptor), kIOReturnNoMemory);
}

TEST(SharedMemoryTest, LockNeverWaitsAndUnlockTellsAMissingLock)
{
    SharedMemory memory;
    ASSERT_TRUE(memory.init(4096));
    platform::log::Capture log(platform::log::Channel::kernel);
    EXPECT_EQ(memory.lock(), memory.address());
    EXPECT_EQ(memory.lock(), nullptr);
    EXPECT_TRUE(memory.unlock());
    EXPECT_FALSE(memory.unlock());
    const auto texts = log.texts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), "SharedMemory::lock failed"), texts.end());
    EXPECT_NE(std::find(texts.begin(), texts.end(), "SharedMemory::unlock failed"), texts.end());
}

TEST(SharedMemoryTest, DescriptorOutlivesTheBlockForItsHolder)
{
    SharedMemory memory;
    ASSERT_TRUE(memory.init(8192));
    std::memset(memory.address(), 0x11, 8192);
    IOMemoryDescriptor* descriptor = nullptr;
    ASSERT_EQ(memory.getMemory(&descriptor), kIOReturnSuccess);
    EXPECT_EQ(descriptor->getLength(), 8192u);
    memory.term(true);
    // A user mapping taken through the descriptor keeps the pages.
    IOMemoryMap* map = descriptor->map();
    ASSERT_NE(map, nullptr);
    map->release();
    descriptor->release();
}

TEST(SharedMemoryTest, TermWaitsForTheLockInTenMillisecondSteps)
{
    vc::Scope clock;
    SharedMemory memory;
    ASSERT_TRUE(memory.init(4096));
    ASSERT_NE(memory.lock(), nullptr);
    platform::log::Capture log(platform::log::Channel::kernel);
    std::atomic<bool> done{false};
    std::thread terminating = platform::host_clock::startParticipant("term", [&] {
        memory.term(true);
        done = true;
    });
    vc::runFor(35 * kMs, kMs);
    EXPECT_FALSE(done.load());
    EXPECT_TRUE(memory.unlock());
    vc::runFor(10 * kMs, kMs);
    terminating.join();
    EXPECT_TRUE(done.load());
    EXPECT_EQ(memory.address(), nullptr);
    platform::log::flush();
    const auto texts = log.texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "SharedMemory::terminate() - wait for lock"), 4)
        << "one line before each 10 ms sleep (at 0, 10, 20 and 30 ms)";
}

std::atomic<int> gServiceCalls{0};
void countingService(void* argument)
{
    EXPECT_EQ(argument, &gServiceCalls);
    ++gServiceCalls;
}

TEST(KeThreadTest, RunsTheServiceEveryMillisecondUntilItIsCleared)
{
    vc::Scope clock;
    gServiceCalls = 0;
    const int before = platform::iokit::runningKernelThreads();
    {
        KeThread thread;
        ASSERT_TRUE(thread.create(&gServiceCalls));
        EXPECT_FALSE(thread.create(&gServiceCalls)) << "one thread per record";
        EXPECT_TRUE(thread.setRealtime(1000, 300, 900));
        thread.setService(&countingService);
        vc::runFor(10 * kMs, kMs);
        const int calls = gServiceCalls.load();
        EXPECT_GE(calls, 9);
        EXPECT_LE(calls, 11);
        thread.setService(nullptr);
        vc::runFor(2 * kMs, kMs);
        const int after = gServiceCalls.load();
        vc::runFor(5 * kMs, kMs);
        EXPECT_EQ(gServiceCalls.load(), after) << "not called once cleared";

        // The service word keeps the service out while held.
        thread.setService(&countingService);
        ASSERT_TRUE(thread.tryLockService());
        const int held = gServiceCalls.load();
        vc::runFor(5 * kMs, kMs);
        EXPECT_EQ(gServiceCalls.load(), held);
        thread.unlockService();
        vc::runFor(3 * kMs, kMs);
        EXPECT_GT(gServiceCalls.load(), held);

        std::atomic<bool> ended{false};
        std::thread ending = platform::host_clock::startParticipant("term", [&] {
            thread.term();
            ended = true;
        });
        while (!ended) {
            vc::runFor(kMs, kMs);
        }
        ending.join();
        EXPECT_FALSE(thread.isRunning());
        // The record is destroyed right after term(): the thread no longer touches it.
    }
    for (int i = 0; i < 100 && platform::iokit::runningKernelThreads() != before; ++i) {
        vc::runFor(kMs, kMs);
    }
    EXPECT_EQ(platform::iokit::runningKernelThreads(), before);
}

// A turn whose service word is held elsewhere is skipped and counted; a sleep that overran by half
// a millisecond or more is counted with its length; the thread itself logs neither.
TEST(KeThreadTest, SkippedTurnsAndLateWakeUpsAreCountedNotLogged)
{
    vc::Scope clock;
    gServiceCalls = 0;
    platform::log::Capture log(platform::log::Channel::kernel);
    VKRealTimeRecord record;
    {
        KeThread thread;
        thread.setRecord(&record);
        ASSERT_TRUE(thread.create(&gServiceCalls));
        thread.setService(&countingService);
        vc::runFor(3 * kMs, kMs);
        EXPECT_EQ(record.total(VKRealTimeRecord::kLateServicePeriods), 0u) << "on time";

        ASSERT_TRUE(thread.tryLockService());
        vc::runFor(2 * kMs, kMs);
        EXPECT_GE(record.total(VKRealTimeRecord::kServiceWordBusy), 1u);
        thread.unlockService();

        vc::runFor(10 * kMs, 5 * kMs); // the clock moves in 5 ms steps: every sleep lasts 5 ms
        EXPECT_GE(record.total(VKRealTimeRecord::kLateServicePeriods), 1u);
        EXPECT_EQ(record.latestServiceDelay(), 5000u);
        platform::log::flush();
        EXPECT_FALSE(log.contains("KeThread::run")) << "a real-time turn logs nothing";
        ASSERT_TRUE(record.report("the test"));
        platform::log::flush();
        EXPECT_TRUE(log.contains("real-time record of the test: late service periods +"));
        EXPECT_TRUE(log.contains("latest 5000 us"));
        EXPECT_TRUE(log.contains("real-time record of the test: service turns skipped (word held) +"));
        EXPECT_FALSE(record.report("the test")) << "each event reported once";

        std::atomic<bool> ended{false};
        std::thread ending = platform::host_clock::startParticipant("term", [&] {
            thread.term();
            ended = true;
        });
        while (!ended) {
            vc::runFor(kMs, kMs);
        }
        ending.join();
    }
}

TEST(KeThreadTest, TermWithoutAThreadOnlyClearsTheServiceWord)
{
    KeThread thread;
    ASSERT_TRUE(thread.tryLockService());
    EXPECT_FALSE(thread.tryLockService());
    EXPECT_FALSE(thread.setRealtime(1000, 300, 900));
    thread.term();
    EXPECT_TRUE(thread.tryLockService());
}

} // namespace
