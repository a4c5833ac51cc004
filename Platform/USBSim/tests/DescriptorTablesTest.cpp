// The models' descriptor tables are written for a reader, one descriptor per line; these pins make
// sure that laying them out again never changes a byte the driver reads.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TestDevice.h"
#include "usbsim/models/BitPlaneBulkDevice.h"
#include "usbsim/models/ClassAudioDevice.h"

namespace usbsim {
namespace {

std::vector<uint8_t> descriptor(DeviceModel& model, uint8_t type)
{
    const auto reply = model.control({0x80, 6, static_cast<uint16_t>(type << 8), 0, 0xFFFF}, {});
    EXPECT_EQ(reply.status, kSuccess);
    return reply.data;
}

// FNV-1a over the device descriptor, then the configuration descriptor.
uint64_t fingerprint(DeviceModel& model)
{
    uint64_t hash = 0xCBF2'9CE4'8422'2325;
    for (const uint8_t type : {kDescriptorDevice, kDescriptorConfiguration}) {
        for (const uint8_t byte : descriptor(model, type)) {
            hash = (hash ^ byte) * 0x0000'0100'0000'01B3;
        }
    }
    return hash;
}

TEST(DescriptorTables, EveryModelAnswersTheBytesItAlwaysHad)
{
    struct Case
    {
        const char* model;
        std::function<std::unique_ptr<DeviceModel>()> make;
        size_t configurationBytes;
        uint64_t fingerprint;
    };
    const Case cases[] = {
        {"class audio", [] { return std::make_unique<models::ClassAudioDevice>(); }, 282,
         0x85FA'176B'8A18'561D},
        {"class audio with feedback",
         [] {
             models::ClassAudioDevice::Options o;
             o.feedback = true;
             return std::make_unique<models::ClassAudioDevice>(o);
         },
         300, 0x5CC6'F2E8'3FBB'10DD},
        {"bit-plane bulk", [] { return std::make_unique<models::BitPlaneBulkDevice>(); }, 41,
         0xDD3B'BE8F'FB8E'7C69},
        {"bit-plane bulk, 1024-byte packets",
         [] {
             models::BitPlaneBulkDevice::Options o;
             o.packetSize = 1024;
             return std::make_unique<models::BitPlaneBulkDevice>(o);
         },
         41, 0xF869'EDFD'AC85'F7A1},
        {"test device", [] { return std::make_unique<test::TestDevice>(); }, 71, 0xA217'0759'EA4A'19E6},
        {"test device, high speed",
         [] {
             test::TestDevice::Options o;
             o.speed = Speed::high;
             o.isocInterval = 4;
             o.isocPacket = 1024;
             return std::make_unique<test::TestDevice>(o);
         },
         71, 0x4F1D'1E9A'73C8'219F},
    };
    for (const auto& c : cases) {
        auto model = c.make();
        const size_t size = descriptor(*model, kDescriptorConfiguration).size();
        const uint64_t print = fingerprint(*model);
        EXPECT_EQ(size, c.configurationBytes) << c.model;
        EXPECT_EQ(print, c.fingerprint) << c.model;
    }
}

} // namespace
} // namespace usbsim
