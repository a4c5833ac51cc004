// The user-side settings of the devices, kept in the current user's preferences under one
// application identifier shared by every device ("com.quenzar.sonvexa.hal"). Scalars are stored
// as decimal text, records as data; every setter synchronises at once.
//
// The preferences are the user's to edit: a value of the wrong type, or data shorter than the
// record it should hold, reads as missing. Numbers are read from decimal text or from a number.
//
// Threads: the host's property thread and the main run loop; the preferences service serialises
// access to the domain.
#pragma once

#include <cstdint>

#include "CoreFoundation/CoreFoundation.h"
#include "ElektronChannelMap.h"
#include "QzAqExtData.h"
#include "VKString.h"
#include "XMLDoc.h"

class OSXAsioRegistry : public XML::Doc
{
public:
    static constexpr uint32_t kReverbBuffersSize = 1'024;
    static constexpr uint32_t kMixerBufferSize = 64;
    static constexpr uint32_t kMixerFractionsSize = 512;
    static constexpr uint32_t kRoutingMatrixSize = 32;

    explicit OSXAsioRegistry(CFStringRef root);
    // The audio server's store: the folder is logged and not used.
    explicit OSXAsioRegistry(const VKString& folder);
    ~OSXAsioRegistry() override;

    bool isCurrentVersion() const { return m_currentVersion; }
    CFStringRef applicationID() const { return m_applicationID; }

    // Typed access by key; getters answer whether the key was present (with the right type).
    bool setStringValue(CFStringRef key, CFStringRef value);
    bool getStringValue(CFStringRef key, CFStringRef* value);
    bool setBoolValue(CFStringRef key, bool value);
    bool getBoolValue(CFStringRef key, bool* value);
    bool setUInt8Value(CFStringRef key, uint8_t value);
    bool getUInt8Value(CFStringRef key, uint8_t* value);
    bool setUInt16Value(CFStringRef key, uint16_t value);
    bool getUInt16Value(CFStringRef key, uint16_t* value);
    bool setUInt32Value(CFStringRef key, uint32_t value);
    bool getUInt32Value(CFStringRef key, uint32_t* value);
    bool setUInt64Value(CFStringRef key, uint64_t value);
    bool getUInt64Value(CFStringRef key, uint64_t* value);

    // Named settings (0 when missing).
    bool setClockSource(uint32_t v);
    uint32_t getClockSource();
    bool setUSB1Mode(uint32_t v);
    uint32_t getUSB1Mode();
    bool setDigitalOutMode(uint32_t v);
    uint32_t getDigitalOutMode();
    bool setDigitalOutSelector(uint32_t v);
    uint32_t getDigitalOutSelector();
    bool setForceInternal(uint32_t v);
    uint32_t getForceInternal();
    bool setWolfsonRegister(uint32_t codec, uint32_t reg, uint32_t v);
    uint32_t getWolfsonRegister(uint32_t codec, uint32_t reg);
    bool setRouting(uint32_t a, uint32_t b, uint32_t v);
    // True when the pair was stored.
    bool getRouting(uint32_t a, uint32_t b, uint32_t* v);
    bool setFootSwitchMode(uint32_t v);
    uint32_t getFootSwitchMode();
    bool setFootSwitchProtocol(uint32_t v);
    uint32_t getFootSwitchProtocol();
    bool setMixerMode(int v);
    int getMixerMode();
    bool setSampleRate(uint32_t v);
    uint32_t getSampleRate();

    // Records: setters write exactly their size, getters copy at most the caller's size.
    bool setReverbBuffers(const void* data);
    bool getReverbBuffers(void* data);
    bool setMixerBuffer(const void* data);
    bool getMixerBuffer(void* data);
    bool setMixerFractions(const void* data);
    bool getMixerFractions(void* data);
    bool setRoutingMatrix(const void* data);
    bool getRoutingMatrix(void* data);

    bool setElektronConfigAndMapping(const QZ_Elektron_ConfigAndMap& config);
    // Every field from its key or its default; true only when every key was present.
    bool getElektronConfigAndMapping(QZ_Elektron_ConfigAndMap& config);
    bool setElektronConfigAndMapping(const QZ_Elektron_ConfigAndMap& config, const char* id);
    bool getElektronConfigAndMapping(QZ_Elektron_ConfigAndMap& config, const char* id);

    // The channel map under "InputMap_%d" and "OutputMap_%d"; 255 for every entry missing; true
    // only when all sixteen were there.
    bool getElektronMapping(QZ_Elektron_ChannelMap& map);
    // Every attribute of the children of the document's "Settings" node as one preference
    // (attribute name, value text), then "Version" = "1.0"; the result of the last synchronisation.
    bool convertToCFPrefs();

    // The extension settings, defaults first, then what is stored.
    void loadAqExt(QzAqExtData& data);
    bool store();
    XML::Node* getSettingNode(const char*, bool) { return nullptr; }
    void showCFObj(CFStringRef format, ...);

    // Every value lives in this one domain, whatever the application id says.
    static constexpr const char* kDomain = "com.quenzar.sonvexa.hal";
    static CFStringRef domain() { return CFSTR("com.quenzar.sonvexa.hal"); }

private:
    void readVersion();
    CFPropertyListRef copy(const char* key);
    bool setText(const char* key, int32_t value);
    bool getNumber(const char* key, int32_t* value);
    // getNumber narrowed to the caller's type; 0 (false) when the key is missing.
    template <typename T> bool getNumberAs(const char* key, T* value);
    uint32_t number(const char* key);
    bool setData(const char* key, const void* data, uint32_t size);
    bool getData(const char* key, void* data, uint32_t size);

    bool m_currentVersion = false;
    CFStringRef m_applicationID = nullptr;
};
