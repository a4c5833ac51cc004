// Property lists: trees of strings, numbers, booleans, data, arrays and dictionaries with string
// keys, read from and written to the XML form. The binary form is neither read nor written.
//
// Reading never trusts the bytes: malformed input gives null and an error, never a crash; a
// value of a kind the tree cannot hold (dates, keyed-archive identifiers, integers beyond 64
// bits, text that is not Unicode) is left out of its container, so callers check the type of
// everything they take out.
#pragma once

#include "CoreFoundation/CFBase.h"
#include "CoreFoundation/CFData.h"
#include "CoreFoundation/CFString.h"

using CFPropertyListRef = CFTypeRef;

enum CFPropertyListFormat : CFIndex
{
    kCFPropertyListOpenStepFormat = 1,
    kCFPropertyListXMLFormat_v1_0 = 100,
    kCFPropertyListBinaryFormat_v1_0 = 200,
};

using CFPropertyListMutabilityOptions = CFOptionFlags;
enum : CFPropertyListMutabilityOptions
{
    kCFPropertyListImmutable = 0,
    kCFPropertyListMutableContainers = 1,
    kCFPropertyListMutableContainersAndLeaves = 2,
};

// Errors of the property-list calls.
CFTypeID CFErrorGetTypeID();
CFIndex CFErrorGetCode(CFErrorRef error);
CFStringRef CFErrorCopyDescription(CFErrorRef error);
enum : CFIndex
{
    kCFPropertyListReadCorruptError = 3840,
    kCFPropertyListWriteStreamError = 3851,
    kCFPropertyListReadUnknownVersionError = 3841,
};

// True when the tree holds only property-list values, with string keys, no deeper than the
// reader accepts, and `format` can be written.
Boolean CFPropertyListIsValid(CFPropertyListRef plist, CFPropertyListFormat format);

// Serialises the tree as XML; null, and an error when `error` is not null, for a tree
// that is not a property list or a format that cannot be written.
CFDataRef CFPropertyListCreateData(CFAllocatorRef allocator, CFPropertyListRef plist,
                                   CFPropertyListFormat format, CFOptionFlags options, CFErrorRef* error);
CFDataRef CFPropertyListCreateXMLData(CFAllocatorRef allocator, CFPropertyListRef plist);

// Parses XML bytes. `format` (may be null) gets the form found.
CFPropertyListRef CFPropertyListCreateWithData(CFAllocatorRef allocator, CFDataRef data,
                                               CFOptionFlags options, CFPropertyListFormat* format,
                                               CFErrorRef* error);
CFPropertyListRef CFPropertyListCreateFromXMLData(CFAllocatorRef allocator, CFDataRef data,
                                                  CFOptionFlags options, CFStringRef* errorString);

// A copy in which containers (and with MutableContainersAndLeaves, strings and data) are new
// objects, mutable as asked.
CFPropertyListRef CFPropertyListCreateDeepCopy(CFAllocatorRef allocator, CFPropertyListRef plist,
                                               CFOptionFlags mutabilityOption);
