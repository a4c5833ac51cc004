#include "Wav.h"

#include <cstdio>
#include <cstring>
#include <fstream>

namespace audiod::wav {
namespace {

constexpr uint16_t kFormatPCM = 1;
constexpr uint16_t kFormatExtensible = 0xFFFE;
// The extensible format's sub-format GUID after its first two bytes (the format tag), for PCM.
constexpr uint8_t kPCMGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
constexpr uint32_t kMaxChannels = 256;
constexpr uint32_t kMaxRate = 1'536'000;

uint16_t u16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t u32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

void put16(std::vector<uint8_t>& out, uint32_t value)
{
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void put32(std::vector<uint8_t>& out, uint32_t value)
{
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

void putTag(std::vector<uint8_t>& out, const char (&tag)[5])
{
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(tag[i]));
    }
}

bool fail(std::string& error, const std::string& why)
{
    error = why;
    return false;
}

} // namespace

bool parse(const uint8_t* bytes, size_t size, Audio& audio, std::string& error)
{
    if (size < 12 || std::memcmp(bytes, "RIFF", 4) != 0 || std::memcmp(bytes + 8, "WAVE", 4) != 0) {
        return fail(error, "not a WAV file (no RIFF/WAVE header)");
    }
    const uint32_t riffSize = u32(bytes + 4);
    if (riffSize < 4 || riffSize > size - 8) {
        return fail(error, "the RIFF header says " + std::to_string(riffSize) + " bytes but the file holds " +
                               std::to_string(size - 8) + " after it");
    }
    const size_t end = size_t{riffSize} + 8;
    bool haveFormat = false;
    uint16_t blockAlign = 0;
    Audio result;
    size_t at = 12;
    while (at < end) {
        if (end - at < 8) {
            return fail(error, "a chunk header is cut off at byte " + std::to_string(at));
        }
        const uint8_t* chunk = bytes + at;
        const std::string id(reinterpret_cast<const char*>(chunk), 4);
        const uint32_t chunkSize = u32(chunk + 4);
        if (chunkSize > end - at - 8) {
            return fail(error, "the \"" + id + "\" chunk says " + std::to_string(chunkSize) +
                                   " bytes but the file holds " + std::to_string(end - at - 8) + " after its header");
        }
        const uint8_t* body = chunk + 8;
        if (id == "fmt ") {
            if (haveFormat) {
                return fail(error, "two \"fmt \" chunks");
            }
            if (chunkSize < 16) {
                return fail(error, "the \"fmt \" chunk is " + std::to_string(chunkSize) + " bytes, not at least 16");
            }
            const uint16_t tag = u16(body);
            result.channels = u16(body + 2);
            result.rate = u32(body + 4);
            const uint32_t byteRate = u32(body + 8);
            blockAlign = u16(body + 12);
            result.bits = u16(body + 14);
            if (tag == kFormatExtensible) {
                if (chunkSize < 40 || u16(body + 16) < 22) {
                    return fail(error, "the extensible \"fmt \" chunk is too short");
                }
                if (u16(body + 24) != kFormatPCM || std::memcmp(body + 26, kPCMGuidTail, sizeof kPCMGuidTail) != 0) {
                    return fail(error, "the extensible format's sub-format is not integer PCM");
                }
                if (u16(body + 18) > result.bits) {
                    return fail(error, "more valid bits than bits per sample");
                }
            } else if (tag != kFormatPCM) {
                return fail(error, "format tag " + std::to_string(tag) + " is not integer PCM (1)");
            }
            if (result.channels == 0 || result.channels > kMaxChannels) {
                return fail(error, std::to_string(result.channels) + " channels (1 to " +
                                       std::to_string(kMaxChannels) + " are read)");
            }
            if (result.rate == 0 || result.rate > kMaxRate) {
                return fail(error, "a sample rate of " + std::to_string(result.rate) + " Hz");
            }
            if (result.bits != 16 && result.bits != 24 && result.bits != 32) {
                return fail(error, std::to_string(result.bits) + " bits per sample (16, 24 or 32 are read)");
            }
            if (blockAlign != result.channels * (result.bits / 8)) {
                return fail(error, "a block size of " + std::to_string(blockAlign) + " bytes for " +
                                       std::to_string(result.channels) + " channels of " +
                                       std::to_string(result.bits) + " bits");
            }
            if (byteRate != uint64_t{result.rate} * blockAlign) {
                return fail(error, "a byte rate of " + std::to_string(byteRate) + " for " +
                                       std::to_string(result.rate) + " Hz and " + std::to_string(blockAlign) +
                                       "-byte frames");
            }
            haveFormat = true;
        } else if (id == "data") {
            if (!haveFormat) {
                return fail(error, "the \"data\" chunk comes before the \"fmt \" chunk");
            }
            if (chunkSize % blockAlign != 0) {
                return fail(error, "the \"data\" chunk holds " + std::to_string(chunkSize) +
                                       " bytes, not whole frames of " + std::to_string(blockAlign));
            }
            const size_t bytesPerSample = result.bits / 8;
            const size_t count = chunkSize / bytesPerSample;
            result.samples.resize(count);
            for (size_t i = 0; i < count; ++i) {
                const uint8_t* s = body + i * bytesPerSample;
                uint32_t value = 0;
                for (size_t b = 0; b < bytesPerSample; ++b) {
                    value |= static_cast<uint32_t>(s[b]) << (8 * (4 - bytesPerSample + b));
                }
                result.samples[i] = static_cast<int32_t>(value);
            }
            audio = std::move(result);
            return true;
        }
        // Chunks are padded to an even size.
        at += 8 + size_t{chunkSize} + (chunkSize & 1);
    }
    return fail(error, haveFormat ? "no \"data\" chunk" : "no \"fmt \" chunk");
}

bool read(const std::string& path, Audio& audio, std::string& error)
{
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) {
        return fail(error, path + ": cannot be opened");
    }
    const std::streamoff length = file.tellg();
    if (length < 0 || static_cast<uint64_t>(length) > kMaxFileBytes) {
        return fail(error, path + ": larger than " + std::to_string(kMaxFileBytes >> 20) + " MiB");
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(length));
    file.seekg(0);
    if (!file.read(reinterpret_cast<char*>(bytes.data()), length)) {
        return fail(error, path + ": cannot be read");
    }
    if (!parse(bytes.data(), bytes.size(), audio, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

std::vector<uint8_t> encode(const Audio& audio)
{
    const uint32_t bytesPerSample = audio.bits / 8U;
    const uint32_t blockAlign = audio.channels * bytesPerSample;
    const size_t dataBytes = audio.frames() * blockAlign;
    std::vector<uint8_t> out;
    out.reserve(44 + dataBytes);
    putTag(out, "RIFF");
    put32(out, static_cast<uint32_t>(36 + dataBytes));
    putTag(out, "WAVE");
    putTag(out, "fmt ");
    put32(out, 16);
    put16(out, kFormatPCM);
    put16(out, audio.channels);
    put32(out, audio.rate);
    put32(out, audio.rate * blockAlign);
    put16(out, blockAlign);
    put16(out, audio.bits);
    putTag(out, "data");
    put32(out, static_cast<uint32_t>(dataBytes));
    const size_t count = audio.frames() * audio.channels;
    for (size_t i = 0; i < count; ++i) {
        const auto value = static_cast<uint32_t>(audio.samples[i]);
        for (uint32_t b = 0; b < bytesPerSample; ++b) {
            out.push_back(static_cast<uint8_t>(value >> (8 * (4 - bytesPerSample + b))));
        }
    }
    return out;
}

bool write(const std::string& path, const Audio& audio, std::string& error)
{
    if ((audio.bits != 16 && audio.bits != 24 && audio.bits != 32) || audio.channels == 0 || audio.rate == 0) {
        return fail(error, path + ": nothing to write (" + std::to_string(audio.channels) + " channels of " +
                               std::to_string(audio.bits) + " bits)");
    }
    if (audio.frames() * audio.channels * (audio.bits / 8U) > 0xFFFFFFFFULL - 36) {
        return fail(error, path + ": more than a WAV file holds");
    }
    const std::vector<uint8_t> bytes = encode(audio);
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file || !file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size())) ||
        !file.flush()) {
        return fail(error, path + ": cannot be written");
    }
    return true;
}

} // namespace audiod::wav
