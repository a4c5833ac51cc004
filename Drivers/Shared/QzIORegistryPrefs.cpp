#include "QzIORegistryPrefs.h"

#include <sys/stat.h>

#include "IOKit/IOKitLib.h"
#include "VKIOTrace.h"
#include "platform/Log.h"
#include "platform/ProcessEnvironment.h"

namespace {

constexpr const char* kFolder = "/Users/Shared/Quenzar/";
constexpr const char* kServiceClass = "VKKernelDevice";
// A shared folder: everyone may add files, only their owners remove them. The file: read by
// everyone, written by its owner, never executable.
constexpr SInt32 kFolderMode = 01777;
constexpr SInt32 kFileMode = 0644;

CFDictionaryRef modeAttributes(SInt32 mode)
{
    CFNumberRef number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &mode);
    if (number == nullptr) {
        return nullptr;
    }
    const void* keys[] = {kCFURLFilePOSIXMode};
    const void* values[] = {number};
    CFDictionaryRef attributes =
        CFDictionaryCreate(kCFAllocatorDefault, keys, values, 1, &kCFTypeDictionaryKeyCallBacks,
                           &kCFTypeDictionaryValueCallBacks);
    CFRelease(number);
    return attributes;
}

const char* writeText(bool writeFile)
{
    return writeFile ? "Will write file" : "(won't write)";
}

} // namespace

QzIORegistryPrefs::QzIORegistryPrefs(bool writeFile) : m_writeFile(writeFile)
{
    VKIOTrace trace(nullptr, 0);
    io_iterator_t services = 0;
    const kern_return_t status =
        IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching(kServiceClass), &services);
    if (status != kIOReturnSuccess) {
        platform::syslog(platform::log::kPriorityError, "IOServiceGetMatchingServices returned 0x%08x\n\n",
                         static_cast<unsigned>(status));
        return;
    }
    while (io_service_t service = IOIteratorNext(services)) {
        if (m_registryEntry != 0) {
            IOObjectRelease(m_registryEntry); // only the last one is kept
        }
        m_registryEntry = service;
        if (m_properties != nullptr) {
            CFRelease(m_properties);
            m_properties = nullptr;
        }
        const kern_return_t copied =
            IORegistryEntryCreateCFProperties(m_registryEntry, &m_properties, kCFAllocatorDefault, 0);
        platform::syslog(platform::log::kPriorityWarning,
                         "Found a device of class VKKernelDevice %s, result %08X.\n\n",
                         writeText(m_writeFile), static_cast<unsigned>(copied));
    }
    IOObjectRelease(services);
    initStorage();
}

QzIORegistryPrefs::QzIORegistryPrefs(bool writeFile, uint32_t registryEntry)
    : m_writeFile(writeFile), m_registryEntry(registryEntry)
{
    VKIOTrace trace(nullptr, 0);
    const kern_return_t copied =
        IORegistryEntryCreateCFProperties(m_registryEntry, &m_properties, kCFAllocatorDefault, 0);
    platform::syslog(platform::log::kPriorityWarning,
                     "Found a device of class VKKernelDevice %s, result %08X.\n\n", writeText(m_writeFile),
                     static_cast<unsigned>(copied));
    initStorage();
}

QzIORegistryPrefs::~QzIORegistryPrefs()
{
    VKIOTrace trace(nullptr, 0);
    for (CFTypeRef owned :
         {static_cast<CFTypeRef>(m_folderURL), static_cast<CFTypeRef>(m_fileURL),
          static_cast<CFTypeRef>(m_fileAttributes), static_cast<CFTypeRef>(m_folderAttributes),
          static_cast<CFTypeRef>(m_properties)}) {
        if (owned != nullptr) {
            CFRelease(owned);
        }
    }
}

int32_t QzIORegistryPrefs::update()
{
    if (m_registryEntry == 0) {
        return kIOReturnError;
    }
    if (m_properties != nullptr) {
        CFRelease(m_properties);
        m_properties = nullptr;
    }
    return IORegistryEntryCreateCFProperties(m_registryEntry, &m_properties, kCFAllocatorDefault, 0);
}

bool QzIORegistryPrefs::hasProperties()
{
    update();
    return m_properties != nullptr && CFDictionaryContainsKey(m_properties, CFSTR("ChannelSettings"));
}

CFDictionaryRef QzIORegistryPrefs::getProperties()
{
    update();
    if (m_properties != nullptr) {
        CFRetain(m_properties);
    }
    return m_properties;
}

bool QzIORegistryPrefs::initStorage()
{
    if (!m_writeFile) {
        return true;
    }
    m_fileAttributes = modeAttributes(kFileMode);
    m_folderAttributes = modeAttributes(kFolderMode);
    if (m_fileAttributes == nullptr || m_folderAttributes == nullptr) {
        platform::syslog(platform::log::kPriorityError,
                         "QzIORegistryPrefs: Could not create POSIX properties");
    }
    m_folderURL = CFURLCreateWithFileSystemPath(kCFAllocatorDefault, CFSTR("/Users/Shared/Quenzar/"),
                                                kCFURLPOSIXPathStyle, true);
    if (m_folderURL == nullptr) {
        platform::syslog(platform::log::kPriorityError, "QzIORegistryPrefs: Could not create dir CFURL");
    } else {
        m_fileURL = CFURLCreateCopyAppendingPathComponent(kCFAllocatorDefault, m_folderURL,
                                                          CFSTR("com.quenzar.sonvexa.plist"), false);
    }
    if (m_fileURL == nullptr) {
        platform::syslog(platform::log::kPriorityError, "QzIORegistryPrefs: Could not create file CFURL");
    }
    createDirectory();
    return true;
}

bool QzIORegistryPrefs::folderIsSafe() const
{
    std::string path = platform::process::rootedPath(kFolder);
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    struct stat st
    {
    };
    if (::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
        return true; // missing (made as a real folder) or a real folder
    }
    platform::syslog(platform::log::kPriorityError,
                     "QzIORegistryPrefs: %s is not a folder; nothing is written there\n", kFolder);
    return false;
}

bool QzIORegistryPrefs::createDirectory()
{
    if (!m_writeFile || m_folderURL == nullptr) {
        return false;
    }
    CFDataRef dummy = CFPropertyListCreateData(kCFAllocatorDefault, CFSTR("DUMMY"),
                                               kCFPropertyListXMLFormat_v1_0, 0, nullptr);
    if (dummy == nullptr) {
        return false;
    }
    if (folderIsSafe()) {
        SInt32 error = 0;
        CFURLWriteDataAndPropertiesToResource(m_folderURL, dummy, m_folderAttributes, &error);
    }
    CFRelease(dummy);
    return true;
}

bool QzIORegistryPrefs::writePropertiesToStorage()
{
    if (!m_writeFile) {
        return false;
    }
    createDirectory();
    CFDataRef data = m_properties == nullptr
                         ? nullptr
                         : CFPropertyListCreateData(kCFAllocatorDefault, m_properties,
                                                    kCFPropertyListXMLFormat_v1_0, 0, nullptr);
    if (data == nullptr) {
        platform::syslog(platform::log::kPriorityError, "QzIORegistryPrefs: Could not create CFData");
        return false;
    }
    if (m_fileURL == nullptr || !folderIsSafe()) {
        CFRelease(data);
        return false;
    }
    SInt32 error = 0;
    const bool written = CFURLWriteDataAndPropertiesToResource(m_fileURL, data, m_fileAttributes, &error);
    CFRelease(data);
    if (!written) {
        platform::syslog(
            platform::log::kPriorityWarning,
            "QzIORegistryPrefs::writeProperties CFURLWriteDataAndPropertiesToResource returned with error "
            "%d\n",
            static_cast<int>(error));
        return false;
    }
    return true;
}
