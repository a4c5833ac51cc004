// The controls record: the table of models and what each has, its initialisation from the device's
// current values and the application of a changed record.
#include "VKDeviceControls.h"

#include <IOKit/IOLib.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>

#include "APIDeviceInfo.h"
#include "DriverData.h"
#include "DriverSM.h"
#include "DeviceModels.h"
#include "TableKeys.h"
#include "VKDevice.h"
#include "VKDeviceOwner.h"
#include "VKIOTrace.h"

namespace {

constexpr int kRetries = 5;
constexpr uint8_t kSetCur = 0x01;
constexpr uint8_t kGetCur = 0x81;
constexpr uint8_t kGetMin = 0x82;
constexpr uint8_t kGetMax = 0x83;
constexpr uint16_t kVolumeControl = 0x0200;
constexpr uint16_t kMuteControl = 0x0100;
constexpr int16_t M = XsEndpoint::kMaster;

enum class Group : uint8_t
{
    none,
    out,
    in,
    monitor,
};

struct EndpointRow
{
    const char* name = nullptr;
    int16_t channels = 0;
    uint16_t volumeUnit = 0;
    uint16_t muteUnit = 0;
    uint16_t clockSourceUnit = 0;
    const char* role = nullptr; // logged before the endpoint
};

struct GroupRow
{
    Group which = Group::none;
    uint8_t count = 0;
    bool independent = true;
    uint16_t selectorUnit = 0;
    bool readSelector = false;
    uint8_t selector = 0; // preset iSelector
    EndpointRow endpoints[XsControlGroup::kMaxEndpoints] = {};
};

// How the monitor switch is read at init and written when it changes.
enum class Monitor : uint8_t
{
    none,
    fixed,      // the row's values only
    kemper,     // vendor IN 0x81, wIndex 1: the value; vendor OUT 0x01 wIndex 3 (on) or 1 (off)
    mode4040,   // vendor IN 0x81, wIndex 0x30: the mode by the high nibble; written back to wIndex 0x20
    muteUnit,   // class SET_CUR of mute at 0x0600: 1 when the monitor is off
    vendorIndex3, // vendor OUT 0x01, wIndex 3: 1 on, 0 off
};

struct ControlsLayout
{
    const char* banner = nullptr;  // framed by 46 asterisks
    const char* logLine = nullptr; // logged first
    GroupRow groups[3] = {};      // in the order they are read
    Monitor monitor = Monitor::none;
    uint32_t monitorSwitchState = 0;
    uint8_t monitorValue = 0;
    uint8_t syncCount = 0;
    const char* syncNames[2] = {};
    uint8_t syncSelector = 0;
    bool inputCountZeroAfterInit = false;
    uint16_t clockSourceUnit = 0;  // the device's clock-source unit
    bool digitalModeCheck = false; // no controls while the device offers its 32 kHz 16-bit stereo output
    bool restartOnSelection = false;
    bool digitalRouting = false;
    bool interfaceSelector = false;
};

constexpr ControlsLayout kHeadphoneOutIn{
    .groups = {{Group::out, 2, true, 0, false, 0, {{"HP 1+2", 2, 0x0400, 0x0400}, {"Out 1+2", 2, 0x0700, 0x0700}}},
               {Group::in, 1, true, 0, false, 0, {{"In 1+2", 2, 0x0A00, 0x0A00}}}}};
constexpr ControlsLayout kEbox44{
    .groups = {{Group::out, 2, true, 0, false, 0, {{"Headphone", 4, 0x0400, 0x0400}, {"Output", 4, 0x0700, 0x0700}}},
               {Group::in, 1, true, 0, false, 0, {{"Input", 4, 0x0A00, 0x0A00}}}},
    .inputCountZeroAfterInit = true};
constexpr ControlsLayout kPlay1624{
    .logLine = "Set output selector for PLAY 16/24",
    .groups = {{Group::out, 2, true, 0, false, 0,
                {{"Headphone", 2, 0x0C00, 0x0C00, 0x0F00}, {"Speaker", 2, 0x0B00, 0x0B00, 0x1000}}}},
    .clockSourceUnit = 0x0F00,
    .interfaceSelector = true};
constexpr ControlsLayout kOutputAnalogSpdifOptical{
    .groups = {{Group::out, 1, true, 0, false, 0, {{"Output", 2, 0x0200, 0x0200}}},
               {Group::in, 3, false, 0x0C00, true, 0,
                {{"Analog", 2, 0x0800, 0x0800}, {"S/PDIF", M, 0x0A00, 0}, {"Optical", M, 0x0B00, 0}}}}};
constexpr ControlsLayout kKemper{
    .groups = {{Group::out, 2, false, 0, false, 1, {{"Analog"}, {"Analog to SPDIF"}}}},
    .monitor = Monitor::kemper,
    .monitorSwitchState = 1,
    .digitalRouting = true};
constexpr ControlsLayout k0A4E_4040{.monitor = Monitor::mode4040, .monitorSwitchState = 1};
constexpr ControlsLayout k0746_7701{.groups = {{Group::out, 1, true, 0, false, 0, {{"Output", M, 0, 0x0200}}}}};
constexpr ControlsLayout kMusePocket{
    .groups = {{Group::out, 1, true, 0, false, 0, {{"Phones", M, 0x0900, 0x0900}}},
               {Group::monitor, 2, true, 0, false, 0, {{"Mic", M, 0, 0x0D00}, {"Line", 2, 0x0E00, 0x0E00}}},
               {Group::in, 2, false, 0x0800, true, 0, {{"Mic", M, 0, 0x0A00}, {"Line", 2, 0x0B00, 0x0B00}}}}};
constexpr ControlsLayout k0471_0155{
    .groups = {{Group::out, 1, true, 0, false, 0, {{"Output", 6, 0x0200, 0x0200}}},
               {Group::in, 1, true, 0, false, 0, {{"Input", M, 0, 0x0500}}}}};
constexpr ControlsLayout kOut13In13{
    .groups = {{Group::out, 1, true, 0, false, 0, {{"Out 1+3 2+4", 2, 0x0700, 0x0700}}},
               {Group::in, 1, true, 0, false, 0, {{"In 1+3 2+4", 2, 0x0A00, 0x0A00}}},
               {Group::monitor, 2, true, 0, false, 0, {{"In 1+2", 2, 0x0200, 0x0200}, {"In 3+4", 2, 0x0400, 0x0400}}}}};
constexpr ControlsLayout k077D_041A{
    .groups = {{Group::out, 1, true, 0, false, 0, {{"Output", 2, 0x0100, 0x0100}}},
               {Group::in, 1, true, 0, false, 0, {{"Input", M, 0x0600, 0x0600}}}}};
constexpr ControlsLayout kMicSpdif{.groups = {{Group::in, 2, false, 0x0800, false, 0, {{"Mic"}, {"S/PDIF"}}}}};
constexpr ControlsLayout k0C45_167F{
    .groups = {{Group::in, 2, false, 0x0800, false, 0, {{"Mic", M, 0x0A00, 0x0A00}, {"Line", 2, 0x0B00, 0x0B00}}},
               {Group::out, 1, true, 0, false, 0, {{"Output", M, 0x0900, 0x0900}}}}};
constexpr ControlsLayout kMicLineSpdif{
    .groups = {{Group::in, 3, false, 0x0800, false, 0,
                {{"Mic", M, 0x0A00, 0x0A00}, {"Line", 2, 0x0B00, 0x0B00}, {"S/PDIF", M, 0, 0x0C00}}},
               {Group::out, 1, true, 0, false, 0, {{"Output", M, 0x0900, 0x0900}}}}};
constexpr ControlsLayout kMBox{
    .groups = {{Group::in, 2, false, 0, false, 1, {{"Analog"}, {"S/PDIF (RCA)"}}}},
    .syncCount = 2,
    .syncNames = {"Analog", "S/PDIF (RCA)"},
    .syncSelector = 1,
    .restartOnSelection = true};
constexpr ControlsLayout k041E_3040{.groups = {{Group::out, 1, true, 0, false, 0, {{"Out", M, 0x0200, 0x0200}}}}};
constexpr ControlsLayout k041E_3010{
    .groups = {{Group::monitor, 2, true, 0, false, 0, {{"Mic", M, 0x0D00, 0x0D00}, {"Line", 2, 0x0E00, 0x0E00}}},
               {Group::in, 3, false, 0x0800, true, 0,
                {{"Mic", M, 0x0A00, 0x0A00}, {"Line", 2, 0x0B00, 0x0B00}, {"Digital", M, 0, 0x0C00}}},
               {Group::out, 1, true, 0, false, 0, {{"Line", 2, 0x0900, 0x0900}}}},
    .digitalModeCheck = true};
constexpr ControlsLayout k041E_3020{
    .groups = {{Group::monitor, 1, true, 0, false, 0, {{"Mix", 8, 0x1200, 0x1200}}},
               {Group::in, 3, false, 0x0E00, false, 0,
                {{"Line", M, 0x0C00, 0}, {"Digital"}, {"Monitor", M, 0x0B00, 0}}},
               {Group::out, 3, true, 0, false, 0,
                {{"Phones", M, 0, 0x1E00}, {"Speaker", M, 0, 0x1C00}, {"Digital", M, 0, 0x1600}}}}};
constexpr ControlsLayout kExtigy{
    .banner = "EXTIGY Controls",
    .groups = {{Group::monitor, 3, true, 0, false, 0,
                {{"Mic", M, 0x0A00, 0x0A00, 0, "MONITOR MIC"},
                 {"Line", 2, 0x0800, 0x0800, 0, "MONITOR LINE"},
                 {"Digital", M, 0x0600, 0x0600, 0, "MONITOR DIGI"}}},
               {Group::in, 3, false, 0x0B00, true, 0,
                {{"Line", M, 0x0C00, 0x0C00, 0, "INPUT LINE"},
                 {"Mic", M, 0x0C00, 0x0C00, 0, "INPUT MIC"},
                 {"Monitor", M, 0x0C00, 0x0C00, 0, "INPUT MONITOR"}}},
               {Group::out, 2, true, 0, false, 0,
                {{"Wave", M, 0x0200, 0x0200, 0, "WAVE OUT"}, {"Master", 2, 0x1200, 0x1200, 0, "MASTER OUT"}}}}};
constexpr ControlsLayout kUA3D{
    .banner = "UA3D Controls",
    .groups = {{Group::out, 1, true, 0, false, 0, {{"Wave", 2, 0x0900, 0x0900, 0, "WAVE OUT"}}}}};
constexpr ControlsLayout kWave0200{.groups = {{Group::out, 1, true, 0, false, 0, {{"Wave", 2, 0x0200, 0x0200}}}}};
constexpr ControlsLayout kOutput0200{.groups = {{Group::out, 1, true, 0, false, 0, {{"Output", 2, 0x0200, 0x0200}}}}};
constexpr ControlsLayout k077D_0223{
    .groups = {{Group::out, 1, true, 0, false, 0, {{"Output", 2, 0x0B00, 0x0B00}}},
               {Group::in, 1, true, 0, false, 0, {{"Input", 2, 0x0900, 0}}}}};
constexpr ControlsLayout k04BB_0E05{
    .groups = {{Group::out, 1, true, 0, false, 0, {{"Output", 2, 0x0900, 0x0900, 0, "WAVE OUT"}}},
               {Group::in, 3, false, 0x0B00, false, 0,
                {{"Line", 0, 0, 0, 0, "INPUT LINE"},
                 {"Mic", 0, 0, 0, 0, "INPUT MIC"},
                 {"Monitor", 0, 0, 0, 0, "INPUT MONITOR"}}}}};
constexpr ControlsLayout k0CCD_0014{.monitor = Monitor::vendorIndex3, .monitorSwitchState = 1, .monitorValue = 0};
constexpr ControlsLayout k0499_1004{
    .groups = {{Group::out, 1, true, 0, false, 0, {{"Wave", 2, 0, 0x0200}}}},
    .monitor = Monitor::muteUnit,
    .monitorSwitchState = 0,
    .monitorValue = 1};
constexpr ControlsLayout kWave0900{.groups = {{Group::out, 1, true, 0, false, 0, {{"Wave", 2, 0x0900, 0x0900}}}}};

struct ControlsRow
{
    DeviceModel model;
    const ControlsLayout* layout;
};

constexpr ControlsRow kControls[] = {
    {kModel0A4A_AA03, &kHeadphoneOutIn},
    {kModel0A4A_AA04, &kHeadphoneOutIn},
    {kModel0A4A_AA05, &kHeadphoneOutIn},
    {kModel0A4A_AA08, &kHeadphoneOutIn},
    {kModel200C_1007, &kHeadphoneOutIn},
    {kModel200C_100E, &kHeadphoneOutIn},
    {kModel200C_1014, &kHeadphoneOutIn},
    {kModel200C_101F, &kHeadphoneOutIn},
    {kModelEbox44, &kEbox44},
    {kModelPlay1624, &kPlay1624},
    {kModel0948_1105, &kOutputAnalogSpdifOptical},
    {kModel0948_1110, &kOutputAnalogSpdifOptical},
    {kModel0C7D_000A, &kOutputAnalogSpdifOptical},
    {kModel0C7D_000B, &kOutputAnalogSpdifOptical},
    {kModelMindprint, &kKemper},
    {kModel0A4E_4040, &k0A4E_4040},
    {kModel0746_7701, &k0746_7701},
    {kModelMusePocket, &kMusePocket},
    {kModel0471_0155, &k0471_0155},
    {kModel0A92_0091, &kOut13In13},
    {kModel2573_0008, &kOut13In13},
    {kModel077D_041A, &k077D_041A},
    {kModelDigitalSoundStation, &kMicSpdif},
    {kModel0C45_167F, &k0C45_167F},
    {kModelMaya51USB, &kMicLineSpdif},
    {kModel0A92_00B1, &kMicLineSpdif},
    {kModelAureon51, &kMicLineSpdif},
    {kModelMBox, &kMBox},
    {kModelMBox2, &kMBox},
    {kModel041E_3040, &k041E_3040},
    {kModel041E_3010, &k041E_3010},
    {kModel041E_3020, &k041E_3020},
    {kModelExtigy, &kExtigy},
    {kModel0582_001A, &kUA3D},
    {kModel06F1_A011, &kWave0200},
    {kModel077D_0420, &kOutput0200},
    {kModel077D_0223, &k077D_0223},
    {kModel077D_07AF, &k077D_041A},
    {kModel04BB_0E05, &k04BB_0E05},
    {kModel0CCD_0014, &k0CCD_0014},
    {kModel0499_1004, &k0499_1004},
    {kModel0499_100B, &kWave0900},
};
static_assert(modelsRegistered(kControls));
static_assert(tableKeysUnique(kControls, [](const ControlsRow& row) { return uint64_t{row.model.key()}; }));

const ControlsLayout* layoutOf(uint16_t vid, uint16_t pid)
{
    for (const ControlsRow& row : kControls) {
        if (row.model.is(vid, pid)) {
            return row.layout;
        }
    }
    return nullptr;
}

XsControlGroup& groupOf(XsDeviceControls& c, Group which)
{
    return which == Group::out ? c.cOut : which == Group::in ? c.cIn : c.cMonitor;
}

IOReturn classGet(VKDevice& device, uint8_t request, uint16_t wValue, uint16_t wIndex, void* data, UInt32 length)
{
    return device.mOwner.deviceRequest(kVKDirectionIn, kVKTypeClass, kVKRecipientInterface, request, wValue, wIndex,
                                       data, length, kRetries);
}

IOReturn classSet(VKDevice& device, uint16_t wValue, uint16_t wIndex, void* data, UInt32 length)
{
    return device.mOwner.deviceRequest(kVKDirectionOut, kVKTypeClass, kVKRecipientInterface, kSetCur, wValue, wIndex,
                                       data, length, kRetries);
}

IOReturn vendorRequest(VKDevice& device, uint8_t direction, uint8_t request, uint16_t wIndex, uint8_t& byte)
{
    UInt32 length = 1;
    return device.mOwner.deviceRequest(direction, kVKTypeVendor, kVKRecipientInterface, request, 0, wIndex, &byte,
                                       length, kRetries);
}

// The volume channels of an endpoint: the master's one triple, or 1 to 8 channels.
int volumeSlots(const XsEndpoint& endpoint)
{
    return endpoint.iChannels == M ? 1 : std::clamp<int>(endpoint.iChannels, 0, XsEndpoint::kMaxVolumes);
}

uint16_t volumeValue(const XsEndpoint& endpoint, int slot)
{
    return static_cast<uint16_t>(kVolumeControl + (endpoint.iChannels == M ? 0 : slot + 1));
}

void usbInitVolumes(VKDevice& device, XsEndpoint& endpoint)
{
    IOLog("USB: %s %d\n", "...init volumes for channels ", endpoint.iChannels);
    for (int slot = 0; slot < volumeSlots(endpoint); ++slot) {
        const uint16_t wValue = volumeValue(endpoint, slot);
        int16_t* triple = endpoint.iVolumes[slot];
        classGet(device, kGetCur, wValue, endpoint.iVolumeUnit, &triple[1], 2);
        classGet(device, kGetMin, wValue, endpoint.iVolumeUnit, &triple[0], 2);
        classGet(device, kGetMax, wValue, endpoint.iVolumeUnit, &triple[2], 2);
        IOLog("USB: %s %d\n", "Volume Cur", triple[1]);
        IOLog("USB: %s %d\n", "Volume Min", triple[0]);
        IOLog("USB: %s %d\n", "Volume max", triple[2]);
    }
}

void usbInitMute(VKDevice& device, XsEndpoint& endpoint)
{
    IOLog("USB: %s\n", "...init mute");
    if (endpoint.iChannels != 0) {
        classGet(device, kGetCur, kMuteControl, endpoint.iMuteUnit, &endpoint.iMute, 1);
    }
    IOLog("USB: %s %d\n", "Mute is ", endpoint.iMute);
}

void usbInitEndpoint(VKDevice& device, XsEndpoint& endpoint, const EndpointRow& row)
{
    IOLog("USB: %s %d\n", "...InitEndpoint channels", row.channels);
    const size_t length = std::min<size_t>(std::strlen(row.name), sizeof endpoint.szName - 1);
    std::memcpy(endpoint.szName, row.name, length);
    endpoint.szName[length] = 0;
    endpoint.iChannels = row.channels;
    endpoint.iVolumeUnit = row.volumeUnit;
    endpoint.iMuteUnit = row.muteUnit;
    endpoint.iClockSourceUnit = row.clockSourceUnit;
    endpoint.bHasVolume = row.volumeUnit != 0 ? 1 : 0;
    if (endpoint.bHasVolume != 0) {
        usbInitVolumes(device, endpoint);
    }
    endpoint.bHasMute = row.muteUnit != 0 ? 1 : 0;
    if (endpoint.bHasMute != 0) {
        usbInitMute(device, endpoint);
    }
}

uint8_t usbInitSelectorValue(VKDevice& device, uint16_t unit)
{
    uint8_t position = 0;
    classGet(device, kGetCur, 0, unit, &position, 1);
    const uint8_t bit = position >= 1 && position <= 8 ? static_cast<uint8_t>(1u << (position - 1)) : 0;
    IOLog("USB: %s %d\n", "Selector Value is ", bit);
    return bit;
}

// The 32 kHz 16-bit stereo output the device offers in its digital mode.
bool inDigitalMode(VKDevice& device)
{
    const APIDeviceInfo* info = device.getAPIDeviceInfoPtr();
    return info != nullptr && scanAPIDeviceInfo(*info, 0, 32000, 16, 2, false, true).mFound;
}

void initMonitor(VKDevice& device, const ControlsLayout& layout, XsDeviceControls& c)
{
    if (layout.monitor == Monitor::none) {
        return;
    }
    c.bMonitorSwitch = 1;
    c.iMonitorSwitchState = layout.monitorSwitchState;
    c.iMonitor = layout.monitorValue;
    if (layout.monitor == Monitor::kemper) {
        uint8_t value = 0;
        vendorRequest(device, kVKDirectionIn, kGetCur, 1, value);
        c.iMonitor = value;
    } else if (layout.monitor == Monitor::mode4040) {
        uint8_t value = 0xC0;
        if (vendorRequest(device, kVKDirectionIn, kGetCur, 0x30, value) != kIOReturnSuccess) {
            value = 0xC0;
        }
        const uint8_t mode = value & 0xF0;
        c.iMonitor = mode == 0x80 ? 34 : mode == 0x40 ? 1 : mode == 0x00 ? 12 : 0;
    }
}

void initGroup(VKDevice& device, const GroupRow& row, XsDeviceControls& c)
{
    XsControlGroup& group = groupOf(c, row.which);
    group.iCount = row.count;
    group.iIndependent = row.independent ? 1 : 0;
    group.iSelectorUnit = row.selectorUnit;
    group.iSelector = row.selector;
    for (uint32_t k = 0; k < row.count && k < XsControlGroup::kMaxEndpoints; ++k) {
        const EndpointRow& e = row.endpoints[k];
        if (e.role != nullptr) {
            IOLog("USB: %s %s\n", "************************************", e.role);
        }
        usbInitEndpoint(device, group.cEndpoints[k], e);
    }
    if (row.readSelector) {
        group.iSelector = usbInitSelectorValue(device, row.selectorUnit);
    }
}

// --- Apply.

void applyEndpoint(VKDevice& device, const XsEndpoint& old, XsEndpoint& next, bool& modified, bool force)
{
    if (next.iUserWord != old.iUserWord) {
        modified = true;
    }
    if (next.bHasMute != 0 && (force || next.iMute != old.iMute)) {
        IOLog("USB: %s\n", "...mute changed");
        if (next.iMuteUnit != 0) {
            uint8_t mute = next.iMute;
            classSet(device, kMuteControl, next.iMuteUnit, &mute, 1);
        }
        modified = true;
    }
    if (next.bHasVolume != 0) {
        for (int slot = 0; slot < volumeSlots(next); ++slot) {
            if (force || next.iVolumes[slot][1] != old.iVolumes[slot][1]) {
                modified = true;
            }
            if (next.iVolumeUnit != 0) {
                int16_t volume = next.iVolumes[slot][1];
                classSet(device, volumeValue(next, slot), next.iVolumeUnit, &volume, 2);
            }
        }
    }
}

// The structure comes from the kernel's record; the user's values are bounded by it.
void takeStructure(const XsControlGroup& old, XsControlGroup& next)
{
    next.iCount = std::min(old.iCount, XsControlGroup::kMaxEndpoints);
    next.iIndependent = old.iIndependent;
    next.iSelectorUnit = old.iSelectorUnit;
    for (uint32_t k = 0; k < XsControlGroup::kMaxEndpoints; ++k) {
        const XsEndpoint& o = old.cEndpoints[k];
        XsEndpoint& n = next.cEndpoints[k];
        std::memcpy(n.szName, o.szName, sizeof n.szName);
        n.szName[sizeof n.szName - 1] = 0;
        n.iChannels = std::clamp<int16_t>(o.iChannels, M, XsEndpoint::kMaxVolumes);
        n.bHasMute = o.bHasMute;
        n.iMuteUnit = o.iMuteUnit;
        n.bHasVolume = o.bHasVolume;
        n.iVolumeUnit = o.iVolumeUnit;
        n.iClockSourceUnit = o.iClockSourceUnit;
        n.iMute = n.iMute != 0 ? 1 : 0;
        for (int slot = 0; slot < XsEndpoint::kMaxVolumes; ++slot) {
            const int16_t low = o.iVolumes[slot][0];
            const int16_t high = o.iVolumes[slot][2];
            n.iVolumes[slot][0] = low;
            n.iVolumes[slot][2] = high;
            if (low <= high) {
                n.iVolumes[slot][1] = std::clamp(n.iVolumes[slot][1], low, high);
            }
        }
    }
}

void applyGroup(VKDevice& device, const XsControlGroup& old, XsControlGroup& next, bool& modified)
{
    takeStructure(old, next);
    if (next.iIndependent != 0) {
        for (uint32_t k = 0; k < next.iCount; ++k) {
            applyEndpoint(device, old.cEndpoints[k], next.cEndpoints[k], modified, false);
        }
    }
    if (next.iSelector != old.iSelector) {
        modified = true;
    }
    if (next.iIndependent != 0) {
        return;
    }
    const uint8_t bit = next.iSelector;
    if (!std::has_single_bit(bit)) {
        return;
    }
    const auto k = static_cast<uint32_t>(std::countr_zero(bit));
    // A selection past the group's endpoints has no endpoint to apply.
    if (k >= next.iCount) {
        return;
    }
    const uint8_t position = static_cast<uint8_t>(k + 1);
    if (next.iSelectorUnit != 0) {
        IOLog("USB: %s %d\n", "Selector Value is ", position);
        uint8_t value = position;
        classSet(device, 0, next.iSelectorUnit, &value, 1);
        applyEndpoint(device, old.cEndpoints[k], next.cEndpoints[k], modified, true);
    }
    applyEndpoint(device, old.cEndpoints[k], next.cEndpoints[k], modified, false);
}

void applySync(const XsSyncSources& old, XsSyncSources& next, bool& modified, bool& restart, bool restartOnChange)
{
    if (next.iSelector == old.iSelector) {
        return;
    }
    if (!usbApplyValidateXeBitCombination(static_cast<int>(std::min<uint32_t>(next.iCount, 9)), next.iSelector)) {
        next.iSelector = old.iSelector;
        return;
    }
    modified = true;
    IOLog("USB: %s %d\n", "...sync set to ", next.iSelector);
    if (restartOnChange) {
        restart = true;
    }
}

void logFailure(const char* text, IOReturn status, const char* set, uint8_t byte)
{
    if (status != kIOReturnSuccess) {
        IOLog("USB: %s 0x%X\n", text, static_cast<unsigned>(status));
    } else {
        IOLog("USB: %s %d\n", set, byte);
    }
}

void applyMonitor(VKDevice& device, const ControlsLayout& layout, const XsDeviceControls& old,
                  XsDeviceControls& next, bool& modified)
{
    if (old.bMonitorSwitch == 0 || next.bMonitorSwitch == 0) {
        IOLog("USB: %s\n", "---------NO MONITORING MODIFICATION");
        return;
    }
    if (next.iMonitorSwitchState != old.iMonitorSwitchState) {
        modified = true;
    }
    if (next.iMonitor == old.iMonitor) {
        return;
    }
    modified = true;
    IOLog("USB: %s\n", "---------MONITOR MODIFIED");
    const bool on = next.iMonitor != 0;
    switch (layout.monitor) {
    case Monitor::muteUnit: {
        uint8_t mute = on ? 0 : 1;
        if (classSet(device, kMuteControl, 0x0600, &mute, 1) != kIOReturnSuccess) {
            IOLog("USB: %s\n", on ? "---------MONITOR ON------------" : "---------MONITOR OFF------------");
        }
        break;
    }
    case Monitor::vendorIndex3: {
        uint8_t byte = on ? 1 : 0;
        if (vendorRequest(device, kVKDirectionOut, kSetCur, 3, byte) != kIOReturnSuccess) {
            IOLog("USB: %s\n", on ? "---------MONITOR ON------------" : "---------MONITOR OFF------------");
        }
        break;
    }
    case Monitor::kemper: {
        IOLog("USB: %s\n", "---------MONITOR KEMPERDIGITAL MODIFIED");
        uint8_t byte = on ? 1 : 0;
        const IOReturn status = vendorRequest(device, kVKDirectionOut, kSetCur, on ? 3 : 1, byte);
        logFailure("---------MONITOR SETTING FAILED", status, "---------MONITOR SET TO ", byte);
        break;
    }
    case Monitor::mode4040: {
        const uint8_t mode = next.iMonitor == 1 ? 0x40 : next.iMonitor == 34 ? 0x80 : next.iMonitor == 12 ? 0x00 : 0xC0;
        uint8_t current = 0x0F;
        if (vendorRequest(device, kVKDirectionIn, kGetCur, 0x30, current) != kIOReturnSuccess) {
            current = 0x0F;
        }
        uint8_t byte = static_cast<uint8_t>((current & 0x0F) | mode);
        if (vendorRequest(device, kVKDirectionOut, kSetCur, 0x20, byte) != kIOReturnSuccess) {
            IOLog("USB: %s %d\n", "---------MONITOR SET TO ", byte);
        }
        break;
    }
    default:
        break;
    }
}

} // namespace

bool usbApplyValidateXeBitCombination(int count, uint8_t value)
{
    if (count > 8 || count < 0) {
        return false;
    }
    if (count == 8) {
        return true;
    }
    return value < (1u << count);
}

void usbInitDeviceControls(VKDevice& device, uint16_t vid, uint16_t pid, XsDeviceControls& c)
{
    IOLog("USB: %s\n", "INIT DEVICECONTROLS InitAll");
    IOLog("USB: %s 0x%X 0x%X\n", "...VID/PID", vid, pid);
    std::memset(&c, 0, sizeof c);
    IOLog("USB: %s %d\n", "...input selector is", c.cIn.iSelector);
    IOLog("USB: %s %d\n", "...output selector is", c.cOut.iSelector);
    IOLog("USB: %s %d\n", "...monitor is", c.iMonitor);
    IOLog("USB: %s %d\n", "...sync is", c.cSync.iSelector);
    const ControlsLayout* layout = layoutOf(vid, pid);
    if (layout == nullptr) {
        return;
    }
    if (layout->digitalModeCheck) {
        if (inDigitalMode(device)) {
            IOLog("USB: %s\n", "PROD_CREATIVELABS_SOUNDBLASTER in DIGITAL MODE");
            return;
        }
        IOLog("USB: %s\n", "PROD_CREATIVELABS_SOUNDBLASTER in ANALOG MODE");
    }
    if (layout->logLine != nullptr) {
        IOLog("USB: %s\n", layout->logLine);
    }
    constexpr const char* kFrame = "**********************************************";
    if (layout->banner != nullptr) {
        IOLog("USB: %s\n", kFrame);
        IOLog("USB: %s\n", layout->banner);
        IOLog("USB: %s\n", kFrame);
    }
    initMonitor(device, *layout, c);
    for (const GroupRow& group : layout->groups) {
        if (group.which != Group::none) {
            initGroup(device, group, c);
        }
    }
    if (layout->inputCountZeroAfterInit) {
        c.cIn.iCount = 0;
    }
    c.cSync.iCount = layout->syncCount;
    c.cSync.iSelector = layout->syncSelector;
    for (uint32_t k = 0; k < layout->syncCount; ++k) {
        std::strncpy(c.cSync.szNames[k], layout->syncNames[k], sizeof c.cSync.szNames[k] - 1);
    }
    if (layout->clockSourceUnit != 0) {
        device.mClockSourceUnit = layout->clockSourceUnit;
    }
    if (layout->banner != nullptr) {
        IOLog("USB: %s\n", kFrame);
    }
}

void usbApplyDeviceControls(VKDevice& device, uint16_t vid, uint16_t pid, const XsDeviceControls& old,
                            XsDeviceControls& next, bool& modified, bool& restart)
{
    IOLog("USB: %s\n", "\nusbApplyDeviceControls");
    modified = false;
    restart = false;
    static const ControlsLayout kNone{};
    const ControlsLayout* found = layoutOf(vid, pid);
    const ControlsLayout& layout = found != nullptr ? *found : kNone;

    next.cSync.iCount = old.cSync.iCount;
    std::memcpy(next.cSync.szNames, old.cSync.szNames, sizeof next.cSync.szNames);
    next.bMonitorSwitch = old.bMonitorSwitch;
    if (layout.restartOnSelection && next.cIn.iSelector != old.cIn.iSelector) {
        restart = true;
        modified = true;
    }
    if (layout.digitalRouting) {
        next.iDigitalRouting = next.cOut.iSelector == 2 ? 1 : 0;
    } else {
        next.iDigitalRouting = old.iDigitalRouting;
    }
    applyMonitor(device, layout, old, next, modified);
    if (layout.digitalRouting && next.cOut.iSelector != old.cOut.iSelector) {
        if (next.iDigitalRouting != old.iDigitalRouting) {
            modified = true;
        }
        IOLog("USB: %s\n", "---------Routing KEMPERDIGITAL MODIFIED");
        const bool routed = next.iDigitalRouting != 0;
        uint8_t byte = routed ? 1 : 0;
        const IOReturn status = vendorRequest(device, kVKDirectionOut, kSetCur, routed ? 4 : 2, byte);
        logFailure("---------ROUTING SETTING FAILED", status, "---------ROUTING SET TO ", byte);
    }
    applyGroup(device, old.cMonitor, next.cMonitor, modified);
    applyGroup(device, old.cIn, next.cIn, modified);
    applyGroup(device, old.cOut, next.cOut, modified);
    applySync(old.cSync, next.cSync, modified, restart, layout.restartOnSelection);
    if (modified) {
        IOLog("USB: %s\n", "...modified");
    }
    if (restart) {
        IOLog("USB: %s\n", "...needs restart");
    }
    if (!modified && !restart) {
        IOLog("USB: %s\n", "...no changes");
    }
}

bool usbControlsSwitchInterfaces(uint16_t vid, uint16_t pid)
{
    const ControlsLayout* layout = layoutOf(vid, pid);
    return layout != nullptr && layout->interfaceSelector;
}

// --- The device's side: the kernel's record, the shared one and the stored user values.

void VKDevice::getSelectors(XsDeviceControls& controls) const
{
    if (mpDriverSM == nullptr) {
        controls = XsDeviceControls{};
        return;
    }
    std::memcpy(&controls, mpDriverSM->mDeviceControls, sizeof controls);
}

void VKDevice::setSelectors(XsDeviceControls& next)
{
    VKIOTrace trace("VKDevice::setSelectors", 0);
    IOLog("void VKDevice::setSelectors(XsDeviceControls &)\n");
    if (mpDriverSM == nullptr) {
        return;
    }
    next.iLastWord = 0;
    bool modified = false;
    bool restart = false;
    if (usbControlsSwitchInterfaces(vendorID(), productID())) {
        if (next.cOut.iSelector != mAppliedControls.cOut.iSelector) {
            IOLog("USB: %s\n", "usbApplyInterfaceSelector: this driver does not switch the output interface; "
                               "the output selection is not applied");
        }
    } else {
        usbApplyDeviceControls(*this, vendorID(), productID(), mAppliedControls, next, modified, restart);
    }
    if (modified) {
        mAppliedControls = next;
        std::memcpy(mpDriverSM->mDeviceControls, &next, sizeof next);
        IOLog("setSelectors bModified myControls.cOut.iSelector=%d\n", next.cOut.iSelector);
        storeSettings();
    }
    if (restart) {
        m_bStreamingSuspended = 0;
        stopStreaming(true);
        terminateIsocRqBs();
        mOwner.unconfigureDevice(true, "usbApplyDeviceControls");
        const QzChannelSettings settings = *getCurrentSettings();
        onPrepareNewConfig(settings, nullptr, true);
        if (mOwner.configurationStatus() == kIOReturnSuccess && mChosen.configuration != nullptr) {
            if (mpDriverData != nullptr) {
                mpDriverData->reinitClientsForStreaming(*getCurrentSettings());
            }
            startStreaming();
            mOwner.setChannelSettingsProperty();
            mOwner.setAqExtDataProperty();
            stcNotifyStreaming(3, 0);
            trace.trace("done");
        } else {
            trace.trace("configureDevice failed");
        }
    }
    std::memcpy(mpDriverSM->mDeviceControlsNext, mpDriverSM->mDeviceControls, sizeof mpDriverSM->mDeviceControlsNext);
    IOLog("setSelectors out cControls.cOut.iSelector=%d\n", mAppliedControls.cOut.iSelector);
}

void VKDevice::initDeviceControls()
{
    if (mpDriverSM == nullptr) {
        return;
    }
    // The family's own devices keep no such record: theirs stays empty.
    XsDeviceControls local{};
    if (!isCorlanthCompatible()) {
        usbInitDeviceControls(*this, vendorID(), productID(), local);
    }
    mAppliedControls = local;
    std::memcpy(mpDriverSM->mDeviceControls, &local, sizeof local);
    deviceSettingsLoadControls(reinterpret_cast<uint8_t*>(&local));
    bool modified = false;
    bool restart = false;
    usbApplyDeviceControls(*this, vendorID(), productID(), mAppliedControls, local, modified, restart);
    if (modified) {
        IOLog("USB: %s\n", "--modified");
        mAppliedControls = local;
        std::memcpy(mpDriverSM->mDeviceControls, &local, sizeof local);
    }
}
