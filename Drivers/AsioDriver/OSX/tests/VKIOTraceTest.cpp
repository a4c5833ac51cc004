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
