#include "VKUSBDescriptors.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "DescriptorBytes.h"
#include "DeviceModels.h"
#include "VKKernelMemory.h"
#include "platform/Log.h"

using namespace descriptor_bytes;
using platform::log::Capture;
using platform::log::Channel;

namespace {

const VIDPID kPlainDevice{0x1234, 0x5678, 0x0100, nullptr};

VIDPID deviceOf(const DeviceModel& model, uint16_t release = 0x0100, const APISpecificFeatures* features = nullptr)
{
    return VIDPID(model.vendor, model.product, release, features);
}

std::unique_ptr<VKConfigurationDescriptor> parse(const Bytes& bytes, const VIDPID& device = kPlainDevice,
                                                 bool* scanned = nullptr)
{
    auto configuration = std::unique_ptr<VKConfigurationDescriptor>(new VKConfigurationDescriptor());
    USBByteBuffer buffer(bytes.data(), static_cast<uint32_t>(bytes.size()));
    const bool ok = configuration->scan(buffer, device);
    if (scanned != nullptr) {
        *scanned = ok;
    }
    return configuration;
}

// A plain class-compliant device: control, output stream (interface 1), input stream (2).
Bytes classCompliantDevice()
{
    return join({configuration(3), interface(0, 0, 0, 1, 1), controlPart(10), controlPart(12, 2),
                 streamingInterface(1, 0x01, 288, 2, 24, {44100, 48000}),
                 streamingInterface(2, 0x82, 294, 2, 24, {44100, 48000})});
}

} // namespace

TEST(VKUSBDescriptors, ClassCompliantDeviceParsesIntoItsTree)
{
    bool scanned = false;
    const auto config = parse(classCompliantDevice(), kPlainDevice, &scanned);
    ASSERT_TRUE(scanned);
    EXPECT_EQ(config->getNumInterfaces(), 3);
    EXPECT_EQ(config->getConfigurationValue(), 1);
    EXPECT_EQ(config->getAttributes(), 0x80);
    EXPECT_EQ(config->getMaxPower(), 50);
    ASSERT_EQ(config->getCountInterfaces(), 3);

    VKInterfaceDescriptor* control = config->findAudioControlInterface();
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->getInterfaceNumber(), 0);
    EXPECT_EQ(control->getCountAC(), 2);
    EXPECT_EQ(control->getAudioControlSpecific(1)->getLength(), 12u);

    VKInterfaceDescriptor* out = config->findAudioStreamingOutInterface();
    VKInterfaceDescriptor* in = config->findAudioStreamingInInterface();
    ASSERT_NE(out, nullptr);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(out->getInterfaceNumber(), 1);
    EXPECT_EQ(in->getInterfaceNumber(), 2);
    EXPECT_EQ(config->findMidiInterface(), nullptr);
    EXPECT_EQ(config->findHIDInterface(), nullptr);
    EXPECT_EQ(config->findVendorInterface(), nullptr);

    ASSERT_EQ(out->getCountAlternateSettings(), 1);
    VKInterfaceDescriptor* alt = out->getAlternateSetting(1);
    ASSERT_NE(alt, nullptr);
    EXPECT_EQ(alt->getParent(), out);
    EXPECT_EQ(alt->getConfiguration(), config.get());
    EXPECT_EQ(alt->getCountAS(), 2);
    EXPECT_EQ(out->getAlternateSetting(0), out);
    EXPECT_EQ(out->getAlternateSetting(2), nullptr);
    EXPECT_EQ(alt->getAlternateSetting(0), nullptr); // an alternate's own number is 1

    VKPipeDescriptor* pipe = alt->getIsocOutPipe();
    ASSERT_NE(pipe, nullptr);
    EXPECT_EQ(pipe->getAddressByte(), 0x01);
    EXPECT_EQ(pipe->getMaxPacketSize(), 288);
    EXPECT_EQ(pipe->getCurrentMaxPacketSize(), 288);
    EXPECT_EQ(pipe->getSyncType(), 1u);
    EXPECT_EQ(pipe->getControlType(), 1u);
    EXPECT_EQ(pipe->getLockDelayUnits(), 2);
    EXPECT_EQ(pipe->getLockDelay(), 0x1234);
    EXPECT_EQ(alt->getPipeByAddress(0x01), pipe);
    EXPECT_EQ(alt->getPipeByID(1), pipe);
    EXPECT_EQ(alt->getIsocInPipe(), nullptr);
    EXPECT_EQ(alt->findAlternateSetting(48000, 2, 24, kPlainDevice), alt);
    EXPECT_EQ(out->findAlternateSetting(48000, 2, 24, kPlainDevice), alt);
    EXPECT_EQ(out->findAlternateSetting(96000, 2, 24, kPlainDevice), nullptr);
    EXPECT_EQ(out->findAlternateSetting(48000, 2, 16, kPlainDevice), nullptr);
    EXPECT_EQ(control->findAlternateSetting(48000, 2, 24, kPlainDevice), nullptr);

    const uint8_t* standard = alt->getUSBInterfaceDescriptor();
    const uint8_t expected[9] = {9, 4, 1, 1, 1, 1, 2, 0, 0};
    EXPECT_EQ(std::memcmp(standard, expected, 9), 0);
}

TEST(VKUSBDescriptors, DeviceDescriptionEntriesFollowTheModel)
{
    const auto config = parse(classCompliantDevice());
    auto info = std::make_unique<APIConfigInfo>();
    std::memset(info.get(), 0, sizeof *info);
    config->getAPIConfigInfo(*info, kPlainDevice);
    EXPECT_EQ(info->bConfigurationValue, 1);
    EXPECT_EQ(info->mNumInterfaces, 3);
    EXPECT_EQ(info->mInterfaces[0].mNumAlternates, 0); // control: no format records
    const APIInterfaceInfo& in = info->mInterfaces[2];
    EXPECT_EQ(in.bInterfaceNumber, 2);
    EXPECT_EQ(in.bInterfaceSubClass, 2);
    ASSERT_EQ(in.mNumAlternates, 1);
    const APIInterfaceAlternateInfo& alt = in.mAlternates[0];
    EXPECT_EQ(alt.bAlternateSetting, 1);
    EXPECT_EQ(alt.mNumEndpoints, 1);
    EXPECT_EQ(alt.mStreaming.bBitResolution, 24);
    EXPECT_EQ(alt.mStreaming.bNrChannels, 2);
    EXPECT_EQ(alt.mStreaming.mContinuous, 0);
    ASSERT_EQ(alt.mStreaming.mNumFrequencies, 2);
    EXPECT_EQ(alt.mStreaming.mFrequencies[0], 44100u);
    EXPECT_EQ(alt.mStreaming.mFrequencies[1], 48000u);
    EXPECT_EQ(alt.mEndpoints[0].bEndpointAddress, 0x82);
    EXPECT_EQ(alt.mEndpoints[0].wMaxPacketSize, 294);
}

TEST(VKUSBDescriptors, DescriptionCapsAndSkipsMissingNumbers)
{
    // Interfaces 0, 1 and 3 with bNumInterfaces 3: slots 0 and 1 filled, slot 2 left alone.
    Bytes manyFormats = join({interface(1, 0, 0, 1, 2), interface(1, 1, 5, 1, 2)});
    for (int i = 0; i < 20; ++i) {
        manyFormats = join({manyFormats, formatTypeI(2, 16, {44100u + static_cast<uint32_t>(i)})});
    }
    for (uint8_t e = 1; e <= 5; ++e) {
        manyFormats = join({manyFormats, endpoint(e, 0x02, 64, 0)}); // bulk: any interval
    }
    // A second alternate whose format lists 20 rates and is continuous in another record.
    const Bytes bytes = join({configuration(3), interface(0, 0, 0, 1, 1), manyFormats, interface(3, 0, 0, 1, 2),
                              interface(3, 1, 1, 1, 2), streamingGeneral(),
                              formatTypeI(2, 24, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20}),
                              formatContinuous(2, 24, 8000, 96000), endpoint(0x83, 0x05, 200, 1)});
    const auto config = parse(bytes);
    auto info = std::make_unique<APIConfigInfo>();
    std::memset(info.get(), 0xEE, sizeof *info);
    config->getAPIConfigInfo(*info, kPlainDevice);
    EXPECT_EQ(info->mNumInterfaces, 3);
    EXPECT_EQ(info->mInterfaces[0].bInterfaceNumber, 0);
    EXPECT_EQ(info->mInterfaces[1].mNumAlternates, 16);
    EXPECT_EQ(info->mInterfaces[1].mAlternates[15].mStreaming.mFrequencies[0], 44115u);
    EXPECT_EQ(info->mInterfaces[1].mAlternates[0].mNumEndpoints, 4);
    EXPECT_EQ(info->mInterfaces[2].bInterfaceNumber, 0xEE);

    // Interface 3 (not described here) through its own entry: two format records, two entries.
    APIInterfaceInfo three{};
    config->getInterface(3)->getAPIInterfaceInfo(three, kPlainDevice);
    ASSERT_EQ(three.mNumAlternates, 2);
    EXPECT_EQ(three.mAlternates[0].bAlternateSetting, 1);
    EXPECT_EQ(three.mAlternates[0].mStreaming.mNumFrequencies, 16);
    EXPECT_EQ(three.mAlternates[0].mStreaming.mFrequencies[15], 16u);
    EXPECT_EQ(three.mAlternates[1].bAlternateSetting, 1);
    EXPECT_EQ(three.mAlternates[1].mStreaming.mContinuous, 1);
    EXPECT_EQ(three.mAlternates[1].mStreaming.mNumFrequencies, 0);
    EXPECT_EQ(three.mAlternates[1].mStreaming.mLowerFrequency, 8000u);
    EXPECT_EQ(three.mAlternates[1].mStreaming.mUpperFrequency, 96000u);
}

TEST(VKUSBDescriptors, SomeModelsGetFixedRateLists)
{
    struct Case
    {
        DeviceModel model;
        const char* log;
        std::vector<uint32_t> rates;
    };
    const Case cases[] = {
        {kModelUSBPre, "USB: THIS IS AN USBPRE", {32000, 44100, 48000}},
        {kModelMBox, "USB: THIS IS AN MBOX", {44100, 48000}},
        {kModelMBox2, "USB: THIS IS AN MBOX 2", {44100, 48000}},
        {DeviceModel{0x1234, 0x5678, "plain"}, nullptr, {96000}},
    };
    for (const Case& c : cases) {
        const VIDPID device = deviceOf(c.model);
        const auto config = parse(join({configuration(2), streamingInterface(1, 0x81, 100, 2, 24, {96000})}), device);
        APIInterfaceInfo info{};
        Capture log(Channel::kernel);
        config->getInterface(1)->getAPIInterfaceInfo(info, device);
        ASSERT_EQ(info.mNumAlternates, 1) << c.model.name;
        const APIStreamingInfo& streaming = info.mAlternates[0].mStreaming;
        ASSERT_EQ(streaming.mNumFrequencies, c.rates.size()) << c.model.name;
        for (size_t i = 0; i < c.rates.size(); ++i) {
            EXPECT_EQ(streaming.mFrequencies[i], c.rates[i]) << c.model.name;
        }
        if (c.log != nullptr) {
            EXPECT_TRUE(log.contains(c.log)) << c.model.name;
        }
    }
}

// --- Endpoints

TEST(VKUSBDescriptors, EndpointScanTable)
{
    struct Case
    {
        const char* what;
        Bytes bytes;
        bool accepted;
        uint32_t consumed;
        uint16_t maxPacket;
        uint16_t transactions;
        bool isocIn;
        bool isocOut;
        uint8_t maxPacketsOnly;
    };
    const Case cases[] = {
        {"iso OUT of 32 is no streaming pipe", join({endpoint(0x01, 0x05, 32, 1), classEndpoint(0)}), true, 16, 32, 1,
         false, false, 0},
        {"iso OUT of 33 is", join({endpoint(0x01, 0x05, 33, 1), classEndpoint(0)}), true, 16, 33, 1, false, true, 0},
        {"iso IN of 32 is", join({endpoint(0x81, 0x05, 32, 1), classEndpoint(0)}), true, 16, 32, 1, true, false, 0},
        {"iso interval 2 refused", join({endpoint(0x81, 0x05, 192, 2), classEndpoint(0)}), false, 16, 192, 1, true,
         false, 0},
        {"iso interval 4 kept", join({endpoint(0x81, 0x05, 192, 4), classEndpoint(0)}), true, 16, 192, 1, true, false,
         0},
        {"small iso keeps any interval", join({endpoint(0x81, 0x05, 16, 8), classEndpoint(0)}), true, 16, 16, 1, false,
         false, 0},
        {"interrupt keeps any interval", endpoint(0x83, 0x03, 8, 10), true, 9, 8, 1, false, false, 0},
        {"0x1400: three transactions of 0x400", join({endpoint(0x81, 0x05, 0x1400, 1), classEndpoint(0)}), true, 16,
         0x400, 3, true, false, 0},
        {"0x1C00 still three", join({endpoint(0x81, 0x05, 0x1C00, 1), classEndpoint(0)}), true, 16, 0x400, 3, true,
         false, 0},
        {"0x0800 two", join({endpoint(0x81, 0x05, 0x0800 | 100, 1), classEndpoint(0)}), true, 16, 100, 2, true, false,
         0},
        {"7 bytes without 0x25 is HID", endpoint(0x81, 0x03, 8, 10, 7), true, 7, 8, 1, false, false, 1},
        {"0x25 of 6 consumed whole", join({endpoint(0x81, 0x05, 64, 1), classEndpoint(0x80, 6)}), true, 15, 64, 1, true,
         false, 1},
        {"0x25 of 9 consumed whole", join({endpoint(0x81, 0x05, 64, 1), classEndpoint(0, 9)}), true, 18, 64, 1, true,
         false, 0},
        {"0x25 of 3 consumed whole", join({endpoint(0x81, 0x05, 64, 1), classEndpoint(0, 3)}), true, 12, 64, 1, true,
         false, 0},
        {"0x25 longer than the bytes", join({endpoint(0x81, 0x05, 64, 1), Bytes{40, 0x25, 1, 1}}), true, 13, 64, 1,
         true, false, 0},
        {"length 8 refused", Bytes{8, 5, 0x81, 5, 64, 0, 1, 0}, false, 0, 0, 0, false, false, 0},
        {"wrong type refused", Bytes{9, 6, 0x81, 5, 64, 0, 1, 0, 0}, false, 0, 0, 0, false, false, 0},
        {"cut short refused", Bytes{9, 5, 0x81, 5, 64, 0}, false, 0, 0, 0, false, false, 0},
    };
    for (const Case& c : cases) {
        VKInterfaceDescriptor owner(nullptr);
        auto* pipe = new VKPipeDescriptor(&owner);
        USBByteBuffer buffer(c.bytes.data(), static_cast<uint32_t>(c.bytes.size()));
        EXPECT_EQ(pipe->scan(buffer), c.accepted) << c.what;
        if (c.accepted || c.maxPacket != 0) {
            EXPECT_EQ(buffer.getReadPos(), c.consumed) << c.what;
            EXPECT_EQ(pipe->getMaxPacketSize(), c.maxPacket) << c.what;
            EXPECT_EQ(pipe->getTransactionsPerMicroframe(), c.transactions) << c.what;
            EXPECT_EQ(pipe->isIsocInPipe(), c.isocIn) << c.what;
            EXPECT_EQ(pipe->isIsocOutPipe(), c.isocOut) << c.what;
            EXPECT_EQ(pipe->getMaxPacketsOnly(), c.maxPacketsOnly) << c.what;
        }
        delete pipe;
    }
}

TEST(VKUSBDescriptors, RefusedPollingIntervalIsLoggedAndThePipeDropped)
{
    Capture log(Channel::kernel);
    const auto config = parse(join({configuration(2), streamingInterface(1, 0x81, 192, 2, 24, {48000})}));
    EXPECT_FALSE(log.contains("UNSUPPORTED"));
    Bytes bytes = join({configuration(2), interface(1, 0, 0, 1, 2), interface(1, 1, 1, 1, 2),
                        formatTypeI(2, 24, {48000}), endpoint(0x81, 0x05, 192, 2), classEndpoint(0)});
    const auto dropped = parse(bytes);
    EXPECT_TRUE(log.contains("USB: UNSUPPORTED POLLING INTERVAL for ISOC PIPE 2"));
    EXPECT_EQ(dropped->getInterface(1)->getAlternateSetting(1)->getCountPipes(), 0);
    EXPECT_EQ(dropped->findAudioStreamingInInterface(), nullptr);
}

// --- Duplicate alternates

TEST(VKUSBDescriptors, TheSmallerOfTwoSameFormatAlternatesIsDropped)
{
    struct Case
    {
        uint16_t first;
        uint16_t second;
        uint8_t kept; // alternate number that remains
    };
    for (const Case& c : {Case{192, 288, 2}, Case{288, 192, 1}}) {
        const Bytes bytes = join({configuration(2), interface(1, 0, 0, 1, 2), interface(1, 1, 1, 1, 2),
                                  formatTypeI(2, 24, {48000}), endpoint(0x81, 0x05, c.first, 1), classEndpoint(0),
                                  interface(1, 2, 1, 1, 2), formatTypeI(2, 24, {48000}),
                                  endpoint(0x81, 0x05, c.second, 1), classEndpoint(0)});
        const auto config = parse(bytes);
        VKInterfaceDescriptor* in = config->getInterface(1);
        ASSERT_EQ(in->getCountAlternateSettings(), 1) << c.first;
        EXPECT_EQ(in->getAlternateSettingByIndex(0)->getAlternateSettingNumber(), c.kept);
        EXPECT_EQ(in->getAlternateSettingByIndex(0)->getPipeByIndex(0)->getMaxPacketSize(), 288);
    }
    // Two rates, a different format, or the same size: both stay.
    const Bytes twoRates = join({configuration(2), interface(1, 0, 0, 1, 2), interface(1, 1, 1, 1, 2),
                                 formatTypeI(2, 24, {44100, 48000}), endpoint(0x81, 0x05, 192, 1), classEndpoint(0),
                                 interface(1, 2, 1, 1, 2), formatTypeI(2, 24, {48000}), endpoint(0x81, 0x05, 288, 1),
                                 classEndpoint(0), interface(1, 3, 1, 1, 2), formatTypeI(2, 16, {48000}),
                                 endpoint(0x81, 0x05, 100, 1), classEndpoint(0), interface(1, 4, 1, 1, 2),
                                 formatTypeI(2, 16, {48000}), endpoint(0x81, 0x05, 100, 1), classEndpoint(0)});
    EXPECT_EQ(parse(twoRates)->getInterface(1)->getCountAlternateSettings(), 4);
}

// --- Relabelling of non-compliant devices

TEST(VKUSBDescriptors, VendorInterfacesOfKnownDevicesAreRelabelled)
{
    APISpecificFeatures corlanth{};
    corlanth.mValid = 1;
    corlanth.mFlags[APISpecificFeatures::kCorlanthCompatible] = 1;
    APISpecificFeatures morvane{};
    morvane.mValid = 1;
    morvane.mFlags[APISpecificFeatures::kMorvaneCompatible] = 1;
    APISpecificFeatures plainRecord{};
    plainRecord.mValid = 1;
    APISpecificFeatures invalidFlags{}; // flags set, but no record loaded
    invalidFlags.mFlags[APISpecificFeatures::kMorvaneCompatible] = 1;

    struct Case
    {
        const char* what;
        VIDPID device;
        uint8_t number;
        uint8_t cls;
        uint8_t subclass;
    };
    const Case cases[] = {
        {"UC3 bcd 0200, no record: if 1", deviceOf(kModelKelvraUC3, 0x0200), 1, 1, 2},
        {"UC3 bcd 0200, no record: if 2", deviceOf(kModelKelvraUC3, 0x0200), 2, 1, 2},
        {"UC3 bcd 0200, no record: if 3 MIDI", deviceOf(kModelKelvraUC3, 0x0200), 3, 1, 3},
        {"UC3 bcd 0100: if 1 stays", deviceOf(kModelKelvraUC3, 0x0100), 1, 0xFF, 0},
        {"UC3 bcd 0100: if 2 any release", deviceOf(kModelKelvraUC3, 0x0100), 2, 1, 2},
        {"UC3 bcd 0200 with a record: if 1 stays", deviceOf(kModelKelvraUC3, 0x0200, &plainRecord), 1, 0xFF, 0},
        {"UC3 bcd 0200 with a record: if 3 stays", deviceOf(kModelKelvraUC3, 0x0200, &plainRecord), 3, 0xFF, 0},
        {"Pellirun if 2", deviceOf(kModelPellirun), 2, 1, 2},
        {"Fendrimo if 2", deviceOf(kModelFendrimo), 2, 1, 2},
        {"Fendrimo if 1 stays", deviceOf(kModelFendrimo), 1, 0xFF, 0},
        {"UH-7000 if 3 MIDI", deviceOf(kModelUH7000), 3, 1, 3},
        {"US-322 if 1", deviceOf(kModelUS322), 1, 1, 2},
        {"US-366 if 2", deviceOf(kModelUS366), 2, 1, 2},
        {"US-1200 if 3", deviceOf(kModelUS1200), 3, 1, 3},
        {"US-1200 if 4 stays", deviceOf(kModelUS1200), 4, 0xFF, 0},
        {"US-144 stays", deviceOf(kModelUS144), 3, 0xFF, 0},
        {"flag 0 record: if 1", VIDPID(0x1111, 0x2222, 1, &corlanth), 1, 1, 2},
        {"flag 0 record: if 3 stays", VIDPID(0x1111, 0x2222, 1, &corlanth), 3, 0xFF, 0},
        {"flag 5 record: if 3 MIDI", VIDPID(0x1111, 0x2222, 1, &morvane), 3, 1, 3},
        {"flag 5 without valid record: stays", VIDPID(0x1111, 0x2222, 1, &invalidFlags), 3, 0xFF, 0},
        {"plain device stays", kPlainDevice, 1, 0xFF, 0},
    };
    for (const Case& c : cases) {
        const auto config = parse(join({configuration(1), interface(c.number, 0, 0, 0xFF, 0)}), c.device);
        VKInterfaceDescriptor* interface = config->getInterface(c.number);
        ASSERT_NE(interface, nullptr) << c.what;
        EXPECT_EQ(interface->getInterfaceClass(), c.cls) << c.what;
        EXPECT_EQ(interface->getInterfaceSubClass(), c.subclass) << c.what;
    }
}

// --- Bounded copies and accessors

TEST(VKUSBDescriptors, AudioControlCopyIsBoundedByItsAreaAndTheBytesReceived)
{
    // 200 bytes declared and present: 128 kept, all 200 passed, the endpoint after it parsed.
    const Bytes longControl = join({configuration(1), interface(0, 0, 1, 1, 1), controlPart(200),
                                    endpoint(0x83, 0x03, 8, 10)});
    const auto config = parse(longControl);
    VKInterfaceDescriptor* control = config->getInterface(0);
    ASSERT_EQ(control->getCountAC(), 1);
    EXPECT_EQ(control->getAudioControlSpecific(0)->getLength(), 128u);
    EXPECT_EQ(control->getCountPipes(), 1);

    // 200 declared, 30 received: 30 kept, nothing read past them.
    Bytes cut = join({configuration(1), interface(0, 0, 0, 1, 1), controlPart(200)});
    cut.resize(9 + 9 + 30);
    const auto shortConfig = parse(cut);
    ASSERT_EQ(shortConfig->getInterface(0)->getCountAC(), 1);
    EXPECT_EQ(shortConfig->getInterface(0)->getAudioControlSpecific(0)->getLength(), 30u);
}

TEST(VKUSBDescriptors, FormatRatesAreReadOnlyFromTheBytesTheDescriptorHolds)
{
    // bSamFreqType claims 255 rates; the descriptor holds 2.
    Bytes lying = formatTypeI(2, 24, {44100, 48000});
    lying[7] = 255;
    VKInterfaceDescriptorSpecificAS as;
    USBByteBuffer buffer(lying.data(), static_cast<uint32_t>(lying.size()));
    ASSERT_TRUE(as.scan(buffer));
    EXPECT_EQ(as.getCountFrequencies(), 2);
    EXPECT_EQ(as.getFrequency(1), 48000u);
    EXPECT_EQ(as.getFrequency(2), 0u);
    EXPECT_EQ(as.getFrequency(254), 0u);
    EXPECT_EQ(as.getFrequency(-1), 0u);
    as.clearFrequency(200);
    as.clearFrequency(0);
    EXPECT_EQ(as.getCountFrequencies(), 1);
    EXPECT_EQ(as.getFrequency(0), 48000u);
    EXPECT_EQ(as.getFrequency(1), 0u);

    // Declared longer than received: only the received bytes count.
    Bytes cut = formatTypeI(2, 24, {44100, 48000, 96000});
    cut.resize(13); // one whole rate and part of the second
    VKInterfaceDescriptorSpecificAS partial;
    USBByteBuffer cutBuffer(cut.data(), static_cast<uint32_t>(cut.size()));
    ASSERT_TRUE(partial.scan(cutBuffer));
    EXPECT_EQ(partial.getLength(), 13u);
    EXPECT_EQ(partial.getCountFrequencies(), 1);

    // Too short to be a format descriptor, and a continuous range cut before its upper rate.
    VKInterfaceDescriptorSpecificAS tiny;
    const Bytes six = {6, 0x24, 2, 1, 2, 3};
    USBByteBuffer sixBuffer(six.data(), 6);
    ASSERT_TRUE(tiny.scan(sixBuffer));
    EXPECT_FALSE(tiny.isFormatType());
    EXPECT_EQ(tiny.getNumChannels(), 0);
    Bytes range = formatContinuous(2, 24, 8000, 96000);
    range[0] = 11;
    VKInterfaceDescriptorSpecificAS shortRange;
    USBByteBuffer rangeBuffer(range.data(), static_cast<uint32_t>(range.size()));
    ASSERT_TRUE(shortRange.scan(rangeBuffer));
    EXPECT_EQ(rangeBuffer.getReadPos(), 11u);
    EXPECT_TRUE(shortRange.isContinousFrequency());
    EXPECT_EQ(shortRange.getUpperFrequency(), 0u);
}

TEST(VKUSBDescriptors, GeneratorsBuildFormatRecordsAndStopWhenFull)
{
    struct Case
    {
        uint8_t bits;
        uint8_t subframe;
    };
    for (const Case& c : {Case{8, 1}, Case{16, 2}, Case{20, 3}, Case{24, 3}, Case{32, 4}, Case{33, 0}}) {
        VKInterfaceDescriptorSpecificAS as;
        as.genInit(6, c.bits);
        EXPECT_TRUE(as.isFormatType());
        EXPECT_EQ(as.getLength(), 8u);
        EXPECT_EQ(as.getNumChannels(), 6);
        EXPECT_EQ(as.getBitResolution(), c.bits);
        EXPECT_EQ(as.getSubframeSize(), c.subframe) << int(c.bits);
        EXPECT_EQ(as.getCountFrequencies(), 0);
    }
    VKInterfaceDescriptorSpecificAS bitmap;
    bitmap.genInit(2, 24);
    bitmap.genAddSRBitmap(0x1FF);
    const uint32_t all[] = {32000, 44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000};
    ASSERT_EQ(bitmap.getCountFrequencies(), 9);
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(bitmap.getFrequency(i), all[i]);
    }
    VKInterfaceDescriptorSpecificAS some;
    some.genInit(2, 24);
    some.genAddSRBitmap(0b1010);
    ASSERT_EQ(some.getCountFrequencies(), 2);
    EXPECT_EQ(some.getFrequency(0), 44100u);
    EXPECT_EQ(some.getFrequency(1), 88200u);

    // The length byte holds 8 + 3 x 82 = 254: the 83rd rate is refused.
    VKInterfaceDescriptorSpecificAS full;
    full.genInit(2, 24);
    int added = 0;
    while (full.genAddSR(1000 + added) && added < 1000) {
        ++added;
    }
    EXPECT_EQ(added, 82);
    EXPECT_EQ(full.getCountFrequencies(), 82);
    EXPECT_EQ(full.getFrequency(81), 1081u);
    VKInterfaceDescriptorSpecificAS blank;
    EXPECT_FALSE(blank.genAddSR(48000)); // not a format record yet

    VKInterfaceDescriptor interface(nullptr);
    EXPECT_EQ(interface.getOrCreateAS(1), nullptr);
    VKInterfaceDescriptorSpecificAS* first = interface.getOrCreateAS(0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(interface.getOrCreateAS(0), first);
    EXPECT_EQ(interface.getOrCreateAS(1), nullptr);
    VKInterfaceDescriptorSpecificAS* second = interface.createAS();
    EXPECT_EQ(interface.getOrCreateAS(1), second);
    EXPECT_EQ(interface.getCountAS(), 2);
    interface.makeAudioStreaming();
    EXPECT_EQ(interface.getInterfaceClass(), 1);
    EXPECT_EQ(interface.getInterfaceSubClass(), 2);
}

// --- Malformed input: every case ends, reads nothing outside the bytes and leaks nothing

TEST(VKUSBDescriptors, MalformedConfigurationsEndCleanly)
{
    struct Case
    {
        const char* what;
        Bytes bytes;
        bool scanned;
        int32_t interfaces;
    };
    const Case cases[] = {
        {"empty", {}, false, 0},
        {"header cut", {9, 2, 0, 0, 1}, false, 0},
        {"header too short", {8, 2, 0, 0, 1, 1, 0, 0}, false, 0},
        {"wrong type", {9, 1, 0, 0, 1, 1, 0, 0, 0}, false, 0},
        {"header only", configuration(1, 1, 4096), true, 0},
        {"zero length ends the walk", join({configuration(2), Bytes{0, 4}, interface(1, 0, 0, 1, 1)}), true, 0},
        {"zero length inside an interface",
         join({configuration(2), interface(0, 0, 0, 1, 1), Bytes{0, 0x24, 1}, interface(1, 0, 0, 1, 2)}), true, 1},
        {"zero type padding is skipped",
         join({configuration(2), interface(0, 0, 0, 1, 1), Bytes{3, 0, 7}, interface(1, 0, 0, 1, 2)}), true, 2},
        {"short interface passed by its length",
         join({configuration(2), Bytes{5, 4, 0, 0, 0}, interface(1, 0, 0, 1, 2)}), true, 1},
        {"interface cut", join({configuration(1), Bytes{9, 4, 0, 0}}), true, 0},
        {"length past the end", join({configuration(1), interface(0, 0, 0, 1, 1), Bytes{200, 0x24, 1, 2}}), true, 1},
        {"unknown type ends the interface, the walk goes on",
         join({configuration(2), interface(0, 0, 0, 1, 1), Bytes{3, 0x30, 0}, interface(1, 0, 0, 1, 2)}), true, 2},
        {"length one descriptors", join({configuration(1), interface(0, 0, 0, 1, 1), Bytes{1, 0x24, 1, 5, 1, 0x21}}),
         true, 1},
        {"odd trailing byte", join({configuration(1), interface(0, 0, 0, 1, 1), Bytes{7}}), true, 1},
    };
    for (const Case& c : cases) {
        MemoryState before{};
        memSnapshot(&before);
        {
            bool scanned = false;
            const auto config = parse(c.bytes, kPlainDevice, &scanned);
            EXPECT_EQ(scanned, c.scanned) << c.what;
            EXPECT_EQ(config->getCountInterfaces(), c.interfaces) << c.what;
        }
        MemoryState after{};
        memSnapshot(&after);
        EXPECT_EQ(after.bytesAllocated - before.bytesAllocated, after.bytesFreed - before.bytesFreed) << c.what;
    }
}

TEST(VKUSBDescriptors, ArraysRefuseThe65thElementAndTheScanGoesOn)
{
    Bytes bytes = join({configuration(1), interface(0, 0, 70, 0xFF, 0)});
    for (int i = 0; i < 70; ++i) {
        bytes = join({bytes, endpoint(static_cast<uint8_t>(0x80 | (i % 15 + 1)), 0x02, 64, 0)});
    }
    bytes = join({bytes, interface(1, 0, 0, 1, 1)});
    MemoryState before{};
    memSnapshot(&before);
    {
        const auto config = parse(bytes);
        ASSERT_EQ(config->getCountInterfaces(), 2);
        EXPECT_EQ(config->getInterface(0)->getCountPipes(), 64);
    }
    MemoryState after{};
    memSnapshot(&after);
    EXPECT_EQ(after.bytesAllocated - before.bytesAllocated, after.bytesFreed - before.bytesFreed);
}

TEST(VKUSBDescriptors, AnAlternateNeverCollectsAlternatesOfItsOwn)
{
    // Alternate 0 repeated many times: one level of alternates, never a chain.
    Bytes bytes = join({configuration(1), interface(1, 0, 0, 1, 2)});
    for (int i = 0; i < 100; ++i) {
        bytes = join({bytes, interface(1, 0, 0, 1, 2)});
    }
    const auto config = parse(bytes);
    VKInterfaceDescriptor* first = config->getInterface(1);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->getCountAlternateSettings(), 64);
    for (int i = 0; i < first->getCountAlternateSettings(); ++i) {
        EXPECT_EQ(first->getAlternateSettingByIndex(i)->getCountAlternateSettings(), 0);
    }
}

TEST(VKUSBDescriptors, HIDInterfaceKeepsItsDescriptorAndInterruptPipe)
{
    const Bytes bytes = join({configuration(1), interface(0, 0, 1, 3, 0), hid(), endpoint(0x81, 0x03, 8, 10, 7)});
    const auto config = parse(bytes);
    VKInterfaceDescriptor* interface = config->findHIDInterface();
    ASSERT_NE(interface, nullptr);
    ASSERT_EQ(interface->getCountHID(), 1);
    EXPECT_EQ(interface->getHIDDescriptor(0)->getBcdHID(), 0x0111);
    EXPECT_EQ(interface->getHIDDescriptor(0)->getDescriptorType(), 0x22);
    EXPECT_EQ(interface->getHIDDescriptor(0)->getDescriptorLength(), 0x40);
    ASSERT_NE(interface->getInterruptInPipe(), nullptr);
    EXPECT_EQ(interface->getInterruptInPipe()->getMaxPacketsOnly(), 1);
    EXPECT_TRUE(interface->getInterruptInPipe()->isInterruptPipe());
    EXPECT_EQ(interface->getInterruptOutPipe(), nullptr);
    EXPECT_EQ(interface->getBulkInPipe(), nullptr);
}
