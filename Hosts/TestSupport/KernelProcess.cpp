#include "KernelProcess.h"

#include <chrono>
#include <csignal>
#include <thread>
#include <utility>

#include "platform/IOKitUser.h"

namespace test_support {

KernelProcess::KernelProcess(ProgramRunner& programs, std::string kerneld)
    : m_programs(programs), m_kerneld(std::move(kerneld))
{
}

KernelProcess::~KernelProcess()
{
    stop();
}

bool KernelProcess::start(const std::vector<std::string>& models, const char* serviceClass,
                          const std::vector<std::string>& extra)
{
    if (m_pid > 0 || m_programs.root().empty()) {
        return false;
    }
    m_socket = m_programs.root() + "/kernel.socket";
    // The tests read the driver's lines about what their processes asked for: the log keeps them.
    std::vector<std::string> arguments = {"--socket", m_socket, "--log", m_programs.root() + "/kernel.log",
                                          "--user-log-lines", "1000000000"};
    for (const auto& model : models) {
        arguments.push_back("--device");
        arguments.push_back(model);
    }
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    m_pid = m_programs.start(m_kerneld, arguments, "kernel");
    if (m_pid <= 0) {
        return false;
    }
    platform::iokit::user::setKernelSocketPath(m_socket);
    // The host listens once its command-line devices are matched; until then a look-up fails.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (m_service == 0 && std::chrono::steady_clock::now() < deadline) {
        m_service = IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching(serviceClass));
        if (m_service == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    return m_service != 0;
}

void KernelProcess::releaseService()
{
    if (m_service != 0) {
        IOObjectRelease(m_service);
        m_service = 0;
    }
}

int KernelProcess::stop()
{
    if (m_pid <= 0) {
        return -1;
    }
    releaseService();
    platform::iokit::user::setKernelSocketPath("");
    return m_programs.stop(std::exchange(m_pid, -1), SIGTERM, "kernel").status;
}

size_t KernelProcess::missedDeadlines() const
{
    const std::string log = this->log();
    // Events of the kernel's real-time record that lose or break frames of the stream; request
    // threads report the record as "real-time record of ...: NAME +N (total)".
    static constexpr const char* kLossy[] = {
        "STC_STREAM_BROKEN",
        ": refused reads +",
        ": late service periods +",
        ": frames lost to late writes +",
        ": output records sent unfilled +",
        ": blocks still in use when due +",
        ": unreadable frame numbers +",
        ": breaks for input errors +",
        ": breaks for feedback errors +",
        ": frames mixed before it wrote them +",
    };
    size_t missed = 0;
    for (const char* event : kLossy) {
        for (size_t at = log.find(event); at != std::string::npos; at = log.find(event, at + 1)) {
            ++missed;
        }
    }
    return missed;
}

} // namespace test_support
