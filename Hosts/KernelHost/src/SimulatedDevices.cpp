#include "SimulatedDevices.h"

#include <cerrno>
#include <climits>
#include <cstdio>

#include "usbsim/models/BitPlaneBulkDevice.h"
#include "usbsim/models/ClassAudioDevice.h"

namespace kernel_host {

const std::vector<DeviceModelEntry>& deviceModels()
{
    static const std::vector<DeviceModelEntry> models = {
        {"class-audio", "class-compliant stereo audio, full speed, 16/24 bits at 44.1/48 kHz",
         []() -> std::shared_ptr<usbsim::DeviceModel> {
             return std::make_shared<usbsim::models::ClassAudioDevice>();
         }},
        {"class-audio-feedback", "the same with an explicit feedback endpoint for its output",
         []() -> std::shared_ptr<usbsim::DeviceModel> {
             usbsim::models::ClassAudioDevice::Options options;
             options.feedback = true;
             return std::make_shared<usbsim::models::ClassAudioDevice>(options);
         }},
        {"bitplane-bulk", "the maker's bulk-streaming interface, high speed, 512-byte packets",
         []() -> std::shared_ptr<usbsim::DeviceModel> {
             return std::make_shared<usbsim::models::BitPlaneBulkDevice>();
         }},
        {"bitplane-bulk-1024", "the same with 1024-byte packets",
         []() -> std::shared_ptr<usbsim::DeviceModel> {
             usbsim::models::BitPlaneBulkDevice::Options options;
             options.packetSize = 1024;
             return std::make_shared<usbsim::models::BitPlaneBulkDevice>(options);
         }},
    };
    return models;
}

bool SimulatedDevices::attach(const std::string& model, int* id)
{
    for (const auto& entry : deviceModels()) {
        if (model == entry.name) {
            // Attaching publishes the device to the kernel on this thread; no lock is held then.
            auto device = m_bus.attach(entry.make());
            std::lock_guard lock(m_mutex);
            *id = m_next++;
            m_devices[*id] = Attached{model, device};
            return true;
        }
    }
    return false;
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
        for (const auto& entry : deviceModels()) {
            answer += std::string(entry.name) + "  " + entry.description + "\n";
        }
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
