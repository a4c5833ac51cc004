// Audio class-specific interface descriptors (kept raw) and the HID descriptor.
#include <algorithm>
#include <cstring>

#include "DeviceModels.h"
#include "IOKit/IOLib.h"
#include "VKIOTrace.h"
#include "VKUSBDescriptors.h"

namespace {

// FORMAT_TYPE (subtype 2) of format type I, read as one little-endian value of bytes 2-3.
constexpr uint16_t kFormatTypeI = 0x0102;
// Head of a format-type-I descriptor up to bSamFreqType; rates follow, three bytes each.
constexpr uint32_t kFormatHeadSize = 8;
// A continuous range: lower and upper rate after the head.
constexpr uint32_t kContinuousSize = kFormatHeadSize + 6;

// Copies the class-specific descriptor at the read position into `area` (at most `areaSize`
// bytes, and no more than the descriptor's length and the bytes received) and moves past the
// whole descriptor. The bytes copied, or -1 for a wrong type.
int32_t copyClassSpecific(USBByteBuffer& buffer, uint8_t* area, uint32_t areaSize, const char* wrongType)
{
    const uint8_t length = buffer.peek(0);
    const uint8_t type = buffer.peek(1);
    if (type != usb_descriptor::kClassInterface || length < 2) {
        IOLog("USB: %s 0x%X\n", wrongType, type);
        return -1;
    }
    const uint32_t copied = std::min({uint32_t{length}, areaSize, buffer.getRemaining()});
    buffer.read(area, copied);
    buffer.forward(length - copied);
    return static_cast<int32_t>(copied);
}

// Rates that replace a model's own list in the device description.
struct FixedRates
{
    DeviceModel model;
    const char* log;
    uint8_t count;
    uint32_t rates[3];
};
constexpr FixedRates kFixedRates[] = {
    {kModelUSBPre, "THIS IS AN USBPRE", 3, {32000, 44100, 48000}},
    {kModelMBox, "THIS IS AN MBOX", 2, {44100, 48000, 0}},
    {kModelMBox2, "THIS IS AN MBOX 2", 2, {44100, 48000, 0}},
};
static_assert(modelsRegistered(kFixedRates));

} // namespace

// --- VKInterfaceDescriptorSpecificAS

bool VKInterfaceDescriptorSpecificAS::scan(USBByteBuffer& buffer)
{
    std::memset(m_raw, 0, sizeof m_raw);
    m_uReceived = 0;
    const int32_t copied = copyClassSpecific(buffer, m_raw, kSize, "ERROR Wrong descriptor type ");
    if (copied < 0) {
        return false;
    }
    m_uReceived = static_cast<uint32_t>(copied);
    return true;
}

uint32_t VKInterfaceDescriptorSpecificAS::getLength() const
{
    return std::min(uint32_t{m_raw[0]}, m_uReceived);
}

bool VKInterfaceDescriptorSpecificAS::isFormatType() const
{
    const auto subtypeAndFormat = static_cast<uint16_t>(m_raw[2] | (m_raw[3] << 8));
    return subtypeAndFormat == kFormatTypeI && getLength() >= kFormatHeadSize;
}

uint8_t VKInterfaceDescriptorSpecificAS::getNumChannels() const
{
    return isFormatType() ? m_raw[4] : 0;
}

uint8_t VKInterfaceDescriptorSpecificAS::getSubframeSize() const
{
    return isFormatType() ? m_raw[5] : 0;
}

uint8_t VKInterfaceDescriptorSpecificAS::getBitResolution() const
{
    return isFormatType() ? m_raw[6] : 0;
}

bool VKInterfaceDescriptorSpecificAS::isContinousFrequency() const
{
    return isFormatType() && m_raw[7] == 0;
}

uint8_t VKInterfaceDescriptorSpecificAS::getCountFrequencies() const
{
    if (!isFormatType()) {
        return 0;
    }
    // bSamFreqType may claim more rates than the descriptor holds.
    const uint32_t present = (getLength() - kFormatHeadSize) / 3;
    return static_cast<uint8_t>(std::min(uint32_t{m_raw[7]}, present));
}

uint32_t VKInterfaceDescriptorSpecificAS::get24(uint32_t offset) const
{
    if (offset + 3 > getLength()) {
        return 0;
    }
    return m_raw[offset] | (m_raw[offset + 1] << 8) | (m_raw[offset + 2] << 16);
}

uint32_t VKInterfaceDescriptorSpecificAS::getLowerFrequency() const
{
    return isContinousFrequency() && getLength() >= kContinuousSize ? get24(kFormatHeadSize) : 0;
}

uint32_t VKInterfaceDescriptorSpecificAS::getUpperFrequency() const
{
    return isContinousFrequency() && getLength() >= kContinuousSize ? get24(kFormatHeadSize + 3) : 0;
}

uint32_t VKInterfaceDescriptorSpecificAS::getFrequency(int32_t i) const
{
    if (i < 0 || i >= getCountFrequencies()) {
        return 0;
    }
    return get24(kFormatHeadSize + 3 * static_cast<uint32_t>(i));
}

void VKInterfaceDescriptorSpecificAS::clearFrequency(int32_t i)
{
    if (i < 0 || i >= getCountFrequencies()) {
        return;
    }
    // Later rates move up and the count drops, so a removed rate never reads as a 0 Hz rate.
    const uint8_t count = getCountFrequencies();
    const uint32_t length = getLength();
    const uint32_t at = kFormatHeadSize + 3 * static_cast<uint32_t>(i);
    std::memmove(m_raw + at, m_raw + at + 3, length - at - 3);
    std::memset(m_raw + length - 3, 0, 3);
    m_raw[0] = static_cast<uint8_t>(length - 3);
    m_uReceived = length - 3;
    m_raw[7] = static_cast<uint8_t>(count - 1);
}

void VKInterfaceDescriptorSpecificAS::setNumChannels(uint8_t channels)
{
    if (isFormatType()) {
        m_raw[4] = channels;
    }
}

void VKInterfaceDescriptorSpecificAS::genInit(uint8_t channels, uint8_t resolution)
{
    std::memset(m_raw, 0, sizeof m_raw);
    uint8_t subframe = 0;
    if (resolution <= 8) {
        subframe = 1;
    } else if (resolution <= 16) {
        subframe = 2;
    } else if (resolution <= 24) {
        subframe = 3;
    } else if (resolution <= 32) {
        subframe = 4;
    }
    const uint8_t head[kFormatHeadSize] = {kFormatHeadSize, usb_descriptor::kClassInterface, 2, 1,
                                           channels,        subframe,
                                           resolution,      0};
    std::memcpy(m_raw, head, sizeof head);
    m_uReceived = kFormatHeadSize;
}

bool VKInterfaceDescriptorSpecificAS::genAddSR(uint32_t frequency)
{
    const uint32_t length = getLength();
    // The length byte and the 256-byte area bound the list.
    if (length < kFormatHeadSize || length + 3 > 255 || length + 3 > kSize || m_raw[7] == 255) {
        return false;
    }
    m_raw[length] = static_cast<uint8_t>(frequency);
    m_raw[length + 1] = static_cast<uint8_t>(frequency >> 8);
    m_raw[length + 2] = static_cast<uint8_t>(frequency >> 16);
    m_raw[0] = static_cast<uint8_t>(length + 3);
    m_uReceived = length + 3;
    ++m_raw[7];
    return true;
}

void VKInterfaceDescriptorSpecificAS::genAddSRBitmap(uint32_t bits)
{
    static constexpr uint32_t kRates[] = {32000, 44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000};
    for (uint32_t bit = 0; bit < std::size(kRates); ++bit) {
        if ((bits & (1u << bit)) != 0) {
            genAddSR(kRates[bit]);
        }
    }
}

void VKInterfaceDescriptorSpecificAS::getAPIStreamingInfo(APIStreamingInfo& info, const VIDPID& device) const
{
    if (!isFormatType()) {
        info.bBitResolution = 0;
        info.bNrChannels = 0;
        info.mContinuous = 0;
        info.mNumFrequencies = 0;
        return;
    }
    info.bBitResolution = getBitResolution();
    info.bNrChannels = getNumChannels();
    const bool continuous = isContinousFrequency();
    info.mContinuous = continuous ? 1 : 0;
    info.mNumFrequencies = 0;
    info.mLowerFrequency = continuous ? getLowerFrequency() : 0;
    info.mUpperFrequency = getUpperFrequency();
    for (const FixedRates& fixed : kFixedRates) {
        if (fixed.model.is(device.mVendor, device.mProduct)) {
            IOLog("USB: %s\n", fixed.log);
            info.mNumFrequencies = fixed.count;
            for (uint8_t i = 0; i < fixed.count; ++i) {
                info.mFrequencies[i] = fixed.rates[i];
            }
            return;
        }
    }
    if (!continuous) {
        const uint8_t count = std::min<uint8_t>(getCountFrequencies(), APIStreamingInfo::kMaxFrequencies);
        info.mNumFrequencies = count;
        for (uint8_t i = 0; i < count; ++i) {
            info.mFrequencies[i] = getFrequency(i);
        }
    }
}

// --- VKInterfaceDescriptorSpecificAC

bool VKInterfaceDescriptorSpecificAC::scan(USBByteBuffer& buffer)
{
    std::memset(m_raw, 0, sizeof m_raw);
    m_uReceived = 0;
    const int32_t copied =
        copyClassSpecific(buffer, m_raw, kSize, "ERROR Wrong descriptor type VKInterfaceDescriptorSpecificAC::scan");
    if (copied < 0) {
        return false;
    }
    m_uReceived = static_cast<uint32_t>(copied);
    return true;
}

// --- VKHIDDescriptor

bool VKHIDDescriptor::scan(USBByteBuffer& buffer)
{
    IOLog("USB: %s\n", "VKHIDDescriptor");
    const uint8_t length = buffer.peek(0);
    const uint8_t type = buffer.peek(1);
    if (length <= 8 || buffer.getRemaining() < 9) {
        IOLog("USB: %s 0x%X\n", "ERROR Buffer to small. Requested 0x09, Size is", length);
        return false;
    }
    if (type != usb_descriptor::kHID) {
        IOLog("USB: %s 0x%X\n", "ERROR Wrong descriptor type ", type);
        return false;
    }
    uint8_t skip = 0;
    buffer >> skip >> skip >> m_uBcdHID >> m_uCountryCode >> m_uNumDescriptors >> m_uDescriptorType >>
        m_uDescriptorLength;
    buffer.forward(length - 9u);
    return true;
}
