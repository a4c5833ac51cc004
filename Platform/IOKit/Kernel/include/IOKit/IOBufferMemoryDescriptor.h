// A memory descriptor that owns its memory: zeroed, page aligned, in a shared-memory file.
// "Physically contiguous" and physical address masks have no meaning here and are accepted.
#pragma once

#include "IOKit/IOMemoryDescriptor.h"

class IOBufferMemoryDescriptor : public IOMemoryDescriptor
{
    OSDeclareDefaultStructors(IOBufferMemoryDescriptor);

public:
    // Null for a zero capacity or an alignment above the page size.
    static IOBufferMemoryDescriptor* inTaskWithOptions(task_t inTask, IOOptionBits options,
                                                       vm_size_t capacity, vm_size_t alignment = 1);
    static IOBufferMemoryDescriptor* inTaskWithPhysicalMask(task_t inTask, IOOptionBits options,
                                                            mach_vm_size_t capacity,
                                                            mach_vm_address_t physicalMask);
    static IOBufferMemoryDescriptor* withOptions(IOOptionBits options, vm_size_t capacity,
                                                 vm_size_t alignment = 1);
    static IOBufferMemoryDescriptor* withCapacity(vm_size_t capacity, IODirection direction,
                                                  bool contiguous = false);
    static IOBufferMemoryDescriptor* withBytes(const void* bytes, vm_size_t length, IODirection direction,
                                               bool contiguous = false);

    void* getBytesNoCopy() { return m_address; }
    // The bytes [start, start + length), or null when they are not all inside the length.
    void* getBytesNoCopy(vm_size_t start, vm_size_t length);
    vm_size_t getCapacity() const { return m_capacity; }
    // Sets the length (up to the capacity).
    void setLength(vm_size_t length);

private:
    vm_size_t m_capacity = 0;
};
