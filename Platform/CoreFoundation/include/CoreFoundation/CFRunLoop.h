// Run loops: one per thread, made on first use. A loop waits for work and runs it on its own
// thread: signalled sources, sources that watch a file descriptor, timers, and blocks handed
// over from other threads. The main thread's loop is the main run loop.
//
// Time is the host clock (platform/HostClock.h), so a test on the virtual clock drives timers
// and time-outs; a waiting loop counts as a sleeper of the virtual clock.
//
// Thread safety: adding, removing, signalling, waking and stopping may be done from any thread;
// a loop runs only on its own thread; callbacks run on that thread with no lock held.
#pragma once

#include <functional>

#include "CoreFoundation/CFBase.h"
#include "CoreFoundation/CFString.h"

using CFRunLoopRef = platform::cf::RunLoop*;
using CFRunLoopSourceRef = platform::cf::RunLoopSource*;
using CFRunLoopTimerRef = platform::cf::RunLoopTimer*;
using CFFileDescriptorRef = platform::cf::FileDescriptor*;
using CFRunLoopMode = CFStringRef;

// Seconds since 1 January 2001, on the host clock.
using CFAbsoluteTime = double;
using CFTimeInterval = double;
CFAbsoluteTime CFAbsoluteTimeGetCurrent();

extern const CFRunLoopMode kCFRunLoopDefaultMode;
// Items added for the common modes take part in every mode.
extern const CFRunLoopMode kCFRunLoopCommonModes;

enum : SInt32
{
    kCFRunLoopRunFinished = 1, // nothing (no source, no timer) to wait for in the mode
    kCFRunLoopRunStopped = 2,
    kCFRunLoopRunTimedOut = 3,
    kCFRunLoopRunHandledSource = 4,
};

CFTypeID CFRunLoopGetTypeID();
CFRunLoopRef CFRunLoopGetCurrent();
CFRunLoopRef CFRunLoopGetMain();
// Runs the current thread's loop in the default mode until it is stopped or has nothing left.
void CFRunLoopRun();
// Runs the current thread's loop in `mode` for at most `seconds` (0: one pass without waiting).
SInt32 CFRunLoopRunInMode(CFRunLoopMode mode, CFTimeInterval seconds, Boolean returnAfterSourceHandled);
// Makes the loop's current (innermost) run return kCFRunLoopRunStopped.
void CFRunLoopStop(CFRunLoopRef loop);
void CFRunLoopWakeUp(CFRunLoopRef loop);
Boolean CFRunLoopIsWaiting(CFRunLoopRef loop);
// The mode the loop runs in (+1), or null when it is not running.
CFStringRef CFRunLoopCopyCurrentMode(CFRunLoopRef loop);
// Runs `block` once on the loop's thread the next time it runs in `mode` (a mode string, or an
// array of them); wakes the loop.
void CFRunLoopPerformBlock(CFRunLoopRef loop, CFTypeRef mode, std::function<void()> block);

// Sources. A source is performed on each loop it is in, once per signal.
struct CFRunLoopSourceContext
{
    CFIndex version; // 0
    void* info;
    const void* (*retain)(const void* info);
    void (*release)(const void* info);
    CFStringRef (*copyDescription)(const void* info);
    Boolean (*equal)(const void* info1, const void* info2);
    CFHashCode (*hash)(const void* info);
    void (*schedule)(void* info, CFRunLoopRef loop, CFRunLoopMode mode);
    void (*cancel)(void* info, CFRunLoopRef loop, CFRunLoopMode mode);
    void (*perform)(void* info);
};
CFTypeID CFRunLoopSourceGetTypeID();
CFRunLoopSourceRef CFRunLoopSourceCreate(CFAllocatorRef allocator, CFIndex order,
                                         CFRunLoopSourceContext* context);
// Marks the source for performing and wakes the loops it is in.
void CFRunLoopSourceSignal(CFRunLoopSourceRef source);
// Removes the source from every loop; it is never performed again.
void CFRunLoopSourceInvalidate(CFRunLoopSourceRef source);
Boolean CFRunLoopSourceIsValid(CFRunLoopSourceRef source);
void CFRunLoopAddSource(CFRunLoopRef loop, CFRunLoopSourceRef source, CFRunLoopMode mode);
void CFRunLoopRemoveSource(CFRunLoopRef loop, CFRunLoopSourceRef source, CFRunLoopMode mode);
Boolean CFRunLoopContainsSource(CFRunLoopRef loop, CFRunLoopSourceRef source, CFRunLoopMode mode);

// Timers. A repeating timer (interval > 0) keeps its rhythm and skips the firings it missed;
// a one-shot timer is invalidated when it fires.
struct CFRunLoopTimerContext
{
    CFIndex version; // 0
    void* info;
    const void* (*retain)(const void* info);
    void (*release)(const void* info);
    CFStringRef (*copyDescription)(const void* info);
};
using CFRunLoopTimerCallBack = void (*)(CFRunLoopTimerRef timer, void* info);
CFTypeID CFRunLoopTimerGetTypeID();
CFRunLoopTimerRef CFRunLoopTimerCreate(CFAllocatorRef allocator, CFAbsoluteTime fireDate,
                                       CFTimeInterval interval, CFOptionFlags flags, CFIndex order,
                                       CFRunLoopTimerCallBack callout, CFRunLoopTimerContext* context);
void CFRunLoopAddTimer(CFRunLoopRef loop, CFRunLoopTimerRef timer, CFRunLoopMode mode);
void CFRunLoopRemoveTimer(CFRunLoopRef loop, CFRunLoopTimerRef timer, CFRunLoopMode mode);
Boolean CFRunLoopContainsTimer(CFRunLoopRef loop, CFRunLoopTimerRef timer, CFRunLoopMode mode);
void CFRunLoopTimerInvalidate(CFRunLoopTimerRef timer);
Boolean CFRunLoopTimerIsValid(CFRunLoopTimerRef timer);
CFAbsoluteTime CFRunLoopTimerGetNextFireDate(CFRunLoopTimerRef timer);
void CFRunLoopTimerSetNextFireDate(CFRunLoopTimerRef timer, CFAbsoluteTime fireDate);
CFTimeInterval CFRunLoopTimerGetInterval(CFRunLoopTimerRef timer);

// File-descriptor sources: the callout runs on the loop when the descriptor is readable (or
// writable) and a callback of that kind is enabled. Each callback is disabled when it fires;
// the callout enables it again to hear of the next event.
enum : CFOptionFlags
{
    kCFFileDescriptorReadCallBack = 1,
    kCFFileDescriptorWriteCallBack = 2,
};
struct CFFileDescriptorContext
{
    CFIndex version; // 0
    void* info;
    const void* (*retain)(const void* info);
    void (*release)(const void* info);
    CFStringRef (*copyDescription)(const void* info);
};
using CFFileDescriptorNativeDescriptor = int;
using CFFileDescriptorCallBack = void (*)(CFFileDescriptorRef f, CFOptionFlags callBackTypes, void* info);
CFTypeID CFFileDescriptorGetTypeID();
CFFileDescriptorRef CFFileDescriptorCreate(CFAllocatorRef allocator, CFFileDescriptorNativeDescriptor fd,
                                           Boolean closeOnInvalidate, CFFileDescriptorCallBack callout,
                                           const CFFileDescriptorContext* context);
CFFileDescriptorNativeDescriptor CFFileDescriptorGetNativeDescriptor(CFFileDescriptorRef f);
void CFFileDescriptorEnableCallBacks(CFFileDescriptorRef f, CFOptionFlags callBackTypes);
void CFFileDescriptorDisableCallBacks(CFFileDescriptorRef f, CFOptionFlags callBackTypes);
// Stops watching (and closes the descriptor when asked to at creation).
void CFFileDescriptorInvalidate(CFFileDescriptorRef f);
Boolean CFFileDescriptorIsValid(CFFileDescriptorRef f);
CFRunLoopSourceRef CFFileDescriptorCreateRunLoopSource(CFAllocatorRef allocator, CFFileDescriptorRef f,
                                                       CFIndex order);
