// What the device object asks of its owner, and all it knows of it: the kernel device service
// makes the device object and passes itself. Every control request, the sample rate and bandwidth
// of a pipe, the bus frame, the registry properties, the configuration entry points and the state
// changes sent to user clients go through here.
//
// Thread safety: as the owner gives for each call. The blocking calls (requests, rate, bandwidth,
// properties, configuration) never run on the real-time thread.
#pragma once

#include <cstdint>

#include "IOKit/IOReturn.h"
#include "libkern/OSTypes.h"

class IOService;
class VKIsocRB;
class VKPipeDescriptor;

// Request fields of deviceRequest.
enum : UInt8
{
    kVKDirectionOut = 0x00,
    kVKDirectionIn = 0x80,
    kVKTypeStandard = 0x00,
    kVKTypeClass = 0x20,
    kVKTypeVendor = 0x40,
    kVKRecipientDevice = 0,
    kVKRecipientInterface = 1,
    kVKRecipientEndpoint = 2,
};

class VKDeviceOwner
{
public:
    // --- Control requests. `direction` kVKDirectionIn/Out, `type` standard/class/vendor,
    // `recipient` device/interface/endpoint. `length` in: the data size; out (IN requests): the
    // bytes received. Tried at most clamp(retries, 1, 5) + 1 times. Answers the status of the last try.
    virtual IOReturn deviceRequest(UInt8 direction, UInt8 type, UInt8 recipient, UInt8 bRequest,
                                   UInt16 wValue, UInt16 wIndex, void* data, UInt32& length, int retries) = 0;
    // Sample rate of an endpoint: the in pipe, else the out pipe.
    virtual bool setFrequency(VKPipeDescriptor* inPipe, VKPipeDescriptor* outPipe, UInt32 hz) = 0;

    // --- Bus.
    // The bus frame number (64-bit: it never wraps); kUnreadableFrame when it cannot be read.
    static constexpr UInt64 kUnreadableFrame = ~UInt64{0};
    virtual UInt64 getCurrentFrame() = 0;
    virtual bool setBandwidth(VKPipeDescriptor* pipe, UInt32 bytes) = 0;
    // One read of the feedback endpoint into `block`, whose completion hands the values to the
    // device's feedback handling. False when the bus refused it.
    virtual bool isocReadFeedback(VKIsocRB* block, VKPipeDescriptor* pipe) = 0;
    // The service the device's interfaces are opened for.
    virtual IOService* service() = 0;

    // --- Configuration.
    virtual IOReturn reqConfigureDevice(const char* reason) = 0;
    virtual void unconfigureDevice(bool resetRequested, const char* reason) = 0;
    virtual uint32_t configurationStatus() const = 0;
    virtual void setConfigurationStatus(uint32_t status) = 0;
    virtual bool isTerminateRequested() const = 0;
    // Asks the USB device to re-enumerate; false when the owner holds no USB device.
    virtual bool reEnumerateDevice() { return false; }

    // --- State changes and registry properties.
    // A state change to every user client (code, caller's client id, parameter 1, parameter 2).
    virtual void messageToClients(UInt32 code, UInt64 clientID, UInt32 parameter1, UInt32 parameter2) = 0;
    virtual void setChannelSettingsProperty() = 0;
    virtual void setAqExtDataProperty() = 0;
    virtual bool setProperty(const char* key, void* bytes, unsigned int length) = 0;

protected:
    ~VKDeviceOwner() = default;
};
