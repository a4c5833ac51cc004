// What the real-time side of a device (its service cycle and its USB completions) met: it may not
// log, so it counts each event here and a request thread reports what changed since the last
// report (at stop, at the next start and after each user request). Every lost or wrong frame the
// kernel can see leaves a count here.
//
// Thread safety: count from any thread (real-time: no lock, no allocation, no wait); report from
// request threads (each count is reported once, by one of them).
#pragma once

#include <atomic>
#include <cstdint>

class VKRealTimeRecord
{
public:
    enum Event : uint32_t
    {
        kLateServicePeriods,   // the service thread woke 1.5 ms or more after its period
        kServiceWordBusy,      // a service turn found the service word held and skipped
        kRefusedReads,         // the bus refused an input block (input frames skipped)
        kRefusedWrites,        // the bus refused an output block
        kLateWrites,           // an output completion came after the next block's frames
        kLateWriteFrames,      // frames (ms) lost to late writes
        kLateWriteSamples,     // samples lost to late writes (at the configured rate and inputs)
        kUnfilledOutputFrames, // output records the bus sent (or may have sent) before they were filled
        kClientLateFrames,     // frames mixed before a client had written them
        kLateFeedback,         // a feedback completion came after the next read's frame
        kInputErrorBreaks,     // too many input frame errors ended the stream
        kFeedbackErrorBreaks,  // too many bad feedback frames ended the stream
        kChannelChangeBreaks,  // a channel change ended the stream
        kNoFreeBlock,          // a stream found its next block still in use
        kUnreadableFrames,     // the bus frame number could not be read
        kClampedPackets,       // a pattern value did not fit its packet
        kMixSkipped,           // a mixing pass refused its sizes (nothing mixed)
        kTransferErrors,       // a bulk or interrupt transfer completed with an error
        kTransferBreaks,       // a transfer error ended the stream
        kResetRequests,        // underruns asked for a reset, which ended the stream
        kUnderruns,            // the clients had fewer frames than the device needed
        kInsertedFrames,       // frames the drift guard inserted into the input
        kMissingInputPackets,  // input packets a short transfer lacked, given as silence
        kCount
    };

    // real-time: no lock, no allocation, no wait.
    void count(Event event, uint64_t times = 1)
    {
        mCounts[event].fetch_add(times, std::memory_order_relaxed);
    }
    // A service period that came `microseconds` late (real-time).
    void lateService(uint64_t microseconds);

    uint64_t total(Event event) const { return mCounts[event].load(std::memory_order_relaxed); }
    uint64_t latestServiceDelay() const { return mLatestServiceDelay.load(std::memory_order_relaxed); }

    // Logs one line per event that was counted since the last report, naming `who`: "real-time
    // record of WHO: NAME +NEW (TOTAL)", and the process's violations of the real-time mark since
    // any report told them; true when something was logged. Request thread.
    bool report(const char* who);
    // The name the report gives an event.
    static const char* name(Event event);

private:
    std::atomic<uint64_t> mCounts[kCount]{};
    std::atomic<uint64_t> mLatestServiceDelay{0}; // microseconds, since the last report
    std::atomic<uint64_t> mReported[kCount]{};    // what has been reported
};

// IOLog, except under the real-time mark, where the line is left out: a real-time caller counts
// the event in its record instead. For code that runs on both sides (a block queued at the start
// of a stream, and again from its completion).
void VKLogOutsideRealTime(const char* format, ...) __attribute__((format(printf, 1, 2)));
