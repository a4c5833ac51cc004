#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <thread>
#include <vector>

#include "VKKernelTools.h"
#include "mach/mach_init.h"
#include "platform/Log.h"

using platform::log::Capture;
using platform::log::Channel;

namespace {

// Counts its destructions.
class Probe : public VKSimpleObject
{
public:
    explicit Probe(int* destroyed) : m_destroyed(destroyed) {}
    ~Probe() override { ++*m_destroyed; }

private:
    int* m_destroyed;
};

} // namespace

// --- Counting allocator

TEST(KernelMemory, CountsCallsAndBytesAndBalancesWhenAllIsFreed)
{
    MemoryState before{};
    memSnapshot(&before);
    void* a = memAlloc(100);
    auto* b = static_cast<uint8_t*>(memAllocZero(28));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b[0] | b[13] | b[27], 0);
    memFree(nullptr, 50); // counted as a call, not as bytes
    MemoryState during{};
    memSnapshot(&during);
    EXPECT_EQ(during.allocCount - before.allocCount, 2u);
    EXPECT_EQ(during.freeCount - before.freeCount, 1u);
    EXPECT_EQ(during.bytesAllocated - before.bytesAllocated, 128u);
    EXPECT_EQ(during.bytesFreed - before.bytesFreed, 0u);
    {
        Capture log(Channel::kernel);
        memCheck(&before, "caller");
        EXPECT_EQ(log.texts(), std::vector<std::string>{"USB:  DIFF Allocated memory  caller 128"});
    }
    memFree(a, 100);
    memFree(b, 28);
    MemoryState after{};
    memSnapshot(&after);
    EXPECT_EQ(after.bytesFreed - before.bytesFreed, 128u);
    memSnapshot(nullptr); // nothing happens
}

TEST(KernelMemory, CheckMemoryReportsEachUnbalancedPair)
{
    const MemoryState saved = globalMemoryState;
    globalMemoryState = {5, 4, 300, 300};
    Capture log(Channel::kernel);
    checkMemory();
    globalMemoryState = saved;
    const std::vector<std::string> expected = {
        "USB:  Count memAlloc()  5",     "USB:  Count memFree()    4", "USB:  Difference  1",
        "USB:  ERROR difference is  1",  "USB:  Allocated memory  300", "USB:  Freed memory      300",
        "USB:  Difference  0",
    };
    EXPECT_EQ(log.texts(), expected);
}

TEST(KernelMemory, SmallObjectsComeFromTheCountingAllocator)
{
    MemoryState before{};
    memSnapshot(&before);
    int destroyed = 0;
    auto* probe = new Probe(&destroyed);
    MemoryState during{};
    memSnapshot(&during);
    EXPECT_EQ(during.bytesAllocated - before.bytesAllocated, sizeof(Probe));
    delete probe;
    MemoryState after{};
    memSnapshot(&after);
    EXPECT_EQ(after.bytesFreed - before.bytesFreed, sizeof(Probe));
    EXPECT_EQ(destroyed, 1);
}

// --- VKSimpleArray

TEST(VKSimpleArray, AddRefusesNullAndThe65thAndLeavesTheArrayAsItWas)
{
    int destroyed = 0;
    VKSimpleArray array;
    std::vector<Probe*> probes;
    for (int i = 0; i < VKSimpleArray::kCapacity; ++i) {
        probes.push_back(new Probe(&destroyed));
        ASSERT_TRUE(array.add(probes.back()));
    }
    auto* extra = new Probe(&destroyed);
    EXPECT_FALSE(array.add(extra));
    EXPECT_FALSE(array.add(nullptr));
    EXPECT_EQ(array.getCount(), 64);
    EXPECT_EQ(extra->getRefCount(), 0);
    EXPECT_FALSE(array.contains(extra));
    EXPECT_EQ(array.atPos(63), probes[63]);
    EXPECT_EQ(array.atPos(64), nullptr);
    EXPECT_EQ(array.atPos(-1), nullptr);
    delete extra;
    array.deleteAll();
    EXPECT_EQ(destroyed, 65);
    EXPECT_EQ(array.getCount(), 0);
    EXPECT_EQ(array.atPos(0), nullptr);
}

TEST(VKSimpleArray, AnObjectHeldTwiceIsDestroyedOnlyWhenTheLastHoldIsGone)
{
    int destroyed = 0;
    auto* probe = new Probe(&destroyed);
    VKSimpleArray first;
    {
        VKSimpleArray second;
        ASSERT_TRUE(first.add(probe));
        ASSERT_TRUE(second.add(probe));
        EXPECT_EQ(probe->getRefCount(), 2);
    } // second's destructor runs deleteAll
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(probe->getRefCount(), 1);
    first.deleteAll();
    EXPECT_EQ(destroyed, 1);

    // Twice in one array: deleteAll destroys it once.
    int again = 0;
    auto* twice = new Probe(&again);
    VKSimpleArray array;
    ASSERT_TRUE(array.add(twice));
    ASSERT_TRUE(array.add(twice));
    EXPECT_EQ(twice->getRefCount(), 2);
    array.deleteAll();
    EXPECT_EQ(again, 1);
}

TEST(VKSimpleArray, RemoveShiftsTheTailAndLeavesUnheldObjectsAlone)
{
    int destroyed = 0;
    Probe a(&destroyed), b(&destroyed), c(&destroyed), stranger(&destroyed);
    VKSimpleArray array;
    array.add(&a);
    array.add(&b);
    array.add(&c);
    EXPECT_EQ(array.remove(&stranger), nullptr);
    EXPECT_EQ(array.remove(nullptr), nullptr);
    EXPECT_EQ(stranger.getRefCount(), 0);
    EXPECT_EQ(array.getCount(), 3);

    EXPECT_EQ(array.remove(&b), &b);
    EXPECT_EQ(b.getRefCount(), 0);
    EXPECT_EQ(array.getCount(), 2);
    EXPECT_EQ(array.atPos(0), &a);
    EXPECT_EQ(array.atPos(1), &c);
    EXPECT_EQ(array.atPos(2), nullptr);

    array.removeAll();
    EXPECT_EQ(array.getCount(), 0);
    EXPECT_EQ(a.getRefCount(), 0);
    EXPECT_EQ(c.getRefCount(), 0);
    EXPECT_EQ(destroyed, 0);
}

TEST(VKSimpleArray, DelDestroysOnlyWhatNothingElseHolds)
{
    int destroyed = 0;
    auto* shared = new Probe(&destroyed);
    auto* own = new Probe(&destroyed);
    VKSimpleArray array, other;
    array.add(shared);
    array.add(own);
    other.add(shared);
    array.del(shared);
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(array.getCount(), 1);
    array.del(own);
    EXPECT_EQ(destroyed, 1);
    other.del(shared);
    EXPECT_EQ(destroyed, 2);
}

// --- USBByteBuffer

TEST(USBByteBuffer, ReadsStopAtTheEnd)
{
    struct Case
    {
        uint32_t size;
        uint32_t skip;
        uint32_t ask;
        uint32_t copied;
    };
    const Case cases[] = {
        {8, 0, 4, 4}, {8, 6, 4, 2}, {8, 8, 4, 0}, {8, 0, 0, 0}, {0, 0, 4, 0},
    };
    for (const Case& c : cases) {
        std::array<uint8_t, 8> bytes = {1, 2, 3, 4, 5, 6, 7, 8};
        USBByteBuffer buffer(bytes.data(), c.size);
        buffer.forward(c.skip);
        std::array<uint8_t, 8> out{};
        buffer.read(out.data(), c.ask);
        EXPECT_EQ(buffer.getReadPos(), std::min(c.skip + c.copied, c.size)) << c.size << "/" << c.skip;
        for (uint32_t i = 0; i < 8; ++i) {
            EXPECT_EQ(out[i], i < c.copied ? bytes[c.skip + i] : 0) << i;
        }
    }
    USBByteBuffer empty;
    uint8_t x = 9;
    empty.read(&x, 1);
    EXPECT_EQ(x, 9);
    EXPECT_EQ(empty.peek(0), 0);
    empty.poke(0, 1);
}

TEST(USBByteBuffer, CursorMovesClampAtBothEnds)
{
    std::array<uint8_t, 10> bytes{};
    USBByteBuffer buffer(bytes.data(), 10);
    buffer.forward(4);
    EXPECT_EQ(buffer.getReadPos(), 4u);
    EXPECT_EQ(buffer.getWritePos(), 4u);
    buffer.forward(7); // only 6 left: both to the end
    EXPECT_EQ(buffer.getReadPos(), 10u);
    EXPECT_EQ(buffer.getWritePos(), 10u);
    EXPECT_EQ(buffer.getRemaining(), 0u);
    buffer.rewind(3);
    EXPECT_EQ(buffer.getReadPos(), 7u);
    EXPECT_EQ(buffer.getWritePos(), 7u);
    buffer.rewind(100);
    EXPECT_EQ(buffer.getReadPos(), 0u);
    EXPECT_EQ(buffer.getWritePos(), 0u);
    buffer.forward();
    buffer.rewind();
    EXPECT_EQ(buffer.getReadPos(), 0u);
    EXPECT_EQ(buffer.getWritePos(), 10u);
}

TEST(USBByteBuffer, PeekAndPokeStayInsideTheRemainingBytes)
{
    std::array<uint8_t, 5> bytes = {10, 11, 12, 13, 14};
    USBByteBuffer buffer(bytes.data(), 4); // the fifth byte is not the buffer's
    buffer.forward(1);
    EXPECT_EQ(buffer.peek(0), 11);
    EXPECT_EQ(buffer.peek(2), 13);
    EXPECT_EQ(buffer.peek(3), 0);
    buffer.poke(2, 99);
    buffer.poke(3, 99);
    EXPECT_EQ(bytes[3], 99);
    EXPECT_EQ(bytes[4], 14);
}

TEST(USBByteBuffer, ValuesAreLittleEndianAndCutAtTheEnd)
{
    std::array<uint8_t, 16> bytes{};
    USBByteBuffer out(bytes.data(), 16);
    out << true << static_cast<unsigned char>(0xAB) << static_cast<short>(-2) << static_cast<unsigned short>(0x1234)
        << 0x01020304 << 0xA0B0C0D0u << static_cast<signed char>(-1);
    const std::array<uint8_t, 16> expected = {1, 0xAB, 0xFE, 0xFF, 0x34, 0x12, 4, 3, 2, 1, 0xD0, 0xC0, 0xB0, 0xA0, 0xFF, 0};
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(out.getWritePos(), 15u);

    USBByteBuffer in(bytes.data(), 16);
    bool flag = false;
    unsigned char uc = 0;
    short s = 0;
    unsigned short us = 0;
    int i = 0;
    unsigned int ui = 0;
    signed char sc = 0;
    in >> flag >> uc >> s >> us >> i >> ui >> sc;
    EXPECT_TRUE(flag);
    EXPECT_EQ(uc, 0xAB);
    EXPECT_EQ(s, -2);
    EXPECT_EQ(us, 0x1234);
    EXPECT_EQ(i, 0x01020304);
    EXPECT_EQ(ui, 0xA0B0C0D0u);
    EXPECT_EQ(sc, -1);

    // A four-byte value with two bytes left keeps what was there and zeros the rest.
    USBByteBuffer cut(bytes.data(), 16);
    cut.forward(14);
    unsigned int partial = 0xFFFFFFFF;
    cut >> partial;
    EXPECT_EQ(partial, 0x00FFu);
    EXPECT_EQ(cut.getRemaining(), 0u);

    // Writes stop at the size.
    std::array<uint8_t, 4> small = {0, 0, 0, 0};
    USBByteBuffer tight(small.data(), 3);
    tight << 0x11223344u;
    EXPECT_EQ(small, (std::array<uint8_t, 4>{0x44, 0x33, 0x22, 0}));
}

// --- Locks, semaphore, counter

TEST(KernelSync, TrylockSeesAHeldLockAndCriticalSectionReleasesIt)
{
    Mutex mutex;
    ASSERT_TRUE(mutex.isValid());
    const auto tryFromOtherThread = [&mutex] {
        bool taken = false;
        std::thread([&] {
            taken = mutex.trylock();
            if (taken) {
                mutex.unlock();
            }
        }).join();
        return taken;
    };
    {
        CriticalSection section(mutex, "test");
        EXPECT_FALSE(tryFromOtherThread());
    }
    EXPECT_TRUE(tryFromOtherThread());
    mutex.lock("uncontended");
    EXPECT_FALSE(tryFromOtherThread());
    mutex.unlock();
    EXPECT_TRUE(mutex.trylock());
    mutex.unlock();
}

TEST(KernelSync, SemaphoreWaitsForItsSignalAndDegradesWhenClosed)
{
    KeSemaphore semaphore;
    EXPECT_FALSE(semaphore.isValid());
    EXPECT_FALSE(semaphore.wait());
    semaphore.signal(); // nothing to signal

    ASSERT_TRUE(semaphore.create(mach_task_self()));
    EXPECT_TRUE(semaphore.isValid());
    std::thread signaller([&] { semaphore.signal(); });
    EXPECT_TRUE(semaphore.wait());
    signaller.join();
    semaphore.close();
    EXPECT_FALSE(semaphore.isValid());
    EXPECT_FALSE(semaphore.wait());
}

TEST(KernelSync, LockedCounterAnswersTheNewValueAndLosesNoChange)
{
    KeLockedCounter counter;
    EXPECT_EQ(counter.inc(), 1);
    EXPECT_EQ(counter.inc(), 2);
    EXPECT_EQ(counter.dec(), 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                counter.inc();
                counter.dec();
                counter.inc();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counter.get(), 40001);
}
