// Counting semaphores named by ports. Timed waits are relative, measured on the host clock
// (platform/HostClock.h), so they follow the virtual clock in tests. Destroying a semaphore wakes
// its waiters with KERN_TERMINATED.
//
// Thread safety: every call may come from any thread.
#pragma once

#include "mach/kern_return.h"
#include "mach/port.h"

// Wake-up order of the waiters; every policy is accepted and served first come, first served.
constexpr int SYNC_POLICY_FIFO = 0;
constexpr int SYNC_POLICY_FIXED_PRIORITY = 1;
constexpr int SYNC_POLICY_REVERSED = 2;
constexpr int SYNC_POLICY_LIFO = SYNC_POLICY_FIFO | SYNC_POLICY_REVERSED;

struct mach_timespec_t
{
    unsigned int tv_sec;
    int tv_nsec;
};

// A new semaphore of `task` (which must be mach_task_self()) with a count of `value` (>= 0).
kern_return_t semaphore_create(task_t task, semaphore_t* semaphore, int policy, int value);
kern_return_t semaphore_destroy(task_t task, semaphore_t semaphore);
kern_return_t semaphore_signal(semaphore_t semaphore);
kern_return_t semaphore_wait(semaphore_t semaphore);
// KERN_OPERATION_TIMED_OUT when no signal came within `wait`; a zero wait only takes a pending one.
kern_return_t semaphore_timedwait(semaphore_t semaphore, mach_timespec_t wait);
