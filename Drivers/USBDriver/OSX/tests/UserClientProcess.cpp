// The other process of the user clients' multi-process tests, talking to sonvexa-kerneld through
// the user-side IOKit only.
//   UserClientProcess hold SOCKET
//       opens an audio, a control and an AudioServer client of the kernel device, maps every
//       block they offer, starts the AudioServer client's hardware (when the device is
//       configured), prints "ready SLOT" and waits to be killed.
//   UserClientProcess scribble SOCKET SECONDS SEED
//       opens the same clients, maps the same blocks, and for SECONDS writes random bytes over
//       every block and calls every method with random scalars and structures; prints
//       "scribbled CALLS" and exits 0.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "IOKit/IOKitLib.h"
#include "platform/IOKitUser.h"

namespace {

// Connection types, memory types and selectors of the kernel device's clients.
constexpr uint32_t kAudio = 0;
constexpr uint32_t kControl = 2;
constexpr uint32_t kAudioServer = 3;
constexpr uint32_t kStartHardware = 2;
constexpr uint32_t kAudioServerSelectors = 8;
constexpr uint32_t kAudioSelectors = 3;

struct Block
{
    uint8_t* address = nullptr;
    size_t size = 0;
};

struct Clients
{
    io_connect_t audio = 0;
    io_connect_t control = 0;
    io_connect_t audioServer = 0;
    std::vector<Block> blocks;
};

bool openAll(const std::string& socket, Clients& clients)
{
    platform::iokit::user::setKernelSocketPath(socket);
    io_service_t device = IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching("VKKernelDevice"));
    if (device == 0 || IOServiceOpen(device, mach_task_self(), kAudio, &clients.audio) != kIOReturnSuccess ||
        IOServiceOpen(device, mach_task_self(), kControl, &clients.control) != kIOReturnSuccess ||
        IOServiceOpen(device, mach_task_self(), kAudioServer, &clients.audioServer) != kIOReturnSuccess) {
        std::fprintf(stderr, "cannot open the device's clients\n");
        return false;
    }
    IOObjectRelease(device);
    const std::pair<io_connect_t, uint32_t> maps[] = {{clients.audio, 1},       {clients.audio, 4},
                                                      {clients.audio, 5},       {clients.audio, 7},
                                                      {clients.audioServer, 5}, {clients.audioServer, 1}};
    for (auto [connection, type] : maps) {
        mach_vm_address_t address = 0;
        mach_vm_size_t size = 0;
        if (IOConnectMapMemory64(connection, type, mach_task_self(), &address, &size, kIOMapAnywhere) !=
            kIOReturnSuccess) {
            std::fprintf(stderr, "cannot map type %u\n", type);
            return false;
        }
        clients.blocks.push_back({reinterpret_cast<uint8_t*>(address), static_cast<size_t>(size)});
    }
    return true;
}

int hold(const std::string& socket)
{
    Clients clients;
    if (!openAll(socket, clients)) {
        return 1;
    }
    uint64_t frames = 512;
    uint64_t slot = ~uint64_t{0};
    uint32_t count = 1;
    IOConnectCallScalarMethod(clients.audioServer, kStartHardware, &frames, 1, &slot, &count);
    std::printf("ready %lld\n", static_cast<long long>(slot));
    std::fflush(stdout);
    for (;;) {
        pause();
    }
}

int scribble(const std::string& socket, double seconds, unsigned seed)
{
    Clients clients;
    if (!openAll(socket, clients)) {
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    std::mt19937_64 random(seed);
    std::vector<uint8_t> in(1024);
    std::vector<uint8_t> out(1024);
    unsigned long calls = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        for (const Block& block : clients.blocks) {
            // A few thousand random bytes at random places, and now and then a whole header.
            for (int i = 0; i < 4096; ++i) {
                block.address[random() % block.size] = static_cast<uint8_t>(random());
            }
            const size_t tail = block.size > 1024 ? block.size - 1024 : 0;
            for (size_t at = tail; at < block.size; ++at) {
                block.address[at] = static_cast<uint8_t>(random());
            }
        }
        for (uint8_t& b : in) {
            b = static_cast<uint8_t>(random());
        }
        const io_connect_t connections[] = {clients.audio, clients.control, clients.audioServer};
        const io_connect_t connection = connections[random() % 3];
        const uint32_t selector = static_cast<uint32_t>(random() % (kAudioServerSelectors + 2));
        uint64_t scalars[4] = {random() % 4096, random(), random(), random()};
        const uint32_t scalarCount = static_cast<uint32_t>(random() % 4);
        uint64_t scalarOut[4] = {};
        uint32_t scalarOutCount = static_cast<uint32_t>(random() % 3);
        const size_t sizes[] = {0, 260, 268, static_cast<size_t>(random() % in.size())};
        const size_t inSize = sizes[random() % 4];
        size_t outSize = sizes[random() % 4];
        IOConnectCallMethod(connection, selector, scalars, scalarCount, in.data(), inSize, scalarOut, &scalarOutCount,
                            out.data(), &outSize);
        if (connection == clients.audio && selector < kAudioSelectors && random() % 8 == 0) {
            // Also through the memory calls: any type, mapped and given back.
            mach_vm_address_t address = 0;
            mach_vm_size_t size = 0;
            const uint32_t type = static_cast<uint32_t>(random() % 10);
            if (IOConnectMapMemory64(connection, type, mach_task_self(), &address, &size, kIOMapAnywhere) ==
                kIOReturnSuccess) {
                IOConnectUnmapMemory64(connection, type, mach_task_self(), address);
            }
        }
        ++calls;
    }
    std::printf("scribbled %lu\n", calls);
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string role = argc > 1 ? argv[1] : "";
    if (role == "hold" && argc == 3) {
        return hold(argv[2]);
    }
    if (role == "scribble" && argc == 5) {
        return scribble(argv[2], std::atof(argv[3]), static_cast<unsigned>(std::strtoul(argv[4], nullptr, 10)));
    }
    std::fprintf(stderr, "usage: UserClientProcess hold SOCKET | scribble SOCKET SECONDS SEED\n");
    return 2;
}
