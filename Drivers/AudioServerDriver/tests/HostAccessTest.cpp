// The plug-in's class-wide access to the host interface, with and without a host.
#include <gtest/gtest.h>

#include <vector>

#include "QzASPlugInPlugIn.h"
#include "platform/Log.h"

namespace {

using platform::log::Capture;
using platform::log::Channel;

struct RecordingHost
{
    AudioServerPlugInHostInterface table{};
    std::vector<AudioObjectPropertyAddress> changed;
    AudioObjectID changedObject = 0;
    int writes = 0;
    UInt64 requestedAction = 0;
    void* requestedInfo = nullptr;
};

RecordingHost* recorder(AudioServerPlugInHostRef host)
{
    return reinterpret_cast<RecordingHost*>(const_cast<AudioServerPlugInHostInterface*>(host));
}

RecordingHost makeHost()
{
    RecordingHost host;
    host.table.PropertiesChanged = [](AudioServerPlugInHostRef self, AudioObjectID object, UInt32 count,
                                      const AudioObjectPropertyAddress addresses[]) -> OSStatus {
        recorder(self)->changedObject = object;
        recorder(self)->changed.assign(addresses, addresses + count);
        return 0;
    };
    host.table.CopyFromStorage = [](AudioServerPlugInHostRef, CFStringRef, CFPropertyListRef* data) -> OSStatus {
        *data = CFSTR("stored");
        return 0;
    };
    host.table.WriteToStorage = [](AudioServerPlugInHostRef self, CFStringRef, CFPropertyListRef) -> OSStatus {
        ++recorder(self)->writes;
        return 0;
    };
    host.table.DeleteFromStorage = [](AudioServerPlugInHostRef, CFStringRef) -> OSStatus { return 0; };
    host.table.RequestDeviceConfigurationChange = [](AudioServerPlugInHostRef self, AudioObjectID, UInt64 action,
                                                     void* info) -> OSStatus {
        recorder(self)->requestedAction = action;
        recorder(self)->requestedInfo = info;
        return 0;
    };
    return host;
}

// Runs first in its process: no host and no plug-in object yet.
TEST(QzASPlugInHost, WithoutAHostNothingReachesAnybody)
{
    Capture capture(Channel::system);
    CFPropertyListRef data = nullptr;
    EXPECT_EQ(QzASPlugInPlugIn::CopyFromStorage(CFSTR("com.quenzar.sonvexa"), &data), -1);
    EXPECT_EQ(data, nullptr);
    platform::log::flush();
    ASSERT_FALSE(capture.lines().empty());
    EXPECT_EQ(capture.lines().front().priority, platform::log::kPriorityError);
    EXPECT_EQ(capture.lines().front().text, "CopyFromStorage: Can't get host.((nil), 0xffff)");
    EXPECT_EQ(QzASPlugInPlugIn::WriteToStorage(CFSTR("key"), CFSTR("value")), -1);
    const AudioObjectPropertyAddress address{kAudioPlugInPropertyDeviceList, kAudioObjectPropertyScopeGlobal, 0};
    QzASPlugInPlugIn::Host_PropertiesChanged(1, 1, &address);
    capture.clear();
    QzASPlugInPlugIn::Host_RequestDeviceConfigurationChange(32, 1, nullptr);
    platform::log::flush();
    EXPECT_TRUE(capture.contains("Host_RequestDeviceConfigurationChange 32"));
    EXPECT_FALSE(capture.contains("shost"));
}

TEST(QzASPlugInHost, CallsReachTheHostWithTheirArguments)
{
    RecordingHost host = makeHost();
    QzASPlugInPlugIn::SetHost(&host.table);
    CFPropertyListRef data = nullptr;
    EXPECT_EQ(QzASPlugInPlugIn::CopyFromStorage(CFSTR("key"), &data), 0);
    EXPECT_NE(data, nullptr);
    EXPECT_EQ(QzASPlugInPlugIn::WriteToStorage(CFSTR("key"), nullptr), -1);
    EXPECT_EQ(host.writes, 0);
    EXPECT_EQ(QzASPlugInPlugIn::WriteToStorage(CFSTR("key"), CFSTR("value")), 0);
    EXPECT_EQ(host.writes, 1);

    const AudioObjectPropertyAddress addresses[] = {
        {kAudioObjectPropertyOwnedObjects, kAudioObjectPropertyScopeGlobal, 0},
        {kAudioPlugInPropertyDeviceList, kAudioObjectPropertyScopeGlobal, 0}};
    QzASPlugInPlugIn::Host_PropertiesChanged(1, 2, addresses);
    EXPECT_EQ(host.changedObject, 1U);
    ASSERT_EQ(host.changed.size(), 2U);
    EXPECT_EQ(host.changed[1].mSelector, kAudioPlugInPropertyDeviceList);

    Capture capture(Channel::system);
    int record = 0;
    QzASPlugInPlugIn::Host_RequestDeviceConfigurationChange(32, 9, &record);
    EXPECT_EQ(host.requestedAction, 9U);
    EXPECT_EQ(host.requestedInfo, &record);
    platform::log::flush();
    EXPECT_TRUE(capture.contains("Host_RequestDeviceConfigurationChange: shost"));
    QzASPlugInPlugIn::SetHost(nullptr);
}

} // namespace
