// The trace of the legacy plug-in and the control application: system-log lines at priority 4,
// each headed "HAL: " and two spaces per open scope.
#include "VKIOTrace.h"

#include <algorithm>
#include <cstdio>
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

void VKIOTrace::enter(const void* pointer)
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

void VKIOTrace::writeInts(const char* text, int count, int a, int b, int c, int d)
{
    const int values[] = {a, b, c, d};
    std::string numbers;
    for (int i = 0; i < std::clamp(count, 0, 4); ++i) {
        numbers += ' ' + std::to_string(values[i]);
    }
    platform::syslog(platform::log::kPriorityWarning, "%s %s%s\n", header(iCountNestedTraces.load()).c_str(),
                     text, numbers.c_str());
}

void VKIOTrace::writePointers(const char* text, int count, const void* p, const void* q)
{
    if (count < 2) {
        platform::syslog(platform::log::kPriorityWarning, "%s %s %p\n", header(iCountNestedTraces.load()).c_str(),
                         text, p);
    } else {
        platform::syslog(platform::log::kPriorityWarning, "%s %s %p %p\n",
                         header(iCountNestedTraces.load()).c_str(), text, p, q);
    }
}

void VKIOTrace::writeHex(const char* text, int count, int a, int b, int c)
{
    const int values[] = {a, b, c};
    std::string numbers;
    for (int i = 0; i < std::clamp(count, 0, 3); ++i) {
        char digits[16];
        std::snprintf(digits, sizeof digits, " 0x%08X", static_cast<unsigned>(values[i]));
        numbers += digits;
    }
    platform::syslog(platform::log::kPriorityWarning, "%s %s%s\n", header(iCountNestedTraces.load()).c_str(),
                     text, numbers.c_str());
}
