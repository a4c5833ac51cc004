// The audio server device's answers to the kernel's state-change records and to the system's
// power messages. Nothing here changes the device's configuration: a change the host must see is
// requested of the host, which carries it out later in its own configuration-change call.
#include <cstring>

#include "OSXAsioRegistry.h"
#include "QzASPlugInDevice.h"
#include "QzIORegistryPrefs.h"
#include "platform/HostClock.h"
#include "platform/Log.h"

namespace {

namespace hc = platform::host_clock;
constexpr int kWarning = platform::log::kPriorityWarning;
constexpr int kNotice = platform::log::kPriorityNotice;

constexpr UInt32 kMessageStateChange = 0xE0000130;
constexpr UInt32 kMessageCanSystemSleep = 0xE0000270;
constexpr UInt32 kMessageSystemWillSleep = 0xE0000280;
constexpr UInt32 kMessageSystemWillNotSleep = 0xE0000290;
constexpr UInt32 kMessageSystemHasPoweredOn = 0xE0000300;
constexpr UInt32 kMessageSystemWillPowerOn = 0xE0000320;

// The outside vendor's prefix of the key under which an Elektron device's configuration
// identifier is stored.
constexpr const char* kElektronVendorPrefix = "com.elektron.overbridge";

void sleepMs(uint64_t ms)
{
    hc::sleepFor(ms * 1'000'000);
}

void warning(const char* text)
{
    platform::syslog(kWarning, "AudioServer: %s\n", text);
}

} // namespace

void QzASPlugInDevice::PropertyNotificationHandler(UInt32 messageType, void* argument)
{
    PropertyNotificationHandler(messageType, argument, argument != nullptr ? sizeof(QZ_StateChange) : 0);
}

void QzASPlugInDevice::PropertyNotificationHandler(UInt32 messageType, const void* argument, size_t size)
{
    if (!IsActive()) {
        return;
    }
    switch (messageType) {
    case kMessageStateChange: {
        // The record comes from outside the process: take it only whole.
        if (argument == nullptr || size < sizeof(QZ_StateChange)) {
            return;
        }
        QZ_StateChange change;
        std::memcpy(&change, argument, sizeof change);
        KernelDriverNotificationHandler(&change);
        // A withdrawn device has nothing left to store.
        if (IsActive()) {
            storeSettings();
        }
        break;
    }
    case kMessageCanSystemSleep:
        warning("PropertyNotificationHandler Received kIOMessageCanSystemSleep");
        break;
    case kMessageSystemWillSleep: {
        warning("PropertyNotificationHandler Received kIOMessageSystemWillSleep");
        mInStreamingSuspended.store(true);
        OSXDispatch record = DriverConnection::makeRecord();
        callDriver(Req_SystemSleep, record);
        sleepMs(300);
        break;
    }
    case kMessageSystemWillNotSleep:
        warning("PropertyNotificationHandler Received kIOMessageSystemWillNotSleep");
        break;
    case kMessageSystemHasPoweredOn: {
        platform::syslog(kWarning, "AudioServer: %s %d\n", "PropertyNotificationHandler Received kIOMessageSystemHasPoweredOn",
                         mInStreamingSuspended.load() ? 1 : 0);
        if (mInStreamingSuspended.load()) {
            warning("kIOMessageSystemHasPoweredOn: call Req_SystemWakeUp");
            OSXDispatch record = DriverConnection::makeRecord();
            callDriver(Req_SystemWakeUp, record);
        }
        sleepMs(5'000);
        RequestConfigChange(kQzConfigWakeUp);
        break;
    }
    case kMessageSystemWillPowerOn:
        warning("PropertyNotificationHandler Received kIOMessageSystemWillPowerOn");
        break;
    default:
        break;
    }
}

void QzASPlugInDevice::streamRepair()
{
    platform::syslog(kWarning, "QzASPlugInDevice received STC_STREAM_BROKEN\n");
    warning("STC_STREAM_BROKEN, mInStreamingSuspended");
    mInStreamingSuspended.store(true);
    mAwaitingRepair.store(true);
    OSXDispatch first = DriverConnection::makeRecord();
    if (callDriver(Req_HandleStreamBroken1, first)) {
        sleepMs(100);
        OSXDispatch second = DriverConnection::makeRecord();
        if (callDriver(Req_HandleStreamBroken2, second) && mAwaitingRepair.exchange(false)) {
            // The stream runs again. A repair that changed no setting brings no configuration
            // change that would clear the flag, so the output would stay silent for good: clear
            // it here and let the host restart IO and take a new anchor.
            mInStreamingSuspended.store(false);
            RequestConfigChange(kQzConfigChangeNewConfig);
        }
    }
}

void QzASPlugInDevice::KernelDriverNotificationHandler(const QZ_StateChange* change)
{
    if (!IsActive() || change == nullptr) {
        return;
    }
    const uint64_t self = clientID();
    const bool fromOthers = change->clientID != self;
    switch (change->code) {
    case STC_STREAM_BROKEN:
        streamRepair();
        break;
    case STC_NewConfig: {
        sleepMs(300);
        if (mAwaitingRepair.exchange(false)) {
            // Another client repaired the stream (the new configuration may change nothing, or
            // name this client): the silence ends here, and IO restarts on a new anchor.
            platform::syslog(kWarning, "QzASPlugInDevice received STC_NewConfig: the stream is repaired\n");
            mInStreamingSuspended.store(false);
            RequestConfigChange(kQzConfigChangeNewConfig);
            break;
        }
        const DriverSM* sm = driverSM();
        const bool same = sm != nullptr && std::memcmp(&mCurrent, &sm->mChannelSettings, sizeof mCurrent) == 0 &&
                          mDigitalLock == digitalLock();
        if (same) {
            platform::syslog(kWarning, "QzASPlugInDevice received STC_NewConfig: no change\n");
            break;
        }
        if (fromOthers) {
            RequestConfigChange(kQzConfigChangeNewConfig);
        }
        break;
    }
    case STC_ChangeVolume:
        warning("STC_ChangeVolume");
        break;
    case STC_ChangeMute:
        warning("STC_ChangeMute");
        break;
    case STC_ChangeMonitor:
        warning("STC_ChangeMonitor");
        break;
    case STC_ChangeWolfson: {
        warning("STC_ChangeWolfson");
        const uint32_t codec = change->parameter1;
        const int32_t reg = static_cast<int32_t>(change->parameter2) >> 16;
        const uint32_t value = change->parameter2 & 0xFFFF;
        platform::printOut("STC_ChangeWolfson: size=%ld, param1=%08x, param2=%08x\n", 8L, change->parameter1,
                           change->parameter2);
        platform::printOut("STC_ChangeWolfson with register %d, value %d, codec %d\n", reg, static_cast<int>(value),
                           static_cast<int>(codec));
        if (mRegistry != nullptr) {
            mRegistry->setWolfsonRegister(codec, static_cast<uint32_t>(reg), value);
            mRegistry->store();
        }
        break;
    }
    case STC_ChangeDataSource:
        warning("STC_ChangeDataSource");
        break;
    case STC_ClientAttached:
        warning("STC_ClientAttached:");
        checkRunningSomewhere();
        checkRunningStream();
        break;
    case STC_ClientDetached:
        warning("STC_ClientDetached:");
        checkRunningSomewhere();
        checkRunningStream();
        break;
    case STC_STREAM_AT_POWER_ON:
        warning("STC_STREAM_AT_POWER_ON");
        if (mInStreamingSuspended.load()) {
            RequestConfigChange(kQzConfigWakeUp);
            mInStreamingSuspended.store(false);
        }
        streamRepair();
        break;
    case STC_FirmwareUpdateMode:
        if (mHost != nullptr && mHost->WithdrawDevice(this)) {
            const AudioObjectPropertyAddress addresses[] = {
                {kAudioObjectPropertyOwnedObjects, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMaster},
                {kAudioPlugInPropertyDeviceList, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMaster},
            };
            mHost->PropertiesChanged(GetOwnerObjectID(), 2, addresses);
        }
        RequestConfigChange(kQzConfigChangeElektron);
        break;
    case STC_HOGMODECHANGED:
        warning("STC_HOGMODECHANGED");
        break;
    case STC_DigiOutModeChanged: {
        platform::syslog(kWarning, "Plugin received STC_DigiOutModeChanged\n");
        warning("STC_DigiOutModeChanged");
        if (fromOthers) {
            RequestConfigChange(kQzConfigChangeDigitalOutMode);
        }
        const DriverSM* sm = driverSM();
        if (mRegistry != nullptr && sm != nullptr) {
            mRegistry->setDigitalOutMode(sm->mAqExtData.DigitalOutMode);
        }
        break;
    }
    case STC_SampleCkSrcChanged: {
        platform::syslog(kNotice, "STC_SampleCkSrcChanged\n");
        const int32_t source = currentClockSource();
        if (fromOthers) {
            QzASConfigChange request;
            // The request carries the new source itself: a later request must not find an older
            // value in a shared record.
            request.value = static_cast<uint32_t>(source);
            const DriverSM* sm = driverSM();
            const bool rateChanged = sm != nullptr && mCurrent.iFrequency != sm->mChannelSettings.iFrequency;
            RequestConfigChange(rateChanged ? kQzConfigChangeNewConfig : kQzConfigChangeClockSource, request);
        }
        if (mRegistry != nullptr) {
            mRegistry->setClockSource(static_cast<uint32_t>(source));
        }
        break;
    }
    case STC_INITCOMPLETE:
        platform::syslog(kWarning, "QzASPlugInDevice received STC_INITCOMPLETE\n");
        sleepMs(100);
        warning("STC_INITCOMPLETE");
        InitComplete();
        RequestConfigChange(kQzConfigChangeNewConfig);
        break;
    case STC_ElektronCommand:
        if (mDevice != nullptr && mDevice->isElektronOverbridge()) {
            uint16_t product = 0;
            std::memcpy(&product, reinterpret_cast<const uint8_t*>(&mDevice->getDeviceInfo()) + 2, sizeof product);
            char key[64];
            std::snprintf(key, sizeof key, "%s.%u", kElektronVendorPrefix, static_cast<unsigned>(product));
            CFStringRef name = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
            CFDataRef data = CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(&mElektronConfiguration),
                                          sizeof mElektronConfiguration);
            storeProperties(name, data);
            CFPreferencesAppSynchronize(name);
            CFRelease(data);
            CFRelease(name);
        }
        break;
    default:
        break;
    }
}
