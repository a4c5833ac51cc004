// The legacy audio plug-in interface as the user-mode device layer uses it: the records a host
// and a plug-in exchange (time stamps, buffer lists, stream formats), the IO procedure type, the
// property selectors and scopes, the status codes, and the three calls with which a plug-in tells
// its host that properties changed.
//
// The calls go to the host that loaded the plug-in: a process installs its host with
// platform::coreaudio::setHost (platform/CoreAudioHost.h). Without one they answer
// kAudioHardwareNotRunningError and log that nobody listens.
//
// Thread safety: the calls may be made from any thread; the host's handler runs on the caller's.
#pragma once

#include <cstdint>

#include "CoreFoundation/CFBase.h"

using AudioObjectID = uint32_t;
using AudioDeviceID = AudioObjectID;
using AudioStreamID = AudioObjectID;
using AudioObjectPropertySelector = uint32_t;
using AudioObjectPropertyScope = uint32_t;
using AudioObjectPropertyElement = uint32_t;
using AudioDevicePropertyID = AudioObjectPropertySelector;
using AudioFormatID = uint32_t;
using AudioFormatFlags = uint32_t;
using Float64 = double;
using Float32 = float;

constexpr AudioObjectID kAudioObjectUnknown = 0;

// Four-character codes, most significant byte first.
constexpr uint32_t audioFourCC(const char (&code)[5])
{
    return (static_cast<uint32_t>(static_cast<uint8_t>(code[0])) << 24) |
           (static_cast<uint32_t>(static_cast<uint8_t>(code[1])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(code[2])) << 8) | static_cast<uint32_t>(static_cast<uint8_t>(code[3]));
}

// Status codes.
enum : OSStatus
{
    kAudioHardwareNoError = 0,
    kAudioHardwareNotRunningError = static_cast<OSStatus>(audioFourCC("stop")),
    kAudioHardwareUnspecifiedError = static_cast<OSStatus>(audioFourCC("what")),
    kAudioHardwareUnknownPropertyError = static_cast<OSStatus>(audioFourCC("who?")),
    kAudioHardwareBadPropertySizeError = static_cast<OSStatus>(audioFourCC("!siz")),
    kAudioHardwareIllegalOperationError = static_cast<OSStatus>(audioFourCC("nope")),
    kAudioHardwareBadDeviceError = static_cast<OSStatus>(audioFourCC("!dev")),
    kAudioHardwareBadStreamError = static_cast<OSStatus>(audioFourCC("!str")),
    kAudioDeviceUnsupportedFormatError = static_cast<OSStatus>(audioFourCC("!dat")),
};

// Scopes and the master element.
constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeGlobal = audioFourCC("glob");
constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeInput = audioFourCC("inpt");
constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeOutput = audioFourCC("outp");
constexpr AudioObjectPropertyElement kAudioObjectPropertyElementMaster = 0;

// Device and stream properties the device layer announces.
constexpr AudioDevicePropertyID kAudioDevicePropertyDeviceIsRunning = audioFourCC("goin");
constexpr AudioDevicePropertyID kAudioDevicePropertyDeviceIsRunningSomewhere = audioFourCC("gone");
constexpr AudioDevicePropertyID kAudioDevicePropertyLatency = audioFourCC("ltnc");
constexpr AudioDevicePropertyID kAudioDevicePropertySafetyOffset = audioFourCC("saft");
constexpr AudioDevicePropertyID kAudioDevicePropertyBufferSize = audioFourCC("bsiz");
constexpr AudioDevicePropertyID kAudioDevicePropertyBufferFrameSize = audioFourCC("fsiz");
constexpr AudioDevicePropertyID kAudioStreamPropertyPhysicalFormat = audioFourCC("pft ");
constexpr AudioDevicePropertyID kAudioStreamPropertyAvailablePhysicalFormats = audioFourCC("pfta");
constexpr AudioDevicePropertyID kAudioDevicePropertyStreamFormat = audioFourCC("sfmt");
constexpr AudioDevicePropertyID kAudioDevicePropertyNominalSampleRate = audioFourCC("nsrt");
constexpr AudioDevicePropertyID kAudioDevicePropertyAvailableNominalSampleRates = audioFourCC("nsr#");
constexpr AudioDevicePropertyID kAudioDevicePropertyDeviceHasChanged = audioFourCC("diff");
constexpr AudioDevicePropertyID kAudioDevicePropertyHogMode = audioFourCC("oink");

// Stream formats.
constexpr AudioFormatID kAudioFormatLinearPCM = audioFourCC("lpcm");
constexpr AudioFormatID kAudioFormat60958AC3 = audioFourCC("cac3");
constexpr AudioFormatFlags kAudioFormatFlagIsFloat = 1U << 0;
constexpr AudioFormatFlags kAudioFormatFlagIsBigEndian = 1U << 1;
constexpr AudioFormatFlags kAudioFormatFlagIsSignedInteger = 1U << 2;
constexpr AudioFormatFlags kAudioFormatFlagIsPacked = 1U << 3;

struct SMPTETime
{
    int16_t mSubframes;
    int16_t mSubframeDivisor;
    uint32_t mCounter;
    uint32_t mType;
    uint32_t mFlags;
    int16_t mHours;
    int16_t mMinutes;
    int16_t mSeconds;
    int16_t mFrames;
};
static_assert(sizeof(SMPTETime) == 24);

// Which fields of an AudioTimeStamp hold a value.
enum : uint32_t
{
    kAudioTimeStampSampleTimeValid = 1U << 0,
    kAudioTimeStampHostTimeValid = 1U << 1,
    kAudioTimeStampRateScalarValid = 1U << 2,
    kAudioTimeStampWordClockTimeValid = 1U << 3,
    kAudioTimeStampSMPTETimeValid = 1U << 4,
};

struct AudioTimeStamp
{
    Float64 mSampleTime;
    uint64_t mHostTime;
    Float64 mRateScalar;
    uint64_t mWordClockTime;
    SMPTETime mSMPTETime;
    uint32_t mFlags;
    uint32_t mReserved;
};
static_assert(sizeof(AudioTimeStamp) == 64);

struct AudioBuffer
{
    uint32_t mNumberChannels;
    uint32_t mDataByteSize;
    void* mData;
};

// A variable-length record: mNumberBuffers buffers (the declared one and those following it).
struct AudioBufferList
{
    uint32_t mNumberBuffers;
    AudioBuffer mBuffers[1];
};

struct AudioStreamBasicDescription
{
    Float64 mSampleRate;
    AudioFormatID mFormatID;
    AudioFormatFlags mFormatFlags;
    uint32_t mBytesPerPacket;
    uint32_t mFramesPerPacket;
    uint32_t mBytesPerFrame;
    uint32_t mChannelsPerFrame;
    uint32_t mBitsPerChannel;
    uint32_t mReserved;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40);

struct AudioValueRange
{
    Float64 mMinimum;
    Float64 mMaximum;
};

struct AudioStreamRangedDescription
{
    AudioStreamBasicDescription mFormat;
    AudioValueRange mSampleRateRange;
};

struct AudioObjectPropertyAddress
{
    AudioObjectPropertySelector mSelector;
    AudioObjectPropertyScope mScope;
    AudioObjectPropertyElement mElement;
};

// A client's IO procedure: called once per IO cycle with the cycle's input and output.
using AudioDeviceIOProc = OSStatus (*)(AudioDeviceID inDevice, const AudioTimeStamp* inNow,
                                       const AudioBufferList* inInputData, const AudioTimeStamp* inInputTime,
                                       AudioBufferList* outOutputData, const AudioTimeStamp* inOutputTime,
                                       void* inClientData);
// A registration of an IO procedure (with its client data).
using AudioDeviceIOProcID = AudioDeviceIOProc;

// Which streams of a device an IO procedure uses (a variable-length record: mNumberStreams words).
struct AudioHardwareIOProcStreamUsage
{
    void* mIOProc;
    uint32_t mNumberStreams;
    uint32_t mStreamIsOn[1];
};

// The plug-in as its host knows it. The device layer only passes the reference on to the calls
// below, which hand it to the host.
struct AudioHardwarePlugInInterface;
using AudioHardwarePlugInRef = AudioHardwarePlugInInterface**;

// Property-changed notifications to the plug-in's host.
OSStatus AudioHardwareDevicePropertyChanged(AudioHardwarePlugInRef inPlugIn, AudioDeviceID inDevice,
                                            uint32_t inChannel, Boolean isInput,
                                            AudioDevicePropertyID inPropertyID);
OSStatus AudioHardwareStreamPropertyChanged(AudioHardwarePlugInRef inPlugIn, AudioDeviceID inOwningDevice,
                                            AudioStreamID inStream, uint32_t inChannel,
                                            AudioDevicePropertyID inPropertyID);
OSStatus AudioObjectPropertiesChanged(AudioHardwarePlugInRef inPlugIn, AudioObjectID inObjectID,
                                      uint32_t inNumberAddresses, const AudioObjectPropertyAddress inAddresses[]);

// The host clock in host ticks (the same clock as mach_absolute_time).
uint64_t AudioGetCurrentHostTime();
