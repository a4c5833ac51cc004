// sonvexa-audiod: the audio server's part for the AudioServer plug-in. Loads a driver bundle
// through its factory, gives it a host interface and lists its objects, plays and records through
// a device and reports, or keeps it running and prints what it announces until stopped.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "AudioServerHost.h"
#include "CoreFoundation/CoreFoundation.h"
#include "IOEngine.h"
#include "PlayRecord.h"
#include "Wav.h"
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
                 "       sonvexa-audiod [--socket PATH] [--driver PATH] --play [--wav FILE] [--record FILE.wav]\n"
                 "                      [--seconds N]\n"
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
                 "  --play             run the device's IO cycles the way the audio server does (a real-time\n"
                 "                     thread timed by the device's zero time stamps) on the first device:\n"
                 "                     play a 997 Hz tone, record the device's input at the same time,\n"
                 "                     then report frames played and recorded, overloads, whether the\n"
                 "                     recording equals what was played (bit-exact after the converters,\n"
                 "                     aligned on the device's sample times) and the round-trip delay\n"
                 "                     beside the latencies and safety offsets the device reports\n"
                 "  --wav FILE         play this WAV file (integer PCM, 16/24/32 bits) instead of the tone;\n"
                 "                     the device is first set to the file's rate when it offers it\n"
                 "  --record FILE.wav  write what the device's input recorded there\n"
                 "  --seconds N        how long to play (default 2; the recording runs on for the round trip)\n"
                 "  --help             this text\n"
                 "\n"
                 "With --play the exit status is 0 when the run ended and nothing came back wrong, 1\n"
                 "otherwise. Without --list or --play it runs until SIGINT or SIGTERM and prints each announcement and each\n"
                 "configuration change it performs. The storage file is %s under SONVEXA_ROOT; the\n"
                 "process name and id the plug-in sees come from SONVEXA_PROCESS_NAME and SONVEXA_PID.\n",
                 audiod::AudioServerHost::kDefaultDriverPath, audiod::AudioServerHost::kDefaultStoragePath);
}

std::string deviceName(const audiod::AudioServerHost& host, AudioObjectID device)
{
    const audiod::PropertyValue value =
        host.get(device, {kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMaster});
    CFStringRef name = nullptr;
    if (value.status != 0 || value.bytes.size() != sizeof name) {
        return "device " + std::to_string(device);
    }
    std::memcpy(&name, value.bytes.data(), sizeof name);
    char text[256] = {};
    if (name != nullptr) {
        CFStringGetCString(name, text, sizeof text, kCFStringEncodingUTF8);
        CFRelease(name);
    }
    return text;
}

// Sets the device to the file's rate when it runs at another; says so when the device does not
// take it (the file then plays at the device's rate).
void followFileRate(audiod::AudioServerHost& host, AudioObjectID device, const audiod::wav::Audio& file)
{
    const AudioObjectPropertyAddress rate{kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal,
                                          kAudioObjectPropertyElementMaster};
    Float64 current = 0;
    const audiod::PropertyValue value = host.get(device, rate);
    if (value.bytes.size() == sizeof current) {
        std::memcpy(&current, value.bytes.data(), sizeof current);
    }
    const auto wanted = static_cast<Float64>(file.rate);
    if (current == wanted) {
        return;
    }
    const size_t before = host.configurationChanges().size();
    const OSStatus status = host.set(device, rate, &wanted, sizeof wanted);
    if (status == 0 && host.waitFor([&](const auto&, const auto& changes) { return changes.size() > before; }, 10.0)) {
        host.settle();
        return;
    }
    std::printf("sonvexa-audiod: the device does not take the file's %u Hz (%s); the file plays at %.0f Hz\n",
                file.rate, audiod::fourCC(static_cast<uint32_t>(status)).c_str(), current);
}

int playAndRecord(audiod::AudioServerHost& host, double seconds, const audiod::wav::Audio* file,
                  const std::string& recordPath)
{
    const AudioObjectID device = host.devices().at(0);
    const std::string name = deviceName(host, device);
    if (file != nullptr) {
        followFileRate(host, device, *file);
    }
    audiod::IOEngine engine(host, device);
    audiod::PlayRecord client(seconds, file);
    std::string error;
    // The device gives up starting when the kernel does not take its client within half a second
    // (a loaded machine): asked again, as an application would.
    bool started = false;
    for (int attempt = 0; attempt < 3 && !started && !gStop.load(); ++attempt) {
        started = engine.start(client, error) == 0;
        if (!started) {
            std::fprintf(stderr, "sonvexa-audiod: \"%s\" does not run: %s\n", name.c_str(), error.c_str());
        }
    }
    if (!started) {
        return 1;
    }
    std::printf("sonvexa-audiod: playing and recording on \"%s\" for %.2f s\n", name.c_str(),
                client.plannedSeconds());
    std::fflush(stdout);
    // The engine's cycles end it; the clock only when the device stops giving time stamps.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(client.plannedSeconds() + 10);
    while (!client.done() && !gStop.load() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const bool finished = client.done();
    engine.stop();
    const audiod::PlayReport report = client.report(engine.counters());
    std::printf("sonvexa-audiod: report for \"%s\"%s\n%s", name.c_str(),
                finished ? "" : gStop.load() ? " (stopped early)" : " (the device stopped giving time stamps)",
                report.text().c_str());
    bool written = true;
    if (!recordPath.empty()) {
        written = audiod::wav::write(recordPath, client.recording(), error);
        if (written) {
            std::printf("  recording:   %s\n", recordPath.c_str());
        } else {
            std::fprintf(stderr, "sonvexa-audiod: %s\n", error.c_str());
        }
    }
    std::fflush(stdout);
    const bool wrong = report.comparison == audiod::PlayReport::Comparison::differs ||
                       report.comparison == audiod::PlayReport::Comparison::notAligned;
    return finished && written && !wrong ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    std::string driverPath = audiod::AudioServerHost::kDefaultDriverPath;
    bool driverGiven = false;
    bool list = false;
    long devices = 0;
    double timeout = 30.0;
    bool play = false;
    double seconds = 2.0;
    std::string wavPath;
    std::string recordPath;
    for (int index = 1; index < argc; ++index) {
        const std::string argument = argv[index];
        const bool hasValue = index + 1 < argc;
        if (argument == "--help" || argument == "-h") {
            usage(stdout);
            return 0;
        } else if (argument == "--list") {
            list = true;
        } else if (argument == "--play") {
            play = true;
        } else if (argument == "--wav" && hasValue) {
            wavPath = argv[++index];
        } else if (argument == "--record" && hasValue) {
            recordPath = argv[++index];
        } else if (argument == "--seconds" && hasValue) {
            char* end = nullptr;
            seconds = std::strtod(argv[++index], &end);
            if (end == nullptr || *end != '\0' || !(seconds > 0.0) || seconds > 3600.0) {
                std::fprintf(stderr, "sonvexa-audiod: --seconds wants a duration from 0 to 3600, not \"%s\"\n",
                             argv[index]);
                return 2;
            }
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

    if (!play && (!wavPath.empty() || !recordPath.empty())) {
        std::fprintf(stderr, "sonvexa-audiod: --wav and --record go with --play\n");
        return 2;
    }
    if (play && list) {
        std::fprintf(stderr, "sonvexa-audiod: --play and --list are two different runs\n");
        return 2;
    }
    // Checked before anything starts.
    audiod::wav::Audio file;
    std::string error;
    if (!wavPath.empty() && !audiod::wav::read(wavPath, file, error)) {
        std::fprintf(stderr, "sonvexa-audiod: %s\n", error.c_str());
        return 1;
    }
    if (play && devices == 0) {
        devices = 1;
    }

    audiod::AudioServerHost host;
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
    if (play) {
        return playAndRecord(host, seconds, wavPath.empty() ? nullptr : &file, recordPath);
    }
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
