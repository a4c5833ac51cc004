// The vector members at the GFNI level; set-up installs them only where the processor has it.
#define DMACONV_ISA gfni
#include "VectorLevelMembers.h"

const dmaconv::VectorMemberTable dmaconv::kVectorMembersGFNI = dmaconv::gfni::kLevelMembers;
