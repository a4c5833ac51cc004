// User clients: the kernel end of a connection that a user process opens on a service
// (newUserClient). The process calls numbered external methods and maps numbered memory types;
// the connection ends with clientClose (the process closed it) or clientDied (the process went
// away without closing), whose base form calls clientClose.
//
// External methods, newer form: externalMethod(selector, arguments, dispatch, target, reference).
// Given a dispatch row, the base form checks the scalar counts and structure sizes against the
// row (kIOUCVariableStructureSize accepts any) and answers kIOReturnBadArgument before the method
// runs; the target defaults to the client. Without a row it falls back to the older table:
// getTargetAndMethodForIndex; there the method gets the structure sizes and checks them itself.
// A selector with neither answers kIOReturnUnsupported.
//
// Threads: external methods run on the calling process's request thread; clientClose and
// clientDied on the connection's thread; never on a real-time thread.
#pragma once

#include "IOKit/IOMemoryDescriptor.h"
#include "IOKit/IOService.h"

struct IOExternalMethodArguments
{
    uint32_t version;
    uint32_t selector;

    const uint64_t* scalarInput;
    uint32_t scalarInputCount;
    const void* structureInput;
    uint32_t structureInputSize;
    IOMemoryDescriptor* structureInputDescriptor;

    uint64_t* scalarOutput;
    uint32_t scalarOutputCount; // in: the caller's capacity; out: the count written
    void* structureOutput;
    uint32_t structureOutputSize; // in: the caller's capacity; out: the bytes written
    IOMemoryDescriptor* structureOutputDescriptor;
    uint32_t structureOutputDescriptorSize;
};

constexpr uint32_t kIOExternalMethodArgumentsCurrentVersion = 2;
constexpr uint32_t kIOUCVariableStructureSize = 0xFFFFFFFF;

typedef IOReturn (*IOExternalMethodAction)(OSObject* target, void* reference,
                                           IOExternalMethodArguments* arguments);

struct IOExternalMethodDispatch
{
    IOExternalMethodAction function;
    uint32_t checkScalarInputCount;
    uint32_t checkStructureInputSize;
    uint32_t checkScalarOutputCount;
    uint32_t checkStructureOutputSize;
};

// The older method table. A structure-in/structure-out method (kIOUCStructIStructO) is called as
// (structureIn, structureOut, (void*) inputSize, IOByteCount* outputSize, 0, 0).
typedef IOReturn (IOService::*IOMethod)(void* p1, void* p2, void* p3, void* p4, void* p5, void* p6);

struct IOExternalMethod
{
    IOService* object;
    IOMethod func;
    IOOptionBits flags;
    IOByteCount count0;
    IOByteCount count1;
};

constexpr IOOptionBits kIOUCTypeMask = 0x0000000F;
constexpr IOOptionBits kIOUCScalarIScalarO = 0;
constexpr IOOptionBits kIOUCScalarIStructO = 2;
constexpr IOOptionBits kIOUCStructIStructO = 3;
constexpr IOOptionBits kIOUCScalarIStructI = 4;

class IOUserClient : public IOService
{
    OSDeclareDefaultStructors(IOUserClient);

public:
    virtual bool initWithTask(task_t owningTask, void* securityToken, UInt32 type, OSDictionary* properties);
    virtual bool initWithTask(task_t owningTask, void* securityToken, UInt32 type);

    // The base form answers kIOReturnUnsupported.
    virtual IOReturn clientClose();
    // The base form calls clientClose.
    virtual IOReturn clientDied();

    virtual IOReturn externalMethod(uint32_t selector, IOExternalMethodArguments* arguments,
                                    IOExternalMethodDispatch* dispatch = nullptr, OSObject* target = nullptr,
                                    void* reference = nullptr);
    // The base form has no methods.
    virtual IOExternalMethod* getTargetAndMethodForIndex(IOService** targetP, UInt32 index);

    // The memory of a numbered type, retained for the caller; the base form answers
    // kIOReturnUnsupported.
    virtual IOReturn clientMemoryForType(UInt32 type, IOOptionBits* options, IOMemoryDescriptor** memory);
    // A mapping of that memory into `task` (clientMemoryForType, then createMappingInTask).
    virtual IOMemoryMap* mapClientMemory64(UInt32 type, task_t task, IOOptionBits mapFlags = kIOMapAnywhere,
                                           mach_vm_address_t atAddress = 0);
    virtual IOMemoryMap* mapClientMemory(UInt32 type, task_t task, IOOptionBits mapFlags = kIOMapAnywhere,
                                         IOVirtualAddress atAddress = 0);

    // The IOMethod of an older-table structure method written with its own types,
    // (in, out, input size, output size by reference), without casting between member types:
    //   {this, structureIOMethod<MyClient, &MyClient::dispatch>(), kIOUCStructIStructO, 260, 260}
    template <class Client, IOReturn (Client::*Method)(void*, void*, IOByteCount, IOByteCount*)>
    static IOMethod structureIOMethod()
    {
        return static_cast<IOMethod>(&IOUserClient::callStructureMethod<Client, Method>);
    }

private:
    template <class Client, IOReturn (Client::*Method)(void*, void*, IOByteCount, IOByteCount*)>
    IOReturn callStructureMethod(void* in, void* out, void* inSize, void* outSize, void*, void*)
    {
        return (static_cast<Client*>(this)->*Method)(in, out, reinterpret_cast<uintptr_t>(inSize),
                                                     static_cast<IOByteCount*>(outSize));
    }
};
