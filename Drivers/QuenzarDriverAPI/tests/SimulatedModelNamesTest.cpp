// The simulated device catalogue names the devices the driver treats by model as the registry
// does (spaces written as '-', a second revision with "@bcd"), so a test plugs "US-322" and the
// driver's tables say kModelUS322.
#include <gtest/gtest.h>

#include <string>

#include "DeviceModels.h"
#include "usbsim/Catalogue.h"

namespace {

std::string commandLineName(const char* name)
{
    std::string text = name;
    for (char& c : text) {
        c = c == ' ' ? '-' : c;
    }
    return text;
}

TEST(SimulatedModelNames, RegisteredModelsCarryTheRegistryName)
{
    int registered = 0;
    for (const auto& entry : usbsim::catalogue()) {
        const std::string name = entry.name;
        const std::string base = name.substr(0, name.find('@'));
        for (const DeviceModel& model : kDeviceModels) {
            if (model.is(entry.vendor, entry.product)) {
                EXPECT_EQ(base, commandLineName(model.name)) << name;
                ++registered;
            }
        }
    }
    EXPECT_GE(registered, 20);
}

} // namespace
