#include "VKKernelMemory.h"

#include <cstring>

#include "IOKit/IOLib.h"

MemoryState globalMemoryState = {0, 0, 0, 0};

namespace {

void countAllocation(size_t size)
{
    ++globalMemoryState.allocCount;
    globalMemoryState.bytesAllocated += static_cast<uint32_t>(size);
}

} // namespace

void* memAlloc(size_t size)
{
    countAllocation(size);
    return IOMalloc(size);
}

void* memAllocZero(size_t size)
{
    countAllocation(size);
    void* block = IOMalloc(size);
    if (block != nullptr) {
        std::memset(block, 0, size);
    }
    return block;
}

void memFree(void* pointer, size_t size)
{
    ++globalMemoryState.freeCount;
    if (pointer != nullptr) {
        globalMemoryState.bytesFreed += static_cast<uint32_t>(size);
        IOFree(pointer, size);
    }
}

void memSnapshot(MemoryState* state)
{
    if (state != nullptr) {
        *state = globalMemoryState;
    }
}

void memCheck(const MemoryState* state, const char* name)
{
    if (state == nullptr) {
        return;
    }
    const auto difference = static_cast<int>(globalMemoryState.bytesAllocated - state->bytesAllocated);
    IOLog("USB: %s %s %d\n", " DIFF Allocated memory ", name != nullptr ? name : "", difference);
}

void checkMemory()
{
    const MemoryState now = globalMemoryState;
    const auto report = [](const char* first, uint32_t a, const char* second, uint32_t b) {
        const auto difference = static_cast<int>(a - b);
        IOLog("USB: %s %d\n", first, static_cast<int>(a));
        IOLog("USB: %s %d\n", second, static_cast<int>(b));
        IOLog("USB: %s %d\n", " Difference ", difference);
        if (difference != 0) {
            IOLog("USB: %s %d\n", " ERROR difference is ", difference);
        }
    };
    report(" Count memAlloc() ", now.allocCount, " Count memFree()   ", now.freeCount);
    report(" Allocated memory ", now.bytesAllocated, " Freed memory     ", now.bytesFreed);
}
