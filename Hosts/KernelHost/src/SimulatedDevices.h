// The simulated devices of the kernel host program: the devices attached to its bus, numbered in
// the order they came, made from the models of the catalogue (usbsim/Catalogue.h) by name.
//
// Thread safety: any thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "IOKit/IOReturn.h"
#include "usbsim/Bus.h"

namespace kernel_host {

class SimulatedDevices
{
public:
    explicit SimulatedDevices(usbsim::Bus& bus) : m_bus(bus) {}

    // Attaches a device of the named model, with its sample clock `ppm` parts per million off when
    // given; its number in `id`. kIOReturnNotFound for an unknown model, kIOReturnUnsupported for a
    // clock error on a model without a sample clock.
    IOReturn attach(const std::string& model, int* id, std::optional<int32_t> ppm = std::nullopt);
    bool detach(int id);
    // One line per attached device: "<number> <model> <vendor>:<product>".
    std::string list() const;

    // The control commands: "models", "devices", "attach MODEL [PPM]", "detach NUMBER". PPM: the
    // device clock's error, -100000 to 100000.
    IOReturn command(const std::vector<std::string>& words, std::string& answer);

    // One line per catalogue model: name, VID:PID, bcd, description.
    static std::string models();

private:
    usbsim::Bus& m_bus;
    mutable std::mutex m_mutex;
    struct Attached
    {
        std::string model;
        std::shared_ptr<usbsim::Device> device;
    };
    std::map<int, Attached> m_devices; // guarded by m_mutex
    int m_next = 1;                    // guarded by m_mutex
};

} // namespace kernel_host
