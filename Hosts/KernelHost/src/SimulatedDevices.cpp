#include "SimulatedDevices.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "usbsim/Catalogue.h"
#include "usbsim/models/AudioModel.h"

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

namespace {

constexpr long kMostPpm = 100'000;

// A whole decimal number within [low, high].
std::optional<long> number(const std::string& text, long low, long high)
{
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0' || errno != 0 || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

} // namespace

IOReturn SimulatedDevices::attach(const std::string& model, int* id, std::optional<int32_t> ppm)
{
    auto made = usbsim::makeModel(model);
    if (!made) {
        return kIOReturnNotFound;
    }
    if (ppm) {
        auto* audio = dynamic_cast<usbsim::models::AudioModel*>(made.get());
        if (audio == nullptr) {
            return kIOReturnUnsupported;
        }
        audio->setClockPpm(*ppm);
    }
    // Attaching publishes the device to the kernel on this thread; no lock is held then.
    auto device = m_bus.attach(std::move(made));
    std::lock_guard lock(m_mutex);
    *id = m_next++;
    m_devices[*id] = Attached{model, device};
    return kIOReturnSuccess;
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
    if (verb == "attach" && (words.size() == 2 || words.size() == 3)) {
        std::optional<int32_t> ppm;
        if (words.size() == 3) {
            const auto value = number(words[2], -kMostPpm, kMostPpm);
            if (!value) {
                answer = "not a clock error in ppm: " + words[2] + " (-100000 to 100000)\n";
                return kIOReturnBadArgument;
            }
            ppm = static_cast<int32_t>(*value);
        }
        int id = 0;
        const IOReturn status = attach(words[1], &id, ppm);
        if (status == kIOReturnNotFound) {
            answer = "no such model: " + words[1] + " (see \"models\")\n";
        } else if (status != kIOReturnSuccess) {
            answer = words[1] + " has no sample clock\n";
        } else {
            answer = std::to_string(id) + "\n";
        }
        return status;
    }
    if (verb == "detach" && words.size() == 2) {
        const auto id = number(words[1], 1, INT_MAX);
        if (!id || !detach(static_cast<int>(*id))) {
            answer = "no such device: " + words[1] + " (see \"devices\")\n";
            return kIOReturnNotFound;
        }
        return kIOReturnSuccess;
    }
    answer = "commands: models | devices | attach MODEL [PPM] | detach NUMBER\n";
    return kIOReturnBadArgument;
}

} // namespace kernel_host
