// A device object on its own for the scan and choice tests: its owner answers as a service that
// was never started (it has no USB device, so every control request fails at once) and keeps the
// properties it is given, its shared block a zeroed record of the test's. The descriptors are
// handed over as the service hands them. Nothing of the kernel service is linked.
#pragma once

#include "DescriptorFixtures.h"

#include "DriverSM.h"
#include "VKDevice.h"
#include "VKDeviceOwner.h"
#include "UnstartedOwner.h"
#include "VKUSBDescriptors.h"

#include <APIDeviceInfo.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace fixtures {

class DeviceHarness
{
public:
    struct Options
    {
        uint16_t release = 0x0100;
        bool highSpeed = false;
        const APISpecificFeatures* features = nullptr; // listed device
        uint8_t numConfigurations = 1;
    };

    DeviceHarness(uint16_t vendor, uint16_t product) : DeviceHarness(vendor, product, Options{}) {}
    DeviceHarness(uint16_t vendor, uint16_t product, const Options& options)
        : owner(std::make_unique<UnstartedOwner>()), sm(std::make_unique<DriverSM>()),
          device(std::make_unique<VKDevice>(*owner))
    {
        device->mpDriverSM = sm.get();
        if (options.highSpeed) {
            device->setIsUSB2Device();
        }
        if (options.features != nullptr) {
            device->mInitSettings = *options.features;
        }
        std::vector<uint8_t> bytes = deviceBytes(vendor, product, options.release, options.numConfigurations);
        USBByteBuffer buffer(bytes.data(), uint32_t(bytes.size()));
        device->scanDeviceDescriptor(buffer);
    }
    ~DeviceHarness() { device.reset(); }
    DeviceHarness(const DeviceHarness&) = delete;
    DeviceHarness& operator=(const DeviceHarness&) = delete;

    // One configuration descriptor set, `received` bytes of it (0: all).
    bool scan(std::vector<uint8_t> bytes, size_t received = 0)
    {
        USBByteBuffer buffer(bytes.data(), uint32_t(received != 0 ? received : bytes.size()));
        return device->scanConfigurationDescriptors(buffer);
    }

    // The description as user space reads it.
    const APIDeviceInfo& info()
    {
        device->buildInternalAPIDeviceInfo();
        return *device->getAPIDeviceInfoPtr();
    }

    QzChannelSettings& settings() { return *device->getCurrentSettings(); }
    void request(int32_t frequency, int32_t in, int32_t out, int32_t inBits, int32_t outBits,
                 uint32_t configuration = 0)
    {
        settings() = QzChannelSettings{frequency, in, inBits, out, outBits, configuration};
    }

    std::unique_ptr<UnstartedOwner> owner;
    std::unique_ptr<DriverSM> sm;
    std::unique_ptr<VKDevice> device;
};

// The alternate records of one interface slot as (alternate, channels, bits, rates) rows.
struct AlternateRow
{
    uint8_t alternate;
    uint8_t channels;
    uint8_t bits;
    std::vector<uint32_t> rates;

    bool operator==(const AlternateRow&) const = default;
};

inline std::vector<AlternateRow> alternatesOf(const APIInterfaceInfo& interface)
{
    std::vector<AlternateRow> rows;
    const unsigned count = std::min<unsigned>(interface.mNumAlternates, APIInterfaceInfo::kMaxAlternates);
    for (unsigned i = 0; i < count; ++i) {
        const APIInterfaceAlternateInfo& alternate = interface.mAlternates[i];
        AlternateRow row{alternate.bAlternateSetting,
                         alternate.mStreaming.bNrChannels,
                         alternate.mStreaming.bBitResolution,
                         {}};
        const unsigned rates =
            std::min<unsigned>(alternate.mStreaming.mNumFrequencies, APIStreamingInfo::kMaxFrequencies);
        for (unsigned r = 0; r < rates; ++r) {
            row.rates.push_back(alternate.mStreaming.mFrequencies[r]);
        }
        rows.push_back(row);
    }
    return rows;
}

inline void PrintTo(const AlternateRow& row, std::ostream* os)
{
    *os << "{alt " << int(row.alternate) << ", " << int(row.channels) << " ch, " << int(row.bits)
        << " bit, rates";
    for (uint32_t rate : row.rates) {
        *os << " " << rate;
    }
    *os << "}";
}

} // namespace fixtures
