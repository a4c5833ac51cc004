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

namespace {

// A model's profile: the traits of every row that names it (by release where the row says so), of
// its vendor's row, and its mixer-mode channels.
TEST(VKDeviceModelRulesTest, AProfileGathersTheRowsThatNameTheModel)
{
    const struct
    {
        uint16_t vendor, product, release;
        uint64_t has;
        uint64_t hasNot;
    } cases[] = {
        {0x1935, 0x0006, 0x0003, kTraitElektron | kTraitSubstituteDescriptors | kTraitResetWhenUnconfigured,
         0},
        {0x0A4A, 0x6A02, 0x0100, kTraitStatusRegister | kTraitSetInterfaceToDevice, kTraitElektron},
        {0x0746, 0x1234, 0x0100, kTraitUnit2StartControl, 0}, // any product of the vendor
        {0x0DBA, 0x1000, 0x0100, kTraitDigidesign | kTraitDigidesignReset | kTraitNoRequestedReset, 0},
        {0x0DBA, 0x2000, 0x0100, kTraitDigidesign, kTraitNoRequestedReset},
        {0x09E8, 0x207F, 0x0300, kTraitIsocInIsocOut, 0},
        {0x09E8, 0x207F, 0x0100, 0, kTraitIsocInIsocOut}, // that revision only
        {0x0644, 0x8040, 0x0100, kTraitFixedInputSelection | kTraitSelectionWrittenWhenChanged,
         kTraitMixerModes},
        {0x2912, 0x3101, 0x0100, 0, ~uint64_t{0}}, // no rules at all
    };
    for (const auto& c : cases) {
        const ModelProfile profile = modelProfileOf(c.vendor, c.product, c.release);
        EXPECT_EQ(profile.traits & c.has, c.has) << std::hex << c.vendor << ":" << c.product;
        EXPECT_EQ(profile.traits & c.hasNot, 0u) << std::hex << c.vendor << ":" << c.product;
    }
    EXPECT_EQ(modelProfileOf(0x0644, 0x8048, 0x0100).mixerModeChannels.in, 4);
    EXPECT_EQ(modelProfileOf(0x0644, 0x8048, 0x0100).mixerModeChannels.out, 4);
    EXPECT_EQ(modelProfileOf(0x0644, 0x8046, 0x0100).mixerModeChannels.in, 6);
    EXPECT_EQ(modelProfileOf(0x0644, 0x8046, 0x0100).mixerModeChannels.out, 2);
}

// Every trait answers a question some row asks: none is left without a model.
TEST(VKDeviceModelRulesTest, EveryTraitIsGivenToSomeModel)
{
    uint64_t given = kTraitUnit2StartControl | kTraitDigidesign; // the vendor rows
    for (const ModelTraitRow& row : traitTable()) {
        EXPECT_NE(row.traits, 0u) << row.model.name;
        given |= row.traits;
    }
    EXPECT_EQ(given, (uint64_t{1} << 57) - 1);
}

} // namespace
