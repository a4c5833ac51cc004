#include "VKKernelDevice.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <optional>

#include "APIDeviceInfo.h"
#include "ASClient.h"
#include "AudioUserClient.h"
#include "CtrlUserClient.h"
#include "MidiUserClient.h"
#include "DMAConverterDef.h"
#include "DriverData.h"
#include "DriverSM.h"
#include "IOKit/IOLib.h"
#include "IOKit/pwr_mgt/RootDomain.h"
#include "IOKit/usb/IOUSBPipe.h"
#include "KeThread.h"
#include "Personalities.h"
#include "StateChange.h"
#include "VKDevice.h"
#include "VKDeviceSubstitutes.h"
#include "VKUSBDescriptors.h"
#include "libkern/version.h"
#include "platform/HostClock.h"
#include "platform/ProcessEnvironment.h"

OSDefineMetaClassAndStructors(VKKernelDevice, IOService)

namespace {

constexpr const char* kVersionText = "v3.3.11";
constexpr const char* kBuildDate = "Oct  4 2016";
constexpr uint32_t kPipeStalled = 0xE000404F;

std::atomic<int> gLiveDevices{0};

// What the driver asks of the USB device's model (nothing without one).
bool has(IOUSBDevice* device, vkdevice::ModelTrait trait)
{
    return device != nullptr &&
           vkdevice::modelProfileOf(device->GetVendorID(), device->GetProductID(), device->GetDeviceRelease())
               .has(trait);
}

// A pseudo-random number below `limit` for the "deviceUID" property.
uint32_t pseudoRandom(uint32_t limit)
{
    static std::atomic<uint64_t> state{0x9E3779B97F4A7C15ULL};
    uint64_t x = state.load() ^ platform::host_clock::now();
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    state.store(x);
    return static_cast<uint32_t>(x % limit);
}

} // namespace

// --- The service's lock (a polling lock, as the kernel tools hold theirs).

int VKKernelDevice::liveDevices()
{
    return gLiveDevices.load();
}

// --- Life cycle.

bool VKKernelDevice::init(OSDictionary* personality)
{
    CriticalSection section(mDeviceLock, "init");
    if (personality != nullptr) {
        OSSerialize* text = OSSerialize::withCapacity(4096);
        if (text != nullptr && personality->serialize(text)) {
            IOLog("Dumping %p:  %s\n", static_cast<void*>(personality), text->text());
        }
        OSSafeReleaseNULL(text);
    }
    DMAConverterInit(0);
    mConfigurationStatus.store(kVKConfigurationNotYet);
    m_pDevice = new VKDevice(*this);
    if (m_pDevice != nullptr) {
        gLiveDevices.fetch_add(1);
        // The keys are kept and applied once the device's own data is set up (after the start's
        // descriptor scan, which resets the per-model data).
        auto* specific =
            personality != nullptr ? OSDynamicCast(OSDictionary, personality->getObject("QzSpecific")) : nullptr;
        if (specific == nullptr) {
            IOLog("QzSpecific NULL\n");
        } else {
            specific->retain();
            mQzSpecific = specific;
            applyPersonalityKeys(false);
        }
    }
    m_pUSBDevice = nullptr;
    mpUSBController = nullptr;
    mInterestNotifier = nullptr;
    m_bTerminateRequested.store(false);
    mRegisteredWithRootDomain = false;
    mpSystemSuspended.store(false);
    mMixerRegister = 0xFFFF;
    if (m_pDevice != nullptr) {
        m_pDevice->setUS366Register(2, 0xFFFF);
    }
    if (m_pDevice == nullptr) {
        return false;
    }
    return IOService::init(personality);
}

void VKKernelDevice::applyPersonalityKeys(bool afterScan)
{
    if (mQzSpecific == nullptr || m_pDevice == nullptr) {
        return;
    }
    OSDictionary* specific = mQzSpecific;
    if (!afterScan) {
        if (auto* acr = OSDynamicCast(OSNumber, specific->getObject("kInACR"))) {
            m_pDevice->mInACR = acr->unsigned16BitValue();
            IOLog("Found kInACR value=%d\n", static_cast<int>(m_pDevice->mInACR));
        }
        if (auto* record = OSDynamicCast(OSData, specific->getObject("kConfigurationData"))) {
            IOLog("Found kConfiguration length=%d (%d)\n", static_cast<int>(record->getLength()),
                  static_cast<int>(kConfigurationDataSize));
            // A shorter record would be read past its end: refused.
            if (record->getLength() >= kConfigurationDataSize) {
                APISpecificFeatures features;
                std::memcpy(&features, record->getBytesNoCopy(), kConfigurationDataSize);
                m_pDevice->initialSettings(&features);
            } else {
                IOLog("kConfigurationData refused: %d bytes, %d expected\n", static_cast<int>(record->getLength()),
                      static_cast<int>(kConfigurationDataSize));
            }
        }
        if (auto* name = OSDynamicCast(OSString, specific->getObject("kCustomName"))) {
            // The device keeps at most its 64 characters of it.
            m_pDevice->setCustomName(name->getCStringNoCopy());
        }
        return;
    }
    if (auto* wait = OSDynamicCast(OSNumber, specific->getObject("kMsWait"))) {
        m_pDevice->mDeviceSpecific.mExtraDelay = wait->unsigned32BitValue();
        IOLog("Found kMsWait value=%d\n", static_cast<int>(m_pDevice->mDeviceSpecific.mExtraDelay));
    }
    if (auto* clock = OSDynamicCast(OSData, specific->getObject("kClockSourceSettings"))) {
        IOLog("Found kClockSourceSettings length=%d (%d)\n", static_cast<int>(clock->getLength()),
              static_cast<int>(kClockSourceSettingsSize));
        if (clock->getLength() >= kClockSourceSettingsUsed) {
            const auto* bytes = static_cast<const uint8_t*>(clock->getBytesNoCopy());
            m_pDevice->mDeviceSpecific.mFlagA = bytes[0];
            m_pDevice->mDeviceSpecific.mFlagB = bytes[1];
            m_pDevice->mDeviceSpecific.mFlagC = bytes[2];
        } else {
            IOLog("kClockSourceSettings refused: %d bytes, at least %d expected\n",
                  static_cast<int>(clock->getLength()), static_cast<int>(kClockSourceSettingsUsed));
        }
    }
}

IOService* VKKernelDevice::probe(IOService* provider, SInt32* score)
{
    IOLog("VKKernelDevice::probe\n");
    return IOService::probe(provider, score);
}

bool VKKernelDevice::attach(IOService* provider)
{
    return IOService::attach(provider);
}

void VKKernelDevice::detach(IOService* provider)
{
    IOService::detach(provider);
}

bool VKKernelDevice::finalize(IOOptionBits options)
{
    IOLog("VKKernelDevice::finalize\n");
    return IOService::finalize(options);
}

IOReturn VKKernelDevice::message(UInt32 type, IOService* provider, void* argument)
{
    return IOService::message(type, provider, argument);
}

void VKKernelDevice::stop(IOService* provider)
{
    IOLog("VKKernelDevice::stop\n");
    {
        // A stopped service is only an object a handle may still name: what start took (the
        // device object with its threads, shared blocks and buffers, the open USB device, the
        // controller, the power registration) goes now, not with the last handle. Blocks mapped
        // into a process stay valid for it. A user client's request still on its way finds no
        // device object under the dispatch lock and gives up.
        CriticalSection section(mDeviceLock, "stop");
        VKDispatchLock dispatch(*this);
        releaseStartResources();
    }
    IOService::stop(provider);
}

bool VKKernelDevice::startFailed(const char* reason)
{
    IOLog("start VKKernelDevice %s failed. reason:%s\n", kVersionText, reason);
    releaseStartResources();
    return false;
}

void VKKernelDevice::releaseStartResources()
{
    // A registration left behind would outlive this service.
    if (mRegisteredWithRootDomain) {
        if (IOPMrootDomain* root = getPMRootDomain()) {
            root->deRegisterInterestedDriver(this);
        }
        mRegisteredWithRootDomain = false;
    }
    closeUSBDevice();
    OSSafeReleaseNULL(m_pUSBDevice);
    if (m_pDevice != nullptr) {
        delete m_pDevice;
        m_pDevice = nullptr;
        gLiveDevices.fetch_sub(1);
    }
    OSSafeReleaseNULL(mpUSBController);
}

void VKKernelDevice::closeUSBDevice()
{
    if (m_pUSBDevice != nullptr && m_pUSBDevice->isOpen(this)) {
        IOLog("close usb\n");
        m_pUSBDevice->close(this);
    }
}

bool VKKernelDevice::start(IOService* provider)
{
    CriticalSection section(mDeviceLock, "start");
    if (!IOService::start(provider)) {
        return startFailed("Provider start failed");
    }
    auto* usb = OSDynamicCast(IOUSBDevice, provider);
    if (usb == nullptr) {
        return startFailed("no usb device");
    }
    usb->retain();
    m_pUSBDevice = usb;
    if (IOPMrootDomain* root = getPMRootDomain()) {
        root->registerInterestedDriver(this);
        mRegisteredWithRootDomain = true;
    }
    if (m_pDevice == nullptr) {
        return startFailed("m_pDevice is NULL");
    }
    mpUSBController = m_pUSBDevice->GetBus();
    if (mpUSBController == nullptr) {
        return startFailed("mpUSBController is NULL");
    }
    mpUSBController->retain();

    char uid[32];
    std::snprintf(uid, sizeof uid, "USB-%u", pseudoRandom(100'000));
    const bool published = setProperty("deviceUID", uid);
    IOLog("%s %s %s\n", "deviceUID", uid, published ? "Success" : "Failed");

    if (!m_pUSBDevice->open(this, kIOServiceSeize)) {
        return startFailed("open failed");
    }
    if (!m_pDevice->onServiceStart(m_pUSBDevice)) {
        return startFailed("m_pDevice->onServiceStart() failed");
    }
    // The device's data is set up now: the personality's per-model values take effect.
    applyPersonalityKeys(true);
    if (!usbLoadConfigurations()) {
        return startFailed("usbLoadConfigurations failed");
    }
    if (!m_pDevice->buildInternalAPIDeviceInfo()) {
        return startFailed("buildInternalAPIDeviceInfo is NULL");
    }
    if (isTerminateRequested()) {
        return startFailed("m_bTerminateRequested is true");
    }
    APIDeviceInfo* info = m_pDevice->getAPIDeviceInfoPtr();
    if (info == nullptr) {
        return startFailed("APIDeviceInfo* pDevInfo is NULL");
    }
    if (m_pDevice->hasTrait(vkdevice::kTraitPic)) {
        m_pUSBDevice->SetConfiguration(this, info->mConfigurations[0].bConfigurationValue, false);
        const UInt32 power = m_pUSBDevice->GetBusPowerAvailable();
        IOLog("The Power available to the device is %d \n", static_cast<int>(power));
        if (power >= 250) {
            m_pDevice->sendSetPicCommand(129);
            IOSleep(20);
            IOLog("Sent Power On command\n");
            m_pDevice->sendGetPicCommand(130);
            IOLog("Sent Power Off command\n");
            IOLog("The power available to the device after booting is %d \n",
                  static_cast<int>(m_pUSBDevice->GetBusPowerAvailable()));
        }
    }
    m_pDevice->startupDigiDesignMbox2();
    if (info->mNumConfigurations < 1) {
        return startFailed("m_uNumConfigurations < 1");
    }
    const UInt8 first = info->mConfigurations[0].bConfigurationValue;
    IOLog("USB: %s 0x%X\n", "Start SetConfiguration Number ", first);
    const IOReturn set = m_pUSBDevice->SetConfiguration(this, first, false);
    IOLog("USB: %s 0x%X\n", "m_pUSBDevice->SetConfiguration returned ", set);

    int hubs = 0;
    const IORegistryPlane* plane = IORegistryEntry::getPlane(kIOUSBPlane);
    for (IORegistryEntry* entry = m_pUSBDevice; entry != nullptr && plane != nullptr;
         entry = entry->getParentEntry(plane)) {
        auto* device = OSDynamicCast(IOUSBDevice, entry);
        IOUSBDeviceDescriptor descriptor = {};
        if (device != nullptr && device->GetDeviceDescriptor(&descriptor, sizeof descriptor) == kIOReturnSuccess &&
            descriptor.bDeviceClass == kUSBHubClass) {
            ++hubs;
        }
    }
    IOLog("...%d HUB(s) in path detected (including root hub)\n", hubs);
    m_pDevice->mHubCount = hubs > 0 ? hubs - 1 : 0;

    mStarted.store(true, std::memory_order_release);
    registerService();
    IOLog("start VKKernelDevice %s %s success Darwin kernel %d.%d.%d\n", kVersionText, kBuildDate, version_major,
          version_minor, version_revision);
    return true;
}

bool VKKernelDevice::usbLoadConfigurations()
{
    DriverSM* sm = driverSM();
    if (sm == nullptr || m_pUSBDevice == nullptr || m_pDevice == nullptr) {
        return false;
    }
    if (m_pDevice->isMorvaneCompatible()) {
        IOLog("USB: %s\n", "disable config #2 for MORVANE & US366");
        sm->devDesc.bNumConfigurations = 1;
    } else if (sm->devDesc.bNumConfigurations == 0) {
        return true;
    }
    // The device descriptor stays at the head of the area; each configuration is read after it,
    // and only the bytes received are scanned.
    constexpr uint32_t kAt = sizeof(IOUSBDeviceDescriptor);
    constexpr uint32_t kRoom = kDriverSMDescriptorSize - kAt;
    uint8_t* area = sm->mDescriptors + kAt;
    bool result = true;
    bool allGood = true;
    for (uint32_t i = 0; i < sm->devDesc.bNumConfigurations; ++i) {
        std::memset(area, 0, kRoom);
        UInt32 received = 0;
        IOReturn status =
            m_pUSBDevice->GetConfigurationDescriptor(static_cast<UInt8>(i + 1), area, kRoom, &received);
        // A short read is scanned over what came.
        if (status == kIOReturnUnderrun && received > 0) {
            status = kIOReturnSuccess;
        }
        if (status == kIOReturnSuccess) {
            const uint32_t total = received >= 4 ? uint32_t{area[2]} | uint32_t{area[3]} << 8 : 0;
            const uint32_t length = std::min({total, received, kRoom});
            USBByteBuffer buffer(area, length);
            if (!m_pDevice->scanConfigurationDescriptors(buffer)) {
                IOLog("scan failed\n");
                result = false;
                allGood = false;
            }
            continue;
        }
        if (i == 0) {
            result = false;
            allGood = false;
            continue;
        }
        IOLog("GetConfigurationDescriptor %d failed with status%08X\n", static_cast<int>(i + 1), status);
        if (allGood) {
            sm->devDesc.bNumConfigurations = static_cast<uint8_t>(i);
            m_pDevice->mDeviceDescriptor.bNumConfigurations = static_cast<uint8_t>(i);
            IOLog("...XMOS bug: continue with %d configurations\n", static_cast<int>(i));
            return true;
        }
    }
    return result;
}

bool VKKernelDevice::terminate(IOOptionBits options)
{
    // Flag first: requests and configurations still running give up at once.
    m_bTerminateRequested.store(true, std::memory_order_release);
    IOLog("ENTER terminate VKKernelDevice %s\n", kVersionText);
    {
        CriticalSection section(mDeviceLock, "terminate");
        if (m_pDevice != nullptr) {
            // Ends with the thread joined: nothing of it runs once this returns.
            if (m_pDevice->mThread != nullptr) {
                m_pDevice->mThread->term();
            }
            if (m_pDevice->streamingStarted() != 0 || m_pDevice->stopUnfinished() != 0) {
                m_pDevice->stopStreaming(true);
            }
            m_pDevice->terminateIsocRqBs();
            // No client keeps a ring in the table once the device goes.
            if (m_pDevice->mpDriverData != nullptr) {
                VKDispatchLock dispatch(*this);
                m_pDevice->mpDriverData->detachAllClients();
            }
            m_pDevice->terminateBulkRqBs(m_pDevice->mBulkInterrupt.bulkInRqBs);
            m_pDevice->terminateBulkRqBs(m_pDevice->mBulkInterrupt.bulkOutRqBs);
            m_pDevice->terminateInterruptRqBs(m_pDevice->mBulkInterrupt.interruptInRqBs);
            m_pDevice->terminateInterruptRqBs(m_pDevice->mBulkInterrupt.interruptOutRqBs);
        }
        {
            VKDispatchLock dispatch(*this);
            unconfigureDevice(false, "terminate");
        }
        removeInterestNotifier();
        closeUSBDevice();
        OSSafeReleaseNULL(mpUSBController);
        // Blocks whose last completion ran by now end here rather than on a completion thread.
        VKIsocRB::reclaimRetired();
        IOLog("EXIT terminate VKKernelDevice %s\n", kVersionText);
    }
    // A service whose start failed, or which the provider's end reached before its start, is
    // detached and released by matching; terminating it as well would race with that.
    if (!mStarted.load(std::memory_order_acquire)) {
        return true;
    }
    return IOService::terminate(options);
}

void VKKernelDevice::removeInterestNotifier()
{
    if (mInterestNotifier != nullptr) {
        IONotifier* notifier = mInterestNotifier;
        mInterestNotifier = nullptr;
        notifier->remove();
    }
}

void VKKernelDevice::free()
{
    removeInterestNotifier();
    releaseStartResources();
    OSSafeReleaseNULL(mQzSpecific);
    IOService::free();
}

// --- User clients: creation.

IOReturn VKKernelDevice::newUserClient(task_t owningTask, void* securityID, UInt32 type, OSDictionary*,
                                       IOUserClient** handler)
{
    if (handler != nullptr) {
        *handler = nullptr;
    }
    CriticalSection section(mDeviceLock, "newUserClient");
    if (isTerminateRequested()) {
        IOLog("USB: %s\n", "abort newUserClient - service is terminating");
        return kIOReturnNoDevice;
    }
    if (m_pDevice == nullptr) {
        IOLog("USB: %s\n", "abort newUserClient - m_pcDevice is NULL");
        return kIOReturnNoDevice;
    }
    IOLog("USB: %s %d\n", "KERNELDEVICECLASS::newUserClient TYPE", static_cast<int>(type));
    if (handler == nullptr) {
        IOLog("USBDriver: passed Handler %p returning  kIOReturnBadArgument\n", static_cast<void*>(handler));
        return kIOReturnBadArgument;
    }
    const bool updating = m_pDevice->mFirmwareUpdateMode != 0;
    IOUserClient* client = nullptr;
    switch (type) {
    case kVKConnectionAudio:
        if (updating) {
            IOLog("USBDriver: abort Audio - FirmwareUpdater is active\n");
            break;
        }
        IOLog("USBDriver: creating  AUDIOUSERCLIENTCLASS\n");
        client = new AudioUserClient;
        IOLog("USBDriver: created  AUDIOUSERCLIENTCLASS %p \n", static_cast<void*>(client));
        break;
    case kVKConnectionMidi:
        if (updating) {
            IOLog("USBDriver: abort Midi - FirmwareUpdater is active\n");
            break;
        }
        client = new MidiUserClient;
        break;
    case kVKConnectionControl:
        client = new CtrlUserClient;
        break;
    case kVKConnectionAudioServer:
        client = new ASClient;
        IOLog("USBDriver: created  AUDIOSERVERCLIENTCLASS (%s) %p \n", "ASClient", static_cast<void*>(client));
        break;
    default:
        IOLog("USBDriver: newUserClient Invalid type %d \n", static_cast<int>(type));
        break;
    }
    if (client != nullptr && !client->initWithTask(owningTask, securityID, type)) {
        IOLog("USBDriver: Could not init handler %p \n", static_cast<void*>(client));
        client->release();
        client = nullptr;
    }
    // In the service plane under this device first, so that its end reaches the client.
    if (client != nullptr && (!client->attach(this) || !client->start(this))) {
        client->detach(this);
        client->release();
        client = nullptr;
    }
    if (client == nullptr) {
        IOLog("USBDriver: *Handler %p returning  kIOReturnBadArgument\n", static_cast<void*>(client));
        return kIOReturnBadArgument;
    }
    *handler = client;
    return kIOReturnSuccess;
}

IOReturn VKKernelDevice::newUserClient(task_t owningTask, void* securityID, UInt32 type, IOUserClient** handler)
{
    return newUserClient(owningTask, securityID, type, nullptr, handler);
}
// --- End of user clients: creation.

// --- Control requests.

IOReturn VKKernelDevice::deviceRequest(UInt8 direction, UInt8 type, UInt8 recipient, UInt8 bRequest,
                                       UInt16 wValue, UInt16 wIndex, void* data, UInt32& length, int retries)
{
    IOUSBDevice* usb = m_pUSBDevice;
    if (usb == nullptr) {
        IOLog("deviceRequest: no USB device\n");
        return kIOReturnError;
    }
    if (length > 0xFFFF || (length > 0 && data == nullptr)) {
        return kIOReturnBadArgument;
    }
    usb->retain();
    retries = std::clamp(retries, 1, 5);
    const UInt8 requestType = static_cast<UInt8>((direction & 0x80) | (type & 0x60) | (recipient & 0x1F));
    const bool in = (direction & 0x80) != 0;
    const UInt32 size = length;
    IOReturn status = kIOReturnError;
    int failures = 0;
    const bool waitBefore = has(usb, vkdevice::kTraitPauseBeforeRequests);
    do {
        if (status == kIOReturnDeviceError || isTerminateRequested()) {
            break;
        }
        IOUSBDevRequestTO request = {requestType, bRequest, wValue, wIndex, static_cast<UInt16>(size),
                                     data, 0, 1000, 5000};
        if (in && data != nullptr && size > 0) {
            std::memset(data, 0, size);
        }
        if (waitBefore) {
            IOSleep(2);
        }
        const IOReturn result = usb->DeviceRequest(&request);
        if (result != kIOReturnSuccess) {
            status = result;
            IOLog("DeviceRequest returns %08X\n", result);
            IOLog("USB: %s 0x%X 0x%X\n", "   deviceRequest Callresult/iRetry:", result, failures);
            if (static_cast<uint32_t>(result) == kPipeStalled) {
                IOLog("USB: %s\n", "PIPE STALLED");
                if (IOUSBPipe* zero = usb->GetPipeZero()) {
                    const IOReturn cleared = zero->ClearPipeStall(true);
                    IOLog("USB: %s 0x%X\n", "pPipeZero->ClearPipeStall returned", cleared);
                } else {
                    IOLog("USB: %s\n", "PipeZero not found");
                }
            }
            ++failures;
        } else {
            if (in && data != nullptr && size > 0) {
                length = std::min<UInt32>(request.wLenDone, size);
                IOLog("transfered bytes %d: ", static_cast<int>(length));
                for (UInt32 i = 0; i < length; ++i) {
                    IOLog("%02X ", static_cast<const uint8_t*>(data)[i]);
                }
                IOLog("\n");
            }
            status = kIOReturnSuccess;
        }
    } while (status != kIOReturnSuccess && failures <= retries);
    usb->release();
    return status;
}

// --- Sample rate.

IOUSBPipe* VKKernelDevice::usbPipeOf(VKPipeDescriptor* in, VKPipeDescriptor* out, VKPipeDescriptor** chosen)
{
    VKPipeDescriptor* pipe = in != nullptr ? in : out;
    *chosen = pipe;
    return pipe != nullptr ? pipe->getPipe() : nullptr;
}

bool VKKernelDevice::setFrequency(VKPipeDescriptor* inPipe, VKPipeDescriptor* outPipe, UInt32 hz)
{
    VKPipeDescriptor* pipe = nullptr;
    if (usbPipeOf(inPipe, outPipe, &pipe) == nullptr) {
        IOLog("USB: %s\n", "setFrequency...NoPipe");
        return false;
    }
    if (has(m_pUSBDevice, vkdevice::kTraitElektron)) {
        return hz == 48'000;
    }
    uint8_t rate[3] = {static_cast<uint8_t>(hz), static_cast<uint8_t>(hz >> 8), static_cast<uint8_t>(hz >> 16)};
    auto send = [&] {
        UInt32 length = sizeof rate;
        return deviceRequest(kVKDirectionOut, kVKTypeClass, kVKRecipientEndpoint, 1, 0x0100,
                             pipe->getAddressByte(), rate, length, 5);
    };
    IOReturn status = send();
    const bool stubborn = has(m_pUSBDevice, vkdevice::kTraitStubbornRate);
    for (int again = 0; stubborn && status != kIOReturnSuccess && again < 200 && !isTerminateRequested(); ++again) {
        status = send();
    }
    return status == kIOReturnSuccess;
}

UInt32 VKKernelDevice::getFrequency(VKPipeDescriptor* inPipe, VKPipeDescriptor* outPipe)
{
    if (has(m_pUSBDevice, vkdevice::kTraitNoRateRead)) {
        IOLog("USB: %s\n", "KERNELDEVICECLASS::getFrequency not supported by DREAM DMX");
        return 0;
    }
    if (has(m_pUSBDevice, vkdevice::kTraitElektron)) {
        return 48'000;
    }
    VKPipeDescriptor* pipe = nullptr;
    if (usbPipeOf(inPipe, outPipe, &pipe) == nullptr) {
        IOLog("USB: %s\n", "getFrequency...NoPipe");
        return 0;
    }
    uint8_t rate[3] = {};
    UInt32 length = sizeof rate;
    if (deviceRequest(kVKDirectionIn, kVKTypeClass, kVKRecipientEndpoint, 0x81, 0x0100, pipe->getAddressByte(),
                      rate, length, 5) != kIOReturnSuccess) {
        return 0;
    }
    // Only the bytes that came count.
    UInt32 hz = 0;
    for (UInt32 i = 0; i < std::min<UInt32>(length, 3); ++i) {
        hz |= UInt32{rate[i]} << (8 * i);
    }
    if (hz == 22'664) {
        IOLog("USB: %s\n", "ignore MidiMan Bug 88200 kHz");
        hz = 88'200;
    } else if (hz == 30'464) {
        IOLog("USB: %s\n", "ignore MidiMan Bug 96 kHz");
        hz = 96'000;
    }
    return hz;
}

// --- Bus.

UInt64 VKKernelDevice::getCurrentFrame()
{
    if (m_pUSBDevice == nullptr) {
        return kUnreadableFrame;
    }
    // Real-time: a missing controller reads as unreadable, recorded as a hardware failure.
    IOUSBController* controller = mpUSBController;
    if (controller != nullptr) {
        // Only the all-ones answer means unreadable: a frame number whose low 32 bits are all ones
        // is an ordinary frame of a counter that runs past 2^32.
        const UInt64 frame = controller->GetFrameNumber();
        if (frame != kUnreadableFrame) {
            return frame;
        }
    }
    if (m_pDevice != nullptr) {
        m_pDevice->setHardwareFailure(1);
    }
    return kUnreadableFrame;
}

bool VKKernelDevice::setBandwidth(VKPipeDescriptor* pipe, UInt32 bytes)
{
    IOUSBPipe* usbPipe = pipe != nullptr ? pipe->getPipe() : nullptr;
    if (usbPipe == nullptr) {
        IOLog("USB: %s\n", "setBandwidth no pipe");
        return false;
    }
    const UInt16 size = static_cast<UInt16>(std::min<UInt32>(bytes, 0xFFFF));
    if (usbPipe->SetPipePolicy(size, 0) != kIOReturnSuccess) {
        IOLog("USB: %s\n", "pcPipe->SetPipePolicy failed with error");
        return false;
    }
    pipe->setCurrentMaxPacketSize(size);
    return true;
}

UInt32 VKKernelDevice::getBandwidth(VKPipeDescriptor* pipe)
{
    if (pipe == nullptr || pipe->getPipe() == nullptr || mpUSBController == nullptr) {
        return 0;
    }
    return mpUSBController->GetBandwidthAvailable();
}

UInt32 VKKernelDevice::GetFreeBandWidth()
{
    return mpUSBController != nullptr ? mpUSBController->GetBandwidthAvailable() : 0;
}

UInt32 VKKernelDevice::GetAllocatedBandWidth()
{
    if (m_pDevice == nullptr) {
        return 0;
    }
    UInt32 sum = 0;
    for (VKPipeDescriptor* pipe : {m_pDevice->mChosen.inPipeIsoc, m_pDevice->mChosen.outPipeIsoc}) {
        if (pipe != nullptr) {
            sum += pipe->getCurrentMaxPacketSize();
        }
    }
    if (m_pDevice->mpMidiDevice != nullptr) {
        sum += m_pDevice->mpMidiDevice->getAllocatedBandWidth();
    }
    return sum;
}

// --- Description, messages and properties.

APIDeviceInfo* VKKernelDevice::getAPIDeviceInfoPtr()
{
    return m_pDevice != nullptr ? m_pDevice->getAPIDeviceInfoPtr() : nullptr;
}

DriverSM* VKKernelDevice::driverSM() const
{
    return m_pDevice != nullptr ? m_pDevice->mpDriverSM : nullptr;
}

void VKKernelDevice::messageToClients(UInt32 code, UInt64 clientID, UInt32 parameter1, UInt32 parameter2)
{
    QZ_StateChange record = makeStateChange(code, clientID, parameter1, parameter2);
    messageClients(kQzStateChangeMessage, &record, sizeof record);
}

void VKKernelDevice::setChannelSettingsProperty()
{
    if (m_pDevice == nullptr) {
        return;
    }
    OSDictionary* settings = OSDictionary::withCapacity(6);
    const QzChannelSettings& s = *m_pDevice->getCurrentSettings();
    const std::pair<const char*, uint32_t> fields[] = {
        {"Frequency", static_cast<uint32_t>(s.iFrequency)},
        {"InChannels", static_cast<uint32_t>(s.iInChannels)},
        {"InResolution", static_cast<uint32_t>(s.iInResolution)},
        {"OutChannels", static_cast<uint32_t>(s.iOutChannels)},
        {"OutResolution", static_cast<uint32_t>(s.iOutResolution)},
        {"Configuration", s.uConfiguration},
    };
    for (const auto& [key, value] : fields) {
        OSNumber* number = OSNumber::withNumber(value, 32);
        settings->setObject(key, number);
        number->release();
    }
    setProperty("ChannelSettings", settings);
    settings->release();
}

void VKKernelDevice::setAqExtDataProperty()
{
    DriverSM* sm = driverSM();
    if (sm == nullptr) {
        return;
    }
    const QzAqExtData& a = sm->mAqExtData;
    OSDictionary* data = OSDictionary::withCapacity(11);
    const std::pair<const char*, uint32_t> fields[] = {
        {"DigitalLockFrequency", a.DigitalLockFrequency},
        {"ClockSource", a.ClockSource},
        {"USB1Mode", a.USB1Mode},
        {"DigitalOutMode", a.DigitalOutMode},
        {"DigitalOutSelector", a.DigitalOutSelector},
        {"RoutingIn0", a.RoutingIn0},
        {"RoutingIn1", a.RoutingIn1},
        {"RoutingIn2", a.RoutingIn2},
        {"RoutingOut0", a.RoutingOut0},
        {"RoutingOut1", a.RoutingOut1},
        {"DigitalLock", a.DigitalLock},
    };
    for (const auto& [key, value] : fields) {
        OSNumber* number = OSNumber::withNumber(value, 32);
        data->setObject(key, number);
        number->release();
    }
    setProperty("AqExtData", data);
    data->release();
}

bool VKKernelDevice::reEnumerateDevice()
{
    if (m_pUSBDevice == nullptr) {
        return false;
    }
    m_pUSBDevice->ReEnumerateDevice(0);
    return true;
}

// --- System power.

IOReturn VKKernelDevice::powerStateWillChangeTo(IOPMPowerFlags flags, unsigned long stateNumber,
                                                IOService* whatDevice)
{
    IOLog(" KERNELDEVICECLASS::powerStateWillChangeTo pmFlags:%d ul:%d pService:%p mpSystemSuspended:%d\n",
          static_cast<int>(flags), static_cast<int>(stateNumber), static_cast<void*>(whatDevice),
          isSystemSuspended() ? 1 : 0);
    if ((flags & kIOPMSleepCapability) != 0 && stateNumber == IOPMrootDomain::kStateSleep &&
        !isSystemSuspended()) {
        systemSleep();
    }
    const IOReturn result = IOService::powerStateWillChangeTo(flags, stateNumber, whatDevice);
    IOLog("...super::powerStateWillChangeTo returned %08X\n", result);
    return result;
}

IOReturn VKKernelDevice::powerStateDidChangeTo(IOPMPowerFlags flags, unsigned long stateNumber,
                                               IOService* whatDevice)
{
    const int release = platform::process::darwinMajorRelease();
    IOLog(" KERNELDEVICECLASS::powerStateDidChangeTo pmFlags:%d ul:%d pService:%p mpSystemSuspended:%d system "
          "version=%d\n",
          static_cast<int>(flags), static_cast<int>(stateNumber), static_cast<void*>(whatDevice),
          isSystemSuspended() ? 1 : 0, release);
    const IOReturn result = IOService::powerStateDidChangeTo(flags, stateNumber, whatDevice);
    IOLog("...super::powerStateDidChangeTo returned %08X\n", result);
    const bool wake = (flags & kIOPMPowerOn) != 0 && stateNumber >= IOPMrootDomain::kStateOn &&
                      (release >= 12 || (flags & kIOPMRestartCapability) != 0);
    if (wake) {
        IOLog("USB: Power ON(wake up)\n");
        if (isSystemSuspended() && result == kIOReturnSuccess && !isTerminateRequested()) {
            systemWakeUp();
        }
    }
    return result;
}

void VKKernelDevice::systemSleep(bool dispatchLockHeld)
{
    IOLog("USB: Power OFF(sleep)\n");
    // Flag first: a second sleep, and the request layer, see it before the lock is taken.
    if (mpSystemSuspended.exchange(true)) {
        return;
    }
    std::optional<VKDispatchLock> dispatch;
    if (!dispatchLockHeld) {
        dispatch.emplace(*this);
    }
    if (m_pDevice == nullptr || isTerminateRequested()) {
        return;
    }
    messageToClients(54, 0, 0, 0);
    IOLog("USB: Power OFF(stopStreaming)\n");
    if (m_pDevice->streamingStarted() != 0 || m_pDevice->stopUnfinished() != 0) {
        m_pDevice->stopStreaming(true);
    }
    IOSleep(100);
    IOLog("USB: Power OFF(unconfigureDevice)\n");
    unconfigureDevice(false, "KERNELDEVICECLASS::systemSleep");
    IOSleep(100);
    IOLog("USB: Power OFF(sendDeepSleep)\n");
    m_pDevice->sendDeepSleep();
    IOSleep(100);
}

void VKKernelDevice::systemWakeUp()
{
    if (!mpSystemSuspended.exchange(false)) {
        IOLog("USB: %s\n", "mpSystemSuspended false");
        return;
    }
    if (m_pDevice != nullptr) {
        m_pDevice->mbWasPowerDownMode = 1;
        m_pDevice->stcNotifyStreaming(STC_STREAM_AT_POWER_ON, 0);
    }
}

IOReturn VKKernelDevice::CompositeDriverInterestHandler(void* target, void*, UInt32 messageType, IOService*,
                                                        void*, vm_size_t)
{
    if (target == nullptr) {
        return kIOReturnError;
    }
    switch (messageType) {
    case kIOMessageServiceIsAttemptingOpen:
        IOLog("CompositeDriverInterestHandler: attempting open\n");
        break;
    case kIOMessageServiceWasClosed:
        IOLog("CompositeDriverInterestHandler: was closed\n");
        break;
    default:
        IOLog("CompositeDriverInterestHandler: message %08X\n", messageType);
        break;
    }
    return kIOReturnSuccess;
}

// --- User clients.

UserDispatchLock::UserDispatchLock(VKKernelDevice* device, const char* name) : m_device(device)
{
    if (m_device != nullptr) {
        m_device->retain();
        m_device->dispatchLock().lock(name);
    }
}

UserDispatchLock::~UserDispatchLock()
{
    if (m_device != nullptr) {
        // What the real-time side met during the request is told after it.
        if (VKDevice* device = m_device->device()) {
            device->reportRealTimeRecord();
        }
        m_device->dispatchLock().unlock();
        m_device->release();
    }
}
// --- End of user clients.
