#include "platform/RealTime.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace platform::realtime {
namespace {

thread_local uint32_t t_depth = 0; // sections entered and not left; 0 inside a Lifted scope

std::atomic<uint64_t> g_violations{0};
std::atomic<const char*> g_last{nullptr};
std::atomic<Handler> g_handler{nullptr};

bool strictFromEnvironment()
{
    const char* value = std::getenv("VK_REALTIME_STRICT");
    return value != nullptr && std::strcmp(value, "1") == 0;
}

std::atomic<bool>& strictFlag()
{
    static std::atomic<bool> flag{strictFromEnvironment()};
    return flag;
}

// Read when the program loads, before any thread could be marked.
[[maybe_unused]] const bool g_strictRead = strictFlag().load();

// Writes without the log (the log is one of the checked calls) and without allocating.
void abortNaming(const char* call)
{
    char line[256];
    const int length =
        std::snprintf(line, sizeof line, "real-time violation: %s called under the real-time mark\n",
                      call != nullptr ? call : "?");
    if (length > 0) {
        [[maybe_unused]] const ssize_t written =
            ::write(STDERR_FILENO, line, static_cast<size_t>(std::min<int>(length, sizeof line - 1)));
    }
    std::abort();
}

} // namespace

bool marked()
{
    return t_depth != 0;
}

Section::Section()
{
    ++t_depth;
}

Section::~Section()
{
    if (t_depth != 0) {
        --t_depth;
    }
}

Lifted::Lifted() : m_depth(t_depth)
{
    t_depth = 0;
}

Lifted::~Lifted()
{
    t_depth = m_depth;
}

void check(const char* call)
{
    if (t_depth == 0) {
        return;
    }
    g_violations.fetch_add(1, std::memory_order_relaxed);
    g_last.store(call, std::memory_order_relaxed);
    Lifted lifted; // the handler may log
    if (Handler handler = g_handler.load(std::memory_order_acquire)) {
        handler(call);
        return;
    }
    if (strictFlag().load(std::memory_order_relaxed)) {
        abortNaming(call);
    }
}

uint64_t violations()
{
    return g_violations.load(std::memory_order_relaxed);
}

const char* lastViolation()
{
    return g_last.load(std::memory_order_relaxed);
}

Handler setHandler(Handler handler)
{
    return g_handler.exchange(handler, std::memory_order_acq_rel);
}

bool setStrict(bool on)
{
    return strictFlag().exchange(on);
}

bool strict()
{
    return strictFlag().load();
}

} // namespace platform::realtime
