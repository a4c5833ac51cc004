#include "kernel_host/KernelServer.h"

#include <algorithm>
#include <cstdarg>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <system_error>
#include <unistd.h>

#include "IOKit/IOCatalogue.h"
#include "IOKit/IOLib.h"
#include "IOKit/pwr_mgt/RootDomain.h"
#include "platform/HostClock.h"
#include "platform/IOKitWire.h"
#include "platform/Log.h"
#include "platform/NotificationQueue.h"

namespace kernel_host {

namespace wire = platform::iokit::wire;
using wire::EntryRef;
using wire::Op;
using wire::Reader;
using wire::Role;
using wire::Value;
using wire::Writer;

namespace {

// Property values, kernel to wire and back.
bool toValue(const OSObject* object, Value& out, int depth)
{
    if (object == nullptr || depth > wire::kMaximumDepth) {
        return false;
    }
    if (auto* d = OSDynamicCast(OSDictionary, object)) {
        out = Value::dictionary();
        for (unsigned i = 0; i < d->getCount(); ++i) {
            const OSSymbol* key = d->getKey(i);
            Value element;
            if (key != nullptr && toValue(d->getObject(key), element, depth + 1)) {
                out.entries.emplace_back(key->getCStringNoCopy(), std::move(element));
            }
        }
        return true;
    }
    if (auto* a = OSDynamicCast(OSArray, object)) {
        out = Value(Value::Kind::Array);
        for (unsigned i = 0; i < a->getCount(); ++i) {
            Value element;
            if (toValue(a->getObject(i), element, depth + 1)) {
                out.elements.push_back(std::move(element));
            }
        }
        return true;
    }
    if (auto* s = OSDynamicCast(OSString, object)) {
        out = Value::string(s->getCStringNoCopy());
        return true;
    }
    if (auto* data = OSDynamicCast(OSData, object)) {
        out = Value(Value::Kind::Data);
        out.bytes.assign(static_cast<const char*>(data->getBytesNoCopy()), data->getLength());
        return true;
    }
    if (auto* n = OSDynamicCast(OSNumber, object)) {
        const unsigned bits = n->numberOfBits();
        const uint8_t width = bits <= 8 ? 8 : bits <= 16 ? 16 : bits <= 32 ? 32 : 64;
        out = Value::integer(n->unsigned64BitValue(), width);
        return true;
    }
    if (auto* b = OSDynamicCast(OSBoolean, object)) {
        out = Value(Value::Kind::Boolean);
        out.number = b->isTrue() ? 1 : 0;
        return true;
    }
    return false; // no property-list form
}

OSObject* toObject(const Value& value)
{
    switch (value.kind) {
    case Value::Kind::Dictionary: {
        OSDictionary* d = OSDictionary::withCapacity(static_cast<unsigned>(value.entries.size()));
        for (const auto& [key, element] : value.entries) {
            if (OSObject* o = toObject(element)) {
                d->setObject(key.c_str(), o);
                o->release();
            }
        }
        return d;
    }
    case Value::Kind::Array: {
        OSArray* a = OSArray::withCapacity(static_cast<unsigned>(value.elements.size()));
        for (const auto& element : value.elements) {
            if (OSObject* o = toObject(element)) {
                a->setObject(o);
                o->release();
            }
        }
        return a;
    }
    case Value::Kind::String:
        return OSString::withCString(value.bytes.c_str());
    case Value::Kind::Data:
        return OSData::withBytes(value.bytes.data(), static_cast<unsigned>(value.bytes.size()));
    case Value::Kind::Number:
        return OSNumber::withNumber(value.number, value.bits);
    case Value::Kind::Boolean:
        return OSBoolean::withBoolean(value.number != 0);
    }
    return nullptr;
}

std::vector<uint8_t> reply(IOReturn status)
{
    return Writer(Op::Reply).u32(static_cast<uint32_t>(status)).data();
}

// The answer to a hello: a status and the channel's id (a port's; 0 otherwise).
std::vector<uint8_t> helloReply(IOReturn status, uint64_t id = 0)
{
    return Writer(Op::Reply).u32(static_cast<uint32_t>(status)).u64(id).data();
}

uint64_t millisecondsSince(uint64_t hostTime)
{
    return (platform::host_clock::now() - hostTime) / 1'000'000;
}

// Bounds on what one process can make the kernel host keep.
// Notifications of one process (all delivered by one thread of the process's own).
constexpr size_t kMaximumNotifications = 128;
// Interest registrations of one process on one service: a listener needs one or two.
constexpr size_t kMaximumInterestsPerService = 8;
constexpr size_t kMaximumChannels = 4096;

bool isPowerStateInterest(const std::string& type)
{
    return type == "IOPriorityPowerStateInterest" || type == "IOAppPowerStateInterest";
}

bool isPublishType(const std::string& type)
{
    return type == "IOServicePublish" || type == "IOServiceFirstPublish" || type == "IOServiceMatched" ||
           type == "IOServiceFirstMatch";
}

// The types a process may name; checked before a name is interned, as interned names stay.
bool isMatchingType(const std::string& type)
{
    return isPublishType(type) || type == "IOServiceTerminate";
}

bool isInterestType(const std::string& type)
{
    return type == "IOGeneralInterest" || isPowerStateInterest(type);
}

} // namespace

// What one user holds across its processes, and its share of the log.
struct KernelServer::User
{
    std::atomic<size_t> notifications{0};
    std::atomic<size_t> entries{0}; // entries named to its processes (each process's counted once)
    std::mutex logMutex;
    uint64_t windowStart = 0; // guarded by logMutex: host time
    size_t linesInWindow = 0; // guarded by logMutex
    uint64_t suppressed = 0;  // guarded by logMutex

    // Takes one of at most `limit` notifications; false when the user holds them all.
    bool takeNotification(size_t limit)
    {
        size_t held = notifications.load();
        do {
            if (held >= limit) {
                return false;
            }
        } while (!notifications.compare_exchange_weak(held, held + 1));
        return true;
    }

    // Takes one of at most `limit` entry names; false when the user holds them all.
    bool takeEntry(size_t limit)
    {
        size_t held = entries.load();
        do {
            if (held >= limit) {
                return false;
            }
        } while (!entries.compare_exchange_weak(held, held + 1));
        return true;
    }
};

// A process: its kernel task, the registry entries named to it (each retained once, with the
// count of names sent), its notifications and the queue that delivers them.
struct KernelServer::Task
{
    pid_t pid = 0;
    uid_t uid = 0;
    task_t task = 0;
    int channels = 0; // guarded by the server's mutex
    std::shared_ptr<User> user;
    size_t entryLimit = 0; // the user's entries at most
    std::mutex mutex;
    struct Held
    {
        IORegistryEntry* entry; // retained
        uint64_t sent;
    };
    std::map<uint64_t, Held> entries;                                // guarded by mutex
    std::map<uint64_t, std::shared_ptr<Port>> ports;                 // guarded by mutex
    std::map<uint64_t, std::shared_ptr<Notification>> notifications; // guarded by mutex
    std::shared_ptr<platform::iokit::NotificationQueue> queue;       // guarded by mutex; made when first needed

    // Names `entry` to the process (one more name sent); nothing when the entry is new to the
    // process and its user holds as many entries as it may.
    std::optional<EntryRef> name(IORegistryEntry* entry)
    {
        std::lock_guard lock(mutex);
        const uint64_t id = entry->getRegistryEntryID();
        auto it = entries.find(id);
        if (it == entries.end()) {
            if (!user->takeEntry(entryLimit)) {
                return std::nullopt;
            }
            it = entries.emplace(id, Held{entry, 0}).first;
            entry->retain();
        }
        ++it->second.sent;
        return EntryRef{it->first, entry->getMetaClass()->getClassName()};
    }

    // The process gave up `count` names of the entry; false when it holds no name of it.
    bool unname(uint64_t id, uint64_t count)
    {
        IORegistryEntry* gone = nullptr;
        {
            std::lock_guard lock(mutex);
            auto found = entries.find(id);
            if (found == entries.end()) {
                return false;
            }
            found->second.sent -= std::min(found->second.sent, count);
            if (found->second.sent == 0) {
                gone = found->second.entry;
                entries.erase(found);
                user->entries.fetch_sub(1);
            }
        }
        if (gone != nullptr) {
            gone->release();
        }
        return true;
    }

    // An entry named to the process (retained for the caller), or null.
    IORegistryEntry* copyEntry(uint64_t id)
    {
        std::lock_guard lock(mutex);
        auto found = entries.find(id);
        if (found == entries.end()) {
            return nullptr;
        }
        found->second.entry->retain();
        return found->second.entry;
    }
};

namespace {
// Names each registry entry of `objects` to the process into `named`; when its user may hold no
// more, none of them (what was named is given back) and false.
bool nameEach(KernelServer::Task& task, OSIterator* objects, std::vector<EntryRef>& named)
{
    while (auto* entry = OSDynamicCast(IORegistryEntry, objects->getNextObject())) {
        const std::optional<EntryRef> e = task.name(entry);
        if (!e) {
            for (const EntryRef& given : named) {
                task.unname(given.id, 1);
            }
            named.clear();
            return false;
        }
        named.push_back(*e);
    }
    return true;
}
} // namespace

struct KernelServer::Port
{
    uint64_t id = 0;
    int fd = -1; // the channel's socket; written without waiting

    // False when the port is closed or full. The lock only keeps a send from racing the close
    // (a descriptor number closed could be another socket's next).
    bool send(const std::vector<uint8_t>& message)
    {
        std::lock_guard lock(mutex);
        return !closed && wire::send(fd, message, -1, true);
    }
    void close()
    {
        std::lock_guard lock(mutex);
        closed = true;
    }

private:
    std::mutex mutex;
    bool closed = false; // guarded by mutex
};

struct KernelServer::Notification
{
    KernelServer* server = nullptr;
    std::weak_ptr<Task> task;
    std::shared_ptr<Port> port;
    std::shared_ptr<User> user; // set once the notification holds one of the user's
    uint64_t id = 0;            // the process's name for it
    uint64_t service = 0;       // an interest registration's service
    // Set once the kernel's registration exists; taken by whoever ends it.
    std::atomic<IONotifier*> notifier{nullptr};
    std::mutex mutex;
    std::set<uint64_t> alreadyNamed; // guarded by mutex: services the registration reply carried

    ~Notification()
    {
        if (user) {
            user->notifications.fetch_sub(1);
        }
    }

    // Ends the kernel's registration (a handler running now finishes first). Whoever ends it
    // first does; a registration not made yet is ended by its maker, which checks afterwards
    // whether the notification is still the process's.
    void end()
    {
        if (IONotifier* n = notifier.exchange(nullptr)) {
            n->remove();
        }
    }

    void send(const std::vector<uint8_t>& message)
    {
        if (!port->send(message)) {
            server->m_dropped.fetch_add(1);
        }
    }

    // On the process's notification queue.
    static bool matched(void* target, void*, IOService* service, IONotifier*)
    {
        auto* self = static_cast<Notification*>(target);
        std::lock_guard lock(self->mutex);
        if (self->alreadyNamed.erase(service->getRegistryEntryID()) != 0) {
            return true;
        }
        auto task = self->task.lock();
        if (!task) {
            return true;
        }
        const std::optional<EntryRef> e = task->name(service);
        if (!e) {
            self->server->m_dropped.fetch_add(1);
            self->server->logFor(task->uid,
                                 "kernel host: user %u holds %zu registry entries; a matching notification of "
                                 "process %d is dropped\n",
                                 static_cast<unsigned>(task->uid), task->entryLimit, static_cast<int>(task->pid));
            return true;
        }
        Writer w(Op::Matched);
        w.u64(self->id).entries({*e});
        if (!self->port->send(w.data())) {
            self->server->m_dropped.fetch_add(1);
            task->unname(e->id, 1);
        }
        return true;
    }

    // On the process's notification queue.
    static IOReturn interest(void* target, void*, UInt32 type, IOService*, void* argument, vm_size_t argSize)
    {
        auto* self = static_cast<Notification*>(target);
        const bool hasArgument = argument != nullptr && argSize != 0;
        const size_t size = hasArgument ? std::min<size_t>(argSize, wire::kMaximumArgument) : 0;
        Writer w(Op::Interest);
        w.u64(self->id).u32(type).u8(hasArgument ? 1 : 0).bytes(argument, size);
        self->send(w.data());
        return kIOReturnSuccess;
    }
};

struct KernelServer::Channel
{
    ucred peer{};
    int fd = -1; // -1 once closed; set and cleared under the server's mutex
    std::thread thread;
    std::atomic<bool> finished{false};
    // What it serves, for the shutdown log: its role, and the request in the kernel now.
    std::atomic<const char*> role{"new"};
    std::atomic<const char*> request{nullptr};
    std::atomic<uint64_t> since{0}; // host time the request began
};

// One request on a session: the process, and the message after its operation code.
struct KernelServer::Request
{
    const std::shared_ptr<Task>& task;
    Op op;
    Reader& r;
};

// One request on a user-client connection.
struct KernelServer::ConnectionRequest
{
    ConnectionID connection;
    Op op;
    Reader& r;
    int fd = -1;         // a descriptor to send with the answer
    bool closed = false; // the connection was closed in order
};

struct KernelServer::SessionOperation
{
    Op op;
    const char* name;
    SessionHandler handler;
};

struct KernelServer::ConnectionOperation
{
    Op op;
    const char* name;
    ConnectionHandler handler;
};

const KernelServer::SessionOperation KernelServer::kSessionOperations[] = {
    {Op::GetMatchingServices, "get matching services", &KernelServer::getMatchingServices},
    {Op::CopyProperties, "copy properties", &KernelServer::copyProperties},
    {Op::CopyProperty, "copy property", &KernelServer::copyProperties},
    {Op::SetProperty, "set property", &KernelServer::setProperty},
    {Op::ConformsTo, "conforms to", &KernelServer::conformsTo},
    {Op::ChildIterator, "child iterator", &KernelServer::iterateRelatives},
    {Op::ParentIterator, "parent iterator", &KernelServer::iterateRelatives},
    {Op::AddMatchingNotification, "add matching notification", &KernelServer::addNotification},
    {Op::AddInterestNotification, "add interest notification", &KernelServer::addNotification},
    {Op::RootDomain, "root domain", &KernelServer::rootDomain},
    {Op::RemoveNotification, "remove notification", &KernelServer::removeNotification},
    {Op::ReleaseObject, "release object", &KernelServer::releaseObject},
};

const KernelServer::ConnectionOperation KernelServer::kConnectionOperations[] = {
    {Op::CallMethod, "call method", &KernelServer::callMethod},
    {Op::MapMemory, "map memory", &KernelServer::mapMemory},
    {Op::UnmapMemory, "unmap memory", &KernelServer::unmapMemory},
    {Op::Close, "close", &KernelServer::closeConnection},
};

namespace {
template <class Operation, size_t N> const Operation* findOperation(const Operation (&table)[N], Op op)
{
    for (const Operation& operation : table) {
        if (operation.op == op) {
            return &operation;
        }
    }
    return nullptr;
}

// Marks a channel busy with one request while it lives.
class Busy
{
public:
    Busy(std::atomic<const char*>& request, std::atomic<uint64_t>& since, const char* name)
        : m_request(request)
    {
        since.store(platform::host_clock::now());
        m_request.store(name);
    }
    ~Busy() { m_request.store(nullptr); }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

private:
    std::atomic<const char*>& m_request;
};
} // namespace

KernelServer::KernelServer(KernelHost& host) : m_host(host) {}

KernelServer::~KernelServer()
{
    stop();
}
bool KernelServer::listen(const std::string& path, std::string* error)
{
    auto fail = [&](const std::string& why) {
        if (error != nullptr) {
            *error = why;
        }
        if (m_listener >= 0) {
            ::close(m_listener);
            m_listener = -1;
        }
        return false;
    };
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        return fail("socket path is empty or too long: " + path);
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    struct stat st
    {
    };
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            return fail("socket path is taken by another file: " + path);
        }
        const int probe = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        const bool live =
            probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        if (probe >= 0) {
            ::close(probe);
        }
        if (live) {
            return fail("socket path is in use by a running kernel host: " + path);
        }
        ::unlink(path.c_str()); // left by a host that is gone
    }
    m_listener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (m_listener < 0) {
        return fail(std::string("cannot make a socket: ") + std::strerror(errno));
    }
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listener, 64) != 0) {
        return fail("cannot listen at " + path + ": " + std::strerror(errno));
    }
    if (::pipe2(m_wake, O_CLOEXEC) != 0) {
        return fail(std::string("cannot make a pipe: ") + std::strerror(errno));
    }
    m_path = path;
    m_acceptThread = std::thread([this] { acceptLoop(); });
    return true;
}

void KernelServer::stopAccepting()
{
    if (m_acceptThread.joinable()) {
        const char stop = 1;
        (void)::write(m_wake[1], &stop, 1);
        m_acceptThread.join();
    }
    std::lock_guard lock(m_mutex);
    m_stopping = true;
    for (auto& c : m_channels) {
        if (c->fd >= 0) { // a finished channel's number may be another file's by now
            ::shutdown(c->fd, SHUT_RDWR);
        }
    }
}

bool KernelServer::joinChannels(const std::chrono::steady_clock::time_point* deadline)
{
    std::list<std::unique_ptr<Channel>> done;
    bool all = true;
    {
        std::unique_lock lock(m_mutex);
        auto allFinished = [&] {
            return std::all_of(m_channels.begin(), m_channels.end(),
                               [](const auto& c) { return c->finished.load(); });
        };
        if (deadline != nullptr) {
            m_channelFinished.wait_until(lock, *deadline, allFinished);
        }
        for (auto it = m_channels.begin(); it != m_channels.end();) {
            if (deadline == nullptr || (*it)->finished.load()) {
                done.push_back(std::move(*it));
                it = m_channels.erase(it);
                continue;
            }
            all = false;
            const Channel& c = **it;
            const char* request = c.request.load();
            if (request != nullptr) {
                IOLog("kernel host: still running at shutdown: process %d, %s channel, request \"%s\" for %llu ms\n",
                      static_cast<int>(c.peer.pid), c.role.load(), request,
                      static_cast<unsigned long long>(millisecondsSince(c.since.load())));
            } else {
                IOLog("kernel host: still running at shutdown: process %d, %s channel\n",
                      static_cast<int>(c.peer.pid), c.role.load());
            }
            ++it;
        }
    }
    for (auto& c : done) {
        c->thread.join();
    }
    return all;
}

void KernelServer::stop()
{
    stopAccepting();
    joinChannels(nullptr);
    if (m_listener >= 0) {
        ::close(m_listener);
        ::unlink(m_path.c_str());
        m_listener = -1;
    }
    for (int& fd : m_wake) {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
}

bool KernelServer::stop(std::chrono::milliseconds deadline)
{
    stopAccepting();
    const auto until = std::chrono::steady_clock::now() + deadline;
    if (!joinChannels(&until)) {
        return false; // the listener stays until the rest ends: nobody can take the path meanwhile
    }
    stop();
    return true;
}

size_t KernelServer::channelCount() const
{
    std::lock_guard lock(m_mutex);
    size_t open = 0;
    for (const auto& c : m_channels) {
        open += c->finished.load() ? 0 : 1;
    }
    return open;
}

size_t KernelServer::processCount() const
{
    std::lock_guard lock(m_mutex);
    return m_tasks.size();
}

void KernelServer::reapFinished()
{
    std::list<std::unique_ptr<Channel>> finished;
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_channels.begin(); it != m_channels.end();) {
            if ((*it)->finished.load()) {
                finished.push_back(std::move(*it));
                it = m_channels.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& c : finished) {
        c->thread.join();
    }
    // Their sockets and threads are back: a device whose driver lacked them may have one now.
    if (!finished.empty()) {
        gIOCatalogue->resourcesReturned();
    }
}

std::shared_ptr<KernelServer::User> KernelServer::userOf(uid_t uid)
{
    std::lock_guard lock(m_mutex);
    auto& user = m_users[uid];
    if (!user) {
        user = std::make_shared<User>();
    }
    return user;
}

bool KernelServer::admitLine(uid_t uid, User& user)
{
    const uint64_t now = platform::host_clock::now();
    const auto window = static_cast<uint64_t>(std::chrono::nanoseconds(m_limits.logWindow).count());
    uint64_t suppressed = 0;
    {
        std::lock_guard lock(user.logMutex);
        if (user.linesInWindow == 0 || now - user.windowStart >= window) {
            suppressed = user.suppressed;
            user.suppressed = 0;
            user.windowStart = now;
            user.linesInWindow = 0;
        }
        if (user.linesInWindow >= m_limits.logLinesPerWindow) {
            ++user.suppressed;
            return false;
        }
        ++user.linesInWindow;
    }
    if (suppressed != 0) {
        platform::log::KernelLineGateScope ungated(nullptr);
        IOLog("kernel host: %llu more lines caused by user %u were suppressed\n",
              static_cast<unsigned long long>(suppressed), static_cast<unsigned>(uid));
    }
    return true;
}

void KernelServer::logFor(uid_t uid, const char* format, ...)
{
    const std::shared_ptr<User> user = userOf(uid);
    if (!admitLine(uid, *user)) {
        return;
    }
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    platform::log::KernelLineGateScope ungated(nullptr); // counted already
    IOLog("%s", line);
}

// The gate of a channel's thread: every kernel line written while it serves its peer (the
// driver's included) counts against the peer's user.
class KernelServer::UserLineGate final : public platform::log::KernelLineGate
{
public:
    UserLineGate(KernelServer& server, uid_t uid) : m_server(server), m_uid(uid), m_user(server.userOf(uid)) {}
    bool admit() override { return m_server.admitLine(m_uid, *m_user); }

private:
    KernelServer& m_server;
    const uid_t m_uid;
    const std::shared_ptr<User> m_user;
};

void KernelServer::refuse(int fd, IOReturn status)
{
    // The status goes first; then nothing more can come in, and what came is read, so that
    // closing does not turn the peer's pending reply into a reset.
    wire::send(fd, helloReply(status), -1, true);
    ::shutdown(fd, SHUT_RDWR);
    char drain[256];
    while (::recv(fd, drain, sizeof drain, MSG_DONTWAIT) > 0) {
    }
    ::close(fd);
}

void KernelServer::acceptLoop()
{
    for (;;) {
        pollfd fds[2] = {{m_listener, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (::poll(fds, 2, 1000) < 0 && errno != EINTR) {
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        reapFinished();
        if ((fds[0].revents & POLLIN) == 0) {
            continue;
        }
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        ucred peer{};
        socklen_t length = sizeof peer;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
            ::close(fd);
            continue;
        }
        std::unique_lock lock(m_mutex);
        if (m_stopping) {
            ::close(fd);
            return;
        }
        const size_t open = m_channels.size();
        // One user cannot take every channel from the others.
        const auto own = static_cast<size_t>(std::count_if(m_channels.begin(), m_channels.end(), [&](const auto& c) {
            return !c->finished.load() && c->peer.uid == peer.uid;
        }));
        if (open >= kMaximumChannels || own >= m_limits.channelsPerUser) {
            lock.unlock();
            if (open >= kMaximumChannels) {
                logFor(peer.uid, "kernel host: %zu channels open; a new one is refused\n", open);
            } else {
                logFor(peer.uid, "kernel host: user %u has %zu channels open; a new one is refused\n",
                       static_cast<unsigned>(peer.uid), own);
            }
            refuse(fd, kIOReturnNoResources);
            continue;
        }
        auto channel = std::make_unique<Channel>();
        channel->peer = peer;
        channel->fd = fd;
        Channel* raw = channel.get();
        try {
            raw->thread = std::thread([this, raw] { serve(raw); });
        } catch (const std::system_error& e) {
            lock.unlock();
            IOLog("kernel host: no thread for a new channel (%s); it is refused\n", e.what());
            refuse(fd, kIOReturnNoResources);
            continue;
        }
        m_channels.push_back(std::move(channel));
    }
}

std::shared_ptr<KernelServer::Task> KernelServer::attachTask(pid_t pid, uid_t uid, const std::string& name)
{
    std::shared_ptr<User> user = userOf(uid);
    std::lock_guard lock(m_mutex);
    auto& task = m_tasks[pid];
    if (!task) {
        task = std::make_shared<Task>();
        task->pid = pid;
        task->uid = uid;
        task->user = std::move(user);
        task->entryLimit = m_limits.entriesPerUser;
        task->task = m_host.createTask(pid, uid, name.substr(0, 16));
    }
    ++task->channels;
    return task;
}

void KernelServer::detachTask(const std::shared_ptr<Task>& task)
{
    {
        std::lock_guard lock(m_mutex);
        if (--task->channels > 0) {
            return;
        }
        m_tasks.erase(task->pid);
    }
    // The process is gone: its notifications end, and what it held is released.
    // The notifications end first: a handler still running may name one more entry.
    std::map<uint64_t, std::shared_ptr<Notification>> notifications;
    {
        std::lock_guard lock(task->mutex);
        notifications.swap(task->notifications);
        task->ports.clear();
        task->queue.reset(); // its thread ends with the last registration that used it
    }
    for (auto& [id, n] : notifications) {
        n->end();
    }
    std::map<uint64_t, Task::Held> entries;
    {
        std::lock_guard lock(task->mutex);
        entries.swap(task->entries);
    }
    task->user->entries.fetch_sub(entries.size());
    for (auto& [id, held] : entries) {
        held.entry->release();
    }
    m_host.releaseTask(task->task);
}

bool KernelServer::receiveRequest(Channel& channel, std::vector<uint8_t>& message)
{
    switch (wire::receiveMessage(channel.fd, message)) {
    case wire::Received::Message:
        return true;
    case wire::Received::Malformed:
        logFor(channel.peer.uid,
               "kernel host: process %d sent an empty, oversize or malformed message on its %s channel; "
               "the channel is closed\n",
               static_cast<int>(channel.peer.pid), channel.role.load());
        wire::send(channel.fd, reply(kIOReturnBadArgument), -1, true);
        return false;
    case wire::Received::Closed:
        break;
    }
    return false;
}

void KernelServer::serve(Channel* channel)
{
    std::vector<uint8_t> message;
    const ucred& peer = channel->peer;
    // What a process makes the kernel write counts against its user; a control channel is the
    // host's owner's and its commands' lines are the host's own.
    UserLineGate gate(*this, peer.uid);
    std::optional<platform::log::KernelLineGateScope> gated;
    // A channel that does not say what it is in time is closed: silent ones would hold it.
    pollfd ready{channel->fd, POLLIN, 0};
    int polled = 0;
    do {
        polled = ::poll(&ready, 1, static_cast<int>(m_limits.helloTimeout.count()));
    } while (polled < 0 && errno == EINTR);
    if (polled == 0) {
        wire::send(channel->fd, helloReply(kIOReturnTimeout), -1, true);
    } else if (polled == 1 && receiveRequest(*channel, message)) {
        Reader r(message.data(), message.size());
        const bool hello = r.op() == Op::Hello;
        const auto role = static_cast<Role>(r.u32());
        const std::string name = r.text(256);
        const bool known =
            role == Role::Session || role == Role::Connection || role == Role::Port || role == Role::Control;
        if (!hello || !r.ok() || !known) {
            logFor(peer.uid, "kernel host: process %d began a channel without a valid hello; it is closed\n",
                   static_cast<int>(peer.pid));
            wire::send(channel->fd, helloReply(kIOReturnBadArgument), -1, true);
        } else if (role == Role::Control) {
            channel->role.store("control");
            serveControl(*channel, peer.uid);
        } else {
            gated.emplace(&gate);
            auto task = attachTask(peer.pid, peer.uid, name);
            switch (role) {
            case Role::Session:
                channel->role.store("session");
                wire::send(channel->fd, helloReply(kIOReturnSuccess));
                serveSession(*channel, task);
                break;
            case Role::Connection: {
                channel->role.store("connection");
                const uint64_t serviceID = r.u64();
                const uint32_t type = r.u32();
                if (r.ok()) {
                    serveConnection(*channel, task, serviceID, type);
                } else {
                    wire::send(channel->fd, helloReply(kIOReturnBadArgument), -1, true);
                }
                break;
            }
            case Role::Port:
                channel->role.store("notification port");
                servePort(*channel, task);
                break;
            case Role::Control:
                break;
            }
            Busy busy(channel->request, channel->since, "release of what the process held");
            detachTask(task);
        }
    }
    // The descriptor closes only once nothing can send to it any more, and under the lock stop()
    // takes to shut channels down.
    std::lock_guard lock(m_mutex);
    ::close(channel->fd);
    channel->fd = -1;
    channel->finished.store(true);
    m_channelFinished.notify_all();
}

void KernelServer::servePort(Channel& channel, const std::shared_ptr<Task>& task)
{
    auto port = std::make_shared<Port>();
    port->fd = channel.fd;
    {
        std::lock_guard lock(m_mutex);
        port->id = m_nextPort++;
    }
    {
        std::lock_guard lock(task->mutex);
        task->ports[port->id] = port;
    }
    wire::send(channel.fd, helloReply(kIOReturnSuccess, port->id));
    // Nothing comes from the process on a port; it ends when the process closes it.
    std::vector<uint8_t> message;
    while (wire::receive(channel.fd, message)) {
    }
    std::vector<std::shared_ptr<Notification>> ended;
    {
        std::lock_guard lock(task->mutex);
        task->ports.erase(port->id);
        for (auto it = task->notifications.begin(); it != task->notifications.end();) {
            if (it->second->port == port) {
                ended.push_back(it->second);
                it = task->notifications.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& n : ended) {
        n->end();
    }
    port->close(); // a registration that raced this close sends nothing more
}

void KernelServer::serveSession(Channel& channel, const std::shared_ptr<Task>& task)
{
    std::vector<uint8_t> message;
    while (receiveRequest(channel, message)) {
        Reader r(message.data(), message.size());
        const Op op = r.op();
        std::vector<uint8_t> answer;
        if (const SessionOperation* operation = findOperation(kSessionOperations, op)) {
            Busy busy(channel.request, channel.since, operation->name);
            Request request{task, op, r};
            answer = (this->*operation->handler)(request);
        } else {
            logFor(task->uid, "kernel host: process %d sent request %u on its session\n", static_cast<int>(task->pid),
                   static_cast<unsigned>(op));
            answer = reply(kIOReturnUnsupported);
        }
        if (!wire::send(channel.fd, answer)) {
            return;
        }
    }
}

std::vector<uint8_t> KernelServer::getMatchingServices(Request& q)
{
    const Value matching = q.r.value();
    if (!q.r.ok() || matching.kind != Value::Kind::Dictionary) {
        return reply(kIOReturnBadArgument);
    }
    auto* dictionary = static_cast<OSDictionary*>(toObject(matching));
    OSIterator* services = IOService::getMatchingServices(dictionary);
    dictionary->release();
    std::vector<EntryRef> named;
    const bool all = nameEach(*q.task, services, named);
    services->release();
    if (!all) {
        refuseEntries(q);
    }
    return all ? Writer(Op::Reply).u32(kIOReturnSuccess).entries(named).data() : reply(kIOReturnNoResources);
}

void KernelServer::refuseEntries(Request& q)
{
    logFor(q.task->uid, "kernel host: user %u holds %zu registry entries; a request of process %d for more is refused\n",
           static_cast<unsigned>(q.task->uid), q.task->entryLimit, static_cast<int>(q.task->pid));
}

std::vector<uint8_t> KernelServer::copyProperties(Request& q)
{
    const uint64_t id = q.r.u64();
    const std::string key = q.op == Op::CopyProperty ? q.r.text() : std::string();
    IORegistryEntry* entry = q.r.ok() ? q.task->copyEntry(id) : nullptr;
    if (entry == nullptr) {
        return reply(kIOReturnBadArgument);
    }
    auto* service = OSDynamicCast(IOService, entry);
    Value value;
    std::vector<uint8_t> answer;
    if (service != nullptr && service->isInactive()) {
        answer = reply(kIOReturnNoDevice); // the device has gone
    } else if (q.op == Op::CopyProperties) {
        OSDictionary* all = entry->dictionaryWithProperties();
        toValue(all, value, 0);
        all->release();
        answer = Writer(Op::Reply).u32(kIOReturnSuccess).value(value).data();
    } else {
        OSObject* one = entry->copyProperty(key.c_str());
        answer = one != nullptr && toValue(one, value, 0) ? Writer(Op::Reply).u32(kIOReturnSuccess).value(value).data()
                                                          : reply(kIOReturnNotFound);
        OSSafeReleaseNULL(one);
    }
    entry->release();
    return answer;
}

std::vector<uint8_t> KernelServer::setProperty(Request&)
{
    // Drivers here take no property changes from user space.
    return reply(kIOReturnUnsupported);
}

std::vector<uint8_t> KernelServer::conformsTo(Request& q)
{
    const uint64_t id = q.r.u64();
    const std::string className = q.r.text(256);
    IORegistryEntry* entry = q.r.ok() ? q.task->copyEntry(id) : nullptr;
    if (entry == nullptr) {
        return reply(kIOReturnBadArgument);
    }
    const bool conforms = OSMetaClass::checkMetaCastWithName(className.c_str(), entry) != nullptr;
    entry->release();
    return Writer(Op::Reply).u32(kIOReturnSuccess).u8(conforms ? 1 : 0).data();
}

std::vector<uint8_t> KernelServer::iterateRelatives(Request& q)
{
    const uint64_t id = q.r.u64();
    const std::string planeName = q.r.text(256);
    IORegistryEntry* entry = q.r.ok() ? q.task->copyEntry(id) : nullptr;
    if (entry == nullptr) {
        return reply(kIOReturnBadArgument);
    }
    // Only planes the kernel made: a name from outside makes none.
    const IORegistryPlane* plane = IORegistryEntry::findPlane(planeName.c_str());
    if (plane == nullptr) {
        entry->release();
        return reply(kIOReturnBadArgument);
    }
    OSIterator* relatives =
        q.op == Op::ChildIterator ? entry->getChildIterator(plane) : entry->getParentIterator(plane);
    std::vector<EntryRef> named;
    const bool all = nameEach(*q.task, relatives, named);
    relatives->release();
    entry->release();
    if (!all) {
        refuseEntries(q);
    }
    return all ? Writer(Op::Reply).u32(kIOReturnSuccess).entries(named).data() : reply(kIOReturnNoResources);
}

std::vector<uint8_t> KernelServer::addNotification(Request& q)
{
    Task& task = *q.task;
    Reader& r = q.r;
    const bool matchingKind = q.op == Op::AddMatchingNotification;
    const uint64_t portID = r.u64();
    const uint64_t id = r.u64();
    std::string type;
    Value matching;
    uint64_t serviceID = 0;
    if (matchingKind) {
        type = r.text(256);
        matching = r.value();
    } else {
        serviceID = r.u64();
        type = r.text(256);
    }
    const bool wellFormed = r.ok() && (matchingKind ? isMatchingType(type) && matching.kind == Value::Kind::Dictionary
                                                    : isInterestType(type));
    IORegistryEntry* entry = wellFormed && !matchingKind ? task.copyEntry(serviceID) : nullptr;
    auto* service = OSDynamicCast(IOService, entry);
    if (!wellFormed || (!matchingKind && service == nullptr)) {
        OSSafeReleaseNULL(entry);
        return reply(kIOReturnBadArgument);
    }
    auto notification = std::make_shared<Notification>();
    notification->server = this;
    notification->task = q.task;
    notification->id = id;
    notification->service = serviceID;

    // The checks and the claim of the id are one step: two channels of the process registering
    // the same id at once cannot both pass them.
    IOReturn claimed = kIOReturnSuccess;
    std::shared_ptr<platform::iokit::NotificationQueue> queue;
    {
        std::lock_guard lock(task.mutex);
        auto port = task.ports.find(portID);
        // One process may not take a service's listeners for itself.
        const size_t onService =
            std::count_if(task.notifications.begin(), task.notifications.end(),
                          [&](const auto& n) { return serviceID != 0 && n.second->service == serviceID; });
        if (port == task.ports.end() || task.notifications.count(id) != 0) {
            claimed = kIOReturnBadArgument;
        } else if (task.notifications.size() >= kMaximumNotifications || onService >= kMaximumInterestsPerService) {
            claimed = kIOReturnNoResources;
        } else {
            if (!task.queue) {
                try {
                    task.queue = platform::iokit::makeNotificationQueue("the notifications of process " +
                                                                        std::to_string(task.pid));
                } catch (const std::system_error&) {
                    claimed = kIOReturnNoResources;
                }
            }
            if (claimed == kIOReturnSuccess && !task.user->takeNotification(m_limits.notificationsPerUser)) {
                claimed = kIOReturnNoResources;
            }
            if (claimed == kIOReturnSuccess) {
                notification->user = task.user;
                notification->port = port->second;
                queue = task.queue;
                task.notifications[id] = notification;
            }
        }
    }
    if (claimed != kIOReturnSuccess) {
        OSSafeReleaseNULL(entry);
        return reply(claimed);
    }
    // The claim is given up when the registration fails (unless it was taken away meanwhile).
    auto unclaim = [&] {
        std::lock_guard lock(task.mutex);
        if (auto found = task.notifications.find(id); found != task.notifications.end() && found->second == notification) {
            task.notifications.erase(found);
        }
    };

    std::vector<EntryRef> existing;
    bool noThread = false; // no delivery thread could be made for the registration
    bool tooMany = false;  // the user may not hold the services already registered
    {
        platform::iokit::DeliverThrough through(queue);
        if (matchingKind) {
            auto* dictionary = static_cast<OSDictionary*>(toObject(matching));
            // Services already registered come back in the reply; the kernel's own delivery
            // of them is then skipped.
            std::lock_guard lock(notification->mutex);
            try {
                notification->notifier.store(IOService::addMatchingNotification(
                    platform::iokit::symbolNamed(type.c_str()), dictionary, Notification::matched, notification.get()));
            } catch (const std::system_error&) {
                noThread = true;
            }
            if (notification->notifier.load() != nullptr && isPublishType(type)) {
                OSIterator* services = IOService::getMatchingServices(dictionary);
                while (auto* s = OSDynamicCast(IOService, services->getNextObject())) {
                    notification->alreadyNamed.insert(s->getRegistryEntryID());
                }
                services->reset();
                tooMany = !nameEach(task, services, existing);
                services->release();
            }
            dictionary->release();
        } else {
            try {
                notification->notifier.store(service->registerInterest(platform::iokit::symbolNamed(type.c_str()),
                                                                       Notification::interest, notification.get()));
            } catch (const std::system_error&) {
                noThread = true;
            }
        }
    }
    OSSafeReleaseNULL(entry);
    // Services here have no power states of their own: a power-state registration is taken and
    // stays silent.
    const bool silent = !matchingKind && isPowerStateInterest(type);
    if (noThread || tooMany || (notification->notifier.load() == nullptr && !silent)) {
        if (tooMany) {
            refuseEntries(q);
        }
        unclaim();
        notification->end();
        return reply(noThread || tooMany ? kIOReturnNoResources : kIOReturnBadArgument);
    }
    bool kept = false;
    {
        std::lock_guard lock(task.mutex);
        // The port may have closed, or the id been removed, meanwhile: the notification is then
        // no longer the process's.
        auto found = task.notifications.find(id);
        kept = found != task.notifications.end() && found->second == notification;
    }
    if (!kept) {
        notification->end();
        for (const auto& e : existing) {
            task.unname(e.id, 1);
        }
        return reply(kIOReturnNotOpen);
    }
    return Writer(Op::Reply).u32(kIOReturnSuccess).entries(existing).data();
}

std::vector<uint8_t> KernelServer::rootDomain(Request& q)
{
    // The system's power root, whose general interest carries the sleep and wake messages.
    const std::optional<EntryRef> root = q.task->name(IOService::getPMRootDomain());
    if (!root) {
        refuseEntries(q);
        return reply(kIOReturnNoResources);
    }
    return Writer(Op::Reply).u32(kIOReturnSuccess).entries({*root}).data();
}

std::vector<uint8_t> KernelServer::removeNotification(Request& q)
{
    const uint64_t id = q.r.u64();
    std::shared_ptr<Notification> gone;
    if (q.r.ok()) {
        std::lock_guard lock(q.task->mutex);
        if (auto found = q.task->notifications.find(id); found != q.task->notifications.end()) {
            gone = found->second;
            q.task->notifications.erase(found);
        }
    }
    if (gone) {
        gone->end();
    }
    return reply(gone ? kIOReturnSuccess : kIOReturnBadArgument);
}

std::vector<uint8_t> KernelServer::releaseObject(Request& q)
{
    const uint64_t id = q.r.u64();
    const uint32_t count = q.r.u32();
    // Only a name the process was given can be given back.
    return reply(q.r.ok() && q.task->unname(id, count) ? kIOReturnSuccess : kIOReturnBadArgument);
}

void KernelServer::serveControl(Channel& channel, uid_t peer)
{
    // The host's devices are its owner's to change.
    const IOReturn admitted = !m_control                        ? kIOReturnUnsupported
                              : peer == 0 || peer == ::getuid() ? kIOReturnSuccess
                                                                : kIOReturnNotPrivileged;
    if (!wire::send(channel.fd, helloReply(admitted)) || admitted != kIOReturnSuccess) {
        return;
    }
    std::vector<uint8_t> message;
    while (receiveRequest(channel, message)) {
        Reader r(message.data(), message.size());
        const bool isControl = r.op() == Op::Control;
        const uint32_t count = r.u32();
        std::vector<std::string> words;
        for (uint32_t i = 0; i < count && r.ok() && i < wire::kMaximumControlWords; ++i) {
            words.push_back(r.text(wire::kMaximumControlWord));
        }
        std::string text;
        IOReturn status = kIOReturnBadArgument;
        if (isControl && r.ok() && count <= wire::kMaximumControlWords) {
            Busy busy(channel.request, channel.since, "control");
            status = m_control(words, text);
        }
        if (!wire::send(channel.fd, Writer(Op::Reply).u32(static_cast<uint32_t>(status)).text(text).data())) {
            return;
        }
    }
}

void KernelServer::serveConnection(Channel& channel, const std::shared_ptr<Task>& task, uint64_t serviceID,
                                   uint32_t type)
{
    IORegistryEntry* entry = task->copyEntry(serviceID);
    auto* service = OSDynamicCast(IOService, entry);
    ConnectionID connection = 0;
    IOReturn status = kIOReturnBadArgument;
    if (service != nullptr) {
        Busy busy(channel.request, channel.since, "open");
        status = m_host.openConnection(service, task->task, type, &connection);
    }
    OSSafeReleaseNULL(entry);
    if (!wire::send(channel.fd, helloReply(status, connection)) || status != kIOReturnSuccess) {
        if (status == kIOReturnSuccess) {
            m_host.connectionDied(connection);
        }
        return;
    }
    std::vector<uint8_t> message;
    bool closed = false;
    while (!closed && receiveRequest(channel, message)) {
        Reader r(message.data(), message.size());
        ConnectionRequest request{connection, r.op(), r};
        std::vector<uint8_t> answer;
        if (const ConnectionOperation* operation = findOperation(kConnectionOperations, request.op)) {
            Busy busy(channel.request, channel.since, operation->name);
            answer = (this->*operation->handler)(request);
        } else {
            logFor(task->uid, "kernel host: process %d sent request %u on a connection\n", static_cast<int>(task->pid),
                   static_cast<unsigned>(request.op));
            answer = reply(kIOReturnUnsupported);
        }
        closed = request.closed;
        if (!wire::send(channel.fd, answer, request.fd)) {
            break;
        }
    }
    if (!closed) {
        m_host.connectionDied(connection); // the process went away without closing
    }
}

std::vector<uint8_t> KernelServer::callMethod(ConnectionRequest& q)
{
    Reader& r = q.r;
    const uint32_t selector = r.u32();
    MethodCall call;
    const uint32_t scalars = r.u32();
    if (scalars > wire::kMaximumScalars) {
        return reply(kIOReturnBadArgument);
    }
    for (uint32_t i = 0; i < scalars; ++i) {
        call.scalarInput.push_back(r.u64());
    }
    const std::string_view structure = r.bytes(wire::kMaximumStructure);
    call.structureInput.assign(structure.begin(), structure.end());
    call.scalarOutputCapacity = r.u32();
    call.structureOutputCapacity = r.u32();
    if (!r.ok()) {
        return reply(kIOReturnBadArgument);
    }
    const IOReturn result = m_host.callMethod(q.connection, selector, call);
    Writer w(Op::Reply);
    w.u32(static_cast<uint32_t>(result)).u32(static_cast<uint32_t>(call.scalarOutput.size()));
    for (uint64_t s : call.scalarOutput) {
        w.u64(s);
    }
    w.bytes(call.structureOutput.data(), call.structureOutput.size());
    return w.data();
}

std::vector<uint8_t> KernelServer::mapMemory(ConnectionRequest& q)
{
    const uint32_t memoryType = q.r.u32();
    MappedMemory memory;
    const IOReturn result = q.r.ok() ? m_host.mapMemory(q.connection, memoryType, &memory) : kIOReturnBadArgument;
    q.fd = result == kIOReturnSuccess ? memory.fileDescriptor : -1;
    return Writer(Op::Reply)
        .u32(static_cast<uint32_t>(result))
        .u64(memory.length)
        .u64(memory.fileOffset)
        .u64(reinterpret_cast<uintptr_t>(memory.address))
        .u32(memory.readOnly ? 1 : 0)
        .data();
}

std::vector<uint8_t> KernelServer::unmapMemory(ConnectionRequest& q)
{
    const uint32_t memoryType = q.r.u32();
    const uint64_t address = q.r.u64();
    return reply(q.r.ok() ? m_host.unmapMemory(q.connection, memoryType,
                                               reinterpret_cast<void*>(static_cast<uintptr_t>(address)))
                          : kIOReturnBadArgument);
}

std::vector<uint8_t> KernelServer::closeConnection(ConnectionRequest& q)
{
    q.closed = true;
    return reply(m_host.closeConnection(q.connection));
}

} // namespace kernel_host
