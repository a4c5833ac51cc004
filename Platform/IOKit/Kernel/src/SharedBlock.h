// A block of memory in an anonymous shared-memory file (memfd), mapped once into the kernel
// host. Other mappings of the same file (in this process or, through the file descriptor, in
// another) see the same bytes. The block lives while any holder keeps its shared_ptr.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>

namespace platform::iokit::detail {

struct SharedBlock
{
    int fd = -1;
    size_t size = 0;
    void* address = nullptr; // the kernel host's own mapping

    // A second descriptor of the same file, opened for reading only: a process given this one
    // cannot map the memory writable (made on first use; -1 when it cannot be opened).
    int readOnlyFd();

    ~SharedBlock();

private:
    std::mutex m_readOnlyMutex;
    int m_readOnlyFd = -1; // guarded by m_readOnlyMutex
};

std::shared_ptr<SharedBlock> createSharedBlock(size_t size, const char* name);

// The IOMallocAligned block holding [address, address + length), and the offset of `address`
// in it; null when the range is not inside one.
std::shared_ptr<SharedBlock> findAlignedBlock(const void* address, size_t length, size_t* offset);

size_t pageSize();

} // namespace platform::iokit::detail
