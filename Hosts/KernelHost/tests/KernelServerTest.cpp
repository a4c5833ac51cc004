// The kernel host's socket server against processes that do not play by the rules: raw wire
// messages, the limits on what one process can make the host keep.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "IOKit/IOKitLib.h"
#include "TestKernel.h"
#include "platform/IOKitWire.h"
#include "platform/Log.h"
#include "platform/ProcessEnvironment.h"

namespace {

namespace fs = std::filesystem;
namespace wire = platform::iokit::wire;
using wire::Op;
using wire::Reader;
using wire::Role;
using wire::Value;
using wire::Writer;

// One socket to the host, spoken to in raw messages.
class RawChannel
{
public:
    explicit RawChannel(const std::string& path)
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        m_fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~RawChannel()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    RawChannel(const RawChannel&) = delete;
    RawChannel& operator=(const RawChannel&) = delete;

    // Sends `message`; the reply's status, with the rest of the reply left in `rest`.
    IOReturn ask(const Writer& message, std::vector<uint8_t>* rest = nullptr)
    {
        std::vector<uint8_t> answer;
        if (m_fd < 0 || !wire::send(m_fd, message.data()) || !wire::receive(m_fd, answer)) {
            return kIOReturnNotResponding;
        }
        Reader r(answer.data(), answer.size());
        const bool isReply = r.op() == Op::Reply;
        const auto status = static_cast<IOReturn>(r.u32());
        if (rest != nullptr) {
            rest->assign(answer.begin() + std::min<size_t>(8, answer.size()), answer.end());
        }
        return isReply && r.ok() ? status : kIOReturnIPCError;
    }

    // Hello as `role`; the id the host gives back (a port's), or 0.
    IOReturn hello(Role role, uint64_t* id = nullptr)
    {
        std::vector<uint8_t> rest;
        const IOReturn status = ask(Writer(Op::Hello).u32(static_cast<uint32_t>(role)).text("raw"), &rest);
        Reader r(rest.data(), rest.size());
        const uint64_t given = r.u64();
        if (id != nullptr) {
            *id = given;
        }
        return status;
    }

    // True when the host closed the channel (waits up to ten seconds).
    bool closedByHost()
    {
        pollfd ready{m_fd, POLLIN, 0};
        char byte = 0;
        return ::poll(&ready, 1, 10'000) == 1 && ::recv(m_fd, &byte, 1, 0) == 0;
    }

    int fd() const { return m_fd; }

private:
    int m_fd = -1;
};

// While it lives, no new thread can be made in this process (each would need a stack larger
// than any address space).
class NoNewThreads
{
public:
    NoNewThreads()
    {
        pthread_getattr_default_np(&m_saved);
        pthread_attr_t huge;
        pthread_attr_init(&huge);
        pthread_attr_setstacksize(&huge, size_t(1) << 60);
        pthread_setattr_default_np(&huge);
        pthread_attr_destroy(&huge);
    }
    ~NoNewThreads()
    {
        pthread_setattr_default_np(&m_saved);
        pthread_attr_destroy(&m_saved);
    }

private:
    pthread_attr_t m_saved;
};

class KernelServerTest : public ::testing::Test
{
protected:
    void start(const user_test::ServerLimits& limits = {})
    {
        std::string error;
        kernel = user_test::TestKernel::start(socket, 1, &error, limits);
        ASSERT_TRUE(kernel) << error;
        session = std::make_unique<RawChannel>(socket);
        ASSERT_EQ(session->hello(Role::Session), kIOReturnSuccess);
        port = std::make_unique<RawChannel>(socket);
        ASSERT_EQ(port->hello(Role::Port, &portID), kIOReturnSuccess);
        std::vector<uint8_t> rest;
        ASSERT_EQ(session->ask(Writer(Op::GetMatchingServices).value(matching("UserTestDevice")), &rest),
                  kIOReturnSuccess);
        Reader r(rest.data(), rest.size());
        const auto devices = r.entries();
        ASSERT_EQ(devices.size(), 1u);
        device = devices[0].id;
    }

    void TearDown() override
    {
        port.reset();
        session.reset();
        kernel.reset();
    }

    static Value matching(const char* className)
    {
        Value d = Value::dictionary();
        d.entries.emplace_back("IOProviderClass", Value::string(className));
        return d;
    }

    IOReturn addInterest(uint64_t id, const std::string& type)
    {
        return session->ask(Writer(Op::AddInterestNotification).u64(portID).u64(id).u64(device).text(type));
    }

    user_test::TestRoot testRoot;
    const std::string socket = testRoot.socket();
    std::unique_ptr<user_test::TestKernel> kernel;
    std::unique_ptr<RawChannel> session;
    std::unique_ptr<RawChannel> port;
    uint64_t portID = 0;
    uint64_t device = 0;
};

// Plane and notification-type names come from the process: only the kernel's own are taken, so
// made-up names are refused instead of kept for the life of the host.
TEST_F(KernelServerTest, OnlyKnownPlanesAndNotificationTypesAreTaken)
{
    start();
    struct Case
    {
        Op op;
        const char* name;
        IOReturn expected;
    };
    const Case cases[] = {
        {Op::ChildIterator, "IOService", kIOReturnSuccess},
        {Op::ParentIterator, "IOService", kIOReturnSuccess},
        {Op::ChildIterator, "IOMadeUpPlane", kIOReturnBadArgument},
        {Op::ParentIterator, "IOMadeUpPlane", kIOReturnBadArgument},
        {Op::AddMatchingNotification, "IOServicePublish", kIOReturnSuccess},
        {Op::AddMatchingNotification, "IOServiceTerminate", kIOReturnSuccess},
        {Op::AddMatchingNotification, "IOMadeUpNotification", kIOReturnBadArgument},
        {Op::AddInterestNotification, "IOGeneralInterest", kIOReturnSuccess},
        {Op::AddInterestNotification, "IOAppPowerStateInterest", kIOReturnSuccess},
        {Op::AddInterestNotification, "IOMadeUpInterest", kIOReturnBadArgument},
    };
    uint64_t id = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        switch (c.op) {
        case Op::ChildIterator:
        case Op::ParentIterator:
            EXPECT_EQ(session->ask(Writer(c.op).u64(device).text(c.name)), c.expected);
            break;
        case Op::AddMatchingNotification:
            EXPECT_EQ(
                session->ask(Writer(c.op).u64(portID).u64(id++).text(c.name).value(matching("IOService"))),
                c.expected);
            break;
        default:
            EXPECT_EQ(addInterest(id++, c.name), c.expected);
            break;
        }
    }
}

// One process takes only a few of a service's listeners, so others can still listen.
TEST_F(KernelServerTest, AProcessTakesOnlyAFewListenersOfAService)
{
    start();
    constexpr uint64_t kPerService = 8; // the server's limit per process and service
    for (uint64_t id = 1; id <= kPerService; ++id) {
        ASSERT_EQ(addInterest(id, "IOGeneralInterest"), kIOReturnSuccess) << id;
    }
    EXPECT_EQ(addInterest(kPerService + 1, "IOGeneralInterest"), kIOReturnNoResources);
    EXPECT_EQ(session->ask(Writer(Op::RemoveNotification).u64(1)), kIOReturnSuccess);
    EXPECT_EQ(addInterest(kPerService + 1, "IOGeneralInterest"), kIOReturnSuccess);
    // Matching notifications are not counted against the service.
    EXPECT_EQ(session->ask(Writer(Op::AddMatchingNotification)
                               .u64(portID)
                               .u64(kPerService + 2)
                               .text("IOServicePublish")
                               .value(matching("IOService"))),
              kIOReturnSuccess);
}

// When the host cannot make a thread, the channel or registration that needed it is refused and
// the host serves on.
TEST_F(KernelServerTest, NoThreadRefusesTheRequestAndTheHostServesOn)
{
    start();
    platform::log::Capture kernelLog(platform::log::Channel::kernel);
    {
        NoNewThreads none;
        RawChannel refused(socket);
        EXPECT_TRUE(refused.closedByHost());
        EXPECT_TRUE(kernelLog.contains("kernel host: no thread for a new channel"));
        EXPECT_EQ(addInterest(1, "IOGeneralInterest"), kIOReturnNoResources);
        EXPECT_EQ(session->ask(Writer(Op::AddMatchingNotification)
                                   .u64(portID)
                                   .u64(2)
                                   .text("IOServicePublish")
                                   .value(matching("IOService"))),
                  kIOReturnNoResources);
    }
    EXPECT_EQ(addInterest(1, "IOGeneralInterest"), kIOReturnSuccess);
    RawChannel later(socket);
    EXPECT_EQ(later.hello(Role::Session), kIOReturnSuccess);
}

// Channels are held per user, and one that never says what it is does not hold one for long.
TEST_F(KernelServerTest, ChannelsAreLimitedPerUserAndSilentOnesClosed)
{
    start({.channelsPerUser = 4, .helloTimeoutMilliseconds = 500}); // the session and port are two
    platform::log::Capture kernelLog(platform::log::Channel::kernel);
    auto third = std::make_unique<RawChannel>(socket);
    ASSERT_EQ(third->hello(Role::Session), kIOReturnSuccess);
    RawChannel silent(socket);
    RawChannel refused(socket);
    EXPECT_TRUE(refused.closedByHost());
    EXPECT_TRUE(kernelLog.contains("channels open; a new one is refused"));
    EXPECT_TRUE(silent.closedByHost()); // its time to say hello ran out
    third.reset();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (kernel->channelCount() != 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    RawChannel fourth(socket);
    EXPECT_EQ(fourth.hello(Role::Session), kIOReturnSuccess);
    EXPECT_EQ(session->ask(Writer(Op::RootDomain)), kIOReturnSuccess); // the first ones served on
}

// A channel that ended has closed its socket before it is reaped; its number may already be
// another file's, which stopping the server must leave alone.
TEST_F(KernelServerTest, StoppingLeavesAnEndedChannelsNumberAlone)
{
    start();
    const size_t open = kernel->channelCount();
    {
        RawChannel ended(socket);
        ASSERT_EQ(ended.hello(Role::Session), kIOReturnSuccess);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (kernel->channelCount() != open && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0); // takes the freed number
    kernel.reset();
    const char sent = 7;
    char received = 0;
    EXPECT_EQ(::send(pair[0], &sent, 1, MSG_NOSIGNAL), 1);
    EXPECT_EQ(::recv(pair[1], &received, 1, MSG_DONTWAIT), 1);
    EXPECT_EQ(::send(pair[1], &sent, 1, MSG_NOSIGNAL), 1);
    EXPECT_EQ(::recv(pair[0], &received, 1, MSG_DONTWAIT), 1);
    ::close(pair[0]);
    ::close(pair[1]);
}

} // namespace
