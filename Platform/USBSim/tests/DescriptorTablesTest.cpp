// The models' descriptor tables are written for a reader, one descriptor per line; these pins make
// sure that laying them out again never changes a byte the driver reads.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TestDevice.h"
#include "usbsim/Catalogue.h"
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

// The catalogue's models, by name: configuration size and fingerprint.
TEST(DescriptorTables, EveryCatalogueModelAnswersTheBytesItAlwaysHad)
{
    struct Case
    {
        const char* model;
        size_t configurationBytes;
        uint64_t fingerprint;
    };
    const Case cases[] = {
        {"class-audio", 282, 0x85FA'176B'8A18'561D},
        {"class-audio-feedback", 300, 0xAAEF'6F26'C156'F86A},
        {"0A4A:FFDD", 41, 0xDD3B'BE8F'FB8E'7C69},
        {"0A4A:FFDD@0200", 41, 0x76F8'DBDD'A675'B00E},
        {"0A4A:FFDD@0300", 48, 0x5A79'0873'FC26'3D36},
        {"class-audio-hs", 294, 0x9A86'404D'F670'0CE6},
        {"class-audio-hs-interval4", 294, 0x47BD'9E71'2128'EFB9},
        {"class-audio-hs-32ch", 294, 0xB535'CC6F'6AA0'5F31},
        {"class-audio-out-only", 149, 0x98BE'E51C'2F11'0FDF},
        {"class-audio-24", 190, 0x143F'B6F5'EBEE'802B},
        {"class-audio-midi", 213, 0x0E59'F492'8789'4A44},
        {"077D:0420", 190, 0x3084'911C'0B5A'4B22},
        {"Kelvra-UC3", 282, 0x7C3F'5B64'59C5'DC6B},
        {"Kelvra-UC3@0100", 282, 0xF2AC'45C3'9223'6132},
        {"0A4A:F1A0", 282, 0xD6D2'E109'2DF9'ED85},
        {"Crimson-SPL", 332, 0xCA66'C4FB'26D3'7643},
        {"Pellirun", 282, 0xE021'58E5'02A7'495A},
        {"Tessaly", 265, 0xE7D3'7775'1314'0455},
        {"US-322", 243, 0x358D'72B8'9940'DB78},
        {"US-366", 243, 0x6346'A613'6050'1456},
        {"UH-7000", 243, 0x14E4'5A45'90C8'9C39},
        {"US-1200", 243, 0x666A'CE26'C5CA'025E},
        {"MBox", 50, 0x7DE9'32F7'7536'D909},
        {"MBox2", 517, 0x2849'F496'EA14'71BA},
        {"USBPre", 635, 0xAA51'5C77'2222'0E57},
        {"1ACC:0049", 232, 0x8477'2571'600F'0EC0},
        {"1604:8006", 89, 0xB393'D5D4'39E9'1368},
        {"0CCD:0014", 294, 0x7798'331A'4061'7A8B},
        {"03EB:4308", 202, 0x88FD'4C3F'3B9E'C2BD},
        {"0A4E:4040", 358, 0xA964'8DE0'99A1'D559},
        {"Extigy", 257, 0x22E3'2DB3'84DE'DE62},
        {"0763:2003", 294, 0xAA50'C95B'6AD2'FC7B},
        {"XMOS", 218, 0xA03C'DB12'24EF'AFBE},
        {"1935:0006", 341, 0xB10D'0328'6E5E'F240},
        {"1935:0006@0002", 341, 0xDE15'FCA0'AB2E'59C7},
        {"1935:0006@0001", 341, 0x315A'F2E2'2095'142E},
        {"1935:0004", 341, 0xCC52'9C39'B5BD'079E},
        {"1935:0008", 341, 0x173B'DBAA'25DD'5AA2},
        {"US-144-MKII", 138, 0xFE98'3892'A54F'B225},
        {"0644:8030", 138, 0x5C42'E038'A8D0'EF5E},
        {"Mindprint", 392, 0x7F40'07D0'632B'45E3},
        {"0926:0201", 282, 0xEBBE'5FC3'2D0A'8962},
        {"Play-16/24", 282, 0xF241'55E1'829F'C35E},
        {"1235:0002", 190, 0x1D38'91FB'600A'38E4},
        {"0499:100B", 236, 0x1A72'EB30'7A54'9B23},
        {"041E:3020", 190, 0xE9D4'9C4F'6256'FA87},
        {"0746:7701", 190, 0xAE44'5395'C9E0'D93A},
        {"0010:1101", 190, 0xB454'BF06'E0C0'3643},
        {"0582:000F", 190, 0xF42D'B996'2D3F'228B},
        {"Veskaro", 190, 0x3219'9C89'E785'000A},
    };
    EXPECT_EQ(std::size(cases), catalogue().size()) << "a model without its pin";
    for (const auto& c : cases) {
        auto model = makeModel(c.model);
        ASSERT_TRUE(model) << c.model;
        const size_t size = descriptor(*model, kDescriptorConfiguration).size();
        const uint64_t print = fingerprint(*model);
        EXPECT_EQ(size, c.configurationBytes) << c.model;
        EXPECT_EQ(print, c.fingerprint) << c.model << std::hex << " 0x" << print;
    }
}

} // namespace
} // namespace usbsim
