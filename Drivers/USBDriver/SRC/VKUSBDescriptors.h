// The kernel's model of a USB device's configurations, parsed from the raw configuration
// descriptor bytes: a VKConfigurationDescriptor holds one VKInterfaceDescriptor per interface
// number (alternate setting 0), which holds its other alternate settings, its pipes
// (VKPipeDescriptor), its audio class-specific parts and its HID descriptors.
//
// The bytes come from the device and are trusted for nothing: every scan reads them through one
// USBByteBuffer over what was actually received, checks each length byte before it moves on,
// never makes a step of zero bytes, and copies no descriptor beyond its own length, the bytes
// received or the room of the object it is copied into. Known non-compliant devices are repaired
// on the way in (vendor interfaces relabelled as audio streaming or MIDI), and an alternate setting
// that offers the same single-rate format as another with a smaller packet size is dropped.
//
// Ownership: a configuration owns its interfaces, an interface its alternates, pipes and class
// parts (through VKSimpleArray::deleteAll). An interface holds a retained IOUSBInterface (and the
// service it was opened for) and closes it when destroyed; a pipe holds a retained IOUSBPipe.
//
// Thread safety: none; the device object serialises parsing, searching, opening and closing.
// Pipe predicates and getters may be read by the streaming code once a configuration is set.
#pragma once

#include <cstdint>

#include "APIDeviceInfo.h"
#include "DeviceIdentification.h"
#include "USBByteBuffer.h"
#include "VKSimpleArray.h"

class IOService;
class IOUSBInterface;
class IOUSBPipe;
class VKConfigurationDescriptor;
class VKInterfaceDescriptor;

// Descriptor types and class codes the model reads.
namespace usb_descriptor {
constexpr uint8_t kConfiguration = 0x02;
constexpr uint8_t kInterface = 0x04;
constexpr uint8_t kEndpoint = 0x05;
constexpr uint8_t kHID = 0x21;
constexpr uint8_t kClassInterface = 0x24;
constexpr uint8_t kClassEndpoint = 0x25;

constexpr uint8_t kClassAudio = 1;
constexpr uint8_t kClassHID = 3;
constexpr uint8_t kClassVendor = 0xFF;
constexpr uint8_t kSubClassAudioControl = 1;
constexpr uint8_t kSubClassAudioStreaming = 2;
constexpr uint8_t kSubClassMidiStreaming = 3;

constexpr uint8_t kTransferIsochronous = 1;
constexpr uint8_t kTransferBulk = 2;
constexpr uint8_t kTransferInterrupt = 3;
} // namespace usb_descriptor

// An audio-streaming class-specific descriptor, kept raw. The accessors describe only a
// FORMAT_TYPE descriptor of format type I; for any other they answer 0. They never look past the
// bytes the descriptor holds (its length byte, the bytes received, the 256-byte area).
class VKInterfaceDescriptorSpecificAS : public VKSimpleObject
{
public:
    static constexpr uint32_t kSize = 256;
    // Rates the generators can hold: (256 - 8) / 3.
    static constexpr uint32_t kMaxFrequencies = (kSize - 8) / 3;

    // Copies the descriptor at the read position (type 0x24) and moves past it.
    bool scan(USBByteBuffer& buffer);

    bool isFormatType() const;
    uint8_t getNumChannels() const;
    uint8_t getSubframeSize() const;
    uint8_t getBitResolution() const;
    bool isContinousFrequency() const;
    // Discrete rates present: bSamFreqType, but no more than the descriptor's bytes hold.
    uint8_t getCountFrequencies() const;
    uint32_t getLowerFrequency() const;
    uint32_t getUpperFrequency() const;
    // The i-th discrete rate, 0 when there is none.
    uint32_t getFrequency(int32_t i) const;
    // Takes the i-th discrete rate out of the list.
    void clearFrequency(int32_t i);
    void setNumChannels(uint8_t channels);

    // Makes this an 8-byte format-type-I descriptor without rates.
    void genInit(uint8_t channels, uint8_t resolution);
    // Appends a discrete rate; false when the area is full.
    bool genAddSR(uint32_t frequency);
    // Appends the rates of a bit set: bit 0 32000 ... bit 8 384000 Hz.
    void genAddSRBitmap(uint32_t bits);

    // The streaming entry of the device description: resolution, channels, rates (at most 16);
    // a few models get fixed rate lists.
    void getAPIStreamingInfo(APIStreamingInfo& info, const VIDPID& device) const;

    // The descriptor's bytes that are valid (length byte, bytes received and area, the smallest).
    uint32_t getLength() const;
    const uint8_t* getBytes() const { return m_raw; }

private:
    uint32_t get24(uint32_t offset) const;

    uint8_t m_raw[kSize] = {};
    uint32_t m_uReceived = 0; // bytes copied from the device or written by the generators
};

// An audio-control class-specific descriptor, kept raw (the first 128 bytes).
class VKInterfaceDescriptorSpecificAC : public VKSimpleObject
{
public:
    static constexpr uint32_t kSize = 128;

    // Copies the descriptor at the read position (type 0x24) and moves past all of it.
    bool scan(USBByteBuffer& buffer);

    uint32_t getLength() const { return m_uReceived; }
    const uint8_t* getBytes() const { return m_raw; }

private:
    uint8_t m_raw[kSize] = {};
    uint32_t m_uReceived = 0;
};

class VKHIDDescriptor : public VKSimpleObject
{
public:
    bool scan(USBByteBuffer& buffer);

    uint16_t getBcdHID() const { return m_uBcdHID; }
    uint8_t getCountryCode() const { return m_uCountryCode; }
    uint8_t getNumDescriptors() const { return m_uNumDescriptors; }
    uint8_t getDescriptorType() const { return m_uDescriptorType; }
    uint16_t getDescriptorLength() const { return m_uDescriptorLength; }

private:
    uint16_t m_uBcdHID = 0;
    uint8_t m_uCountryCode = 0;
    uint8_t m_uNumDescriptors = 0;
    uint8_t m_uDescriptorType = 0;
    uint16_t m_uDescriptorLength = 0;
};

// One endpoint of an interface's alternate setting.
class VKPipeDescriptor : public VKSimpleObject
{
public:
    explicit VKPipeDescriptor(VKInterfaceDescriptor* owner);
    ~VKPipeDescriptor() override;

    // Reads the endpoint descriptor at the read position and its class-specific endpoint
    // descriptor when one follows.
    bool scan(USBByteBuffer& buffer);

    bool isIn() const { return (m_uAddressByte & 0x80) != 0; }
    uint8_t getTransferType() const { return m_uAttributes & 3; }
    // IN isochronous with a packet size of at least 32 (logs the open pipe's size).
    bool isIsocInPipe() const;
    // OUT isochronous with a packet size of at least 33 (logs the open pipe's size).
    bool isIsocOutPipe() const;
    bool isIsocInPipeInRange(uint32_t minSize, uint32_t maxSize) const;
    bool isIsocOutPipeInRange(uint32_t minSize, uint32_t maxSize) const;
    bool isInterruptInPipe() const;
    bool isInterruptOutPipe() const;
    bool isBulkInPipe() const;
    bool isBulkOutPipe() const;
    bool isInterruptPipe() const;

    // Takes the matching pipe of the owner's open IOUSBInterface and clears its stall. `caller`
    // (may be null) names who asks; with it every step is logged.
    bool initPipe(const char* caller);
    void closePipe();
    void abort();

    void getAPIEndpointInfo(APIEndpointInfo& info) const;

    uint8_t getAddressByte() const { return m_uAddressByte; }
    uint8_t getEndpointID() const { return m_uEndpointID; }
    uint8_t getAttributes() const { return m_uAttributes; }
    uint16_t getRawMaxPacketSize() const { return m_uRawMaxPacketSize; }
    uint16_t getTransactionsPerMicroframe() const { return m_uTransactions; }
    uint16_t getMaxPacketSize() const { return m_uMaxPacketSize; }
    uint8_t getInterval() const { return m_uInterval; }
    uint8_t getRefresh() const { return m_uRefresh; }
    uint8_t getSynchAddress() const { return m_uSynchAddress; }
    uint32_t getSyncType() const { return m_uSyncType; }
    uint32_t getControlType() const { return m_uControlType; }
    uint8_t getMaxPacketsOnly() const { return m_uMaxPacketsOnly; }
    uint8_t getLockDelayUnits() const { return m_uLockDelayUnits; }
    uint16_t getLockDelay() const { return m_uLockDelay; }
    VKInterfaceDescriptor* getOwner() const { return m_pOwner; }
    uint32_t getRequestedBandwidth() const { return m_uRequestedBandwidth; }
    void setRequestedBandwidth(uint32_t bandwidth) { m_uRequestedBandwidth = bandwidth; }
    uint16_t getCurrentMaxPacketSize() const { return m_uCurrentMaxPacketSize; }
    void setCurrentMaxPacketSize(uint16_t size) { m_uCurrentMaxPacketSize = size; }
    IOUSBPipe* getPipe() const { return m_pUSBPipe; }

private:
    void clear();

    uint8_t m_uAddressByte = 0;
    uint8_t m_uEndpointID = 0;
    uint8_t m_uAttributes = 0;
    uint16_t m_uRawMaxPacketSize = 0;
    uint16_t m_uTransactions = 0;
    uint16_t m_uMaxPacketSize = 0;
    uint8_t m_uInterval = 0;
    uint8_t m_uRefresh = 0;
    uint8_t m_uSynchAddress = 0;
    uint32_t m_uSyncType = 0;
    uint32_t m_uControlType = 0;
    uint8_t m_uMaxPacketsOnly = 0;
    uint8_t m_uLockDelayUnits = 0;
    uint16_t m_uLockDelay = 0;
    VKInterfaceDescriptor* m_pOwner;
    uint32_t m_uRequestedBandwidth = 0;
    uint16_t m_uCurrentMaxPacketSize = 0;
    IOUSBPipe* m_pUSBPipe = nullptr; // retained
};

// One interface number (alternate setting 0, which owns the others) or one of its alternates.
class VKInterfaceDescriptor : public VKSimpleObject
{
public:
    // `parent` is null for alternate setting 0; an alternate takes its parent's configuration.
    explicit VKInterfaceDescriptor(VKConfigurationDescriptor* configuration,
                                   VKInterfaceDescriptor* parent = nullptr);
    ~VKInterfaceDescriptor() override;

    // Reads the interface descriptor at the read position and what belongs to it (endpoints,
    // class parts, HID; for alternate 0 also the following alternates of the same number).
    // Stops at the next interface of another number.
    bool scan(USBByteBuffer& buffer, const VIDPID& device);
    // Zeroes the seven descriptor fields and deletes the class parts, alternates and pipes.
    void clear();

    bool isAudioControl() const;
    bool isHIDInterface() const;
    bool isVendorInterface() const;
    bool isMidiInterface() const;
    // Audio streaming, with an isochronous data pipe of that direction here or in an alternate.
    bool isAudioStreamingIn() const;
    bool isAudioStreamingOut() const;

    VKInterfaceDescriptor* getAlternateSetting(uint8_t alternate);
    VKInterfaceDescriptor* getAlternateSettingByIndex(int32_t index) const;
    VKInterfaceDescriptorSpecificAS* getAudioStreamingSpecific(int32_t index) const;
    VKInterfaceDescriptorSpecificAC* getAudioControlSpecific(int32_t index) const;
    VKHIDDescriptor* getHIDDescriptor(int32_t index) const;
    VKPipeDescriptor* getPipeByIndex(int32_t index) const;
    VKPipeDescriptor* getPipeByID(uint8_t endpointNumber) const;
    VKPipeDescriptor* getPipeByAddress(uint8_t address) const;
    int32_t getCountAlternateSettings() const { return m_cAlternates.getCount(); }
    int32_t getCountAS() const { return m_cAS.getCount(); }
    int32_t getCountAC() const { return m_cAC.getCount(); }
    int32_t getCountHID() const { return m_cHID.getCount(); }
    int32_t getCountPipes() const { return m_cPipes.getCount(); }

    // The first pipe of this object (not of its alternates) that fits.
    VKPipeDescriptor* getIsocInPipe() const;
    VKPipeDescriptor* getIsocOutPipe() const;
    VKPipeDescriptor* getIsocInPipeInRange(uint32_t minSize, uint32_t maxSize) const;
    VKPipeDescriptor* getIsocOutPipeInRange(uint32_t minSize, uint32_t maxSize) const;
    VKPipeDescriptor* getInterruptInPipe() const;
    VKPipeDescriptor* getInterruptOutPipe() const;
    VKPipeDescriptor* getBulkInPipe() const;
    VKPipeDescriptor* getBulkOutPipe() const;

    // A format-type-I part of this object offers the rate (within a range or among at most 16
    // discrete rates) at this channel count and resolution.
    bool hasCapabilities(uint32_t frequency, uint32_t channels, uint32_t resolution) const;
    // For an audio-streaming interface: this object when it has the capabilities, else the first
    // alternate that has them; null otherwise.
    VKInterfaceDescriptor* findAlternateSetting(uint32_t frequency, uint32_t channels, uint32_t resolution,
                                                const VIDPID& device);

    // A 9-byte standard interface descriptor rebuilt from the stored fields (scratch area of
    // this object).
    const uint8_t* getUSBInterfaceDescriptor();

    // Device description entries.
    void getAPIInterfaceInfo(APIInterfaceInfo& info, const VIDPID& device) const;
    // The entry of this alternate with its format part from index `firstAS` on; the index of the
    // format part used, or -1 when there is none.
    int32_t getAPIInterfaceAlternateInfo(APIInterfaceAlternateInfo& info, const VIDPID& device,
                                         int32_t firstAS) const;

    // Generators for devices without usable class descriptors.
    void makeAudioStreaming();
    // Format part i; for i = 0 created when there is none; null otherwise when missing.
    VKInterfaceDescriptorSpecificAS* getOrCreateAS(int32_t index);
    // A new empty format part, appended; null when the array is full.
    VKInterfaceDescriptorSpecificAS* createAS();

    // Holds `usbInterface` (retained; the old one closed) and, with doOpen and a service, opens it
    // for that service, selecting this object's alternate while opening.
    bool setInterface(IOService* forService, IOUSBInterface* usbInterface, bool doOpen);
    // Closes the pipes and, when this object opened it, the interface (back to alternate 0 first
    // with resetAlternate); releases what it held.
    void close(bool resetAlternate);
    void closePipes();
    IOUSBInterface* getInterface() const { return m_pUSBInterface; }

    uint8_t getInterfaceNumber() const { return m_uInterfaceNumber; }
    uint8_t getAlternateSettingNumber() const { return m_uAlternateSetting; }
    uint8_t getNumEndpoints() const { return m_uNumEndpoints; }
    uint8_t getInterfaceClass() const { return m_uInterfaceClass; }
    uint8_t getInterfaceSubClass() const { return m_uInterfaceSubClass; }
    uint8_t getInterfaceProtocol() const { return m_uInterfaceProtocol; }
    uint8_t getInterfaceStringIndex() const { return m_uInterface; }
    const VIDPID& getVIDPID() const { return m_VIDPID; }
    VKConfigurationDescriptor* getConfiguration() const { return m_pConfiguration; }
    VKInterfaceDescriptor* getParent() const { return m_pParent; }
    bool isOpenedByOwner() const { return m_bOpenedByOwner; }

private:
    bool scanElements(USBByteBuffer& buffer, const VIDPID& device);
    void applyDeviceFixups(const VIDPID& device);
    void removeSmallerDuplicate(VKInterfaceDescriptor* added);
    int32_t countDescribedPipes() const;

    VKSimpleArray m_cAC;
    VKSimpleArray m_cAS;
    VKSimpleArray m_cAlternates;
    VKSimpleArray m_cPipes;
    VKSimpleArray m_cHID;
    bool m_bOpenedByOwner = false;
    IOService* m_pOwnerService = nullptr; // retained
    VKConfigurationDescriptor* m_pConfiguration;
    VKInterfaceDescriptor* m_pParent;
    IOUSBInterface* m_pUSBInterface = nullptr; // retained
    uint8_t m_uInterfaceNumber = 0;
    uint8_t m_uAlternateSetting = 0;
    uint8_t m_uNumEndpoints = 0;
    uint8_t m_uInterfaceClass = 0;
    uint8_t m_uInterfaceSubClass = 0;
    uint8_t m_uInterfaceProtocol = 0;
    uint8_t m_uInterface = 0;
    VIDPID m_VIDPID{0, 0, 0, nullptr};
    uint8_t m_uScratch[9] = {};
};

// One configuration of a device.
class VKConfigurationDescriptor : public VKSimpleObject
{
public:
    VKConfigurationDescriptor() = default;
    ~VKConfigurationDescriptor() override = default;

    // Reads the configuration descriptor at the read position and every interface after it,
    // up to the end of the buffer (which holds only the bytes received). False only for a
    // wrong configuration header.
    bool scan(USBByteBuffer& buffer, const VIDPID& device);
    // Zeroes bmAttributes and bMaxPower.
    void clear();

    VKInterfaceDescriptor* getInterface(uint8_t interfaceNumber) const;
    VKInterfaceDescriptor* getInterfaceByIndex(int32_t index) const;
    int32_t getCountInterfaces() const { return m_cInterfaces.getCount(); }
    VKInterfaceDescriptor* findAudioControlInterface() const;
    VKInterfaceDescriptor* findAudioStreamingInInterface() const;
    VKInterfaceDescriptor* findAudioStreamingOutInterface() const;
    VKInterfaceDescriptor* findHIDInterface() const;
    VKInterfaceDescriptor* findVendorInterface() const;
    VKInterfaceDescriptor* findMidiInterface() const;

    // The configuration entry of the device description.
    void getAPIConfigInfo(APIConfigInfo& info, const VIDPID& device) const;

    uint8_t getNumInterfaces() const { return m_uNumInterfaces; }
    uint8_t getConfigurationValue() const { return m_uConfigurationValue; }
    uint8_t getConfigurationStringIndex() const { return m_uConfiguration; }
    uint8_t getAttributes() const { return m_uAttributes; }
    uint8_t getMaxPower() const { return m_uMaxPower; }

private:
    VKSimpleArray m_cInterfaces;
    uint8_t m_uNumInterfaces = 0;
    uint8_t m_uConfigurationValue = 0;
    uint8_t m_uConfiguration = 0;
    uint8_t m_uAttributes = 0;
    uint8_t m_uMaxPower = 0;
};
