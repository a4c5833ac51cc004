// Every model of the simulated catalogue through the whole driver: matched and started, its
// description, the configuration chosen for the default stream, the pipes opened and every
// control request in order; and the device unplugged at each of those requests.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "APIDeviceInfo.h"
#include "DriverFixture.h"
#include "DriverSM.h"
#include "VKDevice.h"
#include "VKKernelDevice.h"
#include "VKUSBDescriptors.h"
#include "usbsim/Catalogue.h"

using driver_test::DriverFixture;
using driver_test::LiveInstances;
using Lines = std::vector<std::string>;

namespace {

std::string request(const usbsim::LoggedRequest& r)
{
    char line[40];
    std::snprintf(line, sizeof line, "%02X %02X %04X %04X %u", r.setup.bmRequestType, r.setup.bRequest,
                  r.setup.wValue, r.setup.wIndex, r.setup.wLength);
    return line;
}

Lines requests(const std::vector<usbsim::LoggedRequest>& log)
{
    Lines lines;
    for (const auto& r : log) {
        lines.push_back(request(r));
    }
    return lines;
}

// The description's key fields: per interface its number and subclass, per alternate setting
// (first entry of each) channels x bits, rates and endpoints.
Lines description(const APIDeviceInfo& info)
{
    Lines lines;
    for (unsigned c = 0; c < info.mNumConfigurations && c < APIDeviceInfo::kMaxConfigurations; ++c) {
        const APIConfigInfo& config = info.mConfigurations[c];
        lines.push_back("config " + std::to_string(config.bConfigurationValue));
        for (unsigned i = 0; i < config.mNumInterfaces && i < APIConfigInfo::kMaxInterfaces; ++i) {
            const APIInterfaceInfo& interface = config.mInterfaces[i];
            lines.push_back(" if " + std::to_string(interface.bInterfaceNumber) + " sub " +
                            std::to_string(interface.bInterfaceSubClass));
            std::set<int> seen;
            for (unsigned a = 0; a < interface.mNumAlternates && a < APIInterfaceInfo::kMaxAlternates; ++a) {
                const APIInterfaceAlternateInfo& alternate = interface.mAlternates[a];
                if (!seen.insert(alternate.bAlternateSetting).second) {
                    continue;
                }
                std::string line = "  alt " + std::to_string(alternate.bAlternateSetting) + " " +
                                   std::to_string(alternate.mStreaming.bNrChannels) + "x" +
                                   std::to_string(alternate.mStreaming.bBitResolution);
                for (unsigned f = 0; f < alternate.mStreaming.mNumFrequencies && f < 16; ++f) {
                    line += ' '; // appended apart: GCC 12 warns falsely (-Wrestrict) on " " + text here
                    line += std::to_string(static_cast<uint32_t>(alternate.mStreaming.mFrequencies[f]));
                }
                for (unsigned e = 0; e < alternate.mNumEndpoints && e < 4; ++e) {
                    char endpoint[16];
                    std::snprintf(endpoint, sizeof endpoint, " ep %02X/%u", alternate.mEndpoints[e].bEndpointAddress,
                                  static_cast<unsigned>(static_cast<uint16_t>(alternate.mEndpoints[e].wMaxPacketSize)));
                    line += endpoint;
                }
                lines.push_back(line);
            }
        }
    }
    return lines;
}

// The chosen interfaces and the opened pipes of the device object.
std::string chosen(const VKDevice& device)
{
    auto interface = [](const VKInterfaceDescriptor* i) {
        return i != nullptr ? std::to_string(i->getInterfaceNumber()) + "/" +
                                  std::to_string(i->getAlternateSettingNumber())
                            : std::string("-");
    };
    auto pipe = [](const VKPipeDescriptor* p) {
        if (p == nullptr) {
            return std::string("-");
        }
        char text[8];
        std::snprintf(text, sizeof text, "%02X%s", p->getAddressByte(), p->getPipe() != nullptr ? "" : "?");
        return std::string(text);
    };
    return "in " + interface(device.m_pcInInterface) + " out " + interface(device.m_pcOutInterface) + " pipes " +
           pipe(device.m_pcInPipeIsoc) + " " + pipe(device.m_pcOutPipeIsoc) + " " + pipe(device.m_pcInPipeFeedback) +
           " " + pipe(device.m_pcBulkInPipe) + " " + pipe(device.m_pcBulkOutPipe);
}

// Requests every start sends: the two strings, the device descriptor, the first configuration
// (header, then whole), the first configuration set, and the device descriptor once more when the
// hubs above the device are counted.
Lines startRequests(unsigned totalLength, const Lines& afterDeviceDescriptor = {})
{
    Lines lines = {"80 06 0301 0409 255", "80 06 0302 0409 255", "80 06 0100 0000 18"};
    lines.insert(lines.end(), afterDeviceDescriptor.begin(), afterDeviceDescriptor.end());
    lines.push_back("80 06 0200 0000 9");
    lines.push_back("80 06 0200 0000 " + std::to_string(totalLength));
    lines.push_back("00 09 0001 0000 0");
    lines.push_back("80 06 0100 0000 18");
    return lines;
}

struct ModelCase
{
    const char* name;
    Lines start;       // control requests of the start
    Lines description; // the device description's key fields (not compared when empty)
    IOReturn configured;
    std::string chosen; // after the default stream was configured
    Lines configure;    // control requests of the configuration
};

// The class-compliant stereo models: output interface 1 and input interface 2, 16- and 24-bit
// alternates, the 24-bit ones chosen for the default 44.1 kHz 2 x 24 stream.
const Lines kClassConfigure = {
    "80 08 0000 0000 1", // the configuration set at start is the one wanted: not sent again
    "01 0B 0002 0001 0", // control (alternate 0), output and input interfaces opened
    "01 0B 0002 0002 0",
    "02 01 0000 0082 0", // the isochronous in pipe's halt cleared, then the out pipe's
    "02 01 0000 0001 0",
};

const ModelCase kModels[] = {
    {"class-audio",
     startRequests(282),
     {"config 1", " if 0 sub 1", " if 1 sub 2", "  alt 1 2x16 44100 48000 ep 01/196",
      "  alt 2 2x24 44100 48000 ep 01/294", " if 2 sub 2", "  alt 1 2x16 44100 48000 ep 82/196",
      "  alt 2 2x24 44100 48000 ep 82/294"},
     kIOReturnSuccess,
     "in 2/2 out 1/2 pipes 82 01 - - -",
     kClassConfigure},
    {"class-audio-feedback",
     startRequests(300),
     {"config 1", " if 0 sub 1", " if 1 sub 2", "  alt 1 2x16 44100 48000 ep 01/196 ep 83/3",
      "  alt 2 2x24 44100 48000 ep 01/294 ep 83/3", " if 2 sub 2", "  alt 1 2x16 44100 48000 ep 82/196",
      "  alt 2 2x24 44100 48000 ep 82/294"},
     kIOReturnSuccess,
     "in 2/2 out 1/2 pipes 82 01 - - -",
     kClassConfigure},
    // The maker's bulk interface is not listed and has no audio class interfaces: it starts, but
    // no stream configuration is found.
    {"bitplane-bulk",
     startRequests(41),
     {"config 1", " if 0 sub 0", " if 1 sub 0"},
     kIOReturnError,
     "in - out - pipes - - - - -",
     {}},
    {"bitplane-bulk-1024",
     startRequests(41),
     {"config 1", " if 0 sub 0", " if 1 sub 0"},
     kIOReturnError,
     "in - out - pipes - - - - -",
     {}},
    {"class-audio-24",
     startRequests(190),
     {"config 1", " if 0 sub 1", " if 1 sub 2", "  alt 1 2x24 44100 48000 ep 01/294", " if 2 sub 2",
      "  alt 1 2x24 44100 48000 ep 82/294"},
     kIOReturnSuccess,
     "in 2/1 out 1/1 pipes 82 01 - - -",
     {"80 08 0000 0000 1", "01 0B 0001 0001 0", "01 0B 0001 0002 0", "02 01 0000 0082 0", "02 01 0000 0001 0"}},
    // Of the family at bcd 0200: its firmware is read at start, alternate 1 of both streaming
    // interfaces is cleared and alternate 2 widened to 192 kHz at high speed; configuring always
    // sets the configuration and sends SET_INTERFACE (value 0, index 2) to the device.
    {"Kelvra-UC3",
     startRequests(282, {"C0 56 0000 0000 8"}),
     {"config 1", " if 0 sub 1", " if 1 sub 2", "  alt 2 2x24 44100 48000 88200 96000 176400 192000 ep 01/156",
      " if 2 sub 2", "  alt 2 2x24 44100 48000 88200 96000 176400 192000 ep 82/156"},
     kIOReturnSuccess,
     "in 2/2 out 1/2 pipes 82 01 - - -",
     {"00 09 0001 0000 0", "00 0B 0000 0002 0", "01 0B 0002 0001 0", "01 0B 0002 0002 0", "02 01 0000 0082 0",
      "02 01 0000 0001 0"}},
    // bcd 0100 at high speed: 192 kHz on the output interface, alternate 1 of the input interface
    // cleared; not of the family, so the configuration is asked for first.
    {"Kelvra-UC3@0100",
     startRequests(282, {"C0 56 0000 0000 8"}),
     {"config 1", " if 0 sub 1", " if 1 sub 2", "  alt 2 2x24 44100 48000 88200 96000 176400 192000 ep 01/156",
      " if 2 sub 2", "  alt 2 2x24 44100 48000 ep 82/156"},
     kIOReturnSuccess,
     "in 2/2 out 1/2 pipes 82 01 - - -",
     {"80 08 0000 0000 1", "00 0B 0000 0002 0", "01 0B 0002 0001 0", "01 0B 0002 0002 0", "02 01 0000 0082 0",
      "02 01 0000 0001 0"}},
    // Listed by the kext with its feature record: the record's high-speed defaults (6 x 24 each
    // way) replace the table's, and its 6-channel alternates are chosen.
    {"Crimson-SPL",
     startRequests(332),
     {},
     kIOReturnSuccess,
     "in 2/2 out 1/2 pipes 82 01 - - -",
     kClassConfigure},
    // Its second configuration cannot be read: it starts with the first one alone.
    {"XMOS",
     {"80 06 0301 0409 255", "80 06 0302 0409 255", "80 06 0100 0000 18", "80 06 0200 0000 9",
      "80 06 0200 0000 218", "80 06 0200 0000 9", "80 06 0201 0000 9", "00 09 0001 0000 0", "80 06 0100 0000 18"},
     {"config 1", " if 0 sub 1", " if 1 sub 2", "  alt 1 2x32 44100 48000 88200 96000 176400 192000 ep 01/208 ep 81/4",
      " if 2 sub 2", "  alt 1 2x32 44100 48000 88200 96000 176400 192000 ep 82/208"},
     kIOReturnSuccess,
     "in 2/1 out 1/1 pipes 82 01 - - -",
     {"80 08 0000 0000 1", "01 0B 0001 0001 0", "01 0B 0001 0002 0", "02 01 0000 0082 0", "02 01 0000 0001 0"}},
    // Its PIC: at start, after the configuration is set for it, set-command 129 and get-command
    // 130 (bus power 250), then the first configuration is set once more; after each
    // configuration set-command 129 again.
    {"USBPre",
     {"80 06 0301 0409 255", "80 06 0302 0409 255", "80 06 0100 0000 18", "80 06 0200 0000 9",
      "80 06 0200 0000 635", "00 09 0001 0000 0", "40 01 00F0 01F0 1", "C0 81 00F0 0000 1", "00 09 0001 0000 0",
      "80 06 0100 0000 18"},
     {},
     kIOReturnSuccess,
     "in 2/5 out 1/4 pipes 82 01 - - -",
     {"80 08 0000 0000 1", "01 0B 0004 0001 0", "01 0B 0005 0002 0", "02 01 0000 0082 0", "02 01 0000 0001 0",
      "40 01 00F0 01F0 1"}},
};

class DriverModelsTest : public ::testing::TestWithParam<ModelCase>
{
protected:
    IOReturn configure(VKKernelDevice* service)
    {
        IOReturn status = kIOReturnError;
        EXPECT_TRUE(driver.runInKernel([&] {
            VKDispatchLock lock(*service);
            status = service->reqConfigureDevice("test");
        }));
        return status;
    }

    DriverFixture driver;
    LiveInstances baseline = driver.liveInstances();
};

TEST_P(DriverModelsTest, StartsDescribesConfiguresAndSendsItsRequestsInOrder)
{
    const ModelCase& model = GetParam();
    VKKernelDevice* service = driver.plug(model.name);
    ASSERT_NE(service, nullptr) << "matched and started";
    VKDevice* device = service->device();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(requests(driver.requestLog()), model.start);
    ASSERT_NE(service->getAPIDeviceInfoPtr(), nullptr);
    if (!model.description.empty()) {
        EXPECT_EQ(description(*service->getAPIDeviceInfoPtr()), model.description);
    }

    driver.clearRequestLog();
    EXPECT_EQ(configure(service), model.configured);
    EXPECT_EQ(chosen(*device), model.chosen);
    EXPECT_EQ(requests(driver.requestLog()), model.configure);
    EXPECT_EQ(device->mpDriverSM->mConfigured, model.configured == kIOReturnSuccess ? 1u : 0u);

    driver.unplug();
    EXPECT_EQ(driver.liveInstances(), baseline);
}

INSTANTIATE_TEST_SUITE_P(Catalogue, DriverModelsTest, ::testing::ValuesIn(kModels),
                         [](const auto& param) {
                             std::string name = param.param.name;
                             for (char& c : name) {
                                 c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

// Every model of the catalogue, those without a case above too: matched and started, configured
// or refused without hanging, and nothing left once it leaves.
TEST(DriverModelsCatalogueTest, EveryModelStartsAndLeavesNothingBehind)
{
    DriverFixture driver;
    const LiveInstances baseline = driver.liveInstances();
    for (const auto& entry : usbsim::catalogue()) {
        SCOPED_TRACE(entry.name);
        VKKernelDevice* service = driver.plug(entry.name);
        ASSERT_NE(service, nullptr);
        EXPECT_TRUE(driver.runInKernel([&] {
            VKDispatchLock lock(*service);
            service->reqConfigureDevice("test");
        }));
        driver.unplug();
        EXPECT_EQ(driver.liveInstances(), baseline);
    }
}

// The device leaves at each control request of its start and of its first configuration in
// turn: the service ends, nothing it made is left, nothing waits forever.
TEST(DriverUnplugTest, UnpluggedAtEveryControlRequestOfStartAndConfiguration)
{
    for (const char* name : {"class-audio-24", "Kelvra-UC3"}) {
        DriverFixture driver;
        const LiveInstances baseline = driver.liveInstances();
        auto configure = [&](VKKernelDevice* service) {
            IOReturn status = kIOReturnError;
            EXPECT_TRUE(driver.runInKernel([&] {
                VKDispatchLock lock(*service);
                status = service->reqConfigureDevice("test");
            }));
            return status;
        };
        VKKernelDevice* service = driver.plug(name);
        ASSERT_NE(service, nullptr);
        ASSERT_EQ(configure(service), kIOReturnSuccess);
        const size_t requests = driver.requestLog().size();
        driver.unplug();
        ASSERT_GT(requests, 5u);
        for (uint32_t at = 1; at <= requests; ++at) {
            SCOPED_TRACE(std::string(name) + " at request " + std::to_string(at));
            service = driver.plug(name, {}, [at](usbsim::Device& device) { device.unplugAtControlRequest(at); });
            if (service != nullptr) {
                EXPECT_NE(configure(service), kIOReturnSuccess);
                EXPECT_TRUE(service->isTerminateRequested());
            }
            driver.unplug();
            EXPECT_EQ(driver.liveInstances(), baseline);
        }
    }
}

} // namespace
