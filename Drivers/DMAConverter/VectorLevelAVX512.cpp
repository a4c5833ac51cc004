// The vector members at the AVX-512 level (byte permutes and GFNI); set-up installs them only where
// the processor has it.
#define DMACONV_ISA avx512
#include "VectorLevelMembers.h"

const dmaconv::VectorMemberTable dmaconv::kVectorMembersAVX512 = dmaconv::avx512::kLevelMembers;
