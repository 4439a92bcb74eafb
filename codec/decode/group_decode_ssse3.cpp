// The group decoder compiled for SSSE3, where a copy that repeats a short
// pattern builds it with one byte shuffle; PickGroups calls it only on
// processors that report SSSE3.
#include "codec/decode/group_decode.h"

#if defined(__SSSE3__)
#include "codec/decode/group_decode_kernel.h"

namespace kx {

void DecodeGroupsSsse3(GroupSpan* span) { groups::DecodeGroupsKernel(span); }

}  // namespace kx
#endif
