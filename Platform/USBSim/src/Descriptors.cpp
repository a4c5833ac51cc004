#include "usbsim/Descriptors.h"

#include <algorithm>

namespace usbsim {
namespace {

uint16_t le16(std::span<const uint8_t> bytes, size_t offset)
{
    return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

} // namespace

std::optional<DeviceDescriptor> DeviceDescriptor::parse(std::span<const uint8_t> bytes)
{
    if (bytes.size() < kDeviceDescriptorLength || bytes[0] < kDeviceDescriptorLength ||
        bytes[1] != kDescriptorDevice) {
        return std::nullopt;
    }
    DeviceDescriptor d;
    d.bcdUSB = le16(bytes, 2);
    d.bDeviceClass = bytes[4];
    d.bDeviceSubClass = bytes[5];
    d.bDeviceProtocol = bytes[6];
    d.bMaxPacketSize0 = bytes[7];
    d.idVendor = le16(bytes, 8);
    d.idProduct = le16(bytes, 10);
    d.bcdDevice = le16(bytes, 12);
    d.iManufacturer = bytes[14];
    d.iProduct = bytes[15];
    d.iSerialNumber = bytes[16];
    d.bNumConfigurations = bytes[17];
    return d;
}

uint32_t EndpointLayout::transactionsPerMicroframe() const
{
    return std::min<uint32_t>(((wMaxPacketSize >> 11) & 0x3) + 1, 3);
}

uint32_t EndpointLayout::servicePeriod(Speed speed) const
{
    const uint32_t interval = std::max<uint32_t>(bInterval, 1);
    if (speed == Speed::high || speed == Speed::super) {
        return 1u << std::min<uint32_t>(interval - 1, 15);
    }
    if (type() == TransferType::isochronous) {
        return kMicroframesPerFrame << std::min<uint32_t>(interval - 1, 15);
    }
    return kMicroframesPerFrame * interval; // full-speed interrupt: bInterval frames
}

const AlternateLayout* InterfaceLayout::alternate(uint8_t setting) const
{
    for (const auto& alt : alternates) {
        if (alt.bAlternateSetting == setting) {
            return &alt;
        }
    }
    return nullptr;
}

const InterfaceLayout* ConfigurationLayout::interface(uint8_t number) const
{
    for (const auto& intf : interfaces) {
        if (intf.number == number) {
            return &intf;
        }
    }
    return nullptr;
}

std::optional<ConfigurationLayout> ConfigurationLayout::parse(std::span<const uint8_t> bytes)
{
    if (bytes.size() < kConfigurationHeaderLength || bytes[0] < kConfigurationHeaderLength ||
        bytes[1] != kDescriptorConfiguration) {
        return std::nullopt;
    }
    ConfigurationLayout layout;
    layout.bConfigurationValue = bytes[5];
    layout.bmAttributes = bytes[7];
    layout.bMaxPower = bytes[8];
    const size_t end = std::min<size_t>(bytes.size(), le16(bytes, 2));

    AlternateLayout* current = nullptr;
    size_t offset = bytes[0];
    while (offset + 2 <= end) {
        const uint8_t length = bytes[offset];
        const uint8_t type = bytes[offset + 1];
        if (length < 2 || offset + length > end) {
            break;
        }
        const auto d = bytes.subspan(offset, length);
        if (type == kDescriptorInterface && length >= 9) {
            const uint8_t number = d[2];
            auto it = std::find_if(layout.interfaces.begin(), layout.interfaces.end(),
                                   [&](const InterfaceLayout& i) { return i.number == number; });
            if (it == layout.interfaces.end()) {
                layout.interfaces.push_back(InterfaceLayout{number, {}});
                it = layout.interfaces.end() - 1;
            }
            AlternateLayout alt;
            alt.bInterfaceNumber = number;
            alt.bAlternateSetting = d[3];
            alt.bInterfaceClass = d[5];
            alt.bInterfaceSubClass = d[6];
            alt.bInterfaceProtocol = d[7];
            it->alternates.push_back(std::move(alt));
            current = &it->alternates.back();
        } else if (type == kDescriptorEndpoint && length >= 7 && current != nullptr) {
            EndpointLayout ep;
            ep.bEndpointAddress = d[2];
            ep.bmAttributes = d[3];
            ep.wMaxPacketSize = le16(d, 4);
            ep.bInterval = d[6];
            current->endpoints.push_back(ep);
        }
        offset += length;
    }
    return layout;
}

namespace descriptor_bytes {

void finishConfiguration(std::vector<uint8_t>& bytes)
{
    if (bytes.size() >= 4) {
        bytes[2] = lo(static_cast<uint32_t>(bytes.size()));
        bytes[3] = hi(static_cast<uint32_t>(bytes.size()));
    }
}

std::vector<uint8_t> stringDescriptor(const std::string& text)
{
    const size_t count = std::min<size_t>(text.size(), 126);
    std::vector<uint8_t> bytes;
    bytes.reserve(2 + count * 2);
    bytes.push_back(static_cast<uint8_t>(2 + count * 2));
    bytes.push_back(kDescriptorString);
    for (size_t i = 0; i < count; ++i) {
        bytes.push_back(static_cast<uint8_t>(text[i]));
        bytes.push_back(0);
    }
    return bytes;
}

} // namespace descriptor_bytes
} // namespace usbsim
