// Mach port names and the integer types of the Mach interfaces the stand-ins provide. A port
// here is a process-local name for a stand-in object (a task, a thread, a semaphore).
#pragma once

#include <cstdint>

using natural_t = uint32_t;
using integer_t = int32_t;
using mach_port_t = natural_t;
using mach_msg_type_number_t = natural_t;
using task_t = mach_port_t;
using thread_act_t = mach_port_t;
using semaphore_t = mach_port_t;

constexpr mach_port_t MACH_PORT_NULL = 0;
