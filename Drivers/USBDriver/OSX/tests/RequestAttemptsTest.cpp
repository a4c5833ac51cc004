// How often the driver tries each control request that keeps failing: a request is sent once and
// retried as often as its retry count says (register and rate requests twice, SET_INTERFACE three
// times, the others five times), as the device sees it.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "DriverFixture.h"
#include "DriverSM.h"
#include "VKDevice.h"
#include "VKKernelDevice.h"
#include "usbsim/Catalogue.h"

using driver_test::DriverFixture;

namespace {

struct AttemptCase
{
    const char* name;
    const char* model;
    usbsim::RequestMatch failing; // every request matching it fails (no answer)
    bool atStart;        // made while the device starts: the failure is scripted before it is plugged
    bool configureFirst; // the stream configured before the failure is scripted
    std::function<void(VKDevice&)> prepare; // on a kernel thread, before the failure is scripted
    std::function<void(DriverFixture&, VKKernelDevice&)> make; // makes the request once
    unsigned attempts;
};

void PrintTo(const AttemptCase& c, std::ostream* out)
{
    *out << c.name;
}

IOReturn configure(DriverFixture& driver, VKKernelDevice& service)
{
    IOReturn status = kIOReturnError;
    EXPECT_TRUE(driver.runInKernel([&] {
        VKDispatchLock lock(service);
        status = service.reqConfigureDevice("test");
    }));
    return status;
}

void inKernel(DriverFixture& driver, VKKernelDevice& service, const std::function<void(VKDevice&)>& work)
{
    EXPECT_TRUE(driver.runInKernel([&] {
        VKDispatchLock lock(service);
        work(*service.device());
    }));
}

auto configureAgain()
{
    return [](DriverFixture& driver, VKKernelDevice& service) { configure(driver, service); };
}

auto updateInputSelector()
{
    return [](DriverFixture& driver, VKKernelDevice& service) {
        inKernel(driver, service, [](VKDevice& device) { device.updateAqInputSelector(nullptr); });
    };
}

// The family status register answers 0x02: internal clock.
const usbsim::RequestMatch kReadRegister{0xC0, 0x49, 0, 0};

class RequestAttemptsTest : public ::testing::TestWithParam<AttemptCase>
{
};

TEST_P(RequestAttemptsTest, AFailingRequestIsTriedItsRetryCountAndOnceMore)
{
    const AttemptCase& c = GetParam();
    DriverFixture driver;
    const usbsim::ScriptedStep fail = usbsim::ScriptedStep::answer(usbsim::ControlReply::noAnswer());
    if (c.atStart) {
        std::shared_ptr<usbsim::DeviceModel> model = usbsim::makeModel(c.model);
        ASSERT_NE(model, nullptr);
        model->scriptAlways(c.failing, fail);
        ASSERT_NE(driver.plug(model), nullptr);
    } else {
        VKKernelDevice* service = driver.plug(c.model);
        ASSERT_NE(service, nullptr);
        if (c.configureFirst) {
            ASSERT_EQ(configure(driver, *service), kIOReturnSuccess);
        }
        if (c.prepare) {
            inKernel(driver, *service, c.prepare);
        }
        // The first script a request matches answers it.
        driver.model()->scriptAlways(c.failing, fail);
        driver.model()->scriptAlways(kReadRegister,
                                     usbsim::ScriptedStep::answer(usbsim::ControlReply::ok({0x02})));
        driver.clearRequestLog();
        c.make(driver, *service);
    }
    unsigned seen = 0;
    for (const usbsim::LoggedRequest& request : driver.requestLog()) {
        seen += c.failing.matches(request.setup) ? 1 : 0;
    }
    EXPECT_EQ(seen, c.attempts);
}

const AttemptCase kCases[] = {
    {"StatusRegisterRead", "Kelvra-UC3", {0xC0, 0x49, 0, 0}, false, true, {}, updateInputSelector(), 3},
    {"StatusRegisterWrite",
     "Kelvra-UC3",
     {0x40, 0x49, std::nullopt, 0},
     false,
     true,
     [](VKDevice& device) { device.getAqExtData()->ClockSource = 1; }, // the register says internal
     updateInputSelector(),
     3},
    {"RateRead",
     "Kelvra-UC3",
     {0xA2, 0x81, 0x0100, 0x0082},
     false,
     true,
     [](VKDevice& device) { device.getAqExtData()->ClockSource = 0; }, // as the register says
     updateInputSelector(),
     3},
    {"DigitalOutSelector",
     "Kelvra-UC3",
     {0x40, 0x49, std::nullopt, 2},
     false,
     true,
     [](VKDevice& device) { device.mInitSettings.mFlags[APISpecificFeatures::kDigitalOutSelector] = 1; },
     [](DriverFixture& driver, VKKernelDevice& service) {
         inKernel(driver, service, [](VKDevice& device) { device.writeDigitalOutSelector(); });
     },
     6},
    {"041E_3020MonitorMix", "041E:3020", {0x21, 0x01, 0x0100, 0x1200}, false, false, {}, configureAgain(), 6},
    {"Play1624OutputToAlternate0", "Play-16/24", {0x01, 0x0B, 0, 1}, false, false, {}, configureAgain(), 4},
    {"FamilySetInterfaceToTheDevice",
     "Kelvra-UC3",
     {0x00, 0x0B, 0, 2},
     false,
     false,
     {},
     configureAgain(),
     4},
    {"FirmwareVersion", "Kelvra-UC3", {0xC0, 0x56, 0, 0}, true, false, {}, {}, 6},
    {"ElektronUID", "1935:0006", {0xC0, 0x00, 0, 0}, true, false, {}, {}, 6},
    {"ElektronName", "1935:0006", {0xC0, 0x01, 0, 0}, true, false, {}, {}, 6},
    {"USBPrePicCommand", "USBPre", {0x40, 0x01, 0x00F0, 0x01F0}, false, false, {}, configureAgain(), 6},
};

INSTANTIATE_TEST_SUITE_P(Requests, RequestAttemptsTest, ::testing::ValuesIn(kCases),
                         [](const auto& param) { return std::string(param.param.name); });

} // namespace
