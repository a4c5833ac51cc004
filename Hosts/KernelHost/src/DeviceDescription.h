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

// An interface's class, which the record does not carry: what the registry's interface services
// of the device publish (those of the configuration it is in).
struct InterfaceClass
{
    uint8_t configuration; // bConfigurationValue
    uint8_t number;        // bInterfaceNumber
    uint8_t interfaceClass;
};

// The record as text: the device's ids, then per configuration its interfaces, named by class and
// subclass (`classes`: the classes known; an interface not among them is named by its subclass
// and said to be of an unknown class), and, per interface, the alternates the driver described
// with their channels, bits, rates and endpoints.
std::string describeDevice(std::span<const uint8_t> record, std::span<const InterfaceClass> classes = {});

} // namespace kernel_host
