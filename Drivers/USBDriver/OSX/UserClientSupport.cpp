#include "UserClientSupport.h"

#include <cstddef>
#include <cstring>
#include <utility>

#include "AudioSM.h"
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

OSDefineMetaClassAndAbstractStructors(VKUserClient, IOUserClient);

bool VKUserClient::initWithTask(task_t owningTask, void* securityID, UInt32 type)
{
    if (!IOUserClient::initWithTask(owningTask, securityID, type)) {
        return false;
    }
    if (owningTask == 0) {
        IOLog("USB: %s\n", "owningTask is NULL");
        return false;
    }
    mpKernelDevice.reset();
    mOwningTask = owningTask;
    mClientDied = 0;
    return true;
}

IOReturn VKUserClient::clientClose()
{
    stopOnClose();
    mOwningTask = 0;
    {
        user_clients::KernelDeviceRef::Hold device(mpKernelDevice);
        UserDispatchLock lock(device.get(), "clientClose");
        releaseOnClose();
        // Ids set through this client's requests and commands go with it.
        user_clients::clientClosed(device.get(), this);
    }
    terminate(); // lets go of the device
    return kIOReturnSuccess;
}

IOReturn VKUserClient::clientDied()
{
    mClientDied = 1;
    onDied();
    return IOUserClient::clientDied();
}

bool VKUserClient::terminate(IOOptionBits options)
{
    const bool result = IOUserClient::terminate(options);
    releaseOnTerminate();
    mpKernelDevice.reset();
    return result;
}

void VKUserClient::free()
{
    mpKernelDevice.reset();
    IOUserClient::free();
}

OSDefineMetaClassAndAbstractStructors(VKStreamUserClient, VKUserClient);

bool VKStreamUserClient::initWithTask(task_t owningTask, void* securityID, UInt32 type)
{
    if (!VKUserClient::initWithTask(owningTask, securityID, type)) {
        return false;
    }
    mpDriverData = nullptr;
    mpAudioSM_Out = nullptr;
    mProcessID = 0;
    return true;
}

bool VKStreamUserClient::start(IOService* provider)
{
    return IOUserClient::start(provider) &&
           user_clients::takeKernelDeviceAndTable(provider, mpKernelDevice, mpDriverData);
}

OSXDispatchCaller VKStreamUserClient::dispatchCaller()
{
    OSXDispatchCaller caller;
    caller.dispatcher = dispatcher();
    caller.client = this;
    caller.clientID = clientID();
    caller.driverData = mpDriverData;
    caller.outputRing = mpAudioSM_Out;
    caller.outputRingSize = mpAudioSM_Out != nullptr ? kVKAudioSMSize : 0;
    caller.processID = &mProcessID;
    return caller;
}

void VKStreamUserClient::releaseOnClose()
{
    user_clients::releaseDriverData(mpDriverData);
}

void VKStreamUserClient::releaseOnTerminate()
{
    user_clients::KernelDeviceRef::Hold device(mpKernelDevice);
    // A device that ends first terminates this client with its ring possibly still in the
    // client table: out of the table before the ring goes.
    UserDispatchLock lock(device.get(), "terminate");
    user_clients::detach(device.get(), mpDriverData, this);
    mpAudioSM_Out = nullptr;
    mcAudioSM_Out.term(true);
    releaseOtherBlocks();
}

void VKStreamUserClient::free()
{
    user_clients::releaseDriverData(mpDriverData);
    VKUserClient::free();
}

SharedMemory* VKStreamUserClient::otherBlock(UInt32 type)
{
    IOLog("USB: %s %u\n", "unsupported type", static_cast<unsigned>(type));
    return nullptr;
}

SharedMemory* VKStreamUserClient::blockFor(VKDevice* device, UInt32 type)
{
    switch (type) {
    case kVKMemoryDriverSM:
        return &device->mcDriverSharedMemory;
    case kVKMemoryInputRing:
        return &device->mcAudioSM_In;
    case kVKMemoryOutputRing:
        if (mpAudioSM_Out == nullptr) {
            if (!mcAudioSM_Out.init(kVKAudioSMSize)) {
                return nullptr;
            }
            mpAudioSM_Out = static_cast<AudioSM*>(mcAudioSM_Out.address());
        }
        return &mcAudioSM_Out;
    default:
        return otherBlock(type);
    }
}

IOReturn VKStreamUserClient::clientMemoryForType(UInt32 type, IOOptionBits* options, IOMemoryDescriptor** memory)
{
    if (memory == nullptr) {
        return kIOReturnBadArgument;
    }
    *memory = nullptr;
    if (options != nullptr) {
        *options = user_clients::mapOptions(type, *options);
    }
    user_clients::KernelDeviceRef::Hold device(mpKernelDevice);
    // The dispatch lock orders the first use of the client's blocks with terminate's release.
    UserDispatchLock lock(device.get(), "clientMemoryForType");
    if (!device || device->device() == nullptr || isInactive()) {
        return kIOReturnNotAttached;
    }
    SharedMemory* block = blockFor(device->device(), type);
    return block != nullptr ? block->getMemory(memory) : kIOReturnNoMemory;
}

IOMemoryMap* VKStreamUserClient::mapClientMemory64(UInt32 type, task_t task, IOOptionBits options,
                                                   mach_vm_address_t address)
{
    user_clients::KernelDeviceRef::Hold device(mpKernelDevice);
    UserDispatchLock lock(device.get(), "mapClientMemory");
    if (!device || device->device() == nullptr || isInactive()) {
        return nullptr;
    }
    SharedMemory* block = blockFor(device->device(), type);
    const IOOptionBits mapped = task == kernel_task ? options : user_clients::mapOptions(type, options);
    return block != nullptr ? block->map(task, mapped, address) : nullptr;
}
