// The other process of the user clients' multi-process tests, talking to sonvexa-kerneld through
// the user-side IOKit only.
//   UserClientProcess hold SOCKET
//       opens an audio, a control and an AudioServer client of the kernel device, maps every
//       block they offer, starts the AudioServer client's hardware (when the device is
//       configured), prints "ready SLOT ID" (ID: the AudioServer client's identifier) and, as a
//       client's IO does, keeps its output ring written ahead of the kernel (with silence) until
//       it is killed.
//   UserClientProcess scribble SOCKET SECONDS SEED [beside-stream]
//       opens the same clients, maps the same blocks, and for SECONDS writes random bytes over
//       every block but the read-only input ring and calls every method with random scalars and
//       structures; prints "scribbled CALLS" and exits 0. Beside a stream it never starts its own
//       stream (see scribble).
//   UserClientProcess write-input SOCKET
//       opens an audio client, maps the device's input ring, prints "mapped" and writes zeros over
//       it, as the scribbler does to its blocks: the mapping is read-only, so the process dies of
//       the fault; "wrote" and exit 0 when it did not.
//   UserClientProcess settings SOCKET SECONDS
//       opens an audio client, maps the device shared block, prints "ready" and for SECONDS writes
//       its channel settings over and over, in turn a stream the device carries (48 kHz, stereo,
//       24 bits) and one no device carries (rate 0, 2,147,483,647 channels each way); prints
//       "wrote WRITES" and exits 0.
//   UserClientProcess stream SOCKET SEED
//       opens an audio client, configures the device (request 6 at 48 kHz and 24 bits, 7 with
//       the same settings, 1), maps the input ring and its output ring, attaches (request 2) and
//       plays a one-second signal over and over through the device's loopback while it reads the
//       input ring back. Prints "streaming" once the signal comes back; on SIGTERM it ends the
//       signal, reads the rest of it back, detaches (request 3) and prints "streamed FRAMES frames
//       bit-exact" (exit 0), or where the input first differed from what it played (exit 1).
//   UserClientProcess reenumerate SOCKET COUNT
//       COUNT times: takes a handle of the device's driver service (a new one each time) and keeps
//       it, opens an audio client on it, asks for re-enumeration (request 34) and closes the
//       client. Prints "reenumerated N" (N: the re-enumerations asked for; fewer than COUNT when
//       the host refused a handle or no new service came within 10 s, with the reason), then
//       holds every handle until it is killed.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "AudioSM.h"
#include "DriverSM.h"
#include "IOKit/IOKitLib.h"
#include "LoopbackSignal.h"
#include "OSXDispatch.h"
#include "platform/IOKitUser.h"

// A write to read-only memory ends this process by its signal, also under the address sanitizer
// (which would otherwise report the fault and exit).
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options()
{
    return "handle_segv=0:handle_sigbus=0";
}
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
extern "C" const char* __asan_default_options()
{
    return "handle_segv=0:handle_sigbus=0";
}
#endif
#endif

namespace {

// Connection types, memory types and selectors of the kernel device's clients.
constexpr uint32_t kAudio = 0;
constexpr uint32_t kControl = 2;
constexpr uint32_t kAudioServer = 3;
constexpr uint32_t kStartHardware = 2;
constexpr uint32_t kGetUserClassID = 7;
constexpr uint32_t kAudioServerSelectors = 8;
constexpr uint32_t kAudioSelectors = 3;
constexpr size_t kInputRingBlock = 1;
constexpr size_t kOwnRingBlock = 4; // the AudioServer client's output ring

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
    // The input ring is the second (kInputRingBlock), the AudioServer client's output ring the
    // fifth (kOwnRingBlock).
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

// The output side of a client's IO: its ring kept `kLead` frames ahead of the kernel's output
// position, each frame from `fill(position, frame)` (the frame's samples, zeroed before the call).
constexpr uint32_t kRate = 48'000;
constexpr uint32_t kChannels = 2;
constexpr uint32_t kLead = kRate / 2;
constexpr uint32_t kChunk = kRate / 100;

class RingWriter
{
public:
    // `ring` laid out by the kernel at attach; its geometry is taken once, so that a header another
    // process writes cannot move this client's writes.
    explicit RingWriter(AudioSM& ring)
        : m_ring(ring), m_geometry(ring.geometry()), m_position(shared::load(ring.mOutputPos) + kLead / 4),
          m_chunk(size_t{kChunk} * m_geometry.channels)
    {
    }

    bool usable() const { return m_geometry.usable() && m_geometry.channels == kChannels; }
    uint64_t position() const { return m_position; }

    // False when the kernel took frames before they were written.
    template <class Fill> bool writeAhead(Fill fill)
    {
        const uint64_t output = shared::load(m_ring.mOutputPos);
        if (m_position < output) {
            return false;
        }
        while (m_position < output + kLead) {
            const auto frames = static_cast<uint32_t>(std::min<uint64_t>(kChunk, output + kLead - m_position));
            std::fill(m_chunk.begin(), m_chunk.end(), 0);
            for (uint32_t f = 0; f < frames; ++f) {
                fill(m_position + f, &m_chunk[size_t{f} * kChannels]);
            }
            m_ring.writeFramesToKernelAtPos(m_geometry, m_chunk.data(), frames, m_position, 0, kChannels,
                                            audioInt32CopySet, sizeof(int32_t));
            m_position += frames;
        }
        return true;
    }

private:
    AudioSM& m_ring;
    const AudioSM::Geometry m_geometry;
    uint64_t m_position;
    std::vector<int32_t> m_chunk;
};

int hold(const std::string& socket)
{
    Clients clients;
    if (!openAll(socket, clients)) {
        return 1;
    }
    uint64_t frames = 512;
    uint64_t slot = ~uint64_t{0};
    uint32_t count = 1;
    const bool started =
        IOConnectCallScalarMethod(clients.audioServer, kStartHardware, &frames, 1, &slot, &count) == kIOReturnSuccess;
    uint64_t id = 0;
    IOConnectCallScalarMethod(clients.audioServer, kGetUserClassID, &frames, 1, &id, &count);
    std::printf("ready %lld %llu\n", static_cast<long long>(slot), static_cast<unsigned long long>(id));
    std::fflush(stdout);
    auto* ring = reinterpret_cast<AudioSM*>(clients.blocks[kOwnRingBlock].address);
    while (started && shared::load(ring->mState) != AudioSM::kStateRunning) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (started) {
        RingWriter writer(*ring);
        while (writer.writeAhead([](uint64_t, int32_t*) {})) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    for (;;) {
        pause();
    }
}

// The scribbler writes every block it can: the input ring, which every client reads and only the
// kernel writes, is mapped read-only (writing it would end this process: see write-input).
// Beside a stream it also spares what would legitimately change another client's audio: a ring of
// its own that it attached would be mixed into the device's output.
int scribble(const std::string& socket, double seconds, unsigned seed, bool besideStream)
{
    Clients clients;
    if (!openAll(socket, clients)) {
        return 1;
    }
    clients.blocks.erase(clients.blocks.begin() + kInputRingBlock);
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
        if (besideStream && connection == clients.audioServer && selector == kStartHardware) {
            continue;
        }
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


// The kernel device's audio client, or 0.
io_connect_t openAudio(const std::string& socket)
{
    platform::iokit::user::setKernelSocketPath(socket);
    io_service_t device = IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching("VKKernelDevice"));
    io_connect_t audio = 0;
    if (device == 0 || IOServiceOpen(device, mach_task_self(), kAudio, &audio) != kIOReturnSuccess) {
        return 0;
    }
    IOObjectRelease(device);
    return audio;
}

// Memory of the connection, at least a Type of it; null otherwise.
template <class Type> Type* map(io_connect_t connection, uint32_t type)
{
    mach_vm_address_t address = 0;
    mach_vm_size_t size = 0;
    if (IOConnectMapMemory64(connection, type, mach_task_self(), &address, &size, kIOMapAnywhere) !=
            kIOReturnSuccess ||
        size < sizeof(Type)) {
        return nullptr;
    }
    return reinterpret_cast<Type*>(address);
}

int writeInput(const std::string& socket)
{
    const io_connect_t audio = openAudio(socket);
    if (audio == 0) {
        std::fprintf(stderr, "cannot open the device's audio client\n");
        return 1;
    }
    mach_vm_address_t address = 0;
    mach_vm_size_t size = 0;
    if (IOConnectMapMemory64(audio, 4, mach_task_self(), &address, &size, kIOMapAnywhere) != kIOReturnSuccess) {
        std::fprintf(stderr, "cannot map the input ring\n");
        return 1;
    }
    std::printf("mapped\n");
    std::fflush(stdout);
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    std::memset(reinterpret_cast<void*>(address), 0, static_cast<size_t>(size));
    std::printf("wrote\n");
    std::fflush(stdout);
    return 0;
}

int scribbleSettings(const std::string& socket, double seconds)
{
    const io_connect_t audio = openAudio(socket);
    if (audio == 0) {
        std::fprintf(stderr, "cannot open the device's audio client\n");
        return 1;
    }
    auto* sm = map<DriverSM>(audio, 1);
    if (sm == nullptr) {
        std::fprintf(stderr, "cannot map the device shared block\n");
        return 1;
    }
    QzChannelSettings& settings = sm->mChannelSettings;
    std::printf("ready\n");
    std::fflush(stdout);
    constexpr int32_t kHuge = INT32_MAX;
    const QzChannelSettings carried{48'000, 2, 24, 2, 24, 0};
    const QzChannelSettings refused{0, kHuge, 24, kHuge, 24, 0};
    unsigned long writes = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        const QzChannelSettings& next = writes % 2 == 0 ? carried : refused;
        shared::store(settings.iFrequency, next.iFrequency);
        shared::store(settings.iInChannels, next.iInChannels);
        shared::store(settings.iInResolution, next.iInResolution);
        shared::store(settings.iOutChannels, next.iOutChannels);
        shared::store(settings.iOutResolution, next.iOutResolution);
        shared::store(settings.uConfiguration, next.uConfiguration);
        ++writes;
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    std::printf("wrote %lu\n", writes);
    std::fflush(stdout);
    return 0;
}

// --- The streaming client.

volatile std::sig_atomic_t gStop = 0;

// One request record through the audio client's structure method; the reply back into it.
IOReturn call(io_connect_t connection, OSXDispatch& record)
{
    OSXDispatch reply{};
    size_t replySize = sizeof reply;
    const IOReturn status = IOConnectCallStructMethod(connection, 0, &record, sizeof record, &reply, &replySize);
    if (replySize == sizeof reply) {
        record = reply;
    }
    return status;
}

OSXDispatch request(uint32_t code, uint32_t word0 = 0)
{
    OSXDispatch record{};
    record.iReq = code;
    std::memcpy(record.payload, &word0, sizeof word0);
    return record;
}

int failed(const char* what)
{
    std::printf("failed: %s\n", what);
    std::fflush(stdout);
    return 1;
}

int stream(const std::string& socket, unsigned seed)
{
    constexpr auto kDrainLimit = std::chrono::seconds(10);
    // Input that stands this long while the signal plays: the kernel stopped the stream.
    constexpr auto kStandLimit = std::chrono::seconds(1);
    std::signal(SIGTERM, [](int) { gStop = 1; });

    const io_connect_t audio = openAudio(socket);
    if (audio == 0) {
        return failed("cannot open the device's audio client");
    }
    const auto pid = static_cast<uint32_t>(getpid());
    OSXDispatch connect = request(Req_ConnectClient, pid);
    if (call(audio, connect) != kIOReturnSuccess) {
        return failed("connecting");
    }
    // A new configuration, the same one again (nothing to do), and the current one configured.
    // Every field is this client's own: the shared block's copy is anyone's to write.
    const QzChannelSettings settings{.iFrequency = static_cast<int32_t>(kRate),
                                     .iInChannels = static_cast<int32_t>(kChannels),
                                     .iInResolution = 24,
                                     .iOutChannels = static_cast<int32_t>(kChannels),
                                     .iOutResolution = 24,
                                     .uConfiguration = 0};
    for (uint32_t code : {Req_PrepareNewConfigRegular, Req_PrepareNewConfigAnonymous, Req_ConfigureDevice}) {
        OSXDispatch record = request(code);
        if (code != Req_ConfigureDevice) {
            std::memcpy(record.payload, &settings, sizeof settings);
        }
        if (call(audio, record) != kIOReturnSuccess) {
            return failed("configuring the device");
        }
    }
    AudioSM* input = map<AudioSM>(audio, 4);
    AudioSM* output = map<AudioSM>(audio, 5);
    OSXDispatch attach = request(Req_AttachClient, pid);
    attach.argument = 512;
    if (input == nullptr || output == nullptr || call(audio, attach) != kIOReturnSuccess) {
        return failed("attaching");
    }
    const auto attached = std::chrono::steady_clock::now();
    while (shared::load(output->mState) != AudioSM::kStateRunning) {
        if (std::chrono::steady_clock::now() - attached > kDrainLimit) {
            return failed("the kernel never started the client");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // The input ring's geometry is taken once, as the client configured it (see RingWriter).
    RingWriter writer(*output);
    const AudioSM::Geometry inputGeometry = input->geometry();
    if (!writer.usable() || inputGeometry.channels != kChannels || !inputGeometry.usable()) {
        return failed("rings not laid out for stereo");
    }

    const std::vector<int32_t> period = loopback::signal(kRate, kChannels, 24, seed);
    std::vector<int32_t> captured;
    captured.reserve(size_t{kRate} * kChannels * 60);
    // Output positions: the signal from signalStart until signalEnd (set on SIGTERM); silence
    // before and after.
    const uint64_t signalStart = writer.position();
    uint64_t signalEnd = UINT64_MAX;
    auto play = [&](uint64_t at, int32_t* frame) {
        if (at >= signalStart && at < signalEnd) {
            std::copy_n(&period[static_cast<size_t>((at - signalStart) % kRate) * kChannels], kChannels, frame);
        }
    };
    uint64_t readPosition = input->getFramePos();
    const std::vector<int32_t> first = loopback::asInput({period.begin(), period.begin() + kChannels});
    uint64_t arrival = UINT64_MAX; // captured frame where the signal came back
    uint64_t searched = 0;
    bool told = false;
    std::chrono::steady_clock::time_point stopped;
    auto advanced = std::chrono::steady_clock::now();
    for (;;) {
        if (!writer.writeAhead(play)) {
            return failed("this process fell behind the kernel's output position");
        }
        const uint64_t written = input->getFramePos();
        const auto now = std::chrono::steady_clock::now();
        if (written == readPosition && signalEnd == UINT64_MAX && now - advanced > kStandLimit) {
            return failed("the stream stopped");
        }
        if (written > readPosition) {
            advanced = now;
            if (written - readPosition > inputGeometry.maxFrames) {
                return failed("the input ring overran this process");
            }
            const size_t frames = static_cast<size_t>(written - readPosition);
            const size_t at = captured.size();
            captured.resize(at + frames * kChannels);
            input->readFromKernel(inputGeometry, readPosition, captured.data() + at, static_cast<uint32_t>(frames),
                                  audioInt32CopySet, sizeof(int32_t));
        }
        // The signal comes back from its first frame on; before it the input may carry what the
        // device still held of an earlier stream.
        const uint64_t capturedFrames = captured.size() / kChannels;
        for (; arrival == UINT64_MAX && searched < capturedFrames; ++searched) {
            if (std::equal(first.begin(), first.end(), &captured[searched * kChannels])) {
                arrival = searched;
            }
        }
        if (!told && arrival != UINT64_MAX && capturedFrames > arrival + kRate / 10) {
            std::printf("streaming\n");
            std::fflush(stdout);
            told = true;
        }
        if (gStop != 0 && signalEnd == UINT64_MAX) {
            signalEnd = writer.position();
            stopped = std::chrono::steady_clock::now();
        }
        if (signalEnd != UINT64_MAX) {
            if (arrival != UINT64_MAX && capturedFrames >= arrival + (signalEnd - signalStart)) {
                break;
            }
            if (std::chrono::steady_clock::now() - stopped > kDrainLimit) {
                return failed(arrival == UINT64_MAX ? "the signal never came back" : "the input stopped");
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    OSXDispatch detach = request(Req_DetachClient);
    if (call(audio, detach) != kIOReturnSuccess) {
        return failed("detaching");
    }

    const uint64_t frames = signalEnd - signalStart;
    std::vector<int32_t> played(static_cast<size_t>(frames) * kChannels);
    for (size_t i = 0; i < played.size(); ++i) {
        played[i] = period[i % period.size()];
    }
    const std::vector<int32_t> expected = loopback::asInput(played);
    const std::vector<int32_t> arrived =
        loopback::arrivedSignal(captured.data(), captured.size() / kChannels, arrival, kChannels, expected.size());
    if (arrived != expected) {
        const auto [mine, theirs] = std::mismatch(expected.begin(), expected.end(), arrived.begin(), arrived.end());
        const size_t at = static_cast<size_t>(mine - expected.begin()) / kChannels;
        size_t differing = 0;
        for (size_t i = 0; i < std::min(arrived.size(), expected.size()); ++i) {
            differing += arrived[i] != expected[i] ? 1 : 0;
        }
        std::printf("differs from frame %zu of %llu (%zu frames arrived, %zu samples differ)\n", at,
                    static_cast<unsigned long long>(frames), arrived.size() / kChannels, differing);
        std::fflush(stdout);
        return 1;
    }
    std::printf("streamed %llu frames bit-exact\n", static_cast<unsigned long long>(frames));
    std::fflush(stdout);
    IOServiceClose(audio);
    return 0;
}

// The device's driver service, if one other than those in `held` is published within 10 s.
io_service_t newService(const std::vector<uint64_t>& held, kern_return_t* status)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    do {
        io_iterator_t services = 0;
        *status = IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("VKKernelDevice"), &services);
        if (*status != kIOReturnSuccess) {
            return 0;
        }
        io_service_t found = 0;
        while (io_service_t service = IOIteratorNext(services)) {
            uint64_t id = 0;
            IORegistryEntryGetRegistryEntryID(service, &id);
            if (found == 0 && std::find(held.begin(), held.end(), id) == held.end()) {
                found = service;
            } else {
                IOObjectRelease(service);
            }
        }
        IOObjectRelease(services);
        if (found != 0) {
            return found;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (std::chrono::steady_clock::now() < deadline);
    return 0;
}

int reenumerate(const std::string& socket, int count)
{
    platform::iokit::user::setKernelSocketPath(socket);
    std::vector<uint64_t> held; // every handle stays taken
    int asked = 0;
    std::string reason;
    while (asked < count) {
        kern_return_t status = kIOReturnSuccess;
        const io_service_t service = newService(held, &status);
        if (service == 0) {
            char text[64];
            std::snprintf(text, sizeof text, status != kIOReturnSuccess ? " (refused: 0x%08X)" : " (no new service)",
                          static_cast<unsigned>(status));
            reason = text;
            break;
        }
        uint64_t id = 0;
        IORegistryEntryGetRegistryEntryID(service, &id);
        held.push_back(id);
        io_connect_t audio = 0;
        if (IOServiceOpen(service, mach_task_self(), kAudio, &audio) != kIOReturnSuccess) {
            reason = " (the audio client did not open)";
            break;
        }
        OSXDispatch record = request(Req_ReEnumerateDevice);
        const IOReturn asking = call(audio, record);
        IOServiceClose(audio);
        if (asking != kIOReturnSuccess) {
            reason = " (re-enumeration refused)";
            break;
        }
        ++asked;
    }
    std::printf("reenumerated %d%s\n", asked, reason.c_str());
    std::fflush(stdout);
    for (;;) {
        pause();
    }
}

} // namespace

int main(int argc, char** argv)
{
    const std::string role = argc > 1 ? argv[1] : "";
    if (role == "hold" && argc == 3) {
        return hold(argv[2]);
    }
    if (role == "scribble" && (argc == 5 || (argc == 6 && std::string(argv[5]) == "beside-stream"))) {
        return scribble(argv[2], std::atof(argv[3]), static_cast<unsigned>(std::strtoul(argv[4], nullptr, 10)),
                        argc == 6);
    }
    if (role == "write-input" && argc == 3) {
        return writeInput(argv[2]);
    }
    if (role == "settings" && argc == 4) {
        return scribbleSettings(argv[2], std::atof(argv[3]));
    }
    if (role == "stream" && argc == 4) {
        return stream(argv[2], static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)));
    }
    if (role == "reenumerate" && argc == 4) {
        return reenumerate(argv[2], std::atoi(argv[3]));
    }
    std::fprintf(stderr, "usage: UserClientProcess hold SOCKET | scribble SOCKET SECONDS SEED [beside-stream] | "
                         "write-input SOCKET | settings SOCKET SECONDS | stream SOCKET SEED |\n"
                         "reenumerate SOCKET COUNT\n");
    return 2;
}
