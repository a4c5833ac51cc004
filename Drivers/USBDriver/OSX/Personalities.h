// The matching personalities of VKSonvexa.kext: one per supported device (by vendor and product,
// and by release where the driver treats revisions differently), each with the "QzSpecific"
// values the driver reads at init. The bundle's Info.plist is generated from this table
// (VKSonvexaInfoPlist), so the table is the one place to add a device.
//
// Thread safety: constants.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "APISpecificFeatures.h"
#include "DeviceIdentification.h"
#include "DeviceModels.h"

constexpr const char* kKextBundleIdentifier = "com.sonvexa.driver.VKSonvexa";
constexpr const char* kKextServiceClass = "VKKernelDevice";
// Sizes the driver expects of the "QzSpecific" data values.
constexpr uint32_t kClockSourceSettingsSize = 20;
// The bytes of it the driver reads (flags A, B and C); a shorter value is refused.
constexpr uint32_t kClockSourceSettingsUsed = 3;
constexpr uint32_t kConfigurationDataSize = sizeof(APISpecificFeatures);
static_assert(kConfigurationDataSize == 380);

// "QzSpecific" values; an absent one is left out of the dictionary.
struct QzSpecificValues
{
    int64_t msWait = -1;                 // "kMsWait": settle delay in ms
    int32_t inACR = -1;                  // "kInACR": the family input parser
    const uint8_t* clockSource = nullptr; // "kClockSourceSettings": kClockSourceSettingsSize bytes
    const char* customName = nullptr;     // "kCustomName"
};

struct KextPersonality
{
    DeviceModel model;
    uint16_t bcdDevice;                   // kAnyRelease: every release
    const APISpecificFeatures* features;  // "kConfigurationData" (the device is listed), or null
    QzSpecificValues specific;
};

std::span<const KextPersonality> kextPersonalities();
// The personality's key in IOKitPersonalities: "<name>" or "<name> (release <bcd>)".
std::string personalityName(const KextPersonality& personality);
// The whole Info.plist of the bundle, as XML property-list text.
std::string kextInfoPlist(const std::string& executable);
