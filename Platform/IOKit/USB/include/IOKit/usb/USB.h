// Types of the kernel USB family: control requests, completions, the low-latency isochronous
// frame record, interface searches and the standard descriptors as they lie on the wire.
#pragma once

#include <cstddef>

#include "IOKit/IOReturn.h"
#include "IOKit/IOTypes.h"
#include "usbsim/Types.h"

// The bus reports the family's own status values.
static_assert(usbsim::kAborted == kIOReturnAborted);
static_assert(usbsim::kPipeStalled == kIOUSBPipeStalled);
static_assert(usbsim::kTransactionTimeout == kIOUSBTransactionTimeout);
static_assert(usbsim::kNoDevice == kIOReturnNoDevice);
static_assert(usbsim::kUnderrun == kIOReturnUnderrun);
static_assert(usbsim::kDeviceError == kIOReturnDeviceError);
static_assert(usbsim::kNotResponding == kIOReturnNotResponding);

constexpr IOReturn kIOReturnIsoTooOld = usbsim::kIsoTooOld;
constexpr IOReturn kIOReturnIsoTooNew = usbsim::kIsoTooNew;
constexpr IOReturn kIOReturnNoBandwidth = usbsim::kNoBandwidth;

// Directions, transfer types and speeds as the family numbers them.
constexpr UInt8 kUSBOut = 0;
constexpr UInt8 kUSBIn = 1;
constexpr UInt8 kUSBNone = 2;
constexpr UInt8 kUSBAnyDirn = 3;

constexpr UInt8 kUSBControl = 0;
constexpr UInt8 kUSBIsoc = 1;
constexpr UInt8 kUSBBulk = 2;
constexpr UInt8 kUSBInterrupt = 3;

constexpr UInt8 kUSBDeviceSpeedLow = 0;
constexpr UInt8 kUSBDeviceSpeedFull = 1;
constexpr UInt8 kUSBDeviceSpeedHigh = 2;
constexpr UInt8 kUSBDeviceSpeedSuper = 3;

constexpr UInt8 kUSBHubClass = 9;
constexpr UInt16 kIOUSBFindInterfaceDontCare = 0xFFFF;
// IOUSBInterface::open: select the alternate setting given as the argument.
constexpr IOOptionBits kIOUSBInterfaceOpenAlt = 0x00010000;
// Time-outs of the synchronous requests without explicit ones, in ms.
constexpr UInt32 kUSBDefaultControlNoDataTimeoutMS = 5000;
constexpr UInt32 kUSBDefaultControlCompletionTimeoutMS = 0;

// A control request; wLenDone receives the bytes of the data stage.
struct IOUSBDevRequest
{
    UInt8 bmRequestType;
    UInt8 bRequest;
    UInt16 wValue;
    UInt16 wIndex;
    UInt16 wLength;
    void* pData;
    UInt32 wLenDone;
};

// The same with time-outs in ms (0: none for completion, the default for no data).
struct IOUSBDevRequestTO
{
    UInt8 bmRequestType;
    UInt8 bRequest;
    UInt16 wValue;
    UInt16 wIndex;
    UInt16 wLength;
    void* pData;
    UInt32 wLenDone;
    UInt32 noDataTimeout;
    UInt32 completionTimeout;
};

// Bulk and interrupt completion: action(target, parameter, status, bytes not transferred).
typedef void (*IOUSBCompletionAction)(void* target, void* parameter, IOReturn status,
                                      UInt32 bufferSizeRemaining);
struct IOUSBCompletion
{
    void* target;
    IOUSBCompletionAction action;
    void* parameter;
};

// One record of a low-latency isochronous frame list: status, requested and actual bytes, and the
// host time of the (micro)frame that carried it.
using IOUSBLowLatencyIsocFrame = usbsim::IsocFrame;
typedef void (*IOUSBLowLatencyIsocCompletionAction)(void* target, void* parameter, IOReturn status,
                                                    IOUSBLowLatencyIsocFrame* pFrames);
struct IOUSBLowLatencyIsocCompletion
{
    void* target;
    IOUSBLowLatencyIsocCompletionAction action;
    void* parameter;
};

// What FindNextInterface looks for; kIOUSBFindInterfaceDontCare matches anything.
struct IOUSBFindInterfaceRequest
{
    UInt16 bInterfaceClass;
    UInt16 bInterfaceSubClass;
    UInt16 bInterfaceProtocol;
    UInt16 bAlternateSetting;
};

// Standard descriptors, little-endian fields as on the wire.
#pragma pack(push, 1)
struct IOUSBDeviceDescriptor
{
    UInt8 bLength;
    UInt8 bDescriptorType;
    UInt16 bcdUSB;
    UInt8 bDeviceClass;
    UInt8 bDeviceSubClass;
    UInt8 bDeviceProtocol;
    UInt8 bMaxPacketSize0;
    UInt16 idVendor;
    UInt16 idProduct;
    UInt16 bcdDevice;
    UInt8 iManufacturer;
    UInt8 iProduct;
    UInt8 iSerialNumber;
    UInt8 bNumConfigurations;
};
struct IOUSBConfigurationDescriptor
{
    UInt8 bLength;
    UInt8 bDescriptorType;
    UInt16 wTotalLength;
    UInt8 bNumInterfaces;
    UInt8 bConfigurationValue;
    UInt8 iConfiguration;
    UInt8 bmAttributes;
    UInt8 MaxPower;
};
struct IOUSBInterfaceDescriptor
{
    UInt8 bLength;
    UInt8 bDescriptorType;
    UInt8 bInterfaceNumber;
    UInt8 bAlternateSetting;
    UInt8 bNumEndpoints;
    UInt8 bInterfaceClass;
    UInt8 bInterfaceSubClass;
    UInt8 bInterfaceProtocol;
    UInt8 iInterface;
};
struct IOUSBEndpointDescriptor
{
    UInt8 bLength;
    UInt8 bDescriptorType;
    UInt8 bEndpointAddress;
    UInt8 bmAttributes;
    UInt16 wMaxPacketSize;
    UInt8 bInterval;
};
#pragma pack(pop)
static_assert(sizeof(IOUSBDeviceDescriptor) == 18);
static_assert(sizeof(IOUSBConfigurationDescriptor) == 9);
static_assert(sizeof(IOUSBInterfaceDescriptor) == 9);
static_assert(sizeof(IOUSBEndpointDescriptor) == 7);
static_assert(offsetof(IOUSBDeviceDescriptor, idVendor) == 8);
static_assert(offsetof(IOUSBDeviceDescriptor, bNumConfigurations) == 17);
