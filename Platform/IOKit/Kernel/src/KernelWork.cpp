#include "KernelWork.h"

#include <deque>
#include <mutex>
#include <thread>

#include "platform/HostClock.h"

namespace platform::iokit::detail {
namespace {

struct WorkThread
{
    std::mutex mutex;
    platform::host_clock::Condition posted;
    std::deque<std::function<void()>> jobs; // guarded by mutex
    std::thread::id id;

    WorkThread()
    {
        std::thread thread = platform::host_clock::startParticipant("kernel work thread", [this] { run(); });
        id = thread.get_id();
        thread.detach(); // lives as long as the process
    }

    void run()
    {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(mutex);
                posted.wait(lock, [&] { return !jobs.empty(); });
                job = std::move(jobs.front());
                jobs.pop_front();
            }
            job();
        }
    }
};

WorkThread& workThread()
{
    static auto* w = new WorkThread; // never destroyed: the detached thread uses it to the end
    return *w;
}

} // namespace

void postWork(std::function<void()> job)
{
    auto& w = workThread();
    {
        std::lock_guard lock(w.mutex);
        w.jobs.push_back(std::move(job));
    }
    w.posted.notifyOne();
}

bool onWorkThread()
{
    return std::this_thread::get_id() == workThread().id;
}

} // namespace platform::iokit::detail
