#include "QzAudioServerProbes.h"

#include <algorithm>

namespace QzAudioServer {
namespace {

std::atomic<Receiver> gReceiver{nullptr};
std::atomic<void*> gContext{nullptr};

} // namespace

namespace detail {

std::atomic<bool> gEnabled[kProbeCount] = {};

void fire(Probe probe, int count, const int64_t* arguments)
{
    const Receiver receiver = gReceiver.load(std::memory_order_acquire);
    if (receiver == nullptr) {
        return;
    }
    Firing firing{probe, std::clamp(count, 0, 8), {}};
    std::copy_n(arguments, firing.count, firing.arguments);
    receiver(firing, gContext.load(std::memory_order_relaxed));
}

} // namespace detail

void setReceiver(Receiver receiver, void* context, unsigned mask)
{
    gContext.store(context, std::memory_order_relaxed);
    gReceiver.store(receiver, std::memory_order_release);
    for (int probe = 0; probe < kProbeCount; ++probe) {
        detail::gEnabled[probe].store(receiver != nullptr && (mask & (1U << probe)) != 0, std::memory_order_relaxed);
    }
}

} // namespace QzAudioServer
