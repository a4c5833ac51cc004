// The frame passes of the plane converters on processors with 512-bit byte permutes and GFNI.
// A whole frame fits one or two registers: one permute gathers the rows of all six 8 x 8 bit
// matrices of a frame (3 slices x 2 planes), one affine step flips them all, and the result is
// stored whole (encoders) or permuted once more into host words (decoders). The permute indices
// come from each layout at compile time. Nothing outside a frame is read, and stores are masked
// to the frame, so nothing outside a block is touched.
#pragma once

#include "BitPlaneLayout.h"

#include <array>
#include <immintrin.h>

namespace dmaconv {
inline namespace DMACONV_ISA {

// 64 permute indices and the mask of the bytes they fill (a clear bit gives zero).
struct PermuteIndex
{
    alignas(64) std::array<uint8_t, 64> index{};
    uint64_t fill = 0;

    __m512i vector() const { return _mm512_load_si512(index.data()); }
};

// One affine step with the rows of each 64-bit lane as the matrix: output byte b of a lane is
// column t_b of its rows, row 7 - i giving bit i, where constant byte b holds bit t_b alone.
inline __m512i affineColumns(__m512i rows, uint64_t columns)
{
    return _mm512_gf2p8affine_epi64_epi8(_mm512_set1_epi64(static_cast<long long>(columns)), rows, 0);
}

inline __mmask64 bytesMask(unsigned bytes)
{
    return bytes >= 64 ? ~__mmask64(0) : (__mmask64(1) << bytes) - 1;
}

// Encoding. Output lane q = 3 * plane + slice holds the plane's 8 units of that slice, the device
// frame's own order. Unit b of the slice carries bit 7 - b of sample byte 3 - slice, and bit i of
// the unit belongs to device channel 2i + plane: so row 7 - i is that byte of channel 2i + plane,
// and constant byte b picks column 7 - b.
constexpr uint64_t kEncodeColumns = 0x0102040810204080ull;

// A host frame's bytes in two registers, read with plain loads that stay inside the frame (a
// masked load that reaches into the next cache line costs far more): `low` holds bytes from 0 on,
// `high`, when the frame is not a whole register, the last kLowBytes bytes of the frame.
template <unsigned Bytes> struct HostFrame
{
    static constexpr unsigned kLowBytes = Bytes >= 64 ? 64 : Bytes >= 32 ? 32 : Bytes >= 16 ? 16 : 8;
    static constexpr bool kHasHigh = Bytes != kLowBytes;
    static constexpr unsigned kHighOffset = Bytes - kLowBytes;

    // Permute index of frame byte i: `low` is the first source, `high` the second.
    static constexpr uint8_t index(unsigned i)
    {
        return static_cast<uint8_t>(i < kLowBytes ? i : 64 + i - kHighOffset);
    }

    // Elements past the bytes loaded are left undefined; no index reaches them.
    static __m512i load(const uint8_t* p)
    {
        if constexpr (kLowBytes == 64) {
            return _mm512_loadu_si512(p);
        } else if constexpr (kLowBytes == 32) {
            return _mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
        } else if constexpr (kLowBytes == 16) {
            return _mm512_castsi128_si512(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        } else {
            return _mm512_castsi128_si512(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
        }
    }
    static __m512i low(const uint8_t* frame) { return load(frame); }
    static __m512i high(const uint8_t* frame) { return load(frame + kHighOffset); }
};

// Rows of every lane, as permute indices into the registers above.
template <class Layout> constexpr PermuteIndex encodeRows()
{
    PermuteIndex p;
    for (unsigned q = 0; q < 6; ++q) {
        const unsigned plane = q / 3, slice = q % 3;
        for (unsigned r = 0; r < 8; ++r) {
            const unsigned d = 2 * (7 - r) + plane;
            if (d >= Layout::kDeviceChannels) {
                continue;
            }
            const unsigned byte = 3 - slice;
            if constexpr (Layout::kCarries) {
                // Host samples 0-7 from the frame's first 32 bytes; the carried sample and sample
                // A from words 0 and 1 of the second register.
                p.index[8 * q + r] = static_cast<uint8_t>(d == 8   ? 64 + byte
                                                          : d == 9 ? 68 + byte
                                                                   : 4 * d + byte);
            } else {
                p.index[8 * q + r] = HostFrame<Layout::kHostChannels * 4>::index(4 * d + byte);
            }
            p.fill |= uint64_t(1) << (8 * q + r);
        }
    }
    return p;
}

struct PermuteEncodePass
{
    template <class Layout>
    static void encodeFrame(const uint8_t* hostFrame, uint32_t carried, uint8_t* deviceFrame)
    {
        static constexpr PermuteIndex rows = encodeRows<Layout>();
        __m512i gathered;
        if constexpr (Layout::kCarries) {
            const __m128i extra =
                _mm_unpacklo_epi32(_mm_cvtsi32_si128(static_cast<int>(carried)),
                                   _mm_cvtsi32_si128(static_cast<int>(loadWord(hostFrame + 4 * Layout::kA))));
            gathered = _mm512_maskz_permutex2var_epi8(rows.fill, HostFrame<32>::low(hostFrame), rows.vector(),
                                                      _mm512_castsi128_si512(extra));
        } else {
            using Frame = HostFrame<Layout::kHostChannels * 4>;
            if constexpr (Frame::kHasHigh) {
                gathered = _mm512_maskz_permutex2var_epi8(rows.fill, Frame::low(hostFrame), rows.vector(),
                                                          Frame::high(hostFrame));
            } else {
                gathered = _mm512_maskz_permutexvar_epi8(rows.fill, rows.vector(), Frame::low(hostFrame));
            }
        }
        _mm512_mask_storeu_epi8(deviceFrame, bytesMask(kOutFrameBytes),
                                affineColumns(gathered, kEncodeColumns));
    }
};

// Decoding. The rows are the frame's planes in the byte-unit frame's places: even plane units
// 0-23 in bytes 0-23, odd plane units in bytes 32-55 (for word units, the low or the high bytes).
// With constant byte k picking column k, output lane q holds in byte k the slice's 8 bits of
// channel 2k (q = 0-2) or 2k + 1 (q = 4-6), unit 0 on top: sample byte 3 - slice.
constexpr uint64_t kDecodeColumns = 0x8040201008040201ull;

// Word-unit rows of channels 16 * group on, from the frame's two halves (0-63 and 64 on).
constexpr PermuteIndex wordUnitRows(unsigned group)
{
    PermuteIndex p;
    for (unsigned plane = 0; plane < 2; ++plane) {
        for (unsigned unit = 0; unit < kPlaneUnits; ++unit) {
            p.index[32 * plane + unit] = static_cast<uint8_t>(64 * plane + 2 * unit + group);
            p.fill |= uint64_t(1) << (32 * plane + unit);
        }
    }
    return p;
}

// Flipped lanes to 16 host words, the low byte of each word zero.
constexpr PermuteIndex hostWords()
{
    PermuteIndex p;
    for (unsigned c = 0; c < 16; ++c) {
        for (unsigned slice = 0; slice < 3; ++slice) {
            const unsigned byte = 4 * c + 3 - slice;
            p.index[byte] = static_cast<uint8_t>(8 * (4 * (c % 2) + slice) + c / 2);
            p.fill |= uint64_t(1) << byte;
        }
    }
    return p;
}

struct PermuteDecodePass
{
    template <class Layout> static void decodeFrame(const uint8_t* deviceFrame, uint8_t* hostFrame)
    {
        static constexpr PermuteIndex words = hostWords();
        constexpr unsigned N = Layout::kChannels;
        auto store = [&](__m512i rows, unsigned first, unsigned channels) {
            const __m512i flipped = affineColumns(rows, kDecodeColumns);
            _mm512_mask_storeu_epi8(hostFrame + 4 * first, bytesMask(4 * channels),
                                    _mm512_maskz_permutexvar_epi8(words.fill, words.vector(), flipped));
        };
        if constexpr (!Layout::kWordUnits) {
            store(_mm512_loadu_si512(deviceFrame), 0, N);
        } else {
            static constexpr PermuteIndex low = wordUnitRows(0), high = wordUnitRows(1);
            const __m512i even = _mm512_loadu_si512(deviceFrame);
            const __m512i odd = _mm512_loadu_si512(deviceFrame + 64);
            store(_mm512_maskz_permutex2var_epi8(low.fill, even, low.vector(), odd), 0, 16);
            store(_mm512_maskz_permutex2var_epi8(high.fill, even, high.vector(), odd), 16, N - 16);
        }
    }
};

} // namespace DMACONV_ISA
} // namespace dmaconv
