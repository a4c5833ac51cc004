#include "CompletionDispatcher.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>

#include "platform/HostClock.h"

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

CompletionDispatcher::~CompletionDispatcher()
{
    stop();
}

void CompletionDispatcher::post(const std::shared_ptr<Lane>& lane, CompletionTask task)
{
    std::lock_guard lock(m_mutex);
    lane->tasks.push_back(std::move(task));
    if (!lane->queued) {
        lane->queued = true;
        m_readyLanes.push_back(lane);
    }
    if (m_idle == 0 && m_workers.size() < kMaxWorkers && !m_stopping) {
        auto worker = std::make_unique<Worker>();
        Worker* raw = worker.get();
        ++m_idle; // counted idle until it takes its first lane
        m_workers.push_back(std::move(worker));
        raw->thread = std::thread([this, raw] { work(*raw); });
        return;
    }
    m_ready.notify_one();
}

void CompletionDispatcher::work(Worker& worker)
{
    worker.tid.store(static_cast<pid_t>(syscall(SYS_gettid)), std::memory_order_release);
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
        worker.running = true;
        lock.unlock();

        runTask(task);
        m_delivered.fetch_add(1, std::memory_order_acq_rel);

        lock.lock();
        worker.running = false;
        ++m_idle;
        if (lane->tasks.empty()) {
            lane->queued = false;
        } else {
            m_readyLanes.push_back(std::move(lane));
        }
    }
}

bool CompletionDispatcher::threadBlocked(pid_t tid)
{
    if (tid == 0) {
        return false;
    }
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/stat", static_cast<int>(tid));
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        return true; // already gone
    }
    char buffer[512];
    const size_t n = std::fread(buffer, 1, sizeof buffer - 1, file);
    std::fclose(file);
    buffer[n] = '\0';
    // "tid (name) S ...": the state follows the last ')'.
    const char* close = nullptr;
    for (const char* p = buffer; *p != '\0'; ++p) {
        if (*p == ')') {
            close = p;
        }
    }
    if (close == nullptr || close[1] == '\0' || close[2] == '\0') {
        return false;
    }
    const char state = close[2];
    return state == 'S' || state == 'D';
}

bool CompletionDispatcher::quiescent()
{
    std::vector<pid_t> running;
    {
        std::lock_guard lock(m_mutex);
        if (!m_readyLanes.empty()) {
            return false;
        }
        for (const auto& worker : m_workers) {
            if (worker->running) {
                running.push_back(worker->tid.load(std::memory_order_acquire));
            }
        }
    }
    for (const pid_t tid : running) {
        if (!threadBlocked(tid)) {
            return false;
        }
    }
    return true;
}

void CompletionDispatcher::stop()
{
    std::vector<std::unique_ptr<Worker>> workers;
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping && m_workers.empty()) {
            return;
        }
        m_stopping = true;
        m_ready.notify_all();
        workers.swap(m_workers);
    }
    for (auto& worker : workers) {
        if (worker->thread.joinable()) {
            worker->thread.join();
        }
    }
}

} // namespace usbsim
