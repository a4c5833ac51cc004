#include "SimulatedDevices.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "platform/Log.h"
#include "usbsim/Catalogue.h"
#include "usbsim/models/AudioModel.h"
#include "usbsim/models/StreamingDevice.h"

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

std::optional<int32_t> SimulatedDevices::clockPpm(const std::string& text)
{
    const auto value = number(text, -kMostPpm, kMostPpm);
    return value ? std::optional<int32_t>(static_cast<int32_t>(*value)) : std::nullopt;
}

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
    return attachModel(model, std::move(made), id);
}

IOReturn SimulatedDevices::attachModel(const std::string& name, std::shared_ptr<usbsim::DeviceModel> model, int* id)
{
    // Attaching publishes the device to the kernel on this thread; no lock is held then.
    auto device = m_bus.attach(std::move(model));
    std::lock_guard lock(m_mutex);
    *id = m_next++;
    m_devices[*id] = Attached{name, device};
    return kIOReturnSuccess;
}

IOReturn SimulatedDevices::attachData(const std::string& name, const usbsim::models::ModelData& data, int* id)
{
    const IOReturn status = attachModel(name, usbsim::models::makeTableModel(data), id);
    const auto descriptor = usbsim::DeviceDescriptor::parse(data.device).value_or(usbsim::DeviceDescriptor{});
    IOLog("sonvexa-kerneld: attached device %d (%s: %04X:%04X, %s speed, %zu configuration(s), %zu stream "
          "format(s), %zu reply row(s))\n",
          *id, name.c_str(), descriptor.idVendor, descriptor.idProduct,
          data.speed == usbsim::Speed::high ? "high" : "full", data.configurations.size(),
          data.streaming.formats.size(), data.replies.size());
    return status;
}

IOReturn SimulatedDevices::attachFile(const usbsim::models::DeviceFiles& files, int* id, std::string* error)
{
    const auto data = usbsim::models::readDeviceFiles(files, error);
    if (!data) {
        return kIOReturnBadArgument;
    }
    return attachData("file:" + files.descriptors, *data, id);
}

std::optional<uint32_t> SimulatedDevices::location(int id) const
{
    std::lock_guard lock(m_mutex);
    const auto found = m_devices.find(id);
    if (found == m_devices.end()) {
        return std::nullopt;
    }
    return found->second.device->locationID();
}

bool SimulatedDevices::fileOptions(const std::vector<std::string>& words, size_t next,
                                   usbsim::models::DeviceFiles& files, std::string* error)
{
    for (size_t i = next; i < words.size(); i += 2) {
        const bool valued = i + 1 < words.size();
        if (words[i] == "--speed" && valued && (words[i + 1] == "full" || words[i + 1] == "high")) {
            files.speed = words[i + 1] == "full" ? usbsim::Speed::full : usbsim::Speed::high;
        } else if (words[i] == "--side-file" && valued) {
            files.side = words[i + 1];
        } else {
            *error = "not --speed full|high or --side-file SIDE: " + words[i];
            return false;
        }
    }
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
        char ids[16];
        std::snprintf(ids, sizeof ids, " %04X:%04X\n", attached.device->descriptor().idVendor,
                      attached.device->descriptor().idProduct);
        text += std::to_string(id);
        text += ' ';
        text += attached.model; // a file's path may be long
        text += ids;
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
            ppm = clockPpm(words[2]);
            if (!ppm) {
                answer = "not a clock error in ppm: " + words[2] + " (-100000 to 100000)\n";
                return kIOReturnBadArgument;
            }
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
    if (verb == "attach-file" && words.size() >= 2) {
        usbsim::models::DeviceFiles files;
        files.descriptors = words[1];
        std::string error;
        int id = 0;
        IOReturn status = kIOReturnBadArgument;
        if (fileOptions(words, 2, files, &error)) {
            status = attachFile(files, &id, &error);
        }
        answer = status == kIOReturnSuccess ? std::to_string(id) + "\n" : error + "\n";
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
    if (verb == "location" && words.size() == 2) {
        const auto id = number(words[1], 1, INT_MAX);
        const auto where = id ? location(static_cast<int>(*id)) : std::nullopt;
        if (!where) {
            answer = "no such device: " + words[1] + " (see \"devices\")\n";
            return kIOReturnNotFound;
        }
        char text[16];
        std::snprintf(text, sizeof text, "0x%08X\n", *where);
        answer = text;
        return kIOReturnSuccess;
    }
    answer = "commands: models | devices | attach MODEL [PPM] | attach-file FILE [--speed full|high] "
             "[--side-file SIDE] | detach NUMBER | location NUMBER\n";
    return kIOReturnBadArgument;
}

} // namespace kernel_host
