#include <gtest/gtest.h>

#include "PropertyItem.h"

namespace {

struct Host : PropertyItemHost
{
    int told = 0;
    void onPropertyChanged(PropertyItem*) override { ++told; }
};

TEST(PropertyItemTest, OnlyAChangeWithNotifyTellsTheHost)
{
    Host host;
    PropertyItem item(&host, kPropTypeUInt32);
    EXPECT_FALSE(item.set(0, true)) << "the value it holds";
    EXPECT_TRUE(item.set(5, false));
    EXPECT_EQ(host.told, 0);
    EXPECT_TRUE(item.set(6, true));
    EXPECT_EQ(host.told, 1);
    EXPECT_EQ(item.getUInt32(), 6U);
}

TEST(PropertyItemTest, AnItemOfAnotherTypeNeverChanges)
{
    Host host;
    PropertyItem item(&host, static_cast<EPropType>(3));
    EXPECT_FALSE(item.set(5, true));
    EXPECT_EQ(item.getUInt32(), 0U);
    EXPECT_EQ(host.told, 0);
}

} // namespace
