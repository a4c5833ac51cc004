// The AudioServer plug-in's client of the kernel device (connection type 3): opens and closes the
// device, starts and stops its stream for the plug-in's IO cycle, and carries the request method
// it shares with the audio client (selector 6). Memory types 1, 4 and 5 (AudioUserClient.h).
//
// Threads: as AudioUserClient.
#pragma once

#include "AudioUserClient.h"

class ASClient : public VKStreamUserClient
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

    IOReturn externalMethod(uint32_t selector, IOExternalMethodArguments* arguments,
                            IOExternalMethodDispatch* dispatch, OSObject* target, void* reference) override;

    // Attaches the client's output ring to the client table (state change 11); `slot` gets the
    // slot, -1 on failure.
    IOReturn onStartHardware(uint32_t bufferFrames, int32_t& slot);
    // Detaches it (state change 12).
    IOReturn onStopHardware();

protected:
    // A plug-in that goes away while streaming leaves no slot behind.
    void stopOnClose() override;
    // An open held by this client would keep the device's termination waiting.
    void releaseOnTerminate() override;
    OSXDispatcher dispatcher() const override { return OSXDispatcher::AudioServer; }

private:
    static IOReturn method_Open(OSObject* target, void* reference, IOExternalMethodArguments* arguments);
    static IOReturn method_Close(OSObject* target, void* reference, IOExternalMethodArguments* arguments);
    static IOReturn method_StartHardware(OSObject* target, void* reference, IOExternalMethodArguments* arguments);
    static IOReturn method_StopHardware(OSObject* target, void* reference, IOExternalMethodArguments* arguments);
    static IOReturn method_GetControlValue(OSObject* target, void* reference, IOExternalMethodArguments* arguments);
    static IOReturn method_SetControlValue(OSObject* target, void* reference, IOExternalMethodArguments* arguments);
    static IOReturn method_CallDriver(OSObject* target, void* reference, IOExternalMethodArguments* arguments);
    static IOReturn method_GetUserClassID(OSObject* target, void* reference, IOExternalMethodArguments* arguments);
};
