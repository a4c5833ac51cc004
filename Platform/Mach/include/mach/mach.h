// The Mach interfaces the stand-ins provide, in one include.
#pragma once

#include "mach/kern_return.h"
#include "mach/mach_init.h"
#include "mach/mach_time.h"
#include "mach/port.h"
#include "mach/semaphore.h"
#include "mach/thread_act.h"
