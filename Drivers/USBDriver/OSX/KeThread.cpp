#include "KeThread.h"

#include "IOKit/IOTypes.h"
#include "kern/clock.h"
#include "kern/thread.h"
#include "platform/HostClock.h"
#include "platform/RealTime.h"

namespace {

// Microseconds to absolute time (the host clock counts nanoseconds).
uint32_t absoluteFromMicroseconds(uint32_t microseconds)
{
    uint64_t absolute = 0;
    nanoseconds_to_absolutetime(uint64_t{microseconds} * 1000, &absolute);
    return static_cast<uint32_t>(absolute);
}

bool setTimeConstraint(thread_t thread, uint32_t period, uint32_t computation, uint32_t constraint)
{
    thread_time_constraint_policy_data_t policy = {absoluteFromMicroseconds(period),
                                                   absoluteFromMicroseconds(computation),
                                                   absoluteFromMicroseconds(constraint), 1};
    return thread_policy_set(thread, THREAD_TIME_CONSTRAINT_POLICY, reinterpret_cast<thread_policy_t>(&policy),
                             THREAD_TIME_CONSTRAINT_POLICY_COUNT) == KERN_SUCCESS;
}

} // namespace

void KeThread::init()
{
    m_serviceLock.store(0);
    m_thread.store(nullptr);
    m_argument = nullptr;
    m_end.store(false);
    m_service.store(nullptr);
}

bool KeThread::create(void* argument)
{
    if (m_thread.load() != nullptr) {
        IOLog("KeThread::create - thread already exists\n");
        return false;
    }
    if (!m_semaphore.isValid() && !m_semaphore.create(current_task())) {
        IOLog("KeThread::create - mSemaphore.create failed\n");
        return false;
    }
    m_argument = argument;
    m_end.store(false);
    IOThread thread = IOCreateThread(&KeThread::entry, this);
    if (thread == nullptr) {
        IOLog("IOCreateThread failed\n");
        return false;
    }
    m_thread.store(thread);
    m_semaphore.wait(); // the thread has started
    return true;
}

void KeThread::entry(void* record)
{
    IOLog("KeThread_IOThreadFunc ENTER\n");
    auto* self = static_cast<KeThread*>(record);
    if (self == nullptr) {
        IOLog("KeThread_IOThreadFunc - pThread is NULL\n");
        return;
    }
    self->m_semaphore.signal();
    self->run();
    // The record is the owner's again once the stop is signalled: everything of it this thread
    // used is cleared first, and nothing of it is touched after the signal.
    self->m_thread.store(nullptr);
    self->m_semaphore.signal();
    IOLog("KeThread_IOThreadFunc EXIT\n");
}

void KeThread::run()
{
    setTimeConstraint(current_thread(), 1000, 300, 900);
    if (m_end.load()) {
        return;
    }
    while (!m_end.load(std::memory_order_acquire)) {
        {
            platform::realtime::Section realTime;
            uint32_t expected = 0;
            if (m_serviceLock.compare_exchange_strong(expected, 1, std::memory_order_seq_cst)) {
                KeThreadService service = m_service.load(std::memory_order_acquire);
                if (service != nullptr) {
                    service(m_argument);
                }
                m_serviceLock.store(0, std::memory_order_seq_cst);
            } else if (m_record != nullptr) {
                m_record->count(VKRealTimeRecord::kServiceWordBusy);
            }
        }
        const uint64_t before = platform::host_clock::now();
        IOSleep(1);
        const uint64_t slept = platform::host_clock::now() - before;
        if (slept >= 1'501'000 && m_record != nullptr) {
            m_record->lateService(slept / 1000);
        }
    }
}

void KeThread::setService(KeThreadService service)
{
    m_service.store(service, std::memory_order_release);
}

bool KeThread::setRealtime(uint32_t period, uint32_t computation, uint32_t constraint)
{
    IOThread thread = m_thread.load();
    if (thread == nullptr) {
        return false;
    }
    return setTimeConstraint(thread, period, computation, constraint);
}

bool KeThread::tryLockService()
{
    uint32_t expected = 0;
    return m_serviceLock.compare_exchange_strong(expected, 1, std::memory_order_seq_cst);
}

void KeThread::unlockService()
{
    m_serviceLock.store(0, std::memory_order_seq_cst);
}

void KeThread::term()
{
    IOLog("KeThread::term ENTER\n");
    if (m_thread.load() != nullptr) {
        IOLog("...must end thread\n");
        m_end.store(true, std::memory_order_release);
        m_service.store(nullptr);
        m_semaphore.wait();
    }
    m_serviceLock.store(0);
    IOLog("KeThread::term EXIT\n");
}
