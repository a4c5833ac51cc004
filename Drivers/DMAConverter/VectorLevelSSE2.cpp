// The vector members at the SSE2 level, the floor every x86-64 processor runs.
#define DMACONV_ISA sse2
#include "VectorLevelMembers.h"

const dmaconv::VectorMemberTable dmaconv::kVectorMembersSSE2 = dmaconv::sse2::kLevelMembers;
