// The host clock (platform/HostClock.h) in the terms audio code uses: ticks, their frequency and
// conversions to and from nanoseconds. Ticks are nanoseconds here (time base 1/1).
#pragma once

#include <cstdint>

#include "CoreFoundation/CFBase.h"

class CAHostTimeBase
{
public:
    static uint64_t GetTheCurrentTime();
    static uint64_t GetCurrentTimeInNanos() { return ConvertToNanos(GetTheCurrentTime()); }
    static Float64 GetFrequency() { return 1.0e9; }
    static Float64 GetInverseFrequency() { return 1.0e-9; }
    static uint64_t ConvertToNanos(uint64_t hostTime) { return hostTime; }
    static uint64_t ConvertFromNanos(uint64_t nanos) { return nanos; }
};
