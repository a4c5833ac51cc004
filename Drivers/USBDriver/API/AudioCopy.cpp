#include "AudioCopy.h"

#include <cstddef>
#include <cstring>
#include <emmintrin.h>

namespace {

const uint8_t* bytesOf(const int32_t* p)
{
    return reinterpret_cast<const uint8_t*>(p);
}

uint8_t* bytesOf(int32_t* p)
{
    return reinterpret_cast<uint8_t*>(p);
}

size_t samples(int32_t count)
{
    return count > 0 ? static_cast<size_t>(count) : 0;
}

// Bit patterns are assembled in unsigned arithmetic; the conversion to int32_t is modular.
int32_t fromBits(uint32_t bits)
{
    return static_cast<int32_t>(bits);
}

uint32_t packed16(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8;
}

uint32_t packed24(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16;
}

// Packed 24-bit samples shifted into the upper three bytes of each word, handed to `put` with
// their index. All but the last sample are read as one 32-bit word whose fourth byte (the next
// sample's) is shifted out, so no read goes past the packed data.
template <class Put> void forEachPacked24High(const uint8_t* in, size_t n, Put put)
{
    if (n == 0) {
        return;
    }
    for (size_t i = 0; i + 1 < n; ++i) {
        uint32_t word;
        std::memcpy(&word, in + 3 * i, sizeof word);
        put(i, word << 8);
    }
    put(n - 1, packed24(in + 3 * (n - 1)) << 8);
}

// Source frame of `SourceChannels` samples, the first `Taken` copied, each >> 8.
template <size_t SourceChannels, size_t Taken>
void copySubset(int32_t* __restrict destination, const int32_t* __restrict source, int32_t count)
{
    const size_t n = samples(count);
    std::memset(destination, 0, n * sizeof(int32_t));
    if constexpr (Taken > 0) {
        const size_t frames = n / Taken;
        for (size_t f = 0; f < frames; ++f) {
            for (size_t c = 0; c < Taken; ++c) {
                destination[f * Taken + c] = source[f * SourceChannels + c] >> 8;
            }
        }
    }
}

// Four packed samples (the low 12 of 16 bytes) in the upper three bytes of four words. Each 64-bit
// lane takes two samples: bytes 0-7 and bytes 6-13 of the input.
inline __m128i widen24x4(__m128i bytes)
{
    const __m128i pairs = _mm_unpacklo_epi64(bytes, _mm_srli_si128(bytes, 6));
    const __m128i first = _mm_and_si128(_mm_slli_epi64(pairs, 8), _mm_set1_epi64x(0x00000000FFFFFF00ll));
    const __m128i second = _mm_and_si128(_mm_slli_epi64(pairs, 16), _mm_set1_epi64x(0xFFFFFF0000000000ll));
    return _mm_or_si128(first, second);
}

// Four words' upper three bytes, packed into the low 12 bytes; the top 4 bytes are zero.
inline __m128i narrow32x4(__m128i words)
{
    const __m128i pairs = _mm_or_si128(_mm_and_si128(_mm_srli_epi64(words, 8), _mm_set1_epi64x(0x0000000000FFFFFFll)),
                                       _mm_and_si128(_mm_srli_epi64(words, 16), _mm_set1_epi64x(0x0000FFFFFF000000ll)));
    return _mm_or_si128(_mm_move_epi64(pairs), _mm_slli_si128(_mm_unpackhi_epi64(pairs, _mm_setzero_si128()), 6));
}

} // namespace

void audioInt16to32Copy(int32_t* __restrict destination, const int32_t* __restrict source, int32_t count)
{
    const uint8_t* in = bytesOf(source);
    for (size_t i = 0, n = samples(count); i < n; ++i) {
        destination[i] = fromBits(packed16(in + 2 * i) << 16);
    }
}

// Four samples per step with 16-byte loads and stores: the scalar form's one store per sample
// was the limit, and made the copy's time swing with whatever else the core was doing.
void audioInt24to32Copy(int32_t* __restrict destination, const int32_t* __restrict source, int32_t count)
{
    const uint8_t* in = bytesOf(source);
    const size_t n = samples(count);
    size_t i = 0;
    // A step reads 16 bytes from 3i: stays inside the 3n packed bytes while 3i + 16 <= 3n.
    for (; 3 * i + 16 <= 3 * n; i += 4) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 3 * i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + i), widen24x4(bytes));
    }
    forEachPacked24High(in + 3 * i, n - i,
                        [&](size_t k, uint32_t high) { destination[i + k] = fromBits(high); });
}

void audioInt16to32CopyShift(int32_t* __restrict destination, const int32_t* __restrict source, int32_t count)
{
    const uint8_t* in = bytesOf(source);
    for (size_t i = 0, n = samples(count); i < n; ++i) {
        destination[i] = fromBits(packed16(in + 2 * i) << 16) >> 8;
    }
}

void audioInt24to32CopyShift(int32_t* __restrict destination, const int32_t* __restrict source, int32_t count)
{
    const uint8_t* in = bytesOf(source);
    const size_t n = samples(count);
    size_t i = 0;
    for (; 3 * i + 16 <= 3 * n; i += 4) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 3 * i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + i), _mm_srai_epi32(widen24x4(bytes), 8));
    }
    forEachPacked24High(in + 3 * i, n - i,
                        [&](size_t k, uint32_t high) { destination[i + k] = fromBits(high) >> 8; });
}

void audioInt32to16Copy(int32_t* __restrict destination, const int32_t* __restrict source, int32_t count)
{
    uint8_t* out = bytesOf(destination);
    for (size_t i = 0, n = samples(count); i < n; ++i) {
        const auto bits = static_cast<uint32_t>(source[i]);
        out[2 * i] = static_cast<uint8_t>(bits >> 16);
        out[2 * i + 1] = static_cast<uint8_t>(bits >> 24);
    }
}

void audioInt32to24Copy(int32_t* __restrict destination, const int32_t* __restrict source, int32_t count)
{
    uint8_t* out = bytesOf(destination);
    const size_t n = samples(count);
    size_t i = 0;
    // A step stores 16 bytes at 3i, the last 4 of them rewritten by the next step or the tail:
    // stays inside the 3n packed bytes while 3i + 16 <= 3n.
    for (; 3 * i + 16 <= 3 * n; i += 4) {
        const __m128i words = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * i), narrow32x4(words));
    }
    // Each sample but the last is stored as a 32-bit word; its fourth byte is overwritten by the
    // next sample, so nothing is written past the packed data.
    for (; i + 1 < n; ++i) {
        const uint32_t word = static_cast<uint32_t>(source[i]) >> 8;
        std::memcpy(out + 3 * i, &word, sizeof word);
    }
    if (n > 0) {
        const auto bits = static_cast<uint32_t>(source[n - 1]);
        out[3 * n - 3] = static_cast<uint8_t>(bits >> 8);
        out[3 * n - 2] = static_cast<uint8_t>(bits >> 16);
        out[3 * n - 1] = static_cast<uint8_t>(bits >> 24);
    }
}

void audioInt32CopySet(int32_t* __restrict destination, const int32_t* __restrict source, int32_t count)
{
    std::memcpy(destination, source, samples(count) * sizeof(int32_t));
}

void audioInt32CopyAdd(int32_t* __restrict destination, const int32_t* __restrict source, int32_t count)
{
    for (size_t i = 0, n = samples(count); i < n; ++i) {
        destination[i] = fromBits(static_cast<uint32_t>(destination[i]) + static_cast<uint32_t>(source[i]));
    }
}

void audioInt32CopyShift(int32_t* __restrict destination, const int32_t* __restrict source, int32_t count)
{
    for (size_t i = 0, n = samples(count); i < n; ++i) {
        destination[i] = source[i] / 256;
    }
}

void audioInt32Clear(int32_t* buffer, int32_t count)
{
    std::memset(buffer, 0, samples(count) * sizeof(int32_t));
}

void audioInt32ClearNot(int32_t*, int32_t) {}

void audioInt32Saturate(int32_t* buffer, int32_t count)
{
    // Clipping to the 24-bit range first makes the shifted limits exactly 0x80000000 and
    // 0x7FFFFF00; written as selects so that the loop vectorises.
    constexpr int32_t kMin24 = -8'388'608;
    constexpr int32_t kMax24 = 8'388'607;
    for (size_t i = 0, n = samples(count); i < n; ++i) {
        const int32_t v = buffer[i];
        const int32_t clipped = v < kMin24 ? kMin24 : (v > kMax24 ? kMax24 : v);
        buffer[i] = fromBits(static_cast<uint32_t>(clipped) << 8);
    }
}

// clang-format off
void audioInt32CopyShift6To0(int32_t* d, const int32_t* s, int32_t n) { copySubset<6, 0>(d, s, n); }
void audioInt32CopyShift6To1(int32_t* d, const int32_t* s, int32_t n) { copySubset<6, 1>(d, s, n); }
void audioInt32CopyShift6To2(int32_t* d, const int32_t* s, int32_t n) { copySubset<6, 2>(d, s, n); }
void audioInt32CopyShift6To3(int32_t* d, const int32_t* s, int32_t n) { copySubset<6, 3>(d, s, n); }
void audioInt32CopyShift6To4(int32_t* d, const int32_t* s, int32_t n) { copySubset<6, 4>(d, s, n); }
void audioInt32CopyShift6To5(int32_t* d, const int32_t* s, int32_t n) { copySubset<6, 5>(d, s, n); }
void audioInt32CopyShift12To0(int32_t* d, const int32_t* s, int32_t n) { copySubset<12, 0>(d, s, n); }
void audioInt32CopyShift12To2(int32_t* d, const int32_t* s, int32_t n) { copySubset<12, 2>(d, s, n); }
void audioInt32CopyShift12To4(int32_t* d, const int32_t* s, int32_t n) { copySubset<12, 4>(d, s, n); }
void audioInt32CopyShift12To6(int32_t* d, const int32_t* s, int32_t n) { copySubset<12, 6>(d, s, n); }
void audioInt32CopyShift12To8(int32_t* d, const int32_t* s, int32_t n) { copySubset<12, 8>(d, s, n); }
void audioInt32CopyShift12To10(int32_t* d, const int32_t* s, int32_t n) { copySubset<12, 10>(d, s, n); }
// clang-format on

void audioInt24to32CopyShift6To4(int32_t* __restrict destination, const int32_t* __restrict source,
                                 int32_t count)
{
    constexpr size_t kFrameBytes = 6 * 3;
    const size_t n = samples(count);
    std::memset(destination, 0, n * sizeof(int32_t));
    const uint8_t* in = bytesOf(source);
    for (size_t f = 0, frames = n / 4; f < frames; ++f) {
        for (size_t c = 0; c < 4; ++c) {
            destination[f * 4 + c] = fromBits(packed24(in + f * kFrameBytes + 3 * c) << 8) >> 8;
        }
    }
}
