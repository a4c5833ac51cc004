// Numbers, booleans, data blocks, UUIDs and URLs.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <map>
#include <mutex>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include "Object.h"
#include "platform/ProcessEnvironment.h"

namespace platform::cf {
namespace {

// Normalised kind of a number type; nullopt for an unknown type.
std::optional<CFNumberType> canonical(CFNumberType type)
{
    switch (type) {
    case kCFNumberSInt8Type:
    case kCFNumberCharType:
        return kCFNumberSInt8Type;
    case kCFNumberSInt16Type:
    case kCFNumberShortType:
        return kCFNumberSInt16Type;
    case kCFNumberSInt32Type:
    case kCFNumberIntType:
        return kCFNumberSInt32Type;
    case kCFNumberSInt64Type:
    case kCFNumberLongType:
    case kCFNumberLongLongType:
    case kCFNumberCFIndexType:
        return kCFNumberSInt64Type;
    case kCFNumberFloat32Type:
    case kCFNumberFloatType:
        return kCFNumberFloat32Type;
    case kCFNumberFloat64Type:
    case kCFNumberDoubleType:
        return kCFNumberFloat64Type;
    default:
        return std::nullopt;
    }
}

size_t byteSize(CFNumberType canonicalType)
{
    switch (canonicalType) {
    case kCFNumberSInt8Type:
        return 1;
    case kCFNumberSInt16Type:
        return 2;
    case kCFNumberSInt32Type:
    case kCFNumberFloat32Type:
        return 4;
    default:
        return 8;
    }
}

template <class T> bool storeInteger(const Number& n, void* out)
{
    T value;
    bool exact;
    if (n.isFloat()) {
        const double d = n.real();
        if (std::isnan(d)) {
            value = 0;
            exact = false;
        } else if (d <= static_cast<double>(std::numeric_limits<T>::min())) {
            value = std::numeric_limits<T>::min();
            exact = d == static_cast<double>(value);
        } else if (d >= static_cast<double>(std::numeric_limits<T>::max())) {
            value = std::numeric_limits<T>::max();
            exact = false;
        } else {
            value = static_cast<T>(d);
            exact = static_cast<double>(value) == d;
        }
    } else {
        value = static_cast<T>(n.integer());
        exact = static_cast<int64_t>(value) == n.integer();
    }
    std::memcpy(out, &value, sizeof value);
    return exact;
}

template <class T> bool storeFloat(const Number& n, void* out)
{
    const T value = n.isFloat() ? static_cast<T>(n.real()) : static_cast<T>(n.integer());
    std::memcpy(out, &value, sizeof value);
    if (n.isFloat()) {
        return std::isnan(n.real()) || static_cast<double>(value) == n.real();
    }
    return static_cast<double>(value) == static_cast<double>(n.integer()) &&
           static_cast<long double>(value) == static_cast<long double>(n.integer());
}

} // namespace

bool Number::equals(const Object& other) const
{
    const auto& o = static_cast<const Number&>(other);
    if (!m_isFloat && !o.m_isFloat) {
        return m_integer == o.m_integer;
    }
    return real() == o.real();
}

CFHashCode Number::hash() const
{
    const double d = real();
    if (!m_isFloat || d == std::floor(d)) {
        return static_cast<CFHashCode>(m_isFloat ? static_cast<int64_t>(d) : m_integer);
    }
    return std::hash<double>{}(d);
}

std::string Number::describe(int) const
{
    char text[64];
    if (m_isFloat) {
        std::snprintf(text, sizeof text, "%.17g", m_float);
    } else {
        std::snprintf(text, sizeof text, "%lld", static_cast<long long>(m_integer));
    }
    return text;
}

bool Data::equals(const Object& other) const
{
    return m_bytes == static_cast<const Data&>(other).m_bytes;
}

CFHashCode Data::hash() const
{
    return std::hash<std::string_view>{}(
        std::string_view(reinterpret_cast<const char*>(m_bytes.data()), m_bytes.size()));
}

std::string Data::describe(int) const
{
    constexpr size_t kShown = 64;
    std::string text = "{length = " + std::to_string(m_bytes.size()) + ", bytes = 0x";
    char hex[3];
    for (size_t i = 0; i < std::min(m_bytes.size(), kShown); ++i) {
        std::snprintf(hex, sizeof hex, "%02x", m_bytes[i]);
        text += hex;
    }
    if (m_bytes.size() > kShown) {
        text += "...";
    }
    return text + "}";
}

std::string UUID::text() const
{
    char out[37];
    const auto& b = m_bytes;
    std::snprintf(out, sizeof out, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return out;
}

bool UUID::equals(const Object& other) const
{
    return m_bytes == static_cast<const UUID&>(other).m_bytes;
}

CFHashCode UUID::hash() const
{
    CFHashCode h = 0;
    std::memcpy(&h, m_bytes.data(), sizeof h);
    return h;
}

URL::URL(std::string path, bool isDirectory)
    : Object(kTypeID), m_path(std::move(path)), m_isDirectory(isDirectory)
{
    if (m_isDirectory && m_path.back() != '/') {
        m_path.push_back('/');
    }
}

std::string URL::plainPath() const
{
    std::string p = m_path;
    while (p.size() > 1 && p.back() == '/') {
        p.pop_back();
    }
    return p;
}

std::string URL::hostPath() const
{
    // Resolved lexically first, so ".." can never climb out of the root folder.
    std::string path = std::filesystem::path(plainPath()).lexically_normal().string();
    while (path.rfind("/..", 0) == 0 && (path.size() == 3 || path[3] == '/')) {
        path.erase(0, 3);
    }
    return process::rootedPath(path.empty() ? "/" : path);
}

bool URL::equals(const Object& other) const
{
    const auto& o = static_cast<const URL&>(other);
    return m_path == o.m_path && m_isDirectory == o.m_isDirectory;
}

CFHashCode URL::hash() const
{
    return std::hash<std::string>{}(m_path);
}

} // namespace platform::cf

using namespace platform::cf;

// Numbers

CFTypeID CFNumberGetTypeID()
{
    return Number::kTypeID;
}

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType type, const void* valuePtr)
{
    const auto kind = canonical(type);
    if (!kind || valuePtr == nullptr) {
        return nullptr;
    }
    switch (*kind) {
    case kCFNumberSInt8Type: {
        int8_t v;
        std::memcpy(&v, valuePtr, sizeof v);
        return new Number(*kind, int64_t{v});
    }
    case kCFNumberSInt16Type: {
        int16_t v;
        std::memcpy(&v, valuePtr, sizeof v);
        return new Number(*kind, int64_t{v});
    }
    case kCFNumberSInt32Type: {
        int32_t v;
        std::memcpy(&v, valuePtr, sizeof v);
        return new Number(*kind, int64_t{v});
    }
    case kCFNumberSInt64Type: {
        int64_t v;
        std::memcpy(&v, valuePtr, sizeof v);
        return new Number(*kind, v);
    }
    case kCFNumberFloat32Type: {
        float v;
        std::memcpy(&v, valuePtr, sizeof v);
        return new Number(*kind, double{v});
    }
    default: {
        double v;
        std::memcpy(&v, valuePtr, sizeof v);
        return new Number(*kind, v);
    }
    }
}

CFNumberType CFNumberGetType(CFNumberRef number)
{
    const auto* n = as<Number>(number);
    return n == nullptr ? kCFNumberSInt32Type : n->numberType();
}

CFIndex CFNumberGetByteSize(CFNumberRef number)
{
    const auto* n = as<Number>(number);
    return n == nullptr ? 0 : static_cast<CFIndex>(byteSize(n->numberType()));
}

Boolean CFNumberIsFloatType(CFNumberRef number)
{
    const auto* n = as<Number>(number);
    return n != nullptr && n->isFloat();
}

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType type, void* valuePtr)
{
    const auto* n = as<Number>(number);
    const auto kind = canonical(type);
    if (n == nullptr || !kind || valuePtr == nullptr) {
        return false;
    }
    switch (*kind) {
    case kCFNumberSInt8Type:
        return storeInteger<int8_t>(*n, valuePtr);
    case kCFNumberSInt16Type:
        return storeInteger<int16_t>(*n, valuePtr);
    case kCFNumberSInt32Type:
        return storeInteger<int32_t>(*n, valuePtr);
    case kCFNumberSInt64Type:
        return storeInteger<int64_t>(*n, valuePtr);
    case kCFNumberFloat32Type:
        return storeFloat<float>(*n, valuePtr);
    default:
        return storeFloat<double>(*n, valuePtr);
    }
}

CFComparisonResult CFNumberCompare(CFNumberRef a, CFNumberRef b, void*)
{
    const auto* x = as<Number>(a);
    const auto* y = as<Number>(b);
    if (x == nullptr || y == nullptr) {
        return x == y ? kCFCompareEqualTo : (x == nullptr ? kCFCompareLessThan : kCFCompareGreaterThan);
    }
    if (!x->isFloat() && !y->isFloat()) {
        return x->integer() < y->integer()   ? kCFCompareLessThan
               : x->integer() > y->integer() ? kCFCompareGreaterThan
                                             : kCFCompareEqualTo;
    }
    return x->real() < y->real()   ? kCFCompareLessThan
           : x->real() > y->real() ? kCFCompareGreaterThan
                                   : kCFCompareEqualTo;
}

// Booleans

namespace {
const BooleanValue gTrue{true};
const BooleanValue gFalse{false};
} // namespace

const CFBooleanRef kCFBooleanTrue = &gTrue;
const CFBooleanRef kCFBooleanFalse = &gFalse;

CFTypeID CFBooleanGetTypeID()
{
    return BooleanValue::kTypeID;
}

Boolean CFBooleanGetValue(CFBooleanRef boolean)
{
    const auto* b = as<BooleanValue>(boolean);
    return b != nullptr && b->value();
}

// Data

CFTypeID CFDataGetTypeID()
{
    return Data::kTypeID;
}

CFDataRef CFDataCreate(CFAllocatorRef, const UInt8* bytes, CFIndex length)
{
    if (length < 0 || (length > 0 && bytes == nullptr)) {
        return nullptr;
    }
    return new Data(std::vector<uint8_t>(bytes, bytes + length), false);
}

CFDataRef CFDataCreateCopy(CFAllocatorRef, CFDataRef data)
{
    const auto* d = as<Data>(data);
    if (d == nullptr) {
        return nullptr;
    }
    if (!d->isMutable()) {
        return static_cast<CFDataRef>(CFRetain(d));
    }
    return new Data(d->bytes(), false);
}

CFMutableDataRef CFDataCreateMutable(CFAllocatorRef, CFIndex)
{
    return new Data({}, true);
}

CFMutableDataRef CFDataCreateMutableCopy(CFAllocatorRef, CFIndex, CFDataRef data)
{
    const auto* d = as<Data>(data);
    return new Data(d == nullptr ? std::vector<uint8_t>() : d->bytes(), true);
}

CFIndex CFDataGetLength(CFDataRef data)
{
    const auto* d = as<Data>(data);
    return d == nullptr ? 0 : static_cast<CFIndex>(d->bytes().size());
}

const UInt8* CFDataGetBytePtr(CFDataRef data)
{
    const auto* d = as<Data>(data);
    return d == nullptr || d->bytes().empty() ? nullptr : d->bytes().data();
}

UInt8* CFDataGetMutableBytePtr(CFMutableDataRef data)
{
    auto* d = asMutable<Data>(data);
    return d == nullptr || !d->isMutable() || d->bytes().empty() ? nullptr : d->bytes().data();
}

void CFDataGetBytes(CFDataRef data, CFRange range, UInt8* buffer)
{
    const auto* d = as<Data>(data);
    if (d == nullptr || buffer == nullptr || range.location < 0 || range.length < 0 ||
        static_cast<size_t>(range.location) > d->bytes().size() ||
        static_cast<size_t>(range.length) > d->bytes().size() - static_cast<size_t>(range.location)) {
        return;
    }
    std::memcpy(buffer, d->bytes().data() + range.location, static_cast<size_t>(range.length));
}

void CFDataSetLength(CFMutableDataRef data, CFIndex length)
{
    auto* d = asMutable<Data>(data);
    if (d != nullptr && d->isMutable() && length >= 0) {
        d->bytes().resize(static_cast<size_t>(length), 0);
    }
}

void CFDataAppendBytes(CFMutableDataRef data, const UInt8* bytes, CFIndex length)
{
    auto* d = asMutable<Data>(data);
    if (d != nullptr && d->isMutable() && bytes != nullptr && length > 0) {
        d->bytes().insert(d->bytes().end(), bytes, bytes + length);
    }
}

// UUIDs

CFTypeID CFUUIDGetTypeID()
{
    return UUID::kTypeID;
}

CFUUIDRef CFUUIDCreate(CFAllocatorRef)
{
    static std::mutex mutex;
    static std::mt19937_64 generator{std::random_device{}()};
    std::array<uint8_t, 16> bytes;
    {
        std::lock_guard lock(mutex);
        const uint64_t a = generator();
        const uint64_t b = generator();
        std::memcpy(bytes.data(), &a, 8);
        std::memcpy(bytes.data() + 8, &b, 8);
    }
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40); // version 4
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80); // RFC 4122 variant
    return new UUID(bytes);
}

CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef, CFUUIDBytes bytes)
{
    std::array<uint8_t, 16> b;
    std::memcpy(b.data(), &bytes, 16);
    return new UUID(b);
}

CFUUIDRef CFUUIDCreateWithBytes(CFAllocatorRef allocator, UInt8 b0, UInt8 b1, UInt8 b2, UInt8 b3, UInt8 b4,
                                UInt8 b5, UInt8 b6, UInt8 b7, UInt8 b8, UInt8 b9, UInt8 b10, UInt8 b11,
                                UInt8 b12, UInt8 b13, UInt8 b14, UInt8 b15)
{
    return CFUUIDCreateFromUUIDBytes(
        allocator, CFUUIDBytes{b0, b1, b2, b3, b4, b5, b6, b7, b8, b9, b10, b11, b12, b13, b14, b15});
}

CFUUIDRef CFUUIDCreateFromString(CFAllocatorRef, CFStringRef text)
{
    const auto* s = as<String>(text);
    if (s == nullptr) {
        return nullptr;
    }
    const std::string t = s->utf8();
    if (t.size() != 36) {
        return nullptr;
    }
    std::array<uint8_t, 16> bytes{};
    size_t k = 0;
    for (size_t i = 0; i < t.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (t[i] != '-') {
                return nullptr;
            }
            ++i;
            continue;
        }
        auto nibble = [](char c) -> int {
            if (c >= '0' && c <= '9') {
                return c - '0';
            }
            if (c >= 'a' && c <= 'f') {
                return c - 'a' + 10;
            }
            if (c >= 'A' && c <= 'F') {
                return c - 'A' + 10;
            }
            return -1;
        };
        const int hi = nibble(t[i]);
        const int lo = i + 1 < t.size() ? nibble(t[i + 1]) : -1;
        if (hi < 0 || lo < 0 || k >= bytes.size()) {
            return nullptr;
        }
        bytes[k++] = static_cast<uint8_t>(hi << 4 | lo);
        i += 2;
    }
    return k == bytes.size() ? new UUID(bytes) : nullptr;
}

CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef, UInt8 b0, UInt8 b1, UInt8 b2, UInt8 b3, UInt8 b4,
                                         UInt8 b5, UInt8 b6, UInt8 b7, UInt8 b8, UInt8 b9, UInt8 b10,
                                         UInt8 b11, UInt8 b12, UInt8 b13, UInt8 b14, UInt8 b15)
{
    static std::mutex mutex;
    // Guarded by mutex; never freed, so the identifiers stay reachable to the very end.
    static auto* constants = new std::map<std::array<uint8_t, 16>, UUID*>();
    const std::array<uint8_t, 16> bytes{b0, b1, b2, b3, b4, b5, b6, b7, b8, b9, b10, b11, b12, b13, b14, b15};
    std::lock_guard lock(mutex);
    auto& slot = (*constants)[bytes];
    if (slot == nullptr) {
        slot = new UUID(bytes);
        slot->makeImmortal();
    }
    return slot;
}

CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid)
{
    CFUUIDBytes out{};
    if (const auto* u = as<UUID>(uuid)) {
        std::memcpy(&out, u->bytes().data(), 16);
    }
    return out;
}

CFStringRef CFUUIDCreateString(CFAllocatorRef, CFUUIDRef uuid)
{
    const auto* u = as<UUID>(uuid);
    return u == nullptr ? nullptr : createString(u->text());
}

// URLs

const CFStringRef kCFURLFilePOSIXMode = CFSTR("kCFURLFilePOSIXMode");

CFTypeID CFURLGetTypeID()
{
    return URL::kTypeID;
}

CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef, CFStringRef path, CFURLPathStyle style,
                                       Boolean isDirectory)
{
    const auto* s = as<String>(path);
    if (s == nullptr || style != kCFURLPOSIXPathStyle) {
        return nullptr;
    }
    std::string p = s->utf8();
    if (p.empty() || p.front() != '/') {
        return nullptr;
    }
    return new URL(std::move(p), isDirectory);
}

CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef, const UInt8* path, CFIndex length,
                                                 Boolean isDirectory)
{
    if (path == nullptr || length <= 0 || path[0] != '/') {
        return nullptr;
    }
    return new URL(std::string(reinterpret_cast<const char*>(path), static_cast<size_t>(length)),
                   isDirectory);
}

CFURLRef CFURLCreateCopyAppendingPathComponent(CFAllocatorRef, CFURLRef url, CFStringRef component,
                                               Boolean isDirectory)
{
    const auto* u = as<URL>(url);
    const auto* c = as<String>(component);
    if (u == nullptr || c == nullptr) {
        return nullptr;
    }
    std::string path = u->path();
    if (path.back() != '/') {
        path.push_back('/');
    }
    std::string part = c->utf8();
    while (!part.empty() && part.front() == '/') {
        part.erase(part.begin());
    }
    return new URL(path + part, isDirectory);
}

CFURLRef CFURLCreateCopyDeletingLastPathComponent(CFAllocatorRef, CFURLRef url)
{
    const auto* u = as<URL>(url);
    if (u == nullptr) {
        return nullptr;
    }
    const std::string plain = u->plainPath();
    const auto slash = plain.rfind('/');
    return new URL(slash == 0 || slash == std::string::npos ? "/" : plain.substr(0, slash), true);
}

CFStringRef CFURLCopyFileSystemPath(CFURLRef url, CFURLPathStyle)
{
    const auto* u = as<URL>(url);
    return u == nullptr ? nullptr : createString(u->plainPath());
}

CFStringRef CFURLCopyLastPathComponent(CFURLRef url)
{
    const auto* u = as<URL>(url);
    if (u == nullptr) {
        return nullptr;
    }
    const std::string plain = u->plainPath();
    return createString(plain == "/" ? plain : plain.substr(plain.rfind('/') + 1));
}

Boolean CFURLHasDirectoryPath(CFURLRef url)
{
    const auto* u = as<URL>(url);
    return u != nullptr && u->isDirectory();
}

Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean, UInt8* buffer, CFIndex maxBufferLength)
{
    const auto* u = as<URL>(url);
    if (u == nullptr || buffer == nullptr || maxBufferLength <= 0) {
        return false;
    }
    const std::string path = u->plainPath();
    if (path.size() + 1 > static_cast<size_t>(maxBufferLength)) {
        return false;
    }
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return true;
}
