// The other process of the device layer's multi-process tests.
//   DeviceLayerProcess open SOCKET NAME UID
//       as process NAME of user UID, makes a device manager on its main run loop and, once the
//       device is there, prints "device HERE FREQ INCH INRES OUTCH OUTRES" (HERE: 1 when this
//       process configured it) and exits 0; "no device" and exit 1 when none came.
//   DeviceLayerProcess rate SOCKET NAME UID RATE
//       the same, then asks the device for RATE; prints "rate OK" (exit 0) or "rate refused"
//       (exit 1).
//   DeviceLayerProcess stream SOCKET NAME UID
//       the same, then starts an IO procedure (silence out), prints "streaming" once it has been
//       called and streams until it is killed.
//   DeviceLayerProcess stall SOCKET
//       opens the device's connection, raises the configuring counter as a configuring process
//       does, prints "stalled" and waits to be killed: a process that dies while it configures.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "CoreFoundation/CFRunLoop.h"
#include "DeviceManagerClient.h"
#include "DriverConnection.h"
#include "IOKit/IOKitLib.h"
#include "OSXDeviceManager.h"
#include "VKOSXDevice.h"
#include "platform/IOKitUser.h"
#include "platform/ProcessEnvironment.h"

namespace {

struct Quiet : DeviceManagerClient
{
    void deviceAdded(VKOSXDevice*) override {}
    void deviceRemoved(VKOSXDevice*) override {}
};

std::atomic<uint32_t> g_calls{0};

OSStatus countingProc(AudioDeviceID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                      AudioBufferList*, const AudioTimeStamp*, void*)
{
    g_calls.fetch_add(1);
    return 0;
}

int openDevice(const std::string& socket, const std::string& name, uid_t uid, uint32_t rate = 0,
               bool stream = false)
{
    platform::iokit::user::setKernelSocketPath(socket);
    platform::process::ScopedOverride who{{.name = name, .uid = uid}};
    Quiet client;
    OSXDeviceManager manager(nullptr, &client, false);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (manager.getCountDevices() == 0 && std::chrono::steady_clock::now() < deadline) {
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.01, true);
    }
    if (manager.getCountDevices() == 0) {
        std::printf("no device\n");
        return 1;
    }
    VKOSXDevice* device = manager.getDevice(0);
    const QzChannelSettings& s = device->trueChannels();
    std::printf("device %d %d %d %d %d %d\n", device->configuredHere() ? 1 : 0, s.iFrequency, s.iInChannels,
                s.iInResolution, s.iOutChannels, s.iOutResolution);
    std::fflush(stdout);
    if (stream) {
        IOProcEntry* id = device->addIOProcID(&countingProc, nullptr);
        if (id == nullptr || !device->onDeviceStartProcOrID(id)) {
            std::printf("no stream\n");
            return 1;
        }
        while (g_calls.load() == 0 &&
               std::chrono::steady_clock::now() < deadline + std::chrono::seconds(60)) {
            CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.01, true);
        }
        std::printf("%s\n", g_calls.load() != 0 ? "streaming" : "no stream");
        std::fflush(stdout);
        for (;;) {
            CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.05, true);
        }
    }
    if (rate != 0) {
        const bool set = device->setFrequency(false, rate);
        std::printf("rate %s\n", set ? "OK" : "refused");
        return set ? 0 : 1;
    }
    return 0;
}

int stall(const std::string& socket)
{
    platform::iokit::user::setKernelSocketPath(socket);
    io_service_t service =
        IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching("VKKernelDevice"));
    if (service == 0) {
        std::printf("no device\n");
        return 1;
    }
    DriverConnection connection(service);
    if (!connection.ioOpenConnection() || connection.driverSM() == nullptr) {
        std::printf("no connection\n");
        return 1;
    }
    std::atomic_ref<uint32_t>(connection.driverSM()->bIsConfiguring).fetch_add(1);
    std::printf("stalled\n");
    std::fflush(stdout);
    for (;;) {
        pause();
    }
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "open" && argc == 5) {
        return openDevice(argv[2], argv[3], static_cast<uid_t>(std::strtoul(argv[4], nullptr, 10)));
    }
    if (mode == "rate" && argc == 6) {
        return openDevice(argv[2], argv[3], static_cast<uid_t>(std::strtoul(argv[4], nullptr, 10)),
                          static_cast<uint32_t>(std::strtoul(argv[5], nullptr, 10)));
    }
    if (mode == "stream" && argc == 5) {
        return openDevice(argv[2], argv[3], static_cast<uid_t>(std::strtoul(argv[4], nullptr, 10)), 0, true);
    }
    if (mode == "stall" && argc == 3) {
        return stall(argv[2]);
    }
    std::fprintf(stderr, "usage: DeviceLayerProcess open SOCKET NAME UID | rate SOCKET NAME UID RATE | "
                         "stream SOCKET NAME UID | stall SOCKET\n");
    return 2;
}
