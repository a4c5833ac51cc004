#include "MidiQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <numeric>
#include <thread>
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

// Bytes no run of which repeats nearby, so a copied run tells where in the stream it came from.
std::vector<uint8_t> noise(size_t n)
{
    std::vector<uint8_t> v(n);
    uint64_t x = 0x9E37'79B9'7F4A'7C15;
    for (auto& b : v) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        b = static_cast<uint8_t>(x >> 32);
    }
    return v;
}

// Runs `producer(stop)` on its own thread and `consumer` on this one until the consumer says it
// is done or the deadline passes; then tells the producer to stop. Returns whether it finished.
template <typename Producer, typename Consumer> bool runBothSides(Producer producer, Consumer consumer)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::atomic<bool> stop{false};
    std::thread thread([&] { producer(stop); });
    bool done = false;
    while (!done && std::chrono::steady_clock::now() < deadline) {
        done = consumer();
    }
    stop = true;
    thread.join();
    return done;
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
    int32_t used = 0;
    int32_t free = -1;
    EXPECT_EQ(q.getLength(used, free), 0);
    EXPECT_EQ(used, 16);
    EXPECT_EQ(q.mWriteIndex, 4u);

    std::vector<uint8_t> got(16);
    EXPECT_EQ(q.get(got.data(), 16), 16);
    EXPECT_EQ(got, std::vector<uint8_t>(stream.begin() + 4, stream.end())) << "bytes 5 to 20, in order";
    EXPECT_EQ(q.get(got.data(), 1), 0) << "empty";
    EXPECT_EQ(q.mReadIndex, 4u) << "reading resumes at the next byte written";
    EXPECT_EQ(q.mFill, 0u);
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

TEST(MidiQueue, AProducerStoppedWhileOverwritingLeavesTheQueueRefusedUntilInit)
{
    QueueBlock block(16);
    MidiQueue& q = block.queue();
    ASSERT_TRUE(q.init(16));
    const auto stream = counting(16);
    ASSERT_EQ(q.put(stream.data(), 12), 12);
    // Where an overwriting put stops: the write index flagged, whether or not it marked the fill.
    for (const uint32_t fill : {12u, MidiQueue::kOverrun | 20u}) {
        q.mWriteIndex = 12 | MidiQueue::kWriting;
        q.mFill = fill;
        uint8_t got[16];
        EXPECT_EQ(q.get(got, 16), 0) << "the bytes under the flag may be half written";
        EXPECT_EQ(q.put(stream.data(), 1), 0);
        EXPECT_EQ(q.mWriteIndex, 12 | MidiQueue::kWriting) << "nothing changed";
    }
    ASSERT_TRUE(q.init(16));
    EXPECT_EQ(q.put(stream.data(), 4), 4);
    uint8_t got[4];
    EXPECT_EQ(q.get(got, 4), 4) << "init makes the queue usable again";
    EXPECT_TRUE(block.guardIntact());
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

    // The consumer cannot tell a fill that disagrees with the producer's index from a put in
    // progress, so it takes the bytes the fill names; they lie inside the data area.
    struct Case
    {
        const char* name;
        MidiQueue header;
        int32_t consumerTakes;
    };
    const Case cases[] = {
        {"size too large", {0, 0, 0, 1'000'000}, 0},
        {"size too small", {0, 0, 0, 8}, 0},
        {"read index past the data", {0, 200, 0, 16}, 0},
        {"write index past the data", {200, 0, 0, 16}, 0},
        {"fill above size", {0, 0, 17, 16}, 0},
        {"fill far above size, no overrun mark", {0, 0, 0x7FFF'FFFF, 16}, 0},
        {"fill disagreeing with the indices", {5, 0, 2, 16}, 2},
        {"write index flagged mid-overrun, beyond the data", {200 | MidiQueue::kWriting, 0, 2, 16}, 0},
    };
    for (const auto& c : cases) {
        q.mWriteIndex = c.header.mWriteIndex;
        q.mReadIndex = c.header.mReadIndex;
        q.mFill = c.header.mFill;
        q.mSize = c.header.mSize;
        EXPECT_EQ(q.put(big.data(), 10), 0) << c.name;
        EXPECT_EQ(q.mWriteIndex, c.header.mWriteIndex) << c.name;
        EXPECT_EQ(q.get(got.data(), 10), c.consumerTakes) << c.name;
        if (c.consumerTakes == 0) {
            EXPECT_EQ(q.mReadIndex, c.header.mReadIndex) << c.name;
            EXPECT_EQ(q.mFill, c.header.mFill) << c.name;
        }
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

TEST(MidiQueue, AProducerAndAConsumerThreadHandOverEveryByteOnceInOrder)
{
    constexpr uint32_t kSize = 61; // odd, so copies cross the end at every offset
    constexpr size_t kTotal = 2'000'000;
    QueueBlock block(kSize);
    MidiQueue& q = block.queue();
    ASSERT_TRUE(q.init(kSize));
    const auto sent = noise(kTotal);
    std::vector<uint8_t> received;
    received.reserve(kTotal);
    std::atomic<size_t> refusedPuts{0};

    const bool finished = runBothSides(
        [&](const std::atomic<bool>& stop) {
            size_t at = 0;
            while (at < kTotal && !stop.load()) {
                int32_t used = 0;
                int32_t free = 0;
                q.getLength(used, free);
                const auto n = static_cast<int32_t>(
                    std::min<size_t>({static_cast<size_t>(free), 1 + at % 23, kTotal - at}));
                if (n == 0) {
                    continue;
                }
                const int32_t accepted = q.put(sent.data() + at, n);
                if (accepted != n) {
                    refusedPuts.fetch_add(1);
                }
                at += static_cast<size_t>(n);
            }
        },
        [&] {
            uint8_t chunk[32];
            const int32_t got = q.get(chunk, static_cast<int32_t>(1 + received.size() % 31));
            received.insert(received.end(), chunk, chunk + got);
            return received.size() >= kTotal;
        });
    ASSERT_TRUE(finished) << received.size() << " of " << kTotal << " bytes arrived";
    EXPECT_EQ(refusedPuts.load(), 0u) << "puts into free space are taken whole";
    EXPECT_TRUE(received == sent) << "every byte once, in order";
    EXPECT_TRUE(block.guardIntact());
}

TEST(MidiQueue, OverrunsWhileTheConsumerCopiesOnlyEverDropTheOldestBytes)
{
    constexpr uint32_t kSize = 37;
    constexpr size_t kTotal = 1'000'000;
    QueueBlock block(kSize);
    MidiQueue& q = block.queue();
    ASSERT_TRUE(q.init(kSize));
    const auto sent = noise(kTotal);
    std::vector<uint8_t> received;
    std::vector<size_t> runEnds; // where each get's bytes end in `received`
    std::atomic<bool> producerDone{false};

    const bool finished = runBothSides(
        [&](const std::atomic<bool>& stop) {
            for (size_t at = 0; at < kTotal && !stop.load();) {
                const auto n = static_cast<int32_t>(std::min<size_t>(1 + at % 29, kTotal - at));
                q.put(sent.data() + at, n);
                at += static_cast<size_t>(n);
            }
            producerDone = true;
        },
        [&] {
            const bool last = producerDone.load();
            uint8_t chunk[8];
            const int32_t got = q.get(chunk, static_cast<int32_t>(1 + received.size() % 7));
            if (got > 0) {
                received.insert(received.end(), chunk, chunk + got);
                runEnds.push_back(received.size());
            }
            int32_t used = 0;
            int32_t free = 0;
            q.getLength(used, free);
            return last && got == 0 && used == 0;
        });
    ASSERT_TRUE(finished) << received.size() << " bytes arrived before the deadline";

    // Each get is one stretch of the stream, later than the one before; a copy that an overrun
    // wrote into would match nowhere.
    size_t streamAt = 0;
    size_t lost = 0;
    size_t runStart = 0;
    for (const size_t runEnd : runEnds) {
        const auto first = received.begin() + static_cast<ptrdiff_t>(runStart);
        const auto last = received.begin() + static_cast<ptrdiff_t>(runEnd);
        const auto found =
            std::search(sent.begin() + static_cast<ptrdiff_t>(streamAt), sent.end(), first, last);
        ASSERT_NE(found, sent.end()) << "bytes " << runStart << " to " << runEnd
                                     << " are no stretch of the stream";
        const auto position = static_cast<size_t>(found - sent.begin());
        lost += position - streamAt;
        streamAt = position + (runEnd - runStart);
        runStart = runEnd;
    }
    EXPECT_EQ(streamAt, kTotal) << "the newest bytes always go in, so the last one put arrives last";
    EXPECT_GT(lost, 0u) << "the producer outran the consumer";
    EXPECT_TRUE(block.guardIntact());
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
