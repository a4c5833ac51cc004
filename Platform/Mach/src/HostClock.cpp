#include "platform/HostClock.h"

#include <algorithm>
#include <atomic>
#include <ctime>
#include <thread>
#include <vector>

#include "mach/mach_time.h"

namespace platform::host_clock {
namespace {

uint64_t monotonicNanoseconds()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

// State of the virtual clock. `time` and `enabled` are read lock-free by now(); everything else
// is guarded by `mutex`.
struct VirtualState
{
    std::atomic<bool> enabled{false};
    std::atomic<uint64_t> time{0};
    std::mutex mutex;
    std::condition_variable advanced;              // sleepUntil waits here
    std::condition_variable sleepersChanged;       // waitForSleepers waits here
    std::vector<std::condition_variable*> waiters; // guarded by mutex
    int sleepers = 0;                              // guarded by mutex
};

VirtualState& state()
{
    static VirtualState s;
    return s;
}

void notifyAllLocked(VirtualState& s)
{
    s.advanced.notify_all();
    for (auto* cv : s.waiters) {
        cv->notify_all();
    }
}

} // namespace

uint64_t now()
{
    auto& s = state();
    if (s.enabled.load(std::memory_order_acquire)) {
        return s.time.load(std::memory_order_acquire);
    }
    return monotonicNanoseconds();
}

void sleepUntil(uint64_t deadline)
{
    auto& s = state();
    if (!s.enabled.load(std::memory_order_acquire)) {
        const auto until = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(deadline));
        std::this_thread::sleep_until(until);
        return;
    }
    std::unique_lock lock(s.mutex);
    ++s.sleepers;
    s.sleepersChanged.notify_all();
    s.advanced.wait(lock, [&] {
        return !s.enabled.load(std::memory_order_acquire) ||
               s.time.load(std::memory_order_acquire) >= deadline;
    });
    --s.sleepers;
    s.sleepersChanged.notify_all();
}

void sleepFor(uint64_t nanoseconds)
{
    sleepUntil(now() + nanoseconds);
}

namespace detail {

VirtualWaiter::VirtualWaiter(std::condition_variable& cv) : m_cv(cv)
{
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.waiters.push_back(&m_cv);
    ++s.sleepers;
    s.sleepersChanged.notify_all();
}

VirtualWaiter::~VirtualWaiter()
{
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.waiters.erase(std::find(s.waiters.begin(), s.waiters.end(), &m_cv));
    --s.sleepers;
    s.sleepersChanged.notify_all();
}

} // namespace detail

namespace virtual_clock {

void enable(uint64_t start)
{
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.time.store(start, std::memory_order_release);
    s.enabled.store(true, std::memory_order_release);
}

void disable()
{
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.enabled.store(false, std::memory_order_release);
    notifyAllLocked(s);
}

bool enabled()
{
    return state().enabled.load(std::memory_order_acquire);
}

void advanceTo(uint64_t time)
{
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (time > s.time.load(std::memory_order_relaxed)) {
        s.time.store(time, std::memory_order_release);
    }
    notifyAllLocked(s);
}

void advanceBy(uint64_t nanoseconds)
{
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.time.fetch_add(nanoseconds, std::memory_order_acq_rel);
    notifyAllLocked(s);
}

int sleepers()
{
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return s.sleepers;
}

bool waitForSleepers(int count, std::chrono::milliseconds realTimeout)
{
    auto& s = state();
    std::unique_lock lock(s.mutex);
    return s.sleepersChanged.wait_for(lock, realTimeout, [&] { return s.sleepers >= count; });
}

} // namespace virtual_clock
} // namespace platform::host_clock

uint64_t mach_absolute_time()
{
    return platform::host_clock::now();
}

kern_return_t mach_timebase_info(mach_timebase_info_t info)
{
    if (info == nullptr) {
        return KERN_INVALID_ARGUMENT;
    }
    info->numer = 1;
    info->denom = 1;
    return KERN_SUCCESS;
}
