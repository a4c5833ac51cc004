// The kernel as the writer of the device's input ring: frame writes, time stamps under their
// try-lock, the copy of the pairs, the zero time stamp, and the kernel's own record against what
// user space writes into the ring's header.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "DriverData.h"

namespace {

constexpr uint32_t kRate = 48'000;

class KernelInputRingTest : public ::testing::Test
{
protected:
    void SetUp() override { input.init(ring.get(), 2, kRate, 0); }

    std::vector<int32_t> frames(uint32_t count, int32_t base)
    {
        std::vector<int32_t> samples(size_t{count} * 2);
        for (size_t i = 0; i < samples.size(); ++i) {
            samples[i] = base + static_cast<int32_t>(i);
        }
        return samples;
    }

    std::unique_ptr<AudioSM> ring = std::make_unique<AudioSM>();
    KernelInputRing input;
};

TEST_F(KernelInputRingTest, AStampWhileTheCopyHoldsTheLockLosesItsPairButNotItsFrames)
{
    EXPECT_EQ(input.AddTimeStamp(1000, 0, true), 2u) << "the stream's start pair and the first stamp";
    EXPECT_EQ(input.AddTimeStamp(2000, 48, true), 3u);
    input.timeStampLock().lock();
    EXPECT_EQ(input.AddTimeStamp(3000, 48, true), 3u);
    input.timeStampLock().unlock();
    EXPECT_EQ(input.AddTimeStamp(4000, 48, true), 4u);

    uint64_t host = 0;
    uint64_t sample = 0;
    ASSERT_TRUE(input.GetLastTimeStamp(host, sample));
    EXPECT_EQ(host, 4000u);
    EXPECT_EQ(sample, 144u) << "the dropped stamp's frames still count";

    QZ_TimeStampsBufferData out{};
    input.CopyData(out);
    EXPECT_EQ(out.mCount, 4u);
    const uint64_t hosts[] = {1000, 1000, 2000, 4000};
    const uint64_t samples[] = {0, 0, 48, 144};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(out.mHostTimes[i], hosts[i]);
        EXPECT_EQ(out.mSampleTimes[i], samples[i]);
        EXPECT_EQ(ring->mTimeStamps.mHostTimes[i], hosts[i]) << "mirrored for readers";
        EXPECT_EQ(ring->mTimeStamps.mSampleTimes[i], samples[i]);
    }
    EXPECT_EQ(ring->mTimeStamps.mCount, 4u);
    EXPECT_EQ(ring->mStartHostTime, 1000u);
}

// A stream whose first stamp comes within its first buffer of the clock: the start pair is
// back-dated no earlier than the first tick, never wrapped past the end of the clock.
TEST_F(KernelInputRingTest, AStreamStartedNearHostTimeZeroHasAnUnwrappedStartPair)
{
    ASSERT_GT(ring->mHostTicksPerBuffer * 1024 / 65'536, 1000u) << "the lead reaches back past 0";
    EXPECT_EQ(input.AddTimeStamp(1000, 1024, true), 2u);
    EXPECT_EQ(ring->mStartHostTime, 1u);
    QZ_TimeStampsBufferData out{};
    input.CopyData(out);
    EXPECT_EQ(out.mHostTimes[0], 1u);
    EXPECT_EQ(out.mSampleTimes[0], 0u);
    EXPECT_EQ(out.mHostTimes[1], 1000u);
    EXPECT_EQ(input.GetTimeStamp(512), 500u) << "positions map forward from the start pair";
}

TEST_F(KernelInputRingTest, ACopyTakesOnlyNewPairsAndAtMostOneRingOfThem)
{
    for (uint64_t i = 1; i <= 10; ++i) {
        input.AddTimeStamp(i * 100, 10, true);
    }
    QZ_TimeStampsBufferData out{};
    input.CopyData(out);
    EXPECT_EQ(out.mCount, 11u);

    std::memset(&out, 0xEE, sizeof out);
    input.AddTimeStamp(5000, 10, true);
    input.AddTimeStamp(6000, 10, true);
    input.CopyData(out);
    EXPECT_EQ(out.mCount, 13u);
    EXPECT_EQ(out.mHostTimes[11], 5000u);
    EXPECT_EQ(out.mHostTimes[12], 6000u);
    EXPECT_EQ(out.mHostTimes[10], 0xEEEEEEEEEEEEEEEEull) << "already copied";

    for (uint64_t i = 0; i < 1200; ++i) {
        input.AddTimeStamp(10'000 + i, 1, true);
    }
    input.CopyData(out);
    EXPECT_EQ(out.mCount, 1213u);
    // Pair k sits at k mod 1000: the newest 1000 (213 to 1212).
    EXPECT_EQ(out.mHostTimes[212], 10'000u + 1199);
    EXPECT_EQ(out.mHostTimes[213], 10'000u + 200);
}

TEST_F(KernelInputRingTest, FramesGoAtTheKernelsPositionAndWrapAtTheRingsEnd)
{
    const uint32_t length = input.geometry().maxFrames;
    ASSERT_EQ(length, 65'536u);
    ring->mZeroHostTime = 1; // a client set a zero time stamp: writes are counted on
    input.writeFrames(nullptr, length - 6, 0, nullptr, nullptr);
    EXPECT_EQ(input.framePos(), length - 6) << "no samples still advance the ring";
    EXPECT_EQ(ring->mFramesWritten, length - 6);

    const auto samples = frames(10, 1);
    input.writeFrames(samples.data(), 10, 0, nullptr, nullptr);
    EXPECT_EQ(ring->mSamples[size_t{length - 6} * 2], 1);
    EXPECT_EQ(ring->mSamples[size_t{length - 1} * 2 + 1], 12);
    EXPECT_EQ(ring->mSamples[0], 13);
    EXPECT_EQ(ring->mSamples[7], 20);
    EXPECT_EQ(input.framePos(), length + 4);

    // With a write offset the frames land that much further on, through the converter given.
    input.writeFrames(samples.data(), 1, 3, audioInt32CopyShift, nullptr);
    EXPECT_EQ(ring->mSamples[(4 + 3) * 2], 0) << "1 / 256";
    EXPECT_EQ(ring->mWriteOffset, 3u);
    EXPECT_EQ(ring->mWriteCount, 3u);
}

TEST_F(KernelInputRingTest, ExtraBytesGoToTheExtraArea)
{
    input.init(ring.get(), 2, kRate, 2);
    const auto samples = frames(4, 100);
    const uint8_t extra[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    input.writeFrames(samples.data(), 2, 0, nullptr, extra);
    input.writeFrames(samples.data(), 2, 0, nullptr, extra + 4);
    const auto* area = reinterpret_cast<const uint8_t*>(ring->mSamples) + input.geometry().extraOffset;
    EXPECT_EQ(std::memcmp(area, extra, 8), 0);
}

// User space may write anything into the ring's header and its time-stamp record: the kernel's
// results stay those of an untouched ring.
TEST_F(KernelInputRingTest, GarbageInTheSharedHeaderChangesNothingTheKernelDoes)
{
    auto cleanRing = std::make_unique<AudioSM>();
    KernelInputRing clean;
    clean.init(cleanRing.get(), 2, kRate, 0);

    AudioSM& shared = *ring;
    std::memset(shared.mTimeStamps.mLock, 0xFF, sizeof shared.mTimeStamps.mLock);
    shared.mTimeStamps.mCount = 123'456'789;
    shared.mTimeStamps.mRunningSamples = 0xFFFFFFFFFFull;
    shared.mTimeStamps.mCopiedCount = 0xFFFFFFFF;
    shared.mTimeStamps.mFirstHostTime = 77;
    shared.mStartHostTime = 55;
    shared.mChannels = 1000;
    shared.mMaxFrames = 3;
    shared.mExtraBytesPerFrame = 4096;
    shared.mExtraOffset = 0xFFFFFFF0;
    shared.mFramesWritten = 0xFFFFFFFF00ull;

    const auto samples = frames(64, 7);
    for (uint64_t i = 0; i < 20; ++i) {
        EXPECT_EQ(input.AddTimeStamp(1000 + i * 10, 64, true), clean.AddTimeStamp(1000 + i * 10, 64, true));
        input.writeFrames(samples.data(), 64, 0, nullptr, nullptr);
        clean.writeFrames(samples.data(), 64, 0, nullptr, nullptr);
    }
    EXPECT_EQ(input.framePos(), clean.framePos());
    EXPECT_EQ(std::memcmp(shared.mSamples, cleanRing->mSamples, 20 * 64 * 2 * 4), 0);
    uint64_t h1 = 0, s1 = 0, h2 = 0, s2 = 0;
    input.GetLastTimeStamp(h1, s1);
    clean.GetLastTimeStamp(h2, s2);
    EXPECT_EQ(h1, h2);
    EXPECT_EQ(s1, s2);
    QZ_TimeStampsBufferData a{};
    QZ_TimeStampsBufferData b{};
    input.CopyData(a);
    clean.CopyData(b);
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
    EXPECT_EQ(shared.mTimeStamps.mCount, 21u) << "the mirror is the kernel's count again";
    EXPECT_EQ(shared.mFramesWritten, clean.framePos());
}

// The anchors the kernel publishes are those AudioSM's own writer publishes, and stay so when
// user space writes over the anchor fields and the write position between stamps.
TEST_F(KernelInputRingTest, AnchorsArePublishedFromTheKernelsOwnRecord)
{
    auto referenceRing = std::make_unique<AudioSM>();
    referenceRing->init(2, kRate, 0);
    const auto samples = frames(480, 0);
    for (uint64_t i = 1; i <= 60; ++i) {
        input.writeFrames(samples.data(), 480, 0, nullptr, nullptr);
        referenceRing->writeFrames(samples.data(), 480, 0, nullptr, nullptr);
        // User space scribbles over what the kernel keeps for itself.
        ring->mFramesWritten = 12345;
        ring->mAnchorCurrent.mSample0 = 999;
        ring->mAnchorCurrent.mHost0 = 0;
        ring->mAnchorSelect = 7;
        ring->mAnchorSpan = 1;
        input.writeTimestamp(i * 10'000'000);
        referenceRing->writeTimestamp(i * 10'000'000);
    }
    // 60 stamps of 480 frames: published every 12,000 frames (a quarter second at 48 kHz).
    const AudioSM& reference = *referenceRing;
    EXPECT_EQ(reference.mAnchorA.mSampleSpan, 12'000u);
    EXPECT_EQ(ring->mAnchorSelect, reference.mAnchorSelect);
    for (auto anchor : {&AudioSM::mAnchorA, &AudioSM::mAnchorB}) {
        EXPECT_EQ(std::memcmp(&(ring.get()->*anchor), &(reference.*anchor), sizeof(AudioTSData)), 0);
    }
    uint64_t hostTime = 0;
    uint64_t position = 20'000;
    ring->read(input.geometry(), position, nullptr, 0, hostTime, nullptr, nullptr);
    EXPECT_EQ(hostTime, 20'000ull * 10'000'000 / 480);
}

TEST_F(KernelInputRingTest, TheZeroTimeStampMovesOnOneRingLengthOnceTheWritesPassIt)
{
    const uint32_t length = input.geometry().maxFrames;
    auto hostOf = [](uint64_t position) { return 1'000'000 + position * 20; };
    input.AddTimeStamp(hostOf(0), 0, true);
    ring->mZeroSampleTime = 100;
    ring->mZeroHostTime = hostOf(100);
    const auto samples = frames(1024, 0);
    uint64_t position = 0;
    while (position + 1024 - 100 < length) {
        input.writeFrames(samples.data(), 1024, 0, nullptr, nullptr);
        position += 1024;
        input.AddTimeStamp(hostOf(position), 1024, true);
        ASSERT_EQ(ring->mZeroSampleTime, 100u);
    }
    input.writeFrames(samples.data(), 1024, 0, nullptr, nullptr);
    EXPECT_EQ(ring->mZeroSampleTime, 100u + length);
    EXPECT_EQ(ring->mZeroCount, 1u);
    EXPECT_EQ(ring->mZeroHostTime, hostOf(100 + length));

    // No zero time stamp (host time 0): the writer starts its count again.
    ring->mZeroHostTime = 0;
    input.writeFrames(samples.data(), 1, 0, nullptr, nullptr);
    EXPECT_EQ(ring->mZeroSampleTime, 0u);
    EXPECT_EQ(ring->mZeroCount, 0u);
    EXPECT_EQ(ring->mWriteCount, 1u);
}

} // namespace
