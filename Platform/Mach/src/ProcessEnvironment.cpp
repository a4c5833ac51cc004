#include "platform/ProcessEnvironment.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <unistd.h>

namespace platform::process {
namespace {

constexpr const char* kDefaultRelease = "13.0.0";

std::mutex& overridesMutex()
{
    static std::mutex m;
    return m;
}

Overrides& activeOverrides() // guarded by overridesMutex()
{
    static Overrides o;
    return o;
}

std::optional<std::string> environment(const char* key)
{
    const char* value = std::getenv(key);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::string(value);
}

template <class T> std::optional<T> overridden(std::optional<T> Overrides::*field)
{
    std::lock_guard lock(overridesMutex());
    return activeOverrides().*field;
}

std::string cutName(std::string name)
{
    if (name.size() > kMaxProcessName) {
        name.resize(kMaxProcessName);
    }
    return name;
}

std::string baseName(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::optional<long> parseNumber(const std::optional<std::string>& text)
{
    if (!text) {
        return std::nullopt;
    }
    char* end = nullptr;
    const long value = std::strtol(text->c_str(), &end, 10);
    if (end == text->c_str() || *end != '\0') {
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> executableName(pid_t processId)
{
    char buffer[4096];
    const std::string link = "/proc/" + std::to_string(processId) + "/exe";
    const ssize_t length = readlink(link.c_str(), buffer, sizeof buffer - 1);
    if (length > 0) {
        return baseName(std::string(buffer, static_cast<size_t>(length)));
    }
    // Without permission to read the link, fall back to the kernel's (shorter) command name.
    std::ifstream comm("/proc/" + std::to_string(processId) + "/comm");
    std::string name;
    if (comm && std::getline(comm, name) && !name.empty()) {
        return name;
    }
    return std::nullopt;
}

std::optional<std::string> environmentOf(pid_t processId, std::string_view key)
{
    std::ifstream in("/proc/" + std::to_string(processId) + "/environ", std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find('\0', start);
        if (end == std::string::npos) {
            end = all.size();
        }
        const std::string_view entry(all.data() + start, end - start);
        if (entry.size() > key.size() && entry.substr(0, key.size()) == key && entry[key.size()] == '=') {
            return std::string(entry.substr(key.size() + 1));
        }
        start = end + 1;
    }
    return std::nullopt;
}

} // namespace

std::string name()
{
    if (auto value = overridden(&Overrides::name)) {
        return cutName(*value);
    }
    if (auto value = environment("SONVEXA_PROCESS_NAME")) {
        return cutName(*value);
    }
    return cutName(executableName(getpid()).value_or("unknown"));
}

uid_t uid()
{
    if (auto value = overridden(&Overrides::uid)) {
        return *value;
    }
    if (auto value = parseNumber(environment("SONVEXA_UID")); value && *value >= 0) {
        return static_cast<uid_t>(*value);
    }
    return getuid();
}

pid_t pid()
{
    if (auto value = overridden(&Overrides::pid)) {
        return *value;
    }
    if (auto value = parseNumber(environment("SONVEXA_PID")); value && *value > 0) {
        return static_cast<pid_t>(*value);
    }
    return getpid();
}

std::optional<std::string> nameOf(pid_t processId)
{
    if (processId <= 0) {
        return std::nullopt;
    }
    if (processId == pid() || processId == getpid()) {
        return name();
    }
    if (auto value = environmentOf(processId, "SONVEXA_PROCESS_NAME"); value && !value->empty()) {
        return cutName(*value);
    }
    if (auto value = executableName(processId)) {
        return cutName(*value);
    }
    return std::nullopt;
}

std::string kernelRelease()
{
    std::string text = overridden(&Overrides::kernelRelease)
                           .value_or(environment("SONVEXA_DARWIN_RELEASE").value_or(kDefaultRelease));
    // A bare major number stands for its first release.
    if (text.find('.') == std::string::npos) {
        text += ".0.0";
    }
    return text;
}

int darwinMajorRelease()
{
    return std::atoi(kernelRelease().c_str());
}

std::string root()
{
    if (auto value = overridden(&Overrides::root)) {
        return *value;
    }
    if (auto value = environment("SONVEXA_ROOT")) {
        return *value;
    }
    // Never the real "/": a per-user folder unless told otherwise.
    if (auto data = environment("XDG_DATA_HOME")) {
        return *data + "/sonvexa/root";
    }
    return environment("HOME").value_or("/tmp") + "/.local/share/sonvexa/root";
}

std::string rootedPath(std::string_view absolutePath)
{
    std::string base = root();
    while (!base.empty() && base.back() == '/') {
        base.pop_back();
    }
    if (absolutePath.empty() || absolutePath.front() != '/') {
        base += '/';
    }
    return base + std::string(absolutePath);
}

ScopedOverride::ScopedOverride(Overrides overrides)
{
    std::lock_guard lock(overridesMutex());
    auto& active = activeOverrides();
    m_previous = active;
    if (overrides.name)
        active.name = overrides.name;
    if (overrides.uid)
        active.uid = overrides.uid;
    if (overrides.pid)
        active.pid = overrides.pid;
    if (overrides.kernelRelease)
        active.kernelRelease = overrides.kernelRelease;
    if (overrides.root)
        active.root = overrides.root;
}

ScopedOverride::~ScopedOverride()
{
    std::lock_guard lock(overridesMutex());
    activeOverrides() = m_previous;
}

} // namespace platform::process
