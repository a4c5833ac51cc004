// A slow model of the device layouts, written from the layout rules alone: for every output bit
// it says which input bit lands there. The converters are checked against it, never against each
// other alone.
#pragma once

#include "ConverterCatalog.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace dmaconv::testing {

// Expected output: one entry per byte of the output block, -1 where the call must leave the byte
// as it was.
struct ReferenceResult
{
    std::vector<int> bytes;
    uint32_t carry = 0;
};

inline uint32_t referenceWord(const uint8_t* p, unsigned index)
{
    return uint32_t(p[4 * index]) | uint32_t(p[4 * index + 1]) << 8 | uint32_t(p[4 * index + 2]) << 16 |
           uint32_t(p[4 * index + 3]) << 24;
}

inline void referencePutWord(std::vector<int>& bytes, unsigned index, uint32_t v)
{
    for (unsigned i = 0; i < 4; ++i) {
        bytes[4 * index + i] = int((v >> (8 * i)) & 0xFF);
    }
}

// in: the whole input block (may be null: a missing source); carry: the carried sample before the
// call.
inline ReferenceResult referenceConvert(const ConverterFamily& family, const uint8_t* in, uint32_t carry)
{
    ReferenceResult r{std::vector<int>(family.outBytes, -1), carry};
    const unsigned n = family.hostChannels;
    if (in == nullptr) {
        // Silence where a missing block has an answer; the interrupt packet, the Varnok layouts and
        // the plain copy leave their output alone.
        if (family.kind == FamilyKind::PlaneEncoder || family.kind == FamilyKind::PairEncoder) {
            std::fill(r.bytes.begin(), r.bytes.begin() + 480, 0);
        } else if (family.kind == FamilyKind::PlaneDecoder) {
            std::fill(r.bytes.begin(), r.bytes.end(), 0);
        }
        return r;
    }
    switch (family.kind) {
    case FamilyKind::PlaneEncoder:
    case FamilyKind::PairEncoder:
    case FamilyKind::Int964Encoder: {
        const bool pair = family.kind == FamilyKind::PairEncoder;
        const unsigned deviceChannels = pair ? 10 : n;
        const unsigned frames = family.kind == FamilyKind::Int964Encoder ? 20 : 10;
        for (unsigned f = 0; f < frames; ++f) {
            std::vector<uint32_t> device(deviceChannels);
            for (unsigned d = 0; d < (pair ? 8 : n); ++d) {
                device[d] = referenceWord(in, f * n + d);
            }
            if (pair) {
                device[8] = r.carry;                                 // host b of the frame before
                device[9] = referenceWord(in, f * n + family.pairA); // host a of this frame
                r.carry = referenceWord(in, f * n + family.pairA + 1);
            }
            unsigned start = 48 * f;
            if (family.kind == FamilyKind::Int964Encoder) {
                start = f <= 8 ? 48 * f : f <= 18 ? 434 + 48 * (f - 9) : 916;
            }
            for (unsigned b = 0; b < 48; ++b) {
                r.bytes[start + b] = 0;
            }
            for (unsigned d = 0; d < deviceChannels; ++d) {
                for (unsigned j = 0; j < 24; ++j) {
                    const unsigned byte = start + (d % 2 == 0 ? 0 : 24) + j;
                    r.bytes[byte] |= int(((device[d] >> (31 - j)) & 1) << (d / 2));
                }
            }
        }
        break;
    }
    case FamilyKind::VarnokEncoder: {
        const unsigned framesPerGroup = 32 / n;
        for (unsigned g = 0; g < 5; ++g) {
            for (unsigned c = 0; c < n; ++c) {
                for (unsigned f = 0; f < framesPerGroup; ++f) {
                    const uint32_t h = referenceWord(in, (g * framesPerGroup + f) * n + c);
                    const unsigned at = g * 96 + 3 * (c * framesPerGroup + f);
                    r.bytes[at] = int((h >> 8) & 0xFF);
                    r.bytes[at + 1] = int((h >> 16) & 0xFF);
                    r.bytes[at + 2] = int((h >> 24) & 0xFF);
                }
            }
        }
        break;
    }
    case FamilyKind::PlaneDecoder: {
        const bool wide = n > 16;
        const unsigned frames = wide ? 4 : 8;
        for (unsigned f = 0; f < frames; ++f) {
            for (unsigned c = 0; c < n; ++c) {
                uint32_t v = 0;
                for (unsigned j = 0; j < 24; ++j) {
                    const unsigned unit = (c % 2 == 0 ? 0 : 32) + j;
                    const unsigned value =
                        wide ? in[128 * f + 2 * unit] | in[128 * f + 2 * unit + 1] << 8 : in[64 * f + unit];
                    v |= uint32_t((value >> (c / 2)) & 1) << (31 - j);
                }
                referencePutWord(r.bytes, f * n + c, v);
            }
        }
        break;
    }
    case FamilyKind::VarnokDecoder: {
        const unsigned framesPerBlock = 32 / n;
        for (unsigned b = 0; b < 4; ++b) {
            for (unsigned f = 0; f < framesPerBlock; ++f) {
                for (unsigned c = 0; c < n; ++c) {
                    referencePutWord(r.bytes, (b * framesPerBlock + f) * n + c,
                                     referenceWord(in, 32 * b + c * framesPerBlock + f));
                }
            }
        }
        break;
    }
    case FamilyKind::PlainCopy:
        for (unsigned i = 0; i < 512; ++i) {
            r.bytes[i] = in[i];
        }
        break;
    }
    return r;
}

} // namespace dmaconv::testing
