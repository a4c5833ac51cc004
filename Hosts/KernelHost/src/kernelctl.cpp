// sonvexa-kernelctl: the kernel host's control command. It attaches and detaches simulated
// devices of a running kernel host, lists the models it knows, and prints what the driver made of
// a device (its description, read through the user-side IOKit like any user process).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "APIDeviceInfo.h"
#include "DeviceDescription.h"
#include "IOKit/IOKitLib.h"
#include "platform/IOKitUser.h"
#include "platform/IOKitWire.h"
#include "platform/ProcessEnvironment.h"

namespace wire = platform::iokit::wire;

namespace {

// The kernel host's answers (IOKit status codes).
constexpr uint32_t kNotPrivileged = 0xE00002C1;
constexpr uint32_t kNoResources = 0xE00002BE;

void usage(FILE* out)
{
    std::fprintf(out,
                 "usage: sonvexa-kernelctl [--socket PATH] COMMAND\n"
                 "\n"
                 "Talks to a running sonvexa-kerneld (of the same user, or as root).\n"
                 "\n"
                 "commands:\n"
                 "  models          the device models the kernel host can attach\n"
                 "  devices         the attached devices: number, model, vendor:product\n"
                 "  attach MODEL [PPM]\n"
                 "                  attaches a device of MODEL, its sample clock off by PPM\n"
                 "                  (-100000 to 100000; default 0); prints its number\n"
                 "  attach-file FILE [--speed full|high] [--side-file SIDE]\n"
                 "                  attaches a device read from a descriptors file (as Linux shows it in\n"
                 "                  /sys/bus/usb/devices/*/descriptors) and a side file (speed, strings,\n"
                 "                  replies); prints its number, or what is wrong with the files\n"
                 "  detach NUMBER   detaches that device\n"
                 "  describe [NUMBER] [--raw]\n"
                 "                  prints what the driver made of the device: its description as the\n"
                 "                  driver's user clients return it (configurations, interfaces,\n"
                 "                  alternates with channels, bits, rates and endpoints); --raw writes\n"
                 "                  the record's bytes instead. Without NUMBER: every driven device\n"
                 "\n"
                 "options:\n"
                 "  --socket PATH   the kernel host's socket (default: $%s, else\n"
                 "                  %s under the root folder $SONVEXA_ROOT)\n"
                 "  --help          show this text\n",
                 wire::kSocketEnvironment, wire::kDefaultSocketPath);
}

int fail(const std::string& message)
{
    std::fprintf(stderr, "sonvexa-kernelctl: %s\n", message.c_str());
    return 1;
}

struct Answer
{
    bool reached = false; // false: `text` says why the kernel host could not be asked
    uint32_t status = 0;
    std::string text;
};

// One control command over its own channel to the kernel host.
Answer control(const std::string& path, const std::vector<std::string>& words)
{
    Answer answer;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        answer.text = "socket path too long: " + path;
        return answer;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        answer.text = "no kernel host at " + path + ": " + std::strerror(errno);
        if (fd >= 0) {
            ::close(fd);
        }
        return answer;
    }
    std::vector<uint8_t> reply;
    wire::Writer hello(wire::Op::Hello);
    hello.u32(static_cast<uint32_t>(wire::Role::Control)).text("sonvexa-kernelctl");
    // A host that refuses the channel answers before it reads the hello, so its answer is read
    // even when the hello could not be sent.
    (void)wire::send(fd, hello.data());
    if (!wire::receive(fd, reply)) {
        ::close(fd);
        answer.text = "the kernel host did not answer";
        return answer;
    }
    wire::Reader admitted(reply.data(), reply.size());
    admitted.op();
    const uint32_t status = admitted.u32();
    if (!admitted.ok() || status != 0) {
        ::close(fd);
        switch (status) {
        case kNotPrivileged:
            answer.text = "only the kernel host's user may control it";
            break;
        case kNoResources:
            answer.text = "the kernel host refused the channel: this user has as many channels open as it may";
            break;
        default:
            answer.text = "the kernel host takes no control commands";
            break;
        }
        return answer;
    }
    wire::Writer command(wire::Op::Control);
    command.u32(static_cast<uint32_t>(words.size()));
    for (const auto& w : words) {
        command.text(w);
    }
    const bool sent = wire::send(fd, command.data()) && wire::receive(fd, reply);
    ::close(fd);
    if (!sent) {
        answer.text = "the kernel host did not answer";
        return answer;
    }
    wire::Reader r(reply.data(), reply.size());
    r.op();
    answer.status = r.u32();
    answer.text = r.text(1 << 16);
    if (!r.ok()) {
        answer.text = "the kernel host's answer was malformed";
        return answer;
    }
    answer.reached = true;
    return answer;
}

// The request record of the driver's request method: request code, argument, 260-byte payload.
struct RequestRecord
{
    uint32_t iReq;
    uint32_t argument;
    uint8_t payload[260];
};
static_assert(sizeof(RequestRecord) == 268);

constexpr uint32_t kGetDeviceInfoBlock = 4;
constexpr uint32_t kPageSize = 256;
constexpr uint32_t kPages = (sizeof(APIDeviceInfo) + kPageSize - 1) / kPageSize;

// The clients that carry the request: type and selector of their request method.
struct Carrier
{
    uint32_t type;
    uint32_t selector;
};
constexpr Carrier kCarriers[] = {{0, 0}, {3, 6}};

kern_return_t readPages(io_connect_t connection, uint32_t selector, std::vector<uint8_t>& record)
{
    record.clear();
    for (uint32_t page = 0; page < kPages; ++page) {
        RequestRecord request{};
        request.iReq = kGetDeviceInfoBlock;
        std::memcpy(request.payload, &page, sizeof page);
        RequestRecord reply{};
        size_t size = sizeof reply;
        const kern_return_t status =
            IOConnectCallStructMethod(connection, selector, &request, sizeof request, &reply, &size);
        if (status != KERN_SUCCESS) {
            return status;
        }
        // The page's byte count comes back in the request code.
        const uint32_t expected = std::min<uint32_t>(kPageSize, sizeof(APIDeviceInfo) - page * kPageSize);
        if (size != sizeof reply || reply.iReq != expected) {
            return kIOReturnUnderrun;
        }
        record.insert(record.end(), reply.payload, reply.payload + expected);
    }
    return KERN_SUCCESS;
}

// The description record of a driven device (a VKKernelDevice service), read page by page through
// an audio client (connection type 0), or an AudioServer client (type 3) where the device refuses
// the first.
kern_return_t readDeviceDescription(io_service_t service, std::vector<uint8_t>& record)
{
    kern_return_t status = kIOReturnNotOpen;
    for (const Carrier& carrier : kCarriers) {
        io_connect_t connection = 0;
        status = IOServiceOpen(service, mach_task_self(), carrier.type, &connection);
        if (status != KERN_SUCCESS) {
            continue;
        }
        status = readPages(connection, carrier.selector, record);
        IOServiceClose(connection);
        if (status == KERN_SUCCESS) {
            return status;
        }
    }
    return status;
}

std::optional<uint32_t> numberProperty(io_registry_entry_t entry, CFStringRef key)
{
    CFTypeRef value = IORegistryEntryCreateCFProperty(entry, key, kCFAllocatorDefault, 0);
    std::optional<uint32_t> number;
    uint32_t read = 0;
    if (value != nullptr && CFGetTypeID(value) == CFNumberGetTypeID() &&
        CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt32Type, &read)) {
        number = read;
    }
    if (value != nullptr) {
        CFRelease(value);
    }
    return number;
}

// The bus location of the USB device a service is driving (its provider's "locationID").
std::optional<uint32_t> locationOf(io_service_t service)
{
    io_iterator_t parents = 0;
    if (IORegistryEntryGetParentIterator(service, kIOServicePlane, &parents) != KERN_SUCCESS) {
        return std::nullopt;
    }
    std::optional<uint32_t> location;
    while (io_object_t parent = IOIteratorNext(parents)) {
        if (const auto number = numberProperty(parent, CFSTR("locationID"))) {
            location = number;
        }
        IOObjectRelease(parent);
    }
    IOObjectRelease(parents);
    return location;
}

// The classes of the interfaces the USB device under a service publishes: those of its chosen
// configuration.
std::vector<kernel_host::InterfaceClass> interfaceClassesOf(io_service_t service)
{
    std::vector<kernel_host::InterfaceClass> classes;
    io_iterator_t parents = 0;
    if (IORegistryEntryGetParentIterator(service, kIOServicePlane, &parents) != KERN_SUCCESS) {
        return classes;
    }
    while (io_object_t parent = IOIteratorNext(parents)) {
        io_iterator_t children = 0;
        if (IORegistryEntryGetChildIterator(parent, kIOServicePlane, &children) == KERN_SUCCESS) {
            while (io_object_t child = IOIteratorNext(children)) {
                const auto configuration = numberProperty(child, CFSTR("bConfigurationValue"));
                const auto number = numberProperty(child, CFSTR("bInterfaceNumber"));
                const auto interfaceClass = numberProperty(child, CFSTR("bInterfaceClass"));
                if (configuration && number && interfaceClass) {
                    classes.push_back({static_cast<uint8_t>(*configuration), static_cast<uint8_t>(*number),
                                       static_cast<uint8_t>(*interfaceClass)});
                }
                IOObjectRelease(child);
            }
            IOObjectRelease(children);
        }
        IOObjectRelease(parent);
    }
    IOObjectRelease(parents);
    return classes;
}

// describe [NUMBER] [--raw]
int describe(const std::string& path, const std::vector<std::string>& words)
{
    bool raw = false;
    std::string number;
    for (size_t i = 1; i < words.size(); ++i) {
        if (words[i] == "--raw") {
            raw = true;
        } else if (number.empty()) {
            number = words[i];
        } else {
            return fail("describe takes one device number and --raw");
        }
    }
    std::optional<uint32_t> wanted;
    if (!number.empty()) {
        const Answer where = control(path, {"location", number});
        if (!where.reached) {
            return fail(where.text);
        }
        if (where.status != 0) {
            std::fputs(where.text.c_str(), stderr);
            return 1;
        }
        wanted = static_cast<uint32_t>(std::strtoul(where.text.c_str(), nullptr, 16));
    }
    platform::iokit::user::setKernelSocketPath(path);
    io_iterator_t services = 0;
    if (IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("VKKernelDevice"), &services) !=
        KERN_SUCCESS) {
        return fail("cannot look up the driven devices at " + path);
    }
    std::vector<io_service_t> chosen;
    while (io_service_t service = IOIteratorNext(services)) {
        if (!wanted || locationOf(service) == wanted) {
            chosen.push_back(service);
        } else {
            IOObjectRelease(service);
        }
    }
    IOObjectRelease(services);
    int result = 0;
    if (chosen.empty()) {
        result = fail(number.empty() ? std::string("no device is driven by the driver")
                                     : "the driver does not drive device " + number);
    } else if (raw && chosen.size() > 1) {
        result = fail("--raw describes one device: name it (see \"devices\")");
    }
    for (size_t i = 0; i < chosen.size() && result == 0; ++i) {
        std::vector<uint8_t> record;
        const kern_return_t status = readDeviceDescription(chosen[i], record);
        if (status != KERN_SUCCESS) {
            char code[16];
            std::snprintf(code, sizeof code, "0x%08X", static_cast<uint32_t>(status));
            result = fail(std::string("the driver did not give the description: ") + code);
        } else if (raw) {
            std::fwrite(record.data(), 1, record.size(), stdout);
        } else {
            std::fputs((i == 0 ? "" : "\n"), stdout);
            std::fputs(kernel_host::describeDevice(record, interfaceClassesOf(chosen[i])).c_str(), stdout);
        }
    }
    for (io_service_t service : chosen) {
        IOObjectRelease(service);
    }
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    std::string path;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        }
        if (arg == "--socket" && i + 1 < argc) {
            path = argv[++i];
        } else {
            words.push_back(arg);
        }
    }
    if (words.empty()) {
        usage(stderr);
        return 2;
    }
    if (path.empty()) {
        const char* env = std::getenv(wire::kSocketEnvironment);
        path = env != nullptr && *env != '\0' ? env : platform::process::rootedPath(wire::kDefaultSocketPath);
    }
    if (words[0] == "describe") {
        return describe(path, words);
    }
    if (words[0] == "attach-file" && words.size() >= 2) {
        // The kernel host reads the files itself: it gets their paths, whatever its folder.
        const auto absolute = [](const std::string& file) {
            std::error_code ec;
            return std::filesystem::absolute(file, ec).lexically_normal().string();
        };
        words[1] = absolute(words[1]);
        for (size_t i = 2; i + 1 < words.size(); ++i) {
            if (words[i] == "--side-file") {
                words[i + 1] = absolute(words[i + 1]);
            }
        }
    }
    if (words.size() > wire::kMaximumControlWords) {
        return fail("too many words for one command");
    }
    for (const auto& word : words) {
        if (word.size() > wire::kMaximumControlWord) {
            return fail("longer than the kernel host takes (" + std::to_string(wire::kMaximumControlWord) +
                        " bytes): " + word);
        }
    }
    const Answer answer = control(path, words);
    if (!answer.reached) {
        return fail(answer.text);
    }
    std::fputs(answer.text.c_str(), answer.status == 0 ? stdout : stderr);
    return answer.status == 0 ? 0 : 1;
}
