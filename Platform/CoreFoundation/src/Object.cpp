#include "Object.h"

#include <cstdio>
#include <limits>

namespace platform::cf {

void Object::retain() const
{
    if (!m_immortal) {
        m_references.fetch_add(1, std::memory_order_relaxed);
    }
}

bool Object::tryRetain() const
{
    if (m_immortal) {
        return true;
    }
    CFIndex count = m_references.load(std::memory_order_relaxed);
    while (count > 0) {
        if (m_references.compare_exchange_weak(count, count + 1, std::memory_order_acq_rel)) {
            return true;
        }
    }
    return false;
}

void Object::release() const
{
    if (m_immortal) {
        return;
    }
    if (m_references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete this;
    }
}

CFIndex Object::retainCount() const
{
    return m_immortal ? std::numeric_limits<CFIndex>::max() : m_references.load(std::memory_order_relaxed);
}

std::string Object::describe(int) const
{
    char text[64];
    std::snprintf(text, sizeof text, "<CFType %lu %p>", type(), static_cast<const void*>(this));
    return text;
}

std::string describe(CFTypeRef ref, int depth)
{
    if (ref == nullptr) {
        return "(null)";
    }
    if (depth > kMaxNesting) {
        return "...";
    }
    return object(ref)->describe(depth);
}

void setError(CFErrorRef* error, CFIndex code, const std::string& description)
{
    if (error != nullptr) {
        *error = new Error(code, description);
    }
}

} // namespace platform::cf

using namespace platform::cf;

CFTypeRef CFRetain(CFTypeRef ref)
{
    if (ref != nullptr) {
        object(ref)->retain();
    }
    return ref;
}

void CFRelease(CFTypeRef ref)
{
    if (ref != nullptr) {
        object(ref)->release();
    }
}

CFIndex CFGetRetainCount(CFTypeRef ref)
{
    return ref == nullptr ? 0 : object(ref)->retainCount();
}

CFTypeID CFGetTypeID(CFTypeRef ref)
{
    return ref == nullptr ? 0 : object(ref)->type();
}

Boolean CFEqual(CFTypeRef a, CFTypeRef b)
{
    if (a == b) {
        return true;
    }
    if (a == nullptr || b == nullptr || object(a)->type() != object(b)->type()) {
        return false;
    }
    return object(a)->equals(*object(b));
}

CFHashCode CFHash(CFTypeRef ref)
{
    return ref == nullptr ? 0 : object(ref)->hash();
}

CFStringRef CFCopyDescription(CFTypeRef ref)
{
    return ref == nullptr ? nullptr : createString(describe(ref));
}

void CFShow(CFTypeRef ref)
{
    const std::string text = describe(ref);
    std::fprintf(stderr, "%s\n", text.c_str());
}

CFTypeID CFErrorGetTypeID()
{
    return Error::kTypeID;
}

CFIndex CFErrorGetCode(CFErrorRef error)
{
    const auto* e = as<Error>(error);
    return e == nullptr ? 0 : e->code();
}

CFStringRef CFErrorCopyDescription(CFErrorRef error)
{
    const auto* e = as<Error>(error);
    return e == nullptr ? nullptr : createString(e->description());
}
