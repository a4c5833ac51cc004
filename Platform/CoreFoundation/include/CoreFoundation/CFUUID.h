// 128-bit identifiers. Equal bytes give the same (shared) object.
#pragma once

#include "CoreFoundation/CFBase.h"

using CFUUIDRef = const platform::cf::UUID*;

struct CFUUIDBytes
{
    UInt8 byte0, byte1, byte2, byte3, byte4, byte5, byte6, byte7;
    UInt8 byte8, byte9, byte10, byte11, byte12, byte13, byte14, byte15;
};
static_assert(sizeof(CFUUIDBytes) == 16);

CFTypeID CFUUIDGetTypeID();
// A new random identifier.
CFUUIDRef CFUUIDCreate(CFAllocatorRef allocator);
CFUUIDRef CFUUIDCreateWithBytes(CFAllocatorRef allocator, UInt8 byte0, UInt8 byte1, UInt8 byte2, UInt8 byte3,
                                UInt8 byte4, UInt8 byte5, UInt8 byte6, UInt8 byte7, UInt8 byte8, UInt8 byte9,
                                UInt8 byte10, UInt8 byte11, UInt8 byte12, UInt8 byte13, UInt8 byte14,
                                UInt8 byte15);
CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef allocator, CFUUIDBytes bytes);
// "01234567-89AB-CDEF-0123-456789ABCDEF" (either case); null for anything else.
CFUUIDRef CFUUIDCreateFromString(CFAllocatorRef allocator, CFStringRef text);
// A constant identifier, never freed.
CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef allocator, UInt8 byte0, UInt8 byte1, UInt8 byte2,
                                         UInt8 byte3, UInt8 byte4, UInt8 byte5, UInt8 byte6, UInt8 byte7,
                                         UInt8 byte8, UInt8 byte9, UInt8 byte10, UInt8 byte11, UInt8 byte12,
                                         UInt8 byte13, UInt8 byte14, UInt8 byte15);
CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid);
// Upper-case text form.
CFStringRef CFUUIDCreateString(CFAllocatorRef allocator, CFUUIDRef uuid);
