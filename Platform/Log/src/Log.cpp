#include "platform/Log.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/RealTime.h"

namespace platform::log {
namespace {

// Writers hand their text to the channels through a bounded lock-free queue: a writer formats
// into its own stack buffer and claims a slot, so logging never locks, allocates or waits, and a
// real-time thread may log. One drainer at a time (a background thread, or a reader of a capture)
// moves queued text on to the channels. Text longer than a slot takes the slow path: it drains
// the queue first, so one thread's lines keep their order, then goes straight to its channel.
constexpr size_t kSlots = 1024;
constexpr size_t kSlotText = 1000;
constexpr auto kDrainInterval = std::chrono::milliseconds(20);

struct Slot
{
    std::atomic<uint64_t> sequence{0};
    Channel channel = Channel::kernel;
    int priority = 0;
    uint32_t length = 0;
    char text[kSlotText];
};

struct ChannelState
{
    FILE* destination = nullptr;
    bool capturing = false;
    std::vector<Line> captured;
    std::string pending; // text of a line not yet ended
    int pendingPriority = 0;
};

struct LogState
{
    std::array<Slot, kSlots> slots;
    std::atomic<uint64_t> enqueuePosition{0};
    std::atomic<uint64_t> dropped{0};

    std::mutex mutex; // the drainer's lock: guards everything below
    uint64_t dequeuePosition = 0;
    std::array<ChannelState, 3> channels;

    LogState()
    {
        for (uint64_t i = 0; i < kSlots; ++i) {
            slots[i].sequence.store(i, std::memory_order_relaxed);
        }
        channels[static_cast<size_t>(Channel::kernel)].destination = stderr;
        channels[static_cast<size_t>(Channel::system)].destination = stderr;
        channels[static_cast<size_t>(Channel::standardOutput)].destination = stdout;
    }
};

void drainLocked(LogState& s);

void startDrainer(LogState& s)
{
    std::thread([&s] {
        for (;;) {
            std::this_thread::sleep_for(kDrainInterval);
            std::lock_guard lock(s.mutex);
            drainLocked(s);
        }
    }).detach();
    std::atexit([] {
        // Runs before static destruction; the state itself is never destroyed, so the drainer
        // thread can outlive main safely.
        flush();
    });
}

LogState& state()
{
    static LogState* s = [] {
        auto* created = new LogState();
        startDrainer(*created);
        return created;
    }();
    return *s;
}

// Set up when the program (or the library) loads, so that no thread, least of all a real-time
// one, pays for it with its first line.
[[maybe_unused]] const bool g_started = (state(), true);

ChannelState& channelLocked(LogState& s, Channel channel)
{
    return s.channels[static_cast<size_t>(channel)];
}

void emitLocked(Channel channel, ChannelState& c, int priority, const std::string& text)
{
    if (c.capturing) {
        c.captured.push_back({priority, text});
        return;
    }
    if (c.destination == nullptr) {
        return;
    }
    if (channel == Channel::system) {
        std::fprintf(c.destination, "syslog[%d]: %s\n", priority, text.c_str());
    } else {
        std::fprintf(c.destination, "%s\n", text.c_str());
    }
    std::fflush(c.destination);
}

// Splits text into lines; on the streams a piece without a line end waits for the rest of its line.
void appendLocked(LogState& s, Channel channel, int priority, const char* text, size_t length)
{
    auto& c = channelLocked(s, channel);
    if (c.pending.empty()) {
        c.pendingPriority = priority;
    }
    size_t start = 0;
    for (size_t end = start; end < length; ++end) {
        if (text[end] == '\n') {
            c.pending.append(text + start, end - start);
            emitLocked(channel, c, c.pendingPriority, c.pending);
            c.pending.clear();
            c.pendingPriority = priority;
            start = end + 1;
        }
    }
    c.pending.append(text + start, length - start);
    // A system-log call is one message whether or not it ends its line; the kernel log and
    // standard output are streams that join pieces until the line ends.
    if (channel == Channel::system && !c.pending.empty()) {
        emitLocked(channel, c, c.pendingPriority, c.pending);
        c.pending.clear();
    }
}

void drainLocked(LogState& s)
{
    for (;;) {
        Slot& slot = s.slots[s.dequeuePosition % kSlots];
        if (slot.sequence.load(std::memory_order_acquire) != s.dequeuePosition + 1) {
            break;
        }
        appendLocked(s, slot.channel, slot.priority, slot.text, slot.length);
        slot.sequence.store(s.dequeuePosition + kSlots, std::memory_order_release);
        ++s.dequeuePosition;
    }
    if (const uint64_t dropped = s.dropped.exchange(0, std::memory_order_relaxed); dropped != 0) {
        char text[64];
        const int n = std::snprintf(text, sizeof text, "log: %llu lines dropped\n",
                                    static_cast<unsigned long long>(dropped));
        appendLocked(s, Channel::kernel, 0, text, static_cast<size_t>(n));
    }
}

// Claims a slot and fills it; false when the queue is full.
bool enqueue(LogState& s, Channel channel, int priority, const char* text, size_t length)
{
    uint64_t position = s.enqueuePosition.load(std::memory_order_relaxed);
    for (;;) {
        Slot& slot = s.slots[position % kSlots];
        const uint64_t sequence = slot.sequence.load(std::memory_order_acquire);
        if (sequence == position) {
            if (s.enqueuePosition.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) {
                slot.channel = channel;
                slot.priority = priority;
                slot.length = static_cast<uint32_t>(length);
                std::memcpy(slot.text, text, length);
                slot.sequence.store(position + 1, std::memory_order_release);
                return true;
            }
        } else if (sequence < position) {
            return false; // the drainer has not freed this slot yet: full
        } else {
            position = s.enqueuePosition.load(std::memory_order_relaxed);
        }
    }
}

} // namespace

void vwrite(Channel channel, int priority, const char* format, va_list args)
{
    realtime::check(channel == Channel::kernel   ? "IOLog"
                    : channel == Channel::system ? "syslog"
                                                 : "printOut");
    auto& s = state();
    char text[kSlotText];
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(text, sizeof text, format, copy);
    va_end(copy);
    if (length < 0) {
        return;
    }
    if (static_cast<size_t>(length) < sizeof text) {
        if (!enqueue(s, channel, priority, text, static_cast<size_t>(length))) {
            s.dropped.fetch_add(1, std::memory_order_relaxed);
        }
        return;
    }
    // Too long for a slot: not a real-time caller's line.
    std::string whole(static_cast<size_t>(length), '\0');
    std::vsnprintf(whole.data(), whole.size() + 1, format, args);
    // Every line queued before this one goes first, including one whose writer has claimed its
    // slot but not yet filled it (that takes moments; the wait is bounded all the same).
    const uint64_t queuedBefore = s.enqueuePosition.load(std::memory_order_relaxed);
    std::lock_guard lock(s.mutex);
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    drainLocked(s);
    while (s.dequeuePosition < queuedBefore && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::yield();
        drainLocked(s);
    }
    appendLocked(s, channel, priority, whole.data(), whole.size());
}

void flush()
{
    auto& s = state();
    std::lock_guard lock(s.mutex);
    drainLocked(s);
}

void setDestination(Channel channel, FILE* stream)
{
    auto& s = state();
    std::lock_guard lock(s.mutex);
    drainLocked(s);
    channelLocked(s, channel).destination = stream;
}

Capture::Capture(Channel channel) : m_channel(channel)
{
    auto& s = state();
    std::lock_guard lock(s.mutex);
    drainLocked(s);
    auto& c = channelLocked(s, channel);
    c.capturing = true;
    c.captured.clear();
    c.pending.clear();
}

Capture::~Capture()
{
    auto& s = state();
    std::lock_guard lock(s.mutex);
    drainLocked(s);
    auto& c = channelLocked(s, m_channel);
    c.capturing = false;
    c.captured.clear();
    c.pending.clear();
}

std::vector<Line> Capture::lines() const
{
    auto& s = state();
    std::lock_guard lock(s.mutex);
    drainLocked(s);
    return channelLocked(s, m_channel).captured;
}

std::vector<std::string> Capture::texts() const
{
    std::vector<std::string> result;
    for (auto& line : lines()) {
        result.push_back(std::move(line.text));
    }
    return result;
}

bool Capture::contains(const std::string& fragment) const
{
    for (const auto& line : lines()) {
        if (line.text.find(fragment) != std::string::npos) {
            return true;
        }
    }
    return false;
}

void Capture::clear()
{
    auto& s = state();
    std::lock_guard lock(s.mutex);
    drainLocked(s);
    channelLocked(s, m_channel).captured.clear();
}

namespace {
thread_local KernelLineGate* currentGate = nullptr;
}

KernelLineGateScope::KernelLineGateScope(KernelLineGate* gate) : m_previous(currentGate)
{
    currentGate = gate;
}

KernelLineGateScope::~KernelLineGateScope()
{
    currentGate = m_previous;
}

} // namespace platform::log

void IOLog(const char* format, ...)
{
    using platform::log::currentGate;
    if (platform::log::KernelLineGate* gate = currentGate) {
        // The gate's own lines pass no gate.
        currentGate = nullptr;
        const bool admitted = gate->admit();
        currentGate = gate;
        if (!admitted) {
            return;
        }
    }
    va_list args;
    va_start(args, format);
    platform::log::vwrite(platform::log::Channel::kernel, 0, format, args);
    va_end(args);
}

namespace platform {

void syslog(int priority, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    log::vwrite(log::Channel::system, priority, format, args);
    va_end(args);
}

void vsyslog(int priority, const char* format, va_list args)
{
    log::vwrite(log::Channel::system, priority, format, args);
}

void printOut(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    log::vwrite(log::Channel::standardOutput, 0, format, args);
    va_end(args);
}

} // namespace platform
