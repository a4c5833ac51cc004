// The library's own character classes and case-insensitive comparisons. The cf family ignores
// the locale: it folds only A-Z and compares signed bytes over an exact count. The vk family uses
// the C library's classification (ASCII only: bytes 0x80 and above are never folded), stops at
// the end of the texts and compares unsigned bytes.
//
// Thread safety: every function is reentrant.
#pragma once

#include <cstddef>

bool cfIsDigit(char c);
// Tab to carriage return, blank, and the legacy 8-bit set 0x81-0x90 (except 0x86) and 0x93-0xA0.
bool cfIsSpace(char c);
bool cfIsAlpha(char c);
// Letters and '_' (digits are not included).
bool cfIsCSymbol(char c);
char cfToLower(char c);

// -1, 0 or 1 over exactly `count` bytes (zero bytes do not stop it). Null against null is 0;
// a null first text is less, a null second text greater.
int cfStrnicmp(const char* a, const char* b, size_t count);
// Over the shorter length, then a prefix sorts first. Nulls as in cfStrnicmp.
int cfStricmp(const char* a, const char* b);
// -1, 0 or 1, stopping at the end of the texts or after `count` bytes. A null first text is less.
int vkStrnicmp(const char* a, const char* b, size_t count);
int vkStricmp(const char* a, const char* b);
bool vkIscsym(int c);

// Appends `source` to the text in `destination` (a buffer of `destinationSize` bytes), cutting it
// so that the text stays zero-terminated inside the buffer. Returns `destination`.
char* qz_strcat(char* destination, size_t destinationSize, const char* source);
// Formats into `destination` (a buffer of `destinationSize` bytes), cut to fit. Returns the number
// of characters stored.
int qzSPrintf(char* destination, size_t destinationSize, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
