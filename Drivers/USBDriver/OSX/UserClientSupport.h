// What the user clients of the kernel device share: the client table reference they take at
// start, the detach with its announcement, what a closed or dead client leaves behind, and the
// checks before a request record reaches the request layer.
//
// Threads: request and connection threads; callers hold the device's dispatch lock
// (UserDispatchLock) where a line says so.
#pragma once

#include "DriverData.h"
#include "IOKit/IOUserClient.h"
#include "OSXDispatch.h"
#include "SharedMemory.h"
#include "VKKernelSync.h"

struct AudioSM;
class DriverData;
class VKDevice;
class VKKernelDevice;

namespace user_clients {

// A user client's reference to its kernel device. Methods on the process's threads take a
// retained copy for their work; terminate, which the device's end may run on another thread,
// lets go of the reference, so the device is not held by a client of a device that left.
class KernelDeviceRef
{
public:
    KernelDeviceRef() = default;
    ~KernelDeviceRef() { reset(); }
    KernelDeviceRef(const KernelDeviceRef&) = delete;
    KernelDeviceRef& operator=(const KernelDeviceRef&) = delete;

    // Keeps a reference to `device` (replacing any other).
    void set(VKKernelDevice* device);
    // Lets go of it.
    void reset();
    // The device retained for the caller, or null.
    VKKernelDevice* copy() const;

    // A copy held for a scope.
    class Hold
    {
    public:
        explicit Hold(const KernelDeviceRef& ref) : m_device(ref.copy()) {}
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
        VKKernelDevice* get() const { return m_device; }
        VKKernelDevice* operator->() const { return m_device; }
        explicit operator bool() const { return m_device != nullptr; }

    private:
        VKKernelDevice* m_device;
    };

private:
    mutable Mutex m_lock;
    VKKernelDevice* m_device = nullptr;
};

// The provider as the client's kernel device, kept in `ref`; null ("mKernelDevice cast failed")
// when the provider is not one.
VKKernelDevice* takeKernelDevice(IOService* provider, KernelDeviceRef& ref);
// The start of a client that plays through the client table: the kernel device and its table,
// both kept; false, keeping neither, without them.
bool takeKernelDeviceAndTable(IOService* provider, KernelDeviceRef& ref, DriverData*& driverData);
// Lets go of a kept client table (nothing when there is none).
void releaseDriverData(DriverData*& driverData);

// Dispatch lock held. Takes `client` out of the client table and announces it (state change 12
// with the clients still attached); false when it was not attached (nothing announced).
bool detach(VKKernelDevice* kernelDevice, DriverData* driverData, IOUserClient* client);

// Dispatch lock held. A client that closed or died holds nothing any more: the inputs-exclusive,
// outputs-exclusive and private-data ids that name it are cleared, whatever the client type.
void clientClosed(VKKernelDevice* kernelDevice, IOUserClient* client);

// How a process maps a memory type: the device's input ring, which every client reads and only
// the kernel writes, read-only (a process writing there faults in itself, and the other clients'
// input stays as the kernel wrote it); every other block as the caller asks.
IOOptionBits mapOptions(UInt32 type, IOOptionBits asked);

// A request record of the request method: both records present and of the record size (else
// kIOReturnBadArgument), the device there (else kIOReturnNotAttached); then one request under the
// dispatch lock. `caller` is made under that lock from the client's own members.
template <class Client>
IOReturn callDriver(VKKernelDevice* kernelDevice, Client* client, IOExternalMethodArguments* arguments);
IOReturn callDriver(VKKernelDevice* kernelDevice, IOUserClient* client, IOExternalMethodArguments* arguments,
                    OSXDispatchCaller (*makeCaller)(IOUserClient* client));

template <class Client>
IOReturn callDriver(VKKernelDevice* kernelDevice, Client* client, IOExternalMethodArguments* arguments)
{
    return callDriver(kernelDevice, client, arguments,
                      [](IOUserClient* c) { return static_cast<Client*>(c)->dispatchCaller(); });
}

} // namespace user_clients

// The base of every user client of the kernel device: its reference to the device, the task that
// opened it and whether that task died, with the life cycle they share. clientClose stops what the
// client started, clears the ids that name it and terminates; terminate lets go of the device.
class VKUserClient : public IOUserClient
{
    OSDeclareAbstractStructors(VKUserClient);

public:
    using IOUserClient::initWithTask;
    bool initWithTask(task_t owningTask, void* securityID, UInt32 type) override;
    IOReturn clientClose() override;
    IOReturn clientDied() override;
    bool terminate(IOOptionBits options = 0) override;

    // The kernel device, retained for the caller; null once the client let go of it (terminate).
    VKKernelDevice* copyKernelDevice() const { return mpKernelDevice.copy(); }
    UInt64 clientID() const { return VKClientIdentifier(this); }
    bool isDead() const { return mClientDied != 0; }

protected:
    void free() override;
    // clientClose, before anything is let go of: what the client still runs is stopped.
    virtual void stopOnClose() {}
    // clientClose, dispatch lock held: what the client keeps of the device beyond the reference.
    virtual void releaseOnClose() {}
    // clientDied, before the connection's own handling.
    virtual void onDied() {}
    // terminate, before the device reference goes: what the client made or attached.
    virtual void releaseOnTerminate() {}

    user_clients::KernelDeviceRef mpKernelDevice; // from start to terminate
    task_t mOwningTask = 0;
    uint8_t mClientDied = 0;
};

// A client that plays through the client table (the audio and the AudioServer clients): the
// table, its output ring and the process it names, the memory types 1, 4 and 5, and the request
// record.
class VKStreamUserClient : public VKUserClient
{
    OSDeclareAbstractStructors(VKStreamUserClient);

public:
    bool initWithTask(task_t owningTask, void* securityID, UInt32 type) override;
    bool start(IOService* provider) override;
    IOReturn clientMemoryForType(UInt32 type, IOOptionBits* options, IOMemoryDescriptor** memory) override;
    IOMemoryMap* mapClientMemory64(UInt32 type, task_t task, IOOptionBits options,
                                   mach_vm_address_t address) override;

    // --- For the request layer (under the dispatch lock).
    DriverData* driverData() const { return mpDriverData; }
    // This client's output ring; null until memory type 5 was asked for.
    AudioSM* outputRing() const { return mpAudioSM_Out; }
    int32_t processID() const { return mProcessID; }
    void setProcessID(int32_t pid) { mProcessID = pid; }
    // What a request needs of this client, from its own members. Dispatch lock held.
    OSXDispatchCaller dispatchCaller();

protected:
    void free() override;
    void releaseOnClose() override;
    // Out of the client table (state change 12) and the output ring gone, under the dispatch lock.
    void releaseOnTerminate() override;
    // Which request layer the client's requests go to.
    virtual OSXDispatcher dispatcher() const = 0;
    // A memory type beyond 1, 4 and 5 (null: none); under the dispatch lock.
    virtual SharedMemory* otherBlock(UInt32 type);
    // terminate, dispatch lock held: the blocks of the derived client.
    virtual void releaseOtherBlocks() {}

    DriverData* mpDriverData = nullptr; // retained in start
    SharedMemory mcAudioSM_Out;         // kVKAudioSMSize
    AudioSM* mpAudioSM_Out = nullptr;   // null until memory type 5
    int32_t mProcessID = 0;             // request 30

private:
    // The block of a memory type (the output ring made on first use); null for other types.
    SharedMemory* blockFor(VKDevice* device, UInt32 type);
};
