#include "QzASPlugInDeviceBase.h"

CFStringRef QzASPlugInDeviceBase::HW_CopyDeviceUID(io_object_t service)
{
    if (service == 0) {
        return nullptr;
    }
    CFTypeRef value = IORegistryEntryCreateCFProperty(service, CFSTR("deviceUID"), kCFAllocatorDefault, 0);
    if (value != nullptr && CFGetTypeID(value) != CFStringGetTypeID()) {
        CFRelease(value);
        return nullptr;
    }
    return static_cast<CFStringRef>(value);
}
