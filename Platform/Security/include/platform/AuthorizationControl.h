// How the Authorization Services stand-in grants rights, and what tests see of the tools it runs.
//
// Thread safety: ScopedAuthorizationMode and CommandRecorder are for test set-up on one thread;
// tools may be run from any thread meanwhile.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform::security {

enum class AuthorizationMode
{
    caller, // the tool runs with the caller's rights
    pkexec, // the tool runs through pkexec, which asks for an administrator
    refuse, // no reference can be created
    cancel, // every tool run is cancelled by the user
};

// The environment variable that chooses the mode ("caller", "pkexec", "refuse", "cancel").
inline constexpr const char* kAuthorizationModeVariable = "SONVEXA_AUTHORIZATION";

// The mode in force: an override, else the environment, else caller. An unknown name in the
// environment is taken as refuse, with a log line: nothing runs on a misspelt setting.
AuthorizationMode authorizationMode();

// Sets the mode for the lifetime of the object; nests.
class ScopedAuthorizationMode
{
public:
    explicit ScopedAuthorizationMode(AuthorizationMode mode);
    ~ScopedAuthorizationMode();
    ScopedAuthorizationMode(const ScopedAuthorizationMode&) = delete;
    ScopedAuthorizationMode& operator=(const ScopedAuthorizationMode&) = delete;

private:
    std::optional<AuthorizationMode> m_previous;
};

// The program that runs for a tool path: this build's stand-in for a system tool Linux lacks
// ("/usr/sbin/pkgutil"), else the path itself.
std::string toolProgram(const std::string& pathToTool);

// One tool run as it was asked for: the tool path and its arguments.
struct Command
{
    std::string tool;
    std::vector<std::string> arguments;
};

// Records every tool run asked for while it lives, started or not (one recorder at a time).
class CommandRecorder
{
public:
    CommandRecorder();
    ~CommandRecorder();
    CommandRecorder(const CommandRecorder&) = delete;
    CommandRecorder& operator=(const CommandRecorder&) = delete;

    std::vector<Command> commands() const;
};

} // namespace platform::security
