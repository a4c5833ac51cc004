#include "IOKit/usb/IOUSBController.h"

#include "usbsim/Bus.h"

OSDefineMetaClassAndStructors(IOUSBController, IOService)

    IOUSBController* IOUSBController::withBus(usbsim::Bus& bus)
{
    auto* self = new IOUSBController;
    if (!self->init(nullptr)) {
        self->release();
        return nullptr;
    }
    self->m_bus = &bus;
    self->setName("IOUSBController");
    return self;
}

UInt64 IOUSBController::GetFrameNumber()
{
    return m_bus->frameNumber();
}

UInt32 IOUSBController::GetBandwidthAvailable()
{
    return m_bus->bandwidthAvailable(usbsim::Speed::high);
}
