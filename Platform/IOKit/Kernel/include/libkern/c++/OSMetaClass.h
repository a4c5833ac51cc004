// Run-time class information of the kernel's objects. Every class derived from OSObject
// declares itself with OSDeclareDefaultStructors in its body and OSDefineMetaClassAndStructors
// in one source file; that creates one OSMetaClass object per class, registered under the
// class name, so that the kernel can allocate a driver's class from the name a personality gives
// ("IOClass"), cast safely along the chain of classes (OSDynamicCast) and count live instances.
//
// Classes register when their image is loaded (static construction) and unregister when it is
// unloaded. Thread safety: every function may be called from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include "libkern/OSTypes.h"

class OSObject;
class OSSerialize;
class OSMetaClass;

// The root of all classes with run-time class information.
class OSMetaClassBase
{
public:
    virtual const OSMetaClass* getMetaClass() const = 0;
    virtual void retain() const = 0;
    virtual void release() const = 0;
    virtual int getRetainCount() const = 0;
    virtual bool serialize(OSSerialize* serializer) const = 0;
    virtual bool isEqualTo(const OSMetaClassBase* other) const;

    // True when `other` is the same object or of a class derived from `toMeta`.
    bool metaCast(const OSMetaClass* toMeta) const;
    // `object` when it is of class `toType` (or derived from it), otherwise null. Null in, null out.
    static OSMetaClassBase* safeMetaCast(const OSMetaClassBase* object, const OSMetaClass* toType);

protected:
    OSMetaClassBase() = default;
    virtual ~OSMetaClassBase() = default;
    OSMetaClassBase(const OSMetaClassBase&) = delete;
    OSMetaClassBase& operator=(const OSMetaClassBase&) = delete;
};

class OSMetaClass
{
public:
    using Allocator = OSObject* (*)();

    OSMetaClass(const char* className, const OSMetaClass* superClass, unsigned int classSize,
                Allocator allocator);
    ~OSMetaClass();
    OSMetaClass(const OSMetaClass&) = delete;
    OSMetaClass& operator=(const OSMetaClass&) = delete;

    const char* getClassName() const { return m_className; }
    const OSMetaClass* getSuperClass() const { return m_superClass; }
    unsigned int getClassSize() const { return m_classSize; }
    // A new instance (retain count 1, not yet initialised), or null for an abstract class.
    OSObject* alloc() const;
    // True when this class is `other` or derives from it.
    bool isSubclassOf(const OSMetaClass* other) const;

    // Live instances of this class and of every class derived from it.
    unsigned int getInstanceCount() const { return m_instances.load(std::memory_order_relaxed); }
    void instanceConstructed() const;
    void instanceDestructed() const;

    // Lookup by name among the registered classes.
    static const OSMetaClass* getMetaClassWithName(const char* name);
    static OSObject* allocClassWithName(const char* name);
    // `object` when its class is (or derives from) the class named `className`.
    static OSMetaClassBase* checkMetaCastWithName(const char* className, const OSMetaClassBase* object);

private:
    const char* m_className;
    const OSMetaClass* m_superClass;
    unsigned int m_classSize;
    Allocator m_allocator;
    mutable std::atomic<unsigned int> m_instances{0};
    bool m_registered = false;
};

namespace platform::iokit {
// The names of all registered classes (for a kernel host that tracks what a loaded image added).
std::vector<std::string> registeredClassNames();
} // namespace platform::iokit

#define OSTypeID(type) (&type::gMetaClass)
#define OSTypeIDInst(typeinst) ((typeinst)->getMetaClass())
// `inst` as a `type*` when it is one, else null.
#define OSDynamicCast(type, inst)                                                                            \
    (static_cast<type*>(                                                                                     \
        OSMetaClassBase::safeMetaCast(static_cast<const OSMetaClassBase*>(inst), OSTypeID(type))))
#define OSCheckTypeInst(typeinst, inst) ((inst) != nullptr && (inst)->metaCast(OSTypeIDInst(typeinst)))

// In the body of every class derived from OSObject, followed by a semicolon:
//   class MyDriver : public IOService
//   {
//       OSDeclareDefaultStructors(MyDriver);
//   public:
//       ...
// and in one source file: OSDefineMetaClassAndStructors(MyDriver, IOService)
// clang-format off
#define OSDeclareCommonStructors(className)                                  \
public:                                                                      \
    static const OSMetaClass gMetaClass;                                     \
    static OSObject* allocInstance();                                        \
    const OSMetaClass* getMetaClass() const override { return &gMetaClass; } \
private:

#define OSDeclareDefaultStructors(className)                                 \
    OSDeclareCommonStructors(className)                                      \
public:                                                                      \
    className();                                                             \
protected:                                                                   \
    ~className() override;                                                   \
private:

#define OSDeclareAbstractStructors(className) OSDeclareDefaultStructors(className)

// The metaclass, the constructor and the destructor. The constructor and destructor keep the
// per-class instance counts.
#define OSDefineMetaClassWithAllocator(className, superclassName, allocator)                          \
    const OSMetaClass className::gMetaClass(#className, &superclassName::gMetaClass, sizeof(className), \
                                            allocator);                                               \
    className::className() : superclassName() { gMetaClass.instanceConstructed(); }                   \
    className::~className() { gMetaClass.instanceDestructed(); }

#define OSDefineMetaClassAndStructors(className, superclassName)                         \
    OSObject* className::allocInstance() { return new className; }                       \
    OSDefineMetaClassWithAllocator(className, superclassName, &className::allocInstance)

#define OSDefineMetaClassAndAbstractStructors(className, superclassName)                 \
    OSObject* className::allocInstance() { return nullptr; }                             \
    OSDefineMetaClassWithAllocator(className, superclassName, &className::allocInstance)
// clang-format on

// Pads of the virtual table that the original binary interface reserves; nothing here.
#define OSMetaClassDeclareReservedUnused(className, index)
#define OSMetaClassDefineReservedUnused(className, index)
