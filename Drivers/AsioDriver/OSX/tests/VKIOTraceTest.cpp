#include "VKIOTrace.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "platform/Log.h"

using platform::log::Capture;
using platform::log::Channel;

namespace {
std::string pointerText(void* p)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%p", p);
    return buffer;
}
} // namespace

TEST(VKIOTraceHAL, NestedScopesIndentTheirLines)
{
    Capture log(Channel::system);
    int object = 0;
    {
        VKIOTrace outer("AudioSM::init", &object);
        outer.trace("nChannels, nFrequency", 2, 48000);
        {
            VKIOTrace inner("TimeStampsBuffer::Init", 7);
        }
    }
    const std::string p = pointerText(&object);
    const std::vector<std::string> expected = {
        "+HAL:  AudioSM::init " + p,         "HAL:    nChannels, nFrequency 2 48000",
        "+HAL:    TimeStampsBuffer::Init 7", "-HAL:    TimeStampsBuffer::Init " + pointerText(nullptr),
        "-HAL:  AudioSM::init " + p,
    };
    EXPECT_EQ(log.texts(), expected);
    for (const auto& line : log.lines()) {
        EXPECT_EQ(line.priority, 4);
    }
    EXPECT_EQ(VKIOTrace::iCountNestedTraces.load(), 0);
}

TEST(VKIOTraceHAL, UnnamedTraceIsSilentAndLeavesTheCountAlone)
{
    Capture log(Channel::system);
    {
        VKIOTrace silent(nullptr, 0);
        silent.trace("never", 1, 2);
        EXPECT_EQ(VKIOTrace::iCountNestedTraces.load(), 0);
    }
    EXPECT_TRUE(log.texts().empty());
}

TEST(VKIOTraceHAL, CommonOperationsWriteTheirValues)
{
    int object = 0;
    struct Case
    {
        void (*write)(VKIOTrace&, const void*);
        std::string expected;
    };
    const std::vector<Case> cases = {
        {[](VKIOTrace& t, const void*) { t.trace("none"); }, "HAL:    none"},
        {[](VKIOTrace& t, const void*) { t.trace("one", 1); }, "HAL:    one 1"},
        {[](VKIOTrace& t, const void*) { t.trace("three", 1, 2, -3); }, "HAL:    three 1 2 -3"},
        {[](VKIOTrace& t, const void*) { t.tracex2("hex", 255, -1); }, "HAL:    hex 0x000000FF 0xFFFFFFFF"},
        {[](VKIOTrace& t, const void* p) { t.traceptr1("ptr", p); }, "HAL:    ptr " + pointerText(&object)},
        {[](VKIOTrace& t, const void* p) { t.traceptr2("ptrs", p, nullptr); },
         "HAL:    ptrs " + pointerText(&object) + " " + pointerText(nullptr)},
    };
    for (const Case& c : cases) {
        Capture log(Channel::system);
        {
            VKIOTrace scope("scope", 0);
            c.write(scope, &object);
        }
        const auto texts = log.texts();
        ASSERT_EQ(texts.size(), 3u);
        EXPECT_EQ(texts[1], c.expected);
    }
}
