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

// The flip of the decoders. With GFNI the affine step's constant also chooses the order of a
// lane's output bytes, so the channels come out upwards and the words need no reversal.
#if defined(__GFNI__)
constexpr bool kSlicesListUpwards = true;
inline __m128i flipSlices(__m128i x)
{
    return _mm_gf2p8affine_epi64_epi8(_mm_set1_epi64x(0x8040201008040201ll), x, 0);
}
inline __m256i flipSlices(__m256i x)
{
    return _mm256_gf2p8affine_epi64_epi8(_mm256_set1_epi64x(0x8040201008040201ll), x, 0);
}
#else
constexpr bool kSlicesListUpwards = false;
template <class V> inline V flipSlices(V x)
{
    return flipAntiDiagonal(x);
}
#endif

// The words of 16 channels (words[g]: channels 4g..4g+3) from the flipped slices:
// even holds the even plane's slices 0 and 1, odd the odd plane's, last the even and the odd
// plane's slice 2. Interleaving the planes in the order their lanes list the channels lists all
// sixteen that way; three rounds of interleaves with zero below build the words.
template <class V> inline void sixteenChannelWords(V even, V odd, V last, V words[4])
{
    const V zero = V{};
    if constexpr (kSlicesListUpwards) {
        const V top = unpackLow8(even, odd);                         // slice 0: bits 31-24
        const V middle = unpackHigh8(even, odd);                     // slice 1: bits 23-16
        const V bottom = unpackLow8(last, unpackHigh64(last, last)); // slice 2: bits 15-8
        const V lowHalvesLower = unpackLow8(zero, bottom);           // channels 0..7
        const V lowHalvesUpper = unpackHigh8(zero, bottom);          // channels 8..15
        const V highHalvesLower = unpackLow8(middle, top);
        const V highHalvesUpper = unpackHigh8(middle, top);
        words[0] = unpackLow16(lowHalvesLower, highHalvesLower);
        words[1] = unpackHigh16(lowHalvesLower, highHalvesLower);
        words[2] = unpackLow16(lowHalvesUpper, highHalvesUpper);
        words[3] = unpackHigh16(lowHalvesUpper, highHalvesUpper);
    } else {
        const V top = unpackLow8(odd, even);
        const V middle = unpackHigh8(odd, even);
        const V bottom = unpackLow8(unpackHigh64(last, last), last);
        const V lowHalvesUpper = unpackLow8(zero, bottom);  // channels 15..8
        const V lowHalvesLower = unpackHigh8(zero, bottom); // channels 7..0
        const V highHalvesUpper = unpackLow8(middle, top);
        const V highHalvesLower = unpackHigh8(middle, top);
        words[3] = reverseWords(unpackLow16(lowHalvesUpper, highHalvesUpper));
        words[2] = reverseWords(unpackHigh16(lowHalvesUpper, highHalvesUpper));
        words[1] = reverseWords(unpackLow16(lowHalvesLower, highHalvesLower));
        words[0] = reverseWords(unpackHigh16(lowHalvesLower, highHalvesLower));
    }
}

// Words Base+4g .. Base+4g+3 of a frame of N, whole or the first two, never past the frame.
template <unsigned N, unsigned First> inline void storeWordGroup(uint8_t* hostFrame, __m128i words)
{
    if constexpr (First + 4 <= N) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(hostFrame + 4 * First), words);
    } else if constexpr (First + 2 == N) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(hostFrame + 4 * First), words);
    }
}

template <unsigned N, unsigned Base>
inline void storeSixteenChannels(__m128i even, __m128i odd, __m128i last, uint8_t* hostFrame)
{
    __m128i words[4];
    sixteenChannelWords(even, odd, last, words);
    storeWordGroup<N, Base>(hostFrame, words[0]);
    storeWordGroup<N, Base + 4>(hostFrame, words[1]);
    storeWordGroup<N, Base + 8>(hostFrame, words[2]);
    storeWordGroup<N, Base + 12>(hostFrame, words[3]);
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

// Byte-sum form for planes of one channel: each unit whose channel bit is set keeps its weight
// (the first unit of 8 on top), and one sum of absolute differences per 8 units adds the weights
// into the slice's byte, with no reversal and no move out of the vector unit.
inline void decodeOneChannelPerPlane(const uint8_t* deviceFrame, uint8_t* hostFrame)
{
    const __m128i weight = _mm_set1_epi64x(0x0102040810204080ll); // unit j of 8: bit 7 - j
    const __m128i one = _mm_set1_epi8(1);
    // 64-bit lane i: the byte of the units' slice i.
    auto slices = [&](__m128i units) {
        const __m128i set = _mm_cmpeq_epi8(_mm_and_si128(units, one), one);
        return _mm_sad_epu8(_mm_and_si128(set, weight), _mm_setzero_si128());
    };
    const __m128i even = slices(load128(deviceFrame));     // slices 0 and 1 of channel 0
    const __m128i odd = slices(load128(deviceFrame + 32)); // of channel 1
    const __m128i last = slices(_mm_unpacklo_epi64(load64(deviceFrame + 16), load64(deviceFrame + 48)));
    // 32-bit lanes 0 and 1: channels 0 and 1.
    const __m128i top = _mm_unpacklo_epi32(even, odd);
    const __m128i middle = _mm_unpackhi_epi32(even, odd);
    const __m128i bottom = _mm_shuffle_epi32(last, _MM_SHUFFLE(2, 0, 2, 0));
    const __m128i words = _mm_or_si128(_mm_or_si128(_mm_slli_epi32(top, 24), _mm_slli_epi32(middle, 16)),
                                       _mm_slli_epi32(bottom, 8));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(hostFrame), words);
}

#if defined(__AVX2__)
// storeSixteenChannels on both 128-bit lanes at once: lane 0's words (N0 of them) to out0, lane
// 1's (N1) to out1.
template <unsigned N0, unsigned N1>
inline void storeSixteenChannels256(__m256i even, __m256i odd, __m256i last, uint8_t* out0, uint8_t* out1)
{
    __m256i words[4];
    sixteenChannelWords(even, odd, last, words);
    storeWordGroup<N0, 0>(out0, _mm256_castsi256_si128(words[0]));
    storeWordGroup<N0, 4>(out0, _mm256_castsi256_si128(words[1]));
    storeWordGroup<N0, 8>(out0, _mm256_castsi256_si128(words[2]));
    storeWordGroup<N0, 12>(out0, _mm256_castsi256_si128(words[3]));
    storeWordGroup<N1, 0>(out1, _mm256_extracti128_si256(words[0], 1));
    storeWordGroup<N1, 4>(out1, _mm256_extracti128_si256(words[1], 1));
    storeWordGroup<N1, 8>(out1, _mm256_extracti128_si256(words[2], 1));
    storeWordGroup<N1, 12>(out1, _mm256_extracti128_si256(words[3], 1));
}

// Two frames of byte units at once, one in each 128-bit lane.
template <unsigned N> inline void decodeTwoByteUnitFrames(const uint8_t* deviceFrames, uint8_t* hostFrames)
{
    constexpr unsigned frameBytes = 64;
    auto pair = [&](unsigned offset) {
        return _mm256_inserti128_si256(_mm256_castsi128_si256(load128(deviceFrames + offset)),
                                       load128(deviceFrames + frameBytes + offset), 1);
    };
    auto lastOf = [&](const uint8_t* frame) {
        return _mm_unpacklo_epi64(load64(frame + 16), load64(frame + 48));
    };
    const __m256i even = flipSlices(pair(0));
    const __m256i odd = flipSlices(pair(32));
    const __m256i last = flipSlices(_mm256_inserti128_si256(_mm256_castsi128_si256(lastOf(deviceFrames)),
                                                            lastOf(deviceFrames + frameBytes), 1));
    storeSixteenChannels256<N, N>(even, odd, last, hostFrames, hostFrames + 4 * N);
}

// The word-unit form in 256-bit registers: the low bytes of the units (channels 0-15) in the low
// 128-bit lane, the high bytes (channels 16-31) in the high lane, so one pass of flips and
// interleaves serves all 32 channels. Each lane is laid out as the 128-bit form's registers.
template <unsigned N> inline void decodeWordUnits256(const uint8_t* deviceFrame, uint8_t* hostFrame)
{
    // Lane 0 takes the low byte of each unit, lane 1 the high byte; into bytes 0-7 or 8-15.
    const __m256i toFirstHalf = _mm256_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, -1, -1, -1, -1, -1, -1, -1, -1, //
                                                 1, 3, 5, 7, 9, 11, 13, 15, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m256i toSecondHalf =
        _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, 0, 2, 4, 6, 8, 10, 12, 14, //
                         -1, -1, -1, -1, -1, -1, -1, -1, 1, 3, 5, 7, 9, 11, 13, 15);
    auto both = [](const uint8_t* p) {
        return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    };
    auto gather = [&](const uint8_t* first, const uint8_t* second) {
        return flipSlices(_mm256_or_si256(_mm256_shuffle_epi8(both(first), toFirstHalf),
                                          _mm256_shuffle_epi8(both(second), toSecondHalf)));
    };
    const __m256i even = gather(deviceFrame, deviceFrame + 16);
    const __m256i odd = gather(deviceFrame + 64, deviceFrame + 80);
    const __m256i last = gather(deviceFrame + 32, deviceFrame + 96);
    storeSixteenChannels256<16, N - 16>(even, odd, last, hostFrame, hostFrame + 64);
}
#endif

struct VectorDecodePass
{
#if defined(__AVX2__)
    // Frames of byte units in the flip form go two at a time (decodeBlock takes this when present).
    template <class Layout>
    requires(!Layout::kWordUnits && Layout::kChannels / 2 > kMaskFormPlaneChannels &&
             Layout::kFrames % 2 == 0) static void decodeTwoFrames(const uint8_t* deviceFrames,
                                                                   uint8_t* hostFrames)
    {
        decodeTwoByteUnitFrames<Layout::kChannels>(deviceFrames, hostFrames);
    }
#endif

    template <class Layout> static void decodeFrame(const uint8_t* deviceFrame, uint8_t* hostFrame)
    {
        constexpr unsigned N = Layout::kChannels;
        if constexpr (N == 2 && kMaskFormPlaneChannels > 0) {
            decodeOneChannelPerPlane(deviceFrame, hostFrame);
        } else if constexpr (N / 2 <= kMaskFormPlaneChannels) {
            decodeFewChannels<N>(deviceFrame, hostFrame);
        } else if constexpr (!Layout::kWordUnits) {
            // Slice 2 of each plane by itself, so nothing past unit 23 is read.
            const __m128i even = flipSlices(load128(deviceFrame));
            const __m128i odd = flipSlices(load128(deviceFrame + 32));
            const __m128i last =
                flipSlices(_mm_unpacklo_epi64(load64(deviceFrame + 16), load64(deviceFrame + 48)));
            storeSixteenChannels<N, 0>(even, odd, last, hostFrame);
        } else {
#if defined(__AVX2__)
            decodeWordUnits256<N>(deviceFrame, hostFrame);
#else
            const __m128i low = _mm_set1_epi16(0x00FF);
            const __m128i e0 = load128(deviceFrame), e1 = load128(deviceFrame + 16),
                          e2 = load128(deviceFrame + 32);
            const __m128i o0 = load128(deviceFrame + 64), o1 = load128(deviceFrame + 80),
                          o2 = load128(deviceFrame + 96);
            // Low bytes serve channels 0-15, high bytes 16-31; the packs cannot saturate.
            auto lows = [&](__m128i a, __m128i b) {
                return flipSlices(_mm_packus_epi16(_mm_and_si128(a, low), _mm_and_si128(b, low)));
            };
            auto highs = [&](__m128i a, __m128i b) {
                return flipSlices(_mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8)));
            };
            storeSixteenChannels<N, 0>(lows(e0, e1), lows(o0, o1), lows(e2, o2), hostFrame);
            storeSixteenChannels<N, 16>(highs(e0, e1), highs(o0, o1), highs(e2, o2), hostFrame);
#endif
        }
    }
};

} // namespace DMACONV_ISA
} // namespace dmaconv
