// The audio request protocol from another process: sonvexa-kerneld runs the driver on a simulated
// device, this process opens the device's audio client through the user-side IOKit, configures,
// attaches and detaches with request records, and hears the state changes on its run loop in the
// order the requests caused them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "DriverSM.h"
#include "IOKit/IOKitLib.h"
#include "KernelProcess.h"
#include "OSXDispatch.h"
#include "ProgramRunner.h"
#include "StateChange.h"

namespace {

using namespace std::chrono_literals;

template <class Done>
bool runUntil(Done done, std::chrono::seconds limit = 30s)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.05, true);
    }
    return done();
}

struct Heard
{
    std::vector<QZ_StateChange> changes;
    size_t badSizes = 0;
};

void heard(void* refcon, io_service_t, natural_t type, void* argument)
{
    auto* h = static_cast<Heard*>(refcon);
    if (type != kQzStateChangeMessage) {
        return;
    }
    if (argument == nullptr) {
        ++h->badSizes;
        return;
    }
    QZ_StateChange record{};
    std::memcpy(&record, argument, sizeof record);
    if (record.size != sizeof record) {
        ++h->badSizes;
        return;
    }
    h->changes.push_back(record);
}

uint64_t idOf(const QZ_StateChange& record)
{
    uint64_t id = 0;
    std::memcpy(&id, reinterpret_cast<const uint8_t*>(&record) + offsetof(QZ_StateChange, clientID), sizeof id);
    return id;
}

class Connection
{
public:
    explicit Connection(io_service_t service) { status = IOServiceOpen(service, mach_task_self(), 0, &connect); }
    ~Connection()
    {
        if (connect != 0) {
            IOServiceClose(connect);
        }
    }

    // One request: the record in, the reply back into it.
    IOReturn call(OSXDispatch& record)
    {
        size_t replySize = sizeof record;
        OSXDispatch reply{};
        const IOReturn result =
            IOConnectCallStructMethod(connect, 0, &record, sizeof record, &reply, &replySize);
        if (replySize == sizeof reply) {
            record = reply;
        }
        return result;
    }

    io_connect_t connect = 0;
    kern_return_t status = kIOReturnError;
};

OSXDispatch request(uint32_t code, uint32_t word0 = 0)
{
    OSXDispatch record{};
    record.iReq = code;
    std::memcpy(record.payload, &word0, sizeof word0);
    return record;
}

uint32_t replyWord(const OSXDispatch& record)
{
    uint32_t value = 0;
    std::memcpy(&value, record.payload, sizeof value);
    return value;
}

TEST(RequestProcessTest, ConfigureAttachAndDetachFromAnotherProcessAnnounceInOrder)
{
    test_support::ProgramRunner programs;
    test_support::KernelProcess kernel(programs, KERNELD);
    ASSERT_TRUE(kernel.start({"Kelvra-UC3"}));
    const io_service_t service = kernel.service();

    IONotificationPortRef port = IONotificationPortCreate(kIOMasterPortDefault);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port), kCFRunLoopDefaultMode);
    Heard h;
    io_object_t notification = 0;
    ASSERT_EQ(IOServiceAddInterestNotification(port, service, kIOGeneralInterest, heard, &h, &notification),
              kIOReturnSuccess);

    {
        Connection audio(service);
        ASSERT_EQ(audio.status, kIOReturnSuccess);
        OSXDispatch connect = request(Req_ConnectClient, static_cast<uint32_t>(getpid()));
        ASSERT_EQ(audio.call(connect), kIOReturnSuccess);
        OSXDispatch idRequest = request(Req_getDriverClientID);
        ASSERT_EQ(audio.call(idRequest), kIOReturnSuccess);
        uint64_t id = 0;
        std::memcpy(&id, idRequest.payload, sizeof id);
        ASSERT_NE(id, 0u);

        mach_vm_address_t address = 0;
        mach_vm_size_t size = 0;
        ASSERT_EQ(IOConnectMapMemory64(audio.connect, 1, mach_task_self(), &address, &size, kIOMapAnywhere),
                  kIOReturnSuccess);
        ASSERT_EQ(size, sizeof(DriverSM));
        const auto* sm = reinterpret_cast<const DriverSM*>(address);

        // Request 1 configures the current settings; 6 another rate; 7 the same again: nothing.
        OSXDispatch configure = request(Req_ConfigureDevice);
        ASSERT_EQ(audio.call(configure), kIOReturnSuccess);
        QzChannelSettings settings = sm->mChannelSettings;
        settings.iFrequency = settings.iFrequency == 44100 ? 48000 : 44100;
        OSXDispatch prepare = request(Req_PrepareNewConfigRegular);
        std::memcpy(prepare.payload, &settings, sizeof settings);
        ASSERT_EQ(audio.call(prepare), kIOReturnSuccess);
        EXPECT_EQ(sm->mChannelSettings.iFrequency, settings.iFrequency);
        EXPECT_EQ(sm->mConfigured, 1u);
        OSXDispatch same = request(Req_PrepareNewConfigAnonymous);
        std::memcpy(same.payload, &settings, sizeof settings);
        ASSERT_EQ(audio.call(same), kIOReturnSuccess);

        // Attach refused before the output ring is mapped, then attached and detached.
        OSXDispatch early = request(Req_AttachClient, static_cast<uint32_t>(getpid()));
        early.argument = 512;
        EXPECT_EQ(audio.call(early), kIOReturnNoMemory); // a failed call's reply is not to be read
        mach_vm_address_t ring = 0;
        mach_vm_size_t ringSize = 0;
        ASSERT_EQ(IOConnectMapMemory64(audio.connect, 5, mach_task_self(), &ring, &ringSize, kIOMapAnywhere),
                  kIOReturnSuccess);
        OSXDispatch attach = request(Req_AttachClient, static_cast<uint32_t>(getpid()));
        attach.argument = 512;
        ASSERT_EQ(audio.call(attach), kIOReturnSuccess);
        EXPECT_EQ(replyWord(attach), 0u);
        OSXDispatch twice = request(Req_AttachClient, static_cast<uint32_t>(getpid()));
        EXPECT_EQ(audio.call(twice), kIOReturnBusy);
        OSXDispatch detach = request(Req_DetachClient);
        ASSERT_EQ(audio.call(detach), kIOReturnSuccess);

        const std::vector<uint32_t> expected = {STC_Configured, STC_INITCOMPLETE, STC_Configured, STC_NewConfig,
                                                STC_ClientAttached, STC_ClientDetached};
        ASSERT_TRUE(runUntil([&] { return h.changes.size() >= expected.size(); }));
        std::vector<uint32_t> codes;
        for (const QZ_StateChange& c : h.changes) {
            codes.push_back(c.code);
        }
        EXPECT_EQ(codes, expected);
        EXPECT_EQ(idOf(h.changes[3]), id) << "the new configuration names its client";
        EXPECT_EQ(idOf(h.changes[4]), id);
        EXPECT_EQ(h.changes[4].parameter1, 1u);
        EXPECT_EQ(idOf(h.changes[5]), id);
        EXPECT_EQ(h.changes[5].parameter1, 0u);
        EXPECT_EQ(h.badSizes, 0u);
        IOConnectUnmapMemory64(audio.connect, 5, mach_task_self(), ring);
        IOConnectUnmapMemory64(audio.connect, 1, mach_task_self(), address);
    }

    IOObjectRelease(notification);
    IONotificationPortDestroy(port);
    EXPECT_EQ(kernel.stop(), 0);
}

} // namespace
