// One instruction-set level's table of vector members. Included once by each level's source,
// which names the level in DMACONV_ISA before any include and is compiled with its options.
#pragma once

#include "VectorDecodePass.h"
#include "VectorEncodePass.h"
#include "VectorMembers.h"

namespace dmaconv {
inline namespace DMACONV_ISA {

inline constexpr VectorMemberTable kLevelMembers{{
    decodeBlock<PlaneIn<2>, VectorDecodePass>,
    decodeBlock<PlaneIn<4>, VectorDecodePass>,
    decodeBlock<PlaneIn<6>, VectorDecodePass>,
    decodeBlock<PlaneIn<8>, VectorDecodePass>,
    decodeBlock<PlaneIn<10>, VectorDecodePass>,
    decodeBlock<PlaneIn<12>, VectorDecodePass>,
    decodeBlock<PlaneIn<14>, VectorDecodePass>,
    decodeBlock<PlaneIn<16>, VectorDecodePass>,
    decodeBlock<PlaneIn<18>, VectorDecodePass>,
    decodeBlock<PlaneIn<20>, VectorDecodePass>,
    decodeBlock<PlaneIn<22>, VectorDecodePass>,
    decodeBlock<PlaneIn<24>, VectorDecodePass>,
    decodeBlock<PlaneIn<26>, VectorDecodePass>,
    decodeBlock<PlaneIn<28>, VectorDecodePass>,
    decodeBlock<PlaneIn<30>, VectorDecodePass>,
    decodeBlock<PlaneIn<32>, VectorDecodePass>,
    encodeBlock<PlainOut<2>, VectorEncodePass>,
    encodeBlock<PlainOut<4>, VectorEncodePass>,
    encodeBlock<PlainOut<6>, VectorEncodePass>,
    encodeBlock<PlainOut<8>, VectorEncodePass>,
    encodeBlock<PlainOut<10>, VectorEncodePass>,
    encodeBlock<PlainOut<12>, VectorEncodePass>,
    encodeBlock<PlainOut<14>, VectorEncodePass>,
    encodeBlock<PlainOut<16>, VectorEncodePass>,
    encodeBlock<Int964Out, VectorEncodePass>,
    encodeBlock<PairOut<8, 0>, VectorEncodePass>,
    encodeBlock<PairOut<8, 2>, VectorEncodePass>,
    encodeBlock<PairOut<8, 4>, VectorEncodePass>,
    encodeBlock<PairOut<8, 6>, VectorEncodePass>,
    encodeBlock<PairOut<10, 8>, VectorEncodePass>,
}};

} // namespace DMACONV_ISA
} // namespace dmaconv
