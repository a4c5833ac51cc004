#include <algorithm>
#include <iterator>
#include <thread>
#include <vector>

#include "CoreFoundation/CoreFoundation.h"
#include "IOKit/IOCatalogue.h"
#include "IOKit/IOLib.h"
#include "kernel_host/KernelHost.h"

namespace kernel_host {
namespace {

// A CF string as UTF-8 text; false when it is not a string.
bool text(CFTypeRef value, std::string* out)
{
    if (value == nullptr || CFGetTypeID(value) != CFStringGetTypeID()) {
        return false;
    }
    const auto string = static_cast<CFStringRef>(value);
    std::vector<char> buffer(static_cast<size_t>(CFStringGetMaximumSizeForEncoding(CFStringGetLength(string),
                                                                                   kCFStringEncodingUTF8)) +
                             1);
    if (!CFStringGetCString(string, buffer.data(), static_cast<CFIndex>(buffer.size()),
                            kCFStringEncodingUTF8)) {
        return false;
    }
    *out = buffer.data();
    return true;
}

} // namespace

OSObject* kernelObjectFromPropertyList(CFTypeRef value)
{
    if (value == nullptr) {
        return nullptr;
    }
    const CFTypeID type = CFGetTypeID(value);
    if (type == CFStringGetTypeID()) {
        std::string s;
        return text(value, &s) ? OSString::withCString(s.c_str()) : nullptr;
    }
    if (type == CFBooleanGetTypeID()) {
        return OSBoolean::withBoolean(CFBooleanGetValue(static_cast<CFBooleanRef>(value)) != 0);
    }
    if (type == CFNumberGetTypeID()) {
        const auto number = static_cast<CFNumberRef>(value);
        SInt64 integer = 0;
        if (CFNumberIsFloatType(number) || !CFNumberGetValue(number, kCFNumberSInt64Type, &integer)) {
            return nullptr;
        }
        const auto bits = static_cast<unsigned int>(CFNumberGetByteSize(number) * 8);
        return OSNumber::withNumber(static_cast<unsigned long long>(integer),
                                    bits >= 8 && bits <= 64 ? bits : 64);
    }
    if (type == CFDataGetTypeID()) {
        const auto data = static_cast<CFDataRef>(value);
        return OSData::withBytes(CFDataGetBytePtr(data), static_cast<unsigned int>(CFDataGetLength(data)));
    }
    if (type == CFArrayGetTypeID()) {
        const auto array = static_cast<CFArrayRef>(value);
        OSArray* out = OSArray::withCapacity(static_cast<unsigned int>(CFArrayGetCount(array)));
        for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
            OSObject* element = kernelObjectFromPropertyList(CFArrayGetValueAtIndex(array, i));
            if (element == nullptr) {
                out->release();
                return nullptr;
            }
            out->setObject(element);
            element->release();
        }
        return out;
    }
    if (type == CFDictionaryGetTypeID()) {
        const auto dictionary = static_cast<CFDictionaryRef>(value);
        const CFIndex count = CFDictionaryGetCount(dictionary);
        std::vector<const void*> keys(static_cast<size_t>(count));
        std::vector<const void*> values(static_cast<size_t>(count));
        CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
        OSDictionary* out = OSDictionary::withCapacity(static_cast<unsigned int>(count));
        for (CFIndex i = 0; i < count; ++i) {
            std::string key;
            OSObject* element = text(keys[i], &key) ? kernelObjectFromPropertyList(values[i]) : nullptr;
            if (element == nullptr) {
                out->release();
                return nullptr;
            }
            out->setObject(key.c_str(), element);
            element->release();
        }
        return out;
    }
    return nullptr;
}

IOReturn KernelHost::loadKext(const std::string& bundlePath, std::string* identifier)
{
    auto fail = [&](IOReturn status, const char* why) {
        IOLog("KernelHost: %s: %s\n", bundlePath.c_str(), why);
        return status;
    };
    CFStringRef path =
        CFStringCreateWithCString(kCFAllocatorDefault, bundlePath.c_str(), kCFStringEncodingUTF8);
    CFURLRef url = path != nullptr
                       ? CFURLCreateWithFileSystemPath(kCFAllocatorDefault, path, kCFURLPOSIXPathStyle, true)
                       : nullptr;
    CFBundleRef bundle = url != nullptr ? CFBundleCreate(kCFAllocatorDefault, url) : nullptr;
    if (url != nullptr) {
        CFRelease(url);
    }
    if (path != nullptr) {
        CFRelease(path);
    }
    if (bundle == nullptr) {
        return fail(kIOReturnNotFound, "no such bundle");
    }
    // A missing or damaged Info.plist reads as an empty dictionary: no identifier.
    OSObject* converted = kernelObjectFromPropertyList(CFBundleGetInfoDictionary(bundle));
    OSDictionary* info = OSDynamicCast(OSDictionary, converted);
    auto refuse = [&](IOReturn status, const char* why) {
        OSSafeReleaseNULL(converted);
        CFRelease(bundle);
        return fail(status, why);
    };
    auto* bundleID =
        info != nullptr ? OSDynamicCast(OSString, info->getObject(kCFBundleIdentifierKey)) : nullptr;
    OSObject* personalitiesObject = info != nullptr ? info->getObject("IOKitPersonalities") : nullptr;
    auto* personalities = OSDynamicCast(OSDictionary, personalitiesObject);
    if (bundleID == nullptr || bundleID->getLength() == 0 ||
        (personalitiesObject != nullptr && personalities == nullptr)) {
        return refuse(kIOReturnBadArgument,
                      "no CFBundleIdentifier, or IOKitPersonalities is not a dictionary");
    }
    // Every personality must be a dictionary; each is tagged with the bundle it came from.
    OSArray* list = OSArray::withCapacity(personalities ? personalities->getCount() : 0);
    for (unsigned int i = 0; personalities != nullptr && i < personalities->getCount(); ++i) {
        auto* personality = OSDynamicCast(OSDictionary, personalities->getObject(personalities->getKey(i)));
        if (personality == nullptr) {
            list->release();
            return refuse(kIOReturnBadArgument, "a personality is not a dictionary");
        }
        personality->setObject(kCFBundleIdentifierKey, bundleID);
        list->setObject(personality);
    }
    const std::string id = bundleID->getCStringNoCopy();
    {
        std::lock_guard lock(m_mutex);
        if (m_kexts.count(id) != 0) {
            list->release();
            return refuse(kIOReturnExclusiveAccess, "a kext with this identifier is loaded");
        }
    }

    Kext kext;
    kext.bundle = bundle;
    if (info->getObject("CFBundleExecutable") != nullptr) {
        const auto before = platform::iokit::registeredClassNames();
        if (!CFBundleLoadExecutable(bundle)) {
            list->release();
            return refuse(kIOReturnError, "its library is missing or does not load");
        }
        const auto after = platform::iokit::registeredClassNames();
        std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                            std::back_inserter(kext.classes));
    }
    {
        std::lock_guard lock(m_mutex);
        m_kexts[id] = kext;
    }
    addPersonalities(list);
    list->release();
    converted->release();
    if (identifier != nullptr) {
        *identifier = id;
    }
    return kIOReturnSuccess;
}

IOReturn KernelHost::unloadKext(const std::string& identifier)
{
    Kext kext;
    {
        std::lock_guard lock(m_mutex);
        const auto found = m_kexts.find(identifier);
        if (found == m_kexts.end()) {
            return kIOReturnNotFound;
        }
        kext = found->second;
        m_kexts.erase(found);
    }
    OSDictionary* matching = OSDictionary::withCapacity(1);
    OSString* bundleID = OSString::withCString(identifier.c_str());
    matching->setObject(kCFBundleIdentifierKey, bundleID);
    gIOCatalogue->removeDrivers(matching, true);
    bundleID->release();
    matching->release();
    waitQuiet();
    if (kext.classes.empty()) {
        CFRelease(kext.bundle);
        return kIOReturnSuccess;
    }
    // Objects of the kext's classes may still be on their way out (a message being delivered
    // holds its sender); the library stays while any is left.
    auto live = [&] {
        unsigned int count = 0;
        for (const auto& name : kext.classes) {
            if (const OSMetaClass* meta = OSMetaClass::getMetaClassWithName(name.c_str())) {
                count += meta->getInstanceCount();
            }
        }
        return count;
    };
    for (int i = 0; i < 1000 && live() != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // The library stays, and stays this host's to unload later.
    auto keep = [&] {
        std::lock_guard lock(m_mutex);
        m_kexts.emplace(identifier, kext);
        return kIOReturnBusy;
    };
    if (live() != 0) {
        IOLog("KernelHost: %s still has %u objects; its library stays loaded\n", identifier.c_str(), live());
        return keep();
    }
    // The last of them may still be returning through the library's code.
    for (int i = 0; i < 1000 && platform::iokit::releasesInProgress() != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (platform::iokit::releasesInProgress() != 0) {
        IOLog("KernelHost: objects are still being freed; the library of %s stays loaded\n", identifier.c_str());
        return keep();
    }
    CFBundleUnloadExecutable(kext.bundle);
    CFRelease(kext.bundle);
    return kIOReturnSuccess;
}

} // namespace kernel_host
