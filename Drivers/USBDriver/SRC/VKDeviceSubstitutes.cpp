// Substitute descriptors for devices that do not describe their streams as the audio class does.
// Most models are rows of steps (which interface and alternate, which format); the Elektron and
// Tessaly layouts and the feature-record devices are built by code below the table.
#include "VKDeviceSubstitutes.h"

#include "VKDevice.h"
#include "VKIOTrace.h"
#include "VKUSBDescriptors.h"

#include <DeviceIdentification.h>
#include <DeviceModels.h>
#include <TableKeys.h>

#include <IOKit/IOLib.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <span>

namespace {

using namespace USB;

constexpr uint16_t kRates441And48 = kRate44100 | kRate48000;
constexpr uint16_t kRates882And96 = kRate88200 | kRate96000;
constexpr uint16_t kRates882To192 = kRate88200 | kRate96000 | kRate176400 | kRate192000;
constexpr uint16_t kRates441To96 = kRates441And48 | kRates882And96;
constexpr uint16_t kRates441To192 = kRates441And48 | kRates882To192;

// 2 channels, 3-byte subframes, 24 bits, 44100 and 48000 Hz: the format the Digidesign and 1604
// devices stream without saying so.
constexpr uint8_t kFixedFormat[] = {0x0E, 0x24, 0x02, 0x01, 0x02, 0x03, 0x18,
                                    0x02, 0x44, 0xAC, 0x00, 0x80, 0xBB, 0x00};

constexpr uint8_t kNone = 0xFF;

struct Step
{
    enum Kind : uint8_t
    {
        clearAlternate,     // the alternate must not be used
        streamingInterface, // the interface (its alternate 0) reads as audio streaming
        format,             // the alternate streams, with format record `record` as given
        fixedFormat,        // format record 0 of the alternate is kFixedFormat
    };
    Kind kind;
    uint8_t interface;
    uint8_t alternate;
    uint8_t record;
    uint8_t channelsFullSpeed;
    uint8_t channelsHighSpeed;
    uint8_t bits;
    uint16_t rates;          // at any speed
    uint16_t ratesHighSpeed; // appended at USB 2 only
    bool highSpeedOnly;      // the whole step
    bool makeStreaming;      // fixedFormat: mark the alternate audio streaming too
    const char* log;         // logged when the step runs
    const char* missingLog;  // logged when its alternate does not exist
};

constexpr Step clearAlt(uint8_t interface, uint8_t alternate, const char* missingLog = nullptr)
{
    return {Step::clearAlternate, interface, alternate, 0, 0, 0, 0, 0, 0, false, false, nullptr, missingLog};
}
constexpr Step streaming(uint8_t interface)
{
    return {Step::streamingInterface, interface, 0, 0, 0, 0, 0, 0, 0, false, false, nullptr, nullptr};
}
constexpr Step formatAt(uint8_t interface, uint8_t alternate, uint8_t channelsFS, uint8_t channelsHS,
                        uint8_t bits, uint16_t rates, uint16_t ratesHS, const char* log = nullptr)
{
    return {Step::format, interface, alternate, 0,     channelsFS, channelsHS, bits,
            rates,        ratesHS,   false,     false, log,        nullptr};
}
constexpr Step secondFormatAtHighSpeed(uint8_t interface, uint8_t alternate, uint8_t channels, uint8_t bits,
                                       uint16_t rates)
{
    return {Step::format, interface, alternate, 1,     channels, channels, bits,
            rates,        0,         true,      false, nullptr,  nullptr};
}
constexpr Step fixedAt(uint8_t interface, uint8_t alternate, bool makeStreaming = false)
{
    return {Step::fixedFormat, interface, alternate, 0, 0, 0, 0, 0, 0, false,
            makeStreaming,     nullptr,   nullptr};
}

struct SubstituteRow
{
    DeviceModel model;
    uint16_t release;
    bool highSpeedOnly;
    const char* log;
    bool needsControl;         // the configuration must have an audio-control interface
    uint8_t requiredInterface; // this interface must exist (kNone: no condition)
    std::span<const Step> steps;
};

constexpr Step kCrimsonSteps[] = {
    clearAlt(1, 1),
    formatAt(1, 2, 2, 6, 24, kRates441And48, kRates882And96),
    secondFormatAtHighSpeed(1, 2, 4, 24, kRate176400 | kRate192000),
    clearAlt(2, 1, "interface 2/1 not found"),
    formatAt(2, 2, 2, 6, 24, kRates441And48, kRates882To192),
};
// Both streams on interfaces 0 and 1, alternate 1.
constexpr Step k0562Steps[] = {
    streaming(0),
    formatAt(0, 1, 2, 4, 24, kRates441And48, kRates882And96),
    streaming(1),
    formatAt(1, 1, 2, 4, 24, kRates441And48, kRates882And96),
};
constexpr Step k0926_0201Steps[] = {
    clearAlt(2, 1),
    clearAlt(1, 1),
    streaming(1),
    formatAt(1, 2, 4, 4, 24, kRate32000 | kRates441To192, 0, "Setting Frequencies..\n"),
};
constexpr Step kTwoChannelHighSpeedSteps[] = {
    clearAlt(2, 1),
    clearAlt(1, 1),
    streaming(1),
    formatAt(1, 2, 2, 2, 24, kRates441To192, 0, "Setting Frequencies..\n"),
};
// Out on interface 1, in on interface 2, alternate 2 each, 2 channels up to 192 kHz at USB 2.
constexpr Step kPairTo192Steps[] = {
    clearAlt(1, 1),
    formatAt(1, 2, 2, 2, 24, kRates441And48, kRates882To192),
    clearAlt(2, 1),
    formatAt(2, 2, 2, 2, 24, kRates441And48, kRates882To192),
};
// The same up to 96 kHz.
constexpr Step kPairTo96Steps[] = {
    clearAlt(1, 1),
    formatAt(1, 2, 2, 2, 24, kRates441And48, kRates882And96),
    clearAlt(2, 1),
    formatAt(2, 2, 2, 2, 24, kRates441And48, kRates882And96),
};
constexpr Step kXmosSteps[] = {
    streaming(1),
    formatAt(1, 1, 2, 2, 32, kRates441To192, 0, "INIT XMOS OUT\n"),
    streaming(2),
    formatAt(2, 1, 2, 2, 32, kRates441To192, 0, "INIT XMOS IN\n"),
};
constexpr Step kPellirunSteps[] = {
    clearAlt(1, 1),
    formatAt(1, 2, 2, 16, 24, kRates441And48, 0),
    clearAlt(2, 1),
    formatAt(2, 2, 2, 24, 24, kRates441And48, 0),
};
constexpr Step kMBoxSteps[] = {fixedAt(1, 1)};
constexpr Step kMBox2Steps[] = {
    fixedAt(2, 3), fixedAt(2, 2), fixedAt(3, 6), fixedAt(3, 3), fixedAt(3, 2),
    fixedAt(4, 3), fixedAt(4, 2), fixedAt(5, 3), fixedAt(5, 2),
};
constexpr Step kPlay1624Steps[] = {
    streaming(1),
    formatAt(1, 1, 2, 2, 16, kRates441To96, 0, "INIT PROD_RELOOP_PLAY_1624 16 HP OUT\n"),
    formatAt(1, 2, 2, 2, 24, kRates441To96, 0, "INIT PROD_RELOOP_PLAY_1624 24 HP OUT\n"),
    streaming(2),
    formatAt(2, 1, 2, 2, 16, kRates441To96, 0, "INIT PROD_RELOOP_PLAY_1624 16 Speaker OUT\n"),
    formatAt(2, 2, 2, 2, 24, kRates441To96, 0, "INIT PROD_RELOOP_PLAY_1624 24 Speaker OUT\n"),
};
// The first interface (relabelled audio streaming by the raw patch) streams on alternate 2.
constexpr Step k1604Steps[] = {streaming(0), clearAlt(0, 1), fixedAt(0, 2, true)};

// Devices without a feature record, first match wins. Crimson comes before the listed-device
// branch in the order of rules, so it is matched separately (kCrimson).
constexpr SubstituteRow kCrimson{kModelCrimsonSPL, kAnyRelease, false, "PROD_CRIMSON_SPL\n", false, kNone,
                                 kCrimsonSteps};
constexpr SubstituteRow kUnlistedRows[] = {
    {kModel0562_03EB, kAnyRelease, false, nullptr, false, kNone, k0562Steps},
    {kModel0926_0201, kAnyRelease, true, nullptr, false, kNone, k0926_0201Steps},
    {kModelKelvraUC3, 0x0100, true, nullptr, false, kNone, kTwoChannelHighSpeedSteps},
    {kModel0A4A_F1A0, kAnyRelease, true, nullptr, false, kNone, kTwoChannelHighSpeedSteps},
    {kModelKelvraUC3, 0x0200, false, "KELVRA - UC3\n", false, kNone, kPairTo192Steps},
    {kModelFendrimo, kAnyRelease, false, "PROD_QUENZAR_FENDRIMO", false, kNone, kPairTo192Steps},
    {kModelXMOS, kAnyRelease, true, nullptr, false, kNone, kXmosSteps},
    {kModelPellirun, kAnyRelease, false, "PROD_QUENZAR_PELLIRUN", false, kNone, kPellirunSteps},
    {kModelUS366, kAnyRelease, false, "PROD_TEAC_US366", false, kNone, kPairTo192Steps},
    {kModelUH7000, kAnyRelease, false, "PROD_TEAC_UH7000", false, kNone, kPairTo192Steps},
    {kModelUS322, kAnyRelease, false, "PROD_TEAC_US322", false, kNone, kPairTo96Steps},
    {kModelUS1200, kAnyRelease, false, "PROD_TEAC_US1200", false, kNone, kPairTo96Steps},
    {kModelMBox, kAnyRelease, false, nullptr, true, 1, kMBoxSteps},
    {kModelMBox2, kAnyRelease, false, nullptr, false, 1, kMBox2Steps},
    {kModelPlay1624, kAnyRelease, false, nullptr, false, kNone, kPlay1624Steps},
    {kModel1604_8006, kAnyRelease, false, nullptr, true, 0, k1604Steps},
};
static_assert(modelsRegistered(kUnlistedRows));
static_assert(tableKeysUnique(kUnlistedRows, [](const SubstituteRow& row) {
    return (uint64_t{row.model.key()} << 16) | row.release;
}));

// Elektron: the same alternates on the input (0) and the output (1) interface, 48 kHz only,
// selected by (channels, bits) when the device is configured.
struct ElektronAlternate
{
    uint8_t alternate;
    int channels;
    int bits;
    int channels2; // -1: no second format record
    int bits2;
};
constexpr ElektronAlternate kElektronAlternates[] = {
    {1, 0, 16, -1, -1}, {2, 2, 16, -1, -1}, {3, 2, 24, -1, -1}, {4, 4, 16, -1, -1},
    {5, 4, 24, 6, 16},  {6, 8, 16, -1, -1}, {7, 6, 24, -1, -1},
};

// Tessaly: one rate per alternate, 3 to 8, on interfaces 2 (in) and 1 (out).
constexpr uint16_t kTessalyRates[] = {kRate44100, kRate48000,  kRate88200,
                                      kRate96000, kRate176400, kRate192000};
constexpr uint8_t kTessalyFirstAlternate = 3;

// Texts given with their own line end are logged as they stand, the others as one "USB:" line.
void logText(const char* text)
{
    const size_t length = std::strlen(text);
    if (length > 0 && text[length - 1] == '\n') {
        IOLog("%s", text);
    } else {
        IOLog("USB: %s\n", text);
    }
}

VKInterfaceDescriptorSpecificAS* formatRecord(VKInterfaceDescriptor* alternate, uint8_t record)
{
    VKInterfaceDescriptorSpecificAS* as = alternate->getOrCreateAS(record);
    if (as == nullptr && record > 0) {
        // Only record 0 is created by getOrCreateAS; a second record is appended. An alternate that
        // has neither gets record 0 first, so the appended one lands at index 1.
        if (alternate->getOrCreateAS(0) == nullptr) {
            return nullptr;
        }
        as = alternate->getOrCreateAS(record);
        if (as == nullptr) {
            as = alternate->createAS();
        }
    }
    return as;
}

bool setFormat(VKInterfaceDescriptor* alternate, uint8_t record, int channels, int bits, uint16_t rates,
               uint16_t ratesHighSpeed, bool isUSB2)
{
    VKInterfaceDescriptorSpecificAS* as = formatRecord(alternate, record);
    if (as == nullptr) {
        return false;
    }
    as->genInit(channels, bits);
    as->genAddSRBitmap(rates);
    if (isUSB2 && ratesHighSpeed != 0) {
        as->genAddSRBitmap(ratesHighSpeed);
    }
    return true;
}

bool setFixedFormat(VKInterfaceDescriptor* alternate)
{
    VKInterfaceDescriptorSpecificAS* as = alternate->getOrCreateAS(0);
    if (as == nullptr) {
        return false;
    }
    uint8_t bytes[sizeof(kFixedFormat)];
    std::copy(std::begin(kFixedFormat), std::end(kFixedFormat), bytes);
    USBByteBuffer buffer(bytes, sizeof(bytes));
    return as->scan(buffer);
}

void runStep(const Step& step, VKConfigurationDescriptor* configuration, bool isUSB2)
{
    if (step.highSpeedOnly && !isUSB2) {
        return;
    }
    VKInterfaceDescriptor* interface = configuration->getInterface(step.interface);
    if (interface == nullptr) {
        return;
    }
    if (step.kind == Step::streamingInterface) {
        interface->makeAudioStreaming();
        return;
    }
    VKInterfaceDescriptor* alternate = interface->getAlternateSetting(step.alternate);
    if (alternate == nullptr) {
        if (step.missingLog != nullptr) {
            IOLog("USB: %s\n", step.missingLog);
        }
        return;
    }
    switch (step.kind) {
    case Step::clearAlternate:
        alternate->clear();
        break;
    case Step::format:
        if (step.log != nullptr) {
            logText(step.log);
        }
        alternate->makeAudioStreaming();
        setFormat(alternate, step.record, isUSB2 ? step.channelsHighSpeed : step.channelsFullSpeed, step.bits,
                  step.rates, step.ratesHighSpeed, isUSB2);
        break;
    case Step::fixedFormat:
        VKIOTrace("..found alternate", step.alternate);
        if (step.makeStreaming) {
            alternate->makeAudioStreaming();
        }
        setFixedFormat(alternate);
        break;
    case Step::streamingInterface:
        break;
    }
}

void runRow(const SubstituteRow& row, VKConfigurationDescriptor* configuration, bool isUSB2)
{
    if (row.log != nullptr) {
        logText(row.log);
    }
    if (row.needsControl && configuration->findAudioControlInterface() == nullptr) {
        return;
    }
    if (row.requiredInterface != kNone && configuration->getInterface(row.requiredInterface) == nullptr) {
        return;
    }
    for (const Step& step : row.steps) {
        runStep(step, configuration, isUSB2);
    }
}

const SubstituteRow* unlistedRow(const VIDPID& device, bool isUSB2)
{
    for (const SubstituteRow& row : kUnlistedRows) {
        if (device.isDevice(row.model.vendor, row.model.product, row.release) &&
            (isUSB2 || !row.highSpeedOnly)) {
            return &row;
        }
    }
    return nullptr;
}

void buildElektron(VKConfigurationDescriptor* configuration)
{
    for (uint8_t number = 0; number < 2; ++number) {
        VKInterfaceDescriptor* interface = configuration->getInterface(number);
        if (interface == nullptr) {
            continue;
        }
        VKIOTrace(number == 0 ? "make audio streaming interface #0" : "make audio streaming interface #1",
                  number);
        interface->makeAudioStreaming();
        for (const ElektronAlternate& alternate : kElektronAlternates) {
            addSingleAlternate(interface, alternate.alternate, alternate.channels, alternate.bits, kRate48000,
                               alternate.channels2, alternate.bits2,
                               alternate.channels2 < 0 ? -1 : kRate48000);
        }
    }
}

void buildTessaly(VKConfigurationDescriptor* configuration)
{
    constexpr uint8_t kIn = 2;
    constexpr uint8_t kOut = 1;
    for (uint8_t number : {kIn, kOut}) {
        VKInterfaceDescriptor* interface = configuration->getInterface(number);
        if (interface == nullptr) {
            continue;
        }
        IOLog(number == kIn ? "..found in interface %d\n" : "..found out interface %d\n", number);
        interface->makeAudioStreaming();
        for (size_t i = 0; i < std::size(kTessalyRates); ++i) {
            addSingleAlternate(interface, int(kTessalyFirstAlternate + i), 2, 32, kTessalyRates[i], -1, -1,
                               -1);
        }
    }
}

// One direction of a listed device: the interface and alternate its feature record names take the
// record's format for the bus speed.
void buildListedDirection(VKConfigurationDescriptor* configuration, const APISpecificFeatures& features,
                          APISpecificFeatures::Direction direction, bool isUSB2)
{
    const bool out = direction == APISpecificFeatures::kOutput;
    const uint8_t number = out ? features.mOutInterface : features.mInInterface;
    const uint8_t alternateNumber = out ? features.mOutAlternate : features.mInAlternate;
    VKInterfaceDescriptor* interface = configuration->getInterface(number);
    IOLog(out ? "buildDummyDescriptor Out %d/%p\n" : "buildDummyDescriptor In %d/%p\n", number,
          static_cast<void*>(interface));
    if (interface == nullptr) {
        return;
    }
    interface->makeAudioStreaming();
    if (alternateNumber > 1) {
        if (VKInterfaceDescriptor* first = interface->getAlternateSetting(1)) {
            first->clear();
        }
    }
    VKInterfaceDescriptor* alternate = interface->getAlternateSetting(alternateNumber);
    IOLog(out ? "buildDummyDescriptor OutAlt %d/%p\n" : "buildDummyDescriptor InAlt %d/%p\n", alternateNumber,
          static_cast<void*>(alternate));
    if (alternate == nullptr) {
        return;
    }
    const auto speed = isUSB2 ? APISpecificFeatures::kHighSpeed : APISpecificFeatures::kFullSpeed;
    const APIStreamingInfo& block = features.mFormats[speed][direction];
    const uint8_t bits = features.mFormats[speed][APISpecificFeatures::kInput].bBitResolution;
    alternate->makeAudioStreaming();
    VKInterfaceDescriptorSpecificAS* as = alternate->getOrCreateAS(0);
    if (as == nullptr) {
        return;
    }
    as->genInit(block.bNrChannels, bits);
    // The count is the record's own byte; its rate array holds 16.
    const unsigned count = std::min<unsigned>(block.mNumFrequencies, APIStreamingInfo::kMaxFrequencies);
    if (isUSB2) {
        IOLog(out ? "Out frequencies:%d\n" : "In frequencies:%d\n", int(count));
    }
    for (unsigned i = 0; i < count; ++i) {
        const uint32_t rate = block.mFrequencies[i];
        if (isUSB2) {
            IOLog("Found frequency %d\n", int(rate));
        }
        as->genAddSR(rate);
    }
}

void buildListed(VKConfigurationDescriptor* configuration, const APISpecificFeatures& features, bool isUSB2)
{
    const auto& highSpeed = features.mFormats[APISpecificFeatures::kHighSpeed];
    IOLog("buildDummyDescriptor Out %d/%d(%d), In %d/%d(%d)\n", features.mOutInterface,
          features.mOutAlternate, highSpeed[APISpecificFeatures::kOutput].bNrChannels, features.mInInterface,
          features.mInAlternate, highSpeed[APISpecificFeatures::kInput].bNrChannels);
    if (features.hasFlag(APISpecificFeatures::kBulkDevice) ||
        features.hasFlag(APISpecificFeatures::kBulkInIsocOutDevice) ||
        features.hasFlag(APISpecificFeatures::kMorvaneCompatible)) {
        buildListedDirection(configuration, features, APISpecificFeatures::kOutput, isUSB2);
        buildListedDirection(configuration, features, APISpecificFeatures::kInput, isUSB2);
        return;
    }
    VKInterfaceDescriptor* interface = configuration->getInterface(features.mInInterface);
    VKInterfaceDescriptor* alternate =
        interface != nullptr ? interface->getAlternateSetting(features.mInAlternate) : nullptr;
    if (alternate != nullptr) {
        setFormat(alternate, 0, 2, 24, kRates441And48, kRates882And96, isUSB2);
    }
}

} // namespace

namespace USB {

bool isElektron(uint16_t vendor, uint16_t product)
{
    return vkdevice::modelProfileOf(vendor, product, kAnyRelease).has(vkdevice::kTraitElektron);
}

bool addSingleAlternate(VKInterfaceDescriptor* interface, int alternateNumber, int channels, int bits,
                        int rateBitmap, int channels2, int bits2, int rateBitmap2)
{
    if (interface == nullptr || alternateNumber < 0 || alternateNumber > 0xFF) {
        return false;
    }
    VKInterfaceDescriptor* alternate = interface->getAlternateSetting(uint8_t(alternateNumber));
    VKIOTrace("getAlternateSetting", alternate != nullptr ? alternateNumber : -1);
    if (alternate == nullptr) {
        return false;
    }
    alternate->makeAudioStreaming();
    if (!setFormat(alternate, 0, channels, bits, uint16_t(rateBitmap), 0, false)) {
        return false;
    }
    if (channels2 != -1 && bits2 != -1 && rateBitmap2 != -1) {
        return setFormat(alternate, 1, channels2, bits2, uint16_t(rateBitmap2), 0, false);
    }
    return true;
}

void buildDummyDescriptor(const VIDPID& device, VKSimpleArray& configurations, bool isUSB2,
                          DeviceSpecificData& specific)
{
    VKIOTrace trace("USB::buildDummyDescriptor", 0);
    if (!isUSB2) {
        specific.mInputs = std::min<uint32_t>(specific.mInputs, 2);
        specific.mOutputs = std::min<uint32_t>(specific.mOutputs, 2);
    }
    auto* configuration = static_cast<VKConfigurationDescriptor*>(configurations.atPos(0));
    if (configuration == nullptr) {
        return;
    }
    const APISpecificFeatures* features = device.mFeatures;
    if (device.isDevice(kCrimson.model.vendor, kCrimson.model.product, kCrimson.release)) {
        runRow(kCrimson, configuration, isUSB2);
    } else if (isElektron(device.mVendor, device.mProduct)) {
        buildElektron(configuration);
    } else if (device.isDevice(kModelTessaly.vendor, kModelTessaly.product, kAnyRelease)) {
        buildTessaly(configuration);
    } else if (features != nullptr && features->isValid()) {
        buildListed(configuration, *features, isUSB2);
    } else {
        IOLog("USB: %s %d %d\n", "READ IN/OUT", int(specific.mInputs), int(specific.mOutputs));
        if (device.isDevice(kModelUS322.vendor, kModelUS322.product, kAnyRelease)) {
            IOLog(" US322, %d Inputs, %d Outputs\n", int(specific.mInputs), int(specific.mOutputs));
        }
        if (const SubstituteRow* row = unlistedRow(device, isUSB2)) {
            runRow(*row, configuration, isUSB2);
        }
    }
}

} // namespace USB
