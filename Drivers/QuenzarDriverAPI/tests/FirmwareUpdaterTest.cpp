#include "FirmwareUpdater.h"

#include <platform/Log.h>

#include <gtest/gtest.h>

#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace {

using platform::log::Capture;
using platform::log::Channel;

// Every test works on a key of its own that no segment uses yet, never on the updater's real key,
// and removes whatever it left under that key.
class FirmwareUpdaterFlag : public testing::Test
{
protected:
    void SetUp() override
    {
        for (key_t candidate = 0x51000000 | ((getpid() & 0xFFFF) << 8);; ++candidate) {
            if (shmget(candidate, 0, 0) == -1 && errno == ENOENT) {
                m_key = candidate;
                break;
            }
        }
        _OSShmID = -1;
    }

    void TearDown() override
    {
        const int id = shmget(m_key, 0, 0);
        if (id != -1) {
            shmctl(id, IPC_RMID, nullptr);
        }
        _OSShmID = -1;
    }

    // A segment under the test key made by someone other than the updater, holding `value`.
    int makeForeignSegment(uint32_t value, size_t size = sizeof(uint32_t))
    {
        const int id = shmget(m_key, size, IPC_CREAT | IPC_EXCL | 0666);
        EXPECT_NE(id, -1);
        void* segment = shmat(id, nullptr, 0);
        EXPECT_NE(segment, reinterpret_cast<void*>(-1));
        if (size >= sizeof(uint32_t)) {
            *static_cast<uint32_t*>(segment) = value;
        }
        shmdt(segment);
        return id;
    }

    // The answer of the test in a separate process, as another deliverable would ask it.
    bool activeInAnotherProcess()
    {
        const pid_t child = fork();
        if (child == 0) {
            _exit(fwUpdaterActive(m_key) ? 1 : 0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 1;
    }

    static std::vector<std::string> warnings(const Capture& capture)
    {
        std::vector<std::string> texts;
        for (const auto& line : capture.lines()) {
            EXPECT_EQ(line.priority, platform::log::kPriorityWarning) << line.text;
            texts.push_back(line.text);
        }
        return texts;
    }

    key_t m_key = 0;
};

TEST_F(FirmwareUpdaterFlag, NoSegmentMeansNoUpdater)
{
    Capture syslog(Channel::system);
    _OSShmID = 1234;
    EXPECT_FALSE(fwUpdaterActive(m_key));
    EXPECT_EQ(warnings(syslog), std::vector<std::string>{"fwUpdaterActive: No updater detected"});
    EXPECT_EQ(_OSShmID, -1);
}

TEST_F(FirmwareUpdaterFlag, RegisteredUpdaterIsSeenByOtherProcessesUntilUnregistered)
{
    Capture stdoutLines(Channel::standardOutput);
    ASSERT_TRUE(fwupdateRegister(m_key));
    EXPECT_EQ(stdoutLines.texts(), std::vector<std::string>{"fwupdateRegister value successfully written"});
    EXPECT_EQ(_OSShmID, shmget(m_key, 0, 0));

    EXPECT_TRUE(activeInAnotherProcess());
    {
        Capture syslog(Channel::system);
        EXPECT_TRUE(fwUpdaterActive(m_key));
        EXPECT_EQ(warnings(syslog), std::vector<std::string>{"fwUpdaterActive correct value read"});
    }

    stdoutLines.clear();
    fwupdateUnRegister();
    EXPECT_EQ(stdoutLines.texts(), std::vector<std::string>{});
    EXPECT_FALSE(activeInAnotherProcess());
    EXPECT_FALSE(fwUpdaterActive(m_key));
}

TEST_F(FirmwareUpdaterFlag, RegisteringTwiceRewritesTheSameSegment)
{
    ASSERT_TRUE(fwupdateRegister(m_key));
    const int first = _OSShmID;
    ASSERT_TRUE(fwupdateRegister(m_key));
    EXPECT_EQ(_OSShmID, first);
    EXPECT_TRUE(fwUpdaterActive(m_key));
}

TEST_F(FirmwareUpdaterFlag, RegisterTakesOverAForeignSegment)
{
    const int id = makeForeignSegment(0);
    ASSERT_TRUE(fwupdateRegister(m_key));
    EXPECT_EQ(_OSShmID, id);
    EXPECT_TRUE(activeInAnotherProcess());
}

TEST_F(FirmwareUpdaterFlag, OtherValuesAndSizesMeanNoUpdater)
{
    {
        makeForeignSegment(0);
        Capture syslog(Channel::system);
        EXPECT_FALSE(fwUpdaterActive(m_key));
        EXPECT_EQ(warnings(syslog), std::vector<std::string>{"fwUpdaterActive wrong shm value: 0x0"});
    }
    TearDown();
    {
        makeForeignSegment(0xE21D);
        Capture syslog(Channel::system);
        EXPECT_FALSE(fwUpdaterActive(m_key));
        EXPECT_EQ(warnings(syslog), std::vector<std::string>{"fwUpdaterActive wrong shm value: 0xE21D"});
    }
    TearDown();
    {
        // Too small for the marker: the lookup fails with an error no message is given for.
        makeForeignSegment(0, 2);
        Capture syslog(Channel::system);
        _OSShmID = 99;
        EXPECT_FALSE(fwUpdaterActive(m_key));
        EXPECT_EQ(warnings(syslog), std::vector<std::string>{});
        EXPECT_EQ(_OSShmID, -1);
    }
}

TEST_F(FirmwareUpdaterFlag, TestLeavesNoAttachmentBehind)
{
    const int id = makeForeignSegment(kFwUpdaterMarker);
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(fwUpdaterActive(m_key));
    }
    shmid_ds status{};
    ASSERT_EQ(shmctl(id, IPC_STAT, &status), 0);
    EXPECT_EQ(status.shm_nattch, 0u);
}

TEST_F(FirmwareUpdaterFlag, UnregisterWithoutRegisteringReportsTheBadIdentifier)
{
    Capture stdoutLines(Channel::standardOutput);
    fwupdateUnRegister();
    EXPECT_EQ(stdoutLines.texts(),
              std::vector<std::string>{"fwupdateUnRegister: error EINVAL, illegal address"});
    EXPECT_EQ(_OSShmID, -1);
}

} // namespace
