#include "platform/MachThreads.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include "mach/mach_init.h"
#include "mach/thread_act.h"

namespace platform::mach_threads {
namespace {

struct ThreadRecord
{
    pthread_t handle{};
    pid_t tid = 0; // 0 until the thread takes its own port
    std::optional<PrecedenceRequest> request;
    int appliedNice = 0;
    int appliedPriority = kTaskBasePriority;
};

struct Registry
{
    std::mutex mutex;
    std::map<mach_port_t, ThreadRecord> threads; // guarded by mutex
    mach_port_t nextPort = 0x1103;               // guarded by mutex
};

Registry& registry()
{
    // Never destroyed: threads still ending at exit (their exit guards, late signals) use it.
    static auto* r = new Registry;
    return *r;
}

int clampPriority(int priority)
{
    return std::clamp(priority, kLowestPriority, kHighestUserPriority);
}

mach_port_t findLocked(Registry& r, pthread_t handle)
{
    for (const auto& [port, record] : r.threads) {
        if (pthread_equal(record.handle, handle) != 0) {
            return port;
        }
    }
    return MACH_PORT_NULL;
}

ThreadRecord* findRecordLocked(Registry& r, mach_port_t port)
{
    const auto it = r.threads.find(port);
    return it == r.threads.end() ? nullptr : &it->second;
}

mach_port_t addLocked(Registry& r, pthread_t handle)
{
    const mach_port_t port = r.nextPort++;
    r.threads[port].handle = handle;
    return port;
}

// Sets the nice value that stands for the requested precedence; records whether Linux allowed it.
void applyLocked(ThreadRecord& record)
{
    if (!record.request || record.tid == 0) {
        return;
    }
    const int priority = clampPriority(kTaskBasePriority + record.request->importance);
    const int nice = niceForPriority(priority);
    record.request->applied = setpriority(PRIO_PROCESS, static_cast<id_t>(record.tid), nice) == 0;
    if (record.request->applied) {
        record.appliedNice = nice;
        record.appliedPriority = priority;
    }
}

// Forgets the calling thread's port when it ends, so a later thread with the same handle gets a
// record of its own.
struct ExitGuard
{
    mach_port_t port = MACH_PORT_NULL;
    ~ExitGuard()
    {
        if (port != MACH_PORT_NULL) {
            auto& r = registry();
            std::lock_guard lock(r.mutex);
            r.threads.erase(port);
        }
    }
};
thread_local ExitGuard tExitGuard;

mach_port_t selfPort()
{
    auto& r = registry();
    const pid_t tid = gettid();
    std::lock_guard lock(r.mutex);
    mach_port_t port = findLocked(r, pthread_self());
    if (port != MACH_PORT_NULL && r.threads[port].tid != 0 && r.threads[port].tid != tid) {
        r.threads.erase(port); // a record left by an earlier thread with the same handle
        port = MACH_PORT_NULL;
    }
    if (port == MACH_PORT_NULL) {
        port = addLocked(r, pthread_self());
    }
    ThreadRecord& record = r.threads[port];
    if (record.tid == 0) {
        record.tid = tid;
        tExitGuard.port = port;
        applyLocked(record);
    }
    return port;
}

policy_t policyOf(pid_t tid)
{
    switch (sched_getscheduler(tid)) {
    case SCHED_OTHER:
    case SCHED_BATCH:
        return POLICY_TIMESHARE;
    case SCHED_RR:
        return POLICY_RR;
    case SCHED_FIFO:
        return POLICY_FIFO;
    default:
        return POLICY_NULL;
    }
}

// The Mach base priority a thread has now: the applied request while its nice value is still the
// one set for it, otherwise what its nice value stands for.
int basePriorityLocked(const ThreadRecord& record)
{
    if (record.tid == 0) {
        return record.request ? clampPriority(kTaskBasePriority + record.request->importance)
                              : kTaskBasePriority;
    }
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(record.tid));
    if (nice == -1 && errno != 0) {
        return kTaskBasePriority;
    }
    if (record.request && record.request->applied && nice == record.appliedNice) {
        return record.appliedPriority;
    }
    return priorityForNice(nice);
}

template <class Info> Info realtimeInfo(pid_t tid, int schedulingPolicy)
{
    Info info{};
    sched_param param{};
    info.max_priority = sched_get_priority_max(schedulingPolicy);
    info.base_priority = sched_getparam(tid, &param) == 0 ? param.sched_priority : 0;
    return info;
}

} // namespace

int niceForPriority(int priority)
{
    priority = clampPriority(priority);
    if (priority >= kTaskBasePriority) {
        return -(((priority - kTaskBasePriority) * 20 + 16) / 32);
    }
    return ((kTaskBasePriority - priority) * 19 + 15) / 31;
}

int priorityForNice(int nice)
{
    nice = std::clamp(nice, -20, 19);
    if (nice <= 0) {
        return kTaskBasePriority + (-nice * 32 + 10) / 20;
    }
    return kTaskBasePriority - (nice * 31 + 9) / 19;
}

std::optional<PrecedenceRequest> precedenceRequest(thread_act_t thread)
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    const auto it = r.threads.find(thread);
    return it == r.threads.end() ? std::nullopt : it->second.request;
}

} // namespace platform::mach_threads

namespace mt = platform::mach_threads;

task_t mach_task_self()
{
    return 0x103;
}

mach_port_t pthread_mach_thread_np(pthread_t thread)
{
    if (pthread_equal(thread, pthread_self()) != 0) {
        return mt::selfPort();
    }
    auto& r = mt::registry();
    std::lock_guard lock(r.mutex);
    const mach_port_t port = mt::findLocked(r, thread);
    return port != MACH_PORT_NULL ? port : mt::addLocked(r, thread);
}

kern_return_t thread_info(thread_act_t thread, thread_flavor_t flavor, thread_info_t info,
                          mach_msg_type_number_t* count)
{
    if (info == nullptr || count == nullptr) {
        return KERN_INVALID_ARGUMENT;
    }
    auto& r = mt::registry();
    std::lock_guard lock(r.mutex);
    const mt::ThreadRecord* record = mt::findRecordLocked(r, thread);
    if (record == nullptr) {
        return KERN_INVALID_ARGUMENT;
    }
    const policy_t policy = record->tid != 0 ? mt::policyOf(record->tid) : POLICY_TIMESHARE;

    auto fill = [&](const auto& value, mach_msg_type_number_t needed) {
        if (*count < needed) {
            return KERN_INVALID_ARGUMENT;
        }
        std::memcpy(info, &value, sizeof value);
        *count = needed;
        return KERN_SUCCESS;
    };
    switch (flavor) {
    case THREAD_BASIC_INFO: {
        thread_basic_info basic{};
        basic.policy = policy;
        return fill(basic, THREAD_BASIC_INFO_COUNT);
    }
    case THREAD_SCHED_TIMESHARE_INFO: {
        if (policy != POLICY_TIMESHARE) {
            return KERN_INVALID_ARGUMENT;
        }
        policy_timeshare_info timeshare{};
        timeshare.max_priority = mt::kHighestUserPriority;
        timeshare.base_priority = mt::basePriorityLocked(*record);
        timeshare.cur_priority = timeshare.base_priority;
        return fill(timeshare, POLICY_TIMESHARE_INFO_COUNT);
    }
    case THREAD_SCHED_RR_INFO:
        return policy == POLICY_RR
                   ? fill(mt::realtimeInfo<policy_rr_info>(record->tid, SCHED_RR), POLICY_RR_INFO_COUNT)
                   : KERN_INVALID_ARGUMENT;
    case THREAD_SCHED_FIFO_INFO:
        return policy == POLICY_FIFO
                   ? fill(mt::realtimeInfo<policy_fifo_info>(record->tid, SCHED_FIFO), POLICY_FIFO_INFO_COUNT)
                   : KERN_INVALID_ARGUMENT;
    default:
        return KERN_INVALID_ARGUMENT;
    }
}

kern_return_t thread_policy_set(thread_act_t thread, thread_policy_flavor_t flavor, thread_policy_t policy,
                                mach_msg_type_number_t count)
{
    if (flavor != THREAD_PRECEDENCE_POLICY || policy == nullptr || count < THREAD_PRECEDENCE_POLICY_COUNT) {
        return KERN_INVALID_ARGUMENT;
    }
    auto& r = mt::registry();
    std::lock_guard lock(r.mutex);
    mt::ThreadRecord* found = mt::findRecordLocked(r, thread);
    if (found == nullptr) {
        return KERN_INVALID_ARGUMENT;
    }
    mt::ThreadRecord& record = *found;
    record.request = mt::PrecedenceRequest{policy[0], false};
    if (record.tid == 0) {
        return KERN_SUCCESS; // applied when the thread announces itself
    }
    mt::applyLocked(record);
    return record.request->applied ? KERN_SUCCESS : KERN_FAILURE;
}
