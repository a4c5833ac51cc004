// The kernel host's socket server against processes that do not play by the rules: raw wire
// messages, the limits on what one process can make the host keep.
#include <gtest/gtest.h>

#include <barrier>
#include <chrono>
#include <dirent.h>
#include <sys/wait.h>
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
#include "platform/HostClock.h"
#include "platform/IOKitUser.h"
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

    // Sends raw bytes (of any length) with `fds` attached.
    bool sendRaw(const std::vector<uint8_t>& bytes, const std::vector<int>& fds = {})
    {
        iovec io{const_cast<uint8_t*>(bytes.data()), bytes.size()};
        msghdr header{};
        header.msg_iov = &io;
        header.msg_iovlen = 1;
        std::vector<char> control(CMSG_SPACE(sizeof(int) * fds.size()));
        if (!fds.empty()) {
            header.msg_control = control.data();
            header.msg_controllen = control.size();
            cmsghdr* c = CMSG_FIRSTHDR(&header);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
            std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
        }
        return ::sendmsg(m_fd, &header, MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }

    // The status the host answered with before it closed the channel (waits up to ten
    // seconds); kIOReturnNotResponding when it closed without one, kIOReturnStillOpen when it
    // left the channel open.
    IOReturn answerBeforeClose()
    {
        std::vector<uint8_t> answer;
        pollfd ready{m_fd, POLLIN, 0};
        if (::poll(&ready, 1, 10'000) != 1 || !wire::receive(m_fd, answer)) {
            return kIOReturnNotResponding;
        }
        Reader r(answer.data(), answer.size());
        const bool isReply = r.op() == Op::Reply;
        const auto status = static_cast<IOReturn>(r.u32());
        char byte = 0;
        if (::poll(&ready, 1, 10'000) != 1 || ::recv(m_fd, &byte, 1, 0) != 0) {
            return kIOReturnStillOpen;
        }
        return isReply && r.ok() ? status : kIOReturnIPCError;
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

    Writer addTerminateNotification(uint64_t id) const
    {
        return std::move(Writer(Op::AddMatchingNotification)
                             .u64(portID)
                             .u64(id)
                             .text("IOServiceTerminate")
                             .value(matching("UserTestDevice")));
    }

    // A user-client connection to the device, spoken to in raw messages.
    std::unique_ptr<RawChannel> openConnection()
    {
        auto connection = std::make_unique<RawChannel>(socket);
        std::vector<uint8_t> rest;
        EXPECT_EQ(connection->ask(Writer(Op::Hello)
                                      .u32(static_cast<uint32_t>(Role::Connection))
                                      .text("raw")
                                      .u64(device)
                                      .u32(0),
                                  &rest),
                  kIOReturnSuccess);
        return connection;
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
        EXPECT_EQ(refused.answerBeforeClose(), kIOReturnNoResources);
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
    EXPECT_EQ(refused.answerBeforeClose(), kIOReturnNoResources);
    EXPECT_TRUE(kernelLog.contains("channels open; a new one is refused"));
    // The user-side IOKit says why it has no channel.
    io_iterator_t none = 0;
    platform::iokit::user::setKernelSocketPath(socket);
    EXPECT_EQ(IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("UserTestDevice"), &none),
              kIOReturnNoResources);
    EXPECT_EQ(silent.answerBeforeClose(), kIOReturnTimeout); // its time to say hello ran out
    third.reset();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (kernel->channelCount() != 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    RawChannel fourth(socket);
    EXPECT_EQ(fourth.hello(Role::Session), kIOReturnSuccess);
    EXPECT_EQ(session->ask(Writer(Op::RootDomain)), kIOReturnSuccess); // the first ones served on
}

// Threads of this process now.
size_t threadCount()
{
    size_t count = 0;
    if (DIR* tasks = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(tasks)) {
            count += entry->d_name[0] != '.' ? 1 : 0;
        }
        ::closedir(tasks);
    }
    return count;
}

// Two channels of one process register the same notification id at the same moment: the id is
// claimed in the same step as it is checked, so exactly one of them gets it, and removing it
// leaves nothing behind.
TEST_F(KernelServerTest, TheSameNotificationIdFromTwoChannelsAtOnceIsTakenOnce)
{
    start();
    RawChannel other(socket);
    ASSERT_EQ(other.hello(Role::Session), kIOReturnSuccess);
    constexpr int kRounds = 300;
    std::barrier together(2);
    IOReturn mine[kRounds] = {};
    std::thread racer([&] {
        for (int i = 0; i < kRounds; ++i) {
            together.arrive_and_wait();
            mine[i] = other.ask(addTerminateNotification(1000 + i));
            together.arrive_and_wait();
        }
    });
    int doubles = 0;
    for (int i = 0; i < kRounds; ++i) {
        together.arrive_and_wait();
        const IOReturn ours = session->ask(addTerminateNotification(1000 + i));
        together.arrive_and_wait();
        const int taken = (ours == kIOReturnSuccess) + (mine[i] == kIOReturnSuccess);
        doubles += taken == 2 ? 1 : 0;
        EXPECT_GE(taken, 1) << i;
        EXPECT_EQ(session->ask(Writer(Op::RemoveNotification).u64(1000 + i)), kIOReturnSuccess) << i;
        EXPECT_EQ(session->ask(Writer(Op::RemoveNotification).u64(1000 + i)), kIOReturnBadArgument) << i;
    }
    racer.join();
    EXPECT_EQ(doubles, 0);
    kernel->removeNub(); // a notification left registered in the kernel would be told of this
}

// Malformed channel input is answered with a status before the channel is closed.
TEST_F(KernelServerTest, MalformedInputIsAnsweredThenTheChannelCloses)
{
    start();
    std::vector<uint8_t> hello = Writer(Op::Hello).u32(static_cast<uint32_t>(Role::Session)).text("raw").data();
    struct Case
    {
        const char* name;
        bool helloFirst;
        std::vector<uint8_t> bytes;
        int descriptors;
        IOReturn expected;
    };
    const Case cases[] = {
        {"a request before the hello", false, Writer(Op::RootDomain).data(), 0, kIOReturnBadArgument},
        {"an unknown role", false, Writer(Op::Hello).u32(9).text("raw").data(), 0, kIOReturnBadArgument},
        {"a short hello", false, Writer(Op::Hello).data(), 0, kIOReturnBadArgument},
        {"an empty message", true, {}, 0, kIOReturnBadArgument},
        {"an oversize message", true, std::vector<uint8_t>(wire::kMaximumMessage + 1, 0), 0, kIOReturnBadArgument},
        {"two descriptors", true, Writer(Op::RootDomain).data(), 2, kIOReturnBadArgument},
        {"an empty first message", false, {}, 0, kIOReturnBadArgument},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawChannel channel(socket);
        if (c.helloFirst) {
            ASSERT_EQ(channel.hello(Role::Session), kIOReturnSuccess);
        }
        std::vector<int> fds;
        for (int i = 0; i < c.descriptors; ++i) {
            fds.push_back(::dup(0));
        }
        ASSERT_TRUE(channel.sendRaw(c.bytes, fds));
        for (int fd : fds) {
            ::close(fd);
        }
        EXPECT_EQ(channel.answerBeforeClose(), c.expected);
    }
    EXPECT_EQ(session->ask(Writer(Op::RootDomain)), kIOReturnSuccess); // the host served on
}

// Giving back a name the process never got is an error, not a success.
TEST_F(KernelServerTest, ReleasingAnIdNeverHandedOutFails)
{
    start();
    EXPECT_EQ(session->ask(Writer(Op::ReleaseObject).u64(device + 1'000'000).u32(1)), kIOReturnBadArgument);
    EXPECT_EQ(session->ask(Writer(Op::ReleaseObject).u64(device).u32(1)), kIOReturnSuccess);
    EXPECT_EQ(session->ask(Writer(Op::ReleaseObject).u64(device).u32(1)), kIOReturnBadArgument);
}

// A call its method's size check refuses gives no output back, only the failure.
TEST_F(KernelServerTest, ARefusedCallReturnsNoOutput)
{
    start();
    auto connection = openConnection();
    constexpr uint32_t kAdd = 1; // 2 scalars in, 1 out
    std::vector<uint8_t> rest;
    ASSERT_EQ(connection->ask(Writer(Op::CallMethod).u32(kAdd).u32(2).u64(1).u64(2).bytes(nullptr, 0).u32(3).u32(100),
                              &rest),
              kIOReturnBadArgument);
    Reader r(rest.data(), rest.size());
    EXPECT_EQ(r.u32(), 0u);          // scalars
    EXPECT_EQ(r.bytes().size(), 0u); // structure
    EXPECT_TRUE(r.ok() && r.atEnd());
    ASSERT_EQ(connection->ask(Writer(Op::CallMethod).u32(kAdd).u32(2).u64(1).u64(2).bytes(nullptr, 0).u32(1).u32(0),
                              &rest),
              kIOReturnSuccess);
    Reader sum(rest.data(), rest.size());
    EXPECT_EQ(sum.u32(), 1u);
    EXPECT_EQ(sum.u64(), 3u);
}

// A process's notifications share one delivery thread instead of one each.
TEST_F(KernelServerTest, AProcesssNotificationsShareOneThread)
{
    start();
    const size_t before = threadCount();
    for (uint64_t id = 1; id <= 100; ++id) {
        ASSERT_EQ(session->ask(addTerminateNotification(id)), kIOReturnSuccess) << id;
    }
    EXPECT_LE(threadCount(), before + 1);
}

// What one user holds is bounded across its processes: another process of the same user finds
// the notifications taken.
TEST_F(KernelServerTest, NotificationsAreLimitedPerUser)
{
    start({.notificationsPerUser = 3});
    for (uint64_t id = 1; id <= 2; ++id) {
        ASSERT_EQ(session->ask(addTerminateNotification(id)), kIOReturnSuccess) << id;
    }
    // Another process of this user: one left for it, then none.
    int results[2] = {};
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        RawChannel childSession(socket);
        RawChannel childPort(socket);
        uint64_t childPortID = 0;
        int answers[2] = {-1, -1};
        if (childSession.hello(Role::Session) == kIOReturnSuccess &&
            childPort.hello(Role::Port, &childPortID) == kIOReturnSuccess) {
            for (int i = 0; i < 2; ++i) {
                answers[i] = childSession.ask(Writer(Op::AddMatchingNotification)
                                                  .u64(childPortID)
                                                  .u64(1 + i)
                                                  .text("IOServiceTerminate")
                                                  .value(matching("UserTestDevice")));
            }
        }
        (void)!::write(pipe[1], answers, sizeof answers);
        ::_exit(0);
    }
    ::close(pipe[1]);
    EXPECT_EQ(::read(pipe[0], results, sizeof results), static_cast<ssize_t>(sizeof results));
    ::close(pipe[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(static_cast<IOReturn>(results[0]), kIOReturnSuccess);
    EXPECT_EQ(static_cast<IOReturn>(results[1]), kIOReturnNoResources);
    // The child's went with it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    IOReturn again = kIOReturnNoResources;
    while (again == kIOReturnNoResources && std::chrono::steady_clock::now() < deadline) {
        again = session->ask(addTerminateNotification(3));
    }
    EXPECT_EQ(again, kIOReturnSuccess);
}

// A name keeps its entry alive, a terminated service too: the entries one user holds names of are
// limited, across its processes; a name given back makes room.
TEST_F(KernelServerTest, RegistryEntriesNamedAreLimitedPerUser)
{
    start({.entriesPerUser = 3}); // the device start named is one
    auto devices = [&](std::vector<uint64_t>* ids) {
        std::vector<uint8_t> rest;
        const IOReturn status = session->ask(Writer(Op::GetMatchingServices).value(matching("UserTestDevice")), &rest);
        Reader r(rest.data(), rest.size());
        if (ids != nullptr) {
            ids->clear();
            for (const auto& e : r.entries()) {
                ids->push_back(e.id);
            }
        }
        return status;
    };
    std::vector<uint64_t> held;
    for (int i = 0; i < 2; ++i) {
        kernel->publishNub();
        std::vector<uint64_t> ids;
        ASSERT_EQ(devices(&ids), kIOReturnSuccess) << i;
        ASSERT_EQ(ids.size(), 2u) << i;
        held.push_back(ids.back());
        kernel->removeNub(); // its device is terminated and stays named
    }
    kernel->publishNub();
    EXPECT_EQ(devices(nullptr), kIOReturnNoResources);
    // Every name of the first device given back: one place.
    EXPECT_EQ(session->ask(Writer(Op::ReleaseObject).u64(device).u32(100)), kIOReturnSuccess);
    std::vector<uint64_t> ids;
    EXPECT_EQ(devices(&ids), kIOReturnNoResources) << "two new ones for one place";
    // Another process of the user shares the limit.
    int answer = -1;
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        RawChannel childSession(socket);
        int status = -1;
        if (childSession.hello(Role::Session) == kIOReturnSuccess) {
            status = childSession.ask(Writer(Op::RootDomain));
        }
        (void)!::write(pipe[1], &status, sizeof status);
        ::_exit(0);
    }
    ::close(pipe[1]);
    EXPECT_EQ(::read(pipe[0], &answer, sizeof answer), static_cast<ssize_t>(sizeof answer));
    ::close(pipe[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(static_cast<IOReturn>(answer), kIOReturnSuccess) << "the one place left";
    // The child's entry went with it; a terminated device given back makes room for both.
    EXPECT_EQ(session->ask(Writer(Op::ReleaseObject).u64(held[0]).u32(1)), kIOReturnSuccess);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    IOReturn again = kIOReturnNoResources;
    while (again == kIOReturnNoResources && std::chrono::steady_clock::now() < deadline) {
        again = devices(&ids);
    }
    EXPECT_EQ(again, kIOReturnSuccess);
    EXPECT_EQ(ids.size(), 2u);
}

// One user's flood of bad requests writes a few lines, then one line with the count of the rest.
TEST_F(KernelServerTest, RepeatedLinesFromOneUserAreLimited)
{
    start();
    platform::host_clock::virtual_clock::Scope clock; // the log's window moves only when told
    platform::log::Capture kernelLog(platform::log::Channel::kernel);
    constexpr int kFlood = 1000;
    for (int i = 0; i < kFlood; ++i) {
        ASSERT_EQ(session->ask(Writer(static_cast<Op>(200))), kIOReturnUnsupported);
    }
    auto count = [&](const std::string& fragment) {
        const auto texts = kernelLog.texts();
        return std::count_if(texts.begin(), texts.end(),
                             [&](const std::string& t) { return t.find(fragment) != std::string::npos; });
    };
    constexpr int kPerWindow = 20; // the server's default
    EXPECT_EQ(count("sent request 200"), kPerWindow);
    platform::host_clock::virtual_clock::advanceBy(10'000'000'000);
    ASSERT_EQ(session->ask(Writer(static_cast<Op>(200))), kIOReturnUnsupported);
    EXPECT_EQ(count("sent request 200"), kPerWindow + 1);
    EXPECT_TRUE(kernelLog.contains(std::to_string(kFlood - kPerWindow) + " more lines caused by user"));
}

// The lines a user makes a driver write on the host's request threads share that user's limit
// with the host's own lines about the user; the count of the rest is logged once lines pass again.
TEST_F(KernelServerTest, DriverLinesAUserCausesAreLimitedWithTheHostsOwn)
{
    start();
    auto connection = openConnection();
    platform::host_clock::virtual_clock::Scope clock; // the log's window moves only when told
    platform::log::Capture kernelLog(platform::log::Channel::kernel);
    constexpr uint32_t kLog = 5; // 1 scalar in: that many lines
    auto writeLines = [&](uint64_t lines) {
        return connection->ask(Writer(Op::CallMethod).u32(kLog).u32(1).u64(lines).bytes(nullptr, 0).u32(0).u32(0));
    };
    auto count = [&](const std::string& fragment) {
        const auto texts = kernelLog.texts();
        return std::count_if(texts.begin(), texts.end(),
                             [&](const std::string& t) { return t.find(fragment) != std::string::npos; });
    };
    constexpr int kPerWindow = 20; // the server's default
    ASSERT_EQ(writeLines(15), kIOReturnSuccess);
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(session->ask(Writer(static_cast<Op>(200))), kIOReturnUnsupported);
    }
    EXPECT_EQ(count("test driver line"), 15);
    EXPECT_EQ(count("sent request 200"), kPerWindow - 15);
    ASSERT_EQ(writeLines(1000), kIOReturnSuccess);
    EXPECT_EQ(count("test driver line"), 15);

    platform::host_clock::virtual_clock::advanceBy(10'000'000'000);
    ASSERT_EQ(writeLines(1), kIOReturnSuccess);
    EXPECT_EQ(count("test driver line"), 16);
    EXPECT_TRUE(kernelLog.contains(std::to_string(1000 + 5) + " more lines caused by user"))
        << "the five host lines and the thousand driver lines past the limit";
}

// Stopping waits for a request still in a driver only until its deadline, then says what runs.
TEST_F(KernelServerTest, StoppingGivesUpOnARequestStillInTheKernelAfterItsDeadline)
{
    start();
    platform::host_clock::virtual_clock::Scope clock; // the driver's sleep ends only when told
    auto connection = openConnection();
    constexpr uint32_t kSleep = 2;
    IOReturn slept = kIOReturnNotResponding;
    std::thread caller([&] {
        slept = connection->ask(Writer(Op::CallMethod).u32(kSleep).u32(1).u64(60'000).bytes(nullptr, 0).u32(0).u32(0));
    });
    ASSERT_TRUE(platform::host_clock::virtual_clock::waitForSleepers(1));
    platform::log::Capture kernelLog(platform::log::Channel::kernel);
    EXPECT_FALSE(kernel->stopWithin(50));
    EXPECT_TRUE(kernelLog.contains("kernel host: still running at shutdown: process " + std::to_string(::getpid()) +
                                   ", connection channel, request \"call method\""));
    platform::host_clock::virtual_clock::advanceBy(60'000'000'000);
    caller.join();
    EXPECT_EQ(slept, kIOReturnNotResponding); // the channel was cut at the shutdown
}

// The control command says that the per-user channel limit refused it, not that nobody answered.
TEST_F(KernelServerTest, KernelctlSaysWhenTheChannelLimitRefusedIt)
{
    start({.channelsPerUser = 2}); // the session and port are two
    FILE* run = ::popen((std::string(KERNELCTL) + " --socket " + socket + " devices 2>&1").c_str(), "r");
    ASSERT_NE(run, nullptr);
    std::string output;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, run) != nullptr) {
        output += buffer;
    }
    const int status = ::pclose(run);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_NE(output.find("this user has as many channels open as it may"), std::string::npos) << output;
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
