#include "OSXUserThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "Semaphore.h"
#include "mach/thread_act.h"
#include "platform/MachThreads.h"

namespace mt = platform::mach_threads;
using namespace std::chrono_literals;

namespace {

// Counts the bodies that run at once; each body lingers a while after its stop, as the device's
// IO thread does while it waits for the detach.
struct BodyCounters
{
    std::atomic<int> running{0};
    std::atomic<int> mostAtOnce{0};
    std::atomic<int> runs{0};
    std::atomic<bool> lastBodyReturned{false};
};

class Worker : public OSXUserThread
{
public:
    Worker(BodyCounters& counters, unsigned int priority, std::chrono::milliseconds linger = 50ms)
        : OSXUserThread(priority), m_counters(counters), m_linger(linger)
    {
    }
    ~Worker() override { threadStopAndWait(); }

    Semaphore started;
    std::atomic<mach_port_t> port{MACH_PORT_NULL};

private:
    void* threadRun() override
    {
        port = pthread_mach_thread_np(pthread_self());
        m_counters.lastBodyReturned = false;
        const int now = ++m_counters.running;
        ++m_counters.runs;
        int most = m_counters.mostAtOnce;
        while (now > most && !m_counters.mostAtOnce.compare_exchange_weak(most, now)) {
        }
        started.signal();
        while (!stopRequested()) {
            std::this_thread::sleep_for(1ms);
        }
        std::this_thread::sleep_for(m_linger);
        --m_counters.running;
        m_counters.lastBodyReturned = true;
        return reinterpret_cast<void*>(7);
    }

    BodyCounters& m_counters;
    std::chrono::milliseconds m_linger;
};

} // namespace

TEST(OSXUserThread, RestartAfterStopNeverRunsTwoBodies)
{
    BodyCounters counters;
    Worker worker(counters, 31);
    ASSERT_TRUE(worker.started.create());
    ASSERT_TRUE(worker.threadStart());
    EXPECT_FALSE(worker.threadStart()); // a thread is set
    ASSERT_TRUE(worker.started.waitTimeout(5));

    for (int i = 0; i < 3; ++i) {
        worker.threadStop();
        worker.threadStop(); // a second stop changes nothing
        EXPECT_FALSE(worker.isThreadSet());
        ASSERT_TRUE(worker.threadStart()); // waits for the lingering body
        ASSERT_TRUE(worker.started.waitTimeout(5));
        EXPECT_TRUE(worker.isBodyRunning());
    }
    worker.threadStopAndWait();
    EXPECT_FALSE(worker.isBodyRunning());
    EXPECT_EQ(counters.runs.load(), 4);
    EXPECT_EQ(counters.mostAtOnce.load(), 1);
    EXPECT_EQ(counters.running.load(), 0);
}

TEST(OSXUserThread, DestructionWaitsForTheBody)
{
    BodyCounters counters;
    {
        Worker worker(counters, 31, 100ms);
        ASSERT_TRUE(worker.started.create());
        ASSERT_TRUE(worker.threadStart());
        ASSERT_TRUE(worker.started.waitTimeout(5));
    }
    EXPECT_TRUE(counters.lastBodyReturned.load());
    EXPECT_EQ(counters.running.load(), 0);
}

TEST(OSXUserThread, PriorityIsAskedRelativeToTheCreator)
{
    BodyCounters counters;
    Worker worker(counters, 63);
    EXPECT_EQ(worker.getCreatorPriority(), OSXUserThread::getThreadPriority(pthread_self()));
    EXPECT_EQ(worker.getRequestedPriority(), 63u);
    EXPECT_TRUE(worker.getDetach());

    // Before a start the value is only stored.
    const int creator = worker.getCreatorPriority();
    worker.SetPriority(static_cast<unsigned int>(creator - 2));
    EXPECT_EQ(worker.getRequestedPriority(), static_cast<unsigned int>(creator - 2));
    ASSERT_TRUE(worker.started.create());
    ASSERT_TRUE(worker.threadStart());
    ASSERT_TRUE(worker.started.waitTimeout(5));
    // Lowering is always permitted: the thread obtained what it asked for.
    const auto lowered = mt::precedenceRequest(worker.port);
    ASSERT_TRUE(lowered.has_value());
    EXPECT_EQ(lowered->importance, -2);
    EXPECT_EQ(worker.getRequestedPriority(), static_cast<unsigned int>(creator - 2));
    worker.threadStopAndWait();

    // Raising: the read-back is what the thread obtained, which needs privilege.
    worker.SetPriority(63);
    ASSERT_TRUE(worker.threadStart());
    ASSERT_TRUE(worker.started.waitTimeout(5));
    const auto raised = mt::precedenceRequest(worker.port);
    ASSERT_TRUE(raised.has_value());
    EXPECT_EQ(raised->importance, 63 - creator);
    if (raised->applied) {
        EXPECT_EQ(worker.getRequestedPriority(), 63u);
    } else {
        EXPECT_NE(worker.getRequestedPriority(), 63u);
    }
}

TEST(OSXUserThread, FourArgumentFormAndEntry)
{
    struct Plain : OSXUserThread
    {
        Plain() : OSXUserThread(1, 2, 3, false) {}
        void* threadRun() override { return reinterpret_cast<void*>(5); }
    };
    Plain plain;
    EXPECT_EQ(plain.getRequestedPriority(), 63u);
    EXPECT_FALSE(plain.getDetach());
    EXPECT_EQ(OSXUserThread::entry(nullptr), nullptr);
    EXPECT_EQ(OSXUserThread::entry(&plain), reinterpret_cast<void*>(5)); // runs the body on this thread
    EXPECT_FALSE(plain.isBodyRunning());

    // A body that returns on its own keeps the thread set until threadStop.
    ASSERT_TRUE(plain.threadStart());
    EXPECT_FALSE(plain.threadStart());
    plain.threadStopAndWait();
    EXPECT_TRUE(plain.threadStart());
    plain.threadStopAndWait();
}

TEST(OSXUserThread, ABodyMayEndByDestroyingItsObject)
{
    struct SelfDeleting : OSXUserThread
    {
        SelfDeleting(std::atomic<bool>& d, std::atomic<mach_port_t>& p) : OSXUserThread(31), done(d), port(p) {}
        void* threadRun() override
        {
            std::atomic<bool>& flag = done;
            port = pthread_mach_thread_np(pthread_self());
            delete this; // the last reference released on the worker thread
            flag = true;
            return nullptr;
        }
        std::atomic<bool>& done;
        std::atomic<mach_port_t>& port;
    };
    std::atomic<bool> done{false};
    std::atomic<mach_port_t> port{MACH_PORT_NULL};
    auto* object = new SelfDeleting(done, port);
    ASSERT_TRUE(object->threadStart());
    // The thread leaves entry (touching nothing of the object, as ASan checks) and ends: its port
    // goes with it.
    const auto gone = [&] {
        thread_basic_info info{};
        mach_msg_type_number_t count = THREAD_BASIC_INFO_COUNT;
        return done && thread_info(port, THREAD_BASIC_INFO, reinterpret_cast<thread_info_t>(&info), &count) !=
                           KERN_SUCCESS;
    };
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!gone() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(gone());
}
