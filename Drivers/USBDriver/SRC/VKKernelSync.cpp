// Each operation opens an unnamed (silent) trace scope, as routine kernel operations do; their
// lines are never written.
#include "VKKernelSync.h"

#include "IOKit/IOLib.h"
#include "VKIOTrace.h"
#include "libkern/OSAtomic.h"
#include "mach/semaphore.h"

namespace {
// Between two attempts of Mutex::lock.
constexpr unsigned kLockPollMs = 20;
} // namespace

Mutex::Mutex() : m_pLock(IOLockAlloc())
{
    VKIOTrace trace(nullptr, 0);
    if (m_pLock == nullptr) {
        trace.trace("IOSimpleLockAlloc failed");
    }
}

Mutex::~Mutex()
{
    if (m_pLock != nullptr) {
        IOLockFree(m_pLock);
        m_pLock = nullptr;
    }
}

void Mutex::lock(const char* /*name*/)
{
    VKIOTrace trace(nullptr, 0);
    if (m_pLock == nullptr) {
        trace.trace("no mutex");
        return;
    }
    while (!IOLockTryLock(m_pLock)) {
        IOSleep(kLockPollMs);
    }
    trace.trace("mutex locked");
}

bool Mutex::trylock()
{
    VKIOTrace trace(nullptr, 0);
    if (m_pLock == nullptr) {
        trace.trace("no mutex");
        return false;
    }
    const bool taken = IOLockTryLock(m_pLock);
    trace.trace(taken ? "mutex_try success" : "mutex_try failed");
    return taken;
}

void Mutex::unlock()
{
    VKIOTrace trace(nullptr, 0);
    if (m_pLock == nullptr) {
        trace.trace("no mutex");
        return;
    }
    IOLockUnlock(m_pLock);
    trace.trace("mutex unlocked");
}

CriticalSection::CriticalSection(Mutex* mutex, const char* name) : m_pMutex(mutex)
{
    if (m_pMutex != nullptr) {
        m_pMutex->lock(name);
    }
}

CriticalSection::~CriticalSection()
{
    if (m_pMutex != nullptr) {
        m_pMutex->unlock();
    }
}

KeSemaphore::~KeSemaphore()
{
    close();
}

bool KeSemaphore::create(task_t task)
{
    VKIOTrace trace(nullptr, 0);
    close();
    m_task = task;
    semaphore_t semaphore = 0;
    const kern_return_t result = semaphore_create(task, &semaphore, SYNC_POLICY_FIFO, 0);
    trace.trace("create semaphore returned", result);
    if (result != KERN_SUCCESS) {
        return false;
    }
    m_cSemaphore = semaphore;
    trace.trace("m_cSemaphore is", static_cast<int>(m_cSemaphore));
    return true;
}

bool KeSemaphore::wait()
{
    VKIOTrace trace(nullptr, 0);
    if (m_cSemaphore == 0) {
        return false;
    }
    const kern_return_t result = semaphore_wait(m_cSemaphore);
    trace.trace("semaphore_wait returned", result);
    return result == KERN_SUCCESS;
}

void KeSemaphore::signal()
{
    VKIOTrace trace(nullptr, 0);
    if (m_cSemaphore != 0) {
        trace.trace("semaphore_signal returned", semaphore_signal(m_cSemaphore));
    }
}

void KeSemaphore::close()
{
    VKIOTrace trace(nullptr, 0);
    if (m_cSemaphore != 0) {
        trace.trace("semaphore_destroy returned", semaphore_destroy(m_task, m_cSemaphore));
        m_cSemaphore = 0;
    }
}

int32_t KeLockedCounter::inc()
{
    return OSIncrementAtomic(&m_iCounter) + 1;
}

int32_t KeLockedCounter::dec()
{
    return OSDecrementAtomic(&m_iCounter) - 1;
}

int32_t KeLockedCounter::get() const
{
    return __atomic_load_n(&m_iCounter, __ATOMIC_SEQ_CST);
}
