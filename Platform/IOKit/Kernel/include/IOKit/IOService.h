// Services: registry entries with a life cycle, matched to providers and started on them.
//
// Life cycle, driven by matching and termination:
//   alloc (by the class name of a personality's "IOClass") -> init(personality) -> attach(provider)
//   -> probe(provider, &score) -> start(provider) -> ... -> terminate() -> stop(provider)
//   -> finalize() (detaches from the providers) -> free() when the last reference goes.
// terminate() marks the service inactive, terminates its clients first and announces
// kIOMessageServiceIsTerminated; stop and the detach follow on the kernel's work thread once no
// client is attached and nobody holds the service open. waitQuiet() waits for that.
//
// Matching: a provider calls registerService(); every personality in the catalogue whose
// "IOProviderClass" is the provider's class (or a superclass), whose "IOPropertyMatch" entries
// equal the provider's properties and which the provider's matchPropertyTable() accepts becomes a
// candidate, scored by "IOProbeScore" plus what matchPropertyTable adds. Candidates are probed in
// score order and the best one that starts wins its "IOMatchCategory" on that provider.
//
// Messages: messageClients() never blocks and never allocates: each general-interest listener
// and the provider's clients have their own bounded queue, delivered on their own thread, so a
// slow listener delays only itself. A full queue drops the message and counts the drop. An
// argument of argSize bytes (at most kIOMessageArgumentMaximum) is copied; with argSize 0 the
// pointer itself is delivered.
//
// A family publishes a provider (a "nub", such as a USB device) like this:
//   auto* nub = new MyNub; nub->init(properties);        // properties: the matching keys
//   nub->attach(parentOrServiceRoot);                     // the service plane
//   nub->attachToParent(hub, IORegistryEntry::getPlane("IOUSB")); // a family plane, if any
//   nub->registerService(); nub->release();               // the registry now holds it
// and overrides matchPropertyTable() to compare its own keys (compareProperty() does one key).
// On removal it calls nub->terminate().
//
// Threads: life-cycle calls come from the kernel's work thread or the thread that calls
// registerService(kIOServiceSynchronous)/terminate(kIOServiceSynchronous); message() and the
// interest handlers from delivery threads; powerStateWillChangeTo/DidChangeTo from the thread
// that changes the power state.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "IOKit/IOMessage.h"
#include "IOKit/IORegistryEntry.h"
#include "platform/HostClock.h"

class IOService;
class IOUserClient;
class IOPMrootDomain;
class IONotifier;

namespace platform::iokit::detail {
class InterestNotifier;
class MessageQueue;
} // namespace platform::iokit::detail

// Handlers. Interest: (target, refCon, message type, the service, argument, argument size).
typedef IOReturn (*IOServiceInterestHandler)(void* target, void* refCon, UInt32 messageType,
                                             IOService* provider, void* messageArgument, vm_size_t argSize);
// Matching: (target, refCon, the service, the notifier); the answer is not used.
typedef bool (*IOServiceMatchingNotificationHandler)(void* target, void* refCon, IOService* newService,
                                                     IONotifier* notifier);

// A registration for notifications. remove() ends it and drops the caller's reference: no
// handler call starts afterwards, and unless it is called from the handler itself it waits for
// a running call to return. An interest registration also ends when its service is freed; the
// notifier stays valid for remove() until then.
class IONotifier : public OSObject
{
    OSDeclareAbstractStructors(IONotifier);

public:
    virtual void remove() = 0;
    // Stops delivery until enable(); answers whether it was enabled. Messages sent meanwhile
    // are dropped.
    virtual bool disable() = 0;
    virtual void enable(bool was) = 0;
    // Messages this notifier dropped because its queue was full.
    virtual uint64_t droppedMessages() const = 0;
};

// Options. Seize (open): ask the current owner to close. Synchronous (registerService,
// terminate): do the work before returning.
constexpr IOOptionBits kIOServiceSeize = 0x00000001;
constexpr IOOptionBits kIOServiceSynchronous = 0x00000002;

constexpr vm_size_t kIOMessageArgumentMaximum = 128;

// Notification types and interest types. Symbols are compared by text.
namespace platform::iokit {
const OSSymbol* symbolNamed(const char* name);
}
#define gIOPublishNotification (::platform::iokit::symbolNamed("IOServicePublish"))
#define gIOFirstPublishNotification (::platform::iokit::symbolNamed("IOServiceFirstPublish"))
#define gIOMatchedNotification (::platform::iokit::symbolNamed("IOServiceMatched"))
#define gIOFirstMatchNotification (::platform::iokit::symbolNamed("IOServiceFirstMatch"))
#define gIOTerminatedNotification (::platform::iokit::symbolNamed("IOServiceTerminate"))
#define gIOGeneralInterest (::platform::iokit::symbolNamed("IOGeneralInterest"))

// Personality and matching keys.
constexpr const char* kIOProviderClassKey = "IOProviderClass";
constexpr const char* kIOClassKey = "IOClass";
constexpr const char* kIOProbeScoreKey = "IOProbeScore";
constexpr const char* kIOPropertyMatchKey = "IOPropertyMatch";
constexpr const char* kIONameMatchKey = "IONameMatch";
constexpr const char* kIOMatchCategoryKey = "IOMatchCategory";
constexpr const char* kIODefaultMatchCategoryKey = "IODefaultMatchCategory";
constexpr const char* kCFBundleIdentifierKey = "CFBundleIdentifier";

class IOService : public IORegistryEntry
{
    OSDeclareDefaultStructors(IOService);

public:
    using IORegistryEntry::init;
    bool init(OSDictionary* dictionary) override;

    // Life cycle (see the file comment). The base forms: probe answers this service, start
    // true, stop nothing, finalize detaches from every provider.
    virtual IOService* probe(IOService* provider, SInt32* score);
    virtual bool start(IOService* provider);
    virtual void stop(IOService* provider);
    virtual bool terminate(IOOptionBits options = 0);
    virtual bool finalize(IOOptionBits options);
    virtual bool attach(IOService* provider);
    virtual void detach(IOService* provider);
    virtual bool willTerminate(IOService* provider, IOOptionBits options);
    virtual bool didTerminate(IOService* provider, IOOptionBits options, bool* defer);
    bool isInactive() const { return m_inactive.load(std::memory_order_acquire); }

    // Publishes the service for matching and to the publish notifications.
    virtual void registerService(IOOptionBits options = 0);
    // Waits until matching and termination work for this service is done (for the service
    // root: all such work). `timeout` in nanoseconds of host time; kIOReturnTimeout when it ran out.
    IOReturn waitQuiet(uint64_t timeout = UINT64_MAX);

    // Providers and clients in the service plane (borrowed pointers; iterators retained).
    IOService* getProvider() const;
    IOService* getClient() const;
    OSIterator* getProviderIterator() const;
    OSIterator* getClientIterator() const;

    // Open arbitration: one client holds the service open at a time (the same client may open
    // again). An inactive service cannot be opened.
    virtual bool open(IOService* forClient, IOOptionBits options = 0, void* arg = nullptr);
    virtual void close(IOService* forClient, IOOptionBits options = 0);
    // With no client: whether anyone holds it open.
    virtual bool isOpen(const IOService* forClient = nullptr) const;

    // Matching.
    virtual bool matchPropertyTable(OSDictionary* table, SInt32* score);
    // True when `matching` has no `key` or its value equals this service's property.
    virtual bool compareProperty(OSDictionary* matching, const char* key);
    // A new matching dictionary {IOProviderClass: className} (or `table` with that key added).
    static OSDictionary* serviceMatching(const char* className, OSDictionary* table = nullptr);
    // Whether `service` matches `matching` (class, property and name keys, then the service's
    // own matchPropertyTable).
    static bool matchesDictionary(IOService* service, OSDictionary* matching);
    // A retained iterator over the registered, active services matching `matching`.
    static OSIterator* getMatchingServices(OSDictionary* matching);
    // Publish types also deliver the services already registered. `matching` is retained.
    // Each registration delivers on a thread of its own: std::system_error when none can be made.
    static IONotifier* addMatchingNotification(const OSSymbol* type, OSDictionary* matching,
                                               IOServiceMatchingNotificationHandler handler, void* target,
                                               void* refCon = nullptr, SInt32 priority = 0);
    static IOService* getServiceRoot();

    // Messages.
    virtual IOReturn message(UInt32 type, IOService* provider, void* argument = nullptr);
    virtual IOReturn messageClients(UInt32 type, void* argument = nullptr, vm_size_t argSize = 0);
    // Throws std::system_error when the registration's delivery thread cannot be made.
    virtual IONotifier* registerInterest(const OSSymbol* typeOfInterest, IOServiceInterestHandler handler,
                                         void* target, void* refCon = nullptr);

    // User clients. The five-argument base form asks the four-argument one, whose base form
    // answers kIOReturnUnsupported.
    virtual IOReturn newUserClient(task_t owningTask, void* securityID, UInt32 type, OSDictionary* properties,
                                   IOUserClient** handler);
    virtual IOReturn newUserClient(task_t owningTask, void* securityID, UInt32 type, IOUserClient** handler);

    // Power: drivers register with the root domain to hear of system power changes.
    static IOPMrootDomain* getPMRootDomain();
    virtual IOPMPowerFlags registerInterestedDriver(IOService* driver);
    virtual IOReturn deRegisterInterestedDriver(IOService* driver);
    virtual IOReturn powerStateWillChangeTo(IOPMPowerFlags flags, unsigned long stateNumber,
                                            IOService* whatDevice);
    virtual IOReturn powerStateDidChangeTo(IOPMPowerFlags flags, unsigned long stateNumber,
                                           IOService* whatDevice);

protected:
    void free() override;
    // The open policy behind open/close/isOpen; called with the open lock held.
    virtual bool handleOpen(IOService* forClient, IOOptionBits options, void* arg);
    virtual void handleClose(IOService* forClient, IOOptionBits options);
    virtual bool handleIsOpen(const IOService* forClient) const;
    // Calls the interested drivers' powerStateWillChangeTo, then their powerStateDidChangeTo.
    void notifyInterestedDrivers(IOPMPowerFlags flags, unsigned long stateNumber);

private:
    friend class IOCatalogue;
    friend class platform::iokit::detail::InterestNotifier;
    struct Work;

    void adjustBusy(int delta);
    // Ends work that held a reference and a busy count: the reference goes first, since the
    // last release may run a kext's code and a kext is unloaded once the registry is quiet.
    void releaseThenUnbusy();
    void adjustOwnBusy(int delta);
    void scheduleFinishIfReady();
    bool takePendingTerminationIfReady();
    void finishTermination();
    void ensureClientQueue();
    void deliverClientMessage(UInt32 type, void* argument);
    void removeInterest(platform::iokit::detail::InterestNotifier* notifier);
    void publish();
    static bool passiveMatch(IOService* service, OSDictionary* matching, SInt32* score);

    std::atomic<bool> m_inactive{false};
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_registered{false};

    mutable std::mutex m_openMutex;
    IOService* m_openOwner = nullptr;  // guarded by m_openMutex
    bool m_terminationPending = false; // guarded by m_openMutex: waits for clients to close/detach

    // General-interest listeners, in blocks of slots: a block is added when all are taken and
    // kept until the service is freed, so senders walk them without a lock and without
    // allocating; m_sendersInFlight lets removal wait until no sender still holds a pointer it read.
    struct InterestSlots
    {
        static constexpr int kSlots = 16;
        std::atomic<platform::iokit::detail::InterestNotifier*> slots[kSlots] = {};
        std::atomic<InterestSlots*> next{nullptr};
    };
    template <class Body> void forEachInterestSlot(Body body)
    {
        for (InterestSlots* b = &m_interest; b != nullptr; b = b->next.load(std::memory_order_acquire)) {
            for (auto& slot : b->slots) {
                body(slot);
            }
        }
    }
    std::mutex m_interestMutex; // serialises registration and removal
    InterestSlots m_interest;
    std::atomic<int> m_sendersInFlight{0};
    // Queue of messages to this service's clients (made when the first client attaches).
    std::atomic<platform::iokit::detail::MessageQueue*> m_clientQueue{nullptr};

    std::mutex m_busyMutex;
    platform::host_clock::Condition m_busyChanged;
    int m_busy = 0; // guarded by m_busyMutex

    std::mutex m_powerMutex;
    std::vector<IOService*> m_interestedDrivers; // guarded by m_powerMutex; not retained

    // Held through a whole matching pass on this provider (recursive: a driver's start may
    // register a service synchronously).
    std::recursive_mutex m_matchMutex;
    std::vector<std::string> m_matchedCategories; // guarded by m_matchMutex
    std::atomic<bool> m_published{false};
};
