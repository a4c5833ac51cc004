// The vector frame pass of the plane encoders: one anti-diagonal flip of an 8 x 8 bit matrix turns
// one byte of up to 8 samples into 8 output bytes, two such slices per 128-bit register (planes of
// up to 4 samples share one matrix); for planes of one or two samples, copying each sample byte
// into 8 lanes and keeping one bit per lane is cheaper. Every instruction-set level compiles this
// pass in its own namespace (see VectorMembers.h).
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

// Byte 3 - slice of every 32-bit lane, as a value 0..255.
template <unsigned Slice> inline __m128i sampleByte(__m128i v)
{
    if constexpr (Slice != 0) {
        v = _mm_slli_epi32(v, 8 * Slice);
    }
    return _mm_srli_epi32(v, 24);
}

// Spread form for few channels: each sample byte is copied into 8 lanes, and each lane keeps
// the one bit it stands for (first lane the top bit), moved to the sample's channel bit. Cheaper
// than whole flips while a plane has at most kSpreadFormPlaneChannels samples.
// With GFNI a flip is one instruction, cheaper from two samples a plane on.
#if defined(__GFNI__)
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

#if defined(__SSSE3__)
// Byte-shuffle form of the rows of one slice: byte 3 - Slice of device channels 4g..4g+3 (vector
// g) to their row bytes. Rows 0-7 are the odd plane's samples 7..0, rows 8-15 the even plane's;
// channels 4g + 3 and 4g + 1 go to odd rows 6 - 2g and 7 - 2g, channels 4g + 2 and 4g to the even
// rows 8 higher.
struct RowShuffle
{
    int8_t index[16];
};

constexpr RowShuffle rowShuffle(unsigned slice, unsigned g)
{
    RowShuffle r{};
    for (unsigned p = 0; p < 16; ++p) {
        const bool odd = p < 8;
        const unsigned row = p % 8;
        if (row / 2 != 3 - g) {
            r.index[p] = -1; // zero
            continue;
        }
        const bool higher = row % 2 == 0;
        const unsigned lane = odd ? (higher ? 3 : 1) : (higher ? 2 : 0);
        r.index[p] = static_cast<int8_t>(4 * lane + 3 - slice);
    }
    return r;
}

// Half-plane rows of up to 8 device channels (vector g: channels 4g..4g+3): bytes 0-7 one slice's
// rows, odd channels 7, 5, 3, 1 then even channels 6, 4, 2, 0; bytes 8-15 the next slice's. The
// last register holds slice 2 alone.
constexpr RowShuffle halfPlaneShuffle(bool last, unsigned g)
{
    RowShuffle r{};
    for (unsigned p = 0; p < 16; ++p) {
        const unsigned slice = last ? 2 : p / 8;
        const unsigned row = p % 8;
        const unsigned channel = row < 4 ? 7 - 2 * row : 6 - 2 * (row - 4);
        r.index[p] = (last && p >= 8) || channel / 4 != g ? int8_t(-1)
                                                           : static_cast<int8_t>(4 * (channel % 4) + 3 - slice);
    }
    return r;
}

template <bool Last> inline __m128i halfPlaneRows(const __m128i d[4])
{
    static constexpr RowShuffle shuffles[2] = {halfPlaneShuffle(Last, 0), halfPlaneShuffle(Last, 1)};
    return _mm_or_si128(
        _mm_shuffle_epi8(d[0], _mm_loadu_si128(reinterpret_cast<const __m128i*>(shuffles[0].index))),
        _mm_shuffle_epi8(d[1], _mm_loadu_si128(reinterpret_cast<const __m128i*>(shuffles[1].index))));
}

template <unsigned Slice> inline __m128i sliceRows(const __m128i d[4])
{
    static constexpr RowShuffle shuffles[4] = {rowShuffle(Slice, 0), rowShuffle(Slice, 1), rowShuffle(Slice, 2),
                                               rowShuffle(Slice, 3)};
    auto part = [&](unsigned g) {
        return _mm_shuffle_epi8(d[g], _mm_loadu_si128(reinterpret_cast<const __m128i*>(shuffles[g].index)));
    };
    return _mm_or_si128(_mm_or_si128(part(0), part(1)), _mm_or_si128(part(2), part(3)));
}

// All three slices of both planes of a frame of more than 8 device channels (d[g]: channels
// 4g..4g+3): each slice's rows by byte shuffles, one flip each, and the two planes' bytes
// gathered into whole stores.
inline void encodeByByteShuffles(const __m128i d[4], uint8_t* deviceFrame)
{
    const __m128i f0 = flipAntiDiagonal(sliceRows<0>(d)); // low half odd plane, high half even plane
    const __m128i f1 = flipAntiDiagonal(sliceRows<1>(d));
    const __m128i f2 = flipAntiDiagonal(sliceRows<2>(d));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(deviceFrame), _mm_unpackhi_epi64(f0, f1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(deviceFrame + 16), _mm_unpackhi_epi64(f2, f2));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(deviceFrame + kPlaneUnits), _mm_unpacklo_epi64(f0, f1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(deviceFrame + kPlaneUnits + 16), f2);
}
#endif

// Device channels 4g..4g+3 of one frame in d[g].
template <class Layout> inline void loadDeviceChannels(const uint8_t* hostFrame, uint32_t carried, __m128i d[4])
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

#if defined(__AVX2__)
template <unsigned Slice> inline __m256i sliceRows256(const __m256i d[4])
{
    static constexpr RowShuffle shuffles[4] = {rowShuffle(Slice, 0), rowShuffle(Slice, 1), rowShuffle(Slice, 2),
                                               rowShuffle(Slice, 3)};
    auto part = [&](unsigned g) {
        return _mm256_shuffle_epi8(
            d[g], _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(shuffles[g].index))));
    };
    return _mm256_or_si256(_mm256_or_si256(part(0), part(1)), _mm256_or_si256(part(2), part(3)));
}

// encodeByByteShuffles on two frames at once, one in each 128-bit lane; the second frame's
// device bytes follow the first's.
inline void encodeTwoFramesByByteShuffles(const __m256i d[4], uint8_t* deviceFrames)
{
    const __m256i f0 = flipAntiDiagonal(sliceRows256<0>(d));
    const __m256i f1 = flipAntiDiagonal(sliceRows256<1>(d));
    const __m256i f2 = flipAntiDiagonal(sliceRows256<2>(d));
    const __m256i even = _mm256_unpackhi_epi64(f0, f1);
    const __m256i odd = _mm256_unpacklo_epi64(f0, f1);
    const __m256i last = _mm256_unpackhi_epi64(f2, f2);
    auto store = [](uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); };
    auto storeHalf = [](uint8_t* p, __m128i v) { _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v); };
    for (unsigned frame = 0; frame < 2; ++frame) {
        uint8_t* out = deviceFrames + frame * kOutFrameBytes;
        const bool high = frame == 1;
        store(out, high ? _mm256_extracti128_si256(even, 1) : _mm256_castsi256_si128(even));
        storeHalf(out + 16, high ? _mm256_extracti128_si256(last, 1) : _mm256_castsi256_si128(last));
        store(out + kPlaneUnits, high ? _mm256_extracti128_si256(odd, 1) : _mm256_castsi256_si128(odd));
        storeHalf(out + kPlaneUnits + 16, high ? _mm256_extracti128_si256(f2, 1) : _mm256_castsi256_si128(f2));
    }
}

// Frame f + 1's device bytes follow frame f's for every even f.
template <class Layout> constexpr bool kFramePairsAdjoin = [] {
    for (unsigned f = 0; f + 1 < Layout::kFrames; f += 2) {
        if (Layout::frameOffset(f + 1) != Layout::frameOffset(f) + kOutFrameBytes) {
            return false;
        }
    }
    return Layout::kFrames % 2 == 0;
}();
#endif

struct VectorEncodePass
{
#if defined(__AVX2__)
    // Frames of more than 8 device channels go two at a time (encodeBlock takes this when
    // present); `carried` is the first frame's, the second's comes from the first frame.
    template <class Layout>
        requires(Layout::kDeviceChannels > 8 && kFramePairsAdjoin<Layout>)
    static void encodeTwoFrames(const uint8_t* hostFrames, uint32_t carried, uint8_t* deviceFrames)
    {
        const uint8_t* second = hostFrames + Layout::kHostChannels * 4;
        uint32_t secondCarried = 0;
        if constexpr (Layout::kCarries) {
            secondCarried = loadWord(hostFrames + 4 * Layout::kB);
        }
        __m128i d0[4], d1[4];
        loadDeviceChannels<Layout>(hostFrames, carried, d0);
        loadDeviceChannels<Layout>(second, secondCarried, d1);
        __m256i d[4];
        for (unsigned g = 0; g < 4; ++g) {
            d[g] = _mm256_inserti128_si256(_mm256_castsi128_si256(d0[g]), d1[g], 1);
        }
        encodeTwoFramesByByteShuffles(d, deviceFrames);
    }
#endif

    template <class Layout>
    static void encodeFrame(const uint8_t* hostFrame, uint32_t carried, uint8_t* deviceFrame)
    {
        if constexpr (!Layout::kCarries && Layout::kDeviceChannels / 2 <= kSpreadFormPlaneChannels) {
            encodeFewChannels<Layout::kHostChannels>(hostFrame, deviceFrame);
        } else {
            encodeByFlips<Layout>(hostFrame, carried, deviceFrame);
        }
    }

    template <class Layout>
    static void encodeByFlips(const uint8_t* hostFrame, uint32_t carried, uint8_t* deviceFrame)
    {
        __m128i d[4];
        loadDeviceChannels<Layout>(hostFrame, carried, d);
#if defined(__SSSE3__)
        if constexpr (Layout::kDeviceChannels > 8) {
            encodeByByteShuffles(d, deviceFrame);
        } else {
            storeHalfPlanes(flipAntiDiagonal(halfPlaneRows<false>(d)), flipAntiDiagonal(halfPlaneRows<true>(d)),
                            deviceFrame);
        }
        return;
#endif
        // Each plane's samples in reverse order, so the flip leaves sample k in output bit k.
        const __m128 q0 = _mm_castsi128_ps(d[0]), q1 = _mm_castsi128_ps(d[1]);
        const __m128 q2 = _mm_castsi128_ps(d[2]), q3 = _mm_castsi128_ps(d[3]);
        const __m128i oddHigh = _mm_castps_si128(_mm_shuffle_ps(q3, q2, _MM_SHUFFLE(1, 3, 1, 3)));
        const __m128i oddLow = _mm_castps_si128(_mm_shuffle_ps(q1, q0, _MM_SHUFFLE(1, 3, 1, 3)));
        const __m128i evenHigh = _mm_castps_si128(_mm_shuffle_ps(q3, q2, _MM_SHUFFLE(0, 2, 0, 2)));
        const __m128i evenLow = _mm_castps_si128(_mm_shuffle_ps(q1, q0, _MM_SHUFFLE(0, 2, 0, 2)));
        if constexpr (Layout::kDeviceChannels <= 8) {
            encodeHalfPlanes(oddLow, evenLow, deviceFrame);
        } else {
            encodeSlice<0>(oddHigh, oddLow, evenHigh, evenLow, deviceFrame);
            encodeSlice<1>(oddHigh, oddLow, evenHigh, evenLow, deviceFrame);
            encodeSlice<2>(oddHigh, oddLow, evenHigh, evenLow, deviceFrame);
        }
    }

    // Up to 4 samples per plane fill half a matrix, so both planes share one: odd samples in
    // rows 0-3, even samples in rows 4-7. The flip leaves the even plane's byte in the low nibble
    // and the odd plane's in the high nibble of each output byte; one register holds two slices.
    static void encodeHalfPlanes(__m128i odd, __m128i even, uint8_t* deviceFrame)
    {
        storeHalfPlanes(flipAntiDiagonal(_mm_packus_epi16(halfRows<0>(odd, even), halfRows<1>(odd, even))),
                        flipAntiDiagonal(_mm_packus_epi16(halfRows<2>(odd, even), _mm_setzero_si128())),
                        deviceFrame);
    }

    // first: slices 0 and 1, last: slice 2 in the low half, both flipped.
    static void storeHalfPlanes(__m128i first, __m128i last, uint8_t* deviceFrame)
    {
        const __m128i nibble = _mm_set1_epi8(0x0F);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(deviceFrame), _mm_and_si128(first, nibble));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(deviceFrame + 16), _mm_and_si128(last, nibble));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(deviceFrame + kPlaneUnits),
                         _mm_and_si128(_mm_srli_epi16(first, 4), nibble));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(deviceFrame + kPlaneUnits + 16),
                         _mm_and_si128(_mm_srli_epi16(last, 4), nibble));
    }

    // Byte 3 - Slice of the odd samples, then of the even samples, as eight 16-bit rows.
    template <unsigned Slice> static __m128i halfRows(__m128i odd, __m128i even)
    {
        return _mm_packs_epi32(sampleByte<Slice>(odd), sampleByte<Slice>(even));
    }

    template <unsigned Slice>
    static void encodeSlice(__m128i oddHigh, __m128i oddLow, __m128i evenHigh, __m128i evenLow,
                            uint8_t* deviceFrame)
    {
        // Low lane: odd plane rows, high lane: even plane rows.
        const __m128i rows =
            _mm_packus_epi16(_mm_packs_epi32(sampleByte<Slice>(oddHigh), sampleByte<Slice>(oddLow)),
                             _mm_packs_epi32(sampleByte<Slice>(evenHigh), sampleByte<Slice>(evenLow)));
        const __m128i bytes = flipAntiDiagonal(rows);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(deviceFrame + kPlaneUnits + 8 * Slice), bytes);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(deviceFrame + 8 * Slice),
                         _mm_unpackhi_epi64(bytes, bytes));
    }
};

} // namespace DMACONV_ISA
} // namespace dmaconv
