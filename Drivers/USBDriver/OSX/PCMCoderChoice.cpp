#include "PCMCoderChoice.h"
#include "PCMCoderShuffles.h"

#include "DeviceModels.h"

#include <cstddef>

namespace {

constexpr uint32_t kAnyChannels = 0;

bool isModel(const DeviceModel& model, const PCMDeviceFacts& d)
{
    return model.is(d.vendorId, d.productId);
}

template <class Coder> struct CoderRow
{
    uint32_t resolution;
    DeviceModel model;
    uint32_t channels; // kAnyChannels or the one count the row is for
    Coder coder;
    bool matches(const PCMDeviceFacts& d, uint32_t bits, uint32_t count) const
    {
        return bits == resolution && isModel(model, d) && (channels == kAnyChannels || channels == count);
    }
};

// Models whose layout or channel order differs from the plain little-endian one; the first
// matching row wins. The Mindprint swaps the channels of a stereo pair and 0A4E:4040 the pairs of
// its four inputs; these two and 0A4E:2040 carry mono in the Access layout. The 24-bit layout of
// 0763:2003 is not known.
constexpr CoderRow<PCMDecoder> kModelDecoders[] = {
    {16, kModelMindprint, 2, pcmFrom16LSBChannelSwap},
    {16, kModel0A4E_4040, 4, pcmFrom16LSBChannelSwapMI_4},
    {24, kModel0A4E_4040, 4, pcmFrom24LSBChannelSwapMI_4},
    {24, kModel0A4E_4040, 1, pcmFrom24Access},
    {24, kModel0A4E_2040, 1, pcmFrom24Access},
    {24, kModelMindprint, 1, pcmFrom24Access},
    {24, kModelMindprint, 2, pcmFrom24LSBChannelSwap},
    {24, kModel0763_2003, kAnyChannels, pcmFrom24TUSBMSB},
    {24, kModelMBox, kAnyChannels, pcmFrom24TUSB2ch},
    {24, kModelMBox2, kAnyChannels, pcmFrom24TUSB2ch},
};

constexpr CoderRow<PCMEncoder> kModelEncoders[] = {
    {16, kModelMindprint, 2, pcmTo16LSBChannelSwap}, {24, kModelMindprint, 1, pcmTo24Access},
    {24, kModel0A4E_4040, 1, pcmTo24Access},         {24, kModel0A4E_2040, 1, pcmTo24Access},
    {24, kModelMindprint, 2, pcmTo24LSBChannelSwap}, {24, kModel0763_2003, kAnyChannels, pcmTo24TUSBMSB},
    {24, kModelMBox, kAnyChannels, pcmTo24TUSB2ch},  {24, kModelMBox2, kAnyChannels, pcmTo24TUSB2ch},
};

template <class Coder, size_t N> constexpr bool keysAreUnique(const CoderRow<Coder> (&rows)[N])
{
    for (size_t i = 0; i < N; ++i) {
        for (size_t j = i + 1; j < N; ++j) {
            const auto& a = rows[i];
            const auto& b = rows[j];
            if (a.resolution == b.resolution && a.model.key() == b.model.key() && a.channels == b.channels) {
                return false;
            }
        }
    }
    return true;
}
static_assert(keysAreUnique(kModelDecoders));
static_assert(keysAreUnique(kModelEncoders));
static_assert(modelsRegistered(kModelDecoders) && modelsRegistered(kModelEncoders));

// Every other device: the plain little-endian layout of the resolution.
struct PlainCoders
{
    uint32_t resolution;
    PCMDecoder decoder;
    PCMEncoder encoder;
};
constexpr PlainCoders kPlainCoders[] = {
    {16, pcmFrom16LSB, pcmTo16LSB},
    {20, pcmFrom20LSB, pcmTo20LSB},
    {24, pcmFrom24LSB, pcmTo24LSB},
    {32, pcmFrom32LSB, pcmTo32LSB},
};

const PlainCoders* plainCoders(uint32_t resolution)
{
    for (const auto& row : kPlainCoders) {
        if (row.resolution == resolution) {
            return &row;
        }
    }
    return nullptr;
}

template <class Coder, size_t N>
Coder modelCoder(const CoderRow<Coder> (&rows)[N], const PCMDeviceFacts& d, const PCMStreamFormat& format)
{
    for (const auto& row : rows) {
        if (row.matches(d, format.resolution, format.channels)) {
            return row.coder;
        }
    }
    return nullptr;
}

constexpr InputPostProcessor frames(PostProcessorFunction f, uint32_t channels)
{
    return {f, channels, PostProcessorUnit::frames};
}
constexpr InputPostProcessor samples(PostProcessorFunction f, uint32_t channels)
{
    return {f, channels, PostProcessorUnit::samples};
}

// Digital-input channels silenced while the digital input has no lock.
struct SilencingRow
{
    DeviceModel model;
    InputPostProcessor member;
};
constexpr SilencingRow kSilencing[] = {
    {kModelUS366, frames(postprocessUS366_4_BugFix, 4)},  {kModelUS366, frames(postprocessUS366_6_BugFix, 6)},
    {kModelUH7000, frames(postprocessUS366_4_BugFix, 4)}, {kModelACV0, samples(postprocessACV0BugFix, 4)},
    {kModelVeskaro, frames(postprocessVeskaroBugFix, 6)},
};
static_assert(modelsRegistered(kSilencing));

// Indexed by RoutingIn0, RoutingIn1, RoutingIn2.
constexpr PostProcessorFunction kUS600Routing[3][3][3] = {
    {{postprocessUS600_000, postprocessUS600_001, postprocessUS600_002},
     {postprocessUS600_010, postprocessUS600_011, postprocessUS600_012},
     {postprocessUS600_020, postprocessUS600_021, postprocessUS600_022}},
    {{postprocessUS600_100, postprocessUS600_101, postprocessUS600_102},
     {postprocessUS600_110, postprocessUS600_111, postprocessUS600_112},
     {postprocessUS600_120, postprocessUS600_121, postprocessUS600_122}},
    {{postprocessUS600_200, postprocessUS600_201, postprocessUS600_202},
     {postprocessUS600_210, postprocessUS600_211, postprocessUS600_212},
     {postprocessUS600_220, postprocessUS600_221, postprocessUS600_222}},
};

InputPostProcessor us600Routing(const QzAqExtData& settings)
{
    const uint32_t d1 = settings.RoutingIn0 & 3;
    const uint32_t d2 = settings.RoutingIn1 & 3;
    const uint32_t d3 = settings.RoutingIn2 & 3;
    if (d1 > 2 || d2 > 2 || d3 > 2) {
        return {};
    }
    return samples(kUS600Routing[d1][d2][d3], 6);
}

InputPostProcessor us144Routing(const QzAqExtData& settings)
{
    const uint32_t d1 = settings.RoutingIn0;
    const uint32_t d2 = settings.RoutingIn1;
    if (d1 == 0 && d2 == 0) {
        return samples(postprocessUS144_00, 4);
    }
    if (d1 == 1 && d2 == 0) {
        return samples(postprocessUS144_10, 4);
    }
    if (d1 == 1 && d2 == 1) {
        return samples(postprocessUS144_11, 4);
    }
    return {}; // (0, 1) is the identity
}

PCMEncoder us144OutputRouting(const QzAqExtData& settings)
{
    const uint32_t s1 = settings.RoutingOut0;
    const uint32_t s2 = settings.RoutingOut1;
    if (s1 == 0 && s2 == 0) {
        return pcmTo24LSB_US144_00;
    }
    if (s1 == 1 && s2 == 0) {
        return pcmTo24LSB_US144_10;
    }
    if (s1 == 1 && s2 == 1) {
        return pcmTo24LSB_US144_11;
    }
    return pcmTo24LSB; // (0, 1) is the identity
}

PCMDecoder pickPCMDecoder(const PCMDeviceFacts& device, const PCMStreamFormat& input,
                          const PCMStreamFormat& output)
{
    const PCMStreamFormat format{input.channels != 0 ? input.resolution : output.resolution, input.channels};
    if (format.resolution == 24 && device.makerBulkDevice) {
        return nullptr; // the bulk path decodes bit-plane input
    }
    if (PCMDecoder model = modelCoder(kModelDecoders, device, format)) {
        return model;
    }
    const PlainCoders* plain = plainCoders(format.resolution);
    return plain != nullptr ? plain->decoder : nullptr;
}

PCMEncoder pickPCMEncoder(const PCMDeviceFacts& device, const PCMStreamFormat& output,
                          const QzAqExtData& settings)
{
    if (output.resolution == 24 && device.makerBulkDevice) {
        switch (output.channels) {
        case 4:
            return pcmTo24Corlanth4CH;
        case 6:
            return pcmTo24Corlanth6CH;
        case 8:
        case 16:
            return nullptr; // the bulk path encodes bit-plane output
        default:
            return pcmTo24LSB;
        }
    }
    if (PCMEncoder model = modelCoder(kModelEncoders, device, output)) {
        return model;
    }
    if (output.resolution == 24 && device.highSpeed && device.outputRouting && output.channels == 4) {
        return us144OutputRouting(settings);
    }
    const PlainCoders* plain = plainCoders(output.resolution);
    return plain != nullptr ? plain->encoder : nullptr;
}

} // namespace

// The shuffle level is fixed here, once per choice, so the streaming path never reads it.
PCMDecoder choosePCMDecoder(const PCMDeviceFacts& device, const PCMStreamFormat& input,
                            const PCMStreamFormat& output)
{
    return pcmDecoderAt(pickPCMDecoder(device, input, output), pcmShuffleLevel());
}

PCMEncoder choosePCMEncoder(const PCMDeviceFacts& device, const PCMStreamFormat& output,
                            const QzAqExtData& settings)
{
    return pcmEncoderAt(pickPCMEncoder(device, output, settings), pcmShuffleLevel());
}

InputPostProcessor chooseInputPostProcessor(const PCMDeviceFacts& device, uint32_t inputChannels,
                                            const QzAqExtData& settings)
{
    InputPostProcessor chosen;
    if (!device.highSpeed) {
        return {};
    }
    if (isModel(kModelUS600, device)) {
        chosen = us600Routing(settings);
    } else if (isModel(kModelUS144MKII, device)) {
        chosen = us144Routing(settings);
    } else if (settings.DigitalLock == 0) {
        for (const auto& row : kSilencing) {
            if (isModel(row.model, device) && row.member.channels == inputChannels) {
                chosen = row.member;
                break;
            }
        }
    }
    return chosen.channels == inputChannels ? chosen : InputPostProcessor{};
}

OutMixer chooseOutMixer(uint32_t outputChannels)
{
    switch (outputChannels) {
    case 2:
        return outMixer2CH;
    case 4:
        return outMixer4CH;
    case 6:
        return outMixer6CH;
    default:
        return nullptr;
    }
}
