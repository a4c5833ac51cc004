// Collects transfer completions for the tests, with the thread each one ran on.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "usbsim/Types.h"

namespace usbsim::test {

struct Completed
{
    int tag = 0;
    Status status = kSuccess;
    uint32_t remaining = 0;
    IsocFrame* frames = nullptr;
    std::thread::id thread;
};

class Recorder
{
public:
    // A completion record whose parameter is `tag`.
    Completion completion(int tag)
    {
        return {this, &Recorder::onTransfer, reinterpret_cast<void*>(intptr_t{tag})};
    }
    IsocCompletion isoc(int tag) { return {this, &Recorder::onIsoc, reinterpret_cast<void*>(intptr_t{tag})}; }

    // Runs inside each completion, before it is recorded.
    std::function<void(const Completed&)> hook;

    std::vector<Completed> all() const
    {
        std::lock_guard lock(m_mutex);
        return m_completed;
    }
    size_t count() const
    {
        std::lock_guard lock(m_mutex);
        return m_completed.size();
    }
    // Real-time wait, for tests that run the bus on the real clock or from another thread.
    bool waitFor(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return m_completed.size() >= count; });
    }

private:
    static void onTransfer(void* target, void* parameter, Status status, uint32_t remaining)
    {
        static_cast<Recorder*>(target)->add({static_cast<int>(reinterpret_cast<intptr_t>(parameter)), status,
                                             remaining, nullptr, std::this_thread::get_id()});
    }
    static void onIsoc(void* target, void* parameter, Status status, IsocFrame* frames)
    {
        static_cast<Recorder*>(target)->add({static_cast<int>(reinterpret_cast<intptr_t>(parameter)), status,
                                             0, frames, std::this_thread::get_id()});
    }
    void add(const Completed& completed)
    {
        if (hook) {
            hook(completed);
        }
        std::lock_guard lock(m_mutex);
        m_completed.push_back(completed);
        m_changed.notify_all();
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Completed> m_completed;
};

} // namespace usbsim::test
