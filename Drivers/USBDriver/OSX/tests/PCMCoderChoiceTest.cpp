#include "PCMCoderChoice.h"
#include "PCMCoderShuffles.h"

#include "platform/Log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

PCMDeviceFacts device(uint16_t vendorId, uint16_t productId, bool highSpeed = true)
{
    PCMDeviceFacts facts;
    facts.vendorId = vendorId;
    facts.productId = productId;
    facts.highSpeed = highSpeed;
    return facts;
}

PCMDeviceFacts bulkDevice()
{
    auto facts = device(0x0A4A, 0x1234);
    facts.makerBulkDevice = true;
    return facts;
}

PCMDeviceFacts us144(bool highSpeed = true)
{
    auto facts = device(0x0644, 0x8020, highSpeed);
    facts.outputRouting = true;
    return facts;
}

// The member of a coder that the choice hands out at the shuffle level in effect.
PCMDecoder chosen(PCMDecoder coder)
{
    return pcmDecoderAt(coder, pcmShuffleLevel());
}
PCMEncoder chosen(PCMEncoder coder)
{
    return pcmEncoderAt(coder, pcmShuffleLevel());
}

QzAqExtData routing(uint32_t in0, uint32_t in1, uint32_t in2, uint32_t out0 = 0, uint32_t out1 = 1,
                    bool lock = false)
{
    QzAqExtData settings{};
    settings.RoutingIn0 = in0;
    settings.RoutingIn1 = in1;
    settings.RoutingIn2 = in2;
    settings.RoutingOut0 = out0;
    settings.RoutingOut1 = out1;
    settings.DigitalLock = lock ? 1 : 0;
    return settings;
}

TEST(PCMCoderChoice, CodersByResolutionChannelsAndModel)
{
    struct Case
    {
        const char* what;
        PCMDeviceFacts facts;
        PCMStreamFormat format;
        PCMDecoder decoder;
        PCMEncoder encoder;
    };
    const auto plain = device(0x1234, 0x5678);
    const Case cases[] = {
        {"16-bit", plain, {16, 2}, pcmFrom16LSB, pcmTo16LSB},
        {"20-bit", plain, {20, 8}, pcmFrom20LSB, pcmTo20LSB},
        {"24-bit", plain, {24, 2}, pcmFrom24LSB, pcmTo24LSB},
        {"32-bit", plain, {32, 6}, pcmFrom32LSB, pcmTo32LSB},
        {"8-bit", plain, {8, 2}, nullptr, nullptr},
        {"swap 16", device(0x133E, 0x6000), {16, 2}, pcmFrom16LSBChannelSwap, pcmTo16LSBChannelSwap},
        {"swap 24", device(0x133E, 0x6000), {24, 2}, pcmFrom24LSBChannelSwap, pcmTo24LSBChannelSwap},
        {"swap model, 4 ch", device(0x133E, 0x6000), {24, 4}, pcmFrom24LSB, pcmTo24LSB},
        {"access", device(0x133E, 0x6000), {24, 1}, pcmFrom24Access, pcmTo24Access},
        {"access 4040", device(0x0A4E, 0x4040), {24, 1}, pcmFrom24Access, pcmTo24Access},
        {"access 2040", device(0x0A4E, 0x2040), {24, 1}, pcmFrom24Access, pcmTo24Access},
        {"MI_4 16", device(0x0A4E, 0x4040), {16, 4}, pcmFrom16LSBChannelSwapMI_4, pcmTo16LSB},
        {"MI_4 24", device(0x0A4E, 0x4040), {24, 4}, pcmFrom24LSBChannelSwapMI_4, pcmTo24LSB},
        {"placeholder", device(0x0763, 0x2003), {24, 2}, pcmFrom24TUSBMSB, pcmTo24TUSBMSB},
        {"placeholder 16", device(0x0763, 0x2003), {16, 2}, pcmFrom16LSB, pcmTo16LSB},
        {"MBox", device(0x0DBA, 0x1000), {24, 2}, pcmFrom24TUSB2ch, pcmTo24TUSB2ch},
        {"MBox2", device(0x0DBA, 0x3000), {24, 2}, pcmFrom24TUSB2ch, pcmTo24TUSB2ch},
        {"bulk 4", bulkDevice(), {24, 4}, nullptr, pcmTo24Corlanth4CH},
        {"bulk 6", bulkDevice(), {24, 6}, nullptr, pcmTo24Corlanth6CH},
        {"bulk 8", bulkDevice(), {24, 8}, nullptr, nullptr},
        {"bulk 16", bulkDevice(), {24, 16}, nullptr, nullptr},
        {"bulk 2", bulkDevice(), {24, 2}, nullptr, pcmTo24LSB},
        {"bulk 16-bit", bulkDevice(), {16, 4}, pcmFrom16LSB, pcmTo16LSB},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(choosePCMDecoder(c.facts, c.format, {}), chosen(c.decoder)) << c.what;
        EXPECT_EQ(choosePCMEncoder(c.facts, c.format, routing(0, 1, 2)), chosen(c.encoder)) << c.what;
    }
}

TEST(PCMCoderChoice, DecoderFollowsTheOutputResolutionWithoutInput)
{
    const auto plain = device(0x1234, 0x5678);
    EXPECT_EQ(choosePCMDecoder(plain, {16, 0}, {24, 2}), chosen(pcmFrom24LSB));
    EXPECT_EQ(choosePCMDecoder(plain, {16, 2}, {24, 2}), chosen(pcmFrom16LSB));
}

TEST(PCMCoderChoice, US144OutputRoutingOnlyForFourChannelsAtHighSpeed)
{
    struct Case
    {
        uint32_t out0, out1;
        PCMEncoder encoder;
    };
    for (const auto& c : {Case{0, 0, pcmTo24LSB_US144_00}, Case{1, 0, pcmTo24LSB_US144_10},
                          Case{1, 1, pcmTo24LSB_US144_11}, Case{0, 1, pcmTo24LSB}, Case{2, 0, pcmTo24LSB}}) {
        const auto r = routing(0, 1, 2, c.out0, c.out1);
        EXPECT_EQ(choosePCMEncoder(us144(), {24, 4}, r), chosen(c.encoder)) << c.out0 << c.out1;
        // A stereo stream would have its channels scrambled across frames.
        EXPECT_EQ(choosePCMEncoder(us144(), {24, 2}, r), chosen(pcmTo24LSB));
        EXPECT_EQ(choosePCMEncoder(us144(false), {24, 4}, r), chosen(pcmTo24LSB));
    }
}

TEST(PCMCoderChoice, ACoderKeepsTheShuffleLevelInEffectWhenItWasChosen)
{
    const auto plain = device(0x1234, 0x5678);
    const PCMShuffleLevel supported = supportedPCMShuffleLevel();
    for (auto level :
         {PCMShuffleLevel::none, PCMShuffleLevel::ssse3, PCMShuffleLevel::avx2, PCMShuffleLevel::avx512}) {
        setPCMShuffleLevel(level);
        const PCMDecoder decoder = choosePCMDecoder(plain, {24, 2}, {24, 2});
        const PCMEncoder encoder = choosePCMEncoder(plain, {24, 2}, {});
        setPCMShuffleLevel(level == PCMShuffleLevel::none ? supported : PCMShuffleLevel::none);
        const PCMShuffleLevel used = std::min(level, supported);
        EXPECT_EQ(decoder, pcmDecoderAt(pcmFrom24LSB, used)) << static_cast<int>(level);
        EXPECT_EQ(encoder, pcmEncoderAt(pcmTo24LSB, used)) << static_cast<int>(level);
    }
    setPCMShuffleLevel(supported);
    if (supported != PCMShuffleLevel::none) {
        EXPECT_NE(pcmDecoderAt(pcmFrom24LSB, PCMShuffleLevel::none), pcmDecoderAt(pcmFrom24LSB, supported))
            << "each level has its own member";
    }
}

TEST(PCMCoderChoice, PlaceholderCodersLogOncePerChoiceNotPerCall)
{
    const auto unknownLayout = device(0x0763, 0x2003);
    platform::log::Capture log(platform::log::Channel::kernel);
    for (int stream = 1; stream <= 2; ++stream) {
        const PCMDecoder decoder = choosePCMDecoder(unknownLayout, {24, 2}, {24, 2});
        const PCMEncoder encoder = choosePCMEncoder(unknownLayout, {24, 2}, {});
        ASSERT_EQ(decoder, pcmFrom24TUSBMSB);
        ASSERT_EQ(encoder, pcmTo24TUSBMSB);
        char device[12] = {};
        const int host[4] = {};
        int32_t samples[4] = {};
        const _USB_DEC_DATA call{samples, reinterpret_cast<const uint8_t*>(device), sizeof device};
        for (int i = 0; i < 100; ++i) {
            EXPECT_EQ(decoder(&call), 0u);
            EXPECT_EQ(encoder(device, host, sizeof device), 0u);
        }
        platform::log::flush();
        const std::vector<std::string> expected(static_cast<size_t>(stream), "USB: pcmFrom24TUSBMSB");
        std::vector<std::string> decoderLines;
        std::vector<std::string> encoderLines;
        for (const auto& text : log.texts()) {
            (text.find("pcmFrom") != std::string::npos ? decoderLines : encoderLines).push_back(text);
        }
        EXPECT_EQ(decoderLines, expected) << "stream " << stream;
        EXPECT_EQ(encoderLines, std::vector<std::string>(static_cast<size_t>(stream), "USB: pcmTo24TUSBMSB"))
            << "stream " << stream;
    }
}

TEST(PCMCoderChoice, InputPostProcessors)
{
    struct Case
    {
        const char* what;
        PCMDeviceFacts facts;
        uint32_t inputs;
        QzAqExtData settings;
        InputPostProcessor expected;
    };
    const QzAqExtData unlocked = routing(0, 1, 2);
    const QzAqExtData locked = routing(0, 1, 2, 0, 1, true);
    const auto us366 = device(0x0644, 0x8041);
    const auto uh7000 = device(0x0644, 0x8048);
    const auto acv0 = device(0x09E8, 0x207F);
    const auto veskaro = device(0x0A4A, 0xAFFE);
    const auto us600 = device(0x0644, 0x8035);
    const InputPostProcessor none;
    const Case cases[] = {
        {"US-366 4", us366, 4, unlocked, {postprocessUS366_4_BugFix, 4, PostProcessorUnit::frames}},
        {"US-366 6", us366, 6, unlocked, {postprocessUS366_6_BugFix, 6, PostProcessorUnit::frames}},
        {"US-366 2: none, not the member of an earlier count", us366, 2, unlocked, none},
        {"US-366 locked", us366, 6, locked, none},
        {"US-366 full speed", device(0x0644, 0x8041, false), 4, unlocked, none},
        {"UH-7000 4", uh7000, 4, unlocked, {postprocessUS366_4_BugFix, 4, PostProcessorUnit::frames}},
        {"UH-7000 6", uh7000, 6, unlocked, none},
        {"ACV0", acv0, 4, unlocked, {postprocessACV0BugFix, 4, PostProcessorUnit::samples}},
        {"ACV0 2", acv0, 2, unlocked, none},
        {"Veskaro", veskaro, 6, unlocked, {postprocessVeskaroBugFix, 6, PostProcessorUnit::frames}},
        {"Veskaro locked", veskaro, 6, locked, none},
        {"other", device(0x1234, 0x5678), 4, unlocked, none},
        {"US-144 00", us144(), 4, routing(0, 0, 2), {postprocessUS144_00, 4, PostProcessorUnit::samples}},
        {"US-144 10", us144(), 4, routing(1, 0, 2), {postprocessUS144_10, 4, PostProcessorUnit::samples}},
        {"US-144 11 locked",
         us144(),
         4,
         routing(1, 1, 2, 0, 1, true),
         {postprocessUS144_11, 4, PostProcessorUnit::samples}},
        {"US-144 identity", us144(), 4, routing(0, 1, 2), none},
        {"US-144 other", us144(), 4, routing(2, 0, 2), none},
        {"US-144 stereo", us144(), 2, routing(1, 0, 2), none},
        {"US-144 full speed", us144(false), 4, routing(1, 0, 2), none},
        {"US-600 120", us600, 6, routing(1, 2, 0), {postprocessUS600_120, 6, PostProcessorUnit::samples}},
        {"US-600 low bits",
         us600,
         6,
         routing(5, 4, 6),
         {postprocessUS600_102, 6, PostProcessorUnit::samples}},
        {"US-600 digit 3", us600, 6, routing(3, 0, 0), none},
        {"US-600 4 ch", us600, 4, routing(1, 2, 0), none},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(chooseInputPostProcessor(c.facts, c.inputs, c.settings), c.expected) << c.what;
    }
}

TEST(PCMCoderChoice, OutMixerByOutputChannels)
{
    EXPECT_EQ(chooseOutMixer(2), outMixer2CH);
    EXPECT_EQ(chooseOutMixer(4), outMixer4CH);
    EXPECT_EQ(chooseOutMixer(6), outMixer6CH);
    for (uint32_t n : {0u, 1u, 3u, 8u}) {
        EXPECT_EQ(chooseOutMixer(n), nullptr) << n;
    }
}

} // namespace
