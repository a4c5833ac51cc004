// The simulated bus on the virtual clock: how many simulated seconds of one isochronous device
// streaming both ways (stereo 24-bit at 48 kHz, three 4-frame transfers in flight per direction,
// each completion queuing the next) run per second of wall time: a full-speed device, and a
// high-speed one in microframe packets (32 records per transfer). The physical reference is the
// real bus: one simulated second per second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <atomic>

#include "platform/HostClock.h"
#include "usbsim/Bus.h"
#include "usbsim/Catalogue.h"
#include "usbsim/models/AudioModel.h"
#include "usbsim/models/ClassAudioDevice.h"

namespace {

using usbsim::models::ClassAudioDevice;

class Client
{
public:
    // `records` per transfer (4, or 32 microframes); `outBytes` per output record.
    Client(usbsim::Bus& bus, std::shared_ptr<usbsim::Pipe> out, std::shared_ptr<usbsim::Pipe> in,
           uint32_t records, uint16_t outBytes)
        : m_bus(bus), m_out(std::move(out)), m_in(std::move(in)), m_records(records), m_outBytes(outBytes)
    {
    }
    void start()
    {
        m_next[0] = m_next[1] = m_bus.frameNumber() + 2;
        for (int i = 0; i < 3; ++i) {
            queue(false, i);
            queue(true, i);
        }
    }
    void stop()
    {
        m_stopping = true;
        m_out->abort();
        m_in->abort();
        m_bus.settle();
    }

private:
    struct Block
    {
        Client* client;
        bool in;
        int index;
        usbsim::IsocFrame frames[32];
        std::array<uint8_t, 4 * 294> data;
    };
    void queue(bool in, int index)
    {
        Block& b = m_blocks[in ? 1 : 0][index];
        b = Block{this, in, index, {}, {}};
        const uint16_t inBytes = static_cast<uint16_t>(b.data.size() / m_records);
        for (uint32_t k = 0; k < m_records; ++k) {
            b.frames[k].frReqCount = in ? std::min(inBytes, m_in->maxPacketSize()) : m_outBytes;
        }
        const uint64_t start = m_next[in ? 1 : 0];
        m_next[in ? 1 : 0] += 4;
        const usbsim::IsocCompletion done{&b, &Client::completed, nullptr};
        if (in) {
            m_in->readIsoc(b.data.data(), start, m_records, b.frames, done);
        } else {
            m_out->writeIsoc(b.data.data(), start, m_records, b.frames, done);
        }
    }
    static void completed(void* target, void*, usbsim::Status status, usbsim::IsocFrame*)
    {
        auto* b = static_cast<Block*>(target);
        if (status != usbsim::kAborted && !b->client->m_stopping) {
            b->client->queue(b->in, b->index);
        }
    }

    usbsim::Bus& m_bus;
    std::shared_ptr<usbsim::Pipe> m_out;
    std::shared_ptr<usbsim::Pipe> m_in;
    const uint32_t m_records;
    const uint16_t m_outBytes;
    std::array<std::array<Block, 3>, 2> m_blocks{};
    uint64_t m_next[2] = {}; // each touched by one pipe's completions only
    std::atomic<bool> m_stopping{false};
};

// Simulated seconds per wall second (the "items" rate, one item per simulated second) of a model
// streaming stereo 24-bit both ways on its alternates 2: `records` per transfer, `outBytes` each.
void streamBothWays(benchmark::State& state, std::shared_ptr<usbsim::models::AudioModel> model, uint8_t out,
                    uint8_t in, uint32_t records, uint16_t outBytes)
{
    const uint64_t step = static_cast<uint64_t>(state.range(0)) * usbsim::kFrameNanoseconds;
    platform::host_clock::virtual_clock::Scope clock;
    usbsim::Bus bus;
    model->setCapture(false);
    auto device = bus.attach(model);
    device->setConfiguration(1);
    device->setAlternate(1, 2);
    device->setAlternate(2, 2);
    Client client(bus, device->pipe(out), device->pipe(in), records, outBytes);
    client.start();
    for (auto _ : state) {
        bus.runFor(1'000'000'000, step);
    }
    client.stop();
    state.SetItemsProcessed(state.iterations());
    state.counters["completions"] = static_cast<double>(bus.completionsDelivered());
}

// Full speed: 4 frames per transfer, 48 frames of 6 bytes out in each.
void BM_IsochronousDeviceBothWays(benchmark::State& state)
{
    streamBothWays(state, std::make_shared<ClassAudioDevice>(), ClassAudioDevice::kOutEndpoint,
                   ClassAudioDevice::kInEndpoint, 4, 288);
}
BENCHMARK(BM_IsochronousDeviceBothWays)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime();

// High speed in microframe packets: 32 per transfer, 6 frames of 6 bytes out in each.
void BM_HighSpeedMicroframesBothWays(benchmark::State& state)
{
    streamBothWays(state,
                   std::dynamic_pointer_cast<usbsim::models::AudioModel>(usbsim::makeModel("class-audio-hs")),
                   0x01, 0x82, 32, 36);
}
BENCHMARK(BM_HighSpeedMicroframesBothWays)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
