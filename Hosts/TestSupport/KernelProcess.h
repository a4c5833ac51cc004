// sonvexa-kerneld as another process of a test: started in a ProgramRunner's root on a private
// socket with simulated devices, the user-side IOKit pointed at it, and the driver's service found
// once the host publishes it. Ended with SIGTERM when the test ends it or this goes. Its log keeps
// every line the tests' processes make the driver write (no per-user limit to speak of).
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

#include "IOKit/IOKitLib.h"
#include "ProgramRunner.h"

namespace test_support {

class KernelProcess
{
public:
    // `kerneld`: the program (the build's KERNELD). Its log goes to "kernel.log" under the root.
    KernelProcess(ProgramRunner& programs, std::string kerneld);
    ~KernelProcess();
    KernelProcess(const KernelProcess&) = delete;
    KernelProcess& operator=(const KernelProcess&) = delete;

    // Starts the host with one simulated device of each model and waits (30 s at most: another
    // process, only its socket tells) until a service of `serviceClass` is published. False when
    // the host did not start or the service did not come. `arguments` follow the devices (an
    // option for the last one, such as "--clock-ppm").
    bool start(const std::vector<std::string>& models, const char* serviceClass = "VKKernelDevice",
               const std::vector<std::string>& arguments = {});
    // Ends the host with SIGTERM; its exit status (-1 when it did not exit by itself).
    int stop();

    pid_t pid() const { return m_pid; }
    const std::string& socket() const { return m_socket; }
    // The service found by start, owned by this; 0 before start or after releaseService.
    io_service_t service() const { return m_service; }
    void releaseService();
    std::string log() const { return m_programs.read("kernel.log"); }
    // Events in the log of the kernel's real-time record that lose or break frames of a stream
    // (a loaded machine misses the service's deadlines).
    size_t missedDeadlines() const;

private:
    ProgramRunner& m_programs;
    const std::string m_kerneld;
    std::string m_socket;
    pid_t m_pid = -1;
    io_service_t m_service = 0;
};

} // namespace test_support
