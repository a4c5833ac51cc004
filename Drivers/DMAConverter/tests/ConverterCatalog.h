// Every converter family with its slot, geometry and members, for the tests, the benchmarks and
// the fuzz target.
#pragma once

#include "DMAConverterDef.h"

#include <array>
#include <cstdint>
#include <span>

namespace dmaconv::testing {

enum class FamilyKind
{
    PlaneEncoder,  // plain planes, 10 frames
    PairEncoder,   // 10-channel device frames from 8 or 10 host channels, one carried sample
    Int964Encoder, // 20 frames in a 964-byte interrupt packet
    VarnokEncoder,
    PlaneDecoder, // 16 wide up to 16 channels, 32 wide above
    VarnokDecoder,
    PlainCopy, // the decoder of a stream that already carries interleaved samples
};

struct ConverterFamily
{
    const char* name;
    DMAConverterSlot* slot; // null: the family has no slot
    FamilyKind kind;
    unsigned hostChannels;
    unsigned pairA;    // pair encoders: the host channel that feeds device channel 9
    uint32_t inBytes;  // bytes one call reads
    uint32_t outBytes; // bytes of the output block one call may write
    uint32_t count;    // what every call returns
    DMAConvertFunc* portable;
    DMAConvertFunc* unrolled; // null: no integer-unrolled member
    DMAConvertFunc* vector;   // null: no vector member

    bool isEncoder() const
    {
        return kind == FamilyKind::PlaneEncoder || kind == FamilyKind::PairEncoder ||
               kind == FamilyKind::Int964Encoder || kind == FamilyKind::VarnokEncoder;
    }
};

namespace detail {
constexpr ConverterFamily encoder(const char* name, DMAConverterSlot* slot, unsigned channels,
                                  DMAConvertFunc* c, DMAConvertFunc* asmMember, DMAConvertFunc* sse)
{
    return {name,      slot, FamilyKind::PlaneEncoder, channels, 0, channels * 40, 480, channels * 40, c,
            asmMember, sse};
}
constexpr ConverterFamily pair(const char* name, DMAConverterSlot* slot, unsigned channels, unsigned a,
                               DMAConvertFunc* c, DMAConvertFunc* asmMember, DMAConvertFunc* sse)
{
    return {name,      slot, FamilyKind::PairEncoder, channels, a, channels * 40, 480, channels * 40, c,
            asmMember, sse};
}
constexpr ConverterFamily varnokEncoder(const char* name, DMAConverterSlot* slot, unsigned channels,
                                        DMAConvertFunc* c, DMAConvertFunc* sse)
{
    return {name, slot, FamilyKind::VarnokEncoder, channels, 0, 640, 480, 640, c, nullptr, sse};
}
constexpr ConverterFamily decoder(const char* name, DMAConverterSlot* slot, unsigned channels,
                                  DMAConvertFunc* c, DMAConvertFunc* asmMember, DMAConvertFunc* sse)
{
    const uint32_t count = (channels <= 16 ? 8 : 4) * channels;
    return {name, slot, FamilyKind::PlaneDecoder, channels, 0, 512, count * 4, count, c, asmMember, sse};
}
constexpr ConverterFamily varnokDecoder(const char* name, DMAConverterSlot* slot, unsigned channels,
                                        DMAConvertFunc* c, DMAConvertFunc* sse)
{
    return {name, slot, FamilyKind::VarnokDecoder, channels, 0, 512, 512, 128, c, nullptr, sse};
}
} // namespace detail

inline std::span<const ConverterFamily> converterFamilies()
{
    using namespace detail;
    static const std::array families{
        varnokDecoder("dmaDecode16To08At32Bit_VARNOK", &dmaDecode16To08At32Bit_VARNOK, 8,
                      dmaDecode16To08At32Bit_VARNOK_C,
                      dmaDecode16To08At32Bit_VARNOK_SSE),
        varnokDecoder("dmaDecode16To16At32Bit_VARNOK", &dmaDecode16To16At32Bit_VARNOK, 16,
                      dmaDecode16To16At32Bit_VARNOK_C,
                      dmaDecode16To16At32Bit_VARNOK_SSE),
        varnokDecoder("dmaDecode16To32At32Bit_VARNOK", &dmaDecode16To32At32Bit_VARNOK, 32,
                      dmaDecode16To32At32Bit_VARNOK_C,
                      dmaDecode16To32At32Bit_VARNOK_SSE),
        varnokEncoder("dmaEncode08_VARNOK", &dmaEncode08_VARNOK, 8, dmaEncode08_VARNOK_C,
                      dmaEncode08_VARNOK_SSE),
        varnokEncoder("dmaEncode16_VARNOK", &dmaEncode16_VARNOK, 16, dmaEncode16_VARNOK_C,
                      dmaEncode16_VARNOK_SSE),
        varnokEncoder("dmaEncode32_VARNOK", &dmaEncode32_VARNOK, 32, dmaEncode32_VARNOK_C,
                      dmaEncode32_VARNOK_SSE),
        decoder("dmaDecode16To02At32Bit", &dmaDecode16To02At32Bit, 2, dmaDecode16To02At32Bit_C,
                dmaDecode16To02At32Bit_ASM, dmaDecode16To02At32Bit_SSE),
        decoder("dmaDecode16To04At32Bit", &dmaDecode16To04At32Bit, 4, dmaDecode16To04At32Bit_C,
                dmaDecode16To04At32Bit_ASM, dmaDecode16To04At32Bit_SSE),
        decoder("dmaDecode16To06At32Bit", &dmaDecode16To06At32Bit, 6, dmaDecode16To06At32Bit_C,
                dmaDecode16To06At32Bit_ASM, dmaDecode16To06At32Bit_SSE),
        decoder("dmaDecode16To08At32Bit", &dmaDecode16To08At32Bit, 8, dmaDecode16To08At32Bit_C,
                dmaDecode16To08At32Bit_ASM, dmaDecode16To08At32Bit_SSE),
        decoder("dmaDecode16To10At32Bit", &dmaDecode16To10At32Bit, 10, dmaDecode16To10At32Bit_C,
                dmaDecode16To10At32Bit_ASM, dmaDecode16To10At32Bit_SSE),
        decoder("dmaDecode16To12At32Bit", &dmaDecode16To12At32Bit, 12, dmaDecode16To12At32Bit_C,
                dmaDecode16To12At32Bit_ASM, dmaDecode16To12At32Bit_SSE),
        decoder("dmaDecode16To14At32Bit", &dmaDecode16To14At32Bit, 14, dmaDecode16To14At32Bit_C,
                dmaDecode16To14At32Bit_ASM, dmaDecode16To14At32Bit_SSE),
        decoder("dmaDecode16To16At32Bit", &dmaDecode16To16At32Bit, 16, dmaDecode16To16At32Bit_C,
                dmaDecode16To16At32Bit_ASM, dmaDecode16To16At32Bit_SSE),
        decoder("dmaDecode32To18At32Bit", &dmaDecode32To18At32Bit, 18, dmaDecode32To18At32Bit_C,
                dmaDecode32To18At32Bit_ASM, dmaDecode32To18At32Bit_SSE),
        decoder("dmaDecode32To20At32Bit", &dmaDecode32To20At32Bit, 20, dmaDecode32To20At32Bit_C,
                dmaDecode32To20At32Bit_ASM, dmaDecode32To20At32Bit_SSE),
        decoder("dmaDecode32To22At32Bit", &dmaDecode32To22At32Bit, 22, dmaDecode32To22At32Bit_C,
                dmaDecode32To22At32Bit_ASM, dmaDecode32To22At32Bit_SSE),
        decoder("dmaDecode32To24At32Bit", &dmaDecode32To24At32Bit, 24, dmaDecode32To24At32Bit_C,
                dmaDecode32To24At32Bit_ASM, dmaDecode32To24At32Bit_SSE),
        decoder("dmaDecode32To26At32Bit", &dmaDecode32To26At32Bit, 26, dmaDecode32To26At32Bit_C,
                dmaDecode32To26At32Bit_ASM, dmaDecode32To26At32Bit_SSE),
        decoder("dmaDecode32To28At32Bit", &dmaDecode32To28At32Bit, 28, dmaDecode32To28At32Bit_C,
                dmaDecode32To28At32Bit_ASM, dmaDecode32To28At32Bit_SSE),
        decoder("dmaDecode32To30At32Bit", &dmaDecode32To30At32Bit, 30, dmaDecode32To30At32Bit_C,
                dmaDecode32To30At32Bit_ASM, dmaDecode32To30At32Bit_SSE),
        decoder("dmaDecode32To32At32Bit", &dmaDecode32To32At32Bit, 32, dmaDecode32To32At32Bit_C,
                dmaDecode32To32At32Bit_ASM, dmaDecode32To32At32Bit_SSE),
        encoder("dmaEncode02", &dmaEncode02, 2, dmaEncode02_C, dmaEncode02_ASM, dmaEncode02_SSE),
        encoder("dmaEncode04", &dmaEncode04, 4, dmaEncode04_C, dmaEncode04_ASM, dmaEncode04_SSE),
        encoder("dmaEncode06", &dmaEncode06, 6, dmaEncode06_C, dmaEncode06_ASM, dmaEncode06_SSE),
        encoder("dmaEncode08", &dmaEncode08, 8, dmaEncode08_C, dmaEncode08_ASM, dmaEncode08_SSE),
        ConverterFamily{"dmaEncode08_Int964", &dmaEncode08_Int964, FamilyKind::Int964Encoder, 8, 0, 640, 964,
                        640, dmaEncode08_Int964_C, dmaEncode08_Int964_ASM, dmaEncode08_Int964_SSE},
        encoder("dmaEncode10", &dmaEncode10, 10, dmaEncode10_C, nullptr, dmaEncode10_SSE),
        encoder("dmaEncode12", &dmaEncode12, 12, dmaEncode12_C, nullptr, dmaEncode12_SSE),
        encoder("dmaEncode14", &dmaEncode14, 14, dmaEncode14_C, nullptr, dmaEncode14_SSE),
        encoder("dmaEncode16", &dmaEncode16, 16, dmaEncode16_C, nullptr, dmaEncode16_SSE),
        pair("dmaEncode10_12", &dmaEncode10_12, 8, 0, dmaEncode10_12_C, dmaEncode10_12_ASM,
             dmaEncode10_12_SSE),
        pair("dmaEncode10_34", &dmaEncode10_34, 8, 2, dmaEncode10_34_C, dmaEncode10_34_ASM,
             dmaEncode10_34_SSE),
        pair("dmaEncode10_56", &dmaEncode10_56, 8, 4, dmaEncode10_56_C, dmaEncode10_56_ASM,
             dmaEncode10_56_SSE),
        pair("dmaEncode10_78", &dmaEncode10_78, 8, 6, dmaEncode10_78_C, dmaEncode10_78_ASM,
             dmaEncode10_78_SSE),
        pair("dmaEncode10_AH", &dmaEncode10_AH, 10, 8, dmaEncode10_AH_C, dmaEncode10_AH_ASM,
             dmaEncode10_AH_SSE),
        ConverterFamily{"dmaDecode32To32At32Bit_NoPuzzle", nullptr, FamilyKind::PlainCopy, 32, 0, 512, 512,
                        128, dmaDecode32To32At32Bit_NoPuzzle_C, nullptr, nullptr},
    };
    return families;
}

struct Member
{
    const char* suffix;
    DMAConvertFunc* (*of)(const ConverterFamily&);
};

// The three member columns, in the order portable, integer-unrolled, vector.
inline constexpr std::array<Member, 3> kMembers{{
    {"_C", [](const ConverterFamily& f) { return f.portable; }},
    {"_ASM", [](const ConverterFamily& f) { return f.unrolled; }},
    {"_SSE", [](const ConverterFamily& f) { return f.vector; }},
}};

// The name of an instruction-set level of the vector members.
inline const char* levelName(DMAVectorLevel level)
{
    switch (level) {
    case DMAVectorLevel::SSE2:
        return "SSE2";
    case DMAVectorLevel::AVX2:
        return "AVX2";
    case DMAVectorLevel::GFNI:
        return "GFNI";
    case DMAVectorLevel::AVX512:
        return "AVX512";
    }
    return "?";
}

} // namespace dmaconv::testing
