// Plug-ins: bundles whose information dictionary registers factories.
//
//   "CFPlugInFactories": { "<factory UUID>": "<exported factory function>" }
//   "CFPlugInTypes":     { "<type UUID>": [ "<factory UUID>", ... ] }
//
// A factory function has the form  void* factory(CFAllocatorRef, CFUUIDRef typeID)  and returns
// the new instance's interface reference (or null). Factories are found among the plug-ins
// that are alive (created and not yet released).
#pragma once

#include "CoreFoundation/CFArray.h"
#include "CoreFoundation/CFBundle.h"
#include "CoreFoundation/CFPlugInCOM.h"
#include "CoreFoundation/CFUUID.h"

using CFPlugInRef = platform::cf::Bundle*;
using CFPlugInFactoryFunction = void* (*)(CFAllocatorRef allocator, CFUUIDRef typeUUID);

extern const CFStringRef kCFPlugInFactoriesKey;
extern const CFStringRef kCFPlugInTypesKey;

CFTypeID CFPlugInGetTypeID();
CFPlugInRef CFPlugInCreate(CFAllocatorRef allocator, CFURLRef plugInURL);
CFBundleRef CFPlugInGetBundle(CFPlugInRef plugIn);
// Factory UUIDs registered for a type (+1); an empty array when there are none.
CFArrayRef CFPlugInFindFactoriesForPlugInType(CFUUIDRef typeUUID);
CFArrayRef CFPlugInFindFactoriesForPlugInTypeInPlugIn(CFUUIDRef typeUUID, CFPlugInRef plugIn);
// Loads the plug-in owning the factory and calls the factory function; null when there is no
// such factory, it does not support the type, or its function cannot be found.
void* CFPlugInInstanceCreate(CFAllocatorRef allocator, CFUUIDRef factoryUUID, CFUUIDRef typeUUID);
// An instance made by the factory has come or gone; a plug-in with instances stays loaded.
void CFPlugInAddInstanceForFactory(CFUUIDRef factoryID);
void CFPlugInRemoveInstanceForFactory(CFUUIDRef factoryID);
