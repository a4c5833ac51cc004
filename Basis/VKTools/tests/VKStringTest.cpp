#include "VKString.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

TEST(VKString, ConstructionAndGrowth)
{
    VKString empty;
    EXPECT_EQ(empty.getLength(), 0);
    EXPECT_EQ(empty.getCapacity(), 33);
    EXPECT_STREQ(empty, "");
    EXPECT_TRUE(empty.isEmpty());
    EXPECT_EQ(empty.getCharPointer(true), nullptr);
    VKString fromNull(static_cast<const char*>(nullptr));
    EXPECT_EQ(fromNull.getCapacity(), 33);

    VKString x('x', 3);
    EXPECT_STREQ(x, "xxx");
    EXPECT_EQ(x.getCapacity(), 36);
    EXPECT_STREQ(VKString('x', 0), "");
    EXPECT_STREQ(VKString('\0', 4), "");

    VKString s;
    s.assign("0123456789012345678901234567890123456789");
    EXPECT_EQ(s.getCapacity(), 73);
    s.assign("0123456789");
    EXPECT_EQ(s.getCapacity(), 73);
    EXPECT_EQ(s.getLength(), 10);

    VKString full("01234567890123456789012345678901");
    ASSERT_EQ(full.getCapacity(), 65); // 32 + 33
    VKString grow;
    grow.assign("0123456789");
    grow.setLength(32);
    EXPECT_EQ(grow.getCapacity(), 33);
    grow += 'a';
    EXPECT_EQ(grow.getCapacity(), 65);
    EXPECT_EQ(grow.getLength(), 33);

    VKString copy(s);
    EXPECT_STREQ(copy, "0123456789");
    EXPECT_EQ(copy.getCapacity(), 43);

    VKString self("ab");
    self += static_cast<const char*>(self);
    self += static_cast<const char*>(self) + 1;
    EXPECT_STREQ(self, "ababbab");
    self += static_cast<const char*>(nullptr);
    EXPECT_STREQ(self, "ababbab");
}

TEST(VKString, LengthPiecesAndEdits)
{
    VKString s("ab");
    EXPECT_STREQ(s.setLength(5), "ab   ");
    EXPECT_STREQ(VKString("abc").setLength(1), "a");
    EXPECT_STREQ(VKString("abc").setLength(-2), "");
    // Padding up to exactly the capacity still leaves room for the terminating zero.
    VKString padded;
    ASSERT_EQ(padded.getCapacity(), 33);
    padded.setLength(33);
    EXPECT_EQ(padded.getLength(), 33);
    EXPECT_EQ(std::string(padded), std::string(33, ' '));

    struct Piece
    {
        int start, count;
        const char* expected;
    };
    const VKString hello("hello");
    const Piece pieces[] = {{1, 2, "el"}, {6, 1, ""}, {0, 0, ""}, {-1, 2, ""}, {3, 99, "lo"}, {5, 1, ""}};
    for (const auto& p : pieces) {
        VKString out("old");
        hello.substring(out, p.start, p.count);
        EXPECT_STREQ(out, p.expected) << p.start << "," << p.count;
    }
    VKString out;
    hello.right(out, 3);
    EXPECT_STREQ(out, "llo");
    hello.right(out, 9);
    EXPECT_STREQ(out, "hello");
    hello.right(out, 0);
    EXPECT_STREQ(out, "");
    hello.left(out, 2);
    EXPECT_STREQ(out, "he");
    VKString alias("hello");
    alias.substring(alias, 1, 3);
    EXPECT_STREQ(alias, "ell");

    EXPECT_STREQ(VKString(" \t inner \t\r\n").trimLeft().trimRight(), "inner");
    EXPECT_STREQ(VKString(" \t ").trimLeft(), "");
    EXPECT_STREQ(VKString(" \t ").trimRight(), "");
    EXPECT_STREQ(VKString("Mixed\xE4z").uppercase(), "MIXED\xE4Z");
    EXPECT_STREQ(VKString("Mixed\xC4Z").lowercase(), "mixed\xC4z");

    EXPECT_STREQ(VKString("banana").replace("a", "aa"), "baanaanaa");
    EXPECT_STREQ(VKString("banana").replace("", "x"), "banana");
    EXPECT_STREQ(VKString("banana").replace("an", ""), "ba");
    EXPECT_STREQ(VKString("aaa").replace("aa", "b"), "ba");
    EXPECT_STREQ(VKString("").replace("a", "b"), "");
}

TEST(VKString, ComparisonAndSearch)
{
    VKString b("b");
    EXPECT_EQ(b.compare(VKString("a")), 1);
    EXPECT_EQ(b.compare(VKString("bb")), -1);
    EXPECT_EQ(b.compare(VKString("b")), 0);
    EXPECT_TRUE(b == VKString("b"));
    EXPECT_FALSE(b == VKString("B"));
    EXPECT_EQ(b.stricmp("B"), 0);
    EXPECT_GT(b.strcmp("a"), 0);
    EXPECT_EQ(VKString("hello").match("ll"), 2);
    EXPECT_EQ(VKString("hello").match("x"), -1);
    EXPECT_EQ(VKString("hello").match(nullptr), -1);
}

TEST(VKString, GetTokenConsumesOneDelimiter)
{
    VKString s(",a,b");
    VKString token;
    ASSERT_TRUE(s.getToken(",", token));
    EXPECT_STREQ(token, "a");
    EXPECT_STREQ(s, "b");
    ASSERT_TRUE(s.getToken(",", token));
    EXPECT_STREQ(token, "b");
    EXPECT_STREQ(s, "");
    EXPECT_FALSE(s.getToken(",", token));
    EXPECT_STREQ(token, "");

    VKString t("x,,y");
    ASSERT_TRUE(t.getToken(",", token));
    EXPECT_STREQ(t, ",y");
    ASSERT_TRUE(t.getToken(",", token));
    EXPECT_STREQ(token, "y");
    VKString blanks(",,,");
    EXPECT_FALSE(blanks.getToken(",", token));
    EXPECT_STREQ(blanks, ",,,");
}

TEST(VKString, NumbersAndFormatting)
{
    VKString s;
    EXPECT_STREQ(s.toString(static_cast<short>(-32768)), "-32768");
    EXPECT_STREQ(s.toString(70000), "70000");
    EXPECT_STREQ(s.printf("%s-%03d", "v", 7), "v-007");

    // Results of 2048 bytes and more are kept whole.
    const std::string longText(5000, 'q');
    s.printf("<%s>", longText.c_str());
    EXPECT_EQ(s.getLength(), 5002);
    EXPECT_EQ(std::string(s), "<" + longText + ">");
    s.printf("%s%s", static_cast<const char*>(s), "!"); // arguments may be the string itself
    EXPECT_EQ(s.getLength(), 5003);

    struct Double
    {
        const char* text;
        double value;
    };
    const Double doubles[] = {{"12.5k", 12.5},     {"44.1k", 44.1}, {"3M", 3e6},
                              {"2 T", 2000},       {"1.5T", 1500},  {"1,000", 1000},
                              {"-4.5e-2", -0.045}, {"abc", 0},      {"", 0}};
    for (const auto& d : doubles) {
        EXPECT_DOUBLE_EQ(VKString(d.text).toDouble(), d.value) << d.text;
    }
    // Many unit letters never overrun the collection area.
    EXPECT_NO_FATAL_FAILURE(VKString(std::string(600, 'T').c_str()).toDouble());
    EXPECT_DOUBLE_EQ(VKString(("7" + std::string(300, 'x')).c_str()).toDouble(), 7);

    struct Integer
    {
        const char* text;
        int scanned;
        long integer;
    };
    const Integer integers[] = {{"42", 42, 42}, {"  -17x", -17, -17},
                                {"abc", 0, 0},  {"", 0, 0},
                                {"+5", 5, 5},   {"99999999999", 2147483647, 99999999999L},
                                {"3.9", 3, 3}};
    for (const auto& i : integers) {
        EXPECT_EQ(VKString(i.text).scanInt(), i.scanned) << i.text;
        EXPECT_EQ(VKString(i.text).asInteger(), i.integer) << i.text;
    }
}

TEST(VKString, CopiesAndLengthPrefixedForm)
{
    VKString s("hello");
    char* copy = s.copyString();
    EXPECT_STREQ(copy, "hello");
    delete[] copy;
    char dst[16];
    EXPECT_STREQ(s.copyString(dst, 3), "hel");
    EXPECT_STREQ(s.copyString(dst, -1), "hello");
    EXPECT_STREQ(s.copyString(dst, 9), "hello");
    EXPECT_EQ(s.copyString(nullptr, 3), nullptr);

    Str255 form;
    std::memset(form, 0xEE, sizeof form);
    VKString("0123456789").toStr255(form);
    EXPECT_EQ(form[0], 10);
    EXPECT_EQ(std::memcmp(form + 1, "0123456789", 10), 0);
    for (int i = 11; i < 256; ++i) {
        ASSERT_EQ(form[i], 0) << i;
    }
    // Long texts: the length byte matches the characters held.
    for (int length : {253, 254, 255, 300}) {
        std::memset(form, 0xEE, sizeof form);
        VKString(std::string(static_cast<size_t>(length), 'k').c_str()).toStr255(form);
        const int held = length < 255 ? length : 255;
        EXPECT_EQ(form[0], held);
        for (int i = 1; i <= held; ++i) {
            ASSERT_EQ(form[i], 'k') << length << " " << i;
        }
        for (int i = held + 1; i < 256; ++i) {
            ASSERT_EQ(form[i], 0) << length << " " << i;
        }
    }

    const unsigned char abc[256] = {3, 'a', 'b', 'c', 'd', 'e', 'f'};
    VKString back;
    back.asString(abc);
    EXPECT_STREQ(back, "abc");
    EXPECT_EQ(back.getLength(), 3);
    const unsigned char early[256] = {5, 'a', 0, 'c'};
    back.asString(early);
    EXPECT_STREQ(back, "a");

    VKString hex;
    VKString("abc").toHexString(hex);
    EXPECT_STREQ(hex, "616263");
    VKString("\xA5").toHexString(hex);
    EXPECT_STREQ(hex, "A5");
}

TEST(VKScanner, TokensQuotesAndEscapes)
{
    struct Case
    {
        const char* text;
        std::vector<std::string> tokens;
    };
    const Case cases[] = {
        {"  one, two", {"one", "two"}},
        {"\"a,b\"", {"a,b"}},
        {"\"a,b\", c", {"a,b", "c"}},
        {"x\\\"y", {"x\"y"}},
        {"x\\ny", {"x\\ny"}},
        {"\\(a\\)\\\\", {"(a)\\"}},
        {"", {""}},
        {"a,,b", {"a", "", "b"}},
        {"a,", {"a", ""}},
        {"\"", {""}},         // a lone quote
        {"\",x", {","}},      // the quote swallows the rest: one token without its first and last
        {"\"ab", {"a"}},      // unterminated quote: first and last character left out
        {"two  ", {"two  "}}, // trailing blanks stay
        {"a\\", {"a\\"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<std::string> tokens;
        VKString token("stale");
        const char* p = c.text;
        VKScanner scanner;
        do {
            p = scanner.scanNextToken(p, token, ',');
            tokens.emplace_back(token);
        } while (p != nullptr && tokens.size() < 10);
        EXPECT_EQ(tokens, c.tokens);
    }
    VKString token("stale");
    EXPECT_EQ(VKScanner::scanNextToken(nullptr, token, ','), nullptr);
    EXPECT_STREQ(token, "");
}
