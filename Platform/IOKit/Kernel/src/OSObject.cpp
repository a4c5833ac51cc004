#include "libkern/c++/OSObject.h"

#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "platform/Log.h"
#include "platform/RealTime.h"

namespace {

struct ClassRegistry
{
    std::mutex mutex;
    std::map<std::string, const OSMetaClass*> classes; // guarded by mutex
};

ClassRegistry& registry()
{
    static ClassRegistry r;
    return r;
}

} // namespace

std::vector<std::string> platform::iokit::registeredClassNames()
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    std::vector<std::string> names;
    names.reserve(r.classes.size());
    for (const auto& [name, meta] : r.classes) {
        names.push_back(name);
    }
    return names;
}

bool OSMetaClassBase::isEqualTo(const OSMetaClassBase* other) const
{
    return other == this;
}

bool OSMetaClassBase::metaCast(const OSMetaClass* toMeta) const
{
    return toMeta != nullptr && getMetaClass()->isSubclassOf(toMeta);
}

OSMetaClassBase* OSMetaClassBase::safeMetaCast(const OSMetaClassBase* object, const OSMetaClass* toType)
{
    if (object == nullptr || !object->metaCast(toType)) {
        return nullptr;
    }
    return const_cast<OSMetaClassBase*>(object);
}

OSMetaClass::OSMetaClass(const char* className, const OSMetaClass* superClass, unsigned int classSize,
                         Allocator allocator)
    : m_className(className), m_superClass(superClass), m_classSize(classSize), m_allocator(allocator)
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (r.classes.emplace(className, this).second) {
        m_registered = true;
    } else {
        IOLog("OSMetaClass: class %s is already registered; the second definition is not used\n", className);
    }
}

OSMetaClass::~OSMetaClass()
{
    if (!m_registered) {
        return;
    }
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.classes.erase(m_className);
}

OSObject* OSMetaClass::alloc() const
{
    return m_allocator != nullptr ? m_allocator() : nullptr;
}

bool OSMetaClass::isSubclassOf(const OSMetaClass* other) const
{
    for (const OSMetaClass* meta = this; meta != nullptr; meta = meta->m_superClass) {
        if (meta == other) {
            return true;
        }
    }
    return false;
}

void OSMetaClass::instanceConstructed() const
{
    m_instances.fetch_add(1, std::memory_order_relaxed);
}

void OSMetaClass::instanceDestructed() const
{
    m_instances.fetch_sub(1, std::memory_order_relaxed);
}

const OSMetaClass* OSMetaClass::getMetaClassWithName(const char* name)
{
    if (name == nullptr) {
        return nullptr;
    }
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    const auto found = r.classes.find(name);
    return found == r.classes.end() ? nullptr : found->second;
}

OSObject* OSMetaClass::allocClassWithName(const char* name)
{
    const OSMetaClass* meta = getMetaClassWithName(name);
    return meta != nullptr ? meta->alloc() : nullptr;
}

OSMetaClassBase* OSMetaClass::checkMetaCastWithName(const char* className, const OSMetaClassBase* object)
{
    if (object == nullptr || className == nullptr) {
        return nullptr;
    }
    for (const OSMetaClass* meta = object->getMetaClass(); meta != nullptr; meta = meta->getSuperClass()) {
        if (std::strcmp(meta->getClassName(), className) == 0) {
            return const_cast<OSMetaClassBase*>(object);
        }
    }
    return nullptr;
}

const OSMetaClass OSObject::gMetaClass("OSObject", nullptr, sizeof(OSObject), &OSObject::allocInstance);

OSObject* OSObject::allocInstance()
{
    return new OSObject;
}

OSObject::OSObject()
{
    platform::realtime::check("OSObject new");
    gMetaClass.instanceConstructed();
}

OSObject::~OSObject()
{
    gMetaClass.instanceDestructed();
}

bool OSObject::init()
{
    return true;
}

void OSObject::retain() const
{
    m_retainCount.fetch_add(1, std::memory_order_relaxed);
}

namespace {
std::atomic<unsigned int> lastReleases{0};
} // namespace

unsigned int platform::iokit::releasesInProgress()
{
    return lastReleases.load(std::memory_order_seq_cst);
}

void OSObject::release() const
{
    const int previous = m_retainCount.fetch_sub(1, std::memory_order_acq_rel);
    if (previous == 1) {
        platform::realtime::check("OSObject last release");
        lastReleases.fetch_add(1, std::memory_order_seq_cst);
        const_cast<OSObject*>(this)->free();
        lastReleases.fetch_sub(1, std::memory_order_seq_cst);
    } else if (previous < 1) {
        IOLog("OSObject::release: %s %p released more often than retained\n", getMetaClass()->getClassName(),
              static_cast<const void*>(this));
    }
}

int OSObject::getRetainCount() const
{
    return m_retainCount.load(std::memory_order_relaxed);
}

bool OSObject::serialize(OSSerialize*) const
{
    return false;
}

void OSObject::free()
{
    delete this;
}
