#include <algorithm>
#include <dlfcn.h>
#include <fstream>
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

bool readFile(const std::string& path, std::vector<UInt8>* bytes)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    bytes->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return true;
}

bool exists(const std::string& path)
{
    return std::ifstream(path).good();
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
    std::string folder = bundlePath + "/Contents";
    if (!exists(folder + "/Info.plist")) {
        folder = bundlePath;
    }
    std::vector<UInt8> bytes;
    if (!readFile(folder + "/Info.plist", &bytes)) {
        IOLog("KernelHost: no Info.plist in %s\n", bundlePath.c_str());
        return kIOReturnNotFound;
    }
    CFDataRef data = CFDataCreate(kCFAllocatorDefault, bytes.data(), static_cast<CFIndex>(bytes.size()));
    CFPropertyListRef plist = CFPropertyListCreateWithData(kCFAllocatorDefault, data, 0, nullptr, nullptr);
    CFRelease(data);
    OSObject* converted = kernelObjectFromPropertyList(plist);
    if (plist != nullptr) {
        CFRelease(plist);
    }
    OSDictionary* info = OSDynamicCast(OSDictionary, converted);
    if (info == nullptr) {
        OSSafeReleaseNULL(converted);
    }
    auto fail = [&](IOReturn status, const char* why) {
        IOLog("KernelHost: %s: %s\n", bundlePath.c_str(), why);
        OSSafeReleaseNULL(info);
        return status;
    };
    if (info == nullptr) {
        return fail(kIOReturnBadArgument, "Info.plist is not a dictionary of kernel values");
    }
    auto* bundleID = OSDynamicCast(OSString, info->getObject(kCFBundleIdentifierKey));
    OSObject* personalitiesObject = info->getObject("IOKitPersonalities");
    auto* personalities = OSDynamicCast(OSDictionary, personalitiesObject);
    if (bundleID == nullptr || bundleID->getLength() == 0 ||
        (personalitiesObject != nullptr && personalities == nullptr)) {
        return fail(kIOReturnBadArgument, "no CFBundleIdentifier, or IOKitPersonalities is not a dictionary");
    }
    const std::string id = bundleID->getCStringNoCopy();
    {
        std::lock_guard lock(m_mutex);
        if (m_kexts.count(id) != 0) {
            return fail(kIOReturnExclusiveAccess, "a kext with this identifier is loaded");
        }
    }

    Kext kext;
    if (auto* executable = OSDynamicCast(OSString, info->getObject("CFBundleExecutable"))) {
        std::string library = folder + "/MacOS/" + executable->getCStringNoCopy();
        if (!exists(library)) {
            library = folder + "/" + executable->getCStringNoCopy();
        }
        if (!exists(library)) {
            return fail(kIOReturnNotFound, "the CFBundleExecutable library is missing");
        }
        const auto before = platform::iokit::registeredClassNames();
        kext.image = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (kext.image == nullptr) {
            IOLog("KernelHost: %s: %s\n", library.c_str(), dlerror());
            return fail(kIOReturnError, "the library does not load");
        }
        const auto after = platform::iokit::registeredClassNames();
        std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                            std::back_inserter(kext.classes));
    }

    // Every personality must be a dictionary; each is tagged with the bundle it came from.
    OSArray* list = OSArray::withCapacity(personalities ? personalities->getCount() : 0);
    bool valid = true;
    for (unsigned int i = 0; personalities != nullptr && i < personalities->getCount(); ++i) {
        auto* personality = OSDynamicCast(OSDictionary, personalities->getObject(personalities->getKey(i)));
        if (personality == nullptr) {
            valid = false;
            break;
        }
        personality->setObject(kCFBundleIdentifierKey, bundleID);
        list->setObject(personality);
    }
    if (!valid) {
        list->release();
        if (kext.image != nullptr) {
            dlclose(kext.image);
        }
        return fail(kIOReturnBadArgument, "a personality is not a dictionary");
    }
    {
        std::lock_guard lock(m_mutex);
        m_kexts[id] = kext;
    }
    addPersonalities(list);
    list->release();
    info->release();
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
    if (kext.image == nullptr) {
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
    if (live() != 0) {
        IOLog("KernelHost: %s still has %u objects; its library stays loaded\n", identifier.c_str(), live());
        return kIOReturnBusy;
    }
    dlclose(kext.image);
    return kIOReturnSuccess;
}

} // namespace kernel_host
