// Basic IOKit types of the kernel side.
#pragma once

#include <cstddef>
#include <cstdint>

#include "IOKit/IOReturn.h"
#include "libkern/OSTypes.h"
#include "mach/mach_init.h"
#include "mach/port.h"

typedef UInt32 IOOptionBits;
typedef uint64_t IOByteCount;
typedef UInt32 IOItemCount;
typedef uintptr_t IOVirtualAddress;
typedef uint64_t IOPhysicalAddress;
typedef uint64_t mach_vm_address_t;
typedef uint64_t mach_vm_size_t;
typedef uintptr_t vm_size_t;
typedef uint64_t AbsoluteTime;
typedef UInt32 IOPMPowerFlags;

// A task (task_t, a Mach port name) is a process as the kernel sees it: the kernel itself, which
// is the kernel host's own task (mach_task_self()), or a user process that opened a connection
// (platform/KernelTasks.h). MACH_PORT_NULL is no task.
#define kernel_task (::mach_task_self())
// The task the current call is made for: the kernel task everywhere in this host, so a kernel
// semaphore is created with semaphore_create(current_task(), ...).
task_t current_task();

typedef UInt32 IODirection;
constexpr IODirection kIODirectionNone = 0;
constexpr IODirection kIODirectionIn = 1;  // device to memory
constexpr IODirection kIODirectionOut = 2; // memory to device
constexpr IODirection kIODirectionOutIn = kIODirectionIn | kIODirectionOut;
constexpr IODirection kIODirectionInOut = kIODirectionIn | kIODirectionOut;

// Memory options.
constexpr IOOptionBits kIOMemoryDirectionMask = 0x00000007;
constexpr IOOptionBits kIOMemoryPhysicallyContiguous = 0x00000010;
constexpr IOOptionBits kIOMemoryPageable = 0x00000020;
constexpr IOOptionBits kIOMemoryKernelUserShared = 0x00000200;

// Mapping options.
constexpr IOOptionBits kIOMapAnywhere = 0x00000001;
constexpr IOOptionBits kIOMapDefaultCache = 0x00000000;
constexpr IOOptionBits kIOMapReadOnly = 0x00001000;
