// The kernel extension's service: one VKKernelDevice is matched to every supported USB device by
// the personalities of VKSonvexa.kext. It owns the device's VKDevice, opens the IOUSBDevice
// exclusively, loads and scans its configuration descriptors, sets its first configuration,
// answers every control request of the driver, configures and unconfigures the device for a
// stream configuration, and follows system sleep and wake. Every other kernel object reaches USB
// through it.
//
// Locks: the device lock is held by init, start, terminate and newUserClient; the dispatch lock
// by user requests. terminate and systemSleep set their flag first (so that deviceRequest and
// reqConfigureDevice give up at once) and then take the dispatch lock around the unconfiguration,
// so a configuration never races with its undoing.
//
// Thread safety: deviceRequest, the frequency and bandwidth calls, getCurrentFrame and the
// property setters may be called from any thread except a real-time one (they block). The
// configuration operations run under the dispatch lock (DispatchLock below).
#pragma once

#include <atomic>
#include <cstdint>

#include "IOKit/IOService.h"
#include "IOKit/usb/IOUSBController.h"
#include "IOKit/usb/IOUSBDevice.h"
#include "PCMCoder.h"
#include "VKDeviceOwner.h"
#include "VKKernelSync.h"

class VKDevice;
class VKInterfaceDescriptor;
class VKPipeDescriptor;
class VKIsocRB;
class IOUSBPipe;
struct APIDeviceInfo;
struct DriverSM;

// Values of the configuration status.
constexpr uint32_t kVKConfigurationNotYet = 0xE0000001; // after init
// The message type of the state changes sent to user clients (kQzStateChangeMessage), and the
// record's size.
constexpr UInt32 kVKStateChangeMessage = 0xE0000130;
constexpr uint32_t kVKStateChangeSize = 36;

// The owner of the device object (VKDeviceOwner): the device reaches USB, the registry and the
// user clients through these calls only.
class VKKernelDevice : public IOService, public VKDeviceOwner
{
    OSDeclareDefaultStructors(VKKernelDevice);

public:
    // --- Life cycle (IOKit calls these).
    using IOService::init;
    bool init(OSDictionary* personality) override;
    IOService* probe(IOService* provider, SInt32* score) override;
    bool start(IOService* provider) override;
    void stop(IOService* provider) override;
    bool terminate(IOOptionBits options = 0) override;
    bool finalize(IOOptionBits options) override;
    bool attach(IOService* provider) override;
    void detach(IOService* provider) override;
    IOReturn message(UInt32 type, IOService* provider, void* argument = nullptr) override;
    IOReturn newUserClient(task_t owningTask, void* securityID, UInt32 type, OSDictionary* properties,
                           IOUserClient** handler) override;
    IOReturn newUserClient(task_t owningTask, void* securityID, UInt32 type, IOUserClient** handler) override;
    IOReturn powerStateWillChangeTo(IOPMPowerFlags flags, unsigned long stateNumber,
                                    IOService* whatDevice) override;
    IOReturn powerStateDidChangeTo(IOPMPowerFlags flags, unsigned long stateNumber,
                                   IOService* whatDevice) override;

    // --- Control requests. `direction` kVKDirectionIn/Out, `type` standard/class/vendor,
    // `recipient` device/interface/endpoint. `length` in: the data size; out (IN requests): the
    // bytes received. IN data is zeroed before each attempt. Tried at most clamp(retries, 1, 5) + 1
    // times; a device error (kIOReturnDeviceError) or a termination ends the tries at once; a
    // stalled default pipe is cleared before the next try. Answers the status of the last try.
    IOReturn deviceRequest(UInt8 direction, UInt8 type, UInt8 recipient, UInt8 bRequest, UInt16 wValue,
                           UInt16 wIndex, void* data, UInt32& length, int retries) override;

    // --- Sample rate of an endpoint: the in pipe, else the out pipe.
    bool setFrequency(VKPipeDescriptor* inPipe, VKPipeDescriptor* outPipe, UInt32 hz) override;
    // The rate in Hz, 0 on failure.
    UInt32 getFrequency(VKPipeDescriptor* inPipe, VKPipeDescriptor* outPipe);

    // --- Bus.
    // The bus frame number (64-bit: it never wraps); kUnreadableFrame (and the device marked as
    // failing) when it cannot be read.
    UInt64 getCurrentFrame() override;
    bool setBandwidth(VKPipeDescriptor* pipe, UInt32 bytes) override;
    // The controller's available bandwidth (0 without a controller or pipe).
    UInt32 getBandwidth(VKPipeDescriptor* pipe);
    UInt32 GetFreeBandWidth();
    UInt32 GetAllocatedBandWidth();
    // Streaming service: one read of the feedback endpoint into `block` (prepared here), with
    // isocReadFeedbackCompleteStatic as completion. False when the bus refused it.
    bool isocReadFeedback(VKIsocRB* block, VKPipeDescriptor* pipe) override;
    // USB completion thread: the values of a completed feedback read go to the device's feedback
    // handling, then the block is given back. real-time: no lock, no allocation, no wait.
    static void isocReadFeedbackCompleteStatic(void* target, void* parameter, IOReturn status,
                                               IOUSBLowLatencyIsocFrame* frames);

    // --- Configurations.
    bool usbLoadConfigurations();
    // The entry for requests: unconfigure, configure, report (0, kIOReturnError, kIOReturnNoMemory).
    IOReturn reqConfigureDevice(const char* reason) override;
    bool configureDevice();
    void unconfigureDevice(bool resetRequested, const char* reason) override;
    bool resetDevice(const char* reason);
    // Claims the IOUSBInterface of `descriptor` (cleared when that fails).
    bool matchInterface(VKInterfaceDescriptor*& descriptor, bool open);
    void registerMidiInterface();

    // --- Device description, messages and registry properties.
    APIDeviceInfo* getAPIDeviceInfoPtr();
    // A state change to every user client (code, caller's client id, parameter 1, parameter 2).
    void messageToClients(UInt32 code, UInt64 clientID, UInt32 parameter1, UInt32 parameter2) override;
    void setChannelSettingsProperty() override;
    void setAqExtDataProperty() override;
    bool reEnumerateDevice() override;
    // The registry's byte property, for the device object too; the other forms as IOService has them.
    using IOService::setProperty;
    bool setProperty(const char* key, void* bytes, unsigned int length) override
    {
        return IOService::setProperty(key, bytes, length);
    }

    // --- System power. A sleep request of a user client already holds the dispatch lock.
    void systemSleep(bool dispatchLockHeld = false);
    void systemWakeUp();

    static IOReturn CompositeDriverInterestHandler(void* target, void* refCon, UInt32 messageType,
                                                   IOService* provider, void* messageArgument,
                                                   vm_size_t argSize);

    // --- For the device object and the request layer.
    VKDevice* device() const { return m_pDevice; }
    IOUSBDevice* usbDevice() const { return m_pUSBDevice; }
    IOUSBController* usbController() const { return mpUSBController; }
    IOService* service() override { return this; }
    bool isTerminateRequested() const override
    {
        return m_bTerminateRequested.load(std::memory_order_acquire);
    }
    bool isSystemSuspended() const { return mpSystemSuspended.load(std::memory_order_acquire); }
    uint32_t configurationStatus() const override
    {
        return mConfigurationStatus.load(std::memory_order_acquire);
    }
    // A failed change that fell back to the previous configuration reports the status of before.
    void setConfigurationStatus(uint32_t status) override
    {
        mConfigurationStatus.store(status, std::memory_order_release);
    }
    UInt16 mixerRegister() const { return mMixerRegister; }
    void setMixerRegister(UInt16 value) { mMixerRegister = value; }
    Mutex& dispatchLock() { return mDispatchLock; }

    // VKDevice objects made by kernel devices and not yet deleted (for leak tests).
    static int liveDevices();

protected:
    void free() override;

private:
    bool startFailed(const char* reason);
    // What start took (power registration, the open USB device, the device object, the
    // controller), given back by a failed start, by stop, and by free when neither ran.
    void releaseStartResources();
    // The "QzSpecific" keys: at init those the device keeps, after the start's descriptor scan
    // those that scan resets (the per-model data).
    void applyPersonalityKeys(bool afterScan);
    void removeInterestNotifier();
    void closeUSBDevice();
    IOUSBPipe* usbPipeOf(VKPipeDescriptor* in, VKPipeDescriptor* out, VKPipeDescriptor** chosen);
    DriverSM* driverSM() const;
    // The steps of configureDevice: choose the configuration, open its interfaces and pipes, choose
    // the PCM coders for the settings.
    bool chooseConfiguration();
    bool openInterfacesAndPipes();
    PCMDecoder chooseConverters();

    // Members in the order of the service's record.
    VKDevice* m_pDevice = nullptr;
    IOUSBDevice* m_pUSBDevice = nullptr;        // retained from start to stop
    IOUSBController* mpUSBController = nullptr; // retained in start, released in terminate
    UInt16 mMixerRegister = 0xFFFF;
    bool mRegisteredWithRootDomain = false;
    std::atomic<bool> mpSystemSuspended{false};
    IONotifier* mInterestNotifier = nullptr;
    Mutex mDeviceLock;
    Mutex mDispatchLock;
    std::atomic<bool> m_bTerminateRequested{false};
    // Set once start succeeded: a service that never started is only let go of by matching.
    std::atomic<bool> mStarted{false};
    std::atomic<uint32_t> mConfigurationStatus{kVKConfigurationNotYet};
    // Interfaces and pipes of a configuration may be open: set before configureDevice opens the
    // first, cleared when unconfigureDevice has closed them. Kept here rather than read back from
    // the shared block's configured flag, which user space can rewrite, so what was opened is
    // always closed. Changed under the dispatch lock.
    bool mConfigurationOpen = false;
    OSDictionary* mQzSpecific = nullptr; // retained: the personality keys, applied after the scan
};

// Holds the service's dispatch lock for a scope (user requests, sleep, terminate).
class VKDispatchLock
{
public:
    explicit VKDispatchLock(VKKernelDevice& device) : m_device(device) { m_device.dispatchLock().lock("dispatch"); }
    ~VKDispatchLock() { m_device.dispatchLock().unlock(); }
    VKDispatchLock(const VKDispatchLock&) = delete;
    VKDispatchLock& operator=(const VKDispatchLock&) = delete;

private:
    VKKernelDevice& m_device;
};

// --- User clients: the dispatch lock of user requests.
// Holds the device's dispatch lock for a scope with the device retained; a null device takes
// nothing. Every request of the user clients runs inside one, so one request at a time reaches a
// device, whatever the client type.
class UserDispatchLock
{
public:
    UserDispatchLock(VKKernelDevice* device, const char* name);
    ~UserDispatchLock();
    UserDispatchLock(const UserDispatchLock&) = delete;
    UserDispatchLock& operator=(const UserDispatchLock&) = delete;

private:
    VKKernelDevice* m_device;
};
// --- End of user clients.
