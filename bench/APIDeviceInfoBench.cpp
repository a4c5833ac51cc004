// The device-description search as the user-side device layer runs it to fill its capability
// table: every configuration, rate, resolution, channel count and direction, discrete rates first.
#include <APIDeviceInfo.h>

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

namespace {

constexpr uint32_t kRates[] = {32000, 44100, 48000, 88200, 96000, 176400, 192000};
constexpr uint8_t kResolutions[] = {16, 20, 24, 32};

void addAlternate(APIInterfaceInfo& interface, uint8_t bits, uint8_t channels, uint8_t endpointAddress)
{
    APIInterfaceAlternateInfo& alternate = interface.mAlternates[interface.mNumAlternates];
    alternate.bAlternateSetting = ++interface.mNumAlternates;
    alternate.mStreaming.bBitResolution = bits;
    alternate.mStreaming.bNrChannels = channels;
    for (uint32_t rate : {44100u, 48000u, 88200u, 96000u}) {
        alternate.mStreaming.mFrequencies[alternate.mStreaming.mNumFrequencies++] = rate;
    }
    alternate.mNumEndpoints = 1;
    alternate.mEndpoints[0].wMaxPacketSize = 1024;
    alternate.mEndpoints[0].bEndpointAddress = endpointAddress;
}

// A typical multichannel interface: two streaming interfaces with 2 to 8 channels at 16 and 24 bits.
std::unique_ptr<APIDeviceInfo> typicalDevice()
{
    auto info = std::make_unique<APIDeviceInfo>();
    info->idVendor = 0x1234;
    info->idProduct = 0x5678;
    info->mNumConfigurations = 1;
    APIConfigInfo& config = info->mConfigurations[0];
    config.mNumInterfaces = 3;
    config.mInterfaces[0].bInterfaceSubClass = 1;
    for (uint8_t i = 1; i <= 2; ++i) {
        APIInterfaceInfo& interface = config.mInterfaces[i];
        interface.bInterfaceNumber = i;
        interface.bInterfaceSubClass = 2;
        for (uint8_t channels : {2, 4, 6, 8}) {
            for (uint8_t bits : {16, 24}) {
                addAlternate(interface, bits, channels, i == 1 ? 0x01 : 0x82);
            }
        }
    }
    return info;
}

void BM_CapabilitySweep(benchmark::State& state)
{
    const auto info = typicalDevice();
    for (auto _ : state) {
        unsigned found = 0;
        for (uint32_t rate : kRates) {
            for (uint8_t bits : kResolutions) {
                for (uint8_t channels = 1; channels <= 32; ++channels) {
                    for (bool output : {false, true}) {
                        APIDeviceInfoScanResult result =
                            scanAPIDeviceInfo(*info, 0, rate, bits, channels, true, output);
                        if (!result.mFound) {
                            result = scanAPIDeviceInfo(*info, 0, rate, bits, channels, false, output);
                        }
                        found += result.mFound;
                    }
                }
            }
        }
        benchmark::DoNotOptimize(found);
    }
    state.SetItemsProcessed(state.iterations() * std::size(kRates) * std::size(kResolutions) * 32 * 2);
}
BENCHMARK(BM_CapabilitySweep);

// The longest walk: every configuration slot full, nothing matching.
void BM_ScanFullConfigurationNoMatch(benchmark::State& state)
{
    auto info = std::make_unique<APIDeviceInfo>();
    info->mNumConfigurations = 4;
    for (APIConfigInfo& config : info->mConfigurations) {
        config.mNumInterfaces = APIConfigInfo::kMaxInterfaces;
        for (APIInterfaceInfo& interface : config.mInterfaces) {
            while (interface.mNumAlternates < APIInterfaceInfo::kMaxAlternates) {
                addAlternate(interface, 24, 2, 0x01);
            }
        }
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(scanAPIDeviceInfo(*info, 3, 44100, 24, 2, true, false));
    }
}
BENCHMARK(BM_ScanFullConfigurationNoMatch);

// Physical reference for the longest walk: touching every byte of one configuration record once.
void BM_ReferenceReadConfigurationRecord(benchmark::State& state)
{
    auto info = std::make_unique<APIDeviceInfo>();
    std::memset(&info->mConfigurations[3], 1, sizeof(APIConfigInfo));
    for (auto _ : state) {
        benchmark::DoNotOptimize(std::memchr(&info->mConfigurations[3], 0, sizeof(APIConfigInfo)));
    }
    state.SetBytesProcessed(state.iterations() * sizeof(APIConfigInfo));
}
BENCHMARK(BM_ReferenceReadConfigurationRecord);

} // namespace

BENCHMARK_MAIN();
