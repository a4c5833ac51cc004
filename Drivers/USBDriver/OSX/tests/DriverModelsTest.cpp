// Every model of the simulated catalogue through the whole driver: matched and started, its
// description, the configuration chosen for the default stream, the pipes opened and every
// control request in order; and the device unplugged at each of those requests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "APIDeviceInfo.h"
#include "DeviceModels.h"
#include "DriverData.h"
#include "DriverFixture.h"
#include "DriverModelsTable.h"
#include "DriverSM.h"
#include "PCMCoder.h"
#include "Personalities.h"
#include "VKDevice.h"
#include "VKKernelDevice.h"
#include "VKUSBDescriptors.h"
#include "platform/HostClock.h"
#include "usbsim/Catalogue.h"

using driver_models::Lines;
using driver_models::ModelCase;
using driver_test::DriverFixture;
using driver_test::LiveInstances;

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

// The description's key fields, in the form of the table's description lines.
Lines description(const APIDeviceInfo& info)
{
    Lines lines;
    for (unsigned c = 0; c < info.mNumConfigurations && c < APIDeviceInfo::kMaxConfigurations; ++c) {
        const APIConfigInfo& config = info.mConfigurations[c];
        lines.push_back("config " + std::to_string(config.bConfigurationValue) + " ifs " +
                        std::to_string(config.mNumInterfaces));
        for (unsigned i = 0; i < config.mNumInterfaces && i < APIConfigInfo::kMaxInterfaces; ++i) {
            const APIInterfaceInfo& interface = config.mInterfaces[i];
            if (interface.bInterfaceNumber != i) {
                lines.push_back(" if -");
                continue;
            }
            lines.push_back(" if " + std::to_string(i) + " sub " +
                            std::to_string(interface.bInterfaceSubClass));
            for (unsigned a = 0; a < interface.mNumAlternates && a < APIInterfaceInfo::kMaxAlternates; ++a) {
                const APIInterfaceAlternateInfo& alternate = interface.mAlternates[a];
                const APIStreamingInfo& format = alternate.mStreaming;
                std::string line = "  alt " + std::to_string(alternate.bAlternateSetting) + " " +
                                   std::to_string(format.bNrChannels) + "x" +
                                   std::to_string(format.bBitResolution);
                if (format.mContinuous != 0) {
                    line += " cont ";
                    line += std::to_string(static_cast<uint32_t>(format.mLowerFrequency)) + "-" +
                            std::to_string(static_cast<uint32_t>(format.mUpperFrequency));
                }
                for (unsigned f = 0; f < format.mNumFrequencies && f < APIStreamingInfo::kMaxFrequencies;
                     ++f) {
                    line += ' '; // appended apart: GCC 12 warns falsely (-Wrestrict) on " " + text here
                    line += std::to_string(static_cast<uint32_t>(format.mFrequencies[f]));
                }
                for (unsigned e = 0; e < alternate.mNumEndpoints && e < 4; ++e) {
                    char endpoint[16];
                    std::snprintf(
                        endpoint, sizeof endpoint, " ep %02X/%u", alternate.mEndpoints[e].bEndpointAddress,
                        static_cast<unsigned>(static_cast<uint16_t>(alternate.mEndpoints[e].wMaxPacketSize)));
                    line += endpoint;
                }
                lines.push_back(line);
            }
        }
    }
    return lines;
}

std::string settings(const QzChannelSettings& s)
{
    return std::to_string(s.iFrequency) + " in " + std::to_string(s.iInChannels) + "x" +
           std::to_string(s.iInResolution) + " out " + std::to_string(s.iOutChannels) + "x" +
           std::to_string(s.iOutResolution);
}

// The chosen interfaces and the pipes set on the device object ("?" when not opened).
std::string chosen(const VKDevice& device)
{
    auto interface = [](const VKInterfaceDescriptor* i) {
        return i != nullptr ? std::to_string(i->getInterfaceNumber()) + "/" +
                                  std::to_string(i->getAlternateSettingNumber())
                            : std::string("-");
    };
    const VKInterfaceDescriptor* control = device.mChosen.controlInterface;
    std::string text = "ctl " + (control != nullptr ? std::to_string(control->getInterfaceNumber()) : "-") +
                       " midi " + interface(device.mChosen.midiInterface) + " in " +
                       interface(device.mChosen.inInterface) + " out " + interface(device.mChosen.outInterface);
    const std::pair<const char*, const VKPipeDescriptor*> pipes[] = {
        {"bulkIn", device.mChosen.bulkInPipe},     {"bulkOut", device.mChosen.bulkOutPipe},
        {"intIn", device.mChosen.interruptInPipe}, {"intOut", device.mChosen.interruptOutPipe},
        {"isoIn", device.mChosen.inPipeIsoc},      {"feedback", device.mChosen.inPipeFeedback},
        {"isoOut", device.mChosen.outPipeIsoc},    {"keepAlive", device.mChosen.outPipeIsocKeepAlive},
    };
    for (const auto& [name, pipe] : pipes) {
        if (pipe != nullptr) {
            char address[8];
            std::snprintf(address, sizeof address, "%02X%s", pipe->getAddressByte(),
                          pipe->getPipe() != nullptr ? "" : "?");
            text += std::string(" ") + name + " " + address;
        }
    }
    return text;
}

IOReturn configure(DriverFixture& driver, VKKernelDevice* service)
{
    IOReturn status = kIOReturnError;
    EXPECT_TRUE(driver.runInKernel([&] {
        VKDispatchLock lock(*service);
        status = service->reqConfigureDevice("test");
    }));
    return status;
}

class DriverModelsTest : public ::testing::TestWithParam<ModelCase>
{
protected:
    DriverFixture driver;
    LiveInstances baseline = driver.liveInstances();
};

TEST_P(DriverModelsTest, StartsDescribesConfiguresAndSendsItsRequestsInOrder)
{
    const ModelCase& model = GetParam();
    if (model.pending != nullptr) {
        GTEST_SKIP() << model.pending;
    }
    VKKernelDevice* service = driver.plug(model.name);
    ASSERT_NE(service, nullptr) << "matched and started";
    VKDevice* device = service->device();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(requests(driver.requestLog()), model.start);
    EXPECT_EQ(settings(device->mpDriverSM->mChannelSettings), model.started);
    ASSERT_NE(service->getAPIDeviceInfoPtr(), nullptr);
    EXPECT_EQ(description(*service->getAPIDeviceInfoPtr()), model.description);

    driver.clearRequestLog();
    EXPECT_EQ(configure(driver, service), model.configures ? kIOReturnSuccess : kIOReturnError);
    EXPECT_EQ(settings(device->mpDriverSM->mChannelSettings), model.settings);
    EXPECT_EQ(chosen(*device), model.chosen);
    EXPECT_EQ(requests(driver.requestLog()), model.configure);
    EXPECT_EQ(device->mpDriverSM->mConfigured, model.configures ? 1u : 0u);

    driver.unplug();
    EXPECT_EQ(driver.liveInstances(), baseline);
}

INSTANTIATE_TEST_SUITE_P(Catalogue, DriverModelsTest, ::testing::ValuesIn(driver_models::modelCases()),
                         [](const auto& param) {
                             std::string name = param.param.name;
                             for (char& c : name) {
                                 c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

// The table has a row for every model of the catalogue, and only for those.
TEST(DriverModelsCatalogueTest, EveryModelHasARow)
{
    std::vector<std::string> catalogue;
    for (const auto& entry : usbsim::catalogue()) {
        catalogue.emplace_back(entry.name);
    }
    std::vector<std::string> rows;
    for (const ModelCase& model : driver_models::modelCases()) {
        rows.emplace_back(model.name);
    }
    std::sort(catalogue.begin(), catalogue.end());
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, catalogue);
}

// Every model the driver has behaviour of its own for is matched by a personality the kext ships.
TEST(ShippedPersonalitiesTest, EveryRegisteredModelHasOne)
{
    for (const DeviceModel& model : kDeviceModels) {
        bool shipped = false;
        for (const KextPersonality& p : kextPersonalities()) {
            shipped = shipped || p.model.key() == model.key();
        }
        EXPECT_TRUE(shipped) << model.name;
    }
}

// A catalogue model of a registered device starts through the kext's own personality (the fixture
// adds one only for the bus's test devices), so every row of the table above runs what ships.
TEST(ShippedPersonalitiesTest, EveryRegisteredCatalogueModelIsMatchedByTheKext)
{
    for (const auto& entry : usbsim::catalogue()) {
        bool registered = false;
        for (const DeviceModel& model : kDeviceModels) {
            registered = registered || model.is(entry.vendor, entry.product);
        }
        if (!registered) {
            continue;
        }
        bool matched = false;
        for (const KextPersonality& p : kextPersonalities()) {
            matched = matched || (p.model.is(entry.vendor, entry.product) &&
                                  (p.bcdDevice == kAnyRelease || p.bcdDevice == entry.bcdDevice));
        }
        EXPECT_TRUE(matched) << entry.name;
    }
}

// The path a model has of its own runs on it as the kext ships it: nothing injected but what the
// device answers.
struct PathCase
{
    const char* name;
    std::function<void(usbsim::DeviceModel&)> script; // the device's answers, before configuration
    bool stream;                                      // streaming started after configuration
    std::function<void(DriverFixture&, VKDevice&)> check;
};

void PrintTo(const PathCase& c, std::ostream* out)
{
    *out << c.name;
}

bool sent(const DriverFixture& driver, const std::string& line)
{
    const Lines log = requests(driver.requestLog());
    return std::find(log.begin(), log.end(), line) != log.end();
}

class PerModelPathTest : public ::testing::TestWithParam<PathCase>
{
};

TEST_P(PerModelPathTest, RunsThroughTheShippedKext)
{
    const PathCase& c = GetParam();
    DriverFixture driver;
    VKKernelDevice* service = driver.plug(c.name);
    ASSERT_NE(service, nullptr);
    VKDevice* device = service->device();
    if (c.script) {
        c.script(*driver.model());
    }
    ASSERT_EQ(configure(driver, service), kIOReturnSuccess);
    if (c.stream) {
        EXPECT_TRUE(driver.runInKernel([&] {
            VKDispatchLock lock(*service);
            device->startStreaming();
        }));
        driver.runFor(5 * driver_test::kMillisecond);
        EXPECT_TRUE(driver.runInKernel([&] {
            VKDispatchLock lock(*service);
            device->stopStreaming(true);
        }));
    }
    c.check(driver, *device);
}

const usbsim::RequestMatch kReadStatusRegister{0xC0, 0x49, 0, 0};
const usbsim::RequestMatch kGetRate{0xA2, 0x81, std::nullopt, std::nullopt};

const PathCase kPathCases[] = {
    // Of the family with its substitute descriptors: firmware scanned at start, alternate 1 cleared
    // for the built ones, and a locked digital input measured: the stream follows its rate with the
    // model's output channels for it.
    {"Crimson-SPL",
     [](usbsim::DeviceModel& model) {
         model.scriptAlways(kReadStatusRegister,
                            usbsim::ScriptedStep::answer(usbsim::ControlReply::ok({0x06})));
         model.scriptAlways(kGetRate,
                            usbsim::ScriptedStep::answer(usbsim::ControlReply::ok({0x00, 0x77, 0x01})));
     },
     false,
     [](DriverFixture&, VKDevice& device) {
         EXPECT_TRUE(device.isListed());
         EXPECT_TRUE(device.isCorlanthCompatible());
         EXPECT_NE(device.mFirmwareVersion, 0u);
         const APIInterfaceInfo& out = device.getAPIDeviceInfoPtr()->mConfigurations[0].mInterfaces[1];
         ASSERT_GT(out.mNumAlternates, 0u);
         EXPECT_EQ(out.mAlternates[0].bAlternateSetting, 2) << "alternate 1 cleared";
         const QzAqExtData& aq = device.mpDriverSM->mAqExtData;
         EXPECT_EQ(aq.DigitalLockFrequency, 96'000u);
         EXPECT_EQ(device.mpDriverSM->mChannelSettings.iFrequency, 96'000);
         EXPECT_EQ(device.mpDriverSM->mChannelSettings.iOutChannels, 6);
     }},
    {"041E:3020",
     {},
     false,
     [](DriverFixture& driver, VKDevice&) { EXPECT_TRUE(sent(driver, "21 01 0100 1200 1")); }},
    {"0746:7701",
     {},
     true,
     [](DriverFixture& driver, VKDevice&) { EXPECT_TRUE(sent(driver, "21 01 02FF 0200 4")); }},
    {"0010:1101",
     {},
     true,
     [](DriverFixture& driver, VKDevice&) { EXPECT_TRUE(sent(driver, "21 01 02FF 0200 4")); }},
    {"0582:000F",
     {},
     true,
     [](DriverFixture& driver, VKDevice&) {
         EXPECT_TRUE(sent(driver, "21 01 0201 0900 4"));
         EXPECT_TRUE(sent(driver, "21 01 0202 0900 4"));
     }},
    // Its digital pair is silenced while the digital input has no lock.
    {"Veskaro",
     {},
     false,
     [](DriverFixture&, VKDevice& device) {
         EXPECT_EQ(device.mInputPostProcessor.function, &postprocessVeskaroBugFix);
     }},
};

INSTANTIATE_TEST_SUITE_P(Models, PerModelPathTest, ::testing::ValuesIn(kPathCases), [](const auto& param) {
    std::string name = param.param.name;
    for (char& c : name) {
        c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    }
    return name;
});

// The device leaves at each control request of its start and of its first configuration in
// turn: the service ends, nothing it made is left, nothing waits forever. One model of each
// request sequence of its own.
struct UnplugCase
{
    const char* name;
    const char* pending = nullptr;
};

void PrintTo(const UnplugCase& model, std::ostream* out)
{
    *out << model.name;
}

class DriverUnplugTest : public ::testing::TestWithParam<UnplugCase>
{
};

TEST_P(DriverUnplugTest, UnpluggedAtEveryControlRequestOfStartAndConfiguration)
{
    const UnplugCase& model = GetParam();
    if (model.pending != nullptr) {
        GTEST_SKIP() << model.pending;
    }
    DriverFixture driver;
    const LiveInstances baseline = driver.liveInstances();
    VKKernelDevice* service = driver.plug(model.name);
    ASSERT_NE(service, nullptr);
    ASSERT_EQ(configure(driver, service), kIOReturnSuccess);
    const size_t requests = driver.requestLog().size();
    driver.unplug();
    ASSERT_GT(requests, 5u);
    for (uint32_t at = 1; at <= requests; ++at) {
        SCOPED_TRACE(std::string(model.name) + " at request " + std::to_string(at));
        service =
            driver.plug(model.name, {}, [at](usbsim::Device& device) { device.unplugAtControlRequest(at); });
        if (service != nullptr) {
            EXPECT_NE(configure(driver, service), kIOReturnSuccess);
            // The bus tells the family of the unplug on its own thread: let it get there.
            EXPECT_TRUE(driver.waitQuiet());
            EXPECT_TRUE(service->isTerminateRequested());
        }
        driver.unplug();
        EXPECT_EQ(driver.liveInstances(), baseline);
    }
}

const UnplugCase kUnplugCases[] = {
    {"class-audio-24"}, // the plain sequence
    {"Kelvra-UC3"},     // firmware scan, SetConfiguration always, SET_INTERFACE to the device
    {"0A4A:F1A0"},      // firmware scan, SET_INTERFACE to the device
    {"USBPre"},         // PIC commands at start and after configuration
    {"MBox"},           // one interface opened for both directions
    {"MBox2"},          // start-up poll
    {"US-322"},         // interfaces searched as class 0xFF
    {"Tessaly"},        // interrupt pipes
    {"1935:0006"},      // UID and name requests
    {"XMOS"},           // unreadable second configuration
    {"US-144-MKII"},    // feedback and bulk pipes
    {"1604:8006"},      // output only
    {"Play-16/24"},     // SET_INTERFACE from configuration completion
    {"Crimson-SPL"},    // listed: feature record, settle delay
};

INSTANTIATE_TEST_SUITE_P(OwnSequences, DriverUnplugTest, ::testing::ValuesIn(kUnplugCases),
                         [](const auto& param) {
                             std::string name = param.param.name;
                             for (char& c : name) {
                                 c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

// An MBox 2 that leaves while its start polls it for readiness: the start gives up at once rather
// than polling a device that is gone a hundred times, 300 ms apart.
TEST(DriverStartupTest, MBox2LeavingDuringItsStartupPollEndsTheStartAtOnce)
{
    DriverFixture driver;
    const LiveInstances baseline = driver.liveInstances();
    // The first poll is the sixth request: the two strings, the device descriptor, the
    // configuration's header and whole.
    const uint64_t before = platform::host_clock::now();
    VKKernelDevice* service =
        driver.plug("MBox2", {}, [](usbsim::Device& device) { device.unplugAtControlRequest(6); });
    const uint64_t took = platform::host_clock::now() - before;
    if (service != nullptr) {
        EXPECT_TRUE(service->isTerminateRequested());
    }
    EXPECT_LT(took, 2'000 * driver_test::kMillisecond);
    driver.unplug();
    EXPECT_EQ(driver.liveInstances(), baseline);
}

// The USBPre's PIC is powered up only when the bus gives it 250 units or more: with less, its
// start sets the configuration for the PIC and again as every start does, and sends no command.
TEST(DriverStartupTest, USBPreWithTooLittleBusPowerGetsNoPicCommands)
{
    DriverFixture driver;
    const LiveInstances baseline = driver.liveInstances();
    std::shared_ptr<usbsim::DeviceModel> model = usbsim::makeModel("USBPre");
    ASSERT_NE(model, nullptr);
    model->setBusPowerAvailable(249);
    ASSERT_NE(driver.plug(model), nullptr);
    EXPECT_EQ(requests(driver.requestLog()),
              (Lines{"80 06 0301 0409 255", "80 06 0302 0409 255", "80 06 0100 0000 18", "80 06 0200 0000 9",
                     "80 06 0200 0000 635", "00 09 0001 0000 0", "00 09 0001 0000 0", "80 06 0100 0000 18"}));
    driver.unplug();
    EXPECT_EQ(driver.liveInstances(), baseline);
}

} // namespace
