#include "OSXDeviceManager.h"

#include <algorithm>
#include <cstring>

#include "DeviceManagerClient.h"
#include "VKIOTrace.h"
#include "VKOSXDevice.h"
#include "platform/HostClock.h"
#include "platform/Log.h"
#include "platform/ProcessEnvironment.h"

namespace {

constexpr const char* kServiceClass = "VKKernelDevice";

} // namespace

uint32_t OSXDeviceManager::classify(const std::string& processName)
{
    std::string name = processName;
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::toupper(c); });
    struct Rule
    {
        const char* fragment;
        bool whole;
        uint32_t processClass;
        const char* log;
    };
    static const Rule kRules[] = {
        {"AUDIO MIDI SETUP", true, 2, nullptr},
        {"DIGITAL PERFORME", false, 4, nullptr},
        {"ITUNES", false, 3, "ITUNES DETECTED"},
        {"COREAUDIOD", false, 5, "COREAUDIOD DETECTED"},
        {"ICHAT", false, 6, "ICHAT DETECTED"},
        {"TASCAM US-366 CO", false, 7, "US-366 CONTROL PANEL DETECTED"},
        {"TASCAM UH-7000 M", false, 8, "UH-7000 CONTROL PANEL DETECTED"},
        {"TASCAM US-1200 M", false, 9, "US-1200 CONTROL PANEL DETECTED"},
        {"AUDACITY", false, 11, "AUDACITY DETECTED"},
        {"SYSTEMUISERVER", false, 10, "SystemUIServer DETECTED"},
        {"LOGINWINDOW", false, 12, "LoginWindow DETECTED"},
        {"SERATO DJ", false, 14, "Serato DJ DETECTED"},
        {"ITCH", false, 13, "Serato ITCH DETECTED"},
    };
    uint32_t found = 17;
    for (const Rule& rule : kRules) {
        if (rule.whole ? name == rule.fragment : name.find(rule.fragment) != std::string::npos) {
            found = rule.processClass;
            if (rule.log != nullptr) {
                platform::syslog(platform::log::kPriorityNotice, "HAL: %s\n", rule.log);
            }
        }
    }
    return found;
}

bool OSXDeviceManager::GetProcessNameFromPID(pid_t pid, char* buffer)
{
    if (buffer == nullptr) {
        return false;
    }
    std::memset(buffer, 0, 17);
    const auto name = pid == platform::process::pid() ? std::optional(platform::process::name())
                                                       : platform::process::nameOf(pid);
    if (!name) {
        return false;
    }
    std::memcpy(buffer, name->data(), std::min<size_t>(name->size(), 16));
    return true;
}

OSXDeviceManager::OSXDeviceManager(AudioHardwarePlugInRef plugIn, DeviceManagerClient* client, bool deferCallbacks)
    : m_deferred(deferCallbacks), m_plugIn(plugIn), m_client(client)
{
    VKIOTrace trace(nullptr, 0);
    char name[17] = {};
    GetProcessNameFromPID(platform::process::pid(), name);
    platform::syslog(platform::log::kPriorityNotice, "HAL: %s %s\n", "CurrentprocessName is", name);
    m_appClass = classify(name);

    m_runLoop = CFRunLoopGetMain();
    if (m_runLoop != nullptr) {
        CFRetain(m_runLoop);
    }
    mMatchingDict = IOServiceMatching(kServiceClass);
    if (mMatchingDict == nullptr || IOMasterPort(MACH_PORT_NULL, &mMasterDevicePort) != kIOReturnSuccess) {
        return;
    }
    if (m_runLoop == nullptr) {
        return;
    }
    m_notifyPort = IONotificationPortCreate(mMasterDevicePort);
    if (m_notifyPort == nullptr) {
        return;
    }
    mRunLoopSource = IONotificationPortGetRunLoopSource(m_notifyPort);
    if (mRunLoopSource == nullptr) {
        return;
    }
    CFRunLoopAddSource(m_runLoop, mRunLoopSource, kCFRunLoopDefaultMode);
    CFRetain(mMatchingDict);
    if (IOServiceAddMatchingNotification(m_notifyPort, kIOPublishNotification, mMatchingDict, publishCallback, this,
                                         &mServicePublishIterator) != kIOReturnSuccess) {
        return;
    }
    CFRetain(mMatchingDict);
    if (IOServiceAddMatchingNotification(m_notifyPort, kIOTerminatedNotification, mMatchingDict, terminateCallback,
                                         this, &mServiceTerminateIterator) != kIOReturnSuccess) {
        return;
    }
    m_firstScan = true;
    if (m_firstScan) {
        m_firstScan = false;
        walkPublished(mServicePublishIterator);
        walkTerminated(mServiceTerminateIterator);
    }
}

OSXDeviceManager::~OSXDeviceManager()
{
    while (m_devices.count() > 0) {
        auto* device = static_cast<VKOSXDevice*>(m_devices.atPos(0));
        m_devices.remove(device);
    }
    if (m_runLoop != nullptr && mRunLoopSource != nullptr) {
        CFRunLoopRemoveSource(m_runLoop, mRunLoopSource, kCFRunLoopDefaultMode);
    }
    if (mServicePublishIterator != 0) {
        IOObjectRelease(mServicePublishIterator);
    }
    if (mServiceTerminateIterator != 0) {
        IOObjectRelease(mServiceTerminateIterator);
    }
    if (mMatchingDict != nullptr) {
        CFRelease(mMatchingDict);
    }
    // The source belongs to the port: destroying the port ends both.
    if (m_notifyPort != nullptr) {
        IONotificationPortDestroy(m_notifyPort);
    }
    if (m_runLoop != nullptr) {
        CFRelease(m_runLoop);
    }
}

void OSXDeviceManager::publishCallback(void* refcon, io_iterator_t iterator)
{
    static_cast<OSXDeviceManager*>(refcon)->walkPublished(iterator);
}

void OSXDeviceManager::terminateCallback(void* refcon, io_iterator_t iterator)
{
    static_cast<OSXDeviceManager*>(refcon)->walkTerminated(iterator);
}

void OSXDeviceManager::walkPublished(io_iterator_t iterator)
{
    platform::host_clock::sleepFor(100'000'000);
    while (io_service_t service = IOIteratorNext(iterator)) {
        notifyNewDevice(service);
        IOObjectRelease(service);
    }
}

void OSXDeviceManager::walkTerminated(io_iterator_t iterator)
{
    while (io_service_t service = IOIteratorNext(iterator)) {
        if (VKOSXDevice* device = getDeviceFromService(service)) {
            removeDevice(device);
        }
        IOObjectRelease(service);
    }
}

void OSXDeviceManager::notifyNewDevice(io_service_t service)
{
    VKIOTrace trace(nullptr, 0);
    auto* device = new (std::nothrow) VKOSXDevice(m_plugIn, m_client, service, this);
    if (device == nullptr) {
        trace.trace("device object allocation failed");
        return;
    }
    device->incReferences();
    if (!device->init()) {
        trace.trace("device init failed");
        device->decReferences();
        return;
    }
    m_devices.add(device);
    device->decReferences();
    IOServiceAddInterestNotification(m_notifyPort, service, kIOGeneralInterest, VKOSXDevice::ServiceInterestCallback,
                                     device, &device->interestNotification());
    if (!m_deferred && m_client != nullptr) {
        m_client->deviceAdded(device);
    }
}

int OSXDeviceManager::getCountDevices() const
{
    return m_deferred ? 0 : m_devices.count();
}

VKOSXDevice* OSXDeviceManager::getDevice(int index) const
{
    return m_deferred ? nullptr : static_cast<VKOSXDevice*>(m_devices.atPos(index));
}

int OSXDeviceManager::getDeviceIndex(VKOSXDevice* device) const
{
    return m_devices.findIndex(device);
}

VKOSXDevice* OSXDeviceManager::getDeviceFromService(io_service_t service) const
{
    for (int i = 0; i < m_devices.count(); ++i) {
        auto* device = static_cast<VKOSXDevice*>(m_devices.atPos(i));
        if (IOObjectIsEqualTo(device->ioGetService(), service)) {
            return device;
        }
    }
    return nullptr;
}

void OSXDeviceManager::enableCallbacks()
{
    if (!m_deferred) {
        return;
    }
    m_deferred = false;
    for (int i = 0; i < m_devices.count(); ++i) {
        if (m_client != nullptr) {
            m_client->deviceAdded(static_cast<VKOSXDevice*>(m_devices.atPos(i)));
        }
    }
}

void OSXDeviceManager::removeDevice(VKOSXDevice* device)
{
    if (m_devices.findIndex(device) >= 0) {
        platform::syslog(platform::log::kPriorityNotice, "HAL: %s\n", "removeDevice - device found");
        device->onRemoveEvent();
    }
}

void OSXDeviceManager::doRemoveDevice(VKOSXDevice* device)
{
    if (m_devices.findIndex(device) < 0) {
        return;
    }
    device->closeDevice(false);
    device->incReferences();
    m_devices.remove(device);
    if (!m_deferred && m_client != nullptr) {
        m_client->deviceRemoved(device);
    }
    device->decReferences();
}

void OSXDeviceManager::postRemoveDevice(VKOSXDevice* device)
{
    device->incReferences();
    CFRunLoopPerformBlock(m_runLoop, kCFRunLoopDefaultMode, [this, device] {
        doRemoveDevice(device);
        device->decReferences();
    });
    CFRunLoopWakeUp(m_runLoop);
}
