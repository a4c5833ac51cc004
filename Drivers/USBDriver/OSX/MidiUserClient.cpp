#include "MidiUserClient.h"

#include <cstring>

#include "AQ.h"
#include "UserClientSupport.h"
#include "VKDevice.h"
#include "VKIOTrace.h"
#include "VKKernelDevice.h"
#include "IOKit/IOLib.h"

OSDefineMetaClassAndStructors(MidiUserClient, VKUserClient);

namespace {

// The device's engine when it has its area; null else. Dispatch lock held.
AQ* engineOf(VKKernelDevice* kernelDevice)
{
    VKDevice* device = kernelDevice != nullptr ? kernelDevice->device() : nullptr;
    return device != nullptr ? device->mpAQ : nullptr;
}

} // namespace

bool MidiUserClient::start(IOService* provider)
{
    if (!IOUserClient::start(provider)) {
        return false;
    }
    VKKernelDevice* kernelDevice = user_clients::takeKernelDevice(provider, mpKernelDevice);
    if (kernelDevice == nullptr) {
        return false;
    }
    mMethods[0] = {this, structureIOMethod<MidiUserClient, &MidiUserClient::userDispatch>(), kIOUCStructIStructO,
                   kVKCallDriverRecordSize, kVKCallDriverRecordSize};
    VKIOTrace trace("MIDIUSERCLIENTCLASS::start", 0);
    trace.trace("MIDIUSERCLIENTCLASS::start mKernelDevice retain count:", kernelDevice->getRetainCount());
    return kernelDevice->device() != nullptr;
}

IOExternalMethod* MidiUserClient::getTargetAndMethodForIndex(IOService** target, UInt32 index)
{
    if (index != 0 || mMethods[0].object == nullptr) {
        return nullptr;
    }
    if (target != nullptr) {
        *target = this;
    }
    return &mMethods[0];
}

IOReturn MidiUserClient::clientMemoryForType(UInt32 type, IOOptionBits* options, IOMemoryDescriptor** memory)
{
    if (memory == nullptr) {
        return kIOReturnBadArgument;
    }
    *memory = nullptr;
    user_clients::KernelDeviceRef::Hold device(mpKernelDevice);
    UserDispatchLock lock(device.get(), "clientMemoryForType");
    AQ* engine = engineOf(device.get());
    if (engine == nullptr || isInactive()) {
        return kIOReturnSuccess;
    }
    if (type != kVKMemoryMidi) {
        VKIOTrace trace("MIDIUSERCLIENTCLASS::clientMemoryForType", 0);
        trace.trace("unsupported type", static_cast<int>(type));
        return kIOReturnNoMemory;
    }
    if (options != nullptr) {
        *options = user_clients::mapOptions(type, *options);
    }
    return engine->areaMemory().getMemory(memory);
}

IOMemoryMap* MidiUserClient::mapClientMemory64(UInt32 type, task_t task, IOOptionBits options,
                                               mach_vm_address_t address)
{
    user_clients::KernelDeviceRef::Hold device(mpKernelDevice);
    UserDispatchLock lock(device.get(), "mapClientMemory");
    AQ* engine = engineOf(device.get());
    if (engine == nullptr || type != kVKMemoryMidi || isInactive()) {
        return nullptr;
    }
    return engine->areaMemory().map(task, options, address);
}

IOReturn MidiUserClient::userDispatch(void* in, void* out, IOByteCount inSize, IOByteCount* outSize)
{
    if (in == nullptr || out == nullptr || outSize == nullptr || inSize != kVKCallDriverRecordSize ||
        *outSize != kVKCallDriverRecordSize) {
        IOLog("USB: %s\n", "userDispatch invalid param");
        return kIOReturnBadArgument;
    }
    user_clients::KernelDeviceRef::Hold kernelDevice(mpKernelDevice);
    if (!kernelDevice || isInactive()) {
        IOLog("USB: %s\n", "userDispatch not attached");
        return kIOReturnNotAttached;
    }
    UserDispatchLock lock(kernelDevice.get(), "userDispatch");
    VKDevice* device = kernelDevice->device();
    if (device == nullptr) {
        IOLog("USB: %s\n", "userDispatch not attached (pDevice) ");
        return kIOReturnNotAttached;
    }
    AQ* engine = device->mpAQ;
    VKIOTrace trace("MIDIUSERCLIENTCLASS::userDispatch", 0);
    if (engine == nullptr) {
        trace.trace("userDispatch not attached");
        return kIOReturnNotAttached;
    }
    // The request is read once, from the caller's copy, into the reply.
    auto* request = static_cast<OSXDispatch*>(out);
    std::memcpy(request, in, kVKCallDriverRecordSize);
    switch (request->iReq) {
    case kReqProcessMidi:
        trace.trace("Req_ProcessMidi");
        engine->fireOutput();
        return kIOReturnSuccess;
    case kReqMidiConnect:
        trace.trace("Req_MidiConnect");
        return engine->area() != nullptr ? kIOReturnSuccess : kIOReturnBadArgument;
    case kReqMidiAttach: {
        const uint32_t attach = request->word(0);
        trace.trace("Req_MidiAttach", static_cast<int>(attach));
        if (attach == 0) {
            engine->clientDetach(this);
            return kIOReturnSuccess;
        }
        if (!engine->clientAttach(this)) {
            IOLog("USB: %s\n", "bDispatch = mAQDevice->clientAttach(this); failed");
            return kIOReturnBadArgument;
        }
        return kIOReturnSuccess;
    }
    case kReqGetKernelClientPtr: {
        trace.trace("Req_GetKernelClientPtr");
        // The client's identifier, never its address.
        const uint64_t id = clientID();
        std::memcpy(request->payload, &id, sizeof(id));
        return kIOReturnSuccess;
    }
    case kReqDeviceCommand:
        // The device command set is not part of this build: the command is not run.
        IOLog("USB: %s\n", "MIDIUSERCLIENTCLASS - device command not available");
        return kIOReturnUnsupported;
    default:
        IOLog("MIDIUSERCLIENTCLASS - unhandled inStruct->iReq %d\n", static_cast<int>(request->iReq));
        return kIOReturnBadArgument;
    }
}

void MidiUserClient::releaseOnClose()
{
    user_clients::KernelDeviceRef::Hold device(mpKernelDevice);
    if (AQ* engine = engineOf(device.get())) {
        engine->clientDetach(this);
    }
}

void MidiUserClient::releaseOnTerminate()
{
    user_clients::KernelDeviceRef::Hold device(mpKernelDevice);
    UserDispatchLock lock(device.get(), "MidiUserClient::terminate");
    if (AQ* engine = engineOf(device.get())) {
        engine->clientDetach(this);
    }
}
