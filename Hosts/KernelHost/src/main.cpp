// sonvexa-kerneld: the kernel host. It loads the driver bundles, runs their services and serves
// user processes over a Unix socket until SIGINT or SIGTERM.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sched.h>
#include <string>
#include <vector>

#include "IOKit/IOLib.h"
#include "SimulatedDevices.h"
#include "kernel_host/KernelHost.h"
#include "kernel_host/KernelServer.h"
#include "platform/IOKitWire.h"
#include "platform/Log.h"
#include "platform/ProcessEnvironment.h"
#include "platform/USBHost.h"
#include "usbsim/Catalogue.h"
#include "usbsim/models/FileModel.h"

namespace {

constexpr const char* kDefaultKextFolder = "/Library/Extensions";
// The driver bundle of this build (VKSonvexa.kext).
constexpr const char* kBuiltDriver = SONVEXA_BUILT_DRIVER;

void usage(FILE* out)
{
    std::fprintf(out,
                 "usage: sonvexa-kerneld [options]\n"
                 "\n"
                 "Runs the kernel side of the driver: loads driver bundles, matches them to devices\n"
                 "and serves user processes on a Unix socket. Stops cleanly on SIGINT or SIGTERM.\n"
                 "\n"
                 "options:\n"
                 "  --socket PATH   the socket to listen on (default: $%s, else\n"
                 "                  %s under the root folder)\n"
                 "  --kexts FOLDER  load every *.kext bundle in FOLDER, a system path under the root\n"
                 "                  folder (default: %s; a missing default folder is not an error)\n"
                 "  --kext BUNDLE   load one bundle (a system path under the root folder); may repeat\n"
                 "  --without-driver\n"
                 "                  do not load the driver this build made (%s)\n"
                 "  --device MODEL  attach a simulated device of MODEL once the host runs; may repeat\n"
                 "                  (sonvexa-kernelctl attaches and detaches them later)\n"
                 "  --clock-ppm PPM the sample clock of the --device before it runs PPM parts per\n"
                 "                  million fast (negative: slow; -100000 to 100000)\n"
                 "  --device-file FILE [--speed full|high] [--side-file SIDE]\n"
                 "                  attach a device read from a descriptors file (as Linux shows it in\n"
                 "                  /sys/bus/usb/devices/*/descriptors); --speed and a side file (speed,\n"
                 "                  strings, replies) for what the file does not say; may repeat. A file\n"
                 "                  that is not a descriptor set is refused before the host starts\n"
                 "  --list-models   list the device models (name, VID:PID, bcd, description) and exit\n"
                 "  --log FILE      write the kernel log to FILE instead of standard error\n"
                 "  --shutdown-timeout SECONDS\n"
                 "                  on SIGINT or SIGTERM, wait at most this long for requests still\n"
                 "                  in a driver, then log them and exit with status 1 (default: 5)\n"
                 "  --user-log-lines LINES\n"
                 "                  the kernel log lines the processes of one user may cause in 10 s,\n"
                 "                  the driver's on their behalf included; the rest are counted and\n"
                 "                  the count logged (default: 20)\n"
                 "  --help          show this text\n"
                 "\n"
                 "environment:\n"
                 "  SONVEXA_ROOT    the root folder that every system path is placed under\n",
                 platform::iokit::wire::kSocketEnvironment, platform::iokit::wire::kDefaultSocketPath,
                 kDefaultKextFolder, kBuiltDriver);
}

// A whole number of seconds from 0 to one day.
bool parseSeconds(const std::string& text, int* seconds)
{
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0' || errno != 0 || value < 0 || value > 86'400) {
        return false;
    }
    *seconds = static_cast<int>(value);
    return true;
}

// A whole number from 1 to a billion.
bool parseCount(const std::string& text, size_t* count)
{
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0' || errno != 0 || value < 1 || value > 1'000'000'000) {
        return false;
    }
    *count = static_cast<size_t>(value);
    return true;
}

int fail(const std::string& message)
{
    std::fprintf(stderr, "sonvexa-kerneld: %s\n", message.c_str());
    return 1;
}

// The host stands in for the kernel, whose USB completions and driver threads run ahead of every
// user process: on the real clock a completion held back by a busy machine past the frames the
// driver queued ahead breaks the stream. Where the system allows it, the threads the host starts
// for its drivers and its bus (from this thread, until scheduleAsAUser) run round-robin at the
// lowest real-time priority. Called before the host starts its threads.
void scheduleAsTheKernel()
{
    sched_param parameter{};
    parameter.sched_priority = sched_get_priority_min(SCHED_RR);
    if (sched_setscheduler(0, SCHED_RR, &parameter) != 0) {
        IOLog("sonvexa-kerneld: no real-time scheduling (%s): on a busy machine streams may break\n",
              std::strerror(errno));
    }
}

// The threads that serve user processes run at a user process's priority, as a kernel runs a
// request on its caller's thread: a process flooding the host with requests gets no more of the
// machine than any other process. Called before the server starts its threads.
void scheduleAsAUser()
{
    sched_param parameter{};
    sched_setscheduler(0, SCHED_OTHER, &parameter);
}

} // namespace

int main(int argc, char** argv)
{
    std::string socketPath;
    std::string kextFolder;
    std::vector<std::string> kexts;
    std::string logPath;
    struct CommandLineDevice
    {
        std::string model;
        std::optional<int32_t> ppm;
    };
    std::vector<CommandLineDevice> devices;
    std::vector<usbsim::models::DeviceFiles> deviceFiles;
    int shutdownSeconds = 5;
    size_t userLogLines = kernel_host::KernelServer::Limits{}.logLinesPerWindow;
    bool withoutDriver = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= argc) {
                return false;
            }
            into = argv[++i];
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        }
        if (arg == "--list-models") {
            std::fputs(kernel_host::SimulatedDevices::models().c_str(), stdout);
            return 0;
        }
        std::string v;
        if (arg == "--socket" && value(socketPath)) {
        } else if (arg == "--device" && value(v)) {
            devices.push_back({v, std::nullopt});
        } else if (arg == "--clock-ppm" && !devices.empty() && value(v)) {
            devices.back().ppm = kernel_host::SimulatedDevices::clockPpm(v);
            if (!devices.back().ppm) {
                return fail("not a clock error in ppm: " + v + " (-100000 to 100000)");
            }
        } else if (arg == "--clock-ppm" && devices.empty()) {
            return fail("--clock-ppm belongs to the --device before it");
        } else if (arg == "--device-file" && value(v)) {
            deviceFiles.emplace_back();
            deviceFiles.back().descriptors = v;
        } else if ((arg == "--speed" || arg == "--side-file") && !deviceFiles.empty() && value(v)) {
            std::string error;
            if (!kernel_host::SimulatedDevices::fileOptions({arg, v}, 0, deviceFiles.back(), &error)) {
                return fail(error);
            }
        } else if ((arg == "--speed" || arg == "--side-file") && deviceFiles.empty()) {
            return fail(arg + " belongs to the --device-file before it");
        } else if (arg == "--kexts" && value(kextFolder)) {
        } else if (arg == "--kext" && value(v)) {
            kexts.push_back(v);
        } else if (arg == "--without-driver") {
            withoutDriver = true;
        } else if (arg == "--log" && value(logPath)) {
        } else if (arg == "--shutdown-timeout" && value(v) && parseSeconds(v, &shutdownSeconds)) {
        } else if (arg == "--user-log-lines" && value(v) && parseCount(v, &userLogLines)) {
        } else {
            usage(stderr);
            return fail("unknown option or missing value: " + arg);
        }
    }
    if (socketPath.empty()) {
        const char* env = std::getenv(platform::iokit::wire::kSocketEnvironment);
        socketPath = env != nullptr && *env != '\0'
                         ? env
                         : platform::process::rootedPath(platform::iokit::wire::kDefaultSocketPath);
    }
    FILE* log = nullptr;
    if (!logPath.empty()) {
        log = std::fopen(logPath.c_str(), "a");
        if (log == nullptr) {
            return fail("cannot open the log file " + logPath + ": " + std::strerror(errno));
        }
        std::setvbuf(log, nullptr, _IOLBF, 0);
        platform::log::setDestination(platform::log::Channel::kernel, log);
    }

    scheduleAsTheKernel();
    // Signals are taken by this thread alone, so every thread started below blocks them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    kernel_host::KernelHost host;
    const bool defaultFolder = kextFolder.empty();
    if (defaultFolder) {
        kextFolder = kDefaultKextFolder;
    }
    std::error_code ec;
    const std::filesystem::path folder = platform::process::rootedPath(kextFolder);
    if (std::filesystem::is_directory(folder, ec)) {
        for (const auto& item : std::filesystem::directory_iterator(folder, ec)) {
            if (item.path().extension() == ".kext") {
                kexts.push_back(kextFolder + "/" + item.path().filename().string());
            }
        }
    } else if (!defaultFolder) {
        return fail("the bundle folder is missing: " + folder.string());
    }
    for (const auto& bundle : kexts) {
        if (host.loadKext(bundle) != kIOReturnSuccess) {
            return fail("cannot load the bundle " + bundle + " (missing or not a driver bundle)");
        }
    }
    // The driver as this build made it, found at its build path (not under the root folder),
    // unless a bundle with its identifier was loaded above.
    if (!withoutDriver) {
        platform::process::ScopedOverride unrooted(platform::process::Overrides{.root = "/"});
        const IOReturn status = host.loadKext(kBuiltDriver);
        if (status != kIOReturnSuccess && status != kIOReturnExclusiveAccess) {
            return fail(std::string("cannot load the driver ") + kBuiltDriver);
        }
    }

    for (const auto& [model, ppm] : devices) {
        if (usbsim::findModel(model) == nullptr) {
            return fail("no such device model: " + model + " (see --list-models)");
        }
    }
    // Device files are read and checked before anything is attached.
    std::vector<usbsim::models::ModelData> fileModels;
    for (const auto& files : deviceFiles) {
        std::string error;
        auto data = usbsim::models::readDeviceFiles(files, &error);
        if (!data) {
            return fail(error);
        }
        fileModels.push_back(std::move(*data));
    }

    // The bus and its devices: the USB family publishes each device to the kernel as it comes.
    usbsim::Bus bus;
    platform::usb::USBHost usb(bus);
    kernel_host::SimulatedDevices simulated(bus);

    kernel_host::KernelServer server(host);
    kernel_host::KernelServer::Limits limits;
    limits.logLinesPerWindow = userLogLines;
    server.setLimits(limits);
    // A device attached or detached by command is matched or terminated before the answer goes
    // out, so the caller finds the registry as the command left it.
    server.setControlHandler([&simulated, &host](const std::vector<std::string>& words, std::string& answer) {
        const IOReturn status = simulated.command(words, answer);
        host.waitQuiet();
        return status;
    });
    // The command line's devices are there before the first client can ask.
    for (const auto& [model, ppm] : devices) {
        int id = 0;
        if (simulated.attach(model, &id, ppm) != kIOReturnSuccess) {
            IOLog("sonvexa-kerneld: cannot attach a device of %s with a clock error\n", model.c_str());
            continue;
        }
        IOLog("sonvexa-kerneld: attached device %d (%s)\n", id, model.c_str());
    }
    for (size_t i = 0; i < deviceFiles.size(); ++i) {
        int id = 0;
        simulated.attachData("file:" + deviceFiles[i].descriptors, fileModels[i], &id);
    }
    host.waitQuiet();
    std::string error;
    scheduleAsAUser();
    if (!server.listen(socketPath, &error)) {
        return fail(error);
    }
    IOLog("sonvexa-kerneld: listening on %s with %zu bundle(s)\n", socketPath.c_str(),
          kexts.size() + (withoutDriver ? 0 : 1));

    int signal = 0;
    sigwait(&signals, &signal);
    IOLog("sonvexa-kerneld: %s, shutting down\n", signal == SIGINT ? "SIGINT" : "SIGTERM");
    if (!server.stop(std::chrono::seconds(shutdownSeconds))) {
        // A driver call that does not return must not keep the host from ending.
        IOLog("sonvexa-kerneld: requests still running after %d s; exiting without them\n", shutdownSeconds);
        platform::log::flush();
        std::fflush(nullptr);
        std::_Exit(1);
    }
    return 0; // the devices leave, then the host terminates every service
}
