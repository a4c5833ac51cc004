// The IO path's conversions: channel mapping, the integer-float round trip, clamping.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <vector>

#include "SampleConversion.h"

namespace {

TEST(SampleConversionTest, MapsTheCommonChannelsAndLeavesTheRest)
{
    const std::vector<int32_t> src{1, 2, 3, 4, 5, 6}; // 2 frames of 3 channels
    std::vector<int32_t> dst(4, 9);                   // 2 frames of 2 channels
    audioMapChannelsSet(src.data(), 3, dst.data(), 2, 2);
    EXPECT_EQ(dst, (std::vector<int32_t>{1, 2, 4, 5}));
    std::vector<int32_t> wide(8, 9); // 2 frames of 4 channels
    audioMapChannelsAdd(src.data(), 3, wide.data(), 4, 2);
    EXPECT_EQ(wide, (std::vector<int32_t>{10, 11, 12, 9, 13, 14, 15, 9}));
}

TEST(SampleConversionTest, AddingWraps)
{
    std::vector<int32_t> dst{INT32_MAX};
    const std::vector<int32_t> src{1};
    audioMapChannelsAdd(src.data(), 1, dst.data(), 1, 1);
    EXPECT_EQ(dst[0], INT32_MIN);
}

TEST(SampleConversionTest, FloatToIntegerClampsAndNaNIsSilence)
{
    struct Case
    {
        float in;
        int32_t lowAligned;
        int32_t full;
    };
    const Case cases[] = {
        {0.5F, 4'194'304, 1'073'741'824},
        {-1.0F, -8'388'608, INT32_MIN},
        {1.0F, 8'388'608, INT32_MAX},
        {1e30F, INT32_MAX, INT32_MAX},
        {-1e30F, INT32_MIN, INT32_MIN},
        {std::numeric_limits<float>::quiet_NaN(), 0, 0},
        {std::numeric_limits<float>::infinity(), INT32_MAX, INT32_MAX},
        {-0.3F / 8'388'608.0F, 0, -76}, // toward zero
    };
    for (const Case& c : cases) {
        float a = c.in;
        float b = c.in;
        audioConvertFloatToSInt32LowAligned(&a, 1, 1);
        audioConvertFloatToSInt32(&b, 1, 1);
        int32_t low = 0;
        int32_t full = 0;
        std::memcpy(&low, &a, 4);
        std::memcpy(&full, &b, 4);
        EXPECT_EQ(low, c.lowAligned) << c.in;
        EXPECT_EQ(full, c.full) << c.in;
    }
    // The same values in a whole buffer (the block path), each at several positions.
    std::vector<float> low;
    for (int round = 0; round < 5; ++round) {
        for (const Case& c : cases) {
            low.push_back(c.in);
        }
    }
    std::vector<float> full = low;
    audioConvertFloatToSInt32LowAligned(low.data(), 5, static_cast<uint32_t>(low.size() / 5));
    audioConvertFloatToSInt32(full.data(), 5, static_cast<uint32_t>(full.size() / 5));
    for (size_t i = 0; i < low.size(); ++i) {
        const Case& c = cases[i % std::size(cases)];
        int32_t a = 0;
        int32_t b = 0;
        std::memcpy(&a, &low[i], 4);
        std::memcpy(&b, &full[i], 4);
        EXPECT_EQ(a, c.lowAligned) << "sample " << i;
        EXPECT_EQ(b, c.full) << "sample " << i;
    }
}

TEST(SampleConversionTest, IntegerToFloatKeepsEvery24BitValueThroughTheRoundTrip)
{
    // A 24-bit ring value, left-justified in the device's 32 bits, comes back to the same 24 bits.
    for (int32_t v : {0, 1, -1, 0x123456, -0x400000, 0x7FFFFF, -0x800000}) {
        const int32_t device = static_cast<int32_t>(static_cast<uint32_t>(v) << 8);
        float f = 0;
        convertIntToFloat(&device, 1, &f, 1, 1);
        audioConvertFloatToSInt32LowAligned(&f, 1, 1);
        int32_t back = 0;
        std::memcpy(&back, &f, 4);
        EXPECT_NEAR(back, v, 1) << v;
    }
}

TEST(SampleConversionTest, SignedDivisionTowardZero)
{
    std::vector<int32_t> samples{-255, -256, 511, INT32_MIN};
    audioConvertSint32ToSInt32LowAligned(samples.data(), 2, 2);
    EXPECT_EQ(samples, (std::vector<int32_t>{0, -1, 1, INT32_MIN / 256}));
}

TEST(SampleConversionTest, NullBuffersAndZeroCountsDoNothing)
{
    std::vector<int32_t> dst{7};
    audioMapChannelsSet(nullptr, 1, dst.data(), 1, 1);
    audioMapChannelsSet(dst.data(), 0, dst.data(), 1, 1);
    audioConvertFloatToSInt32(nullptr, 1, 1);
    EXPECT_EQ(dst[0], 7);
}

} // namespace
