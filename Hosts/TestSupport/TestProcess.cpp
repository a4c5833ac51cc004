// The other process of the user-side IOKit's tests.
//   TestProcess server SOCKET ROOT  runs a kernel host with the test bundle and one nub until
//                                    SIGTERM; prints "ready" once it listens.
//   TestProcess client SOCKET       opens the test device (type 0), maps its block, writes 0x5A
//                                    at byte 100, prints "ready" and waits to be killed.
#include <csignal>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "IOKit/IOKitLib.h"
#include "TestKernel.h"
#include "platform/IOKitUser.h"
#include "platform/ProcessEnvironment.h"

namespace {

int server(const std::string& socket, const std::string& root)
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    platform::process::ScopedOverride rooted(platform::process::Overrides{.root = root});
    std::string error;
    auto kernel = user_test::TestKernel::start(socket, 1, &error);
    if (!kernel) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    int signal = 0;
    sigwait(&signals, &signal);
    return 0;
}

int client(const std::string& socket)
{
    platform::iokit::user::setKernelSocketPath(socket);
    io_service_t device =
        IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching("UserTestDevice"));
    io_connect_t connection = 0;
    if (device == 0 || IOServiceOpen(device, mach_task_self(), 0, &connection) != kIOReturnSuccess) {
        return 1;
    }
    mach_vm_address_t address = 0;
    mach_vm_size_t size = 0;
    if (IOConnectMapMemory(connection, 1, mach_task_self(), &address, &size, kIOMapAnywhere) !=
        kIOReturnSuccess) {
        return 1;
    }
    reinterpret_cast<volatile uint8_t*>(address)[100] = 0x5A;
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) {
        pause();
    }
}

} // namespace

int main(int argc, char** argv)
{
    const std::string role = argc > 1 ? argv[1] : "";
    if (role == "server" && argc == 4) {
        return server(argv[2], argv[3]);
    }
    if (role == "client" && argc == 3) {
        return client(argv[2]);
    }
    std::fprintf(stderr, "usage: TestProcess server SOCKET ROOT | client SOCKET\n");
    return 2;
}
