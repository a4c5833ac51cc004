// Kernel mutexes. A lock is taken and released on the same thread and is not recursive.
// Thread safety: any thread; never on a real-time path except IOLockTryLock.
#pragma once

typedef struct _IOLock IOLock;

IOLock* IOLockAlloc();
void IOLockFree(IOLock* lock);
void IOLockLock(IOLock* lock);
// True when the lock was taken at once; never waits.
bool IOLockTryLock(IOLock* lock);
void IOLockUnlock(IOLock* lock);
