// Preferences domains on property-list files.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <mutex>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include "CoreFoundation/CFBundle.h"
#include "CoreFoundation/CFPreferences.h"
#include "Files.h"
#include "Object.h"
#include "platform/Log.h"
#include "platform/ProcessEnvironment.h"

namespace platform::cf {
namespace {

// One domain as this process knows it.
struct Domain
{
    bool loaded = false;
    CFMutableDictionaryRef values = nullptr; // owned; as of the last read or synchronise
    // This process's changes since the last synchronise, by key text: the key and the new
    // value (null: removed), both owned.
    std::map<std::string, std::pair<CFStringRef, CFTypeRef>> pending;

    Domain() = default;
    Domain(const Domain&) = delete;
    Domain& operator=(const Domain&) = delete;
    ~Domain()
    {
        CFRelease(values);
        clearPending();
    }
    void clearPending()
    {
        for (auto& [text, change] : pending) {
            CFRelease(change.first);
            CFRelease(change.second);
        }
        pending.clear();
    }
};

struct Store
{
    std::mutex mutex;
    std::map<std::string, Domain> domains; // by file path; guarded by mutex
};

Store& store()
{
    static auto* s = new Store();
    return *s;
}

CFMutableDictionaryRef newDictionary()
{
    return CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                     &kCFTypeDictionaryValueCallBacks);
}

std::string userFolder(const std::string& name)
{
    return "/Users/" + name;
}

std::string currentUserName()
{
    const uid_t uid = process::uid();
    passwd entry{};
    passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
        found->pw_name != nullptr && std::strchr(found->pw_name, '/') == nullptr) {
        return found->pw_name;
    }
    return std::to_string(uid);
}

bool safeName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

std::string applicationName(CFStringRef applicationID)
{
    if (CFEqual(applicationID, kCFPreferencesCurrentApplication)) {
        if (CFStringRef identifier = CFBundleGetIdentifier(CFBundleGetMainBundle())) {
            return as<String>(identifier)->utf8();
        }
        return process::name();
    }
    const auto* s = as<String>(applicationID);
    return s == nullptr ? std::string() : s->utf8();
}

// The file of a domain on this machine, or "" when the names cannot make a safe path.
std::string domainPath(CFStringRef applicationID, CFStringRef userName, CFStringRef hostName)
{
    const std::string application = applicationName(applicationID);
    if (!safeName(application)) {
        return "";
    }
    std::string folder;
    if (CFEqual(userName, kCFPreferencesAnyUser)) {
        folder = "/Library/Preferences";
    } else {
        std::string user = currentUserName();
        if (!CFEqual(userName, kCFPreferencesCurrentUser) && as<String>(userName) != nullptr) {
            user = as<String>(userName)->utf8();
        }
        if (!safeName(user)) {
            return "";
        }
        folder = userFolder(user) + "/Library/Preferences";
    }
    if (!CFEqual(hostName, kCFPreferencesAnyHost)) {
        folder += "/ByHost";
    }
    return process::rootedPath(folder + "/" + application + ".plist");
}

// Holds the domain's file lock (a companion ".lock" file: the domain file itself is replaced
// by rename, which a lock on it would not survive).
class FileLock
{
public:
    FileLock(const std::string& path, bool exclusive)
    {
        int error = 0;
        files::makeDirectories(std::filesystem::path(path).parent_path().string(), std::nullopt, error);
        m_fd = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (m_fd >= 0) {
            while (::flock(m_fd, exclusive ? LOCK_EX : LOCK_SH) != 0 && errno == EINTR) {
            }
        }
    }
    ~FileLock()
    {
        if (m_fd >= 0) {
            ::close(m_fd); // releases the lock
        }
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool held() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

enum class FileState
{
    absent,
    good,
    damaged,
};

// Reads the domain file as a mutable dictionary (empty unless good).
CFMutableDictionaryRef readDomainFile(const std::string& path, FileState& state)
{
    int error = 0;
    auto bytes = files::read(path, error);
    if (!bytes) {
        state = error == ENOENT ? FileState::absent : FileState::damaged;
        if (state == FileState::damaged) {
            platform::syslog(log::kPriorityError, "CFPreferences: cannot read %s: %s\n", path.c_str(),
                             std::strerror(error));
        }
        return newDictionary();
    }
    CFDataRef data = CFDataCreate(nullptr, bytes->data(), static_cast<CFIndex>(bytes->size()));
    CFPropertyListRef plist = CFPropertyListCreateWithData(nullptr, data, 0, nullptr, nullptr);
    CFRelease(data);
    if (CFGetTypeID(plist) != CFDictionaryGetTypeID()) {
        CFRelease(plist);
        state = FileState::damaged;
        platform::syslog(log::kPriorityError, "CFPreferences: damaged preferences file %s reads as empty\n",
                         path.c_str());
        return newDictionary();
    }
    state = FileState::good;
    CFMutableDictionaryRef values =
        CFDictionaryCreateMutableCopy(nullptr, 0, static_cast<CFDictionaryRef>(plist));
    CFRelease(plist);
    return values;
}

// Keeps a damaged domain file beside the domain before it is replaced.
bool keepDamaged(const std::string& path)
{
    std::string copy = path + ".damaged";
    for (int n = 1; std::filesystem::exists(copy); ++n) {
        copy = path + ".damaged." + std::to_string(n);
    }
    std::error_code ec;
    std::filesystem::copy_file(path, copy, ec);
    if (ec) {
        platform::syslog(log::kPriorityError, "CFPreferences: cannot keep damaged %s: %s\n", path.c_str(),
                         ec.message().c_str());
        return false;
    }
    platform::syslog(log::kPriorityError, "CFPreferences: damaged preferences file kept as %s\n",
                     copy.c_str());
    return true;
}

// This process's changes over a copy of the domain's values.
void applyPending(const Domain& domain, CFMutableDictionaryRef values)
{
    for (const auto& [text, change] : domain.pending) {
        if (change.second == nullptr) {
            CFDictionaryRemoveValue(values, change.first);
        } else {
            CFDictionarySetValue(values, change.first, change.second);
        }
    }
}

void loadLocked(Domain& domain, const std::string& path)
{
    if (domain.loaded) {
        return;
    }
    FileLock lock(path, false);
    FileState state = FileState::absent;
    CFRelease(domain.values);
    domain.values = readDomainFile(path, state);
    domain.loaded = true;
}

CFTypeRef copyValue(CFStringRef key, CFStringRef applicationID, CFStringRef userName, CFStringRef hostName)
{
    const auto* k = as<String>(key);
    const std::string path = domainPath(applicationID, userName, hostName);
    if (k == nullptr || path.empty()) {
        return nullptr;
    }
    auto& s = store();
    std::lock_guard lock(s.mutex);
    Domain& domain = s.domains[path];
    auto change = domain.pending.find(k->utf8());
    if (change != domain.pending.end()) {
        return CFRetain(change->second.second);
    }
    loadLocked(domain, path);
    return CFRetain(CFDictionaryGetValue(domain.values, key));
}

void setValue(CFStringRef key, CFTypeRef value, CFStringRef applicationID, CFStringRef userName,
              CFStringRef hostName)
{
    const auto* k = as<String>(key);
    const std::string path = domainPath(applicationID, userName, hostName);
    if (k == nullptr || path.empty()) {
        return;
    }
    if (value != nullptr && !CFPropertyListIsValid(value, kCFPropertyListXMLFormat_v1_0)) {
        platform::syslog(log::kPriorityError, "CFPreferences: value for %s is not a property list\n",
                         k->utf8().c_str());
        return;
    }
    // Stored as an immutable copy: later changes to a mutable value do not leak in.
    CFTypeRef stored = value == nullptr ? nullptr : CFPropertyListCreateDeepCopy(nullptr, value, 0);
    CFStringRef storedKey = CFStringCreateCopy(nullptr, key);
    auto& s = store();
    std::lock_guard lock(s.mutex);
    Domain& domain = s.domains[path];
    auto& slot = domain.pending[k->utf8()];
    CFRelease(slot.first);
    CFRelease(slot.second);
    slot = {storedKey, stored};
}

bool synchronize(CFStringRef applicationID, CFStringRef userName, CFStringRef hostName)
{
    const std::string path = domainPath(applicationID, userName, hostName);
    if (path.empty()) {
        return false;
    }
    auto& s = store();
    std::lock_guard lock(s.mutex);
    Domain& domain = s.domains[path];
    FileLock fileLock(path, true);
    if (!fileLock.held()) {
        platform::syslog(log::kPriorityError, "CFPreferences: cannot lock %s: %s\n", path.c_str(),
                         std::strerror(errno));
        return false;
    }
    FileState state = FileState::absent;
    CFMutableDictionaryRef fresh = readDomainFile(path, state);
    applyPending(domain, fresh);
    bool written = true;
    if (!domain.pending.empty()) {
        if (state == FileState::damaged && !keepDamaged(path)) {
            written = false;
        } else {
            CFDataRef xml = CFPropertyListCreateXMLData(nullptr, fresh);
            int error = 0;
            written =
                xml != nullptr && files::writeAtomically(path, as<Data>(xml)->bytes(), std::nullopt, error);
            if (!written) {
                platform::syslog(log::kPriorityError, "CFPreferences: cannot write %s: %s\n", path.c_str(),
                                 std::strerror(error));
            }
            CFRelease(xml);
        }
    }
    CFRelease(domain.values);
    domain.values = fresh;
    domain.loaded = true;
    if (written) {
        domain.clearPending();
    }
    return written;
}

} // namespace
} // namespace platform::cf

using namespace platform::cf;

const CFStringRef kCFPreferencesAnyApplication = CFSTR(".GlobalPreferences");
const CFStringRef kCFPreferencesCurrentApplication = CFSTR("kCFPreferencesCurrentApplication");
const CFStringRef kCFPreferencesAnyHost = CFSTR("kCFPreferencesAnyHost");
const CFStringRef kCFPreferencesCurrentHost = CFSTR("kCFPreferencesCurrentHost");
const CFStringRef kCFPreferencesAnyUser = CFSTR("kCFPreferencesAnyUser");
const CFStringRef kCFPreferencesCurrentUser = CFSTR("kCFPreferencesCurrentUser");

CFPropertyListRef CFPreferencesCopyAppValue(CFStringRef key, CFStringRef applicationID)
{
    return copyValue(key, applicationID, kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
}

void CFPreferencesSetAppValue(CFStringRef key, CFPropertyListRef value, CFStringRef applicationID)
{
    setValue(key, value, applicationID, kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
}

Boolean CFPreferencesAppSynchronize(CFStringRef applicationID)
{
    return synchronize(applicationID, kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
}

CFPropertyListRef CFPreferencesCopyValue(CFStringRef key, CFStringRef applicationID, CFStringRef userName,
                                         CFStringRef hostName)
{
    return copyValue(key, applicationID, userName, hostName);
}

void CFPreferencesSetValue(CFStringRef key, CFPropertyListRef value, CFStringRef applicationID,
                           CFStringRef userName, CFStringRef hostName)
{
    setValue(key, value, applicationID, userName, hostName);
}

Boolean CFPreferencesSynchronize(CFStringRef applicationID, CFStringRef userName, CFStringRef hostName)
{
    return synchronize(applicationID, userName, hostName);
}

CFArrayRef CFPreferencesCopyKeyList(CFStringRef applicationID, CFStringRef userName, CFStringRef hostName)
{
    const std::string path = domainPath(applicationID, userName, hostName);
    if (path.empty()) {
        return nullptr;
    }
    auto& s = store();
    std::lock_guard lock(s.mutex);
    Domain& domain = s.domains[path];
    loadLocked(domain, path);
    CFMutableDictionaryRef all = CFDictionaryCreateMutableCopy(nullptr, 0, domain.values);
    applyPending(domain, all);
    CFArrayRef keys = nullptr;
    const CFIndex count = CFDictionaryGetCount(all);
    if (count > 0) {
        std::vector<const void*> list(static_cast<size_t>(count));
        CFDictionaryGetKeysAndValues(all, list.data(), nullptr);
        keys = CFArrayCreate(nullptr, list.data(), count, &kCFTypeArrayCallBacks);
    }
    CFRelease(all);
    return keys;
}
