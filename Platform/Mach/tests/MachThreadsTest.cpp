#include "platform/MachThreads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

#include "mach/mach.h"

namespace mt = platform::mach_threads;

namespace {

int basePriority(thread_act_t port)
{
    policy_timeshare_info info{};
    mach_msg_type_number_t count = POLICY_TIMESHARE_INFO_COUNT;
    EXPECT_EQ(thread_info(port, THREAD_SCHED_TIMESHARE_INFO, reinterpret_cast<thread_info_t>(&info), &count),
              KERN_SUCCESS);
    return info.base_priority;
}

kern_return_t setImportance(thread_act_t port, int importance)
{
    thread_precedence_policy policy{importance};
    return thread_policy_set(port, THREAD_PRECEDENCE_POLICY, reinterpret_cast<thread_policy_t>(&policy),
                             THREAD_PRECEDENCE_POLICY_COUNT);
}

// A thread that announces itself (or not) and waits until released; it announces itself later
// when asked.
class Worker
{
public:
    explicit Worker(bool announce)
    {
        m_thread = std::thread([this, announce] {
            if (announce) {
                pthread_mach_thread_np(pthread_self());
            }
            std::unique_lock lock(m_mutex);
            tid = gettid();
            m_changed.notify_all();
            for (;;) {
                m_changed.wait(lock, [&] { return m_release || m_announceNow; });
                if (m_release) {
                    return;
                }
                m_announceNow = false;
                pthread_mach_thread_np(pthread_self());
                m_announced = true;
                m_changed.notify_all();
            }
        });
        std::unique_lock lock(m_mutex);
        EXPECT_TRUE(m_changed.wait_for(lock, kLimit, [&] { return tid != 0; }));
    }
    ~Worker()
    {
        {
            std::lock_guard lock(m_mutex);
            m_release = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }
    pthread_t handle() { return m_thread.native_handle(); }
    int nice() const { return getpriority(PRIO_PROCESS, static_cast<id_t>(tid)); }
    // Asks the thread to announce itself; true once it has.
    bool announceNow()
    {
        std::unique_lock lock(m_mutex);
        m_announceNow = true;
        m_changed.notify_all();
        return m_changed.wait_for(lock, kLimit, [&] { return m_announced; });
    }

    pid_t tid = 0; // set before the constructor returns

private:
    static constexpr std::chrono::seconds kLimit{10};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_release = false, m_announceNow = false, m_announced = false; // guarded by m_mutex
    std::thread m_thread;
};

} // namespace

TEST(MachThreads, PriorityAndNiceMapBothWays)
{
    EXPECT_EQ(mt::niceForPriority(31), 0);
    EXPECT_EQ(mt::niceForPriority(63), -20);
    EXPECT_EQ(mt::niceForPriority(0), 19);
    EXPECT_EQ(mt::niceForPriority(127), -20);
    EXPECT_EQ(mt::niceForPriority(-5), 19);
    for (int nice = -20; nice <= 19; ++nice) {
        EXPECT_EQ(mt::niceForPriority(mt::priorityForNice(nice)), nice) << nice;
    }
    for (int priority = 0; priority <= 63; ++priority) {
        const int nice = mt::niceForPriority(priority);
        EXPECT_EQ(mt::niceForPriority(mt::priorityForNice(nice)), nice);
    }
}

TEST(MachThreads, SelfPortAndBasicInfo)
{
    const mach_port_t self = pthread_mach_thread_np(pthread_self());
    EXPECT_NE(self, MACH_PORT_NULL);
    EXPECT_EQ(pthread_mach_thread_np(pthread_self()), self);
    EXPECT_NE(mach_task_self(), MACH_PORT_NULL);
    EXPECT_EQ(mach_task_self(), mach_task_self());

    thread_basic_info basic{};
    mach_msg_type_number_t count = THREAD_BASIC_INFO_COUNT;
    ASSERT_EQ(thread_info(self, THREAD_BASIC_INFO, reinterpret_cast<thread_info_t>(&basic), &count),
              KERN_SUCCESS);
    EXPECT_EQ(count, 10u);
    EXPECT_EQ(basic.policy, POLICY_TIMESHARE);
    EXPECT_EQ(basePriority(self), mt::priorityForNice(getpriority(PRIO_PROCESS, 0)));

    // Bad requests.
    count = 4;
    EXPECT_EQ(thread_info(self, THREAD_BASIC_INFO, reinterpret_cast<thread_info_t>(&basic), &count),
              KERN_INVALID_ARGUMENT);
    count = THREAD_BASIC_INFO_COUNT;
    EXPECT_EQ(thread_info(12345, THREAD_BASIC_INFO, reinterpret_cast<thread_info_t>(&basic), &count),
              KERN_INVALID_ARGUMENT);
    EXPECT_EQ(thread_info(self, 99, reinterpret_cast<thread_info_t>(&basic), &count), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(thread_info(self, THREAD_SCHED_FIFO_INFO, reinterpret_cast<thread_info_t>(&basic), &count),
              KERN_INVALID_ARGUMENT);
    thread_precedence_policy policy{1};
    EXPECT_EQ(thread_policy_set(self, 1, reinterpret_cast<thread_policy_t>(&policy), 1),
              KERN_INVALID_ARGUMENT);
    EXPECT_EQ(
        thread_policy_set(self, THREAD_PRECEDENCE_POLICY, reinterpret_cast<thread_policy_t>(&policy), 0),
        KERN_INVALID_ARGUMENT);
    EXPECT_EQ(setImportance(12345, 1), KERN_INVALID_ARGUMENT);
}

TEST(MachThreads, PrecedenceLowersAlwaysAndRaisesWherePermitted)
{
    Worker worker(true);
    const mach_port_t port = pthread_mach_thread_np(worker.handle());
    EXPECT_FALSE(mt::precedenceRequest(port).has_value());

    // Lowering is always allowed.
    EXPECT_EQ(setImportance(port, -2), KERN_SUCCESS);
    ASSERT_TRUE(mt::precedenceRequest(port).has_value());
    EXPECT_EQ(mt::precedenceRequest(port)->importance, -2);
    EXPECT_TRUE(mt::precedenceRequest(port)->applied);
    EXPECT_EQ(basePriority(port), 29);
    EXPECT_EQ(worker.nice(), mt::niceForPriority(29));

    // Raising needs privilege: either it took effect, or the thread stays as it was.
    const kern_return_t raised = setImportance(port, 32);
    const auto request = mt::precedenceRequest(port);
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->importance, 32);
    EXPECT_EQ(raised == KERN_SUCCESS, request->applied);
    if (request->applied) {
        EXPECT_EQ(basePriority(port), 63);
        EXPECT_EQ(worker.nice(), -20);
    } else {
        EXPECT_EQ(raised, KERN_FAILURE);
        EXPECT_EQ(basePriority(port), 29);
    }
}

TEST(MachThreads, RequestBeforeTheThreadAnnouncesItselfIsAppliedThen)
{
    Worker worker(false);
    const mach_port_t port = pthread_mach_thread_np(worker.handle());
    EXPECT_EQ(setImportance(port, -3), KERN_SUCCESS);
    EXPECT_FALSE(mt::precedenceRequest(port)->applied);
    EXPECT_EQ(basePriority(port), 28);
    ASSERT_TRUE(worker.announceNow());
    EXPECT_EQ(pthread_mach_thread_np(worker.handle()), port);
    EXPECT_TRUE(mt::precedenceRequest(port)->applied);
    EXPECT_EQ(worker.nice(), mt::niceForPriority(28));
}
