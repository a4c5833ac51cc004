// Packets a device sends on its MIDI IN pipe, with the received length, into the family engine's
// parsers: every byte layout and both status-word parsers, for the models whose rows differ, with
// and without an attached client. Whatever the bytes, the rings stay whole (no filler stored, no
// element longer than 8, every position inside its ring), the registers and the foot-switch list
// stay in bounds, and nothing is read beyond the block.
//
// Input: model (u8), parser (u8), packet size (u16), second offset (u8), client (u8); then
// packets: received length (u16), then up to 512 packet bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "AQ.h"
#include "DeviceModels.h"
#include "DriverData.h"
#include "DriverSM.h"
#include "FuzzInput.h"
#include "IOKit/IOUserClient.h"
#include "VKDevice.h"
#include "UnstartedOwner.h"
#include "platform/Log.h"

namespace {

constexpr size_t kMaxPackets = 64;

constexpr DeviceModel kModels[] = {kModelUS322,     kModelUS366,     kModelUS1200, kModelUH7000,
                                   kModel1935_0004, kModel170B_0020, kModel0A4A_D064};
constexpr AQ::Parser kParsers[] = {AQ::Parser::Reg, AQ::Parser::M4_C1, AQ::Parser::M4_M4_C1, AQ::Parser::M1_C1,
                                   AQ::Parser::M2,  AQ::Parser::NS7,   AQ::Parser::US366,    AQ::Parser::UH7000};

void checkRing(const MidiIO& ring)
{
    fuzzCheck(ring.mWriteIndex < MidiIO::kElements);
    for (const MidiIOElement& element : ring.mElements) {
        fuzzCheck(element.mLength <= MidiIOElement::kMaxBytes);
        for (uint32_t i = 0; i < element.mLength; ++i) {
            fuzzCheck(element.mData[i] != MidiIO::kFiller);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool quiet = [] {
        platform::log::setDestination(platform::log::Channel::kernel, nullptr);
        return true;
    }();
    (void)quiet;
    FuzzInput in{data, size};
    const DeviceModel& model = kModels[in.take<uint8_t>() % std::size(kModels)];
    const AQ::Parser parser = kParsers[in.take<uint8_t>() % std::size(kParsers)];
    const uint16_t packetSize = in.take<uint16_t>();
    const uint8_t secondOffset = in.take<uint8_t>();
    const bool withClient = (in.take<uint8_t>() & 1) != 0;

    fixtures::UnstartedOwner owner;
    auto sm = std::make_unique<DriverSM>();
    auto device = std::make_unique<VKDevice>(owner);
    device->mpDriverSM = sm.get();
    device->mDeviceDescriptor.idVendor = model.vendor;
    device->mDeviceDescriptor.idProduct = model.product;
    DriverData* table = DriverData::create(sm.get(), model.vendor, model.product);
    device->mpDriverData = table;
    AQ& aq = *device->mpAQ;
    aq.init();
    aq.setParser(parser, packetSize, secondOffset);
    IOUserClient* client = new IOUserClient;
    if (withClient) {
        aq.clientAttach(client);
    }

    // Each packet lies in a block of exactly its size, so a read past it is caught.
    for (size_t n = 0; n < kMaxPackets && !in.empty(); ++n) {
        const uint16_t received = in.take<uint16_t>();
        const std::span<const uint8_t> bytes = in.takeBytes(AQ::kMaxPacket);
        std::vector<uint8_t> block(bytes.begin(), bytes.end());
        aq.parseInput(block.data(), received, uint32_t(block.size()));
    }
    if (aq.area() != nullptr) {
        checkRing(aq.area()->mIn[0]);
        checkRing(aq.area()->mIn[1]);
    }
    fuzzCheck(device->getCurrentSettings()->iInChannels <= VKDevice::kMaxChannels);
    aq.clientDetach(client);
    client->release();
    device->mpDriverData = nullptr;
    if (table != nullptr) {
        table->release();
    }
    return 0;
}
