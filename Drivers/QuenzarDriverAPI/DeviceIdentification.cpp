#include "DeviceIdentification.h"

#include "DeviceModels.h"
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
    DeviceModel model;
    const char* vendor;
    const char* product;
};

constexpr DisplayNameRow kDisplayNames[] = {
    {kModelUS122L, nullptr, "US-122L"},
    {kModelUS122MKII, nullptr, "US-122 MKII"},
    {kModelUS144, nullptr, "US-144"},
    {kModelUS144MKII, nullptr, "US-144 MKII"},
    {kModelMBox, nullptr, "MBox"},
    {kModelMBox2, nullptr, "MBox2"},
    {kModelMicFace, "miditech", "MicFace"},
    {kModelDigitalSoundStation, "", "Digital Sound Station"}, // no vendor name at all, not even the default
    {kModelMaya51USB, "Audiotrack", "Maya 5.1 USB"},
    {kModelAureon51, "TerraTec", "Aureon 5.1"},
    {kModelMusePocket, "Hercules", "Muse Pocket"},
    {kModelEbox44, nullptr, "Ebox-44"},
};

static_assert(tableKeysUnique(kDisplayNames, [](const DisplayNameRow& row) { return row.model.key(); }),
              "at most one display-name row may apply to a device");
static_assert(modelsRegistered(kDisplayNames));

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
        if (row.model.is(vendorID, productID)) {
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
