// One instruction-set level's table of vector members. Included once by each level's source,
// which names the level in DMACONV_ISA before any include and is compiled with its options.
#pragma once

#include "VectorMembers.h"

#if defined(__AVX512VBMI__)
#include "PermutePass.h"
#else
#include "VectorDecodePass.h"
#include "VectorEncodePass.h"
#endif
#include "VarnokPass.h"

namespace dmaconv {
inline namespace DMACONV_ISA {

#if defined(__AVX512VBMI__)
using LevelDecodePass = PermuteDecodePass;
using LevelEncodePass = PermuteEncodePass;
#else
using LevelDecodePass = VectorDecodePass;
using LevelEncodePass = VectorEncodePass;
#endif

inline constexpr VectorMemberTable kLevelMembers{{
    decodeBlock<PlaneIn<2>, LevelDecodePass>,
    decodeBlock<PlaneIn<4>, LevelDecodePass>,
    decodeBlock<PlaneIn<6>, LevelDecodePass>,
    decodeBlock<PlaneIn<8>, LevelDecodePass>,
    decodeBlock<PlaneIn<10>, LevelDecodePass>,
    decodeBlock<PlaneIn<12>, LevelDecodePass>,
    decodeBlock<PlaneIn<14>, LevelDecodePass>,
    decodeBlock<PlaneIn<16>, LevelDecodePass>,
    decodeBlock<PlaneIn<18>, LevelDecodePass>,
    decodeBlock<PlaneIn<20>, LevelDecodePass>,
    decodeBlock<PlaneIn<22>, LevelDecodePass>,
    decodeBlock<PlaneIn<24>, LevelDecodePass>,
    decodeBlock<PlaneIn<26>, LevelDecodePass>,
    decodeBlock<PlaneIn<28>, LevelDecodePass>,
    decodeBlock<PlaneIn<30>, LevelDecodePass>,
    decodeBlock<PlaneIn<32>, LevelDecodePass>,
    encodeBlock<PlainOut<2>, LevelEncodePass>,
    encodeBlock<PlainOut<4>, LevelEncodePass>,
    encodeBlock<PlainOut<6>, LevelEncodePass>,
    encodeBlock<PlainOut<8>, LevelEncodePass>,
    encodeBlock<PlainOut<10>, LevelEncodePass>,
    encodeBlock<PlainOut<12>, LevelEncodePass>,
    encodeBlock<PlainOut<14>, LevelEncodePass>,
    encodeBlock<PlainOut<16>, LevelEncodePass>,
    encodeBlock<Int964Out, LevelEncodePass>,
    encodeBlock<PairOut<8, 0>, LevelEncodePass>,
    encodeBlock<PairOut<8, 2>, LevelEncodePass>,
    encodeBlock<PairOut<8, 4>, LevelEncodePass>,
    encodeBlock<PairOut<8, 6>, LevelEncodePass>,
    encodeBlock<PairOut<10, 8>, LevelEncodePass>,
    decodeVarnokBlock<8>,
    decodeVarnokBlock<16>,
    decodeVarnokBlock<32>,
    encodeVarnokBlock<8>,
    encodeVarnokBlock<16>,
    encodeVarnokBlock<32>,
}};

} // namespace DMACONV_ISA
} // namespace dmaconv
