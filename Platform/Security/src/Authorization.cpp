#include "Security/Authorization.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <spawn.h>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/AuthorizationControl.h"
#include "platform/Log.h"
#include "platform/ProcessEnvironment.h"

extern char** environ;

struct AuthorizationOpaqueRef
{
    // Guards against a freed or foreign pointer being used as a reference.
    static constexpr uint32_t kMagic = 0x41757468; // 'Auth'
    uint32_t magic = kMagic;
};

namespace platform::security {
namespace {

constexpr const char* kPkexec = "/usr/bin/pkexec";
constexpr const char* kEnv = "/usr/bin/env";
// pkexec's own exit statuses: the prompt was dismissed, or the user was not authorised.
constexpr int kPkexecDismissed = 126;
constexpr int kPkexecNotAuthorized = 127;

std::mutex& controlMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::optional<AuthorizationMode>& overriddenMode()
{
    static std::optional<AuthorizationMode> mode;
    return mode;
}

std::vector<Command>*& recorded()
{
    static std::vector<Command>* commands = nullptr;
    return commands;
}

void record(const char* tool, char* const* arguments)
{
    std::lock_guard lock(controlMutex());
    if (recorded() == nullptr) {
        return;
    }
    Command command{tool, {}};
    for (char* const* argument = arguments; argument != nullptr && *argument != nullptr; ++argument) {
        command.arguments.emplace_back(*argument);
    }
    recorded()->push_back(std::move(command));
}

bool valid(AuthorizationRef authorization)
{
    return authorization != nullptr && authorization->magic == AuthorizationOpaqueRef::kMagic;
}

// Starts the tool; its process id in *child.
OSStatus spawnTool(AuthorizationRef authorization, const char* pathToTool, char* const* arguments,
                   pid_t* child)
{
    if (!valid(authorization)) {
        return errAuthorizationInvalidRef;
    }
    if (pathToTool == nullptr || pathToTool[0] != '/') {
        return errAuthorizationInvalidPointer;
    }
    record(pathToTool, arguments);
    const AuthorizationMode mode = authorizationMode();
    if (mode == AuthorizationMode::cancel) {
        return errAuthorizationCanceled;
    }
    if (mode == AuthorizationMode::refuse) {
        return errAuthorizationDenied;
    }

    const std::string program = toolProgram(pathToTool);
    std::vector<std::string> words;
    if (mode == AuthorizationMode::pkexec) {
        // pkexec clears the environment: the root folder goes on through env.
        words = {kPkexec, kEnv, "SONVEXA_ROOT=" + platform::process::root(), program};
    } else {
        words = {pathToTool};
    }
    for (char* const* argument = arguments; argument != nullptr && *argument != nullptr; ++argument) {
        words.emplace_back(*argument);
    }
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    // A tool works under the caller's root folder, overridden or not.
    std::vector<std::string> variables = {"SONVEXA_ROOT=" + platform::process::root()};
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (!std::string_view(*variable).starts_with("SONVEXA_ROOT=")) {
            variables.emplace_back(*variable);
        }
    }
    std::vector<char*> envp;
    for (auto& variable : variables) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);

    const char* executable = mode == AuthorizationMode::pkexec ? kPkexec : program.c_str();
    const int error = posix_spawn(child, executable, nullptr, nullptr, argv.data(), envp.data());
    if (error != 0) {
        platform::syslog(platform::log::kPriorityError, "Authorization: cannot start %s: %s", executable,
                         std::strerror(error));
        return errAuthorizationToolExecuteFailure;
    }
    return errAuthorizationSuccess;
}

int waitForChild(pid_t child)
{
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return 128;
        }
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return 128 + WTERMSIG(status);
}

} // namespace

AuthorizationMode authorizationMode()
{
    {
        std::lock_guard lock(controlMutex());
        if (overriddenMode()) {
            return *overriddenMode();
        }
    }
    const char* value = std::getenv(kAuthorizationModeVariable);
    if (value == nullptr || *value == '\0') {
        return AuthorizationMode::caller;
    }
    const std::string_view name(value);
    if (name == "caller") {
        return AuthorizationMode::caller;
    }
    if (name == "pkexec") {
        return AuthorizationMode::pkexec;
    }
    if (name == "cancel") {
        return AuthorizationMode::cancel;
    }
    if (name != "refuse") {
        platform::syslog(platform::log::kPriorityError,
                         "Authorization: %s=%s is not caller, pkexec, refuse or cancel: refused",
                         kAuthorizationModeVariable, value);
    }
    return AuthorizationMode::refuse;
}

ScopedAuthorizationMode::ScopedAuthorizationMode(AuthorizationMode mode)
{
    std::lock_guard lock(controlMutex());
    m_previous = overriddenMode();
    overriddenMode() = mode;
}

ScopedAuthorizationMode::~ScopedAuthorizationMode()
{
    std::lock_guard lock(controlMutex());
    overriddenMode() = m_previous;
}

std::string toolProgram(const std::string& pathToTool)
{
    if (pathToTool == "/usr/sbin/pkgutil") {
        return SONVEXA_PKGUTIL_TOOL;
    }
    return pathToTool;
}

CommandRecorder::CommandRecorder()
{
    std::lock_guard lock(controlMutex());
    recorded() = new std::vector<Command>();
}

CommandRecorder::~CommandRecorder()
{
    std::lock_guard lock(controlMutex());
    delete recorded();
    recorded() = nullptr;
}

std::vector<Command> CommandRecorder::commands() const
{
    std::lock_guard lock(controlMutex());
    return recorded() != nullptr ? *recorded() : std::vector<Command>{};
}

} // namespace platform::security

using namespace platform::security;

OSStatus AuthorizationCreate(const AuthorizationRights* rights, const AuthorizationEnvironment* environment,
                             AuthorizationFlags /*flags*/, AuthorizationRef* authorization)
{
    if (authorization == nullptr) {
        return errAuthorizationInvalidPointer;
    }
    *authorization = nullptr;
    if (rights != nullptr || environment != nullptr) {
        // Named rights are not modelled: only the empty set is granted.
        platform::syslog(platform::log::kPriorityError,
                         "Authorization: rights and environments are not taken here");
        return errAuthorizationInvalidSet;
    }
    const AuthorizationMode mode = authorizationMode();
    if (mode == AuthorizationMode::refuse) {
        return errAuthorizationInternal;
    }
    if (mode == AuthorizationMode::pkexec && access(kPkexec, X_OK) != 0) {
        platform::syslog(platform::log::kPriorityError,
                         "Authorization: %s is missing: no administrator rights", kPkexec);
        return errAuthorizationInternal;
    }
    *authorization = new AuthorizationOpaqueRef();
    return errAuthorizationSuccess;
}

OSStatus AuthorizationFree(AuthorizationRef authorization, AuthorizationFlags /*flags*/)
{
    if (!valid(authorization)) {
        return errAuthorizationInvalidRef;
    }
    authorization->magic = 0;
    delete authorization;
    return errAuthorizationSuccess;
}

OSStatus AuthorizationExecuteWithPrivileges(AuthorizationRef authorization, const char* pathToTool,
                                            AuthorizationFlags /*options*/, char* const* arguments,
                                            FILE** communicationsPipe)
{
    if (communicationsPipe != nullptr) {
        platform::syslog(platform::log::kPriorityError,
                         "Authorization: a communications pipe is not provided here");
        return errAuthorizationInvalidPointer;
    }
    pid_t child = 0;
    return spawnTool(authorization, pathToTool, arguments, &child);
}

OSStatus AuthorizationExecuteWithPrivilegesAndWait(AuthorizationRef authorization, const char* pathToTool,
                                                   AuthorizationFlags /*options*/, char* const* arguments,
                                                   int* exitStatus)
{
    if (exitStatus == nullptr) {
        return errAuthorizationInvalidPointer;
    }
    pid_t child = 0;
    const OSStatus status = spawnTool(authorization, pathToTool, arguments, &child);
    if (status != errAuthorizationSuccess) {
        return status;
    }
    *exitStatus = waitForChild(child);
    if (authorizationMode() == AuthorizationMode::pkexec) {
        if (*exitStatus == kPkexecDismissed) {
            return errAuthorizationCanceled;
        }
        if (*exitStatus == kPkexecNotAuthorized) {
            return errAuthorizationDenied;
        }
    }
    return errAuthorizationSuccess;
}
