// The IO path's sample conversions between the device's 32-bit integer frames and the clients'
// buffers. Frames hold `channels` samples; only the first min(source, destination) channels of a
// frame are converted, the rest of the source is skipped and the rest of the destination left as
// it is. A null buffer or a zero count does nothing.
//
// Float to integer clamps to the integer range (NaN gives 0): a client's out-of-range sample is
// full scale, never undefined.
//
// Threads: the device's IO thread; no allocation, no lock.
#pragma once

#include <cstdint>

// Device integer (full scale 2^31) to float (full scale 1.0).
void convertIntToFloat(const int32_t* src, uint32_t srcChannels, float* dst, uint32_t dstChannels, uint32_t frames);
void audioMapChannelsSet(const int32_t* src, uint32_t srcChannels, int32_t* dst, uint32_t dstChannels,
                         uint32_t frames);
// Adds, wrapping.
void audioMapChannelsAdd(const int32_t* src, uint32_t srcChannels, int32_t* dst, uint32_t dstChannels,
                         uint32_t frames);
// In place: float to 24-bit integer in the low bits (x * 2^23).
void audioConvertFloatToSInt32LowAligned(void* buffer, uint32_t channels, uint32_t frames);
// In place: float to 32-bit integer (x * 2^31).
void audioConvertFloatToSInt32(void* buffer, uint32_t channels, uint32_t frames);
// In place: 32-bit integer to 24-bit in the low bits (signed division by 256).
void audioConvertSint32ToSInt32LowAligned(void* buffer, uint32_t channels, uint32_t frames);
