#include "platform/RealTime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "mach/mach.h"
#include "platform/HostClock.h"

namespace rt = platform::realtime;

namespace {

std::vector<std::string>& recorded()
{
    static std::vector<std::string> calls;
    return calls;
}

void record(const char* call)
{
    recorded().emplace_back(call);
}

// Records violations instead of aborting, for the test's life.
class RealTimeTest : public testing::Test
{
protected:
    void SetUp() override
    {
        recorded().clear();
        m_previous = rt::setHandler(&record);
    }
    void TearDown() override { rt::setHandler(m_previous); }

private:
    rt::Handler m_previous = nullptr;
};

TEST_F(RealTimeTest, TestProgramsAreStrict)
{
    EXPECT_TRUE(rt::strict());
}

TEST_F(RealTimeTest, SectionsNestAndALiftedScopeSuspendsTheMark)
{
    EXPECT_FALSE(rt::marked());
    {
        rt::Section outer;
        EXPECT_TRUE(rt::marked());
        {
            rt::Section inner;
            EXPECT_TRUE(rt::marked());
        }
        EXPECT_TRUE(rt::marked());
        {
            rt::Lifted lifted;
            EXPECT_FALSE(rt::marked());
            rt::check("inside the system's own work");
        }
        EXPECT_TRUE(rt::marked());
    }
    EXPECT_FALSE(rt::marked());
    EXPECT_TRUE(recorded().empty());
}

// Every blocking primitive of the clock and the semaphores asks before it blocks; the same calls
// outside the mark are nobody's business.
TEST_F(RealTimeTest, BlockingPrimitivesUnderTheMarkAreViolationsNamedByTheirCall)
{
    platform::host_clock::Mutex mutex;
    semaphore_t semaphore = 0;
    ASSERT_EQ(semaphore_create(mach_task_self(), &semaphore, SYNC_POLICY_FIFO, 1), KERN_SUCCESS);
    mutex.lock();
    mutex.unlock();
    platform::host_clock::sleepFor(1);
    EXPECT_TRUE(recorded().empty());

    const uint64_t before = rt::violations();
    {
        rt::Section section;
        mutex.lock();
        mutex.unlock();
        EXPECT_TRUE(mutex.try_lock()) << "a try-lock never waits";
        mutex.unlock();
        platform::host_clock::sleepFor(1);
        semaphore_wait(semaphore);
    }
    EXPECT_EQ(recorded(), (std::vector<std::string>{"mutex lock", "sleep", "semaphore wait"}));
    EXPECT_EQ(rt::violations() - before, 3u);
    EXPECT_STREQ(rt::lastViolation(), "semaphore wait");
    semaphore_destroy(mach_task_self(), semaphore);
}

TEST_F(RealTimeTest, TheMarkBelongsToItsThread)
{
    std::atomic<int> step{0};
    std::thread other([&] {
        while (step.load() == 0) {
        }
        rt::check("another thread's call");
        step.store(2);
    });
    {
        rt::Section section;
        step.store(1);
        while (step.load() != 2) {
        }
    }
    other.join();
    EXPECT_TRUE(recorded().empty());
}

#if !defined(__SANITIZE_ADDRESS__)
TEST_F(RealTimeTest, ATestProgramsAllocationsUnderTheMarkAreViolations)
{
    {
        rt::Section section;
        int* volatile value = new int(7);
        delete value;
    }
    EXPECT_EQ(recorded(), (std::vector<std::string>{"operator new", "operator delete"}));
}
#endif

// Strict mode without a handler ends the program, naming the call.
TEST(RealTimeDeathTest, AViolationInStrictModeAbortsNamingTheCall)
{
    EXPECT_DEATH(
        {
            rt::Section section;
            rt::check("IOLockLock");
        },
        "real-time violation: IOLockLock called under the real-time mark");
}

} // namespace
