// A buffer whose usable bytes end right before an inaccessible page, so a converter that reads or
// writes one byte past its block faults at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <sys/mman.h>
#include <unistd.h>

namespace dmaconv::testing {

class GuardedBlock
{
public:
    explicit GuardedBlock(size_t usable)
    {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        m_dataPages = (usable + page - 1) / page * page;
        m_size = m_dataPages + page;
        void* p = mmap(nullptr, m_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            throw std::runtime_error("mmap failed");
        }
        m_base = static_cast<uint8_t*>(p);
        if (mprotect(m_base + m_dataPages, page, PROT_NONE) != 0) {
            throw std::runtime_error("mprotect failed");
        }
    }
    ~GuardedBlock() { munmap(m_base, m_size); }
    GuardedBlock(const GuardedBlock&) = delete;
    GuardedBlock& operator=(const GuardedBlock&) = delete;

    // The first byte of `size` bytes that end `trailing` bytes before the guard page.
    uint8_t* endingAt(size_t size, size_t trailing = 0) const
    {
        return m_base + m_dataPages - trailing - size;
    }
    uint8_t* guardPage() const { return m_base + m_dataPages; }

private:
    uint8_t* m_base = nullptr;
    size_t m_dataPages = 0;
    size_t m_size = 0;
};

} // namespace dmaconv::testing
