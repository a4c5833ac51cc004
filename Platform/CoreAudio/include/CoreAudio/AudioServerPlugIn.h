// The audio server's plug-in interface: the driver interface table a plug-in hands out through its
// factory, the host interface table the audio server hands the plug-in at Initialize, and the
// records, selectors, classes, scopes and status codes both sides speak. The records and codes
// the legacy plug-in interface shares (time stamps, stream formats, property addresses, the
// common statuses) come from AudioHardwarePlugIn.h.
//
// Four-character codes are big-endian u32 values ('dev#' is 0x64657623).
#pragma once

#include <cstdint>
#include <sys/types.h>

#include "CoreAudio/AudioHardwarePlugIn.h"
#include "CoreFoundation/CFDictionary.h"
#include "CoreFoundation/CFPlugInCOM.h"
#include "CoreFoundation/CFPropertyList.h"
#include "CoreFoundation/CFString.h"
#include "CoreFoundation/CFUUID.h"

using AudioClassID = uint32_t;
using AudioObjectPropertyListenerProc = void*;

// --- Status codes besides the common ones.
enum : OSStatus
{
    kAudioHardwareBadObjectError = static_cast<OSStatus>(audioFourCC("!obj")),
    kAudioHardwareUnsupportedOperationError = static_cast<OSStatus>(audioFourCC("unop")),
};

// --- Objects and classes.
constexpr AudioObjectID kAudioObjectPlugInObject = 1;

constexpr AudioClassID kAudioObjectClassID = audioFourCC("aobj");
constexpr AudioClassID kAudioPlugInClassID = audioFourCC("aplg");
constexpr AudioClassID kAudioDeviceClassID = audioFourCC("adev");
constexpr AudioClassID kAudioStreamClassID = audioFourCC("astr");
constexpr AudioClassID kAudioControlClassID = audioFourCC("actl");
constexpr AudioClassID kAudioLevelControlClassID = audioFourCC("levl");
constexpr AudioClassID kAudioVolumeControlClassID = audioFourCC("vlme");
constexpr AudioClassID kAudioBooleanControlClassID = audioFourCC("togl");
constexpr AudioClassID kAudioMuteControlClassID = audioFourCC("mute");
constexpr AudioClassID kAudioSelectorControlClassID = audioFourCC("slct");
constexpr AudioClassID kAudioDataSourceControlClassID = audioFourCC("dsrc");

constexpr AudioObjectPropertyScope kAudioObjectPropertyScopePlayThrough = audioFourCC("ptru");
constexpr AudioObjectPropertyElement kAudioObjectPropertyElementMain = kAudioObjectPropertyElementMaster;
constexpr AudioObjectPropertySelector kAudioObjectPropertySelectorWildcard = audioFourCC("****");

// --- Selectors of every object.
constexpr AudioObjectPropertySelector kAudioObjectPropertyBaseClass = audioFourCC("bcls");
constexpr AudioObjectPropertySelector kAudioObjectPropertyClass = audioFourCC("clas");
constexpr AudioObjectPropertySelector kAudioObjectPropertyOwner = audioFourCC("stdv");
constexpr AudioObjectPropertySelector kAudioObjectPropertyName = audioFourCC("lnam");
constexpr AudioObjectPropertySelector kAudioObjectPropertyManufacturer = audioFourCC("lmak");
constexpr AudioObjectPropertySelector kAudioObjectPropertyElementName = audioFourCC("lchn");
constexpr AudioObjectPropertySelector kAudioObjectPropertyOwnedObjects = audioFourCC("ownd");
constexpr AudioObjectPropertySelector kAudioObjectPropertyControlList = audioFourCC("ctrl");
constexpr AudioObjectPropertySelector kAudioObjectPropertyCustomPropertyInfoList = audioFourCC("cust");

// --- The plug-in object.
constexpr AudioObjectPropertySelector kAudioPlugInPropertyDeviceList = audioFourCC("dev#");
constexpr AudioObjectPropertySelector kAudioPlugInPropertyTranslateUIDToDevice = audioFourCC("uidd");
constexpr AudioObjectPropertySelector kAudioPlugInPropertyResourceBundle = audioFourCC("rsrc");

// --- Devices (besides those of AudioHardwarePlugIn.h).
constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceUID = audioFourCC("uid ");
constexpr AudioObjectPropertySelector kAudioDevicePropertyModelUID = audioFourCC("muid");
constexpr AudioObjectPropertySelector kAudioDevicePropertyConfigurationApplication = audioFourCC("capp");
constexpr AudioObjectPropertySelector kAudioDevicePropertyTransportType = audioFourCC("tran");
constexpr AudioObjectPropertySelector kAudioDevicePropertyRelatedDevices = audioFourCC("akin");
constexpr AudioObjectPropertySelector kAudioDevicePropertyClockDomain = audioFourCC("clkd");
constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceIsAlive = audioFourCC("livn");
constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceCanBeDefaultDevice = audioFourCC("dflt");
constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceCanBeDefaultSystemDevice = audioFourCC("sflt");
constexpr AudioObjectPropertySelector kAudioDevicePropertyZeroTimeStampPeriod = audioFourCC("ring");
constexpr AudioObjectPropertySelector kAudioDevicePropertyClockSource = audioFourCC("csrc");
constexpr AudioObjectPropertySelector kAudioDevicePropertyClockSources = audioFourCC("csc#");
constexpr AudioObjectPropertySelector kAudioDevicePropertyClockSourceNameForID = audioFourCC("cscn");
constexpr AudioObjectPropertySelector kAudioDevicePropertyIcon = audioFourCC("icon");
constexpr AudioObjectPropertySelector kAudioDevicePropertyIsHidden = audioFourCC("hidn");
constexpr AudioObjectPropertySelector kAudioDevicePropertyPreferredChannelsForStereo = audioFourCC("dch2");
constexpr AudioObjectPropertySelector kAudioDevicePropertyPreferredChannelLayout = audioFourCC("srnd");
constexpr AudioObjectPropertySelector kAudioDevicePropertyStreams = audioFourCC("stm#");
constexpr AudioObjectPropertySelector kAudioDevicePropertyBufferFrameSizeRange = audioFourCC("fsz#");
constexpr AudioObjectPropertySelector kAudioDevicePropertyStreamConfiguration = audioFourCC("slay");

constexpr uint32_t kAudioDeviceTransportTypeUSB = audioFourCC("usb ");
constexpr uint32_t kAudioDeviceTransportTypeUnknown = 0;
constexpr uint32_t kAudioDeviceTransportTypeOther = audioFourCC("othr");

// --- Streams.
constexpr AudioObjectPropertySelector kAudioStreamPropertyIsActive = audioFourCC("sact");
constexpr AudioObjectPropertySelector kAudioStreamPropertyDirection = audioFourCC("sdir");
constexpr AudioObjectPropertySelector kAudioStreamPropertyTerminalType = audioFourCC("term");
constexpr AudioObjectPropertySelector kAudioStreamPropertyStartingChannel = audioFourCC("schn");
constexpr AudioObjectPropertySelector kAudioStreamPropertyLatency = kAudioDevicePropertyLatency;
constexpr AudioObjectPropertySelector kAudioStreamPropertyVirtualFormat = audioFourCC("sfmt");
constexpr AudioObjectPropertySelector kAudioStreamPropertyAvailableVirtualFormats = audioFourCC("sfma");

constexpr uint32_t kAudioStreamTerminalTypeDigitalAudioInterface = audioFourCC("spdf");

// --- Controls.
constexpr AudioObjectPropertySelector kAudioControlPropertyScope = audioFourCC("cscp");
constexpr AudioObjectPropertySelector kAudioControlPropertyElement = audioFourCC("celm");
constexpr AudioObjectPropertySelector kAudioLevelControlPropertyScalarValue = audioFourCC("lcsv");
constexpr AudioObjectPropertySelector kAudioLevelControlPropertyDecibelValue = audioFourCC("lcdv");
constexpr AudioObjectPropertySelector kAudioLevelControlPropertyDecibelRange = audioFourCC("lcdr");
constexpr AudioObjectPropertySelector kAudioLevelControlPropertyConvertScalarToDecibels = audioFourCC("lcsd");
constexpr AudioObjectPropertySelector kAudioLevelControlPropertyConvertDecibelsToScalar = audioFourCC("lcds");
constexpr AudioObjectPropertySelector kAudioBooleanControlPropertyValue = audioFourCC("bcvl");
constexpr AudioObjectPropertySelector kAudioSelectorControlPropertyCurrentItem = audioFourCC("scci");
constexpr AudioObjectPropertySelector kAudioSelectorControlPropertyAvailableItems = audioFourCC("scai");
constexpr AudioObjectPropertySelector kAudioSelectorControlPropertyItemName = audioFourCC("scin");

// --- Records.

// A translation property's in and out buffers ('cscn' reads a u32 source into a text buffer).
struct AudioValueTranslation
{
    void* mInputData;
    uint32_t mInputDataSize;
    void* mOutputData;
    uint32_t mOutputDataSize;
};
static_assert(sizeof(AudioValueTranslation) == 32);

using AudioChannelLabel = uint32_t;
using AudioChannelLayoutTag = uint32_t;
using AudioChannelFlags = uint32_t;
using AudioChannelBitmap = uint32_t;

constexpr AudioChannelLabel kAudioChannelLabel_Left = 1;
constexpr AudioChannelLabel kAudioChannelLabel_Right = 2;
constexpr AudioChannelLayoutTag kAudioChannelLayoutTag_UseChannelDescriptions = 0;

struct AudioChannelDescription
{
    AudioChannelLabel mChannelLabel;
    AudioChannelFlags mChannelFlags;
    Float32 mCoordinates[3];
};
static_assert(sizeof(AudioChannelDescription) == 20);

// A variable-length record: mNumberChannelDescriptions descriptions (the declared one and those
// following it).
struct AudioChannelLayout
{
    AudioChannelLayoutTag mChannelLayoutTag;
    AudioChannelBitmap mChannelBitmap;
    uint32_t mNumberChannelDescriptions;
    AudioChannelDescription mChannelDescriptions[1];
};
// The layout of two channels, as a device hands it out.
constexpr uint32_t kAudioChannelLayoutStereoSize = 12 + 2 * sizeof(AudioChannelDescription);
static_assert(kAudioChannelLayoutStereoSize == 52);

static_assert(sizeof(AudioValueRange) == 16);
static_assert(sizeof(AudioStreamRangedDescription) == 56);
static_assert(sizeof(AudioObjectPropertyAddress) == 12);

// Who a device client is: the audio server makes one per client of a device.
struct AudioServerPlugInClientInfo
{
    uint32_t mClientID;
    pid_t mProcessID;
    Boolean mIsNativeEndian;
    CFStringRef mBundleID; // may be null
};

// The times of one IO cycle, handed to every IO operation of the cycle.
struct AudioServerPlugInIOCycleInfo
{
    uint64_t mIOCycleCounter;
    uint32_t mNominalIOBufferFrameSize;
    AudioTimeStamp mInputTime;
    AudioTimeStamp mOutputTime;
    AudioTimeStamp mCurrentTime;
    Float64 mMasterHostTicksPerFrame;
    Float64 mDeviceHostTicksPerFrame;
};

// One entry of a device's custom property info list.
struct AudioServerPlugInCustomPropertyInfo
{
    AudioObjectPropertySelector mSelector;
    uint32_t mPropertyDataType;
    uint32_t mQualifierDataType;
};
static_assert(sizeof(AudioServerPlugInCustomPropertyInfo) == 12);

constexpr uint32_t kAudioServerPlugInCustomPropertyDataTypeNone = 0;
constexpr uint32_t kAudioServerPlugInCustomPropertyDataTypeCFString = audioFourCC("cfst");
constexpr uint32_t kAudioServerPlugInCustomPropertyDataTypeCFPropertyList = audioFourCC("plst");

// The operations of one IO cycle, in the order the audio server runs them.
enum : uint32_t
{
    kAudioServerPlugInIOOperationThread = audioFourCC("thrd"),
    kAudioServerPlugInIOOperationCycle = audioFourCC("cycl"),
    kAudioServerPlugInIOOperationReadInput = audioFourCC("read"),
    kAudioServerPlugInIOOperationConvertInput = audioFourCC("cinp"),
    kAudioServerPlugInIOOperationProcessInput = audioFourCC("pinp"),
    kAudioServerPlugInIOOperationProcessOutput = audioFourCC("pout"),
    kAudioServerPlugInIOOperationMixOutput = audioFourCC("mixo"),
    kAudioServerPlugInIOOperationProcessMix = audioFourCC("pmix"),
    kAudioServerPlugInIOOperationConvertMix = audioFourCC("cmix"),
    kAudioServerPlugInIOOperationWriteMix = audioFourCC("rite"),
};

// --- The two interface tables.

struct AudioServerPlugInHostInterface;
using AudioServerPlugInHostRef = const AudioServerPlugInHostInterface*;

// What the audio server offers the plug-in. Every operation takes the host reference first and
// may be called from any of the plug-in's threads.
struct AudioServerPlugInHostInterface
{
    OSStatus (*PropertiesChanged)(AudioServerPlugInHostRef host, AudioObjectID objectID, uint32_t numberAddresses,
                                  const AudioObjectPropertyAddress addresses[]);
    // The caller owns the property list returned.
    OSStatus (*CopyFromStorage)(AudioServerPlugInHostRef host, CFStringRef key, CFPropertyListRef* data);
    OSStatus (*WriteToStorage)(AudioServerPlugInHostRef host, CFStringRef key, CFPropertyListRef data);
    OSStatus (*DeleteFromStorage)(AudioServerPlugInHostRef host, CFStringRef key);
    // Asks the audio server to stop IO and call PerformDeviceConfigurationChange with the same
    // action and information later, from another thread.
    OSStatus (*RequestDeviceConfigurationChange)(AudioServerPlugInHostRef host, AudioObjectID deviceObjectID,
                                                 uint64_t changeAction, void* changeInfo);
};

struct AudioServerPlugInDriverInterface;
using AudioServerPlugInDriverRef = AudioServerPlugInDriverInterface**;

// What a plug-in offers the audio server: a reserved pointer and 22 operations in this order.
struct AudioServerPlugInDriverInterface
{
    void* _reserved;
    HRESULT (*QueryInterface)(void* driver, REFIID uuid, LPVOID* outInterface);
    ULONG (*AddRef)(void* driver);
    ULONG (*Release)(void* driver);
    OSStatus (*Initialize)(AudioServerPlugInDriverRef driver, AudioServerPlugInHostRef host);
    OSStatus (*CreateDevice)(AudioServerPlugInDriverRef driver, CFDictionaryRef description,
                             const AudioServerPlugInClientInfo* clientInfo, AudioObjectID* outDeviceObjectID);
    OSStatus (*DestroyDevice)(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID);
    OSStatus (*AddDeviceClient)(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID,
                                const AudioServerPlugInClientInfo* clientInfo);
    OSStatus (*RemoveDeviceClient)(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID,
                                   const AudioServerPlugInClientInfo* clientInfo);
    OSStatus (*PerformDeviceConfigurationChange)(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID,
                                                 uint64_t changeAction, void* changeInfo);
    OSStatus (*AbortDeviceConfigurationChange)(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID,
                                               uint64_t changeAction, void* changeInfo);
    Boolean (*HasProperty)(AudioServerPlugInDriverRef driver, AudioObjectID objectID, pid_t clientProcessID,
                           const AudioObjectPropertyAddress* address);
    OSStatus (*IsPropertySettable)(AudioServerPlugInDriverRef driver, AudioObjectID objectID, pid_t clientProcessID,
                                   const AudioObjectPropertyAddress* address, Boolean* outIsSettable);
    OSStatus (*GetPropertyDataSize)(AudioServerPlugInDriverRef driver, AudioObjectID objectID, pid_t clientProcessID,
                                    const AudioObjectPropertyAddress* address, uint32_t qualifierDataSize,
                                    const void* qualifierData, uint32_t* outDataSize);
    OSStatus (*GetPropertyData)(AudioServerPlugInDriverRef driver, AudioObjectID objectID, pid_t clientProcessID,
                                const AudioObjectPropertyAddress* address, uint32_t qualifierDataSize,
                                const void* qualifierData, uint32_t dataSize, uint32_t* outDataSize, void* outData);
    OSStatus (*SetPropertyData)(AudioServerPlugInDriverRef driver, AudioObjectID objectID, pid_t clientProcessID,
                                const AudioObjectPropertyAddress* address, uint32_t qualifierDataSize,
                                const void* qualifierData, uint32_t dataSize, const void* data);
    OSStatus (*StartIO)(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID, uint32_t clientID);
    OSStatus (*StopIO)(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID, uint32_t clientID);
    OSStatus (*GetZeroTimeStamp)(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID, uint32_t clientID,
                                 Float64* outSampleTime, uint64_t* outHostTime, uint64_t* outSeed);
    OSStatus (*WillDoIOOperation)(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID, uint32_t clientID,
                                  uint32_t operationID, Boolean* outWillDo, Boolean* outWillDoInPlace);
    OSStatus (*BeginIOOperation)(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID, uint32_t clientID,
                                 uint32_t operationID, uint32_t ioBufferFrameSize,
                                 const AudioServerPlugInIOCycleInfo* ioCycleInfo);
    OSStatus (*DoIOOperation)(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID, AudioObjectID streamObjectID,
                              uint32_t clientID, uint32_t operationID, uint32_t ioBufferFrameSize,
                              const AudioServerPlugInIOCycleInfo* ioCycleInfo, void* ioMainBuffer,
                              void* ioSecondaryBuffer);
    OSStatus (*EndIOOperation)(AudioServerPlugInDriverRef driver, AudioObjectID deviceObjectID, uint32_t clientID,
                               uint32_t operationID, uint32_t ioBufferFrameSize,
                               const AudioServerPlugInIOCycleInfo* ioCycleInfo);
};

// 443ABAB8-E7B3-491A-B985-BEB9187030DB: the plug-in type a factory is asked for.
#define kAudioServerPlugInTypeUUID                                                                           \
    CFUUIDGetConstantUUIDWithBytes(nullptr, 0x44, 0x3A, 0xBA, 0xB8, 0xE7, 0xB3, 0x49, 0x1A, 0xB9, 0x85,      \
                                   0xBE, 0xB9, 0x18, 0x70, 0x30, 0xDB)
// EEA5773D-CC43-49F1-8E00-8F96E7D23B17: the driver interface.
#define kAudioServerPlugInDriverInterfaceUUID                                                                \
    CFUUIDGetConstantUUIDWithBytes(nullptr, 0xEE, 0xA5, 0x77, 0x3D, 0xCC, 0x43, 0x49, 0xF1, 0x8E, 0x00,      \
                                   0x8F, 0x96, 0xE7, 0xD2, 0x3B, 0x17)
