// The audio-server host with a driver bundle, against sonvexa-kerneld with simulated devices: the
// bundle is loaded through its factory into this process (and, as a program, into
// sonvexa-audiod), the plug-in object lists the kernel's devices, follows devices published and
// terminated while it runs, and the driver interface refuses what it must.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "AudioServerHost.h"
#include "KernelProcess.h"
#include "ProgramRunner.h"
#include "platform/Log.h"
#include "platform/ProcessEnvironment.h"

namespace {

using audiod::AudioServerHost;
using audiod::PropertyValue;

constexpr const char* kBundle = "/Library/Audio/Plug-Ins/HAL/SonvexaTest.driver";

const AudioObjectPropertyAddress kDeviceList{kAudioPlugInPropertyDeviceList, kAudioObjectPropertyScopeGlobal, 0};
const AudioObjectPropertyAddress kOwned{kAudioObjectPropertyOwnedObjects, kAudioObjectPropertyScopeGlobal, 0};

class AudioServerHostTest : public testing::Test
{
protected:
    void SetUp() override
    {
        // The test bundle, installed where the audio server looks for drivers.
        const std::filesystem::path installed = programs.root() + kBundle;
        std::filesystem::create_directories(installed.parent_path());
        std::filesystem::create_symlink(TEST_DRIVER, installed);
        ASSERT_TRUE(kernel.start({"Kelvra-UC3"})) << kernel.log();
        kernel.releaseService();
    }
    void TearDown() override { EXPECT_EQ(kernel.stop(), 0); }

    void loadAndInitialize()
    {
        std::string error;
        ASSERT_TRUE(host.load(kBundle, error)) << error;
        ASSERT_EQ(host.initialize(), 0);
        host.settle();
    }

    std::string control(const std::vector<std::string>& words)
    {
        std::vector<std::string> arguments{"--socket", kernel.socket()};
        arguments.insert(arguments.end(), words.begin(), words.end());
        const test_support::ProgramResult result = programs.run(KERNELCTL, arguments);
        EXPECT_EQ(result.status, 0) << result.err;
        return result.out;
    }

    test_support::ProgramRunner programs;
    test_support::KernelProcess kernel{programs, KERNELD};
    platform::process::ScopedOverride user{{.name = "coreaudiod", .uid = 0, .root = programs.root()}};
    AudioServerHost host;
};

std::vector<AudioObjectID> ids(const PropertyValue& value)
{
    std::vector<AudioObjectID> result(value.bytes.size() / sizeof(AudioObjectID));
    std::memcpy(result.data(), value.bytes.data(), result.size() * sizeof(AudioObjectID));
    return result;
}

CFStringRef ownedString(const PropertyValue& value)
{
    CFStringRef string = nullptr;
    if (value.bytes.size() == sizeof string) {
        std::memcpy(&string, value.bytes.data(), sizeof string);
    }
    return string;
}

TEST_F(AudioServerHostTest, PlugInObjectListsTheKernelsDeviceAndAnnouncedItOnce)
{
    loadAndInitialize();
    const std::vector<AudioObjectID> devices = host.devices();
    ASSERT_EQ(devices.size(), 1U);
    EXPECT_EQ(devices[0], 32U); // the first identifier the map hands out
    EXPECT_EQ(ids(host.get(kAudioObjectPlugInObject, kOwned)), devices);

    // The first pass ran inside Initialize and announced the list once: 'ownd' before 'dev#'.
    const auto changes = host.changes();
    ASSERT_EQ(changes.size(), 2U);
    EXPECT_EQ(changes[0].object, kAudioObjectPlugInObject);
    EXPECT_EQ(changes[0].address.mSelector, kAudioObjectPropertyOwnedObjects);
    EXPECT_EQ(changes[1].address.mSelector, kAudioPlugInPropertyDeviceList);
    EXPECT_EQ(changes[1].reread, 0);

    PropertyValue classID = host.get(kAudioObjectPlugInObject, {kAudioObjectPropertyClass,
                                                                kAudioObjectPropertyScopeGlobal, 0});
    ASSERT_EQ(classID.bytes.size(), 4U);
    EXPECT_EQ(*reinterpret_cast<const uint32_t*>(classID.bytes.data()), kAudioPlugInClassID);
    CFStringRef maker = ownedString(host.get(kAudioObjectPlugInObject, {kAudioObjectPropertyManufacturer,
                                                                        kAudioObjectPropertyScopeGlobal, 0}));
    EXPECT_TRUE(maker != nullptr && CFEqual(maker, CFSTR("Apple Inc.")));
    CFStringRef bundle = ownedString(host.get(kAudioObjectPlugInObject, {kAudioPlugInPropertyResourceBundle,
                                                                         kAudioObjectPropertyScopeGlobal, 0}));
    EXPECT_TRUE(bundle != nullptr && CFEqual(bundle, CFSTR("")));
    // Plug-in selectors exist in the global scope only.
    EXPECT_FALSE(host.has(kAudioObjectPlugInObject, {kAudioPlugInPropertyDeviceList, kAudioObjectPropertyScopeInput, 0}));
    bool isSettable = true;
    EXPECT_EQ(host.settable(kAudioObjectPlugInObject, kDeviceList, isSettable), 0);
    EXPECT_FALSE(isSettable);
    // A buffer for no entry reads none.
    EXPECT_EQ(host.get(kAudioObjectPlugInObject, kDeviceList, nullptr, 0, 0).bytes.size(), 0U);
    EXPECT_EQ(host.get(kAudioObjectPlugInObject, kDeviceList, nullptr, 0, 6).bytes.size(), 4U);
}

TEST_F(AudioServerHostTest, TranslateUIDToDevice)
{
    loadAndInitialize();
    const AudioObjectID device = host.devices().at(0);
    CFStringRef uid = ownedString(host.get(device, {kAudioDevicePropertyDeviceUID, kAudioObjectPropertyScopeGlobal, 0}));
    ASSERT_NE(uid, nullptr);
    const AudioObjectPropertyAddress translate{kAudioPlugInPropertyTranslateUIDToDevice,
                                               kAudioObjectPropertyScopeGlobal, 0};
    PropertyValue found = host.get(kAudioObjectPlugInObject, translate, &uid, sizeof uid);
    ASSERT_EQ(found.status, 0);
    ASSERT_EQ(found.bytes.size(), 4U);
    EXPECT_EQ(*reinterpret_cast<const AudioObjectID*>(found.bytes.data()), device);
    CFRelease(uid);

    CFStringRef unknown = CFSTR("USB-no-such-device");
    found = host.get(kAudioObjectPlugInObject, translate, &unknown, sizeof unknown);
    ASSERT_EQ(found.status, 0);
    EXPECT_EQ(*reinterpret_cast<const AudioObjectID*>(found.bytes.data()), 0U);
    // A number where the UID belongs reads as no device, never as a string.
    CFTypeRef notAString = CFNumberCreate(nullptr, kCFNumberSInt32Type, &device);
    found = host.get(kAudioObjectPlugInObject, translate, &notAString, sizeof notAString);
    EXPECT_EQ(*reinterpret_cast<const AudioObjectID*>(found.bytes.data()), 0U);
    CFRelease(notAString);

    platform::log::Capture capture(platform::log::Channel::system);
    EXPECT_EQ(host.get(kAudioObjectPlugInObject, translate, &unknown, 4).status, kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(host.get(kAudioObjectPlugInObject, translate, &unknown, sizeof unknown, 3).status,
              kAudioHardwareBadPropertySizeError);
    platform::log::flush();
    EXPECT_TRUE(capture.contains("the qualifier size is too small for kAudioPlugInPropertyTranslateUIDToDevice"));
    EXPECT_TRUE(capture.contains("not enough space for the return value of kAudioPlugInPropertyTranslateUIDToDevice"));
}

TEST_F(AudioServerHostTest, DriverInterfaceRefusals)
{
    loadAndInitialize();
    AudioServerPlugInDriverRef driver = host.driver();
    AudioServerPlugInDriverInterface& table = **driver;
    const AudioObjectID device = host.devices().at(0);
    AudioServerPlugInDriverInterface* other = nullptr;
    const auto wrong = reinterpret_cast<AudioServerPlugInDriverRef>(&other);

    // Every operation that checks the reference refuses another one.
    EXPECT_EQ(table.Initialize(wrong, nullptr), kAudioHardwareBadObjectError);
    EXPECT_EQ(table.HasProperty(wrong, 1, getpid(), &kDeviceList), 0);
    EXPECT_EQ(table.AddRef(wrong), 0U);
    EXPECT_EQ(table.Release(wrong), 0U);
    Boolean settable = 0;
    EXPECT_EQ(table.IsPropertySettable(wrong, 1, 0, &kDeviceList, &settable), kAudioHardwareBadObjectError);
    EXPECT_EQ(table.StartIO(wrong, device, 1), kAudioHardwareBadObjectError);

    // Reference counting: AddRef from n gives n+1, Release gives it back.
    const ULONG count = table.AddRef(driver);
    EXPECT_EQ(table.Release(driver), count - 1);
    void* interface = nullptr;
    EXPECT_EQ(table.QueryInterface(driver, CFUUIDGetUUIDBytes(IUnknownUUID), &interface), S_OK);
    EXPECT_EQ(interface, driver);
    EXPECT_EQ(table.Release(driver), count - 1);
    EXPECT_EQ(table.QueryInterface(driver, CFUUIDGetUUIDBytes(kAudioServerPlugInTypeUUID), &interface), E_NOINTERFACE);
    EXPECT_EQ(table.QueryInterface(driver, CFUUIDGetUUIDBytes(IUnknownUUID), nullptr),
              kAudioHardwareIllegalOperationError);

    EXPECT_EQ(table.CreateDevice(driver, nullptr, nullptr, nullptr), kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ(table.DestroyDevice(driver, device), kAudioHardwareUnsupportedOperationError);

    // The DJ application is refused as a client in any letter case; a client without a bundle is not.
    struct ClientRow
    {
        CFStringRef bundle;
        OSStatus status;
    };
    for (const ClientRow& row : {ClientRow{CFSTR("com.serato.itch"), kAudioHardwareNotRunningError},
                                 ClientRow{CFSTR("COM.Serato.Itch"), kAudioHardwareNotRunningError},
                                 ClientRow{CFSTR("com.example.player"), 0}, ClientRow{nullptr, 0}}) {
        const AudioServerPlugInClientInfo client{7, getpid(), 1, row.bundle};
        EXPECT_EQ(table.AddDeviceClient(driver, device, &client), row.status);
    }
    EXPECT_EQ(table.AddDeviceClient(driver, device, nullptr), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(table.RemoveDeviceClient(driver, device, nullptr), 0);

    // Property calls: missing pointers, unknown objects, unknown and read-only properties.
    UInt32 size = 0;
    EXPECT_EQ(table.GetPropertyDataSize(driver, 1, 0, nullptr, 0, nullptr, &size), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(table.GetPropertyDataSize(driver, 1, 0, &kDeviceList, 0, nullptr, nullptr),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(table.GetPropertyDataSize(driver, 9999, 0, &kDeviceList, 0, nullptr, &size), kAudioHardwareBadObjectError);
    const AudioObjectPropertyAddress missing{kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, 0};
    EXPECT_EQ(table.GetPropertyDataSize(driver, 1, 0, &missing, 0, nullptr, &size), kAudioHardwareUnknownPropertyError);
    UInt32 value = 0;
    EXPECT_EQ(table.SetPropertyData(driver, 1, 0, &kDeviceList, 0, nullptr, 4, &value),
              kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ(table.SetPropertyData(driver, 1, 0, &missing, 0, nullptr, 4, &value), kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(table.GetPropertyData(driver, 1, 0, &kDeviceList, 0, nullptr, 4, nullptr, &value),
              kAudioHardwareIllegalOperationError);

    // The IO operations want a device: the plug-in object's identifier is none.
    EXPECT_EQ(table.StartIO(driver, kAudioObjectPlugInObject, 1), kAudioHardwareBadObjectError);
    Float64 sampleTime = -1;
    UInt64 hostTime = 7;
    EXPECT_EQ(table.GetZeroTimeStamp(driver, device, 1, &sampleTime, &hostTime, nullptr),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(sampleTime, -1);
    EXPECT_EQ(hostTime, 7U);

    platform::log::Capture capture(platform::log::Channel::system);
    const AudioServerPlugInIOCycleInfo cycle{};
    EXPECT_EQ(table.BeginIOOperation(driver, device, 1, kAudioServerPlugInIOOperationReadInput, 512, &cycle),
              kAudioHardwareNotRunningError);
    EXPECT_EQ(table.BeginIOOperation(driver, device, 1, kAudioServerPlugInIOOperationReadInput, 512, nullptr),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(table.EndIOOperation(driver, device, 1, kAudioServerPlugInIOOperationReadInput, 512, &cycle), 0);
    platform::log::flush();
    bool found = false;
    for (const platform::log::Line& line : capture.lines()) {
        if (line.text == "QzASPlugInBeginIOOperation returns 73746F70") {
            found = true;
            EXPECT_EQ(line.priority, platform::log::kPriorityError);
        }
    }
    EXPECT_TRUE(found);
}

// Devices that come and go while the host runs are announced, listed and withdrawn.
TEST_F(AudioServerHostTest, DevicesPublishedAndTerminatedWhileRunning)
{
    loadAndInitialize();
    ASSERT_EQ(host.devices().size(), 1U);
    const AudioObjectID first = host.devices()[0];
    host.clearRecords();

    control({"attach", "Kelvra-UC3"});
    ASSERT_TRUE(host.waitFor([](const auto& changes, const auto&) { return changes.size() >= 2; }, 30.0));
    ASSERT_EQ(host.devices().size(), 2U);
    const AudioObjectID second = host.devices()[1];
    EXPECT_GT(second, first);

    host.clearRecords();
    control({"detach", "2"});
    ASSERT_TRUE(host.waitFor([](const auto& changes, const auto&) { return changes.size() >= 2; }, 30.0));
    const auto changes = host.changes();
    EXPECT_EQ(changes[0].address.mSelector, kAudioObjectPropertyOwnedObjects);
    EXPECT_EQ(changes[1].address.mSelector, kAudioPlugInPropertyDeviceList);
    EXPECT_EQ(host.devices(), std::vector<AudioObjectID>{first});
    // Once its queued destruction ran, the withdrawn device's identifier names nothing.
    host.settle();
    EXPECT_FALSE(host.has(second, {kAudioObjectPropertyClass, kAudioObjectPropertyScopeGlobal, 0}));
    EXPECT_TRUE(host.has(first, {kAudioObjectPropertyClass, kAudioObjectPropertyScopeGlobal, 0}));
}

TEST_F(AudioServerHostTest, ProgramListsEveryObject)
{
    const test_support::ProgramResult result =
        programs.run(AUDIOD, {"--socket", kernel.socket(), "--driver", kBundle, "--devices", "1", "--list"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("object 1 class 'aplg'"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("'dev#' glob: 32"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("'lmak' glob: \"Apple Inc.\""), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("object 32 class 'adev'"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("'uid ' glob: \"USB-"), std::string::npos) << result.out;
}

TEST_F(AudioServerHostTest, ProgramExplainsItselfAndRefusesWhatItCannotLoad)
{
    const test_support::ProgramResult help = programs.run(AUDIOD, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: sonvexa-audiod"), std::string::npos);
    const test_support::ProgramResult missing = programs.run(AUDIOD, {"--driver", "/no/such.driver", "--list"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("no bundle at /no/such.driver"), std::string::npos) << missing.err;
    const test_support::ProgramResult wrong = programs.run(AUDIOD, {"--devices", "many"});
    EXPECT_EQ(wrong.status, 2);
}

} // namespace
