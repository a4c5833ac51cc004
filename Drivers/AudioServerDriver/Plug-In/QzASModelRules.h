// What single models get of their own in the audio server's device, beside their latencies and
// safety offsets (QzASLatencies.h): one row per model, every row a registered model.
//
// Thread safety: constants and a pure lookup; any thread.
#pragma once

#include <cstdint>

#include "DeviceModels.h"

enum QzASModelTrait : uint32_t
{
    kQzASTwoClockSources = 1u << 0,      // internal and external clock offered
    kQzASNamedCoreAudio = 1u << 1,       // device name gets "_CoreAudio", as for the DJ hosts
    kQzASKeepsPhysicalFormat = 1u << 2,  // physical-format writes are taken and ignored
    kQzASFourOutputsAboveNinetySix = 1u << 3, // above 96 kHz its six outputs carry four
    kQzASElektronTwelveOutputs = 1u << 4, // the Elektron copy that packs into twelve outputs
};

struct QzASModelRow
{
    DeviceModel model;
    uint32_t traits;
    uint32_t extraMarginMs; // added to the input latency while running
};

inline constexpr QzASModelRow kQzASModels[] = {
    {kModelMBox2, kQzASTwoClockSources, 0},
    {kModel077D_0420, kQzASNamedCoreAudio, 0},
    {kModel077D_0223, kQzASNamedCoreAudio, 0},
    {kModel077D_07AF, kQzASNamedCoreAudio, 0},
    {kModelUS366, kQzASKeepsPhysicalFormat, 0},
    {kModelCrimsonSPL, kQzASFourOutputsAboveNinetySix, 0},
    {kModel1935_0008, kQzASElektronTwelveOutputs, 0},
    {kModelUS122MKII, 0, 5},
};
static_assert(modelsRegistered(kQzASModels));

// The row of a model, or an empty one.
constexpr QzASModelRow qzASModelRow(uint16_t vendor, uint16_t product)
{
    for (const QzASModelRow& row : kQzASModels) {
        if (row.model.is(vendor, product)) {
            return row;
        }
    }
    return QzASModelRow{DeviceModel{vendor, product, nullptr}, 0, 0};
}
