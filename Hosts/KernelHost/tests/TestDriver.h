// A small driver for the kernel host's tests: a provider that stands for a USB device, a driver
// matched to it by vendor, product and release, and the driver's user client with a method
// table, an older method table and two memory types. Every life-cycle call is recorded.
#pragma once

#include <functional>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "IOKit/IOBufferMemoryDescriptor.h"
#include "IOKit/IOService.h"
#include "IOKit/IOUserClient.h"

namespace test_driver {

class Events
{
public:
    void add(const std::string& event);
    std::vector<std::string> take();
    // Waits (in real time) until `event` has been recorded.
    bool waitFor(const std::string& event, std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_events; // guarded by m_mutex
};
Events& events();

constexpr uint32_t kDeviceBlockSize = 30'488;
constexpr uint32_t kClientBlockSize = 540'656;
constexpr uint32_t kRecordSize = 268;
constexpr uint32_t kCommandSize = 260;

// Memory types.
constexpr UInt32 kDeviceBlockType = 1;
constexpr UInt32 kClientBlockType = 5;
constexpr UInt32 kMissingMemoryType = 9; // answers success without memory

// Connection types: kRecordClient uses the method table, kCommandClient the older table.
constexpr UInt32 kRecordClient = 0;
constexpr UInt32 kCommandClient = 2;

// Method table selectors.
enum Selector : uint32_t
{
    kSelectorRecord,   // 268 bytes in and out: the record with its bytes inverted
    kSelectorOpen,     // opens the driver for this client
    kSelectorClose,    // closes it
    kSelectorAdd,      // 2 scalars in, 1 out: their sum
    kSelectorVariable, // any structure in, 1 scalar out: its size
    kSelectorCount,
};

class TestProvider : public IOService
{
    OSDeclareDefaultStructors(TestProvider);

public:
    static TestProvider* withIDs(uint16_t vendor, uint16_t product, uint16_t release);
    // idVendor, idProduct and bcdDevice must each equal the provider's when the personality
    // names them; each one named adds 1000 to the score, so the most specific one wins.
    bool matchPropertyTable(OSDictionary* table, SInt32* score) override;
};

class TestDriver : public IOService
{
    OSDeclareDefaultStructors(TestDriver);

public:
    using IOService::init;
    bool init(OSDictionary* personality) override;
    IOService* probe(IOService* provider, SInt32* score) override;
    bool start(IOService* provider) override;
    void stop(IOService* provider) override;
    bool terminate(IOOptionBits options) override;
    bool finalize(IOOptionBits options) override;
    bool attach(IOService* provider) override;
    void detach(IOService* provider) override;
    IOReturn message(UInt32 type, IOService* provider, void* argument) override;
    IOReturn newUserClient(task_t task, void* securityID, UInt32 type, OSDictionary* properties,
                           IOUserClient** handler) override;
    IOReturn newUserClient(task_t task, void* securityID, UInt32 type, IOUserClient** handler) override;
    IOReturn powerStateWillChangeTo(IOPMPowerFlags flags, unsigned long state, IOService* device) override;
    IOReturn powerStateDidChangeTo(IOPMPowerFlags flags, unsigned long state, IOService* device) override;

    IOBufferMemoryDescriptor* deviceBlock() const { return m_deviceBlock; }
    // The personality's "Tag", or "?".
    std::string tag() const;

protected:
    void free() override;

private:
    IOBufferMemoryDescriptor* m_deviceBlock = nullptr;
};

class TestUserClient : public IOUserClient
{
    OSDeclareDefaultStructors(TestUserClient);

public:
    bool initWithTask(task_t task, void* securityID, UInt32 type) override;
    using IOUserClient::initWithTask;
    bool start(IOService* provider) override;
    IOReturn clientClose() override;
    IOReturn clientDied() override;
    IOReturn externalMethod(uint32_t selector, IOExternalMethodArguments* arguments,
                            IOExternalMethodDispatch* dispatch, OSObject* target, void* reference) override;
    IOExternalMethod* getTargetAndMethodForIndex(IOService** target, UInt32 index) override;
    IOReturn clientMemoryForType(UInt32 type, IOOptionBits* options, IOMemoryDescriptor** memory) override;

    // The older table's method: it checks the sizes itself.
    IOReturn command(void* in, void* out, IOByteCount inSize, IOByteCount* outSize);
    int methodsRun() const { return m_methodsRun; }

protected:
    void free() override;

private:
    static IOReturn record(OSObject* target, void*, IOExternalMethodArguments* arguments);
    static IOReturn openDriver(OSObject* target, void*, IOExternalMethodArguments* arguments);
    static IOReturn closeDriver(OSObject* target, void*, IOExternalMethodArguments* arguments);
    static IOReturn add(OSObject* target, void*, IOExternalMethodArguments* arguments);
    static IOReturn variable(OSObject* target, void*, IOExternalMethodArguments* arguments);

    TestDriver* m_driver = nullptr; // retained from start to clientClose
    task_t m_task = 0;
    UInt32 m_type = 0;
    void* m_clientBlock = nullptr; // IOMallocAligned, made on first request
    IOMemoryDescriptor* m_clientMemory = nullptr;
    int m_methodsRun = 0;
};

// While set, runs at the beginning of every TestUserClient::start (tests that race a start).
void onClientStart(std::function<void()> hook);

// Personalities for TestProvider: {Tag, vendor, product (0 = none), release (0 = none), score,
// a flag}. Flags: "RefuseProbe", "FailStart".
OSDictionary* personality(const char* tag, uint16_t vendor, uint16_t product, uint16_t release,
                          int probeScore = 0, const char* flag = nullptr);

} // namespace test_driver
