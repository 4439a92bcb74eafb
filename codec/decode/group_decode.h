// The unchecked part of DecodeToBitmap: whole groups of eight tokens with no
// stop rule tested inside them, one kernel per instruction set, chosen at run
// time like the delta kernels (codec/decode/delta.h).
//
// The module is compiled for plain i686; group_decode_sse2.cpp,
// group_decode_ssse3.cpp and group_decode_avx2.cpp hold the same decoder
// compiled for SSE2 (16-byte copies in one move, short patterns built in
// registers), SSSE3 (short patterns built with one byte shuffle) and AVX2
// (copies of up to 32 bytes in one move, where the stream's copies are long;
// the SSSE3 kernel elsewhere), and run only where the processor
// reports those sets. Every kernel writes the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/decode/fast_decode.h"
#include "codec/format/kx_stream.h"

namespace kx {

// Unchecked copies move whole blocks: 8 bytes for up to eight single
// literals, 16 or 32 at a time for copies, 48 for a literal run of 9 to 40.
// So they write up to 39 bytes past a token's last output byte.
inline constexpr std::size_t kVectorBytes = 16;
inline constexpr std::size_t kLiteralCopyBytes = 8;
inline constexpr std::size_t kRunCopyBytes = 3 * kVectorBytes;
inline constexpr std::size_t kWildBytes = kRunCopyBytes;

// The most one group can take and give: a flag byte and eight literal runs
// of 40; eight copies of 4096.
inline constexpr std::size_t kMaxGroupInputBytes = 1 + kGroupTokens * (1 + kMaxRunBytes);
inline constexpr std::size_t kMaxGroupOutputBytes = kGroupTokens * kMaxCopyBytes;

// A group runs unchecked only with this much input from its flag byte on:
// the furthest it reads is the 48-byte copy of a run whose control byte
// follows the flag byte and seven runs of 40. An 8-byte literal move starts
// no later than the group's last byte (kMaxGroupInputBytes), so it ends no
// further, and the other reads (a copy's two bytes after its control byte,
// the 4-byte read-ahead of the next control byte) end sooner.
inline constexpr std::size_t kFastInputBytes = 1 + (kGroupTokens - 1) * (1 + kMaxRunBytes) + 1 + kRunCopyBytes;
static_assert(kFastInputBytes >= kMaxGroupInputBytes + kLiteralCopyBytes, "");
// ...and this much window room from the output position on.
inline constexpr std::size_t kFastRoomBytes = kMaxGroupOutputBytes + kWildBytes;

// Where the unchecked groups run. Groups start while ip <= ip_last and
// op <= op_last; the caller sets those limits so that from each of them
// kFastInputBytes of input and kFastRoomBytes of window follow, that
// kMaxDistance bytes of window lie before op, and that the picture ends
// kMaxGroupOutputBytes or more after op_last. Then no stop rule of the
// stream can fire inside a group, every copy reads inside the window, and no
// write leaves it. On return ip and op are at the first group not decoded.
struct GroupSpan {
  const std::uint8_t* ip;
  std::uint8_t* op;
  const std::uint8_t* ip_last;
  const std::uint8_t* op_last;
};

using GroupsFn = void (*)(GroupSpan* span);

// The group kernel that goes with `kernel` (the same choice as the delta
// step's), or the best one below it that the processor runs.
GroupsFn PickGroups(DeltaKernel kernel);

void DecodeGroupsPlain(GroupSpan* span);
// Defined only where the compiler targets x86 (group_decode_sse2.cpp,
// group_decode_ssse3.cpp, group_decode_avx2.cpp).
void DecodeGroupsSse2(GroupSpan* span);
void DecodeGroupsSsse3(GroupSpan* span);
void DecodeGroupsAvx2(GroupSpan* span);
// The SSSE3 kernel on the first kilobyte or so, then the AVX2 one where that
// stretch's copies were long (group_decode_avx2.cpp says how it is decided).
void DecodeGroupsAvx2WhereLong(GroupSpan* span);

}  // namespace kx
