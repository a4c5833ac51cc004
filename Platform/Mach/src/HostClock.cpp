#include "platform/HostClock.h"
#include "platform/RealTime.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <ctime>
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

timespec toTimespec(uint64_t nanoseconds)
{
    return timespec{static_cast<time_t>(nanoseconds / 1'000'000'000ULL),
                    static_cast<long>(nanoseconds % 1'000'000'000ULL)};
}

// Waits while `word` holds `expected`, until the CLOCK_MONOTONIC time `deadline` (none: UINT64_MAX).
// False when the deadline passed.
bool futexWait(std::atomic<uint32_t>& word, uint32_t expected, uint64_t deadline)
{
    timespec until{};
    if (deadline != UINT64_MAX) {
        until = toTimespec(deadline);
    }
    const long result = syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_BITSET_PRIVATE,
                                expected, deadline == UINT64_MAX ? nullptr : &until, nullptr,
                                FUTEX_BITSET_MATCH_ANY);
    return !(result != 0 && errno == ETIMEDOUT);
}

void futexWake(std::atomic<uint32_t>& word, int count)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

// --- Participants and the busy count.

struct ParticipantRecord
{
    std::string name;
    std::atomic<const char*> blockedIn{nullptr}; // where it blocks; null while it runs
    std::atomic<bool> started{false};
};

struct Participants
{
    std::atomic<uint32_t> busy{0};            // a futex word: settle sleeps on it
    std::atomic<uint32_t> settlersWaiting{0}; // settlers asleep (or about to sleep) on `busy`
    std::mutex mutex;
    std::vector<ParticipantRecord*> records; // guarded by mutex
    std::atomic<int64_t> settleLimitMs{10'000};
};

Participants& participants()
{
    static auto* p = new Participants; // participants may outlive static destruction
    return *p;
}

thread_local ParticipantRecord* t_self = nullptr;

void addBusy()
{
    participants().busy.fetch_add(1, std::memory_order_seq_cst);
}

void dropBusy()
{
    auto& p = participants();
    if (p.busy.fetch_sub(1, std::memory_order_seq_cst) == 1 &&
        p.settlersWaiting.load(std::memory_order_seq_cst) != 0) {
        futexWake(p.busy, INT_MAX);
    }
}

// --- The virtual clock.

struct VirtualState
{
    std::atomic<bool> enabled{false};
    std::atomic<uint64_t> time{0};
    std::mutex mutex;                    // guards the deadline heap
    std::vector<detail::WaitNode*> heap; // guarded by mutex; earliest deadline first
    std::condition_variable sleepersChanged; // with mutex; for waitForSleepers
    int sleeperWatchers = 0;                 // guarded by mutex
    std::mutex hooksMutex;               // held while hooks run
    std::vector<virtual_clock::AdvanceHook*> hooks; // guarded by hooksMutex
};

VirtualState& state()
{
    static auto* s = new VirtualState;
    return *s;
}

} // namespace

namespace detail {

constexpr uint32_t kWaiting = 0;
constexpr uint32_t kNotified = 1;
constexpr uint32_t kTimedOut = 2;
constexpr uint32_t kExpired = 3; // the deadline had passed when the wait began: never blocked
constexpr uint32_t kCancelled = 4;
constexpr size_t kNotInHeap = SIZE_MAX;

// One blocked thread. The waiter owns it (on its stack) and unlinks it itself, under the lock of
// each structure it is in, so a waker that found it there may still touch it.
struct WaitNode
{
    std::atomic<uint32_t> word{kWaiting};
    ParticipantRecord* participant = t_self;
    uint64_t deadline = UINT64_MAX;
    size_t heapIndex = kNotInHeap;
    WaitNode* prev = nullptr;
    WaitNode* next = nullptr;
    bool linked = false;
    std::atomic<bool> sleeping{false}; // in the futex wait (a waker must make the system call)
    void (*fire)(void*) = nullptr;     // an alarm: called instead of a futex wake
    void* context = nullptr;
};

} // namespace detail

namespace {

using detail::WaitNode;

// Ends the wait of `node` with `reason` unless it ended already; counts the waiter busy again
// before it can run. With the lock of a structure the node is in held.
bool wake(WaitNode& node, uint32_t reason)
{
    uint32_t expected = detail::kWaiting;
    if (!node.word.compare_exchange_strong(expected, reason, std::memory_order_acq_rel)) {
        return false;
    }
    if (node.participant != nullptr) {
        addBusy();
    }
    if (node.fire != nullptr) {
        node.fire(node.context);
    } else if (node.sleeping.load(std::memory_order_seq_cst)) {
        futexWake(node.word, 1);
    }
    return true;
}

// Deadline heap; with the clock's mutex held.
bool earlier(const WaitNode* a, const WaitNode* b)
{
    return a->deadline < b->deadline;
}

void heapSwap(std::vector<WaitNode*>& heap, size_t a, size_t b)
{
    std::swap(heap[a], heap[b]);
    heap[a]->heapIndex = a;
    heap[b]->heapIndex = b;
}

void heapUp(std::vector<WaitNode*>& heap, size_t i)
{
    while (i > 0 && earlier(heap[i], heap[(i - 1) / 2])) {
        heapSwap(heap, i, (i - 1) / 2);
        i = (i - 1) / 2;
    }
}

void heapDown(std::vector<WaitNode*>& heap, size_t i)
{
    for (;;) {
        const size_t left = 2 * i + 1;
        const size_t right = left + 1;
        size_t least = i;
        if (left < heap.size() && earlier(heap[left], heap[least])) {
            least = left;
        }
        if (right < heap.size() && earlier(heap[right], heap[least])) {
            least = right;
        }
        if (least == i) {
            return;
        }
        heapSwap(heap, i, least);
        i = least;
    }
}

void heapRemove(std::vector<WaitNode*>& heap, WaitNode& node)
{
    const size_t i = node.heapIndex;
    node.heapIndex = detail::kNotInHeap;
    if (i != heap.size() - 1) {
        heap[i] = heap.back();
        heap[i]->heapIndex = i;
        heap.pop_back();
        heapDown(heap, i);
        heapUp(heap, i);
    } else {
        heap.pop_back();
    }
}

// Puts `node` on the virtual clock's deadline heap; false (and the node is left out) when the
// virtual clock is off. A deadline that has already come ends the wait at once.
bool armVirtual(WaitNode& node)
{
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.enabled.load(std::memory_order_acquire)) {
        return false;
    }
    if (s.time.load(std::memory_order_relaxed) >= node.deadline) {
        uint32_t expected = detail::kWaiting;
        node.word.compare_exchange_strong(expected, detail::kExpired, std::memory_order_acq_rel);
        return true;
    }
    node.heapIndex = s.heap.size();
    s.heap.push_back(&node);
    heapUp(s.heap, node.heapIndex);
    if (s.sleeperWatchers > 0) {
        s.sleepersChanged.notify_all();
    }
    return true;
}

void disarmVirtual(WaitNode& node)
{
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (node.heapIndex != detail::kNotInHeap) {
        heapRemove(s.heap, node);
    }
}

// On the virtual clock, work comes in bursts microseconds apart (a step wakes a completion, which
// wakes a worker, ...): a few waiters look for their wake-up for a while before they sleep, which
// spares both sides a system call and a thread wake-up per hand-off. Never on the real clock.
constexpr int kMaxSpinners = 2;
constexpr uint64_t kSpinNanoseconds = 50'000;
std::atomic<int> spinners{0};

uint32_t spinWhileWaiting(const std::atomic<uint32_t>& word)
{
    uint32_t value = word.load(std::memory_order_acquire);
    if (value != detail::kWaiting || !state().enabled.load(std::memory_order_relaxed)) {
        return value;
    }
    if (spinners.fetch_add(1, std::memory_order_relaxed) >= kMaxSpinners) {
        spinners.fetch_sub(1, std::memory_order_relaxed);
        return value;
    }
    const uint64_t until = monotonicNanoseconds() + kSpinNanoseconds;
    for (int i = 1; (value = word.load(std::memory_order_acquire)) == detail::kWaiting; ++i) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
        if (i % 64 == 0) {
            if (monotonicNanoseconds() >= until) {
                break;
            }
            sched_yield(); // on a busy machine, the thread we wait for may need this core
        }
    }
    spinners.fetch_sub(1, std::memory_order_relaxed);
    return value;
}

// Blocks the calling thread until `node` is woken, or on the real clock until its deadline.
// `armed`: the node is on the virtual clock's heap (or already timed out by it). Returns the
// reason; leaves the caller counted busy. A waker may already have ended the wait (and counted
// the waiter busy on its behalf): the waiter still uncounts itself once, so the two balance.
uint32_t park(WaitNode& node, bool armed, const char* where)
{
    uint32_t word = node.word.load(std::memory_order_acquire);
    if (word == detail::kExpired) {
        return detail::kTimedOut;
    }
    ParticipantRecord* self = node.participant;
    if (self != nullptr) {
        self->blockedIn.store(where, std::memory_order_relaxed);
        dropBusy();
    }
    const uint64_t realDeadline = armed ? UINT64_MAX : node.deadline;
    if (armed || node.deadline == UINT64_MAX) {
        word = spinWhileWaiting(node.word);
    }
    node.sleeping.store(true, std::memory_order_seq_cst);
    while ((word = node.word.load(std::memory_order_seq_cst)) == detail::kWaiting) {
        if (!futexWait(node.word, detail::kWaiting, realDeadline)) {
            uint32_t expected = detail::kWaiting;
            if (node.word.compare_exchange_strong(expected, detail::kTimedOut, std::memory_order_acq_rel)) {
                if (self != nullptr) {
                    addBusy(); // timed out on its own: nobody counted it busy
                }
                word = detail::kTimedOut;
                break;
            }
        }
    }
    if (self != nullptr) {
        self->blockedIn.store(nullptr, std::memory_order_relaxed);
    }
    return word;
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
    realtime::check("sleep");
    while (now() < deadline) {
        WaitNode node;
        node.deadline = deadline;
        const bool armed = armVirtual(node);
        park(node, armed, "sleep");
        if (armed) {
            disarmVirtual(node);
        }
    }
}

void sleepFor(uint64_t nanoseconds)
{
    sleepUntil(now() + nanoseconds);
}

// --- Alarm.

Alarm::Alarm(uint64_t deadline, void (*fire)(void*), void* context) : m_node(new WaitNode)
{
    m_node->deadline = deadline;
    m_node->fire = fire;
    m_node->context = context;
    m_armed = armVirtual(*m_node) && m_node->word.load(std::memory_order_acquire) != detail::kExpired;
}

bool Alarm::cancel()
{
    if (!m_cancelled) {
        m_cancelled = true;
        if (m_armed) {
            auto& s = state();
            std::lock_guard lock(s.mutex);
            uint32_t expected = detail::kWaiting;
            m_fired = !m_node->word.compare_exchange_strong(expected, detail::kCancelled,
                                                            std::memory_order_acq_rel);
            if (m_node->heapIndex != detail::kNotInHeap) {
                heapRemove(s.heap, *m_node);
            }
        }
        delete m_node;
        m_node = nullptr;
    }
    return !m_fired;
}

// --- Condition and Mutex.

bool Condition::block(std::unique_lock<std::mutex>& lock, uint64_t deadline)
{
    realtime::check("condition wait");
    WaitNode node;
    node.deadline = deadline;
    {
        std::lock_guard guard(m_mutex);
        node.prev = m_tail;
        (m_tail != nullptr ? m_tail->next : m_head) = &node;
        m_tail = &node;
        node.linked = true;
    }
    const bool armed = deadline != kNoDeadline && armVirtual(node);
    lock.unlock();
    const uint32_t reason = park(node, armed, "condition");
    if (armed) {
        disarmVirtual(node);
    }
    {
        std::lock_guard guard(m_mutex);
        (node.prev != nullptr ? node.prev->next : m_head) = node.next;
        (node.next != nullptr ? node.next->prev : m_tail) = node.prev;
    }
    lock.lock();
    return reason == detail::kNotified;
}

void Condition::notify(bool all)
{
    // Newest first: the latest waiter is the likeliest to be still looking (spinning).
    std::lock_guard guard(m_mutex);
    for (WaitNode* node = m_tail; node != nullptr; node = node->prev) {
        if (wake(*node, detail::kNotified) && !all) {
            return;
        }
    }
}

void Condition::notifyOne()
{
    notify(false);
}

void Condition::notifyAll()
{
    notify(true);
}

void Mutex::lock()
{
    realtime::check("mutex lock");
    std::unique_lock guard(m_mutex);
    m_released.wait(guard, [this] { return !m_locked; });
    m_locked = true;
}

bool Mutex::try_lock()
{
    std::lock_guard guard(m_mutex);
    if (m_locked) {
        return false;
    }
    m_locked = true;
    return true;
}

void Mutex::unlock()
{
    {
        std::lock_guard guard(m_mutex);
        m_locked = false;
    }
    m_released.notifyOne();
}

// --- Participants.

Enlistment::Enlistment(std::string name)
{
    auto* record = new ParticipantRecord;
    record->name = std::move(name);
    auto& p = participants();
    addBusy();
    {
        std::lock_guard lock(p.mutex);
        p.records.push_back(record);
    }
    m_record = record;
}

namespace {
void retire(ParticipantRecord* record)
{
    auto& p = participants();
    {
        std::lock_guard lock(p.mutex);
        std::erase(p.records, record);
    }
    delete record;
    dropBusy();
}
} // namespace

Enlistment::~Enlistment()
{
    if (m_record != nullptr) {
        retire(static_cast<ParticipantRecord*>(m_record));
    }
}

Participation::Participation(Enlistment&& enlistment) : m_record(std::exchange(enlistment.m_record, nullptr))
{
    auto* record = static_cast<ParticipantRecord*>(m_record);
    record->started.store(true, std::memory_order_relaxed);
    t_self = record;
}

Participation::~Participation()
{
    t_self = nullptr;
    retire(static_cast<ParticipantRecord*>(m_record));
}

bool isParticipant()
{
    return t_self != nullptr;
}

void blocking(const char* where)
{
    if (t_self != nullptr) {
        t_self->blockedIn.store(where, std::memory_order_relaxed);
        dropBusy();
    }
}

void resumed()
{
    if (t_self != nullptr) {
        t_self->blockedIn.store(nullptr, std::memory_order_relaxed);
        addBusy();
    }
}

void creditWake()
{
    addBusy();
}

void withdrawCredit()
{
    dropBusy();
}

void markRunning()
{
    if (t_self != nullptr) {
        t_self->blockedIn.store(nullptr, std::memory_order_relaxed);
    }
}

// --- Virtual-clock control.

namespace virtual_clock {
namespace {

// Wakes the waiters whose deadline has come (every waiter when the clock is turned off).
void wakeDueLocked(VirtualState& s, bool all)
{
    const uint64_t time = s.time.load(std::memory_order_relaxed);
    while (!s.heap.empty() && (all || s.heap.front()->deadline <= time)) {
        WaitNode* node = s.heap.front();
        heapRemove(s.heap, *node);
        wake(*node, detail::kTimedOut);
    }
}

void runHooks()
{
    auto& s = state();
    std::lock_guard lock(s.hooksMutex);
    const uint64_t time = now();
    for (auto* hook : s.hooks) {
        hook->advanced(time);
    }
}

} // namespace

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
    {
        std::lock_guard lock(s.mutex);
        s.enabled.store(false, std::memory_order_release);
        wakeDueLocked(s, true);
    }
    runHooks();
}

bool enabled()
{
    return state().enabled.load(std::memory_order_acquire);
}

void advanceTo(uint64_t time)
{
    auto& s = state();
    {
        std::lock_guard lock(s.mutex);
        if (time > s.time.load(std::memory_order_relaxed)) {
            s.time.store(time, std::memory_order_release);
        }
        wakeDueLocked(s, false);
    }
    runHooks();
}

void advanceBy(uint64_t nanoseconds)
{
    auto& s = state();
    {
        std::lock_guard lock(s.mutex);
        s.time.fetch_add(nanoseconds, std::memory_order_acq_rel);
        wakeDueLocked(s, false);
    }
    runHooks();
}

std::string busyReport()
{
    auto& p = participants();
    std::lock_guard lock(p.mutex);
    std::string report;
    int waiting = 0;
    for (const auto* record : p.records) {
        if (!record->started.load(std::memory_order_relaxed)) {
            ++waiting;
            continue;
        }
        if (record->blockedIn.load(std::memory_order_relaxed) == nullptr) {
            report += report.empty() ? "" : ", ";
            report += record->name;
        }
    }
    if (waiting > 0) {
        report += (report.empty() ? "" : ", ") + std::to_string(waiting) + " not yet started";
    }
    return report.empty() ? "woken participants" : report;
}

int sleepers()
{
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return static_cast<int>(s.heap.size());
}

bool waitForSleepers(int count, std::chrono::milliseconds realLimit)
{
    auto& s = state();
    std::unique_lock lock(s.mutex);
    ++s.sleeperWatchers;
    const bool reached = s.sleepersChanged.wait_for(lock, realLimit, [&] {
        return static_cast<int>(s.heap.size()) >= count;
    });
    --s.sleeperWatchers;
    return reached;
}

int busy()
{
    return static_cast<int>(participants().busy.load(std::memory_order_seq_cst));
}

std::chrono::milliseconds setSettleLimit(std::chrono::milliseconds limit)
{
    return std::chrono::milliseconds(participants().settleLimitMs.exchange(limit.count()));
}

void settle()
{
    if (t_self != nullptr) {
        throw SettleError("settle called on the participant '" + t_self->name + "': it would wait for itself");
    }
    auto& p = participants();
    // A completion usually blocks again within microseconds: look for a while before sleeping.
    const uint64_t spinUntil = monotonicNanoseconds() + kSpinNanoseconds;
    for (int spin = 1; p.busy.load(std::memory_order_seq_cst) != 0; ++spin) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
        if (spin % 64 == 0) {
            if (monotonicNanoseconds() >= spinUntil) {
                break;
            }
            sched_yield();
        }
    }
    if (p.busy.load(std::memory_order_seq_cst) == 0) {
        return;
    }
    const auto limit = std::chrono::milliseconds(p.settleLimitMs.load(std::memory_order_relaxed));
    const uint64_t start = monotonicNanoseconds();
    const uint64_t deadline = start + static_cast<uint64_t>(limit.count()) * 1'000'000ULL;
    p.settlersWaiting.fetch_add(1, std::memory_order_seq_cst);
    for (;;) {
        const uint32_t count = p.busy.load(std::memory_order_seq_cst);
        if (count == 0) {
            break;
        }
        if (!futexWait(p.busy, count, deadline) && monotonicNanoseconds() >= deadline) {
            p.settlersWaiting.fetch_sub(1, std::memory_order_seq_cst);
            throw SettleError("the virtual clock cannot settle: " + std::to_string(busy()) +
                              " participant(s) still busy after " + std::to_string(limit.count()) +
                              " ms: " + busyReport());
        }
    }
    p.settlersWaiting.fetch_sub(1, std::memory_order_seq_cst);
}

void runFor(uint64_t nanoseconds, uint64_t step)
{
    step = std::max<uint64_t>(step, 1);
    settle();
    while (nanoseconds > 0) {
        const uint64_t advance = std::min(step, nanoseconds);
        advanceBy(advance);
        nanoseconds -= advance;
        settle();
    }
}

void addHook(AdvanceHook* hook)
{
    auto& s = state();
    std::lock_guard lock(s.hooksMutex);
    s.hooks.push_back(hook);
}

void removeHook(AdvanceHook* hook)
{
    auto& s = state();
    std::lock_guard lock(s.hooksMutex);
    std::erase(s.hooks, hook);
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
