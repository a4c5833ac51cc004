#include "Semaphore.h"

#include "mach/mach_init.h"
#include "mach/semaphore.h"

Semaphore::~Semaphore()
{
    close();
}

bool Semaphore::create()
{
    if (isValid()) {
        return false;
    }
    m_task = mach_task_self();
    semaphore_t semaphore = MACH_PORT_NULL;
    if (semaphore_create(m_task, &semaphore, SYNC_POLICY_FIFO, 0) != KERN_SUCCESS) {
        return false;
    }
    m_semaphore = semaphore;
    return isValid();
}

bool Semaphore::wait()
{
    return isValid() && semaphore_wait(m_semaphore) == KERN_SUCCESS;
}

bool Semaphore::waitTimeout(int seconds)
{
    if (!isValid()) {
        return false;
    }
    const mach_timespec_t wait{seconds > 0 ? static_cast<unsigned int>(seconds) : 0u, 0};
    return semaphore_timedwait(m_semaphore, wait) == KERN_SUCCESS;
}

void Semaphore::signal()
{
    if (isValid()) {
        semaphore_signal(m_semaphore);
    }
}

void Semaphore::close()
{
    if (isValid()) {
        semaphore_destroy(m_task, m_semaphore);
        m_semaphore = MACH_PORT_NULL;
    }
}
