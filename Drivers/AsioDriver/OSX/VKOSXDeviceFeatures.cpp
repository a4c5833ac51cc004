// The device feature methods the bring-up and the IO path use: buffer sizes, the channel settings
// copies, the capability predicates, ring preparation, and the kernel's notifications.
#include <algorithm>
#include <cstring>

#include "APISpecificFeatures.h"
#include "DeviceIdentification.h"
#include "DeviceManagerClient.h"
#include "OSXAsioRegistry.h"
#include "OSXDeviceManager.h"
#include "QzIORegistryPrefs.h"
#include "VKIOTrace.h"
#include "VKOSXDevice.h"
#include "platform/HostClock.h"
#include "platform/Log.h"

namespace {

constexpr uint32_t kSlotBufferFrames = 8;
constexpr uint32_t kSlotClient = 164;
constexpr uint32_t kSlotRing = 172;
constexpr uint32_t kRingSize = sizeof(AudioSM);
constexpr uint32_t kNewConfigurationCode = 3;

// A u64 of a client record: at a 4-byte boundary, read as the shared records' packed word.
uint64_t wideAt(const uint8_t* record, uint32_t offset)
{
    return shared::load(*reinterpret_cast<const QzU64*>(record + offset));
}

int32_t clampChannels(int32_t channels)
{
    return std::clamp(channels, 0, static_cast<int32_t>(AudioSM::kMaxChannels));
}

} // namespace

// --- Buffer sizes

void VKOSXDevice::getFrameSizeRange(uint32_t, uint32_t& min, uint32_t& max) const
{
    min = kMinFrameSize;
    max = kMaxFrameSize;
}

void VKOSXDevice::getFrameSizeRangeInt(uint32_t& min, uint32_t& max) const
{
    min = max = 0;
    if (driverSM() != nullptr) {
        getFrameSizeRange(static_cast<uint32_t>(driverSM()->mChannelSettings.iFrequency), min, max);
    }
}

OSStatus VKOSXDevice::getFrameSizeRange(double& min, double& max) const
{
    uint32_t lo = 0;
    uint32_t hi = 0;
    getFrameSizeRangeInt(lo, hi);
    min = lo;
    max = hi;
    return 0;
}

uint32_t VKOSXDevice::validateMinMaxFrameSize(uint32_t size) const
{
    uint32_t min = 0;
    uint32_t max = 0;
    getFrameSizeRangeInt(min, max);
    return std::clamp(size, min, max);
}

OSStatus VKOSXDevice::setFrameSize(uint32_t size, bool, bool force)
{
    VKIOTrace trace(nullptr, 0);
    // Unmapped, every size validates to 0: refused rather than stored as "not chosen".
    if (driverSM() == nullptr) {
        return static_cast<OSStatus>(kIOReturnNoDevice);
    }
    const uint32_t valid = validateMinMaxFrameSize(size);
    if (valid == getFrameSize() && !force) {
        return 0;
    }
    if (m_attachState.load() == kDetached) {
        m_frameSize.set(valid, true);
        m_pendingFrameSize.store(0);
    } else {
        m_pendingFrameSize.store(valid);
    }
    trace.trace("new frame size", static_cast<int>(valid));
    createIOBuffers();
    updateLatencies();
    return 0;
}

uint32_t VKOSXDevice::getFrameSize() const
{
    const uint32_t pending = m_pendingFrameSize.load();
    if (pending != 0) {
        return pending;
    }
    const uint32_t chosen = m_frameSize.getUInt32();
    return chosen != 0 ? chosen : m_defaultFrameSize;
}

void VKOSXDevice::copyTrueChannels()
{
    if (DriverSM* sm = driverSM()) {
        QzChannelSettings settings{};
        std::memcpy(&settings, &sm->mChannelSettings, sizeof settings);
        // Channel counts size the IO buffers: anything beyond a ring's 32 channels is cut there.
        settings.iInChannels = clampChannels(settings.iInChannels);
        settings.iOutChannels = clampChannels(settings.iOutChannels);
        m_cTrueChannels = settings;
    }
}

bool VKOSXDevice::createIOBuffers()
{
    IOHold hold(*this);
    return createIOBuffersInCycle();
}

// With no cycle running, or from the cycle itself.
bool VKOSXDevice::createIOBuffersInCycle(bool fromKernel)
{
    if (fromKernel) {
        copyTrueChannels();
    }
    updateChannelsToReport(m_reported, m_cTrueChannels);
    m_inputSettings = m_outputSettings = m_cTrueChannels;
    const uint32_t frames = m_frameSize.getUInt32();
    const bool in = mAudioBufferIn.create(static_cast<uint32_t>(m_cTrueChannels.iInChannels),
                                          static_cast<uint32_t>(clampChannels(m_reported.iInChannels)), frames);
    const bool out = mAudioBufferOut.create(static_cast<uint32_t>(m_cTrueChannels.iOutChannels),
                                            static_cast<uint32_t>(clampChannels(m_reported.iOutChannels)), frames);
    if (uint32_t* word = slotWord(kSlotBufferFrames)) {
        std::atomic_ref<uint32_t>(*word).store(frames);
    }
    updateLatencies();
    return in && out;
}

OSStatus VKOSXDevice::getFrameSizeRangeBytes(bool isInput, double& min, double& max) const
{
    min = max = 0;
    if (driverSM() != nullptr) {
        const double channels = isInput ? m_reported.iInChannels : m_reported.iOutChannels;
        min = kMinFrameSize * 4 * channels;
        max = kMaxFrameSize * 4 * channels;
    }
    return 0;
}

uint32_t VKOSXDevice::getFrameSizeBytes(bool isInput) const
{
    const int32_t channels = isInput ? m_reported.iInChannels : m_reported.iOutChannels;
    return getFrameSize() * 4 * static_cast<uint32_t>(clampChannels(channels));
}

// --- Channel settings

bool VKOSXDevice::isUSB2Device() const
{
    return driverSM() != nullptr && driverSM()->mIsHighSpeed != 0;
}

bool VKOSXDevice::isRunningStream() const
{
    const DriverSM* sm = driverSM();
    const uint64_t self = clientID();
    if (sm == nullptr || self == 0) {
        return false;
    }
    for (const auto& record : sm->mClients) {
        if (wideAt(record, kSlotRing) != 0 && wideAt(record, kSlotClient) == self) {
            return true;
        }
    }
    return false;
}

bool VKOSXDevice::isRunningSomewhere() const
{
    const DriverSM* sm = driverSM();
    return sm != nullptr && std::atomic_ref<const uint32_t>(sm->mAttachedClients).load() != 0;
}

uint32_t VKOSXDevice::getFrequency() const
{
    VKIOTrace trace(nullptr, 0);
    trace.trace("frequency is ", m_cTrueChannels.iFrequency);
    return static_cast<uint32_t>(m_cTrueChannels.iFrequency);
}

void VKOSXDevice::updateChannelsToReport(QzChannelSettings& reported, const QzChannelSettings& current) const
{
    reported = current;
    if (inputHidden()) {
        reported.iInChannels = 0;
    }
    if (m_model.has(osxdevice::kTraitElektronUnfinished)) {
        platform::syslog(platform::log::kPriorityNotice, "HAL: %s\n", "updateChannelsToReport FIXME ELEKTRON");
    }
    reported.iInChannels = m_model.reported(true, reported.iInChannels);
    reported.iOutChannels = m_model.reported(false, reported.iOutChannels);
}

bool VKOSXDevice::usbFindConfiguration(bool isInput, APIDeviceInfoScanResult& inputScan,
                                       APIDeviceInfoScanResult& outputScan, QzChannelSettings& s)
{
    inputScan.mFound = false;
    outputScan.mFound = false;
    const bool sameResolution = m_model.has(osxdevice::kTraitSameResolution);
    const bool forcedMono = m_model.has(osxdevice::kTraitMonoAtHighRates);
    if (forcedMono) {
        std::fprintf(stderr, "In AUDIO_PLUGIN_CLASS::usbFindConfiguration Force Mono in high sample rate \n");
    }
    const bool highRate = s.iFrequency == 88'200 || s.iFrequency == 96'000;
    if (driverSM() != nullptr && !isUSB2Device()) {
        if (!highRate) {
            if (forcedMono) {
                if (s.iInChannels == 0) {
                    s.iInChannels = s.iOutChannels;
                }
                if (s.iOutChannels == 0) {
                    s.iOutChannels = s.iInChannels;
                }
            }
        } else if (!isInput) {
            if (s.iOutChannels == 1) {
                s.iInChannels = 1;
            } else if (s.iOutChannels == 2) {
                s.iInChannels = 0;
            } else if (forcedMono) {
                s.iOutChannels = 0;
            }
        } else {
            if (s.iInChannels == 1) {
                s.iOutChannels = 1;
            } else if (s.iInChannels == 2) {
                s.iOutChannels = 0;
            } else {
                s.iInChannels = 0;
            }
        }
    }
    if (sameResolution) {
        int32_t& otherChannels = isInput ? s.iOutChannels : s.iInChannels;
        if (s.iFrequency <= 48'000 && otherChannels == 1) {
            otherChannels = 2;
        }
        (isInput ? s.iOutResolution : s.iInResolution) = isInput ? s.iInResolution : s.iOutResolution;
    }
    const APIDeviceInfo& info = *m_deviceInfo;
    auto scan = [&](int32_t bits, int32_t channels, bool output) {
        if (channels <= 0 || channels > 255 || bits <= 0 || bits > 255 || s.iFrequency <= 0) {
            APIDeviceInfoScanResult none{};
            none.mFound = false;
            return none;
        }
        return scanAPIDeviceInfo(info, 0, static_cast<uint32_t>(s.iFrequency), static_cast<uint8_t>(bits),
                                 static_cast<uint8_t>(channels), false, output);
    };
    inputScan = scan(s.iInResolution, s.iInChannels, false);
    outputScan = scan(s.iOutResolution, s.iOutChannels, true);
    if (!inputScan.mFound && outputScan.mFound && s.iInChannels != 0) {
        s.iInResolution = s.iOutResolution;
        inputScan = scan(s.iInResolution, s.iInChannels, false);
    } else if (inputScan.mFound && !outputScan.mFound && s.iOutChannels != 0) {
        s.iOutResolution = s.iInResolution;
        outputScan = scan(s.iOutResolution, s.iOutChannels, true);
    }
    const bool answer = (inputScan.mFound || s.iInChannels == 0) && (outputScan.mFound || s.iOutChannels == 0);
    if (answer) {
        const uint32_t required = usbCalculateBandwidth(inputScan, outputScan);
        OSXDispatch used = makeRecord();
        OSXDispatch free = makeRecord();
        const uint32_t u = callDriver(Req_GetAllocatedBandWidth, used) ? replyWord(used) : 0;
        const uint32_t f = callDriver(Req_GetFreeBandWidth, free) ? replyWord(free) : 0;
        uint32_t available = (u + f) * (isUSB2Device() ? 8 : 1);
        if (isCorlanthCompatible()) {
            available = isUSB2Device() ? 8'184 : 1'023;
        }
        if (isQuenzarBulkDevice()) {
            available = required;
        }
        platform::syslog(platform::log::kPriorityNotice, "HAL: %s %d %d %d %d\n",
                         "CHECK USB BANDWIDTH AVAILABLE used/free/sum/required", static_cast<int>(u),
                         static_cast<int>(f), static_cast<int>(available), static_cast<int>(required));
        if (available < required) {
            platform::syslog(platform::log::kPriorityNotice, "HAL: %s %d %d %d %d\n",
                             "NOT ENOUGH USB BANDWIDTH AVAILABLE used/free/sum/required", static_cast<int>(u),
                             static_cast<int>(f), static_cast<int>(available), static_cast<int>(required));
        }
    }
    return answer;
}

// --- Capabilities

void VKOSXDevice::setupSpecificFeatures()
{
    // The snapshot hands out a reference of its own.
    CFDictionaryRef properties = m_prefs != nullptr ? m_prefs->getProperties() : nullptr;
    if (properties == nullptr) {
        return;
    }
    CFTypeRef specific = CFDictionaryGetValue(properties, CFSTR("QzSpecific"));
    if (specific == nullptr || CFGetTypeID(specific) != CFDictionaryGetTypeID()) {
        CFRelease(properties);
        return;
    }
    auto dictionary = static_cast<CFDictionaryRef>(specific);
    CFTypeRef data = CFDictionaryGetValue(dictionary, CFSTR("kConfigurationData"));
    if (data != nullptr && CFGetTypeID(data) == CFDataGetTypeID()) {
        auto* record = reinterpret_cast<uint8_t*>(const_cast<APISpecificFeatures*>(features()));
        const CFIndex length = CFDataGetLength(static_cast<CFDataRef>(data));
        const size_t n = std::min<size_t>(static_cast<size_t>(length), sizeof(APISpecificFeatures));
        std::memset(record, 0, sizeof(APISpecificFeatures));
        std::memcpy(record, CFDataGetBytePtr(static_cast<CFDataRef>(data)), n);
        record[375] = 1;
    }
    CFTypeRef low = CFDictionaryGetValue(dictionary, CFSTR("kLowBuffFWVersion"));
    if (low != nullptr && CFGetTypeID(low) == CFNumberGetTypeID()) {
        uint32_t version = 0;
        CFNumberGetValue(static_cast<CFNumberRef>(low), kCFNumberSInt32Type, &version);
        platform::syslog(platform::log::kPriorityNotice, "setupSpecificFeatures found kLowBuffFWVersion=%08X\n", version);
        m_lowBufferVersion = version;
    }
    CFRelease(properties);
}

bool VKOSXDevice::isQuenzarBulkDevice() const
{
    return VIDPID(vendorID(), productID(), releaseID(), features()).isQuenzarBulkDevice(isUSB2Device());
}

bool VKOSXDevice::isQuenzarBulkInIsocOutDevice() const
{
    return featureFlag(2) && isUSB2Device();
}

bool VKOSXDevice::isCorlanthCompatible() const
{
    return featureFlag(0);
}

bool VKOSXDevice::isTessalyCompatible() const
{
    return false;
}

bool VKOSXDevice::isElektronOverbridge() const
{
    return m_model.has(osxdevice::kTraitOverbridge);
}

bool VKOSXDevice::getRouting(uint32_t direction, uint32_t index, uint32_t& value)
{
    OSXDispatch record = makeRecord(39);
    const uint32_t arguments[] = {direction, index, value};
    std::memcpy(record.payload + 4, arguments, sizeof arguments);
    if (!callDriver(Req_DispatchStreaming, record)) {
        platform::syslog(platform::log::kPriorityWarning, "getRouting failed\n");
        return false;
    }
    value = replyWord(record, 3);
    return true;
}

bool VKOSXDevice::setRouting(uint32_t direction, uint32_t index, uint32_t value)
{
    OSXDispatch record = makeRecord(40);
    const uint32_t arguments[] = {direction, index, value};
    std::memcpy(record.payload + 4, arguments, sizeof arguments);
    return callDriver(Req_DispatchStreaming, record);
}

bool VKOSXDevice::hasLowBufferFW()
{
    OSXDispatch record = makeRecord(23);
    uint32_t version = 0;
    if (callDriver(Req_DispatchStreaming, record)) {
        std::memcpy(&version, record.payload + 4, sizeof version);
    }
    platform::syslog(platform::log::kPriorityWarning, "Firmware Version: %ul %08X\n", version, version);
    if (m_lowBufferVersion == 0 || version < m_lowBufferVersion) {
        return false;
    }
    platform::syslog(platform::log::kPriorityWarning, "hasLowBufferFW\n");
    return true;
}

bool VKOSXDevice::hardwareReady() const
{
    return mpAudioSM_In.load() != nullptr && mpAudioSM_Out.load() != nullptr;
}

bool VKOSXDevice::prepareHardware()
{
    VKIOTrace trace(nullptr, 0);
    unmapSharedMemory();
    AudioSM* in = mapSharedMemory(4, kRingSize);
    AudioSM* out = in != nullptr ? mapSharedMemory(5, kRingSize) : nullptr;
    if (in == nullptr || out == nullptr) {
        trace.trace("mapSharedMemory() failed");
        if (in != nullptr) {
            IOConnectUnmapMemory64(connection(), 4, mach_task_self(), reinterpret_cast<mach_vm_address_t>(in));
        }
        return false;
    }
    mpAudioSM_In.store(in);
    mpAudioSM_Out.store(out);
    if (m_frameSize.getUInt32() == 0) {
        m_frameSize.set(m_defaultFrameSize, true);
        m_pendingFrameSize.store(0);
    }
    m_attachState.store(kPrepared);
    checkRunningStream();
    return true;
}

// --- Kernel notifications (main run loop)

void VKOSXDevice::KernelDriverNotificationHandler(const QZ_StateChange* change)
{
    if (change == nullptr) {
        return;
    }
    auto notice = [](const char* name) { platform::syslog(platform::log::kPriorityNotice, "HAL: %s\n", name); };
    switch (change->code) {
    case 2:
    case 13: {
        if (change->code == 13) {
            notice("STC_STREAM_AT_POWER_ON");
            platform::host_clock::sleepFor(3'000'000'000);
        }
        notice("STC_STREAM_BROKEN, mInStreamingSuspended");
        OSXDispatch first = makeRecord();
        if (callDriver(Req_HandleStreamBroken1, first)) {
            platform::host_clock::sleepFor(100'000'000);
            OSXDispatch second = makeRecord();
            callDriver(Req_HandleStreamBroken2, second);
        }
        break;
    }
    case kNewConfigurationCode: {
        platform::syslog(platform::log::kPriorityNotice, "HAL: %s %d\n", "STC_NewConfig",
                         static_cast<int>(m_deviceID));
        AudioStreamBasicDescription formats[4];
        currentFormats(formats);
        const QzChannelSettings before = m_cTrueChannels;
        if (driverSM() != nullptr) {
            {
                IOHold hold(*this);
                copyTrueChannels();
            }
            const QzChannelSettings after = m_cTrueChannels;
            const bool controlPanel = m_manager != nullptr && m_manager->IsControlPanelOrAudioSetup();
            if (controlPanel || std::memcmp(&before, &after, sizeof before) != 0) {
                const bool rate = before.iFrequency != after.iFrequency;
                const bool channels =
                    before.iInChannels != after.iInChannels || before.iOutChannels != after.iOutChannels;
                const bool resolution = before.iInResolution != after.iInResolution ||
                                        before.iOutResolution != after.iOutResolution;
                const bool wasAttached = m_attachState.load() != kDetached;
                auto detachForChange = [&] {
                    if (!wasAttached) {
                        return;
                    }
                    if (rate && !channels) {
                        platform::printOut("VKOSXDevice::onServiceInterestCallback STC_NewConfig, callDetach\n");
                    } else {
                        platform::syslog(platform::log::kPriorityNotice, "%s",
                                         "VKOSXDevice::onServiceInterestCallback STC_NewConfig, callDetach\n");
                    }
                    detach();
                };
                if ((rate || channels) && !resolution) {
                    detachForChange();
                    if (channels && !rate) {
                        createIOBuffers();
                    } else {
                        IOHold hold(*this);
                        updateChannelsToReport(m_reported, m_cTrueChannels);
                    }
                    tellClient(&DeviceManagerClient::onFormatChanged);
                    if (wasAttached) {
                        prepareHardware();
                    }
                    checkReportFormatChange(formats[0], formats[1], formats[2], formats[3]);
                    if (!(rate && channels) && mpRegistry != nullptr && driverSM() != nullptr) {
                        mpRegistry->setSampleRate(static_cast<uint32_t>(driverSM()->mChannelSettings.iFrequency));
                    }
                    break;
                }
                if (channels) {
                    detachForChange();
                    createIOBuffers();
                    tellClient(&DeviceManagerClient::onFormatChanged);
                    if (wasAttached) {
                        prepareHardware();
                    }
                }
                checkReportFormatChange(formats[0], formats[1], formats[2], formats[3]);
            }
        }
        QzLibPropertyNotify(audioFourCC("QuNC"));
        break;
    }
    case 6:
        tellClient(&DeviceManagerClient::onVolumeChanged);
        break;
    case 7:
        tellClient(&DeviceManagerClient::onMuteChanged);
        break;
    case 8:
        tellClient(&DeviceManagerClient::onMonitorChanged);
        break;
    case 10:
        if (m_attachState.load() != kDetached) {
            platform::printOut("VKOSXDevice::onServiceInterestCallback STC_ChangeDataSource, callDetach\n");
            detach();
            prepareHardware();
        }
        tellClient(&DeviceManagerClient::onDataSourceChanged);
        break;
    case 11:
    case 12:
        notice(change->code == 11 ? "STC_ClientAttached:" : "STC_ClientDetached:");
        checkRunningStream();
        checkRunningSomewhere();
        if (change->clientID != clientID() && m_client != nullptr) {
            if (change->code == 11) {
                m_client->onOtherClientAttached(this, change->parameter1, change->parameter2);
            } else {
                m_client->onOtherClientDetached(this, change->parameter1);
            }
        }
        break;
    case 32:
        notice("STC_HOGMODECHANGED");
        devicePropertyChanged(kAudioDevicePropertyHogMode);
        break;
    case 0x10000:
        if (m_client != nullptr) {
            m_client->onQZ_StateChange(this, change);
        }
        break;
    default:
        break;
    }
}
