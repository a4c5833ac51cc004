// Thread ports, their scheduling information and the precedence policy, over Linux threads.
//
// A thread's port comes from pthread_mach_thread_np. Priorities are Mach's 0-63 user range with
// 31 the task's base priority; the stand-in maps them onto nice values (31 is nice 0, 63 is -20,
// 0 is 19). thread_policy_set with THREAD_PRECEDENCE_POLICY asks for base priority 31 +
// importance; the stand-in applies it where Linux permits (raising needs CAP_SYS_NICE or
// RLIMIT_NICE) and always keeps the request, which platform/MachThreads.h lets tests read. A
// request made before the thread has announced itself (by taking its own port) is applied then.
//
// Thread safety: every call may come from any thread.
#pragma once

#include <pthread.h>

#include "mach/kern_return.h"
#include "mach/port.h"

using thread_flavor_t = natural_t;
using thread_info_t = integer_t*;
using thread_policy_flavor_t = natural_t;
using thread_policy_t = integer_t*;
using policy_t = int;

constexpr policy_t POLICY_NULL = 0;
constexpr policy_t POLICY_TIMESHARE = 1;
constexpr policy_t POLICY_RR = 2;
constexpr policy_t POLICY_FIFO = 4;

struct time_value_t
{
    integer_t seconds;
    integer_t microseconds;
};

struct thread_basic_info
{
    time_value_t user_time;
    time_value_t system_time;
    integer_t cpu_usage;
    policy_t policy;
    integer_t run_state;
    integer_t flags;
    integer_t suspend_count;
    integer_t sleep_time;
};

struct policy_timeshare_info
{
    integer_t max_priority;
    integer_t base_priority;
    integer_t cur_priority;
    integer_t depressed;
    integer_t depress_priority;
};

struct policy_rr_info
{
    integer_t max_priority;
    integer_t base_priority;
    integer_t quantum;
    integer_t depressed;
    integer_t depress_priority;
};

struct policy_fifo_info
{
    integer_t max_priority;
    integer_t base_priority;
    integer_t depressed;
    integer_t depress_priority;
};

struct thread_precedence_policy
{
    integer_t importance;
};

constexpr thread_flavor_t THREAD_BASIC_INFO = 3;
constexpr thread_flavor_t THREAD_SCHED_TIMESHARE_INFO = 10;
constexpr thread_flavor_t THREAD_SCHED_RR_INFO = 11;
constexpr thread_flavor_t THREAD_SCHED_FIFO_INFO = 12;
constexpr mach_msg_type_number_t THREAD_BASIC_INFO_COUNT = sizeof(thread_basic_info) / sizeof(integer_t);
constexpr mach_msg_type_number_t POLICY_TIMESHARE_INFO_COUNT =
    sizeof(policy_timeshare_info) / sizeof(integer_t);
constexpr mach_msg_type_number_t POLICY_RR_INFO_COUNT = sizeof(policy_rr_info) / sizeof(integer_t);
constexpr mach_msg_type_number_t POLICY_FIFO_INFO_COUNT = sizeof(policy_fifo_info) / sizeof(integer_t);
static_assert(THREAD_BASIC_INFO_COUNT == 10 && POLICY_TIMESHARE_INFO_COUNT == 5 &&
              POLICY_RR_INFO_COUNT == 5 && POLICY_FIFO_INFO_COUNT == 4);

constexpr thread_policy_flavor_t THREAD_PRECEDENCE_POLICY = 3;
constexpr mach_msg_type_number_t THREAD_PRECEDENCE_POLICY_COUNT = 1;

// The port of `thread`. Taken by the thread itself, it also announces the thread to the stand-in.
mach_port_t pthread_mach_thread_np(pthread_t thread);
// Fills `info` (room for *count integers) for `flavor`; *count becomes the number filled.
kern_return_t thread_info(thread_act_t thread, thread_flavor_t flavor, thread_info_t info,
                          mach_msg_type_number_t* count);
kern_return_t thread_policy_set(thread_act_t thread, thread_policy_flavor_t flavor, thread_policy_t policy,
                                mach_msg_type_number_t count);
