// The AudioServer plug-in's trace lines and probe points.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "QzAudioServerProbes.h"
#include "VKIOTrace.h"
#include "platform/Log.h"

namespace {

using platform::log::Capture;
using platform::log::Channel;

std::vector<std::string> lines(const Capture& capture)
{
    platform::log::flush();
    return capture.texts();
}

TEST(VKIOTraceASD, NamedScopesAreNumberedAndIndentedSilentOnesOnlyNumbered)
{
    Capture capture(Channel::system);
    const int first = VKIOTrace::iTracefnCounter.load() + 1;
    {
        VKIOTrace outer("outer", 7);
        {
            VKIOTrace silent(nullptr, 0);
            silent.trace("never written", 1);
        }
        VKIOTrace inner("inner", static_cast<const void*>(nullptr));
        inner.trace("values", 1, 2, 3);
        inner.tracex("hex", 10);
        inner.trace4c("Selector", 0x64657623U);
        inner.tracef("rate", 44100.0);
    }
    const std::vector<std::string> expected = {
        "+ASD  outer 7 " + std::to_string(first),
        "+ASD    inner (nil) " + std::to_string(first + 2),
        "ASD      values 1 2 3",
        "ASD      hex 0x0000000A",
        "ASD      Selector dev#",
        "ASD      rate 44100.00",
        "-ASD    inner " + std::to_string(first + 2),
        "-ASD  outer " + std::to_string(first),
    };
    EXPECT_EQ(lines(capture), expected);
    for (const platform::log::Line& line : capture.lines()) {
        EXPECT_EQ(line.priority, platform::log::kPriorityWarning);
    }
}

TEST(VKIOTraceASD, DeepNestingStopsIndentingInsteadOfOverflowing)
{
    Capture capture(Channel::system);
    std::vector<std::unique_ptr<VKIOTrace>> scopes;
    for (int i = 0; i < 40; ++i) {
        scopes.push_back(std::make_unique<VKIOTrace>("deep", i));
    }
    scopes.back()->trace("bottom");
    while (!scopes.empty()) {
        scopes.pop_back();
    }
    const std::vector<std::string> texts = lines(capture);
    ASSERT_EQ(texts.size(), 81U);
    EXPECT_EQ(texts[40], "ASD " + std::string(60, ' ') + " bottom");
    EXPECT_EQ(VKIOTrace::iCountNestedTraces.load(), 0);
}

// Scopes opened and closed on several threads at once: every scope gets its own number and the
// depth comes back to 0.
TEST(VKIOTraceASD, ScopesOnManyThreadsKeepTheCountAndTheDepth)
{
    constexpr int kThreads = 4;
    constexpr int kScopes = 2'000;
    const int before = VKIOTrace::iTracefnCounter.load();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < kScopes; ++i) {
                VKIOTrace outer(nullptr, i);
                VKIOTrace inner(nullptr, i);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(VKIOTrace::iTracefnCounter.load() - before, kThreads * kScopes * 2);
    EXPECT_EQ(VKIOTrace::iCountNestedTraces.load(), 0);
}

struct Received
{
    std::vector<QzAudioServer::Firing> firings;
};

void receive(const QzAudioServer::Firing& firing, void* context)
{
    static_cast<Received*>(context)->firings.push_back(firing);
}

TEST(QzAudioServerProbes, OnlyEnabledProbesFireWithTheirArguments)
{
    int computed = 0;
    const auto argument = [&computed] { return ++computed; };
    if (QZAUDIOSERVER_LATENCYMONITOR_ENABLED()) {
        QZAUDIOSERVER_LATENCYMONITOR(argument(), argument());
    }
    EXPECT_EQ(computed, 0);

    Received received;
    QzAudioServer::setReceiver(receive, &received,
                               1U << static_cast<int>(QzAudioServer::Probe::inputMonitor));
    if (QZAUDIOSERVER_LATENCYMONITOR_ENABLED()) {
        QZAUDIOSERVER_LATENCYMONITOR(argument(), argument());
    }
    if (QZAUDIOSERVER_INPUTMONITOR_ENABLED()) {
        QZAUDIOSERVER_INPUTMONITOR(-5, 256, 1000, 900, 2, 64);
    }
    QzAudioServer::setReceiver(nullptr, nullptr, 0);
    EXPECT_EQ(computed, 0);
    ASSERT_EQ(received.firings.size(), 1U);
    const QzAudioServer::Firing& firing = received.firings.front();
    EXPECT_EQ(firing.probe, QzAudioServer::Probe::inputMonitor);
    ASSERT_EQ(firing.count, 6);
    EXPECT_EQ(firing.arguments[0], -5);
    EXPECT_EQ(firing.arguments[5], 64);
    EXPECT_FALSE(QZAUDIOSERVER_INPUTMONITOR_ENABLED());
}

// Floating arguments are truncated towards zero and wrap like integers: a negative value, a value
// beyond the type and no number at all each arrive as a defined value.
TEST(QzAudioServerProbes, FloatingArgumentsTruncateAndWrapDefinedly)
{
    Received received;
    QzAudioServer::setReceiver(receive, &received,
                               (1U << static_cast<int>(QzAudioServer::Probe::driftCorrectionMonitor)) |
                                   (1U << static_cast<int>(QzAudioServer::Probe::inputMonitor)));
    const double logCorrelation = -823.7; // log10(1 - r) * 100 of a good fit
    if (QZAUDIOSERVER_DRIFTCORRECTIONMONITOR_ENABLED()) {
        QZAUDIOSERVER_DRIFTCORRECTIONMONITOR(logCorrelation, 1.9, -0.5, 1e30, -1e30, std::nan(""), 20'833.9);
    }
    if (QZAUDIOSERVER_INPUTMONITOR_ENABLED()) {
        QZAUDIOSERVER_INPUTMONITOR(3e9, -2.5, 0.0, 0, 0, 0);
    }
    QzAudioServer::setReceiver(nullptr, nullptr, 0);
    ASSERT_EQ(received.firings.size(), 2U);
    const int64_t* drift = received.firings[0].arguments;
    EXPECT_EQ(drift[0], -823);
    EXPECT_EQ(static_cast<uint64_t>(drift[0]), UINT64_MAX - 822) << "as the unsigned probe type: wrapped";
    EXPECT_EQ(drift[1], 1);
    EXPECT_EQ(drift[2], 0);
    EXPECT_EQ(drift[3], INT64_MAX);
    EXPECT_EQ(drift[4], INT64_MIN);
    EXPECT_EQ(drift[5], 0);
    EXPECT_EQ(drift[6], 20'833);
    const int64_t* input = received.firings[1].arguments;
    EXPECT_EQ(input[0], static_cast<int>(static_cast<int64_t>(3e9))) << "narrowed to int as an integer is";
    EXPECT_EQ(input[1], -2);
}

} // namespace
