#include "IOKit/IOUserClient.h"

OSDefineMetaClassAndStructors(IOUserClient, IOService);

bool IOUserClient::initWithTask(task_t owningTask, void* securityToken, UInt32 type, OSDictionary* properties)
{
    if (!initWithTask(owningTask, securityToken, type)) {
        return false;
    }
    if (properties != nullptr) {
        for (unsigned int i = 0; i < properties->getCount(); ++i) {
            const OSSymbol* key = properties->getKey(i);
            setProperty(key, properties->getObject(key));
        }
    }
    return true;
}

bool IOUserClient::initWithTask(task_t, void*, UInt32)
{
    return IOService::init(nullptr);
}

IOReturn IOUserClient::clientClose()
{
    return kIOReturnUnsupported;
}

IOReturn IOUserClient::clientDied()
{
    return clientClose();
}

namespace {
bool countMatches(uint32_t expected, uint32_t given)
{
    return expected == kIOUCVariableStructureSize || expected == given;
}
} // namespace

IOReturn IOUserClient::externalMethod(uint32_t selector, IOExternalMethodArguments* arguments,
                                      IOExternalMethodDispatch* dispatch, OSObject* target, void* reference)
{
    if (arguments == nullptr) {
        return kIOReturnBadArgument;
    }
    if (dispatch != nullptr) {
        if (dispatch->function == nullptr) {
            return kIOReturnUnsupported;
        }
        const uint32_t inputSize =
            arguments->structureInputDescriptor != nullptr
                ? static_cast<uint32_t>(arguments->structureInputDescriptor->getLength())
                : arguments->structureInputSize;
        const uint32_t outputSize = arguments->structureOutputDescriptor != nullptr
                                        ? arguments->structureOutputDescriptorSize
                                        : arguments->structureOutputSize;
        if (!countMatches(dispatch->checkScalarInputCount, arguments->scalarInputCount) ||
            !countMatches(dispatch->checkStructureInputSize, inputSize) ||
            !countMatches(dispatch->checkScalarOutputCount, arguments->scalarOutputCount) ||
            !countMatches(dispatch->checkStructureOutputSize, outputSize)) {
            arguments->scalarOutputCount = 0; // a refused call writes nothing
            arguments->structureOutputSize = 0;
            return kIOReturnBadArgument;
        }
        return dispatch->function(target != nullptr ? target : this, reference, arguments);
    }

    IOService* object = nullptr;
    IOExternalMethod* method = getTargetAndMethodForIndex(&object, selector);
    if (method == nullptr || method->func == nullptr) {
        return kIOReturnUnsupported;
    }
    if (object == nullptr) {
        object = method->object;
    }
    if (object == nullptr) {
        return kIOReturnUnsupported;
    }
    switch (method->flags & kIOUCTypeMask) {
    case kIOUCStructIStructO: {
        // The method checks the sizes itself.
        IOByteCount outputSize = arguments->structureOutputSize;
        const IOReturn status = (object->*(method->func))(
            const_cast<void*>(arguments->structureInput), arguments->structureOutput,
            reinterpret_cast<void*>(static_cast<uintptr_t>(arguments->structureInputSize)), &outputSize,
            nullptr, nullptr);
        if (outputSize < arguments->structureOutputSize) {
            arguments->structureOutputSize = static_cast<uint32_t>(outputSize);
        }
        return status;
    }
    default:
        return kIOReturnUnsupported;
    }
}

IOExternalMethod* IOUserClient::getTargetAndMethodForIndex(IOService**, UInt32)
{
    return nullptr;
}

IOReturn IOUserClient::clientMemoryForType(UInt32, IOOptionBits*, IOMemoryDescriptor**)
{
    return kIOReturnUnsupported;
}

IOMemoryMap* IOUserClient::mapClientMemory64(UInt32 type, task_t task, IOOptionBits mapFlags,
                                             mach_vm_address_t atAddress)
{
    IOOptionBits options = 0;
    IOMemoryDescriptor* memory = nullptr;
    if (clientMemoryForType(type, &options, &memory) != kIOReturnSuccess || memory == nullptr) {
        return nullptr;
    }
    IOMemoryMap* map = memory->createMappingInTask(task, atAddress, options | mapFlags);
    memory->release();
    return map;
}

IOMemoryMap* IOUserClient::mapClientMemory(UInt32 type, task_t task, IOOptionBits mapFlags,
                                           IOVirtualAddress atAddress)
{
    return mapClientMemory64(type, task, mapFlags, atAddress);
}
