// Holds one reference for a test and gives it back at the end of the scope.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

template <class T> class Owned
{
public:
    Owned(T ref = nullptr) : m_ref(ref) {}
    ~Owned() { CFRelease(m_ref); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned& operator=(T ref)
    {
        CFRelease(m_ref);
        m_ref = ref;
        return *this;
    }
    T get() const { return m_ref; }
    operator T() const { return m_ref; }
    T* out() { return &m_ref; }

private:
    T m_ref;
};

inline std::string text(CFStringRef s)
{
    char buffer[4096];
    return CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8) ? buffer : "<not convertible>";
}
