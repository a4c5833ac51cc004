// The device side of the service's start and end: the shared memories, the device shared block
// filled with the device's identity, names and default stream configuration, and the real-time
// thread; then their release.
#include "VKDevice.h"

#include "VKDeviceModelRules.h"

#include "DriverData.h"
#include "DriverSM.h"
#include "KeThread.h"
#include "VKDeviceOwner.h"

#include <IOKit/IOLib.h>
#include <IOKit/usb/IOUSBController.h>
#include <IOKit/usb/IOUSBDevice.h>
#include <VKIOTrace.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

using namespace vkdevice;

namespace {

constexpr uint8_t kGetDescriptor = 6;
constexpr uint16_t kDeviceDescriptorValue = 0x0100;
constexpr uint32_t kDeviceDescriptorLength = 18;
constexpr int kDeviceDescriptorAttempts = 5;
constexpr uint16_t kLanguageEnglishUS = 0x0409;

void setDefaultConfiguration(QzChannelSettings& settings)
{
    settings.iFrequency = 44100;
    settings.iInChannels = 2;
    settings.iInResolution = 24;
    settings.iOutChannels = 2;
    settings.iOutResolution = 24;
    settings.uConfiguration = 0;
}

void logSettings(const QzChannelSettings& settings)
{
    IOLog("SetpQzChannelSettings\n ");
    IOLog("pQzChannelSettings->iFrequency = %d\n", settings.iFrequency);
    IOLog("pQzChannelSettings->iInResolution = %d\n", settings.iInResolution);
    IOLog("pQzChannelSettings->iOutResolution = %d\n", settings.iOutResolution);
    IOLog("pQzChannelSettings->uConfiguration = %d\n", static_cast<int>(settings.uConfiguration));
    IOLog("pQzChannelSettings->iInChannels = %d\n", settings.iInChannels);
    IOLog("pQzChannelSettings->iOutChannels = %d\n", settings.iOutChannels);
}

// A string descriptor into a name field of the shared block; empty when the index is 0 or the
// read fails.
void readName(IOUSBDevice* usbDevice, uint8_t index, char (&field)[kDeviceNameSize])
{
    std::memset(field, 0, sizeof(field));
    if (index == 0) {
        return;
    }
    if (usbDevice->GetStringDescriptor(index, field, kDeviceNameSize, kLanguageEnglishUS) !=
        kIOReturnSuccess) {
        std::memset(field, 0, sizeof(field));
    }
    field[kDeviceNameSize - 1] = '\0';
}

} // namespace

void VKDevice::init()
{
    if (mAPIDeviceInfo == nullptr) {
        mAPIDeviceInfo = static_cast<APIDeviceInfo*>(memAllocZero(sizeof(APIDeviceInfo)));
    } else {
        std::memset(static_cast<void*>(mAPIDeviceInfo), 0, sizeof(APIDeviceInfo));
    }
    mInitSettings = APISpecificFeatures{};
    mpDriverSM = nullptr;
    mpDriverData = nullptr;
    mHALVersion = 0;
    mHubCount = 0;
    mHogID = -1;
    mControlsStored = 0;
    mBulkInterrupt.lastUnderrunResetFrame = 0;
    std::memset(ElektronUID, 0, sizeof(ElektronUID));
}

uint32_t VKDevice::getLocationID(IOUSBDevice* usbDevice)
{
    if (usbDevice == nullptr) {
        return 0;
    }
    if (OSNumber* number = OSDynamicCast(OSNumber, usbDevice->getProperty("locationID"))) {
        const uint32_t locationID = number->unsigned32BitValue();
        IOLog("locationID is %08X\n", locationID);
        return locationID;
    }
    return usbDevice->GetAddress();
}

bool VKDevice::onServiceStart(IOUSBDevice* usbDevice)
{
    if (usbDevice == nullptr) {
        return false;
    }
    // The device shared block and the input ring's memory.
    if (!mcDriverSharedMemory.init(kDriverSMSize)) {
        return false;
    }
    mpDriverSM = static_cast<DriverSM*>(mcDriverSharedMemory.address());
    if (mpDriverSM == nullptr) {
        return false;
    }
    if (!mcAudioSM_In.init(kInputSMSize)) {
        return false;
    }
    // The client table over the shared block.
    mpDriverData = DriverData::create(mpDriverSM, usbDevice->GetVendorID(), usbDevice->GetProductID());
    if (mpDriverData == nullptr) {
        return false;
    }

    // The Elektron channel map starts empty.
    std::memset(&mpDriverSM->mElektronMap, 0, sizeof(mpDriverSM->mElektronMap));

    // Identity.
    DriverSM& sm = *mpDriverSM;
    sm.devDesc.m_uSpeed = usbDevice->GetSpeed();
    sm.devDesc.bMaxPacketSize0 = usbDevice->GetMaxPacketSize();
    sm.devDesc.idVendor = usbDevice->GetVendorID();
    sm.devDesc.idProduct = usbDevice->GetProductID();
    sm.devDesc.bcdDevice = usbDevice->GetDeviceRelease();
    sm.devDesc.iManufacturer = usbDevice->GetManufacturerStringIndex();
    sm.devDesc.iProduct = usbDevice->GetProductStringIndex();
    sm.devDesc.iSerialNumber = usbDevice->GetSerialNumberStringIndex();
    sm.devDesc.bNumConfigurations = usbDevice->GetNumConfigurations();
    sm.mUniqueLocationID = getLocationID(usbDevice);
    if (sm.mUniqueLocationID == 0) {
        VKIOTrace trace("VKDevice::onServiceStart", 0);
        trace.trace("mpDriverSM->mUniqueLocationID is 0");
        return false;
    }

    // Bus speed.
    const unsigned speed = sm.devDesc.m_uSpeed;
    IOLog("mpDriverSM->devDesc.m_uSpeed is :%d\n", speed);
    if (speed >= kUSBDeviceSpeedHigh) {
        IOUSBController* pBusV2 = OSDynamicCast(IOUSBController, usbDevice->GetBus());
        IOLog("pBusV2 is :%p\n", static_cast<void*>(pBusV2));
        if (pBusV2 != nullptr) {
            const UInt32 bandwidth = pBusV2->GetBandwidthAvailable();
            IOLog("BUSV2 FOUND, GetBandwidthAvailable returned:%d\n", static_cast<int>(bandwidth));
            if (bandwidth < 1024) {
                IOLog("USB2 Controller found with Bandwidth < 1024\n");
            }
        } else {
            IOLog("NO USB2 Controller with USB2 Device\n");
        }
        setIsUSB2Device();
        if (speed >= kUSBDeviceSpeedSuper) {
            setIsUSB3Device();
        }
    } else {
        IOLog("NO USB2\n");
    }
    sm.mIsHighSpeed = speed >= kUSBDeviceSpeedHigh ? 1 : 0;

    // Default extended settings and the block's version.
    sm.mAqExtData.setDefaults();
    sm.mVersion = kDriverSMVersion;

    // Names; a custom name replaces the product name, bounded by both fields.
    readName(usbDevice, sm.devDesc.iManufacturer, sm.szManufacturer);
    readName(usbDevice, sm.devDesc.iProduct, sm.szProduct);
    driverOverwriteProductVendorStrings(sm.szManufacturer, sm.szProduct, sm.devDesc.idVendor,
                                        sm.devDesc.idProduct);
    if (const size_t customLength = customNameLength(); customLength > 0) {
        std::memset(sm.szProduct, 0, sizeof(sm.szProduct));
        std::memcpy(sm.szProduct, mCustomName, customLength);
    }

    if (mpAQ != nullptr) {
        mpAQ->initializeSM();
    }

    // The device descriptor, into the start of the descriptor buffer.
    uint32_t descriptorLength = 0;
    bool loaded = false;
    for (int attempt = 0; attempt < kDeviceDescriptorAttempts && !loaded; ++attempt) {
        if (attempt > 0) {
            IOLog("USB: %s\n", "wait a little");
            IOSleep(50);
        }
        descriptorLength = kDeviceDescriptorLength;
        IOReturn status =
            mOwner.deviceRequest(kVKDirectionIn, kVKTypeStandard, kVKRecipientDevice, kGetDescriptor,
                                 kDeviceDescriptorValue, 0, sm.mDescriptors, descriptorLength, 5);
        IOLog("USB: %s %d %d\n", "Load DeviceDescriptor returned status/length", static_cast<int>(status),
              static_cast<int>(descriptorLength));
        loaded = status == kIOReturnSuccess;
    }
    if (!loaded) {
        IOLog("USB: %s\n", "Load DeviceDescriptor failed");
        return false;
    }
    // Only what the device sent is scanned; a short descriptor is the scan's to refuse.
    if (descriptorLength > kDeviceDescriptorLength) {
        descriptorLength = kDeviceDescriptorLength;
    }
    std::memset(sm.mDescriptors + descriptorLength, 0, kDeviceDescriptorLength - descriptorLength);

    // Defaults, then the scan of the device descriptor.
    sm.mConfigured = 0;
    sm.bIsConfiguring = 0;
    setDefaultConfiguration(*getCurrentSettings());
    sm.mAqExtData.setDefaults();
    IOLog("USB: %s 0x%X 0x%X\n", "VID/PID is", static_cast<unsigned>(sm.devDesc.idVendor),
          static_cast<unsigned>(sm.devDesc.idProduct));
    USBByteBuffer descriptor(sm.mDescriptors, descriptorLength);
    scanDeviceDescriptor(descriptor);
    IOLog("USB: %s 0x%X 0x%X\n", "VID/PID is", static_cast<unsigned>(vendorID()),
          static_cast<unsigned>(productID()));

    // A model that refuses full speed is a hardware failure there.
    const bool highSpeed = sm.mIsHighSpeed != 0;
    if (!highSpeed && mDeviceSpecific.mPreventUSB1 != 0) {
        setHardwareFailure(1);
    }

    // The firmware version, on the models that report one.
    scanFirmwareVersion();

    // Family devices start from the default configuration; those with raw MIDI get a USB MIDI device.
    if (isCorlanthCompatible()) {
        if (isCorlanthCompatibleWithRawMidi() && mpMidiDevice == nullptr) {
            mpMidiDevice = new (std::nothrow) USBMidiDevice;
            if (mpMidiDevice == nullptr || !mpMidiDevice->init(highSpeed, sm)) {
                return false;
            }
        }
        setDefaultConfiguration(*getCurrentSettings());
    }

    // Per-model defaults, then the feature record's.
    applyDefaultSettings(highSpeed);
    mirrorSettings();

    // Display name and UID.
    std::memcpy(sm.szDisplayName, sm.szProduct, sizeof(sm.szDisplayName));
    sm.szDisplayName[sizeof(sm.szDisplayName) - 1] = '\0';
    std::snprintf(sm.szDeviceUID, sizeof(sm.szDeviceUID), "VID_%04X_PID_%04X_BUS_%08X",
                  static_cast<unsigned>(sm.devDesc.idVendor), static_cast<unsigned>(sm.devDesc.idProduct),
                  static_cast<unsigned>(sm.mUniqueLocationID));
    uint64_t elektronUID = 0;
    std::memcpy(&elektronUID, ElektronUID, sizeof(elektronUID));
    IOLog("szDeviceUID %s mElektronDeviceUID %llu\n", sm.szDeviceUID,
          static_cast<unsigned long long>(elektronUID));

    // The real-time thread.
    return mThread != nullptr && mThread->create(this);
}

void VKDevice::applyDefaultSettings(bool highSpeed)
{
    QzChannelSettings& settings = *getCurrentSettings();
    if (const ModelDefaultSettings* row = defaultSettingsOf(vendorID(), productID())) {
        settings.iFrequency = static_cast<int32_t>(highSpeed ? row->rateHS : row->rateFS);
        settings.iInChannels = highSpeed ? row->inChannelsHS : row->inChannelsFS;
        settings.iOutChannels = highSpeed ? row->outChannelsHS : row->outChannelsFS;
        settings.iInResolution = row->bits;
        settings.iOutResolution = row->bits;
        settings.uConfiguration = 0;
    }
    const APIStreamingInfo& fullSpeedIn =
        mInitSettings.mFormats[APISpecificFeatures::kFullSpeed][APISpecificFeatures::kInput];
    if (fullSpeedIn.bBitResolution != 0) {
        const auto speed = highSpeed ? APISpecificFeatures::kHighSpeed : APISpecificFeatures::kFullSpeed;
        const APIStreamingInfo& in = mInitSettings.mFormats[speed][APISpecificFeatures::kInput];
        const APIStreamingInfo& out = mInitSettings.mFormats[speed][APISpecificFeatures::kOutput];
        // The record's rate is the word at byte 4 of the input half; a record that lists discrete
        // rates instead leaves it 0, and then its first rate is taken (no rate: the table's stays).
        uint32_t rate = in.mLowerFrequency;
        if (rate == 0 && in.mNumFrequencies > 0) {
            rate = in.mFrequencies[0];
        }
        if (rate != 0 && rate <= static_cast<uint32_t>(INT32_MAX)) {
            settings.iFrequency = static_cast<int32_t>(rate);
        }
        settings.iInChannels = in.bNrChannels;
        settings.iInResolution = in.bBitResolution;
        settings.iOutChannels = out.bNrChannels;
        settings.iOutResolution = in.bBitResolution; // the input half's resolution serves both
        settings.uConfiguration = 0;
    }
    logSettings(settings);
}

void VKDevice::terminate()
{
    IOLog("USB: %s\n", "xxxxxxxxx\nvoid VKDevice::terminate()\nxxxxxxxxxxxxxx");
    if (mThread != nullptr) {
        mThread->term();
    }
    if (mpDriverData != nullptr) {
        mpDriverData->sharedMemoryDestroyed();
        mpDriverData->release();
        mpDriverData = nullptr;
    }
    mpDriverSM = nullptr;
    IOLog("USB: %s\n", "Terminate mcDriverSharedMemory");
    mcDriverSharedMemory.term(true);
    IOLog("USB: %s\n", "Terminate mcAudioSM_In");
    mcAudioSM_In.term(true);
    // The isochronous records end in the service's terminate; this build has no vendor port.
    if (mpMidiDevice != nullptr) {
        IOLog("USB: %s\n", "Terminate mpMidiDevice");
        mpMidiDevice->term();
        mpMidiDevice->release();
        mpMidiDevice = nullptr;
    }
    if (mAPIDeviceInfo != nullptr) {
        memFree(mAPIDeviceInfo, sizeof(APIDeviceInfo));
        mAPIDeviceInfo = nullptr;
    }
}
