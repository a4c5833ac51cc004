// A device model that is only data: its descriptor bytes, its strings and its reply table, plus
// the one piece of state a table cannot hold, the sampling frequency of each data endpoint (a
// class SET_CUR to the endpoint stores it, GET_CUR reads it back).
//
// The catalogue's models (usbsim/Catalogue.h) are written as ModelData; a model that needs more
// than this derives from DeviceModel itself.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "usbsim/DeviceModel.h"

namespace usbsim::models {

struct ModelData
{
    Speed speed = Speed::full;
    std::vector<uint8_t> device;                      // the 18-byte device descriptor
    std::vector<std::vector<uint8_t>> configurations; // by configuration index
    std::vector<std::pair<uint8_t, std::string>> strings;
    std::vector<ReplyRow> replies; // class and vendor requests; the first matching row answers
    // Configuration indexes whose descriptor read always fails, and how.
    std::vector<std::pair<uint8_t, Status>> unreadableConfigurations;
    // Endpoints whose sampling frequency the device keeps (class requests, wValue 0x0100).
    std::vector<uint8_t> frequencyEndpoints;
    uint32_t initialFrequency = 44100;
    uint32_t busPower = 250;     // what the port offers, in 2 mA units
    uint32_t requestGapMs = 0;   // class and vendor requests closer than this stall
};

class TableDevice : public DeviceModel
{
public:
    explicit TableDevice(const ModelData& data);

    // Test side (any thread): the sampling frequency an endpoint was last set to.
    uint32_t sampleRate(uint8_t endpointAddress) const;

protected:
    ControlReply answerLocked(const SetupPacket& setup, std::span<const uint8_t> outData) override;

private:
    std::map<uint8_t, uint32_t> m_rates; // guarded by m_mutex
};

} // namespace usbsim::models
