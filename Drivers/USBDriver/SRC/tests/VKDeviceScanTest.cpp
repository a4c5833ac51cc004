// The descriptor scan of the device object and the device description it builds: fields, limits,
// model corrections, and bytes past what was received or past one configuration area.
#include "DeviceHarness.h"

#include <DeviceModels.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

using fixtures::AlternateRow;
using fixtures::alternatesOf;
using fixtures::ConfigBytes;
using fixtures::DeviceHarness;

constexpr uint16_t kPlainVendor = 0x1234;
constexpr uint16_t kPlainProduct = 0x5678;

struct DeviceDescriptorCase
{
    const char* name;
    std::vector<uint8_t> bytes;
    bool scanned;
};

class DeviceDescriptorScanTest : public testing::TestWithParam<DeviceDescriptorCase>
{
};

std::vector<uint8_t> patched(std::vector<uint8_t> bytes, size_t offset, uint8_t value)
{
    bytes[offset] = value;
    return bytes;
}

TEST_P(DeviceDescriptorScanTest, ReadsAWholeStandardDescriptorOrNothing)
{
    const DeviceDescriptorCase& c = GetParam();
    std::vector<uint8_t> bytes = c.bytes;
    QZ_DeviceDescriptor descriptor{};
    std::memset(&descriptor, 0xAA, sizeof(descriptor));
    USBByteBuffer buffer(bytes.data(), uint32_t(bytes.size()));

    EXPECT_EQ(descriptor.scan(buffer), c.scanned);
    if (c.scanned) {
        EXPECT_EQ(descriptor.bcdUSB, 0x0200);
        EXPECT_EQ(descriptor.bMaxPacketSize0, 64);
        EXPECT_EQ(descriptor.idVendor, 0x0A4A);
        EXPECT_EQ(descriptor.idProduct, 0x6A02);
        EXPECT_EQ(descriptor.bcdDevice, 0x0200);
        EXPECT_EQ(descriptor.iManufacturer, 1);
        EXPECT_EQ(descriptor.iProduct, 2);
        EXPECT_EQ(descriptor.iSerialNumber, 3);
        EXPECT_EQ(descriptor.bNumConfigurations, 2);
    } else {
        QZ_DeviceDescriptor clear{};
        EXPECT_EQ(std::memcmp(&descriptor, &clear, sizeof(clear)), 0);
    }
}

const std::vector<uint8_t> kDevice = fixtures::deviceBytes(0x0A4A, 0x6A02, 0x0200, 2);

INSTANTIATE_TEST_SUITE_P(
    Descriptors, DeviceDescriptorScanTest,
    testing::Values(DeviceDescriptorCase{"Valid", kDevice, true},
                    DeviceDescriptorCase{"LengthByte17", patched(kDevice, 0, 17), false},
                    DeviceDescriptorCase{"WrongType", patched(kDevice, 1, 2), false},
                    DeviceDescriptorCase{"ShortReply",
                                         std::vector<uint8_t>(kDevice.begin(), kDevice.begin() + 10), false},
                    DeviceDescriptorCase{"Empty", {}, false}),
    [](const testing::TestParamInfo<DeviceDescriptorCase>& param) { return std::string(param.param.name); });

TEST(VKDeviceScan, AShortDeviceDescriptorLeavesAPlainClassDevice)
{
    // A truncated reply of an Elektron device: no per-model rule may see its ids.
    DeviceHarness harness(0, 0);
    std::vector<uint8_t> bytes = fixtures::deviceBytes(0x1935, 0x0006, 0x0100);
    bytes.resize(12);
    USBByteBuffer buffer(bytes.data(), uint32_t(bytes.size()));
    EXPECT_FALSE(harness.device->scanDeviceDescriptor(buffer));
    EXPECT_EQ(harness.device->vendorID(), 0);
    EXPECT_FALSE(harness.device->isElektron());
}

TEST(VKDeviceScan, DescribesAClassDevice)
{
    DeviceHarness harness(kPlainVendor, kPlainProduct);
    ASSERT_TRUE(harness.scan(fixtures::stereoDevice(24, {44100, 48000})));
    const APIDeviceInfo& info = harness.info();

    EXPECT_EQ(info.idVendor, kPlainVendor);
    EXPECT_EQ(info.idProduct, kPlainProduct);
    EXPECT_EQ(info.bcdDevice, 0x0100);
    EXPECT_EQ(info.mNumConfigurations, 1);
    const APIConfigInfo& config = info.mConfigurations[0];
    EXPECT_EQ(config.bConfigurationValue, 1);
    EXPECT_EQ(config.mNumInterfaces, 3);
    EXPECT_EQ(config.mInterfaces[0].bInterfaceSubClass, 1);
    for (uint8_t number : {1, 2}) {
        const APIInterfaceInfo& interface = config.mInterfaces[number];
        EXPECT_EQ(interface.bInterfaceNumber, number);
        EXPECT_EQ(interface.bInterfaceSubClass, 2);
        EXPECT_EQ(alternatesOf(interface), (std::vector<AlternateRow>{{1, 2, 24, {44100, 48000}}}));
        EXPECT_EQ(interface.mAlternates[0].mNumEndpoints, 1);
        EXPECT_EQ(interface.mAlternates[0].mEndpoints[0].bEndpointAddress, number == 1 ? 0x01 : 0x82);
        EXPECT_EQ(interface.mAlternates[0].mEndpoints[0].wMaxPacketSize, 294);
    }
    // The kernel leaves the feature record of the description zero.
    EXPECT_EQ(info.mSpecificFeatures.mValid, 0);
}

TEST(VKDeviceScan, DescribesAtMostFourConfigurations)
{
    DeviceHarness harness(kPlainVendor, kPlainProduct, {.numConfigurations = 6});
    for (uint8_t value = 1; value <= 6; ++value) {
        ASSERT_TRUE(harness.scan(ConfigBytes(1, value).interface(0, 0, 0, 1, 1).build()));
    }
    EXPECT_EQ(harness.device->getCountConfigurationDescriptors(), 6);
    const APIDeviceInfo& info = harness.info();
    EXPECT_EQ(info.mNumConfigurations, 4);
    for (int slot = 0; slot < 4; ++slot) {
        EXPECT_EQ(info.mConfigurations[slot].bConfigurationValue, slot + 1);
    }
}

TEST(VKDeviceScan, InterfaceSlotsGoByInterfaceNumber)
{
    DeviceHarness harness(kPlainVendor, kPlainProduct);
    ASSERT_TRUE(harness.scan(ConfigBytes(3)
                                 .interface(0, 0, 0, 1, 1)
                                 .interface(1, 0, 0)
                                 .interface(1, 1, 1)
                                 .format(2, 16, {48000})
                                 .isoEndpoint(0x01, 200)
                                 .interface(3, 0, 0)
                                 .interface(3, 1, 1)
                                 .format(2, 16, {48000})
                                 .isoEndpoint(0x83, 200)
                                 .build()));
    const APIConfigInfo& config = harness.info().mConfigurations[0];
    EXPECT_EQ(config.mNumInterfaces, 3);
    EXPECT_EQ(config.mInterfaces[1].bInterfaceNumber, 1);
    const APIInterfaceInfo zero{};
    EXPECT_EQ(std::memcmp(&config.mInterfaces[2], &zero, sizeof(zero)), 0);
    EXPECT_EQ(std::memcmp(&config.mInterfaces[3], &zero, sizeof(zero)), 0);
}

TEST(VKDeviceScan, OneRecordPerFormatAtMostSixteen)
{
    ConfigBytes twoFormats(2);
    twoFormats.interface(0, 0, 0, 1, 1)
        .interface(1, 0, 0)
        .interface(1, 1, 1)
        .format(2, 16, {44100})
        .format(2, 24, {48000});
    twoFormats.isoEndpoint(0x01, 300);
    DeviceHarness two(kPlainVendor, kPlainProduct);
    ASSERT_TRUE(two.scan(twoFormats.build()));
    EXPECT_EQ(alternatesOf(two.info().mConfigurations[0].mInterfaces[1]),
              (std::vector<AlternateRow>{{1, 2, 16, {44100}}, {1, 2, 24, {48000}}}));

    ConfigBytes many(2);
    many.interface(0, 0, 0, 1, 1).interface(1, 0, 0).interface(1, 1, 1);
    for (uint8_t i = 1; i <= 20; ++i) {
        many.format(i, 16, {48000});
    }
    many.isoEndpoint(0x01, 300);
    DeviceHarness twenty(kPlainVendor, kPlainProduct);
    ASSERT_TRUE(twenty.scan(many.build()));
    const std::vector<AlternateRow> rows = alternatesOf(twenty.info().mConfigurations[0].mInterfaces[1]);
    ASSERT_EQ(rows.size(), 16u);
    EXPECT_EQ(rows.front().channels, 1);
    EXPECT_EQ(rows.back().channels, 16);
}

TEST(VKDeviceScan, DisablingAFrequencyTakesItsFirstListingOutOfTheList)
{
    // The rate leaves the list (no 0 Hz rate is described) and later listings stay.
    DeviceHarness harness(kPlainVendor, kPlainProduct);
    ASSERT_TRUE(harness.scan(fixtures::stereoDevice(24, {44100, 48000, 44100})));
    harness.device->disableAllByFrequency(44100);
    EXPECT_EQ(alternatesOf(harness.info().mConfigurations[0].mInterfaces[1]),
              (std::vector<AlternateRow>{{1, 2, 24, {48000, 44100}}}));
    harness.device->disableAllByFrequency(44100);
    harness.device->disableAllByFrequency(48000);
    EXPECT_EQ(alternatesOf(harness.info().mConfigurations[0].mInterfaces[1]),
              (std::vector<AlternateRow>{{1, 2, 24, {}}}));
    // A format with no rate left matches nothing.
    harness.request(48000, 2, 2, 24, 24);
    ASSERT_TRUE(harness.device->findInterfacesInConfig());
    EXPECT_EQ(harness.device->mChosen.outInterface, nullptr);
}

TEST(VKDeviceScan, DisablingByResolutionOrChannelsClearsTheRecord)
{
    ConfigBytes bytes(2);
    bytes.interface(0, 0, 0, 1, 1).interface(1, 0, 0);
    bytes.interface(1, 1, 1).format(2, 16, {48000}).isoEndpoint(0x01, 200);
    bytes.interface(1, 2, 1).format(2, 24, {48000}).isoEndpoint(0x01, 300);
    bytes.interface(1, 3, 1).formatRange(4, 24, 32000, 96000).isoEndpoint(0x01, 600);
    DeviceHarness harness(kPlainVendor, kPlainProduct);
    ASSERT_TRUE(harness.scan(bytes.build()));
    harness.device->disableAllByResolution(16);
    harness.device->disableAllByChannels(4);
    const std::vector<AlternateRow> rows = alternatesOf(harness.info().mConfigurations[0].mInterfaces[1]);
    // Cleared records describe no format: no record is written for them.
    EXPECT_EQ(rows, (std::vector<AlternateRow>{{2, 2, 24, {48000}}}));

    DeviceHarness range(kPlainVendor, kPlainProduct);
    ASSERT_TRUE(range.scan(bytes.build()));
    range.device->disableAllByFrequency(44100); // inside the continuous range of alternate 3
    EXPECT_EQ(alternatesOf(range.info().mConfigurations[0].mInterfaces[1]),
              (std::vector<AlternateRow>{{1, 2, 16, {48000}}, {2, 2, 24, {48000}}}));
}

// A set whose audio-streaming interface begins at `limit` bytes or later.
std::vector<uint8_t> setWithInterfaceBeyond(size_t limit)
{
    ConfigBytes bytes(2);
    bytes.interface(0, 0, 0, 1, 1);
    while (bytes.build().size() < limit) {
        bytes.raw({10, 0x24, 0x0F, 0, 0, 0, 0, 0, 0, 0});
    }
    bytes.interface(1, 0, 0).interface(1, 1, 1).format(2, 16, {48000}).isoEndpoint(0x01, 200);
    return bytes.build();
}

TEST(VKDeviceScan, ScansOnlyTheBytesReceivedAndAtMostOneConfigurationArea)
{
    // wTotalLength says more than arrived: the interface past the received bytes is not there.
    const std::vector<uint8_t> bytes = setWithInterfaceBeyond(1000);
    ASSERT_GT(bytes.size(), 1000u);
    DeviceHarness shortRead(kPlainVendor, kPlainProduct);
    ASSERT_TRUE(shortRead.scan(bytes, 1000));
    EXPECT_EQ(shortRead.device->getConfigurationDescriptor(0)->getInterface(1), nullptr);

    // All received, but more than one 4,096-byte area.
    const std::vector<uint8_t> huge = setWithInterfaceBeyond(4096);
    ASSERT_GT(huge.size(), 4096u);
    DeviceHarness tooLong(kPlainVendor, kPlainProduct);
    ASSERT_TRUE(tooLong.scan(huge));
    EXPECT_EQ(tooLong.device->getConfigurationDescriptor(0)->getInterface(1), nullptr);

    // Bytes after wTotalLength belong to no configuration.
    std::vector<uint8_t> trailing = ConfigBytes(1).interface(0, 0, 0, 1, 1).build();
    const size_t total = trailing.size();
    const std::vector<uint8_t> extra =
        ConfigBytes(1).interface(1, 0, 0).interface(1, 1, 1).format(2, 16, {48000}).build();
    trailing.insert(trailing.end(), extra.begin() + 9, extra.end());
    DeviceHarness after(kPlainVendor, kPlainProduct);
    ASSERT_TRUE(after.scan(trailing));
    ASSERT_EQ(size_t(trailing[2]), total);
    EXPECT_EQ(after.device->getConfigurationDescriptor(0)->getInterface(1), nullptr);

    // Nothing received, or a wrong header: nothing kept.
    DeviceHarness empty(kPlainVendor, kPlainProduct);
    EXPECT_FALSE(empty.scan({}, 0));
    EXPECT_FALSE(empty.scan({9, 4, 0, 0, 0, 1, 1, 0, 0}));
    EXPECT_EQ(empty.device->getCountConfigurationDescriptors(), 0);
}

TEST(VKDeviceScan, ScanningWorksOnAPrivateCopy)
{
    // The area the service reads into is mapped by user space: the scan never writes it.
    std::vector<uint8_t> bytes = ConfigBytes(3)
                                     .interface(0, 0, 0, 0xFF, 0)
                                     .interface(1, 0, 0, 0xFF, 0)
                                     .interface(2, 0, 0, 0xFF, 0)
                                     .build();
    const std::vector<uint8_t> before = bytes;
    DeviceHarness mbox(kModelMBox.vendor, kModelMBox.product);
    USBByteBuffer buffer(bytes.data(), uint32_t(bytes.size()));
    ASSERT_TRUE(mbox.device->scanConfigurationDescriptors(buffer));
    EXPECT_EQ(bytes, before);
    // ... and the patched copy was parsed: interface 0 audio control, 1 and 2 audio streaming.
    VKConfigurationDescriptor* config = mbox.device->getConfigurationDescriptor(0);
    EXPECT_TRUE(config->getInterface(0)->isAudioControl());
    EXPECT_EQ(config->getInterface(1)->getInterfaceSubClass(), 2);
    EXPECT_EQ(config->getInterface(2)->getInterfaceSubClass(), 2);
}

TEST(VKDeviceScan, ModelRateListsReplaceTheDescriptors)
{
    struct Case
    {
        DeviceModel model;
        std::vector<uint32_t> rates;
    };
    for (const Case& c : {Case{kModelUSBPre, {32000, 44100, 48000}}, Case{kModelMBox2, {44100, 48000}}}) {
        SCOPED_TRACE(c.model.name);
        DeviceHarness harness(c.model.vendor, c.model.product);
        ASSERT_TRUE(harness.scan(fixtures::stereoDevice(24, {96000})));
        const std::vector<AlternateRow> rows = alternatesOf(harness.info().mConfigurations[0].mInterfaces[1]);
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].rates, c.rates);
    }
}

TEST(VKDeviceScan, ModelCorrections)
{
    // 0A4E:4040 cannot run its 88.2 and 96 kHz listings.
    DeviceHarness rates(kModel0A4E_4040.vendor, kModel0A4E_4040.product);
    ASSERT_TRUE(rates.scan(fixtures::stereoDevice(24, {44100, 48000, 88200, 96000})));
    EXPECT_EQ(alternatesOf(rates.info().mConfigurations[0].mInterfaces[2]),
              (std::vector<AlternateRow>{{1, 2, 24, {44100, 48000}}}));

    // 03EB:4308: the second format record of each stream of configuration 0 has 8 channels.
    auto twoRecords = [](bool second) {
        ConfigBytes bytes(3);
        bytes.interface(0, 0, 0, 1, 1);
        for (uint8_t number : {1, 2}) {
            bytes.interface(number, 0, 0).interface(number, 1, 1).streamingGeneral();
            if (second) {
                bytes.format(2, 16, {48000});
            }
            bytes.isoEndpoint(number == 1 ? 0x01 : 0x82, 200);
        }
        return bytes.build();
    };
    DeviceHarness eight(kModel03EB_4308.vendor, kModel03EB_4308.product, {.numConfigurations = 2});
    ASSERT_TRUE(eight.scan(twoRecords(true)));
    ASSERT_TRUE(eight.scan(twoRecords(true)));
    EXPECT_EQ(alternatesOf(eight.info().mConfigurations[0].mInterfaces[1]),
              (std::vector<AlternateRow>{{1, 8, 16, {48000}}}));
    EXPECT_EQ(alternatesOf(eight.info().mConfigurations[1].mInterfaces[1]),
              (std::vector<AlternateRow>{{1, 2, 16, {48000}}}));
    // Without a second record there is nothing to correct.
    DeviceHarness none(kModel03EB_4308.vendor, kModel03EB_4308.product);
    EXPECT_TRUE(none.scan(twoRecords(false)));

    // 0CCD:0014: 16-bit alternates go when a 96 kHz 24-bit stereo input exists.
    ConfigBytes both(3);
    both.interface(0, 0, 0, 1, 1).interface(1, 0, 0);
    both.interface(1, 1, 1).format(2, 16, {48000}).isoEndpoint(0x01, 200);
    both.interface(1, 2, 1).format(2, 24, {48000}).isoEndpoint(0x01, 300);
    both.interface(2, 0, 0);
    both.interface(2, 1, 1).format(2, 16, {96000}).isoEndpoint(0x82, 400);
    both.interface(2, 2, 1).format(2, 24, {96000}).isoEndpoint(0x82, 600);
    DeviceHarness sixteen(kModel0CCD_0014.vendor, kModel0CCD_0014.product);
    ASSERT_TRUE(sixteen.scan(both.build()));
    EXPECT_EQ(alternatesOf(sixteen.info().mConfigurations[0].mInterfaces[1]),
              (std::vector<AlternateRow>{{2, 2, 24, {48000}}}));
    EXPECT_EQ(alternatesOf(sixteen.info().mConfigurations[0].mInterfaces[2]),
              (std::vector<AlternateRow>{{2, 2, 24, {96000}}}));

    // 0763:2003: no converter knows its 24-bit layout, so only its 16-bit alternates are offered
    // (a 24-bit stream would run silent).
    DeviceHarness unknown24(kModel0763_2003.vendor, kModel0763_2003.product);
    ASSERT_TRUE(unknown24.scan(both.build()));
    EXPECT_EQ(alternatesOf(unknown24.info().mConfigurations[0].mInterfaces[1]),
              (std::vector<AlternateRow>{{1, 2, 16, {48000}}}));
    EXPECT_EQ(alternatesOf(unknown24.info().mConfigurations[0].mInterfaces[2]),
              (std::vector<AlternateRow>{{1, 2, 16, {96000}}}));

    // Extigy: no MIDI interface, no multichannel format.
    ConfigBytes extigy(3);
    extigy.interface(0, 0, 0, 1, 1).interface(1, 0, 0);
    extigy.interface(1, 1, 1).format(2, 16, {48000}).isoEndpoint(0x01, 200);
    extigy.interface(1, 2, 1).format(6, 16, {48000}).isoEndpoint(0x01, 600);
    extigy.interface(2, 0, 2, 1, 3)
        .raw({9, 5, 0x03, 0x02, 64, 0, 0, 0, 0})
        .raw({9, 5, 0x84, 0x02, 64, 0, 0, 0, 0});
    DeviceHarness creative(kModelExtigy.vendor, kModelExtigy.product);
    ASSERT_TRUE(creative.scan(extigy.build()));
    VKConfigurationDescriptor* config = creative.device->getConfigurationDescriptor(0);
    EXPECT_EQ(config->findMidiInterface(), nullptr);
    VKInterfaceDescriptor* midi = config->getInterface(2);
    ASSERT_NE(midi, nullptr);
    EXPECT_EQ(midi->getNumEndpoints(), 0);
    EXPECT_EQ(midi->getInterfaceClass(), 0);
    EXPECT_EQ(alternatesOf(creative.info().mConfigurations[0].mInterfaces[1]),
              (std::vector<AlternateRow>{{1, 2, 16, {48000}}}));
}

TEST(VKDeviceScan, FirstScanDefaultsOfOneModel)
{
    DeviceHarness harness(kModel0763_2003.vendor, kModel0763_2003.product);
    // The defaults were applied by the harness's scan; applying again does nothing more.
    harness.request(96000, 8, 8, 24, 24, 1);
    std::vector<uint8_t> bytes =
        fixtures::deviceBytes(kModel0763_2003.vendor, kModel0763_2003.product, 0x0100);
    USBByteBuffer buffer(bytes.data(), uint32_t(bytes.size()));
    harness.device->mFirstScan = 1;
    harness.device->scanDeviceDescriptor(buffer);
    const QzChannelSettings& s = harness.settings();
    EXPECT_EQ(s.iFrequency, 44100);
    EXPECT_EQ(s.iInChannels, 2);
    EXPECT_EQ(s.iOutChannels, 2);
    EXPECT_EQ(s.iInResolution, 16);
    EXPECT_EQ(s.iOutResolution, 16);
    EXPECT_EQ(s.uConfiguration, 0u);
    EXPECT_EQ(harness.device->mFirstScan, 0);

    harness.request(96000, 8, 8, 24, 24, 1);
    USBByteBuffer again(bytes.data(), uint32_t(bytes.size()));
    harness.device->scanDeviceDescriptor(again);
    EXPECT_EQ(harness.settings().iFrequency, 96000);
}

TEST(VKDeviceScan, ElektronIdentityIsClearedWhenTheDeviceDoesNotAnswer)
{
    DeviceHarness harness(kModel1935_0006.vendor, kModel1935_0006.product);
    EXPECT_TRUE(harness.device->isElektron());
    const uint8_t zeros[32] = {};
    EXPECT_EQ(std::memcmp(harness.device->ElektronUID, zeros, 8), 0);
    EXPECT_EQ(std::memcmp(harness.device->ElektronDeviceName, zeros, 32), 0);
    const std::vector<uint8_t>* uid = harness.owner->property("ElektronUID");
    const std::vector<uint8_t>* name = harness.owner->property("ElektronDeviceName");
    ASSERT_NE(uid, nullptr);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(uid->size(), 8u);
    EXPECT_EQ(name->size(), 32u);
}

} // namespace
