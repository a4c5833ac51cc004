// The device object's per-model rules as tables: what an unlisted model is capable of, which
// start-up requests a model gets, and its per-model bytes. One row per model (and release where
// the rule depends on it); every row names a registered model. The tables are searched only at
// start and configuration, never on the real-time thread.
#pragma once

#include "DeviceIdentification.h"
#include "DeviceModels.h"

#include <cstdint>
#include <span>

namespace vkdevice {

// What an unlisted model is; bits of ModelCapabilities::capabilities.
enum Capability : uint32_t
{
    kCapCorlanth = 1u << 0,
    kCapMorvane = 1u << 1,
    kCapTessaly = 1u << 2,       // whether listed or not
    kCapBulkInIsocOut = 1u << 3, // at USB 2 only
    kCapCan192 = 1u << 4,
    kCapRequestsWhileStreaming = 1u << 5,
    kCapRegularMidi = 1u << 6,
    kCapNoDigital = 1u << 7, // also overrides a listed device's flag
};

struct ModelCapabilities
{
    DeviceModel model;
    uint16_t release; // bcdDevice, or kAnyRelease
    uint32_t capabilities;
};

// Requests and channel rules of the firmware scan and the per-model data.
enum StartupRule : uint32_t
{
    kRuleScanFirmware = 1u << 0, // firmware version read even when not Corlanth-compatible
    kRuleExtendedFirmwareData = 1u << 1,
    kRuleFirmwareString = 1u << 2,
    kRuleExtraDelay100 = 1u << 3,    // mExtraDelay 100 ms
    kRuleTwoByTwoChannels = 1u << 4, // mInputs = mOutputs = 2
    kRuleClockFlags = 1u << 5,       // mFlagA = mFlagB = 1
};

// An input count the extended firmware data gives that the model corrects: `from` (or any count
// when from is -1) becomes `to`.
struct InputCorrection
{
    int32_t from;
    int32_t to;
};

struct ModelStartup
{
    DeviceModel model;
    uint32_t rules;
    InputCorrection inputs; // {-1, -1}: none
};

// The stream configuration a model starts with, before any client asks for one; rows for the models
// whose defaults differ from 44,100 Hz with 2 x 24 bits each way. HS: high speed or above.
struct ModelDefaultSettings
{
    DeviceModel model;
    uint32_t rateHS;
    uint32_t rateFS;
    uint8_t inChannelsHS;
    uint8_t inChannelsFS;
    uint8_t outChannelsHS;
    uint8_t outChannelsFS;
    uint8_t bits; // both directions
};

std::span<const ModelCapabilities> capabilityTable();
std::span<const ModelStartup> startupTable();
std::span<const ModelDefaultSettings> defaultSettingsTable();

// Capabilities of an unlisted device with these ids (0 when no row names it).
uint32_t capabilitiesOf(uint16_t vendor, uint16_t product, uint16_t release);
// The start-up row of the model, or null.
const ModelStartup* startupOf(uint16_t vendor, uint16_t product);
// The default-settings row of the model, or null.
const ModelDefaultSettings* defaultSettingsOf(uint16_t vendor, uint16_t product);

// The firmware version word of the 8-byte reply b0..b7: b1 in the top byte, then b2 in decimal
// tens and units, then b0.
uint32_t firmwareVersionFrom(uint8_t b0, uint8_t b1, uint8_t b2);

// Channel counts of the extended firmware data (bytes 3 and 4 of the reply), capped at 16 outputs
// and 32 inputs, with the model's input correction applied.
struct ExtendedChannels
{
    uint32_t inputs;
    uint32_t outputs;
};
ExtendedChannels extendedChannelsFrom(uint8_t byte3, uint8_t byte4, const ModelStartup* row);

} // namespace vkdevice
