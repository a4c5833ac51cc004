// 8 x 8 bit-matrix flip about the anti-diagonal, the step both directions of the plane rule
// reduce to in the vector members. Rows are the bytes of a 64-bit lane (row r = bits 8r..8r+7,
// column c = bit c of the row); bit (r, c) moves to (7 - c, 7 - r). Three swaps of ever larger
// sub-blocks, or one affine step where the level has GFNI; no data-dependent control flow.
//
// Encoding: row 7 - k = one byte of plane sample k  ->  row j = output byte j, sample k in bit k.
// Decoding: row j = plane unit j                     ->  row 7 - k = channel k's byte, unit 0 on top.
#pragma once

#include <cstdint>
#include <immintrin.h>

// Each vector instruction-set level compiles these helpers into its own namespace (VectorMembers.h),
// so a copy built for a wider level never stands in for the default one.
#ifndef DMACONV_ISA
#define DMACONV_ISA sse2
#endif

namespace dmaconv {
inline namespace DMACONV_ISA {

// The flip on both 64-bit lanes of a 128-bit register at once.
inline __m128i flipAntiDiagonal(__m128i x)
{
#if defined(__GFNI__)
    // One affine step with the lane as the matrix: output bit (r, c) = parity of matrix row 7 - c
    // masked by constant byte r, which holds bit 7 - r alone.
    return _mm_gf2p8affine_epi64_epi8(_mm_set1_epi64x(0x0102040810204080ll), x, 0);
#else
    const __m128i m9 = _mm_set1_epi64x(0x0055005500550055ll);
    const __m128i m18 = _mm_set1_epi64x(0x0000333300003333ll);
    const __m128i m36 = _mm_set1_epi64x(0x000000000F0F0F0Fll);
    __m128i t = _mm_and_si128(_mm_xor_si128(_mm_srli_epi64(x, 9), x), m9);
    x = _mm_xor_si128(x, _mm_xor_si128(t, _mm_slli_epi64(t, 9)));
    t = _mm_and_si128(_mm_xor_si128(_mm_srli_epi64(x, 18), x), m18);
    x = _mm_xor_si128(x, _mm_xor_si128(t, _mm_slli_epi64(t, 18)));
    t = _mm_and_si128(_mm_xor_si128(_mm_srli_epi64(x, 36), x), m36);
    x = _mm_xor_si128(x, _mm_xor_si128(t, _mm_slli_epi64(t, 36)));
    return x;
#endif
}

#if defined(__AVX2__)
// The flip on all four 64-bit lanes of a 256-bit register.
inline __m256i flipAntiDiagonal(__m256i x)
{
#if defined(__GFNI__)
    return _mm256_gf2p8affine_epi64_epi8(_mm256_set1_epi64x(0x0102040810204080ll), x, 0);
#else
    const __m256i m9 = _mm256_set1_epi64x(0x0055005500550055ll);
    const __m256i m18 = _mm256_set1_epi64x(0x0000333300003333ll);
    const __m256i m36 = _mm256_set1_epi64x(0x000000000F0F0F0Fll);
    __m256i t = _mm256_and_si256(_mm256_xor_si256(_mm256_srli_epi64(x, 9), x), m9);
    x = _mm256_xor_si256(x, _mm256_xor_si256(t, _mm256_slli_epi64(t, 9)));
    t = _mm256_and_si256(_mm256_xor_si256(_mm256_srli_epi64(x, 18), x), m18);
    x = _mm256_xor_si256(x, _mm256_xor_si256(t, _mm256_slli_epi64(t, 18)));
    t = _mm256_and_si256(_mm256_xor_si256(_mm256_srli_epi64(x, 36), x), m36);
    return _mm256_xor_si256(x, _mm256_xor_si256(t, _mm256_slli_epi64(t, 36)));
#endif
}
#endif

// The interleaves at either register width (128 or 256 bits), so one sequence of them serves
// both; the 256-bit forms interleave within each 128-bit lane.
#define DMACONV_INTERLEAVE(name, op)                                                                         \
    template <class V> inline V name(V a, V b)                                                               \
    {                                                                                                        \
        if constexpr (sizeof(V) == 16) {                                                                     \
            return _mm_##op(a, b);                                                                           \
        } else {                                                                                             \
            return _mm256_##op(a, b);                                                                        \
        }                                                                                                    \
    }
DMACONV_INTERLEAVE(unpackLow8, unpacklo_epi8)
DMACONV_INTERLEAVE(unpackHigh8, unpackhi_epi8)
DMACONV_INTERLEAVE(unpackLow16, unpacklo_epi16)
DMACONV_INTERLEAVE(unpackHigh16, unpackhi_epi16)
DMACONV_INTERLEAVE(unpackLow32, unpacklo_epi32)
DMACONV_INTERLEAVE(unpackHigh32, unpackhi_epi32)
DMACONV_INTERLEAVE(unpackHigh64, unpackhi_epi64)
#undef DMACONV_INTERLEAVE

// The four 32-bit words of each 128-bit lane in reverse order.
template <class V> inline V reverseWords(V a)
{
    if constexpr (sizeof(V) == 16) {
        return _mm_shuffle_epi32(a, _MM_SHUFFLE(0, 1, 2, 3));
    } else {
        return _mm256_shuffle_epi32(a, _MM_SHUFFLE(0, 1, 2, 3));
    }
}

} // namespace DMACONV_ISA
} // namespace dmaconv
