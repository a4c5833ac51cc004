#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

#include "Owned.h"
#include "platform/HostClock.h"

namespace {

namespace vc = platform::host_clock::virtual_clock;

struct Counter
{
    std::atomic<int> count{0};
    std::thread::id thread{};
    CFOptionFlags types = 0;
};

void countTimer(CFRunLoopTimerRef, void* info)
{
    static_cast<Counter*>(info)->count++;
}

void stopTimer(CFRunLoopTimerRef, void* info)
{
    static_cast<Counter*>(info)->count++;
    CFRunLoopStop(CFRunLoopGetCurrent());
}

void performSource(void* info)
{
    auto* c = static_cast<Counter*>(info);
    c->thread = std::this_thread::get_id();
    c->count++;
}

CFRunLoopTimerRef makeTimer(CFAbsoluteTime fire, CFTimeInterval interval, CFRunLoopTimerCallBack callout,
                            Counter& c)
{
    CFRunLoopTimerContext context{0, &c, nullptr, nullptr, nullptr};
    return CFRunLoopTimerCreate(nullptr, fire, interval, 0, 0, callout, &context);
}

TEST(RunLoop, TimersFireOnTheHostClockAndRepeatInRhythm)
{
    vc::Scope clock;
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    Counter once;
    Counter repeating;
    const CFAbsoluteTime start = CFAbsoluteTimeGetCurrent();
    Owned<CFRunLoopTimerRef> oneShot = makeTimer(start + 1.0, 0, countTimer, once);
    Owned<CFRunLoopTimerRef> periodic = makeTimer(start + 0.5, 0.5, countTimer, repeating);
    CFRunLoopAddTimer(loop, oneShot, kCFRunLoopDefaultMode);
    CFRunLoopAddTimer(loop, periodic, kCFRunLoopCommonModes);
    EXPECT_EQ(CFGetRetainCount(oneShot), 2); // the loop holds its own reference

    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false), kCFRunLoopRunTimedOut);
    EXPECT_EQ(once.count, 0);

    vc::advanceBy(1'000'000'000);
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
    EXPECT_EQ(once.count, 1);
    EXPECT_FALSE(CFRunLoopTimerIsValid(oneShot));
    EXPECT_EQ(CFGetRetainCount(oneShot), 1);
    EXPECT_EQ(repeating.count, 1); // 0.5 and 1.0 were due: missed firings are skipped
    EXPECT_DOUBLE_EQ(CFRunLoopTimerGetNextFireDate(periodic), start + 1.5);

    vc::advanceBy(400'000'000);
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
    EXPECT_EQ(repeating.count, 1);
    vc::advanceBy(100'000'000);
    CFRunLoopRunInMode(CFSTR("another mode"), 0, false); // common modes take part in every mode
    EXPECT_EQ(repeating.count, 2);

    CFRunLoopRemoveTimer(loop, periodic, kCFRunLoopCommonModes);
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false), kCFRunLoopRunFinished);
}

TEST(RunLoop, AWaitingLoopFollowsTheVirtualClock)
{
    vc::Scope clock;
    Counter fired;
    std::atomic<SInt32> result{0};
    std::thread worker = platform::host_clock::startParticipant("run loop", [&] {
        Owned<CFRunLoopTimerRef> timer = makeTimer(CFAbsoluteTimeGetCurrent() + 30.0, 0, stopTimer, fired);
        CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);
        result = CFRunLoopRunInMode(kCFRunLoopDefaultMode, 100.0, false);
    });
    vc::runFor(29'000'000'000, 1'000'000'000);
    EXPECT_EQ(fired.count, 0);
    EXPECT_EQ(result, 0);
    vc::runFor(1'000'000'000, 1'000'000'000);
    EXPECT_EQ(fired.count, 1);
    EXPECT_EQ(result, kCFRunLoopRunStopped);
    worker.join();
}

// True once `loop` (run by another thread) waits; false after ten seconds.
bool becomesWaiting(CFRunLoopRef loop)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!CFRunLoopIsWaiting(loop)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST(RunLoop, RealTimeOutAndStopFromAnotherThread)
{
    Counter fired;
    Owned<CFRunLoopTimerRef> keepAlive = makeTimer(CFAbsoluteTimeGetCurrent() + 1000.0, 0, countTimer, fired);
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    CFRunLoopAddTimer(loop, keepAlive, kCFRunLoopDefaultMode);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.02, false), kCFRunLoopRunTimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(20));

    std::thread stopper([loop] {
        ASSERT_TRUE(becomesWaiting(loop));
        CFRunLoopStop(loop);
    });
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 30.0, false), kCFRunLoopRunStopped);
    stopper.join();
    CFRunLoopTimerInvalidate(keepAlive);
}

TEST(RunLoop, SignalledSourcePerformsOnTheLoopsThread)
{
    Counter performed;
    CFRunLoopSourceContext context{};
    context.info = &performed;
    context.perform = performSource;
    Owned<CFRunLoopSourceRef> source = CFRunLoopSourceCreate(nullptr, 0, &context);
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    CFRunLoopAddSource(loop, source, kCFRunLoopDefaultMode);
    EXPECT_TRUE(CFRunLoopContainsSource(loop, source, kCFRunLoopDefaultMode));
    EXPECT_EQ(CFGetRetainCount(source), 2);

    std::thread signaller([&] {
        CFRunLoopSourceSignal(source);
        CFRunLoopWakeUp(loop);
    });
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10.0, true), kCFRunLoopRunHandledSource);
    signaller.join();
    EXPECT_EQ(performed.count, 1);
    EXPECT_EQ(performed.thread, std::this_thread::get_id());

    // Two signals before a run perform once; an unsignalled source is not performed.
    CFRunLoopSourceSignal(source);
    CFRunLoopSourceSignal(source);
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
    EXPECT_EQ(performed.count, 2);

    CFRunLoopSourceInvalidate(source);
    EXPECT_FALSE(CFRunLoopContainsSource(loop, source, kCFRunLoopDefaultMode));
    EXPECT_EQ(CFGetRetainCount(source), 1);
    CFRunLoopSourceSignal(source);
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false), kCFRunLoopRunFinished);
    EXPECT_EQ(performed.count, 2);
}

void readCallback(CFFileDescriptorRef f, CFOptionFlags types, void* info)
{
    auto* c = static_cast<Counter*>(info);
    c->types = types;
    char byte;
    EXPECT_EQ(read(CFFileDescriptorGetNativeDescriptor(f), &byte, 1), 1);
    c->count++;
}

TEST(RunLoop, DescriptorSourceWakesWhenReadableAndFiresOncePerEnable)
{
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    Counter events;
    CFFileDescriptorContext context{0, &events, nullptr, nullptr, nullptr};
    Owned<CFFileDescriptorRef> descriptor =
        CFFileDescriptorCreate(nullptr, pipeFds[0], true, readCallback, &context);
    Owned<CFRunLoopSourceRef> source = CFFileDescriptorCreateRunLoopSource(nullptr, descriptor, 0);
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    CFRunLoopAddSource(loop, source, kCFRunLoopDefaultMode);
    CFFileDescriptorEnableCallBacks(descriptor, kCFFileDescriptorReadCallBack);

    std::thread writer([&] {
        ASSERT_TRUE(becomesWaiting(loop));
        EXPECT_EQ(write(pipeFds[1], "a", 1), 1);
    });
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10.0, true), kCFRunLoopRunHandledSource);
    writer.join();
    EXPECT_EQ(events.count, 1);
    EXPECT_EQ(events.types, kCFFileDescriptorReadCallBack);

    // Not enabled again: a new byte waits (one pass over a readable descriptor calls nothing).
    ASSERT_EQ(write(pipeFds[1], "b", 1), 1);
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true), kCFRunLoopRunTimedOut);
    EXPECT_EQ(events.count, 1);
    CFFileDescriptorEnableCallBacks(descriptor, kCFFileDescriptorReadCallBack);
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10.0, true), kCFRunLoopRunHandledSource);
    EXPECT_EQ(events.count, 2);

    CFFileDescriptorInvalidate(descriptor); // closes the read end and leaves the loop
    EXPECT_FALSE(CFRunLoopContainsSource(loop, source, kCFRunLoopDefaultMode));
    EXPECT_EQ(fcntl(pipeFds[0], F_GETFD), -1);
    close(pipeFds[1]);
}

TEST(RunLoop, BlocksFromOtherThreadsRunInOrderOnTheLoop)
{
    CFRunLoopRef loop = CFRunLoopGetMain();
    EXPECT_EQ(loop, CFRunLoopGetCurrent()); // the test runs on the main thread
    CFRunLoopRef workerLoop = nullptr;
    std::thread([&] { workerLoop = CFRunLoopGetCurrent(); }).join();
    EXPECT_NE(workerLoop, loop);

    // Something to wait for, so the loop keeps running until stopped.
    Counter unused;
    Owned<CFRunLoopTimerRef> keepAlive =
        makeTimer(CFAbsoluteTimeGetCurrent() + 1000.0, 0, countTimer, unused);
    CFRunLoopAddTimer(loop, keepAlive, kCFRunLoopDefaultMode);

    constexpr int kThreads = 3;
    constexpr int kBlocks = 200;
    std::vector<std::vector<int>> seen(kThreads);
    std::atomic<int> done{0};
    std::vector<std::thread> posters;
    const auto mainThread = std::this_thread::get_id();
    bool allOnMain = true;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kBlocks; ++i) {
                CFRunLoopPerformBlock(loop, kCFRunLoopDefaultMode, [&, t, i] {
                    seen[t].push_back(i);
                    allOnMain = allOnMain && std::this_thread::get_id() == mainThread;
                    if (++done == kThreads * kBlocks) {
                        CFRunLoopStop(CFRunLoopGetCurrent());
                    }
                });
            }
        });
    }
    CFRunLoopRun();
    for (auto& p : posters) {
        p.join();
    }
    EXPECT_TRUE(allOnMain);
    for (const auto& list : seen) {
        ASSERT_EQ(list.size(), static_cast<size_t>(kBlocks));
        EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
    }
    CFRunLoopTimerInvalidate(keepAlive);
}

} // namespace
