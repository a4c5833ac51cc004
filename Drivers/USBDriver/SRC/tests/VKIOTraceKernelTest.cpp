#include "VKIOTrace.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/Log.h"

using platform::log::Capture;
using platform::log::Channel;

namespace {

std::string pointerText(const void* p)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "0x%p", p);
    return buffer;
}

// A line split into its number and the rest after "NNNNNN: ".
struct Parsed
{
    int number;
    std::string rest;
};

Parsed parse(const std::string& line)
{
    EXPECT_GE(line.size(), 8u) << line;
    EXPECT_EQ(line.substr(6, 2), ": ") << line;
    return {std::stoi(line.substr(0, 6)), line.substr(8)};
}

} // namespace

TEST(VKIOTraceKernel, NestedScopesNumberAndIndentTheirLines)
{
    Capture log(Channel::kernel);
    {
        VKIOTrace outer("outer", 5);
        {
            VKIOTrace inner("inner", 7);
        }
    }
    const auto lines = log.texts();
    ASSERT_EQ(lines.size(), 4u);
    const std::vector<std::string> expected = {"+outer 5", "  +inner 7", "  -inner", "-outer"};
    const int first = parse(lines[0]).number;
    for (size_t i = 0; i < lines.size(); ++i) {
        const Parsed p = parse(lines[i]);
        EXPECT_EQ(p.number, first + static_cast<int>(i));
        EXPECT_EQ(p.rest, expected[i]);
    }
    EXPECT_EQ(VKIOTrace::iCountNestedTraces.load(), 0);
}

TEST(VKIOTraceKernel, SilentObjectWritesNothingAndKeepsTheDepth)
{
    Capture log(Channel::kernel);
    {
        VKIOTrace silent(nullptr, 1);
        silent.trace("never");
        silent.trace("never", 1, 2, 3, 4);
        silent.tracex("never", 1);
        silent.traces("never", "x");
        silent.tracelog("never %d\n", 1);
        EXPECT_EQ(VKIOTrace::iCountNestedTraces.load(), 0);
    }
    EXPECT_EQ(VKIOTrace::iCountNestedTraces.load(), 0);
    EXPECT_TRUE(log.texts().empty());
}

TEST(VKIOTraceKernel, EachOperationWritesItsFormat)
{
    int object = 0;
    const void* p = &object;
    const void* q = &p;
    struct Case
    {
        void (*write)(VKIOTrace&, const void*, const void*);
        std::string expected; // after the head and the scope's indentation
    };
    const std::vector<Case> cases = {
        {[](VKIOTrace& t, const void*, const void*) { t.trace("text"); }, "text"},
        {[](VKIOTrace& t, const void*, const void*) { t.trace("one", -1); }, "one -1"},
        {[](VKIOTrace& t, const void*, const void*) { t.trace("two", 1, 2); }, "two 1 2"},
        {[](VKIOTrace& t, const void*, const void*) { t.trace("three", 1, 2, 3); }, "three 1 2 3"},
        {[](VKIOTrace& t, const void*, const void*) { t.trace("four", 1, 2, 3, 4); }, "four 1 2 3 4"},
        {[](VKIOTrace& t, const void*, const void*) { t.tracex("x", 255); }, "x 0x000000FF"},
        {[](VKIOTrace& t, const void*, const void*) { t.tracex2("x2", 1, -1); }, "x2 0x00000001 0xFFFFFFFF"},
        {[](VKIOTrace& t, const void*, const void*) { t.tracex3("x3", 1, 2, 0xABC); },
         "x3 0x00000001 0x00000002 0x00000ABC"},
        {[](VKIOTrace& t, const void* a, const void*) { t.traceptr1("p1", a); }, "p1 " + pointerText(p)},
        {[](VKIOTrace& t, const void* a, const void* b) { t.traceptr2("p2", a, b); },
         "p2 " + pointerText(p) + " " + pointerText(q)},
        {[](VKIOTrace& t, const void* a, const void*) { t.traceptr_i("pi", a, 9); }, "pi " + pointerText(p) + " 9"},
        {[](VKIOTrace& t, const void*, const void*) { t.traces("s", "word"); }, "s word"},
        {[](VKIOTrace& t, const void*, const void*) { t.tracelog("log %d/%s\n", 3, "z"); }, "log 3/z"},
    };
    for (const Case& c : cases) {
        Capture log(Channel::kernel);
        {
            VKIOTrace scope("scope", p);
            c.write(scope, p, q);
        }
        const auto lines = log.texts();
        ASSERT_EQ(lines.size(), 3u) << c.expected;
        EXPECT_EQ(parse(lines[0]).rest, "+scope " + pointerText(p));
        EXPECT_EQ(parse(lines[1]).rest, "  " + c.expected);
        EXPECT_EQ(parse(lines[2]).rest, "-scope");
    }
}

TEST(VKIOTraceKernel, DeepNestingCutsTheHeadAt511Characters)
{
    // 8 characters of number and 2 per level: 300 levels would need 608.
    VKIOTrace::iCountNestedTraces.store(300);
    Capture log(Channel::kernel);
    {
        VKIOTrace deep("deep", 1);
    }
    VKIOTrace::iCountNestedTraces.store(0);
    const auto lines = log.texts();
    ASSERT_EQ(lines.size(), 2u);
    for (const std::string& line : lines) {
        const size_t nameAt = line.find_first_of("+-");
        EXPECT_EQ(nameAt, 511u);
        EXPECT_EQ(line.find_first_not_of(' ', 8), 511u);
    }
}

TEST(VKIOTraceKernel, ConcurrentLinesKeepWholeHeadsAndDistinctNumbers)
{
    constexpr int kThreads = 4;
    constexpr int kLines = 100; // well below what the log holds before it drops lines
    Capture log(Channel::kernel);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            VKIOTrace scope("worker", t);
            for (int i = 0; i < kLines; ++i) {
                scope.trace("line", t, i);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    platform::log::flush();
    const auto lines = log.texts();
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * (kLines + 2)));
    std::set<int> numbers;
    for (const std::string& line : lines) {
        const Parsed p = parse(line);
        numbers.insert(p.number);
        const size_t text = p.rest.find_first_not_of(' ');
        ASSERT_NE(text, std::string::npos) << line;
        const std::string body = p.rest.substr(text);
        EXPECT_TRUE(body.rfind("line ", 0) == 0 || body.rfind("+worker ", 0) == 0 || body == "-worker") << line;
    }
    EXPECT_EQ(numbers.size(), lines.size());
    EXPECT_EQ(VKIOTrace::iCountNestedTraces.load(), 0);
}
