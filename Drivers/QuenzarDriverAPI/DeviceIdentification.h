// How every deliverable recognises a USB device: the (vendor, product, release) triple on which all
// per-model behaviour is keyed, a copy of the standard device descriptor, the bytes a sample of a
// given resolution takes on the bus, and the display names that replace what a device reports.
// Compiled into the kernel extension, both plug-ins and the control application.
//
// Thread safety: plain values and pure functions; any thread, including the real-time one.
#pragma once

#include "APISpecificFeatures.h"
#include "LittleEndian.h"

#include <cstddef>
#include <cstdint>

class USBByteBuffer;

// A release argument that matches every release of a vendor and product.
constexpr uint16_t kAnyRelease = 0xFFFF;

struct VIDPID
{
    VIDPID(uint16_t vendor, uint16_t product, uint16_t release, const APISpecificFeatures* features)
        : mVendor(vendor), mProduct(product), mRelease(release), mFeatures(features)
    {
    }

    // Vendor and product must equal the stored ones; the release too unless it is kAnyRelease.
    bool isDevice(uint16_t vendor, uint16_t product, uint16_t release) const;

    // `answer` when the device has a loaded feature record that marks it a bulk-transfer device,
    // false otherwise; callers pass false to switch the test off.
    bool isQuenzarBulkDevice(bool answer) const;

    uint16_t mVendor;
    uint16_t mProduct;
    uint16_t mRelease;                    // bcdDevice
    const APISpecificFeatures* mFeatures; // not owned; null when the device has none
};

// The standard USB device descriptor without bLength and bDescriptorType, in the descriptor's own
// field order and byte order.
struct QZ_DeviceDescriptor
{
    LE16 bcdUSB;
    uint8_t bDeviceClass;
    uint8_t bDeviceSubClass;
    uint8_t bDeviceProtocol;
    uint8_t bMaxPacketSize0;
    LE16 idVendor;
    LE16 idProduct;
    LE16 bcdDevice;
    uint8_t iManufacturer;
    uint8_t iProduct;
    uint8_t iSerialNumber;
    uint8_t bNumConfigurations;

    // The rule of VIDPID::isDevice, on idVendor, idProduct and bcdDevice.
    bool isDevice(uint16_t vendor, uint16_t product, uint16_t release) const;
    void clear();
    // Kernel only: reads the 18-byte standard device descriptor at the buffer's read position.
    // A short or wrong-typed descriptor leaves the record clear and answers false.
    bool scan(USBByteBuffer& buffer);
};

static_assert(sizeof(QZ_DeviceDescriptor) == 16);
static_assert(offsetof(QZ_DeviceDescriptor, bDeviceClass) == 2);
static_assert(offsetof(QZ_DeviceDescriptor, bDeviceSubClass) == 3);
static_assert(offsetof(QZ_DeviceDescriptor, bDeviceProtocol) == 4);
static_assert(offsetof(QZ_DeviceDescriptor, bMaxPacketSize0) == 5);
static_assert(offsetof(QZ_DeviceDescriptor, idVendor) == 6);
static_assert(offsetof(QZ_DeviceDescriptor, idProduct) == 8);
static_assert(offsetof(QZ_DeviceDescriptor, bcdDevice) == 10);
static_assert(offsetof(QZ_DeviceDescriptor, iManufacturer) == 12);
static_assert(offsetof(QZ_DeviceDescriptor, iProduct) == 13);
static_assert(offsetof(QZ_DeviceDescriptor, iSerialNumber) == 14);
static_assert(offsetof(QZ_DeviceDescriptor, bNumConfigurations) == 15);

// Bytes one sample of the given resolution occupies on the bus: 2 for 16 bits, 3 for 20 and 24,
// 4 for 32, 0 for anything else.
int32_t getBytesFromBits(int32_t bits);
uint8_t VKAudio__bytesFromBits(int32_t bits);

// Size of each of the two name fields of the device shared block.
constexpr size_t kDeviceNameSize = 256;

// Completes or replaces the manufacturer and product names a device reported: empty names get
// "Unknown vendor" and "USB Device", and some models get fixed names. Both buffers are
// kDeviceNameSize bytes and come back NUL-terminated.
void driverOverwriteProductVendorStrings(char* vendor, char* product, uint16_t vendorID, uint16_t productID);
