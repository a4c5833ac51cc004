// One configuration: its header and the interfaces parsed after it.
#include <algorithm>

#include "IOKit/IOLib.h"
#include "VKIOTrace.h"
#include "VKUSBDescriptors.h"

namespace {
constexpr uint8_t kConfigurationSize = 9;
} // namespace

void VKConfigurationDescriptor::clear()
{
    m_uAttributes = 0;
    m_uMaxPower = 0;
}

bool VKConfigurationDescriptor::scan(USBByteBuffer& buffer, const VIDPID& device)
{
    VKIOTrace trace("VKConfigurationDescriptor::scan", this);
    m_uNumInterfaces = 0;
    m_uConfigurationValue = 0;
    m_uConfiguration = 0;
    clear();
    const uint8_t length = buffer.peek(0);
    if (length < kConfigurationSize || buffer.getRemaining() < kConfigurationSize) {
        IOLog("USB: %s\n", "VKConfigurationDescriptor::scan - Buffer to small. Requested 0x09");
        return false;
    }
    if (buffer.peek(1) != usb_descriptor::kConfiguration) {
        IOLog("USB: %s\n", "VKConfigurationDescriptor::scan - Wrong descriptor type ");
        return false;
    }
    uint8_t skip = 0;
    uint16_t totalLength = 0;
    buffer >> skip >> skip >> totalLength >> m_uNumInterfaces >> m_uConfigurationValue >> m_uConfiguration >>
        m_uAttributes >> m_uMaxPower;
    buffer.forward(length - kConfigurationSize);

    // The buffer holds the bytes received; wTotalLength is not trusted beyond them.
    while (buffer.getRemaining() >= 2) {
        const uint32_t start = buffer.getReadPos();
        const uint8_t elementLength = buffer.peek(0);
        if (elementLength == 0) {
            trace.trace("zero descriptor length, scan ends at", static_cast<int>(start));
            break;
        }
        if (buffer.peek(1) == usb_descriptor::kInterface) {
            auto* interface = new VKInterfaceDescriptor(this);
            if (interface == nullptr) {
                break;
            }
            if (!(interface->scan(buffer, device) && m_cInterfaces.add(interface))) {
                delete interface;
            }
        }
        // Other descriptors, and an interface that could not be read, are passed by their length.
        if (buffer.getReadPos() < start + elementLength) {
            buffer.forward(start + elementLength - buffer.getReadPos());
        }
    }
    return true;
}

VKInterfaceDescriptor* VKConfigurationDescriptor::getInterface(uint8_t interfaceNumber) const
{
    for (int32_t i = 0; i < m_cInterfaces.getCount(); ++i) {
        VKInterfaceDescriptor* interface = getInterfaceByIndex(i);
        if (interface->getInterfaceNumber() == interfaceNumber) {
            return interface;
        }
    }
    return nullptr;
}

VKInterfaceDescriptor* VKConfigurationDescriptor::getInterfaceByIndex(int32_t index) const
{
    return m_cInterfaces.at<VKInterfaceDescriptor>(index);
}

namespace {

template <class Test> VKInterfaceDescriptor* firstInterface(const VKConfigurationDescriptor& configuration, Test test)
{
    for (int32_t i = 0; i < configuration.getCountInterfaces(); ++i) {
        VKInterfaceDescriptor* interface = configuration.getInterfaceByIndex(i);
        if (test(*interface)) {
            return interface;
        }
    }
    return nullptr;
}

} // namespace

VKInterfaceDescriptor* VKConfigurationDescriptor::findAudioControlInterface() const
{
    return firstInterface(*this, [](const VKInterfaceDescriptor& i) { return i.isAudioControl(); });
}

VKInterfaceDescriptor* VKConfigurationDescriptor::findAudioStreamingInInterface() const
{
    return firstInterface(*this, [](const VKInterfaceDescriptor& i) { return i.isAudioStreamingIn(); });
}

VKInterfaceDescriptor* VKConfigurationDescriptor::findAudioStreamingOutInterface() const
{
    return firstInterface(*this, [](const VKInterfaceDescriptor& i) { return i.isAudioStreamingOut(); });
}

VKInterfaceDescriptor* VKConfigurationDescriptor::findHIDInterface() const
{
    return firstInterface(*this, [](const VKInterfaceDescriptor& i) { return i.isHIDInterface(); });
}

VKInterfaceDescriptor* VKConfigurationDescriptor::findVendorInterface() const
{
    return firstInterface(*this, [](const VKInterfaceDescriptor& i) { return i.isVendorInterface(); });
}

VKInterfaceDescriptor* VKConfigurationDescriptor::findMidiInterface() const
{
    VKIOTrace trace("VKConfigurationDescriptor::findMidiInterface", this);
    VKInterfaceDescriptor* midi = firstInterface(*this, [](const VKInterfaceDescriptor& i) { return i.isMidiInterface(); });
    if (midi != nullptr) {
        trace.trace("Found MIDI Interface #", midi->getInterfaceNumber());
    }
    return midi;
}

void VKConfigurationDescriptor::getAPIConfigInfo(APIConfigInfo& info, const VIDPID& device) const
{
    info.iConfiguration = m_uConfiguration;
    info.bConfigurationValue = m_uConfigurationValue;
    const auto count = std::min<uint8_t>(m_uNumInterfaces, APIConfigInfo::kMaxInterfaces);
    info.mNumInterfaces = count;
    for (uint8_t number = 0; number < count; ++number) {
        const VKInterfaceDescriptor* interface = getInterface(number);
        if (interface != nullptr) {
            interface->getAPIInterfaceInfo(info.mInterfaces[number], device);
        }
    }
}
