#include "AudioUserClient.h"

#include <cstring>

#include "AudioSM.h"
#include "DriverData.h"
#include "MidiQueue.h"
#include "UserClientSupport.h"
#include "VKDevice.h"
#include "VKKernelDevice.h"
#include "IOKit/IOLib.h"

OSDefineMetaClassAndStructors(AudioUserClient, VKStreamUserClient);

bool AudioUserClient::initWithTask(task_t owningTask, void* securityID, UInt32 type)
{
    if (!VKStreamUserClient::initWithTask(owningTask, securityID, type)) {
        return false;
    }
    mpAsyncTransport = nullptr;
    return true;
}

IOReturn AudioUserClient::stopUSBStream()
{
    user_clients::KernelDeviceRef::Hold device(mpKernelDevice);
    UserDispatchLock lock(device.get(), "stopUSBStream");
    return OSXStopUSBStream(device.get(), dispatchCaller());
}

void AudioUserClient::stopOnClose()
{
    stopUSBStream();
}

void AudioUserClient::onDied()
{
    user_clients::KernelDeviceRef::Hold kernelDevice(mpKernelDevice);
    UserDispatchLock lock(kernelDevice.get(), "clientDied");
    user_clients::clientClosed(kernelDevice.get(), this);
    VKDevice* device = kernelDevice ? kernelDevice->device() : nullptr;
    if (device != nullptr && device->releaseHogOf(mProcessID)) {
        kernelDevice->messageToClients(STC_HOGMODECHANGED, 0, 0, 0);
    }
}

void AudioUserClient::releaseOtherBlocks()
{
    mpAsyncTransport = nullptr;
    mcAsyncTransport.term(true);
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

SharedMemory* AudioUserClient::otherBlock(UInt32 type)
{
    switch (type) {
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
        return VKStreamUserClient::otherBlock(type);
    }
}
