// The per-device feature record that the driver's configuration supplies for the devices it lists
// (the data item "kConfigurationData" of the personality's "QzSpecific" dictionary), and the stream
// format record that it shares with the kernel's device description. Both are plain bytes of fixed
// layout; the kernel and the user-side device layer each keep a copy.
#pragma once

#include "LittleEndian.h"

#include <cstddef>
#include <cstdint>

// One stream format: what an audio-streaming Type I format descriptor says, or, in the feature
// record, what the configuration prescribes for one direction at one bus speed.
struct APIStreamingInfo
{
    static constexpr unsigned kMaxFrequencies = 16;

    uint8_t bBitResolution;
    uint8_t bNrChannels;
    uint8_t mContinuous;     // non-zero: the format declares a continuous range of rates
    uint8_t mNumFrequencies; // discrete rates listed, at most kMaxFrequencies
    LE32 mLowerFrequency;    // continuous range, Hz; 0 for a discrete list
    LE32 mUpperFrequency;
    LE32 mFrequencies[kMaxFrequencies]; // discrete rates, Hz
};

struct APISpecificFeatures
{
    enum Speed
    {
        kFullSpeed = 0,
        kHighSpeed = 1,
    };
    enum Direction
    {
        kInput = 0,
        kOutput = 1,
    };
    // Positions in mFlags; a flag is set when its byte is non-zero.
    enum Flag
    {
        kCorlanthCompatible = 0,
        kBulkDevice = 1,
        kBulkInIsocOutDevice = 2,
        kRawMidi = 3,
        kRegularMidi = 4,
        kMorvaneCompatible = 5,
        kCanHandleRequestsWhileStreaming = 7,
        kNoDigitalInput = 8,
        kSetFreqOnOutPipe = 9,
        kInputHidden = 10,
        kCan192 = 12,
        kPreventUSB1Mode = 13,
        kDigitalOutMode = 14,
        kAC3Capable = 15,
        kUSB1ModeInStatus = 16,
        kReroutingOutputEncoder = 17,
        kReadFirmwareVersionString = 18,
        kReadExtendedFirmwareData = 19,
        kDigitalOutSelector = 20,
        kBuildDummyDescriptor = 22,
    };
    static constexpr unsigned kNumFlags = 63;

    // Formats per bus speed and direction; the bit resolution of the input half serves both.
    APIStreamingInfo mFormats[2][2];
    uint8_t mInInterface; // interface and alternate-setting numbers that carry each stream
    uint8_t mInAlternate;
    uint8_t mOutInterface;
    uint8_t mOutAlternate;
    uint8_t mMidiInterface;
    uint8_t mMidiAlternate;
    uint8_t reserved310[2];
    uint8_t mFlags[kNumFlags];
    uint8_t mValid; // non-zero once a record was loaded for this device; nothing else counts before
    uint8_t reserved376[4];

    bool isValid() const { return mValid != 0; }
    bool hasFlag(Flag flag) const { return mFlags[flag] != 0; }
};

static_assert(sizeof(APIStreamingInfo) == 76);
static_assert(offsetof(APIStreamingInfo, bBitResolution) == 0);
static_assert(offsetof(APIStreamingInfo, bNrChannels) == 1);
static_assert(offsetof(APIStreamingInfo, mContinuous) == 2);
static_assert(offsetof(APIStreamingInfo, mNumFrequencies) == 3);
static_assert(offsetof(APIStreamingInfo, mLowerFrequency) == 4);
static_assert(offsetof(APIStreamingInfo, mUpperFrequency) == 8);
static_assert(offsetof(APIStreamingInfo, mFrequencies) == 12);

static_assert(sizeof(APISpecificFeatures) == 380);
static_assert(offsetof(APISpecificFeatures, mFormats) == 0);
static_assert(offsetof(APISpecificFeatures, mFormats[APISpecificFeatures::kHighSpeed]) == 152);
static_assert(offsetof(APISpecificFeatures, mFormats[0][APISpecificFeatures::kOutput]) == 76);
static_assert(offsetof(APISpecificFeatures, mInInterface) == 304);
static_assert(offsetof(APISpecificFeatures, mInAlternate) == 305);
static_assert(offsetof(APISpecificFeatures, mOutInterface) == 306);
static_assert(offsetof(APISpecificFeatures, mOutAlternate) == 307);
static_assert(offsetof(APISpecificFeatures, mMidiInterface) == 308);
static_assert(offsetof(APISpecificFeatures, mMidiAlternate) == 309);
static_assert(offsetof(APISpecificFeatures, mFlags) == 312);
static_assert(offsetof(APISpecificFeatures, mFlags[APISpecificFeatures::kBulkDevice]) == 313);
static_assert(offsetof(APISpecificFeatures, mFlags[APISpecificFeatures::kInputHidden]) == 322);
static_assert(offsetof(APISpecificFeatures, mValid) == 375);
