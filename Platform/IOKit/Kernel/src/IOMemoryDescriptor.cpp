#include "IOKit/IOMemoryDescriptor.h"

#include <cstring>
#include <sys/mman.h>

#include "IOKit/IOBufferMemoryDescriptor.h"
#include "IOKit/IOLib.h"
#include "SharedBlock.h"

using platform::iokit::detail::SharedBlock;

OSDefineMetaClassAndStructors(IOMemoryDescriptor, OSObject);
OSDefineMetaClassAndStructors(IOMemoryMap, OSObject);
OSDefineMetaClassAndStructors(IOBufferMemoryDescriptor, IOMemoryDescriptor);

struct IOMemoryDescriptor::Backing
{
    std::shared_ptr<SharedBlock> block;
};

bool IOMemoryDescriptor::initWithBacking(Backing* backing, void* address, IOByteCount length,
                                         IODirection direction, uint64_t fileOffset)
{
    if (!OSObject::init()) {
        delete backing;
        return false;
    }
    m_backing = backing;
    m_address = address;
    m_length = length;
    m_direction = direction & kIOMemoryDirectionMask;
    m_fileOffset = fileOffset;
    return true;
}

IOMemoryDescriptor* IOMemoryDescriptor::withAddress(void* address, IOByteCount length, IODirection direction)
{
    if (address == nullptr || length == 0) {
        return nullptr;
    }
    size_t offset = 0;
    std::shared_ptr<SharedBlock> block = platform::iokit::detail::findAlignedBlock(address, length, &offset);
    auto* descriptor = new IOMemoryDescriptor;
    Backing* backing = block ? new Backing{std::move(block)} : nullptr;
    if (!descriptor->initWithBacking(backing, address, length, direction, offset)) {
        descriptor->release();
        return nullptr;
    }
    return descriptor;
}

IOMemoryDescriptor* IOMemoryDescriptor::withAddressRange(mach_vm_address_t address, mach_vm_size_t length,
                                                         IOOptionBits options, task_t task)
{
    if (task != kernel_task) {
        return nullptr; // user memory reaches the kernel only through shared blocks
    }
    return withAddress(reinterpret_cast<void*>(static_cast<uintptr_t>(address)), length,
                       options & kIOMemoryDirectionMask);
}

void IOMemoryDescriptor::free()
{
    delete m_backing;
    m_backing = nullptr;
    OSObject::free();
}

IOReturn IOMemoryDescriptor::prepare(IODirection)
{
    return kIOReturnSuccess;
}

IOReturn IOMemoryDescriptor::complete(IODirection)
{
    return kIOReturnSuccess;
}

IOByteCount IOMemoryDescriptor::readBytes(IOByteCount offset, void* bytes, IOByteCount length) const
{
    if (bytes == nullptr || offset >= getLength()) {
        return 0;
    }
    const IOByteCount count = length < getLength() - offset ? length : getLength() - offset;
    std::memcpy(bytes, static_cast<const unsigned char*>(m_address) + offset, count);
    return count;
}

IOByteCount IOMemoryDescriptor::writeBytes(IOByteCount offset, const void* bytes, IOByteCount length)
{
    if (bytes == nullptr || offset >= getLength()) {
        return 0;
    }
    const IOByteCount count = length < getLength() - offset ? length : getLength() - offset;
    std::memcpy(static_cast<unsigned char*>(m_address) + offset, bytes, count);
    return count;
}

int IOMemoryDescriptor::fileDescriptor() const
{
    return m_backing != nullptr ? m_backing->block->fd : -1;
}

IOMemoryMap* IOMemoryDescriptor::createMappingInTask(task_t intoTask, mach_vm_address_t, IOOptionBits options,
                                                     mach_vm_size_t offset, mach_vm_size_t length)
{
    if (intoTask == 0 || offset > getLength()) {
        return nullptr;
    }
    if (length == 0) {
        length = getLength() - offset;
    }
    if (length == 0 || length > getLength() - offset) {
        return nullptr;
    }
    auto* map = new IOMemoryMap;
    map->m_task = intoTask;
    map->m_length = length;
    map->m_readOnly = (options & kIOMapReadOnly) != 0;
    if (m_backing == nullptr) {
        if (intoTask != kernel_task) {
            map->release();
            return nullptr;
        }
        map->m_address = static_cast<unsigned char*>(m_address) + offset;
    } else {
        // A second mapping of the same file pages: the same memory at another address.
        const size_t page = platform::iokit::detail::pageSize();
        const uint64_t start = m_fileOffset + offset;
        const uint64_t pageStart = start / page * page;
        const size_t span = static_cast<size_t>(start - pageStart + length);
        const int protection = (options & kIOMapReadOnly) != 0 ? PROT_READ : PROT_READ | PROT_WRITE;
        void* pages =
            mmap(nullptr, span, protection, MAP_SHARED, m_backing->block->fd, static_cast<off_t>(pageStart));
        if (pages == MAP_FAILED) {
            map->release();
            return nullptr;
        }
        map->m_pages = pages;
        map->m_pagesLength = span;
        map->m_address = static_cast<unsigned char*>(pages) + (start - pageStart);
    }
    retain();
    map->m_descriptor = this;
    return map;
}

IOMemoryMap* IOMemoryDescriptor::map(IOOptionBits options)
{
    return createMappingInTask(kernel_task, 0, options | kIOMapAnywhere);
}

int IOMemoryMap::fileDescriptor() const
{
    if (m_descriptor == nullptr || m_descriptor->m_backing == nullptr) {
        return -1;
    }
    SharedBlock& block = *m_descriptor->m_backing->block;
    return m_readOnly ? block.readOnlyFd() : block.fd;
}

IOReturn IOMemoryMap::unmap()
{
    if (m_pages != nullptr) {
        munmap(m_pages, m_pagesLength);
        m_pages = nullptr;
    }
    m_address = nullptr;
    return kIOReturnSuccess;
}

void IOMemoryMap::free()
{
    unmap();
    // The descriptor (and with it the block) may go now; the file's pages stay with any other
    // mapping of them, in this process or another.
    OSSafeReleaseNULL(m_descriptor);
    OSObject::free();
}

// IOBufferMemoryDescriptor

IOBufferMemoryDescriptor* IOBufferMemoryDescriptor::inTaskWithOptions(task_t, IOOptionBits options,
                                                                      vm_size_t capacity, vm_size_t alignment)
{
    if (capacity == 0 || alignment > platform::iokit::detail::pageSize()) {
        return nullptr;
    }
    auto block = platform::iokit::detail::createSharedBlock(capacity, "IOBufferMemoryDescriptor");
    if (!block) {
        return nullptr;
    }
    void* address = block->address;
    auto* descriptor = new IOBufferMemoryDescriptor;
    if (!descriptor->initWithBacking(new Backing{std::move(block)}, address, capacity,
                                     options & kIOMemoryDirectionMask, 0)) {
        descriptor->release();
        return nullptr;
    }
    descriptor->m_capacity = capacity;
    return descriptor;
}

IOBufferMemoryDescriptor* IOBufferMemoryDescriptor::inTaskWithPhysicalMask(task_t inTask,
                                                                           IOOptionBits options,
                                                                           mach_vm_size_t capacity,
                                                                           mach_vm_address_t)
{
    return inTaskWithOptions(inTask, options, static_cast<vm_size_t>(capacity),
                             platform::iokit::detail::pageSize());
}

IOBufferMemoryDescriptor* IOBufferMemoryDescriptor::withOptions(IOOptionBits options, vm_size_t capacity,
                                                                vm_size_t alignment)
{
    return inTaskWithOptions(kernel_task, options, capacity, alignment);
}

IOBufferMemoryDescriptor* IOBufferMemoryDescriptor::withCapacity(vm_size_t capacity, IODirection direction,
                                                                 bool)
{
    return inTaskWithOptions(kernel_task, direction, capacity);
}

IOBufferMemoryDescriptor* IOBufferMemoryDescriptor::withBytes(const void* bytes, vm_size_t length,
                                                              IODirection direction, bool)
{
    if (bytes == nullptr) {
        return nullptr;
    }
    IOBufferMemoryDescriptor* descriptor = withCapacity(length, direction);
    if (descriptor != nullptr) {
        std::memcpy(descriptor->getBytesNoCopy(), bytes, length);
    }
    return descriptor;
}

void* IOBufferMemoryDescriptor::getBytesNoCopy(vm_size_t start, vm_size_t length)
{
    if (start > m_length || length > m_length - start) {
        return nullptr;
    }
    return static_cast<unsigned char*>(m_address) + start;
}

void IOBufferMemoryDescriptor::setLength(vm_size_t length)
{
    m_length = length < m_capacity ? length : m_capacity;
}
