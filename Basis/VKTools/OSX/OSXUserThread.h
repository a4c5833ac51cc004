// Base of the user-side objects that own a worker thread: one detached thread at a time runs the
// derived class's threadRun, at a priority relative to the thread that created the object, and
// polls stopRequested() to learn that it should return.
//
// A new start waits until the previous body has returned, so two bodies never run on one object,
// and each run begins with a fresh stop request. The destructor requests the stop and waits for
// the body too; a derived class whose body uses its own members calls threadStopAndWait() in its
// destructor, before those members go.
//
// Thread safety: threadStart, threadStop, threadStopAndWait and SetPriority are called by the
// owner's thread; stopRequested by the body.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <pthread.h>

class OSXUserThread
{
public:
    explicit OSXUserThread(unsigned int priority);
    // Priority 63; the three values are not used.
    OSXUserThread(unsigned int, unsigned int, unsigned int, bool detach);
    virtual ~OSXUserThread();
    OSXUserThread(const OSXUserThread&) = delete;
    OSXUserThread& operator=(const OSXUserThread&) = delete;

    // Starts the thread; false while a thread is set or when the thread library refuses.
    bool threadStart();
    // Asks the body to stop and forgets the thread; does not wait.
    void threadStop();
    // threadStop, then waits until the body has returned (at once when called from the body).
    void threadStopAndWait();
    // Stores the priority and, while a thread is set, asks for it as importance over the creator's.
    void SetPriority(unsigned int priority);

    // Before a start the priority to ask for, after it the priority the thread obtained.
    unsigned int getRequestedPriority() const { return m_requestedPriority; }
    int getCreatorPriority() const { return m_creatorPriority; }
    bool getDetach() const { return m_detach; }
    bool isThreadSet() const { return m_hasThread; }
    // True from a start until the body has returned.
    bool isBodyRunning() const;

    // The base priority of `thread` under its scheduling policy; 0 for other policies.
    static int getThreadPriority(pthread_t thread);
    // The start routine: runs the object's body; null for a null object.
    static void* entry(void* object);

protected:
    virtual void* threadRun() = 0;
    bool stopRequested() const { return m_stop.load(std::memory_order_acquire); }

private:
    void waitForBody();

    struct RunState;
    // Shared with the running thread, which may outlive the object.
    std::shared_ptr<RunState> m_run;

    std::atomic<bool> m_stop{false};
    pthread_t m_thread{};
    bool m_hasThread = false;
    int m_creatorPriority;
    unsigned int m_requestedPriority;
    bool m_detach;
};
