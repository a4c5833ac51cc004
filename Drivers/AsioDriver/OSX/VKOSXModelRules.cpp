#include "VKOSXModelRules.h"

namespace osxdevice {
namespace {

constexpr uint16_t kAny = kAnyModelRelease;
constexpr LatencyExtras kNoExtras{};
// The TEAC models with a codec of their own: 150 frames shared between the two latencies.
constexpr LatencyExtras kTeacCodec{150, 0, 0, 0};
constexpr LatencyExtras kTeacCodecAndMillisecond{150, 1, 0, 0};
constexpr LatencyExtras kOneMillisecond{0, 1, 0, 0};
constexpr LatencyExtras kMillisecondsBySize{0, 1, 1, 0};
constexpr LatencyExtras kOneBuffer{0, 0, 0, 1};

constexpr uint32_t kElektron = kTraitOverbridge | kTraitFixedChannels;

constexpr ModelRow kRows[] = {
    // model, release, traits, reported in and out, shown in and out, latency extras
    {kModelCrimsonSPL, kAny, kTraitFourOutputsAreSix | kTraitFormatShowsFixedChannels, -1, 6, 6, 6,
     kMillisecondsBySize},
    {kModel1935_0004, kAny, kElektron | kTraitElektronUnfinished, 8, 6, 8, 6, kOneMillisecond},
    {kModel1935_0006, kAny, kElektron, 8, 6, 8, 6, kOneMillisecond},
    {kModel1935_0008, kAny, kElektron, 10, 12, 10, 12, kOneMillisecond},
    {kModel1654_0104, kAny, kTraitSameResolution | kTraitMonoAtHighRates, -1, -1, -1, -1, kNoExtras},
    {kModelMindprint, kAny, kTraitSameResolution | kTraitMonoAtHighRates, -1, -1, -1, -1, kNoExtras},
    {kModel0A92_0061, kAny, kTraitSameResolution, -1, -1, -1, -1, kNoExtras},
    {kModel0A4E_4040, kAny, kTraitMonoAtHighRates, -1, -1, -1, -1, kNoExtras},
    {kModel0A4E_2040, kAny, kTraitMonoAtHighRates, -1, -1, -1, -1, kNoExtras},
    {kModelUSBPre, kAny, kTraitKeepsSettingsOnRate, -1, -1, -1, -1, kNoExtras},
    {kModel0763_2024, kAny, kTraitKeepsSettingsOnRate, -1, -1, -1, -1, kNoExtras},
    {kModelKelvraUC3, 0x0200, kTraitMorvane, -1, -1, -1, -1, kNoExtras},
    {kModelUS322, kAny, 0, -1, -1, -1, -1, kTeacCodec},
    {kModelUS366, kAny, kTraitChannelsByMixerMode, -1, -1, -1, -1, kTeacCodec},
    {kModelUS1200, kAny, kTraitMixerStateAtConfigure, -1, -1, -1, -1, kTeacCodecAndMillisecond},
    {kModelUH7000, kAny, kTraitMixerStateAtConfigure, -1, -1, -1, -1, kTeacCodecAndMillisecond},
    {kModel15E4_0079, kAny, 0, -1, -1, -1, -1, kOneBuffer},
    {kModel22F0_0008, kAny, 0, -1, -1, -1, -1, kMillisecondsBySize},
    {kModel22F0_000F, kAny, 0, -1, -1, -1, -1, kMillisecondsBySize},
    {kModel077D_0420, kAny, kTraitProductNameShown, -1, -1, -1, -1, kNoExtras},
    {kModel077D_0223, kAny, kTraitProductNameShown, -1, -1, -1, -1, kNoExtras},
    {kModel077D_07AF, kAny, kTraitProductNameShown, -1, -1, -1, -1, kNoExtras},
};
static_assert(modelsRegistered(kRows));

} // namespace

ModelProfile modelProfileOf(uint16_t vendor, uint16_t product, uint16_t release)
{
    ModelProfile profile;
    for (const ModelRow& row : kRows) {
        if (!row.model.is(vendor, product) || (row.release != kAny && row.release != release)) {
            continue;
        }
        profile.traits |= row.traits;
        profile.reportedIn = row.reportedIn;
        profile.reportedOut = row.reportedOut;
        profile.formatIn = row.formatIn;
        profile.formatOut = row.formatOut;
        profile.latency = row.latency;
    }
    return profile;
}

} // namespace osxdevice
