// A device's configuration descriptor sets through the device object's scan (raw patches, model
// corrections, substitute descriptors), the device description, and the interface choice with a
// stream request as user space may write it. Whatever the bytes and the request say: nothing is
// read or written outside them, the description stays within its limits, the chosen alternates
// belong to the chosen configuration and never carry more than 32 channels, and every object is
// given back.
//
// Input: byte 0 picks the device identity (a plain device or one of the models with rules of their
// own), byte 1 flags (bit 0 high speed, bit 1 listed with the next 380 bytes as its feature
// record, bit 2 a device descriptor from the input: a length byte and up to 31 bytes, bit 3 formats
// disabled by the request's rate, input resolution and output channel count), byte 2 the
// number of configurations (0 to 7); then the 24-byte stream request; then per configuration a
// little-endian u16 length and that many bytes (the bytes received).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "DeviceModels.h"
#include "DriverSM.h"
#include "DescriptionLimits.h"
#include "FuzzInput.h"
#include "VKDevice.h"
#include "VKKernelDevice.h"
#include "VKUSBDescriptors.h"
#include "platform/Log.h"

namespace {

struct Identity
{
    DeviceModel model;
    uint16_t release;
};

constexpr DeviceModel kPlain{0x1234, 0x5678, "plain"};
constexpr Identity kIdentities[] = {
    {kPlain, 0x0100},          {kModel1935_0006, 0x0100}, {kModelMBox, 0x0100},
    {kModelMBox2, 0x0100},     {kModelUSBPre, 0x0100},    {kModel1604_8006, 0x0100},
    {kModel1ACC_0049, 0x0100}, {kModel0CCD_0014, 0x0100}, {kModelExtigy, 0x0100},
    {kModel03EB_4308, 0x0100}, {kModel0A4E_4040, 0x0100}, {kModelCrimsonSPL, 0x0100},
    {kModelTessaly, 0x0100},   {kModelXMOS, 0x0100},      {kModel0562_03EB, 0x0100},
    {kModelKelvraUC3, 0x0100}, {kModelKelvraUC3, 0x0200}, {kModel0926_0201, 0x0100},
    {kModelPlay1624, 0x0100},  {kModelPellirun, 0x0100},  {kModelFendrimo, 0x0100},
    {kModelUS366, 0x0100},     {kModelUS322, 0x0100},     {kModel0A92_0081, 0x0100},
    {kModel200C_100A, 0x0100}, {kModel1D03_005C, 0x0100}, {kModel1210_0001, 0x0100},
    {kModel170B_0020, 0x0100}, {kModel0763_2003, 0x0100}, {kModel0A4A_F1A0, 0x0100},
};

struct Quiet
{
    Quiet() { platform::log::setDestination(platform::log::Channel::kernel, nullptr); }
};

std::vector<uint8_t> deviceDescriptor(const Identity& identity, uint8_t configurations)
{
    const DeviceModel& m = identity.model;
    return {18,
            1,
            0x00,
            0x02,
            0,
            0,
            0,
            64,
            uint8_t(m.vendor),
            uint8_t(m.vendor >> 8),
            uint8_t(m.product),
            uint8_t(m.product >> 8),
            uint8_t(identity.release),
            uint8_t(identity.release >> 8),
            1,
            2,
            3,
            configurations};
}

// A chosen alternate is one of the configuration's and carries at most 32 channels.
void checkChoice(VKDevice& device, VKInterfaceDescriptor* alternate, int32_t channels)
{
    if (alternate == nullptr) {
        return;
    }
    fuzzCheck(device.mChosen.configuration != nullptr);
    fuzzCheck(alternate->getConfiguration() == device.mChosen.configuration);
    fuzzCheck(channels <= VKDevice::kMaxChannels);
    for (int32_t r = 0; VKInterfaceDescriptorSpecificAS* as = alternate->getAudioStreamingSpecific(r); ++r) {
        fuzzCheck(as->getLength() <= VKInterfaceDescriptorSpecificAS::kSize);
    }
    device.checkBandwidthForPipe(alternate->getPipeByIndex(0), 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Quiet quiet;
    FuzzInput input{data, size};
    const Identity& identity = kIdentities[input.take<uint8_t>() % std::size(kIdentities)];
    const uint8_t flags = input.take<uint8_t>();
    const uint8_t configurations = input.take<uint8_t>() % 8;

    VKKernelDevice* owner = new VKKernelDevice;
    auto sm = std::make_unique<DriverSM>();
    {
        VKDevice device(*owner);
        device.mpDriverSM = sm.get();
        if ((flags & 1) != 0) {
            device.setIsUSB2Device();
        }
        if ((flags & 2) != 0) {
            input.fill(&device.mInitSettings, sizeof(device.mInitSettings));
            device.mInitSettings.mValid = 1;
        }
        std::vector<uint8_t> descriptor = deviceDescriptor(identity, configurations);
        if ((flags & 4) != 0) {
            const auto bytes = input.takeBytes(input.take<uint8_t>() % 32);
            descriptor.assign(bytes.begin(), bytes.end());
        }
        input.fill(device.getCurrentSettings(), sizeof(QzChannelSettings));

        USBByteBuffer deviceBuffer(descriptor.data(), uint32_t(descriptor.size()));
        device.scanDeviceDescriptor(deviceBuffer);
        // The user-written request, kept aside: the scan may apply a model's defaults to it.
        const QzChannelSettings request = *device.getCurrentSettings();

        for (uint8_t c = 0; c < configurations && !input.empty(); ++c) {
            const uint16_t length = input.take<uint16_t>();
            // Exactly the bytes received, in a buffer of their size.
            const auto bytes = input.takeBytes(length);
            std::vector<uint8_t> received(bytes.begin(), bytes.end());
            USBByteBuffer buffer(received.data(), uint32_t(received.size()));
            device.scanConfigurationDescriptors(buffer);
        }
        fuzzCheck(device.getCountConfigurationDescriptors() <= configurations);
        fuzzCheck(device.buildInternalAPIDeviceInfo());
        checkDescriptionLimits(*device.getAPIDeviceInfoPtr());
        if ((flags & 8) != 0) {
            // Formats taken away as model corrections do, by the request's own values.
            device.disableAllByFrequency(uint32_t(request.iFrequency));
            device.disableAllByResolution(request.iInResolution);
            device.disableAllByChannels(uint8_t(request.iOutChannels));
            fuzzCheck(device.buildInternalAPIDeviceInfo());
            checkDescriptionLimits(*device.getAPIDeviceInfoPtr());
        }

        for (int round = 0; round < 2; ++round) {
            if (round == 1) {
                *device.getCurrentSettings() = request;
            }
            const bool configured = device.findInterfacesInConfig();
            fuzzCheck(configured == (device.getCountConfigurationDescriptors() > 0));
            const QzChannelSettings& chosen = *device.getCurrentSettings();
            checkChoice(device, device.mChosen.inInterface, chosen.iInChannels);
            checkChoice(device, device.mChosen.outInterface, chosen.iOutChannels);
            device.onUnconfigure();
        }
    }
    owner->release();
    return 0;
}
