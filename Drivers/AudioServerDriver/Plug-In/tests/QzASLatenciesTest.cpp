// Latencies, write-ahead and safety offsets: the common values per rate, every family formula,
// the single models, a later family winning over an earlier one, and the debug overrides.
#include <gtest/gtest.h>

#include "QzASLatencies.h"

namespace {

enum Family : unsigned
{
    kNone = 0,
    kCorlanth = 1,
    kBulk = 2,
    kMorvane = 4,
    kLowBuffer = 8,
    kBulkInIsocOut = 16,
    kElektron = 32,
    kTessaly = 64,
};

struct Case
{
    const char* name;
    uint32_t rate;
    unsigned families;
    DeviceModel model;
    uint32_t extraMargin;
    bool noDeviceInfo;
    QzASLatencies expected; // input, output latency, write-ahead, input, output safety
};

constexpr DeviceModel kGeneric{0x1234, 0x5678, "generic"};

const Case kCases[] = {
    {"generic 48 kHz", 48'000, kNone, kGeneric, 0, false, {268, 216, 500, 192, 48}},
    {"Corlanth 44.1 kHz", 44'100, kCorlanth, kGeneric, 0, false, {132, 374, 500, 119, 44}},
    {"generic 44.1 kHz, 3 ms margin", 44'100, kNone, kGeneric, 3, false, {343, 374, 500, 176, 44}},
    {"generic 32 kHz", 32'000, kNone, kGeneric, 0, false, {153, 288, 500, 128, 32}},
    {"generic 96 kHz", 96'000, kNone, kGeneric, 0, false, {537, 960, 500, 384, 96}},
    {"generic, no device information", 48'000, kNone, kGeneric, 0, true, {268, 216, 500, 336, 48}},
    {"Corlanth 96 kHz", 96'000, kCorlanth, kGeneric, 0, false, {336, 960, 500, 259, 96}},
    {"bulk 48 kHz", 48'000, kBulk, kGeneric, 0, false, {135, 413, 500, 85, 48}},
    {"bulk, rate 0", 0, kBulk, kGeneric, 0, false, {12, 533, 500, 79, 44}},
    {"Morvane 48 kHz", 48'000, kMorvane, kGeneric, 0, false, {192, 629, 500, 209, 48}},
    {"Morvane low buffer 48 kHz", 48'000, kMorvane | kLowBuffer, kGeneric, 0, false, {96, 533, 500, 209, 48}},
    {"Morvane low buffer 96 kHz", 96'000, kMorvane | kLowBuffer, kGeneric, 0, false, {202, 495, 500, 411, 96}},
    {"Morvane low buffer 192 kHz", 192'000, kMorvane | kLowBuffer, kGeneric, 0, false, {365, 514, 500, 814, 192}},
    {"bulk in, isochronous out 48 kHz", 48'000, kBulkInIsocOut, kGeneric, 0, false, {144, 430, 500, 72, 48}},
    {"Elektron 48 kHz", 48'000, kElektron, kModel1935_0008, 0, false, {448, 496, 500, 144, 48}},
    {"Tessaly 44.1 kHz", 44'100, kTessaly, kModelTessaly, 0, false, {211, 500, 500, 176, 44}},
    {"Tessaly 48 kHz", 48'000, kTessaly, kModelTessaly, 0, false, {268, 490, 500, 192, 48}},
    {"Tessaly 88.2 kHz", 88'200, kTessaly, kModelTessaly, 0, false, {493, 420, 500, 352, 88}},
    {"Tessaly 96 kHz", 96'000, kTessaly, kModelTessaly, 0, false, {537, 400, 500, 384, 96}},
    {"Tessaly 176.4 kHz", 176'400, kTessaly, kModelTessaly, 0, false, {987, 390, 500, 705, 176}},
    {"Tessaly 192 kHz", 192'000, kTessaly, kModelTessaly, 0, false, {1075, 350, 500, 768, 192}},
    {"Tessaly 64 kHz", 64'000, kTessaly, kModelTessaly, 0, false, {358, 550, 500, 256, 64}},
    {"bulk then Tessaly", 48'000, kBulk | kTessaly, kGeneric, 0, false, {135, 490, 500, 85, 48}},
    {"0A4A:FFD2, no device information", 44'100, kNone, kModel0A4A_FFD2, 0, true, {211, 374, 500, 368, 44}},
    {"US-122 MKII", 48'000, kNone, kModelUS122MKII, 0, false, {268, 216, 500, 240, 48}},
    {"0644:8030, no device information", 48'000, kNone, kModel0644_8030, 0, true, {268, 216, 500, 384, 48}},
    {"US-1200 44.1 kHz", 44'100, kNone, kModelUS1200, 0, false, {211, 374, 500, 220, 44}},
};

QzASLatencyInputs inputs(const Case& c)
{
    QzASLatencyInputs in;
    in.frequency = c.rate;
    in.extraMargin = c.extraMargin;
    in.noDeviceInfo = c.noDeviceInfo;
    in.vendor = c.model.vendor;
    in.product = c.model.product;
    in.corlanth = (c.families & kCorlanth) != 0;
    in.bulk = (c.families & kBulk) != 0;
    in.morvane = (c.families & kMorvane) != 0;
    in.lowBufferFirmware = (c.families & kLowBuffer) != 0;
    in.bulkInIsocOut = (c.families & kBulkInIsocOut) != 0;
    in.elektronOverbridge = (c.families & kElektron) != 0;
    in.tessaly = (c.families & kTessaly) != 0;
    return in;
}

TEST(QzASLatencies, EveryRateFamilyAndModel)
{
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        const QzASLatencies got = qzASComputeLatencies(inputs(c));
        EXPECT_EQ(got.inputLatency, c.expected.inputLatency);
        EXPECT_EQ(got.outputLatency, c.expected.outputLatency);
        EXPECT_EQ(got.outputWriteAhead, c.expected.outputWriteAhead);
        EXPECT_EQ(got.inputSafetyOffset, c.expected.inputSafetyOffset);
        EXPECT_EQ(got.outputSafetyOffset, c.expected.outputSafetyOffset);
    }
}

TEST(QzASLatencies, OverridesReplaceOnlyWhenSetAndZeroIsAValue)
{
    QzASLatencyInputs in = inputs(kCases[0]);
    in.overrides.forceLatencyIn = 0;
    in.overrides.forceSafetyOut = 7;
    in.overrides.forceOutWriteAhead = 123;
    EXPECT_EQ(qzASComputeLatencies(in), (QzASLatencies{0, 216, 123, 192, 7}));
    in.overrides = {};
    in.overrides.forceLatencyOut = 1;
    in.overrides.forceSafetyIn = 2;
    EXPECT_EQ(qzASComputeLatencies(in), (QzASLatencies{268, 1, 500, 2, 48}));
}

} // namespace
