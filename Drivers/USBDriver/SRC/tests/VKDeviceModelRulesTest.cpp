#include "VKDeviceModelRules.h"

#include <gtest/gtest.h>

#include <set>
#include <tuple>

using namespace vkdevice;

namespace {

TEST(VKDeviceModelRulesTest, EveryTableHasOneRowPerModelAndRelease)
{
    std::set<std::tuple<uint32_t, uint16_t>> capabilityKeys;
    for (const ModelCapabilities& row : capabilityTable()) {
        EXPECT_TRUE(capabilityKeys.emplace(row.model.key(), row.release).second) << row.model.name;
        EXPECT_NE(row.capabilities, 0u) << row.model.name;
    }
    std::set<uint32_t> startupKeys;
    for (const ModelStartup& row : startupTable()) {
        EXPECT_TRUE(startupKeys.insert(row.model.key()).second) << row.model.name;
    }
    std::set<uint32_t> defaultKeys;
    for (const ModelDefaultSettings& row : defaultSettingsTable()) {
        EXPECT_TRUE(defaultKeys.insert(row.model.key()).second) << row.model.name;
        EXPECT_TRUE(row.bits == 16 || row.bits == 24) << row.model.name;
        EXPECT_LE(row.inChannelsHS, 32) << row.model.name;
        EXPECT_LE(row.outChannelsHS, 32) << row.model.name;
    }
}

TEST(VKDeviceModelRulesTest, CapabilitiesOfAModelDependOnItsReleaseOnlyWhereARowSaysSo)
{
    struct Case
    {
        uint16_t vendor, product, release;
        uint32_t expected;
    };
    const Case cases[] = {
        {0x0A4A, 0x6A02, 0x0200, kCapCorlanth | kCapMorvane | kCapRequestsWhileStreaming},
        {0x0A4A, 0x6A02, 0x0100, kCapCan192},
        {0x0A4A, 0x6A02, 0x0300, 0},
        {0x0A4A, 0xA300, 0x0001, kCapTessaly},
        {0x0A4A, 0xA300, 0x9999, kCapTessaly},
        {0x15E4, 0x0079, 0x0100, kCapBulkInIsocOut | kCapNoDigital},
        {0x0644, 0x8040, 0x0100, kCapNoDigital},
        {0x0644, 0x8041, 0x0100, kCapCan192},
        {0x0A4A, 0xA192, 0x0100, kCapCan192 | kCapRequestsWhileStreaming | kCapRegularMidi},
        {0x0763, 0x4002, 0x0100, kCapBulkInIsocOut},
        {0x1234, 0x5678, 0x0100, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(capabilitiesOf(c.vendor, c.product, c.release), c.expected)
            << std::hex << c.vendor << ":" << c.product << " bcd " << c.release;
    }
}

TEST(VKDeviceModelRulesTest, FirmwareVersionPutsTheSecondByteInDecimalDigits)
{
    struct Case
    {
        uint8_t b0, b1, b2;
        uint32_t expected;
    };
    const Case cases[] = {
        {0x12, 0x01, 0x2B, 0x01040312}, // 43 = 4 tens, 3 units
        {0x00, 0x00, 0x00, 0},
        {0xFF, 0xFF, 0xFF, 0xFF1905FF}, // 255 = 25 tens, 5 units
        {0x07, 0x02, 0x09, 0x02000907},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(firmwareVersionFrom(c.b0, c.b1, c.b2), c.expected);
    }
}

TEST(VKDeviceModelRulesTest, ExtendedChannelsAreCappedThenCorrectedByModel)
{
    struct Case
    {
        uint16_t product;
        uint8_t byte3, byte4;
        uint32_t inputs, outputs;
    };
    const Case cases[] = {
        {0x002C, 0x88, 0x90, 32, 16}, // high bit ignored: 8 outputs x 2, 16 inputs x 2
        {0x002C, 0x7F, 0x7F, 32, 16}, // capped
        {0x002C, 0x04, 0x00, 0, 8},   {0x0040, 0x04, 0x00, 4, 8}, // no inputs reported: 4
        {0x0040, 0x04, 0x01, 2, 8},                               // a count is kept
        {0x0026, 0x04, 0x05, 2, 8},                               // always 2
        {0x0071, 0x04, 0x00, 2, 8},   {0x0079, 0x02, 0x02, 2, 4}, // 4 becomes 2
        {0x0079, 0x02, 0x03, 6, 4},
    };
    for (const Case& c : cases) {
        const ExtendedChannels channels =
            extendedChannelsFrom(c.byte3, c.byte4, startupOf(0x15E4, c.product));
        EXPECT_EQ(channels.inputs, c.inputs) << std::hex << c.product;
        EXPECT_EQ(channels.outputs, c.outputs) << std::hex << c.product;
    }
    EXPECT_EQ(extendedChannelsFrom(0x01, 0x01, nullptr).inputs, 2u);
}

} // namespace
