// What the driver made of a device, as any user process sees it: the device description record
// (APIDeviceInfo) that the description request of the driver's user clients returns page by page,
// read through the user-side IOKit, and that record as readable text.
//
// Trust: the record comes from the kernel; its counts are read no further than its arrays hold.
//
// Thread safety: plain functions; the reading one uses the user-side IOKit of its process.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "IOKit/IOKitLib.h"

namespace kernel_host {

// The description record of a driven device (a VKKernelDevice service), read page by page through
// an audio client (connection type 0), or an AudioServer client (type 3) where the device refuses
// the first. Its status, and the record in `record` on success.
kern_return_t readDeviceDescription(io_service_t service, std::vector<uint8_t>& record);

// The record as text: the device's ids, then per configuration its interfaces and, per interface,
// the alternates the driver described with their channels, bits, rates and endpoints.
std::string describeDevice(std::span<const uint8_t> record);

} // namespace kernel_host
