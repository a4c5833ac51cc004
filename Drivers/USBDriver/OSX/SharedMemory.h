// A zeroed, page-aligned kernel block with a memory descriptor, which user clients hand to user
// space or map into a task, and a one-word try-lock that the real-time service takes around each
// use of the block (a caller that finds it held skips its work for that turn).
//
// The pages stay valid while a descriptor or a user mapping of them lives, so term() never pulls
// memory from under a mapping.
//
// Thread safety: lock/unlock from any thread, the real-time one included (never waits); init,
// term, getMemory and map from non-real-time threads, one at a time.
#pragma once

#include <atomic>
#include <cstdint>

#include "IOKit/IOMemoryDescriptor.h"

class SharedMemory
{
public:
    SharedMemory() = default;
    virtual ~SharedMemory(); // term(true)
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;

    // Creates the block, or accepts the existing one when it has this size.
    bool init(uint64_t size);
    // Frees the block; with `wait`, first waits (10 ms steps) until the lock is free.
    void term(bool wait);

    // The buffer when the lock was free (now held), else null; never waits.
    void* lock();
    bool unlock();

    // The descriptor, retained for the caller; kIOReturnNoMemory without a block.
    IOReturn getMemory(IOMemoryDescriptor** out);
    // The whole block mapped into `task`; null without a block.
    IOMemoryMap* map(task_t task, IOOptionBits options, mach_vm_address_t address);

    // The block's address and size (null / 0 without one). The owner may use the block directly
    // where the lock does not apply.
    void* address() const { return m_buffer; }
    uint64_t size() const { return m_size; }

private:
    uint64_t m_size = 0;
    void* m_buffer = nullptr;
    IOMemoryDescriptor* m_descriptor = nullptr;
    std::atomic<uint32_t> m_lock{0};
};
