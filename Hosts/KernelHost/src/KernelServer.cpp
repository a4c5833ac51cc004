#include "kernel_host/KernelServer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <system_error>
#include <unistd.h>

#include "IOKit/IOLib.h"
#include "IOKit/pwr_mgt/RootDomain.h"
#include "platform/IOKitWire.h"

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

// Bounds on what one process can make the kernel host keep.
// Notifications of one process (each has a delivery thread in the host).
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

// A process: its kernel task, the registry entries named to it (each retained once, with the
// count of names sent) and its notifications.
struct KernelServer::Task
{
    pid_t pid = 0;
    task_t task = 0;
    int channels = 0; // guarded by the server's mutex
    std::mutex mutex;
    struct Held
    {
        IORegistryEntry* entry; // retained
        uint64_t sent;
    };
    std::map<uint64_t, Held> entries;                                // guarded by mutex
    std::map<uint64_t, std::shared_ptr<Port>> ports;                 // guarded by mutex
    std::map<uint64_t, std::shared_ptr<Notification>> notifications; // guarded by mutex

    // Names `entry` to the process (one more name sent).
    EntryRef name(IORegistryEntry* entry)
    {
        std::lock_guard lock(mutex);
        auto [it, inserted] = entries.try_emplace(entry->getRegistryEntryID(), Held{entry, 0});
        if (inserted) {
            entry->retain();
        }
        ++it->second.sent;
        return EntryRef{it->first, entry->getMetaClass()->getClassName()};
    }

    // The process gave up `count` names of the entry.
    void unname(uint64_t id, uint64_t count)
    {
        IORegistryEntry* gone = nullptr;
        {
            std::lock_guard lock(mutex);
            auto found = entries.find(id);
            if (found == entries.end()) {
                return;
            }
            found->second.sent -= std::min(found->second.sent, count);
            if (found->second.sent == 0) {
                gone = found->second.entry;
                entries.erase(found);
            }
        }
        if (gone != nullptr) {
            gone->release();
        }
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
    uint64_t id = 0;      // the process's name for it
    uint64_t service = 0; // an interest registration's service
    IONotifier* notifier = nullptr;
    std::mutex mutex;
    std::set<uint64_t> alreadyNamed; // guarded by mutex: services the registration reply carried

    // Ends the kernel's registration (a handler running now finishes first).
    void end()
    {
        if (notifier != nullptr) {
            notifier->remove();
        }
    }

    void send(const std::vector<uint8_t>& message)
    {
        if (!port->send(message)) {
            server->m_dropped.fetch_add(1);
        }
    }

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
        const EntryRef e = task->name(service);
        Writer w(Op::Matched);
        w.u64(self->id).entries({e});
        if (!self->port->send(w.data())) {
            self->server->m_dropped.fetch_add(1);
            task->unname(e.id, 1);
        }
        return true;
    }

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
};

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

void KernelServer::stop()
{
    if (m_acceptThread.joinable()) {
        const char stop = 1;
        (void)::write(m_wake[1], &stop, 1);
        m_acceptThread.join();
    }
    std::list<std::unique_ptr<Channel>> channels;
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        for (auto& c : m_channels) {
            if (c->fd >= 0) { // a finished channel's number may be another file's by now
                ::shutdown(c->fd, SHUT_RDWR);
            }
        }
        channels.swap(m_channels);
    }
    for (auto& c : channels) {
        c->thread.join();
    }
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
        std::lock_guard lock(m_mutex);
        if (m_stopping) {
            ::close(fd);
            return;
        }
        if (m_channels.size() >= kMaximumChannels) {
            IOLog("kernel host: %zu channels open; a new one is refused\n", m_channels.size());
            ::close(fd);
            continue;
        }
        // One user cannot take every channel from the others.
        const auto own =
            static_cast<size_t>(std::count_if(m_channels.begin(), m_channels.end(), [&](const auto& c) {
                return !c->finished.load() && c->peer.uid == peer.uid;
            }));
        if (own >= m_limits.channelsPerUser) {
            IOLog("kernel host: user %u has %zu channels open; a new one is refused\n",
                  static_cast<unsigned>(peer.uid), own);
            ::close(fd);
            continue;
        }
        auto channel = std::make_unique<Channel>();
        channel->peer = peer;
        channel->fd = fd;
        Channel* raw = channel.get();
        try {
            raw->thread = std::thread([this, raw] { serve(raw); });
        } catch (const std::system_error& e) {
            IOLog("kernel host: no thread for a new channel (%s); it is refused\n", e.what());
            ::close(fd);
            continue;
        }
        m_channels.push_back(std::move(channel));
    }
}

std::shared_ptr<KernelServer::Task> KernelServer::attachTask(pid_t pid, uid_t uid, const std::string& name)
{
    std::lock_guard lock(m_mutex);
    auto& task = m_tasks[pid];
    if (!task) {
        task = std::make_shared<Task>();
        task->pid = pid;
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
    }
    for (auto& [id, n] : notifications) {
        n->end();
    }
    std::map<uint64_t, Task::Held> entries;
    {
        std::lock_guard lock(task->mutex);
        entries.swap(task->entries);
    }
    for (auto& [id, held] : entries) {
        held.entry->release();
    }
    m_host.releaseTask(task->task);
}

void KernelServer::serve(Channel* channel)
{
    std::vector<uint8_t> message;
    const ucred& peer = channel->peer;
    // A channel that does not say what it is in time is closed: silent ones would hold it.
    pollfd ready{channel->fd, POLLIN, 0};
    int polled = 0;
    do {
        polled = ::poll(&ready, 1, static_cast<int>(m_limits.helloTimeout.count()));
    } while (polled < 0 && errno == EINTR);
    if (polled == 1 && wire::receive(channel->fd, message)) {
        Reader r(message.data(), message.size());
        const bool hello = r.op() == Op::Hello;
        const auto role = static_cast<Role>(r.u32());
        const std::string name = r.text(256);
        if (hello && r.ok() && role == Role::Control) {
            serveControl(*channel, peer.uid);
        } else if (hello && r.ok()) {
            auto task = attachTask(peer.pid, peer.uid, name);
            switch (role) {
            case Role::Session:
                wire::send(channel->fd, Writer(Op::Reply).u32(kIOReturnSuccess).u64(0).data());
                serveSession(*channel, task);
                break;
            case Role::Connection: {
                const uint64_t serviceID = r.u64();
                const uint32_t type = r.u32();
                if (r.ok()) {
                    serveConnection(*channel, task, serviceID, type);
                }
                break;
            }
            case Role::Control:
                break;
            case Role::Port: {
                auto port = std::make_shared<Port>();
                port->fd = channel->fd;
                {
                    std::lock_guard lock(m_mutex);
                    port->id = m_nextPort++;
                }
                {
                    std::lock_guard lock(task->mutex);
                    task->ports[port->id] = port;
                }
                wire::send(channel->fd, Writer(Op::Reply).u32(kIOReturnSuccess).u64(port->id).data());
                // Nothing comes from the process on a port; it ends when the process closes it.
                while (wire::receive(channel->fd, message)) {
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
                break;
            }
            }
            detachTask(task);
        }
    }
    // The descriptor closes only once nothing can send to it any more, and under the lock stop()
    // takes to shut channels down.
    std::lock_guard lock(m_mutex);
    ::close(channel->fd);
    channel->fd = -1;
    channel->finished.store(true);
}

void KernelServer::serveSession(Channel& channel, const std::shared_ptr<Task>& task)
{
    std::vector<uint8_t> message;
    while (wire::receive(channel.fd, message)) {
        Reader r(message.data(), message.size());
        const Op op = r.op();
        std::vector<uint8_t> answer;
        switch (op) {
        case Op::GetMatchingServices: {
            const Value matching = r.value();
            if (!r.ok() || matching.kind != Value::Kind::Dictionary) {
                answer = reply(kIOReturnBadArgument);
                break;
            }
            auto* dictionary = static_cast<OSDictionary*>(toObject(matching));
            OSIterator* services = IOService::getMatchingServices(dictionary);
            dictionary->release();
            std::vector<EntryRef> named;
            while (auto* service = OSDynamicCast(IOService, services->getNextObject())) {
                named.push_back(task->name(service));
            }
            services->release();
            answer = Writer(Op::Reply).u32(kIOReturnSuccess).entries(named).data();
            break;
        }
        case Op::CopyProperties:
        case Op::CopyProperty: {
            const uint64_t id = r.u64();
            const std::string key = op == Op::CopyProperty ? r.text() : std::string();
            IORegistryEntry* entry = r.ok() ? task->copyEntry(id) : nullptr;
            if (entry == nullptr) {
                answer = reply(kIOReturnBadArgument);
                break;
            }
            auto* service = OSDynamicCast(IOService, entry);
            Value value;
            if (service != nullptr && service->isInactive()) {
                answer = reply(kIOReturnNoDevice); // the device has gone
            } else if (op == Op::CopyProperties) {
                OSDictionary* all = entry->dictionaryWithProperties();
                toValue(all, value, 0);
                all->release();
                answer = Writer(Op::Reply).u32(kIOReturnSuccess).value(value).data();
            } else {
                OSObject* one = entry->copyProperty(key.c_str());
                answer = one != nullptr && toValue(one, value, 0)
                             ? Writer(Op::Reply).u32(kIOReturnSuccess).value(value).data()
                             : reply(kIOReturnNotFound);
                OSSafeReleaseNULL(one);
            }
            entry->release();
            break;
        }
        case Op::SetProperty:
            // Drivers here take no property changes from user space.
            answer = reply(kIOReturnUnsupported);
            break;
        case Op::ConformsTo: {
            const uint64_t id = r.u64();
            const std::string className = r.text(256);
            IORegistryEntry* entry = r.ok() ? task->copyEntry(id) : nullptr;
            if (entry == nullptr) {
                answer = reply(kIOReturnBadArgument);
                break;
            }
            const bool conforms = OSMetaClass::checkMetaCastWithName(className.c_str(), entry) != nullptr;
            entry->release();
            answer = Writer(Op::Reply).u32(kIOReturnSuccess).u8(conforms ? 1 : 0).data();
            break;
        }
        case Op::ChildIterator:
        case Op::ParentIterator: {
            const uint64_t id = r.u64();
            const std::string planeName = r.text(256);
            IORegistryEntry* entry = r.ok() ? task->copyEntry(id) : nullptr;
            if (entry == nullptr) {
                answer = reply(kIOReturnBadArgument);
                break;
            }
            // Only planes the kernel made: a name from outside makes none.
            const IORegistryPlane* plane = IORegistryEntry::findPlane(planeName.c_str());
            if (plane == nullptr) {
                entry->release();
                answer = reply(kIOReturnBadArgument);
                break;
            }
            OSIterator* relatives =
                op == Op::ChildIterator ? entry->getChildIterator(plane) : entry->getParentIterator(plane);
            std::vector<EntryRef> named;
            while (auto* relative = OSDynamicCast(IORegistryEntry, relatives->getNextObject())) {
                named.push_back(task->name(relative));
            }
            relatives->release();
            entry->release();
            answer = Writer(Op::Reply).u32(kIOReturnSuccess).entries(named).data();
            break;
        }
        case Op::AddMatchingNotification:
        case Op::AddInterestNotification: {
            const uint64_t portID = r.u64();
            const uint64_t id = r.u64();
            std::string type;
            Value matching;
            IORegistryEntry* entry = nullptr;
            uint64_t serviceID = 0;
            if (op == Op::AddMatchingNotification) {
                type = r.text(256);
                matching = r.value();
            } else {
                serviceID = r.u64();
                type = r.text(256);
                entry = r.ok() ? task->copyEntry(serviceID) : nullptr;
            }
            auto* service = OSDynamicCast(IOService, entry);
            auto notification = std::make_shared<Notification>();
            notification->server = this;
            notification->task = task;
            notification->id = id;
            notification->service = serviceID;
            bool full = false;
            {
                std::lock_guard lock(task->mutex);
                auto port = task->ports.find(portID);
                // One process may not take a service's listeners for itself.
                const size_t onService =
                    std::count_if(task->notifications.begin(), task->notifications.end(), [&](const auto& n) {
                        return serviceID != 0 && n.second->service == serviceID;
                    });
                full = task->notifications.size() >= kMaximumNotifications ||
                       onService >= kMaximumInterestsPerService;
                if (port != task->ports.end() && task->notifications.count(id) == 0 && !full) {
                    notification->port = port->second;
                }
            }
            if (full) {
                OSSafeReleaseNULL(entry);
                answer = reply(kIOReturnNoResources);
                break;
            }
            const bool good = r.ok() && notification->port &&
                              (op == Op::AddMatchingNotification
                                   ? isMatchingType(type) && matching.kind == Value::Kind::Dictionary
                                   : isInterestType(type) && service != nullptr);
            if (!good) {
                OSSafeReleaseNULL(entry);
                answer = reply(kIOReturnBadArgument);
                break;
            }
            std::vector<EntryRef> existing;
            bool noThread = false; // no delivery thread could be made for the registration
            if (op == Op::AddMatchingNotification) {
                auto* dictionary = static_cast<OSDictionary*>(toObject(matching));
                // Services already registered come back in the reply; the kernel's own delivery
                // of them is then skipped.
                std::lock_guard lock(notification->mutex);
                try {
                    notification->notifier = IOService::addMatchingNotification(
                        platform::iokit::symbolNamed(type.c_str()), dictionary, Notification::matched,
                        notification.get());
                } catch (const std::system_error&) {
                    noThread = true;
                }
                if (notification->notifier != nullptr && isPublishType(type)) {
                    OSIterator* services = IOService::getMatchingServices(dictionary);
                    while (auto* s = OSDynamicCast(IOService, services->getNextObject())) {
                        notification->alreadyNamed.insert(s->getRegistryEntryID());
                        existing.push_back(task->name(s));
                    }
                    services->release();
                }
                dictionary->release();
            } else {
                try {
                    notification->notifier =
                        service->registerInterest(platform::iokit::symbolNamed(type.c_str()),
                                                  Notification::interest, notification.get());
                } catch (const std::system_error&) {
                    noThread = true;
                }
            }
            OSSafeReleaseNULL(entry);
            if (noThread) {
                answer = reply(kIOReturnNoResources);
                break;
            }
            // Services here have no power states of their own: a power-state registration is
            // taken and stays silent.
            const bool silent = op == Op::AddInterestNotification && isPowerStateInterest(type);
            if (notification->notifier == nullptr && !silent) {
                answer = reply(kIOReturnBadArgument);
                break;
            }
            bool portOpen = false;
            {
                std::lock_guard lock(task->mutex);
                // The port may have closed meanwhile; its socket is then gone.
                portOpen = task->ports.count(portID) != 0;
                if (portOpen) {
                    task->notifications[id] = notification;
                }
            }
            if (!portOpen) {
                notification->end();
                for (const auto& e : existing) {
                    task->unname(e.id, 1);
                }
                answer = reply(kIOReturnNotOpen);
                break;
            }
            answer = Writer(Op::Reply).u32(kIOReturnSuccess).entries(existing).data();
            break;
        }
        case Op::RootDomain:
            // The system's power root, whose general interest carries the sleep and wake messages.
            answer = Writer(Op::Reply)
                         .u32(kIOReturnSuccess)
                         .entries({task->name(IOService::getPMRootDomain())})
                         .data();
            break;
        case Op::RemoveNotification: {
            const uint64_t id = r.u64();
            std::shared_ptr<Notification> gone;
            if (r.ok()) {
                std::lock_guard lock(task->mutex);
                if (auto found = task->notifications.find(id); found != task->notifications.end()) {
                    gone = found->second;
                    task->notifications.erase(found);
                }
            }
            if (gone) {
                gone->end();
            }
            answer = reply(gone ? kIOReturnSuccess : kIOReturnBadArgument);
            break;
        }
        case Op::ReleaseObject: {
            const uint64_t id = r.u64();
            const uint32_t count = r.u32();
            if (r.ok()) {
                task->unname(id, count);
            }
            answer = reply(r.ok() ? kIOReturnSuccess : kIOReturnBadArgument);
            break;
        }
        default:
            IOLog("kernel host: process %d sent request %u on its session\n", static_cast<int>(task->pid),
                  static_cast<unsigned>(op));
            answer = reply(kIOReturnUnsupported);
            break;
        }
        if (!wire::send(channel.fd, answer)) {
            return;
        }
    }
}

void KernelServer::serveControl(Channel& channel, uid_t peer)
{
    // The host's devices are its owner's to change.
    const IOReturn admitted = !m_control                        ? kIOReturnUnsupported
                              : peer == 0 || peer == ::getuid() ? kIOReturnSuccess
                                                                : kIOReturnNotPrivileged;
    if (!wire::send(channel.fd, Writer(Op::Reply).u32(static_cast<uint32_t>(admitted)).u64(0).data()) ||
        admitted != kIOReturnSuccess) {
        return;
    }
    std::vector<uint8_t> message;
    while (wire::receive(channel.fd, message)) {
        Reader r(message.data(), message.size());
        const bool isControl = r.op() == Op::Control;
        const uint32_t count = r.u32();
        std::vector<std::string> words;
        for (uint32_t i = 0; i < count && r.ok() && i < 16; ++i) {
            words.push_back(r.text(256));
        }
        std::string text;
        IOReturn status = kIOReturnBadArgument;
        if (isControl && r.ok() && count <= 16) {
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
    IOReturn status = service != nullptr ? m_host.openConnection(service, task->task, type, &connection)
                                         : kIOReturnBadArgument;
    OSSafeReleaseNULL(entry);
    if (!wire::send(channel.fd,
                    Writer(Op::Reply).u32(static_cast<uint32_t>(status)).u64(connection).data()) ||
        status != kIOReturnSuccess) {
        if (status == kIOReturnSuccess) {
            m_host.connectionDied(connection);
        }
        return;
    }
    std::vector<uint8_t> message;
    bool closed = false;
    while (!closed && wire::receive(channel.fd, message)) {
        Reader r(message.data(), message.size());
        const Op op = r.op();
        std::vector<uint8_t> answer;
        int fd = -1;
        switch (op) {
        case Op::CallMethod: {
            const uint32_t selector = r.u32();
            MethodCall call;
            const uint32_t scalars = r.u32();
            if (scalars > wire::kMaximumScalars) {
                answer = reply(kIOReturnBadArgument);
                break;
            }
            for (uint32_t i = 0; i < scalars; ++i) {
                call.scalarInput.push_back(r.u64());
            }
            const std::string_view structure = r.bytes(wire::kMaximumStructure);
            call.structureInput.assign(structure.begin(), structure.end());
            call.scalarOutputCapacity = r.u32();
            call.structureOutputCapacity = r.u32();
            if (!r.ok()) {
                answer = reply(kIOReturnBadArgument);
                break;
            }
            const IOReturn result = m_host.callMethod(connection, selector, call);
            Writer w(Op::Reply);
            w.u32(static_cast<uint32_t>(result)).u32(static_cast<uint32_t>(call.scalarOutput.size()));
            for (uint64_t s : call.scalarOutput) {
                w.u64(s);
            }
            w.bytes(call.structureOutput.data(), call.structureOutput.size());
            answer = w.data();
            break;
        }
        case Op::MapMemory: {
            const uint32_t memoryType = r.u32();
            MappedMemory memory;
            const IOReturn result =
                r.ok() ? m_host.mapMemory(connection, memoryType, &memory) : kIOReturnBadArgument;
            answer = Writer(Op::Reply)
                         .u32(static_cast<uint32_t>(result))
                         .u64(memory.length)
                         .u64(memory.fileOffset)
                         .u64(reinterpret_cast<uintptr_t>(memory.address))
                         .data();
            fd = result == kIOReturnSuccess ? memory.fileDescriptor : -1;
            break;
        }
        case Op::UnmapMemory: {
            const uint32_t memoryType = r.u32();
            const uint64_t address = r.u64();
            answer =
                reply(r.ok() ? m_host.unmapMemory(connection, memoryType,
                                                  reinterpret_cast<void*>(static_cast<uintptr_t>(address)))
                             : kIOReturnBadArgument);
            break;
        }
        case Op::Close:
            answer = reply(m_host.closeConnection(connection));
            closed = true;
            break;
        default:
            answer = reply(kIOReturnUnsupported);
            break;
        }
        if (!wire::send(channel.fd, answer, fd)) {
            break;
        }
    }
    if (!closed) {
        m_host.connectionDied(connection); // the process went away without closing
    }
}

} // namespace kernel_host
