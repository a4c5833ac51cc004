// The feedback endpoint, device side: one feedback read in flight while the device streams; each
// completed read is judged by the frame pattern, bad frames are counted, and more than 40 of them
// without a locked report between break the stream.
//
// Threads: isocReadCompleteFeedback and initNextTransactionFeedback run in the USB completion
// context, requestIOFeedback there and on the thread that starts streaming. Real-time: no lock, no
// allocation, no wait, no log under the mark (events are counted in mRealTimeRecord; a broken
// stream is stopped without waiting; the waiting part of the stop runs later on a request thread). The error
// counter and the next start frame are written only from the completion context.
#include <cstdint>

#include "VKDevice.h"
#include "VKDeviceOwner.h"
#include "platform/Log.h"

namespace {

// The next read is due this many frames after a completion that came too late.
constexpr uint64_t kLateRestartLead = 4;

} // namespace

void VKDevice::requestIOFeedback()
{
    if (m_bStreamingSuspended != 0 || streamingStarted() == 0) {
        VKLogOutsideRealTime("USB: %s\n",
                             "VKDevice::requestIOFeedback - m_bStreamingSuspended || !m_bStreamingStarted");
        return;
    }
    if (mChosen.inPipeFeedback == nullptr) {
        return;
    }
    VKIsocRB* block = mIsoc.feedback.next();
    if (block == nullptr) {
        mRealTimeRecord.count(VKRealTimeRecord::kNoFreeBlock);
        return;
    }
    if (!mOwner.isocReadFeedback(block, mChosen.inPipeFeedback)) {
        // Refused: the block goes back at once and the loop ends until streaming starts again.
        block->unuse("!m_cKernelDevice.isocReadFeedback()");
    }
}

void VKDevice::isocReadCompleteFeedback(VKIsocRB* block, FeedbackStreamingStruct& values)
{
    if ((block != nullptr && block->isAutoDelete()) || streamingStarted() == 0 ||
        hardwareFailure() != 0) {
        VKLogOutsideRealTime("USB: %s 0x%X\n",
                             "isocReadCompleteFeedback - ignore ISOC-RB - reconfiguration or stop streaming",
                             static_cast<uint32_t>(reinterpret_cast<uintptr_t>(this)));
        return;
    }
    if (mChosen.inPipeFeedback != nullptr) {
        if (mChosen.inPipeFeedback->getInterval() == kFullFrameFeedbackInterval) {
            if (mFramePatternObserver.isocFeedbackReadCompleteFullFrame(values)) {
                VKLogOutsideRealTime("USB: %s\n", "reset feedback error counter (full frame)");
                mIsoc.feedback.mErrorCounter = 0;
            }
        } else if (mFramePatternObserver.isocFeedbackReadComplete(values)) {
            VKLogOutsideRealTime("USB: %s\n", "reset feedback error counter");
            mIsoc.feedback.mErrorCounter = 0;
        }
    }
    if (mIsoc.feedback.mErrorCounter > kFeedbackErrorLimit) {
        mRealTimeRecord.count(VKRealTimeRecord::kFeedbackErrorBreaks);
        VKLogOutsideRealTime("USB: %s %d\n", "mIsocInFeedback.mErrorCounter >", kFeedbackErrorLimit);
        VKLogOutsideRealTime("mIsocInFeedback.mErrorCounter > %d\n", kFeedbackErrorLimit);
        // Completion context: stop without waiting and announce state change 2 (stream broken).
        rtsBreakStream();
        return;
    }
    initNextTransactionFeedback();
}

void VKDevice::initNextTransactionFeedback()
{
    if (streamingStarted() == 0 || m_bStreamingSuspended != 0) {
        return;
    }
    const uint64_t current = mOwner.getCurrentFrame();
    // Only the all-ones 64-bit value means unreadable: a frame number whose low word is all ones
    // is an ordinary frame once the counter has passed 2^32.
    if (current == VKDeviceOwner::kUnreadableFrame) {
        mRealTimeRecord.count(VKRealTimeRecord::kUnreadableFrames);
        VKLogOutsideRealTime("USB: %s 0x%X\n",
                             "VKDevice::initNextTransactionFeedback() failed - uCurrentFrame = 0xFFFFFFFF",
                             static_cast<uint32_t>(current));
        return;
    }
    const uint64_t next = mIsoc.feedback.mNextStartFrame;
    if (current >= next) {
        mRealTimeRecord.count(VKRealTimeRecord::kLateFeedback);
        VKLogOutsideRealTime("USB: %s %d %d %d %d\n",
                             "ISOC FEEDBACK CALLBACK to late current/diff/NTF/lostFrames",
                             static_cast<int>(current), static_cast<int>(current - next),
                             static_cast<int>(next), static_cast<int>(current + 2 - next));
        mIsoc.feedback.mNextStartFrame = current + kLateRestartLead;
    }
    requestIOFeedback();
}
