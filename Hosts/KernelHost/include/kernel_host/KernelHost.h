// The in-process core of the kernel host: it holds the driver personalities, publishes provider
// services for matching, and keeps the user-client connections of user processes (tasks): open
// by type, external-method calls with outputs sized and zeroed here, memory mapped by type, and
// the orderly close or the death of the process. The socket server of the kernel host program
// wraps this core; tests use it directly.
//
// Thread safety: every function may be called from any thread except a real-time one. Calls on
// one connection run one at a time (they are serialised per connection, as a process's requests
// on one connection are); calls on different connections run concurrently.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

#include "CoreFoundation/CFBundle.h"
#include "IOKit/IOService.h"
#include "IOKit/IOUserClient.h"

namespace kernel_host {

using ConnectionID = uint64_t;

// One external-method call: inputs as the process sent them, output capacities as it asked.
struct MethodCall
{
    std::vector<uint64_t> scalarInput;
    std::vector<uint8_t> structureInput;
    uint32_t scalarOutputCapacity = 0;
    uint32_t structureOutputCapacity = 0;

    // Results: exactly what the method wrote (counts as the method left them).
    std::vector<uint64_t> scalarOutput;
    std::vector<uint8_t> structureOutput;
};

// A memory type mapped for a connection. `address` is this process's mapping of it; another
// process maps `fileDescriptor` at `fileOffset` for `length` bytes (the block's exact size).
// Memory the client maps read-only (kIOMapReadOnly) has a descriptor that opens it for reading
// only: the process cannot map it writable.
struct MappedMemory
{
    void* address = nullptr;
    uint64_t length = 0;
    int fileDescriptor = -1; // valid while the mapping exists
    uint64_t fileOffset = 0;
    bool readOnly = false;
};

// Largest structure a process may pass in or ask for, in bytes.
constexpr uint32_t kMaximumStructureSize = 64 * 1024;
// Most scalars a process may pass in or ask for.
constexpr uint32_t kMaximumScalarCount = 16;

// A kernel object holding the same value as a property-list value (retained): dictionaries,
// arrays, strings, data, booleans and integers (OSNumber of the integer's width). Null for a
// value with no kernel form (floating-point numbers, non-string keys).
OSObject* kernelObjectFromPropertyList(CFTypeRef value);

class KernelHost
{
public:
    KernelHost();
    // Ends every connection as if its process had died, then terminates the providers this host
    // published and waits for the kernel to go quiet.
    ~KernelHost();
    KernelHost(const KernelHost&) = delete;
    KernelHost& operator=(const KernelHost&) = delete;

    // Driver personalities (dictionaries with IOClass, IOProviderClass, matching keys). Adding
    // matches every registered provider again.
    bool addPersonalities(OSArray* personalities);

    // Kext bundles, at a system path (looked up under the process's root folder, as every
    // bundle is): an Info.plist naming CFBundleIdentifier, CFBundleExecutable (the shared
    // library) and IOKitPersonalities. Loading opens the library, so that its classes register,
    // and adds the personalities (each given the bundle's CFBundleIdentifier). Answers
    // kIOReturnNotFound (no such folder), kIOReturnBadArgument (no identifier, or personalities
    // that are not dictionaries), kIOReturnExclusiveAccess (that identifier is loaded) or
    // kIOReturnError (the library is missing or does not load); each failure is logged with
    // the path.
    IOReturn loadKext(const std::string& bundlePath, std::string* identifier = nullptr);
    // Removes the kext's personalities, terminates the drivers started from them, and closes
    // its library once no object of its classes is left.
    IOReturn unloadKext(const std::string& identifier);

    // Attaches `provider` under the service root and registers it, which starts matching on the
    // kernel's work thread. The host keeps a reference until removeProvider.
    void publishProvider(IOService* provider);
    // Terminates the provider (and with it the drivers on it and their clients) and waits until
    // that is done.
    void removeProvider(IOService* provider);
    // Waits (on host time) until no matching or termination work is pending anywhere. On the
    // virtual clock the waiting thread counts as a sleeper, and the time-out runs only as the
    // clock is advanced.
    IOReturn waitQuiet(uint64_t timeoutNanoseconds = 10'000'000'000ULL);

    // The first registered, active service of class `className` (retained), or null.
    IOService* copyServiceNamed(const char* className);

    // Processes. A task lives until every connection of it has ended and releaseTask was called.
    task_t createTask(pid_t pid, uid_t uid, const std::string& name);
    void releaseTask(task_t task);

    // Connections.
    IOReturn openConnection(IOService* service, task_t task, UInt32 type, ConnectionID* connection);
    IOReturn callMethod(ConnectionID connection, uint32_t selector, MethodCall& call);
    // A connection keeps at most kMaximumMaps mappings (kIOReturnNoResources beyond), each until
    // it is unmapped or the connection ends.
    IOReturn mapMemory(ConnectionID connection, UInt32 type, MappedMemory* memory);
    IOReturn unmapMemory(ConnectionID connection, UInt32 type, void* address);
    static constexpr size_t kMaximumMaps = 64;
    // The process closed the connection: clientClose.
    IOReturn closeConnection(ConnectionID connection);
    // The process went away without closing: clientDied.
    IOReturn connectionDied(ConnectionID connection);
    // The connection's client (retained), or null.
    IOUserClient* copyClient(ConnectionID connection);
    size_t connectionCount() const;

private:
    struct Connection;
    std::shared_ptr<Connection> find(ConnectionID id) const;
    IOReturn endConnection(ConnectionID id, bool died);

    mutable std::mutex m_mutex;
    std::map<ConnectionID, std::shared_ptr<Connection>> m_connections; // guarded by m_mutex
    std::vector<IOService*> m_providers;                               // guarded by m_mutex; retained
    struct TaskRecord
    {
        int connections = 0;
        bool released = false;
    };
    std::map<task_t, TaskRecord> m_tasks; // guarded by m_mutex
    struct Kext
    {
        CFBundleRef bundle = nullptr;     // one reference
        std::vector<std::string> classes; // the classes its library registered
    };
    std::map<std::string, Kext> m_kexts; // guarded by m_mutex
    ConnectionID m_nextConnection = 1;   // guarded by m_mutex
};

} // namespace kernel_host
