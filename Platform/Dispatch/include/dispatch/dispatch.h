// Dispatch queues: serial queues, each with its own worker thread, that run work items one at
// a time in the order they were queued. Work is a callable (blocks are lambdas here) or a
// function with a context pointer. Delayed work follows the host clock (platform/HostClock.h),
// so tests on the virtual clock drive it.
//
// A queue lives while references to it remain or work is queued on it: after the last
// dispatch_release its queued work (delayed work included) still runs, then the worker ends.
//
// Thread safety: every call may be made from any thread.
#pragma once

#include <cstdint>
#include <functional>

namespace platform::dispatch {
class Queue;
}

using dispatch_queue_t = platform::dispatch::Queue*;
using dispatch_queue_attr_t = const void*;
using dispatch_block_t = std::function<void()>;
using dispatch_function_t = void (*)(void* context);
// Host-clock time in nanoseconds.
using dispatch_time_t = uint64_t;

// Every queue is serial; a concurrent attribute is accepted and gives a serial queue too.
#define DISPATCH_QUEUE_SERIAL nullptr

inline constexpr dispatch_time_t DISPATCH_TIME_NOW = 0;
inline constexpr dispatch_time_t DISPATCH_TIME_FOREVER = ~0ULL;
inline constexpr uint64_t NSEC_PER_SEC = 1'000'000'000ULL;
inline constexpr uint64_t NSEC_PER_MSEC = 1'000'000ULL;
inline constexpr uint64_t NSEC_PER_USEC = 1'000ULL;
inline constexpr uint64_t USEC_PER_SEC = 1'000'000ULL;

// `when` (DISPATCH_TIME_NOW: the current host time) plus `delta` nanoseconds, saturating.
dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta);

dispatch_queue_t dispatch_queue_create(const char* label, dispatch_queue_attr_t attr);
const char* dispatch_queue_get_label(dispatch_queue_t queue);
void dispatch_retain(dispatch_queue_t queue);
void dispatch_release(dispatch_queue_t queue);

void dispatch_async(dispatch_queue_t queue, dispatch_block_t block);
void dispatch_async_f(dispatch_queue_t queue, void* context, dispatch_function_t work);
// Runs the work on the queue and waits for it; called from the queue's own work, it runs at
// once (where a real queue would deadlock).
void dispatch_sync(dispatch_queue_t queue, dispatch_block_t block);
void dispatch_sync_f(dispatch_queue_t queue, void* context, dispatch_function_t work);
// Queues the work at `when` (DISPATCH_TIME_FOREVER: never).
void dispatch_after(dispatch_time_t when, dispatch_queue_t queue, dispatch_block_t block);
void dispatch_after_f(dispatch_time_t when, dispatch_queue_t queue, void* context, dispatch_function_t work);
