// Substitute descriptors: what each model's first configuration reads as after the builder ran,
// seen through the device description.
#include "VKDeviceSubstitutes.h"
#include "DeviceHarness.h"

#include <DeviceModels.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>

namespace {

using fixtures::AlternateRow;
using fixtures::alternatesOf;
using fixtures::ConfigBytes;

constexpr uint32_t k441 = 44100, k48 = 48000, k882 = 88200, k96 = 96000, k1764 = 176400, k192 = 192000;

// Six vendor-specific interfaces 0 to 5, each with alternates 1 to 8 that carry one isochronous
// endpoint (IN on even interfaces) and no format descriptor, and, with `control`, an audio-control
// interface 6.
std::vector<uint8_t> vendorDevice(bool control = true)
{
    ConfigBytes bytes(control ? 7 : 6);
    for (uint8_t number = 0; number < 6; ++number) {
        bytes.interface(number, 0, 0, 0xFF, 0);
        for (uint8_t alternate = 1; alternate <= 8; ++alternate) {
            bytes.interface(number, alternate, 1, 0xFF, 0);
            bytes.isoEndpoint(uint8_t((number % 2 == 0 ? 0x80 : 0x00) | (number + 1)),
                              uint16_t(96 * alternate));
        }
    }
    if (control) {
        bytes.interface(6, 0, 0, 1, 1).audioControlHeader();
    }
    return bytes.build();
}

using Expected = std::map<uint8_t, std::vector<AlternateRow>>; // interface number -> its records

struct SubstituteCase
{
    const char* name;
    DeviceModel model;
    uint16_t release;
    bool highSpeed;
    Expected expected; // interfaces not named here have no records
    bool control = true;
};

std::vector<AlternateRow> elektronAlternates()
{
    return {{1, 0, 16, {k48}}, {2, 2, 16, {k48}}, {3, 2, 24, {k48}}, {4, 4, 16, {k48}},
            {5, 4, 24, {k48}}, {5, 6, 16, {k48}}, {6, 8, 16, {k48}}, {7, 6, 24, {k48}}};
}

std::vector<AlternateRow> tessalyAlternates()
{
    return {{3, 2, 32, {k441}}, {4, 2, 32, {k48}},   {5, 2, 32, {k882}},
            {6, 2, 32, {k96}},  {7, 2, 32, {k1764}}, {8, 2, 32, {k192}}};
}

const std::vector<uint32_t> kTo192 = {k441, k48, k882, k96, k1764, k192};
const std::vector<uint32_t> kFixed = {k441, k48}; // the fixed format's rates

class SubstituteTest : public testing::TestWithParam<SubstituteCase>
{
};

// Runs the builder on configuration 0 parsed from `bytes` and returns the records per interface.
Expected build(const VIDPID& device, bool highSpeed, const std::vector<uint8_t>& bytes,
               DeviceSpecificData& specific)
{
    VKSimpleArray configurations;
    auto* configuration = new VKConfigurationDescriptor();
    std::vector<uint8_t> copy = bytes;
    USBByteBuffer buffer(copy.data(), uint32_t(copy.size()));
    EXPECT_TRUE(configuration->scan(buffer, device));
    EXPECT_TRUE(configurations.add(configuration));
    USB::buildDummyDescriptor(device, configurations, highSpeed, specific);
    // Twice, as it runs after every configuration scan: the result stays the same.
    USB::buildDummyDescriptor(device, configurations, highSpeed, specific);

    auto info = std::make_unique<APIConfigInfo>();
    configuration->getAPIConfigInfo(*info, device);
    Expected records;
    for (uint8_t number = 0; number < APIConfigInfo::kMaxInterfaces; ++number) {
        std::vector<AlternateRow> rows = alternatesOf(info->mInterfaces[number]);
        if (!rows.empty()) {
            records[number] = rows;
        }
    }
    configurations.deleteAll();
    return records;
}

TEST_P(SubstituteTest, BuildsTheModelsStreams)
{
    const SubstituteCase& c = GetParam();
    const VIDPID device(c.model.vendor, c.model.product, c.release, nullptr);
    DeviceSpecificData specific{};
    EXPECT_EQ(build(device, c.highSpeed, vendorDevice(c.control), specific), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Models, SubstituteTest,
    testing::Values(
        SubstituteCase{"CrimsonHighSpeed",
                       kModelCrimsonSPL,
                       0x0100,
                       true,
                       {{1, {{2, 6, 24, {k441, k48, k882, k96}}, {2, 4, 24, {k1764, k192}}}},
                        {2, {{2, 6, 24, kTo192}}}}},
        SubstituteCase{"CrimsonFullSpeed",
                       kModelCrimsonSPL,
                       0x0100,
                       false,
                       {{1, {{2, 2, 24, {k441, k48}}}}, {2, {{2, 2, 24, {k441, k48}}}}}},
        SubstituteCase{"Elektron",
                       kModel1935_0006,
                       0x0100,
                       false,
                       {{0, elektronAlternates()}, {1, elektronAlternates()}}},
        SubstituteCase{
            "Tessaly", kModelTessaly, 0x0100, true, {{1, tessalyAlternates()}, {2, tessalyAlternates()}}},
        SubstituteCase{"0562FullSpeed",
                       kModel0562_03EB,
                       0x0100,
                       false,
                       {{0, {{1, 2, 24, {k441, k48}}}}, {1, {{1, 2, 24, {k441, k48}}}}}},
        SubstituteCase{
            "0562HighSpeed",
            kModel0562_03EB,
            0x0100,
            true,
            {{0, {{1, 4, 24, {k441, k48, k882, k96}}}}, {1, {{1, 4, 24, {k441, k48, k882, k96}}}}}},
        SubstituteCase{"0926_0201HighSpeed",
                       kModel0926_0201,
                       0x0100,
                       true,
                       {{1, {{2, 4, 24, {32000, k441, k48, k882, k96, k1764, k192}}}}}},
        SubstituteCase{"0926_0201FullSpeedKeepsItsDescriptors", kModel0926_0201, 0x0100, false, {}},
        SubstituteCase{"Kelvra0100HighSpeed", kModelKelvraUC3, 0x0100, true, {{1, {{2, 2, 24, kTo192}}}}},
        SubstituteCase{"Kelvra0100FullSpeedKeepsItsDescriptors", kModelKelvraUC3, 0x0100, false, {}},
        SubstituteCase{"F1A0HighSpeed", kModel0A4A_F1A0, 0x0100, true, {{1, {{2, 2, 24, kTo192}}}}},
        SubstituteCase{"Kelvra0200FullSpeed",
                       kModelKelvraUC3,
                       0x0200,
                       false,
                       {{1, {{2, 2, 24, {k441, k48}}}}, {2, {{2, 2, 24, {k441, k48}}}}}},
        SubstituteCase{"FendrimoHighSpeed",
                       kModelFendrimo,
                       0x0100,
                       true,
                       {{1, {{2, 2, 24, kTo192}}}, {2, {{2, 2, 24, kTo192}}}}},
        SubstituteCase{"XmosHighSpeed",
                       kModelXMOS,
                       0x0100,
                       true,
                       {{1, {{1, 2, 32, kTo192}}}, {2, {{1, 2, 32, kTo192}}}}},
        SubstituteCase{"XmosFullSpeed", kModelXMOS, 0x0100, false, {}},
        SubstituteCase{"PellirunHighSpeed",
                       kModelPellirun,
                       0x0100,
                       true,
                       {{1, {{2, 16, 24, {k441, k48}}}}, {2, {{2, 24, 24, {k441, k48}}}}}},
        SubstituteCase{"US366HighSpeed",
                       kModelUS366,
                       0x0100,
                       true,
                       {{1, {{2, 2, 24, kTo192}}}, {2, {{2, 2, 24, kTo192}}}}},
        SubstituteCase{
            "US322HighSpeed",
            kModelUS322,
            0x0100,
            true,
            {{1, {{2, 2, 24, {k441, k48, k882, k96}}}}, {2, {{2, 2, 24, {k441, k48, k882, k96}}}}}},
        SubstituteCase{"MBox", kModelMBox, 0x0100, false, {{1, {{1, 2, 24, kFixed}}}}},
        SubstituteCase{"MBoxWithoutControlInterface", kModelMBox, 0x0100, false, {}, false},
        SubstituteCase{"MBox2",
                       kModelMBox2,
                       0x0100,
                       false,
                       {{2, {{2, 2, 24, kFixed}, {3, 2, 24, kFixed}}},
                        {3, {{2, 2, 24, kFixed}, {3, 2, 24, kFixed}, {6, 2, 24, kFixed}}},
                        {4, {{2, 2, 24, kFixed}, {3, 2, 24, kFixed}}},
                        {5, {{2, 2, 24, kFixed}, {3, 2, 24, kFixed}}}}},
        SubstituteCase{"Play1624",
                       kModelPlay1624,
                       0x0100,
                       false,
                       {{1, {{1, 2, 16, {k441, k48, k882, k96}}, {2, 2, 24, {k441, k48, k882, k96}}}},
                        {2, {{1, 2, 16, {k441, k48, k882, k96}}, {2, 2, 24, {k441, k48, k882, k96}}}}}},
        SubstituteCase{"1604", kModel1604_8006, 0x0100, false, {{0, {{2, 2, 24, kFixed}}}}},
        SubstituteCase{"PlainDeviceUntouched", DeviceModel{0x1234, 0x5678, "plain"}, 0x0100, true, {}}),
    [](const testing::TestParamInfo<SubstituteCase>& param) { return std::string(param.param.name); });

TEST(Substitutes, FullSpeedCapsTheModelChannelCounts)
{
    const VIDPID elektron(kModel1935_0006.vendor, kModel1935_0006.product, 0x0100, nullptr);
    DeviceSpecificData specific{};
    specific.mInputs = 8;
    specific.mOutputs = 6;
    const Expected fullSpeed = build(elektron, false, vendorDevice(), specific);
    EXPECT_EQ(specific.mInputs, 2u);
    EXPECT_EQ(specific.mOutputs, 2u);
    specific.mInputs = 8;
    EXPECT_EQ(build(elektron, true, vendorDevice(), specific), fullSpeed);
    EXPECT_EQ(specific.mInputs, 8u);
}

// A listed device: its feature record names the stream interfaces and their formats.
APISpecificFeatures listedRecord(uint8_t outAlternate, uint8_t inAlternate, APISpecificFeatures::Flag flag,
                                 uint8_t rateCount)
{
    APISpecificFeatures record{};
    record.mValid = 1;
    record.mFlags[flag] = 1;
    record.mOutInterface = 1;
    record.mOutAlternate = outAlternate;
    record.mInInterface = 2;
    record.mInAlternate = inAlternate;
    for (int speed = 0; speed < 2; ++speed) {
        auto& in = record.mFormats[speed][APISpecificFeatures::kInput];
        auto& out = record.mFormats[speed][APISpecificFeatures::kOutput];
        in.bBitResolution = 24;
        out.bBitResolution = 16; // the input half's resolution serves both
        in.bNrChannels = speed == 1 ? 8 : 2;
        out.bNrChannels = speed == 1 ? 10 : 2;
        in.mNumFrequencies = rateCount;
        out.mNumFrequencies = rateCount;
        for (unsigned i = 0; i < APIStreamingInfo::kMaxFrequencies; ++i) {
            in.mFrequencies[i] = 8000 * (i + 1);
            out.mFrequencies[i] = 8000 * (i + 1);
        }
    }
    return record;
}

TEST(Substitutes, ListedDevicesTakeTheirFeatureRecord)
{
    const DeviceModel model{0x0A4A, 0x7777, "listed"};
    auto rates = [](unsigned count) {
        std::vector<uint32_t> list;
        for (unsigned i = 0; i < count; ++i) {
            list.push_back(8000 * (i + 1));
        }
        return list;
    };
    DeviceSpecificData specific{};

    // Bulk device, out alternate 1 kept and rewritten, in alternate 3 with alternate 1 cleared.
    APISpecificFeatures bulk = listedRecord(1, 3, APISpecificFeatures::kBulkDevice, 3);
    EXPECT_EQ(build(VIDPID(model.vendor, model.product, 0x0100, &bulk), true, vendorDevice(), specific),
              (Expected{{1, {{1, 10, 24, rates(3)}}}, {2, {{3, 8, 24, rates(3)}}}}));

    // A rate count beyond the record's 16 rates reads 16 rates, never past the record.
    APISpecificFeatures many = listedRecord(2, 2, APISpecificFeatures::kMorvaneCompatible, 255);
    EXPECT_EQ(build(VIDPID(model.vendor, model.product, 0x0100, &many), false, vendorDevice(), specific),
              (Expected{{1, {{2, 2, 24, rates(16)}}}, {2, {{2, 2, 24, rates(16)}}}}));

    // Without a stream-layout flag only the input alternate gets a stereo format.
    APISpecificFeatures plain = listedRecord(2, 4, APISpecificFeatures::kCan192, 3);
    EXPECT_EQ(build(VIDPID(model.vendor, model.product, 0x0100, &plain), true, vendorDevice(), specific),
              (Expected{{2, {{4, 2, 24, {k441, k48, k882, k96}}}}}));
}

TEST(Substitutes, TheDeviceRunsTheBuilderForItsModelsOnly)
{
    // Crimson is rewritten only when listed (or with the build flag); Fendrimo unlisted neither.
    fixtures::DeviceHarness crimson(kModelCrimsonSPL.vendor, kModelCrimsonSPL.product, {.highSpeed = true});
    ASSERT_TRUE(crimson.scan(vendorDevice()));
    const APIConfigInfo& plain = crimson.info().mConfigurations[0];
    EXPECT_TRUE(alternatesOf(plain.mInterfaces[1]).empty());

    APISpecificFeatures flagged{};
    flagged.mValid = 1;
    flagged.mFlags[APISpecificFeatures::kBuildDummyDescriptor] = 1;
    flagged.mOutInterface = 9; // names no interface: the listed-device branch finds nothing
    flagged.mInInterface = 9;
    fixtures::DeviceHarness listed(kModelCrimsonSPL.vendor, kModelCrimsonSPL.product,
                                   {.highSpeed = true, .features = &flagged});
    ASSERT_TRUE(listed.scan(vendorDevice()));
    EXPECT_EQ(alternatesOf(listed.info().mConfigurations[0].mInterfaces[2]),
              (std::vector<AlternateRow>{{2, 6, 24, kTo192}}));

    // MBox 2: rewritten, then 32 kHz dropped (its description lists 44.1 and 48 kHz in any case).
    fixtures::DeviceHarness mbox2(kModelMBox2.vendor, kModelMBox2.product);
    ASSERT_TRUE(mbox2.scan(vendorDevice()));
    EXPECT_EQ(alternatesOf(mbox2.info().mConfigurations[0].mInterfaces[5]),
              (std::vector<AlternateRow>{{2, 2, 24, kFixed}, {3, 2, 24, kFixed}}));
}

} // namespace
