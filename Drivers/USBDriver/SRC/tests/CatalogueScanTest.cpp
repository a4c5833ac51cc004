// The simulated catalogue's models through the scan and the choice, unlisted (no personality):
// the streams of configuration 0 as the description shows them after the model's patches,
// corrections and substitutes, and what a 48 kHz stereo 24-bit request settles on.
#include "DeviceHarness.h"

#include <usbsim/Catalogue.h>

#include <gtest/gtest.h>

#include <map>

namespace {

using fixtures::AlternateRow;
using fixtures::alternatesOf;
using fixtures::DeviceHarness;

constexpr uint32_t k32 = 32000, k441 = 44100, k48 = 48000, k882 = 88200, k96 = 96000, k1764 = 176400,
                   k192 = 192000;

// A standard GET_DESCRIPTOR answered by the model itself; empty when it refuses.
std::vector<uint8_t> descriptor(usbsim::DeviceModel& model, uint8_t type, uint8_t index)
{
    usbsim::SetupPacket setup;
    setup.bmRequestType = 0x80;
    setup.bRequest = 6;
    setup.wValue = uint16_t(type << 8 | index);
    setup.wLength = 4096;
    const usbsim::ControlReply reply = model.control(setup, {});
    return reply.status == usbsim::kSuccess ? reply.data : std::vector<uint8_t>{};
}

using Records = std::map<uint8_t, std::vector<AlternateRow>>; // interface number -> records

struct Choice
{
    int32_t frequency, in, out, inBits, outBits;
    int inInterface, inAlternate, outInterface, outAlternate; // -1: none chosen
    bool operator==(const Choice&) const = default;
};

void PrintTo(const Choice& c, std::ostream* os)
{
    *os << c.frequency << " Hz in " << c.in << "/" << c.inBits << " out " << c.out << "/" << c.outBits
        << ", in " << c.inInterface << "/" << c.inAlternate << ", out " << c.outInterface << "/"
        << c.outAlternate;
}

struct CatalogueCase
{
    const char* model;
    int configurations; // configurations scanned (the readable ones)
    Records records;
    Choice choice;
};

class CatalogueScanTest : public testing::TestWithParam<CatalogueCase>
{
};

TEST_P(CatalogueScanTest, DescribesAndChoosesAsTheModelRequires)
{
    const CatalogueCase& c = GetParam();
    const usbsim::CatalogueEntry* entry = usbsim::findModel(c.model);
    ASSERT_NE(entry, nullptr);
    std::shared_ptr<usbsim::DeviceModel> model = entry->make();
    const std::vector<uint8_t> device = descriptor(*model, 1, 0);
    ASSERT_EQ(device.size(), 18u);

    DeviceHarness harness(entry->vendor, entry->product,
                          {.release = entry->bcdDevice,
                           .highSpeed = model->speed() != usbsim::Speed::full,
                           .numConfigurations = device[17]});
    for (uint8_t index = 0; index < device[17]; ++index) {
        const std::vector<uint8_t> bytes = descriptor(*model, 2, index);
        if (!bytes.empty()) {
            EXPECT_TRUE(harness.scan(bytes));
        }
    }
    EXPECT_EQ(harness.device->getCountConfigurationDescriptors(), c.configurations);

    const APIConfigInfo& config = harness.info().mConfigurations[0];
    Records records;
    for (uint8_t number = 0; number < APIConfigInfo::kMaxInterfaces; ++number) {
        std::vector<AlternateRow> rows = alternatesOf(config.mInterfaces[number]);
        if (!rows.empty()) {
            records[number] = rows;
        }
    }
    EXPECT_EQ(records, c.records);

    harness.request(48000, 2, 2, 24, 24);
    ASSERT_TRUE(harness.device->findInterfacesInConfig());
    const QzChannelSettings& s = harness.settings();
    VKInterfaceDescriptor* in = harness.device->mChosen.inInterface;
    VKInterfaceDescriptor* out = harness.device->mChosen.outInterface;
    const Choice choice{s.iFrequency,
                        s.iInChannels,
                        s.iOutChannels,
                        s.iInResolution,
                        s.iOutResolution,
                        in != nullptr ? in->getInterfaceNumber() : -1,
                        in != nullptr ? in->getAlternateSettingNumber() : -1,
                        out != nullptr ? out->getInterfaceNumber() : -1,
                        out != nullptr ? out->getAlternateSettingNumber() : -1};
    EXPECT_EQ(choice, c.choice);
}

const std::vector<uint32_t> kTo192 = {k441, k48, k882, k96, k1764, k192};

std::vector<AlternateRow> elektronAlternates()
{
    return {{1, 0, 16, {k48}}, {2, 2, 16, {k48}}, {3, 2, 24, {k48}}, {4, 4, 16, {k48}},
            {5, 4, 24, {k48}}, {5, 6, 16, {k48}}, {6, 8, 16, {k48}}, {7, 6, 24, {k48}}};
}

std::vector<AlternateRow> usbPreRecords(std::initializer_list<std::pair<uint8_t, uint8_t>> formats)
{
    std::vector<AlternateRow> rows;
    uint8_t alternate = 1;
    for (auto [channels, bits] : formats) {
        rows.push_back({alternate++, channels, bits, {k32, k441, k48}});
    }
    return rows;
}

INSTANTIATE_TEST_SUITE_P(
    Models, CatalogueScanTest,
    testing::Values(
        CatalogueCase{"class-audio-24",
                      1,
                      {{1, {{1, 2, 24, {k441, k48}}}}, {2, {{1, 2, 24, {k441, k48}}}}},
                      {48000, 2, 2, 24, 24, 2, 1, 1, 1}},
        // Unlisted release 0200 is of the family: alternate 1 cleared, alternate 2's first record
        // rewritten (its own format stays as a second record).
        CatalogueCase{"Kelvra-UC3",
                      1,
                      {{1, {{2, 2, 24, kTo192}, {2, 2, 24, {k441, k48}}}},
                       {2, {{2, 2, 24, kTo192}, {2, 2, 24, {k441, k48}}}}},
                      {48000, 2, 2, 24, 24, 2, 2, 1, 2}},
        // Release 0100 at high speed: interface 2 alternate 1 cleared, interface 2 not rebuilt.
        CatalogueCase{"Kelvra-UC3@0100",
                      1,
                      {{1, {{2, 2, 24, kTo192}, {2, 2, 24, {k441, k48}}}}, {2, {{2, 2, 24, {k441, k48}}}}},
                      {48000, 2, 2, 24, 24, 2, 2, 1, 2}},
        // Format descriptors raw-patched from 20 to 24 bits; rates forced to 32/44.1/48 kHz.
        CatalogueCase{"USBPre",
                      1,
                      {{1, usbPreRecords({{2, 16}, {1, 16}, {1, 24}, {2, 24}, {2, 24}})},
                       {2, usbPreRecords({{2, 16}, {2, 16}, {2, 16}, {1, 16}, {2, 24}, {2, 24}})}},
                      {48000, 2, 2, 24, 24, 2, 6, 1, 4}},
        // Format-less alternates get the fixed format; 32 kHz of the 16-bit alternates dropped.
        CatalogueCase{"MBox2",
                      1,
                      {{2, {{1, 2, 16, {k441, k48}}, {2, 2, 24, {k441, k48}}, {3, 2, 24, {k441, k48}}}},
                       {3,
                        {{1, 2, 16, {k441, k48}},
                         {2, 2, 24, {k441, k48}},
                         {3, 2, 24, {k441, k48}},
                         {6, 2, 24, {k441, k48}}}},
                       {4, {{1, 2, 16, {k441, k48}}, {2, 2, 24, {k441, k48}}, {3, 2, 24, {k441, k48}}}},
                       {5, {{1, 2, 16, {k441, k48}}, {2, 2, 24, {k441, k48}}, {3, 2, 24, {k441, k48}}}}},
                      {48000, 2, 2, 24, 24, 4, 2, 2, 2}},
        CatalogueCase{"1ACC:0049",
                      1,
                      {{1,
                        {{1,
                          2,
                          24,
                          {8000, 11025, 12000, 16000, 22050, 24000, k32, 37800, 44056, k441, 47250, k48, 64000,
                           k882, k96}}}},
                       {2, {{1, 2, 24, {k441, k48, k96}}}}},
                      {48000, 2, 2, 24, 24, 2, 1, 1, 1}},
        // Output only: the first interface relabelled, alternate 1 cleared, alternate 2 fixed.
        CatalogueCase{"1604:8006", 1, {{0, {{2, 2, 24, {k441, k48}}}}}, {48000, 0, 2, 0, 24, -1, -1, 0, 2}},
        CatalogueCase{"0CCD:0014",
                      1,
                      {{1, {{2, 2, 24, {k441, k48, k96}}}}, {2, {{2, 2, 24, {k441, k48, k96}}}}},
                      {48000, 2, 2, 24, 24, 2, 2, 1, 2}},
        // 8 channels: the channel ladder settles at 44.1 kHz.
        CatalogueCase{"03EB:4308",
                      1,
                      {{1, {{1, 8, 24, {k441, k48, k882, k96}}}}, {2, {{1, 8, 24, {k441, k48, k882, k96}}}}},
                      {44100, 8, 8, 24, 24, 2, 1, 1, 1}},
        CatalogueCase{
            "0A4E:4040",
            1,
            {{1, {{1, 2, 24, {k441, k48}}, {2, 1, 24, {k441, k48}}}},
             {2,
              {{1, 4, 16, {k441, k48}}, {2, 4, 24, {k441, k48}}, {3, 1, 24, {k441, k48}}}}},
            {44100, 4, 2, 24, 24, 2, 2, 1, 1}},
        CatalogueCase{"Extigy",
                      1,
                      {{1, {{1, 2, 16, {k48}}}}, {2, {{1, 2, 16, {k48}}}}},
                      {48000, 2, 2, 16, 16, 2, 1, 1, 1}},
        // The second configuration cannot be read; 32 bits found at 44.1 kHz on the ladder.
        CatalogueCase{"XMOS",
                      1,
                      {{1, {{1, 2, 32, kTo192}}}, {2, {{1, 2, 32, kTo192}}}},
                      {44100, 2, 2, 32, 32, 2, 1, 1, 1}},
        // The patched control and streaming interfaces: interface 1 alternate 1 carries both
        // directions with the fixed format.
        CatalogueCase{"MBox", 1, {{1, {{1, 2, 24, {k441, k48}}}}}, {48000, 2, 2, 24, 24, 1, 1, 1, 1}},
        // High speed: interface 1 alternate 2 rewritten to 4 channels from 32 kHz (its own record
        // stays behind it), interface 2 alternate 1 cleared; no stereo format, so the channel
        // ladder settles on 4 channels.
        CatalogueCase{"0926:0201",
                      1,
                      {{1, {{2, 4, 24, {k32, k441, k48, k882, k96, k1764, k192}}, {2, 4, 24, {k441, k48}}}},
                       {2, {{2, 4, 24, {k441, k48}}}}},
                      {44100, 4, 4, 24, 24, 2, 2, 1, 2}},
        // Two outputs (headphones, speakers), alternates 1 and 2 rewritten to 16 and 24 bits; no
        // input.
        CatalogueCase{"Play-16/24",
                      1,
                      {{1,
                        {{1, 2, 16, {k441, k48, k882, k96}},
                         {1, 2, 16, {k441, k48}},
                         {2, 2, 24, {k441, k48, k882, k96}},
                         {2, 2, 24, {k441, k48}}}},
                       {2,
                        {{1, 2, 16, {k441, k48, k882, k96}},
                         {1, 2, 16, {k441, k48}},
                         {2, 2, 24, {k441, k48, k882, k96}},
                         {2, 2, 24, {k441, k48}}}}},
                      {48000, 0, 2, 0, 24, -1, -1, 1, 2}},
        // Unlisted: its own descriptors and the model's 24-in/16-out default.
        CatalogueCase{"Pellirun",
                      1,
                      {{1, {{1, 2, 16, {k441, k48}}, {2, 16, 24, {k441, k48}}}},
                       {2, {{1, 2, 16, {k441, k48}}, {2, 24, 24, {k441, k48}}}}},
                      {48000, 24, 16, 24, 24, 2, 2, 1, 2}},
        // Unlisted Tessaly: its alternates are built only for a listed device (or with the build
        // flag), so nothing streams.
        CatalogueCase{"Tessaly", 1, {}, {96000, 0, 2, 16, 16, -1, -1, -1, -1}},
        CatalogueCase{"1935:0004",
                      1,
                      {{0, elektronAlternates()}, {1, elektronAlternates()}},
                      {48000, 2, 0, 16, 16, 0, 2, 1, 1}},
        // Elektron: the map starts at its defaults, and with it 2 inputs at 16 bits and no output.
        CatalogueCase{"1935:0006",
                      1,
                      {{0, elektronAlternates()}, {1, elektronAlternates()}},
                      {48000, 2, 0, 16, 16, 0, 2, 1, 1}}),
    [](const testing::TestParamInfo<CatalogueCase>& param) {
        std::string name = param.param.model;
        for (char& ch : name) {
            if (!std::isalnum(static_cast<unsigned char>(ch))) {
                ch = '_';
            }
        }
        return name;
    });

} // namespace
