#include "Files.h"

#include "Object.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::cf::files {

std::optional<std::vector<uint8_t>> read(const std::string& path, int& error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return std::nullopt;
    }
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            error = errno;
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
        if (bytes.size() + static_cast<size_t>(n) > kMaxFileSize) {
            error = EFBIG;
            ::close(fd);
            return std::nullopt;
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    ::close(fd);
    return bytes;
}

bool makeDirectories(const std::string& path, std::optional<mode_t> mode, int& error)
{
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec) {
        error = ec.value();
        return false;
    }
    if (mode && ::chmod(path.c_str(), *mode) != 0) {
        error = errno;
        return false;
    }
    return true;
}

bool writeAtomically(const std::string& path, const std::vector<uint8_t>& bytes, std::optional<mode_t> mode,
                     int& error)
{
    const auto parent = std::filesystem::path(path).parent_path();
    if (!parent.empty() && !makeDirectories(parent.string(), std::nullopt, error)) {
        return false;
    }
    // Created with the usual mode of a new file, so the umask applies as it would.
    static std::atomic<unsigned> counter{0};
    const std::string temporary =
        path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1));
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = errno;
        return false;
    }
    auto fail = [&] {
        error = errno;
        ::close(fd);
        ::unlink(temporary.c_str());
        return false;
    };
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return fail();
        }
        written += static_cast<size_t>(n);
    }
    if (mode && ::fchmod(fd, *mode) != 0) {
        return fail();
    }
    if (::fsync(fd) != 0) {
        return fail();
    }
    if (::close(fd) != 0) {
        error = errno;
        ::unlink(temporary.c_str());
        return false;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        error = errno;
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace platform::cf::files

// The URL resource calls, on top of the file helpers.

using namespace platform::cf;

namespace {

std::optional<mode_t> posixMode(CFDictionaryRef properties)
{
    const auto* mode = as<Number>(CFDictionaryGetValue(properties, kCFURLFilePOSIXMode));
    SInt32 value = 0;
    if (mode == nullptr || !CFNumberGetValue(mode, kCFNumberSInt32Type, &value) || value < 0) {
        return std::nullopt;
    }
    return static_cast<mode_t>(value & 07777);
}

} // namespace

Boolean CFURLWriteDataAndPropertiesToResource(CFURLRef url, CFDataRef data, CFDictionaryRef properties,
                                              SInt32* errorCode)
{
    const auto* u = as<URL>(url);
    int error = 0;
    bool done = false;
    if (u == nullptr) {
        error = EINVAL;
    } else if (u->isDirectory()) {
        done = files::makeDirectories(u->hostPath(), posixMode(properties), error);
    } else {
        const auto* d = as<Data>(data);
        done = files::writeAtomically(u->hostPath(), d == nullptr ? std::vector<uint8_t>() : d->bytes(),
                                      posixMode(properties), error);
    }
    if (errorCode != nullptr) {
        *errorCode = done ? 0 : error;
    }
    return done;
}

Boolean CFURLCreateDataAndPropertiesFromResource(CFAllocatorRef, CFURLRef url, CFDataRef* data,
                                                 CFDictionaryRef* properties, CFTypeRef, SInt32* errorCode)
{
    if (properties != nullptr) {
        *properties = nullptr;
    }
    if (data != nullptr) {
        *data = nullptr;
    }
    const auto* u = as<URL>(url);
    int error = EINVAL;
    std::optional<std::vector<uint8_t>> bytes;
    if (u != nullptr && !u->isDirectory()) {
        bytes = files::read(u->hostPath(), error);
    }
    if (errorCode != nullptr) {
        *errorCode = bytes ? 0 : error;
    }
    if (bytes && data != nullptr) {
        *data = new Data(std::move(*bytes), false);
    }
    return bytes.has_value();
}
