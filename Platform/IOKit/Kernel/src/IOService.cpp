#include "IOKit/IOService.h"

#include <algorithm>
#include <climits>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "IOKit/IOCatalogue.h"
#include "IOKit/IOLib.h"
#include "IOKit/pwr_mgt/RootDomain.h"
#include "KernelWork.h"
#include "MessageQueue.h"
#include "platform/HostClock.h"
#include "platform/NotificationQueue.h"

using platform::iokit::detail::Message;
using platform::iokit::detail::MessageQueue;

OSDefineMetaClassAndAbstractStructors(IONotifier, OSObject);
OSDefineMetaClassAndStructors(IOService, IORegistryEntry);
OSDefineMetaClassAndStructors(IOPMrootDomain, IOService);
OSDefineMetaClassAndStructors(IOCatalogue, OSObject);

namespace {

// Queue lengths: general-interest listeners and client messages; matching notifications.
constexpr size_t kInterestQueueLength = 256;
constexpr size_t kMatchingQueueLength = 256;

std::atomic<IOPMrootDomain*> rootDomainInstance{nullptr};

// Services that called registerService and have not finished terminating (retained).
struct RegisteredServices
{
    std::mutex mutex;
    std::vector<IOService*> services; // guarded by mutex
};

RegisteredServices& registered()
{
    static auto* r = new RegisteredServices;
    return *r;
}

OSArray* copyRegisteredServices()
{
    auto& r = registered();
    std::lock_guard lock(r.mutex);
    OSArray* array = OSArray::withCapacity(static_cast<unsigned int>(r.services.size()));
    for (auto* service : r.services) {
        array->setObject(service);
    }
    return array;
}

template <class Body> void forEachService(OSArray* array, Body body)
{
    for (unsigned int i = 0; i < array->getCount(); ++i) {
        if (auto* service = OSDynamicCast(IOService, array->getObject(i))) {
            body(service);
        }
    }
}

} // namespace

namespace platform::iokit {

const OSSymbol* symbolNamed(const char* name)
{
    static std::mutex mutex;
    static auto* symbols = new std::map<std::string, const OSSymbol*>; // live for the process
    std::lock_guard lock(mutex);
    auto& symbol = (*symbols)[name];
    if (symbol == nullptr) {
        symbol = OSSymbol::withCString(name);
    }
    return symbol;
}

namespace detail {
class InterestNotifier;
class MatchingNotifier;
} // namespace detail

// A delivery thread shared by notifiers: each message names its notifier (retained), and the
// notifier being delivered is known, so that removal can wait for it.
class NotificationQueue
{
public:
    NotificationQueue(const std::string& label, size_t capacity)
        : m_queue(capacity, label, [this](Message& m) { deliver(m); })
    {
    }

    bool push(UInt32 type, void* argument, vm_size_t argSize, IOService* object, IONotifier* target)
    {
        return m_queue.push(type, argument, argSize, object, target);
    }
    uint64_t dropped() const { return m_queue.dropped(); }

    // After it returns no handler of `notifier` starts, and none runs unless this is called from
    // the delivery thread.
    void stop(IONotifier* notifier)
    {
        std::unique_lock lock(m_mutex);
        m_stopped.insert(notifier);
        if (!m_queue.onDeliveryThread()) {
            m_idle.wait(lock, [&] { return m_current != notifier; });
        }
    }
    // The notifier is freed: its name may be another's next.
    void forget(IONotifier* notifier)
    {
        std::lock_guard lock(m_mutex);
        m_stopped.erase(notifier);
    }

private:
    void deliver(Message& m);

    std::mutex m_mutex;
    platform::host_clock::Condition m_idle;
    IONotifier* m_current = nullptr; // guarded by m_mutex
    std::set<IONotifier*> m_stopped; // guarded by m_mutex; notifiers still referenced by messages
    MessageQueue m_queue;            // last: its thread stops before the members above go
};

namespace {
thread_local std::shared_ptr<NotificationQueue> currentQueue;
} // namespace

std::shared_ptr<NotificationQueue> makeNotificationQueue(const std::string& label, size_t capacity)
{
    return std::make_shared<NotificationQueue>(label, capacity);
}

uint64_t droppedMessages(const NotificationQueue& queue)
{
    return queue.dropped();
}

DeliverThrough::DeliverThrough(std::shared_ptr<NotificationQueue> queue) : m_previous(std::move(currentQueue))
{
    currentQueue = std::move(queue);
}

DeliverThrough::~DeliverThrough()
{
    currentQueue = std::move(m_previous);
}

namespace detail {

// How a notifier reaches its handler: a queue and thread of its own, or the queue of the
// DeliverThrough scope it was registered in.
class Delivery
{
public:
    using Handle = std::function<void(Message&)>;

    // Throws std::system_error when a thread of its own cannot be made.
    void start(IONotifier* owner, size_t capacity, const std::string& label, Handle handle)
    {
        m_owner = owner;
        m_handle = std::move(handle);
        m_shared = currentQueue;
        if (!m_shared) {
            m_own = std::make_unique<MessageQueue>(capacity, label, [this](Message& m) { m_handle(m); });
        }
    }

    // Sender side: never blocks.
    void push(UInt32 type, void* argument, vm_size_t argSize, IOService* object)
    {
        if (m_own) {
            m_own->push(type, argument, argSize, object);
        } else if (m_shared) {
            m_shared->push(type, argument, argSize, object, m_owner);
        }
    }

    void handle(Message& m) { m_handle(m); }

    // No handler starts afterwards; a running one is waited for unless called from it.
    void stop()
    {
        if (m_own) {
            m_dropped = m_own->dropped();
            m_own.reset();
        } else if (m_shared) {
            m_shared->stop(m_owner);
        }
    }

    // The owner is being freed.
    void finish()
    {
        if (m_shared) {
            m_shared->forget(m_owner);
            m_shared.reset();
        }
    }

    uint64_t dropped() const { return m_own ? m_own->dropped() : m_shared ? m_shared->dropped() : m_dropped; }

private:
    IONotifier* m_owner = nullptr;
    Handle m_handle;
    std::unique_ptr<MessageQueue> m_own;
    std::shared_ptr<NotificationQueue> m_shared;
    uint64_t m_dropped = 0;
};

// A general-interest registration on one service.
class InterestNotifier : public IONotifier
{
    OSDeclareDefaultStructors(InterestNotifier);

public:
    static InterestNotifier* create(IOService* service, IOServiceInterestHandler handler, void* target,
                                    void* refCon)
    {
        auto* n = new InterestNotifier;
        n->m_service = service;
        n->m_handler = handler;
        n->m_target = target;
        n->m_refCon = refCon;
        try {
            n->m_delivery.start(n, kInterestQueueLength,
                                std::string("an interest listener of ") + service->getName(), [n](Message& m) {
                                    if (n->m_enabled.load(std::memory_order_acquire)) {
                                        n->m_handler(n->m_target, n->m_refCon, m.type,
                                                     static_cast<IOService*>(m.object), m.argument(), m.argSize);
                                    }
                                });
        } catch (...) {
            n->release(); // no delivery thread, no registration: the caller sees why
            throw;
        }
        return n;
    }

    // Sender side: never blocks.
    void post(UInt32 type, void* argument, vm_size_t argSize, IOService* sender)
    {
        if (m_enabled.load(std::memory_order_acquire)) {
            m_delivery.push(type, argument, argSize, sender);
        }
    }

    // The caller's end of the registration.
    void remove() override
    {
        if (m_removed.exchange(true)) {
            return;
        }
        detachFromService();
        release(); // the caller's reference
    }

    // The service's end: on remove, or when the service is freed first.
    void detachFromService()
    {
        if (m_detached.exchange(true)) {
            return;
        }
        m_service->removeInterest(this); // no sender reaches the queue after this
        m_delivery.stop();               // waits for a running handler unless called from it
        release();                       // the reference the service's slot held
    }

    void deliver(Message& m) { m_delivery.handle(m); }
    bool disable() override { return m_enabled.exchange(false); }
    void enable(bool was) override { m_enabled.store(was, std::memory_order_release); }
    uint64_t droppedMessages() const override { return m_delivery.dropped(); }

protected:
    void free() override
    {
        m_delivery.finish();
        IONotifier::free();
    }

private:
    IOService* m_service = nullptr; // not retained: the service removes its notifiers when freed
    IOServiceInterestHandler m_handler = nullptr;
    void* m_target = nullptr;
    void* m_refCon = nullptr;
    Delivery m_delivery;
    std::atomic<bool> m_enabled{true};
    std::atomic<bool> m_removed{false};
    std::atomic<bool> m_detached{false};
};

OSDefineMetaClassAndStructors(InterestNotifier, IONotifier);

// A matching notification: publish or terminate of services that match a dictionary.
class MatchingNotifier : public IONotifier
{
    OSDeclareDefaultStructors(MatchingNotifier);

public:
    static MatchingNotifier* create(const OSSymbol* type, OSDictionary* matching,
                                    IOServiceMatchingNotificationHandler handler, void* target, void* refCon)
    {
        auto* n = new MatchingNotifier;
        n->m_type = type->text();
        matching->retain();
        n->m_matching = matching;
        n->m_handler = handler;
        n->m_target = target;
        n->m_refCon = refCon;
        try {
            n->m_delivery.start(n, kMatchingQueueLength, "a " + n->m_type + " notification", [n](Message& m) {
                if (n->m_enabled.load(std::memory_order_acquire)) {
                    n->m_handler(n->m_target, n->m_refCon, static_cast<IOService*>(m.object), n);
                }
            });
        } catch (...) {
            n->release(); // no delivery thread, no registration: the caller sees why
            throw;
        }
        return n;
    }

    bool wants(const char* type, IOService* service) const
    {
        return m_type == type && IOService::matchesDictionary(service, m_matching);
    }

    void post(IOService* service)
    {
        if (m_enabled.load(std::memory_order_acquire)) {
            m_delivery.push(0, nullptr, 0, service);
        }
    }

    void remove() override;
    void deliver(Message& m) { m_delivery.handle(m); }
    bool disable() override { return m_enabled.exchange(false); }
    void enable(bool was) override { m_enabled.store(was, std::memory_order_release); }
    uint64_t droppedMessages() const override { return m_delivery.dropped(); }

protected:
    void free() override
    {
        m_delivery.finish();
        OSSafeReleaseNULL(m_matching);
        IONotifier::free();
    }

private:
    std::string m_type;
    OSDictionary* m_matching = nullptr;
    IOServiceMatchingNotificationHandler m_handler = nullptr;
    void* m_target = nullptr;
    void* m_refCon = nullptr;
    Delivery m_delivery;
    std::atomic<bool> m_enabled{true};
    std::atomic<bool> m_removed{false};
};

OSDefineMetaClassAndStructors(MatchingNotifier, IONotifier);

namespace {

struct MatchingNotifiers
{
    std::mutex mutex;
    std::vector<MatchingNotifier*> notifiers; // guarded by mutex; retained
};

MatchingNotifiers& matchingNotifiers()
{
    static auto* m = new MatchingNotifiers;
    return *m;
}

void notifyMatching(const char* type, IOService* service)
{
    std::vector<MatchingNotifier*> snapshot;
    {
        auto& m = matchingNotifiers();
        std::lock_guard lock(m.mutex);
        for (auto* n : m.notifiers) {
            n->retain();
            snapshot.push_back(n);
        }
    }
    for (auto* n : snapshot) {
        if (n->wants(type, service)) {
            n->post(service);
        }
        n->release();
    }
}

} // namespace

void MatchingNotifier::remove()
{
    if (m_removed.exchange(true)) {
        return;
    }
    {
        auto& m = matchingNotifiers();
        std::lock_guard lock(m.mutex);
        m.notifiers.erase(std::find(m.notifiers.begin(), m.notifiers.end(), this));
    }
    m_delivery.stop();
    release(); // the list's reference
}

} // namespace detail

void NotificationQueue::deliver(Message& m)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_stopped.count(static_cast<IONotifier*>(m.target)) != 0) {
            return;
        }
        m_current = static_cast<IONotifier*>(m.target);
    }
    if (auto* interest = OSDynamicCast(detail::InterestNotifier, m.target)) {
        interest->deliver(m);
    } else if (auto* matching = OSDynamicCast(detail::MatchingNotifier, m.target)) {
        matching->deliver(m);
    }
    {
        std::lock_guard lock(m_mutex);
        m_current = nullptr;
    }
    m_idle.notifyAll();
}
} // namespace platform::iokit

using platform::iokit::detail::InterestNotifier;
using platform::iokit::detail::MatchingNotifier;

// Life cycle

bool IOService::init(OSDictionary* dictionary)
{
    return IORegistryEntry::init(dictionary);
}

IOService* IOService::probe(IOService*, SInt32*)
{
    return this;
}

bool IOService::start(IOService*)
{
    m_started.store(true, std::memory_order_release);
    return true;
}

void IOService::stop(IOService*) {}

bool IOService::willTerminate(IOService*, IOOptionBits)
{
    return true;
}

bool IOService::didTerminate(IOService*, IOOptionBits, bool* defer)
{
    if (defer != nullptr) {
        *defer = false;
    }
    return true;
}

bool IOService::attach(IOService* provider)
{
    if (provider == nullptr) {
        return false;
    }
    {
        // Checked and done under the lock the provider's termination marks it inactive with: a
        // client attached in time is among the clients that termination ends, and nothing
        // terminated is attached again.
        std::lock_guard lock(provider->m_openMutex);
        if (isInactive() || provider->isInactive() || !attachToParent(provider, gIOServicePlane)) {
            return false;
        }
    }
    provider->ensureClientQueue();
    return true;
}

void IOService::detach(IOService* provider)
{
    if (provider == nullptr) {
        return;
    }
    provider->retain();
    detachFromParent(provider, gIOServicePlane);
    provider->scheduleFinishIfReady();
    provider->release();
}

bool IOService::finalize(IOOptionBits)
{
    OSArray* providers = copyParentEntries(gIOServicePlane);
    forEachService(providers, [&](IOService* provider) { detach(provider); });
    providers->release();
    return true;
}

bool IOService::terminate(IOOptionBits options)
{
    {
        std::lock_guard lock(m_openMutex); // see attach
        if (m_inactive.exchange(true, std::memory_order_acq_rel)) {
            return false;
        }
    }
    retain();
    adjustBusy(+1);
    {
        std::lock_guard lock(m_openMutex);
        m_terminationPending = true;
    }
    OSArray* providers = copyParentEntries(gIOServicePlane);
    forEachService(providers, [&](IOService* provider) { willTerminate(provider, options); });
    providers->release();

    // Clients go first; they detach from this service when they finish.
    OSArray* clients = copyChildEntries(gIOServicePlane);
    forEachService(clients, [&](IOService* client) { client->terminate(options & ~kIOServiceSynchronous); });
    clients->release();

    messageClients(kIOMessageServiceIsTerminated);
    platform::iokit::detail::notifyMatching(gIOTerminatedNotification->getCStringNoCopy(), this);

    if ((options & kIOServiceSynchronous) != 0 && takePendingTerminationIfReady()) {
        finishTermination();
        releaseThenUnbusy();
        return true;
    }
    scheduleFinishIfReady();
    release();
    return true;
}

bool IOService::takePendingTerminationIfReady()
{
    std::lock_guard lock(m_openMutex);
    if (!m_terminationPending || m_openOwner != nullptr || getClient() != nullptr) {
        return false;
    }
    m_terminationPending = false;
    return true;
}

void IOService::scheduleFinishIfReady()
{
    if (!isInactive() || !takePendingTerminationIfReady()) {
        return;
    }
    retain();
    platform::iokit::detail::postWork([this] {
        finishTermination();
        releaseThenUnbusy();
    });
}

void IOService::releaseThenUnbusy()
{
    IOService* root = getServiceRoot();
    const bool isRoot = root == this;
    adjustOwnBusy(-1);
    release();
    if (!isRoot) {
        root->adjustOwnBusy(-1);
    }
}

void IOService::finishTermination()
{
    retain();
    OSArray* providers = copyParentEntries(gIOServicePlane);
    forEachService(providers, [&](IOService* provider) {
        if (provider->isOpen(this)) {
            IOLog("IOService: %s still held %s open at its termination; closed it\n", getName(),
                  provider->getName());
            provider->close(this);
        }
        bool defer = false;
        didTerminate(provider, 0, &defer);
    });
    if (m_started.exchange(false)) {
        forEachService(providers, [&](IOService* provider) { stop(provider); });
    }
    finalize(0);
    providers->release();
    // Nothing attaches to a terminated service any more: the thread that delivered its clients'
    // messages ends now, not with the last reference a handle may keep. A sender that took the
    // queue before it went finishes first.
    if (auto* queue = m_clientQueue.exchange(nullptr, std::memory_order_seq_cst)) {
        while (m_sendersInFlight.load(std::memory_order_seq_cst) != 0) {
            std::this_thread::yield();
        }
        delete queue;
    }
    // What it held is back: a device whose driver lacked it may have one now.
    gIOCatalogue->resourcesReturned();

    gIOCatalogue->forgetDriver(this);
    {
        auto& r = registered();
        std::unique_lock lock(r.mutex);
        const auto found = std::find(r.services.begin(), r.services.end(), this);
        if (found != r.services.end()) {
            r.services.erase(found);
            lock.unlock();
            release();
        }
    }
    release(); // the caller drops the busy count once its own reference is gone too
}

void IOService::adjustOwnBusy(int delta)
{
    std::lock_guard lock(m_busyMutex);
    m_busy += delta;
    m_busyChanged.notifyAll();
}

void IOService::adjustBusy(int delta)
{
    adjustOwnBusy(delta);
    IOService* root = getServiceRoot();
    if (root != this) {
        root->adjustOwnBusy(delta);
    }
}

IOReturn IOService::waitQuiet(uint64_t timeout)
{
    const uint64_t now = platform::host_clock::now();
    const uint64_t limit = static_cast<uint64_t>(INT64_MAX);
    const uint64_t deadline = timeout >= limit - now ? limit : now + timeout;
    std::unique_lock lock(m_busyMutex);
    return m_busyChanged.waitUntil(lock, deadline, [&] { return m_busy == 0; })
               ? kIOReturnSuccess
               : kIOReturnTimeout;
}

void IOService::free()
{
    forEachInterestSlot([](auto& slot) {
        if (auto* notifier = slot.load(std::memory_order_acquire)) {
            notifier->detachFromService();
        }
    });
    for (InterestSlots* b = m_interest.next.exchange(nullptr); b != nullptr;) {
        delete std::exchange(b, b->next.load());
    }
    delete m_clientQueue.exchange(nullptr);
    IOPMrootDomain* root = rootDomainInstance.load(std::memory_order_acquire);
    if (root != nullptr && root != this) {
        root->deRegisterInterestedDriver(this);
    }
    IORegistryEntry::free();
}

// Registration and matching

void IOService::registerService(IOOptionBits options)
{
    if (isInactive()) {
        return;
    }
    if (!m_registered.exchange(true)) {
        retain();
        auto& r = registered();
        std::lock_guard lock(r.mutex);
        r.services.push_back(this);
    }
    if ((options & kIOServiceSynchronous) != 0) {
        gIOCatalogue->startMatching(this);
        publish();
        return;
    }
    retain();
    adjustBusy(+1);
    platform::iokit::detail::postWork([this] {
        gIOCatalogue->startMatching(this);
        publish();
        releaseThenUnbusy();
    });
}

void IOService::publish()
{
    if (isInactive()) {
        return;
    }
    const bool first = !m_published.exchange(true, std::memory_order_acq_rel);
    using platform::iokit::detail::notifyMatching;
    notifyMatching(gIOPublishNotification->getCStringNoCopy(), this);
    notifyMatching(gIOMatchedNotification->getCStringNoCopy(), this);
    if (first) {
        notifyMatching(gIOFirstPublishNotification->getCStringNoCopy(), this);
        notifyMatching(gIOFirstMatchNotification->getCStringNoCopy(), this);
    }
}

bool IOService::matchPropertyTable(OSDictionary*, SInt32*)
{
    return true;
}

bool IOService::compareProperty(OSDictionary* matching, const char* key)
{
    OSObject* wanted = matching != nullptr ? matching->getObject(key) : nullptr;
    if (wanted == nullptr) {
        return true;
    }
    OSObject* mine = copyProperty(key);
    const bool equal = mine != nullptr && wanted->isEqualTo(mine);
    OSSafeReleaseNULL(mine);
    return equal;
}

bool IOService::passiveMatch(IOService* service, OSDictionary* matching, SInt32* score)
{
    if (service == nullptr || matching == nullptr) {
        return false;
    }
    if (auto* className = OSDynamicCast(OSString, matching->getObject(kIOProviderClassKey))) {
        if (OSMetaClass::checkMetaCastWithName(className->getCStringNoCopy(), service) == nullptr) {
            return false;
        }
    }
    if (auto* properties = OSDynamicCast(OSDictionary, matching->getObject(kIOPropertyMatchKey))) {
        for (unsigned int i = 0; i < properties->getCount(); ++i) {
            if (!service->compareProperty(properties, properties->getKey(i)->getCStringNoCopy())) {
                return false;
            }
        }
    }
    if (OSObject* names = matching->getObject(kIONameMatchKey)) {
        OSString* name = OSString::withCString(service->getName());
        bool found = names->isEqualTo(name);
        if (auto* list = OSDynamicCast(OSArray, names)) {
            found = list->getNextIndexOfObject(name, 0) >= 0;
        }
        name->release();
        if (!found) {
            return false;
        }
    }
    return service->matchPropertyTable(matching, score);
}

bool IOService::matchesDictionary(IOService* service, OSDictionary* matching)
{
    SInt32 score = 0;
    return passiveMatch(service, matching, &score);
}

OSDictionary* IOService::serviceMatching(const char* className, OSDictionary* table)
{
    if (className == nullptr) {
        return nullptr;
    }
    OSDictionary* dictionary = table != nullptr ? table : OSDictionary::withCapacity(2);
    OSString* name = OSString::withCString(className);
    dictionary->setObject(kIOProviderClassKey, name);
    name->release();
    return dictionary;
}

OSIterator* IOService::getMatchingServices(OSDictionary* matching)
{
    OSArray* all = copyRegisteredServices();
    OSArray* matched = OSArray::withCapacity(all->getCount());
    forEachService(all, [&](IOService* service) {
        if (!service->isInactive() && matchesDictionary(service, matching)) {
            matched->setObject(service);
        }
    });
    all->release();
    OSIterator* iterator = OSCollectionIterator::withCollection(matched);
    matched->release();
    return iterator;
}

IONotifier* IOService::addMatchingNotification(const OSSymbol* type, OSDictionary* matching,
                                               IOServiceMatchingNotificationHandler handler, void* target,
                                               void* refCon, SInt32)
{
    if (type == nullptr || matching == nullptr || handler == nullptr) {
        return nullptr;
    }
    MatchingNotifier* notifier = MatchingNotifier::create(type, matching, handler, target, refCon);
    {
        auto& m = platform::iokit::detail::matchingNotifiers();
        std::lock_guard lock(m.mutex);
        m.notifiers.push_back(notifier);
    }
    const bool publishType =
        type->isEqualTo(gIOPublishNotification) || type->isEqualTo(gIOFirstPublishNotification) ||
        type->isEqualTo(gIOMatchedNotification) || type->isEqualTo(gIOFirstMatchNotification);
    if (publishType) {
        OSArray* all = copyRegisteredServices();
        forEachService(all, [&](IOService* service) {
            if (service->m_published.load(std::memory_order_acquire) && !service->isInactive() &&
                notifier->wants(type->getCStringNoCopy(), service)) {
                notifier->post(service);
            }
        });
        all->release();
    }
    return notifier;
}

IOService* IOService::getServiceRoot()
{
    static IOService* root = [] {
        auto* service = new IOService;
        service->init(nullptr);
        service->setName("Root");
        return service;
    }();
    return root;
}

IOService* IOService::getProvider() const
{
    return OSDynamicCast(IOService, getParentEntry(gIOServicePlane));
}

IOService* IOService::getClient() const
{
    return OSDynamicCast(IOService, getChildEntry(gIOServicePlane));
}

OSIterator* IOService::getProviderIterator() const
{
    return getParentIterator(gIOServicePlane);
}

OSIterator* IOService::getClientIterator() const
{
    return getChildIterator(gIOServicePlane);
}

// Open arbitration

bool IOService::open(IOService* forClient, IOOptionBits options, void* arg)
{
    if (forClient == nullptr) {
        return false;
    }
    bool opened = false;
    {
        std::lock_guard lock(m_openMutex);
        if (isInactive()) {
            return false;
        }
        opened = handleOpen(forClient, options, arg);
    }
    if (!opened) {
        messageClients((options & kIOServiceSeize) != 0 ? kIOMessageServiceIsRequestingClose
                                                        : kIOMessageServiceIsAttemptingOpen,
                       forClient);
    }
    return opened;
}

void IOService::close(IOService* forClient, IOOptionBits options)
{
    {
        std::lock_guard lock(m_openMutex);
        if (forClient == nullptr || !handleIsOpen(forClient)) {
            return;
        }
        handleClose(forClient, options);
    }
    messageClients(kIOMessageServiceWasClosed, forClient);
    scheduleFinishIfReady();
}

bool IOService::isOpen(const IOService* forClient) const
{
    std::lock_guard lock(m_openMutex);
    return handleIsOpen(forClient);
}

bool IOService::handleOpen(IOService* forClient, IOOptionBits, void*)
{
    if (m_openOwner == nullptr) {
        m_openOwner = forClient;
    }
    return m_openOwner == forClient;
}

void IOService::handleClose(IOService* forClient, IOOptionBits)
{
    if (m_openOwner == forClient) {
        m_openOwner = nullptr;
    }
}

bool IOService::handleIsOpen(const IOService* forClient) const
{
    return forClient == nullptr ? m_openOwner != nullptr : m_openOwner == forClient;
}

// Messages

IOReturn IOService::message(UInt32, IOService*, void*)
{
    return kIOReturnUnsupported;
}

IOReturn IOService::messageClients(UInt32 type, void* argument, vm_size_t argSize)
{
    if (argSize > kIOMessageArgumentMaximum || (argSize > 0 && argument == nullptr)) {
        return kIOReturnBadArgument;
    }
    m_sendersInFlight.fetch_add(1, std::memory_order_seq_cst);
    forEachInterestSlot([&](auto& slot) {
        if (auto* notifier = slot.load(std::memory_order_seq_cst)) {
            notifier->post(type, argument, argSize, this);
        }
    });
    if (auto* queue = m_clientQueue.load(std::memory_order_seq_cst)) {
        queue->push(type, argument, argSize, this);
    }
    m_sendersInFlight.fetch_sub(1, std::memory_order_seq_cst);
    return kIOReturnSuccess;
}

void IOService::ensureClientQueue()
{
    if (m_clientQueue.load(std::memory_order_acquire) != nullptr) {
        return;
    }
    auto* queue = new MessageQueue(kInterestQueueLength, std::string("the clients of ") + getName(),
                                   [this](Message& m) { deliverClientMessage(m.type, m.argument()); });
    MessageQueue* expected = nullptr;
    if (!m_clientQueue.compare_exchange_strong(expected, queue)) {
        delete queue;
    }
}

void IOService::deliverClientMessage(UInt32 type, void* argument)
{
    // Busy while the clients are held: a client's last release may run its kext's code, and a
    // kext is unloaded once the registry is quiet. (Counted here, on the delivery thread, so the
    // sender takes no lock.)
    adjustBusy(+1);
    OSArray* clients = copyChildEntries(gIOServicePlane);
    forEachService(clients, [&](IOService* client) { client->message(type, this, argument); });
    clients->release();
    adjustBusy(-1);
}

IONotifier* IOService::registerInterest(const OSSymbol* typeOfInterest, IOServiceInterestHandler handler,
                                        void* target, void* refCon)
{
    if (typeOfInterest == nullptr || !typeOfInterest->isEqualTo(gIOGeneralInterest) || handler == nullptr) {
        return nullptr;
    }
    InterestNotifier* notifier = InterestNotifier::create(this, handler, target, refCon);
    notifier->retain(); // the slot's reference; the caller's goes with remove()
    std::lock_guard lock(m_interestMutex);
    InterestSlots* last = &m_interest;
    for (InterestSlots* b = &m_interest; b != nullptr; b = b->next.load(std::memory_order_relaxed)) {
        last = b;
        for (auto& slot : b->slots) {
            if (slot.load(std::memory_order_relaxed) == nullptr) {
                slot.store(notifier, std::memory_order_seq_cst);
                return notifier;
            }
        }
    }
    auto* added = new InterestSlots;
    added->slots[0].store(notifier, std::memory_order_relaxed);
    last->next.store(added, std::memory_order_seq_cst); // senders see the block filled
    return notifier;
}

void IOService::removeInterest(InterestNotifier* notifier)
{
    {
        std::lock_guard lock(m_interestMutex);
        forEachInterestSlot([notifier](auto& slot) {
            if (slot.load(std::memory_order_relaxed) == notifier) {
                slot.store(nullptr, std::memory_order_seq_cst);
            }
        });
    }
    while (m_sendersInFlight.load(std::memory_order_seq_cst) != 0) {
        std::this_thread::yield();
    }
}

// User clients

IOReturn IOService::newUserClient(task_t owningTask, void* securityID, UInt32 type, OSDictionary*,
                                  IOUserClient** handler)
{
    return newUserClient(owningTask, securityID, type, handler);
}

IOReturn IOService::newUserClient(task_t, void*, UInt32, IOUserClient**)
{
    return kIOReturnUnsupported;
}

// Power

IOPMrootDomain* IOService::getPMRootDomain()
{
    static IOPMrootDomain* root = [] {
        auto* domain = new IOPMrootDomain;
        domain->init(nullptr);
        domain->setName("IOPMrootDomain");
        rootDomainInstance.store(domain, std::memory_order_release);
        return domain;
    }();
    return root;
}

IOPMPowerFlags IOService::registerInterestedDriver(IOService* driver)
{
    if (driver == nullptr) {
        return 0;
    }
    std::lock_guard lock(m_powerMutex);
    if (std::find(m_interestedDrivers.begin(), m_interestedDrivers.end(), driver) ==
        m_interestedDrivers.end()) {
        m_interestedDrivers.push_back(driver);
    }
    return kIOPMPowerOn | kIOPMDeviceUsable;
}

IOReturn IOService::deRegisterInterestedDriver(IOService* driver)
{
    std::lock_guard lock(m_powerMutex);
    const auto found = std::find(m_interestedDrivers.begin(), m_interestedDrivers.end(), driver);
    if (found == m_interestedDrivers.end()) {
        return kIOReturnNotFound;
    }
    m_interestedDrivers.erase(found);
    return kIOReturnSuccess;
}

IOReturn IOService::powerStateWillChangeTo(IOPMPowerFlags, unsigned long, IOService*)
{
    return kIOPMAckImplied;
}

IOReturn IOService::powerStateDidChangeTo(IOPMPowerFlags, unsigned long, IOService*)
{
    return kIOPMAckImplied;
}

void IOService::notifyInterestedDrivers(IOPMPowerFlags flags, unsigned long stateNumber)
{
    std::vector<IOService*> drivers;
    {
        std::lock_guard lock(m_powerMutex);
        for (auto* driver : m_interestedDrivers) {
            driver->retain();
            drivers.push_back(driver);
        }
    }
    for (auto* driver : drivers) {
        driver->powerStateWillChangeTo(flags, stateNumber, this);
    }
    for (auto* driver : drivers) {
        driver->powerStateDidChangeTo(flags, stateNumber, this);
        driver->release();
    }
}

void IOPMrootDomain::changePowerState(IOPMPowerFlags flags, unsigned long stateNumber)
{
    notifyInterestedDrivers(flags, stateNumber);
}

void IOPMrootDomain::systemSleep()
{
    messageClients(kIOMessageSystemWillSleep);
    changePowerState(kIOPMSleepCapability, kStateSleep);
}

void IOPMrootDomain::systemWake()
{
    changePowerState(kIOPMPowerOn | kIOPMDeviceUsable | kIOPMRestartCapability, kStateOn);
    messageClients(kIOMessageSystemHasPoweredOn);
}

// Catalogue

IOCatalogue* IOCatalogue::shared()
{
    static IOCatalogue* catalogue = [] {
        auto* c = new IOCatalogue;
        c->m_personalities = OSArray::withCapacity(16);
        return c;
    }();
    return catalogue;
}

bool IOCatalogue::addDrivers(OSArray* personalities, bool doNubMatching)
{
    if (personalities == nullptr) {
        return false;
    }
    {
        std::lock_guard lock(m_mutex);
        for (unsigned int i = 0; i < personalities->getCount(); ++i) {
            if (auto* personality = OSDynamicCast(OSDictionary, personalities->getObject(i))) {
                m_personalities->setObject(personality);
            }
        }
    }
    if (doNubMatching) {
        OSArray* all = copyRegisteredServices();
        forEachService(all, [](IOService* service) {
            service->retain();
            service->adjustBusy(+1);
            platform::iokit::detail::postWork([service] {
                gIOCatalogue->startMatching(service);
                service->releaseThenUnbusy();
            });
        });
        all->release();
    }
    return true;
}

namespace {
bool containsAll(OSDictionary* dictionary, OSDictionary* entries)
{
    for (unsigned int i = 0; i < entries->getCount(); ++i) {
        const OSSymbol* key = entries->getKey(i);
        OSObject* value = dictionary->getObject(key);
        if (value == nullptr || !value->isEqualTo(entries->getObject(key))) {
            return false;
        }
    }
    return true;
}
} // namespace

bool IOCatalogue::removeDrivers(OSDictionary* matching, bool doNubMatching)
{
    if (matching == nullptr) {
        return false;
    }
    std::vector<IOService*> doomed;
    {
        std::lock_guard lock(m_mutex);
        for (unsigned int i = m_personalities->getCount(); i-- > 0;) {
            if (containsAll(static_cast<OSDictionary*>(m_personalities->getObject(i)), matching)) {
                m_personalities->removeObject(i);
            }
        }
        if (doNubMatching) {
            for (auto* driver : m_started) {
                OSDictionary* properties = driver->dictionaryWithProperties();
                if (containsAll(properties, matching)) {
                    driver->retain();
                    doomed.push_back(driver);
                }
                properties->release();
            }
        }
    }
    for (auto* driver : doomed) {
        driver->terminate();
        driver->release();
    }
    return true;
}

OSArray* IOCatalogue::copyDrivers() const
{
    std::lock_guard lock(m_mutex);
    return OSArray::withArray(m_personalities);
}

OSArray* IOCatalogue::copyStartedDrivers() const
{
    std::lock_guard lock(m_mutex);
    OSArray* array = OSArray::withCapacity(static_cast<unsigned int>(m_started.size()));
    for (auto* driver : m_started) {
        array->setObject(driver);
    }
    return array;
}

void IOCatalogue::waitForResources(IOService* provider)
{
    {
        std::lock_guard lock(m_mutex);
        if (std::find(m_waiting.begin(), m_waiting.end(), provider) != m_waiting.end()) {
            return;
        }
        provider->retain();
        m_waiting.push_back(provider);
    }
    IOLog("IOCatalogue: %s lacked resources for its driver; it is matched again when they return\n",
          provider->getName());
}

void IOCatalogue::resourcesReturned()
{
    std::vector<IOService*> waiting;
    {
        std::lock_guard lock(m_mutex);
        if (m_waiting.empty()) {
            return;
        }
        waiting.swap(m_waiting);
    }
    for (IOService* provider : waiting) {
        if (provider->isInactive()) {
            provider->release();
            continue;
        }
        provider->adjustBusy(+1);
        platform::iokit::detail::postWork([provider] {
            gIOCatalogue->startMatching(provider);
            provider->releaseThenUnbusy();
        });
    }
}

void IOCatalogue::forgetDriver(IOService* driver)
{
    std::unique_lock lock(m_mutex);
    const auto found = std::find(m_started.begin(), m_started.end(), driver);
    if (found != m_started.end()) {
        m_started.erase(found);
        lock.unlock();
        driver->release();
    }
}

namespace {

struct Candidate
{
    OSDictionary* personality; // retained
    SInt32 score;
    std::string category;
    IOService* driver = nullptr; // retained once probed
};

std::string categoryOf(OSDictionary* personality)
{
    auto* category = OSDynamicCast(OSString, personality->getObject(kIOMatchCategoryKey));
    return category != nullptr ? category->text() : std::string(kIODefaultMatchCategoryKey);
}

} // namespace

void IOCatalogue::startMatching(IOService* provider)
{
    if (provider == nullptr) {
        return;
    }
    std::lock_guard matchLock(provider->m_matchMutex);
    if (provider->isInactive()) {
        return;
    }
    auto taken = [&](const std::string& category) {
        const auto& list = provider->m_matchedCategories;
        return std::find(list.begin(), list.end(), category) != list.end();
    };

    std::vector<Candidate> candidates;
    OSArray* personalities = copyDrivers();
    for (unsigned int i = 0; i < personalities->getCount(); ++i) {
        auto* personality = static_cast<OSDictionary*>(personalities->getObject(i));
        Candidate candidate{personality, 0, categoryOf(personality)};
        if (taken(candidate.category)) {
            continue;
        }
        if (auto* score = OSDynamicCast(OSNumber, personality->getObject(kIOProbeScoreKey))) {
            candidate.score = static_cast<SInt32>(score->unsigned32BitValue());
        }
        if (IOService::passiveMatch(provider, personality, &candidate.score)) {
            personality->retain();
            candidates.push_back(candidate);
        }
    }
    personalities->release();
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.score > b.score; });

    // Instantiate and probe every candidate, then start the best of each category.
    for (auto& candidate : candidates) {
        auto* className = OSDynamicCast(OSString, candidate.personality->getObject(kIOClassKey));
        OSObject* object =
            className != nullptr ? OSMetaClass::allocClassWithName(className->getCStringNoCopy()) : nullptr;
        IOService* driver = OSDynamicCast(IOService, object);
        if (driver == nullptr) {
            IOLog("IOCatalogue: no driver class %s for %s\n",
                  className ? className->getCStringNoCopy() : "(none)", provider->getName());
            OSSafeReleaseNULL(object);
            continue;
        }
        if (!driver->init(candidate.personality) || !driver->attach(provider)) {
            IOLog("IOCatalogue: %s could not be initialised for %s\n", className->getCStringNoCopy(),
                  provider->getName());
            driver->release();
            continue;
        }
        if (driver->probe(provider, &candidate.score) == nullptr) {
            driver->detach(provider);
            driver->release();
            continue;
        }
        candidate.driver = driver;
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.score > b.score; });
    for (auto& candidate : candidates) {
        IOService* driver = candidate.driver;
        candidate.personality->release();
        if (driver == nullptr) {
            continue;
        }
        if (!taken(candidate.category) && !provider->isInactive()) {
            const uint64_t shortages = platform::iokit::resourceShortagesOnThisThread();
            if (driver->start(provider)) {
                driver->m_started.store(true, std::memory_order_release);
                provider->m_matchedCategories.push_back(candidate.category);
                {
                    std::lock_guard lock(m_mutex);
                    m_started.push_back(driver); // takes the allocation's reference
                }
                if (provider->isInactive()) {
                    driver->terminate(); // the provider went while the driver was starting
                }
                continue;
            }
            driver->m_started.store(false, std::memory_order_release);
            IOLog("IOCatalogue: %s did not start on %s\n", driver->getName(), provider->getName());
            if (platform::iokit::resourceShortagesOnThisThread() != shortages) {
                waitForResources(provider);
            }
        }
        driver->detach(provider);
        driver->release();
    }
}
