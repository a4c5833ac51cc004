#include "AudioSM.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
#include <sched.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "StoringPairWriter.h"
#include "platform/Log.h"

namespace {

// The value a test writer puts into sample `channel` of frame `position`.
int32_t sampleValue(uint64_t position, uint32_t channel)
{
    return static_cast<int32_t>(position * 64 + channel + 1);
}

uint8_t extraValue(uint64_t position, uint32_t byte)
{
    return static_cast<uint8_t>(position * 3 + byte + 1);
}

struct AudioSMFixture : ::testing::Test
{
    std::unique_ptr<AudioSM> ring = std::make_unique<AudioSM>();
    platform::log::Capture out{platform::log::Channel::standardOutput};
    platform::log::Capture trace{platform::log::Channel::system};
};

// Records each converter call: where it wrote or read, and how many samples.
struct Call
{
    const int32_t* destination;
    const int32_t* source;
    int32_t count;
};
std::vector<Call> g_calls;
void recordingConverter(int32_t* destination, const int32_t* source, int32_t count)
{
    g_calls.push_back({destination, source, count});
}

} // namespace

TEST_F(AudioSMFixture, InitLaysTheRingOutForChannelsRateAndExtraBytes)
{
    struct Case
    {
        uint32_t channels, frequency, extra;
        uint32_t expectChannels;
        uint64_t maxFrames;
        uint32_t audioBytes, extraOffset, extraBytes;
        uint64_t ticksPerBuffer;
    };
    const Case cases[] = {
        {2, 48'000, 0, 2, 65'536, 524'288, 524'288, 0, 1'365'333'333},
        {1, 48'000, 0, 1, 131'072, 524'288, 524'288, 0, 2'730'666'666},
        {4, 44'100, 0, 4, 32'768, 524'288, 524'288, 0, 743'038'548},
        {6, 44'100, 0, 6, 16'384, 393'216, 393'216, 0, 371'519'274},
        {8, 96'000, 0, 8, 16'384, 524'288, 524'288, 0, 170'666'666},
        {32, 192'000, 0, 32, 4'096, 524'288, 524'288, 0, 21'333'333},
        {2, 48'000, 2, 2, 32'768, 262'144, 262'144, 65'536, 682'666'666},
        {3, 48'000, 2, 3, 32'768, 393'216, 393'216, 65'536, 682'666'666},
        {1, 48'000, 2'100, 1, 1, 4, 16, 2'100, 20'833},
        {0, 48'000, 0, 2, 65'536, 524'288, 524'288, 0, 1'365'333'333},
        {40, 48'000, 0, 2, 65'536, 524'288, 524'288, 0, 1'365'333'333},
        {2, 0, 0, 2, 65'536, 524'288, 524'288, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.channels << " ch " << c.frequency << " Hz extra " << c.extra);
        ring->init(c.channels, c.frequency, c.extra);
        EXPECT_EQ(ring->mChannels, c.expectChannels);
        EXPECT_EQ(ring->mAudioBytesPerFrame, c.expectChannels * 4);
        EXPECT_EQ(ring->mBytesPerFrame, c.expectChannels * 4 + c.extra);
        EXPECT_EQ(shared::load(ring->mMaxFrames), c.maxFrames);
        EXPECT_EQ(ring->mAudioBytes, c.audioBytes);
        EXPECT_EQ(ring->mExtraOffset, c.extraOffset);
        EXPECT_EQ(ring->mExtraBytes, c.extraBytes);
        EXPECT_EQ(shared::load(ring->mAnchorSpan), c.frequency / 4);
        EXPECT_EQ(ring->mAnchorSelect, 1u);
        EXPECT_EQ(ring->mState, AudioSM::kStateInitialised);
        EXPECT_EQ(ring->mTimebaseNumerator, 1u);
        EXPECT_EQ(ring->mTimebaseDenominator, 1u);
        EXPECT_EQ(shared::load(ring->mHostTicksPerBuffer), c.ticksPerBuffer);
        EXPECT_TRUE(ring->geometry().usable());
    }
    const auto lines = out.texts();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "AudioSM::init nChannels is 0"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "AudioSM::init nChannels is 40"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "AudioSM::init mMaxFrames:65536"), lines.end());
    EXPECT_TRUE(trace.contains("AudioSM::init"));
    EXPECT_TRUE(trace.contains("nChannels, nFrequency 2 48000"));
}

TEST_F(AudioSMFixture, InitKeepsTheAttachFieldsAndClearsTheRest)
{
    ring->mAttachHostTime = 11;
    ring->mOutputPos = 22;
    ring->mWriteCount = 33;
    ring->mFramesWritten = 44;
    ring->mState = AudioSM::kStateRunning;
    ring->mSamples[5] = 7;
    ring->init(2, 48'000, 0);
    EXPECT_EQ(shared::load(ring->mAttachHostTime), 11u);
    EXPECT_EQ(shared::load(ring->mOutputPos), 22u);
    EXPECT_EQ(shared::load(ring->mWriteCount), 33u);
    EXPECT_EQ(shared::load(ring->mFramesWritten), 0u);
    EXPECT_EQ(ring->mState, 0u);
    EXPECT_EQ(ring->mSamples[5], 0);
}

TEST_F(AudioSMFixture, WriterAndReaderExchangeAudioAndExtraBytesAcrossManyWraps)
{
    constexpr uint32_t kChannels = 32;
    constexpr uint32_t kExtra = 2;
    ring->init(kChannels, 48'000, kExtra);
    ASSERT_EQ(shared::load(ring->mMaxFrames), 2'048u);

    uint64_t writePos = 0;
    uint64_t readPos = 0;
    std::vector<int32_t> in(kChannels * 100);
    std::vector<uint8_t> extraIn(kExtra * 100);
    std::vector<int32_t> got(kChannels * 77);
    std::vector<uint8_t> extraGot(kExtra * 77);
    // Write 100 frames at a time, read 77: positions cross the ring's end at every phase.
    while (writePos < 3 * 2'048 + 500) {
        for (uint32_t f = 0; f < 100; ++f) {
            for (uint32_t c = 0; c < kChannels; ++c) {
                in[f * kChannels + c] = sampleValue(writePos + f, c);
            }
            for (uint32_t b = 0; b < kExtra; ++b) {
                extraIn[f * kExtra + b] = extraValue(writePos + f, b);
            }
        }
        ring->writeFrames(in.data(), 100, 0, nullptr, extraIn.data());
        writePos += 100;
        ASSERT_EQ(ring->getFramePos(), writePos);
        while (ring->getAvailableFrames(readPos) >= 77) {
            const uint64_t first = readPos;
            uint64_t host = 1;
            ring->read(readPos, got.data(), 77, host, audioInt32CopySet, extraGot.data());
            ASSERT_EQ(readPos, first + 77);
            EXPECT_EQ(host, 0u) << "no anchor published yet";
            for (uint32_t f = 0; f < 77; ++f) {
                for (uint32_t c = 0; c < kChannels; ++c) {
                    ASSERT_EQ(got[f * kChannels + c], sampleValue(first + f, c)) << "frame " << first + f;
                }
                for (uint32_t b = 0; b < kExtra; ++b) {
                    ASSERT_EQ(extraGot[f * kExtra + b], extraValue(first + f, b)) << "frame " << first + f;
                }
            }
        }
    }
    EXPECT_EQ(shared::load(ring->mWriteCount), 1u)
        << "without a zero time stamp every write restarts the count";
}

TEST_F(AudioSMFixture, ARequestIsSplitOnlyWhereItCrossesTheRingsEnd)
{
    ring->init(2, 48'000, 0);
    const uint32_t maxFrames = static_cast<uint32_t>(ring->mMaxFrames);
    std::vector<int32_t> source(2 * 300);

    // Ends exactly at the ring's end: one call.
    ring->setFramePos(maxFrames - 100);
    g_calls.clear();
    ring->writeFrames(source.data(), 100, 0, recordingConverter, nullptr);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].destination, ring->mSamples + 2 * (maxFrames - 100));
    EXPECT_EQ(g_calls[0].count, 200);

    // One frame more: the rest starts at ring frame 0, the source advanced by the first piece.
    ring->setFramePos(maxFrames - 100);
    g_calls.clear();
    ring->writeFrames(source.data(), 101, 0, recordingConverter, nullptr);
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[0].count, 200);
    EXPECT_EQ(g_calls[1].destination, ring->mSamples);
    EXPECT_EQ(g_calls[1].source, source.data() + 200);
    EXPECT_EQ(g_calls[1].count, 2);

    // The offset moves the place, not the frame position.
    ring->setFramePos(0);
    g_calls.clear();
    ring->writeFrames(source.data(), 10, maxFrames - 5, recordingConverter, nullptr);
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[0].destination, ring->mSamples + 2 * (maxFrames - 5));
    EXPECT_EQ(ring->getFramePos(), 10u);
    EXPECT_EQ(shared::load(ring->mWriteOffset), maxFrames - 5);
    EXPECT_EQ(ring->getAvailableFrames(3), static_cast<int32_t>(maxFrames - 5 + 10 - 3));

    // Reading has no default converter: a null one copies nothing and still advances.
    uint64_t position = 5;
    uint64_t host = 0;
    ring->read(position, source.data(), 50, host, nullptr, nullptr);
    EXPECT_EQ(position, 55u);
}

TEST_F(AudioSMFixture, ExtraBytesTravelWithoutSamplesAndAreDeliveredOnce)
{
    ring->init(2, 48'000, 3);
    const uint8_t extra[6] = {1, 2, 3, 4, 5, 6};
    ring->writeFrames(nullptr, 2, 0, nullptr, extra);
    EXPECT_EQ(ring->getFramePos(), 2u);

    uint8_t got[6] = {};
    uint64_t position = 0;
    uint64_t host = 0;
    ring->read(position, nullptr, 2, host, nullptr, got);
    EXPECT_EQ(std::memcmp(got, extra, 6), 0);
    position = 0;
    ring->read(position, nullptr, 2, host, nullptr, got);
    EXPECT_EQ(got[0] + got[1] + got[2] + got[3] + got[4] + got[5], 0) << "the second read finds them cleared";
}

TEST_F(AudioSMFixture, ClientWritesAtAnExplicitPositionFromItsOwnLayout)
{
    // A 4-channel ring fed from 6-channel frames through the subset copy: the second piece's
    // source advances by whole 6-channel frames of the caller's layout.
    ring->init(4, 48'000, 0);
    const uint64_t maxFrames = ring->mMaxFrames;
    std::vector<int32_t> caller(6 * 10);
    for (size_t i = 0; i < caller.size(); ++i) {
        caller[i] = static_cast<int32_t>(i * 256);
    }
    const uint64_t position = 7 * maxFrames - 4; // four frames before the end
    ring->writeFramesToKernelAtPos(caller.data(), 10, position, 0, 6, audioInt32CopyShift6To4, 4);
    EXPECT_EQ(ring->getFramePos(), position + 10);
    for (uint32_t f = 0; f < 10; ++f) {
        const uint64_t ringFrame = (position + f) % maxFrames;
        for (uint32_t c = 0; c < 4; ++c) {
            EXPECT_EQ(ring->mSamples[ringFrame * 4 + c], static_cast<int32_t>(f * 6 + c)) << f << "/" << c;
        }
    }

    // And back out as packed 16-bit samples, two bytes each.
    std::vector<uint8_t> packed(10 * 4 * 2 + 1, 0xEE);
    uint64_t readPos = position;
    ring->readFromKernel(readPos, reinterpret_cast<int32_t*>(packed.data()), 10, audioInt32to16Copy, 2);
    EXPECT_EQ(readPos, position + 10);
    EXPECT_EQ(packed.back(), 0xEE);
    EXPECT_EQ(packed[2 * 4 * 9], 0); // frame 9, channel 0: value 54 has no upper 16 bits
}

TEST_F(AudioSMFixture, AnchorsPublishAfterAQuarterSecondAndReadsFollowThem)
{
    ring->init(2, 48'000, 0);
    ring->writeTimestamp(1'000'000);
    ring->writeFrames(nullptr, 11'999, 0, nullptr, nullptr);
    ring->writeTimestamp(1'249'979);
    EXPECT_EQ(ring->mAnchorSelect, 1u) << "11,999 frames publish nothing";

    ring->writeFrames(nullptr, 1, 0, nullptr, nullptr);
    ring->writeTimestamp(1'250'000);
    EXPECT_EQ(ring->mAnchorSelect, 0u);
    EXPECT_EQ(shared::load(ring->mAnchorB.mSampleSpan), 12'000u);
    EXPECT_EQ(shared::load(ring->mAnchorB.mHostSpan), 250'000u);

    uint64_t position = 6'000;
    uint64_t host = 0;
    ring->read(position, nullptr, 10, host, nullptr, nullptr);
    EXPECT_EQ(host, 1'125'000u);

    // The next anchor starts where this one ended and lands in A.
    ring->writeFrames(nullptr, 12'000, 0, nullptr, nullptr);
    ring->writeTimestamp(1'500'000);
    EXPECT_EQ(ring->mAnchorSelect, 1u);
    EXPECT_EQ(shared::load(ring->mAnchorA.mSample0), 12'000u);
    EXPECT_EQ(shared::load(ring->mAnchorA.mHost0), 1'250'000u);
}

TEST_F(AudioSMFixture, TheFirstTimeStampRecordsTheStreamsStart)
{
    ring->init(2, 48'000, 0);
    StoringPairWriter kernel;
    const uint64_t ticks = ring->mHostTicksPerBuffer;
    ring->AddTimeStamp(5'000'000'000, 480, true, &kernel);
    ring->AddTimeStamp(5'010'000'000, 480, true, &kernel);
    EXPECT_EQ(shared::load(ring->mStartHostTime), 5'000'000'000 - ticks * 480 / 65'536);
    ASSERT_EQ(ring->mTimeStamps.mCount, 3u);
    EXPECT_EQ(shared::load(ring->mTimeStamps.mSampleTimes[0]), 0u);
    EXPECT_EQ(shared::load(ring->mTimeStamps.mHostTimes[0]), shared::load(ring->mStartHostTime));
    EXPECT_EQ(shared::load(ring->mTimeStamps.mSampleTimes[1]), 480u);
    EXPECT_EQ(shared::load(ring->mTimeStamps.mSampleTimes[2]), 960u);
    EXPECT_TRUE(out.contains("AddTimeStamp"));

    EXPECT_EQ(ring->setZeroSampleTime(960), 5'010'000'000u);
    EXPECT_EQ(shared::load(ring->mZeroSampleTime), 960u);
    EXPECT_EQ(shared::load(ring->mZeroCount), 0u);
    // With a zero time stamp the writer keeps counting its calls.
    ring->writeFrames(nullptr, 1, 0, nullptr, nullptr);
    ring->writeFrames(nullptr, 1, 0, nullptr, nullptr);
    EXPECT_EQ(shared::load(ring->mWriteCount), 2u);
    EXPECT_EQ(shared::load(ring->mZeroSampleTime), 960u);
}

TEST_F(AudioSMFixture, BeforeTheFirstAnchorReadsTakeTheirHostTimeFromThePairs)
{
    ring->init(2, 48'000, 0);
    uint64_t position = 240;
    uint64_t host = 7;
    ring->read(position, nullptr, 10, host, nullptr, nullptr);
    EXPECT_EQ(host, 0u) << "no anchor and no pairs: no time";

    StoringPairWriter kernel;
    ring->AddTimeStamp(5'000'000'000, 480, true, &kernel);
    ring->AddTimeStamp(5'010'000'000, 480, true, &kernel);
    position = 720;
    ring->read(position, nullptr, 10, host, nullptr, nullptr);
    EXPECT_EQ(host, 5'005'000'000u) << "halfway between the pairs at 480 and 960";
    EXPECT_EQ(position, 730u);
}

TEST_F(AudioSMFixture, AScribbledHeaderIsLeftAloneInsteadOfFollowed)
{
    struct Case
    {
        const char* name;
        void (*scribble)(AudioSM&);
    };
    const Case cases[] = {
        {"no channels", [](AudioSM& r) { r.mChannels = 0; }},
        {"too many channels", [](AudioSM& r) { r.mChannels = 33; }},
        {"empty ring", [](AudioSM& r) { r.mMaxFrames = 0; }},
        {"not a power of two", [](AudioSM& r) { r.mMaxFrames = 3; }},
        {"longer than the area", [](AudioSM& r) { r.mMaxFrames = uint64_t{1} << 40; }},
        {"channels of another layout", [](AudioSM& r) { r.mChannels = 32; }},
        {"extra region over the audio", [](AudioSM& r) { r.mExtraOffset = 16; }},
        {"extra region past the end", [](AudioSM& r) { r.mExtraBytesPerFrame = 1'000'000; }},
    };
    std::vector<int32_t> buffer(32 * 4'096, 0x11);
    std::vector<uint8_t> extra(4 * 1'000'000, 0x22);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ring->init(2, 48'000, 2);
        ring->setFramePos(ring->mMaxFrames - 3);
        c.scribble(*ring);
        EXPECT_FALSE(ring->geometry().usable());

        const uint64_t before = ring->getFramePos();
        ring->writeFrames(buffer.data(), 4'096, 0, nullptr, extra.data());
        EXPECT_EQ(ring->getFramePos(), before + 4'096) << "positions still advance";
        uint64_t position = 0;
        uint64_t host = 0;
        ring->read(position, buffer.data(), 4'096, host, audioInt32CopySet, extra.data());
        EXPECT_EQ(position, 4'096u);
        EXPECT_EQ(buffer[0], 0x11) << "nothing copied";
        ring->readFromKernel(position, buffer.data(), 4'096, audioInt32CopySet, 4);
        ring->writeFramesToKernelAtPos(buffer.data(), 4'096, 0, 0, 32, nullptr, 4);
    }
}

TEST_F(AudioSMFixture, TheKernelsOwnGeometryOutranksAScribbledHeader)
{
    const AudioSM::Geometry kernelCopy = AudioSM::layout(2, 0);
    ring->init(2, 48'000, 0);
    EXPECT_EQ(kernelCopy.maxFrames, ring->geometry().maxFrames);
    EXPECT_EQ(kernelCopy.channels, 2u);
    EXPECT_FALSE(AudioSM::layout(1, 600'000).usable());

    ring->mChannels = 32; // a client claims a wider ring
    ring->mMaxFrames = 1;
    const std::vector<int32_t> in = {1, 2, 3, 4, 5, 6};
    ring->writeFrames(kernelCopy, in.data(), 3, 0, nullptr, nullptr);
    std::vector<int32_t> got(6);
    uint64_t position = 0;
    uint64_t host = 0;
    ring->read(kernelCopy, position, got.data(), 3, host, audioInt32CopySet, nullptr);
    EXPECT_EQ(got, in);
    StoringPairWriter kernel;
    ring->AddTimeStamp(kernelCopy, 5'000'000'000, 65'536, true, &kernel);
    EXPECT_EQ(shared::load(ring->mStartHostTime), 5'000'000'000 - shared::load(ring->mHostTicksPerBuffer));
}

// A stream whose first stamp comes within its first buffer of the clock starts at the clock's
// first tick rather than wrapping.
TEST_F(AudioSMFixture, AStreamStartedNearHostTimeZeroStartsAtTheFirstTick)
{
    ring->init(2, 48'000, 0);
    StoringPairWriter kernel;
    ASSERT_GT(shared::load(ring->mHostTicksPerBuffer), 1'000'000u);
    ring->AddTimeStamp(1'000'000, 65'536, true, &kernel);
    EXPECT_EQ(shared::load(ring->mStartHostTime), 1u);
    EXPECT_EQ(shared::load(ring->mTimeStamps.mHostTimes[0]), 1u);
    EXPECT_EQ(shared::load(ring->mTimeStamps.mHostTimes[1]), 1'000'000u);
}

TEST_F(AudioSMFixture, RequestsLongerThanTheRingStayInsideIt)
{
    ring->init(32, 48'000, 0);
    const uint32_t maxFrames = static_cast<uint32_t>(ring->mMaxFrames);
    const uint32_t frames = 3 * maxFrames + 5;
    std::vector<int32_t> in(size_t{frames} * 32);
    for (uint32_t f = 0; f < frames; ++f) {
        for (uint32_t c = 0; c < 32; ++c) {
            in[size_t{f} * 32 + c] = sampleValue(f, c);
        }
    }
    ring->writeFrames(in.data(), frames, 0, nullptr, nullptr);
    EXPECT_EQ(ring->getFramePos(), frames);

    // The ring holds the last maxFrames frames written; a long read sees them once per lap.
    std::vector<int32_t> got(size_t{frames} * 32);
    uint64_t position = frames - maxFrames;
    const uint64_t first = position;
    uint64_t host = 0;
    ring->read(position, got.data(), 2 * maxFrames, host, audioInt32CopySet, nullptr);
    for (uint32_t f = 0; f < 2 * maxFrames; ++f) {
        const uint64_t written = first + f % maxFrames;
        ASSERT_EQ(got[size_t{f} * 32 + 5], sampleValue(written, 5)) << f;
    }
}

TEST(AudioSMProcesses, AWriterAndAReaderInTwoProcessesShareOneMapping)
{
    const int fd = memfd_create("audiosm", 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, sizeof(AudioSM)), 0);
    auto* ring =
        static_cast<AudioSM*>(mmap(nullptr, sizeof(AudioSM), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    ASSERT_NE(ring, MAP_FAILED);
    {
        platform::log::Capture quiet(platform::log::Channel::standardOutput);
        ring->init(8, 48'000, 0);
    }
    constexpr uint32_t kChannels = 8;
    constexpr uint64_t kTotal = 200'000; // several laps of a 16,384-frame ring

    // Each side gives up at this point instead of waiting for a peer that stopped.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        // The kernel's side: a separate mapping of the same memory.
        auto* mine =
            static_cast<AudioSM*>(mmap(nullptr, sizeof(AudioSM), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        std::vector<int32_t> block(kChannels * 48);
        for (uint64_t pos = 0; pos < kTotal; pos += 48) {
            // Stay within the ring ahead of the reader.
            while (pos - shared::load(mine->mClientFramePos) > mine->mMaxFrames - 96) {
                if (std::chrono::steady_clock::now() > deadline) {
                    _exit(2);
                }
                sched_yield();
            }
            for (uint32_t f = 0; f < 48; ++f) {
                for (uint32_t c = 0; c < kChannels; ++c) {
                    block[f * kChannels + c] = sampleValue(pos + f, c);
                }
            }
            mine->writeFrames(block.data(), 48, 0, nullptr, nullptr);
        }
        _exit(0);
    }

    std::vector<int32_t> got(kChannels * 64);
    uint64_t position = 0;
    int mismatches = 0;
    while (position < kTotal && std::chrono::steady_clock::now() < deadline) {
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(64, kTotal - position));
        if (ring->getAvailableFrames(position) < static_cast<int32_t>(n)) {
            sched_yield();
            continue;
        }
        const uint64_t first = position;
        uint64_t host = 0;
        ring->read(position, got.data(), n, host, audioInt32CopySet, nullptr);
        for (uint32_t f = 0; f < n; ++f) {
            for (uint32_t c = 0; c < kChannels; ++c) {
                mismatches += got[f * kChannels + c] != sampleValue(first + f, c);
            }
        }
        shared::store(ring->mClientFramePos, position);
    }
    if (position < kTotal) {
        kill(writer, SIGKILL);
    }
    int status = 0;
    waitpid(writer, &status, 0);
    EXPECT_EQ(position, kTotal) << "every frame was read before the deadline";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the writer finished";
    EXPECT_EQ(mismatches, 0);
    munmap(ring, sizeof(AudioSM));
    close(fd);
}
