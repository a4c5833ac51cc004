// The device control client (connection type 2): one method through the older method table,
// index 0, a 260-byte device command record in and the same record with the command's results
// out. Made even in firmware-update mode.
//
// Threads: as AudioUserClient.
#pragma once

#include "AudioUserClient.h"

constexpr uint32_t kVKCommandRecordSize = 260;

class CtrlUserClient : public IOUserClient
{
    OSDeclareDefaultStructors(CtrlUserClient);

public:
    using IOUserClient::initWithTask;
    bool initWithTask(task_t owningTask, void* securityID, UInt32 type) override;
    bool start(IOService* provider) override;
    IOReturn clientClose() override;
    IOReturn clientDied() override;
    bool terminate(IOOptionBits options = 0) override;
    IOExternalMethod* getTargetAndMethodForIndex(IOService** target, UInt32 index) override;

    // Index 0: both records present and both sizes kVKCommandRecordSize, else
    // kIOReturnNotPrivileged; kIOReturnNotAttached without the device.
    IOReturn userDispatch(void* in, void* out, IOByteCount inSize, IOByteCount* outSize);

    // The kernel device, retained for the caller; null once the client let go of it (terminate).
    VKKernelDevice* copyKernelDevice() const { return mpKernelDevice.copy(); }
    UInt64 clientID() const { return VKClientIdentifier(this); }

protected:
    void free() override;

private:
    // Members in the order of the client's record.
    user_clients::KernelDeviceRef mpKernelDevice; // from start to terminate
    task_t mOwningTask = 0;
    uint8_t mClientDied = 0;
    IOExternalMethod mMethods[1]{};
};
