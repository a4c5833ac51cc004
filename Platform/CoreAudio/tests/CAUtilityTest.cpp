#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "CADispatchQueue.h"
#include "CAException.h"
#include "CAHostTimeBase.h"
#include "CAMutex.h"
#include "CAVolumeCurve.h"
#include "CoreAudio/AudioServerPlugIn.h"
#include "platform/DispatchQueues.h"

namespace {

TEST(CAMutex, LockerNestsInsideTheOwnerAndReleasesOnlyWhatItTook)
{
    CAMutex mutex("test");
    EXPECT_TRUE(mutex.IsFree());
    {
        CAMutex::Locker outer(mutex);
        EXPECT_TRUE(mutex.IsOwnedByCurrentThread());
        {
            CAMutex::Locker inner(mutex);
            EXPECT_TRUE(mutex.IsOwnedByCurrentThread());
        }
        EXPECT_TRUE(mutex.IsOwnedByCurrentThread());
        std::thread other([&] {
            bool acquired = true;
            EXPECT_FALSE(mutex.Try(acquired));
            EXPECT_FALSE(acquired);
            EXPECT_FALSE(mutex.IsOwnedByCurrentThread());
        });
        other.join();
    }
    EXPECT_TRUE(mutex.IsFree());
}

TEST(CAMutex, UnlockerGivesTheMutexAwayForItsScope)
{
    CAMutex mutex("test");
    CAMutex::Locker locker(mutex);
    {
        CAMutex::Unlocker unlocker(mutex);
        std::thread other([&] {
            CAMutex::Locker taken(mutex);
            EXPECT_TRUE(mutex.IsOwnedByCurrentThread());
        });
        other.join();
    }
    EXPECT_TRUE(mutex.IsOwnedByCurrentThread());
}

TEST(CADispatchQueue, GlobalSerialQueueRunsInOrderOnOneThread)
{
    CADispatchQueue& global = CADispatchQueue::GetGlobalSerialQueue();
    EXPECT_EQ(&global, &CADispatchQueue::GetGlobalSerialQueue());
    std::vector<int> order;
    std::atomic<int> threads{0};
    std::thread::id worker{};
    for (int i = 0; i < 20; ++i) {
        global.Dispatch([&, i] {
            if (worker != std::this_thread::get_id()) {
                worker = std::this_thread::get_id();
                threads.fetch_add(1);
            }
            order.push_back(i);
        });
    }
    platform::dispatch::drain(global.GetDispatchQueue());
    ASSERT_EQ(order.size(), 20U);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(order[static_cast<size_t>(i)], i);
    }
    EXPECT_EQ(threads.load(), 1);
}

TEST(CADispatchQueue, SyncDispatchRunsBeforeReturning)
{
    CADispatchQueue queue("test queue");
    int value = 0;
    queue.Dispatch(true, [&] { value = 7; });
    EXPECT_EQ(value, 7);
}

TEST(CAVolumeCurve, EndPointsAndRoundTripsOfTheDeviceCurve)
{
    CAVolumeCurve curve;
    curve.AddRange(0, 96, -96.0F, 0.0F);
    EXPECT_EQ(curve.GetMinimumDB(), -96.0F);
    EXPECT_EQ(curve.GetMaximumDB(), 0.0F);
    EXPECT_FLOAT_EQ(curve.ConvertScalarToDB(0.0F), -96.0F);
    EXPECT_FLOAT_EQ(curve.ConvertScalarToDB(1.0F), 0.0F);
    EXPECT_FLOAT_EQ(curve.ConvertDBToScalar(-96.0F), 0.0F);
    EXPECT_FLOAT_EQ(curve.ConvertDBToScalar(0.0F), 1.0F);
    // Outside values are limited; a NaN reads as the minimum.
    EXPECT_FLOAT_EQ(curve.ConvertDBToScalar(-120.0F), 0.0F);
    EXPECT_FLOAT_EQ(curve.ConvertScalarToDB(1.5F), 0.0F);
    EXPECT_FLOAT_EQ(curve.ConvertScalarToDB(std::numeric_limits<Float32>::quiet_NaN()), -96.0F);
    Float32 previous = -1000.0F;
    for (int step = 0; step <= 100; ++step) {
        const Float32 scalar = static_cast<Float32>(step) / 100.0F;
        const Float32 dB = curve.ConvertScalarToDB(scalar);
        EXPECT_GT(dB, previous);
        EXPECT_NEAR(curve.ConvertDBToScalar(dB), scalar, 1e-5);
        previous = dB;
    }
    EXPECT_EQ(curve.ConvertDBToRaw(-48.0F), 48);
    EXPECT_FLOAT_EQ(curve.ConvertRawToDB(24), -72.0F);
}

TEST(CAVolumeCurve, OverlappingRangeIsRefused)
{
    CAVolumeCurve curve;
    curve.AddRange(0, 50, -96.0F, -20.0F);
    curve.AddRange(40, 60, -20.0F, 0.0F);
    curve.AddRange(50, 96, -20.0F, 0.0F);
    EXPECT_EQ(curve.GetMaximumRaw(), 96);
    EXPECT_FLOAT_EQ(curve.ConvertRawToDB(50), -20.0F);
    EXPECT_FLOAT_EQ(curve.ConvertRawToDB(73), -10.0F);
}

TEST(CAException, CarriesItsStatus)
{
    try {
        ThrowIf(true, kAudioHardwareBadObjectError);
        FAIL();
    } catch (const CAException& exception) {
        EXPECT_EQ(exception.GetError(), static_cast<OSStatus>(0x216F626A));
    }
    EXPECT_NO_THROW(ThrowIf(false, kAudioHardwareBadObjectError));
}

TEST(AudioServerPlugIn, InterfaceIdentifiersAndCodes)
{
    const CFUUIDBytes type = CFUUIDGetUUIDBytes(kAudioServerPlugInTypeUUID);
    EXPECT_EQ(type.byte0, 0x44);
    EXPECT_EQ(type.byte15, 0xDB);
    const CFUUIDBytes driver = CFUUIDGetUUIDBytes(kAudioServerPlugInDriverInterfaceUUID);
    EXPECT_EQ(driver.byte0, 0xEE);
    EXPECT_EQ(driver.byte15, 0x17);
    EXPECT_EQ(kAudioPlugInPropertyDeviceList, 0x64657623U);
    EXPECT_EQ(static_cast<uint32_t>(kAudioHardwareUnsupportedOperationError), 0x756E6F70U);
    EXPECT_EQ(sizeof(AudioServerPlugInDriverInterface), 23 * sizeof(void*));
    EXPECT_EQ(sizeof(AudioServerPlugInHostInterface), 5 * sizeof(void*));
    EXPECT_GT(CAHostTimeBase::GetTheCurrentTime(), 0U);
}

} // namespace
