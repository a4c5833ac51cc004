// Interface and alternate-setting choice: which interfaces of the current configuration the driver
// uses, and which alternates carry the requested rate, channel counts and resolutions, walking a
// fixed ladder of substitutes when the request cannot be met. The chosen values are written back
// into the channel settings.
//
// Thread safety: runs under the service's dispatch lock (configuration), never on the real-time
// thread.
#include "VKDevice.h"

#include "DriverSM.h"
#include "VKDeviceOwner.h"
#include "VKDeviceSubstitutes.h"
#include "VKIOTrace.h"
#include "VKUSBDescriptors.h"

#include <DeviceIdentification.h>
#include <DeviceModels.h>
#include <ElektronChannelMap.h>
#include <TableKeys.h>

#include <IOKit/IOLib.h>

#include <algorithm>
#include <iterator>
#include <span>

namespace {

using USB::ModelRow;

enum class Speed : uint8_t
{
    any,
    highOnly, // USB 2 only
    fullOnly, // without USB 2 only
};

bool speedFits(Speed speed, bool isUSB2)
{
    return speed == Speed::any || (speed == Speed::highOnly) == isUSB2;
}

constexpr uint64_t rowKey(const DeviceModel& model, uint16_t release, Speed speed)
{
    return (uint64_t{model.key()} << 24) | (uint64_t{release} << 8) | uint64_t(speed);
}

// Request defaults: fixed values, or channel counts that replace only a request of 0.
struct RequestDefault
{
    DeviceModel model;
    uint16_t release;
    Speed speed;
    bool onlyIfZero; // the counts replace only a 0; resolutions stay
    int in;
    int out;
    int bits;
};

constexpr RequestDefault kRequestDefaults[] = {
    {kModel200C_1005, kAnyRelease, Speed::highOnly, true, 4, 4, 0},
    {kModel200C_1006, kAnyRelease, Speed::highOnly, true, 6, 6, 0},
    {kModel200C_1009, kAnyRelease, Speed::highOnly, true, 6, 4, 0},
    {kModel200C_1019, kAnyRelease, Speed::highOnly, true, 6, 4, 0},
    {kModel200C_1037, kAnyRelease, Speed::highOnly, true, 6, 4, 0},
    {kModel200C_100A, kAnyRelease, Speed::highOnly, true, 2, 10, 0},
    {kModel1ACC_0102, kAnyRelease, Speed::highOnly, true, 4, 4, 0},
    {kModel1ACC_0103, kAnyRelease, Speed::highOnly, true, 6, 6, 0},
    {kModel1D03_005C, kAnyRelease, Speed::any, false, 2, 2, 24},
    {kModel0A92_0111, kAnyRelease, Speed::highOnly, true, 16, 8, 0},
    {kModelKelvraUC3, 0x0200, Speed::any, false, 2, 2, 24},
    {kModel0A4A_D064, kAnyRelease, Speed::highOnly, true, 16, 16, 0},
    {kModel0A4A_DA01, kAnyRelease, Speed::highOnly, true, 16, 16, 0},
    {kModelFendrimo, kAnyRelease, Speed::any, false, 2, 2, 24},
    {kModelPellirun, kAnyRelease, Speed::any, false, 24, 16, 24},
    {kModelTessaly, kAnyRelease, Speed::any, false, 2, 2, 32},
    {kModel170B_0020, kAnyRelease, Speed::any, false, 2, 2, 24},
    {kModel170B_0021, kAnyRelease, Speed::any, false, 2, 2, 24},
    {kModel0562_03EB, kAnyRelease, Speed::highOnly, false, 4, 4, 24},
    {kModel0562_03EB, kAnyRelease, Speed::fullOnly, false, 2, 2, 24},
};
static_assert(modelsRegistered(kRequestDefaults));
static_assert(tableKeysUnique(kRequestDefaults, [](const RequestDefault& row) {
    return rowKey(row.model, row.release, row.speed);
}));

// Applied after the defaults that depend on the device's own channel counts.
constexpr ModelRow kTeacPairModels[] = {{kModelUS322}, {kModelUS366}, {kModelUS1200}, {kModelUH7000}};
static_assert(tableKeysUnique(kTeacPairModels, [](const ModelRow& row) { return row.model.key(); }));
static_assert(modelsRegistered(kTeacPairModels));

// One retry when the request found nothing; frequency 0 keeps the requested one.
struct Retry
{
    DeviceModel model;
    uint32_t frequency;
    int in;
    int out;
    int inBits;
    int outBits;
};

constexpr Retry kRetries[] = {
    {kModel0A92_0081, 0, 2, 4, 16, 16},       {kModel0A92_0111, 44100, 16, 8, 24, 24},
    {kModel0A4A_DA01, 44100, 16, 16, 24, 24}, {kModel1D03_005C, 44100, 2, 2, 24, 24},
    {kModel0A4A_D064, 88200, 16, 16, 24, 24}, {kModel200C_100A, 44100, 2, 10, 24, 24},
    {kModel200C_1006, 44100, 6, 6, 24, 24},   {kModel200C_1005, 44100, 4, 4, 24, 24},
    {kModel200C_1009, 44100, 6, 4, 24, 24},   {kModel200C_1019, 44100, 6, 4, 24, 24},
    {kModel200C_1037, 44100, 6, 4, 24, 24},   {kModel1ACC_0102, 44100, 4, 4, 24, 24},
    {kModel1ACC_0103, 44100, 6, 6, 24, 24},   {kModel0A4A_CF00, 44100, 2, 2, 24, 24},
};
static_assert(modelsRegistered(kRetries));
static_assert(tableKeysUnique(kRetries, [](const Retry& row) { return row.model.key(); }));

// Where the channel ladder starts (8 and 8 for every other device).
struct LadderStart
{
    DeviceModel model;
    int in;
    int out;
};

constexpr LadderStart kLadderStarts[] = {
    {kModel0A4A_DA01, 16, 16}, {kModel0A4A_D064, 16, 16}, {kModel0A4A_CF00, 2, 2},  {kModel1D03_005C, 2, 2},
    {kModel1ACC_0102, 4, 4},   {kModel1ACC_0103, 6, 6},   {kModel0A92_0111, 16, 8}, {kModel200C_1005, 4, 4},
    {kModel200C_1006, 6, 6},   {kModel200C_1009, 6, 4},   {kModel200C_1019, 6, 4},  {kModel200C_1037, 6, 4},
    {kModel200C_100A, 2, 10},
};
static_assert(modelsRegistered(kLadderStarts));
static_assert(tableKeysUnique(kLadderStarts, [](const LadderStart& row) { return row.model.key(); }));
constexpr int kLadderDefaultStart = 8;

// Devices that take the sampling frequency on their output endpoint.
constexpr ModelRow kFreqOnOutPipeModels[] = {
    {kModel0499_1004}, {kModel0499_100A}, {kModel0499_100B}, {kModel0582_0019}, {kModel0A92_0051},
    {kModel0A92_0071}, {kModel0A92_0081}, {kModel0A92_0021}, {kModel0A92_0031}, {kModel0A4E_4040},
    {kModelMindprint}, {kModel133E_0815}, {kModel133E_0816}, {kModel041E_3040}, {kModel1654_0104},
    {kModel1235_0001}, {kModel1235_0002}, {kModel0451_3200}, {kModel0D8C_000C}, {kModel145F_0090},
    {kModel1502_2AAE}, {kModelKelvraUC3}, {kModel0A4A_F1A0}, {kModelPellirun},  {kModelFendrimo},
    {kModel200C_1007}, {kModel200C_1008}, {kModel200C_1025}, {kModel200C_1026}, {kModel200C_1027},
    {kModel200C_1024}, {kModel200C_101F}, {kModelUS322},     {kModelUS366},     {kModelUS1200},
    {kModelUH7000}};
static_assert(modelsRegistered(kFreqOnOutPipeModels));
static_assert(tableKeysUnique(kFreqOnOutPipeModels, [](const ModelRow& row) { return row.model.key(); }));

constexpr ModelRow kOmegaModels[] = {{kModel1210_0001}, {kModel1210_0002}};
static_assert(tableKeysUnique(kOmegaModels, [](const ModelRow& row) { return row.model.key(); }));
constexpr ModelRow kMidiOnInterface0Models[] = {{kModel170B_0020}, {kModel170B_0021}, {kModel0562_03EB}};
static_assert(tableKeysUnique(kMidiOnInterface0Models, [](const ModelRow& row) { return row.model.key(); }));
static_assert(modelsRegistered(kOmegaModels) && modelsRegistered(kMidiOnInterface0Models));

// Samples per 1-ms frame that the bandwidth request allows for.
struct Allowance
{
    uint32_t frequency;
    uint32_t samples;
};
constexpr Allowance kAllowances[] = {
    {32000, 34}, {44100, 46},   {48000, 50},   {64000, 66},   {88200, 90},
    {96000, 98}, {128000, 132}, {176400, 180}, {192000, 196},
};

// The Elektron alternates by (channels, bits); 0 channels at any resolution take alternate 1.
struct ElektronChoice
{
    int channels;
    int bits;
    uint8_t alternate;
};
constexpr ElektronChoice kElektronChoices[] = {
    {2, 16, 2}, {2, 24, 3}, {4, 16, 4}, {4, 24, 5}, {6, 16, 5}, {8, 16, 6}, {6, 24, 7},
};

bool isAnyOf(const VKDevice& device, std::span<const ModelRow> models)
{
    return USB::isAnyModel(models, device.vendorID(), device.productID());
}

// The input selection of the shared block's device controls (cIn.iSelector): 2 is the second
// source, the digital input.
constexpr size_t kControlsInSelector = 1100 + 10;
constexpr uint8_t kSelectorDigital = 2;

template <class Row> const Row* rowFor(std::span<const Row> rows, uint16_t vendor, uint16_t product)
{
    for (const Row& row : rows) {
        if (row.model.is(vendor, product)) {
            return &row;
        }
    }
    return nullptr;
}

const char* nameOr(const VKInterfaceDescriptor* interface, const char* found, const char* missing)
{
    return interface != nullptr ? found : missing;
}

} // namespace

uint8_t VKDevice::elektronAlternateFor(int32_t channels, int32_t bits)
{
    if (channels == 0) {
        return 1;
    }
    for (const ElektronChoice& choice : kElektronChoices) {
        if (choice.channels == channels && choice.bits == bits) {
            return choice.alternate;
        }
    }
    return 0;
}

uint32_t VKDevice::nextLadderFrequency(uint32_t frequency, bool can192)
{
    switch (frequency) {
    case 44100:
        return 48000;
    case 48000:
        return 32000;
    case 32000:
        return 88200;
    case 88200:
        return 96000;
    case 96000:
        return can192 ? 176400 : 0;
    case 176400:
        return 192000;
    default:
        return 0;
    }
}

uint32_t VKDevice::bandwidthAllowance(uint32_t frequency)
{
    for (const Allowance& allowance : kAllowances) {
        if (allowance.frequency == frequency) {
            return allowance.samples;
        }
    }
    return 0;
}

bool VKDevice::setFreqOnOutPipe() const
{
    if (mInitSettings.isValid()) {
        return mInitSettings.hasFlag(APISpecificFeatures::kSetFreqOnOutPipe);
    }
    return isAnyOf(*this, kFreqOnOutPipeModels);
}

VKInterfaceDescriptor* VKDevice::findMidiInterfaceIn(VKConfigurationDescriptor* configuration)
{
    const bool listed = mInitSettings.isValid();
    VKInterfaceDescriptor* midi = configuration->findMidiInterface();
    if (midi != nullptr && isAnyOf(*this, kOmegaModels)) {
        const int control = midi->getInterfaceNumber();
        IOLog("USB: %s %d\n", "OMEGA select Midi Interface (Control)", control);
        midi = control > 0 ? configuration->getInterface(uint8_t(control - 1)) : nullptr;
        if (midi != nullptr) {
            IOLog("USB: %s %d\n", "OMEGA select Midi Interface", control - 1);
        }
    }
    if (midi != nullptr) {
        IOLog("USB: %s\n", "Found True MIDI interface");
        return midi;
    }
    midi = configuration->findVendorInterface();
    if (midi != nullptr) {
        IOLog("USB: %s\n", "Found Vendor(MIDI) interface");
        return midi;
    }
    bool tryInterface0 = true;
    if (listed) {
        IOLog("USB: %s %d %d\n", "Set MIDI Interface", mInitSettings.mMidiInterface,
              mInitSettings.mMidiAlternate);
        VKInterfaceDescriptor* interface = configuration->getInterface(mInitSettings.mMidiInterface);
        midi = interface != nullptr ? interface->getAlternateSetting(mInitSettings.mMidiAlternate) : nullptr;
        if (midi != nullptr) {
            IOLog("USB: %s\n", "Found Vendor(MIDI) interface");
            return midi;
        }
        if (isUSB2 && mInitSettings.hasFlag(APISpecificFeatures::kBulkDevice)) {
            VKInterfaceDescriptor* first = configuration->getInterface(0);
            midi = first != nullptr ? first->getAlternateSetting(1) : nullptr;
            tryInterface0 = false;
        }
    }
    if (midi == nullptr && tryInterface0 && isAnyOf(*this, kMidiOnInterface0Models)) {
        VKInterfaceDescriptor* first = configuration->getInterface(0);
        midi = first != nullptr ? first->getAlternateSetting(1) : nullptr;
    }
    if (midi == nullptr) {
        IOLog("USB: %s\n", "NO Vendor(MIDI) interface");
    }
    return midi;
}

void VKDevice::assignStreamingInterfaces(VKConfigurationDescriptor* configuration,
                                         const QzChannelSettings& settings)
{
    auto byNumber = [configuration](uint8_t number) { return configuration->getInterface(number); };
    const bool elektron = isElektron();
    VKInterfaceDescriptor* in = nullptr;
    VKInterfaceDescriptor* out = nullptr;

    if (elektron) {
        mChosen.controlInterface = byNumber(2);
        mChosen.midiInterface = byNumber(3);
    }
    if (isAnyOf(*this, kOmegaModels) && settings.iInChannels == 4) {
        in = byNumber(10);
    }
    if ((mInitSettings.isValid() && isUSB2 && mInitSettings.hasFlag(APISpecificFeatures::kBulkDevice)) ||
        isQuenzarBulkInIsocOutDevice()) {
        IOLog("USB: %s\n", "assign interfaces for Launchpad compatibles");
        out = byNumber(0);
        in = byNumber(1);
    }
    if (elektron) {
        in = byNumber(0);
        out = byNumber(1);
    }
    if (hasTrait(vkdevice::kTraitTessalyInterfaces)) {
        IOLog("USB: %s\n", "assign interfaces for TESSALY");
        mChosen.controlInterface = nullptr;
        in = byNumber(2);
        out = byNumber(1);
    }
    if (hasTrait(vkdevice::kTraitMBox2Interfaces)) {
        IOLog("USB: %s\n", "assign interfaces for MBOX2");
        out = byNumber(2);
        if (controlsSelector(kControlsInSelector) == kSelectorDigital) {
            IOLog("USB: %s\n", "MBOX2: digital in Interface 5 endpoint 6");
            in = byNumber(5);
        } else {
            IOLog("USB: %s\n", "MBOX2: analog in Interface 4 endpoint 5");
            in = byNumber(4);
        }
        mChosen.controlInterface = byNumber(1);
    }
    if (hasTrait(vkdevice::kTraitOutputOnInterface1) && out == nullptr) {
        IOLog("USB: %s\n", "assign out interface for PROD_RELOOP_PLAY_1624");
        out = byNumber(1);
    }
    if (mInitSettings.isValid() && mInitSettings.mFormats[0][0].bBitResolution != 0) {
        if (in == nullptr) {
            in = byNumber(mInitSettings.mInInterface);
            IOLog("USB: %s %d\n", "Setting in interface", mInitSettings.mInInterface);
        }
        if (out == nullptr) {
            out = byNumber(mInitSettings.mOutInterface);
            IOLog("USB: %s %d\n", "Setting out interface", mInitSettings.mOutInterface);
        }
    }
    if (in == nullptr) {
        in = configuration->findAudioStreamingInInterface();
        IOLog("USB: %s\n",
              nameOr(in, "Found Audio Streaming In interface", "NO Audio Streaming In interface"));
    }
    if (out == nullptr) {
        out = configuration->findAudioStreamingOutInterface();
        IOLog("USB: %s\n",
              nameOr(out, "Found Audio Streaming Out interface", "NO Audio Streaming Out interface"));
    }
    mChosen.inInterface = in;
    mChosen.outInterface = out;
}

void VKDevice::initElektronChannelMap(QzChannelSettings& settings)
{
    if (mpDriverSM == nullptr) {
        return;
    }
    QZ_Elektron_ChannelMap* map = &mpDriverSM->mElektronMap;
    if (map->mInputMap[0] == 0) {
        IOLog("USB: %s\n", "Initialize mElektronChannelMap");
        map->setDefaults(vidpid());
        settings.iFrequency = 48000;
        settings.iInChannels = 2;
        settings.iInResolution = 16;
        settings.iOutChannels = 0;
        settings.iOutResolution = 16;
        return;
    }
    for (unsigned i = 0; i < QZ_Elektron_ChannelMap::kNumEntries; ++i) {
        IOLog("USB: %s %d %d\n", "Initialize mElektronChannelMap.mEInputMap", int(i), int(map->mInputMap[i]));
        IOLog("USB: %s %d %d\n", "Initialize mElektronChannelMap.mEOutputMap", int(i),
              int(map->mOutputMap[i]));
    }
    IOLog("USB: %s %d\n", "iFrequency", settings.iFrequency);
    IOLog("USB: %s %d\n", "iInResolution", settings.iInResolution);
    IOLog("USB: %s %d\n", "iOutResolution", settings.iOutResolution);
    IOLog("USB: %s %d\n", "iInChannels", settings.iInChannels);
    IOLog("USB: %s %d\n", "iOutChannels", settings.iOutChannels);
}

void VKDevice::applyRequestDefaults(QzChannelSettings& settings)
{
    const bool usb2 = isUSB2 != 0;
    auto setPair = [&settings](int in, int out, int bits) {
        settings.iInChannels = in;
        settings.iOutChannels = out;
        settings.iInResolution = bits;
        settings.iOutResolution = bits;
    };
    if (mInitSettings.isValid() && mInitSettings.mFormats[0][0].bBitResolution != 0) {
        const auto& formats =
            mInitSettings.mFormats[usb2 ? APISpecificFeatures::kHighSpeed : APISpecificFeatures::kFullSpeed];
        setPair(formats[APISpecificFeatures::kInput].bNrChannels,
                formats[APISpecificFeatures::kOutput].bNrChannels, 24);
    }
    for (const RequestDefault& row : kRequestDefaults) {
        if (!mDeviceDescriptor.isDevice(row.model.vendor, row.model.product, row.release) ||
            !speedFits(row.speed, usb2)) {
            continue;
        }
        if (row.onlyIfZero) {
            if (settings.iInChannels == 0) {
                settings.iInChannels = row.in;
            }
            if (settings.iOutChannels == 0) {
                settings.iOutChannels = row.out;
            }
        } else {
            setPair(row.in, row.out, row.bits);
        }
    }
    if (hasTrait(vkdevice::kTraitOutputsByRate)) {
        settings.iOutChannels = settings.iFrequency < 176400 ? 6 : 4;
    }
    if (int(mDeviceSpecific.mInputs) > 0 || int(mDeviceSpecific.mOutputs) > 0) {
        IOLog("USB: %s %d %d\n", "mReadNumInputs mReadNumOutputs", int(mDeviceSpecific.mInputs),
              int(mDeviceSpecific.mOutputs));
        setPair(int(mDeviceSpecific.mInputs), int(mDeviceSpecific.mOutputs), 24);
    }
    if (isAnyOf(*this, kTeacPairModels)) {
        setPair(2, 2, 24);
    }
}

bool VKDevice::findInterfacesInConfig()
{
    VKIOTrace trace("VKDevice::findInterfacesInConfig", 0);
    // The choice works on a copy and writes the outcome back once.
    QzChannelSettings& current = *getCurrentSettings();
    QzChannelSettings settings = current;
    IOLog("USB: %s 0x%X 0x%X 0x%X 0x%X 0x%X\n", "findInterfacesInConfig CH", settings.iFrequency,
          settings.iInChannels, settings.iOutChannels, settings.iInResolution, settings.iOutResolution);
    IOLog("USB: %s %d\n", "CurrentConfig", int(settings.uConfiguration));

    VKConfigurationDescriptor* configuration = getConfigurationDescriptor(int(settings.uConfiguration));
    if (configuration == nullptr) {
        configuration = getConfigurationDescriptor(0);
        settings.uConfiguration = 0;
        trace.trace("set CurrentConfig to ", 0, 0);
        if (configuration == nullptr) {
            current.uConfiguration = 0;
            return false;
        }
    }
    mChosen.configuration = configuration;

    mChosen.midiInterface = findMidiInterfaceIn(configuration);
    mChosen.controlInterface = configuration->findAudioControlInterface();
    IOLog("USB: %s\n",
          nameOr(mChosen.controlInterface, "Found Audio Control interface", "NO Audio Control interface"));
    mChosen.hidInterface = configuration->findHIDInterface();
    IOLog("USB: %s\n", nameOr(mChosen.hidInterface, "Found HID interface", "NO HID interface"));
    // VendorAsyncPort::onFindInterfaces(device, configuration) belongs to the vendor port.

    assignStreamingInterfaces(configuration, settings);

    if (isElektron()) {
        initElektronChannelMap(settings);
    }
    applyRequestDefaults(settings);

    uint32_t frequency = uint32_t(settings.iFrequency);
    int32_t inChannels = settings.iInChannels;
    int32_t outChannels = settings.iOutChannels;
    int32_t inBits = settings.iInResolution;
    int32_t outBits = settings.iOutResolution;
    VKInterfaceDescriptor* foundIn = nullptr;
    VKInterfaceDescriptor* foundOut = nullptr;

    IOLog("USB: %s %p\n", "tryFindInterfaces pcFoundIn", static_cast<void*>(foundIn));
    IOLog("USB: %s %p\n", "tryFindInterfaces pcFoundOut", static_cast<void*>(foundOut));
    IOLog("USB: %s 0x%X 0x%X 0x%X 0x%X 0x%X\n", "tryFindInterfaces CH", frequency, inChannels, outChannels,
          inBits, outBits);
    bool found = tryFindInterfaces(foundIn, foundOut, frequency, inChannels, outChannels, inBits, outBits);

    if (!found) {
        if (const Retry* retry =
                rowFor<Retry>(kRetries, mDeviceDescriptor.idVendor, mDeviceDescriptor.idProduct)) {
            frequency = retry->frequency != 0 ? retry->frequency : uint32_t(settings.iFrequency);
            inChannels = retry->in;
            outChannels = retry->out;
            inBits = retry->inBits;
            outBits = retry->outBits;
            found = tryFindInterfaces(foundIn, foundOut, frequency, inChannels, outChannels, inBits, outBits);
        }
    }
    if (!found) {
        const LadderStart* start =
            rowFor<LadderStart>(kLadderStarts, mDeviceDescriptor.idVendor, mDeviceDescriptor.idProduct);
        const int startIn = start != nullptr ? start->in : kLadderDefaultStart;
        const int startOut = start != nullptr ? start->out : kLadderDefaultStart;
        for (int in = startIn; in >= 0 && !found; in -= 2) {
            for (int out = startOut; out >= 0 && !found; out -= 2) {
                if (in == 0 && out == 0) {
                    continue;
                }
                frequency = 44100;
                inChannels = in;
                outChannels = out;
                inBits = 16;
                outBits = 16;
                found =
                    tryFindInterfaces(foundIn, foundOut, frequency, inChannels, outChannels, inBits, outBits);
            }
        }
    }

    IOLog("USB: %s %d %d\n", "...bFound is / Freq", int(found), int(frequency));
    settings.iFrequency = int32_t(frequency);
    settings.iInChannels = inChannels;
    settings.iOutChannels = outChannels;
    settings.iInResolution = inBits;
    settings.iOutResolution = outBits;
    current = settings;

    if (isElektron()) {
        if (inChannels == 0 && foundIn == nullptr && mChosen.inInterface != nullptr) {
            foundIn = mChosen.inInterface->getAlternateSetting(1);
        }
        if (outChannels == 0 && foundOut == nullptr && mChosen.outInterface != nullptr) {
            foundOut = mChosen.outInterface->getAlternateSetting(1);
        }
    }
    if (foundIn != nullptr) {
        IOLog("USB: %s %d %d\n", "pcFoundIn Num/Alternate", foundIn->getInterfaceNumber(),
              foundIn->getAlternateSettingNumber());
    }
    if (foundOut != nullptr) {
        IOLog("USB: %s %d %d\n", "pcFoundOut Num/Alternate", foundOut->getInterfaceNumber(),
              foundOut->getAlternateSettingNumber());
    }
    mChosen.inInterface = foundIn;
    mChosen.outInterface = foundOut;

    if (mpAQ != nullptr) {
        mpAQ->assignPipes();
    }
    IOLog("findInterfacesInConfig: m_pcMidiInterface=%p mpMidiDevice=%p m_pcControlInterface=%p\n",
          static_cast<void*>(mChosen.midiInterface), static_cast<void*>(mpMidiDevice),
          static_cast<void*>(mChosen.controlInterface));
    if (mpMidiDevice != nullptr) {
        mpMidiDevice->assignPipes();
    }
    return true;
}

VKInterfaceDescriptor* VKDevice::findStreamingAlternate(VKInterfaceDescriptor* interface, uint32_t frequency,
                                                        int32_t channels, int32_t bits)
{
    if (interface == nullptr || channels <= 0) {
        return nullptr;
    }
    if (channels > kMaxChannels) {
        IOLog("USB: %s %d\n", "refused: more channels than a stream carries", channels);
        return nullptr;
    }
    return interface->findAlternateSetting(frequency, uint32_t(channels), uint32_t(bits), vidpid());
}

bool VKDevice::tryFindInterfaces(VKInterfaceDescriptor*& foundIn, VKInterfaceDescriptor*& foundOut,
                                 uint32_t& frequency, int32_t& inChannels, int32_t& outChannels,
                                 int32_t& inBits, int32_t& outBits)
{
    if (isElektron()) {
        return tryFindElektronInterfaces(foundIn, foundOut, frequency, inChannels, outChannels, inBits,
                                         outBits);
    }
    VKIOTrace trace("VKDevice::tryFindInterfaces", 0);
    IOLog("ENTER tryFindInterfaces interfaces frq:%d ins:%d outs:%d inbits:%d outbits:%d\n", int(frequency),
          inChannels, outChannels, inBits, outBits);
    const int entryIn = inChannels;
    const int entryOut = outChannels;
    VKInterfaceDescriptor* const inInterface = mChosen.inInterface;
    VKInterfaceDescriptor* const outInterface = mChosen.outInterface;
    const bool I = inInterface != nullptr;
    const bool O = outInterface != nullptr;
    const bool can192Hz = can192();

    for (bool firstPass = true;; firstPass = false) {
        trace.trace("seek alternate interfaces...Freq", int(frequency), inBits);
        foundIn = findStreamingAlternate(inInterface, frequency, inChannels, inBits);
        foundOut = findStreamingAlternate(outInterface, frequency, outChannels, outBits);
        const bool fi = foundIn != nullptr;
        const bool fo = foundOut != nullptr;
        const bool success = (fi && I && !O) || (!I && O && fo) || (fi && fo && I && O) || (!I && !O) ||
                             (inChannels == 0 && O && fo) || (outChannels == 0 && I && fi);
        if (success) {
            trace.trace("...found\n", 0, 0);
            if (!fi && !I && inChannels != 0) {
                IOLog("USB: %s\n", "NO IN");
                inChannels = 0;
                inBits = 0;
            } else if (fi) {
                IOLog("USB: %s %d %d\n", "XX...IN num/alt", foundIn->getInterfaceNumber(),
                      foundIn->getAlternateSettingNumber());
                IOLog("frequ %d, chan in %d, res %d\n", int(frequency), inChannels, inBits);
            }
            if (!fo && !O && outChannels != 0) {
                IOLog("USB: %s\n", "NO OUT");
                outChannels = 0;
                outBits = 0;
            } else if (fo) {
                IOLog("USB: %s %d %d\n", "XX...OUT num/alt", foundOut->getInterfaceNumber(),
                      foundOut->getAlternateSettingNumber());
                IOLog("chan out %d, res %d\n", outChannels, outBits);
            }
            IOLog("EXIT tryFindInterfaces SUCCESS\n");
            return true;
        }
        foundIn = nullptr;
        foundOut = nullptr;
        if (firstPass) {
            frequency = 44100;
            inChannels = 2;
            outChannels = 2;
            inBits = 16;
            outBits = 16;
            continue;
        }
        inChannels = entryIn;
        outChannels = entryOut;
        switch (inBits) {
        case 16:
        case 20:
        case 24:
            inBits = inBits == 16 ? 20 : inBits == 20 ? 24 : 32;
            outBits = inBits;
            continue;
        case 32:
            inBits = 16;
            outBits = 16;
            if (const uint32_t next = nextLadderFrequency(frequency, can192Hz); next != 0) {
                frequency = next;
                continue;
            }
            break;
        default:
            break;
        }
        IOLog("USB: %s\n", "...abort tryFindInterface(...)\n");
        IOLog("EXIT tryFindInterfaces FAILED\n");
        return false;
    }
}

bool VKDevice::tryFindElektronInterfaces(VKInterfaceDescriptor*& foundIn, VKInterfaceDescriptor*& foundOut,
                                         uint32_t frequency, int32_t inChannels, int32_t outChannels,
                                         int32_t inBits, int32_t outBits)
{
    foundIn = nullptr;
    foundOut = nullptr;
    if (frequency != 48000) {
        IOLog("...iFrequency != 48000\n");
        return false;
    }
    auto pick = [](VKInterfaceDescriptor* interface, int channels, int bits) -> VKInterfaceDescriptor* {
        const uint8_t alternate = elektronAlternateFor(channels, bits);
        if (interface == nullptr || alternate == 0) {
            return nullptr;
        }
        return interface->getAlternateSetting(alternate);
    };
    VKInterfaceDescriptor* in = pick(mChosen.inInterface, inChannels, inBits);
    if (in == nullptr) {
        IOLog("USB: %s %d %d\n", "...pcFoundIn is NULL. Channels/Bits", inChannels, inBits);
        return false;
    }
    VKInterfaceDescriptor* out = pick(mChosen.outInterface, outChannels, outBits);
    if (out == nullptr) {
        IOLog("USB: %s %d %d\n", "...pcFoundOut is NULL. Channels/Bits", outChannels, outBits);
        return false;
    }
    foundIn = in;
    foundOut = out;
    IOLog("USB: %s\n", "VKDevice::tryFindInterfaces valid for Elektron Overbridge");
    return true;
}

bool VKDevice::checkBandwidthForPipe(VKPipeDescriptor* pipe, uint32_t frequency)
{
    VKIOTrace trace("VKDevice::checkBandwidthForPipe", 0);
    if (pipe == nullptr) {
        trace.trace("Pipe is NULL", 0, 0);
        return true;
    }
    if (frequency == 0) {
        frequency = uint32_t(getCurrentSettings()->iFrequency);
    }
    if (pipe->getMaxPacketsOnly() != 0) {
        return true;
    }
    const uint32_t allowance = bandwidthAllowance(frequency);
    int bits = 0;
    int channels = 0;
    if (VKInterfaceDescriptor* owner = pipe->getOwner()) {
        for (int r = 0; VKInterfaceDescriptorSpecificAS* as = owner->getAudioStreamingSpecific(r); ++r) {
            if (as->isFormatType()) {
                bits = as->getBitResolution();
                channels = as->getNumChannels();
                break;
            }
        }
    }
    const uint32_t maxPacket = pipe->getMaxPacketSize();
    uint32_t request = uint32_t(channels) * uint32_t(getBytesFromBits(bits)) * allowance;
    if (request > maxPacket || isElektron()) {
        IOLog("USB: %s %d\n", "Adjusting bandwidth to pcPipe->m_uMaxPacketSize ", int(maxPacket));
        request = maxPacket;
    }
    if (isUSB2) {
        request = maxPacket;
    }
    IOLog("USB: %s %d %d %d %d\n", "checkBandwidthForPipe: Freq / Request  / max / chan ", int(frequency),
          int(request), int(maxPacket), channels);
    pipe->setRequestedBandwidth(request);
    return mOwner.setBandwidth(pipe, request);
}

void VKDevice::onUnconfigure()
{
    IOLog("USB: %s\n", "...check for pending hid calls");
    if (mpAQ != nullptr) {
        mpAQ->unconfigure();
    }
    mChosen.configuration = nullptr;
    mChosen.controlInterface = nullptr;
    mChosen.inInterface = nullptr;
    mChosen.outInterface = nullptr;
    mChosen.hidInterface = nullptr;
    mChosen.midiInterface = nullptr;
    mChosen.bulkInPipe = nullptr;
    mChosen.bulkOutPipe = nullptr;
    mChosen.interruptInPipe = nullptr;
    mChosen.interruptOutPipe = nullptr;
    mChosen.inPipeIsoc = nullptr;
    mChosen.inPipeFeedback = nullptr;
    mChosen.outPipeIsoc = nullptr;
    mChosen.outPipeIsocKeepAlive = nullptr;
    mChosen.hidInPipe = nullptr;
}
