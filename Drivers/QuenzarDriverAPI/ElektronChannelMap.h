// The channel map of Elektron devices (vendor 0x1935): which device signal each host input channel
// carries and where each host output channel goes, and the record that carries a map together with
// its stream configuration. Both travel in device commands and the device shared block.
//
// Thread safety: plain values; callers serialise access to a shared map.
#pragma once

#include "DeviceIdentification.h"

#include <bit>
#include <cstddef>
#include <cstdint>

static_assert(std::endian::native == std::endian::little, "the shared records are little-endian");

struct QZ_Elektron_ChannelMap
{
    static constexpr unsigned kNumEntries = 8;
    static constexpr unsigned kUsageListSize = 16;
    static constexpr uint32_t kUnused = 255; // the channel carries nothing

    uint32_t mInputMap[kNumEntries];  // signal code that host input channel i carries
    uint32_t mOutputMap[kNumEntries]; // destination code of host output channel i

    // Every entry unused except host inputs 0 and 1, which carry the main pair; the same for
    // every device.
    void setDefaults(const VIDPID& device);

    // Marks, in each list, the positions of the device's full channel layout that some entry of
    // the map selects; every other position comes back cleared.
    void getUsageList(bool (&inputUsage)[kUsageListSize], bool (&outputUsage)[kUsageListSize],
                      const VIDPID& device) const;
};

// The stream configuration a map belongs to.
struct QZ_DeviceConfiguration
{
    uint32_t mSampleRate; // Hz
    uint32_t mInChannels;
    uint32_t mInResolution; // bits
    uint32_t mOutChannels;
    uint32_t mOutResolution; // bits
};

struct QZ_Elektron_ConfigAndMap
{
    QZ_DeviceConfiguration mConfiguration;
    QZ_Elektron_ChannelMap mMap;
};

static_assert(sizeof(QZ_Elektron_ChannelMap) == 64);
static_assert(offsetof(QZ_Elektron_ChannelMap, mInputMap) == 0);
static_assert(offsetof(QZ_Elektron_ChannelMap, mOutputMap) == 32);
static_assert(sizeof(QZ_DeviceConfiguration) == 20);
static_assert(offsetof(QZ_DeviceConfiguration, mSampleRate) == 0);
static_assert(offsetof(QZ_DeviceConfiguration, mInChannels) == 4);
static_assert(offsetof(QZ_DeviceConfiguration, mInResolution) == 8);
static_assert(offsetof(QZ_DeviceConfiguration, mOutChannels) == 12);
static_assert(offsetof(QZ_DeviceConfiguration, mOutResolution) == 16);
static_assert(sizeof(QZ_Elektron_ConfigAndMap) == 84);
static_assert(offsetof(QZ_Elektron_ConfigAndMap, mMap) == 20);
