// Descriptor scan: the device descriptor and each configuration descriptor set become the device's
// parsed model, corrected for the models that need it, and the device description user space
// reads (APIDeviceInfo).
//
// Thread safety: the scan runs on the service's start thread before user clients exist; the
// description is built once after it.
#include "VKDevice.h"
#include "VKDeviceSubstitutes.h"

#include "DriverSM.h"
#include "VKDeviceOwner.h"
#include "VKIOTrace.h"
#include "VKUSBDescriptors.h"

#include <APIDeviceInfo.h>
#include <DeviceIdentification.h>
#include <DeviceModels.h>
#include <TableKeys.h>

#include <IOKit/IOLib.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <span>

namespace {

constexpr size_t kDeviceDescriptorLength = 18;
constexpr uint8_t kDescriptorTypeDevice = 1;
constexpr uint8_t kDescriptorTypeInterface = 4;
// The most of one configuration descriptor set the service reads.
constexpr size_t kMaxConfigurationSize = 4096;

// A byte patch for firmware that describes its interfaces or formats wrongly. A patch is made for
// the offset alone, or for one field of one descriptor: then it applies only where the descriptor
// holding `offset` begins `field` bytes before it and has type `type`.
struct RawPatch
{
    DeviceModel model;
    uint16_t offset;
    uint8_t count;
    uint8_t bytes[2];
    uint8_t type; // kAnyDescriptor: the offset alone
    uint8_t field;
};

constexpr uint8_t kAnyDescriptor = 0;

constexpr RawPatch kRawPatches[] = {
    {kModel1ACC_0049, 164, 1, {1, 0}, kAnyDescriptor, 0},
    // Three interface descriptors after the header: audio control, audio streaming twice.
    {kModelMBox, 14, 2, {1, 1}, kDescriptorTypeInterface, 5},
    {kModelMBox, 23, 2, {1, 2}, kDescriptorTypeInterface, 5},
    {kModelMBox, 32, 2, {1, 2}, kDescriptorTypeInterface, 5},
    // The first interface streams audio.
    {kModel1604_8006, 14, 2, {1, 2}, kDescriptorTypeInterface, 5},
    // Format descriptors that state the wrong resolution: 24 bits.
    {kModelUSBPre, 298, 1, {24, 0}, kAnyDescriptor, 0},
    {kModelUSBPre, 344, 1, {24, 0}, kAnyDescriptor, 0},
    {kModelUSBPre, 571, 1, {24, 0}, kAnyDescriptor, 0},
    {kModelUSBPre, 614, 1, {24, 0}, kAnyDescriptor, 0},
};
static_assert(modelsRegistered(kRawPatches));
static_assert(tableKeysUnique(kRawPatches, [](const RawPatch& row) {
    return (uint64_t{row.model.key()} << 16) | row.offset;
}));

// Where the descriptor holding byte `offset` begins in `bytes`, walking the descriptors by their
// length bytes; -1 when the walk ends first (a length below 2 or past the end).
long descriptorHolding(std::span<const uint8_t> bytes, size_t offset)
{
    size_t position = 0;
    while (position + 2 <= bytes.size()) {
        const size_t length = bytes[position];
        if (length < 2 || position + length > bytes.size()) {
            return -1;
        }
        if (offset < position + length) {
            return long(position);
        }
        position += length;
    }
    return -1;
}

bool patchFits(const RawPatch& patch, std::span<const uint8_t> bytes)
{
    if (size_t(patch.offset) + patch.count > bytes.size()) {
        return false;
    }
    if (patch.type == kAnyDescriptor) {
        return true;
    }
    const long start = descriptorHolding(bytes, patch.offset);
    if (start < 0) {
        return false;
    }
    const size_t position = size_t(start);
    const size_t field = patch.offset - position;
    if (position + field + patch.count > position + bytes[position]) {
        return false; // the patch would run into the next descriptor
    }
    return field == patch.field && bytes[position + 1] == patch.type;
}

// Elektron identity replies.
constexpr uint8_t kElektronUIDRequest = 0x00;
constexpr uint8_t kElektronNameRequest = 0x01;

constexpr int kElektronRetries = 5;

// A format record that no longer describes any format, so that no search chooses it.
void clearRecord(VKInterfaceDescriptorSpecificAS& as)
{
    const uint8_t empty[] = {3, usb_descriptor::kClassInterface, 0};
    USBByteBuffer buffer(empty, sizeof(empty));
    as.scan(buffer);
}

// The interface keeps its number and alternate but has no endpoints and no class any more.
void neutralise(VKInterfaceDescriptor& interface, const VIDPID& device)
{
    const uint8_t descriptor[] = {9,
                                  usb_descriptor::kInterface,
                                  interface.getInterfaceNumber(),
                                  interface.getAlternateSettingNumber(),
                                  0,
                                  0,
                                  0,
                                  0,
                                  interface.getInterfaceStringIndex()};
    USBByteBuffer buffer(descriptor, sizeof(descriptor));
    interface.scan(buffer, device);
}

template <class Visit> void forEachStreamingRecord(VKSimpleArray& configurations, Visit visit)
{
    for (int32_t c = 0; c < configurations.getCount(); ++c) {
        auto* configuration = static_cast<VKConfigurationDescriptor*>(configurations.atPos(c));
        if (configuration == nullptr) {
            continue;
        }
        for (int32_t i = 0; VKInterfaceDescriptor* interface = configuration->getInterfaceByIndex(i); ++i) {
            if (!interface->isAudioStreamingIn() && !interface->isAudioStreamingOut()) {
                continue;
            }
            // The interface's own setting, then its alternates.
            for (int32_t a = -1;; ++a) {
                VKInterfaceDescriptor* alternate =
                    a < 0 ? interface : interface->getAlternateSettingByIndex(a);
                if (alternate == nullptr) {
                    break;
                }
                for (int32_t r = 0;
                     VKInterfaceDescriptorSpecificAS* as = alternate->getAudioStreamingSpecific(r); ++r) {
                    visit(*as);
                }
            }
        }
    }
}

void logDisable()
{
    IOLog("USB: %s\n", "DISABLE Alternate");
}

} // namespace

namespace USB {

size_t applyRawPatches(uint16_t vendor, uint16_t product, uint8_t* bytes, size_t size)
{
    if (bytes == nullptr) {
        return 0;
    }
    const std::span<uint8_t> received(bytes, size);
    size_t applied = 0;
    for (const RawPatch& patch : kRawPatches) {
        if (!patch.model.is(vendor, product)) {
            continue;
        }
        if (!patchFits(patch, received)) {
            IOLog("USB: %s %d\n", "raw patch left out, descriptor not where expected at", int(patch.offset));
            continue;
        }
        std::copy_n(patch.bytes, patch.count, received.begin() + patch.offset);
        ++applied;
    }
    return applied;
}

} // namespace USB

bool QZ_DeviceDescriptor::scan(USBByteBuffer& buffer)
{
    clear();
    uint8_t length = 0;
    uint8_t type = 0;
    // A reply shorter than its length byte says is as short as a wrong length byte.
    const uint32_t received = buffer.getRemaining();
    buffer >> length;
    if (length < kDeviceDescriptorLength || received < kDeviceDescriptorLength) {
        IOLog("USB: %s\n", "VKDeviceDescriptor::scan - Buffer to small. Requested 0x12, Size is");
        return false;
    }
    buffer >> type;
    if (type != kDescriptorTypeDevice) {
        IOLog("USB: %s 0x%X\n", "VKDeviceDescriptor::scan - Wrong descriptor type ", type);
        return false;
    }
    uint16_t word = 0;
    buffer >> word;
    bcdUSB = word;
    buffer >> bDeviceClass >> bDeviceSubClass >> bDeviceProtocol >> bMaxPacketSize0;
    buffer >> word;
    idVendor = word;
    buffer >> word;
    idProduct = word;
    buffer >> word;
    bcdDevice = word;
    buffer >> iManufacturer >> iProduct >> iSerialNumber >> bNumConfigurations;
    return true;
}

bool VKDevice::isElektron() const
{
    return hasTrait(vkdevice::kTraitElektron);
}

void VKDevice::resolveModelProfile()
{
    mModelProfile = vkdevice::modelProfileOf(vendorID(), productID(), releaseID());
}

bool VKDevice::scanDeviceDescriptor(USBByteBuffer& buffer)
{
    const bool scanned = mDeviceDescriptor.scan(buffer);
    resolveModelProfile();

    if (mFirstScan != 0 && hasTrait(vkdevice::kTraitFirstScanDefaults)) {
        mFirstScan = 0;
        QzChannelSettings* settings = getCurrentSettings();
        settings->iInChannels = 2;
        settings->iOutChannels = 2;
        settings->iInResolution = 16;
        settings->iOutResolution = 16;
        settings->uConfiguration = 0;
        if (settings->iFrequency > 48000) {
            settings->iFrequency = 44100;
        }
    }

    std::memset(ElektronUID, 0, sizeof(ElektronUID));
    if (isElektron()) {
        readElektronIdentity();
    }

    IOLog("USB: %s\n", "INIT DEVICE SPECIFIC DATA");
    initDeviceSpecificData();
    return scanned;
}

void VKDevice::readElektronIdentity()
{
    UInt32 length = sizeof(ElektronUID);
    if (mOwner.deviceRequest(kVKDirectionIn, kVKTypeVendor, kVKRecipientDevice, kElektronUIDRequest, 0, 0,
                             ElektronUID, length, kElektronRetries) != kIOReturnSuccess) {
        std::memset(ElektronUID, 0, sizeof(ElektronUID));
    }
    std::memset(ElektronDeviceName, 0, sizeof(ElektronDeviceName));
    length = sizeof(ElektronDeviceName);
    if (mOwner.deviceRequest(kVKDirectionIn, kVKTypeVendor, kVKRecipientDevice, kElektronNameRequest, 0, 0,
                             ElektronDeviceName, length, kElektronRetries) != kIOReturnSuccess) {
        std::memset(ElektronDeviceName, 0, sizeof(ElektronDeviceName));
        length = 0;
    }
    // Terminated inside the 32 bytes whatever length the device claims.
    if (length >= 1 && length <= sizeof(ElektronDeviceName)) {
        ElektronDeviceName[length - 1] = 0;
    } else {
        ElektronDeviceName[sizeof(ElektronDeviceName) - 1] = 0;
    }
    mOwner.setProperty("ElektronUID", ElektronUID, sizeof(ElektronUID));
    mOwner.setProperty("ElektronDeviceName", ElektronDeviceName, sizeof(ElektronDeviceName));
}

bool VKDevice::scanConfigurationDescriptors(USBByteBuffer& buffer)
{
    VKIOTrace trace("VKDevice::scanConfigurationDescriptors", 0);
    const uint32_t remaining = buffer.getRemaining();
    if (remaining == 0) {
        trace.trace("pUSBByteBuffer is NULL", 0, 0);
        return false;
    }
    // Only what was received, at most one configuration area and no more than the set says it
    // holds. The bytes may sit in memory user space maps: patches and parsing work on a private
    // copy.
    uint32_t size = std::min<uint32_t>(remaining, kMaxConfigurationSize);
    if (size >= 4) {
        const uint32_t totalLength = uint32_t{buffer.peek(2)} | (uint32_t{buffer.peek(3)} << 8);
        size = std::min(size, totalLength);
    }
    if (size == 0) {
        trace.trace(" pcDesc = NULL", 0, 0);
        return false;
    }
    auto* bytes = static_cast<uint8_t*>(memAlloc(size));
    if (bytes == nullptr) {
        return false;
    }
    buffer.read(bytes, size);
    USB::applyRawPatches(vendorID(), productID(), bytes, size);

    USBByteBuffer parse(bytes, size);
    auto* configuration = new VKConfigurationDescriptor();
    const bool parsed = configuration->scan(parse, vidpid());
    memFree(bytes, size);
    if (!parsed || !mConfigurations.add(configuration)) {
        delete configuration;
        trace.trace(" pcDesc = NULL", 0, 0);
        return false;
    }

    correctConfiguration();

    const bool flag22 = isListed() && hasFeature(APISpecificFeatures::kBuildDummyDescriptor);
    trace.trace("isCorlanthCompatible(), mInitSettings.mFlags[kBuildDummyDescriptor", isCorlanthCompatible(),
                flag22);
    if (hasTrait(vkdevice::kTraitSubstituteDescriptors) || isCorlanthCompatible() || flag22) {
        USB::buildDummyDescriptor(vidpid(), mConfigurations, isUSB2 != 0, mDeviceSpecific);
    }
    if (hasTrait(vkdevice::kTraitMBox2Substitute)) {
        USB::buildDummyDescriptor(vidpid(), mConfigurations, isUSB2 != 0, mDeviceSpecific);
        disableAllByFrequency(32000);
    }
    return true;
}

// Corrections of the configuration just scanned (the last of the list).
void VKDevice::correctConfiguration()
{
    if (hasTrait(vkdevice::kTraitNoRatesAbove48k)) {
        disableAllByFrequency(88200);
        disableAllByFrequency(96000);
    } else if (hasTrait(vkdevice::kTraitEightChannelSecondRecords)) {
        // The first configuration's second format record of each stream says 8 channels; a stream
        // without that record is left alone.
        if (mConfigurations.getCount() == 1) {
            VKConfigurationDescriptor* first = getConfigurationDescriptor(0);
            for (uint8_t number : {uint8_t{1}, uint8_t{2}}) {
                VKInterfaceDescriptor* interface = first->getInterface(number);
                VKInterfaceDescriptor* alternate = interface ? interface->getAlternateSetting(1) : nullptr;
                VKInterfaceDescriptorSpecificAS* as =
                    alternate ? alternate->getAudioStreamingSpecific(1) : nullptr;
                if (as != nullptr) {
                    as->setNumChannels(8);
                }
            }
        }
    } else if (hasTrait(vkdevice::kTraitPrefers24Bits)) {
        correct0CCD_0014();
    } else if (hasTrait(vkdevice::kTraitStereoOnlyNoMidi)) {
        correctExtigy();
    }
    if (hasTrait(vkdevice::kTraitUnknown24BitLayout)) {
        // Its 24-bit samples have no converter: a stream at 24 bits would run silent, so the
        // device offers none.
        IOLog("USB: %s\n", "disable all 24 bit alternates (layout unknown)");
        disableAllByResolution(24);
    }
}

void VKDevice::correct0CCD_0014()
{
    auto* info = static_cast<APIDeviceInfo*>(memAllocZero(sizeof(APIDeviceInfo)));
    if (info == nullptr) {
        return;
    }
    getAPIDeviceInfo(*info);
    if (scanAPIDeviceInfo(*info, 0, 96000, 24, 2, true, false).mFound) {
        IOLog("USB: %s\n", "disable all 16 bit alternates (mode 1)");
        disableAllByResolution(16);
    }
    if (scanAPIDeviceInfo(*info, 0, 44100, 24, 2, true, true).mFound) {
        IOLog("USB: %s\n", "disable all 16 bit alternates (mode 3)");
        disableAllByResolution(16);
    }
    memFree(info, sizeof(APIDeviceInfo));
}

void VKDevice::correctExtigy()
{
    VKIOTrace trace("VKDevice::correctExtigy", 0);
    IOLog("USB: %s\n", "---------------CREATIVE CHECK ");
    for (int32_t c = 0; c < mConfigurations.getCount(); ++c) {
        VKConfigurationDescriptor* configuration = getConfigurationDescriptor(c);
        trace.trace("---------------CREATIVE CHECK CONFIG", c, 0);
        for (int32_t i = 0; VKInterfaceDescriptor* interface = configuration->getInterfaceByIndex(i); ++i) {
            trace.trace("---------------CREATIVE CHECK INTERFACE", i, 0);
            if (interface->isMidiInterface()) {
                trace.trace("---------------CREATIVE REMOVE MIDI", i, 0);
                neutralise(*interface, vidpid());
                continue;
            }
            if (interface->getInterfaceClass() != usb_descriptor::kClassAudio ||
                interface->getInterfaceSubClass() != usb_descriptor::kSubClassAudioStreaming) {
                continue;
            }
            trace.trace("---------------CREATIVE CHECK AUDIO STREAMING", i, 0);
            for (int32_t a = 0; VKInterfaceDescriptor* alternate = interface->getAlternateSettingByIndex(a);
                 ++a) {
                trace.trace("---------------CREATIVE CHECK ALTERNATE", a, 0);
                for (int32_t r = 0;
                     VKInterfaceDescriptorSpecificAS* as = alternate->getAudioStreamingSpecific(r); ++r) {
                    trace.trace("---------------CREATIVE CHECK AudioSpecific", r, 0);
                    if (as->getNumChannels() > 2) {
                        trace.trace("DISABLE EXTIGY MULTICHANNEL", as->getNumChannels(), 0);
                        clearRecord(*as);
                    }
                }
            }
        }
    }
}

void VKDevice::disableAllByFrequency(uint32_t frequency)
{
    forEachStreamingRecord(mConfigurations, [frequency](VKInterfaceDescriptorSpecificAS& as) {
        if (!as.isFormatType()) {
            return;
        }
        if (as.isContinousFrequency()) {
            if (as.getLowerFrequency() <= frequency && frequency <= as.getUpperFrequency()) {
                logDisable();
                clearRecord(as);
            }
            return;
        }
        for (int32_t i = 0; i < as.getCountFrequencies(); ++i) {
            if (as.getFrequency(i) == frequency) {
                logDisable();
                as.clearFrequency(i);
                return;
            }
        }
    });
}

void VKDevice::disableAllByResolution(int bits)
{
    forEachStreamingRecord(mConfigurations, [bits](VKInterfaceDescriptorSpecificAS& as) {
        if (as.isFormatType() && as.getBitResolution() == bits) {
            logDisable();
            clearRecord(as);
        }
    });
}

void VKDevice::disableAllByChannels(uint8_t channels)
{
    forEachStreamingRecord(mConfigurations, [channels](VKInterfaceDescriptorSpecificAS& as) {
        if (as.isFormatType() && as.getNumChannels() == channels) {
            logDisable();
            clearRecord(as);
        }
    });
}

VKConfigurationDescriptor* VKDevice::getConfigurationDescriptor(int i)
{
    return static_cast<VKConfigurationDescriptor*>(mConfigurations.atPos(i));
}

int VKDevice::getCountConfigurationDescriptors() const
{
    return mConfigurations.getCount();
}

void VKDevice::getAPIDeviceInfo(APIDeviceInfo& info)
{
    info.idVendor = vendorID();
    info.idProduct = productID();
    info.bcdDevice = releaseID();
    const unsigned count =
        std::min<unsigned>(mDeviceDescriptor.bNumConfigurations, APIDeviceInfo::kMaxConfigurations);
    info.mNumConfigurations = uint8_t(count);
    const VIDPID device = vidpid();
    for (unsigned i = 0; i < count; ++i) {
        if (VKConfigurationDescriptor* configuration = getConfigurationDescriptor(int(i))) {
            configuration->getAPIConfigInfo(info.mConfigurations[i], device);
        }
    }
}

bool VKDevice::buildInternalAPIDeviceInfo()
{
    if (mAPIDeviceInfo == nullptr) {
        return false;
    }
    getAPIDeviceInfo(*mAPIDeviceInfo);
    return true;
}
