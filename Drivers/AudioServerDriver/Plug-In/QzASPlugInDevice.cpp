#include "QzASPlugInDevice.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "AudioCopy.h"
#include "CAException.h"
#include "DeviceModels.h"
#include "FirmwareUpdater.h"
#include "OSXAsioRegistry.h"
#include "QzASPlugInObjectMap.h"
#include "QzIORegistryPrefs.h"
#include "VKIOTrace.h"
#include "platform/DispatchQueues.h"
#include "platform/HostClock.h"
#include "platform/Log.h"
#include "platform/ProcessEnvironment.h"

namespace {

namespace hc = platform::host_clock;
constexpr int kError = platform::log::kPriorityError;
constexpr int kWarning = platform::log::kPriorityWarning;
constexpr int kNotice = platform::log::kPriorityNotice;

constexpr uint32_t kTypeInputRing = 4;
constexpr uint32_t kTypeOutputRing = 5;
constexpr uint32_t kMethodOpen = 0;
constexpr uint32_t kMethodClose = 1;
constexpr uint32_t kCommandReadElektron = 67;
constexpr uint32_t kCommandWriteElektron = 68;
constexpr uint32_t kCommandGetClockSource = 15;
constexpr uint32_t kCommandSetClockSource = 16;
constexpr QZ_DeviceConfiguration kElektronDefaultConfiguration{48'000, 2, 16, 2, 16};

void sleepMs(uint64_t ms)
{
    hc::sleepFor(ms * 1'000'000);
}

std::string fieldText(const char* field, size_t size)
{
    return std::string(field, strnlen(field, size));
}

uint32_t largestPowerOfTwoAtMost(uint64_t n)
{
    uint32_t p = 1;
    while (p <= n / 2 && p < 0x80000000U) {
        p <<= 1;
    }
    return n == 0 ? 0 : p;
}

} // namespace

QzASPlugInDevice::QzASPlugInDevice(AudioObjectID objectID, io_object_t service, QzASDeviceHost* host)
    : QzASPlugInDeviceBase(objectID), QzStoragePrefs(host != nullptr ? host->Storage() : nullptr), mHost(host),
      mKernelObject(service)
{
    for (AudioObjectID& id : mObjectIDs) {
        id = QzASPlugInObjectMap::GetNextObjectID();
    }
    mDeviceUID = HW_CopyDeviceUID(service);
    mInputScratch.resize(size_t{kMaxIOFrames} * AudioSM::kMaxChannels);
}

CFStringRef QzASPlugInDevice::CopyDeviceUID() const
{
    return mDeviceUID != nullptr ? static_cast<CFStringRef>(CFRetain(mDeviceUID)) : nullptr;
}

QzASPlugInDevice::~QzASPlugInDevice()
{
    _HW_Close();
    delete mRegistry;
    if (mDeviceUID != nullptr) {
        CFRelease(mDeviceUID);
    }
}

bool QzASPlugInDevice::callDriver(uint32_t request, OSXDispatch& record)
{
    return mDevice != nullptr && mDevice->callDriver(request, record);
}

// ---- Activation

void QzASPlugInDevice::Activate()
{
    mInitialized = false;
    CFStringRef root = CFStringCreateWithCString(nullptr, VKOSXDevice::getIDRoot(), kCFStringEncodingUTF8);
    mRegistry = new OSXAsioRegistry(root);
    CFRelease(root);
    mRegistryPrefs = std::make_unique<QzIORegistryPrefs>(false, mKernelObject.GetObject());
    mRegistryPrefs->update();
    readStorageProperties();

    if (fwUpdaterActive()) {
        platform::printOut("firmware updater is active - exit\n");
        return;
    }
    mIOReferenceCount = 0;
    if (!_HW_Open()) {
        platform::syslog(kError, "driver coud not be activated.\n");
        return;
    }
    OSXDispatch elektron = DriverConnection::makeRecord(kCommandReadElektron);
    if (callDriver(Req_DispatchStreaming, elektron)) {
        std::memcpy(&mElektronConfiguration, elektron.payload + 4, sizeof mElektronConfiguration);
    }
    VKIOTrace trace("QzASPlugInDevice::Activate", 0);
    DriverSM* sm = driverSM();
    platform::syslog(kNotice, "Activate driver %s\n",
                     sm != nullptr ? fieldText(sm->szDisplayName, sizeof sm->szDisplayName).c_str() : "");
    for (AudioObjectID id : mObjectIDs) {
        QzASPlugInObjectMap::MapObject(id, this);
    }
    mClientSlot = -1;
    sleepMs(50);

    if (sm != nullptr) {
        mNames[0] = fieldText(sm->szProduct, sizeof sm->szProduct);
        mNames[1] = fieldText(sm->szDisplayName, sizeof sm->szDisplayName);
        mNames[2] = fieldText(sm->szDeviceUID, sizeof sm->szDeviceUID) + "_CA";
        if (!readDescription()) {
            return;
        }
        mDevice->setupSpecificFeatures();
        mLowBufferFW = mDevice->hasLowBufferFW();
    }
    mExtraMargin = 0;
    if (sm == nullptr || sm->mIsHighSpeed == 0) {
        mExtraMargin += 3;
    }
    if (platform::process::darwinMajorRelease() == 12) {
        mExtraMargin += 3;
    }
    mDigitalLock = digitalLock();
    mRunningSomewhere = mDevice->isRunningSomewhere();
    mRunningStream = false;

    if (sm != nullptr) {
        configurationHandshake();
    }
    mInitialized = true;
    if (sm == nullptr || std::atomic_ref<uint32_t>(sm->mConfigured).load() == 0) {
        trace.trace("m_pDriverSM->cDriverConfigData.bIsConfigured is false");
        QzASPlugInObject::Activate();
        return;
    }
    InitComplete();
}

bool QzASPlugInDevice::readDescription()
{
    // The layer's reader bounds every page by what is left and closes nothing on a bad page; a
    // failed read leaves the connection open, so close it here either way (a page larger than
    // what is left must not keep the connection and its memories held).
    VKIOTrace trace("copy apideviceinfo", 0);
    trace.trace("START GET APIDEVICEINFO");
    if (!mDevice->readDeviceDescription()) {
        trace.trace(" GET APIDEVICEINFO failed");
        _HW_Close();
        return false;
    }
    trace.trace("END GET APIDEVICEINFO");
    return true;
}

void QzASPlugInDevice::configurationHandshake()
{
    VKIOTrace trace("QzASPlugInDevice::configurationHandshake", 0);
    DriverSM* sm = driverSM();
    if (std::atomic_ref<uint32_t>(sm->mConfigured).load() != 0) {
        return;
    }
    trace.trace("device is not configured");
    std::atomic_ref<uint32_t> configuring(sm->bIsConfiguring);
    bool self = false;
    if (static_cast<int32_t>(configuring.load()) > 0) {
        trace.trace("i have to wait");
    } else {
        trace.trace("inc m_pDriverSM->cDriverConfigData.bIsConfiguring");
        self = configuring.fetch_add(1) + 1 == 1;
        if (!self) {
            trace.trace("some other driver also requested config");
            if (configuring.fetch_sub(1) - 1 == 0) {
                trace.trace("other driver revoked from configuring");
                self = configuring.fetch_add(1) + 1 == 1;
                if (!self) {
                    configuring.fetch_sub(1);
                }
            }
        }
        if (self) {
            trace.trace("check bSelfConfigure again");
            if (configuring.load() != 1) {
                trace.trace("some other driver also requested config");
                configuring.fetch_sub(1);
                self = false;
            }
        }
    }
    if (!self) {
        trace.trace("wait configured");
        trace.trace("end check configured", static_cast<int>(std::atomic_ref<uint32_t>(sm->mConfigured).load()));
        return;
    }
    configureAsClaimed();
    configuring.fetch_sub(1);
}

void QzASPlugInDevice::configureAsClaimed()
{
    VKIOTrace trace("Configuring!", 0);
    mConfiguredHere = true;
    DriverSM* sm = driverSM();
    QzAqExtData ext = sm->mAqExtData;
    ext.setDefaults();
    ext.ClockSource = 0;
    if (getStoredAqExt(ext)) {
        sm->mAqExtData = ext;
    }
    usbConfigureDevice();

    if (mDevice->isElektronOverbridge() && std::atomic_ref<uint32_t>(sm->mConfigured).load() != 0) {
        const auto* info = reinterpret_cast<const uint8_t*>(&mDevice->getDeviceInfo());
        uint16_t ids[3] = {};
        std::memcpy(ids, info, sizeof ids);
        const VIDPID vidpid(ids[0], ids[1], ids[2], nullptr);
        const bool stored =
            getStoredElektronConfigAndMapping(mElektronConfigAndMap, reinterpret_cast<const char*>(&mElektronConfiguration));
        if (stored) {
            bool defaultsTaken = false;
            for (;;) {
                OSXDispatch record = DriverConnection::makeRecord(kCommandWriteElektron);
                std::memcpy(record.payload + 4, &mElektronConfigAndMap, sizeof mElektronConfigAndMap);
                callDriver(Req_DispatchStreaming, record);
                for (int i = 0; i < 5 && std::atomic_ref<uint32_t>(sm->mConfigured).load() == 0; ++i) {
                    trace.trace("wait for configured state", i);
                    sleepMs(50);
                }
                if (std::atomic_ref<uint32_t>(sm->mConfigured).load() != 0 || defaultsTaken) {
                    break;
                }
                mElektronConfigAndMap.mMap.setDefaults(vidpid);
                mElektronConfigAndMap.mConfiguration = kElektronDefaultConfiguration;
                defaultsTaken = true;
            }
        } else {
            mElektronConfigAndMap.mMap.setDefaults(vidpid);
            mElektronConfigAndMap.mConfiguration = kElektronDefaultConfiguration;
        }
        mElektronConfigAndMap.mMap.getUsageList(mInputUsage, mOutputUsage, vidpid);
    }
}

void QzASPlugInDevice::usbConfigureDevice()
{
    VKIOTrace trace("QzASPlugInDevice::usbConfigureDevice", 0);
    DriverSM* sm = driverSM();
    if (sm == nullptr) {
        trace.trace("no driver shared memory");
        return;
    }
    int32_t frequency = 44'100;
    int32_t in = 2;
    int32_t out = 2;
    getStoredFrequency(frequency);
    getStoredInChannels(in);
    getStoredOutChannels(out);
    QzChannelSettings settings{frequency, in, 16, out, 16, 0};
    APIDeviceInfoScanResult inScan{};
    APIDeviceInfoScanResult outScan{};
    mDevice->usbFindConfiguration(false, inScan, outScan, settings);
    trace.trace("cQzChannelSettings.iFrequency", settings.iFrequency);
    trace.trace("cQzChannelSettings.iInChannels", settings.iInChannels);
    trace.trace("cQzChannelSettings.iOutChannels", settings.iOutChannels);
    std::memcpy(&sm->mChannelSettings, &settings, sizeof settings);
    OSXDispatch record = DriverConnection::makeRecord();
    callDriver(Req_ConfigureDevice, record);
}

void QzASPlugInDevice::copyCurrentSettings()
{
    if (DriverSM* sm = driverSM()) {
        std::memcpy(&mCurrent, &sm->mChannelSettings, sizeof mCurrent);
        mCurrent.iInChannels = std::clamp(mCurrent.iInChannels, 0, static_cast<int32_t>(AudioSM::kMaxChannels));
        mCurrent.iOutChannels = std::clamp(mCurrent.iOutChannels, 0, static_cast<int32_t>(AudioSM::kMaxChannels));
        mDevice->updateChannelsToReport(mReported, mCurrent);
    }
}

void QzASPlugInDevice::InitComplete()
{
    VKIOTrace trace("QzASPlugInDevice::InitComplete", 0);
    copyCurrentSettings();
    mSaved[0] = mSaved[1] = mSaved[2] = mCurrent;
    mInputLatency.set(0, true);
    mOutputLatency.set(0, true);
    mOverrides = {};
    if (mCurrent.iInChannels > 0) {
        mZeroTimeStampPeriod = largestPowerOfTwoAtMost(131'072 / static_cast<uint32_t>(mCurrent.iInChannels));
        platform::syslog(kWarning, "AudioServer: %s %d\n", "Activate: Set mZeroTimeStampPeriod to",
                         static_cast<int>(mZeroTimeStampPeriod));
    }
    if (mDevice->setFrameSize(mDevice->getFrameSize(), true, true) != 0) {
        trace.trace("setFrameSize failed");
        return;
    }
    updateLatencies();
    updateSafetyOffsets();
    mClockSource = static_cast<uint32_t>(currentClockSource());
    sleepMs(100);
    QzASPlugInObject::Activate();
    mInitialized = true;
}

bool QzASPlugInDevice::_HW_Open()
{
    if (mDevice == nullptr) {
        mDevice = new VKOSXDevice(nullptr, nullptr, mKernelObject.GetObject(), nullptr,
                                  DriverConnection::kAudioServerClientType);
        mDevice->incReferences(); // this device's hold, given back in _HW_Close
    }
    if (!mDevice->ioIsOpen()) {
        platform::syslog(kNotice, "QzASPlugInIOKitObject::OpenConnection: failed to open a connection, Error: 0x%X",
                         static_cast<unsigned>(kIOReturnNotOpen));
        throw CAException(kIOReturnNotOpen);
    }
    if (mDevice->driverSM() == nullptr) {
        platform::syslog(kError, "Could not get the driver shared memory.\n");
        return false;
    }
    const kern_return_t opened =
        IOConnectCallMethod(mDevice->connection(), kMethodOpen, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr, nullptr);
    if (opened != kIOReturnSuccess && opened != kIOReturnExclusiveAccess) {
        platform::syslog(kError, "Could not open the device, error=0x%08X.\n", static_cast<unsigned>(opened));
        return false;
    }
    copyCurrentSettings();
    mapRings();
    if (mInputRing.load() == nullptr) {
        platform::syslog(kError, "Could not get the input shared memory.\n");
        return false;
    }
    if (mOutputRing.load() == nullptr) {
        platform::syslog(kError, "Could not get the output shared memory.\n");
        return false;
    }
    mZeroTimeStampPeriod = mInputRing.load()->geometry().maxFrames;
    platform::syslog(kWarning, "AudioServer: %s %d\n", "_HW_Open: Set mZeroTimeStampPeriod to",
                     static_cast<int>(mZeroTimeStampPeriod));
    mCachedSampleRate = mDevice->getFrequency();
    return true;
}

void QzASPlugInDevice::_HW_Close()
{
    mHardwareState.store(kClosed);
    if (mDevice == nullptr) {
        return;
    }
    unmapRings();
    if (mDevice->ioIsOpen()) {
        IOConnectCallMethod(mDevice->connection(), kMethodClose, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr,
                            nullptr);
    }
    VKOSXDevice* device = mDevice;
    {
        CAMutex::Locker io(mIOMutex);
        mDevice = nullptr;
    }
    device->ioCloseConnection();
    device->decReferences();
}

void QzASPlugInDevice::mapRings()
{
    CAMutex::Locker io(mIOMutex);
    unmapRings();
    if (mDevice == nullptr || !mDevice->ioIsOpen()) {
        return;
    }
    mInputRing.store(mDevice->mapSharedMemory(kTypeInputRing, kRingSize));
    mOutputRing.store(mDevice->mapSharedMemory(kTypeOutputRing, kRingSize));
}

void QzASPlugInDevice::unmapRings()
{
    CAMutex::Locker io(mIOMutex);
    const io_connect_t connection = mDevice != nullptr ? mDevice->connection() : 0;
    for (auto [ring, type] : {std::pair{&mInputRing, kTypeInputRing}, std::pair{&mOutputRing, kTypeOutputRing}}) {
        if (AudioSM* block = ring->exchange(nullptr); block != nullptr && connection != 0) {
            IOConnectUnmapMemory64(connection, type, mach_task_self(), reinterpret_cast<mach_vm_address_t>(block));
        }
    }
}

void QzASPlugInDevice::Deactivate()
{
    VKIOTrace trace("QzASPlugInDevice::Deactivate", 0);
    QzASPlugInObject::Deactivate();
    CAMutex::Locker state(mStateMutex);
    CAMutex::Locker io(mIOMutex);
    CAMutex::Locker attach(mAttachMutex);
    for (AudioObjectID id : mObjectIDs) {
        QzASPlugInObjectMap::UnmapObject(id, this);
    }
    storeSettings();
    _HW_Close();
    delete mRegistry;
    mRegistry = nullptr;
    mIOReferenceCount = 0;
}

void QzASPlugInDevice::storeSettings()
{
    if (mRegistryPrefs != nullptr) {
        // A fresh snapshot of the kernel's registry properties, ours to release.
        if (CFDictionaryRef registry = mRegistryPrefs->getProperties(); registry != nullptr) {
            writeStorageProperties(registry);
            CFRelease(registry);
        }
    }
    if (mDevice != nullptr && mDevice->isElektronOverbridge()) {
        setStoredElektronConfigAndMapping(mElektronConfigAndMap, reinterpret_cast<const char*>(&mElektronConfiguration),
                                          false);
    }
}

bool QzASPlugInDevice::digitalLock() const
{
    const DriverSM* sm = driverSM();
    return sm != nullptr && (std::atomic_ref<const uint8_t>(sm->mAqExtData.DigitalLock).load() & 1) != 0;
}

int32_t QzASPlugInDevice::currentClockSource()
{
    OSXDispatch record = DriverConnection::makeRecord(kCommandGetClockSource);
    if (!callDriver(Req_DispatchStreaming, record)) {
        return -1;
    }
    return static_cast<int32_t>(DriverConnection::replyWord(record, 1));
}

int32_t QzASPlugInDevice::applyClockSource(uint32_t source)
{
    OSXDispatch record = DriverConnection::makeRecord(kCommandSetClockSource);
    std::memcpy(record.payload + 4, &source, sizeof source);
    const bool sent = callDriver(Req_DispatchStreaming, record);
    const int32_t reported = currentClockSource();
    platform::syslog(kWarning, "AudioServer: clock source %u %s, the device reports %d\n", source,
                     sent ? "sent" : "not sent", static_cast<int>(reported));
    return reported;
}

void QzASPlugInDevice::checkRunningSomewhere()
{
    const bool now = mDevice != nullptr && mDevice->isRunningSomewhere();
    if (now != mRunningSomewhere) {
        mRunningSomewhere = now;
        notify(GetObjectID(), {kAudioDevicePropertyDeviceIsRunning});
    }
}

void QzASPlugInDevice::checkRunningStream()
{
    const bool now = mDevice != nullptr && mDevice->isRunningStream();
    if (now != mRunningStream) {
        mRunningStream = now;
        notify(GetObjectID(), {kAudioDevicePropertyDeviceIsRunning});
    }
}

void QzASPlugInDevice::onPropertyChanged(PropertyItem*)
{
    platform::printOut("QzASPlugInDevice::onPropertyChanged unhandled property change\n");
}

void QzASPlugInDevice::notify(AudioObjectID object, std::initializer_list<AudioObjectPropertySelector> selectors)
{
    if (mHost == nullptr || object == 0) {
        return;
    }
    std::vector<AudioObjectPropertyAddress> addresses;
    for (AudioObjectPropertySelector selector : selectors) {
        addresses.push_back({selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMaster});
    }
    mHost->PropertiesChanged(object, static_cast<UInt32>(addresses.size()), addresses.data());
}

bool QzASPlugInDevice::_HW_GetTimeStamps(QZ_TimeStampsBufferData& stamps)
{
    OSXDispatch record = DriverConnection::makeRecord();
    if (!callDriver(Req_GetTimeStamps, record) || driverSM() == nullptr) {
        return false;
    }
    std::memcpy(&stamps, driverSM()->mTimeStamps, sizeof stamps);
    return true;
}

QzASPlugInDevice::IOStatistics QzASPlugInDevice::statistics() const
{
    CAMutex::Locker io(const_cast<CAMutex&>(mIOMutex));
    return mStats;
}

// ---- Latencies and safety offsets

void QzASPlugInDevice::updateLatencies()
{
    VKIOTrace trace("void QzASPlugInDevice::updateLatencies()", 0);
    QzASLatencyInputs in;
    in.frequency = static_cast<uint32_t>(std::max(mCurrent.iFrequency, 0));
    in.extraMargin = mExtraMargin;
    in.noDeviceInfo = driverSM() == nullptr || driverSM()->mIsHighSpeed == 0;
    if (mDevice != nullptr) {
        const APIDeviceInfo& info = mDevice->getDeviceInfo();
        std::memcpy(&in.vendor, &info, 2);
        std::memcpy(&in.product, reinterpret_cast<const uint8_t*>(&info) + 2, 2);
        in.corlanth = mDevice->isCorlanthCompatible();
        in.bulk = mDevice->isQuenzarBulkDevice();
        in.morvane = mDevice->isMorvaneCompatible();
        in.bulkInIsocOut = mDevice->isQuenzarBulkInIsocOutDevice();
        in.elektronOverbridge = mDevice->isElektronOverbridge();
        in.tessaly = mDevice->isTessalyCompatible();
    }
    in.lowBufferFirmware = mLowBufferFW;
    in.overrides = mOverrides;
    const QzASLatencies computed = qzASComputeLatencies(in);
    mLatencies.outputWriteAhead = computed.outputWriteAhead;
    mLatencies.inputLatency = computed.inputLatency;
    mLatencies.outputLatency = computed.outputLatency;
    const bool inChanged = mInputLatency.set(computed.inputLatency, false);
    const bool outChanged = mOutputLatency.set(computed.outputLatency, false);
    if (inChanged || outChanged) {
        notify(GetObjectID(), {kAudioDevicePropertyLatency});
    }
}

void QzASPlugInDevice::updateSafetyOffsets()
{
    QzASLatencyInputs in;
    in.frequency = static_cast<uint32_t>(std::max(mCurrent.iFrequency, 0));
    in.noDeviceInfo = driverSM() == nullptr || driverSM()->mIsHighSpeed == 0;
    if (mDevice != nullptr) {
        const APIDeviceInfo& info = mDevice->getDeviceInfo();
        std::memcpy(&in.vendor, &info, 2);
        std::memcpy(&in.product, reinterpret_cast<const uint8_t*>(&info) + 2, 2);
        in.corlanth = mDevice->isCorlanthCompatible();
        in.bulk = mDevice->isQuenzarBulkDevice();
        in.morvane = mDevice->isMorvaneCompatible();
        in.bulkInIsocOut = mDevice->isQuenzarBulkInIsocOutDevice();
        in.elektronOverbridge = mDevice->isElektronOverbridge();
    }
    in.overrides = mOverrides;
    const QzASLatencies computed = qzASComputeLatencies(in);
    const bool changed = computed.inputSafetyOffset != mLatencies.inputSafetyOffset ||
                         computed.outputSafetyOffset != mLatencies.outputSafetyOffset;
    mLatencies.inputSafetyOffset = computed.inputSafetyOffset;
    mLatencies.outputSafetyOffset = computed.outputSafetyOffset;
    if (changed) {
        notify(GetObjectID(), {kAudioDevicePropertySafetyOffset});
    }
}

UInt32 QzASPlugInDevice::getLatency(bool isInput)
{
    updateLatencies();
    return isInput ? mLatencies.inputLatency : mLatencies.outputLatency;
}

UInt32 QzASPlugInDevice::getSafetyOffset(bool isInput)
{
    updateSafetyOffsets();
    return isInput ? mLatencies.inputSafetyOffset : mLatencies.outputSafetyOffset;
}
