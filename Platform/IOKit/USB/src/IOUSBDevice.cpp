#include "IOKit/usb/IOUSBDevice.h"

#include <algorithm>
#include <cstring>

#include "IOKit/usb/IOUSBController.h"
#include "IOKit/usb/IOUSBInterface.h"
#include "IOKit/usb/IOUSBPipe.h"
#include "usbsim/Bus.h"

OSDefineMetaClassAndStructors(IOUSBDevice, IOService)

    namespace
{

    IOUSBDeviceDescriptor descriptorFrom(const std::vector<uint8_t>& bytes)
    {
        IOUSBDeviceDescriptor d = {};
        std::memcpy(&d, bytes.data(), std::min(bytes.size(), sizeof d));
        return d;
    }

} // namespace

IOUSBDevice* IOUSBDevice::withDevice(std::shared_ptr<usbsim::Device> device, IOUSBController* controller)
{
    if (!device) {
        return nullptr;
    }
    auto* self = new IOUSBDevice;
    const auto descriptor = descriptorFrom(device->deviceDescriptorBytes());
    if (!self->initWith(descriptor, controller, static_cast<UInt8>(device->speed()), device->address(),
                        device->locationID())) {
        self->release();
        return nullptr;
    }
    self->m_pipeZero = IOUSBPipe::withDefaultPipe(device);
    self->m_device = std::move(device);
    return self;
}

IOUSBDevice* IOUSBDevice::withHubDescriptor(const IOUSBDeviceDescriptor& descriptor,
                                            IOUSBController* controller, UInt32 locationID)
{
    auto* self = new IOUSBDevice;
    if (!self->initWith(descriptor, controller, kUSBDeviceSpeedHigh, 0, locationID)) {
        self->release();
        return nullptr;
    }
    self->m_pipeZero = IOUSBPipe::withDefaultPipe(nullptr);
    return self;
}

bool IOUSBDevice::initWith(const IOUSBDeviceDescriptor& descriptor, IOUSBController* controller, UInt8 speed,
                           UInt16 address, UInt32 locationID)
{
    if (!init(nullptr)) {
        return false;
    }
    m_descriptor = descriptor;
    m_speed = speed;
    m_address = address;
    m_locationID = locationID;
    if (controller != nullptr) {
        controller->retain();
        m_controller = controller;
    }
    setName(descriptor.bDeviceClass == kUSBHubClass ? "IOUSBHubDevice" : "IOUSBDevice");
    setProperty("idVendor", descriptor.idVendor, 16);
    setProperty("idProduct", descriptor.idProduct, 16);
    setProperty("bcdDevice", descriptor.bcdDevice, 16);
    setProperty("bDeviceClass", descriptor.bDeviceClass, 8);
    setProperty("locationID", locationID, 32);
    setProperty("USB Address", address, 16);
    setProperty("Device Speed", speed, 8);
    return true;
}

void IOUSBDevice::free()
{
    replaceInterfaces(false, false);
    OSSafeReleaseNULL(m_pipeZero);
    OSSafeReleaseNULL(m_controller);
    m_device.reset();
    IOService::free();
}

bool IOUSBDevice::terminate(IOOptionBits options)
{
    replaceInterfaces(false, false);
    return IOService::terminate(options);
}

UInt32 IOUSBDevice::GetBusPowerAvailable() const
{
    return m_device ? m_device->busPowerAvailable() : 250;
}

IOReturn IOUSBDevice::DeviceRequest(IOUSBDevRequest* request)
{
    if (request == nullptr) {
        return kIOReturnBadArgument;
    }
    IOUSBDevRequestTO timed = {request->bmRequestType,
                               request->bRequest,
                               request->wValue,
                               request->wIndex,
                               request->wLength,
                               request->pData,
                               0,
                               kUSBDefaultControlNoDataTimeoutMS,
                               kUSBDefaultControlCompletionTimeoutMS};
    const IOReturn status = DeviceRequest(&timed);
    request->wLenDone = timed.wLenDone;
    return status;
}

IOReturn IOUSBDevice::DeviceRequest(IOUSBDevRequestTO* request)
{
    if (request == nullptr) {
        return kIOReturnBadArgument;
    }
    request->wLenDone = 0;
    const usbsim::SetupPacket setup{request->bmRequestType, request->bRequest, request->wValue,
                                    request->wIndex, request->wLength};
    if (!m_device) {
        // A hub answers its device descriptor.
        const bool descriptor = setup.bmRequestType == 0x80 && setup.bRequest == usbsim::kGetDescriptor &&
                                (setup.wValue >> 8) == usbsim::kDescriptorDevice;
        if (!descriptor || request->pData == nullptr) {
            return kIOReturnUnsupported;
        }
        const UInt32 n = std::min<UInt32>(request->wLength, sizeof m_descriptor);
        std::memcpy(request->pData, &m_descriptor, n);
        request->wLenDone = n;
        return kIOReturnSuccess;
    }
    uint32_t done = 0;
    const IOReturn status = m_device->deviceRequest(setup, request->pData, &done, request->noDataTimeout,
                                                    request->completionTimeout);
    request->wLenDone = done;
    return status;
}

IOReturn IOUSBDevice::GetDeviceDescriptor(IOUSBDeviceDescriptor* descriptor, UInt32 size)
{
    if (descriptor == nullptr || size == 0) {
        return kIOReturnBadArgument;
    }
    IOUSBDevRequest request = {0x80,
                               usbsim::kGetDescriptor,
                               usbsim::kDescriptorDevice << 8,
                               0,
                               static_cast<UInt16>(std::min<UInt32>(size, sizeof *descriptor)),
                               descriptor,
                               0};
    return DeviceRequest(&request);
}

IOReturn IOUSBDevice::GetConfigurationDescriptor(UInt8 configValue, void* data, UInt32 length,
                                                 UInt32* actualLength)
{
    if (actualLength != nullptr) {
        *actualLength = 0;
    }
    if (data == nullptr || length == 0) {
        return kIOReturnBadArgument;
    }
    if (!m_device) {
        return kIOReturnUnsupported;
    }
    uint32_t done = length;
    const IOReturn status =
        m_device->readConfigurationDescriptor(configValue, static_cast<uint8_t*>(data), &done);
    if (actualLength != nullptr) {
        *actualLength = done;
    }
    if (status != kIOReturnSuccess) {
        return status;
    }
    // What the header promised, within the buffer, must all have come.
    const auto* bytes = static_cast<const uint8_t*>(data);
    const UInt32 promised = done >= 4 ? std::min<UInt32>(length, bytes[2] | bytes[3] << 8) : length;
    if (done < promised) {
        std::memset(static_cast<uint8_t*>(data) + done, 0, length - done);
        return kIOReturnUnderrun;
    }
    return kIOReturnSuccess;
}

IOReturn IOUSBDevice::GetStringDescriptor(UInt8 index, char* buffer, int maxLength, UInt16 language)
{
    if (buffer == nullptr || maxLength <= 0 || index == 0) {
        return kIOReturnBadArgument;
    }
    buffer[0] = '\0';
    uint8_t raw[255] = {};
    IOUSBDevRequest request = {0x80,
                               usbsim::kGetDescriptor,
                               static_cast<UInt16>(usbsim::kDescriptorString << 8 | index),
                               language,
                               sizeof raw,
                               raw,
                               0};
    const IOReturn status = DeviceRequest(&request);
    if (status != kIOReturnSuccess) {
        return status;
    }
    // Trust neither bLength nor the type: take what came, in whole UTF-16 units.
    if (request.wLenDone < 2 || raw[1] != usbsim::kDescriptorString) {
        return kIOReturnDeviceError;
    }
    const UInt32 length = std::min<UInt32>(raw[0], request.wLenDone);
    int out = 0;
    for (UInt32 i = 2; i + 1 < length && out < maxLength - 1; i += 2) {
        const unsigned unit = raw[i] | raw[i + 1] << 8;
        buffer[out++] = unit >= 0x20 && unit < 0x7F ? static_cast<char>(unit) : '?';
    }
    buffer[out] = '\0';
    return kIOReturnSuccess;
}

IOReturn IOUSBDevice::SetConfiguration(IOService* forClient, UInt8 configValue, bool startMatching)
{
    if (!m_device) {
        return kIOReturnUnsupported;
    }
    if (isOpen() && !isOpen(forClient)) {
        return kIOReturnExclusiveAccess;
    }
    const IOReturn status = m_device->setConfiguration(configValue);
    if (status == kIOReturnSuccess) {
        replaceInterfaces(configValue != 0, startMatching);
    }
    return status;
}

IOReturn IOUSBDevice::GetConfiguration(UInt8* configNumber)
{
    if (configNumber == nullptr) {
        return kIOReturnBadArgument;
    }
    *configNumber = 0;
    IOUSBDevRequest request = {0x80, usbsim::kGetConfiguration, 0, 0, 1, configNumber, 0};
    const IOReturn status = DeviceRequest(&request);
    if (status == kIOReturnSuccess && request.wLenDone != 1) {
        return kIOReturnUnderrun;
    }
    return status;
}

IOReturn IOUSBDevice::ResetDevice()
{
    if (!m_device) {
        return kIOReturnUnsupported;
    }
    replaceInterfaces(false, false);
    return m_device->reset();
}

IOReturn IOUSBDevice::ReEnumerateDevice(UInt32)
{
    return m_device ? m_device->reEnumerate() : kIOReturnUnsupported;
}

void IOUSBDevice::replaceInterfaces(bool create, bool startMatching)
{
    std::vector<IOUSBInterface*> old;
    std::vector<IOUSBInterface*> fresh;
    if (create && m_device) {
        const auto layout = m_device->activeConfiguration();
        for (const auto& intf : layout ? layout->interfaces : std::vector<usbsim::InterfaceLayout>{}) {
            if (auto* object = IOUSBInterface::withLayout(this, intf)) {
                object->setProperty("bConfigurationValue", layout->bConfigurationValue, 8);
                fresh.push_back(object);
            }
        }
    }
    {
        std::lock_guard lock(m_mutex);
        old.swap(m_interfaces);
        m_interfaces = fresh;
    }
    for (auto* intf : old) {
        intf->detachFromDevice();
        intf->terminate();
        intf->release();
    }
    for (auto* intf : fresh) {
        if (intf->attach(this) && startMatching) {
            intf->registerService();
        }
    }
}

IOUSBInterface* IOUSBDevice::FindNextInterface(IOUSBInterface* current, IOUSBFindInterfaceRequest* request)
{
    if (request == nullptr) {
        return nullptr;
    }
    std::lock_guard lock(m_mutex);
    auto it = m_interfaces.begin();
    if (current != nullptr) {
        it = std::find(m_interfaces.begin(), m_interfaces.end(), current);
        if (it == m_interfaces.end()) {
            return nullptr;
        }
        ++it;
    }
    for (; it != m_interfaces.end(); ++it) {
        if ((*it)->matches(*request)) {
            return *it;
        }
    }
    return nullptr;
}

bool IOUSBDevice::matchPropertyTable(OSDictionary* table, SInt32* score)
{
    if (!IOService::matchPropertyTable(table, score)) {
        return false;
    }
    // The USB keys of a personality must equal the device's; each one named adds to the score,
    // so a personality for one release of a device wins over the one for all its releases.
    for (const char* key : {"idVendor", "idProduct", "bcdDevice"}) {
        auto* wanted = OSDynamicCast(OSNumber, table->getObject(key));
        if (wanted == nullptr) {
            continue;
        }
        auto* mine = OSDynamicCast(OSNumber, getProperty(key));
        if (mine == nullptr || mine->unsigned32BitValue() != wanted->unsigned32BitValue()) {
            return false;
        }
        if (score != nullptr) {
            *score += kUSBMatchKeyScore;
        }
    }
    return true;
}
