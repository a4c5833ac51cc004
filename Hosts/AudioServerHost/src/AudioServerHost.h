// The audio server's part for an AudioServer plug-in (the program sonvexa-audiod and its tests):
// loads a driver bundle through its factory, hands it a host interface, and asks it for objects
// and properties the way the audio server does.
//
// The host interface: PropertiesChanged is recorded and answered by reading the changed
// properties again; storage is one property-list file under the process's root; a configuration
// change is performed the way the audio server performs it, later and on the host's work queue:
// stop the device's IO, PerformDeviceConfigurationChange, read the device's properties again,
// start its IO again.
//
// Thread safety: the plug-in may call the host interface from any thread; the host's own calls
// are for one thread (the program's main thread, a test's).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "CoreAudio/AudioServerPlugIn.h"
#include "dispatch/dispatch.h"

namespace audiod {

class IOEngine;

// A property's value as it came back.
struct PropertyValue
{
    OSStatus status = 0;
    std::vector<uint8_t> bytes; // the written size
};

class AudioServerHost
{
public:
    // `storagePath`: the storage file as a system path (placed under the process's root).
    explicit AudioServerHost(std::string storagePath = kDefaultStoragePath);
    ~AudioServerHost();
    AudioServerHost(const AudioServerHost&) = delete;
    AudioServerHost& operator=(const AudioServerHost&) = delete;

    static constexpr const char* kDefaultDriverPath = "/Library/Audio/Plug-Ins/HAL/sonvexa.driver";
    static constexpr const char* kDefaultStoragePath = "/Library/Preferences/Audio/sonvexa-audiod.plist";

    // Loads the bundle, makes the plug-in through a factory of the AudioServer plug-in type and
    // asks it for the driver interface; false with the reason in `error`.
    bool load(const std::string& bundlePath, std::string& error);
    // Hands the plug-in the host interface and lets it find its devices.
    OSStatus initialize();
    AudioServerPlugInDriverRef driver() const { return mDriver; }

    // --- Asking as the audio server does (the client process is the calling one unless given).
    bool has(AudioObjectID object, AudioObjectPropertyAddress address) const;
    OSStatus settable(AudioObjectID object, AudioObjectPropertyAddress address, bool& isSettable) const;
    OSStatus size(AudioObjectID object, AudioObjectPropertyAddress address, uint32_t& outSize,
                  const void* qualifier = nullptr, uint32_t qualifierSize = 0) const;
    // Reads with a buffer of the size the plug-in names (or `bufferSize` when given).
    PropertyValue get(AudioObjectID object, AudioObjectPropertyAddress address, const void* qualifier = nullptr,
                      uint32_t qualifierSize = 0, int64_t bufferSize = -1) const;
    OSStatus set(AudioObjectID object, AudioObjectPropertyAddress address, const void* data, uint32_t dataSize,
                 const void* qualifier = nullptr, uint32_t qualifierSize = 0) const;
    // The client process id handed to the property calls (default: this process's).
    void setClientProcessID(pid_t pid) { mClientPID = pid; }

    std::vector<AudioObjectID> devices() const;
    // Every object of the plug-in, its class, name and every property value, as text.
    std::string list() const;

    // --- IO clients the host runs: StartIO/StopIO, remembered so that a configuration change
    // can stop and restart them.
    OSStatus startIO(AudioObjectID device, uint32_t clientID);
    OSStatus stopIO(AudioObjectID device, uint32_t clientID);
    // An engine running a device's IO cycles (IOEngine.h): a configuration change of the device
    // pauses its cycles before StopIO and resumes them after StartIO. Detaching waits for a
    // change in progress.
    void attach(IOEngine& engine);
    void detach(IOEngine& engine);

    // --- What the plug-in told the host.
    struct Change
    {
        AudioObjectID object;
        AudioObjectPropertyAddress address;
        OSStatus reread; // status of reading the property again (0: read)
    };
    struct ConfigurationChange
    {
        AudioObjectID device;
        uint64_t action;
        OSStatus performed; // status of PerformDeviceConfigurationChange
        std::vector<OSStatus> restarted; // StartIO of each client stopped for it
    };
    std::vector<Change> changes() const;
    std::vector<ConfigurationChange> configurationChanges() const;
    void clearRecords();
    // Waits until everything the plug-in asked of the host so far is answered (re-reads and
    // configuration changes done).
    void settle() const;
    // Waits (up to `seconds`) until `done` holds for the records; true when it did.
    bool waitFor(const std::function<bool(const std::vector<Change>&, const std::vector<ConfigurationChange>&)>& done,
                 double seconds) const;

    // The storage as it is now: key -> property list (XML text), for tests and --list.
    std::map<std::string, std::string> storage() const;

private:
    struct Interface
    {
        AudioServerPlugInHostInterface table;
        AudioServerHost* self;
    };
    static AudioServerHost& of(AudioServerPlugInHostRef host);
    static OSStatus PropertiesChanged(AudioServerPlugInHostRef host, AudioObjectID objectID, uint32_t count,
                                      const AudioObjectPropertyAddress addresses[]);
    static OSStatus CopyFromStorage(AudioServerPlugInHostRef host, CFStringRef key, CFPropertyListRef* data);
    static OSStatus WriteToStorage(AudioServerPlugInHostRef host, CFStringRef key, CFPropertyListRef data);
    static OSStatus DeleteFromStorage(AudioServerPlugInHostRef host, CFStringRef key);
    static OSStatus RequestDeviceConfigurationChange(AudioServerPlugInHostRef host, AudioObjectID device,
                                                     uint64_t action, void* info);

    void loadStorage();
    bool saveStorageLocked() const;
    void performConfigurationChange(AudioObjectID device, uint64_t action, void* info);
    void readDevice(AudioObjectID device) const;
    // Reads a property again for its status; a reference it hands out is released.
    OSStatus reread(AudioObjectID object, AudioObjectPropertyAddress address) const;
    void notify() const;

    Interface mInterface;
    AudioServerPlugInDriverRef mDriver = nullptr;
    CFTypeRef mPlugIn = nullptr; // the loaded bundle, kept while the driver lives
    pid_t mClientPID;
    dispatch_queue_t mWork; // re-reads and configuration changes, one at a time

    const std::string mStoragePath;
    mutable std::mutex mMutex;
    mutable std::condition_variable mChanged;
    CFMutableDictionaryRef mStorage = nullptr;                  // guarded by mMutex
    std::vector<Change> mChanges;                               // guarded by mMutex
    std::vector<ConfigurationChange> mConfigurationChanges;     // guarded by mMutex
    std::set<std::pair<AudioObjectID, uint32_t>> mRunning;      // guarded by mMutex
    std::mutex mEnginesMutex; // held through a configuration change
    std::vector<IOEngine*> mEngines; // guarded by mEnginesMutex
};

// A code as its four characters when printable ('dev#'), else as hexadecimal.
std::string fourCC(uint32_t code);

} // namespace audiod
