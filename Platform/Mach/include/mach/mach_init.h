// The calling task's own port.
#pragma once

#include "mach/port.h"

// The same non-null port on every call within one process.
task_t mach_task_self();
