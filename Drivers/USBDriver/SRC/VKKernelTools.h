// The kernel extension's base tools in one include: the counting allocator, the small objects and
// their array, the byte cursor over descriptor bytes, locks, the semaphore and the atomic counter.
#pragma once

#include "USBByteBuffer.h"
#include "VKKernelMemory.h"
#include "VKKernelSync.h"
#include "VKSimpleArray.h"
