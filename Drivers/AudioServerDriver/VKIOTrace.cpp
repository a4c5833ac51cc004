// The trace of the AudioServer plug-in: system-log lines at priority 4, each headed "ASD " and two
// spaces per open scope, entry and exit lines carrying the scope's number. The head stops growing
// at 30 levels, so deep nesting never outgrows its buffer.
#include "VKIOTrace.h"

#include <algorithm>
#include <cstdio>

#include "platform/Log.h"

std::atomic<int> VKIOTrace::iCountNestedTraces{0};

namespace {

constexpr int kMaxIndentLevels = 30;

struct Head
{
    char text[4 + 2 * kMaxIndentLevels + 1];
};

Head head(int depth)
{
    Head result{};
    const int levels = std::clamp(depth, 0, kMaxIndentLevels);
    std::snprintf(result.text, sizeof result.text, "ASD %*s", 2 * levels, "");
    return result;
}

Head currentHead()
{
    return head(VKIOTrace::iCountNestedTraces.load(std::memory_order_relaxed));
}

constexpr int kPriority = platform::log::kPriorityWarning;

} // namespace

void VKIOTrace::enter(int value)
{
    const int depth = iCountNestedTraces.fetch_add(1, std::memory_order_relaxed);
    platform::syslog(kPriority, "+%s %s %i %d\n", head(depth).text, m_name, value, m_callNumber);
}

void VKIOTrace::enter(const void* pointer)
{
    const int depth = iCountNestedTraces.fetch_add(1, std::memory_order_relaxed);
    platform::syslog(kPriority, "+%s %s %p %d\n", head(depth).text, m_name, pointer, m_callNumber);
}

void VKIOTrace::leave()
{
    const int depth = iCountNestedTraces.fetch_sub(1, std::memory_order_relaxed) - 1;
    platform::syslog(kPriority, "-%s %s %d\n", head(depth).text, m_name, m_callNumber);
}

void VKIOTrace::writeInts(const char* text, int count, int a, int b, int c, int d)
{
    const Head prefix = currentHead();
    switch (count) {
    case 0:
        platform::syslog(kPriority, "%s %s\n", prefix.text, text);
        break;
    case 1:
        platform::syslog(kPriority, "%s %s %d\n", prefix.text, text, a);
        break;
    case 2:
        platform::syslog(kPriority, "%s %s %d %d\n", prefix.text, text, a, b);
        break;
    case 3:
        platform::syslog(kPriority, "%s %s %d %d %d\n", prefix.text, text, a, b, c);
        break;
    default:
        platform::syslog(kPriority, "%s %s %d %d %d %d\n", prefix.text, text, a, b, c, d);
        break;
    }
}

void VKIOTrace::writePointers(const char* text, int count, const void* p, const void* q)
{
    if (count < 2) {
        platform::syslog(kPriority, "%s %s  %p\n", currentHead().text, text, p);
    } else {
        platform::syslog(kPriority, "%s %s  %p  %p\n", currentHead().text, text, p, q);
    }
}

void VKIOTrace::writeHex(const char* text, int count, int a, int b, int c)
{
    const Head prefix = currentHead();
    const auto u = [](int value) { return static_cast<unsigned>(value); };
    if (count <= 1) {
        platform::syslog(kPriority, "%s %s 0x%08X\n", prefix.text, text, u(a));
    } else if (count == 2) {
        platform::syslog(kPriority, "%s %s 0x%08X 0x%08X\n", prefix.text, text, u(a), u(b));
    } else {
        platform::syslog(kPriority, "%s %s 0x%08X 0x%08X 0x%08X\n", prefix.text, text, u(a), u(b), u(c));
    }
}

void VKIOTrace::writePointerInt(const char* text, const void* p, int value)
{
    platform::syslog(kPriority, "%s %s  %p %d\n", currentHead().text, text, p, value);
}

void VKIOTrace::writeDouble(const char* text, double value)
{
    platform::syslog(kPriority, "%s %s %.2f\n", currentHead().text, text, value);
}

void VKIOTrace::writeCode(const char* text, unsigned int code)
{
    char characters[5];
    for (int i = 0; i < 4; ++i) {
        characters[i] = static_cast<char>((code >> (24 - 8 * i)) & 0xFF);
    }
    characters[4] = '\0';
    platform::syslog(kPriority, "%s %s %s\n", currentHead().text, text, characters);
}

void DbgPrint(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    platform::vsyslog(kPriority, format, args);
    va_end(args);
}
