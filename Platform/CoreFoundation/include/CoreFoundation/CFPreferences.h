// Preferences: per-user (or machine-wide) settings domains, each kept as an XML property-list
// file under the process's root folder:
//
//   current user, any host:   /Users/<user>/Library/Preferences/<domain>.plist
//   current user, this host:  /Users/<user>/Library/Preferences/ByHost/<domain>.plist
//   any user:                 /Library/Preferences/<domain>.plist   (ByHost/ likewise)
//
// A process reads a domain once and keeps it; its own changes are seen at once by itself and
// reach the file at the next synchronise, which takes the domain's file lock, reads the file
// afresh, applies the changes over it and replaces the file whole. So several processes can
// share a domain, and each sees the others' synchronised values after its own synchronise. A
// file that cannot be read as a dictionary reads as empty; before it is replaced, it is kept
// beside the domain as "<domain>.plist.damaged" (numbered when that exists).
//
// Thread safety: every call may be made from any thread.
#pragma once

#include "CoreFoundation/CFArray.h"
#include "CoreFoundation/CFPropertyList.h"
#include "CoreFoundation/CFString.h"

extern const CFStringRef kCFPreferencesAnyApplication;
extern const CFStringRef kCFPreferencesCurrentApplication;
extern const CFStringRef kCFPreferencesAnyHost;
extern const CFStringRef kCFPreferencesCurrentHost;
extern const CFStringRef kCFPreferencesAnyUser;
extern const CFStringRef kCFPreferencesCurrentUser;

// The value (+1), or null when absent. Callers check its type.
CFPropertyListRef CFPreferencesCopyAppValue(CFStringRef key, CFStringRef applicationID);
// Sets (null: removes) a value for the current user on any host; a value that is not a
// property list is refused with a system-log line.
void CFPreferencesSetAppValue(CFStringRef key, CFPropertyListRef value, CFStringRef applicationID);
Boolean CFPreferencesAppSynchronize(CFStringRef applicationID);

CFPropertyListRef CFPreferencesCopyValue(CFStringRef key, CFStringRef applicationID, CFStringRef userName,
                                         CFStringRef hostName);
void CFPreferencesSetValue(CFStringRef key, CFPropertyListRef value, CFStringRef applicationID,
                           CFStringRef userName, CFStringRef hostName);
// Writes this process's changes and reads the others'; false when the file could not be
// locked or written (the changes are kept for the next try).
Boolean CFPreferencesSynchronize(CFStringRef applicationID, CFStringRef userName, CFStringRef hostName);
// The keys of a domain (+1), or null when it has none.
CFArrayRef CFPreferencesCopyKeyList(CFStringRef applicationID, CFStringRef userName, CFStringRef hostName);
