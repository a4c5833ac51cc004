#include "IOKit/IORegistryEntry.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <vector>

OSDefineMetaClassAndStructors(IORegistryPlane, OSObject);
OSDefineMetaClassAndStructors(IORegistryEntry, OSObject);

struct IORegistryEntry::Links
{
    std::map<const IORegistryPlane*, std::vector<IORegistryEntry*>> parents;
    std::map<const IORegistryPlane*, std::vector<IORegistryEntry*>> children;
};

namespace {

std::mutex& registryLock()
{
    static std::mutex m;
    return m;
}

std::atomic<uint64_t> nextEntryID{0x100};

// A snapshot of one link list, retained, as an array.
OSArray* snapshot(const std::vector<IORegistryEntry*>* entries)
{
    OSArray* array = OSArray::withCapacity(entries ? static_cast<unsigned int>(entries->size()) : 0);
    if (entries != nullptr) {
        for (auto* entry : *entries) {
            array->setObject(entry);
        }
    }
    return array;
}

const std::vector<IORegistryEntry*>*
find(const std::map<const IORegistryPlane*, std::vector<IORegistryEntry*>>& map, const IORegistryPlane* plane)
{
    const auto found = map.find(plane);
    return found == map.end() || found->second.empty() ? nullptr : &found->second;
}

} // namespace

void IORegistryPlane::free()
{
    OSSafeReleaseNULL(m_name);
    OSObject::free();
}

bool IORegistryEntry::init(OSDictionary* dictionary)
{
    if (!OSObject::init()) {
        return false;
    }
    std::lock_guard lock(m_propertiesMutex);
    if (m_properties == nullptr) {
        m_properties =
            dictionary != nullptr ? OSDictionary::withDictionary(dictionary) : OSDictionary::withCapacity(8);
        m_entryID = nextEntryID.fetch_add(1, std::memory_order_relaxed);
    } else if (dictionary != nullptr) {
        m_properties->merge(dictionary);
    }
    return true;
}

void IORegistryEntry::free()
{
    for (int pass = 0; pass < 2 && m_links != nullptr; ++pass) {
        // Links hold references, so an entry with links is not freed; this only clears leftovers.
        std::vector<const IORegistryPlane*> planes;
        {
            std::lock_guard lock(registryLock());
            for (const auto& [plane, list] : m_links->parents) {
                planes.push_back(plane);
            }
            for (const auto& [plane, list] : m_links->children) {
                planes.push_back(plane);
            }
        }
        for (const auto* plane : planes) {
            detachAll(plane);
        }
    }
    delete m_links;
    m_links = nullptr;
    {
        std::lock_guard lock(m_propertiesMutex);
        OSSafeReleaseNULL(m_properties);
        OSSafeReleaseNULL(m_name);
    }
    OSObject::free();
}

// Properties

bool IORegistryEntry::setProperty(const char* key, OSObject* value)
{
    if (key == nullptr || value == nullptr) {
        return false;
    }
    std::lock_guard lock(m_propertiesMutex);
    if (m_properties == nullptr) {
        m_properties = OSDictionary::withCapacity(8);
    }
    return m_properties->setObject(key, value);
}

bool IORegistryEntry::setProperty(const OSSymbol* key, OSObject* value)
{
    return key != nullptr && setProperty(key->getCStringNoCopy(), value);
}

bool IORegistryEntry::setProperty(const OSString* key, OSObject* value)
{
    return key != nullptr && setProperty(key->getCStringNoCopy(), value);
}

namespace {
template <class Factory> bool setNew(IORegistryEntry* entry, const char* key, Factory make)
{
    OSObject* value = make();
    if (value == nullptr) {
        return false;
    }
    const bool ok = entry->setProperty(key, value);
    value->release();
    return ok;
}
} // namespace

bool IORegistryEntry::setProperty(const char* key, const char* text)
{
    return setNew(this, key, [&] { return OSString::withCString(text); });
}

bool IORegistryEntry::setProperty(const char* key, bool value)
{
    return setNew(this, key, [&] { return OSBoolean::withBoolean(value); });
}

bool IORegistryEntry::setProperty(const char* key, unsigned long long number, unsigned int numberOfBits)
{
    return setNew(this, key, [&] { return OSNumber::withNumber(number, numberOfBits); });
}

bool IORegistryEntry::setProperty(const char* key, void* bytes, unsigned int length)
{
    return setNew(this, key, [&] { return OSData::withBytes(bytes, length); });
}

void IORegistryEntry::removeProperty(const char* key)
{
    OSObject* removed = nullptr;
    {
        std::lock_guard lock(m_propertiesMutex);
        if (m_properties == nullptr || (removed = m_properties->getObject(key)) == nullptr) {
            return;
        }
        removed->retain();
        m_properties->removeObject(key);
    }
    removed->release(); // outside the lock: releasing may free the value
}

void IORegistryEntry::removeProperty(const OSSymbol* key)
{
    if (key != nullptr) {
        removeProperty(key->getCStringNoCopy());
    }
}

void IORegistryEntry::removeProperty(const OSString* key)
{
    if (key != nullptr) {
        removeProperty(key->getCStringNoCopy());
    }
}

OSObject* IORegistryEntry::getProperty(const char* key) const
{
    std::lock_guard lock(m_propertiesMutex);
    return m_properties != nullptr ? m_properties->getObject(key) : nullptr;
}

OSObject* IORegistryEntry::getProperty(const OSSymbol* key) const
{
    return key != nullptr ? getProperty(key->getCStringNoCopy()) : nullptr;
}

OSObject* IORegistryEntry::getProperty(const OSString* key) const
{
    return key != nullptr ? getProperty(key->getCStringNoCopy()) : nullptr;
}

OSObject* IORegistryEntry::copyProperty(const char* key) const
{
    std::lock_guard lock(m_propertiesMutex);
    OSObject* value = m_properties != nullptr ? m_properties->getObject(key) : nullptr;
    if (value != nullptr) {
        value->retain();
    }
    return value;
}

OSDictionary* IORegistryEntry::dictionaryWithProperties() const
{
    std::lock_guard lock(m_propertiesMutex);
    return m_properties != nullptr ? OSDictionary::withDictionary(m_properties)
                                   : OSDictionary::withCapacity(0);
}

bool IORegistryEntry::serializeProperties(OSSerialize* serializer) const
{
    OSDictionary* copy = dictionaryWithProperties();
    const bool ok = copy->serialize(serializer);
    copy->release();
    return ok;
}

const char* IORegistryEntry::getName(const IORegistryPlane*) const
{
    std::lock_guard lock(m_propertiesMutex);
    return m_name != nullptr ? m_name->getCStringNoCopy() : getMetaClass()->getClassName();
}

void IORegistryEntry::setName(const char* name, const IORegistryPlane*)
{
    const OSSymbol* symbol = name != nullptr ? OSSymbol::withCString(name) : nullptr;
    const OSSymbol* previous = nullptr;
    {
        std::lock_guard lock(m_propertiesMutex);
        previous = m_name;
        m_name = symbol;
    }
    if (previous != nullptr) {
        previous->release();
    }
}

// Planes

namespace {

std::mutex planesMutex;
std::map<std::string, IORegistryPlane*>& planes()
{
    static auto* all = new std::map<std::string, IORegistryPlane*>; // planes live for the process
    return *all;
}

} // namespace

const IORegistryPlane* IORegistryEntry::getPlane(const char* name)
{
    if (name == nullptr) {
        return nullptr;
    }
    std::lock_guard lock(planesMutex);
    auto& plane = planes()[name];
    if (plane == nullptr) {
        plane = new IORegistryPlane;
        plane->m_name = OSSymbol::withCString(name);
    }
    return plane;
}

const IORegistryPlane* IORegistryEntry::findPlane(const char* name)
{
    if (name == nullptr) {
        return nullptr;
    }
    std::lock_guard lock(planesMutex);
    const auto found = planes().find(name);
    return found != planes().end() ? found->second : nullptr;
}

IORegistryEntry* IORegistryEntry::getRegistryRoot()
{
    static IORegistryEntry* root = [] {
        auto* entry = new IORegistryEntry;
        entry->init(nullptr);
        entry->setName("Root");
        return entry;
    }();
    return root;
}

bool IORegistryEntry::attachToParent(IORegistryEntry* parent, const IORegistryPlane* plane)
{
    if (parent == nullptr || plane == nullptr || parent == this) {
        return false;
    }
    {
        std::lock_guard lock(registryLock());
        if (m_links == nullptr) {
            m_links = new Links;
        }
        if (parent->m_links == nullptr) {
            parent->m_links = new Links;
        }
        auto& parents = m_links->parents[plane];
        if (std::find(parents.begin(), parents.end(), parent) != parents.end()) {
            return true;
        }
        parents.push_back(parent);
        parent->m_links->children[plane].push_back(this);
    }
    parent->retain();
    retain();
    return true;
}

void IORegistryEntry::detachFromParent(IORegistryEntry* parent, const IORegistryPlane* plane)
{
    if (parent == nullptr || plane == nullptr) {
        return;
    }
    {
        std::lock_guard lock(registryLock());
        if (m_links == nullptr || parent->m_links == nullptr) {
            return;
        }
        auto& parents = m_links->parents[plane];
        const auto found = std::find(parents.begin(), parents.end(), parent);
        if (found == parents.end()) {
            return;
        }
        parents.erase(found);
        auto& children = parent->m_links->children[plane];
        children.erase(std::find(children.begin(), children.end(), this));
    }
    // Outside the lock: either release may free an entry.
    release();
    parent->release();
}

void IORegistryEntry::detachAll(const IORegistryPlane* plane)
{
    OSArray* parents = copyParentEntries(plane);
    OSArray* children = copyChildEntries(plane);
    for (unsigned int i = 0; i < parents->getCount(); ++i) {
        detachFromParent(static_cast<IORegistryEntry*>(parents->getObject(i)), plane);
    }
    for (unsigned int i = 0; i < children->getCount(); ++i) {
        static_cast<IORegistryEntry*>(children->getObject(i))->detachFromParent(this, plane);
    }
    parents->release();
    children->release();
}

IORegistryEntry* IORegistryEntry::getParentEntry(const IORegistryPlane* plane) const
{
    std::lock_guard lock(registryLock());
    const auto* list = m_links ? find(m_links->parents, plane) : nullptr;
    return list ? list->front() : nullptr;
}

IORegistryEntry* IORegistryEntry::getChildEntry(const IORegistryPlane* plane) const
{
    std::lock_guard lock(registryLock());
    const auto* list = m_links ? find(m_links->children, plane) : nullptr;
    return list ? list->front() : nullptr;
}

OSArray* IORegistryEntry::copyParentEntries(const IORegistryPlane* plane) const
{
    std::lock_guard lock(registryLock());
    return snapshot(m_links ? find(m_links->parents, plane) : nullptr);
}

OSArray* IORegistryEntry::copyChildEntries(const IORegistryPlane* plane) const
{
    std::lock_guard lock(registryLock());
    return snapshot(m_links ? find(m_links->children, plane) : nullptr);
}

namespace {
OSIterator* iteratorOver(OSArray* array)
{
    OSIterator* iterator = OSCollectionIterator::withCollection(array);
    array->release();
    return iterator;
}
} // namespace

OSIterator* IORegistryEntry::getParentIterator(const IORegistryPlane* plane) const
{
    return iteratorOver(copyParentEntries(plane));
}

OSIterator* IORegistryEntry::getChildIterator(const IORegistryPlane* plane) const
{
    return iteratorOver(copyChildEntries(plane));
}

bool IORegistryEntry::isParent(const IORegistryEntry* parent, const IORegistryPlane* plane) const
{
    std::lock_guard lock(registryLock());
    const auto* list = m_links ? find(m_links->parents, plane) : nullptr;
    return list != nullptr && std::find(list->begin(), list->end(), parent) != list->end();
}

bool IORegistryEntry::isChild(const IORegistryEntry* child, const IORegistryPlane* plane) const
{
    return child != nullptr && child->isParent(this, plane);
}

bool IORegistryEntry::inPlane(const IORegistryPlane* plane) const
{
    std::lock_guard lock(registryLock());
    return m_links != nullptr &&
           (find(m_links->parents, plane) != nullptr || find(m_links->children, plane) != nullptr);
}
