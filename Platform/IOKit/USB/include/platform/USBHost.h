// Brings the simulated bus into the kernel: the host controller service under the service root,
// a root hub, and one IOUSBDevice service per attached device, published for matching as it
// appears and terminated when it leaves (hot-plug).
//
// Service plane: root -> IOUSBController -> IOUSBDevice. USB plane ("IOUSB"): root hub ->
// external hubs -> device, so a driver can count the hubs above its device.
//
// Thread safety: bus events arrive on the thread that attached or detached the device; every
// function may be called from any thread.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "usbsim/Bus.h"

class IOUSBController;
class IOUSBDevice;

namespace platform::usb {

class USBHost : public usbsim::BusObserver
{
public:
    // Publishes the controller and the devices already on the bus.
    explicit USBHost(usbsim::Bus& bus);
    // Terminates every device service and the controller.
    ~USBHost() override;
    USBHost(const USBHost&) = delete;
    USBHost& operator=(const USBHost&) = delete;

    IOUSBController* controller() const { return m_controller; }
    // The service of a simulated device (retained), or null once it left.
    IOUSBDevice* copyDevice(const std::shared_ptr<usbsim::Device>& device) const;

    void deviceAttached(const std::shared_ptr<usbsim::Device>& device) override;
    void deviceDetached(const std::shared_ptr<usbsim::Device>& device) override;

private:
    struct Published
    {
        IOUSBDevice* device = nullptr;  // retained
        std::vector<IOUSBDevice*> hubs; // retained, nearest the root first
    };
    void withdraw(Published& published);

    usbsim::Bus& m_bus;
    IOUSBController* m_controller = nullptr; // retained
    IOUSBDevice* m_rootHub = nullptr;        // retained

    mutable std::mutex m_mutex;
    std::map<const usbsim::Device*, Published> m_devices; // guarded by m_mutex
};

} // namespace platform::usb
