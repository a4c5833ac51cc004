// The user clients of the kernel device service: what user processes open on a VKKernelDevice
// (IOServiceOpen with one of the connection types below) to call its numbered methods and map its
// numbered memories. This header holds the numbers every client type shares and the audio client
// (type 0), opened by the legacy host plug-in and the control application.
//
// Nothing a user process writes is trusted: the blocks it maps are the process's to scribble on;
// the kernel keeps its own records of the rings (DriverData), of the attached clients and of who
// owns what, and reads none of them back from shared memory.
//
// Threads: methods run on the calling process's request threads, one request at a time per device
// (UserDispatchLock); clientClose/clientDied on the connection's thread; never real-time.
#pragma once

#include <cstdint>

#include "DriverData.h"
#include "IOKit/IOUserClient.h"
#include "OSXDispatch.h"
#include "SharedMemory.h"
#include "StateChange.h"
#include "UserClientSupport.h"

class VKKernelDevice;
class VKDevice;
class DriverData;
struct AudioSM;
struct AsyncTransportData;

// Connection types (the type argument of newUserClient).
enum : UInt32
{
    kVKConnectionAudio = 0,       // AudioUserClient; refused in firmware-update mode
    kVKConnectionMidi = 1,        // MidiUserClient; refused in firmware-update mode
    kVKConnectionControl = 2,     // CtrlUserClient
    kVKConnectionAudioServer = 3, // ASClient
};

// Memory types (the type argument of clientMemoryForType / mapClientMemory).
enum : UInt32
{
    kVKMemoryDriverSM = 1,       // the device shared block (device)
    kVKMemoryMidi = 3,           // the MIDI client's (not the audio clients')
    kVKMemoryInputRing = 4,      // the device's input ring (device)
    kVKMemoryOutputRing = 5,     // this client's output ring, made on first use
    kVKMemoryVendorAsync = 6,    // the device's vendor asynchronous port block (audio client only)
    kVKMemoryAsyncTransport = 7, // this client's asynchronous transport block, made on first use
};
constexpr uint32_t kVKDriverSMSize = 30'488;
constexpr uint32_t kVKAudioSMSize = 540'656;
constexpr uint32_t kVKAsyncBlockSize = 33'556;

// The request record of the request method (AudioUserClient selector 0, ASClient selector 6).
constexpr uint32_t kVKCallDriverRecordSize = sizeof(OSXDispatch);
// The process tag an AudioServer client attaches with ('ASCL').
constexpr int32_t kVKAudioServerProcessTag = 0x4153434C;

class AudioUserClient : public VKStreamUserClient
{
    OSDeclareDefaultStructors(AudioUserClient);

public:
    enum Selector : uint32_t
    {
        kCallDriver = 0,            // 268-byte request record in and out
        kCallDriverVendorWriteAsync, // 3 scalars, any structure in: answers 0, no effect
        kCallDriverVendorReadAsync,  // 3 scalars, any structure out: answers 0, no effect
        kSelectorCount,
    };

    bool initWithTask(task_t owningTask, void* securityID, UInt32 type) override;
    IOReturn externalMethod(uint32_t selector, IOExternalMethodArguments* arguments,
                            IOExternalMethodDispatch* dispatch, OSObject* target, void* reference) override;

    // Request 3: detaches this client from the client table; state change 12 when it was attached.
    IOReturn stopUSBStream();

protected:
    void stopOnClose() override;
    // Hog mode belongs to a process; a dead one cannot give it back.
    void onDied() override;
    OSXDispatcher dispatcher() const override { return OSXDispatcher::Audio; }
    SharedMemory* otherBlock(UInt32 type) override;
    void releaseOtherBlocks() override;

private:
    static IOReturn method_CallDriver(OSObject* target, void* reference, IOExternalMethodArguments* arguments);
    static IOReturn method_CallDriverVendorWriteAsync(OSObject* target, void* reference,
                                                      IOExternalMethodArguments* arguments);
    static IOReturn method_CallDriverVendorReadAsync(OSObject* target, void* reference,
                                                     IOExternalMethodArguments* arguments);

    AsyncTransportData* mpAsyncTransport = nullptr; // null until memory type 7
    SharedMemory mcAsyncTransport;                  // kVKAsyncBlockSize
};
