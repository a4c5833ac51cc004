// Interface and alternate-setting choice: the request defaults, the rate and resolution ladder as
// it is walked, model retries, the channel ladder, Elektron's fixed alternates, the bandwidth
// request and the frequency-on-output predicate.
#include "DeviceHarness.h"

#include <DeviceModels.h>

#include <platform/Log.h>

#include <gtest/gtest.h>

#include <sstream>
#include <utility>

namespace {

using fixtures::ConfigBytes;
using fixtures::DeviceHarness;

constexpr uint16_t kPlainVendor = 0x1234;
constexpr uint16_t kPlainProduct = 0x5678;

struct Stream
{
    uint8_t channels = 0; // 0: no such interface
    uint8_t bits = 16;
    std::vector<uint32_t> rates = {48000};
};

// Interface 0 audio control, 1 output, 2 input (alternate 1 each), as given.
std::vector<uint8_t> classDevice(Stream out, Stream in, uint16_t packet = 1000)
{
    ConfigBytes bytes(3);
    bytes.interface(0, 0, 0, 1, 1).audioControlHeader();
    if (out.channels != 0) {
        bytes.interface(1, 0, 0).interface(1, 1, 1).streamingGeneral().format(out.channels, out.bits,
                                                                              out.rates);
        bytes.isoEndpoint(0x01, packet);
    }
    if (in.channels != 0) {
        bytes.interface(2, 0, 0).interface(2, 1, 1).streamingGeneral().format(in.channels, in.bits, in.rates);
        bytes.isoEndpoint(0x82, packet);
    }
    return bytes.build();
}

struct Chosen
{
    int32_t frequency, in, out, inBits, outBits;
    bool operator==(const Chosen&) const = default;
};

void PrintTo(const Chosen& c, std::ostream* os)
{
    *os << c.frequency << " Hz, in " << c.in << "/" << c.inBits << ", out " << c.out << "/" << c.outBits;
}

Chosen chosen(DeviceHarness& harness)
{
    const QzChannelSettings& s = harness.settings();
    return {s.iFrequency, s.iInChannels, s.iOutChannels, s.iInResolution, s.iOutResolution};
}

TEST(VKDeviceSelect, ChoosesTheInterfacesAndAlternatesOfTheRequest)
{
    DeviceHarness harness(kPlainVendor, kPlainProduct);
    ASSERT_TRUE(harness.scan(classDevice({2, 24, {44100, 48000}}, {2, 24, {44100, 48000}})));
    harness.request(48000, 2, 2, 24, 24);
    ASSERT_TRUE(harness.device->findInterfacesInConfig());

    VKDevice& d = *harness.device;
    EXPECT_EQ(chosen(harness), (Chosen{48000, 2, 2, 24, 24}));
    EXPECT_EQ(d.mChosen.configuration, d.getConfigurationDescriptor(0));
    ASSERT_NE(d.mChosen.controlInterface, nullptr);
    EXPECT_EQ(d.mChosen.controlInterface->getInterfaceNumber(), 0);
    ASSERT_NE(d.mChosen.inInterface, nullptr);
    ASSERT_NE(d.mChosen.outInterface, nullptr);
    EXPECT_EQ(d.mChosen.inInterface->getInterfaceNumber(), 2);
    EXPECT_EQ(d.mChosen.inInterface->getAlternateSettingNumber(), 1);
    EXPECT_EQ(d.mChosen.outInterface->getInterfaceNumber(), 1);
    EXPECT_EQ(d.mChosen.outInterface->getAlternateSettingNumber(), 1);
    EXPECT_EQ(d.mChosen.midiInterface, nullptr);
    EXPECT_EQ(d.mChosen.hidInterface, nullptr);

    d.onUnconfigure();
    EXPECT_EQ(d.mChosen.configuration, nullptr);
    EXPECT_EQ(d.mChosen.controlInterface, nullptr);
    EXPECT_EQ(d.mChosen.inInterface, nullptr);
    EXPECT_EQ(d.mChosen.outInterface, nullptr);
}

TEST(VKDeviceSelect, AnOutputOnlyDeviceSucceedsWithoutInput)
{
    DeviceHarness harness(kPlainVendor, kPlainProduct);
    ASSERT_TRUE(harness.scan(classDevice({2, 24, {48000}}, {})));
    harness.request(48000, 0, 2, 24, 24);
    ASSERT_TRUE(harness.device->findInterfacesInConfig());
    EXPECT_EQ(chosen(harness), (Chosen{48000, 0, 2, 24, 24}));
    EXPECT_EQ(harness.device->mChosen.inInterface, nullptr);
    ASSERT_NE(harness.device->mChosen.outInterface, nullptr);

    // Asking for input anyway: there is no input interface, so the input is dropped.
    harness.request(48000, 2, 2, 24, 24);
    ASSERT_TRUE(harness.device->findInterfacesInConfig());
    EXPECT_EQ(chosen(harness), (Chosen{48000, 0, 2, 0, 24}));
}

TEST(VKDeviceSelect, AMissingConfigurationFallsBackToTheFirst)
{
    DeviceHarness harness(kPlainVendor, kPlainProduct);
    EXPECT_FALSE(harness.device->findInterfacesInConfig()); // nothing scanned
    ASSERT_TRUE(harness.scan(classDevice({2, 24}, {2, 24})));
    harness.request(48000, 2, 2, 24, 24, 3);
    ASSERT_TRUE(harness.device->findInterfacesInConfig());
    EXPECT_EQ(harness.settings().uConfiguration, 0u);
    EXPECT_NE(harness.device->mChosen.outInterface, nullptr);
}

// The (rate, input resolution) pairs the search tried, in order.
std::vector<std::pair<int, int>> attempts(const platform::log::Capture& capture)
{
    std::vector<std::pair<int, int>> tried;
    const std::string marker = "seek alternate interfaces...Freq ";
    for (const std::string& text : capture.texts()) {
        const size_t at = text.find(marker);
        if (at == std::string::npos) {
            continue;
        }
        std::istringstream values(text.substr(at + marker.size()));
        int frequency = 0;
        int bits = 0;
        values >> frequency >> bits;
        tried.emplace_back(frequency, bits);
    }
    return tried;
}

std::vector<std::pair<int, int>> rateLadder(std::initializer_list<int> rates)
{
    std::vector<std::pair<int, int>> ladder = {
        {48000, 24}, {44100, 16}, {44100, 20}, {44100, 24}, {44100, 32}};
    for (int rate : rates) {
        for (int bits : {16, 20, 24, 32}) {
            ladder.emplace_back(rate, bits);
        }
    }
    return ladder;
}

TEST(VKDeviceSelect, TheRateLadderIsWalkedInItsOrder)
{
    // Only 96 kHz at 32 bits: found on the last step below 176.4 kHz.
    DeviceHarness found(kPlainVendor, kPlainProduct);
    ASSERT_TRUE(found.scan(classDevice({2, 32, {96000}}, {2, 32, {96000}})));
    found.request(48000, 2, 2, 24, 24);
    {
        platform::log::Capture capture(platform::log::Channel::kernel);
        ASSERT_TRUE(found.device->findInterfacesInConfig());
        EXPECT_EQ(attempts(capture), rateLadder({48000, 32000, 88200, 96000}));
    }
    EXPECT_EQ(chosen(found), (Chosen{96000, 2, 2, 32, 32}));

    // 176.4 kHz only: a device without 192 kHz support ends its rate ladder after 96 kHz.
    DeviceHarness plain(kPlainVendor, kPlainProduct);
    ASSERT_TRUE(plain.scan(classDevice({2, 32, {176400}}, {2, 32, {176400}})));
    plain.request(48000, 2, 2, 24, 24);
    {
        platform::log::Capture capture(platform::log::Channel::kernel);
        ASSERT_TRUE(plain.device->findInterfacesInConfig());
        const auto tried = attempts(capture);
        const auto ladder = rateLadder({48000, 32000, 88200, 96000});
        ASSERT_GE(tried.size(), ladder.size());
        EXPECT_EQ(std::vector(tried.begin(), tried.begin() + ptrdiff_t(ladder.size())), ladder);
    }
    EXPECT_EQ(plain.device->mChosen.outInterface, nullptr);

    // With 192 kHz support (listed with the flag) the ladder goes on and finds it.
    APISpecificFeatures can192{};
    can192.mValid = 1;
    can192.mFlags[APISpecificFeatures::kCan192] = 1;
    DeviceHarness fast(kPlainVendor, kPlainProduct, {.features = &can192});
    ASSERT_TRUE(fast.scan(classDevice({2, 32, {176400}}, {2, 32, {176400}})));
    fast.request(48000, 2, 2, 24, 24);
    {
        platform::log::Capture capture(platform::log::Channel::kernel);
        ASSERT_TRUE(fast.device->findInterfacesInConfig());
        EXPECT_EQ(attempts(capture), rateLadder({48000, 32000, 88200, 96000, 176400}));
    }
    EXPECT_EQ(chosen(fast), (Chosen{176400, 2, 2, 32, 32}));
}

TEST(VKDeviceSelect, TheChannelLadderCountsDownFromItsStart)
{
    // 4 in and 6 out at 44.1 kHz and 16 bits only: 8/8, 8/6 ... 6/0, then 4/8 and 4/6.
    DeviceHarness harness(kPlainVendor, kPlainProduct);
    ASSERT_TRUE(harness.scan(classDevice({6, 16, {44100}}, {4, 16, {44100}})));
    harness.request(48000, 2, 2, 24, 24);
    ASSERT_TRUE(harness.device->findInterfacesInConfig());
    EXPECT_EQ(chosen(harness), (Chosen{44100, 4, 6, 16, 16}));

    // 2 in and 10 out: beyond the default start of 8 outputs, but where 200C:100A starts.
    const std::vector<uint8_t> wide = classDevice({10, 16, {44100}}, {2, 16, {44100}});
    DeviceHarness plain(kPlainVendor, kPlainProduct);
    ASSERT_TRUE(plain.scan(wide));
    plain.request(48000, 2, 2, 24, 24);
    ASSERT_TRUE(plain.device->findInterfacesInConfig());
    EXPECT_EQ(plain.device->mChosen.outInterface, nullptr);
    DeviceHarness reloop(kModel200C_100A.vendor, kModel200C_100A.product);
    ASSERT_TRUE(reloop.scan(wide));
    reloop.request(48000, 2, 2, 24, 24);
    ASSERT_TRUE(reloop.device->findInterfacesInConfig());
    EXPECT_EQ(chosen(reloop), (Chosen{44100, 2, 10, 16, 16}));
}

size_t searches(const platform::log::Capture& capture)
{
    size_t count = 0;
    for (const std::string& text : capture.texts()) {
        count += text.find("ENTER tryFindInterfaces") != std::string::npos ? 1 : 0;
    }
    return count;
}

TEST(VKDeviceSelect, AModelRetryComesBeforeTheChannelLadder)
{
    // 2 in and 4 out at 96 kHz and 16 bits: 0A92:0081's retry at the requested rate finds them at
    // the second search; without it the channel ladder gets there much later.
    const std::vector<uint8_t> bytes = classDevice({4, 16, {96000}}, {2, 16, {96000}});
    DeviceHarness plain(kPlainVendor, kPlainProduct);
    ASSERT_TRUE(plain.scan(bytes));
    plain.request(96000, 8, 8, 24, 24);
    size_t plainSearches = 0;
    {
        platform::log::Capture capture(platform::log::Channel::kernel);
        ASSERT_TRUE(plain.device->findInterfacesInConfig());
        plainSearches = searches(capture);
    }
    EXPECT_EQ(chosen(plain), (Chosen{96000, 2, 4, 16, 16}));
    EXPECT_GT(plainSearches, 2u);

    DeviceHarness retried(kModel0A92_0081.vendor, kModel0A92_0081.product);
    ASSERT_TRUE(retried.scan(bytes));
    retried.request(96000, 8, 8, 24, 24);
    {
        platform::log::Capture capture(platform::log::Channel::kernel);
        ASSERT_TRUE(retried.device->findInterfacesInConfig());
        EXPECT_EQ(searches(capture), 2u);
    }
    EXPECT_EQ(chosen(retried), (Chosen{96000, 2, 4, 16, 16}));
}

TEST(VKDeviceSelect, MoreThan32ChannelsAreNeverChosen)
{
    // The ring and the converters carry 32 channels: a 34-channel format is not a stream.
    DeviceHarness harness(kPlainVendor, kPlainProduct);
    ASSERT_TRUE(harness.scan(classDevice({34, 16, {44100, 48000}}, {34, 16, {44100, 48000}})));
    harness.request(48000, 34, 34, 16, 16);
    ASSERT_TRUE(harness.device->findInterfacesInConfig());
    EXPECT_EQ(harness.device->mChosen.inInterface, nullptr);
    EXPECT_EQ(harness.device->mChosen.outInterface, nullptr);
    EXPECT_LE(harness.settings().iInChannels, VKDevice::kMaxChannels);
    EXPECT_LE(harness.settings().iOutChannels, VKDevice::kMaxChannels);

    // 32 is still a stream.
    DeviceHarness edge(kPlainVendor, kPlainProduct);
    ASSERT_TRUE(edge.scan(classDevice({32, 16, {48000}}, {32, 16, {48000}})));
    edge.request(48000, 32, 32, 16, 16);
    ASSERT_TRUE(edge.device->findInterfacesInConfig());
    EXPECT_EQ(chosen(edge), (Chosen{48000, 32, 32, 16, 16}));
}

struct DefaultCase
{
    const char* name;
    DeviceModel model;
    uint16_t release;
    bool highSpeed;
    Chosen request;
    Stream out;
    Stream in;
    Chosen result;
};

class RequestDefaultTest : public testing::TestWithParam<DefaultCase>
{
};

TEST_P(RequestDefaultTest, TheModelsRequestIsSearchedFirst)
{
    const DefaultCase& c = GetParam();
    DeviceHarness harness(c.model.vendor, c.model.product, {.release = c.release, .highSpeed = c.highSpeed});
    ASSERT_TRUE(harness.scan(classDevice(c.out, c.in)));
    harness.request(c.request.frequency, c.request.in, c.request.out, c.request.inBits, c.request.outBits);
    ASSERT_TRUE(harness.device->findInterfacesInConfig());
    EXPECT_EQ(chosen(harness), c.result);
}

INSTANTIATE_TEST_SUITE_P(Models, RequestDefaultTest,
                         testing::Values(DefaultCase{"1D03",
                                                     kModel1D03_005C,
                                                     0x0100,
                                                     false,
                                                     {48000, 8, 8, 16, 16},
                                                     {2, 24},
                                                     {2, 24},
                                                     {48000, 2, 2, 24, 24}},
                                         DefaultCase{"Pellirun",
                                                     kModelPellirun,
                                                     0x0100,
                                                     false,
                                                     {48000, 2, 2, 16, 16},
                                                     {16, 24},
                                                     {24, 24},
                                                     {48000, 24, 16, 24, 24}},
                                         DefaultCase{"Tessaly",
                                                     kModelTessaly,
                                                     0x0100,
                                                     true,
                                                     {48000, 8, 8, 16, 16},
                                                     {2, 32},
                                                     {2, 32},
                                                     {48000, 2, 2, 32, 32}},
                                         DefaultCase{"Reloop1006HighSpeedZeroCounts",
                                                     kModel200C_1006,
                                                     0x0100,
                                                     true,
                                                     {48000, 0, 0, 16, 16},
                                                     {6, 16},
                                                     {6, 16},
                                                     {48000, 6, 6, 16, 16}},
                                         DefaultCase{"CrimsonSixOutputsBelow176k",
                                                     kModelCrimsonSPL,
                                                     0x0100,
                                                     false,
                                                     {48000, 2, 2, 24, 24},
                                                     {6, 24},
                                                     {2, 24},
                                                     {48000, 2, 6, 24, 24}},
                                         DefaultCase{"0562FullSpeed",
                                                     kModel0562_03EB,
                                                     0x0100,
                                                     false,
                                                     {48000, 8, 8, 16, 16},
                                                     {2, 24},
                                                     {2, 24},
                                                     {48000, 2, 2, 24, 24}},
                                         DefaultCase{"US322",
                                                     kModelUS322,
                                                     0x0100,
                                                     false,
                                                     {48000, 8, 8, 16, 16},
                                                     {2, 24},
                                                     {2, 24},
                                                     {48000, 2, 2, 24, 24}},
                                         DefaultCase{"PlainKeepsItsRequest",
                                                     DeviceModel{kPlainVendor, kPlainProduct, "plain"},
                                                     0x0100,
                                                     false,
                                                     {44100, 2, 2, 16, 16},
                                                     {2, 16, {44100}},
                                                     {2, 16, {44100}},
                                                     {44100, 2, 2, 16, 16}}),
                         [](const testing::TestParamInfo<DefaultCase>& param) {
                             return std::string(param.param.name);
                         });

TEST(VKDeviceSelect, TheElektronMapDefaultsAreForElektronDevicesOnly)
{
    // A plain device with an uninitialised map keeps its request.
    DeviceHarness plain(kPlainVendor, kPlainProduct);
    ASSERT_TRUE(plain.scan(classDevice({2, 24, {44100}}, {2, 24, {44100}})));
    plain.request(44100, 2, 2, 24, 24);
    ASSERT_TRUE(plain.device->findInterfacesInConfig());
    EXPECT_EQ(chosen(plain), (Chosen{44100, 2, 2, 24, 24}));
    EXPECT_EQ(plain.sm->mElektronMap.mInputMap[0], 0u);
}

// Interfaces 0 (in) and 1 (out) of an Elektron device as the substitute descriptors build them.
std::vector<uint8_t> elektronDevice()
{
    ConfigBytes bytes(4);
    for (uint8_t number = 0; number < 2; ++number) {
        bytes.interface(number, 0, 0, 0xFF, 0);
        for (uint8_t alternate = 1; alternate <= 7; ++alternate) {
            bytes.interface(number, alternate, 1, 0xFF, 0)
                .isoEndpoint(uint8_t(number == 0 ? 0x81 : 0x02), uint16_t(64 * alternate));
        }
    }
    bytes.interface(2, 0, 0, 0xFF, 0).interface(3, 0, 0, 0xFF, 0);
    return bytes.build();
}

TEST(VKDeviceSelect, ElektronDevicesUseFixedAlternatesAt48k)
{
    DeviceHarness harness(kModel1935_0006.vendor, kModel1935_0006.product);
    ASSERT_TRUE(harness.scan(elektronDevice()));
    VKDevice& d = *harness.device;

    // First configuration: the map is set to its defaults, and so is the request.
    harness.request(44100, 8, 8, 24, 24);
    ASSERT_TRUE(d.findInterfacesInConfig());
    EXPECT_EQ(harness.sm->mElektronMap.mInputMap[0], 0xA0u);
    EXPECT_EQ(chosen(harness), (Chosen{48000, 2, 0, 16, 16}));
    ASSERT_NE(d.mChosen.inInterface, nullptr);
    ASSERT_NE(d.mChosen.outInterface, nullptr);
    EXPECT_EQ(d.mChosen.inInterface->getAlternateSettingNumber(), 2);
    EXPECT_EQ(d.mChosen.outInterface->getAlternateSettingNumber(), 1);
    EXPECT_EQ(d.mChosen.controlInterface, d.getConfigurationDescriptor(0)->getInterface(2));
    EXPECT_EQ(d.mChosen.midiInterface, d.getConfigurationDescriptor(0)->getInterface(3));

    // Later: 4 channels at 24 bits and 6 at 16 bits share alternate 5.
    harness.request(48000, 4, 6, 24, 16);
    ASSERT_TRUE(d.findInterfacesInConfig());
    EXPECT_EQ(chosen(harness), (Chosen{48000, 4, 6, 24, 16}));
    EXPECT_EQ(d.mChosen.inInterface->getAlternateSettingNumber(), 5);
    EXPECT_EQ(d.mChosen.outInterface->getAlternateSettingNumber(), 5);

    // 44.1 kHz fails at once.
    VKConfigurationDescriptor* config = d.getConfigurationDescriptor(0);
    d.mChosen.inInterface = config->getInterface(0);
    d.mChosen.outInterface = config->getInterface(1);
    VKInterfaceDescriptor* in = nullptr;
    VKInterfaceDescriptor* out = nullptr;
    uint32_t frequency = 44100;
    int32_t inChannels = 2, outChannels = 2, inBits = 16, outBits = 16;
    EXPECT_FALSE(d.tryFindInterfaces(in, out, frequency, inChannels, outChannels, inBits, outBits));
    EXPECT_EQ(frequency, 44100u);
    EXPECT_EQ(in, nullptr);
    EXPECT_EQ(out, nullptr);
    // No alternate for 3 channels.
    frequency = 48000;
    inChannels = 3;
    EXPECT_FALSE(d.tryFindInterfaces(in, out, frequency, inChannels, outChannels, inBits, outBits));
}

TEST(VKDeviceSelect, ElektronAlternateTable)
{
    struct Row
    {
        int32_t channels, bits;
        uint8_t alternate;
    };
    for (const Row& row :
         {Row{0, 16, 1}, Row{0, 24, 1}, Row{2, 16, 2}, Row{2, 24, 3}, Row{4, 16, 4}, Row{4, 24, 5},
          Row{6, 16, 5}, Row{8, 16, 6}, Row{6, 24, 7}, Row{8, 24, 0}, Row{2, 32, 0}, Row{-2, 16, 0}}) {
        EXPECT_EQ(VKDevice::elektronAlternateFor(row.channels, row.bits), row.alternate)
            << row.channels << " ch " << row.bits << " bit";
    }
}

TEST(VKDeviceSelect, BandwidthRequestOfAPipe)
{
    struct Case
    {
        const char* name;
        DeviceModel model;
        bool highSpeed;
        uint16_t packet;
        uint32_t frequency;
        uint8_t classAttributes;
        uint32_t requested;
    };
    const DeviceModel plain{kPlainVendor, kPlainProduct, "plain"};
    for (const Case& c : {Case{"2x24 at 48k", plain, false, 400, 48000, 0, 300},
                          Case{"capped at the packet size", plain, false, 250, 48000, 0, 250},
                          Case{"44.1k", plain, false, 400, 44100, 0, 276},
                          Case{"unknown rate", plain, false, 400, 50000, 0, 0},
                          Case{"settings rate", plain, false, 400, 0, 0, 300},
                          Case{"high speed takes the packet size", plain, true, 400, 48000, 0, 400},
                          Case{"Elektron takes the packet size", kModel1935_0006, false, 400, 48000, 0, 400},
                          Case{"max packets only asks nothing", plain, false, 400, 48000, 0x80, 0}}) {
        SCOPED_TRACE(c.name);
        DeviceHarness harness(c.model.vendor, c.model.product, {.highSpeed = c.highSpeed});
        ConfigBytes bytes(2);
        bytes.interface(0, 0, 0, 1, 1).interface(1, 0, 0).interface(1, 1, 1).streamingGeneral();
        bytes.format(2, 24, {44100, 48000}).isoEndpoint(0x01, c.packet, c.classAttributes);
        ASSERT_TRUE(harness.scan(bytes.build()));
        harness.request(48000, 2, 2, 24, 24);
        VKPipeDescriptor* pipe = harness.device->getConfigurationDescriptor(0)
                                     ->getInterface(1)
                                     ->getAlternateSetting(1)
                                     ->getPipeByIndex(0);
        ASSERT_NE(pipe, nullptr);
        // The service has no USB pipe here, so the request itself fails; what was asked is kept.
        const bool granted = harness.device->checkBandwidthForPipe(pipe, c.frequency);
        EXPECT_EQ(pipe->getRequestedBandwidth(), c.requested);
        EXPECT_EQ(granted, c.classAttributes != 0);
    }
    DeviceHarness harness(kPlainVendor, kPlainProduct);
    EXPECT_TRUE(harness.device->checkBandwidthForPipe(nullptr, 48000));
}

TEST(VKDeviceSelect, FrequencyOnTheOutputPipe)
{
    APISpecificFeatures withFlag{};
    withFlag.mValid = 1;
    withFlag.mFlags[APISpecificFeatures::kSetFreqOnOutPipe] = 1;
    APISpecificFeatures withoutFlag{};
    withoutFlag.mValid = 1;
    struct Case
    {
        DeviceModel model;
        const APISpecificFeatures* features;
        bool expected;
    };
    const DeviceModel plain{kPlainVendor, kPlainProduct, "plain"};
    for (const Case& c : {Case{kModel0A4E_4040, nullptr, true}, Case{kModelUS366, nullptr, true},
                          Case{kModel0499_100B, nullptr, true}, Case{plain, nullptr, false},
                          Case{plain, &withFlag, true}, Case{kModel0A4E_4040, &withoutFlag, false}}) {
        DeviceHarness harness(c.model.vendor, c.model.product, {.features = c.features});
        EXPECT_EQ(harness.device->setFreqOnOutPipe(), c.expected) << c.model.name;
    }
}

TEST(VKDeviceSelect, LadderFrequencies)
{
    const std::pair<uint32_t, uint32_t> steps[] = {
        {44100, 48000}, {48000, 32000}, {32000, 88200}, {88200, 96000}};
    for (auto [from, to] : steps) {
        EXPECT_EQ(VKDevice::nextLadderFrequency(from, false), to);
        EXPECT_EQ(VKDevice::nextLadderFrequency(from, true), to);
    }
    EXPECT_EQ(VKDevice::nextLadderFrequency(96000, false), 0u);
    EXPECT_EQ(VKDevice::nextLadderFrequency(96000, true), 176400u);
    EXPECT_EQ(VKDevice::nextLadderFrequency(176400, true), 192000u);
    EXPECT_EQ(VKDevice::nextLadderFrequency(192000, true), 0u);
    EXPECT_EQ(VKDevice::nextLadderFrequency(12345, true), 0u);
}

} // namespace

namespace {

// Which interface becomes the MIDI (or vendor) interface.
struct MidiCase
{
    const char* name;
    DeviceModel model;
    bool listedBulk; // listed with the bulk flag, MIDI named as interface 3 alternate 0 by its record
    bool highSpeed;
    std::vector<uint8_t> bytes;
    int number; // -1: none
    int alternate;
};

class MidiChoiceTest : public testing::TestWithParam<MidiCase>
{
};

TEST_P(MidiChoiceTest, TakesTheModelsMidiInterface)
{
    const MidiCase& c = GetParam();
    APISpecificFeatures record{};
    record.mValid = 1;
    record.mFlags[APISpecificFeatures::kBulkDevice] = 1;
    record.mMidiInterface = 3;
    DeviceHarness harness(c.model.vendor, c.model.product,
                          {.highSpeed = c.highSpeed, .features = c.listedBulk ? &record : nullptr});
    ASSERT_TRUE(harness.scan(c.bytes));
    harness.request(48000, 2, 2, 24, 24);
    ASSERT_TRUE(harness.device->findInterfacesInConfig());
    VKInterfaceDescriptor* midi = harness.device->mChosen.midiInterface;
    EXPECT_EQ(midi != nullptr ? int(midi->getInterfaceNumber()) : -1, c.number);
    if (midi != nullptr) {
        EXPECT_EQ(midi->getAlternateSettingNumber(), c.alternate);
    }
}

// Interfaces 0 and 1 with alternates 0 and 1 of class `streamingClass`, then interface 2 of class
// `classOf2` and interface 3 of class `classOf3` (subclass 3 with class 1 is MIDI streaming).
std::vector<uint8_t> midiLayout(uint8_t streamingClass, uint8_t classOf2, uint8_t subClassOf2,
                                uint8_t classOf3)
{
    ConfigBytes bytes(4);
    bytes.interface(0, 0, 0, streamingClass, 0).interface(0, 1, 1, streamingClass, 0).isoEndpoint(0x01, 200);
    bytes.interface(1, 0, 0, streamingClass, 0).interface(1, 1, 1, streamingClass, 0).isoEndpoint(0x82, 200);
    bytes.interface(2, 0, 0, classOf2, subClassOf2);
    bytes.interface(3, 0, 0, classOf3, 0);
    return bytes.build();
}

const DeviceModel kPlainModel{kPlainVendor, kPlainProduct, "plain"};

INSTANTIATE_TEST_SUITE_P(
    Models, MidiChoiceTest,
    testing::Values(
        MidiCase{"TrueMidi", kPlainModel, false, false, midiLayout(0xFE, 1, 3, 0xFE), 2, 0},
        // Omega: the MIDI streaming interface's neighbour below it.
        MidiCase{"Omega", kModel1210_0001, false, false, midiLayout(0xFE, 1, 3, 0xFE), 1, 0},
        MidiCase{"VendorInterface", kPlainModel, false, false, midiLayout(0xFE, 0xFE, 0, 0xFF), 3, 0},
        MidiCase{"ListedByItsRecord", kPlainModel, true, true, midiLayout(0xFE, 0xFE, 0, 0xFE), 3, 0},
        MidiCase{"ModelOnInterface0", kModel170B_0020, false, false, midiLayout(0xFE, 0xFE, 0, 0xFE), 0, 1},
        MidiCase{"None", kPlainModel, false, false, midiLayout(0xFE, 0xFE, 0, 0xFE), -1, 0}),
    [](const testing::TestParamInfo<MidiCase>& param) { return std::string(param.param.name); });

TEST(VKDeviceSelect, ListedBulkDevicesStreamOnInterfacesZeroAndOne)
{
    APISpecificFeatures record{};
    record.mValid = 1;
    record.mFlags[APISpecificFeatures::kBulkDevice] = 1;
    ConfigBytes bytes(2);
    bytes.interface(0, 0, 0).interface(0, 1, 1).format(2, 24, {48000}).isoEndpoint(0x01, 400);
    bytes.interface(1, 0, 0).interface(1, 1, 1).format(2, 24, {48000}).isoEndpoint(0x82, 400);
    DeviceHarness harness(kPlainVendor, kPlainProduct, {.highSpeed = true, .features = &record});
    ASSERT_TRUE(harness.scan(bytes.build()));
    harness.request(48000, 2, 2, 24, 24);
    ASSERT_TRUE(harness.device->findInterfacesInConfig());
    ASSERT_NE(harness.device->mChosen.outInterface, nullptr);
    ASSERT_NE(harness.device->mChosen.inInterface, nullptr);
    EXPECT_EQ(harness.device->mChosen.outInterface->getInterfaceNumber(), 0);
    EXPECT_EQ(harness.device->mChosen.inInterface->getInterfaceNumber(), 1);
}

} // namespace
