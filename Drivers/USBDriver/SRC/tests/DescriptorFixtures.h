// Small configuration descriptor sets for the scan and selection tests, written one descriptor per
// call so that a test reads like the descriptor dump it stands for.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace fixtures {

class ConfigBytes
{
public:
    explicit ConfigBytes(uint8_t numInterfaces, uint8_t configurationValue = 1)
    {
        bytes = {9, 2, 0, 0, numInterfaces, configurationValue, 0, 0x80, 50};
    }

    ConfigBytes& interface(uint8_t number, uint8_t alternate, uint8_t numEndpoints,
                           uint8_t interfaceClass = 1, uint8_t subClass = 2)
    {
        return add({9, 4, number, alternate, numEndpoints, interfaceClass, subClass, 0, 0});
    }
    ConfigBytes& audioControlHeader() { return add({9, 0x24, 1, 0x00, 0x01, 9, 0, 1, 1}); }
    ConfigBytes& streamingGeneral() { return add({7, 0x24, 1, 1, 1, 1, 0}); }
    // Format type I with a discrete rate list.
    ConfigBytes& format(uint8_t channels, uint8_t bits, const std::vector<uint32_t>& rates)
    {
        std::vector<uint8_t> d = {
            uint8_t(8 + 3 * rates.size()), 0x24, 2, 1, channels, uint8_t((bits + 7) / 8), bits,
            uint8_t(rates.size())};
        for (uint32_t rate : rates) {
            d.push_back(uint8_t(rate));
            d.push_back(uint8_t(rate >> 8));
            d.push_back(uint8_t(rate >> 16));
        }
        bytes.insert(bytes.end(), d.begin(), d.end());
        return *this;
    }
    // Format type I with a continuous range.
    ConfigBytes& formatRange(uint8_t channels, uint8_t bits, uint32_t lower, uint32_t upper)
    {
        return add({14, 0x24, 2, 1, channels, uint8_t((bits + 7) / 8), bits, 0, uint8_t(lower),
                    uint8_t(lower >> 8), uint8_t(lower >> 16), uint8_t(upper), uint8_t(upper >> 8),
                    uint8_t(upper >> 16)});
    }
    // Isochronous data endpoint with its class-specific endpoint descriptor.
    ConfigBytes& isoEndpoint(uint8_t address, uint16_t maxPacket, uint8_t classAttributes = 0)
    {
        add({9, 5, address, 0x05, uint8_t(maxPacket), uint8_t(maxPacket >> 8), 1, 0, 0});
        return add({7, 0x25, 1, classAttributes, 0, 0, 0});
    }
    ConfigBytes& raw(std::initializer_list<uint8_t> descriptor) { return add(descriptor); }

    // The set with wTotalLength filled in.
    std::vector<uint8_t> build() const
    {
        std::vector<uint8_t> out = bytes;
        out[2] = uint8_t(out.size());
        out[3] = uint8_t(out.size() >> 8);
        return out;
    }

private:
    ConfigBytes& add(std::initializer_list<uint8_t> descriptor)
    {
        bytes.insert(bytes.end(), descriptor.begin(), descriptor.end());
        return *this;
    }

    std::vector<uint8_t> bytes;
};

// An 18-byte device descriptor.
inline std::vector<uint8_t> deviceBytes(uint16_t vendor, uint16_t product, uint16_t release,
                                        uint8_t numConfigurations = 1, uint16_t bcdUSB = 0x0200)
{
    return {18,
            1,
            uint8_t(bcdUSB),
            uint8_t(bcdUSB >> 8),
            0,
            0,
            0,
            64,
            uint8_t(vendor),
            uint8_t(vendor >> 8),
            uint8_t(product),
            uint8_t(product >> 8),
            uint8_t(release),
            uint8_t(release >> 8),
            1,
            2,
            3,
            numConfigurations};
}

// A plain class-compliant stereo device: interface 0 control, 1 output and 2 input, each with a
// zero-bandwidth alternate 0 and the given formats on alternate 1.
inline std::vector<uint8_t> stereoDevice(uint8_t bits = 24,
                                         std::initializer_list<uint32_t> rates = {44100, 48000})
{
    const uint16_t packet = uint16_t(2 * ((bits + 7) / 8) * 49);
    return ConfigBytes(3)
        .interface(0, 0, 0, 1, 1)
        .audioControlHeader()
        .interface(1, 0, 0)
        .interface(1, 1, 1)
        .streamingGeneral()
        .format(2, bits, rates)
        .isoEndpoint(0x01, packet)
        .interface(2, 0, 0)
        .interface(2, 1, 1)
        .streamingGeneral()
        .format(2, bits, rates)
        .isoEndpoint(0x82, packet)
        .build();
}

} // namespace fixtures
