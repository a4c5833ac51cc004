// The instruction sets the PCM coders use for the bulk of a call. Chosen from the processor when
// the library loads; tests lower it to check that every path writes the same bytes. The coder
// choice fixes the level once, by handing out the member of the coder for the level in effect.
#pragma once

#include "PCMCoder.h"

enum class PCMShuffleLevel : int
{
    none, // the plain loop only
    ssse3,
    avx2,
    avx512, // with byte permutes (VBMI)
};

// What the processor offers.
PCMShuffleLevel supportedPCMShuffleLevel();

// In effect; at most the supported level. Not for the real-time thread.
PCMShuffleLevel pcmShuffleLevel();
void setPCMShuffleLevel(PCMShuffleLevel level);

// Device core, when it chooses a coder (not the real-time thread): the member of `coder` that
// runs at `level` (at most the supported one) without looking at the level in effect, or `coder`
// itself when it has no shuffle path. Handing out a placeholder coder this way starts a new
// stream for it: it logs its next call once.
PCMDecoder pcmDecoderAt(PCMDecoder coder, PCMShuffleLevel level);
PCMEncoder pcmEncoderAt(PCMEncoder coder, PCMShuffleLevel level);
