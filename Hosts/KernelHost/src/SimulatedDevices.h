// The simulated devices of the kernel host program: the devices attached to its bus, numbered in
// the order they came, made from the models of the catalogue (usbsim/Catalogue.h) by name, or
// read from a descriptors file (usbsim/models/FileModel.h).
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
#include "usbsim/models/FileModel.h"

namespace kernel_host {

class SimulatedDevices
{
public:
    explicit SimulatedDevices(usbsim::Bus& bus) : m_bus(bus) {}

    // Attaches a device of the named model, with its sample clock `ppm` parts per million off when
    // given; its number in `id`. kIOReturnNotFound for an unknown model, kIOReturnUnsupported for a
    // clock error on a model without a sample clock.
    IOReturn attach(const std::string& model, int* id, std::optional<int32_t> ppm = std::nullopt);
    // A sample clock's error in ppm as text: a whole number from -100,000 to 100,000.
    static std::optional<int32_t> clockPpm(const std::string& text);
    // Attaches a device made from files, called "file:<descriptors path>"; kIOReturnBadArgument
    // with what is wrong (file, byte offset or line) in `error` when they are refused, before
    // anything is attached.
    IOReturn attachFile(const usbsim::models::DeviceFiles& files, int* id, std::string* error);
    IOReturn attachData(const std::string& name, const usbsim::models::ModelData& data, int* id);
    bool detach(int id);
    // One line per attached device: "<number> <model> <vendor>:<product>".
    std::string list() const;
    // The bus location of an attached device (the "locationID" of its USB device service).
    std::optional<uint32_t> location(int id) const;

    // The control commands: "models", "devices", "attach MODEL [PPM]", "attach-file FILE
    // [--speed full|high] [--side-file SIDE]", "detach NUMBER", "location NUMBER". PPM: the
    // device clock's error, -100000 to 100000.
    IOReturn command(const std::vector<std::string>& words, std::string& answer);

    // "--speed full|high" and "--side-file SIDE" after a descriptors file, from `words[next]` on,
    // into `files`; false with the reason in `error` when a word is not one of them.
    static bool fileOptions(const std::vector<std::string>& words, size_t next, usbsim::models::DeviceFiles& files,
                            std::string* error);

    // One line per catalogue model: name, VID:PID, bcd, description.
    static std::string models();

private:
    IOReturn attachModel(const std::string& name, std::shared_ptr<usbsim::DeviceModel> model, int* id);

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
