// The owner of a device object on its own: it answers as a service that was never started (no
// USB device, so every control request fails at once), keeps its configuration status, and
// records the state changes and properties it is given. For the scan and choice tests and the
// fuzz targets that drive a device without the kernel service.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "VKDeviceOwner.h"

namespace fixtures {

class UnstartedOwner final : public VKDeviceOwner
{
public:
    IOReturn deviceRequest(UInt8, UInt8, UInt8, UInt8, UInt16, UInt16, void*, UInt32&, int) override
    {
        return kIOReturnError;
    }
    bool setFrequency(VKPipeDescriptor*, VKPipeDescriptor*, UInt32) override { return false; }
    UInt64 getCurrentFrame() override { return kUnreadableFrame; }
    bool setBandwidth(VKPipeDescriptor*, UInt32) override { return false; }
    bool isocReadFeedback(VKIsocRB*, VKPipeDescriptor*) override { return false; }
    IOService* service() override { return nullptr; }
    IOReturn reqConfigureDevice(const char*) override { return kIOReturnError; }
    void unconfigureDevice(bool, const char*) override {}
    uint32_t configurationStatus() const override { return status; }
    void setConfigurationStatus(uint32_t value) override { status = value; }
    bool isTerminateRequested() const override { return false; }
    void messageToClients(UInt32 code, UInt64, UInt32, UInt32) override { messages.push_back(code); }
    void setChannelSettingsProperty() override {}
    void setAqExtDataProperty() override {}
    bool setProperty(const char* key, void* bytes, unsigned int length) override
    {
        const auto* first = static_cast<const uint8_t*>(bytes);
        properties[key] = std::vector<uint8_t>(first, first + length);
        return true;
    }

    // The bytes of a property set, null when none was.
    const std::vector<uint8_t>* property(const std::string& key) const
    {
        auto found = properties.find(key);
        return found != properties.end() ? &found->second : nullptr;
    }

    uint32_t status = 0xE0000001; // the service's status before any configuration
    std::vector<UInt32> messages; // state changes sent, in order
    std::map<std::string, std::vector<uint8_t>> properties;
};

} // namespace fixtures
