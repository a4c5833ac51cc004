// Processor feature test. The features asked for (the vector members' integer SIMD operations)
// are part of every x86-64 processor, so the answer needs no query.
#include "DMAConverterDef.h"

int cpuCheckFeature(int feature)
{
    return (feature >= 1 && feature <= 4) ? 1 : 0;
}
