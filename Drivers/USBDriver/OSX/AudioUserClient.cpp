#include "AudioUserClient.h"

#include <cstring>

#include "AudioSM.h"
#include "DriverData.h"
#include "MidiQueue.h"
#include "UserClientSupport.h"
#include "VKDevice.h"
#include "VKKernelDevice.h"
#include "IOKit/IOLib.h"

OSDefineMetaClassAndStructors(AudioUserClient, IOUserClient);

bool AudioUserClient::initWithTask(task_t owningTask, void* securityID, UInt32 type)
{
    if (!IOUserClient::initWithTask(owningTask, securityID, type)) {
        return false;
    }
    if (owningTask == 0) {
        IOLog("USB: %s\n", "owningTask is NULL");
        return false;
    }
    mpAsyncTransport = nullptr;
    mpDriverData = nullptr;
    mpKernelDevice.reset();
    mOwningTask = owningTask;
    mClientDied = 0;
    mpAudioSM_Out = nullptr;
    mProcessID = 0;
    return true;
}

bool AudioUserClient::start(IOService* provider)
{
    return IOUserClient::start(provider) &&
           user_clients::takeKernelDeviceAndTable(provider, mpKernelDevice, mpDriverData);
}

OSXDispatchCaller AudioUserClient::dispatchCaller()
{
    OSXDispatchCaller caller;
    caller.dispatcher = OSXDispatcher::Audio;
    caller.client = this;
    caller.clientID = clientID();
    caller.driverData = mpDriverData;
    caller.outputRing = mpAudioSM_Out;
    caller.outputRingSize = mpAudioSM_Out != nullptr ? kVKAudioSMSize : 0;
    caller.processID = &mProcessID;
    return caller;
}

IOReturn AudioUserClient::stopUSBStream()
{
    user_clients::KernelDeviceRef::Hold device(mpKernelDevice);
    UserDispatchLock lock(device.get(), "stopUSBStream");
    return OSXStopUSBStream(device.get(), dispatchCaller());
}

IOReturn AudioUserClient::clientClose()
{
    stopUSBStream();
    mOwningTask = 0;
    {
        user_clients::KernelDeviceRef::Hold device(mpKernelDevice);
        UserDispatchLock lock(device.get(), "clientClose");
        user_clients::releaseDriverData(mpDriverData);
        user_clients::clientClosed(device.get(), this);
    }
    terminate(); // lets go of the device
    return kIOReturnSuccess;
}

IOReturn AudioUserClient::clientDied()
{
    mClientDied = 1;
    {
        user_clients::KernelDeviceRef::Hold kernelDevice(mpKernelDevice);
        UserDispatchLock lock(kernelDevice.get(), "clientDied");
        user_clients::clientClosed(kernelDevice.get(), this);
        VKDevice* device = kernelDevice ? kernelDevice->device() : nullptr;
        // Hog mode belongs to a process; a dead one cannot give it back.
        if (device != nullptr && device->mHogID != -1 && device->mHogID == mProcessID) {
            device->mHogID = -1;
            kernelDevice->messageToClients(STC_HOGMODECHANGED, 0, 0, 0);
        }
    }
    return IOUserClient::clientDied();
}

bool AudioUserClient::terminate(IOOptionBits options)
{
    const bool result = IOUserClient::terminate(options);
    {
        user_clients::KernelDeviceRef::Hold device(mpKernelDevice);
        // A device that ends first terminates this client with its ring possibly still in the
        // client table: out of the table before the ring goes.
        UserDispatchLock lock(device.get(), "terminate");
        user_clients::detach(device.get(), mpDriverData, this);
        mpAudioSM_Out = nullptr;
        mpAsyncTransport = nullptr;
        mcAudioSM_Out.term(true);
        mcAsyncTransport.term(true);
    }
    mpKernelDevice.reset();
    return result;
}

void AudioUserClient::free()
{
    user_clients::releaseDriverData(mpDriverData);
    mpKernelDevice.reset();
    IOUserClient::free();
}

IOReturn AudioUserClient::externalMethod(uint32_t selector, IOExternalMethodArguments* arguments,
                                         IOExternalMethodDispatch* dispatch, OSObject* target, void* reference)
{
    static IOExternalMethodDispatch methods[kSelectorCount] = {
        {&AudioUserClient::method_CallDriver, 0, kVKCallDriverRecordSize, 0, kVKCallDriverRecordSize},
        {&AudioUserClient::method_CallDriverVendorWriteAsync, 3, kIOUCVariableStructureSize, 0, 0},
        {&AudioUserClient::method_CallDriverVendorReadAsync, 3, 0, 0, kIOUCVariableStructureSize},
    };
    if (selector < kSelectorCount) {
        dispatch = &methods[selector];
        if (target == nullptr) {
            target = this;
        }
    }
    return IOUserClient::externalMethod(selector, arguments, dispatch, target, reference);
}

IOReturn AudioUserClient::method_CallDriver(OSObject* target, void*, IOExternalMethodArguments* arguments)
{
    auto* client = OSDynamicCast(AudioUserClient, target);
    if (client == nullptr) {
        return kIOReturnBadArgument;
    }
    user_clients::KernelDeviceRef::Hold device(client->mpKernelDevice);
    return user_clients::callDriver(device.get(), client, arguments);
}

IOReturn AudioUserClient::method_CallDriverVendorWriteAsync(OSObject*, void*, IOExternalMethodArguments*)
{
    return kIOReturnSuccess;
}

IOReturn AudioUserClient::method_CallDriverVendorReadAsync(OSObject*, void*, IOExternalMethodArguments* arguments)
{
    arguments->structureOutputSize = 0;
    return kIOReturnSuccess;
}

SharedMemory* AudioUserClient::blockFor(VKDevice* device, UInt32 type)
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
    case kVKMemoryVendorAsync:
        // The vendor asynchronous port comes with its own layer; a device without one has no block.
        return nullptr;
    case kVKMemoryAsyncTransport:
        if (mpAsyncTransport == nullptr) {
            if (!mcAsyncTransport.init(kVKAsyncBlockSize)) {
                return nullptr;
            }
            mpAsyncTransport = static_cast<AsyncTransportData*>(mcAsyncTransport.address());
        }
        return &mcAsyncTransport;
    default:
        IOLog("USB: %s %u\n", "unsupported type", static_cast<unsigned>(type));
        return nullptr;
    }
}

IOReturn AudioUserClient::clientMemoryForType(UInt32 type, IOOptionBits* options, IOMemoryDescriptor** memory)
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

IOMemoryMap* AudioUserClient::mapClientMemory64(UInt32 type, task_t task, IOOptionBits options,
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
