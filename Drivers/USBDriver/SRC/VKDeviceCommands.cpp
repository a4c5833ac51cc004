// The device command set: one handler a command code (0 to 78), each reading its arguments from
// the record and writing its results back into it.
#include "VKDeviceCommands.h"

#include <IOKit/IOLib.h>

#include <algorithm>
#include <cstring>

#include "DriverData.h"
#include "DriverSM.h"
#include "StateChange.h"
#include "VKDevice.h"
#include "VKDeviceOwner.h"
#include "VKIOTrace.h"

namespace {

static_assert(sizeof(QZ_DeviceDescriptor) == 16);
static_assert(sizeof(QZ_Elektron_ConfigAndMap) <= QZ_Dispatch::kBodySize);
static_assert(sizeof(VKDevice::mInputMaxima) == 128);
static_assert(sizeof(VKModelRegisters::wolfson) == kVKWolfsonCodecs * kVKWolfsonRegisters * 2);

constexpr uint32_t kNameField = 256;
constexpr uint32_t kVersionStringField = 16;

// Command 68's bandwidth per direction, by channel count 0 to 8: the device revision (bcdDevice
// below 2, or 2 and above) and whether the direction's resolution is 16 bits.
constexpr uint32_t kElektronMaxChannels = 8;
constexpr uint16_t kElektronBandwidth[2][2][kElektronMaxChannels + 1] = {
    {{54, 250, 250, 446, 446, 642, 642, 838, 838}, {54, 348, 348, 642, 642, 936, 936, 65535, 65535}},
    {{22, 218, 218, 414, 414, 610, 610, 806, 806}, {86, 380, 380, 674, 674, 968, 968, 65535, 65535}},
};
constexpr uint32_t kElektronDirectionLimit = 1023;
constexpr uint32_t kElektronTotalLimit = 1308;
constexpr uint32_t kElektronSegmentLimit = 20;

// The three client slots of the shared block, only 4-byte aligned there.
uint64_t loadSlot(const uint64_t* slot)
{
    uint64_t value = 0;
    std::memcpy(&value, slot, sizeof value);
    return value;
}

void storeSlot(uint64_t* slot, uint64_t value)
{
    std::memcpy(slot, &value, sizeof value);
}

class Commands
{
public:
    Commands(VKDevice& device, VKDeviceOwner& owner, IOUserClient* client, QZ_Dispatch& cmd, VKIOTrace& trace)
        : m_device(device), m_owner(owner), m_client(client), m_cmd(cmd), m_trace(trace)
    {
    }

    IOReturn run();

private:
    bool updateMode() const { return m_device.mFirmwareUpdateMode != 0; }
    QzAqExtData& aq() { return *m_device.getAqExtData(); }
    void publish() { m_owner.setAqExtDataProperty(); }
    void reply(uint32_t value) { m_cmd.setWord(1, value); }
    uint32_t arg() const { return m_cmd.word(1); }

    IOReturn setCurrentConfig();
    IOReturn deviceFlag();
    void digitalStatus();
    void copyName(const char* name);
    IOReturn getSlot(uint64_t* (*slot)(DriverSM&));
    IOReturn setExclusive(uint64_t* (*slot)(DriverSM&));
    IOReturn setPrivateDataClient();
    void enterFirmwareUpdateMode();
    IOReturn deviceRequest();
    void getRouting();
    void setRouting();
    IOReturn getWolfson();
    IOReturn setWolfson();
    void getRegisters();
    void readControlEvents();
    IOReturn elektronMap(bool set);
    IOReturn setElektronConfig();
    IOReturn getElektronConfig();
    void readInputMaxima();
    void systemAudioDevice();
    // The settings now in force as words 1 to 5 (and the map) of command 68 and 69.
    void writeConfigAndMap(const QZ_Elektron_ConfigAndMap& cfg);
    bool configuredFor(const QZ_Elektron_ConfigAndMap& cfg);

    VKDevice& m_device;
    VKDeviceOwner& m_owner;
    IOUserClient* m_client;
    QZ_Dispatch& m_cmd;
    VKIOTrace& m_trace;
};

uint64_t* inputsSlot(DriverSM& sm)
{
    return &sm.mInputsExclusiveClient;
}
uint64_t* outputsSlot(DriverSM& sm)
{
    return &sm.mOutputsExclusiveClient;
}
uint64_t* privateSlot(DriverSM& sm)
{
    return &sm.mPrivateDataClient;
}

IOReturn Commands::run()
{
    switch (m_cmd.uCommand) {
    case 0:
    case 1:
        return kIOReturnSuccess;
    case EQZ_GetDigitalOutSelector:
        reply(aq().DigitalOutSelector);
        return kIOReturnSuccess;
    case EQZ_SetDigitalOutSelector:
        if (!updateMode()) {
            m_device.setDigitalOutSelector(arg());
            publish();
        }
        return kIOReturnSuccess;
    case EQZ_GetEsuCpldByte:
        m_cmd.body[0] = m_device.mEsuCpldByte;
        return kIOReturnSuccess;
    case EQZ_SetEsuCpldByte:
        if (!updateMode()) {
            m_device.setEsuCpldByte(m_cmd.body[0]);
        }
        return kIOReturnSuccess;
    case EQZ_GetCurrentConfig: {
        const QzChannelSettings& s = *m_device.getCurrentSettings();
        const int32_t words[] = {s.iFrequency, s.iInChannels, s.iInResolution, s.iOutChannels, s.iOutResolution};
        for (uint32_t i = 0; i < 5; ++i) {
            m_cmd.setWord(i + 1, static_cast<uint32_t>(words[i]));
        }
        return kIOReturnSuccess;
    }
    case EQZ_SetCurrentConfig:
        return setCurrentConfig();
    case 10:
        reply(3);
        return kIOReturnSuccess;
    case 11:
        reply(arg() * 4);
        return kIOReturnSuccess;
    case 12:
        reply(8);
        return kIOReturnSuccess;
    case 13:
        reply(12);
        return kIOReturnSuccess;
    case EQZ_GetDeviceFlag:
        return deviceFlag();
    case EQZ_GetClockSource:
        reply(aq().ClockSource);
        return kIOReturnSuccess;
    case EQZ_SetClockSource:
        m_trace.trace("EQZ_SetClockSource", static_cast<int>(arg()));
        if (updateMode()) {
            return kIOReturnBadArgument;
        }
        reply(m_device.setClockSource(arg()));
        publish();
        m_device.stcNotify(STC_SampleCkSrcChanged, 0);
        return kIOReturnSuccess;
    case EQZ_GetDigitalStatus:
        digitalStatus();
        return kIOReturnSuccess;
    case EQZ_GetProductName:
        copyName(m_device.mpDriverSM != nullptr ? m_device.mpDriverSM->szProduct : nullptr);
        return kIOReturnSuccess;
    case EQZ_GetDisplayName:
        copyName(m_device.mpDriverSM != nullptr ? m_device.mpDriverSM->szDisplayName : nullptr);
        return kIOReturnSuccess;
    case EQZ_GetIsUSB2Device:
        reply(m_device.isUSB2 != 0 ? 1 : 0);
        return kIOReturnSuccess;
    case EQZ_GetDeviceDescriptor:
        std::memcpy(m_cmd.body, &m_device.mDeviceDescriptor, sizeof(QZ_DeviceDescriptor));
        return kIOReturnSuccess;
    case EQZ_GetDriverVersion:
        IOLog("Driver VKKernelDevice Version: %08X\n", kVKDriverVersion);
        reply(kVKDriverVersion);
        return kIOReturnSuccess;
    case EQZ_GetFirmwareVersion:
        reply(m_device.mFirmwareVersion);
        return kIOReturnSuccess;
    case EQZ_GetFirmwareVersionString: {
        char text[kVersionStringField + 1] = {};
        std::memcpy(text, m_device.mFirmwareVersionString, kVersionStringField);
        IOLog("USB: %s %s\n", "onDispatchStreaming Firmware Version String is", text);
        std::memset(m_cmd.body, 0, kVersionStringField);
        std::memcpy(m_cmd.body, text, strnlen(text, kVersionStringField));
        return kIOReturnSuccess;
    }
    case EQZ_GetUSB1Mode:
        reply(aq().USB1Mode);
        return kIOReturnSuccess;
    case EQZ_SetUSB1Mode:
        reply(m_device.setUSB1Mode(arg()));
        publish();
        return kIOReturnSuccess;
    case EQZ_GetDigitalOutMode:
        reply(aq().DigitalOutMode);
        return kIOReturnSuccess;
    case EQZ_SetDigitalOutMode:
        if (updateMode()) {
            return kIOReturnBadArgument;
        }
        reply(m_device.setDigitalOutMode(arg()));
        publish();
        m_device.stcNotify(STC_DigiOutModeChanged, 0);
        return kIOReturnSuccess;
    case EQZ_GetInputsExclusive:
        return getSlot(inputsSlot);
    case EQZ_SetInputsExclusive:
        return setExclusive(inputsSlot);
    case EQZ_GetOutputsExclusive:
        return getSlot(outputsSlot);
    case EQZ_SetOutputsExclusive:
        return setExclusive(outputsSlot);
    case EQZ_EnterFirmwareUpdateMode:
        enterFirmwareUpdateMode();
        return kIOReturnSuccess;
    case EQZ_DeviceRequest:
        return deviceRequest();
    case EQZ_ReadLevelInfo:
        m_trace.trace("EQZ_ReadLevelInfo");
        IOLog("USB: %s\n", "EQZ_ReadLevelInfo: this driver has no family input engine");
        return kIOReturnUnsupported;
    case EQZ_SendCPortData:
        m_trace.trace("EQZ_SendCPortData");
        IOLog("USB: %s\n", "EQZ_SendCPortData: this driver has no family input engine");
        return kIOReturnBadArgument;
    case EQZ_ResumeStreaming:
        m_trace.trace("EQZ_ResumeStreaming");
        // Only a configured stream that is not running is resumed: a second start of running
        // streams would queue their transfers twice.
        if (m_device.streamingStarted() == 0 && m_device.mChosen.configuration != nullptr) {
            m_device.resumeStreaming();
        }
        return kIOReturnSuccess;
    case EQZ_SuspendStreaming:
        m_trace.trace("EQZ_SuspendStreaming");
        reply(m_device.suspendStreaming() ? 1 : 0);
        return kIOReturnSuccess;
    case EQZ_GetRouting:
        getRouting();
        return kIOReturnSuccess;
    case EQZ_SetRouting:
        setRouting();
        return kIOReturnSuccess;
    case EQZ_GetWMCodecValues:
        return getWolfson();
    case EQZ_SetWMCodecValues:
        return setWolfson();
    case EQZ_GetHogID:
        m_trace.trace("EQZ_GetHogID", m_device.mHogID);
        reply(static_cast<uint32_t>(m_device.mHogID));
        return kIOReturnSuccess;
    case EQZ_SetHogID:
        m_trace.trace("EQZ_SetHogID", static_cast<int>(arg()));
        m_device.mHogID = static_cast<int32_t>(arg());
        IOLog("EQZ_SetHogID %d\n", m_device.mHogID);
        m_device.stcNotify(STC_HOGMODECHANGED, 0);
        return kIOReturnSuccess;
    case EQZ_GetRequestStatus:
        IOLog("Requesting status: 0x%08x\n", m_owner.configurationStatus());
        reply(m_owner.configurationStatus());
        return kIOReturnSuccess;
    case EQZ_Get_Registers:
        getRegisters();
        return kIOReturnSuccess;
    case EQZ_ReadControlEvents:
        readControlEvents();
        return kIOReturnSuccess;
    case EQZ_GetDriverVersionString: {
        IOLog("Driver VKKernelDevice Version: %s\n", kVKDriverVersionString);
        std::memset(m_cmd.body, 0, kVersionStringField);
        std::memcpy(m_cmd.body, kVKDriverVersionString, std::strlen(kVKDriverVersionString));
        return kIOReturnSuccess;
    }
    case EQZ_Get_ElektronChannelMap:
        return elektronMap(false);
    case EQZ_Set_ElektronChannelMap:
        return elektronMap(true);
    case EQZ_Get_ElektronDeviceUID:
        std::memcpy(m_cmd.body, m_device.ElektronUID, sizeof m_device.ElektronUID);
        return kIOReturnSuccess;
    case EQZ_Set_Elektron_ConfigAndChannelMap:
        return setElektronConfig();
    case EQZ_Get_Elektron_ConfigAndChannelMap:
        return getElektronConfig();
    case EQZ_Get_ElektronDeviceName:
        std::memcpy(m_cmd.body, m_device.ElektronDeviceName, sizeof m_device.ElektronDeviceName);
        m_cmd.body[sizeof m_device.ElektronDeviceName] = 0;
        return kIOReturnSuccess;
    case EQZ_Set_ElektronDeviceName:
        m_cmd.body[QZ_Dispatch::kBodySize - 1] = 0;
        return m_device.setElektronDeviceName(reinterpret_cast<const char*>(m_cmd.body));
    case EQZ_ReadInputMaxima:
        readInputMaxima();
        return kIOReturnSuccess;
    case EQZ_Set_ElektronSystemAudioDevice:
        systemAudioDevice();
        return kIOReturnSuccess;
    case EQZ_ReEnumerateDevice:
        IOLog("EQZ_ReEnumerateDevice\n");
        m_owner.reEnumerateDevice();
        return kIOReturnSuccess;
    case EQZ_GetPrivateDataClient:
        return getSlot(privateSlot);
    case EQZ_SetPrivateDataClient:
        return setPrivateDataClient();
    default:
        // 6, 7, 46, 47, 50 to 62, 64, 74, 75: no entry.
        return kIOReturnBadArgument;
    }
}

IOReturn Commands::setCurrentConfig()
{
    if (updateMode()) {
        return kIOReturnSuccess;
    }
    if (m_device.mpDriverSM == nullptr) {
        return kIOReturnIOError;
    }
    QzChannelSettings settings{};
    settings.iFrequency = static_cast<int32_t>(m_cmd.word(1));
    settings.iInChannels = static_cast<int32_t>(m_cmd.word(2));
    settings.iInResolution = static_cast<int32_t>(m_cmd.word(3));
    settings.iOutChannels = static_cast<int32_t>(m_cmd.word(4));
    settings.iOutResolution = static_cast<int32_t>(m_cmd.word(5));
    settings.uConfiguration = 0;
    // Settings no stream can carry are refused before the stream is touched.
    if (!m_device.validChannelSettings(settings)) {
        return kIOReturnBadArgument;
    }
    *m_device.getCurrentSettings() = settings;
    m_device.mirrorSettings();
    if (m_owner.reqConfigureDevice("VkDevice::dispatch->EQZ_SetCurrentConfig") != kIOReturnSuccess) {
        return kIOReturnIOError;
    }
    m_device.startStreamAfterConfig();
    return kIOReturnSuccess;
}

IOReturn Commands::deviceFlag()
{
    const DeviceSpecificData& d = m_device.mDeviceSpecific;
    switch (arg()) {
    case 0: reply(d.mFlagA); return kIOReturnSuccess;
    case 1: reply(d.mFlagB); return kIOReturnSuccess;
    case 2: reply(d.mFlagC); return kIOReturnSuccess;
    default: return kIOReturnBadArgument;
    }
}

void Commands::digitalStatus()
{
    const QzAqExtData& a = aq();
    if (a.DigitalLock != 0) {
        m_cmd.setWord(1, 2);
        m_cmd.setWord(2, a.DigitalLockFrequency);
    } else {
        m_cmd.setWord(1, 1);
        m_cmd.setWord(2, static_cast<uint32_t>(m_device.getCurrentSettings()->iFrequency));
    }
}

void Commands::copyName(const char* name)
{
    std::memset(m_cmd.body, 0, kNameField);
    if (name != nullptr) {
        std::memcpy(m_cmd.body, name, strnlen(name, kNameField - 1));
    }
}

IOReturn Commands::getSlot(uint64_t* (*slot)(DriverSM&))
{
    if (m_client == nullptr) {
        return kIOReturnNotOpen;
    }
    const uint64_t caller = VKClientIdentifier(m_client);
    DriverSM* sm = m_device.mpDriverSM;
    reply(sm != nullptr && loadSlot(slot(*sm)) == caller ? 1 : 0);
    return kIOReturnSuccess;
}

IOReturn Commands::setExclusive(uint64_t* (*slot)(DriverSM&))
{
    if (m_client == nullptr) {
        return kIOReturnNotOpen;
    }
    DriverSM* sm = m_device.mpDriverSM;
    if (sm == nullptr) {
        reply(0);
        return kIOReturnSuccess;
    }
    const uint64_t caller = VKClientIdentifier(m_client);
    storeSlot(slot(*sm), arg() != 0 ? caller : 0);
    reply(loadSlot(slot(*sm)) == caller ? 1 : 0);
    return kIOReturnSuccess;
}

IOReturn Commands::setPrivateDataClient()
{
    if (m_client == nullptr) {
        return kIOReturnNotOpen;
    }
    DriverSM* sm = m_device.mpDriverSM;
    if (sm == nullptr || loadSlot(&sm->mPrivateDataClient) != 0) {
        reply(0);
        return kIOReturnSuccess;
    }
    const uint64_t caller = VKClientIdentifier(m_client);
    if (arg() != 0) {
        storeSlot(&sm->mPrivateDataClient, caller);
    }
    reply(loadSlot(&sm->mPrivateDataClient) == caller ? 1 : 0);
    return kIOReturnSuccess;
}

void Commands::enterFirmwareUpdateMode()
{
    if (updateMode()) {
        return;
    }
    IOLog("USB: %s\n", "enter firmware update mode");
    m_device.mFirmwareUpdateMode = 1;
    m_device.stcNotify(STC_FirmwareUpdateMode, 0);
    m_device.stopStreaming(true);
}

IOReturn Commands::deviceRequest()
{
    m_trace.trace("EQZ_DeviceRequest");
    QZ_DeviceRequestBody request{};
    std::memcpy(&request, m_cmd.body, sizeof request);
    const bool fieldsValid = (request.direction == kVKDirectionOut || request.direction == kVKDirectionIn) &&
                             (request.type == kVKTypeStandard || request.type == kVKTypeClass ||
                              request.type == kVKTypeVendor) &&
                             request.recipient <= 3;
    // The data stage is the record's 128-byte field: a longer one has nowhere to go.
    if (!fieldsValid || request.length > QZ_DeviceRequestBody::kDataSize) {
        m_trace.tracex("m_cKernelDevice.deviceRequest failed with status", static_cast<int>(kIOReturnBadArgument));
        return kIOReturnBadArgument;
    }
    UInt32 length = request.length;
    const IOReturn status = m_owner.deviceRequest(
        static_cast<UInt8>(request.direction), static_cast<UInt8>(request.type), static_cast<UInt8>(request.recipient),
        request.bRequest, static_cast<UInt16>(request.valueIndex & 0xFFFF),
        static_cast<UInt16>(request.valueIndex >> 16), length != 0 ? m_cmd.body : nullptr, length, 5);
    if (status != kIOReturnSuccess) {
        m_trace.tracex("m_cKernelDevice.deviceRequest failed with status", static_cast<int>(status));
        return status;
    }
    m_trace.trace("m_cKernelDevice.deviceRequest success with length", static_cast<int>(length));
    const uint32_t received = std::min<uint32_t>(length, QZ_DeviceRequestBody::kDataSize);
    std::memcpy(m_cmd.body + offsetof(QZ_DeviceRequestBody, length), &received, sizeof received);
    return kIOReturnSuccess;
}

void Commands::getRouting()
{
    const uint32_t index = m_cmd.word(2);
    const QzAqExtData& a = aq();
    uint32_t value = index;
    if (m_cmd.word(1) != 0) {
        const uint32_t in[] = {a.RoutingIn0, a.RoutingIn1, a.RoutingIn2};
        if (index < 3) {
            value = in[index];
        }
    } else {
        const uint32_t out[] = {a.RoutingOut0, a.RoutingOut1};
        if (index < 2) {
            value = out[index];
        }
    }
    m_cmd.setWord(3, value);
}

void Commands::setRouting()
{
    const uint32_t index = m_cmd.word(2);
    const uint32_t value = m_cmd.word(3);
    QzAqExtData& a = aq();
    if (m_cmd.word(1) != 0) {
        uint32_t* in[] = {&a.RoutingIn0, &a.RoutingIn1, &a.RoutingIn2};
        if (index < 3) {
            *in[index] = value;
        }
        if (m_device.hasTrait(vkdevice::kTraitSixInputRouting)) {
            m_device.choose6InputPostprocessor();
        } else {
            m_device.chooseInputPostprocessor();
        }
    } else {
        uint32_t* out[] = {&a.RoutingOut0, &a.RoutingOut1};
        if (index < 2) {
            *out[index] = value;
        }
        m_device.chooseISOOutEncoder();
    }
    publish();
}

IOReturn Commands::getWolfson()
{
    m_trace.trace("EQZ_GetWMCodecValues");
    const uint16_t codec = m_cmd.half(4);
    const uint16_t reg = m_cmd.half(6);
    if (codec >= kVKWolfsonCodecs || reg >= kVKWolfsonRegisters) {
        return kIOReturnBadArgument;
    }
    m_cmd.setHalf(8, m_device.wolfsonRegister(codec, reg));
    return kIOReturnSuccess;
}

IOReturn Commands::setWolfson()
{
    m_trace.trace("EQZ_SetWMCodecValues");
    const uint16_t codec = m_cmd.half(4);
    const uint16_t reg = m_cmd.half(6);
    const uint16_t value = m_cmd.half(8);
    if (codec >= kVKWolfsonCodecs || reg >= kVKWolfsonRegisters || value > kVKWolfsonValueMask) {
        return kIOReturnBadArgument;
    }
    m_device.writeWolfsonRegister(codec, reg, value);
    m_device.storeWolfsonRegister(codec, reg, value);
    uint16_t table[kVKWolfsonCodecs][kVKWolfsonRegisters];
    std::memcpy(table, m_device.registers().wolfson, sizeof table);
    m_owner.setProperty("WolfsonRegisters", table, sizeof table);
    return kIOReturnSuccess;
}

void Commands::getRegisters()
{
    m_cmd.body[0] = 3;
    for (int i = 0; i < 3; ++i) {
        m_cmd.body[1 + i] = static_cast<uint8_t>(m_device.registers().us366[i] & 0xFF);
    }
    m_trace.trace("EQZ_Get_Registers");
}

void Commands::readControlEvents()
{
    // The family input parsers fill the control events; this driver has none, so there are none.
    IOLog("USB: %s\n", "EQZ_ReadControlEvents: this driver has no family input parsers; no control events");
    std::memset(m_cmd.body, 0, 128);
}

void Commands::readInputMaxima()
{
    std::memcpy(m_cmd.body, m_device.mInputMaxima, sizeof m_device.mInputMaxima);
    std::memset(m_device.mInputMaxima, 0, sizeof m_device.mInputMaxima);
}

void Commands::systemAudioDevice()
{
    uint64_t uid = 0;
    std::memcpy(&uid, m_device.ElektronUID, sizeof uid);
    IOLog("EQZ_Set_ElektronSystemAudioDevice mElektronDeviceUID=%016llX\n", static_cast<unsigned long long>(uid));
    m_owner.setProperty("SystemAudioDevice", m_device.ElektronUID, sizeof m_device.ElektronUID);
    m_device.stcNotify(STC_ElektronCommand, 0);
}

IOReturn Commands::elektronMap(bool set)
{
    // Only an Elektron device is sent a map: another device's interfaces would get its requests.
    if (m_device.mpDriverSM == nullptr || (set && !m_device.isElektron())) {
        return kIOReturnBadArgument;
    }
    if (set) {
        QZ_Elektron_ChannelMap map{};
        std::memcpy(&map, m_cmd.body, sizeof map);
        m_device.setElektronChannelMap(map, true);
    }
    QZ_Elektron_ChannelMap map{};
    m_device.getElektronChannelMap(map);
    std::memcpy(m_cmd.body, &map, sizeof map);
    return kIOReturnSuccess;
}

IOReturn Commands::getElektronConfig()
{
    if (m_device.mpDriverSM == nullptr) {
        return kIOReturnBadArgument;
    }
    QZ_Elektron_ConfigAndMap cfg{};
    m_device.getElektronConfigAndChannelMap(cfg);
    writeConfigAndMap(cfg);
    return kIOReturnSuccess;
}

void Commands::writeConfigAndMap(const QZ_Elektron_ConfigAndMap& cfg)
{
    std::memcpy(m_cmd.body, &cfg, sizeof cfg);
}

// Judged on the kernel's own records (the shared block's configured word is anyone's): the last
// configuration succeeded and it is for these settings.
bool Commands::configuredFor(const QZ_Elektron_ConfigAndMap& cfg)
{
    const QzChannelSettings& s = *m_device.getCurrentSettings();
    const QZ_DeviceConfiguration& c = cfg.mConfiguration;
    return m_owner.configurationStatus() == kIOReturnSuccess && m_device.mChosen.configuration != nullptr &&
           static_cast<uint32_t>(s.iFrequency) == c.mSampleRate && static_cast<uint32_t>(s.iInChannels) == c.mInChannels &&
           static_cast<uint32_t>(s.iInResolution) == c.mInResolution &&
           static_cast<uint32_t>(s.iOutChannels) == c.mOutChannels &&
           static_cast<uint32_t>(s.iOutResolution) == c.mOutResolution;
}

IOReturn Commands::setElektronConfig()
{
    if (m_device.mpDriverSM == nullptr || !m_device.isElektron()) {
        return kIOReturnBadArgument;
    }
    QZ_Elektron_ConfigAndMap requested{};
    std::memcpy(&requested, m_cmd.body, sizeof requested);
    QZ_Elektron_ConfigAndMap previous{};
    m_device.getElektronConfigAndChannelMap(previous);
    const QZ_DeviceConfiguration& c = requested.mConfiguration;

    // The channel counts index rows of 9: larger counts, and settings no stream can carry, are
    // refused as too large.
    QzChannelSettings settings{static_cast<int32_t>(c.mSampleRate), static_cast<int32_t>(c.mInChannels),
                               static_cast<int32_t>(c.mInResolution), static_cast<int32_t>(c.mOutChannels),
                               static_cast<int32_t>(c.mOutResolution),
                               m_device.getCurrentSettings()->uConfiguration};
    const VKDevice::ElektronBandwidth bandwidth = VKDevice::elektronBandwidth(m_device.releaseID(), c);
    if (bandwidth.fits || bandwidth.total != 0) {
        IOLog("Elektron: Requested bandwidth in %d, out %d total %d, totalChannels %d segments %d\n", bandwidth.in,
              bandwidth.out, bandwidth.total, c.mInChannels + c.mOutChannels, bandwidth.segments);
    }
    if (!bandwidth.fits || !m_device.validChannelSettings(settings)) {
        writeConfigAndMap(previous);
        return kIOReturnBadArgument;
    }
    m_device.setElektronConfigAndChannelMap(requested);
    const bool configured = configuredFor(requested);
    IOLog("Set_Elektron_ConfigAndChannelMap after setElektronConfigAndChannelMap bIsConfigured=%d\n",
          configured ? 1 : 0);
    if (!configured) {
        m_device.setElektronConfigAndChannelMap(previous);
    }
    QZ_Elektron_ConfigAndMap now{};
    m_device.getElektronConfigAndChannelMap(now);
    writeConfigAndMap(now);
    return configured ? kIOReturnSuccess : kIOReturnBadArgument;
}

} // namespace

VKDevice::ElektronBandwidth VKDevice::elektronBandwidth(uint16_t bcdDevice, const QZ_DeviceConfiguration& c)
{
    ElektronBandwidth b;
    if (c.mInChannels > kElektronMaxChannels || c.mOutChannels > kElektronMaxChannels) {
        return b;
    }
    const int revision = bcdDevice < 2 ? 0 : 1;
    b.in = kElektronBandwidth[revision][c.mInResolution == 16 ? 0 : 1][c.mInChannels];
    b.out = kElektronBandwidth[revision][c.mOutResolution == 16 ? 0 : 1][c.mOutChannels];
    b.total = b.in + b.out;
    // Each product divided on its own; a resolution that would overflow the product never fits.
    const uint64_t segments =
        uint64_t{c.mInResolution} * c.mInChannels / 8 + uint64_t{c.mOutResolution} * c.mOutChannels / 8;
    b.segments = static_cast<uint32_t>(std::min<uint64_t>(segments, UINT32_MAX));
    b.fits = b.in <= kElektronDirectionLimit && b.out <= kElektronDirectionLimit && b.total <= kElektronTotalLimit &&
             b.segments <= kElektronSegmentLimit;
    return b;
}

IOReturn VKDevice::dispatchFunction(IOUserClient* client, QZ_Dispatch* cmd)
{
    if (cmd == nullptr) {
        return kIOReturnBadArgument;
    }
    VKIOTrace trace("VKDevice::dispatchFunction", static_cast<int>(cmd->uCommand));
    if (cmd->uCommand > EQZ_LastCommand) {
        return kIOReturnBadArgument;
    }
    return Commands(*this, mOwner, client, *cmd, trace).run();
}

IOReturn VKDevice::onDispatchStreaming(IOUserClient* client, QZ_Dispatch* cmd)
{
    VKIOTrace silent(nullptr, 0);
    return dispatchFunction(client, cmd);
}

IOReturn VKDevice::onDispatch(QZ_Dispatch* cmd)
{
    VKIOTrace silent(nullptr, 0);
    return dispatchFunction(nullptr, cmd);
}
