// Memory descriptors: a range of kernel memory that can be handed to the USB bus or mapped into
// a task. Memory from IOBufferMemoryDescriptor or IOMallocAligned lives in a shared-memory file,
// so a mapping (in this process or, through fileDescriptor(), in another) is the same memory.
// A descriptor and every mapping of it keep that memory alive, so a mapping outlives the
// driver's own release of the block.
//
// Thread safety: a descriptor's bytes are shared memory; the calls here take no lock.
#pragma once

#include <cstdint>

#include "IOKit/IOTypes.h"
#include "libkern/c++/OSObject.h"

class IOMemoryMap;

class IOMemoryDescriptor : public OSObject
{
    OSDeclareDefaultStructors(IOMemoryDescriptor);

public:
    // A descriptor over existing memory. Over IOMallocAligned memory it is shareable; over any
    // other memory it can only be mapped into the kernel task.
    static IOMemoryDescriptor* withAddress(void* address, IOByteCount length, IODirection direction);
    static IOMemoryDescriptor* withAddressRange(mach_vm_address_t address, mach_vm_size_t length,
                                                IOOptionBits options, task_t task);

    virtual IOByteCount getLength() const { return m_length; }
    IODirection getDirection() const { return m_direction; }
    // Wiring for I/O: nothing to do here; both answer kIOReturnSuccess.
    virtual IOReturn prepare(IODirection forDirection = kIODirectionNone);
    virtual IOReturn complete(IODirection forDirection = kIODirectionNone);
    // Copies within [0, getLength()); answers the bytes copied.
    IOByteCount readBytes(IOByteCount offset, void* bytes, IOByteCount length) const;
    IOByteCount writeBytes(IOByteCount offset, const void* bytes, IOByteCount length);

    // A new mapping of [offset, offset + length) (length 0: to the end). Into the kernel task
    // or a user task alike, the mapping has its own address in this process that aliases the
    // same memory; a user task's connection hands the map's fileDescriptor() to the process.
    // With kIOMapReadOnly the mapping can only be read, here and in the process. Null when the
    // range is outside, or the memory is not shareable and the task is not the kernel's.
    IOMemoryMap* createMappingInTask(task_t intoTask, mach_vm_address_t atAddress, IOOptionBits options,
                                     mach_vm_size_t offset = 0, mach_vm_size_t length = 0);
    IOMemoryMap* map(IOOptionBits options = kIOMapAnywhere);

    // The shared-memory file holding the memory (-1 when not shareable), and where in it the
    // descriptor's first byte lies.
    int fileDescriptor() const;
    uint64_t fileOffset() const { return m_fileOffset; }
    // The descriptor's first byte in the kernel's own mapping.
    void* kernelAddress() const { return m_address; }

protected:
    void free() override;
    struct Backing;
    // Takes `backing` (null: memory that is not shareable).
    bool initWithBacking(Backing* backing, void* address, IOByteCount length, IODirection direction,
                         uint64_t fileOffset);

    Backing* m_backing = nullptr; // the shared block, when shareable
    void* m_address = nullptr;
    IOByteCount m_length = 0;
    IODirection m_direction = kIODirectionNone;
    uint64_t m_fileOffset = 0;

    friend class IOMemoryMap;
};

class IOMemoryMap : public OSObject
{
    OSDeclareDefaultStructors(IOMemoryMap);

public:
    mach_vm_address_t getAddress() const { return reinterpret_cast<uintptr_t>(m_address); }
    IOVirtualAddress getVirtualAddress() const { return reinterpret_cast<uintptr_t>(m_address); }
    // The mapped length exactly as asked (not rounded to pages).
    mach_vm_size_t getLength() const { return m_length; }
    mach_vm_size_t getSize() const { return m_length; }
    IOMemoryDescriptor* getMemoryDescriptor() const { return m_descriptor; }
    task_t getAddressTask() const { return m_task; }
    // Made with kIOMapReadOnly.
    bool isReadOnly() const { return m_readOnly; }
    // The descriptor of the shared-memory file to hand to the process the map is for: one that
    // opens it for reading only when the map is read-only, so that the process cannot map it
    // writable either. -1 when the memory is not shareable.
    int fileDescriptor() const;
    // Removes the mapping; the address is invalid afterwards. Releasing the map unmaps too.
    IOReturn unmap();

protected:
    void free() override;

private:
    friend class IOMemoryDescriptor;
    IOMemoryDescriptor* m_descriptor = nullptr; // retained
    task_t m_task = 0;
    void* m_address = nullptr;
    mach_vm_size_t m_length = 0;
    void* m_pages = nullptr; // the page-aligned region this map owns, or null when it aliases
    size_t m_pagesLength = 0;
    bool m_readOnly = false;
};
