#include "PCMCoder.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Words = std::vector<int32_t>;

// 1, 2, 3, ... so every sample is told apart by its position.
Words numbered(size_t count)
{
    Words words(count);
    for (size_t i = 0; i < count; ++i) {
        words[i] = static_cast<int32_t>(i + 1);
    }
    return words;
}

Words processed(PostProcessorFunction function, Words samples, uint32_t count)
{
    function(samples.data(), count);
    return samples;
}

TEST(InputPostProcessor, SilencingMembersZeroTwoChannelsOfTheFramesTheirCountCovers)
{
    struct Case
    {
        const char* name;
        PostProcessorFunction function;
        uint32_t count;
        Words expected; // from numbered(14)
    };
    const Case cases[] = {
        {"US366_4 frames", postprocessUS366_4_BugFix, 2, {1, 2, 0, 0, 5, 6, 0, 0, 9, 10, 11, 12, 13, 14}},
        {"US366_6 one frame", postprocessUS366_6_BugFix, 1, {1, 2, 0, 0, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}},
        {"US366_6 two frames", postprocessUS366_6_BugFix, 2, {1, 2, 0, 0, 5, 6, 7, 8, 0, 0, 11, 12, 13, 14}},
        {"ACV0 counts samples", postprocessACV0BugFix, 6, {1, 2, 0, 0, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}},
        {"ACV0 two frames", postprocessACV0BugFix, 8, {1, 2, 0, 0, 5, 6, 0, 0, 9, 10, 11, 12, 13, 14}},
        {"ACV0 under a frame", postprocessACV0BugFix, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}},
        {"Veskaro", postprocessVeskaroBugFix, 2, {1, 2, 3, 4, 0, 0, 7, 8, 9, 10, 0, 0, 13, 14}},
        {"Veskaro none", postprocessVeskaroBugFix, 0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(processed(c.function, numbered(14), c.count), c.expected) << c.name;
        c.function(nullptr, c.count);
    }
}

TEST(InputPostProcessor, US144RoutingCopiesPairsOfWholeFrames)
{
    // Frames a b c d = 1 2 3 4 and 5 6 7 8; the ninth sample is a partial frame.
    EXPECT_EQ(processed(postprocessUS144_00, numbered(9), 9), (Words{1, 2, 1, 2, 5, 6, 5, 6, 9}));
    EXPECT_EQ(processed(postprocessUS144_10, numbered(9), 9), (Words{3, 4, 1, 2, 7, 8, 5, 6, 9}));
    EXPECT_EQ(processed(postprocessUS144_11, numbered(9), 9), (Words{3, 4, 3, 4, 7, 8, 7, 8, 9}));
    EXPECT_EQ(processed(postprocessUS144_10, numbered(9), 7), (Words{3, 4, 1, 2, 5, 6, 7, 8, 9}));
    EXPECT_EQ(processed(postprocessUS144_10, numbered(9), 3), numbered(9));

    // The exchange undoes itself.
    Words samples = numbered(8);
    postprocessUS144_10(samples.data(), 8);
    postprocessUS144_10(samples.data(), 8);
    EXPECT_EQ(samples, numbered(8));
    postprocessUS144_00(nullptr, 8);
}

struct US600Member
{
    PostProcessorFunction function;
    int d1, d2, d3;
};

const US600Member kUS600[] = {
    {postprocessUS600_000, 0, 0, 0}, {postprocessUS600_001, 0, 0, 1}, {postprocessUS600_002, 0, 0, 2},
    {postprocessUS600_010, 0, 1, 0}, {postprocessUS600_011, 0, 1, 1}, {postprocessUS600_012, 0, 1, 2},
    {postprocessUS600_020, 0, 2, 0}, {postprocessUS600_021, 0, 2, 1}, {postprocessUS600_022, 0, 2, 2},
    {postprocessUS600_100, 1, 0, 0}, {postprocessUS600_101, 1, 0, 1}, {postprocessUS600_102, 1, 0, 2},
    {postprocessUS600_110, 1, 1, 0}, {postprocessUS600_111, 1, 1, 1}, {postprocessUS600_112, 1, 1, 2},
    {postprocessUS600_120, 1, 2, 0}, {postprocessUS600_121, 1, 2, 1}, {postprocessUS600_122, 1, 2, 2},
    {postprocessUS600_200, 2, 0, 0}, {postprocessUS600_201, 2, 0, 1}, {postprocessUS600_202, 2, 0, 2},
    {postprocessUS600_210, 2, 1, 0}, {postprocessUS600_211, 2, 1, 1}, {postprocessUS600_212, 2, 1, 2},
    {postprocessUS600_220, 2, 2, 0}, {postprocessUS600_221, 2, 2, 1}, {postprocessUS600_222, 2, 2, 2},
};

TEST(InputPostProcessor, US600TellingRows)
{
    // a b c d e f = 1 .. 6
    EXPECT_EQ(processed(postprocessUS600_000, numbered(6), 6), (Words{1, 2, 1, 2, 1, 2}));
    EXPECT_EQ(processed(postprocessUS600_021, numbered(6), 6), (Words{1, 2, 5, 6, 3, 4}));
    EXPECT_EQ(processed(postprocessUS600_120, numbered(6), 6), (Words{3, 4, 5, 6, 1, 2}));
    EXPECT_EQ(processed(postprocessUS600_210, numbered(6), 6), (Words{5, 6, 3, 4, 1, 2}));
    EXPECT_EQ(processed(postprocessUS600_222, numbered(6), 6), (Words{5, 6, 5, 6, 5, 6}));
}

TEST(InputPostProcessor, US600EveryMemberFeedsHostPairsFromItsDevicePairs)
{
    for (const auto& m : kUS600) {
        SCOPED_TRACE(testing::Message() << m.d1 << m.d2 << m.d3);
        // Two frames and a partial third one of 1 sample.
        const Words before = numbered(13);
        Words expected = before;
        for (int frame = 0; frame < 2; ++frame) {
            const int base = frame * 6;
            const int source[3] = {m.d1, m.d2, m.d3};
            for (int p = 0; p < 3; ++p) {
                expected[base + 2 * p] = before[base + 2 * source[p]];
                expected[base + 2 * p + 1] = before[base + 2 * source[p] + 1];
            }
        }
        EXPECT_EQ(processed(m.function, before, 13), expected);
        EXPECT_EQ(processed(m.function, before, 5), before);
        m.function(nullptr, 12);
    }
}

// The engine runs a post-processor through runInputPostProcessor with the number of samples it
// decoded; members that count frames get frames, members that count samples get samples.
TEST(InputPostProcessor, RunnerStaysWithinTheDecodedSamples)
{
    const InputPostProcessor veskaro{postprocessVeskaroBugFix, 6, PostProcessorUnit::frames};
    const InputPostProcessor acv0{postprocessACV0BugFix, 4, PostProcessorUnit::samples};

    // 12 samples decoded into a larger buffer: the frame-counting member must not treat 12 as frames.
    Words buffer = numbered(24);
    runInputPostProcessor(veskaro, buffer.data(), 12, 6);
    Words expected = numbered(24);
    expected[4] = expected[5] = expected[10] = expected[11] = 0;
    EXPECT_EQ(buffer, expected);

    buffer = numbered(24);
    runInputPostProcessor(acv0, buffer.data(), 8, 4);
    expected = numbered(24);
    expected[2] = expected[3] = expected[6] = expected[7] = 0;
    EXPECT_EQ(buffer, expected);

    // A member whose frame width is not the stream's does nothing: it would scramble or silence the
    // wrong channels (a 6-channel member left over after a change to 4 channels, or a 4-channel
    // routing on a stereo stream).
    const InputPostProcessor us144{postprocessUS144_10, 4, PostProcessorUnit::samples};
    for (const auto& [member, channels] :
         {std::pair{veskaro, 4u}, std::pair{us144, 2u}, std::pair{acv0, 6u}}) {
        buffer = numbered(24);
        runInputPostProcessor(member, buffer.data(), 24, channels);
        EXPECT_EQ(buffer, numbered(24));
    }

    runInputPostProcessor(InputPostProcessor{}, buffer.data(), 24, 4);
    runInputPostProcessor(veskaro, nullptr, 24, 6);
    EXPECT_EQ(buffer, numbered(24));
}

} // namespace
