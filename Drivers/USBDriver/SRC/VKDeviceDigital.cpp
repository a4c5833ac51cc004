// Settings beside the audio stream: clock source, USB 1 mode, digital output mode and source, the
// AKM digital transmitter's registers and the Wolfson codec registers (vendor request 0x41, the
// device's serial-register request).
#include "VKDevice.h"

#include <IOKit/IOLib.h>

#include "StateChange.h"
#include "VKDeviceOwner.h"
#include "VKIOTrace.h"

namespace {

constexpr uint8_t kSerialRegisterRequest = 0x41;
constexpr int kSerialRegisterRetries = 2;
constexpr uint16_t kWolfsonCodec0Index = 0x0102;
constexpr uint16_t kWolfsonOtherCodecIndex = 0x0106;
constexpr uint16_t kAkmIndex = 0x0101;
constexpr uint8_t kAkmFirstRegister = 0x0D;
constexpr int kAkmRegisters = 5; // 0x0D to 0x11

// S/PDIF: the channel-status rate code in the low nibble of register 0x10.
uint8_t spdifRateCode(int32_t rate)
{
    switch (rate) {
    case 48000: return 0x2;
    case 32000: return 0x3;
    case 88200: return 0x8;
    case 96000: return 0xA;
    case 176400: return 0xC;
    case 192000: return 0xE;
    default: return 0x0; // 44100 and any other rate
    }
}

struct AesRow
{
    int32_t rate;
    uint8_t reg0D;
    uint8_t reg11;
};
constexpr AesRow kAesRows[] = {
    {32000, 0xC1, 0x00}, {44100, 0x41, 0x00}, {48000, 0x81, 0x00}, {88200, 0x01, 0x50},
    {96000, 0x01, 0x10}, {176400, 0x01, 0x58}, {192000, 0x01, 0x18},
};

} // namespace

uint32_t VKDevice::setClockSource(uint32_t source)
{
    VKIOTrace trace("VKDevice::setClockSource", static_cast<int>(source));
    QzAqExtData& aq = *getAqExtData();
    if (source == aq.ClockSource) {
        return source;
    }
    trace.trace("ClockSource changed !");
    aq.ClockSource = source;
    aq.validate();
    if (isCorlanthCompatible()) {
        const bool wasRunning = suspendStreaming();
        updateAqInputSelector(nullptr);
        if (wasRunning) {
            resumeStreaming();
        }
    }
    if (hasTrait(vkdevice::kTraitMBox2Startup)) {
        const bool wasRunning = suspendStreaming();
        initDigiDesignMbox2();
        if (wasRunning) {
            resumeStreaming();
        }
    }
    return aq.ClockSource;
}

uint32_t VKDevice::setUSB1Mode(uint32_t mode)
{
    VKIOTrace trace("VKDevice::setUSB1Mode", static_cast<int>(mode));
    QzAqExtData& aq = *getAqExtData();
    if (mode == aq.USB1Mode) {
        return mode;
    }
    trace.trace("USB1 mode changed !", static_cast<int>(mode));
    aq.USB1Mode = mode;
    if (isCorlanthCompatible() && isUSB2 == 0) {
        trace.trace("usb1 is active -> change mode");
        const bool wasRunning = suspendStreaming();
        updateAqInputSelector(nullptr);
        if (wasRunning) {
            resumeStreaming();
        }
    }
    trace.trace("cAqExt.mUSB1Mode", static_cast<int>(aq.USB1Mode));
    return aq.USB1Mode;
}

uint32_t VKDevice::setDigitalOutMode(uint32_t mode)
{
    VKIOTrace trace("VKDevice::setDigitalOutMode", static_cast<int>(mode));
    QzAqExtData& aq = *getAqExtData();
    if (mode == aq.DigitalOutMode) {
        return mode;
    }
    trace.trace("digital out mode changed");
    aq.DigitalOutMode = mode;
    aq.validate();
    if (isCorlanthCompatible()) {
        if (isMorvaneCompatible()) {
            writeDigitalOutMode();
        } else {
            const bool wasRunning = suspendStreaming();
            writeDigitalOutMode();
            if (wasRunning) {
                resumeStreaming();
            }
        }
    }
    return aq.DigitalOutMode;
}

void VKDevice::setDigitalOutSelector(uint32_t selector)
{
    VKIOTrace trace("VKDevice::setDigitalOutSelector", static_cast<int>(selector));
    QzAqExtData& aq = *getAqExtData();
    if (selector == aq.DigitalOutSelector) {
        return;
    }
    if (hasTrait(vkdevice::kTraitFourDigitalOutSources)) {
        // The bulk output encoder reads the selector at its next choice (bulk streaming).
        if (selector <= 3) {
            aq.DigitalOutSelector = selector;
        }
        return;
    }
    if (selector > 1 || !hasFeature(APISpecificFeatures::kDigitalOutSelector)) {
        return;
    }
    trace.trace("digital out select changed");
    aq.DigitalOutSelector = selector;
    aq.validate();
    if (isCorlanthCompatible()) {
        const bool wasRunning = suspendStreaming();
        writeDigitalOutSelector();
        if (wasRunning) {
            resumeStreaming();
        }
    }
}

void VKDevice::writeDigitalOutMode()
{
    VKIOTrace trace("VKDevice::writeDigitalOutMode", 0);
    const bool qualifies =
        (isListed() && hasFeature(APISpecificFeatures::kDigitalOutMode)) || hasTrait(vkdevice::kTraitAkmTransmitter);
    if (!qualifies) {
        return;
    }
    if (requestsBlockedByStreaming()) {
        trace.trace("****** can't do this while streaming");
        return;
    }
    uint8_t old[kAkmRegisters] = {};
    UInt32 length = sizeof old;
    const IOReturn status =
        mOwner.deviceRequest(kVKDirectionIn, kVKTypeVendor, kVKRecipientDevice, kSerialRegisterRequest,
                             uint16_t{kAkmFirstRegister} << 8, kAkmIndex, old, length, kSerialRegisterRetries);
    if (status != kIOReturnSuccess) {
        IOLog("USB: %s 0x%X\n", "****** reading AKM registers returned status", static_cast<unsigned>(status));
        return;
    }
    IOLog("USB: %s 0x%X 0x%X 0x%X 0x%X 0x%X\n", "AKM TXregs:", old[0], old[1], old[2], old[3], old[4]);
    const int32_t rate = getCurrentSettings()->iFrequency;
    trace.trace("Samplerate is", rate);

    uint8_t next[kAkmRegisters] = {old[0], 0x00, old[2], old[3], old[4]};
    const uint32_t mode = getAqExtData()->DigitalOutMode;
    if (mode == 0) {
        trace.trace("QZE_DigitalOutMode_SPDIF");
        next[0] = 0x04;
        next[2] = 0x00;
        next[4] = 0x0B;
        next[3] = static_cast<uint8_t>((old[3] & 0xF0) | spdifRateCode(rate));
    } else if (mode == 1) {
        trace.trace("QZE_DigitalOutMode_AESEBU");
        next[2] = 0x2C;
        next[3] = 0x00;
        next[4] = 0x00;
        for (const AesRow& row : kAesRows) {
            if (row.rate == rate) {
                next[0] = row.reg0D;
                next[4] = row.reg11;
            }
        }
    } else {
        IOLog("USB: %s\n", "****** unknown digital out mode");
        return;
    }
    IOLog("USB: %s 0x%X 0x%X\n", "akmTX_0D,akmTX_10", next[0], next[3]);
    static const char* const kChanged[kAkmRegisters] = {
        "register 0x0D changed old,new,req", "register 0x0E changed old,new,req",
        "register 0x0F changed old,new,req", "register 0x10 changed old,new,req",
        "register 0x11 changed old,new,req"};
    for (int i = 0; i < kAkmRegisters; ++i) {
        if (next[i] == old[i]) {
            continue;
        }
        const auto reg = static_cast<uint16_t>(kAkmFirstRegister + i);
        const auto wValue = static_cast<uint16_t>(reg << 8 | next[i]);
        trace.trace(kChanged[i], old[i], next[i], wValue);
        UInt32 none = 0;
        mOwner.deviceRequest(kVKDirectionOut, kVKTypeVendor, kVKRecipientDevice, kSerialRegisterRequest, wValue,
                             kAkmIndex, nullptr, none, kSerialRegisterRetries);
    }
}

uint32_t VKDevice::writeWolfsonRegister(uint16_t codec, uint16_t reg, uint16_t value)
{
    VKIOTrace trace("VKDevice::writeWolfsonRegister", 0);
    if (requestsBlockedByStreaming()) {
        IOLog("writeWolfsonRegister: m_bStreamingStarted=%d, m_bStreamingSuspended=%d\n", 1, 0);
        trace.trace("****** can't do this while streaming");
        return kVKRequestRefused;
    }
    // Register and value share wValue (7 + 9 bits): anything wider would write another register.
    if (codec >= kVKWolfsonCodecs || reg >= kVKWolfsonRegisters || value > kVKWolfsonValueMask) {
        return static_cast<uint32_t>(kIOReturnBadArgument);
    }
    const auto wValue = static_cast<uint16_t>(reg * 512 + value);
    const uint16_t wIndex = codec == 0 ? kWolfsonCodec0Index : kWolfsonOtherCodecIndex;
    UInt32 none = 0;
    const IOReturn status = mOwner.deviceRequest(kVKDirectionOut, kVKTypeVendor, kVKRecipientDevice,
                                                 kSerialRegisterRequest, wValue, wIndex, nullptr, none,
                                                 kSerialRegisterRetries);
    const uint32_t second = uint32_t{reg} * 65536 + value;
    IOLog("Notifying Clients for register %d, value %d, codec %d (param2=%08x)\n", reg, value, codec, second);
    mOwner.messageToClients(STC_ChangeWolfson, 0, codec, second);
    return static_cast<uint32_t>(status);
}
