// The system's power root domain. Drivers register as interested drivers (registerInterestedDriver)
// and are told of system power changes through powerStateWillChangeTo/DidChangeTo; general-interest
// listeners of the root domain get the system sleep and wake messages.
//
// The kernel host (or a test) changes the state: systemSleep() and systemWake() send the flags
// and states of a real sleep and wake; changePowerState() sends any pair.
#pragma once

#include "IOKit/IOService.h"

// Capability flags of a power state.
constexpr IOPMPowerFlags kIOPMPowerOn = 0x00000002;
constexpr IOPMPowerFlags kIOPMSleepCapability = 0x00000004;
constexpr IOPMPowerFlags kIOPMRestartCapability = 0x00000080;
constexpr IOPMPowerFlags kIOPMDeviceUsable = 0x00008000;
// Return value of the power callbacks: the change may go ahead at once.
constexpr IOReturn kIOPMAckImplied = 0;

class IOPMrootDomain : public IOService
{
    OSDeclareDefaultStructors(IOPMrootDomain);

public:
    // Root domain power states.
    static constexpr unsigned long kStateOff = 0;
    static constexpr unsigned long kStateRestart = 1;
    static constexpr unsigned long kStateSleep = 2;
    static constexpr unsigned long kStateOn = 3;

    // Calls the interested drivers on the calling thread, will-change first for all of them,
    // then did-change.
    void changePowerState(IOPMPowerFlags flags, unsigned long stateNumber);
    // kIOMessageSystemWillSleep to the listeners, then state kStateSleep with kIOPMSleepCapability.
    void systemSleep();
    // State kStateOn with kIOPMPowerOn | kIOPMDeviceUsable | kIOPMRestartCapability, then
    // kIOMessageSystemHasPoweredOn to the listeners.
    void systemWake();
};
