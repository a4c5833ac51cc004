#include "VKRealTimeRecord.h"

#include <cstdarg>

#include "IOKit/IOLib.h"
#include "platform/RealTime.h"

void VKRealTimeRecord::lateService(uint64_t microseconds)
{
    count(kLateServicePeriods);
    uint64_t latest = mLatestServiceDelay.load(std::memory_order_relaxed);
    while (microseconds > latest &&
           !mLatestServiceDelay.compare_exchange_weak(latest, microseconds, std::memory_order_relaxed)) {
    }
}

const char* VKRealTimeRecord::name(Event event)
{
    switch (event) {
    case kLateServicePeriods:
        return "late service periods";
    case kServiceWordBusy:
        return "service turns skipped (word held)";
    case kRefusedReads:
        return "refused reads";
    case kRefusedWrites:
        return "refused writes";
    case kLateWrites:
        return "late writes";
    case kLateWriteFrames:
        return "frames lost to late writes";
    case kLateWriteSamples:
        return "samples lost to late writes";
    case kUnfilledOutputFrames:
        return "output records sent unfilled";
    case kClientLateFrames:
        return "frames mixed before their client wrote them";
    case kLateFeedback:
        return "late feedback reads";
    case kInputErrorBreaks:
        return "breaks for input errors";
    case kFeedbackErrorBreaks:
        return "breaks for feedback errors";
    case kChannelChangeBreaks:
        return "breaks for a channel change";
    case kNoFreeBlock:
        return "blocks still in use when due";
    case kUnreadableFrames:
        return "unreadable frame numbers";
    case kClampedPackets:
        return "packets clamped to their size";
    case kMixSkipped:
        return "mixing passes refused";
    case kTransferErrors:
        return "transfer errors";
    case kTransferBreaks:
        return "breaks for a transfer error";
    case kResetRequests:
        return "breaks for a reset request";
    case kUnderruns:
        return "output underruns";
    case kInsertedFrames:
        return "frames inserted by the drift guard";
    case kMissingInputPackets:
        return "input packets missing (silence)";
    case kCount:
        break;
    }
    return "?";
}

namespace {

// Violations of the real-time mark in this process (outside test programs they are only counted),
// as far as a report told them.
std::atomic<uint64_t> gReportedViolations{0};

} // namespace

bool VKRealTimeRecord::report(const char* who)
{
    bool logged = false;
    const uint64_t violations = platform::realtime::violations();
    const uint64_t toldViolations = gReportedViolations.exchange(violations, std::memory_order_relaxed);
    if (violations > toldViolations) {
        const char* last = platform::realtime::lastViolation();
        IOLog("real-time record of %s: calls not allowed under the real-time mark +%llu (%llu), the latest "
              "%s\n",
              who, static_cast<unsigned long long>(violations - toldViolations),
              static_cast<unsigned long long>(violations), last != nullptr ? last : "?");
        logged = true;
    }
    for (uint32_t e = 0; e < kCount; ++e) {
        const auto event = static_cast<Event>(e);
        const uint64_t now = total(event);
        const uint64_t before = mReported[e].exchange(now, std::memory_order_relaxed);
        if (now <= before) {
            continue;
        }
        if (event == kLateServicePeriods) {
            IOLog(
                "real-time record of %s: %s +%llu (%llu), latest %llu us\n", who, name(event),
                static_cast<unsigned long long>(now - before), static_cast<unsigned long long>(now),
                static_cast<unsigned long long>(mLatestServiceDelay.exchange(0, std::memory_order_relaxed)));
        } else {
            IOLog("real-time record of %s: %s +%llu (%llu)\n", who, name(event),
                  static_cast<unsigned long long>(now - before), static_cast<unsigned long long>(now));
        }
        logged = true;
    }
    return logged;
}

void VKLogOutsideRealTime(const char* format, ...)
{
    if (platform::realtime::marked()) {
        return;
    }
    va_list args;
    va_start(args, format);
    platform::log::vwrite(platform::log::Channel::kernel, 0, format, args);
    va_end(args);
}
