// Per-model start-up and power commands: the Digidesign MBox requests, the firmware version scan
// with the channel counts some models report with it, deep sleep, channel counts set from outside,
// the feature record and custom name of the personality, and the emptying of request-block lists.
// Every request goes through the owner; every reply is checked for length before it is used.
#include "VKDevice.h"

#include "VKDeviceModelRules.h"

#include "DriverSM.h"
#include "VKDeviceOwner.h"

#include <IOKit/IOLib.h>
#include <VKIOTrace.h>

#include <cstring>

using namespace vkdevice;

namespace {

constexpr int kRetries = 5;

// Standard and class requests the MBox code sends.
constexpr uint8_t kSetInterface = 0x0B;
constexpr uint8_t kSetCur = 0x01;
constexpr uint16_t kSamplingFrequencyControl = 0x0100;

// Vendor requests of the device family.
constexpr uint8_t kFirmwareRequest = 0x56;
constexpr uint8_t kDeepSleepRequest = 0x44;
constexpr uint8_t kMBox2StatusRequest = 0x85;
constexpr int kMBox2Polls = 100;
constexpr uint8_t kMBox2Ready = 2;

// Where the selections the MBox code reads lie in the device controls record.
constexpr size_t kControlsInSelector = 1100 + 10;
constexpr size_t kControlsSyncSelector = 2200 + 4;
constexpr uint8_t kSelectorSecond = 2; // the second source: digital input, digital sync

// Feature-record bytes that receive the channel counts the firmware reports (high speed).
constexpr size_t kFeatureHSInputChannels = 153;
constexpr size_t kFeatureHSOutputChannels = 229;

void putRate(uint8_t (&bytes)[3], uint32_t hz)
{
    bytes[0] = static_cast<uint8_t>(hz);
    bytes[1] = static_cast<uint8_t>(hz >> 8);
    bytes[2] = static_cast<uint8_t>(hz >> 16);
}

} // namespace

uint8_t VKDevice::controlsSelector(size_t offset) const
{
    if (mpDriverSM == nullptr || offset >= kStoredControlsSize) {
        return 0;
    }
    return reinterpret_cast<const uint8_t*>(&mpDriverSM->mDeviceControls)[offset];
}

void VKDevice::initDigiDesignMbox()
{
    IOLog("USB: %s\n", "initDigiDesignMbox(XsDeviceControls &cControls, int32_t uFrequency)");
    if (!hasTrait(vkdevice::kTraitMBoxStartup)) {
        return;
    }
    const QzChannelSettings& settings = *getCurrentSettings();
    const int32_t frequency = settings.iFrequency;

    if (controlsSelector(kControlsInSelector) == kSelectorSecond) {
        IOLog("USB: %s\n", "***** DIGITAL");
        uint8_t source = kSelectorSecond;
        uint32_t length = 1;
        mOwner.deviceRequest(kVKDirectionOut, kVKTypeClass, kVKRecipientInterface, kSetCur, 0, 0x0500,
                             &source, length, kRetries);
    } else {
        IOLog("USB: %s\n", "***** ANALOG");
    }

    const uint32_t hz = static_cast<uint32_t>(frequency);
    if (controlsSelector(kControlsSyncSelector) == kSelectorSecond) {
        IOLog("USB: %s %d\n", "***** SYNC DIGITAL", frequency);
        mOwner.setFrequency(mChosen.inPipeIsoc, mChosen.bulkInPipe, hz);
        mOwner.setFrequency(mChosen.inPipeIsoc, mChosen.bulkInPipe, 0);
        mOwner.setFrequency(mChosen.outPipeIsoc, mChosen.bulkOutPipe, hz);
        mOwner.setFrequency(mChosen.outPipeIsoc, mChosen.bulkOutPipe, 0);
    } else {
        IOLog("USB: %s %d\n", "***** SYNC ANALOG", frequency);
        mOwner.setFrequency(mChosen.inPipeIsoc, mChosen.bulkInPipe, hz);
        mOwner.setFrequency(mChosen.inPipeIsoc, mChosen.bulkInPipe, hz);
        mOwner.setFrequency(mChosen.outPipeIsoc, mChosen.bulkOutPipe, hz);
        mOwner.setFrequency(mChosen.outPipeIsoc, mChosen.bulkOutPipe, hz);
    }
}

void VKDevice::initDigiDesignMbox2()
{
    IOLog("USB: %s\n", "initDigiDesignMbox2(XsDeviceControls &cControls, int32_t uFrequency)");
    if (!hasTrait(vkdevice::kTraitMBox2Startup)) {
        return;
    }
    auto setInterface = [this](uint16_t interface, uint16_t alternate) {
        uint32_t length = 0;
        mOwner.deviceRequest(kVKDirectionOut, kVKTypeStandard, kVKRecipientInterface, kSetInterface,
                             alternate, interface, nullptr, length, kRetries);
    };
    for (uint16_t interface : {2, 3, 5, 4}) {
        setInterface(interface, 0);
    }
    const QzChannelSettings& settings = *getCurrentSettings();
    IOSleep(300);

    const uint16_t alternate = getAqExtData()->ClockSource == 0 ? 3 : 2;
    setInterface(2, alternate);
    setInterface(3, 0);
    setInterface(5, alternate);
    setInterface(4, alternate);

    for (uint16_t endpoint : {0x03, 0x85, 0x86}) {
        uint8_t rate[3];
        putRate(rate, static_cast<uint32_t>(settings.iFrequency));
        uint32_t length = sizeof(rate);
        mOwner.deviceRequest(kVKDirectionOut, kVKTypeClass, kVKRecipientEndpoint, kSetCur,
                             kSamplingFrequencyControl, endpoint, rate, length, kRetries);
    }
    IOSleep(300);
}

void VKDevice::startupDigiDesignMbox2()
{
    IOLog("USB: %s\n", "startupDigiDesignMbox2");
    if (!hasTrait(vkdevice::kTraitMBox2Startup)) {
        return;
    }
    for (int poll = 0; poll < kMBox2Polls; ++poll) {
        uint8_t state = 0;
        uint32_t length = 1;
        IOReturn status = mOwner.deviceRequest(kVKDirectionIn, kVKTypeVendor, kVKRecipientDevice,
                                               kMBox2StatusRequest, 1, 1, &state, length, kRetries);
        // A device that left (or a service being terminated) will never become ready: polling on
        // would hold the start, and the termination waiting for it, for the whole 30 s.
        if (status == kIOReturnNoDevice || mOwner.isTerminateRequested()) {
            IOLog("MBox2 request return: device gone\n");
            return;
        }
        if (status != kIOReturnSuccess || length < 1) {
            state = 0; // no answer is no readiness
        }
        IOLog("MBox2 request return: %d\n", state);
        IOSleep(300);
        if (state == kMBox2Ready) {
            return;
        }
    }
}

void VKDevice::scanFirmwareVersion()
{
    VKIOTrace trace("VKKernelDevice::scanFirmwareVersion", 0);
    mFirmwareVersion = 0;

    const ModelStartup* row = startupOf(vendorID(), productID());
    const uint32_t rules = row != nullptr ? row->rules : 0;
    if (!isCorlanthCompatible() && (rules & kRuleScanFirmware) == 0) {
        return;
    }

    // Version: b0, b1, b2 of an 8-byte reply. A failed or short reply leaves the version 0.
    uint8_t b[8] = {};
    uint32_t length = sizeof(b);
    IOReturn status = mOwner.deviceRequest(kVKDirectionIn, kVKTypeVendor, kVKRecipientDevice,
                                           kFirmwareRequest, 0, 0, b, length, kRetries);
    if (status != kIOReturnSuccess) {
        length = 0;
    }
    if (length < sizeof(b)) {
        std::memset(b + length, 0, sizeof(b) - length);
    }
    IOLog("Read Firmware Version: %X %X %X %X %X %X %X %X\n", b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7]);
    if (length >= 3) {
        mFirmwareVersion = firmwareVersionFrom(b[0], b[1], b[2]);
    }
    trace.tracex("Scanned Firmware Version is", static_cast<int>(mFirmwareVersion));

    // Channel counts reported with the firmware: bytes 3 and 4 of a 5-byte reply.
    if (hasFeature(APISpecificFeatures::kReadExtendedFirmwareData) ||
        (rules & kRuleExtendedFirmwareData) != 0) {
        uint8_t ext[5] = {};
        uint32_t extLength = sizeof(ext);
        status = mOwner.deviceRequest(kVKDirectionIn, kVKTypeVendor, kVKRecipientDevice, kFirmwareRequest, 0,
                                      0, ext, extLength, kRetries);
        if (status != kIOReturnSuccess || extLength < sizeof(ext)) {
            trace.trace("read extended data failed");
        } else {
            trace.trace("EXT DATA", ext[3], ext[4]);
            const ExtendedChannels channels = extendedChannelsFrom(ext[3], ext[4], row);
            mDeviceSpecific.mInputs = channels.inputs;
            mDeviceSpecific.mOutputs = channels.outputs;
            trace.trace("read extended data mReadNumInputs /mReadNumOutputs",
                        static_cast<int>(channels.inputs), static_cast<int>(channels.outputs));
            auto* record = reinterpret_cast<uint8_t*>(&mInitSettings);
            record[kFeatureHSInputChannels] = static_cast<uint8_t>(channels.inputs);
            record[kFeatureHSOutputChannels] = static_cast<uint8_t>(channels.outputs);
        }
    }

    // Firmware text: it begins at byte 4 of the reply (bytes 0 to 3 are the binary version).
    if (hasFeature(APISpecificFeatures::kReadFirmwareVersionString) || (rules & kRuleFirmwareString) != 0) {
        std::memset(mFirmwareVersionString, 0, sizeof(mFirmwareVersionString));
        uint32_t textLength = kFirmwareVersionStringSize - 1;
        status = mOwner.deviceRequest(kVKDirectionIn, kVKTypeVendor, kVKRecipientDevice, kFirmwareRequest, 0,
                                      0, mFirmwareVersionString, textLength, kRetries);
        if (status != kIOReturnSuccess) {
            textLength = 0;
        }
        // Nothing past what was received counts, and the text always ends inside the field.
        if (textLength < kFirmwareVersionStringSize) {
            std::memset(mFirmwareVersionString + textLength, 0, kFirmwareVersionStringSize - textLength);
        }
        mFirmwareVersionString[kFirmwareVersionStringSize - 1] = '\0';
        IOLog("USB: %s %s\n", "READ Firmware Version String is", firmwareVersionText());
    }
}

bool VKDevice::sendDeepSleep()
{
    if (!isCorlanthCompatible()) {
        return false;
    }
    uint32_t length = 0;
    IOReturn status = mOwner.deviceRequest(kVKDirectionOut, kVKTypeVendor, kVKRecipientDevice,
                                           kDeepSleepRequest, 0, 0, nullptr, length, kRetries);
    IOLog("USB: %s 0x%X\n", "VKDevice::sendDeepSleep returned", static_cast<unsigned>(status));
    return status == kIOReturnSuccess;
}

void VKDevice::setReadChannels(int inputs, int outputs)
{
    VKIOTrace trace("VKDevice::setReadChannels", 0);
    IOLog("USB: %s %d %d\n", "Old input and output channel count to",
          static_cast<int>(mDeviceSpecific.mInputs), static_cast<int>(mDeviceSpecific.mOutputs));
    // The shared ring and the converters hold at most 32 channels a direction.
    if (inputs < 0 || inputs > kMaxChannels || outputs < 0 || outputs > kMaxChannels) {
        IOLog("USB: %s %d %d\n", "setReadChannels refused", inputs, outputs);
        return;
    }
    mDeviceSpecific.mInputs = static_cast<uint32_t>(inputs);
    mDeviceSpecific.mOutputs = static_cast<uint32_t>(outputs);
    // The mixer follows the output count: one of another width would be skipped by the stream.
    chooseOutMixer();
    QzChannelSettings& settings = *getCurrentSettings();
    settings.iInChannels = inputs;
    settings.iOutChannels = outputs;
    mirrorSettings();
    if (streamingStarted() != 0) {
        setChannelsChanged(1);
    }
    IOLog("USB: %s %d %d\n", "Setting new input and output channel count to", inputs, outputs);
}

void VKDevice::initialSettings(const APISpecificFeatures* features)
{
    if (features == nullptr) {
        return;
    }
    std::memcpy(&mInitSettings, features, sizeof(APISpecificFeatures));
    IOLog("%s using plist\n", "void VKDevice::initialSettings(APISpecificFeatures *)");
    mInitSettings.mValid = 1;
}

void VKDevice::setCustomName(const char* name)
{
    // At most 64 characters, never read past the end of the source; unterminated at 64.
    std::memset(mCustomName, 0, sizeof(mCustomName));
    if (name == nullptr) {
        return;
    }
    std::memcpy(mCustomName, name, strnlen(name, sizeof(mCustomName)));
}

size_t VKDevice::customNameLength() const
{
    return strnlen(mCustomName, sizeof(mCustomName));
}

namespace {

// Each block is destroyed once the list lets go of it, unless something else still holds it.
void emptyRequestBlocks(VKSimpleArray& list)
{
    while (VKSimpleObject* block = list.atPos(0)) {
        list.del(block);
    }
}

} // namespace

void VKDevice::terminateBulkRqBs(VKSimpleArray& list)
{
    IOLog("USB: %s\n", "xxxxxxxxx\nVKDevice::terminateBulkRqBs()\nxxxxxxxxxxxxxx");
    emptyRequestBlocks(list);
}

void VKDevice::terminateInterruptRqBs(VKSimpleArray& list)
{
    IOLog("USB: %s\n", "xxxxxxxxx\nVKDevice::terminateInterruptRqBs()\nxxxxxxxxxxxxxx");
    emptyRequestBlocks(list);
}
