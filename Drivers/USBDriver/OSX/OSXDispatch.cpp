#include "OSXDispatch.h"

#include <algorithm>
#include <cstring>

#include "APIDeviceInfo.h"
#include "AudioSM.h"
#include "DriverData.h"
#include "IOKit/IOLib.h"
#include "StateChange.h"
#include "TimeStampsBuffer.h"
#include "VKDevice.h"
#include "VKKernelDevice.h"
#include "mach/mach_time.h"

uint32_t OSXDispatch::word(uint32_t n) const
{
    uint32_t value = 0;
    if (n < kOSXDispatchPayloadSize / 4) {
        std::memcpy(&value, payload + 4 * n, sizeof value);
    }
    return value;
}

void OSXDispatch::setWord(uint32_t n, uint32_t value)
{
    if (n < kOSXDispatchPayloadSize / 4) {
        std::memcpy(payload + 4 * n, &value, sizeof value);
    }
}

namespace {

constexpr uint32_t kDeviceInfoSize = sizeof(APIDeviceInfo);
constexpr uint32_t kDeviceInfoPages = (kDeviceInfoSize + kDeviceInfoPageSize - 1) / kDeviceInfoPageSize;
// The largest data stage of a control request (wLength).
constexpr uint32_t kMaxControlLength = 0xFFFF;

static_assert(sizeof(QzChannelSettings) <= kOSXDispatchPayloadSize);
static_assert(sizeof(QZ_TimeStampsBufferData) == sizeof(DriverSM::mTimeStamps));

bool isUS366(const VKDevice& device)
{
    return device.hasTrait(vkdevice::kTraitMixerModes);
}

class Dispatcher
{
public:
    Dispatcher(VKKernelDevice& service, VKDevice& device, const OSXDispatchCaller& caller, OSXDispatch& record)
        : m_service(service), m_device(device), m_caller(caller), m_record(record)
    {
    }

    IOReturn run();

    // One handler a request code.
    IOReturn configure();
    IOReturn attach();
    IOReturn detach();
    IOReturn deviceInfoPage();
    IOReturn prepareNewConfigRegular() { return prepareNewConfig(true); }
    IOReturn prepareNewConfigAnonymous() { return prepareNewConfig(false); }
    IOReturn updateMuteStatus();
    IOReturn updateMonitorStatus();
    IOReturn updateVolumeStatus();
    IOReturn controlRequest();
    IOReturn allocatedBandwidth();
    IOReturn freeBandwidth();
    IOReturn canMonitor();
    IOReturn monitorValue();
    IOReturn updateDataSourceSelector();
    IOReturn setHALVersion();
    IOReturn halVersion();
    IOReturn usbVersion();
    IOReturn clientID();
    IOReturn hubCount();
    IOReturn configStatus();
    IOReturn connectClient();
    IOReturn streamBroken1();
    IOReturn streamBroken2();
    IOReturn changeFlags();
    IOReturn reEnumerate();
    IOReturn dispatchStreaming();
    IOReturn routingValue();
    IOReturn setRouting();
    IOReturn setMixerMode();
    IOReturn mixerValues();
    IOReturn setMixerValues();
    IOReturn getTimeStamps();
    IOReturn streamingStarted();
    IOReturn systemSleep();
    IOReturn systemWakeUp();
    IOReturn vendorPort();
    IOReturn unhandled();

private:
    IOReturn prepareNewConfig(bool regular);
    bool audio() const { return m_caller.dispatcher == OSXDispatcher::Audio; }
    // The client the update requests act for: the audio client names itself, the AudioServer
    // client none.
    IOUserClient* actingClient() const { return audio() ? m_caller.client : nullptr; }
    void reply(uint32_t value) { m_record.setWord(0, value); }
    void logServer(const char* name) const
    {
        if (!audio()) {
            IOLog("USB: %s\n", name);
        }
    }

    VKKernelDevice& m_service;
    VKDevice& m_device;
    const OSXDispatchCaller& m_caller;
    OSXDispatch& m_record;
};

// Which clients a request is offered to; the other one's request is unhandled.
enum class Offered : uint8_t
{
    Both,
    AudioOnly,
    AudioServerOnly,
};

struct RequestRow
{
    uint32_t code;
    Offered offered;
    IOReturn (*handler)(Dispatcher&);
};

template <IOReturn (Dispatcher::*Handler)()> IOReturn handle(Dispatcher& dispatcher)
{
    return (dispatcher.*Handler)();
}

constexpr RequestRow kRequests[] = {
    {Req_ConfigureDevice, Offered::Both, &handle<&Dispatcher::configure>},
    {Req_AttachClient, Offered::Both, &handle<&Dispatcher::attach>},
    {Req_DetachClient, Offered::Both, &handle<&Dispatcher::detach>},
    {Req_GetDeviceInfoBlock, Offered::Both, &handle<&Dispatcher::deviceInfoPage>},
    {Req_PrepareNewConfigRegular, Offered::Both, &handle<&Dispatcher::prepareNewConfigRegular>},
    {Req_PrepareNewConfigAnonymous, Offered::Both, &handle<&Dispatcher::prepareNewConfigAnonymous>},
    {Req_UpdateMuteStatus, Offered::Both, &handle<&Dispatcher::updateMuteStatus>},
    {Req_UpdateMonitorStatus, Offered::Both, &handle<&Dispatcher::updateMonitorStatus>},
    {Req_UpdateVolumeStatus, Offered::Both, &handle<&Dispatcher::updateVolumeStatus>},
    {Req_stdOrVendorRequest, Offered::Both, &handle<&Dispatcher::controlRequest>},
    {Req_GetAllocatedBandWidth, Offered::Both, &handle<&Dispatcher::allocatedBandwidth>},
    {Req_GetFreeBandWidth, Offered::Both, &handle<&Dispatcher::freeBandwidth>},
    {Req_GetCanMonitor, Offered::Both, &handle<&Dispatcher::canMonitor>},
    {Req_GetMonitorValue, Offered::Both, &handle<&Dispatcher::monitorValue>},
    {Req_UpdateDataSourceSelector, Offered::Both, &handle<&Dispatcher::updateDataSourceSelector>},
    {Req_SetHALVersion, Offered::Both, &handle<&Dispatcher::setHALVersion>},
    {Req_GetHALVersion, Offered::Both, &handle<&Dispatcher::halVersion>},
    {Req_GetUSBVersion, Offered::Both, &handle<&Dispatcher::usbVersion>},
    {Req_getDriverClientID, Offered::Both, &handle<&Dispatcher::clientID>},
    {Req_GetNumHubs, Offered::Both, &handle<&Dispatcher::hubCount>},
    {Req_getConfigStatus, Offered::Both, &handle<&Dispatcher::configStatus>},
    {Req_ConnectClient, Offered::Both, &handle<&Dispatcher::connectClient>},
    {Req_HandleStreamBroken1, Offered::Both, &handle<&Dispatcher::streamBroken1>},
    {Req_HandleStreamBroken2, Offered::Both, &handle<&Dispatcher::streamBroken2>},
    {Req_GetChangeFlags, Offered::Both, &handle<&Dispatcher::changeFlags>},
    {Req_ReEnumerateDevice, Offered::Both, &handle<&Dispatcher::reEnumerate>},
    {Req_DispatchStreaming, Offered::Both, &handle<&Dispatcher::dispatchStreaming>},
    {Req_GetRoutingValue, Offered::AudioOnly, &handle<&Dispatcher::routingValue>},
    {Req_SetRouting, Offered::AudioOnly, &handle<&Dispatcher::setRouting>},
    {Req_SetMixerMode, Offered::Both, &handle<&Dispatcher::setMixerMode>},
    {Req_GetMixerValues, Offered::Both, &handle<&Dispatcher::mixerValues>},
    {Req_SetMixerValues, Offered::Both, &handle<&Dispatcher::setMixerValues>},
    {Req_GetTimeStamps, Offered::AudioServerOnly, &handle<&Dispatcher::getTimeStamps>},
    {Req_GetStreamingStarted, Offered::AudioServerOnly, &handle<&Dispatcher::streamingStarted>},
    {Req_SystemSleep, Offered::AudioServerOnly, &handle<&Dispatcher::systemSleep>},
    {Req_SystemWakeUp, Offered::AudioServerOnly, &handle<&Dispatcher::systemWakeUp>},
    {Req_OpenAsyncVendorInterface, Offered::AudioOnly, &handle<&Dispatcher::vendorPort>},
    {Req_CloseAsyncVendorInterface, Offered::AudioOnly, &handle<&Dispatcher::vendorPort>},
    {Req_AbortAsyncVendorInterface, Offered::AudioOnly, &handle<&Dispatcher::vendorPort>},
    {Req_VendorAsync_Trigger_Out, Offered::AudioOnly, &handle<&Dispatcher::vendorPort>},
    {Req_VendorAsync_Trigger_In, Offered::AudioOnly, &handle<&Dispatcher::vendorPort>},
};

IOReturn Dispatcher::run()
{
    for (const RequestRow& row : kRequests) {
        if (row.code != m_record.iReq) {
            continue;
        }
        const bool offered = row.offered == Offered::Both || (row.offered == Offered::AudioOnly) == audio();
        return offered ? row.handler(*this) : unhandled();
    }
    return unhandled();
}

IOReturn Dispatcher::detach()
{
    if (!audio()) {
        IOLog("USB: %s\n", "!!!!Req_DetachClient");
    }
    return OSXStopUSBStream(&m_service, m_caller);
}

IOReturn Dispatcher::updateMuteStatus()
{
    m_device.UpdateMuteStatus(actingClient());
    return kIOReturnSuccess;
}

IOReturn Dispatcher::updateMonitorStatus()
{
    if (audio()) {
        m_device.UpdateMonitorStatus(m_record.word(0), m_caller.client);
    } else {
        IOLog("USB: %s\n", "Req_UpdateMonitorStatus");
    }
    return kIOReturnSuccess;
}

IOReturn Dispatcher::updateVolumeStatus()
{
    m_device.UpdateVolumeStatus(m_record.word(0) != 0, actingClient());
    return kIOReturnSuccess;
}

IOReturn Dispatcher::allocatedBandwidth()
{
    logServer("Req_GetAllocatedBandWidth");
    reply(m_service.GetAllocatedBandWidth());
    return kIOReturnSuccess;
}

IOReturn Dispatcher::freeBandwidth()
{
    logServer("Req_GetFreeBandWidth");
    reply(m_service.GetFreeBandWidth());
    return kIOReturnSuccess;
}

IOReturn Dispatcher::canMonitor()
{
    logServer("Req_GetCanMonitor");
    reply(m_device.getCanMonitor() ? 1 : 0);
    return kIOReturnSuccess;
}

IOReturn Dispatcher::monitorValue()
{
    logServer("Req_GetMonitorValue");
    reply(m_device.getMonitorValue());
    return kIOReturnSuccess;
}

IOReturn Dispatcher::updateDataSourceSelector()
{
    logServer("Req_UpdateDataSourceSelector");
    m_device.UpdateDataSourceSelector(actingClient());
    return kIOReturnSuccess;
}

IOReturn Dispatcher::setHALVersion()
{
    logServer("Reg_SetHALversion");
    m_device.setHALVersion(m_record.word(0));
    return kIOReturnSuccess;
}

IOReturn Dispatcher::halVersion()
{
    logServer("Reg_GetHALversion");
    reply(m_device.getHALVersion());
    return kIOReturnSuccess;
}

IOReturn Dispatcher::usbVersion()
{
    logServer("Reg_GetUSBversion");
    reply(m_device.getUSBVersion());
    return kIOReturnSuccess;
}

IOReturn Dispatcher::clientID()
{
    logServer("Req_getDriverClientID");
    const uint64_t id = m_caller.clientID;
    std::memcpy(m_record.payload, &id, sizeof id);
    return kIOReturnSuccess;
}

IOReturn Dispatcher::hubCount()
{
    logServer("Reg_GetNumHubs");
    reply(static_cast<uint32_t>(m_device.mHubCount));
    return kIOReturnSuccess;
}

IOReturn Dispatcher::configStatus()
{
    logServer("Req_getConfigStatus");
    IOLog("Requesting status: 0x%08x\n", m_service.configurationStatus());
    reply(m_service.configurationStatus());
    return kIOReturnSuccess;
}

IOReturn Dispatcher::connectClient()
{
    const auto processID = static_cast<int32_t>(m_record.word(0));
    if (m_caller.processID != nullptr) {
        *m_caller.processID = processID;
    }
    IOLog("*** Connected to client %d ***\n", processID);
    return kIOReturnSuccess;
}

IOReturn Dispatcher::streamBroken1()
{
    logServer("Req_HandleStreamBroken1");
    return m_device.handleStreamBroken(1) ? kIOReturnSuccess : kIOReturnNotPrivileged;
}

IOReturn Dispatcher::streamBroken2()
{
    logServer("Req_HandleStreamBroken2");
    m_device.handleStreamBroken(2);
    return kIOReturnSuccess;
}

IOReturn Dispatcher::changeFlags()
{
    const bool changed = m_device.takeMixerChanged();
    m_record.payload[0] = changed ? 1 : 0;
    m_record.payload[1] = static_cast<uint8_t>(m_device.registers().us366[2] & 0xFF);
    m_record.payload[2] = static_cast<uint8_t>(m_device.registers().mixerMode & 0xFF);
    return kIOReturnSuccess;
}

IOReturn Dispatcher::reEnumerate()
{
    IOLog("ReEnumerateDevice\n");
    if (m_service.usbDevice() == nullptr) {
        return kIOReturnNoDevice;
    }
    m_service.usbDevice()->ReEnumerateDevice(0);
    return kIOReturnSuccess;
}

IOReturn Dispatcher::dispatchStreaming()
{
    QZ_Dispatch command{};
    std::memcpy(&command, m_record.payload, sizeof command);
    const IOReturn status = m_device.onDispatchStreaming(m_caller.client, &command);
    std::memcpy(m_record.payload, &command, sizeof command);
    // The audio client answers 0 whatever the command's status; the AudioServer client passes it on.
    return audio() ? kIOReturnSuccess : status;
}

IOReturn Dispatcher::routingValue()
{
    reply(m_device.getMindprintRoutingValue());
    return kIOReturnSuccess;
}

IOReturn Dispatcher::setRouting()
{
    m_device.UpdateMindprintRouting(m_record.word(0), m_caller.client);
    return kIOReturnSuccess;
}

IOReturn Dispatcher::mixerValues()
{
    const int16_t values[2] = {m_device.registers().mixerBitmap, m_device.registers().mixerKnob};
    std::memcpy(m_record.payload, values, sizeof values);
    return kIOReturnSuccess;
}

IOReturn Dispatcher::streamingStarted()
{
    reply(m_device.streamingStarted() != 0 ? 1 : 0);
    return kIOReturnSuccess;
}

IOReturn Dispatcher::systemSleep()
{
    m_service.systemSleep(true);
    return kIOReturnSuccess;
}

IOReturn Dispatcher::systemWakeUp()
{
    IOLog("Req_SystemWakeUp\n");
    m_service.systemWakeUp();
    return kIOReturnSuccess;
}

IOReturn Dispatcher::vendorPort()
{
    static const char* const kNames[] = {"Req_OpenAsyncVendorInterface\n", nullptr,
                                         "Req_AbortAsyncVendorInterface\n", "Req_VendorAsync_Trigger_Out\n",
                                         "Req_VendorAsync_Trigger_In\n"};
    if (const char* name = kNames[m_record.iReq - Req_OpenAsyncVendorInterface]) {
        IOLog("%s", name);
    }
    // No vendor asynchronous port is built: the device has no port pipe, and the port's answer for
    // that is 2.
    constexpr uint32_t kVendorPortNoPipe = 2;
    reply(kVendorPortNoPipe);
    return kIOReturnSuccess;
}

IOReturn Dispatcher::unhandled()
{
    IOLog("unhandled inStruct->iReq %d\n", static_cast<int>(m_record.iReq));
    return audio() ? kIOReturnBadArgument : kIOReturnSuccess;
}

IOReturn Dispatcher::configure()
{
    // The settings user space left in the shared block, copied into the kernel once and checked
    // there: configuration, start and resume use that copy.
    if (m_device.mpDriverSM != nullptr && !m_device.adoptSharedSettings()) {
        return kIOReturnBadArgument;
    }
    const IOReturn status = m_service.reqConfigureDevice(audio() ? "AudioUserClient->Req_ConfigureDevice"
                                                                 : "AudioServerClient->Req_ConfigureDevice");
    if (status != kIOReturnSuccess) {
        return status;
    }
    m_device.startStreamAfterConfig();
    if (audio()) {
        IOLog("USB: %s\n", "Req_ConfigureDevice: notify clients");
        m_service.messageToClients(STC_INITCOMPLETE, 0, 0, 0);
    }
    return kIOReturnSuccess;
}

IOReturn Dispatcher::attach()
{
    if (!audio()) {
        IOLog("USB: %s 0x%X\n", "!!!!Req_AttachClient", m_record.iReq);
        return kIOReturnSuccess;
    }
    const auto processID = static_cast<int32_t>(m_record.word(0)); // before the reply takes its place
    reply(static_cast<uint32_t>(-1));
    DriverData* table = m_caller.driverData;
    if (table == nullptr) {
        IOLog("USB: %s\n", "no m_pDriverData");
        return kIOReturnNoDevice;
    }
    AudioSM* ring = m_caller.outputRing;
    if (ring == nullptr || m_caller.outputRingSize < sizeof(AudioSM)) {
        IOLog("USB: %s\n", "no memory for audio output");
        return kIOReturnNoMemory;
    }
    if (m_caller.client == nullptr || table->isClientAttached(m_caller.client)) {
        IOLog("USB: %s\n", "already attached");
        return kIOReturnBusy;
    }
    // The ring is laid out for the configured stream, from the kernel's own record of it (the
    // shared block's settings are anyone's): an unconfigured device has none.
    const uint32_t frequency = table->frequency();
    if (m_device.mChosen.configuration == nullptr || frequency == 0) {
        IOLog("USB: %s\n", "not configured");
        return kIOReturnNotReady;
    }
    const uint32_t channels = table->outputChannels() != 0 ? table->outputChannels() : table->inputChannels();
    ring->init(channels, frequency, table->extraBytesPerFrame());
    IOLog("USB: %s\n", "after initIOData, before m_pDriverData->attachClient");
    uint32_t slot = 0;
    if (!table->attachClient(m_caller.client, ring, processID, &slot,
                             m_record.argument)) {
        IOLog("USB: %s\n", "attachClient failed");
        return kIOReturnNotAttached;
    }
    reply(slot);
    m_service.messageToClients(STC_ClientAttached, m_caller.clientID, table->countClients(), 0);
    return kIOReturnSuccess;
}

IOReturn Dispatcher::deviceInfoPage()
{
    const uint32_t page = m_record.word(0);
    const auto* info = reinterpret_cast<const uint8_t*>(m_service.getAPIDeviceInfoPtr());
    // The page is checked before it is multiplied: 256 x page must not wrap.
    if (info == nullptr || page >= kDeviceInfoPages) {
        m_record.iReq = 0;
        return kIOReturnBadArgument;
    }
    const uint32_t offset = page * kDeviceInfoPageSize;
    const uint32_t count = std::min(kDeviceInfoSize - offset, kDeviceInfoPageSize);
    std::memcpy(m_record.payload, info + offset, count);
    m_record.iReq = count;
    return kIOReturnSuccess;
}

IOReturn Dispatcher::prepareNewConfig(bool regular)
{
    if (!audio() && regular) {
        IOLog("@%lld Req_PrepareNewConfigRegular\n", static_cast<long long>(mach_absolute_time() / 1'000'000));
    }
    QzChannelSettings settings{};
    std::memcpy(&settings, m_record.payload, sizeof settings);
    // Checked before anything is stored or stopped.
    if (!m_device.validChannelSettings(settings)) {
        return kIOReturnBadArgument;
    }
    // Both clients name themselves for a regular change.
    IOUserClient* client = regular ? m_caller.client : nullptr;
    if (m_device.onPrepareNewConfig(settings, client, false)) {
        m_device.startStreamAfterConfig();
    }
    return kIOReturnSuccess;
}

IOReturn Dispatcher::controlRequest()
{
    OSXVendorRequest request{};
    std::memcpy(&request, m_record.payload, sizeof request);
    const bool in = request.direction == kVKDirectionIn;
    const bool fieldsValid = (request.direction == kVKDirectionOut || in) &&
                             (request.type == kVKTypeStandard || request.type == kVKTypeClass ||
                              request.type == kVKTypeVendor) &&
                             request.recipient <= kVKRecipientEndpoint;
    // OUT data comes from the record's 128-byte field; IN data of any wLength goes to a buffer of
    // its own, of which at most the field's size is returned.
    if (!fieldsValid || request.length > kMaxControlLength || (!in && request.length > kVendorRequestDataSize)) {
        IOLog("USB: %s 0x%X\n", "mKernelDevice->deviceRequest failed with status", kIOReturnBadArgument);
        return kIOReturnBadArgument;
    }
    const auto wValue = static_cast<UInt16>(request.valueIndex & 0xFFFF);
    const auto wIndex = static_cast<UInt16>(request.valueIndex >> 16);
    UInt32 length = request.length;
    uint8_t* bounce = nullptr;
    void* data = nullptr;
    if (length != 0) {
        if (in) {
            bounce = static_cast<uint8_t*>(IOMalloc(length));
            if (bounce == nullptr) {
                return kIOReturnNoMemory;
            }
            data = bounce;
        } else {
            data = request.data;
        }
    }
    const IOReturn status =
        m_service.deviceRequest(static_cast<UInt8>(request.direction), static_cast<UInt8>(request.type),
                                static_cast<UInt8>(request.recipient), request.bRequest, wValue, wIndex, data, length, 5);
    if (status == kIOReturnSuccess) {
        IOLog("USB: %s %d\n", "mKernelDevice->deviceRequest success with length", static_cast<int>(length));
        if (in && request.length <= kVendorRequestDataSize) {
            const uint32_t copied = std::min<uint32_t>(length, request.length);
            // Without a data stage there is no buffer to copy from.
            if (copied != 0) {
                std::memcpy(m_record.payload + offsetof(OSXVendorRequest, data), bounce, copied);
            }
            std::memcpy(m_record.payload + offsetof(OSXVendorRequest, length), &copied, sizeof copied);
        }
    } else {
        IOLog("USB: %s 0x%X\n", "mKernelDevice->deviceRequest failed with status", status);
    }
    if (bounce != nullptr) {
        IOFree(bounce, request.length);
    }
    return status == kIOReturnSuccess ? kIOReturnSuccess : kIOReturnBadArgument;
}

IOReturn Dispatcher::setMixerMode()
{
    const uint8_t notify = m_record.payload[0];
    const uint8_t mode = m_record.payload[1];
    IOLog("Req_SetMixerMode %d (was %d)\n", mode, static_cast<int>(m_device.registers().mixerMode));
    uint8_t registerValue = 0;
    UInt32 length = 1;
    if (m_service.deviceRequest(kVKDirectionIn, kVKTypeVendor, kVKRecipientDevice, 0x49, 0, 0, &registerValue,
                                length, 5) != kIOReturnSuccess ||
        length < 1) {
        registerValue = 0;
    }
    setMixerModeProperty(m_service, mode);
    uint8_t next = registerValue & ~0x10;
    if (mode == 0) {
        next = registerValue | 0x10;
        m_device.setReadChannels(2, 2);
    } else if (mode == 1 || mode == 2) {
        if (m_device.hasTrait(vkdevice::kTraitMixerModes)) {
            const vkdevice::MixerModeChannels channels = m_device.modelProfile().mixerModeChannels;
            m_device.setReadChannels(channels.in, channels.out);
        }
    }
    IOLog("Req_SetMixerMode: inMode=%d set US366Registers[2] to 0x%02X (was 0x%02X)\n", mode, next,
          m_device.registers().us366[2]);
    m_device.setUS366Register(2, next);
    m_service.setMixerRegister(next);
    if (isUS366(m_device)) {
        m_device.setMixerMode(mode);
        if (notify == 1) {
            m_service.messageToClients(STC_MixerModeChanged, 0, 0, 0);
        }
    }
    return kIOReturnSuccess;
}

IOReturn Dispatcher::setMixerValues()
{
    int16_t values[2] = {};
    std::memcpy(values, m_record.payload, sizeof values);
    m_device.setMixerValues(values[0], values[1]);
    const auto bitmap = static_cast<uint16_t>(values[0]);
    const auto knob = static_cast<uint16_t>(values[1]);
    if (audio()) {
        IOLog("Req_SetMixerValues bitmap %02X knob %02X\n", bitmap, knob);
    } else {
        IOLog("Req_SetMixerValues bitmap %02X (%d) knob %02X (%d)\n", bitmap, bitmap, knob, knob);
    }
    UInt32 length = 0;
    m_service.deviceRequest(kVKDirectionOut, kVKTypeVendor, kVKRecipientDevice, 0x54, knob, bitmap, nullptr, length,
                            5);
    setMixerValuesProperties(m_service, bitmap, knob);
    m_service.messageToClients(STC_MixerValuesChanged, 0, 0, 0);
    return kIOReturnSuccess;
}

IOReturn Dispatcher::getTimeStamps()
{
    DriverData* table = m_device.mpDriverData;
    DriverSM* sm = m_device.mpDriverSM;
    if (table == nullptr || sm == nullptr || table->inputRing().ring() == nullptr) {
        IOLog("Req_GetTimeStamps failed\n");
        return kIOReturnSuccess;
    }
    QZ_TimeStampsBufferData copy{};
    table->inputRing().CopyData(copy);
    std::memcpy(sm->mTimeStamps, &copy, sizeof copy);
    return kIOReturnSuccess;
}

} // namespace

IOReturn OSXDispatchRequest(VKKernelDevice* device, const OSXDispatchCaller& caller, OSXDispatch& record)
{
    if (device == nullptr) {
        IOLog("USB: %s\n", "userDispatch not attached");
        return kIOReturnNotAttached;
    }
    VKDevice* vkDevice = device->device();
    if (vkDevice == nullptr) {
        IOLog("USB: %s\n", "userDispatch not attached (pDevice)");
        return kIOReturnNotAttached;
    }
    return Dispatcher(*device, *vkDevice, caller, record).run();
}

IOReturn OSXStopUSBStream(VKKernelDevice* device, const OSXDispatchCaller& caller)
{
    DriverData* table = caller.driverData;
    if (device == nullptr || table == nullptr) {
        IOLog("USB: %s\n", "no device");
        return kIOReturnNoDevice;
    }
    if (caller.client == nullptr || !table->isClientAttached(caller.client)) {
        IOLog("USB: %s\n", "not attached");
        return kIOReturnNotAttached;
    }
    const IOReturn status = table->detachClient(caller.client);
    if (status != kIOReturnSuccess) {
        return status;
    }
    device->messageToClients(STC_ClientDetached, caller.clientID, table->countClients(), 0);
    return kIOReturnSuccess;
}
