// Byte blocks.
#pragma once

#include "CoreFoundation/CFBase.h"

using CFDataRef = const platform::cf::Data*;
using CFMutableDataRef = platform::cf::Data*;

CFTypeID CFDataGetTypeID();
CFDataRef CFDataCreate(CFAllocatorRef allocator, const UInt8* bytes, CFIndex length);
CFDataRef CFDataCreateCopy(CFAllocatorRef allocator, CFDataRef data);
CFMutableDataRef CFDataCreateMutable(CFAllocatorRef allocator, CFIndex capacity);
CFMutableDataRef CFDataCreateMutableCopy(CFAllocatorRef allocator, CFIndex capacity, CFDataRef data);
CFIndex CFDataGetLength(CFDataRef data);
// Null for an empty block.
const UInt8* CFDataGetBytePtr(CFDataRef data);
UInt8* CFDataGetMutableBytePtr(CFMutableDataRef data);
// Copies the bytes of `range`; a range that leaves the block copies nothing.
void CFDataGetBytes(CFDataRef data, CFRange range, UInt8* buffer);
void CFDataSetLength(CFMutableDataRef data, CFIndex length);
void CFDataAppendBytes(CFMutableDataRef data, const UInt8* bytes, CFIndex length);
