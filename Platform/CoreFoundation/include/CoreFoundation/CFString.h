// Strings: Unicode text measured in UTF-16 units, created from and converted to byte encodings.
#pragma once

#include <cstdarg>

#include "CoreFoundation/CFBase.h"

using CFStringEncoding = UInt32;

enum : CFStringEncoding
{
    kCFStringEncodingMacRoman = 0,
    kCFStringEncodingISOLatin1 = 0x0201,
    kCFStringEncodingASCII = 0x0600,
    kCFStringEncodingUTF8 = 0x08000100,
    kCFStringEncodingInvalidId = 0xFFFFFFFFU,
};

using CFStringCompareFlags = CFOptionFlags;
enum : CFStringCompareFlags
{
    kCFCompareCaseInsensitive = 1,
    kCFCompareBackwards = 4,
    kCFCompareAnchored = 8,
    kCFCompareNonliteral = 16,
    kCFCompareLocalized = 32,
    kCFCompareNumerically = 64,
};

CFTypeID CFStringGetTypeID();

// A constant string for a literal: never freed, the same reference for the same text.
#define CFSTR(text) (::platform::cf::constantString("" text ""))
namespace platform::cf {
CFStringRef constantString(const char* text);
}

// Null when the bytes are not valid in the encoding (an ASCII string with a byte above 0x7F,
// malformed UTF-8) or the encoding is not one of the above.
CFStringRef CFStringCreateWithCString(CFAllocatorRef allocator, const char* text, CFStringEncoding encoding);
CFStringRef CFStringCreateWithBytes(CFAllocatorRef allocator, const UInt8* bytes, CFIndex length,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation);
CFStringRef CFStringCreateWithCharacters(CFAllocatorRef allocator, const UniChar* characters, CFIndex count);
CFStringRef CFStringCreateCopy(CFAllocatorRef allocator, CFStringRef string);
CFMutableStringRef CFStringCreateMutable(CFAllocatorRef allocator, CFIndex maxLength);
CFMutableStringRef CFStringCreateMutableCopy(CFAllocatorRef allocator, CFIndex maxLength, CFStringRef string);
void CFStringAppend(CFMutableStringRef string, CFStringRef appended);
void CFStringAppendCString(CFMutableStringRef string, const char* text, CFStringEncoding encoding);

// printf-style formatting; "%@" inserts the description of a CoreFoundation value (a string
// itself). `formatOptions` is ignored.
CFStringRef CFStringCreateWithFormat(CFAllocatorRef allocator, CFTypeRef formatOptions, CFStringRef format,
                                     ...);
CFStringRef CFStringCreateWithFormatAndArguments(CFAllocatorRef allocator, CFTypeRef formatOptions,
                                                 CFStringRef format, va_list arguments);

// Length in UTF-16 units.
CFIndex CFStringGetLength(CFStringRef string);
UniChar CFStringGetCharacterAtIndex(CFStringRef string, CFIndex index);
void CFStringGetCharacters(CFStringRef string, CFRange range, UniChar* buffer);

// Copies the text, NUL-terminated, into `buffer`; false (buffer holds "") when it does not fit
// or a character has no form in the encoding.
Boolean CFStringGetCString(CFStringRef string, char* buffer, CFIndex bufferSize, CFStringEncoding encoding);
// The string's own bytes in the encoding when it keeps them that way (plain ASCII text), else
// null: callers fall back to CFStringGetCString.
const char* CFStringGetCStringPtr(CFStringRef string, CFStringEncoding encoding);
// Converts `range` into `buffer` (null: only count). A character without a form in the encoding
// becomes `lossByte`, or, with lossByte 0, ends the conversion. Returns the characters converted;
// `usedBufferLength` gets the bytes produced.
CFIndex CFStringGetBytes(CFStringRef string, CFRange range, CFStringEncoding encoding, UInt8 lossByte,
                         Boolean isExternalRepresentation, UInt8* buffer, CFIndex maxBufferLength,
                         CFIndex* usedBufferLength);
CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding);
// The encoding of this system's 8-bit text (Mac Roman).
CFStringEncoding CFStringGetSystemEncoding();

// Leading white space, an optional sign and decimal digits; 0 when there is no number; values
// beyond the 32-bit range saturate.
SInt32 CFStringGetIntValue(CFStringRef string);
double CFStringGetDoubleValue(CFStringRef string);

CFComparisonResult CFStringCompare(CFStringRef a, CFStringRef b, CFStringCompareFlags options);
Boolean CFStringHasPrefix(CFStringRef string, CFStringRef prefix);
Boolean CFStringHasSuffix(CFStringRef string, CFStringRef suffix);

// Writes the string and its length to standard error.
void CFShowStr(CFStringRef string);
