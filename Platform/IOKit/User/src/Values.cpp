// Property values between CoreFoundation and the wire.
#include <climits>

#include "platform/IOKitUser.h"

namespace platform::iokit::user {
namespace {

std::optional<std::string> text(CFStringRef string)
{
    if (string == nullptr || CFGetTypeID(string) != CFStringGetTypeID()) {
        return std::nullopt;
    }
    const CFIndex size =
        CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8) + 1;
    std::string out(static_cast<size_t>(size), '\0');
    if (!CFStringGetCString(string, out.data(), size, kCFStringEncodingUTF8)) {
        return std::nullopt;
    }
    out.resize(std::char_traits<char>::length(out.c_str()));
    return out;
}

std::optional<wire::Value> convert(CFTypeRef value, int depth)
{
    if (value == nullptr || depth > wire::kMaximumDepth) {
        return std::nullopt;
    }
    const CFTypeID type = CFGetTypeID(value);
    if (type == CFStringGetTypeID()) {
        auto s = text(static_cast<CFStringRef>(value));
        return s ? std::optional(wire::Value::string(std::move(*s))) : std::nullopt;
    }
    if (type == CFDataGetTypeID()) {
        auto data = static_cast<CFDataRef>(value);
        wire::Value v(wire::Value::Kind::Data);
        v.bytes.assign(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                       static_cast<size_t>(CFDataGetLength(data)));
        return v;
    }
    if (type == CFBooleanGetTypeID()) {
        wire::Value v(wire::Value::Kind::Boolean);
        v.number = CFBooleanGetValue(static_cast<CFBooleanRef>(value)) ? 1 : 0;
        return v;
    }
    if (type == CFNumberGetTypeID()) {
        auto number = static_cast<CFNumberRef>(value);
        if (CFNumberIsFloatType(number)) {
            return std::nullopt;
        }
        SInt64 n = 0;
        CFNumberGetValue(number, kCFNumberSInt64Type, &n);
        const CFIndex size = CFNumberGetByteSize(number);
        const uint8_t bits = size <= 1 ? 8 : size <= 2 ? 16 : size <= 4 ? 32 : 64;
        const uint64_t mask = bits == 64 ? ~0ULL : (1ULL << bits) - 1;
        return wire::Value::integer(static_cast<uint64_t>(n) & mask, bits);
    }
    if (type == CFArrayGetTypeID()) {
        auto array = static_cast<CFArrayRef>(value);
        wire::Value v(wire::Value::Kind::Array);
        for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
            auto element = convert(CFArrayGetValueAtIndex(array, i), depth + 1);
            if (!element) {
                return std::nullopt;
            }
            v.elements.push_back(std::move(*element));
        }
        return v;
    }
    if (type == CFDictionaryGetTypeID()) {
        auto dictionary = static_cast<CFDictionaryRef>(value);
        const CFIndex count = CFDictionaryGetCount(dictionary);
        std::vector<const void*> keys(static_cast<size_t>(count));
        std::vector<const void*> values(static_cast<size_t>(count));
        CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
        wire::Value v = wire::Value::dictionary();
        for (CFIndex i = 0; i < count; ++i) {
            auto key = text(static_cast<CFStringRef>(keys[static_cast<size_t>(i)]));
            auto element = convert(values[static_cast<size_t>(i)], depth + 1);
            if (!key || !element) {
                return std::nullopt;
            }
            v.entries.emplace_back(std::move(*key), std::move(*element));
        }
        return v;
    }
    return std::nullopt;
}

} // namespace

std::optional<wire::Value> wireValue(CFTypeRef value)
{
    return convert(value, 0);
}

CFTypeRef createCFValue(const wire::Value& value)
{
    switch (value.kind) {
    case wire::Value::Kind::Dictionary: {
        CFMutableDictionaryRef d = CFDictionaryCreateMutable(
            kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
        for (const auto& [key, element] : value.entries) {
            CFStringRef k =
                CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(key.data()),
                                        static_cast<CFIndex>(key.size()), kCFStringEncodingUTF8, false);
            CFTypeRef v = createCFValue(element);
            if (k != nullptr && v != nullptr) {
                CFDictionarySetValue(d, k, v);
            }
            if (k != nullptr) {
                CFRelease(k);
            }
            if (v != nullptr) {
                CFRelease(v);
            }
        }
        return d;
    }
    case wire::Value::Kind::Array: {
        CFMutableArrayRef a = CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks);
        for (const auto& element : value.elements) {
            if (CFTypeRef v = createCFValue(element)) {
                CFArrayAppendValue(a, v);
                CFRelease(v);
            }
        }
        return a;
    }
    case wire::Value::Kind::String:
        return CFStringCreateWithBytes(
            kCFAllocatorDefault, reinterpret_cast<const UInt8*>(value.bytes.data()),
            static_cast<CFIndex>(value.bytes.size()), kCFStringEncodingUTF8, false);
    case wire::Value::Kind::Data:
        return CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(value.bytes.data()),
                            static_cast<CFIndex>(value.bytes.size()));
    case wire::Value::Kind::Number: {
        // Kernel numbers are unsigned of their width; one that a signed 32-bit number cannot
        // hold becomes a 64-bit one.
        if (value.bits <= 32 && value.number <= static_cast<uint64_t>(INT32_MAX)) {
            const SInt32 n = static_cast<SInt32>(value.number);
            return CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &n);
        }
        const SInt64 n = static_cast<SInt64>(value.number);
        return CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &n);
    }
    case wire::Value::Kind::Boolean:
        return CFRetain(value.number != 0 ? kCFBooleanTrue : kCFBooleanFalse);
    }
    return nullptr;
}

} // namespace platform::iokit::user
