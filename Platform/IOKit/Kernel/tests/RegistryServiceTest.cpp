#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "IOKit/IOService.h"
#include "IOKit/pwr_mgt/RootDomain.h"
#include "libkern/version.h"
#include "platform/HostClock.h"
#include "platform/Log.h"
#include "platform/ProcessEnvironment.h"

namespace {

template <class T> T* make()
{
    auto* object = new T;
    object->init(nullptr);
    return object;
}

TEST(IORegistryEntry, PropertiesOfEveryKind)
{
    auto* entry = make<IORegistryEntry>();
    EXPECT_TRUE(entry->setProperty("deviceUID", "USB-4711"));
    EXPECT_TRUE(entry->setProperty("MixerKnob", 0x1234ULL, 16));
    unsigned char registers[176] = {};
    registers[175] = 9;
    EXPECT_TRUE(entry->setProperty("WolfsonRegisters", registers, sizeof(registers)));
    EXPECT_TRUE(entry->setProperty("Flag", true));
    EXPECT_FALSE(entry->setProperty("Null", static_cast<OSObject*>(nullptr)));

    EXPECT_TRUE(OSDynamicCast(OSString, entry->getProperty("deviceUID"))->isEqualTo("USB-4711"));
    EXPECT_EQ(OSDynamicCast(OSNumber, entry->getProperty("MixerKnob"))->numberOfBits(), 16u);
    EXPECT_EQ(OSDynamicCast(OSData, entry->getProperty("WolfsonRegisters"))->getLength(), 176u);
    EXPECT_EQ(entry->getProperty("Flag"), kOSBooleanTrue);

    OSObject* copy = entry->copyProperty("deviceUID");
    entry->removeProperty("deviceUID");
    EXPECT_EQ(entry->getProperty("deviceUID"), nullptr);
    EXPECT_TRUE(OSDynamicCast(OSString, copy)->isEqualTo("USB-4711")); // the copy outlives the removal
    copy->release();

    OSDictionary* all = entry->dictionaryWithProperties();
    EXPECT_EQ(all->getCount(), 3u);
    all->release();
    entry->release();
}

TEST(IORegistryEntry, EntryIdsAreNeverReused)
{
    auto* a = make<IORegistryEntry>();
    const uint64_t first = a->getRegistryEntryID();
    a->release();
    auto* b = make<IORegistryEntry>();
    EXPECT_NE(b->getRegistryEntryID(), first);
    b->release();
}

// A chain of hubs in a plane of its own, walked upward from the device as a driver counts hubs.
TEST(IORegistryEntry, PlanesLinkParentsAndChildren)
{
    EXPECT_EQ(IORegistryEntry::findPlane("IOUSBNeverMade"), nullptr);
    EXPECT_EQ(IORegistryEntry::findPlane("IOUSBNeverMade"), nullptr); // a look-up makes nothing
    const IORegistryPlane* usb = IORegistryEntry::getPlane("IOUSB");
    EXPECT_EQ(usb, IORegistryEntry::getPlane("IOUSB"));
    EXPECT_EQ(usb, IORegistryEntry::findPlane("IOUSB"));
    auto* root = make<IORegistryEntry>();
    auto* hub = make<IORegistryEntry>();
    auto* device = make<IORegistryEntry>();
    root->setName("RootHub");
    hub->setName("Hub");
    ASSERT_TRUE(hub->attachToParent(root, usb));
    ASSERT_TRUE(device->attachToParent(hub, usb));
    EXPECT_TRUE(device->attachToParent(hub, usb)); // already attached
    EXPECT_FALSE(device->inPlane(gIOServicePlane));

    std::vector<std::string> path;
    for (IORegistryEntry* e = device->getParentEntry(usb); e != nullptr; e = e->getParentEntry(usb)) {
        path.push_back(e->getName());
    }
    EXPECT_EQ(path, (std::vector<std::string>{"Hub", "RootHub"}));
    EXPECT_TRUE(hub->isChild(device, usb));
    EXPECT_EQ(root->getChildEntry(usb), hub);

    hub->detachAll(usb);
    EXPECT_EQ(device->getParentEntry(usb), nullptr);
    EXPECT_EQ(root->getChildEntry(usb), nullptr);
    EXPECT_EQ(device->getRetainCount(), 1);
    EXPECT_EQ(root->getRetainCount(), 1);
    device->release();
    hub->release();
    root->release();
}

// Open arbitration: one owner at a time; an inactive service opens for nobody.
TEST(IOService, OpenIsExclusive)
{
    auto* service = make<IOService>();
    auto* first = make<IOService>();
    auto* second = make<IOService>();
    EXPECT_FALSE(service->isOpen());
    EXPECT_TRUE(service->open(first));
    EXPECT_TRUE(service->open(first)); // the owner again
    EXPECT_FALSE(service->open(second));
    EXPECT_TRUE(service->isOpen());
    EXPECT_TRUE(service->isOpen(first));
    EXPECT_FALSE(service->isOpen(second));
    service->close(second); // not the owner: no effect
    EXPECT_TRUE(service->isOpen(first));
    service->close(first);
    EXPECT_FALSE(service->isOpen());
    EXPECT_TRUE(service->open(second));
    service->close(second);
    service->terminate(kIOServiceSynchronous);
    EXPECT_FALSE(service->open(first));
    for (auto* s : {service, first, second}) {
        s->release();
    }
}

struct Recorder
{
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<UInt32, std::vector<unsigned char>>> messages; // guarded by mutex
    std::mutex gate;                                                     // held to make the handler slow

    static IOReturn handler(void* target, void*, UInt32 type, IOService*, void* argument, vm_size_t size)
    {
        auto* self = static_cast<Recorder*>(target);
        std::lock_guard slow(self->gate);
        std::lock_guard lock(self->mutex);
        const auto* bytes = static_cast<unsigned char*>(argument);
        self->messages.emplace_back(type, bytes ? std::vector<unsigned char>(bytes, bytes + size)
                                                : std::vector<unsigned char>());
        self->changed.notify_all();
        return kIOReturnSuccess;
    }

    bool waitFor(size_t count)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return messages.size() >= count; });
    }
};

// Several threads send while one listener is stuck in its handler: every sender returns at once,
// the other listener gets everything, and each sender's messages arrive in its order.
TEST(IOService, MessageClientsNeverWaitsForASlowListener)
{
    auto* service = make<IOService>();
    Recorder fast;
    Recorder slow;
    IONotifier* fastNotifier = service->registerInterest(gIOGeneralInterest, Recorder::handler, &fast);
    IONotifier* slowNotifier = service->registerInterest(gIOGeneralInterest, Recorder::handler, &slow);
    ASSERT_NE(fastNotifier, nullptr);
    ASSERT_NE(slowNotifier, nullptr);

    constexpr int kSenders = 4;
    constexpr int kPerSender = 50; // 200: within one listener's queue
    // Captured from the start: a delivery thread that had not yet taken its first message when the
    // queue overflowed reports the drops before that message, perhaps before the gate opens.
    platform::log::Capture kernelLog(platform::log::Channel::kernel);
    std::unique_lock stuck(slow.gate);
    auto send = [&](int sender, int count) {
        for (int i = 0; i < count; ++i) {
            unsigned char record[36] = {36};
            record[4] = static_cast<unsigned char>(sender);
            record[8] = static_cast<unsigned char>(i);
            EXPECT_EQ(service->messageClients(0xE0000130, record, sizeof(record)), kIOReturnSuccess);
        }
    };
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back(send, s, kPerSender);
    }
    for (auto& t : senders) {
        t.join(); // returns although the slow handler is blocked
    }
    ASSERT_TRUE(fast.waitFor(kSenders * kPerSender));
    send(kSenders, 100); // more than the slow listener's queue has left
    ASSERT_TRUE(fast.waitFor(kSenders * kPerSender + 100));
    {
        std::lock_guard lock(fast.mutex);
        int next[kSenders + 1] = {};
        for (const auto& [type, bytes] : fast.messages) {
            EXPECT_EQ(type, 0xE0000130u);
            ASSERT_EQ(bytes.size(), 36u);
            EXPECT_EQ(bytes[8], next[bytes[4]]++);
        }
    }
    EXPECT_GT(slowNotifier->droppedMessages(), 0u);
    EXPECT_EQ(fastNotifier->droppedMessages(), 0u);
    stuck.unlock();
    ASSERT_TRUE(slow.waitFor(2)); // the drops are logged by the delivery thread, not the senders
    EXPECT_TRUE(kernelLog.contains("the queue of an interest listener of IOService was full"));

    EXPECT_EQ(service->messageClients(1, nullptr, 129), kIOReturnBadArgument); // argument too long
    fastNotifier->remove();
    slowNotifier->remove();
    service->messageClients(2);
    service->release();
}

TEST(IOService, RemovedListenerHearsNothingMore)
{
    platform::host_clock::virtual_clock::Scope clock; // delivery threads take part: settle waits for them
    auto* service = make<IOService>();
    Recorder recorder;
    IONotifier* notifier = service->registerInterest(gIOGeneralInterest, Recorder::handler, &recorder);
    EXPECT_EQ(service->registerInterest(gIOPublishNotification, Recorder::handler, &recorder), nullptr);
    service->messageClients(1);
    ASSERT_TRUE(recorder.waitFor(1));
    notifier->remove();
    service->messageClients(2);
    platform::host_clock::virtual_clock::settle();
    std::lock_guard lock(recorder.mutex);
    EXPECT_EQ(recorder.messages.size(), 1u);
    service->release();
}

// Listeners are not limited to a fixed number: every one hears each message, and slots freed
// by removal are taken again.
TEST(IOService, AnyNumberOfListenersHearEachMessage)
{
    auto* service = make<IOService>();
    constexpr int kListeners = 100;
    std::vector<std::unique_ptr<Recorder>> recorders;
    std::vector<IONotifier*> notifiers;
    for (int i = 0; i < kListeners; ++i) {
        recorders.push_back(std::make_unique<Recorder>());
        notifiers.push_back(
            service->registerInterest(gIOGeneralInterest, Recorder::handler, recorders.back().get()));
        ASSERT_NE(notifiers.back(), nullptr) << i;
    }
    service->messageClients(1);
    for (auto& r : recorders) {
        ASSERT_TRUE(r->waitFor(1));
    }
    for (int i = 0; i < kListeners; i += 2) {
        notifiers[i]->remove();
    }
    Recorder late;
    IONotifier* lateNotifier = service->registerInterest(gIOGeneralInterest, Recorder::handler, &late);
    ASSERT_NE(lateNotifier, nullptr);
    service->messageClients(2);
    ASSERT_TRUE(late.waitFor(1));
    for (int i = 1; i < kListeners; i += 2) {
        ASSERT_TRUE(recorders[i]->waitFor(2));
    }
    lateNotifier->remove();
    for (int i = 1; i < kListeners; i += 2) {
        notifiers[i]->remove();
    }
    service->release();
}

// A terminated service whose finishing work holds its last reference; the work waits in
// finalize until the test has dropped its own.
class FreedByTheFinishingWork : public IOService
{
    OSDeclareDefaultStructors(FreedByTheFinishingWork);

public:
    // Outside the object, which the finishing work frees.
    static inline std::mutex mutex;
    static inline std::condition_variable released;
    static inline bool testReleased = false; // guarded by mutex
    static inline std::atomic<int> quietAtFree{-1};

    bool finalize(IOOptionBits options) override
    {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(released.wait_for(lock, std::chrono::seconds(10), [&] { return testReleased; }));
        return IOService::finalize(options);
    }
    void free() override
    {
        quietAtFree = getServiceRoot()->waitQuiet(0) == kIOReturnSuccess ? 1 : 0;
        IOService::free();
    }
};
OSDefineMetaClassAndStructors(FreedByTheFinishingWork, IOService);

// The last release of a terminated service may run its kext's code, and a kext is unloaded once
// the registry is quiet: the registry stays busy until the reference is gone.
TEST(IOService, ATerminatedServiceIsGoneBeforeTheRegistryIsQuiet)
{
    FreedByTheFinishingWork::testReleased = false;
    FreedByTheFinishingWork::quietAtFree = -1;
    auto* service = make<FreedByTheFinishingWork>();
    ASSERT_TRUE(service->terminate(0));
    service->release(); // the finishing work, waiting in finalize, now holds the last reference
    {
        std::lock_guard lock(FreedByTheFinishingWork::mutex);
        FreedByTheFinishingWork::testReleased = true;
    }
    FreedByTheFinishingWork::released.notify_all();
    EXPECT_EQ(IOService::getServiceRoot()->waitQuiet(), kIOReturnSuccess);
    EXPECT_EQ(FreedByTheFinishingWork::quietAtFree.load(), 0);
}

// A client whose message handler waits until the test lets it go (in a primitive of the clock,
// so the clock can settle meanwhile).
class HeldInAMessage : public IOService
{
    OSDeclareDefaultStructors(HeldInAMessage);

public:
    static inline std::mutex mutex;
    static inline platform::host_clock::Condition changed;
    static inline bool inMessage = false, letGo = false; // guarded by mutex
    static inline std::atomic<int> quietAtFree{-1};

    IOReturn message(UInt32 type, IOService* provider, void* argument) override
    {
        std::unique_lock lock(mutex);
        inMessage = true;
        changed.notifyAll();
        changed.wait(lock, [] { return letGo; });
        return IOService::message(type, provider, argument);
    }
    void free() override
    {
        quietAtFree = getServiceRoot()->waitQuiet(0) == kIOReturnSuccess ? 1 : 0;
        IOService::free();
    }
};
OSDefineMetaClassAndStructors(HeldInAMessage, IOService);

// A message being delivered to a provider's clients holds them: the registry is not quiet until
// the delivery has let them go, so a client's last release never runs after the quiet.
TEST(IOService, AMessageBeingDeliveredKeepsTheRegistryBusy)
{
    platform::host_clock::virtual_clock::Scope clock;
    HeldInAMessage::inMessage = HeldInAMessage::letGo = false;
    HeldInAMessage::quietAtFree = -1;
    auto* provider = make<IOService>();
    auto* client = make<HeldInAMessage>();
    ASSERT_TRUE(client->attach(provider));
    EXPECT_EQ(provider->messageClients(1), kIOReturnSuccess);
    platform::host_clock::virtual_clock::settle(); // the delivery waits in the client's handler
    {
        std::lock_guard lock(HeldInAMessage::mutex);
        ASSERT_TRUE(HeldInAMessage::inMessage);
    }
    client->terminate(0);
    client->release();
    platform::host_clock::virtual_clock::settle(); // the termination has finished
    EXPECT_EQ(IOService::getServiceRoot()->waitQuiet(0), kIOReturnTimeout);
    {
        std::lock_guard lock(HeldInAMessage::mutex);
        HeldInAMessage::letGo = true;
    }
    HeldInAMessage::changed.notifyAll();
    EXPECT_EQ(IOService::getServiceRoot()->waitQuiet(), kIOReturnSuccess);
    EXPECT_EQ(HeldInAMessage::quietAtFree.load(), 0);
    provider->release();
}

class PowerListener : public IOService
{
    OSDeclareDefaultStructors(PowerListener);

public:
    std::vector<std::string> calls;

    IOReturn powerStateWillChangeTo(IOPMPowerFlags flags, unsigned long state, IOService* device) override
    {
        calls.push_back("will " + std::to_string(flags) + " " + std::to_string(state) +
                        (device == getPMRootDomain() ? " root" : ""));
        return IOService::powerStateWillChangeTo(flags, state, device);
    }
    IOReturn powerStateDidChangeTo(IOPMPowerFlags flags, unsigned long state, IOService* device) override
    {
        calls.push_back("did " + std::to_string(flags) + " " + std::to_string(state));
        return IOService::powerStateDidChangeTo(flags, state, device);
    }
};
OSDefineMetaClassAndStructors(PowerListener, IOService);

TEST(IOPMrootDomain, TellsInterestedDriversOfSleepAndWake)
{
    auto* driver = make<PowerListener>();
    IOPMrootDomain* root = IOService::getPMRootDomain();
    ASSERT_NE(root, nullptr);
    Recorder listener;
    IONotifier* notifier = root->registerInterest(gIOGeneralInterest, Recorder::handler, &listener);
    root->registerInterestedDriver(driver);

    root->systemSleep();
    root->systemWake();
    EXPECT_EQ(driver->calls,
              (std::vector<std::string>{"will 4 2 root", "did 4 2", "will 32898 3 root", "did 32898 3"}));
    ASSERT_TRUE(listener.waitFor(2));
    {
        std::lock_guard lock(listener.mutex);
        EXPECT_EQ(listener.messages[0].first, kIOMessageSystemWillSleep);
        EXPECT_EQ(listener.messages[1].first, kIOMessageSystemHasPoweredOn);
    }

    EXPECT_EQ(root->deRegisterInterestedDriver(driver), kIOReturnSuccess);
    root->changePowerState(kIOPMSleepCapability, IOPMrootDomain::kStateSleep);
    EXPECT_EQ(driver->calls.size(), 4u);
    notifier->remove();
    driver->release();
}

} // namespace
