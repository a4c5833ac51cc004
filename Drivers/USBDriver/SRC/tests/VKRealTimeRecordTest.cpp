// The real-time record: counts made on the real-time side, told once each by request threads.
#include "VKRealTimeRecord.h"

#include <gtest/gtest.h>

#include "IOKit/IOLib.h"
#include "platform/Log.h"
#include "platform/RealTime.h"

namespace {

using platform::log::Capture;
using platform::log::Channel;

TEST(VKRealTimeRecordTest, EachCountIsToldOnceWithWhatCameSinceTheLastReport)
{
    VKRealTimeRecord record;
    Capture log(Channel::kernel);
    EXPECT_FALSE(record.report("dev")) << "nothing counted, nothing told";
    {
        platform::realtime::Section realTime;
        record.count(VKRealTimeRecord::kRefusedReads);
        record.count(VKRealTimeRecord::kClientLateFrames, 96);
        record.lateService(2100);
        record.lateService(1600);
    }
    ASSERT_TRUE(record.report("dev"));
    record.count(VKRealTimeRecord::kRefusedReads, 2);
    ASSERT_TRUE(record.report("dev"));
    EXPECT_FALSE(record.report("dev"));
    platform::log::flush();
    EXPECT_EQ(log.texts(),
              (std::vector<std::string>{
                  "real-time record of dev: late service periods +2 (2), latest 2100 us",
                  "real-time record of dev: refused reads +1 (1)",
                  "real-time record of dev: frames mixed before their client wrote them +96 (96)",
                  "real-time record of dev: refused reads +2 (3)",
              }));
}

void ignore(const char*) {}

// Outside test programs a call the mark forbids is only counted; the next report tells it.
TEST(VKRealTimeRecordTest, ViolationsOfTheMarkAreToldByTheNextReport)
{
    VKRealTimeRecord record;
    record.report("dev");
    const platform::realtime::Handler previous = platform::realtime::setHandler(&ignore);
    {
        platform::realtime::Section realTime;
        IOLog("a line under the mark\n");
    }
    platform::realtime::setHandler(previous);
    Capture log(Channel::kernel);
    ASSERT_TRUE(record.report("dev"));
    platform::log::flush();
    EXPECT_TRUE(log.contains("real-time record of dev: calls not allowed under the real-time mark +1"));
    EXPECT_TRUE(log.contains("the latest IOLog"));
}

} // namespace
