#include "usbsim/models/Codec.h"

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

void decodeOutputFrame(const uint8_t* frame, uint32_t channels, int32_t* samples)
{
    for (uint32_t c = 0; c < channels; ++c) {
        const uint8_t* plane = frame + (c % 2 == 0 ? 0 : kPlaneUnits);
        const uint32_t bit = c / 2;
        uint32_t word = 0;
        for (size_t j = 0; j < kPlaneUnits; ++j) {
            word |= uint32_t{(plane[j] >> bit) & 1u} << (31 - j);
        }
        samples[c] = static_cast<int32_t>(word);
    }
}

void encodeInputFrame(const int32_t* samples, uint32_t channels, uint32_t width, uint8_t* frame)
{
    const bool words = width > 16;
    const size_t unitBytes = words ? 2 : 1;
    const size_t frameBytes = words ? kInputFrameBytes32 : kInputFrameBytes16;
    const size_t oddPlane = frameBytes / 2;
    std::memset(frame, 0, frameBytes);
    for (uint32_t c = 0; c < channels && c < width; ++c) {
        const size_t plane = c % 2 == 0 ? 0 : oddPlane;
        const uint32_t bit = c / 2;
        const auto word = static_cast<uint32_t>(samples[c]);
        for (size_t j = 0; j < kPlaneUnits; ++j) {
            if (((word >> (31 - j)) & 1u) == 0) {
                continue;
            }
            // A word unit goes out least significant byte first.
            uint8_t* unit = frame + plane + j * unitBytes;
            unit[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
        }
    }
}

} // namespace usbsim::codec
