// The device object: construction and destruction, its settings and their mirror in the shared block, the
// capability predicates, the per-model bytes and the two small vendor commands (PIC and ESU CPLD).
#include "VKDevice.h"

#include "VKDeviceModelRules.h"

#include "DriverSM.h"
#include "KeThread.h"
#include "SharedAccess.h"
#include "VKDeviceOwner.h"

#include <IOKit/IOLib.h>

#include <algorithm>
#include <cstring>
#include <new>

using namespace vkdevice;

namespace {

// What extension-data readers get while the device has no shared block; writes to it reach nobody.
QzAqExtData globDummyAqExtData{};

// The PIC microcontroller of the USBPre answers on these.
constexpr uint8_t kPicSetRequest = 0x01;
constexpr uint8_t kPicGetRequest = 0x81;
constexpr uint16_t kPicValue = 0x00F0;
constexpr uint16_t kPicSetIndex = 0x01F0;
constexpr int kPicAttempts = 5;

constexpr uint8_t kEsuCpldRequest = 0x49;
constexpr uint8_t kEsuCpldFixedBits = 0xE7;
constexpr int kEsuCpldRetries = 5;

} // namespace

VKDevice::VKDevice(VKDeviceOwner& owner) : mOwner(owner)
{
    mThread = new (std::nothrow) KeThread;
    if (mThread != nullptr) {
        mThread->setRecord(&mRealTimeRecord);
    }
    std::fill(std::begin(mRegisters.us366), std::end(mRegisters.us366), uint16_t{0xFFFF});
    // The isochronous records are made by configuration completion; this build has no bulk or
    // interrupt packets and no family input engine to make.
    mInputScratch = static_cast<uint8_t*>(IOMallocAligned(kInputScratchSize, 4096));
    if (mInputScratch != nullptr) {
        std::memset(mInputScratch, 0, kInputScratchSize);
        mInputScratchAddress = reinterpret_cast<uintptr_t>(mInputScratch);
    }
    mpAQ = new (std::nothrow) AQ(*this);
    if (mpAQ != nullptr) {
        mpAQ->init();
    }
    init();
}

VKDevice::~VKDevice()
{
    delete mThread; // ends it
    mThread = nullptr;
    if (mpAQ != nullptr) {
        // An engine whose transfers never came back is kept: their completions still reach it.
        if (mpAQ->term()) {
            delete mpAQ;
        }
        mpAQ = nullptr;
    }
    storeSettings();
    mConfigurations.deleteAll();
    terminate();
    if (mDmaOutBufer != nullptr) {
        IOFree(mDmaOutBufer, kDmaOutBufferSize);
        mDmaOutBufer = nullptr;
    }
    if (mInputScratch != nullptr) {
        IOFreeAligned(mInputScratch, kInputScratchSize);
        mInputScratch = nullptr;
        mInputScratchAddress = 0;
    }
}

void VKDevice::mirrorSettings()
{
    if (mpDriverSM == nullptr) {
        return;
    }
    QzChannelSettings& shown = mpDriverSM->mChannelSettings;
    shared::store(shown.iFrequency, mSettings.iFrequency);
    shared::store(shown.iInChannels, mSettings.iInChannels);
    shared::store(shown.iInResolution, mSettings.iInResolution);
    shared::store(shown.iOutChannels, mSettings.iOutChannels);
    shared::store(shown.iOutResolution, mSettings.iOutResolution);
    shared::store(shown.uConfiguration, mSettings.uConfiguration);
}

bool VKDevice::adoptSharedSettings()
{
    if (mpDriverSM == nullptr) {
        return false;
    }
    // Each field read once: what is checked is what is used, whatever is written there meanwhile.
    const QzChannelSettings& shown = mpDriverSM->mChannelSettings;
    const QzChannelSettings copy{shared::load(shown.iFrequency),    shared::load(shown.iInChannels),
                                 shared::load(shown.iInResolution), shared::load(shown.iOutChannels),
                                 shared::load(shown.iOutResolution), shared::load(shown.uConfiguration)};
    if (!validChannelSettings(copy)) {
        return false;
    }
    mSettings = copy;
    mirrorSettings();
    return true;
}

QzAqExtData* VKDevice::getAqExtData()
{
    if (mpDriverSM == nullptr) {
        return &globDummyAqExtData;
    }
    return &mpDriverSM->mAqExtData;
}

void VKDevice::storeSettings()
{
    if (mpDriverSM == nullptr) {
        return;
    }
    mControlsStored = 1;
    static_assert(sizeof(mpDriverSM->mDeviceControls) == kStoredControlsSize);
    std::memcpy(mStoredControls, &mpDriverSM->mDeviceControls, kStoredControlsSize);
}

// ---------------------------------------------------------------------------------------------
// Capability predicates

namespace {

bool hasCapability(const VKDevice& device, uint32_t capability)
{
    return (capabilitiesOf(device.vendorID(), device.productID(), device.releaseID()) & capability) != 0;
}

} // namespace

bool VKDevice::isCorlanthCompatible() const
{
    return isListed() ? hasFeature(APISpecificFeatures::kCorlanthCompatible)
                      : hasCapability(*this, kCapCorlanth);
}

bool VKDevice::isMorvaneCompatible() const
{
    return isListed() ? hasFeature(APISpecificFeatures::kMorvaneCompatible)
                      : hasCapability(*this, kCapMorvane);
}

bool VKDevice::isTessalyCompatible() const
{
    return hasCapability(*this, kCapTessaly);
}

bool VKDevice::isQuenzarBulkDevice() const
{
    return isListed() && hasFeature(APISpecificFeatures::kBulkDevice) && isUSB2 != 0;
}

bool VKDevice::isQuenzarBulkInIsocOutDevice() const
{
    if (isUSB2 == 0) {
        return false;
    }
    return isListed() ? hasFeature(APISpecificFeatures::kBulkInIsocOutDevice)
                      : hasCapability(*this, kCapBulkInIsocOut);
}

bool VKDevice::isPureBulkDevice() const
{
    return isQuenzarBulkDevice() && mChosen.bulkInPipe != nullptr && mChosen.bulkOutPipe != nullptr;
}

bool VKDevice::can192() const
{
    return isListed() ? hasFeature(APISpecificFeatures::kCan192) : hasCapability(*this, kCapCan192);
}

bool VKDevice::canHandleRequestsWhileStreaming() const
{
    return isListed() ? hasFeature(APISpecificFeatures::kCanHandleRequestsWhileStreaming)
                      : hasCapability(*this, kCapRequestsWhileStreaming);
}

bool VKDevice::preventUSB1Mode() const
{
    return isListed() && hasFeature(APISpecificFeatures::kPreventUSB1Mode);
}

bool VKDevice::isCorlanthCompatibleWithRawMidi() const
{
    return isListed() && hasFeature(APISpecificFeatures::kRawMidi);
}

bool VKDevice::isCorlanthCompatibleWithRegularMidi() const
{
    return isListed() ? hasFeature(APISpecificFeatures::kRegularMidi) : hasCapability(*this, kCapRegularMidi);
}

bool VKDevice::aqHasNoDigital() const
{
    // This model has no digital input whatever its record says.
    if (kModel15E4_0079.is(vendorID(), productID())) {
        return true;
    }
    return isListed() ? hasFeature(APISpecificFeatures::kNoDigitalInput)
                      : hasCapability(*this, kCapNoDigital);
}

void VKDevice::initDeviceSpecificData()
{
    mDeviceSpecific = DeviceSpecificData{};
    if (isListed() && hasFeature(APISpecificFeatures::kPreventUSB1Mode)) {
        mDeviceSpecific.mPreventUSB1 = 1;
    }
    if (const ModelStartup* row = startupOf(vendorID(), productID())) {
        if ((row->rules & kRuleClockFlags) != 0) {
            mDeviceSpecific.mFlagA = 1;
            mDeviceSpecific.mFlagB = 1;
        }
        if ((row->rules & kRuleExtraDelay100) != 0) {
            mDeviceSpecific.mExtraDelay = 100;
        }
        if ((row->rules & kRuleTwoByTwoChannels) != 0) {
            mDeviceSpecific.mInputs = 2;
            mDeviceSpecific.mOutputs = 2;
        }
    }
    IOLog("USB: %s %d %d %d\n", "mDeviceSpecific->", static_cast<int>(mDeviceSpecific.mInputs),
          static_cast<int>(mDeviceSpecific.mOutputs), static_cast<int>(mDeviceSpecific.mExtraDelay));
}

// ---------------------------------------------------------------------------------------------
// PIC microcontroller commands (USBPre only)

bool VKDevice::sendSetPicCommand(XeUSBPrePicCommand cmd)
{
    if (!hasTrait(vkdevice::kTraitPic)) {
        return false;
    }
    IOLog("USB: %s %d\n", "doSetPicCommand : ", static_cast<int>(static_cast<int8_t>(cmd)));
    uint8_t data = cmd;
    uint32_t length = 1;
    IOReturn status = mOwner.deviceRequest(kVKDirectionOut, kVKTypeVendor, kVKRecipientDevice, kPicSetRequest,
                                           kPicValue, kPicSetIndex, &data, length, kPicAttempts);
    if (status == kIOReturnSuccess) {
        IOLog("USB: %s\n", "...pic set command success");
        return true;
    }
    IOLog("USB: %s\n", "--- pic set command error");
    IOLog("USB: %s\n", "...pic set command failure");
    return false;
}

bool VKDevice::sendGetPicCommand(XeUSBPrePicCommand cmd)
{
    if (!hasTrait(vkdevice::kTraitPic)) {
        return false;
    }
    IOLog("USB: %s %d\n", "doGetPicCommand : ", static_cast<int>(static_cast<int8_t>(cmd)));
    // The byte read back is not compared with the command.
    uint8_t data = cmd;
    uint32_t length = 1;
    IOReturn status = mOwner.deviceRequest(kVKDirectionIn, kVKTypeVendor, kVKRecipientDevice, kPicGetRequest,
                                           kPicValue, 0, &data, length, kPicAttempts);
    if (status == kIOReturnSuccess) {
        IOLog("USB: %s\n", "...pic Get command success");
        return true;
    }
    IOLog("USB: %s\n", "--- pic Get command error");
    IOLog("USB: %s\n", "...pic Get command failure");
    return false;
}

bool VKDevice::sendPicCommand(XeUSBPrePicCommand cmd)
{
    if (!hasTrait(vkdevice::kTraitPic)) {
        return false;
    }
    IOLog("USB: %s %d\n", "doPicCommand : ", static_cast<int>(static_cast<int8_t>(cmd)));
    for (int attempt = 0; attempt < kPicAttempts; ++attempt) {
        if (!sendSetPicCommand(cmd)) {
            IOLog("USB: %s\n", "--- pic command error");
            IOSleep(20);
            continue;
        }
        IOSleep(20);
        bool got = sendGetPicCommand(cmd);
        IOSleep(10);
        if (got) {
            IOLog("USB: %s\n", "...pic command success");
            return true;
        }
        IOLog("USB: %s\n", "--- pic command error");
    }
    IOLog("USB: %s\n", "...pic command failure");
    return false;
}

// ---------------------------------------------------------------------------------------------
// ESU CPLD byte

void VKDevice::setEsuCpldByte(uint8_t value)
{
    if (!hasTrait(vkdevice::kTraitEsuCpld)) {
        return;
    }
    if (mEsuCpldBusy.exchange(1) != 0) {
        return;
    }
    const uint8_t byte = static_cast<uint8_t>(value | kEsuCpldFixedBits);
    if (byte != mEsuCpldByte) {
        mEsuCpldByte = byte;
        IOLog("USB: %s 0x%X\n", "WRITE ESU CPLD BYTE: ", static_cast<unsigned>(byte));
        // The device takes the byte only with its bulk audio stopped; the stream is then broken
        // and recovered through the stream-broken handling.
        const bool streaming = streamingStarted() != 0;
        if (streaming) {
            bulkAudioStop(true);
        }
        uint32_t length = 0;
        mOwner.deviceRequest(kVKDirectionOut, kVKTypeVendor, kVKRecipientDevice, kEsuCpldRequest, byte, 1,
                             nullptr, length, kEsuCpldRetries);
        if (streaming) {
            stcNotifyStreaming(2, 0);
        }
    }
    mEsuCpldBusy.store(0);
}
