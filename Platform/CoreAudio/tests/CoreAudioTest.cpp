// The notification calls reach the installed host, and say so when there is none.
#include <gtest/gtest.h>

#include "CoreAudio/AudioHardwarePlugIn.h"
#include "platform/CoreAudioHost.h"
#include "platform/Log.h"

namespace {

using platform::coreaudio::NotificationRecorder;

TEST(CoreAudioTest, NotificationsReachTheRecorderInOrder)
{
    NotificationRecorder recorder;
    EXPECT_EQ(AudioHardwareDevicePropertyChanged(nullptr, 7, 0, true, kAudioDevicePropertyLatency), 0);
    EXPECT_EQ(AudioHardwareStreamPropertyChanged(nullptr, 7, 9, 0, kAudioDevicePropertyBufferFrameSize), 0);
    const AudioObjectPropertyAddress addresses[] = {
        {kAudioStreamPropertyPhysicalFormat, kAudioObjectPropertyScopeGlobal, 0},
        {kAudioDevicePropertyStreamFormat, kAudioObjectPropertyScopeGlobal, 0}};
    EXPECT_EQ(AudioObjectPropertiesChanged(nullptr, 9, 2, addresses), 0);
    EXPECT_EQ(recorder.described(),
              (std::vector<std::string>{"device in ltnc", "stream 9 fsiz", "object 9 glob pft ", "object 9 glob sfmt"}));
    EXPECT_EQ(recorder.count(kAudioDevicePropertyLatency), 1U);
}

TEST(CoreAudioTest, WithoutAHostTheCallsSayNobodyListens)
{
    platform::log::Capture system(platform::log::Channel::system);
    EXPECT_EQ(AudioHardwareDevicePropertyChanged(nullptr, 7, 0, false, kAudioDevicePropertyDeviceIsRunning),
              kAudioHardwareNotRunningError);
    platform::log::flush();
    EXPECT_TRUE(system.contains("nobody listens"));
}

TEST(CoreAudioTest, RecordersNestAndRestoreTheHostBefore)
{
    NotificationRecorder outer;
    {
        NotificationRecorder inner;
        AudioHardwareDevicePropertyChanged(nullptr, 1, 0, false, kAudioDevicePropertyBufferSize);
        EXPECT_EQ(inner.notifications().size(), 1U);
    }
    AudioHardwareDevicePropertyChanged(nullptr, 1, 0, false, kAudioDevicePropertyBufferSize);
    EXPECT_EQ(outer.notifications().size(), 1U);
}

TEST(CoreAudioTest, FourCharacterCodesAreMostSignificantByteFirst)
{
    EXPECT_EQ(audioFourCC("stop"), 0x73746F70U);
    EXPECT_EQ(kAudioDeviceUnsupportedFormatError, 0x21646174);
}

} // namespace
