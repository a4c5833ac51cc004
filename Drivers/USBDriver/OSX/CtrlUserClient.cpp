#include "CtrlUserClient.h"

#include <cstring>

#include "UserClientSupport.h"
#include "VKDevice.h"
#include "VKKernelDevice.h"
#include "IOKit/IOLib.h"

OSDefineMetaClassAndStructors(CtrlUserClient, VKUserClient);

bool CtrlUserClient::initWithTask(task_t owningTask, void* securityID, UInt32 type)
{
    IOLog("USB: %s %u\n", "sizeof(QZ_Dispatch) is ", static_cast<unsigned>(kVKCommandRecordSize));
    return VKUserClient::initWithTask(owningTask, securityID, type);
}

bool CtrlUserClient::start(IOService* provider)
{
    if (!IOUserClient::start(provider)) {
        return false;
    }
    VKKernelDevice* kernelDevice = user_clients::takeKernelDevice(provider, mpKernelDevice);
    if (kernelDevice == nullptr) {
        return false;
    }
    mMethods[0] = {this, structureIOMethod<CtrlUserClient, &CtrlUserClient::userDispatch>(), kIOUCStructIStructO,
                   kVKCommandRecordSize, kVKCommandRecordSize};
    return kernelDevice->device() != nullptr;
}

IOExternalMethod* CtrlUserClient::getTargetAndMethodForIndex(IOService** target, UInt32 index)
{
    if (index != 0 || mMethods[0].object == nullptr) {
        return nullptr;
    }
    if (target != nullptr) {
        *target = this;
    }
    return &mMethods[0];
}

IOReturn CtrlUserClient::userDispatch(void* in, void* out, IOByteCount inSize, IOByteCount* outSize)
{
    if (in == nullptr || out == nullptr || outSize == nullptr || inSize != kVKCommandRecordSize ||
        *outSize != kVKCommandRecordSize) {
        IOLog("USB: %s\n", "userDispatch invalid param");
        return kIOReturnNotPrivileged;
    }
    user_clients::KernelDeviceRef::Hold device(mpKernelDevice);
    if (!device || isInactive()) {
        IOLog("USB: %s\n", "userDispatch not attached");
        return kIOReturnNotAttached;
    }
    UserDispatchLock lock(device.get(), "userDispatch");
    if (device->device() == nullptr) {
        IOLog("USB: %s\n", "userDispatch not attached (pDevice) ");
        return kIOReturnNotAttached;
    }
    // The command runs on a kernel copy: the reply buffer is written once, when the command is done.
    QZ_Dispatch command{};
    std::memcpy(&command, in, kVKCommandRecordSize);
    const IOReturn status = device->device()->onDispatch(&command);
    std::memcpy(out, &command, kVKCommandRecordSize);
    return status;
}
