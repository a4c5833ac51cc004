#include "UserClientSupport.h"

#include <cstddef>
#include <cstring>
#include <utility>

#include "AudioUserClient.h"
#include "DriverData.h"
#include "DriverSM.h"
#include "VKDevice.h"
#include "VKKernelDevice.h"
#include "IOKit/IOLib.h"

namespace user_clients {

void KernelDeviceRef::set(VKKernelDevice* device)
{
    if (device != nullptr) {
        device->retain();
    }
    m_lock.lock("KernelDeviceRef");
    VKKernelDevice* old = std::exchange(m_device, device);
    m_lock.unlock();
    if (old != nullptr) {
        old->release();
    }
}

void KernelDeviceRef::reset()
{
    set(nullptr);
}

VKKernelDevice* KernelDeviceRef::copy() const
{
    m_lock.lock("KernelDeviceRef");
    VKKernelDevice* device = m_device;
    if (device != nullptr) {
        device->retain();
    }
    m_lock.unlock();
    return device;
}

KernelDeviceRef::Hold::~Hold()
{
    if (m_device != nullptr) {
        m_device->release();
    }
}

VKKernelDevice* takeKernelDevice(IOService* provider, KernelDeviceRef& ref)
{
    auto* kernelDevice = OSDynamicCast(VKKernelDevice, provider);
    if (kernelDevice == nullptr) {
        IOLog("USB: %s\n", "mKernelDevice cast failed");
        return nullptr;
    }
    ref.set(kernelDevice);
    return kernelDevice;
}

bool takeKernelDeviceAndTable(IOService* provider, KernelDeviceRef& ref, DriverData*& driverData)
{
    VKKernelDevice* kernelDevice = takeKernelDevice(provider, ref);
    if (kernelDevice == nullptr) {
        return false;
    }
    VKDevice* device = kernelDevice->device();
    driverData = device != nullptr ? device->getAndRetainDriverData() : nullptr;
    if (driverData == nullptr) {
        ref.reset();
        return false;
    }
    return true;
}

void releaseDriverData(DriverData*& driverData)
{
    if (driverData != nullptr) {
        driverData->release();
        driverData = nullptr;
    }
}

bool detach(VKKernelDevice* kernelDevice, DriverData* driverData, IOUserClient* client)
{
    if (kernelDevice == nullptr || driverData == nullptr || !driverData->isClientAttached(client)) {
        return false;
    }
    if (driverData->detachClient(client) != kIOReturnSuccess) {
        return false;
    }
    kernelDevice->messageToClients(STC_ClientDetached, VKClientIdentifier(client), driverData->countClients(), 0);
    return true;
}

void clientClosed(VKKernelDevice* kernelDevice, IOUserClient* client)
{
    VKDevice* device = kernelDevice != nullptr ? kernelDevice->device() : nullptr;
    if (device != nullptr && client != nullptr) {
        device->onClientClosed(client);
    }
}

IOOptionBits mapOptions(UInt32 type, IOOptionBits asked)
{
    return type == kVKMemoryInputRing ? asked | kIOMapReadOnly : asked;
}

IOReturn callDriver(VKKernelDevice* kernelDevice, IOUserClient* client, IOExternalMethodArguments* arguments,
                    OSXDispatchCaller (*makeCaller)(IOUserClient* client))
{
    if (arguments == nullptr || arguments->structureInput == nullptr || arguments->structureOutput == nullptr ||
        arguments->structureInputSize != sizeof(OSXDispatch) ||
        arguments->structureOutputSize != sizeof(OSXDispatch)) {
        return kIOReturnBadArgument;
    }
    if (kernelDevice == nullptr || client == nullptr || client->isInactive()) {
        IOLog("USB: %s\n", "userDispatch not attached");
        return kIOReturnNotAttached;
    }
    UserDispatchLock lock(kernelDevice, "userDispatch");
    if (kernelDevice->device() == nullptr) {
        IOLog("USB: %s\n", "userDispatch not attached (pDevice)");
        return kIOReturnNotAttached;
    }
    // A private copy: the request layer never reads what the process may still be changing.
    OSXDispatch record;
    std::memcpy(&record, arguments->structureInput, sizeof record);
    const IOReturn status = OSXDispatchRequest(kernelDevice, makeCaller(client), record);
    std::memcpy(arguments->structureOutput, &record, sizeof record);
    return status;
}

} // namespace user_clients
