#include "StateChange.h"

#include <atomic>

#include "IOKit/IOLib.h"
#include "VKDevice.h"
#include "VKKernelDevice.h"

QZ_StateChange makeStateChange(uint32_t code, uint64_t clientID, uint32_t parameter1, uint32_t parameter2)
{
    QZ_StateChange record{};
    record.size = sizeof record;
    record.code = code;
    record.parameter1 = parameter1;
    record.clientID = clientID;
    record.parameter2 = parameter2;
    return record;
}

void setMixerModeProperty(VKKernelDevice& service, uint32_t mode)
{
    service.setProperty("MixerMode", mode, 32);
}

void setMixerValuesProperties(VKKernelDevice& service, uint16_t bitmap, uint16_t knob)
{
    service.setProperty("MixerValues", bitmap, 16);
    service.setProperty("MixerKnob", knob, 16);
}

void VKDevice::stcNotify(uint32_t code, uint32_t parameter)
{
    mOwner.messageToClients(code, 0, parameter, 0);
}

void VKDevice::stcNotifyStreaming(uint32_t code, uint32_t parameter)
{
    if (code == STC_STREAM_BROKEN || code == STC_STREAM_AT_POWER_ON) {
        // Armed once: the handling that follows takes it down again.
        uint32_t unarmed = 0;
        std::atomic_ref<uint32_t>(mStreamBrokenCount).compare_exchange_strong(unarmed, 1);
    }
    mStreamStateChange.store(code);
    mStreamStateChanges.fetch_add(1);
    stcNotify(code, parameter);
}
