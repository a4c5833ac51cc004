// What the thread stand-in (mach/thread_act.h) recorded and how it maps priorities, for tests.
#pragma once

#include <optional>

#include "mach/port.h"

namespace platform::mach_threads {

// Base priority of a task's threads; a precedence importance is counted from it.
constexpr int kTaskBasePriority = 31;
constexpr int kLowestPriority = 0;
constexpr int kHighestUserPriority = 63;

// Nice value for a Mach priority (clamped to 0-63), and back; the two agree on every nice value.
int niceForPriority(int priority);
int priorityForNice(int nice);

struct PrecedenceRequest
{
    int importance = 0;
    bool applied = false; // the nice value was set; false when Linux refused or the thread is not known yet
};

// The last precedence request made for `thread`, if any.
std::optional<PrecedenceRequest> precedenceRequest(thread_act_t thread);

// Semaphores created and not yet destroyed, for leak checks.
int liveSemaphores();

} // namespace platform::mach_threads
