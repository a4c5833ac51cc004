// The per-device real-time kernel thread: it runs with the time-constraint policy and calls one
// service function about once a millisecond, guarded by a compare-and-swap service word that
// other threads take to keep the service out while they change streaming state. Each turn runs
// under the real-time mark (platform/RealTime.h); what a turn meets (a service word held
// elsewhere, a period that came 1.5 ms or more late) is counted in the record it was given, never
// logged.
//
// term() returns only once the thread has let go of this record for good: the thread clears its
// part of the record and then signals, touching nothing of the record afterwards, so the owner
// may destroy it as soon as term() returns.
//
// Thread safety: setService and the service word from any thread; create and term from one
// non-real-time thread at a time.
#pragma once

#include <atomic>
#include <cstdint>

#include "IOKit/IOLib.h"
#include "VKKernelSync.h"
#include "VKRealTimeRecord.h"

typedef void (*KeThreadService)(void* argument);

class KeThread
{
public:
    KeThread() { init(); }
    ~KeThread() { term(); }
    KeThread(const KeThread&) = delete;
    KeThread& operator=(const KeThread&) = delete;

    // Clears every field (no thread may run).
    void init();
    // Starts the thread with `argument` for the service; false when one runs or it cannot start.
    bool create(void* argument);
    // Sets or clears the service; takes effect at the next turn of the loop.
    void setService(KeThreadService service);
    // Where the turns count what they meet (null: nowhere). Set before create.
    void setRecord(VKRealTimeRecord* record) { m_record = record; }
    // Period, computation and constraint in microseconds; false without a thread.
    bool setRealtime(uint32_t period, uint32_t computation, uint32_t constraint);
    // Ends the thread and waits for it; without a thread only clears the service word.
    void term();

    bool isRunning() const { return m_thread.load(std::memory_order_acquire) != nullptr; }
    // The service word: 0 free, 1 held. A stopper clears the service and then takes the word
    // (trying again in 10 ms steps) to know that no service call runs.
    bool tryLockService();
    void unlockService();

private:
    static void entry(void* record);
    void run();

    std::atomic<uint32_t> m_serviceLock{0};
    std::atomic<IOThread> m_thread{nullptr};
    void* m_argument = nullptr;
    KeSemaphore m_semaphore;
    std::atomic<bool> m_end{false};
    std::atomic<KeThreadService> m_service{nullptr};
    VKRealTimeRecord* m_record = nullptr;
};
