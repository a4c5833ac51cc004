// Geometry of the bit-plane blocks and the call shell every member family shares: null handling,
// the frame loop and the carried sample. A family supplies only its frame pass.
//
// Plane rule: a plane is 24 units (bytes, or 16-bit little-endian words on the 32-wide input);
// unit j carries bit 31 - j of the host sample; bit k of an even-plane unit belongs to channel
// 2k, of an odd-plane unit to channel 2k + 1.
#pragma once

#include "DMAConverterDef.h"

#include <cstdint>
#include <cstring>

// Each vector instruction-set level compiles these helpers into its own namespace (VectorMembers.h),
// so a copy built for a wider level never stands in for the default one.
#ifndef DMACONV_ISA
#define DMACONV_ISA sse2
#endif

namespace dmaconv {
inline namespace DMACONV_ISA {

constexpr unsigned kPlaneUnits = 24;
constexpr unsigned kOutFrameBytes = 48;
constexpr unsigned kOutBlockBytes = 480;

// Host samples are little-endian words; blocks have no alignment.
inline uint32_t loadWord(const uint8_t* p)
{
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline uint64_t loadQuad(const uint8_t* p)
{
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void storeWord(uint8_t* p, uint32_t v)
{
    std::memcpy(p, &v, sizeof v);
}
inline void storeQuad(uint8_t* p, uint64_t v)
{
    std::memcpy(p, &v, sizeof v);
}

// Output layouts: which host sample feeds which device channel and where each 48-byte frame goes.
template <unsigned N> struct PlainOut
{
    static constexpr unsigned kHostChannels = N;
    static constexpr unsigned kDeviceChannels = N;
    static constexpr unsigned kFrames = 10;
    static constexpr bool kCarries = false;
    static constexpr bool kSilenceForMissingSource = true;
    static constexpr unsigned frameOffset(unsigned f) { return kOutFrameBytes * f; }
};

// 20 frames of 8 channels in a 964-byte interrupt packet; the transfer layer owns the 2-byte
// holes before frames 9 and 19, so nothing here writes them.
struct Int964Out : PlainOut<8>
{
    static constexpr unsigned kFrames = 20;
    static constexpr bool kSilenceForMissingSource = false;
    static constexpr unsigned frameOffset(unsigned f)
    {
        return kOutFrameBytes * f + (f >= 9 ? 2 : 0) + (f >= 19 ? 2 : 0);
    }
};

// 10-channel device frames from a host pair (a, a + 1): device channels 0-7 are host 0-7, device
// channel 9 is host a of the same frame, device channel 8 is host a + 1 of the frame before,
// carried across calls in the caller's word.
template <unsigned HostChannels, unsigned A> struct PairOut
{
    static constexpr unsigned kHostChannels = HostChannels;
    static constexpr unsigned kDeviceChannels = 10;
    static constexpr unsigned kFrames = 10;
    static constexpr bool kCarries = true;
    static constexpr bool kSilenceForMissingSource = true;
    static constexpr unsigned kA = A;
    static constexpr unsigned kB = A + 1;
    static constexpr unsigned frameOffset(unsigned f) { return kOutFrameBytes * f; }
};

template <class Layout> constexpr uint32_t kHostBytes = Layout::kHostChannels * 4 * Layout::kFrames;

// Device channel d of one frame.
template <class Layout> inline uint32_t deviceSample(const uint8_t* hostFrame, uint32_t carried, unsigned d)
{
    if constexpr (Layout::kCarries) {
        if (d == 8) {
            return carried;
        }
        if (d == 9) {
            return loadWord(hostFrame + 4 * Layout::kA);
        }
    }
    return loadWord(hostFrame + 4 * d);
}

// Pass: a struct with `template <class Layout> static void encodeFrame(const uint8_t* hostFrame,
// uint32_t carried, uint8_t* deviceFrame)` writing the 48 bytes of one device frame, and optionally
// `encodeTwoFrames` doing two frames at once, given both device frames.
template <class Layout, class Pass> uint32_t encodeBlock(DMAConvertArgs* args)
{
    constexpr uint32_t count = kHostBytes<Layout>;
    if (args == nullptr || args->dst == nullptr) {
        return count;
    }
    auto* out = static_cast<uint8_t*>(args->dst);
    const auto* in = static_cast<const uint8_t*>(args->src);
    if (in == nullptr) {
        if constexpr (Layout::kSilenceForMissingSource) {
            std::memset(out, 0, kOutBlockBytes);
        }
        return count;
    }
    // A pair encoder without a carry word starts from silence and keeps nothing.
    uint32_t carried = 0;
    if constexpr (Layout::kCarries) {
        if (args->carry != nullptr) {
            carried = *args->carry;
        }
    }
    if constexpr (requires { Pass::template encodeTwoFrames<Layout>(in, carried, out, out); }) {
        static_assert(Layout::kFrames % 2 == 0);
        // Unrolled, so that each frame's place in the block is a constant.
#pragma GCC unroll 10
        for (unsigned f = 0; f < Layout::kFrames; f += 2) {
            const uint8_t* hostFrames = in + f * Layout::kHostChannels * 4;
            Pass::template encodeTwoFrames<Layout>(hostFrames, carried, out + Layout::frameOffset(f),
                                                   out + Layout::frameOffset(f + 1));
            if constexpr (Layout::kCarries) {
                carried = loadWord(hostFrames + Layout::kHostChannels * 4 + 4 * Layout::kB);
            }
        }
    } else {
        for (unsigned f = 0; f < Layout::kFrames; ++f) {
            const uint8_t* hostFrame = in + f * Layout::kHostChannels * 4;
            Pass::template encodeFrame<Layout>(hostFrame, carried, out + Layout::frameOffset(f));
            if constexpr (Layout::kCarries) {
                carried = loadWord(hostFrame + 4 * Layout::kB);
            }
        }
    }
    if constexpr (Layout::kCarries) {
        if (args->carry != nullptr) {
            *args->carry = carried;
        }
    }
    return count;
}

// Input layouts of the plane decoders: up to 16 channels arrive 16 wide (byte units, 8 frames of
// 64 bytes), more arrive 32 wide (16-bit units, 4 frames of 128 bytes). Units 24-31 and 56-63 of
// a frame are not audio.
template <unsigned N> struct PlaneIn
{
    static_assert(N % 2 == 0 && N >= 2 && N <= 32);
    static constexpr unsigned kChannels = N;
    static constexpr bool kWordUnits = N > 16;
    static constexpr unsigned kUnitBytes = kWordUnits ? 2 : 1;
    static constexpr unsigned kFrames = kWordUnits ? 4 : 8;
    static constexpr unsigned kFrameBytes = 64 * kUnitBytes;
    static constexpr unsigned kOddPlaneOffset = 32 * kUnitBytes;
    static constexpr uint32_t kCount = kFrames * N;
};

// Pass: a struct with `template <class Layout> static void decodeFrame(const uint8_t* deviceFrame,
// uint8_t* hostFrame)` writing the Layout::kChannels words of one frame, and optionally
// `decodeTwoFrames` with the same arguments doing two frames at once.
//
// A missing source gives silence: the block's words are zeroed, the same in every family.
template <class Layout, class Pass> uint32_t decodeBlock(DMAConvertArgs* args)
{
    constexpr uint32_t count = Layout::kCount;
    if (args == nullptr || args->dst == nullptr) {
        return count;
    }
    auto* out = static_cast<uint8_t*>(args->dst);
    const auto* in = static_cast<const uint8_t*>(args->src);
    if (in == nullptr) {
        std::memset(out, 0, count * 4);
        return count;
    }
    if constexpr (requires { Pass::template decodeTwoFrames<Layout>(in, out); }) {
        for (unsigned f = 0; f < Layout::kFrames; f += 2) {
            Pass::template decodeTwoFrames<Layout>(in + f * Layout::kFrameBytes, out + f * Layout::kChannels * 4);
        }
    } else {
        for (unsigned f = 0; f < Layout::kFrames; ++f) {
            Pass::template decodeFrame<Layout>(in + f * Layout::kFrameBytes, out + f * Layout::kChannels * 4);
        }
    }
    return count;
}

} // namespace DMACONV_ISA
} // namespace dmaconv
