// File-system locations. A URL holds the system's own path ("/Users/Shared/..."); whenever one
// touches the disk the path is placed under the process's root folder
// (platform::process::rootedPath), so nothing outside that folder is ever read or written.
#pragma once

#include "CoreFoundation/CFBase.h"
#include "CoreFoundation/CFData.h"
#include "CoreFoundation/CFDictionary.h"
#include "CoreFoundation/CFString.h"

using CFURLRef = const platform::cf::URL*;

enum CFURLPathStyle : CFIndex
{
    kCFURLPOSIXPathStyle = 0,
};

// Key of the resource properties: the POSIX mode of a file or folder (a CFNumber).
extern const CFStringRef kCFURLFilePOSIXMode;

CFTypeID CFURLGetTypeID();
// Null for a path that is empty or not absolute.
CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef allocator, CFStringRef path, CFURLPathStyle style,
                                       Boolean isDirectory);
CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef allocator, const UInt8* path, CFIndex length,
                                                 Boolean isDirectory);
CFURLRef CFURLCreateCopyAppendingPathComponent(CFAllocatorRef allocator, CFURLRef url, CFStringRef component,
                                               Boolean isDirectory);
CFURLRef CFURLCreateCopyDeletingLastPathComponent(CFAllocatorRef allocator, CFURLRef url);
// The path without a trailing slash (except "/").
CFStringRef CFURLCopyFileSystemPath(CFURLRef url, CFURLPathStyle style);
CFStringRef CFURLCopyLastPathComponent(CFURLRef url);
Boolean CFURLHasDirectoryPath(CFURLRef url);
// The system path as NUL-terminated bytes; false when it does not fit.
Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean resolveAgainstBase, UInt8* buffer,
                                         CFIndex maxBufferLength);

// A directory URL: creates the folder (and missing parents) and writes no data. A file URL:
// replaces the whole file at once (a reader sees the old or the new contents, never a mix).
// Either way a kCFURLFilePOSIXMode property sets the mode. On failure `errorCode` gets an errno
// value.
Boolean CFURLWriteDataAndPropertiesToResource(CFURLRef url, CFDataRef data, CFDictionaryRef properties,
                                              SInt32* errorCode);
// Reads a whole file (`properties` and `desiredProperties` are not supported and set to null).
Boolean CFURLCreateDataAndPropertiesFromResource(CFAllocatorRef allocator, CFURLRef url, CFDataRef* data,
                                                 CFDictionaryRef* properties, CFTypeRef desiredProperties,
                                                 SInt32* errorCode);
