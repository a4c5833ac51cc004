// Kernel return codes of the Mach interfaces the stand-ins provide.
#pragma once

using kern_return_t = int;

constexpr kern_return_t KERN_SUCCESS = 0;
constexpr kern_return_t KERN_INVALID_ARGUMENT = 4;
constexpr kern_return_t KERN_FAILURE = 5;
constexpr kern_return_t KERN_OPERATION_TIMED_OUT = 49;
constexpr kern_return_t KERN_ABORTED = 14;
constexpr kern_return_t KERN_INVALID_NAME = 15;
constexpr kern_return_t KERN_TERMINATED = 37;
