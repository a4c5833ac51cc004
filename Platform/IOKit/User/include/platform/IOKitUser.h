// Where the user-side IOKit finds the kernel host, and the conversions of property values
// between CoreFoundation and the wire.
#pragma once

#include <string>

#include "CoreFoundation/CoreFoundation.h"
#include "platform/IOKitWire.h"

namespace platform::iokit::user {

// The kernel host's socket for this process: the path set by setKernelSocketPath, else the
// environment's SONVEXA_KERNEL_SOCKET, else the default under the process's root folder.
std::string kernelSocketPath();
// Sets the path for this process (empty: back to the environment and default) and drops the
// session to the previous kernel host; names of objects of that session become invalid.
void setKernelSocketPath(const std::string& path);

// A CF property-list value as it crosses; nullopt for values with no wire form (floating-point
// numbers, dates, non-string keys, nesting deeper than the wire allows).
std::optional<wire::Value> wireValue(CFTypeRef value);
// A new CF value (one reference for the caller).
CFTypeRef createCFValue(const wire::Value& value);

} // namespace platform::iokit::user
