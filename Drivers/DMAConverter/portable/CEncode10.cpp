// Portable encoders of 10-channel device frames: the plain one and the pair encoders, whose
// second pair channel runs one frame late through the caller's carried sample.
#include "DMAConverterDef.h"
#include "PortablePass.h"

using namespace dmaconv;

uint32_t dmaEncode10_C(DMAConvertArgs* a)
{
    return encodeBlock<PlainOut<10>, PortablePass>(a);
}
uint32_t dmaEncode10_12_C(DMAConvertArgs* a)
{
    return encodeBlock<PairOut<8, 0>, PortablePass>(a);
}
uint32_t dmaEncode10_34_C(DMAConvertArgs* a)
{
    return encodeBlock<PairOut<8, 2>, PortablePass>(a);
}
uint32_t dmaEncode10_56_C(DMAConvertArgs* a)
{
    return encodeBlock<PairOut<8, 4>, PortablePass>(a);
}
uint32_t dmaEncode10_78_C(DMAConvertArgs* a)
{
    return encodeBlock<PairOut<8, 6>, PortablePass>(a);
}
uint32_t dmaEncode10_AH_C(DMAConvertArgs* a)
{
    return encodeBlock<PairOut<10, 8>, PortablePass>(a);
}
