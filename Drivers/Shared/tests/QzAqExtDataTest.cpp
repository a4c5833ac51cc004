#include "QzAqExtData.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(QzAqExtData, DefaultsResetTheChoicesButKeepTheDeviceLockState)
{
    QzAqExtData data;
    std::memset(&data, 0xA5, sizeof(data));
    data.DigitalLockFrequency = 48000;
    data.DigitalLock = 1;
    data.setDefaults();
    EXPECT_EQ(data.DigitalLockFrequency, 48000u);
    EXPECT_EQ(data.DigitalLock, 1u);
    const uint32_t expected[] = {0, 0, 0, 0, 0, 1, 2, 0, 1};
    const uint32_t actual[] = {data.ClockSource,        data.USB1Mode,    data.DigitalOutMode,
                               data.DigitalOutSelector, data.RoutingIn0,  data.RoutingIn1,
                               data.RoutingIn2,         data.RoutingOut0, data.RoutingOut1};
    EXPECT_EQ(std::memcmp(actual, expected, sizeof(expected)), 0);

    QzAqExtData zeroed{};
    zeroed.setDefaults();
    EXPECT_EQ(zeroed.DigitalLockFrequency, 0u);
    EXPECT_EQ(zeroed.RoutingIn2, 2u);
    EXPECT_EQ(zeroed.DigitalLock, 0u);
}

TEST(QzAqExtData, ValidateZeroesOnlyOutOfRangeModes)
{
    struct Case
    {
        uint32_t value;
        uint32_t validated;
    };
    const Case cases[] = {{0, 0}, {1, 1}, {2, 0}, {0xFFFFFFFF, 0}};
    uint32_t QzAqExtData::*const modes[] = {&QzAqExtData::ClockSource, &QzAqExtData::USB1Mode,
                                            &QzAqExtData::DigitalOutMode};
    for (auto mode : modes) {
        for (const Case& c : cases) {
            QzAqExtData data{};
            data.setDefaults();
            data.*mode = c.value;
            data.DigitalOutSelector = 7;
            data.RoutingIn0 = 3;
            data.RoutingOut1 = 0xFFFFFFFF;
            data.DigitalLockFrequency = 96000;
            QzAqExtData expected = data;
            expected.*mode = c.validated;

            data.validate();
            EXPECT_EQ(std::memcmp(&data, &expected, sizeof(data)), 0) << "value " << c.value;
        }
    }
}

} // namespace
