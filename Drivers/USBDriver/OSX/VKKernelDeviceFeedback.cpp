// The service's feedback transfers: one isochronous read of the feedback endpoint for the device
// object, and its completion, which hands the values received to the device's feedback handling.
//
// Threads: the read from the streaming service; the completion on the bus's completion threads
// (real-time).
#include <algorithm>

#include "IOKit/IOBufferMemoryDescriptor.h"
#include "IOKit/IOLib.h"
#include "IOKit/usb/IOUSBPipe.h"
#include "VKDevice.h"
#include "VKFramePatternObserver.h"
#include "VKIsocRB.h"
#include "VKKernelDevice.h"
#include "platform/RealTime.h"

bool VKKernelDevice::isocReadFeedback(VKIsocRB* block, VKPipeDescriptor* pipe)
{
    IOUSBPipe* usbPipe = pipe != nullptr ? pipe->getPipe() : nullptr;
    if (block == nullptr || usbPipe == nullptr) {
        return false;
    }
    block->initRead();
    block->mbCompleted.store(false, std::memory_order_release);
    IOUSBLowLatencyIsocCompletion completion{this, &VKKernelDevice::isocReadFeedbackCompleteStatic, block};
    const IOReturn status =
        usbPipe->Read(block->mpBuffer, block->mStartFrame, block->mNumFrames, block->mFrames, &completion, 4);
    if (status != kIOReturnSuccess) {
        VKLogOutsideRealTime("USB: %s 0x%X\n", "isocReadFeedback failed with status", status);
        if (VKDevice* owner = device()) {
            owner->mRealTimeRecord.count(VKRealTimeRecord::kRefusedReads);
        }
        return false;
    }
    return true;
}

void VKKernelDevice::isocReadFeedbackCompleteStatic(void* target, void* parameter, IOReturn,
                                                    IOUSBLowLatencyIsocFrame*)
{
    // real-time: no lock, no allocation, no wait, no log. The status shows in the records.
    platform::realtime::Section realTime;
    auto* owner = static_cast<VKKernelDevice*>(target);
    auto* block = static_cast<VKIsocRB*>(parameter);
    if (owner == nullptr || block == nullptr) {
        return;
    }
    VKDevice* device = owner->device();
    if (device == nullptr || device->streamingStarted() == 0) {
        block->setCallbackDone(nullptr);
        return;
    }
    if (!block->isAutoDelete()) {
        // Byte 0 of each received packet is that frame's sample count; a packet of any length but 3
        // is a feedback error (its value, 0 when nothing came, is repaired by the pattern).
        FeedbackStreamingStruct values;
        values.mCount = std::min(block->mNumFrames, FeedbackStreamingStruct::kMaxValues);
        for (uint32_t k = 0; k < values.mCount; ++k) {
            const IOUSBLowLatencyIsocFrame& f = block->mFrames[k];
            const uint32_t offset = block->mFrameOffsets[k];
            const bool received = f.frActCount > 0 && f.frActCount <= f.frReqCount && offset < block->mAllocatedSize;
            values.mValues[k] = received ? block->mpBufferAddress[offset] : 0;
            if (f.frActCount != 3) {
                ++device->mIsoc.feedback.mErrorCounter;
            }
        }
        device->isocReadCompleteFeedback(block, values);
    }
    block->setCallbackDone(nullptr);
}
