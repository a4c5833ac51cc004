// The kernel's trace: IOLog lines headed by a running line number ("%06d: ") and two spaces per
// open scope. The line number is raised atomically and each thread builds its head in a buffer
// of its own, so concurrent lines never garble each other's heads (their indentation may mix).
#include "VKIOTrace.h"

#include <cstdio>
#include <cstring>

#include "IOKit/IOLib.h"
#include "platform/RealTime.h"

std::atomic<int> VKIOTrace::iCountNestedTraces{0};

namespace {

constexpr size_t kHeaderSize = 512;
// Longest text a tracelog line keeps.
constexpr size_t kLogTextSize = 1000;

std::atomic<int> traceCounterTotal{0};

// The head of the next line at `depth`, cut to 511 characters.
const char* header(int depth)
{
    platform::realtime::check("kernel trace");
    thread_local char headerChar[kHeaderSize];
    const int number = traceCounterTotal.fetch_add(1, std::memory_order_relaxed) + 1;
    int length = std::snprintf(headerChar, kHeaderSize, "%06d: ", number);
    if (length < 0) {
        length = 0;
    }
    size_t used = static_cast<size_t>(length) < kHeaderSize ? static_cast<size_t>(length) : kHeaderSize - 1;
    for (int level = 0; level < depth && used < kHeaderSize - 1; ++level) {
        headerChar[used++] = ' ';
        if (used < kHeaderSize - 1) {
            headerChar[used++] = ' ';
        }
    }
    headerChar[used] = '\0';
    return headerChar;
}

const char* currentHeader()
{
    return header(VKIOTrace::iCountNestedTraces.load(std::memory_order_relaxed));
}

} // namespace

void VKIOTrace::enter(int value)
{
    const char* head = header(iCountNestedTraces.fetch_add(1, std::memory_order_relaxed));
    IOLog("%s+%s %d\n", head, m_name, value);
}

void VKIOTrace::enter(const void* pointer)
{
    const char* head = header(iCountNestedTraces.fetch_add(1, std::memory_order_relaxed));
    IOLog("%s+%s 0x%p\n", head, m_name, pointer);
}

void VKIOTrace::leave()
{
    const char* head = header(iCountNestedTraces.fetch_sub(1, std::memory_order_relaxed) - 1);
    IOLog("%s-%s\n", head, m_name);
}

void VKIOTrace::writeInts(const char* text, int count, int a, int b, int c, int d)
{
    const char* head = currentHeader();
    switch (count) {
    case 0:
        IOLog("%s%s\n", head, text);
        break;
    case 1:
        IOLog("%s%s %d\n", head, text, a);
        break;
    case 2:
        IOLog("%s%s %d %d\n", head, text, a, b);
        break;
    case 3:
        IOLog("%s%s %d %d %d\n", head, text, a, b, c);
        break;
    default:
        IOLog("%s%s %d %d %d %d\n", head, text, a, b, c, d);
        break;
    }
}

void VKIOTrace::writePointers(const char* text, int count, const void* p, const void* q)
{
    const char* head = currentHeader();
    if (count < 2) {
        IOLog("%s%s 0x%p\n", head, text, p);
    } else {
        IOLog("%s%s 0x%p 0x%p\n", head, text, p, q);
    }
}

void VKIOTrace::writeHex(const char* text, int count, int a, int b, int c)
{
    const char* head = currentHeader();
    const auto x = [](int v) { return static_cast<unsigned>(v); };
    switch (count) {
    case 1:
        IOLog("%s%s 0x%08X\n", head, text, x(a));
        break;
    case 2:
        IOLog("%s%s 0x%08X 0x%08X\n", head, text, x(a), x(b));
        break;
    default:
        IOLog("%s%s 0x%08X 0x%08X 0x%08X\n", head, text, x(a), x(b), x(c));
        break;
    }
}

void VKIOTrace::writePointerInt(const char* text, const void* p, int value)
{
    IOLog("%s%s 0x%p %d\n", currentHeader(), text, p, value);
}

void VKIOTrace::writeString(const char* text, const char* string)
{
    IOLog("%s%s %s\n", currentHeader(), text, string != nullptr ? string : "(null)");
}

void VKIOTrace::writeLog(const char* format, va_list args)
{
    // Formatted first, so the head and the caller's text reach the log as one piece.
    thread_local char text[kLogTextSize];
    std::vsnprintf(text, sizeof text, format, args);
    IOLog("%s%s", currentHeader(), text);
}
