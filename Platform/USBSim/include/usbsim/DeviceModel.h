// A simulated USB device: its descriptors, its answers to control requests and its endpoints.
//
// A model is annotated descriptor bytes plus a table of replies; a subclass adds behaviour where
// a table is not enough (sample-rate state, streaming). The base class answers the standard
// requests from the descriptors, keeps the request log and applies the injected faults.
//
// Thread safety: every public function takes the model's own lock, so tests may script faults
// and read the log while the bus runs. The protected `...Locked` hooks are called with that lock
// held; they must not call back into the bus.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "usbsim/Descriptors.h"
#include "usbsim/Types.h"

namespace usbsim {

// When a packet goes over the bus.
struct FrameTime
{
    uint64_t frameNumber = 0; // the 1 ms frame number the controller reports
    uint32_t microframe = 0;  // 0..7 within the frame (always 0 on full-speed devices)
    uint64_t hostTime = 0;    // host time at the start of the (micro)frame
};

// What a device does with one bulk, interrupt or isochronous packet.
struct PacketResult
{
    enum class Kind : uint8_t
    {
        data,  // IN: `length` bytes sent; OUT: packet accepted
        nak,   // no data now (IN) or not ready (OUT); bulk/interrupt retry later
        stall, // endpoint halted until cleared
        error, // no handshake (device error)
    };
    Kind kind = Kind::nak;
    uint32_t length = 0;

    static PacketResult data(uint32_t length) { return {Kind::data, length}; }
    static PacketResult nak() { return {Kind::nak, 0}; }
    static PacketResult stall() { return {Kind::stall, 0}; }
    static PacketResult error() { return {Kind::error, 0}; }
};

// A device's answer to a control request.
struct ControlReply
{
    Status status = kSuccess;       // kPipeStalled, kDeviceError, kTransactionTimeout (never answers), ...
    std::vector<uint8_t> data;      // data stage of an IN request (the bus sends at most wLength)
    uint32_t delayMilliseconds = 0; // the answer comes this late (host clock)

    static ControlReply ok(std::vector<uint8_t> bytes = {}) { return {kSuccess, std::move(bytes), 0}; }
    static ControlReply stall() { return {kPipeStalled, {}, 0}; }
    static ControlReply deviceError() { return {kDeviceError, {}, 0}; }
    static ControlReply noAnswer() { return {kTransactionTimeout, {}, 0}; }
};

// Which requests a reply-table row or a scripted fault applies to; unset fields match anything.
struct RequestMatch
{
    std::optional<uint8_t> bmRequestType;
    uint8_t bRequest = 0;
    std::optional<uint16_t> wValue;
    std::optional<uint16_t> wIndex;

    bool matches(const SetupPacket& setup) const;
};

// One scripted attempt: either a replacement answer, or the model's own answer made short or late.
struct ScriptedStep
{
    std::optional<ControlReply> replace;
    std::optional<uint32_t> truncateTo; // IN data cut to this many bytes
    uint32_t delayMilliseconds = 0;

    static ScriptedStep answer(ControlReply reply) { return {std::move(reply), std::nullopt, 0}; }
    static ScriptedStep normal() { return {}; }
    static ScriptedStep shortened(uint32_t bytes) { return {std::nullopt, bytes, 0}; }
    static ScriptedStep late(uint32_t milliseconds) { return {std::nullopt, std::nullopt, milliseconds}; }
};

// Transport faults of one endpoint; each counter is used up one packet or transfer at a time.
// A hostile device, one way each: a packet of a wrong length (resize: also a feedback packet of
// other than 3 bytes, or an input packet with a wrong sample count), an empty packet (drop), a
// packet without handshake (error), a completion late (delay) or missing until an abort (hold).
// The frame counter's faults are the bus's (Bus::setFrameNumber, Bus::Options::firstFrame).
struct EndpointFaults
{
    uint32_t stallPackets = 0;   // bulk/interrupt: the next packets stall the endpoint
    uint32_t errorPackets = 0;   // the next packets get no handshake (bulk/interrupt: device error;
                                 // isochronous: the frame's status is kNotResponding)
    uint32_t dropPackets = 0;    // isochronous IN: the next packets never arrive (length 0)
    uint32_t shortenPackets = 0; // IN: the next packets lose `shortenBy` bytes at their end
    uint32_t shortenBy = 0;
    uint32_t resizePackets = 0;    // IN: the next packets are exactly `packetBytes` long (the device's
    uint32_t packetBytes = 0;      // bytes, cut, or followed by 0x5A filler; at most the packet size)
    uint32_t delayCompletions = 0; // the next transfers complete `delayMilliseconds` late
    uint32_t delayMilliseconds = 0;
    uint32_t holdCompletions = 0; // the next transfers never complete until aborted
};

// One row of a model's reply table: which class or vendor requests it answers, and how.
struct ReplyRow
{
    RequestMatch match;
    std::vector<uint8_t> data;      // IN: the data stage (the bus sends at most wLength); OUT: accepted
    Status status = kSuccess;       // kPipeStalled: the request stalls; any other failure as given
    uint32_t delayMilliseconds = 0; // the answer comes this late (host clock)
    uint32_t failures = 0;          // the first `failures` matching requests answer `failureStatus`
    Status failureStatus = kPipeStalled;
    // IN data of the successive answered requests, the last one repeating; empty: always `data`.
    std::vector<std::vector<uint8_t>> sequence;
};

// One control request as the bus carried it.
struct LoggedRequest
{
    SetupPacket setup;
    std::vector<uint8_t> outData;
    Status status = kSuccess; // what the host got: the device's answer, or the bus's (time-out, unplug)
    uint32_t length = 0;      // bytes moved in the data stage
};

class DeviceModel
{
public:
    DeviceModel() = default;
    virtual ~DeviceModel() = default;
    DeviceModel(const DeviceModel&) = delete;
    DeviceModel& operator=(const DeviceModel&) = delete;

    // --- Identity, fixed once constructed.
    Speed speed() const { return m_speed; }
    std::vector<uint8_t> deviceDescriptorBytes() const;
    DeviceDescriptor deviceDescriptor() const;
    // The configuration whose bConfigurationValue is `value`.
    std::optional<ConfigurationLayout> configurationLayout(uint8_t value) const;
    // Bus power the port offers, in 2 mA units; a test may change it before the device is attached.
    uint32_t busPowerAvailable() const { return m_busPower; }
    void setBusPowerAvailable(uint32_t units) { m_busPower = units; }

    // --- Called by the bus.
    ControlReply control(const SetupPacket& setup, std::span<const uint8_t> outData);
    PacketResult isocIn(const EndpointLayout& ep, const FrameTime& time, std::span<uint8_t> packet);
    void isocOut(const EndpointLayout& ep, const FrameTime& time, std::span<const uint8_t> packet);
    PacketResult packetIn(const EndpointLayout& ep, const FrameTime& time, std::span<uint8_t> packet);
    PacketResult packetOut(const EndpointLayout& ep, const FrameTime& time, std::span<const uint8_t> packet);
    void reset();
    // Takes one unit of each completion fault of `endpoint`: the delay to apply, and whether to hold.
    struct CompletionFault
    {
        uint32_t delayMilliseconds = 0;
        bool hold = false;
    };
    CompletionFault takeCompletionFault(uint8_t endpointAddress);

    // The bus's record of a request it carried (kept in the request log).
    void recordRequest(LoggedRequest request);

    // --- Fault injection and inspection (tests).
    // Requests matching `match` get these answers, one per attempt, before the model's own.
    void script(const RequestMatch& match, std::vector<ScriptedStep> steps);
    // Every request matching `match` gets this answer until the scripts are cleared.
    void scriptAlways(const RequestMatch& match, ScriptedStep step);
    // The next `count` requests matching `match` fail with `status` (kPipeStalled: a stall).
    void failNext(const RequestMatch& match, uint32_t count, Status status);
    void clearScripts();
    // GET_DESCRIPTOR of the configuration at `index` always fails with `status`.
    void makeConfigurationUnreadable(uint8_t index, Status status = kPipeStalled);
    void setEndpointFaults(uint8_t endpointAddress, const EndpointFaults& faults);
    // Every isochronous IN packet of the endpoint is first shown to `source` (a fuzz target's
    // bytes): it writes the packet and answers its length (at most the packet's size), or nullopt
    // for the device's own packet. Called with the model lock held, on the bus thread: it must not
    // call back into the bus or the model. An empty function removes it.
    using PacketSource = std::function<std::optional<uint32_t>(std::span<uint8_t> packet)>;
    void setPacketSource(uint8_t endpointAddress, PacketSource source);
    std::vector<LoggedRequest> requestLog() const;
    void clearRequestLog();
    // The model as data (what a descriptors file and its side file hold): configuration
    // descriptors by index, strings by index, the reply table, the configurations whose read fails.
    std::vector<std::vector<uint8_t>> configurationDescriptors() const { return m_configurations; }
    std::map<uint8_t, std::string> strings() const { return m_strings; }
    std::vector<ReplyRow> replyTable() const;
    std::map<uint8_t, Status> unreadableConfigurations() const;
    // Standard-request state.
    uint8_t configurationValue() const;
    uint8_t alternateSetting(uint8_t interfaceNumber) const;

protected:
    // Construction-time set-up.
    void setSpeed(Speed speed) { m_speed = speed; }
    void setDeviceDescriptor(std::vector<uint8_t> bytes) { m_device = std::move(bytes); }
    void addConfiguration(std::vector<uint8_t> bytes) { m_configurations.push_back(std::move(bytes)); }
    void setString(uint8_t index, const std::string& text) { m_strings[index] = text; }
    // A canned answer for class and vendor requests (IN data, or acceptance of an OUT request).
    void addReply(const RequestMatch& match, std::vector<uint8_t> bytes);
    void addReply(ReplyRow row);
    // A class or vendor request that comes sooner than this after the previous request ended
    // stalls (a device whose controller needs a pause between requests).
    void setRequestGap(uint32_t milliseconds) { m_requestGapMs = milliseconds; }

    // Hooks, called with the model lock held.
    // Class and vendor requests; the default answers from the reply table and stalls the rest.
    // `replyLocked` is that table look-up, for subclasses that answer some requests themselves.
    std::optional<ControlReply> replyLocked(const SetupPacket& setup);
    virtual ControlReply answerLocked(const SetupPacket& setup, std::span<const uint8_t> outData);
    virtual PacketResult isocInLocked(const EndpointLayout& ep, const FrameTime& time,
                                      std::span<uint8_t> packet);
    virtual void isocOutLocked(const EndpointLayout& ep, const FrameTime& time,
                               std::span<const uint8_t> packet);
    virtual PacketResult packetInLocked(const EndpointLayout& ep, const FrameTime& time,
                                        std::span<uint8_t> packet);
    virtual PacketResult packetOutLocked(const EndpointLayout& ep, const FrameTime& time,
                                         std::span<const uint8_t> packet);
    // After SET_CONFIGURATION, SET_INTERFACE and a bus reset were accepted.
    virtual void onConfigurationLocked(uint8_t value);
    virtual void onAlternateLocked(uint8_t interfaceNumber, uint8_t alternate);
    virtual void onResetLocked();

    bool endpointHaltedLocked(uint8_t endpointAddress) const;
    // The alternate setting the host last selected on an interface (0 until then).
    uint8_t alternateLocked(uint8_t interfaceNumber) const;

    // A copy of a field, taken under the model lock (for the test-side getters).
    template <class T> T lockedCopy(const T& field) const
    {
        std::lock_guard lock(m_mutex);
        return field;
    }

    mutable std::mutex m_mutex;

private:
    ControlReply answerStandardLocked(const SetupPacket& setup);
    ControlReply descriptorLocked(const SetupPacket& setup) const;
    EndpointFaults* faultsLocked(uint8_t endpointAddress);
    // A bulk or interrupt packet's fate decided before the device sees it: a halted endpoint or
    // an injected stall or error.
    std::optional<PacketResult> packetFaultLocked(uint8_t endpointAddress);
    // An IN packet made shorter or of another length by an injected fault.
    PacketResult alterLengthLocked(uint8_t endpointAddress, PacketResult result, std::span<uint8_t> packet);

    struct Script
    {
        RequestMatch match;
        std::deque<ScriptedStep> steps;
        bool always = false; // the one step answers every matching request
    };
    struct Reply
    {
        ReplyRow row;
        uint32_t uses = 0; // matching requests so far (guarded by m_mutex)
    };

    Speed m_speed = Speed::full;
    uint32_t m_busPower = 250;
    std::vector<uint8_t> m_device;
    std::vector<std::vector<uint8_t>> m_configurations;
    std::map<uint8_t, std::string> m_strings;
    uint32_t m_requestGapMs = 0;

    // Guarded by m_mutex (the reply uses count as the device's state).
    std::vector<Reply> m_replies;
    std::map<uint8_t, Status> m_unreadableConfigurations;
    uint64_t m_lastRequestEnd = 0; // host time the previous request was answered
    bool m_anyRequest = false;

    std::vector<Script> m_scripts;
    std::map<uint8_t, EndpointFaults> m_faults;
    std::map<uint8_t, PacketSource> m_sources;
    std::vector<LoggedRequest> m_log;
    uint8_t m_configuration = 0;
    std::map<uint8_t, uint8_t> m_alternates;
    std::map<uint8_t, bool> m_halted;
};

} // namespace usbsim
