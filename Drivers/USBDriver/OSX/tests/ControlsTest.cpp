// The device controls through the whole driver on the simulated bus: what configuration completion
// reads for each kind of row of the controls table and the record it fills, what an applied change
// sends, and a hostile record in shared memory.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DriverFixture.h"
#include "DriverSM.h"
#include "OSXDispatch.h"
#include "VKDevice.h"
#include "VKDeviceControls.h"
#include "VKKernelDevice.h"
#include "usbsim/DeviceModel.h"
#include "usbsim/models/ClassAudioDevice.h"

using driver_test::DriverFixture;

namespace {

constexpr uint8_t kClassIn = 0xA1;
constexpr uint8_t kClassOut = 0x21;

std::string hex4(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value & 0xFFFF);
    return text;
}

class ControlsTest : public testing::Test
{
public:
    void TearDown() override { driver.unplug(); }

    // A class device under these ids, whose units answer GET_CUR/MIN/MAX with `cur`, `min` and
    // `max` (a selector reads `selector`) and take every SET_CUR.
    void plugClass(uint16_t vid, uint16_t pid, std::vector<uint16_t> units, uint8_t selector = 0)
    {
        usbsim::models::ClassAudioDevice::Options options;
        options.vendorID = vid;
        options.productID = pid;
        driver.addPersonality(vid, pid);
        auto model = std::make_shared<usbsim::models::ClassAudioDevice>(options);
        for (uint16_t unit : units) {
            script(*model, 0x81, unit, {0x00, 0xF0}, selector);
            script(*model, 0x82, unit, {0x00, 0xC4});
            script(*model, 0x83, unit, {0x00, 0x00});
            model->scriptAlways({kClassOut, 0x01, std::nullopt, unit},
                                usbsim::ScriptedStep::answer(usbsim::ControlReply::ok()));
        }
        plugged(driver.plug(model));
    }
    void plugNamed(const std::string& name) { plugged(driver.plug(name)); }

    void plugged(VKKernelDevice* s)
    {
        service = s;
        ASSERT_NE(service, nullptr);
        device = service->device();
        ASSERT_NE(device, nullptr);
        driver.waitQuiet();
        driver.clearRequestLog();
    }

    static void script(usbsim::DeviceModel& model, uint8_t request, uint16_t unit, std::vector<uint8_t> volume,
                       std::optional<uint8_t> selector = std::nullopt)
    {
        if (selector) {
            model.scriptAlways({kClassIn, request, 0, unit},
                               usbsim::ScriptedStep::answer(usbsim::ControlReply::ok({*selector})));
        }
        model.scriptAlways({kClassIn, request, std::nullopt, unit},
                           usbsim::ScriptedStep::answer(usbsim::ControlReply::ok(volume)));
    }

    IOReturn configure(const QzChannelSettings& settings = {44100, 2, 24, 2, 24, 0})
    {
        IOReturn status = kIOReturnError;
        driver.runInKernel([&] {
            VKDispatchLock lock(*service);
            OSXDispatch record{};
            record.iReq = Req_PrepareNewConfigAnonymous;
            std::memcpy(record.payload, &settings, sizeof settings);
            status = OSXDispatchRequest(service, OSXDispatchCaller{}, record);
        });
        driver.waitQuiet();
        return status;
    }

    XsDeviceControls shared() const
    {
        XsDeviceControls c{};
        std::memcpy(&c, device->mpDriverSM->mDeviceControls, sizeof c);
        return c;
    }

    // A change written into the live block as user space does, then the mute update (controls
    // handling A) applies it.
    void applyLive(const XsDeviceControls& changed)
    {
        std::memcpy(device->mpDriverSM->mDeviceControls, &changed, sizeof changed);
        driver.runInKernel([&] {
            VKDispatchLock lock(*service);
            OSXDispatch record{};
            record.iReq = Req_UpdateMuteStatus;
            OSXDispatchRequest(service, OSXDispatchCaller{}, record);
        });
        driver.waitQuiet();
    }

    // The class requests of the log as "bmRequestType bRequest wValue wIndex data...".
    std::vector<std::string> classRequests()
    {
        std::vector<std::string> out;
        for (const usbsim::LoggedRequest& r : driver.requestLog()) {
            if (r.setup.bmRequestType != kClassOut && r.setup.bmRequestType != 0x41) {
                continue;
            }
            char head[32];
            std::snprintf(head, sizeof head, "%02X %02X %04X %04X", r.setup.bmRequestType, r.setup.bRequest,
                          r.setup.wValue, r.setup.wIndex);
            std::string line = head;
            for (uint8_t b : r.outData) {
                char byte[4];
                std::snprintf(byte, sizeof byte, " %02X", b);
                line += byte;
            }
            out.push_back(line);
        }
        return out;
    }

    DriverFixture driver;
    VKKernelDevice* service = nullptr;
    VKDevice* device = nullptr;
};

std::vector<std::string> reads(unsigned unit, int channels)
{
    std::vector<std::string> lines;
    const int first = channels < 0 ? 0 : 1;
    const int last = channels < 0 ? 0 : channels;
    for (int c = first; c <= last; ++c) {
        for (const char* request : {"81", "82", "83"}) {
            lines.push_back(std::string("A1 ") + request + " " + hex4(0x0200 + c) + " " + hex4(unit));
        }
    }
    return lines;
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(ControlsTest, AnUnknownModelGetsAnEmptyRecord)
{
    plugClass(0x2912, 0x3001, {});
    std::memset(device->mpDriverSM->mDeviceControls, 0x5A, sizeof device->mpDriverSM->mDeviceControls);
    ASSERT_EQ(configure(), kIOReturnSuccess);
    const XsDeviceControls c = shared();
    const XsDeviceControls zero{};
    EXPECT_EQ(std::memcmp(&c, &zero, sizeof c), 0);
    for (const usbsim::LoggedRequest& r : driver.requestLog()) {
        EXPECT_NE(r.setup.bmRequestType, kClassIn) << "no unit is read";
        EXPECT_NE(r.setup.bmRequestType, kClassOut) << "no unit is set";
    }
}

TEST_F(ControlsTest, ASelectorRowReadsItsEndpointsAndItsSelection)
{
    // 0948:1105: out "Output" (2, 0200, 0200); in 3 / selector 0C00: "Analog" (2, 0800, 0800),
    // "S/PDIF" (master, 0A00, -), "Optical" (master, 0B00, -); selection read.
    plugClass(0x0948, 0x1105, {0x0200, 0x0800, 0x0A00, 0x0B00, 0x0C00}, 2);
    ASSERT_EQ(configure(), kIOReturnSuccess);
    std::vector<std::string> got;
    for (const usbsim::LoggedRequest& r : driver.requestLog()) {
        if (r.setup.bmRequestType == kClassIn) {
            got.push_back("A1 " + std::string(r.setup.bRequest == 0x81 ? "81" : r.setup.bRequest == 0x82 ? "82" : "83") +
                          " " + hex4(r.setup.wValue) + " " + hex4(r.setup.wIndex));
        }
    }
    const std::vector<std::string> expected = reads(0x0200, 2) + std::vector<std::string>{"A1 81 0100 0200"} +
                                              reads(0x0800, 2) + std::vector<std::string>{"A1 81 0100 0800"} +
                                              reads(0x0A00, -1) + reads(0x0B00, -1) +
                                              std::vector<std::string>{"A1 81 0000 0C00"};
    EXPECT_EQ(got, expected);
    const XsDeviceControls c = shared();
    EXPECT_EQ(c.cOut.iCount, 1u);
    EXPECT_EQ(c.cOut.iIndependent, 1u);
    EXPECT_STREQ(c.cOut.cEndpoints[0].szName, "Output");
    EXPECT_EQ(c.cOut.cEndpoints[0].iVolumes[1][0], static_cast<int16_t>(0xC400));
    EXPECT_EQ(c.cOut.cEndpoints[0].iVolumes[1][1], static_cast<int16_t>(0xF000));
    EXPECT_EQ(c.cOut.cEndpoints[0].iVolumes[1][2], 0);
    EXPECT_EQ(c.cIn.iCount, 3u);
    EXPECT_EQ(c.cIn.iIndependent, 0u);
    EXPECT_EQ(c.cIn.iSelectorUnit, 0x0C00);
    EXPECT_EQ(c.cIn.iSelector, 2) << "position 2 is endpoint 1";
    EXPECT_EQ(c.cIn.cEndpoints[1].iChannels, -1);
    EXPECT_EQ(c.cIn.cEndpoints[1].bHasMute, 0u);
    EXPECT_STREQ(c.cIn.cEndpoints[2].szName, "Optical");
    EXPECT_EQ(c.bMonitorSwitch, 0u);
}

TEST_F(ControlsTest, ASelectionSendsItsPositionAndAppliesTheChosenEndpoint)
{
    plugClass(0x0948, 0x1105, {0x0200, 0x0800, 0x0A00, 0x0B00, 0x0C00}, 1);
    ASSERT_EQ(configure(), kIOReturnSuccess);
    driver.clearRequestLog();
    XsDeviceControls c = shared();
    c.cIn.iSelector = 4;
    applyLive(c);
    // Selector position 3, the Optical master volume with force and again; the output's two
    // volumes are sent again on every apply.
    EXPECT_EQ(classRequests(), (std::vector<std::string>{"21 01 0000 0C00 03", "21 01 0200 0B00 00 F0",
                                                         "21 01 0200 0B00 00 F0", "21 01 0201 0200 00 F0",
                                                         "21 01 0202 0200 00 F0"}));
    EXPECT_EQ(shared().cIn.iSelector, 4);

    // Not a single bit: no selection is sent.
    driver.clearRequestLog();
    c = shared();
    c.cIn.iSelector = 3;
    applyLive(c);
    EXPECT_EQ(classRequests(), (std::vector<std::string>{"21 01 0201 0200 00 F0", "21 01 0202 0200 00 F0"}));
}

TEST_F(ControlsTest, AHostileRecordChangesNothingOutsideItsFields)
{
    plugClass(0x0948, 0x1105, {0x0200, 0x0800, 0x0A00, 0x0B00, 0x0C00}, 1);
    ASSERT_EQ(configure(), kIOReturnSuccess);
    driver.clearRequestLog();
    XsDeviceControls c = shared();
    c.cOut.iCount = 200;
    c.cOut.iIndependent = 1;
    c.cOut.cEndpoints[0].iChannels = 1000;
    c.cOut.cEndpoints[0].iVolumeUnit = 0x4400;
    c.cOut.cEndpoints[0].iVolumes[0][1] = 0x7FFF;                  // above the maximum
    c.cOut.cEndpoints[0].iVolumes[1][1] = static_cast<int16_t>(0x8000); // below the minimum
    c.cOut.cEndpoints[0].iMute = 9;
    c.cIn.iSelectorUnit = 0x6600;
    c.cIn.iCount = 1;
    c.cIn.iSelector = 0x80; // endpoint 7: past the group's three
    c.bMonitorSwitch = 1;
    c.iMonitor = 5;
    c.cSync.iCount = 100;
    c.cSync.iSelector = 0xFF;
    std::memset(c.cOut.cEndpoints[0].szName, 'X', sizeof c.cOut.cEndpoints[0].szName);
    applyLive(c);
    // Only the kernel's units, only its two channels, volumes within their range, a mute of 1.
    EXPECT_EQ(classRequests(), (std::vector<std::string>{"21 01 0100 0200 01", "21 01 0201 0200 00 00",
                                                         "21 01 0202 0200 00 C4"}));
    const XsDeviceControls after = shared();
    EXPECT_EQ(after.cOut.iCount, 1u);
    EXPECT_EQ(after.cOut.cEndpoints[0].iChannels, 2);
    EXPECT_EQ(after.cOut.cEndpoints[0].iVolumeUnit, 0x0200);
    EXPECT_STREQ(after.cOut.cEndpoints[0].szName, "Output");
    EXPECT_EQ(after.cIn.iSelectorUnit, 0x0C00);
    EXPECT_EQ(after.cIn.iCount, 3u);
    EXPECT_EQ(after.bMonitorSwitch, 0u);
    EXPECT_EQ(after.cSync.iCount, 0u);
    EXPECT_EQ(after.cSync.iSelector, 0) << "an invalid sync selection is replaced by the old one";
    EXPECT_EQ(device->appliedControls().cOut.cEndpoints[0].iVolumes[0][1], 0);
}

TEST_F(ControlsTest, TheMonitorSwitchIsSentByItsModelsRequest)
{
    // 0CCD:0014: monitor switch, state 1, value 0; vendor OUT 0x01 to index 3: 1 on, 0 off.
    plugClass(0x0CCD, 0x0014, {});
    driver.model()->scriptAlways({0x41, 0x01, std::nullopt, 3},
                                 usbsim::ScriptedStep::answer(usbsim::ControlReply::ok()));
    ASSERT_EQ(configure(QzChannelSettings{44100, 2, 24, 2, 24, 0}), kIOReturnSuccess);
    XsDeviceControls c = shared();
    EXPECT_EQ(c.bMonitorSwitch, 1u);
    EXPECT_EQ(c.iMonitorSwitchState, 1u);
    EXPECT_EQ(c.iMonitor, 0);
    driver.clearRequestLog();
    driver.runInKernel([&] {
        VKDispatchLock lock(*service);
        OSXDispatch record{};
        record.iReq = Req_UpdateMonitorStatus;
        record.setWord(0, 1);
        OSXDispatchCaller caller;
        OSXDispatchRequest(service, caller, record);
    });
    driver.waitQuiet();
    EXPECT_EQ(classRequests(), (std::vector<std::string>{"41 01 0000 0003 01"}));
    EXPECT_EQ(shared().iMonitor, 1);
}

TEST_F(ControlsTest, KemperOutputSelectionRoutesTheDigitalOutput)
{
    plugNamed("Mindprint");
    ASSERT_EQ(configure(QzChannelSettings{48000, 2, 16, 2, 16, 0}), kIOReturnSuccess);
    XsDeviceControls c = shared();
    EXPECT_EQ(c.bMonitorSwitch, 1u);
    EXPECT_EQ(c.iMonitor, 1) << "as the device reported it";
    EXPECT_EQ(c.cOut.iSelector, 1);
    driver.clearRequestLog();
    c.cOut.iSelector = 2;
    applyLive(c);
    EXPECT_EQ(classRequests(), (std::vector<std::string>{"41 01 0000 0004 01"}));
    EXPECT_EQ(shared().iDigitalRouting, 1u);
    driver.clearRequestLog();
    c = shared();
    c.iMonitor = 0;
    applyLive(c);
    EXPECT_EQ(classRequests(), (std::vector<std::string>{"41 01 0000 0001 00"}));
}

TEST_F(ControlsTest, TheMBoxRestartsItsStreamForANewInputOrSyncSelection)
{
    plugNamed("MBox");
    ASSERT_EQ(configure(QzChannelSettings{44100, 2, 24, 2, 24, 0}), kIOReturnSuccess);
    XsDeviceControls c = shared();
    EXPECT_EQ(c.cIn.iCount, 2u);
    EXPECT_EQ(c.cIn.iSelector, 1);
    EXPECT_EQ(c.cSync.iCount, 2u);
    EXPECT_STREQ(c.cSync.szNames[1], "S/PDIF (RCA)");
    const uint32_t before = device->streamStateChanges();
    c.cSync.iSelector = 2;
    applyLive(c);
    EXPECT_EQ(shared().cSync.iSelector, 2);
    EXPECT_GT(device->streamStateChanges(), before) << "restarted (state change 3)";
    EXPECT_EQ(device->streamingStarted(), 1);
    // A sync selection of 4 with two sources is refused and the old one kept.
    c = shared();
    c.cSync.iSelector = 4;
    const uint32_t again = device->streamStateChanges();
    applyLive(c);
    EXPECT_EQ(device->appliedControls().cSync.iSelector, 2);
    EXPECT_EQ(device->streamStateChanges(), again);
}

} // namespace
