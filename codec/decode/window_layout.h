// How the decoders that work through a window (fast_decode.cpp, whole files;
// stream_decode.cpp, files in pieces) lay it out and when they slide it.
// One set of numbers for both: the two must agree on what a copy can reach
// and on the room a token needs, or a split would change the pixels.
#pragma once

#include <cstddef>

#include "codec/decode/fast_decode.h"
#include "codec/decode/group_decode.h"
#include "codec/format/kx_stream.h"

namespace kx {

// Window layout: [0, kHistoryBytes) holds the bytes just before the output
// position (zeros before the first output byte, which is what a copy reaching
// before the start reads), then the bytes decoded since, then room.
inline constexpr std::size_t kHistoryBytes = kMaxDistance;

inline constexpr std::size_t kMaxTokenOutputBytes = kMaxCopyBytes;
static_assert(kMaxRunBytes <= kMaxTokenOutputBytes, "");

// Token by token near the ends, a slide makes room for the longest copy.
inline constexpr std::size_t kCarefulRoomBytes = kMaxTokenOutputBytes + kWildBytes;

// Finished bytes go to the rows every 16 KiB, while they are still in the
// first-level cache of small machines. (On the machine measured, with
// 2 MiB of second-level cache, every size from 4 to 128 KiB gave the same
// times within the noise.)
inline constexpr std::size_t kFlushBytes = std::size_t{16} << 10;

// A slide happens only once less than kFastRoomBytes (or kCarefulRoomBytes)
// of window is left, so the history it moves lies wholly after the place it
// moves to, and one unchecked group fits after it.
static_assert(kMinDecodeWindowBytes >= 2 * kHistoryBytes + kFastRoomBytes, "slides never overlap");
static_assert(kCarefulRoomBytes <= kFastRoomBytes, "");
static_assert(kDecodeWindowBytes >= kMinDecodeWindowBytes && kDecodeWindowBytes <= (std::size_t{1} << 20),
              "the window stays within the 1 MiB budget");

}  // namespace kx
