// Message types delivered through IOService::message and general-interest notifications.
#pragma once

#include "libkern/OSTypes.h"

constexpr UInt32 iokitCommonMessage(UInt32 code)
{
    return 0xE0000000u | code;
}

constexpr UInt32 kIOMessageServiceIsTerminated = iokitCommonMessage(0x010);
constexpr UInt32 kIOMessageServiceIsSuspended = iokitCommonMessage(0x020);
constexpr UInt32 kIOMessageServiceIsResumed = iokitCommonMessage(0x030);
constexpr UInt32 kIOMessageServiceIsRequestingClose = iokitCommonMessage(0x100);
constexpr UInt32 kIOMessageServiceIsAttemptingOpen = iokitCommonMessage(0x101);
constexpr UInt32 kIOMessageServiceWasClosed = iokitCommonMessage(0x110);
constexpr UInt32 kIOMessageServiceBusyStateChange = iokitCommonMessage(0x120);
constexpr UInt32 kIOMessageServicePropertyChange = iokitCommonMessage(0x130);
constexpr UInt32 kIOMessageCanSystemSleep = iokitCommonMessage(0x270);
constexpr UInt32 kIOMessageSystemWillSleep = iokitCommonMessage(0x280);
constexpr UInt32 kIOMessageSystemWillNotSleep = iokitCommonMessage(0x290);
constexpr UInt32 kIOMessageSystemHasPoweredOn = iokitCommonMessage(0x300);
constexpr UInt32 kIOMessageSystemWillPowerOn = iokitCommonMessage(0x320);
