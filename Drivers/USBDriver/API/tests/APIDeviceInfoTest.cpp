#include "APIDeviceInfo.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <memory>
#include <vector>

namespace {

// Builds a device description the way the kernel does: in a zero-filled record, records appended
// in order and counted.
class Description
{
public:
    Description(uint16_t vendor, uint16_t product, uint16_t release, uint8_t configurations = 1)
        : m_info(std::make_unique<APIDeviceInfo>())
    {
        m_info->idVendor = vendor;
        m_info->idProduct = product;
        m_info->bcdDevice = release;
        m_info->mNumConfigurations = configurations;
    }

    APIInterfaceInfo& addInterface(uint8_t number, uint8_t config = 0)
    {
        APIConfigInfo& c = m_info->mConfigurations[config];
        APIInterfaceInfo& interface = c.mInterfaces[c.mNumInterfaces++];
        interface.bInterfaceNumber = number;
        interface.bInterfaceSubClass = 2;
        return interface;
    }

    static APIInterfaceAlternateInfo& addAlternate(APIInterfaceInfo& interface, uint8_t number,
                                                   const APIStreamingInfo& format,
                                                   std::initializer_list<APIEndpointInfo> endpoints)
    {
        APIInterfaceAlternateInfo& alternate = interface.mAlternates[interface.mNumAlternates++];
        alternate.bAlternateSetting = number;
        alternate.mStreaming = format;
        for (const APIEndpointInfo& endpoint : endpoints) {
            alternate.mEndpoints[alternate.mNumEndpoints++] = endpoint;
        }
        return alternate;
    }

    APIDeviceInfo& info() { return *m_info; }
    APISpecificFeatures& features() { return m_info->mSpecificFeatures; }

private:
    std::unique_ptr<APIDeviceInfo> m_info; // 98,964 bytes: too big for the stack of a test
};

APIStreamingInfo discrete(uint8_t bits, uint8_t channels, std::initializer_list<uint32_t> rates)
{
    APIStreamingInfo format{};
    format.bBitResolution = bits;
    format.bNrChannels = channels;
    for (uint32_t rate : rates) {
        format.mFrequencies[format.mNumFrequencies++] = rate;
    }
    return format;
}

APIStreamingInfo continuous(uint8_t bits, uint8_t channels, uint32_t lower, uint32_t upper)
{
    APIStreamingInfo format{};
    format.bBitResolution = bits;
    format.bNrChannels = channels;
    format.mContinuous = 1;
    format.mLowerFrequency = lower;
    format.mUpperFrequency = upper;
    return format;
}

APIEndpointInfo outEndpoint(uint16_t maxPacket)
{
    APIEndpointInfo endpoint{};
    endpoint.wMaxPacketSize = maxPacket;
    endpoint.bEndpointAddress = 0x01;
    return endpoint;
}

APIEndpointInfo inEndpoint(uint16_t maxPacket)
{
    APIEndpointInfo endpoint = outEndpoint(maxPacket);
    endpoint.bEndpointAddress = 0x82;
    return endpoint;
}

struct Found
{
    uint16_t interfaceIndex;
    uint16_t alternateIndex;
};
constexpr Found kNotFound{0xFFFF, 0xFFFF};

struct SearchCase
{
    const char* what;
    uint32_t config;
    uint32_t rate;
    uint8_t bits;
    uint8_t channels;
    bool discreteOnly;
    bool output;
    Found expected;
};

void expectSearch(const APIDeviceInfo& info, const SearchCase& c)
{
    SCOPED_TRACE(c.what);
    const APIDeviceInfoScanResult result =
        scanAPIDeviceInfo(info, c.config, c.rate, c.bits, c.channels, c.discreteOnly, c.output);
    EXPECT_EQ(result.mSampleRate, c.rate);
    EXPECT_EQ(result.mBitResolution, c.bits);
    EXPECT_EQ(result.mChannels, c.channels);
    const bool expectFound = c.expected.interfaceIndex != kNotFound.interfaceIndex;
    ASSERT_EQ(result.mFound, expectFound);
    if (expectFound) {
        EXPECT_EQ(result.mConfigIndex, c.config);
        EXPECT_EQ(result.mInterfaceIndex, c.expected.interfaceIndex);
        EXPECT_EQ(result.mAlternateIndex, c.expected.alternateIndex);
    }
}

// An ordinary class device: control interface 0, playback interface 1, recording interface 2.
Description ordinaryDevice()
{
    Description d(0x1234, 0x5678, 0x0100);
    d.addInterface(0).bInterfaceSubClass = 1;
    APIInterfaceInfo& out = d.addInterface(1);
    APIInterfaceAlternateInfo& listed =
        Description::addAlternate(out, 1, discrete(16, 2, {44100, 48000}), {outEndpoint(192)});
    listed.mStreaming.mFrequencies[2] = 96000; // beyond the count: not a listed rate
    Description::addAlternate(out, 2, continuous(24, 2, 8000, 48000), {outEndpoint(288)});
    Description::addAlternate(out, 3, discrete(24, 4, {96000}), {outEndpoint(3), outEndpoint(4)});
    Description::addAlternate(out, 4, discrete(32, 2, {44100}), {});
    Description::addAlternate(out, 5, discrete(20, 2, {44100}), {outEndpoint(3)});
    APIInterfaceInfo& in = d.addInterface(2);
    Description::addAlternate(in, 1, discrete(16, 2, {44100, 48000}), {inEndpoint(192)});
    Description::addAlternate(in, 2, continuous(24, 2, 8000, 48000), {inEndpoint(288)});
    Description::addAlternate(in, 4, discrete(32, 2, {44100}), {inEndpoint(200)});
    return d;
}

TEST(ScanAPIDeviceInfo, OrdinaryDeviceByFormatRateAndEndpointDirection)
{
    Description d = ordinaryDevice();
    const SearchCase cases[] = {
        {"listed rate, playback", 0, 44100, 16, 2, true, true, {1, 0}},
        {"listed rate, recording", 0, 48000, 16, 2, true, false, {2, 0}},
        {"listed rate under either flag", 0, 48000, 16, 2, false, true, {1, 0}},
        {"rate stored beyond the count", 0, 96000, 16, 2, false, true, kNotFound},
        {"range lower bound", 0, 8000, 24, 2, false, true, {1, 1}},
        {"range upper bound", 0, 48000, 24, 2, false, true, {1, 1}},
        {"above the range", 0, 48001, 24, 2, false, true, kNotFound},
        {"below the range", 0, 7999, 24, 2, false, false, kNotFound},
        {"range excluded by discrete-only", 0, 48000, 24, 2, true, true, kNotFound},
        {"range, recording", 0, 32000, 24, 2, false, false, {2, 1}},
        {"second endpoint is big enough", 0, 96000, 24, 4, true, true, {1, 2}},
        {"OUT endpoints never record", 0, 96000, 24, 4, true, false, kNotFound},
        {"no endpoints never match", 0, 44100, 32, 2, true, true, kNotFound},
        {"IN endpoint records", 0, 44100, 32, 2, true, false, {2, 2}},
        {"packet size 3 carries no stream", 0, 44100, 20, 2, true, true, kNotFound},
        {"channel count must be exact", 0, 44100, 16, 1, false, true, kNotFound},
        {"resolution must be exact", 0, 44100, 24, 2, true, true, kNotFound},
        {"configuration past the count", 1, 44100, 16, 2, true, true, kNotFound},
        {"configuration far past the count", 0xFFFFFFFF, 44100, 16, 2, true, true, kNotFound},
    };
    for (const SearchCase& c : cases) {
        expectSearch(d.info(), c);
    }
}

TEST(ScanAPIDeviceInfo, ValidFeatureRecordNamesTheSettings)
{
    Description d = ordinaryDevice();
    APISpecificFeatures& features = d.features();
    features.mOutInterface = 1;
    features.mOutAlternate = 2;
    features.mInInterface = 2;
    features.mInAlternate = 1;

    // Not loaded yet: the bytes are there but count for nothing.
    expectSearch(d.info(), {"record not valid", 0, 44100, 16, 2, true, true, {1, 0}});

    features.mValid = 1;
    const SearchCase cases[] = {
        {"a fitting setting the record does not name", 0, 44100, 16, 2, true, true, kNotFound},
        {"the named playback setting", 0, 48000, 24, 2, false, true, {1, 1}},
        {"the named recording setting", 0, 44100, 16, 2, true, false, {2, 0}},
        {"format still has to fit", 0, 96000, 24, 2, false, true, kNotFound},
    };
    for (const SearchCase& c : cases) {
        expectSearch(d.info(), c);
    }

    // The record overrides the endpoints' direction and size, but not their absence.
    features.mOutInterface = 2;
    features.mOutAlternate = 1;
    expectSearch(d.info(), {"named setting with only an IN endpoint", 0, 44100, 16, 2, true, true, {2, 0}});
    features.mOutInterface = 1;
    features.mOutAlternate = 4;
    expectSearch(d.info(), {"named setting without endpoints", 0, 44100, 32, 2, true, true, kNotFound});
}

// Playback at interface 1 alternate 2 and recording at interface 2 alternate 2, with endpoints
// that would point elsewhere under the ordinary rule.
Description fixedSlotLayout(uint16_t vendor, uint16_t product, uint16_t release)
{
    Description d(vendor, product, release);
    const APIStreamingInfo format = discrete(24, 2, {44100, 48000});
    for (uint8_t number : {1, 2}) {
        APIInterfaceInfo& interface = d.addInterface(number);
        Description::addAlternate(interface, 1, format, {inEndpoint(288), outEndpoint(288)});
        Description::addAlternate(interface, 2, format, {outEndpoint(0)});
    }
    return d;
}

TEST(ScanAPIDeviceInfo, FixedSlotDevicesIgnoreTheirEndpoints)
{
    struct Device
    {
        uint16_t vendor;
        uint16_t product;
        uint16_t release;
        bool fixed;
    };
    const Device devices[] = {
        {0x0A4A, 0x2416, 0x0100, true},  {0x0A4A, 0x1016, 0x0321, true}, {0x0A4A, 0x6A02, 0x0200, true},
        {0x0A4A, 0x6A02, 0x0100, false}, {0x0644, 0x8041, 0x0001, true}, {0x0644, 0x8040, 0x0001, true},
        {0x0644, 0x8046, 0x0001, true},  {0x0644, 0x8048, 0x0001, true}, {0x0644, 0x8042, 0x0001, false},
        {0x0A4B, 0x2416, 0x0100, false},
    };
    for (const Device& device : devices) {
        SCOPED_TRACE(testing::Message()
                     << std::hex << device.vendor << ":" << device.product << " release " << device.release);
        Description d = fixedSlotLayout(device.vendor, device.product, device.release);
        // Fixed slots: playback at interface 1 alternate 2, recording at interface 2 alternate 2.
        // Ordinary: the first alternate of the first interface has endpoints of both directions.
        const Found playback = device.fixed ? Found{0, 1} : Found{0, 0};
        const Found recording = device.fixed ? Found{1, 1} : Found{0, 0};
        expectSearch(d.info(), {"playback", 0, 48000, 24, 2, true, true, playback});
        expectSearch(d.info(), {"recording", 0, 48000, 24, 2, true, false, recording});
    }

    // A valid feature record comes first, even on a fixed-slot device.
    Description d = fixedSlotLayout(0x0A4A, 0x2416, 0x0100);
    d.features().mValid = 1;
    d.features().mOutInterface = 2;
    d.features().mOutAlternate = 1;
    expectSearch(d.info(), {"record over fixed slots", 0, 48000, 24, 2, true, true, {1, 0}});
}

TEST(ScanAPIDeviceInfo, FirstMatchInRecordOrderWithRecordPositions)
{
    Description d(0x1234, 0x5678, 0x0100, 2);
    const APIStreamingInfo format = discrete(16, 2, {48000});
    // Interface records out of interface-number order, in the second configuration.
    APIInterfaceInfo& five = d.addInterface(5, 1);
    Description::addAlternate(five, 3, discrete(16, 2, {44100}), {outEndpoint(192)});
    Description::addAlternate(five, 1, format, {outEndpoint(192)});
    APIInterfaceInfo& three = d.addInterface(3, 1);
    Description::addAlternate(three, 1, format, {outEndpoint(192)});

    expectSearch(d.info(), {"first of two matches", 1, 48000, 16, 2, true, true, {0, 1}});
    expectSearch(d.info(), {"the other configuration is empty", 0, 48000, 16, 2, true, true, kNotFound});
}

TEST(ScanAPIDeviceInfo, ReadsTheRecordAsBytesAtTheirOffsets)
{
    // A description assembled byte by byte, as user space receives it in pages.
    std::vector<uint8_t> bytes(sizeof(APIDeviceInfo), 0);
    const auto put16 = [&](size_t at, uint16_t v) {
        bytes[at] = uint8_t(v);
        bytes[at + 1] = uint8_t(v >> 8);
    };
    const auto put32 = [&](size_t at, uint32_t v) {
        put16(at, uint16_t(v));
        put16(at + 2, uint16_t(v >> 16));
    };
    put16(0, 0x0A4A);
    put16(2, 0x6A02);
    put16(4, 0x0100); // not the fixed-slot release
    bytes[6] = 2;
    const size_t config1 = 8 + 24644;
    bytes[config1 + 2] = 2; // two interface records
    const size_t interface1 = config1 + 4 + 1540;
    bytes[interface1 + 0] = 7; // bInterfaceNumber
    bytes[interface1 + 2] = 2; // two alternate records
    const size_t alternate1 = interface1 + 4 + 96;
    bytes[alternate1 + 0] = 9;  // bAlternateSetting
    bytes[alternate1 + 2] = 1;  // one endpoint
    bytes[alternate1 + 4] = 24; // bits
    bytes[alternate1 + 5] = 6;  // channels
    bytes[alternate1 + 7] = 2;  // two rates
    put32(alternate1 + 16, 176400);
    put32(alternate1 + 20, 0x00017700); // 96000
    put16(alternate1 + 80, 0x0120);     // wMaxPacketSize 288
    bytes[alternate1 + 82] = 0x83;      // IN

    auto record = std::make_unique<APIDeviceInfo>();
    APIDeviceInfo& info = *record;
    std::memcpy(&info, bytes.data(), bytes.size());
    expectSearch(info, {"recording in configuration 1", 1, 96000, 24, 6, true, false, {1, 1}});
    expectSearch(info, {"no playback", 1, 96000, 24, 6, true, true, kNotFound});

    // The same feature record bytes turn the search over to the record's interface numbers.
    bytes[98584 + 304] = 7;
    bytes[98584 + 305] = 8;
    bytes[98584 + 375] = 1;
    std::memcpy(&info, bytes.data(), bytes.size());
    expectSearch(info, {"record names another alternate", 1, 96000, 24, 6, true, false, kNotFound});
    bytes[98584 + 305] = 9;
    std::memcpy(&info, bytes.data(), bytes.size());
    expectSearch(info, {"record names this alternate", 1, 96000, 24, 6, true, false, {1, 1}});
}

TEST(ScanAPIDeviceInfo, CountsBeyondTheArraysAreCut)
{
    // Every count at its maximum byte value: the search stays inside the record (the sanitizer
    // build checks that) and still finds what the arrays hold.
    Description d(0x1234, 0x5678, 0x0100);
    APIDeviceInfo& info = d.info();
    info.mNumConfigurations = 255;
    for (APIConfigInfo& config : info.mConfigurations) {
        config.mNumInterfaces = 255;
        for (APIInterfaceInfo& interface : config.mInterfaces) {
            interface.mNumAlternates = 255;
            for (APIInterfaceAlternateInfo& alternate : interface.mAlternates) {
                alternate.mNumEndpoints = 255;
                alternate.mStreaming.bBitResolution = 16;
                alternate.mStreaming.bNrChannels = 2;
                alternate.mStreaming.mNumFrequencies = 255;
            }
        }
    }
    APIInterfaceAlternateInfo& last = info.mConfigurations[3].mInterfaces[15].mAlternates[15];
    last.mStreaming.mFrequencies[15] = 48000;
    last.mEndpoints[3] = outEndpoint(192);

    expectSearch(info, {"last slot of everything", 3, 48000, 16, 2, true, true, {15, 15}});
    expectSearch(info, {"nothing matches", 3, 44100, 16, 2, true, true, kNotFound});
    expectSearch(info, {"configuration 4 does not exist", 4, 48000, 16, 2, true, true, kNotFound});
}

TEST(UsbCalculateBandwidth, SumsFoundFormatsTruncatedEach)
{
    const auto format = [](bool found, uint32_t rate, uint8_t bits, uint8_t channels) {
        APIDeviceInfoScanResult result{};
        result.mFound = found;
        result.mSampleRate = rate;
        result.mBitResolution = bits;
        result.mChannels = channels;
        return result;
    };
    struct Case
    {
        APIDeviceInfoScanResult input;
        APIDeviceInfoScanResult output;
        uint32_t bytesPerMillisecond;
    };
    const Case cases[] = {
        {format(true, 44100, 16, 2), format(false, 192000, 32, 32), 176},
        {format(true, 48000, 24, 2), format(true, 48000, 24, 2), 576},
        {format(true, 999, 16, 1), format(true, 999, 16, 1), 2},         // 1.998 + 1.998
        {format(true, 48000, 18, 2), format(true, 192000, 32, 8), 6144}, // 18 bits take no bytes
        {format(false, 48000, 24, 2), format(false, 48000, 24, 2), 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(usbCalculateBandwidth(c.input, c.output), c.bytesPerMillisecond);
    }
}

} // namespace
