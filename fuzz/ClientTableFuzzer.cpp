// The client table and the input ring's kernel writer against a hostile user side: client ring
// headers, the device shared block's slots and client identifiers and the input ring's header are
// scribbled with fuzz bytes between mixing passes, attaches, detaches, re-initialisations, gain and
// routing changes and input writes with any frame counts and positions. Nothing may read or write
// outside the blocks or the caller's buffers, and the table never holds more than eight clients.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "DriverData.h"
#include "DriverSM.h"
#include "FuzzInput.h"
#include "IOKit/IOUserClient.h"
#include "platform/Log.h"

namespace {

constexpr uint32_t kClients = 3;
constexpr uint32_t kUsbBytes = 65'536;
constexpr uint32_t kMaxFrames = 9'000;

// A user client as the kernel makes one: initialised, so that it has its identifier.
IOUserClient* madeClient()
{
    auto* client = new IOUserClient;
    client->initWithTask(0, nullptr, 0);
    return client;
}

struct World
{
    std::unique_ptr<DriverSM> sm = std::make_unique<DriverSM>();
    std::unique_ptr<AudioSM> rings[kClients] = {std::make_unique<AudioSM>(), std::make_unique<AudioSM>(),
                                                std::make_unique<AudioSM>()};
    std::unique_ptr<AudioSM> input = std::make_unique<AudioSM>();
    IOUserClient* clients[kClients] = {madeClient(), madeClient(), madeClient()};
    std::vector<uint8_t> usb = std::vector<uint8_t>(kUsbBytes);
    std::vector<uint8_t> extra = std::vector<uint8_t>(kMaxFrames * DriverData::kElektronExtraBytesPerFrame);
    std::vector<int32_t> samples = std::vector<int32_t>(DriverData::kMixSamples);
    std::vector<int32_t> frames = std::vector<int32_t>(kMaxFrames * 2);
};

PCMEncoder encoderFor(uint8_t choice)
{
    switch (choice % 5) {
    case 0:
        return pcmTo16LSB;
    case 1:
        return pcmTo24LSB;
    case 2:
        return pcmTo32LSB;
    case 3:
        return pcmTo24TUSBMSB;
    default:
        return nullptr;
    }
}

QzChannelSettings settingsFrom(FuzzInput& in)
{
    QzChannelSettings s{};
    s.iFrequency = static_cast<int32_t>(in.take<uint16_t>()) * 4;
    s.iInChannels = in.take<uint8_t>() % 40;
    s.iOutChannels = in.take<uint8_t>() % 40;
    s.iInResolution = s.iOutResolution = 24;
    return s;
}

void scribble(FuzzInput& in, void* block, size_t from, size_t to)
{
    const size_t span = to - from;
    const size_t offset = from + in.take<uint16_t>() % span;
    const size_t length = std::min<size_t>(in.take<uint8_t>() % 32, to - offset);
    in.fill(static_cast<uint8_t*>(block) + offset, length);
}

void run(FuzzInput& in)
{
    static World& w = *new World();
    const bool elektron = (in.take<uint8_t>() & 1) != 0;
    std::memset(static_cast<void*>(w.sm.get()), 0, sizeof(DriverSM));
    DriverData* data = DriverData::create(w.sm.get(), elektron ? 0x1935 : 0x1234, elektron ? 0x0006 : 0x0001);
    fuzzCheck(data != nullptr);
    data->setConverters(encoderFor(in.take<uint8_t>()), settingsFrom(in));
    KernelInputRing& input = data->inputRing();
    input.init(w.input.get(), in.take<uint8_t>() % 34, in.take<uint16_t>() * 4u, in.take<uint8_t>() % 4);

    while (!in.empty()) {
        const uint8_t op = in.take<uint8_t>();
        const uint32_t who = op % kClients;
        switch ((op >> 2) % 14) {
        case 0: {
            AudioSM& ring = *w.rings[who];
            ring.init(in.take<uint8_t>() % 34, 48'000, in.take<uint8_t>() % 4);
            uint32_t slot = 0;
            data->attachClient(w.clients[who], &ring, 1, &slot, 512);
            break;
        }
        case 1:
            data->detachClient(w.clients[who]);
            break;
        case 2:
            scribble(in, w.rings[who].get(), offsetof(AudioSM, mBytesPerFrame), sizeof(AudioSM));
            break;
        case 3: // the slots, the attached count and the three client identifiers
            scribble(in, w.sm.get(), offsetof(DriverSM, mAttachedClients), offsetof(DriverSM, mDeviceControls));
            scribble(in, w.sm.get(), offsetof(DriverSM, mInputsExclusiveClient), offsetof(DriverSM, mTimeStamps));
            if ((op & 0x80) != 0) { // name a real client as exclusive or private-data, as the kernel does
                const uint64_t id = VKClientIdentifier(w.clients[who]);
                if ((op & 0x40) != 0) {
                    data->setOutputsExclusiveClient(id);
                } else {
                    data->setPrivateDataClient(id);
                }
            }
            break;
        case 4:
            data->rtsCheckAttachClients(in.take<uint64_t>(), in.take<uint64_t>(), in.take<uint64_t>());
            break;
        case 5: {
            const uint32_t bytes = in.take<uint16_t>() % kUsbBytes;
            const uint32_t frameCount = in.take<uint16_t>() % kMaxFrames;
            data->rtsIsocOutput(w.usb.data(), bytes, in.take<uint64_t>(), frameCount,
                                (op & 0x80) != 0 ? w.extra.data() : nullptr);
            break;
        }
        case 6: {
            const uint32_t count = in.take<uint16_t>() % (DriverData::kMixSamples + 1);
            const uint32_t frameCount = in.take<uint16_t>() % kMaxFrames;
            if ((op & 0x80) != 0) {
                data->rtsBulkOutput(w.samples.data(), count, in.take<uint64_t>(), frameCount);
            } else {
                data->rtsInterruptOutput(w.samples.data(), count, in.take<uint64_t>(), frameCount);
            }
            break;
        }
        case 7: {
            uint8_t routing[32];
            in.fill(routing, sizeof routing);
            data->setRoutingMatrix((op & 0x80) != 0 ? nullptr : routing);
            QZ_MixerFraction fraction{};
            in.fill(&fraction, sizeof fraction);
            data->setMixerFraction(fraction);
            const OutMixer mixers[] = {outMixer2CH, outMixer4CH, outMixer6CH, nullptr};
            data->setOutMixer(mixers[in.take<uint8_t>() % 4]);
            break;
        }
        case 8:
            data->reinitClientsForStreaming(settingsFrom(in));
            break;
        case 9: {
            int32_t smallest = 0;
            uint32_t count = 0;
            data->rtsGetMinAvailableFrames(w.sm.get(), &smallest, &count, in.take<uint64_t>());
            fuzzCheck(count <= DriverData::kClientSlots);
            break;
        }
        case 10: {
            const uint32_t frameCount = in.take<uint16_t>() % (kMaxFrames * 2 / AudioSM::kMaxChannels);
            input.writeFrames((op & 0x80) != 0 ? w.frames.data() : nullptr, frameCount, in.take<uint8_t>(),
                              nullptr, (op & 0x40) != 0 ? w.extra.data() : nullptr);
            break;
        }
        case 11:
            input.AddTimeStamp(in.take<uint64_t>(), in.take<uint16_t>(), (op & 0x80) != 0);
            input.writeTimestamp(in.take<uint64_t>());
            break;
        case 12:
            scribble(in, w.input.get(), offsetof(AudioSM, mBytesPerFrame), sizeof(AudioSM));
            break;
        default: {
            static QZ_TimeStampsBufferData copy;
            input.CopyData(copy);
            uint64_t host = 0;
            uint64_t sample = 0;
            fuzzCheck(input.GetLastTimeStamp(host, sample) == (copy.mCount != 0));
            break;
        }
        }
        fuzzCheck(data->countClients() <= DriverData::kClientSlots);
    }
    data->release();
    for (IOUserClient* client : w.clients) {
        fuzzCheck(client->getRetainCount() == 1);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool quiet = [] {
        platform::log::setDestination(platform::log::Channel::kernel, nullptr);
        platform::log::setDestination(platform::log::Channel::standardOutput, nullptr);
        return true;
    }();
    (void)quiet;
    FuzzInput in{data, size};
    run(in);
    return 0;
}
