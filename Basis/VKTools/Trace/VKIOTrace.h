// Scoped trace object. One interface, one implementation per deliverable (the kernel, the legacy
// plug-in and control application, the AudioServer plug-in), chosen when the deliverable is
// linked; shared code traces without knowing which one it gets.
//
// A trace object with a null name is silent and costs a test of one pointer, so it may sit on
// real-time paths. A named one writes an entry line when made, an exit line when destroyed, and
// indents both by the number of scopes currently open in the process. Tracing never changes a
// result, never fails and never blocks the caller beyond writing its line.
//
// Every implementation provides the operations above the "kernel" mark; the kernel's adds those
// below it, and the user side's (legacy plug-in and control application) those below the "user
// side" mark (linking them into another deliverable fails at link time, not at run time).
#pragma once

#include <atomic>
#include <cstdarg>

class VKIOTrace
{
public:
    VKIOTrace(const char* name, int value) : m_callNumber(nextCallNumber()), m_name(name)
    {
        if (m_name != nullptr) {
            enter(value);
        }
    }
    VKIOTrace(const char* name, const void* pointer)
        : m_callNumber(nextCallNumber()), m_name(name), m_pointer(pointer)
    {
        if (m_name != nullptr) {
            enter(pointer);
        }
    }
    ~VKIOTrace()
    {
        if (m_name != nullptr) {
            leave();
        }
    }
    VKIOTrace(const VKIOTrace&) = delete;
    VKIOTrace& operator=(const VKIOTrace&) = delete;

    // The text and up to three integers in decimal.
    void trace(const char* text) { ints(text, 0, 0, 0, 0, 0); }
    void trace(const char* text, int a) { ints(text, 1, a, 0, 0, 0); }
    void trace(const char* text, int a, int b) { ints(text, 2, a, b, 0, 0); }
    void trace(const char* text, int a, int b, int c) { ints(text, 3, a, b, c, 0); }
    // The text and one or two pointers.
    void traceptr1(const char* text, const void* p) { pointers(text, 1, p, nullptr); }
    void traceptr2(const char* text, const void* p, const void* q) { pointers(text, 2, p, q); }
    // The text and integers as eight hexadecimal digits.
    void tracex(const char* text, int a) { hex(text, 1, a, 0, 0); }
    void tracex2(const char* text, int a, int b) { hex(text, 2, a, b, 0); }
    void tracex3(const char* text, int a, int b, int c) { hex(text, 3, a, b, c); }

    // --- kernel
    void trace(const char* text, int a, int b, int c, int d) { ints(text, 4, a, b, c, d); }
    void traceptr_i(const char* text, const void* p, int value)
    {
        if (m_name != nullptr) {
            writePointerInt(text, p, value);
        }
    }
    void traces(const char* text, const char* string)
    {
        if (m_name != nullptr) {
            writeString(text, string);
        }
    }
    // A printf-style line; the format supplies its own line end.
    void tracelog(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        if (m_name != nullptr) {
            va_list args;
            va_start(args, format);
            writeLog(format, args);
            va_end(args);
        }
    }

    // --- user side
    void tracef(const char* text, double a)
    {
        if (m_name != nullptr) {
            writeDouble(text, a);
        }
    }
    void traceptr1_i(const char* text, const void* p, int value)
    {
        if (m_name != nullptr) {
            writePointerInt(text, p, value);
        }
    }
    // The code as four characters, most significant byte first.
    void trace4c(const char* text, unsigned int code)
    {
        if (m_name != nullptr) {
            writeCode(text, code);
        }
    }

    // Scopes open in the process. Atomic so that concurrent scopes cannot make it drift; the
    // indentation of lines written from several threads at once may still interleave.
    static std::atomic<int> iCountNestedTraces;
    // Scopes made in the process, named or silent: the first one is number 1.
    static inline std::atomic<int> iTracefnCounter{0};

private:
    static int nextCallNumber() { return iTracefnCounter.fetch_add(1, std::memory_order_relaxed) + 1; }

    void ints(const char* text, int count, int a, int b, int c, int d)
    {
        if (m_name != nullptr) {
            writeInts(text, count, a, b, c, d);
        }
    }
    void pointers(const char* text, int count, const void* p, const void* q)
    {
        if (m_name != nullptr) {
            writePointers(text, count, p, q);
        }
    }
    void hex(const char* text, int count, int a, int b, int c)
    {
        if (m_name != nullptr) {
            writeHex(text, count, a, b, c);
        }
    }

    // One implementation per deliverable; called only for a named object.
    void enter(int value);
    void enter(const void* pointer);
    void leave();
    void writeInts(const char* text, int count, int a, int b, int c, int d);
    void writePointers(const char* text, int count, const void* p, const void* q);
    void writeHex(const char* text, int count, int a, int b, int c);
    // Kernel and user side.
    void writePointerInt(const char* text, const void* p, int value);
    // User side only.
    void writeDouble(const char* text, double value);
    void writeCode(const char* text, unsigned int code);
    // Kernel only.
    void writeString(const char* text, const char* string);
    void writeLog(const char* format, va_list args) __attribute__((format(printf, 2, 0)));

    // This scope's number (printed by the flavours that number their scopes).
    [[maybe_unused]] int m_callNumber;
    const char* m_name;
    // Printed again on leaving by some flavours, not by others.
    [[maybe_unused]] const void* m_pointer = nullptr;
};

// User side: a printf-style line to the system log at priority 4.
void DbgPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
