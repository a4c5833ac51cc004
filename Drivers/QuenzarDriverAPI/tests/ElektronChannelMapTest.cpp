#include "ElektronChannelMap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace {

const VIDPID kWide(0x1935, 0x0008, 0x0100, nullptr);
const VIDPID kOther(0x1935, 0x0004, 0x0100, nullptr);

using Usage = bool[QZ_Elektron_ChannelMap::kUsageListSize];

std::set<int> marked(const Usage& usage)
{
    std::set<int> positions;
    for (int i = 0; i < int(QZ_Elektron_ChannelMap::kUsageListSize); ++i) {
        if (usage[i]) {
            positions.insert(i);
        }
    }
    return positions;
}

QZ_Elektron_ChannelMap unusedMap()
{
    QZ_Elektron_ChannelMap map;
    std::fill(std::begin(map.mInputMap), std::end(map.mInputMap), QZ_Elektron_ChannelMap::kUnused);
    std::fill(std::begin(map.mOutputMap), std::end(map.mOutputMap), QZ_Elektron_ChannelMap::kUnused);
    return map;
}

TEST(ElektronChannelMap, DefaultsCarryTheMainInputPairOnEveryDevice)
{
    for (const VIDPID& device : {kWide, kOther, VIDPID(0x0A4A, 0x2416, 0, nullptr)}) {
        QZ_Elektron_ChannelMap map;
        std::fill(std::begin(map.mInputMap), std::end(map.mInputMap), 7u);
        std::fill(std::begin(map.mOutputMap), std::end(map.mOutputMap), 7u);
        map.setDefaults(device);
        EXPECT_EQ(map.mInputMap[0], 160u);
        EXPECT_EQ(map.mInputMap[1], 161u);
        for (unsigned i = 2; i < QZ_Elektron_ChannelMap::kNumEntries; ++i) {
            EXPECT_EQ(map.mInputMap[i], 255u);
        }
        for (uint32_t entry : map.mOutputMap) {
            EXPECT_EQ(entry, 255u);
        }
        Usage in, out;
        map.getUsageList(in, out, device);
        EXPECT_EQ(marked(in), (std::set<int>{0, 1}));
        EXPECT_EQ(marked(out), std::set<int>{});
    }
}

struct CodeCase
{
    bool output;
    uint32_t code;
    int widePosition; // -1: marks nothing
    int otherPosition;
};

// clang-format off
const CodeCase kCodeCases[] = {
    {false, 0xA0, 0, 0},
    {false, 0xA1, 1, 1},
    {false, 0x80, 2, 2},
    {false, 0x83, 5, 5},
    {false, 0x84, 6, -1},
    {false, 0x87, 9, -1},
    {false, 0xC0, -1, 6},
    {false, 0xC1, -1, 7},
    {false, 255, -1, -1},
    {false, 0x20, -1, -1}, // an output code on an input
    {false, 0, -1, -1},
    {false, 0x1A0, -1, -1}, // only the whole word counts
    {true, 0x20, 0, 0},
    {true, 0x21, 1, 1},
    {true, 0x46, 2, -1},
    {true, 0x47, 3, -1},
    {true, 0, 4, 2},
    {true, 3, 7, 5},
    {true, 4, 8, -1},
    {true, 7, 11, -1},
    {true, 8, -1, -1},
    {true, 255, -1, -1},
    {true, 0xA0, -1, -1}, // an input code on an output
    {true, 0x100, -1, -1},
};
// clang-format on

TEST(ElektronChannelMap, EachCodeMarksItsPositionPerModel)
{
    for (const CodeCase& c : kCodeCases) {
        for (const bool wide : {true, false}) {
            QZ_Elektron_ChannelMap map = unusedMap();
            (c.output ? map.mOutputMap : map.mInputMap)[3] = c.code;
            Usage in, out;
            map.getUsageList(in, out, wide ? kWide : kOther);
            const int position = wide ? c.widePosition : c.otherPosition;
            const std::set<int> expected = position < 0 ? std::set<int>{} : std::set<int>{position};
            EXPECT_EQ(marked(c.output ? out : in), expected)
                << (c.output ? "output" : "input") << " code " << c.code << (wide ? " wide" : " other");
            EXPECT_EQ(marked(c.output ? in : out), std::set<int>{});
        }
    }
}

TEST(ElektronChannelMap, ListsComeBackHoldingOnlyTheCurrentMap)
{
    QZ_Elektron_ChannelMap map = unusedMap();
    map.mInputMap[0] = 0x81;
    map.mInputMap[5] = 0x81; // same code twice marks once
    map.mOutputMap[7] = 0x47;
    map.mOutputMap[2] = 0x05;
    Usage in, out;
    std::fill(std::begin(in), std::end(in), true);
    std::fill(std::begin(out), std::end(out), true);
    map.getUsageList(in, out, kWide);
    EXPECT_EQ(marked(in), (std::set<int>{3}));
    EXPECT_EQ(marked(out), (std::set<int>{3, 9}));

    // Another release of the wide model uses its table too.
    map.getUsageList(in, out, VIDPID(0x1935, 0x0008, 0x0200, nullptr));
    EXPECT_EQ(marked(out), (std::set<int>{3, 9}));
    // A device of another vendor with the same product id uses the other table.
    map.getUsageList(in, out, VIDPID(0x1936, 0x0008, 0x0100, nullptr));
    EXPECT_EQ(marked(out), std::set<int>{});
}

} // namespace
