// Access to fields of records that lie in memory shared across the kernel boundary.
//
// The records are packed on 4-byte boundaries, so 64-bit fields may sit at offsets that are not
// multiples of 8. They are declared as `QzU64`, a 64-bit integer in a structure aligned to 4,
// so that every access, through the field or a reference to it, is compiled for the alignment
// the field really has. A field another process may touch is read and written with the volatile accesses
// below, once each per operation; ordering between fields comes from the fences. No
// std::atomic_ref (it needs natural alignment) and no lock lives in a shared record.
#pragma once

#include <atomic>
#include <cstdint>

#pragma pack(push, 4)
struct QzU64
{
    uint64_t value;

    operator uint64_t() const { return value; }
    QzU64& operator=(uint64_t v)
    {
        value = v;
        return *this;
    }
};
#pragma pack(pop)
static_assert(sizeof(QzU64) == 8 && alignof(QzU64) == 4);

namespace shared {

inline uint32_t load(const uint32_t& field)
{
    return *static_cast<const volatile uint32_t*>(&field);
}

inline int32_t load(const int32_t& field)
{
    return *static_cast<const volatile int32_t*>(&field);
}

inline uint64_t load(const QzU64& field)
{
    return static_cast<const volatile QzU64*>(&field)->value;
}

inline void store(uint32_t& field, uint32_t value)
{
    *static_cast<volatile uint32_t*>(&field) = value;
}

inline void store(int32_t& field, int32_t value)
{
    *static_cast<volatile int32_t*>(&field) = value;
}

inline void store(QzU64& field, uint64_t value)
{
    static_cast<volatile QzU64*>(&field)->value = value;
}

// Read-modify-write and release store on 32-bit words both sides change (4-byte aligned, so
// these are lock-free instructions, never a library lock).
inline uint32_t atomicAdd(uint32_t& field, int32_t delta)
{
    return __atomic_add_fetch(&field, static_cast<uint32_t>(delta), __ATOMIC_SEQ_CST);
}

inline void storeRelease(uint32_t& field, uint32_t value)
{
    __atomic_store_n(&field, value, __ATOMIC_RELEASE);
}

inline uint32_t loadAcquire(const uint32_t& field)
{
    return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}

// Stores before this point become visible to another process before stores after it.
inline void publish()
{
    std::atomic_thread_fence(std::memory_order_release);
}

// Loads after this point see at least what was published before the loads before it.
inline void consume()
{
    std::atomic_thread_fence(std::memory_order_acquire);
}

} // namespace shared
