// IOKit status codes. A status is a 32-bit value: system 0x38 (iokit) in the top bits, a
// sub-system, and a code; kIOReturnSuccess is 0.
#pragma once

#include <mach/kern_return.h>

typedef kern_return_t IOReturn;

constexpr IOReturn iokitCommonError(unsigned code)
{
    return static_cast<IOReturn>(0xE0000000u | code);
}
constexpr IOReturn iokitUSBError(unsigned code)
{
    return static_cast<IOReturn>(0xE0004000u | code);
}

constexpr IOReturn kIOReturnSuccess = 0;
constexpr IOReturn kIOReturnInvalid = iokitCommonError(0x001);
constexpr IOReturn kIOReturnError = iokitCommonError(0x2BC);
constexpr IOReturn kIOReturnNoMemory = iokitCommonError(0x2BD);
constexpr IOReturn kIOReturnNoResources = iokitCommonError(0x2BE);
constexpr IOReturn kIOReturnIPCError = iokitCommonError(0x2BF);
constexpr IOReturn kIOReturnNoDevice = iokitCommonError(0x2C0);
constexpr IOReturn kIOReturnNotPrivileged = iokitCommonError(0x2C1);
constexpr IOReturn kIOReturnBadArgument = iokitCommonError(0x2C2);
constexpr IOReturn kIOReturnExclusiveAccess = iokitCommonError(0x2C5);
constexpr IOReturn kIOReturnUnsupported = iokitCommonError(0x2C7);
constexpr IOReturn kIOReturnInternalError = iokitCommonError(0x2C9);
constexpr IOReturn kIOReturnIOError = iokitCommonError(0x2CA);
constexpr IOReturn kIOReturnNotOpen = iokitCommonError(0x2CD);
constexpr IOReturn kIOReturnStillOpen = iokitCommonError(0x2D2);
constexpr IOReturn kIOReturnBusy = iokitCommonError(0x2D5);
constexpr IOReturn kIOReturnTimeout = iokitCommonError(0x2D6);
constexpr IOReturn kIOReturnNotReady = iokitCommonError(0x2D8);
constexpr IOReturn kIOReturnNotAttached = iokitCommonError(0x2D9);
constexpr IOReturn kIOReturnNotPermitted = iokitCommonError(0x2E2);
constexpr IOReturn kIOReturnUnderrun = iokitCommonError(0x2E7);
constexpr IOReturn kIOReturnOverrun = iokitCommonError(0x2E8);
constexpr IOReturn kIOReturnDeviceError = iokitCommonError(0x2E9);
constexpr IOReturn kIOReturnAborted = iokitCommonError(0x2EB);
constexpr IOReturn kIOReturnNotResponding = iokitCommonError(0x2ED);
constexpr IOReturn kIOReturnNotFound = iokitCommonError(0x2F0);

// USB family statuses the driver sees from pipes and control requests.
constexpr IOReturn kIOUSBPipeStalled = iokitUSBError(0x4F);
constexpr IOReturn kIOUSBTransactionTimeout = iokitUSBError(0x51);
