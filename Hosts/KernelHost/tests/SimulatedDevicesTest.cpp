// The kernel host's simulated devices: the control commands that attach and detach them, a device
// clock put off by a number of ppm.
#include "SimulatedDevices.h"

#include <gtest/gtest.h>

#include "platform/HostClock.h"
#include "usbsim/models/AudioModel.h"

namespace {

namespace vc = platform::host_clock::virtual_clock;

class SimulatedDevicesTest : public ::testing::Test
{
protected:
    IOReturn command(const std::vector<std::string>& words)
    {
        answer.clear();
        return devices.command(words, answer);
    }
    int32_t clockPpm(size_t index)
    {
        auto* audio = dynamic_cast<usbsim::models::AudioModel*>(&bus.devices().at(index)->model());
        return audio != nullptr ? audio->clockPpm() : INT32_MIN;
    }

    vc::Scope clock{1'000'000'000};
    usbsim::Bus bus;
    kernel_host::SimulatedDevices devices{bus};
    std::string answer;
};

TEST_F(SimulatedDevicesTest, AttachSetsTheDeviceClockErrorWhenGiven)
{
    ASSERT_EQ(command({"attach", "class-audio-hs", "-250"}), kIOReturnSuccess);
    EXPECT_EQ(answer, "1\n");
    ASSERT_EQ(command({"attach", "class-audio"}), kIOReturnSuccess);
    EXPECT_EQ(answer, "2\n");
    EXPECT_EQ(clockPpm(0), -250);
    EXPECT_EQ(clockPpm(1), 0);
    EXPECT_EQ(command({"devices"}), kIOReturnSuccess);
    EXPECT_EQ(answer, "1 class-audio-hs 2912:3101\n2 class-audio 2912:3001\n");
    // The bus location names the device to a user process (its USB device's "locationID").
    ASSERT_EQ(command({"location", "2"}), kIOReturnSuccess);
    char location[16];
    std::snprintf(location, sizeof location, "0x%08X\n", bus.devices().at(1)->locationID());
    EXPECT_EQ(answer, location);
}

TEST_F(SimulatedDevicesTest, RefusesWhatItCannotAttach)
{
    struct Case
    {
        std::vector<std::string> words;
        IOReturn status;
        const char* answer;
    } cases[] = {
        {{"attach", "no-such-model"}, kIOReturnNotFound, "no such model: no-such-model (see \"models\")\n"},
        {{"attach", "US-322", "10"}, kIOReturnUnsupported, "US-322 has no sample clock\n"},
        {{"attach", "class-audio", "100001"},
         kIOReturnBadArgument,
         "not a clock error in ppm: 100001 (-100000 to 100000)\n"},
        {{"attach", "class-audio", "12x"},
         kIOReturnBadArgument,
         "not a clock error in ppm: 12x (-100000 to 100000)\n"},
        {{"detach", "1"}, kIOReturnNotFound, "no such device: 1 (see \"devices\")\n"},
        {{"location", "1"}, kIOReturnNotFound, "no such device: 1 (see \"devices\")\n"},
        {{"attach-file", "/no/such/descriptors"}, kIOReturnBadArgument, "/no/such/descriptors: cannot be read\n"},
        {{"attach-file", "/no/such/descriptors", "--side-file"},
         kIOReturnBadArgument,
         "not --speed full|high or --side-file SIDE: --side-file\n"},
        {{"attach", "class-audio", "1", "2"},
         kIOReturnBadArgument,
         "commands: models | devices | attach MODEL [PPM] | attach-file FILE [--speed full|high] "
         "[--side-file SIDE] | detach NUMBER | location NUMBER\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(command(c.words), c.status) << c.answer;
        EXPECT_EQ(answer, c.answer);
    }
    EXPECT_TRUE(bus.devices().empty());
}

} // namespace
