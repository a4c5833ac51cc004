// The one host clock of the system: nanoseconds of CLOCK_MONOTONIC, or, in tests, a virtual
// clock that only moves when the test advances it. Everything that sleeps or waits with a
// deadline (threads, semaphores, the USB bus) goes through here so that it follows the virtual
// clock too.
//
// Simulated time is exact: the threads that take part in it (participants: bus completion
// workers, kernel threads, kernel queues) are counted busy from before they start until they
// end, except while they are blocked in a primitive of this file (sleep, Condition, Mutex,
// semaphores and queues built on them). Whoever wakes a blocked participant counts it busy again
// before the wake, so the count never reads zero while work is pending. `virtual_clock::settle`
// waits for the count to reach zero; the clock is only advanced once it has.
//
// Thread safety: every function may be called from any thread unless it says otherwise.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

namespace platform::host_clock {

// Current host time in nanoseconds.
uint64_t now();

// Blocks until now() >= deadline.
void sleepUntil(uint64_t deadline);
void sleepFor(uint64_t nanoseconds);

namespace detail {
struct WaitNode;
}

// A condition variable that follows the host clock and counts its waiters blocked.
// Waits take a std::unique_lock on the mutex that guards the waited-for state; notify may be
// called with or without that mutex held. No spurious wake-ups.
class Condition
{
public:
    Condition() = default;
    ~Condition() = default;
    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;

    void wait(std::unique_lock<std::mutex>& lock) { block(lock, kNoDeadline); }
    template <class Predicate> void wait(std::unique_lock<std::mutex>& lock, Predicate pred)
    {
        while (!pred()) {
            block(lock, kNoDeadline);
        }
    }
    // False when the host time reached `deadline` before a notify.
    bool waitUntil(std::unique_lock<std::mutex>& lock, uint64_t deadline) { return block(lock, deadline); }
    // pred(), once it holds or the host time reached `deadline`.
    template <class Predicate>
    bool waitUntil(std::unique_lock<std::mutex>& lock, uint64_t deadline, Predicate pred)
    {
        while (!pred()) {
            if (now() >= deadline) {
                return pred();
            }
            block(lock, deadline);
        }
        return true;
    }

    void notifyOne();
    void notifyAll();

private:
    static constexpr uint64_t kNoDeadline = UINT64_MAX;
    bool block(std::unique_lock<std::mutex>& lock, uint64_t deadline);
    void notify(bool all);

    std::mutex m_mutex;                   // guards the waiter list, never held while blocked
    detail::WaitNode* m_head = nullptr;   // guarded by m_mutex; oldest first
    detail::WaitNode* m_tail = nullptr;   // guarded by m_mutex
};

// A mutex for locks that may be held across a sleep or a wait: a participant waiting for it
// counts as blocked. (A participant waiting for a std::mutex stays busy, which is right for
// locks that are only held for a moment.) Not recursive; meets Lockable.
class Mutex
{
public:
    void lock();
    bool try_lock();
    void unlock();

private:
    std::mutex m_mutex;
    Condition m_released;
    bool m_locked = false; // guarded by m_mutex
};

// Calls `fire(context)` on the thread that advances the virtual clock to `deadline`, with the
// clock's lock held (fire must be short and take no lock of the clock's waiters). Never fires on
// the real clock. For waits that are not on a futex (a run loop's poll): a participant that
// blocks there calls blocking() first, and after the wait resumed() when cancel() returns true
// (the alarm had not fired) or markRunning() when it returns false (the alarm counted it busy).
class Alarm
{
public:
    Alarm(uint64_t deadline, void (*fire)(void*), void* context);
    ~Alarm() { cancel(); }
    Alarm(const Alarm&) = delete;
    Alarm& operator=(const Alarm&) = delete;

    // On the virtual clock's deadline list (false on the real clock or when the deadline had
    // passed at creation).
    bool armed() const { return m_armed; }
    // Disarms; true when it had not fired.
    bool cancel();

private:
    detail::WaitNode* m_node;
    bool m_armed = false;
    bool m_cancelled = false;
    bool m_fired = false;
};

// --- Participants.

// Counts a thread busy before it starts; the thread then takes it over with Participation. An
// enlistment that is never taken over uncounts itself when destroyed.
class Enlistment
{
public:
    explicit Enlistment(std::string name);
    ~Enlistment();
    Enlistment(Enlistment&& other) noexcept : m_record(std::exchange(other.m_record, nullptr)) {}
    Enlistment& operator=(Enlistment&&) = delete;
    Enlistment(const Enlistment&) = delete;

private:
    friend class Participation;
    void* m_record;
};

// Makes the calling thread the participant of `enlistment` until destroyed (when the thread
// ends its simulated work, usually at its exit). Called on the new thread.
class Participation
{
public:
    explicit Participation(Enlistment&& enlistment);
    ~Participation();
    Participation(const Participation&) = delete;
    Participation& operator=(const Participation&) = delete;

private:
    void* m_record;
};

// A thread that takes part in simulated time from its first instruction to its last.
template <class Function> std::thread startParticipant(std::string name, Function&& function)
{
    return std::thread([enlistment = Enlistment(std::move(name)),
                        function = std::forward<Function>(function)]() mutable {
        Participation participation(std::move(enlistment));
        function();
    });
}

// True on a participant thread.
bool isParticipant();

// For blocking primitives built outside this file (lock-free queues). The waiting participant
// calls blocking() before it may sleep and resumed() when it returns without having been woken;
// a waker that ends such a wait calls creditWake() before waking it, once per wait. No effect
// on a thread that is not a participant (blocking/resumed) or for a waiter that is not one (the
// waker must then not call creditWake).
void blocking(const char* where);
void resumed();
void creditWake();
void markRunning(); // after a credited wake: the participant runs again (bookkeeping only)
// Ends a creditWake() whose wake went elsewhere: for work queued now with its wake-up deferred,
// held busy until the wake-up has been given.
void withdrawCredit();

// Virtual-clock control, for tests.
namespace virtual_clock {

// Switches the whole process to a virtual clock that starts at `start` nanoseconds.
void enable(uint64_t start = 1'000'000'000);
// Back to the real monotonic clock; wakes every virtual sleeper.
void disable();
bool enabled();

// Moves virtual time forward (never backward), wakes the waiters whose deadline has come and
// runs the advance hooks, on the calling thread. Does not settle first: see runFor.
void advanceTo(uint64_t time);
void advanceBy(uint64_t nanoseconds);

// What settle reports when the participants do not all block within the limit.
class SettleError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Waits (in real time, at most the settle limit) until every participant is blocked in a
// primitive of the clock and no wake is pending. Throws SettleError naming what is still busy.
// Called by a thread that is not a participant.
void settle();
// Advances in steps of `step` ns, settling before and after each. Throws SettleError.
void runFor(uint64_t nanoseconds, uint64_t step);

// The real-time bound of settle (10 s unless set); returns the previous one.
std::chrono::milliseconds setSettleLimit(std::chrono::milliseconds limit);
// Threads (participants or not) blocked with a deadline on the virtual clock, and a wait (in
// real time, bounded) until at least `count` are: for tests whose sleeping thread is not a
// participant (a request thread of the kernel host).
int sleepers();
bool waitForSleepers(int count, std::chrono::milliseconds realLimit = std::chrono::seconds(10));
// Participants counted busy now (running, woken, or not yet started).
int busy();
// The names of participants that are not blocked in a primitive of the clock.
std::string busyReport();

// Called on the advancing thread after each advance, with no clock lock held (lets a simulated
// device be serviced without a thread of its own). `advanced` also runs on disable(); a hook
// must not add or remove hooks.
class AdvanceHook
{
public:
    virtual ~AdvanceHook() = default;
    virtual void advanced(uint64_t now) = 0;
};
// Called with no lock held that a hook takes. removeHook waits for a running call of the hook.
void addHook(AdvanceHook* hook);
void removeHook(AdvanceHook* hook);

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

} // namespace platform::host_clock
