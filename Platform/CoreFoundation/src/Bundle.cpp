// Bundles and plug-in factories.
#include <algorithm>
#include <dlfcn.h>
#include <filesystem>
#include <map>
#include <mutex>
#include <unistd.h>

#include "CoreFoundation/CFBundle.h"
#include "CoreFoundation/CFPlugIn.h"
#include "CoreFoundation/CFPropertyList.h"
#include "Files.h"
#include "Object.h"
#include "platform/CoreFoundationSupport.h"
#include "platform/Log.h"

namespace fs = std::filesystem;

namespace platform::cf {

class Bundle final : public Object
{
public:
    static constexpr CFTypeID kTypeID = kCFTypeIDBundle;
    // `url` is the bundle's URL as given; `folder` where it lies on this machine.
    Bundle(CFURLRef url, std::string folder);
    ~Bundle() override;

    const std::string& folder() const { return m_folder; }
    CFURLRef url() const { return m_url; }
    CFDictionaryRef info() const { return m_info; }
    bool load();
    bool isLoaded() const;
    void unload();
    void* symbol(const std::string& name);

private:
    std::string contentsFolder() const;

    CFURLRef m_url;         // owned
    std::string m_folder;   // host path
    CFDictionaryRef m_info; // owned, never null
    mutable std::mutex m_mutex;
    void* m_handle = nullptr; // guarded by m_mutex
};

namespace {

const CFStringRef kIdentifierKey = CFSTR("CFBundleIdentifier");
const CFStringRef kExecutableKey = CFSTR("CFBundleExecutable");

// Live bundles (not owned: each removes itself when freed) and instance counts per factory.
struct Registry
{
    std::mutex mutex;
    std::vector<Bundle*> bundles;                     // guarded by mutex
    std::map<std::array<uint8_t, 16>, int> instances; // guarded by mutex
    std::optional<std::string> mainBundleFolder;      // guarded by mutex
    Bundle* mainBundle = nullptr;                     // guarded by mutex; never freed
};

Registry& registry()
{
    // Never destroyed: bundles may outlive static destruction.
    static auto* r = new Registry();
    return *r;
}

CFDictionaryRef emptyDictionary()
{
    return CFDictionaryCreate(nullptr, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                              &kCFTypeDictionaryValueCallBacks);
}

CFDictionaryRef readInfo(const std::string& folder)
{
    for (const char* relative : {"/Contents/Info.plist", "/Info.plist"}) {
        const std::string path = folder + relative;
        int error = 0;
        auto bytes = files::read(path, error);
        if (!bytes) {
            continue;
        }
        CFDataRef data = CFDataCreate(nullptr, bytes->data(), static_cast<CFIndex>(bytes->size()));
        CFPropertyListRef info = CFPropertyListCreateWithData(nullptr, data, 0, nullptr, nullptr);
        CFRelease(data);
        if (CFGetTypeID(info) == CFDictionaryGetTypeID()) {
            return static_cast<CFDictionaryRef>(info);
        }
        CFRelease(info);
        platform::syslog(log::kPriorityError, "CFBundle: damaged information list %s\n", path.c_str());
        break;
    }
    return emptyDictionary();
}

std::string executableFolder()
{
    char buffer[4096];
    const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) {
        return fs::current_path().string();
    }
    return fs::path(std::string(buffer, static_cast<size_t>(length))).parent_path().string();
}

std::string defaultMainBundleFolder()
{
    if (const char* env = std::getenv("SONVEXA_MAIN_BUNDLE"); env != nullptr && *env != '\0') {
        return env;
    }
    const fs::path folder = executableFolder();
    if (folder.filename() == "MacOS" && folder.parent_path().filename() == "Contents") {
        return folder.parent_path().parent_path().string();
    }
    return folder.string();
}

std::optional<std::array<uint8_t, 16>> uuidBytes(CFTypeRef text)
{
    CFUUIDRef uuid = CFUUIDCreateFromString(nullptr, as<String>(text));
    if (uuid == nullptr) {
        return std::nullopt;
    }
    auto bytes = as<UUID>(uuid)->bytes();
    CFRelease(uuid);
    return bytes;
}

// The factory UUIDs a bundle registers for a type.
std::vector<std::array<uint8_t, 16>> factoriesFor(const Bundle& bundle, const std::array<uint8_t, 16>& type)
{
    std::vector<std::array<uint8_t, 16>> found;
    const auto* types = as<Dictionary>(CFDictionaryGetValue(bundle.info(), kCFPlugInTypesKey));
    const auto* factories = as<Dictionary>(CFDictionaryGetValue(bundle.info(), kCFPlugInFactoriesKey));
    if (types == nullptr || factories == nullptr) {
        return found;
    }
    types->forEach([&](const void* key, const void* value) {
        const auto* list = as<Array>(value);
        if (list == nullptr || uuidBytes(key) != type) {
            return;
        }
        for (const void* factory : list->values()) {
            auto bytes = uuidBytes(factory);
            if (bytes && std::find(found.begin(), found.end(), *bytes) == found.end()) {
                found.push_back(*bytes);
            }
        }
    });
    return found;
}

// The factory function name a bundle registers for a factory UUID, or "".
std::string factoryFunction(const Bundle& bundle, const std::array<uint8_t, 16>& factory)
{
    const auto* factories = as<Dictionary>(CFDictionaryGetValue(bundle.info(), kCFPlugInFactoriesKey));
    std::string name;
    if (factories != nullptr) {
        factories->forEach([&](const void* key, const void* value) {
            if (name.empty() && as<String>(value) != nullptr && uuidBytes(key) == factory) {
                name = as<String>(value)->utf8();
            }
        });
    }
    return name;
}

// The live bundles, each retained for the caller.
std::vector<Bundle*> liveBundles()
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    std::vector<Bundle*> bundles;
    for (Bundle* b : r.bundles) {
        if (b->tryRetain()) {
            bundles.push_back(b);
        }
    }
    return bundles;
}

void releaseAll(const std::vector<Bundle*>& bundles)
{
    for (Bundle* b : bundles) {
        b->release();
    }
}

CFArrayRef uuidArray(const std::vector<std::array<uint8_t, 16>>& list)
{
    CFMutableArrayRef array = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    for (const auto& bytes : list) {
        auto* uuid = new UUID(bytes);
        CFArrayAppendValue(array, uuid);
        CFRelease(uuid);
    }
    return array;
}

int instanceCount(const Bundle& bundle)
{
    auto& r = registry();
    const auto* factories = as<Dictionary>(CFDictionaryGetValue(bundle.info(), kCFPlugInFactoriesKey));
    int count = 0;
    if (factories != nullptr) {
        factories->forEach([&](const void* key, const void*) {
            if (auto bytes = uuidBytes(key)) {
                std::lock_guard lock(r.mutex);
                auto it = r.instances.find(*bytes);
                count += it == r.instances.end() ? 0 : it->second;
            }
        });
    }
    return count;
}

} // namespace

Bundle::Bundle(CFURLRef url, std::string folder)
    : Object(kTypeID), m_url(static_cast<CFURLRef>(CFRetain(url))), m_folder(std::move(folder)),
      m_info(readInfo(m_folder))
{
}

Bundle::~Bundle()
{
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        r.bundles.erase(std::remove(r.bundles.begin(), r.bundles.end(), this), r.bundles.end());
    }
    // The library stays mapped: code from it (an instance's function table) may still be in
    // use by whoever made instances and did not count them.
    CFRelease(m_info);
    CFRelease(m_url);
}

std::string Bundle::contentsFolder() const
{
    return fs::is_directory(m_folder + "/Contents") ? m_folder + "/Contents" : m_folder;
}

bool Bundle::load()
{
    std::lock_guard lock(m_mutex);
    if (m_handle != nullptr) {
        return true;
    }
    const auto* name = as<String>(CFDictionaryGetValue(m_info, kExecutableKey));
    if (name == nullptr) {
        platform::syslog(log::kPriorityError, "CFBundle: %s names no executable\n", m_folder.c_str());
        return false;
    }
    const std::string file = name->utf8();
    if (file.find('/') != std::string::npos) {
        platform::syslog(log::kPriorityError, "CFBundle: %s names an executable outside it\n",
                         m_folder.c_str());
        return false;
    }
    for (const std::string& path : {m_folder + "/Contents/MacOS/" + file, m_folder + "/" + file}) {
        if (!fs::is_regular_file(path)) {
            continue;
        }
        m_handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (m_handle == nullptr) {
            platform::syslog(log::kPriorityError, "CFBundle: cannot load %s: %s\n", path.c_str(),
                             ::dlerror());
            return false;
        }
        return true;
    }
    platform::syslog(log::kPriorityError, "CFBundle: executable %s not found in %s\n", file.c_str(),
                     m_folder.c_str());
    return false;
}

bool Bundle::isLoaded() const
{
    std::lock_guard lock(m_mutex);
    return m_handle != nullptr;
}

void Bundle::unload()
{
    if (instanceCount(*this) > 0) {
        return;
    }
    std::lock_guard lock(m_mutex);
    if (m_handle != nullptr) {
        ::dlclose(m_handle);
        m_handle = nullptr;
    }
}

void* Bundle::symbol(const std::string& name)
{
    if (!load()) {
        return nullptr;
    }
    std::lock_guard lock(m_mutex);
    return ::dlsym(m_handle, name.c_str());
}

void setMainBundleFolder(std::optional<std::string> folder)
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.mainBundleFolder = std::move(folder);
    // The previous main bundle stays allocated (callers may hold it borrowed) and reachable.
    static auto* retired = new std::vector<Bundle*>();
    if (r.mainBundle != nullptr) {
        retired->push_back(r.mainBundle);
        r.mainBundle = nullptr;
    }
}

} // namespace platform::cf

using namespace platform::cf;

const CFStringRef kCFPlugInFactoriesKey = CFSTR("CFPlugInFactories");
const CFStringRef kCFPlugInTypesKey = CFSTR("CFPlugInTypes");

CFTypeID CFBundleGetTypeID()
{
    return Bundle::kTypeID;
}

CFBundleRef CFBundleCreate(CFAllocatorRef, CFURLRef bundleURL)
{
    const auto* url = as<URL>(bundleURL);
    if (url == nullptr) {
        return nullptr;
    }
    const std::string folder = url->hostPath();
    if (!fs::is_directory(folder)) {
        return nullptr;
    }
    auto& r = registry();
    {
        std::lock_guard lock(r.mutex);
        for (Bundle* b : r.bundles) {
            if (b->folder() == folder && b->tryRetain()) {
                return b;
            }
        }
    }
    auto* bundle = new Bundle(bundleURL, folder);
    std::lock_guard lock(r.mutex);
    r.bundles.push_back(bundle);
    return bundle;
}

CFBundleRef CFBundleGetMainBundle()
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (r.mainBundle == nullptr) {
        const std::string folder = r.mainBundleFolder.value_or(defaultMainBundleFolder());
        CFURLRef url =
            CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(folder.c_str()),
                                                    static_cast<CFIndex>(folder.size()), true);
        r.mainBundle = new Bundle(url, folder);
        r.mainBundle->makeImmortal();
        CFRelease(url);
    }
    return r.mainBundle;
}

CFDictionaryRef CFBundleGetInfoDictionary(CFBundleRef bundle)
{
    const auto* b = as<Bundle>(bundle);
    return b == nullptr ? nullptr : b->info();
}

CFTypeRef CFBundleGetValueForInfoDictionaryKey(CFBundleRef bundle, CFStringRef key)
{
    return CFDictionaryGetValue(CFBundleGetInfoDictionary(bundle), key);
}

CFStringRef CFBundleGetIdentifier(CFBundleRef bundle)
{
    return as<String>(CFBundleGetValueForInfoDictionaryKey(bundle, kIdentifierKey));
}

CFURLRef CFBundleCopyBundleURL(CFBundleRef bundle)
{
    const auto* b = as<Bundle>(bundle);
    return b == nullptr ? nullptr : static_cast<CFURLRef>(CFRetain(b->url()));
}

CFURLRef CFBundleCopyResourceURL(CFBundleRef bundle, CFStringRef name, CFStringRef type,
                                 CFStringRef subFolder)
{
    const auto* b = as<Bundle>(bundle);
    const auto* n = as<String>(name);
    if (b == nullptr || n == nullptr) {
        return nullptr;
    }
    std::string relative = "Resources/";
    if (const auto* sub = as<String>(subFolder)) {
        relative += sub->utf8() + "/";
    }
    relative += n->utf8();
    if (const auto* t = as<String>(type); t != nullptr && !t->units().empty()) {
        relative += '.';
        relative += t->utf8();
    }
    const bool contents = fs::is_directory(b->folder() + "/Contents");
    const std::string host = b->folder() + (contents ? "/Contents/" : "/") + relative;
    if (relative.find("..") != std::string::npos || !fs::exists(host)) {
        return nullptr;
    }
    const auto* base = as<URL>(b->url());
    CFStringRef component = createString((contents ? "Contents/" : "") + relative);
    CFURLRef result = CFURLCreateCopyAppendingPathComponent(nullptr, base, component, fs::is_directory(host));
    CFRelease(component);
    return result;
}

Boolean CFBundleLoadExecutable(CFBundleRef bundle)
{
    auto* b = asMutable<Bundle>(bundle);
    return b != nullptr && b->load();
}

Boolean CFBundleIsExecutableLoaded(CFBundleRef bundle)
{
    const auto* b = as<Bundle>(bundle);
    return b != nullptr && b->isLoaded();
}

void CFBundleUnloadExecutable(CFBundleRef bundle)
{
    if (auto* b = asMutable<Bundle>(bundle)) {
        b->unload();
    }
}

void* CFBundleGetFunctionPointerForName(CFBundleRef bundle, CFStringRef name)
{
    auto* b = asMutable<Bundle>(bundle);
    const auto* n = as<String>(name);
    return b == nullptr || n == nullptr ? nullptr : b->symbol(n->utf8());
}

// Plug-ins

CFTypeID CFPlugInGetTypeID()
{
    return Bundle::kTypeID;
}

CFPlugInRef CFPlugInCreate(CFAllocatorRef allocator, CFURLRef plugInURL)
{
    return CFBundleCreate(allocator, plugInURL);
}

CFBundleRef CFPlugInGetBundle(CFPlugInRef plugIn)
{
    return plugIn;
}

CFArrayRef CFPlugInFindFactoriesForPlugInType(CFUUIDRef typeUUID)
{
    const auto* type = as<UUID>(typeUUID);
    std::vector<std::array<uint8_t, 16>> all;
    if (type != nullptr) {
        const auto bundles = liveBundles();
        for (const Bundle* b : bundles) {
            for (const auto& f : factoriesFor(*b, type->bytes())) {
                if (std::find(all.begin(), all.end(), f) == all.end()) {
                    all.push_back(f);
                }
            }
        }
        releaseAll(bundles);
    }
    return uuidArray(all);
}

CFArrayRef CFPlugInFindFactoriesForPlugInTypeInPlugIn(CFUUIDRef typeUUID, CFPlugInRef plugIn)
{
    const auto* type = as<UUID>(typeUUID);
    const auto* b = as<Bundle>(plugIn);
    return uuidArray(type == nullptr || b == nullptr ? std::vector<std::array<uint8_t, 16>>()
                                                     : factoriesFor(*b, type->bytes()));
}

void* CFPlugInInstanceCreate(CFAllocatorRef allocator, CFUUIDRef factoryUUID, CFUUIDRef typeUUID)
{
    const auto* factory = as<UUID>(factoryUUID);
    const auto* type = as<UUID>(typeUUID);
    if (factory == nullptr || type == nullptr) {
        return nullptr;
    }
    const auto bundles = liveBundles();
    void* instance = nullptr;
    for (Bundle* b : bundles) {
        const auto supported = factoriesFor(*b, type->bytes());
        if (std::find(supported.begin(), supported.end(), factory->bytes()) == supported.end()) {
            continue;
        }
        const std::string name = factoryFunction(*b, factory->bytes());
        auto function = reinterpret_cast<CFPlugInFactoryFunction>(name.empty() ? nullptr : b->symbol(name));
        if (function == nullptr) {
            platform::syslog(platform::log::kPriorityError, "CFPlugIn: factory %s of %s cannot be found\n",
                             factory->text().c_str(), b->folder().c_str());
            continue;
        }
        instance = function(allocator, typeUUID);
        break;
    }
    releaseAll(bundles);
    return instance;
}

void CFPlugInAddInstanceForFactory(CFUUIDRef factoryID)
{
    if (const auto* f = as<UUID>(factoryID)) {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        ++r.instances[f->bytes()];
    }
}

void CFPlugInRemoveInstanceForFactory(CFUUIDRef factoryID)
{
    if (const auto* f = as<UUID>(factoryID)) {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        auto it = r.instances.find(f->bytes());
        if (it != r.instances.end() && --it->second <= 0) {
            r.instances.erase(it);
        }
    }
}
