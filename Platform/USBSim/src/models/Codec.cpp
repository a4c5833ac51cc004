#include "usbsim/models/Codec.h"

#include <algorithm>
#include <cstring>

namespace usbsim::codec {

void decodePcm(std::span<const uint8_t> bytes, uint32_t bytesPerSample, int32_t* samples)
{
    const size_t count = bytes.size() / bytesPerSample;
    for (size_t i = 0; i < count; ++i) {
        uint32_t word = 0;
        for (uint32_t b = 0; b < bytesPerSample; ++b) {
            // Byte b of the sample (least significant first) lands under the top bytes.
            word |= uint32_t{bytes[i * bytesPerSample + b]} << (8 * (4 - bytesPerSample + b));
        }
        samples[i] = static_cast<int32_t>(word);
    }
}

void encodePcm(const int32_t* samples, size_t count, uint32_t bytesPerSample, uint8_t* bytes)
{
    for (size_t i = 0; i < count; ++i) {
        const auto word = static_cast<uint32_t>(samples[i]);
        for (uint32_t b = 0; b < bytesPerSample; ++b) {
            bytes[i * bytesPerSample + b] = static_cast<uint8_t>(word >> (8 * (4 - bytesPerSample + b)));
        }
    }
}

void decodeHighLowMiddle24(std::span<const uint8_t> bytes, int32_t* samples)
{
    const size_t count = bytes.size() / 3;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* b = bytes.data() + i * 3;
        const uint32_t word = uint32_t{b[0]} << 24 | uint32_t{b[2]} << 16 | uint32_t{b[1]} << 8;
        samples[i] = static_cast<int32_t>(word);
    }
}

void encodeHighLowMiddle24(const int32_t* samples, size_t count, uint8_t* bytes)
{
    for (size_t i = 0; i < count; ++i) {
        const auto word = static_cast<uint32_t>(samples[i]);
        bytes[i * 3] = static_cast<uint8_t>(word >> 24);
        bytes[i * 3 + 1] = static_cast<uint8_t>(word >> 8);
        bytes[i * 3 + 2] = static_cast<uint8_t>(word >> 16);
    }
}

namespace {

// The planes of one frame: where each plane starts and how wide a unit is.
struct PlaneLayout
{
    size_t oddPlane;  // byte offset of the odd plane
    size_t unitBytes; // 1 or 2
};

PlaneLayout outputLayout()
{
    return {kPlaneUnits, 1};
}

PlaneLayout inputLayout(uint32_t width)
{
    return width > 16 ? PlaneLayout{kInputFrameBytes32 / 2, 2} : PlaneLayout{kInputFrameBytes16 / 2, 1};
}

void decodePlanes(const uint8_t* frame, const PlaneLayout& layout, uint32_t channels, int32_t* samples)
{
    for (uint32_t c = 0; c < channels; ++c) {
        const uint8_t* plane = frame + (c % 2 == 0 ? 0 : layout.oddPlane);
        const uint32_t bit = c / 2;
        uint32_t word = 0;
        for (size_t j = 0; j < kPlaneUnits; ++j) {
            // A word unit comes least significant byte first.
            const uint8_t unitByte = plane[j * layout.unitBytes + bit / 8];
            word |= uint32_t{(unitByte >> (bit % 8)) & 1u} << (31 - j);
        }
        samples[c] = static_cast<int32_t>(word);
    }
}

// Sets the bits of `channels` samples into planes the caller cleared.
void encodePlanes(const int32_t* samples, uint32_t channels, const PlaneLayout& layout, uint8_t* frame)
{
    for (uint32_t c = 0; c < channels; ++c) {
        uint8_t* plane = frame + (c % 2 == 0 ? 0 : layout.oddPlane);
        const uint32_t bit = c / 2;
        const auto word = static_cast<uint32_t>(samples[c]);
        for (size_t j = 0; j < kPlaneUnits; ++j) {
            if (((word >> (31 - j)) & 1u) != 0) {
                plane[j * layout.unitBytes + bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
            }
        }
    }
}

} // namespace

void decodeOutputFrame(const uint8_t* frame, uint32_t channels, int32_t* samples)
{
    decodePlanes(frame, outputLayout(), std::min<uint32_t>(channels, 16), samples);
}

void encodeOutputFrame(const int32_t* samples, uint32_t channels, uint8_t* frame)
{
    std::memset(frame, 0, kOutputFrameBytes);
    encodePlanes(samples, std::min<uint32_t>(channels, 16), outputLayout(), frame);
}

void encodeInputFrame(const int32_t* samples, uint32_t channels, uint32_t width, uint8_t* frame)
{
    std::memset(frame, 0, width > 16 ? kInputFrameBytes32 : kInputFrameBytes16);
    encodePlanes(samples, std::min(channels, width > 16 ? 32u : 16u), inputLayout(width), frame);
}

void decodeInputFrame(const uint8_t* frame, uint32_t channels, uint32_t width, int32_t* samples)
{
    decodePlanes(frame, inputLayout(width), std::min(channels, width > 16 ? 32u : 16u), samples);
}

void encodeVarnokInput(const int32_t* samples, uint32_t channels, uint8_t* bytes)
{
    const uint32_t perGroup = 32 / channels;
    for (uint32_t block = 0; block < 4; ++block) {
        for (uint32_t c = 0; c < channels; ++c) {
            for (uint32_t f = 0; f < perGroup; ++f) {
                const auto word = static_cast<uint32_t>(samples[(block * perGroup + f) * channels + c]);
                uint8_t* at = bytes + 4 * (32 * block + c * perGroup + f);
                for (int i = 0; i < 4; ++i) {
                    at[i] = static_cast<uint8_t>(word >> (8 * i));
                }
            }
        }
    }
}

void decodeVarnokOutput(const uint8_t* bytes, uint32_t channels, int32_t* samples)
{
    const uint32_t perGroup = 32 / channels;
    const uint8_t* at = bytes;
    for (uint32_t group = 0; group < 5; ++group) {
        for (uint32_t c = 0; c < channels; ++c) {
            for (uint32_t f = 0; f < perGroup; ++f, at += 3) {
                const uint32_t word = uint32_t{at[0]} << 8 | uint32_t{at[1]} << 16 | uint32_t{at[2]} << 24;
                samples[(group * perGroup + f) * channels + c] = static_cast<int32_t>(word);
            }
        }
    }
}

} // namespace usbsim::codec
