#include "DriverFixture.h"

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "CoreFoundation/CoreFoundation.h"
#include "IOKit/IOCatalogue.h"
#include "IOKit/IOUserClient.h"
#include "IOKit/usb/IOUSBDevice.h"
#include "IOKit/usb/IOUSBInterface.h"
#include "Personalities.h"
#include "VKKernelDevice.h"
#include "kern/thread.h"
#include "usbsim/Catalogue.h"

namespace vc = platform::host_clock::virtual_clock;

namespace driver_test {

// Runs the pending set-up on a device before the USB family publishes it.
class DriverFixture::Hook : public usbsim::BusObserver
{
public:
    void deviceAttached(const std::shared_ptr<usbsim::Device>& device) override
    {
        if (pending) {
            BeforePublish once = std::move(pending);
            pending = {};
            once(*device);
        }
    }
    void deviceDetached(const std::shared_ptr<usbsim::Device>&) override {}

    BeforePublish pending;
};

namespace {

// The personalities of the kext as the build wrote them into its Info.plist.
OSArray* copyKextPersonalities()
{
    std::ifstream file(VK_KEXT_INFO_PLIST, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (text.empty()) {
        throw std::runtime_error(std::string("cannot read ") + VK_KEXT_INFO_PLIST);
    }
    CFDataRef data = CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
                                  static_cast<CFIndex>(text.size()));
    CFPropertyListRef plist = CFPropertyListCreateWithData(kCFAllocatorDefault, data, 0, nullptr, nullptr);
    CFRelease(data);
    OSObject* converted = plist != nullptr ? kernel_host::kernelObjectFromPropertyList(plist) : nullptr;
    if (plist != nullptr) {
        CFRelease(plist);
    }
    auto* info = OSDynamicCast(OSDictionary, converted);
    auto* personalities =
        info != nullptr ? OSDynamicCast(OSDictionary, info->getObject("IOKitPersonalities")) : nullptr;
    if (personalities == nullptr) {
        OSSafeReleaseNULL(converted);
        throw std::runtime_error(std::string("no personalities in ") + VK_KEXT_INFO_PLIST);
    }
    OSArray* list = OSArray::withCapacity(personalities->getCount());
    for (unsigned int i = 0; i < personalities->getCount(); ++i) {
        list->setObject(personalities->getObject(personalities->getKey(i)));
    }
    converted->release();
    return list;
}

void removeKextPersonalities()
{
    OSDictionary* mine = OSDictionary::withCapacity(1);
    OSString* bundle = OSString::withCString(kKextBundleIdentifier);
    mine->setObject(kCFBundleIdentifierKey, bundle);
    gIOCatalogue->removeDrivers(mine);
    bundle->release();
    mine->release();
}

} // namespace

DriverFixture::DriverFixture(const FixtureOptions& options)
    : m_clock(1'000'000'000)
{
    m_host = std::make_unique<kernel_host::KernelHost>();
    usbsim::Bus::Options busOptions;
    busOptions.firstFrame = options.firstFrame;
    m_bus = std::make_unique<usbsim::Bus>(busOptions);
    m_hook = std::make_unique<Hook>();
    m_bus->addObserver(m_hook.get());
    m_usb = std::make_unique<platform::usb::USBHost>(*m_bus);
    OSArray* personalities = copyKextPersonalities();
    m_host->addPersonalities(personalities);
    personalities->release();
    waitQuiet();
}

DriverFixture::~DriverFixture()
{
    try {
        unplug();
        removeKextPersonalities();
        waitQuiet();
        m_bus->removeObserver(m_hook.get());
        m_usb.reset();
        waitQuiet();
        m_host.reset();
        m_bus.reset();
    } catch (const std::exception&) {
        // A driver that does not let go leaves the rest to process exit.
    }
}

VKKernelDevice* DriverFixture::plug(std::shared_ptr<usbsim::DeviceModel> model, const usbsim::AttachOptions& options,
                                    BeforePublish beforePublish)
{
    unplug();
    m_model = std::move(model);
    m_hook->pending = std::move(beforePublish);
    m_device = m_bus->attach(m_model, options);
    m_hook->pending = {};
    waitQuiet();
    // A device that left during the start: its service's termination may still be waiting for
    // the start to let go (the registry is quiet by then); it is waited for here.
    waitForServices(0, true);
    IOUSBDevice* usb = m_usb->copyDevice(m_device);
    if (usb == nullptr) {
        return nullptr;
    }
    OSIterator* clients = usb->getClientIterator();
    while (OSObject* client = clients != nullptr ? clients->getNextObject() : nullptr) {
        if (auto* service = OSDynamicCast(VKKernelDevice, client); service != nullptr && !service->isInactive()) {
            service->retain();
            m_service = service;
            break;
        }
    }
    OSSafeReleaseNULL(clients);
    usb->release();
    if (m_service == nullptr) {
        waitForServices(0, false);
    }
    return m_service;
}

VKKernelDevice* DriverFixture::plug(const std::string& modelName, const usbsim::AttachOptions& options,
                                    BeforePublish beforePublish)
{
    const usbsim::CatalogueEntry* entry = usbsim::findModel(modelName);
    if (entry == nullptr) {
        return nullptr;
    }
    bool listed = false;
    for (const KextPersonality& p : kextPersonalities()) {
        listed = listed || (p.model.is(entry->vendor, entry->product) &&
                            (p.bcdDevice == kAnyRelease || p.bcdDevice == entry->bcdDevice));
    }
    if (!listed) {
        addPersonality(entry->vendor, entry->product);
    }
    return plug(entry->make(), options, std::move(beforePublish));
}

void DriverFixture::unplug()
{
    if (!m_device) {
        return;
    }
    // The device leaves on a thread of simulated time, so the driver's termination may sleep.
    std::shared_ptr<usbsim::Device> device = std::move(m_device);
    m_device.reset();
    runInKernel([&] { m_bus->detach(device); });
    OSSafeReleaseNULL(m_service);
    waitQuiet();
    waitForServices(0, false);
    m_model.reset();
}

bool DriverFixture::runInKernel(const std::function<void()>& work)
{
    std::atomic<bool> done{false};
    std::thread worker = platform::host_clock::startParticipant("kernel work of a test", [&] {
        work();
        done = true;
    });
    const uint64_t deadline = platform::host_clock::now() + kQuietLimit;
    while (!done && platform::host_clock::now() < deadline) {
        m_bus->runFor(kMillisecond);
    }
    const bool inTime = done;
    while (!done) {
        m_bus->runFor(kMillisecond);
    }
    worker.join();
    return inTime;
}

void DriverFixture::addPersonality(uint16_t vendor, uint16_t product, OSDictionary* qzSpecific)
{
    OSDictionary* p = OSDictionary::withCapacity(8);
    auto set = [&](const char* key, OSObject* value) {
        p->setObject(key, value);
        value->release();
    };
    set(kIOClassKey, OSString::withCString(kKextServiceClass));
    set(kIOProviderClassKey, OSString::withCString("IOUSBDevice"));
    set(kCFBundleIdentifierKey, OSString::withCString(kKextBundleIdentifier));
    set("idVendor", OSNumber::withNumber(vendor, 16));
    set("idProduct", OSNumber::withNumber(product, 16));
    set(kIOProbeScoreKey, OSNumber::withNumber(10'000, 32));
    if (qzSpecific != nullptr) {
        qzSpecific->retain();
        set("QzSpecific", qzSpecific);
    }
    OSArray* list = OSArray::withCapacity(1);
    list->setObject(p);
    p->release();
    m_host->addPersonalities(list);
    list->release();
    waitQuiet();
}

VKDevice* DriverFixture::vkDevice() const
{
    return m_service != nullptr ? m_service->device() : nullptr;
}

std::vector<usbsim::LoggedRequest> DriverFixture::requestLog() const
{
    return m_model ? m_model->requestLog() : std::vector<usbsim::LoggedRequest>{};
}

void DriverFixture::clearRequestLog()
{
    if (m_model) {
        m_model->clearRequestLog();
    }
}

void DriverFixture::runFor(uint64_t nanoseconds)
{
    m_bus->runFor(nanoseconds, kMillisecond);
}

bool DriverFixture::waitQuiet(uint64_t limit)
{
    const uint64_t deadline = platform::host_clock::now() + limit;
    for (;;) {
        m_bus->settle();
        if (IOService::getServiceRoot()->waitQuiet(0) == kIOReturnSuccess) {
            return true;
        }
        if (platform::host_clock::now() >= deadline) {
            return false;
        }
        m_bus->runFor(kMillisecond);
    }
}

void DriverFixture::waitForServices(unsigned count, bool onlyWhileGone)
{
    if (onlyWhileGone && m_device && m_device->isAttached()) {
        return;
    }
    const uint64_t deadline = platform::host_clock::now() + kQuietLimit;
    while (VKKernelDevice::gMetaClass.getInstanceCount() > count && platform::host_clock::now() < deadline) {
        m_bus->runFor(kMillisecond);
        waitQuiet();
    }
}

LiveInstances DriverFixture::liveInstances() const
{
    LiveInstances live;
    live.kernelDevices = VKKernelDevice::gMetaClass.getInstanceCount();
    live.devices = VKKernelDevice::liveDevices();
    live.kernelThreads = platform::iokit::runningKernelThreads();
    live.interfaces = IOUSBInterface::gMetaClass.getInstanceCount();
    live.userClients = IOUserClient::gMetaClass.getInstanceCount();
    return live;
}

} // namespace driver_test
