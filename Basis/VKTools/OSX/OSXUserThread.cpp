#include "OSXUserThread.h"

#include <condition_variable>
#include <mutex>

#include "mach/thread_act.h"

namespace {

constexpr unsigned int kDefaultPriority = 63;

template <class Info> int basePriority(mach_port_t port, thread_flavor_t flavor, mach_msg_type_number_t count)
{
    Info info{};
    if (thread_info(port, flavor, reinterpret_cast<thread_info_t>(&info), &count) != KERN_SUCCESS) {
        return 0;
    }
    return info.base_priority;
}

} // namespace

struct OSXUserThread::RunState
{
    std::mutex mutex;
    std::condition_variable changed;
    bool bodyRunning = false; // guarded by mutex: from a start until the body has returned
    bool announced = false;   // guarded by mutex: the new thread has taken its port
    bool released = false;    // guarded by mutex: its priority is set, the body may run
    pthread_t bodyThread{};   // guarded by mutex
};

OSXUserThread::OSXUserThread(unsigned int priority)
    : m_run(std::make_shared<RunState>()), m_creatorPriority(getThreadPriority(pthread_self())),
      m_requestedPriority(priority), m_detach(true)
{
}

OSXUserThread::OSXUserThread(unsigned int, unsigned int, unsigned int, bool detach)
    : m_run(std::make_shared<RunState>()), m_creatorPriority(getThreadPriority(pthread_self())),
      m_requestedPriority(kDefaultPriority), m_detach(detach)
{
}

OSXUserThread::~OSXUserThread()
{
    threadStopAndWait();
}

bool OSXUserThread::isBodyRunning() const
{
    std::lock_guard lock(m_run->mutex);
    return m_run->bodyRunning;
}

void OSXUserThread::waitForBody()
{
    std::unique_lock lock(m_run->mutex);
    if (m_run->bodyRunning && pthread_equal(m_run->bodyThread, pthread_self()) != 0) {
        return; // the body itself cannot wait for its own end
    }
    m_run->changed.wait(lock, [&] { return !m_run->bodyRunning; });
}

bool OSXUserThread::threadStart()
{
    if (m_hasThread) {
        return false;
    }
    {
        std::lock_guard lock(m_run->mutex);
        if (m_run->bodyRunning && pthread_equal(m_run->bodyThread, pthread_self()) != 0) {
            return false;
        }
    }
    // A body still finishing after threadStop must end before the next one starts.
    waitForBody();

    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        return false;
    }
    if (pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) != 0) {
        pthread_attr_destroy(&attributes);
        return false;
    }
    m_stop.store(false, std::memory_order_release);
    {
        std::lock_guard lock(m_run->mutex);
        m_run->bodyRunning = true;
        m_run->announced = false;
        m_run->released = false;
    }
    pthread_t thread{};
    const int created = pthread_create(&thread, &attributes, entry, this);
    pthread_attr_destroy(&attributes);
    if (created != 0) {
        std::lock_guard lock(m_run->mutex);
        m_run->bodyRunning = false;
        return false;
    }
    m_thread = thread;
    m_hasThread = true;
    {
        // Priorities reach a thread once it has its port.
        std::unique_lock lock(m_run->mutex);
        m_run->changed.wait(lock, [&] { return m_run->announced; });
    }
    SetPriority(m_requestedPriority);
    m_requestedPriority = static_cast<unsigned int>(getThreadPriority(m_thread));
    {
        // The body starts once its priority is settled, so its thread is still there to be asked.
        std::lock_guard lock(m_run->mutex);
        m_run->released = true;
        m_run->changed.notify_all();
    }
    return true;
}

void OSXUserThread::threadStop()
{
    if (m_stop.load(std::memory_order_acquire)) {
        return;
    }
    m_stop.store(true, std::memory_order_release);
    m_hasThread = false;
}

void OSXUserThread::threadStopAndWait()
{
    threadStop();
    waitForBody();
}

void OSXUserThread::SetPriority(unsigned int priority)
{
    m_requestedPriority = priority;
    if (!m_hasThread) {
        return;
    }
    thread_precedence_policy policy{static_cast<integer_t>(static_cast<int>(priority) - m_creatorPriority)};
    thread_policy_set(pthread_mach_thread_np(m_thread), THREAD_PRECEDENCE_POLICY,
                      reinterpret_cast<thread_policy_t>(&policy), THREAD_PRECEDENCE_POLICY_COUNT);
}

int OSXUserThread::getThreadPriority(pthread_t thread)
{
    const mach_port_t port = pthread_mach_thread_np(thread);
    thread_basic_info basic{};
    mach_msg_type_number_t count = THREAD_BASIC_INFO_COUNT;
    if (thread_info(port, THREAD_BASIC_INFO, reinterpret_cast<thread_info_t>(&basic), &count) !=
        KERN_SUCCESS) {
        return 0;
    }
    switch (basic.policy) {
    case POLICY_TIMESHARE:
        return basePriority<policy_timeshare_info>(port, THREAD_SCHED_TIMESHARE_INFO,
                                                   POLICY_TIMESHARE_INFO_COUNT);
    case POLICY_RR:
        return basePriority<policy_rr_info>(port, THREAD_SCHED_RR_INFO, POLICY_RR_INFO_COUNT);
    case POLICY_FIFO:
        return basePriority<policy_fifo_info>(port, THREAD_SCHED_FIFO_INFO, POLICY_FIFO_INFO_COUNT);
    default:
        return 0;
    }
}

void* OSXUserThread::entry(void* object)
{
    if (object == nullptr) {
        return nullptr;
    }
    auto* self = static_cast<OSXUserThread*>(object);
    // The run state outlives the object: a body may end by destroying its own object.
    const std::shared_ptr<RunState> run = self->m_run;
    pthread_mach_thread_np(pthread_self());
    bool started = false;
    {
        // A thread made by threadStart announces itself and waits for its priority.
        std::unique_lock lock(run->mutex);
        started = run->bodyRunning && !run->announced;
        if (started) {
            run->announced = true;
            run->bodyThread = pthread_self();
            run->changed.notify_all();
            run->changed.wait(lock, [&] { return run->released; });
        }
    }
    void* result = self->threadRun();
    if (!started) {
        return result;
    }
    std::lock_guard lock(run->mutex);
    run->bodyRunning = false;
    run->changed.notify_all();
    return result;
}
