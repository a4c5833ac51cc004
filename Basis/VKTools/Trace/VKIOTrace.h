// Scoped trace object. One interface, one implementation per deliverable (the kernel, the legacy
// plug-in and control application, the AudioServer plug-in), chosen when the deliverable is
// linked; shared code traces without knowing which one it gets.
//
// A trace object with a null name is silent and costs a test of one pointer, so it may sit on
// real-time paths. A named one writes an entry line when made, an exit line when destroyed, and
// indents both by the number of scopes currently open in the process. Tracing never changes a
// result, never fails and never blocks the caller beyond writing its line.
#pragma once

#include <atomic>

class VKIOTrace
{
public:
    VKIOTrace(const char* name, int value) : m_name(name)
    {
        if (m_name != nullptr) {
            enter(value);
        }
    }
    VKIOTrace(const char* name, void* pointer) : m_name(name), m_pointer(pointer)
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

    void trace(const char* message, int a, int b)
    {
        if (m_name != nullptr) {
            traceValues(message, a, b);
        }
    }

    // Scopes open in the process. Atomic so that concurrent scopes cannot make it drift; the
    // indentation of lines written from several threads at once may still interleave.
    static std::atomic<int> iCountNestedTraces;

private:
    void enter(int value);
    void enter(void* pointer);
    void leave();
    void traceValues(const char* message, int a, int b);

    const char* m_name;
    void* m_pointer = nullptr;
};
