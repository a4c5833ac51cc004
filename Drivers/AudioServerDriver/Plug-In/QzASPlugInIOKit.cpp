#include "QzASPlugInIOKit.h"

#include "CAException.h"
#include "VKIOTrace.h"
#include "platform/Log.h"

namespace {

constexpr int kNotice = platform::log::kPriorityNotice;
constexpr uint32_t kCallDriverSelector = 6;

void failure(const char* text, kern_return_t status)
{
    platform::syslog(kNotice, "%s, Error: 0x%X", text, static_cast<unsigned>(status));
}

template <class T> bool numberOf(CFTypeRef value, CFNumberType type, T& out)
{
    if (value == nullptr || CFGetTypeID(value) != CFNumberGetTypeID()) {
        return false;
    }
    T number{};
    CFNumberGetValue(static_cast<CFNumberRef>(value), type, &number);
    out = number;
    return true;
}

bool boolOf(CFTypeRef value, bool& out)
{
    if (value != nullptr && CFGetTypeID(value) == CFBooleanGetTypeID()) {
        out = CFBooleanGetValue(static_cast<CFBooleanRef>(value)) != 0;
        return true;
    }
    int64_t number = 0;
    if (numberOf(value, kCFNumberSInt64Type, number)) {
        out = number != 0;
        return true;
    }
    return false;
}

// `value` retained into `out` when it has the type `typeID`.
template <class Ref> bool typed(CFTypeRef value, CFTypeID typeID, Ref& out)
{
    if (value == nullptr || CFGetTypeID(value) != typeID) {
        return false;
    }
    CFRetain(value);
    out = static_cast<Ref>(value);
    return true;
}

// One property read straight from the registry, released when this goes.
class DirectProperty
{
public:
    DirectProperty(io_object_t object, CFStringRef key)
        : m_value(object != 0 && key != nullptr ? IORegistryEntryCreateCFProperty(object, key, nullptr, 0) : nullptr)
    {
    }
    ~DirectProperty()
    {
        if (m_value != nullptr) {
            CFRelease(m_value);
        }
    }
    DirectProperty(const DirectProperty&) = delete;
    DirectProperty& operator=(const DirectProperty&) = delete;
    CFTypeRef get() const { return m_value; }

private:
    CFTypeRef m_value;
};

} // namespace

// ---- QzASPlugInIOKitObject ----

QzASPlugInIOKitObject::QzASPlugInIOKitObject(io_object_t object) : mObject(object) {}

QzASPlugInIOKitObject::QzASPlugInIOKitObject(CFDictionaryRef properties) : mAlive(false)
{
    if (properties != nullptr) {
        mProperties = CFDictionaryCreateCopy(nullptr, properties);
    }
}

QzASPlugInIOKitObject::QzASPlugInIOKitObject(const QzASPlugInIOKitObject& other)
    : mObject(other.mObject), mReload(other.mReload), mAlive(other.mAlive)
{
    if (mObject != 0) {
        IOObjectRetain(mObject);
    }
    if (other.mProperties != nullptr) {
        mProperties = static_cast<CFDictionaryRef>(CFRetain(other.mProperties));
    }
}

QzASPlugInIOKitObject& QzASPlugInIOKitObject::operator=(const QzASPlugInIOKitObject& other)
{
    if (this == &other) {
        return *this;
    }
    CloseConnection();
    if (other.mObject != 0) {
        IOObjectRetain(other.mObject);
    }
    Release();
    mObject = other.mObject;
    mReload = other.mReload;
    mAlive = other.mAlive;
    setCache(other.mProperties != nullptr ? static_cast<CFDictionaryRef>(CFRetain(other.mProperties)) : nullptr);
    return *this;
}

QzASPlugInIOKitObject& QzASPlugInIOKitObject::operator=(io_object_t object)
{
    CloseConnection();
    Release();
    mObject = object;
    mAlive = true;
    return *this;
}

QzASPlugInIOKitObject::~QzASPlugInIOKitObject()
{
    CloseConnection();
    Release();
    setCache(nullptr);
}

void QzASPlugInIOKitObject::setCache(CFDictionaryRef properties)
{
    if (mProperties != nullptr) {
        CFRelease(mProperties);
    }
    mProperties = properties;
}

void QzASPlugInIOKitObject::PropertiesChanged()
{
    setCache(nullptr);
}

void QzASPlugInIOKitObject::CacheProperties()
{
    if (mObject == 0 || (mProperties != nullptr && !mReload)) {
        return;
    }
    CFMutableDictionaryRef properties = nullptr;
    const kern_return_t status = IORegistryEntryCreateCFProperties(mObject, &properties, nullptr, 0);
    if (status != kIOReturnSuccess) {
        platform::syslog(kNotice,
                         "QzASPlugInIOKitObject::CacheProperties: failed to get the properties from the IO Registry, "
                         "Error: 0x%X",
                         static_cast<unsigned>(status));
        if (properties != nullptr) {
            CFRelease(properties);
        }
        properties = nullptr;
    }
    setCache(properties);
}

void QzASPlugInIOKitObject::Retain()
{
    if (mObject != 0) {
        IOObjectRetain(mObject);
    }
}

void QzASPlugInIOKitObject::Release()
{
    if (mObject != 0) {
        IOObjectRelease(mObject);
        mObject = 0;
    }
    setCache(nullptr);
}

io_object_t QzASPlugInIOKitObject::CopyObject()
{
    Retain();
    return mObject;
}

bool QzASPlugInIOKitObject::IsEqualTo(io_object_t object) const
{
    return IOObjectIsEqualTo(mObject, object) != 0;
}

bool QzASPlugInIOKitObject::ConformsTo(const char* className) const
{
    return mObject != 0 && IOObjectConformsTo(mObject, className) != 0;
}

bool QzASPlugInIOKitObject::TestForLiveness(io_object_t object)
{
    if (object == 0) {
        return false;
    }
    CFMutableDictionaryRef properties = nullptr;
    const bool alive = IORegistryEntryCreateCFProperties(object, &properties, nullptr, 0) == kIOReturnSuccess;
    if (properties != nullptr) {
        CFRelease(properties);
    }
    return alive;
}

void QzASPlugInIOKitObject::OpenConnection(uint32_t type)
{
    if (mObject == 0 || mConnection != 0) {
        return;
    }
    io_connect_t connection = 0;
    const kern_return_t status = IOServiceOpen(mObject, mach_task_self(), type, &connection);
    if (status != kIOReturnSuccess) {
        failure("QzASPlugInIOKitObject::OpenConnection: failed to open a connection", status);
        throw CAException(status);
    }
    mConnection = connection;
}

void QzASPlugInIOKitObject::CloseConnection()
{
    if (mConnection != 0) {
        IOServiceClose(mConnection);
        mConnection = 0;
    }
}

void QzASPlugInIOKitObject::SetConnectionNotificationPort(uint32_t type, mach_port_t port, void* reference)
{
    if (mConnection == 0) {
        return;
    }
    const kern_return_t status =
        IOConnectSetNotificationPort(mConnection, type, port, reinterpret_cast<uintptr_t>(reference));
    if (status != kIOReturnSuccess && port != MACH_PORT_NULL) {
        failure("QzASPlugInIOKitObject::SetConnectionNotificationPort: Cannot set the connection's's notification "
                "port.",
                status);
        throw CAException(status);
    }
}

void* QzASPlugInIOKitObject::MapMemory(uint32_t memoryType, uint32_t, uint32_t expectedSize)
{
    VKIOTrace trace("VKOSXDevice::mapSharedMemory", static_cast<int>(memoryType));
    if (mConnection == 0) {
        return nullptr;
    }
    trace.trace("...requesting shared memory");
    mach_vm_address_t address = 0;
    mach_vm_size_t size = 0;
    const kern_return_t status =
        IOConnectMapMemory64(mConnection, memoryType, mach_task_self(), &address, &size, kIOMapAnywhere);
    if (status != kIOReturnSuccess) {
        trace.tracex("IOConnectMapMemory failed with error", status);
        return nullptr;
    }
    trace.traceptr1("maped atAddress is ", reinterpret_cast<void*>(address));
    if (size != expectedSize) {
        trace.trace("IOConnectMapMemory size mismatch", static_cast<int>(size), static_cast<int>(expectedSize));
        IOConnectUnmapMemory64(mConnection, memoryType, mach_task_self(), address);
        return nullptr;
    }
    trace.traceptr1("Got memory at address", reinterpret_cast<void*>(address));
    return reinterpret_cast<void*>(address);
}

void QzASPlugInIOKitObject::ReleaseMemory(void* address, uint32_t memoryType)
{
    if (mConnection != 0 && address != nullptr) {
        IOConnectUnmapMemory64(mConnection, memoryType, mach_task_self(), reinterpret_cast<mach_vm_address_t>(address));
    }
}

kern_return_t QzASPlugInIOKitObject::CallMethod(uint32_t selector, const uint64_t* scalarIn, uint32_t scalarInCount,
                                                const void* structIn, size_t structInSize, uint64_t* scalarOut,
                                                uint32_t* scalarOutCount, void* structOut, size_t* structOutSize)
{
    if (mConnection == 0 || !mAlive) {
        return kRefused;
    }
    return IOConnectCallMethod(mConnection, selector, scalarIn, scalarInCount, structIn, structInSize, scalarOut,
                               scalarOutCount, structOut, structOutSize);
}

bool QzASPlugInIOKitObject::CallDriver(uint32_t requestCode, OSXDispatch& record)
{
    record.iReq = requestCode;
    if (mConnection == 0 || !mAlive) {
        return false;
    }
    const OSXDispatch request = record;
    size_t replySize = sizeof record;
    const kern_return_t status = IOConnectCallMethod(mConnection, kCallDriverSelector, nullptr, 0, &request,
                                                     sizeof request, nullptr, nullptr, &record, &replySize);
    return status == kIOReturnSuccess && replySize == sizeof record;
}

bool QzASPlugInIOKitObject::CallDetach(OSXDispatch& record)
{
    return CallDriver(Req_DetachClient, record);
}

kern_return_t QzASPlugInIOKitObject::CallTrap(uint32_t index)
{
    if (mConnection == 0 || !mAlive) {
        return kRefused;
    }
    return IOConnectTrap0(mConnection, index);
}

CFTypeRef QzASPlugInIOKitObject::cached(CFStringRef key)
{
    CacheProperties();
    if (mProperties == nullptr || key == nullptr) {
        return nullptr;
    }
    return static_cast<CFTypeRef>(CFDictionaryGetValue(mProperties, key));
}

CFDictionaryRef QzASPlugInIOKitObject::CopyProperties()
{
    CacheProperties();
    return mProperties != nullptr ? static_cast<CFDictionaryRef>(CFRetain(mProperties)) : nullptr;
}

bool QzASPlugInIOKitObject::HasProperty(CFStringRef key)
{
    return cached(key) != nullptr;
}

bool QzASPlugInIOKitObject::CopyProperty_bool(CFStringRef key, bool& value)
{
    return boolOf(cached(key), value);
}

bool QzASPlugInIOKitObject::CopyProperty_SInt32(CFStringRef key, int32_t& value)
{
    return numberOf(cached(key), kCFNumberSInt32Type, value);
}

bool QzASPlugInIOKitObject::CopyProperty_UInt32(CFStringRef key, uint32_t& value)
{
    return numberOf(cached(key), kCFNumberSInt32Type, value);
}

bool QzASPlugInIOKitObject::CopyProperty_UInt64(CFStringRef key, uint64_t& value)
{
    return numberOf(cached(key), kCFNumberSInt64Type, value);
}

bool QzASPlugInIOKitObject::CopyProperty_Fixed32(CFStringRef key, float& value)
{
    return numberOf(cached(key), kCFNumberFloat32Type, value);
}

bool QzASPlugInIOKitObject::CopyProperty_Fixed64(CFStringRef key, double& value)
{
    return numberOf(cached(key), kCFNumberFloat64Type, value);
}

bool QzASPlugInIOKitObject::CopyProperty_CFString(CFStringRef key, CFStringRef& value)
{
    return typed(cached(key), CFStringGetTypeID(), value);
}

bool QzASPlugInIOKitObject::CopyProperty_CFArray(CFStringRef key, CFArrayRef& value)
{
    return typed(cached(key), CFArrayGetTypeID(), value);
}

bool QzASPlugInIOKitObject::CopyProperty_CFDictionary(CFStringRef key, CFDictionaryRef& value)
{
    return typed(cached(key), CFDictionaryGetTypeID(), value);
}

bool QzASPlugInIOKitObject::CopyProperty_CFType(CFStringRef key, CFTypeRef& value)
{
    CFTypeRef found = cached(key);
    if (found == nullptr) {
        return false;
    }
    value = CFRetain(found);
    return true;
}

bool QzASPlugInIOKitObject::CopyProperty_bool(io_object_t object, CFStringRef key, bool& value)
{
    DirectProperty property(object, key);
    return boolOf(property.get(), value);
}

bool QzASPlugInIOKitObject::CopyProperty_SInt32(io_object_t object, CFStringRef key, int32_t& value)
{
    DirectProperty property(object, key);
    return numberOf(property.get(), kCFNumberSInt32Type, value);
}

bool QzASPlugInIOKitObject::CopyProperty_UInt32(io_object_t object, CFStringRef key, uint32_t& value)
{
    DirectProperty property(object, key);
    return numberOf(property.get(), kCFNumberSInt32Type, value);
}

bool QzASPlugInIOKitObject::CopyProperty_CFString(io_object_t object, CFStringRef key, CFStringRef& value)
{
    DirectProperty property(object, key);
    return typed(property.get(), CFStringGetTypeID(), value);
}

bool QzASPlugInIOKitObject::CopyProperty_CFArray(io_object_t object, CFStringRef key, CFArrayRef& value)
{
    DirectProperty property(object, key);
    return typed(property.get(), CFArrayGetTypeID(), value);
}

bool QzASPlugInIOKitObject::CopyProperty_CFDictionary(io_object_t object, CFStringRef key, CFDictionaryRef& value)
{
    DirectProperty property(object, key);
    return typed(property.get(), CFDictionaryGetTypeID(), value);
}

void QzASPlugInIOKitObject::SetProperty(CFStringRef key, CFTypeRef value)
{
    const kern_return_t status = IORegistryEntrySetCFProperty(mObject, key, value);
    if (status != kIOReturnSuccess) {
        failure("QzASPlugInIOKitObject::SetProperty: got an error from the IORegistry", status);
        throw CAException(status);
    }
}

void QzASPlugInIOKitObject::SetProperty_bool(CFStringRef key, bool value)
{
    SetProperty_SInt32(key, value ? 1 : 0);
}

void QzASPlugInIOKitObject::SetProperty_SInt32(CFStringRef key, int32_t value)
{
    CFNumberRef number = CFNumberCreate(nullptr, kCFNumberSInt32Type, &value);
    try {
        SetProperty(key, number);
    } catch (...) {
        CFRelease(number);
        throw;
    }
    CFRelease(number);
}

void QzASPlugInIOKitObject::SetProperty_UInt32(CFStringRef key, uint32_t value)
{
    SetProperty_SInt32(key, static_cast<int32_t>(value));
}

io_object_t QzASPlugInIOKitObject::CopyMatchingObjectWithPropertyValue(CFDictionaryRef matching, CFStringRef key,
                                                                       CFTypeRef value)
{
    if (matching == nullptr || key == nullptr || value == nullptr) {
        return 0;
    }
    mach_port_t master = MACH_PORT_NULL;
    const kern_return_t status = IOMasterPort(MACH_PORT_NULL, &master);
    if (status != kIOReturnSuccess) {
        failure("QzASPlugInIOKitObject::CopyMatchingObjectWithPropertyValue: IOMasterPort failed", status);
        throw CAException(status);
    }
    CFRetain(matching); // the lookup consumes one reference
    io_iterator_t iterator = 0;
    if (IOServiceGetMatchingServices(master, matching, &iterator) != kIOReturnSuccess) {
        return 0;
    }
    QzASPlugInIOKitIterator services(iterator, true);
    for (io_object_t service = services.Next(); service != 0; service = services.Next()) {
        QzASPlugInIOKitObject candidate(service);
        CFTypeRef found = nullptr;
        if (candidate.CopyProperty_CFType(key, found)) {
            const bool equal = CFEqual(found, value) != 0;
            CFRelease(found);
            if (equal) {
                return candidate.CopyObject();
            }
        }
    }
    return 0;
}

io_object_t QzASPlugInIOKitObject::CopyChildWithIntegerPropertyValues(io_object_t parent, CFStringRef key1,
                                                                      uint32_t value1, CFStringRef key2,
                                                                      uint32_t value2)
{
    QzASPlugInIOKitIterator children(parent, "IOService");
    for (io_object_t child = children.Next(); child != 0; child = children.Next()) {
        QzASPlugInIOKitObject candidate(child);
        uint32_t v1 = 0;
        uint32_t v2 = 0;
        if (candidate.CopyProperty_UInt32(key1, v1) && candidate.CopyProperty_UInt32(key2, v2) && v1 == value1 &&
            v2 == value2) {
            return candidate.CopyObject();
        }
    }
    return 0;
}

io_object_t QzASPlugInIOKitObject::CopyParentByClassName(io_object_t object, const char* className,
                                                         const char* plane)
{
    QzASPlugInIOKitIterator parents(object, plane, true);
    for (io_object_t parent = parents.Next(); parent != 0; parent = parents.Next()) {
        QzASPlugInIOKitObject candidate(parent);
        if (candidate.ConformsTo(className)) {
            return candidate.CopyObject();
        }
    }
    return 0;
}

// ---- QzASPlugInIOKitIterator ----

QzASPlugInIOKitIterator::QzASPlugInIOKitIterator(io_iterator_t iterator, bool willRelease)
    : mIterator(iterator), mWillRelease(willRelease)
{
}

QzASPlugInIOKitIterator::QzASPlugInIOKitIterator(io_object_t object, const char* plane)
{
    if (IORegistryEntryGetChildIterator(object, plane, &mIterator) != kIOReturnSuccess) {
        mIterator = 0;
    }
}

QzASPlugInIOKitIterator::QzASPlugInIOKitIterator(io_object_t object, const char* plane, bool)
{
    if (IORegistryEntryGetParentIterator(object, plane, &mIterator) != kIOReturnSuccess) {
        mIterator = 0;
    }
}

QzASPlugInIOKitIterator::QzASPlugInIOKitIterator(CFMutableDictionaryRef matching)
{
    if (IOServiceGetMatchingServices(kIOMasterPortDefault, matching, &mIterator) != kIOReturnSuccess) {
        mIterator = 0;
    }
}

// A copy holds a reference of its own only when it will release it: a copy that does not release
// takes none, so nothing leaks.
QzASPlugInIOKitIterator::QzASPlugInIOKitIterator(const QzASPlugInIOKitIterator& other)
    : mIterator(other.mIterator), mWillRelease(other.mWillRelease)
{
    if (mIterator != 0 && mWillRelease) {
        IOObjectRetain(mIterator);
    }
}

QzASPlugInIOKitIterator& QzASPlugInIOKitIterator::operator=(io_iterator_t iterator)
{
    if (iterator != 0 && mWillRelease) {
        IOObjectRetain(iterator);
    }
    Release();
    mIterator = iterator;
    return *this;
}

QzASPlugInIOKitIterator::~QzASPlugInIOKitIterator()
{
    Release();
}

void QzASPlugInIOKitIterator::Release()
{
    if (mWillRelease && mIterator != 0) {
        IOObjectRelease(mIterator);
    }
    mIterator = 0;
}
