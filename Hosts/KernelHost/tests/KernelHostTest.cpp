#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sys/mman.h>
#include <thread>

#include "IOKit/IOCatalogue.h"
#include "IOKit/pwr_mgt/RootDomain.h"
#include "TestDriver.h"
#include "kernel_host/KernelHost.h"
#include "platform/Log.h"

namespace {

using kernel_host::ConnectionID;
using kernel_host::KernelHost;
using kernel_host::MappedMemory;
using kernel_host::MethodCall;
using namespace test_driver;

constexpr uint16_t kVendor = 0x0A4A;
constexpr uint16_t kProduct = 0x6A02;

// The events of one kind ("start", "free", ...) in order, with their tags.
std::vector<std::string> only(const std::vector<std::string>& all, const std::string& kind)
{
    std::vector<std::string> out;
    for (const auto& e : all) {
        if (e.rfind(kind + " ", 0) == 0 || e == kind) {
            out.push_back(e);
        }
    }
    return out;
}

class KernelHostTest : public ::testing::Test
{
protected:
    void SetUp() override { events().take(); }

    void TearDown() override
    {
        host.reset();
        OSDictionary* mine = OSDictionary::withCapacity(1);
        OSString* bundle = OSString::withCString(kBundle);
        mine->setObject(kCFBundleIdentifierKey, bundle);
        gIOCatalogue->removeDrivers(mine);
        bundle->release();
        mine->release();
        IOService::getServiceRoot()->waitQuiet();
        // Messages still queued hold their sender until they are delivered.
        for (const OSMetaClass* meta :
             {&TestDriver::gMetaClass, &TestUserClient::gMetaClass, &TestProvider::gMetaClass}) {
            for (int i = 0; i < 2000 && meta->getInstanceCount() != 0; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            EXPECT_EQ(meta->getInstanceCount(), 0u) << meta->getClassName();
        }
    }

    void addPersonalities(std::initializer_list<OSDictionary*> list)
    {
        OSArray* array = OSArray::withCapacity(4);
        OSString* bundle = OSString::withCString(kBundle);
        for (auto* p : list) {
            p->setObject(kCFBundleIdentifierKey, bundle);
            array->setObject(p);
            p->release();
        }
        bundle->release();
        host->addPersonalities(array);
        array->release();
    }

    // Publishes a provider and waits for matching; the host keeps it.
    TestProvider* publish(uint16_t vendor, uint16_t product, uint16_t release)
    {
        TestProvider* provider = TestProvider::withIDs(vendor, product, release);
        host->publishProvider(provider);
        provider->release();
        EXPECT_EQ(host->waitQuiet(), kIOReturnSuccess);
        return provider;
    }

    TestDriver* copyDriver() { return OSDynamicCast(TestDriver, host->copyServiceNamed("TestDriver")); }

    ConnectionID open(UInt32 type, task_t task = 0)
    {
        TestDriver* driver = copyDriver();
        EXPECT_NE(driver, nullptr);
        ConnectionID id = 0;
        EXPECT_EQ(host->openConnection(driver, task ? task : process, type, &id), kIOReturnSuccess);
        driver->release();
        return id;
    }

    static constexpr const char* kBundle = "test.kernelhost.driver";
    std::unique_ptr<KernelHost> host = std::make_unique<KernelHost>();
    task_t process = host->createTask(4711, 501, "coreaudiod");
};

TEST_F(KernelHostTest, BestPersonalityIsProbedAndStartedAndTheRestFreed)
{
    addPersonalities({personality("vendor", kVendor, 0, 0), personality("product", kVendor, kProduct, 0),
                      personality("release", kVendor, kProduct, 0x0200), personality("other", 0x1935, 4, 0)});
    TestProvider* provider = publish(kVendor, kProduct, 0x0100);

    const auto all = events().take();
    EXPECT_EQ(only(all, "init"), (std::vector<std::string>{"init product", "init vendor"}));
    EXPECT_EQ(only(all, "probe"), (std::vector<std::string>{"probe product 2000", "probe vendor 1000"}));
    EXPECT_EQ(only(all, "start"), (std::vector<std::string>{"start product"}));
    EXPECT_EQ(only(all, "free"), (std::vector<std::string>{"free vendor"}));
    // The winner's own order.
    std::vector<std::string> winner;
    std::copy_if(all.begin(), all.end(), std::back_inserter(winner),
                 [](const std::string& e) { return e.find("product") != std::string::npos; });
    EXPECT_EQ(winner, (std::vector<std::string>{"init product", "attach product", "probe product 2000",
                                                "start product"}));

    TestDriver* driver = copyDriver();
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->getProvider(), provider);
    EXPECT_TRUE(OSDynamicCast(OSString, driver->getProperty("deviceUID"))->isEqualTo("USB-4711"));
    EXPECT_TRUE(OSDynamicCast(OSString, driver->getProperty(kIOClassKey))->isEqualTo("TestDriver"));
    driver->release();

    host->removeProvider(provider);
    // The last reference may be a message still being delivered, which holds its sender.
    ASSERT_TRUE(events().waitFor("free product"));
    const auto removal = events().take();
    EXPECT_EQ(only(removal, "terminate"), (std::vector<std::string>{"terminate product"}));
    std::vector<std::string> order;
    for (const auto& e : removal) {
        if (e == "stop product" || e == "finalize product" || e == "detach product" || e == "free product") {
            order.push_back(e);
        }
    }
    EXPECT_EQ(order, (std::vector<std::string>{"stop product", "finalize product", "detach product",
                                               "free product"}));
    EXPECT_EQ(host->copyServiceNamed("TestDriver"), nullptr);
}

TEST_F(KernelHostTest, RefusedProbeAndFailedStartLeaveTheNextCandidate)
{
    addPersonalities({personality("refuses", kVendor, kProduct, 0x0100, 0, "RefuseProbe"),
                      personality("fails", kVendor, kProduct, 0, 500, "FailStart"),
                      personality("plain", kVendor, 0, 0)});
    publish(kVendor, kProduct, 0x0100);
    const auto all = events().take();
    EXPECT_EQ(only(all, "start"), (std::vector<std::string>{"start fails", "start plain"}));
    EXPECT_EQ(only(all, "free"), (std::vector<std::string>{"free refuses", "free fails"}));
    EXPECT_TRUE(only(all, "stop").empty()); // a failed start is not stopped
}

// A driver publishes a nub of its own synchronously from its start; the nub's driver starts
// before that start returns, and on removal the innermost driver stops first.
TEST_F(KernelHostTest, NestedDriverStartsWithinItsParentsStartAndStopsFirst)
{
    OSDictionary* parent = personality("parent", kVendor, kProduct, 0);
    OSNumber* childVendor = OSNumber::withNumber(0x2222, 16);
    parent->setObject("PublishChild", childVendor);
    childVendor->release();
    addPersonalities({parent, personality("child", 0x2222, 1, 0)});
    TestProvider* provider = publish(kVendor, kProduct, 0x0100);
    auto all = events().take();
    EXPECT_EQ(only(all, "start"), (std::vector<std::string>{"start parent", "start child"}));
    EXPECT_EQ(only(all, "started"), (std::vector<std::string>{"started parent"}));
    EXPECT_LT(std::find(all.begin(), all.end(), "start child"),
              std::find(all.begin(), all.end(), "started parent"));

    host->removeProvider(provider);
    all = events().take();
    EXPECT_EQ(only(all, "terminate"), (std::vector<std::string>{"terminate parent", "terminate child"}));
    EXPECT_EQ(only(all, "stop"), (std::vector<std::string>{"stop child", "stop parent"}));
}

TEST_F(KernelHostTest, MethodTableChecksCountsAndSizesBeforeTheMethodRuns)
{
    addPersonalities({personality("product", kVendor, kProduct, 0)});
    publish(kVendor, kProduct, 0x0100);
    const ConnectionID id = open(kRecordClient);
    IOUserClient* client = host->copyClient(id);
    auto* testClient = OSDynamicCast(TestUserClient, client);
    ASSERT_NE(testClient, nullptr);

    struct Case
    {
        const char* name;
        uint32_t selector;
        size_t scalarsIn;
        size_t structIn;
        uint32_t scalarsOut;
        uint32_t structOut;
        IOReturn status;
    };
    const Case cases[] = {
        {"record", kSelectorRecord, 0, 268, 0, 268, kIOReturnSuccess},
        {"record short in", kSelectorRecord, 0, 267, 0, 268, kIOReturnBadArgument},
        {"record long out", kSelectorRecord, 0, 268, 0, 269, kIOReturnBadArgument},
        {"record with scalar", kSelectorRecord, 1, 268, 0, 268, kIOReturnBadArgument},
        {"add", kSelectorAdd, 2, 0, 1, 0, kIOReturnSuccess},
        {"add one scalar", kSelectorAdd, 1, 0, 1, 0, kIOReturnBadArgument},
        {"add no output", kSelectorAdd, 2, 0, 0, 0, kIOReturnBadArgument},
        {"variable empty", kSelectorVariable, 0, 0, 1, 0, kIOReturnSuccess},
        {"variable large", kSelectorVariable, 0, 4000, 1, 0, kIOReturnSuccess},
        {"variable with output", kSelectorVariable, 0, 10, 1, 4, kIOReturnBadArgument},
        {"outside the table", kSelectorCount, 0, 0, 0, 0, kIOReturnUnsupported},
        {"far outside", 0xFFFFFFFF, 0, 0, 0, 0, kIOReturnUnsupported},
        {"beyond the host's limit", kSelectorVariable, 0, kernel_host::kMaximumStructureSize + 1, 1, 0,
         kIOReturnBadArgument},
    };
    for (const Case& c : cases) {
        const int before = testClient->methodsRun();
        MethodCall call;
        call.scalarInput.assign(c.scalarsIn, 20);
        call.structureInput.assign(c.structIn, 0x0F);
        call.scalarOutputCapacity = c.scalarsOut;
        call.structureOutputCapacity = c.structOut;
        EXPECT_EQ(host->callMethod(id, c.selector, call), c.status) << c.name;
        EXPECT_EQ(testClient->methodsRun(), before + (c.status == kIOReturnSuccess ? 1 : 0)) << c.name;
        if (c.status == kIOReturnSuccess && c.selector == kSelectorRecord) {
            ASSERT_EQ(call.structureOutput.size(), 268u);
            EXPECT_EQ(call.structureOutput[267], 0xF0);
        }
        if (c.status == kIOReturnSuccess && c.selector == kSelectorAdd) {
            EXPECT_EQ(call.scalarOutput, std::vector<uint64_t>{40});
        }
        if (c.status == kIOReturnSuccess && c.selector == kSelectorVariable) {
            EXPECT_EQ(call.scalarOutput, std::vector<uint64_t>{c.structIn});
        }
    }
    client->release();
    EXPECT_EQ(host->callMethod(999, 0, *std::make_unique<MethodCall>()), kIOReturnNotOpen);
}

TEST_F(KernelHostTest, OlderTableMethodSeesTheSizesItself)
{
    addPersonalities({personality("product", kVendor, kProduct, 0)});
    publish(kVendor, kProduct, 0x0100);
    const ConnectionID id = open(kCommandClient);
    IOUserClient* client = host->copyClient(id);
    auto* testClient = OSDynamicCast(TestUserClient, client);

    MethodCall call;
    call.structureInput.assign(260, 0x11);
    call.structureOutputCapacity = 260;
    EXPECT_EQ(host->callMethod(id, 0, call), kIOReturnSuccess);
    ASSERT_EQ(call.structureOutput.size(), 260u);
    EXPECT_EQ(call.structureOutput[0], 0xEE);
    EXPECT_EQ(call.structureOutput[259], 0x11);

    call.structureInput.assign(268, 0x11); // the method answers for itself, not the framework
    call.structureOutputCapacity = 268;
    EXPECT_EQ(host->callMethod(id, 0, call), kIOReturnNotPrivileged);
    EXPECT_EQ(testClient->methodsRun(), 2);
    EXPECT_EQ(host->callMethod(id, 1, call), kIOReturnUnsupported);
    client->release();
}

TEST_F(KernelHostTest, MemoryTypesMapTheSameBytesForKernelAndProcesses)
{
    addPersonalities({personality("product", kVendor, kProduct, 0)});
    TestProvider* provider = publish(kVendor, kProduct, 0x0100);
    task_t other = host->createTask(4712, 501, "SonvexaControl");
    const ConnectionID first = open(kRecordClient);
    const ConnectionID second = open(kRecordClient, other);
    TestDriver* driver = copyDriver();
    auto* kernelBytes = static_cast<unsigned char*>(driver->deviceBlock()->getBytesNoCopy());

    MappedMemory a;
    MappedMemory b;
    ASSERT_EQ(host->mapMemory(first, kDeviceBlockType, &a), kIOReturnSuccess);
    ASSERT_EQ(host->mapMemory(second, kDeviceBlockType, &b), kIOReturnSuccess);
    EXPECT_EQ(a.length, kDeviceBlockSize); // the exact size, not a page multiple
    EXPECT_NE(a.address, b.address);
    static_cast<unsigned char*>(a.address)[kDeviceBlockSize - 1] = 0xA5;
    EXPECT_EQ(static_cast<unsigned char*>(b.address)[kDeviceBlockSize - 1], 0xA5);
    EXPECT_EQ(kernelBytes[kDeviceBlockSize - 1], 0xA5);

    // Another process maps the file it is handed.
    void* remote = mmap(nullptr, b.length, PROT_READ | PROT_WRITE, MAP_SHARED, b.fileDescriptor,
                        static_cast<off_t>(b.fileOffset));
    ASSERT_NE(remote, MAP_FAILED);
    static_cast<unsigned char*>(remote)[0] = 0x3C;
    EXPECT_EQ(kernelBytes[0], 0x3C);

    // Per-connection memory: made on first request, the same block when asked again.
    MappedMemory c1;
    MappedMemory c2;
    MappedMemory d;
    ASSERT_EQ(host->mapMemory(first, kClientBlockType, &c1), kIOReturnSuccess);
    ASSERT_EQ(host->mapMemory(first, kClientBlockType, &c2), kIOReturnSuccess);
    ASSERT_EQ(host->mapMemory(second, kClientBlockType, &d), kIOReturnSuccess);
    EXPECT_EQ(c1.length, kClientBlockSize);
    static_cast<unsigned char*>(c1.address)[7] = 0x77;
    EXPECT_EQ(static_cast<unsigned char*>(c2.address)[7], 0x77);
    EXPECT_EQ(static_cast<unsigned char*>(d.address)[7], 0);
    EXPECT_EQ(host->unmapMemory(first, kClientBlockType, c2.address), kIOReturnSuccess);
    EXPECT_EQ(host->unmapMemory(first, kClientBlockType, c2.address), kIOReturnBadArgument);

    MappedMemory none;
    EXPECT_EQ(host->mapMemory(first, 7, &none), kIOReturnNoMemory);
    EXPECT_EQ(host->mapMemory(first, kMissingMemoryType, &none),
              kIOReturnBadArgument); // success without memory
    EXPECT_EQ(none.address, nullptr);
    driver->release();

    // The device goes; the process's mapping of its block stays valid.
    host->removeProvider(provider);
    EXPECT_EQ(static_cast<unsigned char*>(remote)[kDeviceBlockSize - 1], 0xA5);
    EXPECT_EQ(static_cast<unsigned char*>(a.address)[0], 0x3C);
    host->closeConnection(first);
    host->closeConnection(second);
    EXPECT_EQ(static_cast<unsigned char*>(remote)[0], 0x3C);
    munmap(remote, b.length);
    host->releaseTask(other);
}

TEST_F(KernelHostTest, AConnectionKeepsABoundedNumberOfMappings)
{
    addPersonalities({personality("product", kVendor, kProduct, 0)});
    publish(kVendor, kProduct, 0x0100);
    task_t other = host->createTask(4712, 501, "SonvexaControl");
    const ConnectionID first = open(kRecordClient);
    const ConnectionID second = open(kRecordClient, other);
    MappedMemory last;
    for (size_t i = 0; i < KernelHost::kMaximumMaps; ++i) {
        ASSERT_EQ(host->mapMemory(first, kDeviceBlockType, &last), kIOReturnSuccess);
    }
    MappedMemory refused;
    EXPECT_EQ(host->mapMemory(first, kDeviceBlockType, &refused), kIOReturnNoResources);
    EXPECT_EQ(refused.address, nullptr);
    EXPECT_EQ(host->mapMemory(second, kDeviceBlockType, &refused), kIOReturnSuccess); // its own count
    EXPECT_EQ(host->unmapMemory(first, kDeviceBlockType, last.address), kIOReturnSuccess);
    EXPECT_EQ(host->mapMemory(first, kDeviceBlockType, &last), kIOReturnSuccess);
    host->closeConnection(first);
    host->closeConnection(second);
    host->releaseTask(other);
}

TEST_F(KernelHostTest, TerminateWhileAClientHoldsTheDriverOpen)
{
    addPersonalities({personality("product", kVendor, kProduct, 0)});
    TestProvider* provider = publish(kVendor, kProduct, 0x0100);
    const ConnectionID holder = open(kRecordClient);
    const ConnectionID other = open(kRecordClient);
    MethodCall call;
    EXPECT_EQ(host->callMethod(holder, kSelectorOpen, call), kIOReturnSuccess);
    EXPECT_EQ(host->callMethod(other, kSelectorOpen, call), kIOReturnExclusiveAccess);
    EXPECT_EQ(host->callMethod(other, kSelectorClose, call), kIOReturnNotOpen);
    EXPECT_EQ(host->callMethod(holder, kSelectorOpen, call), kIOReturnSuccess); // the owner again

    platform::log::Capture kernelLog(platform::log::Channel::kernel);
    events().take();
    host->removeProvider(provider);
    const auto all = events().take();
    EXPECT_EQ(only(all, "stop"), (std::vector<std::string>{"stop product"}));
    EXPECT_TRUE(kernelLog.contains("still held TestDriver open at its termination"));
    EXPECT_EQ(only(all, "free"), std::vector<std::string>{}); // the connections still hold the clients

    // The processes close afterwards; their clients are already gone from the driver.
    EXPECT_EQ(host->callMethod(holder, kSelectorClose, call), kIOReturnNotOpen);
    EXPECT_EQ(host->closeConnection(holder), kIOReturnSuccess);
    EXPECT_EQ(host->connectionDied(other), kIOReturnSuccess);
    EXPECT_TRUE(events().waitFor("free product")); // the last reference may go on a delivery thread
    const auto ends = events().take();
    EXPECT_EQ(std::vector<std::string>(ends.begin(), ends.begin() + 3),
              (std::vector<std::string>{"clientClose", "clientDied", "clientClose"}));
    EXPECT_EQ(host->closeConnection(holder), kIOReturnNotOpen);
}

TEST_F(KernelHostTest, DeathOfAProcessReachesClientDiedAndReleasesTheOpen)
{
    addPersonalities({personality("product", kVendor, kProduct, 0)});
    publish(kVendor, kProduct, 0x0100);
    const ConnectionID dying = open(kRecordClient);
    const ConnectionID next = open(kRecordClient);
    MethodCall call;
    ASSERT_EQ(host->callMethod(dying, kSelectorOpen, call), kIOReturnSuccess);
    events().take();
    EXPECT_EQ(host->connectionDied(dying), kIOReturnSuccess);
    EXPECT_EQ(events().take(), (std::vector<std::string>{"clientDied", "clientClose"}));
    EXPECT_EQ(host->connectionCount(), 1u);
    EXPECT_EQ(host->callMethod(next, kSelectorOpen, call), kIOReturnSuccess);
    EXPECT_EQ(host->callMethod(dying, kSelectorOpen, call), kIOReturnNotOpen);
}

struct Listener
{
    std::mutex mutex;
    std::vector<std::string> seen; // guarded by mutex

    static bool matched(void* target, void* refCon, IOService* service, IONotifier*)
    {
        auto* self = static_cast<Listener*>(target);
        std::lock_guard lock(self->mutex);
        self->seen.push_back(std::string(static_cast<const char*>(refCon)) + " " + service->getName());
        return true;
    }
    static IOReturn interest(void* target, void*, UInt32 type, IOService*, void*, vm_size_t)
    {
        auto* self = static_cast<Listener*>(target);
        char text[32];
        std::snprintf(text, sizeof(text), "message %08X", type);
        std::lock_guard lock(self->mutex);
        self->seen.emplace_back(text);
        return kIOReturnSuccess;
    }
    bool waitFor(size_t count)
    {
        for (int i = 0; i < 2000; ++i) {
            {
                std::lock_guard lock(mutex);
                if (seen.size() >= count) {
                    return true;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }
};

TEST_F(KernelHostTest, StartedServicesArePublishedByClassNameAndAnnounceTheirEnd)
{
    Listener listener;
    OSDictionary* matching = IOService::serviceMatching("TestDriver");
    IONotifier* published = IOService::addMatchingNotification(
        gIOPublishNotification, matching, Listener::matched, &listener, const_cast<char*>("publish"));
    IONotifier* terminated = IOService::addMatchingNotification(
        gIOTerminatedNotification, matching, Listener::matched, &listener, const_cast<char*>("terminate"));
    matching->release();
    addPersonalities({personality("product", kVendor, kProduct, 0)});
    TestProvider* provider = publish(kVendor, kProduct, 0x0100);
    ASSERT_TRUE(listener.waitFor(1));

    TestDriver* driver = copyDriver();
    IONotifier* interest = driver->registerInterest(gIOGeneralInterest, Listener::interest, &listener);
    driver->release();
    host->removeProvider(provider);
    listener.waitFor(3);
    {
        std::lock_guard lock(listener.mutex);
        ASSERT_EQ(listener.seen.size(), 3u);
        EXPECT_EQ(listener.seen[0], "publish TestDriver");
        // Interest messages and terminate notifications travel on separate queues.
        std::sort(listener.seen.begin() + 1, listener.seen.end());
        EXPECT_EQ(listener.seen[1], "message E0000010");
        EXPECT_EQ(listener.seen[2], "terminate TestDriver");
    }
    interest->remove();
    published->remove();
    terminated->remove();
}

TEST_F(KernelHostTest, DriverHearsSystemSleepAndWakeUntilItStops)
{
    addPersonalities({personality("product", kVendor, kProduct, 0)});
    TestProvider* provider = publish(kVendor, kProduct, 0x0100);
    events().take();
    IOService::getPMRootDomain()->systemSleep();
    IOService::getPMRootDomain()->systemWake();
    EXPECT_EQ(events().take(),
              (std::vector<std::string>{"will 4 2", "did 4 2", "will 32898 3", "did 32898 3"}));
    host->removeProvider(provider);
    events().take();
    IOService::getPMRootDomain()->systemSleep();
    EXPECT_TRUE(events().take().empty());
}

TEST_F(KernelHostTest, ProviderMessagesReachTheDriver)
{
    addPersonalities({personality("product", kVendor, kProduct, 0)});
    TestProvider* provider = publish(kVendor, kProduct, 0x0100);
    unsigned char record[36] = {36};
    EXPECT_EQ(provider->messageClients(kIOMessageServicePropertyChange, record, sizeof(record)),
              kIOReturnSuccess);
    EXPECT_TRUE(events().waitFor("message E0000130"));
}

TEST_F(KernelHostTest, OpeningNeedsAKnownTaskAndAnActiveService)
{
    addPersonalities({personality("product", kVendor, kProduct, 0)});
    publish(kVendor, kProduct, 0x0100);
    TestDriver* driver = copyDriver();
    ConnectionID id = 99;
    EXPECT_EQ(host->openConnection(driver, 0xDEAD, kRecordClient, &id), kIOReturnBadArgument);
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(host->openConnection(driver, process, 7, &id),
              kIOReturnBadArgument); // the driver refuses the type
    driver->terminate(kIOServiceSynchronous);
    EXPECT_EQ(host->openConnection(driver, process, kRecordClient, &id), kIOReturnNoDevice);
    driver->release();
}

// The service is terminated while a client of it is being made: the open fails with a status,
// and neither the client nor the driver is left behind (a terminated client was attached again
// and the two held each other).
TEST_F(KernelHostTest, AnOpenRacingTheTerminationOfItsServiceFailsAndLeavesNothing)
{
    addPersonalities({personality("product", kVendor, kProduct, 0)});
    publish(kVendor, kProduct, 0x0100);
    TestDriver* driver = copyDriver();
    ASSERT_NE(driver, nullptr);
    onClientStart([driver] {
        driver->IOService::terminate(0);
        IOService::getServiceRoot()->waitQuiet();
    });
    ConnectionID id = 99;
    const IOReturn status = host->openConnection(driver, process, kRecordClient, &id);
    onClientStart(nullptr);
    EXPECT_EQ(status, kIOReturnNoDevice);
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(host->connectionCount(), 0u);
    driver->release();
    // TearDown finds no client and no driver left.
}

} // namespace
