#include "VKDeviceModelRules.h"

#include "TableKeys.h"

namespace vkdevice {
namespace {

constexpr uint16_t kAny = kAnyRelease;

// Unlisted devices: what the fixed VID:PID tests of the capability predicates say.
constexpr ModelCapabilities kCapabilities[] = {
    // The family device answers as Corlanth and Morvane only at release 2.00; release 1.00 is a
    // 192 kHz device.
    {kModelKelvraUC3, 0x0200, kCapCorlanth | kCapMorvane | kCapRequestsWhileStreaming},
    {kModelKelvraUC3, 0x0100, kCapCan192},
    {kModelTessaly, kAny, kCapTessaly},
    {kModel0A4A_A192, kAny, kCapCan192 | kCapRequestsWhileStreaming | kCapRegularMidi},
    {kModel0A4A_D064, kAny, kCapCan192},
    {kModelUS366, kAny, kCapCan192},
    {kModelUH7000, kAny, kCapCan192},
    {kModelUS322, kAny, kCapNoDigital},
    {kModel15E4_0079, kAny, kCapBulkInIsocOut | kCapNoDigital},
    // Bulk in, isochronous out at USB 2.
    {kModel0562_03EB, kAny, kCapBulkInIsocOut},
    {kModel0644_8030, kAny, kCapBulkInIsocOut},
    {kModel0644_8025, kAny, kCapBulkInIsocOut},
    {kModel0644_801E, kAny, kCapBulkInIsocOut},
    {kModel0644_8034, kAny, kCapBulkInIsocOut},
    {kModelUS600, kAny, kCapBulkInIsocOut},
    {kModel0644_8017, kAny, kCapBulkInIsocOut},
    {kModelUS144, kAny, kCapBulkInIsocOut},
    {kModelUS144MKII, kAny, kCapBulkInIsocOut},
    {kModel15E4_0070, kAny, kCapBulkInIsocOut},
    {kModel15E4_0040, kAny, kCapBulkInIsocOut},
    {kModel15E4_0075, kAny, kCapBulkInIsocOut},
    {kModel15E4_0078, kAny, kCapBulkInIsocOut},
    {kModel15E4_0074, kAny, kCapBulkInIsocOut},
    {kModel15E4_002C, kAny, kCapBulkInIsocOut},
    {kModel15E4_0071, kAny, kCapBulkInIsocOut},
    {kModel15E4_0026, kAny, kCapBulkInIsocOut},
    {kModel13B2_0030, kAny, kCapBulkInIsocOut},
    {kModel1210_0018, kAny, kCapBulkInIsocOut},
    {kModel1210_0019, kAny, kCapBulkInIsocOut},
    {kModel1210_001A, kAny, kCapBulkInIsocOut},
    {kModel0A4A_5B01, kAny, kCapBulkInIsocOut},
    {kModel0A4A_0014, kAny, kCapBulkInIsocOut},
    {kModel09E8_0010, kAny, kCapBulkInIsocOut},
    {kModelACV0, kAny, kCapBulkInIsocOut},
    {kModel0763_4002, kAny, kCapBulkInIsocOut},
};
static_assert(modelsRegistered(kCapabilities));

constexpr InputCorrection kNoCorrection{-1, -1};

constexpr ModelStartup kStartup[] = {
    {kModelKelvraUC3, kRuleScanFirmware, kNoCorrection},
    {kModel0A4A_F1A0, kRuleScanFirmware, kNoCorrection},
    // The firmware reports the channel counts with its version; some count inputs wrongly.
    {kModel13B2_0030, kRuleExtendedFirmwareData, kNoCorrection},
    {kModel15E4_0026, kRuleExtendedFirmwareData, {-1, 2}},
    {kModel15E4_002C, kRuleExtendedFirmwareData, kNoCorrection},
    {kModel15E4_0040, kRuleExtendedFirmwareData, {0, 4}},
    {kModel15E4_0070, kRuleExtendedFirmwareData, {0, 4}},
    {kModel15E4_0071, kRuleExtendedFirmwareData, {-1, 2}},
    {kModel15E4_0074, kRuleExtendedFirmwareData, {0, 4}},
    {kModel15E4_0075, kRuleExtendedFirmwareData, kNoCorrection},
    {kModel15E4_0078, kRuleExtendedFirmwareData, {0, 4}},
    {kModel15E4_0079, kRuleExtendedFirmwareData, {4, 2}},
    // TEAC models with a firmware text, a settle delay and two channels each way by default.
    {kModelUS322, kRuleFirmwareString | kRuleTwoByTwoChannels, kNoCorrection},
    {kModelUS366, kRuleFirmwareString | kRuleTwoByTwoChannels | kRuleExtraDelay100, kNoCorrection},
    {kModelUS1200, kRuleFirmwareString | kRuleTwoByTwoChannels, kNoCorrection},
    {kModelUH7000, kRuleFirmwareString | kRuleTwoByTwoChannels | kRuleExtraDelay100, kNoCorrection},
    {kModel0644_8034, kRuleExtraDelay100, kNoCorrection},
    // The ESU device's clock-source bytes.
    {kModel0A92_0111, kRuleClockFlags, kNoCorrection},
};
static_assert(modelsRegistered(kStartup));

constexpr ModelDefaultSettings kDefaults[] = {
    {kModel0A4A_D064, 96000, 44100, 16, 2, 16, 2, 24}, {kModel0A4A_DA01, 44100, 44100, 16, 2, 16, 2, 24},
    {kModel0A92_0111, 44100, 44100, 16, 0, 8, 4, 24},  {kModel03EB_4308, 96000, 96000, 8, 8, 8, 8, 24},
    {kModel0562_03EB, 44100, 44100, 4, 2, 4, 2, 24},   {kModel0A4E_4040, 44100, 44100, 2, 2, 2, 2, 16},
    {kModel0A4E_2040, 44100, 44100, 2, 2, 2, 2, 16},   {kModelMindprint, 44100, 44100, 2, 2, 2, 2, 16},
    {kModel1654_0104, 44100, 44100, 2, 2, 2, 2, 16},   {kModel1D03_005C, 44100, 44100, 2, 2, 2, 2, 24},
    {kModel200C_100A, 44100, 44100, 2, 2, 10, 2, 24},  {kModel200C_1005, 44100, 44100, 4, 2, 4, 2, 24},
    {kModel200C_1006, 44100, 44100, 6, 2, 6, 2, 24},   {kModel200C_1009, 44100, 44100, 6, 2, 4, 2, 24},
    {kModel200C_1019, 44100, 44100, 6, 2, 4, 2, 24},   {kModel200C_1037, 44100, 44100, 6, 2, 4, 2, 24},
    {kModel1ACC_0102, 44100, 44100, 4, 2, 4, 2, 24},   {kModel1ACC_0103, 44100, 44100, 6, 2, 6, 2, 24},
};
static_assert(modelsRegistered(kDefaults));

constexpr uint64_t kElektronTraits =
    kTraitElektron | kTraitSubstituteDescriptors | kTraitResetWhenUnconfigured;

constexpr ModelTraitRow kTraits[] = {
    {kModel1935_0004, kAny, kElektronTraits},
    {kModel1935_0006, kAny, kElektronTraits},
    {kModel1935_0008, kAny, kElektronTraits},
    {kModel0926_0201, kAny, kTraitSubstituteDescriptors},
    {kModelKelvraUC3, kAny,
     kTraitSubstituteDescriptors | kTraitResetWhenUnconfigured | kTraitStatusRegister |
         kTraitSetInterfaceToDevice | kTraitNoResetFromNewFirmware | kTraitBreaksOnInputErrors},
    {kModel0A4A_F1A0, kAny,
     kTraitSubstituteDescriptors | kTraitStatusRegister | kTraitSetInterfaceToDevice |
         kTraitBreaksOnInputErrors},
    {kModelMBox, kAny,
     kTraitSubstituteDescriptors | kTraitMBoxStartup | kTraitDigidesignReset | kTraitVendorClassAnySearch |
         kTraitNoRequestedReset},
    {kModelMBox2, kAny,
     kTraitMBox2Substitute | kTraitMBox2Interfaces | kTraitMBox2Startup | kTraitNoRequestedReset},
    {kModel1604_8006, kAny, kTraitSubstituteDescriptors},
    {kModelPlay1624, kAny,
     kTraitSubstituteDescriptors | kTraitOutputOnInterface1 | kTraitOutputToAlternate0AfterConfig |
         kTraitReselectOutputAtStart},
    {kModelXMOS, kAny, kTraitSubstituteDescriptors},
    {kModel0763_2003, kAny, kTraitFirstScanDefaults | kTraitUnknown24BitLayout},
    {kModel0A4E_4040, kAny, kTraitNoRatesAbove48k},
    {kModel03EB_4308, kAny, kTraitEightChannelSecondRecords | kTraitNoRateRead},
    {kModel0CCD_0014, kAny, kTraitPrefers24Bits},
    {kModelExtigy, kAny, kTraitStereoOnlyNoMidi},
    {kModelTessaly, kAny, kTraitTessalyInterfaces},
    {kModelCrimsonSPL, kAny, kTraitOutputsByRate | kTraitLockedRateOutputs},
    {kModel0A4A_D064, kAny, kTraitLockedRateChannels | kTraitVarnokBulk},
    {kModel0A4A_FFDD, kAny, kTraitRateBeforeSecondRead | kTraitClearStallAtBulkStart},
    {kModel0A4A_FF4D, kAny, kTraitPairEncoderAH},
    {kModel0A4A_FF01, kAny, kTraitPairEncoderAH},
    {kModel200C_1007, kAny, kTraitResetWhenUnconfigured},
    {kModel200C_1008, kAny, kTraitResetWhenUnconfigured},
    {kModel200C_1019, kAny, kTraitNoInputSelector},
    {kModelMindprint, kAny, kTraitMindprintRouting},
    {kModelUS600, kAny, kTraitSixInputRouting},
    {kModelUS322, kAny,
     kTraitInputRegisterSelection | kTraitFixedInputSelection | kTraitSelectionWrittenWhenChanged |
         kTraitVendorClassSearch},
    {kModelUS366, kAny,
     kTraitInputRegisterSelection | kTraitSelectionWrittenWhenChanged | kTraitUSB1ModeInStatus |
         kTraitVendorClassSearch | kTraitAkmTransmitter},
    {kModelUS1200, kAny, kTraitInputRegisterSelection | kTraitMixerModes | kTraitVendorClassSearch},
    {kModelUH7000, kAny,
     kTraitInputRegisterSelection | kTraitUSB1ModeInStatus | kTraitMixerModes | kTraitVendorClassSearch |
         kTraitAkmTransmitter},
    {kModel041E_3020, kAny, kTraitMonitorMixAfterConfig | kTraitOutputModeAtStart},
    {kModelUSBPre, kAny, kTraitPic},
    {kModel0010_1101, kAny, kTraitUnit2StartControl},
    {kModel1502_2AAE, kAny, kTraitUnit9StartControl},
    {kModel0582_000F, kAny, kTraitUnit9StartControlPair},
    {kModel1654_0104, kAny, kTraitSlowConfigure},
    {kModelACV0, 0x0300, kTraitIsocInIsocOut},
    {kModel0A92_0061, kAny, kTraitResetAtUnconfigure},
    {kModel0A92_0111, kAny, kTraitEsuCpld | kTraitFourDigitalOutSources | kTraitPairEncoderBySelector},
    {kModel1235_0002, kAny, kTraitPauseBeforeRequests},
    {kModel0499_1004, kAny, kTraitStubbornRate},
    {kModel0499_100A, kAny, kTraitStubbornRate},
    {kModel0499_100B, kAny, kTraitStubbornRate},
};
static_assert(modelsRegistered(kTraits));
static_assert(tableKeysUnique(kTraits, [](const ModelTraitRow& row) {
    return (uint64_t{row.model.key()} << 16) | row.release;
}));

constexpr VendorTraitRow kVendorTraits[] = {
    {0x0746, kTraitUnit2StartControl},
    {kModelMBox.vendor, kTraitDigidesign},
};

struct MixerModeRow
{
    DeviceModel model;
    MixerModeChannels channels;
};
constexpr MixerModeRow kMixerModeChannels[] = {
    {kModelUH7000, {4, 4}},
    {kModelUS1200, {6, 2}},
};
static_assert(modelsRegistered(kMixerModeChannels));

} // namespace

ModelProfile modelProfileOf(uint16_t vendor, uint16_t product, uint16_t release)
{
    ModelProfile profile;
    for (const ModelTraitRow& row : kTraits) {
        if (row.model.is(vendor, product) && (row.release == kAnyRelease || row.release == release)) {
            profile.traits |= row.traits;
        }
    }
    for (const VendorTraitRow& row : kVendorTraits) {
        if (row.vendor == vendor) {
            profile.traits |= row.traits;
        }
    }
    for (const MixerModeRow& row : kMixerModeChannels) {
        if (row.model.is(vendor, product)) {
            profile.mixerModeChannels = row.channels;
        }
    }
    return profile;
}

std::span<const ModelTraitRow> traitTable()
{
    return kTraits;
}

std::span<const ModelCapabilities> capabilityTable()
{
    return kCapabilities;
}
std::span<const ModelStartup> startupTable()
{
    return kStartup;
}
std::span<const ModelDefaultSettings> defaultSettingsTable()
{
    return kDefaults;
}

uint32_t capabilitiesOf(uint16_t vendor, uint16_t product, uint16_t release)
{
    for (const ModelCapabilities& row : kCapabilities) {
        if (row.model.is(vendor, product) && (row.release == kAnyRelease || row.release == release)) {
            return row.capabilities;
        }
    }
    return 0;
}

const ModelStartup* startupOf(uint16_t vendor, uint16_t product)
{
    for (const ModelStartup& row : kStartup) {
        if (row.model.is(vendor, product)) {
            return &row;
        }
    }
    return nullptr;
}

const ModelDefaultSettings* defaultSettingsOf(uint16_t vendor, uint16_t product)
{
    for (const ModelDefaultSettings& row : kDefaults) {
        if (row.model.is(vendor, product)) {
            return &row;
        }
    }
    return nullptr;
}

uint32_t firmwareVersionFrom(uint8_t b0, uint8_t b1, uint8_t b2)
{
    return (uint32_t{b1} << 24) + (uint32_t{static_cast<uint8_t>(b2 / 10)} << 16) +
           (uint32_t{static_cast<uint8_t>(b2 % 10)} << 8) + b0;
}

ExtendedChannels extendedChannelsFrom(uint8_t byte3, uint8_t byte4, const ModelStartup* row)
{
    ExtendedChannels channels{(byte4 & 0x7Fu) * 2, (byte3 & 0x7Fu) * 2};
    if (channels.outputs > 16) {
        channels.outputs = 16;
    }
    if (channels.inputs > 32) {
        channels.inputs = 32;
    }
    if (row != nullptr && row->inputs.to >= 0 &&
        (row->inputs.from < 0 || static_cast<uint32_t>(row->inputs.from) == channels.inputs)) {
        channels.inputs = static_cast<uint32_t>(row->inputs.to);
    }
    return channels;
}

} // namespace vkdevice
