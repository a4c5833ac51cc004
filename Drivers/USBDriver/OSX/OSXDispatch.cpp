#include "OSXDispatch.h"

#include <cstring>

#include "DriverData.h"
#include "IOKit/IOLib.h"
#include "VKDevice.h"
#include "VKKernelDevice.h"

uint32_t OSXDispatch::word(uint32_t n) const
{
    uint32_t value = 0;
    if (n < kOSXDispatchPayloadSize / 4)
        std::memcpy(&value, payload + 4 * n, sizeof value);
    return value;
}

void OSXDispatch::setWord(uint32_t n, uint32_t value)
{
    if (n < kOSXDispatchPayloadSize / 4)
        std::memcpy(payload + 4 * n, &value, sizeof value);
}

IOReturn OSXDispatchRequest(VKKernelDevice* device, const OSXDispatchCaller& caller, OSXDispatch& record)
{
    if (device == nullptr || device->device() == nullptr)
    {
        IOLog("USB: %s\n", "userDispatch not attached (pDevice)");
        return kIOReturnNotAttached;
    }
    IOLog("unhandled inStruct->iReq %d\n", static_cast<int>(record.iReq));
    return caller.dispatcher == OSXDispatcher::Audio ? kIOReturnBadArgument : kIOReturnSuccess;
}

IOReturn OSXStopUSBStream(VKKernelDevice* device, const OSXDispatchCaller& caller)
{
    DriverData* table = caller.driverData;
    if (device == nullptr || table == nullptr)
        return kIOReturnNoDevice;
    if (caller.client == nullptr || !table->isClientAttached(caller.client))
        return kIOReturnNotAttached;
    table->detachClient(caller.client);
    return kIOReturnSuccess;
}
