#include "ASClient.h"

#include "AudioSM.h"
#include "DriverData.h"
#include "DriverSM.h"
#include "UserClientSupport.h"
#include "VKDevice.h"
#include "VKKernelDevice.h"
#include "IOKit/IOLib.h"
#include "mach/mach_time.h"

OSDefineMetaClassAndStructors(ASClient, VKStreamUserClient);

namespace {
constexpr uint32_t kControlCount = 2;

// The target as an ASClient, or the status the method answers.
IOReturn checkTarget(OSObject* target, ASClient*& client, const char* method)
{
    client = OSDynamicCast(ASClient, target);
    if (client == nullptr) {
        IOLog("AUDIOSERVERCLIENTCLASS::%s: not a user client\n", method);
        return kIOReturnBadArgument;
    }
    return kIOReturnSuccess;
}

// The client's device for the method's work, or the status the method answers without one.
IOReturn checkProvider(const user_clients::KernelDeviceRef::Hold& device, const char* method)
{
    if (!device) {
        IOLog("AUDIOSERVERCLIENTCLASS::%s: no provider\n", method);
        return kIOReturnNotAttached;
    }
    return kIOReturnSuccess;
}

long long milliseconds()
{
    return static_cast<long long>(mach_absolute_time() / 1'000'000);
}
} // namespace

void ASClient::stopOnClose()
{
    onStopHardware();
}

void ASClient::releaseOnTerminate()
{
    {
        user_clients::KernelDeviceRef::Hold device(mpKernelDevice);
        if (device && device->isOpen(this)) {
            device->close(this);
        }
    }
    VKStreamUserClient::releaseOnTerminate();
}

IOReturn ASClient::externalMethod(uint32_t selector, IOExternalMethodArguments* arguments,
                                  IOExternalMethodDispatch* dispatch, OSObject* target, void* reference)
{
    static IOExternalMethodDispatch methods[kSelectorCount] = {
        {&ASClient::method_Open, 0, 0, 0, 0},
        {&ASClient::method_Close, 0, 0, 0, 0},
        {&ASClient::method_StartHardware, 1, 0, 1, 0},
        {&ASClient::method_StopHardware, 0, 0, 0, 0},
        {&ASClient::method_GetControlValue, 1, 0, 1, 0},
        {&ASClient::method_SetControlValue, 2, 0, 0, 0},
        {&ASClient::method_CallDriver, 0, kVKCallDriverRecordSize, 0, kVKCallDriverRecordSize},
        {&ASClient::method_GetUserClassID, 1, 0, 1, 0},
    };
    if (selector < kSelectorCount) {
        dispatch = &methods[selector];
        if (target == nullptr) {
            target = this;
        }
    }
    return IOUserClient::externalMethod(selector, arguments, dispatch, target, reference);
}

// Each method: the target's type first, then its device (held for the method's work).
#define VK_AS_METHOD_PROLOGUE(name)                                                                             \
    ASClient* client = nullptr;                                                                                 \
    if (const IOReturn status = checkTarget(target, client, name); status != kIOReturnSuccess) {               \
        return status;                                                                                          \
    }                                                                                                           \
    user_clients::KernelDeviceRef::Hold device(client->mpKernelDevice);                                        \
    if (const IOReturn status = checkProvider(device, name); status != kIOReturnSuccess) {                     \
        return status;                                                                                          \
    }

IOReturn ASClient::method_Open(OSObject* target, void*, IOExternalMethodArguments*)
{
    VK_AS_METHOD_PROLOGUE("method_Open")
    IOLog("USB: %s %u\n", "Size of OSXDispatch", static_cast<unsigned>(kVKCallDriverRecordSize));
    if (client->isInactive()) {
        IOLog("AUDIOSERVERCLIENTCLASS::method_Open: is inactive\n");
        return kIOReturnNotAttached;
    }
    return device->open(client) ? kIOReturnSuccess : kIOReturnExclusiveAccess;
}

IOReturn ASClient::method_Close(OSObject* target, void*, IOExternalMethodArguments*)
{
    VK_AS_METHOD_PROLOGUE("method_Close")
    if (!device->isOpen(client)) {
        return kIOReturnNotOpen;
    }
    device->close(client);
    return kIOReturnSuccess;
}

IOReturn ASClient::method_StartHardware(OSObject* target, void*, IOExternalMethodArguments* arguments)
{
    VK_AS_METHOD_PROLOGUE("method_StartHardware")
    int32_t slot = -1;
    // A frame count beyond 32 bits is no buffer size.
    const uint64_t frames = arguments->scalarInput[0];
    const IOReturn status = frames > UINT32_MAX ? kIOReturnBadArgument
                                                 : client->onStartHardware(static_cast<uint32_t>(frames), slot);
    arguments->scalarOutput[0] = static_cast<uint64_t>(static_cast<int64_t>(slot));
    return status;
}

IOReturn ASClient::method_StopHardware(OSObject* target, void*, IOExternalMethodArguments*)
{
    VK_AS_METHOD_PROLOGUE("method_StopHardware")
    client->onStopHardware(); // its status is not the caller's business
    return kIOReturnSuccess;
}

IOReturn ASClient::method_GetControlValue(OSObject* target, void*, IOExternalMethodArguments* arguments)
{
    VK_AS_METHOD_PROLOGUE("method_GetControlValue")
    if (arguments->scalarInput[0] >= kControlCount) {
        return kIOReturnBadArgument;
    }
    arguments->scalarOutput[0] = 0;
    return kIOReturnSuccess;
}

IOReturn ASClient::method_SetControlValue(OSObject* target, void*, IOExternalMethodArguments* arguments)
{
    VK_AS_METHOD_PROLOGUE("method_SetControlValue")
    return arguments->scalarInput[0] < kControlCount ? kIOReturnSuccess : kIOReturnBadArgument;
}

IOReturn ASClient::method_CallDriver(OSObject* target, void*, IOExternalMethodArguments* arguments)
{
    VK_AS_METHOD_PROLOGUE("method_CallDriver")
    return user_clients::callDriver(device.get(), client, arguments);
}

#undef VK_AS_METHOD_PROLOGUE

IOReturn ASClient::method_GetUserClassID(OSObject* target, void*, IOExternalMethodArguments* arguments)
{
    auto* client = OSDynamicCast(ASClient, target);
    if (client == nullptr) {
        return kIOReturnBadArgument;
    }
    arguments->scalarOutput[0] = client->clientID();
    return kIOReturnSuccess;
}

IOReturn ASClient::onStartHardware(uint32_t bufferFrames, int32_t& slot)
{
    slot = -1;
    IOLog("@%lld onStartHardware\n", milliseconds());
    user_clients::KernelDeviceRef::Hold kernelDevice(mpKernelDevice);
    UserDispatchLock lock(kernelDevice.get(), "onStartHardware");
    if (mpDriverData == nullptr) {
        IOLog("AUDIOSERVERCLIENTCLASS::method_StartHardware: no m_pDriverData\n");
        return kIOReturnNoDevice;
    }
    if (mpAudioSM_Out == nullptr) {
        IOLog("AUDIOSERVERCLIENTCLASS::method_StartHardware: no memory for audio output\n");
        return kIOReturnNoMemory;
    }
    if (mpDriverData->isClientAttached(this)) {
        IOLog("AUDIOSERVERCLIENTCLASS::method_StartHardware: already attached\n");
        return kIOReturnBusy;
    }
    VKDevice* device = kernelDevice ? kernelDevice->device() : nullptr;
    if (device == nullptr || isInactive()) {
        IOLog("No driver or no device\n");
        return kIOReturnNotAttached;
    }
    // The layout comes from the kernel's own record of the stream, never from the shared block.
    const uint32_t channels =
        mpDriverData->outputChannels() != 0 ? mpDriverData->outputChannels() : mpDriverData->inputChannels();
    const uint32_t frequency = mpDriverData->frequency();
    if (frequency == 0) {
        // No stream configured yet: a ring laid out for rate 0 describes no stream.
        return kIOReturnNotAttached;
    }
    mpAudioSM_Out->init(channels, frequency, mpDriverData->extraBytesPerFrame());
    IOLog("USB: %s\n", "after initIOData, before m_pDriverData->attachClient");
    uint32_t index = 0;
    if (!mpDriverData->attachClient(this, mpAudioSM_Out, kVKAudioServerProcessTag, &index, bufferFrames)) {
        return kIOReturnNotAttached;
    }
    slot = static_cast<int32_t>(index);
    kernelDevice->messageToClients(STC_ClientAttached, clientID(), mpDriverData->countClients(), 0);
    return kIOReturnSuccess;
}

IOReturn ASClient::onStopHardware()
{
    IOLog("@%lld onStopHardware\n", milliseconds());
    user_clients::KernelDeviceRef::Hold device(mpKernelDevice);
    UserDispatchLock lock(device.get(), "onStopHardware");
    if (mpDriverData == nullptr) {
        return kIOReturnNoDevice;
    }
    return user_clients::detach(device.get(), mpDriverData, this) ? kIOReturnSuccess : kIOReturnNotAttached;
}
