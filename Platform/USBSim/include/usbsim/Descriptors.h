// Standard USB descriptors as the simulated bus needs them: a bounded walker over configuration
// bytes, the interface/alternate/endpoint layout the bus builds pipes from, and small helpers for
// writing annotated descriptor bytes in device models.
//
// The walker never trusts the bytes: a model may carry malformed descriptors on purpose (to test
// the driver), and the bus must still attach it without reading past the end.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "usbsim/Types.h"

namespace usbsim {

inline constexpr uint8_t kDescriptorDevice = 1;
inline constexpr uint8_t kDescriptorConfiguration = 2;
inline constexpr uint8_t kDescriptorString = 3;
inline constexpr uint8_t kDescriptorInterface = 4;
inline constexpr uint8_t kDescriptorEndpoint = 5;
inline constexpr uint8_t kDescriptorClassInterface = 0x24;
inline constexpr uint8_t kDescriptorClassEndpoint = 0x25;

inline constexpr size_t kDeviceDescriptorLength = 18;
inline constexpr size_t kConfigurationHeaderLength = 9;

// Fields of the 18-byte device descriptor, decoded little-endian.
struct DeviceDescriptor
{
    uint16_t bcdUSB = 0;
    uint8_t bDeviceClass = 0;
    uint8_t bDeviceSubClass = 0;
    uint8_t bDeviceProtocol = 0;
    uint8_t bMaxPacketSize0 = 0;
    uint16_t idVendor = 0;
    uint16_t idProduct = 0;
    uint16_t bcdDevice = 0;
    uint8_t iManufacturer = 0;
    uint8_t iProduct = 0;
    uint8_t iSerialNumber = 0;
    uint8_t bNumConfigurations = 0;

    // Decodes the first 18 bytes; nullopt when shorter or when bLength/bDescriptorType are wrong.
    static std::optional<DeviceDescriptor> parse(std::span<const uint8_t> bytes);
};

struct EndpointLayout
{
    uint8_t bEndpointAddress = 0;
    uint8_t bmAttributes = 0;
    uint16_t wMaxPacketSize = 0; // raw: bits 11-12 carry the extra transactions per microframe
    uint8_t bInterval = 0;

    Direction direction() const { return (bEndpointAddress & 0x80) != 0 ? Direction::in : Direction::out; }
    uint8_t number() const { return bEndpointAddress & 0x0F; }
    TransferType type() const { return static_cast<TransferType>(bmAttributes & 0x03); }
    uint16_t packetSize() const { return wMaxPacketSize & 0x7FF; }
    uint32_t transactionsPerMicroframe() const;
    // Microframes between two services of a periodic endpoint on a device of this speed.
    uint32_t servicePeriod(Speed speed) const;
};

struct AlternateLayout
{
    uint8_t bInterfaceNumber = 0;
    uint8_t bAlternateSetting = 0;
    uint8_t bInterfaceClass = 0;
    uint8_t bInterfaceSubClass = 0;
    uint8_t bInterfaceProtocol = 0;
    std::vector<EndpointLayout> endpoints;
};

struct InterfaceLayout
{
    uint8_t number = 0;
    std::vector<AlternateLayout> alternates; // in descriptor order

    const AlternateLayout* alternate(uint8_t setting) const;
};

struct ConfigurationLayout
{
    uint8_t bConfigurationValue = 0;
    uint8_t bmAttributes = 0;
    uint8_t bMaxPower = 0;
    std::vector<InterfaceLayout> interfaces; // in order of first appearance

    const InterfaceLayout* interface(uint8_t number) const;

    // Walks the bytes within min(size, wTotalLength). A descriptor with bLength below 2 or past the
    // end ends the walk; endpoints outside an interface and short interface/endpoint descriptors
    // are skipped. Nullopt only when there is no valid 9-byte configuration header.
    static std::optional<ConfigurationLayout> parse(std::span<const uint8_t> bytes);
};

// Helpers for writing annotated descriptor bytes in models.
namespace descriptor_bytes {

inline constexpr uint8_t lo(uint32_t value)
{
    return static_cast<uint8_t>(value & 0xFF);
}
inline constexpr uint8_t hi(uint32_t value)
{
    return static_cast<uint8_t>((value >> 8) & 0xFF);
}
inline constexpr uint8_t b3(uint32_t value)
{
    return static_cast<uint8_t>((value >> 16) & 0xFF);
}

// Sets wTotalLength of the configuration header at the start of `bytes` to bytes.size().
void finishConfiguration(std::vector<uint8_t>& bytes);

// A string descriptor (UTF-16LE of an ASCII/UTF-8 text, at most 126 characters).
std::vector<uint8_t> stringDescriptor(const std::string& text);

} // namespace descriptor_bytes

} // namespace usbsim
