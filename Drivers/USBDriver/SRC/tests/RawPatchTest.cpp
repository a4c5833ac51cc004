// Raw byte patches of non-compliant configuration descriptors: applied only inside what was
// received; a patch made for a field of a descriptor only where that descriptor sits, a patch made
// for an offset wherever the offset lies.
#include "DescriptorFixtures.h"
#include "VKDeviceSubstitutes.h"

#include <DeviceModels.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using fixtures::ConfigBytes;

// Header and three interface descriptors back to back: the layout the MBox patch is made for.
std::vector<uint8_t> mboxLayout()
{
    return ConfigBytes(3)
        .interface(0, 0, 0, 0xFF, 0)
        .interface(1, 0, 0, 0xFF, 0)
        .interface(2, 0, 0, 0xFF, 0)
        .interface(2, 1, 1, 0xFF, 0)
        .isoEndpoint(0x82, 192)
        .build();
}

// A configuration header, then descriptors of type 0x24: an 11-byte format descriptor at each of
// `formats` (its resolution byte 6 bytes in) and filler descriptors between them.
std::vector<uint8_t> formatsAt(std::initializer_list<size_t> formats, uint8_t formatType = 0x24)
{
    std::vector<uint8_t> bytes = ConfigBytes(1).build();
    auto fillTo = [&bytes](size_t start) {
        while (bytes.size() < start) {
            size_t length = std::min<size_t>(start - bytes.size(), 200);
            if (start - bytes.size() - length == 1) {
                --length; // never leave a 1-byte gap
            }
            std::vector<uint8_t> filler(length, 0);
            filler[0] = uint8_t(length);
            filler[1] = 0x24;
            filler[2] = 0x0F;
            bytes.insert(bytes.end(), filler.begin(), filler.end());
        }
    };
    for (size_t start : formats) {
        fillTo(start);
        const std::vector<uint8_t> format = {11, formatType, 2, 1, 2, 2, 16, 1, 0x44, 0xAC, 0x00};
        bytes.insert(bytes.end(), format.begin(), format.end());
    }
    bytes[2] = uint8_t(bytes.size());
    bytes[3] = uint8_t(bytes.size() >> 8);
    return bytes;
}

struct PatchCase
{
    const char* name;
    DeviceModel model;
    std::vector<uint8_t> bytes;
    size_t received; // bytes handed over (0: all)
    size_t applied;
    std::vector<std::pair<size_t, uint8_t>> expected; // offset -> value afterwards
};

class RawPatchTest : public testing::TestWithParam<PatchCase>
{
};

TEST_P(RawPatchTest, AppliesOnlyWhereTheExpectedDescriptorWasReceived)
{
    const PatchCase& c = GetParam();
    std::vector<uint8_t> bytes = c.bytes;
    const size_t received = c.received != 0 ? c.received : bytes.size();
    const std::vector<uint8_t> before = bytes;

    EXPECT_EQ(USB::applyRawPatches(c.model.vendor, c.model.product, bytes.data(), received), c.applied);

    std::vector<uint8_t> expected = before;
    for (const auto& [offset, value] : c.expected) {
        expected[offset] = value;
    }
    EXPECT_EQ(bytes, expected);
}

std::vector<uint8_t> with(std::vector<uint8_t> bytes, size_t offset, uint8_t value)
{
    bytes[offset] = value;
    return bytes;
}

// Header, class-specific filler up to 159, a descriptor of `type` there (its byte 5 is byte 164),
// and filler up to `size`.
std::vector<uint8_t> longSet(size_t size, uint8_t type = 4)
{
    std::vector<uint8_t> bytes = ConfigBytes(1).build();
    const std::vector<uint8_t> filler = {10, 0x24, 0x0F, 0, 0, 0, 0, 0, 0, 0};
    while (bytes.size() < 159) {
        bytes.insert(bytes.end(), filler.begin(), filler.end());
    }
    const std::vector<uint8_t> at159 = {9, type, 1, 0, 0, 0xFF, 0, 0, 0};
    bytes.insert(bytes.end(), at159.begin(), at159.end());
    while (bytes.size() + filler.size() <= size) {
        bytes.insert(bytes.end(), filler.begin(), filler.end());
    }
    bytes.resize(std::min(bytes.size(), size));
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Models, RawPatchTest,
    testing::Values(
        PatchCase{"MBoxInterfacesRelabelled",
                  kModelMBox,
                  mboxLayout(),
                  0,
                  3,
                  {{14, 1}, {15, 1}, {23, 1}, {24, 2}, {32, 1}, {33, 2}}},
        PatchCase{"MBoxShortReadPatchesOnlyWhatArrived",
                  kModelMBox,
                  mboxLayout(),
                  27,
                  2,
                  {{14, 1}, {15, 1}, {23, 1}, {24, 2}}},
        PatchCase{"MBoxThirdDescriptorNotAnInterface",
                  kModelMBox,
                  with(mboxLayout(), 28, 0x24),
                  0,
                  2,
                  {{14, 1}, {15, 1}, {23, 1}, {24, 2}}},
        PatchCase{"MBoxOtherFirmwareLayout",
                  kModelMBox,
                  ConfigBytes(2)
                      .interface(0, 0, 0, 0xFF, 0)
                      .audioControlHeader()
                      .interface(1, 0, 0, 0xFF, 0)
                      .build(),
                  0,
                  2,
                  {{14, 1}, {15, 1}, {32, 1}, {33, 2}}},
        PatchCase{"1604FirstInterfaceStreams", kModel1604_8006, mboxLayout(), 0, 1, {{14, 1}, {15, 2}}},
        PatchCase{"1604HeaderOnly", kModel1604_8006, ConfigBytes(0).build(), 0, 0, {}},
        PatchCase{"USBPreResolutions",
                  kModelUSBPre,
                  formatsAt({292, 338, 565, 608}),
                  0,
                  4,
                  {{298, 24}, {344, 24}, {571, 24}, {614, 24}}},
        PatchCase{
            "USBPreShortRead", kModelUSBPre, formatsAt({292, 338, 565, 608}), 400, 2, {{298, 24}, {344, 24}}},
        // Made for offsets, not fields: the bytes there are patched whatever descriptor holds them.
        PatchCase{"USBPreFormatsElsewhere",
                  kModelUSBPre,
                  formatsAt({290, 340, 560, 610}),
                  0,
                  4,
                  {{298, 24}, {344, 24}, {571, 24}, {614, 24}}},
        PatchCase{"USBPreOtherDescriptorType",
                  kModelUSBPre,
                  formatsAt({292, 338, 565, 608}, 0x21),
                  0,
                  4,
                  {{298, 24}, {344, 24}, {571, 24}, {614, 24}}},
        PatchCase{"1ACCByteInsideADescriptor", kModel1ACC_0049, longSet(200), 0, 1, {{164, 1}}},
        PatchCase{"1ACCSetTooShort", kModel1ACC_0049, longSet(160), 0, 0, {}},
        PatchCase{"1ACCByteInAnotherDescriptor", kModel1ACC_0049, longSet(200, 0x24), 0, 1, {{164, 1}}},
        PatchCase{
            "1ACCByteWhereADescriptorBegins", kModel1ACC_0049, with(longSet(200), 159, 5), 0, 1, {{164, 1}}},
        PatchCase{"1ACCLastByteReceived", kModel1ACC_0049, longSet(200), 165, 1, {{164, 1}}},
        PatchCase{"1ACCOneByteShort", kModel1ACC_0049, longSet(200), 164, 0, {}},
        PatchCase{"UnlistedModelUntouched", kModelFendrimo, mboxLayout(), 0, 0, {}}),
    [](const testing::TestParamInfo<PatchCase>& param) { return std::string(param.param.name); });

TEST(RawPatch, ABrokenLengthChainStopsTheWalk)
{
    // A zero length byte before the patched offset: nothing after it can be located.
    std::vector<uint8_t> bytes = mboxLayout();
    bytes[9] = 0;
    const std::vector<uint8_t> before = bytes;
    EXPECT_EQ(USB::applyRawPatches(kModelMBox.vendor, kModelMBox.product, bytes.data(), bytes.size()), 0u);
    EXPECT_EQ(bytes, before);
    EXPECT_EQ(USB::applyRawPatches(kModelMBox.vendor, kModelMBox.product, nullptr, 100), 0u);
}

} // namespace
