// The device control client (connection type 2): one method through the older method table,
// index 0, a 260-byte device command record in and the same record with the command's results
// out. Made even in firmware-update mode.
//
// Threads: as AudioUserClient.
#pragma once

#include "AudioUserClient.h"

constexpr uint32_t kVKCommandRecordSize = 260;

class CtrlUserClient : public VKUserClient
{
    OSDeclareDefaultStructors(CtrlUserClient);

public:
    bool initWithTask(task_t owningTask, void* securityID, UInt32 type) override;
    bool start(IOService* provider) override;
    IOExternalMethod* getTargetAndMethodForIndex(IOService** target, UInt32 index) override;

    // Index 0: both records present and both sizes kVKCommandRecordSize, else
    // kIOReturnNotPrivileged; kIOReturnNotAttached without the device.
    IOReturn userDispatch(void* in, void* out, IOByteCount inSize, IOByteCount* outSize);

private:
    IOExternalMethod mMethods[1]{};
};
