// The host controller of the simulated bus as the kernel sees it: the frame number and the free
// periodic bandwidth. Its devices are its clients in the service plane.
#pragma once

#include "IOKit/IOService.h"
#include "IOKit/usb/USB.h"

namespace usbsim {
class Bus;
}

class IOUSBController : public IOService
{
    OSDeclareDefaultStructors(IOUSBController)

        public : static IOUSBController* withBus(usbsim::Bus& bus);

    // The current 1 ms frame number; all ones when it cannot be read.
    UInt64 GetFrameNumber();
    // Free high-speed periodic bandwidth, bytes per microframe.
    UInt32 GetBandwidthAvailable();

    usbsim::Bus* bus() const { return m_bus; }

private:
    usbsim::Bus* m_bus = nullptr;
};
