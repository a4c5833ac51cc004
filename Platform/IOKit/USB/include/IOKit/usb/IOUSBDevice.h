// A USB device as the kernel USB family presents it to drivers: identity, descriptors, control
// requests on the default pipe, the configuration and its interfaces, reset and re-enumeration.
//
// Drivers match on the properties "idVendor", "idProduct" and "bcdDevice" (numbers) of their
// personality (the more of them named, the higher the score), open the device (kIOServiceSeize) and talk to it through these calls. Hubs are
// devices too: they answer only the device descriptor, and link devices to the root hub in the
// "IOUSB" plane.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "IOKit/IOService.h"
#include "IOKit/usb/USB.h"

namespace usbsim {
class Device;
}

class IOUSBController;
class IOUSBInterface;
class IOUSBPipe;

constexpr const char* kIOUSBPlane = "IOUSB";
// What each of "idVendor", "idProduct" and "bcdDevice" that a personality names adds to its score.
constexpr SInt32 kUSBMatchKeyScore = 1000;

class IOUSBDevice : public IOService
{
    OSDeclareDefaultStructors(IOUSBDevice)

        public :
        // A device on the simulated bus, or a hub with this device descriptor and nothing else.
        static IOUSBDevice* withDevice(std::shared_ptr<usbsim::Device> device, IOUSBController* controller);
    static IOUSBDevice* withHubDescriptor(const IOUSBDeviceDescriptor& descriptor,
                                          IOUSBController* controller, UInt32 locationID);

    // Identity, from the device descriptor read at enumeration.
    UInt16 GetVendorID() const { return m_descriptor.idVendor; }
    UInt16 GetProductID() const { return m_descriptor.idProduct; }
    UInt16 GetDeviceRelease() const { return m_descriptor.bcdDevice; }
    UInt8 GetDeviceClass() const { return m_descriptor.bDeviceClass; }
    UInt8 GetMaxPacketSize() const { return m_descriptor.bMaxPacketSize0; }
    UInt8 GetManufacturerStringIndex() const { return m_descriptor.iManufacturer; }
    UInt8 GetProductStringIndex() const { return m_descriptor.iProduct; }
    UInt8 GetSerialNumberStringIndex() const { return m_descriptor.iSerialNumber; }
    UInt8 GetNumConfigurations() const { return m_descriptor.bNumConfigurations; }
    UInt8 GetSpeed() const { return m_speed; }
    UInt16 GetAddress() const { return m_address; }
    UInt32 GetLocationID() const { return m_locationID; }
    // Power the port offers, in 2 mA units.
    UInt32 GetBusPowerAvailable() const;
    IOUSBController* GetBus() const { return m_controller; }

    // Descriptors, read from the device through the default pipe.
    IOReturn GetDeviceDescriptor(IOUSBDeviceDescriptor* descriptor, UInt32 size);
    // The configuration descriptor whose bConfigurationValue is `configValue`, at most `length`
    // bytes. A read shorter than the descriptor's wTotalLength (capped at `length`) answers
    // kIOReturnUnderrun with the bytes read in `actualLength`.
    IOReturn GetConfigurationDescriptor(UInt8 configValue, void* data, UInt32 length,
                                        UInt32* actualLength = nullptr);
    // A string as NUL-terminated text (characters outside ASCII become '?').
    IOReturn GetStringDescriptor(UInt8 index, char* buffer, int maxLength, UInt16 language = 0x0409);

    // Synchronous control requests on the default pipe.
    IOReturn DeviceRequest(IOUSBDevRequest* request);
    IOReturn DeviceRequest(IOUSBDevRequestTO* request);
    IOUSBPipe* GetPipeZero() const { return m_pipeZero; }

    // Sets the configuration (0: unconfigured) and makes its interfaces, which are registered
    // for matching when `startMatching`. Refused with kIOReturnExclusiveAccess while another
    // client holds the device open.
    IOReturn SetConfiguration(IOService* forClient, UInt8 configValue, bool startMatching = true);
    // Asks the device (GET_CONFIGURATION).
    IOReturn GetConfiguration(UInt8* configNumber);
    // Port reset: the device is unconfigured and its interfaces go.
    IOReturn ResetDevice();
    // The device leaves and comes back: this service terminates and a new one is published.
    IOReturn ReEnumerateDevice(UInt32 options);

    // The next interface after `current` (null: the first) of the current configuration that
    // has an alternate setting matching `request`. Borrowed pointer.
    IOUSBInterface* FindNextInterface(IOUSBInterface* current, IOUSBFindInterfaceRequest* request);

    bool matchPropertyTable(OSDictionary* table, SInt32* score) override;
    bool terminate(IOOptionBits options = 0) override;

    // The simulated device behind this service (null for a hub).
    std::shared_ptr<usbsim::Device> simulatedDevice() const { return m_device; }

protected:
    void free() override;

private:
    bool initWith(const IOUSBDeviceDescriptor& descriptor, IOUSBController* controller, UInt8 speed,
                  UInt16 address, UInt32 locationID);
    void replaceInterfaces(bool create, bool startMatching);

    std::shared_ptr<usbsim::Device> m_device;
    IOUSBDeviceDescriptor m_descriptor = {};
    IOUSBController* m_controller = nullptr; // retained
    IOUSBPipe* m_pipeZero = nullptr;         // owned
    UInt8 m_speed = kUSBDeviceSpeedFull;
    UInt16 m_address = 0;
    UInt32 m_locationID = 0;

    mutable std::mutex m_mutex;
    std::vector<IOUSBInterface*> m_interfaces; // guarded by m_mutex; retained
};
