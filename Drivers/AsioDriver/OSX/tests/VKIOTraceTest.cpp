#include "VKIOTrace.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

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
        {[](VKIOTrace& t, const void* p) { t.traceptr1("ptr", p); }, "HAL:    ptr  " + pointerText(&object)},
        {[](VKIOTrace& t, const void* p) { t.traceptr2("ptrs", p, nullptr); },
         "HAL:    ptrs  " + pointerText(&object) + "  " + pointerText(nullptr)},
        {[](VKIOTrace& t, const void* p) { t.traceptr1_i("ptr, int", p, -7); },
         "HAL:    ptr, int  " + pointerText(&object) + " -7"},
        {[](VKIOTrace& t, const void*) { t.tracef("rate", 44.1049); }, "HAL:    rate 44.10"},
        {[](VKIOTrace& t, const void*) { t.trace4c("selector", 0x6E737274); }, "HAL:    selector nsrt"},
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

TEST(VKIOTraceHAL, DeepScopesStopIndentingAtTheHeadersBuffer)
{
    Capture log(Channel::system);
    {
        std::vector<std::unique_ptr<VKIOTrace>> scopes;
        for (int i = 0; i < 40; ++i) {
            scopes.push_back(std::make_unique<VKIOTrace>("deep", i));
        }
        scopes.back()->trace("bottom");
    }
    const auto texts = log.texts();
    ASSERT_GE(texts.size(), 41u);
    // "HAL: " and 66 spaces: 71 characters and the terminator fill the 72 bytes.
    EXPECT_EQ(texts[40], "HAL: " + std::string(66, ' ') + " bottom");
    EXPECT_EQ(texts[33], "+HAL: " + std::string(66, ' ') + " deep 33");
    EXPECT_EQ(VKIOTrace::iCountNestedTraces.load(), 0);
}

TEST(VKIOTraceHAL, DbgPrintWritesItsLineAtPriorityFour)
{
    Capture log(Channel::system);
    DbgPrint("device %d at %s\n", 3, "48k");
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.texts()[0], "device 3 at 48k");
    EXPECT_EQ(log.lines()[0].priority, 4);
}
