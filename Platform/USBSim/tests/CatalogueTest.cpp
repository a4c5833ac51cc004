// The catalogue: one entry per name and per VID:PID:bcd, and every model a device the bus can
// enumerate and configure.
#include "usbsim/Catalogue.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/HostClock.h"
#include "usbsim/Bus.h"
#include "usbsim/models/TableDevice.h"

namespace usbsim {
namespace {

namespace vc = platform::host_clock::virtual_clock;

TEST(Catalogue, NamesAndIdsAreUnique)
{
    std::set<std::string> names;
    std::set<std::tuple<uint16_t, uint16_t, uint16_t>> ids;
    for (const auto& entry : catalogue()) {
        const std::string name = entry.name;
        EXPECT_TRUE(names.insert(name).second) << "two models called " << name;
        EXPECT_TRUE(ids.insert({entry.vendor, entry.product, entry.bcdDevice}).second)
            << name << " shares its VID:PID:bcd";
        EXPECT_FALSE(name.empty());
        for (const char c : name) {
            EXPECT_FALSE(std::isspace(static_cast<unsigned char>(c))) << name << " is not one word";
        }
        EXPECT_NE(std::string(entry.description), "") << name;
        EXPECT_EQ(findModel(name), &entry);
    }
    EXPECT_EQ(findModel("no-such-model"), nullptr);
    EXPECT_EQ(makeModel("no-such-model"), nullptr);
}

// Enumerates each model as a host would: device descriptor, strings, every readable
// configuration (whole, its length as it says), then every alternate of every interface.
TEST(Catalogue, EveryModelEnumeratesAndConfigures)
{
    vc::Scope clock{1'000'000'000};
    Bus bus;
    for (const auto& entry : catalogue()) {
        SCOPED_TRACE(entry.name);
        auto model = entry.make();
        ASSERT_TRUE(model);
        auto device = bus.attach(model);
        uint8_t raw[18] = {};
        uint32_t done = 0;
        ASSERT_EQ(device->deviceRequest({0x80, kGetDescriptor, 0x0100, 0, 18}, raw, &done), kSuccess);
        const auto descriptor = DeviceDescriptor::parse({raw, done});
        ASSERT_TRUE(descriptor);
        EXPECT_EQ(descriptor->idVendor, entry.vendor);
        EXPECT_EQ(descriptor->idProduct, entry.product);
        EXPECT_EQ(descriptor->bcdDevice, entry.bcdDevice);
        for (const uint8_t index : {descriptor->iManufacturer, descriptor->iProduct}) {
            uint8_t text[255] = {};
            EXPECT_EQ(device->deviceRequest({0x80, kGetDescriptor, static_cast<uint16_t>(0x0300 | index), 0x0409,
                                             255},
                                            text, &done),
                      kSuccess);
        }

        int configured = 0;
        for (uint8_t value = 1; value <= descriptor->bNumConfigurations; ++value) {
            std::vector<uint8_t> bytes(4096);
            uint32_t length = 4096;
            if (device->readConfigurationDescriptor(value, bytes.data(), &length) != kSuccess) {
                continue; // a model may carry an unreadable configuration on purpose
            }
            bytes.resize(length);
            ASSERT_GE(length, kConfigurationHeaderLength);
            EXPECT_EQ(length, static_cast<uint32_t>(bytes[2] | bytes[3] << 8)) << "configuration " << int{value};
            const auto layout = ConfigurationLayout::parse(bytes);
            ASSERT_TRUE(layout);
            ASSERT_EQ(device->setConfiguration(value), kSuccess);
            for (const auto& intf : layout->interfaces) {
                for (const auto& alt : intf.alternates) {
                    EXPECT_EQ(device->setAlternate(intf.number, alt.bAlternateSetting), kSuccess)
                        << "interface " << int{intf.number} << " alternate " << int{alt.bAlternateSetting};
                }
                EXPECT_EQ(device->setAlternate(intf.number, 0), kSuccess);
            }
            ++configured;
        }
        EXPECT_GE(configured, 1);
        bus.detach(device);
        bus.settle();
    }
}

// Every device the kernel driver singles out at this stage has a model.
TEST(Catalogue, HoldsTheDriversModels)
{
    struct Wanted
    {
        const char* name;
        uint16_t vendor, product, bcd;
    };
    const Wanted wanted[] = {
        {"Kelvra-UC3", 0x0A4A, 0x6A02, 0x0200}, {"Kelvra-UC3@0100", 0x0A4A, 0x6A02, 0x0100},
        {"0A4A:F1A0", 0x0A4A, 0xF1A0, 0x0100},  {"Crimson-SPL", 0x0A4A, 0xC150, 0x0100},
        {"Pellirun", 0x0A4A, 0x2416, 0x0100},   {"Tessaly", 0x0A4A, 0xA300, 0x0100},
        {"US-322", 0x0644, 0x8040, 0x0100},     {"US-366", 0x0644, 0x8041, 0x0100},
        {"UH-7000", 0x0644, 0x8048, 0x0100},    {"MBox", 0x0DBA, 0x1000, 0x0100},
        {"MBox2", 0x0DBA, 0x3000, 0x0100},      {"USBPre", 0x0926, 0x0100, 0x0100},
        {"1ACC:0049", 0x1ACC, 0x0049, 0x0100},  {"1604:8006", 0x1604, 0x8006, 0x0100},
        {"0CCD:0014", 0x0CCD, 0x0014, 0x0100},  {"03EB:4308", 0x03EB, 0x4308, 0x0100},
        {"0A4E:4040", 0x0A4E, 0x4040, 0x0100},  {"Extigy", 0x041E, 0x3000, 0x0100},
        {"0763:2003", 0x0763, 0x2003, 0x0100},  {"XMOS", 0x20B1, 0x0002, 0x0100},
        {"1935:0006", 0x1935, 0x0006, 0x0003},  {"1935:0006@0001", 0x1935, 0x0006, 0x0001},
        {"1235:0002", 0x1235, 0x0002, 0x0100},  {"0499:100B", 0x0499, 0x100B, 0x0100},
        {"class-audio-24", 0x2912, 0x3024, 0x0100}, {"1935:0004", 0x1935, 0x0004, 0x0003},
        {"077D:0420", 0x077D, 0x0420, 0x0100},
        {"1935:0008", 0x1935, 0x0008, 0x0003},  {"US-144-MKII", 0x0644, 0x8020, 0x0100},
        {"0926:0201", 0x0926, 0x0201, 0x0100},  {"Play-16/24", 0x200C, 0x1030, 0x0100},
        {"1935:0006@0002", 0x1935, 0x0006, 0x0002}, {"0644:8030", 0x0644, 0x8030, 0x0100},
        {"Mindprint", 0x133E, 0x6000, 0x0100},  {"US-1200", 0x0644, 0x8046, 0x0100},
        {"041E:3020", 0x041E, 0x3020, 0x0100},  {"0746:7701", 0x0746, 0x7701, 0x0100},
        {"0010:1101", 0x0010, 0x1101, 0x0100},  {"0582:000F", 0x0582, 0x000F, 0x0100},
        {"Veskaro", 0x0A4A, 0xAFFE, 0x0100},
    };
    for (const auto& w : wanted) {
        const auto* entry = findModel(w.name);
        ASSERT_NE(entry, nullptr) << w.name;
        EXPECT_EQ(entry->vendor, w.vendor) << w.name;
        EXPECT_EQ(entry->product, w.product) << w.name;
        EXPECT_EQ(entry->bcdDevice, w.bcd) << w.name;
    }
}

std::vector<uint8_t> configurationBytes(const char* name, uint8_t index = 0)
{
    auto model = makeModel(name);
    const auto reply =
        model->control({0x80, kGetDescriptor, static_cast<uint16_t>(kDescriptorConfiguration << 8 | index), 0, 0xFFFF}, {});
    EXPECT_EQ(reply.status, kSuccess) << name;
    return reply.data;
}

// The driver patches raw configuration bytes of some models at fixed offsets; the models put the
// descriptor the patch is meant for exactly there.
TEST(Catalogue, RawPatchTargetsSitWhereTheDriverPatches)
{
    // MBox: three interface descriptors at 9, 18, 27, vendor-labelled (class at +5, subclass at +6).
    const auto mbox = configurationBytes("MBox");
    for (const size_t at : {9u, 18u, 27u}) {
        ASSERT_GT(mbox.size(), at + 6);
        EXPECT_EQ(mbox[at], 9);
        EXPECT_EQ(mbox[at + 1], kDescriptorInterface);
        EXPECT_EQ(mbox[at + 5], 0xFF) << at;
        EXPECT_EQ(mbox[at + 6], 0x00) << at;
    }
    // 1604:8006: the first interface at 9, vendor-labelled.
    const auto dev1604 = configurationBytes("1604:8006");
    EXPECT_EQ(dev1604[9 + 1], kDescriptorInterface);
    EXPECT_EQ(dev1604[14], 0xFF);
    // 1ACC:0049: byte 164 is bInterval (0) of the isochronous endpoint at 158.
    const auto dev1acc = configurationBytes("1ACC:0049");
    ASSERT_GT(dev1acc.size(), 164u);
    EXPECT_EQ(dev1acc[158 + 1], kDescriptorEndpoint);
    EXPECT_EQ(dev1acc[158 + 3] & 0x03, 0x01);
    EXPECT_EQ(dev1acc[164], 0x00);
    // USBPre: bytes 298, 344, 571, 614 are bBitResolution of format type I descriptors (20 bits in
    // 3-byte subframes).
    const auto usbPre = configurationBytes("USBPre");
    ASSERT_GE(usbPre.size(), 615u);
    for (const size_t patched : {298u, 344u, 571u, 614u}) {
        const size_t at = patched - 6;
        EXPECT_EQ(usbPre[at + 1], kDescriptorClassInterface) << patched;
        EXPECT_EQ(usbPre[at + 2], 0x02) << patched; // FORMAT_TYPE
        EXPECT_EQ(usbPre[at + 3], 0x01) << patched; // type I
        EXPECT_EQ(usbPre[at + 5], 3) << patched;
        EXPECT_EQ(usbPre[patched], 20) << patched;
    }
}

TEST(Catalogue, ScriptedBehaviourOfTheStartUpModels)
{
    vc::Scope clock{1'000'000'000};
    Bus bus;
    uint8_t byte = 0xEE;
    uint32_t done = 0;
    // MBox2: the start-up poll answers 0, 1, 1, then 2 for good.
    auto mbox2 = bus.attach(makeModel("MBox2"));
    std::vector<uint8_t> answers;
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(mbox2->deviceRequest({0xC0, 0x85, 1, 1, 1}, &byte, &done), kSuccess);
        answers.push_back(byte);
    }
    EXPECT_EQ(answers, (std::vector<uint8_t>{0, 1, 1, 2, 2, 2}));
    // XMOS: two configurations reported, the second never readable.
    auto xmos = bus.attach(makeModel("XMOS"));
    EXPECT_EQ(xmos->descriptor().bNumConfigurations, 2);
    std::vector<uint8_t> buffer(4096);
    uint32_t length = 4096;
    EXPECT_EQ(xmos->readConfigurationDescriptor(1, buffer.data(), &length), kSuccess);
    for (int i = 0; i < 3; ++i) {
        length = 4096;
        EXPECT_EQ(xmos->readConfigurationDescriptor(2, buffer.data(), &length), kPipeStalled);
    }
    // 0499:100B: the frequency request stalls 40 times, then sets the rate.
    auto yamaha = bus.attach(makeModel("0499:100B"));
    uint8_t rate[3] = {0x80, 0xBB, 0x00};
    int stalls = 0;
    while (yamaha->deviceRequest({0x22, 0x01, 0x0100, 0x01, 3}, rate, &done) == kPipeStalled && stalls < 100) {
        ++stalls;
    }
    EXPECT_EQ(stalls, 40);
    auto* table = dynamic_cast<models::TableDevice*>(&yamaha->model());
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->sampleRate(0x01), 48000u);
    // USBPre: the PIC set command is accepted, the get command answers one byte.
    auto usbPre = bus.attach(makeModel("USBPre"));
    uint8_t command = 129;
    EXPECT_EQ(usbPre->deviceRequest({0x40, 0x01, 0x00F0, 0x01F0, 1}, &command, &done), kSuccess);
    EXPECT_EQ(usbPre->deviceRequest({0xC0, 0x81, 0x00F0, 0, 1}, &command, &done), kSuccess);
    EXPECT_EQ(done, 1u);
    EXPECT_EQ(usbPre->busPowerAvailable(), 250u);
    // Elektron: 5-byte name at revision 1, 32 bytes at revision 3.
    for (const auto& [name, length32] : {std::pair{"1935:0006@0001", 5u}, std::pair{"1935:0006", 32u}}) {
        auto elektron = bus.attach(makeModel(name));
        uint8_t text[32] = {};
        ASSERT_EQ(elektron->deviceRequest({0xC0, 0x01, 0, 0, 32}, text, &done), kSuccess);
        EXPECT_EQ(done, length32) << name;
        uint8_t uid[8] = {};
        ASSERT_EQ(elektron->deviceRequest({0xC0, 0x00, 0, 0, 8}, uid, &done), kSuccess);
        EXPECT_EQ(done, 8u);
    }
    bus.settle();
}

TEST(Catalogue, TableModelKeepsTheSampleRateOfEachEndpoint)
{
    vc::Scope clock{1'000'000'000};
    Bus bus;
    auto model = std::dynamic_pointer_cast<models::TableDevice>(makeModel("class-audio-24"));
    ASSERT_TRUE(model);
    auto device = bus.attach(model);
    uint8_t rate[3] = {0x80, 0xBB, 0x00}; // 48000
    uint32_t done = 0;
    ASSERT_EQ(device->deviceRequest({0x22, 0x01, 0x0100, 0x01, 3}, rate, &done), kSuccess);
    EXPECT_EQ(model->sampleRate(0x01), 48000u);
    EXPECT_EQ(model->sampleRate(0x82), 44100u) << "each endpoint keeps its own";
    uint8_t read[3] = {};
    ASSERT_EQ(device->deviceRequest({0xA2, 0x81, 0x0100, 0x01, 3}, read, &done), kSuccess);
    EXPECT_EQ(read[0] | read[1] << 8 | read[2] << 16, 48000);
    EXPECT_EQ(device->deviceRequest({0xA2, 0x81, 0x0100, 0x05, 3}, read, &done), kPipeStalled)
        << "no such endpoint";
}

} // namespace
} // namespace usbsim
