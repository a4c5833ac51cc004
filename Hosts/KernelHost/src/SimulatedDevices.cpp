#include "SimulatedDevices.h"

#include <cerrno>
#include <climits>
#include <cstdio>

#include "usbsim/Catalogue.h"

namespace kernel_host {

std::string SimulatedDevices::models()
{
    std::string text;
    for (const auto& entry : usbsim::catalogue()) {
        char line[64];
        std::snprintf(line, sizeof line, "%-24s %04X:%04X %04X  ", entry.name, entry.vendor, entry.product,
                      entry.bcdDevice);
        text += line;
        text += entry.description;
        text += "\n";
    }
    return text;
}

bool SimulatedDevices::attach(const std::string& model, int* id)
{
    auto made = usbsim::makeModel(model);
    if (!made) {
        return false;
    }
    // Attaching publishes the device to the kernel on this thread; no lock is held then.
    auto device = m_bus.attach(std::move(made));
    std::lock_guard lock(m_mutex);
    *id = m_next++;
    m_devices[*id] = Attached{model, device};
    return true;
}

bool SimulatedDevices::detach(int id)
{
    std::shared_ptr<usbsim::Device> device;
    {
        std::lock_guard lock(m_mutex);
        auto found = m_devices.find(id);
        if (found == m_devices.end()) {
            return false;
        }
        device = found->second.device;
        m_devices.erase(found);
    }
    m_bus.detach(device);
    return true;
}

std::string SimulatedDevices::list() const
{
    std::lock_guard lock(m_mutex);
    std::string text;
    for (const auto& [id, attached] : m_devices) {
        char line[128];
        std::snprintf(line, sizeof line, "%d %s %04X:%04X\n", id, attached.model.c_str(),
                      attached.device->descriptor().idVendor, attached.device->descriptor().idProduct);
        text += line;
    }
    return text;
}

IOReturn SimulatedDevices::command(const std::vector<std::string>& words, std::string& answer)
{
    const std::string verb = words.empty() ? "" : words[0];
    if (verb == "models" && words.size() == 1) {
        answer = models();
        return kIOReturnSuccess;
    }
    if (verb == "devices" && words.size() == 1) {
        answer = list();
        return kIOReturnSuccess;
    }
    if (verb == "attach" && words.size() == 2) {
        int id = 0;
        if (!attach(words[1], &id)) {
            answer = "no such model: " + words[1] + " (see \"models\")\n";
            return kIOReturnNotFound;
        }
        answer = std::to_string(id) + "\n";
        return kIOReturnSuccess;
    }
    if (verb == "detach" && words.size() == 2) {
        char* end = nullptr;
        errno = 0;
        const long id = std::strtol(words[1].c_str(), &end, 10);
        const bool number = end != words[1].c_str() && *end == '\0' && errno == 0 && id > 0 && id <= INT_MAX;
        if (!number || !detach(static_cast<int>(id))) {
            answer = "no such device: " + words[1] + " (see \"devices\")\n";
            return kIOReturnNotFound;
        }
        return kIOReturnSuccess;
    }
    answer = "commands: models | devices | attach MODEL | detach NUMBER\n";
    return kIOReturnBadArgument;
}

} // namespace kernel_host
