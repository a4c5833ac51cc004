#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "mach/mach_init.h"
#include "mach/semaphore.h"
#include "platform/HostClock.h"
#include "platform/MachThreads.h"
#include "platform/RealTime.h"

namespace {

struct SemaphoreState
{
    std::mutex mutex;
    platform::host_clock::Condition changed;
    int count = 0;          // guarded by mutex
    bool destroyed = false; // guarded by mutex
};

struct Registry
{
    std::mutex mutex;
    std::map<semaphore_t, std::shared_ptr<SemaphoreState>> semaphores; // guarded by mutex
    semaphore_t nextPort = 0x2103;                                     // guarded by mutex
};

Registry& registry()
{
    // Never destroyed: threads still ending at exit (their exit guards, late signals) use it.
    static auto* r = new Registry;
    return *r;
}

std::shared_ptr<SemaphoreState> lookup(semaphore_t semaphore)
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    const auto it = r.semaphores.find(semaphore);
    return it == r.semaphores.end() ? nullptr : it->second;
}

// Takes one count after a wait ended; the result of the wait.
kern_return_t takeLocked(SemaphoreState& s)
{
    if (s.destroyed) {
        return KERN_TERMINATED;
    }
    if (s.count == 0) {
        return KERN_OPERATION_TIMED_OUT;
    }
    --s.count;
    return KERN_SUCCESS;
}

// Waits for a count, until the host time reaches `deadline` when there is one.
kern_return_t waitFor(semaphore_t semaphore, std::optional<uint64_t> deadline)
{
    platform::realtime::check("semaphore wait");
    const auto state = lookup(semaphore);
    if (state == nullptr) {
        return KERN_INVALID_NAME;
    }
    std::unique_lock lock(state->mutex);
    const auto ready = [&] { return state->count > 0 || state->destroyed; };
    if (deadline) {
        state->changed.waitUntil(lock, *deadline, ready);
    } else {
        state->changed.wait(lock, ready);
    }
    return takeLocked(*state);
}

} // namespace

kern_return_t semaphore_create(task_t task, semaphore_t* semaphore, int policy, int value)
{
    if (semaphore == nullptr || task != mach_task_self() || value < 0 || policy < SYNC_POLICY_FIFO ||
        policy > (SYNC_POLICY_FIXED_PRIORITY | SYNC_POLICY_REVERSED)) {
        return KERN_INVALID_ARGUMENT;
    }
    auto state = std::make_shared<SemaphoreState>();
    state->count = value;
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    *semaphore = r.nextPort++;
    r.semaphores.emplace(*semaphore, std::move(state));
    return KERN_SUCCESS;
}

kern_return_t semaphore_destroy(task_t task, semaphore_t semaphore)
{
    if (task != mach_task_self()) {
        return KERN_INVALID_ARGUMENT;
    }
    std::shared_ptr<SemaphoreState> state;
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        const auto it = r.semaphores.find(semaphore);
        if (it == r.semaphores.end()) {
            return KERN_INVALID_NAME;
        }
        state = std::move(it->second);
        r.semaphores.erase(it);
    }
    std::lock_guard lock(state->mutex);
    state->destroyed = true;
    state->changed.notifyAll();
    return KERN_SUCCESS;
}

kern_return_t semaphore_signal(semaphore_t semaphore)
{
    const auto state = lookup(semaphore);
    if (state == nullptr) {
        return KERN_INVALID_NAME;
    }
    std::lock_guard lock(state->mutex);
    ++state->count;
    state->changed.notifyAll();
    return KERN_SUCCESS;
}

kern_return_t semaphore_wait(semaphore_t semaphore)
{
    return waitFor(semaphore, std::nullopt);
}

kern_return_t semaphore_timedwait(semaphore_t semaphore, mach_timespec_t wait)
{
    if (wait.tv_nsec < 0 || wait.tv_nsec >= 1'000'000'000) {
        return KERN_INVALID_ARGUMENT;
    }
    return waitFor(semaphore, platform::host_clock::now() + uint64_t{wait.tv_sec} * 1'000'000'000ULL +
                                  static_cast<uint64_t>(wait.tv_nsec));
}

int platform::mach_threads::liveSemaphores()
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    return static_cast<int>(r.semaphores.size());
}
