// Processor feature tests. The features asked for by number (the vector members' integer SIMD
// operations) are part of every x86-64 processor, so that answer needs no query; the wider vector
// levels are asked of the processor (and the system's saving of its registers).
#include "DMAConverterDef.h"

int cpuCheckFeature(int feature)
{
    return (feature >= 1 && feature <= 4) ? 1 : 0;
}

DMAVectorLevel dmaWidestVectorLevel()
{
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx2")) {
        return DMAVectorLevel::SSE2;
    }
    if (!__builtin_cpu_supports("gfni")) {
        return DMAVectorLevel::AVX2;
    }
    // The feature tests of the 512-bit registers also ask whether the system saves them.
    const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                        __builtin_cpu_supports("avx512vbmi");
    return avx512 ? DMAVectorLevel::AVX512 : DMAVectorLevel::GFNI;
}
