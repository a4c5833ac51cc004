// The device object's per-model rules as tables: what an unlisted model is capable of, which
// start-up requests a model gets, its per-model bytes, and the traits that answer every other
// question the driver asks of a model (its model profile). One row per model (and release where
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

// One question the driver asks of a model, answered by the rows that name the model; bits of
// ModelProfile::traits. The device resolves its profile once, when its descriptor is scanned.
enum ModelTrait : uint64_t
{
    // Descriptor scan
    kTraitElektron = 1ull << 0,              // fixed alternates at 48 kHz, identity, channel maps
    kTraitSubstituteDescriptors = 1ull << 1, // its first configuration rewritten after each scan
    kTraitMBox2Substitute = 1ull << 2,       // rewritten again, 32 kHz given up
    kTraitFirstScanDefaults = 1ull << 3,     // 2 x 2 channels at 16 bits the first time it is scanned
    kTraitNoRatesAbove48k = 1ull << 4,       // 88.2 and 96 kHz given up
    kTraitEightChannelSecondRecords = 1ull << 5,
    kTraitPrefers24Bits = 1ull << 6,    // 16-bit alternates given up where 24 bits exist
    kTraitStereoOnlyNoMidi = 1ull << 7, // multichannel records and its MIDI interface given up

    // Interface choice
    kTraitTessalyInterfaces = 1ull << 8, // in 2, out 1, no control interface
    kTraitMBox2Interfaces = 1ull << 9,   // out 2, in 4 or 5 by the input selector, control 1
    kTraitOutputOnInterface1 = 1ull << 10,
    kTraitOutputsByRate = 1ull << 11, // 6 outputs below 176.4 kHz, 4 from there

    // Configuration completion and change
    kTraitResetWhenUnconfigured = 1ull << 12,
    kTraitMindprintRouting = 1ull << 13,
    kTraitSixInputRouting = 1ull << 14, // the six-input post-processor by the routing settings
    kTraitMonitorMixAfterConfig = 1ull << 15,
    kTraitOutputToAlternate0AfterConfig = 1ull << 16,
    kTraitNoInputSelector = 1ull << 17, // the status register is not asked
    kTraitStatusRegister = 1ull << 18,  // asked for the status register though not of the family
    kTraitUSB1ModeInStatus = 1ull << 19,
    kTraitInputRegisterSelection = 1ull << 20,
    kTraitFixedInputSelection = 1ull << 21, // the selection is always 0x12
    kTraitSelectionWrittenWhenChanged = 1ull << 22,
    kTraitRateBeforeSecondRead = 1ull << 23,
    kTraitLockedRateOutputs = 1ull << 24,  // a locked rate sets 6 or 4 outputs
    kTraitLockedRateChannels = 1ull << 25, // a locked rate sets 32, 16 or 8 channels each way

    // Start of streaming
    kTraitMBoxStartup = 1ull << 26,
    kTraitMBox2Startup = 1ull << 27,
    kTraitPic = 1ull << 28, // the rate is the PIC's, by its commands
    kTraitUnit2StartControl = 1ull << 29,
    kTraitUnit9StartControl = 1ull << 30,
    kTraitUnit9StartControlPair = 1ull << 31,
    kTraitReselectOutputAtStart = 1ull << 32,
    kTraitOutputModeAtStart = 1ull << 33,

    // The kernel service
    kTraitMixerModes = 1ull << 34,           // mixer modes 1 and 2 read mixerModeChannels
    kTraitSetInterfaceToDevice = 1ull << 35, // SET_INTERFACE addressed to the device at configuration
    kTraitSlowConfigure = 1ull << 36,        // pauses between its configuration steps, never reset
    kTraitIsocInIsocOut = 1ull << 37,        // neither bulk input nor feedback
    kTraitNoResetFromNewFirmware = 1ull << 38,
    kTraitResetAtUnconfigure = 1ull << 39,   // reset whenever it is unconfigured
    kTraitDigidesign = 1ull << 40,           // reset at unconfigure only when asked
    kTraitDigidesignReset = 1ull << 41,      // always reset at unconfigure
    kTraitVendorClassSearch = 1ull << 42,    // its interfaces found as class 0xFF by their subclass
    kTraitVendorClassAnySearch = 1ull << 43, // its interfaces found as class 0xFF subclass 0
    kTraitPauseBeforeRequests = 1ull << 44,  // 2 ms before every control request
    kTraitStubbornRate = 1ull << 45,         // the rate request repeated up to 200 more times
    kTraitNoRateRead = 1ull << 46,
    kTraitNoRequestedReset = 1ull << 47,    // a reset asked for at unconfigure is not made
    kTraitEsuCpld = 1ull << 48,             // the ESU CPLD byte
    kTraitBreaksOnInputErrors = 1ull << 49, // input transfer errors break the stream as the family's do
    kTraitUnknown24BitLayout = 1ull << 50,  // 24-bit alternates given up: no converter knows their layout
    // Digital output and codec registers
    kTraitAkmTransmitter = 1ull << 51,    // an AKM digital transmitter programmed for the digital-out mode
    kTraitFourDigitalOutSources = 1ull << 52, // digital-out selector 0 to 3, taken by the bulk output encoder
    // Bulk streaming.
    kTraitVarnokBulk = 1ull << 53,          // Varnok converters, frames per packet by rate, wide input select
    kTraitClearStallAtBulkStart = 1ull << 54, // both bulk pipes' stalls cleared before the first transfers
    kTraitPairEncoderBySelector = 1ull << 55, // 8 channels: the digital-out selector picks the pair encoder
    kTraitPairEncoderAH = 1ull << 56,       // 10 channels: the pair fed from host channels 8 and 9
};

struct ModelTraitRow
{
    DeviceModel model;
    uint16_t release; // bcdDevice, or kAnyRelease
    uint64_t traits;
};

// Traits of every product of a vendor.
struct VendorTraitRow
{
    uint16_t vendor;
    uint64_t traits;
};

// The channels mixer modes 1 and 2 read on the models with mixer modes.
struct MixerModeChannels
{
    int in;
    int out;
};

// What the driver asks of one model, resolved once from the rows that name it.
struct ModelProfile
{
    uint64_t traits = 0;
    MixerModeChannels mixerModeChannels{0, 0};

    constexpr bool has(ModelTrait trait) const { return (traits & trait) != 0; }
};

ModelProfile modelProfileOf(uint16_t vendor, uint16_t product, uint16_t release);
std::span<const ModelTraitRow> traitTable();

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
