#include "IOKit/IOLib.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <string>
#include <sched.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "SharedBlock.h"
#include "kern/clock.h"
#include "kern/thread.h"
#include "libkern/version.h"
#include "mach/mach_init.h"
#include "platform/HostClock.h"
#include "platform/KernelTasks.h"
#include "platform/ProcessEnvironment.h"
#include "platform/RealTime.h"

namespace platform::iokit {
namespace {

struct Counters
{
    std::atomic<long long> allocations{0};
    std::atomic<long long> frees{0};
    std::atomic<long long> bytesAllocated{0};
    std::atomic<long long> bytesFreed{0};
};

Counters& counters()
{
    static Counters c;
    return c;
}

void countAllocation(size_t size)
{
    counters().allocations.fetch_add(1, std::memory_order_relaxed);
    counters().bytesAllocated.fetch_add(static_cast<long long>(size), std::memory_order_relaxed);
}

void countFree(size_t size)
{
    counters().frees.fetch_add(1, std::memory_order_relaxed);
    counters().bytesFreed.fetch_add(static_cast<long long>(size), std::memory_order_relaxed);
}

struct AlignedBlocks
{
    std::mutex mutex;
    std::map<const void*, std::shared_ptr<detail::SharedBlock>> blocks; // guarded by mutex
};

AlignedBlocks& alignedBlocks()
{
    static AlignedBlocks b;
    return b;
}

} // namespace

namespace {
thread_local uint64_t shortagesOnThisThread = 0;
}

uint64_t resourceShortagesOnThisThread()
{
    return shortagesOnThisThread;
}

void noteResourceShortage()
{
    ++shortagesOnThisThread;
}

AllocationCounts allocationCounts()
{
    auto& c = counters();
    return {c.allocations.load(), c.frees.load(), c.bytesAllocated.load(), c.bytesFreed.load()};
}

namespace detail {

SharedBlock::~SharedBlock()
{
    if (address != nullptr) {
        munmap(address, size);
    }
    if (fd >= 0) {
        close(fd);
    }
    if (m_readOnlyFd >= 0) {
        close(m_readOnlyFd);
    }
}

int SharedBlock::readOnlyFd()
{
    std::lock_guard lock(m_readOnlyMutex);
    if (m_readOnlyFd < 0 && fd >= 0) {
        // The file opened again through its /proc entry: a descriptor with an access mode of its own.
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        m_readOnlyFd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    return m_readOnlyFd;
}

size_t pageSize()
{
    static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

std::shared_ptr<SharedBlock> createSharedBlock(size_t size, const char* name)
{
    if (size == 0) {
        return nullptr;
    }
    auto block = std::make_shared<SharedBlock>();
    block->fd = memfd_create(name, MFD_CLOEXEC);
    if (block->fd < 0 || ftruncate(block->fd, static_cast<off_t>(size)) != 0) {
        noteResourceShortage();
        return nullptr;
    }
    void* address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, block->fd, 0);
    if (address == MAP_FAILED) {
        noteResourceShortage();
        return nullptr;
    }
    block->address = address;
    block->size = size;
    return block;
}

std::shared_ptr<SharedBlock> findAlignedBlock(const void* address, size_t length, size_t* offset)
{
    auto& b = alignedBlocks();
    std::lock_guard lock(b.mutex);
    auto it = b.blocks.upper_bound(address);
    if (it == b.blocks.begin()) {
        return nullptr;
    }
    --it;
    const auto& block = it->second;
    const auto start = reinterpret_cast<uintptr_t>(block->address);
    const auto at = reinterpret_cast<uintptr_t>(address);
    if (at < start || at - start > block->size || length > block->size - (at - start)) {
        return nullptr;
    }
    if (offset != nullptr) {
        *offset = at - start;
    }
    return block;
}

} // namespace detail

int kernelVersionMajor()
{
    return process::darwinMajorRelease();
}

namespace {
int releasePart(int index)
{
    const std::string release = process::kernelRelease();
    int parts[3] = {0, 0, 0};
    int part = 0;
    for (const char c : release) {
        if (c == '.') {
            if (++part > 2) {
                break;
            }
        } else if (c >= '0' && c <= '9') {
            parts[part] = parts[part] * 10 + (c - '0');
        } else {
            break;
        }
    }
    return parts[index];
}
} // namespace

int kernelVersionMinor()
{
    return releasePart(1);
}

int kernelVersionRevision()
{
    return releasePart(2);
}

} // namespace platform::iokit

using platform::iokit::countAllocation;
using platform::iokit::countFree;

void* IOMalloc(vm_size_t size)
{
    platform::realtime::check("IOMalloc");
    countAllocation(size);
    return size == 0 ? nullptr : std::malloc(size);
}

void* IOMallocZero(vm_size_t size)
{
    platform::realtime::check("IOMallocZero");
    countAllocation(size);
    return size == 0 ? nullptr : std::calloc(1, size);
}

void IOFree(void* address, vm_size_t size)
{
    platform::realtime::check("IOFree");
    if (address == nullptr) {
        return;
    }
    countFree(size);
    std::free(address);
}

void* IOMallocAligned(vm_size_t size, vm_size_t alignment)
{
    platform::realtime::check("IOMallocAligned");
    using namespace platform::iokit;
    if (size == 0 || alignment > detail::pageSize() || (alignment & (alignment - 1)) != 0) {
        return nullptr;
    }
    auto block = detail::createSharedBlock(size, "IOMallocAligned");
    if (!block) {
        return nullptr;
    }
    countAllocation(size);
    auto& b = alignedBlocks();
    std::lock_guard lock(b.mutex);
    b.blocks.emplace(block->address, block);
    return block->address;
}

void IOFreeAligned(void* address, vm_size_t size)
{
    platform::realtime::check("IOFreeAligned");
    using namespace platform::iokit;
    if (address == nullptr) {
        return;
    }
    std::shared_ptr<detail::SharedBlock> block;
    {
        auto& b = alignedBlocks();
        std::lock_guard lock(b.mutex);
        const auto found = b.blocks.find(address);
        if (found == b.blocks.end()) {
            IOLog("IOFreeAligned: %p was not allocated by IOMallocAligned\n", address);
            return;
        }
        block = std::move(found->second);
        b.blocks.erase(found);
    }
    countFree(size);
    // Descriptors and mappings made over the block keep it; it goes with the last of them.
}

void IOSleep(unsigned milliseconds)
{
    platform::realtime::check("IOSleep");
    platform::host_clock::sleepFor(static_cast<uint64_t>(milliseconds) * 1'000'000ULL);
}

void IODelay(unsigned microseconds)
{
    platform::realtime::check("IODelay");
    platform::host_clock::sleepFor(static_cast<uint64_t>(microseconds) * 1'000ULL);
}

// Clocks

void clock_get_uptime(uint64_t* result)
{
    *result = platform::host_clock::now();
}

void clock_get_system_nanotime(clock_sec_t* seconds, clock_nsec_t* nanoseconds)
{
    const uint64_t now = platform::host_clock::now();
    *seconds = static_cast<clock_sec_t>(now / 1'000'000'000ULL);
    *nanoseconds = static_cast<clock_nsec_t>(now % 1'000'000'000ULL);
}

void clock_get_system_microtime(clock_sec_t* seconds, clock_usec_t* microseconds)
{
    clock_nsec_t nanoseconds = 0;
    clock_get_system_nanotime(seconds, &nanoseconds);
    *microseconds = nanoseconds / 1000;
}

void nanoseconds_to_absolutetime(uint64_t nanoseconds, uint64_t* result)
{
    *result = nanoseconds;
}

void absolutetime_to_nanoseconds(uint64_t absoluteTime, uint64_t* result)
{
    *result = absoluteTime;
}

// Locks

// Kernel code may sleep with a lock held: a thread waiting for it counts as blocked.
struct _IOLock
{
    platform::host_clock::Mutex mutex;
};

IOLock* IOLockAlloc()
{
    platform::realtime::check("IOLockAlloc");
    return new (std::nothrow) _IOLock;
}

void IOLockFree(IOLock* lock)
{
    platform::realtime::check("IOLockFree");
    delete lock;
}

void IOLockLock(IOLock* lock)
{
    platform::realtime::check("IOLockLock");
    lock->mutex.lock();
}

bool IOLockTryLock(IOLock* lock)
{
    return lock->mutex.try_lock();
}

void IOLockUnlock(IOLock* lock)
{
    lock->mutex.unlock();
}

// Tasks

namespace {

struct Tasks
{
    std::mutex mutex;
    std::map<task_t, platform::iokit::TaskRecord> records; // guarded by mutex
    task_t next = 0x10000000;                              // guarded by mutex; apart from the other ports
};

Tasks& tasks()
{
    static auto* t = new Tasks;
    return *t;
}

} // namespace

task_t current_task()
{
    return mach_task_self();
}

task_t platform::iokit::createTask(pid_t pid, uid_t uid, const std::string& name)
{
    auto& t = tasks();
    std::lock_guard lock(t.mutex);
    const task_t port = t.next++;
    t.records[port] = TaskRecord{pid, uid, name.substr(0, platform::process::kMaxProcessName)};
    return port;
}

void platform::iokit::destroyTask(task_t task)
{
    auto& t = tasks();
    std::lock_guard lock(t.mutex);
    t.records.erase(task);
}

std::optional<platform::iokit::TaskRecord> platform::iokit::taskRecord(task_t task)
{
    if (task == kernel_task) {
        return TaskRecord{platform::process::pid(), platform::process::uid(), "kernel_task"};
    }
    auto& t = tasks();
    std::lock_guard lock(t.mutex);
    const auto found = t.records.find(task);
    return found == t.records.end() ? std::nullopt : std::optional<TaskRecord>(found->second);
}

// Threads

struct thread
{
    std::atomic<int> references{2}; // the creator's and the running thread's
    thread_continue_t continuation = nullptr;
    IOThreadFunc function = nullptr;
    void* parameter = nullptr;
    std::atomic<pid_t> tid{0};
    std::mutex policyMutex;
    std::optional<platform::iokit::TimeConstraint> constraint; // guarded by policyMutex
    std::optional<platform::host_clock::Enlistment> enlistment; // kernel threads take part in simulated time
};

namespace {

thread_local thread_t currentThreadRecord = nullptr;
std::atomic<int> runningThreads{0};

void dropReference(thread_t t)
{
    if (t != nullptr && t->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete t;
    }
}

// Runs during normal return and during the unwinding of IOExitThread alike.
struct ThreadExit
{
    thread_t record;
    ~ThreadExit()
    {
        currentThreadRecord = nullptr;
        runningThreads.fetch_sub(1, std::memory_order_relaxed);
        dropReference(record);
    }
};

void* threadMain(void* argument)
{
    auto* record = static_cast<thread_t>(argument);
    // Leaves simulated time last, so a settled clock sees the thread gone.
    platform::host_clock::Participation participation(std::move(*record->enlistment));
    ThreadExit exit{record};
    currentThreadRecord = record;
    record->tid.store(static_cast<pid_t>(syscall(SYS_gettid)), std::memory_order_release);
    if (record->continuation != nullptr) {
        record->continuation(record->parameter, 0);
    } else {
        record->function(record->parameter);
    }
    return nullptr;
}

thread_t startThread(thread_continue_t continuation, IOThreadFunc function, void* parameter)
{
    auto* record = new thread;
    record->continuation = continuation;
    record->function = function;
    record->parameter = parameter;
    record->enlistment.emplace("kernel thread");
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t handle;
    runningThreads.fetch_add(1, std::memory_order_relaxed);
    const int error = pthread_create(&handle, &attributes, threadMain, record);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        runningThreads.fetch_sub(1, std::memory_order_relaxed);
        delete record;
        platform::iokit::noteResourceShortage();
        return nullptr;
    }
    return record;
}

struct DeadlineAttributes
{
    uint32_t size;
    uint32_t policy;
    uint64_t flags;
    int32_t nice;
    uint32_t priority;
    uint64_t runtime;
    uint64_t deadline;
    uint64_t period;
};
constexpr uint32_t kSchedDeadline = 6;

bool applyRealTime(pid_t tid, const thread_time_constraint_policy& policy)
{
    DeadlineAttributes attributes{};
    attributes.size = sizeof(attributes);
    attributes.policy = kSchedDeadline;
    attributes.runtime = policy.computation;
    attributes.deadline = policy.constraint;
    attributes.period = policy.period;
    if (policy.computation > 0 && policy.computation <= policy.constraint &&
        policy.constraint <= policy.period && syscall(SYS_sched_setattr, tid, &attributes, 0) == 0) {
        return true;
    }
    sched_param parameter{};
    parameter.sched_priority = sched_get_priority_min(SCHED_FIFO) + 1;
    return sched_setscheduler(tid, SCHED_FIFO, &parameter) == 0;
}

} // namespace

IOThread IOCreateThread(IOThreadFunc function, void* argument)
{
    platform::realtime::check("IOCreateThread");
    if (function == nullptr) {
        return nullptr;
    }
    thread_t record = startThread(nullptr, function, argument);
    // This interface hands out no reference: the thread owns its record.
    dropReference(record);
    return record;
}

void IOExitThread()
{
    pthread_exit(nullptr);
}

kern_return_t kernel_thread_start(thread_continue_t continuation, void* parameter, thread_t* newThread)
{
    if (continuation == nullptr || newThread == nullptr) {
        return KERN_INVALID_ARGUMENT;
    }
    *newThread = startThread(continuation, nullptr, parameter);
    return *newThread != nullptr ? KERN_SUCCESS : KERN_FAILURE;
}

void thread_deallocate(thread_t t)
{
    dropReference(t);
}

thread_t current_thread()
{
    return currentThreadRecord;
}

kern_return_t thread_terminate(thread_t t)
{
    return t != nullptr && t == currentThreadRecord ? KERN_SUCCESS : KERN_INVALID_ARGUMENT;
}

kern_return_t thread_policy_set(thread_t t, thread_policy_flavor_t flavor, thread_policy_t policy,
                                mach_msg_type_number_t count)
{
    if (t == nullptr || policy == nullptr || flavor != THREAD_TIME_CONSTRAINT_POLICY ||
        count < THREAD_TIME_CONSTRAINT_POLICY_COUNT) {
        return KERN_INVALID_ARGUMENT;
    }
    thread_time_constraint_policy values{};
    std::memcpy(&values, policy, sizeof(values));
    const pid_t tid = t->tid.load(std::memory_order_acquire);
    const bool applied = tid != 0 && applyRealTime(tid, values);
    std::lock_guard lock(t->policyMutex);
    t->constraint = platform::iokit::TimeConstraint{values, applied};
    return KERN_SUCCESS;
}

std::optional<platform::iokit::TimeConstraint> platform::iokit::timeConstraintOf(thread_t t)
{
    if (t == nullptr) {
        return std::nullopt;
    }
    std::lock_guard lock(t->policyMutex);
    return t->constraint;
}

int platform::iokit::runningKernelThreads()
{
    return runningThreads.load(std::memory_order_relaxed);
}
