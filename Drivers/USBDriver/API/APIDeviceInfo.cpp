#include "APIDeviceInfo.h"

#include <DeviceIdentification.h>
#include <DeviceModels.h>
#include <TableKeys.h>

#include <algorithm>
#include <iterator>

namespace {

// Devices whose streams always sit at fixed interface and alternate-setting numbers, whatever
// their endpoints say.
struct FixedSlotDevice
{
    DeviceModel model;
    uint16_t release;
};

constexpr FixedSlotDevice kFixedSlotDevices[] = {
    {kModelPellirun, kAnyRelease}, {kModelFendrimo, kAnyRelease},
    {kModelKelvraUC3, 0x0200}, // other releases of this product are ordinary devices
    {kModelUS366, kAnyRelease},    {kModelUS322, kAnyRelease},
    {kModelUS1200, kAnyRelease},   {kModelUH7000, kAnyRelease},
};
static_assert(tableKeysUnique(kFixedSlotDevices, [](const FixedSlotDevice& row) {
    return (uint64_t{row.model.key()} << 16) | row.release;
}));
static_assert(modelsRegistered(kFixedSlotDevices));

constexpr uint8_t kFixedOutInterface = 1;
constexpr uint8_t kFixedInInterface = 2;
constexpr uint8_t kFixedAlternate = 2;

// An endpoint that moves less than one 32-bit word per packet carries no audio stream.
constexpr uint16_t kMinStreamPacketSize = 4;

bool isFixedSlotDevice(const VIDPID& device)
{
    return std::any_of(std::begin(kFixedSlotDevices), std::end(kFixedSlotDevices),
                       [&](const FixedSlotDevice& row) {
                           return device.isDevice(row.model.vendor, row.model.product, row.release);
                       });
}

// How the device's streams are found, decided once per search.
enum class SlotRule
{
    featureRecord, // the interface and alternate numbers its feature record names
    fixedSlots,
    endpoints, // any setting with a stream endpoint in the asked direction
};

bool formatFits(const APIStreamingInfo& format, uint32_t rate, uint8_t bits, uint8_t channels,
                bool discreteOnly)
{
    if (format.bBitResolution != bits || format.bNrChannels != channels) {
        return false;
    }
    if (format.mContinuous != 0) {
        return !discreteOnly && format.mLowerFrequency <= rate && rate <= format.mUpperFrequency;
    }
    const unsigned count = std::min<unsigned>(format.mNumFrequencies, APIStreamingInfo::kMaxFrequencies);
    return std::any_of(format.mFrequencies, format.mFrequencies + count,
                       [rate](const LE32& listed) { return listed == rate; });
}

bool carriesStream(const APIInterfaceInfo& interface, const APIInterfaceAlternateInfo& alternate,
                   SlotRule rule, const APISpecificFeatures& features, bool output)
{
    const unsigned endpoints =
        std::min<unsigned>(alternate.mNumEndpoints, APIInterfaceAlternateInfo::kMaxEndpoints);
    if (endpoints == 0) {
        return false;
    }
    switch (rule) {
    case SlotRule::featureRecord:
        return output ? interface.bInterfaceNumber == features.mOutInterface &&
                            alternate.bAlternateSetting == features.mOutAlternate
                      : interface.bInterfaceNumber == features.mInInterface &&
                            alternate.bAlternateSetting == features.mInAlternate;
    case SlotRule::fixedSlots:
        return interface.bInterfaceNumber == (output ? kFixedOutInterface : kFixedInInterface) &&
               alternate.bAlternateSetting == kFixedAlternate;
    case SlotRule::endpoints:
        break;
    }
    return std::any_of(alternate.mEndpoints, alternate.mEndpoints + endpoints,
                       [output](const APIEndpointInfo& e) {
                           return e.wMaxPacketSize >= kMinStreamPacketSize && e.isInput() != output;
                       });
}

} // namespace

APIDeviceInfoScanResult scanAPIDeviceInfo(const APIDeviceInfo& info, uint32_t configIndex, uint32_t rate,
                                          uint8_t bits, uint8_t channels, bool discreteOnly, bool output)
{
    APIDeviceInfoScanResult result{};
    result.mSampleRate = rate;
    result.mBitResolution = bits;
    result.mChannels = channels;

    const unsigned configurations =
        std::min<unsigned>(info.mNumConfigurations, APIDeviceInfo::kMaxConfigurations);
    if (configIndex >= configurations) {
        return result;
    }
    result.mConfigIndex = static_cast<uint16_t>(configIndex);

    const APISpecificFeatures& features = info.mSpecificFeatures;
    const VIDPID device(info.idVendor, info.idProduct, info.bcdDevice, &features);
    const SlotRule rule = features.isValid()          ? SlotRule::featureRecord
                          : isFixedSlotDevice(device) ? SlotRule::fixedSlots
                                                      : SlotRule::endpoints;

    const APIConfigInfo& config = info.mConfigurations[configIndex];
    const unsigned interfaces = std::min<unsigned>(config.mNumInterfaces, APIConfigInfo::kMaxInterfaces);
    for (unsigned i = 0; i < interfaces; ++i) {
        const APIInterfaceInfo& interface = config.mInterfaces[i];
        const unsigned alternates =
            std::min<unsigned>(interface.mNumAlternates, APIInterfaceInfo::kMaxAlternates);
        for (unsigned a = 0; a < alternates; ++a) {
            const APIInterfaceAlternateInfo& alternate = interface.mAlternates[a];
            if (formatFits(alternate.mStreaming, rate, bits, channels, discreteOnly) &&
                carriesStream(interface, alternate, rule, features, output)) {
                result.mFound = true;
                result.mInterfaceIndex = static_cast<uint16_t>(i);
                result.mAlternateIndex = static_cast<uint16_t>(a);
                return result;
            }
        }
    }
    return result;
}

uint32_t usbCalculateBandwidth(const APIDeviceInfoScanResult& input, const APIDeviceInfoScanResult& output)
{
    // Unsigned 32-bit throughout, each direction truncated on its own.
    const auto bytesPerMillisecond = [](const APIDeviceInfoScanResult& format) -> uint32_t {
        if (!format.mFound) {
            return 0;
        }
        const uint32_t bytesPerSample = VKAudio__bytesFromBits(format.mBitResolution);
        return bytesPerSample * format.mChannels * format.mSampleRate / 1000;
    };
    return bytesPerMillisecond(input) + bytesPerMillisecond(output);
}
