// Device commands as a hostile process may send them: any code and any body, with or without a
// calling client (request 35 of an audio client, or the control client's entry), to a started
// device of each kind of model (plain class device, the maker's family, TEAC with its codec
// registers, Digidesign, Elektron of both revisions, Mindprint), configured or not, with simulated
// time passing between commands, and its controls record rewritten and applied between them. Nothing may crash, hang or touch memory out of bounds; a code
// without an entry answers kIOReturnBadArgument with the record as sent.
//
// Input: model (u8), whether to configure first (u8), then commands until the input ends (at most
// kMaxCommands): a shape byte, then the code, the body's length and bytes; or (shape 7 of 8) an
// offset into the controls record, bytes written there and the update that applies them.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "DriverData.h"
#include "DriverFixture.h"
#include "FuzzInput.h"
#include "IOKit/IOUserClient.h"
#include "OSXDispatch.h"
#include "VKDevice.h"
#include "VKDeviceCommands.h"
#include "VKKernelDevice.h"
#include "platform/Log.h"

namespace {

constexpr size_t kMaxCommands = 24;

const char* const kModels[] = {"class-audio", "Kelvra-UC3", "US-366",    "MBox",      "1935:0006", "1935:0006@0001",
                               "Mindprint",   "Play-16/24", "0A4E:4040", "Extigy",    "077D:0420", "041E:3020"};

const QzChannelSettings kSettings[] = {
    {48000, 2, 16, 2, 16, 0}, {44100, 2, 24, 2, 24, 0}, {48000, 4, 16, 4, 16, 0}};

driver_test::DriverFixture& fixture()
{
    static auto* instance = [] {
        if (FILE* nowhere = std::fopen("/dev/null", "w")) {
            platform::log::setDestination(platform::log::Channel::kernel, nowhere);
        }
        return new driver_test::DriverFixture;
    }();
    return *instance;
}

bool hasEntry(uint32_t code)
{
    constexpr uint32_t kNoEntry[] = {6, 7, 46, 47, 64, 74, 75};
    if (code > EQZ_LastCommand || (code >= 50 && code <= 62)) {
        return false;
    }
    for (uint32_t c : kNoEntry) {
        if (c == code) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in{data, size};
    driver_test::DriverFixture& driver = fixture();
    VKKernelDevice* service = driver.plug(kModels[in.take<uint8_t>() % std::size(kModels)]);
    if (service == nullptr || service->device() == nullptr) {
        driver.unplug();
        return 0;
    }
    auto* client = new IOUserClient;
    client->initWithTask(0, nullptr, 0);
    const uint8_t start = in.take<uint8_t>();
    if (start % 2 != 0) {
        OSXDispatch record{};
        record.iReq = Req_PrepareNewConfigRegular;
        const QzChannelSettings& s = kSettings[(start / 2) % std::size(kSettings)];
        std::memcpy(record.payload, &s, sizeof s);
        OSXDispatchCaller caller;
        caller.client = client;
        driver.runInKernel([&] {
            VKDispatchLock lock(*service);
            OSXDispatchRequest(service, caller, record);
        });
    }

    for (size_t n = 0; n < kMaxCommands && !in.empty(); ++n) {
        const uint8_t shape = in.take<uint8_t>();
        if (shape % 8 == 7) {
            // The controls record rewritten as any process may, then applied by a controls update.
            const uint16_t offset = in.take<uint16_t>() % kDriverSMDeviceControlsSize;
            const auto bytes = in.takeBytes(in.take<uint8_t>() % 64);
            const uint8_t update = in.take<uint8_t>();
            driver.runInKernel([&] {
                VKDispatchLock lock(*service);
                VKDevice* device = service->device();
                if (device == nullptr || device->mpDriverSM == nullptr) {
                    return;
                }
                uint8_t* controls = update % 2 == 0 ? device->mpDriverSM->mDeviceControls
                                                    : device->mpDriverSM->mDeviceControlsNext;
                const size_t count = std::min<size_t>(bytes.size(), kDriverSMDeviceControlsSize - offset);
                if (count != 0) {
                    std::memcpy(controls + offset, bytes.data(), count);
                }
                OSXDispatch record{};
                constexpr uint32_t kUpdates[] = {Req_UpdateMuteStatus, Req_UpdateVolumeStatus,
                                                 Req_UpdateMonitorStatus, Req_UpdateDataSourceSelector,
                                                 Req_SetRouting};
                record.iReq = kUpdates[(update / 2) % std::size(kUpdates)];
                record.setWord(0, update / 16);
                OSXDispatchCaller caller;
                caller.client = client;
                OSXDispatchRequest(service, caller, record);
            });
            continue;
        }
        QZ_Dispatch cmd{};
        cmd.uCommand = shape < 224 ? in.take<uint8_t>() % 80 : in.take<uint32_t>();
        // Re-enumeration takes the device off the bus under the fixture.
        if (cmd.uCommand == EQZ_ReEnumerateDevice) {
            cmd.uCommand = 0;
        }
        in.fill(cmd.body, in.take<uint16_t>() % (QZ_Dispatch::kBodySize + 1));
        const QZ_Dispatch sent = cmd;
        IOReturn status = kIOReturnError;
        driver.runInKernel([&] {
            VKDispatchLock lock(*service);
            VKDevice* device = service->device();
            if (device == nullptr) {
                return;
            }
            status = shape % 2 == 0 ? device->onDispatchStreaming(client, &cmd) : device->onDispatch(&cmd);
        });
        if (!hasEntry(sent.uCommand)) {
            fuzzCheck(status == kIOReturnBadArgument);
            fuzzCheck(std::memcmp(&sent, &cmd, sizeof cmd) == 0);
        }
        if (shape % 4 == 1) {
            driver.runFor((1 + in.take<uint8_t>() % 10) * driver_test::kMillisecond);
        }
    }
    driver.runInKernel([&] {
        VKDispatchLock lock(*service);
        if (VKDevice* device = service->device()) {
            device->onClientClosed(client);
        }
    });
    client->release();
    driver.unplug();
    fuzzCheck(driver.liveInstances().devices == 0);
    return 0;
}
