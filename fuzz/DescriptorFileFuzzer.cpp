// A descriptors file as a user may hand the simulator (sonvexa-kerneld --device-file): the file's
// checks refuse it with a reason, or the file model takes it and the bus runs the device: every
// configuration set, every alternate selected, one isochronous transfer on each of its endpoints
// with the streams derived from the descriptors. The same bytes are read as a side file too.
// Nothing may be read past the bytes, whatever their lengths and counts say.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/HostClock.h"
#include "usbsim/Bus.h"
#include "usbsim/models/FileModel.h"
#include "usbsim/models/StreamingDevice.h"

namespace {

// Transfers per input are bounded: the fuzzer looks for bad reads, not for long runs.
constexpr size_t kMostConfigurations = 4;
constexpr int kMostTransfers = 16;
constexpr uint32_t kRecords = 2;
constexpr uint32_t kPacketBytes = 3 * 1024;

usbsim::Bus& bus()
{
    static platform::host_clock::virtual_clock::Scope clock{1'000'000'000};
    static usbsim::Bus instance;
    return instance;
}

void done(void*, void*, usbsim::Status, usbsim::IsocFrame*) {}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string error;
    usbsim::models::ModelData side;
    usbsim::models::parseSideFile({reinterpret_cast<const char*>(data), size}, "side", side, &error);
    const auto model = usbsim::models::modelFromFiles({data, size}, "file", "", "side", std::nullopt, &error);
    if (!model) {
        return 0;
    }
    auto device = bus().attach(usbsim::models::makeTableModel(*model));
    std::vector<uint8_t> buffer(kRecords * kPacketBytes);
    int transfers = 0;
    for (size_t c = 0; c < model->configurations.size() && c < kMostConfigurations; ++c) {
        const auto layout = usbsim::ConfigurationLayout::parse(model->configurations[c]);
        if (!layout || device->setConfiguration(layout->bConfigurationValue) != usbsim::kSuccess) {
            continue;
        }
        for (const auto& intf : layout->interfaces) {
            for (const auto& alt : intf.alternates) {
                if (device->setAlternate(intf.number, alt.bAlternateSetting) != usbsim::kSuccess) {
                    continue;
                }
                for (const auto& ep : alt.endpoints) {
                    auto pipe = ep.type() == usbsim::TransferType::isochronous ? device->pipe(ep.bEndpointAddress)
                                                                               : nullptr;
                    if (!pipe || transfers >= kMostTransfers) {
                        continue;
                    }
                    ++transfers;
                    const auto packet = std::min<uint32_t>(pipe->maxPacketSize(), kPacketBytes);
                    usbsim::IsocFrame frames[kRecords] = {};
                    for (auto& f : frames) {
                        f.frReqCount = static_cast<uint16_t>(packet);
                    }
                    const usbsim::IsocCompletion completion{nullptr, &done, nullptr};
                    const uint64_t start = bus().frameNumber() + 1;
                    const auto status = ep.direction() == usbsim::Direction::in
                                            ? pipe->readIsoc(buffer.data(), start, kRecords, frames, completion)
                                            : pipe->writeIsoc(buffer.data(), start, kRecords, frames, completion);
                    if (status == usbsim::kSuccess) {
                        bus().runFor(4 * usbsim::kFrameNanoseconds);
                    }
                    pipe->abort();
                }
            }
        }
    }
    bus().settle();
    bus().detach(device);
    return 0;
}
