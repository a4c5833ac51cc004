// The AudioServer plug-in's client of the kernel device (connection type 3): opens and closes the
// device, starts and stops its stream for the plug-in's IO cycle, and carries the request method
// it shares with the audio client (selector 6). Memory types 1, 4 and 5 (AudioUserClient.h).
//
// Threads: as AudioUserClient.
#pragma once

#include "AudioUserClient.h"

class ASClient : public IOUserClient
{
    OSDeclareDefaultStructors(ASClient);

public:
    enum Selector : uint32_t
    {
        kOpen = 0,         // none
        kClose,            // none
        kStartHardware,    // in: IO buffer size in frames; out: the client slot
        kStopHardware,     // none; answers 0 whatever the stop did
        kGetControlValue,  // in: index (0 or 1); out: 0
        kSetControlValue,  // in: index (0 or 1), value; no effect
        kCallDriver,       // 268-byte request record in and out
        kGetUserClassID,   // in: one scalar, not read; out: the client's identifier
        kSelectorCount,
    };

    using IOUserClient::initWithTask;
    bool initWithTask(task_t owningTask, void* securityID, UInt32 type) override;
    bool start(IOService* provider) override;
    IOReturn clientClose() override;
    IOReturn clientDied() override;
    bool terminate(IOOptionBits options = 0) override;
    IOReturn externalMethod(uint32_t selector, IOExternalMethodArguments* arguments,
                            IOExternalMethodDispatch* dispatch, OSObject* target, void* reference) override;
    IOReturn clientMemoryForType(UInt32 type, IOOptionBits* options, IOMemoryDescriptor** memory) override;
    IOMemoryMap* mapClientMemory64(UInt32 type, task_t task, IOOptionBits options,
                                   mach_vm_address_t address) override;

    // --- For the request layer (under the dispatch lock).
    // The kernel device, retained for the caller; null once the client let go of it (terminate).
    VKKernelDevice* copyKernelDevice() const { return mpKernelDevice.copy(); }
    DriverData* driverData() const { return mpDriverData; }
    AudioSM* outputRing() const { return mpAudioSM_Out; }
    int32_t processID() const { return mProcessID; }
    void setProcessID(int32_t pid) { mProcessID = pid; }
    UInt64 clientID() const { return VKClientIdentifier(this); }
    bool isDead() const { return mClientDied != 0; }
    // What a request needs of this client, from its own members. Dispatch lock held.
    OSXDispatchCaller dispatchCaller();

    // Attaches the client's output ring to the client table (state change 11); `slot` gets the
    // slot, -1 on failure.
    IOReturn onStartHardware(uint32_t bufferFrames, int32_t& slot);
    // Detaches it (state change 12).
    IOReturn onStopHardware();

protected:
    void free() override;

private:
    static IOReturn method_Open(OSObject* target, void* reference, IOExternalMethodArguments* arguments);
    static IOReturn method_Close(OSObject* target, void* reference, IOExternalMethodArguments* arguments);
    static IOReturn method_StartHardware(OSObject* target, void* reference, IOExternalMethodArguments* arguments);
    static IOReturn method_StopHardware(OSObject* target, void* reference, IOExternalMethodArguments* arguments);
    static IOReturn method_GetControlValue(OSObject* target, void* reference, IOExternalMethodArguments* arguments);
    static IOReturn method_SetControlValue(OSObject* target, void* reference, IOExternalMethodArguments* arguments);
    static IOReturn method_CallDriver(OSObject* target, void* reference, IOExternalMethodArguments* arguments);
    static IOReturn method_GetUserClassID(OSObject* target, void* reference, IOExternalMethodArguments* arguments);
    SharedMemory* blockFor(VKDevice* device, UInt32 type);

    // Members in the order of the client's record.
    user_clients::KernelDeviceRef mpKernelDevice; // from start to terminate
    task_t mOwningTask = 0;
    uint8_t mClientDied = 0;                  // cleared at initWithTask
    SharedMemory mcAudioSM_Out;               // kVKAudioSMSize
    AudioSM* mpAudioSM_Out = nullptr;         // null until memory type 5
    int32_t mProcessID = 0;                   // request 30
    DriverData* mpDriverData = nullptr;       // retained in start
};
