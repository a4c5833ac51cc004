// Numbers (integers up to 64 bits and floating point) and the two boolean constants.
#pragma once

#include "CoreFoundation/CFBase.h"

using CFNumberRef = const platform::cf::Number*;
using CFBooleanRef = const platform::cf::BooleanValue*;

enum CFNumberType : CFIndex
{
    kCFNumberSInt8Type = 1,
    kCFNumberSInt16Type = 2,
    kCFNumberSInt32Type = 3,
    kCFNumberSInt64Type = 4,
    kCFNumberFloat32Type = 5,
    kCFNumberFloat64Type = 6,
    kCFNumberCharType = 7,
    kCFNumberShortType = 8,
    kCFNumberIntType = 9,
    kCFNumberLongType = 10,
    kCFNumberLongLongType = 11,
    kCFNumberFloatType = 12,
    kCFNumberDoubleType = 13,
    kCFNumberCFIndexType = 14,
    kCFNumberMaxType = 16,
};

CFTypeID CFNumberGetTypeID();
// Reads a value of `type` from `valuePtr`; null for an unknown type or a null pointer.
CFNumberRef CFNumberCreate(CFAllocatorRef allocator, CFNumberType type, const void* valuePtr);
CFNumberType CFNumberGetType(CFNumberRef number);
CFIndex CFNumberGetByteSize(CFNumberRef number);
Boolean CFNumberIsFloatType(CFNumberRef number);
// Writes the value converted to `type`; false when the conversion lost something (the
// truncated or clamped value is written all the same) or the type is unknown.
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType type, void* valuePtr);
CFComparisonResult CFNumberCompare(CFNumberRef a, CFNumberRef b, void* context);

CFTypeID CFBooleanGetTypeID();
extern const CFBooleanRef kCFBooleanTrue;
extern const CFBooleanRef kCFBooleanFalse;
Boolean CFBooleanGetValue(CFBooleanRef boolean);
