#include "DeviceIdentification.h"

#include "TableKeys.h"

#include <algorithm>
#include <cstring>

namespace {

bool matchesDevice(uint16_t vendor, uint16_t product, uint16_t release, uint16_t wantVendor,
                   uint16_t wantProduct, uint16_t wantRelease)
{
    if (vendor != wantVendor || product != wantProduct) {
        return false;
    }
    return wantRelease == kAnyRelease || release == wantRelease;
}

// Models whose reported names are wrong, empty or unhelpful. A null name leaves that string as the
// device reported it; rows are keyed on vendor and product alone.
struct DisplayNameRow
{
    uint16_t vendorID;
    uint16_t productID;
    const char* vendor;
    const char* product;
};

constexpr DisplayNameRow kDisplayNames[] = {
    {0x0644, 0x800E, nullptr, "US-122L"},
    {0x0644, 0x8021, nullptr, "US-122 MKII"},
    {0x0644, 0x800F, nullptr, "US-144"},
    {0x0644, 0x8020, nullptr, "US-144 MKII"},
    {0x0DBA, 0x1000, nullptr, "MBox"},
    {0x0DBA, 0x3000, nullptr, "MBox2"},
    {0x1290, 0x2100, "miditech", "MicFace"},
    {0x0C45, 0x17EF, "", "Digital Sound Station"}, // no vendor name at all, not even the default
    {0x0C45, 0x17FD, "Audiotrack", "Maya 5.1 USB"},
    {0x0CCD, 0x0028, "TerraTec", "Aureon 5.1"},
    {0x06F8, 0xC000, "Hercules", "Muse Pocket"},
    {0x200C, 0x1018, nullptr, "Ebox-44"},
};

static_assert(tableKeysUnique(kDisplayNames,
                              [](const DisplayNameRow& row) {
                                  return (uint32_t{row.vendorID} << 16) | row.productID;
                              }),
              "at most one display-name row may apply to a device");

void copyName(char* field, const char* name)
{
    const size_t length = std::min(std::strlen(name), kDeviceNameSize - 1);
    std::memcpy(field, name, length);
    field[length] = '\0';
}

} // namespace

bool VIDPID::isDevice(uint16_t vendor, uint16_t product, uint16_t release) const
{
    return matchesDevice(mVendor, mProduct, mRelease, vendor, product, release);
}

bool VIDPID::isQuenzarBulkDevice(bool answer) const
{
    if (mFeatures == nullptr || !mFeatures->isValid() ||
        !mFeatures->hasFlag(APISpecificFeatures::kBulkDevice)) {
        return false;
    }
    return answer;
}

bool QZ_DeviceDescriptor::isDevice(uint16_t vendor, uint16_t product, uint16_t release) const
{
    return matchesDevice(idVendor, idProduct, bcdDevice, vendor, product, release);
}

void QZ_DeviceDescriptor::clear()
{
    *this = QZ_DeviceDescriptor{};
}

int32_t getBytesFromBits(int32_t bits)
{
    switch (bits) {
    case 16:
        return 2;
    case 20:
    case 24:
        return 3;
    case 32:
        return 4;
    default:
        return 0;
    }
}

uint8_t VKAudio__bytesFromBits(int32_t bits)
{
    return static_cast<uint8_t>(getBytesFromBits(bits));
}

void driverOverwriteProductVendorStrings(char* vendor, char* product, uint16_t vendorID, uint16_t productID)
{
    // The fields hold what the device sent; a name that fills the whole field loses its last byte
    // rather than letting the reads below run past it.
    vendor[kDeviceNameSize - 1] = '\0';
    product[kDeviceNameSize - 1] = '\0';

    if (vendor[0] == '\0') {
        copyName(vendor, "Unknown vendor");
    }
    if (product[0] == '\0') {
        copyName(product, "USB Device");
    }
    for (const DisplayNameRow& row : kDisplayNames) {
        if (row.vendorID == vendorID && row.productID == productID) {
            if (row.vendor != nullptr) {
                copyName(vendor, row.vendor);
            }
            if (row.product != nullptr) {
                copyName(product, row.product);
            }
            return;
        }
    }
}
