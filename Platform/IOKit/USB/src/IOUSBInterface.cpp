#include "IOKit/usb/IOUSBInterface.h"

#include "IOKit/usb/IOUSBDevice.h"
#include "IOKit/usb/IOUSBPipe.h"
#include "usbsim/Bus.h"

OSDefineMetaClassAndStructors(IOUSBInterface, IOService)

    IOUSBInterface* IOUSBInterface::withLayout(IOUSBDevice* device, const usbsim::InterfaceLayout& layout)
{
    if (device == nullptr || layout.alternates.empty()) {
        return nullptr;
    }
    auto* self = new IOUSBInterface;
    if (!self->init(nullptr)) {
        self->release();
        return nullptr;
    }
    self->m_device = device;
    self->m_layout = layout;
    self->setName("IOUSBInterface");
    self->setProperty("bInterfaceNumber", layout.number, 8);
    const auto& first = layout.alternates.front();
    self->setProperty("bInterfaceClass", first.bInterfaceClass, 8);
    self->setProperty("bInterfaceSubClass", first.bInterfaceSubClass, 8);
    self->setProperty("bInterfaceProtocol", first.bInterfaceProtocol, 8);
    std::lock_guard lock(self->m_mutex);
    self->openPipesLocked();
    return self;
}

void IOUSBInterface::free()
{
    {
        std::lock_guard lock(m_mutex);
        releasePipesLocked();
    }
    IOService::free();
}

void IOUSBInterface::detachFromDevice()
{
    // The pipe objects stay until the interface goes: a driver that holds the interface may be
    // looking at them (GetPipeObj hands them out unretained). Their transfers fail from now on,
    // the device being gone.
    std::lock_guard lock(m_mutex);
    m_device = nullptr;
}

IOUSBDevice* IOUSBInterface::GetDevice() const
{
    std::lock_guard lock(m_mutex);
    return m_device;
}

const usbsim::AlternateLayout* IOUSBInterface::currentLocked() const
{
    const auto* alt = m_layout.alternate(m_alternate);
    return alt != nullptr ? alt : &m_layout.alternates.front();
}

void IOUSBInterface::openPipesLocked()
{
    releasePipesLocked();
    const auto device = m_device != nullptr ? m_device->simulatedDevice() : nullptr;
    if (!device) {
        return;
    }
    for (const auto& ep : currentLocked()->endpoints) {
        m_pipes.push_back(IOUSBPipe::withPipe(device->pipe(ep.bEndpointAddress)));
    }
}

void IOUSBInterface::releasePipesLocked()
{
    for (auto* pipe : m_pipes) {
        OSSafeReleaseNULL(pipe);
    }
    m_pipes.clear();
}

bool IOUSBInterface::open(IOService* forClient, IOOptionBits options, void* arg)
{
    if (!IOService::open(forClient, options & ~kIOUSBInterfaceOpenAlt, arg)) {
        return false;
    }
    if ((options & kIOUSBInterfaceOpenAlt) != 0) {
        const auto alternate = static_cast<UInt16>(reinterpret_cast<uintptr_t>(arg));
        if (SetAlternateInterface(forClient, alternate) != kIOReturnSuccess) {
            IOService::close(forClient);
            return false;
        }
    }
    return true;
}

IOReturn IOUSBInterface::SetAlternateInterface(IOService* forClient, UInt16 alternateSetting)
{
    if (!isOpen(forClient)) {
        return kIOReturnNotOpen;
    }
    std::lock_guard lock(m_mutex);
    if (m_device == nullptr) {
        return kIOReturnNoDevice;
    }
    if (alternateSetting > 0xFF || m_layout.alternate(static_cast<UInt8>(alternateSetting)) == nullptr) {
        return kIOReturnBadArgument;
    }
    const auto device = m_device->simulatedDevice();
    const IOReturn status =
        device ? device->setAlternate(m_layout.number, static_cast<uint8_t>(alternateSetting))
               : kIOReturnNoDevice;
    if (status == kIOReturnSuccess) {
        m_alternate = static_cast<UInt8>(alternateSetting);
        openPipesLocked();
    }
    return status;
}

UInt8 IOUSBInterface::GetAlternateSetting() const
{
    std::lock_guard lock(m_mutex);
    return m_alternate;
}

UInt8 IOUSBInterface::GetInterfaceClass() const
{
    std::lock_guard lock(m_mutex);
    return currentLocked()->bInterfaceClass;
}

UInt8 IOUSBInterface::GetInterfaceSubClass() const
{
    std::lock_guard lock(m_mutex);
    return currentLocked()->bInterfaceSubClass;
}

UInt8 IOUSBInterface::GetInterfaceProtocol() const
{
    std::lock_guard lock(m_mutex);
    return currentLocked()->bInterfaceProtocol;
}

UInt8 IOUSBInterface::GetNumEndpoints() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<UInt8>(currentLocked()->endpoints.size());
}

IOUSBPipe* IOUSBInterface::GetPipeObj(UInt8 index)
{
    std::lock_guard lock(m_mutex);
    return index < m_pipes.size() ? m_pipes[index] : nullptr;
}

bool IOUSBInterface::matches(const IOUSBFindInterfaceRequest& request) const
{
    const auto fits = [](UInt16 wanted, UInt8 value) {
        return wanted == kIOUSBFindInterfaceDontCare || wanted == value;
    };
    for (const auto& alt : m_layout.alternates) {
        if (fits(request.bAlternateSetting, alt.bAlternateSetting) &&
            fits(request.bInterfaceClass, alt.bInterfaceClass) &&
            fits(request.bInterfaceSubClass, alt.bInterfaceSubClass) &&
            fits(request.bInterfaceProtocol, alt.bInterfaceProtocol)) {
            return true;
        }
    }
    return false;
}
