#include "CompletionDispatcher.h"

#include <pthread.h>

#include <string>
#include <utility>

#include "usbsim/Bus.h"

namespace usbsim {
namespace {

// Enough for every pipe of several devices to sleep in a completion at once.
constexpr size_t kMaxWorkers = 256;

void runTask(CompletionTask& task)
{
    if (task.notBefore != 0 && platform::host_clock::now() < task.notBefore) {
        platform::host_clock::sleepUntil(task.notBefore);
    }
    switch (task.kind) {
    case CompletionTask::Kind::transfer:
        if (task.completion.action != nullptr) {
            task.completion.action(task.completion.target, task.completion.parameter, task.status,
                                   task.remaining);
        }
        break;
    case CompletionTask::Kind::isoc:
        if (task.isocCompletion.action != nullptr) {
            task.isocCompletion.action(task.isocCompletion.target, task.isocCompletion.parameter, task.status,
                                       task.frames);
        }
        break;
    case CompletionTask::Kind::function:
        if (task.function) {
            task.function();
        }
        break;
    }
}

} // namespace

CompletionDispatcher::CompletionDispatcher()
{
    sched_param parameter{};
    if (pthread_getschedparam(pthread_self(), &m_policy, &parameter) == 0) {
        m_priority = parameter.sched_priority;
    }
}

CompletionDispatcher::~CompletionDispatcher()
{
    stop();
}

void CompletionDispatcher::post(const std::shared_ptr<Lane>& lane, CompletionTask task, bool deferWake)
{
    std::lock_guard lock(m_mutex);
    lane->tasks.push_back(std::move(task));
    if (!lane->queued) {
        lane->queued = true;
        m_readyLanes.push_back(lane);
    }
    if (m_idle == 0 && m_workers.size() < kMaxWorkers && !m_stopping) {
        ++m_idle; // counted idle until it takes its first lane
        m_workers.push_back(platform::host_clock::startParticipant(
            "usb completion thread " + std::to_string(m_workers.size() + 1), [this] { work(); }));
        return;
    }
    if (deferWake) {
        platform::host_clock::creditWake(); // pending work: simulated time waits for the wake-up
        ++m_deferredWakes;
        return;
    }
    m_ready.notifyOne();
}

void CompletionDispatcher::wakeDeferred()
{
    size_t wakes = 0;
    {
        std::lock_guard lock(m_mutex);
        wakes = std::exchange(m_deferredWakes, 0);
    }
    for (size_t i = 0; i < wakes; ++i) {
        m_ready.notifyOne();
    }
    for (; wakes > 0; --wakes) {
        platform::host_clock::withdrawCredit();
    }
}

void CompletionDispatcher::work()
{
    // Named so that a count of a process's threads can tell the bus's pool (it grows to the
    // completions' peak concurrency and stays for the bus's life) from threads of a device.
    pthread_setname_np(pthread_self(), kCompletionThreadName);
    // A thread started for a completion posted from a request thread would otherwise run at that
    // thread's (user) priority, and a busy machine would hold the stream's completions back.
    sched_param parameter{};
    parameter.sched_priority = m_priority;
    pthread_setschedparam(pthread_self(), m_policy, &parameter);
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_ready.wait(lock, [&] { return !m_readyLanes.empty() || m_stopping; });
        if (m_readyLanes.empty()) {
            --m_idle;
            return; // stopping with nothing left
        }
        auto lane = std::move(m_readyLanes.front());
        m_readyLanes.pop_front();
        CompletionTask task = std::move(lane->tasks.front());
        lane->tasks.pop_front();
        --m_idle;
        lock.unlock();

        runTask(task);
        task = CompletionTask{}; // what the completion captured goes before it counts as delivered
        m_delivered.fetch_add(1, std::memory_order_acq_rel);

        lock.lock();
        ++m_idle;
        if (lane->tasks.empty()) {
            lane->queued = false;
        } else {
            m_readyLanes.push_back(std::move(lane));
        }
    }
}

void CompletionDispatcher::stop()
{
    std::vector<std::thread> workers;
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping && m_workers.empty()) {
            return;
        }
        m_stopping = true;
        workers.swap(m_workers);
    }
    m_ready.notifyAll();
    for (auto& worker : workers) {
        if (worker.joinable()) {
            worker.join();
        }
    }
}

} // namespace usbsim
