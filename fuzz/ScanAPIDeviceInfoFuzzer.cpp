// The device description reaches user space from another process, page by page: any byte pattern
// must give a clean "not found" or a match that really fits the request.
//
// Input: byte 0 configuration index; 1-4 rate (little-endian); 5 bits; 6 channels; 7 flags
// (bit 0 discrete-only, bit 1 output, bit 2 feature record valid); 8-11 the feature record's
// input interface, input alternate, output interface, output alternate; then the record's first 8
// bytes (ids and configuration count), then the configuration record in slot (index % 4), so that
// short inputs reach the last slot, which ends where the feature record begins. Everything else
// is zero.
#include <APIDeviceInfo.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "FuzzInput.h"

namespace {

constexpr size_t kHeaderSize = 12;
constexpr size_t kDeviceHeaderSize = offsetof(APIDeviceInfo, mConfigurations);

bool rateFits(const APIStreamingInfo& format, uint32_t rate, bool discreteOnly)
{
    if (format.mContinuous != 0) {
        return !discreteOnly && format.mLowerFrequency <= rate && rate <= format.mUpperFrequency;
    }
    const unsigned count = std::min<unsigned>(format.mNumFrequencies, APIStreamingInfo::kMaxFrequencies);
    for (unsigned i = 0; i < count; ++i) {
        if (format.mFrequencies[i] == rate) {
            return true;
        }
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < kHeaderSize) {
        return 0;
    }
    // Allocated to the record's exact size, so the sanitizer sees any read past it.
    static const auto record = std::make_unique<APIDeviceInfo>();
    APIDeviceInfo& info = *record;
    std::memset(&info, 0, sizeof(info));
    const uint8_t* body = data + kHeaderSize;
    const size_t bodySize = size - kHeaderSize;
    std::memcpy(&info, body, std::min(bodySize, kDeviceHeaderSize));
    if (bodySize > kDeviceHeaderSize) {
        std::memcpy(&info.mConfigurations[data[0] % APIDeviceInfo::kMaxConfigurations],
                    body + kDeviceHeaderSize, std::min(bodySize - kDeviceHeaderSize, sizeof(APIConfigInfo)));
    }

    const uint32_t config = data[0];
    const uint32_t rate =
        uint32_t(data[1]) | uint32_t(data[2]) << 8 | uint32_t(data[3]) << 16 | uint32_t(data[4]) << 24;
    const uint8_t bits = data[5];
    const uint8_t channels = data[6];
    const bool discreteOnly = data[7] & 1;
    const bool output = data[7] & 2;
    APISpecificFeatures& features = info.mSpecificFeatures;
    if (data[7] & 4) {
        features.mValid = 1;
        features.mInInterface = data[8];
        features.mInAlternate = data[9];
        features.mOutInterface = data[10];
        features.mOutAlternate = data[11];
    }

    const APIDeviceInfoScanResult result =
        scanAPIDeviceInfo(info, config, rate, bits, channels, discreteOnly, output);
    fuzzCheck(result.mSampleRate == rate && result.mBitResolution == bits && result.mChannels == channels);
    if (result.mFound) {
        fuzzCheck(result.mConfigIndex == config && config < std::min<unsigned>(info.mNumConfigurations, 4));
        const APIConfigInfo& c = info.mConfigurations[config];
        fuzzCheck(result.mInterfaceIndex < std::min<unsigned>(c.mNumInterfaces, 16));
        const APIInterfaceInfo& interface = c.mInterfaces[result.mInterfaceIndex];
        fuzzCheck(result.mAlternateIndex < std::min<unsigned>(interface.mNumAlternates, 16));
        const APIInterfaceAlternateInfo& alternate = interface.mAlternates[result.mAlternateIndex];
        fuzzCheck(alternate.mStreaming.bBitResolution == bits && alternate.mStreaming.bNrChannels == channels);
        fuzzCheck(rateFits(alternate.mStreaming, rate, discreteOnly));
        fuzzCheck(alternate.mNumEndpoints != 0);
        if (features.isValid()) {
            fuzzCheck(interface.bInterfaceNumber == (output ? features.mOutInterface : features.mInInterface));
            fuzzCheck(alternate.bAlternateSetting == (output ? features.mOutAlternate : features.mInAlternate));
        }
    }
    const APIDeviceInfoScanResult other =
        scanAPIDeviceInfo(info, config, rate, bits, channels, discreteOnly, !output);
    (void)usbCalculateBandwidth(result, other);
    return 0;
}
