// The vector members at each instruction-set level. VectorLevelMembers.h is compiled once per
// level (SSE2, AVX2, AVX2 with GFNI, AVX-512 with byte permutes and GFNI), each time with that level's compiler options and into its
// own namespace, so a helper built for a wider level is never linked into a narrower one. The
// `_SSE` members stay the slots' vector members and call the table set-up chose.
#pragma once

#include "DMAConverterDef.h"

#include <atomic>
#include <cstddef>

namespace dmaconv {

enum class VectorSlot : unsigned
{
    Decode16To02At32Bit,
    Decode16To04At32Bit,
    Decode16To06At32Bit,
    Decode16To08At32Bit,
    Decode16To10At32Bit,
    Decode16To12At32Bit,
    Decode16To14At32Bit,
    Decode16To16At32Bit,
    Decode32To18At32Bit,
    Decode32To20At32Bit,
    Decode32To22At32Bit,
    Decode32To24At32Bit,
    Decode32To26At32Bit,
    Decode32To28At32Bit,
    Decode32To30At32Bit,
    Decode32To32At32Bit,
    Encode02,
    Encode04,
    Encode06,
    Encode08,
    Encode10,
    Encode12,
    Encode14,
    Encode16,
    Encode08_Int964,
    Encode10_12,
    Encode10_34,
    Encode10_56,
    Encode10_78,
    Encode10_AH,
    Decode16To08At32Bit_VARNOK,
    Decode16To16At32Bit_VARNOK,
    Decode16To32At32Bit_VARNOK,
    Encode08_VARNOK,
    Encode16_VARNOK,
    Encode32_VARNOK,
    Count
};

struct VectorMemberTable
{
    DMAConvertFunc* member[static_cast<size_t>(VectorSlot::Count)];
};

extern const VectorMemberTable kVectorMembersSSE2, kVectorMembersAVX2, kVectorMembersGFNI, kVectorMembersAVX512;

// The table of the level in use; never null (SSE2 until set-up chooses).
extern std::atomic<const VectorMemberTable*> activeVectorMembers;

inline DMAConvertFunc* vectorMember(VectorSlot slot)
{
    return activeVectorMembers.load(std::memory_order_relaxed)->member[static_cast<size_t>(slot)];
}

} // namespace dmaconv
