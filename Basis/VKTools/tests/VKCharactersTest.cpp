#include "VKCharacters.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(VKCharacters, ClassesFollowTheLibrarysOwnByteSets)
{
    struct Case
    {
        unsigned char byte;
        bool digit, space, alpha, csym;
    };
    const Case cases[] = {
        {'5', true, false, false, false},   {0, false, false, false, false},
        {'\t', false, true, false, false},  {'\n', false, true, false, false},
        {'\r', false, true, false, false},  {' ', false, true, false, false},
        {0x85, false, true, false, false},  {0xA0, false, true, false, false},
        {0x81, false, true, false, false},  {0x93, false, true, false, false},
        {0x80, false, false, false, false}, {0x86, false, false, false, false},
        {0x91, false, false, false, false}, {0x92, false, false, false, false},
        {0xA1, false, false, false, false}, {'a', false, false, true, true},
        {'Z', false, false, true, true},    {'_', false, false, false, true},
        {0xE4, false, false, false, false}, {'7', true, false, false, false},
    };
    for (const auto& c : cases) {
        const char ch = static_cast<char>(c.byte);
        SCOPED_TRACE(static_cast<int>(c.byte));
        EXPECT_EQ(cfIsDigit(ch), c.digit);
        EXPECT_EQ(cfIsSpace(ch), c.space);
        EXPECT_EQ(cfIsAlpha(ch), c.alpha);
        EXPECT_EQ(cfIsCSymbol(ch), c.csym);
    }
    EXPECT_EQ(cfToLower('Q'), 'q');
    EXPECT_EQ(cfToLower('q'), 'q');
    EXPECT_EQ(cfToLower('['), '[');
    EXPECT_EQ(cfToLower(static_cast<char>(0xC4)), static_cast<char>(0xC4));
    EXPECT_TRUE(vkIscsym('7'));
    EXPECT_TRUE(vkIscsym('_'));
    EXPECT_FALSE(vkIscsym('-'));
    EXPECT_FALSE(vkIscsym(0xE4 - 256)); // a negative char value is no symbol, and no crash
    EXPECT_FALSE(vkIscsym(1000));
}

TEST(VKCharacters, CaseInsensitiveComparisons)
{
    struct Case
    {
        const char* a;
        const char* b;
        size_t n;
        int cfN, cf, vkN, vk;
    };
    const Case cases[] = {
        {"Alpha", "ALPHA", 5, 0, 0, 0, 0},
        {"abc", "abd", 3, -1, -1, -1, -1},
        {"ab", "abc", 2, 0, -1, 0, -1},
        {"abc", "ab", 2, 0, 1, 0, 1},
        {"abcX", "ABCY", 3, 0, -1, 0, -1},
        {"abcX", "ABCY", 4, -1, -1, -1, -1},
        {"abcX", "ABCY", 0, 0, -1, 0, -1},
        {nullptr, nullptr, 3, 0, 0, -1, -1},
        {nullptr, "a", 1, -1, -1, -1, -1},
        {"a", nullptr, 1, 1, 1, 1, 1},
        // '[' sorts after 'Z' but before 'a': the cf family folds to lower case, the vk family to upper.
        {"[", "a", 1, -1, -1, 1, 1},
        // Bytes above 0x7F are negative for the cf family, large for the vk family.
        {"\xE4", "a", 1, -1, -1, 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.a ? c.a : "null") + " / " + (c.b ? c.b : "null"));
        EXPECT_EQ(cfStrnicmp(c.a, c.b, c.n), c.cfN);
        EXPECT_EQ(cfStricmp(c.a, c.b), c.cf);
        EXPECT_EQ(vkStrnicmp(c.a, c.b, c.n), c.vkN);
        EXPECT_EQ(vkStricmp(c.a, c.b), c.vk);
    }
}

TEST(VKCharacters, BoundedAppendAndFormatNeverOverrun)
{
    char buffer[8] = "ab";
    EXPECT_EQ(qz_strcat(buffer, sizeof buffer, "cd"), buffer);
    EXPECT_STREQ(buffer, "abcd");
    qz_strcat(buffer, sizeof buffer, "efghij");
    EXPECT_STREQ(buffer, "abcdefg");
    qz_strcat(buffer, sizeof buffer, "x");
    EXPECT_STREQ(buffer, "abcdefg");

    char out[6];
    std::memset(out, 'z', sizeof out);
    EXPECT_EQ(qzSPrintf(out, sizeof out, "%d-%s", 42, "ok"), 5);
    EXPECT_STREQ(out, "42-ok");
    EXPECT_EQ(qzSPrintf(out, sizeof out, "%s", "longer than six"), 5);
    EXPECT_STREQ(out, "longe");
}
