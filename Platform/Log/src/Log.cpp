#include "platform/Log.h"

#include <array>
#include <mutex>

namespace platform::log {
namespace {

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
    std::mutex mutex;
    std::array<ChannelState, 3> channels;
    LogState()
    {
        channels[static_cast<size_t>(Channel::kernel)].destination = stderr;
        channels[static_cast<size_t>(Channel::system)].destination = stderr;
        channels[static_cast<size_t>(Channel::standardOutput)].destination = stdout;
    }
};

LogState& state()
{
    static LogState s;
    return s;
}

ChannelState& channelLocked(Channel channel)
{
    return state().channels[static_cast<size_t>(channel)];
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

} // namespace

void vwrite(Channel channel, int priority, const char* format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length < 0) {
        return;
    }
    std::string text(static_cast<size_t>(length), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, args);

    std::lock_guard lock(state().mutex);
    auto& c = channelLocked(channel);
    if (c.pending.empty()) {
        c.pendingPriority = priority;
    }
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        c.pending.append(text, start, end - start);
        emitLocked(channel, c, c.pendingPriority, c.pending);
        c.pending.clear();
        c.pendingPriority = priority;
    }
    c.pending.append(text, start, std::string::npos);
}

void setDestination(Channel channel, FILE* stream)
{
    std::lock_guard lock(state().mutex);
    channelLocked(channel).destination = stream;
}

Capture::Capture(Channel channel) : m_channel(channel)
{
    std::lock_guard lock(state().mutex);
    auto& c = channelLocked(channel);
    c.capturing = true;
    c.captured.clear();
    c.pending.clear();
}

Capture::~Capture()
{
    std::lock_guard lock(state().mutex);
    auto& c = channelLocked(m_channel);
    c.capturing = false;
    c.captured.clear();
    c.pending.clear();
}

std::vector<Line> Capture::lines() const
{
    std::lock_guard lock(state().mutex);
    return channelLocked(m_channel).captured;
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
    std::lock_guard lock(state().mutex);
    channelLocked(m_channel).captured.clear();
}

} // namespace platform::log

void IOLog(const char* format, ...)
{
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
