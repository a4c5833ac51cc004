// The kernel extension's locks, semaphore and atomic counter. Each degrades to doing nothing when
// its kernel object could not be made.
//
// Mutex::lock polls (try, then sleep 20 ms) and never blocks inside the kernel lock; code that must
// not sleep (USB completions, the real-time thread) uses trylock and skips its work on failure.
// A CriticalSection is the only way a Mutex is held across a block of statements.
//
// Thread safety: every operation may be called from any thread; lock and wait never from the
// real-time thread or a USB completion.
#pragma once

#include <cstdint>

#include "IOKit/IOLocks.h"
#include "mach/port.h"

class Mutex
{
public:
    Mutex();
    virtual ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    // Waits until the lock is taken (at once without a lock object). The name is for readers.
    void lock(const char* name = nullptr);
    // True when the lock was taken at once; false without a lock object.
    bool trylock();
    void unlock();
    bool isValid() const { return m_pLock != nullptr; }

private:
    IOLock* m_pLock = nullptr;
};

class CriticalSection
{
public:
    CriticalSection(Mutex* mutex, const char* name = nullptr);
    CriticalSection(Mutex& mutex, const char* name = nullptr) : CriticalSection(&mutex, name) {}
    virtual ~CriticalSection();
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

private:
    Mutex* m_pMutex;
};

class KeSemaphore
{
public:
    KeSemaphore() = default;
    ~KeSemaphore();
    KeSemaphore(const KeSemaphore&) = delete;
    KeSemaphore& operator=(const KeSemaphore&) = delete;

    // A semaphore of `task` (first in, first out; initial value 0); true on success.
    bool create(task_t task);
    // Blocks until signalled; false without a semaphore or when the wait failed.
    bool wait();
    void signal();
    void close();
    bool isValid() const { return m_cSemaphore != 0; }

private:
    semaphore_t m_cSemaphore = 0;
    task_t m_task = 0;
};

class KeLockedCounter
{
public:
    KeLockedCounter() = default;
    virtual ~KeLockedCounter() = default;
    KeLockedCounter(const KeLockedCounter&) = delete;
    KeLockedCounter& operator=(const KeLockedCounter&) = delete;

    // Change the counter atomically; the new value.
    int32_t inc();
    int32_t dec();
    int32_t get() const;

private:
    int32_t m_iCounter = 0;
};
