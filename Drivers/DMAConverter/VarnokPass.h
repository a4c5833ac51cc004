// The vector members of the Varnok layouts. No bit planes: the decoders turn channel-grouped words
// into frames (a transpose of 32-word blocks), the encoders turn frames into channel-grouped
// 3-byte samples (a transpose of 32-word groups, then bits 8-31 of each word packed). With 512-bit
// byte permutes one two-register permute does both for 64 output bytes; with AVX2, interleaves
// and in-lane byte shuffles; with SSE2, interleaves and 64-bit shifts. Every instruction-set level
// compiles this in its own namespace (see VectorMembers.h).
#pragma once

#include "BitPlaneLayout.h"

#include <array>
#include <immintrin.h>
#include <type_traits>

namespace dmaconv {
inline namespace DMACONV_ISA {

constexpr unsigned kVarnokBlockWords = 32;  // decoders: 4 blocks of 32 words in, 4 x 32 host words out
constexpr unsigned kVarnokBlocks = 4;
constexpr unsigned kVarnokGroupBytes = 96;  // encoders: 5 groups of 32 host words, 96 bytes each
constexpr unsigned kVarnokGroups = 5;

// Host word of frame-order position `position` (frame f, channel c) inside a block or group of N
// channels: channel c's F = 32 / N frames stand together in the channel-grouped order.
template <unsigned N> constexpr unsigned groupedPosition(unsigned position)
{
    constexpr unsigned frames = kVarnokBlockWords / N;
    return (position % N) * frames + position / N;
}
// Frame-order position of the sample at channel-grouped position `grouped`.
template <unsigned N> constexpr unsigned framePosition(unsigned grouped)
{
    constexpr unsigned frames = kVarnokBlockWords / N;
    return (grouped % frames) * N + grouped / frames;
}

#if defined(__AVX512VBMI__)

template <unsigned N> inline void decodeVarnokWords(const uint8_t* in, uint8_t* out)
{
    if constexpr (N == 32) {
        for (unsigned i = 0; i < kVarnokBlocks * 2; ++i) {
            _mm512_storeu_si512(out + 64 * i, _mm512_loadu_si512(in + 64 * i));
        }
    } else {
        alignas(64) static constexpr auto table = [] {
            std::array<uint32_t, 32> t{};
            for (unsigned o = 0; o < kVarnokBlockWords; ++o) {
                t[o] = groupedPosition<N>(o);
            }
            return t;
        }();
        const __m512i low = _mm512_load_si512(table.data());
        const __m512i high = _mm512_load_si512(table.data() + 16);
        for (unsigned b = 0; b < kVarnokBlocks; ++b) {
            const __m512i first = _mm512_loadu_si512(in + 128 * b);
            const __m512i second = _mm512_loadu_si512(in + 128 * b + 64);
            _mm512_storeu_si512(out + 128 * b, _mm512_permutex2var_epi32(first, low, second));
            _mm512_storeu_si512(out + 128 * b + 64, _mm512_permutex2var_epi32(first, high, second));
        }
    }
}

// Encoder: output byte o of a group is byte 1 + o % 3 of the host word of grouped sample o / 3.
// Two whole-register permutes give bytes 0-63 and 32-95; the second store overwrites the
// overlap with the same bytes.
template <unsigned N> inline void encodeVarnokWords(const uint8_t* in, uint8_t* out)
{
    alignas(64) static constexpr auto table = [] {
        std::array<uint8_t, 128> t{};
        for (unsigned o = 0; o < 64; ++o) {
            t[o] = static_cast<uint8_t>(4 * framePosition<N>(o / 3) + 1 + o % 3);
            t[64 + o] = static_cast<uint8_t>(4 * framePosition<N>((32 + o) / 3) + 1 + (32 + o) % 3);
        }
        return t;
    }();
    const __m512i head = _mm512_load_si512(table.data());
    const __m512i tail = _mm512_load_si512(table.data() + 64);
    for (unsigned g = 0; g < kVarnokGroups; ++g) {
        const __m512i first = _mm512_loadu_si512(in + 128 * g);
        const __m512i second = _mm512_loadu_si512(in + 128 * g + 64);
        _mm512_storeu_si512(out + kVarnokGroupBytes * g, _mm512_permutex2var_epi8(first, head, second));
        _mm512_storeu_si512(out + kVarnokGroupBytes * g + 32, _mm512_permutex2var_epi8(first, tail, second));
    }
}

#elif defined(__AVX2__)

inline __m256i load256(const uint8_t* p)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
inline void store256(uint8_t* p, __m256i v)
{
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

template <unsigned N> inline void decodeVarnokWords(const uint8_t* in, uint8_t* out)
{
    for (unsigned b = 0; b < kVarnokBlocks; ++b) {
        const uint8_t* block = in + 128 * b;
        uint8_t* frames = out + 128 * b;
        const __m256i y0 = load256(block), y1 = load256(block + 32), y2 = load256(block + 64),
                      y3 = load256(block + 96);
        if constexpr (N == 32) {
            store256(frames, y0);
            store256(frames + 32, y1);
            store256(frames + 64, y2);
            store256(frames + 96, y3);
        } else if constexpr (N == 16) {
            // Frame 0 is every even word, frame 1 every odd one.
            auto pick = [](__m256i first, __m256i second, auto odd) {
                const __m256 v = _mm256_shuffle_ps(_mm256_castsi256_ps(first), _mm256_castsi256_ps(second),
                                                   decltype(odd)::value ? _MM_SHUFFLE(3, 1, 3, 1)
                                                                        : _MM_SHUFFLE(2, 0, 2, 0));
                return _mm256_permute4x64_epi64(_mm256_castps_si256(v), _MM_SHUFFLE(3, 1, 2, 0));
            };
            store256(frames, pick(y0, y1, std::false_type{}));
            store256(frames + 32, pick(y2, y3, std::false_type{}));
            store256(frames + 64, pick(y0, y1, std::true_type{}));
            store256(frames + 96, pick(y2, y3, std::true_type{}));
        } else {
            // Channels 0-3 in the low lanes, 4-7 in the high lanes; a 4 x 4 transpose in each.
            const __m256i r04 = _mm256_permute2x128_si256(y0, y2, 0x20), r15 = _mm256_permute2x128_si256(y0, y2, 0x31);
            const __m256i r26 = _mm256_permute2x128_si256(y1, y3, 0x20), r37 = _mm256_permute2x128_si256(y1, y3, 0x31);
            const __m256i t0 = _mm256_unpacklo_epi32(r04, r15), t1 = _mm256_unpacklo_epi32(r26, r37);
            const __m256i t2 = _mm256_unpackhi_epi32(r04, r15), t3 = _mm256_unpackhi_epi32(r26, r37);
            store256(frames, _mm256_unpacklo_epi64(t0, t1));
            store256(frames + 32, _mm256_unpackhi_epi64(t0, t1));
            store256(frames + 64, _mm256_unpacklo_epi64(t2, t3));
            store256(frames + 96, _mm256_unpackhi_epi64(t2, t3));
        }
    }
}

// Shuffle index that puts packed bytes first .. first + count - 1 of four words (byte 3i + k is
// byte 1 + k of word i) at bytes at .. at + count - 1 of each lane; the rest zero.
constexpr std::array<int8_t, 16> packedBytes(unsigned at, unsigned first, unsigned count)
{
    std::array<int8_t, 16> m{};
    for (auto& v : m) {
        v = -1;
    }
    for (unsigned i = 0; i < count; ++i) {
        const unsigned packed = first + i;
        m[at + i] = static_cast<int8_t>(4 * (packed / 3) + 1 + packed % 3);
    }
    return m;
}

template <std::array<int8_t, 16> M> inline __m256i shuffleBy(__m256i v)
{
    static constexpr std::array<int8_t, 16> index = M;
    return _mm256_shuffle_epi8(
        v, _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(index.data()))));
}

// Samples in p[k]: grouped samples 4k..4k+3 in the low lane, 16 + 4k .. in the high lane.
inline void storePackedGroup(const __m256i p[4], uint8_t* out)
{
    const __m256i r0 = _mm256_or_si256(shuffleBy<packedBytes(0, 0, 12)>(p[0]), shuffleBy<packedBytes(12, 0, 4)>(p[1]));
    const __m256i r1 = _mm256_or_si256(shuffleBy<packedBytes(0, 4, 8)>(p[1]), shuffleBy<packedBytes(8, 0, 8)>(p[2]));
    const __m256i r2 = _mm256_or_si256(shuffleBy<packedBytes(0, 8, 4)>(p[2]), shuffleBy<packedBytes(4, 0, 12)>(p[3]));
    store256(out, _mm256_permute2x128_si256(r0, r1, 0x20));
    store256(out + 32, _mm256_blend_epi32(r2, r0, 0xF0));
    store256(out + 64, _mm256_permute2x128_si256(r1, r2, 0x31));
}

template <unsigned N> inline void encodeVarnokWords(const uint8_t* in, uint8_t* out)
{
    for (unsigned g = 0; g < kVarnokGroups; ++g) {
        const uint8_t* group = in + 128 * g;
        const __m256i y0 = load256(group), y1 = load256(group + 32), y2 = load256(group + 64),
                      y3 = load256(group + 96);
        __m256i p[4];
        if constexpr (N == 32) {
            p[0] = _mm256_permute2x128_si256(y0, y2, 0x20);
            p[1] = _mm256_permute2x128_si256(y0, y2, 0x31);
            p[2] = _mm256_permute2x128_si256(y1, y3, 0x20);
            p[3] = _mm256_permute2x128_si256(y1, y3, 0x31);
        } else if constexpr (N == 16) {
            // Frame 0 channels 0-3 | 8-11 beside frame 1's, then 4-7 | 12-15.
            const __m256i first0 = _mm256_permute2x128_si256(y0, y1, 0x20);
            const __m256i first1 = _mm256_permute2x128_si256(y2, y3, 0x20);
            const __m256i second0 = _mm256_permute2x128_si256(y0, y1, 0x31);
            const __m256i second1 = _mm256_permute2x128_si256(y2, y3, 0x31);
            p[0] = _mm256_unpacklo_epi32(first0, first1);
            p[1] = _mm256_unpackhi_epi32(first0, first1);
            p[2] = _mm256_unpacklo_epi32(second0, second1);
            p[3] = _mm256_unpackhi_epi32(second0, second1);
        } else {
            // Frames f in y_f, channels 0-3 low, 4-7 high: a 4 x 4 transpose in each lane.
            const __m256i t0 = _mm256_unpacklo_epi32(y0, y1), t1 = _mm256_unpacklo_epi32(y2, y3);
            const __m256i t2 = _mm256_unpackhi_epi32(y0, y1), t3 = _mm256_unpackhi_epi32(y2, y3);
            p[0] = _mm256_unpacklo_epi64(t0, t1);
            p[1] = _mm256_unpackhi_epi64(t0, t1);
            p[2] = _mm256_unpacklo_epi64(t2, t3);
            p[3] = _mm256_unpackhi_epi64(t2, t3);
        }
        storePackedGroup(p, out + kVarnokGroupBytes * g);
    }
}

#else

// load128 comes with the plane decoders' pass (VectorDecodePass.h).
inline void store128(uint8_t* p, __m128i v)
{
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// Rows a, b, c, d of a 4 x 4 word matrix become its columns.
inline void transpose4(__m128i& a, __m128i& b, __m128i& c, __m128i& d)
{
    const __m128i t0 = _mm_unpacklo_epi32(a, b), t1 = _mm_unpacklo_epi32(c, d);
    const __m128i t2 = _mm_unpackhi_epi32(a, b), t3 = _mm_unpackhi_epi32(c, d);
    a = _mm_unpacklo_epi64(t0, t1);
    b = _mm_unpackhi_epi64(t0, t1);
    c = _mm_unpacklo_epi64(t2, t3);
    d = _mm_unpackhi_epi64(t2, t3);
}

template <unsigned N> inline void decodeVarnokWords(const uint8_t* in, uint8_t* out)
{
    for (unsigned b = 0; b < kVarnokBlocks; ++b) {
        const uint8_t* block = in + 128 * b;
        uint8_t* frames = out + 128 * b;
        __m128i r[8];
        for (unsigned i = 0; i < 8; ++i) {
            r[i] = load128(block + 16 * i);
        }
        if constexpr (N == 32) {
            for (unsigned i = 0; i < 8; ++i) {
                store128(frames + 16 * i, r[i]);
            }
        } else if constexpr (N == 16) {
            // Frame 0 is every even word, frame 1 every odd one.
            for (unsigned i = 0; i < 4; ++i) {
                const __m128 a = _mm_castsi128_ps(r[2 * i]), c = _mm_castsi128_ps(r[2 * i + 1]);
                store128(frames + 16 * i, _mm_castps_si128(_mm_shuffle_ps(a, c, _MM_SHUFFLE(2, 0, 2, 0))));
                store128(frames + 64 + 16 * i, _mm_castps_si128(_mm_shuffle_ps(a, c, _MM_SHUFFLE(3, 1, 3, 1))));
            }
        } else {
            // r[c]: channel c's 4 frames; after the transposes r[f] holds channels 0-3 of frame f,
            // r[4 + f] channels 4-7.
            transpose4(r[0], r[1], r[2], r[3]);
            transpose4(r[4], r[5], r[6], r[7]);
            for (unsigned f = 0; f < 4; ++f) {
                store128(frames + 32 * f, r[f]);
                store128(frames + 32 * f + 16, r[4 + f]);
            }
        }
    }
}

// Bits 8-31 of 16 words (4 in each p[k], in order) as 48 bytes. Each 64-bit lane first packs its
// two words into 48 bits; then 64-bit shifts join the lanes into six 64-bit output words.
inline void storePacked16(const __m128i p[4], uint8_t* out)
{
    const __m128i lowWord = _mm_set1_epi64x(0x0000000000FFFFFFll);
    const __m128i highWord = _mm_set1_epi64x(0x0000FFFFFF000000ll);
    __m128i h[4];
    for (unsigned k = 0; k < 4; ++k) {
        h[k] = _mm_or_si128(_mm_and_si128(_mm_srli_epi64(p[k], 8), lowWord),
                            _mm_and_si128(_mm_srli_epi64(p[k], 16), highWord));
    }
    // The six-byte pieces 0-3 (output bytes 0-23) low, 4-7 (bytes 24-47) high.
    const __m128i a = _mm_unpacklo_epi64(h[0], h[2]), b = _mm_unpackhi_epi64(h[0], h[2]);
    const __m128i c = _mm_unpacklo_epi64(h[1], h[3]), d = _mm_unpackhi_epi64(h[1], h[3]);
    const __m128i q03 = _mm_or_si128(a, _mm_slli_epi64(b, 48));
    const __m128i q14 = _mm_or_si128(_mm_srli_epi64(b, 16), _mm_slli_epi64(c, 32));
    const __m128i q25 = _mm_or_si128(_mm_srli_epi64(c, 32), _mm_slli_epi64(d, 16));
    store128(out, _mm_unpacklo_epi64(q03, q14));
    store128(out + 16, _mm_castpd_si128(_mm_move_sd(_mm_castsi128_pd(q03), _mm_castsi128_pd(q25))));
    store128(out + 32, _mm_unpackhi_epi64(q14, q25));
}

template <unsigned N> inline void encodeVarnokWords(const uint8_t* in, uint8_t* out)
{
    for (unsigned g = 0; g < kVarnokGroups; ++g) {
        const uint8_t* group = in + 128 * g;
        __m128i r[8];
        for (unsigned i = 0; i < 8; ++i) {
            r[i] = load128(group + 16 * i);
        }
        __m128i p[8]; // grouped samples 4k..4k+3 in p[k]
        if constexpr (N == 32) {
            for (unsigned i = 0; i < 8; ++i) {
                p[i] = r[i];
            }
        } else if constexpr (N == 16) {
            for (unsigned i = 0; i < 4; ++i) {
                p[2 * i] = _mm_unpacklo_epi32(r[i], r[4 + i]);
                p[2 * i + 1] = _mm_unpackhi_epi32(r[i], r[4 + i]);
            }
        } else {
            // r[2f]: frame f's channels 0-3, r[2f + 1] its channels 4-7.
            p[0] = r[0], p[1] = r[2], p[2] = r[4], p[3] = r[6];
            p[4] = r[1], p[5] = r[3], p[6] = r[5], p[7] = r[7];
            transpose4(p[0], p[1], p[2], p[3]);
            transpose4(p[4], p[5], p[6], p[7]);
        }
        storePacked16(p, out + kVarnokGroupBytes * g);
        storePacked16(p + 4, out + kVarnokGroupBytes * g + 48);
    }
}

#endif

// The call shells, as the portable members: a null record, source or destination gives the count
// and writes nothing.
template <unsigned N> uint32_t decodeVarnokBlock(DMAConvertArgs* args)
{
    if (args != nullptr && args->src != nullptr && args->dst != nullptr) {
        decodeVarnokWords<N>(static_cast<const uint8_t*>(args->src), static_cast<uint8_t*>(args->dst));
    }
    return kVarnokBlocks * kVarnokBlockWords;
}

template <unsigned N> uint32_t encodeVarnokBlock(DMAConvertArgs* args)
{
    if (args != nullptr && args->src != nullptr && args->dst != nullptr) {
        encodeVarnokWords<N>(static_cast<const uint8_t*>(args->src), static_cast<uint8_t*>(args->dst));
    }
    return kVarnokGroups * 128;
}

} // namespace DMACONV_ISA
} // namespace dmaconv
