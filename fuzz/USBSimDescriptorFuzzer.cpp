// A device whose configuration descriptor is the fuzzer's bytes: the bus walks it when the host
// sets the configuration and each alternate setting, and the host reads it back. Nothing may be
// read past the bytes, whatever their lengths and counts say.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "usbsim/Bus.h"

namespace {

class FuzzedDevice : public usbsim::DeviceModel
{
public:
    explicit FuzzedDevice(std::vector<uint8_t> configuration)
    {
        setSpeed(configuration.size() % 2 == 0 ? usbsim::Speed::full : usbsim::Speed::high);
        setDeviceDescriptor({18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x09, 0x12, 0x01, 0x00, 0x00, 0x01, 0, 0, 0, 1});
        addConfiguration(std::move(configuration));
    }
};

usbsim::Bus& bus()
{
    static usbsim::Bus instance;
    return instance;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> bytes(data, data + size);
    const auto layout = usbsim::ConfigurationLayout::parse(bytes);
    auto device = bus().attach(std::make_shared<FuzzedDevice>(bytes));
    const uint8_t value = size > 5 ? data[5] : 1;
    if (device->setConfiguration(value) == usbsim::kSuccess && layout) {
        for (const auto& intf : layout->interfaces) {
            for (const auto& alt : intf.alternates) {
                device->setAlternate(intf.number, alt.bAlternateSetting);
            }
        }
    }
    std::vector<uint8_t> back(4096);
    uint32_t length = static_cast<uint32_t>(back.size());
    device->readConfigurationDescriptor(value, back.data(), &length);
    bus().detach(device);
    return 0;
}
