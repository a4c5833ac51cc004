#include "MidiRings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <numeric>
#include <thread>
#include <vector>

namespace {

std::unique_ptr<MidiIO> newRing()
{
    auto ring = std::make_unique<MidiIO>();
    ring->init();
    return ring;
}

std::vector<uint8_t> elementBytes(const MidiIOElement& e)
{
    return {e.mData, e.mData + e.mLength};
}

TEST(MidiIOTest, PutFrameSplitsIntoElementsOfEightAndSkipsFillers)
{
    struct Case
    {
        std::vector<uint8_t> in;
        std::vector<std::vector<uint8_t>> elements;
    };
    std::vector<uint8_t> twenty(20);
    std::iota(twenty.begin(), twenty.end(), 1);
    const Case cases[] = {
        {twenty, {{1, 2, 3, 4, 5, 6, 7, 8}, {9, 10, 11, 12, 13, 14, 15, 16}, {17, 18, 19, 20}}},
        {{0xFD, 0x90, 0xFD, 0x3C, 0x64}, {{0x90, 0x3C, 0x64}}},
        {{0xFD, 0xFD, 0xFD}, {}},
        // Fillers do not count against an element's eight bytes.
        {{1, 0xFD, 2, 3, 4, 5, 6, 7, 8, 9}, {{1, 2, 3, 4, 5, 6, 7, 8}, {9}}},
    };
    for (const Case& c : cases) {
        auto ring = newRing();
        uint32_t writeIndex = 0;
        size_t expectedBytes = 0;
        for (const auto& e : c.elements) {
            expectedBytes += e.size();
        }
        EXPECT_EQ(ring->putFrame(c.in.data(), uint32_t(c.in.size()), writeIndex, 777), expectedBytes);
        EXPECT_EQ(writeIndex, c.elements.size());
        EXPECT_EQ(ring->mWriteIndex, c.elements.size());
        for (const auto& expected : c.elements) {
            MidiIOElement out{};
            ASSERT_TRUE(ring->get(&out));
            EXPECT_EQ(elementBytes(out), expected);
            EXPECT_EQ(out.mTime, 777u);
        }
        EXPECT_FALSE(ring->readyForRead());
        MidiIOElement out{};
        EXPECT_FALSE(ring->get(&out));
    }
    auto ring = newRing();
    uint32_t writeIndex = 0;
    EXPECT_EQ(ring->putFrame(nullptr, 5, writeIndex, 0), 0u);
    EXPECT_EQ(writeIndex, 0u);
    EXPECT_FALSE(ring->get(nullptr));
}

TEST(MidiIOTest, FullRingOverwritesTheOldestElement)
{
    auto ring = newRing();
    uint32_t writeIndex = 0;
    for (uint32_t i = 0; i < MidiIO::kElements; ++i) {
        const uint8_t b = uint8_t(i & 0x7F);
        ring->putFrame(&b, 1, writeIndex, i);
    }
    EXPECT_EQ(writeIndex, 0u);
    const uint8_t last = 0x55;
    ring->putFrame(&last, 1, writeIndex, 99999);
    EXPECT_EQ(writeIndex, 1u);
    EXPECT_EQ(ring->mElements[0].mData[0], 0x55);
    EXPECT_EQ(ring->mElements[0].mTime, 99999u);
    // The consumer at 0 reads the newest element there and goes on from 1 with the old ones.
    MidiIOElement out{};
    ASSERT_TRUE(ring->get(&out));
    EXPECT_EQ(out.mData[0], 0x55);
    ASSERT_TRUE(ring->get(&out));
    EXPECT_EQ(out.mData[0], 1);
    EXPECT_EQ(out.mTime, 1u);
}

// The kernel writes at its own index: whatever a client leaves in the ring's write index, read
// index or element lengths moves no write outside the ring.
TEST(MidiIOTest, HostileIndicesInTheRingMoveNoWrite)
{
    struct Block
    {
        MidiIO ring;
        uint8_t guard[64];
    };
    auto block = std::make_unique<Block>();
    block->ring.init();
    std::fill(std::begin(block->guard), std::end(block->guard), 0xCD);
    uint32_t writeIndex = 5;
    for (uint32_t hostile : {0xFFFF'FFFFu, MidiIO::kElements, 0x8000'0000u}) {
        block->ring.mWriteIndex = hostile;
        block->ring.mReadIndex = hostile;
        const uint8_t note[] = {0x90, 0x3C, 0x64};
        EXPECT_EQ(block->ring.putFrame(note, 3, writeIndex, 1), 3u);
    }
    EXPECT_EQ(writeIndex, 8u);
    EXPECT_EQ(block->ring.mWriteIndex, 8u);
    EXPECT_EQ(block->ring.mElements[7].mLength, 3u);
    for (uint8_t g : block->guard) {
        EXPECT_EQ(g, 0xCD);
    }
    // A private index out of range (never made by putFrame) starts over at 0.
    writeIndex = 0xFFFF'FFFF;
    const uint8_t b = 1;
    block->ring.putFrame(&b, 1, writeIndex, 1);
    EXPECT_EQ(writeIndex, 1u);
    // The consumer's reads stay inside the ring for any read index and element length.
    block->ring.mReadIndex = 0xFFFF'FFF0;
    block->ring.mElements[0xFFFF'FFF0u % MidiIO::kElements].mLength = 0xFFFF;
    MidiIOElement out{};
    ASSERT_TRUE(block->ring.get(&out));
    EXPECT_EQ(out.mLength, 8u);
}

TEST(MidiIOTest, ElementsCrossThreadsInOrder)
{
    auto ring = newRing();
    constexpr uint32_t kCount = 6000; // below the ring's size: nothing overwritten
    std::thread producer([&] {
        uint32_t writeIndex = 0;
        for (uint32_t i = 0; i < kCount; ++i) {
            const uint8_t bytes[3] = {uint8_t(i & 0x7F), uint8_t((i >> 7) & 0x7F), 0x7F}; // no filler
            ring->putFrame(bytes, 3, writeIndex, i);
        }
    });
    uint32_t next = 0;
    while (next < kCount) {
        MidiIOElement out{};
        if (!ring->get(&out)) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_EQ(out.mLength, 3u);
        ASSERT_EQ(out.mData[0], uint8_t(next & 0x7F));
        ASSERT_EQ(out.mData[1], uint8_t((next >> 7) & 0x7F));
        ASSERT_EQ(out.mTime, next);
        ++next;
    }
    producer.join();
}

template <class Queue>
std::unique_ptr<Queue> newQueue()
{
    auto q = std::make_unique<Queue>();
    q->init();
    return q;
}

TEST(MidiByteQueueTest, PutTakesWhatFitsInTwoPieces)
{
    auto q = newQueue<Queue256>();
    std::vector<uint8_t> bytes(250, 0x11);
    EXPECT_EQ(q->put(bytes.data(), 250), 250);
    EXPECT_EQ(q->get(nullptr, 50), 50); // 200 held, read index 50, write index 250
    std::vector<uint8_t> hundred(100);
    std::iota(hundred.begin(), hundred.end(), 0);
    EXPECT_EQ(q->put(hundred.data(), 100), 56);
    EXPECT_EQ(q->fill(), 256u);
    EXPECT_EQ(q->mWriteIndex, 50);
    EXPECT_EQ(q->mData[250], 0);
    EXPECT_EQ(q->mData[255], 5);
    EXPECT_EQ(q->mData[0], 6);
    EXPECT_EQ(q->mData[49], 55);
    EXPECT_EQ(q->put(hundred.data(), 1), 0); // full
    EXPECT_EQ(q->put(nullptr, 1), 0);
    EXPECT_EQ(q->put(hundred.data(), 0), 0);
    EXPECT_EQ(q->put(hundred.data(), -3), 0);
}

TEST(MidiByteQueueTest, GetFromAnEmptyQueueChangesNothing)
{
    auto q = newQueue<Queue64K>();
    const uint8_t b = 7;
    q->put(&b, 1);
    uint8_t out[4]{};
    EXPECT_EQ(q->get(out, 4), 1);
    EXPECT_EQ(out[0], 7);
    const Queue64K before = *q;
    EXPECT_EQ(q->get(out, 4), 0);
    EXPECT_EQ(std::memcmp(&before, q.get(), sizeof(Queue64K)), 0);
}

// A fill count the other side scribbled never lets a get read beyond the data or more than the
// size: the indices wrap by their width.
TEST(MidiByteQueueTest, HostileFillCountStaysInTheData)
{
    auto q = newQueue<Queue64K>();
    q->mFill = 0xFFFF'FFF0;
    q->mReadIndex = 65'530;
    std::vector<uint8_t> out(70'000);
    EXPECT_EQ(q->get(out.data(), 70'000), 65'536);
    EXPECT_EQ(q->mReadIndex, 65'530);
    const uint8_t b = 1;
    q->mFill = 0x9000'0000;
    EXPECT_EQ(q->put(&b, 1), 0);
}

TEST(MidiByteQueueTest, BytesCrossThreadsInOrder)
{
    auto q = newQueue<Queue64K>();
    constexpr uint32_t kTotal = 1'000'000;
    std::thread producer([&] {
        uint32_t sent = 0;
        uint8_t chunk[977];
        while (sent < kTotal) {
            const uint32_t n = std::min<uint32_t>(sizeof(chunk), kTotal - sent);
            for (uint32_t i = 0; i < n; ++i) {
                chunk[i] = uint8_t((sent + i) * 7);
            }
            uint32_t done = 0;
            while (done < n) {
                const int32_t put = q->put(chunk + done, int32_t(n - done));
                done += uint32_t(put);
                if (put == 0) {
                    std::this_thread::yield();
                }
            }
            sent += n;
        }
    });
    uint32_t received = 0;
    uint8_t buffer[1500];
    while (received < kTotal) {
        const int32_t got = q->get(buffer, sizeof(buffer));
        for (int32_t i = 0; i < got; ++i) {
            ASSERT_EQ(buffer[i], uint8_t((received + uint32_t(i)) * 7));
        }
        received += uint32_t(got);
        if (got == 0) {
            std::this_thread::yield();
        }
    }
    producer.join();
    EXPECT_EQ(q->fill(), 0u);
}

} // namespace
