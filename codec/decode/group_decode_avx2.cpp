// The group decoder compiled for AVX2, where a copy of up to 32 bytes takes
// one move; PickGroups calls it only on processors (and systems) that
// report AVX2.
#include "codec/decode/group_decode.h"

#if defined(__AVX2__)
#include "codec/decode/group_decode_kernel.h"

namespace kx {

void DecodeGroupsAvx2(GroupSpan* span) { groups::DecodeGroupsKernel(span); }

}  // namespace kx
#endif
