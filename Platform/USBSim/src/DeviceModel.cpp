#include "usbsim/DeviceModel.h"

#include <algorithm>

#include "platform/HostClock.h"

namespace usbsim {

bool RequestMatch::matches(const SetupPacket& setup) const
{
    return (!bmRequestType || *bmRequestType == setup.bmRequestType) && bRequest == setup.bRequest &&
           (!wValue || *wValue == setup.wValue) && (!wIndex || *wIndex == setup.wIndex);
}

std::vector<uint8_t> DeviceModel::deviceDescriptorBytes() const
{
    return m_device;
}

DeviceDescriptor DeviceModel::deviceDescriptor() const
{
    return DeviceDescriptor::parse(m_device).value_or(DeviceDescriptor{});
}

std::optional<ConfigurationLayout> DeviceModel::configurationLayout(uint8_t value) const
{
    for (const auto& bytes : m_configurations) {
        auto layout = ConfigurationLayout::parse(bytes);
        if (layout && layout->bConfigurationValue == value) {
            return layout;
        }
    }
    return std::nullopt;
}

ControlReply DeviceModel::control(const SetupPacket& setup, std::span<const uint8_t> outData)
{
    std::lock_guard lock(m_mutex);
    std::optional<ScriptedStep> step;
    for (auto& script : m_scripts) {
        if (script.match.matches(setup) && !script.steps.empty()) {
            step = script.steps.front();
            if (!script.always) {
                script.steps.pop_front();
            }
            break;
        }
    }

    const uint64_t now = platform::host_clock::now();
    const bool tooSoon = m_requestGapMs > 0 && m_anyRequest && setup.type() != kRequestTypeStandard &&
                         now < m_lastRequestEnd + uint64_t{m_requestGapMs} * 1'000'000;
    ControlReply reply;
    if (step && step->replace) {
        reply = *step->replace;
    } else if (tooSoon) {
        reply = ControlReply::stall();
    } else if (setup.type() == kRequestTypeStandard) {
        reply = answerStandardLocked(setup);
    } else {
        reply = answerLocked(setup, outData);
    }
    if (step) {
        if (step->truncateTo && reply.data.size() > *step->truncateTo) {
            reply.data.resize(*step->truncateTo);
        }
        reply.delayMilliseconds += step->delayMilliseconds;
    }
    if (reply.status == kSuccess && setup.type() == kRequestTypeStandard && !(step && step->replace)) {
        // The device's state changes only when it really accepted the request.
        if (setup.bRequest == kSetConfiguration) {
            m_configuration = static_cast<uint8_t>(setup.wValue);
            m_alternates.clear();
            m_halted.clear();
            onConfigurationLocked(m_configuration);
        } else if (setup.bRequest == kSetInterface) {
            m_alternates[static_cast<uint8_t>(setup.wIndex)] = static_cast<uint8_t>(setup.wValue);
            onAlternateLocked(static_cast<uint8_t>(setup.wIndex), static_cast<uint8_t>(setup.wValue));
        }
    }
    m_anyRequest = true;
    m_lastRequestEnd = now + uint64_t{reply.delayMilliseconds} * 1'000'000;
    return reply;
}

void DeviceModel::recordRequest(LoggedRequest request)
{
    std::lock_guard lock(m_mutex);
    m_log.push_back(std::move(request));
}

ControlReply DeviceModel::answerStandardLocked(const SetupPacket& setup)
{
    switch (setup.bRequest) {
    case kGetDescriptor:
        return descriptorLocked(setup);
    case kGetStatus:
        return ControlReply::ok({0, 0});
    case kGetConfiguration:
        return ControlReply::ok({m_configuration});
    case kSetConfiguration:
        if (setup.wValue == 0 || configurationLayout(static_cast<uint8_t>(setup.wValue))) {
            return ControlReply::ok();
        }
        return ControlReply::stall();
    case kGetInterface: {
        const auto layout = configurationLayout(m_configuration);
        if (!layout || !layout->interface(static_cast<uint8_t>(setup.wIndex))) {
            return ControlReply::stall();
        }
        const auto it = m_alternates.find(static_cast<uint8_t>(setup.wIndex));
        return ControlReply::ok({it == m_alternates.end() ? uint8_t{0} : it->second});
    }
    case kSetInterface: {
        // Some drivers address SET_INTERFACE to the device; the interface number is in wIndex
        // either way.
        const auto layout = configurationLayout(m_configuration);
        const auto* intf = layout ? layout->interface(static_cast<uint8_t>(setup.wIndex)) : nullptr;
        if (intf == nullptr || intf->alternate(static_cast<uint8_t>(setup.wValue)) == nullptr) {
            return ControlReply::stall();
        }
        return ControlReply::ok();
    }
    case kClearFeature:
        if (setup.recipient() == 2 && setup.wValue == kFeatureEndpointHalt) {
            m_halted[static_cast<uint8_t>(setup.wIndex)] = false;
        }
        return ControlReply::ok();
    case kSetFeature:
        return ControlReply::ok();
    default:
        return ControlReply::stall();
    }
}

ControlReply DeviceModel::descriptorLocked(const SetupPacket& setup) const
{
    const uint8_t type = static_cast<uint8_t>(setup.wValue >> 8);
    const uint8_t index = static_cast<uint8_t>(setup.wValue & 0xFF);
    switch (type) {
    case kDescriptorDevice:
        return ControlReply::ok(m_device);
    case kDescriptorConfiguration:
        if (const auto it = m_unreadableConfigurations.find(index); it != m_unreadableConfigurations.end()) {
            return ControlReply{it->second, {}, 0};
        }
        if (index < m_configurations.size()) {
            return ControlReply::ok(m_configurations[index]);
        }
        return ControlReply::stall();
    case kDescriptorString: {
        if (index == 0) {
            return ControlReply::ok({4, kDescriptorString, 0x09, 0x04});
        }
        const auto it = m_strings.find(index);
        if (it == m_strings.end()) {
            return ControlReply::stall();
        }
        return ControlReply::ok(descriptor_bytes::stringDescriptor(it->second));
    }
    default:
        return ControlReply::stall();
    }
}

std::optional<ControlReply> DeviceModel::replyLocked(const SetupPacket& setup)
{
    for (auto& reply : m_replies) {
        const ReplyRow& row = reply.row;
        if (!row.match.matches(setup)) {
            continue;
        }
        const uint32_t use = reply.uses;
        reply.uses = use == UINT32_MAX ? use : use + 1;
        if (use < row.failures) {
            return ControlReply{row.failureStatus, {}, row.delayMilliseconds};
        }
        if (row.status != kSuccess) {
            return ControlReply{row.status, {}, row.delayMilliseconds};
        }
        std::vector<uint8_t> data;
        if (setup.isIn()) {
            if (row.sequence.empty()) {
                data = row.data;
            } else {
                data = row.sequence[std::min<size_t>(use - row.failures, row.sequence.size() - 1)];
            }
        }
        return ControlReply{kSuccess, std::move(data), row.delayMilliseconds};
    }
    return std::nullopt;
}

ControlReply DeviceModel::answerLocked(const SetupPacket& setup, std::span<const uint8_t>)
{
    return replyLocked(setup).value_or(ControlReply::stall());
}

void DeviceModel::addReply(const RequestMatch& match, std::vector<uint8_t> bytes)
{
    ReplyRow row;
    row.match = match;
    row.data = std::move(bytes);
    addReply(std::move(row));
}

void DeviceModel::addReply(ReplyRow row)
{
    m_replies.push_back(Reply{std::move(row), 0});
}

std::vector<ReplyRow> DeviceModel::replyTable() const
{
    std::lock_guard lock(m_mutex);
    std::vector<ReplyRow> rows;
    for (const auto& reply : m_replies) {
        rows.push_back(reply.row);
    }
    return rows;
}

std::map<uint8_t, Status> DeviceModel::unreadableConfigurations() const
{
    return lockedCopy(m_unreadableConfigurations);
}

EndpointFaults* DeviceModel::faultsLocked(uint8_t endpointAddress)
{
    const auto it = m_faults.find(endpointAddress);
    return it == m_faults.end() ? nullptr : &it->second;
}

bool DeviceModel::endpointHaltedLocked(uint8_t endpointAddress) const
{
    const auto it = m_halted.find(endpointAddress);
    return it != m_halted.end() && it->second;
}

namespace {

// Uses up one unit of a fault counter.
bool take(uint32_t& counter)
{
    if (counter == 0) {
        return false;
    }
    --counter;
    return true;
}

} // namespace

PacketResult DeviceModel::isocIn(const EndpointLayout& ep, const FrameTime& time, std::span<uint8_t> packet)
{
    std::lock_guard lock(m_mutex);
    auto* faults = faultsLocked(ep.bEndpointAddress);
    if (faults != nullptr && take(faults->errorPackets)) {
        return PacketResult::error();
    }
    if (faults != nullptr && take(faults->dropPackets)) {
        return PacketResult::nak();
    }
    if (const auto source = m_sources.find(ep.bEndpointAddress); source != m_sources.end()) {
        if (const auto length = source->second(packet)) {
            return PacketResult::data(static_cast<uint32_t>(std::min<size_t>(*length, packet.size())));
        }
    }
    return alterLengthLocked(ep.bEndpointAddress, isocInLocked(ep, time, packet), packet);
}

PacketResult DeviceModel::alterLengthLocked(uint8_t endpointAddress, PacketResult result,
                                            std::span<uint8_t> packet)
{
    auto* faults = faultsLocked(endpointAddress);
    if (faults == nullptr) {
        return result;
    }
    if (result.kind == PacketResult::Kind::data && take(faults->shortenPackets)) {
        result.length -= std::min(result.length, faults->shortenBy);
    }
    if ((result.kind == PacketResult::Kind::data || result.kind == PacketResult::Kind::nak) &&
        take(faults->resizePackets)) {
        const auto length = static_cast<uint32_t>(std::min<size_t>(faults->packetBytes, packet.size()));
        const uint32_t sent = result.kind == PacketResult::Kind::data ? std::min(result.length, length) : 0;
        std::fill(packet.begin() + sent, packet.begin() + length, uint8_t{0x5A});
        result = PacketResult::data(length);
    }
    return result;
}

void DeviceModel::isocOut(const EndpointLayout& ep, const FrameTime& time, std::span<const uint8_t> packet)
{
    std::lock_guard lock(m_mutex);
    isocOutLocked(ep, time, packet);
}

std::optional<PacketResult> DeviceModel::packetFaultLocked(uint8_t endpointAddress)
{
    auto* faults = faultsLocked(endpointAddress);
    if (endpointHaltedLocked(endpointAddress)) {
        return PacketResult::stall();
    }
    if (faults != nullptr && take(faults->stallPackets)) {
        m_halted[endpointAddress] = true;
        return PacketResult::stall();
    }
    if (faults != nullptr && take(faults->errorPackets)) {
        return PacketResult::error();
    }
    return std::nullopt;
}

PacketResult DeviceModel::packetIn(const EndpointLayout& ep, const FrameTime& time, std::span<uint8_t> packet)
{
    std::lock_guard lock(m_mutex);
    if (auto fault = packetFaultLocked(ep.bEndpointAddress)) {
        return *fault;
    }
    auto result = packetInLocked(ep, time, packet);
    if (result.kind == PacketResult::Kind::stall) {
        m_halted[ep.bEndpointAddress] = true;
    }
    return alterLengthLocked(ep.bEndpointAddress, result, packet);
}

PacketResult DeviceModel::packetOut(const EndpointLayout& ep, const FrameTime& time,
                                    std::span<const uint8_t> packet)
{
    std::lock_guard lock(m_mutex);
    if (auto fault = packetFaultLocked(ep.bEndpointAddress)) {
        return *fault;
    }
    auto result = packetOutLocked(ep, time, packet);
    if (result.kind == PacketResult::Kind::stall) {
        m_halted[ep.bEndpointAddress] = true;
    }
    return result;
}

void DeviceModel::reset()
{
    std::lock_guard lock(m_mutex);
    m_configuration = 0;
    m_alternates.clear();
    m_halted.clear();
    onResetLocked();
}

DeviceModel::CompletionFault DeviceModel::takeCompletionFault(uint8_t endpointAddress)
{
    std::lock_guard lock(m_mutex);
    CompletionFault fault;
    if (auto* faults = faultsLocked(endpointAddress)) {
        if (take(faults->holdCompletions)) {
            fault.hold = true;
        } else if (take(faults->delayCompletions)) {
            fault.delayMilliseconds = faults->delayMilliseconds;
        }
    }
    return fault;
}

void DeviceModel::script(const RequestMatch& match, std::vector<ScriptedStep> steps)
{
    std::lock_guard lock(m_mutex);
    m_scripts.push_back(Script{match, std::deque<ScriptedStep>(steps.begin(), steps.end())});
}

void DeviceModel::scriptAlways(const RequestMatch& match, ScriptedStep step)
{
    std::lock_guard lock(m_mutex);
    m_scripts.push_back(Script{match, std::deque<ScriptedStep>{std::move(step)}, true});
}

void DeviceModel::failNext(const RequestMatch& match, uint32_t count, Status status)
{
    script(match, std::vector<ScriptedStep>(count, ScriptedStep::answer(ControlReply{status, {}, 0})));
}

void DeviceModel::makeConfigurationUnreadable(uint8_t index, Status status)
{
    std::lock_guard lock(m_mutex);
    m_unreadableConfigurations[index] = status;
}

void DeviceModel::clearScripts()
{
    std::lock_guard lock(m_mutex);
    m_scripts.clear();
}

void DeviceModel::setPacketSource(uint8_t endpointAddress, PacketSource source)
{
    std::lock_guard lock(m_mutex);
    if (source) {
        m_sources[endpointAddress] = std::move(source);
    } else {
        m_sources.erase(endpointAddress);
    }
}

void DeviceModel::setEndpointFaults(uint8_t endpointAddress, const EndpointFaults& faults)
{
    std::lock_guard lock(m_mutex);
    m_faults[endpointAddress] = faults;
}

std::vector<LoggedRequest> DeviceModel::requestLog() const
{
    return lockedCopy(m_log);
}

void DeviceModel::clearRequestLog()
{
    std::lock_guard lock(m_mutex);
    m_log.clear();
}

uint8_t DeviceModel::configurationValue() const
{
    return lockedCopy(m_configuration);
}

uint8_t DeviceModel::alternateSetting(uint8_t interfaceNumber) const
{
    std::lock_guard lock(m_mutex);
    return alternateLocked(interfaceNumber);
}

uint8_t DeviceModel::alternateLocked(uint8_t interfaceNumber) const
{
    const auto it = m_alternates.find(interfaceNumber);
    return it == m_alternates.end() ? 0 : it->second;
}

PacketResult DeviceModel::isocInLocked(const EndpointLayout&, const FrameTime&, std::span<uint8_t>)
{
    return PacketResult::data(0);
}

void DeviceModel::isocOutLocked(const EndpointLayout&, const FrameTime&, std::span<const uint8_t>) {}

PacketResult DeviceModel::packetInLocked(const EndpointLayout&, const FrameTime&, std::span<uint8_t>)
{
    return PacketResult::nak();
}

PacketResult DeviceModel::packetOutLocked(const EndpointLayout&, const FrameTime&,
                                          std::span<const uint8_t> packet)
{
    return PacketResult::data(static_cast<uint32_t>(packet.size()));
}

void DeviceModel::onConfigurationLocked(uint8_t) {}
void DeviceModel::onAlternateLocked(uint8_t, uint8_t) {}
void DeviceModel::onResetLocked() {}

} // namespace usbsim
