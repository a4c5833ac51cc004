#include "AudioCopy.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <immintrin.h>

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
    const __m128i pairs =
        _mm_or_si128(_mm_and_si128(_mm_srli_epi64(words, 8), _mm_set1_epi64x(0x0000000000FFFFFFll)),
                     _mm_and_si128(_mm_srli_epi64(words, 16), _mm_set1_epi64x(0x0000FFFFFF000000ll)));
    return _mm_or_si128(_mm_move_epi64(pairs),
                        _mm_slli_si128(_mm_unpackhi_epi64(pairs, _mm_setzero_si128()), 6));
}

// With AVX-512 byte permutes (VBMI) one permute moves 16 packed samples between their 48 bytes and
// 16 words: far fewer instructions than the 4-sample steps, so the copies run at the speed of the
// memory instead of the speed of the core (which varies from one run to the next). Chosen when the
// library loads.
bool detectPermutes()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vbmi");
}

// Kept in a function, so that it is right for a caller that runs while the program's globals are
// still being set up.
bool permutesSupported()
{
    static const bool supported = detectPermutes();
    return supported;
}
std::atomic<bool> gPermutes{permutesSupported()};

bool usePermutes()
{
    return gPermutes.load(std::memory_order_relaxed);
}

constexpr uint64_t kPacked16Bytes = (uint64_t{1} << 48) - 1; // the 48 bytes of 16 packed samples
// Full masks: the unmasked forms of these intrinsics trip a false uninitialised-value warning.
constexpr uint64_t kAllBytes = ~uint64_t{0};
constexpr uint16_t kAllWords = 0xFFFF;

// Word k takes packed bytes 3k .. 3k + 2 into its upper three bytes; its low byte is zero.
constexpr auto kWidenIndex = [] {
    std::array<uint8_t, 64> index{};
    for (int t = 0; t < 64; ++t) {
        index[t] = static_cast<uint8_t>(t % 4 == 0 ? 0 : t / 4 * 3 + t % 4 - 1);
    }
    return index;
}();
constexpr uint64_t kWidenKeep = 0xEEEEEEEEEEEEEEEEull; // every byte but each word's lowest

// Packed byte t is byte t % 3 + 1 of word t / 3.
constexpr auto kNarrowIndex = [] {
    std::array<uint8_t, 64> index{};
    for (int t = 0; t < 64; ++t) {
        index[t] = static_cast<uint8_t>(t / 3 * 4 + t % 3 + 1);
    }
    return index;
}();

// Widens the whole 16-sample steps of n packed samples; `shift` is 8 for the right-aligned form.
// Returns the samples done.
template <int shift>
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) size_t
widen24Permuted(int32_t* __restrict destination, const uint8_t* __restrict in, size_t n)
{
    const __m512i index = _mm512_loadu_si512(kWidenIndex.data());
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m512i bytes = _mm512_maskz_loadu_epi8(kPacked16Bytes, in + 3 * i);
        __m512i words = _mm512_maskz_permutexvar_epi8(kWidenKeep, index, bytes);
        if constexpr (shift != 0) {
            words = _mm512_maskz_srai_epi32(kAllWords, words, shift);
        }
        _mm512_storeu_si512(destination + i, words);
    }
    return i;
}

__attribute__((target("avx512f,avx512bw,avx512vbmi"))) size_t
narrow24Permuted(uint8_t* __restrict out, const int32_t* __restrict source, size_t n)
{
    const __m512i index = _mm512_loadu_si512(kNarrowIndex.data());
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m512i words = _mm512_loadu_si512(source + i);
        _mm512_mask_storeu_epi8(out + 3 * i, kPacked16Bytes,
                                _mm512_maskz_permutexvar_epi8(kAllBytes, index, words));
    }
    return i;
}

// Frames of six packed samples, of which the first four are taken.
constexpr size_t kSubsetFrameBytes = 6 * 3;

// Output word k of a 4-frame step: frame k / 4, sample k % 4, in the upper three bytes. The step's
// highest byte is 65, so two 64-byte windows: from byte 0 and from byte 2 (indices 64 and up).
constexpr auto kSubsetIndex = [] {
    std::array<uint8_t, 64> index{};
    for (int t = 0; t < 64; ++t) {
        const int from = t / 16 * 18 + t / 4 % 4 * 3 + (t % 4 == 0 ? 0 : t % 4 - 1);
        index[t] = static_cast<uint8_t>(from < 64 ? from : 64 + from - 2);
    }
    return index;
}();

// Sign-extends the taken samples of whole 4-frame steps; returns the frames done.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) size_t
subset6To4Permuted(int32_t* __restrict destination, const uint8_t* __restrict in, size_t frames)
{
    const __m512i index = _mm512_loadu_si512(kSubsetIndex.data());
    size_t f = 0;
    for (; f + 4 <= frames; f += 4) {
        const uint8_t* step = in + f * kSubsetFrameBytes;
        const __m512i words = _mm512_maskz_permutex2var_epi8(kWidenKeep, _mm512_loadu_si512(step), index,
                                                             _mm512_loadu_si512(step + 2));
        _mm512_storeu_si512(destination + f * 4, _mm512_maskz_srai_epi32(kAllWords, words, 8));
    }
    return f;
}

} // namespace

bool audioCopyPermutesSupported()
{
    return permutesSupported();
}

void setAudioCopyPermutes(bool on)
{
    gPermutes.store(on && permutesSupported(), std::memory_order_relaxed);
}

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
    size_t i = usePermutes() ? widen24Permuted<0>(destination, in, n) : 0;
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
    size_t i = usePermutes() ? widen24Permuted<8>(destination, in, n) : 0;
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
    size_t i = usePermutes() ? narrow24Permuted(out, source, n) : 0;
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
    const size_t n = samples(count);
    const size_t frames = n / 4;
    const uint8_t* in = bytesOf(source);
    size_t f = usePermutes() ? subset6To4Permuted(destination, in, frames) : 0;
    // The four samples taken are the frame's first 12 bytes, each read as a 32-bit word whose
    // fourth byte (still inside the frame) is shifted out.
    for (; f < frames; ++f) {
        for (size_t c = 0; c < 4; ++c) {
            uint32_t word;
            std::memcpy(&word, in + f * kSubsetFrameBytes + 3 * c, sizeof word);
            destination[f * 4 + c] = fromBits(word << 8) >> 8;
        }
    }
    for (size_t i = frames * 4; i < n; ++i) {
        destination[i] = 0;
    }
}
