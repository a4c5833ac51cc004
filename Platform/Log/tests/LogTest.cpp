#include "platform/Log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <unistd.h>

using platform::log::Capture;
using platform::log::Channel;

TEST(Log, EachChannelIsCapturedLineByLine)
{
    Capture kernel(Channel::kernel);
    Capture system(Channel::system);
    Capture out(Channel::standardOutput);

    IOLog("USB: %s %d\n", "frames", 48);
    platform::syslog(4, "HAL: %s\n", "trace");
    platform::printOut("AudioSM::init mMaxFrames:%d\n", 65536);

    EXPECT_EQ(kernel.texts(), std::vector<std::string>{"USB: frames 48"});
    ASSERT_EQ(system.lines().size(), 1u);
    EXPECT_EQ(system.lines()[0].priority, 4);
    EXPECT_EQ(system.lines()[0].text, "HAL: trace");
    EXPECT_TRUE(out.contains("mMaxFrames:65536"));
}

TEST(Log, PiecesJoinUntilTheLineEndsAndOneWriteMaySplitIntoLines)
{
    Capture kernel(Channel::kernel);
    IOLog("USB: %s", "first");
    EXPECT_TRUE(kernel.texts().empty());
    IOLog(" half\nsecond\nthird");
    IOLog("\n");
    EXPECT_EQ(kernel.texts(), (std::vector<std::string>{"USB: first half", "second", "third"}));
    kernel.clear();
    EXPECT_TRUE(kernel.texts().empty());
}

TEST(Log, EverySystemLogCallIsAMessageOfItsOwn)
{
    Capture system(Channel::system);
    platform::syslog(3, "QzIORegistryPrefs: %s", "Could not create CFData");
    platform::syslog(5, "second\n");
    EXPECT_EQ(system.texts(),
              (std::vector<std::string>{"QzIORegistryPrefs: Could not create CFData", "second"}));
    EXPECT_EQ(system.lines()[0].priority, 3);
}

TEST(Log, LongLinesAreNotCut)
{
    Capture out(Channel::standardOutput);
    const std::string longText(10'000, 'x');
    platform::printOut("%s\n", longText.c_str());
    ASSERT_EQ(out.texts().size(), 1u);
    EXPECT_EQ(out.texts()[0], longText);
}

TEST(Log, ConcurrentWritersKeepWholeLines)
{
    Capture system(Channel::system);
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < 100; ++i) {
                platform::syslog(5, "writer %d line %d\n", t, i);
            }
        });
    }
    for (auto& w : writers) {
        w.join();
    }
    const auto lines = system.texts();
    ASSERT_EQ(lines.size(), 400u);
    for (const auto& line : lines) {
        EXPECT_EQ(line.rfind("writer ", 0), 0u) << line;
    }
}

TEST(Log, AWriterNeverWaitsForABlockedDestination)
{
    // The drainer writes into a pipe nobody reads, so it blocks once the pipe is full, holding
    // the drainer's lock. Writers must still return at once; what did not fit is counted.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    FILE* stuck = fdopen(fds[1], "w");
    ASSERT_NE(stuck, nullptr);
    platform::log::setDestination(Channel::kernel, stuck);

    const std::string filler(900, 'x');
    constexpr int kLines = 5'000;
    std::thread drainer([] { platform::log::flush(); });
    std::promise<void> wrote;
    std::thread writer([&] {
        for (int i = 0; i < kLines; ++i) {
            IOLog("%s %d\n", filler.c_str(), i);
        }
        wrote.set_value();
    });
    const bool returned = wrote.get_future().wait_for(std::chrono::seconds(60)) == std::future_status::ready;

    // Unblock the destination and collect what reached it.
    std::string received;
    std::thread reader([fd = fds[0], &received] {
        char buffer[65'536];
        for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
            received.append(buffer, static_cast<size_t>(n));
        }
    });
    platform::log::setDestination(Channel::kernel, stderr);
    drainer.join();
    writer.join();
    fclose(stuck);
    reader.join();
    close(fds[0]);
    EXPECT_TRUE(returned) << "writers returned while the destination was blocked";

    // Every line either reached the destination, in order, or was counted as dropped.
    int delivered = 0;
    long dropped = 0;
    int previous = -1;
    for (size_t at = 0, end; (end = received.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = received.substr(at, end - at);
        if (line.rfind(filler + " ", 0) == 0) {
            const int index = std::stoi(line.substr(filler.size() + 1));
            EXPECT_GT(index, previous);
            previous = index;
            ++delivered;
        } else if (line.rfind("log: ", 0) == 0) {
            dropped += std::stol(line.substr(5));
        }
    }
    EXPECT_GT(delivered, 0);
    EXPECT_GT(dropped, 0) << "the queue overflowed while the destination was blocked";
    EXPECT_EQ(delivered + dropped, kLines);

    Capture kernel(Channel::kernel);
    IOLog("after\n");
    EXPECT_EQ(kernel.texts(), std::vector<std::string>{"after"});
}
