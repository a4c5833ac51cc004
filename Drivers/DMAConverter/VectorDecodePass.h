// The vector frame pass of the plane decoders. Eight units of a plane (one slice) hold 8 bits of
// up to 8 channels: one anti-diagonal flip of the 8 x 8 bit matrix turns a slice around, two
// slices per 128-bit register, and byte interleaves assemble 16 output words; for planes of one or
// two channels byte-mask extraction is cheaper. Every instruction-set level compiles this pass in
// its own namespace (see VectorMembers.h).
#pragma once

#include "BitPlaneLayout.h"
#include "BitTranspose.h"

#include <emmintrin.h>
#include <xmmintrin.h>

namespace dmaconv {
inline namespace DMACONV_ISA {

// Words Base+4g .. Base+4g+3 of a frame of N, whole or the first two, never past the frame.
template <unsigned N, unsigned First> inline void storeWordGroup(uint8_t* hostFrame, __m128i words)
{
    if constexpr (First + 4 <= N) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(hostFrame + 4 * First), words);
    } else if constexpr (First + 2 == N) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(hostFrame + 4 * First), words);
    }
}

// Channels Base..Base+15 from the flipped slices: even holds the even plane's slices 0 and 1,
// odd the odd plane's, last the even and the odd plane's slice 2. A flipped lane lists its
// channels downwards, so interleaving odd before even lists all sixteen downwards.
template <unsigned N, unsigned Base>
inline void storeSixteenChannels(__m128i even, __m128i odd, __m128i last, uint8_t* hostFrame)
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i top = _mm_unpacklo_epi8(odd, even);                               // slice 0: bits 31-24
    const __m128i middle = _mm_unpackhi_epi8(odd, even);                            // slice 1: bits 23-16
    const __m128i bottom = _mm_unpacklo_epi8(_mm_unpackhi_epi64(last, last), last); // slice 2: bits 15-8
    const __m128i lowHalvesUpper = _mm_unpacklo_epi8(zero, bottom);                 // channels 15..8
    const __m128i lowHalvesLower = _mm_unpackhi_epi8(zero, bottom);                 // channels 7..0
    const __m128i highHalvesUpper = _mm_unpacklo_epi8(middle, top);                 // channels 15..8
    const __m128i highHalvesLower = _mm_unpackhi_epi8(middle, top);                 // channels 7..0
    constexpr int reverse = _MM_SHUFFLE(0, 1, 2, 3);
    storeWordGroup<N, Base + 12>(
        hostFrame, _mm_shuffle_epi32(_mm_unpacklo_epi16(lowHalvesUpper, highHalvesUpper), reverse));
    storeWordGroup<N, Base + 8>(
        hostFrame, _mm_shuffle_epi32(_mm_unpackhi_epi16(lowHalvesUpper, highHalvesUpper), reverse));
    storeWordGroup<N, Base + 4>(
        hostFrame, _mm_shuffle_epi32(_mm_unpacklo_epi16(lowHalvesLower, highHalvesLower), reverse));
    storeWordGroup<N, Base>(hostFrame,
                            _mm_shuffle_epi32(_mm_unpackhi_epi16(lowHalvesLower, highHalvesLower), reverse));
}

inline __m128i load128(const uint8_t* p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
inline __m128i load64(const uint8_t* p)
{
    return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
}

// The 16 bytes in reverse order.
inline __m128i reverseBytes(__m128i v)
{
    v = _mm_shuffle_epi32(v, _MM_SHUFFLE(0, 1, 2, 3));
    v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, _MM_SHUFFLE(2, 3, 0, 1)), _MM_SHUFFLE(2, 3, 0, 1));
    return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
}

// Byte-mask form for few channels: with the units in reverse order, one byte-mask extraction
// collects one channel bit of 16 units, the first unit on top. Cheaper than whole flips while a
// plane has at most kMaskFormPlaneChannels channels.
// With GFNI a flip is one instruction and always the cheaper form.
#if defined(__GFNI__)
constexpr unsigned kMaskFormPlaneChannels = 0;
#else
constexpr unsigned kMaskFormPlaneChannels = 2;
#endif

template <unsigned N> inline void decodeFewChannels(const uint8_t* deviceFrame, uint8_t* hostFrame)
{
    const __m128i even = reverseBytes(load128(deviceFrame));     // lane i: even unit 15 - i
    const __m128i odd = reverseBytes(load128(deviceFrame + 32)); // lane i: odd unit 15 - i
    // lanes 0-7: odd units 23..16, lanes 8-15: even units 23..16
    const __m128i last = reverseBytes(_mm_unpacklo_epi64(load64(deviceFrame + 16), load64(deviceFrame + 48)));
#pragma GCC unroll 8
    for (unsigned k = 0; k < N / 2; ++k) {
        // Bit k of every byte to the top of its byte; a word shift cannot carry a low byte's bit
        // to the top of the high byte.
        const uint32_t top = uint32_t(_mm_movemask_epi8(_mm_slli_epi16(even, 7 - k)));
        const uint32_t topOdd = uint32_t(_mm_movemask_epi8(_mm_slli_epi16(odd, 7 - k)));
        const uint32_t bottom = uint32_t(_mm_movemask_epi8(_mm_slli_epi16(last, 7 - k)));
        storeWord(hostFrame + 8 * k, top << 16 | (bottom & 0xFF00u));
        storeWord(hostFrame + 8 * k + 4, topOdd << 16 | (bottom & 0x00FFu) << 8);
    }
}

struct VectorDecodePass
{
    template <class Layout> static void decodeFrame(const uint8_t* deviceFrame, uint8_t* hostFrame)
    {
        constexpr unsigned N = Layout::kChannels;
        if constexpr (N / 2 <= kMaskFormPlaneChannels) {
            decodeFewChannels<N>(deviceFrame, hostFrame);
        } else if constexpr (!Layout::kWordUnits) {
            // Slice 2 of each plane by itself, so nothing past unit 23 is read.
            const __m128i even = flipAntiDiagonal(load128(deviceFrame));
            const __m128i odd = flipAntiDiagonal(load128(deviceFrame + 32));
            const __m128i last =
                flipAntiDiagonal(_mm_unpacklo_epi64(load64(deviceFrame + 16), load64(deviceFrame + 48)));
            storeSixteenChannels<N, 0>(even, odd, last, hostFrame);
        } else {
            const __m128i low = _mm_set1_epi16(0x00FF);
            const __m128i e0 = load128(deviceFrame), e1 = load128(deviceFrame + 16),
                          e2 = load128(deviceFrame + 32);
            const __m128i o0 = load128(deviceFrame + 64), o1 = load128(deviceFrame + 80),
                          o2 = load128(deviceFrame + 96);
            // Low bytes serve channels 0-15, high bytes 16-31; the packs cannot saturate.
            auto lows = [&](__m128i a, __m128i b) {
                return flipAntiDiagonal(_mm_packus_epi16(_mm_and_si128(a, low), _mm_and_si128(b, low)));
            };
            auto highs = [&](__m128i a, __m128i b) {
                return flipAntiDiagonal(_mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8)));
            };
            storeSixteenChannels<N, 0>(lows(e0, e1), lows(o0, o1), lows(e2, o2), hostFrame);
            storeSixteenChannels<N, 16>(highs(e0, e1), highs(o0, o1), highs(e2, o2), hostFrame);
        }
    }
};

} // namespace DMACONV_ISA
} // namespace dmaconv
