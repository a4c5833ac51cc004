#include "MidiQueue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

namespace {

// A queue with its data area, as it lies in a shared block.
struct QueueBlock
{
    explicit QueueBlock(uint32_t size) : bytes(sizeof(MidiQueue) + size + 8, 0xCD)
    {
        guard = bytes.data() + sizeof(MidiQueue) + size;
    }
    MidiQueue& queue() { return *reinterpret_cast<MidiQueue*>(bytes.data()); }
    bool guardIntact() const { return guard[0] == 0xCD && guard[7] == 0xCD; }

    alignas(4) std::vector<uint8_t> bytes;
    uint8_t* guard;
};

std::vector<uint8_t> counting(size_t n, uint8_t first = 1)
{
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), first);
    return v;
}

} // namespace

TEST(MidiQueue, InitAcceptsOnlyItsSizeRange)
{
    QueueBlock block(32'768);
    MidiQueue& q = block.queue();
    q.mSize = 99;
    EXPECT_FALSE(q.init(15));
    EXPECT_FALSE(q.init(32'769));
    EXPECT_EQ(q.mSize, 99u) << "a refused init changes nothing";
    EXPECT_TRUE(q.init(16));
    EXPECT_TRUE(q.init(32'768));
    EXPECT_EQ(q.data()[32'767], 0);
    EXPECT_TRUE(block.guardIntact());
    int32_t used = -1;
    int32_t free = -1;
    ASSERT_TRUE(q.init(1'000));
    EXPECT_EQ(q.getLength(used, free), 1'000);
    EXPECT_EQ(used, 0);
}

TEST(MidiQueue, OverflowKeepsTheNewestBytes)
{
    QueueBlock block(16);
    MidiQueue& q = block.queue();
    ASSERT_TRUE(q.init(16));
    const auto stream = counting(20);
    EXPECT_EQ(q.put(stream.data(), 10), 10);
    EXPECT_EQ(q.put(stream.data() + 10, 10), 6);
    EXPECT_EQ(q.mFill, 16u);
    EXPECT_EQ(q.mWriteIndex, 4u);
    EXPECT_EQ(q.mReadIndex, 4u);

    std::vector<uint8_t> got(16);
    EXPECT_EQ(q.get(got.data(), 16), 16);
    EXPECT_EQ(got, std::vector<uint8_t>(stream.begin() + 4, stream.end())) << "bytes 5 to 20, in order";
    EXPECT_EQ(q.get(got.data(), 1), 0) << "empty";
    EXPECT_TRUE(block.guardIntact());
}

TEST(MidiQueue, PutEndingAtTheEndWrapsAndGetReadsAcrossIt)
{
    QueueBlock block(16);
    MidiQueue& q = block.queue();
    ASSERT_TRUE(q.init(16));
    const auto stream = counting(24);
    ASSERT_EQ(q.put(stream.data(), 12), 12);
    ASSERT_EQ(q.get(nullptr, 12), 12) << "a null destination discards";
    EXPECT_EQ(q.mReadIndex, 12u);
    EXPECT_EQ(q.mFill, 0u);
    EXPECT_EQ(q.put(stream.data() + 12, 4), 4);
    EXPECT_EQ(q.mWriteIndex, 0u) << "exactly to the end wraps in the same call";
    EXPECT_EQ(q.put(stream.data() + 16, 6), 6);

    std::vector<uint8_t> got(10);
    EXPECT_EQ(q.get(got.data(), 32), 10);
    EXPECT_EQ(got, std::vector<uint8_t>(stream.begin() + 12, stream.begin() + 22));
}

TEST(MidiQueue, BadCountsAndHeadersNeverReachPastTheData)
{
    QueueBlock block(16);
    MidiQueue& q = block.queue();
    ASSERT_TRUE(q.init(16));
    const auto big = counting(100);

    // Longer than the queue: only the last 16 bytes are kept.
    EXPECT_EQ(q.put(big.data(), 100), 16);
    std::vector<uint8_t> got(16);
    EXPECT_EQ(q.get(got.data(), 16), 16);
    EXPECT_EQ(got, std::vector<uint8_t>(big.end() - 16, big.end()));
    EXPECT_EQ(q.put(big.data(), -5), 0);
    EXPECT_EQ(q.get(got.data(), -5), 0);

    struct Case
    {
        const char* name;
        MidiQueue header;
    };
    const Case cases[] = {
        {"size too large", {0, 0, 0, 1'000'000}},      {"size too small", {0, 0, 0, 8}},
        {"read index past the data", {0, 200, 0, 16}}, {"write index past the data", {200, 0, 0, 16}},
        {"fill above size", {0, 0, 17, 16}},           {"fill disagreeing with the indices", {5, 0, 2, 16}},
    };
    for (const auto& c : cases) {
        q.mWriteIndex = c.header.mWriteIndex;
        q.mReadIndex = c.header.mReadIndex;
        q.mFill = c.header.mFill;
        q.mSize = c.header.mSize;
        EXPECT_EQ(q.put(big.data(), 10), 0) << c.name;
        EXPECT_EQ(q.get(got.data(), 10), 0) << c.name;
        EXPECT_EQ(q.mReadIndex, c.header.mReadIndex) << c.name;
    }
    EXPECT_TRUE(block.guardIntact());
}

TEST(MidiQueue, ASharedHeaderCannotClaimMoreThanTheCallersDataArea)
{
    QueueBlock block(16);
    MidiQueue& q = block.queue();
    ASSERT_TRUE(q.init(16));
    q.mSize = 4'096; // another process claims a larger queue; indices still agree
    const auto bytes = counting(200);
    std::vector<uint8_t> got(200);
    EXPECT_EQ(q.put(bytes.data(), 200, 16), 0);
    EXPECT_EQ(q.get(got.data(), 200, 16), 0);
    EXPECT_EQ(q.mWriteIndex, 0u);
    EXPECT_TRUE(block.guardIntact());

    q.mSize = 16;
    EXPECT_EQ(q.put(bytes.data(), 10, 16), 10);
    EXPECT_EQ(q.get(got.data(), 200, 16), 10);
    EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + 10),
              std::vector<uint8_t>(bytes.begin(), bytes.begin() + 10));
}

TEST(AsyncTransportData, InitClearsControlWordsAndKeepsData)
{
    auto area = std::make_unique<AsyncTransportData>();
    std::memset(area.get(), 0xAB, sizeof(AsyncTransportData));
    area->init();
    for (const auto& block : area->mBlocks) {
        EXPECT_EQ(block.mData[0], 0xAB);
        EXPECT_EQ(block.mData[1'023], 0xAB);
        EXPECT_EQ(block.mLength, 0u);
        EXPECT_EQ(block.mState, AsyncTransportBlock::kStateFree);
        EXPECT_EQ(shared::load(block.mTag), 0u);
        EXPECT_EQ(shared::load(block.mUserBuffer), 0u);
    }
    EXPECT_EQ(area->mSendIndex + area->mReceiveIndex + area->mSendDoneIndex + area->mReceiveDoneIndex, 0u);
    EXPECT_EQ(area->mPending, 0u);
    EXPECT_EQ(AsyncTransportData::inc(0), 1u);
    EXPECT_EQ(AsyncTransportData::inc(31), 0u);
    EXPECT_EQ(AsyncTransportData::inc(1'000), 0u);
}
