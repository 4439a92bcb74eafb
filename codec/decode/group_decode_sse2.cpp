// The group decoder compiled for SSE2. On i686 this file alone (with the
// delta kernels) is compiled with -msse2; PickGroups calls it only on
// processors that report SSE2. On x86-64 it is the plain decoder's code.
#include "codec/decode/group_decode.h"

#if defined(__SSE2__)
#include "codec/decode/group_decode_kernel.h"

namespace kx {

void DecodeGroupsSse2(GroupSpan* span) { groups::DecodeGroupsKernel(span); }

}  // namespace kx
#endif
