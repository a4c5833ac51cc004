// The device shared block: the record the kernel fills for each device and user space maps as
// memory type 1 of the user clients. The user-mode device layer, the audio-server plug-in and the
// control application read it directly, so its layout is a format: 30,488 bytes, zero-filled when
// created, host byte order, every offset fixed below.
//
// Thread safety: a plain record in shared memory. The kernel writes the identity and strings at
// start; the settings and the configured flag change under the service's dispatch lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ElektronChannelMap.h"
#include "QzAqExtData.h"

// The version word: 3.3.11, major, minor and patch in the three high bytes.
constexpr uint32_t kDriverSMVersion = 0x03030B00;
constexpr uint32_t kDriverSMSize = 30'488;
// The descriptor buffer: the device descriptor, then the configuration descriptor being scanned.
constexpr uint32_t kDriverSMDescriptorSize = 4'096;
constexpr uint32_t kDriverSMNameSize = 256;
constexpr uint32_t kDriverSMClientSlots = 8;
constexpr uint32_t kDriverSMClientSlotSize = 180;
constexpr uint32_t kDriverSMDeviceControlsSize = 3'844;
constexpr uint32_t kDriverSMTimeStampsSize = 16'004;

// One stream configuration: rate, channels and resolution per direction, configuration index.
struct QzChannelSettings
{
    int32_t iFrequency;
    int32_t iInChannels;
    int32_t iInResolution;
    int32_t iOutChannels;
    int32_t iOutResolution;
    uint32_t uConfiguration;
};
static_assert(sizeof(QzChannelSettings) == 24);

// The device's identity as the USB stack reports it (offsets 4 to 17 of the block).
struct DriverSMDeviceDescriptor
{
    uint16_t m_uSpeed; // 0 low, 1 full, 2 high, 3 super
    uint8_t bMaxPacketSize0;
    uint8_t reserved3;
    uint16_t idVendor;
    uint16_t idProduct;
    uint16_t bcdDevice;
    uint8_t iManufacturer;
    uint8_t iProduct;
    uint8_t iSerialNumber;
    uint8_t bNumConfigurations;
};
static_assert(sizeof(DriverSMDeviceDescriptor) == 14);

#pragma pack(push, 4)
struct DriverSM
{
    uint32_t mVersion;
    DriverSMDeviceDescriptor devDesc;
    uint8_t reserved18[2];
    uint32_t mUniqueLocationID;
    uint32_t mIsHighSpeed; // 1 at high speed or above
    char szManufacturer[kDriverSMNameSize];
    char szProduct[kDriverSMNameSize];
    char szDisplayName[kDriverSMNameSize];
    char szDeviceUID[kDriverSMNameSize]; // "VID_%04X_PID_%04X_BUS_%08X"
    uint8_t mDescriptors[kDriverSMDescriptorSize];
    uint8_t reserved5148[8];
    uint32_t mConfigured; // 1 while the device is configured for the current settings
    uint32_t bIsConfiguring;
    QzChannelSettings mChannelSettings;
    QzAqExtData mAqExtData;
    QZ_Elektron_ChannelMap mElektronMap;
    uint8_t reserved5296[32];
    uint32_t mAttachedClients;
    uint8_t mClients[kDriverSMClientSlots][kDriverSMClientSlotSize];
    uint8_t mDeviceControls[kDriverSMDeviceControlsSize];
    uint8_t mDeviceControlsNext[kDriverSMDeviceControlsSize];
    uint64_t mInputsExclusiveClient;
    uint64_t mOutputsExclusiveClient;
    uint64_t mPrivateDataClient;
    uint8_t mTimeStamps[kDriverSMTimeStampsSize];
};
#pragma pack(pop)

static_assert(sizeof(DriverSM) == kDriverSMSize);
static_assert(offsetof(DriverSM, mVersion) == 0);
static_assert(offsetof(DriverSM, devDesc) + offsetof(DriverSMDeviceDescriptor, m_uSpeed) == 4);
static_assert(offsetof(DriverSM, devDesc) + offsetof(DriverSMDeviceDescriptor, bMaxPacketSize0) == 6);
static_assert(offsetof(DriverSM, devDesc) + offsetof(DriverSMDeviceDescriptor, idVendor) == 8);
static_assert(offsetof(DriverSM, devDesc) + offsetof(DriverSMDeviceDescriptor, idProduct) == 10);
static_assert(offsetof(DriverSM, devDesc) + offsetof(DriverSMDeviceDescriptor, bcdDevice) == 12);
static_assert(offsetof(DriverSM, devDesc) + offsetof(DriverSMDeviceDescriptor, iManufacturer) == 14);
static_assert(offsetof(DriverSM, devDesc) + offsetof(DriverSMDeviceDescriptor, iProduct) == 15);
static_assert(offsetof(DriverSM, devDesc) + offsetof(DriverSMDeviceDescriptor, iSerialNumber) == 16);
static_assert(offsetof(DriverSM, devDesc) + offsetof(DriverSMDeviceDescriptor, bNumConfigurations) == 17);
static_assert(offsetof(DriverSM, mUniqueLocationID) == 20);
static_assert(offsetof(DriverSM, mIsHighSpeed) == 24);
static_assert(offsetof(DriverSM, szManufacturer) == 28);
static_assert(offsetof(DriverSM, szProduct) == 284);
static_assert(offsetof(DriverSM, szDisplayName) == 540);
static_assert(offsetof(DriverSM, szDeviceUID) == 796);
static_assert(offsetof(DriverSM, mDescriptors) == 1052);
static_assert(offsetof(DriverSM, reserved5148) == 5148);
static_assert(offsetof(DriverSM, mConfigured) == 5156);
static_assert(offsetof(DriverSM, bIsConfiguring) == 5160);
static_assert(offsetof(DriverSM, mChannelSettings) == 5164);
static_assert(offsetof(DriverSM, mAqExtData) == 5188);
static_assert(offsetof(DriverSM, mElektronMap) == 5232);
static_assert(offsetof(DriverSM, reserved5296) == 5296);
static_assert(offsetof(DriverSM, mAttachedClients) == 5328);
static_assert(offsetof(DriverSM, mClients) == 5332);
static_assert(offsetof(DriverSM, mDeviceControls) == 6772);
static_assert(offsetof(DriverSM, mDeviceControlsNext) == 10616);
static_assert(offsetof(DriverSM, mInputsExclusiveClient) == 14460);
static_assert(offsetof(DriverSM, mOutputsExclusiveClient) == 14468);
static_assert(offsetof(DriverSM, mPrivateDataClient) == 14476);
static_assert(offsetof(DriverSM, mTimeStamps) == 14484);
