// The audio server device's settings in the audio server's own storage: the kernel device's
// registry settings under "com.quenzar.sonvexa", read back for the channel settings, extension
// data and mixer values, and the Elektron configuration and channel map under a key made of the
// device's configuration identifier.
//
// Storage is the audio server's to keep and anyone's to corrupt: every level of a stored value is
// type-checked, and a value of the wrong type, or data shorter than the record it should fill,
// reads as missing. Data is never copied beyond the caller's buffer.
//
// Threads: no lock of its own; the device calls it from activation, deactivation, configuration
// changes and state changes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "CoreFoundation/CoreFoundation.h"
#include "ElektronChannelMap.h"
#include "QzAqExtData.h"

// The host's storage calls as the plug-in passes them on; without a host they fail.
class QzASHostStorage
{
public:
    virtual ~QzASHostStorage() = default;
    // The stored value under `key` (the caller's reference) or a failure status.
    virtual OSStatus CopyFromStorage(CFStringRef key, CFPropertyListRef* value) = 0;
    virtual OSStatus WriteToStorage(CFStringRef key, CFPropertyListRef value) = 0;
};

class QzStoragePrefs
{
public:
    static constexpr const char* kStorageKey = "com.quenzar.sonvexa";

    explicit QzStoragePrefs(QzASHostStorage* storage = nullptr);
    virtual ~QzStoragePrefs();
    QzStoragePrefs(const QzStoragePrefs&) = delete;
    QzStoragePrefs& operator=(const QzStoragePrefs&) = delete;

    void setHostStorage(QzASHostStorage* storage) { m_storage = storage; }

    // Writes `dictionary` under "com.quenzar.sonvexa"; true (and settings found) on success.
    bool writeStorageProperties(CFDictionaryRef dictionary);
    // Reads the value under `key` (null: "com.quenzar.sonvexa") into the properties; true when
    // the storage answered. A value that is not a dictionary leaves the properties empty.
    bool readStorageProperties(const char* key = nullptr);
    // The stored value (caller's reference) or null.
    CFPropertyListRef readStoredProperties(CFStringRef key);
    bool storeProperties(CFStringRef key, CFPropertyListRef value);

    bool getStoredChannelValue(const char* name, int32_t& value);
    bool getStoredFrequency(int32_t& value) { return getStoredChannelValue("Frequency", value); }
    bool getStoredInChannels(int32_t& value) { return getStoredChannelValue("InChannels", value); }
    bool getStoredOutChannels(int32_t& value) { return getStoredChannelValue("OutChannels", value); }
    bool getStoredInResolution(int32_t& value) { return getStoredChannelValue("InResolution", value); }
    bool getStoredOutResolution(int32_t& value) { return getStoredChannelValue("OutResolution", value); }
    // Defaults, then every key that is stored; unchanged when "AqExtData" is missing. True when it
    // was found.
    bool getStoredAqExt(QzAqExtData& record);
    bool getStoredMixerMode(int32_t& value);
    bool getStoredMixerKnob(int32_t& value);
    bool getStoredMixerValues(int32_t& value);
    // Up to `size` bytes of the block; the rest of the buffer zeroed when the block is shorter.
    bool getStoredReverbBuffers(void* buffer, size_t size);
    bool getStoredMixerBuffer(void* buffer, size_t size);
    bool getStoredMixerFractions(void* buffer, size_t size);
    bool getStoredRoutingMatrix(void* buffer, size_t size);
    // The record stored for the 8-byte identifier; false (record unchanged) when none, or when
    // the block is shorter than the record.
    bool getStoredElektronConfigAndMapping(QZ_Elektron_ConfigAndMap& record, const char* id);
    bool setStoredElektronConfigAndMapping(const QZ_Elektron_ConfigAndMap& record, const char* id, bool flag);

    CFMutableDictionaryRef properties() const { return m_properties; }
    bool settingsFound() const { return m_settingsFound; }

private:
    // The value under `key` in the properties, when it has the type `typeID`.
    CFTypeRef member(CFDictionaryRef dictionary, const char* key, CFTypeID typeID) const;
    bool getStoredNumber(const char* key, const char* logName, int32_t& value);
    bool getStoredData(const char* key, const char* logName, void* buffer, size_t size);

    CFMutableDictionaryRef m_properties;
    bool m_settingsFound = false;
    QzASHostStorage* m_storage;
};
