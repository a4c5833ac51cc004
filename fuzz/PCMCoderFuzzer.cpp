// Every PCM coder, input post-processor and output mixer on fuzzed bytes of any length. Buffers are
// exactly as large as the call may touch, so the sanitizers catch any access beyond them; decoding
// and re-encoding must give the device bytes back for the layouts that have both directions.
#include "PCMCoder.h"
#include "PCMCoderShuffles.h"

#include "platform/Log.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct Pair
{
    PCMDecoder decoder;
    PCMEncoder encoder; // the decoder's inverse, or null
    uint32_t bytesPerSample;
};

const Pair kDecoders[] = {
    {pcmFrom16LSB, pcmTo16LSB, 2},
    {pcmFrom16MSB, pcmTo16MSB, 2},
    {pcmFrom16LSBChannelSwap, pcmTo16LSBChannelSwap, 2},
    {pcmFrom16LSBChannelSwapMI_4, nullptr, 2},
    {pcmFrom20LSB, pcmTo20LSB, 3},
    {pcmFrom24LSB, pcmTo24LSB, 3},
    {pcmFrom24LSBChannelSwap, pcmTo24LSBChannelSwap, 3},
    {pcmFrom24LSBChannelSwapMI_4, nullptr, 3},
    {pcmFrom24Access, pcmTo24Access, 3},
    {pcmFrom24TUSB, pcmTo24TUSB, 3},
    {pcmFrom24TUSB2ch, pcmTo24TUSB2ch, 3},
    {pcmFrom24TUSBMSB, nullptr, 3},
    {pcmFrom32LSB, pcmTo32LSB, 4},
};

const PCMEncoder kEncoders[] = {
    pcmTo16LSB,          pcmTo16MSB,          pcmTo16LSBChannelSwap,
    pcmTo20LSB,          pcmTo24LSB,          pcmTo24LSBChannelSwap,
    pcmTo24Access,       pcmTo24TUSB,         pcmTo24TUSB2ch,
    pcmTo24TUSBMSB,      pcmTo24Corlanth4CH,  pcmTo24Corlanth6CH,
    pcmTo24LSB_US144_00, pcmTo24LSB_US144_10, pcmTo24LSB_US144_11,
    pcmTo32LSB,
};

constexpr auto kFrames = PostProcessorUnit::frames;
constexpr auto kSamples = PostProcessorUnit::samples;
const InputPostProcessor kPostProcessors[] = {
    {postprocessUS366_4_BugFix, 4, kFrames}, {postprocessUS366_6_BugFix, 6, kFrames},
    {postprocessACV0BugFix, 4, kSamples},    {postprocessVeskaroBugFix, 6, kFrames},
    {postprocessUS144_00, 4, kSamples},      {postprocessUS144_10, 4, kSamples},
    {postprocessUS144_11, 4, kSamples},      {postprocessUS600_000, 6, kSamples},
    {postprocessUS600_012, 6, kSamples},     {postprocessUS600_120, 6, kSamples},
    {postprocessUS600_210, 6, kSamples},     {postprocessUS600_222, 6, kSamples},
};

const OutMixer kMixers[] = {outMixer2CH, outMixer4CH, outMixer6CH};

void check(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

// memcpy that accepts the null data pointer of an empty vector.
void copy(void* to, const void* from, size_t bytes)
{
    if (bytes != 0) {
        std::memcpy(to, from, bytes);
    }
}

void fuzzDecoder(const Pair& pair, const uint8_t* data, size_t size)
{
    const std::vector<uint8_t> device(data, data + size);
    const auto nBytes = static_cast<uint32_t>(size);
    _USB_DEC_DATA query{nullptr, device.data(), nBytes};
    const uint32_t count = pair.decoder(&query);
    check(count <= nBytes);
    std::vector<int32_t> host(count);
    _USB_DEC_DATA record{host.data(), device.data(), nBytes};
    check(pair.decoder(&record) == count);
    if (pair.encoder == nullptr) {
        return;
    }
    // The device bytes of the whole units come back; the bytes after them stay as they were.
    std::vector<uint8_t> again(size, 0xA5);
    check(pair.encoder(reinterpret_cast<char*>(again.data()), host.data(), nBytes) == count);
    const size_t whole = static_cast<size_t>(count) * pair.bytesPerSample;
    check(whole == 0 || std::memcmp(again.data(), device.data(), whole) == 0);
    for (size_t i = whole; i < size; ++i) {
        check(again[i] == 0xA5);
    }
}

void fuzzEncoder(PCMEncoder encoder, const uint8_t* data, size_t size)
{
    if (size < 4) {
        return;
    }
    uint32_t numBytes;
    std::memcpy(&numBytes, data, 4);
    data += 4;
    size -= 4;
    const size_t hostSamples = size / 4;
    numBytes %= static_cast<uint32_t>(hostSamples * 4 + 16); // up to a little more than the host holds
    const uint32_t count = encoder(nullptr, nullptr, numBytes);
    check(count <= numBytes);
    if (count > hostSamples) {
        return; // the caller must provide the samples it asked for
    }
    std::vector<int> host(count);
    copy(host.data(), data, count * 4);
    std::vector<char> device(numBytes);
    check(encoder(device.data(), host.data(), numBytes) == count);
}

// The runner hands each member its own unit; it must stay within the decoded samples whatever
// frame width the stream has.
void fuzzPostProcessor(const InputPostProcessor& member, const uint8_t* data, size_t size)
{
    if (size < 1) {
        return;
    }
    const uint32_t streamChannels = data[0] % 8;
    std::vector<int32_t> samples((size - 1) / 4);
    copy(samples.data(), data + 1, samples.size() * 4);
    runInputPostProcessor(member, samples.data(), static_cast<uint32_t>(samples.size()), streamChannels);
    runInputPostProcessor(member, samples.data(), static_cast<uint32_t>(samples.size()), member.channels);
}

void fuzzMixer(OutMixer mixer, const uint8_t* data, size_t size)
{
    constexpr size_t kTables = 32 * 8 * 2 + 32;
    if (size < kTables) {
        return;
    }
    QZ_Fraction left[32];
    QZ_Fraction right[32];
    uint8_t routing[32];
    std::memcpy(left, data, sizeof left);
    std::memcpy(right, data + sizeof left, sizeof right);
    std::memcpy(routing, data + sizeof left + sizeof right, sizeof routing);
    data += kTables;
    size -= kTables;
    const uint32_t channels = mixer == outMixer2CH ? 2 : mixer == outMixer4CH ? 4 : 6;
    std::vector<uint32_t> samples(size / 4 / channels * channels);
    copy(samples.data(), data, samples.size() * 4);
    check(mixer(samples.data(), static_cast<uint32_t>(samples.size() / channels), left, right, routing) ==
          kOutMixerResult);
    for (uint32_t s : samples) {
        check((s & 0xFF) == 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool quiet = [] {
        platform::log::setDestination(platform::log::Channel::kernel, nullptr);
        return true;
    }();
    (void)quiet;
    if (size < 2) {
        return 0;
    }
    const uint8_t kind = data[0] % 4;
    // The shuffle paths and the plain loop must agree, so the input picks the path too.
    setPCMShuffleLevel(static_cast<PCMShuffleLevel>(data[0] / 4 % 4));
    const uint8_t which = data[1];
    data += 2;
    size -= 2;
    switch (kind) {
    case 0:
        fuzzDecoder(kDecoders[which % std::size(kDecoders)], data, size);
        break;
    case 1:
        fuzzEncoder(kEncoders[which % std::size(kEncoders)], data, size);
        break;
    case 2:
        fuzzPostProcessor(kPostProcessors[which % std::size(kPostProcessors)], data, size);
        break;
    default:
        fuzzMixer(kMixers[which % std::size(kMixers)], data, size);
        break;
    }
    return 0;
}
