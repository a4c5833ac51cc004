// The audio server plug-in's hold on the kernel: one registry object (a kernel device service)
// with its user-client connection, its mapped memories, its method calls and a cache of its
// registry properties; and an iterator that decides whether it releases what it walks.
//
// Kernel calls are refused ('stop', or false) while the connection is closed or once the
// service is known to be gone; unmapping and closing still work then.
//
// Threads: no locks of their own. A device uses its wrapper under its own mutexes; the searches
// and iterators run on the plug-in's notification queue.
#pragma once

#include <cstdint>

#include "CoreFoundation/CoreFoundation.h"
#include "IOKit/IOKitLib.h"
#include "OSXDispatch.h"

class QzASPlugInIOKitObject
{
public:
    // 'stop': the call was refused without reaching the kernel.
    static constexpr kern_return_t kRefused = 0x73746F70;

    QzASPlugInIOKitObject() = default;
    // Takes over the caller's reference on `object`.
    explicit QzASPlugInIOKitObject(io_object_t object);
    // A dead wrapper around a copy of `properties`.
    explicit QzASPlugInIOKitObject(CFDictionaryRef properties);
    QzASPlugInIOKitObject(const QzASPlugInIOKitObject& other);
    QzASPlugInIOKitObject& operator=(const QzASPlugInIOKitObject& other);
    // Closes the connection, releases the object (no retain of the new one) and marks it alive.
    QzASPlugInIOKitObject& operator=(io_object_t object);
    virtual ~QzASPlugInIOKitObject();

    virtual void PropertiesChanged();
    virtual void CacheProperties();
    virtual void Retain();
    virtual void Release();

    io_object_t GetObject() const { return mObject; }
    io_object_t CopyObject();
    bool IsValid() const { return mObject != 0; }
    bool IsEqualTo(io_object_t object) const;
    bool ConformsTo(const char* className) const;
    bool IsServiceAlive() const { return mAlive; }
    void ServiceWasTerminated() { mAlive = false; }
    void SetReloadProperties(bool reload) { mReload = reload; }
    static bool TestForLiveness(io_object_t object);

    // Connection and kernel calls. OpenConnection throws a CAException with the status.
    void OpenConnection(uint32_t type);
    void CloseConnection();
    bool IsConnectionOpen() const { return mConnection != 0; }
    io_connect_t GetConnection() const { return mConnection; }
    void SetConnectionNotificationPort(uint32_t type, mach_port_t port, void* reference);
    // The block's address; 0 on failure or when the kernel's block has another size.
    void* MapMemory(uint32_t memoryType, uint32_t flags, uint32_t expectedSize);
    void ReleaseMemory(void* address, uint32_t memoryType);
    kern_return_t CallMethod(uint32_t selector, const uint64_t* scalarIn, uint32_t scalarInCount,
                             const void* structIn, size_t structInSize, uint64_t* scalarOut, uint32_t* scalarOutCount,
                             void* structOut, size_t* structOutSize);
    // The request record through structure method 6, the code written into its first word.
    bool CallDriver(uint32_t requestCode, OSXDispatch& record);
    bool CallDetach(OSXDispatch& record);
    kern_return_t CallTrap(uint32_t index);

    // Cached registry properties; each is true when the key held a usable value. The CF getters
    // hand out a retained reference.
    CFDictionaryRef CopyProperties();
    bool HasProperty(CFStringRef key);
    bool CopyProperty_bool(CFStringRef key, bool& value);
    bool CopyProperty_SInt32(CFStringRef key, int32_t& value);
    bool CopyProperty_UInt32(CFStringRef key, uint32_t& value);
    bool CopyProperty_UInt64(CFStringRef key, uint64_t& value);
    bool CopyProperty_Fixed32(CFStringRef key, float& value);
    bool CopyProperty_Fixed64(CFStringRef key, double& value);
    bool CopyProperty_CFString(CFStringRef key, CFStringRef& value);
    bool CopyProperty_CFArray(CFStringRef key, CFArrayRef& value);
    bool CopyProperty_CFDictionary(CFStringRef key, CFDictionaryRef& value);
    bool CopyProperty_CFType(CFStringRef key, CFTypeRef& value);

    // One registry property of any object, without the cache.
    static bool CopyProperty_bool(io_object_t object, CFStringRef key, bool& value);
    static bool CopyProperty_SInt32(io_object_t object, CFStringRef key, int32_t& value);
    static bool CopyProperty_UInt32(io_object_t object, CFStringRef key, uint32_t& value);
    static bool CopyProperty_CFString(io_object_t object, CFStringRef key, CFStringRef& value);
    static bool CopyProperty_CFArray(io_object_t object, CFStringRef key, CFArrayRef& value);
    static bool CopyProperty_CFDictionary(io_object_t object, CFStringRef key, CFDictionaryRef& value);

    // Registry writes; a refused write throws a CAException with the status.
    void SetProperty(CFStringRef key, CFTypeRef value);
    void SetProperty_bool(CFStringRef key, bool value);
    void SetProperty_SInt32(CFStringRef key, int32_t value);
    void SetProperty_UInt32(CFStringRef key, uint32_t value);

    // Searches; each answers a retained object or 0. The matching dictionary is not consumed.
    static io_object_t CopyMatchingObjectWithPropertyValue(CFDictionaryRef matching, CFStringRef key,
                                                           CFTypeRef value);
    static io_object_t CopyChildWithIntegerPropertyValues(io_object_t parent, CFStringRef key1, uint32_t value1,
                                                          CFStringRef key2, uint32_t value2);
    static io_object_t CopyParentByClassName(io_object_t object, const char* className, const char* plane);

private:
    // The cached value under `key` (not retained), or null.
    CFTypeRef cached(CFStringRef key);
    void setCache(CFDictionaryRef properties);

    io_object_t mObject = 0;
    io_connect_t mConnection = 0;
    CFDictionaryRef mProperties = nullptr;
    bool mReload = true;
    bool mAlive = true;
};

class QzASPlugInIOKitIterator
{
public:
    QzASPlugInIOKitIterator() = default;
    QzASPlugInIOKitIterator(io_iterator_t iterator, bool willRelease);
    // The children of `object` in `plane`.
    QzASPlugInIOKitIterator(io_object_t object, const char* plane);
    // The parents of `object` in `plane`.
    QzASPlugInIOKitIterator(io_object_t object, const char* plane, bool parents);
    // The services matching `matching`, which the lookup consumes.
    explicit QzASPlugInIOKitIterator(CFMutableDictionaryRef matching);
    QzASPlugInIOKitIterator(const QzASPlugInIOKitIterator& other);
    QzASPlugInIOKitIterator& operator=(io_iterator_t iterator);
    QzASPlugInIOKitIterator& operator=(const QzASPlugInIOKitIterator&) = delete;
    ~QzASPlugInIOKitIterator();

    void Release();
    void SetWillRelease(bool willRelease) { mWillRelease = willRelease; }
    io_iterator_t GetIterator() const { return mIterator; }
    bool IsValid() const { return mIterator != 0; }
    io_object_t Next() { return mIterator != 0 ? IOIteratorNext(mIterator) : 0; }

private:
    io_iterator_t mIterator = 0;
    bool mWillRelease = true;
};
