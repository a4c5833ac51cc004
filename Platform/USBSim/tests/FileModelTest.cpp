// The file model: descriptors files refused with what is wrong and where, side files read and
// refused by line, every catalogue model written to its files and read back as the same data, and
// the streams derived from the descriptors.
#include "usbsim/models/FileModel.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <tuple>
#include <unistd.h>

#include "platform/HostClock.h"
#include "usbsim/Bus.h"
#include "usbsim/Catalogue.h"
#include "usbsim/models/StreamingDevice.h"

namespace usbsim::models {
namespace {

namespace fs = std::filesystem;
using namespace descriptor_bytes;

// A device descriptor with bNumConfigurations `count`, then these configurations.
std::vector<uint8_t> file(std::vector<std::vector<uint8_t>> configurations, uint8_t count = 1)
{
    // clang-format off
    std::vector<uint8_t> bytes = {
        // Device: bLength, bDescriptorType, bcdUSB 2.00, class/subclass/protocol per interface, bMaxPacketSize0 64,
        //         idVendor, idProduct, bcdDevice, iManufacturer, iProduct, iSerialNumber, bNumConfigurations
        18, kDescriptorDevice, lo(0x0200), hi(0x0200), 0, 0, 0, 64, lo(0x2912), hi(0x2912), lo(0x3F01), hi(0x3F01), 0x00, 0x01, 1, 2, 0, count,
    };
    // clang-format on
    for (const auto& c : configurations) {
        bytes.insert(bytes.end(), c.begin(), c.end());
    }
    return bytes;
}

// A configuration header with no interfaces, its wTotalLength `total` (0: its own length).
std::vector<uint8_t> configuration(uint16_t total = 0, uint8_t value = 1)
{
    // Configuration: bLength, bDescriptorType, wTotalLength, bNumInterfaces 0, bConfigurationValue, iConfiguration,
    //                bmAttributes bus powered, bMaxPower 100 mA
    std::vector<uint8_t> c = {9, kDescriptorConfiguration, 0, 0, 0, value, 0, 0x80, 50};
    const uint16_t length = total != 0 ? total : 9;
    c[2] = lo(length);
    c[3] = hi(length);
    return c;
}

std::string refusal(const std::vector<uint8_t>& bytes)
{
    ModelData data;
    std::string error;
    EXPECT_FALSE(parseDescriptorFile(bytes, data, &error));
    return error;
}

TEST(FileModel, RefusesWhatIsNotADescriptorSet)
{
    struct Case
    {
        const char* what;
        std::function<std::vector<uint8_t>()> bytes;
        const char* error;
    } cases[] = {
        {"empty", [] { return std::vector<uint8_t>{}; },
         "offset 0: the file holds 0 bytes, too short for the 18-byte device descriptor"},
        {"short device descriptor",
         [] {
             auto f = file({});
             f.resize(12);
             return f;
         },
         "offset 0: the file holds 12 bytes, too short for the 18-byte device descriptor"},
        {"device bLength",
         [] {
             auto f = file({configuration()});
             f[0] = 9;
             return f;
         },
         "offset 0: device descriptor bLength is 9, not 18"},
        {"device type",
         [] {
             auto f = file({configuration()});
             f[1] = kDescriptorConfiguration;
             return f;
         },
         "offset 1: device descriptor bDescriptorType is 2, not 1 (device)"},
        {"no configuration declared", [] { return file({configuration()}, 0); },
         "offset 17: bNumConfigurations is 0: a device has at least one configuration"},
        {"nothing after the device descriptor", [] { return file({}); },
         "offset 18: the file ends after the device descriptor; no configuration follows"},
        {"configuration header cut", [] { return file({{9, kDescriptorConfiguration, 9, 0, 0}}); },
         "offset 18: configuration 0: 5 bytes left, too short for its 9-byte header"},
        {"configuration type",
         [] {
             auto c = configuration();
             c[1] = kDescriptorInterface;
             return file({c});
         },
         "offset 19: configuration 0: bDescriptorType is 4, not 2 (configuration)"},
        {"wTotalLength below the header", [] { return file({configuration(4)}); },
         "offset 20: configuration 0: wTotalLength 4 is shorter than its 9-byte header"},
        {"wTotalLength past the end", [] { return file({configuration(), configuration(300, 2)}, 2); },
         "offset 29: configuration 1: wTotalLength 300 runs past the end of the file (9 bytes left)"},
        {"fewer configurations than declared", [] { return file({configuration()}, 2); },
         "offset 17: bNumConfigurations is 2 but the file holds 1 configuration"},
        {"more configurations than declared", [] { return file({configuration(), configuration(0, 2)}, 1); },
         "offset 17: bNumConfigurations is 1 but the file holds 2 configurations"},
        {"bytes after the last configuration",
         [] {
             auto f = file({configuration()});
             f.insert(f.end(), {4, kDescriptorInterface});
             return f;
         },
         "offset 27: configuration 1: 2 bytes left, too short for its 9-byte header"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(refusal(c.bytes()), c.error);
    }
}

// Inside its configurations a descriptor set may be anything: that device is plugged in.
TEST(FileModel, TakesAHostileConfigurationAsItIs)
{
    // Configuration header with bLength 2, then an interface whose bLength runs past wTotalLength.
    const std::vector<uint8_t> hostile = {2, kDescriptorConfiguration, 14, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 0};
    ModelData data;
    std::string error;
    ASSERT_TRUE(parseDescriptorFile(file({hostile}), data, &error)) << error;
    EXPECT_EQ(data.configurations, std::vector<std::vector<uint8_t>>{hostile});
    deriveStreams(data);
    EXPECT_TRUE(data.streaming.formats.empty());
}

TEST(FileModel, ReadsTheSideFile)
{
    const char* side = "# a comment\n"
                       "speed full\r\n"
                       "string 1 Quenzar  GmbH \n"
                       "string 2\n"
                       "string 1 Quenzar\n"
                       "\n"
                       "unreadable 1 stall\n"
                       "reply C0 56 0 * data 02 01 33 delay 300\n"
                       "reply * 49 0x0002 0000 status device-error\n"
                       "reply 22 01 0100 * fail 40 stall\n"
                       "reply C0 85 0000 0000 sequence 00 | 01 01 | 02 status 0xE00002BC\n";
    ModelData data;
    std::string error;
    ASSERT_TRUE(parseSideFile(side, "side", data, &error)) << error;
    EXPECT_EQ(data.speed, Speed::full);
    using Strings = std::vector<std::pair<uint8_t, std::string>>;
    EXPECT_EQ(data.strings, (Strings{{2, ""}, {1, "Quenzar"}}));
    ASSERT_EQ(data.unreadableConfigurations.size(), 1u);
    EXPECT_EQ(data.unreadableConfigurations[0], (std::pair<uint8_t, Status>{1, kPipeStalled}));
    ASSERT_EQ(data.replies.size(), 4u);
    const ReplyRow& firmware = data.replies[0];
    EXPECT_EQ(firmware.match.bmRequestType, 0xC0);
    EXPECT_EQ(firmware.match.bRequest, 0x56);
    EXPECT_EQ(firmware.match.wValue, 0);
    EXPECT_FALSE(firmware.match.wIndex);
    EXPECT_EQ(firmware.data, (std::vector<uint8_t>{0x02, 0x01, 0x33}));
    EXPECT_EQ(firmware.delayMilliseconds, 300u);
    EXPECT_FALSE(data.replies[1].match.bmRequestType);
    EXPECT_EQ(data.replies[1].match.wValue, 2);
    EXPECT_EQ(data.replies[1].status, kDeviceError);
    EXPECT_EQ(data.replies[2].failures, 40u);
    EXPECT_EQ(data.replies[2].failureStatus, kPipeStalled);
    EXPECT_EQ(data.replies[3].sequence,
              (std::vector<std::vector<uint8_t>>{{0x00}, {0x01, 0x01}, {0x02}}));
    EXPECT_EQ(data.replies[3].status, kError);
}

TEST(FileModel, RefusesASideFileByLine)
{
    const std::pair<std::string, std::string> cases[] = {
        {"speed low", "side:1: \"speed\" takes full or high"},
        {"\nstring 0 x", "side:2: \"string\" takes an index from 1 to 255, then the text"},
        {"string 256 x", "side:1: \"string\" takes an index from 1 to 255, then the text"},
        {"string 3 " + std::string(127, 'x'), "side:1: string 3 is longer than 126 characters"},
        {"unreadable 1 success", "side:1: \"unreadable\" takes a configuration index and a failure status"},
        {"reply C0 56 0000", "side:1: a reply row needs TYPE REQUEST VALUE INDEX"},
        {"reply C0 * 0000 0000", "side:1: not a hex request: *"},
        {"reply 1C0 56 0000 0000", "side:1: not a hex request type or '*': 1C0"},
        {"reply C0 56 10000 0000", "side:1: not a hex value or '*': 10000"},
        {"reply C0 56 0000 0000 data 01 0x", "side:1: unexpected in a reply row: 0x"},
        {"reply C0 56 0000 0000 status maybe", "side:1: not a status: maybe"},
        {"reply C0 56 0000 0000 delay 1s", "side:1: not a delay in ms (0 to 600000): 1s"},
        {"reply C0 56 0000 0000 fail x stall", "side:1: \"fail\" takes a count and a status: x stall"},
        {"reply C0 56 0000 0000 fail 3", "side:1: unexpected in a reply row: fail"},
        {"colour blue", "side:1: unknown setting: colour"},
    };
    for (const auto& [text, message] : cases) {
        SCOPED_TRACE(text);
        ModelData data;
        std::string error;
        EXPECT_FALSE(parseSideFile(text, "side", data, &error));
        EXPECT_EQ(error, message);
    }
}

// Every model of the catalogue, written to its files and read back, is the same data: the same
// descriptors, speed, strings, unreadable configurations and reply table.
TEST(FileModel, EveryCatalogueModelComesBackFromItsFiles)
{
    for (const auto& entry : catalogue()) {
        SCOPED_TRACE(entry.name);
        const auto model = entry.make();
        const auto descriptors = descriptorFile(*model);
        const std::string side = sideFile(*model);
        std::string error;
        const auto data = modelFromFiles(descriptors, entry.name, side, "side", std::nullopt, &error);
        ASSERT_TRUE(data) << error;
        const auto made = makeTableModel(*data);
        EXPECT_EQ(made->deviceDescriptorBytes(), model->deviceDescriptorBytes());
        EXPECT_EQ(made->configurationDescriptors(), model->configurationDescriptors());
        EXPECT_EQ(made->speed(), model->speed());
        EXPECT_EQ(sideFile(*made), side);
        EXPECT_EQ(descriptorFile(*made), descriptors);
    }
}

// The streams the descriptors declare are the ones the catalogue wrote by hand for its class
// models; a class 2 device's come from its general and format descriptors.
TEST(FileModel, DerivesTheStreamsTheDescriptorsDeclare)
{
    using Format = std::tuple<uint8_t, uint8_t, uint8_t, uint8_t>; // interface, alternate, channels, bytes
    auto formats = [](const StreamingData& s) {
        std::vector<Format> list;
        for (const auto& f : s.formats) {
            list.emplace_back(f.interfaceNumber, f.alternate, f.channels, f.bytesPerSample);
        }
        return list;
    };
    const std::vector<uint8_t> both = {0x01, 0x82};
    const std::tuple<const char*, std::vector<Format>, std::vector<uint8_t>> cases[] = {
        {"class-audio-hs", {{1, 1, 2, 2}, {1, 2, 2, 3}, {2, 1, 2, 2}, {2, 2, 2, 3}}, both},
        {"class-audio-hs-32ch", {{1, 1, 32, 2}, {1, 2, 32, 3}, {2, 1, 32, 2}, {2, 2, 32, 3}}, both},
        {"class-audio-out-only", {{1, 1, 2, 2}, {1, 2, 2, 3}}, {0x01}},
        {"Pellirun", {{1, 1, 2, 2}, {1, 2, 16, 3}, {2, 1, 2, 2}, {2, 2, 24, 3}}, both},
    };
    for (const auto& [name, expected, endpoints] : cases) {
        SCOPED_TRACE(name);
        ModelData data;
        data.configurations = findModel(name)->make()->configurationDescriptors();
        deriveStreams(data);
        EXPECT_EQ(formats(data.streaming), expected);
        EXPECT_EQ(data.frequencyEndpoints, endpoints);
        EXPECT_TRUE(data.streaming.feedbackEndpoints.empty());
    }

    ModelData crimson;
    crimson.configurations = findModel("Crimson-SPL")->make()->configurationDescriptors();
    deriveStreams(crimson);
    EXPECT_EQ(formats(crimson.streaming),
              (std::vector<Format>{{1, 1, 2, 2}, {1, 2, 6, 3}, {2, 1, 2, 2}, {2, 2, 6, 3}}));
    EXPECT_EQ(crimson.streaming.feedbackEndpoints, std::vector<uint8_t>{0x83});
    EXPECT_EQ(crimson.initialFrequency, 44100u);

    // The second configuration's alternate 1 of interface 1 (class 1, 24 bits) keeps the first's
    // format: the streams follow interface and alternate numbers.
    ModelData xmos;
    xmos.configurations = findModel("XMOS")->make()->configurationDescriptors();
    deriveStreams(xmos);
    EXPECT_EQ(formats(xmos.streaming), (std::vector<Format>{{1, 1, 2, 4}, {2, 1, 2, 4}}));
    EXPECT_EQ(xmos.streaming.formats[0].bits, 32);
    EXPECT_EQ(xmos.streaming.feedbackEndpoints, std::vector<uint8_t>{0x81});
}

TEST(FileModel, ReadsItsFilesFromDisk)
{
    const fs::path folder = fs::temp_directory_path() / ("usbsim-file-model-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    const auto model = makeModel("Kelvra-UC3");
    const auto bytes = descriptorFile(*model);
    std::ofstream(folder / "descriptors", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    std::ofstream(folder / "side") << "string 2 Kelvra UC3\n";
    std::ofstream(folder / "bad-side") << "speed full\nspeed fast\n";

    std::string error;
    DeviceFiles files{(folder / "descriptors").string(), (folder / "side").string(), Speed::full};
    const auto data = readDeviceFiles(files, &error);
    ASSERT_TRUE(data) << error;
    EXPECT_EQ(data->speed, Speed::full) << "the option wins";
    files.speed.reset();
    EXPECT_EQ(readDeviceFiles(files, &error)->speed, Speed::high) << "bcdUSB 2.00";
    EXPECT_EQ(readDeviceFiles(files, &error)->strings.size(), 1u);

    files.side = (folder / "bad-side").string();
    EXPECT_FALSE(readDeviceFiles(files, &error));
    EXPECT_EQ(error, files.side + ":2: \"speed\" takes full or high");
    for (const fs::path& unreadable : {folder / "missing", folder}) {
        files.descriptors = unreadable.string();
        EXPECT_FALSE(readDeviceFiles(files, &error));
        EXPECT_EQ(error, files.descriptors + ": cannot be read");
    }
    files.descriptors = files.side;
    EXPECT_FALSE(readDeviceFiles(files, &error));
    EXPECT_EQ(error, files.side + ": offset 0: device descriptor bLength is 115, not 18");
    fs::remove_all(folder);
}

// A model read from files streams what its descriptors declare and loops its output back.
TEST(FileModel, StreamsWhatItsDescriptorsDeclare)
{
    platform::host_clock::virtual_clock::Scope clock{1'000'000'000};
    Bus bus;
    const auto compiled = makeModel("class-audio-hs");
    std::string error;
    const auto data =
        modelFromFiles(descriptorFile(*compiled), "file", sideFile(*compiled), "side", std::nullopt, &error);
    ASSERT_TRUE(data) << error;
    const auto model = makeTableModel(*data);
    ASSERT_NE(dynamic_cast<StreamingDevice*>(model.get()), nullptr);
    auto device = bus.attach(model);
    ASSERT_EQ(device->setConfiguration(1), kSuccess);
    uint8_t rate[3] = {lo(48000), hi(48000), b3(48000)};
    ASSERT_EQ(device->deviceRequest({0x22, 0x01, 0x0100, 0x82, 3}, rate, nullptr), kSuccess);
    uint8_t back[3] = {};
    ASSERT_EQ(device->deviceRequest({0xA2, 0x81, 0x0100, 0x82, 3}, back, nullptr), kSuccess);
    EXPECT_EQ(std::vector<uint8_t>(back, back + 3), std::vector<uint8_t>(rate, rate + 3));
    EXPECT_EQ(dynamic_cast<StreamingDevice&>(*model).deviceRate(), 48000u);
    bus.detach(device);
}

} // namespace
} // namespace usbsim::models
