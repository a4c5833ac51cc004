// The one host clock of the system: nanoseconds of CLOCK_MONOTONIC, or, in tests, a virtual
// clock that only moves when the test advances it. Everything that sleeps or waits with a
// deadline (threads, semaphores, the USB bus) goes through here so that it follows the virtual
// clock too.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace platform::host_clock {

// Current host time in nanoseconds.
uint64_t now();

// Blocks until now() >= deadline.
void sleepUntil(uint64_t deadline);
void sleepFor(uint64_t nanoseconds);

// Waits on `cv` (with `lock` held, as std::condition_variable::wait) until `pred()` holds or the
// host time reaches `deadline`. Returns pred(). Whoever makes pred() true must notify `cv`.
template <class Predicate>
bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, uint64_t deadline,
               Predicate pred);

// Virtual-clock control, for tests.
namespace virtual_clock {

// Switches the whole process to a virtual clock that starts at `start` nanoseconds.
void enable(uint64_t start = 1'000'000'000);
// Back to the real monotonic clock; wakes every virtual sleeper.
void disable();
bool enabled();

// Moves virtual time forward (never backward) and wakes the sleepers whose deadline has come.
void advanceTo(uint64_t time);
void advanceBy(uint64_t nanoseconds);

// Threads currently blocked in sleepUntil/waitUntil on the virtual clock.
int sleepers();
// Blocks (in real time, at most `realTimeout`) until at least `count` threads sleep on the
// virtual clock. Lets a test advance time only once the threads it drives have gone idle.
bool waitForSleepers(int count, std::chrono::milliseconds realTimeout = std::chrono::seconds(10));

// RAII form for tests.
class Scope
{
public:
    explicit Scope(uint64_t start = 1'000'000'000) { enable(start); }
    ~Scope() { disable(); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
};

} // namespace virtual_clock

namespace detail {
// A waiter registered with the virtual clock: advancing the clock notifies its condition
// variable. Registration happens with the waiter's own lock held; the clock never takes that
// lock, so there is no lock-order cycle. A notify that lands between the waiter's deadline check
// and its wait is caught by the short real-time poll in waitUntil.
class VirtualWaiter
{
public:
    explicit VirtualWaiter(std::condition_variable& cv);
    ~VirtualWaiter();
    VirtualWaiter(const VirtualWaiter&) = delete;
    VirtualWaiter& operator=(const VirtualWaiter&) = delete;

private:
    std::condition_variable& m_cv;
};
constexpr std::chrono::microseconds kVirtualPoll{500};
} // namespace detail

template <class Predicate>
bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, uint64_t deadline,
               Predicate pred)
{
    if (!virtual_clock::enabled()) {
        // steady_clock is CLOCK_MONOTONIC, the same clock as now().
        const auto until = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(deadline));
        return cv.wait_until(lock, until, pred);
    }
    detail::VirtualWaiter registration(cv);
    while (!pred()) {
        if (now() >= deadline || !virtual_clock::enabled()) {
            return pred();
        }
        cv.wait_for(lock, detail::kVirtualPoll);
    }
    return true;
}

} // namespace platform::host_clock
