// The whole driver on a device the fuzzer makes: the kernel host matches the kext's driver to it
// by one of the kext's personalities, the driver starts (descriptors, strings, configurations,
// per-model start-up), is configured for its default stream and unplugged, possibly at one of its
// control requests. The device's descriptors and its answers to class and vendor requests come
// from the input. Nothing may crash, hang or read out of bounds, and the device description the
// driver builds stays within its arrays.
//
// Input: personality (u16), speed (u8), unplug point (u8, 0 = never), device descriptor fields,
// then up to 3 configuration descriptors (u16 length + bytes), 3 strings, and the replies
// (status u8, length u8, bytes) that class and vendor requests get in turn.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "APIDeviceInfo.h"
#include "DriverFixture.h"
#include "DriverSM.h"
#include "DescriptionLimits.h"
#include "FuzzInput.h"
#include "Personalities.h"
#include "VKDevice.h"
#include "VKKernelDevice.h"
#include "platform/Log.h"

namespace {

class FuzzedDevice : public usbsim::DeviceModel
{
public:
    explicit FuzzedDevice(FuzzInput& in)
    {
        const auto personalities = kextPersonalities();
        const KextPersonality& p = personalities[in.take<uint16_t>() % personalities.size()];
        const uint8_t speed = in.take<uint8_t>();
        setSpeed(speed % 2 == 0 ? usbsim::Speed::full : usbsim::Speed::high);
        unplugAt = in.take<uint8_t>() % 64;
        const uint16_t release = p.bcdDevice != kAnyRelease ? p.bcdDevice : in.take<uint16_t>();
        uint8_t fields[6] = {};
        in.fill(fields, sizeof fields); // class, subclass, protocol, iManufacturer, iProduct, iSerialNumber
        const uint8_t configurations = in.take<uint8_t>() % 4;
        setDeviceDescriptor({18, 1, 0x00, 0x02, fields[0], fields[1], fields[2], 64,
                             static_cast<uint8_t>(p.model.vendor), static_cast<uint8_t>(p.model.vendor >> 8),
                             static_cast<uint8_t>(p.model.product), static_cast<uint8_t>(p.model.product >> 8),
                             static_cast<uint8_t>(release), static_cast<uint8_t>(release >> 8), fields[3],
                             fields[4], fields[5], configurations});
        for (uint8_t i = 0; i < configurations; ++i) {
            const size_t length = in.take<uint16_t>() % 1200;
            const auto bytes = in.takeBytes(length);
            addConfiguration(std::vector<uint8_t>(bytes.begin(), bytes.end()));
        }
        for (uint8_t index = 1; index <= 3; ++index) {
            const auto bytes = in.takeBytes(in.take<uint8_t>() % 80);
            setString(index, std::string(bytes.begin(), bytes.end()));
        }
        while (!in.empty() && replies.size() < 64) {
            Reply reply;
            const uint8_t status = in.take<uint8_t>();
            reply.status = status % 5 == 1   ? usbsim::kPipeStalled
                           : status % 5 == 2 ? usbsim::kDeviceError
                           : status % 5 == 3 ? usbsim::kTransactionTimeout
                                             : usbsim::kSuccess;
            const auto bytes = in.takeBytes(in.take<uint8_t>() % 64);
            reply.data.assign(bytes.begin(), bytes.end());
            replies.push_back(std::move(reply));
        }
    }

    uint32_t unplugAt = 0;

protected:
    usbsim::ControlReply answerLocked(const usbsim::SetupPacket&, std::span<const uint8_t>) override
    {
        if (replies.empty()) {
            return usbsim::ControlReply::stall();
        }
        const Reply& reply = replies[next++ % replies.size()];
        return {reply.status, reply.data, 0};
    }

private:
    struct Reply
    {
        usbsim::Status status = usbsim::kSuccess;
        std::vector<uint8_t> data;
    };
    std::vector<Reply> replies;
    size_t next = 0;
};

driver_test::DriverFixture& fixture()
{
    static auto* instance = [] {
        // The driver logs every step; the fuzzer reads none of it.
        if (FILE* nowhere = std::fopen("/dev/null", "w")) {
            platform::log::setDestination(platform::log::Channel::kernel, nowhere);
        }
        return new driver_test::DriverFixture;
    }();
    return *instance;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in{data, size};
    auto model = std::make_shared<FuzzedDevice>(in);
    const uint32_t unplugAt = model->unplugAt;
    driver_test::DriverFixture& driver = fixture();
    VKKernelDevice* service = driver.plug(model, {}, [unplugAt](usbsim::Device& device) {
        if (unplugAt != 0) {
            device.unplugAtControlRequest(unplugAt);
        }
    });
    if (std::getenv("KERNEL_DRIVER_FUZZER_VERBOSE") != nullptr) {
        std::fprintf(stderr, "%s\n", service != nullptr ? "started" : "not started");
    }
    if (service != nullptr) {
        if (APIDeviceInfo* info = service->getAPIDeviceInfoPtr()) {
            checkDescriptionLimits(*info);
        }
        driver.runInKernel([service] {
            VKDispatchLock lock(*service);
            service->reqConfigureDevice("fuzz");
        });
    }
    driver.unplug();
    fuzzCheck(driver.liveInstances().devices == 0);
    return 0;
}
