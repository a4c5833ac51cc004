// WAV files of integer PCM (16, 24 or 32 bits, the plain and the extensible format tag): read
// into samples at the top of 32-bit integers, and written from them. A file is checked whole
// before anything of it is used: every header field and chunk size must agree with the file.
//
// Thread safety: plain functions on the caller's data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace audiod::wav {

struct Audio
{
    uint32_t rate = 0;
    uint16_t channels = 0;
    uint16_t bits = 0;            // bits per sample in the file: 16, 24 or 32
    std::vector<int32_t> samples; // interleaved, each at the top of the 32 bits

    size_t frames() const { return channels != 0 ? samples.size() / channels : 0; }
};

// Parses a whole file's bytes; false with the reason in `error`.
bool parse(const uint8_t* bytes, size_t size, Audio& audio, std::string& error);
bool read(const std::string& path, Audio& audio, std::string& error);

// The file's bytes; the samples are cut to `bits` (their lower bits dropped).
std::vector<uint8_t> encode(const Audio& audio);
bool write(const std::string& path, const Audio& audio, std::string& error);

// Files larger than this are refused rather than read.
constexpr size_t kMaxFileBytes = size_t{1} << 30;

} // namespace audiod::wav
