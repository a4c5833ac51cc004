// What the driver made of a device, as any user process sees it: the device description record
// (APIDeviceInfo) that the description request of the driver's user clients returns page by page,
// as readable text.
//
// Trust: the record comes from the kernel; its counts are read no further than its arrays hold.
//
// Thread safety: a plain function; any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace kernel_host {

// The record as text: the device's ids, then per configuration its interfaces and, per interface,
// the alternates the driver described with their channels, bits, rates and endpoints.
std::string describeDevice(std::span<const uint8_t> record);

} // namespace kernel_host
