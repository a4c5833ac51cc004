// Completion of a configuration: the family status register, the converter choice, the
// digital-output selector, the isochronous streams and the per-model requests that follow once
// the interfaces are open and the pipes bound.
#include <algorithm>

#include "DeviceModels.h"
#include "DriverData.h"
#include "DriverSM.h"
#include "IOKit/IOLib.h"
#include "VKDevice.h"
#include "VKDeviceOwner.h"
#include "VKIOTrace.h"

namespace {

// The family status register: vendor request 0x49 on the device.
constexpr UInt8 kStatusRegisterRequest = 0x49;
constexpr uint8_t kStatusUSB1Mode = 0x01;
constexpr uint8_t kStatusInternalClock = 0x02;
constexpr uint8_t kStatusDigitalLocked = 0x04;
constexpr uint8_t kStatus0644InputSelection = 0x18;
constexpr uint8_t kFixedInputSelection = 0x12;
// Retry counts of deviceRequest (a request is tried at most count + 1 times): the register and
// frequency requests 2, the model requests of the completion 5, SET_INTERFACE 3.
constexpr int kRegisterRetries = 2;
constexpr int kModelRequestRetries = 5;
constexpr int kSetInterfaceRetries = 3;
constexpr uint32_t kMaxExtraDelayMs = 1000;
constexpr int kDigitalLockMeasurements = 20;

} // namespace

PCMDeviceFacts VKDevice::pcmDeviceFacts() const
{
    PCMDeviceFacts facts;
    facts.vendorId = vendorID();
    facts.productId = productID();
    facts.highSpeed = isUSB2 != 0;
    facts.makerBulkDevice = isQuenzarBulkDevice();
    facts.outputRouting = hasFeature(APISpecificFeatures::kReroutingOutputEncoder);
    return facts;
}

namespace {

// The status register, one byte.
IOReturn readStatusRegister(VKDeviceOwner& owner, uint8_t& value)
{
    uint8_t byte = 0;
    UInt32 length = 1;
    const IOReturn status = owner.deviceRequest(kVKDirectionIn, kVKTypeVendor, kVKRecipientDevice,
                                                kStatusRegisterRequest, 0, 0, &byte, length, kRegisterRetries);
    if (status == kIOReturnSuccess && length < 1) {
        return kIOReturnUnderrun; // a reply without its byte is no reading
    }
    if (status == kIOReturnSuccess) {
        value = byte;
    }
    return status;
}

IOReturn writeStatusRegister(VKDeviceOwner& owner, uint8_t value)
{
    UInt32 length = 0;
    return owner.deviceRequest(kVKDirectionOut, kVKTypeVendor, kVKRecipientDevice, kStatusRegisterRequest, value, 0,
                               nullptr, length, kRegisterRetries);
}

} // namespace

// The sampling frequency (class GET_CUR to the streaming endpoint); 0 in hz when it failed.
static IOReturn getCurrentFrequency(VKDevice& device, uint32_t& hz)
{
    hz = 0;
    VKPipeDescriptor* pipe = device.mChosen.inPipeIsoc != nullptr ? device.mChosen.inPipeIsoc : device.mChosen.bulkInPipe;
    if (pipe == nullptr) {
        pipe = device.mChosen.outPipeIsoc != nullptr ? device.mChosen.outPipeIsoc : device.mChosen.bulkOutPipe;
    }
    if (pipe == nullptr) {
        return kIOReturnNotAttached;
    }
    uint8_t rate[3] = {};
    UInt32 length = sizeof rate;
    const IOReturn status = device.mOwner.deviceRequest(kVKDirectionIn, kVKTypeClass, kVKRecipientEndpoint, 0x81,
                                                        0x0100, pipe->getAddressByte(), rate, length,
                                                        kRegisterRetries);
    if (status != kIOReturnSuccess) {
        return status;
    }
    for (UInt32 i = 0; i < std::min<UInt32>(length, 3); ++i) {
        hz |= uint32_t{rate[i]} << (8 * i);
    }
    return status;
}

void VKDevice::configurationDone(char flag, PCMDecoder decoder)
{
    IOLog("VKDevice::configurationDone()\n");
    QzAqExtData& aq = *getAqExtData();

    // The status register dialogue, then the model's settle time.
    if (!aqHasNoDigital()) {
        uint32_t status = 0;
        updateAqInputSelector(&status);
    }
    aq.DigitalLockFrequency = 0;
    if (mDeviceSpecific.mExtraDelay > 0) {
        mDeviceSpecific.mExtraDelay = std::min(mDeviceSpecific.mExtraDelay, kMaxExtraDelayMs);
        IOSleep(mDeviceSpecific.mExtraDelay);
    }

    // Converters.
    if (hasTrait(vkdevice::kTraitSixInputRouting)) {
        choose6InputPostprocessor();
    } else {
        chooseInputPostprocessor();
    }
    aq.DigitalLock = 0;
    chooseISOOutEncoder();
    updateAqInputSelector(nullptr);
    IOLog("configurationDone After updateAqInputSelector\n");
    if (mRegisters.mixerMode != 0) {
        chooseOutMixer();
    }
    writeDigitalOutSelector();

    // Isochronous streams.
    const bool usb2 = isUSB2 != 0;
    if (mChosen.inPipeIsoc != nullptr) {
        IOLog("USB: %s\n", "found isoc in pipe");
        IOLog("Isoc in Endpoint is 0x%02X, Interface %d \n", mChosen.inPipeIsoc->getAddressByte(),
              mChosen.inInterface != nullptr ? mChosen.inInterface->getInterfaceNumber() : -1);
        mIsoc.in.alloc(usb2, mChosen.inPipeIsoc, decoder);
        IOLog("mIsocIn.mpUSBFrameInDataBuffer=%p\n", static_cast<void*>(mIsoc.in.mpUSBFrameInDataBuffer));
    }
    if (mChosen.outPipeIsoc != nullptr) {
        IOLog("USB: %s\n", "found isoc out pipe");
        mIsoc.out.alloc(usb2, mChosen.outPipeIsoc, decoder);
    }
    if (mChosen.outPipeIsocKeepAlive != nullptr) {
        IOLog("found m_pcOutPipeIsocKeepAlive\n");
        mIsoc.keepAlive.alloc(usb2, mChosen.outPipeIsocKeepAlive, decoder);
    }

    // Bulk audio.
    if (mChosen.bulkInPipe != nullptr || mChosen.bulkOutPipe != nullptr) {
        IOLog("USB: %s\n", "INIT IN BULK RBs");
        bulkAudioInitIRPS(flag);
        if (mDmaOutBufer == nullptr) {
            mDmaOutBufer = static_cast<uint8_t*>(IOMalloc(kDmaOutBufferSize));
        }
    }
    // Feedback.
    if (mChosen.inPipeFeedback != nullptr) {
        IOLog("USB: %s\n", "Allocate mIsocInFeedback");
        mIsoc.feedback.alloc(mChosen.inPipeFeedback->getInterval() == 1, mChosen.inPipeFeedback, nullptr);
    }
    // Interrupt audio.
    if (mChosen.interruptInPipe != nullptr || mChosen.interruptOutPipe != nullptr) {
        IOLog("USB: %s\n", "INIT IN INTERRUPT RBs");
        interruptAudioInitIRPS(flag);
        if (mDmaOutBufer == nullptr) {
            mDmaOutBufer = static_cast<uint8_t*>(IOMalloc(kDmaOutBufferSize));
        }
    }

    // Model requests.
    if (hasTrait(vkdevice::kTraitMonitorMixAfterConfig) && mChosen.controlInterface != nullptr) {
        uint8_t zero = 0;
        UInt32 length = 1;
        mOwner.deviceRequest(kVKDirectionOut, kVKTypeClass, kVKRecipientInterface, 0x01, 0x0100, 0x1200, &zero,
                             length, kModelRequestRetries);
    }
    if (hasTrait(vkdevice::kTraitOutputToAlternate0AfterConfig) && mChosen.outInterface != nullptr) {
        const uint8_t number = mChosen.outInterface->getInterfaceNumber();
        IOLog("USB: %s %d\n", "Set interface to 0", number);
        UInt32 length = 0;
        mOwner.deviceRequest(kVKDirectionOut, kVKTypeStandard, kVKRecipientInterface, 0x0B, 0, number, nullptr,
                             length, kSetInterfaceRetries);
    }

    // Device controls: the model's record, with the user's stored values applied.
    initDeviceControls();

    // HID input.
    if (mChosen.hidInterface != nullptr) {
        IOLog("USB: %s\n", "Check for HID Input");
        mChosen.hidInPipe = mChosen.hidInterface->getInterruptInPipe();
        if (mChosen.hidInPipe != nullptr) {
            IOLog("USB: %s\n", "...HID Input pipe found");
        }
    }

    // MIDI: the USB MIDI device, then the family engine's packets, blocks and area header.
    if (mpMidiDevice != nullptr) {
        mpMidiDevice->configurationDone();
    }
    if (mpAQ != nullptr) {
        mpAQ->configurationDone(isUSB2 != 0);
    }

    // The ESU CPLD byte is always sent again.
    const uint8_t cpld = mEsuCpldByte;
    mEsuCpldByte = 0;
    setEsuCpldByte(cpld);

    // Elektron devices get their channel map again.
    if (isElektron() && mpDriverSM != nullptr) {
        setElektronChannelMap(mpDriverSM->mElektronMap, true);
    }
    // A restart that waited for this configuration.
    if (m_bStreamingSuspended != 0) {
        m_bStreamingSuspended = 0;
        startStreaming();
    }
}

void VKDevice::chooseInputPostprocessor()
{
    const QzAqExtData& aq = *getAqExtData();
    IOLog("VKDevice::chooseInputPostprocessor(), lock=%d\n", aq.DigitalLock);
    const uint32_t inputs = static_cast<uint32_t>(std::max(0, getCurrentSettings()->iInChannels));
    mInputPostProcessor = chooseInputPostProcessor(pcmDeviceFacts(), inputs, aq);
    if (!mInputPostProcessor) {
        IOLog("mInputPostProcessor = 0;\n");
        return;
    }
    // Which member for which model, as the log tells it.
    const struct
    {
        PostProcessorFunction function;
        uint16_t product;
        const char* text;
    } told[] = {
        {postprocessACV0BugFix, 0, "input post processor for ACV0 with no digital in\n"},
        {postprocessUS366_6_BugFix, 0, "input post processor for US366 with no digital in and 6 inputs\n"},
        {postprocessUS366_4_BugFix, 0x8041, "input post processor for US366 with no digital in and 4 inputs\n"},
        {postprocessUS366_4_BugFix, 0x8048, "input post processor for UH7000 with no digital in and 4 inputs\n"},
        {postprocessVeskaroBugFix, 0, "input post processor for Veskaro with no digital 5 in and 6 inputs\n"},
    };
    for (const auto& line : told) {
        if (line.function == mInputPostProcessor.function && (line.product == 0 || line.product == productID())) {
            IOLog("%s", line.text);
        }
    }
}

void VKDevice::choose6InputPostprocessor()
{
    const QzAqExtData& aq = *getAqExtData();
    if (!hasTrait(vkdevice::kTraitSixInputRouting) || isUSB2 == 0) {
        mInputPostProcessor = {};
        IOLog("choose6InputPostprocessor: mInputPostProcessor = 0 bad device\n");
        return;
    }
    mInputPostProcessor = chooseInputPostProcessor(pcmDeviceFacts(), 6, aq);
    if (!mInputPostProcessor) {
        const uint32_t code = (aq.RoutingIn0 & 3) * 100 + (aq.RoutingIn1 & 3) * 10 + (aq.RoutingIn2 & 3);
        IOLog("choose6InputPostprocessor: mInputPostProcessor = 0 Bitmap=%03d\n", static_cast<int>(code % 256));
    }
}

void VKDevice::chooseISOOutEncoder()
{
    if (mpDriverSM == nullptr) {
        return;
    }
    const QzChannelSettings& settings = *getCurrentSettings();
    const QzAqExtData& aq = *getAqExtData();
    const PCMDeviceFacts facts = pcmDeviceFacts();
    const PCMStreamFormat output{static_cast<uint32_t>(std::max(0, settings.iOutResolution)),
                                 static_cast<uint32_t>(std::max(0, settings.iOutChannels))};
    if (output.resolution == 24 && facts.highSpeed && facts.outputRouting && !facts.makerBulkDevice &&
        output.channels == 4) {
        IOLog("REROUTING OutEncoder FOR AC3 US144 %u %u\n", aq.RoutingOut0, aq.RoutingOut1);
        if (aq.RoutingOut0 == 0 && aq.RoutingOut1 == 0) {
            IOLog("REROUTING OutEncoder FOR AC3 US144 to pcmTo24LSB_US144_00 \n");
        }
    }
    const PCMEncoder encoder = choosePCMEncoder(facts, output, aq);
    IOLog("AC3 pPCM_FORMAT_CONVERTER_HOST_TO_USB in chooseISOOutEncoder call setConverters with %p \n",
          reinterpret_cast<void*>(encoder));
    if (mpDriverData != nullptr) {
        mpDriverData->setConverters(encoder, settings);
    }
}

void VKDevice::chooseOutMixer()
{
    const OutMixer mixer = ::chooseOutMixer(mDeviceSpecific.mOutputs);
    if (mixer == outMixer6CH) {
        IOLog("Set outMixer6CH\n");
    } else if (mixer == outMixer4CH) {
        IOLog("Set outMixer4CH\n");
    } else if (mixer == outMixer2CH) {
        IOLog("Set outMixer 2CH from VKDevice::chooseOutMixer\n");
    }
    if (mpDriverData != nullptr) {
        mpDriverData->setOutMixer(mixer);
    }
}

// A streaming device that cannot take requests while it streams is left alone.
bool VKDevice::requestsBlockedByStreaming() const
{
    return streamingStarted() != 0 && m_bStreamingSuspended == 0 && !canHandleRequestsWhileStreaming();
}

void VKDevice::writeDigitalOutSelector()
{
    VKIOTrace trace("VKDevice::writeDigitalOutSelector", 0);
    if (requestsBlockedByStreaming()) {
        trace.trace("****** can't do this while streaming");
        return;
    }
    if (!hasFeature(APISpecificFeatures::kDigitalOutSelector)) {
        return;
    }
    const uint16_t selector = static_cast<uint16_t>(getAqExtData()->DigitalOutSelector);
    UInt32 length = 0;
    const IOReturn status = mOwner.deviceRequest(kVKDirectionOut, kVKTypeVendor, kVKRecipientDevice,
                                                 kStatusRegisterRequest, selector, 2, nullptr, length,
                                                 kModelRequestRetries);
    if (status != kIOReturnSuccess) {
        trace.tracex("****** write DigitalOutSelector returned status ", static_cast<int>(status));
        IOLog("USB: %s 0x%X\n", "****** write DigitalOutSelector returned status ", static_cast<unsigned>(status));
    }
}

bool VKDevice::updateAqInputSelector(uint32_t* status)
{
    VKIOTrace trace("VKDevice::updateAqInputSelector", 0);
    IOLog("enter VKDevice::updateAqInputSelector\n");
    if (status != nullptr) {
        *status = 0x12;
    }
    if (hasTrait(vkdevice::kTraitNoInputSelector)) {
        return true;
    }
    IOLog("USB: %s %d\n", "m_bDeviceHardwareFailure status is ", hardwareFailure());
    const bool dmx6 = hasTrait(vkdevice::kTraitStatusRegister);
    if (!isCorlanthCompatible() && !dmx6) {
        return false;
    }
    IOSleep(5);
    if (requestsBlockedByStreaming()) {
        return false;
    }

    QzAqExtData& aq = *getAqExtData();
    QzChannelSettings& settings = *getCurrentSettings();
    const bool statusHasUSB1Mode =
        hasFeature(APISpecificFeatures::kUSB1ModeInStatus) || hasTrait(vkdevice::kTraitUSB1ModeInStatus);

    // Read the register (twice while the digital input reports a lock that may still settle).
    uint8_t reg = 0;
    IOReturn result = readStatusRegister(mOwner, reg);
    IOLog("READ INPUT SELECT 1 returned 0x%X 0x%02X\n", static_cast<unsigned>(result), reg);
    if (result == kIOReturnSuccess && (reg & kStatusDigitalLocked) != 0) {
        IOSleep(20);
        result = readStatusRegister(mOwner, reg);
        IOLog("SECOND READ INPUT SELECT 1 returned 0x%X 0x%02X\n", static_cast<unsigned>(result), reg);
    }

    // The 0644 models' input register selection.
    if (result == kIOReturnSuccess && hasTrait(vkdevice::kTraitInputRegisterSelection)) {
        const uint8_t selection = hasTrait(vkdevice::kTraitFixedInputSelection)
                                      ? kFixedInputSelection
                                      : static_cast<uint8_t>(mRegisters.us366[2] & kStatus0644InputSelection);
        const uint8_t wanted = static_cast<uint8_t>((reg & 0xE7) | selection);
        IOLog("updateAqInputSelector reg=%02X, US366Registers[2]=%02X, statusByte before=%02X, after=%02X, "
              "numIn=%d, numOut=%d\n",
              selection, mRegisters.us366[2], reg, wanted, static_cast<int>(mDeviceSpecific.mInputs),
              static_cast<int>(mDeviceSpecific.mOutputs));
        IOLog("Setting iPortData from to 0x%02X 0x%02X\n", reg, wanted);
        if (!hasTrait(vkdevice::kTraitSelectionWrittenWhenChanged) || wanted != reg) {
            const IOReturn written = writeStatusRegister(mOwner, wanted);
            IOLog("WRITE INPUT SELECT returned 0x%X\n", static_cast<unsigned>(written));
            result = readStatusRegister(mOwner, reg);
            IOLog("READ INPUT SELECT returned 0x%X 0x%02X\n", static_cast<unsigned>(result), reg);
        }
        settings.iInChannels = static_cast<int32_t>(mDeviceSpecific.mInputs);
        settings.iOutChannels = static_cast<int32_t>(mDeviceSpecific.mOutputs);
    }

    // 0A4A:FFDD: a rate read, and the register read again after the rate has settled.
    if (result == kIOReturnSuccess && hasTrait(vkdevice::kTraitRateBeforeSecondRead) &&
        !(isListed() && hasFeature(APISpecificFeatures::kNoDigitalInput))) {
        uint32_t hz = 0;
        if (getCurrentFrequency(*this, hz) == kIOReturnSuccess) {
            IOSleep(100);
            result = readStatusRegister(mOwner, reg);
        }
    }

    uint32_t measured = 0;
    IOReturn frequencyResult = kIOReturnSuccess;
    bool dialogue = result == kIOReturnSuccess; // a failed read ends the dialogue with status 0
    if (!dialogue) {
        reg = 0;
    }

    // Clock source and USB 1 mode as the settings want them.
    if (dialogue) {
        uint8_t wanted = reg;
        wanted = static_cast<uint8_t>(aq.ClockSource == 0 ? (wanted | kStatusInternalClock)
                                                          : (wanted & ~kStatusInternalClock));
        if (statusHasUSB1Mode) {
            wanted = static_cast<uint8_t>(aq.USB1Mode == 1 ? (wanted | kStatusUSB1Mode) : (wanted & ~kStatusUSB1Mode));
        }
        if (wanted != reg) {
            const IOReturn written = writeStatusRegister(mOwner, wanted);
            IOLog("WRITE INPUT SELECT returned 0x%X\n", static_cast<unsigned>(written));
            if (written == kIOReturnSuccess) {
                IOSleep(40);
            }
            frequencyResult = getCurrentFrequency(*this, measured);
            IOLog("GetFrequency returned fre/status %u 0x%X\n", measured, static_cast<unsigned>(frequencyResult));
            result = readStatusRegister(mOwner, reg);
            IOLog("READ INPUT SELECT 2 returned 0x%X 0x%02X\n", static_cast<unsigned>(result), reg);
            frequencyResult = getCurrentFrequency(*this, measured);
            if (frequencyResult != kIOReturnSuccess) {
                result = frequencyResult;
                dialogue = false;
                reg = 0;
            }
        }
    }

    // The settings as the register reports them.
    if (dialogue) {
        aq.ClockSource = (reg & kStatusInternalClock) != 0 ? 0 : 1;
        if (statusHasUSB1Mode) {
            aq.USB1Mode = reg & kStatusUSB1Mode;
        }
        aq.DigitalLock = (reg & kStatusDigitalLocked) != 0 ? 1 : 0;
        trace.trace("mDigitalLock is", aq.DigitalLock);
        if (aqHasNoDigital()) {
            trace.trace("aqHasNoDigital is true -> disable digital lock detection");
            aq.DigitalLock = 0;
        } else if (aq.DigitalLock != 0) {
            measureDigitalLockFrequency(dmx6);
        }
    }

    // The register to the caller, and the rate the device runs at now.
    if (status != nullptr) {
        *status = reg;
    }
    IOLog("READ INPUT SELECT 3 returned 0x%X 0x%02X\n", static_cast<unsigned>(result), reg);
    frequencyResult = getCurrentFrequency(*this, measured);
    IOLog("GetFrequency returned fre/status %u 0x%X\n", measured, static_cast<unsigned>(frequencyResult));

    // A locked digital input sets the rate (and on two models the channels); else a device that runs
    // at another rate than the settings' is set to it.
    const uint32_t locked = aq.DigitalLockFrequency;
    if (frequencyResult == kIOReturnSuccess && locked != 0) {
        if (hasTrait(vkdevice::kTraitLockedRateOutputs)) {
            IOLog("***** PROD_CRIMSON_SPL dlf:%d freq:%d in:%d out:%d \n", static_cast<int>(locked),
                  settings.iFrequency, settings.iInChannels, settings.iOutChannels);
            settings.iFrequency = static_cast<int32_t>(locked);
            settings.iOutChannels = locked <= 96'000 ? 6 : 4;
        } else if (hasTrait(vkdevice::kTraitLockedRateChannels)) {
            IOLog("***** VARNOK dlf:%d freq:%d in:%d out:%d \n", static_cast<int>(locked), settings.iFrequency,
                  settings.iInChannels, settings.iOutChannels);
            settings.iFrequency = static_cast<int32_t>(locked);
            const int32_t channels = locked <= 48'000 ? 32 : (locked <= 96'000 ? 16 : 8);
            settings.iInChannels = channels;
            settings.iOutChannels = channels;
        }
    } else if (settings.iFrequency != static_cast<int32_t>(measured)) {
        IOSleep(50);
        IOLog("***** Device Frequency mismatch expected:%d current:%d \n", settings.iFrequency,
              static_cast<int>(measured));
        const auto hz = static_cast<uint32_t>(std::max(0, settings.iFrequency));
        mOwner.setFrequency(mChosen.inPipeIsoc, nullptr, hz);
        mOwner.setFrequency(mChosen.bulkInPipe, nullptr, hz);
        if (setFreqOnOutPipe()) {
            mOwner.setFrequency(nullptr, mChosen.outPipeIsoc, hz);
            mOwner.setFrequency(nullptr, mChosen.bulkOutPipe, hz);
        }
    }
    return frequencyResult == kIOReturnSuccess;
}

void VKDevice::measureDigitalLockFrequency(bool setRateFirst)
{
    VKIOTrace trace("VKDevice::measureDigitalLockFrequency", 0);
    QzAqExtData& aq = *getAqExtData();
    QzChannelSettings& settings = *getCurrentSettings();
    const auto configured = static_cast<uint32_t>(std::max(0, settings.iFrequency));
    if (setRateFirst) {
        mOwner.setFrequency(mChosen.inPipeIsoc, nullptr, configured);
        mOwner.setFrequency(mChosen.bulkInPipe, nullptr, configured);
    }
    for (int attempt = 0; attempt < kDigitalLockMeasurements; ++attempt) {
        uint32_t hz = 0;
        if (getCurrentFrequency(*this, hz) != kIOReturnSuccess) {
            aq.DigitalLockFrequency = configured;
            trace.trace("cAqExt.mDigitalLockFrequency default to", static_cast<int>(configured));
            return;
        }
        // A rate no stream is sized for (0, a short or odd answer) is a failed measurement: the
        // stream rate and everything sized by it stay at the configured rate.
        if (bandwidthAllowance(hz) == 0) {
            aq.DigitalLockFrequency = configured;
            trace.trace("cAqExt.mDigitalLockFrequency default to", static_cast<int>(configured));
            return;
        }
        aq.DigitalLockFrequency = hz;
        IOLog("cAqExt.mDigitalLockFrequency: %d\n", static_cast<int>(hz));
        if (hz != 192'000) {
            settings.iFrequency = static_cast<int32_t>(hz);
            trace.trace("cAqExt.mDigitalLockFrequency is", static_cast<int>(hz));
            return;
        }
        // 192 kHz only where a stream can carry it.
        bool carried = can192();
        if (!carried && findStreamingAlternate(mChosen.inInterface, 192'000, settings.iInChannels,
                                               settings.iInResolution) != nullptr) {
            IOLog("...found in 192k\n");
            carried = true;
        }
        if (!carried && findStreamingAlternate(mChosen.outInterface, 192'000, settings.iOutChannels,
                                               settings.iOutResolution) != nullptr) {
            IOLog("...found out 192k\n");
            carried = true;
        }
        if (carried) {
            settings.iFrequency = 192'000;
            return;
        }
        trace.trace("failed to measure digital input samplerate");
        IOLog("will retry...\n");
        IOSleep(10);
    }
    aq.DigitalLockFrequency = configured;
}
