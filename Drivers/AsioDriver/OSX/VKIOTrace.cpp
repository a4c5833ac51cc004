// The trace of the legacy plug-in and the control application: system-log lines at priority 4,
// each headed "HAL: " and two spaces per open scope, the head at most 71 characters (a 72-byte
// buffer with its terminator: deeper scopes are not indented further).
#include "VKIOTrace.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/Log.h"

std::atomic<int> VKIOTrace::iCountNestedTraces{0};

namespace {

constexpr size_t kHeaderBuffer = 72;

std::string header(int depth)
{
    std::string head = "HAL: ";
    const size_t room = kHeaderBuffer - 1 - head.size();
    head.append(std::min(static_cast<size_t>(std::max(depth, 0)) * 2, room), ' ');
    return head;
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
        platform::syslog(platform::log::kPriorityWarning, "%s %s  %p\n", header(iCountNestedTraces.load()).c_str(),
                         text, p);
    } else {
        platform::syslog(platform::log::kPriorityWarning, "%s %s  %p  %p\n",
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

void VKIOTrace::writePointerInt(const char* text, const void* p, int value)
{
    platform::syslog(platform::log::kPriorityWarning, "%s %s  %p %d\n", header(iCountNestedTraces.load()).c_str(),
                     text, p, value);
}

void VKIOTrace::writeDouble(const char* text, double value)
{
    platform::syslog(platform::log::kPriorityWarning, "%s %s %.2f\n", header(iCountNestedTraces.load()).c_str(),
                     text, value);
}

void VKIOTrace::writeCode(const char* text, unsigned int code)
{
    const char characters[5] = {static_cast<char>(code >> 24), static_cast<char>(code >> 16),
                                static_cast<char>(code >> 8), static_cast<char>(code), '\0'};
    platform::syslog(platform::log::kPriorityWarning, "%s %s %s\n", header(iCountNestedTraces.load()).c_str(), text,
                     characters);
}

void DbgPrint(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    platform::vsyslog(platform::log::kPriorityWarning, format, args);
    va_end(args);
}
