// The device object: construction, bring-up, opening, closing and removal; property items,
// latencies and the notifications to the host.
#include "VKOSXDevice.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "APISpecificFeatures.h"
#include "CoreFoundation/CFRunLoop.h"
#include "DeviceIdentification.h"
#include "DeviceManagerClient.h"
#include "FirmwareUpdater.h"
#include "OSXAsioRegistry.h"
#include "OSXDeviceManager.h"
#include "QzIORegistryPrefs.h"
#include "VKIOTrace.h"
#include "platform/HostClock.h"
#include "platform/Log.h"
#include "platform/ProcessEnvironment.h"

namespace {

constexpr uint32_t kHALVersion = 0x03030B00;
constexpr uint32_t kDescriptionPage = 256;
constexpr int kConfigureWaits = 50;
constexpr uint64_t kConfigureWaitNanos = 500'000'000;
constexpr uint32_t kGetElektronDeviceUID = 67;

void sleepMilliseconds(uint64_t ms)
{
    platform::host_clock::sleepFor(ms * 1'000'000);
}

std::string copyName(const char* field)
{
    return std::string(field, strnlen(field, kDriverSMNameSize));
}

// A counter in the shared block, which every process that maps it changes: atomic operations only.
std::atomic_ref<int32_t> sharedInt(uint32_t& word)
{
    return std::atomic_ref<int32_t>(reinterpret_cast<int32_t&>(word));
}

} // namespace

// --- IntSpinLock

bool IntSpinLock::lock(std::atomic<int>* word, bool wait)
{
    if (m_word != nullptr) {
        return false;
    }
    if (word == nullptr) {
        return true;
    }
    for (;;) {
        if (word->fetch_add(1, std::memory_order_acq_rel) == 0) {
            m_word = word;
            return true;
        }
        word->fetch_sub(1, std::memory_order_acq_rel);
        if (!wait) {
            return false;
        }
        platform::host_clock::sleepFor(50'000);
    }
}

void IntSpinLock::unlock()
{
    if (m_word != nullptr) {
        m_word->fetch_sub(1, std::memory_order_acq_rel);
        m_word = nullptr;
    }
}

// --- AudioIOBuffer

void AudioIOBuffer::init()
{
    mList = AudioBufferList{};
    mList.mNumberBuffers = 1;
    mIntBuffer = nullptr;
    mIntSamples = 0;
    mBufferChannels = 0;
}

void AudioIOBuffer::term()
{
    m_float.reset();
    m_int.reset();
    init();
}

bool AudioIOBuffer::create(uint32_t deviceChannels, uint32_t clientChannels, uint32_t frames)
{
    VKIOTrace trace(nullptr, 0);
    trace.trace("nHWChannels / nSWChannels", static_cast<int>(deviceChannels), static_cast<int>(clientChannels));
    if (deviceChannels > kMaxChannels || clientChannels > kMaxChannels || frames > kMaxFrames) {
        term();
        return false;
    }
    if (deviceChannels != mBufferChannels || clientChannels != mList.mBuffers[0].mNumberChannels ||
        m_float == nullptr) {
        term();
        m_float.reset(new (std::nothrow) float[size_t{kMaxFrames} * (clientChannels != 0 ? clientChannels : 1)]());
        m_int.reset(new (std::nothrow) int32_t[size_t{kMaxFrames} * (deviceChannels != 0 ? deviceChannels : 1)]());
        if (m_float == nullptr || m_int == nullptr) {
            term();
            return false;
        }
        mBufferChannels = deviceChannels;
        mList.mBuffers[0].mNumberChannels = clientChannels;
        mList.mBuffers[0].mData = m_float.get();
        mIntBuffer = m_int.get();
    }
    mList.mBuffers[0].mDataByteSize = frames * 4 * clientChannels;
    mIntSamples = frames * deviceChannels;
    return true;
}

// --- VKOSXDevice

VKOSXDevice::VKOSXDevice(AudioHardwarePlugInRef plugIn, DeviceManagerClient* client, io_service_t service,
                         OSXDeviceManager* manager, uint32_t connectionType)
    : DriverConnection(service, connectionType), OSXUserThread(63), m_deviceInfo(std::make_unique<APIDeviceInfo>()),
      m_defaultFrameSize(manager != nullptr && manager->getClientAppType() == 3 ? 1'024 : 256), m_plugIn(plugIn),
      m_client(client), m_manager(manager), m_procs(new std::vector<IOProcEntry*>())
{
    std::memset(static_cast<void*>(m_deviceInfo.get()), 0, sizeof(APIDeviceInfo));
    m_filter.init(44'100, m_defaultFrameSize, m_defaultFrameSize, 2 * m_defaultFrameSize);
}

VKOSXDevice::~VKOSXDevice()
{
    VKIOTrace trace(nullptr, 0);
    if (mpRegistry == nullptr) {
        platform::printOut("~VKOSXDevice mpRegistry null!!!\n");
    } else {
        if (featureFlag(APISpecificFeatures::kReroutingOutputEncoder)) {
            for (const RoutingPair& pair : kRoutingPairs) {
                uint32_t value = 0;
                if (getRouting(pair.direction, pair.index, value)) {
                    platform::printOut("~VKOSXDevice Saving routing %u, %u with value %d\n", pair.direction,
                                       pair.index, static_cast<int>(value));
                    mpRegistry->setRouting(pair.direction, pair.index, value);
                }
            }
        }
        mpRegistry->store();
    }
    trace.trace("~VKOSXDevice: closeDevice(true)");
    if (m_prefs != nullptr) {
        m_prefs->update();
        m_prefs->writePropertiesToStorage();
    }
    closeDevice(true);
    if (m_interest != 0) {
        IOObjectRelease(m_interest);
        m_interest = 0;
    }
    delete mpRegistry;
    mpRegistry = nullptr;
    // A thread that did not end keeps the procedure list (closeDevice said so).
    if (!isBodyRunning()) {
        delete m_procs.load();
    }
}

uint16_t VKOSXDevice::vendorID() const
{
    uint16_t v = 0;
    std::memcpy(&v, m_deviceInfo.get(), 2);
    return v;
}

uint16_t VKOSXDevice::productID() const
{
    uint16_t v = 0;
    std::memcpy(&v, reinterpret_cast<const uint8_t*>(m_deviceInfo.get()) + 2, 2);
    return v;
}

uint16_t VKOSXDevice::releaseID() const
{
    uint16_t v = 0;
    std::memcpy(&v, reinterpret_cast<const uint8_t*>(m_deviceInfo.get()) + 4, 2);
    return v;
}

const APISpecificFeatures* VKOSXDevice::features() const
{
    return reinterpret_cast<const APISpecificFeatures*>(reinterpret_cast<const uint8_t*>(m_deviceInfo.get()) +
                                                        sizeof(APIDeviceInfo) - sizeof(APISpecificFeatures));
}

bool VKOSXDevice::featureFlag(unsigned flag) const
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(features());
    return bytes[375] != 0 && bytes[312 + flag] != 0;
}

bool VKOSXDevice::inputHidden() const
{
    return reinterpret_cast<const uint8_t*>(features())[322] == 1;
}

void VKOSXDevice::classifyProcess()
{
    std::string name = platform::process::name();
    platform::syslog(platform::log::kPriorityNotice, "CurPID=%d, curUID=%d process=%s\n",
                     static_cast<int>(platform::process::pid()), static_cast<int>(platform::process::uid()),
                     "NO_NAME");
    if (name.empty()) {
        platform::syslog(platform::log::kPriorityNotice, "Could not get process name\n");
    }
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::toupper(c); });
    platform::syslog(platform::log::kPriorityNotice, "CurrentprocessName is %s\n", name.c_str());
    platform::syslog(platform::log::kPriorityNotice, "HAL: %s %s\n", "CurrentprocessName is", name.c_str());
    struct Rule
    {
        const char* fragment;
        int processClass;
        const char* log;
    };
    static const Rule kRules[] = {{"SERATO DJ", 14, "Serato DJ DETECTED"},
                                  {"ITCH", 13, "Serato ITCH DETECTED"},
                                  {"PRO TOOLS EXPRES", 15, "Avid Pro Tools Express DETECTED"},
                                  {"TRAKTOR", 16, "Traktor DETECTED"},
                                  {"LOGINWINDOW", 12, "LoginWindow DETECTED"}};
    for (const Rule& rule : kRules) {
        if (name.find(rule.fragment) != std::string::npos) {
            m_localClass = rule.processClass;
            platform::syslog(platform::log::kPriorityNotice, "HAL: %s\n", rule.log);
        }
    }
    m_candidate = platform::process::uid() >= 500 || name.find("LOGINWINDOW") != std::string::npos;
    if (m_candidate) {
        platform::syslog(platform::log::kPriorityNotice, "HAL: %s %s\n", "Good candidate:", name.c_str());
    }
    m_writePrefs = name.find("COREAUDIOD_FIXME") != std::string::npos;
    if (m_writePrefs) {
        platform::syslog(platform::log::kPriorityNotice, "COREAUDIOD DETECTED, can read and write prefs!");
    }
}

bool VKOSXDevice::init()
{
    VKIOTrace trace(nullptr, 0);
    classifyProcess();
    m_prefs = std::make_unique<QzIORegistryPrefs>(m_writePrefs, ioGetService());
    CFStringRef root = CFStringCreateWithCString(nullptr, getIDRoot(), kCFStringEncodingUTF8);
    mpRegistry = new OSXAsioRegistry(root);
    CFRelease(root);

    if (!openDevice()) {
        platform::printOut("Could not open device - exit\n");
        return false;
    }
    if (fwUpdaterActive()) {
        return false;
    }
    if (!m_cTreadStartStopSemaphore.create()) {
        platform::printOut("Can't create semaphore - exit\n");
        return false;
    }
    if (!threadStart()) {
        platform::printOut("Can't start thread - exit\n");
        return false;
    }
    platform::printOut("before m_cTreadStartStopSemaphore.wait\n");
    m_cTreadStartStopSemaphore.wait();
    platform::printOut("after m_cTreadStartStopSemaphore.wait\n");

    DriverSM* sm = driverSM();
    if (sm != nullptr) {
        m_deviceName = copyName(sm->szProduct);
        m_displayName = copyName(sm->szDisplayName);
        m_uid = copyName(sm->szDeviceUID);
        if (platform::process::darwinMajorRelease() >= 13 && (m_localClass < 13 || m_localClass > 16)) {
            m_displayName += " (Bit Accurate)";
        }
        platform::printOut("UID= %s\n", m_uid.c_str());
        if (!readDeviceDescription()) {
            return false;
        }
        setupSpecificFeatures();
        m_lowBufferFW = hasLowBufferFW();
        if (m_model.has(osxdevice::kTraitProductNameShown)) {
            platform::printOut("********* MODIFY DEVICE NAME **********\n");
            m_displayName = copyName(sm->szProduct);
            if (platform::process::darwinMajorRelease() >= 13) {
                m_displayName += "_Bit_Accurate";
            }
        }
    }

    m_runningSomewhere = isRunningSomewhere();
    m_runningStream = false;
    OSXDispatch version = makeRecord(kHALVersion);
    callDriver(Req_SetHALVersion, version);

    if (sm != nullptr && std::atomic_ref<uint32_t>(sm->mConfigured).load() == 0) {
        trace.trace("device is not configured");
        configurationHandshake();
    }
    if (sm != nullptr && m_model.has(osxdevice::kTraitChannelsByMixerMode)) {
        takeChannelsOfMixerMode();
    }
    if (sm == nullptr || std::atomic_ref<uint32_t>(sm->mConfigured).load() == 0) {
        trace.trace("m_pDriverSM->cDriverConfigData.bIsConfigured is false");
        return false;
    }
    copyTrueChannels();
    updateChannelsToReport(m_reported, m_cTrueChannels);
    m_pendingDirection = 0;
    m_pending = m_inputSettings = m_outputSettings = m_cTrueChannels;
    m_inputLatency.set(0, true);
    m_outputLatency.set(0, true);
    setOutWriteAheadBase(880);
    setOutWriteAheadOffs(0);
    m_pendingFrameSize.store(0);
    if (setFrameSize(m_defaultFrameSize, false, true) != 0) {
        trace.trace("setFrameSize failed");
        return false;
    }
    {
        IOHold hold(*this);
        mAudioBufferIn.term();
        mAudioBufferOut.term();
    }
    createIOBuffers();
    m_codecFlags[0] = false;
    m_codecFlags[1] = false;
    if (featureFlag(APISpecificFeatures::kReroutingOutputEncoder)) {
        for (const RoutingPair& pair : kRoutingPairs) {
            uint32_t value = 0;
            if (mpRegistry->getRouting(pair.direction, pair.index, &value)) {
                platform::printOut("init: mpRegistry->getRouting(%u,%u,%d)\n", pair.direction, pair.index,
                                   static_cast<int>(value));
                setRouting(pair.direction, pair.index, value);
            }
        }
    }
    return true;
}

void VKOSXDevice::sendMixerStateAtConfigure()
{
    VKIOTrace trace(nullptr, 0);
    uint16_t flags = 12;
    uint16_t stored = 0;
    if (mpRegistry->getUInt16Value(CFSTR("AnalogInState"), &stored)) {
        flags = stored;
    }
    uint16_t position = 14'199;
    if (m_mixerMode != 0) {
        if (mpRegistry->getUInt16Value(CFSTR("MonMixPos"), &stored)) {
            position = stored;
        }
        flags = static_cast<uint16_t>(flags & ~0x40);
    } else {
        flags |= 0x40;
    }
    trace.trace("Init MonMixPos AnalogInState");
    OSXDispatch record = makeRecord();
    std::memcpy(record.payload, &flags, sizeof flags);
    std::memcpy(record.payload + 2, &position, sizeof position);
    callDriver(Req_SetMixerValues, record);
}

void VKOSXDevice::takeChannelsOfMixerMode()
{
    struct Channels
    {
        uint8_t in;
        uint8_t out;
    };
    static constexpr Channels kByMode[] = {{2, 2}, {4, 6}, {6, 4}};
    OSXDispatch record = makeRecord();
    record.payload[1] = 0;
    platform::host_clock::sleepFor(200'000'000);
    if (!callDriver(Req_GetChangeFlags, record)) {
        return;
    }
    const uint8_t mode = record.payload[2];
    if (mode >= std::size(kByMode)) {
        return;
    }
    // Every format of the first configuration takes the mode's count for its direction; the
    // counts in the description came from the kernel and are bounded here.
    APIConfigInfo& config = m_deviceInfo->mConfigurations[0];
    const uint32_t interfaces = std::min<uint32_t>(config.mNumInterfaces, APIConfigInfo::kMaxInterfaces);
    for (uint32_t i = 0; i < interfaces; ++i) {
        APIInterfaceInfo& interface = config.mInterfaces[i];
        const uint32_t alternates = std::min<uint32_t>(interface.mNumAlternates, APIInterfaceInfo::kMaxAlternates);
        for (uint32_t a = 0; a < alternates; ++a) {
            APIInterfaceAlternateInfo& alternate = interface.mAlternates[a];
            if (alternate.mStreaming.bNrChannels == 0 || alternate.mNumEndpoints == 0) {
                continue;
            }
            const bool input = alternate.mEndpoints[0].isInput();
            alternate.mStreaming.bNrChannels = input ? kByMode[mode].in : kByMode[mode].out;
        }
    }
    platform::syslog(platform::log::kPriorityNotice, "HAL: %s %d\n", "Req_UserConfigChanged in channel count set to:",
                     static_cast<int>(kByMode[mode].in));
}

bool VKOSXDevice::readDeviceDescription()
{
    VKIOTrace trace(nullptr, 0);
    auto* bytes = reinterpret_cast<uint8_t*>(m_deviceInfo.get());
    uint32_t have = 0;
    for (uint32_t page = 0; have < sizeof(APIDeviceInfo); ++page) {
        OSXDispatch record = makeRecord(page);
        if (!callDriver(Req_GetDeviceInfoBlock, record)) {
            trace.trace(" GET APIDEVICEINFO failed at item", static_cast<int>(page));
            closeDevice(true);
            return false;
        }
        const uint32_t n = record.iReq;
        // A page never holds more than a page nor more than is missing.
        if (n > kDescriptionPage || n > sizeof(APIDeviceInfo) - have) {
            return false;
        }
        std::memcpy(bytes + have, record.payload, n);
        have += n;
        if (n != kDescriptionPage) {
            break;
        }
    }
    m_model = osxdevice::modelProfileOf(vendorID(), productID(), releaseID());
    return true;
}

void VKOSXDevice::configurationHandshake()
{
    VKIOTrace trace(nullptr, 0);
    DriverSM* sm = driverSM();
    auto configuring = sharedInt(sm->bIsConfiguring);
    bool self = false;
    if (configuring.load() >= 1) {
        trace.trace("i have to wait");
    } else if (m_candidate) {
        trace.trace("inc m_pDriverSM->cDriverConfigData.bIsConfiguring");
        if (configuring.fetch_add(1) + 1 == 1) {
            self = true;
        } else {
            trace.trace("some other driver also requested config");
            if (configuring.fetch_sub(1) - 1 == 0 && configuring.fetch_add(1) + 1 == 1) {
                trace.trace("other driver revoked from configuring");
                self = true;
            }
        }
        if (self) {
            trace.trace("check bSelfConfigure again");
            if (configuring.load() != 1) {
                configuring.fetch_sub(1);
                self = false;
            }
        }
    }
    trace.trace("Req_SetMixerMode bSelfConfigure", self ? 1 : 0);
    auto configure = [&] {
        m_configuredHere = true;
        mpRegistry->loadAqExt(sm->mAqExtData);
        usbConfigureDevice();
        if (m_model.has(osxdevice::kTraitMixerStateAtConfigure)) {
            sendMixerStateAtConfigure();
        }
        configuring.fetch_sub(1);
    };
    if (self) {
        configure();
        return;
    }
    trace.trace("wait configured");
    for (int left = kConfigureWaits; left > 0; --left) {
        if (std::atomic_ref<uint32_t>(sm->mConfigured).load() != 0) {
            break;
        }
        platform::host_clock::sleepFor(kConfigureWaitNanos);
        trace.trace("wait for configured state", left);
    }
    const int stuck = configuring.load();
    if (std::atomic_ref<uint32_t>(sm->mConfigured).load() == 0 && m_candidate && stuck >= 1) {
        // The process that raised the counter never finished (it died configuring): nothing
        // else ever lowers it, so a candidate takes its place rather than leave the device
        // unconfigured for every later process.
        int expected = stuck;
        if (configuring.compare_exchange_strong(expected, 1)) {
            platform::syslog(platform::log::kPriorityNotice, "HAL: %s %d\n",
                             "configuring counter left raised, configuring here:", stuck);
            configure();
            return;
        }
    }
    trace.trace("end check configured", static_cast<int>(std::atomic_ref<uint32_t>(sm->mConfigured).load()));
}

void VKOSXDevice::usbConfigureDevice()
{
    VKIOTrace trace(nullptr, 0);
    DriverSM* sm = driverSM();
    if (sm == nullptr) {
        trace.trace("no driver shared memory");
        return;
    }
    uint32_t frequency = mpRegistry != nullptr ? mpRegistry->getSampleRate() : 0;
    if (frequency != 0) {
        trace.trace("Found frequency:", static_cast<int>(frequency));
    } else {
        frequency = 44'100;
        trace.trace("Using default 44100");
    }
    QzChannelSettings settings{static_cast<int32_t>(frequency), 2, 16, 2, 16, 0};
    if (isElektronOverbridge()) {
        settings = {48'000, 2, 24, 2, 24, 0};
    }
    APIDeviceInfoScanResult in{};
    APIDeviceInfoScanResult out{};
    usbFindConfiguration(false, in, out, settings);
    trace.trace("cQzChannelSettings.iFrequency", settings.iFrequency);
    trace.trace("cQzChannelSettings.iInChannels", settings.iInChannels);
    trace.trace("cQzChannelSettings.iInResolution", settings.iInResolution);
    trace.trace("cQzChannelSettings.iOutChannels", settings.iOutChannels);
    trace.trace("cQzChannelSettings.iOutResolution", settings.iOutResolution);
    trace.trace("cQzChannelSettings.uConfiguration", static_cast<int>(settings.uConfiguration));
    std::memcpy(&sm->mChannelSettings, &settings, sizeof settings);
    OSXDispatch record = makeRecord();
    callDriver(Req_ConfigureDevice, record);
}

bool VKOSXDevice::openDevice()
{
    VKIOTrace trace(nullptr, 0);
    if (isDeviceOpen()) {
        return true;
    }
    if (driverSM() == nullptr) {
        trace.trace("openDevice: NO shared memory");
        return false;
    }
    m_deviceOpen = true;
    OSXDispatch record = makeRecord(kGetElektronDeviceUID);
    if (callDriver(Req_DispatchStreaming, record)) {
        std::memcpy(&m_elektronID, record.payload + 4, sizeof m_elektronID);
    }
    return isDeviceOpen();
}

void VKOSXDevice::setAudioIDs(AudioDeviceID device, AudioStreamID input, AudioStreamID output)
{
    m_deviceID = device;
    m_inStreamID = input;
    m_outStreamID = output;
}

AudioSM* VKOSXDevice::mapSharedMemory(uint32_t type, uint64_t expectedSize)
{
    VKIOTrace trace(nullptr, 0);
    trace.trace("...requesting shared memory", static_cast<int>(type));
    mach_vm_address_t address = 0;
    mach_vm_size_t size = 0;
    const kern_return_t status =
        IOConnectMapMemory64(connection(), type, mach_task_self(), &address, &size, kIOMapAnywhere);
    if (status != kIOReturnSuccess) {
        trace.tracex("IOConnectMapMemory failed with error", status);
        return nullptr;
    }
    if (size != expectedSize) {
        trace.trace("IOConnectMapMemory size mismatch", static_cast<int>(size), static_cast<int>(expectedSize));
        IOConnectUnmapMemory64(connection(), type, mach_task_self(), address);
        return nullptr;
    }
    trace.traceptr1("maped atAddress is ", reinterpret_cast<void*>(address));
    return reinterpret_cast<AudioSM*>(address);
}

void VKOSXDevice::unmapSharedMemory()
{
    IOHold hold(*this);
    if (AudioSM* in = mpAudioSM_In.exchange(nullptr)) {
        IOConnectUnmapMemory64(connection(), 4, mach_task_self(), reinterpret_cast<mach_vm_address_t>(in));
    }
    if (AudioSM* out = mpAudioSM_Out.exchange(nullptr)) {
        IOConnectUnmapMemory64(connection(), 5, mach_task_self(), reinterpret_cast<mach_vm_address_t>(out));
    }
}

void VKOSXDevice::detach()
{
    m_attachState.store(kDetached);
    callDetach();
}

void VKOSXDevice::closeDevice(bool stopThread)
{
    m_attachState.store(kDetached);
    platform::printOut("VKOSXDevice::closeDevice, callDetach\n");
    callDetach();
    sleepMilliseconds(50);
    m_attachState.store(kDetached);
    bool threadEnded = true;
    if (stopThread && isBodyRunning()) {
        threadStop();
        threadEnded = m_cTreadStartStopSemaphore.waitTimeout(3);
        // The semaphore is signalled once the body leaves its loop; it still waits for a detach.
        for (int i = 0; threadEnded && isBodyRunning() && i < 300; ++i) {
            sleepMilliseconds(1);
        }
        threadEnded = threadEnded && !isBodyRunning();
    }
    if (!threadEnded) {
        // What the thread may still use stays: an IO procedure that never returns keeps its
        // buffers and rings rather than writing into freed memory.
        platform::syslog(platform::log::kPriorityError,
                         "HAL: %s\n", "closeDevice: the IO thread did not end; its buffers and rings are kept");
        return;
    }
    if (stopThread) {
        removeAllIOProcs();
    }
    {
        IOHold hold(*this);
        mAudioBufferIn.term();
        mAudioBufferOut.term();
    }
    unmapSharedMemory();
    m_attachState.store(kDetached);
    m_attachedProcs.store(0);
    mNullIOProcStartStopCount = 0;
}

void VKOSXDevice::onRemoveEvent()
{
    if (m_threadState.load() != kThreadRunning) {
        if (m_manager != nullptr) {
            m_manager->doRemoveDevice(this);
        }
        return;
    }
    if (m_interest != 0) {
        IOObjectRelease(m_interest);
        m_interest = 0;
    }
    m_threadState.store(kThreadRemovalRequested);
    threadStop();
}

void VKOSXDevice::ServiceInterestCallback(void* refcon, io_service_t, natural_t messageType, void* argument)
{
    auto* device = static_cast<VKOSXDevice*>(refcon);
    if (device == nullptr) {
        return;
    }
    if (messageType == kQzStateChangeMessage && argument != nullptr && device->m_manager != nullptr) {
        QZ_StateChange change{};
        std::memcpy(&change, argument, sizeof change);
        if (change.size == sizeof(QZ_StateChange) && change.code == 16) {
            device->m_manager->removeDevice(device);
            return;
        }
    }
    device->onServiceInterestCallback(messageType, argument);
}

void VKOSXDevice::onServiceInterestCallback(natural_t messageType, void* argument)
{
    if (messageType != kQzStateChangeMessage) {
        return;
    }
    if (argument == nullptr) {
        platform::syslog(platform::log::kPriorityNotice, "HAL: %s\n", "pQZ_StateChange is NULL");
        return;
    }
    QZ_StateChange change{};
    std::memcpy(&change, argument, sizeof change);
    if (change.size != sizeof(QZ_StateChange)) {
        platform::syslog(platform::log::kPriorityNotice, "HAL: %s %d %d\n",
                         "pQZ_StateChange->size != sizeof(QZ_StateChange) ", static_cast<int>(change.size),
                         static_cast<int>(sizeof(QZ_StateChange)));
        return;
    }
    KernelDriverNotificationHandler(&change);
    if (m_prefs != nullptr) {
        m_prefs->update();
    }
}

// --- Property items, latencies and notifications

void VKOSXDevice::announce(AudioDevicePropertyID property, bool outputFirst)
{
    if (m_plugIn == nullptr) {
        return;
    }
    AudioHardwareDevicePropertyChanged(m_plugIn, m_deviceID, 0, !outputFirst, property);
    AudioHardwareDevicePropertyChanged(m_plugIn, m_deviceID, 0, outputFirst, property);
}

void VKOSXDevice::onPropertyChanged(PropertyItem* item)
{
    const bool ids = m_plugIn != nullptr && m_deviceID != 0;
    if (item == &m_inputLatency || item == &m_outputLatency) {
        const bool input = item == &m_inputLatency;
        tellClient(&DeviceManagerClient::onLatencyChanged);
        if (ids) {
            const AudioStreamID stream = input ? m_inStreamID : m_outStreamID;
            for (AudioDevicePropertyID p : {kAudioDevicePropertyLatency, kAudioDevicePropertySafetyOffset}) {
                AudioHardwareDevicePropertyChanged(m_plugIn, m_deviceID, 0, input, p);
            }
            if (stream != 0) {
                for (AudioDevicePropertyID p : {kAudioDevicePropertyLatency, kAudioDevicePropertySafetyOffset}) {
                    AudioHardwareStreamPropertyChanged(m_plugIn, m_deviceID, stream, 0, p);
                }
            }
        }
    } else if (item == &m_frameSize) {
        tellClient(&DeviceManagerClient::onFramesizeChanged);
        if (ids) {
            for (AudioDevicePropertyID p : {kAudioDevicePropertyBufferSize, kAudioDevicePropertyBufferFrameSize}) {
                AudioHardwareDevicePropertyChanged(m_plugIn, m_deviceID, 0, true, p);
                AudioHardwareDevicePropertyChanged(m_plugIn, m_deviceID, 0, false, p);
            }
            for (AudioStreamID stream : {m_inStreamID, m_outStreamID}) {
                if (stream != 0) {
                    AudioHardwareStreamPropertyChanged(m_plugIn, m_deviceID, stream, 0, kAudioDevicePropertyBufferSize);
                    AudioHardwareStreamPropertyChanged(m_plugIn, m_deviceID, stream, 0,
                                                       kAudioDevicePropertyBufferFrameSize);
                }
            }
        }
    } else {
        platform::printOut("VKOSXDevice::onPropertyChanged unhandled property change\n");
    }
}

void VKOSXDevice::updateLatencies()
{
    const int64_t r = m_cTrueChannels.iFrequency > 0 ? m_cTrueChannels.iFrequency : 44'100;
    const int64_t f = getFrameSize();
    const bool bulk = isQuenzarBulkDevice();
    const bool bulkInIsocOut = isQuenzarBulkInIsocOutDevice();
    const bool family = isCorlanthCompatible();
    const DriverSM* sm = driverSM();
    int64_t in = family ? 119 + (sm != nullptr && sm->mIsHighSpeed != 0 ? r / 4000 : 0) : 150;
    if (bulk || bulkInIsocOut) {
        in = 68;
    }
    int64_t m = bulk ? (r < 88'200 ? 3 : 4) : 4;
    m = f / 64 + m;
    if (isTessalyCompatible()) {
        in = r * 3 / 1000;
        m += 4;
    }
    int64_t out = m * r / 1000;
    int64_t w = out + 2 * f;
    if (bulk) {
        out -= 24;
    } else if (!bulkInIsocOut && !family) {
        out += (r - 60'000) / 500;
    }
    const osxdevice::LatencyExtras& extras = m_model.latency;
    const int64_t later = r / 1000 * (extras.millis + (f < 128 ? extras.millisSmallBuffer : 0)) + f * extras.buffers;
    w += later;
    out += later;
    in += extras.splitExtra / 2;
    out += extras.splitExtra / 2;
    if (m_lowBufferFW) {
        double adjIn = 0;
        double adjOut = 0;
        if (r == 44'100 || r == 48'000) {
            adjIn = adjOut = -2.0;
        } else if (r == 88'200 || r == 96'000) {
            adjIn = -0.5;
            adjOut = -1.0;
        }
        in += static_cast<int64_t>(adjIn * static_cast<double>(r) / 1000.0);
        out += static_cast<int64_t>(adjOut * static_cast<double>(r) / 1000.0);
    }
    if (isElektronOverbridge()) {
        in = 450 + 48;
        out = static_cast<int64_t>(2.76 * static_cast<double>(f) + 50.0) + 48;
    }
    // Latencies are frame counts: a model that works out below 0 reports 0, not 4 billion.
    in = std::max<int64_t>(in, 0);
    out = std::max<int64_t>(out, 0);
    w = std::max<int64_t>(w, 0);
    setOutWriteAheadBase(static_cast<uint64_t>(w));
    platform::printOut("WriteAhead %d base:%d\n", static_cast<int>(getOutWriteAhead()), static_cast<int>(w));
    const bool changedIn = m_inputLatency.set(static_cast<uint32_t>(in), false);
    const bool changedOut = m_outputLatency.set(static_cast<uint32_t>(out), false);
    if (changedIn || changedOut) {
        tellClient(&DeviceManagerClient::onLatencyChanged);
        if (m_plugIn != nullptr && m_deviceID != 0) {
            for (AudioDevicePropertyID p : {kAudioDevicePropertyLatency, kAudioDevicePropertySafetyOffset}) {
                AudioHardwareDevicePropertyChanged(m_plugIn, m_deviceID, 0, true, p);
            }
            for (AudioStreamID stream : {m_inStreamID, m_outStreamID}) {
                if (stream != 0) {
                    for (AudioDevicePropertyID p : {kAudioDevicePropertyLatency, kAudioDevicePropertySafetyOffset}) {
                        AudioHardwareStreamPropertyChanged(m_plugIn, m_deviceID, stream, 0, p);
                    }
                }
            }
        }
    }
}

void VKOSXDevice::setOutWriteAheadBase(uint64_t base)
{
    m_writeAheadBase = base;
    updateOutWriteAhead();
}

void VKOSXDevice::setOutWriteAheadOffs(uint64_t offset)
{
    m_writeAheadOffset = offset;
    updateOutWriteAhead();
}

void VKOSXDevice::updateOutWriteAhead()
{
    m_writeAhead.store(m_writeAheadBase + m_writeAheadOffset, std::memory_order_release);
}

OSStatus VKOSXDevice::devicePropertyChanged(AudioObjectPropertySelector selector)
{
    platform::printOut("HAL Notification %c%c%c%c...\n", static_cast<char>(selector >> 24),
                       static_cast<char>(selector >> 16), static_cast<char>(selector >> 8), static_cast<char>(selector));
    const AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeGlobal, 0};
    const OSStatus status = AudioObjectPropertiesChanged(m_plugIn, m_deviceID, 1, &address);
    platform::printOut("...sent with status %x\n", static_cast<unsigned>(status));
    return status;
}

void VKOSXDevice::checkRunningSomewhere()
{
    const bool running = isRunningSomewhere();
    if (running != m_runningSomewhere) {
        m_runningSomewhere = running;
        announce(kAudioDevicePropertyDeviceIsRunningSomewhere, true);
    }
}

void VKOSXDevice::checkRunningStream()
{
    const bool running = isRunningStream();
    if (running != m_runningStream) {
        m_runningStream = running;
        sleepMilliseconds(10);
        announce(kAudioDevicePropertyDeviceIsRunning, false);
    }
}

void VKOSXDevice::tellClient(void (DeviceManagerClient::*handler)(VKOSXDevice*))
{
    if (m_client != nullptr) {
        (m_client->*handler)(this);
    }
}

void VKOSXDevice::announceRunning()
{
    announce(kAudioDevicePropertyDeviceIsRunning, true);
    announce(kAudioDevicePropertyDeviceIsRunningSomewhere, true);
}
