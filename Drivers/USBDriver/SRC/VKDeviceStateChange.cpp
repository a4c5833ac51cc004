// The device's state changes to user clients, sent through its owner.
#include <atomic>

#include "StateChange.h"
#include "VKDevice.h"
#include "VKDeviceOwner.h"

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
