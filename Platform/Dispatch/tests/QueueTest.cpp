#include <atomic>
#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/DispatchQueues.h"
#include "platform/HostClock.h"

namespace {

namespace vc = platform::host_clock::virtual_clock;

TEST(DispatchQueue, RunsWorkOneAtATimeInQueuedOrder)
{
    dispatch_queue_t queue = dispatch_queue_create("order", DISPATCH_QUEUE_SERIAL);
    EXPECT_STREQ(dispatch_queue_get_label(queue), "order");
    constexpr int kThreads = 4;
    constexpr int kItems = 250;
    std::vector<std::vector<int>> seen(kThreads);
    std::atomic<bool> inside{false};
    std::atomic<bool> overlapped{false};
    std::thread::id worker;
    std::atomic<bool> oneThread{true};
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kItems; ++i) {
                dispatch_async(queue, [&, t, i] {
                    if (inside.exchange(true)) {
                        overlapped = true;
                    }
                    if (worker == std::thread::id()) {
                        worker = std::this_thread::get_id();
                    }
                    oneThread = oneThread && worker == std::this_thread::get_id();
                    seen[t].push_back(i);
                    inside = false;
                });
            }
        });
    }
    for (auto& p : posters) {
        p.join();
    }
    platform::dispatch::drain(queue);
    EXPECT_FALSE(overlapped);
    EXPECT_TRUE(oneThread);
    EXPECT_NE(worker, std::this_thread::get_id());
    for (const auto& list : seen) {
        ASSERT_EQ(list.size(), static_cast<size_t>(kItems));
        EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
    }
    dispatch_release(queue);
}

void addOne(void* context)
{
    ++*static_cast<int*>(context);
}

TEST(DispatchQueue, SyncWaitsForEarlierWorkAndRunsInlineFromTheQueue)
{
    dispatch_queue_t queue = dispatch_queue_create("sync", nullptr);
    std::vector<int> order;
    dispatch_async(queue, [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        order.push_back(1);
    });
    dispatch_sync(queue, [&] {
        order.push_back(2);
        dispatch_sync(queue, [&] { order.push_back(3); }); // nested: no deadlock
    });
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));

    int counter = 0;
    dispatch_async_f(queue, &counter, addOne);
    dispatch_sync_f(queue, &counter, addOne);
    EXPECT_EQ(counter, 2);
    dispatch_release(queue);
}

TEST(DispatchQueue, DelayedWorkFollowsTheVirtualClock)
{
    vc::Scope clock;
    dispatch_queue_t queue = dispatch_queue_create("after", nullptr);
    std::mutex mutex;
    std::vector<int> order;
    auto record = [&](int n) {
        return [&, n] {
            std::lock_guard lock(mutex);
            order.push_back(n);
        };
    };
    dispatch_after(dispatch_time(DISPATCH_TIME_NOW, 10 * NSEC_PER_MSEC), queue, record(3));
    dispatch_after(dispatch_time(DISPATCH_TIME_NOW, 5 * NSEC_PER_MSEC), queue, record(1));
    dispatch_after(dispatch_time(DISPATCH_TIME_NOW, 5 * NSEC_PER_MSEC), queue, record(2));
    dispatch_after(DISPATCH_TIME_FOREVER, queue, record(99));
    platform::dispatch::drain(queue);
    EXPECT_TRUE(order.empty());

    // drain waits for the work whose time has come, and only for it.
    auto seen = [&] {
        platform::dispatch::drain(queue);
        std::lock_guard lock(mutex);
        return order;
    };
    vc::advanceBy(5 * NSEC_PER_MSEC - 1);
    EXPECT_TRUE(seen().empty());
    vc::advanceBy(1);
    EXPECT_EQ(seen(), (std::vector<int>{1, 2}));
    vc::advanceBy(5 * NSEC_PER_MSEC - 1);
    EXPECT_EQ(seen(), (std::vector<int>{1, 2}));
    vc::advanceBy(1);
    EXPECT_EQ(seen(), (std::vector<int>{1, 2, 3}));
    dispatch_release(queue);
}

// A queue made by kernel code (a participant of simulated time) takes part in it: its due work
// is done before the clock moves on, and its chained work too.
TEST(DispatchQueue, AQueueMadeOnAParticipantIsWaitedForBySettling)
{
    vc::Scope clock;
    dispatch_queue_t queue = nullptr;
    platform::host_clock::startParticipant("kernel code", [&] { queue = dispatch_queue_create("kernel", nullptr); })
        .join();
    std::atomic<int> ran{0};
    std::atomic<uint64_t> ranAt{0};
    dispatch_after(dispatch_time(DISPATCH_TIME_NOW, 5 * NSEC_PER_MSEC), queue, [&] {
        ranAt = platform::host_clock::now();
        dispatch_async(queue, [&] { ++ran; });
    });
    const uint64_t start = platform::host_clock::now();
    vc::runFor(4 * NSEC_PER_MSEC, NSEC_PER_MSEC);
    EXPECT_EQ(ranAt.load(), 0u);
    vc::runFor(NSEC_PER_MSEC, NSEC_PER_MSEC);
    EXPECT_EQ(ranAt.load(), start + 5 * NSEC_PER_MSEC);
    EXPECT_EQ(ran.load(), 1);
    dispatch_release(queue);
    vc::settle(); // the worker ends
}

TEST(DispatchQueue, ReleasedQueueStillRunsEverythingQueuedOnIt)
{
    std::mutex mutex;
    std::condition_variable allDone;
    int done = 0;
    constexpr int kItems = 30;
    {
        dispatch_queue_t queue = dispatch_queue_create("teardown", nullptr);
        auto finishOne = [&] {
            std::lock_guard lock(mutex);
            ++done;
            allDone.notify_all();
        };
        for (int i = 0; i < kItems; ++i) {
            dispatch_async(queue, [finishOne] {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                finishOne();
            });
        }
        dispatch_after(dispatch_time(DISPATCH_TIME_NOW, 30 * NSEC_PER_MSEC), queue, finishOne);
        dispatch_release(queue);
    }
    std::unique_lock lock(mutex);
    EXPECT_TRUE(allDone.wait_for(lock, std::chrono::seconds(10), [&] { return done == kItems + 1; }));
}

TEST(DispatchQueue, GlobalSerialQueueIsOneAndDrainsChainedWork)
{
    dispatch_queue_t global = platform::dispatch::globalSerialQueue();
    EXPECT_EQ(global, platform::dispatch::globalSerialQueue());
    std::atomic<int> steps{0};
    dispatch_async(global, [&] {
        ++steps;
        dispatch_async(platform::dispatch::globalSerialQueue(), [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            ++steps;
        });
    });
    platform::dispatch::drain(global);
    EXPECT_EQ(steps, 2);
}

TEST(DispatchTime, SaturatesAndKeepsForever)
{
    EXPECT_EQ(dispatch_time(DISPATCH_TIME_FOREVER, 5), DISPATCH_TIME_FOREVER);
    EXPECT_EQ(dispatch_time(100, 50), 150U);
    EXPECT_EQ(dispatch_time(100, -500), 1U);
    EXPECT_LT(dispatch_time(DISPATCH_TIME_FOREVER - 10, 100), DISPATCH_TIME_FOREVER);
}

} // namespace
