#include "TestDriver.h"

#include <algorithm>
#include <cstring>

#include "IOKit/IOLib.h"
#include "IOKit/pwr_mgt/RootDomain.h"

namespace test_driver {

void Events::add(const std::string& event)
{
    std::lock_guard lock(m_mutex);
    m_events.push_back(event);
    m_changed.notify_all();
}

std::vector<std::string> Events::take()
{
    std::lock_guard lock(m_mutex);
    return std::exchange(m_events, {});
}

bool Events::waitFor(const std::string& event, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(
        lock, timeout, [&] { return std::find(m_events.begin(), m_events.end(), event) != m_events.end(); });
}

Events& events()
{
    static Events e;
    return e;
}

OSDefineMetaClassAndStructors(TestProvider, IOService);
OSDefineMetaClassAndStructors(TestDriver, IOService);
OSDefineMetaClassAndStructors(TestUserClient, IOUserClient);

// TestProvider

TestProvider* TestProvider::withIDs(uint16_t vendor, uint16_t product, uint16_t release)
{
    auto* provider = new TestProvider;
    provider->init(nullptr);
    provider->setProperty("idVendor", vendor, 16);
    provider->setProperty("idProduct", product, 16);
    provider->setProperty("bcdDevice", release, 16);
    return provider;
}

bool TestProvider::matchPropertyTable(OSDictionary* table, SInt32* score)
{
    for (const char* key : {"idVendor", "idProduct", "bcdDevice"}) {
        if (table->getObject(key) == nullptr) {
            continue;
        }
        if (!compareProperty(table, key)) {
            return false;
        }
        *score += 1000;
    }
    return true;
}

// TestDriver

std::string TestDriver::tag() const
{
    auto* text = OSDynamicCast(OSString, getProperty("Tag"));
    return text != nullptr ? text->getCStringNoCopy() : "?";
}

bool TestDriver::init(OSDictionary* personality)
{
    if (!IOService::init(personality)) {
        return false;
    }
    events().add("init " + tag());
    return true;
}

IOService* TestDriver::probe(IOService* provider, SInt32* score)
{
    events().add("probe " + tag() + " " + std::to_string(*score));
    if (getProperty("RefuseProbe") != nullptr) {
        return nullptr;
    }
    return IOService::probe(provider, score);
}

bool TestDriver::start(IOService* provider)
{
    events().add("start " + tag());
    if (!IOService::start(provider) || getProperty("FailStart") != nullptr) {
        return false;
    }
    m_deviceBlock = IOBufferMemoryDescriptor::withOptions(kIODirectionInOut, kDeviceBlockSize, 4096);
    getPMRootDomain()->registerInterestedDriver(this);
    setProperty("deviceUID", "USB-4711");
    registerService();
    if (auto* child = OSDynamicCast(OSNumber, getProperty("PublishChild"))) {
        // A nub of its own for another driver to match, matched before start returns.
        TestProvider* nub = TestProvider::withIDs(static_cast<uint16_t>(child->unsigned32BitValue()), 1, 0);
        nub->attach(this);
        nub->registerService(kIOServiceSynchronous);
        nub->release();
        events().add("started " + tag());
    }
    return m_deviceBlock != nullptr;
}

void TestDriver::stop(IOService* provider)
{
    events().add("stop " + tag());
    getPMRootDomain()->deRegisterInterestedDriver(this);
    IOService::stop(provider);
}

bool TestDriver::terminate(IOOptionBits options)
{
    events().add("terminate " + tag());
    return IOService::terminate(options);
}

bool TestDriver::finalize(IOOptionBits options)
{
    events().add("finalize " + tag());
    return IOService::finalize(options);
}

bool TestDriver::attach(IOService* provider)
{
    events().add("attach " + tag());
    return IOService::attach(provider);
}

void TestDriver::detach(IOService* provider)
{
    events().add("detach " + tag());
    IOService::detach(provider);
}

IOReturn TestDriver::message(UInt32 type, IOService* provider, void* argument)
{
    char text[32];
    std::snprintf(text, sizeof(text), "message %08X", type);
    events().add(text);
    return IOService::message(type, provider, argument);
}

void TestDriver::free()
{
    events().add("free " + tag());
    OSSafeReleaseNULL(m_deviceBlock);
    IOService::free();
}

IOReturn TestDriver::newUserClient(task_t task, void* securityID, UInt32 type, OSDictionary*,
                                   IOUserClient** handler)
{
    if (handler == nullptr) {
        return kIOReturnBadArgument;
    }
    *handler = nullptr;
    if (type != kRecordClient && type != kCommandClient) {
        return kIOReturnBadArgument;
    }
    auto* client = new TestUserClient;
    if (!client->initWithTask(task, securityID, type)) {
        client->release();
        return kIOReturnBadArgument;
    }
    if (!client->attach(this) || !client->start(this)) {
        client->detach(this);
        client->release();
        return kIOReturnBadArgument;
    }
    *handler = client;
    return kIOReturnSuccess;
}

IOReturn TestDriver::newUserClient(task_t task, void* securityID, UInt32 type, IOUserClient** handler)
{
    return newUserClient(task, securityID, type, nullptr, handler);
}

IOReturn TestDriver::powerStateWillChangeTo(IOPMPowerFlags flags, unsigned long state, IOService* device)
{
    events().add("will " + std::to_string(flags) + " " + std::to_string(state));
    return IOService::powerStateWillChangeTo(flags, state, device);
}

IOReturn TestDriver::powerStateDidChangeTo(IOPMPowerFlags flags, unsigned long state, IOService* device)
{
    events().add("did " + std::to_string(flags) + " " + std::to_string(state));
    return IOService::powerStateDidChangeTo(flags, state, device);
}

// TestUserClient

bool TestUserClient::initWithTask(task_t task, void* securityID, UInt32 type)
{
    if (!IOUserClient::initWithTask(task, securityID, type) || task == 0) {
        return false;
    }
    m_task = task;
    m_type = type;
    return true;
}

namespace {
std::mutex clientStartMutex;
std::function<void()> clientStartHook; // guarded by clientStartMutex
} // namespace

void onClientStart(std::function<void()> hook)
{
    std::lock_guard lock(clientStartMutex);
    clientStartHook = std::move(hook);
}

bool TestUserClient::start(IOService* provider)
{
    std::function<void()> hook;
    {
        std::lock_guard lock(clientStartMutex);
        hook = clientStartHook;
    }
    if (hook) {
        hook();
    }
    m_driver = OSDynamicCast(TestDriver, provider);
    if (m_driver == nullptr || !IOUserClient::start(provider)) {
        m_driver = nullptr;
        return false;
    }
    m_driver->retain();
    return true;
}

IOReturn TestUserClient::clientClose()
{
    events().add("clientClose");
    if (m_driver != nullptr) {
        if (m_driver->isOpen(this)) {
            m_driver->close(this);
        }
        m_driver->release();
        m_driver = nullptr;
    }
    terminate();
    return kIOReturnSuccess;
}

IOReturn TestUserClient::clientDied()
{
    events().add("clientDied");
    return IOUserClient::clientDied();
}

void TestUserClient::free()
{
    OSSafeReleaseNULL(m_driver);
    OSSafeReleaseNULL(m_clientMemory);
    if (m_clientBlock != nullptr) {
        IOFreeAligned(m_clientBlock, kClientBlockSize);
    }
    IOUserClient::free();
}

IOReturn TestUserClient::externalMethod(uint32_t selector, IOExternalMethodArguments* arguments,
                                        IOExternalMethodDispatch* dispatch, OSObject* target, void* reference)
{
    static IOExternalMethodDispatch table[kSelectorCount] = {
        {&TestUserClient::record, 0, kRecordSize, 0, kRecordSize},
        {&TestUserClient::openDriver, 0, 0, 0, 0},
        {&TestUserClient::closeDriver, 0, 0, 0, 0},
        {&TestUserClient::add, 2, 0, 1, 0},
        {&TestUserClient::variable, 0, kIOUCVariableStructureSize, 1, 0},
    };
    if (m_type == kRecordClient && selector < kSelectorCount) {
        dispatch = &table[selector];
        target = this;
    }
    return IOUserClient::externalMethod(selector, arguments, dispatch, target, reference);
}

IOExternalMethod* TestUserClient::getTargetAndMethodForIndex(IOService** target, UInt32 index)
{
    static IOExternalMethod method = {nullptr, structureIOMethod<TestUserClient, &TestUserClient::command>(),
                                      kIOUCStructIStructO, kCommandSize, kCommandSize};
    if (m_type != kCommandClient || index != 0) {
        return nullptr;
    }
    *target = this;
    return &method;
}

IOReturn TestUserClient::command(void* in, void* out, IOByteCount inSize, IOByteCount* outSize)
{
    ++m_methodsRun;
    if (in == nullptr || out == nullptr || outSize == nullptr || inSize != kCommandSize ||
        *outSize != kCommandSize) {
        return kIOReturnNotPrivileged;
    }
    std::memcpy(out, in, kCommandSize);
    static_cast<unsigned char*>(out)[0] ^= 0xFF;
    return kIOReturnSuccess;
}

IOReturn TestUserClient::record(OSObject* target, void*, IOExternalMethodArguments* arguments)
{
    auto* self = OSDynamicCast(TestUserClient, target);
    if (self == nullptr) {
        return kIOReturnBadArgument;
    }
    ++self->m_methodsRun;
    const auto* in = static_cast<const unsigned char*>(arguments->structureInput);
    auto* out = static_cast<unsigned char*>(arguments->structureOutput);
    for (uint32_t i = 0; i < kRecordSize; ++i) {
        out[i] = static_cast<unsigned char>(~in[i]);
    }
    return kIOReturnSuccess;
}

IOReturn TestUserClient::openDriver(OSObject* target, void*, IOExternalMethodArguments*)
{
    auto* self = OSDynamicCast(TestUserClient, target);
    if (self == nullptr || self->m_driver == nullptr) {
        return kIOReturnNotAttached;
    }
    ++self->m_methodsRun;
    return self->m_driver->open(self) ? kIOReturnSuccess : kIOReturnExclusiveAccess;
}

IOReturn TestUserClient::closeDriver(OSObject* target, void*, IOExternalMethodArguments*)
{
    auto* self = OSDynamicCast(TestUserClient, target);
    if (self == nullptr || self->m_driver == nullptr) {
        return kIOReturnNotAttached;
    }
    ++self->m_methodsRun;
    if (!self->m_driver->isOpen(self)) {
        return kIOReturnNotOpen;
    }
    self->m_driver->close(self);
    return kIOReturnSuccess;
}

IOReturn TestUserClient::add(OSObject* target, void*, IOExternalMethodArguments* arguments)
{
    auto* self = OSDynamicCast(TestUserClient, target);
    if (self == nullptr) {
        return kIOReturnBadArgument;
    }
    ++self->m_methodsRun;
    arguments->scalarOutput[0] = arguments->scalarInput[0] + arguments->scalarInput[1];
    return kIOReturnSuccess;
}

IOReturn TestUserClient::variable(OSObject* target, void*, IOExternalMethodArguments* arguments)
{
    auto* self = OSDynamicCast(TestUserClient, target);
    if (self == nullptr) {
        return kIOReturnBadArgument;
    }
    ++self->m_methodsRun;
    arguments->scalarOutput[0] = arguments->structureInputSize;
    return kIOReturnSuccess;
}

IOReturn TestUserClient::clientMemoryForType(UInt32 type, IOOptionBits*, IOMemoryDescriptor** memory)
{
    *memory = nullptr;
    if (m_driver == nullptr) {
        return kIOReturnNotAttached;
    }
    switch (type) {
    case kDeviceBlockType:
        *memory = m_driver->deviceBlock();
        break;
    case kClientBlockType:
        if (m_clientMemory == nullptr) {
            m_clientBlock = IOMallocAligned(kClientBlockSize, 4096);
            if (m_clientBlock == nullptr) {
                return kIOReturnNoMemory;
            }
            std::memset(m_clientBlock, 0, kClientBlockSize);
            m_clientMemory =
                IOMemoryDescriptor::withAddress(m_clientBlock, kClientBlockSize, kIODirectionInOut);
        }
        *memory = m_clientMemory;
        break;
    case kMissingMemoryType:
        return kIOReturnSuccess;
    default:
        return kIOReturnNoMemory;
    }
    if (*memory == nullptr) {
        return kIOReturnNoMemory;
    }
    (*memory)->retain();
    return kIOReturnSuccess;
}

OSDictionary* personality(const char* tag, uint16_t vendor, uint16_t product, uint16_t release,
                          int probeScore, const char* flag)
{
    OSDictionary* p = OSDictionary::withCapacity(8);
    auto set = [&](const char* key, OSObject* value) {
        p->setObject(key, value);
        value->release();
    };
    set(kIOClassKey, OSString::withCString("TestDriver"));
    set(kIOProviderClassKey, OSString::withCString("TestProvider"));
    set("Tag", OSString::withCString(tag));
    set("idVendor", OSNumber::withNumber(vendor, 16));
    if (product != 0) {
        set("idProduct", OSNumber::withNumber(product, 16));
    }
    if (release != 0) {
        set("bcdDevice", OSNumber::withNumber(release, 16));
    }
    if (probeScore != 0) {
        set(kIOProbeScoreKey, OSNumber::withNumber(static_cast<uint32_t>(probeScore), 32));
    }
    if (flag != nullptr) {
        p->setObject(flag, kOSBooleanTrue);
    }
    return p;
}

} // namespace test_driver
