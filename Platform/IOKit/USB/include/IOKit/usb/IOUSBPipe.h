// A pipe of the kernel USB family: one endpoint of a device's current configuration (or its
// default control pipe), over the simulated bus.
//
// Bulk and interrupt Read/Write with data and completion time-outs (ms, 0 = none) and a completion
// (target, action, parameter) that receives the status and the bytes not transferred; without a
// completion they wait for the transfer. Isochronous Read/Write take a start frame and a frame
// list; write data is taken when its frame goes out. Completions run on the bus's completion
// threads, never inside the call that submits or aborts. A pipe whose interface changed
// alternate, or whose device went away, answers kIOReturnNotOpen or kIOReturnNoDevice.
//
// Thread safety: every function may be called from any thread, completions included. The
// asynchronous Read/Write and Abort may be called under the real-time mark (platform/RealTime.h):
// their queueing is the family's work; the synchronous forms wait and may not.
#pragma once

#include <memory>

#include "IOKit/IOMemoryDescriptor.h"
#include "IOKit/usb/USB.h"
#include "libkern/c++/OSObject.h"

namespace usbsim {
class Device;
class Pipe;
} // namespace usbsim

class IOUSBPipe : public OSObject
{
    OSDeclareDefaultStructors(IOUSBPipe)

        public :
        // A pipe over an endpoint, or the default control pipe of a device.
        static IOUSBPipe* withPipe(std::shared_ptr<usbsim::Pipe> pipe);
    static IOUSBPipe* withDefaultPipe(std::shared_ptr<usbsim::Device> device);

    UInt8 GetDirection() const;      // kUSBOut, kUSBIn, or kUSBAnyDirn for the control pipe
    UInt8 GetEndpointNumber() const; // 0 for the control pipe
    UInt8 GetType() const;           // kUSBControl, kUSBIsoc, kUSBBulk, kUSBInterrupt
    UInt16 GetMaxPacketSize() const; // as allocated now (SetPipePolicy may lower it)
    UInt8 GetInterval() const;
    const IOUSBEndpointDescriptor* GetEndpointDescriptor() const;

    IOReturn Read(IOMemoryDescriptor* buffer, UInt32 noDataTimeout, UInt32 completionTimeout,
                  IOByteCount reqCount, IOUSBCompletion* completion = nullptr,
                  IOByteCount* bytesRead = nullptr);
    IOReturn Write(IOMemoryDescriptor* buffer, UInt32 noDataTimeout, UInt32 completionTimeout,
                   IOByteCount reqCount, IOUSBCompletion* completion = nullptr);
    IOReturn Read(IOMemoryDescriptor* buffer, UInt64 frameStart, UInt32 numFrames,
                  IOUSBLowLatencyIsocFrame* frameList, IOUSBLowLatencyIsocCompletion* completion,
                  UInt32 updateFrequency = 0);
    IOReturn Write(IOMemoryDescriptor* buffer, UInt64 frameStart, UInt32 numFrames,
                   IOUSBLowLatencyIsocFrame* frameList, IOUSBLowLatencyIsocCompletion* completion,
                   UInt32 updateFrequency = 0);

    // Every outstanding transfer completes with kIOReturnAborted.
    IOReturn Abort();
    // Clears the halt, aborting what is queued; with the device request the device's endpoint too.
    IOReturn ClearPipeStall(bool withDeviceRequest);
    // Isochronous bandwidth in bytes per (micro)frame.
    IOReturn SetPipePolicy(UInt16 maxPacketSize, UInt8 maxInterval);

protected:
    void free() override;

private:
    IOReturn transfer(bool in, IOMemoryDescriptor* buffer, UInt32 noDataTimeout, UInt32 completionTimeout,
                      IOByteCount reqCount, IOUSBCompletion* completion, IOByteCount* bytesDone);
    IOReturn isochronous(bool in, IOMemoryDescriptor* buffer, UInt64 frameStart, UInt32 numFrames,
                         IOUSBLowLatencyIsocFrame* frameList, IOUSBLowLatencyIsocCompletion* completion,
                         UInt32 updateFrequency);

    std::shared_ptr<usbsim::Pipe> m_pipe;     // null for the control pipe
    std::shared_ptr<usbsim::Device> m_device; // the control pipe's device
    IOUSBEndpointDescriptor m_descriptor = {};
};
