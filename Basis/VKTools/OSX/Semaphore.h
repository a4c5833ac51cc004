// One counting semaphore for the start and stop hand-shakes around worker threads, with a timed
// wait in whole seconds on the host clock. Signals given before a wait are counted.
//
// Thread safety: wait, waitTimeout and signal may come from different threads; create and close
// are called by the owner while nobody waits.
#pragma once

#include "mach/port.h"

class Semaphore
{
public:
    Semaphore() = default;
    virtual ~Semaphore();
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    // False when a semaphore exists already or none could be made.
    bool create();
    bool wait();
    // True when signalled within `seconds` (0: only a pending signal counts; below 0 counts as 0).
    bool waitTimeout(int seconds);
    void signal();
    void close();
    bool isValid() const { return m_semaphore != MACH_PORT_NULL; }

private:
    task_t m_task = MACH_PORT_NULL;
    semaphore_t m_semaphore = MACH_PORT_NULL;
};
