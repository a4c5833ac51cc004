#include "VKString.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "VKCharacters.h"

namespace {

constexpr int kSpareBytes = 33;   // construction and assignment leave 32 bytes free
constexpr int kPrintfArea = 2048; // results shorter than this are formatted on the stack
constexpr int kNumberArea = 256;  // collection area of the text-to-double conversion

int textLength(const char* text)
{
    const size_t n = std::strlen(text);
    return n > static_cast<size_t>(INT_MAX - kSpareBytes) ? INT_MAX - kSpareBytes : static_cast<int>(n);
}

long clampedLong(const char* text)
{
    errno = 0;
    return std::strtol(text, nullptr, 10);
}

} // namespace

VKString::VKString()
{
    clear();
}

VKString::VKString(const char* text)
{
    if (text == nullptr) {
        clear();
        return;
    }
    m_length = textLength(text);
    allocate(m_length + kSpareBytes);
    std::memcpy(m_buffer, text, static_cast<size_t>(m_length));
}

VKString::VKString(char c, int count)
{
    if (count <= 0) {
        clear();
        return;
    }
    if (count > INT_MAX - kSpareBytes) {
        count = INT_MAX - kSpareBytes;
    }
    allocate(count + kSpareBytes);
    std::memset(m_buffer, c, static_cast<size_t>(m_capacity));
    m_buffer[count] = 0;
    m_length = count;
    countLength();
}

VKString::VKString(const VKString& other) : VKObject(other)
{
    m_length = other.m_length;
    allocate(m_length + kSpareBytes);
    std::memcpy(m_buffer, other.m_buffer, static_cast<size_t>(m_length));
}

VKString::~VKString()
{
    delete[] m_buffer;
}

void VKString::allocate(int capacity)
{
    m_buffer = new char[static_cast<size_t>(capacity)]();
    m_capacity = capacity;
}

VKString& VKString::clear()
{
    delete[] m_buffer;
    allocate(kSpareBytes);
    m_length = 0;
    return *this;
}

void VKString::assignBytes(const char* text, int count)
{
    if (count + 1 <= m_capacity) {
        std::memmove(m_buffer, text, static_cast<size_t>(count));
    } else {
        char* old = m_buffer;
        allocate(count + kSpareBytes);
        std::memcpy(m_buffer, text, static_cast<size_t>(count));
        delete[] old;
    }
    m_buffer[count] = 0;
    m_length = count;
}

VKString& VKString::assign(const char* text)
{
    if (text == nullptr) {
        text = "";
    }
    assignBytes(text, textLength(text));
    return *this;
}

VKString& VKString::assign(const VKString& other)
{
    if (&other != this) {
        assign(other.m_buffer);
    }
    return *this;
}

VKString& VKString::operator+=(char c)
{
    if (m_capacity <= m_length + 1) {
        setSize(m_length > 0 ? 2 * m_length : 1);
    }
    m_buffer[m_length++] = c;
    m_buffer[m_length] = 0;
    return *this;
}

VKString& VKString::operator+=(const char* text)
{
    if (text != nullptr) {
        appendBytes(text, textLength(text));
        countLength();
    }
    return *this;
}

void VKString::appendBytes(const char* text, int count)
{
    // The text may be a piece of this string's own buffer, which setSize replaces.
    const bool inside = text >= m_buffer && text < m_buffer + m_capacity;
    const ptrdiff_t offset = inside ? text - m_buffer : 0;
    if (m_length + count >= m_capacity) {
        setSize(m_length + count + 2);
        if (inside) {
            text = m_buffer + offset;
        }
    }
    std::memmove(m_buffer + m_length, text, static_cast<size_t>(count));
    m_length += count;
    m_buffer[m_length] = 0;
}

VKString& VKString::setSize(int size)
{
    if (size < 0) {
        size = 0;
    }
    if (size <= m_capacity || size == INT_MAX) {
        return *this;
    }
    char* old = m_buffer;
    allocate(size + 1);
    std::memcpy(m_buffer, old, static_cast<size_t>(m_length));
    delete[] old;
    return countLength();
}

VKString& VKString::setLength(int length)
{
    if (length < 0) {
        length = 0;
    }
    if (length <= m_length) {
        m_buffer[length] = 0;
        m_length = length;
        return *this;
    }
    if (length >= INT_MAX - 1) {
        return *this;
    }
    setSize(length + 1);
    std::memset(m_buffer + m_length, ' ', static_cast<size_t>(length - m_length));
    m_buffer[length] = 0;
    m_length = length;
    return *this;
}

VKString& VKString::countLength()
{
    m_length = static_cast<int>(strnlen(m_buffer, static_cast<size_t>(m_capacity - 1)));
    m_buffer[m_length] = 0;
    return *this;
}

int VKString::compare(const VKObject& other) const
{
    const auto* text = dynamic_cast<const VKString*>(&other);
    const int r = std::strcmp(m_buffer, text != nullptr ? text->m_buffer : "");
    return (r > 0) - (r < 0);
}

int VKString::strcmp(const char* text) const
{
    return std::strcmp(m_buffer, text != nullptr ? text : "");
}

int VKString::stricmp(const char* text) const
{
    return cfStricmp(m_buffer, text);
}

int VKString::match(const char* text) const
{
    if (text == nullptr) {
        return -1;
    }
    const char* found = std::strstr(m_buffer, text);
    return found == nullptr ? -1 : static_cast<int>(found - m_buffer);
}

void VKString::substring(VKString& out, int start, int count) const
{
    if (start < 0 || start > m_length || count < 1) {
        out.assign("");
        return;
    }
    const int available = static_cast<int>(strnlen(m_buffer + start, static_cast<size_t>(m_length - start)));
    out.assignBytes(m_buffer + start, count < available ? count : available);
}

void VKString::left(VKString& out, int count) const
{
    substring(out, 0, count);
}

void VKString::right(VKString& out, int count) const
{
    if (count < m_length) {
        substring(out, m_length - count, count);
    } else {
        out.assign(*this);
    }
}

VKString& VKString::trimLeft()
{
    int n = 0;
    while (n < m_length && cfIsSpace(m_buffer[n])) {
        ++n;
    }
    if (n > 0) {
        assignBytes(m_buffer + n, m_length - n);
    }
    return *this;
}

VKString& VKString::trimRight()
{
    while (m_length > 0 && cfIsSpace(m_buffer[m_length - 1])) {
        m_buffer[--m_length] = 0;
    }
    return *this;
}

VKString& VKString::mapAscii(int (*map)(int))
{
    // Bytes 0x80 and above stay as they are, whatever the locale.
    for (int i = 0; i < m_length; ++i) {
        const auto b = static_cast<unsigned char>(m_buffer[i]);
        if (b < 0x80) {
            m_buffer[i] = static_cast<char>(map(b));
        }
    }
    return *this;
}

VKString& VKString::uppercase()
{
    return mapAscii(std::toupper);
}

VKString& VKString::lowercase()
{
    return mapAscii(std::tolower);
}

VKString& VKString::replace(const char* find, const char* replacement)
{
    if (find == nullptr || *find == 0 || m_length == 0) {
        return *this;
    }
    if (replacement == nullptr) {
        replacement = "";
    }
    const char* hit = std::strstr(m_buffer, find);
    if (hit == nullptr) {
        return *this;
    }
    const size_t findLength = std::strlen(find);
    VKString result;
    const char* from = m_buffer;
    while (hit != nullptr) {
        result.appendBytes(from, static_cast<int>(hit - from));
        result += replacement;
        from = hit + findLength;
        hit = std::strstr(from, find);
    }
    result += from;
    return assign(result);
}

bool VKString::getToken(const char* delimiters, VKString& token)
{
    if (delimiters == nullptr) {
        delimiters = "";
    }
    const size_t start = std::strspn(m_buffer, delimiters);
    if (m_buffer[start] == 0) {
        token.assign("");
        return false;
    }
    const size_t end = start + std::strcspn(m_buffer + start, delimiters);
    if (&token != this) {
        token.assignBytes(m_buffer + start, static_cast<int>(end - start));
        const size_t rest = m_buffer[end] == 0 ? end : end + 1;
        assignBytes(m_buffer + rest, textLength(m_buffer + rest));
    } else {
        assignBytes(m_buffer + start, static_cast<int>(end - start));
    }
    return true;
}

VKString& VKString::printf(const char* format, ...)
{
    if (format == nullptr) {
        return setLength(0);
    }
    char area[kPrintfArea];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(area, sizeof area, format, args);
    va_end(args);
    if (n < 0) {
        va_end(again);
        return setLength(0);
    }
    if (n < kPrintfArea) {
        va_end(again);
        setLength(0);
        return *this += area;
    }
    // Longer results are formatted into a block of their own size; the arguments may point into
    // this string, so the text is replaced only afterwards.
    std::unique_ptr<char[]> large(new char[static_cast<size_t>(n) + 1]);
    std::vsnprintf(large.get(), static_cast<size_t>(n) + 1, format, again);
    va_end(again);
    setLength(0);
    return *this += large.get();
}

VKString& VKString::toString(int value)
{
    setSize(32);
    std::snprintf(m_buffer, static_cast<size_t>(m_capacity), "%d", value);
    return countLength();
}

VKString& VKString::toString(short value)
{
    return toString(static_cast<int>(value));
}

int VKString::scanInt() const
{
    const long value = clampedLong(m_buffer);
    return value > INT_MAX ? INT_MAX : (value < INT_MIN ? INT_MIN : static_cast<int>(value));
}

long VKString::asInteger() const
{
    return clampedLong(m_buffer);
}

double VKString::toDouble() const
{
    char number[kNumberArea] = {};
    int used = 0;
    const int examined = m_length < kNumberArea ? m_length : kNumberArea;
    for (int i = 0; i < examined; ++i) {
        const char c = m_buffer[i];
        const char* piece = nullptr;
        char single[2] = {c, 0};
        if (cfIsDigit(c) || c == '-' || c == '.' || c == 'E' || c == 'e') {
            piece = single;
        } else if (c == 'T' || c == 't') {
            piece = "E3";
        } else if (c == 'M' || c == 'm') {
            piece = "E6";
        } else {
            continue;
        }
        const int n = static_cast<int>(std::strlen(piece));
        if (used + n > kNumberArea - 1) {
            break;
        }
        std::memcpy(number + used, piece, static_cast<size_t>(n));
        used += n;
    }
    return std::strtod(number, nullptr);
}

char* VKString::copyString() const
{
    char* copy = new char[static_cast<size_t>(m_length) + 1]();
    std::memcpy(copy, m_buffer, static_cast<size_t>(m_length));
    return copy;
}

char* VKString::copyString(char* destination, int maximum) const
{
    if (destination == nullptr) {
        return nullptr;
    }
    int n = m_length;
    if (maximum != -1 && m_length > maximum) {
        n = maximum < 0 ? 0 : maximum;
    }
    std::memcpy(destination, m_buffer, static_cast<size_t>(n));
    destination[n] = 0;
    return destination;
}

void VKString::toStr255(Str255 out) const
{
    std::memset(out, 0, sizeof(Str255));
    const int n = m_length < 255 ? m_length : 255;
    out[0] = static_cast<unsigned char>(n);
    std::memcpy(out + 1, m_buffer, static_cast<size_t>(n));
}

void VKString::asString(const Str255 in)
{
    const auto* text = reinterpret_cast<const char*>(in + 1);
    assignBytes(text, static_cast<int>(strnlen(text, in[0])));
}

void VKString::toHexString(VKString& out) const
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    VKString hex;
    hex.setLength(2 * m_length);
    char* to = hex.m_buffer;
    for (int i = 0; i < m_length && m_buffer[i] != 0; ++i) {
        const auto b = static_cast<unsigned char>(m_buffer[i]);
        *to++ = kDigits[b >> 4];
        *to++ = kDigits[b & 0x0F];
    }
    out.assign(hex);
}

const char* VKScanner::scanNextToken(const char* text, VKString& token, char delimiter)
{
    token.setLength(0);
    if (text == nullptr) {
        return nullptr;
    }
    auto escapable = [](char c) { return c == '"' || c == '\\' || c == '(' || c == ')'; };
    while (*text == ' ') {
        ++text;
    }
    const char* end = text;
    bool quoted = false;
    while (*end != 0) {
        if (*end == '"') {
            quoted = !quoted;
            ++end;
        } else if (*end == '\\') {
            end += escapable(end[1]) ? 2 : 1;
        } else if (!quoted && *end == delimiter) {
            break;
        } else {
            ++end;
        }
    }
    const auto span = static_cast<int>(end - text);
    token.setSize(span + 1);
    const char* from = text;
    const char* to = end;
    if (span > 0 && *text == '"') {
        // A lone quote leaves nothing between the quotes.
        from = text + 1;
        to = span >= 2 ? end - 1 : from;
    }
    char* out = token.getBuffer();
    for (const char* p = from; p < to; ++p) {
        if (*p == '\\' && p + 1 < to && escapable(p[1])) {
            ++p;
        }
        *out++ = *p;
    }
    *out = 0;
    token.countLength();
    if (*end == 0) {
        return nullptr;
    }
    ++end;
    while (*end == ' ') {
        ++end;
    }
    return end;
}
