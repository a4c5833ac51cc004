// The simulated USB host controller and bus.
//
// The bus runs on the host clock (platform/HostClock.h): on the real clock for the programs its own
// thread services each (micro)frame as it passes; on the virtual clock in tests the thread that
// advances the clock services the frames it passed, before the advance returns, and the completion
// threads are participants of simulated time, so `runFor` moves time only once every completion
// has run or blocks. Frames are 1 ms; high-speed devices are serviced every 125 µs microframe.
//
// Semantics the driver relies on:
// - Isochronous transfers are queued for a future frame; the bytes of an OUT record are read when
//   its (micro)frame goes out, so a caller may fill them after queueing. IN data and per-record
//   time stamps are written when the (micro)frame passes. A start frame that is not in the future
//   is refused with kIsoTooOld, one more than kMaxFramesAhead ahead with kIsoTooNew.
// - Bulk and interrupt transfers queue per pipe and complete in order; IN bytes land in the
//   caller's buffer packet by packet; a short packet ends a read; time-outs, stalls and aborts
//   complete with kTransactionTimeout, kPipeStalled and kAborted.
// - Completions run on the bus's completion threads, never inside the call that submitted or
//   aborted. Each pipe's completions run in order, one at a time; different pipes never wait for
//   each other, so a completion may sleep, resubmit, abort any pipe or reconfigure the device.
//
// Thread safety: everything may be called from any thread, including completions.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/HostClock.h"
#include "usbsim/Descriptors.h"
#include "usbsim/DeviceModel.h"
#include "usbsim/Types.h"

namespace usbsim {

class Bus;
class Device;
class CompletionDispatcher;

// The thread name of the bus's completion threads: a pool that grows to the completions' peak
// concurrency and lives as long as the bus, not a device's.
inline constexpr char kCompletionThreadName[] = "usb-completion";
struct PipeState;
struct PendingTransfer;

// One open endpoint of a configured device. Stays valid (and answers kNotOpen) after its interface
// changes alternate or the device goes away.
class Pipe
{
public:
    const EndpointLayout& endpoint() const { return m_endpoint; }
    uint8_t address() const { return m_endpoint.bEndpointAddress; }
    uint8_t number() const { return m_endpoint.number(); }
    Direction direction() const { return m_endpoint.direction(); }
    TransferType type() const { return m_endpoint.type(); }
    uint8_t interval() const { return m_endpoint.bInterval; }
    uint8_t interfaceNumber() const { return m_interfaceNumber; }
    // Bytes per transaction as currently allocated (SetPipePolicy may lower it).
    uint16_t maxPacketSize() const;
    bool isOpen() const;
    bool isHalted() const;

    // Bulk and interrupt. Time-outs in ms, 0 = none.
    Status read(void* buffer, uint32_t length, uint32_t noDataTimeoutMs, uint32_t completionTimeoutMs,
                const Completion& completion);
    Status write(const void* buffer, uint32_t length, uint32_t noDataTimeoutMs, uint32_t completionTimeoutMs,
                 const Completion& completion);

    // Isochronous. `frames` holds `numFrames` records whose frReqCount the caller set; record k's
    // bytes lie in `buffer` after those of records 0..k-1. On a high-speed endpoint serviced every
    // microframe (bInterval 1) a record is one microframe, else one frame (or one service interval).
    Status readIsoc(void* buffer, uint64_t startFrame, uint32_t numFrames, IsocFrame* frames,
                    const IsocCompletion& completion, uint32_t updateFrequency = 1);
    Status writeIsoc(const void* buffer, uint64_t startFrame, uint32_t numFrames, IsocFrame* frames,
                     const IsocCompletion& completion, uint32_t updateFrequency = 1);

    // Every outstanding transfer completes with kAborted.
    Status abort();
    // Clears the halt (aborting what is queued); with the device request the device's endpoint is
    // cleared too (CLEAR_FEATURE ENDPOINT_HALT).
    Status clearStall(bool withDeviceRequest);
    // Isochronous bandwidth: bytes per (micro)frame, at most the descriptor's packet size.
    Status setPolicy(uint16_t maxPacketSize);

    // The update frequency of the last isochronous submission (for tests).
    uint32_t lastUpdateFrequency() const;

    Pipe(Bus& bus, std::shared_ptr<Device> device, const EndpointLayout& endpoint, uint8_t interfaceNumber);
    ~Pipe();
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

private:
    friend class Bus;
    Status submitIsoc(bool in, void* buffer, uint64_t startFrame, uint32_t numFrames, IsocFrame* frames,
                      const IsocCompletion& completion, uint32_t updateFrequency);
    Status submit(bool in, void* buffer, uint32_t length, uint32_t noDataTimeoutMs,
                  uint32_t completionTimeoutMs, const Completion& completion);

    Bus& m_bus;
    std::weak_ptr<Device> m_device;
    const EndpointLayout m_endpoint;
    const uint8_t m_interfaceNumber;
    std::unique_ptr<PipeState> m_state; // guarded by the bus lock
};

// What a control-request hook wants done with the request it was shown.
enum class RequestAction : uint8_t
{
    proceed, // the request goes to the device
    unplug,  // the device leaves the bus instead; the request fails with kNotResponding
};

struct AttachOptions
{
    uint32_t locationID = 0;   // 0: assigned from the port
    uint32_t externalHubs = 0; // hubs between the root hub and the device
};

// An attached device as the host sees it.
class Device : public std::enable_shared_from_this<Device>
{
public:
    DeviceModel& model() { return *m_model; }
    const DeviceDescriptor& descriptor() const { return m_descriptor; }
    std::vector<uint8_t> deviceDescriptorBytes() const { return m_model->deviceDescriptorBytes(); }
    Speed speed() const { return m_speed; }
    uint8_t address() const { return m_address; }
    uint32_t locationID() const { return m_locationID; }
    uint32_t externalHubs() const { return m_externalHubs; }
    uint32_t busPowerAvailable() const { return m_model->busPowerAvailable(); }
    bool isAttached() const;
    Bus& bus() { return m_bus; }

    // A control request on the default pipe; blocks until the device answers or a time-out
    // (ms, 0 = the default 5000) passes. `bytesDone` receives the data-stage bytes moved.
    Status deviceRequest(const SetupPacket& setup, void* data, uint32_t* bytesDone,
                         uint32_t noDataTimeoutMs = 1000, uint32_t completionTimeoutMs = 5000);
    // Reads the configuration descriptor whose bConfigurationValue is `value` (two GET_DESCRIPTOR
    // requests: header, then the whole); `length` in: buffer size, out: bytes read.
    Status readConfigurationDescriptor(uint8_t value, uint8_t* buffer, uint32_t* length);
    Status setConfiguration(uint8_t value);
    // The configuration the host last set (0 = unconfigured).
    uint8_t configuration() const;
    std::optional<ConfigurationLayout> activeConfiguration() const;
    // Selects an alternate setting (SET_INTERFACE) and opens its pipes.
    Status setAlternate(uint8_t interfaceNumber, uint8_t alternate);
    uint8_t alternate(uint8_t interfaceNumber) const;
    // The open pipe of an endpoint of the current configuration, or null.
    std::shared_ptr<Pipe> pipe(uint8_t endpointAddress) const;
    // Port reset: drops the configuration and every pipe.
    Status reset();
    // The device leaves the bus and comes back as a new Device (asynchronously).
    Status reEnumerate();
    // Default pipe: halt state after a stalled request, cleared by clearPipeZeroStall.
    bool pipeZeroHalted() const;
    Status clearPipeZeroStall(bool withDeviceRequest);

    // --- Tests.
    // Shown every control request before it goes out, with its number (1 = the first request
    // since the device was attached); called on the requesting thread with no bus lock held.
    using ControlHook = std::function<RequestAction(uint32_t number, const SetupPacket& setup)>;
    void setControlHook(ControlHook hook);
    // The device leaves the bus at its `number`th control request (counted as the hook counts).
    void unplugAtControlRequest(uint32_t number);
    // Control requests so far.
    uint32_t controlRequestCount() const;

    Device(Bus& bus, std::shared_ptr<DeviceModel> model, uint8_t address, uint32_t locationID, uint32_t hubs);
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

private:
    friend class Bus;
    friend class Pipe;

    Bus& m_bus;
    const std::shared_ptr<DeviceModel> m_model;
    const DeviceDescriptor m_descriptor;
    const Speed m_speed;
    const uint8_t m_address;
    const uint32_t m_locationID;
    const uint32_t m_externalHubs;

    // Guarded by the bus lock.
    bool m_attached = true;
    bool m_pipeZeroHalted = false;
    uint32_t m_controlRequests = 0;
    ControlHook m_controlHook;
    uint8_t m_configuration = 0;
    std::optional<ConfigurationLayout> m_layout;
    std::vector<std::pair<uint8_t, uint8_t>> m_alternates; // interface number, alternate
    std::vector<std::shared_ptr<Pipe>> m_pipes;
};

// Told when devices come and go; called on the thread that attached or detached (for a
// re-enumeration, a completion thread), with no bus lock held.
class BusObserver
{
public:
    virtual ~BusObserver() = default;
    virtual void deviceAttached(const std::shared_ptr<Device>& device) = 0;
    virtual void deviceDetached(const std::shared_ptr<Device>& device) = 0;
};

class Bus : private platform::host_clock::virtual_clock::AdvanceHook
{
public:
    struct Options
    {
        uint64_t firstFrame = 0; // frame number at creation (start near 2^32 to test a wrap)
        uint32_t maxFramesAhead = 1000;
    };

    Bus();
    explicit Bus(const Options& options);
    ~Bus(); // detaches every device
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // --- Controller.
    // The current 1 ms frame number, or all ones while an unreadable value is injected. Takes no
    // lock and never waits: real-time code reads it.
    uint64_t frameNumber();
    // The next `reads` frame-number reads answer all ones (kAlways: every read from now on).
    static constexpr uint32_t kAlways = UINT32_MAX;
    void injectUnreadableFrameNumber(uint32_t reads);
    // Moves the frame counter forward so that the current frame is `frame` (0xFFFFFFFF: a number
    // whose low 32 bits are all ones). False, and nothing changes, when `frame` is behind.
    bool setFrameNumber(uint64_t frame);
    // Free periodic bandwidth in bytes per (micro)frame at this speed.
    uint32_t bandwidthAvailable(Speed speed) const;

    // --- Devices.
    std::shared_ptr<Device> attach(std::shared_ptr<DeviceModel> model, const AttachOptions& options = {});
    // The device leaves: every outstanding transfer completes with kNotResponding and later calls
    // answer kNoDevice.
    void detach(const std::shared_ptr<Device>& device);
    // The same, but the observers are told on a bus completion thread, so a caller inside a
    // driver's own request (a control hook) is not called back on its thread.
    void unplug(const std::shared_ptr<Device>& device);
    std::vector<std::shared_ptr<Device>> devices() const;
    void addObserver(BusObserver* observer);
    void removeObserver(BusObserver* observer);

    // --- Time (tests). Called by a thread that is not a participant of simulated time.
    // Virtual clock: waits until every completion the bus posted (and every other participant)
    // has run or blocks in a primitive of the clock; throws virtual_clock::SettleError when that
    // does not happen within the settle limit. Real clock: returns at once.
    void settle();
    // Virtual clock: advances time in steps of `step` ns, settling before and after each (throws
    // SettleError as settle). Real clock: sleeps for `nanoseconds`.
    void runFor(uint64_t nanoseconds, uint64_t step = kFrameNanoseconds);
    void runFrames(uint64_t frames) { runFor(frames * kFrameNanoseconds); }

    // Completions delivered so far (for tests and the benchmark).
    uint64_t completionsDelivered() const;

private:
    friend class Pipe;
    friend class Device;

    uint64_t microframeAt(uint64_t hostTime) const;
    uint64_t microframeStart(uint64_t microframe) const;
    uint64_t frameOfMicroframe(uint64_t microframe) const
    {
        return m_frameBase.load(std::memory_order_acquire) + microframe / 8;
    }
    void run();
    void advanced(uint64_t now) override;
    void serviceUpToLocked(uint64_t now);
    void serviceMicroframeLocked(uint64_t microframe);
    void serviceIsocLocked(Device& device, Pipe& pipe, uint64_t microframe);
    void servicePacketsLocked(Device& device, Pipe& pipe, uint64_t microframe);
    void finishTransferLocked(Device& device, Pipe& pipe, Status status);
    void postLocked(Device& device, Pipe& pipe, PendingTransfer transfer, Status status, bool applyFaults);
    void failAllLocked(Pipe& pipe, Status status);
    void closePipesLocked(Device& device, std::optional<uint8_t> interfaceNumber, Status status);
    Status openAlternateLocked(Device& device, uint8_t interfaceNumber, uint8_t alternate);
    void configureLocked(Device& device, uint8_t value);
    void releaseBandwidthLocked(Speed speed, Pipe& pipe);
    void notify(const std::shared_ptr<Device>& device, bool attached);
    bool detachLocked(Device& device);
    Status controlLocked(std::unique_lock<std::mutex>& lock, Device& device, const SetupPacket& setup,
                         void* data, uint32_t* bytesDone, uint32_t noDataTimeoutMs,
                         uint32_t completionTimeoutMs);
    Status carryControlLocked(std::unique_lock<std::mutex>& lock, Device& device, const SetupPacket& setup,
                              void* data, uint32_t* bytesDone, uint32_t noDataTimeoutMs,
                              uint32_t completionTimeoutMs);

    const Options m_options;
    const uint64_t m_start; // host time of microframe 0
    std::unique_ptr<CompletionDispatcher> m_dispatcher;

    mutable std::mutex m_mutex;
    platform::host_clock::Condition m_wake; // the bus thread: stop, devices or clock changed
    // Guarded by m_mutex.
    bool m_stop = false;
    uint64_t m_nextMicroframe = 0; // the first microframe not yet serviced
    bool m_deferWakes = false;     // the advancing thread wakes completion threads after servicing
    // Read without the lock (frameNumber); written under it.
    std::atomic<uint32_t> m_unreadableReads{0};
    std::atomic<uint64_t> m_frameBase{0}; // frame number of microframe 0
    uint32_t m_bandwidthUsed[2] = {0, 0}; // full speed (per frame), high speed (per microframe)
    uint8_t m_nextAddress = 1;
    uint32_t m_nextPort = 1;
    std::vector<std::shared_ptr<Device>> m_devices;
    std::vector<BusObserver*> m_observers;

    std::thread m_thread;
};

} // namespace usbsim
