// The device feature methods for sample rates, channel settings and stream formats, and the
// capability record they search: what the device description offers, which settings a new rate
// or format asks for, and handing them to the kernel (or keeping them pending while another
// process streams).
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "APISpecificFeatures.h"
#include "DeviceIdentification.h"
#include "DeviceManagerClient.h"
#include "OSXDeviceManager.h"
#include "VKIOTrace.h"
#include "VKOSXDevice.h"
#include "platform/Log.h"

namespace {

// The rates the capability record and the rate search know (index 0-6).
constexpr std::array<uint32_t, 7> kRateTable = {32'000, 44'100, 48'000, 88'200, 96'000, 176'400, 192'000};
// The rates offered to hosts.
constexpr std::array<uint32_t, 8> kOfferedRates = {32'000, 44'100, 48'000,  64'000,
                                                   88'200, 96'000, 176'400, 192'000};
constexpr std::array<int32_t, 4> kResolutions = {16, 20, 24, 32};
constexpr uint32_t kFullSpeedLimit = 800;
constexpr uint32_t kHighSpeedLimit = 24'552;
constexpr uint32_t kControlGroupSize = 1'100;
constexpr uint32_t kControlEndpointsAt = 12;
constexpr uint32_t kControlEndpointSize = 136;
constexpr uint32_t kFormatChangeMaxChannels = 128;

int rateIndex(uint32_t rate)
{
    for (size_t i = 0; i < kRateTable.size(); ++i) {
        if (kRateTable[i] == rate) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int resolutionIndex(int32_t bits)
{
    for (size_t i = 0; i < kResolutions.size(); ++i) {
        if (kResolutions[i] == bits) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int32_t resolutionBits(int index)
{
    return index >= 0 && index < 4 ? kResolutions[static_cast<size_t>(index)] : 16;
}

// Bytes per millisecond of one stream; 800 for a rate or resolution index out of range.
uint32_t calcBW(int rate, int resolution, int channel)
{
    static constexpr uint32_t kFramesPerMs[7] = {32, 45, 48, 89, 96, 177, 192};
    static constexpr uint32_t kBytes[4] = {2, 3, 3, 4};
    if (static_cast<unsigned>(rate) > 6 || static_cast<unsigned>(resolution) > 3) {
        return 800;
    }
    return kBytes[resolution] * static_cast<uint32_t>(channel + 1) * kFramesPerMs[rate];
}

uint32_t bytesPerSample(uint32_t bits)
{
    switch (bits) {
    case 20:
    case 24:
        return 3;
    case 32:
        return 4;
    default:
        return 2;
    }
}

bool sameSettings(const QzChannelSettings& a, const QzChannelSettings& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// The settings of the shared block, read field by field (other processes write them).
QzChannelSettings sharedSettings(const DriverSM& sm)
{
    QzChannelSettings s{};
    std::memcpy(&s, &sm.mChannelSettings, sizeof s);
    return s;
}

AudioStreamBasicDescription pcmFormat(uint32_t rate, AudioFormatID id, AudioFormatFlags flags, uint32_t bits,
                                      uint32_t bytes, uint32_t channels)
{
    AudioStreamBasicDescription f{};
    f.mSampleRate = rate;
    f.mFormatID = id;
    f.mFormatFlags = flags;
    f.mBytesPerPacket = bytes * channels;
    f.mFramesPerPacket = 1;
    f.mBytesPerFrame = bytes * channels;
    f.mChannelsPerFrame = channels;
    f.mBitsPerChannel = bits;
    return f;
}

} // namespace

// --- Capabilities

void VKOSXDevice::getCaps(XsDeviceCapabilitiesEx& caps) const
{
    std::memset(&caps, 0, sizeof caps);
    const APIDeviceInfo& info = *m_deviceInfo;
    const uint32_t configurations =
        std::min<uint32_t>(info.mNumConfigurations, XsDeviceCapabilitiesEx::kConfigurations);
    for (uint32_t c = 0; c < configurations; ++c) {
        caps.iConfigurations = c + 1;
        auto& config = caps.configs[c];
        for (uint32_t r = 0; r < kRateTable.size(); ++r) {
            for (uint32_t b = 0; b < kResolutions.size(); ++b) {
                for (uint32_t n = 1; n <= XsDeviceCapabilitiesEx::kChannels; ++n) {
                    const auto bits = static_cast<uint8_t>(kResolutions[b]);
                    const auto channels = static_cast<uint8_t>(n);
                    // Listed rates first, then continuous ranges: the search without the
                    // discrete-only restriction answers both.
                    config.out[r][b][n - 1] =
                        scanAPIDeviceInfo(info, c, kRateTable[r], bits, channels, false, true).mFound;
                    config.in[r][b][n - 1] =
                        scanAPIDeviceInfo(info, c, kRateTable[r], bits, channels, false, false).mFound;
                }
            }
        }
    }
}

uint8_t* VKOSXDevice::getControlsEndpoint(bool isInput) const
{
    DriverSM* sm = driverSM();
    if (sm == nullptr) {
        return nullptr;
    }
    uint8_t* group = sm->mDeviceControls + (isInput ? kControlGroupSize : 0);
    int32_t count = 0;
    uint32_t independent = 0;
    std::memcpy(&count, group, 4);
    std::memcpy(&independent, group + 4, 4);
    if (count < 1) {
        return nullptr;
    }
    uint32_t entry = 0;
    if (independent != 1) {
        const uint8_t selector = group[10];
        for (uint32_t k = 0; k < 8; ++k) {
            if (selector == (1U << k)) {
                entry = k;
            }
        }
    }
    return group + kControlEndpointsAt + entry * kControlEndpointSize;
}

uint32_t VKOSXDevice::getVersionUSB()
{
    OSXDispatch record = makeRecord();
    return callDriver(Req_GetUSBVersion, record) ? replyWord(record) : 0;
}

uint32_t VKOSXDevice::getVersionHAL()
{
    OSXDispatch record = makeRecord();
    return callDriver(Req_GetHALVersion, record) ? replyWord(record) : 0;
}

bool VKOSXDevice::isMorvaneCompatible() const
{
    if (reinterpret_cast<const uint8_t*>(features())[375] != 0) {
        return featureFlag(5);
    }
    return m_model.has(osxdevice::kTraitMorvane);
}

bool VKOSXDevice::isAC3compatible() const
{
    return featureFlag(15);
}

bool VKOSXDevice::digitalLock() const
{
    const DriverSM* sm = driverSM();
    return sm != nullptr && std::atomic_ref<const uint8_t>(sm->mAqExtData.DigitalLock).load() != 0;
}

std::optional<int32_t> VKOSXDevice::lockedRate() const
{
    const DriverSM* sm = driverSM();
    if (!digitalLock() || sm == nullptr) {
        return std::nullopt;
    }
    return sharedSettings(*sm).iFrequency;
}

// --- Sample rates

namespace {

// Whether the record holds `rate` in any configuration, resolution and channel count.
bool recordHoldsRate(const XsDeviceCapabilitiesEx& caps, uint32_t rate)
{
    const int r = rateIndex(rate);
    if (r < 0) {
        return false;
    }
    for (uint32_t c = 0; c < caps.iConfigurations; ++c) {
        const auto& config = caps.configs[c];
        for (uint32_t b = 0; b < 4; ++b) {
            for (uint32_t n = 0; n < 32; ++n) {
                if (config.in[r][b][n] != 0 || config.out[r][b][n] != 0) {
                    return true;
                }
            }
        }
    }
    return false;
}

} // namespace

bool VKOSXDevice::canSampleRate(uint32_t rate)
{
    if (m_manager != nullptr && m_manager->allowCurrentSROnly()) {
        return rate == static_cast<uint32_t>(m_cTrueChannels.iFrequency);
    }
    if (const auto locked = lockedRate(); locked && static_cast<int32_t>(rate) != *locked) {
        return false;
    }
    auto caps = std::make_unique<XsDeviceCapabilitiesEx>();
    getCaps(*caps);
    return recordHoldsRate(*caps, rate);
}

uint32_t VKOSXDevice::getSampleRates(AudioValueRange* ranges, uint32_t maxCount)
{
    VKIOTrace trace(nullptr, 0);
    if (ranges != nullptr && maxCount == 0) {
        return 0;
    }
    const uint32_t limit = ranges != nullptr ? maxCount : UINT32_MAX;
    if (m_manager != nullptr && m_manager->allowCurrentSROnly()) {
        if (ranges != nullptr) {
            ranges[0].mMinimum = ranges[0].mMaximum = m_cTrueChannels.iFrequency;
        }
        return 1;
    }
    // One record for the whole walk: each rate asks the same question of it.
    auto caps = std::make_unique<XsDeviceCapabilitiesEx>();
    getCaps(*caps);
    const std::optional<int32_t> locked = lockedRate();
    uint32_t count = 0;
    for (uint32_t rate : kOfferedRates) {
        if (count >= limit) {
            break;
        }
        if (locked && static_cast<int32_t>(rate) != *locked) {
            continue;
        }
        if (recordHoldsRate(*caps, rate)) {
            if (ranges != nullptr) {
                ranges[count].mMinimum = ranges[count].mMaximum = rate;
            }
            ++count;
        }
    }
    trace.trace("Num sample rates=", static_cast<int>(count));
    return count;
}

bool VKOSXDevice::setSampleRate(bool isInput, uint32_t rate, bool& changed, QzChannelSettings& settings)
{
    changed = false;
    const DriverSM* sm = driverSM();
    if (sm == nullptr) {
        return false;
    }
    const QzChannelSettings current = sharedSettings(*sm);
    bool haveFixed = false;
    QzChannelSettings fixed{};
    if (m_model.has(osxdevice::kTraitKeepsSettingsOnRate)) {
        haveFixed = true;
        fixed = current;
    }
    if ((rate == 88'200 || rate == 96'000) && m_model.has(osxdevice::kTraitMonoAtHighRates)) {
        haveFixed = true;
        if (current.iInChannels == 1) {
            fixed = {0, 1, 24, 1, 24, 0};
        } else if (isInput) {
            fixed = {0, 2, 24, 0, 24, 0};
        } else {
            fixed = {0, 0, 24, 2, 24, 0};
        }
    }
    const int r = rateIndex(rate);
    if (r < 0 || !canSampleRate(rate)) {
        return false;
    }
    auto caps = std::make_unique<XsDeviceCapabilitiesEx>();
    getCaps(*caps);
    const uint32_t limit = isUSB2Device() ? kHighSpeedLimit : kFullSpeedLimit;

    uint32_t best = 0;
    uint32_t bestConfig = 0;
    int bestIn[2] = {0, 0}; // channel index, resolution index
    int bestOut[2] = {0, 0};
    for (uint32_t c = 0; c < caps->iConfigurations; ++c) {
        auto& k = caps->configs[c];
        for (int b = 0; b < 4; ++b) {
            for (int n = 0; n < 32; ++n) {
                const uint32_t score = static_cast<uint32_t>((b + 1) * (n + 1));
                k.outScore[r][b][n] = k.out[r][b][n] != 0 ? score : 1;
                k.inScore[r][b][n] = k.in[r][b][n] != 0 ? score : 1;
                k.outBonus[r][b][n] = k.out[r][b][n] != 0 && n + 1 == current.iOutChannels ? 100 : 0;
                k.inBonus[r][b][n] = k.in[r][b][n] != 0 && n + 1 == current.iInChannels ? 100 : 0;
            }
        }
        for (int ic = 31; ic >= 0; --ic) {
            for (int ib = 3; ib >= 0; --ib) {
                const bool inSupported = k.in[r][ib][ic] != 0;
                for (int oc = 31; oc >= 0; --oc) {
                    for (int ob = 3; ob >= 0; --ob) {
                        const bool outSupported = k.out[r][ob][oc] != 0;
                        uint32_t value = k.inScore[r][ib][ic] * k.outScore[r][ob][oc];
                        if (inSupported && outSupported && ib == ob) {
                            value *= 4;
                        }
                        const uint32_t bonus = k.inBonus[r][ib][ic] * k.outBonus[r][ob][oc];
                        if (bonus > 0) {
                            value += bonus;
                        }
                        if (value <= best) {
                            continue;
                        }
                        const uint32_t bandwidth =
                            (inSupported ? calcBW(r, ib, ic) : 0) + (outSupported ? calcBW(r, ob, oc) : 0);
                        if (bandwidth <= limit) {
                            best = value;
                            bestConfig = c;
                            bestIn[0] = ic;
                            bestIn[1] = ib;
                            bestOut[0] = oc;
                            bestOut[1] = ob;
                        }
                    }
                }
            }
        }
    }
    QzChannelSettings result{};
    result.iFrequency = static_cast<int32_t>(rate);
    bool fixedTaken = false;
    if (haveFixed) {
        // The fixed choice holds when the record supports each side it switches on. Its values
        // come from the shared block: an index outside the record means "not supported".
        auto supported = [&](bool output, int32_t channels, int32_t bits) {
            if (channels == 0) {
                return true;
            }
            const int b = resolutionIndex(bits);
            if (fixed.uConfiguration >= caps->iConfigurations || b < 0 || channels < 1 || channels > 32) {
                return false;
            }
            const auto& k = caps->configs[fixed.uConfiguration];
            return (output ? k.out : k.in)[r][b][channels - 1] != 0;
        };
        if (supported(false, fixed.iInChannels, fixed.iInResolution) &&
            supported(true, fixed.iOutChannels, fixed.iOutResolution)) {
            fixedTaken = true;
            best = 100;
            result = fixed;
            result.iFrequency = static_cast<int32_t>(rate);
        }
    }
    if (best <= 1) {
        return false;
    }
    if (!fixedTaken) {
        const auto& k = caps->configs[bestConfig];
        result.uConfiguration = bestConfig;
        const bool inSupported = k.in[r][bestIn[1]][bestIn[0]] != 0;
        const bool outSupported = k.out[r][bestOut[1]][bestOut[0]] != 0;
        result.iInChannels = inSupported ? bestIn[0] + 1 : 0;
        result.iInResolution = resolutionBits(inSupported ? bestIn[1] : bestOut[1]);
        result.iOutChannels = outSupported ? bestOut[0] + 1 : 0;
        result.iOutResolution = resolutionBits(outSupported ? bestOut[1] : bestIn[1]);
    }
    settings = result;
    changed = !sameSettings(result, current);
    return true;
}

bool VKOSXDevice::setFrequency(bool isInput, uint32_t rate)
{
    VKIOTrace trace(nullptr, 0);
    trace.trace("Frequency is ", static_cast<int>(rate));
    if (rate == static_cast<uint32_t>(m_cTrueChannels.iFrequency)) {
        return true;
    }
    bool changed = false;
    QzChannelSettings settings{};
    if (!setSampleRate(isInput, rate, changed, settings)) {
        trace.trace("setSampleRate failed");
        return false;
    }
    return setSettings(settings, isInput, isRunningSomewhere(), false) == 0;
}

void VKOSXDevice::currentFormats(AudioStreamBasicDescription formats[4])
{
    for (int i = 0; i < 4; ++i) {
        formats[i] = {};
        getStreamFormat(i % 2 == 0, &formats[i], i >= 2, kFormatChangeMaxChannels);
    }
}

OSStatus VKOSXDevice::setSettings(QzChannelSettings settings, bool isInput, bool running, bool force)
{
    VKIOTrace trace("OSStatus VKOSXDevice::setSettings(QzChannelSettings, bool, bool, bool)", 0);
    const DriverSM* sm = driverSM();
    if (sm == nullptr) {
        return static_cast<OSStatus>(kIOReturnNoDevice);
    }
    AudioStreamBasicDescription before[4];
    currentFormats(before);
    const QzChannelSettings current = sharedSettings(*sm);

    APIDeviceInfoScanResult inScan{};
    APIDeviceInfoScanResult outScan{};
    QzChannelSettings tried = settings;
    bool found = usbFindConfiguration(isInput, inScan, outScan, tried);
    if (!found) {
        // Widen the side not being set: its resolution first, then its channel count.
        auto attempt = [&](int32_t channels, int32_t bits) {
            tried = settings;
            (isInput ? tried.iOutChannels : tried.iInChannels) = channels;
            (isInput ? tried.iOutResolution : tried.iInResolution) = bits;
            return usbFindConfiguration(isInput, inScan, outScan, tried);
        };
        const int32_t channels = isInput ? settings.iOutChannels : settings.iInChannels;
        const int32_t bits = isInput ? settings.iOutResolution : settings.iInResolution;
        for (int32_t b : {28, 24, 20, 16}) {
            if (!found) {
                found = attempt(channels, b);
            }
        }
        for (int32_t n = 63; n >= 1 && !found; --n) {
            for (int32_t b : {bits, 28, 24, 20, 16}) {
                if (!found) {
                    found = attempt(n, b);
                }
            }
        }
    }
    if (!found) {
        tellClient(&DeviceManagerClient::onFormatChanged);
        return static_cast<OSStatus>(kIOReturnBadArgument);
    }
    settings = tried;
    const bool changed = !sameSettings(settings, current);
    const bool controlPanel = m_manager != nullptr && m_manager->IsControlPanelOrAudioSetup();
    OSStatus status = 0;
    if (!controlPanel && running) {
        // Another process streams: kept until an IO procedure of this process starts.
        m_pending = settings;
        m_pendingDirection = isInput ? 1 : 2;
        IOHold hold(*this);
        m_cTrueChannels = settings;
        m_cTrueChannels.iInChannels =
            std::clamp(settings.iInChannels, 0, static_cast<int32_t>(AudioSM::kMaxChannels));
        m_cTrueChannels.iOutChannels =
            std::clamp(settings.iOutChannels, 0, static_cast<int32_t>(AudioSM::kMaxChannels));
        createIOBuffersInCycle(false);
    } else if (changed || force) {
        OSXDispatch record = makeRecord();
        std::memcpy(record.payload, &settings, sizeof settings);
        const bool sent = callDriver(Req_PrepareNewConfigRegular, record);
        // Whatever the kernel did, its settings are what this device reports.
        {
            IOHold hold(*this);
            copyTrueChannels();
            if (inputHidden()) {
                m_cTrueChannels.iInChannels = 0;
            }
            m_cTrueChannels.iOutChannels = m_model.reported(false, m_cTrueChannels.iOutChannels);
            m_pendingDirection = 0;
            m_pending = m_cTrueChannels;
            // The buffers follow the new channel counts now, not only at the next attach: the
            // host asks for the stream configuration right after a format change.
            createIOBuffersInCycle(false);
        }
        platform::syslog(platform::log::kPriorityWarning, "SetSettings framesize %d",
                         static_cast<int>(m_frameSize.getUInt32()));
        setFrameSize(m_frameSize.getUInt32(), false, force);
        updateLatencies();
        if (!sent) {
            // A request that did not reach the kernel (or that it refused) is no success.
            status = static_cast<OSStatus>(ioIsOpen() ? kIOReturnError : kIOReturnNotOpen);
        }
    }
    checkReportFormatChange(before[0], before[1], before[2], before[3]);
    return status;
}

// --- Stream formats

OSStatus VKOSXDevice::getStreamFormat(bool isInput, AudioStreamBasicDescription* format, bool physical,
                                      uint32_t maxChannels)
{
    const DriverSM* sm = driverSM();
    if (sm == nullptr || format == nullptr) {
        return static_cast<OSStatus>(kIOReturnNoDevice);
    }
    const int d = isInput ? 0 : 1;
    const QzChannelSettings shared = sharedSettings(*sm);
    const AudioFormatID id = physical ? m_physicalFormat[d] : m_virtualFormat[d];
    const bool ac3 = id == kAudioFormat60958AC3;
    const AudioFormatFlags flags = physical ? (ac3 ? 12U : 4U) : m_sampleKind[d].load();
    int32_t channels = 0;
    int32_t bits = 0;
    if (m_pendingDirection != 0) {
        channels = isInput ? m_pending.iInChannels : m_pending.iOutChannels;
        bits = isInput ? m_pending.iInResolution : m_pending.iOutResolution;
    } else {
        const bool current = physical && !isElektronOverbridge();
        const QzChannelSettings& from = current ? m_cTrueChannels : m_reported;
        channels = isInput ? from.iInChannels : from.iOutChannels;
        bits = isInput ? shared.iInResolution : shared.iOutResolution;
    }
    if (ac3) {
        channels = 2;
    }
    const bool controlPanel = m_manager != nullptr && m_manager->IsControlPanelOrAudioSetup();
    if (channels == 0 && !isUSB2Device() && !controlPanel &&
        (m_reported.iFrequency == 88'200 || m_reported.iFrequency == 96'000)) {
        const int32_t pending = isInput ? m_pending.iInChannels : m_pending.iOutChannels;
        if (pending != 0) {
            channels = pending;
        }
    }
    auto count = static_cast<uint32_t>(std::clamp(channels, 0, static_cast<int32_t>(AudioSM::kMaxChannels)));
    count = std::min(count, maxChannels);
    if (!physical && !ac3) {
        bits = 32;
    }
    if (m_model.has(osxdevice::kTraitFormatShowsFixedChannels)) {
        count = static_cast<uint32_t>(m_model.shown(isInput, static_cast<int32_t>(count)));
    }
    const uint32_t bytes = !physical && !ac3 ? 4 : bytesPerSample(static_cast<uint32_t>(bits));
    *format = pcmFormat(static_cast<uint32_t>(std::max(m_reported.iFrequency, 0)), id, flags,
                        static_cast<uint32_t>(std::max(bits, 0)), bytes, count);
    return 0;
}

// The formats on offer at one rate, written from `formats` on (null: counted only), at most `room`.
uint32_t VKOSXDevice::formatsAtRate(bool isInput, bool physical, uint32_t rate,
                                    AudioStreamBasicDescription* formats, uint32_t room, uint32_t maxChannels)
{
    int32_t low = rate >= 88'200 ? 1 : 2;
    int32_t high = 8;
    if (isElektronOverbridge()) {
        low = high = isInput ? m_reported.iInChannels : m_reported.iOutChannels;
    } else if (isCorlanthCompatible()) {
        low = 2;
        high = 32;
    }
    low = std::max(low, 1);
    high = std::min(high, static_cast<int32_t>(AudioSM::kMaxChannels));
    auto shown = [&](int32_t searched) {
        return std::min(static_cast<uint32_t>(m_model.shown(isInput, searched)), maxChannels);
    };
    uint32_t count = 0;
    auto emit = [&](const AudioStreamBasicDescription& f) {
        if (formats != nullptr && count < room) {
            formats[count] = f;
        }
        ++count;
    };
    const APIDeviceInfo& info = *m_deviceInfo;
    for (int32_t n = low; n <= high; ++n) {
        for (int32_t bits : kResolutions) {
            if (!scanAPIDeviceInfo(info, 0, rate, static_cast<uint8_t>(bits), static_cast<uint8_t>(n), false,
                                   !isInput)
                     .mFound) {
                continue;
            }
            const uint32_t channels = shown(n);
            if (physical) {
                emit(pcmFormat(rate, kAudioFormatLinearPCM, kAudioFormatFlagIsSignedInteger,
                               static_cast<uint32_t>(bits), bytesPerSample(static_cast<uint32_t>(bits)),
                               channels));
                continue;
            }
            emit(pcmFormat(rate, kAudioFormatLinearPCM, kAudioFormatFlagIsFloat, 32, 4, channels));
            emit(pcmFormat(rate, kAudioFormatLinearPCM, kAudioFormatFlagIsSignedInteger, 32, 4, channels));
            break;
        }
    }
    // An AC-3 capable device offers the encoded stream at every rate it has any format for: the
    // entry the count includes is the one the list holds.
    if (count != 0 && isAC3compatible()) {
        emit(pcmFormat(rate, kAudioFormat60958AC3, kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked,
                       16, 2, std::min(2U, maxChannels)));
    }
    return count;
}

uint32_t VKOSXDevice::getStreamFormatNum(bool isInput, bool physical)
{
    VKIOTrace trace(nullptr, 0);
    if (isInput && inputHidden()) {
        return 0;
    }
    if (m_manager != nullptr && m_manager->allowCurrentSROnly()) {
        return 1;
    }
    const std::optional<int32_t> locked = lockedRate();
    uint32_t count = 0;
    for (uint32_t rate : kOfferedRates) {
        if (!locked || static_cast<int32_t>(rate) == *locked) {
            count += formatsAtRate(isInput, physical, rate, nullptr, 0, UINT32_MAX);
        }
    }
    trace.trace(physical ? "found physical formats / isInput" : "found virtual formats / isInput",
                static_cast<int>(count), isInput ? 1 : 0);
    return count;
}

OSStatus VKOSXDevice::getStreamFormats(bool isInput, AudioStreamBasicDescription* formats, uint32_t count,
                                       bool physical, uint32_t maxChannels)
{
    if (formats == nullptr) {
        return static_cast<OSStatus>(kIOReturnBadArgument);
    }
    if (m_manager != nullptr && m_manager->allowCurrentSROnly() && count == 1) {
        return getStreamFormat(isInput, formats, physical, UINT32_MAX);
    }
    if (count != getStreamFormatNum(isInput, physical)) {
        platform::syslog(platform::log::kPriorityNotice, "HAL: %s %d\n", "numDescriptors does not match",
                         static_cast<int>(count));
        return static_cast<OSStatus>(kIOReturnBadArgument);
    }
    if (count == 0) {
        return 0;
    }
    const std::optional<int32_t> locked = lockedRate();
    uint32_t written = 0;
    for (uint32_t rate : kOfferedRates) {
        if (written < count && (!locked || static_cast<int32_t>(rate) == *locked)) {
            written +=
                formatsAtRate(isInput, physical, rate, formats + written, count - written, maxChannels);
        }
    }
    return 0;
}

OSStatus VKOSXDevice::getAvailableFormats(bool isInput, AudioStreamRangedDescription* formats, uint32_t count,
                                          bool physical, uint32_t maxChannels)
{
    std::vector<AudioStreamBasicDescription> list(std::max<uint32_t>(count, 1));
    const OSStatus status = getStreamFormats(isInput, list.data(), count, physical, maxChannels);
    if (status == 0 && formats != nullptr) {
        for (uint32_t i = 0; i < count; ++i) {
            formats[i].mFormat = list[i];
            formats[i].mSampleRateRange.mMinimum = formats[i].mSampleRateRange.mMaximum = list[i].mSampleRate;
        }
    }
    return status;
}

void VKOSXDevice::preprocessSetStreamFormat(AudioStreamBasicDescription* format, bool isInput, bool) const
{
    if (format != nullptr && m_model.has(osxdevice::kTraitFixedChannels)) {
        const int32_t channels = isInput ? m_cTrueChannels.iInChannels : m_cTrueChannels.iOutChannels;
        format->mChannelsPerFrame = static_cast<uint32_t>(std::max(channels, 0));
    }
}

OSStatus VKOSXDevice::setStreamFormat(bool isInput, const AudioStreamBasicDescription* format, bool physical)
{
    static const char* const kFunction =
        "OSStatus VKOSXDevice::setStreamFormat(bool, const AudioStreamBasicDescription *, bool)";
    const DriverSM* sm = driverSM();
    if (sm == nullptr) {
        return static_cast<OSStatus>(kIOReturnNoDevice);
    }
    if (format == nullptr) {
        return static_cast<OSStatus>(kIOReturnBadArgument);
    }
    // A call made while another runs answers 0 without acting; the count is taken only here, so
    // every way out gives it back.
    int idle = 0;
    if (!m_setFormatDepth.compare_exchange_strong(idle, 1)) {
        return 0;
    }
    struct Leave
    {
        std::atomic<int>& depth;
        ~Leave() { depth.store(0); }
    } leave{m_setFormatDepth};

    const int d = isInput ? 0 : 1;
    auto channels = static_cast<int32_t>(std::min<uint32_t>(format->mChannelsPerFrame, 255));
    const auto bits = static_cast<int32_t>(std::min<uint32_t>(format->mBitsPerChannel, 255));
    if (isInput && inputHidden() && physical && channels == 0) {
        channels = 4;
    }
    if (m_model.has(osxdevice::kTraitFourOutputsAreSix) && !isInput && channels == 4) {
        platform::syslog(platform::log::kPriorityNotice, "HAL: %s\n", "Force Crimson SPL to 6 out");
        channels = 6;
    }
    if (m_model.has(osxdevice::kTraitElektronUnfinished)) {
        platform::syslog(platform::log::kPriorityNotice, "HAL: %s\n", "setStreamFormat FIXME ELEKTRON");
    }
    if (m_model.has(osxdevice::kTraitFixedChannels)) {
        channels = m_model.reported(isInput, channels);
    }
    const bool idChange = physical && format->mFormatID != m_physicalFormat[d];
    const bool ac3 = format->mFormatID == kAudioFormat60958AC3;
    uint32_t flags = m_sampleKind[d].load();
    if (physical && ac3) {
        if (format->mFormatFlags != 4 && format->mFormatFlags != 12) {
            return kAudioDeviceUnsupportedFormatError;
        }
        flags = format->mFormatFlags;
    } else if (!physical) {
        if (format->mFormatFlags != 1 && format->mFormatFlags != 4 && format->mFormatFlags != 12) {
            return kAudioDeviceUnsupportedFormatError;
        }
        flags = format->mFormatFlags;
    }
    QzChannelSettings working = m_pendingDirection != 0 ? m_pending : sharedSettings(*sm);
    if (isInput) {
        platform::syslog(platform::log::kPriorityNotice, "HAL: %s %s %d\n", " INPUT Phys", kFunction,
                         physical ? 1 : 0);
    } else {
        platform::syslog(platform::log::kPriorityNotice, "HAL: %s %d\n", "setStreamFormat OUTPUT Phys",
                         physical ? 1 : 0);
    }
    (isInput ? working.iInChannels : working.iOutChannels) = channels;
    (isInput ? working.iInResolution : working.iOutResolution) = bits;
    int32_t& resolution = isInput ? working.iInResolution : working.iOutResolution;

    const auto requestedRate = static_cast<int32_t>(std::clamp(format->mSampleRate, 0.0, 1.0e6));
    if (requestedRate != 0) {
        working.iFrequency = requestedRate;
    } else {
        auto holds = [&](int32_t rate) {
            return rate > 0 && channels > 0 && bits > 0 &&
                   scanAPIDeviceInfo(*m_deviceInfo, 0, static_cast<uint32_t>(rate),
                                     static_cast<uint8_t>(bits), static_cast<uint8_t>(channels), false,
                                     !isInput)
                       .mFound;
        };
        if (!holds(working.iFrequency)) {
            for (int32_t rate : {32'000, 44'100, 48'000, 64'000, 88'200, 96'000, 128'000, 176'400, 192'000}) {
                if (holds(rate)) {
                    working.iFrequency = rate;
                    break;
                }
            }
        }
    }

    APIDeviceInfoScanResult inScan{};
    APIDeviceInfoScanResult outScan{};
    if (physical && ac3) {
        bool fits = usbFindConfiguration(isInput, inScan, outScan, working);
        if (!fits) {
            resolution = 24;
            fits = usbFindConfiguration(isInput, inScan, outScan, working);
        }
        if (!fits) {
            return kAudioDeviceUnsupportedFormatError;
        }
    } else if (!physical) {
        const QzChannelSettings base = working;
        bool fits = false;
        for (int32_t b : {bits, 24, 20, 16}) {
            working = base;
            resolution = b;
            if (usbFindConfiguration(isInput, inScan, outScan, working)) {
                fits = true;
                break;
            }
        }
        if (!fits) {
            return kAudioDeviceUnsupportedFormatError;
        }
    }
    auto store = [&] {
        m_sampleKind[d].store(flags);
        (physical ? m_physicalFormat : m_virtualFormat)[d] = format->mFormatID;
    };
    const QzChannelSettings& now = m_cTrueChannels;
    const bool layoutSame =
        working.iInChannels == now.iInChannels && working.iOutChannels == now.iOutChannels &&
        working.iInResolution == now.iInResolution && working.iOutResolution == now.iOutResolution;
    if (layoutSame && !idChange && working.iFrequency == now.iFrequency) {
        store();
        return 0;
    }
    if (m_attachState.load() != kDetached && !(layoutSame && !idChange)) {
        platform::syslog(platform::log::kPriorityError, "ERROR %s while streaming\n", kFunction);
        return static_cast<OSStatus>(kIOReturnBusy);
    }
    const OSStatus status = setSettings(working, isInput, false, false);
    if (status == 0) {
        store();
    }
    return status;
}

void VKOSXDevice::checkReportFormatChange(const AudioStreamBasicDescription& oldIn,
                                          const AudioStreamBasicDescription& oldOut,
                                          const AudioStreamBasicDescription& oldInPhysical,
                                          const AudioStreamBasicDescription& oldOutPhysical)
{
    const double oldRate =
        oldInPhysical.mSampleRate != 0 ? oldInPhysical.mSampleRate : oldOutPhysical.mSampleRate;
    AudioStreamBasicDescription now[4];
    currentFormats(now);
    const double newRate = now[2].mSampleRate != 0 ? now[2].mSampleRate : now[3].mSampleRate;
    const bool in = std::memcmp(&now[0], &oldIn, sizeof oldIn) != 0;
    const bool out = std::memcmp(&now[1], &oldOut, sizeof oldOut) != 0;
    const bool inPhysical = std::memcmp(&now[2], &oldInPhysical, sizeof oldIn) != 0;
    const bool outPhysical = std::memcmp(&now[3], &oldOutPhysical, sizeof oldIn) != 0;
    const bool rate = newRate != oldRate;
    const bool any = in || out || inPhysical || outPhysical || rate;
    if (any) {
        platform::printOut("...onFormatChanged\n");
        tellClient(&DeviceManagerClient::onFormatChanged);
    }
    if (m_plugIn == nullptr || m_deviceID == 0) {
        return;
    }
    static const AudioObjectPropertyAddress kStreamFormats[3] = {
        {kAudioStreamPropertyPhysicalFormat, kAudioObjectPropertyScopeGlobal, 0},
        {kAudioStreamPropertyAvailablePhysicalFormats, kAudioObjectPropertyScopeGlobal, 0},
        {kAudioDevicePropertyStreamFormat, kAudioObjectPropertyScopeGlobal, 0}};
    if (in && m_inStreamID != 0) {
        AudioObjectPropertiesChanged(m_plugIn, m_inStreamID, 3, kStreamFormats);
    }
    if (out && m_outStreamID != 0) {
        AudioObjectPropertiesChanged(m_plugIn, m_outStreamID, 3, kStreamFormats);
    }
    if (rate) {
        devicePropertyChanged(kAudioDevicePropertyNominalSampleRate);
    }
    devicePropertyChanged(kAudioDevicePropertyDeviceHasChanged);
    if (in || out) {
        devicePropertyChanged(kAudioDevicePropertyStreamFormat);
    }
    if (any) {
        AudioHardwareDevicePropertyChanged(m_plugIn, m_deviceID, 0, true, kAudioDevicePropertyLatency);
        AudioHardwareDevicePropertyChanged(m_plugIn, m_deviceID, 0, false, kAudioDevicePropertyLatency);
    }
    auto streamNotes = [&](AudioStreamID stream, bool physicalChanged, bool clientChanged) {
        if (stream == 0) {
            return;
        }
        if (physicalChanged) {
            AudioHardwareStreamPropertyChanged(m_plugIn, m_deviceID, stream, 0,
                                               kAudioStreamPropertyPhysicalFormat);
        }
        if (clientChanged) {
            AudioHardwareStreamPropertyChanged(m_plugIn, m_deviceID, stream, 0,
                                               kAudioDevicePropertyStreamFormat);
        }
        if (rate) {
            AudioHardwareStreamPropertyChanged(m_plugIn, m_deviceID, stream, 0,
                                               kAudioDevicePropertyNominalSampleRate);
        }
        if (any) {
            AudioHardwareStreamPropertyChanged(m_plugIn, m_deviceID, stream, 0, kAudioDevicePropertyLatency);
        }
    };
    streamNotes(m_inStreamID, inPhysical, in);
    if (m_outStreamID != 0) {
        streamNotes(m_outStreamID, outPhysical, out);
        if (rate) {
            devicePropertyChanged(kAudioDevicePropertyNominalSampleRate);
        }
    }
}
