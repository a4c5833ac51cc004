// The whole driver in one process, for tests and the fuzzer: a kernel host with the driver's
// classes and the kext's personalities loaded, the simulated bus published to it by the USB
// family, all on the virtual clock.
//
//   driver_test::DriverFixture driver;
//   VKKernelDevice* service = driver.plug(model);   // started and registered, or null
//   ... driver.requestLog() ... driver.runFor(ms(100)) ...
//   driver.unplug();                                 // terminated, waited for
//   EXPECT_EQ(driver.liveInstances(), driver_test::LiveInstances{});
//
// plug() advances the virtual clock until the registry is quiet (matching done, the service
// started or failed), so the driver's own waits (settle delays, retries, time-outs) pass in
// simulated time. Every wait is bounded: a driver that hangs makes the call throw
// platform::host_clock::virtual_clock::SettleError, or return after `kQuietLimit` of simulated time.
//
// Thread safety: one test thread drives a fixture; only one fixture lives at a time per process
// (the virtual clock and the driver catalogue are process-wide).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kernel_host/KernelHost.h"
#include "platform/HostClock.h"
#include "platform/USBHost.h"
#include "usbsim/Bus.h"

class VKKernelDevice;
class VKDevice;
class OSDictionary;

namespace driver_test {

constexpr uint64_t kMillisecond = 1'000'000;
// Simulated time a plug or unplug may take before the fixture gives up waiting.
constexpr uint64_t kQuietLimit = 120'000 * kMillisecond;

// Objects of the driver still alive; all zero once every device left and the registry is quiet.
struct LiveInstances
{
    unsigned kernelDevices = 0; // VKKernelDevice services
    int devices = 0;            // VKDevice objects
    int kernelThreads = 0;      // kernel threads still running
    unsigned interfaces = 0;    // IOUSBInterface services of the bus's devices
    unsigned userClients = 0;   // user clients

    bool operator==(const LiveInstances&) const = default;
};

struct FixtureOptions
{
    uint64_t firstFrame = 0; // the bus's frame number at start (near 2^32 to test a wrap)
};

class DriverFixture
{
public:
    explicit DriverFixture(const FixtureOptions& options = {});
    // Unplugs what is still plugged and waits for the registry to go quiet.
    ~DriverFixture();
    DriverFixture(const DriverFixture&) = delete;
    DriverFixture& operator=(const DriverFixture&) = delete;

    // Attaches a device of this model and waits until matching is done. The started service
    // (borrowed; valid until unplug), or null when no driver started on it. `beforeAttach` runs
    // on the attached simulated device before the USB family publishes it (fault injection that
    // must see the first request, such as unplugAtControlRequest).
    using BeforePublish = std::function<void(usbsim::Device&)>;
    VKKernelDevice* plug(std::shared_ptr<usbsim::DeviceModel> model, const usbsim::AttachOptions& options = {},
                         BeforePublish beforePublish = {});
    // A model of the simulated catalogue, by name; null when there is no such model. A model the
    // kext does not list (the bus's own test devices) is given a personality of its own first.
    VKKernelDevice* plug(const std::string& modelName, const usbsim::AttachOptions& options = {},
                         BeforePublish beforePublish = {});
    // The device leaves the bus; waits until its service has terminated and been freed.
    void unplug();

    // One more personality of the driver for a device the kext does not list (a test device),
    // with this "QzSpecific" dictionary (none when null). It wins over a kext personality of the
    // same device, and goes with the fixture.
    void addPersonality(uint16_t vendor, uint16_t product, OSDictionary* qzSpecific = nullptr);

    // The plugged device (null before plug and after unplug), its model and its service.
    const std::shared_ptr<usbsim::Device>& device() const { return m_device; }
    usbsim::DeviceModel* model() const { return m_model.get(); }
    VKKernelDevice* service() const { return m_service; }
    VKDevice* vkDevice() const;

    // The control requests the device saw, in order (the simulated device's log).
    std::vector<usbsim::LoggedRequest> requestLog() const;
    void clearRequestLog();

    // Simulated time. runFor advances in 1 ms steps; waitQuiet advances until the registry is
    // quiet (false after kQuietLimit).
    void runFor(uint64_t nanoseconds);
    bool waitQuiet(uint64_t limit = kQuietLimit);

    // Runs `work` on a thread that takes part in simulated time (as the kernel's request, power and
    // termination threads do), advancing the clock until it returns (at most kQuietLimit).
    // False when it did not return in time (it is then still waited for).
    bool runInKernel(const std::function<void()>& work);

    LiveInstances liveInstances() const;

    usbsim::Bus& bus() { return *m_bus; }
    platform::usb::USBHost& usbHost() { return *m_usb; }
    kernel_host::KernelHost& host() { return *m_host; }

private:
    class Hook;
    // Advances the clock until at most `count` services of the driver are alive (a termination
    // may still wait for a start that the device left during); with `onlyWhileGone`, only when
    // the plugged device already left.
    void waitForServices(unsigned count, bool onlyWhileGone);
    platform::host_clock::virtual_clock::Scope m_clock;
    std::unique_ptr<kernel_host::KernelHost> m_host;
    std::unique_ptr<usbsim::Bus> m_bus;
    std::unique_ptr<Hook> m_hook; // observes the bus before the USB family does
    std::unique_ptr<platform::usb::USBHost> m_usb;
    std::shared_ptr<usbsim::DeviceModel> m_model;
    std::shared_ptr<usbsim::Device> m_device;
    VKKernelDevice* m_service = nullptr; // retained while plugged
};

} // namespace driver_test
