#include "AudioServerHost.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

#include "CoreFoundation/CoreFoundation.h"
#include "IOEngine.h"
#include "platform/DispatchQueues.h"
#include "platform/ProcessEnvironment.h"

namespace audiod {
namespace {

std::string text(CFStringRef string)
{
    if (string == nullptr || CFGetTypeID(string) != CFStringGetTypeID()) {
        return {};
    }
    std::vector<char> buffer(static_cast<size_t>(CFStringGetMaximumSizeForEncoding(CFStringGetLength(string),
                                                                                   kCFStringEncodingUTF8)) +
                             1);
    if (!CFStringGetCString(string, buffer.data(), static_cast<CFIndex>(buffer.size()), kCFStringEncodingUTF8)) {
        return {};
    }
    return buffer.data();
}

std::string xml(CFPropertyListRef value)
{
    CFDataRef data = CFPropertyListCreateXMLData(nullptr, value);
    if (data == nullptr) {
        return {};
    }
    std::string result(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                       static_cast<size_t>(CFDataGetLength(data)));
    CFRelease(data);
    return result;
}

void makeParents(const std::string& path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        ::mkdir(path.substr(0, slash).c_str(), 0755);
    }
}

template <class T> T read(const PropertyValue& value, size_t index = 0)
{
    T result{};
    if ((index + 1) * sizeof(T) <= value.bytes.size()) {
        std::memcpy(&result, value.bytes.data() + index * sizeof(T), sizeof(T));
    }
    return result;
}

// Properties whose value is a reference the reader owns.
constexpr AudioObjectPropertySelector kReferenceSelectors[] = {
    kAudioObjectPropertyName, kAudioObjectPropertyManufacturer, kAudioPlugInPropertyResourceBundle,
    kAudioDevicePropertyDeviceUID, kAudioDevicePropertyModelUID, kAudioDevicePropertyConfigurationApplication,
    kAudioDevicePropertyIcon, kAudioObjectPropertyElementName};

} // namespace

std::string fourCC(uint32_t code)
{
    std::string characters;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = static_cast<char>((code >> shift) & 0xFF);
        if (c < 0x20 || c > 0x7E) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "0x%08X", code);
            return hex;
        }
        characters += c;
    }
    return "'" + characters + "'";
}

AudioServerHost::AudioServerHost(std::string storagePath)
    : mClientPID(platform::process::pid()), mWork(dispatch_queue_create("sonvexa-audiod work", nullptr)),
      mStoragePath(std::move(storagePath))
{
    mInterface.table = {&PropertiesChanged, &CopyFromStorage, &WriteToStorage, &DeleteFromStorage,
                        &RequestDeviceConfigurationChange};
    mInterface.self = this;
    loadStorage();
}

AudioServerHost::~AudioServerHost()
{
    settle();
    // The plug-in stays loaded: its objects may still run deferred work of their own.
    dispatch_release(mWork);
    if (mStorage != nullptr) {
        CFRelease(mStorage);
    }
}

AudioServerHost& AudioServerHost::of(AudioServerPlugInHostRef host)
{
    return *reinterpret_cast<const Interface*>(host)->self;
}

bool AudioServerHost::load(const std::string& bundlePath, std::string& error)
{
    CFStringRef path = CFStringCreateWithCString(nullptr, bundlePath.c_str(), kCFStringEncodingUTF8);
    CFURLRef url = CFURLCreateWithFileSystemPath(nullptr, path, kCFURLPOSIXPathStyle, true);
    CFRelease(path);
    CFPlugInRef plugIn = CFPlugInCreate(nullptr, url);
    CFRelease(url);
    if (plugIn == nullptr) {
        error = "no bundle at " + bundlePath;
        return false;
    }
    CFArrayRef factories = CFPlugInFindFactoriesForPlugInTypeInPlugIn(kAudioServerPlugInTypeUUID, plugIn);
    const CFIndex count = factories != nullptr ? CFArrayGetCount(factories) : 0;
    void* instance = nullptr;
    for (CFIndex index = 0; index < count && instance == nullptr; ++index) {
        auto factory = static_cast<CFUUIDRef>(CFArrayGetValueAtIndex(factories, index));
        instance = CFPlugInInstanceCreate(nullptr, factory, kAudioServerPlugInTypeUUID);
    }
    if (factories != nullptr) {
        CFRelease(factories);
    }
    if (count == 0) {
        error = bundlePath + " registers no factory for the AudioServer plug-in type";
        CFRelease(plugIn);
        return false;
    }
    if (instance == nullptr) {
        error = "the factory of " + bundlePath + " made no plug-in (its log says why)";
        CFRelease(plugIn);
        return false;
    }
    auto* unknown = static_cast<IUnknownVTbl**>(instance);
    void* driver = nullptr;
    const HRESULT status =
        (*unknown)->QueryInterface(unknown, CFUUIDGetUUIDBytes(kAudioServerPlugInDriverInterfaceUUID), &driver);
    (*unknown)->Release(unknown);
    if (status != S_OK || driver == nullptr) {
        error = bundlePath + " offers no AudioServer driver interface";
        CFRelease(plugIn);
        return false;
    }
    mDriver = static_cast<AudioServerPlugInDriverRef>(driver);
    mPlugIn = plugIn;
    return true;
}

OSStatus AudioServerHost::initialize()
{
    if (mDriver == nullptr) {
        return kAudioHardwareNotRunningError;
    }
    return (*mDriver)->Initialize(mDriver, &mInterface.table);
}

// --- Property calls

bool AudioServerHost::has(AudioObjectID object, AudioObjectPropertyAddress address) const
{
    return mDriver != nullptr && (*mDriver)->HasProperty(mDriver, object, mClientPID, &address) != 0;
}

OSStatus AudioServerHost::settable(AudioObjectID object, AudioObjectPropertyAddress address, bool& isSettable) const
{
    Boolean answer = 0;
    const OSStatus status = (*mDriver)->IsPropertySettable(mDriver, object, mClientPID, &address, &answer);
    isSettable = answer != 0;
    return status;
}

OSStatus AudioServerHost::size(AudioObjectID object, AudioObjectPropertyAddress address, uint32_t& outSize,
                               const void* qualifier, uint32_t qualifierSize) const
{
    outSize = 0;
    return (*mDriver)->GetPropertyDataSize(mDriver, object, mClientPID, &address, qualifierSize, qualifier, &outSize);
}

PropertyValue AudioServerHost::get(AudioObjectID object, AudioObjectPropertyAddress address, const void* qualifier,
                                   uint32_t qualifierSize, int64_t bufferSize) const
{
    PropertyValue value;
    uint32_t capacity = 0;
    if (bufferSize >= 0) {
        capacity = static_cast<uint32_t>(bufferSize);
    } else {
        value.status = size(object, address, capacity, qualifier, qualifierSize);
        if (value.status != 0) {
            return value;
        }
    }
    // Room beyond the named size, so that a plug-in writing more than it names shows up as a size.
    std::vector<uint8_t> buffer(static_cast<size_t>(capacity) + 64, 0);
    uint32_t written = 0;
    value.status = (*mDriver)->GetPropertyData(mDriver, object, mClientPID, &address, qualifierSize, qualifier,
                                               capacity, &written, buffer.data());
    if (value.status == 0) {
        buffer.resize(std::min<size_t>(written, buffer.size()));
        value.bytes = std::move(buffer);
    }
    return value;
}

OSStatus AudioServerHost::set(AudioObjectID object, AudioObjectPropertyAddress address, const void* data,
                              uint32_t dataSize, const void* qualifier, uint32_t qualifierSize) const
{
    return (*mDriver)->SetPropertyData(mDriver, object, mClientPID, &address, qualifierSize, qualifier, dataSize,
                                       data);
}

std::vector<AudioObjectID> AudioServerHost::devices() const
{
    const PropertyValue list = get(kAudioObjectPlugInObject, {kAudioPlugInPropertyDeviceList,
                                                              kAudioObjectPropertyScopeGlobal, 0});
    std::vector<AudioObjectID> ids(list.bytes.size() / sizeof(AudioObjectID));
    if (!ids.empty()) {
        std::memcpy(ids.data(), list.bytes.data(), ids.size() * sizeof(AudioObjectID));
    }
    return ids;
}

// --- IO clients

OSStatus AudioServerHost::startIO(AudioObjectID device, uint32_t clientID)
{
    const OSStatus status = (*mDriver)->StartIO(mDriver, device, clientID);
    if (status == 0) {
        std::lock_guard lock(mMutex);
        mRunning.insert({device, clientID});
    }
    return status;
}

OSStatus AudioServerHost::stopIO(AudioObjectID device, uint32_t clientID)
{
    {
        std::lock_guard lock(mMutex);
        mRunning.erase({device, clientID});
    }
    return (*mDriver)->StopIO(mDriver, device, clientID);
}

void AudioServerHost::attach(IOEngine& engine)
{
    std::lock_guard lock(mEnginesMutex);
    mEngines.push_back(&engine);
}

void AudioServerHost::detach(IOEngine& engine)
{
    std::lock_guard lock(mEnginesMutex);
    mEngines.erase(std::remove(mEngines.begin(), mEngines.end(), &engine), mEngines.end());
}

// --- The host interface

OSStatus AudioServerHost::PropertiesChanged(AudioServerPlugInHostRef host, AudioObjectID objectID, uint32_t count,
                                            const AudioObjectPropertyAddress addresses[])
{
    if (addresses == nullptr && count != 0) {
        return kAudioHardwareIllegalOperationError;
    }
    AudioServerHost& self = of(host);
    std::vector<AudioObjectPropertyAddress> changed(addresses, addresses + count);
    // Answered later, never inside the plug-in's call.
    dispatch_async(self.mWork, [&self, objectID, changed] {
        for (const AudioObjectPropertyAddress& address : changed) {
            OSStatus reread = kAudioHardwareUnknownPropertyError;
            if (self.has(objectID, address)) {
                reread = self.reread(objectID, address);
            }
            if (objectID == kAudioObjectPlugInObject && address.mSelector == kAudioPlugInPropertyDeviceList) {
                for (AudioObjectID device : self.devices()) {
                    self.readDevice(device);
                }
            }
            std::lock_guard lock(self.mMutex);
            self.mChanges.push_back(Change{objectID, address, reread});
        }
        self.notify();
    });
    return 0;
}

OSStatus AudioServerHost::RequestDeviceConfigurationChange(AudioServerPlugInHostRef host, AudioObjectID device,
                                                           uint64_t action, void* info)
{
    AudioServerHost& self = of(host);
    dispatch_async(self.mWork, [&self, device, action, info] { self.performConfigurationChange(device, action, info); });
    return 0;
}

void AudioServerHost::performConfigurationChange(AudioObjectID device, uint64_t action, void* info)
{
    std::lock_guard engines(mEnginesMutex);
    std::vector<IOEngine*> cycling;
    for (IOEngine* engine : mEngines) {
        if (engine->device() == device) {
            cycling.push_back(engine);
            engine->pause();
        }
    }
    std::vector<uint32_t> clients;
    {
        std::lock_guard lock(mMutex);
        for (const auto& [running, client] : mRunning) {
            if (running == device) {
                clients.push_back(client);
            }
        }
    }
    for (uint32_t client : clients) {
        (*mDriver)->StopIO(mDriver, device, client);
    }
    ConfigurationChange change{device, action, 0, {}};
    change.performed = (*mDriver)->PerformDeviceConfigurationChange(mDriver, device, action, info);
    readDevice(device);
    for (uint32_t client : clients) {
        change.restarted.push_back((*mDriver)->StartIO(mDriver, device, client));
    }
    for (IOEngine* engine : cycling) {
        engine->resume();
    }
    {
        std::lock_guard lock(mMutex);
        mConfigurationChanges.push_back(change);
    }
    notify();
}

OSStatus AudioServerHost::reread(AudioObjectID object, AudioObjectPropertyAddress address) const
{
    const PropertyValue value = get(object, address);
    bool reference = std::find(std::begin(kReferenceSelectors), std::end(kReferenceSelectors), address.mSelector) !=
                     std::end(kReferenceSelectors);
    if (!reference && value.status == 0) {
        // Custom properties hand out property lists and strings.
        const PropertyValue custom =
            get(object, {kAudioObjectPropertyCustomPropertyInfoList, kAudioObjectPropertyScopeGlobal, 0});
        for (size_t index = 0; index < custom.bytes.size() / sizeof(AudioServerPlugInCustomPropertyInfo); ++index) {
            reference = reference || read<AudioServerPlugInCustomPropertyInfo>(custom, index).mSelector == address.mSelector;
        }
    }
    if (reference && value.status == 0 && value.bytes.size() == sizeof(CFTypeRef)) {
        if (const auto owned = read<CFTypeRef>(value)) {
            CFRelease(owned);
        }
    }
    return value.status;
}

// What the audio server reads of a device after it changed: the device's properties in every
// scope and those of its streams and controls.
void AudioServerHost::readDevice(AudioObjectID device) const
{
    static const AudioObjectPropertySelector deviceSelectors[] = {
        kAudioObjectPropertyName, kAudioDevicePropertyNominalSampleRate, kAudioDevicePropertyAvailableNominalSampleRates,
        kAudioDevicePropertyLatency, kAudioDevicePropertySafetyOffset, kAudioDevicePropertyZeroTimeStampPeriod,
        kAudioDevicePropertyStreams, kAudioObjectPropertyOwnedObjects, kAudioObjectPropertyControlList};
    static const AudioObjectPropertySelector streamSelectors[] = {
        kAudioStreamPropertyPhysicalFormat, kAudioStreamPropertyAvailablePhysicalFormats, kAudioStreamPropertyLatency};
    for (AudioObjectPropertyScope scope :
         {kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyScopeInput, kAudioObjectPropertyScopeOutput}) {
        for (AudioObjectPropertySelector selector : deviceSelectors) {
            if (has(device, {selector, scope, 0})) {
                reread(device, {selector, scope, 0});
            }
        }
    }
    const PropertyValue streams = get(device, {kAudioDevicePropertyStreams, kAudioObjectPropertyScopeGlobal, 0});
    for (size_t index = 0; index < streams.bytes.size() / sizeof(AudioObjectID); ++index) {
        const auto stream = read<AudioObjectID>(streams, index);
        for (AudioObjectPropertySelector selector : streamSelectors) {
            if (has(stream, {selector, kAudioObjectPropertyScopeGlobal, 0})) {
                reread(stream, {selector, kAudioObjectPropertyScopeGlobal, 0});
            }
        }
    }
}

void AudioServerHost::notify() const
{
    std::lock_guard lock(mMutex);
    mChanged.notify_all();
}

std::vector<AudioServerHost::Change> AudioServerHost::changes() const
{
    std::lock_guard lock(mMutex);
    return mChanges;
}

std::vector<AudioServerHost::ConfigurationChange> AudioServerHost::configurationChanges() const
{
    std::lock_guard lock(mMutex);
    return mConfigurationChanges;
}

void AudioServerHost::clearRecords()
{
    std::lock_guard lock(mMutex);
    mChanges.clear();
    mConfigurationChanges.clear();
}

void AudioServerHost::settle() const
{
    platform::dispatch::drain(mWork);
}

bool AudioServerHost::waitFor(
    const std::function<bool(const std::vector<Change>&, const std::vector<ConfigurationChange>&)>& done,
    double seconds) const
{
    std::unique_lock lock(mMutex);
    return mChanged.wait_for(lock, std::chrono::duration<double>(seconds),
                             [&] { return done(mChanges, mConfigurationChanges); });
}

// --- Storage

void AudioServerHost::loadStorage()
{
    std::ifstream file(platform::process::rootedPath(mStoragePath), std::ios::binary);
    const std::string contents((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    CFPropertyListRef loaded = nullptr;
    if (!contents.empty()) {
        CFDataRef data = CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(contents.data()),
                                      static_cast<CFIndex>(contents.size()));
        loaded = CFPropertyListCreateWithData(nullptr, data, kCFPropertyListImmutable, nullptr, nullptr);
        CFRelease(data);
    }
    if (loaded != nullptr && CFGetTypeID(loaded) == CFDictionaryGetTypeID()) {
        mStorage = CFDictionaryCreateMutableCopy(nullptr, 0, static_cast<CFDictionaryRef>(loaded));
    } else {
        mStorage = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                             &kCFTypeDictionaryValueCallBacks);
    }
    if (loaded != nullptr) {
        CFRelease(loaded);
    }
}

bool AudioServerHost::saveStorageLocked() const
{
    const std::string path = platform::process::rootedPath(mStoragePath);
    makeParents(path);
    const std::string contents = xml(mStorage);
    const std::string temporary = path + ".new";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file << contents;
        if (!file.flush()) {
            return false;
        }
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

OSStatus AudioServerHost::CopyFromStorage(AudioServerPlugInHostRef host, CFStringRef key, CFPropertyListRef* data)
{
    if (key == nullptr || data == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    AudioServerHost& self = of(host);
    std::lock_guard lock(self.mMutex);
    CFTypeRef value = CFDictionaryGetValue(self.mStorage, key);
    *data = value != nullptr ? CFPropertyListCreateDeepCopy(nullptr, value, kCFPropertyListImmutable) : nullptr;
    return 0;
}

OSStatus AudioServerHost::WriteToStorage(AudioServerPlugInHostRef host, CFStringRef key, CFPropertyListRef data)
{
    if (key == nullptr || data == nullptr || !CFPropertyListIsValid(data, kCFPropertyListXMLFormat_v1_0)) {
        return kAudioHardwareIllegalOperationError;
    }
    AudioServerHost& self = of(host);
    std::lock_guard lock(self.mMutex);
    CFDictionarySetValue(self.mStorage, key, data);
    return self.saveStorageLocked() ? 0 : kAudioHardwareUnspecifiedError;
}

OSStatus AudioServerHost::DeleteFromStorage(AudioServerPlugInHostRef host, CFStringRef key)
{
    if (key == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    AudioServerHost& self = of(host);
    std::lock_guard lock(self.mMutex);
    CFDictionaryRemoveValue(self.mStorage, key);
    return self.saveStorageLocked() ? 0 : kAudioHardwareUnspecifiedError;
}

std::map<std::string, std::string> AudioServerHost::storage() const
{
    std::lock_guard lock(mMutex);
    std::map<std::string, std::string> result;
    const CFIndex count = CFDictionaryGetCount(mStorage);
    std::vector<const void*> keys(static_cast<size_t>(count));
    std::vector<const void*> values(static_cast<size_t>(count));
    CFDictionaryGetKeysAndValues(mStorage, keys.data(), values.data());
    for (CFIndex index = 0; index < count; ++index) {
        result[text(static_cast<CFStringRef>(keys[static_cast<size_t>(index)]))] = xml(values[static_cast<size_t>(index)]);
    }
    return result;
}

} // namespace audiod
