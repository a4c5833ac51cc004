// The device's stream configuration: the USB configuration, the audio interfaces with their
// alternates, the pipes of the device object and the PCM coders; and the way back (pipes and
// interfaces closed, the device reset where its model needs it).
#include <cstring>

#include "DeviceModels.h"
#include "DriverData.h"
#include "DriverSM.h"
#include "IOKit/IOLib.h"
#include "IOKit/usb/IOUSBInterface.h"
#include "PCMCoderChoice.h"
#include "VKDevice.h"
#include "VKKernelDevice.h"
#include "VKUSBDescriptors.h"

namespace {

constexpr uint32_t kFirmwareWithoutReset = 0x01050100;

bool has(const VKDevice& device, vkdevice::ModelTrait trait)
{
    return device.hasTrait(trait);
}

// The pipes of the device object, from the interfaces just opened and the model's transfer kind.
void choosePipes(VKDevice& device, const VKKernelDevice& service)
{
    const bool bulk = device.isQuenzarBulkDevice();
    const bool tessaly = device.isTessalyCompatible();
    bool skipBulkInIsocOut = false;
    if (VKInterfaceDescriptor* out = device.mChosen.outInterface) {
        device.mChosen.outPipeIsoc = out->getIsocOutPipe();
        IOLog("Set m_pcOutPipeIsoc for interface %p (%d)\n", static_cast<void*>(out), out->getInterfaceNumber());
        if (device.mChosen.outPipeIsoc != nullptr) {
            IOLog("Set m_pcOutPipeIsoc for interface %p (%d-%d)\n", static_cast<void*>(out),
                  out->getInterfaceNumber(), device.mChosen.outPipeIsoc->getEndpointID());
        }
    }
    if (VKInterfaceDescriptor* in = device.mChosen.inInterface) {
        device.mChosen.inPipeIsoc = in->getIsocInPipe();
        if (device.mChosen.inPipeIsoc != nullptr) {
            IOLog("Set m_pcInPipeIsoc for interface %p (%d-%d)\n", static_cast<void*>(in), in->getInterfaceNumber(),
                  device.mChosen.inPipeIsoc->getEndpointID());
        }
        if (bulk) {
            device.mChosen.bulkInPipe = in->getBulkInPipe();
            if (device.mChosen.bulkInPipe == nullptr) {
                device.mChosen.bulkInPipe = in->getInterruptInPipe();
                IOLog("Use interrupt transfers\n");
            }
        }
        if (tessaly) {
            device.mChosen.interruptInPipe = in->getInterruptInPipe();
            device.mChosen.bulkInPipe = nullptr;
            IOLog("Use interrupt transfers\n");
        }
    }
    if (VKInterfaceDescriptor* out = device.mChosen.outInterface) {
        if (bulk) {
            device.mChosen.bulkOutPipe = out->getPipeByAddress(5);
            if (device.mChosen.bulkOutPipe == nullptr || device.mChosen.bulkOutPipe->getInterval() == 4) {
                IOLog("USB: %s\n", "CHOOSE INTERRUPT OUTPIPE FOR OSKADEL");
                device.mChosen.bulkOutPipe = out->getInterruptOutPipe();
            }
        }
        if (tessaly) {
            device.mChosen.interruptOutPipe = out->getInterruptOutPipe();
            device.mChosen.bulkOutPipe = nullptr;
            IOLog("Use interrupt transfers\n");
        }
    }
    if (bulk) {
        device.mChosen.inPipeIsoc = nullptr;
        device.mChosen.outPipeIsoc = nullptr;
        device.mChosen.outPipeIsocKeepAlive =
            device.mChosen.outInterface != nullptr ? device.mChosen.outInterface->getIsocOutPipeInRange(1, 4) : nullptr;
        IOLog("m_pDevice->m_pcOutPipeIsocKeepAlive is:%p\n", static_cast<void*>(device.mChosen.outPipeIsocKeepAlive));
    }
    if (has(device, vkdevice::kTraitIsocInIsocOut)) {
        IOLog("ACV0 with isoc in isoc out\n");
        device.mChosen.bulkInPipe = nullptr;
        device.mChosen.inPipeFeedback = nullptr;
        skipBulkInIsocOut = true;
    }
    if (!skipBulkInIsocOut && device.isQuenzarBulkInIsocOutDevice() && !service.isTerminateRequested() &&
        device.mChosen.inInterface != nullptr) {
        VKInterfaceDescriptor* in = device.mChosen.inInterface;
        device.mChosen.inPipeIsoc = nullptr;
        device.mChosen.inPipeFeedback = in->getIsocInPipe();
        IOLog("got isoc in pipe %p from interface %p num:%d alt:%d", static_cast<void*>(device.mChosen.inPipeFeedback),
              static_cast<void*>(in), in->getInterfaceNumber(), in->getAlternateSettingNumber());
        device.mChosen.bulkInPipe = in->getBulkInPipe();
        if (device.mChosen.bulkInPipe == nullptr) {
            device.mChosen.bulkInPipe = in->getInterruptInPipe();
            IOLog("Use interrupt transfers\n");
        }
    }
}

} // namespace

IOReturn VKKernelDevice::reqConfigureDevice(const char* reason)
{
    if (m_pDevice == nullptr) {
        return kIOReturnError;
    }
    if (m_pDevice->mFirmwareUpdateMode != 0) {
        IOLog("abort configure - firmware update mode\n");
        return kIOReturnError;
    }
    if (isTerminateRequested()) {
        IOLog("USB: %s\n", "...return because m_bTerminateRequested");
        return kIOReturnError;
    }
    DriverSM* sm = driverSM();
    if (sm == nullptr) {
        return kIOReturnNoMemory;
    }
    // The kernel's own settings: the shared block only shows them.
    const QzChannelSettings& s = *m_pDevice->getCurrentSettings();
    IOLog("enter reqConfigureDevice iInRes=%d, iOutRes=%d, iInCh=%d, iOutCh=%d\n", s.iInResolution,
          s.iOutResolution, s.iInChannels, s.iOutChannels);
    unconfigureDevice(true, reason);
    IOLog("enter reqConfigureDevice aft. unconf iInRes=%d, iOutRes=%d, iInCh=%d, iOutCh=%d\n", s.iInResolution,
          s.iOutResolution, s.iInChannels, s.iOutChannels);
    const bool configured = configureDevice();
    // The choice of interfaces may have changed them.
    m_pDevice->mirrorSettings();
    if (!configured) {
        IOLog("configureDevice failed\n");
        return kIOReturnError;
    }
    m_pDevice->sendSetPicCommand(129);
    IOSleep(10);
    if (isTerminateRequested()) {
        IOLog("USB: %s\n", "...return because m_bTerminateRequested (2nd)");
        // What was just opened is closed again: the termination finds the device unconfigured.
        unconfigureDevice(false, "terminating");
        return kIOReturnError;
    }
    sm->mConfigured = 1;
    registerMidiInterface();
    IOLog("configured fr:%d in:%d/%d out %d/%d\n", s.iFrequency, s.iInChannels, s.iInResolution, s.iOutChannels,
          s.iOutResolution);
    return kIOReturnSuccess;
}

// The configuration the settings name, with its interfaces found, and the device put into it.
bool VKKernelDevice::chooseConfiguration()
{
    if (m_pUSBDevice == nullptr || m_pDevice == nullptr) {
        IOLog("USB: %s\n", "no m_pUSBDevice");
        return false;
    }
    VKDevice& device = *m_pDevice;
    if (device.mFirmwareUpdateMode != 0) {
        IOLog("abort configureDevice - firmware update mode\n");
        return false;
    }
    DriverSM* sm = driverSM();
    if (sm == nullptr) {
        return false;
    }
    if (!device.findInterfacesInConfig()) {
        IOLog("USB: %s\n", "findInterfacesInConfig(pcControl,pcIn,pcOut,pcHID); returned false");
        return false;
    }
    if (device.mChosen.inInterface == nullptr && device.mChosen.outInterface == nullptr) {
        IOLog("USB: %s\n", "No in and no out interface -> exiting.");
        return false;
    }
    VKConfigurationDescriptor* configuration =
        device.getConfigurationDescriptor(static_cast<int>(device.getCurrentSettings()->uConfiguration));
    if (configuration == nullptr) {
        IOLog("USB: %s\n", "no configuration selected");
        return false;
    }
    device.mChosen.configuration = configuration;

    // The USB configuration, when the device is not in it already.
    const UInt8 wanted = configuration->getConfigurationValue();
    UInt8 current = 99;
    if (!device.isCorlanthCompatible() && m_pUSBDevice->GetConfiguration(&current) != kIOReturnSuccess) {
        current = 99;
    }
    if (current != wanted || device.isMorvaneCompatible()) {
        IOLog("USB: %s 0x%X\n", "ConfigureDevice: SetConfiguration Number ", wanted);
        IOReturn status = m_pUSBDevice->SetConfiguration(this, wanted, true);
        for (int attempt = 1; status != kIOReturnSuccess && attempt <= 5; ++attempt) {
            IOLog("USB: SetConfiguration failed with code:%08X - try reset %d\n", status, attempt);
            if (isTerminateRequested() || !resetDevice("USB: SetConfiguration failed")) {
                return false;
            }
            status = m_pUSBDevice->SetConfiguration(this, wanted, false);
            IOLog("SetConfiguration %d returned status 0x%08X\n", wanted, status);
        }
        if (status != kIOReturnSuccess) {
            return false;
        }
    }
    if (has(device, vkdevice::kTraitSetInterfaceToDevice)) {
        UInt32 none = 0;
        deviceRequest(kVKDirectionOut, kVKTypeStandard, kVKRecipientDevice, 11, 0, 2, nullptr, none, 3);
    }

    return true;
}

// The audio interfaces claimed and the pipes of the device object chosen and opened. False when
// any of them failed or no pipe was left to stream on.
bool VKKernelDevice::openInterfacesAndPipes()
{
    VKDevice& device = *m_pDevice;
    bool success = true;
    const bool slow = has(device, vkdevice::kTraitSlowConfigure);
    mConfigurationOpen = true;
    if (!matchInterface(device.mChosen.controlInterface, true)) {
        IOLog("isInitSuccess is false after matchInterface(m_pDevice->m_pcControlInterface,true)\n");
        success = false;
    }
    if (!matchInterface(device.mChosen.outInterface, true)) {
        IOLog("isInitSuccess is false after matchInterface(m_pDevice->m_pcOutInterface,true);\n");
        success = false;
    }
    if (slow) {
        IOSleep(50);
    }
    if (!matchInterface(device.mChosen.inInterface, true)) {
        IOLog("isInitSuccess is false after matchInterface(m_pDevice->m_pcInInterface,true);\n");
        success = false;
    }
    if (slow) {
        IOSleep(50);
    }
    // The vendor port's onConfigureDone comes with the vendor port.
    IOLog("Configure status is (after matchInterface) %d\n", success ? 1 : 0);

    choosePipes(device, *this);

    // Open them, in this order.
    const uint32_t frequency = static_cast<uint32_t>(device.getCurrentSettings()->iFrequency);
    auto open = [&](VKPipeDescriptor* pipe, const char* name) {
        if (pipe != nullptr && !pipe->initPipe(name)) {
            IOLog("isInitSuccess is false after m_pDevice->%s->initPipe();\n", name);
            success = false;
            return false;
        }
        return pipe != nullptr;
    };
    if (open(device.mChosen.inPipeIsoc, "m_pcInPipeIsoc")) {
        device.checkBandwidthForPipe(device.mChosen.inPipeIsoc, frequency);
    }
    if (open(device.mChosen.inPipeFeedback, "m_pcInPipeFeedback")) {
        setBandwidth(device.mChosen.inPipeFeedback, device.mChosen.inPipeFeedback->getMaxPacketSize());
    }
    open(device.mChosen.bulkInPipe, "m_pcBulkInPipe");
    open(device.mChosen.bulkOutPipe, "m_pcBulkOutPipe");
    open(device.mChosen.interruptInPipe, "m_pcInterruptInPipe");
    open(device.mChosen.interruptOutPipe, "m_pcInterruptOutPipe");
    if (slow) {
        IOSleep(50);
    }
    if (open(device.mChosen.outPipeIsoc, "m_pcOutPipeIsoc")) {
        device.checkBandwidthForPipe(device.mChosen.outPipeIsoc, frequency);
    }
    if (device.mChosen.outPipeIsocKeepAlive != nullptr) {
        IOLog("init m_pcOutPipeIsocKeepAlive\n");
        open(device.mChosen.outPipeIsocKeepAlive, "m_pcOutPipeIsocKeepAlive");
    }
    if (slow) {
        IOSleep(50);
    }
    if (device.mpMidiDevice != nullptr) {
        device.mpMidiDevice->initPipes();
    }
    // The engine's MIDI interface is claimed for its pipes (the in and out interfaces already are).
    if (device.mpAQ != nullptr && device.mpAQ->midiInterface() != nullptr &&
        device.mpAQ->midiInterface()->getInterface() == nullptr) {
        VKInterfaceDescriptor* midi = device.mpAQ->midiInterface();
        if (!matchInterface(midi, true)) {
            IOLog("isInitSuccess is false after matchInterface(m_pDevice->mpAQ->m_pcMidiInterface,true)\n");
        }
    }
    if (device.mpAQ != nullptr && !device.mpAQ->initPipes()) {
        IOLog("isInitSuccess is false after m_pDevice->mpAQ->initPipes();\n");
    }

    const bool anyPipe = device.mChosen.inPipeIsoc != nullptr || device.mChosen.outPipeIsoc != nullptr ||
                         device.mChosen.bulkInPipe != nullptr || device.mChosen.bulkOutPipe != nullptr ||
                         device.mChosen.interruptInPipe != nullptr || device.mChosen.interruptOutPipe != nullptr;
    if (!anyPipe) {
        IOLog("NEITHER IN NOR OUT PIPE WAS CONFIGURED\n");
    }
    if (!anyPipe || !success) {
        IOLog("isInitSuccess is false after PipeAvailability check\n");
        success = false;
    }
    return success;
}

// The PCM coders for the chosen formats: the encoder goes to the driver data, the decoder is returned
// for the configuration to complete with.
PCMDecoder VKKernelDevice::chooseConverters()
{
    VKDevice& device = *m_pDevice;
    DriverSM* sm = driverSM();
    const QzChannelSettings& s = *device.getCurrentSettings();
    IOLog("configureDevice iInRes=%d, iOutRes=%d, iInCh=%d, iOutCh=%d\n", s.iInResolution, s.iOutResolution,
          s.iInChannels, s.iOutChannels);
    const PCMDeviceFacts facts = device.pcmDeviceFacts();
    const PCMStreamFormat input{static_cast<uint32_t>(s.iInResolution), static_cast<uint32_t>(s.iInChannels)};
    const PCMStreamFormat output{static_cast<uint32_t>(s.iOutResolution),
                                 static_cast<uint32_t>(s.iOutChannels)};
    const PCMDecoder usbToHost = choosePCMDecoder(facts, input, output);
    const PCMEncoder hostToUSB =
        s.iOutChannels > 0 ? choosePCMEncoder(facts, output, sm->mAqExtData) : choosePCMEncoder(facts, input, sm->mAqExtData);
    if (device.isQuenzarBulkDevice() && s.iOutResolution == 24) {
        IOLog("AC3 pPCM_FORMAT_CONVERTER_HOST_TO_USB in configureDevice\n");
    }
    if (device.mpDriverData != nullptr) {
        device.mpDriverData->setConverters(hostToUSB, s);
    }
    return usbToHost;
}

// Choose, open, convert; what a failed open left open is closed again.
bool VKKernelDevice::configureDevice()
{
    if (!chooseConfiguration()) {
        return false;
    }
    const bool success = openInterfacesAndPipes();

    if (mInterestNotifier == nullptr && !isTerminateRequested()) {
        mInterestNotifier = m_pUSBDevice->registerInterest(gIOGeneralInterest, &CompositeDriverInterestHandler, this);
    }

    if (!success) {
        unconfigureDevice(true, "!bInitSuccess in configureDevice");
        mConfigurationStatus.store(kIOReturnError);
        return false;
    }
    const PCMDecoder usbToHost = chooseConverters();
    m_pDevice->configurationDone(0, usbToHost);
    mConfigurationStatus.store(kIOReturnSuccess);
    messageToClients(14, 0, 0, 0);
    return true;
}

void VKKernelDevice::unconfigureDevice(bool resetRequested, const char* reason)
{
    if (m_pDevice == nullptr) {
        IOLog("USB: %s\n", "NO DEVICE");
        return;
    }
    VKDevice& device = *m_pDevice;
    if (device.streamingStarted() != 0 || device.stopUnfinished() != 0) {
        if (!device.stopStreaming(true)) {
            IOLog("USB: %s\n", "unconfigureDevice: streaming did not stop; the configuration stays");
            return;
        }
        IOSleep(100);
    }
    DriverSM* sm = driverSM();
    if (sm == nullptr || !mConfigurationOpen) {
        IOLog("USB: %s\n", "device is not configured");
        return;
    }
    IOLog("unconfigureDevice(%d, %s)\n", resetRequested ? 1 : 0, reason != nullptr ? reason : "");
    sm->mConfigured = 0;
    mConfigurationOpen = false;
    if (device.mChosen.midiInterface != nullptr && device.mChosen.midiInterface->getInterface() != nullptr) {
        IOLog("USB: %s\n", "STOP MIDI INTERFACE");
        resetRequested = resetRequested && device.isCorlanthCompatible();
    }
    if (device.mpAQ != nullptr) {
        device.mpAQ->closePipes();
    }
    if (device.isTessalyCompatible()) {
        device.mChosen.controlInterface = nullptr;
    }
    for (VKPipeDescriptor* pipe : {device.mChosen.inPipeFeedback, device.mChosen.hidInPipe, device.mChosen.bulkInPipe,
                                   device.mChosen.bulkOutPipe, device.mChosen.inPipeIsoc, device.mChosen.outPipeIsoc,
                                   device.mChosen.outPipeIsocKeepAlive}) {
        if (pipe != nullptr) {
            pipe->closePipe();
        }
    }
    if (device.isTessalyCompatible()) {
        for (VKPipeDescriptor* pipe : {device.mChosen.interruptInPipe, device.mChosen.interruptOutPipe}) {
            if (pipe != nullptr) {
                pipe->closePipe();
            }
        }
    }
    if (device.mpMidiDevice != nullptr) {
        device.mpMidiDevice->closePipes();
    }
    if (device.mChosen.midiInterface != nullptr &&
        ((device.isCorlanthCompatible() && device.mChosen.midiInterface->isMidiInterface()) || device.isElektron())) {
        device.mChosen.midiInterface->close(false);
    }
    // The vendor port's onUnconfigure comes with the vendor port.
    for (VKInterfaceDescriptor* interface : {device.mChosen.controlInterface, device.mChosen.inInterface,
                                             device.mChosen.outInterface, device.mChosen.hidInterface}) {
        if (interface != nullptr) {
            interface->close(false);
        }
    }

    if (resetRequested && has(device, vkdevice::kTraitNoResetFromNewFirmware) &&
        device.mFirmwareVersion >= kFirmwareWithoutReset) {
        resetRequested = false;
    }
    if ((device.isCorlanthCompatible() && !device.isTessalyCompatible()) ||
        has(device, vkdevice::kTraitDigidesignReset)) {
        resetDevice(reason);
        resetRequested = false;
    }
    device.onUnconfigure();
    if (has(device, vkdevice::kTraitSlowConfigure)) {
        return;
    }
    if (has(device, vkdevice::kTraitDigidesign)) {
        if (resetRequested && !has(device, vkdevice::kTraitNoRequestedReset)) {
            resetDevice(reason);
        }
        return;
    }
    if (has(device, vkdevice::kTraitResetAtUnconfigure) || resetRequested) {
        resetDevice(reason);
    }
}

bool VKKernelDevice::resetDevice(const char* reason)
{
    if (m_pUSBDevice == nullptr) {
        return false;
    }
    IOLog("before m_pUSBDevice->ResetDevice(%s)\n", reason != nullptr ? reason : "");
    const IOReturn status = m_pUSBDevice->ResetDevice();
    IOLog("m_pUSBDevice->ResetDevice() returned %08X\n", status);
    if (status != kIOReturnSuccess) {
        IOLog("ResetDevice failed with error 0x%08X\n", status);
    }
    return status == kIOReturnSuccess;
}

bool VKKernelDevice::matchInterface(VKInterfaceDescriptor*& descriptor, bool open)
{
    if (m_pUSBDevice == nullptr || m_pDevice == nullptr) {
        return false;
    }
    if (descriptor == nullptr) {
        IOLog("matchInterface: no interface\n");
        return true;
    }
    if (descriptor->getInterface() != nullptr) {
        IOLog("matchInterface: Interface is already open\n");
        return true;
    }
    const VKDevice& device = *m_pDevice;
    IOUSBFindInterfaceRequest request = {descriptor->getInterfaceClass(), descriptor->getInterfaceSubClass(),
                                         descriptor->getInterfaceProtocol(), 0};
    const uint8_t number = descriptor->getInterfaceNumber();
    if (has(device, vkdevice::kTraitVendorClassSearch)) {
        request.bInterfaceClass = 0xFF;
    } else if (has(device, vkdevice::kTraitVendorClassAnySearch) ||
               (device.isCorlanthCompatible() && !device.isMorvaneCompatible())) {
        IOLog("alter search for Digidesign and AudioCorlanth\n");
        request = {0xFF, 0, 0, 0};
    } else if (device.isElektron() && descriptor->getInterfaceSubClass() != 1 && number != 3) {
        IOLog("alter search for Elektron\n");
        request = {0xFF, 0, 0, 0};
    } else if (device.isTessalyCompatible() && (number == 1 || number == 2)) {
        IOLog("alter search for TESSALY\n");
        request = {0xFF, static_cast<UInt16>(device.isUSB3 != 0 ? 0 : 2), 0, 0};
    } else if (device.isTessalyCompatible() && number == 3) {
        request = {1, 3, 0, 0};
    } else if (device.isTessalyCompatible() && number == 0) {
        request = {0xFF, 1, 0, 0};
    }
    const uint8_t wantedAlternate = descriptor->getAlternateSettingNumber();
    for (int pass = 0; pass < 2; ++pass) {
        IOUSBInterface* found = nullptr;
        while ((found = m_pUSBDevice->FindNextInterface(found, &request)) != nullptr) {
            if (found->GetAlternateSetting() == 0 && wantedAlternate != 0 && !open && found->isOpen()) {
                descriptor->close(false);
            }
            if (found->GetInterfaceNumber() == number) {
                if (descriptor->setInterface(this, found, open)) {
                    return true;
                }
                IOLog("pInterface->setInterface failed\n");
                // What it took before failing is let go, since nothing reaches it once cleared.
                descriptor->close(false);
                descriptor = nullptr;
                return false;
            }
        }
        if (pass == 0 && wantedAlternate != 0) {
            IOLog("matchInterface...try with desired alternate\n");
            request.bAlternateSetting = wantedAlternate;
            continue;
        }
        break;
    }
    IOLog("matchInterface: match failed\n");
    descriptor = nullptr;
    return false;
}

void VKKernelDevice::registerMidiInterface()
{
    if (m_pDevice == nullptr) {
        return;
    }
    VKDevice& device = *m_pDevice;
    if (device.isCorlanthCompatibleWithRawMidi() || device.isCorlanthCompatibleWithRegularMidi()) {
        IOLog("registerMidiInterface..not for corlanth compatibles\n");
        return;
    }
    VKInterfaceDescriptor* midi = device.mChosen.midiInterface;
    if (midi == nullptr || midi->getInterface() == nullptr) {
        return;
    }
    IOLog("USB: %s\n", "-----------------------------------");
    IOLog("USB: %s 0x%X\n", "REGISTER MIDI", static_cast<unsigned>(reinterpret_cast<uintptr_t>(midi->getInterface())));
    midi->getInterface()->registerService(kIOServiceSynchronous);
    IOLog("USB: %s\n", "-----------------------------------");
}
