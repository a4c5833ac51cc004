// Atomic operations on plain memory, including memory shared with user processes. Each one is a
// full barrier. The arithmetic forms answer the value from before the change.
#pragma once

#include "libkern/OSTypes.h"

inline SInt32 OSAddAtomic(SInt32 amount, volatile SInt32* address)
{
    return __atomic_fetch_add(address, amount, __ATOMIC_SEQ_CST);
}
inline SInt64 OSAddAtomic64(SInt64 amount, volatile SInt64* address)
{
    return __atomic_fetch_add(address, amount, __ATOMIC_SEQ_CST);
}
inline SInt32 OSIncrementAtomic(volatile SInt32* address)
{
    return OSAddAtomic(1, address);
}
inline SInt32 OSDecrementAtomic(volatile SInt32* address)
{
    return OSAddAtomic(-1, address);
}
inline SInt64 OSIncrementAtomic64(volatile SInt64* address)
{
    return OSAddAtomic64(1, address);
}
inline SInt64 OSDecrementAtomic64(volatile SInt64* address)
{
    return OSAddAtomic64(-1, address);
}

// Stores `newValue` when `*address` equals `oldValue`; true when it did.
inline Boolean OSCompareAndSwap(UInt32 oldValue, UInt32 newValue, volatile UInt32* address)
{
    return __atomic_compare_exchange_n(address, &oldValue, newValue, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST);
}
inline Boolean OSCompareAndSwap64(UInt64 oldValue, UInt64 newValue, volatile UInt64* address)
{
    return __atomic_compare_exchange_n(address, &oldValue, newValue, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST);
}
inline Boolean OSCompareAndSwapPtr(void* oldValue, void* newValue, void* volatile* address)
{
    return __atomic_compare_exchange_n(address, &oldValue, newValue, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST);
}

inline void OSMemoryBarrier()
{
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
}
