// The user clients of a started device in one process, driven as a hostile process would: any
// sequence of opens of every connection type, external-method calls (request records of the
// audio request protocol, scalar methods, any sizes), memory-type mappings with scribbles over the
// mapped blocks, closes and deaths, with simulated time passing between them. Nothing may crash,
// hang or touch memory out of bounds, and once the device is gone no driver object is left.
//
// Input: model (u8), then operations until the input ends (at most kMaxOperations): an operation
// byte and its arguments as each one takes them.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "DriverFixture.h"
#include "DriverSM.h"
#include "FuzzInput.h"
#include "OSXDispatch.h"
#include "VKKernelDevice.h"
#include "kernel_host/KernelHost.h"
#include "platform/Log.h"

namespace {

constexpr size_t kMaxOperations = 48;
constexpr size_t kMaxConnections = 6;

const char* const kModels[] = {"class-audio", "class-audio-24", "class-audio-feedback", "1935:0006", "0644:8030"};

// Settings a device may take: the fuzzer's own values reach the checks, these reach the streams.
const QzChannelSettings kSettings[] = {
    {48000, 2, 16, 2, 16, 0}, {44100, 2, 24, 2, 24, 0}, {96000, 2, 24, 2, 24, 0}, {48000, 0, 0, 2, 24, 0},
};

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

OSXDispatch requestRecord(FuzzInput& in)
{
    OSXDispatch record{};
    const uint8_t code = in.take<uint8_t>();
    // Mostly codes of the table (request 34 re-enumerates the device: the service would leave
    // under the fixture, so it is sent only as an unknown code's neighbour).
    record.iReq = code < 200 ? code % 50 : in.take<uint32_t>();
    if (record.iReq == Req_ReEnumerateDevice) {
        record.iReq = 0;
    }
    record.argument = in.take<uint16_t>();
    const uint8_t shape = in.take<uint8_t>();
    if ((record.iReq == Req_PrepareNewConfigRegular || record.iReq == Req_PrepareNewConfigAnonymous) &&
        shape % 2 == 0) {
        const QzChannelSettings& s = kSettings[(shape / 2) % std::size(kSettings)];
        std::memcpy(record.payload, &s, sizeof s);
    } else {
        in.fill(record.payload, in.take<uint8_t>() % (kOSXDispatchPayloadSize + 1));
    }
    return record;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in{data, size};
    driver_test::DriverFixture& driver = fixture();
    VKKernelDevice* service = driver.plug(kModels[in.take<uint8_t>() % std::size(kModels)]);
    if (service == nullptr) {
        driver.unplug();
        return 0;
    }
    kernel_host::KernelHost& host = driver.host();
    const task_t task = host.createTask(4242, 501, "fuzz");
    std::vector<kernel_host::ConnectionID> connections;
    struct Mapping
    {
        kernel_host::ConnectionID connection;
        UInt32 type;
        kernel_host::MappedMemory memory;
    };
    std::vector<Mapping> mappings;

    for (size_t op = 0; op < kMaxOperations && !in.empty(); ++op) {
        const uint8_t kind = in.take<uint8_t>();
        const size_t pick = in.take<uint8_t>();
        const kernel_host::ConnectionID connection = connections.empty() ? 0 : connections[pick % connections.size()];
        switch (kind % 8) {
        case 0: { // open
            kernel_host::ConnectionID id = 0;
            const UInt32 type = in.take<uint8_t>() % 5;
            if (connections.size() < kMaxConnections) {
                driver.runInKernel([&] { host.openConnection(service, task, type, &id); });
                if (id != 0) {
                    connections.push_back(id);
                }
            }
            break;
        }
        case 1:
        case 2: { // a request record through the request method of the client's type
            if (connection == 0) {
                break;
            }
            kernel_host::MethodCall call;
            const OSXDispatch record = requestRecord(in);
            const uint8_t sizes = in.take<uint8_t>();
            const uint32_t inSize = sizes % 8 == 0 ? in.take<uint16_t>() % 600 : kOSXDispatchSize;
            const uint32_t outSize = sizes % 8 == 1 ? in.take<uint16_t>() % 600 : kOSXDispatchSize;
            call.structureInput.resize(inSize);
            if (inSize != 0) {
                std::memcpy(call.structureInput.data(), &record, std::min<uint32_t>(inSize, sizeof record));
            }
            call.structureOutputCapacity = outSize;
            // Selector 0 (audio client), 6 (AudioServer client), or the control client's 0.
            const uint32_t selector = kind % 8 == 1 ? 0 : 6;
            driver.runInKernel([&] { host.callMethod(connection, selector, call); });
            break;
        }
        case 3: { // any method, any arguments
            if (connection == 0) {
                break;
            }
            kernel_host::MethodCall call;
            const uint32_t selector = in.take<uint8_t>() % 10;
            const uint8_t counts = in.take<uint8_t>();
            call.scalarInput.resize(counts % 4);
            for (uint64_t& scalar : call.scalarInput) {
                scalar = in.take<uint8_t>() < 128 ? in.take<uint16_t>() : in.take<uint64_t>();
            }
            call.scalarOutputCapacity = (counts >> 2) % 3;
            const auto bytes = in.takeBytes(in.take<uint16_t>() % 400);
            call.structureInput.assign(bytes.begin(), bytes.end());
            call.structureOutputCapacity = (counts >> 4) % 2 == 0 ? static_cast<uint32_t>(call.structureInput.size())
                                                                  : in.take<uint16_t>() % 400;
            driver.runInKernel([&] { host.callMethod(connection, selector, call); });
            break;
        }
        case 4: { // map a memory type, and scribble over it as a process may
            if (connection == 0) {
                break;
            }
            Mapping mapping{connection, static_cast<UInt32>(in.take<uint8_t>() % 9), {}};
            IOReturn status = kIOReturnError;
            driver.runInKernel([&] { status = host.mapMemory(connection, mapping.type, &mapping.memory); });
            if (status == kIOReturnSuccess && mapping.memory.address != nullptr) {
                mappings.push_back(mapping);
            }
            break;
        }
        case 5: { // write into a mapped block
            if (mappings.empty()) {
                break;
            }
            const Mapping& mapping = mappings[pick % mappings.size()];
            const uint32_t offset = in.take<uint32_t>() % static_cast<uint32_t>(mapping.memory.length);
            const auto bytes = in.takeBytes(in.take<uint8_t>() % 64);
            const size_t n = std::min<size_t>(bytes.size(), mapping.memory.length - offset);
            if (n == 0) {
                break;
            }
            std::memcpy(static_cast<uint8_t*>(mapping.memory.address) + offset, bytes.data(), n);
            break;
        }
        case 6: { // close or die
            if (connection == 0) {
                break;
            }
            const bool died = in.take<uint8_t>() % 2 != 0;
            for (auto m = mappings.begin(); m != mappings.end();) {
                if (m->connection == connection) {
                    host.unmapMemory(connection, m->type, m->memory.address);
                    m = mappings.erase(m);
                } else {
                    ++m;
                }
            }
            driver.runInKernel([&] { died ? host.connectionDied(connection) : host.closeConnection(connection); });
            std::erase(connections, connection);
            break;
        }
        default: // time passes: the stream runs, clients mix
            driver.runFor((1 + in.take<uint8_t>() % 20) * driver_test::kMillisecond);
            break;
        }
    }
    for (const Mapping& m : mappings) {
        host.unmapMemory(m.connection, m.type, m.memory.address);
    }
    for (kernel_host::ConnectionID id : connections) {
        driver.runInKernel([&] { host.closeConnection(id); });
    }
    host.releaseTask(task);
    driver.unplug();
    fuzzCheck(driver.liveInstances().devices == 0);
    fuzzCheck(driver.liveInstances().userClients == 0);
    return 0;
}
