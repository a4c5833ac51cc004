// What the system's platform offers on top of plain dispatch queues.
#pragma once

#include <dispatch/dispatch.h>

namespace platform::dispatch {

// The process's global serial queue: one worker, first in first out, never released.
dispatch_queue_t globalSerialQueue();

// Waits until the queue has run everything queued on it so far, and whatever that work queued
// in turn (delayed work that is not yet due excepted). For tests; returns at once when called
// from the queue's own work.
void drain(dispatch_queue_t queue);

} // namespace platform::dispatch
