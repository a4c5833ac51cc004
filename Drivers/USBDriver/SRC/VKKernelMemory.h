// The kernel extension's counting allocator: every block it takes and gives back is counted, so
// a leak shows as a difference in checkMemory's lines.
//
// Thread safety: any thread but the real-time one. The counters are plain (diagnostics only);
// concurrent calls may lose counts, never memory.
#pragma once

#include <cstddef>
#include <cstdint>

struct MemoryState
{
    uint32_t allocCount;     // allocation calls
    uint32_t freeCount;      // free calls, null pointers included
    uint32_t bytesAllocated; // sizes asked for, failed allocations included
    uint32_t bytesFreed;     // sizes given back with non-null pointers
};

extern MemoryState globalMemoryState;

// `size` bytes of kernel memory, or null.
void* memAlloc(size_t size);
// The same, zero-filled.
void* memAllocZero(size_t size);
// Gives back a block with the size it was taken with; a null pointer is only counted.
void memFree(void* pointer, size_t size);

// Copies the counters into `state` (nothing for null).
void memSnapshot(MemoryState* state);
// Logs the bytes allocated since `state` was taken, with the caller's name.
void memCheck(const MemoryState* state, const char* name);
// Logs the counters, and an error line for each pair that does not balance.
void checkMemory();
