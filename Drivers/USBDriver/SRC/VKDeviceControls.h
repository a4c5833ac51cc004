// The mixer controls of outside USB audio devices: a selector unit picking the input (or output)
// source, feature units with volume and mute per channel, a monitor switch and vendor requests for
// monitoring. One 3,844-byte record per device, XsDeviceControls, lies in the device shared block
// where user space reads and changes it; the kernel fills it for the models of its table when a
// configuration completes (usbInitDeviceControls) and sends the differences when user space asks
// for a change (usbApplyDeviceControls). Every other device gets an empty record (all counts 0).
//
// Trust: the shared record is anyone's. The structure (counts, units, channel counts, ranges) comes
// only from the kernel's own record; only the user-settable values are taken from the shared one,
// bounded by that structure.
//
// Thread safety: request threads, under the device's dispatch lock.
#pragma once

#include <cstddef>
#include <cstdint>

class VKDevice;

struct XsEndpoint
{
    static constexpr int kMaxVolumes = 8;
    static constexpr int16_t kMaster = -1;

    char szName[64];
    int16_t iChannels; // channels with their own volume, or kMaster for one master volume
    uint8_t reserved66[2];
    uint32_t bHasMute;
    uint16_t iMuteUnit; // wIndex of the feature unit with the mute control (0: none)
    uint8_t iMute;
    uint8_t reserved75;
    uint32_t bHasVolume;
    uint32_t iUserWord;
    uint16_t iVolumeUnit;
    uint16_t iClockSourceUnit;
    int16_t iVolumes[kMaxVolumes][3]; // minimum, current, maximum in 1/256 dB; the first for the master
};
static_assert(sizeof(XsEndpoint) == 136);
static_assert(offsetof(XsEndpoint, iChannels) == 64);
static_assert(offsetof(XsEndpoint, bHasMute) == 68);
static_assert(offsetof(XsEndpoint, iMuteUnit) == 72);
static_assert(offsetof(XsEndpoint, iMute) == 74);
static_assert(offsetof(XsEndpoint, bHasVolume) == 76);
static_assert(offsetof(XsEndpoint, iUserWord) == 80);
static_assert(offsetof(XsEndpoint, iVolumeUnit) == 84);
static_assert(offsetof(XsEndpoint, iClockSourceUnit) == 86);
static_assert(offsetof(XsEndpoint, iVolumes) == 88);

struct XsControlGroup
{
    static constexpr uint32_t kMaxEndpoints = 8;

    uint32_t iCount;       // endpoints in use
    uint32_t iIndependent; // 1: each endpoint its own volume and mute; 0: alternatives chosen by iSelector
    uint16_t iSelectorUnit;
    uint8_t iSelector; // the chosen endpoint as one bit (1 << k), 0 for none
    uint8_t reserved11;
    XsEndpoint cEndpoints[kMaxEndpoints];
};
static_assert(sizeof(XsControlGroup) == 1100);
static_assert(offsetof(XsControlGroup, iIndependent) == 4);
static_assert(offsetof(XsControlGroup, iSelectorUnit) == 8);
static_assert(offsetof(XsControlGroup, iSelector) == 10);
static_assert(offsetof(XsControlGroup, cEndpoints) == 12);

struct XsSyncSources
{
    uint32_t iCount;
    uint8_t iSelector;
    char szNames[8][64];
    uint8_t reserved517[3];
};
static_assert(sizeof(XsSyncSources) == 520);
static_assert(offsetof(XsSyncSources, iSelector) == 4);
static_assert(offsetof(XsSyncSources, szNames) == 5);

struct XsDeviceControls
{
    XsControlGroup cOut;
    XsControlGroup cIn;
    XsSyncSources cSync;
    XsControlGroup cMonitor;
    uint32_t bMonitorSwitch;
    uint32_t iMonitorSwitchState;
    uint8_t iMonitor;
    uint8_t reserved3829[3];
    uint32_t iDigitalRouting;
    uint32_t reserved3836;
    uint32_t iLastWord; // cleared by setSelectors in the caller's record
};
static_assert(sizeof(XsDeviceControls) == 3844);
static_assert(offsetof(XsDeviceControls, cOut) == 0);
static_assert(offsetof(XsDeviceControls, cIn) == 1100);
static_assert(offsetof(XsDeviceControls, cSync) == 2200);
static_assert(offsetof(XsDeviceControls, cMonitor) == 2720);
static_assert(offsetof(XsDeviceControls, bMonitorSwitch) == 3820);
static_assert(offsetof(XsDeviceControls, iMonitorSwitchState) == 3824);
static_assert(offsetof(XsDeviceControls, iMonitor) == 3828);
static_assert(offsetof(XsDeviceControls, iDigitalRouting) == 3832);
static_assert(offsetof(XsDeviceControls, iLastWord) == 3840);

// Fills `controls` for the model (zeroed first; an unknown model keeps the zeros). Reads the
// devices' current values through `device`'s requests.
void usbInitDeviceControls(VKDevice& device, uint16_t vid, uint16_t pid, XsDeviceControls& controls);

// Sends what differs between `old` (the kernel's record as last applied) and `next` (the requested
// one) and sets `modified` when the record changed, `restart` when the stream must be started
// again. `next` gets old's structure and keeps its own user-settable values, bounded by it.
void usbApplyDeviceControls(VKDevice& device, uint16_t vid, uint16_t pid, const XsDeviceControls& old,
                            XsDeviceControls& next, bool& modified, bool& restart);

// A selection `value` (bits) is valid for `count` sources.
bool usbApplyValidateXeBitCombination(int count, uint8_t value);

// The model switches its output interface by the output selection (200C:1030) instead of applying
// the record.
bool usbControlsSwitchInterfaces(uint16_t vid, uint16_t pid);
