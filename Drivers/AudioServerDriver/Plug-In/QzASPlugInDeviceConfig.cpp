// Configuration changes: requested of the host from a queued block, carried out inside the host's
// change call with "Device State" and "Device IO" held, then announced by what changed.
#include <cstring>
#include <memory>
#include <vector>

#include "DeviceModels.h"
#include "OSXAsioRegistry.h"
#include "QzASPlugInDevice.h"
#include "QzIORegistryPrefs.h"
#include "VKIOTrace.h"
#include "platform/DispatchQueues.h"
#include "platform/HostClock.h"
#include "platform/Log.h"

namespace {

namespace hc = platform::host_clock;
constexpr int kWarning = platform::log::kPriorityWarning;
constexpr uint32_t kCommandReadElektron = 67;

long long nowMs()
{
    return static_cast<long long>(hc::now() / 1'000'000);
}

void sleepMs(uint64_t ms)
{
    hc::sleepFor(ms * 1'000'000);
}

struct RequestBlock
{
    QzASDeviceHost* host;
    AudioObjectID deviceID;
    UInt64 action;
    QzASConfigChange* change;
};

void sendRequest(void* context)
{
    auto* block = static_cast<RequestBlock*>(context);
    platform::syslog(kWarning, "Host_RequestDeviceConfigurationChange: shost %p\n", static_cast<void*>(block->host));
    block->host->RequestDeviceConfigurationChange(block->deviceID, block->action, block->change);
    delete block;
}

} // namespace

void QzASPlugInDevice::RequestConfigChange(UInt64 action, const QzASConfigChange& change)
{
    if (mHost == nullptr) {
        return;
    }
    // The block carries the device's identifier, never the device: the host looks it up again
    // when it performs the change, and answers an unknown identifier itself.
    auto* block = new RequestBlock{mHost, GetObjectID(), action, new QzASConfigChange(change)};
    dispatch_async_f(platform::dispatch::globalSerialQueue(), block, &sendRequest);
}

void QzASPlugInDevice::AbortConfigChange(UInt64, void* changeInfo)
{
    delete static_cast<QzASConfigChange*>(changeInfo);
}

void QzASPlugInDevice::currentFormats(AudioStreamBasicDescription (&formats)[4])
{
    // Input virtual, input physical, output virtual, output physical.
    for (int i = 0; i < 4; ++i) {
        formats[i] = {};
        if (mDevice != nullptr) {
            mDevice->getStreamFormat(i < 2, &formats[i], i % 2 == 1, 0xFFFFFFFF);
        }
    }
}

void QzASPlugInDevice::PerformConfigChange(UInt64 action, void* changeInfo)
{
    VKIOTrace trace("QzASPlugInDevice::PerformConfigChange", 0);
    std::unique_ptr<QzASConfigChange> change(static_cast<QzASConfigChange*>(changeInfo));
    const QzASConfigChange record = change != nullptr ? *change : QzASConfigChange{};
    platform::syslog(kWarning, "@%lld PerformConfigChange In, %s\n", nowMs(),
                     mInitialized ? "Initialized" : "NOT initialized");
    if (!mInitialized) {
        platform::syslog(kWarning, "Not initialized yet\n");
        return;
    }
    if (driverSM() == nullptr) {
        platform::syslog(kWarning, "Shared memory null\n");
        return;
    }
    CAMutex::Locker state(mStateMutex);
    CAMutex::Locker io(mIOMutex);
    mPerformConfigChange.store(true);
    AudioStreamBasicDescription before[4];
    currentFormats(before);
    const bool isInput = record.isInput;

    auto elektronStep = [&] {
        if (!mDevice->isElektronOverbridge()) {
            return;
        }
        if (mRegistryPrefs != nullptr) {
            mRegistryPrefs->update();
        }
        OSXDispatch elektron = DriverConnection::makeRecord(kCommandReadElektron);
        if (callDriver(Req_DispatchStreaming, elektron)) {
            std::memcpy(&mElektronConfiguration, elektron.payload + 4, sizeof mElektronConfiguration);
        }
        setStoredElektronConfigAndMapping(mElektronConfigAndMap, reinterpret_cast<const char*>(&mElektronConfiguration),
                                          true);
        if (mRegistry != nullptr) {
            mRegistry->setElektronConfigAndMapping(mElektronConfigAndMap);
        }
    };

    switch (action) {
    case kQzConfigWakeUp:
        platform::syslog(kWarning, "@%lld PerformConfigChange received kQzConfigWakeUp\n", nowMs());
        break;
    case kQzConfigChangeSampleRate: {
        platform::syslog(kWarning, "@%lld PerformConfigChange received kQzConfigChangeSampleRate\n", nowMs());
        trace.trace("Action kQzConfigChangeSampleRate");
        const uint32_t count = mDevice->getSampleRates(nullptr, 0);
        std::vector<AudioValueRange> ranges(count);
        mDevice->getSampleRates(ranges.data(), count);
        for (const AudioValueRange& range : ranges) {
            if (static_cast<UInt64>(range.mMinimum) == record.sampleRate) {
                mDevice->setFrequency(isInput, static_cast<uint32_t>(record.sampleRate));
                sleepMs(500);
                handleNewConfig();
                checkReportFormatChange(before, false);
                break;
            }
        }
        break;
    }
    case kQzConfigChangePhysicalFormat:
    case kQzConfigChangePhysicalFormatOut: {
        platform::syslog(kWarning, "@%lld PerformConfigChange received kQzConfigChangePhysicalFormat\n", nowMs());
        trace.trace("Action kQzConfigChangePhysicalFormat");
        AudioStreamBasicDescription format = record.format;
        mDevice->preprocessSetStreamFormat(&format, isInput, true);
        mDevice->setStreamFormat(isInput, &format, true);
        handleNewConfig();
        checkReportFormatChange(before, false);
        sleepMs(200);
        break;
    }
    case kQzConfigChangeNewConfig: {
        platform::syslog(kWarning, "@%lld PerformConfigChange received kQzConfigChangeNewConfig\n", nowMs());
        trace.trace("Action kQzConfigChangeNewConfig");
        elektronStep();
        const bool lockChanged = mDigitalLock != digitalLock();
        handleNewConfig();
        checkReportFormatChange(before, lockChanged);
        break;
    }
    case kQzConfigChangeMixerMode:
        trace.trace("Action kQzConfigChangeMixerMode");
        platform::syslog(kWarning, "@%lld PerformConfigChange received kQzConfigChangeMixerMode\n", nowMs());
        handleNewConfig();
        checkReportFormatChange(before, false);
        break;
    case kQzConfigChangeDigitalOutMode:
        sleepMs(50);
        break;
    case kQzConfigChangeClockSource: {
        // A client's choice goes to the device first; the source is then what the device says it
        // uses, never merely what was asked for.
        uint32_t source = record.value;
        if (record.fromClient) {
            const int32_t reported = applyClockSource(record.value);
            source = reported >= 0 ? static_cast<uint32_t>(reported) : mClockSource;
        }
        if (source != mClockSource) {
            mClockSource = source;
            notify(GetObjectID(), {kAudioDevicePropertyClockSource});
            checkReportFormatChange(before, false);
        }
        sleepMs(50);
        break;
    }
    case kQzConfigChangeElektron:
    case kQzConfigChangeElektronMap:
        elektronStep();
        break;
    default:
        // Data sources (6, 7) are not offered by this build's devices; anything else is unknown.
        trace.trace("Action", static_cast<int>(action));
        platform::syslog(kWarning, "@%lld PerformConfigChange unknown %lld\n", nowMs(), static_cast<long long>(action));
        break;
    }
    // The host stopped IO for the change and starts it again on a new anchor: a repair still
    // awaited has nothing left to do.
    mInStreamingSuspended.store(false);
    mAwaitingRepair.store(false);
    mPerformConfigChange.store(false);
    platform::syslog(kWarning, "@%lld PerformConfigChange Out, mInStreamingSuspended false\n", nowMs());
}

void QzASPlugInDevice::handleNewConfig()
{
    VKIOTrace trace("QzASPlugInDevice::handleNewConfig", 0);
    const QzChannelSettings kept = mCurrent;
    DriverSM* sm = driverSM();
    if (sm == nullptr) {
        return;
    }
    const bool lock = digitalLock();
    platform::syslog(kWarning, "STC_NewConfig mDigitalLock Old %d New %d\n", mDigitalLock ? 1 : 0, lock ? 1 : 0);
    copyCurrentSettings();
    if (std::memcmp(&kept, &mCurrent, sizeof kept) != 0 || lock != mDigitalLock) {
        mDigitalLock = lock;
    }
    mDevice->createIOBuffers();
    updateLatencies();
    updateSafetyOffsets();
    // The ring's length as a checked header gives it (the kernel's block may say anything).
    uint64_t period = 65'536;
    if (AudioSM* in = mInputRing.load(); in != nullptr && in->geometry().usable()) {
        period = in->geometry().maxFrames;
    } else if (mCurrent.iInChannels > 0) {
        period = 131'072 / static_cast<uint32_t>(mCurrent.iInChannels);
    }
    uint32_t p = 1;
    while (p <= period / 2 && p < 0x80000000U) {
        p <<= 1;
    }
    mZeroTimeStampPeriod = p;
    platform::syslog(kWarning, "AudioServer: %s %d\n", "handleNewConfig: Set mZeroTimeStampPeriod to",
                     static_cast<int>(mZeroTimeStampPeriod));
}

void QzASPlugInDevice::checkReportFormatChange(const AudioStreamBasicDescription (&before)[4], bool digitalLockChanged)
{
    auto rateOf = [](const AudioStreamBasicDescription (&f)[4]) {
        const auto in = static_cast<int>(f[1].mSampleRate);
        return in != 0 ? in : static_cast<int>(f[3].mSampleRate);
    };
    AudioStreamBasicDescription after[4];
    currentFormats(after);
    const int oldRate = rateOf(before);
    const int newRate = rateOf(after);
    const bool inChanged = std::memcmp(&before[1], &after[1], sizeof after[1]) != 0;
    const bool outChanged = std::memcmp(&before[3], &after[3], sizeof after[3]) != 0;
    if (GetObjectID() == 0 || (!inChanged && !outChanged && !digitalLockChanged)) {
        return;
    }
    notify(GetObjectID(), {kAudioDevicePropertyLatency});
    if (oldRate != newRate) {
        platform::syslog(kWarning, "checkReportFormatChange sr changed %d to %d\n", oldRate, newRate);
        notify(GetObjectID(), {kAudioDevicePropertyNominalSampleRate});
    }
    // The formats are the streams' properties: announce them on the stream that changed.
    if (inChanged) {
        platform::syslog(kWarning, "checkReportFormatChange phys in changed\n");
        notify(mObjectIDs[0], {kAudioStreamPropertyPhysicalFormat, kAudioStreamPropertyAvailablePhysicalFormats,
                               kAudioStreamPropertyVirtualFormat, kAudioStreamPropertyAvailableVirtualFormats});
    }
    if (outChanged) {
        platform::syslog(kWarning, "checkReportFormatChange phys out changed\n");
        notify(mObjectIDs[1], {kAudioStreamPropertyPhysicalFormat, kAudioStreamPropertyAvailablePhysicalFormats,
                               kAudioStreamPropertyVirtualFormat, kAudioStreamPropertyAvailableVirtualFormats});
    }
    if (digitalLockChanged) {
        platform::syslog(kWarning, "checkReportFormatChange digital lock changed\n");
        notify(GetObjectID(), {kAudioDevicePropertyAvailableNominalSampleRates});
        for (int s = 0; s < 2; ++s) {
            notify(mObjectIDs[s], {kAudioStreamPropertyPhysicalFormat, kAudioStreamPropertyAvailablePhysicalFormats});
        }
    }
}
