// The catalogue of simulated device models: every model the kernel host, the tests and the fuzz
// targets can attach, by a name that is one command-line word. Models the driver treats by
// model carry the name of the driver's model registry (spaces written as '-'), or their ids
// ("0763:2003") when the registry names them so; a second revision of the same ids carries
// "@bcd" ("Kelvra-UC3@0100").
//
// Thread safety: the catalogue is built once and then only read; any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "usbsim/DeviceModel.h"

namespace usbsim {

struct CatalogueEntry
{
    const char* name;
    const char* description; // what the model is and which driver paths it exercises
    std::shared_ptr<DeviceModel> (*make)();
    // From the model's device descriptor.
    uint16_t vendor = 0;
    uint16_t product = 0;
    uint16_t bcdDevice = 0;
};

// Every model, in catalogue order.
const std::vector<CatalogueEntry>& catalogue();
// The model called `name`, or null.
const CatalogueEntry* findModel(std::string_view name);
// A new device of the model called `name`, or null for an unknown name.
std::shared_ptr<DeviceModel> makeModel(std::string_view name);

} // namespace usbsim
