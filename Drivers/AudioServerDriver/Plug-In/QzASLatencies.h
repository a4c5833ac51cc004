// The latencies, safety offsets and output write-ahead (frames) that the audio server's device
// reports and its IO path keeps, from the sample rate, the device's family and model and the
// debug overrides. A pure computation: the device gathers what it knows into QzASLatencyInputs.
//
// Thread safety: pure functions; any thread.
#pragma once

#include <cstdint>

#include "DeviceModels.h"

// A debug override that is not set.
inline constexpr uint32_t kQzASNotSet = 0xFFFFFFFF;

struct QzASDebugOverrides
{
    uint32_t forceSafetyIn = kQzASNotSet;
    uint32_t forceSafetyOut = kQzASNotSet;
    uint32_t forceLatencyIn = kQzASNotSet;
    uint32_t forceLatencyOut = kQzASNotSet;
    uint32_t forceOutWriteAhead = kQzASNotSet;
};

struct QzASLatencyInputs
{
    uint32_t frequency = 0;   // the current settings' rate; 0 when none
    uint32_t extraMargin = 0; // milliseconds added to the input latency
    bool noDeviceInfo = false; // the shared block's device-information word is 0, or no block
    uint16_t vendor = 0;
    uint16_t product = 0;
    // Families (the device's predicates).
    bool corlanth = false;
    bool bulk = false;
    bool morvane = false;
    bool lowBufferFirmware = false;
    bool bulkInIsocOut = false;
    bool elektronOverbridge = false;
    bool tessaly = false;
    QzASDebugOverrides overrides;
};

struct QzASLatencies
{
    uint32_t inputLatency = 0;
    uint32_t outputLatency = 0;
    uint32_t outputWriteAhead = 0;
    uint32_t inputSafetyOffset = 0;
    uint32_t outputSafetyOffset = 0;

    bool operator==(const QzASLatencies&) const = default;
};

// Safety offsets of single models: their own input milliseconds (0: the common ones) and frames
// added to the input offset after the family rules.
struct QzASSafetyModelRow
{
    DeviceModel model;
    uint32_t inputMs;
    uint32_t inputExtraFrames;
};
inline constexpr QzASSafetyModelRow kQzASSafetyModels[] = {
    {kModelUS122MKII, 5, 0},
    {kModel0644_8030, 5, 0},
    {kModelUS1200, 5, 0},
    {kModel0A4A_FFD2, 0, 60},
};
static_assert(modelsRegistered(kQzASSafetyModels));

// Latencies and write-ahead, then safety offsets, each with its overrides applied.
QzASLatencies qzASComputeLatencies(const QzASLatencyInputs& in);
