// Host time as the system's code reads it: a tick counter and the ratio that turns ticks into
// nanoseconds. Here ticks are nanoseconds of the monotonic clock (time base 1/1), identical in
// every process; tests may run the clock virtually (see platform/HostClock.h).
#pragma once

#include <cstdint>

#include "mach/kern_return.h"

struct mach_timebase_info_data_t
{
    uint32_t numer;
    uint32_t denom;
};
using mach_timebase_info_t = mach_timebase_info_data_t*;

uint64_t mach_absolute_time();
kern_return_t mach_timebase_info(mach_timebase_info_t info);
