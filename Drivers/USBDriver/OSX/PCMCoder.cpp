// The PCM coders: one template per direction, instantiated with a sample byte map and a fixed
// reordering of the samples of one group. The bulk of a call goes through byte shuffles when the
// processor has them (SSSE3, AVX2, AVX-512 byte permutes), planned at compile time from the same map
// and order; the rest, and every call on other processors, through the plain loop. All write the
// same bytes.
#include "PCMCoder.h"
#include "PCMCoderShuffles.h"

#include "platform/Log.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <numeric>
#include <type_traits>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "host samples are little-endian words");

// A sample byte map: where each byte of a host word (H0 = bits 7..0 ... H3 = bits 31..24) travels
// in the device sample, or kDropped for the bits below the device sample, which decoders write as 0
// and encoders ignore.
constexpr int kDropped = -1;

template <uint32_t bytes, int h0, int h1, int h2, int h3> struct ByteMap
{
    static constexpr uint32_t kBytes = bytes;
    static constexpr std::array<int, 4> kFrom{h0, h1, h2, h3};

    static uint32_t read(const uint8_t* s)
    {
        uint32_t h = 0;
        for (uint32_t b = 0; b < 4; ++b) {
            if (kFrom[b] != kDropped) {
                h |= uint32_t(s[kFrom[b]]) << (8 * b);
            }
        }
        return h;
    }
    static void write(uint8_t* d, uint32_t h)
    {
        for (uint32_t b = 0; b < 4; ++b) {
            if (kFrom[b] != kDropped) {
                d[kFrom[b]] = uint8_t(h >> (8 * b));
            }
        }
    }
};

// Device bytes in stream order, as host bytes:
using Little16 = ByteMap<2, kDropped, kDropped, 0, 1>; // H2, H3
using Big16 = ByteMap<2, kDropped, kDropped, 1, 0>;    // H3, H2
using Little24 = ByteMap<3, kDropped, 0, 1, 2>;        // H1, H2, H3 (also the 20-bit container)
using Access24 = ByteMap<3, kDropped, 1, 2, 0>;        // H3, H1, H2
using Big24 = ByteMap<3, kDropped, 2, 1, 0>;           // H3, H2, H1
using Little32 = ByteMap<4, 0, 1, 2, 3>;               // H0, H1, H2, H3

// A group of samples converted together and the order of its members: a decoder's host sample k is
// device sample order[k]; an encoder's device slot k is host sample order[k].
template <size_t N> using Order = std::array<uint8_t, N>;

constexpr Order<1> kPlain{0};
constexpr Order<2> kStereo{0, 1};
constexpr Order<2> kStereoSwap{1, 0};
constexpr Order<4> kPairSwap4{2, 3, 0, 1};
constexpr Order<4> kCorlanth4{0, 2, 1, 3};
constexpr Order<6> kCorlanth6{0, 3, 1, 4, 2, 5};
constexpr Order<4> kUS144_00{0, 1, 0, 1};
constexpr Order<4> kUS144_10{2, 3, 0, 1};
constexpr Order<4> kUS144_11{2, 3, 2, 3};

template <class Map, auto order>
void decodeGroupsScalar(int32_t* __restrict dst, const uint8_t* __restrict src, uint32_t groups)
{
    constexpr uint32_t kGroup = order.size();
    for (uint32_t g = 0; g < groups; ++g, src += Map::kBytes * kGroup, dst += kGroup) {
        for (uint32_t k = 0; k < kGroup; ++k) {
            dst[k] = static_cast<int32_t>(Map::read(src + order[k] * Map::kBytes));
        }
    }
}

template <class Map, auto order>
void encodeGroupsScalar(uint8_t* __restrict dst, const int* __restrict host, uint32_t groups)
{
    constexpr uint32_t kGroup = order.size();
    for (uint32_t g = 0; g < groups; ++g, dst += Map::kBytes * kGroup, host += kGroup) {
        for (uint32_t k = 0; k < kGroup; ++k) {
            Map::write(dst + k * Map::kBytes, static_cast<uint32_t>(host[order[k]]));
        }
    }
}

#if defined(__x86_64__)

// With SSSE3 a block of groups is one fixed byte permutation, done with byte shuffles. The output
// is written in chunks of whole samples, one 16-byte store each; a chunk is the OR of shuffles of
// the 16-byte input windows that hold its bytes (one window for the plain layouts, where loads
// overlap). Stores run in order, so the bytes a store writes past its chunk are rewritten by the
// next chunk; a block runs only when its loads and stores stay within the whole groups of the call.
// With AVX2, two chunks that take one window each share a 32-byte shuffle and store.
PCMShuffleLevel detectShuffleLevel()
{
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vbmi")) {
        return PCMShuffleLevel::avx512;
    }
    if (__builtin_cpu_supports("avx2")) {
        return PCMShuffleLevel::avx2;
    }
    return __builtin_cpu_supports("ssse3") ? PCMShuffleLevel::ssse3 : PCMShuffleLevel::none;
}

// Kept in a function, so that it is right for a caller that runs while the program's globals are
// still being set up (a global of another file may ask first).
PCMShuffleLevel supportedLevel()
{
    static const PCMShuffleLevel level = detectShuffleLevel();
    return level;
}
std::atomic<PCMShuffleLevel> gShuffleLevel{supportedLevel()};

constexpr uint32_t kMaxWindows = 4;
constexpr uint8_t kZeroByte = 0x80;

template <uint32_t chunks> struct ShufflePlan
{
    uint32_t chunkBytes = 0;
    uint32_t readExtent = 0;  // input bytes a block may load, from its start
    uint32_t writeExtent = 0; // output bytes a block may store, from its start
    std::array<uint32_t, chunks> windows{};
    std::array<std::array<uint32_t, kMaxWindows>, chunks> windowOffset{};
    std::array<std::array<std::array<uint8_t, 16>, kMaxWindows>, chunks> mask{};
};

// source(t) is the input byte of the block that output byte t takes, or -1 for a zero byte.
template <uint32_t chunks, class Source>
constexpr ShufflePlan<chunks> makePlan(uint32_t chunkBytes, Source source)
{
    ShufflePlan<chunks> plan;
    plan.chunkBytes = chunkBytes;
    for (uint32_t c = 0; c < chunks; ++c) {
        for (auto& m : plan.mask[c]) {
            m.fill(kZeroByte);
        }
        std::array<bool, 16> placed{};
        for (;;) {
            int low = -1;
            for (uint32_t t = 0; t < chunkBytes; ++t) {
                const int from = source(c * chunkBytes + t);
                if (!placed[t] && from >= 0 && (low < 0 || from < low)) {
                    low = from;
                }
            }
            if (low < 0) {
                break;
            }
            const uint32_t w = plan.windows[c]++;
            if (w >= kMaxWindows) {
                throw "a chunk needs too many input windows"; // fails the constant evaluation
            }
            plan.windowOffset[c][w] = static_cast<uint32_t>(low);
            for (uint32_t t = 0; t < chunkBytes; ++t) {
                const int from = source(c * chunkBytes + t);
                if (!placed[t] && from >= low && from < low + 16) {
                    plan.mask[c][w][t] = static_cast<uint8_t>(from - low);
                    placed[t] = true;
                }
            }
            plan.readExtent = std::max(plan.readExtent, static_cast<uint32_t>(low) + 16);
        }
        plan.writeExtent = std::max(plan.writeExtent, c * chunkBytes + 16);
    }
    return plan;
}

// With AVX-512 byte permutes (VBMI), a chunk of up to 64 output bytes takes its bytes from
// anywhere in up to 128 input bytes: one permute of one 64-byte window, or of two. Output bytes
// that take no input byte are zeroed by the permute's mask.
template <uint32_t chunks> struct PermutePlan
{
    uint32_t chunkBytes = 0;
    uint32_t readExtent = 0;
    uint32_t writeExtent = 0;
    std::array<uint32_t, chunks> first{};  // input offset of the first window
    std::array<uint32_t, chunks> second{}; // of the second, which ends at the chunk's last input byte
    std::array<bool, chunks> twoWindows{};
    std::array<std::array<uint8_t, 64>, chunks> index{}; // 64 and up: the second window
    std::array<uint64_t, chunks> keep{};                 // output bytes that take an input byte
};

// A window is placed as late as the block's `inputBytes` allow, so that a block reads nothing past
// its own input where it can.
template <uint32_t chunks, class Source>
constexpr PermutePlan<chunks> makePermutePlan(uint32_t chunkBytes, uint32_t inputBytes, Source source)
{
    PermutePlan<chunks> plan;
    plan.chunkBytes = chunkBytes;
    for (uint32_t c = 0; c < chunks; ++c) {
        int low = -1;
        int high = -1;
        for (uint32_t t = 0; t < chunkBytes; ++t) {
            const int from = source(c * chunkBytes + t);
            if (from >= 0) {
                low = low < 0 ? from : std::min(low, from);
                high = std::max(high, from);
            }
        }
        if (low < 0 || high - low >= 128) {
            throw "a chunk takes no input byte, or too many"; // fails the constant evaluation
        }
        const bool two = high - low >= 64;
        const int latest = static_cast<int>(inputBytes) - 64;
        if (!two && latest > 0) {
            low = std::min(low, latest);
        }
        plan.first[c] = static_cast<uint32_t>(low);
        plan.second[c] = two ? static_cast<uint32_t>(high - 63) : 0;
        plan.twoWindows[c] = two;
        for (uint32_t t = 0; t < chunkBytes; ++t) {
            const int from = source(c * chunkBytes + t);
            if (from >= 0) {
                plan.keep[c] |= uint64_t{1} << t;
                plan.index[c][t] =
                    static_cast<uint8_t>(from < low + 64 ? from - low : 64 + from - (high - 63));
            }
        }
        plan.readExtent = std::max(plan.readExtent, static_cast<uint32_t>(two ? high + 1 : low + 64));
        plan.writeExtent = std::max(plan.writeExtent, c * chunkBytes + 64);
    }
    return plan;
}

template <class Map, auto order> struct Shuffle
{
    static constexpr uint32_t kGroup = order.size();
    // Samples per block: whole groups, whole 16-byte host vectors and whole device chunks.
    static constexpr uint32_t kSamples = std::lcm(std::lcm(16 / std::gcd(16u, Map::kBytes), 4u), kGroup);
    static constexpr uint32_t kGroups = kSamples / kGroup;
    static constexpr uint32_t kDeviceBytes = kSamples * Map::kBytes;
    static constexpr uint32_t kHostBytes = kSamples * 4;
    // Encoder chunks: 8 16-bit, 4 24-bit or 4 32-bit device samples.
    static constexpr uint32_t kSlotsPerChunk = Map::kBytes == 2 ? 8 : 4;

    // Which sample of the other side feeds sample k of this block.
    static constexpr uint32_t partner(uint32_t k) { return k / kGroup * kGroup + order[k % kGroup]; }

    // The block input byte that output byte q of a decoder block (host bytes) or p of an encoder
    // block (device bytes) takes, or -1 for a zero byte.
    static constexpr int decodeSource(uint32_t q)
    {
        const int from = Map::kFrom[q % 4];
        return from == kDropped ? -1 : static_cast<int>(partner(q / 4) * Map::kBytes) + from;
    }
    static constexpr int encodeSource(uint32_t p)
    {
        for (uint32_t b = 0; b < 4; ++b) {
            if (Map::kFrom[b] == static_cast<int>(p % Map::kBytes)) {
                return static_cast<int>(partner(p / Map::kBytes) * 4 + b);
            }
        }
        return -1;
    }

    static constexpr auto kDecode = makePlan<kSamples / 4>(16, decodeSource);
    static constexpr auto kEncode =
        makePlan<kSamples / kSlotsPerChunk>(kSlotsPerChunk * Map::kBytes, encodeSource);

    template <const auto& plan, size_t c, size_t w>
    __attribute__((target("ssse3"), always_inline)) static __m128i window(__m128i result, const uint8_t* in)
    {
        if constexpr (w < plan.windows[c]) {
            const __m128i bytes =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + plan.windowOffset[c][w]));
            const __m128i mask = _mm_loadu_si128(reinterpret_cast<const __m128i*>(plan.mask[c][w].data()));
            result = _mm_or_si128(result, _mm_shuffle_epi8(bytes, mask));
        }
        return result;
    }

    template <const auto& plan, size_t c, size_t... w>
    __attribute__((target("ssse3"), always_inline)) static void chunk(const uint8_t* in, uint8_t* out,
                                                                      std::index_sequence<w...>)
    {
        __m128i result = _mm_setzero_si128();
        ((result = window<plan, c, w>(result, in)), ...);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + c * plan.chunkBytes), result);
    }

    template <const auto& plan, size_t... c>
    __attribute__((target("ssse3"), always_inline)) static void block(const uint8_t* in, uint8_t* out,
                                                                      std::index_sequence<c...>)
    {
        (chunk<plan, c>(in, out, std::make_index_sequence<kMaxWindows>()), ...);
    }

    // Blocks that fit in `total` bytes when each reaches `extent` bytes from its start.
    static constexpr uint64_t fitting(uint64_t total, uint32_t stride, uint32_t extent)
    {
        return total < extent ? 0 : (total - extent) / stride + 1;
    }

    // Chunks c and c + 1 in one 32-byte shuffle and store; chunks of 12 bytes are packed together
    // first. Chunks that need more than one window go the 16-byte way.
    // Both chunks of a pair take their bytes from the first one's 16-byte window (chunks of 16-bit
    // samples): the 32-byte mask, the second chunk's entries moved by the distance of the windows.
    // Empty when they do not.
    template <const auto& plan, size_t c> static constexpr std::array<uint8_t, 32> sharedWindowMask()
    {
        std::array<uint8_t, 32> mask{};
        if (plan.windows[c] != 1 || plan.windows[c + 1] != 1 ||
            plan.windowOffset[c + 1][0] < plan.windowOffset[c][0]) {
            return {};
        }
        const uint32_t distance = plan.windowOffset[c + 1][0] - plan.windowOffset[c][0];
        for (uint32_t t = 0; t < 16; ++t) {
            mask[t] = plan.mask[c][0][t];
            const uint8_t m = plan.mask[c + 1][0][t];
            if (m != kZeroByte && m + distance >= 16) {
                return {};
            }
            mask[16 + t] = m == kZeroByte ? m : static_cast<uint8_t>(m + distance);
        }
        return mask;
    }
    template <const auto& plan, size_t c>
    static constexpr std::array<uint8_t, 32> kSharedWindowMask = sharedWindowMask<plan, c>();

    // Chunks of host words whose windows lie less than 16 bytes apart, the first chunk's bytes all
    // below the second's window (the 24-bit decoders): one 32-byte load that ends with the second
    // window serves both. The 32-byte mask, the first chunk's entries moved by the distance of its
    // window from the load's start; empty when the chunks do not fit.
    template <const auto& plan, size_t c> static constexpr std::array<uint8_t, 32> backLoadMask()
    {
        std::array<uint8_t, 32> mask{};
        if (plan.chunkBytes != 16 || plan.windows[c] != 1 || plan.windows[c + 1] != 1 ||
            plan.windowOffset[c + 1][0] <= plan.windowOffset[c][0] ||
            plan.windowOffset[c + 1][0] - plan.windowOffset[c][0] >= 16) {
            return {};
        }
        const uint32_t distance = plan.windowOffset[c + 1][0] - plan.windowOffset[c][0];
        for (uint32_t t = 0; t < 16; ++t) {
            const uint8_t m = plan.mask[c][0][t];
            if (m != kZeroByte && m >= distance) {
                return {};
            }
            mask[t] = m == kZeroByte ? m : static_cast<uint8_t>(m + 16 - distance);
            mask[16 + t] = plan.mask[c + 1][0][t];
        }
        return mask;
    }
    template <const auto& plan, size_t c>
    static constexpr std::array<uint8_t, 32> kBackLoadMask = backLoadMask<plan, c>();

    // Whether a wide block of `plan` reads before its own start (its first pair loads back).
    template <const auto& plan, uint32_t chunks> static constexpr bool readsBack()
    {
        return chunks >= 2 && plan.windowOffset[1][0] < 16 && sharedWindowMask<plan, 0>() == std::array<uint8_t, 32>{} &&
               backLoadMask<plan, 0>() != std::array<uint8_t, 32>{};
    }

    // 16 bytes from `low` in the low lane, from `high` in the high lane.
    __attribute__((target("avx2"), always_inline)) static __m256i lanes(const void* low, const void* high)
    {
        return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(static_cast<const __m128i*>(low))),
                                       _mm_loadu_si128(static_cast<const __m128i*>(high)), 1);
    }

    template <const auto& plan, size_t c>
    __attribute__((target("avx2"), always_inline)) static void chunkPair(const uint8_t* in, uint8_t* out)
    {
        constexpr auto& shared = kSharedWindowMask<plan, c>;
        if constexpr (plan.chunkBytes == 16 && shared != std::array<uint8_t, 32>{}) {
            // One load into both lanes (no shuffle of its own) and one shuffle.
            const __m256i bytes = _mm256_broadcastsi128_si256(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + plan.windowOffset[c][0])));
            const __m256i mask = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(shared.data()));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + c * plan.chunkBytes),
                                _mm256_shuffle_epi8(bytes, mask));
        } else if constexpr (kBackLoadMask<plan, c> != std::array<uint8_t, 32>{}) {
            constexpr auto& mask = kBackLoadMask<plan, c>;
            const __m256i bytes =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + plan.windowOffset[c + 1][0] - 16));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + c * plan.chunkBytes),
                                _mm256_shuffle_epi8(bytes, _mm256_loadu_si256(
                                                               reinterpret_cast<const __m256i*>(mask.data()))));
        } else if constexpr (plan.windows[c] <= 1 && plan.windows[c + 1] <= 1) {
            const auto load = [](const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); };
            __m256i bytes;
            if constexpr (plan.windowOffset[c + 1][0] == plan.windowOffset[c][0] + 16) {
                // Adjacent windows (the encoders of whole 16-byte host vectors): one load.
                bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + plan.windowOffset[c][0]));
            } else {
                bytes = _mm256_inserti128_si256(_mm256_castsi128_si256(load(in + plan.windowOffset[c][0])),
                                                load(in + plan.windowOffset[c + 1][0]), 1);
            }
            const __m256i mask = _mm256_inserti128_si256(_mm256_castsi128_si256(load(plan.mask[c][0].data())),
                                                         load(plan.mask[c + 1][0].data()), 1);
            __m256i result = _mm256_shuffle_epi8(bytes, mask);
            if constexpr (plan.chunkBytes == 12) {
                result = _mm256_permutevar8x32_epi32(result, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7));
            } else {
                static_assert(plan.chunkBytes == 16);
            }
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + c * plan.chunkBytes), result);
        } else if constexpr (plan.windows[c] <= 2 && plan.windows[c + 1] <= 2) {
            // Each lane takes its chunk's bytes from two windows (a chunk with one window loads its
            // first again, and its second mask takes nothing): two shuffles for both chunks.
            constexpr uint32_t second = plan.windows[c] > 1 ? plan.windowOffset[c][1] : plan.windowOffset[c][0];
            constexpr uint32_t nextSecond =
                plan.windows[c + 1] > 1 ? plan.windowOffset[c + 1][1] : plan.windowOffset[c + 1][0];
            const __m256i first = _mm256_shuffle_epi8(
                lanes(in + plan.windowOffset[c][0], in + plan.windowOffset[c + 1][0]),
                lanes(plan.mask[c][0].data(), plan.mask[c + 1][0].data()));
            __m256i result = _mm256_or_si256(first, _mm256_shuffle_epi8(lanes(in + second, in + nextSecond),
                                                                        lanes(plan.mask[c][1].data(),
                                                                              plan.mask[c + 1][1].data())));
            if constexpr (plan.chunkBytes == 12) {
                result = _mm256_permutevar8x32_epi32(result, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7));
            } else {
                static_assert(plan.chunkBytes == 16);
            }
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + c * plan.chunkBytes), result);
        } else {
            chunk<plan, c>(in, out, std::make_index_sequence<kMaxWindows>());
            chunk<plan, c + 1>(in, out, std::make_index_sequence<kMaxWindows>());
        }
    }

    template <const auto& plan, size_t chunks, size_t... pair>
    __attribute__((target("avx2"), always_inline)) static void wideBlock(const uint8_t* in, uint8_t* out,
                                                                         std::index_sequence<pair...>)
    {
        (chunkPair<plan, 2 * pair>(in, out), ...);
        if constexpr (chunks % 2 != 0) {
            chunk<plan, chunks - 1>(in, out, std::make_index_sequence<kMaxWindows>());
        }
    }

    // Output bytes a wide block may store from its start.
    template <uint32_t chunks> static constexpr uint32_t wideWriteExtent(const ShufflePlan<chunks>& plan)
    {
        uint32_t extent = plan.writeExtent;
        for (uint32_t c = 0; c + 1 < chunks; c += 2) {
            extent = std::max(extent, c * plan.chunkBytes + 32);
        }
        return extent;
    }

    static constexpr uint32_t kDecodeChunks = kSamples / 4;
    static constexpr uint32_t kEncodeChunks = kSamples / kSlotsPerChunk;

    // Blocks of `blockSamples` samples of a call of `groups` groups that fit, given how far one block
    // reaches into the device bytes and into the host samples from its start.
    template <uint32_t blockSamples = kSamples>
    static uint32_t blocksFor(uint32_t groups, uint32_t deviceExtent, uint32_t hostExtent)
    {
        const uint64_t samples = uint64_t{groups} * kGroup;
        return static_cast<uint32_t>(std::min(
            {samples / blockSamples, fitting(samples * Map::kBytes, blockSamples * Map::kBytes, deviceExtent),
             fitting(samples * 4, blockSamples * 4, hostExtent)}));
    }

    // Each converts the whole blocks that fit and returns the groups done.
    __attribute__((target("ssse3"))) static uint32_t decode(int32_t* dst, const uint8_t* src, uint32_t groups)
    {
        const uint32_t blocks = blocksFor(groups, kDecode.readExtent, kDecode.writeExtent);
        auto* out = reinterpret_cast<uint8_t*>(dst);
        for (size_t b = 0; b < blocks; ++b) {
            block<kDecode>(src + b * kDeviceBytes, out + b * kHostBytes,
                           std::make_index_sequence<kDecodeChunks>());
        }
        return blocks * kGroups;
    }

    // The AVX2 blocks: two blocks' worth where a block has an odd number of chunks, so that every
    // chunk has a partner.
    static constexpr uint32_t kDecodeWideSamples = kDecodeChunks % 2 == 0 ? kSamples : 2 * kSamples;
    static constexpr uint32_t kEncodeWideSamples = kEncodeChunks % 2 == 0 ? kSamples : 2 * kSamples;
    static constexpr auto kDecodeWide = makePlan<kDecodeWideSamples / 4>(16, decodeSource);
    static constexpr auto kEncodeWide =
        makePlan<kEncodeWideSamples / kSlotsPerChunk>(kSlotsPerChunk * Map::kBytes, encodeSource);

    __attribute__((target("avx2"))) static uint32_t decodeWide(int32_t* dst, const uint8_t* src,
                                                               uint32_t groups)
    {
        constexpr uint32_t samples = kDecodeWideSamples;
        const uint32_t blocks = blocksFor<samples>(groups, kDecodeWide.readExtent, wideWriteExtent(kDecodeWide));
        auto* out = reinterpret_cast<uint8_t*>(dst);
        size_t b = 0;
        if constexpr (readsBack<kDecodeWide, samples / 4>()) {
            // The call's first block has nothing before it: it goes the 16-byte way.
            if (blocks > 0) {
                for (uint32_t n = 0; n < samples / kSamples; ++n) {
                    block<kDecode>(src + n * kDeviceBytes, out + n * kHostBytes,
                                   std::make_index_sequence<kDecodeChunks>());
                }
                b = 1;
            }
        }
        for (; b < blocks; ++b) {
            wideBlock<kDecodeWide, samples / 4>(src + b * samples * Map::kBytes, out + b * samples * 4,
                                                std::make_index_sequence<samples / 8>());
        }
        return blocks * (samples / kGroup);
    }

    __attribute__((target("ssse3"))) static uint32_t encode(uint8_t* dst, const int* host, uint32_t groups)
    {
        const uint32_t blocks = blocksFor(groups, kEncode.writeExtent, kEncode.readExtent);
        const auto* in = reinterpret_cast<const uint8_t*>(host);
        for (size_t b = 0; b < blocks; ++b) {
            block<kEncode>(in + b * kHostBytes, dst + b * kDeviceBytes,
                           std::make_index_sequence<kEncodeChunks>());
        }
        return blocks * kGroups;
    }

    __attribute__((target("avx2"))) static uint32_t encodeWide(uint8_t* dst, const int* host, uint32_t groups)
    {
        constexpr uint32_t samples = kEncodeWideSamples;
        constexpr uint32_t chunks = samples / kSlotsPerChunk;
        const uint32_t blocks = blocksFor<samples>(groups, wideWriteExtent(kEncodeWide), kEncodeWide.readExtent);
        const auto* in = reinterpret_cast<const uint8_t*>(host);
        for (size_t b = 0; b < blocks; ++b) {
            wideBlock<kEncodeWide, chunks>(in + b * samples * 4, dst + b * samples * Map::kBytes,
                                           std::make_index_sequence<chunks / 2>());
        }
        return blocks * (samples / kGroup);
    }

    // Permuted blocks: every chunk is 64 output bytes, stored whole; a decoder chunk is 16 host
    // samples, an encoder chunk may end inside a device sample. Blocks are whole groups and chunks.
    // Four decoder chunks a block, so that the last one's window ends with the block's input.
    static constexpr uint32_t kDecodeBlock = std::lcm(64u, kGroup);
    static constexpr uint32_t kEncodeBlock = std::lcm(64 / std::gcd(64u, Map::kBytes), kGroup);
    static constexpr auto kDecodePermute =
        makePermutePlan<kDecodeBlock / 16>(64, kDecodeBlock* Map::kBytes, decodeSource);
    static constexpr auto kEncodePermute =
        makePermutePlan<kEncodeBlock * Map::kBytes / 64>(64, kEncodeBlock * 4, encodeSource);

    template <const auto& plan, size_t c>
    __attribute__((target("avx512f,avx512bw,avx512vbmi"), always_inline)) static void
    permuteChunk(const uint8_t* in, uint8_t* out)
    {
        const __m512i index = _mm512_loadu_si512(plan.index[c].data());
        const __m512i first = _mm512_loadu_si512(in + plan.first[c]);
        __m512i result;
        if constexpr (plan.twoWindows[c]) {
            const __m512i second = _mm512_loadu_si512(in + plan.second[c]);
            result = _mm512_maskz_permutex2var_epi8(plan.keep[c], first, index, second);
        } else {
            result = _mm512_maskz_permutexvar_epi8(plan.keep[c], index, first);
        }
        _mm512_storeu_si512(out + c * plan.chunkBytes, result);
    }

    template <const auto& plan, size_t... c>
    __attribute__((target("avx512f,avx512bw,avx512vbmi"), always_inline)) static void
    permuteBlock(const uint8_t* in, uint8_t* out, std::index_sequence<c...>)
    {
        (permuteChunk<plan, c>(in, out), ...);
    }

    __attribute__((target("avx512f,avx512bw,avx512vbmi"))) static uint32_t
    decodePermuted(int32_t* dst, const uint8_t* src, uint32_t groups)
    {
        constexpr uint32_t kBlock = kDecodeBlock;
        const uint32_t blocks =
            blocksFor<kBlock>(groups, kDecodePermute.readExtent, kDecodePermute.writeExtent);
        auto* out = reinterpret_cast<uint8_t*>(dst);
        for (size_t b = 0; b < blocks; ++b) {
            permuteBlock<kDecodePermute>(src + b * kBlock * Map::kBytes, out + b * kBlock * 4,
                                         std::make_index_sequence<kBlock / 16>());
        }
        return blocks * (kBlock / kGroup);
    }

    __attribute__((target("avx512f,avx512bw,avx512vbmi"))) static uint32_t
    encodePermuted(uint8_t* dst, const int* host, uint32_t groups)
    {
        constexpr uint32_t kBlock = kEncodeBlock;
        const uint32_t blocks =
            blocksFor<kBlock>(groups, kEncodePermute.writeExtent, kEncodePermute.readExtent);
        const auto* in = reinterpret_cast<const uint8_t*>(host);
        for (size_t b = 0; b < blocks; ++b) {
            permuteBlock<kEncodePermute>(in + b * kBlock * 4, dst + b * kBlock * Map::kBytes,
                                         std::make_index_sequence<kBlock * Map::kBytes / 64>());
        }
        return blocks * (kBlock / kGroup);
    }
};

// The 32-bit little-endian layout is the host word itself.
template <class Map, auto order> constexpr bool kWordCopy = std::is_same_v<Map, Little32>&& order.size() == 1;

template <class Map, auto order, PCMShuffleLevel level>
void decodeGroups(int32_t* dst, const uint8_t* src, uint32_t groups)
{
    if constexpr (kWordCopy<Map, order>) {
        std::memcpy(dst, src, size_t{groups} * 4);
        return;
    }
    using S = Shuffle<Map, order>;
    uint32_t done = 0;
    if constexpr (level >= PCMShuffleLevel::avx512) {
        done = S::decodePermuted(dst, src, groups);
    }
    if constexpr (level >= PCMShuffleLevel::avx2) {
        done +=
            S::decodeWide(dst + done * order.size(), src + done * order.size() * Map::kBytes, groups - done);
    }
    if constexpr (level >= PCMShuffleLevel::ssse3) {
        done += S::decode(dst + done * order.size(), src + done * order.size() * Map::kBytes, groups - done);
    }
    decodeGroupsScalar<Map, order>(dst + done * order.size(), src + done * order.size() * Map::kBytes,
                                   groups - done);
}

template <class Map, auto order, PCMShuffleLevel level>
void encodeGroups(uint8_t* dst, const int* host, uint32_t groups)
{
    if constexpr (kWordCopy<Map, order>) {
        std::memcpy(dst, host, size_t{groups} * 4);
        return;
    }
    using S = Shuffle<Map, order>;
    uint32_t done = 0;
    if constexpr (level >= PCMShuffleLevel::avx512) {
        done = S::encodePermuted(dst, host, groups);
    }
    if constexpr (level >= PCMShuffleLevel::avx2) {
        done +=
            S::encodeWide(dst + done * order.size() * Map::kBytes, host + done * order.size(), groups - done);
    }
    if constexpr (level >= PCMShuffleLevel::ssse3) {
        done += S::encode(dst + done * order.size() * Map::kBytes, host + done * order.size(), groups - done);
    }
    encodeGroupsScalar<Map, order>(dst + done * order.size() * Map::kBytes, host + done * order.size(),
                                   groups - done);
}

#else

template <class Map, auto order, PCMShuffleLevel>
void decodeGroups(int32_t* dst, const uint8_t* src, uint32_t groups)
{
    decodeGroupsScalar<Map, order>(dst, src, groups);
}

template <class Map, auto order, PCMShuffleLevel>
void encodeGroups(uint8_t* dst, const int* host, uint32_t groups)
{
    encodeGroupsScalar<Map, order>(dst, host, groups);
}

PCMShuffleLevel supportedLevel()
{
    return PCMShuffleLevel::none;
}
std::atomic<PCMShuffleLevel> gShuffleLevel{supportedLevel()};

#endif

void reportSize(const char* coder, const char* countName, uint32_t expected, uint32_t actual)
{
    if (expected != actual) {
        IOLog("USB: ERROR %s : numExpectedBytes !=  %s %d %d\n", coder, countName, static_cast<int>(expected),
              static_cast<int>(actual));
    }
}

// Converts the whole groups that nBytes holds; returns the samples written.
template <class Map, auto order, PCMShuffleLevel level>
uint32_t decode(const char* coder, const _USB_DEC_DATA* d)
{
    if (d == nullptr) {
        return 0;
    }
    constexpr uint32_t kGroupBytes = Map::kBytes * order.size();
    const uint32_t groups = d->nBytes / kGroupBytes;
    reportSize(coder, "pDecData->nBytes", groups * kGroupBytes, d->nBytes);
    if (d->pDest != nullptr && d->pSrc != nullptr) {
        decodeGroups<Map, order, level>(d->pDest, d->pSrc, groups);
    }
    return groups * order.size();
}

// Fills the whole groups that numBytes holds; returns the host samples they take.
template <class Map, auto order, PCMShuffleLevel level>
uint32_t encode(const char* coder, char* device, const int* host, uint32_t numBytes)
{
    constexpr uint32_t kGroupBytes = Map::kBytes * order.size();
    const uint32_t groups = numBytes / kGroupBytes;
    reportSize(coder, "numBytes", groups * kGroupBytes, numBytes);
    if (device != nullptr && host != nullptr) {
        encodeGroups<Map, order, level>(reinterpret_cast<uint8_t*>(device), host, groups);
    }
    return groups * order.size();
}

// US-144 routing: counted per 3-byte slot, one host sample per slot, but written only in groups of
// four slots made from one 4-channel host frame.
template <auto order, PCMShuffleLevel level>
uint32_t encodeUS144(const char* coder, char* device, const int* host, uint32_t numBytes)
{
    const uint32_t slots = numBytes / Little24::kBytes;
    reportSize(coder, "numBytes", slots * Little24::kBytes, numBytes);
    if (device != nullptr && host != nullptr) {
        encodeGroups<Little24, order, level>(reinterpret_cast<uint8_t*>(device), host, slots / order.size());
    }
    return slots;
}

// A coder's name as a template argument, for its log lines.
template <size_t N> struct CoderName
{
    char text[N];
    constexpr CoderName(const char (&name)[N]) { std::copy_n(name, N, text); }
};

template <class Map, auto order, CoderName name, PCMShuffleLevel level>
uint32_t decoderAt(const _USB_DEC_DATA* d)
{
    return decode<Map, order, level>(name.text, d);
}

template <class Map, auto order, CoderName name, PCMShuffleLevel level>
uint32_t encoderAt(char* device, const int* host, uint32_t numBytes)
{
    return encode<Map, order, level>(name.text, device, host, numBytes);
}

template <auto order, CoderName name, PCMShuffleLevel level>
uint32_t us144EncoderAt(char* device, const int* host, uint32_t numBytes)
{
    return encodeUS144<order, level>(name.text, device, host, numBytes);
}

constexpr size_t kLevels = 4;

template <class Map, auto order, CoderName name>
constexpr std::array<PCMDecoder, kLevels> kDecoderAt{
    decoderAt<Map, order, name, PCMShuffleLevel::none>, decoderAt<Map, order, name, PCMShuffleLevel::ssse3>,
    decoderAt<Map, order, name, PCMShuffleLevel::avx2>, decoderAt<Map, order, name, PCMShuffleLevel::avx512>};

template <class Map, auto order, CoderName name>
constexpr std::array<PCMEncoder, kLevels> kEncoderAt{
    encoderAt<Map, order, name, PCMShuffleLevel::none>, encoderAt<Map, order, name, PCMShuffleLevel::ssse3>,
    encoderAt<Map, order, name, PCMShuffleLevel::avx2>, encoderAt<Map, order, name, PCMShuffleLevel::avx512>};

template <auto order, CoderName name>
constexpr std::array<PCMEncoder, kLevels> kUS144EncoderAt{
    us144EncoderAt<order, name, PCMShuffleLevel::none>, us144EncoderAt<order, name, PCMShuffleLevel::ssse3>,
    us144EncoderAt<order, name, PCMShuffleLevel::avx2>, us144EncoderAt<order, name, PCMShuffleLevel::avx512>};

size_t levelInEffect()
{
    return static_cast<size_t>(gShuffleLevel.load(std::memory_order_relaxed));
}

// The placeholders log their first call after they are handed out for a stream, not every call.
std::atomic<bool> gPlaceholderDecoderArmed{true};
std::atomic<bool> gPlaceholderEncoderArmed{true};

} // namespace

// Every coder with its members per level: (name, byte map, order).
#define VK_PCM_DECODERS(X)                                                                                   \
    X(pcmFrom16LSB, Little16, kPlain)                                                                        \
    X(pcmFrom16MSB, Big16, kPlain)                                                                           \
    X(pcmFrom16LSBChannelSwap, Little16, kStereoSwap)                                                        \
    X(pcmFrom16LSBChannelSwapMI_4, Little16, kPairSwap4)                                                     \
    X(pcmFrom20LSB, Little24, kPlain)                                                                        \
    X(pcmFrom24LSB, Little24, kPlain)                                                                        \
    X(pcmFrom24LSBChannelSwap, Little24, kStereoSwap)                                                        \
    X(pcmFrom24LSBChannelSwapMI_4, Little24, kPairSwap4)                                                     \
    X(pcmFrom24Access, Access24, kPlain)                                                                     \
    X(pcmFrom24TUSB, Big24, kPlain)                                                                          \
    X(pcmFrom24TUSB2ch, Big24, kStereo)                                                                      \
    X(pcmFrom32LSB, Little32, kPlain)

#define VK_PCM_ENCODERS(X)                                                                                   \
    X(pcmTo16LSB, Little16, kPlain)                                                                          \
    X(pcmTo16MSB, Big16, kPlain)                                                                             \
    X(pcmTo16LSBChannelSwap, Little16, kStereoSwap)                                                          \
    X(pcmTo20LSB, Little24, kPlain)                                                                          \
    X(pcmTo24LSB, Little24, kPlain)                                                                          \
    X(pcmTo24LSBChannelSwap, Little24, kStereoSwap)                                                          \
    X(pcmTo24Access, Access24, kPlain)                                                                       \
    X(pcmTo24TUSB, Big24, kPlain)                                                                            \
    X(pcmTo24TUSB2ch, Big24, kStereo)                                                                        \
    X(pcmTo24Corlanth4CH, Little24, kCorlanth4)                                                              \
    X(pcmTo24Corlanth6CH, Little24, kCorlanth6)                                                              \
    X(pcmTo32LSB, Little32, kPlain)

#define VK_PCM_US144_ENCODERS(X)                                                                             \
    X(pcmTo24LSB_US144_00, kUS144_00)                                                                        \
    X(pcmTo24LSB_US144_10, kUS144_10)                                                                        \
    X(pcmTo24LSB_US144_11, kUS144_11)

// Called directly, a coder runs at the level in effect; the choice hands out the member of one level.
#define VK_DEFINE_DECODER(function, Map, order)                                                              \
    uint32_t function(const _USB_DEC_DATA* d)                                                                \
    {                                                                                                        \
        return kDecoderAt<Map, order, #function>[levelInEffect()](d);                                        \
    }
#define VK_DEFINE_ENCODER(function, Map, order)                                                              \
    uint32_t function(char* device, const int* host, uint32_t numBytes)                                      \
    {                                                                                                        \
        return kEncoderAt<Map, order, #function>[levelInEffect()](device, host, numBytes);                   \
    }
#define VK_DEFINE_US144_ENCODER(function, order)                                                             \
    uint32_t function(char* device, const int* host, uint32_t numBytes)                                      \
    {                                                                                                        \
        return kUS144EncoderAt<order, #function>[levelInEffect()](device, host, numBytes);                   \
    }

VK_PCM_DECODERS(VK_DEFINE_DECODER)
VK_PCM_ENCODERS(VK_DEFINE_ENCODER)
VK_PCM_US144_ENCODERS(VK_DEFINE_US144_ENCODER)

namespace {

template <class Coder> struct LevelRow
{
    Coder coder;
    std::array<Coder, kLevels> at;
};

#define VK_DECODER_ROW(function, Map, order) {function, kDecoderAt<Map, order, #function>},
#define VK_ENCODER_ROW(function, Map, order) {function, kEncoderAt<Map, order, #function>},
#define VK_US144_ENCODER_ROW(function, order) {function, kUS144EncoderAt<order, #function>},

const LevelRow<PCMDecoder> kDecoderLevels[] = {VK_PCM_DECODERS(VK_DECODER_ROW)};
const LevelRow<PCMEncoder> kEncoderLevels[] = {VK_PCM_ENCODERS(VK_ENCODER_ROW)
                                                   VK_PCM_US144_ENCODERS(VK_US144_ENCODER_ROW)};

template <class Coder, size_t N>
Coder memberAt(const LevelRow<Coder> (&rows)[N], Coder coder, PCMShuffleLevel level)
{
    const auto index = static_cast<size_t>(std::min(level, supportedLevel()));
    for (const auto& row : rows) {
        if (row.coder == coder) {
            return row.at[index];
        }
    }
    return coder;
}

} // namespace

PCMShuffleLevel supportedPCMShuffleLevel()
{
    return supportedLevel();
}

PCMShuffleLevel pcmShuffleLevel()
{
    return gShuffleLevel.load(std::memory_order_relaxed);
}

void setPCMShuffleLevel(PCMShuffleLevel level)
{
    gShuffleLevel.store(std::min(level, supportedLevel()), std::memory_order_relaxed);
}

PCMDecoder pcmDecoderAt(PCMDecoder coder, PCMShuffleLevel level)
{
    if (coder == pcmFrom24TUSBMSB) {
        gPlaceholderDecoderArmed.store(true, std::memory_order_relaxed);
    }
    return memberAt(kDecoderLevels, coder, level);
}

PCMEncoder pcmEncoderAt(PCMEncoder coder, PCMShuffleLevel level)
{
    if (coder == pcmTo24TUSBMSB) {
        gPlaceholderEncoderArmed.store(true, std::memory_order_relaxed);
    }
    return memberAt(kEncoderLevels, coder, level);
}

uint32_t pcmFrom24TUSBMSB(const _USB_DEC_DATA*)
{
    if (gPlaceholderDecoderArmed.exchange(false, std::memory_order_relaxed)) {
        IOLog("USB: %s\n", "pcmFrom24TUSBMSB");
    }
    return 0;
}

// The device's layout is not known, so it gets silence rather than whatever the transfer buffer
// held before.
uint32_t pcmTo24TUSBMSB(char* device, const int* host, uint32_t numBytes)
{
    if (gPlaceholderEncoderArmed.exchange(false, std::memory_order_relaxed)) {
        IOLog("USB: %s\n", "pcmTo24TUSBMSB");
    }
    if (device != nullptr && host != nullptr) {
        std::memset(device, 0, numBytes);
    }
    return 0;
}
