#include "ASClient.h"

#include "AudioSM.h"
#include "DriverData.h"
#include "DriverSM.h"
#include "UserClientSupport.h"
#include "VKDevice.h"
#include "VKKernelDevice.h"
#include "IOKit/IOLib.h"
#include "mach/mach_time.h"

OSDefineMetaClassAndStructors(ASClient, IOUserClient);

namespace {
constexpr uint32_t kControlCount = 2;

// The target as an ASClient with its provider, or the status the method answers.
IOReturn checkTarget(OSObject* target, ASClient*& client, const char* method)
{
    client = OSDynamicCast(ASClient, target);
    if (client == nullptr) {
        IOLog("AUDIOSERVERCLIENTCLASS::%s: not a user client\n", method);
        return kIOReturnBadArgument;
    }
    if (client->kernelDevice() == nullptr) {
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

OSXDispatchCaller ASClient::dispatchCaller()
{
    OSXDispatchCaller caller;
    caller.dispatcher = OSXDispatcher::AudioServer;
    caller.client = this;
    caller.clientID = clientID();
    caller.driverData = mpDriverData;
    caller.outputRing = mpAudioSM_Out;
    caller.outputRingSize = mpAudioSM_Out != nullptr ? kVKAudioSMSize : 0;
    caller.processID = &mProcessID;
    return caller;
}

bool ASClient::initWithTask(task_t owningTask, void* securityID, UInt32 type)
{
    if (!IOUserClient::initWithTask(owningTask, securityID, type)) {
        return false;
    }
    if (owningTask == 0) {
        IOLog("USB: %s\n", "owningTask is NULL");
        return false;
    }
    mpKernelDevice = nullptr;
    mOwningTask = owningTask;
    mClientDied = 0;
    mpAudioSM_Out = nullptr;
    mProcessID = 0;
    mpDriverData = nullptr;
    return true;
}

bool ASClient::start(IOService* provider)
{
    if (!IOUserClient::start(provider)) {
        return false;
    }
    auto* kernelDevice = OSDynamicCast(VKKernelDevice, provider);
    if (kernelDevice == nullptr) {
        IOLog("USB: %s\n", "mKernelDevice cast failed");
        return false;
    }
    kernelDevice->retain();
    mpKernelDevice = kernelDevice;
    mpDriverData = user_clients::retainDriverData(kernelDevice->device());
    if (mpDriverData == nullptr) {
        releaseStartResources();
        return false;
    }
    return true;
}

void ASClient::releaseStartResources()
{
    if (mpDriverData != nullptr) {
        mpDriverData->release();
        mpDriverData = nullptr;
    }
    OSSafeReleaseNULL(mpKernelDevice);
}

IOReturn ASClient::clientClose()
{
    // A plug-in that goes away while streaming leaves no slot behind.
    onStopHardware();
    mOwningTask = 0;
    {
        UserDispatchLock lock(mpKernelDevice, "clientClose");
        if (mpDriverData != nullptr) {
            mpDriverData->release();
            mpDriverData = nullptr;
        }
        user_clients::clientClosed(mpKernelDevice, this);
    }
    terminate();
    return kIOReturnSuccess;
}

IOReturn ASClient::clientDied()
{
    mClientDied = 1;
    return IOUserClient::clientDied();
}

bool ASClient::terminate(IOOptionBits options)
{
    const bool result = IOUserClient::terminate(options);
    // An open held by this client would keep the device's termination waiting.
    if (mpKernelDevice != nullptr && mpKernelDevice->isOpen(this)) {
        mpKernelDevice->close(this);
    }
    UserDispatchLock lock(mpKernelDevice, "terminate");
    user_clients::detach(mpKernelDevice, mpDriverData, this);
    mpAudioSM_Out = nullptr;
    mcAudioSM_Out.term(true);
    return result;
}

void ASClient::free()
{
    releaseStartResources();
    IOUserClient::free();
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

IOReturn ASClient::method_Open(OSObject* target, void*, IOExternalMethodArguments*)
{
    ASClient* client = nullptr;
    if (const IOReturn status = checkTarget(target, client, "method_Open"); status != kIOReturnSuccess) {
        return status;
    }
    IOLog("USB: %s %u\n", "Size of OSXDispatch", static_cast<unsigned>(kVKCallDriverRecordSize));
    if (client->isInactive()) {
        IOLog("AUDIOSERVERCLIENTCLASS::method_Open: is inactive\n");
        return kIOReturnNotAttached;
    }
    return client->mpKernelDevice->open(client) ? kIOReturnSuccess : kIOReturnExclusiveAccess;
}

IOReturn ASClient::method_Close(OSObject* target, void*, IOExternalMethodArguments*)
{
    ASClient* client = nullptr;
    if (const IOReturn status = checkTarget(target, client, "method_Close"); status != kIOReturnSuccess) {
        return status;
    }
    if (!client->mpKernelDevice->isOpen(client)) {
        return kIOReturnNotOpen;
    }
    client->mpKernelDevice->close(client);
    return kIOReturnSuccess;
}

IOReturn ASClient::method_StartHardware(OSObject* target, void*, IOExternalMethodArguments* arguments)
{
    ASClient* client = nullptr;
    if (const IOReturn status = checkTarget(target, client, "method_StartHardware"); status != kIOReturnSuccess) {
        return status;
    }
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
    ASClient* client = nullptr;
    if (const IOReturn status = checkTarget(target, client, "method_StopHardware"); status != kIOReturnSuccess) {
        return status;
    }
    client->onStopHardware(); // its status is not the caller's business
    return kIOReturnSuccess;
}

IOReturn ASClient::method_GetControlValue(OSObject* target, void*, IOExternalMethodArguments* arguments)
{
    ASClient* client = nullptr;
    if (const IOReturn status = checkTarget(target, client, "method_GetControlValue"); status != kIOReturnSuccess) {
        return status;
    }
    if (arguments->scalarInput[0] >= kControlCount) {
        return kIOReturnBadArgument;
    }
    arguments->scalarOutput[0] = 0;
    return kIOReturnSuccess;
}

IOReturn ASClient::method_SetControlValue(OSObject* target, void*, IOExternalMethodArguments* arguments)
{
    ASClient* client = nullptr;
    if (const IOReturn status = checkTarget(target, client, "method_SetControlValue"); status != kIOReturnSuccess) {
        return status;
    }
    return arguments->scalarInput[0] < kControlCount ? kIOReturnSuccess : kIOReturnBadArgument;
}

IOReturn ASClient::method_CallDriver(OSObject* target, void*, IOExternalMethodArguments* arguments)
{
    ASClient* client = nullptr;
    if (const IOReturn status = checkTarget(target, client, "method_CallDriver"); status != kIOReturnSuccess) {
        return status;
    }
    return user_clients::callDriver(client->mpKernelDevice, client, arguments);
}

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
    UserDispatchLock lock(mpKernelDevice, "onStartHardware");
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
    VKDevice* device = mpKernelDevice->device();
    if (device == nullptr) {
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
    mpKernelDevice->messageToClients(kVKStateClientAttached, clientID(), mpDriverData->countClients(), 0);
    return kIOReturnSuccess;
}

IOReturn ASClient::onStopHardware()
{
    IOLog("@%lld onStopHardware\n", milliseconds());
    UserDispatchLock lock(mpKernelDevice, "onStopHardware");
    if (mpDriverData == nullptr) {
        return kIOReturnNoDevice;
    }
    return user_clients::detach(mpKernelDevice, mpDriverData, this) ? kIOReturnSuccess : kIOReturnNotAttached;
}

IOReturn ASClient::clientMemoryForType(UInt32 type, IOOptionBits*, IOMemoryDescriptor** memory)
{
    if (memory == nullptr) {
        return kIOReturnBadArgument;
    }
    *memory = nullptr;
    UserDispatchLock lock(mpKernelDevice, "clientMemoryForType");
    if (mpKernelDevice == nullptr || mpKernelDevice->device() == nullptr || isInactive()) {
        return kIOReturnNotAttached;
    }
    SharedMemory* block = blockFor(type);
    return block != nullptr ? block->getMemory(memory) : kIOReturnNoMemory;
}

IOMemoryMap* ASClient::mapClientMemory64(UInt32 type, task_t task, IOOptionBits options, mach_vm_address_t address)
{
    UserDispatchLock lock(mpKernelDevice, "mapClientMemory");
    if (mpKernelDevice == nullptr || mpKernelDevice->device() == nullptr || isInactive()) {
        return nullptr;
    }
    SharedMemory* block = blockFor(type);
    return block != nullptr ? block->map(task, options, address) : nullptr;
}

SharedMemory* ASClient::blockFor(UInt32 type)
{
    VKDevice* device = mpKernelDevice->device();
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
        IOLog("USB: %s %u\n", "unsupported type", static_cast<unsigned>(type));
        return nullptr;
    }
}
