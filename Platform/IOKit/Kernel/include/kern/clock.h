// Kernel clocks. Absolute time is host time in nanoseconds (time base 1/1) and follows the
// virtual clock in tests.
#pragma once

#include <cstdint>

typedef uint32_t clock_sec_t;
typedef uint32_t clock_usec_t;
typedef uint32_t clock_nsec_t;

// Seconds and microseconds of system time (time since start-up).
void clock_get_system_microtime(clock_sec_t* seconds, clock_usec_t* microseconds);
void clock_get_system_nanotime(clock_sec_t* seconds, clock_nsec_t* nanoseconds);
void clock_get_uptime(uint64_t* result);
void nanoseconds_to_absolutetime(uint64_t nanoseconds, uint64_t* result);
void absolutetime_to_nanoseconds(uint64_t absoluteTime, uint64_t* result);
