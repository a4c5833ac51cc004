// Substitute descriptors: after a configuration is parsed, the first configuration of a device
// whose interfaces are vendor-specific, or whose format descriptors are missing or wrong, is
// rewritten so that it reads as a USB audio class device (streaming interfaces, the alternates
// that carry the streams and their formats). Interface choice then finds those alternates like
// any others.
//
// Thread safety: runs while the device starts (the service's start thread), before anything else
// reads the configurations.
#pragma once

#include <DeviceModels.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

struct VIDPID;
class VKInterfaceDescriptor;
class VKSimpleArray;
struct DeviceSpecificData;

namespace USB {

// A row of a plain list of models (so that modelsRegistered checks the list).
struct ModelRow
{
    DeviceModel model;
};

inline bool isAnyModel(std::span<const ModelRow> rows, uint16_t vendor, uint16_t product)
{
    return std::any_of(rows.begin(), rows.end(),
                       [=](const ModelRow& row) { return row.model.is(vendor, product); });
}

// Elektron devices (their model profile says so): fixed alternates at 48 kHz.
bool isElektron(uint16_t vendor, uint16_t product);

// A rate bitmap of genAddSRBitmap: bit 0 32000, bit 1 44100, bit 2 48000, bit 3 88200, bit 4 96000,
// bit 5 176400, bit 6 192000 Hz.
enum RateBit : uint16_t
{
    kRate32000 = 1u << 0,
    kRate44100 = 1u << 1,
    kRate48000 = 1u << 2,
    kRate88200 = 1u << 3,
    kRate96000 = 1u << 4,
    kRate176400 = 1u << 5,
    kRate192000 = 1u << 6,
};

// Byte patches of the raw configuration descriptor set of a few models whose firmware labels its
// interfaces or formats wrongly. A patch is applied only where its bytes were received and, when it
// was made for a field of a descriptor, where that descriptor sits; the others are left out (and
// logged). Returns how many applied.
size_t applyRawPatches(uint16_t vendor, uint16_t product, uint8_t* bytes, size_t size);

// Rewrites configuration 0 of `configurations` for the devices that need it (nothing for the
// others, and nothing where a named interface or alternate is missing). Without USB 2 it caps the
// channel counts of `specific` at 2.
void buildDummyDescriptor(const VIDPID& device, VKSimpleArray& configurations, bool isUSB2,
                          DeviceSpecificData& specific);

// Makes alternate `alternate` of `interface` an audio-streaming setting whose format record 0 is
// (channels, bits, rates of rateBitmap) and, unless one of the three second values is -1, whose
// record 1 is (channels2, bits2, rateBitmap2). False when the alternate does not exist.
bool addSingleAlternate(VKInterfaceDescriptor* interface, int alternate, int channels, int bits,
                        int rateBitmap, int channels2, int bits2, int rateBitmap2);

} // namespace USB
