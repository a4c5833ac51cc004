// A device's configuration descriptor bytes into the kernel's descriptor model, then every search
// and the device description built from it. Whatever the lengths, counts and offsets say, nothing
// is read outside the bytes, the walk ends, the description stays within its limits and every
// object is given back.
//
// Input: byte 0 picks the device identity (a plain device, the models whose interfaces are
// relabelled or whose rates are fixed, with or without a feature record); the rest is the
// configuration descriptor set as read from the device (at most 4,096 bytes are used).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "DeviceModels.h"
#include "DescriptionLimits.h"
#include "FuzzInput.h"
#include "VKKernelMemory.h"
#include "VKUSBDescriptors.h"
#include "platform/Log.h"

namespace {

constexpr size_t kMaxConfigurationBytes = 4096;

struct Identity
{
    DeviceModel model;
    uint16_t release;
    int features; // 0 none, 1 flag 0 (interface 1 streaming), 2 flag 5 (1, 2 streaming, 3 MIDI)
};

constexpr Identity kIdentities[] = {
    {{0x1234, 0x5678, "plain"}, 0x0100, 0},
    {kModelKelvraUC3, 0x0200, 0},
    {kModelKelvraUC3, 0x0100, 0},
    {kModelPellirun, 0x0100, 0},
    {kModelUH7000, 0x0100, 0},
    {kModelUSBPre, 0x0100, 0},
    {kModelMBox, 0x0100, 0},
    {kModelMBox2, 0x0100, 0},
    {{0x1234, 0x5678, "plain"}, 0x0100, 1},
    {{0x1234, 0x5678, "plain"}, 0x0100, 2},
};

struct Quiet
{
    Quiet() { platform::log::setDestination(platform::log::Channel::kernel, nullptr); }
};

void checkFormat(VKInterfaceDescriptorSpecificAS& as)
{
    fuzzCheck(as.getLength() <= VKInterfaceDescriptorSpecificAS::kSize);
    const int count = as.getCountFrequencies();
    fuzzCheck(count == 0 || 8u + 3u * static_cast<uint32_t>(count) <= as.getLength());
    for (int i = -1; i <= 256; ++i) {
        const uint32_t rate = as.getFrequency(i);
        fuzzCheck(rate <= 0xFFFFFF);
        fuzzCheck(i >= 0 && i < count ? true : rate == 0);
    }
    as.getLowerFrequency();
    as.getUpperFrequency();
    as.clearFrequency(300);
    as.clearFrequency(count);
}

void exercise(VKInterfaceDescriptor& interface, const VIDPID& device, bool isAlternate)
{
    fuzzCheck(!isAlternate || interface.getCountAlternateSettings() == 0);
    fuzzCheck(interface.getCountPipes() <= VKSimpleArray::kCapacity);
    interface.isAudioStreamingIn();
    interface.isAudioStreamingOut();
    interface.getIsocInPipe();
    interface.getIsocOutPipe();
    interface.getIsocInPipeInRange(0, 1024);
    interface.getBulkInPipe();
    interface.getInterruptOutPipe();
    interface.getAlternateSetting(interface.getAlternateSettingNumber());
    interface.getUSBInterfaceDescriptor();
    for (int32_t p = 0; p < interface.getCountPipes(); ++p) {
        const VKPipeDescriptor* pipe = interface.getPipeByIndex(p);
        fuzzCheck(pipe->getMaxPacketSize() <= 0x7FF);
        fuzzCheck(pipe->getTransactionsPerMicroframe() >= 1 && pipe->getTransactionsPerMicroframe() <= 3);
        fuzzCheck(pipe->getOwner() == &interface);
    }
    for (int32_t i = 0; i < interface.getCountAS(); ++i) {
        VKInterfaceDescriptorSpecificAS* as = interface.getAudioStreamingSpecific(i);
        checkFormat(*as);
        if (as->isFormatType()) {
            const uint32_t rate = as->isContinousFrequency() ? as->getLowerFrequency() : as->getFrequency(0);
            interface.findAlternateSetting(rate, as->getNumChannels(), as->getBitResolution(), device);
        }
    }
    for (int32_t i = 0; i < interface.getCountAC(); ++i) {
        fuzzCheck(interface.getAudioControlSpecific(i)->getLength() <= VKInterfaceDescriptorSpecificAC::kSize);
    }
    for (int32_t a = 0; a < interface.getCountAlternateSettings(); ++a) {
        VKInterfaceDescriptor* alternate = interface.getAlternateSettingByIndex(a);
        fuzzCheck(alternate->getParent() == &interface);
        exercise(*alternate, device, true);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Quiet quiet;
    FuzzInput input{data, size};
    const Identity& identity = kIdentities[input.take<uint8_t>() % std::size(kIdentities)];
    APISpecificFeatures features{};
    features.mValid = identity.features != 0 ? 1 : 0;
    features.mFlags[APISpecificFeatures::kCorlanthCompatible] = identity.features == 1 ? 1 : 0;
    features.mFlags[APISpecificFeatures::kMorvaneCompatible] = identity.features == 2 ? 1 : 0;
    const VIDPID device(identity.model.vendor, identity.model.product, identity.release,
                        identity.features != 0 ? &features : nullptr);

    // The bytes received, in a block of exactly their size so any read past them is caught.
    const std::span<const uint8_t> rest = input.takeBytes(kMaxConfigurationBytes);
    const auto bytes = std::make_unique<uint8_t[]>(rest.size() + 1);
    std::copy(rest.begin(), rest.end(), bytes.get());

    MemoryState before{};
    memSnapshot(&before);
    {
        std::unique_ptr<VKConfigurationDescriptor> configuration(new VKConfigurationDescriptor());
        USBByteBuffer buffer(bytes.get(), static_cast<uint32_t>(rest.size()));
        const bool scanned = configuration->scan(buffer, device);
        fuzzCheck(scanned || configuration->getCountInterfaces() == 0);
        fuzzCheck(buffer.getReadPos() <= rest.size());
        for (int32_t i = 0; i < configuration->getCountInterfaces(); ++i) {
            VKInterfaceDescriptor* interface = configuration->getInterfaceByIndex(i);
            fuzzCheck(interface->getParent() == nullptr);
            fuzzCheck(interface->getConfiguration() == configuration.get());
            exercise(*interface, device, false);
        }
        configuration->findAudioControlInterface();
        configuration->findAudioStreamingInInterface();
        configuration->findAudioStreamingOutInterface();
        configuration->findMidiInterface();
        configuration->findHIDInterface();
        configuration->findVendorInterface();
        auto info = std::make_unique<APIConfigInfo>();
        std::memset(info.get(), 0, sizeof *info);
        configuration->getAPIConfigInfo(*info, device);
        checkDescriptionLimits(*info);
    }
    MemoryState after{};
    memSnapshot(&after);
    fuzzCheck(after.bytesAllocated - before.bytesAllocated == after.bytesFreed - before.bytesFreed);
    return 0;
}
