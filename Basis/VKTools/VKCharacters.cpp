#include "VKCharacters.h"

#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

unsigned char byteOf(char c)
{
    return static_cast<unsigned char>(c);
}

// The C library's upper case for ASCII; bytes 0x80 and above stay as they are, whatever the locale.
unsigned char asciiUpper(char c)
{
    const unsigned char b = byteOf(c);
    return b < 0x80 ? static_cast<unsigned char>(std::toupper(b)) : b;
}

int signOf(int value)
{
    return (value > 0) - (value < 0);
}

} // namespace

bool cfIsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool cfIsSpace(char c)
{
    const unsigned char b = byteOf(c);
    return (b >= 0x09 && b <= 0x0D) || b == 0x20 || (b >= 0x81 && b <= 0x90 && b != 0x86) ||
           (b >= 0x93 && b <= 0xA0);
}

bool cfIsAlpha(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool cfIsCSymbol(char c)
{
    return cfIsAlpha(c) || c == '_';
}

char cfToLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

int cfStrnicmp(const char* a, const char* b, size_t count)
{
    if (a == nullptr || b == nullptr) {
        return (a == nullptr && b == nullptr) ? 0 : (a == nullptr ? -1 : 1);
    }
    for (size_t i = 0; i < count; ++i) {
        const auto d =
            static_cast<int8_t>(static_cast<int8_t>(cfToLower(a[i])) - static_cast<int8_t>(cfToLower(b[i])));
        if (d != 0) {
            return d < 0 ? -1 : 1;
        }
    }
    return 0;
}

int cfStricmp(const char* a, const char* b)
{
    if (a == nullptr || b == nullptr) {
        return cfStrnicmp(a, b, 0);
    }
    const size_t la = std::strlen(a);
    const size_t lb = std::strlen(b);
    const int r = cfStrnicmp(a, b, la < lb ? la : lb);
    if (r != 0) {
        return r;
    }
    return la < lb ? -1 : (la > lb ? 1 : 0);
}

int vkStrnicmp(const char* a, const char* b, size_t count)
{
    if (a == nullptr) {
        return -1;
    }
    if (b == nullptr) {
        return 1;
    }
    for (size_t i = 0; i < count; ++i) {
        const unsigned char ca = asciiUpper(a[i]);
        const unsigned char cb = asciiUpper(b[i]);
        if (ca != cb) {
            return signOf(ca - cb);
        }
        if (ca == 0) {
            return 0;
        }
    }
    return 0;
}

int vkStricmp(const char* a, const char* b)
{
    return vkStrnicmp(a, b, SIZE_MAX);
}

bool vkIscsym(int c)
{
    if (c < 0 || c > UCHAR_MAX) {
        return false;
    }
    return std::isalpha(c) != 0 || std::isdigit(c) != 0 || c == '_';
}

char* qz_strcat(char* destination, size_t destinationSize, const char* source)
{
    if (destination == nullptr || destinationSize == 0 || source == nullptr) {
        return destination;
    }
    const size_t used = strnlen(destination, destinationSize);
    if (used == destinationSize) {
        destination[destinationSize - 1] = 0;
        return destination;
    }
    const size_t room = destinationSize - used - 1;
    const size_t n = strnlen(source, room);
    std::memcpy(destination + used, source, n);
    destination[used + n] = 0;
    return destination;
}

int qzSPrintf(char* destination, size_t destinationSize, const char* format, ...)
{
    if (destination == nullptr || destinationSize == 0 || format == nullptr) {
        return 0;
    }
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(destination, destinationSize, format, args);
    va_end(args);
    if (n < 0) {
        destination[0] = 0;
        return 0;
    }
    return static_cast<size_t>(n) < destinationSize ? n : static_cast<int>(destinationSize - 1);
}
