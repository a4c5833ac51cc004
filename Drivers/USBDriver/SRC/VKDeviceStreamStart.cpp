// The start of streaming: per-model start-up, the sample rate on the device, isochronous bandwidth,
// and the hand-over to resumeStreaming. Also what runs around the transfers' start and stop.
//
// Thread: a request thread (configuring user client or device command) with the dispatch lock held.
#include <cstring>

#include "DriverSM.h"
#include "IOKit/IOLib.h"
#include "IOKit/usb/IOUSBInterface.h"
#include "VKDevice.h"
#include "VKDeviceOwner.h"

namespace {

constexpr const char* kAsterisks = "*******************************************";

// USBPre rate commands: the output side's, then the input side's.
constexpr XeUSBPrePicCommand kPic48000 = 0xC0;
constexpr XeUSBPrePicCommand kPic44100 = 0xC1;
constexpr XeUSBPrePicCommand kPic32000 = 0xC2;

struct ClassRequest
{
    uint16_t wValue;
    uint16_t wIndex;
    uint16_t length;
};

} // namespace

void VKDevice::startStreaming()
{
    if (streamingStarted() != 0 || m_bStreamingSuspended != 0) {
        IOLog("USB: %s %d %d\n", "   streaming already started or suspended", streamingStarted(),
              m_bStreamingSuspended);
        return;
    }
    if (hasTrait(vkdevice::kTraitMBoxStartup)) {
        initDigiDesignMbox();
    } else if (hasTrait(vkdevice::kTraitMBox2Startup)) {
        initDigiDesignMbox2();
    }
    const QzChannelSettings settings = *getCurrentSettings();
    const int32_t frequency = settings.iFrequency;
    const bool usbPre = hasTrait(vkdevice::kTraitPic);
    if (usbPre) {
        if (frequency == 48000) {
            sendSetPicCommand(kPic48000);
        } else if (frequency == 44100) {
            sendSetPicCommand(kPic44100);
        } else if (frequency == 32000) {
            sendSetPicCommand(kPic32000);
        }
    }

    IOLog("USB: %s %d\n", "SETFREQUENCY in VKDevice::startStreaming()", frequency);
    checkBandwidthForPipe(mChosen.inPipeIsoc, 0);
    checkBandwidthForPipe(mChosen.outPipeIsoc, 0);
    IOLog("USB: %s\n", kAsterisks);
    const uint32_t hz = frequency > 0 ? static_cast<uint32_t>(frequency) : 0;
    if (usbPre) {
        sendPicCommand(frequency == 48000 ? kPic48000 : frequency == 32000 ? kPic32000 : kPic44100);
    } else if (hasTrait(vkdevice::kTraitMBoxStartup)) {
        initDigiDesignMbox();
    } else {
        mOwner.setFrequency(mChosen.inPipeIsoc, mChosen.bulkInPipe, hz);
    }
    IOLog("USB: %s\n", kAsterisks);
    if (mChosen.inPipeIsoc == nullptr || settings.iInChannels == 0 || setFreqOnOutPipe()) {
        mOwner.setFrequency(mChosen.outPipeIsoc, mChosen.bulkOutPipe, hz);
    }

    // Model class requests: SET_CUR to the interface, 5 attempts each.
    auto setCur = [&](const ClassRequest& r) {
        uint8_t zeros[4] = {};
        UInt32 length = r.length;
        mOwner.deviceRequest(kVKDirectionOut, kVKTypeClass, kVKRecipientInterface, 0x01, r.wValue, r.wIndex, zeros,
                             length, 5);
    };
    if (hasTrait(vkdevice::kTraitUnit2StartControl)) {
        setCur({0x02FF, 0x0200, 4});
    } else if (hasTrait(vkdevice::kTraitUnit9StartControl)) {
        setCur({0x0A00, 0x0900, 1});
    } else if (hasTrait(vkdevice::kTraitUnit9StartControlPair)) {
        setCur({0x0201, 0x0900, 4});
        setCur({0x0202, 0x0900, 4});
    }

    // Level meters: the model's routines for this stream's channel counts.
    chooseLevelProcessors(*this, static_cast<uint32_t>(std::max(0, getCurrentSettings()->iInChannels)),
                          static_cast<uint32_t>(std::max(0, getCurrentSettings()->iOutChannels)), isUSB2 != 0,
                          mInLevelProcessor, mOutLevelProcessor);
    mInLevelChannels = mInLevelProcessor != nullptr ? static_cast<uint32_t>(getCurrentSettings()->iInChannels) : 0;
    if (isElektron()) {
        if (mpDriverSM != nullptr) {
            const QZ_Elektron_ChannelMap map = mpDriverSM->mElektronMap;
            setElektronChannelMap(map, true);
        }
    } else if (hasTrait(vkdevice::kTraitReselectOutputAtStart)) {
        IOLog("m_pcOutInterface is %p\n", static_cast<void*>(mChosen.outInterface));
        if (mChosen.outInterface != nullptr) {
            IOUSBInterface* usbInterface = mChosen.outInterface->getInterface();
            IOLog("m_pcOutInterface->m_pUSBIF is %p, alternate is %d\n", static_cast<void*>(usbInterface),
                  mChosen.outInterface->getAlternateSettingNumber());
            if (usbInterface != nullptr) {
                usbInterface->SetAlternateInterface(mOwner.service(),
                                                    mChosen.outInterface->getAlternateSettingNumber());
            }
        }
    }

    // The digital transmitter follows the stream's rate: programmed before the stream starts,
    // or after it on a device that takes requests while it streams.
    const bool afterStart = isMorvaneCompatible();
    if (!afterStart) {
        writeDigitalOutMode();
    }
    resumeStreaming();
    if (afterStart) {
        writeDigitalOutMode();
    }
}

void VKDevice::onStreamingStarted()
{
    if (hasTrait(vkdevice::kTraitOutputModeAtStart) && mChosen.controlInterface != nullptr) {
        uint8_t mode = getCurrentSettings()->iOutChannels == 8 ? 2 : 1;
        UInt32 length = 1;
        mOwner.deviceRequest(kVKDirectionOut, kVKTypeClass, kVKRecipientInterface, 0x01, 0, 0x1F00, &mode, length,
                             5);
    }
    if (mpMidiDevice != nullptr) {
        mpMidiDevice->start();
    }
    if (mpAQ != nullptr) {
        mpAQ->streamingStarted();
    }
}

void VKDevice::onStreamingStopped()
{
    IOLog("USB: %s\n", "void VKDevice::onStreamingStopped()");
    if (mpMidiDevice != nullptr) {
        mpMidiDevice->stop();
    }
    if (mpAQ != nullptr) {
        mpAQ->streamingStopped();
    }
}
