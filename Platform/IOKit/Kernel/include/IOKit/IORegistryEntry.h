// Registry entries: objects with a property table and a place in one or more planes. A plane is
// a named graph of parent/child links: the service plane links providers to their clients, the
// USB plane links hubs to the devices behind them. Planes are made on first use by name.
//
// References: attaching an entry to a parent makes each hold a reference on the other until they
// are detached. getProperty/getParentEntry/getChildEntry answer borrowed pointers, valid while
// the caller holds the entry and nobody changes that property or link; copyProperty and the
// iterators answer retained objects.
//
// Thread safety: every function may be called from any thread. Properties are guarded per entry;
// the plane links by one registry-wide lock. No entry's code runs under either lock.
#pragma once

#include <cstdint>
#include <mutex>

#include "IOKit/IOTypes.h"
#include "libkern/c++/OSContainers.h"

class IORegistryPlane : public OSObject
{
    OSDeclareDefaultStructors(IORegistryPlane);

public:
    const char* getName() const { return m_name ? m_name->getCStringNoCopy() : ""; }

protected:
    void free() override;

private:
    friend class IORegistryEntry;
    const OSSymbol* m_name = nullptr;
};

constexpr const char* kIOServicePlane = "IOService";
#define gIOServicePlane (IORegistryEntry::getPlane(kIOServicePlane))

class IORegistryEntry : public OSObject
{
    OSDeclareDefaultStructors(IORegistryEntry);

public:
    // A copy of `dictionary` (when not null) becomes the property table. Subclasses that
    // override this form add `using IORegistryEntry::init;` to keep init() visible.
    virtual bool init(OSDictionary* dictionary);
    bool init() override { return init(nullptr); }

    // Properties. The value is retained; a null key or value is refused.
    virtual bool setProperty(const OSSymbol* key, OSObject* value);
    virtual bool setProperty(const OSString* key, OSObject* value);
    virtual bool setProperty(const char* key, OSObject* value);
    virtual bool setProperty(const char* key, const char* text);
    virtual bool setProperty(const char* key, bool value);
    virtual bool setProperty(const char* key, unsigned long long number, unsigned int numberOfBits);
    virtual bool setProperty(const char* key, void* bytes, unsigned int length);
    virtual void removeProperty(const OSSymbol* key);
    virtual void removeProperty(const OSString* key);
    virtual void removeProperty(const char* key);
    virtual OSObject* getProperty(const OSSymbol* key) const;
    virtual OSObject* getProperty(const OSString* key) const;
    virtual OSObject* getProperty(const char* key) const;
    virtual OSObject* copyProperty(const char* key) const;
    // A retained shallow copy of the whole table (for registry reads).
    virtual OSDictionary* dictionaryWithProperties() const;
    virtual bool serializeProperties(OSSerialize* serializer) const;

    // The entry's name: the one set, else its class name.
    virtual const char* getName(const IORegistryPlane* plane = nullptr) const;
    virtual void setName(const char* name, const IORegistryPlane* plane = nullptr);
    // Never reused within the process.
    uint64_t getRegistryEntryID() const { return m_entryID; }

    // Planes and links.
    // The plane of that name, made on first use.
    static const IORegistryPlane* getPlane(const char* name);
    // The plane of that name if one was made, else null (for names from outside the kernel).
    static const IORegistryPlane* findPlane(const char* name);
    static IORegistryEntry* getRegistryRoot();
    virtual bool attachToParent(IORegistryEntry* parent, const IORegistryPlane* plane);
    virtual void detachFromParent(IORegistryEntry* parent, const IORegistryPlane* plane);
    virtual void detachAll(const IORegistryPlane* plane);
    // First parent / child in the plane, or null.
    virtual IORegistryEntry* getParentEntry(const IORegistryPlane* plane) const;
    virtual IORegistryEntry* getChildEntry(const IORegistryPlane* plane) const;
    // Retained iterators over a snapshot of the links.
    virtual OSIterator* getParentIterator(const IORegistryPlane* plane) const;
    virtual OSIterator* getChildIterator(const IORegistryPlane* plane) const;
    // Retained arrays of the same snapshots (never null).
    OSArray* copyParentEntries(const IORegistryPlane* plane) const;
    OSArray* copyChildEntries(const IORegistryPlane* plane) const;
    bool isParent(const IORegistryEntry* parent, const IORegistryPlane* plane) const;
    bool isChild(const IORegistryEntry* child, const IORegistryPlane* plane) const;
    bool inPlane(const IORegistryPlane* plane) const;

protected:
    void free() override;

private:
    struct Links;
    mutable std::mutex m_propertiesMutex;
    OSDictionary* m_properties = nullptr; // guarded by m_propertiesMutex
    const OSSymbol* m_name = nullptr;     // guarded by m_propertiesMutex
    uint64_t m_entryID = 0;
    Links* m_links = nullptr; // guarded by the registry lock
};
