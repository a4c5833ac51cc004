// The user clients of the kernel device through the kernel host's connections, as a process sees
// them: which connection types open, the memory types and their sizes, the AudioServer client's
// methods, the control client's size rule, what a closing or dying client leaves behind.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "ASClient.h"
#include "AudioSM.h"
#include "AudioUserClient.h"
#include "CtrlUserClient.h"
#include "DriverData.h"
#include "DriverFixture.h"
#include "DriverSM.h"
#include "VKDevice.h"
#include "VKKernelDevice.h"

using driver_test::DriverFixture;
using driver_test::kMillisecond;
using kernel_host::ConnectionID;
using kernel_host::MappedMemory;
using kernel_host::MethodCall;

namespace {

// State-change codes and client identifiers a listener of the device received.
struct StateChanges
{
    std::mutex mutex;
    std::vector<std::pair<uint32_t, uint64_t>> changes; // code, client
    std::vector<uint32_t> parameters;

    static IOReturn handler(void* target, void*, UInt32 type, IOService*, void* argument, vm_size_t size)
    {
        auto* self = static_cast<StateChanges*>(target);
        if (type == kVKStateChangeMessage && argument != nullptr && size == kVKStateChangeSize) {
            const auto* record = static_cast<const uint8_t*>(argument);
            uint32_t code = 0;
            uint32_t parameter = 0;
            uint64_t client = 0;
            std::memcpy(&code, record + 4, 4);
            std::memcpy(&parameter, record + 8, 4);
            std::memcpy(&client, record + 12, 8);
            std::lock_guard lock(self->mutex);
            self->changes.emplace_back(code, client);
            self->parameters.push_back(parameter);
        }
        return kIOReturnSuccess;
    }
    std::vector<std::pair<uint32_t, uint64_t>> take()
    {
        std::lock_guard lock(mutex);
        parameters.clear();
        return std::exchange(changes, {});
    }
};

class UserClientTest : public testing::Test
{
protected:
    void SetUp() override
    {
        service = driver.plug("class-audio");
        ASSERT_NE(service, nullptr);
        device = service->device();
        task = driver.host().createTask(4242, ::getuid(), "client");
    }

    void TearDown() override
    {
        for (ConnectionID id : connections) {
            driver.runInKernel([&] { driver.host().closeConnection(id); });
        }
        driver.host().releaseTask(task);
        driver.unplug();
        EXPECT_EQ(driver.liveInstances(), baseline);
    }

    IOReturn configure()
    {
        IOReturn status = kIOReturnError;
        driver.runInKernel([&] {
            VKDispatchLock lock(*service);
            status = service->reqConfigureDevice("test");
        });
        return status;
    }

    IOReturn open(UInt32 type, ConnectionID& id)
    {
        IOReturn status = kIOReturnError;
        id = 0;
        driver.runInKernel([&] { status = driver.host().openConnection(service, task, type, &id); });
        if (status == kIOReturnSuccess) {
            connections.push_back(id);
        }
        return status;
    }

    ConnectionID open(UInt32 type)
    {
        ConnectionID id = 0;
        EXPECT_EQ(open(type, id), kIOReturnSuccess) << "type " << type;
        return id;
    }

    // Ends a connection as the process would: closed, or gone without closing.
    void end(ConnectionID id, bool died)
    {
        std::erase(connections, id);
        driver.runInKernel([&] { died ? driver.host().connectionDied(id) : driver.host().closeConnection(id); });
    }

    IOReturn call(ConnectionID id, uint32_t selector, MethodCall& call)
    {
        IOReturn status = kIOReturnError;
        driver.runInKernel([&] { status = driver.host().callMethod(id, selector, call); });
        return status;
    }

    IOReturn scalar(ConnectionID id, uint32_t selector, std::vector<uint64_t> in, uint32_t outCount,
                    std::vector<uint64_t>* out = nullptr)
    {
        MethodCall c;
        c.scalarInput = std::move(in);
        c.scalarOutputCapacity = outCount;
        const IOReturn status = call(id, selector, c);
        if (out != nullptr) {
            *out = c.scalarOutput;
        }
        return status;
    }

    IOReturn record(ConnectionID id, uint32_t selector, uint32_t inSize, uint32_t outSize)
    {
        MethodCall c;
        c.structureInput.assign(inSize, 0);
        c.structureOutputCapacity = outSize;
        return call(id, selector, c);
    }

    IOReturn map(ConnectionID id, UInt32 type, MappedMemory& memory)
    {
        IOReturn status = kIOReturnError;
        driver.runInKernel([&] { status = driver.host().mapMemory(id, type, &memory); });
        return status;
    }

    template <class Client> Client* client(ConnectionID id)
    {
        IOUserClient* c = driver.host().copyClient(id);
        auto* typed = OSDynamicCast(Client, c);
        if (c != nullptr) {
            c->release(); // the connection keeps it
        }
        return typed;
    }

    DriverFixture driver;
    driver_test::LiveInstances baseline = driver.liveInstances();
    VKKernelDevice* service = nullptr;
    VKDevice* device = nullptr;
    task_t task = 0;
    std::vector<ConnectionID> connections;
};

TEST_F(UserClientTest, ConnectionTypesOpenByTheRulesOfTheMode)
{
    struct Case
    {
        UInt32 type;
        bool updating;
        IOReturn status;
        const char* className;
    };
    const Case cases[] = {
        {kVKConnectionAudio, false, kIOReturnSuccess, "AudioUserClient"},
        {kVKConnectionMidi, false, kIOReturnSuccess, "MidiUserClient"},
        {kVKConnectionControl, false, kIOReturnSuccess, "CtrlUserClient"},
        {kVKConnectionAudioServer, false, kIOReturnSuccess, "ASClient"},
        {4, false, kIOReturnBadArgument, nullptr},
        {0xFFFFFFFF, false, kIOReturnBadArgument, nullptr},
        {kVKConnectionAudio, true, kIOReturnBadArgument, nullptr},
        {kVKConnectionMidi, true, kIOReturnBadArgument, nullptr},
        {kVKConnectionControl, true, kIOReturnSuccess, "CtrlUserClient"},
        {kVKConnectionAudioServer, true, kIOReturnSuccess, "ASClient"},
    };
    for (const Case& c : cases) {
        device->mFirmwareUpdateMode = c.updating ? 1 : 0;
        ConnectionID id = 0;
        EXPECT_EQ(open(c.type, id), c.status) << "type " << c.type << (c.updating ? " updating" : "");
        if (c.className != nullptr) {
            IOUserClient* made = driver.host().copyClient(id);
            ASSERT_NE(made, nullptr);
            EXPECT_STREQ(made->getMetaClass()->getClassName(), c.className);
            EXPECT_EQ(made->getProvider(), service);
            made->release();
            end(id, false);
        }
    }
    device->mFirmwareUpdateMode = 0;
    // A closed client's last reference may still be held by a message on its way to it.
    driver.waitQuiet();
    EXPECT_EQ(driver.liveInstances().userClients, 0u) << "refused and closed clients are gone";
}

TEST_F(UserClientTest, MemoryTypesMapTheirBlocksAtTheirSizes)
{
    struct Case
    {
        UInt32 connection;
        UInt32 type;
        IOReturn status;
        uint64_t length;
    };
    const Case cases[] = {
        {kVKConnectionAudio, kVKMemoryDriverSM, kIOReturnSuccess, kVKDriverSMSize},
        {kVKConnectionAudio, kVKMemoryInputRing, kIOReturnSuccess, kVKAudioSMSize},
        {kVKConnectionAudio, kVKMemoryOutputRing, kIOReturnSuccess, kVKAudioSMSize},
        {kVKConnectionAudio, kVKMemoryAsyncTransport, kIOReturnSuccess, kVKAsyncBlockSize},
        // The device has no vendor asynchronous port.
        {kVKConnectionAudio, kVKMemoryVendorAsync, kIOReturnNoMemory, 0},
        {kVKConnectionAudio, 0, kIOReturnNoMemory, 0},
        {kVKConnectionAudio, 2, kIOReturnNoMemory, 0},
        {kVKConnectionAudio, kVKMemoryMidi, kIOReturnNoMemory, 0},
        {kVKConnectionAudio, 8, kIOReturnNoMemory, 0},
        {kVKConnectionAudioServer, kVKMemoryDriverSM, kIOReturnSuccess, kVKDriverSMSize},
        {kVKConnectionAudioServer, kVKMemoryInputRing, kIOReturnSuccess, kVKAudioSMSize},
        {kVKConnectionAudioServer, kVKMemoryOutputRing, kIOReturnSuccess, kVKAudioSMSize},
        {kVKConnectionAudioServer, kVKMemoryVendorAsync, kIOReturnNoMemory, 0},
        {kVKConnectionAudioServer, kVKMemoryAsyncTransport, kIOReturnNoMemory, 0},
        {kVKConnectionAudioServer, kVKMemoryMidi, kIOReturnNoMemory, 0},
        {kVKConnectionControl, kVKMemoryDriverSM, kIOReturnUnsupported, 0},
    };
    for (const Case& c : cases) {
        const ConnectionID id = open(c.connection);
        MappedMemory memory;
        EXPECT_EQ(map(id, c.type, memory), c.status) << "connection " << c.connection << " type " << c.type;
        EXPECT_EQ(memory.length, c.length) << "connection " << c.connection << " type " << c.type;
        end(id, false);
    }
}

// The input ring goes to every process for reading only: the descriptor a process gets opens it
// read-only, so that not even a mapping of its own makes it writable. The other blocks a process
// writes.
TEST_F(UserClientTest, TheInputRingIsHandedOutForReadingOnly)
{
    for (UInt32 type : {kVKConnectionAudio, kVKConnectionAudioServer}) {
        const ConnectionID id = open(type);
        for (auto [memoryType, readOnly] : {std::pair{kVKMemoryInputRing, true}, std::pair{kVKMemoryDriverSM, false},
                                            std::pair{kVKMemoryOutputRing, false}}) {
            MappedMemory memory;
            ASSERT_EQ(map(id, memoryType, memory), kIOReturnSuccess) << memoryType;
            EXPECT_EQ(memory.readOnly, readOnly) << memoryType;
            ASSERT_GE(memory.fileDescriptor, 0);
            const long page = ::sysconf(_SC_PAGESIZE);
            const off_t start = static_cast<off_t>(memory.fileOffset / page * page);
            const size_t span = static_cast<size_t>(memory.fileOffset - start + memory.length);
            void* writable = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_SHARED, memory.fileDescriptor, start);
            EXPECT_EQ(writable == MAP_FAILED, readOnly) << memoryType;
            if (writable != MAP_FAILED) {
                ::munmap(writable, span);
            } else {
                EXPECT_EQ(errno, EACCES);
            }
            void* readable = ::mmap(nullptr, span, PROT_READ, MAP_SHARED, memory.fileDescriptor, start);
            ASSERT_NE(readable, MAP_FAILED) << memoryType;
            EXPECT_EQ(::mprotect(readable, span, PROT_READ | PROT_WRITE) == 0, !readOnly) << memoryType;
            ::munmap(readable, span);
        }
    }
}

TEST_F(UserClientTest, DeviceBlocksAreTheDevicesAndClientBlocksAreEachClientsOwn)
{
    const ConnectionID first = open(kVKConnectionAudio);
    const ConnectionID second = open(kVKConnectionAudioServer);
    MappedMemory a;
    MappedMemory b;
    ASSERT_EQ(map(first, kVKMemoryDriverSM, a), kIOReturnSuccess);
    ASSERT_EQ(map(second, kVKMemoryDriverSM, b), kIOReturnSuccess);
    EXPECT_EQ(a.address == device->mpDriverSM ? 0 : std::memcmp(a.address, device->mpDriverSM, kVKDriverSMSize), 0);
    static_cast<uint8_t*>(a.address)[100] = 0x5A;
    EXPECT_EQ(static_cast<uint8_t*>(b.address)[100], 0x5A) << "one device block";

    // Type 7 asked for twice: the same block.
    MappedMemory t1;
    MappedMemory t2;
    ASSERT_EQ(map(first, kVKMemoryAsyncTransport, t1), kIOReturnSuccess);
    static_cast<uint8_t*>(t1.address)[33'000] = 0xA5;
    ASSERT_EQ(map(first, kVKMemoryAsyncTransport, t2), kIOReturnSuccess);
    EXPECT_EQ(static_cast<uint8_t*>(t2.address)[33'000], 0xA5);

    // Output rings: one per client, kept across mappings.
    MappedMemory o1;
    MappedMemory o2;
    ASSERT_EQ(map(first, kVKMemoryOutputRing, o1), kIOReturnSuccess);
    ASSERT_EQ(map(second, kVKMemoryOutputRing, o2), kIOReturnSuccess);
    static_cast<uint8_t*>(o1.address)[8] = 1;
    EXPECT_EQ(static_cast<uint8_t*>(o2.address)[8], 0);
    EXPECT_NE(client<AudioUserClient>(first)->outputRing(), nullptr);
    EXPECT_NE(client<AudioUserClient>(first)->outputRing(),
              static_cast<AudioSM*>(static_cast<void*>(client<ASClient>(second)->outputRing())));
}

TEST_F(UserClientTest, AudioServerClientStartsAndStopsTheHardware)
{
    ASSERT_EQ(configure(), kIOReturnSuccess);
    StateChanges changes;
    IONotifier* notifier = service->registerInterest(gIOGeneralInterest, &StateChanges::handler, &changes);
    const ConnectionID id = open(kVKConnectionAudioServer);
    ASClient* as = client<ASClient>(id);
    ASSERT_NE(as, nullptr);
    std::vector<uint64_t> out;

    EXPECT_EQ(scalar(id, ASClient::kStartHardware, {512}, 1), kIOReturnNoMemory) << "no output ring yet";
    MappedMemory ring;
    ASSERT_EQ(map(id, kVKMemoryOutputRing, ring), kIOReturnSuccess);
    ASSERT_EQ(scalar(id, ASClient::kStartHardware, {512}, 1, &out), kIOReturnSuccess);
    EXPECT_EQ(out, std::vector<uint64_t>{0}) << "the first slot";
    EXPECT_TRUE(device->mpDriverData->isClientAttached(as));
    EXPECT_EQ(scalar(id, ASClient::kStartHardware, {512}, 1), kIOReturnBusy);
    // The ring is laid out for the stream by the kernel.
    const auto* sm = static_cast<const AudioSM*>(ring.address);
    EXPECT_EQ(sm->mChannels, device->mpDriverData->outputChannels());
    EXPECT_EQ(sm->mFrequency, device->mpDriverData->frequency());

    EXPECT_EQ(scalar(id, ASClient::kStopHardware, {}, 0), kIOReturnSuccess);
    EXPECT_FALSE(device->mpDriverData->isClientAttached(as));
    EXPECT_EQ(scalar(id, ASClient::kStopHardware, {}, 0), kIOReturnSuccess) << "not attached: still 0";
    driver.runFor(10 * kMillisecond);
    const uint64_t clientID = as->clientID();
    const std::vector<std::pair<uint32_t, uint64_t>> expected = {{STC_ClientAttached, clientID},
                                                                   {STC_ClientDetached, clientID}};
    EXPECT_EQ(changes.take(), expected);

    ASSERT_EQ(scalar(id, ASClient::kGetUserClassID, {0}, 1, &out), kIOReturnSuccess);
    EXPECT_EQ(out, std::vector<uint64_t>{clientID});
    EXPECT_NE(clientID, 0u);
    notifier->remove();
}

// Each client gets its identifier when it is made, from a counter: never its address, and a
// client made after another has gone (in its memory or not) never carries the other's identifier.
TEST_F(UserClientTest, EveryClientHasAnIdentifierOfItsOwnThatIsNotItsAddress)
{
    std::vector<uint64_t> given;
    for (int i = 0; i < 16; ++i) {
        const ConnectionID id = open(kVKConnectionAudioServer);
        ASClient* as = client<ASClient>(id);
        ASSERT_NE(as, nullptr);
        std::vector<uint64_t> out;
        ASSERT_EQ(scalar(id, ASClient::kGetUserClassID, {0}, 1, &out), kIOReturnSuccess);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0], as->clientID());
        EXPECT_NE(out[0], reinterpret_cast<uintptr_t>(as));
        EXPECT_TRUE(given.empty() || out[0] > given.back()) << out[0] << " after " << given.back();
        given.push_back(out[0]);
        end(id, i % 2 == 0);
    }
}

TEST_F(UserClientTest, AudioServerControlValuesAndSizesAreChecked)
{
    const ConnectionID id = open(kVKConnectionAudioServer);
    std::vector<uint64_t> out;
    struct Case
    {
        uint32_t selector;
        std::vector<uint64_t> in;
        uint32_t outCount;
        IOReturn status;
    };
    const Case cases[] = {
        {ASClient::kGetControlValue, {0}, 1, kIOReturnSuccess},
        {ASClient::kGetControlValue, {1}, 1, kIOReturnSuccess},
        {ASClient::kGetControlValue, {2}, 1, kIOReturnBadArgument},
        {ASClient::kGetControlValue, {1ULL << 32}, 1, kIOReturnBadArgument},
        {ASClient::kSetControlValue, {1, 77}, 0, kIOReturnSuccess},
        {ASClient::kSetControlValue, {2, 77}, 0, kIOReturnBadArgument},
        // Counts that do not match the method's row never reach it.
        {ASClient::kGetControlValue, {}, 1, kIOReturnBadArgument},
        {ASClient::kStartHardware, {512, 1}, 1, kIOReturnBadArgument},
        {ASClient::kOpen, {1}, 0, kIOReturnBadArgument},
        {ASClient::kSelectorCount, {}, 0, kIOReturnUnsupported},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(scalar(id, c.selector, c.in, c.outCount, &out), c.status) << "selector " << c.selector;
    }
    EXPECT_EQ(scalar(id, ASClient::kGetControlValue, {1}, 1, &out), kIOReturnSuccess);
    EXPECT_EQ(out, std::vector<uint64_t>{0});
    // The request record is 268 bytes each way.
    EXPECT_EQ(record(id, ASClient::kCallDriver, 260, 268), kIOReturnBadArgument);
    EXPECT_EQ(record(id, ASClient::kCallDriver, 268, 260), kIOReturnBadArgument);
    const ConnectionID audio = open(kVKConnectionAudio);
    EXPECT_EQ(record(audio, AudioUserClient::kCallDriver, 267, 268), kIOReturnBadArgument);
    EXPECT_EQ(scalar(audio, AudioUserClient::kCallDriverVendorWriteAsync, {1, 2, 3}, 0), kIOReturnSuccess);
    EXPECT_EQ(scalar(audio, AudioUserClient::kCallDriverVendorReadAsync, {1, 2, 3}, 0), kIOReturnSuccess);
    EXPECT_EQ(scalar(audio, AudioUserClient::kSelectorCount, {}, 0), kIOReturnUnsupported);
}

TEST_F(UserClientTest, OneAudioServerClientHoldsTheDeviceOpen)
{
    const ConnectionID first = open(kVKConnectionAudioServer);
    const ConnectionID second = open(kVKConnectionAudioServer);
    EXPECT_EQ(scalar(first, ASClient::kClose, {}, 0), kIOReturnNotOpen);
    EXPECT_EQ(scalar(first, ASClient::kOpen, {}, 0), kIOReturnSuccess);
    EXPECT_EQ(scalar(second, ASClient::kOpen, {}, 0), kIOReturnExclusiveAccess);
    EXPECT_EQ(scalar(second, ASClient::kClose, {}, 0), kIOReturnNotOpen);
    // The holder dies: the device is free for the next one.
    end(first, true);
    EXPECT_FALSE(service->isOpen());
    EXPECT_EQ(scalar(second, ASClient::kOpen, {}, 0), kIOReturnSuccess);
    EXPECT_EQ(scalar(second, ASClient::kClose, {}, 0), kIOReturnSuccess);
    EXPECT_FALSE(service->isOpen());
}

TEST_F(UserClientTest, EightClientsAttachAndANinthIsRefused)
{
    ASSERT_EQ(configure(), kIOReturnSuccess);
    std::vector<ConnectionID> ids;
    for (uint64_t i = 0; i < 9; ++i) {
        ids.push_back(open(kVKConnectionAudioServer));
        MappedMemory ring;
        ASSERT_EQ(map(ids.back(), kVKMemoryOutputRing, ring), kIOReturnSuccess);
        std::vector<uint64_t> out;
        const IOReturn status = scalar(ids.back(), ASClient::kStartHardware, {256}, 1, &out);
        if (i < 8) {
            EXPECT_EQ(status, kIOReturnSuccess);
            EXPECT_EQ(out, std::vector<uint64_t>{i});
        } else {
            EXPECT_EQ(status, kIOReturnNotAttached);
        }
    }
    EXPECT_EQ(device->mpDriverData->countClients(), 8u);
    EXPECT_EQ(device->mpDriverSM->mAttachedClients, 8u);
    // A closed client's slot goes to the next one.
    end(ids[3], false);
    EXPECT_EQ(device->mpDriverData->countClients(), 7u);
    std::vector<uint64_t> out;
    EXPECT_EQ(scalar(ids[8], ASClient::kStartHardware, {256}, 1, &out), kIOReturnSuccess);
    EXPECT_EQ(out, std::vector<uint64_t>{3});
    // A dead one's too.
    end(ids[5], true);
    EXPECT_EQ(device->mpDriverData->countClients(), 7u);
}

TEST_F(UserClientTest, StartHardwareBeforeAConfigurationAttachesNothing)
{
    const ConnectionID id = open(kVKConnectionAudioServer);
    MappedMemory ring;
    ASSERT_EQ(map(id, kVKMemoryOutputRing, ring), kIOReturnSuccess);
    std::vector<uint64_t> out;
    EXPECT_EQ(scalar(id, ASClient::kStartHardware, {512}, 1, &out), kIOReturnNotAttached);
    EXPECT_EQ(device->mpDriverData->countClients(), 0u);
}

TEST_F(UserClientTest, ControlClientTakesOnly260ByteRecords)
{
    const ConnectionID id = open(kVKConnectionControl);
    struct Case
    {
        uint32_t selector;
        uint32_t inSize;
        uint32_t outSize;
        IOReturn status;
    };
    const Case cases[] = {
        {0, 268, 268, kIOReturnNotPrivileged},
        {0, 260, 268, kIOReturnNotPrivileged},
        {0, 268, 260, kIOReturnNotPrivileged},
        {0, 0, 260, kIOReturnNotPrivileged},
        {0, 260, 0, kIOReturnNotPrivileged},
        // The right sizes reach the device command set: command 0 does nothing and succeeds.
        {0, 260, 260, kIOReturnSuccess},
        {1, 260, 260, kIOReturnUnsupported},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(record(id, c.selector, c.inSize, c.outSize), c.status)
            << "selector " << c.selector << " " << c.inSize << "/" << c.outSize;
    }
    // A command's reply comes back in the record: 22, the driver version, in word 1.
    MethodCall version;
    version.structureInput.assign(260, 0);
    version.structureInput[0] = 22;
    version.structureOutputCapacity = 260;
    ASSERT_EQ(call(id, 0, version), kIOReturnSuccess);
    ASSERT_EQ(version.structureOutput.size(), 260u);
    uint32_t word1 = 0;
    std::memcpy(&word1, version.structureOutput.data() + 4, sizeof word1);
    EXPECT_EQ(word1, 0x03030B00u);
    // The control client has no caller: the exclusive-use commands are not open to it.
    MethodCall exclusive;
    exclusive.structureInput.assign(260, 0);
    exclusive.structureInput[0] = 29;
    exclusive.structureOutputCapacity = 260;
    EXPECT_EQ(call(id, 0, exclusive), kIOReturnNotOpen);
    // In firmware-update mode the command still goes to the device, which refuses what needs it
    // out of that mode (16, the clock source).
    device->mFirmwareUpdateMode = 1;
    EXPECT_EQ(record(id, 0, 260, 260), kIOReturnSuccess);
    MethodCall clock;
    clock.structureInput.assign(260, 0);
    clock.structureInput[0] = 16;
    clock.structureOutputCapacity = 260;
    EXPECT_EQ(call(id, 0, clock), kIOReturnBadArgument);
    device->mFirmwareUpdateMode = 0;
}

TEST_F(UserClientTest, AClientThatDiesHoldingHogModeReleasesIt)
{
    StateChanges changes;
    IONotifier* notifier = service->registerInterest(gIOGeneralInterest, &StateChanges::handler, &changes);
    const ConnectionID holder = open(kVKConnectionAudio);
    const ConnectionID other = open(kVKConnectionAudio);
    client<AudioUserClient>(holder)->setProcessID(777);
    client<AudioUserClient>(other)->setProcessID(778);
    device->mHogID = 777;

    end(other, true);
    driver.runFor(10 * kMillisecond);
    EXPECT_EQ(device->mHogID, 777) << "another process's death keeps it";
    EXPECT_TRUE(changes.take().empty());

    end(holder, true);
    driver.runFor(10 * kMillisecond);
    EXPECT_EQ(device->mHogID, -1);
    const std::vector<std::pair<uint32_t, uint64_t>> expected = {{STC_HOGMODECHANGED, 0}};
    EXPECT_EQ(changes.take(), expected);
    notifier->remove();
}

// The shared block's 64-bit ids sit on 4-byte boundaries.
uint64_t loadID(const DriverSM* sm, size_t offset)
{
    uint64_t value = 0;
    std::memcpy(&value, reinterpret_cast<const uint8_t*>(sm) + offset, sizeof value);
    return value;
}
void storeID(DriverSM* sm, size_t offset, uint64_t value)
{
    std::memcpy(reinterpret_cast<uint8_t*>(sm) + offset, &value, sizeof value);
}
constexpr size_t kInputsExclusive = offsetof(DriverSM, mInputsExclusiveClient);
constexpr size_t kOutputsExclusive = offsetof(DriverSM, mOutputsExclusiveClient);
constexpr size_t kPrivateData = offsetof(DriverSM, mPrivateDataClient);

// Exclusive and private-data ids name a client; whatever its type, they go when it closes or dies.
TEST_F(UserClientTest, EveryClientTypeClearsTheIdsThatNameItWhenItEnds)
{
    for (UInt32 type : {kVKConnectionAudio, kVKConnectionControl, kVKConnectionAudioServer}) {
        for (bool died : {false, true}) {
            const ConnectionID id = open(type);
            const ConnectionID bystander = open(kVKConnectionAudio);
            IOUserClient* c = driver.host().copyClient(id);
            const uint64_t mine = VKClientIdentifier(c);
            c->release();
            const uint64_t theirs = client<AudioUserClient>(bystander)->clientID();
            DriverSM* sm = device->mpDriverSM;
            storeID(sm, kInputsExclusive, mine);
            storeID(sm, kOutputsExclusive, theirs);
            storeID(sm, kPrivateData, mine);
            end(id, died);
            EXPECT_EQ(loadID(sm, kInputsExclusive), 0u) << "type " << type << " died " << died;
            EXPECT_EQ(loadID(sm, kOutputsExclusive), theirs) << "another client's id stays";
            EXPECT_EQ(loadID(sm, kPrivateData), 0u);
            end(bystander, false);
            storeID(sm, kOutputsExclusive, 0);
        }
    }
}

TEST_F(UserClientTest, ClientsOfAnUnpluggedDeviceAreToldAndTheirMappingsStayValid)
{
    ASSERT_EQ(configure(), kIOReturnSuccess);
    const ConnectionID as = open(kVKConnectionAudioServer);
    const ConnectionID audio = open(kVKConnectionAudio);
    MappedMemory ring;
    MappedMemory input;
    MappedMemory shared;
    ASSERT_EQ(map(as, kVKMemoryOutputRing, ring), kIOReturnSuccess);
    ASSERT_EQ(map(audio, kVKMemoryInputRing, input), kIOReturnSuccess);
    ASSERT_EQ(map(audio, kVKMemoryDriverSM, shared), kIOReturnSuccess);
    ASSERT_EQ(scalar(as, ASClient::kOpen, {}, 0), kIOReturnSuccess);
    ASSERT_EQ(scalar(as, ASClient::kStartHardware, {512}, 1), kIOReturnSuccess);

    driver.unplug(); // the open client does not hold the device's end up
    service = nullptr;
    device = nullptr;
    // Every block the process mapped is still there to read, and to write where it is writable
    // (all but the input ring).
    static_cast<uint8_t*>(ring.address)[kVKAudioSMSize - 1] = 1;
    [[maybe_unused]] const uint8_t last = static_cast<volatile uint8_t*>(input.address)[kVKAudioSMSize - 1];
    static_cast<uint8_t*>(shared.address)[kVKDriverSMSize - 1] = 3;
    EXPECT_EQ(static_cast<uint8_t*>(ring.address)[kVKAudioSMSize - 1], 1);
    // Requests find no device.
    EXPECT_EQ(scalar(as, ASClient::kStartHardware, {512}, 1), kIOReturnNotAttached);
    EXPECT_EQ(record(audio, AudioUserClient::kCallDriver, 268, 268), kIOReturnNotAttached);
}

// A client killed while the device streams: its slot is free at once, and the client still
// playing loses no frame of its signal (read back through the device's loopback).
TEST_F(UserClientTest, AClientKilledMidStreamFreesItsSlotAndTheOthersLoseNoFrame)
{
    constexpr uint32_t kRate = 48000;
    constexpr uint32_t kChannels = 2;
    QzChannelSettings& settings = *device->getCurrentSettings();
    settings.iFrequency = kRate;
    settings.iInChannels = settings.iOutChannels = kChannels;
    settings.iInResolution = settings.iOutResolution = 24;
    ASSERT_EQ(configure(), kIOReturnSuccess);
    driver.runInKernel([&] {
        VKDispatchLock lock(*service);
        device->startStreaming();
    });
    ASSERT_EQ(device->streamingStarted(), 1);

    struct Player
    {
        ConnectionID id = 0;
        AudioSM* ring = nullptr;
    };
    Player players[3];
    for (Player& p : players) {
        p.id = open(kVKConnectionAudioServer);
        MappedMemory ring;
        ASSERT_EQ(map(p.id, kVKMemoryOutputRing, ring), kIOReturnSuccess);
        p.ring = static_cast<AudioSM*>(ring.address);
        ASSERT_EQ(scalar(p.id, ASClient::kStartHardware, {512}, 1), kIOReturnSuccess);
    }
    driver.runFor(5 * kMillisecond);
    // Each writes from the position the kernel mixes next: 50 ms of silence, then (the first
    // one only) 50 ms of signal, then silence, half a second in all.
    const uint32_t frames = kRate / 2;
    std::vector<int32_t> signal(size_t{kRate / 20} * kChannels);
    for (size_t i = 0; i < signal.size(); ++i) {
        signal[i] = static_cast<int32_t>((i * 2654435761u) & 0xFFFFFF) - (1 << 23);
    }
    for (size_t p = 0; p < 3; ++p) {
        AudioSM& ring = *players[p].ring;
        ASSERT_EQ(ring.mState, AudioSM::kStateRunning);
        std::vector<int32_t> samples(size_t{frames} * kChannels, 0);
        if (p == 0) {
            std::copy(signal.begin(), signal.end(), samples.begin() + size_t{kRate / 20} * kChannels);
        }
        const uint64_t target = std::max<uint64_t>(ring.mAttachOutputPos, device->mIsoc.outputSamplePos);
        ring.writeFrames(samples.data(), frames, target - ring.getFramePos(), nullptr, nullptr);
    }
    driver.runFor(75 * kMillisecond); // into the signal
    end(players[1].id, true);
    EXPECT_EQ(device->mpDriverData->countClients(), 2u) << "the dead client's slot is free at once";
    driver.runFor(200 * kMillisecond);

    const AudioSM& input = *static_cast<const AudioSM*>(device->mcAudioSM_In.address());
    const uint64_t written = std::min<uint64_t>(device->mpDriverData->inputRing().framePos(), input.mMaxFrames);
    std::vector<int32_t> arrived;
    for (uint64_t f = 0; f < written && arrived.empty(); ++f) {
        if (input.mSamples[f * kChannels] != 0 || input.mSamples[f * kChannels + 1] != 0) {
            const size_t available = static_cast<size_t>((written - f) * kChannels);
            arrived.assign(input.mSamples + f * kChannels,
                           input.mSamples + f * kChannels + std::min(signal.size(), available));
        }
    }
    std::vector<int32_t> expected(signal.size());
    std::transform(signal.begin(), signal.end(), expected.begin(),
                   [](int32_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v) << 8); });
    EXPECT_EQ(arrived, expected);
}

} // namespace
