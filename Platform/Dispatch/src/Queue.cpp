#include <atomic>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <pthread.h>
#include <string>
#include <thread>

#include "platform/DispatchQueues.h"
#include "platform/HostClock.h"

namespace platform::dispatch {

class Queue
{
public:
    // A queue made on a participant of simulated time (kernel code) takes part in it too.
    explicit Queue(const char* label) : m_label(label == nullptr ? "" : label)
    {
        std::thread worker = host_clock::isParticipant()
                                 ? host_clock::startParticipant("dispatch queue " + m_label, [this] { run(); })
                                 : std::thread([this] { run(); });
        m_worker = worker.get_id();
        worker.detach(); // the worker frees the queue when it ends
    }

    const std::string& label() const { return m_label; }
    bool onWorker() const { return std::this_thread::get_id() == m_worker; }

    void retain() { m_references.fetch_add(1, std::memory_order_relaxed); }
    void release()
    {
        if (m_references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            std::lock_guard lock(m_mutex);
            m_released = true;
            m_changed.notifyAll();
        }
    }

    void enqueue(std::function<void()> work)
    {
        std::lock_guard lock(m_mutex);
        m_items.push_back(std::move(work));
        m_changed.notifyAll();
    }

    void enqueueAt(dispatch_time_t when, std::function<void()> work)
    {
        std::lock_guard lock(m_mutex);
        m_delayed.emplace(when, std::move(work)); // after equal times: queued order
        m_changed.notifyAll();
    }

    void drain()
    {
        if (onWorker()) {
            return;
        }
        std::unique_lock lock(m_mutex);
        m_idle.wait(lock, [this] { return m_items.empty() && !m_running && !delayedDueLocked(); });
    }

private:
    ~Queue() = default;

    // Delayed work whose time has come but that the worker has not queued yet.
    bool delayedDueLocked() const { return !m_delayed.empty() && m_delayed.begin()->first <= host_clock::now(); }

    // The worker: runs items in order, moves due delayed work over, and ends once released
    // with nothing left to run.
    void run()
    {
        const std::string name = m_label.substr(0, 15);
        pthread_setname_np(pthread_self(), name.c_str());
        std::unique_lock lock(m_mutex);
        for (;;) {
            const uint64_t now = host_clock::now();
            while (!m_delayed.empty() && m_delayed.begin()->first <= now) {
                m_items.push_back(std::move(m_delayed.begin()->second));
                m_delayed.erase(m_delayed.begin());
            }
            if (!m_items.empty()) {
                auto work = std::move(m_items.front());
                m_items.pop_front();
                m_running = true;
                lock.unlock();
                work();
                work = nullptr; // captured state goes before the queue is seen idle
                lock.lock();
                m_running = false;
                if (m_items.empty()) {
                    m_idle.notifyAll();
                }
                continue;
            }
            if (m_released && m_delayed.empty()) {
                break;
            }
            if (m_delayed.empty()) {
                m_changed.wait(lock, [this] { return !m_items.empty() || !m_delayed.empty() || m_released; });
                continue;
            }
            const uint64_t due = m_delayed.begin()->first;
            m_changed.waitUntil(lock, due,
                                [this, due] { return !m_items.empty() || m_delayed.begin()->first < due; });
        }
        lock.unlock();
        delete this;
    }

    const std::string m_label;
    std::thread::id m_worker;
    std::atomic<int> m_references{1};
    std::mutex m_mutex;
    host_clock::Condition m_changed; // work queued, or released
    host_clock::Condition m_idle;    // nothing queued, nothing running and nothing due
    // Guarded by m_mutex.
    std::deque<std::function<void()>> m_items;
    std::multimap<dispatch_time_t, std::function<void()>> m_delayed;
    bool m_running = false;
    bool m_released = false;
};

dispatch_queue_t globalSerialQueue()
{
    static dispatch_queue_t queue = new Queue("global serial queue");
    return queue;
}

void drain(dispatch_queue_t queue)
{
    if (queue != nullptr) {
        queue->drain();
    }
}

} // namespace platform::dispatch

using platform::dispatch::Queue;

dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta)
{
    if (when == DISPATCH_TIME_FOREVER) {
        return DISPATCH_TIME_FOREVER;
    }
    const uint64_t base = when == DISPATCH_TIME_NOW ? platform::host_clock::now() : when;
    if (delta < 0) {
        const auto magnitude = static_cast<uint64_t>(-(delta + 1)) + 1;
        return magnitude >= base ? 1 : base - magnitude;
    }
    const auto amount = static_cast<uint64_t>(delta);
    return amount >= DISPATCH_TIME_FOREVER - base ? DISPATCH_TIME_FOREVER - 1 : base + amount;
}

dispatch_queue_t dispatch_queue_create(const char* label, dispatch_queue_attr_t)
{
    return new Queue(label);
}

const char* dispatch_queue_get_label(dispatch_queue_t queue)
{
    return queue == nullptr ? "" : queue->label().c_str();
}

void dispatch_retain(dispatch_queue_t queue)
{
    if (queue != nullptr) {
        queue->retain();
    }
}

void dispatch_release(dispatch_queue_t queue)
{
    if (queue != nullptr) {
        queue->release();
    }
}

void dispatch_async(dispatch_queue_t queue, dispatch_block_t block)
{
    if (queue != nullptr && block) {
        queue->enqueue(std::move(block));
    }
}

void dispatch_async_f(dispatch_queue_t queue, void* context, dispatch_function_t work)
{
    if (work != nullptr) {
        dispatch_async(queue, [context, work] { work(context); });
    }
}

void dispatch_sync(dispatch_queue_t queue, dispatch_block_t block)
{
    if (queue == nullptr || !block) {
        return;
    }
    if (queue->onWorker()) {
        block();
        return;
    }
    std::promise<void> done;
    auto finished = done.get_future();
    queue->enqueue([&block, &done] {
        block();
        done.set_value();
    });
    finished.wait();
}

void dispatch_sync_f(dispatch_queue_t queue, void* context, dispatch_function_t work)
{
    if (work != nullptr) {
        dispatch_sync(queue, [context, work] { work(context); });
    }
}

void dispatch_after(dispatch_time_t when, dispatch_queue_t queue, dispatch_block_t block)
{
    if (queue == nullptr || !block || when == DISPATCH_TIME_FOREVER) {
        return;
    }
    queue->enqueueAt(when == DISPATCH_TIME_NOW ? platform::host_clock::now() : when, std::move(block));
}

void dispatch_after_f(dispatch_time_t when, dispatch_queue_t queue, void* context, dispatch_function_t work)
{
    if (work != nullptr) {
        dispatch_after(when, queue, [context, work] { work(context); });
    }
}
