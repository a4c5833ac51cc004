// The kernel service wrapper against a private kernel host with the test driver: connection,
// calls refused while closed or after termination, memory mapped only at its true size,
// properties cached or re-read, typed reads, searches and the iterator's references.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "CAException.h"
#include "QzASPlugInIOKit.h"
#include "TestKernel.h"
#include "platform/IOKitUser.h"

namespace {

constexpr uint32_t kAdd = 1;
constexpr uint32_t kStateChange = 4;

class QzASPlugInIOKitTest : public testing::Test
{
protected:
    void SetUp() override
    {
        platform::iokit::user::setKernelSocketPath(root.socket());
        user_test::writeTestBundle(root.path(), "VKKernelDevice");
        std::string error;
        kernel = user_test::TestKernel::start(root.socket(), 1, &error);
        ASSERT_TRUE(kernel) << error;
    }
    void TearDown() override
    {
        kernel.reset();
        platform::iokit::user::setKernelSocketPath("");
    }

    static io_service_t service()
    {
        return IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching("VKKernelDevice"));
    }

    user_test::TestRoot root;
    std::unique_ptr<user_test::TestKernel> kernel;
};

TEST_F(QzASPlugInIOKitTest, CallsNeedAnOpenConnectionAndALiveService)
{
    QzASPlugInIOKitObject object(service());
    ASSERT_TRUE(object.IsValid());
    EXPECT_TRUE(object.ConformsTo("VKKernelDevice"));
    EXPECT_TRUE(QzASPlugInIOKitObject::TestForLiveness(object.GetObject()));
    EXPECT_FALSE(QzASPlugInIOKitObject::TestForLiveness(0));

    uint64_t in[2] = {40, 2};
    uint64_t out = 0;
    uint32_t outCount = 1;
    EXPECT_EQ(object.CallMethod(kAdd, in, 2, nullptr, 0, &out, &outCount, nullptr, nullptr),
              QzASPlugInIOKitObject::kRefused);
    OSXDispatch record{};
    EXPECT_FALSE(object.CallDriver(27, record));
    EXPECT_EQ(record.iReq, 27U) << "the code is written even when the call is refused";

    object.OpenConnection(3);
    const io_connect_t first = object.GetConnection();
    ASSERT_NE(first, 0U);
    object.OpenConnection(3); // already open: kept
    EXPECT_EQ(object.GetConnection(), first);
    EXPECT_EQ(object.CallMethod(kAdd, in, 2, nullptr, 0, &out, &outCount, nullptr, nullptr), kIOReturnSuccess);
    EXPECT_EQ(out, 42U);
    EXPECT_FALSE(object.CallDriver(27, record)) << "the test driver has no method 6";

    // A copy never carries the connection.
    QzASPlugInIOKitObject copy(object);
    EXPECT_EQ(copy.GetObject(), object.GetObject());
    EXPECT_FALSE(copy.IsConnectionOpen());

    object.ServiceWasTerminated();
    EXPECT_EQ(object.CallMethod(kAdd, in, 2, nullptr, 0, &out, &outCount, nullptr, nullptr),
              QzASPlugInIOKitObject::kRefused);
    EXPECT_EQ(object.CallTrap(0), QzASPlugInIOKitObject::kRefused);
    object.CloseConnection();
    EXPECT_FALSE(object.IsConnectionOpen());
}

TEST_F(QzASPlugInIOKitTest, MemoryIsMappedOnlyAtItsTrueSize)
{
    QzASPlugInIOKitObject object(service());
    EXPECT_EQ(object.MapMemory(1, 0, 30'488), nullptr) << "closed";
    object.OpenConnection(3);
    EXPECT_EQ(object.MapMemory(1, 0, 30'000), nullptr);
    void* block = object.MapMemory(1, 0, 30'488);
    ASSERT_NE(block, nullptr);
    std::memset(block, 0x5A, 30'488);
    void* ring = object.MapMemory(5, 0, 540'656);
    ASSERT_NE(ring, nullptr);
    EXPECT_EQ(object.MapMemory(4, 0, 540'656), nullptr) << "no such memory";
    object.ReleaseMemory(ring, 5);
    object.ReleaseMemory(block, 1);
}

TEST_F(QzASPlugInIOKitTest, PropertiesAreCachedOrReReadAndTyped)
{
    QzASPlugInIOKitObject object(service());
    uint32_t counter = 0;
    EXPECT_FALSE(object.CopyProperty_UInt32(CFSTR("Counter"), counter));
    CFStringRef uid = nullptr;
    ASSERT_TRUE(QzASPlugInIOKitObject::CopyProperty_CFString(object.GetObject(), CFSTR("deviceUID"), uid));
    EXPECT_EQ(CFStringCompare(uid, CFSTR("USB-TEST-1"), 0), kCFCompareEqualTo);
    CFRelease(uid);
    CFArrayRef notArray = nullptr;
    EXPECT_FALSE(QzASPlugInIOKitObject::CopyProperty_CFArray(object.GetObject(), CFSTR("deviceUID"), notArray));
    EXPECT_EQ(notArray, nullptr);
    bool enabled = false;
    EXPECT_TRUE(QzASPlugInIOKitObject::CopyProperty_bool(object.GetObject(), CFSTR("Enabled"), enabled));
    EXPECT_TRUE(enabled);
    bool fromNumber = false;
    EXPECT_TRUE(object.CopyProperty_bool(CFSTR("ClientsClosed"), fromNumber));
    EXPECT_FALSE(fromNumber) << "the number 0 reads as false";
    CFArrayRef rates = nullptr;
    ASSERT_TRUE(object.CopyProperty_CFArray(CFSTR("Rates"), rates));
    EXPECT_EQ(CFArrayGetCount(rates), 2);
    CFRelease(rates);

    // The test driver publishes "Counter" on a state change.
    object.OpenConnection(3);
    uint64_t value = 7;
    ASSERT_EQ(object.CallMethod(kStateChange, &value, 1, nullptr, 0, nullptr, nullptr, nullptr, nullptr),
              kIOReturnSuccess);
    object.SetReloadProperties(false);
    object.PropertiesChanged();
    EXPECT_TRUE(object.CopyProperty_UInt32(CFSTR("Counter"), counter)) << "the emptied cache is read again";
    EXPECT_EQ(counter, 7U);
    value = 8;
    ASSERT_EQ(object.CallMethod(kStateChange, &value, 1, nullptr, 0, nullptr, nullptr, nullptr, nullptr),
              kIOReturnSuccess);
    EXPECT_TRUE(object.CopyProperty_UInt32(CFSTR("Counter"), counter));
    EXPECT_EQ(counter, 7U) << "cached";
    object.PropertiesChanged();
    EXPECT_TRUE(object.CopyProperty_UInt32(CFSTR("Counter"), counter));
    EXPECT_EQ(counter, 8U);
    object.SetReloadProperties(true);
    value = 9;
    object.CallMethod(kStateChange, &value, 1, nullptr, 0, nullptr, nullptr, nullptr, nullptr);
    EXPECT_TRUE(object.CopyProperty_UInt32(CFSTR("Counter"), counter));
    EXPECT_EQ(counter, 9U) << "re-read on every query";

    // A wrapper made from a dictionary answers from it and makes no calls.
    CFDictionaryRef properties = object.CopyProperties();
    ASSERT_NE(properties, nullptr);
    QzASPlugInIOKitObject dead(properties);
    CFRelease(properties);
    EXPECT_FALSE(dead.IsServiceAlive());
    EXPECT_TRUE(dead.CopyProperty_UInt32(CFSTR("Counter"), counter));
}

TEST_F(QzASPlugInIOKitTest, SearchesFindTheServiceByItsProperty)
{
    CFMutableDictionaryRef matching = IOServiceMatching("VKKernelDevice");
    io_object_t found = QzASPlugInIOKitObject::CopyMatchingObjectWithPropertyValue(matching, CFSTR("deviceUID"),
                                                                                   CFSTR("USB-TEST-1"));
    EXPECT_NE(found, 0U);
    if (found != 0) {
        IOObjectRelease(found);
    }
    EXPECT_EQ(QzASPlugInIOKitObject::CopyMatchingObjectWithPropertyValue(matching, CFSTR("deviceUID"),
                                                                         CFSTR("USB-OTHER")),
              0U);
    EXPECT_EQ(QzASPlugInIOKitObject::CopyMatchingObjectWithPropertyValue(matching, nullptr, CFSTR("x")), 0U);
    CFRelease(matching);

    // The matching services, walked by an owning iterator; a non-owning copy takes no reference.
    QzASPlugInIOKitIterator services(IOServiceMatching("VKKernelDevice"));
    ASSERT_TRUE(services.IsValid());
    {
        QzASPlugInIOKitIterator borrowed(services.GetIterator(), false);
        QzASPlugInIOKitIterator copy(borrowed);
        EXPECT_EQ(copy.GetIterator(), services.GetIterator());
    }
    io_object_t first = services.Next();
    EXPECT_NE(first, 0U);
    IOObjectRelease(first);
    EXPECT_EQ(services.Next(), 0U);
}

TEST_F(QzASPlugInIOKitTest, AFailedOpenThrowsItsStatus)
{
    QzASPlugInIOKitObject object(service());
    kernel.reset();
    try {
        object.OpenConnection(3);
        FAIL() << "no exception";
    } catch (const CAException& e) {
        EXPECT_NE(e.GetError(), 0);
    }
}

} // namespace
