// The user-side device's per-model rules as one table: channel counts a model always shows, how
// its channel settings follow a rate, and what its latencies and output write-ahead add. One row
// per model (and release where the rule depends on it); every row names a registered model.
// Resolved once per device when it is made; the IO thread reads only the resolved profile.
#pragma once

#include <cstdint>

#include "DeviceModels.h"

namespace osxdevice {

enum ModelTrait : uint32_t
{
    kTraitSameResolution = 1u << 0,     // both directions searched at one resolution
    kTraitMonoAtHighRates = 1u << 1,    // USB 1: 88.2 and 96 kHz carry one direction, mono or stereo
    kTraitKeepsSettingsOnRate = 1u << 2, // a new rate keeps the channels and resolutions it had
    kTraitFixedChannels = 1u << 3,      // every format and setting takes the row's channel counts
    kTraitFourOutputsAreSix = 1u << 4,  // a format of 4 outputs asked for sets 6
    kTraitMorvane = 1u << 5,            // Morvane-compatible where the features do not say
    kTraitElektronUnfinished = 1u << 6, // logs that its channel rules are not final
    kTraitOverbridge = 1u << 7,         // Elektron Overbridge: 48 kHz, packed channels, its own latencies
    kTraitFormatShowsFixedChannels = 1u << 8, // the current format too shows the row's counts, not only those on offer
    kTraitProductNameShown = 1u << 9,   // displayed by its product name, marked bit-accurate
    kTraitMixerStateAtConfigure = 1u << 10, // its analog-in state and monitor mix sent when configured here
    kTraitChannelsByMixerMode = 1u << 11,   // the mixer mode chooses the channels its description offers
};

// What a model adds to the latencies and the output write-ahead, in frames at rate r with buffer
// size f: `splitExtra` / 2 to each latency; `millis` times r / 1000, `millisSmallBuffer` more of
// them below 128 frames, and `buffers` times f to the output latency and the write-ahead.
struct LatencyExtras
{
    uint16_t splitExtra = 0;
    uint8_t millis = 0;
    uint8_t millisSmallBuffer = 0;
    uint8_t buffers = 0;
};

struct ModelRow
{
    DeviceModel model;
    uint16_t release; // bcdDevice, or kAnyModelRelease
    uint32_t traits;
    // Channels the device reports and the formats on offer show; -1 keeps the configured count.
    int8_t reportedIn;
    int8_t reportedOut;
    int8_t formatIn;
    int8_t formatOut;
    LatencyExtras latency;
};

inline constexpr uint16_t kAnyModelRelease = 0xFFFF;

// What the device layer asks of one model, resolved from the rows that name it.
struct ModelProfile
{
    uint32_t traits = 0;
    int8_t reportedIn = -1;
    int8_t reportedOut = -1;
    int8_t formatIn = -1;
    int8_t formatOut = -1;
    LatencyExtras latency;

    constexpr bool has(ModelTrait trait) const { return (traits & trait) != 0; }
    // The count a direction reports: the row's, or `configured`.
    int32_t reported(bool isInput, int32_t configured) const
    {
        const int8_t fixed = isInput ? reportedIn : reportedOut;
        return fixed >= 0 ? fixed : configured;
    }
    // The count the formats on offer of a direction show: the row's, or `searched`.
    int32_t shown(bool isInput, int32_t searched) const
    {
        const int8_t fixed = isInput ? formatIn : formatOut;
        return fixed >= 0 ? fixed : searched;
    }
};

ModelProfile modelProfileOf(uint16_t vendor, uint16_t product, uint16_t release);

} // namespace osxdevice
