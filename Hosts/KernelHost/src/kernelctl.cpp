// sonvexa-kernelctl: the kernel host's control command. It attaches and detaches simulated
// devices of a running kernel host and lists the models it knows.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

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
                 "  detach NUMBER   detaches that device\n"
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
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return fail("socket path too long: " + path);
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return fail("no kernel host at " + path + ": " + std::strerror(errno));
    }
    std::vector<uint8_t> reply;
    wire::Writer hello(wire::Op::Hello);
    hello.u32(static_cast<uint32_t>(wire::Role::Control)).text("sonvexa-kernelctl");
    // A host that refuses the channel answers before it reads the hello, so its answer is read
    // even when the hello could not be sent.
    (void)wire::send(fd, hello.data());
    if (!wire::receive(fd, reply)) {
        return fail("the kernel host did not answer");
    }
    wire::Reader admitted(reply.data(), reply.size());
    admitted.op();
    const uint32_t status = admitted.u32();
    if (!admitted.ok() || status != 0) {
        switch (status) {
        case kNotPrivileged:
            return fail("only the kernel host's user may control it");
        case kNoResources:
            return fail("the kernel host refused the channel: this user has as many channels open as it may");
        default:
            return fail("the kernel host takes no control commands");
        }
    }
    wire::Writer command(wire::Op::Control);
    command.u32(static_cast<uint32_t>(words.size()));
    for (const auto& w : words) {
        command.text(w);
    }
    if (!wire::send(fd, command.data()) || !wire::receive(fd, reply)) {
        return fail("the kernel host did not answer");
    }
    ::close(fd);
    wire::Reader r(reply.data(), reply.size());
    r.op();
    const uint32_t result = r.u32();
    const std::string text = r.text(1 << 16);
    if (!r.ok()) {
        return fail("the kernel host's answer was malformed");
    }
    std::fputs(text.c_str(), result == 0 ? stdout : stderr);
    return result == 0 ? 0 : 1;
}
