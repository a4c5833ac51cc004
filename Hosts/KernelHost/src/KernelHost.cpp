#include "kernel_host/KernelHost.h"

#include <algorithm>

#include "IOKit/IOCatalogue.h"
#include "IOKit/IOLib.h"
#include "platform/KernelTasks.h"

namespace kernel_host {
namespace {
// The security token a driver is handed with the task: the task's name itself.
void* securityToken(task_t task)
{
    return reinterpret_cast<void*>(static_cast<uintptr_t>(task));
}
} // namespace

struct KernelHost::Connection
{
    ConnectionID id = 0;
    task_t task = 0;
    IOUserClient* client = nullptr;           // retained
    std::mutex callMutex;                     // one call at a time on this connection
    bool ended = false;                       // guarded by callMutex
    std::multimap<UInt32, IOMemoryMap*> maps; // guarded by callMutex; retained

    ~Connection()
    {
        for (auto& [type, map] : maps) {
            map->release();
        }
        if (client != nullptr) {
            client->release();
        }
    }
};

KernelHost::KernelHost() = default;

KernelHost::~KernelHost()
{
    std::vector<ConnectionID> ids;
    std::vector<IOService*> providers;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [id, connection] : m_connections) {
            ids.push_back(id);
        }
        providers.swap(m_providers);
    }
    for (const ConnectionID id : ids) {
        endConnection(id, true);
    }
    for (auto* provider : providers) {
        provider->terminate();
        provider->release();
    }
    waitQuiet();
    std::vector<std::string> kexts;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [identifier, kext] : m_kexts) {
            kexts.push_back(identifier);
        }
    }
    for (const auto& identifier : kexts) {
        unloadKext(identifier);
    }
    std::lock_guard lock(m_mutex);
    for (auto& [task, record] : m_tasks) {
        platform::iokit::destroyTask(task);
    }
}

bool KernelHost::addPersonalities(OSArray* personalities)
{
    return gIOCatalogue->addDrivers(personalities, true);
}

void KernelHost::publishProvider(IOService* provider)
{
    if (provider == nullptr) {
        return;
    }
    provider->retain();
    {
        std::lock_guard lock(m_mutex);
        m_providers.push_back(provider);
    }
    provider->attach(IOService::getServiceRoot());
    provider->registerService();
}

void KernelHost::removeProvider(IOService* provider)
{
    {
        std::lock_guard lock(m_mutex);
        const auto found = std::find(m_providers.begin(), m_providers.end(), provider);
        if (found == m_providers.end()) {
            return;
        }
        m_providers.erase(found);
    }
    provider->terminate();
    waitQuiet();
    provider->release();
}

IOReturn KernelHost::waitQuiet(uint64_t timeoutNanoseconds)
{
    return IOService::getServiceRoot()->waitQuiet(timeoutNanoseconds);
}

IOService* KernelHost::copyServiceNamed(const char* className)
{
    OSDictionary* matching = IOService::serviceMatching(className);
    OSIterator* services = IOService::getMatchingServices(matching);
    matching->release();
    auto* service = OSDynamicCast(IOService, services->getNextObject());
    if (service != nullptr) {
        service->retain();
    }
    services->release();
    return service;
}

task_t KernelHost::createTask(pid_t pid, uid_t uid, const std::string& name)
{
    task_t task = platform::iokit::createTask(pid, uid, name);
    std::lock_guard lock(m_mutex);
    m_tasks[task] = TaskRecord{};
    return task;
}

void KernelHost::releaseTask(task_t task)
{
    std::lock_guard lock(m_mutex);
    const auto found = m_tasks.find(task);
    if (found == m_tasks.end()) {
        return;
    }
    found->second.released = true;
    if (found->second.connections == 0) {
        m_tasks.erase(found);
        platform::iokit::destroyTask(task);
    }
}

IOReturn KernelHost::openConnection(IOService* service, task_t task, UInt32 type, ConnectionID* connectionID)
{
    if (service == nullptr || task == 0 || connectionID == nullptr) {
        return kIOReturnBadArgument;
    }
    *connectionID = 0;
    {
        std::lock_guard lock(m_mutex);
        const auto found = m_tasks.find(task);
        if (found == m_tasks.end() || found->second.released) {
            return kIOReturnBadArgument;
        }
        ++found->second.connections; // keeps the task while the client is being made
    }
    IOUserClient* client = nullptr;
    IOReturn status = service->isInactive()
                          ? kIOReturnNoDevice
                          : service->newUserClient(task, securityToken(task), type, nullptr, &client);
    if (status == kIOReturnSuccess && client == nullptr) {
        status = kIOReturnError;
    }
    if (status == kIOReturnSuccess) {
        // The client belongs to the service plane under its provider, so that terminating the
        // provider reaches it. A client the service's termination ended while it was being
        // made (or that can no longer be attached) is not handed out.
        const bool attached = client->getProvider() != nullptr || client->attach(service);
        if (!attached || client->isInactive()) {
            client->terminate();
            client->release();
            client = nullptr;
            status = kIOReturnNoDevice;
        }
    }
    std::lock_guard lock(m_mutex);
    if (status != kIOReturnSuccess) {
        --m_tasks[task].connections;
        return status;
    }
    auto connection = std::make_shared<Connection>();
    connection->id = m_nextConnection++;
    connection->task = task;
    connection->client = client; // newUserClient's reference
    m_connections[connection->id] = connection;
    *connectionID = connection->id;
    return kIOReturnSuccess;
}

std::shared_ptr<KernelHost::Connection> KernelHost::find(ConnectionID id) const
{
    std::lock_guard lock(m_mutex);
    const auto found = m_connections.find(id);
    return found == m_connections.end() ? nullptr : found->second;
}

IOReturn KernelHost::callMethod(ConnectionID id, uint32_t selector, MethodCall& call)
{
    call.scalarOutput.clear();
    call.structureOutput.clear();
    if (call.scalarInput.size() > kMaximumScalarCount || call.scalarOutputCapacity > kMaximumScalarCount ||
        call.structureInput.size() > kMaximumStructureSize ||
        call.structureOutputCapacity > kMaximumStructureSize) {
        return kIOReturnBadArgument;
    }
    auto connection = find(id);
    if (!connection) {
        return kIOReturnNotOpen;
    }
    std::lock_guard callLock(connection->callMutex);
    if (connection->ended) {
        return kIOReturnNotOpen;
    }
    // Outputs start zeroed, so nothing uninitialised reaches the process.
    std::vector<uint64_t> scalarOutput(call.scalarOutputCapacity, 0);
    std::vector<uint8_t> structureOutput(call.structureOutputCapacity, 0);
    IOExternalMethodArguments arguments{};
    arguments.version = kIOExternalMethodArgumentsCurrentVersion;
    arguments.selector = selector;
    arguments.scalarInput = call.scalarInput.data();
    arguments.scalarInputCount = static_cast<uint32_t>(call.scalarInput.size());
    arguments.structureInput = call.structureInput.empty() ? nullptr : call.structureInput.data();
    arguments.structureInputSize = static_cast<uint32_t>(call.structureInput.size());
    arguments.scalarOutput = scalarOutput.data();
    arguments.scalarOutputCount = call.scalarOutputCapacity;
    arguments.structureOutput = structureOutput.empty() ? nullptr : structureOutput.data();
    arguments.structureOutputSize = call.structureOutputCapacity;

    const IOReturn status = connection->client->externalMethod(selector, &arguments);

    if (status != kIOReturnSuccess) {
        return status; // a refused or failed call gives nothing back
    }
    scalarOutput.resize(std::min(arguments.scalarOutputCount, call.scalarOutputCapacity));
    structureOutput.resize(std::min(arguments.structureOutputSize, call.structureOutputCapacity));
    call.scalarOutput = std::move(scalarOutput);
    call.structureOutput = std::move(structureOutput);
    return status;
}

IOReturn KernelHost::mapMemory(ConnectionID id, UInt32 type, MappedMemory* memory)
{
    if (memory == nullptr) {
        return kIOReturnBadArgument;
    }
    *memory = MappedMemory{};
    auto connection = find(id);
    if (!connection) {
        return kIOReturnNotOpen;
    }
    std::lock_guard callLock(connection->callMutex);
    if (connection->ended) {
        return kIOReturnNotOpen;
    }
    if (connection->maps.size() >= kMaximumMaps) {
        return kIOReturnNoResources; // each one holds a mapping in the host until it is given back
    }
    IOOptionBits options = 0;
    IOMemoryDescriptor* descriptor = nullptr;
    IOReturn status = connection->client->clientMemoryForType(type, &options, &descriptor);
    if (status != kIOReturnSuccess) {
        OSSafeReleaseNULL(descriptor);
        return status;
    }
    if (descriptor == nullptr) {
        return kIOReturnBadArgument; // a success without memory maps nothing
    }
    IOMemoryMap* map = descriptor->fileDescriptor() >= 0
                           ? descriptor->createMappingInTask(connection->task, 0, options | kIOMapAnywhere)
                           : nullptr;
    memory->fileOffset = descriptor->fileOffset();
    descriptor->release();
    if (map != nullptr) {
        memory->fileDescriptor = map->fileDescriptor();
        memory->readOnly = map->isReadOnly();
    }
    if (map == nullptr || memory->fileDescriptor < 0) {
        OSSafeReleaseNULL(map);
        *memory = MappedMemory{};
        return kIOReturnBadArgument; // memory that cannot be shared with a process
    }
    memory->address = reinterpret_cast<void*>(static_cast<uintptr_t>(map->getAddress()));
    memory->length = map->getLength();
    connection->maps.emplace(type, map);
    return kIOReturnSuccess;
}

IOReturn KernelHost::unmapMemory(ConnectionID id, UInt32 type, void* address)
{
    auto connection = find(id);
    if (!connection) {
        return kIOReturnNotOpen;
    }
    IOMemoryMap* map = nullptr;
    {
        std::lock_guard callLock(connection->callMutex);
        auto [first, last] = connection->maps.equal_range(type);
        for (auto it = first; it != last; ++it) {
            if (reinterpret_cast<void*>(static_cast<uintptr_t>(it->second->getAddress())) == address) {
                map = it->second;
                connection->maps.erase(it);
                break;
            }
        }
    }
    if (map == nullptr) {
        return kIOReturnBadArgument;
    }
    map->release();
    return kIOReturnSuccess;
}

IOReturn KernelHost::endConnection(ConnectionID id, bool died)
{
    std::shared_ptr<Connection> connection;
    {
        std::lock_guard lock(m_mutex);
        const auto found = m_connections.find(id);
        if (found == m_connections.end()) {
            return kIOReturnNotOpen;
        }
        connection = found->second;
        m_connections.erase(found);
    }
    IOReturn status = kIOReturnSuccess;
    {
        std::lock_guard callLock(connection->callMutex);
        connection->ended = true;
        status = died ? connection->client->clientDied() : connection->client->clientClose();
    }
    task_t task = connection->task;
    connection.reset(); // releases the mappings and the client
    std::lock_guard lock(m_mutex);
    auto found = m_tasks.find(task);
    if (found != m_tasks.end() && --found->second.connections == 0 && found->second.released) {
        m_tasks.erase(found);
        platform::iokit::destroyTask(task);
    }
    return status;
}

IOReturn KernelHost::closeConnection(ConnectionID id)
{
    return endConnection(id, false);
}

IOReturn KernelHost::connectionDied(ConnectionID id)
{
    return endConnection(id, true);
}

IOUserClient* KernelHost::copyClient(ConnectionID id)
{
    auto connection = find(id);
    if (!connection) {
        return nullptr;
    }
    connection->client->retain();
    return connection->client;
}

size_t KernelHost::connectionCount() const
{
    std::lock_guard lock(m_mutex);
    return m_connections.size();
}

} // namespace kernel_host
