#include "platform/USBHost.h"

#include "IOKit/usb/IOUSBController.h"
#include "IOKit/usb/IOUSBDevice.h"

namespace platform::usb {
namespace {

IOUSBDeviceDescriptor hubDescriptor()
{
    IOUSBDeviceDescriptor d = {};
    d.bLength = 18;
    d.bDescriptorType = 1;
    d.bcdUSB = 0x0200;
    d.bDeviceClass = kUSBHubClass;
    d.bDeviceProtocol = 1; // single transaction translator
    d.bMaxPacketSize0 = 64;
    d.bNumConfigurations = 1;
    return d;
}

} // namespace

USBHost::USBHost(usbsim::Bus& bus) : m_bus(bus)
{
    m_controller = IOUSBController::withBus(bus);
    m_controller->attach(IOService::getServiceRoot());
    m_controller->registerService();
    m_rootHub = IOUSBDevice::withHubDescriptor(hubDescriptor(), m_controller, 0x14000000);
    m_rootHub->setName("Root Hub");
    m_bus.addObserver(this);
    for (const auto& device : m_bus.devices()) {
        deviceAttached(device);
    }
}

USBHost::~USBHost()
{
    m_bus.removeObserver(this);
    std::map<const usbsim::Device*, Published> devices;
    {
        std::lock_guard lock(m_mutex);
        devices.swap(m_devices);
    }
    for (auto& [key, published] : devices) {
        withdraw(published);
    }
    m_rootHub->release();
    m_controller->terminate(kIOServiceSynchronous);
    m_controller->release();
}

IOUSBDevice* USBHost::copyDevice(const std::shared_ptr<usbsim::Device>& device) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_devices.find(device.get());
    if (it == m_devices.end()) {
        return nullptr;
    }
    it->second.device->retain();
    return it->second.device;
}

void USBHost::deviceAttached(const std::shared_ptr<usbsim::Device>& device)
{
    Published published;
    published.device = IOUSBDevice::withDevice(device, m_controller);
    if (published.device == nullptr) {
        return;
    }
    const IORegistryPlane* usbPlane = IORegistryEntry::getPlane(kIOUSBPlane);
    IOUSBDevice* parent = m_rootHub;
    for (uint32_t i = 0; i < device->externalHubs(); ++i) {
        auto* hub =
            IOUSBDevice::withHubDescriptor(hubDescriptor(), m_controller, device->locationID() & 0xFFF00000);
        hub->attachToParent(parent, usbPlane);
        published.hubs.push_back(hub);
        parent = hub;
    }
    published.device->attachToParent(parent, usbPlane);
    {
        std::lock_guard lock(m_mutex);
        m_devices[device.get()] = published;
    }
    published.device->attach(m_controller);
    published.device->registerService();
}

void USBHost::deviceDetached(const std::shared_ptr<usbsim::Device>& device)
{
    Published published;
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_devices.find(device.get());
        if (it == m_devices.end()) {
            return;
        }
        published = it->second;
        m_devices.erase(it);
    }
    withdraw(published);
}

void USBHost::withdraw(Published& published)
{
    const IORegistryPlane* usbPlane = IORegistryEntry::getPlane(kIOUSBPlane);
    published.device->terminate();
    published.device->detachAll(usbPlane);
    published.device->release();
    for (auto* hub : published.hubs) {
        hub->detachAll(usbPlane);
        hub->release();
    }
}

} // namespace platform::usb
