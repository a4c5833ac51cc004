// Who the current process is, as the system's code asks the operating system, and where its
// files live. Each value can be overridden per process through the environment, so that a test
// or a host program can play "coreaudiod" on Darwin release 12 without touching anything real:
//
//   SONVEXA_PROCESS_NAME    process name (cut to 16 characters, as the process table keeps it)
//   SONVEXA_UID             user id
//   SONVEXA_PID             process id reported to the system's code
//   SONVEXA_DARWIN_RELEASE  kernel release text, "13.4.0" or just "13" (default "13.0.0")
//   SONVEXA_ROOT            folder that stands for "/" for every file the system reads or writes
//
// Tests can also override in-process with ScopedOverride, which wins over the environment.
// Thread safety: readers may run on any thread; overrides are for test set-up.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace platform::process {

// Longest process name the process table keeps.
constexpr size_t kMaxProcessName = 16;

// The current process's name: the executable's file name (not the kernel's 15-character
// command), cut to 16 characters.
std::string name();
uid_t uid();
pid_t pid();

// The name of another process, by the real process id, as another process would see it (its
// SONVEXA_PROCESS_NAME when set, else its executable's name); nullopt when there is no such
// process or it cannot be read. For the current process's (possibly overridden) pid: name().
std::optional<std::string> nameOf(pid_t processId);

// Kernel release text ("13.0.0") and its major number.
std::string kernelRelease();
int darwinMajorRelease();

// The folder that stands for "/", and an absolute system path placed under it.
std::string root();
std::string rootedPath(std::string_view absolutePath);

struct Overrides
{
    std::optional<std::string> name{};
    std::optional<uid_t> uid{};
    std::optional<pid_t> pid{};
    std::optional<std::string> kernelRelease{};
    std::optional<std::string> root{};
};

// Replaces the given values for the lifetime of the object; nests.
class ScopedOverride
{
public:
    explicit ScopedOverride(Overrides overrides);
    ~ScopedOverride();
    ScopedOverride(const ScopedOverride&) = delete;
    ScopedOverride& operator=(const ScopedOverride&) = delete;

private:
    Overrides m_previous;
};

} // namespace platform::process
