// One endpoint: its descriptor, its class-specific endpoint descriptor, and the family pipe it
// is opened as.
#include <algorithm>

#include "IOKit/IOLib.h"
#include "IOKit/usb/IOUSBInterface.h"
#include "IOKit/usb/IOUSBPipe.h"
#include "VKIOTrace.h"
#include "VKUSBDescriptors.h"

namespace {

// Smallest packet of a streaming pipe: an IN pipe of 32 bytes streams, an OUT one does not.
constexpr uint16_t kMinIsocInPacket = 32;
constexpr uint16_t kMinIsocOutPacket = 33;
constexpr uint8_t kAudioEndpointSize = 9;
constexpr uint8_t kStandardEndpointSize = 7;

} // namespace

VKPipeDescriptor::VKPipeDescriptor(VKInterfaceDescriptor* owner) : m_pOwner(owner) {}

VKPipeDescriptor::~VKPipeDescriptor()
{
    closePipe();
}

void VKPipeDescriptor::clear()
{
    m_uAddressByte = 0;
    m_uEndpointID = 0;
    m_uAttributes = 0;
    m_uRawMaxPacketSize = 0;
    m_uTransactions = 0;
    m_uMaxPacketSize = 0;
    m_uInterval = 0;
    m_uRefresh = 0;
    m_uSynchAddress = 0;
    m_uSyncType = 0;
    m_uControlType = 0;
    m_uMaxPacketsOnly = 0;
    m_uLockDelayUnits = 0;
    m_uLockDelay = 0;
    m_uRequestedBandwidth = 0;
    m_uCurrentMaxPacketSize = 0;
}

bool VKPipeDescriptor::scan(USBByteBuffer& buffer)
{
    VKIOTrace trace("VKPipeDescriptor::scan", this);
    clear();
    const uint8_t length = buffer.peek(0);
    const uint8_t type = buffer.peek(1);
    if ((length != kStandardEndpointSize && length != kAudioEndpointSize) || buffer.getRemaining() < length) {
        IOLog("USB: %s %d\n", "ERROR Buffer size invalid. Size is", length);
        return false;
    }
    if (type != usb_descriptor::kEndpoint) {
        IOLog("USB: %s 0x%X\n", "ERROR Wrong descriptor type ", type);
        return false;
    }
    uint8_t skip = 0;
    buffer >> skip >> skip >> m_uAddressByte >> m_uAttributes >> m_uRawMaxPacketSize >> m_uInterval;
    m_uEndpointID = m_uAddressByte & 0x0F;
    m_uSyncType = (m_uAttributes >> 2) & 3;
    m_uTransactions = static_cast<uint16_t>(std::min((m_uRawMaxPacketSize >> 11) + 1, 3));
    m_uMaxPacketSize = m_uRawMaxPacketSize & 0x7FF;
    m_uCurrentMaxPacketSize = m_uMaxPacketSize;
    IOLog("drelk m_uInterval:%d m_uAddressByte:%d m_uEndpointID:%d ifnum:%d alt:%d\n", m_uInterval, m_uAddressByte,
          m_uEndpointID, m_pOwner != nullptr ? m_pOwner->getInterfaceNumber() : 0,
          m_pOwner != nullptr ? m_pOwner->getAlternateSettingNumber() : 0);

    // The class-specific endpoint descriptor, when one follows (only its own bytes are read).
    const uint32_t next = length - kStandardEndpointSize; // bRefresh and bSynchAddress come first
    const uint8_t nextLength = buffer.peek(next);
    const bool classEndpoint = buffer.peek(next + 1) == usb_descriptor::kClassEndpoint && nextLength >= 2;
    if (length == kStandardEndpointSize && !classEndpoint) {
        m_uMaxPacketsOnly = 1;
        trace.trace("Seems to be HID Endpoint");
    } else {
        if (length == kAudioEndpointSize) {
            buffer >> m_uRefresh >> m_uSynchAddress;
        }
        if (classEndpoint) {
            const uint32_t start = buffer.getReadPos();
            uint8_t attributes = 0;
            buffer >> skip >> skip;
            if (nextLength > 2) {
                buffer >> skip;
            }
            if (nextLength > 3) {
                buffer >> attributes;
            }
            if (nextLength > 4) {
                buffer >> m_uLockDelayUnits;
            }
            if (nextLength >= 7) {
                buffer >> m_uLockDelay;
            }
            m_uControlType = attributes & 3;
            m_uMaxPacketsOnly = attributes >> 7;
            // Whatever else it holds, the descriptor is consumed whole.
            const uint32_t consumed = buffer.getReadPos() - start;
            buffer.forward(nextLength > consumed ? nextLength - consumed : 0);
        } else {
            trace.trace("missing 0x25 for Endpoint");
        }
    }

    if (m_uInterval != 1 && m_uInterval != 4 && (isIsocInPipe() || isIsocOutPipe())) {
        IOLog("USB: %s %d\n", "UNSUPPORTED POLLING INTERVAL for ISOC PIPE", m_uInterval);
        return false;
    }
    return true;
}

bool VKPipeDescriptor::isIsocInPipe() const
{
    if (m_pUSBPipe != nullptr) {
        IOLog("USB: %s %d\n", "VKPipeDescriptor::isIsocInPipe maxPacketSize", m_pUSBPipe->GetMaxPacketSize());
    } else {
        IOLog("USB: %s\n", "No USB pipe");
    }
    return isIn() && getTransferType() == usb_descriptor::kTransferIsochronous && m_uMaxPacketSize >= kMinIsocInPacket;
}

bool VKPipeDescriptor::isIsocOutPipe() const
{
    if (m_pUSBPipe != nullptr) {
        IOLog("USB: %s %d\n", "VKPipeDescriptor::isIsocOutPipe maxPacketSize", m_pUSBPipe->GetMaxPacketSize());
    } else {
        IOLog("USB: %s\n", "No USB pipe");
    }
    return !isIn() && getTransferType() == usb_descriptor::kTransferIsochronous &&
           m_uMaxPacketSize >= kMinIsocOutPacket;
}

bool VKPipeDescriptor::isIsocInPipeInRange(uint32_t minSize, uint32_t maxSize) const
{
    return isIn() && getTransferType() == usb_descriptor::kTransferIsochronous && m_uMaxPacketSize >= minSize &&
           m_uMaxPacketSize <= maxSize;
}

bool VKPipeDescriptor::isIsocOutPipeInRange(uint32_t minSize, uint32_t maxSize) const
{
    return !isIn() && getTransferType() == usb_descriptor::kTransferIsochronous && m_uMaxPacketSize >= minSize &&
           m_uMaxPacketSize <= maxSize;
}

bool VKPipeDescriptor::isInterruptInPipe() const
{
    return isIn() && getTransferType() == usb_descriptor::kTransferInterrupt;
}

bool VKPipeDescriptor::isInterruptOutPipe() const
{
    return !isIn() && getTransferType() == usb_descriptor::kTransferInterrupt;
}

bool VKPipeDescriptor::isBulkInPipe() const
{
    return isIn() && getTransferType() == usb_descriptor::kTransferBulk;
}

bool VKPipeDescriptor::isBulkOutPipe() const
{
    return !isIn() && getTransferType() == usb_descriptor::kTransferBulk;
}

bool VKPipeDescriptor::isInterruptPipe() const
{
    return getTransferType() == usb_descriptor::kTransferInterrupt;
}

bool VKPipeDescriptor::initPipe(const char* caller)
{
    if (m_pUSBPipe != nullptr) {
        return true;
    }
    const bool logging = caller != nullptr;
    if (logging) {
        IOLog("VKPipeDescriptor(%p)::initPipe from %s\n", static_cast<void*>(this), caller);
    }
    IOUSBInterface* usbInterface = m_pOwner != nullptr ? m_pOwner->getInterface() : nullptr;
    if (usbInterface == nullptr) {
        if (logging) {
            IOLog("initPipeError: no usb interface\n");
        }
        return false;
    }
    if (logging) {
        IOLog("initPipe if:%p ifNum:%d alt:%d,numEnPoints:%d isOpen:%d\n", static_cast<void*>(usbInterface),
              m_pOwner->getInterfaceNumber(), m_pOwner->getAlternateSettingNumber(), m_pOwner->getNumEndpoints(),
              usbInterface->isOpen() ? 1 : 0);
    }
    usbInterface->retain();
    const uint8_t direction = isIn() ? kUSBIn : kUSBOut;
    for (uint8_t index = 0; index < m_pOwner->getNumEndpoints() && m_pUSBPipe == nullptr; ++index) {
        IOUSBPipe* pipe = usbInterface->GetPipeObj(index);
        if (pipe == nullptr) {
            if (logging) {
                IOLog("initPipeError: not existent at pos:%d\n", index);
            }
            continue;
        }
        const uint8_t pipeDirection = pipe->GetDirection();
        if ((pipeDirection == direction || pipeDirection == kUSBAnyDirn) &&
            pipe->GetEndpointNumber() == m_uEndpointID) {
            pipe->retain();
            m_pUSBPipe = pipe;
            if (logging) {
                IOLog("address matches\n");
            }
        } else if (logging) {
            IOLog("No match: address own:%d other:%d\n", m_uEndpointID, pipe->GetEndpointNumber());
        }
    }
    usbInterface->release();
    if (m_pUSBPipe == nullptr) {
        if (logging) {
            IOLog("initPipe mUSBPipe NULL\n");
        }
        return false;
    }
    if (logging) {
        IOLog("initPipe bandwidth mMaxPacketSize:%d GetMaxPacketSize():%d\n", m_uMaxPacketSize,
              m_pUSBPipe->GetMaxPacketSize());
    }
    if (m_uMaxPacketSize != m_pUSBPipe->GetMaxPacketSize()) {
        VKIOTrace trace(caller, 0);
        trace.trace("Not enough bandwidth !!!!");
    }
    m_pUSBPipe->ClearPipeStall(true);
    return true;
}

void VKPipeDescriptor::closePipe()
{
    if (m_pUSBPipe != nullptr) {
        m_pUSBPipe->Abort();
        m_pUSBPipe->release();
        m_pUSBPipe = nullptr;
    }
}

void VKPipeDescriptor::abort()
{
    if (m_pUSBPipe != nullptr) {
        m_pUSBPipe->Abort();
    }
}

void VKPipeDescriptor::getAPIEndpointInfo(APIEndpointInfo& info) const
{
    info.wMaxPacketSize = m_uRawMaxPacketSize;
    info.bEndpointAddress = m_uAddressByte;
}
