#include "QzASPlugInPlugIn.h"

#include <cstring>
#include <mutex>

#include "CAException.h"
#include "QzASPlugInDeviceBase.h"
#include "QzASPlugInObjectMap.h"
#include "VKIOTrace.h"
#include "platform/Log.h"

namespace {

constexpr const char* kDeviceServiceClass = "VKKernelDevice";
constexpr UInt32 kStateChangeRecordSize = 36;

#define notice(...) platform::syslog(platform::log::kPriorityNotice, __VA_ARGS__)

bool isPlugInSelector(AudioObjectPropertySelector selector)
{
    switch (selector) {
    case kAudioPlugInPropertyDeviceList:
    case kAudioObjectPropertyOwnedObjects:
    case kAudioObjectPropertyManufacturer:
    case kAudioPlugInPropertyResourceBundle:
    case kAudioPlugInPropertyTranslateUIDToDevice:
        return true;
    default:
        return false;
    }
}

bool isGlobalMain(const AudioObjectPropertyAddress& address)
{
    return address.mScope == kAudioObjectPropertyScopeGlobal && address.mElement == kAudioObjectPropertyElementMaster;
}

void announceDeviceList()
{
    const AudioObjectPropertyAddress addresses[] = {
        {kAudioObjectPropertyOwnedObjects, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMaster},
        {kAudioPlugInPropertyDeviceList, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMaster}};
    QzASPlugInPlugIn::Host_PropertiesChanged(kAudioObjectPlugInObject, 2, addresses);
}

AudioObjectID objectIDOf(void* refcon)
{
    return static_cast<AudioObjectID>(reinterpret_cast<uintptr_t>(refcon) & 0xFFFFFFFFU);
}

bool isSystemPowerMessage(natural_t messageType)
{
    switch (messageType) {
    case kIOMessageCanSystemSleep:
    case kIOMessageSystemWillSleep:
    case kIOMessageSystemWillNotSleep:
    case kIOMessageSystemHasPoweredOn:
    case kIOMessageSystemWillPowerOn:
        return true;
    default:
        return false;
    }
}

// The matching pass: one device per new service. Called from the matching notification and,
// once, directly by the discovery start (firstPass), where a missing plug-in is an error.
void matchDevices(void* refcon, io_iterator_t iterator, bool firstPass)
{
    VKIOTrace trace("QzASPlugInPlugIn::IOServiceMatchingHandler", static_cast<int>(objectIDOf(refcon)));
    QzASPlugInObjectReleaser<QzASPlugInPlugIn> plugIn(
        QzASPlugInObjectMap::CopyObjectOfClassByObjectID<QzASPlugInPlugIn>(objectIDOf(refcon)));
    if (!plugIn.IsValid()) {
        notice("QzASPlugInPlugIn::IOServiceMatchingHandler: no plug-in object");
        if (firstPass) {
            throw CAException(kAudioHardwareIllegalOperationError);
        }
        return;
    }
    bool changed = false;
    while (io_object_t service = IOIteratorNext(iterator)) {
        if (IOObjectConformsTo(service, kDeviceServiceClass)) {
            QzASPlugInDeviceBase* device = nullptr;
            try {
                const AudioObjectID deviceID = QzASPlugInObjectMap::GetNextObjectID();
                device = QzASPlugInDeviceBase::Create(deviceID, service);
                if (device == nullptr || !QzASPlugInObjectMap::MapObject(deviceID, device)) {
                    delete device;
                    device = nullptr;
                    throw CAException(kAudioHardwareUnspecifiedError);
                }
                plugIn->AddDevice(device);
                device->Activate();
                changed = true;
            } catch (...) {
                if (device != nullptr) {
                    plugIn->RemoveDevice(device);
                    QzASPlugInObjectMap::ReleaseObject(device);
                }
            }
        }
        IOObjectRelease(service);
    }
    if (changed) {
        announceDeviceList();
    }
}

} // namespace

// --- Creation

QzASPlugInPlugIn::QzASPlugInPlugIn()
    : QzASPlugInObject(kAudioObjectPlugInObject, kAudioPlugInClassID, kAudioObjectClassID, kAudioObjectUnknown)
{
}

QzASPlugInPlugIn::~QzASPlugInPlugIn() = default;

QzASPlugInPlugIn* QzASPlugInPlugIn::GetInstance()
{
    static std::once_flag sStaticInitializer;
    std::call_once(sStaticInitializer, [] {
        QzASPlugInPlugIn* plugIn = nullptr;
        try {
            plugIn = new QzASPlugInPlugIn();
            if (!QzASPlugInObjectMap::MapObject(kAudioObjectPlugInObject, plugIn)) {
                throw CAException(kAudioHardwareUnspecifiedError);
            }
            plugIn->Activate();
            sInstance.store(plugIn, std::memory_order_release);
        } catch (...) {
            notice("QzASPlugInPlugIn::StaticInitializer: failed to create the plug-in");
            delete plugIn;
        }
    });
    return sInstance.load(std::memory_order_acquire);
}

void QzASPlugInPlugIn::Activate()
{
    VKIOTrace trace("QzASPlugInPlugIn::Activate", static_cast<int>(GetObjectID()));
    QzASPlugInObject::Activate();
}

void QzASPlugInPlugIn::Deactivate()
{
    VKIOTrace trace("QzASPlugInPlugIn::Deactivate", static_cast<int>(GetObjectID()));
    CAMutex::Locker locker(mMutex);
    QzASPlugInObject::Deactivate();
    _StopDeviceListNotifications();
    _RemoveAllDevices();
}

// --- Properties

bool QzASPlugInPlugIn::HasProperty(AudioObjectID objectID, pid_t clientProcessID,
                                   const AudioObjectPropertyAddress& address) const
{
    VKIOTrace trace(nullptr, static_cast<int>(objectID));
    if (isPlugInSelector(address.mSelector)) {
        return isGlobalMain(address);
    }
    return QzASPlugInObject::HasProperty(objectID, clientProcessID, address);
}

bool QzASPlugInPlugIn::IsPropertySettable(AudioObjectID objectID, pid_t clientProcessID,
                                          const AudioObjectPropertyAddress& address) const
{
    VKIOTrace trace("QzASPlugInPlugIn::IsPropertySettable", static_cast<int>(objectID));
    if (isPlugInSelector(address.mSelector)) {
        return false;
    }
    return QzASPlugInObject::IsPropertySettable(objectID, clientProcessID, address);
}

UInt32 QzASPlugInPlugIn::GetPropertyDataSize(AudioObjectID objectID, pid_t clientProcessID,
                                             const AudioObjectPropertyAddress& address, UInt32 qualifierDataSize,
                                             const void* qualifierData) const
{
    VKIOTrace trace(nullptr, static_cast<int>(objectID));
    switch (address.mSelector) {
    case kAudioPlugInPropertyDeviceList:
    case kAudioObjectPropertyOwnedObjects: {
        CAMutex::Locker locker(mMutex);
        return static_cast<UInt32>(mDeviceInfoList.size() * sizeof(AudioObjectID));
    }
    case kAudioObjectPropertyManufacturer:
    case kAudioPlugInPropertyResourceBundle:
        return sizeof(CFStringRef);
    case kAudioPlugInPropertyTranslateUIDToDevice:
        return sizeof(AudioObjectID);
    default:
        return QzASPlugInObject::GetPropertyDataSize(objectID, clientProcessID, address, qualifierDataSize,
                                                     qualifierData);
    }
}

void QzASPlugInPlugIn::GetPropertyData(AudioObjectID objectID, pid_t clientProcessID,
                                       const AudioObjectPropertyAddress& address, UInt32 qualifierDataSize,
                                       const void* qualifierData, UInt32 dataSize, UInt32& outDataSize,
                                       void* outData) const
{
    VKIOTrace trace(nullptr, static_cast<int>(objectID));
    trace.trace4c("Selector", address.mSelector);
    switch (address.mSelector) {
    case kAudioPlugInPropertyDeviceList:
    case kAudioObjectPropertyOwnedObjects: {
        CAMutex::Locker locker(mMutex);
        const size_t count = std::min<size_t>(dataSize / sizeof(AudioObjectID), mDeviceInfoList.size());
        auto* ids = static_cast<AudioObjectID*>(outData);
        for (size_t index = 0; index < count; ++index) {
            ids[index] = mDeviceInfoList[index].mDeviceObjectID;
        }
        outDataSize = static_cast<UInt32>(count * sizeof(AudioObjectID));
        break;
    }
    case kAudioObjectPropertyManufacturer:
        if (dataSize < sizeof(CFStringRef)) {
            notice("QzASPlugInPlugIn::GetPropertyData: not enough space for the return value of "
                   "kAudioObjectPropertyManufacturer");
            throw CAException(kAudioHardwareBadPropertySizeError);
        }
        *static_cast<CFStringRef*>(outData) = CFSTR("Apple Inc.");
        outDataSize = sizeof(CFStringRef);
        break;
    case kAudioPlugInPropertyResourceBundle:
        if (dataSize < sizeof(CFStringRef)) {
            notice("QzASPlugInGetPlugInPropertyData: not enough space for the return value of "
                   "kAudioPlugInPropertyResourceBundle");
            throw CAException(kAudioHardwareBadPropertySizeError);
        }
        *static_cast<CFStringRef*>(outData) = CFSTR("");
        outDataSize = sizeof(CFStringRef);
        break;
    case kAudioPlugInPropertyTranslateUIDToDevice: {
        if (qualifierDataSize < sizeof(CFStringRef)) {
            notice("QzASPlugInPlugIn::GetPropertyData: the qualifier size is too small for "
                   "kAudioPlugInPropertyTranslateUIDToDevice");
            throw CAException(kAudioHardwareBadPropertySizeError);
        }
        if (dataSize < sizeof(AudioObjectID)) {
            notice("QzASPlugInPlugIn::GetPropertyData: not enough space for the return value of "
                   "kAudioPlugInPropertyTranslateUIDToDevice");
            throw CAException(kAudioHardwareBadPropertySizeError);
        }
        if (qualifierData == nullptr) {
            notice("QzASPlugInPlugIn::GetPropertyData: no qualifier for kAudioPlugInPropertyTranslateUIDToDevice");
            throw CAException(kAudioHardwareIllegalOperationError);
        }
        CFStringRef uid = nullptr;
        std::memcpy(&uid, qualifierData, sizeof uid);
        AudioObjectID found = kAudioObjectUnknown;
        if (uid != nullptr && CFGetTypeID(uid) == CFStringGetTypeID()) {
            CAMutex::Locker locker(mMutex);
            for (const DeviceInfo& info : mDeviceInfoList) {
                QzASPlugInObjectReleaser<QzASPlugInDeviceBase> device(
                    QzASPlugInObjectMap::CopyObjectOfClassByObjectID<QzASPlugInDeviceBase>(info.mDeviceObjectID));
                if (!device.IsValid()) {
                    continue;
                }
                CFStringRef deviceUID = device->CopyDeviceUID();
                const bool equal = deviceUID != nullptr && CFEqual(deviceUID, uid);
                if (deviceUID != nullptr) {
                    CFRelease(deviceUID);
                }
                if (equal) {
                    found = info.mDeviceObjectID;
                    break;
                }
            }
        }
        *static_cast<AudioObjectID*>(outData) = found;
        outDataSize = sizeof(AudioObjectID);
        break;
    }
    default:
        QzASPlugInObject::GetPropertyData(objectID, clientProcessID, address, qualifierDataSize, qualifierData,
                                          dataSize, outDataSize, outData);
        break;
    }
}

void QzASPlugInPlugIn::SetPropertyData(AudioObjectID objectID, pid_t clientProcessID,
                                       const AudioObjectPropertyAddress& address, UInt32 qualifierDataSize,
                                       const void* qualifierData, UInt32 dataSize, const void* data)
{
    VKIOTrace trace(nullptr, static_cast<int>(objectID));
    QzASPlugInObject::SetPropertyData(objectID, clientProcessID, address, qualifierDataSize, qualifierData, dataSize,
                                      data);
}

// --- Discovery

void QzASPlugInPlugIn::_StartDeviceListNotifications()
{
    VKIOTrace trace("QzASPlugInPlugIn::_StartDeviceListNotifications", static_cast<int>(GetObjectID()));
    io_iterator_t iterator = 0;
    {
        CAMutex::Locker locker(mMutex);
        if (mNotificationPort != nullptr || mMatchingIterator != 0) {
            return;
        }
        try {
            mach_port_t masterPort = 0;
            const kern_return_t status = IOMasterPort(MACH_PORT_NULL, &masterPort);
            if (status != KERN_SUCCESS) {
                notice("QzASPlugInPlugIn::_StartDeviceListNotifications: IOMasterPort failed, Error: 0x%X",
                       static_cast<unsigned>(status));
                throw CAException(status);
            }
            mNotificationPort = IONotificationPortCreate(masterPort);
            if (mNotificationPort == nullptr) {
                notice("QzASPlugInPlugIn::_StartDeviceListNotifications: IONotificationPortCreate failed");
                throw CAException(kAudioHardwareUnspecifiedError);
            }
            IONotificationPortSetDispatchQueue(mNotificationPort, mDispatchQueue.GetDispatchQueue());
            CFMutableDictionaryRef matching = IOServiceMatching(kDeviceServiceClass);
            if (matching == nullptr) {
                notice("QzASPlugInPlugIn::_StartDeviceListNotifications: IOServiceMatching failed");
                throw CAException(kAudioHardwareUnspecifiedError);
            }
            const kern_return_t added =
                IOServiceAddMatchingNotification(mNotificationPort, kIOFirstPublishNotification, matching,
                                                 &IOServiceMatchingHandler, GetObjectIDAsPtr(), &mMatchingIterator);
            if (added != KERN_SUCCESS) {
                notice("QzASPlugInPlugIn::_StartDeviceListNotifications: IOServiceAddMatchingNotification failed, "
                       "Error: 0x%X",
                       static_cast<unsigned>(added));
                throw CAException(added);
            }
            iterator = mMatchingIterator;
        } catch (...) {
            _StopDeviceListNotifications();
            throw;
        }
    }
    // The services already published, on this thread; the device list takes the mutex itself.
    try {
        matchDevices(GetObjectIDAsPtr(), iterator, true);
    } catch (...) {
        CAMutex::Locker locker(mMutex);
        _StopDeviceListNotifications();
        throw;
    }
}

void QzASPlugInPlugIn::_StopDeviceListNotifications()
{
    CAMutex::Locker locker(mMutex);
    if (mMatchingIterator != 0) {
        IOObjectRelease(mMatchingIterator);
        mMatchingIterator = 0;
    }
    if (mNotificationPort != nullptr) {
        IONotificationPortDestroy(mNotificationPort);
        mNotificationPort = nullptr;
    }
}

void QzASPlugInPlugIn::IOServiceMatchingHandler(void* refcon, io_iterator_t iterator)
{
    try {
        matchDevices(refcon, iterator, false);
    } catch (...) {
        notice("QzASPlugInPlugIn::IOServiceMatchingHandler: matching failed");
    }
}

// --- The device list

void QzASPlugInPlugIn::AddDevice(QzASPlugInDeviceBase* device)
{
    CAMutex::Locker locker(mMutex);
    _AddDevice(device);
}

void QzASPlugInPlugIn::RemoveDevice(QzASPlugInDeviceBase* device)
{
    CAMutex::Locker locker(mMutex);
    _RemoveDevice(device);
}

QzASPlugInDeviceBase* QzASPlugInPlugIn::CopyDeviceByIOObject(io_object_t service)
{
    CAMutex::Locker locker(mMutex);
    return _CopyDeviceByIOObject(service);
}

std::vector<AudioObjectID> QzASPlugInPlugIn::CopyDeviceList() const
{
    CAMutex::Locker locker(mMutex);
    std::vector<AudioObjectID> ids;
    for (const DeviceInfo& info : mDeviceInfoList) {
        ids.push_back(info.mDeviceObjectID);
    }
    return ids;
}

void QzASPlugInPlugIn::ReleaseDeviceInfo(DeviceInfo& info)
{
    for (io_object_t* handle : {&info.mInterestNotification, &info.mPowerStateNotification}) {
        if (*handle != 0) {
            IOObjectRelease(*handle);
            *handle = 0;
        }
    }
    if (info.mSystemPowerNotifier != 0) {
        IODeregisterForSystemPower(&info.mSystemPowerNotifier);
        info.mSystemPowerNotifier = 0;
    }
    if (info.mRootPowerConnection != 0) {
        IOServiceClose(info.mRootPowerConnection);
        info.mRootPowerConnection = 0;
    }
    if (info.mPowerPort != nullptr) {
        IONotificationPortDestroy(info.mPowerPort);
        info.mPowerPort = nullptr;
    }
    if (info.mService != 0) {
        IOObjectRelease(info.mService);
        info.mService = 0;
    }
}

// Each device keeps its own registrations, port and power connection, so that removing one
// device leaves the others' notifications alone.
void QzASPlugInPlugIn::_AddDevice(QzASPlugInDeviceBase* device)
{
    if (device == nullptr) {
        return;
    }
    DeviceInfo info(device->GetObjectID());
    try {
        info.mService = device->GetIOKitObject();
        IOObjectRetain(info.mService);
        kern_return_t status =
            IOServiceAddInterestNotification(mNotificationPort, info.mService, kIOGeneralInterest,
                                             &IOServiceInterestHandler, GetObjectIDAsPtr(), &info.mInterestNotification);
        if (status != KERN_SUCCESS) {
            notice("QzASPlugInPlugIn::_AddDevice: Cannot add an interest callback., Error: 0x%X",
                   static_cast<unsigned>(status));
            throw CAException(status);
        }
        const uintptr_t powerRefcon = (static_cast<uintptr_t>(GetObjectID()) << 32) | info.mService;
        info.mRootPowerConnection = IORegisterForSystemPower(reinterpret_cast<void*>(powerRefcon), &info.mPowerPort,
                                                             &IOServiceInterestHandler, &info.mSystemPowerNotifier);
        if (info.mRootPowerConnection == 0) {
            notice("QzASPlugInPlugIn::_AddDevice: Cannot add power interest callback.");
            throw CAException(kAudioHardwareUnspecifiedError);
        }
        status = IOServiceAddInterestNotification(info.mPowerPort, info.mService, "IOPriorityPowerStateInterest",
                                                  &IOServiceInterestHandler, GetObjectIDAsPtr(),
                                                  &info.mPowerStateNotification);
        if (status != KERN_SUCCESS) {
            notice("QzASPlugInPlugIn::_AddDevice: Cannot add an interest callback., Error: 0x%X",
                   static_cast<unsigned>(status));
            throw CAException(status);
        }
        IONotificationPortSetDispatchQueue(info.mPowerPort, mDispatchQueue.GetDispatchQueue());
        mDeviceInfoList.push_back(info);
    } catch (...) {
        ReleaseDeviceInfo(info);
        throw;
    }
}

void QzASPlugInPlugIn::_RemoveDevice(QzASPlugInDeviceBase* device)
{
    if (device == nullptr) {
        return;
    }
    VKIOTrace trace("QzASPlugInPlugIn::_RemoveDevice", static_cast<const void*>(device));
    for (auto entry = mDeviceInfoList.begin(); entry != mDeviceInfoList.end(); ++entry) {
        if (entry->mDeviceObjectID != device->GetObjectID()) {
            continue;
        }
        const int deviceID = static_cast<int>(entry->mDeviceObjectID);
        platform::syslog(platform::log::kPriorityWarning, "_RemoveDevice: found device %d\n", deviceID);
        ReleaseDeviceInfo(*entry);
        mDeviceInfoList.erase(entry);
        platform::syslog(platform::log::kPriorityWarning, "_RemoveDevice: removed device %d\n", deviceID);
        return;
    }
}

// By the service (names compare equal exactly when the services do), not by the UID: two devices
// may carry the same UID, and a terminated service may no longer answer its UID.
QzASPlugInDeviceBase* QzASPlugInPlugIn::_CopyDeviceByIOObject(io_object_t service)
{
    if (service == 0) {
        return nullptr;
    }
    for (const DeviceInfo& info : mDeviceInfoList) {
        if (info.mService == service) {
            return QzASPlugInObjectMap::CopyObjectOfClassByObjectID<QzASPlugInDeviceBase>(info.mDeviceObjectID);
        }
    }
    return nullptr;
}

// Every device is withdrawn later on the global serial queue; the list is emptied now, so that
// nobody reads a withdrawn identifier from it.
void QzASPlugInPlugIn::_RemoveAllDevices()
{
    VKIOTrace trace("QzASPlugInPlugIn::_RemoveAllDevices", static_cast<int>(GetObjectID()));
    for (DeviceInfo& info : mDeviceInfoList) {
        const AudioObjectID deviceID = info.mDeviceObjectID;
        ReleaseDeviceInfo(info);
        CADispatchQueue::GetGlobalSerialQueue().Dispatch([deviceID] {
            try {
                QzASPlugInObjectReleaser<QzASPlugInDeviceBase> device(
                    QzASPlugInObjectMap::CopyObjectOfClassByObjectID<QzASPlugInDeviceBase>(deviceID));
                if (device.IsValid()) {
                    device->Deactivate();
                    QzASPlugInObjectMap::ReleaseObject(device);
                }
            } catch (...) {
            }
        });
    }
    mDeviceInfoList.clear();
}

// --- Interest messages

void QzASPlugInPlugIn::IOServiceInterestHandler(void* refcon, io_service_t service, natural_t messageType,
                                                void* argument)
{
    VKIOTrace trace(nullptr, static_cast<int>(messageType));
    trace.tracex("inMessageType", static_cast<int>(messageType));
    if (service == 0 || service == 0xFFFFFFFFU) {
        return;
    }
    try {
        if (messageType == kIOMessageServiceIsTerminated) {
            platform::syslog(platform::log::kPriorityWarning, "AudioServer: %s\n", "Service terminated");
            QzASPlugInObjectReleaser<QzASPlugInPlugIn> plugIn(
                QzASPlugInObjectMap::CopyObjectOfClassByObjectID<QzASPlugInPlugIn>(objectIDOf(refcon)));
            if (!plugIn.IsValid()) {
                notice("QzASPlugInPlugIn::IOServiceInterestHandler: no plug-in object");
                return;
            }
            QzASPlugInObjectReleaser<QzASPlugInDeviceBase> device(plugIn->CopyDeviceByIOObject(service));
            if (!device.IsValid()) {
                return;
            }
            trace.traceptr1("Found device", device.Get());
            plugIn->RemoveDevice(device);
            device->Deactivate();
            QzASPlugInObjectMap::ReleaseObject(device);
            announceDeviceList();
        } else if (messageType == kIOMessageServicePropertyChange) {
            if (argument == nullptr) {
                platform::syslog(platform::log::kPriorityWarning, "AudioServer: %s\n",
                                 "state change without its record, dropped");
                return;
            }
            UInt32 size = 0;
            UInt32 code = 0;
            std::memcpy(&size, argument, sizeof size);
            if (size != kStateChangeRecordSize) {
                platform::syslog(platform::log::kPriorityWarning, "AudioServer: %s %d %d\n",
                                 "pQZ_StateChange->size != sizeof(QZ_StateChange) ", static_cast<int>(size),
                                 static_cast<int>(kStateChangeRecordSize));
                return;
            }
            std::memcpy(&code, static_cast<const UInt8*>(argument) + 4, sizeof code);
            QzASPlugInObjectReleaser<QzASPlugInPlugIn> plugIn(
                QzASPlugInObjectMap::CopyObjectOfClassByObjectID<QzASPlugInPlugIn>(objectIDOf(refcon)));
            if (!plugIn.IsValid()) {
                notice("QzASPlugInPlugIn::IOServiceInterestHandler: no plug-in object");
                return;
            }
            QzASPlugInObjectReleaser<QzASPlugInDeviceBase> device(plugIn->CopyDeviceByIOObject(service));
            if (!device.IsValid()) {
                platform::syslog(platform::log::kPriorityError,
                                 "IOServiceInterestHandler, Device NULL, returning. Message was PropertyChange:%03X\n",
                                 code);
                return;
            }
            device->PropertyNotificationHandler(messageType, argument);
        } else if (isSystemPowerMessage(messageType)) {
            const auto value = reinterpret_cast<uintptr_t>(refcon);
            const auto plugInID = static_cast<AudioObjectID>(static_cast<uint64_t>(value) >> 32);
            const auto deviceService = static_cast<io_object_t>(value & 0xFFFFFFFFU);
            platform::syslog(platform::log::kPriorityWarning, "IOServiceInterestHandler theObject=%d, theService=%d\n",
                             static_cast<int>(plugInID), static_cast<int>(deviceService));
            QzASPlugInObjectReleaser<QzASPlugInPlugIn> plugIn(
                QzASPlugInObjectMap::CopyObjectOfClassByObjectID<QzASPlugInPlugIn>(plugInID));
            if (!plugIn.IsValid()) {
                platform::syslog(platform::log::kPriorityError,
                                 "QzASPlugInPlugIn::IOServiceInterestHandler: no plugin object, receiving %08X",
                                 messageType);
                return;
            }
            QzASPlugInObjectReleaser<QzASPlugInDeviceBase> device(plugIn->CopyDeviceByIOObject(deviceService));
            if (!device.IsValid()) {
                platform::syslog(platform::log::kPriorityError,
                                 "QzASPlugInPlugIn::IOServiceInterestHandler: no device object, receiving %08X",
                                 messageType);
                return;
            }
            device->PropertyNotificationHandler(messageType, nullptr);
        }
    } catch (const CAException& error) {
        notice("QzASPlugInPlugIn::IOServiceInterestHandler: message %08X failed, Error: 0x%X", messageType,
               static_cast<unsigned>(error.GetError()));
    } catch (...) {
        notice("QzASPlugInPlugIn::IOServiceInterestHandler: message %08X failed", messageType);
    }
}
