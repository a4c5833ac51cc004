// A driver bundle for the user-side IOKit's tests: a nub to publish, a device driver matched
// to it that publishes registry properties and a shared block, and its user client with
// structure and scalar methods, memory types and interest messages. What the clients did
// (closed, died) is counted in the device's registry properties, so a test in any process can
// read it through the user-side IOKit.
#include <atomic>
#include <cstring>

#include "IOKit/IOBufferMemoryDescriptor.h"
#include "IOKit/IOLib.h"
#include "IOKit/IOService.h"
#include "IOKit/IOUserClient.h"

namespace {
constexpr uint32_t kRecordSize = 268;
constexpr uint32_t kDeviceBlockSize = 30'488;
constexpr uint32_t kClientBlockSize = 540'656;
constexpr uint32_t kStateChangeSize = 36;
} // namespace

class UserTestNub : public IOService
{
    OSDeclareDefaultStructors(UserTestNub);
};
OSDefineMetaClassAndStructors(UserTestNub, IOService);

class UserTestDevice : public IOService
{
    OSDeclareDefaultStructors(UserTestDevice);

public:
    bool start(IOService* provider) override
    {
        if (!IOService::start(provider)) {
            return false;
        }
        m_block = IOBufferMemoryDescriptor::withOptions(kIODirectionInOut, kDeviceBlockSize, 4096);
        if (m_block == nullptr) {
            return false;
        }
        setProperty("deviceUID", "USB-TEST-1");
        OSDictionary* mixer = OSDictionary::withCapacity(2);
        OSNumber* mode = OSNumber::withNumber(3, 32);
        OSNumber* knob = OSNumber::withNumber(0xFFFF, 16);
        mixer->setObject("MixerMode", mode);
        mixer->setObject("MixerKnob", knob);
        setProperty("Mixer", mixer);
        mode->release();
        knob->release();
        mixer->release();
        OSArray* rates = OSArray::withCapacity(2);
        for (unsigned long long rate : {44100ULL, 48000ULL}) {
            OSNumber* n = OSNumber::withNumber(rate, 32);
            rates->setObject(n);
            n->release();
        }
        setProperty("Rates", rates);
        rates->release();
        unsigned char registers[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        setProperty("Registers", registers, sizeof registers);
        setProperty("Enabled", true);
        count("ClientsClosed", 0);
        count("ClientsDied", 0);
        registerService();
        return true;
    }

    IOReturn newUserClient(task_t task, void* securityID, UInt32 type, OSDictionary*,
                           IOUserClient** handler) override;
    IOReturn newUserClient(task_t task, void* securityID, UInt32 type, IOUserClient** handler) override
    {
        return newUserClient(task, securityID, type, nullptr, handler);
    }

    IOBufferMemoryDescriptor* block() const { return m_block; }

    // Adds `by` to a counting property.
    void count(const char* key, int by)
    {
        std::atomic<int>& counter = std::strcmp(key, "ClientsDied") == 0 ? m_died : m_closed;
        setProperty(key, static_cast<unsigned long long>(counter.fetch_add(by) + by), 32);
    }

protected:
    void free() override
    {
        OSSafeReleaseNULL(m_block);
        IOService::free();
    }

private:
    IOBufferMemoryDescriptor* m_block = nullptr;
    std::atomic<int> m_closed{0};
    std::atomic<int> m_died{0};
};
OSDefineMetaClassAndStructors(UserTestDevice, IOService);

// The same device under the class name the user side matches kernel device services by.
class VKKernelDevice : public UserTestDevice
{
    OSDeclareDefaultStructors(VKKernelDevice);
};
OSDefineMetaClassAndStructors(VKKernelDevice, UserTestDevice);

class UserTestClient : public IOUserClient
{
    OSDeclareDefaultStructors(UserTestClient);

public:
    enum Selector : uint32_t
    {
        kRecord,      // 268 bytes in and out: the bytes inverted
        kAdd,         // 2 scalars in, 1 out: the sum
        kSleep,       // 1 scalar in: sleeps that many milliseconds
        kMessage,     // 1 scalar in (message type), any structure in (its argument): messageClients
        kStateChange, // 1 scalar in: "Counter" and "ChannelSettings" set, then a 36-byte property-change
                      // message
        kLog,         // 1 scalar in: writes that many kernel log lines ("test driver line N")
        kCount,
    };

    bool start(IOService* provider) override
    {
        m_device = OSDynamicCast(UserTestDevice, provider);
        if (m_device == nullptr || !IOUserClient::start(provider)) {
            return false;
        }
        m_device->retain();
        return true;
    }

    IOReturn clientClose() override
    {
        if (m_device != nullptr) {
            m_device->count("ClientsClosed", 1);
        }
        terminate();
        return kIOReturnSuccess;
    }

    IOReturn clientDied() override
    {
        if (m_device != nullptr) {
            m_device->count("ClientsDied", 1);
        }
        return IOUserClient::clientDied();
    }

    // Defined outside the class: a static in an inline function would pin the library.
    IOReturn externalMethod(uint32_t selector, IOExternalMethodArguments* arguments,
                            IOExternalMethodDispatch* dispatch, OSObject* target, void* reference) override;

    IOReturn clientMemoryForType(UInt32 type, IOOptionBits*, IOMemoryDescriptor** memory) override
    {
        *memory = nullptr;
        if (m_device == nullptr) {
            return kIOReturnNotAttached;
        }
        if (type == 1) {
            *memory = m_device->block();
        } else if (type == 5) {
            if (m_own == nullptr) {
                m_own = IOBufferMemoryDescriptor::withOptions(kIODirectionInOut, kClientBlockSize, 4096);
            }
            *memory = m_own;
        }
        if (*memory == nullptr) {
            return kIOReturnNoMemory;
        }
        (*memory)->retain();
        return kIOReturnSuccess;
    }

protected:
    void free() override
    {
        OSSafeReleaseNULL(m_own);
        OSSafeReleaseNULL(m_device);
        IOUserClient::free();
    }

private:
    static IOReturn record(OSObject*, void*, IOExternalMethodArguments* arguments)
    {
        const auto* in = static_cast<const unsigned char*>(arguments->structureInput);
        auto* out = static_cast<unsigned char*>(arguments->structureOutput);
        for (uint32_t i = 0; i < kRecordSize; ++i) {
            out[i] = static_cast<unsigned char>(~in[i]);
        }
        return kIOReturnSuccess;
    }

    static IOReturn add(OSObject*, void*, IOExternalMethodArguments* arguments)
    {
        arguments->scalarOutput[0] = arguments->scalarInput[0] + arguments->scalarInput[1];
        return kIOReturnSuccess;
    }

    static IOReturn sleep(OSObject*, void*, IOExternalMethodArguments* arguments)
    {
        IOSleep(static_cast<unsigned>(arguments->scalarInput[0]));
        return kIOReturnSuccess;
    }

    static IOReturn message(OSObject* target, void*, IOExternalMethodArguments* arguments)
    {
        auto* self = OSDynamicCast(UserTestClient, target);
        const auto type = static_cast<UInt32>(arguments->scalarInput[0]);
        if (arguments->structureInputSize == 0) {
            return self->m_device->messageClients(type);
        }
        return self->m_device->messageClients(type, const_cast<void*>(arguments->structureInput),
                                              arguments->structureInputSize);
    }

    static IOReturn stateChange(OSObject* target, void*, IOExternalMethodArguments* arguments)
    {
        auto* self = OSDynamicCast(UserTestClient, target);
        const auto value = static_cast<uint32_t>(arguments->scalarInput[0]);
        self->m_device->setProperty("Counter", value, 32);
        OSDictionary* settings = OSDictionary::withCapacity(1);
        OSNumber* rate = OSNumber::withNumber(value, 32);
        settings->setObject("Rate", rate);
        self->m_device->setProperty("ChannelSettings", settings);
        rate->release();
        settings->release();
        uint32_t record[kStateChangeSize / 4] = {kStateChangeSize, 1, value};
        return self->m_device->messageClients(kIOMessageServicePropertyChange, record, sizeof record);
    }

    static IOReturn log(OSObject*, void*, IOExternalMethodArguments* arguments)
    {
        for (uint64_t i = 0; i < arguments->scalarInput[0]; ++i) {
            IOLog("test driver line %llu\n", static_cast<unsigned long long>(i));
        }
        return kIOReturnSuccess;
    }

    UserTestDevice* m_device = nullptr; // retained from start
    IOBufferMemoryDescriptor* m_own = nullptr;
};
OSDefineMetaClassAndStructors(UserTestClient, IOUserClient);

IOReturn UserTestClient::externalMethod(uint32_t selector, IOExternalMethodArguments* arguments,
                                        IOExternalMethodDispatch* dispatch, OSObject* target, void* reference)
{
    static IOExternalMethodDispatch table[kCount] = {
        {&UserTestClient::record, 0, kRecordSize, 0, kRecordSize},
        {&UserTestClient::add, 2, 0, 1, 0},
        {&UserTestClient::sleep, 1, 0, 0, 0},
        {&UserTestClient::message, 1, kIOUCVariableStructureSize, 0, 0},
        {&UserTestClient::stateChange, 1, 0, 0, 0},
        {&UserTestClient::log, 1, 0, 0, 0},
    };
    if (selector < kCount) {
        dispatch = &table[selector];
        target = this;
    }
    return IOUserClient::externalMethod(selector, arguments, dispatch, target, reference);
}

IOReturn UserTestDevice::newUserClient(task_t task, void* securityID, UInt32 type, OSDictionary*,
                                       IOUserClient** handler)
{
    *handler = nullptr;
    auto* client = new UserTestClient;
    if (!client->initWithTask(task, securityID, type) || !client->attach(this) || !client->start(this)) {
        client->detach(this);
        client->release();
        return kIOReturnBadArgument;
    }
    *handler = client;
    return kIOReturnSuccess;
}
