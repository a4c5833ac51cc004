#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <sys/resource.h>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "IOKit/IOBufferMemoryDescriptor.h"
#include "IOKit/IOCatalogue.h"
#include "IOKit/IOLib.h"
#include "IOKit/usb/IOUSBController.h"
#include "IOKit/usb/IOUSBDevice.h"
#include "IOKit/usb/IOUSBInterface.h"
#include "IOKit/usb/IOUSBPipe.h"
#include "platform/HostClock.h"
#include "platform/USBHost.h"
#include "usbsim/Bus.h"
#include "usbsim/models/BitPlaneBulkDevice.h"
#include "usbsim/models/ClassAudioDevice.h"

namespace vc = platform::host_clock::virtual_clock;
using usbsim::models::BitPlaneBulkDevice;
using usbsim::models::ClassAudioDevice;

namespace {

// What the test driver saw, for the test thread.
struct Seen
{
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> events;
    int hubs = -1;
    UInt16 vendor = 0;
    UInt8 speed = 0xFF;

    void add(const std::string& e)
    {
        std::lock_guard lock(mutex);
        events.push_back(e);
        changed.notify_all();
    }
    bool waitForCount(size_t count)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return events.size() >= count; });
    }
    bool waitFor(const std::string& e)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10),
                                [&] { return std::find(events.begin(), events.end(), e) != events.end(); });
    }
};
Seen& seen()
{
    static Seen s;
    return s;
}

} // namespace

// A driver as the kernel driver starts: open the device, count the hubs above it.
class USBFamilyTestDriver : public IOService
{
    OSDeclareDefaultStructors(USBFamilyTestDriver)

        public : bool start(IOService* provider) override
    {
        // A shared block, as the kernel driver's start takes several.
        m_block = IOMallocAligned(kBlockSize, kBlockSize);
        if (m_block == nullptr) {
            seen().add("no block");
            return false;
        }
        auto* device = OSDynamicCast(IOUSBDevice, provider);
        if (device == nullptr || !IOService::start(provider) || !device->open(this, kIOServiceSeize)) {
            seen().add("start failed");
            return false;
        }
        m_device = device;
        const IORegistryPlane* plane = IORegistryEntry::getPlane(kIOUSBPlane);
        int hubs = 0;
        for (IORegistryEntry* e = device; e != nullptr; e = e->getParentEntry(plane)) {
            auto* entry = OSDynamicCast(IOUSBDevice, e);
            IOUSBDeviceDescriptor d = {};
            if (entry != nullptr && entry->GetDeviceDescriptor(&d, sizeof d) == kIOReturnSuccess &&
                d.bDeviceClass == kUSBHubClass) {
                ++hubs;
            }
        }
        {
            std::lock_guard lock(seen().mutex);
            seen().hubs = hubs;
            seen().vendor = device->GetVendorID();
            seen().speed = device->GetSpeed();
        }
        seen().add("start");
        return true;
    }
    // The device is going: let it go, as a driver does when told its provider terminates.
    bool willTerminate(IOService* provider, IOOptionBits options) override
    {
        if (m_device != nullptr) {
            m_device->close(this);
            m_device = nullptr;
        }
        return IOService::willTerminate(provider, options);
    }
    void stop(IOService* provider) override
    {
        seen().add("stop");
        IOService::stop(provider);
    }

protected:
    void free() override
    {
        IOFreeAligned(m_block, kBlockSize);
        IOService::free();
    }

private:
    static constexpr vm_size_t kBlockSize = 4096;
    IOUSBDevice* m_device = nullptr;
    void* m_block = nullptr;
};
OSDefineMetaClassAndStructors(USBFamilyTestDriver, IOService)

    namespace
{

    constexpr const char* kBundle = "test.usbfamily.driver";

    class USBFamilyTest : public ::testing::Test
    {
    protected:
        USBFamilyTest() { seen().events.clear(); }
        ~USBFamilyTest() override
        {
            host.reset();
            OSDictionary* mine = OSDictionary::withCapacity(1);
            OSString* bundle = OSString::withCString(kBundle);
            mine->setObject(kCFBundleIdentifierKey, bundle);
            gIOCatalogue->removeDrivers(mine);
            bundle->release();
            mine->release();
            IOService::getServiceRoot()->waitQuiet();
        }

        void addPersonality(UInt16 vendor, UInt16 product, int release = -1, const char* tag = "any")
        {
            OSDictionary* p = OSDictionary::withCapacity(6);
            auto set = [&](const char* key, OSObject* value) {
                p->setObject(key, value);
                value->release();
            };
            set(kIOClassKey, OSString::withCString("USBFamilyTestDriver"));
            set(kIOProviderClassKey, OSString::withCString("IOUSBDevice"));
            set("idVendor", OSNumber::withNumber(vendor, 16));
            set("idProduct", OSNumber::withNumber(product, 16));
            if (release >= 0) {
                set("bcdDevice", OSNumber::withNumber(static_cast<unsigned long long>(release), 16));
            }
            set("Tag", OSString::withCString(tag));
            set(kCFBundleIdentifierKey, OSString::withCString(kBundle));
            OSArray* array = OSArray::withCapacity(1);
            array->setObject(p);
            p->release();
            gIOCatalogue->addDrivers(array);
            array->release();
        }

        IOUSBDevice* serviceOf(const std::shared_ptr<usbsim::Device>& d) { return host->copyDevice(d); }

        vc::Scope clock{1'000'000'000};
        usbsim::Bus bus;
        std::unique_ptr<platform::usb::USBHost> host = std::make_unique<platform::usb::USBHost>(bus);
    };

    TEST_F(USBFamilyTest, HotPlugStartsTheMatchingDriverAndUnplugStopsIt)
    {
        addPersonality(0x2912, 0x3001);
        auto other = bus.attach(std::make_shared<BitPlaneBulkDevice>()); // no personality: no driver
        auto device = bus.attach(std::make_shared<ClassAudioDevice>(), usbsim::AttachOptions{0, 2});
        ASSERT_TRUE(seen().waitFor("start"));
        IOService::getServiceRoot()->waitQuiet();
        {
            std::lock_guard lock(seen().mutex);
            EXPECT_EQ(seen().events, std::vector<std::string>{"start"});
            EXPECT_EQ(seen().vendor, 0x2912);
            EXPECT_EQ(seen().speed, kUSBDeviceSpeedFull);
            EXPECT_EQ(seen().hubs, 3) << "two external hubs and the root hub";
        }
        IOUSBDevice* service = serviceOf(device);
        ASSERT_NE(service, nullptr);
        EXPECT_TRUE(service->isOpen());
        EXPECT_EQ(service->GetBus(), host->controller());
        EXPECT_EQ(OSDynamicCast(OSNumber, service->getProperty("idProduct"))->unsigned16BitValue(), 0x3001);

        bus.detach(device);
        ASSERT_TRUE(seen().waitFor("stop"));
        IOService::getServiceRoot()->waitQuiet();
        EXPECT_TRUE(service->isInactive());
        EXPECT_EQ(serviceOf(device), nullptr);
        IOUSBDevRequest request = {0x80, 6, 0x0100, 0, 0, nullptr, 0};
        EXPECT_EQ(service->DeviceRequest(&request), kIOReturnNoDevice);
        service->release();
    }

    TEST_F(USBFamilyTest, APersonalityForTheDevicesReleaseWinsOverOneForAllReleases)
    {
        addPersonality(0x2912, 0x3001, -1, "any");
        addPersonality(0x2912, 0x3001, 0x0200, "other release");
        auto model = std::make_shared<ClassAudioDevice>(ClassAudioDevice::Options{0x2912, 0x3001, false, 0});
        const UInt16 release = model->deviceDescriptor().bcdDevice;
        addPersonality(0x2912, 0x3001, release, "this release");
        auto device = bus.attach(model);
        ASSERT_TRUE(seen().waitFor("start"));
        IOService::getServiceRoot()->waitQuiet();
        IOUSBDevice* service = serviceOf(device);
        ASSERT_NE(service, nullptr);
        IOService* driver = service->getClient();
        ASSERT_NE(driver, nullptr);
        auto* tag = OSDynamicCast(OSString, driver->getProperty("Tag"));
        ASSERT_NE(tag, nullptr);
        EXPECT_STREQ(tag->getCStringNoCopy(), "this release");
        service->release();
    }

    TEST_F(USBFamilyTest, ReEnumerationPublishesANewDevice)
    {
        addPersonality(0x2912, 0x3001);
        auto device = bus.attach(std::make_shared<ClassAudioDevice>());
        ASSERT_TRUE(seen().waitFor("start"));
        IOUSBDevice* service = serviceOf(device);
        ASSERT_NE(service, nullptr);
        EXPECT_EQ(service->ReEnumerateDevice(0), kIOReturnSuccess);
        bus.settle();
        ASSERT_TRUE(seen().waitFor("stop"));
        IOService::getServiceRoot()->waitQuiet();
        std::lock_guard lock(seen().mutex);
        EXPECT_EQ(seen().events, (std::vector<std::string>{"start", "stop", "start"}));
        EXPECT_TRUE(service->isInactive());
        service->release();
    }

    // A device whose driver could not start for lack of resources (here: no room for a shared
    // block) is matched again once resources return (here: another device's driver gave back
    // what it held), and its driver starts.
    TEST_F(USBFamilyTest, ADriverShortOfResourcesStartsWhenTheyReturn)
    {
        addPersonality(0x2912, 0x3001);
        addPersonality(0x2912, 0x3002);
        auto first = bus.attach(std::make_shared<ClassAudioDevice>());
        ASSERT_TRUE(seen().waitFor("start"));
        IOService::getServiceRoot()->waitQuiet();
        {
            // No file may grow while the second device is matched: no block can have its size.
            rlimit saved{};
            ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
            const auto previous = std::signal(SIGXFSZ, SIG_IGN);
            rlimit none = saved;
            none.rlim_cur = 0;
            ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &none), 0);
            auto second = bus.attach(std::make_shared<ClassAudioDevice>(ClassAudioDevice::Options{0x2912, 0x3002}));
            const bool refused = seen().waitFor("no block");
            IOService::getServiceRoot()->waitQuiet();
            ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
            std::signal(SIGXFSZ, previous);
            ASSERT_TRUE(refused);
            IOUSBDevice* waiting = serviceOf(second);
            ASSERT_NE(waiting, nullptr);
            EXPECT_EQ(waiting->getClient(), nullptr) << "no driver yet: nothing has returned";

            bus.detach(first);
            ASSERT_TRUE(seen().waitFor("stop"));
            ASSERT_TRUE(seen().waitForCount(4)); // start, no block, stop, start
            IOService::getServiceRoot()->waitQuiet();
            {
                std::lock_guard lock(seen().mutex);
                EXPECT_EQ(seen().events, (std::vector<std::string>{"start", "no block", "stop", "start"}));
            }
            EXPECT_NE(OSDynamicCast(USBFamilyTestDriver, waiting->getClient()), nullptr);
            waiting->release();
        }
    }

    TEST_F(USBFamilyTest, DescriptorsConfigurationAndInterfaces)
    {
        auto model = std::make_shared<ClassAudioDevice>(ClassAudioDevice::Options{0x2912, 0x3001, true, 0});
        auto device = bus.attach(model);
        IOUSBDevice* service = serviceOf(device);
        ASSERT_NE(service, nullptr);
        IOService* client = IOService::getServiceRoot(); // stands for a driver
        ASSERT_TRUE(service->open(client, kIOServiceSeize));

        EXPECT_EQ(service->GetNumConfigurations(), 1);
        std::vector<uint8_t> config(4096);
        UInt32 actual = 0;
        ASSERT_EQ(service->GetConfigurationDescriptor(1, config.data(), 4096, &actual), kIOReturnSuccess);
        EXPECT_EQ(actual, static_cast<UInt32>(config[2] | config[3] << 8));
        // A short read is reported, with what came.
        model->script({0x80, 6, uint16_t{0x0200}, std::nullopt},
                      {usbsim::ScriptedStep::normal(), usbsim::ScriptedStep::shortened(40)});
        EXPECT_EQ(service->GetConfigurationDescriptor(1, config.data(), 4096, &actual), kIOReturnUnderrun);
        EXPECT_EQ(actual, 40u);
        EXPECT_EQ(config[40], 0) << "the rest is cleared";

        char text[64];
        ASSERT_EQ(service->GetStringDescriptor(2, text, sizeof text), kIOReturnSuccess);
        EXPECT_STREQ(text, "USB Audio Device");
        ASSERT_EQ(service->GetStringDescriptor(2, text, 4), kIOReturnSuccess);
        EXPECT_STREQ(text, "USB");
        EXPECT_EQ(service->GetStringDescriptor(9, text, sizeof text), kIOUSBPipeStalled);

        IOUSBFindInterfaceRequest streaming = {1, 2, kIOUSBFindInterfaceDontCare,
                                               kIOUSBFindInterfaceDontCare};
        EXPECT_EQ(service->FindNextInterface(nullptr, &streaming), nullptr) << "not configured yet";
        ASSERT_EQ(service->SetConfiguration(client, 1, false), kIOReturnSuccess);
        UInt8 current = 0;
        ASSERT_EQ(service->GetConfiguration(&current), kIOReturnSuccess);
        EXPECT_EQ(current, 1);
        IOUSBInterface* out = service->FindNextInterface(nullptr, &streaming);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(out->GetInterfaceNumber(), 1);
        IOUSBInterface* in = service->FindNextInterface(out, &streaming);
        ASSERT_NE(in, nullptr);
        EXPECT_EQ(in->GetInterfaceNumber(), 2);
        EXPECT_EQ(service->FindNextInterface(in, &streaming), nullptr);
        IOUSBFindInterfaceRequest alternateThree = {1, 2, kIOUSBFindInterfaceDontCare, 3};
        EXPECT_EQ(service->FindNextInterface(nullptr, &alternateThree), nullptr);

        // Open with the 24-bit alternate: its data and feedback pipes.
        EXPECT_EQ(out->SetAlternateInterface(client, 2), kIOReturnNotOpen);
        ASSERT_TRUE(out->open(client, kIOUSBInterfaceOpenAlt, reinterpret_cast<void*>(uintptr_t{2})));
        EXPECT_EQ(out->GetAlternateSetting(), 2);
        EXPECT_EQ(model->alternateSetting(1), 2);
        ASSERT_EQ(out->GetNumEndpoints(), 2);
        IOUSBPipe* data = out->GetPipeObj(0);
        IOUSBPipe* feedback = out->GetPipeObj(1);
        ASSERT_NE(data, nullptr);
        ASSERT_NE(feedback, nullptr);
        EXPECT_EQ(out->GetPipeObj(2), nullptr);
        EXPECT_EQ(data->GetDirection(), kUSBOut);
        EXPECT_EQ(data->GetType(), kUSBIsoc);
        EXPECT_EQ(data->GetEndpointNumber(), 1);
        EXPECT_EQ(data->GetMaxPacketSize(), 294);
        EXPECT_EQ(feedback->GetDirection(), kUSBIn);
        EXPECT_EQ(feedback->GetMaxPacketSize(), 3);

        // Isochronous transfers through memory descriptors: output written, input read back.
        ASSERT_TRUE(in->open(client, kIOUSBInterfaceOpenAlt, reinterpret_cast<void*>(uintptr_t{2})));
        IOUSBPipe* input = in->GetPipeObj(0);
        ASSERT_NE(input, nullptr);
        EXPECT_EQ(input->SetPipePolicy(200, 1), kIOReturnSuccess);
        EXPECT_EQ(input->GetMaxPacketSize(), 200);
        EXPECT_EQ(input->SetPipePolicy(295, 1), kIOReturnBadArgument);
        IOBufferMemoryDescriptor* outBuffer =
            IOBufferMemoryDescriptor::withCapacity(4 * 288, kIODirectionOut);
        IOBufferMemoryDescriptor* inBuffer = IOBufferMemoryDescriptor::withCapacity(4 * 200, kIODirectionIn);
        IOUSBLowLatencyIsocFrame outFrames[4];
        IOUSBLowLatencyIsocFrame inFrames[4];
        for (int k = 0; k < 4; ++k) {
            outFrames[k] = {0, 288, 0, 0};
            inFrames[k] = {0, 200, 0, 0};
        }
        std::atomic<int> finished{0};
        IOUSBLowLatencyIsocCompletion counting = {
            &finished,
            [](void* target, void*, IOReturn, IOUSBLowLatencyIsocFrame*) {
                ++*static_cast<std::atomic<int>*>(target);
            },
            nullptr};
        const UInt64 start = host->controller()->GetFrameNumber() + 2;
        EXPECT_EQ(data->Write(outBuffer, start, 4, outFrames, &counting, 1), kIOReturnSuccess);
        EXPECT_EQ(input->Read(inBuffer, start, 4, inFrames, &counting, 1), kIOReturnSuccess);
        IOUSBLowLatencyIsocFrame tooMany[5] = {
            {0, 288, 0, 0}, {0, 288, 0, 0}, {0, 288, 0, 0}, {0, 288, 0, 0}, {0, 288, 0, 0}};
        EXPECT_EQ(data->Write(outBuffer, start + 4, 5, tooMany, &counting, 1), kIOReturnBadArgument)
            << "past the buffer";
        bus.runFrames(7);
        EXPECT_EQ(finished.load(), 2);
        EXPECT_EQ(outFrames[3].frActCount, 288);
        // The device sends 48 frames of 6 bytes; the policy lowered the pipe to 200 bytes.
        EXPECT_EQ(inFrames[0].frActCount, 200);
        EXPECT_EQ(inFrames[0].frStatus, kIOReturnOverrun);
        outBuffer->release();
        inBuffer->release();
        in->close(client);

        // Back to alternate 0: a pipe kept from before stops working.
        data->retain();
        ASSERT_EQ(out->SetAlternateInterface(client, 0), kIOReturnSuccess);
        IOBufferMemoryDescriptor* buffer = IOBufferMemoryDescriptor::withCapacity(1024, kIODirectionOut);
        IOUSBLowLatencyIsocFrame frame = {0, 8, 0, 0};
        IOUSBLowLatencyIsocCompletion completion = {
            nullptr, [](void*, void*, IOReturn, IOUSBLowLatencyIsocFrame*) {}, nullptr};
        EXPECT_EQ(data->Write(buffer, host->controller()->GetFrameNumber() + 2, 1, &frame, &completion),
                  kIOReturnNotOpen);
        data->release();
        buffer->release();
        out->close(client);
        service->close(client);
        service->release();
    }

    // A driver holding an interface may still be looking at its pipe objects (handed out
    // unretained) when the device leaves: they stay until the interface goes, and fail.
    TEST_F(USBFamilyTest, PipesOfAHeldInterfaceOutliveTheDeviceAndFail)
    {
        auto model = std::make_shared<ClassAudioDevice>(ClassAudioDevice::Options{0x2912, 0x3001, true, 0});
        auto device = bus.attach(model);
        IOUSBDevice* service = serviceOf(device);
        ASSERT_NE(service, nullptr);
        IOService* client = IOService::getServiceRoot(); // stands for a driver
        ASSERT_TRUE(service->open(client, kIOServiceSeize));
        ASSERT_EQ(service->SetConfiguration(client, 1, false), kIOReturnSuccess);
        IOUSBFindInterfaceRequest streaming = {1, 2, kIOUSBFindInterfaceDontCare, kIOUSBFindInterfaceDontCare};
        IOUSBInterface* out = service->FindNextInterface(nullptr, &streaming);
        ASSERT_NE(out, nullptr);
        out->retain();
        ASSERT_TRUE(out->open(client, kIOUSBInterfaceOpenAlt, reinterpret_cast<void*>(uintptr_t{2})));
        IOUSBPipe* data = out->GetPipeObj(0);
        ASSERT_NE(data, nullptr);
        out->close(client);
        service->close(client);

        bus.detach(device);
        IOService::getServiceRoot()->waitQuiet();
        EXPECT_EQ(out->GetPipeObj(0), data);
        EXPECT_EQ(data->GetDirection(), kUSBOut);
        IOBufferMemoryDescriptor* buffer = IOBufferMemoryDescriptor::withCapacity(1024, kIODirectionOut);
        IOUSBLowLatencyIsocFrame frame = {0, 8, 0, 0};
        IOUSBLowLatencyIsocCompletion completion = {
            nullptr, [](void*, void*, IOReturn, IOUSBLowLatencyIsocFrame*) {}, nullptr};
        EXPECT_NE(data->Write(buffer, host->controller()->GetFrameNumber() + 2, 1, &frame, &completion),
                  kIOReturnSuccess);
        buffer->release();
        out->release();
        service->release();
    }

    TEST_F(USBFamilyTest, PipesMoveDataThroughMemoryDescriptors)
    {
        auto model = std::make_shared<BitPlaneBulkDevice>();
        auto device = bus.attach(model);
        IOUSBDevice* service = serviceOf(device);
        ASSERT_NE(service, nullptr);
        IOService* client = IOService::getServiceRoot();
        ASSERT_TRUE(service->open(client, kIOServiceSeize));
        ASSERT_EQ(service->SetConfiguration(client, 1, false), kIOReturnSuccess);
        IOUSBFindInterfaceRequest any = {kIOUSBFindInterfaceDontCare, kIOUSBFindInterfaceDontCare,
                                         kIOUSBFindInterfaceDontCare, kIOUSBFindInterfaceDontCare};
        IOUSBInterface* first = service->FindNextInterface(nullptr, &any);
        IOUSBInterface* second = service->FindNextInterface(first, &any);
        ASSERT_NE(second, nullptr);
        IOUSBPipe* out = first->GetPipeObj(0);
        IOUSBPipe* in = second->GetPipeObj(0);
        ASSERT_NE(out, nullptr);
        ASSERT_NE(in, nullptr);
        EXPECT_EQ(out->GetType(), kUSBBulk);
        EXPECT_EQ(in->GetMaxPacketSize(), 512);

        // A read larger than its buffer is refused before anything is queued.
        IOBufferMemoryDescriptor* buffer = IOBufferMemoryDescriptor::withCapacity(512, kIODirectionIn);
        EXPECT_EQ(in->Read(buffer, 0, 0, 1024), kIOReturnBadArgument);

        // A synchronous read waits for the device's first packet (48 frames per ms at 48 kHz).
        IOByteCount got = 0;
        IOReturn status = kIOReturnError;
        std::atomic<bool> finished{false};
        std::thread reader([&] {
            status = in->Read(buffer, 0, 0, 512, nullptr, &got);
            finished = true;
        });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!finished && std::chrono::steady_clock::now() < deadline) {
            bus.runFrames(1);
        }
        if (!finished) {
            in->Abort(); // lets the reader go; the checks below fail
        }
        reader.join();
        EXPECT_EQ(status, kIOReturnSuccess);
        EXPECT_EQ(got, 512u);

        // Stalled control request, then the default pipe's stall cleared.
        model->script({0xC0, 0x49, std::nullopt, std::nullopt},
                      {usbsim::ScriptedStep::answer(usbsim::ControlReply::stall())});
        UInt8 select = 0;
        IOUSBDevRequestTO request = {0xC0, 0x49, 0, 0, 1, &select, 0, 1000, 5000};
        EXPECT_EQ(service->DeviceRequest(&request), kIOUSBPipeStalled);
        EXPECT_EQ(service->GetPipeZero()->ClearPipeStall(true), kIOReturnSuccess);
        EXPECT_EQ(service->DeviceRequest(&request), kIOReturnSuccess);
        EXPECT_EQ(request.wLenDone, 1u);
        EXPECT_EQ(select, 0x30);

        // The controller: frame number and high-speed bandwidth.
        const UInt64 frame = host->controller()->GetFrameNumber();
        bus.runFrames(3);
        EXPECT_EQ(host->controller()->GetFrameNumber(), frame + 3);
        bus.injectUnreadableFrameNumber(1);
        EXPECT_EQ(host->controller()->GetFrameNumber(), ~UInt64{0});
        EXPECT_EQ(host->controller()->GetBandwidthAvailable(), 6000u);

        buffer->release();
        service->close(client);
        service->release();
    }

} // namespace
