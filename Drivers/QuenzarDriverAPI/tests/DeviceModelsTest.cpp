#include "DeviceModels.h"

#include <gtest/gtest.h>

namespace {

constexpr DeviceModel kA{0x1111, 0x0001, "A"};
constexpr DeviceModel kB{0x1111, 0x0002, "B"};
constexpr DeviceModel kRegistry[] = {kA, kB};

struct Row
{
    DeviceModel model;
    int value;
};

TEST(DeviceModelsTest, ATableRowNamesARegisteredModelByItsIdsAndName)
{
    const char sameText[] = "A"; // another copy of the name: names compare by their text
    const Row registered[] = {{kA, 1}, {kB, 2}, {{0x1111, 0x0001, sameText}, 3}};
    const Row unknownProduct[] = {{kA, 1}, {{0x1111, 0x0003, "C"}, 2}};
    const Row unknownVendor[] = {{{0x2222, 0x0001, "A"}, 1}};
    const Row otherName[] = {{{0x1111, 0x0001, "B"}, 1}};
    const Row noName[] = {{{0x1111, 0x0001, nullptr}, 1}};

    EXPECT_TRUE(modelsRegistered(registered, kRegistry));
    EXPECT_FALSE(modelsRegistered(unknownProduct, kRegistry));
    EXPECT_FALSE(modelsRegistered(unknownVendor, kRegistry));
    EXPECT_FALSE(modelsRegistered(otherName, kRegistry));
    EXPECT_FALSE(modelsRegistered(noName, kRegistry));
}

TEST(DeviceModelsTest, ARegistryHasOneEntryPerModelAndOneModelPerName)
{
    const DeviceModel sameIds[] = {kA, {0x1111, 0x0001, "C"}};
    const DeviceModel sameName[] = {kA, {0x1111, 0x0003, "A"}};
    const DeviceModel emptyName[] = {kA, {0x1111, 0x0003, ""}};
    const DeviceModel nullName[] = {kA, {0x1111, 0x0003, nullptr}};
    const DeviceModel sameProductOtherVendor[] = {kA, {0x2222, 0x0001, "C"}};

    EXPECT_TRUE(modelsUnique(kRegistry));
    EXPECT_TRUE(modelsUnique(sameProductOtherVendor));
    EXPECT_FALSE(modelsUnique(sameIds));
    EXPECT_FALSE(modelsUnique(sameName));
    EXPECT_FALSE(modelsUnique(emptyName));
    EXPECT_FALSE(modelsUnique(nullName));
    EXPECT_TRUE(modelsUnique(kDeviceModels));
}

} // namespace
