// The plug-in's access to the host interface: property announcements, configuration-change
// requests and the host's storage.
#include "QzASPlugInPlugIn.h"
#include "VKIOTrace.h"
#include "platform/Log.h"

void QzASPlugInPlugIn::SetHost(AudioServerPlugInHostRef host)
{
    sHost.store(host, std::memory_order_release);
}

AudioServerPlugInHostRef QzASPlugInPlugIn::GetHost()
{
    return sHost.load(std::memory_order_acquire);
}

OSStatus QzASPlugInPlugIn::CopyFromStorage(CFStringRef key, CFPropertyListRef* outData)
{
    const AudioServerPlugInHostRef host = GetHost();
    if (host == nullptr) {
        const void* second = sInstance.load(std::memory_order_acquire) != nullptr
                                 ? static_cast<const void*>(host)
                                 : reinterpret_cast<const void*>(static_cast<uintptr_t>(0xFFFF));
        platform::syslog(platform::log::kPriorityError, "CopyFromStorage: Can't get host.(%p, %p)",
                         static_cast<const void*>(host), second);
        return -1;
    }
    return host->CopyFromStorage(host, key, outData);
}

OSStatus QzASPlugInPlugIn::WriteToStorage(CFStringRef key, CFPropertyListRef data)
{
    const AudioServerPlugInHostRef host = GetHost();
    if (host == nullptr || data == nullptr) {
        return -1;
    }
    return host->WriteToStorage(host, key, data);
}

void QzASPlugInPlugIn::Host_PropertiesChanged(AudioObjectID objectID, UInt32 numberAddresses,
                                              const AudioObjectPropertyAddress* addresses)
{
    const AudioServerPlugInHostRef host = GetHost();
    if (host != nullptr) {
        host->PropertiesChanged(host, objectID, numberAddresses, addresses);
    }
}

void QzASPlugInPlugIn::Host_RequestDeviceConfigurationChange(AudioObjectID deviceObjectID, UInt64 changeAction,
                                                             void* changeInfo)
{
    VKIOTrace trace("Host_RequestDeviceConfigurationChange", static_cast<int>(deviceObjectID));
    const AudioServerPlugInHostRef host = GetHost();
    if (host != nullptr) {
        platform::syslog(platform::log::kPriorityWarning, "Host_RequestDeviceConfigurationChange: shost %p\n",
                         static_cast<const void*>(host));
        host->RequestDeviceConfigurationChange(host, deviceObjectID, changeAction, changeInfo);
    }
}
