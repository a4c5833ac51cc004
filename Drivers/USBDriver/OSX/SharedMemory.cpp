#include "SharedMemory.h"
#include "platform/RealTime.h"

#include <cstring>

#include "IOKit/IOLib.h"

namespace {
constexpr vm_size_t kPageSize = 4096;
}

SharedMemory::~SharedMemory()
{
    term(true);
}

bool SharedMemory::init(uint64_t size)
{
    if (m_buffer != nullptr) {
        return m_size == size;
    }
    if (size == 0) {
        return false;
    }
    void* buffer = IOMallocAligned(size, kPageSize);
    if (buffer == nullptr) {
        IOLog("IOMallocAligned failed\n");
        return false;
    }
    std::memset(buffer, 0, size);
    m_buffer = buffer;
    m_size = size;
    m_descriptor = IOMemoryDescriptor::withAddress(buffer, size, kIODirectionInOut);
    if (m_descriptor == nullptr) {
        term(false);
        return false;
    }
    m_lock.store(0, std::memory_order_seq_cst);
    return true;
}

void SharedMemory::term(bool wait)
{
    if (m_buffer == nullptr) {
        return;
    }
    if (wait) {
        uint32_t expected = 0;
        while (!m_lock.compare_exchange_strong(expected, 1, std::memory_order_seq_cst)) {
            expected = 0;
            IOLog("SharedMemory::terminate() - wait for lock\n");
            IOSleep(10);
        }
    }
    OSSafeReleaseNULL(m_descriptor);
    IOFreeAligned(m_buffer, m_size);
    m_buffer = nullptr;
    m_size = 0;
    m_lock.store(0, std::memory_order_seq_cst);
}

void* SharedMemory::lock()
{
    if (m_buffer == nullptr) {
        return nullptr;
    }
    uint32_t expected = 0;
    if (!m_lock.compare_exchange_strong(expected, 1, std::memory_order_seq_cst)) {
        if (!platform::realtime::marked()) {
            IOLog("SharedMemory::lock failed\n");
        }
        return nullptr;
    }
    return m_buffer;
}

bool SharedMemory::unlock()
{
    uint32_t expected = 1;
    if (!m_lock.compare_exchange_strong(expected, 0, std::memory_order_seq_cst)) {
        if (!platform::realtime::marked()) {
            IOLog("SharedMemory::unlock failed\n");
        }
        return false;
    }
    return true;
}

IOReturn SharedMemory::getMemory(IOMemoryDescriptor** out)
{
    if (m_buffer == nullptr || m_descriptor == nullptr || out == nullptr) {
        return kIOReturnNoMemory;
    }
    m_descriptor->retain();
    *out = m_descriptor;
    return kIOReturnSuccess;
}

IOMemoryMap* SharedMemory::map(task_t task, IOOptionBits options, mach_vm_address_t address)
{
    if (m_descriptor == nullptr) {
        return nullptr;
    }
    IOLog("SharedMemory::map using createMappingInTask\n");
    return m_descriptor->createMappingInTask(task, address, options, 0, m_size);
}
