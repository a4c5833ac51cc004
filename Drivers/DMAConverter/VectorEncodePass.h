// The vector frame pass of the plane encoders: one anti-diagonal flip of an 8 x 8 bit matrix turns
// one byte of up to 8 samples into 8 output bytes, two such slices per 128-bit register (planes of
// up to 4 samples share one matrix); for planes of one or two samples, copying each sample byte
// into 8 lanes and keeping one bit per lane is cheaper. The rows come from byte interleaves,
// which sort the bytes of 16 samples by byte and plane; with 256-bit registers two frames go
// through at once, one in each 128-bit lane. Every instruction-set level compiles this pass in its
// own namespace (see VectorMembers.h).
#pragma once

#include "BitPlaneLayout.h"
#include "BitTranspose.h"

#include <immintrin.h>

namespace dmaconv {
inline namespace DMACONV_ISA {

// Device channels 4i..4i+3 of a frame of N host samples: a whole vector, the low half, or none,
// so that no load reaches past the frame.
template <unsigned N, unsigned I> inline __m128i loadHostGroup(const uint8_t* hostFrame)
{
    if constexpr (4 * I + 4 <= N) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(hostFrame + 16 * I));
    } else if constexpr (4 * I + 2 == N) {
        return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(hostFrame + 16 * I));
    } else {
        return _mm_setzero_si128();
    }
}

// Spread form for few channels: each sample byte is copied into 8 lanes, and each lane keeps
// the one bit it stands for (first lane the top bit), moved to the sample's channel bit. Cheaper
// than whole flips while a plane has at most kSpreadFormPlaneChannels samples.
// With GFNI a flip is one instruction and always the cheaper form; with AVX2, where two frames
// share each flip, from two samples a plane on.
#if defined(__GFNI__)
constexpr unsigned kSpreadFormPlaneChannels = 0;
#elif defined(__AVX2__)
constexpr unsigned kSpreadFormPlaneChannels = 1;
#else
constexpr unsigned kSpreadFormPlaneChannels = 2;
#endif

// Bytes 0-15 and 16-23 (low half) of one plane, contributed by the sample whose bytes 0-3 stand
// four times over in the four 32-bit lanes of `sample`.
inline void spreadSample(__m128i sample, __m128i channelBit, __m128i& head, __m128i& tail)
{
    const __m128i laneBit = _mm_set1_epi64x(0x0102040810204080ll);          // lane j of 8: bit 7 - j
    const __m128i top = _mm_shuffle_epi32(sample, _MM_SHUFFLE(2, 2, 3, 3)); // byte 3 x 8, byte 2 x 8
    const __m128i low = _mm_shuffle_epi32(sample, _MM_SHUFFLE(1, 1, 1, 1)); // byte 1 x 16
    auto bits = [&](__m128i v) {
        return _mm_and_si128(_mm_cmpeq_epi8(_mm_and_si128(v, laneBit), laneBit), channelBit);
    };
    head = _mm_or_si128(head, bits(top));
    tail = _mm_or_si128(tail, bits(low));
}

template <unsigned N> inline void encodeFewChannels(const uint8_t* hostFrame, uint8_t* deviceFrame)
{
    static_assert(N <= 4, "the samples of a frame fit one vector");
    const __m128i samples = loadHostGroup<N, 0>(hostFrame);
    const __m128i doubled = _mm_unpacklo_epi8(samples, samples); // samples 0 and 1, each byte twice
    // Each byte of sample c four times: bytes 0, 1, 2, 3 in 32-bit lanes 0 to 3.
    const __m128i quadrupled[4] = {
        _mm_unpacklo_epi16(doubled, doubled),
        _mm_unpackhi_epi16(doubled, doubled),
        _mm_unpacklo_epi16(_mm_unpackhi_epi8(samples, samples), _mm_unpackhi_epi8(samples, samples)),
        _mm_unpackhi_epi16(_mm_unpackhi_epi8(samples, samples), _mm_unpackhi_epi8(samples, samples)),
    };
#pragma GCC unroll 2
    for (unsigned plane = 0; plane < 2; ++plane) {
        __m128i head = _mm_setzero_si128(), tail = _mm_setzero_si128();
#pragma GCC unroll 2
        for (unsigned k = 0; k < N / 2; ++k) {
            spreadSample(quadrupled[2 * k + plane], _mm_set1_epi8(static_cast<char>(1u << k)), head, tail);
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(deviceFrame + plane * kPlaneUnits), head);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(deviceFrame + plane * kPlaneUnits + 16), tail);
    }
}

// Device channels 4g..4g+3 of one frame in d[g].
template <class Layout>
inline void loadDeviceChannels(const uint8_t* hostFrame, uint32_t carried, __m128i d[4])
{
    if constexpr (Layout::kCarries) {
        d[0] = loadHostGroup<8, 0>(hostFrame);
        d[1] = loadHostGroup<8, 1>(hostFrame);
        d[2] = _mm_unpacklo_epi32(_mm_cvtsi32_si128(static_cast<int>(carried)),
                                  _mm_cvtsi32_si128(static_cast<int>(loadWord(hostFrame + 4 * Layout::kA))));
        d[3] = _mm_setzero_si128();
    } else {
        d[0] = loadHostGroup<Layout::kHostChannels, 0>(hostFrame);
        d[1] = loadHostGroup<Layout::kHostChannels, 1>(hostFrame);
        d[2] = loadHostGroup<Layout::kHostChannels, 2>(hostFrame);
        d[3] = loadHostGroup<Layout::kHostChannels, 3>(hostFrame);
    }
}

// Rows of all three slices of both planes of up to 16 device channels (d[g]: channels 4g..4g+3).
// Three rounds of byte interleaves sort the 64 sample bytes by byte and plane; taking the later
// operand first lists each plane's samples downwards, as the flip wants its rows.
// even: the even plane's slice 1 (sample byte 2) low, slice 0 (byte 3) high; odd: the odd
// plane's, the same; last: slice 2 (byte 1), the even plane low, the odd plane high.
template <class V> inline void sliceRows(const V d[4], V& even, V& odd, V& last)
{
    const V a0 = unpackLow8(d[2], d[0]);  // channels 8 and 0, 9 and 1, byte by byte
    const V a1 = unpackHigh8(d[2], d[0]); // 10 and 2, 11 and 3
    const V a2 = unpackLow8(d[3], d[1]);  // 12 and 4, 13 and 5
    const V a3 = unpackHigh8(d[3], d[1]); // 14 and 6, 15 and 7
    const V b0 = unpackLow8(a2, a0);      // 12, 8, 4, 0 in each 32-bit lane, lane b: byte b
    const V b1 = unpackHigh8(a2, a0);     // 13, 9, 5, 1
    const V b2 = unpackLow8(a3, a1);      // 14, 10, 6, 2
    const V b3 = unpackHigh8(a3, a1);     // 15, 11, 7, 3
    // Bytes 0 and 1 then 2 and 3 of each plane's 8 samples; byte 0 is below the 24 bits sent.
    even = unpackHigh8(b2, b0);
    odd = unpackHigh8(b3, b1);
    last = unpackHigh64(unpackLow8(b2, b0), unpackLow8(b3, b1));
}

// Rows of up to 8 device channels (d[0], d[1]), both planes sharing each matrix: odd samples 7,
// 5, 3, 1 in rows 0-3, even samples 6, 4, 2, 0 in rows 4-7. `first` holds slice 1 low and slice 0
// high, `last` slice 2 high (and sample byte 0 low, which is not sent).
template <class V> inline void halfPlaneRows(V d0, V d1, V& first, V& last)
{
    const V a0 = unpackLow8(d1, d0);  // channels 4 and 0, 5 and 1, byte by byte
    const V a1 = unpackHigh8(d1, d0); // 6 and 2, 7 and 3
    const V even = unpackLow8(a1, a0);
    const V odd = unpackHigh8(a1, a0);
    first = unpackHigh32(odd, even);
    last = unpackLow32(odd, even);
}

#if defined(__AVX2__)
// halfPlaneRows with byte shuffles, in the device frame's order instead: each group of four channels
// gives 16-bit pieces (odd channels, then even, higher channel first) of slices 0, 1 and 2, and
// one round of interleaves puts channels 4-7 on top. `first` holds slice 0 low and slice 1 high,
// `last` slice 2 low.
inline void frameHalfPlaneRows(__m256i d0, __m256i d1, __m256i& first, __m256i& last)
{
    const __m256i pieces = _mm256_setr_epi8(15, 7, 11, 3, 14, 6, 10, 2, 13, 5, 9, 1, -1, -1, -1, -1, //
                                            15, 7, 11, 3, 14, 6, 10, 2, 13, 5, 9, 1, -1, -1, -1, -1);
    const __m256i upper = _mm256_shuffle_epi8(d1, pieces), lower = _mm256_shuffle_epi8(d0, pieces);
    first = _mm256_unpacklo_epi16(upper, lower);
    last = _mm256_unpackhi_epi16(upper, lower);
}
#endif

inline void storeLow(uint8_t* p, __m128i v)
{
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v);
}
inline void storeHigh(uint8_t* p, __m128i v)
{
    _mm_storeh_pi(reinterpret_cast<__m64*>(p), _mm_castsi128_ps(v)); // unaligned, as movhps allows
}

#if defined(__AVX2__)
// Rows of more than 8 device channels in the device frame's order, with byte shuffles: each
// group of four channels (d[g]: channels 4g..4g+3) gives its two rows of every matrix at once,
// as 16-bit pieces, matrix (plane, slice) in piece 3 * plane + slice (higher channel first);
// two rounds of interleaves put group 3's pieces on top. p0 holds the even plane's slices 0 and
// 1, p1 its slice 2 and the odd plane's slice 0, p2 the odd plane's slices 1 and 2.
inline void frameRows(const __m256i d[4], __m256i& p0, __m256i& p1, __m256i& p2)
{
    const __m256i pieces = _mm256_setr_epi8(11, 3, 10, 2, 9, 1, 15, 7, 14, 6, 13, 5, -1, -1, -1, -1, //
                                            11, 3, 10, 2, 9, 1, 15, 7, 14, 6, 13, 5, -1, -1, -1, -1);
    __m256i g[4];
    for (unsigned i = 0; i < 4; ++i) {
        g[i] = _mm256_shuffle_epi8(d[i], pieces);
    }
    const __m256i lowUpper = _mm256_unpacklo_epi16(g[3], g[2]), lowLower = _mm256_unpacklo_epi16(g[1], g[0]);
    const __m256i highUpper = _mm256_unpackhi_epi16(g[3], g[2]),
                  highLower = _mm256_unpackhi_epi16(g[1], g[0]);
    p0 = _mm256_unpacklo_epi32(lowUpper, lowLower);
    p1 = _mm256_unpackhi_epi32(lowUpper, lowLower);
    p2 = _mm256_unpacklo_epi32(highUpper, highLower);
}

// Three 16-byte pieces of each lane stored as a device frame, lane 0 the first.
inline void storeFramePair(__m256i p0, __m256i p1, __m256i p2, uint8_t* first, uint8_t* second)
{
    if (second == first + kOutFrameBytes) {
        auto store = [&](unsigned offset, __m256i v) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(first + offset), v);
        };
        store(0, _mm256_permute2x128_si256(p0, p1, 0x20));
        store(32, _mm256_blend_epi32(p2, p0, 0xF0));
        store(64, _mm256_permute2x128_si256(p1, p2, 0x31));
        return;
    }
    auto store = [](uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); };
    store(first, _mm256_castsi256_si128(p0));
    store(first + 16, _mm256_castsi256_si128(p1));
    store(first + 32, _mm256_castsi256_si128(p2));
    store(second, _mm256_extracti128_si256(p0, 1));
    store(second + 16, _mm256_extracti128_si256(p1, 1));
    store(second + 32, _mm256_extracti128_si256(p2, 1));
}
#endif

struct VectorEncodePass
{
    template <class Layout>
    static constexpr bool kFlipForm =
        Layout::kCarries || Layout::kDeviceChannels / 2 > kSpreadFormPlaneChannels;

    // Two frames at once (encodeBlock takes this when present): a 256-bit register holds one in
    // each lane; with 128-bit registers, frames of up to 8 channels share the flip of slice 2.
    // `carried` is the first frame's; the second's comes from the first frame. Inlined, so that
    // the block's loop keeps its constants in registers.
    template <class Layout>
    requires kFlipForm<Layout>
    [[gnu::always_inline]] static void encodeTwoFrames(const uint8_t* hostFrames, uint32_t carried,
                                                       uint8_t* firstOut, uint8_t* secondOut)
    {
        const uint8_t* second = hostFrames + Layout::kHostChannels * 4;
        uint32_t secondCarried = 0;
        if constexpr (Layout::kCarries) {
            secondCarried = loadWord(hostFrames + 4 * Layout::kB);
        }
        __m128i d0[4], d1[4];
        loadDeviceChannels<Layout>(hostFrames, carried, d0);
        loadDeviceChannels<Layout>(second, secondCarried, d1);
#if defined(__AVX2__)
        __m256i d[4];
        for (unsigned g = 0; g < 4; ++g) {
            d[g] = _mm256_inserti128_si256(_mm256_castsi128_si256(d0[g]), d1[g], 1);
        }
        if constexpr (Layout::kDeviceChannels > 8) {
            __m256i p0, p1, p2;
            frameRows(d, p0, p1, p2);
            storeFramePair(flipAntiDiagonal(p0), flipAntiDiagonal(p1), flipAntiDiagonal(p2), firstOut,
                           secondOut);
        } else {
            __m256i first, last;
            frameHalfPlaneRows(d[0], d[1], first, last);
            const __m256i nibble = _mm256_set1_epi8(0x0F);
            first = flipAntiDiagonal(first);
            last = flipAntiDiagonal(last);
            // The even plane in the low nibbles, the odd plane in the high nibbles.
            const __m256i evenFirst = _mm256_and_si256(first, nibble);
            const __m256i oddFirst = _mm256_and_si256(_mm256_srli_epi16(first, 4), nibble);
            const __m256i evenLast = _mm256_and_si256(last, nibble);
            const __m256i oddLast = _mm256_and_si256(_mm256_srli_epi16(last, 4), nibble);
            // Even slices 0 and 1; even slice 2 and odd slice 0; odd slices 1 and 2.
            storeFramePair(evenFirst, _mm256_unpacklo_epi64(evenLast, oddFirst),
                           _mm256_alignr_epi8(oddLast, oddFirst, 8), firstOut, secondOut);
        }
#else
        if constexpr (Layout::kDeviceChannels > 8) {
            encodeSlices(d0, firstOut);
            encodeSlices(d1, secondOut);
        } else {
            __m128i first0, last0, first1, last1;
            halfPlaneRows(d0[0], d0[1], first0, last0);
            halfPlaneRows(d1[0], d1[1], first1, last1);
            const __m128i last = flipAntiDiagonal(_mm_unpackhi_epi64(last0, last1));
            storeHalfPlanes(flipAntiDiagonal(first0), last, firstOut);
            storeHalfPlanes(flipAntiDiagonal(first1), _mm_unpackhi_epi64(last, last), secondOut);
        }
#endif
    }

    template <class Layout>
    static void encodeFrame(const uint8_t* hostFrame, uint32_t carried, uint8_t* deviceFrame)
    {
        if constexpr (!kFlipForm<Layout>) {
            encodeFewChannels<Layout::kHostChannels>(hostFrame, deviceFrame);
        } else {
            __m128i d[4];
            loadDeviceChannels<Layout>(hostFrame, carried, d);
            if constexpr (Layout::kDeviceChannels > 8) {
                encodeSlices(d, deviceFrame);
            } else {
                __m128i first, last;
                halfPlaneRows(d[0], d[1], first, last);
                storeHalfPlanes(flipAntiDiagonal(first), _mm_unpackhi_epi64(flipAntiDiagonal(last), last),
                                deviceFrame);
            }
        }
    }

    // All three slices of both planes of a frame of more than 8 device channels.
    static void encodeSlices(const __m128i d[4], uint8_t* deviceFrame)
    {
        __m128i even, odd, last;
        sliceRows(d, even, odd, last);
        even = flipAntiDiagonal(even);
        odd = flipAntiDiagonal(odd);
        last = flipAntiDiagonal(last);
        storePlanes<true>(even, last, odd, last, deviceFrame);
    }

    // A frame's two planes from registers holding slice 1 low and slice 0 high (first), and slice
    // 2 low (even plane's last) or, where OddLastHigh, high (odd plane's last).
    template <bool OddLastHigh>
    static void storePlanes(__m128i evenFirst, __m128i evenLast, __m128i oddFirst, __m128i oddLast,
                            uint8_t* deviceFrame)
    {
        storeHigh(deviceFrame, evenFirst);
        storeLow(deviceFrame + 8, evenFirst);
        storeLow(deviceFrame + 16, evenLast);
        storeHigh(deviceFrame + kPlaneUnits, oddFirst);
        storeLow(deviceFrame + kPlaneUnits + 8, oddFirst);
        if constexpr (OddLastHigh) {
            storeHigh(deviceFrame + kPlaneUnits + 16, oddLast);
        } else {
            storeLow(deviceFrame + kPlaneUnits + 16, oddLast);
        }
    }

    // Flipped half planes, first: slice 1 low, slice 0 high; last: slice 2 low. The flip leaves
    // the even plane's byte in the low nibble and the odd plane's in the high nibble.
    static void storeHalfPlanes(__m128i first, __m128i last, uint8_t* deviceFrame)
    {
        const __m128i nibble = _mm_set1_epi8(0x0F);
        const __m128i evenFirst = _mm_and_si128(first, nibble), evenLast = _mm_and_si128(last, nibble);
        const __m128i oddFirst = _mm_and_si128(_mm_srli_epi16(first, 4), nibble);
        const __m128i oddLast = _mm_and_si128(_mm_srli_epi16(last, 4), nibble);
        storePlanes<false>(evenFirst, evenLast, oddFirst, oddLast, deviceFrame);
    }
};

} // namespace DMACONV_ISA
} // namespace dmaconv
