// The identity an Elektron device reports at start (UID and name), read through the whole driver
// on the simulated bus: the name always ends inside its 32 bytes, and a failing device leaves both
// fields zero and still published.
#include "DriverFixture.h"
#include "VKDevice.h"
#include "VKKernelDevice.h"

#include <IOKit/IOLib.h>
#include <usbsim/Bus.h>
#include <usbsim/Catalogue.h>
#include <usbsim/DeviceModel.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

constexpr uint8_t kVendorIn = 0xC0;
constexpr uint8_t kUIDRequest = 0x00;
constexpr uint8_t kNameRequest = 0x01;

std::vector<uint8_t> publishedBytes(VKKernelDevice* service, const char* key)
{
    OSData* data = OSDynamicCast(OSData, service->getProperty(key));
    if (data == nullptr) {
        return {};
    }
    const auto* bytes = static_cast<const uint8_t*>(data->getBytesNoCopy());
    return {bytes, bytes + data->getLength()};
}

struct NameCase
{
    const char* model;
    size_t nameLength; // bytes the device answers
};

class ElektronIdentityTest : public testing::TestWithParam<NameCase>
{
};

TEST_P(ElektronIdentityTest, TheNameEndsInsideItsField)
{
    const NameCase& c = GetParam();
    driver_test::DriverFixture driver;
    VKKernelDevice* service = driver.plug(usbsim::makeModel(c.model));
    ASSERT_NE(service, nullptr);
    VKDevice* device = driver.vkDevice();
    ASSERT_NE(device, nullptr);

    // The answer's last byte becomes the end of the name (a 32-byte answer loses its last byte).
    const size_t terminator = c.nameLength - 1;
    EXPECT_EQ(device->ElektronDeviceName[terminator], 0);
    const size_t length = strnlen(device->ElektronDeviceName, sizeof(device->ElektronDeviceName));
    EXPECT_GT(length, 0u);
    EXPECT_LE(length, terminator);

    const std::vector<uint8_t> name = publishedBytes(service, "ElektronDeviceName");
    ASSERT_EQ(name.size(), 32u);
    EXPECT_EQ(std::memcmp(name.data(), device->ElektronDeviceName, 32), 0);
    const std::vector<uint8_t> uid = publishedBytes(service, "ElektronUID");
    ASSERT_EQ(uid.size(), 8u);
    EXPECT_EQ(std::memcmp(uid.data(), device->ElektronUID, 8), 0);
    EXPECT_NE(uid, std::vector<uint8_t>(8, 0));

    // The device was asked once for each, in this order.
    std::vector<uint8_t> asked;
    for (const usbsim::LoggedRequest& request : driver.requestLog()) {
        if (request.setup.bmRequestType == kVendorIn &&
            (request.setup.bRequest == kUIDRequest || request.setup.bRequest == kNameRequest)) {
            asked.push_back(request.setup.bRequest);
        }
    }
    EXPECT_EQ(asked, (std::vector<uint8_t>{kUIDRequest, kNameRequest}));
}

INSTANTIATE_TEST_SUITE_P(Revisions, ElektronIdentityTest,
                         testing::Values(NameCase{"1935:0006", 32}, NameCase{"1935:0006@0001", 5}),
                         [](const testing::TestParamInfo<NameCase>& param) {
                             return std::string(param.param.nameLength == 32 ? "FullName" : "ShortName");
                         });

TEST(ElektronIdentity, AFailingDeviceLeavesZeroFieldsThatAreStillPublished)
{
    driver_test::DriverFixture driver;
    VKKernelDevice* service = driver.plug(usbsim::makeModel("1935:0006"), {}, [](usbsim::Device& device) {
        for (uint8_t request : {kUIDRequest, kNameRequest}) {
            usbsim::RequestMatch identity;
            identity.bmRequestType = kVendorIn;
            identity.bRequest = request;
            device.model().scriptAlways(identity,
                                        usbsim::ScriptedStep::answer(usbsim::ControlReply::deviceError()));
        }
    });
    ASSERT_NE(service, nullptr);
    VKDevice* device = driver.vkDevice();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(publishedBytes(service, "ElektronUID"), std::vector<uint8_t>(8, 0));
    EXPECT_EQ(publishedBytes(service, "ElektronDeviceName"), std::vector<uint8_t>(32, 0));
}

} // namespace
