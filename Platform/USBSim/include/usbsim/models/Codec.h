// The device models' own sample codecs, written from the USB byte layouts and independent of the
// driver's converters, so that a round trip through a model checks the driver instead of
// repeating it.
//
// Host samples are 32-bit words with the audio in the top bits (24-bit audio in bits 31..8).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace usbsim::codec {

// Little-endian PCM of 2, 3 or 4 bytes per sample. Decoding puts the sample in the top bits and
// clears the rest; encoding keeps the top bytes.
void decodePcm(std::span<const uint8_t> bytes, uint32_t bytesPerSample, int32_t* samples);
void encodePcm(const int32_t* samples, size_t count, uint32_t bytesPerSample, uint8_t* bytes);

// 24-bit samples whose three bytes come high, low, middle (a maker's mono format): the bytes
// 12 56 34 are the sample 0x123456.
void decodeHighLowMiddle24(std::span<const uint8_t> bytes, int32_t* samples);
void encodeHighLowMiddle24(const int32_t* samples, size_t count, uint8_t* bytes);

// Bit planes: a plane is 24 units (bytes, or 16-bit little-endian words); unit j holds bit 31 - j
// of the samples; bit k of the even plane's units belongs to channel 2k, of the odd plane's to
// channel 2k + 1.
inline constexpr size_t kPlaneUnits = 24;

// The host's output frame: 48 bytes, even plane at 0, odd plane at 24. `channels` up to 16.
inline constexpr size_t kOutputFrameBytes = 48;
void decodeOutputFrame(const uint8_t* frame, uint32_t channels, int32_t* samples);
void encodeOutputFrame(const int32_t* samples, uint32_t channels, uint8_t* frame);

// The device's input frame, 16 wide (64 bytes: even plane at 0, odd plane at 32, byte units) or
// 32 wide (128 bytes: even plane at 0, odd plane at 64, word units). The units between the planes
// and after the odd plane carry no audio and are written as 0.
inline constexpr size_t kInputFrameBytes16 = 64;
inline constexpr size_t kInputFrameBytes32 = 128;
void encodeInputFrame(const int32_t* samples, uint32_t channels, uint32_t width, uint8_t* frame);
void decodeInputFrame(const uint8_t* frame, uint32_t channels, uint32_t width, int32_t* samples);

// The Varnok layout (no bit planes), N = 8, 16 or 32 channels and F = 32 / N frames per group.
// Input: 512 bytes = 4 blocks of 32 little-endian 32-bit words, word c x F + f of a block is channel
// c of the block's frame f. Output: 480 bytes = 5 groups of 32 three-byte samples (host bits 8-15,
// 16-23, 24-31) in the same channel-major order.
inline constexpr size_t kVarnokInputBytes = 512;
inline constexpr size_t kVarnokOutputBytes = 480;
void encodeVarnokInput(const int32_t* samples, uint32_t channels, uint8_t* bytes);  // 128 / N frames
void decodeVarnokOutput(const uint8_t* bytes, uint32_t channels, int32_t* samples); // 160 / N frames

} // namespace usbsim::codec
