// Runs transfer completions off the thread that services the bus: one serial lane per pipe (its
// completions in order, one at a time) over a pool of threads that grows whenever every thread is
// busy, so a completion that sleeps or waits never holds up another pipe's completions. The
// threads are participants of simulated time (platform/HostClock.h). Every thread of the pool runs
// with the scheduling of the thread that made the dispatcher (the bus's maker: a kernel host
// gives its bus real-time priority), whichever thread's completion started it.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/HostClock.h"
#include "usbsim/Types.h"

namespace usbsim {

struct CompletionTask
{
    enum class Kind : uint8_t
    {
        transfer,
        isoc,
        function,
    };
    Kind kind = Kind::transfer;
    Status status = kSuccess;
    uint32_t remaining = 0;
    IsocFrame* frames = nullptr;
    Completion completion;
    IsocCompletion isocCompletion;
    uint64_t notBefore = 0; // host time; a late completion waits for it (and holds its lane)
    std::function<void()> function;
};

class CompletionDispatcher
{
public:
    struct Lane
    {
        std::deque<CompletionTask> tasks; // guarded by the dispatcher's mutex
        bool queued = false;              // in the ready list or running
    };

    CompletionDispatcher();
    ~CompletionDispatcher();
    CompletionDispatcher(const CompletionDispatcher&) = delete;
    CompletionDispatcher& operator=(const CompletionDispatcher&) = delete;

    std::shared_ptr<Lane> makeLane() { return std::make_shared<Lane>(); }
    // Queues `task` on its lane. With `deferWake` no thread is woken for it until wakeDeferred()
    // (lets a caller that holds a lock the completion will want release it first); the caller
    // wakes before anything can wait for the task.
    void post(const std::shared_ptr<Lane>& lane, CompletionTask task, bool deferWake = false);
    void wakeDeferred();
    // Runs what is queued, then ends the threads.
    void stop();
    uint64_t delivered() const { return m_delivered.load(std::memory_order_acquire); }

private:
    void work();

    std::mutex m_mutex;
    platform::host_clock::Condition m_ready;
    // Guarded by m_mutex.
    std::deque<std::shared_ptr<Lane>> m_readyLanes;
    std::vector<std::thread> m_workers;
    size_t m_idle = 0;
    size_t m_deferredWakes = 0;
    bool m_stopping = false;
    std::atomic<uint64_t> m_delivered{0};
    int m_policy = 0; // the maker's scheduling, which every thread of the pool takes
    int m_priority = 0;
};

} // namespace usbsim
