// What the user clients of the kernel device share: the client table reference they take at
// start, the detach with its announcement, what a closed or dead client leaves behind, and the
// checks before a request record reaches the request layer.
//
// Threads: request and connection threads; callers hold the device's dispatch lock
// (UserDispatchLock) where a line says so.
#pragma once

#include "IOKit/IOUserClient.h"
#include "OSXDispatch.h"
#include "VKKernelSync.h"

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
