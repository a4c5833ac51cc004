// The kernel's work thread: matching after an asynchronous registerService and the second half
// of termination run here, one job at a time, in the order they were posted.
#pragma once

#include <functional>

namespace platform::iokit::detail {

void postWork(std::function<void()> job);
bool onWorkThread();

} // namespace platform::iokit::detail
