// Kernel threads and their scheduling policy.
//
// The time-constraint policy (period, computation, constraint in absolute time) is applied as a
// Linux deadline policy where the process may, else as a FIFO real-time priority, else the
// thread runs at normal priority; in every case the requested values are recorded and can be
// read back (platform::iokit::timeConstraintOf) and thread_policy_set answers KERN_SUCCESS.
#pragma once

#include <cstdint>
#include <optional>

#include "IOKit/IOLib.h"
#include "mach/kern_return.h"
#include "mach/thread_act.h"

typedef struct thread* thread_t;
typedef void (*thread_continue_t)(void* parameter, int waitResult);

constexpr thread_policy_flavor_t THREAD_TIME_CONSTRAINT_POLICY = 2;

struct thread_time_constraint_policy
{
    uint32_t period;
    uint32_t computation;
    uint32_t constraint;
    int preemptible; // boolean_t
};
typedef thread_time_constraint_policy thread_time_constraint_policy_data_t;
constexpr mach_msg_type_number_t THREAD_TIME_CONSTRAINT_POLICY_COUNT =
    sizeof(thread_time_constraint_policy) / sizeof(int);

kern_return_t kernel_thread_start(thread_continue_t continuation, void* parameter, thread_t* newThread);
// Drops the caller's reference to a thread record (the thread runs on).
void thread_deallocate(thread_t thread);
// The calling thread's record; null on threads that the kernel did not create.
thread_t current_thread();
// For the calling thread: its function returns right after, which ends it.
kern_return_t thread_terminate(thread_t thread);
kern_return_t thread_policy_set(thread_t thread, thread_policy_flavor_t flavor, thread_policy_t policy,
                                mach_msg_type_number_t count);

namespace platform::iokit {

struct TimeConstraint
{
    thread_time_constraint_policy policy;
    bool appliedAsRealTime; // false: recorded, the thread runs at normal priority
};
// The last time-constraint policy set on `thread`, if any.
std::optional<TimeConstraint> timeConstraintOf(thread_t thread);
// Threads created through IOCreateThread/kernel_thread_start that have not ended yet.
int runningKernelThreads();

} // namespace platform::iokit
