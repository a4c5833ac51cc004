// An interface of a configured USB device: its current alternate setting and that setting's
// pipes. A driver opens it (kIOUSBInterfaceOpenAlt with the alternate as the argument selects
// that alternate while opening), selects alternates while it holds it open, and takes pipes by
// endpoint index.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <mutex>
#include <vector>

#include "IOKit/IOService.h"
#include "IOKit/usb/USB.h"
#include "usbsim/Descriptors.h"

class IOUSBDevice;
class IOUSBPipe;

class IOUSBInterface : public IOService
{
    OSDeclareDefaultStructors(IOUSBInterface)

        public
        : static IOUSBInterface* withLayout(IOUSBDevice* device, const usbsim::InterfaceLayout& layout);

    bool open(IOService* forClient, IOOptionBits options = 0, void* arg = nullptr) override;

    // Selects an alternate setting (SET_INTERFACE); the interface must be open for `forClient`.
    // The pipes of the former setting stop working.
    IOReturn SetAlternateInterface(IOService* forClient, UInt16 alternateSetting);

    UInt8 GetInterfaceNumber() const { return m_layout.number; }
    UInt8 GetAlternateSetting() const;
    UInt8 GetInterfaceClass() const;
    UInt8 GetInterfaceSubClass() const;
    UInt8 GetInterfaceProtocol() const;
    UInt8 GetNumEndpoints() const;
    // The pipe of endpoint `index` (0-based, descriptor order) of the current setting, or null.
    // Borrowed pointer, valid while the setting stays.
    IOUSBPipe* GetPipeObj(UInt8 index);
    IOUSBDevice* GetDevice() const;

    // Whether any alternate setting matches (used by FindNextInterface).
    bool matches(const IOUSBFindInterfaceRequest& request) const;

protected:
    void free() override;

private:
    friend class IOUSBDevice;
    // The device drops this interface (new configuration, reset, termination).
    void detachFromDevice();
    const usbsim::AlternateLayout* currentLocked() const;
    void openPipesLocked();
    void releasePipesLocked();

    usbsim::InterfaceLayout m_layout;

    mutable std::mutex m_mutex;
    IOUSBDevice* m_device = nullptr; // guarded by m_mutex; not retained (the device owns its interfaces)
    UInt8 m_alternate = 0;           // guarded by m_mutex
    std::vector<IOUSBPipe*> m_pipes; // guarded by m_mutex; retained
};
