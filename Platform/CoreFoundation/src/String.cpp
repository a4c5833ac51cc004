#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "Object.h"

namespace platform::cf {
namespace {

// Unicode code points of the Mac Roman bytes 0x80..0xFF.
constexpr char32_t kMacRomanHigh[128] = {
    0x00C4, 0x00C5, 0x00C7, 0x00C9, 0x00D1, 0x00D6, 0x00DC, 0x00E1, 0x00E0, 0x00E2, 0x00E4, 0x00E3, 0x00E5,
    0x00E7, 0x00E9, 0x00E8, 0x00EA, 0x00EB, 0x00ED, 0x00EC, 0x00EE, 0x00EF, 0x00F1, 0x00F3, 0x00F2, 0x00F4,
    0x00F6, 0x00F5, 0x00FA, 0x00F9, 0x00FB, 0x00FC, 0x2020, 0x00B0, 0x00A2, 0x00A3, 0x00A7, 0x2022, 0x00B6,
    0x00DF, 0x00AE, 0x00A9, 0x2122, 0x00B4, 0x00A8, 0x2260, 0x00C6, 0x00D8, 0x221E, 0x00B1, 0x2264, 0x2265,
    0x00A5, 0x00B5, 0x2202, 0x2211, 0x220F, 0x03C0, 0x222B, 0x00AA, 0x00BA, 0x03A9, 0x00E6, 0x00F8, 0x00BF,
    0x00A1, 0x00AC, 0x221A, 0x0192, 0x2248, 0x2206, 0x00AB, 0x00BB, 0x2026, 0x00A0, 0x00C0, 0x00C3, 0x00D5,
    0x0152, 0x0153, 0x2013, 0x2014, 0x201C, 0x201D, 0x2018, 0x2019, 0x00F7, 0x25CA, 0x00FF, 0x0178, 0x2044,
    0x20AC, 0x2039, 0x203A, 0xFB01, 0xFB02, 0x2021, 0x00B7, 0x201A, 0x201E, 0x2030, 0x00C2, 0x00CA, 0x00C1,
    0x00CB, 0x00C8, 0x00CD, 0x00CE, 0x00CF, 0x00CC, 0x00D3, 0x00D4, 0xF8FF, 0x00D2, 0x00DA, 0x00DB, 0x00D9,
    0x0131, 0x02C6, 0x02DC, 0x00AF, 0x02D8, 0x02D9, 0x02DA, 0x00B8, 0x02DD, 0x02DB, 0x02C7,
};

bool isSupported(CFStringEncoding encoding)
{
    return encoding == kCFStringEncodingASCII || encoding == kCFStringEncodingUTF8 ||
           encoding == kCFStringEncodingMacRoman || encoding == kCFStringEncodingISOLatin1;
}

void appendCodePoint(std::u16string& out, char32_t c)
{
    if (c >= 0x10000) {
        c -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(c));
    }
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
std::optional<std::u16string> decodeUtf8(const uint8_t* bytes, size_t length)
{
    std::u16string out;
    out.reserve(length);
    size_t i = 0;
    while (i < length) {
        const uint8_t lead = bytes[i];
        if (lead < 0x80) {
            out.push_back(lead);
            ++i;
            continue;
        }
        size_t extra = 0;
        char32_t c = 0;
        char32_t minimum = 0;
        if ((lead & 0xE0) == 0xC0) {
            extra = 1, c = lead & 0x1F, minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2, c = lead & 0x0F, minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3, c = lead & 0x07, minimum = 0x10000;
        } else {
            return std::nullopt;
        }
        if (length - i <= extra) {
            return std::nullopt;
        }
        for (size_t k = 1; k <= extra; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80) {
                return std::nullopt;
            }
            c = (c << 6) | (bytes[i + k] & 0x3F);
        }
        if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            return std::nullopt;
        }
        appendCodePoint(out, c);
        i += extra + 1;
    }
    return out;
}

// One code point in an 8-bit encoding; nullopt when it has no form there.
std::optional<uint8_t> encode8(char32_t c, CFStringEncoding encoding)
{
    if (c < 0x80) {
        return static_cast<uint8_t>(c);
    }
    if (encoding == kCFStringEncodingISOLatin1) {
        return c < 0x100 ? std::optional<uint8_t>(static_cast<uint8_t>(c)) : std::nullopt;
    }
    if (encoding == kCFStringEncodingMacRoman) {
        const auto* end = std::end(kMacRomanHigh);
        const auto* found = std::find(std::begin(kMacRomanHigh), end, c);
        if (found != end) {
            return static_cast<uint8_t>(0x80 + (found - std::begin(kMacRomanHigh)));
        }
    }
    return std::nullopt;
}

void appendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// The code point at `i` within [i, end); a lone surrogate comes back as itself (it has no
// form in any byte encoding). `units` gets how many units it took.
char32_t codePointAt(const std::u16string& s, size_t i, size_t end, size_t& units)
{
    const char16_t u = s[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < end && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
        units = 2;
        return 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (s[i + 1] - 0xDC00);
    }
    units = 1;
    return u;
}

bool isSurrogate(char32_t c)
{
    return c >= 0xD800 && c <= 0xDFFF;
}

char16_t foldCase(char16_t u)
{
    if (u >= 'A' && u <= 'Z') {
        return static_cast<char16_t>(u + 0x20);
    }
    if (u >= 0xC0 && u <= 0xDE && u != 0xD7) {
        return static_cast<char16_t>(u + 0x20);
    }
    return u;
}

bool isWhiteSpace(char16_t u)
{
    return u == ' ' || u == '\t' || u == '\n' || u == '\r' || u == '\v' || u == '\f' || u == 0xA0;
}

const String* str(CFStringRef s)
{
    return as<String>(s);
}

} // namespace

String::String(std::u16string units, bool isMutable)
    : Object(kTypeID), m_units(std::move(units)), m_mutable(isMutable)
{
    refreshAscii();
}

void String::refreshAscii()
{
    m_isAscii = std::all_of(m_units.begin(), m_units.end(), [](char16_t u) { return u < 0x80; });
    m_ascii.clear();
    if (m_isAscii) {
        m_ascii.assign(m_units.begin(), m_units.end());
    }
}

void String::append(const std::u16string& units)
{
    m_units += units;
    refreshAscii();
}

std::string String::utf8() const
{
    if (m_isAscii) {
        return m_ascii;
    }
    std::string out;
    out.reserve(m_units.size() * 3);
    for (size_t i = 0; i < m_units.size();) {
        size_t units = 0;
        const char32_t c = codePointAt(m_units, i, m_units.size(), units);
        appendUtf8(out, isSurrogate(c) ? U'\uFFFD' : c);
        i += units;
    }
    return out;
}

bool String::equals(const Object& other) const
{
    return m_units == static_cast<const String&>(other).m_units;
}

CFHashCode String::hash() const
{
    return std::hash<std::u16string>{}(m_units);
}

std::string String::describe(int) const
{
    return utf8();
}

std::optional<std::u16string> decode(const uint8_t* bytes, size_t length, CFStringEncoding encoding)
{
    if (length > 0 && bytes == nullptr) {
        return std::nullopt;
    }
    switch (encoding) {
    case kCFStringEncodingUTF8:
        return decodeUtf8(bytes, length);
    case kCFStringEncodingASCII:
    case kCFStringEncodingISOLatin1:
    case kCFStringEncodingMacRoman: {
        std::u16string out;
        out.reserve(length);
        for (size_t i = 0; i < length; ++i) {
            const uint8_t b = bytes[i];
            if (b < 0x80 || encoding == kCFStringEncodingISOLatin1) {
                out.push_back(b);
            } else if (encoding == kCFStringEncodingMacRoman) {
                out.push_back(static_cast<char16_t>(kMacRomanHigh[b - 0x80]));
            } else {
                return std::nullopt;
            }
        }
        return out;
    }
    default:
        return std::nullopt;
    }
}

std::u16string utf16FromUtf8Lossy(std::string_view text)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    if (auto units = decodeUtf8(bytes, text.size())) {
        return *units;
    }
    return *decode(bytes, text.size(), kCFStringEncodingISOLatin1);
}

CFStringRef createString(std::u16string units)
{
    return new String(std::move(units));
}

CFStringRef createString(std::string_view utf8)
{
    return createString(utf16FromUtf8Lossy(utf8));
}

CFStringRef constantString(const char* text)
{
    static std::mutex mutex;
    // Guarded by mutex; never freed, so the strings stay reachable to the very end.
    static auto* table = new std::map<std::string, String*, std::less<>>();
    std::lock_guard lock(mutex);
    auto found = table->find(std::string_view(text));
    if (found != table->end()) {
        return found->second;
    }
    auto* string = new String(utf16FromUtf8Lossy(text));
    string->makeImmortal();
    table->emplace(text, string);
    return string;
}

namespace {

// printf with "%@", one conversion at a time through snprintf.
std::string format(const std::string& pattern, va_list arguments)
{
    std::string out;
    va_list ap;
    va_copy(ap, arguments);
    size_t i = 0;
    const size_t n = pattern.size();
    auto emit = [&out](const std::string& conversion, auto value) {
        char buffer[512];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        const int length = std::snprintf(buffer, sizeof buffer, conversion.c_str(), value);
        if (length >= static_cast<int>(sizeof buffer)) {
            std::string big(static_cast<size_t>(length) + 1, '\0');
            std::snprintf(big.data(), big.size(), conversion.c_str(), value);
            big.resize(static_cast<size_t>(length));
            out += big;
            return;
        }
#pragma GCC diagnostic pop
        if (length > 0) {
            out.append(buffer, static_cast<size_t>(length));
        }
    };
    while (i < n) {
        const char c = pattern[i];
        if (c != '%') {
            out.push_back(c);
            ++i;
            continue;
        }
        const size_t start = i++;
        std::string conversion = "%";
        while (i < n && std::strchr("-+ #0'", pattern[i]) != nullptr) {
            conversion.push_back(pattern[i++]);
        }
        auto number = [&](void) {
            if (i < n && pattern[i] == '*') {
                conversion += std::to_string(va_arg(ap, int));
                ++i;
                return;
            }
            while (i < n && std::isdigit(static_cast<unsigned char>(pattern[i]))) {
                conversion.push_back(pattern[i++]);
            }
        };
        number();
        if (i < n && pattern[i] == '.') {
            conversion.push_back(pattern[i++]);
            number();
        }
        std::string length;
        while (i < n && std::strchr("hlqLzjt", pattern[i]) != nullptr) {
            length.push_back(pattern[i++]);
        }
        if (i >= n) {
            out.append(pattern, start, std::string::npos);
            break;
        }
        const char kind = pattern[i++];
        switch (kind) {
        case '%':
            out.push_back('%');
            break;
        case '@': {
            const CFTypeRef value = va_arg(ap, CFTypeRef);
            out += describe(value);
            break;
        }
        case 'd':
        case 'i':
            if (length == "l" || length == "z" || length == "t") {
                emit(conversion + "l" + kind, va_arg(ap, long));
            } else if (length == "ll" || length == "q" || length == "j") {
                emit(conversion + "ll" + kind, va_arg(ap, long long));
            } else {
                // hh and h arguments arrive promoted to int; snprintf applies the narrowing.
                emit(conversion + length + kind, va_arg(ap, int));
            }
            break;
        case 'u':
        case 'o':
        case 'x':
        case 'X':
            if (length == "l" || length == "z" || length == "t") {
                emit(conversion + "l" + kind, va_arg(ap, unsigned long));
            } else if (length == "ll" || length == "q" || length == "j") {
                emit(conversion + "ll" + kind, va_arg(ap, unsigned long long));
            } else {
                emit(conversion + length + kind, va_arg(ap, unsigned int));
            }
            break;
        case 'c':
        case 'C':
            emit(conversion + "c", va_arg(ap, int));
            break;
        case 's': {
            const char* text = va_arg(ap, const char*);
            emit(conversion + "s", text == nullptr ? "(null)" : text);
            break;
        }
        case 'p':
            emit(conversion + "p", va_arg(ap, void*));
            break;
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            if (length == "L") {
                emit(conversion + "L" + kind, va_arg(ap, long double));
            } else {
                emit(conversion + kind, va_arg(ap, double));
            }
            break;
        case 'n':
            // Never writes through an argument.
            (void)va_arg(ap, void*);
            break;
        default:
            out.append(pattern, start, i - start);
            break;
        }
    }
    va_end(ap);
    return out;
}

CFIndex convert(const String& s, CFRange range, CFStringEncoding encoding, UInt8 lossByte, UInt8* buffer,
                CFIndex maxBufferLength, CFIndex* usedBufferLength)
{
    const auto& units = s.units();
    const size_t end = static_cast<size_t>(range.location + range.length);
    size_t used = 0;
    size_t i = static_cast<size_t>(range.location);
    const size_t capacity =
        buffer == nullptr ? SIZE_MAX : static_cast<size_t>(std::max<CFIndex>(maxBufferLength, 0));
    while (i < end) {
        size_t taken = 0;
        const char32_t c = codePointAt(units, i, end, taken);
        uint8_t bytes[4];
        size_t count = 0;
        if (encoding == kCFStringEncodingUTF8 && !isSurrogate(c)) {
            std::string encoded;
            appendUtf8(encoded, c);
            count = encoded.size();
            std::memcpy(bytes, encoded.data(), count);
        } else if (encoding != kCFStringEncodingUTF8) {
            if (auto b = encode8(c, encoding); b && !(encoding == kCFStringEncodingASCII && c >= 0x80)) {
                bytes[0] = *b;
                count = 1;
            }
        }
        if (count == 0) {
            if (lossByte == 0) {
                break;
            }
            bytes[0] = lossByte;
            count = 1;
        }
        if (used + count > capacity) {
            break;
        }
        if (buffer != nullptr) {
            std::memcpy(buffer + used, bytes, count);
        }
        used += count;
        i += taken;
    }
    if (usedBufferLength != nullptr) {
        *usedBufferLength = static_cast<CFIndex>(used);
    }
    return static_cast<CFIndex>(i - static_cast<size_t>(range.location));
}

bool validRange(const String& s, CFRange range)
{
    return range.location >= 0 && range.length >= 0 &&
           static_cast<size_t>(range.location) <= s.units().size() &&
           static_cast<size_t>(range.length) <= s.units().size() - static_cast<size_t>(range.location);
}

} // namespace
} // namespace platform::cf

using namespace platform::cf;

CFTypeID CFStringGetTypeID()
{
    return String::kTypeID;
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* text, CFStringEncoding encoding)
{
    if (text == nullptr) {
        return nullptr;
    }
    return CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(text),
                                   static_cast<CFIndex>(std::strlen(text)), encoding, false);
}

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8* bytes, CFIndex length,
                                    CFStringEncoding encoding, Boolean)
{
    if (length < 0 || !isSupported(encoding)) {
        return nullptr;
    }
    auto units = decode(bytes, static_cast<size_t>(length), encoding);
    return units ? createString(std::move(*units)) : nullptr;
}

CFStringRef CFStringCreateWithCharacters(CFAllocatorRef, const UniChar* characters, CFIndex count)
{
    if (count < 0 || (count > 0 && characters == nullptr)) {
        return nullptr;
    }
    return createString(
        std::u16string(reinterpret_cast<const char16_t*>(characters), static_cast<size_t>(count)));
}

CFStringRef CFStringCreateCopy(CFAllocatorRef, CFStringRef string)
{
    const auto* s = str(string);
    if (s == nullptr) {
        return nullptr;
    }
    if (!s->isMutable()) {
        return static_cast<CFStringRef>(CFRetain(s));
    }
    return createString(s->units());
}

CFMutableStringRef CFStringCreateMutable(CFAllocatorRef, CFIndex)
{
    return new String(std::u16string(), true);
}

CFMutableStringRef CFStringCreateMutableCopy(CFAllocatorRef, CFIndex, CFStringRef string)
{
    const auto* s = str(string);
    return new String(s == nullptr ? std::u16string() : s->units(), true);
}

void CFStringAppend(CFMutableStringRef string, CFStringRef appended)
{
    auto* s = asMutable<String>(string);
    const auto* a = str(appended);
    if (s != nullptr && s->isMutable() && a != nullptr) {
        s->append(a->units());
    }
}

void CFStringAppendCString(CFMutableStringRef string, const char* text, CFStringEncoding encoding)
{
    auto* s = asMutable<String>(string);
    if (s == nullptr || !s->isMutable() || text == nullptr) {
        return;
    }
    if (auto units = decode(reinterpret_cast<const uint8_t*>(text), std::strlen(text), encoding)) {
        s->append(*units);
    }
}

CFStringRef CFStringCreateWithFormat(CFAllocatorRef allocator, CFTypeRef formatOptions, CFStringRef format,
                                     ...)
{
    va_list arguments;
    va_start(arguments, format);
    CFStringRef result = CFStringCreateWithFormatAndArguments(allocator, formatOptions, format, arguments);
    va_end(arguments);
    return result;
}

CFStringRef CFStringCreateWithFormatAndArguments(CFAllocatorRef, CFTypeRef, CFStringRef format,
                                                 va_list arguments)
{
    const auto* f = str(format);
    if (f == nullptr) {
        return nullptr;
    }
    return createString(platform::cf::format(f->utf8(), arguments));
}

CFIndex CFStringGetLength(CFStringRef string)
{
    const auto* s = str(string);
    return s == nullptr ? 0 : static_cast<CFIndex>(s->units().size());
}

UniChar CFStringGetCharacterAtIndex(CFStringRef string, CFIndex index)
{
    const auto* s = str(string);
    if (s == nullptr || index < 0 || static_cast<size_t>(index) >= s->units().size()) {
        return 0;
    }
    return s->units()[static_cast<size_t>(index)];
}

void CFStringGetCharacters(CFStringRef string, CFRange range, UniChar* buffer)
{
    const auto* s = str(string);
    if (s == nullptr || buffer == nullptr || !validRange(*s, range)) {
        return;
    }
    std::copy_n(s->units().begin() + range.location, range.length, buffer);
}

Boolean CFStringGetCString(CFStringRef string, char* buffer, CFIndex bufferSize, CFStringEncoding encoding)
{
    if (buffer == nullptr || bufferSize <= 0) {
        return false;
    }
    buffer[0] = '\0';
    const auto* s = str(string);
    if (s == nullptr || !isSupported(encoding)) {
        return false;
    }
    const CFRange all{0, static_cast<CFIndex>(s->units().size())};
    CFIndex used = 0;
    const CFIndex converted =
        convert(*s, all, encoding, 0, reinterpret_cast<UInt8*>(buffer), bufferSize - 1, &used);
    if (converted != all.length) {
        buffer[0] = '\0';
        return false;
    }
    buffer[used] = '\0';
    return true;
}

const char* CFStringGetCStringPtr(CFStringRef string, CFStringEncoding encoding)
{
    const auto* s = str(string);
    return s == nullptr || !isSupported(encoding) ? nullptr : s->asciiBytes();
}

CFIndex CFStringGetBytes(CFStringRef string, CFRange range, CFStringEncoding encoding, UInt8 lossByte,
                         Boolean, UInt8* buffer, CFIndex maxBufferLength, CFIndex* usedBufferLength)
{
    if (usedBufferLength != nullptr) {
        *usedBufferLength = 0;
    }
    const auto* s = str(string);
    if (s == nullptr || !isSupported(encoding) || !validRange(*s, range)) {
        return 0;
    }
    return convert(*s, range, encoding, lossByte, buffer, maxBufferLength, usedBufferLength);
}

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding)
{
    return encoding == kCFStringEncodingUTF8 ? length * 3 : length;
}

CFStringEncoding CFStringGetSystemEncoding()
{
    return kCFStringEncodingMacRoman;
}

SInt32 CFStringGetIntValue(CFStringRef string)
{
    const auto* s = str(string);
    if (s == nullptr) {
        return 0;
    }
    const auto& u = s->units();
    size_t i = 0;
    while (i < u.size() && isWhiteSpace(u[i])) {
        ++i;
    }
    bool negative = false;
    if (i < u.size() && (u[i] == '-' || u[i] == '+')) {
        negative = u[i] == '-';
        ++i;
    }
    int64_t value = 0;
    for (; i < u.size() && u[i] >= '0' && u[i] <= '9'; ++i) {
        value = std::min<int64_t>(value * 10 + (u[i] - '0'), int64_t{INT_MAX} + 1);
    }
    value = negative ? -value : value;
    return static_cast<SInt32>(std::clamp<int64_t>(value, INT_MIN, INT_MAX));
}

double CFStringGetDoubleValue(CFStringRef string)
{
    const auto* s = str(string);
    if (s == nullptr) {
        return 0;
    }
    const std::string text = s->utf8();
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
        ++i;
    }
    if (i < text.size() && text[i] == '+') {
        ++i;
    }
    double value = 0;
    std::from_chars(text.data() + i, text.data() + text.size(), value);
    return value;
}

CFComparisonResult CFStringCompare(CFStringRef a, CFStringRef b, CFStringCompareFlags options)
{
    const auto* sa = str(a);
    const auto* sb = str(b);
    const std::u16string empty;
    const auto& ua = sa == nullptr ? empty : sa->units();
    const auto& ub = sb == nullptr ? empty : sb->units();
    const bool fold = (options & kCFCompareCaseInsensitive) != 0;
    const size_t n = std::min(ua.size(), ub.size());
    for (size_t i = 0; i < n; ++i) {
        const char16_t x = fold ? foldCase(ua[i]) : ua[i];
        const char16_t y = fold ? foldCase(ub[i]) : ub[i];
        if (x != y) {
            return x < y ? kCFCompareLessThan : kCFCompareGreaterThan;
        }
    }
    if (ua.size() == ub.size()) {
        return kCFCompareEqualTo;
    }
    return ua.size() < ub.size() ? kCFCompareLessThan : kCFCompareGreaterThan;
}

Boolean CFStringHasPrefix(CFStringRef string, CFStringRef prefix)
{
    const auto* s = str(string);
    const auto* p = str(prefix);
    return s != nullptr && p != nullptr && s->units().compare(0, p->units().size(), p->units()) == 0 &&
           s->units().size() >= p->units().size();
}

Boolean CFStringHasSuffix(CFStringRef string, CFStringRef suffix)
{
    const auto* s = str(string);
    const auto* p = str(suffix);
    if (s == nullptr || p == nullptr || s->units().size() < p->units().size()) {
        return false;
    }
    return s->units().compare(s->units().size() - p->units().size(), p->units().size(), p->units()) == 0;
}

void CFShowStr(CFStringRef string)
{
    const auto* s = str(string);
    if (s == nullptr) {
        std::fprintf(stderr, "(null)\n");
        return;
    }
    std::fprintf(stderr, "Length %zu\nIsEightBit %d\nMutable %d\nContents \"%s\"\n", s->units().size(),
                 s->asciiBytes() != nullptr ? 1 : 0, s->isMutable() ? 1 : 0, s->utf8().c_str());
}
