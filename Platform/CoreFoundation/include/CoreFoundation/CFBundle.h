// Bundles: a folder holding an information property list ("Contents/Info.plist", or
// "Info.plist" at the top) and, for a loadable bundle, a shared library named by the
// "CFBundleExecutable" key ("Contents/MacOS/<name>", or "<name>" at the top).
//
// The information keys this layer reads: "CFBundleIdentifier", "CFBundleExecutable" and the
// plug-in tables (CFPlugIn.h).
//
// A bundle URL is a system path and is looked up under the process's root folder, like every
// file. The main bundle is the running program's own: the folder two levels above the program
// when it sits in ".../Contents/MacOS", else the program's folder.
//
// Thread safety: every call may be made from any thread.
#pragma once

#include "CoreFoundation/CFBase.h"
#include "CoreFoundation/CFDictionary.h"
#include "CoreFoundation/CFString.h"
#include "CoreFoundation/CFURL.h"

using CFBundleRef = platform::cf::Bundle*;

CFTypeID CFBundleGetTypeID();
// The bundle at a folder (the same object while one is alive); null when the folder does not
// exist. A missing or damaged information list reads as an empty dictionary.
CFBundleRef CFBundleCreate(CFAllocatorRef allocator, CFURLRef bundleURL);
// The running program's bundle; never null, never freed.
CFBundleRef CFBundleGetMainBundle();
CFDictionaryRef CFBundleGetInfoDictionary(CFBundleRef bundle);
CFTypeRef CFBundleGetValueForInfoDictionaryKey(CFBundleRef bundle, CFStringRef key);
CFStringRef CFBundleGetIdentifier(CFBundleRef bundle);
CFURLRef CFBundleCopyBundleURL(CFBundleRef bundle);
// A file in "Contents/Resources" (or "Resources"), optionally in a sub-folder, named
// "<name>.<type>"; null when it does not exist.
CFURLRef CFBundleCopyResourceURL(CFBundleRef bundle, CFStringRef name, CFStringRef type,
                                 CFStringRef subFolder);

// Loads the shared library (once); false, with a system-log line, when it is missing or does
// not load.
Boolean CFBundleLoadExecutable(CFBundleRef bundle);
Boolean CFBundleIsExecutableLoaded(CFBundleRef bundle);
// Unloads only when no plug-in instance of the bundle's factories is registered.
void CFBundleUnloadExecutable(CFBundleRef bundle);
// Loads the library if needed and finds an exported C symbol; null when absent.
void* CFBundleGetFunctionPointerForName(CFBundleRef bundle, CFStringRef name);
