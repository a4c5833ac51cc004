#include "usbsim/Catalogue.h"

#include "Models.h"
#include "usbsim/models/BitPlaneBulkDevice.h"
#include "usbsim/models/ClassAudioDevice.h"
#include "usbsim/models/TableDevice.h"

namespace usbsim {
namespace {

template <models::ModelData (*Data)()> std::shared_ptr<DeviceModel> table()
{
    return std::make_shared<models::TableDevice>(Data());
}

models::ModelData kelvraUC3Rev2()
{
    return model_data::kelvraUC3(0x0200);
}
models::ModelData kelvraUC3Rev1()
{
    return model_data::kelvraUC3(0x0100);
}

std::vector<CatalogueEntry> build()
{
    std::vector<CatalogueEntry> entries = {
        // Models of the bus and streaming tests.
        {"class-audio", "class-compliant stereo audio, full speed, 16/24 bits at 44.1/48 kHz",
         []() -> std::shared_ptr<DeviceModel> { return std::make_shared<models::ClassAudioDevice>(); }},
        {"class-audio-feedback", "the same with an explicit feedback endpoint for its output (PID 3002)",
         []() -> std::shared_ptr<DeviceModel> {
             models::ClassAudioDevice::Options options;
             options.productID = 0x3002;
             options.feedback = true;
             return std::make_shared<models::ClassAudioDevice>(options);
         }},
        {"bitplane-bulk", "the maker's bulk-streaming interface, high speed, 512-byte packets",
         []() -> std::shared_ptr<DeviceModel> { return std::make_shared<models::BitPlaneBulkDevice>(); }},
        {"bitplane-bulk-1024", "the same with 1024-byte packets (bcd 0200)",
         []() -> std::shared_ptr<DeviceModel> {
             models::BitPlaneBulkDevice::Options options;
             options.packetSize = 1024;
             options.bcdDevice = 0x0200;
             return std::make_shared<models::BitPlaneBulkDevice>(options);
         }},
        // Models of the kernel driver's paths.
        {"class-audio-24",
         "plain class-compliant device, full speed, 2 ch 24 bits at 44.1/48 kHz: no per-model handling",
         table<model_data::plainAudio24>},
        {"Kelvra-UC3",
         "high speed, bcd 0200: own-family paths unlisted (substitute alternates to 192 kHz, firmware "
         "scan, SET_INTERFACE to the device, no reset with firmware 1.5), vendor 0x41/0x44/0x49/0x56",
         table<kelvraUC3Rev2>},
        {"Kelvra-UC3@0100",
         "high speed, bcd 0100: 192 kHz capable, not of the family; high-speed substitute, firmware scan",
         table<kelvraUC3Rev1>},
    };
    for (auto& entry : entries) {
        const auto descriptor = entry.make()->deviceDescriptor();
        entry.vendor = descriptor.idVendor;
        entry.product = descriptor.idProduct;
        entry.bcdDevice = descriptor.bcdDevice;
    }
    return entries;
}

} // namespace

const std::vector<CatalogueEntry>& catalogue()
{
    static const std::vector<CatalogueEntry> entries = build();
    return entries;
}

const CatalogueEntry* findModel(std::string_view name)
{
    for (const auto& entry : catalogue()) {
        if (name == entry.name) {
            return &entry;
        }
    }
    return nullptr;
}

std::shared_ptr<DeviceModel> makeModel(std::string_view name)
{
    const auto* entry = findModel(name);
    return entry != nullptr ? entry->make() : nullptr;
}

} // namespace usbsim
