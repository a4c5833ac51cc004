#include "usbsim/Bus.h"

#include <algorithm>
#include <cstring>

#include "CompletionDispatcher.h"
#include "platform/HostClock.h"

namespace usbsim {

namespace host_clock = platform::host_clock;

namespace {

// Periodic bandwidth the controller hands out: 90% of a full-speed frame, 80% of a high-speed
// microframe, as USB reserves the rest for control and bulk traffic.
constexpr uint32_t kPeriodicBudgetFullSpeed = 1350;
constexpr uint32_t kPeriodicBudgetHighSpeed = 6000;
// Bulk packets the bus moves per pipe in one frame (full speed) or microframe (high speed).
constexpr uint32_t kBulkPacketsFullSpeed = 19;
constexpr uint32_t kBulkPacketsHighSpeed = 13;
constexpr uint32_t kDefaultControlTimeoutMs = 5000;
// The frame-list marker for records the bus has not reached yet.
constexpr Status kRecordPending = 0x6C6C6974;

size_t speedSlot(Speed speed)
{
    return speed == Speed::high || speed == Speed::super ? 1 : 0;
}

bool isHighSpeed(Speed speed)
{
    return speedSlot(speed) == 1;
}

uint32_t isocBandwidth(const EndpointLayout& ep)
{
    return static_cast<uint32_t>(ep.packetSize()) * ep.transactionsPerMicroframe();
}

} // namespace

// A queued transfer.
struct PendingTransfer
{
    bool in = false;
    bool isoc = false;
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    uint32_t done = 0;
    uint32_t noDataTimeoutMs = 0;
    uint32_t completionTimeoutMs = 0;
    uint64_t activeSince = 0; // host time it became the head of its pipe (0: not yet)
    uint64_t lastData = 0;
    Completion completion;
    // Isochronous.
    uint64_t firstMicroframe = 0;
    uint32_t period = 1;
    uint32_t numFrames = 0;
    IsocFrame* frames = nullptr;
    uint32_t nextRecord = 0;
    uint32_t offset = 0;
    uint64_t completeAt = 0; // microframe at which the finished transfer is given back
    IsocCompletion isocCompletion;
};

struct PipeState
{
    bool open = true;
    bool halted = false;
    uint16_t packetSize = 0;
    uint32_t bandwidth = 0; // periodic bytes allocated
    uint32_t updateFrequency = 0;
    std::deque<PendingTransfer> queue;
    std::vector<PendingTransfer> held; // finished, completion withheld by a fault
    std::vector<uint8_t> scratch;      // one IN packet as the device sends it
    std::shared_ptr<CompletionDispatcher::Lane> lane;
};

// --- Pipe -----------------------------------------------------------------------------------

Pipe::Pipe(Bus& bus, std::shared_ptr<Device> device, const EndpointLayout& endpoint, uint8_t interfaceNumber)
    : m_bus(bus), m_device(device), m_endpoint(endpoint), m_interfaceNumber(interfaceNumber),
      m_state(std::make_unique<PipeState>())
{
    m_state->packetSize = endpoint.packetSize();
    m_state->scratch.resize(std::max<size_t>(1, isocBandwidth(endpoint)));
    m_state->lane = bus.m_dispatcher->makeLane();
}

Pipe::~Pipe() = default;

uint16_t Pipe::maxPacketSize() const
{
    std::lock_guard lock(m_bus.m_mutex);
    return m_state->packetSize;
}

bool Pipe::isOpen() const
{
    std::lock_guard lock(m_bus.m_mutex);
    return m_state->open;
}

bool Pipe::isHalted() const
{
    std::lock_guard lock(m_bus.m_mutex);
    return m_state->halted;
}

uint32_t Pipe::lastUpdateFrequency() const
{
    std::lock_guard lock(m_bus.m_mutex);
    return m_state->updateFrequency;
}

Status Pipe::read(void* buffer, uint32_t length, uint32_t noDataTimeoutMs, uint32_t completionTimeoutMs,
                  const Completion& completion)
{
    return submit(true, buffer, length, noDataTimeoutMs, completionTimeoutMs, completion);
}

Status Pipe::write(const void* buffer, uint32_t length, uint32_t noDataTimeoutMs,
                   uint32_t completionTimeoutMs, const Completion& completion)
{
    // The bus only reads an OUT buffer.
    return submit(false, const_cast<void*>(buffer), length, noDataTimeoutMs, completionTimeoutMs, completion);
}

Status Pipe::submit(bool in, void* buffer, uint32_t length, uint32_t noDataTimeoutMs,
                    uint32_t completionTimeoutMs, const Completion& completion)
{
    if (type() != TransferType::bulk && type() != TransferType::interrupt) {
        return kBadArgument;
    }
    if (in != (direction() == Direction::in) || (buffer == nullptr && length > 0)) {
        return kBadArgument;
    }
    std::lock_guard lock(m_bus.m_mutex);
    auto device = m_device.lock();
    if (!device || !device->m_attached) {
        return kNoDevice;
    }
    if (!m_state->open) {
        return kNotOpen;
    }
    PendingTransfer transfer;
    transfer.in = in;
    transfer.buffer = static_cast<uint8_t*>(buffer);
    transfer.length = length;
    transfer.noDataTimeoutMs = noDataTimeoutMs;
    transfer.completionTimeoutMs = completionTimeoutMs;
    transfer.completion = completion;
    if (m_state->halted) {
        m_bus.postLocked(*device, *this, transfer, kPipeStalled, false);
        return kSuccess;
    }
    m_state->queue.push_back(transfer);
    return kSuccess;
}

Status Pipe::readIsoc(void* buffer, uint64_t startFrame, uint32_t numFrames, IsocFrame* frames,
                      const IsocCompletion& completion, uint32_t updateFrequency)
{
    return submitIsoc(true, buffer, startFrame, numFrames, frames, completion, updateFrequency);
}

Status Pipe::writeIsoc(const void* buffer, uint64_t startFrame, uint32_t numFrames, IsocFrame* frames,
                       const IsocCompletion& completion, uint32_t updateFrequency)
{
    return submitIsoc(false, const_cast<void*>(buffer), startFrame, numFrames, frames, completion,
                      updateFrequency);
}

Status Pipe::submitIsoc(bool in, void* buffer, uint64_t startFrame, uint32_t numFrames, IsocFrame* frames,
                        const IsocCompletion& completion, uint32_t updateFrequency)
{
    if (type() != TransferType::isochronous || in != (direction() == Direction::in) || numFrames == 0 ||
        frames == nullptr) {
        return kBadArgument;
    }
    std::lock_guard lock(m_bus.m_mutex);
    auto device = m_device.lock();
    if (!device || !device->m_attached) {
        return kNoDevice;
    }
    if (!m_state->open) {
        return kNotOpen;
    }
    const uint32_t limit =
        static_cast<uint32_t>(m_state->packetSize) * m_endpoint.transactionsPerMicroframe();
    uint64_t total = 0;
    for (uint32_t k = 0; k < numFrames; ++k) {
        if (frames[k].frReqCount > limit) {
            return kBadArgument;
        }
        total += frames[k].frReqCount;
    }
    if (buffer == nullptr && total > 0) {
        return kBadArgument;
    }
    const uint64_t currentFrame = m_bus.microframeAt(host_clock::now()) / kMicroframesPerFrame;
    const uint64_t frameBase = m_bus.m_frameBase.load(std::memory_order_acquire);
    if (startFrame < frameBase || startFrame - frameBase <= currentFrame) {
        return kIsoTooOld;
    }
    const uint64_t frameIndex = startFrame - frameBase;
    if (frameIndex > currentFrame + m_bus.m_options.maxFramesAhead) {
        return kIsoTooNew;
    }
    PendingTransfer transfer;
    transfer.in = in;
    transfer.isoc = true;
    transfer.buffer = static_cast<uint8_t*>(buffer);
    transfer.length = static_cast<uint32_t>(total);
    transfer.firstMicroframe = frameIndex * kMicroframesPerFrame;
    transfer.period = m_endpoint.servicePeriod(device->m_speed);
    transfer.numFrames = numFrames;
    transfer.frames = frames;
    transfer.isocCompletion = completion;
    const uint64_t last = transfer.firstMicroframe + uint64_t{transfer.period} * (numFrames - 1);
    transfer.completeAt = (last / kMicroframesPerFrame + 1) * kMicroframesPerFrame;
    for (uint32_t k = 0; k < numFrames; ++k) {
        frames[k].frStatus = kRecordPending;
        frames[k].frActCount = 0;
        frames[k].frTimeStamp = 0;
    }
    m_state->updateFrequency = updateFrequency;
    m_state->queue.push_back(transfer);
    return kSuccess;
}

Status Pipe::abort()
{
    std::lock_guard lock(m_bus.m_mutex);
    m_bus.failAllLocked(*this, kAborted);
    return kSuccess;
}

Status Pipe::clearStall(bool withDeviceRequest)
{
    std::shared_ptr<Device> device;
    {
        std::lock_guard lock(m_bus.m_mutex);
        device = m_device.lock();
        if (!device || !device->m_attached) {
            return kNoDevice;
        }
        m_bus.failAllLocked(*this, kAborted);
        m_state->halted = false;
    }
    if (!withDeviceRequest) {
        return kSuccess;
    }
    SetupPacket clear{0x02, kClearFeature, kFeatureEndpointHalt, address(), 0};
    return device->deviceRequest(clear, nullptr, nullptr);
}

Status Pipe::setPolicy(uint16_t maxPacketSize)
{
    std::lock_guard lock(m_bus.m_mutex);
    auto device = m_device.lock();
    if (!device || !device->m_attached) {
        return kNoDevice;
    }
    if (!m_state->open) {
        return kNotOpen;
    }
    if (type() != TransferType::isochronous) {
        return kSuccess;
    }
    if (maxPacketSize > m_endpoint.packetSize()) {
        return kBadArgument;
    }
    const uint32_t wanted = uint32_t{maxPacketSize} * m_endpoint.transactionsPerMicroframe();
    auto& used = m_bus.m_bandwidthUsed[speedSlot(device->m_speed)];
    const uint32_t budget =
        isHighSpeed(device->m_speed) ? kPeriodicBudgetHighSpeed : kPeriodicBudgetFullSpeed;
    if (used - m_state->bandwidth + wanted > budget) {
        return kNoBandwidth;
    }
    used = used - m_state->bandwidth + wanted;
    m_state->bandwidth = wanted;
    m_state->packetSize = maxPacketSize;
    return kSuccess;
}

// --- Device ---------------------------------------------------------------------------------

Device::Device(Bus& bus, std::shared_ptr<DeviceModel> model, uint8_t address, uint32_t locationID,
               uint32_t hubs)
    : m_bus(bus), m_model(std::move(model)), m_descriptor(m_model->deviceDescriptor()),
      m_speed(m_model->speed()), m_address(address), m_locationID(locationID), m_externalHubs(hubs)
{
}

Device::~Device() = default;

bool Device::isAttached() const
{
    std::lock_guard lock(m_bus.m_mutex);
    return m_attached;
}

Status Device::deviceRequest(const SetupPacket& setup, void* data, uint32_t* bytesDone,
                             uint32_t noDataTimeoutMs, uint32_t completionTimeoutMs)
{
    ControlHook hook;
    uint32_t number = 0;
    {
        std::lock_guard lock(m_bus.m_mutex);
        if (!m_attached) {
            if (bytesDone != nullptr) {
                *bytesDone = 0;
            }
            return kNoDevice;
        }
        number = ++m_controlRequests;
        hook = m_controlHook;
    }
    if (hook && hook(number, setup) == RequestAction::unplug) {
        if (bytesDone != nullptr) {
            *bytesDone = 0;
        }
        const auto* out = static_cast<const uint8_t*>(data);
        std::vector<uint8_t> outData;
        if (!setup.isIn() && out != nullptr) {
            outData.assign(out, out + setup.wLength);
        }
        m_model->recordRequest(LoggedRequest{setup, std::move(outData), kNotResponding, 0});
        m_bus.unplug(shared_from_this());
        return kNotResponding;
    }
    std::unique_lock lock(m_bus.m_mutex);
    return m_bus.controlLocked(lock, *this, setup, data, bytesDone, noDataTimeoutMs, completionTimeoutMs);
}

void Device::setControlHook(ControlHook hook)
{
    std::lock_guard lock(m_bus.m_mutex);
    m_controlHook = std::move(hook);
}

void Device::unplugAtControlRequest(uint32_t number)
{
    setControlHook([number](uint32_t n, const SetupPacket&) {
        return n == number ? RequestAction::unplug : RequestAction::proceed;
    });
}

uint32_t Device::controlRequestCount() const
{
    std::lock_guard lock(m_bus.m_mutex);
    return m_controlRequests;
}

Status Device::readConfigurationDescriptor(uint8_t value, uint8_t* buffer, uint32_t* length)
{
    if (buffer == nullptr || length == nullptr) {
        return kBadArgument;
    }
    const uint32_t capacity = std::min<uint32_t>(*length, 0xFFFF);
    *length = 0;
    // Find the index whose configuration carries `value`, asking the device for each header.
    for (uint8_t index = 0; index < std::max<uint8_t>(m_descriptor.bNumConfigurations, 1); ++index) {
        uint8_t header[kConfigurationHeaderLength] = {};
        uint32_t done = 0;
        const uint16_t wValue = static_cast<uint16_t>(kDescriptorConfiguration << 8 | index);
        SetupPacket setup{0x80, kGetDescriptor, wValue, 0, sizeof header};
        Status status = deviceRequest(setup, header, &done);
        if (status != kSuccess) {
            return status;
        }
        if (done < kConfigurationHeaderLength || header[1] != kDescriptorConfiguration) {
            return kDeviceError;
        }
        if (header[5] != value) {
            continue;
        }
        const uint32_t total = static_cast<uint32_t>(header[2] | header[3] << 8);
        setup.wLength = static_cast<uint16_t>(std::min(total, capacity));
        status = deviceRequest(setup, buffer, &done);
        if (status == kSuccess) {
            *length = done;
        }
        return status;
    }
    return kBadArgument;
}

Status Device::setConfiguration(uint8_t value)
{
    return deviceRequest(SetupPacket{0x00, kSetConfiguration, value, 0, 0}, nullptr, nullptr);
}

uint8_t Device::configuration() const
{
    std::lock_guard lock(m_bus.m_mutex);
    return m_configuration;
}

std::optional<ConfigurationLayout> Device::activeConfiguration() const
{
    std::lock_guard lock(m_bus.m_mutex);
    return m_layout;
}

Status Device::setAlternate(uint8_t interfaceNumber, uint8_t alternate)
{
    return deviceRequest(SetupPacket{0x01, kSetInterface, alternate, interfaceNumber, 0}, nullptr, nullptr);
}

uint8_t Device::alternate(uint8_t interfaceNumber) const
{
    std::lock_guard lock(m_bus.m_mutex);
    for (const auto& [number, alt] : m_alternates) {
        if (number == interfaceNumber) {
            return alt;
        }
    }
    return 0;
}

std::shared_ptr<Pipe> Device::pipe(uint8_t endpointAddress) const
{
    std::lock_guard lock(m_bus.m_mutex);
    for (const auto& pipe : m_pipes) {
        if (pipe->address() == endpointAddress) {
            return pipe;
        }
    }
    return nullptr;
}

Status Device::reset()
{
    {
        std::lock_guard lock(m_bus.m_mutex);
        if (!m_attached) {
            return kNoDevice;
        }
        m_bus.configureLocked(*this, 0);
        m_pipeZeroHalted = false;
    }
    m_model->reset();
    return kSuccess;
}

Status Device::reEnumerate()
{
    std::lock_guard lock(m_bus.m_mutex);
    if (!m_attached) {
        return kNoDevice;
    }
    CompletionTask task;
    task.kind = CompletionTask::Kind::function;
    auto self = shared_from_this();
    Bus* bus = &m_bus;
    task.function = [bus, self] {
        const AttachOptions options{self->m_locationID, self->m_externalHubs};
        bus->detach(self);
        self->m_model->reset();
        bus->attach(self->m_model, options);
    };
    m_bus.m_dispatcher->post(m_bus.m_dispatcher->makeLane(), std::move(task));
    return kSuccess;
}

bool Device::pipeZeroHalted() const
{
    std::lock_guard lock(m_bus.m_mutex);
    return m_pipeZeroHalted;
}

Status Device::clearPipeZeroStall(bool withDeviceRequest)
{
    {
        std::lock_guard lock(m_bus.m_mutex);
        if (!m_attached) {
            return kNoDevice;
        }
        m_pipeZeroHalted = false;
    }
    if (!withDeviceRequest) {
        return kSuccess;
    }
    return deviceRequest(SetupPacket{0x02, kClearFeature, kFeatureEndpointHalt, 0, 0}, nullptr, nullptr);
}

// --- Bus ------------------------------------------------------------------------------------

Bus::Bus() : Bus(Options{}) {}

Bus::Bus(const Options& options)
    : m_options(options), m_start(host_clock::now()), m_dispatcher(std::make_unique<CompletionDispatcher>())
{
    m_frameBase.store(options.firstFrame);
    m_nextMicroframe = microframeAt(m_start) + 1;
    m_thread = std::thread([this] { run(); });
    host_clock::virtual_clock::addHook(this);
}

Bus::~Bus()
{
    host_clock::virtual_clock::removeHook(this);
    for (const auto& device : devices()) {
        detach(device);
    }
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notifyAll();
    m_thread.join();
    m_dispatcher->stop();
}

uint64_t Bus::microframeAt(uint64_t hostTime) const
{
    return hostTime <= m_start ? 0 : (hostTime - m_start) / kMicroframeNanoseconds;
}

uint64_t Bus::microframeStart(uint64_t microframe) const
{
    return m_start + microframe * kMicroframeNanoseconds;
}

uint64_t Bus::frameNumber()
{
    uint32_t unreadable = m_unreadableReads.load(std::memory_order_acquire);
    while (unreadable > 0) {
        if (unreadable == kAlways ||
            m_unreadableReads.compare_exchange_weak(unreadable, unreadable - 1, std::memory_order_acq_rel)) {
            return ~uint64_t{0};
        }
    }
    return m_frameBase.load(std::memory_order_acquire) +
           microframeAt(host_clock::now()) / kMicroframesPerFrame;
}

bool Bus::setFrameNumber(uint64_t frame)
{
    std::lock_guard lock(m_mutex);
    const uint64_t elapsed = microframeAt(host_clock::now()) / kMicroframesPerFrame;
    if (frame < m_frameBase.load() + elapsed) {
        return false;
    }
    m_frameBase.store(frame - elapsed, std::memory_order_release);
    return true;
}

void Bus::injectUnreadableFrameNumber(uint32_t reads)
{
    std::lock_guard lock(m_mutex);
    m_unreadableReads.store(reads, std::memory_order_release);
}

uint32_t Bus::bandwidthAvailable(Speed speed) const
{
    std::lock_guard lock(m_mutex);
    const uint32_t budget = isHighSpeed(speed) ? kPeriodicBudgetHighSpeed : kPeriodicBudgetFullSpeed;
    return budget - std::min(budget, m_bandwidthUsed[speedSlot(speed)]);
}

std::shared_ptr<Device> Bus::attach(std::shared_ptr<DeviceModel> model, const AttachOptions& options)
{
    std::shared_ptr<Device> device;
    {
        std::lock_guard lock(m_mutex);
        const uint8_t address = m_nextAddress;
        m_nextAddress = static_cast<uint8_t>(m_nextAddress % 127 + 1);
        uint32_t location = options.locationID;
        if (location == 0) {
            location = 0x14000000u | (m_nextPort++ & 0xFFFu) << 12;
        }
        device = std::make_shared<Device>(*this, std::move(model), address, location, options.externalHubs);
        if (m_devices.empty()) {
            serviceUpToLocked(host_clock::now()); // an empty bus lets its frames pass unserviced
        }
        m_devices.push_back(device);
        m_wake.notifyAll();
    }
    notify(device, true);
    return device;
}

bool Bus::detachLocked(Device& device)
{
    if (!device.m_attached) {
        return false;
    }
    device.m_attached = false;
    closePipesLocked(device, std::nullopt, kNotResponding);
    device.m_configuration = 0;
    device.m_layout.reset();
    device.m_alternates.clear();
    std::erase_if(m_devices, [&device](const auto& d) { return d.get() == &device; });
    return true;
}

void Bus::detach(const std::shared_ptr<Device>& device)
{
    {
        std::lock_guard lock(m_mutex);
        if (!detachLocked(*device)) {
            return;
        }
    }
    notify(device, false);
}

void Bus::unplug(const std::shared_ptr<Device>& device)
{
    std::lock_guard lock(m_mutex);
    if (!detachLocked(*device)) {
        return;
    }
    CompletionTask task;
    task.kind = CompletionTask::Kind::function;
    task.function = [this, device] { notify(device, false); };
    m_dispatcher->post(m_dispatcher->makeLane(), std::move(task));
}

std::vector<std::shared_ptr<Device>> Bus::devices() const
{
    std::lock_guard lock(m_mutex);
    return m_devices;
}

void Bus::addObserver(BusObserver* observer)
{
    std::lock_guard lock(m_mutex);
    m_observers.push_back(observer);
}

void Bus::removeObserver(BusObserver* observer)
{
    std::lock_guard lock(m_mutex);
    std::erase(m_observers, observer);
}

void Bus::notify(const std::shared_ptr<Device>& device, bool attached)
{
    std::vector<BusObserver*> observers;
    {
        std::lock_guard lock(m_mutex);
        observers = m_observers;
    }
    for (auto* observer : observers) {
        if (attached) {
            observer->deviceAttached(device);
        } else {
            observer->deviceDetached(device);
        }
    }
}

uint64_t Bus::completionsDelivered() const
{
    return m_dispatcher->delivered();
}

Status Bus::controlLocked(std::unique_lock<std::mutex>& lock, Device& device, const SetupPacket& setup,
                          void* data, uint32_t* bytesDone, uint32_t noDataTimeoutMs,
                          uint32_t completionTimeoutMs)
{
    if (bytesDone != nullptr) {
        *bytesDone = 0;
    }
    if (!device.m_attached) {
        return kNoDevice;
    }
    LoggedRequest record;
    record.setup = setup;
    if (!setup.isIn() && data != nullptr) {
        const auto* out = static_cast<const uint8_t*>(data);
        record.outData.assign(out, out + setup.wLength);
    }
    uint32_t done = 0;
    const Status status =
        carryControlLocked(lock, device, setup, data, &done, noDataTimeoutMs, completionTimeoutMs);
    record.status = status;
    record.length = done;
    if (bytesDone != nullptr) {
        *bytesDone = done;
    }
    device.m_model->recordRequest(std::move(record));
    return status;
}

Status Bus::carryControlLocked(std::unique_lock<std::mutex>& lock, Device& device, const SetupPacket& setup,
                               void* data, uint32_t* bytesDone, uint32_t noDataTimeoutMs,
                               uint32_t completionTimeoutMs)
{
    if (setup.wLength > 0 && data == nullptr) {
        return kBadArgument;
    }
    const bool setInterface = setup.type() == kRequestTypeStandard && setup.bRequest == kSetInterface;
    const bool setConfiguration = setup.type() == kRequestTypeStandard && setup.bRequest == kSetConfiguration;
    if (setInterface && device.m_layout) {
        // The host checks the periodic bandwidth before it asks the device to switch.
        const auto* intf = device.m_layout->interface(static_cast<uint8_t>(setup.wIndex));
        const auto* alt = intf ? intf->alternate(static_cast<uint8_t>(setup.wValue)) : nullptr;
        if (alt != nullptr) {
            uint32_t wanted = 0;
            for (const auto& ep : alt->endpoints) {
                wanted += ep.type() == TransferType::isochronous ? isocBandwidth(ep) : 0;
            }
            uint32_t current = 0;
            for (const auto& pipe : device.m_pipes) {
                current += pipe->m_interfaceNumber == setup.wIndex ? pipe->m_state->bandwidth : 0;
            }
            const uint32_t budget =
                isHighSpeed(device.m_speed) ? kPeriodicBudgetHighSpeed : kPeriodicBudgetFullSpeed;
            if (m_bandwidthUsed[speedSlot(device.m_speed)] - current + wanted > budget) {
                return kNoBandwidth;
            }
        }
    }

    const auto* out = static_cast<const uint8_t*>(data);
    const std::span<const uint8_t> outData = setup.isIn() || out == nullptr
                                                 ? std::span<const uint8_t>{}
                                                 : std::span<const uint8_t>(out, setup.wLength);
    const ControlReply reply = device.m_model->control(setup, outData);

    uint32_t limit = noDataTimeoutMs != 0 ? noDataTimeoutMs : completionTimeoutMs;
    if (completionTimeoutMs != 0) {
        limit = std::min(limit, completionTimeoutMs);
    }
    if (limit == 0) {
        limit = kDefaultControlTimeoutMs;
    }
    const bool timesOut = reply.status == kTransactionTimeout || reply.delayMilliseconds >= limit;
    const uint32_t wait = timesOut ? limit : reply.delayMilliseconds;
    if (wait > 0) {
        lock.unlock();
        host_clock::sleepFor(uint64_t{wait} * 1'000'000);
        lock.lock();
        if (!device.m_attached) {
            return kNoDevice;
        }
    }
    if (timesOut) {
        return kTransactionTimeout;
    }
    if (reply.status != kSuccess) {
        if (reply.status == kPipeStalled) {
            device.m_pipeZeroHalted = true;
        }
        return reply.status;
    }
    if (setup.isIn()) {
        const size_t n = std::min<size_t>(reply.data.size(), setup.wLength);
        if (n > 0) {
            std::memcpy(data, reply.data.data(), n);
        }
        if (bytesDone != nullptr) {
            *bytesDone = static_cast<uint32_t>(n);
        }
    } else if (bytesDone != nullptr) {
        *bytesDone = setup.wLength;
    }
    if (setConfiguration) {
        configureLocked(device, static_cast<uint8_t>(setup.wValue));
    } else if (setInterface && device.m_layout) {
        return openAlternateLocked(device, static_cast<uint8_t>(setup.wIndex),
                                   static_cast<uint8_t>(setup.wValue));
    }
    return kSuccess;
}

void Bus::configureLocked(Device& device, uint8_t value)
{
    closePipesLocked(device, std::nullopt, kAborted);
    device.m_alternates.clear();
    device.m_configuration = value;
    device.m_layout = value == 0 ? std::nullopt : device.m_model->configurationLayout(value);
    if (!device.m_layout) {
        device.m_configuration = 0;
        return;
    }
    for (const auto& intf : device.m_layout->interfaces) {
        openAlternateLocked(device, intf.number, 0);
    }
}

Status Bus::openAlternateLocked(Device& device, uint8_t interfaceNumber, uint8_t alternate)
{
    const auto* intf = device.m_layout ? device.m_layout->interface(interfaceNumber) : nullptr;
    const auto* alt = intf ? intf->alternate(alternate) : nullptr;
    if (alt == nullptr) {
        return kBadArgument;
    }
    closePipesLocked(device, interfaceNumber, kAborted);
    std::erase_if(device.m_alternates, [&](const auto& entry) { return entry.first == interfaceNumber; });
    device.m_alternates.emplace_back(interfaceNumber, alternate);
    auto& used = m_bandwidthUsed[speedSlot(device.m_speed)];
    for (const auto& ep : alt->endpoints) {
        if (ep.type() == TransferType::control) {
            continue;
        }
        auto pipe = std::make_shared<Pipe>(*this, device.shared_from_this(), ep, interfaceNumber);
        if (ep.type() == TransferType::isochronous) {
            pipe->m_state->bandwidth = isocBandwidth(ep);
            used += pipe->m_state->bandwidth;
        }
        device.m_pipes.push_back(std::move(pipe));
    }
    return kSuccess;
}

void Bus::releaseBandwidthLocked(Speed speed, Pipe& pipe)
{
    auto& used = m_bandwidthUsed[speedSlot(speed)];
    used -= std::min(used, pipe.m_state->bandwidth);
    pipe.m_state->bandwidth = 0;
}

void Bus::closePipesLocked(Device& device, std::optional<uint8_t> interfaceNumber, Status status)
{
    std::erase_if(device.m_pipes, [&](const std::shared_ptr<Pipe>& pipe) {
        if (interfaceNumber && pipe->m_interfaceNumber != *interfaceNumber) {
            return false;
        }
        failAllLocked(*pipe, status);
        pipe->m_state->open = false;
        releaseBandwidthLocked(device.m_speed, *pipe);
        return true;
    });
}

void Bus::failAllLocked(Pipe& pipe, Status status)
{
    auto device = pipe.m_device.lock();
    auto& state = *pipe.m_state;
    std::vector<PendingTransfer> transfers(state.held.begin(), state.held.end());
    transfers.insert(transfers.end(), state.queue.begin(), state.queue.end());
    state.held.clear();
    state.queue.clear();
    for (auto& transfer : transfers) {
        if (device) {
            postLocked(*device, pipe, transfer, status, false);
        }
    }
}

void Bus::postLocked(Device& device, Pipe& pipe, PendingTransfer transfer, Status status, bool applyFaults)
{
    CompletionTask task;
    if (applyFaults) {
        const auto fault = device.m_model->takeCompletionFault(pipe.address());
        if (fault.hold) {
            pipe.m_state->held.push_back(transfer);
            return;
        }
        if (fault.delayMilliseconds > 0) {
            task.notBefore = host_clock::now() + uint64_t{fault.delayMilliseconds} * 1'000'000;
        }
    }
    task.status = status;
    if (transfer.isoc) {
        task.kind = CompletionTask::Kind::isoc;
        task.frames = transfer.frames;
        task.isocCompletion = transfer.isocCompletion;
    } else {
        task.kind = CompletionTask::Kind::transfer;
        task.remaining = transfer.length - transfer.done;
        task.completion = transfer.completion;
    }
    m_dispatcher->post(pipe.m_state->lane, std::move(task), m_deferWakes);
}

void Bus::run()
{
    std::unique_lock lock(m_mutex);
    while (!m_stop) {
        if (host_clock::virtual_clock::enabled()) {
            // The advancing thread services the frames (advanced); wait for stop or the real clock.
            m_wake.wait(lock, [&] { return m_stop || !host_clock::virtual_clock::enabled(); });
            continue;
        }
        serviceUpToLocked(host_clock::now());
        uint64_t next = m_nextMicroframe;
        bool highSpeed = false;
        for (const auto& device : m_devices) {
            highSpeed = highSpeed || isHighSpeed(device->m_speed);
        }
        if (!highSpeed) {
            next = (next + kMicroframesPerFrame - 1) / kMicroframesPerFrame * kMicroframesPerFrame;
        }
        const size_t devices = m_devices.size();
        m_wake.waitUntil(lock, microframeStart(next), [&] {
            return m_stop || m_devices.size() != devices || host_clock::virtual_clock::enabled();
        });
    }
}

void Bus::advanced(uint64_t now)
{
    {
        std::lock_guard lock(m_mutex);
        if (!host_clock::virtual_clock::enabled()) {
            m_wake.notifyAll(); // back on the real clock: the bus thread takes over
            return;
        }
        // Completion threads are woken once the bus lock is free: a completion that resubmits
        // would otherwise wake only to wait for it.
        m_deferWakes = true;
        serviceUpToLocked(now);
        m_deferWakes = false;
    }
    m_dispatcher->wakeDeferred();
}

void Bus::serviceUpToLocked(uint64_t now)
{
    const uint64_t current = microframeAt(now);
    if (m_devices.empty()) {
        m_nextMicroframe = std::max(m_nextMicroframe, current + 1);
        return;
    }
    while (m_nextMicroframe <= current && !m_stop) {
        serviceMicroframeLocked(m_nextMicroframe);
        ++m_nextMicroframe;
    }
}

void Bus::serviceMicroframeLocked(uint64_t microframe)
{
    // Models never call back into the bus and completions run elsewhere, so the device and pipe
    // lists cannot change while the lock is held here.
    for (const auto& device : m_devices) {
        if (!device->m_attached || device->m_configuration == 0) {
            continue;
        }
        if (!isHighSpeed(device->m_speed) && microframe % kMicroframesPerFrame != 0) {
            continue;
        }
        for (const auto& pipe : device->m_pipes) {
            if (pipe->type() == TransferType::isochronous) {
                serviceIsocLocked(*device, *pipe, microframe);
            } else {
                servicePacketsLocked(*device, *pipe, microframe);
            }
        }
    }
}

void Bus::serviceIsocLocked(Device& device, Pipe& pipe, uint64_t microframe)
{
    auto& state = *pipe.m_state;
    const bool highSpeed = isHighSpeed(device.m_speed);
    const FrameTime time{frameOfMicroframe(microframe),
                         highSpeed ? static_cast<uint32_t>(microframe % kMicroframesPerFrame) : 0,
                         microframeStart(microframe)};
    // A record is stamped with the end of its service interval, at most a frame.
    const uint64_t unit =
        highSpeed ? kMicroframeNanoseconds * std::min<uint32_t>(pipe.m_endpoint.servicePeriod(device.m_speed),
                                                                kMicroframesPerFrame)
                  : kFrameNanoseconds;
    const uint64_t stamp = time.hostTime + unit;
    for (auto& transfer : state.queue) {
        if (transfer.nextRecord >= transfer.numFrames) {
            continue;
        }
        const uint64_t due = transfer.firstMicroframe + uint64_t{transfer.period} * transfer.nextRecord;
        if (due != microframe) {
            continue;
        }
        IsocFrame& record = transfer.frames[transfer.nextRecord];
        const uint32_t requested = record.frReqCount;
        uint8_t* packet = transfer.buffer == nullptr ? nullptr : transfer.buffer + transfer.offset;
        transfer.offset += requested;
        ++transfer.nextRecord;
        record.frTimeStamp = stamp;
        if (!transfer.in) {
            device.m_model->isocOut(pipe.m_endpoint, time,
                                    std::span<const uint8_t>(packet, packet ? requested : 0));
            record.frActCount = static_cast<uint16_t>(requested);
            record.frStatus = kSuccess;
            continue;
        }
        const PacketResult result = device.m_model->isocIn(pipe.m_endpoint, time, state.scratch);
        if (result.kind == PacketResult::Kind::data) {
            const uint32_t sent =
                std::min<uint32_t>(result.length, static_cast<uint32_t>(state.scratch.size()));
            const uint32_t kept = std::min(sent, requested);
            if (kept > 0) {
                std::memcpy(packet, state.scratch.data(), kept);
            }
            record.frActCount = static_cast<uint16_t>(kept);
            record.frStatus = sent > requested ? kOverrun : (sent < requested ? kUnderrun : kSuccess);
        } else {
            record.frActCount = 0;
            record.frStatus = result.kind == PacketResult::Kind::nak ? kUnderrun : kNotResponding;
        }
    }
    // Finished transfers are given back in order, after the frame of their last record.
    while (!state.queue.empty()) {
        auto& head = state.queue.front();
        if (head.nextRecord < head.numFrames || head.completeAt > microframe) {
            break;
        }
        Status status = kSuccess;
        for (uint32_t k = 0; k < head.numFrames; ++k) {
            const Status s = head.frames[k].frStatus;
            if (s == kUnderrun && status == kSuccess) {
                status = kUnderrun;
            } else if (s != kSuccess && s != kUnderrun) {
                status = s;
                break;
            }
        }
        PendingTransfer finished = head;
        state.queue.pop_front();
        postLocked(device, pipe, finished, status, true);
    }
}

void Bus::servicePacketsLocked(Device& device, Pipe& pipe, uint64_t microframe)
{
    auto& state = *pipe.m_state;
    const bool highSpeed = isHighSpeed(device.m_speed);
    const uint64_t now = microframeStart(microframe);
    const FrameTime time{frameOfMicroframe(microframe),
                         highSpeed ? static_cast<uint32_t>(microframe % kMicroframesPerFrame) : 0, now};
    uint32_t packets = 0;
    if (pipe.type() == TransferType::interrupt) {
        const bool due = microframe % pipe.m_endpoint.servicePeriod(device.m_speed) == 0;
        packets = !due ? 0 : highSpeed ? pipe.m_endpoint.transactionsPerMicroframe() : 1;
    } else {
        packets = highSpeed ? kBulkPacketsHighSpeed : kBulkPacketsFullSpeed;
    }
    const uint32_t packetSize = std::max<uint32_t>(state.packetSize, 1);

    while (!state.queue.empty() && !state.halted) {
        auto& transfer = state.queue.front();
        if (transfer.activeSince == 0) {
            transfer.activeSince = now;
            transfer.lastData = now;
        }
        const bool completionExpired =
            transfer.completionTimeoutMs != 0 &&
            now - transfer.activeSince >= uint64_t{transfer.completionTimeoutMs} * 1'000'000;
        const bool noDataExpired = transfer.noDataTimeoutMs != 0 &&
                                   now - transfer.lastData >= uint64_t{transfer.noDataTimeoutMs} * 1'000'000;
        if (completionExpired || noDataExpired) {
            finishTransferLocked(device, pipe, kTransactionTimeout);
            continue;
        }
        if (packets == 0) {
            return;
        }
        --packets;

        const uint32_t left = transfer.length - transfer.done;
        PacketResult result;
        if (transfer.in) {
            const auto scratch =
                std::span<uint8_t>(state.scratch.data(), std::min<size_t>(packetSize, state.scratch.size()));
            result = device.m_model->packetIn(pipe.m_endpoint, time, scratch);
            if (result.kind == PacketResult::Kind::data) {
                const uint32_t sent =
                    std::min<uint32_t>(result.length, static_cast<uint32_t>(scratch.size()));
                const uint32_t kept = std::min(sent, left);
                if (kept > 0) {
                    std::memcpy(transfer.buffer + transfer.done, scratch.data(), kept);
                }
                transfer.done += kept;
                transfer.lastData = now;
                if (sent > left) {
                    finishTransferLocked(device, pipe, kOverrun); // the device babbled
                } else if (sent < packetSize || transfer.done == transfer.length) {
                    finishTransferLocked(device, pipe, kSuccess); // a short packet ends a read
                }
                continue;
            }
        } else {
            const uint32_t chunk = std::min(left, packetSize);
            result = device.m_model->packetOut(
                pipe.m_endpoint, time, std::span<const uint8_t>(transfer.buffer + transfer.done, chunk));
            if (result.kind == PacketResult::Kind::data) {
                transfer.done += chunk;
                transfer.lastData = now;
                if (chunk < packetSize || transfer.done == transfer.length) {
                    finishTransferLocked(device, pipe, kSuccess);
                }
                continue;
            }
        }
        switch (result.kind) {
        case PacketResult::Kind::nak:
            return; // nothing more from this endpoint in this (micro)frame
        case PacketResult::Kind::stall:
            state.halted = true;
            finishTransferLocked(device, pipe, kPipeStalled);
            failAllLocked(pipe, kPipeStalled);
            return;
        default:
            finishTransferLocked(device, pipe, kNotResponding);
            return;
        }
    }
}

void Bus::finishTransferLocked(Device& device, Pipe& pipe, Status status)
{
    PendingTransfer finished = pipe.m_state->queue.front();
    pipe.m_state->queue.pop_front();
    postLocked(device, pipe, finished, status, true);
}

void Bus::settle()
{
    if (host_clock::virtual_clock::enabled()) {
        host_clock::virtual_clock::settle();
    }
}

void Bus::runFor(uint64_t nanoseconds, uint64_t step)
{
    if (!host_clock::virtual_clock::enabled()) {
        host_clock::sleepFor(nanoseconds);
        return;
    }
    host_clock::virtual_clock::runFor(nanoseconds, step);
}

} // namespace usbsim
