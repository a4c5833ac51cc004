// The kernel's basic library: allocation, sleeping, logging, threads and locks.
//
// Allocation: IOMalloc/IOFree take the same size on both sides. IOMallocAligned with an
// alignment up to the page size allocates from a shared-memory file, so a memory descriptor made
// over the block (IOMemoryDescriptor::withAddress) can be mapped into a user process as the same
// memory; the block stays valid while any descriptor or mapping of it lives.
//
// Sleeping (IOSleep, IODelay) follows the host clock, so tests on the virtual clock advance it.
#pragma once

#include <cstddef>

#include "IOKit/IOLocks.h"
#include "IOKit/IOTypes.h"
#include "platform/Log.h"

void* IOMalloc(vm_size_t size);
void* IOMallocZero(vm_size_t size);
void IOFree(void* address, vm_size_t size);
void* IOMallocAligned(vm_size_t size, vm_size_t alignment);
void IOFreeAligned(void* address, vm_size_t size);

void IOSleep(unsigned milliseconds);
void IODelay(unsigned microseconds);

// Kernel threads: the function runs on a new thread with `argument`; IOExitThread (or returning)
// ends it. Null when the thread could not be created.
typedef struct thread* IOThread;
typedef void (*IOThreadFunc)(void* argument);
IOThread IOCreateThread(IOThreadFunc function, void* argument);
void IOExitThread();

namespace platform::iokit {

// Allocation counters of IOMalloc/IOFree and IOMallocAligned/IOFreeAligned, for leak tests.
struct AllocationCounts
{
    long long allocations;
    long long frees;
    long long bytesAllocated;
    long long bytesFreed;
};
AllocationCounts allocationCounts();

// The kernel's resource shortages (a shared block, a thread or memory that could not be had)
// met on the calling thread so far: matching tells a driver that could not start for lack of
// them from one that refused its device.
uint64_t resourceShortagesOnThisThread();
void noteResourceShortage();

} // namespace platform::iokit
