#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "IOKit/IOKitLib.h"
#include "TestKernel.h"
#include "platform/DispatchQueues.h"
#include "platform/HostClock.h"
#include "platform/IOKitUser.h"
#include "platform/ProcessEnvironment.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr uint32_t kRecordSize = 268;
enum Selector : uint32_t
{
    kRecord,
    kAdd,
    kSleep,
    kMessage,
    kStateChange,
};

// A child process with its standard output on a pipe.
struct Child
{
    pid_t pid = -1;
    int output = -1;

    static Child spawn(const std::vector<std::string>& arguments)
    {
        Child c;
        int pipeFds[2];
        EXPECT_EQ(::pipe(pipeFds), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
        std::vector<char*> argv;
        for (const auto& a : arguments) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&c.pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipeFds[1]);
        c.output = pipeFds[0];
        return c;
    }

    // Output up to the first line end (empty when it ended or took too long).
    std::string line()
    {
        std::string text;
        char ch = 0;
        pollfd ready{output, POLLIN, 0};
        while (::poll(&ready, 1, 20'000) > 0 && ::read(output, &ch, 1) == 1 && ch != '\n') {
            text += ch;
        }
        return text;
    }

    int stop(int signal)
    {
        ::kill(pid, signal);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ::close(output);
        return status;
    }
};

// Waits (in real time) until `done` holds or ten seconds passed.
template <class Done> bool waitUntil(Done done)
{
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    return done();
}

// Runs the current run loop until `done` holds or ten seconds passed.
template <class Done> bool runUntil(Done done)
{
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.05, true);
    }
    return done();
}

class IOKitUserTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string error;
        kernel = user_test::TestKernel::start(socket, 1, &error);
        ASSERT_TRUE(kernel) << error;
        platform::iokit::user::setKernelSocketPath(socket);
    }

    void TearDown() override
    {
        kernel.reset();
        platform::iokit::user::setKernelSocketPath("");
    }

    io_service_t device()
    {
        return IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching("UserTestDevice"));
    }

    io_connect_t open(io_service_t service)
    {
        io_connect_t connection = 0;
        EXPECT_EQ(IOServiceOpen(service, mach_task_self(), 0, &connection), kIOReturnSuccess);
        return connection;
    }

    // A 32-bit number property of the device (-1 when missing).
    int64_t number(io_service_t service, const char* key)
    {
        CFStringRef name = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
        CFTypeRef value = IORegistryEntryCreateCFProperty(service, name, nullptr, 0);
        CFRelease(name);
        SInt64 n = -1;
        if (value != nullptr && CFGetTypeID(value) == CFNumberGetTypeID()) {
            CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt64Type, &n);
        }
        if (value != nullptr) {
            CFRelease(value);
        }
        return n;
    }

    // Waits (in real time) until the property reaches `value`.
    bool waitForNumber(io_service_t service, const char* key, int64_t value)
    {
        return waitUntil([&] { return number(service, key) == value; });
    }

    user_test::TestRoot testRoot;
    const std::string socket = testRoot.socket();
    std::unique_ptr<user_test::TestKernel> kernel;
};

TEST_F(IOKitUserTest, MatchesServicesAndReadsTheirRegistryProperties)
{
    io_iterator_t iterator = 0;
    ASSERT_EQ(
        IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("UserTestDevice"), &iterator),
        kIOReturnSuccess);
    io_service_t service = IOIteratorNext(iterator);
    ASSERT_NE(service, 0u);
    EXPECT_EQ(IOIteratorNext(iterator), 0u);
    IOObjectRelease(iterator);

    io_name_t className;
    ASSERT_EQ(IOObjectGetClass(service, className), kIOReturnSuccess);
    EXPECT_STREQ(className, "UserTestDevice");
    EXPECT_TRUE(IOObjectConformsTo(service, "IOService"));
    EXPECT_FALSE(IOObjectConformsTo(service, "IOUserClient"));
    // One kernel object has one name in the process.
    io_service_t again = device();
    EXPECT_TRUE(IOObjectIsEqualTo(service, again));
    IOObjectRelease(again);

    CFMutableDictionaryRef properties = nullptr;
    ASSERT_EQ(IORegistryEntryCreateCFProperties(service, &properties, kCFAllocatorDefault, 0),
              kIOReturnSuccess);
    auto get = [&](const char* key) {
        CFStringRef k = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
        CFTypeRef v = CFDictionaryGetValue(properties, k);
        CFRelease(k);
        return v;
    };
    auto number32 = [](CFTypeRef v) {
        SInt32 n = -1;
        EXPECT_TRUE(v != nullptr && CFGetTypeID(v) == CFNumberGetTypeID());
        CFNumberGetValue(static_cast<CFNumberRef>(v), kCFNumberSInt32Type, &n);
        return n;
    };
    auto uid = static_cast<CFStringRef>(get("deviceUID"));
    ASSERT_NE(uid, nullptr);
    char text[64];
    CFStringGetCString(uid, text, sizeof text, kCFStringEncodingUTF8);
    EXPECT_STREQ(text, "USB-TEST-1");
    auto mixer = static_cast<CFDictionaryRef>(get("Mixer"));
    ASSERT_TRUE(mixer != nullptr && CFGetTypeID(mixer) == CFDictionaryGetTypeID());
    EXPECT_EQ(number32(CFDictionaryGetValue(mixer, CFSTR("MixerMode"))), 3);
    EXPECT_EQ(number32(CFDictionaryGetValue(mixer, CFSTR("MixerKnob"))), 0xFFFF);
    auto rates = static_cast<CFArrayRef>(get("Rates"));
    ASSERT_TRUE(rates != nullptr && CFGetTypeID(rates) == CFArrayGetTypeID());
    ASSERT_EQ(CFArrayGetCount(rates), 2);
    EXPECT_EQ(number32(CFArrayGetValueAtIndex(rates, 1)), 48000);
    auto registers = static_cast<CFDataRef>(get("Registers"));
    ASSERT_TRUE(registers != nullptr && CFGetTypeID(registers) == CFDataGetTypeID());
    ASSERT_EQ(CFDataGetLength(registers), 8);
    EXPECT_EQ(CFDataGetBytePtr(registers)[7], 8);
    EXPECT_EQ(get("Enabled"), kCFBooleanTrue);
    // The personality's values are properties of the driver too.
    auto specific = static_cast<CFDictionaryRef>(get("QzSpecific"));
    ASSERT_NE(specific, nullptr);
    auto configuration = static_cast<CFDataRef>(CFDictionaryGetValue(specific, CFSTR("kConfigurationData")));
    ASSERT_NE(configuration, nullptr);
    EXPECT_EQ(CFDataGetLength(configuration), 4);

    CFTypeRef one = IORegistryEntryCreateCFProperty(service, CFSTR("deviceUID"), nullptr, 0);
    ASSERT_NE(one, nullptr);
    EXPECT_TRUE(CFEqual(one, uid));
    CFRelease(one);
    CFRelease(properties);
    EXPECT_EQ(IORegistryEntryCreateCFProperty(service, CFSTR("NoSuchKey"), nullptr, 0), nullptr);

    io_iterator_t parents = 0;
    ASSERT_EQ(IORegistryEntryGetParentIterator(service, kIOServicePlane, &parents), kIOReturnSuccess);
    io_registry_entry_t nub = IOIteratorNext(parents);
    ASSERT_EQ(IOObjectGetClass(nub, className), kIOReturnSuccess);
    EXPECT_STREQ(className, "UserTestNub");
    IOObjectRelease(nub);
    IOObjectRelease(parents);

    EXPECT_EQ(IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching("NoSuchClass")), 0u);
    IOObjectRelease(service);
    // A released name is no longer valid.
    EXPECT_EQ(IOObjectRelease(service), kIOReturnBadArgument);
}

TEST_F(IOKitUserTest, CallsStructureAndScalarMethodsWithTheFrameworkChecks)
{
    io_service_t service = device();
    io_connect_t connection = open(service);

    uint8_t record[kRecordSize];
    for (uint32_t i = 0; i < kRecordSize; ++i) {
        record[i] = static_cast<uint8_t>(i);
    }
    size_t size = sizeof record;
    ASSERT_EQ(IOConnectCallStructMethod(connection, kRecord, record, sizeof record, record, &size),
              kIOReturnSuccess);
    EXPECT_EQ(size, kRecordSize);
    EXPECT_EQ(record[0], 0xFF);
    EXPECT_EQ(record[267], static_cast<uint8_t>(~267u));

    const uint64_t in[2] = {40, 2};
    uint64_t out[1] = {};
    uint32_t outCount = 1;
    ASSERT_EQ(IOConnectCallScalarMethod(connection, kAdd, in, 2, out, &outCount), kIOReturnSuccess);
    EXPECT_EQ(outCount, 1u);
    EXPECT_EQ(out[0], 42u);

    struct Case
    {
        const char* what;
        uint32_t selector;
        uint32_t scalarsIn;
        size_t structIn;
        size_t structOut;
        IOReturn expected;
    };
    const Case cases[] = {
        {"short record", kRecord, 0, 267, kRecordSize, kIOReturnBadArgument},
        {"small reply room", kRecord, 0, kRecordSize, 100, kIOReturnBadArgument},
        {"one scalar for two", kAdd, 1, 0, 0, kIOReturnBadArgument},
        {"no such selector", 99, 0, 0, 0, kIOReturnUnsupported},
    };
    for (const auto& c : cases) {
        uint8_t buffer[kRecordSize] = {};
        uint64_t scalars[2] = {1, 2};
        uint64_t result[1] = {};
        uint32_t resultCount = 1;
        size_t outSize = c.structOut;
        EXPECT_EQ(IOConnectCallMethod(connection, c.selector, scalars, c.scalarsIn, buffer, c.structIn,
                                      result, &resultCount, buffer, &outSize),
                  c.expected)
            << c.what;
    }
    // Bounds the process gets wrong never reach the kernel.
    size = 70 * 1024;
    std::vector<uint8_t> huge(size);
    EXPECT_EQ(IOConnectCallStructMethod(connection, kRecord, huge.data(), huge.size(), huge.data(), &size),
              kIOReturnBadArgument);

    EXPECT_EQ(IOServiceClose(connection), kIOReturnSuccess);
    EXPECT_EQ(IOConnectCallScalarMethod(connection, kAdd, in, 2, out, &outCount), kIOReturnBadArgument);
    EXPECT_TRUE(waitForNumber(service, "ClientsClosed", 1));
    EXPECT_EQ(number(service, "ClientsDied"), 0);
    IOObjectRelease(service);
}

TEST_F(IOKitUserTest, MapsMemoryTypesAtTheirExactSizeAndSharesThem)
{
    io_service_t service = device();
    io_connect_t first = open(service);
    io_connect_t second = open(service);

    mach_vm_address_t a = 0;
    mach_vm_address_t b = 0;
    mach_vm_address_t own = 0;
    mach_vm_size_t size = 0;
    ASSERT_EQ(IOConnectMapMemory(first, 1, mach_task_self(), &a, &size, kIOMapAnywhere), kIOReturnSuccess);
    EXPECT_EQ(size, 30'488u);
    ASSERT_EQ(IOConnectMapMemory64(second, 1, mach_task_self(), &b, &size, kIOMapAnywhere), kIOReturnSuccess);
    EXPECT_NE(a, b);
    reinterpret_cast<volatile uint8_t*>(a)[30'487] = 0x77;
    EXPECT_EQ(reinterpret_cast<volatile uint8_t*>(b)[30'487], 0x77);
    ASSERT_EQ(IOConnectMapMemory(first, 5, mach_task_self(), &own, &size, kIOMapAnywhere), kIOReturnSuccess);
    EXPECT_EQ(size, 540'656u);
    mach_vm_address_t none = 0;
    EXPECT_EQ(IOConnectMapMemory(first, 9, mach_task_self(), &none, &size, kIOMapAnywhere),
              kIOReturnNoMemory);

    EXPECT_EQ(IOConnectUnmapMemory(second, 1, mach_task_self(), b), kIOReturnSuccess);
    EXPECT_EQ(IOConnectUnmapMemory(second, 1, mach_task_self(), b), kIOReturnBadArgument);
    IOServiceClose(second);
    IOServiceClose(first);
    // A mapping outlives its connection and the device itself.
    kernel->removeNub();
    reinterpret_cast<volatile uint8_t*>(a)[0] = 1;
    reinterpret_cast<volatile uint8_t*>(own)[540'655] = 2;
    EXPECT_EQ(IOConnectUnmapMemory(first, 1, mach_task_self(), a), kIOReturnBadArgument); // its name has gone
    IOObjectRelease(service);
}

TEST_F(IOKitUserTest, DeliversInterestMessagesOnTheRunLoop)
{
    io_service_t service = device();
    IONotificationPortRef port = IONotificationPortCreate(kIOMasterPortDefault);
    ASSERT_NE(port, nullptr);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port),
                       kCFRunLoopDefaultMode);

    struct Seen
    {
        std::vector<std::pair<natural_t, std::vector<uint8_t>>> messages;
        std::vector<bool> withArgument;
        std::thread::id thread;
        io_service_t service = 0;
    } seen;
    io_object_t notification = 0;
    auto callback = [](void* refcon, io_service_t from, natural_t type, void* argument) {
        auto* s = static_cast<Seen*>(refcon);
        std::vector<uint8_t> bytes;
        if (argument != nullptr) {
            auto* p = static_cast<uint8_t*>(argument);
            bytes.assign(p, p + 36);
        }
        s->messages.emplace_back(type, bytes);
        s->withArgument.push_back(argument != nullptr);
        s->thread = std::this_thread::get_id();
        s->service = from;
    };
    ASSERT_EQ(
        IOServiceAddInterestNotification(port, service, kIOGeneralInterest, callback, &seen, &notification),
        kIOReturnSuccess);

    io_connect_t connection = open(service);
    const uint64_t counter = 7;
    ASSERT_EQ(IOConnectCallScalarMethod(connection, kStateChange, &counter, 1, nullptr, nullptr),
              kIOReturnSuccess);
    const uint64_t sleepType = kIOMessageSystemWillSleep;
    ASSERT_EQ(IOConnectCallMethod(connection, kMessage, &sleepType, 1, nullptr, 0, nullptr, nullptr, nullptr,
                                  nullptr),
              kIOReturnSuccess);
    ASSERT_TRUE(runUntil([&] { return seen.messages.size() >= 2; }));
    EXPECT_EQ(seen.thread, std::this_thread::get_id());
    EXPECT_EQ(seen.service, service);
    EXPECT_EQ(seen.messages[0].first, kIOMessageServicePropertyChange);
    ASSERT_TRUE(seen.withArgument[0]);
    uint32_t words[3];
    std::memcpy(words, seen.messages[0].second.data(), sizeof words);
    EXPECT_EQ(words[0], 36u);
    EXPECT_EQ(words[2], 7u);
    EXPECT_EQ(seen.messages[1].first, kIOMessageSystemWillSleep);
    EXPECT_FALSE(seen.withArgument[1]); // power messages carry no argument
    EXPECT_EQ(number(service, "Counter"), 7);

    // Released, the notification delivers nothing more. A second listener on the same port
    // hears the next message; anything for the first would have come before it.
    IOObjectRelease(notification);
    Seen marker;
    io_object_t markerNotification = 0;
    ASSERT_EQ(IOServiceAddInterestNotification(port, service, kIOGeneralInterest, callback, &marker,
                                               &markerNotification),
              kIOReturnSuccess);
    ASSERT_EQ(IOConnectCallScalarMethod(connection, kStateChange, &counter, 1, nullptr, nullptr),
              kIOReturnSuccess);
    ASSERT_TRUE(runUntil([&] { return marker.messages.size() == 1; }));
    EXPECT_EQ(seen.messages.size(), 2u);
    IOObjectRelease(markerNotification);
    IOServiceClose(connection);
    IONotificationPortDestroy(port);
    IOObjectRelease(service);
}

TEST_F(IOKitUserTest, SystemPowerMessagesArriveWithANullArgument)
{
    struct Seen
    {
        std::vector<natural_t> types;
        bool anyArgument = false;
    } seen;
    auto callback = [](void* refcon, io_service_t, natural_t type, void* argument) {
        auto* s = static_cast<Seen*>(refcon);
        s->types.push_back(type);
        s->anyArgument = s->anyArgument || argument != nullptr;
    };
    IONotificationPortRef port = nullptr;
    io_object_t notifier = 0;
    io_connect_t rootPort = IORegisterForSystemPower(&seen, &port, callback, &notifier);
    ASSERT_NE(rootPort, 0u);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port),
                       kCFRunLoopDefaultMode);
    // A device's power-state interest is taken; the kernel sends nothing on it here.
    io_service_t service = device();
    io_object_t powerState = 0;
    EXPECT_EQ(IOServiceAddInterestNotification(port, service, "IOPriorityPowerStateInterest", callback, &seen,
                                               &powerState),
              kIOReturnSuccess);
    io_object_t unknown = 0;
    EXPECT_EQ(IOServiceAddInterestNotification(port, service, "IONoSuchInterest", callback, &seen, &unknown),
              kIOReturnBadArgument);

    kernel->sleepAndWake();
    ASSERT_TRUE(runUntil([&] { return seen.types.size() >= 2; }));
    EXPECT_EQ(seen.types[0], kIOMessageSystemWillSleep);
    EXPECT_EQ(seen.types[1], kIOMessageSystemHasPoweredOn);
    EXPECT_FALSE(seen.anyArgument);
    EXPECT_EQ(IOAllowPowerChange(rootPort, 0), kIOReturnSuccess);

    IOObjectRelease(powerState);
    EXPECT_EQ(IODeregisterForSystemPower(&notifier), kIOReturnSuccess);
    EXPECT_EQ(IOServiceClose(rootPort), kIOReturnSuccess);
    IONotificationPortDestroy(port);
    IOObjectRelease(service);
}

TEST_F(IOKitUserTest, AnnouncesPublishedAndTerminatedServices)
{
    IONotificationPortRef port = IONotificationPortCreate(kIOMasterPortDefault);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port),
                       kCFRunLoopDefaultMode);
    struct Seen
    {
        int published = 0;
        int terminated = 0;
    } seen;
    auto drain = [](io_iterator_t iterator) {
        int n = 0;
        while (io_object_t s = IOIteratorNext(iterator)) {
            IOObjectRelease(s);
            ++n;
        }
        return n;
    };
    io_iterator_t published = 0;
    io_iterator_t terminated = 0;
    ASSERT_EQ(IOServiceAddMatchingNotification(
                  port, kIOPublishNotification, IOServiceMatching("UserTestDevice"),
                  [](void* refcon, io_iterator_t iterator) {
                      int n = 0;
                      while (io_object_t s = IOIteratorNext(iterator)) {
                          IOObjectRelease(s);
                          ++n;
                      }
                      static_cast<Seen*>(refcon)->published += n;
                  },
                  &seen, &published),
              kIOReturnSuccess);
    ASSERT_EQ(IOServiceAddMatchingNotification(
                  port, kIOTerminatedNotification, IOServiceMatching("UserTestDevice"),
                  [](void* refcon, io_iterator_t iterator) {
                      while (io_object_t s = IOIteratorNext(iterator)) {
                          IOObjectRelease(s);
                          ++static_cast<Seen*>(refcon)->terminated;
                      }
                  },
                  &seen, &terminated),
              kIOReturnSuccess);
    // The services already there come with the iterator, not as a callback.
    EXPECT_EQ(drain(published), 1);
    EXPECT_EQ(drain(terminated), 0);

    kernel->publishNub();
    ASSERT_TRUE(runUntil([&] { return seen.published == 1; }));
    kernel->removeNub();
    ASSERT_TRUE(runUntil([&] { return seen.terminated == 1; }));
    // One more service comes: announced after anything queued before it, so a second
    // announcement of the existing service would be counted by then.
    kernel->publishNub();
    ASSERT_TRUE(runUntil([&] { return seen.published >= 2; }));
    EXPECT_EQ(seen.published, 2); // the existing service was not announced twice
    kernel->removeNub();
    ASSERT_TRUE(runUntil([&] { return seen.terminated == 2; }));

    IOObjectRelease(published);
    IOObjectRelease(terminated);
    IONotificationPortDestroy(port);
}

TEST_F(IOKitUserTest, DeliversOnADispatchQueue)
{
    io_service_t service = device();
    IONotificationPortRef port = IONotificationPortCreate(kIOMasterPortDefault);
    dispatch_queue_t queue = dispatch_queue_create("notifications", nullptr);
    IONotificationPortSetDispatchQueue(port, queue);
    std::atomic<int> received{0};
    io_object_t notification = 0;
    ASSERT_EQ(
        IOServiceAddInterestNotification(
            port, service, kIOGeneralInterest,
            [](void* refcon, io_service_t, natural_t, void*) { ++*static_cast<std::atomic<int>*>(refcon); },
            &received, &notification),
        kIOReturnSuccess);
    io_connect_t connection = open(service);
    for (uint64_t i = 0; i < 5; ++i) {
        ASSERT_EQ(IOConnectCallScalarMethod(connection, kStateChange, &i, 1, nullptr, nullptr),
                  kIOReturnSuccess);
    }
    EXPECT_TRUE(waitUntil([&] { return received.load() == 5; }));
    IOServiceClose(connection);
    IOObjectRelease(notification);
    IONotificationPortDestroy(port);
    dispatch_release(queue);
    IOObjectRelease(service);
}

// A one-shot listener destroys its port from the port's own queue; later messages reach no one.
TEST_F(IOKitUserTest, APortIsDestroyedFromABlockOnItsOwnQueue)
{
    struct Listener
    {
        IONotificationPortRef port = nullptr;
        std::atomic<int> calls{0};
        std::atomic<bool> destroyed{false};
    } listener;
    io_service_t service = device();
    listener.port = IONotificationPortCreate(kIOMasterPortDefault);
    dispatch_queue_t queue = dispatch_queue_create("notifications", nullptr);
    IONotificationPortSetDispatchQueue(listener.port, queue);
    io_object_t notification = 0;
    ASSERT_EQ(IOServiceAddInterestNotification(
                  listener.port, service, kIOGeneralInterest,
                  [](void* refcon, io_service_t, natural_t, void*) {
                      auto* l = static_cast<Listener*>(refcon);
                      if (l->calls.fetch_add(1) == 0) {
                          IONotificationPortDestroy(l->port);
                          l->destroyed = true;
                      }
                  },
                  &listener, &notification),
              kIOReturnSuccess);
    io_connect_t connection = open(service);
    for (uint64_t i = 0; i < 3; ++i) {
        ASSERT_EQ(IOConnectCallScalarMethod(connection, kStateChange, &i, 1, nullptr, nullptr),
                  kIOReturnSuccess);
    }
    ASSERT_TRUE(waitUntil([&] { return listener.destroyed.load(); }));
    platform::dispatch::drain(queue);
    EXPECT_EQ(listener.calls.load(), 1);
    IOServiceClose(connection);
    IOObjectRelease(notification);
    dispatch_release(queue);
    IOObjectRelease(service);
}

TEST_F(IOKitUserTest, ARequestBlockedInTheKernelHoldsUpOnlyItsCaller)
{
    // On the virtual clock the kernel's sleep lasts until the test moves time on.
    platform::host_clock::virtual_clock::Scope clock;
    io_service_t service = device();
    io_connect_t slow = open(service);
    io_connect_t quick = open(service);
    std::atomic<bool> slowDone{false};
    std::thread sleeper([&] {
        const uint64_t milliseconds = 5000;
        EXPECT_EQ(IOConnectCallScalarMethod(slow, kSleep, &milliseconds, 1, nullptr, nullptr),
                  kIOReturnSuccess);
        slowDone = true;
    });
    ASSERT_TRUE(platform::host_clock::virtual_clock::waitForSleepers(1));
    const uint64_t in[2] = {1, 2};
    uint64_t out = 0;
    uint32_t count = 1;
    EXPECT_EQ(IOConnectCallScalarMethod(quick, kAdd, in, 2, &out, &count), kIOReturnSuccess);
    CFMutableDictionaryRef properties = nullptr;
    EXPECT_EQ(IORegistryEntryCreateCFProperties(service, &properties, nullptr, 0), kIOReturnSuccess);
    CFRelease(properties);
    EXPECT_FALSE(slowDone.load());
    platform::host_clock::virtual_clock::advanceBy(5'000'000'000);
    sleeper.join();
    EXPECT_TRUE(slowDone.load());
    IOServiceClose(slow);
    IOServiceClose(quick);
    IOObjectRelease(service);
}

TEST_F(IOKitUserTest, ServesManyClientsAtOnce)
{
    io_service_t service = device();
    constexpr int kClients = 16;
    std::vector<std::thread> clients;
    std::atomic<int> good{0};
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            io_connect_t connection = 0;
            if (IOServiceOpen(service, mach_task_self(), 0, &connection) != kIOReturnSuccess) {
                return;
            }
            bool ok = true;
            for (int i = 0; i < 200 && ok; ++i) {
                uint8_t record[kRecordSize];
                std::memset(record, c + i, sizeof record);
                size_t size = sizeof record;
                ok = IOConnectCallStructMethod(connection, kRecord, record, sizeof record, record, &size) ==
                         kIOReturnSuccess &&
                     record[100] == static_cast<uint8_t>(~(c + i));
            }
            ok = IOServiceClose(connection) == kIOReturnSuccess && ok;
            good += ok ? 1 : 0;
        });
    }
    for (auto& t : clients) {
        t.join();
    }
    EXPECT_EQ(good.load(), kClients);
    EXPECT_TRUE(waitForNumber(service, "ClientsClosed", kClients));
    IOObjectRelease(service);
}

TEST_F(IOKitUserTest, AKilledProcessSharedTheBlockAndItsClientDied)
{
    io_service_t service = device();
    Child child = Child::spawn({TEST_PROCESS, "client", socket});
    ASSERT_EQ(child.line(), "ready");
    // The other process wrote into the device's block; this one sees it through its own mapping.
    io_connect_t connection = open(service);
    mach_vm_address_t address = 0;
    mach_vm_size_t size = 0;
    ASSERT_EQ(IOConnectMapMemory(connection, 1, mach_task_self(), &address, &size, kIOMapAnywhere),
              kIOReturnSuccess);
    EXPECT_EQ(reinterpret_cast<volatile uint8_t*>(address)[100], 0x5A);
    EXPECT_EQ(kernel->processCount(), 2u);

    child.stop(SIGKILL);
    EXPECT_TRUE(waitForNumber(service, "ClientsDied", 1));
    // clientDied closes it as well, just after it counts the death.
    EXPECT_TRUE(waitForNumber(service, "ClientsClosed", 1));
    IOConnectUnmapMemory(connection, 1, mach_task_self(), address);
    IOServiceClose(connection);
    EXPECT_EQ(number(service, "ClientsDied"), 1);

    // A connection whose name is released without a close ends as a death too.
    io_connect_t forgotten = open(service);
    IOObjectRelease(forgotten);
    EXPECT_TRUE(waitForNumber(service, "ClientsDied", 2));
    IOObjectRelease(service);
}

TEST_F(IOKitUserTest, ASlowListenerNeverHoldsUpTheKernel)
{
    io_service_t service = device();
    IONotificationPortRef port = IONotificationPortCreate(kIOMasterPortDefault);
    io_object_t notification = 0;
    // Nobody ever runs this port's source.
    ASSERT_EQ(IOServiceAddInterestNotification(
                  port, service, kIOGeneralInterest, [](void*, io_service_t, natural_t, void*) {}, nullptr,
                  &notification),
              kIOReturnSuccess);
    io_connect_t connection = open(service);
    const uint64_t droppedBefore = kernel->droppedMessages();
    for (uint64_t i = 0; i < 5000; ++i) {
        ASSERT_EQ(IOConnectCallScalarMethod(connection, kStateChange, &i, 1, nullptr, nullptr),
                  kIOReturnSuccess);
    }
    // Every call returned; what the full port could not take was dropped and counted.
    EXPECT_GT(kernel->droppedMessages(), droppedBefore);
    IOServiceClose(connection);
    IOObjectRelease(notification);
    IONotificationPortDestroy(port);
    IOObjectRelease(service);
}

// The kernel host in a process of its own.
TEST(IOKitUserProcessTest, ServesFromAKernelHostProcessUntilItStops)
{
    char pattern[] = "/tmp/iokit-host-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string root = pattern;
    const std::string socket = root + "/kernel.socket";
    user_test::writeTestBundle(root);
    Child server = Child::spawn({TEST_PROCESS, "server", socket, root});
    ASSERT_EQ(server.line(), "ready");
    platform::iokit::user::setKernelSocketPath(socket);

    io_service_t service =
        IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching("UserTestDevice"));
    ASSERT_NE(service, 0u);
    io_connect_t connection = 0;
    ASSERT_EQ(IOServiceOpen(service, mach_task_self(), 0, &connection), kIOReturnSuccess);
    const uint64_t in[2] = {20, 22};
    uint64_t out = 0;
    uint32_t count = 1;
    EXPECT_EQ(IOConnectCallScalarMethod(connection, kAdd, in, 2, &out, &count), kIOReturnSuccess);
    EXPECT_EQ(out, 42u);
    mach_vm_address_t address = 0;
    mach_vm_size_t size = 0;
    ASSERT_EQ(IOConnectMapMemory(connection, 1, mach_task_self(), &address, &size, kIOMapAnywhere),
              kIOReturnSuccess);
    EXPECT_EQ(size, 30'488u);

    EXPECT_EQ(server.stop(SIGTERM), 0);
    EXPECT_EQ(IOConnectCallScalarMethod(connection, kAdd, in, 2, &out, &count), kIOReturnNotResponding);
    reinterpret_cast<volatile uint8_t*>(address)[0] = 1; // the mapping stays valid
    IOConnectUnmapMemory(connection, 1, mach_task_self(), address);
    IOServiceClose(connection);
    IOObjectRelease(service);
    platform::iokit::user::setKernelSocketPath("");
    fs::remove_all(root);
}

} // namespace
