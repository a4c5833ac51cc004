// Another process's view of the blocks shared across the kernel boundary: the ring header and
// tail scribbled with fuzz bytes, then a sequence of ring operations; and a MIDI queue whose
// header and operations come from the input. Nothing may read or write outside the blocks.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "AudioSM.h"
#include "FuzzInput.h"
#include "MidiQueue.h"
#include "platform/Log.h"

namespace {

using Input = FuzzInput;

constexpr uint32_t kMaxFrames = 4'096;

void fuzzRing(Input& in)
{
    static auto* ring = new AudioSM();
    static std::vector<int32_t> caller(kMaxFrames * AudioSM::kMaxChannels * 2);
    static std::vector<uint8_t> extra(kMaxFrames * 64);

    ring->init(in.take<uint8_t>() % 34, in.take<uint16_t>() * 4u, in.take<uint8_t>() % 70);
    // Overwrite part of the header and the tail as a scribbling client could.
    auto* bytes = reinterpret_cast<uint8_t*>(ring);
    in.fill(bytes + offsetof(AudioSM, mBytesPerFrame), in.take<uint8_t>() % 141);
    in.fill(bytes + offsetof(AudioSM, mFramesWritten), in.take<uint8_t>() % 189);
    in.fill(bytes + offsetof(AudioSM, mTimeStamps), in.take<uint8_t>() % 64);

    const AudioSM::Geometry g = ring->geometry();
    while (!in.empty()) {
        const uint8_t op = in.take<uint8_t>();
        const uint32_t frames = in.take<uint16_t>() % kMaxFrames;
        uint64_t position = in.take<uint64_t>();
        uint64_t host = 0;
        uint8_t* extraOrNull =
            g.extraBytesPerFrame * uint64_t{frames} <= extra.size() ? extra.data() : nullptr;
        switch (op % 9) {
        case 0:
            ring->writeFrames(caller.data(), frames, position, nullptr, extraOrNull);
            break;
        case 1:
            ring->read(position, caller.data(), frames, host, audioInt32CopyAdd, extraOrNull);
            break;
        case 2:
            ring->readFromKernel(position, caller.data(), frames, audioInt32to16Copy, 2);
            break;
        case 3:
            ring->writeFramesToKernelAtPos(caller.data(), frames, position, in.take<uint16_t>(), 6,
                                           audioInt32CopyShift6To4, 4);
            break;
        case 4:
            ring->writeTimestamp(position);
            break;
        case 5:
            ring->AddTimeStamp(position, frames, true);
            break;
        case 6:
            ring->setZeroSampleTime(position);
            break;
        case 7:
            (void)ring->getAvailableFrames(position);
            (void)ring->mTimeStamps.GetTimeStamp(position);
            break;
        default:
            ring->writeFrames(nullptr, frames, 0, audioInt32CopySet, nullptr);
            break;
        }
    }
}

void fuzzMidiQueue(Input& in)
{
    // Exactly as large as the queue it holds, so a write past the data area is caught.
    const uint16_t wanted = in.take<uint16_t>() % (MidiQueue::kMaxSize + 1);
    const uint32_t size = wanted < MidiQueue::kMinSize ? MidiQueue::kMinSize : wanted;
    std::vector<uint8_t> block(sizeof(MidiQueue) + size);
    auto* queue = reinterpret_cast<MidiQueue*>(block.data());
    queue->init(size);
    // The data area this side allocated; a header written by someone else may claim more.
    const uint32_t capacity = queue->mSize;
    if (in.take<uint8_t>() & 1) {
        in.fill(queue, sizeof(MidiQueue));
    }
    std::vector<uint8_t> buffer(2 * MidiQueue::kMaxSize);
    while (!in.empty()) {
        const uint8_t op = in.take<uint8_t>();
        const auto count = static_cast<int32_t>(in.take<int16_t>());
        const int32_t clamped =
            count > 0 ? std::min<int32_t>(count, static_cast<int32_t>(buffer.size())) : count;
        int32_t used = 0;
        int32_t free = 0;
        switch (op % 4) {
        case 0:
            queue->put(buffer.data(), clamped, capacity);
            break;
        case 1:
            queue->get(buffer.data(), clamped, capacity);
            break;
        case 2:
            queue->put(nullptr, clamped, capacity);
            break;
        default:
            queue->getLength(used, free);
            break;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool quiet = [] {
        platform::log::setDestination(platform::log::Channel::standardOutput, nullptr);
        platform::log::setDestination(platform::log::Channel::system, nullptr);
        return true;
    }();
    (void)quiet;
    Input in{data, size};
    if (in.take<uint8_t>() & 1) {
        fuzzMidiQueue(in);
    } else {
        fuzzRing(in);
    }
    return 0;
}
