// Whole-file reads and atomic whole-file writes on host paths. Internal to the library.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace platform::cf::files {

// Files larger than this are refused as input (no property list of this system comes near it).
constexpr size_t kMaxFileSize = 64 * 1024 * 1024;

// The file's bytes; nullopt and `error` (an errno value) when it cannot be read.
std::optional<std::vector<uint8_t>> read(const std::string& path, int& error);

// Writes a temporary file beside `path`, flushes it and renames it over `path`, so a reader
// sees the old or the new contents, never a mix. Creates missing parent folders.
bool writeAtomically(const std::string& path, const std::vector<uint8_t>& bytes, std::optional<mode_t> mode,
                     int& error);

// Creates the folder and its missing parents; applies `mode` to the folder itself.
bool makeDirectories(const std::string& path, std::optional<mode_t> mode, int& error);

} // namespace platform::cf::files
