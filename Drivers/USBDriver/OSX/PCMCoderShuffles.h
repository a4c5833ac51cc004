// The instruction sets the PCM coders use for the bulk of a call. Chosen from the processor when
// the library loads; tests lower it to check that every path writes the same bytes.
#pragma once

enum class PCMShuffleLevel : int
{
    none, // the plain loop only
    ssse3,
    avx2,
};

// What the processor offers.
PCMShuffleLevel supportedPCMShuffleLevel();

// In effect; at most the supported level. Not for the real-time thread.
PCMShuffleLevel pcmShuffleLevel();
void setPCMShuffleLevel(PCMShuffleLevel level);
