#include "IOKit/usb/IOUSBPipe.h"

#include <mutex>

#include "platform/HostClock.h"
#include "platform/RealTime.h"
#include "usbsim/Bus.h"

OSDefineMetaClassAndStructors(IOUSBPipe, OSObject)

    namespace
{

    // Waits for one transfer of a synchronous Read or Write.
    struct SyncWait
    {
        std::mutex mutex;
        platform::host_clock::Condition done;
        bool finished = false;
        IOReturn status = kIOReturnSuccess;
        UInt32 remaining = 0;

        static void complete(void* target, void*, IOReturn status, UInt32 remaining)
        {
            auto* self = static_cast<SyncWait*>(target);
            std::lock_guard lock(self->mutex);
            self->status = status;
            self->remaining = remaining;
            self->finished = true;
            self->done.notifyAll();
        }
        void wait()
        {
            std::unique_lock lock(mutex);
            done.wait(lock, [&] { return finished; });
        }
    };

} // namespace

IOUSBPipe* IOUSBPipe::withPipe(std::shared_ptr<usbsim::Pipe> pipe)
{
    if (!pipe) {
        return nullptr;
    }
    auto* self = new IOUSBPipe;
    if (!self->init()) {
        self->release();
        return nullptr;
    }
    const auto& ep = pipe->endpoint();
    self->m_descriptor = {7, 5, ep.bEndpointAddress, ep.bmAttributes, ep.wMaxPacketSize, ep.bInterval};
    self->m_pipe = std::move(pipe);
    return self;
}

IOUSBPipe* IOUSBPipe::withDefaultPipe(std::shared_ptr<usbsim::Device> device)
{
    auto* self = new IOUSBPipe;
    if (!self->init()) {
        self->release();
        return nullptr;
    }
    const UInt16 packet = device ? device->descriptor().bMaxPacketSize0 : 64;
    self->m_descriptor = {7, 5, 0, kUSBControl, packet, 0};
    self->m_device = std::move(device);
    return self;
}

void IOUSBPipe::free()
{
    m_pipe.reset();
    m_device.reset();
    OSObject::free();
}

UInt8 IOUSBPipe::GetDirection() const
{
    if (!m_pipe) {
        return kUSBAnyDirn;
    }
    return m_pipe->direction() == usbsim::Direction::in ? kUSBIn : kUSBOut;
}

UInt8 IOUSBPipe::GetEndpointNumber() const
{
    return m_descriptor.bEndpointAddress & 0x0F;
}

UInt8 IOUSBPipe::GetType() const
{
    return m_descriptor.bmAttributes & 0x03;
}

UInt16 IOUSBPipe::GetMaxPacketSize() const
{
    return m_pipe ? m_pipe->maxPacketSize() : m_descriptor.wMaxPacketSize;
}

UInt8 IOUSBPipe::GetInterval() const
{
    return m_descriptor.bInterval;
}

const IOUSBEndpointDescriptor* IOUSBPipe::GetEndpointDescriptor() const
{
    return &m_descriptor;
}

IOReturn IOUSBPipe::Read(IOMemoryDescriptor* buffer, UInt32 noDataTimeout, UInt32 completionTimeout,
                         IOByteCount reqCount, IOUSBCompletion* completion, IOByteCount* bytesRead)
{
    return transfer(true, buffer, noDataTimeout, completionTimeout, reqCount, completion, bytesRead);
}

IOReturn IOUSBPipe::Write(IOMemoryDescriptor* buffer, UInt32 noDataTimeout, UInt32 completionTimeout,
                          IOByteCount reqCount, IOUSBCompletion* completion)
{
    return transfer(false, buffer, noDataTimeout, completionTimeout, reqCount, completion, nullptr);
}

IOReturn IOUSBPipe::transfer(bool in, IOMemoryDescriptor* buffer, UInt32 noDataTimeout,
                             UInt32 completionTimeout, IOByteCount reqCount, IOUSBCompletion* completion,
                             IOByteCount* bytesDone)
{
    if (!m_pipe) {
        return kIOReturnUnsupported; // the control pipe moves data through DeviceRequest
    }
    if (buffer == nullptr || reqCount > buffer->getLength() || reqCount > UINT32_MAX) {
        return kIOReturnBadArgument;
    }
    auto* bytes = buffer->kernelAddress();
    const auto length = static_cast<uint32_t>(reqCount);
    if (completion != nullptr) {
        // An asynchronous transfer may be queued from real-time code: the queueing is the family's.
        platform::realtime::Lifted family;
        const usbsim::Completion done{completion->target, completion->action, completion->parameter};
        return in ? m_pipe->read(bytes, length, noDataTimeout, completionTimeout, done)
                  : m_pipe->write(bytes, length, noDataTimeout, completionTimeout, done);
    }
    SyncWait wait;
    const usbsim::Completion done{&wait, &SyncWait::complete, nullptr};
    const IOReturn status = in ? m_pipe->read(bytes, length, noDataTimeout, completionTimeout, done)
                               : m_pipe->write(bytes, length, noDataTimeout, completionTimeout, done);
    if (status != kIOReturnSuccess) {
        return status;
    }
    wait.wait();
    if (bytesDone != nullptr) {
        *bytesDone = length - wait.remaining;
    }
    return wait.status;
}

IOReturn IOUSBPipe::Read(IOMemoryDescriptor* buffer, UInt64 frameStart, UInt32 numFrames,
                         IOUSBLowLatencyIsocFrame* frameList, IOUSBLowLatencyIsocCompletion* completion,
                         UInt32 updateFrequency)
{
    return isochronous(true, buffer, frameStart, numFrames, frameList, completion, updateFrequency);
}

IOReturn IOUSBPipe::Write(IOMemoryDescriptor* buffer, UInt64 frameStart, UInt32 numFrames,
                          IOUSBLowLatencyIsocFrame* frameList, IOUSBLowLatencyIsocCompletion* completion,
                          UInt32 updateFrequency)
{
    return isochronous(false, buffer, frameStart, numFrames, frameList, completion, updateFrequency);
}

IOReturn IOUSBPipe::isochronous(bool in, IOMemoryDescriptor* buffer, UInt64 frameStart, UInt32 numFrames,
                                IOUSBLowLatencyIsocFrame* frameList,
                                IOUSBLowLatencyIsocCompletion* completion, UInt32 updateFrequency)
{
    if (!m_pipe) {
        return kIOReturnUnsupported;
    }
    if (buffer == nullptr || frameList == nullptr || completion == nullptr || numFrames == 0) {
        return kIOReturnBadArgument;
    }
    // The records' bytes must lie inside the buffer.
    uint64_t total = 0;
    for (UInt32 k = 0; k < numFrames; ++k) {
        total += frameList[k].frReqCount;
    }
    if (total > buffer->getLength()) {
        return kIOReturnBadArgument;
    }
    // Queued from real-time code (a completion requeueing): the queueing is the family's work.
    platform::realtime::Lifted family;
    const usbsim::IsocCompletion done{completion->target, completion->action, completion->parameter};
    return in ? m_pipe->readIsoc(buffer->kernelAddress(), frameStart, numFrames, frameList, done,
                                 updateFrequency)
              : m_pipe->writeIsoc(buffer->kernelAddress(), frameStart, numFrames, frameList, done,
                                  updateFrequency);
}

IOReturn IOUSBPipe::Abort()
{
    // Real-time code may abort without waiting: the aborted transfers complete elsewhere.
    platform::realtime::Lifted family;
    return m_pipe ? m_pipe->abort() : kIOReturnSuccess;
}

IOReturn IOUSBPipe::ClearPipeStall(bool withDeviceRequest)
{
    if (m_pipe) {
        return m_pipe->clearStall(withDeviceRequest);
    }
    return m_device ? m_device->clearPipeZeroStall(withDeviceRequest) : kIOReturnNoDevice;
}

IOReturn IOUSBPipe::SetPipePolicy(UInt16 maxPacketSize, UInt8)
{
    return m_pipe ? m_pipe->setPolicy(maxPacketSize) : kIOReturnUnsupported;
}
