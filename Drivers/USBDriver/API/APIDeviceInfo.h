// The kernel's description of one device for user space: its ids and, per configuration, its
// interfaces, their alternate settings with the stream format and endpoints of each. The kernel
// builds it in a zero-filled record; user space reads it in 256-byte pages, so every count in it
// is outside input to the reader. Multi-byte fields are little-endian and read explicitly.
//
// scanAPIDeviceInfo answers the question every consumer asks of it: which alternate setting of a
// configuration carries a stream of this rate, resolution, channel count and direction?
//
// Thread safety: plain records; the search only reads and keeps no state (any thread).
#pragma once

#include <APISpecificFeatures.h>
#include <LittleEndian.h>

#include <cstddef>
#include <cstdint>

struct APIEndpointInfo
{
    LE16 wMaxPacketSize;      // as the descriptor gives it, extra-transaction bits included
    uint8_t bEndpointAddress; // bit 7 set for IN
    uint8_t reserved3;

    bool isInput() const { return (bEndpointAddress & 0x80) != 0; }
};

struct APIInterfaceAlternateInfo
{
    static constexpr unsigned kMaxEndpoints = 4;

    uint8_t bAlternateSetting;
    uint8_t reserved1;
    uint8_t mNumEndpoints;
    uint8_t reserved3;
    APIStreamingInfo mStreaming; // all zero when the setting has no Type I format
    APIEndpointInfo mEndpoints[kMaxEndpoints];
};

struct APIInterfaceInfo
{
    static constexpr unsigned kMaxAlternates = 16;

    uint8_t bInterfaceNumber;
    uint8_t bInterfaceSubClass; // 1 audio control, 2 audio streaming, 3 MIDI streaming
    uint8_t mNumAlternates;
    uint8_t reserved3;
    APIInterfaceAlternateInfo mAlternates[kMaxAlternates]; // in the order they were parsed
};

struct APIConfigInfo
{
    static constexpr unsigned kMaxInterfaces = 16;

    uint8_t iConfiguration;
    uint8_t bConfigurationValue;
    uint8_t mNumInterfaces;
    uint8_t reserved3;
    APIInterfaceInfo mInterfaces[kMaxInterfaces];
};

struct APIDeviceInfo
{
    static constexpr unsigned kMaxConfigurations = 4;

    LE16 idVendor;
    LE16 idProduct;
    LE16 bcdDevice;
    uint8_t mNumConfigurations;
    uint8_t reserved7;
    APIConfigInfo mConfigurations[kMaxConfigurations];
    // Zero as the kernel sends it; the user-side device layer fills its own copy from the
    // driver's configuration.
    APISpecificFeatures mSpecificFeatures;
};

static_assert(sizeof(APIEndpointInfo) == 4);
static_assert(offsetof(APIEndpointInfo, bEndpointAddress) == 2);

static_assert(sizeof(APIInterfaceAlternateInfo) == 96);
static_assert(offsetof(APIInterfaceAlternateInfo, mNumEndpoints) == 2);
static_assert(offsetof(APIInterfaceAlternateInfo, mStreaming) == 4);
static_assert(offsetof(APIInterfaceAlternateInfo, mEndpoints) == 80);

static_assert(sizeof(APIInterfaceInfo) == 1540);
static_assert(offsetof(APIInterfaceInfo, bInterfaceSubClass) == 1);
static_assert(offsetof(APIInterfaceInfo, mNumAlternates) == 2);
static_assert(offsetof(APIInterfaceInfo, mAlternates) == 4);

static_assert(sizeof(APIConfigInfo) == 24644);
static_assert(offsetof(APIConfigInfo, bConfigurationValue) == 1);
static_assert(offsetof(APIConfigInfo, mNumInterfaces) == 2);
static_assert(offsetof(APIConfigInfo, mInterfaces) == 4);

static_assert(sizeof(APIDeviceInfo) == 98964);
static_assert(offsetof(APIDeviceInfo, idProduct) == 2);
static_assert(offsetof(APIDeviceInfo, bcdDevice) == 4);
static_assert(offsetof(APIDeviceInfo, mNumConfigurations) == 6);
static_assert(offsetof(APIDeviceInfo, mConfigurations) == 8);
static_assert(offsetof(APIDeviceInfo, mSpecificFeatures) == 98584);

// Where a search found a matching alternate setting. The rate, resolution and channel count always
// echo the request; the indices mean nothing while mFound is false.
struct APIDeviceInfoScanResult
{
    bool mFound;
    uint16_t mConfigIndex;
    uint16_t mInterfaceIndex; // position of the interface record, not bInterfaceNumber
    uint16_t mAlternateIndex; // position of the alternate record, not bAlternateSetting
    uint32_t mSampleRate;     // Hz
    uint8_t mBitResolution;
    uint8_t mChannels;
};

// The first alternate setting, in record order, of configuration `configIndex` whose format has
// exactly `bits` and `channels`, takes `rate` (listed, or within a continuous range unless
// `discreteOnly`), and carries the stream in the asked direction (`output`: host to device).
// Counts in the record beyond what its arrays hold are read as the array size.
APIDeviceInfoScanResult scanAPIDeviceInfo(const APIDeviceInfo& info, uint32_t configIndex, uint32_t rate,
                                          uint8_t bits, uint8_t channels, bool discreteOnly, bool output);

// Bytes per millisecond that a found input and a found output format need together; a result that
// was not found adds nothing.
uint32_t usbCalculateBandwidth(const APIDeviceInfoScanResult& input, const APIDeviceInfoScanResult& output);
