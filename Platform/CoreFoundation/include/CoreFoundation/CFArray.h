// Ordered collections of values.
#pragma once

#include "CoreFoundation/CFBase.h"

using CFArrayRef = const platform::cf::Array*;
using CFMutableArrayRef = platform::cf::Array*;

using CFArrayRetainCallBack = const void* (*)(CFAllocatorRef, const void*);
using CFArrayReleaseCallBack = void (*)(CFAllocatorRef, const void*);
using CFArrayCopyDescriptionCallBack = CFStringRef (*)(const void*);
using CFArrayEqualCallBack = Boolean (*)(const void*, const void*);
struct CFArrayCallBacks
{
    CFIndex version;
    CFArrayRetainCallBack retain;
    CFArrayReleaseCallBack release;
    CFArrayCopyDescriptionCallBack copyDescription;
    CFArrayEqualCallBack equal;
};
// Retains the values and compares them with CFEqual. Null callbacks keep raw pointers.
extern const CFArrayCallBacks kCFTypeArrayCallBacks;

using CFArrayApplierFunction = void (*)(const void* value, void* context);

CFTypeID CFArrayGetTypeID();
CFArrayRef CFArrayCreate(CFAllocatorRef allocator, const void** values, CFIndex count,
                         const CFArrayCallBacks* callBacks);
CFArrayRef CFArrayCreateCopy(CFAllocatorRef allocator, CFArrayRef array);
CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                       const CFArrayCallBacks* callBacks);
CFMutableArrayRef CFArrayCreateMutableCopy(CFAllocatorRef allocator, CFIndex capacity, CFArrayRef array);
CFIndex CFArrayGetCount(CFArrayRef array);
// Null for an index outside the array.
const void* CFArrayGetValueAtIndex(CFArrayRef array, CFIndex index);
CFIndex CFArrayGetFirstIndexOfValue(CFArrayRef array, CFRange range, const void* value);
Boolean CFArrayContainsValue(CFArrayRef array, CFRange range, const void* value);
void CFArrayApplyFunction(CFArrayRef array, CFRange range, CFArrayApplierFunction applier, void* context);
// Mutations of an immutable array, or at an index outside it, change nothing.
void CFArrayAppendValue(CFMutableArrayRef array, const void* value);
void CFArrayInsertValueAtIndex(CFMutableArrayRef array, CFIndex index, const void* value);
void CFArraySetValueAtIndex(CFMutableArrayRef array, CFIndex index, const void* value);
void CFArrayRemoveValueAtIndex(CFMutableArrayRef array, CFIndex index);
void CFArrayRemoveAllValues(CFMutableArrayRef array);
