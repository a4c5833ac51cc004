// Sequences of requests over several channels of one process, against a kernel host served in
// this process on a private socket: sessions, notification ports and user-client connections
// opened and closed in any order, requests of every kind with fields from the input (ids learned
// from earlier replies, so that requests reach real entries), raw messages, and the device
// terminated and published again while requests run. Channels are written without waiting for
// their replies, so the host serves them at the same time. After each input every channel is
// closed: the host must let go of the process (no channel, no process, no connection, no client
// or device object left) within a deadline.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "FuzzInput.h"
#include "IOKit/IOBufferMemoryDescriptor.h"
#include "IOKit/IOUserClient.h"
#include "kernel_host/KernelHost.h"
#include "kernel_host/KernelServer.h"
#include "platform/IOKitWire.h"
#include "platform/Log.h"

namespace {

namespace wire = platform::iokit::wire;
using wire::Op;
using wire::Role;
using wire::Value;
using wire::Writer;

class FuzzServerClient : public IOUserClient
{
    OSDeclareDefaultStructors(FuzzServerClient);

public:
    IOReturn externalMethod(uint32_t selector, IOExternalMethodArguments* arguments, IOExternalMethodDispatch*,
                            OSObject*, void* reference) override
    {
        static IOExternalMethodDispatch rows[] = {
            {&FuzzServerClient::scalars, 2, 0, 1, 0},
            {&FuzzServerClient::variable, 0, kIOUCVariableStructureSize, 0, kIOUCVariableStructureSize},
            {&FuzzServerClient::message, 1, kIOUCVariableStructureSize, 0, 0},
        };
        IOExternalMethodDispatch* row = selector < 3 ? &rows[selector] : nullptr;
        return IOUserClient::externalMethod(selector, arguments, row, this, reference);
    }

    IOReturn clientMemoryForType(UInt32 type, IOOptionBits*, IOMemoryDescriptor** memory) override
    {
        if (type > 1) {
            return kIOReturnBadArgument;
        }
        auto* block = IOBufferMemoryDescriptor::withOptions(kIODirectionInOut, type == 0 ? 4096 : 30'488, 4096);
        if (block == nullptr) {
            return kIOReturnNoMemory;
        }
        *memory = block;
        return kIOReturnSuccess;
    }

    IOReturn clientClose() override
    {
        terminate();
        return kIOReturnSuccess;
    }

private:
    static IOReturn scalars(OSObject*, void*, IOExternalMethodArguments* a)
    {
        if (a->scalarInputCount != 2 || a->scalarOutputCount != 1) {
            std::abort();
        }
        a->scalarOutput[0] = a->scalarInput[0] + a->scalarInput[1];
        return kIOReturnSuccess;
    }
    static IOReturn variable(OSObject*, void*, IOExternalMethodArguments* a)
    {
        const uint32_t n = std::min(a->structureInputSize, a->structureOutputSize);
        if (n > 0) {
            std::memcpy(a->structureOutput, a->structureInput, n);
        }
        a->structureOutputSize = n;
        return kIOReturnSuccess;
    }
    // Sends a message to the device's clients and listeners (interest notifications).
    static IOReturn message(OSObject* target, void*, IOExternalMethodArguments* a)
    {
        auto* self = OSDynamicCast(FuzzServerClient, target);
        IOService* device = self != nullptr ? self->getProvider() : nullptr;
        if (device == nullptr) {
            return kIOReturnNotAttached;
        }
        const auto size = std::min<uint32_t>(a->structureInputSize, kIOMessageArgumentMaximum);
        return device->messageClients(static_cast<UInt32>(a->scalarInput[0]), const_cast<void*>(a->structureInput),
                                      size);
    }
};
OSDefineMetaClassAndStructors(FuzzServerClient, IOUserClient);

class FuzzServerDevice : public IOService
{
    OSDeclareDefaultStructors(FuzzServerDevice);

public:
    IOReturn newUserClient(task_t task, void* securityID, UInt32 type, OSDictionary*,
                           IOUserClient** handler) override
    {
        auto* client = new FuzzServerClient;
        if (!client->initWithTask(task, securityID, type) || !client->attach(this) || !client->start(this)) {
            client->detach(this);
            client->release();
            return kIOReturnError;
        }
        *handler = client;
        return kIOReturnSuccess;
    }
};
OSDefineMetaClassAndStructors(FuzzServerDevice, IOService);

using Input = FuzzInput;

struct Fixture
{
    kernel_host::KernelHost host;
    kernel_host::KernelServer server{host};
    std::string folder;
    std::string socket;
    FuzzServerDevice* device = nullptr; // published, retained

    Fixture()
    {
        platform::log::setDestination(platform::log::Channel::kernel, std::fopen("/dev/null", "w"));
        char pattern[] = "/tmp/kernel-server-fuzz-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            std::abort();
        }
        folder = pattern;
        socket = folder + "/kernel.socket";
        publish();
        std::string error;
        if (!server.listen(socket, &error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::abort();
        }
    }

    void publish()
    {
        device = new FuzzServerDevice;
        device->init(nullptr);
        host.publishProvider(device);
    }

    void unpublish()
    {
        host.removeProvider(device);
        device->release();
        device = nullptr;
    }
};

Fixture& fixture()
{
    static Fixture* f = [] {
        auto* made = new Fixture;
        std::atexit([] {
            // The folder goes with the process; the host and its threads stay (the process ends).
            ::unlink(fixture().socket.c_str());
            ::rmdir(fixture().folder.c_str());
        });
        return made;
    }();
    return *f;
}

// One channel of the fuzzed process.
struct Channel
{
    int fd = -1;
    Role role = Role::Session;
    std::deque<Op> pending; // requests sent and not yet answered, in order
};

constexpr int kChannels = 4;

struct Process
{
    Channel channels[kChannels];
    std::vector<uint64_t> entries; // entry ids the host named
    std::vector<uint64_t> ports;   // port ids the host gave
    std::vector<uint64_t> mapped;  // kernel addresses of mappings

    ~Process()
    {
        for (Channel& c : channels) {
            close(c);
        }
    }

    static void close(Channel& c)
    {
        if (c.fd >= 0) {
            ::close(c.fd);
            c.fd = -1;
        }
        c.pending.clear();
    }

    void remember(std::vector<uint64_t>& list, uint64_t value)
    {
        if (list.size() < 16) {
            list.push_back(value);
        } else {
            list[value % list.size()] = value;
        }
    }

    template <class T> static T pick(const std::vector<T>& list, uint8_t choice, T otherwise)
    {
        return list.empty() || choice == 0xFF ? otherwise : list[choice % list.size()];
    }

    // Reads what the host answered; entries and ports named in answers are remembered.
    void absorb(Channel& c, const std::vector<uint8_t>& message)
    {
        wire::Reader r(message.data(), message.size());
        if (r.op() != Op::Reply) {
            return; // a notification on a port
        }
        const Op answered = c.pending.empty() ? Op::Reply : c.pending.front();
        if (!c.pending.empty()) {
            c.pending.pop_front();
        }
        const uint32_t status = r.u32();
        if (status != 0) {
            return;
        }
        switch (answered) {
        case Op::GetMatchingServices:
        case Op::ChildIterator:
        case Op::ParentIterator:
        case Op::RootDomain:
        case Op::AddMatchingNotification:
            for (const auto& e : r.entries()) {
                remember(entries, e.id);
            }
            break;
        case Op::MapMemory: {
            r.u64();
            r.u64();
            remember(mapped, r.u64());
            break;
        }
        default:
            break;
        }
    }

    // Takes every answer that is there without waiting.
    void drain(Channel& c)
    {
        std::vector<uint8_t> message;
        while (c.fd >= 0) {
            pollfd ready{c.fd, POLLIN, 0};
            if (::poll(&ready, 1, 0) != 1) {
                return;
            }
            int fd = -1;
            if (!wire::receive(c.fd, message, &fd)) {
                close(c);
                return;
            }
            if (fd >= 0) {
                ::close(fd);
            }
            absorb(c, message);
        }
    }

    void drainAll()
    {
        for (Channel& c : channels) {
            drain(c);
        }
    }

    void send(Channel& c, const Writer& w)
    {
        if (c.fd < 0) {
            return;
        }
        if (wire::send(c.fd, w.data(), -1, true)) {
            uint32_t op = 0;
            std::memcpy(&op, w.data().data(), sizeof op);
            c.pending.push_back(static_cast<Op>(op));
        }
    }

    // Opens the channel as `role`; the hello's answer is waited for (bounded).
    void open(Channel& c, Role role, uint64_t service, uint32_t type)
    {
        close(c);
        const std::string& path = fixture().socket;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        c.fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (c.fd < 0 || ::connect(c.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(c);
            return;
        }
        c.role = role;
        Writer hello(Op::Hello);
        hello.u32(static_cast<uint32_t>(role)).text("fuzz");
        if (role == Role::Connection) {
            hello.u64(service).u32(type);
        }
        std::vector<uint8_t> answer;
        pollfd ready{c.fd, POLLIN, 0};
        if (!wire::send(c.fd, hello.data()) || ::poll(&ready, 1, 5000) != 1 || !wire::receive(c.fd, answer)) {
            close(c);
            return;
        }
        wire::Reader r(answer.data(), answer.size());
        r.op();
        const uint32_t status = r.u32();
        const uint64_t id = r.u64();
        if (status != 0) {
            close(c);
        } else if (role == Role::Port) {
            remember(ports, id);
        }
    }
};

const char* const kClasses[] = {"FuzzServerDevice", "IOService", "IOPMrootDomain", "FuzzServerClient"};
const char* const kMatchingTypes[] = {"IOServicePublish", "IOServiceTerminate", "IOServiceFirstMatch", "IOMadeUp"};
const char* const kInterestTypes[] = {"IOGeneralInterest", "IOAppPowerStateInterest", "IOMadeUpInterest"};

Value matchingFor(uint8_t choice)
{
    Value d = Value::dictionary();
    d.entries.emplace_back("IOProviderClass", Value::string(kClasses[choice % 4]));
    return d;
}

// Waits (bounded, in real time) until the host has let go of the process.
bool settled()
{
    Fixture& f = fixture();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (f.server.channelCount() != 0 || f.server.processCount() != 0 || f.host.connectionCount() != 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return f.host.waitQuiet(20'000'000'000ULL) == kIOReturnSuccess;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    Fixture& f = fixture();
    Input in{bytes, size};
    {
        Process p;
        for (int step = 0; step < 64 && !in.empty(); ++step) {
            const uint8_t action = in.take<uint8_t>();
            Channel& c = p.channels[(action >> 5) % kChannels];
            const uint8_t a = in.take<uint8_t>();
            const uint8_t b = in.take<uint8_t>();
            const uint64_t entry = Process::pick(p.entries, a, uint64_t{b});
            const uint64_t port = Process::pick(p.ports, b, uint64_t{a});
            switch (action % 20) {
            case 0:
                p.open(c, Role::Session, 0, 0);
                break;
            case 1:
                p.open(c, Role::Port, 0, 0);
                break;
            case 2:
                p.open(c, Role::Connection, entry, b % 3);
                break;
            case 3:
                Process::close(c);
                break;
            case 4:
                p.send(c, Writer(Op::GetMatchingServices).value(matchingFor(a)));
                break;
            case 5:
                p.send(c, Writer(Op::AddMatchingNotification)
                              .u64(port)
                              .u64(b % 8)
                              .text(kMatchingTypes[a % 4])
                              .value(matchingFor(a >> 2)));
                break;
            case 6:
                p.send(c, Writer(Op::AddInterestNotification).u64(port).u64(b % 8).u64(entry).text(kInterestTypes[a % 3]));
                break;
            case 7:
                p.send(c, Writer(Op::RemoveNotification).u64(b % 8));
                break;
            case 8:
                p.send(c, Writer(Op::ReleaseObject).u64(entry).u32(b % 4));
                break;
            case 9: {
                const Op ops[] = {Op::CopyProperties, Op::CopyProperty, Op::ConformsTo, Op::ChildIterator,
                                  Op::ParentIterator};
                const Op op = ops[b % 5];
                Writer w(op);
                w.u64(entry);
                if (op == Op::CopyProperty) {
                    w.text("IOClass");
                } else if (op == Op::ConformsTo) {
                    w.text(kClasses[a % 4]);
                } else if (op != Op::CopyProperties) {
                    w.text(a % 2 == 0 ? "IOService" : "IOMadeUpPlane");
                }
                p.send(c, w);
                break;
            }
            case 10: {
                const uint32_t selector = a % 5;
                const uint32_t scalars = b % 4;
                Writer w(Op::CallMethod);
                w.u32(selector).u32(scalars);
                for (uint32_t i = 0; i < scalars; ++i) {
                    w.u64(in.take<uint8_t>());
                }
                std::vector<uint8_t> structure(in.take<uint8_t>() % 64, a);
                w.bytes(structure.data(), structure.size()).u32(in.take<uint8_t>() % 4).u32(in.take<uint8_t>() % 128);
                p.send(c, w);
                break;
            }
            case 11:
                p.send(c, Writer(Op::MapMemory).u32(a % 3));
                break;
            case 12:
                p.send(c, Writer(Op::UnmapMemory).u32(a % 3).u64(Process::pick(p.mapped, b, uint64_t{b})));
                break;
            case 13:
                p.send(c, Writer(Op::Close));
                break;
            case 14:
                p.send(c, Writer(Op::RootDomain));
                break;
            case 15:
                p.send(c, Writer(Op::SetProperty).u64(entry));
                break;
            case 16: {
                // Raw bytes, of any length (zero and past the largest message included).
                const size_t length = a == 0xFF ? wire::kMaximumMessage + 1 : a % 48;
                const auto taken = in.takeBytes(length);
                std::vector<uint8_t> raw(taken.begin(), taken.end());
                raw.resize(length, b);
                if (c.fd >= 0) {
                    (void)::send(c.fd, raw.data(), raw.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                }
                break;
            }
            case 17:
                // The device goes (its clients and listeners told) and a new one comes.
                f.unpublish();
                f.publish();
                break;
            case 18:
                p.drainAll();
                break;
            default:
                // The same request on every open channel at once.
                for (Channel& each : p.channels) {
                    p.send(each, Writer(Op::AddMatchingNotification)
                                     .u64(port)
                                     .u64(b % 4)
                                     .text("IOServiceTerminate")
                                     .value(matchingFor(0)));
                }
                break;
            }
            p.drainAll();
        }
    }
    if (!settled()) {
        std::fprintf(stderr, "the kernel host did not let go of the process: %zu channels, %zu processes, %zu "
                             "connections\n",
                     f.server.channelCount(), f.server.processCount(), f.host.connectionCount());
        platform::log::setDestination(platform::log::Channel::kernel, stderr);
        f.server.stop(std::chrono::milliseconds(100)); // logs what still runs
        std::abort();
    }
    // Every client ended with its connection (a message still queued may hold one briefly).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (FuzzServerClient::gMetaClass.getInstanceCount() != 0 || FuzzServerDevice::gMetaClass.getInstanceCount() != 1) {
        if (std::chrono::steady_clock::now() >= deadline) {
            std::fprintf(stderr, "left behind: %u clients, %u devices\n", FuzzServerClient::gMetaClass.getInstanceCount(),
                         FuzzServerDevice::gMetaClass.getInstanceCount());
            std::abort();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return 0;
}
