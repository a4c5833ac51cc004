#include "DeviceIdentification.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct IsDeviceCase
{
    uint16_t storedRelease;
    uint16_t askedVendor;
    uint16_t askedProduct;
    uint16_t askedRelease;
    bool matches;
};

// Stored device 0x0A4A:0x6A02 with the release of each row.
const IsDeviceCase kIsDeviceCases[] = {
    {0x0200, 0x0A4A, 0x6A02, kAnyRelease, true}, // wildcard: any release
    {0x0100, 0x0A4A, 0x6A02, kAnyRelease, true},
    {0x0200, 0x0A4A, 0x6A02, 0x0200, true}, // exact release
    {0x0200, 0x0A4A, 0x6A02, 0x0100, false},
    {0x0200, 0x0A4A, 0x6A03, kAnyRelease, false},     // other product
    {0x0200, 0x0A4B, 0x6A02, 0x0200, false},          // other vendor
    {kAnyRelease, 0x0A4A, 0x6A02, kAnyRelease, true}, // a stored 0xFFFF is no wildcard itself
    {kAnyRelease, 0x0A4A, 0x6A02, 0x0200, false},
};

TEST(VIDPID, IsDeviceMatchesExactReleaseOrWildcard)
{
    for (const IsDeviceCase& c : kIsDeviceCases) {
        SCOPED_TRACE(testing::Message() << "stored release " << c.storedRelease << " asked " << c.askedVendor
                                        << ":" << c.askedProduct << " release " << c.askedRelease);
        const VIDPID device(0x0A4A, 0x6A02, c.storedRelease, nullptr);
        EXPECT_EQ(device.isDevice(c.askedVendor, c.askedProduct, c.askedRelease), c.matches);

        QZ_DeviceDescriptor descriptor{};
        descriptor.idVendor = 0x0A4A;
        descriptor.idProduct = 0x6A02;
        descriptor.bcdDevice = c.storedRelease;
        EXPECT_EQ(descriptor.isDevice(c.askedVendor, c.askedProduct, c.askedRelease), c.matches);
    }
}

TEST(VIDPID, BulkDeviceNeedsLoadedRecordWithBulkFlag)
{
    struct Case
    {
        uint8_t valid;
        uint8_t bulk;
        bool answer;
        bool expected;
    };
    const Case cases[] = {
        {1, 1, true, true},  {1, 1, false, false}, {0, 1, true, false},
        {1, 0, true, false}, {7, 9, true, true}, // any non-zero byte is set
    };
    for (const Case& c : cases) {
        APISpecificFeatures features{};
        features.mValid = c.valid;
        features.mFlags[APISpecificFeatures::kBulkDevice] = c.bulk;
        const VIDPID device(0x0A4A, 0x2416, 0x0100, &features);
        EXPECT_EQ(device.isQuenzarBulkDevice(c.answer), c.expected)
            << "valid " << int(c.valid) << " bulk " << int(c.bulk) << " answer " << c.answer;
    }
    EXPECT_FALSE(VIDPID(0x0A4A, 0x2416, 0x0100, nullptr).isQuenzarBulkDevice(true));
}

TEST(QZ_DeviceDescriptor, HoldsTheBusBytesAndClearsToZero)
{
    // An 18-byte device descriptor as the device sends it, minus bLength and bDescriptorType.
    const uint8_t wire[16] = {0x00, 0x02, 0xEF, 0x02, 0x01, 0x40, 0x4A, 0x0A,
                              0x02, 0x6A, 0x00, 0x02, 0x01, 0x02, 0x03, 0x01};
    QZ_DeviceDescriptor descriptor;
    std::memcpy(&descriptor, wire, sizeof(wire));
    EXPECT_EQ(descriptor.bcdUSB, 0x0200);
    EXPECT_EQ(descriptor.bMaxPacketSize0, 0x40);
    EXPECT_TRUE(descriptor.isDevice(0x0A4A, 0x6A02, 0x0200));
    EXPECT_EQ(descriptor.bNumConfigurations, 1);

    descriptor.clear();
    const uint8_t zero[16] = {};
    EXPECT_EQ(std::memcmp(&descriptor, zero, sizeof(zero)), 0);
    EXPECT_TRUE(descriptor.isDevice(0, 0, 0));
    EXPECT_TRUE(descriptor.isDevice(0, 0, kAnyRelease));
}

TEST(BytesFromBits, KnownResolutionsOnly)
{
    const struct
    {
        int32_t bits;
        int32_t bytes;
    } cases[] = {{16, 2}, {20, 3}, {24, 3}, {32, 4},  {8, 0},
                 {0, 0},  {18, 0}, {64, 0}, {-16, 0}, {256 + 16, 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(getBytesFromBits(c.bits), c.bytes) << c.bits;
        EXPECT_EQ(VKAudio__bytesFromBits(c.bits), c.bytes) << c.bits;
    }
}

struct NameCase
{
    const char* reportedVendor;
    const char* reportedProduct;
    uint16_t vendorID;
    uint16_t productID;
    const char* vendor;
    const char* product;
};

const NameCase kNameCases[] = {
    {"", "", 0x1234, 0x5678, "Unknown vendor", "USB Device"},
    {"Acme", "Box", 0x1234, 0x5678, "Acme", "Box"}, // unlisted: left as reported
    {"", "", 0x0644, 0x800E, "Unknown vendor", "US-122L"},
    {"TEAC", "weird", 0x0644, 0x8020, "TEAC", "US-144 MKII"},
    {"", "", 0x0C45, 0x17EF, "", "Digital Sound Station"}, // vendor emptied after the default
    {"Some Maker", "x", 0x0C45, 0x17EF, "", "Digital Sound Station"},
    {"a", "b", 0x0CCD, 0x0028, "TerraTec", "Aureon 5.1"},
    {"a", "b", 0x1290, 0x2100, "miditech", "MicFace"},
    {"a", "b", 0x200C, 0x1018, "a", "Ebox-44"},
    {"a", "b", 0x0644, 0x800D, "a", "b"}, // neighbour of a listed product
};

TEST(DisplayNames, DefaultsThenPerModelNames)
{
    for (const NameCase& c : kNameCases) {
        char vendor[kDeviceNameSize] = {};
        char product[kDeviceNameSize] = {};
        std::strcpy(vendor, c.reportedVendor);
        std::strcpy(product, c.reportedProduct);
        driverOverwriteProductVendorStrings(vendor, product, c.vendorID, c.productID);
        EXPECT_STREQ(vendor, c.vendor) << std::hex << c.vendorID << ":" << c.productID;
        EXPECT_STREQ(product, c.product) << std::hex << c.vendorID << ":" << c.productID;
    }
}

TEST(DisplayNames, UnterminatedFieldsStayInsideTheirBuffers)
{
    // A device that fills the whole field leaves no terminator; the names are cut, never overrun.
    char vendor[kDeviceNameSize];
    char product[kDeviceNameSize];
    std::memset(vendor, 'v', sizeof(vendor));
    std::memset(product, 'p', sizeof(product));
    driverOverwriteProductVendorStrings(vendor, product, 0x1234, 0x5678);
    EXPECT_EQ(std::string(vendor), std::string(kDeviceNameSize - 1, 'v'));
    EXPECT_EQ(std::string(product), std::string(kDeviceNameSize - 1, 'p'));
}

} // namespace
