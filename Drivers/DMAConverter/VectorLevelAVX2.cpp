// The vector members at the AVX2 level; set-up installs them only where the processor has it.
#define DMACONV_ISA avx2
#include "VectorLevelMembers.h"

const dmaconv::VectorMemberTable dmaconv::kVectorMembersAVX2 = dmaconv::avx2::kLevelMembers;
