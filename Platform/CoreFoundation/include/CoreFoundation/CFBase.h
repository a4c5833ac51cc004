// Core types of the value layer: references, ownership, type identity, equality and description.
//
// Ownership: a function whose name contains "Create" or "Copy" hands the caller a reference of
// its own (+1), which the caller gives back with CFRelease; a "Get" function lends a reference
// that stays valid as long as its owner does. Constants (CFSTR strings, kCFBooleanTrue, ...) are
// never freed; retaining and releasing them is harmless.
//
// Thread safety: reference counting may run on any thread; an immutable value may be read from
// many threads at once; a mutable container belongs to one thread at a time.
#pragma once

#include <cstdint>

namespace platform::cf {
class Object;
class String;
class Number;
class BooleanValue;
class Data;
class Array;
class Dictionary;
class UUID;
class URL;
class Error;
class Bundle;
class RunLoop;
class RunLoopSource;
class RunLoopTimer;
class FileDescriptor;
} // namespace platform::cf

using Boolean = unsigned char;
using UInt8 = uint8_t;
using SInt8 = int8_t;
using UInt16 = uint16_t;
using SInt16 = int16_t;
using UInt32 = uint32_t;
using SInt32 = int32_t;
using UInt64 = uint64_t;
using SInt64 = int64_t;
using Float32 = float;
using Float64 = double;
using UniChar = uint16_t;
using OSStatus = int32_t;

using CFIndex = long;
using CFTypeID = unsigned long;
using CFHashCode = unsigned long;
using CFOptionFlags = unsigned long;

using CFTypeRef = const void*;
using CFAllocatorRef = const void*; // only the default allocator exists
using CFStringRef = const platform::cf::String*;
using CFMutableStringRef = platform::cf::String*;
using CFErrorRef = platform::cf::Error*;

// The default allocator; every allocator argument accepts it (and ignores what it is given).
inline constexpr CFAllocatorRef kCFAllocatorDefault = nullptr;

struct CFRange
{
    CFIndex location;
    CFIndex length;
};
inline CFRange CFRangeMake(CFIndex location, CFIndex length)
{
    return CFRange{location, length};
}

enum CFComparisonResult : CFIndex
{
    kCFCompareLessThan = -1,
    kCFCompareEqualTo = 0,
    kCFCompareGreaterThan = 1,
};

inline constexpr CFIndex kCFNotFound = -1;

// Type identities, one per kind of value.
enum : CFTypeID
{
    kCFTypeIDString = 1,
    kCFTypeIDNumber,
    kCFTypeIDBoolean,
    kCFTypeIDData,
    kCFTypeIDArray,
    kCFTypeIDDictionary,
    kCFTypeIDUUID,
    kCFTypeIDURL,
    kCFTypeIDError,
    kCFTypeIDBundle,
    kCFTypeIDRunLoop,
    kCFTypeIDRunLoopSource,
    kCFTypeIDRunLoopTimer,
    kCFTypeIDFileDescriptor,
};

CFTypeRef CFRetain(CFTypeRef object);
void CFRelease(CFTypeRef object);
// Count of references held; constants report a very large count.
CFIndex CFGetRetainCount(CFTypeRef object);
CFTypeID CFGetTypeID(CFTypeRef object);
// Value equality: same type and same contents (containers compare element by element).
Boolean CFEqual(CFTypeRef a, CFTypeRef b);
CFHashCode CFHash(CFTypeRef object);
// A readable description of the value (+1).
CFStringRef CFCopyDescription(CFTypeRef object);
// Writes the description of a value to standard error, one line.
void CFShow(CFTypeRef object);
