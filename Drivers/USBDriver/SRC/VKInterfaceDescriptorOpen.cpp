// Opening and closing the family interface an interface descriptor stands for.
#include <cstdint>

#include "IOKit/IOLib.h"
#include "IOKit/usb/IOUSBInterface.h"
#include "VKIOTrace.h"
#include "VKUSBDescriptors.h"

bool VKInterfaceDescriptor::setInterface(IOService* forService, IOUSBInterface* usbInterface, bool doOpen)
{
    VKIOTrace trace(nullptr, 0);
    if (usbInterface != m_pUSBInterface) {
        close(true);
        m_pUSBInterface = usbInterface;
        if (m_pUSBInterface != nullptr) {
            m_pUSBInterface->retain();
        }
    }
    m_bOpenedByOwner = doOpen;
    IOLog("%s isOpen: %d doOpen: %d forService: %p\n ",
          "bool VKInterfaceDescriptor::setInterface(IOService *, IOUSBInterface *, bool)",
          m_pUSBInterface != nullptr && m_pUSBInterface->isOpen() ? 1 : 0, doOpen ? 1 : 0,
          static_cast<void*>(forService));
    if (!doOpen || forService == nullptr || m_pUSBInterface == nullptr || m_pUSBInterface->isOpen()) {
        return true;
    }
    if (forService != m_pOwnerService) {
        forService->retain();
        if (m_pOwnerService != nullptr) {
            m_pOwnerService->release();
        }
        m_pOwnerService = forService;
    }
    bool opened = false;
    if (m_uAlternateSetting != 0) {
        opened = m_pUSBInterface->open(forService, kIOUSBInterfaceOpenAlt,
                                       reinterpret_cast<void*>(static_cast<uintptr_t>(m_uAlternateSetting)));
    } else {
        opened = m_pUSBInterface->open(forService);
    }
    if (!opened) {
        // Unbound again: holding the service for an interface it never opened would keep the
        // service, its device and this descriptor alive for one another.
        trace.trace("open failed");
        close(false);
        return false;
    }
    return true;
}

void VKInterfaceDescriptor::close(bool resetAlternate)
{
    closePipes();
    if (m_pUSBInterface != nullptr) {
        if (m_bOpenedByOwner && m_pOwnerService != nullptr && m_pUSBInterface->isOpen(m_pOwnerService)) {
            if (resetAlternate && m_pUSBInterface->GetAlternateSetting() != 0) {
                m_pUSBInterface->SetAlternateInterface(m_pOwnerService, 0);
            }
            m_pUSBInterface->close(m_pOwnerService);
        }
        m_pUSBInterface->release();
        m_pUSBInterface = nullptr;
    }
    if (m_pOwnerService != nullptr) {
        m_pOwnerService->release();
        m_pOwnerService = nullptr;
    }
    m_bOpenedByOwner = false;
}

void VKInterfaceDescriptor::closePipes()
{
    for (int32_t i = 0; i < m_cPipes.getCount(); ++i) {
        getPipeByIndex(i)->closePipe();
    }
}
