// The trace of the legacy plug-in and the control application: system-log lines at priority 4,
// each headed "HAL: " and two spaces per open scope.
#include "VKIOTrace.h"

#include <algorithm>
#include <string>

#include "platform/Log.h"

std::atomic<int> VKIOTrace::iCountNestedTraces{0};

namespace {

// Deeper nesting than this only means a scope leaked; the lines stay readable.
constexpr int kMaxIndent = 32;

std::string header(int depth)
{
    return "HAL: " + std::string(static_cast<size_t>(std::clamp(depth, 0, kMaxIndent)) * 2, ' ');
}

} // namespace

void VKIOTrace::enter(int value)
{
    const int depth = iCountNestedTraces.fetch_add(1);
    platform::syslog(platform::log::kPriorityWarning, "+%s %s %i\n", header(depth).c_str(), m_name, value);
}

void VKIOTrace::enter(void* pointer)
{
    const int depth = iCountNestedTraces.fetch_add(1);
    platform::syslog(platform::log::kPriorityWarning, "+%s %s %p\n", header(depth).c_str(), m_name, pointer);
}

void VKIOTrace::leave()
{
    const int depth = iCountNestedTraces.fetch_sub(1) - 1;
    platform::syslog(platform::log::kPriorityWarning, "-%s %s %p\n", header(depth).c_str(), m_name,
                     m_pointer);
}

void VKIOTrace::traceValues(const char* message, int a, int b)
{
    platform::syslog(platform::log::kPriorityWarning, "%s %s %d %d\n",
                     header(iCountNestedTraces.load()).c_str(), message, a, b);
}
