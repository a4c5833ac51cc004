// The kernel stand-in's paths that the driver takes often: a state-change message sent to a
// listener (sent from the real-time thread and USB completions, so it must stay cheap and never
// wait), and one user-client request round trip through the kernel host (a 268-byte record in
// and out). Each has its physical reference beside it: an atomic add and a copy of the same
// bytes.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>

#include "IOKit/IOUserClient.h"
#include "kernel_host/KernelHost.h"

namespace {

constexpr uint32_t kRecordSize = 268;

std::atomic<uint64_t> delivered{0};

IOReturn count(void*, void*, UInt32, IOService*, void*, vm_size_t)
{
    delivered.fetch_add(1, std::memory_order_relaxed);
    return kIOReturnSuccess;
}

// Sends in bursts that fit the listener's queue, letting it drain (untimed) between bursts, so
// every timed send is a real enqueue rather than a drop.
void BM_MessageClients(benchmark::State& state)
{
    constexpr uint64_t kBurst = 128;
    auto* service = new IOService;
    service->init(nullptr);
    IONotifier* listener = service->registerInterest(gIOGeneralInterest, count, nullptr);
    unsigned char record[36] = {36};
    uint64_t sent = delivered.load();
    for (auto _ : state) {
        benchmark::DoNotOptimize(service->messageClients(0xE0000130, record, sizeof(record)));
        if (++sent % kBurst == 0) {
            state.PauseTiming();
            while (delivered.load(std::memory_order_relaxed) < sent) {
            }
            state.ResumeTiming();
        }
    }
    state.counters["dropped"] = static_cast<double>(listener->droppedMessages());
    listener->remove();
    service->release();
}
BENCHMARK(BM_MessageClients);

void BM_ReferenceAtomicAdd(benchmark::State& state)
{
    std::atomic<uint64_t> counter{0};
    for (auto _ : state) {
        counter.fetch_add(1, std::memory_order_seq_cst);
    }
    benchmark::DoNotOptimize(counter.load());
}
BENCHMARK(BM_ReferenceAtomicAdd);

class BenchClient : public IOUserClient
{
    OSDeclareDefaultStructors(BenchClient);

public:
    IOReturn externalMethod(uint32_t selector, IOExternalMethodArguments* arguments,
                            IOExternalMethodDispatch*, OSObject*, void* reference) override
    {
        static IOExternalMethodDispatch row = {&BenchClient::echo, 0, kRecordSize, 0, kRecordSize};
        return IOUserClient::externalMethod(selector, arguments, selector == 0 ? &row : nullptr, this,
                                            reference);
    }

private:
    static IOReturn echo(OSObject*, void*, IOExternalMethodArguments* arguments)
    {
        std::memcpy(arguments->structureOutput, arguments->structureInput, kRecordSize);
        return kIOReturnSuccess;
    }
};
OSDefineMetaClassAndStructors(BenchClient, IOUserClient);

class BenchDevice : public IOService
{
    OSDeclareDefaultStructors(BenchDevice);

public:
    IOReturn newUserClient(task_t task, void* securityID, UInt32 type, OSDictionary*,
                           IOUserClient** handler) override
    {
        auto* client = new BenchClient;
        if (!client->initWithTask(task, securityID, type) || !client->attach(this) || !client->start(this)) {
            client->release();
            return kIOReturnError;
        }
        *handler = client;
        return kIOReturnSuccess;
    }
};
OSDefineMetaClassAndStructors(BenchDevice, IOService);

void BM_UserClientRoundTrip(benchmark::State& state)
{
    auto host = std::make_unique<kernel_host::KernelHost>();
    auto* device = new BenchDevice;
    device->init(nullptr);
    task_t task = host->createTask(100, 501, "bench");
    kernel_host::ConnectionID connection = 0;
    if (host->openConnection(device, task, 0, &connection) != kIOReturnSuccess) {
        state.SkipWithError("no connection");
        return;
    }
    kernel_host::MethodCall call;
    call.structureInput.assign(kRecordSize, 0x5A);
    call.structureOutputCapacity = kRecordSize;
    for (auto _ : state) {
        benchmark::DoNotOptimize(host->callMethod(connection, 0, call));
    }
    host->closeConnection(connection);
    host->releaseTask(task);
    device->terminate(kIOServiceSynchronous);
    device->release();
}
BENCHMARK(BM_UserClientRoundTrip);

void BM_ReferenceRecordCopies(benchmark::State& state)
{
    std::vector<uint8_t> in(kRecordSize, 0x5A);
    std::vector<uint8_t> middle(kRecordSize);
    std::vector<uint8_t> out(kRecordSize);
    for (auto _ : state) {
        std::memcpy(middle.data(), in.data(), kRecordSize);
        std::memcpy(out.data(), middle.data(), kRecordSize);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_ReferenceRecordCopies);

} // namespace

BENCHMARK_MAIN();
