// User-client requests as a process may send them, through the kernel host to a client with a
// method table (fixed and variable sizes, scalars) and an older table: counts, sizes and
// selectors come from the input. Nothing may crash; a method runs only with the sizes its row
// allows, and output never exceeds the capacity asked for.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "FuzzInput.h"
#include "IOKit/IOUserClient.h"
#include "kernel_host/KernelHost.h"

namespace {

class FuzzClient : public IOUserClient
{
    OSDeclareDefaultStructors(FuzzClient);

public:
    IOReturn externalMethod(uint32_t selector, IOExternalMethodArguments* arguments,
                            IOExternalMethodDispatch*, OSObject*, void* reference) override
    {
        static IOExternalMethodDispatch rows[] = {
            {&FuzzClient::fixed, 0, 268, 0, 268},
            {&FuzzClient::scalars, 2, 0, 1, 0},
            {&FuzzClient::variable, 3, kIOUCVariableStructureSize, 0, kIOUCVariableStructureSize},
        };
        IOExternalMethodDispatch* row = selector < 3 ? &rows[selector] : nullptr;
        return IOUserClient::externalMethod(selector, arguments, row, this, reference);
    }

    IOExternalMethod* getTargetAndMethodForIndex(IOService** target, UInt32 index) override
    {
        static IOExternalMethod method = {nullptr, structureIOMethod<FuzzClient, &FuzzClient::command>(),
                                          kIOUCStructIStructO, 260, 260};
        if (index != 7) {
            return nullptr;
        }
        *target = this;
        return &method;
    }

private:
    static IOReturn fixed(OSObject*, void*, IOExternalMethodArguments* a)
    {
        if (a->structureInputSize != 268 || a->structureOutputSize != 268 || a->scalarInputCount != 0) {
            std::abort();
        }
        std::memcpy(a->structureOutput, a->structureInput, 268);
        return kIOReturnSuccess;
    }
    static IOReturn scalars(OSObject*, void*, IOExternalMethodArguments* a)
    {
        if (a->scalarInputCount != 2 || a->scalarOutputCount != 1) {
            std::abort();
        }
        a->scalarOutput[0] = a->scalarInput[0] ^ a->scalarInput[1];
        return kIOReturnSuccess;
    }
    static IOReturn variable(OSObject*, void*, IOExternalMethodArguments* a)
    {
        const uint32_t n =
            a->structureInputSize < a->structureOutputSize ? a->structureInputSize : a->structureOutputSize;
        if (n > 0) {
            std::memcpy(a->structureOutput, a->structureInput, n);
        }
        a->structureOutputSize = n;
        return kIOReturnSuccess;
    }
    IOReturn command(void* in, void* out, IOByteCount inSize, IOByteCount* outSize)
    {
        if (in == nullptr || out == nullptr || inSize != 260 || *outSize != 260) {
            return kIOReturnNotPrivileged;
        }
        std::memcpy(out, in, 260);
        return kIOReturnSuccess;
    }
};
OSDefineMetaClassAndStructors(FuzzClient, IOUserClient);

class FuzzDevice : public IOService
{
    OSDeclareDefaultStructors(FuzzDevice);

public:
    IOReturn newUserClient(task_t task, void* securityID, UInt32 type, OSDictionary*,
                           IOUserClient** handler) override
    {
        auto* client = new FuzzClient;
        if (!client->initWithTask(task, securityID, type) || !client->attach(this) || !client->start(this)) {
            client->release();
            return kIOReturnError;
        }
        *handler = client;
        return kIOReturnSuccess;
    }
};
OSDefineMetaClassAndStructors(FuzzDevice, IOService);

struct Fixture
{
    kernel_host::KernelHost host;
    kernel_host::ConnectionID connection = 0;

    Fixture()
    {
        auto* device = new FuzzDevice;
        device->init(nullptr);
        task_t task = host.createTask(1, 501, "fuzz");
        if (host.openConnection(device, task, 0, &connection) != kIOReturnSuccess) {
            std::abort();
        }
        device->release(); // the client keeps it
    }
};


} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    static Fixture* fixture = new Fixture;
    FuzzInput in{bytes, size};
    const auto selector = in.take<uint8_t>() % 9;
    kernel_host::MethodCall call;
    call.scalarInput.resize(in.take<uint8_t>() % 20);
    for (auto& scalar : call.scalarInput) {
        scalar = in.take<uint64_t>();
    }
    call.scalarOutputCapacity = in.take<uint8_t>() % 20;
    call.structureOutputCapacity = in.take<uint16_t>() % 1024;
    const auto structure = in.takeBytes(2048);
    call.structureInput.assign(structure.begin(), structure.end());
    fixture->host.callMethod(fixture->connection, selector, call);
    if (call.scalarOutput.size() > call.scalarOutputCapacity ||
        call.structureOutput.size() > call.structureOutputCapacity) {
        std::abort();
    }
    return 0;
}
