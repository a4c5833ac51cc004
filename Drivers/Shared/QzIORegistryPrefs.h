// A user-side copy of a kernel device service's registry properties ("ChannelSettings",
// "AqExtData", the personality's "QzSpecific", ...), refreshed on demand and, when the object
// is made to write, saved as the XML property list "com.quenzar.sonvexa.plist" in the shared
// folder "/Users/Shared/Quenzar/" so that the last known device state outlives the process.
//
// The folder is shared between users: it is made sticky and world-writable but never setuid or
// setgid, the file is written read-only for others, and neither is written through a symbolic
// link planted at the folder's name. The file is replaced whole (a new file renamed over it).
//
// Thread safety: none; the owner serialises its use. A dictionary handed out by getProperties
// carries its own reference and is not affected by later refreshes.
#pragma once

#include <cstdint>

#include "CoreFoundation/CoreFoundation.h"

class QzIORegistryPrefs
{
public:
    // Finds the kernel device service itself (the last one the matching returns).
    explicit QzIORegistryPrefs(bool writeFile);
    // For a caller that holds the device's service; the entry is used, never released.
    QzIORegistryPrefs(bool writeFile, uint32_t registryEntry);
    virtual ~QzIORegistryPrefs();
    QzIORegistryPrefs(const QzIORegistryPrefs&) = delete;
    QzIORegistryPrefs& operator=(const QzIORegistryPrefs&) = delete;

    // Copies the entry's properties afresh; kIOReturnError without an entry (cache unchanged),
    // else the copy's status (the cache is null when it failed).
    int32_t update();
    // Refreshes; whether the kernel has published a stream configuration ("ChannelSettings").
    bool hasProperties();
    // Refreshes; the cached dictionary with one reference for the caller, or null.
    CFDictionaryRef getProperties();

    // Prepares the attributes, the URLs and the folder when writing; always true.
    bool initStorage();
    // Creates the folder; false when not writing or without its URL; true even if mkdir failed.
    bool createDirectory();
    // Writes the snapshot file; false when not writing, without a cache, or when the write failed.
    bool writePropertiesToStorage();

private:
    // False (logged) when something other than a real folder sits at the folder's path.
    bool folderIsSafe() const;

    bool m_writeFile;
    CFMutableDictionaryRef m_properties = nullptr;
    uint32_t m_registryEntry = 0;
    CFURLRef m_folderURL = nullptr;
    CFURLRef m_fileURL = nullptr;
    CFDictionaryRef m_fileAttributes = nullptr;   // the file's POSIX mode
    CFDictionaryRef m_folderAttributes = nullptr; // the folder's POSIX mode
};
