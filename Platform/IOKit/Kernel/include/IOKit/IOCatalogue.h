// The catalogue of driver personalities that matching draws on. A personality is a dictionary:
// "IOClass" (the driver class to allocate), "IOProviderClass", optional "IOProbeScore",
// "IOMatchCategory", "IOPropertyMatch", "IONameMatch", the provider family's own matching keys
// (for USB: idVendor, idProduct, bcdDevice, ...), and anything else the driver reads from it.
// Each started driver gets a copy of its personality as its property table.
//
// Thread safety: any thread. Matching runs on the calling thread (startMatching) or on the
// kernel's work thread (after an asynchronous registerService).
#pragma once

#include <mutex>
#include <vector>

#include "IOKit/IOService.h"

class IOCatalogue : public OSObject
{
    OSDeclareDefaultStructors(IOCatalogue);

public:
    static IOCatalogue* shared();

    // Adds the dictionaries of `personalities` (retained). With doNubMatching, every registered
    // provider is matched again (categories already taken on a provider stay taken).
    bool addDrivers(OSArray* personalities, bool doNubMatching = true);
    // Removes every personality holding all entries of `matching` (for example the
    // CFBundleIdentifier of a kext) and, with doNubMatching, terminates the drivers started from
    // them.
    bool removeDrivers(OSDictionary* matching, bool doNubMatching = true);
    // A retained snapshot of the personalities.
    OSArray* copyDrivers() const;

    // Matches `provider` against the catalogue now, on the calling thread: probes the candidates
    // in score order and starts the best one of each match category.
    void startMatching(IOService* provider);

    // Drivers started by matching that have not finished terminating (retained snapshot).
    OSArray* copyStartedDrivers() const;

    // Resources came back (a service gave back what it held, a process went): providers whose
    // driver could not start for lack of them (a shared block, a thread, memory) are matched again
    // on the kernel's work thread.
    void resourcesReturned();

private:
    friend class IOService;
    void forgetDriver(IOService* driver);
    void waitForResources(IOService* provider);

    mutable std::mutex m_mutex;
    OSArray* m_personalities = nullptr; // guarded by m_mutex
    std::vector<IOService*> m_started;  // guarded by m_mutex; retained
    std::vector<IOService*> m_waiting;  // guarded by m_mutex; retained: to match when resources return
    std::mutex m_matchingMutex;         // one matching pass at a time
};

#define gIOCatalogue (IOCatalogue::shared())
