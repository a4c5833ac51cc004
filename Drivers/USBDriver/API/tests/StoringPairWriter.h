// Stores every pair, as the kernel's writer does when its lock is free.
#pragma once

#include "TimeStampsBuffer.h"

struct StoringPairWriter final : TimeStampsBuffer::PairWriter
{
    void store(TimeStampsBuffer& buffer, uint64_t hostTime, uint64_t sampleTime) override
    {
        buffer.storePair(hostTime, sampleTime);
    }
};
