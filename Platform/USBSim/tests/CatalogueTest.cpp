// The catalogue: one entry per name and per VID:PID:bcd, and every model a device the bus can
// enumerate and configure.
#include "usbsim/Catalogue.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>
#include <tuple>

#include "platform/HostClock.h"
#include "usbsim/Bus.h"
#include "usbsim/models/TableDevice.h"

namespace usbsim {
namespace {

namespace vc = platform::host_clock::virtual_clock;

TEST(Catalogue, NamesAndIdsAreUnique)
{
    std::set<std::string> names;
    std::set<std::tuple<uint16_t, uint16_t, uint16_t>> ids;
    for (const auto& entry : catalogue()) {
        const std::string name = entry.name;
        EXPECT_TRUE(names.insert(name).second) << "two models called " << name;
        EXPECT_TRUE(ids.insert({entry.vendor, entry.product, entry.bcdDevice}).second)
            << name << " shares its VID:PID:bcd";
        EXPECT_FALSE(name.empty());
        for (const char c : name) {
            EXPECT_FALSE(std::isspace(static_cast<unsigned char>(c))) << name << " is not one word";
        }
        EXPECT_NE(std::string(entry.description), "") << name;
        EXPECT_EQ(findModel(name), &entry);
    }
    EXPECT_EQ(findModel("no-such-model"), nullptr);
    EXPECT_EQ(makeModel("no-such-model"), nullptr);
}

// Enumerates each model as a host would: device descriptor, strings, every readable
// configuration (whole, its length as it says), then every alternate of every interface.
TEST(Catalogue, EveryModelEnumeratesAndConfigures)
{
    vc::Scope clock{1'000'000'000};
    Bus bus;
    for (const auto& entry : catalogue()) {
        SCOPED_TRACE(entry.name);
        auto model = entry.make();
        ASSERT_TRUE(model);
        auto device = bus.attach(model);
        uint8_t raw[18] = {};
        uint32_t done = 0;
        ASSERT_EQ(device->deviceRequest({0x80, kGetDescriptor, 0x0100, 0, 18}, raw, &done), kSuccess);
        const auto descriptor = DeviceDescriptor::parse({raw, done});
        ASSERT_TRUE(descriptor);
        EXPECT_EQ(descriptor->idVendor, entry.vendor);
        EXPECT_EQ(descriptor->idProduct, entry.product);
        EXPECT_EQ(descriptor->bcdDevice, entry.bcdDevice);
        for (const uint8_t index : {descriptor->iManufacturer, descriptor->iProduct}) {
            uint8_t text[255] = {};
            EXPECT_EQ(device->deviceRequest({0x80, kGetDescriptor, static_cast<uint16_t>(0x0300 | index), 0x0409,
                                             255},
                                            text, &done),
                      kSuccess);
        }

        int configured = 0;
        for (uint8_t value = 1; value <= descriptor->bNumConfigurations; ++value) {
            std::vector<uint8_t> bytes(4096);
            uint32_t length = 4096;
            if (device->readConfigurationDescriptor(value, bytes.data(), &length) != kSuccess) {
                continue; // a model may carry an unreadable configuration on purpose
            }
            bytes.resize(length);
            ASSERT_GE(length, kConfigurationHeaderLength);
            EXPECT_EQ(length, static_cast<uint32_t>(bytes[2] | bytes[3] << 8)) << "configuration " << int{value};
            const auto layout = ConfigurationLayout::parse(bytes);
            ASSERT_TRUE(layout);
            ASSERT_EQ(device->setConfiguration(value), kSuccess);
            for (const auto& intf : layout->interfaces) {
                for (const auto& alt : intf.alternates) {
                    EXPECT_EQ(device->setAlternate(intf.number, alt.bAlternateSetting), kSuccess)
                        << "interface " << int{intf.number} << " alternate " << int{alt.bAlternateSetting};
                }
                EXPECT_EQ(device->setAlternate(intf.number, 0), kSuccess);
            }
            ++configured;
        }
        EXPECT_GE(configured, 1);
        bus.detach(device);
        bus.settle();
    }
}

TEST(Catalogue, TableModelKeepsTheSampleRateOfEachEndpoint)
{
    vc::Scope clock{1'000'000'000};
    Bus bus;
    auto model = std::dynamic_pointer_cast<models::TableDevice>(makeModel("class-audio-24"));
    ASSERT_TRUE(model);
    auto device = bus.attach(model);
    uint8_t rate[3] = {0x80, 0xBB, 0x00}; // 48000
    uint32_t done = 0;
    ASSERT_EQ(device->deviceRequest({0x22, 0x01, 0x0100, 0x01, 3}, rate, &done), kSuccess);
    EXPECT_EQ(model->sampleRate(0x01), 48000u);
    EXPECT_EQ(model->sampleRate(0x82), 44100u) << "each endpoint keeps its own";
    uint8_t read[3] = {};
    ASSERT_EQ(device->deviceRequest({0xA2, 0x81, 0x0100, 0x01, 3}, read, &done), kSuccess);
    EXPECT_EQ(read[0] | read[1] << 8 | read[2] << 16, 48000);
    EXPECT_EQ(device->deviceRequest({0xA2, 0x81, 0x0100, 0x05, 3}, read, &done), kPipeStalled)
        << "no such endpoint";
}

} // namespace
} // namespace usbsim
