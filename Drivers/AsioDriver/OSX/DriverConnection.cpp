#include "DriverConnection.h"

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string>
#include <unistd.h>

#include "VKIOTrace.h"
#include "platform/Log.h"
#include "platform/ProcessEnvironment.h"

namespace {

constexpr uint32_t kDriverSMType = 1;

// The controls record's groups as the connection touches them: the output group at byte 0 of the
// record, the input group after it; each a signed endpoint count and the endpoints, whose first
// 64 bytes are their names.
constexpr size_t kGroupSize = 1'100;
constexpr size_t kGroupCount = 0;
constexpr size_t kFirstEndpointName = 12;
constexpr size_t kEndpointNameSize = 64;

} // namespace

DriverConnection::DriverConnection(io_service_t service, uint32_t type) : m_service(service), m_type(type)
{
    IOObjectRetain(m_service);
    ioOpenConnection();
}

DriverConnection::~DriverConnection()
{
    ioCloseConnection();
    IOObjectRelease(m_service);
}

uint32_t DriverConnection::replyWord(const OSXDispatch& record, uint32_t n)
{
    uint32_t value = 0;
    if (n < kOSXDispatchPayloadSize / 4) {
        std::memcpy(&value, record.payload + 4 * n, sizeof value);
    }
    return value;
}

OSXDispatch DriverConnection::makeRecord(uint32_t word0)
{
    OSXDispatch record{};
    std::memcpy(record.payload, &word0, sizeof word0);
    return record;
}

bool DriverConnection::ioOpenConnection()
{
    VKIOTrace trace(nullptr, 0);
    if (ioIsOpen()) {
        trace.trace("already open");
        return true;
    }
    m_clientID.store(0, std::memory_order_release);
    io_connect_t connection = 0;
    const kern_return_t opened = IOServiceOpen(m_service, mach_task_self(), m_type, &connection);
    if (opened != kIOReturnSuccess) {
        trace.tracex("IOServiceOpen returned", opened);
        return false;
    }
    m_connection = connection;
    OSXDispatch announce = makeRecord(static_cast<uint32_t>(platform::process::pid()));
    callDriver(Req_ConnectClient, announce);
    OSXDispatch identify = makeRecord();
    if (callDriver(Req_getDriverClientID, identify)) {
        uint64_t id = 0;
        std::memcpy(&id, identify.payload, sizeof id);
        m_clientID.store(id, std::memory_order_release);
    }

    mach_vm_address_t address = 0;
    mach_vm_size_t size = 0;
    const kern_return_t mapped =
        IOConnectMapMemory64(m_connection, kDriverSMType, mach_task_self(), &address, &size, kIOMapAnywhere);
    if (mapped != kIOReturnSuccess) {
        platform::syslog(platform::log::kPriorityNotice, "HAL: %s 0x%X\n", "IOConnectMapMemory failed with error",
                         static_cast<unsigned>(mapped));
        ioCloseConnection();
        return false;
    }
    if (size != kDriverSMSize) {
        platform::syslog(platform::log::kPriorityNotice, "HAL: %s 0x%X 0x%X\n", "IOConnectMapMemory size mismatch",
                         static_cast<unsigned>(size), kDriverSMSize);
        IOConnectUnmapMemory64(m_connection, kDriverSMType, mach_task_self(), address);
        ioCloseConnection();
        return false;
    }
    m_pDriverSM = reinterpret_cast<DriverSM*>(address);
    nameSourcelessGroups();
    return true;
}

void DriverConnection::nameSourcelessGroups()
{
    char display[kDriverSMNameSize + 1] = {};
    std::memcpy(display, m_pDriverSM->szDisplayName, kDriverSMNameSize);
    const bool named = platform::process::darwinMajorRelease() >= 12;
    // Input first, then output.
    for (int group : {1, 0}) {
        uint8_t* base = m_pDriverSM->mDeviceControls + static_cast<size_t>(group) * kGroupSize;
        int32_t count = 0;
        std::memcpy(&count, base + kGroupCount, sizeof count);
        if (count != 0) {
            continue;
        }
        count = 1;
        std::memcpy(base + kGroupCount, &count, sizeof count);
        const char* direction = group == 1 ? "Input" : "Output";
        // Cut to fit the field, terminator included.
        const std::string text = named ? std::string(display) + ": " + direction : std::string(direction);
        char name[kEndpointNameSize] = {};
        std::memcpy(name, text.data(), std::min(text.size(), sizeof name - 1));
        std::memcpy(base + kFirstEndpointName, name, sizeof name);
    }
}

void DriverConnection::ioCloseConnection()
{
    VKIOTrace trace(nullptr, 0);
    std::lock_guard lock(m_requestLock);
    if (ioIsOpen()) {
        if (m_pDriverSM != nullptr) {
            IOConnectUnmapMemory64(m_connection, kDriverSMType, mach_task_self(),
                                   reinterpret_cast<mach_vm_address_t>(m_pDriverSM));
            m_pDriverSM = nullptr;
        }
        const kern_return_t closed = IOServiceClose(m_connection);
        m_connection = 0;
        if (closed != kIOReturnSuccess) {
            trace.tracex("IOServiceClose returned", closed);
        }
    } else {
        trace.trace("already closed");
    }
    m_clientID.store(0, std::memory_order_release);
}

bool DriverConnection::callDriver(uint32_t request, OSXDispatch& record)
{
    VKIOTrace trace(nullptr, 0);
    std::lock_guard lock(m_requestLock);
    if (!ioIsOpen()) {
        return false;
    }
    record.iReq = request;
    OSXDispatch reply{};
    size_t replySize = sizeof reply;
    const kern_return_t status =
        IOConnectCallStructMethod(m_connection, m_type == kAudioServerClientType ? 6 : 0, &record, sizeof record,
                                  &reply, &replySize);
    if (replySize == sizeof reply) {
        record = reply;
    }
    if (status != kIOReturnSuccess) {
        platform::syslog(platform::log::kPriorityNotice, "HAL: %s 0x%X\n",
                         "IOConnectMethodStructureIStructureO returned.", static_cast<unsigned>(status));
        return false;
    }
    trace.trace("kMyStructIStructOmethod was successful.");
    return true;
}

bool DriverConnection::callAttach(uint32_t frames, uint32_t processID)
{
    OSXDispatch record = makeRecord(processID);
    record.argument = frames;
    if (!callDriver(Req_AttachClient, record)) {
        m_attachedSlot.store(kNotAttached, std::memory_order_release);
        return false;
    }
    uint32_t slot = 0;
    std::memcpy(&slot, record.payload, sizeof slot);
    m_attachedSlot.store(slot, std::memory_order_release);
    return true;
}

bool DriverConnection::callDetach()
{
    m_attachedSlot.store(kNotAttached, std::memory_order_release);
    OSXDispatch record = makeRecord();
    return callDriver(Req_DetachClient, record);
}
