// Devices read from files through the whole driver (in one process, on the virtual clock): every
// model of the catalogue, written to its descriptors file and side file and plugged in from them,
// gets the same device description and requests as the compiled model; and the descriptor fuzz corpora, each
// input made a descriptors file, are refused with a reason or plugged in and survived.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>

#include "APIDeviceInfo.h"
#include "DeviceDescription.h"
#include "DriverFixture.h"
#include "VKKernelDevice.h"
#include "usbsim/Catalogue.h"
#include "usbsim/models/FileModel.h"
#include "usbsim/models/StreamingDevice.h"

namespace {

namespace fs = std::filesystem;
using usbsim::models::ModelData;

std::vector<uint8_t> description(VKKernelDevice* service)
{
    const auto* info = service != nullptr ? service->getAPIDeviceInfoPtr() : nullptr;
    if (info == nullptr) {
        return {};
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(info);
    return {bytes, bytes + sizeof(APIDeviceInfo)};
}

// The control requests the device saw, with what the host got.
std::vector<std::string> requests(const std::vector<usbsim::LoggedRequest>& log)
{
    std::vector<std::string> lines;
    for (const auto& r : log) {
        char line[48];
        std::snprintf(line, sizeof line, "%02X %02X %04X %04X %u -> %d %u", r.setup.bmRequestType, r.setup.bRequest,
                      r.setup.wValue, r.setup.wIndex, r.setup.wLength, r.status, r.length);
        lines.push_back(line);
    }
    return lines;
}

class CatalogueFromFilesTest : public ::testing::TestWithParam<std::string>
{
protected:
    void configure(VKKernelDevice* service)
    {
        if (service != nullptr) {
            driver.runInKernel([service] {
                VKDispatchLock lock(*service);
                service->reqConfigureDevice("test");
            });
        }
    }

    driver_test::DriverFixture driver;
};

// The compiled model and the same model from its files get the same description, and the driver
// sends both the same control requests, answered alike, from its start through the configuration
// of its default stream. The side file carries the compiled model's reply table and unreadable
// configurations, so that whatever depends on the device's answers is made from the same answers.
// (Of the descriptions only XMOS's does: without its side file its second configuration,
// unreadable on the compiled model, is read and described.) What a model answers in code
// (class-audio, 0A4A:FFDD) is not data and is not carried; the driver's dealings with them do
// not depend on it.
TEST_P(CatalogueFromFilesTest, GetsTheCompiledModelsDescriptionAndRequests)
{
    const std::string& name = GetParam();
    VKKernelDevice* compiled = driver.plug(name);
    const auto expected = description(compiled);
    configure(compiled);
    const auto expectedRequests = requests(driver.requestLog());
    driver.unplug();
    ASSERT_FALSE(expected.empty()) << "the driver starts on the compiled model";

    const auto model = usbsim::makeModel(name);
    std::string error;
    const auto data = usbsim::models::modelFromFiles(usbsim::models::descriptorFile(*model), name,
                                                     usbsim::models::sideFile(*model), "side", std::nullopt, &error);
    ASSERT_TRUE(data) << error;
    VKKernelDevice* fromFiles = driver.plug(usbsim::models::makeTableModel(*data));
    const auto described = description(fromFiles);
    configure(fromFiles);
    EXPECT_EQ(requests(driver.requestLog()), expectedRequests);
    driver.unplug();
    EXPECT_TRUE(described == expected) << "compiled:\n"
                                       << kernel_host::describeDevice(expected) << "from files:\n"
                                       << kernel_host::describeDevice(described);
}

std::vector<std::string> catalogueNames()
{
    std::vector<std::string> names;
    for (const auto& entry : usbsim::catalogue()) {
        names.emplace_back(entry.name);
    }
    return names;
}

INSTANTIATE_TEST_SUITE_P(Catalogue, CatalogueFromFilesTest, ::testing::ValuesIn(catalogueNames()),
                         [](const auto& param) {
                             std::string name = param.param;
                             for (char& c : name) {
                                 c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

// --- The descriptor fuzz corpora through the file path ------------------------------------------

// The identities the corpus inputs are given in turn: a plain device the driver takes by a
// personality of the test's, and models whose descriptors the driver patches by model.
const char* const kIdentities[] = {nullptr, "US-322", "MBox", "USBPre", "1935:0006", "XMOS"};
constexpr uint16_t kPlainVendor = 0x2912;
constexpr uint16_t kPlainProduct = 0x3F00;

std::vector<uint8_t> deviceDescriptor(const char* identity)
{
    const auto* entry = identity != nullptr ? usbsim::findModel(identity) : nullptr;
    const uint16_t vendor = entry != nullptr ? entry->vendor : kPlainVendor;
    const uint16_t product = entry != nullptr ? entry->product : kPlainProduct;
    const uint16_t release = entry != nullptr ? entry->bcdDevice : 0x0100;
    return {18,
            usbsim::kDescriptorDevice,
            0x00,
            0x02,
            0,
            0,
            0,
            64,
            static_cast<uint8_t>(vendor),
            static_cast<uint8_t>(vendor >> 8),
            static_cast<uint8_t>(product),
            static_cast<uint8_t>(product >> 8),
            static_cast<uint8_t>(release),
            static_cast<uint8_t>(release >> 8),
            1,
            2,
            3,
            1};
}

std::vector<uint8_t> readBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The description's counts stay within its arrays.
void expectWithinLimits(const APIDeviceInfo& info)
{
    EXPECT_LE(info.mNumConfigurations, APIDeviceInfo::kMaxConfigurations);
    for (const APIConfigInfo& config : info.mConfigurations) {
        EXPECT_LE(config.mNumInterfaces, APIConfigInfo::kMaxInterfaces);
        for (const APIInterfaceInfo& interface : config.mInterfaces) {
            EXPECT_LE(interface.mNumAlternates, APIInterfaceInfo::kMaxAlternates);
            for (const APIInterfaceAlternateInfo& alternate : interface.mAlternates) {
                EXPECT_LE(alternate.mNumEndpoints, APIInterfaceAlternateInfo::kMaxEndpoints);
                EXPECT_LE(alternate.mStreaming.mNumFrequencies, APIStreamingInfo::kMaxFrequencies);
            }
        }
    }
}

// Each configuration descriptor of the corpora (the VKUSBDescriptorFuzzer's after its identity
// byte) goes into a descriptors file twice: as the bytes are, which the file's checks may refuse
// with a reason at an offset, and with its wTotalLength made the bytes' length (the fuzzers hand
// the driver the bytes whatever wTotalLength says). What is taken is plugged in through the
// driver, started, configured and unplugged: nothing crashes, the description stays within its
// limits, nothing is left behind.
TEST(DescriptorCorporaFromFiles, AreRefusedWithAReasonOrSurvived)
{
    driver_test::DriverFixture driver;
    driver.addPersonality(kPlainVendor, kPlainProduct);
    const auto baseline = driver.liveInstances();
    const std::pair<const char*, size_t> corpora[] = {{"VKUSBDescriptorFuzzer", 1}, {"USBSimDescriptorFuzzer", 0}};
    int inputs = 0;
    int refused = 0;
    int started = 0;
    for (const auto& [corpus, skip] : corpora) {
        const fs::path folder = fs::path(FUZZ_CORPUS) / corpus;
        ASSERT_TRUE(fs::is_directory(folder)) << folder;
        std::vector<fs::path> files;
        for (const auto& item : fs::directory_iterator(folder)) {
            files.push_back(item.path());
        }
        std::sort(files.begin(), files.end());
        for (const fs::path& path : files) {
            const auto input = readBytes(path);
            const std::vector<uint8_t> configuration(input.begin() + static_cast<std::ptrdiff_t>(std::min(skip, input.size())),
                                                     input.end());
            std::vector<uint8_t> whole = configuration;
            if (whole.size() >= 4 && whole.size() <= 0xFFFF) {
                whole[2] = static_cast<uint8_t>(whole.size());
                whole[3] = static_cast<uint8_t>(whole.size() >> 8);
            }
            const char* identity = kIdentities[static_cast<size_t>(inputs) % std::size(kIdentities)];
            ++inputs;
            for (const auto& bytes : {configuration, whole}) {
                SCOPED_TRACE(path.filename().string() + (identity != nullptr ? std::string(" as ") + identity : ""));
                auto file = deviceDescriptor(identity);
                file.insert(file.end(), bytes.begin(), bytes.end());
                const std::string side = inputs % 2 == 0 ? "speed full" : "speed high";
                std::string error;
                const auto data = usbsim::models::modelFromFiles(file, "corpus", side, "side", std::nullopt, &error);
                if (!data) {
                    ++refused;
                    EXPECT_TRUE(error.starts_with("corpus: offset ")) << error;
                    continue;
                }
                VKKernelDevice* service = driver.plug(usbsim::models::makeTableModel(*data));
                if (service != nullptr) {
                    ++started;
                    if (const APIDeviceInfo* info = service->getAPIDeviceInfoPtr()) {
                        expectWithinLimits(*info);
                        (void)kernel_host::describeDevice(description(service));
                    }
                    EXPECT_TRUE(driver.runInKernel([service] {
                        VKDispatchLock lock(*service);
                        service->reqConfigureDevice("corpus");
                    }));
                }
                driver.unplug();
                EXPECT_EQ(driver.liveInstances(), baseline);
            }
        }
    }
    EXPECT_GT(inputs, 50);
    EXPECT_GT(refused, 0);
    EXPECT_GT(started, 0);
    std::printf("%d corpus inputs: %d files refused, %d devices started\n", inputs, refused, started);
}

// --- The description as text ---------------------------------------------------------------------

std::vector<uint8_t> bytesOf(const APIDeviceInfo& info)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(&info);
    return {bytes, bytes + sizeof info};
}

// The text reads no count past its array, and says what the record holds beyond it.
TEST(DescribeDevice, ReadsTheRecordWithinItsArrays)
{
    auto info = std::make_unique<APIDeviceInfo>();
    std::memset(info.get(), 0, sizeof *info);
    info->idVendor = 0x0A4A;
    info->idProduct = 0x6A02;
    info->bcdDevice = 0x0100;
    info->mNumConfigurations = 9;
    APIConfigInfo& config = info->mConfigurations[0];
    config.bConfigurationValue = 1;
    config.mNumInterfaces = 3;
    config.mInterfaces[0].bInterfaceSubClass = 1;
    config.mInterfaces[1].bInterfaceNumber = 7; // a position the driver left to another number
    APIInterfaceInfo& stream = config.mInterfaces[2];
    stream.bInterfaceNumber = 2;
    stream.bInterfaceSubClass = 2;
    stream.mNumAlternates = 1;
    APIInterfaceAlternateInfo& alternate = stream.mAlternates[0];
    alternate.bAlternateSetting = 1;
    alternate.mStreaming.bNrChannels = 8;
    alternate.mStreaming.bBitResolution = 24;
    alternate.mStreaming.mContinuous = 1;
    alternate.mStreaming.mLowerFrequency = 8000;
    alternate.mStreaming.mUpperFrequency = 96000;
    alternate.mStreaming.mNumFrequencies = 200;
    for (uint32_t f = 0; f < APIStreamingInfo::kMaxFrequencies; ++f) {
        alternate.mStreaming.mFrequencies[f] = 1000 * (f + 1);
    }
    alternate.mNumEndpoints = 6;
    alternate.mEndpoints[0].bEndpointAddress = 0x81;
    alternate.mEndpoints[0].wMaxPacketSize = 0x1400; // 1024 bytes, 3 transactions per microframe
    for (unsigned c = 1; c < APIDeviceInfo::kMaxConfigurations; ++c) {
        info->mConfigurations[c].bConfigurationValue = static_cast<uint8_t>(c + 1);
    }
    const kernel_host::InterfaceClass audio[] = {{1, 0, 1}, {1, 2, 1}};
    EXPECT_EQ(kernel_host::describeDevice(bytesOf(*info), audio),
              "device 0A4A:6A02 release 0100, 9 configurations (4 shown)\n"
              "configuration 1 (index 0), 3 interfaces\n"
              "  interface 0: audio control\n"
              "  interface 1: not described\n"
              "  interface 2: audio streaming, 1 alternate\n"
              "    alternate 1: 8 channels, 24 bits, 8000-96000 Hz continuous 1000 2000 3000 4000 5000 6000 7000 "
              "8000 9000 10000 11000 12000 13000 14000 15000 16000 Hz (200 rates, 16 shown); 6 endpoints (4 "
              "shown): 0x81 in 1024 bytes x3, 0x00 out 0 bytes, 0x00 out 0 bytes, 0x00 out 0 bytes\n"
              "configuration 2 (index 1), 0 interfaces\n"
              "configuration 3 (index 2), 0 interfaces\n"
              "configuration 4 (index 3), 0 interfaces\n");
    EXPECT_EQ(kernel_host::describeDevice(std::vector<uint8_t>(100)),
              "not a device description: 100 bytes, not 98964\n");
}

// An interface is named by its class (as the registry publishes it for the configuration it is in)
// and subclass; the audio class's subclasses by name, no other class's.
TEST(DescribeDevice, NamesTheInterfaceByClassAndSubclass)
{
    auto info = std::make_unique<APIDeviceInfo>();
    std::memset(info.get(), 0, sizeof *info);
    info->mNumConfigurations = 2;
    info->mConfigurations[0].bConfigurationValue = 1;
    info->mConfigurations[1].bConfigurationValue = 2;
    struct Case
    {
        uint8_t subclass;
        std::optional<uint8_t> interfaceClass; // in configuration 1
        const char* text;
    } cases[] = {
        {1, 0x01, "audio control"},
        {2, 0x01, "audio streaming"},
        {3, 0x01, "MIDI streaming"},
        {4, 0x01, "audio class, subclass 4"},
        {1, 0xFE, "application-specific class 0xFE, subclass 1"},
        {2, 0xFF, "vendor-specific class 0xFF, subclass 2"},
        {0, 0x03, "HID class 0x03, subclass 0"},
        {1, 0x0A, "class 0x0A, subclass 1"},
        {1, std::nullopt, "class unknown, subclass 1"},
    };
    constexpr unsigned kCases = sizeof cases / sizeof cases[0];
    static_assert(kCases <= APIConfigInfo::kMaxInterfaces);
    std::vector<kernel_host::InterfaceClass> classes;
    std::string expected = "device 0000:0000 release 0000, 2 configurations\n"
                           "configuration 1 (index 0), " + std::to_string(kCases) + " interfaces\n";
    info->mConfigurations[0].mNumInterfaces = kCases;
    for (uint8_t i = 0; i < kCases; ++i) {
        info->mConfigurations[0].mInterfaces[i].bInterfaceNumber = i;
        info->mConfigurations[0].mInterfaces[i].bInterfaceSubClass = cases[i].subclass;
        if (cases[i].interfaceClass) {
            classes.push_back({1, i, *cases[i].interfaceClass});
        }
        expected += "  interface " + std::to_string(i) + ": " + cases[i].text + "\n";
    }
    // The same interface number in another configuration is another interface.
    info->mConfigurations[1].mNumInterfaces = 1;
    info->mConfigurations[1].mInterfaces[0].bInterfaceSubClass = 1;
    expected += "configuration 2 (index 1), 1 interface\n"
                "  interface 0: class unknown, subclass 1\n";
    EXPECT_EQ(kernel_host::describeDevice(bytesOf(*info), classes), expected);
}

} // namespace
