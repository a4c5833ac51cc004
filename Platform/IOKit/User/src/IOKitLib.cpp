#include "IOKit/IOKitLib.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "platform/IOKitUser.h"
#include "platform/ProcessEnvironment.h"

using platform::iokit::wire::EntryRef;
using platform::iokit::wire::Op;
using platform::iokit::wire::Reader;
using platform::iokit::wire::Role;
using platform::iokit::wire::Writer;
namespace wire = platform::iokit::wire;

// One mapping of a memory type into this process.
struct Mapping
{
    uint32_t type;
    uint8_t* address; // what the caller got
    void* base;       // what mmap gave (page aligned)
    size_t length;    // of the mmap
    uint64_t kernelAddress;
};

// A user-client connection: its own socket, so that a call blocked in the kernel holds up only
// this connection.
struct Connection
{
    int fd = -1;
    std::mutex mutex;              // one call at a time
    std::vector<Mapping> mappings; // guarded by mutex; they stay until unmapped

    // A connection whose last name goes without IOServiceClose ends as its process would.
    ~Connection()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

struct IONotificationPort
{
    int fd = -1;
    uint64_t id = 0;
    CFFileDescriptorRef descriptor = nullptr;
    CFRunLoopSourceRef source = nullptr;
    std::thread reader; // with a dispatch queue
    int wake[2] = {-1, -1};
    dispatch_queue_t queue = nullptr;
    // Messages the reader handed to the queue and not yet delivered: the reader waits while too
    // many are, so a slow queue slows the kernel's sends (which then drop) instead of growing.
    std::mutex mutex;
    std::condition_variable delivered;
    size_t queued = 0;     // guarded by mutex
    bool stopping = false; // guarded by mutex
};

namespace {

// Messages a port on a dispatch queue holds there at most.
constexpr size_t kMaximumQueued = 64;

enum class Kind
{
    Entry,
    Iterator,
    Connect,
    Interest,
};

struct Object
{
    Kind kind = Kind::Entry;
    int references = 1;
    // Entry.
    uint64_t id = 0;
    std::string className;
    uint32_t received = 0; // names of it that came from the kernel
    // Iterator: owned references, and for a matching notification its registration.
    std::deque<io_object_t> pending;
    // Iterator of a matching notification, or an interest notification.
    uint64_t notification = 0;
    IONotificationPort* port = nullptr;
    IOServiceMatchingCallback matchingCallback = nullptr;
    IOServiceInterestCallback interestCallback = nullptr;
    void* refCon = nullptr;
    io_service_t service = 0; // interest: retained
    // Connect.
    std::shared_ptr<Connection> connection;
};

class Process
{
public:
    static Process& shared()
    {
        static Process* process = new Process; // lives for the whole process
        return *process;
    }

    std::mutex mutex;
    std::map<io_object_t, Object> objects;      // guarded by mutex
    std::map<uint64_t, io_object_t> entryNames; // guarded by mutex
    std::string socketPath;                     // guarded by mutex
    io_object_t nextName = 0x1003;              // guarded by mutex
    uint64_t nextNotification = 1;              // guarded by mutex

    std::mutex sessionMutex;
    int session = -1; // guarded by sessionMutex

    std::string path()
    {
        std::lock_guard lock(mutex);
        if (!socketPath.empty()) {
            return socketPath;
        }
        if (const char* env = std::getenv(wire::kSocketEnvironment); env != nullptr && *env != '\0') {
            return env;
        }
        return platform::process::rootedPath(wire::kDefaultSocketPath);
    }

    // A new channel of `role`, after the hello; -1 when the kernel host cannot be reached.
    int openChannel(Writer& hello, IOReturn* status, uint64_t* id = nullptr)
    {
        *status = kIOReturnNotResponding;
        const std::string where = path();
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (where.size() >= sizeof address.sun_path) {
            return -1;
        }
        std::memcpy(address.sun_path, where.c_str(), where.size() + 1);
        const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return -1;
        }
        std::vector<uint8_t> reply;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd);
            return -1;
        }
        // A host that refuses the channel (kIOReturnNoResources: too many) answers before it
        // reads the hello: its answer is read even when the hello could not be sent.
        (void)wire::send(fd, hello.data());
        if (!wire::receive(fd, reply)) {
            ::close(fd);
            return -1;
        }
        Reader r(reply.data(), reply.size());
        const bool isReply = r.op() == Op::Reply;
        *status = static_cast<IOReturn>(r.u32());
        const uint64_t channelID = r.u64();
        if (!isReply || !r.ok()) {
            *status = kIOReturnIPCError;
        }
        if (*status != kIOReturnSuccess) {
            ::close(fd);
            return -1;
        }
        if (id != nullptr) {
            *id = channelID;
        }
        return fd;
    }

    static Writer hello(Role role)
    {
        Writer w(Op::Hello);
        w.u32(static_cast<uint32_t>(role)).text(platform::process::name());
        return w;
    }

    // One request on the session; the reply (after its status) in `reply`.
    IOReturn request(const Writer& message, std::vector<uint8_t>& reply)
    {
        std::lock_guard lock(sessionMutex);
        if (session < 0) {
            Writer h = hello(Role::Session);
            IOReturn status = kIOReturnSuccess;
            session = openChannel(h, &status);
            if (session < 0) {
                return status;
            }
        }
        if (!wire::send(session, message.data()) || !wire::receive(session, reply)) {
            ::close(session);
            session = -1;
            return kIOReturnNotResponding;
        }
        return kIOReturnSuccess;
    }

    void dropSession()
    {
        std::lock_guard lock(sessionMutex);
        if (session >= 0) {
            ::close(session);
            session = -1;
        }
    }

    // A name for an entry the kernel named (one reference for the caller).
    io_object_t adopt(const EntryRef& e)
    {
        std::lock_guard lock(mutex);
        if (auto found = entryNames.find(e.id); found != entryNames.end()) {
            Object& o = objects[found->second];
            ++o.references;
            ++o.received;
            return found->second;
        }
        const io_object_t name = nextName++;
        Object o;
        o.kind = Kind::Entry;
        o.id = e.id;
        o.className = e.className;
        o.received = 1;
        objects.emplace(name, std::move(o));
        entryNames[e.id] = name;
        return name;
    }

    io_object_t add(Object o)
    {
        std::lock_guard lock(mutex);
        const io_object_t name = nextName++;
        objects.emplace(name, std::move(o));
        return name;
    }

    kern_return_t release(io_object_t name);
};

// Reads the reply header: the status, and false when the reply is malformed.
IOReturn replyStatus(Reader& r)
{
    const bool isReply = r.op() == Op::Reply;
    const auto status = static_cast<IOReturn>(r.u32());
    return isReply && r.ok() ? status : kIOReturnIPCError;
}

kern_return_t Process::release(io_object_t name)
{
    Object gone;
    {
        std::lock_guard lock(mutex);
        auto found = objects.find(name);
        if (found == objects.end()) {
            return kIOReturnBadArgument;
        }
        if (--found->second.references > 0) {
            return kIOReturnSuccess;
        }
        gone = std::move(found->second);
        objects.erase(found);
        if (gone.kind == Kind::Entry) {
            entryNames.erase(gone.id);
        }
    }
    std::vector<uint8_t> reply;
    switch (gone.kind) {
    case Kind::Entry:
        request(Writer(Op::ReleaseObject).u64(gone.id).u32(gone.received), reply);
        break;
    case Kind::Iterator:
    case Kind::Interest:
        if (gone.notification != 0) {
            request(Writer(Op::RemoveNotification).u64(gone.notification), reply);
        }
        for (io_object_t pending : gone.pending) {
            release(pending);
        }
        if (gone.service != 0) {
            release(gone.service);
        }
        break;
    case Kind::Connect:
        break;
    }
    return kIOReturnSuccess;
}

// The entry id behind a name, or 0.
uint64_t entryID(io_object_t name, std::string* className = nullptr)
{
    auto& p = Process::shared();
    std::lock_guard lock(p.mutex);
    auto found = p.objects.find(name);
    if (found == p.objects.end() || found->second.kind != Kind::Entry) {
        return 0;
    }
    if (className != nullptr) {
        *className = found->second.className;
    }
    return found->second.id;
}

std::shared_ptr<Connection> connectionOf(io_connect_t name)
{
    auto& p = Process::shared();
    std::lock_guard lock(p.mutex);
    auto found = p.objects.find(name);
    if (found == p.objects.end() || found->second.kind != Kind::Connect) {
        return nullptr;
    }
    return found->second.connection;
}

// Sends `request`; the entries of its reply become a new iterator. The kernel counts every
// entry it named, so names not yet taken are settled with it when the iterator goes.
kern_return_t requestIterator(const Writer& request, io_iterator_t* iterator)
{
    auto& p = Process::shared();
    std::vector<uint8_t> reply;
    IOReturn status = p.request(request, reply);
    if (status != kIOReturnSuccess) {
        return status;
    }
    Reader r(reply.data(), reply.size());
    status = replyStatus(r);
    const std::vector<EntryRef> entries = r.entries();
    if (status == kIOReturnSuccess && !r.ok()) {
        status = kIOReturnIPCError;
    }
    if (status != kIOReturnSuccess) {
        return status;
    }
    Object o;
    o.kind = Kind::Iterator;
    for (const auto& e : entries) {
        o.pending.push_back(p.adopt(e));
    }
    *iterator = p.add(std::move(o));
    return kIOReturnSuccess;
}

// Names a notification object and registers it with the kernel by the request made for its
// number; the entries of the reply (services already there) go first into its queue.
kern_return_t registerNotification(Object o, const std::function<Writer(uint64_t)>& request, io_object_t* out)
{
    auto& p = Process::shared();
    uint64_t id = 0;
    io_object_t name = 0;
    {
        std::lock_guard lock(p.mutex);
        id = o.notification = p.nextNotification++;
        name = p.nextName++;
        p.objects.emplace(name, std::move(o));
    }
    std::vector<uint8_t> reply;
    IOReturn status = p.request(request(id), reply);
    std::vector<EntryRef> existing;
    if (status == kIOReturnSuccess) {
        Reader r(reply.data(), reply.size());
        status = replyStatus(r);
        existing = r.entries();
        if (status == kIOReturnSuccess && !r.ok()) {
            status = kIOReturnIPCError;
        }
    }
    std::vector<io_object_t> names;
    for (const auto& e : existing) {
        names.push_back(p.adopt(e));
    }
    {
        std::lock_guard lock(p.mutex);
        Object& mine = p.objects[name];
        mine.pending.insert(mine.pending.begin(), names.begin(), names.end());
        if (status != kIOReturnSuccess) {
            mine.notification = 0; // nothing to remove in the kernel
        }
    }
    if (status != kIOReturnSuccess) {
        p.release(name);
        return status;
    }
    *out = name;
    return kIOReturnSuccess;
}

// Delivers one message from the kernel to the registration it names on `port`.
void deliver(const IONotificationPort* port, const std::vector<uint8_t>& message)
{
    auto& p = Process::shared();
    Reader r(message.data(), message.size());
    const Op op = r.op();
    const uint64_t notification = r.u64();
    if (op == Op::Matched) {
        std::vector<EntryRef> entries = r.entries();
        if (!r.ok()) {
            return;
        }
        std::vector<io_object_t> names;
        for (const auto& e : entries) {
            names.push_back(p.adopt(e));
        }
        IOServiceMatchingCallback callback = nullptr;
        void* refCon = nullptr;
        io_iterator_t iterator = 0;
        {
            std::lock_guard lock(p.mutex);
            for (auto& [name, o] : p.objects) {
                if (o.kind == Kind::Iterator && o.notification == notification && o.port == port) {
                    o.pending.insert(o.pending.end(), names.begin(), names.end());
                    names.clear();
                    callback = o.matchingCallback;
                    refCon = o.refCon;
                    iterator = name;
                    break;
                }
            }
        }
        for (io_object_t n : names) { // the notification was removed meanwhile
            p.release(n);
        }
        if (callback != nullptr) {
            callback(refCon, iterator);
        }
    } else if (op == Op::Interest) {
        const uint32_t type = r.u32();
        const bool hasArgument = r.u8() != 0;
        std::string_view argument = r.bytes(wire::kMaximumArgument);
        if (!r.ok()) {
            return;
        }
        IOServiceInterestCallback callback = nullptr;
        void* refCon = nullptr;
        io_service_t service = 0;
        {
            std::lock_guard lock(p.mutex);
            for (auto& [name, o] : p.objects) {
                if (o.kind == Kind::Interest && o.notification == notification && o.port == port) {
                    callback = o.interestCallback;
                    refCon = o.refCon;
                    service = o.service;
                    break;
                }
            }
        }
        if (callback != nullptr) {
            // The argument is handed out aligned, as the kernel's copy of it was.
            alignas(8) uint8_t copy[wire::kMaximumArgument];
            std::memcpy(copy, argument.data(), argument.size());
            callback(refCon, service, type, hasArgument ? copy : nullptr);
        }
    }
}

// Delivers every message waiting on the port.
void drainPort(IONotificationPort* port)
{
    std::vector<uint8_t> message;
    for (;;) {
        pollfd ready{port->fd, POLLIN, 0};
        if (::poll(&ready, 1, 0) <= 0 || (ready.revents & POLLIN) == 0 || !wire::receive(port->fd, message)) {
            return;
        }
        deliver(port, message);
    }
}

void portReadable(CFFileDescriptorRef descriptor, CFOptionFlags, void* info)
{
    drainPort(static_cast<IONotificationPort*>(info));
    CFFileDescriptorEnableCallBacks(descriptor, kCFFileDescriptorReadCallBack);
}

kern_return_t mapMemory(io_connect_t connect, uint32_t memoryType, mach_vm_address_t* atAddress,
                        mach_vm_size_t* ofSize, IOOptionBits options)
{
    auto connection = connectionOf(connect);
    if (connection == nullptr || atAddress == nullptr || ofSize == nullptr) {
        return kIOReturnBadArgument;
    }
    std::lock_guard lock(connection->mutex);
    if (connection->fd < 0) {
        return kIOReturnNotOpen;
    }
    std::vector<uint8_t> reply;
    int fd = -1;
    if (!wire::send(connection->fd, Writer(Op::MapMemory).u32(memoryType).data()) ||
        !wire::receive(connection->fd, reply, &fd)) {
        return kIOReturnNotResponding;
    }
    Reader r(reply.data(), reply.size());
    IOReturn status = replyStatus(r);
    const uint64_t length = r.u64();
    const uint64_t offset = r.u64();
    const uint64_t kernelAddress = r.u64();
    const bool kernelReadOnly = (r.u32() & 1) != 0;
    if (status == kIOReturnSuccess && (!r.ok() || fd < 0 || length == 0)) {
        status = kIOReturnIPCError;
    }
    if (status != kIOReturnSuccess) {
        if (fd >= 0) {
            ::close(fd);
        }
        return status;
    }
    const auto page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    const uint64_t skip = offset % page;
    const bool readOnly = kernelReadOnly || (options & kIOMapReadOnly) != 0;
    void* base = ::mmap(nullptr, length + skip, readOnly ? PROT_READ : PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                        static_cast<off_t>(offset - skip));
    ::close(fd);
    if (base == MAP_FAILED) {
        wire::send(connection->fd, Writer(Op::UnmapMemory).u32(memoryType).u64(kernelAddress).data());
        wire::receive(connection->fd, reply);
        return kIOReturnNoMemory;
    }
    Mapping m{memoryType, static_cast<uint8_t*>(base) + skip, base, static_cast<size_t>(length + skip),
              kernelAddress};
    connection->mappings.push_back(m);
    *atAddress = reinterpret_cast<uintptr_t>(m.address);
    *ofSize = length;
    return kIOReturnSuccess;
}

kern_return_t unmapMemory(io_connect_t connect, uint32_t memoryType, mach_vm_address_t atAddress)
{
    auto connection = connectionOf(connect);
    if (connection == nullptr) {
        return kIOReturnBadArgument;
    }
    std::lock_guard lock(connection->mutex);
    for (auto it = connection->mappings.begin(); it != connection->mappings.end(); ++it) {
        if (it->type == memoryType && reinterpret_cast<uintptr_t>(it->address) == atAddress) {
            ::munmap(it->base, it->length);
            const uint64_t kernelAddress = it->kernelAddress;
            connection->mappings.erase(it);
            if (connection->fd < 0) {
                return kIOReturnSuccess;
            }
            std::vector<uint8_t> reply;
            if (!wire::send(connection->fd,
                            Writer(Op::UnmapMemory).u32(memoryType).u64(kernelAddress).data()) ||
                !wire::receive(connection->fd, reply)) {
                return kIOReturnNotResponding;
            }
            Reader r(reply.data(), reply.size());
            return replyStatus(r);
        }
    }
    return kIOReturnBadArgument;
}

} // namespace

namespace platform::iokit::user {

std::string kernelSocketPath()
{
    return Process::shared().path();
}

void setKernelSocketPath(const std::string& path)
{
    auto& p = Process::shared();
    {
        std::lock_guard lock(p.mutex);
        p.socketPath = path;
    }
    p.dropSession();
}

} // namespace platform::iokit::user

kern_return_t IOMasterPort(mach_port_t, mach_port_t* masterPort)
{
    if (masterPort != nullptr) {
        *masterPort = kIOMasterPortDefault;
    }
    return kIOReturnSuccess;
}

kern_return_t IOMainPort(mach_port_t bootstrapPort, mach_port_t* mainPort)
{
    return IOMasterPort(bootstrapPort, mainPort);
}

kern_return_t IOObjectRetain(io_object_t object)
{
    auto& p = Process::shared();
    std::lock_guard lock(p.mutex);
    auto found = p.objects.find(object);
    if (found == p.objects.end()) {
        return kIOReturnBadArgument;
    }
    ++found->second.references;
    return kIOReturnSuccess;
}

kern_return_t IOObjectRelease(io_object_t object)
{
    return Process::shared().release(object);
}

kern_return_t IOObjectGetClass(io_object_t object, io_name_t className)
{
    if (className == nullptr) {
        return kIOReturnBadArgument;
    }
    auto& p = Process::shared();
    std::lock_guard lock(p.mutex);
    auto found = p.objects.find(object);
    if (found == p.objects.end()) {
        return kIOReturnBadArgument;
    }
    const char* name = "IOIterator";
    switch (found->second.kind) {
    case Kind::Entry:
        name = found->second.className.c_str();
        break;
    case Kind::Connect:
        name = "IOUserClient";
        break;
    case Kind::Interest:
        name = "IOServiceUserNotification";
        break;
    case Kind::Iterator:
        break;
    }
    std::strncpy(className, name, sizeof(io_name_t) - 1);
    className[sizeof(io_name_t) - 1] = '\0';
    return kIOReturnSuccess;
}

Boolean IOObjectConformsTo(io_object_t object, const io_name_t className)
{
    const uint64_t id = entryID(object);
    if (id == 0 || className == nullptr) {
        return false;
    }
    std::vector<uint8_t> reply;
    if (Process::shared().request(Writer(Op::ConformsTo).u64(id).text(className), reply) !=
        kIOReturnSuccess) {
        return false;
    }
    Reader r(reply.data(), reply.size());
    const IOReturn status = replyStatus(r);
    const bool conforms = r.u8() != 0;
    return status == kIOReturnSuccess && r.ok() && conforms;
}

Boolean IOObjectIsEqualTo(io_object_t object, io_object_t anObject)
{
    return object == anObject;
}

io_object_t IOIteratorNext(io_iterator_t iterator)
{
    auto& p = Process::shared();
    {
        std::lock_guard lock(p.mutex);
        auto found = p.objects.find(iterator);
        if (found == p.objects.end() || found->second.kind != Kind::Iterator) {
            return 0;
        }
        Object& o = found->second;
        if (o.pending.empty()) {
            return 0;
        }
        const io_object_t name = o.pending.front();
        o.pending.pop_front();
        return name;
    }
}

Boolean IOIteratorIsValid(io_iterator_t iterator)
{
    auto& p = Process::shared();
    std::lock_guard lock(p.mutex);
    auto found = p.objects.find(iterator);
    return found != p.objects.end() && found->second.kind == Kind::Iterator;
}

CFMutableDictionaryRef IOServiceMatching(const char* className)
{
    if (className == nullptr) {
        return nullptr;
    }
    CFMutableDictionaryRef matching = CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFStringRef name = CFStringCreateWithCString(kCFAllocatorDefault, className, kCFStringEncodingUTF8);
    CFDictionarySetValue(matching, CFSTR(kIOProviderClassKey), name);
    CFRelease(name);
    return matching;
}

kern_return_t IOServiceGetMatchingServices(mach_port_t, CFDictionaryRef matching, io_iterator_t* existing)
{
    if (existing != nullptr) {
        *existing = 0;
    }
    if (matching == nullptr || existing == nullptr) {
        if (matching != nullptr) {
            CFRelease(matching);
        }
        return kIOReturnBadArgument;
    }
    auto value = platform::iokit::user::wireValue(matching);
    CFRelease(matching);
    if (!value || value->kind != wire::Value::Kind::Dictionary) {
        return kIOReturnBadArgument;
    }
    return requestIterator(Writer(Op::GetMatchingServices).value(*value), existing);
}

io_service_t IOServiceGetMatchingService(mach_port_t masterPort, CFDictionaryRef matching)
{
    io_iterator_t iterator = 0;
    if (IOServiceGetMatchingServices(masterPort, matching, &iterator) != kIOReturnSuccess) {
        return 0;
    }
    const io_service_t first = IOIteratorNext(iterator);
    IOObjectRelease(iterator);
    return first;
}

IONotificationPortRef IONotificationPortCreate(mach_port_t)
{
    auto& p = Process::shared();
    Writer hello = Process::hello(Role::Port);
    IOReturn status = kIOReturnSuccess;
    uint64_t id = 0;
    const int fd = p.openChannel(hello, &status, &id);
    if (fd < 0) {
        return nullptr;
    }
    auto* port = new IONotificationPort;
    port->fd = fd;
    port->id = id;
    return port;
}

void IONotificationPortDestroy(IONotificationPortRef notify)
{
    if (notify == nullptr) {
        return;
    }
    if (notify->source != nullptr) {
        CFRunLoopSourceInvalidate(notify->source);
        CFRelease(notify->source);
    }
    if (notify->descriptor != nullptr) {
        CFFileDescriptorInvalidate(notify->descriptor);
        CFRelease(notify->descriptor);
    }
    if (notify->reader.joinable()) {
        // The reader never waits on the queue, so this may run on it.
        {
            std::lock_guard lock(notify->mutex);
            notify->stopping = true;
        }
        notify->delivered.notify_all();
        const char stop = 1;
        (void)::write(notify->wake[1], &stop, 1);
        notify->reader.join();
        ::close(notify->wake[0]);
        ::close(notify->wake[1]);
    }
    // Messages already queued for its registrations are no longer delivered.
    auto& p = Process::shared();
    {
        std::lock_guard lock(p.mutex);
        for (auto& [name, o] : p.objects) {
            if (o.port == notify) {
                o.port = nullptr;
            }
        }
    }
    if (dispatch_queue_t queue = notify->queue) {
        // Messages the queue still holds reach the port after this; it goes once they are done.
        dispatch_async(queue, [notify] {
            ::close(notify->fd);
            delete notify;
        });
        dispatch_release(queue);
        return;
    }
    ::close(notify->fd);
    delete notify;
}

CFRunLoopSourceRef IONotificationPortGetRunLoopSource(IONotificationPortRef notify)
{
    if (notify == nullptr) {
        return nullptr;
    }
    if (notify->source == nullptr) {
        CFFileDescriptorContext context{0, notify, nullptr, nullptr, nullptr};
        notify->descriptor =
            CFFileDescriptorCreate(kCFAllocatorDefault, notify->fd, false, portReadable, &context);
        CFFileDescriptorEnableCallBacks(notify->descriptor, kCFFileDescriptorReadCallBack);
        notify->source = CFFileDescriptorCreateRunLoopSource(kCFAllocatorDefault, notify->descriptor, 0);
    }
    return notify->source;
}

void IONotificationPortSetDispatchQueue(IONotificationPortRef notify, dispatch_queue_t queue)
{
    if (notify == nullptr || queue == nullptr || notify->reader.joinable() ||
        ::pipe2(notify->wake, O_CLOEXEC) != 0) {
        return;
    }
    dispatch_retain(queue);
    notify->queue = queue;
    // A reader thread takes each message and hands it to the queue; it never waits on the
    // queue itself, so a block there can destroy the port.
    notify->reader = std::thread([notify] {
        std::vector<uint8_t> message;
        for (;;) {
            pollfd fds[2] = {{notify->fd, POLLIN, 0}, {notify->wake[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
                return;
            }
            if (fds[1].revents != 0 || (fds[0].revents & (POLLHUP | POLLERR)) != 0) {
                return;
            }
            if ((fds[0].revents & POLLIN) == 0) {
                continue;
            }
            if (!wire::receive(notify->fd, message)) {
                return;
            }
            {
                std::unique_lock lock(notify->mutex);
                notify->delivered.wait(
                    lock, [notify] { return notify->queued < kMaximumQueued || notify->stopping; });
                if (notify->stopping) {
                    return;
                }
                ++notify->queued;
            }
            dispatch_async(notify->queue, [notify, message] {
                deliver(notify, message);
                {
                    std::lock_guard lock(notify->mutex);
                    --notify->queued;
                }
                notify->delivered.notify_all();
            });
        }
    });
}

kern_return_t IOServiceAddMatchingNotification(IONotificationPortRef notifyPort, const char* notificationType,
                                               CFDictionaryRef matching, IOServiceMatchingCallback callback,
                                               void* refCon, io_iterator_t* notification)
{
    if (notification != nullptr) {
        *notification = 0;
    }
    std::optional<wire::Value> value;
    if (matching != nullptr) {
        value = platform::iokit::user::wireValue(matching);
        CFRelease(matching);
    }
    if (notifyPort == nullptr || notificationType == nullptr || notification == nullptr ||
        callback == nullptr || !value || value->kind != wire::Value::Kind::Dictionary) {
        return kIOReturnBadArgument;
    }
    Object o;
    o.kind = Kind::Iterator;
    o.port = notifyPort;
    o.matchingCallback = callback;
    o.refCon = refCon;
    return registerNotification(
        std::move(o),
        [&](uint64_t id) {
            return Writer(Op::AddMatchingNotification)
                .u64(notifyPort->id)
                .u64(id)
                .text(notificationType)
                .value(*value);
        },
        notification);
}

kern_return_t IOServiceAddInterestNotification(IONotificationPortRef notifyPort, io_service_t service,
                                               const char* interestType, IOServiceInterestCallback callback,
                                               void* refCon, io_object_t* notification)
{
    if (notification != nullptr) {
        *notification = 0;
    }
    const uint64_t id = entryID(service);
    if (notifyPort == nullptr || id == 0 || interestType == nullptr || callback == nullptr ||
        notification == nullptr) {
        return kIOReturnBadArgument;
    }
    Object o;
    o.kind = Kind::Interest;
    o.port = notifyPort;
    o.interestCallback = callback;
    o.refCon = refCon;
    IOObjectRetain(service);
    o.service = service; // released with the notification
    return registerNotification(
        std::move(o),
        [&](uint64_t number) {
            return Writer(Op::AddInterestNotification)
                .u64(notifyPort->id)
                .u64(number)
                .u64(id)
                .text(interestType);
        },
        notification);
}

kern_return_t IOServiceOpen(io_service_t service, task_t, uint32_t type, io_connect_t* connect)
{
    if (connect != nullptr) {
        *connect = 0;
    }
    const uint64_t id = entryID(service);
    if (id == 0 || connect == nullptr) {
        return kIOReturnBadArgument;
    }
    auto& p = Process::shared();
    Writer hello = Process::hello(Role::Connection);
    hello.u64(id).u32(type);
    IOReturn status = kIOReturnSuccess;
    const int fd = p.openChannel(hello, &status);
    if (fd < 0) {
        return status;
    }
    Object o;
    o.kind = Kind::Connect;
    o.connection = std::make_shared<Connection>();
    o.connection->fd = fd;
    *connect = p.add(std::move(o));
    return kIOReturnSuccess;
}

kern_return_t IOServiceClose(io_connect_t connect)
{
    auto connection = connectionOf(connect);
    if (connection == nullptr) {
        return kIOReturnBadArgument;
    }
    IOReturn status = kIOReturnSuccess;
    {
        std::lock_guard lock(connection->mutex);
        if (connection->fd < 0) {
            status = kIOReturnSuccess; // the power connection: nothing in the kernel to close
        } else if (std::vector<uint8_t> reply; wire::send(connection->fd, Writer(Op::Close).data()) &&
                                               wire::receive(connection->fd, reply)) {
            Reader r(reply.data(), reply.size());
            status = replyStatus(r);
        } else {
            status = kIOReturnNotResponding;
        }
        if (connection->fd >= 0) {
            ::close(connection->fd);
            connection->fd = -1;
        }
    }
    // Mappings stay valid until they are unmapped; the name goes with the connection.
    Process::shared().release(connect);
    return status;
}

kern_return_t IOConnectCallMethod(io_connect_t connection, uint32_t selector, const uint64_t* input,
                                  uint32_t inputCount, const void* inputStruct, size_t inputStructCnt,
                                  uint64_t* output, uint32_t* outputCnt, void* outputStruct,
                                  size_t* outputStructCnt)
{
    auto c = connectionOf(connection);
    const uint32_t scalarCapacity = outputCnt != nullptr ? *outputCnt : 0;
    const size_t structCapacity = outputStructCnt != nullptr ? *outputStructCnt : 0;
    if (c == nullptr || inputCount > wire::kMaximumScalars || inputStructCnt > wire::kMaximumStructure ||
        scalarCapacity > wire::kMaximumScalars || structCapacity > wire::kMaximumStructure ||
        (inputCount != 0 && input == nullptr) || (inputStructCnt != 0 && inputStruct == nullptr) ||
        (scalarCapacity != 0 && output == nullptr) || (structCapacity != 0 && outputStruct == nullptr)) {
        return kIOReturnBadArgument;
    }
    Writer w(Op::CallMethod);
    w.u32(selector).u32(inputCount);
    for (uint32_t i = 0; i < inputCount; ++i) {
        w.u64(input[i]);
    }
    w.bytes(inputStruct, inputStructCnt).u32(scalarCapacity).u32(static_cast<uint32_t>(structCapacity));
    std::vector<uint8_t> reply;
    {
        std::lock_guard lock(c->mutex);
        if (c->fd < 0) {
            return kIOReturnNotOpen;
        }
        if (!wire::send(c->fd, w.data()) || !wire::receive(c->fd, reply)) {
            return kIOReturnNotResponding;
        }
    }
    Reader r(reply.data(), reply.size());
    const IOReturn status = replyStatus(r);
    const uint32_t scalars = r.u32();
    if (!r.ok() || scalars > scalarCapacity) {
        return kIOReturnIPCError;
    }
    for (uint32_t i = 0; i < scalars; ++i) {
        output[i] = r.u64();
    }
    std::string_view structure = r.bytes(structCapacity);
    if (!r.ok()) {
        return kIOReturnIPCError;
    }
    if (outputCnt != nullptr) {
        *outputCnt = scalars;
    }
    if (!structure.empty()) {
        std::memcpy(outputStruct, structure.data(), structure.size());
    }
    if (outputStructCnt != nullptr) {
        *outputStructCnt = structure.size();
    }
    return status;
}

kern_return_t IOConnectCallStructMethod(io_connect_t connection, uint32_t selector, const void* inputStruct,
                                        size_t inputStructCnt, void* outputStruct, size_t* outputStructCnt)
{
    return IOConnectCallMethod(connection, selector, nullptr, 0, inputStruct, inputStructCnt, nullptr,
                               nullptr, outputStruct, outputStructCnt);
}

kern_return_t IOConnectCallScalarMethod(io_connect_t connection, uint32_t selector, const uint64_t* input,
                                        uint32_t inputCount, uint64_t* output, uint32_t* outputCnt)
{
    return IOConnectCallMethod(connection, selector, input, inputCount, nullptr, 0, output, outputCnt,
                               nullptr, nullptr);
}

kern_return_t IOConnectMapMemory(io_connect_t connect, uint32_t memoryType, task_t,
                                 mach_vm_address_t* atAddress, mach_vm_size_t* ofSize, IOOptionBits options)
{
    return mapMemory(connect, memoryType, atAddress, ofSize, options);
}

kern_return_t IOConnectMapMemory64(io_connect_t connect, uint32_t memoryType, task_t,
                                   mach_vm_address_t* atAddress, mach_vm_size_t* ofSize, IOOptionBits options)
{
    return mapMemory(connect, memoryType, atAddress, ofSize, options);
}

kern_return_t IOConnectUnmapMemory(io_connect_t connect, uint32_t memoryType, task_t,
                                   mach_vm_address_t atAddress)
{
    return unmapMemory(connect, memoryType, atAddress);
}

kern_return_t IOConnectUnmapMemory64(io_connect_t connect, uint32_t memoryType, task_t,
                                     mach_vm_address_t atAddress)
{
    return unmapMemory(connect, memoryType, atAddress);
}

kern_return_t IORegistryEntryCreateCFProperties(io_registry_entry_t entry, CFMutableDictionaryRef* properties,
                                                CFAllocatorRef, IOOptionBits)
{
    if (properties != nullptr) {
        *properties = nullptr;
    }
    const uint64_t id = entryID(entry);
    if (id == 0 || properties == nullptr) {
        return kIOReturnBadArgument;
    }
    std::vector<uint8_t> reply;
    IOReturn status = Process::shared().request(Writer(Op::CopyProperties).u64(id), reply);
    if (status != kIOReturnSuccess) {
        return status;
    }
    Reader r(reply.data(), reply.size());
    status = replyStatus(r);
    if (status != kIOReturnSuccess) {
        return status;
    }
    const wire::Value value = r.value();
    if (!r.ok() || value.kind != wire::Value::Kind::Dictionary) {
        return kIOReturnIPCError;
    }
    *properties =
        static_cast<CFMutableDictionaryRef>(const_cast<void*>(platform::iokit::user::createCFValue(value)));
    return kIOReturnSuccess;
}

CFTypeRef IORegistryEntryCreateCFProperty(io_registry_entry_t entry, CFStringRef key, CFAllocatorRef,
                                          IOOptionBits)
{
    const uint64_t id = entryID(entry);
    auto name = platform::iokit::user::wireValue(key);
    if (id == 0 || !name || name->kind != wire::Value::Kind::String) {
        return nullptr;
    }
    std::vector<uint8_t> reply;
    if (Process::shared().request(Writer(Op::CopyProperty).u64(id).text(name->bytes), reply) !=
        kIOReturnSuccess) {
        return nullptr;
    }
    Reader r(reply.data(), reply.size());
    if (replyStatus(r) != kIOReturnSuccess) {
        return nullptr;
    }
    const wire::Value value = r.value();
    return r.ok() ? platform::iokit::user::createCFValue(value) : nullptr;
}

kern_return_t IORegistryEntrySetCFProperty(io_registry_entry_t entry, CFStringRef propertyName,
                                           CFTypeRef property)
{
    const uint64_t id = entryID(entry);
    auto name = platform::iokit::user::wireValue(propertyName);
    auto value = platform::iokit::user::wireValue(property);
    if (id == 0 || !name || name->kind != wire::Value::Kind::String || !value) {
        return kIOReturnBadArgument;
    }
    std::vector<uint8_t> reply;
    IOReturn status =
        Process::shared().request(Writer(Op::SetProperty).u64(id).text(name->bytes).value(*value), reply);
    if (status != kIOReturnSuccess) {
        return status;
    }
    Reader r(reply.data(), reply.size());
    return replyStatus(r);
}

namespace {
kern_return_t relatives(Op op, io_registry_entry_t entry, const char* plane, io_iterator_t* iterator)
{
    if (iterator != nullptr) {
        *iterator = 0;
    }
    const uint64_t id = entryID(entry);
    if (id == 0 || plane == nullptr || iterator == nullptr) {
        return kIOReturnBadArgument;
    }
    return requestIterator(Writer(op).u64(id).text(plane), iterator);
}
} // namespace

kern_return_t IORegistryEntryGetChildIterator(io_registry_entry_t entry, const io_name_t plane,
                                              io_iterator_t* iterator)
{
    return relatives(Op::ChildIterator, entry, plane, iterator);
}

kern_return_t IORegistryEntryGetParentIterator(io_registry_entry_t entry, const io_name_t plane,
                                               io_iterator_t* iterator)
{
    return relatives(Op::ParentIterator, entry, plane, iterator);
}

kern_return_t IORegistryEntryGetRegistryEntryID(io_registry_entry_t entry, uint64_t* entryIDOut)
{
    const uint64_t id = entryID(entry);
    if (id == 0 || entryIDOut == nullptr) {
        return kIOReturnBadArgument;
    }
    *entryIDOut = id;
    return kIOReturnSuccess;
}

io_connect_t IORegisterForSystemPower(void* refcon, IONotificationPortRef* thePortRef,
                                      IOServiceInterestCallback callback, io_object_t* notifier)
{
    if (thePortRef == nullptr || notifier == nullptr || callback == nullptr) {
        return 0;
    }
    *thePortRef = nullptr;
    *notifier = 0;
    auto& p = Process::shared();
    std::vector<uint8_t> reply;
    if (p.request(Writer(Op::RootDomain), reply) != kIOReturnSuccess) {
        return 0;
    }
    Reader r(reply.data(), reply.size());
    const IOReturn status = replyStatus(r);
    const std::vector<EntryRef> root = r.entries();
    if (status != kIOReturnSuccess || !r.ok() || root.size() != 1) {
        return 0;
    }
    const io_service_t domain = p.adopt(root[0]);
    IONotificationPortRef port = IONotificationPortCreate(kIOMasterPortDefault);
    if (port == nullptr || IOServiceAddInterestNotification(port, domain, kIOGeneralInterest, callback,
                                                            refcon, notifier) != kIOReturnSuccess) {
        IONotificationPortDestroy(port);
        IOObjectRelease(domain);
        return 0;
    }
    IOObjectRelease(domain); // the notification holds it
    *thePortRef = port;
    Object o;
    o.kind = Kind::Connect;
    o.connection = std::make_shared<Connection>(); // no socket: nothing to call on it
    return p.add(std::move(o));
}

IOReturn IODeregisterForSystemPower(io_object_t* notifier)
{
    if (notifier == nullptr) {
        return kIOReturnBadArgument;
    }
    const IOReturn status = IOObjectRelease(*notifier);
    *notifier = 0;
    return status;
}

IOReturn IOAllowPowerChange(io_connect_t kernelPort, intptr_t)
{
    return connectionOf(kernelPort) != nullptr ? kIOReturnSuccess : kIOReturnBadArgument;
}

IOReturn IOCancelPowerChange(io_connect_t kernelPort, intptr_t)
{
    return connectionOf(kernelPort) != nullptr ? kIOReturnSuccess : kIOReturnBadArgument;
}

kern_return_t IOConnectSetNotificationPort(io_connect_t connect, uint32_t, mach_port_t port, uintptr_t)
{
    if (connectionOf(connect) == nullptr) {
        return kIOReturnBadArgument;
    }
    return port == MACH_PORT_NULL ? kIOReturnSuccess : kIOReturnUnsupported;
}

kern_return_t IOConnectTrap0(io_connect_t connect, uint32_t)
{
    return connectionOf(connect) != nullptr ? kIOReturnUnsupported : kIOReturnBadArgument;
}
