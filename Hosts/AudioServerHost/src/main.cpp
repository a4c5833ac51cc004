// sonvexa-audiod: the audio server's part for the AudioServer plug-in. Loads a driver bundle
// through its factory, gives it a host interface and lists its objects, or keeps it running and
// prints what it announces until stopped.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "AudioServerHost.h"
#include "platform/IOKitUser.h"
#include "platform/Log.h"
#include "platform/ProcessEnvironment.h"

namespace {

std::atomic<bool> gStop{false};

void onSignal(int)
{
    gStop.store(true);
}

void usage(FILE* stream)
{
    std::fprintf(stream,
                 "usage: sonvexa-audiod [--socket PATH] [--driver PATH] [--list] [--devices N] [--timeout SECONDS]\n"
                 "\n"
                 "Plays the audio server for an AudioServer plug-in: loads the driver bundle through its\n"
                 "factory, hands it a host interface (property changes, storage, configuration changes)\n"
                 "and lets it find the devices sonvexa-kerneld serves.\n"
                 "\n"
                 "  --socket PATH      the kernel host's socket (default: $SONVEXA_KERNEL_SOCKET, else the\n"
                 "                     default under SONVEXA_ROOT)\n"
                 "  --driver PATH      the driver bundle (default %s under SONVEXA_ROOT,\n"
                 "                     else the one this build made)\n"
                 "  --list             print every object, its class, name and property values, then exit\n"
                 "  --devices N        first wait until the plug-in lists N devices\n"
                 "  --timeout SECONDS  how long --devices waits (default 30)\n"
                 "  --help             this text\n"
                 "\n"
                 "Without --list it runs until SIGINT or SIGTERM and prints each announcement and each\n"
                 "configuration change it performs. The storage file is %s under SONVEXA_ROOT; the\n"
                 "process name and id the plug-in sees come from SONVEXA_PROCESS_NAME and SONVEXA_PID.\n",
                 audiod::AudioServerHost::kDefaultDriverPath, audiod::AudioServerHost::kDefaultStoragePath);
}

} // namespace

int main(int argc, char** argv)
{
    std::string driverPath = audiod::AudioServerHost::kDefaultDriverPath;
    bool driverGiven = false;
    bool list = false;
    long devices = 0;
    double timeout = 30.0;
    for (int index = 1; index < argc; ++index) {
        const std::string argument = argv[index];
        const bool hasValue = index + 1 < argc;
        if (argument == "--help" || argument == "-h") {
            usage(stdout);
            return 0;
        } else if (argument == "--list") {
            list = true;
        } else if (argument == "--socket" && hasValue) {
            platform::iokit::user::setKernelSocketPath(argv[++index]);
        } else if (argument == "--driver" && hasValue) {
            driverPath = argv[++index];
            driverGiven = true;
        } else if (argument == "--devices" && hasValue) {
            char* end = nullptr;
            devices = std::strtol(argv[++index], &end, 10);
            if (end == nullptr || *end != '\0' || devices < 0) {
                std::fprintf(stderr, "sonvexa-audiod: --devices wants a count, not \"%s\"\n", argv[index]);
                return 2;
            }
        } else if (argument == "--timeout" && hasValue) {
            char* end = nullptr;
            timeout = std::strtod(argv[++index], &end);
            if (end == nullptr || *end != '\0' || !(timeout >= 0.0)) {
                std::fprintf(stderr, "sonvexa-audiod: --timeout wants seconds, not \"%s\"\n", argv[index]);
                return 2;
            }
        } else {
            std::fprintf(stderr, "sonvexa-audiod: unknown or incomplete argument \"%s\"\n\n", argument.c_str());
            usage(stderr);
            return 2;
        }
    }

    audiod::AudioServerHost host;
    std::string error;
    bool loaded = host.load(driverPath, error);
#ifdef SONVEXA_BUILT_DRIVER
    // The driver as this build made it, at its build path (not under the root), when none is
    // installed and none was named.
    if (!loaded && !driverGiven) {
        platform::process::ScopedOverride unrooted(platform::process::Overrides{.root = "/"});
        loaded = host.load(SONVEXA_BUILT_DRIVER, error);
    }
#endif
    if (!loaded) {
        std::fprintf(stderr, "sonvexa-audiod: %s\n", error.c_str());
        return 1;
    }
    const OSStatus status = host.initialize();
    if (status != 0) {
        std::fprintf(stderr, "sonvexa-audiod: the plug-in's Initialize failed with %s\n",
                     audiod::fourCC(static_cast<uint32_t>(status)).c_str());
        return 1;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    while (static_cast<long>(host.devices().size()) < devices) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::fprintf(stderr, "sonvexa-audiod: %zu of %ld devices after %.0f s\n", host.devices().size(), devices,
                         timeout);
            return 1;
        }
        host.waitFor([](const auto&, const auto&) { return false; }, 0.05);
    }
    host.settle();
    if (list) {
        std::fputs(host.list().c_str(), stdout);
        return 0;
    }

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::printf("sonvexa-audiod: %zu devices\n", host.devices().size());
    std::fflush(stdout);
    size_t changesShown = 0;
    size_t configurationShown = 0;
    while (!gStop.load()) {
        host.waitFor([&](const auto& changes, const auto& configuration) {
            return changes.size() > changesShown || configuration.size() > configurationShown || gStop.load();
        }, 0.2);
        const auto changes = host.changes();
        for (; changesShown < changes.size(); ++changesShown) {
            const auto& change = changes[changesShown];
            std::printf("changed: object %u %s %s\n", change.object, audiod::fourCC(change.address.mSelector).c_str(),
                        audiod::fourCC(change.address.mScope).c_str());
        }
        const auto configuration = host.configurationChanges();
        for (; configurationShown < configuration.size(); ++configurationShown) {
            const auto& change = configuration[configurationShown];
            std::printf("configuration change: device %u action %llu status %d\n", change.device,
                        static_cast<unsigned long long>(change.action), static_cast<int>(change.performed));
        }
        std::fflush(stdout);
    }
    return 0;
}
