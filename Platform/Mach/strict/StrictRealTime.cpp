// Linked into every test program: the real-time mark is strict there (a violation aborts, naming
// the call), for the program and every process it starts (the kernel host of a process test), and
// the program's own allocations are checked too.
#include <cstdlib>
#include <new>

#include "platform/RealTime.h"

namespace {

const bool g_strict = [] {
    setenv("VK_REALTIME_STRICT", "1", 1);
    platform::realtime::setStrict(true);
    return true;
}();

} // namespace

// The sanitizers bring their own allocator; there the stand-ins' checks alone stand guard.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VK_OWN_ALLOCATOR 0
#endif
#endif
#if !defined(VK_OWN_ALLOCATOR) && defined(__SANITIZE_ADDRESS__)
#define VK_OWN_ALLOCATOR 0
#endif
#if !defined(VK_OWN_ALLOCATOR)
#define VK_OWN_ALLOCATOR 1
#endif

#if VK_OWN_ALLOCATOR
void* operator new(std::size_t size)
{
    platform::realtime::check("operator new");
    if (void* block = std::malloc(size != 0 ? size : 1)) {
        return block;
    }
    throw std::bad_alloc();
}

void* operator new[](std::size_t size)
{
    return ::operator new(size);
}

void operator delete(void* block) noexcept
{
    if (block != nullptr) {
        platform::realtime::check("operator delete");
    }
    std::free(block);
}

void operator delete[](void* block) noexcept
{
    ::operator delete(block);
}

void operator delete(void* block, std::size_t) noexcept
{
    ::operator delete(block);
}

void operator delete[](void* block, std::size_t) noexcept
{
    ::operator delete(block);
}
#endif
