// The MIDI client (connection type 1): an outside MIDI process maps the device's MIDI area (memory
// type 3) and exchanges MIDI through its rings; one method (index 0, a 268-byte request record in
// and out) attaches it to the family engine, kicks the output and carries device commands. One
// MIDI client at a time is attached to a device. Refused in firmware-update mode.
//
// Threads: as AudioUserClient.
#pragma once

#include "AudioUserClient.h"

class AQ;

class MidiUserClient : public VKUserClient
{
    OSDeclareDefaultStructors(MidiUserClient);

public:
    // Request codes of the method.
    enum : uint32_t
    {
        kReqProcessMidi = 21,
        kReqMidiConnect = 22,
        kReqMidiAttach = 23,
        kReqGetKernelClientPtr = 27,
        kReqDeviceCommand = 35,
    };

    bool start(IOService* provider) override;
    IOExternalMethod* getTargetAndMethodForIndex(IOService** target, UInt32 index) override;
    IOReturn clientMemoryForType(UInt32 type, IOOptionBits* options, IOMemoryDescriptor** memory) override;
    IOMemoryMap* mapClientMemory64(UInt32 type, task_t task, IOOptionBits options, mach_vm_address_t address) override;

    // Index 0: both records present and of kVKCallDriverRecordSize, else kIOReturnBadArgument;
    // kIOReturnNotAttached without the device or its engine.
    IOReturn userDispatch(void* in, void* out, IOByteCount inSize, IOByteCount* outSize);
    // Has no effect: the client finds new input by watching the rings.
    void triggerClient() {}

protected:
    // Out of the engine (dispatch lock held).
    void releaseOnClose() override;
    void releaseOnTerminate() override;

private:
    IOExternalMethod mMethods[1]{};
};
