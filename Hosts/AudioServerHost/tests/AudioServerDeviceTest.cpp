// The AudioServer plug-in sonvexa.driver with its real device, loaded into this process by the
// audio-server host, against sonvexa-kerneld with simulated models: the object tree and the
// properties of devices, streams and controls, the settable properties with the notifications and
// configuration changes they cause, and the statuses of wrong sizes, qualifiers and values.
#include <cctype>
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

constexpr OSStatus kIOReturnInternalErrorStatus = static_cast<OSStatus>(0xE00002C9);

AudioObjectPropertyAddress global(AudioObjectPropertySelector selector)
{
    return {selector, kAudioObjectPropertyScopeGlobal, 0};
}

AudioObjectPropertyAddress scoped(AudioObjectPropertySelector selector, bool isInput)
{
    return {selector, isInput ? kAudioObjectPropertyScopeInput : kAudioObjectPropertyScopeOutput, 0};
}

template <class T> T as(const PropertyValue& value, size_t index = 0)
{
    T result{};
    EXPECT_GE(value.bytes.size(), (index + 1) * sizeof(T));
    if (value.bytes.size() >= (index + 1) * sizeof(T)) {
        std::memcpy(&result, value.bytes.data() + index * sizeof(T), sizeof(T));
    }
    return result;
}

std::string text(CFTypeRef value)
{
    char buffer[256] = {};
    if (value != nullptr && CFGetTypeID(value) == CFStringGetTypeID()) {
        CFStringGetCString(static_cast<CFStringRef>(value), buffer, sizeof buffer, kCFStringEncodingUTF8);
    }
    return buffer;
}

// A string a read handed out, as text (the reference is released).
std::string ownedText(const PropertyValue& value)
{
    if (value.status != 0 || value.bytes.size() != sizeof(CFTypeRef)) {
        return "<status " + std::to_string(value.status) + ">";
    }
    const auto reference = as<CFTypeRef>(value);
    std::string result = text(reference);
    if (reference != nullptr) {
        CFRelease(reference);
    }
    return result;
}

class AudioServerDeviceTest : public testing::Test
{
protected:
    virtual std::vector<std::string> models() const { return {"Kelvra-UC3"}; }

    void SetUp() override
    {
        const std::filesystem::path installed = programs.root() + AudioServerHost::kDefaultDriverPath;
        std::filesystem::create_directories(installed.parent_path());
        std::filesystem::create_symlink(DRIVER, installed);
        ASSERT_TRUE(kernel.start(models())) << kernel.log();
        kernel.releaseService();
        std::string error;
        ASSERT_TRUE(host.load(AudioServerHost::kDefaultDriverPath, error)) << error;
        ASSERT_EQ(host.initialize(), 0);
        ASSERT_TRUE(host.waitFor([&](const auto&, const auto&) { return host.devices().size() == models().size(); },
                                 30.0));
        host.settle();
        device = host.devices().at(0);
        ids = std::vector<AudioObjectID>(8);
        const PropertyValue owned = host.get(device, global(kAudioObjectPropertyOwnedObjects));
        ASSERT_EQ(owned.bytes.size(), 32U);
        std::memcpy(ids.data(), owned.bytes.data(), 32);
        host.clearRecords();
    }
    void TearDown() override
    {
        host.settle();
        EXPECT_EQ(kernel.stop(), 0);
    }

    // In the order of the device's owned objects.
    AudioObjectID inputStream() const { return ids[0]; }
    AudioObjectID outputStream() const { return ids[1]; }
    AudioObjectID inputVolume() const { return ids[2]; }
    AudioObjectID inputMute() const { return ids[4]; }
    AudioObjectID inputDataSource() const { return ids[6]; }
    AudioObjectID outputDataSource() const { return ids[7]; }

    bool waitForConfigurationChange(size_t count)
    {
        return host.waitFor([count](const auto&, const auto& configuration) { return configuration.size() >= count; },
                            30.0);
    }

    test_support::ProgramRunner programs;
    test_support::KernelProcess kernel{programs, KERNELD};
    platform::process::ScopedOverride user{{.name = "coreaudiod", .uid = 0, .root = programs.root()}};
    AudioServerHost host;
    AudioObjectID device = 0;
    std::vector<AudioObjectID> ids;
};

TEST_F(AudioServerDeviceTest, ObjectTreeOfAGenericDevice)
{
    EXPECT_EQ(as<UInt32>(host.get(device, global(kAudioObjectPropertyClass))), kAudioDeviceClassID);
    EXPECT_EQ(as<UInt32>(host.get(device, global(kAudioObjectPropertyOwner))), kAudioObjectPlugInObject);
    EXPECT_EQ(ownedText(host.get(device, global(kAudioObjectPropertyName))), "Kelvra UC3 (Core Audio)");
    EXPECT_EQ(ownedText(host.get(device, global(kAudioDevicePropertyConfigurationApplication))), "com.sonvexa.app");
    EXPECT_EQ(ownedText(host.get(device, global(kAudioDevicePropertyDeviceUID))),
              ownedText(host.get(device, global(kAudioDevicePropertyModelUID))));
    EXPECT_EQ(as<UInt32>(host.get(device, global(kAudioDevicePropertyTransportType))), kAudioDeviceTransportTypeUSB);
    EXPECT_EQ(as<UInt32>(host.get(device, global(kAudioDevicePropertyDeviceIsAlive))), 1U);
    EXPECT_EQ(as<Float64>(host.get(device, global(kAudioDevicePropertyNominalSampleRate))), 44100.0);
    EXPECT_GT(as<UInt32>(host.get(device, global(kAudioDevicePropertyZeroTimeStampPeriod))), 0U);

    // Streams and owned objects, scope by scope.
    struct ListRow
    {
        AudioObjectPropertyAddress address;
        std::vector<size_t> expected; // indexes into the owned objects
    };
    for (const ListRow& row :
         {ListRow{global(kAudioDevicePropertyStreams), {0, 1}},
          ListRow{scoped(kAudioDevicePropertyStreams, true), {0}},
          ListRow{scoped(kAudioDevicePropertyStreams, false), {1}},
          ListRow{scoped(kAudioObjectPropertyOwnedObjects, true), {0, 2, 4, 6}},
          ListRow{scoped(kAudioObjectPropertyOwnedObjects, false), {1, 3, 5, 7}},
          ListRow{global(kAudioObjectPropertyControlList), {2, 3, 4, 5, 6, 7}}}) {
        const PropertyValue list = host.get(device, row.address);
        ASSERT_EQ(list.bytes.size(), row.expected.size() * 4) << audiod::fourCC(row.address.mSelector);
        for (size_t index = 0; index < row.expected.size(); ++index) {
            EXPECT_EQ(as<AudioObjectID>(list, index), ids[row.expected[index]]);
        }
    }
    // A list read with room for one entry holds one.
    EXPECT_EQ(host.get(device, global(kAudioDevicePropertyStreams), nullptr, 0, 4).bytes.size(), 4U);

    // Classes of the owned objects, their owner and their scope.
    struct ClassRow
    {
        size_t index;
        AudioClassID classID;
        AudioClassID baseClassID;
    };
    for (const ClassRow& row : {ClassRow{0, kAudioStreamClassID, kAudioObjectClassID},
                                ClassRow{1, kAudioStreamClassID, kAudioObjectClassID},
                                ClassRow{2, kAudioVolumeControlClassID, kAudioLevelControlClassID},
                                ClassRow{3, kAudioVolumeControlClassID, kAudioLevelControlClassID},
                                ClassRow{4, kAudioMuteControlClassID, kAudioBooleanControlClassID},
                                ClassRow{5, kAudioMuteControlClassID, kAudioBooleanControlClassID},
                                ClassRow{6, kAudioDataSourceControlClassID, kAudioSelectorControlClassID},
                                ClassRow{7, kAudioDataSourceControlClassID, kAudioSelectorControlClassID}}) {
        const AudioObjectID object = ids[row.index];
        EXPECT_EQ(as<UInt32>(host.get(object, global(kAudioObjectPropertyClass))), row.classID) << row.index;
        EXPECT_EQ(as<UInt32>(host.get(object, global(kAudioObjectPropertyBaseClass))), row.baseClassID) << row.index;
        EXPECT_EQ(as<UInt32>(host.get(object, global(kAudioObjectPropertyOwner))), device) << row.index;
        if (row.index >= 2) {
            EXPECT_EQ(as<UInt32>(host.get(object, global(kAudioControlPropertyScope))),
                      row.index % 2 == 0 ? kAudioObjectPropertyScopeInput : kAudioObjectPropertyScopeOutput);
        }
    }

    // The streams.
    EXPECT_EQ(as<UInt32>(host.get(inputStream(), global(kAudioStreamPropertyDirection))), 1U);
    EXPECT_EQ(as<UInt32>(host.get(outputStream(), global(kAudioStreamPropertyDirection))), 0U);
    EXPECT_EQ(as<UInt32>(host.get(outputStream(), global(kAudioStreamPropertyStartingChannel))), 1U);
    EXPECT_EQ(as<UInt32>(host.get(inputStream(), global(kAudioStreamPropertyTerminalType))),
              kAudioStreamTerminalTypeDigitalAudioInterface);
    const auto format = as<AudioStreamBasicDescription>(host.get(outputStream(), global(kAudioStreamPropertyPhysicalFormat)));
    EXPECT_EQ(format.mFormatID, kAudioFormatLinearPCM);
    EXPECT_EQ(format.mSampleRate, 44100.0);
    EXPECT_EQ(format.mChannelsPerFrame, 2U);
    // The virtual format has a size but no value.
    uint32_t size = 0;
    EXPECT_EQ(host.size(outputStream(), global(kAudioStreamPropertyVirtualFormat), size), 0);
    EXPECT_EQ(size, 40U);
    EXPECT_EQ(host.get(outputStream(), global(kAudioStreamPropertyVirtualFormat)).bytes.size(), 0U);
    // Every offered format, and as many whole entries as a short buffer holds.
    EXPECT_EQ(host.size(outputStream(), global(kAudioStreamPropertyAvailablePhysicalFormats), size), 0);
    ASSERT_GE(size, 56U * 2);
    EXPECT_EQ(host.get(outputStream(), global(kAudioStreamPropertyAvailablePhysicalFormats)).bytes.size(), size);
    EXPECT_EQ(host.get(outputStream(), global(kAudioStreamPropertyAvailablePhysicalFormats), nullptr, 0, 56 + 20)
                  .bytes.size(),
              56U);

    // The data-source controls: items count from 1; the name of item 0 is the product's.
    EXPECT_EQ(host.get(inputDataSource(), global(kAudioSelectorControlPropertyAvailableItems), nullptr, 0, 100).bytes,
              (std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(as<UInt32>(host.get(outputDataSource(), global(kAudioSelectorControlPropertyCurrentItem))), 1U);
    const UInt32 item = 0;
    EXPECT_EQ(ownedText(host.get(inputDataSource(), global(kAudioSelectorControlPropertyItemName), &item, 4)),
              "Kelvra UC3");
    EXPECT_EQ(host.get(inputDataSource(), global(kAudioSelectorControlPropertyItemName), &item, 2).status,
              kAudioHardwareBadPropertySizeError);
    // The mute controls answer their class without a value property.
    EXPECT_FALSE(host.has(inputMute(), global(kAudioBooleanControlPropertyValue)));
}

TEST_F(AudioServerDeviceTest, CustomPropertyInfoListAndReads)
{
    const AudioObjectPropertyAddress list = global(kAudioObjectPropertyCustomPropertyInfoList);
    uint32_t size = 0;
    EXPECT_EQ(host.size(device, list, size), 0);
    EXPECT_EQ(size, 372U);
    const PropertyValue entries = host.get(device, list);
    ASSERT_EQ(entries.bytes.size(), 372U);
    for (size_t index = 0; index < 31; ++index) {
        const auto entry = as<AudioServerPlugInCustomPropertyInfo>(entries, index);
        EXPECT_EQ(entry.mPropertyDataType, kAudioServerPlugInCustomPropertyDataTypeCFPropertyList);
        EXPECT_EQ(entry.mQualifierDataType, 0U);
    }
    EXPECT_EQ(as<AudioServerPlugInCustomPropertyInfo>(entries, 0).mSelector, audioFourCC("QzMM"));
    EXPECT_EQ(as<AudioServerPlugInCustomPropertyInfo>(entries, 30).mSelector, audioFourCC("DbWA"));
    EXPECT_EQ(host.get(device, list, nullptr, 0, 360).bytes.size(), 0U);
    EXPECT_EQ(host.get(device, list, nullptr, 0, 384).bytes.size(), 372U);

    // Write-only: a null value of 8 bytes; with 4 bytes, '!siz'.
    const PropertyValue footSwitch = host.get(device, global(audioFourCC("QzFM")));
    ASSERT_EQ(footSwitch.status, 0);
    EXPECT_EQ(as<CFTypeRef>(footSwitch), nullptr);
    EXPECT_EQ(host.get(device, global(audioFourCC("QzFM")), nullptr, 0, 4).status, kAudioHardwareBadPropertySizeError);
    // The debug overrides exist and are settable, but are not read.
    bool isSettable = false;
    EXPECT_EQ(host.settable(device, global(audioFourCC("DbLI")), isSettable), 0);
    EXPECT_TRUE(isSettable);
    EXPECT_EQ(host.get(device, global(audioFourCC("DbLI"))).status, kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(host.get(device, global(audioFourCC("QzRo"))).bytes.size(), 0U);
    EXPECT_EQ(ownedText(host.get(device, global(audioFourCC("QzTy")))), "QuenzarAudioServerPluginType");

    // The product id as a signed 16-bit number of the same bits (0x6A02).
    const PropertyValue product = host.get(device, global(audioFourCC("QzPD")));
    ASSERT_EQ(product.status, 0);
    SInt16 value = 0;
    const auto number = as<CFNumberRef>(product);
    ASSERT_TRUE(CFNumberGetValue(number, kCFNumberSInt16Type, &value));
    EXPECT_EQ(static_cast<UInt16>(value), 0x6A02);
    CFRelease(number);
    const PropertyValue width = host.get(device, global(audioFourCC("QzSW")));
    ASSERT_TRUE(CFNumberGetValue(as<CFNumberRef>(width), kCFNumberSInt16Type, &value));
    EXPECT_EQ(value, 24);
    CFRelease(as<CFNumberRef>(width));
}

TEST_F(AudioServerDeviceTest, ClientProcessDecidesSomeAnswers)
{
    {
        platform::process::ScopedOverride cubase{{.name = "Cubase 13"}};
        EXPECT_EQ(as<UInt32>(host.get(device, global(kAudioDevicePropertyTransportType))),
                  kAudioDeviceTransportTypeOther);
    }
    {
        platform::process::ScopedOverride lower{{.name = "cubase 13"}};
        EXPECT_EQ(as<UInt32>(host.get(device, global(kAudioDevicePropertyTransportType))),
                  kAudioDeviceTransportTypeUSB);
    }
    {
        // "ITCH" inside a longer name: every device read is refused, the controls still answer.
        platform::process::ScopedOverride itch{{.name = "SwitchBoard"}};
        EXPECT_EQ(host.get(device, global(kAudioDevicePropertyNominalSampleRate)).status,
                  kAudioHardwareNotRunningError);
        EXPECT_EQ(as<UInt32>(host.get(inputVolume(), global(kAudioObjectPropertyClass))), kAudioVolumeControlClassID);
    }
    {
        platform::process::ScopedOverride traktor{{.name = "Traktor Pro"}};
        EXPECT_EQ(ownedText(host.get(device, global(kAudioObjectPropertyName))), "Kelvra UC3_CoreAudio");
    }
    // A client whose process cannot be read (gone, or never there) is answered at once as an
    // ordinary one: its name is read once, never retried until it can be.
    const AudioObjectPropertyAddress transport = global(kAudioDevicePropertyTransportType);
    UInt32 value = 0;
    UInt32 written = 0;
    EXPECT_EQ((*host.driver())
                  ->GetPropertyData(host.driver(), device, 0x7FFFFFF0, &transport, 0, nullptr, sizeof value,
                                    &written, &value),
              0);
    EXPECT_EQ(value, kAudioDeviceTransportTypeUSB);
}

TEST_F(AudioServerDeviceTest, SmallBuffersAndWrongObjects)
{
    platform::log::Capture capture(platform::log::Channel::system);
    for (AudioObjectPropertySelector selector :
         {kAudioObjectPropertyName, kAudioObjectPropertyManufacturer, kAudioDevicePropertyDeviceUID}) {
        EXPECT_EQ(host.get(device, global(selector), nullptr, 0, 4).status, kAudioHardwareBadPropertySizeError);
    }
    EXPECT_EQ(host.get(device, global(kAudioDevicePropertyNominalSampleRate), nullptr, 0, 7).status,
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(host.get(inputStream(), global(kAudioStreamPropertyPhysicalFormat), nullptr, 0, 39).status,
              kAudioHardwareBadPropertySizeError);
    platform::log::flush();
    EXPECT_TRUE(capture.contains("QzASPlugInDevice::Device_GetPropertyData: not enough space for the return value of "
                                 "kAudioDevicePropertyDeviceUID for the device"));
    EXPECT_TRUE(capture.contains("QzASPlugInDevice::Stream_GetPropertyData: not enough space for the return value of "
                                 "kAudioStreamPropertyPhysicalFormat for the stream"));
    // An identifier the map does not hold, and a property the object does not have.
    EXPECT_EQ(host.get(9999, global(kAudioObjectPropertyClass)).status, kAudioHardwareBadObjectError);
    EXPECT_EQ(host.get(inputStream(), global(kAudioDevicePropertyNominalSampleRate)).status,
              kAudioHardwareUnknownPropertyError);
    // A clock-source name wants a translation with a source to name.
    AudioValueTranslation translation{nullptr, 0, nullptr, 0};
    UInt32 written = 0;
    const AudioObjectPropertyAddress name = global(kAudioDevicePropertyClockSourceNameForID);
    EXPECT_EQ((*host.driver())->GetPropertyData(host.driver(), device, getpid(), &name, 0, nullptr, sizeof translation,
                                                &written, &translation),
              kAudioHardwareBadPropertySizeError);
}

TEST_F(AudioServerDeviceTest, SettablePropertiesAndTheirChanges)
{
    // A rate not listed, a rate of the wrong size, and the current rate.
    const Float64 odd = 44100.5;
    EXPECT_EQ(host.set(device, global(kAudioDevicePropertyNominalSampleRate), &odd, 8),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(host.set(device, global(kAudioDevicePropertyNominalSampleRate), &odd, 4),
              kAudioHardwareBadPropertySizeError);
    const Float64 current = 44100.0;
    EXPECT_EQ(host.set(device, global(kAudioDevicePropertyNominalSampleRate), &current, 8), 0);
    host.settle();
    EXPECT_TRUE(host.configurationChanges().empty());

    // A new rate is a configuration change the host performs; the device then runs at it.
    const Float64 rate = 48000.0;
    EXPECT_EQ(host.set(device, global(kAudioDevicePropertyNominalSampleRate), &rate, 8), 0);
    ASSERT_TRUE(waitForConfigurationChange(1));
    const auto change = host.configurationChanges().at(0);
    EXPECT_EQ(change.device, device);
    EXPECT_EQ(change.action, 1U);
    EXPECT_EQ(change.performed, 0);
    EXPECT_EQ(as<Float64>(host.get(device, global(kAudioDevicePropertyNominalSampleRate))), 48000.0);
    // The change was announced: the device's rate and the streams' formats, each read again.
    ASSERT_TRUE(host.waitFor(
        [&](const auto& changes, const auto&) {
            bool rateSeen = false;
            bool streamFormat = false;
            for (const auto& announced : changes) {
                rateSeen = rateSeen || (announced.object == device &&
                                announced.address.mSelector == kAudioDevicePropertyNominalSampleRate);
                streamFormat = streamFormat || (announced.object == inputStream() &&
                                                announced.address.mSelector == kAudioStreamPropertyPhysicalFormat);
            }
            return rateSeen && streamFormat;
        },
        30.0));
    for (const auto& announced : host.changes()) {
        EXPECT_EQ(announced.reread, 0) << audiod::fourCC(announced.address.mSelector);
    }
    EXPECT_EQ(as<AudioStreamBasicDescription>(host.get(inputStream(), global(kAudioStreamPropertyPhysicalFormat)))
                  .mSampleRate,
              48000.0);

    // A stream's active flag: the input one alone.
    const UInt32 off = 0;
    EXPECT_EQ(host.set(inputStream(), global(kAudioStreamPropertyIsActive), &off, 3),
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(host.set(inputStream(), global(kAudioStreamPropertyIsActive), &off, 4), 0);
    EXPECT_EQ(as<UInt32>(host.get(inputStream(), global(kAudioStreamPropertyIsActive))), 0U);
    EXPECT_EQ(as<UInt32>(host.get(outputStream(), global(kAudioStreamPropertyIsActive))), 1U);

    // Formats: the size, the format ID, then a format the host performs.
    AudioStreamBasicDescription format =
        as<AudioStreamBasicDescription>(host.get(outputStream(), global(kAudioStreamPropertyPhysicalFormat)));
    EXPECT_EQ(host.set(outputStream(), global(kAudioStreamPropertyPhysicalFormat), &format, 39),
              kAudioHardwareBadPropertySizeError);
    AudioStreamBasicDescription ac3 = format;
    ac3.mFormatID = kAudioFormat60958AC3;
    EXPECT_EQ(host.set(outputStream(), global(kAudioStreamPropertyPhysicalFormat), &ac3, 40),
              kAudioDeviceUnsupportedFormatError);
    format.mSampleRate = 96000.0;
    EXPECT_EQ(host.set(outputStream(), global(kAudioStreamPropertyPhysicalFormat), &format, 40), 0);
    ASSERT_TRUE(waitForConfigurationChange(2));
    EXPECT_EQ(host.configurationChanges().at(1).action, 3U);
    EXPECT_EQ(as<Float64>(host.get(device, global(kAudioDevicePropertyNominalSampleRate))), 96000.0);

    // A data source: the current item asks for nothing; items outside 1..count are refused.
    for (UInt32 item : {0U, 2U}) {
        EXPECT_EQ(host.set(outputDataSource(), global(kAudioSelectorControlPropertyCurrentItem), &item, 4),
                  kAudioHardwareBadPropertySizeError)
            << item;
    }
    const UInt32 first = 1;
    EXPECT_EQ(host.set(outputDataSource(), global(kAudioSelectorControlPropertyCurrentItem), &first, 4), 0);

    // Read-only and unknown properties.
    EXPECT_EQ(host.set(device, global(kAudioDevicePropertyZeroTimeStampPeriod), &off, 4),
              kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ(host.set(inputStream(), global(kAudioStreamPropertyDirection), &off, 4),
              kAudioHardwareUnsupportedOperationError);
    host.settle();
    EXPECT_EQ(host.configurationChanges().size(), 2U);
}

TEST_F(AudioServerDeviceTest, ClockSourceWriteAsksForAChangeEvenForTheCurrentSource)
{
    const UInt32 source = 0;
    EXPECT_EQ(host.set(device, global(kAudioDevicePropertyClockSource), &source, 2), kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(host.set(device, global(kAudioDevicePropertyClockSource), nullptr, 4), kIOReturnInternalErrorStatus);
    EXPECT_EQ(host.set(device, global(kAudioDevicePropertyClockSource), &source, 4), 0);
    ASSERT_TRUE(waitForConfigurationChange(1));
    EXPECT_EQ(host.configurationChanges().at(0).action, 9U);
}

TEST_F(AudioServerDeviceTest, CustomWritesCheckTheirValueFirst)
{
    const AudioObjectPropertyAddress footSwitch = global(audioFourCC("QzFM"));
    CFNumberRef one = nullptr;
    const SInt32 value = 1;
    one = CFNumberCreate(nullptr, kCFNumberSInt32Type, &value);
    EXPECT_EQ(host.set(device, footSwitch, &one, 4), kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(host.set(device, footSwitch, nullptr, 8), kIOReturnInternalErrorStatus);
    CFStringRef wrongKind = CFSTR("1");
    EXPECT_EQ(host.set(device, footSwitch, &wrongKind, 8), kAudioDeviceUnsupportedFormatError);
    CFTypeRef none = nullptr;
    EXPECT_EQ(host.set(device, footSwitch, &none, 8), kAudioDeviceUnsupportedFormatError);
    // A feature the device layer does not reach says so.
    EXPECT_EQ(host.set(device, footSwitch, &one, 8), kAudioHardwareUnsupportedOperationError);
    // The mixer buffer is taken and changes nothing.
    const UInt8 bytes[4] = {1, 2, 3, 4};
    CFDataRef data = CFDataCreate(nullptr, bytes, 4);
    EXPECT_EQ(host.set(device, global(audioFourCC("QzMB")), &data, 8), 0);
    CFRelease(data);

    // A forced latency replaces the computed one until it is removed with -1.
    const UInt32 computed = as<UInt32>(host.get(device, scoped(kAudioDevicePropertyLatency, true)));
    const SInt32 forced = 500;
    CFNumberRef number = CFNumberCreate(nullptr, kCFNumberSInt32Type, &forced);
    EXPECT_EQ(host.set(device, global(audioFourCC("DbLI")), &number, 8), 0);
    EXPECT_EQ(as<UInt32>(host.get(device, scoped(kAudioDevicePropertyLatency, true))), 500U);
    CFRelease(number);
    const SInt32 removed = -1;
    number = CFNumberCreate(nullptr, kCFNumberSInt32Type, &removed);
    EXPECT_EQ(host.set(device, global(audioFourCC("DbLI")), &number, 8), 0);
    EXPECT_EQ(as<UInt32>(host.get(device, scoped(kAudioDevicePropertyLatency, true))), computed);
    CFRelease(number);
    CFRelease(one);
}

// 0DBA:3000 has two clock sources, named by the device.
class TwoClockSources : public AudioServerDeviceTest
{
    std::vector<std::string> models() const override { return {"MBox2"}; }
};

TEST_F(TwoClockSources, SourcesAndTheirNames)
{
    uint32_t size = 0;
    EXPECT_EQ(host.size(device, global(kAudioDevicePropertyClockSources), size), 0);
    EXPECT_EQ(size, 8U);
    const PropertyValue sources = host.get(device, global(kAudioDevicePropertyClockSources), nullptr, 0, 12);
    ASSERT_EQ(sources.bytes.size(), 8U);
    EXPECT_EQ(as<UInt32>(sources, 1), 1U);
    UInt32 source = 1;
    char name[4] = {'x', 'x', 'x', 'x'};
    AudioValueTranslation translation{&source, sizeof source, name, sizeof name};
    UInt32 written = 0;
    const AudioObjectPropertyAddress address = global(kAudioDevicePropertyClockSourceNameForID);
    ASSERT_EQ((*host.driver())->GetPropertyData(host.driver(), device, getpid(), &address, 0, nullptr,
                                                sizeof translation, &written, &translation),
              0);
    EXPECT_EQ(written, 32U);
    EXPECT_EQ(std::string(name), "S/P");
    source = 0;
    char full[32] = {};
    translation = {&source, sizeof source, full, sizeof full};
    ASSERT_EQ((*host.driver())->GetPropertyData(host.driver(), device, getpid(), &address, 0, nullptr,
                                                sizeof translation, &written, &translation),
              0);
    EXPECT_EQ(std::string(full), "Internal");
}

// On 0644:8041 a format write is taken and asks for nothing.
class FormatWritesIgnored : public AudioServerDeviceTest
{
    std::vector<std::string> models() const override { return {"US-366"}; }
};

TEST_F(FormatWritesIgnored, ValidFormatRequestsNothing)
{
    AudioStreamBasicDescription format =
        as<AudioStreamBasicDescription>(host.get(outputStream(), global(kAudioStreamPropertyPhysicalFormat)));
    format.mSampleRate = 48000.0;
    EXPECT_EQ(host.set(outputStream(), global(kAudioStreamPropertyPhysicalFormat), &format, 40), 0);
    host.settle();
    EXPECT_TRUE(host.configurationChanges().empty());
}

// An Elektron Overbridge device's physical format is not settable.
class Overbridge : public AudioServerDeviceTest
{
    std::vector<std::string> models() const override { return {"1935:0006"}; }
};

TEST_F(Overbridge, PhysicalFormatIsNotSettable)
{
    bool isSettable = true;
    EXPECT_EQ(host.settable(outputStream(), global(kAudioStreamPropertyPhysicalFormat), isSettable), 0);
    EXPECT_FALSE(isSettable);
    EXPECT_EQ(host.settable(outputStream(), global(kAudioStreamPropertyVirtualFormat), isSettable), 0);
    EXPECT_TRUE(isSettable);
}

// The six-channel output of 0A4A:C150 as its streams report it.
class SixChannels : public AudioServerDeviceTest
{
    std::vector<std::string> models() const override { return {"Crimson-SPL"}; }
};

TEST_F(SixChannels, OutputStreamFormat)
{
    const auto format =
        as<AudioStreamBasicDescription>(host.get(outputStream(), global(kAudioStreamPropertyPhysicalFormat)));
    EXPECT_EQ(format.mChannelsPerFrame, 6U);
    EXPECT_EQ(format.mFormatID, kAudioFormatLinearPCM);
}

// The device's name and its clock sources, for the models that have their own.
struct ModelNameCase
{
    const char* model;
    const char* name;
    uint32_t clockSources;
};

void PrintTo(const ModelNameCase& c, std::ostream* os)
{
    *os << c.model;
}

class ModelNames : public AudioServerDeviceTest, public testing::WithParamInterface<ModelNameCase>
{
    std::vector<std::string> models() const override { return {GetParam().model}; }
};

TEST_P(ModelNames, NameAndClockSources)
{
    EXPECT_EQ(ownedText(host.get(device, global(kAudioObjectPropertyName))), GetParam().name);
    uint32_t size = 0;
    EXPECT_EQ(host.size(device, global(kAudioDevicePropertyClockSources), size), 0);
    EXPECT_EQ(size, 4 * GetParam().clockSources);
}

INSTANTIATE_TEST_SUITE_P(Models, ModelNames,
                         testing::Values(ModelNameCase{"Kelvra-UC3", "Kelvra UC3 (Core Audio)", 1},
                                         ModelNameCase{"077D:0420", "Mixer Deck_CoreAudio", 1},
                                         ModelNameCase{"MBox", "MBox (Core Audio)", 1},
                                         ModelNameCase{"MBox2", "MBox2 (Core Audio)", 2}),
                         [](const testing::TestParamInfo<ModelNameCase>& param) {
                             std::string name;
                             for (const char* c = param.param.model; *c != '\0'; ++c) {
                                 name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             }
                             return name;
                         });

} // namespace
